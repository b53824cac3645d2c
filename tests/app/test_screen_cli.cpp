// --screen, --screen auto and the one-sided key warning, run through veskar
// on the shared plates (skipped when the data folder is absent) and on the
// demo sample, which veskar makes itself.

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "support/file_pixels.h"
#include "support/run_veskar.h"

namespace fs = std::filesystem;
using namespace veskar_test;

namespace {

const fs::path kGreenscreen = fs::path(VESKAR_TEST_SHARED_DATA) / "greenscreen";
const fs::path kInstrument = kGreenscreen / "semisynth_instrument_green.png";
const fs::path kInstrumentMask = kGreenscreen / "semisynth_instrument_green_seg.png";
const fs::path kHair = kGreenscreen / "mdn_chromakey_yellowgreen_f0060_person_hair.png";

// A drape rectangle of the instrument plate, in its dark top-left corner.
const char* const kDrape = "20,20,100,100";

class ScreenCli : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(::testing::TempDir()) / ("veskar_screen_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    Outcome Run(const std::vector<std::string>& args) { return RunVeskar(args, dir_); }
    fs::path Path(const std::string& name) const { return dir_ / name; }

    // The demo sample, made once for the suite: making it takes a second or two.
    static fs::path Sample() {
        static const fs::path folder = [] {
            const fs::path dir = fs::path(::testing::TempDir()) / ("veskar_screen_sample_" + std::to_string(::getpid()));
            fs::create_directories(dir);
            const Outcome made = RunVeskar({"sample", (dir / "sample").string()}, dir);
            EXPECT_EQ(made.exitCode, 0) << made.err;
            return dir / "sample";
        }();
        return folder;
    }
    static void TearDownTestSuite() { fs::remove_all(Sample().parent_path()); }

    fs::path dir_;
};

struct MaskAgreement {
    double iou = 0;           // alpha > 0.5 against the mask
    long farBackingLeaks = 0;  // backing pixels over 3 px from the subject with alpha > 0.05
    long farBacking = 0;
};

MaskAgreement AgainstMask(const FilePixels& keyed, const FilePixels& mask) {
    MaskAgreement m;
    const int w = mask.width;
    const int h = mask.height;
    std::vector<char> near(static_cast<std::size_t>(w) * h, 0);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (mask.At(x, y, 0) <= 0.5f) continue;
            for (int dy = -3; dy <= 3; ++dy) {
                for (int dx = -3; dx <= 3; ++dx) {
                    const int X = x + dx, Y = y + dy;
                    if (dx * dx + dy * dy <= 9 && X >= 0 && Y >= 0 && X < w && Y < h) {
                        near[static_cast<std::size_t>(Y) * w + X] = 1;
                    }
                }
            }
        }
    }
    long both = 0, either = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const float alpha = keyed.At(x, y, 3);
            const bool subject = mask.At(x, y, 0) > 0.5f;
            both += alpha > 0.5f && subject;
            either += alpha > 0.5f || subject;
            if (!near[static_cast<std::size_t>(y) * w + x]) {
                ++m.farBacking;
                m.farBackingLeaks += alpha > 0.05f;
            }
        }
    }
    m.iou = static_cast<double>(both) / static_cast<double>(std::max(either, 1L));
    return m;
}

// The rectangles --screen auto printed.
std::vector<std::array<int, 4>> PrintedRects(const std::string& err) {
    std::vector<std::array<int, 4>> rects;
    const std::size_t start = err.find("rectangles:");
    if (start == std::string::npos) return rects;
    const std::string line = err.substr(start, err.find('\n', start) - start);
    static const std::regex kRect(R"((\d+),(\d+),(\d+),(\d+))");
    for (auto it = std::sregex_iterator(line.begin(), line.end(), kRect); it != std::sregex_iterator(); ++it) {
        rects.push_back({std::stoi((*it)[1]), std::stoi((*it)[2]), std::stoi((*it)[3]), std::stoi((*it)[4])});
    }
    return rects;
}

// The issue's plate: one rectangle of drape and HSV, nothing else.
TEST_F(ScreenCli, InstrumentPlateFromOneDrapeRectangle) {
    if (!fs::exists(kInstrument)) GTEST_SKIP() << "no shared data at " << kInstrument;
    const Outcome run = Run({"render", kInstrument.string(), "--set", "Colorspace=HSV", "--screen", kDrape,
                               "-o", Path("keyed.exr").string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
    const MaskAgreement m = AgainstMask(ReadPixels(Path("keyed.exr")), ReadPixels(kInstrumentMask));
    RecordProperty("iou", std::to_string(m.iou));
    RecordProperty("far_backing_leaks", std::to_string(m.farBackingLeaks));
    EXPECT_GE(m.iou, 0.99);
    EXPECT_GT(m.farBacking, 150000);
    EXPECT_EQ(m.farBackingLeaks, 0);
}

// --screen auto finds the drape: every rectangle it prints lies on the
// backing of the mask, and the key it gives is close to the one-rectangle key.
TEST_F(ScreenCli, AutoFindsTheDrape) {
    if (!fs::exists(kInstrument)) GTEST_SKIP() << "no shared data at " << kInstrument;
    const Outcome run = Run({"render", kInstrument.string(), "--set", "Colorspace=HSV", "--screen", "auto", "-o",
                               Path("keyed.exr").string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto rects = PrintedRects(run.err);
    ASSERT_GE(rects.size(), 2u) << run.err;
    const FilePixels mask = ReadPixels(kInstrumentMask);
    for (const auto& r : rects) {
        for (int y = r[1]; y < r[1] + r[3]; ++y) {
            for (int x = r[0]; x < r[0] + r[2]; ++x) {
                ASSERT_EQ(mask.At(x, y, 0), 0.0f) << "rectangle " << r[0] << "," << r[1] << " holds subject";
            }
        }
    }
    const MaskAgreement m = AgainstMask(ReadPixels(Path("keyed.exr")), mask);
    RecordProperty("iou", std::to_string(m.iou));
    RecordProperty("far_backing_leaks", std::to_string(m.farBackingLeaks));
    EXPECT_GE(m.iou, 0.98);
    EXPECT_EQ(m.farBackingLeaks, 0);
}

// Without a colour space of the user's, --screen chooses one: on the drape,
// whose light halves across the frame, RGB keys most of the instrument away
// and the choice must not; a space set before --screen is kept.
TEST_F(ScreenCli, AutoChoosesASpaceThatKeepsTheInstrument) {
    if (!fs::exists(kInstrument)) GTEST_SKIP() << "no shared data at " << kInstrument;
    const std::string settings = Path("chosen.setting").string();
    const Outcome run = Run({"render", kInstrument.string(), "--screen", "auto", "-o", Path("keyed.exr").string(),
                               "--save-settings", settings});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("Colorspace HSV chosen"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("RGB: screen clear"), std::string::npos) << "every space's figures: " << run.err;
    const MaskAgreement m = AgainstMask(ReadPixels(Path("keyed.exr")), ReadPixels(kInstrumentMask));
    RecordProperty("iou", std::to_string(m.iou));
    EXPECT_GE(m.iou, 0.98);
    EXPECT_EQ(m.farBackingLeaks, 0);
    std::ifstream in(settings);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Colorspace = Input { Value = 1, }"), std::string::npos) << text;

    const Outcome kept = Run({"render", kInstrument.string(), "--set", "Colorspace=YUV", "--screen", "auto", "-o",
                                Path("kept.exr").string(), "--save-settings", settings});
    ASSERT_EQ(kept.exitCode, 0) << kept.err;
    EXPECT_EQ(kept.err.find("chosen"), std::string::npos) << kept.err;
    std::ifstream again(settings);
    const std::string keptText((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>());
    EXPECT_NE(keptText.find("Colorspace = Input { Value = 3, }"), std::string::npos) << keptText;
}

// The yellow-green video frame: the screen is found on the border (R about
// equal to G, so no "green" assumption could find it), the person stays.
TEST_F(ScreenCli, AutoFindsTheYellowGreenScreen) {
    if (!fs::exists(kHair)) GTEST_SKIP() << "no shared data at " << kHair;
    const Outcome run =
        Run({"render", kHair.string(), "--set", "Colorspace=HSV", "--screen", "auto", "-o", Path("keyed.exr").string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto rects = PrintedRects(run.err);
    ASSERT_GE(rects.size(), 2u) << run.err;
    const FilePixels plate = ReadPixels(kHair);
    const FilePixels keyed = ReadPixels(Path("keyed.exr"));
    long clear = 0, count = 0;
    for (const auto& r : rects) {
        for (int y = r[1]; y < r[1] + r[3]; ++y) {
            for (int x = r[0]; x < r[0] + r[2]; ++x) {
                // Yellow-green: red and green high and close, blue low.
                EXPECT_GT(plate.At(x, y, 1), 0.5f);
                EXPECT_LT(plate.At(x, y, 2), 0.35f);
                ++count;
                clear += keyed.At(x, y, 3) <= 0.05f;
            }
        }
    }
    EXPECT_EQ(clear, count) << "the sampled screen is keyed";
    // The face in the middle of the frame stays opaque.
    long solid = 0;
    for (int y = 60; y < 120; ++y) {
        for (int x = 130; x < 190; ++x) solid += keyed.At(x, y, 3) >= 0.95f;
    }
    EXPECT_GT(solid, 60 * 60 * 95 / 100);
}

// A frame without a screen: auto says so and keys nothing.
TEST_F(ScreenCli, AutoRefusesAFrameWithoutAScreen) {
    // A grey gradient: no saturated colour anywhere.
    OIIO::ImageBuf grey(OIIO::ImageSpec(320, 180, 3, OIIO::TypeDesc::FLOAT));
    const float top[3] = {0.1f, 0.1f, 0.1f};
    const float bottom[3] = {0.8f, 0.8f, 0.8f};
    ASSERT_TRUE(OIIO::ImageBufAlgo::fill(grey, top, bottom));
    ASSERT_TRUE(grey.write(Path("grey.exr").string()));
    const Outcome run = Run({"render", Path("grey.exr").string(), "--screen", "auto", "-o", Path("keyed.exr").string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("--screen auto: no screen colour along the frame border"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(Path("keyed.exr")));
}

// With the sample's clean plate, one rectangle of screen keys the plate about
// as well as the sample's own hand-made settings.
TEST_F(ScreenCli, CleanPlateSetupMatchesTheSampleSettings) {
    const fs::path sample = Sample();
    const std::string plate = (sample / "plate.exr").string();
    const std::string clean = (sample / "clean_plate.exr").string();
    const Outcome own = Run({"render", plate, "--key-image", clean, "--settings", (sample / "sample.setting").string(),
                               "-o", Path("own.exr").string()});
    ASSERT_EQ(own.exitCode, 0) << own.err;
    const Outcome screen =
        Run({"render", plate, "--key-image", clean, "--screen", "20,20,200,150", "-o", Path("screen.exr").string()});
    ASSERT_EQ(screen.exitCode, 0) << screen.err;
    const FilePixels truth = ReadPixels(sample / "alpha_truth.exr");
    auto meanError = [&](const FilePixels& keyed) {
        double sum = 0;
        for (int y = 0; y < truth.height; ++y) {
            for (int x = 0; x < truth.width; ++x) sum += std::abs(keyed.At(x, y, 3) - truth.At(x, y, 0));
        }
        return sum / (static_cast<double>(truth.width) * truth.height);
    };
    const double ownError = meanError(ReadPixels(Path("own.exr")));
    const double screenError = meanError(ReadPixels(Path("screen.exr")));
    RecordProperty("own_mean_error", std::to_string(ownError));
    RecordProperty("screen_mean_error", std::to_string(screenError));
    EXPECT_GT(ownError, 0.001);
    EXPECT_LE(screenError, 1.5 * ownError) << "own " << ownError << ", --screen " << screenError;
}

// A key that keys nothing is told, with its likely cause; a good one is not.
TEST_F(ScreenCli, WarnsWhenTheKeyKeysNothing) {
    const fs::path sample = Sample();
    const std::string plate = (sample / "plate.exr").string();
    const std::string out = Path("keyed.exr").string();

    Outcome run = Run({"render", plate, "--pick", "40,40", "-o", out});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("warning: the matte is clear on only 0.00% of the first frame: it keys nothing"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("widen Min/Max or use --screen"), std::string::npos) << run.err;

    run = Run({"render", plate, "--key-image", (sample / "clean_plate.exr").string(), "--pick", "40,40", "-o", out});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("with --key-image, the Value sliders are an offset"), std::string::npos) << run.err;

    run = Run({"render", plate, "--screen", "20,20,200,150", "-o", out});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
}

// --screen runs where it stands among --set, --key-color and --pick: a later
// --set overrides what it wrote, an earlier one is overwritten; rectangles in
// a row are pooled into one setup.
TEST_F(ScreenCli, AppliesInCommandLineOrder) {
    const fs::path sample = Sample();
    const std::string plate = (sample / "plate.exr").string();
    auto saved = [&](const std::vector<std::string>& steps) {
        std::vector<std::string> args = {"render", plate, "-o", Path("keyed.exr").string(), "--save-settings",
                                         Path("saved.setting").string()};
        args.insert(args.end(), steps.begin(), steps.end());
        const Outcome run = Run(args);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        return ReadText(Path("saved.setting"));
    };
    EXPECT_NE(saved({"--screen", "20,20,200,150", "--set", "MultAlpha=3"}).find("MultAlpha = Input { Value = 3, }"),
              std::string::npos);
    EXPECT_EQ(saved({"--set", "MultAlpha=3", "--screen", "20,20,200,150"}).find("MultAlpha = Input { Value = 3, }"),
              std::string::npos);
    const Outcome pooled = Run({"render", plate, "-o", Path("keyed.exr").string(), "--screen", "20,20,10,10",
                                  "--screen", "1200,600,10,10"});
    ASSERT_EQ(pooled.exitCode, 0) << pooled.err;
    EXPECT_NE(pooled.err.find("--screen 20,20,10,10 --screen 1200,600,10,10: 200 screen pixels"), std::string::npos)
        << pooled.err;
}

TEST_F(ScreenCli, BadRectanglesAreUsageErrors) {
    const fs::path sample = Sample();
    const std::string plate = (sample / "plate.exr").string();
    struct Case {
        const char* rect;
        const char* fragment;
    };
    for (const Case& c : {Case{"1,2,3", "expected X,Y,W,H"}, Case{"1,2,0,4", "at least 1"},
                          Case{"1270,0,20,20", "--screen 1270,0,20,20: the rectangle 1270,0,20,20 reaches outside "
                                               "the 1280 x 720 plate"}}) {
        const Outcome run = Run({"render", plate, "--screen", c.rect, "-o", Path("keyed.exr").string()});
        EXPECT_EQ(run.exitCode, 2) << c.rect;
        EXPECT_NE(run.err.find(c.fragment), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(Path("keyed.exr")));
    }
}

// suggest writes its settings file only where it replaces none of its
// inputs: -o naming the plate or the key image, by any spelling, is refused
// before anything is read, and the files stay as they were.
TEST_F(ScreenCli, SuggestNeverWritesOverItsInputs) {
    const fs::path sample = Sample();
    fs::copy_file(sample / "plate.exr", Path("plate.exr"), fs::copy_options::overwrite_existing);
    fs::copy_file(sample / "clean_plate.exr", Path("clean.exr"), fs::copy_options::overwrite_existing);
    const auto plateSize = fs::file_size(Path("plate.exr"));
    const auto cleanSize = fs::file_size(Path("clean.exr"));
    fs::create_symlink(Path("plate.exr"), Path("link.exr"));
    for (const std::string& output : {Path("plate.exr").string(), Path("link.exr").string(),
                                      (dir_ / "." / "clean.exr").string()}) {
        const Outcome run = Run({"suggest", Path("plate.exr").string(), "--key-image", Path("clean.exr").string(),
                                 "--screen", "0,0,40,40", "-o", output});
        EXPECT_EQ(run.exitCode, 1) << output << ": " << run.err;
        EXPECT_NE(run.err.find("would overwrite the"), std::string::npos) << run.err;
    }
    EXPECT_EQ(fs::file_size(Path("plate.exr")), plateSize);
    EXPECT_EQ(fs::file_size(Path("clean.exr")), cleanSize);
    fs::remove(Path("link.exr"));
}

}  // namespace
