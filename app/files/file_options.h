#pragma once

#include <memory>
#include <string>

#include "app/files/formats.h"
#include "app/files/image_file.h"
#include "app/files/keyed_file.h"

namespace CLI {
class App;
}

namespace veskar {

class ColourConversion;

/// The command line's say on how files are read and written.
struct FileOptions {
    std::string alpha;        ///< --alpha premultiplied|straight; "" follows the output format
    bool dropAlpha = false;   ///< --drop-alpha
    bool dropChannels = false;  ///< --drop-channels
    std::string part;         ///< --part NAME
    std::string view;         ///< --view NAME
    std::string layer;        ///< --layer NAME
    std::string compression;  ///< --compression NAME[:LEVEL]
    std::string inputSpace;   ///< --input-space NAME
    std::string outputSpace;  ///< --output-space NAME
};

/// Adds the file options above to `render`.
void AddFileOptions(CLI::App& render, FileOptions& options);

/// Adds the options above that decide which part is keyed and which channels
/// are written (--drop-alpha, --drop-channels, --part, --view, --layer) to
/// `command`: render takes them, and check to expect what render wrote.
void AddChannelOptions(CLI::App& command, FileOptions& options);

/// Whether any of those options is given.
bool HasChannelOptions(const FileOptions& options);

/// The command line as one line of text, words with spaces or quotes quoted,
/// for the ImageHistory of the files it writes.
std::string CommandLineText(int argc, const char* const* argv);

/// The file options of one run, resolved: colour conversions made once.
class FileSetup {
public:
    /// Throws CliError for an unknown colour space.
    FileSetup(const FileOptions& options, OIIO::TypeDesc type, const std::string& commandLine);
    ~FileSetup();

    /// How the image to key is read.
    ReadOptions Source() const;
    /// How the key image is read: its first part with colour, in the same space.
    ReadOptions Key() const;
    /// What the render's colour is, once the tool's controls are final.
    void SetKeyed(Association keyed) noexcept { write_.keyed = keyed; }
    /// How keyed frames are written.
    const WriteOptions& Write() const noexcept { return write_; }

private:
    FileOptions options_;
    std::unique_ptr<ColourConversion> inputSpace_;
    WriteOptions write_;
};

}  // namespace veskar
