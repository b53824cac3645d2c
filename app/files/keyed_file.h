#pragma once

#include <string>
#include <vector>

#include <OpenImageIO/typedesc.h>

#include "app/files/formats.h"
#include "app/files/image_file.h"
#include "host/image.h"

namespace veskar {

/// How a keyed frame is written.
struct WriteOptions {
    Association keyed = Association::Premultiplied;  ///< what the render's colour is ("Alpha Multiply" on or off)
    bool storedGiven = false;                         ///< --alpha given
    Association stored = Association::Premultiplied;  ///< --alpha: what the file stores
    OIIO::TypeDesc type = OIIO::TypeDesc::UNKNOWN;    ///< --type; UNKNOWN follows the source channels
    bool dropAlpha = false;     ///< --drop-alpha: a format without alpha gets the colour alone
    bool dropChannels = false;  ///< --drop-channels: a format without them loses further channels and parts
    std::string compression;    ///< --compression NAME[:LEVEL]; "" keeps the source's
    std::string outputSpace;    ///< --output-space: converted to from the values' space; "" writes them as keyed
    std::string commandLine;    ///< appended to the file's ImageHistory
    /// Builds the whole frame's channels before writing, instead of a strip
    /// of lines at a time: the same file, with a frame's worth more memory;
    /// for checking the strips. MIP-mapped files are always written so.
    bool wholeFrame = false;
};

/// Refuses, before any frame is keyed, what the output format cannot store:
/// `--type` it has no such type for, `--alpha` it has no such convention for,
/// the matte, further channels or further parts of `source` that it would
/// lose (unless --drop-alpha or --drop-channels accept the loss). Throws
/// CliError naming the output, saying what would be lost and how to keep it.
void CheckOutput(const std::string& path, const FileImage& source, const WriteOptions& options);
/// The same for the output format of `path` worked out already.
void CheckOutput(const std::string& path, const OutputFormat& format, const FileImage& source,
                 const WriteOptions& options);

/// Writes `keyed` (a render of `source`) to `path`: every part of the source
/// file in order, the keyed one with every channel of the source by name,
/// order and value but colour and alpha replaced by the keyed ones (alpha
/// is added when the source had none; grey becomes R, G, B), the others
/// copied bit for bit. The colour is stored as the tool rendered it where the
/// format holds either convention (EXR, TIFF, whose tag says which), else in
/// the format's own or the one --alpha asks for (un-premultiplied in float
/// before the data type is reached, colour left as it is where alpha is 0 or
/// less); tiles, compression, line order,
/// chromaticities and MIP levels (made again from the keyed top level) are
/// kept; Software, ImageHistory and the colour space tag say what made the
/// file and what its values are. The file is staged and renamed into place.
/// Throws CliError naming the file.
void WriteKeyedFile(const std::string& path, const FileImage& source, const Image& keyed,
                    const WriteOptions& options);

/// The headers of the file WriteKeyedFile writes for `source` to `path`, as
/// its readers find them: every part in order when the format holds parts
/// (the keyed one as planned, the others as stored), else the keyed part
/// alone. Their windows, channel names and order, and data types are the
/// file's; for a format not known to OutputFormatOf (no `types`), the data
/// types and windows are the codec's to choose. Does not refuse what
/// CheckOutput refuses.
std::vector<OIIO::ImageSpec> KeyedFileSpecs(const std::string& path, const FileImage& source,
                                            const WriteOptions& options);
/// The same for an output format worked out already.
std::vector<OIIO::ImageSpec> KeyedFileSpecs(const OutputFormat& format, const FileImage& source,
                                            const WriteOptions& options);

/// The note a run gives once when WriteKeyedFile stores straight colour in
/// an EXR file at `path` (EXR readers take premultiplied colour unless told
/// otherwise), naming the file and why; "" when it stores none.
std::string StraightExrNote(const std::string& path, const FileImage& source, const WriteOptions& options);

/// The value of the Software tag of files veskar writes ("veskar 0.87.0").
std::string SoftwareName();

}  // namespace veskar
