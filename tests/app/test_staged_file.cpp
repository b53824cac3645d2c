#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <OpenImageIO/imagebufalgo.h>

#include "app/cli_error.h"
#include "app/files/staged_file.h"
#include "support/small_disk.h"
#include "support/test_folder.h"

namespace fs = std::filesystem;
using veskar::CliError;
using veskar::StagedFile;

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const CliError& e) {
        return e.what();
    }
    return "";
}

// The id of a process that has ended (and been waited for).
pid_t GonePid() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

// What a descriptor can give at once (it is non-blocking or at its end).
std::string Drain(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(got));
    return text;
}

class Staged : public veskar_test::FolderTest {
protected:
    Staged() : FolderTest("staged") {}
};

TEST_F(Staged, CommitReplacesTheTargetAndLeavesNothingElse) {
    const fs::path target = dir / "a.txt";
    std::ofstream(target) << "old";
    StagedFile file(target.string(), std::string("new"));
    EXPECT_EQ(ReadAll(target), "old");  // untouched until committed
    file.Commit();
    EXPECT_EQ(ReadAll(target), "new");
    EXPECT_EQ(Names(dir), std::vector<std::string>{"a.txt"});
}

TEST_F(Staged, UncommittedOrFailedLeavesNothing) {
    {
        StagedFile file((dir / "a.txt").string(), std::string("new"));
    }
    EXPECT_TRUE(Names(dir).empty());
    StagedFile file((dir / "b.txt").string());
    const std::string message = MessageOf([&] { file.Fail("the writer gave up"); });
    EXPECT_EQ(message, (dir / "b.txt").string() + ": cannot write: the writer gave up");
    EXPECT_TRUE(Names(dir).empty());
}

TEST_F(Staged, CommitWithoutAWriteIsAnErrorNotAnEmptyFile) {
    StagedFile file((dir / "a.exr").string());
    const std::string message = MessageOf([&] { file.Commit(); });
    EXPECT_NE(message.find("a.exr: cannot write: the file was not written"), std::string::npos) << message;
    EXPECT_TRUE(Names(dir).empty());
}

// Stand-ins for the special files of /dev: each is refused and left as it was.
TEST_F(Staged, SpecialTargetsAreRefusedAndKept) {
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_directories(dir / "folder");
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = (dir / "socket").string();
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::vector<std::pair<std::string, std::string>> cases = {
        {"fifo", "a FIFO"}, {"folder", "a folder"}, {"socket", "a socket"}};
    // A device node like /dev/null (1, 3), where the system lets us make one.
    if (::mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        cases.emplace_back("null", "a character device");
    }
    for (const auto& [name, kind] : cases) {
        const std::string message = MessageOf([&, name = name] { StagedFile((dir / name).string()).Commit(); });
        EXPECT_NE(message.find(name + ": cannot write: " + kind), std::string::npos) << message;
        EXPECT_FALSE(fs::is_regular_file(dir / name)) << name;
    }
    ::close(sock);
    EXPECT_EQ(Names(dir).size(), cases.size());  // no temporaries left
}

// A link is written through: the file it names gets the content and the link
// stays; a link to a special file is refused like the file.
TEST_F(Staged, SymlinksAreWrittenThrough) {
    fs::create_directories(dir / "store");
    std::ofstream(dir / "store" / "real.txt") << "old";
    fs::create_symlink("store/real.txt", dir / "link.txt");
    StagedFile((dir / "link.txt").string(), std::string("new")).Commit();
    EXPECT_TRUE(fs::is_symlink(dir / "link.txt"));
    EXPECT_EQ(ReadAll(dir / "store" / "real.txt"), "new");

    fs::create_symlink(dir / "store" / "fresh.txt", dir / "dangling.txt");
    StagedFile((dir / "dangling.txt").string(), std::string("made")).Commit();
    EXPECT_EQ(ReadAll(dir / "store" / "fresh.txt"), "made");
    EXPECT_TRUE(fs::is_symlink(dir / "dangling.txt"));

    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_symlink("fifo", dir / "to_fifo");
    EXPECT_NE(MessageOf([&] { StagedFile((dir / "to_fifo").string()); }).find("a FIFO"),
              std::string::npos);

    fs::create_symlink("loop_b", dir / "loop_a");
    fs::create_symlink("loop_a", dir / "loop_b");
    EXPECT_NE(MessageOf([&] { StagedFile((dir / "loop_a").string(), std::string("x")); }).find("symbolic links"),
              std::string::npos);
}

TEST_F(Staged, MissingFolderIsNamed) {
    const std::string message = MessageOf([&] { StagedFile((dir / "no" / "a.txt").string(), std::string("x")); });
    EXPECT_NE(message.find("the folder " + (dir / "no").string() + " does not exist"), std::string::npos) << message;
}

// The longest name a folder allows still gets a temporary name that fits.
TEST_F(Staged, LongestTargetNames) {
    for (std::size_t length : {241, 250, 255}) {
        const std::string name = std::string(length - 4, 'n') + ".exr";
        StagedFile((dir / name).string(), std::string("x")).Commit();
        EXPECT_TRUE(fs::is_regular_file(dir / name)) << length;
    }
}

TEST_F(Staged, LeftoversOfAKilledRunAreFoundByTarget) {
    const fs::path target = dir / "frame.0001.exr";
    const std::string gone = std::to_string(GonePid());
    const std::string mine = veskar::TemporaryPrefix(target) + gone + "-1.exr";
    const std::string other = veskar::TemporaryPrefix(dir / "frame.0002.exr") + gone + "-1.exr";
    std::ofstream(dir / mine) << "partial";
    std::ofstream(dir / other) << "partial";
    EXPECT_TRUE(veskar::IsTemporaryName(mine));
    EXPECT_FALSE(veskar::IsTemporaryName("frame.0001.exr"));
    EXPECT_FALSE(veskar::IsTemporaryName(".veskar-tmp-notahash"));
    EXPECT_EQ(veskar::RemoveLeftoverTemporaries(target), 1);
    EXPECT_EQ(Names(dir), std::vector<std::string>{other});
}

// A temporary of a run that is still going (another process, or this one)
// is being written and stays; only those of processes that are gone go.
TEST_F(Staged, LeftoversOfRunsStillGoingAreKept) {
    const fs::path target = dir / "frame.0001.exr";
    const pid_t sleeper = ::fork();
    if (sleeper == 0) {
        ::execlp("sleep", "sleep", "60", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(sleeper, 0);
    const std::string prefix = veskar::TemporaryPrefix(target);
    const std::vector<std::string> kept = {prefix + std::to_string(::getpid()) + "-7.exr",
                                           prefix + std::to_string(sleeper) + "-1.exr", prefix + "x-1.exr"};
    for (const std::string& name : kept) std::ofstream(dir / name) << "being written";
    std::ofstream(dir / (prefix + std::to_string(GonePid()) + "-1.exr")) << "partial";
    const int removed = veskar::RemoveLeftoverTemporaries(target);
    ::kill(sleeper, SIGKILL);
    ::waitpid(sleeper, nullptr, 0);
    EXPECT_EQ(removed, 1);
    std::vector<std::string> expected = kept;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Names(dir), expected);
}

// Text to one of this process's open files is written where the file
// stands, after what was written before: the file is neither replaced nor
// renamed over, and no temporary is made. However it is named.
TEST_F(Staged, TextToAnOpenFileOfOursGoesIntoIt) {
    const fs::path log = dir / "log.txt";
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "before\n", 7), 7);
    struct stat before {};
    ASSERT_EQ(::stat(log.c_str(), &before), 0);
    const std::string number = std::to_string(fd);
    fs::create_symlink("/dev/fd/" + number, dir / "routed.txt");
    {
        StagedFile held("/proc/self/fd/" + number, std::string("one\n"));
        EXPECT_EQ(ReadAll(log), "before\n");  // nothing until committed
        held.Commit();
    }
    StagedFile("/dev/fd/" + number, std::string("two\n")).Commit();
    StagedFile((dir / "routed.txt").string(), std::string("three\n")).Commit();
    { StagedFile("/dev/fd/" + number, std::string("dropped\n")); }  // never committed
    ::close(fd);
    EXPECT_EQ(ReadAll(log), "before\none\ntwo\nthree\n");
    struct stat after {};
    ASSERT_EQ(::stat(log.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(Names(dir), (std::vector<std::string>{"log.txt", "routed.txt"}));
}

// Text to a pipe or a FIFO arrives there; images need whole files, and a
// descriptor open for reading takes nothing.
TEST_F(Staged, TextToPipesAndFifosArrivesThere) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    StagedFile("/dev/fd/" + std::to_string(ends[1]), std::string("piped")).Commit();
    EXPECT_EQ(Drain(ends[0]), "piped");

    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    StagedFile(fifo.string(), std::string("through")).Commit();
    EXPECT_EQ(Drain(reader), "through");
    ::close(reader);
    EXPECT_TRUE(fs::is_fifo(fifo));

    const std::string image = MessageOf([&] { StagedFile("/dev/fd/" + std::to_string(ends[1])); });
    EXPECT_NE(image.find("images are written to files by name"), std::string::npos) << image;
    const std::string reading =
        MessageOf([&] { StagedFile("/dev/fd/" + std::to_string(ends[0]), std::string("x")); });
    EXPECT_NE(reading.find("is open for reading only"), std::string::npos) << reading;
    ::close(ends[0]);
    ::close(ends[1]);
    EXPECT_EQ(Names(dir), std::vector<std::string>{"fifo"});
}

// Also a registered temporary whose writer creates it only once the removal
// has begun (a second signal while another thread opens its output): the
// writer here waits until the first file is gone, then creates its own.
TEST_F(Staged, LiveTemporariesAreRemovedForASignalHandler) {
    StagedFile file((dir / "a.txt").string(), std::string("partial"));
    ASSERT_TRUE(fs::exists(file.TempPath()));
    StagedFile late((dir / "b.txt").string());
    ASSERT_FALSE(fs::exists(late.TempPath()));
    std::thread writer([&] {
        while (fs::exists(file.TempPath())) std::this_thread::yield();
        std::ofstream(late.TempPath()) << "begun";
    });
    veskar::RemoveLiveTemporaries();
    writer.join();
    EXPECT_TRUE(Names(dir).empty());
}

TEST_F(Staged, FullDiskIsAnErrorWithTheSystemsReason) {
    veskar_test::SmallDisk disk(dir / "disk", 64 * 1024);
    if (!disk.Mounted()) GTEST_SKIP() << veskar_test::kNoMountMessage;
    const fs::path target = disk.Path() / "big.txt";
    std::ofstream(target) << "old";
    const std::string message = MessageOf([&] { StagedFile(target.string(), std::string(256 * 1024, 'x')).Commit(); });
    EXPECT_EQ(message, target.string() + ": cannot write: No space left on device");
    EXPECT_EQ(ReadAll(target), "old");
    EXPECT_EQ(Names(disk.Path()), std::vector<std::string>{"big.txt"});
}

}  // namespace

namespace {

// Every image writer on a full disk: an error naming the file, nothing left
// under the target's name or a temporary one, and the process still running
// (the JPEG codec ends the process when told that a write failed).
TEST_F(Staged, FullDiskImagesAreErrorsInEveryFormat) {
    veskar_test::SmallDisk disk(dir / "disk", 64 * 1024);
    if (!disk.Mounted()) GTEST_SKIP() << veskar_test::kNoMountMessage;
    OIIO::ImageBuf noise(OIIO::ImageSpec(512, 512, 3, OIIO::TypeDesc::UINT8));
    OIIO::ImageBufAlgo::noise(noise, "uniform", 0.0f, 1.0f);
    for (const char* ending : {"png", "bmp", "tga", "jpg", "exr", "tif", "ppm", "hdr", "dpx", "sgi"}) {
        const fs::path target = disk.Path() / (std::string("full.") + ending);
        const std::string message =
            MessageOf([&] { StagedFile(target.string(), noise, OIIO::TypeDesc::UINT8).Commit(); });
        EXPECT_EQ(message.rfind(target.string() + ": cannot write: ", 0), 0u) << ending << ": " << message;
        EXPECT_EQ(message.find("Success"), std::string::npos) << message;
        EXPECT_TRUE(Names(disk.Path()).empty()) << ending;
    }
}

// The checked channel writes what the codec wrote, byte for byte.
TEST_F(Staged, ImagesWrittenThroughTheCheckedChannelReadBack) {
    // Values on the 16-bit grid, so that every format holds them exactly.
    OIIO::ImageBuf noise(OIIO::ImageSpec(300, 200, 3, OIIO::TypeDesc::UINT16));
    OIIO::ImageBufAlgo::noise(noise, "uniform", 0.0f, 1.0f);
    for (const char* ending : {"exr", "tif", "png", "sgi"}) {
        const fs::path target = dir / (std::string("a.") + ending);
        StagedFile(target.string(), noise, OIIO::TypeDesc::UINT16).Commit();
        OIIO::ImageBuf back(target.string());
        ASSERT_TRUE(back.read()) << ending << ": " << back.geterror();
        // EXR holds 16-bit integers as half: 11 significant bits.
        const float tolerance = std::string(ending) == "exr" ? 1.0f / 2048.0f : 0.0f;
        const auto cmp = OIIO::ImageBufAlgo::compare(noise, back, tolerance, tolerance);
        EXPECT_EQ(cmp.nfail, 0u) << ending;
    }
}

}  // namespace
