#pragma once

// Where a frame is certainly screen and certainly subject, judged from the
// screen samples alone and in no working colour space: the setup places the
// matte's ramp between the two, and the choice of colour space is scored on
// them, so that no space is judged by its own idea of the subject.

#include <vector>

#include "app/setup/screen_setup.h"
#include "host/image.h"
#include "keying/colour.h"

namespace veskar {

/// Pixels of a frame: their colour and, with a key image, the key image's
/// pixel the render pairs them with.
struct PixelSamples {
    std::vector<keying::Colour> colour;
    std::vector<keying::Colour> key;  ///< empty without a key image

    std::size_t Size() const { return colour.size(); }
};

/// Pixels between the screen and the subject's core, each with the mean
/// colour of the screen and of the core around it: what the frame's own
/// contour is a mix of, if it is a mix at all.
struct EdgeSamples {
    std::vector<keying::Colour> colour;
    std::vector<keying::Colour> screen;   ///< the screen's mean colour near the pixel
    std::vector<keying::Colour> subject;  ///< the core's mean colour near the pixel
    std::vector<keying::Colour> key;      ///< empty without a key image

    std::size_t Size() const { return colour.size(); }
};

/// The frame split by the screen's colour.
struct FrameRegions {
    /// Pixels far from every colour of the screen, at least a few pixels
    /// inside such a region: the subject's opaque core.
    PixelSamples core;
    /// Pixels of the screen's colours (the sampled ones and the rest of the
    /// frame that looks like them), a few pixels away from anything else.
    PixelSamples screen;
    /// Pixels near both the screen and the core (empty with --subject
    /// rectangles, which name no place in the frame's contour).
    EdgeSamples edge;
};

/// Splits `plate` by the colours of the screen in `rects`: a pixel is the
/// subject's when its chromaticity lies far outside the screen's spread, or
/// it is much darker or brighter than any lit part of the screen; it is the
/// screen's when both lie within the screen's spread. Each set is thinned to a
/// few tens of thousands of pixels, evenly over the frame. With `subject`
/// rectangles the core is their pixels instead. `keyImage` may be null.
FrameRegions FindFrameRegions(const Image& plate, const Image* keyImage, const std::vector<ScreenRect>& rects,
                              const std::vector<ScreenRect>& subject);

}  // namespace veskar
