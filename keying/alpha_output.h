#pragma once

// Alpha output: optional premultiplication by the matte and the background
// blend of the matte with the source alpha.

#include <cstdint>

#include "keying/colour.h"
#include "keying/snapshot.h"

namespace keying {

/// Background blend modes as the rounded `BGAlphaBlend` value selects them.
inline constexpr std::int32_t kBlendReplace = 0;
inline constexpr std::int32_t kBlendMultiply = 1;
inline constexpr std::int32_t kBlendAdd = 2;
inline constexpr std::int32_t kBlendSubstract = 3;
inline constexpr std::int32_t kBlendPassThrough = 4;

/// The output alpha from the matte M and the source alpha Q (the fetched alpha
/// widened to double): 0 "Replace" M, 1 "Multiply" M*Q, 2 "Add" M+Q,
/// 3 "Substract" Q-M (in double, rounded to float), 4 "PassThrough" Q; any
/// other mode is "Replace". Nothing is clamped; NaN goes through.
inline float BlendAlpha(std::int32_t mode, float matte, double sourceAlpha) noexcept;

/// The four values to store: red, green and blue of the corrected colour, each
/// multiplied by the matte in single precision when the snapshot's alpha
/// multiply is exactly 1.0 (any other value, 0.999 included, leaves them), and
/// the blended alpha. The colour is never multiplied again by the blend.
inline Colour AlphaOutput(const Snapshot& snapshot, const Colour& corrected, float matte,
                          float sourceAlpha) noexcept;

// Definitions below: the per-pixel path inlines them into the render loop.

inline float BlendAlpha(std::int32_t mode, float matte, double sourceAlpha) noexcept {
    switch (mode) {
        case kBlendMultiply:
            return static_cast<float>(matte * sourceAlpha);
        case kBlendAdd:
            return static_cast<float>(matte + sourceAlpha);
        case kBlendSubstract:
            return static_cast<float>(sourceAlpha - matte);
        case kBlendPassThrough:
            return static_cast<float>(sourceAlpha);
        default:
            return matte;
    }
}

inline Colour AlphaOutput(const Snapshot& snapshot, const Colour& corrected, float matte,
                          float sourceAlpha) noexcept {
    Colour out = corrected;
    // The checkbox stores exactly 1.0 when on; a fraction set from a script is
    // not a request to premultiply.
    if (snapshot.alphaMultiply == 1.0) {
        out.r = corrected.r * matte;
        out.g = corrected.g * matte;
        out.b = corrected.b * matte;
    }
    out.a = BlendAlpha(snapshot.bgAlphaBlend, matte, sourceAlpha);
    return out;
}

}  // namespace keying
