// veskar tune without a browser: who the server lets in, and what the session
// accepts, renders and saves, checked against the real plug-in.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>

#include "app/cli_error.h"
#include "app/tune/request_guard.h"
#include "app/tune/tune_server.h"
#include "app/tune/tune_session.h"
#include "app/tune/view_image.h"
#include "support/run_veskar.h"
#include "test_paths.h"

namespace fs = std::filesystem;
using nlohmann::json;
using veskar::tune::RequestError;
using veskar::tune::RequestGuard;
using veskar::tune::ServerLimits;
using veskar::tune::TuneServer;
using veskar::tune::TuneOptions;
using veskar::tune::TuneSession;
using veskar::tune::View;

namespace {

// ---- RequestGuard ----

const std::string kToken = "0123456789abcdef0123456789abcdef";

TEST(RequestGuard, LetsInTheLoopbackPageWithItsToken) {
    const RequestGuard guard(kToken, "127.0.0.1", 8123);
    EXPECT_FALSE(guard.Check("127.0.0.1:8123", "", "", kToken));
    EXPECT_FALSE(guard.Check("localhost:8123", "http://localhost:8123", "same-origin", kToken));
    EXPECT_FALSE(guard.Check("127.0.0.1:8123", "http://127.0.0.1:8123", "none", kToken));
    EXPECT_EQ(guard.PageUrl(), "http://127.0.0.1:8123/?token=" + kToken);
}

TEST(RequestGuard, RefusesForeignHostsOriginsAndTokens) {
    const RequestGuard guard(kToken, "127.0.0.1", 8123);
    struct Case {
        const char* host;
        const char* origin;
        const char* site;
        std::string token;
        const char* message;
    };
    const Case cases[] = {
        {"rebound.example:8123", "", "", kToken, "Host 'rebound.example:8123'"},
        {"", "", "", kToken, "Host ''"},
        {"127.0.0.1:8124", "", "", kToken, "Host"},
        {"127.0.0.1", "", "", kToken, "Host"},
        {"[::1]:8123", "", "", kToken, "Host"},
        {"127.0.0.1:8123", "http://rebound.example:8123", "", kToken, "rebound.example"},
        {"127.0.0.1:8123", "null", "", kToken, "'null'"},
        {"127.0.0.1:8123", "https://127.0.0.1:8123", "", kToken, "https"},
        {"127.0.0.1:8123", "", "cross-site", kToken, "other sites"},
        {"127.0.0.1:8123", "", "", "", "no token"},
        {"127.0.0.1:8123", "", "", kToken.substr(1), "wrong token"},
        {"127.0.0.1:8123", "", "", "1123456789abcdef0123456789abcdef", "wrong token"},
    };
    for (const Case& c : cases) {
        const auto refusal = guard.Check(c.host, c.origin, c.site, c.token);
        ASSERT_TRUE(refusal) << c.host << " " << c.origin << " " << c.token;
        EXPECT_EQ(refusal->status, 403);
        EXPECT_NE(refusal->message.find(c.message), std::string::npos) << refusal->message;
    }
}

TEST(RequestGuard, AnsweresToTheAddressListenNames) {
    const RequestGuard network(kToken, "192.168.7.9", 80);
    EXPECT_FALSE(network.Check("192.168.7.9:80", "http://192.168.7.9:80", "", kToken));
    // Another machine's "localhost" is not this server.
    EXPECT_TRUE(network.Check("localhost:80", "", "", kToken));
    const RequestGuard v6(kToken, "::1", 9000);
    EXPECT_FALSE(v6.Check("[::1]:9000", "", "", kToken));
    EXPECT_EQ(v6.PageUrl(), "http://[::1]:9000/?token=" + kToken);
}

TEST(RequestGuard, TokensAreFreshHex) {
    std::set<std::string> seen;
    for (int i = 0; i < 16; ++i) {
        const std::string token = veskar::tune::NewToken();
        EXPECT_EQ(token.size(), 32u);
        EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
        seen.insert(token);
    }
    EXPECT_EQ(seen.size(), 16u);
    EXPECT_TRUE(veskar::tune::IsNumericAddress("127.0.0.1"));
    EXPECT_TRUE(veskar::tune::IsNumericAddress("::1"));
    EXPECT_FALSE(veskar::tune::IsNumericAddress("localhost"));
    EXPECT_FALSE(veskar::tune::IsNumericAddress("0.0.0.0.0"));
}

// The addresses --listen may name: one interface of this machine, and a
// loopback one unless other machines are let in.
TEST(RequestGuard, ListenNamesOneLoopbackAddress) {
    using veskar::tune::ListenAddressProblem;
    const std::pair<const char*, const char*> refused[] = {
        {"0.0.0.0", "every address"},
        {"::", "every address"},
        {"::0", "every address"},
        {"0::0", "every address"},
        {"0:0:0:0:0:0:0:0", "every address"},
        {"::ffff:0.0.0.0", "every address"},
        {"255.255.255.255", "broadcast"},
        {"::ffff:255.255.255.255", "broadcast"},
        {"224.0.0.1", "multicast"},
        {"239.255.255.250", "multicast"},
        {"::ffff:224.0.0.251", "multicast"},
        {"ff02::1", "multicast"},
        {"ff05::1:3", "multicast"},
        {"localhost", "numeric address"},
        {"127.0.0.1:80", "numeric address"},
        {"192.168.7.9", "--allow-remote"},
        {"::ffff:192.168.7.9", "--allow-remote"},
        {"fe80::1", "--allow-remote"},
        {"::2", "--allow-remote"},
    };
    for (const auto& [address, message] : refused) {
        const std::string problem = ListenAddressProblem(address, false);
        EXPECT_EQ(problem.rfind(std::string("--listen ") + address + ": ", 0), 0u) << problem;
        EXPECT_NE(problem.find(message), std::string::npos) << address << ": " << problem;
    }
    for (const char* address : {"127.0.0.1", "127.1.2.3", "::1", "0::1", "0:0:0:0:0:0:0:1", "::ffff:127.0.0.1"}) {
        EXPECT_EQ(ListenAddressProblem(address, false), "") << address;
    }
    // --allow-remote lets in the machine's other addresses, never all or none of them.
    EXPECT_EQ(ListenAddressProblem("192.168.7.9", true), "");
    EXPECT_EQ(ListenAddressProblem("fe80::1", true), "");
    for (const char* address : {"0.0.0.0", "::0", "::ffff:0.0.0.0", "255.255.255.255", "224.0.0.1", "ff02::1"}) {
        EXPECT_NE(ListenAddressProblem(address, true), "") << address;
    }
}

// A browser writes an IPv6 address in the URL and Host in its own short
// form; the guard answers to that form and to the one --listen gave.
TEST(RequestGuard, AnswersToTheBrowsersFormOfAnIpv6Address) {
    const RequestGuard mapped(kToken, "::ffff:127.0.0.1", 8123);
    EXPECT_EQ(mapped.PageUrl(), "http://[::ffff:7f00:1]:8123/?token=" + kToken);
    EXPECT_FALSE(mapped.Check("[::ffff:7f00:1]:8123", "http://[::ffff:7f00:1]:8123", "", kToken));
    EXPECT_FALSE(mapped.Check("[::ffff:127.0.0.1]:8123", "", "", kToken));
    const RequestGuard longhand(kToken, "0:0:0:0:0:0:0:1", 80);
    EXPECT_EQ(longhand.PageUrl(), "http://[::1]:80/?token=" + kToken);
    const RequestGuard zeros(kToken, "fe80:0:0:1:0:0:0:0", 80);
    EXPECT_EQ(zeros.PageUrl(), "http://[fe80:0:0:1::]:80/?token=" + kToken);
}

// ---- Shrink ----

TEST(Shrink, AveragesBlocksAndGivesTheRemainderToTheLastOne) {
    Image image(5, 3);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 5; ++x) {
            float* record = image.Plane1Pixel(x, y);
            record[0] = static_cast<float>(x);
            record[1] = static_cast<float>(y);
            record[2] = static_cast<float>(10 * y + x);
            record[3] = 1.0f;
        }
    }
    const auto small = veskar::tune::Shrink(image, 2);
    ASSERT_EQ(small->Width(), 2);
    ASSERT_EQ(small->Height(), 1);
    // Block (0, 0): x 0-1, y 0-2 (the last row of blocks takes row 2 too).
    EXPECT_FLOAT_EQ(small->Plane1Pixel(0, 0)[0], 0.5f);
    EXPECT_FLOAT_EQ(small->Plane1Pixel(0, 0)[1], 1.0f);
    // Block (1, 0): x 2-4, y 0-2.
    EXPECT_FLOAT_EQ(small->Plane1Pixel(1, 0)[0], 3.0f);
    EXPECT_FLOAT_EQ(small->Plane1Pixel(1, 0)[2], 13.0f);
    EXPECT_FLOAT_EQ(small->Plane1Pixel(1, 0)[3], 1.0f);
}

// ---- TuneSession ----

// Screen colour of the test plate, in 8 bits, around a grey square.
constexpr int kScreen[3] = {51, 179, 77};

class Session : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::path(::testing::TempDir()) /
              ("veskar_tune_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        plate = (dir / "plate.png").string();
        OIIO::ImageBuf buf(OIIO::ImageSpec(40, 30, 3, OIIO::TypeDesc::UINT8));
        for (int y = 0; y < 30; ++y) {
            for (int x = 0; x < 40; ++x) {
                const bool subject = x >= 15 && x < 25 && y >= 10 && y < 20;
                const float rgb[3] = {subject ? 0.5f : kScreen[0] / 255.0f, subject ? 0.5f : kScreen[1] / 255.0f,
                                      subject ? 0.5f : kScreen[2] / 255.0f};
                buf.setpixel(x, y, rgb);
            }
        }
        ASSERT_TRUE(buf.write(plate));
        options.plate = plate;
        options.pluginFolder = VESKAR_TEST_PLUGIN_DIR;
    }
    void TearDown() override { fs::remove_all(dir); }

    static double Value(const json& state, const std::string& id) {
        for (const json& control : state["controls"]) {
            if (control["id"] == id) return control["value"].get<double>();
        }
        ADD_FAILURE() << "no control " << id;
        return 0.0;
    }
    static bool Visible(const json& state, const std::string& id) {
        for (const json& control : state["controls"]) {
            if (control["id"] == id) return control["visible"].get<bool>();
        }
        ADD_FAILURE() << "no control " << id;
        return false;
    }

    fs::path dir;
    std::string plate;
    TuneOptions options;
};

TEST_F(Session, StateListsEveryInputOfTheTool) {
    TuneSession session(options);
    const json state = session.State();
    ASSERT_EQ(state["controls"].size(), 31u);
    EXPECT_EQ(state["controls"][0]["id"], "Colorspace");
    EXPECT_EQ(state["controls"][0]["caption"], "Color Space");
    EXPECT_EQ(state["controls"][0]["entries"].size(), 5u);
    EXPECT_EQ(state["controls"][4]["groupCaption"], "Key Color");
    EXPECT_EQ(state["width"], 40);
    EXPECT_FALSE(state["canSave"].get<bool>());
}

TEST_F(Session, ChangesRunTheToolsReactions) {
    TuneSession session(options);
    EXPECT_FALSE(Visible(session.State(), "MaxRed"));
    session.ApplyValues({{"set", {{{"id", "Channel"}, {"value", 0}}, {{"id", "CGreen"}, {"value", 0.5}}}}});
    const json state = session.State();
    EXPECT_TRUE(Visible(state, "MaxRed"));
    EXPECT_FALSE(Visible(state, "MaxGreen"));
    // In RGB the key colour and the Value sliders are kept in step.
    EXPECT_EQ(Value(state, "ValueGreen"), 0.5);
}

TEST_F(Session, BadChangesAreRefusedWholeAndChangeNothing) {
    TuneSession session(options);
    const std::string before = session.State().dump();
    const unsigned long revision = session.Revision();
    const std::pair<const char*, const char*> cases[] = {
        {R"([])", "expected"},
        {R"({"set": {}})", "expected"},
        {R"({"set": []})", "1 to 64"},
        {R"({"set": [{"value": 1}]})", "each change"},
        {R"({"set": [{"id": 3, "value": 1}]})", "each change"},
        {R"({"set": [{"id": "FadeRedd", "value": 0.1}]})", "unknown control 'FadeRedd' (did you mean 'FadeRed'?)"},
        {R"({"set": [{"id": "mydivider", "value": 1}]})", "label"},
        {R"({"set": [{"id": "KeyImage", "value": 1}]})", "image input"},
        {R"({"set": [{"id": "FadeRed", "value": null}]})", "must be a number"},
        {R"({"set": [{"id": "FadeRed", "value": true}]})", "must be a number"},
        {R"({"set": [{"id": "FadeRed", "value": 1.0000001}]})", "outside 0 to 1"},
        {R"({"set": [{"id": "GammaAlpha", "value": 0}]})", "outside 0.0001"},
        {R"({"set": [{"id": "ColCor", "value": 8}]})", "not an entry number (0 to 7)"},
        {R"({"set": [{"id": "keyalgo", "value": -1}]})", "entry number"},
        {R"({"set": [{"id": "Channel", "value": 0.5}]})", "entry number"},
        {R"({"set": [{"id": "Alphamult", "value": 0.5}]})", "checkbox"},
        {R"({"set": [{"id": "FadeRed", "value": 0.2}, {"id": "CRed", "value": 2}]})", "CRed"},
    };
    for (const auto& [body, message] : cases) {
        try {
            session.ApplyValues(json::parse(body));
            ADD_FAILURE() << body << " was taken";
        } catch (const RequestError& e) {
            EXPECT_EQ(e.Status(), 400) << body;
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << body << ": " << e.what();
        }
    }
    // A non-finite number cannot come through JSON text, but is refused all the same.
    json infinite = {{"set", {{{"id", "FadeRed"}, {"value", std::numeric_limits<double>::infinity()}}}}};
    EXPECT_THROW(session.ApplyValues(infinite), RequestError);
    EXPECT_EQ(session.State().dump(), before);
    EXPECT_EQ(session.Revision(), revision);
}

TEST_F(Session, PickAveragesTheSquareAroundThePixel) {
    TuneSession session(options);
    // The reader turns 8-bit levels into floats within an ulp of level / 255
    // (1.5e-8 at 0.2); the mean of equal floats is that float.
    constexpr double kLevel = 1e-7;
    session.Pick({{"frame", 0}, {"x", 0}, {"y", 0}});
    json state = session.State();
    EXPECT_NEAR(Value(state, "CRed"), kScreen[0] / 255.0, kLevel);
    EXPECT_NEAR(Value(state, "CGreen"), kScreen[1] / 255.0, kLevel);
    // Half of the 5 x 5 square at (14, 12) lies on the grey square: columns
    // 15-16 of 12-16 are grey, 12-14 screen.
    session.Pick({{"frame", 0}, {"x", 14}, {"y", 12}});
    state = session.State();
    EXPECT_NEAR(Value(state, "CRed"), (15 * kScreen[0] / 255.0 + 10 * 128 / 255.0) / 25, kLevel);
    for (const char* body : {R"({"frame": 0, "x": 40, "y": 0})", R"({"frame": 0, "x": 0, "y": -1})",
                             R"({"frame": 1, "x": 0, "y": 0})", R"({"frame": 0, "x": "1", "y": 0})",
                             R"({"x": 0, "y": 0})"}) {
        EXPECT_THROW(session.Pick(json::parse(body)), RequestError) << body;
    }
}

// A rectangle dragged on the page sets the key up as --screen does on the
// file: the saved settings are the ones veskar render --screen saves, to the
// bit, with and without a key image.
TEST_F(Session, ScreenRectangleSetsTheKeyAsTheCommandLineDoes) {
    // A clean plate a few levels darker than the plate's screen, so that the
    // differences the setup measures against it are not all 0.
    const std::string clean = (dir / "clean.png").string();
    OIIO::ImageBuf cleanBuf(OIIO::ImageSpec(40, 30, 3, OIIO::TypeDesc::UINT8));
    const float cleanRgb[3] = {(kScreen[0] - 6) / 255.0f, (kScreen[1] - 6) / 255.0f, (kScreen[2] - 6) / 255.0f};
    ASSERT_TRUE(OIIO::ImageBufAlgo::fill(cleanBuf, cleanRgb));
    ASSERT_TRUE(cleanBuf.write(clean));
    for (const std::string& key : {std::string(), clean}) {
        SCOPED_TRACE(key.empty() ? "without a key image" : "with a key image");
        options.keyImage = key;
        options.save = (dir / "page.setting").string();
        TuneSession session(options);
        session.ApplyValues({{"set", {{{"id", "Colorspace"}, {"value", 1}}}}});
        const unsigned long revision = session.Revision();
        const json found = session.Screen({{"frame", 0}, {"x", 2}, {"y", 3}, {"width", 12}, {"height", 6}});
        EXPECT_EQ(found["rect"], "2,3,12,6");
        EXPECT_EQ(found["summary"].get<std::string>().rfind("72 screen pixels; the window keys hue", 0), 0u) << found;
        EXPECT_GT(session.Revision(), revision);
        const json state = session.State();
        EXPECT_TRUE(state["canScreen"].get<bool>());
        if (!key.empty()) {
            // Against a clean plate the key colour is the clean plate's own pixel.
            for (const char* id : {"ValueRed", "ValueGreen", "ValueBlue"}) EXPECT_EQ(Value(state, id), 0.0) << id;
        }
        session.Save();

        std::vector<std::string> args = {"render", plate, "--set", "Colorspace=HSV", "--screen", "2,3,12,6",
                                         "-o", (dir / "keyed.png").string(), "--save-settings",
                                         (dir / "cli.setting").string()};
        if (!key.empty()) args.insert(args.end(), {"--key-image", key});
        const veskar_test::Outcome run = veskar_test::RunVeskar(args, dir);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const std::string saved = veskar_test::ReadText(dir / "page.setting");
        EXPECT_FALSE(saved.empty());
        EXPECT_EQ(saved, veskar_test::ReadText(dir / "cli.setting"));
    }
}

// Each keyed view says whether its key keys anything, with the cause and
// the way out in the page's words, as veskar render warns on the command line.
TEST_F(Session, KeyedViewsWarnWhenTheKeyKeysNothing) {
    {
        TuneSession session(options);
        EXPECT_EQ(session.Warning(), "");
        session.ViewPng(0, View::Matte, true);
        const std::string warning = session.Warning();
        EXPECT_EQ(warning.rfind("the matte is clear on only 0.00% of this frame: it keys nothing; ", 0), 0u)
            << warning;
        EXPECT_NE(warning.find("a Shift-drag over the screen"), std::string::npos) << warning;
        EXPECT_EQ(warning.find("--"), std::string::npos) << warning;
        // Set up from the screen, the key keys the screen and the warning goes.
        session.ApplyValues({{"set", {{{"id", "Colorspace"}, {"value", 1}}}}});
        session.Screen({{"frame", 0}, {"x", 0}, {"y", 0}, {"width", 40}, {"height", 8}});
        session.ViewPng(0, View::Result, false);
        EXPECT_EQ(session.Warning(), "");
    }
    // A colour picked against a key image puts the screen colour where the
    // offset from the clean plate belongs: the warning says so.
    const std::string clean = (dir / "clean.png").string();
    OIIO::ImageBuf cleanBuf(OIIO::ImageSpec(40, 30, 3, OIIO::TypeDesc::UINT8));
    const float cleanRgb[3] = {kScreen[0] / 255.0f, kScreen[1] / 255.0f, kScreen[2] / 255.0f};
    ASSERT_TRUE(OIIO::ImageBufAlgo::fill(cleanBuf, cleanRgb));
    ASSERT_TRUE(cleanBuf.write(clean));
    options.keyImage = clean;
    TuneSession session(options);
    session.Pick({{"frame", 0}, {"x", 0}, {"y", 0}});
    session.ViewPng(0, View::Status, false);
    EXPECT_NE(session.Warning().find("it keys nothing; with a key image, the Value sliders are an offset from the "
                                     "key image's colour, and a picked key colour put the screen colour itself "
                                     "there: use a Shift-drag over the screen"),
              std::string::npos)
        << session.Warning();
}

TEST_F(Session, BadScreenRectanglesAreRefusedAndChangeNothing) {
    TuneSession session(options);
    // A Fade of 0 leaves the matte nothing to follow: the setup refuses it.
    session.ApplyValues({{"set", {{{"id", "FadeRed"}, {"value", 0}}}}});
    const std::string before = session.State().dump();
    const unsigned long revision = session.Revision();
    const std::pair<const char*, const char*> cases[] = {
        {R"([])", "expected"},
        {R"({"x": 0, "y": 0, "width": 4, "height": 4})", "expected"},
        {R"({"frame": 2, "x": 0, "y": 0, "width": 4, "height": 4})", "not a frame"},
        {R"({"frame": 0, "y": 0, "width": 4, "height": 4})", "'x' is missing"},
        {R"({"frame": 0, "x": 0.5, "y": 0, "width": 4, "height": 4})", "'x' must be a whole number"},
        {R"({"frame": 0, "x": 0, "y": 0, "width": "4", "height": 4})", "'width' must be a whole number"},
        {R"({"frame": 0, "x": 0, "y": 0, "width": 4, "height": 4000000000})", "'height' is out of range"},
        {R"({"frame": 0, "x": 0, "y": 0, "width": 1, "height": 4})", "0,0,1,4: give at least 2 x 2 pixels"},
        {R"({"frame": 0, "x": 0, "y": 0, "width": 4, "height": -4})", "at least 2 x 2"},
        {R"({"frame": 0, "x": -1, "y": 0, "width": 4, "height": 4})", "-1,0,4,4 reaches outside the 40 x 30 frame"},
        {R"({"frame": 0, "x": 37, "y": 0, "width": 4, "height": 4})", "outside"},
        {R"({"frame": 0, "x": 0, "y": 0, "width": 40, "height": 31})", "outside"},
        {R"({"frame": 0, "x": 1000000000, "y": 0, "width": 1000000000, "height": 4})", "outside"},
        {R"({"frame": 0, "x": 0, "y": 0, "width": 10, "height": 8})", "FadeRed is 0"},
    };
    for (const auto& [body, message] : cases) {
        try {
            session.Screen(json::parse(body));
            ADD_FAILURE() << body << " was taken";
        } catch (const RequestError& e) {
            EXPECT_EQ(e.Status(), 400) << body;
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << body << ": " << e.what();
        }
    }
    EXPECT_EQ(session.State().dump(), before);
    EXPECT_EQ(session.Revision(), revision);
}

TEST_F(Session, ViewsArePngsOfThePlateSize) {
    TuneSession session(options);
    for (View view : {View::Source, View::Matte, View::Result, View::Status}) {
        const std::string png = session.ViewPng(0, view, false);
        OIIO::Filesystem::IOMemReader memory(png.data(), png.size());
        auto input = OIIO::ImageInput::create("png");
        ASSERT_TRUE(input);
        input->set_ioproxy(&memory);
        OIIO::ImageSpec spec;
        ASSERT_TRUE(input->open("view.png", spec)) << input->geterror();
        EXPECT_EQ(spec.width, 40);
        EXPECT_EQ(spec.height, 30);
        EXPECT_EQ(spec.nchannels, view == View::Matte ? 1 : view == View::Result ? 4 : 3);
    }
    try {
        session.ViewPng(3, View::Matte, true);
        ADD_FAILURE() << "frame 3 was shown";
    } catch (const RequestError& e) {
        EXPECT_EQ(e.Status(), 400);
    }
}

TEST_F(Session, SaveWritesOnlyTheSavePath) {
    {
        TuneSession session(options);
        try {
            session.Save();
            ADD_FAILURE() << "saved without a path";
        } catch (const RequestError& e) {
            EXPECT_EQ(e.Status(), 409);
        }
    }
    options.save = (dir / "it's saved.setting").string();
    TuneSession session(options);
    session.ApplyValues({{"set", {{{"id", "FadeRed"}, {"value", 0.25}}}}});
    const json saved = session.Save();
    ASSERT_TRUE(fs::exists(options.save));
    EXPECT_EQ(saved["path"], options.save);
    // The shell word for the path survives its quote and space.
    EXPECT_NE(saved["command"].get<std::string>().find("--settings '" + (dir / "it'\\''s saved.setting").string() + "'"),
              std::string::npos)
        << saved["command"];

    // The saved file starts a new session with the same values.
    options.settingsFile = options.save;
    options.save.clear();
    TuneSession again(options);
    EXPECT_EQ(Value(again.State(), "FadeRed"), 0.25);
    EXPECT_TRUE(again.State()["canSave"].get<bool>());
}

TEST_F(Session, SaveNeverDropsTheOtherToolsOfTheSettingsFile) {
    const std::string text =
        "{ Tools = ordered() {\n"
        "  Merge1 = Merge { Inputs = { Blend = Input { Value = 0.5, }, }, },\n"
        "  Veskar1 = Veskar { Inputs = { FadeRed = Input { Value = 0.25, }, }, },\n"
        "}, }\n";
    options.settingsFile = (dir / "comp.setting").string();
    {
        std::ofstream(options.settingsFile) << text;
    }
    {
        TuneSession session(options);
        const json state = session.State();
        EXPECT_EQ(Value(state, "FadeRed"), 0.25);
        EXPECT_FALSE(state["canSave"].get<bool>());
        EXPECT_NE(state["saveOff"].get<std::string>().find("Merge1 (Merge)"), std::string::npos) << state["saveOff"];
        try {
            session.Save();
            ADD_FAILURE() << "saved over a file with another tool";
        } catch (const RequestError& e) {
            EXPECT_EQ(e.Status(), 409);
            EXPECT_NE(std::string(e.what()).find("--save FILE"), std::string::npos) << e.what();
        }
    }
    std::ifstream in(options.settingsFile);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text);

    // Saved elsewhere, the values of the tool are kept as always.
    options.save = (dir / "veskar.setting").string();
    TuneSession session(options);
    EXPECT_TRUE(session.State()["canSave"].get<bool>());
    session.Save();
    EXPECT_TRUE(fs::exists(options.save));
}

TEST_F(Session, SequencesShowTheFramesOfTheList) {
    for (int frame : {1001, 1002}) {
        char name[32];
        std::snprintf(name, sizeof name, "shot.%04d.png", frame);
        fs::copy_file(plate, dir / name);
    }
    options.plate = (dir / "shot.####.png").string();
    options.frames = "1001-1002";
    options.save = (dir / "shot.setting").string();
    TuneSession session(options);
    EXPECT_EQ(session.State()["frames"], json::parse(R"({"count": 2, "first": 1001, "last": 1002, "runs": [[1001, 1002]]})"));
    EXPECT_FALSE(session.ViewPng(1002, View::Matte, false).empty());
    EXPECT_THROW(session.ViewPng(1003, View::Matte, false), RequestError);
    // The command renders the frame last shown.
    const std::string command = session.Save()["command"];
    EXPECT_NE(command.find("--frames 1002 -o '" + (dir / "keyed_shot.####.png").string() + "'"), std::string::npos)
        << command;
    fs::remove(dir / "shot.1001.png");
    EXPECT_THROW(session.ViewPng(1001, View::Matte, false), veskar::CliError);
}

TEST_F(Session, AMovieShowsItsFramesNumberedFromOne) {
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "ffmpeg is not installed";
    // The test pattern's counter moves: every frame differs from the others.
    const std::string clip = (dir / "clip.mkv").string();
    const std::string make = "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=64x48:rate=10 -frames:v 3 "
                             "-c:v ffv1 '" + clip + "'";
    ASSERT_EQ(std::system(make.c_str()), 0);
    options.plate = clip;
    options.save = (dir / "clip.setting").string();
    TuneSession session(options);
    EXPECT_EQ(session.State()["frames"], json::parse(R"({"count": 3, "first": 1, "last": 3, "runs": [[1, 3]]})"));
    const std::string first = session.ViewPng(1, View::Source, false);
    const std::string third = session.ViewPng(3, View::Source, false);
    EXPECT_FALSE(first.empty());
    EXPECT_NE(first, third);
    // Back to the first frame: decoded again from the start, the same picture.
    EXPECT_EQ(session.ViewPng(1, View::Source, false), first);
    EXPECT_THROW(session.ViewPng(4, View::Source, false), RequestError);
    EXPECT_THROW(session.ViewPng(0, View::Source, false), RequestError);
    // The command keys the movie into a movie.
    const std::string command = session.Save()["command"];
    EXPECT_NE(command.find(" -o " + (dir / "keyed_clip.mkv").string()), std::string::npos) << command;

    options.frames = "2-3";
    TuneSession some(options);
    EXPECT_EQ(some.State()["frames"], json::parse(R"({"count": 2, "first": 2, "last": 3, "runs": [[2, 3]]})"));
    const std::string someCommand = some.Save()["command"];
    EXPECT_NE(someCommand.find(" --frames 2-3 -o "), std::string::npos) << someCommand;
    options.frames = "2-5";
    try {
        TuneSession session(options);
        ADD_FAILURE() << "frames the movie does not have were taken";
    } catch (const veskar::CliError& e) {
        EXPECT_NE(std::string(e.what()).find("--frames 2-5: " + clip + " has frames 1-3"), std::string::npos)
            << e.what();
    }
}

TEST_F(Session, AnimatedPlateIsRefusedNamingTheFile) {
    // Its frames are a sequence, not parts of one image.
    const std::string gif = (dir / "clip.gif").string();
    const OIIO::ImageSpec spec(16, 8, 3, OIIO::TypeDesc::UINT8);
    const OIIO::ImageSpec specs[2] = {spec, spec};
    const std::vector<float> pixels(16 * 8 * 3, 0.5f);
    auto out = OIIO::ImageOutput::create(gif);
    ASSERT_TRUE(out && out->open(gif, 2, specs) && out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()) &&
                out->open(gif, spec, OIIO::ImageOutput::AppendSubimage) &&
                out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()) && out->close());
    options.plate = gif;
    try {
        TuneSession session(options);
        session.ViewPng(0, View::Result, false);
        ADD_FAILURE() << "the animated plate was keyed";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find(gif + ": a movie or animated image (2 frames) is not read"),
                  std::string::npos)
            << e.what();
    }
}

// A frame of the list whose file is missing or damaged is refused with its
// file named, and the session goes on with the frame it showed.
TEST_F(Session, AFrameThatCannotBeReadLeavesTheShownFrame) {
    fs::copy_file(plate, dir / "shot.1001.png");
    std::ofstream(dir / "shot.1003.png") << "not a png";
    options.plate = (dir / "shot.####.png").string();
    options.frames = "1001-1003";
    TuneSession session(options);
    session.ViewPng(1001, View::Matte, false);
    const std::string before = session.State().dump();
    const std::pair<std::string, std::function<void()>> failing[] = {
        {"shot.1002.png", [&] { session.ViewPng(1002, View::Source, true); }},
        {"shot.1003.png", [&] { session.ViewPng(1003, View::Matte, false); }},
        {"shot.1002.png", [&] { session.Pick({{"frame", 1002}, {"x", 1}, {"y", 1}}); }},
        {"shot.1003.png", [&] { session.Screen({{"frame", 1003}, {"x", 0}, {"y", 0}, {"width", 4}, {"height", 4}}); }},
    };
    for (const auto& [file, call] : failing) {
        try {
            call();
            ADD_FAILURE() << file << " was read";
        } catch (const veskar::CliError& e) {
            EXPECT_NE(std::string(e.what()).find(file), std::string::npos) << e.what();
        }
        EXPECT_EQ(session.State().dump(), before) << file;
    }
    // The shown frame still keys, and changes still apply to it.
    session.ApplyValues({{"set", {{{"id", "FadeRed"}, {"value", 0.5}}}}});
    EXPECT_EQ(session.State()["frame"], 1001);
    EXPECT_EQ(session.State()["width"], 40);
    EXPECT_FALSE(session.ViewPng(1001, View::Result, false).empty());
}

// The state names a sequence's frames by their runs, so a long sequence
// costs no more than a short one; a frame number outside the int range is
// named as it was sent.
TEST_F(Session, StateNamesLongSequencesByRuns) {
    fs::copy_file(plate, dir / "shot.0001.png");
    options.plate = (dir / "shot.####.png").string();
    options.frames = "1-1000000";
    TuneSession session(options);
    const json state = session.State();
    EXPECT_EQ(state["frames"], json::parse(R"({"count": 1000000, "first": 1, "last": 1000000, "runs": [[1, 1000000]]})"));
    EXPECT_LT(state.dump().size(), 10000u);

    options.frames = "1-3,7,9-10,2000000000";
    const json runs = TuneSession(options).State()["frames"];
    EXPECT_EQ(runs["runs"], json::parse("[[1, 3], [7, 7], [9, 10], [2000000000, 2000000000]]"));
    EXPECT_EQ(runs["count"], 7);

    const std::pair<const char*, const char*> cases[] = {
        {R"({"frame": 9223372036854775808, "x": 0, "y": 0})", "frame 9223372036854775808 is out of range"},
        {R"({"frame": 18446744073709551615, "x": 0, "y": 0})", "frame 18446744073709551615 is out of range"},
        {R"({"frame": -2147483649, "x": 0, "y": 0})", "frame -2147483649 is out of range"},
        {R"({"frame": 4294967297, "x": 0, "y": 0})", "out of range"},
        {R"({"frame": 1, "x": 9223372036854775808, "y": 0})", "'x' is out of range"},
    };
    for (const auto& [body, message] : cases) {
        try {
            session.Pick(json::parse(body));
            ADD_FAILURE() << body << " was taken";
        } catch (const RequestError& e) {
            EXPECT_EQ(e.Status(), 400) << body;
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << body << ": " << e.what();
        }
    }
}

TEST(FrameText, WholeNumbersInTheIntRangeOnly) {
    using veskar::tune::ParseFrameText;
    EXPECT_EQ(ParseFrameText("1001"), 1001);
    EXPECT_EQ(ParseFrameText("-5"), -5);
    EXPECT_EQ(ParseFrameText("2147483647"), 2147483647);
    const std::pair<std::string, const char*> cases[] = {
        {"9223372036854775808", "frame '9223372036854775808' is out of range"},
        {"2147483648", "frame '2147483648' is out of range"},
        {"-2147483649", "out of range"},
        {std::string(200, '9'), "frame '999999999999999999999...' is out of range"},
        {"", "whole number"},
        {"-", "whole number"},
        {"1e3", "not '1e3'"},
        {" 12", "whole number"},
        {"+12", "whole number"},
        {"0x10", "whole number"},
    };
    for (const auto& [text, message] : cases) {
        try {
            ParseFrameText(text);
            ADD_FAILURE() << text << " was taken";
        } catch (const RequestError& e) {
            EXPECT_EQ(e.Status(), 400) << text;
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << text << ": " << e.what();
            EXPECT_LT(std::string(e.what()).size(), 80u) << e.what();
        }
    }
}

TEST_F(Session, RefusesToStartWhereSavingWouldOverwriteThePlate) {
    options.save = plate;
    EXPECT_THROW(TuneSession{options}, veskar::CliError);
    options.save.clear();
    options.frames = "1-3";
    EXPECT_THROW(TuneSession{options}, veskar::CliError);
}

// veskar tune refuses, as a usage error naming it, an address that serves
// every interface or none, or (without --allow-remote) other machines. Each
// run is bounded, as a server that took the address would never end.
TEST_F(Session, ListenRefusesAddressesOfEveryInterfaceOrOtherMachines) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--listen", "::0"}, "every address"},
        {{"--listen", "::ffff:0.0.0.0"}, "every address"},
        {{"--listen", "0.0.0.0", "--allow-remote"}, "every address"},
        {{"--listen", "ff02::1"}, "multicast"},
        {{"--listen", "10.11.12.13"}, "--allow-remote"},
    };
    for (const auto& [listen, message] : cases) {
        std::vector<std::string> args = {"tune", plate};
        args.insert(args.end(), listen.begin(), listen.end());
        veskar_test::Running run(args, dir, {"timeout", "60"});
        ASSERT_TRUE(run.Started());
        const veskar_test::Outcome outcome = run.Wait();
        EXPECT_EQ(outcome.exitCode, 2) << listen[1] << ": " << outcome.out << outcome.err;
        EXPECT_NE(outcome.err.find("--listen " + listen[1] + ": "), std::string::npos) << outcome.err;
        EXPECT_NE(outcome.err.find(message), std::string::npos) << outcome.err;
    }
}

// ---- TuneServer ----

// The request `method target` with the Host and token of `server` as bound
// at kPort, `extra` header lines after them, and a JSON body when given.
constexpr int kPort = 8123;

std::string RequestBytes(const TuneServer& server, const std::string& method, const std::string& target,
                         const std::string& extra = "", const std::string& body = "", int port = kPort) {
    std::string bytes = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                        "\r\nX-Veskar-Token: " + server.Token() + "\r\n" + extra;
    if (!body.empty()) {
        bytes += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    }
    return bytes + "Connection: close\r\n\r\n" + body;
}

int StatusOf(const std::string& answer) {
    return answer.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(answer.c_str() + 9) : -1;
}

// Requests through the server's own handling, without a socket: headers the
// guard reads must come once, and numbers are named as sent.
TEST_F(Session, ServerRefusesRepeatedHeadersAndNamesFramesAsSent) {
    TuneSession session(options);
    TuneServer server(session, "127.0.0.1");
    server.AssumePort(kPort);
    EXPECT_EQ(StatusOf(server.AnswerBytes(RequestBytes(server, "GET", "/api/state"))), 200);
    const std::string set = R"({"set": [{"id": "FadeRed", "value": 0.5}]})";
    const std::pair<std::string, const char*> repeated[] = {
        {RequestBytes(server, "GET", "/api/state", "Host: rebound.example:8123\r\n"), "more than one Host"},
        {RequestBytes(server, "GET", "/api/state", "host: 127.0.0.1:8123\r\n"), "more than one Host"},
        {RequestBytes(server, "GET", "/api/state", "Origin: http://127.0.0.1:8123\r\nOrigin: http://a.example\r\n"),
         "more than one Origin"},
        {RequestBytes(server, "POST", "/api/set", "Content-Length: 2\r\n", set), "more than one Content-Length"},
        {RequestBytes(server, "GET", "/api/state", "X-Veskar-Token: " + server.Token() + "\r\n"),
         "more than one X-Veskar-Token"},
    };
    for (const auto& [request, message] : repeated) {
        const std::string answer = server.AnswerBytes(request);
        EXPECT_EQ(StatusOf(answer), 400) << request;
        EXPECT_NE(answer.find(message), std::string::npos) << answer;
    }
    EXPECT_EQ(session.Revision(), 1u);  // the refused change was not made

    const std::pair<std::string, const char*> frames[] = {
        {"9223372036854775808", R"(frame '9223372036854775808' is out of range)"},
        {std::string(100, '1'), R"(frame '111111111111111111111...' is out of range)"},
        {"x", "frame must be a whole number, not 'x'"},
        {"7", "frame 7 is not a frame of this session"},
    };
    for (const auto& [frame, message] : frames) {
        const std::string answer =
            server.AnswerBytes(RequestBytes(server, "GET", "/api/view?view=source&size=full&frame=" + frame));
        EXPECT_EQ(StatusOf(answer), 400) << frame;
        EXPECT_NE(answer.find(message), std::string::npos) << answer;
    }
    const std::string pick = R"({"frame": 9223372036854775808, "x": 0, "y": 0})";
    const std::string answer = server.AnswerBytes(RequestBytes(server, "POST", "/api/pick", "", pick));
    EXPECT_EQ(StatusOf(answer), 400);
    EXPECT_NE(answer.find("frame 9223372036854775808 is out of range"), std::string::npos) << answer;
}

// Text a request sent is named in answers even when it is not UTF-8 (the
// bytes are replaced), never ending the server.
TEST_F(Session, ServerNamesTextThatIsNotUtf8) {
    TuneSession session(options);
    TuneServer server(session, "127.0.0.1");
    server.AssumePort(kPort);
    const std::string host = "GET /api/state HTTP/1.1\r\nHost: \xc0\xff:8123\r\nConnection: close\r\n\r\n";
    std::string answer = server.AnswerBytes(host);
    EXPECT_EQ(StatusOf(answer), 403);
    EXPECT_NE(answer.find("Host '\xef\xbf\xbd\xef\xbf\xbd:8123'"), std::string::npos) << answer;
    answer = server.AnswerBytes(RequestBytes(server, "GET", "/api/view?view=matte&size=proxy&frame=\xc0" "2"));
    EXPECT_EQ(StatusOf(answer), 400);
    EXPECT_NE(answer.find("whole number"), std::string::npos) << answer;
}

// A missing frame answers with its file named; the state answered afterwards
// is that of the frame still shown.
TEST_F(Session, ServerAnswersAMissingFrameAndKeepsServing) {
    fs::copy_file(plate, dir / "shot.1001.png");
    options.plate = (dir / "shot.####.png").string();
    options.frames = "1001-1002";
    TuneSession session(options);
    TuneServer server(session, "127.0.0.1");
    server.AssumePort(kPort);
    const std::string missing =
        server.AnswerBytes(RequestBytes(server, "GET", "/api/view?view=matte&size=proxy&frame=1002"));
    EXPECT_EQ(StatusOf(missing), 500);
    EXPECT_NE(missing.find("shot.1002.png"), std::string::npos) << missing;
    const std::string state = server.AnswerBytes(RequestBytes(server, "GET", "/api/state"));
    ASSERT_EQ(StatusOf(state), 200);
    const json parsed = json::parse(state.substr(state.find("\r\n\r\n") + 4));
    EXPECT_EQ(parsed["frame"], 1001);
    EXPECT_EQ(parsed["width"], 40);
}

// A client socket on this machine, closed when it goes; reads wait at most a
// minute, so that a server that never answers fails the test, not hangs it.
class Client {
public:
    explicit Client(int port) : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const timeval wait{60, 0};
        ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        connected_ = ::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(socket_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connected() const { return connected_; }
    void Send(const std::string& bytes) { (void)::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // Everything the server sends until it closes (or a minute passes).
    std::string ReadAll() {
        std::string answer;
        char buffer[4096];
        for (ssize_t got; (got = ::recv(socket_, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, got);
        return answer;
    }
    // Whether the server still holds the connection open (sent nothing, closed nothing).
    bool StillOpen() {
        char byte;
        return ::recv(socket_, &byte, 1, MSG_DONTWAIT | MSG_PEEK) < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }

private:
    int socket_;
    bool connected_ = false;
};

// The server serving on a thread of its own while a test talks to it.
class Serving {
public:
    Serving(TuneSession& session, const ServerLimits& limits) : server_(session, "127.0.0.1", limits) {
        port_ = server_.Bind(0);
        thread_ = std::thread([this] { server_.Serve(); });
    }
    ~Serving() {
        server_.Stop();
        thread_.join();
    }
    TuneServer& Server() { return server_; }
    int Port() const { return port_; }

private:
    TuneServer server_;
    int port_ = 0;
    std::thread thread_;
};

// Silent connections, with or without part of a head, hold up no one: the
// page's request is answered while every one of them is still open (their
// minute of silence is far from over).
TEST_F(Session, ServerAnswersWhileSilentConnectionsAreHeld) {
    TuneSession session(options);
    Serving serving(session, {16, std::chrono::seconds(60), std::chrono::seconds(120)});
    std::vector<std::unique_ptr<Client>> silent;
    for (int i = 0; i < 10; ++i) {
        silent.push_back(std::make_unique<Client>(serving.Port()));
        ASSERT_TRUE(silent.back()->Connected());
        if (i % 2 == 1) silent.back()->Send("GET /api/state HTTP/1.1\r\n");
    }
    for (int round = 0; round < 3; ++round) {
        Client page(serving.Port());
        page.Send(RequestBytes(serving.Server(), "GET", "/api/state", "", "", serving.Port()));
        const std::string answer = page.ReadAll();
        EXPECT_EQ(StatusOf(answer), 200) << answer.substr(0, 200);
    }
    for (auto& client : silent) EXPECT_TRUE(client->StillOpen());
}

// Beyond the connections it serves at once, the server answers 503 at once
// instead of queueing a connection behind silent ones.
TEST_F(Session, ServerTurnsAwayConnectionsBeyondItsLimit) {
    TuneSession session(options);
    Serving serving(session, {2, std::chrono::seconds(60), std::chrono::seconds(120)});
    Client first(serving.Port());
    Client second(serving.Port());
    Client third(serving.Port());
    const std::string answer = third.ReadAll();
    EXPECT_EQ(StatusOf(answer), 503) << answer;
    EXPECT_NE(answer.find("busy"), std::string::npos) << answer;
    EXPECT_TRUE(first.StillOpen());
    EXPECT_TRUE(second.StillOpen());
}

// A plate that is not sRGB is shown through the colour configuration: a
// broken $OCIO stops veskar tune before it serves, naming the file; an sRGB
// plate needs no configuration.
TEST_F(Session, BrokenColourConfigurationStopsAPageThatNeedsIt) {
    TuneSession srgb(options);
    EXPECT_FALSE(srgb.ConvertsForDisplay());
    const std::string exr = (dir / "plate.exr").string();
    OIIO::ImageBuf linear;
    ASSERT_TRUE(OIIO::ImageBufAlgo::colorconvert(linear, OIIO::ImageBuf(plate), "sRGB", "linear"));
    ASSERT_TRUE(linear.write(exr, OIIO::TypeDesc::HALF));
    options.plate = exr;
    TuneSession converted(options);
    EXPECT_TRUE(converted.ConvertsForDisplay());

    const std::string missing = (dir / "missing.ocio").string();
    ::setenv("OCIO", missing.c_str(), 1);
    try {
        RunTune(options);
        ADD_FAILURE() << "the page served with a missing $OCIO";
    } catch (const veskar::CliError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("$OCIO " + missing + ": ", 0), 0u) << e.what();
        EXPECT_EQ(e.ExitCode(), 1);
    }
    ::unsetenv("OCIO");
}

// A refused request ends its connection, and its answer says so: a client
// that keeps connections alive (browsers, Node) would otherwise send its next
// request on the closed one and get no answer at all.
TEST_F(Session, RefusedRequestsSayTheConnectionEnds) {
    TuneSession session(options);
    Serving serving(session, {4, std::chrono::seconds(60), std::chrono::seconds(120)});
    const std::string host = "Host: 127.0.0.1:" + std::to_string(serving.Port()) + "\r\n";
    Client refused(serving.Port());
    refused.Send("GET /api/state HTTP/1.1\r\n" + host + "\r\n");
    const std::string answer = refused.ReadAll();
    EXPECT_EQ(StatusOf(answer), 403) << answer;
    EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos) << answer;
}

// A connection that stays silent, or trickles its head in a byte at a time,
// is ended by the server, which does not wait for the rest.
TEST_F(Session, ServerEndsSilentAndTricklingConnections) {
    TuneSession session(options);
    Serving serving(session, {4, std::chrono::milliseconds(200), std::chrono::milliseconds(500)});
    Client silent(serving.Port());
    silent.Send("GET /api/state HTTP/1.1\r\n");
    EXPECT_EQ(StatusOf(silent.ReadAll()), 400);

    Client trickling(serving.Port());
    trickling.Send("GET /api/state HTTP/1.1\r\nX-Padding: ");
    bool ended = false;
    // Ten times the deadline of trickling, each byte well within the silence.
    for (int i = 0; i < 100 && !ended; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        trickling.Send("a");
        ended = !trickling.StillOpen();
    }
    EXPECT_TRUE(ended);
}

}  // namespace

namespace {

// The pixels of a PNG file in memory, as floats.
std::vector<float> PngPixels(const std::string& png, int& channels) {
    OIIO::Filesystem::IOMemReader memory(const_cast<char*>(png.data()), png.size());
    auto input = OIIO::ImageInput::create("png");
    OIIO::ImageSpec spec;
    if (!input) return {};
    input->set_ioproxy(&memory);
    if (!input->open("view.png", spec)) return {};
    channels = spec.nchannels;
    std::vector<float> pixels(static_cast<std::size_t>(spec.width) * spec.height * spec.nchannels);
    if (!input->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, pixels.data())) return {};
    return pixels;
}

double Finishing(const json& state, const std::string& id) {
    for (const json& control : state["finishing"]["controls"]) {
        if (control["id"] == id) return control["value"].get<double>();
    }
    ADD_FAILURE() << "no finishing value " << id;
    return 0.0;
}

}  // namespace

// The page's full-size result with finishing is what veskar render writes
// with the settings the page saves, to the bit.
TEST_F(Session, SavedFinishingRendersThePagesResult) {
    options.save = (dir / "page.setting").string();
    options.finishing.soften = "1.5";
    options.finishing.garbage = {"0,0,8,0,8,30,0,30"};
    TuneSession session(options);
    session.Pick({{"frame", 0}, {"x", 2}, {"y", 2}});
    session.ApplyValues({{"set", {{{"id", "finish.unmix"}, {"value", 1}}, {{"id", "finish.despill"}, {"value", 0.5}},
                                  {{"id", "finish.grow"}, {"value", 1.25}}}}});
    const json state = session.State();
    EXPECT_EQ(Finishing(state, "finish.soften"), 1.5);
    EXPECT_EQ(Finishing(state, "finish.grow"), 1.25);
    EXPECT_EQ(state["finishing"]["garbage"], 1);
    const std::string page = session.ViewPng(0, View::Result, false);
    session.Save();
    const std::string saved = veskar_test::ReadText(options.save);
    EXPECT_NE(saved.find("\tVeskarFinishing = {\n\t\tUnmix = true,\n\t\tDespill = 0.5,\n\t\tGrow = 1.25,\n\t\tSoften = 1.5,"
                         "\n\t\tGarbage = { \"0,0,8,0,8,30,0,30\", },\n\t},\n"),
              std::string::npos)
        << saved;

    const std::string keyed = (dir / "keyed.png").string();
    const veskar_test::Outcome run = veskar_test::RunVeskar({"render", plate, "--settings", options.save, "-o", keyed}, dir);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    OIIO::ImageBuf file(keyed);
    ASSERT_TRUE(file.read()) << file.geterror();
    std::vector<float> written(static_cast<std::size_t>(40) * 30 * 4);
    ASSERT_TRUE(file.get_pixels(file.roi(), OIIO::TypeDesc::FLOAT, written.data()));
    int channels = 0;
    const std::vector<float> shown = PngPixels(page, channels);
    ASSERT_EQ(channels, 4);
    EXPECT_EQ(shown, written);
    // And finishing changed what the page shows.
    session.ApplyValues({{"set", {{{"id", "finish.unmix"}, {"value", 0}}, {{"id", "finish.despill"}, {"value", 0}},
                                  {{"id", "finish.grow"}, {"value", 0}}, {{"id", "finish.soften"}, {"value", 0}}}}});
    EXPECT_NE(PngPixels(session.ViewPng(0, View::Result, false), channels), shown);
}

// Finishing changes are checked with the tool's: one bad change refuses
// the whole request and changes nothing; shrink and grow are one setting.
TEST_F(Session, BadFinishingChangesAreRefusedWhole) {
    TuneSession session(options);
    session.ApplyValues({{"set", {{{"id", "finish.shrink"}, {"value", 2}}}}});
    const unsigned long revision = session.Revision();
    const double fade = Value(session.State(), "FadeRed");
    const std::vector<json> bad = {
        {{"id", "finish.soften"}, {"value", -1}},
        {{"id", "finish.despill"}, {"value", 3}},
        {{"id", "finish.unmix"}, {"value", 0.5}},
        {{"id", "finish.clipBlack"}, {"value", 1}},
        {{"id", "finish.blur"}, {"value", 1}},
        {{"id", "finish.grow"}, {"value", "1"}},
    };
    for (const json& change : bad) {
        try {
            session.ApplyValues({{"set", {{{"id", "FadeRed"}, {"value", fade + 0.125}}, change}}});
            ADD_FAILURE() << "accepted " << change;
        } catch (const RequestError& e) {
            EXPECT_EQ(e.Status(), 400) << change;
        }
    }
    const json state = session.State();
    EXPECT_EQ(session.Revision(), revision);
    EXPECT_EQ(Value(state, "FadeRed"), fade);
    EXPECT_EQ(Finishing(state, "finish.shrink"), 2.0);
    session.ApplyValues({{"set", {{{"id", "finish.grow"}, {"value", 0.5}}}}});
    EXPECT_EQ(Finishing(session.State(), "finish.shrink"), 0.0);
    EXPECT_EQ(Finishing(session.State(), "finish.grow"), 0.5);
}

// While a slider moves the proxy is finished at its own scale: garbage
// shapes shrunk with the plate, distances in pixels shrunk by the factor.
TEST_F(Session, ProxyIsFinishedAtItsScale) {
    const std::string wide = (dir / "wide.png").string();
    OIIO::ImageBuf buf(OIIO::ImageSpec(1700, 500, 3, OIIO::TypeDesc::UINT8));
    const float screen[3] = {kScreen[0] / 255.0f, kScreen[1] / 255.0f, kScreen[2] / 255.0f};
    const float grey[3] = {0.5f, 0.5f, 0.5f};
    ASSERT_TRUE(OIIO::ImageBufAlgo::fill(buf, screen));
    ASSERT_TRUE(OIIO::ImageBufAlgo::fill(buf, grey, OIIO::ROI(300, 1400, 100, 400, 0, 1, 0, 3)));
    ASSERT_TRUE(buf.write(wide));
    options.plate = wide;
    options.finishing.garbage = {"0,0,850,0,850,500,0,500"};
    options.finishing.soften = "3";
    TuneSession session(options);
    session.Pick({{"frame", 0}, {"x", 10}, {"y", 10}});
    int channels = 0;
    const std::vector<float> proxy = PngPixels(session.ViewPng(0, View::Result, true), channels);
    ASSERT_EQ(channels, 4);
    ASSERT_EQ(proxy.size(), std::size_t{566} * 166 * 4);  // shrunk by 3
    auto alpha = [&](int x, int y) { return proxy[(static_cast<std::size_t>(y) * 566 + x) * 4 + 3]; };
    EXPECT_EQ(alpha(200, 83), 0.0f);  // the subject under the garbage
    EXPECT_EQ(alpha(400, 83), 1.0f);  // the subject beside it
    EXPECT_EQ(alpha(10, 10), 0.0f);   // the screen
}

// The page warns of the key the tool made, as veskar render does: a holdout
// over the whole frame leaves the finished matte solid, not the key.
TEST_F(Session, KeyWarningIsOfTheKeyBeforeFinishing) {
    options.finishing.holdout = {"0,0,40,0,40,30,0,30"};
    TuneSession session(options);
    session.ApplyValues({{"set", {{{"id", "Colorspace"}, {"value", 1}}}}});
    session.Screen({{"frame", 0}, {"x", 0}, {"y", 0}, {"width", 40}, {"height", 8}});
    int channels = 0;
    const std::vector<float> matte = PngPixels(session.ViewPng(0, View::Matte, false), channels);
    ASSERT_EQ(channels, 1);
    EXPECT_EQ(*std::min_element(matte.begin(), matte.end()), 1.0f);  // held out everywhere
    EXPECT_EQ(session.Warning(), "");
}
