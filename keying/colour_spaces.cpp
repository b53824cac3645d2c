#include "keying/colour_spaces.h"

#include <cmath>

namespace keying {

namespace {

// One step towards 0..1 only: hues from the conversions are already in range,
// and a hue several turns out is left where one step puts it.
float WrapHueOnce(float hue) noexcept {
    if (!(hue >= 0.0f)) hue = hue + 1.0f;
    if (hue > 1.0f) hue = hue - 1.0f;
    return hue;
}

}  // namespace

double HueDistance(Colour& a, Colour& b) noexcept {
    a.r = WrapHueOnce(a.r);
    b.r = WrapHueOnce(b.r);
    const double d = std::fabs(b.r - a.r);
    // The complement is formed in double: it is exact for every d in 0.5..2,
    // which covers all hues that one wrapping step brings into range.
    const double other = 1.0 - d;
    return other < d ? other : d;
}

}  // namespace keying
