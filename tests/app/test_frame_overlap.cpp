// Sequences whose frames overlap (each frame written while the next is read
// and keyed) against frames keyed one after the other: the same
// files byte for byte, and errors reported for their own frame with every
// frame before it written whole and none after it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <OpenImageIO/imagebuf.h>

#include "support/run_veskar.h"
#include "support/test_folder.h"

using namespace veskar_test;

namespace fs = std::filesystem;

namespace {

std::string Bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class FrameOverlap : public veskar_test::FolderTest {
protected:
    FrameOverlap() : FolderTest("overlap") {}

    void SetUp() override {
        FolderTest::SetUp();
        // Files of both runs carry the same DateTime.
        ::setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    }
    void TearDown() override {
        ::unsetenv("SOURCE_DATE_EPOCH");
        ::unsetenv("VESKAR_FRAME_OVERLAP");
        FolderTest::TearDown();
    }

    // Runs veskar in `folder`, so that the command line (which the files'
    // history records) is the same whichever folder it runs in.
    Outcome VeskarIn(const fs::path& folder, const std::vector<std::string>& args) {
        const fs::path before = fs::current_path();
        fs::current_path(folder);
        Outcome run = RunVeskar(args, folder);
        fs::current_path(before);
        return run;
    }

    // A frame whose values differ per pixel, channel and frame.
    void WriteFrame(const fs::path& path, int frame, int width, int height, std::vector<std::string> channels) {
        OIIO::ImageSpec spec(width, height, static_cast<int>(channels.size()), OIIO::TypeDesc::HALF);
        spec.channelnames = std::move(channels);
        spec.attribute("compression", "zip");
        OIIO::ImageBuf buf(spec);
        std::vector<float> pixels(static_cast<std::size_t>(width) * height * spec.nchannels);
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            pixels[i] = static_cast<float>((i * 37 + frame * 13) % 251) / 250.0f;
        }
        buf.set_pixels(buf.roi(), OIIO::TypeDesc::FLOAT, pixels.data());
        ASSERT_TRUE(buf.write(path.string())) << buf.geterror();
    }
};

TEST_F(FrameOverlap, OverlappedSequenceWritesTheFilesOfFramesKeyedOneByOne) {
    for (const char* run : {"overlap", "one_by_one"}) {
        fs::create_directories(dir / run);
        for (int frame = 1; frame <= 6; ++frame) {
            const std::string n = std::to_string(frame);
            // Frames of different sizes and channels, so that no frame's
            // buffers fit another's by chance.
            WriteFrame(dir / run / ("plate." + n + ".exr"), frame, 40 + 7 * frame, 30,
                       frame % 2 ? std::vector<std::string>{"R", "G", "B", "A", "Z"}
                                 : std::vector<std::string>{"R", "G", "B"});
            WriteFrame(dir / run / ("key." + n + ".exr"), frame, 20, 15, {"R", "G", "B"});
        }
    }
    const std::vector<std::string> args = {
        "render", "plate.#.exr", "-o", "out.#.exr", "--key-image", "key.#.exr", "--frames", "1-6",
        "--set", "ValueGreen=0.6", "--set", "MaxGreen=0.3", "--set", "keyfall=Cosine",
        "--preview", "preview.png", "--preview-frame", "4", "--save-settings", "used.setting"};
    const Outcome overlapped = VeskarIn(dir / "overlap", args);
    ASSERT_EQ(overlapped.exitCode, 0) << overlapped.err;
    ::setenv("VESKAR_FRAME_OVERLAP", "off", 1);
    const Outcome alone = VeskarIn(dir / "one_by_one", args);
    ASSERT_EQ(alone.exitCode, 0) << alone.err;
    EXPECT_NE(overlapped.err.find("6 frames keyed"), std::string::npos) << overlapped.err;
    for (const std::string name : {"out.1.exr", "out.2.exr", "out.3.exr", "out.4.exr", "out.5.exr", "out.6.exr",
                                   "preview.png", "used.setting"}) {
        const std::string bytes = Bytes(dir / "overlap" / name);
        EXPECT_FALSE(bytes.empty()) << name;
        EXPECT_TRUE(bytes == Bytes(dir / "one_by_one" / name)) << name << " differs";
    }
}

TEST_F(FrameOverlap, DamagedMiddleFrameIsReportedByItsNumberAndEarlierFramesStay) {
    for (int frame = 1; frame <= 5; ++frame) {
        WriteFrame(dir / ("p." + std::to_string(frame) + ".exr"), frame, 64, 48, {"R", "G", "B"});
    }
    // Frame 3 is cut short: it is read while frame 2 is written.
    const std::string whole = Bytes(dir / "p.3.exr");
    std::ofstream(dir / "p.3.exr", std::ios::binary | std::ios::trunc) << whole.substr(0, whole.size() / 2);
    const Outcome run = VeskarIn(dir, {"render", "p.#.exr", "-o", "o.#.exr", "--frames", "1-5"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("frame 3: p.3.exr: cannot read"), std::string::npos) << run.err;
    for (const char* written : {"o.1.exr", "o.2.exr"}) {
        OIIO::ImageBuf frame((dir / written).string());
        EXPECT_TRUE(frame.read()) << written << ": " << frame.geterror();  // whole and valid
    }
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name.rfind("p.", 0) == 0 || name == "o.1.exr" || name == "o.2.exr") << name << " was left";
    }
}

TEST_F(FrameOverlap, FailedWriteOfAMiddleFrameStopsTheFramesAfterIt) {
    for (int frame = 1; frame <= 5; ++frame) {
        WriteFrame(dir / ("p." + std::to_string(frame) + ".exr"), frame, 64, 48, {"R", "G", "B"});
    }
    // Frame 3 is keyed, but its file cannot be written: frame 4 is keyed
    // meanwhile and must not be written after the failure.
    fs::create_directories(dir / "o.3.exr");
    const Outcome run = VeskarIn(dir, {"render", "p.#.exr", "-o", "o.#.exr", "--frames", "1-5"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("frame 3: o.3.exr: cannot write"), std::string::npos) << run.err;
    EXPECT_TRUE(fs::is_regular_file(dir / "o.1.exr"));
    EXPECT_TRUE(fs::is_regular_file(dir / "o.2.exr"));
    EXPECT_FALSE(fs::exists(dir / "o.4.exr"));
    EXPECT_FALSE(fs::exists(dir / "o.5.exr"));
}

}  // namespace
