#pragma once

// The key signal: where the staged colour lies in the three key windows,
// turned into the matte (the pixel's alpha before the background blend) and
// the fade matte (read only by the "mine" colour correction).

#include <array>
#include <cmath>
#include <cstdint>

#include "keying/colour.h"
#include "keying/det_math.h"
#include "keying/snapshot.h"
#include "keying/staging.h"

namespace keying {

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kHalfPi = 1.5707963267948966;

/// Falloff curves as the rounded `keyfall` value selects them; any other value
/// leaves the channel terms as they are.
inline constexpr std::int32_t kFalloffLinear = 0;
inline constexpr std::int32_t kFalloffCosine = 1;
inline constexpr std::int32_t kFalloffHalfCos = 2;
inline constexpr std::int32_t kFalloffBCos = 3;

/// Keyers as the rounded `keyalgo` value selects them; every value other than
/// kKeyerDist works as "MIN".
inline constexpr std::int32_t kKeyerMin = 0;
inline constexpr std::int32_t kKeyerDist = 1;

/// The two mattes of one pixel.
struct Mattes {
    float matte;       // 0..1 (sign of zero kept); inverted when the invert flag is 1
    double fadeMatte;  // 0..1; inverted when the invert flag is 1
};

/// Matte and fade matte of one staged colour (p1..p3 in the red, green and blue
/// places) against the state's window starts and widths, shaped by the
/// snapshot's fade, fade CC, gamma, offset, gain and invert flag.
/// A gamma of exactly 0, or NaN, skips the gamma step. Anything that turns NaN on
/// the way (NaN channels or controls, a negative signal under a fractional gamma,
/// infinite cosines) ends as matte 0 and fade matte 1, before the invert; "MIN"
/// passes a NaN channel term on rather than skipping it, so that holds for it too.
/// Negative widths are used as they come.
inline Mattes KeySignal(const Colour& staged, const StagingState& state, const Snapshot& snapshot,
                        std::int32_t falloffMode, std::int32_t keyerMode) noexcept;

/// The matte of KeySignal alone, bit for bit the same, without the cost of the
/// fade matte, for pixels whose correction does not read it.
inline float KeyMatte(const Colour& staged, const StagingState& state, const Snapshot& snapshot,
                      std::int32_t falloffMode, std::int32_t keyerMode) noexcept;

// Definitions below: the per-pixel path inlines them into the render loop.

namespace detail {

inline double MatteFalloff(std::int32_t mode, double x) noexcept {
    switch (mode) {
        case kFalloffLinear:
            return 1.0 - x;
        case kFalloffCosine:
            return Cos(kPi * x);
        case kFalloffHalfCos:
            return Cos(kHalfPi * x);
        case kFalloffBCos:
            return (Cos(kPi * x) + 1.0) * 0.5;
        default:
            return x;
    }
}

// The fade matte has its own column: "HalfCos" uses the full pi here and
// "BCos" no pi at all. The fade matte's look depends on exactly these curves.
inline double FadeFalloff(std::int32_t mode, double y) noexcept {
    switch (mode) {
        case kFalloffLinear:
            return 1.0 - y;
        case kFalloffCosine:
        case kFalloffHalfCos:
            return Cos(kPi * y);
        case kFalloffBCos:
            return (Cos(y) + 1.0) * 0.5;
        default:
            return y;
    }
}

// A NaN term wins, so that a NaN channel cannot be hidden behind the others
// and always ends as the clamps' NaN result.
inline double Smaller(double a, double b) noexcept { return (std::isnan(a) || a < b) ? a : b; }

inline double Combine(std::int32_t keyerMode, const std::array<double, 3>& t) noexcept {
    if (keyerMode == kKeyerDist) {
        const double a = 1.0 - t[1];
        const double b = 1.0 - t[0];
        const double c = 1.0 - t[2];
        const double sum = a * a + b * b + c * c;
        return 1.0 - static_cast<double>(std::sqrt(static_cast<float>(sum)));
    }
    return Smaller(Smaller(t[0], t[1]), t[2]);
}

inline bool GammaApplies(double gamma) noexcept { return gamma != 0.0 && !std::isnan(gamma); }

template <bool kWithFade>
Mattes ComputeMattes(const Colour& staged, const StagingState& state, const Snapshot& snapshot,
                     std::int32_t falloffMode, std::int32_t keyerMode) noexcept {
    const std::array<float, 3> channels{staged.r, staged.g, staged.b};
    const double fadeFactor = 1.0 - 5.0 * snapshot.fadeCC;
    std::array<double, 3> x{};
    std::array<double, 3> y{};
    for (int c = 0; c < 3; ++c) {
        const float e = static_cast<float>(channels[c] - state.windowStart[c]);
        const double width = state.windowWidth[c];
        // Half the window width is subtracted, not 0.5: the window's centre in
        // the measure's units depends on the width itself.
        const double d = std::fabs(e / width - width * 0.5);
        x[c] = MatteFalloff(falloffMode, d * snapshot.fade);
        if constexpr (kWithFade) y[c] = FadeFalloff(falloffMode, d * fadeFactor);
    }

    float p = 1.0f - static_cast<float>(Combine(keyerMode, x));
    // The fade matte starts from -n, not 1 - n.
    double fadeSignal = 0.0;
    if constexpr (kWithFade) fadeSignal = -Combine(keyerMode, y);

    if (GammaApplies(snapshot.gamma)) {
        const double exponent = 1.0 / snapshot.gamma;
        if constexpr (kWithFade) fadeSignal = static_cast<float>(fadeSignal);
        // A power of exactly 1 returns its base (the default gamma), so the call
        // is skipped; the fade signal keeps its rounding to float either way.
        if (exponent != 1.0) {
            p = static_cast<float>(Pow(static_cast<double>(p), exponent));
            if constexpr (kWithFade) fadeSignal = Pow(fadeSignal, exponent);
        }
    }

    const float shifted = static_cast<float>(p + snapshot.offset);
    float matte = static_cast<float>(shifted * snapshot.gain);
    // NaN fails both tests and becomes 0.
    if (matte > 1.0f) {
        matte = 1.0f;
    } else if (!(matte >= 0.0f)) {
        matte = 0.0f;
    }

    double fade = 0.0;
    if constexpr (kWithFade) {
        fade = (fadeSignal + snapshot.offset) * snapshot.gain;
        fade = fade < 1.0 ? fade : 1.0;  // NaN becomes 1
        fade = fade < 0.0 ? 0.0 : fade;
    }

    if (snapshot.invertAlpha == 1) {
        matte = 1.0f - matte;
        if constexpr (kWithFade) fade = 1.0 - fade;
    }
    return Mattes{matte, fade};
}

}  // namespace detail

inline Mattes KeySignal(const Colour& staged, const StagingState& state, const Snapshot& snapshot,
                        std::int32_t falloffMode, std::int32_t keyerMode) noexcept {
    return detail::ComputeMattes<true>(staged, state, snapshot, falloffMode, keyerMode);
}

inline float KeyMatte(const Colour& staged, const StagingState& state, const Snapshot& snapshot,
                      std::int32_t falloffMode, std::int32_t keyerMode) noexcept {
    return detail::ComputeMattes<false>(staged, state, snapshot, falloffMode, keyerMode).matte;
}

}  // namespace keying
