// Staged outputs: where a target resolves to (a file, a link, a stream), the
// checked channel an image writer's bytes go through, and the temporary file
// written, committed by rename or removed. The temporary names and their
// registry are in temporaries.cpp.

#include "app/files/staged_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <vector>

#include <OpenImageIO/filesystem.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

#include "app/cli_error.h"

namespace veskar {
namespace {

namespace fs = std::filesystem;

const char* KindOf(fs::file_type type) {
    switch (type) {
        case fs::file_type::directory: return "a folder";
        case fs::file_type::fifo: return "a FIFO";
        case fs::file_type::character: return "a character device";
        case fs::file_type::block: return "a block device";
        case fs::file_type::socket: return "a socket";
        default: return "not a regular file";
    }
}

// The descriptor `path` names when it is one of this process's open files
// (`/dev/fd/N`, `/proc/self/fd/N`, `/proc/PID/fd/N`, or a thread's view of
// them), else -1. The folder is compared as the system resolves it, so that
// every spelling of it meets.
int OwnDescriptor(const fs::path& path) {
    std::error_code ec;
    const fs::path folder = fs::canonical(fs::absolute(path, ec).parent_path(), ec);
    if (ec || folder.filename() != "fd") return -1;
    const fs::path process = "/proc/" + std::to_string(::getpid());
    const fs::path owner = folder.parent_path();
    if (owner != process && !(owner.parent_path().filename() == "task" && owner.parent_path().parent_path() == process)) {
        return -1;
    }
    const std::string name = path.filename().string();
    int fd = -1;
    const auto result = std::from_chars(name.data(), name.data() + name.size(), fd);
    return result.ec == std::errc() && result.ptr == name.data() + name.size() && fd >= 0 ? fd : -1;
}

// Terminals, by the device numbers Linux gives them: virtual consoles and
// serial lines (4), /dev/tty and /dev/console (5, 0 and 1) and pseudo
// terminals (136 to 143). Known by number, as opening a device only to ask
// may do something (a tape rewinds when closed).
bool IsTerminal(const struct stat& info) {
    if (!S_ISCHR(info.st_mode)) return false;
    const unsigned kind = major(info.st_rdev);
    return kind == 4 || (kind == 5 && minor(info.st_rdev) <= 1) || (kind >= 136 && kind <= 143);
}

// A FIFO or a terminal: written as it is, never replaced.
bool IsNamedStream(const fs::path& target) {
    struct stat info {};
    return ::stat(target.c_str(), &info) == 0 && (S_ISFIFO(info.st_mode) || IsTerminal(info));
}

// Where a write to `path` goes: the file it replaces (links followed, a
// dangling link to the name it points at), or one of this process's open
// files when a link on the way names one (`/dev/stdout` is such a link).
struct Resolved {
    fs::path target;
    int descriptor = -1;
};

Resolved ResolveTarget(const std::string& path) {
    fs::path target(path);
    for (int depth = 0; depth < 40; ++depth) {
        const int descriptor = OwnDescriptor(target);
        if (descriptor >= 0) return {target, descriptor};
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(target, ec))) {
            return {target, -1};
        }
        const fs::path link = fs::read_symlink(target, ec);
        if (ec) {
            throw CliError(path + ": cannot write: " + ec.message());
        }
        target = link.is_absolute() ? link : target.parent_path() / link;
    }
    throw CliError(path + ": cannot write: too many levels of symbolic links");
}

void WriteAll(int fd, const char* data, std::size_t size, int& error) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                // A stream handed to us non-blocking: wait until it takes more.
                pollfd wait{fd, POLLOUT, 0};
                if (::poll(&wait, 1, -1) >= 0 || errno == EINTR) continue;
            }
            error = errno;
            return;
        }
        if (written == 0) {
            error = ENOSPC;
            return;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

// Writes all of `text` to `fd`, a stream the caller gave us. A reader that
// went away is an error of this output (EPIPE), not the end of the run: the
// broken-pipe signal is held back for this thread and taken if it came.
int WriteToStream(int fd, const std::string& text) {
    sigset_t pipeSignal;
    sigset_t before;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
    int error = 0;
    WriteAll(fd, text.data(), text.size(), error);
    if (error == EPIPE && !sigismember(&before, SIGPIPE)) {
        const timespec none{0, 0};
        while (sigtimedwait(&pipeSignal, nullptr, &none) == SIGPIPE) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return error;
}

}  // namespace

// The writer's bytes, written to the temporary file with every write checked.
// A failed write is remembered and reported as done: the codec goes on to the
// end of its file harmlessly, where a failure reported to it might end the
// process, and Commit then reports the first error. Sequential writes gather
// in a buffer, as codecs write in small pieces.
class StagedFile::CheckedOutput : public OIIO::Filesystem::IOProxy {
public:
    explicit CheckedOutput(const std::string& path) : IOProxy(path, IOProxy::Write) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0) error_ = errno;
    }
    ~CheckedOutput() override {
        if (fd_ >= 0) ::close(fd_);
    }
    const char* proxytype() const override { return "veskar-checked"; }

    size_t write(const void* data, size_t size) override {
        pwrite(data, size, m_pos);
        m_pos += static_cast<int64_t>(size);
        return size;
    }
    size_t pwrite(const void* data, size_t size, int64_t offset) override {
        const auto* bytes = static_cast<const char*>(data);
        const bool follows = offset == bufferStart_ + static_cast<int64_t>(buffer_.size());
        if (!follows || buffer_.size() + size > kBuffer) {
            Drain();
            bufferStart_ = offset;
        }
        if (size >= kBuffer) {
            Put(bytes, size, offset);
            bufferStart_ = offset + static_cast<int64_t>(size);
        } else {
            buffer_.insert(buffer_.end(), bytes, bytes + size);
        }
        end_ = std::max(end_, offset + static_cast<int64_t>(size));
        return size;
    }
    size_t read(void*, size_t) override { return 0; }
    size_t pread(void*, size_t, int64_t) override { return 0; }
    size_t size() const override { return static_cast<size_t>(end_); }
    void flush() const override {}

    /// Writes what is gathered and closes the file; the first error, or 0.
    int Finish() {
        Drain();
        if (fd_ >= 0 && ::close(fd_) != 0 && error_ == 0) error_ = errno;
        fd_ = -1;
        return error_;
    }

private:
    static constexpr std::size_t kBuffer = 1 << 20;

    void Drain() {
        if (!buffer_.empty()) Put(buffer_.data(), buffer_.size(), bufferStart_);
        buffer_.clear();
    }
    void Put(const char* data, std::size_t size, int64_t offset) {
        while (size > 0 && error_ == 0) {
            const ssize_t written = ::pwrite(fd_, data, size, offset);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) {
                error_ = written < 0 ? errno : ENOSPC;
                return;
            }
            data += written;
            size -= static_cast<std::size_t>(written);
            offset += written;
        }
    }

    int fd_ = -1;
    int error_ = 0;
    std::vector<char> buffer_;
    int64_t bufferStart_ = 0;
    int64_t end_ = 0;
};

std::string SystemReason(int errorNumber) {
    if (errorNumber == 0) {
        return "the system reported no reason";
    }
    return std::generic_category().message(errorNumber);
}

int RemoveLeftoverTemporaries(const fs::path& target) {
    return RemoveLeftoversOf(ResolveTarget(target.string()).target);
}

bool IsTextStream(const std::string& path) {
    try {
        const Resolved resolved = ResolveTarget(path);
        return resolved.descriptor >= 0 || IsNamedStream(resolved.target);
    } catch (const CliError&) {
        return false;  // StagedFile names the fault
    }
}

StagedFile::StagedFile(const std::string& path) : StagedFile(path, Streams::Refused) {}

StagedFile::StagedFile(const std::string& path, Streams streams) : path_(path) {
    const Resolved resolved = ResolveTarget(path);
    if (resolved.descriptor >= 0) {
        OpenStream(resolved.descriptor, "", streams);
        return;
    }
    const fs::path& target = resolved.target;
    if (streams == Streams::Written && IsNamedStream(target)) {
        OpenStream(-1, target.string(), streams);
        return;
    }
    std::error_code ec;
    const fs::file_status status = fs::status(target, ec);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        throw CliError(path + ": cannot write: " + KindOf(status.type()) +
                       " is there; outputs replace only regular files");
    }
    const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    if (!fs::is_directory(folder, ec)) {
        throw CliError(path + ": cannot write: the folder " + folder.string() + " does not exist");
    }
    target_ = target.string();
    temp_ = NewTemporaryPath(folder, target);
    slot_ = RegisterTemporary(temp_);
    // A file of this name is the leftover of a killed run whose process id
    // this one now has.
    ::unlink(temp_.c_str());
}

void StagedFile::OpenStream(int descriptor, const std::string& device, Streams streams) {
    if (streams == Streams::Refused) {
        throw CliError(path_ + ": cannot write: " +
                       (descriptor >= 0 ? "an open file of this process (such as standard output)"
                                        : "a stream") +
                       " takes only text such as settings; images are written to files by name");
    }
    if (descriptor >= 0) {
        const int flags = ::fcntl(descriptor, F_GETFL);
        if (flags < 0) throw CliError(path_ + ": cannot write: " + SystemReason(errno));
        if ((flags & O_ACCMODE) == O_RDONLY) {
            throw CliError(path_ + ": cannot write: descriptor " + std::to_string(descriptor) +
                           " is open for reading only");
        }
    }
    stream_ = true;
    streamDescriptor_ = descriptor;
    target_ = device;
}

StagedFile::StagedFile(const std::string& path, const std::string& text) : StagedFile(path, Streams::Written) {
    Append(text.data(), text.size());
}

StagedFile::StagedFile(const std::string& path, const OIIO::ImageBuf& image, OIIO::TypeDesc type)
    : StagedFile(path) {
    OIIO::ImageSpec spec = image.spec();
    spec.set_format(type);
    OIIO::ImageOutput& output = OpenImage({spec});
    if (!image.write(&output)) {
        const std::string message = image.geterror();
        Fail(message.empty() ? "write failed" : message);
    }
}

OIIO::ImageOutput& StagedFile::OpenImage(const std::vector<OIIO::ImageSpec>& parts) {
    if (stream_) {
        Fail("a stream takes only text such as settings; images are written to files by name");
    }
    // The writer is chosen by the target's name: the temporary name may have
    // lost a long ending.
    image_ = OIIO::ImageOutput::create(target_);
    if (!image_) {
        const std::string message = OIIO::geterror();
        Fail(message.empty() ? "no image format for this file ending" : message);
    }
    if (image_->supports("ioproxy")) {
        channel_ = std::make_unique<CheckedOutput>(temp_);
        image_->set_ioproxy(channel_.get());
    } else {
        readBack_ = true;
    }
    const bool opened = parts.size() == 1
                            ? image_->open(temp_, parts[0])
                            : image_->open(temp_, static_cast<int>(parts.size()), parts.data());
    if (!opened) {
        const std::string message = image_->geterror();
        Fail(message.empty() ? "the image writer cannot open the file" : message);
    }
    return *image_;
}

void StagedFile::CloseImage() {
    const bool closed = image_->close();
    std::string message = image_->geterror();
    image_.reset();
    if (channel_) {
        const int error = channel_->Finish();
        channel_.reset();
        // A failed write explains whatever the writer said after it.
        if (error != 0) Fail(SystemReason(error));
    }
    if (!closed) {
        Fail(message.empty() ? "the image writer failed to finish the file" : message);
    }
    if (readBack_) {
        // Without a checked channel, only the file itself shows whether it is
        // whole: a writer that seeks past a failed write leaves a gap that
        // reads back as zeros, so gaps count as damage, and then it must read.
        const int fd = ::open(temp_.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        bool whole = fd >= 0 && ::fstat(fd, &info) == 0 && ::lseek(fd, 0, SEEK_HOLE) >= info.st_size;
        if (fd >= 0) ::close(fd);
        auto input = whole ? OIIO::ImageInput::open(temp_) : nullptr;
        whole = input != nullptr;
        for (int part = 0; whole && input->seek_subimage(part, 0); ++part) {
            const OIIO::ImageSpec& spec = input->spec();
            std::vector<float> pixels(spec.image_pixels() * static_cast<std::size_t>(spec.nchannels));
            whole = input->read_image(part, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, pixels.data()) &&
                    !input->has_error();
        }
        if (!whole) {
            Fail("the written file does not read back whole (is the disk full?)");
        }
    }
}

void StagedFile::Append(const void* data, std::size_t size) {
    if (stream_) {
        // Held until Commit, so that a failed run writes nothing to it.
        streamText_.append(static_cast<const char*>(data), size);
        return;
    }
    const int fd = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        Fail(SystemReason(errno));
    }
    int error = 0;
    WriteAll(fd, static_cast<const char*>(data), size, error);
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        Fail(SystemReason(error));
    }
}

void StagedFile::Commit() {
    if (stream_) {
        CommitStream();
        return;
    }
    if (image_) {
        CloseImage();
    }
    const int fd = ::open(temp_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        Fail(errno == ENOENT ? "the file was not written" : SystemReason(errno));
    }
    int error = ::fsync(fd) != 0 ? errno : 0;
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        Fail(SystemReason(error));
    }
    if (::rename(temp_.c_str(), target_.c_str()) != 0) {
        Fail(SystemReason(errno));
    }
    ReleaseTemporary(slot_);
    slot_ = -1;
    done_ = true;
    // The rename is durable only once the folder is on disk too; file systems
    // that cannot flush a folder say EINVAL, and have nothing to flush.
    const fs::path folder = fs::path(target_).parent_path().empty() ? fs::path(".") : fs::path(target_).parent_path();
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        error = ::fsync(dir) != 0 && errno != EINVAL ? errno : 0;
        ::close(dir);
        if (error != 0) {
            throw CliError(path_ + ": cannot write: " + SystemReason(error));
        }
    }
}

void StagedFile::CommitStream() {
    // A FIFO or terminal named by its path is opened only now: opening a FIFO
    // waits for its reader. An open file of ours is written where it stands,
    // after what the process wrote to it before.
    int fd = streamDescriptor_;
    if (fd < 0) {
        fd = ::open(target_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) Fail(SystemReason(errno));
    }
    int error = WriteToStream(fd, streamText_);
    if (streamDescriptor_ < 0 && ::close(fd) != 0 && error == 0) error = errno;
    done_ = true;
    if (error != 0) Fail(SystemReason(error));
}

void StagedFile::Discard() noexcept {
    if (image_) {
        image_->close();  // what it wrote is removed next
        image_.reset();
    }
    if (channel_) {
        channel_->Finish();
        channel_.reset();
    }
    if (!done_ && !stream_) {
        ::unlink(temp_.c_str());
        ReleaseTemporary(slot_);
        slot_ = -1;
        done_ = true;
    }
}

void StagedFile::Fail(const std::string& reason) {
    Discard();
    throw CliError(path_ + ": cannot write: " + reason);
}

StagedFile::~StagedFile() { Discard(); }

}  // namespace veskar
