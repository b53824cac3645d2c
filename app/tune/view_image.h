#pragma once

#include <memory>
#include <string>

#include <OpenImageIO/imageio.h>

#include "app/finish/status_colours.h"
#include "host/image.h"

namespace veskar::tune {

/// What the page shows of a frame.
enum class View { Source, Matte, Result, Status };

/// "source", "matte", "result", "status"; false for any other text.
bool ParseView(const std::string& text, View& view);

// Status view colours (app/finish/status_colours.h).
using finish::kStatusKeyed;
using finish::kStatusPartial;
using finish::kStatusSolid;

/// Whether a plate's values are shown through the colour configuration's
/// sRGB curve: every file that is not sRGB-encoded (such as EXR).
bool ShownThroughSrgbCurve(const OIIO::ImageSpec& spec);

/// A view of a frame as a PNG file in memory. `source` is the plate (its file
/// spec says how it is encoded), `keyed` the keyer's render of it (unused for
/// the source view). Matte and result are written as `veskar render` writes an
/// 8-bit file from an 8-bit plate, so the page shows those bits exactly: the
/// matte is the alpha as one grey channel, the result the keyed colour and
/// alpha (the page lays it over a checkerboard or a colour). Values of a file
/// that is not sRGB-encoded (such as EXR) are shown through the sRGB curve.
/// `fastCompression` trades file size for time while a slider moves.
/// `premultiplied` says whether the keyed colour is premultiplied by its
/// alpha; PNG stores straight colour, so such colour is divided by alpha
/// (where alpha is above 0) as the keyed-file writer does.
std::string EncodeView(View view, const OIIO::ImageSpec& sourceSpec, const Image& source, const Image* keyed,
                       bool fastCompression, bool premultiplied = true);

/// A copy of `image` shrunk by a whole `factor` (the mean of each factor x
/// factor block; the last row and column of blocks take what is left), its
/// colour and alpha only. Factor 1 returns a plain copy.
std::shared_ptr<Image> Shrink(const Image& image, int factor);

}  // namespace veskar::tune
