#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "app/cli_error.h"
#include "app/control_values.h"
#include "app/finish/finish_options.h"
#include "app/settings/finishing_section.h"
#include "app/settings/settings_file.h"
#include "app/settings/settings_text.h"
#include "support/keyer_plugin.h"
#include "support/test_folder.h"

namespace fs = std::filesystem;
using veskar::LoadSettingsFile;

namespace {

std::uint64_t Bits(double value) { return std::bit_cast<std::uint64_t>(value); }

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

class SettingsFile : public veskar_test::FolderTest {
protected:
    SettingsFile() : FolderTest("settings") {}

    void SetUp() override {
        FolderTest::SetUp();
        ASSERT_NE(keyer.tool, nullptr) << "the keyer plug-in did not load";
    }

    std::string Write(const std::string& name, const std::string& text) const {
        const fs::path path = dir / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }

    // A settings file with one tool `Veskar1 = Veskar { Inputs = { <inputs> } }`.
    std::string WriteTool(const std::string& inputs, const std::string& name = "s.setting") const {
        return Write(name, "{\n\tTools = ordered() {\n\t\tVeskar1 = Veskar {\n\t\t\tInputs = {\n" + inputs +
                               "\t\t\t},\n\t\t},\n\t},\n}\n");
    }

    // The message LoadSettingsFile fails with ("" when it does not fail).
    std::string ErrorOf(const std::string& path, const std::string& toolName = "") {
        try {
            LoadSettingsFile(*keyer.tool, path, toolName);
        } catch (const veskar::CliError& e) {
            EXPECT_EQ(e.ExitCode(), 1);
            return e.what();
        }
        return "";
    }

    double Value(const char* id) const { return keyer.In(id).Value(); }

    static bool AnyContains(const std::vector<std::string>& lines, const std::string& a, const std::string& b = "") {
        for (const std::string& line : lines) {
            if (line.find(a) != std::string::npos && line.find(b) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    KeyerPlugin keyer;
};

// ---------------------------------------------------------------------------
// Round trip: what the writer writes, the reader reads back to the same bits.

TEST_F(SettingsFile, WrittenValuesReadBackBitForBit) {
    const double specials[] = {
        kNaN, -kNaN, kInf, -kInf, 0.0, -0.0,
        std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
        std::numeric_limits<double>::min() - std::numeric_limits<double>::denorm_min(),  // largest subnormal
        0.1, -0.30000000000000004, 1.0 / 3.0, 1e300, -std::numeric_limits<double>::max(),
        std::numeric_limits<double>::min(), 3.0, -7.0, 9007199254740993.0 /* 2^53 + 2 */,
        99999999999999984.0 /* written without exponent */, 1e17, 123456789012345680000.0, 0.5, 2.0,
    };
    const std::size_t count = std::size(specials);
    std::vector<Input*> numbers;
    for (const auto& input : keyer.tool->Tool().Inputs()) {
        if (veskar::HoldsNumber(*input)) {
            numbers.push_back(input.get());
        }
    }
    ASSERT_GT(numbers.size(), 20u);
    // Rotating the values over the controls gives every control every value,
    // combos and checkboxes included.
    for (std::size_t shift = 0; shift < count; ++shift) {
        host::ToolInstance source(*keyer.registry);
        host::ToolInstance target(*keyer.registry);
        std::vector<std::pair<Input*, double>> values;
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            values.emplace_back(source.FindInput(numbers[i]->ID().Text()), specials[(i + shift) % count]);
        }
        source.LoadValues(values);
        const std::string path =
            Write("round.setting", veskar::SettingsText(source.Tool(), "Veskar1", keyer.registry->Name()));
        const veskar::SettingsLoad load = LoadSettingsFile(target, path, "");
        EXPECT_EQ(load.toolName, "Veskar1");
        EXPECT_TRUE(load.warnings.empty()) << load.warnings.front();
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            const char* id = numbers[i]->ID().Text();
            const double expected = specials[(i + shift) % count];
            ASSERT_EQ(Bits(source.FindInput(id)->Value()), Bits(expected)) << id;
            EXPECT_EQ(Bits(target.FindInput(id)->Value()), Bits(expected))
                << id << " = " << veskar::SettingsNumber(expected);
        }
    }
}

TEST_F(SettingsFile, WriterKeepsSignsThatPlainNumbersLose) {
    // Written as "-0", negative zero would read back as the integer 0.
    EXPECT_EQ(veskar::SettingsNumber(-0.0), "-0.0");
    EXPECT_EQ(veskar::SettingsNumber(0.0), "0");
    EXPECT_NE(veskar::SettingsNumber(kNaN), veskar::SettingsNumber(-kNaN));
    EXPECT_EQ(veskar::SettingsNumber(-kInf), "-1/0");
}

// ---------------------------------------------------------------------------
// What the file may hold.

TEST_F(SettingsFile, EntryTextsOnOffAndNumbersAsText) {
    const std::string path = WriteTool(
        "\t\t\t\tColorspace = Input { Value = \"HSV\", },\n"
        "\t\t\t\tkeyfall = Input { Value = \"BCos\", },\n"
        "\t\t\t\tChannel = Input { Value = \"2\", },\n"
        "\t\t\t\tInvAlpha = Input { Value = \"on\", },\n"
        "\t\t\t\tAlphamult = Input { Value = false, },\n"
        "\t\t\t\tCCAmount = Input { Value = \"0.25\", },\n"
        "\t\t\t\tFadeCC = Input { Value = 2^-3 + 1, },\n"
        "\t\t\t\tMultAlpha = Input { Value = 3 * math.pi, },\n");
    const veskar::SettingsLoad load = LoadSettingsFile(*keyer.tool, path, "");
    EXPECT_TRUE(load.warnings.empty());
    EXPECT_EQ(Value("Colorspace"), 1.0);
    EXPECT_EQ(Value("keyfall"), 3.0);
    EXPECT_EQ(Value("Channel"), 2.0);
    EXPECT_EQ(Value("InvAlpha"), 1.0);
    EXPECT_EQ(Value("Alphamult"), 0.0);
    EXPECT_EQ(Value("CCAmount"), 0.25);
    // Arithmetic is evaluated as the application's Lua does.
    EXPECT_EQ(Value("FadeCC"), 1.125);
    EXPECT_EQ(Value("MultAlpha"), 3 * 3.14159265358979323846);
}

TEST_F(SettingsFile, OtherToolsKeysAndConnectionsAreSkipped) {
    const std::string path = Write("comp.setting",
                                   "{\n"                                                         // 1
                                   "\tTools = ordered() {\n"                                     // 2
                                   "\t\tBackground1 = Background {\n"                            // 3
                                   "\t\t\tInputs = { Width = Input { Value = 1920, }, },\n"      // 4
                                   "\t\t\tViewInfo = OperatorInfo { Pos = { 110, 49.5 } },\n"    // 5
                                   "\t\t},\n"                                                    // 6
                                   "\t\tVeskar1 = Veskar {\n"                                    // 7
                                   "\t\t\tCtrlWZoom = false,\n"                                  // 8
                                   "\t\t\tInputs = {\n"                                          // 9
                                   "\t\t\t\tColorspace = Input { Value = 2, },\n"                // 10
                                   "\t\t\t\tImage = Input {\n"                                   // 11
                                   "\t\t\t\t\tSourceOp = \"Background1\",\n"                     // 12
                                   "\t\t\t\t\tSource = \"Output\",\n"                            // 13
                                   "\t\t\t\t},\n"                                                // 14
                                   "\t\t\t\tCRed = Input { SourceOp = \"Expr1\", Source = \"Value\", },\n"  // 15
                                   "\t\t\t\tmydivider = Input { Value = 1, },\n"                 // 16
                                   "\t\t\t\tFadeRd = Input { Value = 0.75, },\n"                 // 17
                                   "\t\t\t\tFadeRed = Input { Value = 0.25, Expression = \"x\" },\n"  // 18
                                   "\t\t\t},\n"
                                   "\t\t\tViewInfo = OperatorInfo { Pos = { 275, 49.5 } },\n"
                                   "\t\t},\n"
                                   "\t\tMerge1 = Merge { Inputs = { Blend = Input { Value = 0.5 } } },\n"
                                   "\t},\n"
                                   "\tActiveTool = \"Veskar1\",\n"
                                   "}\n");
    const veskar::SettingsLoad load = LoadSettingsFile(*keyer.tool, path, "");
    EXPECT_EQ(load.toolName, "Veskar1");
    EXPECT_EQ(Value("Colorspace"), 2.0);
    EXPECT_EQ(Value("FadeRed"), 0.25);
    EXPECT_EQ(Value("CRed"), 0.0);
    EXPECT_EQ(keyer.In("Image").ConnectedImage(), nullptr);
    // Warnings in the order of the file's lines, each with its line.
    ASSERT_EQ(load.warnings.size(), 5u) << ::testing::PrintToString(load.warnings);
    EXPECT_EQ(load.warnings[0].rfind(path + ":11: Veskar1.Image: an image input", 0), 0u) << load.warnings[0];
    EXPECT_EQ(load.warnings[1].rfind(path + ":15: Veskar1.CRed: connected to Expr1.Value", 0), 0u)
        << load.warnings[1];
    EXPECT_EQ(load.warnings[2].rfind(path + ":16: Veskar1.mydivider: a label", 0), 0u) << load.warnings[2];
    EXPECT_EQ(load.warnings[3].rfind(path + ":17: Veskar1.FadeRd: unknown control 'FadeRd'", 0), 0u)
        << load.warnings[3];
    EXPECT_NE(load.warnings[3].find("did you mean 'FadeRed'"), std::string::npos) << load.warnings[3];
    EXPECT_EQ(load.warnings[4].rfind(path + ":18: Veskar1.FadeRed: has an expression", 0), 0u)
        << load.warnings[4];
    // Other tools' inputs are theirs, not unknown controls of the keyer.
    EXPECT_FALSE(AnyContains(load.warnings, "Width"));
    EXPECT_FALSE(AnyContains(load.warnings, "Blend"));
}

TEST_F(SettingsFile, ClassNameAndRegistryIdBothMakeAKeyer) {
    for (const std::string constructor : {"Veskar", "Ombrell.Veskar", "_G[\"Ombrell.Veskar\"]"}) {
        KeyerPlugin fresh;
        const std::string path = Write(
            "spelling.setting", "{ Tools = ordered() { Key = " + constructor +
                                    " { Inputs = { GammaAlpha = Input { Value = 2.5 } } } } }");
        const veskar::SettingsLoad load = LoadSettingsFile(*fresh.tool, path, "");
        EXPECT_EQ(load.toolName, "Key") << constructor;
        EXPECT_EQ(fresh.In("GammaAlpha").Value(), 2.5) << constructor;
    }
    // A tool of another class by a similar name is not the keyer.
    const std::string path =
        Write("other.setting", "{ Tools = ordered() { Key = VeskarX { Inputs = { GammaAlpha = Input { Value = 2.5 } } } } }");
    const std::string error = ErrorOf(path);
    EXPECT_NE(error.find(path + ": no Veskar tool in the file"), std::string::npos) << error;
    EXPECT_NE(error.find("Key (VeskarX)"), std::string::npos) << error;
    EXPECT_EQ(Value("GammaAlpha"), 1.0);
}

TEST_F(SettingsFile, SeveralKeyersNeedAName) {
    const std::string path = Write("two.setting",
                                   "{ Tools = ordered() {\n"
                                   "  Veskar1 = Veskar { Inputs = { FadeRed = Input { Value = 0.1 } } },\n"
                                   "  Merge1 = Merge { },\n"
                                   "  Key2 = Ombrell.Veskar { Inputs = { FadeRed = Input { Value = 0.2 } } },\n"
                                   "} }\n");
    std::string error = ErrorOf(path);
    EXPECT_NE(error.find("several Veskar tools (Key2, Veskar1)"), std::string::npos) << error;
    EXPECT_NE(error.find("--tool"), std::string::npos) << error;
    EXPECT_EQ(Value("FadeRed"), 0.5);

    error = ErrorOf(path, "Merge1");
    EXPECT_NE(error.find("'Merge1' is a Merge tool, not a Veskar tool"), std::string::npos) << error;
    error = ErrorOf(path, "Key3");
    EXPECT_NE(error.find("no Veskar tool named 'Key3' (Veskar tools: Key2, Veskar1)"), std::string::npos) << error;
    EXPECT_EQ(Value("FadeRed"), 0.5);

    const veskar::SettingsLoad load = LoadSettingsFile(*keyer.tool, path, "Key2");
    EXPECT_EQ(load.toolName, "Key2");
    EXPECT_EQ(Value("FadeRed"), 0.2);
    LoadSettingsFile(*keyer.tool, path, "Veskar1");
    EXPECT_EQ(Value("FadeRed"), 0.1);
}

TEST_F(SettingsFile, ReactionsDoNotChangeWhatTheFileHolds) {
    // In HSV, entering the key colour moves the Value sliders to its hue,
    // saturation and value, and moving a Value slider moves the key colour.
    const std::string inputs =
        "\t\t\t\tValueRed = Input { Value = 0.3, },\n"
        "\t\t\t\tCRed = Input { Value = 1, },\n"
        "\t\t\t\tColorspace = Input { Value = 1, },\n";
    const std::string path = WriteTool(inputs);
    LoadSettingsFile(*keyer.tool, path, "");
    EXPECT_EQ(Value("Colorspace"), 1.0);
    EXPECT_EQ(Value("CRed"), 1.0);
    EXPECT_EQ(Value("ValueRed"), 0.3);
    for (const char* id : {"CGreen", "CBlue", "ValueGreen", "ValueBlue"}) {
        EXPECT_EQ(Value(id), 0.0) << id;
    }

    // The same values set one by one in creation order, reactions running:
    // the reactions do change what the file holds, which the load prevents.
    KeyerPlugin plain;
    plain.tool->SetNumber(plain.In("Colorspace"), 1.0);
    plain.tool->SetNumber(plain.In("CRed"), 1.0);
    plain.tool->SetNumber(plain.In("ValueRed"), 0.3);
    bool changed = false;
    for (const char* id : {"Colorspace", "CRed", "ValueRed", "CGreen", "CBlue", "ValueGreen", "ValueBlue"}) {
        changed = changed || Bits(plain.In(id).Value()) != Bits(keyer.In(id).Value());
    }
    EXPECT_TRUE(changed);
}

TEST_F(SettingsFile, AFileWithAnErrorAppliesNothing) {
    const std::string path = WriteTool(
        "\t\t\t\tFadeRed = Input { Value = 0.1, },\n"    // 5
        "\t\t\t\tkeyfall = Input { Value = \"Cosin\", },\n"  // 6
        "\t\t\t\tGammaAlpha = Input { Value = 2, },\n"   // 7
        "\t\t\t\tMultAlpha = Input { Value = true, },\n");  // 8
    const std::string error = ErrorOf(path);
    EXPECT_NE(error.find(path + ":6: Veskar1.keyfall: 'Cosin' is not an entry of keyfall (Linear, Cosine, HalfCos, BCos)"),
              std::string::npos)
        << error;
    // Every error is reported, not only the first.
    EXPECT_NE(error.find(path + ":8: Veskar1.MultAlpha: Value must be a number, got true"), std::string::npos) << error;
    EXPECT_EQ(Value("FadeRed"), 0.5);
    EXPECT_EQ(Value("GammaAlpha"), 1.0);
    EXPECT_EQ(Value("keyfall"), 0.0);
}

TEST_F(SettingsFile, ManyUnknownInputsGiveBoundedWarnings) {
    // A file can list any number of inputs; the warnings stay readable.
    std::string inputs;
    for (int i = 0; i < 1000; ++i) {
        inputs += "\t\t\t\tUnknown" + std::to_string(i) + " = Input { Value = 1 },\n";
    }
    inputs += "\t\t\t\t[\"" + std::string(5000, 'x') + "\\n\"] = Input { Value = 1 },\n";
    inputs += "\t\t\t\tFadeRed = Input { Value = 0.125 },\n";
    const veskar::SettingsLoad load = LoadSettingsFile(*keyer.tool, WriteTool(inputs), "");
    EXPECT_EQ(Value("FadeRed"), 0.125);
    ASSERT_LE(load.warnings.size(), 101u);
    EXPECT_NE(load.warnings.back().find("more warnings"), std::string::npos) << load.warnings.back();
    for (const std::string& warning : load.warnings) {
        EXPECT_LT(warning.size(), 1100u);
        EXPECT_EQ(warning.find('\n'), std::string::npos);
    }
}

// ---------------------------------------------------------------------------
// Files that must fail, each with what the message says. Runaway files end by
// the sandbox's bounds; the tests only check that they ended with the error.

TEST_F(SettingsFile, BadFilesFailWithTheirMessage) {
    const std::string tool = "{ Tools = ordered() { Veskar1 = Veskar { Inputs = { ";
    const std::string end = " } } } }";
    struct Case {
        const char* what;
        std::string text;
        std::string fragment;
        std::string orFragment = "";  ///< the other bound's message, where either bound may stop it first
    };
    const std::vector<Case> cases = {
        {"syntax error", "{\n Tools = ordered() {\n  Veskar1 = Veskar {\n   Inputs = { A = 1 B = 2 },\n  },\n },\n}\n",
         "bad.setting:4: '}' expected"},
        {"statement syntax error", "local x = 1\nlocal y = = 2\nreturn { Tools = {} }\n", "bad.setting:2:"},
        {"os.execute", "{ Tools = os.execute(\"touch /tmp/veskar_pwned\") }", "bad.setting:1: 'os' is not available"},
        {"io.open", "{ Tools = io.open(\"/etc/passwd\") }", "bad.setting:1: 'io' is not available"},
        {"require", "{ Tools = require(\"x\") }", "bad.setting:1: 'require' is not available"},
        {"load", "{ Tools = load(\"return {}\")() }", "bad.setting:1: 'load' is not available"},
        {"dofile", "{ Tools = dofile(\"/etc/passwd\") }", "bad.setting:1: 'dofile' is not available"},
        {"pcall", "pcall(function() while true do end end)", "bad.setting:1: 'pcall' is not available"},
        {"setmetatable", "setmetatable({}, { __gc = function() while true do end end })",
         "'setmetatable' is not available"},
        {"string methods", "{ Tools = (\"x\"):rep(1e9) }", "bad.setting:1: attempt to index a string value"},
        {"endless loop", "while true do end", "bad.setting:1: the settings file runs too long"},
        {"endless loop in the table", "{\n Tools = (function() while true do end end)(),\n}", "bad.setting:2: the settings file runs too long"},
        {"slow instructions",
         "local a = \"x\" for i = 1, 23 do a = a .. a end\nlocal b, c = a .. \"y\", a .. \"z\"\n"
         "while true do local d = b < c end",
         "bad.setting:3: the settings file runs too long"},
        {"endless tail calls", "local function f() return f() end return f()", "runs too long"},
        // Each entry a table of its own, so the memory bound is met within a few
        // million instructions, well inside the time bound on an idle machine;
        // on a machine busy enough (a share of a core), the time bound may
        // come first, which stops it as well.
        {"endless table", "local t = {} for i = 1, 1e12 do t[i] = {i, i, i, i} end",
         "bad.setting: the settings file needs more than 64 MiB", "bad.setting:1: the settings file runs too long"},
        {"endless string", "local s = \"x\" while true do s = s .. s end", "bad.setting: the settings file needs more than 64 MiB"},
        {"deep recursion", "local function f(n) return 1 + f(n + 1) end return { Tools = f(1) }", "bad.setting:"},
        {"deep nesting", std::string(100000, '{') + std::string(100000, '}'), "bad.setting: nested too deeply"},
        {"non-number value", tool + "CCAmount = Input { Value = { 1 } }" + end,
         "bad.setting:1: Veskar1.CCAmount: Value must be a number, got a table"},
        {"name as value", tool + "CCAmount = Input { Value = Half }" + end,
         "Veskar1.CCAmount: Value must be a number, got the name Half (not a value)"},
        {"text value", tool + "CCAmount = Input { Value = \"abc\" }" + end,
         "bad.setting:1: Veskar1.CCAmount: 'abc' is not a number"},
        {"checkbox text", tool + "InvAlpha = Input { Value = \"yes\" }" + end,
         "Veskar1.InvAlpha: 'yes' is not on, off or a number"},
        {"Inputs not a table", "{ Tools = ordered() { Veskar1 = Veskar { Inputs = 3 } } }",
         "bad.setting:1: Veskar1: Inputs is a number, not a table of inputs"},
        {"no Tools", "{ Veskar1 = Veskar { Inputs = {} } }", "bad.setting: no Tools in the settings table"},
        {"Tools not a table", "{ Tools = \"Veskar1\" }", "bad.setting: Tools is a string, not a table of tools"},
        {"not a table", "\"hello\"", "bad.setting: the file holds a string, not a settings table"},
        {"no keyer", "{ Tools = ordered() { Merge1 = Merge {} } }", "bad.setting: no Veskar tool in the file"},
        {"empty", "", "bad.setting: the settings file is empty"},
        {"blank", " \n\t\n", "bad.setting: the settings file is empty"},
        {"only a comment", "-- nothing here\n", "bad.setting: the file holds nil, not a settings table"},
        {"binary chunk", std::string("\x1bLua\x54\x00\x19\x93\r\n\x1a\n", 12), "bad.setting: is a compiled Lua chunk"},
        {"binary chunk after a byte order mark", std::string("\xEF\xBB\xBF\x1bLua\x54\x00", 9),
         "bad.setting: is a compiled Lua chunk"},
    };
    for (const Case& c : cases) {
        const std::string path = Write("bad.setting", c.text);
        const std::string error = ErrorOf(path);
        // The file's path leads; the fragment names it by its file name.
        EXPECT_EQ(error.rfind(dir.string(), 0), 0u) << c.what << ": " << error;
        const std::string shown = error.substr(std::min(error.size(), dir.string().size() + 1));
        EXPECT_TRUE(shown.find(c.fragment) != std::string::npos ||
                    (!c.orFragment.empty() && shown.find(c.orFragment) != std::string::npos))
            << c.what << ": " << error;
        EXPECT_EQ(Value("FadeRed"), 0.5) << c.what;
    }
    EXPECT_FALSE(fs::exists("/tmp/veskar_pwned"));
}

TEST_F(SettingsFile, UnreadablePathsFailWithTheirMessage) {
    const std::string missing = (dir / "missing.setting").string();
    EXPECT_EQ(ErrorOf(missing), missing + ": cannot read the settings file: no such file");
    EXPECT_EQ(ErrorOf(dir.string()), dir.string() + ": is a folder, not a settings file");
    const std::string big = Write("big.setting", "-- " + std::string((16 << 20) + 10, 'x') + "\n");
    EXPECT_NE(ErrorOf(big).find(big + ": the settings file is larger than 16 MiB"), std::string::npos);
}

TEST_F(SettingsFile, EvaluationBoundsDoNotCarryOver) {
    // Each load gets its own interpreter: a file stopped by a bound does not
    // spoil the next load.
    EXPECT_NE(ErrorOf(Write("loop.setting", "while true do end")).find("runs too long"), std::string::npos);
    LoadSettingsFile(*keyer.tool, WriteTool("\t\t\t\tFadeRed = Input { Value = 0.0625 },\n"), "");
    EXPECT_EQ(Value("FadeRed"), 0.0625);
}

}  // namespace

// ---------------------------------------------------------------------------
// The finishing section beside Tools.

TEST_F(SettingsFile, FinishingSectionLeavesTheToolAsItReads) {
    fs::create_directories(dir / "shot");
    const std::string path = Write("shot/s.setting",
                                   "{\n\tTools = ordered() { Veskar1 = Veskar { Inputs = {\n"
                                   "\t\tGammaAlpha = Input { Value = 0.75, },\n\t}, }, },\n"
                                   "\tVeskarFinishing = { Unmix = true, Despill = 0.5, Soften = 1.25,\n"
                                   "\t\tGarbage = { \"0,0,4,0,4,4\", \"matte.exr\" }, Holdout = \"/m/hold.exr\",\n"
                                   "\t\tView = \"matte\", },\n}\n");
    const veskar::SettingsLoad load = LoadSettingsFile(*keyer.tool, path, "");
    EXPECT_EQ(Value("GammaAlpha"), 0.75);
    EXPECT_TRUE(load.warnings.empty());
    const veskar::finish::FinishChoices& finishing = load.finishing;
    EXPECT_EQ(finishing.unmix, true);
    EXPECT_EQ(finishing.despill, 0.5);
    EXPECT_EQ(finishing.soften, 1.25);
    EXPECT_FALSE(finishing.shrink.has_value());
    EXPECT_EQ(finishing.view, veskar::finish::View::Matte);
    ASSERT_TRUE(finishing.garbage.has_value());
    ASSERT_EQ(finishing.garbage->size(), 2u);
    EXPECT_EQ((*finishing.garbage)[0].shape.polygon.points.size(), 3u);
    EXPECT_TRUE((*finishing.garbage)[0].shape.file.empty());
    // A file name is found beside the settings file; an absolute one stays.
    EXPECT_EQ((*finishing.garbage)[1].shape.file, (dir / "shot" / "matte.exr").string());
    EXPECT_EQ((*finishing.garbage)[1].shape.text, "matte.exr");
    ASSERT_EQ(finishing.holdout->size(), 1u);
    EXPECT_EQ((*finishing.holdout)[0].shape.file, "/m/hold.exr");
}

TEST_F(SettingsFile, FileWithoutFinishingSectionAsksForNone) {
    const veskar::SettingsLoad load = LoadSettingsFile(*keyer.tool, WriteTool(""), "");
    EXPECT_TRUE(load.finishing.Empty());
}

TEST_F(SettingsFile, WrittenFinishingSectionReadsBackBitForBit) {
    veskar::finish::FinishChoices chosen;
    chosen.despill = 0.1 + 0.2;
    chosen.clipBlack = -std::numeric_limits<double>::denorm_min();
    chosen.clipWhite = 1.0 - std::numeric_limits<double>::epsilon();
    chosen.grow = 1e-300;
    chosen.despot = 12345.678901234567;
    chosen.view = veskar::finish::View::Status;
    // A file name with quotes, a backslash and a control byte in it.
    Write("a \"b\"\\c\x01.exr", "");
    chosen.holdout = {veskar::finish::ParseShape("--holdout", (dir / "a \"b\"\\c\x01.exr").string(), "", 2)};
    const veskar::finish::FinishPlan plan = veskar::finish::PlanFinishing({}, "", chosen, false);
    const std::string path = (dir / "out.setting").string();
    const std::string text = veskar::WithFinishingSection(veskar::SettingsText(keyer.tool->Tool(), "Veskar1", "Veskar"),
                                                          veskar::FinishingSectionText(plan, path));
    Write("out.setting", text);
    const veskar::SettingsLoad load = LoadSettingsFile(*keyer.tool, path, "");
    const veskar::finish::FinishPlan back = veskar::finish::PlanFinishing(load.finishing, path, {}, false);
    EXPECT_EQ(Bits(back.options.despill), Bits(*chosen.despill));
    EXPECT_EQ(Bits(back.options.clipBlack), Bits(*chosen.clipBlack));
    EXPECT_EQ(Bits(back.options.clipWhite), Bits(*chosen.clipWhite));
    EXPECT_EQ(Bits(back.options.grow), Bits(*chosen.grow));
    EXPECT_EQ(Bits(back.options.despot), Bits(*chosen.despot));
    EXPECT_EQ(back.options.view, veskar::finish::View::Status);
    EXPECT_FALSE(back.options.unmix);
    ASSERT_EQ(back.holdout.size(), 1u);
    EXPECT_EQ(fs::path(back.holdout[0].shape.file).lexically_normal(),
              fs::path((*chosen.holdout)[0].shape.file).lexically_normal());
    EXPECT_EQ(back.holdout[0].shape.text, "a \"b\"\\c\x01.exr");  // relative to the settings file
    // The same plan writes the same section again.
    EXPECT_EQ(veskar::FinishingSectionText(back, path), veskar::FinishingSectionText(plan, path));
}

TEST_F(SettingsFile, FinishingSectionMistakeAppliesNothing) {
    const std::string path = Write("s.setting",
                                   "{\n\tTools = ordered() { Veskar1 = Veskar { Inputs = {\n"
                                   "\t\tGammaAlpha = Input { Value = 0.75, },\n\t}, }, },\n"
                                   "\tVeskarFinishing = { Despill = 1, [1] = 2, },\n}\n");
    const double before = Value("GammaAlpha");
    EXPECT_NE(ErrorOf(path).find(path + ": VeskarFinishing: a key that is a number, not a name"), std::string::npos);
    EXPECT_EQ(Bits(Value("GammaAlpha")), Bits(before));
    const std::string notTable = Write("t.setting", "{ Tools = ordered() { Veskar1 = Veskar { } }, "
                                                    "VeskarFinishing = \"unmix\" }");
    EXPECT_NE(ErrorOf(notTable).find(notTable + ": VeskarFinishing is a string, not a table"), std::string::npos);
}
