#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <OpenImageIO/imageio.h>

#include "app/files/channel_roles.h"
#include "host/image.h"

namespace veskar {

class ColourConversion;

/// Which part, view and layer of a file to key, and how to read it.
struct ReadOptions {
    bool withExtraChannels = true;  ///< carry every further channel in plane 2
    std::string part;   ///< --part: the part of that name; "" for the first with colour
    std::string view;   ///< --view: a part of that view; "" for the first with colour
    std::string layer;  ///< --layer: LAYER.R ... LAYER.A are the colour; "" for R, G, B, A
    /// --input-space: converts the colour to the working linear space on read; null leaves it
    const ColourConversion* inputSpace = nullptr;
    /// Reads the whole frame's channels at once before spreading them over
    /// the planes, instead of a strip of lines at a time: the same image,
    /// with a frame's worth more memory; for checking the strips.
    bool wholeFrame = false;
};

/// The part of an image file that is keyed, read into a host image, and
/// what the writer needs to know of the file around it.
struct FileImage {
    std::string path;
    std::string formatName;  ///< OpenImageIO's name of the file's format ("openexr")
    int part = 0;            ///< the keyed part
    std::string partName;    ///< its name, "" when it has none
    std::string view;        ///< its view, "" when the file has no views
    std::vector<OIIO::ImageSpec> partSpecs;  ///< the top level of every part of the file, in order
    OIIO::ImageSpec spec;    ///< its top level, as the file declares it
    std::vector<std::pair<int, int>> levels;  ///< width and height of each MIP level, the top first
    ChannelLayout layout;
    std::string colourSpace;  ///< what the values in `image` are (the file's tag, or linear after --input-space)
    std::shared_ptr<Image> image;

    /// The parts of the file.
    int PartCount() const noexcept { return static_cast<int>(partSpecs.size()); }
};

/// Reads the keyed part of `path` into a host image: alpha 1.0 when it has
/// none, grey as red = green = blue, missing colour channels as 0 and, with
/// `withExtraChannels`, every further channel into plane 2. Throws CliError
/// naming the file (and the part, view or layer asked for) on failure.
FileImage ReadImageFile(const std::string& path, const ReadOptions& options = {});

/// The keyed part of `path`, chosen as ReadImageFile chooses it, and what is
/// known of the file around it, from its headers alone: `image` stays null and
/// `colourSpace` is the file's tag. Throws CliError as ReadImageFile does.
FileImage ReadImageHeader(const std::string& path, const ReadOptions& options = {});

/// The name a part goes by: its "name", or "" when it has none.
std::string PartName(const OIIO::ImageSpec& spec);

}  // namespace veskar
