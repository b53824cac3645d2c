#pragma once

// The colours of a frame and fills of a colour everywhere from some of its
// pixels: the local screen behind, or the subject in front of, a pixel of the
// contour (edge refinement, unmixing).

#include <cstddef>
#include <cstdint>
#include <vector>

#include "app/finish/finish_stages.h"

namespace veskar::finish {

/// Red, green and blue of every pixel, in linear light when the frame is
/// display-encoded (a mix of two lights is made in light, not in code values).
struct Colours {
    int width = 0;
    int height = 0;
    std::vector<double> rgb;  // three per pixel

    const double* At(std::size_t i) const noexcept { return &rgb[i * 3]; }
};

Colours ReadColours(const Image& image, bool displayEncoded);

/// A colour everywhere from the pixels `known` marks whose colour is finite
/// (push-pull): each pixel keeps its own colour when known, else takes the
/// mean of the known pixels in the smallest block around it that holds one,
/// blended smoothly between the pyramid's levels. The fill (red, green, blue
/// per pixel) goes into `finest`, whose storage a caller filling again reuses
/// (a 4K frame's fill is 200 MB, and each new one costs its pages' first
/// touch); false, and `finest` untouched, when no pixel is known.
bool Fill(const Colours& colours, const std::vector<std::uint8_t>& known, std::vector<double>& finest);

/// The same fill read pixel by pixel, for a stage that needs it at a few
/// pixels: no frame-sized buffer. Holds pointers to the colours and marks it
/// was made from, which must outlive it.
class FillLookup {
  public:
    /// False, and the lookup unusable, when no pixel is known.
    bool Make(const Colours& colours, const std::vector<std::uint8_t>& known);
    /// Red, green and blue of the fill at (x, y): the values Fill writes there.
    void At(int x, int y, double* out) const;

  private:
    const Colours* colours_ = nullptr;
    const std::vector<std::uint8_t>* known_ = nullptr;
    int halfWidth_ = 0;
    int halfHeight_ = 0;
    std::vector<double> half_;  // the fill at half the frame's size
};

/// Pixels whose matte passes `test`, eroded by one pixel (3 x 3) so that the
/// contour's mixes are left out.
std::vector<std::uint8_t> Solidly(const Matte& matte, bool (*test)(float));

/// Which side of the contour a matte value lies on: mostly subject (one half
/// or more) or mostly screen.
inline bool IsOver(float alpha) noexcept { return alpha >= 0.5f; }
inline bool IsUnder(float alpha) noexcept { return alpha < 0.5f; }

/// 1 within `radius` of a pixel whose matte passes `test` (WithinDistance of
/// those pixels), else 0.
std::vector<std::uint8_t> Near(const Matte& matte, bool (*test)(float), double radius);

/// A matte at or below 0.02 shows the screen: the pixels a fill of the screen
/// behind the contour fills from (edge refinement, unmixing).
inline bool ShowsScreen(float alpha) noexcept { return alpha <= 0.02f; }

/// A matte at or above 0.98 is the subject's own colour: the pixels a fill of
/// the subject inside the contour fills from (edge refinement, unmixing,
/// edge despill).
inline bool IsOpaque(float alpha) noexcept { return alpha >= 0.98f; }

/// Rec. 709 luminance weights, for light given back or kept.
constexpr double kLumaRed = 0.2126;
constexpr double kLumaGreen = 0.7152;
constexpr double kLumaBlue = 0.0722;

}  // namespace veskar::finish
