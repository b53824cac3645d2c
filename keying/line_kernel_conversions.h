#pragma once

// The line kernel's colour-space conversions, one block at a time: the block
// stages (line_kernel_block_stages.h) and the colour corrections
// (line_kernel_correction.h) convert a block's lanes with them.

#include <cstdint>

#include "keying/colour_spaces.h"
#include "keying/line_kernel_lanes.h"

namespace keying::VESKAR_LINE_NS {

namespace {

// ---- Colour-space conversions, one block at a time -------------------------

// Forward conversions take red, green, blue and give p1, p2, p3; inverse ones
// the other way round. Outputs never alias inputs.
using Convert = void (*)(const float* VESKAR_RESTRICT in1, const float* VESKAR_RESTRICT in2,
                         const float* VESKAR_RESTRICT in3, float* VESKAR_RESTRICT out1,
                         float* VESKAR_RESTRICT out2, float* VESKAR_RESTRICT out3) noexcept;

// ---- HSV ---------------------------------------------------------------------

// The largest and smallest channel and their difference in double, as the
// per-pixel conversion takes them.
struct HsvExtremes {
    float max;
    float min;
    double diff;
    bool chromatic;
};

inline HsvExtremes Extremes(float r, float g, float b) noexcept {
    HsvExtremes x;
    x.max = g > r ? g : r;
    x.max = b >= x.max ? b : x.max;
    x.min = g < r ? g : r;
    x.min = b <= x.min ? b : x.min;
    x.diff = static_cast<double>(x.max) - static_cast<double>(x.min);
    x.chromatic = (x.diff >= 0.00001) & (x.max > 0.0f);
    return x;
}

// The sector's degrees as the hue stores them.
inline float HueOfSector(float sector) noexcept {
    float degrees = sector * 60.0f;
    degrees = degrees >= 0.0f ? degrees : degrees + 360.0f;
    return degrees * kInv360;
}

// RGB to HSV over a block, of the parts asked for: the hue (kHue) and the
// saturation and value (kSaturation); the others are not written.
template <bool kHue, bool kSaturation>
void HsvParts(const float* VESKAR_RESTRICT red, const float* VESKAR_RESTRICT green,
              const float* VESKAR_RESTRICT blue, float* VESKAR_RESTRICT hue,
              float* VESKAR_RESTRICT saturation, float* VESKAR_RESTRICT value) noexcept {
    // The spread is chosen before it is divided, in a loop of its own: in one
    // loop the compiler divides each of the three candidates and picks the
    // quotient.
    float spread[kBlock];
    if constexpr (kHue) {
        for (int i = 0; i < kBlock; ++i) {
            const float r = red[i];
            const float g = green[i];
            const float b = blue[i];
            const HsvExtremes x = Extremes(r, g, b);
            spread[i] = r >= x.max ? g - b : (g >= x.max ? b - r : r - g);
        }
    }
    for (int i = 0; i < kBlock; ++i) {
        const float r = red[i];
        const float g = green[i];
        const HsvExtremes x = Extremes(r, g, blue[i]);
        if constexpr (kHue) {
            const bool redTop = r >= x.max;
            const bool greenTop = g >= x.max;
            const double part = static_cast<double>(spread[i]) / x.diff;
            // The red sector adds nothing: not even 0.0, which would turn -0 into +0.
            const double sector = redTop ? part : part + (greenTop ? 2.0 : 4.0);
            hue[i] = x.chromatic ? HueOfSector(static_cast<float>(sector)) : 0.0f;
        }
        if constexpr (kSaturation) {
            saturation[i] = x.chromatic ? static_cast<float>(x.diff / x.max) : 0.0f;
            value[i] = x.max;
        }
    }
}

void ToHsv(const float* VESKAR_RESTRICT red, const float* VESKAR_RESTRICT green,
           const float* VESKAR_RESTRICT blue, float* VESKAR_RESTRICT hue,
           float* VESKAR_RESTRICT saturation, float* VESKAR_RESTRICT value) noexcept {
    HsvParts<true, true>(red, green, blue, hue, saturation, value);
}

// HSV to RGB over a block; with kDesaturate the saturation is first lowered
// by keyed times amount in double, as the corrections' desaturation does.
template <bool kDesaturate>
void FromHsvLanes(const float* VESKAR_RESTRICT hue, const float* VESKAR_RESTRICT saturation,
                  const float* VESKAR_RESTRICT value, const float* VESKAR_RESTRICT keyed,
                  double amount, float* VESKAR_RESTRICT red, float* VESKAR_RESTRICT green,
                  float* VESKAR_RESTRICT blue) noexcept {
    for (int i = 0; i < kBlock; ++i) {
        float s = saturation[i];
        if constexpr (kDesaturate) s = static_cast<float>(s - keyed[i] * amount);
        const float v = value[i];
        double h = static_cast<double>(hue[i]) * 360.0;
        h = h >= 360.0 ? 0.0 : h;
        h = h * kInv60;
        // The sector is h truncated. Its sign when zero (-0 for hues from -0
        // to just below 0) never reaches the colour: the fraction's sign when
        // zero only meets 1 - s * f and 1 - s * (1 - f), both 1 either way.
        const double whole = TowardZero(h);
        const double f = h - whole;
        const double sd = s;
        const double vd = v;
        const float p = static_cast<float>((1.0 - sd) * vd);
        const float q = static_cast<float>((1.0 - sd * f) * vd);
        const float t = static_cast<float>((1.0 - sd * (1.0 - f)) * vd);
        // The sector number in single precision, sixteen lanes to a vector: an
        // integer converts to 0..4 only from 0..4, and NaN stays NaN. Sectors
        // 5, negative and out of range give (v, p, q); at most one of the
        // sector tests holds, so their order does not matter.
        const float number = static_cast<float>(whole);
        float r = v;
        float g = p;
        float b = q;
        const auto sector = [&](float here, float sr, float sg, float sb) {
            const bool at = number == here;
            r = at ? sr : r;
            g = at ? sg : g;
            b = at ? sb : b;
        };
        sector(0.0f, v, t, p);
        sector(1.0f, q, v, p);
        sector(2.0f, p, v, t);
        sector(3.0f, p, q, v);
        sector(4.0f, t, p, v);
        const bool grey = !(s > 0.0f);
        red[i] = grey ? v : r;
        green[i] = grey ? v : g;
        blue[i] = grey ? v : b;
    }
}

void FromHsv(const float* VESKAR_RESTRICT hue, const float* VESKAR_RESTRICT saturation,
             const float* VESKAR_RESTRICT value, float* VESKAR_RESTRICT red,
             float* VESKAR_RESTRICT green, float* VESKAR_RESTRICT blue) noexcept {
    FromHsvLanes<false>(hue, saturation, value, nullptr, 0.0, red, green, blue);
}

void ToXyy(const float* VESKAR_RESTRICT red, const float* VESKAR_RESTRICT green,
           const float* VESKAR_RESTRICT blue, float* VESKAR_RESTRICT p1, float* VESKAR_RESTRICT p2,
           float* VESKAR_RESTRICT p3) noexcept {
    for (int i = 0; i < kBlock; ++i) {
        const float r = red[i];
        const float g = green[i];
        const float b = blue[i];
        const float x = 0.35758433f * g + 0.4123908f * r + 0.18048081f * b;
        const float y = 0.71516865f * g + 0.21263902f * r + 0.07219232f * b;
        const float z = 0.11919473f * g + 0.01933082f * r + 0.9505322f * b;
        const float sum = x + y + z;
        const bool positive = sum > 0.0f;
        const float k = 1.0f / sum;
        p1[i] = positive ? y : 0.0f;
        p2[i] = positive ? k * x : 0.0f;
        p3[i] = positive ? k * y : 0.0f;
    }
}

void FromXyy(const float* VESKAR_RESTRICT p1, const float* VESKAR_RESTRICT p2,
             const float* VESKAR_RESTRICT p3, float* VESKAR_RESTRICT red,
             float* VESKAR_RESTRICT green, float* VESKAR_RESTRICT blue) noexcept {
    for (int i = 0; i < kBlock; ++i) {
        const float lum = p1[i];
        const float x = p2[i];
        const float y = p3[i];
        const bool usable = lum > 0.000001f && x > 0.000001f && y > 0.000001f;
        const float computedX = x * lum / y;
        const float computedZ = computedX / x - computedX - lum;
        const float bigX = usable ? computedX : 0.000001f;
        const float bigZ = usable ? computedZ : 0.000001f;
        red[i] = 3.24097f * bigX - 1.5373832f * lum - 0.4986108f * bigZ;
        green[i] = 1.8759676f * lum - 0.96924376f * bigX + 0.04155508f * bigZ;
        blue[i] = 0.055630032f * bigX - 0.20397685f * lum + 1.0569714f * bigZ;
    }
}

void ToYuv(const float* VESKAR_RESTRICT red, const float* VESKAR_RESTRICT green,
           const float* VESKAR_RESTRICT blue, float* VESKAR_RESTRICT p1, float* VESKAR_RESTRICT p2,
           float* VESKAR_RESTRICT p3) noexcept {
    for (int i = 0; i < kBlock; ++i) {
        const float r = red[i] * 255.0f;
        const float g = green[i] * 255.0f;
        const float b = blue[i] * 255.0f;
        const float luma = static_cast<float>(0.587 * g + 0.299 * r + 0.114 * b);
        const float redDiff = static_cast<float>(static_cast<double>(r - luma) * 0.713);
        const float blueDiff = static_cast<float>(static_cast<double>(b - luma) * 0.564);
        p1[i] = luma * kInv255;
        p2[i] = redDiff * kInv255;
        p3[i] = blueDiff * kInv255;
    }
}

void FromYuv(const float* VESKAR_RESTRICT p1, const float* VESKAR_RESTRICT p2,
             const float* VESKAR_RESTRICT p3, float* VESKAR_RESTRICT red,
             float* VESKAR_RESTRICT green, float* VESKAR_RESTRICT blue) noexcept {
    for (int i = 0; i < kBlock; ++i) {
        const float luma = p1[i] * 255.0f;
        const float u = p2[i] * 255.0f;
        const float v = p3[i] * 255.0f;
        red[i] = static_cast<float>(1.403 * v + luma) * kInv255;
        green[i] = static_cast<float>(luma - 0.344 * u - 0.714 * v) * kInv255;
        blue[i] = static_cast<float>(1.77 * u + luma) * kInv255;
    }
}

void ToYcbcr(const float* VESKAR_RESTRICT red, const float* VESKAR_RESTRICT green,
             const float* VESKAR_RESTRICT blue, float* VESKAR_RESTRICT p1,
             float* VESKAR_RESTRICT p2, float* VESKAR_RESTRICT p3) noexcept {
    for (int i = 0; i < kBlock; ++i) {
        const double r = red[i] * 255.0;
        const double g = green[i] * 255.0;
        const double b = blue[i] * 255.0;
        const float y = static_cast<float>(0.587 * g + 0.299 * r + 0.114 * b);
        const float cb = static_cast<float>(0.5 * b - (0.168736 * r + 0.331264 * g) + 128.0);
        const float cr = static_cast<float>(0.5 * r - 0.418688 * g - 0.081312 * b + 128.0);
        p1[i] = y * kInv255;
        p2[i] = cb * kInv255;
        p3[i] = cr * kInv255;
    }
}

void FromYcbcr(const float* VESKAR_RESTRICT p1, const float* VESKAR_RESTRICT p2,
               const float* VESKAR_RESTRICT p3, float* VESKAR_RESTRICT red,
               float* VESKAR_RESTRICT green, float* VESKAR_RESTRICT blue) noexcept {
    for (int i = 0; i < kBlock; ++i) {
        const double y = p1[i] * 255.0;
        const double cb = p2[i] * 255.0 - 128.0;
        const double cr = p3[i] * 255.0 - 128.0;
        red[i] = static_cast<float>(1.402 * cr + y) * kInv255;
        green[i] = static_cast<float>(y - 0.34414 * cb - 0.71414 * cr) * kInv255;
        blue[i] = static_cast<float>(1.772 * cb + y) * kInv255;
    }
}

// Modes outside 1..4 ("RGB" and values without a space) convert nothing.
Convert ForwardFor(std::int32_t mode) noexcept {
    switch (mode) {
        case kColourSpaceHsv:
            return &ToHsv;
        case kColourSpaceXyy:
            return &ToXyy;
        case kColourSpaceYuv:
            return &ToYuv;
        case kColourSpaceYcbcr:
            return &ToYcbcr;
        default:
            return nullptr;
    }
}

Convert InverseFor(std::int32_t mode) noexcept {
    switch (mode) {
        case kColourSpaceHsv:
            return &FromHsv;
        case kColourSpaceXyy:
            return &FromXyy;
        case kColourSpaceYuv:
            return &FromYuv;
        case kColourSpaceYcbcr:
            return &FromYcbcr;
        default:
            return nullptr;
    }
}

}  // namespace

}  // namespace keying::VESKAR_LINE_NS
