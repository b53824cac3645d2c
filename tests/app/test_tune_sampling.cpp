// The tuning page's sample regions, drawn shapes, pixel readout and
// histograms, checked against the real plug-in and against what veskar
// render does with the same rectangles and polygons.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imageio.h>

#include "app/cli_error.h"
#include "app/tune/tune_server.h"
#include "app/tune/tune_session.h"
#include "support/file_pixels.h"
#include "support/run_veskar.h"
#include "test_paths.h"

namespace fs = std::filesystem;
using nlohmann::json;
using veskar::tune::RequestError;
using veskar::tune::TuneOptions;
using veskar::tune::TuneServer;
using veskar::tune::TuneSession;
using veskar::tune::View;

namespace {

constexpr int kWidth = 96;
constexpr int kHeight = 64;
// The subject: a dark grey-green square. The screen's brightness runs from
// 0.3 to 1.6 times its colour across the frame, so that RGB's window, which
// must hold every brightness, holds the subject too; its saturation and
// chromaticity tell it apart.
constexpr float kScreen[3] = {0.1f, 0.6f, 0.15f};
constexpr float kSubject[3] = {0.12f, 0.2f, 0.12f};
bool InSubject(int x, int y) { return x >= 32 && x < 64 && y >= 20 && y < 52; }
// A red square beside it that every space keeps: with the subject lost, the
// matte is not all clear, and only the setup's figures tell of the loss.
constexpr float kRed[3] = {0.8f, 0.1f, 0.1f};
bool InRed(int x, int y) { return x >= 70 && y >= 14 && y < 44; }

class Sampling : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::path(::testing::TempDir()) /
              ("veskar_sampling_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        plate = (dir / "plate.exr").string();
        OIIO::ImageBuf buf(OIIO::ImageSpec(kWidth, kHeight, 3, OIIO::TypeDesc::FLOAT));
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                const float lit = 0.3f + 1.3f * static_cast<float>(x) / (kWidth - 1);
                const float screen[3] = {kScreen[0] * lit, kScreen[1] * lit, kScreen[2] * lit};
                buf.setpixel(x, y, InSubject(x, y) ? kSubject : InRed(x, y) ? kRed : screen);
            }
        }
        ASSERT_TRUE(buf.write(plate));
        options.plate = plate;
        options.pluginFolder = VESKAR_TEST_PLUGIN_DIR;
        options.save = (dir / "page.setting").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    // `veskar render` of the plate with `args`, its settings saved; their text.
    std::string CommandLineSettings(std::vector<std::string> args) {
        args.insert(args.begin(), {"render", plate, "-o", (dir / "cli.exr").string(), "--save-settings",
                                   (dir / "cli.setting").string()});
        const veskar_test::Outcome run = veskar_test::RunVeskar(args, dir);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        return veskar_test::ReadText(dir / "cli.setting");
    }

    static json Add(const char* kind, int x, int y, int width, int height) {
        return {{"frame", 0}, {"add", {{"kind", kind}, {"x", x}, {"y", y}, {"width", width}, {"height", height}}}};
    }

    fs::path dir;
    std::string plate;
    TuneOptions options;
};

double Value(const json& state, const std::string& id) {
    for (const json& control : state["controls"]) {
        if (control["id"] == id) return control["value"].get<double>();
    }
    ADD_FAILURE() << "no control " << id;
    return 0.0;
}

std::vector<float> PngPixels(const std::string& png) {
    OIIO::Filesystem::IOMemReader memory(const_cast<char*>(png.data()), png.size());
    auto input = OIIO::ImageInput::create("png");
    OIIO::ImageSpec spec;
    if (!input) return {};
    input->set_ioproxy(&memory);
    if (!input->open("view.png", spec)) return {};
    std::vector<float> pixels(static_cast<std::size_t>(spec.width) * spec.height * spec.nchannels);
    if (!input->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, pixels.data())) return {};
    return pixels;
}

// ---- the setup's colour space and its warning ----

// Without a space of the user's, the first drag chooses the space as
// veskar render --screen does, and that space keeps the subject.
TEST_F(Sampling, FirstDragChoosesTheSpaceAsTheCommandLineDoes) {
    TuneSession session(options);
    const json found = session.Samples(Add("screen", 0, 0, 96, 10));
    EXPECT_NE(found["space"], "RGB") << found;
    session.ViewPng(0, View::Matte, false);
    EXPECT_EQ(session.Warning(), "");
    EXPECT_GE(session.Probe(0, 48, 36)["matte"].get<double>(), 0.5) << "the subject is kept";
    EXPECT_LE(session.Probe(0, 80, 5)["matte"].get<double>(), 0.05) << "the screen is keyed";
    session.Save();
    const std::string commandLine = CommandLineSettings({"--screen", "0,0,96,10"});
    EXPECT_EQ(veskar_test::ReadText(options.save), commandLine);
    // A rectangle sent as the one screen sample does the same.
    TuneSession one(options);
    one.Screen({{"frame", 0}, {"x", 0}, {"y", 0}, {"width", 96}, {"height", 10}});
    one.Save();
    EXPECT_EQ(veskar_test::ReadText(options.save), commandLine);
}

// A space the user chose is kept; when it deletes the subject, the keyed
// views say so, and stop saying it once the space keeps the subject.
TEST_F(Sampling, ASpaceOfTheUsersIsKeptAndItsLossIsNamed) {
    TuneSession session(options);
    session.ApplyValues({{"set", {{{"id", "Colorspace"}, {"value", 0}}}}});
    const json found = session.Samples(Add("screen", 0, 0, 96, 10));
    EXPECT_EQ(found["space"], "RGB");
    EXPECT_LT(session.Probe(0, 48, 36)["matte"].get<double>(), 0.5) << "RGB keys the subject away";
    session.ViewPng(0, View::Result, true);
    EXPECT_EQ(session.Warning().rfind("the key deletes most of what is not screen: only ", 0), 0u)
        << session.Warning();
    session.ApplyValues({{"set", {{{"id", "Colorspace"}, {"value", 1}}}}});
    session.Samples(Add("screen", 0, 54, 96, 10));
    session.ViewPng(0, View::Result, true);
    EXPECT_EQ(session.Warning(), "");
}

// The plate of the shared data where RGB loses the instrument against the
// screen all round it: veskar tune --screen auto keeps it, as veskar render
// --screen auto does; with RGB kept from a settings file, the page says that
// the key deletes it.
TEST_F(Sampling, TheInstrumentIsKeptOrItsLossNamed) {
    const fs::path instrument = fs::path(VESKAR_TEST_SHARED_DATA) / "greenscreen" / "semisynth_instrument_green.png";
    if (!fs::exists(instrument)) GTEST_SKIP() << "no shared data at " << instrument;
    options.plate = plate = instrument.string();
    options.screens = {"auto"};
    {
        TuneSession session(options);
        EXPECT_EQ(session.State()["samples"]["screen"].size(), 12u);
        session.ViewPng(0, View::Matte, true);
        EXPECT_EQ(session.Warning(), "");
        session.Save();
        EXPECT_EQ(veskar_test::ReadText(options.save), CommandLineSettings({"--screen", "auto"}));
    }
    options.settingsFile = (dir / "rgb.setting").string();
    {
        std::ofstream rgb(options.settingsFile);
        rgb << "{ Tools = ordered() { Veskar1 = Veskar { Inputs = { Colorspace = Input { Value = 0, }, }, }, }, }\n";
    }
    TuneSession session(options);
    session.ViewPng(0, View::Matte, true);
    EXPECT_NE(session.Warning(), "") << "the lost instrument is named";
}

// ---- regions ----

TEST_F(Sampling, RegionsPoolAsSeveralScreenOptionsDo) {
    options.screens = {"0,0,96,10"};
    TuneSession session(options);
    EXPECT_EQ(session.State()["samples"]["screen"], json::parse("[[0,0,96,10]]"));
    session.Samples(Add("screen", 0, 54, 96, 10));
    session.Samples(Add("subject", 40, 28, 16, 16));
    const json samples = session.State()["samples"];
    EXPECT_EQ(samples["screen"], json::parse("[[0,0,96,10],[0,54,96,10]]"));
    EXPECT_EQ(samples["subject"], json::parse("[[40,28,16,16]]"));
    session.Save();
    EXPECT_EQ(veskar_test::ReadText(options.save),
              CommandLineSettings({"--screen", "0,0,96,10", "--screen", "0,54,96,10", "--subject", "40,28,16,16"}));
}

TEST_F(Sampling, RemovingCutsRegionsAndTheLastLeavesTheKey) {
    TuneSession session(options);
    session.Samples(Add("screen", 0, 0, 96, 10));
    session.Samples(Add("subject", 40, 28, 16, 16));
    // Cut through the middle of both: what is left either side stays.
    session.Samples({{"frame", 0}, {"subtract", {{"x", 20}, {"y", 0}, {"width", 30}, {"height", 64}}}});
    json samples = session.State()["samples"];
    EXPECT_EQ(samples["screen"], json::parse("[[0,0,20,10],[50,0,46,10]]"));
    EXPECT_EQ(samples["subject"], json::parse("[[50,28,6,16]]"));
    // A cut inside a region leaves a frame of four pieces around it.
    session.Samples({{"frame", 0}, {"subtract", {{"x", 60}, {"y", 2}, {"width", 10}, {"height", 4}}}});
    samples = session.State()["samples"];
    EXPECT_EQ(samples["screen"], json::parse("[[0,0,20,10],[50,0,46,2],[50,6,46,4],[50,2,10,4],[70,2,26,4]]"));

    session.Samples({{"frame", 0}, {"remove", {{"kind", "subject"}, {"index", 0}}}});
    EXPECT_TRUE(session.State()["samples"]["subject"].empty());
    for (int i = 0; i < 4; ++i) session.Samples({{"frame", 0}, {"remove", {{"kind", "screen"}, {"index", 0}}}});
    const json controls = session.State()["controls"];
    const json last = session.Samples({{"frame", 0}, {"remove", {{"kind", "screen"}, {"index", 0}}}});
    EXPECT_EQ(last["summary"], "no screen samples left: the key keeps its values");
    const json state = session.State();
    EXPECT_TRUE(state["samples"]["screen"].empty());
    EXPECT_EQ(state["controls"], controls) << "the key keeps its values";
}

TEST_F(Sampling, BadRegionRequestsAreRefusedAndChangeNothing) {
    TuneSession session(options);
    session.Samples(Add("screen", 0, 0, 96, 10));
    const json before = session.State();
    const std::pair<json, const char*> bad[] = {
        {Add("backing", 0, 0, 8, 8), "'kind' must be \"screen\" or \"subject\""},
        {Add("screen", 90, 0, 8, 8), "screen rectangle 90,0,8,8 reaches outside the 96 x 64 frame"},
        {Add("subject", 0, 0, 1, 8), "subject rectangle 0,0,1,8: give at least 2 x 2 pixels of subject"},
        {{{"frame", 0}}, "expected"},
        {{{"frame", 3}, {"add", {}}}, "frame 3 is not a frame of this session"},
        {{{"frame", 0}, {"remove", {{"kind", "screen"}, {"index", 1}}}}, "there is no screen region 1 (there are 1)"},
        {{{"frame", 0}, {"remove", {{"kind", "screen"}, {"index", -1}}}}, "there is no screen region -1"},
        {{{"frame", 0}, {"remove", {{"kind", "screen"}, {"index", 0}}}, {"add", {}}}, "expected"},
        {{{"frame", 0}, {"subtract", {{"x", 0}, {"y", 0}, {"width", 9999999999LL}, {"height", 2}}}}, "out of range"},
    };
    for (const auto& [body, message] : bad) {
        try {
            session.Samples(body);
            ADD_FAILURE() << "accepted " << body;
        } catch (const RequestError& e) {
            EXPECT_EQ(e.Status(), 400);
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
    // More regions than a page draws: refused at the bound.
    for (std::size_t i = 0; i < veskar::tune::kMaxSampleRegions; ++i) session.Samples(Add("subject", 40, 28, 16, 16));
    try {
        session.Samples(Add("subject", 40, 28, 16, 16));
        ADD_FAILURE() << "accepted region " << veskar::tune::kMaxSampleRegions + 1;
    } catch (const RequestError& e) {
        EXPECT_NE(std::string(e.what()).find("at most 64 regions of each kind"), std::string::npos) << e.what();
    }
    EXPECT_EQ(session.State()["samples"]["subject"].size(), veskar::tune::kMaxSampleRegions);
    EXPECT_EQ(session.State()["samples"]["screen"], before["samples"]["screen"]);
}

TEST_F(Sampling, CommandLineRegionsAreCheckedAsUsageErrors) {
    const std::vector<std::pair<TuneOptions, const char*>> bad = [&] {
        std::vector<std::pair<TuneOptions, const char*>> cases(3, {options, ""});
        cases[0].first.subjects = {"0,0,8,8"};
        cases[0].second = "--subject needs --screen";
        cases[1].first.screens = {"90,0,8,8"};
        cases[1].second = "reaches outside the 96 x 64";
        cases[2].first.screens = {"0,0,96,10"};
        cases[2].first.subjects = {"0,0,x,8"};
        cases[2].second = "--subject";
        return cases;
    }();
    for (const auto& [opts, message] : bad) {
        try {
            TuneSession session(opts);
            ADD_FAILURE() << "started with " << message;
        } catch (const veskar::CliError& e) {
            EXPECT_EQ(e.ExitCode(), 2);
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}

// ---- shapes ----

TEST_F(Sampling, DrawnShapesAreSavedAndRenderedBitForBit) {
    TuneSession session(options);
    session.Samples(Add("screen", 0, 0, 96, 10));
    session.EditShapes({{"add", {{"kind", "garbage"}, {"points", {30, 18, 50.5, 18, 50.5, 54, 30, 54}}}}});
    session.EditShapes({{"add", {{"kind", "holdout"}, {"points", {70, 30, 90.25, 30, 80, 50.75}}}}});
    session.EditShapes({{"add", {{"kind", "garbage"}, {"points", {1, 1, 2, 1, 2, 2}}}}});
    session.EditShapes({{"remove", {{"kind", "garbage"}, {"index", 1}}}});
    const json samples = session.State()["samples"];
    EXPECT_EQ(samples["garbage"], json::parse(R"([{"points": [[30,18],[50.5,18],[50.5,54],[30,54]]}])"));
    EXPECT_EQ(samples["holdout"].size(), 1u);
    const std::vector<float> shown = PngPixels(session.ViewPng(0, View::Matte, false));
    session.Save();
    const std::string saved = veskar_test::ReadText(options.save);
    EXPECT_NE(saved.find("Garbage = { \"30,18,50.5,18,50.5,54,30,54\", },"), std::string::npos) << saved;
    EXPECT_NE(saved.find("Holdout = { \"70,30,90.25,30,80,50.75\", },"), std::string::npos) << saved;

    const std::string keyed = (dir / "keyed.png").string();
    const veskar_test::Outcome run =
        veskar_test::RunVeskar({"render", plate, "--settings", options.save, "-o", keyed}, dir);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const veskar_test::FilePixels written = veskar_test::ReadPixels(keyed);
    ASSERT_EQ(written.channels, 4);
    // The matte view is the alpha in grey: the page shows the plate through
    // the display's curve, the file holds its values.
    ASSERT_EQ(shown.size() % (kWidth * kHeight), 0u);
    const std::size_t step = shown.size() / (kWidth * kHeight);
    long differ = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(kWidth * kHeight); ++i) {
        differ += shown[i * step] != written.values[i * 4 + 3];
    }
    EXPECT_EQ(differ, 0);
    // The garbage cleared the subject under it, the holdout kept screen.
    EXPECT_EQ(written.At(40, 36, 3), 0.0f);
    EXPECT_EQ(written.At(60, 36, 3), 1.0f);
    EXPECT_EQ(written.At(80, 35, 3), 1.0f);
}

TEST_F(Sampling, BadShapesAreRefusedAndChangeNothing) {
    TuneSession session(options);
    const unsigned long revision = session.Revision();
    std::vector<double> tooMany(2 * veskar::tune::kMaxShapePoints + 2, 1.0);
    const std::pair<json, const char*> bad[] = {
        {{{"add", {{"kind", "garbage"}, {"points", {0, 0, 1, 1}}}}}, "3 to 256 points"},
        {{{"add", {{"kind", "garbage"}, {"points", {0, 0, 1, 1, 2}}}}}, "3 to 256 points"},
        {{{"add", {{"kind", "garbage"}, {"points", tooMany}}}}, "3 to 256 points"},
        {{{"add", {{"kind", "garbage"}, {"points", {0, 0, 1, 1, 2, "x"}}}}}, "must be numbers"},
        {{{"add", {{"kind", "garbage"}, {"points", {0, 0, 1, 1, 2, 1e7}}}}}, "within a million pixels"},
        {{{"add", {{"kind", "matte"}, {"points", {0, 0, 1, 1, 2, 2}}}}}, "'kind' must be \"garbage\" or \"holdout\""},
        {{{"add", {{"kind", "garbage"}}}}, "'points' is missing"},
        {{{"remove", {{"kind", "holdout"}, {"index", 0}}}}, "there is no holdout shape 0 (there are 0)"},
        {json::object(), "expected"},
    };
    for (const auto& [body, message] : bad) {
        try {
            session.EditShapes(body);
            ADD_FAILURE() << "accepted " << body;
        } catch (const RequestError& e) {
            EXPECT_EQ(e.Status(), 400);
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(session.Revision(), revision);
    for (std::size_t i = 0; i < veskar::tune::kMaxShapes; ++i) {
        session.EditShapes({{"add", {{"kind", "holdout"}, {"points", {0, 0, 1, 0, 1, 1}}}}});
    }
    EXPECT_THROW(session.EditShapes({{"add", {{"kind", "holdout"}, {"points", {0, 0, 1, 0, 1, 1}}}}}), RequestError);
    EXPECT_EQ(session.State()["samples"]["holdout"].size(), veskar::tune::kMaxShapes);
}

// ---- readout and histograms ----

TEST_F(Sampling, ReadoutGivesTheKeyersValuesForOnePixel) {
    TuneSession session(options);
    session.ApplyValues({{"set", {{{"id", "Colorspace"}, {"value", 1}}}}});
    session.Samples(Add("screen", 0, 0, 96, 10));
    const json probe = session.Probe(0, 40, 30);
    EXPECT_EQ(probe["space"], "HSV");
    EXPECT_EQ(probe["channels"], json::parse(R"(["H", "S", "V"])"));
    EXPECT_EQ(probe["source"], json::parse("[0.11999999731779099, 0.20000000298023224, 0.11999999731779099, 1.0]"));
    // Green the largest, red and blue equal: hue a third of a turn;
    // saturation (0.2 - 0.12) / 0.2; value the green.
    EXPECT_NEAR(probe["working"][0].get<double>(), 1.0 / 3.0, 1e-6);
    EXPECT_NEAR(probe["working"][1].get<double>(), 0.4, 1e-6);
    EXPECT_NEAR(probe["working"][2].get<double>(), 0.2, 1e-7);
    // Without finishing the output's alpha is the tool's matte.
    EXPECT_EQ(probe["matte"].get<double>(), 1.0);
    EXPECT_EQ(probe["output"][3].get<double>(), 1.0);
    const json screen = session.Probe(0, 80, 5);
    EXPECT_EQ(screen["matte"].get<double>(), screen["output"][3].get<double>());
    EXPECT_LE(screen["matte"].get<double>(), 0.05);
    try {
        session.Probe(0, 96, 0);
        ADD_FAILURE() << "read outside the plate";
    } catch (const RequestError& e) {
        EXPECT_STREQ(e.what(), "96,0 is outside the 96 x 64 plate");
    }
}

TEST_F(Sampling, HistogramsHoldTheFrameTheSamplesAndTheWindow) {
    TuneSession session(options);
    session.ApplyValues({{"set", {{{"id", "Colorspace"}, {"value", 1}}}}});
    session.Samples(Add("screen", 0, 0, 96, 10));
    const json histogram = session.Histogram(0);
    const json state = session.State();
    EXPECT_EQ(histogram["space"], "HSV");
    const char* const valueIds[3] = {"ValueRed", "ValueGreen", "ValueBlue"};
    const char* const minIds[3] = {"MiRedn", "MinGreen", "MinBlue"};
    const char* const maxIds[3] = {"MaxRed", "MaxGreen", "MaxBlue"};
    for (int c = 0; c < 3; ++c) {
        const json& channel = histogram["channels"][c];
        SCOPED_TRACE(channel["name"].get<std::string>());
        EXPECT_EQ(channel["min"]["id"], minIds[c]);
        EXPECT_EQ(channel["max"]["id"], maxIds[c]);
        EXPECT_EQ(channel["value"]["id"], valueIds[c]);
        EXPECT_EQ(channel["min"]["value"].get<double>(), Value(state, minIds[c]));
        EXPECT_EQ(channel["max"]["value"].get<double>(), Value(state, maxIds[c]));
        const std::vector<long> frame = channel["frame"].get<std::vector<long>>();
        const std::vector<long> screen = channel["screen"].get<std::vector<long>>();
        const long frameCount = std::accumulate(frame.begin(), frame.end(), 0L);
        EXPECT_LE(frameCount, kWidth * kHeight);
        EXPECT_GE(frameCount, kWidth * kHeight * 998 / 1000) << "only the tails are left out";
        EXPECT_EQ(std::accumulate(screen.begin(), screen.end(), 0L), 960) << "every sample counted";
        const double centre = channel["centre"].get<double>();
        EXPECT_EQ(centre, Value(state, valueIds[c]) + Value(state, minIds[c]) +
                              std::pow(Value(state, maxIds[c]) - Value(state, minIds[c]), 2) / 2.0);
    }
    // The subject's saturation is apart from the screen's: a bin of its own;
    // and the setup centred the saturation's distance on the screen's.
    const json& saturation = histogram["channels"][1];
    const std::vector<long> bins = saturation["frame"].get<std::vector<long>>();
    EXPECT_NE(std::find(bins.begin(), bins.end(), 32L * 32L), bins.end());
    const double screenSaturation = (0.6 - 0.1) / 0.6;
    EXPECT_LT(std::fabs(saturation["centre"].get<double>() - screenSaturation),
              std::fabs(saturation["centre"].get<double>() - 0.4));
}

// Against a clean plate the window is held against each pixel less the key
// image's: over the screen that difference is 0, so every sample lies at
// Value, in one bin, whatever the screen's lighting.
TEST_F(Sampling, HistogramsAgainstAKeyImageAreOfDifferences) {
    const std::string clean = (dir / "clean.exr").string();
    OIIO::ImageBuf buf(OIIO::ImageSpec(kWidth, kHeight, 3, OIIO::TypeDesc::FLOAT));
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const float lit = 0.3f + 1.3f * static_cast<float>(x) / (kWidth - 1);
            const float screen[3] = {kScreen[0] * lit, kScreen[1] * lit, kScreen[2] * lit};
            buf.setpixel(x, y, screen);
        }
    }
    ASSERT_TRUE(buf.write(clean));
    options.keyImage = clean;
    TuneSession session(options);
    session.ApplyValues({{"set", {{{"id", "Colorspace"}, {"value", 1}}}}});
    session.Samples(Add("screen", 0, 0, 96, 10));
    const json histogram = session.Histogram(0);
    EXPECT_TRUE(histogram["againstKeyImage"].get<bool>());
    for (const json& channel : histogram["channels"]) {
        SCOPED_TRACE(channel["name"].get<std::string>());
        const std::vector<long> screen = channel["screen"].get<std::vector<long>>();
        const auto full = std::find(screen.begin(), screen.end(), 960L);
        ASSERT_NE(full, screen.end()) << "every sample in one bin";
        const double low = channel["low"].get<double>();
        const double width = (channel["high"].get<double>() - low) / static_cast<double>(screen.size());
        const double value = channel["value"]["value"].get<double>();
        const auto bin = static_cast<double>(full - screen.begin());
        EXPECT_GE(value, low + bin * width - 1e-9);
        EXPECT_LE(value, low + (bin + 1) * width + 1e-9);
    }
}

// Every new route stands behind the token; with it, each answers.
TEST_F(Sampling, ServerGuardsTheSamplingRoutes) {
    TuneSession session(options);
    TuneServer server(session, "127.0.0.1");
    server.AssumePort(8123);
    const std::string add = Add("screen", 0, 0, 96, 10).dump();
    const std::string shape = R"({"add": {"kind": "garbage", "points": [0, 0, 9, 0, 9, 9]}})";
    const std::pair<std::string, std::string> routes[] = {
        {"POST /api/samples", add},
        {"POST /api/shapes", shape},
        {"GET /api/probe?frame=0&x=3&y=4", ""},
        {"GET /api/histogram?frame=0", ""},
    };
    for (const auto& [route, body] : routes) {
        const std::string head = route + " HTTP/1.1\r\nHost: 127.0.0.1:8123\r\n";
        const std::string content = body.empty() ? ""
                                                  : "Content-Type: application/json\r\nContent-Length: " +
                                                        std::to_string(body.size()) + "\r\n";
        const std::string refused = server.AnswerBytes(head + content + "Connection: close\r\n\r\n" + body);
        EXPECT_EQ(refused.rfind("HTTP/1.1 403", 0), 0u) << route << ": " << refused;
        EXPECT_EQ(session.Revision(), 1u) << route;
    }
    for (const auto& [route, body] : routes) {
        const std::string head =
            route + " HTTP/1.1\r\nHost: 127.0.0.1:8123\r\nX-Veskar-Token: " + server.Token() + "\r\n";
        const std::string content = body.empty() ? ""
                                                  : "Content-Type: application/json\r\nContent-Length: " +
                                                        std::to_string(body.size()) + "\r\n";
        const std::string answer = server.AnswerBytes(head + content + "Connection: close\r\n\r\n" + body);
        EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << route << ": " << answer;
    }
    const std::string bad = server.AnswerBytes("GET /api/probe?frame=0&x=a&y=4 HTTP/1.1\r\nHost: 127.0.0.1:8123\r\n"
                                               "X-Veskar-Token: " + server.Token() + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(bad.rfind("HTTP/1.1 400", 0), 0u) << bad;
    EXPECT_NE(bad.find("x must be a whole number, not 'a'"), std::string::npos) << bad;
}

}  // namespace
