// The command line under hostile or careless use: full disks, header bombs,
// special files, signals, damaged inputs, paths that overlap, exit codes,
// huge frame ranges, broken plug-ins and the longest names.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "support/run_veskar.h"
#include "support/small_disk.h"
#include "support/test_folder.h"

namespace fs = std::filesystem;
using veskar_test::Outcome;

namespace {

class Hardening : public veskar_test::FolderTest {
protected:
    Hardening() : FolderTest("hard") {}

    Outcome Veskar(const std::vector<std::string>& args, const std::vector<std::string>& prefix = {}) {
        return veskar_test::Running(args, dir, prefix).Wait();
    }

    // A green plate with a red square, `size` pixels wide, in `format`.
    std::string Plate(const std::string& name, int size = 64, OIIO::TypeDesc format = OIIO::TypeDesc::HALF,
                      int channels = 3, float grain = 0.02f) {
        OIIO::ImageBuf buf(OIIO::ImageSpec(size, size, channels, format));
        const float green[4] = {0.1f, 0.8f, 0.15f, 1.0f};
        const float red[4] = {0.9f, 0.1f, 0.1f, 1.0f};
        OIIO::ImageBufAlgo::fill(buf, green);
        OIIO::ImageBufAlgo::fill(buf, red, OIIO::ROI(size / 4, size / 2, size / 4, size / 2, 0, 1, 0, channels));
        OIIO::ImageBufAlgo::noise(buf, "uniform", -grain, grain);  // not too compressible
        const std::string path = (dir / name).string();
        EXPECT_TRUE(buf.write(path)) << buf.geterror();
        return path;
    }

    // Names in `folder` that are temporary files of veskar.
    static std::vector<std::string> Temporaries(const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(".veskar-tmp-", 0) == 0) names.push_back(name);
        }
        return names;
    }
};

bool Has(const std::string& text, const std::string& fragment) { return text.find(fragment) != std::string::npos; }

// 1. A full disk fails the run, names the file and the reason, and leaves no
// output and no temporary file, in every output format and for the preview.
TEST_F(Hardening, FullDiskFailsAndLeavesNothing) {
    veskar_test::SmallDisk disk(dir / "disk", 128 * 1024);
    if (!disk.Mounted()) GTEST_SKIP() << veskar_test::kNoMountMessage;
    // Grain that no codec squeezes into the small disk.
    const std::string plate = Plate("plate.exr", 512, OIIO::TypeDesc::HALF, 3, 0.4f);
    for (const std::string ending : {"png", "bmp", "tga", "jpg", "exr"}) {
        const std::string out = (disk.Path() / ("keyed." + ending)).string();
        // 8 bits where the format has them; a format without alpha may lose the matte.
        const Outcome run = Veskar({"render", plate, "-o", out, "--type", ending == "exr" ? "half" : "uint8",
                                    "--drop-alpha"});
        EXPECT_EQ(run.exitCode, 1) << ending << ": " << run.err;
        EXPECT_TRUE(Has(run.err, out + ": cannot write: No space left on device")) << run.err;
        EXPECT_TRUE(fs::is_empty(disk.Path())) << ending;
    }
    const std::string preview = (disk.Path() / "preview.png").string();
    const Outcome run = Veskar({"render", plate, "-o", (dir / "keyed.exr").string(), "--preview", preview});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_TRUE(Has(run.err, preview + ": cannot write: No space left on device")) << run.err;
    EXPECT_TRUE(fs::is_empty(disk.Path()));
}

// 2. A header that declares far more pixels than the file holds is refused
// before anything is allocated, within the memory limit of the process.
TEST_F(Hardening, HeaderBombEndsInAClearErrorAtOnce) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer reserves more address space than the limit allows";
#endif
    std::ofstream(dir / "bomb.ppm", std::ios::binary) << "P6\n30000 30000\n255\n\x01\x02";
    std::ofstream(dir / "bomb.pgm", std::ios::binary) << "P5\n30000 30000\n255\n\x01\x02";
    for (const char* name : {"bomb.ppm", "bomb.pgm"}) {
        const Outcome run = Veskar({"render", (dir / name).string(), "-o", (dir / "out.exr").string()},
                                   {"prlimit", "--as=4294967296"});
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_TRUE(Has(run.err, std::string(name) + ": cannot read: the file declares 30000 x 30000 pixels"))
            << run.err;
        EXPECT_TRUE(Has(run.err, "more than the memory budget")) << run.err;
        EXPECT_LT(run.seconds, 10.0);  // no pixel is touched: start-up time only
    }
    // An OpenEXR attribute that declares gigabytes in a small file: the codec
    // would set them aside before finding the file ends.
    {
        OIIO::ImageBuf small(OIIO::ImageSpec(8, 8, 3, OIIO::TypeDesc::HALF));
        small.specmod().attribute("Software", "a test");
        ASSERT_TRUE(small.write((dir / "attribute.exr").string())) << small.geterror();
        std::string bytes = veskar_test::ReadText(dir / "attribute.exr");
        const std::string software("Software\0string\0", 16);
        const std::size_t at = bytes.find(software);
        ASSERT_NE(at, std::string::npos);
        bytes.replace(at + software.size(), 4, std::string("\x00\x00\xff\x7f", 4));
        std::ofstream(dir / "attribute.exr", std::ios::binary) << bytes;
        const Outcome run = Veskar({"render", (dir / "attribute.exr").string(), "-o", (dir / "out.exr").string()},
                                   {"prlimit", "--as=1073741824"});
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_TRUE(Has(run.err, "attribute.exr: cannot read: the OpenEXR header is damaged: attribute Software "
                                 "declares 2147418112 bytes"))
            << run.err;
    }
    // veskar check finds such frames bad without allocating for them: one
    // that declares more lines than it holds, one whose lines alone are more
    // than the budget.
    std::ofstream(dir / "b.0001.ppm", std::ios::binary) << "P6\n30000 30000\n255\n\x01\x02";
    std::ofstream(dir / "b.0002.ppm", std::ios::binary) << "P6\n1000000000 2\n255\n\x01\x02";
    const Outcome check = Veskar({"check", (dir / "b.####.ppm").string(), "--frames", "1-2"},
                                 {"prlimit", "--as=4294967296"});
    EXPECT_EQ(check.exitCode, 1) << check.err;
    EXPECT_TRUE(Has(check.out, "frame 1: ")) << check.out << check.err;
    EXPECT_TRUE(Has(check.out, "frame 2: " + (dir / "b.0002.ppm").string() +
                                   ": declares 1000000000 x 2 pixels of 3 channels"))
        << check.out << check.err;
    EXPECT_TRUE(Has(check.out, "redo --frames 1-2")) << check.out;
    EXPECT_LT(check.seconds, 10.0);

    // --max-memory moves the limit either way.
    const std::string plate = Plate("plate.exr", 64);
    const Outcome small = Veskar({"render", plate, "-o", (dir / "a.exr").string(), "--max-memory", "64K"});
    EXPECT_EQ(small.exitCode, 1);
    EXPECT_TRUE(Has(small.err, "more than the memory budget of 64.0 KiB")) << small.err;
    EXPECT_EQ(Veskar({"render", plate, "-o", (dir / "a.exr").string(), "--max-memory", "1G"}).exitCode, 0);
    EXPECT_EQ(Veskar({"render", plate, "-o", (dir / "a.exr").string(), "--max-memory", "lots"}).exitCode, 2);
}

// 3. Outputs replace only regular files; stand-ins for the special files of
// /dev are refused and stay as they are. A link is written through.
TEST_F(Hardening, SpecialFilesAreNeverReplaced) {
    const std::string plate = Plate("plate.exr");
    ASSERT_EQ(::mkfifo((dir / "fifo.exr").c_str(), 0600), 0);
    fs::create_directories(dir / "folder.png");
    std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-o", (dir / "fifo.exr").string()}, "fifo.exr"},
        {{"-o", (dir / "out.exr").string(), "--preview", (dir / "folder.png").string()}, "folder.png"},
    };
    // A device node as /dev/null is (1, 3), where the system lets us make one.
    const bool device = ::mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    if (device) cases.push_back({{"-o", (dir / "out.exr").string(), "--save-settings", (dir / "null").string()}, "null"});
    for (const auto& [extra, name] : cases) {
        std::vector<std::string> args = {"render", plate};
        args.insert(args.end(), extra.begin(), extra.end());
        const Outcome run = Veskar(args);
        EXPECT_EQ(run.exitCode, 1) << name << ": " << run.err;
        EXPECT_TRUE(Has(run.err, name + ": cannot write: ")) << run.err;
        EXPECT_TRUE(Has(run.err, "outputs replace only regular files")) << run.err;
        EXPECT_FALSE(fs::is_regular_file(dir / name)) << name;
    }
    if (device) {
        struct stat info {};
        ASSERT_EQ(::stat((dir / "null").c_str(), &info), 0);
        EXPECT_TRUE(S_ISCHR(info.st_mode));
    }
    EXPECT_TRUE(Temporaries(dir).empty());

    fs::create_directories(dir / "store");
    fs::create_symlink("store/real.exr", dir / "link.exr");
    const Outcome run = Veskar({"render", plate, "-o", (dir / "link.exr").string()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(fs::is_symlink(dir / "link.exr"));
    EXPECT_TRUE(fs::is_regular_file(dir / "store" / "real.exr"));
}

// 4. A signal stops the run between frames (SIGHUP too, as when the terminal
// of the run closes): what is being written is removed,
// what was finished is named, and the exit status tells which signal.
TEST_F(Hardening, SignalsStopCleanlyAndSayWhatWasFinished) {
    // Small frames: each is keyed and written well within the second a run
    // has to reach its next safe point, even on a busy machine.
    const std::string plate = Plate("plate.exr", 256, OIIO::TypeDesc::FLOAT, 4);
    fs::create_directories(dir / "in");
    fs::create_directories(dir / "out");
    for (int frame = 1; frame <= 200; ++frame) {
        char name[32];
        std::snprintf(name, sizeof name, "p.%04d.exr", frame);
        fs::create_symlink(plate, dir / "in" / name);
    }
    for (const auto& [signal, status, name] : {std::tuple{SIGINT, 130, "SIGINT"}, std::tuple{SIGTERM, 143, "SIGTERM"},
                                               std::tuple{SIGHUP, 129, "SIGHUP"}}) {
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
        veskar_test::Running running({"render", (dir / "in" / "p.####.exr").string(), "-o",
                                      (dir / "out" / "k.####.exr").string(), "--frames", "1-200"},
                                     dir);
        ASSERT_TRUE(running.Started());
        // Signal while frame 2 or later is being keyed or written.
        for (int wait = 0; wait < 3000 && !fs::exists(dir / "out" / "k.0001.exr"); ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        running.Signal(signal);
        const Outcome run = running.Wait();
        EXPECT_EQ(run.exitCode, status) << run.err;
        EXPECT_TRUE(Has(run.err, std::string("interrupted by ") + name + ": ")) << run.err;
        EXPECT_TRUE(Has(run.err, " of 200 frames written (1")) << run.err;
        EXPECT_FALSE(Has(run.err, "no safe point")) << run.err;  // the watchdog stays quiet
        EXPECT_TRUE(Temporaries(dir / "out").empty());
        // Every frame left is whole.
        int written = 0;
        for (const auto& entry : fs::directory_iterator(dir / "out")) {
            OIIO::ImageBuf back(entry.path().string());
            EXPECT_TRUE(back.read()) << entry.path() << ": " << back.geterror();
            ++written;
        }
        EXPECT_GE(written, 1);
        EXPECT_LT(written, 200);
    }

    // A second signal ends the run at once, also without leftovers.
    fs::remove_all(dir / "out");
    fs::create_directories(dir / "out");
    veskar_test::Running running({"render", (dir / "in" / "p.####.exr").string(), "-o",
                                  (dir / "out" / "k.####.exr").string(), "--frames", "1-200"},
                                 dir);
    for (int wait = 0; wait < 3000 && !fs::exists(dir / "out" / "k.0001.exr"); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    running.Signal(SIGTERM);
    running.Signal(SIGTERM);
    const Outcome run = running.Wait();
    EXPECT_EQ(run.exitCode, 143) << run.err;
    EXPECT_TRUE(Temporaries(dir / "out").empty());
}

// The first signal ends a run that is waiting and reaches no safe point:
// reading a FIFO that nobody writes stops at once; writing settings to one
// that nobody reads is ended by the watchdog. Exit codes are asserted, not
// times: the generous deadline only keeps a run that ignores the signal
// from hanging the test.
TEST_F(Hardening, FirstSignalEndsARunWaitingOnAFifo) {
    const std::string plate = Plate("plate.exr");
    const fs::path fifo = dir / "fifo.setting";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // The run has its handlers once it holds the FIFO open.
    auto holds = [&](const veskar_test::Running& running) {
        const fs::path fds = "/proc/" + std::to_string(running.Pid()) + "/fd";
        for (int wait = 0; wait < 1000; ++wait) {
            std::error_code ec;
            for (const auto& entry : fs::directory_iterator(fds, ec)) {
                if (fs::read_symlink(entry.path(), ec) == fifo) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    };
    {
        veskar_test::Running running({"render", plate, "-o", (dir / "a.exr").string(), "--settings", fifo.string()},
                                     dir);
        EXPECT_TRUE(holds(running));
        running.Signal(SIGTERM);
        const Outcome run = running.Wait(std::chrono::seconds(10));
        EXPECT_EQ(run.exitCode, 143) << run.err;
        EXPECT_TRUE(Has(run.err, "interrupted by SIGTERM while reading the settings file")) << run.err;
        EXPECT_FALSE(fs::exists(dir / "a.exr"));
    }
    // The frame is written, then the settings wait for a reader of the FIFO.
    veskar_test::Running running({"render", plate, "-o", (dir / "b.exr").string(), "--save-settings",
                                  fifo.string()},
                                 dir);
    for (int wait = 0; wait < 3000 && !fs::exists(dir / "b.exr"); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    running.Signal(SIGINT);
    const Outcome run = running.Wait(std::chrono::seconds(10));
    EXPECT_EQ(run.exitCode, 130) << run.err;
    EXPECT_TRUE(Has(run.err, "no safe point was reached within a second")) << run.err;
    EXPECT_TRUE(Temporaries(dir).empty());
    EXPECT_TRUE(fs::is_fifo(fifo));
}

// What a killed run left behind is recognised and removed when the run is
// resumed with --skip-existing.
TEST_F(Hardening, SkipExistingRemovesLeftoversOfAKilledRun) {
    const std::string plate = Plate("p.0001.exr");
    fs::copy_file(plate, dir / "p.0002.exr");
    fs::copy_file(plate, dir / "k.0001.exr");
    // Leftovers as a killed run leaves them, for a finished and an unfinished frame.
    Outcome first = Veskar({"render", plate, "-o", (dir / "probe.exr").string()});
    ASSERT_EQ(first.exitCode, 0);
    std::ofstream(dir / ".veskar-tmp-0000000000000000-1-1.exr") << "not ours";
    const Outcome run = Veskar({"render", (dir / "p.####.exr").string(), "-o", (dir / "k.####.exr").string(),
                                "--frames", "1-2", "--skip-existing"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(fs::exists(dir / "k.0002.exr"));
    // Only the leftovers of this run's outputs are removed.
    EXPECT_EQ(Temporaries(dir), std::vector<std::string>{".veskar-tmp-0000000000000000-1-1.exr"});
}

// 5. A truncated JPEG is an error, unless the user asks for leniency.
TEST_F(Hardening, TruncatedJpegIsAnError) {
    const std::string whole = Plate("whole.jpg", 128, OIIO::TypeDesc::UINT8);
    const std::string bytes = veskar_test::ReadText(whole);
    int failed = 0;
    for (int cut = 2; cut <= 8; ++cut) {
        std::ofstream(dir / "cut.jpg", std::ios::binary) << bytes.substr(0, bytes.size() * cut / 10);
        const Outcome run = Veskar({"render", (dir / "cut.jpg").string(), "-o", (dir / "out.exr").string()});
        EXPECT_EQ(run.exitCode, 1) << cut << ": " << run.err;
        EXPECT_TRUE(Has(run.err, "cut.jpg: cannot read: ")) << run.err;
        failed += run.exitCode == 1 ? 1 : 0;
        EXPECT_FALSE(fs::exists(dir / "out.exr"));
    }
    EXPECT_EQ(failed, 7);
    const Outcome lenient =
        Veskar({"render", (dir / "cut.jpg").string(), "-o", (dir / "out.exr").string(), "--lenient"});
    EXPECT_EQ(lenient.exitCode, 0) << lenient.err;
    EXPECT_TRUE(Has(lenient.err, "warning: ")) << lenient.err;
    EXPECT_EQ(Veskar({"render", whole, "-o", (dir / "whole.exr").string()}).exitCode, 0);
}

// 6. Every output of a run is checked against every input and every other
// output before anything is written.
TEST_F(Hardening, OutputsNeverOverwriteInputsOfTheRun) {
    const std::string plate = Plate("plate.exr");
    const std::string settings = (dir / "look.setting").string();
    ASSERT_EQ(Veskar({"render", plate, "-o", (dir / "a.exr").string(), "--save-settings", settings}).exitCode, 0);
    fs::create_directories(dir / "in");
    for (int frame = 1; frame <= 12; ++frame) fs::copy_file(plate, dir / "in" / ("p." + std::to_string(frame) + ".exr"));
    fs::create_symlink(dir / "in" / "p.7.exr", dir / "linked.3.exr");
    struct Case {
        std::vector<std::string> args;
        std::string fragment;
    };
    const std::string out = (dir / "out.exr").string();
    const std::vector<Case> cases = {
        {{"render", plate, "-o", out, "--settings", settings, "--save-settings", settings},
         "the settings file would overwrite the --settings file"},
        {{"render", plate, "-o", out, "--settings", settings, "--preview", settings},
         "the preview would overwrite the --settings file"},
        {{"render", plate, "-o", out, "--save-settings", (dir / "s.png").string(), "--preview", (dir / "s.png").string()},
         "the preview would overwrite the settings file"},
        // Frame 1's output is frame 11's input.
        {{"render", (dir / "in" / "p.%d.exr").string(), "-o", (dir / "in" / "p.1%d.exr").string(), "--frames", "1-12"},
         "the output of frame 1 would overwrite the input of frame 11"},
        // Through a link: frame 3's output is frame 7's input.
        {{"render", (dir / "in" / "p.%d.exr").string(), "-o", (dir / "linked.%d.exr").string(), "--frames", "1-12"},
         "the output of frame 3 would overwrite the input of frame 7"},
    };
    for (const Case& c : cases) {
        const Outcome run = Veskar(c.args);
        EXPECT_EQ(run.exitCode, 1) << c.fragment << ": " << run.err;
        EXPECT_TRUE(Has(run.err, c.fragment)) << run.err;
    }
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(dir / "in" / "p.13.exr"));
    EXPECT_FALSE(fs::exists(dir / "s.png"));
}

// 7. Exit codes: 0 success, 1 a run that failed, 2 a usage error; warnings for
// values set outside their range.
TEST_F(Hardening, ExitCodesAndWarnings) {
    const std::string plate = Plate("plate.exr");
    const std::string out = (dir / "out.exr").string();
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string fragment;
    };
    const std::vector<Case> cases = {
        {{"render", plate, "-o", out}, 0, ""},
        {{"render", (dir / "missing.exr").string(), "-o", out}, 1, "cannot read"},
        {{"render", plate, "-o", out, "--no-such-option"}, 2, "no-such-option"},
        {{"render", plate, "-o", out, "--set", "NoSuchControl=1"}, 2, "unknown control"},
        {{"render", plate, "-o", out, "--set", "keyfall=Cosin"}, 2, "not an entry"},
        {{"render", plate, "-o", out, "--tool", "Veskar2"}, 2, "--tool Veskar2: picks a tool of a settings file"},
        {{"render", plate, "-o", out, "--frames", "1-2"}, 2, "no frame number pattern"},
        {{"render", plate, "-o", out, "--set", "GammaAlpha=nan"}, 0, "warning: --set GammaAlpha=nan: NaN"},
        {{"render", plate, "-o", out, "--set", "GammaAlpha=40"}, 0, "warning: --set GammaAlpha=40: above the control's range"},
        {{"render", plate, "-o", out, "--set", "keyfall=9"}, 0, "warning: --set keyfall=9: not an entry's position"},
    };
    for (const Case& c : cases) {
        const Outcome run = Veskar(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.fragment << ": " << run.err;
        EXPECT_TRUE(Has(run.err, c.fragment)) << run.err;
    }
    const Outcome quiet = Veskar({"render", plate, "-o", out, "--set", "GammaAlpha=2"});
    EXPECT_FALSE(Has(quiet.err, "warning: --set")) << quiet.err;
    veskar_test::Running help({"--help"}, dir);
    EXPECT_EQ(help.Wait().exitCode, 0);
}

// 8. A million-frame range is planned, paths checked included, in about the
// time a two-frame one is: the run fails at frame 2, which is missing.
TEST_F(Hardening, MillionFrameRangeIsPlannedAtOnce) {
    Plate("p.0001.exr");
    const std::string input = (dir / "p.####.exr").string();
    const std::string output = (dir / "k.####.exr").string();
    const Outcome few = Veskar({"render", input, "-o", output, "--frames", "1-2"});
    const Outcome many = Veskar({"render", input, "-o", output, "--frames", "1-1000000"});
    for (const Outcome& run : {few, many}) {
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(Has(run.err, "frame 2: ")) << run.err;
    }
    // A path check per frame costs about a microsecond; it once took 60 s.
    EXPECT_LT(many.seconds - few.seconds, 5.0) << few.seconds << " s vs " << many.seconds << " s";
}

// 9. A plug-in file that cannot be loaded, however it is cut, is skipped with
// a warning naming it, and the others still load.
TEST_F(Hardening, TruncatedPluginIsSkipped) {
    const fs::path plugins = dir / "plugins";
    fs::create_directories(plugins);
    const fs::path keyer = fs::path(VESKAR_TEST_PLUGIN_DIR) / "Veskar.so";
    fs::copy_file(keyer, plugins / "Veskar.so");
    const std::string bytes = veskar_test::ReadText(keyer);
    ASSERT_GT(bytes.size(), 10000u);
    for (std::size_t cut : {std::size_t{0}, std::size_t{40}, bytes.size() / 10, bytes.size() / 2, bytes.size() - 100}) {
        std::ofstream(plugins / "Broken.so", std::ios::binary) << bytes.substr(0, cut);
        const Outcome run = Veskar({"--plugins", plugins.string(), "tools"});
        EXPECT_EQ(run.exitCode, 0) << cut << ": " << run.err;
        EXPECT_TRUE(Has(run.err, "warning: " + (plugins / "Broken.so").string() + ": cannot load plug-in: "))
            << run.err;
        EXPECT_TRUE(Has(run.err, "(skipped)")) << run.err;
    }
}

// What the fuzzers found, as files: each ends in a clear error. A seed's
// first byte picks the file's ending for the image fuzzer; the rest is the
// file.
TEST_F(Hardening, FuzzFindingsEndInClearErrors) {
    struct Finding {
        const char* seed;
        const char* ending;
        const char* fragment;
    };
    for (const Finding& finding : {Finding{"seed_exr_attribute_size", ".exr", "the OpenEXR header is damaged"},
                                   Finding{"seed_dpx_empty", ".dpx", "the image is empty (1048681 x 0 pixels)"},
                                   Finding{"seed_dpx_user_size", ".dpx", "the DPX header is damaged: user data size 4294967040"},
                                   Finding{"seed_sgi_rle_runs", ".sgi", "the SGI header is damaged: run-length line 1 holds more"}}) {
        const std::string bytes =
            veskar_test::ReadText(fs::path(VESKAR_TEST_SOURCE_DIR) / ".." / "fuzz" / "corpus" / "image" / finding.seed);
        ASSERT_GT(bytes.size(), 1u) << finding.seed;
        const fs::path file = dir / (std::string("finding") + finding.ending);
        std::ofstream(file, std::ios::binary) << bytes.substr(1);
        const Outcome run = Veskar({"render", file.string(), "-o", (dir / "out.exr").string()});
        EXPECT_EQ(run.exitCode, 1) << finding.seed << ": " << run.err;
        EXPECT_TRUE(Has(run.err, file.string() + ": cannot read: " + finding.fragment)) << run.err;
    }
}

// Numbers into a header, in either byte order.
void Put(std::string& bytes, std::size_t at, std::uint64_t value, int size, bool bigEndian) {
    for (int i = 0; i < size; ++i) {
        const int shift = 8 * (bigEndian ? size - 1 - i : i);
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> shift) & 0xFF);
    }
}

// A run-length SGI file of one channel, 4 x 2 pixels: each line a literal
// packet of four values and an end mark.
std::string RunLengthSgi() {
    std::string bytes(512 + 16 + 12, '\0');
    Put(bytes, 0, 474, 2, true);
    bytes[2] = 1;  // run-length
    bytes[3] = 1;  // one byte per channel
    Put(bytes, 4, 2, 2, true);
    Put(bytes, 6, 4, 2, true);
    Put(bytes, 8, 2, 2, true);
    Put(bytes, 10, 1, 2, true);
    for (int line = 0; line < 2; ++line) {
        const std::size_t start = 528 + 6 * static_cast<std::size_t>(line);
        Put(bytes, 512 + 4 * static_cast<std::size_t>(line), start, 4, true);
        Put(bytes, 520 + 4 * static_cast<std::size_t>(line), 6, 4, true);
        bytes.replace(start, 6, std::string("\x84\x10\x40\x80\xf0\x00", 6));
    }
    return bytes;
}

// 10. DPX and SGI headers that declare what their file cannot hold, or what
// their codec cannot read without running past its buffers, are refused
// before the codec reads them, with the field and its value, within a
// memory limit, by render and check alike.
TEST_F(Hardening, HostileDpxAndSgiHeadersEndInClearErrors) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer reserves more address space than the limit allows";
#endif
    struct Case {
        std::string name;
        std::string bytes;
        std::string fragment;
    };
    std::vector<Case> cases;
    for (const bool big : {false, true}) {
        OIIO::ImageSpec spec(32, 16, 3, OIIO::TypeDesc::UINT8);
        spec.attribute("oiio:Endian", big ? "big" : "little");
        OIIO::ImageBuf buf(spec);
        const float grey[3] = {0.5f, 0.25f, 0.75f};
        OIIO::ImageBufAlgo::fill(buf, grey);
        const fs::path path = dir / (big ? "big.dpx" : "little.dpx");
        ASSERT_TRUE(buf.write(path.string())) << buf.geterror();
        const std::string dpx = veskar_test::ReadText(path);
        ASSERT_EQ(dpx.substr(0, 4), big ? "SDPX" : "XPDS");
        const std::string order = big ? "big" : "little";
        std::string bytes = dpx;
        Put(bytes, 32, 0xFFFFFF00u, 4, big);
        cases.push_back({order + "-user.dpx", bytes, "the DPX header is damaged: user data size 4294967040, more than"});
        bytes = dpx;
        Put(bytes, 780 + 28, 0x7FFFFFFFu, 4, big);
        cases.push_back({order + "-offset.dpx", bytes, "image element 1: offset to data 2147483647, past the end"});
        bytes = dpx;
        Put(bytes, 772, 60000, 4, big);
        cases.push_back({order + "-width.dpx", bytes, "image element 1: 60000 x 16 pixels of 3 components at 8 bits"});
        bytes = dpx;
        Put(bytes, 770, 200, 2, big);
        cases.push_back({order + "-elements.dpx", bytes, "number of image elements 200, expected 1 to 8"});
        bytes = dpx;
        bytes[780 + 23] = 7;
        cases.push_back({order + "-bits.dpx", bytes, "image element 1: bit depth 7, expected"});
    }
    const std::string sgi = RunLengthSgi();
    std::string bytes = sgi;
    bytes[3] = 3;
    cases.push_back({"bpc.sgi", bytes, "the SGI header is damaged: bytes per channel 3, expected 1 or 2"});
    bytes = sgi;
    Put(bytes, 8, 65535, 2, true);
    Put(bytes, 10, 65535, 2, true);
    cases.push_back({"tables.sgi", bytes, "run-length tables of ysize 65535 x zsize 65535 entries, more than"});
    bytes = sgi;
    Put(bytes, 520, 0xFFFFFFF0u, 4, true);
    cases.push_back({"length.sgi", bytes, "run-length line 0 declares 4294967280 bytes at offset 528, outside"});
    bytes = sgi;
    bytes[528] = '\xff';  // 127 literal values in a line of 4
    cases.push_back({"overrun.sgi", bytes, "run-length line 0 holds a run past the end of its bytes"});
    bytes = sgi;
    bytes.replace(534, 6, std::string("\x7f\x10\x7f\x10\x00\x00", 6));  // runs of 127 in a line of 4
    cases.push_back({"runs.sgi", bytes, "run-length line 1 holds more values than the width of 4"});

    std::ofstream(dir / "good.sgi", std::ios::binary) << sgi;
    EXPECT_EQ(Veskar({"render", (dir / "good.sgi").string(), "-o", (dir / "out.exr").string()}).exitCode, 0);
    for (const Case& c : cases) {
        const fs::path file = dir / c.name;
        std::ofstream(file, std::ios::binary) << c.bytes;
        const Outcome render = Veskar({"render", file.string(), "-o", (dir / "out.exr").string()},
                                      {"prlimit", "--as=2147483648"});
        EXPECT_EQ(render.exitCode, 1) << c.name << ": " << render.err;
        EXPECT_TRUE(Has(render.err, file.string() + ": cannot read: ")) << render.err;
        EXPECT_TRUE(Has(render.err, c.fragment)) << render.err;
        const Outcome check = Veskar({"check", file.string()}, {"prlimit", "--as=2147483648"});
        EXPECT_EQ(check.exitCode, 1) << c.name << ": " << check.err;
        EXPECT_TRUE(Has(check.out, c.fragment)) << check.out;
    }
}

// 11. The command line's messages: values out of range as typed, long user
// text shortened, a loop of links named, and no threading library's own
// warning.
TEST_F(Hardening, MessagesEchoWhatWasTypedBriefly) {
    const std::string plate = Plate("plate.exr");
    const std::string out = (dir / "out.exr").string();
    const Outcome frame = Veskar({"render", plate, "-o", out, "--preview", (dir / "p.png").string(),
                                  "--preview-frame", "-1"});
    EXPECT_EQ(frame.exitCode, 2);
    EXPECT_TRUE(Has(frame.err, "--preview-frame: -1 is out of range")) << frame.err;
    EXPECT_LT(frame.err.size(), 200u) << frame.err;

    const std::string id(100000, 'k');
    const Outcome set = Veskar({"render", plate, "-o", out, "--set", id + "=1"});
    EXPECT_EQ(set.exitCode, 2);
    EXPECT_TRUE(Has(set.err, "--set kkkk")) << set.err.substr(0, 300);
    EXPECT_TRUE(Has(set.err, "... (100002 characters)")) << set.err.substr(0, 300);
    EXPECT_LT(set.err.size(), 400u);

    fs::create_symlink("b.exr", dir / "a.exr");
    fs::create_symlink("a.exr", dir / "b.exr");
    const Outcome loop = Veskar({"render", (dir / "a.exr").string(), "-o", out});
    EXPECT_EQ(loop.exitCode, 1);
    EXPECT_TRUE(Has(loop.err, "a.exr: cannot read: a loop of symbolic links")) << loop.err;

    // More workers than cores is what was asked for; past the most, a usage error.
    const Outcome many = Veskar({"render", plate, "-o", out, "--threads", "64"});
    EXPECT_EQ(many.exitCode, 0) << many.err;
    EXPECT_FALSE(Has(many.err, "TBB")) << many.err;
    const Outcome huge = Veskar({"render", plate, "-o", out, "--threads", "99999999999"});
    EXPECT_EQ(huge.exitCode, 2);
    EXPECT_TRUE(Has(huge.err, "--threads: 99999999999 is out of range: expected 0 (one per core) to 256")) << huge.err;
}

// 12. The longest names a folder allows are valid outputs.
TEST_F(Hardening, LongOutputNames) {
    const std::string plate = Plate("plate.exr");
    const std::string name = std::string(246, 'k') + ".exr";  // 250 characters
    const Outcome run = Veskar({"render", plate, "-o", (dir / name).string(), "--save-settings",
                                (dir / (std::string(247, 's') + ".setting")).string()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(fs::is_regular_file(dir / name));
}

}  // namespace
