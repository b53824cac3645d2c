#pragma once

// Conversions between RGB and the working colour spaces. Every stage that
// converts (staging, colour correction, key colour entry) uses exactly these
// functions, so a Value slider set from a colour holds the coordinate that the
// render computes for a pixel of that colour. They run several times per pixel
// and are therefore defined here, inline.
//
// Precision is part of the result: where a step is written with float
// operands it runs in single precision, where it widens to double it runs in
// double and is rounded to float when stored. -ffp-contract=off keeps the
// compiler from fusing any of the multiply-adds below.

#include <cmath>
#include <cstdint>

#include "keying/colour.h"

namespace keying {

/// Colour space modes as the rounded `Colorspace` value selects them.
inline constexpr std::int32_t kColourSpaceRgb = 0;
inline constexpr std::int32_t kColourSpaceHsv = 1;
inline constexpr std::int32_t kColourSpaceXyy = 2;  // "YXy"
inline constexpr std::int32_t kColourSpaceYuv = 3;
inline constexpr std::int32_t kColourSpaceYcbcr = 4;

/// 1/255 as the single-precision constant the 255-scale conversions scale back with.
inline constexpr float kInv255 = 0.003921569f;
/// 1/360 in single precision: degrees to a fraction of a turn.
inline constexpr float kInv360 = 0.0027777778f;
/// 1/60 in double: a fraction of a turn times 360 to a hue sector.
inline constexpr double kInv60 = 0.016666666666666666;

/// A working-space colour from its three channels: p1 in the red place, p2 in
/// the green place, p3 in the blue place, alpha 1.
constexpr Colour WorkingColour(float p1, float p2, float p3) noexcept {
    return Colour{p3, p2, p1, 1.0f};
}

/// RGB to HSV: H (red place) in 0..1 as a fraction of a turn, S (green place),
/// V = largest channel (blue place). A spread between largest and smallest
/// channel below 0.00001, or a largest channel not above 0, counts as grey
/// (H = S = 0). Nothing is clamped; NaN channels give a grey result whose V is
/// whichever channel the comparisons kept.
inline Colour RgbToHsv(const Colour& c) noexcept {
    const float r = c.r;
    const float g = c.g;
    const float b = c.b;
    float max = g > r ? g : r;
    if (b >= max) max = b;
    float min = g < r ? g : r;
    if (b <= min) min = b;

    Colour hsv{max, 0.0f, 0.0f, 1.0f};
    const double diff = static_cast<double>(max) - static_cast<double>(min);
    if (diff >= 0.00001 && max > 0.0f) {
        hsv.g = static_cast<float>(diff / max);
        double sector;
        if (r >= max) {
            sector = static_cast<double>(g - b) / diff;
        } else if (g >= max) {
            sector = static_cast<double>(b - r) / diff + 2.0;
        } else {
            sector = static_cast<double>(r - g) / diff + 4.0;
        }
        float degrees = static_cast<float>(sector) * 60.0f;
        // The red sector runs from -60 to 60 degrees; its negative half belongs
        // at the top of the turn.
        if (!(degrees >= 0.0f)) degrees = degrees + 360.0f;
        hsv.r = degrees * kInv360;
    }
    return hsv;
}

/// HSV to RGB. S not greater than 0 (zero, negative or NaN) gives grey (V, V, V).
/// H of 1 or more maps to hue 0 (no wrap beyond that); a hue below -1/6 lands in
/// the last sector's formula (V, p, q), as does a hue too far below zero for a
/// 32-bit sector number or a NaN hue (whose blue comes out NaN).
inline Colour HsvToRgb(const Colour& hsv) noexcept {
    const float s = hsv.g;
    const float v = hsv.b;
    if (!(s > 0.0f)) return Colour{v, v, v, 1.0f};

    double h = static_cast<double>(hsv.r) * 360.0;
    if (h >= 360.0) h = 0.0;
    h = h * kInv60;
    std::int32_t sector;
    double f;
    if (h > -2147483649.0 && h < 2147483648.0) {
        sector = static_cast<std::int32_t>(h);
        f = h - sector;
    } else {
        // Converting such a value to int is undefined; the hue is then treated
        // as any other sector outside 0..4, with the fraction it has.
        sector = -1;
        f = h - std::trunc(h);
    }
    const double sd = s;
    const double vd = v;
    const float p = static_cast<float>((1.0 - sd) * vd);
    const float q = static_cast<float>((1.0 - sd * f) * vd);
    const float t = static_cast<float>((1.0 - sd * (1.0 - f)) * vd);
    switch (sector) {
        case 0:
            return Colour{p, t, v, 1.0f};
        case 1:
            return Colour{p, v, q, 1.0f};
        case 2:
            return Colour{t, v, p, 1.0f};
        case 3:
            return Colour{v, q, p, 1.0f};
        case 4:
            return Colour{v, p, t, 1.0f};
        default:
            return Colour{q, p, v, 1.0f};
    }
}

/// RGB to xyY (sRGB primaries, D65): Y in the red place, x in the green place,
/// y in the blue place; single precision throughout. X + Y + Z not above 0
/// (black, negative colours, NaN) gives (0, 0, 0).
inline Colour RgbToXyy(const Colour& c) noexcept {
    const float x = 0.35758433f * c.g + 0.4123908f * c.r + 0.18048081f * c.b;
    const float y = 0.71516865f * c.g + 0.21263902f * c.r + 0.07219232f * c.b;
    const float z = 0.11919473f * c.g + 0.01933082f * c.r + 0.9505322f * c.b;
    const float sum = x + y + z;
    if (sum > 0.0f) {
        const float k = 1.0f / sum;
        return WorkingColour(y, k * x, k * y);
    }
    return WorkingColour(0.0f, 0.0f, 0.0f);
}

/// xyY to RGB, single precision throughout. Unless Y, x and y all exceed 1e-6
/// (NaN does not), X and Z are taken as 1e-6 with Y as given, so Y = 0 gives a
/// colour slightly off black rather than a division by zero.
inline Colour XyyToRgb(const Colour& c) noexcept {
    const float lum = c.r;
    const float x = c.g;
    const float y = c.b;
    float bigX = 0.000001f;
    float bigZ = 0.000001f;
    if (lum > 0.000001f && x > 0.000001f && y > 0.000001f) {
        bigX = x * lum / y;
        bigZ = bigX / x - bigX - lum;
    }
    Colour rgb;
    rgb.r = 3.24097f * bigX - 1.5373832f * lum - 0.4986108f * bigZ;
    rgb.g = 1.8759676f * lum - 0.96924376f * bigX + 0.04155508f * bigZ;
    rgb.b = 0.055630032f * bigX - 0.20397685f * lum + 1.0569714f * bigZ;
    return rgb;
}

/// RGB to YUV in unit scale: p1 luma, p2 = 0.713 (R - Y), p3 = 0.564 (B - Y).
/// The colour differences carry no offset and are signed. Unclamped.
inline Colour RgbToYuv(const Colour& c) noexcept {
    const float r = c.r * 255.0f;
    const float g = c.g * 255.0f;
    const float b = c.b * 255.0f;
    const float luma = static_cast<float>(0.587 * g + 0.299 * r + 0.114 * b);
    const float redDiff = static_cast<float>(static_cast<double>(r - luma) * 0.713);
    // The blue difference mirrors the red one, with the usual 0.564 weight.
    const float blueDiff = static_cast<float>(static_cast<double>(b - luma) * 0.564);
    return WorkingColour(luma * kInv255, redDiff * kInv255, blueDiff * kInv255);
}

/// YUV to RGB in unit scale. It reads p2 as the blue and p3 as the red
/// difference, while RgbToYuv puts the red difference in p2: the two are not
/// inverses except on greys. Unclamped.
inline Colour YuvToRgb(const Colour& c) noexcept {
    const float luma = c.r * 255.0f;
    const float u = c.g * 255.0f;
    const float v = c.b * 255.0f;
    Colour rgb;
    rgb.r = static_cast<float>(1.403 * v + luma) * kInv255;
    rgb.g = static_cast<float>(luma - 0.344 * u - 0.714 * v) * kInv255;
    rgb.b = static_cast<float>(1.77 * u + luma) * kInv255;
    return rgb;
}

/// RGB to full-range YCbCr in unit scale: Y, Cb, Cr with the chroma neutral at
/// 128/255 (not 0.5). Unclamped.
inline Colour RgbToYcbcr(const Colour& c) noexcept {
    const double r = c.r * 255.0;
    const double g = c.g * 255.0;
    const double b = c.b * 255.0;
    const float y = static_cast<float>(0.587 * g + 0.299 * r + 0.114 * b);
    const float cb = static_cast<float>(0.5 * b - (0.168736 * r + 0.331264 * g) + 128.0);
    const float cr = static_cast<float>(0.5 * r - 0.418688 * g - 0.081312 * b + 128.0);
    return WorkingColour(y * kInv255, cb * kInv255, cr * kInv255);
}

/// Full-range YCbCr (chroma neutral at 128/255) to RGB in unit scale. Unclamped.
inline Colour YcbcrToRgb(const Colour& c) noexcept {
    const double y = c.r * 255.0;
    const double cb = c.g * 255.0 - 128.0;
    const double cr = c.b * 255.0 - 128.0;
    Colour rgb;
    rgb.r = static_cast<float>(1.402 * cr + y) * kInv255;
    rgb.g = static_cast<float>(y - 0.34414 * cb - 0.71414 * cr) * kInv255;
    rgb.b = static_cast<float>(1.772 * cb + y) * kInv255;
    return rgb;
}

/// Distance between the hues (red place) of two HSV colours along the shorter
/// arc, at most 0.5 for hues within one turn. Each hue is first brought towards
/// 0..1 by one step (+1 when not >= 0, then -1 when above 1) and the wrapped hue
/// is written back into its colour, which is why both are taken by reference.
/// A NaN hue gives NaN.
double HueDistance(Colour& a, Colour& b) noexcept;

/// The colour in the working space of `mode`: 1 HSV, 2 xyY, 3 YUV, 4 YCbCr.
/// Mode 0 ("RGB") and every mode outside 0..4 return the colour itself.
inline Colour ToWorkingSpace(std::int32_t mode, const Colour& rgb) noexcept {
    switch (mode) {
        case kColourSpaceHsv:
            return RgbToHsv(rgb);
        case kColourSpaceXyy:
            return RgbToXyy(rgb);
        case kColourSpaceYuv:
            return RgbToYuv(rgb);
        case kColourSpaceYcbcr:
            return RgbToYcbcr(rgb);
        default:
            return rgb;
    }
}

/// The working-space colour of `mode` back in RGB, by the inverse conversions of
/// ToWorkingSpace. Mode 0 and every mode outside 0..4 return the colour itself.
inline Colour FromWorkingSpace(std::int32_t mode, const Colour& working) noexcept {
    switch (mode) {
        case kColourSpaceHsv:
            return HsvToRgb(working);
        case kColourSpaceXyy:
            return XyyToRgb(working);
        case kColourSpaceYuv:
            return YuvToRgb(working);
        case kColourSpaceYcbcr:
            return YcbcrToRgb(working);
        default:
            return working;
    }
}

}  // namespace keying
