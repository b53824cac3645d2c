#pragma once

// Helpers shared by the keying tests.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

#include "keying/colour.h"
#include "keying/snapshot.h"

namespace keying::test {

// Tolerances, by where the worked value comes from:
// - kOneRounding: a hand value such as 0.3 that the code reaches through a
//   handful of single-precision roundings (a float ulp at 1 is 1.2e-7).
// - kHsvTrip: a colour that passes RGB -> HSV -> RGB once or twice; each pass
//   rounds hue, sector fraction and products to float.
inline constexpr double kOneRounding = 2e-7;
inline constexpr double kHsvTrip = 1e-6;

// Absolute near 0 (where relative error is meaningless) and relative above 1.
inline ::testing::AssertionResult Near(double actual, double expected, double tolerance) {
    const double scale = std::fabs(expected) > 1.0 ? std::fabs(expected) : 1.0;
    if (std::fabs(actual - expected) <= tolerance * scale) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << actual << " is not within " << tolerance << " of " << expected;
}

// A colour from (R, G, B) as worked values are written; Colour stores b, g, r.
inline Colour Rgb(float r, float g, float b, float a = 1.0f) { return Colour{b, g, r, a}; }

inline ::testing::AssertionResult NearRgb(const Colour& c, double r, double g, double b,
                                          double tolerance) {
    auto result = Near(c.r, r, tolerance);
    if (result) result = Near(c.g, g, tolerance);
    if (result) result = Near(c.b, b, tolerance);
    if (result) return result;
    return ::testing::AssertionFailure() << "(R, G, B) = (" << c.r << ", " << c.g << ", " << c.b
                                         << "), expected (" << r << ", " << g << ", " << b << ")";
}

inline bool SameBits(float a, float b) {
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}
inline bool SameBits(const Colour& a, const Colour& b) {
    return SameBits(a.b, b.b) && SameBits(a.g, b.g) && SameBits(a.r, b.r) && SameBits(a.a, b.a);
}

// Control values for tests: "RGB", no correction, windows starting at 0 with
// width 1 on every channel, fade 0.5, gamma 1, gain 1, no premultiplication.
inline SnapshotValues TestControls() {
    SnapshotValues v{};
    v[kSnapMaxRed] = v[kSnapMaxGreen] = v[kSnapMaxBlue] = 1.0;
    v[kSnapFadeRed] = 0.5;
    v[kSnapGammaAlpha] = 1.0;
    v[kSnapMultAlpha] = 1.0;
    return v;
}

}  // namespace keying::test
