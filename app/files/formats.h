#pragma once

#include <string>
#include <vector>

#include <OpenImageIO/imageio.h>

namespace veskar {

/// How a file stores colour beside alpha: multiplied by alpha (associated) or
/// not (straight).
enum class Association { Premultiplied, Straight };

/// A compression a format's writer takes, and the levels it takes after a
/// colon (NAME:LEVEL); `maxLevel` 0 for none, -1 for any whole number above
/// `minLevel` - 1.
struct CompressionName {
    std::string name;
    int minLevel = 0;
    int maxLevel = 0;
};

/// What an output file format can hold, by the target's ending.
struct OutputFormat {
    std::string name;              ///< OpenImageIO's format name ("openexr", "png")
    std::string title;             ///< for messages ("EXR", "PNG")
    bool alpha = true;             ///< can store an alpha channel
    bool furtherChannels = true;   ///< can store channels beyond colour and alpha
    bool parts = false;            ///< can store several parts (subimages)
    bool tiles = false;
    bool mipmap = false;
    bool premultiplied = true;     ///< can store premultiplied colour
    bool straight = false;         ///< can store straight colour
    Association convention = Association::Premultiplied;  ///< stored when not asked otherwise
    /// Stores colour as the tool rendered it (straight or premultiplied) when
    /// not asked otherwise, in place of `convention`.
    bool asRendered = false;
    std::vector<OIIO::TypeDesc> types;  ///< data types it stores; empty: not known, any
    // What its headers keep, where known (`types` not empty); otherwise the
    // codec's own choice, not foreseen here.
    bool channelTypes = false;     ///< a data type per channel, else one for all
    bool origin = false;           ///< the data window's position
    bool displayWindow = false;    ///< a display window apart from the data window
    /// The compressions its writer takes; empty: not known, any is passed on.
    std::vector<CompressionName> compressions;
};

/// The format `path` is written in; throws CliError naming the file when
/// OpenImageIO has no writer for its ending.
OutputFormat OutputFormatOf(const std::string& path);

/// Refuses a --compression NAME[:LEVEL] that the writer of `format` (for
/// `path`) does not take, or a level it does not take, with CliError (exit
/// 2) naming the option, the value and the names it takes.
void CheckCompression(const std::string& path, const OutputFormat& format, const std::string& compression);

/// "half, float" for messages.
std::string TypeNames(const std::vector<OIIO::TypeDesc>& types);

/// The header `spec` becomes in a file of `format`, as its readers find it:
/// each data type as the format's codec stores it (the nearest it has), one
/// type for all channels where it has no type per channel, and the windows
/// it cannot hold dropped. A format not known here gets `spec` unchanged.
OIIO::ImageSpec StoredSpec(const OutputFormat& format, OIIO::ImageSpec spec);

/// Whether `format` stores `type` (always true when its types are not known).
bool Stores(const OutputFormat& format, OIIO::TypeDesc type);

}  // namespace veskar
