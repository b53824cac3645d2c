#pragma once

// Colour correction of the fetched colour once the matte is known: a channel
// limited by the others, or the key colour subtracted, followed by a
// desaturation that grows as the matte falls.

#include <cstdint>

#include "keying/colour.h"
#include "keying/colour_spaces.h"
#include "keying/snapshot.h"

namespace keying {

/// Correction modes as the rounded `ColCor` value selects them.
inline constexpr std::int32_t kCorrectionNone = 0;
inline constexpr std::int32_t kCorrectionMine = 1;  // key subtraction
inline constexpr std::int32_t kCorrectionAverage = 2;
inline constexpr std::int32_t kCorrectionDoubleBlueAverage = 3;
inline constexpr std::int32_t kCorrectionDoubleRedAverage = 4;
inline constexpr std::int32_t kCorrectionDoubleGreenAverage = 5;
inline constexpr std::int32_t kCorrectionBlueLimit = 6;
inline constexpr std::int32_t kCorrectionRedLimit = 7;

/// The corrected colour of one pixel: red, green and blue corrected by the
/// snapshot's mode, CC amount, fade CC and desaturate amount; alpha is the
/// source's, untouched. Mode 0 and every index without a mode (8, 22 and -22
/// included) return the source unchanged, without desaturation.
/// `matte` is M after its invert; `fadeMatte` and `keyColour` are read by "mine"
/// only (callers of other modes may pass anything). Channels outside 0..1 go
/// through unclamped; in modes 1..7 a colour with largest channel not above 0 or
/// a spread below 1e-5 comes out grey at its largest channel.
inline Colour CorrectColour(const Snapshot& snapshot, const Colour& source, float matte,
                            double fadeMatte, const Colour& keyColour) noexcept;

// Definitions below: the per-pixel path inlines them into the render loop.

namespace detail {

// new = (1 - amount) * old + amount * reference, in double; amounts above 1
// overshoot the reference on purpose.
inline float Pull(float old, double reference, double amount) noexcept {
    return static_cast<float>((1.0 - amount) * old + amount * reference);
}

// Lowers the saturation by the keyed amount d times the desaturate amount.
// HsvToRgb turns a saturation that ends at or below 0 into grey at V, so a
// strong desaturation never inverts the hue.
inline Colour Desaturate(Colour hsv, float keyed, double amount) noexcept {
    hsv.g = static_cast<float>(hsv.g - keyed * amount);
    return HsvToRgb(hsv);
}

inline float SubtractKey(float channel, float key, float keyed, const Snapshot& s,
                         double fadeMatte) noexcept {
    const float k = key * keyed;
    const float c1 = static_cast<float>(channel - k * s.ccAmount * 5.0);
    return static_cast<float>(c1 - key * (1.0 - fadeMatte) * s.fadeCC * 5.0);
}

// "mine": only the hue of the subtracted colour is kept, so the key colour
// turns the pixel's hue while its saturation and brightness stay the source's.
inline Colour SubtractKeyColour(const Snapshot& s, const Colour& source, float keyed,
                                double fadeMatte, const Colour& key) noexcept {
    const Colour hsv0 = RgbToHsv(source);
    Colour subtracted;
    subtracted.r = SubtractKey(source.r, key.r, keyed, s, fadeMatte);
    subtracted.g = SubtractKey(source.g, key.g, keyed, s, fadeMatte);
    subtracted.b = SubtractKey(source.b, key.b, keyed, s, fadeMatte);
    Colour hsv = RgbToHsv(subtracted);
    hsv.g = hsv0.g;
    hsv.b = hsv0.b;
    return Desaturate(hsv, keyed, s.desaturate);
}

// Modes 2..5: the reference is a single-precision sum scaled in double, and
// the channel is pulled only where it rises above it.
inline Colour LimitByAverage(const Snapshot& s, const Colour& source, float keyed) noexcept {
    Colour c = source;
    float* changed = &c.g;
    double reference = 0.0;
    switch (s.colorCorrection) {
        case kCorrectionAverage:
            reference = (c.r + c.b) * 0.5;
            break;
        case kCorrectionDoubleBlueAverage:
            reference = (2.0f * c.b + c.r) * 0.333;
            break;
        case kCorrectionDoubleRedAverage:
            reference = (2.0f * c.r + c.b) * 0.333;
            break;
        default:
            reference = (2.0f * c.g + c.r) * 0.333;
            changed = &c.b;
            break;
    }
    if (*changed > reference) *changed = Pull(*changed, reference, s.ccAmount);
    return Desaturate(RgbToHsv(c), keyed, s.desaturate);
}

// Modes 6 and 7: green is pulled towards one channel, then the source's
// largest channel is restored so the limit does not darken the pixel.
inline Colour LimitByChannel(const Snapshot& s, const Colour& source, float keyed) noexcept {
    Colour c = source;
    const float reference = s.colorCorrection == kCorrectionBlueLimit ? c.b : c.r;
    if (c.g > reference) {
        const float sourceValue = RgbToHsv(source).b;
        c.g = Pull(c.g, reference, s.ccAmount);
        Colour hsv = RgbToHsv(c);
        hsv.b = sourceValue;
        c = HsvToRgb(hsv);
    }
    return Desaturate(RgbToHsv(c), keyed, s.desaturate);
}

}  // namespace detail

inline Colour CorrectColour(const Snapshot& snapshot, const Colour& source, float matte,
                            double fadeMatte, const Colour& keyColour) noexcept {
    const float keyed = 1.0f - matte;
    Colour out;
    switch (snapshot.colorCorrection) {
        case kCorrectionMine:
            out = detail::SubtractKeyColour(snapshot, source, keyed, fadeMatte, keyColour);
            break;
        case kCorrectionAverage:
        case kCorrectionDoubleBlueAverage:
        case kCorrectionDoubleRedAverage:
        case kCorrectionDoubleGreenAverage:
            out = detail::LimitByAverage(snapshot, source, keyed);
            break;
        case kCorrectionBlueLimit:
        case kCorrectionRedLimit:
            out = detail::LimitByChannel(snapshot, source, keyed);
            break;
        default:
            // "none" and indices without a mode (8, 22 and -22 among them) keep
            // the colour as fetched.
            return source;
    }
    out.a = source.a;
    return out;
}

}  // namespace keying
