#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imageio.h>

#include "app/files/temporaries.h"

namespace veskar {

/// An output file written under a temporary name beside its target and
/// renamed into place only once the whole file is known to be on disk, so a
/// target is never left half written, whatever stops the run.
///
/// Targets: a new name, or an existing regular file, which is replaced. A
/// target that exists and is anything else (a folder, a FIFO, a device, a
/// socket) is refused. A symbolic link is written through: the file it points
/// at is replaced and the link stays as it is (a dangling link gets its file
/// created), so links that pipelines use to route outputs keep working. The
/// folder must exist: outputs never create folders by accident.
///
/// Streams: a text output (the constructor with text) may also go to one of
/// this process's open files, named through `/dev/stdout`, `/dev/stderr`,
/// `/dev/fd/N` or `/proc/self/fd/N` (or a link to one of them), to a FIFO or
/// to a terminal. It is written there directly at Commit, after what the
/// process wrote before; the file behind the descriptor is never replaced or
/// renamed over. Images need whole files and are refused on streams.
///
/// Temporary names: `.veskar-tmp-HASH-PID-N.EXT`, where HASH stands for the
/// target's file name (TemporaryPrefix), so they stay short for any valid
/// target name and the leftovers of a run that was killed can be found and
/// removed (RemoveLeftoverTemporaries). A live temporary is registered so
/// that RemoveLiveTemporaries, called from a signal handler, can remove it.
///
/// Every failure removes the temporary file and throws CliError naming the
/// target and the system's reason.
class StagedFile {
public:
    /// Checks the target and claims a temporary name for it; the caller
    /// writes the file at TempPath() and then calls Commit. Streams are
    /// refused (this is for images).
    explicit StagedFile(const std::string& path);
    /// A text file, written at once (to a stream: held until Commit).
    StagedFile(const std::string& path, const std::string& text);
    /// An image in `type`, written at once in the file format the target's
    /// ending names.
    StagedFile(const std::string& path, const OIIO::ImageBuf& image, OIIO::TypeDesc type);
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    /// Removes the temporary file unless committed.
    ~StagedFile();

    /// The target as given.
    const std::string& Path() const noexcept { return path_; }
    /// Where the caller writes the file.
    const std::string& TempPath() const noexcept { return temp_; }

    /// Writes `size` bytes at the end of the temporary file, checking every
    /// write (a full disk is an error, never a shorter file).
    void Append(const void* data, std::size_t size);

    /// An image writer for the target's format, opened on the temporary file
    /// for `parts` (one spec per subimage; further subimages are opened by the
    /// caller with ImageOutput::AppendSubimage). The writer's bytes go through
    /// a checked channel: a failed write is remembered instead of being
    /// reported to the codec, since some codecs end the process when a write
    /// fails, and Commit reports it. A format that cannot write through such a
    /// channel writes TempPath() itself and is read back whole at Commit.
    /// Throws CliError (temporary removed) when the writer cannot be opened.
    OIIO::ImageOutput& OpenImage(const std::vector<OIIO::ImageSpec>& parts);

    /// Closes an image writer still open (checking its close and every write
    /// it made), flushes the temporary file to disk (fsync), renames it over the target
    /// and flushes the folder, so that after a crash the target holds either
    /// its old content or the whole new file. Throws CliError on failure, with
    /// the temporary file removed.
    void Commit();

    /// Removes the temporary file and throws CliError "PATH: cannot write:
    /// REASON"; for callers whose own write into TempPath() failed.
    [[noreturn]] void Fail(const std::string& reason);

private:
    class CheckedOutput;
    enum class Streams { Refused, Written };

    StagedFile(const std::string& path, Streams streams);
    void OpenStream(int descriptor, const std::string& device, Streams streams);
    void CommitStream();
    void Discard() noexcept;
    void CloseImage();

    std::unique_ptr<CheckedOutput> channel_;   // the image writer's bytes, when checked
    std::unique_ptr<OIIO::ImageOutput> image_;  // an open image writer
    bool readBack_ = false;                     // the writer wrote TempPath() itself

    std::string path_;    // as given, for messages
    std::string target_;  // the file the rename replaces (links resolved)
    std::string temp_;
    int slot_ = -1;       // in the registry of live temporaries
    bool done_ = false;

    bool stream_ = false;         // written to a stream at Commit, not staged
    int streamDescriptor_ = -1;   // an open file of ours; else target_ is opened
    std::string streamText_;
};

/// Whether text written to `path` goes into a stream (an open file of this
/// process, a FIFO, a terminal) rather than replacing a file: such an output
/// overwrites nothing.
bool IsTextStream(const std::string& path);

/// Removes the temporary files of `target` that a killed run left beside it:
/// those whose process (the PID in the name) is gone. Those of this process
/// and of any other process still running are kept, as they are being
/// written. Returns how many it removed; errors are ignored, as the
/// leftovers are harmless.
int RemoveLeftoverTemporaries(const std::filesystem::path& target);

/// The system's text for `errorNumber`, never "Success": a failure that set
/// no error number says so.
std::string SystemReason(int errorNumber);

}  // namespace veskar
