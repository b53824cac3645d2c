// The sRGB curve of stored floats, and colour conversion through OpenColorIO
// configurations in $OCIO: spaces with an exponent and a LUT converted on read
// and on write, and configurations that are missing, broken, loop or name LUTs
// that cannot be read, refused (or warned about when nothing is converted).
// Runs veskar as users do, so that a crash inside OpenColorIO cannot take the
// test down.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <OpenImageIO/imageio.h>

#include "app/files/colour.h"
#include "run_veskar.h"
#include "test_folder.h"

namespace fs = std::filesystem;
using veskar_test::Outcome;

namespace {

// Settings under which the key leaves every pixel whole: the colour the
// writer receives is the one read (after --input-space).
const std::vector<std::string> kPassKey = {"--key-color", "1,0,1", "--set", "BGAlphaBlend=Multiply", "--type", "float"};

// A linear reference, a display-style gamma and a LUT found through the
// search path; `extra` adds further colour spaces and sections, `views`
// further views of the display.
std::string ConfigText(const std::string& extra = "", const std::string& views = "") {
    return R"(ocio_profile_version: 2
search_path: luts
roles:
  default: lin
  scene_linear: lin
displays:
  screen:
    - !<View> {name: gamma, colorspace: gamma22}
)" + views + R"(colorspaces:
  - !<ColorSpace>
    name: lin
  - !<ColorSpace>
    name: gamma22
    to_scene_reference: !<ExponentTransform> {value: 2.2}
  - !<ColorSpace>
    name: squared
    to_scene_reference: !<FileTransform> {src: square.spi1d, interpolation: linear}
)" + extra;
}

// x squared on five nodes 0, 0.25, ..., 1.
const char* kSquareLut = "Version 1\nFrom 0.0 1.0\nLength 5\nComponents 1\n{\n0.0\n0.0625\n0.25\n0.5625\n1.0\n}\n";

// Sets $OCIO for the veskar runs of one scope.
class OcioVariable {
public:
    explicit OcioVariable(const std::string& path) { ::setenv("OCIO", path.c_str(), 1); }
    ~OcioVariable() { ::unsetenv("OCIO"); }
};

class OcioConfig : public veskar_test::FolderTest {
protected:
    OcioConfig() : FolderTest("colour") {}
    void SetUp() override {
        FolderTest::SetUp();
        fs::create_directories(dir / "luts");
        WriteText("luts/square.spi1d", kSquareLut);
    }

    std::string Path(const std::string& name) const { return (dir / name).string(); }
    std::string WriteText(const std::string& name, const std::string& text) const {
        std::ofstream(Path(name)) << text;
        return Path(name);
    }

    // veskar in the background, bounded in time and memory: a LUT read from
    // a device or a FIFO would otherwise block the test or eat the machine.
    Outcome Veskar(const std::vector<std::string>& args) const {
        std::vector<std::string> bounds = {"timeout", "-k", "5", "60"};
#if !defined(__SANITIZE_ADDRESS__)
        // The address sanitizer reserves more address space than this limit.
        bounds.insert(bounds.end(), {"prlimit", "--as=2147483648", "--"});
#endif
        veskar_test::Running run(args, dir, bounds);
        EXPECT_TRUE(run.Started());
        return run.Wait();
    }

    // A one-line float RGBA plate of `rgb` triples, alpha 1.
    std::string WritePlate(const std::vector<float>& rgb) const {
        const int width = static_cast<int>(rgb.size() / 3);
        std::vector<float> pixels;
        for (int x = 0; x < width; ++x) {
            pixels.insert(pixels.end(), {rgb[3 * x], rgb[3 * x + 1], rgb[3 * x + 2], 1.0f});
        }
        const std::string path = Path("plate.exr");
        auto out = OIIO::ImageOutput::create(path);
        EXPECT_TRUE(out && out->open(path, OIIO::ImageSpec(width, 1, 4, OIIO::TypeDesc::FLOAT)));
        EXPECT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, pixels.data())) << out->geterror();
        out->close();
        return path;
    }

    static std::vector<float> ReadRgb(const std::string& path) {
        auto in = OIIO::ImageInput::open(path);
        EXPECT_TRUE(in) << OIIO::geterror();
        if (!in) return {};
        const OIIO::ImageSpec spec = in->spec();
        std::vector<float> pixels(spec.image_pixels() * spec.nchannels);
        EXPECT_TRUE(in->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, pixels.data()));
        std::vector<float> rgb;
        for (std::size_t i = 0; i < spec.image_pixels(); ++i) {
            rgb.insert(rgb.end(), pixels.begin() + i * spec.nchannels, pixels.begin() + i * spec.nchannels + 3);
        }
        return rgb;
    }

    static void ExpectValues(const std::vector<float>& got, const std::vector<float>& want, float tolerance) {
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t i = 0; i < want.size(); ++i) {
            EXPECT_NEAR(got[i], want[i], tolerance) << "value " << i;
        }
    }

};

// ---------------------------------------------------------------------------
// A sound configuration converts on read and on write.

TEST_F(OcioConfig, ExponentSpaceConvertsOnReadAndWrite) {
    const OcioVariable ocio(WriteText("studio.ocio", ConfigText()));
    const std::string plate = WritePlate({0.5f, 0.25f, 0.8f, 0.0f, 1.0f, 0.5f});
    std::vector<std::string> args = {"render", plate, "-o", Path("lin.exr"), "--input-space", "gamma22"};
    args.insert(args.end(), kPassKey.begin(), kPassKey.end());
    Outcome run = Veskar(args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // x^2.2, worked out to nine digits; a few float steps of OpenColorIO's
    // power function.
    ExpectValues(ReadRgb(Path("lin.exr")), {0.217637641f, 0.0473661427f, 0.6120656f, 0.0f, 1.0f, 0.217637641f},
                 2e-6f);

    args = {"render", plate, "-o", Path("gamma.exr"), "--output-space", "gamma22"};
    args.insert(args.end(), kPassKey.begin(), kPassKey.end());
    run = Veskar(args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // x^(1/2.2).
    ExpectValues(ReadRgb(Path("gamma.exr")), {0.729740053f, 0.532520545f, 0.903545431f, 0.0f, 1.0f, 0.729740053f},
                 2e-6f);
}

TEST_F(OcioConfig, LutSpaceConvertsOnItsNodes) {
    const OcioVariable ocio(WriteText("studio.ocio", ConfigText()));
    // The LUT's nodes: 0.25 -> 0.0625, 0.5 -> 0.25, 0.75 -> 0.5625.
    std::string plate = WritePlate({0.25f, 0.5f, 0.75f, 0.0f, 1.0f, 0.5f});
    std::vector<std::string> args = {"render", plate, "-o", Path("lin.exr"), "--input-space", "squared"};
    args.insert(args.end(), kPassKey.begin(), kPassKey.end());
    Outcome run = Veskar(args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ExpectValues(ReadRgb(Path("lin.exr")), {0.0625f, 0.25f, 0.5625f, 0.0f, 1.0f, 0.25f}, 1e-6f);

    // And back through the LUT's inverse.
    plate = WritePlate({0.0625f, 0.25f, 0.5625f, 0.0f, 1.0f, 0.25f});
    args = {"render", plate, "-o", Path("lut.exr"), "--output-space", "squared"};
    args.insert(args.end(), kPassKey.begin(), kPassKey.end());
    run = Veskar(args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ExpectValues(ReadRgb(Path("lut.exr")), {0.25f, 0.5f, 0.75f, 0.0f, 1.0f, 0.5f}, 1e-6f);
}

// ---------------------------------------------------------------------------
// A configuration that cannot be used is refused before any output when
// colour is converted, and only warned about when nothing is.

struct BadConfig {
    const char* what;
    std::string file;     ///< $OCIO, in the test's folder
    std::string content;  ///< written there unless empty
    std::string message;  ///< the problem as veskar names it, after $OCIO's path
    std::string space = "gamma22";  ///< converted from and to
};

class BrokenConfig : public OcioConfig {
protected:
    // Each case, with and without a conversion.
    void Check(const BadConfig& bad) {
        SCOPED_TRACE(bad.what);
        const std::string config = Path(bad.file);
        const OcioVariable ocio(config);
        const std::string plate = WritePlate({0.5f, 0.25f, 0.8f});
        const std::string out = Path("out.exr");
        for (const std::vector<std::string>& conversion : std::vector<std::vector<std::string>>{
                 {"--input-space", bad.space}, {"--output-space", bad.space}, {"--preview", Path("sheet.png")}}) {
            std::vector<std::string> args = {"render", plate, "-o", out};
            args.insert(args.end(), conversion.begin(), conversion.end());
            const Outcome run = Veskar(args);
            EXPECT_EQ(run.exitCode, 1) << conversion[0] << ": " << run.err;
            EXPECT_EQ(run.err.rfind("veskar: $OCIO " + config + ": ", 0), 0u) << conversion[0] << ": " << run.err;
            EXPECT_NE(run.err.find(bad.message), std::string::npos) << conversion[0] << ": " << run.err;
            EXPECT_FALSE(fs::exists(out)) << conversion[0];
            EXPECT_FALSE(fs::exists(Path("sheet.png"))) << conversion[0];
        }
        // Nothing converted: the configuration is never used.
        const Outcome run = Veskar({"render", plate, "-o", out, "--key-color", "1,0,1"});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.err.rfind("veskar: warning: $OCIO " + config + ": ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(bad.message), std::string::npos) << run.err;
        EXPECT_TRUE(fs::exists(out));
        fs::remove(out);
    }
};

TEST_F(BrokenConfig, MissingEmptyOrUnreadableConfigurationIsNamed) {
    fs::create_directories(Path("folder.ocio"));
    std::string role = ConfigText();
    role.replace(role.find("scene_linear: lin"), 17, "scene_linear: nowhere");
    const BadConfig cases[] = {
        {"missing", "nowhere.ocio", "", "no such file"},
        {"empty", "empty.ocio", "", "empty"},
        {"folder", "folder.ocio", "", "a folder, not a file"},
        {"not YAML", "garbage.ocio", "colorspaces: [ {name: a\n", "Error: Loading the OCIO profile"},
        {"no colour spaces", "bare.ocio", "ocio_profile_version: 2\nroles:\n  default: nothing\n",
         "parsing failed: The config must contain either a Default file rule or the 'default' role"},
        {"role of nothing", "role.ocio", role,
         "Config failed validation. The role 'scene_linear' refers to a color space, 'nowhere', which is not defined"},
    };
    WriteText("empty.ocio", "");
    for (const BadConfig& bad : cases) {
        if (!bad.content.empty()) WriteText(bad.file, bad.content);
        Check(bad);
    }
}

TEST_F(BrokenConfig, LoopingReferencesAreRefusedBeforeOpenColorIOFollowsThem) {
    const BadConfig cases[] = {
        {"itself", "self.ocio", ConfigText(R"(  - !<ColorSpace>
    name: loop
    to_scene_reference: !<ColorSpaceTransform> {src: loop, dst: lin}
)"),
         "colour space 'loop' refers to itself (colour space 'loop' -> colour space 'loop')", "loop"},
        {"each other", "pair.ocio", ConfigText(R"(  - !<ColorSpace>
    name: a
    to_scene_reference: !<ColorSpaceTransform> {src: lin, dst: b}
  - !<ColorSpace>
    name: b
    from_scene_reference: !<GroupTransform>
      children:
        - !<ExponentTransform> {value: 2}
        - !<ColorSpaceTransform> {src: a, dst: lin}
)"),
         "colour space 'a' refers to itself (colour space 'a' -> colour space 'b' -> colour space 'a')", "b"},
        {"look", "look.ocio", ConfigText(R"(looks:
  - !<Look>
    name: grade
    process_space: lin
    transform: !<LookTransform> {src: lin, dst: lin, looks: +grade}
)"),
         "look 'grade' refers to itself (look 'grade' -> look 'grade')"},
        {"view", "view.ocio", ConfigText(R"(  - !<ColorSpace>
    name: shown
    to_scene_reference: !<DisplayViewTransform> {src: lin, display: screen, view: shown}
)",
                                              "    - !<View> {name: shown, colorspace: shown}\n"),
         "colour space 'shown' refers to itself (colour space 'shown' -> view 'screen/shown' -> colour space 'shown')",
         "shown"},
    };
    for (const BadConfig& bad : cases) {
        WriteText(bad.file, bad.content);
        Check(bad);
    }
}

TEST_F(BrokenConfig, LutsThatAreNotRegularFilesOrTooLargeAreRefused) {
    ASSERT_EQ(::mkfifo(Path("luts/fifo.cube").c_str(), 0600), 0);
    // Sparse: 300 MiB of nothing on disk.
    { std::ofstream(Path("luts/huge.cube")); }
    fs::resize_file(Path("luts/huge.cube"), std::uintmax_t(300) << 20);
    auto lutSpace = [](const std::string& source) {
        return ConfigText("  - !<ColorSpace>\n    name: film\n    to_scene_reference: !<FileTransform> {src: " + source +
                          "}\n");
    };
    const BadConfig cases[] = {
        {"device", "zero.ocio", lutSpace("/dev/zero"), "colour space 'film': LUT /dev/zero: not a regular file", "film"},
        {"FIFO", "fifo.ocio", lutSpace("fifo.cube"),
         "colour space 'film': LUT " + Path("luts/fifo.cube") + ": not a regular file", "film"},
        {"huge", "huge.ocio", lutSpace("huge.cube"),
         "colour space 'film': LUT " + Path("luts/huge.cube") + ": larger than 256 MiB (314572800 bytes)", "film"},
    };
    for (const BadConfig& bad : cases) {
        WriteText(bad.file, bad.content);
        Check(bad);
    }
}

}  // namespace

// A stored float decodes to what its double does: the 256 values an 8-bit file
// is read as (looked up), the floats either side of each, and values outside
// the levels' range, signed zeros, NaN and infinities (computed).
TEST(Colour, StoredFloatsDecodeAsTheirDoubles) {
    std::vector<float> values;
    for (int k = 0; k < 256; ++k) {
        const float level = static_cast<float>(k) * (1.0f / 255.0f);
        values.push_back(level);
        values.push_back(std::nextafter(level, -1.0f));
        values.push_back(std::nextafter(level, 2.0f));
        values.push_back(static_cast<float>(k / 255.0));
    }
    const float inf = std::numeric_limits<float>::infinity();
    for (float v : {-0.0f, 1e-42f, -0.5f, 1.5f, 255.0f, inf, -inf}) values.push_back(v);
    for (float v : values) {
        const double expected = veskar::SrgbToLinear(static_cast<double>(v));
        EXPECT_EQ(std::bit_cast<std::uint64_t>(veskar::SrgbToLinear(v)), std::bit_cast<std::uint64_t>(expected))
            << "stored " << v;
    }
    EXPECT_TRUE(std::isnan(veskar::SrgbToLinear(std::numeric_limits<float>::quiet_NaN())));
}
