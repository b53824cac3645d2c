// Movies keyed as sequences of frames and written as movies, through veskar,
// against the same frames exported as image files by the ffmpeg command; and
// damaged or hostile movies refused naming the file and the frame. Clips are
// made by the ffmpeg command; without it every test is skipped.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>

#include "support/file_pixels.h"
#include "support/run_veskar.h"
#include "support/test_folder.h"

using namespace veskar_test;

namespace fs = std::filesystem;

namespace {

// The key colour of every run here: testsrc's green bar keys out, its other
// bars and the moving counter stay, with soft edges between.
const std::vector<std::string> kKey = {"--key-color", "0,0.75,0"};

bool HaveFfmpeg() {
    static const bool have = std::system("ffmpeg -version >/dev/null 2>&1") == 0;
    return have;
}

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// The largest difference between two files' pixels; infinity when their
// sizes or channels differ.
float MaxDifference(const FilePixels& a, const FilePixels& b) {
    if (a.width != b.width || a.height != b.height || a.channels != b.channels || a.values.empty()) {
        return INFINITY;
    }
    float most = 0.0f;
    for (std::size_t i = 0; i < a.values.size(); ++i) most = std::max(most, std::fabs(a.values[i] - b.values[i]));
    return most;
}

float MeanDifference(const FilePixels& a, const FilePixels& b) {
    double sum = 0.0;
    for (std::size_t i = 0; i < a.values.size() && a.values.size() == b.values.size(); ++i) {
        sum += std::fabs(a.values[i] - b.values[i]);
    }
    return static_cast<float>(sum / std::max<std::size_t>(1, a.values.size()));
}

class MovieFiles : public FolderTest {
protected:
    MovieFiles() : FolderTest("movie") {}

    void SetUp() override {
        FolderTest::SetUp();
        if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: movies are not tried";
    }

    std::string Path(const std::string& name) const { return (dir / name).string(); }

    // Runs the ffmpeg command with `args`; the test fails when it does.
    void Ffmpeg(const std::string& args) {
        const std::string command = "ffmpeg -nostdin -loglevel error -y " + args + " >/dev/null 2>" +
                                    ShellQuote(Path("ffmpeg.txt"));
        ASSERT_EQ(std::system(command.c_str()), 0) << command << "\n" << ReadText(Path("ffmpeg.txt"));
    }

    // `frames` frames of ffmpeg's test pattern (colour bars, a gradient and a
    // frame counter that moves), 64 x 48 at 10 fps, encoded with `codec`.
    std::string Clip(const std::string& name, int frames, const std::string& codec, const std::string& filter = "") {
        Ffmpeg("-f lavfi -i testsrc=size=64x48:rate=10 -frames:v " + std::to_string(frames) +
               (filter.empty() ? "" : " -vf " + ShellQuote(filter)) + " " + codec + " " + ShellQuote(Path(name)));
        return Path(name);
    }

    // The frames of `movie` as 16-bit PNG files name.0001.png ..., converted
    // to RGB with the same filter veskar uses.
    std::string ExportFrames(const std::string& movie, const std::string& name, const std::string& pixels,
                             const std::string& decoder = "") {
        Ffmpeg(decoder + " -i " + ShellQuote(movie) + " -sws_flags bicubic+full_chroma_int+full_chroma_inp+accurate_rnd+bitexact -pix_fmt " +
               pixels + " -start_number 1 " + ShellQuote(Path(name + ".%04d.png")));
        return Path(name + ".####.png");
    }

    Outcome Veskar(const std::vector<std::string>& args) { return RunVeskar(args, dir); }

    std::size_t FilesIn() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
    }
};

std::string Frame(const std::string& pattern, int frame) {
    char number[16];
    std::snprintf(number, sizeof number, "%04d", frame);
    return pattern.substr(0, pattern.find("####")) + number + pattern.substr(pattern.find("####") + 4);
}

}  // namespace

// ---------------------------------------------------------------------------
// Movies in: frames numbered from 1, in the order they are shown.

TEST_F(MovieFiles, H264FramesComeInOrderAsTheirExportedFramesKey) {
    const std::string clip = Clip("clip.mp4", 8, "-c:v libx264 -pix_fmt yuv420p -bf 2");
    const Outcome run = Veskar(With({"render", clip, "-o", Path("keyed.####.exr")}, kKey));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("clip.mp4: 8 frames of 64 x 48 at 10 fps, h264 yuv420p"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(Path("keyed.0000.exr")));
    EXPECT_FALSE(fs::exists(Path("keyed.0009.exr")));
    const std::string exported = ExportFrames(clip, "png", "rgb48be");
    ASSERT_EQ(Veskar(With({"render", exported, "--frames", "1-8", "-o", Path("png.####.exr")}, kKey)).exitCode, 0);
    for (int frame = 1; frame <= 8; ++frame) {
        const FilePixels keyed = ReadPixels(Frame(Path("keyed.####.exr"), frame));
        // The same conversion (swscale, the same flags) gives the same bits
        // with this FFmpeg; the bound allows for two half-float steps at 1
        // should the command route its frames otherwise. A frame out of
        // order differs by far more, since the counter and the pattern move.
        EXPECT_LT(MaxDifference(keyed, ReadPixels(Frame(Path("png.####.exr"), frame))), 0.002f) << frame;
        for (int other = 1; other <= 8; ++other) {
            if (other == frame) continue;
            EXPECT_LT(MeanDifference(keyed, ReadPixels(Frame(Path("png.####.exr"), frame))),
                      MeanDifference(keyed, ReadPixels(Frame(Path("png.####.exr"), other))))
                << frame << " looks like " << other;
        }
    }
    // A range, and frames going back, give the frames of the whole run.
    ASSERT_EQ(Veskar(With({"render", clip, "--frames", "6-7,2", "-o", Path("part.####.exr")}, kKey)).exitCode, 0);
    for (int frame : {2, 6, 7}) {
        EXPECT_EQ(MaxDifference(ReadPixels(Frame(Path("part.####.exr"), frame)),
                                ReadPixels(Frame(Path("keyed.####.exr"), frame))),
                  0.0f)
            << frame;
    }
    EXPECT_FALSE(fs::exists(Path("part.0001.exr")));
}

TEST_F(MovieFiles, FramesDecodedAheadAreTheFramesDecodedWhenAsked) {
    // Frames out of order too: the frame decoded ahead is not the one asked.
    const std::string clip = Clip("clip.mp4", 6, "-c:v libx264 -pix_fmt yuv420p");
    const std::vector<std::string> args = With({"render", clip, "--frames", "2-4,1,6"}, kKey);
    ASSERT_EQ(Veskar(With(args, {"-o", Path("ahead.####.exr")})).exitCode, 0);
    ::setenv("VESKAR_FRAME_OVERLAP", "off", 1);
    const Outcome asked = Veskar(With(args, {"-o", Path("asked.####.exr")}));
    ::unsetenv("VESKAR_FRAME_OVERLAP");
    ASSERT_EQ(asked.exitCode, 0) << asked.err;
    for (int frame : {1, 2, 3, 4, 6}) {
        EXPECT_EQ(MaxDifference(ReadPixels(Frame(Path("ahead.####.exr"), frame)),
                                ReadPixels(Frame(Path("asked.####.exr"), frame))),
                  0.0f)
            << frame;
    }
    EXPECT_GT(MeanDifference(ReadPixels(Frame(Path("ahead.####.exr"), 1)), ReadPixels(Frame(Path("ahead.####.exr"), 2))),
              0.0f);
}

TEST_F(MovieFiles, LosslessSixteenBitFramesKeyBitForBitAsSixteenBitPngs) {
    // FFV1 stores 16-bit RGB exactly: the movie's frames are the PNGs' frames.
    const std::string clip = Clip("clip.mkv", 6, "-c:v ffv1 -pix_fmt gbrp16le", "format=rgb48le,lutrgb=r='val*3'");
    const std::string exported = ExportFrames(clip, "png", "rgb48be");
    ASSERT_EQ(Veskar(With({"render", clip, "-o", Path("movie.####.exr"), "--type", "float"}, kKey)).exitCode, 0);
    ASSERT_EQ(Veskar(With({"render", exported, "--frames", "1-6", "-o", Path("png.####.exr"), "--type", "float"}, kKey))
                  .exitCode,
              0);
    for (int frame = 1; frame <= 6; ++frame) {
        EXPECT_EQ(MaxDifference(ReadPixels(Frame(Path("movie.####.exr"), frame)),
                                ReadPixels(Frame(Path("png.####.exr"), frame))),
                  0.0f)
            << frame;
    }
}

TEST_F(MovieFiles, ProResMatteIsReadWithTheColour) {
    // A matte rising from left to right, in 12-bit ProRes 4444.
    const std::string clip = Clip("clip.mov", 5, "-c:v prores_ks -profile:v 4444 -pix_fmt yuva444p10le",
                                  "format=yuva444p,geq=lum='lum(X,Y)':cb='cb(X,Y)':cr='cr(X,Y)':a='4*X'");
    const Outcome run = Veskar(With({"render", clip, "-o", Path("movie.####.exr")}, kKey));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("with alpha"), std::string::npos) << run.err;
    const std::string exported = ExportFrames(clip, "png", "rgba64be");
    ASSERT_EQ(Veskar(With({"render", exported, "--frames", "1-5", "-o", Path("png.####.exr")}, kKey)).exitCode, 0);
    for (int frame = 1; frame <= 5; ++frame) {
        const FilePixels movie = ReadPixels(Frame(Path("movie.####.exr"), frame));
        EXPECT_LT(MaxDifference(movie, ReadPixels(Frame(Path("png.####.exr"), frame))), 0.002f) << frame;
        // The clip's matte is 0 in the left column: no colour is left there.
        for (int c = 0; c < 3; ++c) EXPECT_EQ(movie.At(0, 10, c), 0.0f) << frame;
    }
}

// ---------------------------------------------------------------------------
// What a movie cannot be keyed as, and damaged or hostile movies.

TEST_F(MovieFiles, FramesAndOutputsAMovieCannotGiveAreRefused) {
    const std::string clip = Clip("clip.mkv", 5, "-c:v ffv1");
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--frames", "0-2", "-o", Path("k.####.exr")}, "--frames 0-2: " + clip + " has frames 1-5 (numbered from 1), not frame 0"},
        {{"--frames", "4-9", "-o", Path("k.####.exr")}, "--frames 4-9: " + clip + " has frames 1-5 (numbered from 1)"},
        {{"-o", Path("k.exr")}, clip + " is a movie of 5 frames, and every frame would write this one file"},
        {{"--frames", "2-3", "-o", Path("k.exr")}, clip + " is a movie of 2 frames"},
        {{"--layer", "beauty", "-o", Path("k.####.exr")}, "--layer beauty: " + clip + " is a movie, whose frames have no layers"},
    };
    for (const auto& bad : cases) {
        const Outcome run = Veskar(With({"render", clip}, bad.args));
        EXPECT_EQ(run.exitCode, 2) << bad.message << "\n" << run.err;
        EXPECT_NE(run.err.find(bad.message), std::string::npos) << run.err;
    }
    EXPECT_EQ(FilesIn(), 2u);  // the clip and ffmpeg's empty log
    // One frame of a movie may go to one file.
    const Outcome run = Veskar({"render", clip, "--frames", "3", "-o", Path("three.exr")});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(fs::exists(Path("three.exr")));
}

TEST_F(MovieFiles, VariableFrameRatesAndEditListsAreRefused) {
    // Frames 4 and 5 come late: held frames, as a phone records in low light.
    const std::string clip =
        Clip("vfr.mkv", 6, "-fps_mode passthrough -c:v ffv1", "setpts='if(lt(N,3),N,N*2)/10/TB'");
    const Outcome run = Veskar({"render", clip, "-o", Path("k.####.exr")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find(clip + ": frame 4 is shown at 0.5000 s, not at 0.3000 s as at a constant"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("variable frame rate"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(Path("k.0001.exr")));
    // Cut between key frames without encoding again: the file's edit list
    // hides the frames before the cut, which are decoded all the same.
    const std::string whole = Clip("whole.mp4", 20, "-c:v libx264 -g 10 -pix_fmt yuv420p");
    Ffmpeg("-ss 0.35 -i " + ShellQuote(whole) + " -c copy " + ShellQuote(Path("cut.mp4")));
    const Outcome cut = Veskar({"render", Path("cut.mp4"), "-o", Path("k.####.exr")});
    EXPECT_EQ(cut.exitCode, 1);
    EXPECT_NE(cut.err.find(Path("cut.mp4") + ": an edit list cuts the movie between key frames"), std::string::npos)
        << cut.err;
    EXPECT_FALSE(fs::exists(Path("k.0001.exr")));
}

TEST_F(MovieFiles, DamagedMoviesAreRefusedNamingTheFileAndFrame) {
    const std::string whole = Clip("whole.mov", 8, "-c:v prores_ks -movflags +faststart");
    const std::string bytes = ReadText(whole);
    // Cut in the middle of the frames: the index says eight frames.
    std::ofstream(Path("cut.mov"), std::ios::binary) << bytes.substr(0, bytes.size() * 2 / 3);
    // The index alone.
    std::ofstream(Path("empty.mov"), std::ios::binary) << bytes.substr(0, bytes.find("mdat") + 4);
    std::ofstream(Path("garbage.mp4"), std::ios::binary) << std::string("\0\0\0\x18" "ftypisom", 12) << std::string(400, '\x7f');
    Clip("none.mkv", 0, "-c:v ffv1");
    const struct {
        std::string file;
        std::string message;
    } cases[] = {
        {"cut.mov", "cut.mov: frame"},
        {"empty.mov", "empty.mov: "},
        {"garbage.mp4", "garbage.mp4: cannot read: "},
        {"none.mkv", "none.mkv: cannot read: "},
    };
    for (const auto& bad : cases) {
        const Outcome run = Veskar({"render", Path(bad.file), "-o", Path("k.####.exr")});
        EXPECT_EQ(run.exitCode, 1) << bad.file << "\n" << run.err;
        EXPECT_NE(run.err.find(bad.message), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(Path("k.0001.exr"))) << bad.file;
    }
}

TEST_F(MovieFiles, FramesTooLargeForMemoryAreRefusedBeforeDecoding) {
    // ProRes keeps the frame size in the file's sample description and in
    // the header of every frame: both say 16000 x 16000 here, 18 GiB of
    // frames in flight.
    const std::string clip = Clip("clip.mov", 2, "-c:v prores_ks -profile:v 2 -pix_fmt yuv422p10le");
    std::string bytes = ReadText(clip);
    const std::string size("\x3e\x80\x3e\x80", 4);
    int patched = 0;
    // The sample description's width and height stand 28 bytes after its
    // 'apcn'; a frame's 12 bytes after its 'icpf'.
    for (const auto& [name, offset] : {std::pair<std::string, std::size_t>{"apcn", 28}, {"icpf", 12}}) {
        for (std::size_t at = bytes.find(name); at != std::string::npos; at = bytes.find(name, at + 1)) {
            if (at + offset + 4 <= bytes.size() && bytes.compare(at + offset, 4, std::string("\0\x40\0\x30", 4)) == 0) {
                bytes.replace(at + offset, 4, size);
                ++patched;
            }
        }
    }
    ASSERT_EQ(patched, 3);
    std::ofstream(Path("huge.mov"), std::ios::binary) << bytes;
    const Outcome run = Veskar({"render", Path("huge.mov"), "-o", Path("k.####.exr"), "--max-memory", "1G"});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find("huge.mov: cannot read: frames of 16000 x 16000 pixels need"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(Path("k.0001.exr")));
    // A budget the clip's own frames do not fit in.
    const Outcome small = Veskar({"render", clip, "-o", Path("k.####.exr"), "--max-memory", "64K"});
    EXPECT_EQ(small.exitCode, 1) << small.err;
    EXPECT_NE(small.err.find(clip + ": cannot read: frames of 64 x 48 pixels need"), std::string::npos) << small.err;
}

TEST_F(MovieFiles, AMovieOfAThousandStreamsKeysItsFirstVideoStreamInBoundedMemory) {
    // Audio first, then the clip, then 997 streams of another picture: FFmpeg
    // would open an H.264 decoder (a megabyte or more) for every one.
    const std::string clip = Clip("clip.mkv", 3, "-c:v libx264 -pix_fmt yuv420p");
    Ffmpeg("-f lavfi -i testsrc2=size=64x48:rate=10 -frames:v 3 -c:v libx264 " + ShellQuote(Path("other.mkv")));
    Ffmpeg("-f lavfi -i sine=r=8000 -t 0.3 -c:a pcm_s16le " + ShellQuote(Path("tone.mkv")));
    std::string maps = "-map 2:a -map 0:v";
    for (int i = 0; i < 997; ++i) maps += " -map 1:v";
    Ffmpeg("-i " + ShellQuote(clip) + " -i " + ShellQuote(Path("other.mkv")) + " -i " + ShellQuote(Path("tone.mkv")) +
           " " + maps + " -c copy " + ShellQuote(Path("many.mkv")));
    Running many(With({"render", Path("many.mkv"), "-o", Path("many.####.png")}, kKey), dir,
                 {"prlimit", "--data=402653184", "--"});
    const Outcome run = many.Wait(std::chrono::seconds(120));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_EQ(Veskar(With({"render", clip, "-o", Path("one.####.png")}, kKey)).exitCode, 0);
    for (int frame = 1; frame <= 3; ++frame) {
        EXPECT_EQ(MaxDifference(ReadPixels(Frame(Path("many.####.png"), frame)),
                                ReadPixels(Frame(Path("one.####.png"), frame))),
                  0.0f)
            << "frame " << frame;
    }
    EXPECT_FALSE(fs::exists(Frame(Path("many.####.png"), 4)));
}

TEST_F(MovieFiles, AnEmptyFileWithAMovieNameIsRefusedNamingIt) {
    std::ofstream(Path("empty.mov"), std::ios::binary).flush();
    const Outcome run = Veskar({"render", Path("empty.mov"), "-o", Path("k.exr")});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find("empty.mov: cannot read"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(Path("k.exr")));
}

// ---------------------------------------------------------------------------
// Movies out: every frame of the run in one movie, written whole or not at all.

namespace {

class MovieOutputs : public MovieFiles {
protected:
    // What ffprobe says of the video stream of `movie` (or of `streams`):
    // "key=value" lines.
    std::string Probe(const std::string& movie, const std::string& entries, const std::string& streams = "v:0") {
        const std::string command = "ffprobe -v error -select_streams " + streams + " -show_entries " + entries +
                                    " -of default=nw=1 " + ShellQuote(movie) + " >" + ShellQuote(Path("probe.txt"));
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return ReadText(Path("probe.txt"));
    }

    // A clip with a matte rising from left to right, keyed.
    std::string MatteClip() {
        return Clip("clip.mov", 5, "-c:v prores_ks -profile:v 4444 -pix_fmt yuva444p10le -timecode 01:00:00:00",
                    "format=yuva444p,geq=lum='lum(X,Y)':cb='cb(X,Y)':cr='cr(X,Y)':a='4*X+8'");
    }

    bool NoTemporaries() const {
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.path().filename().string().rfind(".veskar-tmp", 0) == 0) return false;
        }
        return true;
    }
};

// The largest difference in channel `channel` of two files.
float MaxChannelDifference(const FilePixels& a, const FilePixels& b, int channel) {
    if (a.width != b.width || a.height != b.height || a.channels <= channel || b.channels <= channel) return INFINITY;
    float most = 0.0f;
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x) most = std::max(most, std::fabs(a.At(x, y, channel) - b.At(x, y, channel)));
    }
    return most;
}

}  // namespace

TEST_F(MovieOutputs, LosslessMovieHoldsTheFramesOfThePngSequenceBitForBit) {
    const std::string clip = MatteClip();
    ASSERT_EQ(Veskar(With({"render", clip, "-o", Path("ref.####.png")}, kKey)).exitCode, 0);
    const Outcome run = Veskar(With({"render", clip, "-o", Path("keyed.mkv")}, kKey));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(Probe(Path("keyed.mkv"), "stream=codec_name,pix_fmt").find("codec_name=ffv1\npix_fmt=gbrap16le"),
              std::string::npos);
    const std::string decoded = ExportFrames(Path("keyed.mkv"), "back", "rgba64be");
    EXPECT_FALSE(fs::exists(Frame(decoded, 6)));
    for (int frame = 1; frame <= 5; ++frame) {
        EXPECT_EQ(MaxDifference(ReadPixels(Frame(decoded, frame)), ReadPixels(Frame(Path("ref.####.png"), frame))), 0.0f)
            << frame;
    }
    EXPECT_TRUE(NoTemporaries());
}

TEST_F(MovieOutputs, ProResAndVp9KeepTheMatteRateAndTimecode) {
    const std::string clip = MatteClip();
    ASSERT_EQ(Veskar(With({"render", clip, "-o", Path("ref.####.png")}, kKey)).exitCode, 0);
    ASSERT_EQ(Veskar(With({"render", clip, "-o", Path("keyed.mov"), "--frames", "3-5"}, kKey)).exitCode, 0);
    const std::string prores = Probe(Path("keyed.mov"), "stream=codec_name,profile,pix_fmt,r_frame_rate,nb_frames");
    EXPECT_NE(prores.find("codec_name=prores\nprofile=4444"), std::string::npos) << prores;
    EXPECT_NE(prores.find("pix_fmt=yuva444p"), std::string::npos) << prores;
    EXPECT_NE(prores.find("r_frame_rate=10/1"), std::string::npos) << prores;
    EXPECT_NE(prores.find("nb_frames=3"), std::string::npos) << prores;
    // The first frame written is the clip's third: two frames on (at 10
    // fps FFmpeg writes the frame with one digit).
    const std::string timecode = Probe(Path("keyed.mov"), "stream_tags=timecode");
    EXPECT_NE(timecode.find("timecode=01:00:00:2\n"), std::string::npos) << timecode;
    const std::string back = ExportFrames(Path("keyed.mov"), "prores", "rgba64be");
    for (int frame = 3; frame <= 5; ++frame) {
        // ProRes codes the matte losslessly at its depth (12 bits here is
        // more than 10, which bounds the error), the colour with small losses.
        const FilePixels decoded = ReadPixels(Frame(back, frame - 2));
        const FilePixels reference = ReadPixels(Frame(Path("ref.####.png"), frame));
        EXPECT_LT(MaxChannelDifference(decoded, reference, 3), 1.0f / 1023) << frame;
        EXPECT_LT(MeanDifference(decoded, reference), 0.01f) << frame;
    }

    ASSERT_EQ(Veskar(With({"render", clip, "-o", Path("keyed.webm"), "--quality", "90"}, kKey)).exitCode, 0);
    EXPECT_NE(Probe(Path("keyed.webm"), "stream_tags=alpha_mode").find("alpha_mode=1"), std::string::npos);
    const std::string vp9 = ExportFrames(Path("keyed.webm"), "vp9", "rgba64be", "-c:v libvpx-vp9");
    for (int frame = 1; frame <= 5; ++frame) {
        const FilePixels decoded = ReadPixels(Frame(vp9, frame));
        const FilePixels reference = ReadPixels(Frame(Path("ref.####.png"), frame));
        // VP9's matte is lossy 8-bit 4:2:0: close, not equal; a lost matte
        // would be 1 where the clip's is near 0.
        EXPECT_LT(MaxChannelDifference(decoded, reference, 3), 0.1f) << frame;
    }
}

TEST_F(MovieOutputs, ASequenceBecomesAMovieAtTheRateAsked) {
    for (int frame = 1; frame <= 4; ++frame) {
        Ffmpeg("-f lavfi -i color=c=0x20c040:size=32x24 -frames:v 1 " + ShellQuote(Frame(Path("plate.####.png"), frame)));
    }
    const Outcome run = Veskar(
        With({"render", Path("plate.####.png"), "--frames", "1-4", "-o", Path("keyed.mkv"), "--frame-rate", "25"}, kKey));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string probe = Probe(Path("keyed.mkv"), "stream=width,height,r_frame_rate");
    EXPECT_NE(probe.find("width=32\nheight=24\nr_frame_rate=25/1"), std::string::npos) << probe;
    // PNG values are sRGB-encoded, and the movie says so.
    const std::string colour = Probe(Path("keyed.mkv"), "stream=color_transfer,color_primaries");
    EXPECT_NE(colour.find("color_transfer=iec61966-2-1\ncolor_primaries=bt709"), std::string::npos) << colour;
    const std::string back = ExportFrames(Path("keyed.mkv"), "back", "rgba64be");
    EXPECT_TRUE(fs::exists(Frame(back, 4)));
    EXPECT_FALSE(fs::exists(Frame(back, 5)));
}

TEST_F(MovieOutputs, WhatAMovieCannotHoldIsRefusedAndFailedRunsLeaveNothing) {
    const std::string clip = Clip("clip.mkv", 4, "-c:v ffv1");
    const struct {
        std::vector<std::string> args;
        int exitCode;
        std::string message;
    } cases[] = {
        {{"-o", Path("keyed.mp4")}, 1, "keyed.mp4: H.264 cannot hold the matte (alpha): write .mov (ProRes 4444)"},
        {{"-o", Path("keyed.mkv"), "--quality", "50"}, 2, "--quality 50: ffv1 is lossless"},
        {{"-o", Path("keyed.mov"), "--quality", "best"}, 2, "--quality best: expected a whole number from 0"},
        {{"-o", Path("keyed.mov"), "--codec", "nothing"}, 2, "--codec nothing: nothing is not a video encoder"},
        {{"-o", Path("keyed.webm"), "--codec", "ffv1"}, 2, "--codec ffv1: a webm movie"},
        {{"-o", Path("keyed.mov"), "--frame-rate", "fast"}, 2, "--frame-rate fast: expected frames per second"},
        {{"-o", Path("keyed.mov"), "--type", "half"}, 2, "--type: " + Path("keyed.mov") + " is a movie"},
        {{"-o", Path("keyed.mov"), "--skip-existing"}, 2, "--skip-existing: -o " + Path("keyed.mov") + " is a movie"},
        {{"-o", Path("k.####.exr"), "--codec", "prores"}, 2, "--codec, --quality and --frame-rate are for a movie"},
    };
    for (const auto& bad : cases) {
        const Outcome run = Veskar(With({"render", clip}, bad.args));
        EXPECT_EQ(run.exitCode, bad.exitCode) << bad.message << "\n" << run.err;
        EXPECT_NE(run.err.find(bad.message), std::string::npos) << run.err;
    }
    EXPECT_EQ(FilesIn(), 2u);  // the clip and ffmpeg's log
    const Outcome dropped = Veskar({"render", clip, "-o", Path("keyed.mp4"), "--drop-alpha"});
    ASSERT_EQ(dropped.exitCode, 0) << dropped.err;
    EXPECT_NE(Probe(Path("keyed.mp4"), "stream=codec_name,pix_fmt").find("codec_name=h264\npix_fmt=yuv420p"),
              std::string::npos);

    // A frame that fails half way: the movie is not left behind, whole or cut.
    for (int frame : {1, 2, 4}) {
        Ffmpeg("-f lavfi -i color=c=0x20c040:size=32x24 -frames:v 1 " + ShellQuote(Frame(Path("plate.####.png"), frame)));
    }
    const Outcome failed = Veskar({"render", Path("plate.####.png"), "--frames", "1-4", "-o", Path("failed.mov")});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_NE(failed.err.find("frame 3: " + Path("plate.0003.png") + ": cannot read"), std::string::npos) << failed.err;
    EXPECT_FALSE(fs::exists(Path("failed.mov")));
    EXPECT_TRUE(NoTemporaries());
}

// ---------------------------------------------------------------------------
// veskar check on movies.

TEST_F(MovieOutputs, CheckDecodesEveryFrameAndComparesWithTheRun) {
    const std::string clip = MatteClip();
    ASSERT_EQ(Veskar(With({"render", clip, "-o", Path("keyed.mov")}, kKey)).exitCode, 0);
    Outcome run = Veskar({"check", Path("keyed.mov"), "--like", clip});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_NE(run.out.find("keyed.mov: 5 frames of 64 x 48 at 10 fps, prores"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(": 5 good, 0 bad"), std::string::npos) << run.out;
    run = Veskar({"check", Path("keyed.mov"), "--frames", "1-6"});
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_NE(run.out.find("keyed.mov: holds 5 frames, expected 6 (--frames 1-6)"), std::string::npos) << run.out;
    ASSERT_EQ(Veskar({"render", clip, "-o", Path("plain.mp4"), "--drop-alpha"}).exitCode, 0);
    run = Veskar({"check", Path("plain.mp4"), "--like", clip});
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_NE(run.out.find("plain.mp4: no matte (alpha), expected one"), std::string::npos) << run.out;
    EXPECT_EQ(Veskar({"check", Path("plain.mp4"), "--like", clip, "--drop-alpha"}).exitCode, 0);
}

TEST_F(MovieFiles, AFrameThatDoesNotDecodeIsNamedByRenderAndCheck) {
    // FFV1 checks each slice: bytes damaged in the fifth frame's data.
    const std::string clip = Clip("clip.mkv", 8, "-c:v ffv1 -level 3 -slicecrc 1");
    std::string bytes = ReadText(clip);
    for (std::size_t i = bytes.size() * 55 / 100; i < bytes.size() * 55 / 100 + 200; ++i) bytes[i] ^= 0x5a;
    std::ofstream(Path("damaged.mkv"), std::ios::binary) << bytes;
    const Outcome check = Veskar({"check", Path("damaged.mkv")});
    EXPECT_EQ(check.exitCode, 1);
    EXPECT_NE(check.out.find("frame 5: " + Path("damaged.mkv") + ": cannot decode"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find(": 4 good, 4 bad"), std::string::npos) << check.out;
    const Outcome render = Veskar({"render", Path("damaged.mkv"), "-o", Path("keyed.mov")});
    EXPECT_EQ(render.exitCode, 1);
    EXPECT_NE(render.err.find("frame 5: " + Path("damaged.mkv") + ": cannot decode"), std::string::npos) << render.err;
    EXPECT_FALSE(fs::exists(Path("keyed.mov")));
}

TEST_F(MovieOutputs, AudioOfAWholeMovieIsCopiedBitForBit) {
    Ffmpeg("-f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=frequency=440:sample_rate=48000 -frames:v 10 "
           "-t 1 -c:v prores_ks -c:a pcm_s24le " + ShellQuote(Path("clip.mov")));
    const Outcome run = Veskar(With({"render", Path("clip.mov"), "-o", Path("keyed.mov")}, kKey));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // The audio packets' bytes, hashed.
    const auto audio = [&](const std::string& movie) {
        Ffmpeg("-i " + ShellQuote(movie) + " -map 0:a -c copy -f md5 " + ShellQuote(Path("md5.txt")));
        return ReadText(Path("md5.txt"));
    };
    const std::string original = audio(Path("clip.mov"));
    EXPECT_EQ(audio(Path("keyed.mov")), original);
    EXPECT_NE(original.find("MD5="), std::string::npos);
    // Part of the movie keyed: its audio would not fit the frames.
    const Outcome part = Veskar(With({"render", Path("clip.mov"), "--frames", "3-6", "-o", Path("part.mov")}, kKey));
    ASSERT_EQ(part.exitCode, 0) << part.err;
    EXPECT_NE(part.err.find("part.mov: audio stream 1 (pcm_s24le) of " + Path("clip.mov") +
                            " is not copied: the run keys part of the movie"),
              std::string::npos)
        << part.err;
    EXPECT_EQ(Probe(Path("part.mov"), "stream=codec_type", "a").find("codec_type"), std::string::npos);
    EXPECT_NE(Probe(Path("keyed.mov"), "stream=codec_type", "a").find("codec_type=audio"), std::string::npos);
}

TEST_F(MovieOutputs, AStoppedRunLeavesNoMovie) {
    const std::string clip = Clip("clip.mkv", 150, "-c:v ffv1", "scale=640:360");
    Running running(With({"render", clip, "-o", Path("keyed.mov")}, kKey), dir);
    ASSERT_TRUE(running.Started());
    // Stopped once the movie is being written: its temporary file is there.
    for (int wait = 0; wait < 3000 && NoTemporaries(); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    running.Signal(SIGINT);
    const Outcome run = running.Wait(std::chrono::seconds(60));
    EXPECT_EQ(run.exitCode, 130) << run.err;
    EXPECT_FALSE(fs::exists(Path("keyed.mov")));
    EXPECT_TRUE(NoTemporaries());
}

TEST_F(MovieOutputs, AColourMatrixWithoutANameIsTakenAsUnspecified) {
    // The Matroska header's matrix coefficients (element 55B1) say 40, which
    // names no matrix: the frames are read as an unspecified matrix is, and
    // the keyed movie declares the matrix it was written with.
    const std::string clip =
        Clip("clip.mkv", 3, "-c:v ffv1 -colorspace bt709 -color_primaries bt709 -color_trc bt709");
    std::string bytes = ReadText(clip);
    const std::size_t at = bytes.find(std::string("\x55\xb1\x81\x01", 4));
    ASSERT_NE(at, std::string::npos);
    bytes[at + 3] = '\x28';
    std::ofstream(Path("matrix40.mkv"), std::ios::binary) << bytes;
    const Outcome run = Veskar(With({"render", Path("matrix40.mkv"), "-o", Path("keyed.webm")}, kKey));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("(unspecified (BT.709 from 720 lines, else BT.601) matrix"), std::string::npos) << run.err;
    EXPECT_EQ(Probe(Path("keyed.webm"), "stream=color_space"), "color_space=smpte170m\n");
}

TEST_F(MovieOutputs, TheInputMoviesColourDescriptionIsKept) {
    const std::string clip = Clip("clip.mp4", 3,
                                  "-c:v libx264 -pix_fmt yuv420p -colorspace bt709 -color_trc bt709 "
                                  "-color_primaries bt709 -color_range tv");
    const Outcome run = Veskar(With({"render", clip, "-o", Path("keyed.webm")}, kKey));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("(bt709 matrix, limited range; transfer bt709, primaries bt709)"), std::string::npos)
        << run.err;
    const std::string colour = Probe(Path("keyed.webm"), "stream=color_range,color_space,color_transfer,color_primaries");
    EXPECT_NE(colour.find("color_range=tv\ncolor_space=bt709\ncolor_transfer=bt709\ncolor_primaries=bt709"),
              std::string::npos)
        << colour;
}
