#pragma once

#include <OpenImageIO/imagebuf.h>

namespace veskar {

/// The demo sample's pictures, 1280 x 720 float in linear light.
struct SampleImages {
    OIIO::ImageBuf plate;       ///< R, G, B: the subject over the screen, with grain
    OIIO::ImageBuf cleanPlate;  ///< R, G, B: the screen alone, grain of another realisation
    OIIO::ImageBuf alpha;       ///< A: the subject's true coverage
};

/// Paints the sample: a person-like subject with soft edges, hair strands, a
/// motion-blurred arm and green spill near its edges, composited over an
/// unevenly lit green screen in linear light. Computed by our own code only,
/// so every run on every machine gives the same values. Throws CliError when
/// an image operation fails.
SampleImages PaintSample();

}  // namespace veskar
