#pragma once

#include <string>
#include <vector>

#include <OpenImageIO/imageio.h>

namespace veskar {

/// Where each channel of a file goes in a host image: the colour and alpha
/// channels to plane 1, every other channel to plane 2 in file order.
///
/// Roles go by name only: a channel never becomes colour or alpha because of
/// where it stands, so Z, depth, masks and vectors pass through untouched
/// however few colour channels a file has.
struct ChannelLayout {
    int red = -1;    ///< file channel of red, or -1 (keyed as 0, not written)
    int green = -1;  ///< file channel of green, or -1 (keyed as 0, not written)
    int blue = -1;   ///< file channel of blue, or -1 (keyed as 0, not written)
    int grey = -1;   ///< file channel read as grey (red = green = blue), or -1
    int alpha = -1;  ///< file channel of alpha, or -1 (alpha 1.0)
    std::vector<int> extra;  ///< file channels carried in plane 2, in order
    std::string layer;       ///< the layer whose R, G, B, A are the colour; "" for the plain ones

    bool HasColour() const noexcept { return red >= 0 || green >= 0 || blue >= 0 || grey >= 0; }
    /// Names of the colour channels the file lacks ("B" for an R, G file).
    std::vector<std::string> MissingColour() const;
};

/// The roles of `spec`'s channels. Colour and alpha are the channels named
/// R, G, B and A (any case), or LAYER.R ... LAYER.A with `layer`. A channel
/// named Y (LAYER.Y), or the only channel of a one-channel file when it has
/// no name of its own, is grey. Every other channel is further.
ChannelLayout LayoutOf(const OIIO::ImageSpec& spec, const std::string& layer = "");

/// The layers of `spec` that hold colour: "" for the plain R, G, B (or Y)
/// and every LAYER of LAYER.R, LAYER.G, LAYER.B or LAYER.Y, in file order.
std::vector<std::string> ColourLayers(const OIIO::ImageSpec& spec);

}  // namespace veskar
