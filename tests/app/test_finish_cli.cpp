// The finishing options of veskar render, run as users run them: what they
// refuse, what they write into settings files and read back, and that a
// render without them writes the tool's own bits.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include "support/run_veskar.h"
#include "support/test_folder.h"

using namespace veskar_test;
namespace fs = std::filesystem;

namespace {

// Every channel of both files holds the same values (0 tolerance).
bool SameImage(const std::string& a, const std::string& b) {
    OIIO::ImageBuf first(a), second(b);
    if (!first.read() || !second.read()) return false;
    if (first.spec().channelnames != second.spec().channelnames) return false;
    const OIIO::ImageBufAlgo::CompareResults cmp = OIIO::ImageBufAlgo::compare(first, second, 0.0f, 0.0f);
    return !cmp.error && cmp.nfail == 0 && cmp.maxerror == 0.0;
}

class FinishCli : public FolderTest {
protected:
    FinishCli() : FolderTest("finish_cli") {}

    void SetUp() override {
        FolderTest::SetUp();
        plate = WritePlate("plate.exr", kWidth, kHeight);
    }

    Outcome Veskar(const std::vector<std::string>& args) { return RunVeskar(args, dir); }

    // A green screen with a warm subject whose edge ramps over a few pixels,
    // so that every finishing stage has something to change.
    std::string WritePlate(const std::string& name, int width, int height) const {
        OIIO::ImageBuf buf(OIIO::ImageSpec(width, height, 3, OIIO::TypeDesc::FLOAT));
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const double distance = std::hypot(x - width / 2.0, y - height / 2.0);
                const float cover = static_cast<float>(std::clamp((width / 4.0 - distance) / 4.0, 0.0, 1.0));
                const float pixel[3] = {0.1f + 0.7f * cover, 0.7f - 0.3f * cover, 0.15f + 0.15f * cover};
                buf.setpixel(x, y, pixel);
            }
        }
        const std::string path = (dir / name).string();
        EXPECT_TRUE(buf.write(path)) << buf.geterror();
        return path;
    }

    // A one-channel matte of `width` x `height`, its channel named `name`:
    // its left half covered.
    std::string WriteMatte(const fs::path& path, int width, int height, const std::string& name = "Y") const {
        OIIO::ImageSpec spec(width, height, 1, OIIO::TypeDesc::FLOAT);
        spec.channelnames = {name};
        OIIO::ImageBuf buf(spec);
        const float one[1] = {1.0f};
        OIIO::ImageBufAlgo::fill(buf, one, OIIO::ROI(0, width / 2, 0, height, 0, 1, 0, 1));
        EXPECT_TRUE(buf.write(path.string())) << buf.geterror();
        return path.string();
    }

    // Renders the plate with `extra` options into `name`.
    Outcome Render(const std::string& name, std::vector<std::string> extra) {
        std::vector<std::string> args = {"render", plate, "-o", (dir / name).string(), "--key-color", "0.1,0.7,0.15"};
        args.insert(args.end(), extra.begin(), extra.end());
        return Veskar(args);
    }

    std::string Out(const std::string& name) const { return (dir / name).string(); }

    static constexpr int kWidth = 40;
    static constexpr int kHeight = 30;
    std::string plate;
};

}  // namespace

// Options that ask for nothing leave the run on the tool's own path: the
// same bits as a render without them.
TEST_F(FinishCli, NeutralFinishingWritesTheToolsBits) {
    ASSERT_EQ(Render("plain.exr", {}).exitCode, 0);
    const Outcome neutral = Render("neutral.exr", {"--clip-black", "0", "--clip-white", "1", "--shrink", "0",
                                                   "--despill", "0", "--show", "result"});
    ASSERT_EQ(neutral.exitCode, 0) << neutral.err;
    EXPECT_TRUE(SameImage(Out("plain.exr"), Out("neutral.exr")));
    // And the finishing is really run when asked: a softened matte differs.
    const Outcome soft = Render("soft.exr", {"--soften", "2"});
    ASSERT_EQ(soft.exitCode, 0) << soft.err;
    EXPECT_FALSE(SameImage(Out("plain.exr"), Out("soft.exr")));
}

TEST_F(FinishCli, UsageErrorsNameTheOptionAndTheValue) {
    WriteMatte(dir / "small.exr", 10, 10);
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--shrink", "-1"}, "--shrink -1: pixels must be 0 or more"},
        {{"--soften", "-0.5"}, "--soften -0.5: pixels must be 0 or more"},
        {{"--despot", "abc"}, "--despot abc: not a number"},
        {{"--grow", "nan"}, "--grow nan: not a number"},
        {{"--shrink", "1", "--grow", "2"}, "--shrink 1 and --grow 2: give one of them"},
        {{"--clip-black", "0.5", "--clip-white", "0.5"}, "--clip-white 0.5: must be above clip black 0.5"},
        {{"--clip-white", "-0.25"}, "--clip-white -0.25: must be above clip black 0"},
        {{"--despill", "2.5"}, "--despill 2.5: the amount must be from 0 (off) to 2"},
        {{"--show", "alpha"}, "--show alpha: expected result, matte or status"},
        {{"--despill", "out.exr"}, "--despill out.exr: not a number (--despill takes the next word as its amount"},
        {{"--garbage", Out("missing.png")}, "--garbage " + Out("missing.png") + ": no such file"},
        {{"--holdout", Out("small.exr")}, "--holdout " + Out("small.exr") + ": the matte is 10 x 10, the plate 40 x 30"},
        {{"--garbage", "1,2,3,4"}, "--garbage"},
    };
    for (const Case& c : cases) {
        const Outcome run = Render("out.exr", c.args);
        EXPECT_EQ(run.exitCode, 2) << c.message << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(Out("out.exr"))) << c.message;
    }
    // A matte is one of the run's inputs: no output may overwrite it.
    const std::string matte = WriteMatte(dir / "matte.exr", kWidth, kHeight);
    const Outcome clash = Render("matte.exr", {"--garbage", matte});
    EXPECT_EQ(clash.exitCode, 1);
    EXPECT_NE(clash.err.find(matte + ": the output would overwrite the matte"), std::string::npos) << clash.err;
}

// --despill alone is a full despill; the recipe is the options it names; an
// option given with the recipe replaces the recipe's value.
TEST_F(FinishCli, CleanEdgesIsItsRecipeAndYieldsToOptionsGiven) {
    ASSERT_EQ(Render("recipe.exr", {"--clean-edges"}).exitCode, 0);
    ASSERT_EQ(Render("spelled.exr", {"--refine-edges", "--unmix", "--despill", "0.85"}).exitCode, 0);
    ASSERT_EQ(Render("full.exr", {"--despill=0.85", "--clip-black=0", "--unmix", "--refine-edges"}).exitCode, 0);
    EXPECT_TRUE(SameImage(Out("recipe.exr"), Out("spelled.exr")));
    EXPECT_TRUE(SameImage(Out("recipe.exr"), Out("full.exr")));

    const std::string saved = Out("s.setting");
    const Outcome run = Render("half.exr", {"--clean-edges", "--despill", "0.25", "--save-settings", saved});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string text = ReadText(saved);
    EXPECT_NE(text.find("\tVeskarFinishing = {\n\t\tRefineEdges = true,\n\t\tUnmix = true,\n\t\tDespill = 0.25,\n\t},\n}\n"),
              std::string::npos)
        << text;
    // The plate's subject has no spill, and its edges unmix to it: a lower
    // clip shows in the frame where a lesser despill may not.
    ASSERT_EQ(Render("clipped.exr", {"--clean-edges", "--clip-black", "0.3"}).exitCode, 0);
    EXPECT_FALSE(SameImage(Out("recipe.exr"), Out("clipped.exr")));

    // A flag given as false takes its part out of the recipe.
    ASSERT_EQ(Render("no_refine.exr", {"--clean-edges", "--refine-edges=false", "--unmix=false"}).exitCode, 0);
    ASSERT_EQ(Render("rest.exr", {"--despill", "0.85"}).exitCode, 0);
    EXPECT_TRUE(SameImage(Out("no_refine.exr"), Out("rest.exr")));
}

// What --save-settings writes, --settings reads back: the same section again
// and the same frame, bit for bit; mattes are named relative to the file.
TEST_F(FinishCli, SavedFinishingRendersTheSameFromTheFile) {
    fs::create_directories(dir / "mattes");
    const std::string matte = WriteMatte(dir / "mattes" / "left.exr", kWidth, kHeight);
    fs::create_directories(dir / "shot");
    const std::string first = (dir / "shot" / "first.setting").string();
    const std::string second = (dir / "shot" / "second.setting").string();
    const std::vector<std::string> finishing = {"--refine-edges", "--unmix", "--despill", "0.5", "--soften",
                                                "1.5", "--clip-black", "0.05", "--garbage", "0,0,12,0,12,30,0,30", "--holdout", matte,
                                                "--show", "status"};
    std::vector<std::string> args = finishing;
    args.insert(args.end(), {"--save-settings", first});
    Outcome run = Render("command.exr", args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string text = ReadText(first);
    EXPECT_NE(text.find("Garbage = { \"0,0,12,0,12,30,0,30\", },"), std::string::npos) << text;
    EXPECT_NE(text.find("Holdout = { \"../mattes/left.exr\", },"), std::string::npos) << text;
    EXPECT_NE(text.find("View = \"status\","), std::string::npos) << text;
    EXPECT_NE(text.find("Tools = ordered()"), std::string::npos) << text;

    run = Veskar({"render", plate, "-o", Out("file.exr"), "--settings", first, "--save-settings", second});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadText(first), ReadText(second));
    EXPECT_TRUE(SameImage(Out("command.exr"), Out("file.exr")));
    // The file says what finishing made it, as the command line does not.
    OIIO::ImageBuf written(Out("file.exr"));
    ASSERT_TRUE(written.read());
    const std::string history = written.spec().get_string_attribute("Exif:ImageHistory");
    EXPECT_NE(history.find("finishing: refine edges, clip black 0.05, soften 1.5, garbage 0,0,12,0,12,30,0,30, holdout "
                           "../mattes/left.exr, unmix, despill 0.5, view status"),
              std::string::npos)
        << history;
}

// The command line replaces what the file says; shrink and grow are one
// setting, so --grow 0 undoes the file's Shrink.
TEST_F(FinishCli, CommandLineOverridesTheSettingsFile) {
    const std::string settings = Out("s.setting");
    ASSERT_EQ(Render("shrunk.exr", {"--shrink", "1.5", "--soften", "1", "--save-settings", settings}).exitCode, 0);
    ASSERT_EQ(Render("plain.exr", {}).exitCode, 0);
    const Outcome run = Veskar({"render", plate, "-o", Out("undone.exr"), "--settings", settings, "--grow", "0",
                                "--soften", "0"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(SameImage(Out("plain.exr"), Out("undone.exr")));
    EXPECT_FALSE(SameImage(Out("plain.exr"), Out("shrunk.exr")));
}

// Mistakes in the section stop the run before anything is written, naming
// the file and the key.
TEST_F(FinishCli, SectionMistakesNameTheFileAndKey) {
    const std::string tool =
        "\tTools = ordered() { Veskar1 = Veskar { Inputs = { CGreen = Input { Value = 0.7, }, }, }, },\n";
    const fs::path folder = dir / "shot";
    fs::create_directories(folder);
    struct Case {
        std::string section;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"Blur = 2,", "VeskarFinishing.Blur: unknown key"},
        {"Shrink = -2,", "VeskarFinishing.Shrink -2: pixels must be 0 or more"},
        {"Soften = \"2\",", "VeskarFinishing.Soften: must be a number, got \"2\""},
        {"Unmix = 1,", "VeskarFinishing.Unmix: must be true or false, got 1"},
        {"View = \"alpha\",", "VeskarFinishing.View: must be \"result\", \"matte\" or \"status\", got \"alpha\""},
        {"Garbage = { 3 },", "VeskarFinishing.Garbage: must hold texts"},
        {"Garbage = { \"nowhere.exr\" },", "VeskarFinishing.Garbage nowhere.exr: no such file"},
        {"ClipBlack = 0.6, ClipWhite = 0.4,", "VeskarFinishing.ClipWhite 0.4: must be above clip black 0.6"},
        {"Shrink = 1, Grow = 1,", "VeskarFinishing.Shrink and Grow: give one of them"},
    };
    for (const Case& c : cases) {
        const std::string path = (folder / "bad.setting").string();
        std::ofstream(path) << "{\n" << tool << "\tVeskarFinishing = { " << c.section << " },\n}\n";
        const Outcome run = Veskar({"render", plate, "-o", Out("out.exr"), "--settings", path});
        EXPECT_EQ(run.exitCode, 1) << c.section << "\n" << run.err;
        EXPECT_NE(run.err.find(path + ": " + c.message), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(Out("out.exr"))) << c.section;
    }
}

// A matte named in a settings file is found beside the file, wherever the
// run starts; a matte of alpha alone is read (the plate reader refuses such
// a file, as it has no colour to key).
TEST_F(FinishCli, SectionMattesAreRelativeToTheSettingsFile) {
    fs::create_directories(dir / "shot");
    WriteMatte(dir / "shot" / "left.exr", kWidth, kHeight, "A");
    const std::string settings = (dir / "shot" / "s.setting").string();
    std::ofstream(settings) << "{\n\tTools = ordered() { Veskar1 = Veskar { Inputs = { CGreen = Input { Value = 0.7, "
                               "}, }, }, },\n\tVeskarFinishing = { Garbage = { \"left.exr\" }, },\n}\n";
    const Outcome run = Veskar({"render", plate, "-o", Out("file.exr"), "--settings", settings});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    OIIO::ImageBuf written(Out("file.exr"));
    ASSERT_TRUE(written.read());
    // The subject is cleared where the matte's left half covers it, and
    // kept where it does not.
    float pixel[4];
    written.getpixel(15, 15, pixel);
    EXPECT_EQ(pixel[3], 0.0f);
    written.getpixel(25, 15, pixel);
    EXPECT_GT(pixel[3], 0.5f);
}

// The contact sheet shows the finished frame, and a resumed run leaves the
// finished frames it finds.
TEST_F(FinishCli, PreviewAndSkipExistingKeepWorking) {
    const std::string sequence = (dir / "plate.%04d.exr").string();
    fs::copy_file(plate, dir / "plate.0001.exr");
    fs::copy_file(plate, dir / "plate.0002.exr");
    const std::vector<std::string> args = {"render", sequence, "--frames", "1-2", "-o", Out("out.####.exr"),
                                           "--soften", "1", "--preview", Out("sheet.png")};
    Outcome run = Veskar(args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(fs::exists(Out("sheet.png")));
    const auto written = fs::last_write_time(Out("out.0001.exr"));
    fs::remove(Out("out.0002.exr"));
    std::vector<std::string> resume = args;
    resume.push_back("--skip-existing");
    run = Veskar(resume);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(fs::last_write_time(Out("out.0001.exr")), written);
    EXPECT_TRUE(SameImage(Out("out.0001.exr"), Out("out.0002.exr")));
}
