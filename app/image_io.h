#pragma once

#include <memory>
#include <string>
#include <vector>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imageio.h>

#include "host/image.h"

namespace veskar {

/// Where each channel of a file goes in a host image: the colour and alpha
/// channels to plane 1, every other channel to plane 2 in file order.
struct ChannelLayout {
    int red = -1;    ///< file channel of red, or -1
    int green = -1;  ///< file channel of green, or -1
    int blue = -1;   ///< file channel of blue, or -1
    int grey = -1;   ///< file channel read as grey (red = green = blue), or -1
    int alpha = -1;  ///< file channel of alpha, or -1 (alpha 1.0)
    std::vector<int> extra;  ///< file channels carried in plane 2, in order
};

/// Which file channel is red, green, blue, grey and alpha: channels named R,
/// G, B and A (or Y for grey); otherwise one channel is grey and the first
/// three are colour. Every other channel is further.
ChannelLayout LayoutOf(const OIIO::ImageSpec& spec);

/// An image file read into a host image.
struct FileImage {
    std::string path;
    OIIO::ImageSpec spec;  ///< the file's first subimage
    ChannelLayout layout;
    std::shared_ptr<Image> image;
};

/// Reads the first subimage of `path` into a host image: alpha 1.0 when the
/// file has none, a one-channel file as grey, and, with `withExtraChannels`,
/// every further channel into plane 2. Throws CliError naming the file.
FileImage ReadImageFile(const std::string& path, bool withExtraChannels);

/// Writes `keyed` (a render of `source`) to `path`: every channel of the
/// source file by name, order and value, with the colour and alpha channels
/// replaced by the keyed ones (an alpha channel is added when the source had
/// none; a grey channel becomes R, G, B). The file is written to a temporary
/// file beside `path` and renamed into place, so `path` is never left half
/// written. The data type follows the source's channels unless `type` is
/// given (not UNKNOWN). Throws CliError naming the file.
void WriteKeyedFile(const std::string& path, const FileImage& source, const Image& keyed,
                    OIIO::TypeDesc type = OIIO::TypeDesc::UNKNOWN);

}  // namespace veskar
