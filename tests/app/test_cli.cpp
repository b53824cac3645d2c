#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include "support/run_veskar.h"
#include "support/test_folder.h"

using namespace veskar_test;

namespace fs = std::filesystem;

namespace {

bool SameImage(const std::string& a, const std::string& b) {
    OIIO::ImageBuf first(a), second(b);
    if (!first.read() || !second.read()) return false;
    if (first.spec().channelnames != second.spec().channelnames) return false;
    const OIIO::ImageBufAlgo::CompareResults cmp = OIIO::ImageBufAlgo::compare(first, second, 0.0f, 0.0f);
    return !cmp.error && cmp.nfail == 0 && cmp.maxerror == 0.0;
}
class Cli : public veskar_test::FolderTest {
protected:
    Cli() : FolderTest("cli") {}

    Outcome Veskar(const std::vector<std::string>& args) { return RunVeskar(args, dir); }

    // An image with a value per pixel and channel that differs everywhere.
    std::string WriteImage(const std::string& name, int width, int height, std::vector<std::string> channels,
                           OIIO::TypeDesc format = OIIO::TypeDesc::FLOAT) {
        OIIO::ImageSpec spec(width, height, static_cast<int>(channels.size()), format);
        spec.channelnames = channels;
        OIIO::ImageBuf buf(spec);
        std::vector<float> pixels(static_cast<std::size_t>(width) * height * spec.nchannels);
        for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<float>((i * 37) % 251) / 250.0f;
        buf.set_pixels(buf.roi(), OIIO::TypeDesc::FLOAT, pixels.data());
        const std::string path = (dir / name).string();
        EXPECT_TRUE(buf.write(path)) << buf.geterror();
        return path;
    }

    std::vector<std::string> Files() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

}  // namespace

TEST_F(Cli, ToolsListsTheKeyerClass) {
    Outcome run = Veskar({"tools"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("Ombrell.Veskar  Veskar  Ombrell  Veskar.so"), std::string::npos) << run.out;
}

TEST_F(Cli, ControlsShowsEveryControlInCreationOrder) {
    Outcome run = Veskar({"controls"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::istringstream lines(run.out);
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);) rows.push_back(line);
    ASSERT_EQ(rows.size(), 33u) << run.out;  // header, 31 inputs, the output
    auto cells = [](const std::string& row) {
        std::vector<std::string> out;
        std::istringstream words(row);
        for (std::string word; words >> word;) out.push_back(word);
        return out;
    };
    EXPECT_EQ(cells(rows[1])[1], "Colorspace");
    EXPECT_TRUE(std::regex_search(rows[1], std::regex("\"Color Space\" +Combo +0 +0 +5 +RGB"))) << rows[1];
    EXPECT_NE(rows[1].find("RGB, HSV, YXy, YUV, YCbCr"), std::string::npos);
    EXPECT_EQ(cells(rows[18])[1], "MiRedn");
    EXPECT_NE(rows[24].find("\" \""), std::string::npos);  // the blank divider caption
    EXPECT_NE(rows[26].find("Gamma Alpha"), std::string::npos);
    EXPECT_NE(rows[26].find("0.0001"), std::string::npos) << rows[26];
    EXPECT_NE(rows[29].find("v0.87"), std::string::npos);
    EXPECT_EQ(cells(rows[32])[1], "Output");
}

TEST_F(Cli, RenderKeepsEveryChannelOfAnExr) {
    const std::string input = WriteImage("plate.exr", 48, 32, {"R", "G", "B", "A", "Z", "diffuse.R", "diffuse.G"});
    const std::string key = WriteImage("key.exr", 24, 16, {"R", "G", "B"});
    const std::string one = (dir / "one.exr").string();
    const std::string two = (dir / "two.exr").string();
    Outcome a = Veskar({"render", input, "-o", one, "--key-image", key, "--threads", "1", "--set", "ValueGreen=0.5"});
    ASSERT_EQ(a.exitCode, 0) << a.err;
    Outcome b = Veskar({"render", input, "-o", two, "--key-image", key, "--threads", "2", "--set", "ValueGreen=0.5"});
    ASSERT_EQ(b.exitCode, 0) << b.err;

    OIIO::ImageBuf source(input), first(one), second(two);
    ASSERT_TRUE(first.read()) << first.geterror();
    EXPECT_EQ(first.spec().channelnames, source.spec().channelnames);
    EXPECT_EQ(first.spec().format, OIIO::TypeDesc::FLOAT);
    // The further channels are the source's, exactly.
    for (int c = 4; c < 7; ++c) {
        OIIO::ImageBufAlgo::CompareResults cmp =
            OIIO::ImageBufAlgo::compare(OIIO::ImageBufAlgo::channels(first, 1, {c}),
                                        OIIO::ImageBufAlgo::channels(source, 1, {c}), 0.0f, 0.0f);
        EXPECT_EQ(cmp.nfail, 0u) << "channel " << c;
        EXPECT_EQ(cmp.maxerror, 0.0) << "channel " << c;
    }
    // One worker or two: the same file.
    OIIO::ImageBufAlgo::CompareResults same = OIIO::ImageBufAlgo::compare(first, second, 0.0f, 0.0f);
    EXPECT_EQ(same.maxerror, 0.0);
}

TEST_F(Cli, PngWithoutAlphaGetsAlphaOne) {
    const std::string input = WriteImage("plate.png", 20, 10, {"R", "G", "B"}, OIIO::TypeDesc::UINT8);
    const std::string output = (dir / "out.png").string();
    // PassThrough writes the source alpha, which a file without alpha has as 1.
    Outcome run = Veskar({"render", input, "-o", output, "--set", "BGAlphaBlend=4", "--set", "Alphamult=0"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    OIIO::ImageBuf out(output);
    ASSERT_TRUE(out.read());
    ASSERT_EQ(out.spec().nchannels, 4);
    EXPECT_EQ(out.spec().channelnames[3], "A");
    EXPECT_EQ(out.spec().format, OIIO::TypeDesc::UINT8);
    const OIIO::ImageBufAlgo::PixelStats stats = OIIO::ImageBufAlgo::computePixelStats(out);
    EXPECT_EQ(stats.min[3], 1.0f);
    EXPECT_EQ(stats.max[3], 1.0f);
}

TEST_F(Cli, GreenIsKeyedOutAndRedStays) {
    // Left half pure green, right half pure red.
    OIIO::ImageSpec spec(8, 4, 3, OIIO::TypeDesc::FLOAT);
    OIIO::ImageBuf buf(spec);
    const float green[] = {0.0f, 1.0f, 0.0f};
    const float red[] = {1.0f, 0.0f, 0.0f};
    OIIO::ImageBufAlgo::fill(buf, green, OIIO::ROI(0, 4, 0, 4, 0, 1, 0, 3));
    OIIO::ImageBufAlgo::fill(buf, red, OIIO::ROI(4, 8, 0, 4, 0, 1, 0, 3));
    const std::string input = (dir / "patches.exr").string();
    ASSERT_TRUE(buf.write(input));
    const std::string output = (dir / "keyed.exr").string();
    // Key (0, 1, 0) in RGB with windows 0.1 wide. A channel's distance is 0
    // where it lies w * w / 2 above the window start, so Min = -0.005 centres
    // each window on the key value.
    Outcome run = Veskar({"render", input, "-o", output, "--set", "Colorspace=RGB", "--set", "ValueGreen=1",
                          "--set", "MiRedn=-0.005", "--set", "MinGreen=-0.005", "--set", "MinBlue=-0.005",
                          "--set", "MaxRed=0.095", "--set", "MaxGreen=0.095", "--set", "MaxBlue=0.095"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    OIIO::ImageBuf keyed(output);
    ASSERT_TRUE(keyed.read());
    ASSERT_EQ(keyed.spec().channelnames, (std::vector<std::string>{"R", "G", "B", "A"}));
    float pixel[4];
    keyed.getpixel(1, 1, pixel);
    // The residue is the single-precision rounding of 0.005 in the distance.
    EXPECT_LT(pixel[3], 1e-6f);
    EXPECT_LT(pixel[1], 1e-6f);  // premultiplied by the matte
    keyed.getpixel(6, 2, pixel);
    EXPECT_EQ(pixel[3], 1.0f);
    EXPECT_EQ(pixel[0], 1.0f);
}

TEST_F(Cli, KeyColourFollowsTheColourSpaceInCommandLineOrder) {
    const std::string input = WriteImage("plate.exr", 4, 4, {"R", "G", "B"});
    const std::string settings = (dir / "s.setting").string();
    Outcome run = Veskar({"render", input, "--set", "Colorspace=1", "--key-color", "0,1,0", "--save-settings",
                          settings, "-o", (dir / "out.exr").string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::string text = ReadText(settings);
    EXPECT_NE(text.find("ValueRed = Input { Value = 0.3333333"), std::string::npos) << text;  // green's hue
    EXPECT_NE(text.find("ValueGreen = Input { Value = 1, },"), std::string::npos);
    EXPECT_NE(text.find("ValueBlue = Input { Value = 1, },"), std::string::npos);
    EXPECT_NE(text.find("CGreen = Input { Value = 1, },"), std::string::npos);
    // The other way round the key colour is entered in RGB, and switching the
    // colour space afterwards converts nothing.
    run = Veskar({"render", input, "--key-color", "0,1,0", "--set", "Colorspace=1", "--save-settings", settings,
                  "-o", (dir / "out.exr").string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    text = ReadText(settings);
    EXPECT_NE(text.find("ValueRed = Input { Value = 0, },"), std::string::npos) << text;
    EXPECT_NE(text.find("ValueBlue = Input { Value = 0, },"), std::string::npos);
}

TEST_F(Cli, SettingsFileRoundTripsThroughTheCommandLine) {
    const std::string input = WriteImage("plate.exr", 8, 8, {"R", "G", "B", "A"});
    const std::string first = (dir / "first.setting").string();
    const std::string second = (dir / "second.setting").string();
    Outcome run = Veskar({"render", input, "-o", (dir / "a.exr").string(), "--set", "Colorspace=YCbCr", "--set",
                          "keyfall=BCos", "--set", "Alphamult=off", "--key-color", "0.1,0.7,0.3", "--set",
                          "GammaAlpha=0.30000000000000004", "--set", "OffAlpha=-0", "--save-settings", first});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    run = Veskar({"render", input, "-o", (dir / "b.exr").string(), "--settings", first, "--save-settings", second});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadText(first), ReadText(second));
    EXPECT_TRUE(SameImage((dir / "a.exr").string(), (dir / "b.exr").string()));
    EXPECT_NE(ReadText(first).find("OffAlpha = Input { Value = -0.0, },"), std::string::npos);
    // The file comes first; the command line's sets after it.
    run = Veskar({"render", input, "-o", (dir / "c.exr").string(), "--set", "keyfall=Linear", "--settings", first,
                  "--save-settings", second});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(ReadText(second).find("keyfall = Input { Value = 0, },"), std::string::npos);
}

TEST_F(Cli, SaveSettingsWritesEveryNumberControl) {
    const std::string input = WriteImage("plate.exr", 8, 8, {"R", "G", "B", "A"});
    const std::string settings = (dir / "s.setting").string();
    Outcome run = Veskar({"render", input, "-o", (dir / "out.exr").string(), "--set", "ValueRed=0.1", "--set",
                      "MaxBlue=-0.30000000000000004", "--save-settings", settings});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string text = ReadText(settings);
    EXPECT_EQ(text.rfind("{\n\tTools = ordered() {\n\t\tVeskar1 = Veskar {\n\t\t\tInputs = {\n", 0), 0u) << text;
    EXPECT_NE(text.find("ValueRed = Input { Value = 0.10000000000000001, },"), std::string::npos) << text;
    EXPECT_NE(text.find("MaxBlue = Input { Value = -0.30000000000000004, },"), std::string::npos);
    EXPECT_NE(text.find("MiRedn = Input { Value = 0, },"), std::string::npos);
    EXPECT_EQ(text.find("KeyImage"), std::string::npos);
    EXPECT_EQ(text.find("mydivider"), std::string::npos);
}

// Settings saved to standard output go into the stream the caller set up:
// after what veskar said there, into the same file (never replaced), or down
// a pipe. The shell stands in for the caller.
TEST_F(Cli, SaveSettingsToStandardOutputWritesIntoTheStream) {
    const std::string input = WriteImage("plate.exr", 8, 8, {"R", "G", "B", "A"});
    const fs::path log = dir / "log.txt";
    std::ofstream(log) << "old\n";
    struct stat before {};
    ASSERT_EQ(::stat(log.c_str(), &before), 0);
    std::string command = ShellQuote(VESKAR_TEST_EXE) + " render " + ShellQuote(input) + " -o " +
                          ShellQuote((dir / "out.exr").string()) + " --save-settings /dev/stdout";
    ASSERT_EQ(std::system(("{ echo before; " + command + "; } > " + ShellQuote(log.string()) + " 2>&1").c_str()), 0);
    const std::string text = ReadText(log);
    EXPECT_EQ(text.rfind("before\n", 0), 0u) << text;
    EXPECT_NE(text.find("\tTools = ordered() {"), std::string::npos) << text;
    EXPECT_NE(text.find("veskar: 1 frame keyed"), std::string::npos) << text;
    struct stat after {};
    ASSERT_EQ(::stat(log.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);

    const fs::path piped = dir / "piped.txt";
    ASSERT_EQ(std::system((command + " | cat > " + ShellQuote(piped.string())).c_str()), 0);
    EXPECT_NE(ReadText(piped).find("\tTools = ordered() {"), std::string::npos) << ReadText(piped);
    EXPECT_TRUE(fs::exists(dir / "out.exr"));

    // Read from and saved to one open file, as to a terminal that is both:
    // a stream overwrites no input, so the run goes ahead.
    const fs::path both = dir / "both.setting";
    fs::copy_file(piped, both);
    ASSERT_EQ(std::system((command + " --settings /dev/stdin <>" + ShellQuote(both.string()) + " 1>&0").c_str()), 0);
    EXPECT_EQ(ReadText(both).rfind("{\n\tTools = ordered() {", 0), 0u) << ReadText(both);
    for (const std::string& name : Files()) EXPECT_EQ(name.rfind(".veskar-tmp-", 0), std::string::npos) << name;
}

TEST_F(Cli, SequenceWithKeyImageSequenceKeysEachFrameAsAlone) {
    for (int frame = 1; frame <= 3; ++frame) {
        // Frames differ: each is written from a different size crop of values.
        WriteImage("plate.000" + std::to_string(frame) + ".exr", 16 + frame, 12, {"R", "G", "B", "A", "Z"});
        WriteImage("key.000" + std::to_string(frame) + ".exr", 8, 6, {"R", "G", "B"});
    }
    const std::vector<std::string> look = {"--set", "ValueGreen=0.6", "--set", "MaxGreen=0.3", "--set", "keyfall=Cosine"};
    std::vector<std::string> args = {"render", (dir / "plate.####.exr").string(), "-o", (dir / "out.%04d.exr").string(),
                                     "--key-image", (dir / "key.####.exr").string(), "--frames", "1-3"};
    args.insert(args.end(), look.begin(), look.end());
    Outcome run = Veskar(args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("3 frames keyed"), std::string::npos) << run.err;
    for (int frame = 1; frame <= 3; ++frame) {
        const std::string n = std::to_string(frame);
        std::vector<std::string> single = {"render", (dir / ("plate.000" + n + ".exr")).string(), "-o",
                                           (dir / ("single." + n + ".exr")).string(), "--key-image",
                                           (dir / ("key.000" + n + ".exr")).string()};
        single.insert(single.end(), look.begin(), look.end());
        ASSERT_EQ(Veskar(single).exitCode, 0);
        EXPECT_TRUE(SameImage((dir / ("out.000" + n + ".exr")).string(), (dir / ("single." + n + ".exr")).string()))
            << "frame " << frame;
    }
}

TEST_F(Cli, SkipExistingResumesAnInterruptedRun) {
    for (int frame = 1; frame <= 3; ++frame) WriteImage("p." + std::to_string(frame) + ".exr", 6, 4, {"R", "G", "B"});
    const std::vector<std::string> args = {"render", (dir / "p.#.exr").string(), "-o", (dir / "o.#.exr").string(),
                                           "--frames", "1-3", "--skip-existing"};
    ASSERT_EQ(Veskar(args).exitCode, 0);
    fs::remove(dir / "o.2.exr");
    const auto before = fs::last_write_time(dir / "o.1.exr");
    { std::ofstream(dir / "o.3.exr", std::ios::app) << ""; }  // frame 3 counts as written, whatever it holds
    Outcome run = Veskar(args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("1 frame keyed, 2 skipped"), std::string::npos) << run.err;
    EXPECT_TRUE(fs::exists(dir / "o.2.exr"));
    EXPECT_EQ(fs::last_write_time(dir / "o.1.exr"), before);
}

TEST_F(Cli, MissingFrameStopsTheRunAndKeepsEarlierFrames) {
    WriteImage("p.1.exr", 6, 4, {"R", "G", "B"});
    WriteImage("p.3.exr", 6, 4, {"R", "G", "B"});
    Outcome run = Veskar({"render", (dir / "p.#.exr").string(), "-o", (dir / "o.#.exr").string(), "--frames", "1-3"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("frame 2: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("p.2.exr: cannot read"), std::string::npos) << run.err;
    OIIO::ImageBuf first((dir / "o.1.exr").string());
    EXPECT_TRUE(first.read());  // a whole, valid file
    EXPECT_FALSE(fs::exists(dir / "o.3.exr"));
    EXPECT_EQ(Files(), (std::vector<std::string>{"o.1.exr", "p.1.exr", "p.3.exr"}));
}

TEST_F(Cli, PickAveragesTheSquareAroundThePoint) {
    OIIO::ImageBuf buf(OIIO::ImageSpec(20, 20, 3, OIIO::TypeDesc::FLOAT));
    const float grey[] = {0.5f, 0.5f, 0.5f};
    const float patch[] = {0.25f, 0.75f, 0.125f};
    OIIO::ImageBufAlgo::fill(buf, grey);
    OIIO::ImageBufAlgo::fill(buf, patch, OIIO::ROI(8, 13, 8, 13, 0, 1, 0, 3));
    const std::string input = (dir / "patch.exr").string();
    ASSERT_TRUE(buf.write(input));
    const std::string settings = (dir / "s.setting").string();
    Outcome run = Veskar({"render", input, "-o", (dir / "out.exr").string(), "--pick", "10,10", "--save-settings", settings});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::string text = ReadText(settings);
    EXPECT_NE(text.find("CRed = Input { Value = 0.25, },"), std::string::npos) << text;
    EXPECT_NE(text.find("CGreen = Input { Value = 0.75, },"), std::string::npos);
    EXPECT_NE(text.find("ValueBlue = Input { Value = 0.125, },"), std::string::npos);
    // Radius 1 at the patch's corner: 4 of the 9 pixels are the patch.
    run = Veskar({"render", input, "-o", (dir / "out.exr").string(), "--pick", "8,8,1", "--save-settings", settings});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    text = ReadText(settings);
    EXPECT_NE(text.find("CRed = Input { Value = " + std::string("0.3888888888888889")), std::string::npos) << text;
    run = Veskar({"render", input, "-o", (dir / "out.exr").string(), "--pick", "20,3"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("--pick 20,3: outside the 20 x 20 image"), std::string::npos) << run.err;
}

TEST_F(Cli, PreviewAndOutputType) {
    const std::string input = WriteImage("plate.exr", 800, 300, {"R", "G", "B", "A"});
    const std::string preview = (dir / "sheet.png").string();
    Outcome run = Veskar({"render", input, "-o", (dir / "out.exr").string(), "--preview", preview, "--type", "half"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    OIIO::ImageBuf sheet(preview);
    ASSERT_TRUE(sheet.read()) << sheet.geterror();
    // Three panels 640 wide (the 800-wide frame scaled), gaps of 12, a label row.
    EXPECT_EQ(sheet.spec().width, 3 * 640 + 4 * 12);
    EXPECT_EQ(sheet.spec().height, 240 + 36 + 2 * 12);
    EXPECT_EQ(sheet.spec().format, OIIO::TypeDesc::UINT8);
    OIIO::ImageBuf out((dir / "out.exr").string());
    ASSERT_TRUE(out.read());
    EXPECT_EQ(out.spec().format, OIIO::TypeDesc::HALF);
}

TEST_F(Cli, BadInputsFailWithTheirMessageAndWriteNothing) {
    const std::string plate = WriteImage("plate.exr", 8, 8, {"R", "G", "B", "A"});
    {
        // A truncated EXR: the header survives, the pixels do not.
        const std::string full = ReadText(plate);
        std::ofstream(dir / "truncated.exr", std::ios::binary) << full.substr(0, full.size() / 2);
    }
    // A header that promises more pixels per line than 32-bit positions reach.
    std::ofstream(dir / "huge.pgm", std::ios::binary) << "P5\n200000000 1\n255\n\x01\x02";
    const std::string out = (dir / "out.exr").string();
    const std::string settings = (dir / "s.setting").string();
    auto settingsFile = [&](const std::string& name, const std::string& body) {
        std::ofstream(dir / name) << body;
        return (dir / name).string();
    };
    const std::string head = "{ Tools = ordered() { Veskar1 = Veskar { Inputs = { ";
    const std::string tail = " }, }, }, }";
    const std::string syntax = settingsFile("syntax.setting", "{ Tools = ordered() {\n Veskar1 = Veskar { Inputs = { ,, } } } }");
    const std::string execute = settingsFile("execute.setting", head + "CRed = Input { Value = os.execute('touch pwned') }," + tail);
    const std::string open = settingsFile("open.setting", head + "CRed = Input { Value = io.open('/etc/passwd') }," + tail);
    const std::string require = settingsFile("require.setting", head + "CRed = Input { Value = require('x') }," + tail);
    const std::string loop = settingsFile("loop.setting", "(function() while true do end end)()");
    const std::string hog = settingsFile("hog.setting", "(function() local t = {} for i = 1, 1e12 do t[i] = i end end)()");
    const std::string entry = settingsFile("entry.setting", head + "keyfall = Input { Value = \"Cosin\", }," + tail);
    struct Case {
        std::vector<std::string> args;
        std::string fragment;
        int exitCode;
    };
    const std::vector<Case> cases = {
        {{"render", plate, "-o", out, "--set", "Colourspace=1"}, "unknown control 'Colourspace' (did you mean 'Colorspace'?)", 2},
        {{"render", plate, "-o", out, "--set", "keyfall=Cosin"},
         "--set keyfall=Cosin: 'Cosin' is not an entry of keyfall (Linear, Cosine, HalfCos, BCos)", 2},
        {{"render", plate, "-o", out, "--set", "GammaAlpha=abc"}, "--set GammaAlpha=abc: 'abc' is not a number", 2},
        {{"render", plate, "-o", out, "--set", "InvAlpha=yes"}, "'yes' is not on, off or a number", 2},
        {{"render", plate, "-o", out, "--key-color", "0,1"}, "expected three numbers R,G,B", 2},
        {{"render", plate, "-o", out, "--set", "keyfall"}, "expected ID=VALUE", 2},
        {{"render", plate, "-o", out, "--set", "KeyImage=1"}, "'KeyImage' is an image input", 2},
        {{"render", (dir / "missing.exr").string(), "-o", out}, "missing.exr: cannot read: no such file", 1},
        {{"render", plate, "-o", out, "--key-image", (dir / "nokey.exr").string()}, "nokey.exr: cannot read", 1},
        {{"render", (dir / "truncated.exr").string(), "-o", out}, "truncated.exr: cannot read", 1},
        {{"render", (dir / "huge.pgm").string(), "-o", out, "--max-memory", "1T"}, "too large for the host's 32-bit pixel positions", 1},
        {{"render", plate, "-o", plate}, "the output would overwrite the input", 1},
        {{"render", dir.string(), "-o", out}, "cannot read: a folder, not an image file", 1},
        {{"render", plate, "-o", (dir / "missing" / "out.exr").string()}, "the folder " + (dir / "missing").string() + " does not exist", 1},
        {{"render", plate, "-o", (dir / "." / "plate.exr").string()}, "the output would overwrite the input", 1},
        {{"render", plate, "-o", out, "--save-settings", plate}, "the settings file would overwrite the input", 1},
        {{"render", plate, "-o", out, "--threads", "-1"}, "--threads", 2},
        {{"render", plate}, "--output is required", 2},
        {{"render", plate, "-o", out, "--plugins", (dir / "noplugins").string()}, "cannot read plug-in folder", 1},
        {{"render", plate, "-o", out, "--settings", syntax}, "syntax.setting:2:", 1},
        {{"render", plate, "-o", out, "--settings", execute}, "execute.setting:1: 'os' is not available", 1},
        {{"render", plate, "-o", out, "--settings", open}, "open.setting:1: 'io' is not available", 1},
        {{"render", plate, "-o", out, "--settings", require}, "require.setting:1: 'require' is not available", 1},
        {{"render", plate, "-o", out, "--settings", loop}, "loop.setting", 1},
        {{"render", plate, "-o", out, "--settings", hog}, "hog.setting", 1},
        {{"render", plate, "-o", out, "--settings", entry}, "Veskar1.keyfall: 'Cosin' is not an entry of keyfall", 1},
        {{"render", plate, "-o", out, "--settings", (dir / "none.setting").string()}, "none.setting", 1},
        {{"render", (dir / "p.#.exr").string(), "-o", (dir / "o.#.exr").string()}, "a sequence needs --frames", 2},
        {{"render", plate, "-o", out, "--frames", "1-3"}, "has no frame number pattern", 2},
    };
    const std::vector<std::string> before = Files();
    ASSERT_FALSE(fs::exists("pwned"));
    for (const Case& c : cases) {
        Outcome run = Veskar(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.fragment << "\n" << run.err;
        EXPECT_NE(run.err.find(c.fragment), std::string::npos) << "expected: " << c.fragment << "\ngot: " << run.err;
        EXPECT_EQ(Files(), before) << c.fragment;  // nothing written, no temporary left
    }
    EXPECT_FALSE(fs::exists("pwned"));  // the settings file ran nothing
}
