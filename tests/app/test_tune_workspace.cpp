// The tuning page's workspace without a browser: undo and redo of every kind
// of change, snapshots, and the result laid over a background image, checked
// against the real plug-in.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imageio.h>

#include "app/tune/background.h"
#include "app/tune/edit_history.h"
#include "app/tune/tune_server.h"
#include "app/tune/tune_session.h"
#include "support/run_veskar.h"
#include "test_paths.h"

namespace fs = std::filesystem;
using nlohmann::json;
using veskar::tune::Backgrounds;
using veskar::tune::EditHistory;
using veskar::tune::RequestError;
using veskar::tune::SessionState;
using veskar::tune::TuneOptions;
using veskar::tune::TuneServer;
using veskar::tune::TuneSession;
using veskar::tune::View;

namespace {

SessionState Numbered(double value) {
    SessionState state;
    state.values = {value};
    return state;
}

double Shown(const SessionState* state) { return state == nullptr ? -1.0 : state->values.front(); }

TEST(EditHistory, UndoRedoMergeAndBound) {
    EditHistory history(3);
    history.Reset(Numbered(0));
    EXPECT_EQ(history.Undo(), nullptr);
    history.Record(Numbered(1), false);
    history.Record(Numbered(2), true);  // continues the change to 1: one step
    history.Record(Numbered(3), false);
    EXPECT_EQ(history.UndoSteps(), 2u);
    EXPECT_EQ(Shown(history.Undo()), 2.0);
    EXPECT_EQ(Shown(history.Undo()), 0.0);
    EXPECT_EQ(history.Undo(), nullptr);
    EXPECT_EQ(Shown(history.Redo()), 2.0);
    // A change after an undo drops the steps undone, and never merges into
    // the state undo came back to.
    history.Record(Numbered(4), true);
    EXPECT_EQ(history.RedoSteps(), 0u);
    EXPECT_EQ(Shown(history.Undo()), 2.0);
    EXPECT_EQ(Shown(history.Redo()), 4.0);
    EXPECT_EQ(history.Redo(), nullptr);
    // At most three steps back: the oldest are forgotten.
    for (int i = 5; i < 10; ++i) history.Record(Numbered(i), false);
    EXPECT_EQ(history.UndoSteps(), 3u);
    EXPECT_EQ(Shown(history.Undo()), 8.0);
    EXPECT_EQ(Shown(history.Undo()), 7.0);
    EXPECT_EQ(Shown(history.Undo()), 6.0);
    EXPECT_EQ(history.Undo(), nullptr);
}

constexpr int kScreen[3] = {51, 179, 77};

class Workspace : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::path(::testing::TempDir()) /
              ("veskar_workspace_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        plate = (dir / "plate.png").string();
        OIIO::ImageBuf buf(OIIO::ImageSpec(40, 30, 3, OIIO::TypeDesc::UINT8));
        for (int y = 0; y < 30; ++y) {
            for (int x = 0; x < 40; ++x) {
                const bool subject = x >= 15 && x < 25 && y >= 10 && y < 20;
                const float edge = x == 14 || x == 25 ? 0.25f : 0.0f;  // some partly keyed pixels
                const float rgb[3] = {subject ? 0.5f : kScreen[0] / 255.0f + edge,
                                      subject ? 0.5f : kScreen[1] / 255.0f - edge,
                                      subject ? 0.5f : kScreen[2] / 255.0f + edge};
                buf.setpixel(x, y, rgb);
            }
        }
        ASSERT_TRUE(buf.write(plate));
        options.plate = plate;
        options.pluginFolder = VESKAR_TEST_PLUGIN_DIR;
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
    std::string plate;
    TuneOptions options;
};

json Set(const char* id, double value, bool merge = false) {
    return {{"set", {{{"id", id}, {"value", value}}}}, {"merge", merge}};
}

double Value(const json& state, const std::string& id) {
    for (const json& control : state["controls"]) {
        if (control["id"] == id) return control["value"].get<double>();
    }
    for (const json& control : state["finishing"]["controls"]) {
        if (control["id"] == id) return control["value"].get<double>();
    }
    ADD_FAILURE() << "no control " << id;
    return 0.0;
}

// Each kind of change is undone to the bits shown before it and redone to
// the bits shown after it; a slider's drag is one step.
TEST_F(Workspace, UndoAndRedoGiveBackTheBitsOfEveryKindOfChange) {
    TuneSession session(options);
    session.ApplyValues(Set("Colorspace", 1));
    std::vector<std::string> shown{session.ViewPng(0, View::Result, false)};
    const std::vector<std::function<void()>> changes = {
        [&] { session.Pick({{"frame", 0}, {"x", 2}, {"y", 2}}); },
        [&] {
            session.ApplyValues(Set("OffAlpha", 0.2));
            session.ApplyValues(Set("OffAlpha", 0.3, true));
        },
        [&] { session.ApplyValues(Set("finish.soften", 1.5)); },
        [&] { session.ApplyValues(Set("finish.unmix", 1)); },
        [&] { session.Screen({{"frame", 0}, {"x", 0}, {"y", 0}, {"width", 10}, {"height", 30}}); },
    };
    for (const auto& change : changes) {
        change();
        shown.push_back(session.ViewPng(0, View::Result, false));
        EXPECT_NE(shown.back(), shown[shown.size() - 2]) << "change " << shown.size() - 1 << " shows nothing new";
    }
    EXPECT_EQ(session.State()["history"]["undo"], changes.size() + 1);
    for (std::size_t step = changes.size(); step > 0; --step) {
        ASSERT_TRUE(session.Undo());
        EXPECT_EQ(session.ViewPng(0, View::Result, false), shown[step - 1]) << "undo to " << step - 1;
    }
    for (std::size_t step = 1; step <= changes.size(); ++step) {
        ASSERT_TRUE(session.Redo());
        EXPECT_EQ(session.ViewPng(0, View::Result, false), shown[step]) << "redo to " << step;
    }
    EXPECT_FALSE(session.Redo());
    EXPECT_EQ(session.State()["history"]["redo"], 0);
}

// Save writes what is shown: the state undo came back to.
TEST_F(Workspace, SaveAfterUndoWritesTheUndoneState) {
    options.save = (dir / "page.setting").string();
    TuneSession session(options);
    session.ApplyValues(Set("FadeRed", 0.25));
    session.ApplyValues(Set("FadeRed", 0.75));
    ASSERT_TRUE(session.Undo());
    EXPECT_EQ(Value(session.State(), "FadeRed"), 0.25);
    session.Save();
    TuneOptions reopened = options;
    reopened.settingsFile = options.save;
    TuneSession again(reopened);
    EXPECT_EQ(Value(again.State(), "FadeRed"), 0.25);
}

// A snapshot renders as its state did, leaving the current state, its
// revision and its render as they were; restoring one is undone as a change.
TEST_F(Workspace, SnapshotsRenderAndRestoreTheirState) {
    TuneSession session(options);
    session.Pick({{"frame", 0}, {"x", 2}, {"y", 2}});
    const std::string before = session.ViewPng(0, View::Result, false);
    EXPECT_EQ(session.TakeSnapshot({{"name", "picked"}}), 0);
    session.ApplyValues(Set("finish.clipBlack", 0.4));
    const std::string after = session.ViewPng(0, View::Result, false);
    ASSERT_NE(before, after);
    const unsigned long revision = session.Revision();
    EXPECT_EQ(session.SnapshotPng(0, 0, View::Result, false), before);
    EXPECT_EQ(session.Revision(), revision);
    EXPECT_EQ(Value(session.State(), "finish.clipBlack"), 0.4);
    EXPECT_EQ(session.ViewPng(0, View::Result, false), after);
    EXPECT_EQ(session.State()["snapshots"], json::array({"picked"}));

    session.RestoreSnapshot({{"index", 0}});
    EXPECT_EQ(session.ViewPng(0, View::Result, false), before);
    ASSERT_TRUE(session.Undo());
    EXPECT_EQ(session.ViewPng(0, View::Result, false), after);

    const json bad[] = {{{"index", 1}}, {{"index", -1}}, {{"index", "0"}}, {{"index", 1e30}}, json::object()};
    for (const json& body : bad) {
        EXPECT_THROW(session.RestoreSnapshot(body), RequestError) << body;
    }
    EXPECT_THROW(session.TakeSnapshot({{"name", ""}}), RequestError);
    EXPECT_THROW(session.TakeSnapshot({{"name", std::string(81, 'x')}}), RequestError);
    session.DeleteSnapshot({{"index", 0}});
    EXPECT_EQ(session.State()["snapshots"], json::array());
}

std::vector<unsigned char> PngBytes(const std::string& png, int& channels) {
    OIIO::Filesystem::IOMemReader memory(const_cast<char*>(png.data()), png.size());
    auto input = OIIO::ImageInput::open("view.png", nullptr, &memory);
    if (!input) return {};
    channels = input->spec().nchannels;
    std::vector<unsigned char> pixels(input->spec().image_pixels() * channels);
    if (!input->read_image(0, 0, 0, channels, OIIO::TypeDesc::UINT8, pixels.data())) return {};
    return pixels;
}

// The result laid over a background image of the plate's folder is the
// browser's over of its straight colour, to 8-bit rounding; names that are
// not the folder's images are refused, paths most of all.
TEST_F(Workspace, ResultIsLaidOverABackgroundOfThePlatesFolder) {
    OIIO::ImageBuf background(OIIO::ImageSpec(40, 30, 3, OIIO::TypeDesc::UINT8));
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 40; ++x) {
            const float rgb[3] = {x / 39.0f, y / 29.0f, 0.3f};
            background.setpixel(x, y, rgb);
        }
    }
    ASSERT_TRUE(background.write((dir / "back.png").string()));
    std::ofstream(dir / "notes.txt") << "not an image";
    TuneSession session(options);
    session.Pick({{"frame", 0}, {"x", 2}, {"y", 2}});
    session.ApplyValues(Set("OffAlpha", 0.3));  // the screen partly kept
    Backgrounds backgrounds(plate, "");
    EXPECT_EQ(backgrounds.List()["files"], json::array({"back.png", "plate.png"}));

    const std::string result = session.ViewPng(0, View::Result, false);
    int channels = 0;
    const std::vector<unsigned char> straight = PngBytes(result, channels);
    ASSERT_EQ(channels, 4);
    const std::vector<unsigned char> laid = PngBytes(backgrounds.Over(result, "back.png"), channels);
    ASSERT_EQ(channels, 3);
    std::vector<unsigned char> back(40 * 30 * 3);
    ASSERT_TRUE(background.get_pixels(background.roi(), OIIO::TypeDesc::UINT8, back.data()));
    int partly = 0;
    for (std::size_t pixel = 0; pixel < 40 * 30; ++pixel) {
        const double alpha = straight[pixel * 4 + 3] / 255.0;
        partly += alpha > 0.0 && alpha < 1.0 ? 1 : 0;
        for (int c = 0; c < 3; ++c) {
            const double expected = straight[pixel * 4 + c] * alpha + back[pixel * 3 + c] * (1.0 - alpha);
            EXPECT_NEAR(laid[pixel * 3 + c], expected, 0.51) << "pixel " << pixel << " channel " << c;
        }
    }
    EXPECT_GT(partly, 0);  // the over was checked where both sides count
    for (const char* name : {"notes.txt", "../back.png", "/etc/passwd", "missing.png"}) {
        try {
            backgrounds.Over(result, name);
            ADD_FAILURE() << name << " was laid";
        } catch (const RequestError& e) {
            EXPECT_EQ(e.Status(), 404) << name;
        }
    }
}

// A --background that cannot be read stops veskar tune at once, naming the
// option and the file, before any page is served.
TEST_F(Workspace, UnreadableBackgroundIsNamedAtTheStart) {
    std::ofstream(dir / "broken.png") << "not a picture";
    for (const std::string name : {"missing.png", "broken.png"}) {
        const veskar_test::Outcome run =
            veskar_test::RunVeskar({"tune", plate, "--background", (dir / name).string()}, dir);
        EXPECT_EQ(run.exitCode, 1) << name;
        EXPECT_NE(run.err.find("--background " + (dir / name).string() + ": cannot read"), std::string::npos)
            << run.err;
    }
}

int StatusOf(const std::string& answer) {
    return answer.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(answer.c_str() + 9) : -1;
}

// The workspace's requests are under the server's guard: without the token
// nothing is undone, kept, listed or laid.
TEST_F(Workspace, ServerRefusesWorkspaceRequestsWithoutTheToken) {
    TuneSession session(options);
    TuneServer server(session, "127.0.0.1");
    server.AssumePort(8123);
    session.ApplyValues(Set("FadeRed", 0.5));
    const auto request = [&](const std::string& method, const std::string& target, const std::string& token) {
        std::string bytes = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:8123\r\n";
        if (!token.empty()) bytes += "X-Veskar-Token: " + token + "\r\n";
        if (method == "POST") bytes += "Content-Type: application/json\r\nContent-Length: 2\r\n";
        return StatusOf(server.AnswerBytes(bytes + "Connection: close\r\n\r\n" + (method == "POST" ? "{}" : "")));
    };
    const std::pair<const char*, const char*> targets[] = {
        {"POST", "/api/undo"}, {"POST", "/api/redo"}, {"POST", "/api/snapshot"}, {"POST", "/api/snapshot/restore"},
        {"POST", "/api/snapshot/delete"}, {"GET", "/api/backgrounds"},
        {"GET", "/api/view?view=result&size=proxy&frame=0&over=plate.png"}, {"GET", "/history.js"},
    };
    for (const auto& [method, target] : targets) {
        EXPECT_EQ(request(method, target, ""), 403) << target;
        EXPECT_EQ(request(method, target, std::string(32, '0')), 403) << target;
    }
    EXPECT_EQ(session.State()["history"]["undo"], 1);
    EXPECT_EQ(request("POST", "/api/undo", server.Token()), 200);
    EXPECT_EQ(session.State()["history"]["undo"], 0);
    EXPECT_EQ(request("GET", "/api/view?view=matte&size=proxy&frame=0&over=plate.png", server.Token()), 400);
    EXPECT_EQ(request("GET", "/api/view?view=result&size=proxy&frame=0&over=..%2Fplate.png", server.Token()), 404);
    EXPECT_EQ(request("GET", "/api/view?view=result&size=proxy&frame=0&over=plate.png", server.Token()), 200);
}

}  // namespace
