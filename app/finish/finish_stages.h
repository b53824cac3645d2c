#pragma once

// The stages of FinishFrame one by one, for finishing.cpp and the tests. The
// matte stages work on a plain copy of the alpha; the colour stages on the
// keyed image's records (blue, green, red, alpha).
//
// NaN alpha goes through every stage where it stands, as the tool passes it
// on: a NaN pixel keeps its NaN, and neighbourhood stages (shrink, grow,
// soften) leave it out of their neighbours' results instead of spreading it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "app/finish/finishing.h"

namespace veskar::finish {

struct Colours;

/// A frame's alpha, row by row.
struct Matte {
    int width = 0;
    int height = 0;
    std::vector<float> alpha;

    std::size_t Index(int x, int y) const noexcept {
        return static_cast<std::size_t>(y) * width + x;
    }
};

/// Runs body(firstRow, endRow) over blocks of rows on the host's worker
/// pool. Every stage computes a pixel from the input alone, so how the rows
/// are split (and over how many workers) never changes a bit.
void ForRowBlocks(int height, int blockRows, const std::function<void(int, int)>& body);

/// The alpha of plane 1.
Matte ReadMatte(const Image& image);

/// Alpha into [0, 1]; NaN stays.
void ClampMatte(Matte& matte);

/// Stage 0: near the contour (within 3 px of the matte's 0.5 and of its
/// soft pixels, on the subject's side), alpha becomes the share of subject
/// in a mix of the local screen and subject colours: 1 - (C - F).(S - F) /
/// |S - F|^2, clamped to [0, 1], in linear light when the plate is
/// display-encoded. F fills in from the solid pixels (matte at least 0.98,
/// eroded a pixel), S from the clear ones (at most 0.02) or the clean plate.
/// Where F and S are too alike, and at NaN, the tool's alpha stays.
/// `colours` are the plate's (ReadColours of context.source).
void RefineEdges(Matte& matte, const FrameContext& context, const Colours& colours);

/// clamp((a - black) / (white - black)); white above black (validated).
void ClipLevels(Matte& matte, double black, double white);

/// Grey-scale dilation (grow) or erosion (shrink) by a disc of `radius`
/// pixels: the disc holds the offsets (dx, dy) with dx^2 + dy^2 <= r^2. A
/// fractional radius blends the results of the whole radii either side.
/// Pixels outside the frame are not part of the disc (a subject cut by the
/// frame edge does not shrink from it).
void GrowOrShrink(Matte& matte, double radius, bool grow);

/// 1 where a marked pixel (`marks` nonzero, row by row) lies within `radius`
/// of the pixel, else 0: the offsets (dx, dy) with dx^2 + dy^2 <= r^2 for the
/// whole radius r at or above `radius` (none for 0 or less: the marks
/// themselves). The same set as GrowOrShrink growing a 0 and 1 matte by
/// `radius` leaves above 0, found from each column's distance to its nearest
/// mark in time that does not grow with the radius.
std::vector<std::uint8_t> WithinDistance(const std::vector<std::uint8_t>& marks, int width, int height,
                                         double radius);

/// Gaussian blur with sigma = px / 2, the kernel cut at 3 sigma, separable,
/// the frame's edge pixels repeated outward.
void Soften(Matte& matte, double px);

/// Removes specks and holes no larger than `px`: an 8-connected region of
/// pixels above 0 whose bounding box is at most px wide and high becomes 0
/// (specks in the screen), then such a region of pixels below 1 becomes 1
/// (holes in the subject). Regions that touch the frame's edge, and anything
/// larger, keep their bits.
void Despot(Matte& matte, double px);

/// alpha *= (1 - garbage); alpha = max(alpha, holdout), each where asked.
/// Throws std::invalid_argument when the maps' size is not the matte's.
void ApplyShapes(Matte& matte, const ShapeMattes& shapes, bool garbage, bool holdout);

/// Stage 6: writes the finished alpha into `keyed` and its colour, from the
/// unmixed source or following the matte. `before` is the keyed alpha before
/// the matte stages; `colours` the plate's (ReadColours of context.source),
/// read only to unmix without a clean plate.
void FinishColour(const FinishOptions& options, const FrameContext& context, const Colours& colours,
                  const std::vector<float>& before, const Matte& matte, Image& keyed);

/// The screen colour (red, green, blue) despill turns away from: the clean
/// plate's mean colour when there is one, else context.screen.
std::array<double, 3> DespillReference(const FrameContext& context);

/// Stage 7: spill toward `reference`'s hue removed by `amount`, luminance
/// restored. A reference without hue (grey, black, not finite) changes nothing.
void Despill(Image& keyed, const std::array<double, 3>& reference, double amount);

/// Stage 7, near the contour: the screen's light an edge pixel carries above
/// the subject's own colour farther in, taken off by `amount` (see
/// despill.cpp). Works in light on straight colour (records decoded and
/// divided by alpha as `premultiplied` and `displayEncoded` say); pixels it
/// does not change keep their bits, and a frame without an opaque inside
/// keeps all of them.
void EdgeDespill(Image& keyed, const std::array<double, 3>& reference, double amount, bool premultiplied,
                 bool displayEncoded);

/// Stage 8.
void ApplyView(View view, Image& keyed);

/// The status colours as linear floats (red, green, blue).
std::array<float, 3> StatusColour(const unsigned char (&srgb)[3]);

}  // namespace veskar::finish
