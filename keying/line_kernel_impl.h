// The line kernel's body, compiled once per instruction set: the including
// file defines VESKAR_LINE_NS and the build gives it that set's options.
//
// Everything here has internal linkage except KeyLine, and nothing calls the
// inline per-pixel functions of the other keying headers (only their constants
// are used): a function shared with code built for another set could reach a
// baseline caller in its wider-instruction copy.
//
// A line is keyed in blocks of kBlock pixels held channel by channel. Each
// stage is a loop over the block that the compiler runs on several lanes at
// once. The operations, their order and their precision are those of the
// per-pixel stages, written as selections where those branch: both sides are
// computed and each lane takes the side its own test picks, which is the value
// the branch would have produced. cos and pow stay calls into the C library,
// one per lane, so they return exactly what the per-pixel stages get. The
// commonest plans skip the blocks: see "The plain line" below.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "keying/alpha_output.h"
#include "keying/colour_correction.h"
#include "keying/colour_spaces.h"
#include "keying/key_signal.h"
#include "keying/line_kernel_targets.h"

#ifndef VESKAR_LINE_NS
#error "VESKAR_LINE_NS names the instruction set this kernel is built for"
#endif

namespace keying::VESKAR_LINE_NS {

namespace {

constexpr int kBlock = 64;
constexpr int kRecordFloats = 4;

#define VESKAR_RESTRICT __restrict
// The plain line's steps are one loop body: a call would reload its constants.
#if defined(__GNUC__)
#define VESKAR_INLINE inline __attribute__((always_inline))
#else
#define VESKAR_INLINE inline
#endif

using Lane = float[kBlock];
using WideLane = double[kBlock];

// trunc(v). With SSE4.1 the instruction does it; below that, the nearest
// integer of |v| is found by adding and removing 2^52, stepped down where it
// rounded up, and given v's sign (so -0.5 gives -0.0 as trunc does). Values
// of 2^52 and more, infinities and NaN are their own truncation.
inline double TowardZero(double v) noexcept {
#if defined(__SSE4_1__)
    return std::trunc(v);
#else
    constexpr double kTwoTo52 = 4503599627370496.0;
    const double magnitude = std::fabs(v);
    double whole = (magnitude + kTwoTo52) - kTwoTo52;
    whole = whole > magnitude ? whole - 1.0 : whole;
    whole = std::copysign(whole, v);
    return magnitude < kTwoTo52 ? whole : v;
#endif
}

// ---- Colour-space conversions, one block at a time -------------------------

// Forward conversions take red, green, blue and give p1, p2, p3; inverse ones
// the other way round. Outputs never alias inputs.
using Convert = void (*)(const float* VESKAR_RESTRICT in1, const float* VESKAR_RESTRICT in2,
                         const float* VESKAR_RESTRICT in3, float* VESKAR_RESTRICT out1,
                         float* VESKAR_RESTRICT out2, float* VESKAR_RESTRICT out3) noexcept;

void ToHsv(const float* VESKAR_RESTRICT red, const float* VESKAR_RESTRICT green,
           const float* VESKAR_RESTRICT blue, float* VESKAR_RESTRICT hue,
           float* VESKAR_RESTRICT saturation, float* VESKAR_RESTRICT value) noexcept {
    for (int i = 0; i < kBlock; ++i) {
        const float r = red[i];
        const float g = green[i];
        const float b = blue[i];
        float max = g > r ? g : r;
        max = b >= max ? b : max;
        float min = g < r ? g : r;
        min = b <= min ? b : min;
        const double diff = static_cast<double>(max) - static_cast<double>(min);
        const bool chromatic = diff >= 0.00001 && max > 0.0f;
        const bool redTop = r >= max;
        const bool greenTop = g >= max;
        const float spread = redTop ? g - b : (greenTop ? b - r : r - g);
        const double part = static_cast<double>(spread) / diff;
        // The red sector adds nothing: not even 0.0, which would turn -0 into +0.
        const double sector = redTop ? part : part + (greenTop ? 2.0 : 4.0);
        float degrees = static_cast<float>(sector) * 60.0f;
        degrees = degrees >= 0.0f ? degrees : degrees + 360.0f;
        hue[i] = chromatic ? degrees * kInv360 : 0.0f;
        saturation[i] = chromatic ? static_cast<float>(diff / max) : 0.0f;
        value[i] = max;
    }
}

void FromHsv(const float* VESKAR_RESTRICT hue, const float* VESKAR_RESTRICT saturation,
             const float* VESKAR_RESTRICT value, float* VESKAR_RESTRICT red,
             float* VESKAR_RESTRICT green, float* VESKAR_RESTRICT blue) noexcept {
    for (int i = 0; i < kBlock; ++i) {
        const float s = saturation[i];
        const float v = value[i];
        double h = static_cast<double>(hue[i]) * 360.0;
        h = h >= 360.0 ? 0.0 : h;
        h = h * kInv60;
        // The sector is h truncated; its fraction is taken from the truncation
        // as an integer would give it back, +0 rather than -0.
        const double whole = TowardZero(h);
        const double f = h - (whole + 0.0);
        const double sd = s;
        const double vd = v;
        const float p = static_cast<float>((1.0 - sd) * vd);
        const float q = static_cast<float>((1.0 - sd * f) * vd);
        const float t = static_cast<float>((1.0 - sd * (1.0 - f)) * vd);
        // Sectors 5, negative and out of range: (v, p, q); at most one of the
        // sector tests holds, so their order does not matter.
        float r = v;
        float g = p;
        float b = q;
        const auto sector = [&](double number, float sr, float sg, float sb) {
            const bool here = whole == number;
            r = here ? sr : r;
            g = here ? sg : g;
            b = here ? sb : b;
        };
        sector(0.0, v, t, p);
        sector(1.0, q, v, p);
        sector(2.0, p, v, t);
        sector(3.0, p, q, v);
        sector(4.0, t, p, v);
        const bool grey = !(s > 0.0f);
        red[i] = grey ? v : r;
        green[i] = grey ? v : g;
        blue[i] = grey ? v : b;
    }
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

// ---- Key signal ------------------------------------------------------------

// The falloff curve of one channel term, in place. The matte's and the fade
// matte's curves differ for "HalfCos" and "BCos".
void MatteFalloff(std::int32_t mode, double* VESKAR_RESTRICT t) noexcept {
    switch (mode) {
        case kFalloffLinear:
            for (int i = 0; i < kBlock; ++i) t[i] = 1.0 - t[i];
            break;
        case kFalloffCosine:
            for (int i = 0; i < kBlock; ++i) t[i] = std::cos(kPi * t[i]);
            break;
        case kFalloffHalfCos:
            for (int i = 0; i < kBlock; ++i) t[i] = std::cos(kHalfPi * t[i]);
            break;
        case kFalloffBCos:
            for (int i = 0; i < kBlock; ++i) t[i] = (std::cos(kPi * t[i]) + 1.0) * 0.5;
            break;
        default:
            break;
    }
}

void FadeFalloff(std::int32_t mode, double* VESKAR_RESTRICT t) noexcept {
    switch (mode) {
        case kFalloffLinear:
            for (int i = 0; i < kBlock; ++i) t[i] = 1.0 - t[i];
            break;
        case kFalloffCosine:
        case kFalloffHalfCos:
            for (int i = 0; i < kBlock; ++i) t[i] = std::cos(kPi * t[i]);
            break;
        case kFalloffBCos:
            for (int i = 0; i < kBlock; ++i) t[i] = (std::cos(t[i]) + 1.0) * 0.5;
            break;
        default:
            break;
    }
}

// The keyer: m (or n) from the three terms. "MIN" lets a NaN term win.
void Combine(bool dist, const double* VESKAR_RESTRICT t1, const double* VESKAR_RESTRICT t2,
             const double* VESKAR_RESTRICT t3, double* VESKAR_RESTRICT combined) noexcept {
    if (dist) {
        for (int i = 0; i < kBlock; ++i) {
            const double a = 1.0 - t2[i];
            const double b = 1.0 - t1[i];
            const double c = 1.0 - t3[i];
            const double sum = a * a + b * b + c * c;
            combined[i] = 1.0 - static_cast<double>(std::sqrt(static_cast<float>(sum)));
        }
    } else {
        for (int i = 0; i < kBlock; ++i) {
            const double a = t1[i];
            const double b = t2[i];
            const double c = t3[i];
            // The smaller, where a NaN term wins: a NaN a is kept, a NaN b
            // fails a < b and is taken.
            double ab = a < b ? a : b;
            ab = a != a ? a : ab;
            double abc = ab < c ? ab : c;
            abc = ab != ab ? ab : abc;
            combined[i] = abc;
        }
    }
}

// Whether a falloff mode leaves the term as it is (values naming no curve).
inline bool FalloffKeepsTerm(std::int32_t mode) noexcept {
    return mode != kFalloffLinear && mode != kFalloffCosine && mode != kFalloffHalfCos &&
           mode != kFalloffBCos;
}

// ---- The line --------------------------------------------------------------

enum class Correction { kNone, kMine, kAverage, kLimit };

// Everything fixed for the line, taken once from the job.
struct LinePlan {
    const Snapshot* s;
    Convert forward;
    Convert inverse;
    std::int32_t falloff;
    bool dist;
    Correction correction;
    bool withFade;  // only "mine" reads the fade matte
    bool sampling;
    double width[3];
    double halfWidth[3];
    double fadeFactor;
    bool gamma;
    bool power;  // a power other than exactly 1 is taken
    double exponent;
    float startKeyColour[3];  // red, green, blue
};

struct Block {
    Lane r, g, b, a;       // the source as fetched
    Lane staged[3];        // p1..p3 of the source
    Lane sample[3];        // red, green, blue of the key sample
    Lane sampleStaged[3];  // the key sample in the working space
    bool hasSample[kBlock];
    WideLane windowStart[3];  // per pixel, while sampling
    Lane keyValue[3];         // per pixel, while sampling
    Lane keyColour[3];        // red, green, blue, per pixel ("mine" while sampling)
    WideLane term[3];
    WideLane fadeTerm[3];
    WideLane m;
    WideLane n;
    Lane matte;
    WideLane fadeMatte;
    Lane keyed;
    Lane hsv[3];
    Lane hsv2[3];
    Lane work[3];
    Lane out[4];  // red, green, blue, alpha
};

// State carried from pixel to pixel of the line by key samples.
struct Carry {
    double windowStart[3];
    float keyValue[3];
};

void Load(const float* VESKAR_RESTRICT records, int count, Block& k) noexcept {
    for (int i = 0; i < count; ++i) {
        k.b[i] = records[kRecordFloats * i + 0];
        k.g[i] = records[kRecordFloats * i + 1];
        k.r[i] = records[kRecordFloats * i + 2];
        k.a[i] = records[kRecordFloats * i + 3];
    }
    for (int i = count; i < kBlock; ++i) {
        k.b[i] = k.g[i] = k.r[i] = k.a[i] = 0.0f;
    }
}

// The keyed lanes: red, green, blue and alpha, each either a lane of the
// block's output or one it passes on unchanged (the source's colour, the matte).
struct Keyed {
    const float* channel[4];
};

void Store(const Keyed& keyed, int count, float* VESKAR_RESTRICT records) noexcept {
    const float* VESKAR_RESTRICT red = keyed.channel[0];
    const float* VESKAR_RESTRICT green = keyed.channel[1];
    const float* VESKAR_RESTRICT blue = keyed.channel[2];
    const float* VESKAR_RESTRICT alpha = keyed.channel[3];
    for (int i = 0; i < count; ++i) {
        records[kRecordFloats * i + 0] = blue[i];
        records[kRecordFloats * i + 1] = green[i];
        records[kRecordFloats * i + 2] = red[i];
        records[kRecordFloats * i + 3] = alpha[i];
    }
}

// trunc(x * scale) as a key position, -1 where that has no 32-bit int.
inline std::int32_t KeyPosition(std::int32_t x, double scale) noexcept {
    const double product = static_cast<double>(x) * scale;
    if (product > -2147483649.0 && product < 2147483648.0)
        return static_cast<std::int32_t>(product);
    return -1;
}

// Key samples of the block's pixels, staged, and the windows and key values
// each pixel keys with: a pixel with a sample moves them, one without keeps
// those of the pixel before.
void SampleKey(const LineJob& job, const LinePlan& plan, std::int32_t x0, int count, Block& k,
               Carry& carry) noexcept {
    for (int i = 0; i < kBlock; ++i) {
        const std::int32_t kx = i < count ? KeyPosition(x0 + i, job.keyScaleX) : -1;
        const bool has = kx >= 0 && kx < job.keyWidth;
        k.hasSample[i] = has;
        const float* record =
            has ? job.keyRow + static_cast<std::int64_t>(kx) * kRecordFloats : nullptr;
        k.sample[0][i] = has ? record[2] : 0.0f;
        k.sample[1][i] = has ? record[1] : 0.0f;
        k.sample[2][i] = has ? record[0] : 0.0f;
    }
    const float* staged[3] = {k.sample[0], k.sample[1], k.sample[2]};
    if (plan.forward != nullptr) {
        plan.forward(k.sample[0], k.sample[1], k.sample[2], k.sampleStaged[0], k.sampleStaged[1],
                     k.sampleStaged[2]);
        for (int c = 0; c < 3; ++c) staged[c] = k.sampleStaged[c];
    }
    const Snapshot& s = *plan.s;
    for (int i = 0; i < kBlock; ++i) {
        if (k.hasSample[i]) {
            for (int c = 0; c < 3; ++c) {
                const double difference = static_cast<double>(staged[c][i]) - s.value[c];
                carry.windowStart[c] = s.minimum[c] + difference;
                carry.keyValue[c] = static_cast<float>(difference);
            }
        }
        for (int c = 0; c < 3; ++c) {
            k.windowStart[c][i] = carry.windowStart[c];
            k.keyValue[c][i] = carry.keyValue[c];
        }
    }
    if (plan.withFade) {
        if (plan.inverse != nullptr) {
            plan.inverse(k.keyValue[0], k.keyValue[1], k.keyValue[2], k.keyColour[0],
                         k.keyColour[1], k.keyColour[2]);
        } else {
            for (int c = 0; c < 3; ++c) std::memcpy(k.keyColour[c], k.keyValue[c], sizeof(Lane));
        }
    }
}

// Channel distances and the terms of both mattes.
void Distances(const LinePlan& plan, const float* const staged[3], const Block& k,
               double (&term)[3][kBlock], double (&fadeTerm)[3][kBlock]) noexcept {
    const Snapshot& s = *plan.s;
    for (int c = 0; c < 3; ++c) {
        const float* VESKAR_RESTRICT channel = staged[c];
        const double width = plan.width[c];
        const double half = plan.halfWidth[c];
        const double fade = s.fade;
        const double fadeFactor = plan.fadeFactor;
        double* VESKAR_RESTRICT t = term[c];
        double* VESKAR_RESTRICT u = fadeTerm[c];
        // Half the window width is subtracted, not 0.5.
        const double* VESKAR_RESTRICT starts = k.windowStart[c];
        const double start = s.windowStart[c];
        if (plan.sampling) {
            for (int i = 0; i < kBlock; ++i) {
                const float e = static_cast<float>(channel[i] - starts[i]);
                const double d = std::fabs(e / width - half);
                t[i] = d * fade;
                u[i] = d * fadeFactor;
            }
        } else if (plan.withFade) {
            for (int i = 0; i < kBlock; ++i) {
                const float e = static_cast<float>(channel[i] - start);
                const double d = std::fabs(e / width - half);
                t[i] = d * fade;
                u[i] = d * fadeFactor;
            }
        } else {
            for (int i = 0; i < kBlock; ++i) {
                const float e = static_cast<float>(channel[i] - start);
                t[i] = std::fabs(e / width - half) * fade;
            }
        }
    }
}

void Mattes(const LinePlan& plan, const float* const staged[3], Block& k) noexcept {
    const Snapshot& s = *plan.s;
    Distances(plan, staged, k, k.term, k.fadeTerm);
    for (int c = 0; c < 3; ++c) MatteFalloff(plan.falloff, k.term[c]);
    Combine(plan.dist, k.term[0], k.term[1], k.term[2], k.m);
    if (plan.withFade) {
        for (int c = 0; c < 3; ++c) FadeFalloff(plan.falloff, k.fadeTerm[c]);
        Combine(plan.dist, k.fadeTerm[0], k.fadeTerm[1], k.fadeTerm[2], k.n);
    }

    Lane p;
    for (int i = 0; i < kBlock; ++i) p[i] = 1.0f - static_cast<float>(k.m[i]);
    // The fade matte starts from -n, not 1 - n.
    double* VESKAR_RESTRICT fadeSignal = k.fadeMatte;
    if (plan.withFade) {
        for (int i = 0; i < kBlock; ++i) fadeSignal[i] = -k.n[i];
    }
    if (plan.gamma) {
        if (plan.withFade) {
            for (int i = 0; i < kBlock; ++i) fadeSignal[i] = static_cast<float>(fadeSignal[i]);
        }
        if (plan.power) {
            for (int i = 0; i < kBlock; ++i) {
                p[i] = static_cast<float>(std::pow(static_cast<double>(p[i]), plan.exponent));
            }
            if (plan.withFade) {
                for (int i = 0; i < kBlock; ++i)
                    fadeSignal[i] = std::pow(fadeSignal[i], plan.exponent);
            }
        }
    }

    const double offset = s.offset;
    const double gain = s.gain;
    const bool invert = s.invertAlpha == 1;
    for (int i = 0; i < kBlock; ++i) {
        const float shifted = static_cast<float>(p[i] + offset);
        float matte = static_cast<float>(shifted * gain);
        matte = matte > 1.0f ? 1.0f : (matte >= 0.0f ? matte : 0.0f);
        k.matte[i] = invert ? 1.0f - matte : matte;
    }
    if (plan.withFade) {
        for (int i = 0; i < kBlock; ++i) {
            double fade = (fadeSignal[i] + offset) * gain;
            fade = fade < 1.0 ? fade : 1.0;
            fade = fade < 0.0 ? 0.0 : fade;
            k.fadeMatte[i] = invert ? 1.0 - fade : fade;
        }
    }
}

// ---- Colour correction -----------------------------------------------------

// Saturation lowered by the keyed amount times the desaturate amount, then
// back to RGB into out[0..2].
void Desaturate(const Snapshot& s, Block& k, const float* hue, float* saturation,
                const float* value) noexcept {
    const double amount = s.desaturate;
    for (int i = 0; i < kBlock; ++i) {
        saturation[i] = static_cast<float>(saturation[i] - k.keyed[i] * amount);
    }
    FromHsv(hue, saturation, value, k.out[0], k.out[1], k.out[2]);
}

void SubtractKeyColour(const LinePlan& plan, Block& k) noexcept {
    const Snapshot& s = *plan.s;
    ToHsv(k.r, k.g, k.b, k.hsv[0], k.hsv[1], k.hsv[2]);
    const float* channels[3] = {k.r, k.g, k.b};
    for (int c = 0; c < 3; ++c) {
        const float* VESKAR_RESTRICT channel = channels[c];
        float* VESKAR_RESTRICT subtracted = k.work[c];
        const double amount = s.ccAmount;
        const double fadeCC = s.fadeCC;
        if (plan.sampling) {
            const float* VESKAR_RESTRICT key = k.keyColour[c];
            for (int i = 0; i < kBlock; ++i) {
                const float scaled = key[i] * k.keyed[i];
                const float c1 = static_cast<float>(channel[i] - scaled * amount * 5.0);
                subtracted[i] =
                    static_cast<float>(c1 - key[i] * (1.0 - k.fadeMatte[i]) * fadeCC * 5.0);
            }
        } else {
            const float key = plan.startKeyColour[c];
            for (int i = 0; i < kBlock; ++i) {
                const float scaled = key * k.keyed[i];
                const float c1 = static_cast<float>(channel[i] - scaled * amount * 5.0);
                subtracted[i] =
                    static_cast<float>(c1 - key * (1.0 - k.fadeMatte[i]) * fadeCC * 5.0);
            }
        }
    }
    // Only the hue of the subtracted colour is kept.
    ToHsv(k.work[0], k.work[1], k.work[2], k.hsv2[0], k.hsv2[1], k.hsv2[2]);
    Desaturate(s, k, k.hsv2[0], k.hsv[1], k.hsv[2]);
}

void LimitByAverage(const Snapshot& s, Block& k) noexcept {
    const double amount = s.ccAmount;
    // The reference is (weight * first + second) in single precision, then
    // scaled in double: (R + B) 0.5, (2 B + R), (2 R + B) or (2 G + R) 0.333.
    // A weight of 1 returns its operand, so "Average" keeps its plain sum.
    const float* first = k.r;
    const float* second = k.b;
    float weight = 2.0f;
    double scale = 0.333;
    float* changed = k.work[1];
    switch (s.colorCorrection) {
        case kCorrectionAverage:
            weight = 1.0f;
            scale = 0.5;
            break;
        case kCorrectionDoubleBlueAverage:
            first = k.b;
            second = k.r;
            break;
        case kCorrectionDoubleRedAverage:
            break;
        default:
            first = k.g;
            second = k.r;
            changed = k.work[2];
            break;
    }
    std::memcpy(k.work[0], k.r, sizeof(Lane));
    std::memcpy(k.work[1], k.g, sizeof(Lane));
    std::memcpy(k.work[2], k.b, sizeof(Lane));
    const float* VESKAR_RESTRICT a = first;
    const float* VESKAR_RESTRICT b = second;
    float* VESKAR_RESTRICT c = changed;
    for (int i = 0; i < kBlock; ++i) {
        const double reference = (weight * a[i] + b[i]) * scale;
        const float pulled = static_cast<float>((1.0 - amount) * c[i] + amount * reference);
        c[i] = c[i] > reference ? pulled : c[i];
    }
    ToHsv(k.work[0], k.work[1], k.work[2], k.hsv[0], k.hsv[1], k.hsv[2]);
    Desaturate(s, k, k.hsv[0], k.hsv[1], k.hsv[2]);
}

void LimitByChannel(const Snapshot& s, Block& k) noexcept {
    const double amount = s.ccAmount;
    const bool byBlue = s.colorCorrection == kCorrectionBlueLimit;
    // Green pulled in every lane; the lanes where green rises above the
    // reference take the pulled colour at the source's largest channel.
    const float* VESKAR_RESTRICT references = byBlue ? k.b : k.r;
    for (int i = 0; i < kBlock; ++i) {
        k.work[1][i] = static_cast<float>((1.0 - amount) * k.g[i] + amount * references[i]);
    }
    ToHsv(k.r, k.work[1], k.b, k.hsv[0], k.hsv[1], k.hsv2[0]);
    for (int i = 0; i < kBlock; ++i) {
        const float r = k.r[i];
        const float g = k.g[i];
        const float b = k.b[i];
        float max = g > r ? g : r;
        k.hsv[2][i] = b >= max ? b : max;
    }
    FromHsv(k.hsv[0], k.hsv[1], k.hsv[2], k.work[0], k.work[1], k.work[2]);
    for (int i = 0; i < kBlock; ++i) {
        const bool limited = k.g[i] > references[i];
        k.work[0][i] = limited ? k.work[0][i] : k.r[i];
        k.work[1][i] = limited ? k.work[1][i] : k.g[i];
        k.work[2][i] = limited ? k.work[2][i] : k.b[i];
    }
    ToHsv(k.work[0], k.work[1], k.work[2], k.hsv[0], k.hsv[1], k.hsv[2]);
    Desaturate(s, k, k.hsv[0], k.hsv[1], k.hsv[2]);
}

// The corrected colour into out[0..2]; without a correction the source's
// colour lanes stand for it, uncopied.
void Correct(const LinePlan& plan, Block& k, Keyed& keyed) noexcept {
    if (plan.correction == Correction::kNone) {
        keyed.channel[0] = k.r;
        keyed.channel[1] = k.g;
        keyed.channel[2] = k.b;
        return;
    }
    for (int i = 0; i < kBlock; ++i) k.keyed[i] = 1.0f - k.matte[i];
    switch (plan.correction) {
        case Correction::kMine:
            SubtractKeyColour(plan, k);
            break;
        case Correction::kAverage:
            LimitByAverage(*plan.s, k);
            break;
        case Correction::kLimit:
            LimitByChannel(*plan.s, k);
            break;
        case Correction::kNone:
            break;
    }
    for (int c = 0; c < 3; ++c) keyed.channel[c] = k.out[c];
}

// ---- Alpha output ----------------------------------------------------------

void AlphaOut(const Snapshot& s, Block& k, Keyed& keyed) noexcept {
    if (s.alphaMultiply == 1.0) {
        for (int c = 0; c < 3; ++c) {
            const float* VESKAR_RESTRICT colour = keyed.channel[c];
            float* VESKAR_RESTRICT multiplied = k.out[c];
            for (int i = 0; i < kBlock; ++i) multiplied[i] = colour[i] * k.matte[i];
            keyed.channel[c] = multiplied;
        }
    }
    float* VESKAR_RESTRICT alpha = k.out[3];
    keyed.channel[3] = alpha;
    switch (s.bgAlphaBlend) {
        case kBlendMultiply:
            for (int i = 0; i < kBlock; ++i) {
                alpha[i] = static_cast<float>(k.matte[i] * static_cast<double>(k.a[i]));
            }
            break;
        case kBlendAdd:
            for (int i = 0; i < kBlock; ++i) {
                alpha[i] = static_cast<float>(k.matte[i] + static_cast<double>(k.a[i]));
            }
            break;
        case kBlendSubstract:
            for (int i = 0; i < kBlock; ++i) {
                alpha[i] = static_cast<float>(static_cast<double>(k.a[i]) - k.matte[i]);
            }
            break;
        case kBlendPassThrough:
            for (int i = 0; i < kBlock; ++i)
                alpha[i] = static_cast<float>(static_cast<double>(k.a[i]));
            break;
        default:
            keyed.channel[3] = k.matte;
            break;
    }
}

// ---- The plain line --------------------------------------------------------

#if defined(__SSE2__)

// Lines in RGB without key samples, colour correction or a power on the matte
// (the defaults among them) with a linear falloff or none: every stage of four
// pixels at a time in registers, straight from the source records to the
// output records, in explicit vector instructions so that no intermediate
// goes through memory. Each lane does the operations of the stages above.
//
// Where a stage takes two single-precision values to double, combines them
// with +, -, * or / and rounds the result to single precision, and the double
// operand is itself a single-precision value, the single-precision operation
// gives the same bits: double carries more than twice the significand bits
// plus two, so the double rounding can never differ from the direct one (the
// double result of a product of two floats is even exact). Those stages run in
// single precision here: the matte's offset and gain when the line's values
// are floats (the defaults 0 and 1 are), the window start likewise, and the
// background blends (whose operands are the matte and the source alpha).

// Four doubles: one register with AVX, two without.
#if defined(__AVX__)
struct Quad {
    __m256d v;
};
inline Quad SplatQuad(double x) noexcept { return {_mm256_set1_pd(x)}; }
inline Quad WidenQuad(__m128 f) noexcept { return {_mm256_cvtps_pd(f)}; }
inline __m128 NarrowQuad(Quad d) noexcept { return _mm256_cvtpd_ps(d.v); }
inline Quad operator+(Quad a, Quad b) noexcept { return {_mm256_add_pd(a.v, b.v)}; }
inline Quad operator-(Quad a, Quad b) noexcept { return {_mm256_sub_pd(a.v, b.v)}; }
inline Quad operator*(Quad a, Quad b) noexcept { return {_mm256_mul_pd(a.v, b.v)}; }
inline Quad operator/(Quad a, Quad b) noexcept { return {_mm256_div_pd(a.v, b.v)}; }
inline Quad Magnitude(Quad a) noexcept { return {_mm256_andnot_pd(_mm256_set1_pd(-0.0), a.v)}; }
// a < b ? a : b, and a where a is NaN.
inline Quad NanFirstMin(Quad a, Quad b) noexcept {
    const __m256d smaller = _mm256_min_pd(a.v, b.v);
    return {_mm256_blendv_pd(smaller, a.v, _mm256_cmp_pd(a.v, a.v, _CMP_UNORD_Q))};
}
#else
struct Quad {
    __m128d lo, hi;
};
inline Quad SplatQuad(double x) noexcept { return {_mm_set1_pd(x), _mm_set1_pd(x)}; }
inline Quad WidenQuad(__m128 f) noexcept {
    return {_mm_cvtps_pd(f), _mm_cvtps_pd(_mm_movehl_ps(f, f))};
}
inline __m128 NarrowQuad(Quad d) noexcept {
    return _mm_movelh_ps(_mm_cvtpd_ps(d.lo), _mm_cvtpd_ps(d.hi));
}
inline Quad operator+(Quad a, Quad b) noexcept {
    return {_mm_add_pd(a.lo, b.lo), _mm_add_pd(a.hi, b.hi)};
}
inline Quad operator-(Quad a, Quad b) noexcept {
    return {_mm_sub_pd(a.lo, b.lo), _mm_sub_pd(a.hi, b.hi)};
}
inline Quad operator*(Quad a, Quad b) noexcept {
    return {_mm_mul_pd(a.lo, b.lo), _mm_mul_pd(a.hi, b.hi)};
}
inline Quad operator/(Quad a, Quad b) noexcept {
    return {_mm_div_pd(a.lo, b.lo), _mm_div_pd(a.hi, b.hi)};
}
inline Quad Magnitude(Quad a) noexcept {
    const __m128d sign = _mm_set1_pd(-0.0);
    return {_mm_andnot_pd(sign, a.lo), _mm_andnot_pd(sign, a.hi)};
}
inline __m128d NanFirstMin(__m128d a, __m128d b) noexcept {
    const __m128d nan = _mm_cmpunord_pd(a, a);
    return _mm_or_pd(_mm_and_pd(nan, a), _mm_andnot_pd(nan, _mm_min_pd(a, b)));
}
inline Quad NanFirstMin(Quad a, Quad b) noexcept {
    return {NanFirstMin(a.lo, b.lo), NanFirstMin(a.hi, b.hi)};
}
#endif

// Four floats and the operations the plain line takes on them.
struct Four {
    using Floats = __m128;
    using Doubles = Quad;
    static Floats Splat(float x) noexcept { return _mm_set1_ps(x); }
    static Doubles Splat(double x) noexcept { return SplatQuad(x); }
    static Floats Add(Floats a, Floats b) noexcept { return _mm_add_ps(a, b); }
    static Floats Sub(Floats a, Floats b) noexcept { return _mm_sub_ps(a, b); }
    static Floats Mul(Floats a, Floats b) noexcept { return _mm_mul_ps(a, b); }
    static Floats Sqrt(Floats a) noexcept { return _mm_sqrt_ps(a); }
    // mask ? a : b, lane by lane.
    static Floats Select(Floats mask, Floats a, Floats b) noexcept {
        return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
    }
    // v >= 0 ? v : 0
    static Floats ZeroBelow(Floats v) noexcept {
        return _mm_and_ps(_mm_cmpge_ps(v, _mm_setzero_ps()), v);
    }
    static Floats Above(Floats v, Floats limit) noexcept { return _mm_cmpgt_ps(v, limit); }
    static Doubles Widen(Floats f) noexcept { return WidenQuad(f); }
    static Floats Narrow(Doubles d) noexcept { return NarrowQuad(d); }
    static Floats Load(const float* p) noexcept { return _mm_loadu_ps(p); }
    static void Store(float* p, Floats v) noexcept { _mm_storeu_ps(p, v); }
    // Four records of blue, green, red, alpha into blue, green, red and alpha
    // lanes of the four pixels, and back.
    static void Transpose(Floats& v0, Floats& v1, Floats& v2, Floats& v3) noexcept {
        _MM_TRANSPOSE4_PS(v0, v1, v2, v3);
    }
};

#if defined(__AVX__)
// Eight doubles in two registers.
struct Oct {
    Quad lo, hi;
};
inline Oct operator+(Oct a, Oct b) noexcept { return {a.lo + b.lo, a.hi + b.hi}; }
inline Oct operator-(Oct a, Oct b) noexcept { return {a.lo - b.lo, a.hi - b.hi}; }
inline Oct operator*(Oct a, Oct b) noexcept { return {a.lo * b.lo, a.hi * b.hi}; }
inline Oct operator/(Oct a, Oct b) noexcept { return {a.lo / b.lo, a.hi / b.hi}; }
inline Oct Magnitude(Oct a) noexcept { return {Magnitude(a.lo), Magnitude(a.hi)}; }
inline Oct NanFirstMin(Oct a, Oct b) noexcept {
    return {NanFirstMin(a.lo, b.lo), NanFirstMin(a.hi, b.hi)};
}

// Eight floats. Two records share a register, so that after the transposition
// the lanes hold pixels 0 2 4 6 1 3 5 7 of the eight; every operation is lane
// by lane and the transposition back restores the order.
struct Eight {
    using Floats = __m256;
    using Doubles = Oct;
    static Floats Splat(float x) noexcept { return _mm256_set1_ps(x); }
    static Doubles Splat(double x) noexcept { return {SplatQuad(x), SplatQuad(x)}; }
    static Floats Add(Floats a, Floats b) noexcept { return _mm256_add_ps(a, b); }
    static Floats Sub(Floats a, Floats b) noexcept { return _mm256_sub_ps(a, b); }
    static Floats Mul(Floats a, Floats b) noexcept { return _mm256_mul_ps(a, b); }
    static Floats Sqrt(Floats a) noexcept { return _mm256_sqrt_ps(a); }
    static Floats Select(Floats mask, Floats a, Floats b) noexcept {
        return _mm256_blendv_ps(b, a, mask);
    }
    static Floats ZeroBelow(Floats v) noexcept {
        return _mm256_and_ps(_mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GE_OQ), v);
    }
    static Floats Above(Floats v, Floats limit) noexcept {
        return _mm256_cmp_ps(v, limit, _CMP_GT_OQ);
    }
    static Doubles Widen(Floats f) noexcept {
        return {WidenQuad(_mm256_castps256_ps128(f)), WidenQuad(_mm256_extractf128_ps(f, 1))};
    }
    static Floats Narrow(Doubles d) noexcept {
        return _mm256_insertf128_ps(_mm256_castps128_ps256(NarrowQuad(d.lo)), NarrowQuad(d.hi), 1);
    }
    static Floats Load(const float* p) noexcept { return _mm256_loadu_ps(p); }
    static void Store(float* p, Floats v) noexcept { _mm256_storeu_ps(p, v); }
    static void Transpose(Floats& v0, Floats& v1, Floats& v2, Floats& v3) noexcept {
        const __m256 t0 = _mm256_unpacklo_ps(v0, v1);
        const __m256 t1 = _mm256_unpacklo_ps(v2, v3);
        const __m256 t2 = _mm256_unpackhi_ps(v0, v1);
        const __m256 t3 = _mm256_unpackhi_ps(v2, v3);
        v0 = _mm256_shuffle_ps(t0, t1, 0x44);
        v1 = _mm256_shuffle_ps(t0, t1, 0xee);
        v2 = _mm256_shuffle_ps(t2, t3, 0x44);
        v3 = _mm256_shuffle_ps(t2, t3, 0xee);
    }
};
using Widest = Eight;
#else
using Widest = Four;
#endif

// A double that a float holds exactly.
inline bool IsFloat(double v) noexcept {
    return static_cast<double>(static_cast<float>(v)) == v && !std::isnan(v);
}

// The line's values, scalar; the kernel's loop keeps them in registers.
struct PlainPlan {
    float startF[3];  // the window starts, when floats
    double start[3];
    double width[3];
    double half[3];
    double fade;
    double offset;
    double gain;
    float offsetF;
    float gainF;
    std::int32_t blend;
};

// What a line's plain kernel is specialised for, one bit each.
enum PlainOption : unsigned {
    kPlainFloatStart = 1,  // the window starts are floats
    kPlainLinear = 2,      // a linear falloff, else none
    kPlainDist = 4,        // the "DIST" keyer, else "MIN"
    kPlainFloatMatte = 8,  // the matte's offset and gain are floats
    kPlainMultiply = 16,   // the colour is multiplied by the matte
    kPlainInvert = 32,     // the matte is inverted
    kPlainOptions = 64
};

bool TakesPlainLine(const LinePlan& plan) noexcept {
    return plan.forward == nullptr && !plan.sampling && plan.correction == Correction::kNone &&
           !plan.power && (plan.falloff == kFalloffLinear || FalloffKeepsTerm(plan.falloff));
}

PlainPlan MakePlainPlan(const LinePlan& plan, unsigned& options) noexcept {
    const Snapshot& s = *plan.s;
    PlainPlan q{};
    bool floatStart = true;
    for (int c = 0; c < 3; ++c) {
        floatStart = floatStart && IsFloat(s.windowStart[c]);
        q.startF[c] = static_cast<float>(s.windowStart[c]);
        q.start[c] = s.windowStart[c];
        q.width[c] = plan.width[c];
        q.half[c] = plan.halfWidth[c];
    }
    q.fade = s.fade;
    q.offset = s.offset;
    q.gain = s.gain;
    q.offsetF = static_cast<float>(s.offset);
    q.gainF = static_cast<float>(s.gain);
    q.blend = s.bgAlphaBlend;
    options = (floatStart ? kPlainFloatStart : 0u) |
              (plan.falloff == kFalloffLinear ? kPlainLinear : 0u) | (plan.dist ? kPlainDist : 0u) |
              (IsFloat(s.offset) && IsFloat(s.gain) ? kPlainFloatMatte : 0u) |
              (s.alphaMultiply == 1.0 ? kPlainMultiply : 0u) |
              (s.invertAlpha == 1 ? kPlainInvert : 0u);
    return q;
}

// One channel's term: Distances' and MatteFalloff's operations.
template <class V, unsigned kOptions>
VESKAR_INLINE typename V::Doubles PlainTerm(const PlainPlan& q, int c,
                                            typename V::Floats channel) noexcept {
    using D = typename V::Doubles;
    typename V::Floats e;
    if constexpr ((kOptions & kPlainFloatStart) != 0) {
        e = V::Sub(channel, V::Splat(q.startF[c]));
    } else {
        e = V::Narrow(V::Widen(channel) - V::Splat(q.start[c]));
    }
    const D t =
        Magnitude(V::Widen(e) / V::Splat(q.width[c]) - V::Splat(q.half[c])) * V::Splat(q.fade);
    if constexpr ((kOptions & kPlainLinear) != 0) {
        return V::Splat(1.0) - t;
    } else {
        return t;
    }
}

// The mattes of the pixels from their red, green and blue.
template <class V, unsigned kOptions>
VESKAR_INLINE typename V::Floats PlainMatte(const PlainPlan& q, typename V::Floats r,
                                            typename V::Floats g, typename V::Floats b) noexcept {
    using D = typename V::Doubles;
    using F = typename V::Floats;
    const D t1 = PlainTerm<V, kOptions>(q, 0, r);
    const D t2 = PlainTerm<V, kOptions>(q, 1, g);
    const D t3 = PlainTerm<V, kOptions>(q, 2, b);
    D m;
    if constexpr ((kOptions & kPlainDist) != 0) {
        const D one = V::Splat(1.0);
        const D x = one - t2;
        const D y = one - t1;
        const D z = one - t3;
        const D sum = x * x + y * y + z * z;
        m = one - V::Widen(V::Sqrt(V::Narrow(sum)));
    } else {
        m = NanFirstMin(NanFirstMin(t1, t2), t3);
    }
    const F one = V::Splat(1.0f);
    const F p = V::Sub(one, V::Narrow(m));
    F matte;
    if constexpr ((kOptions & kPlainFloatMatte) != 0) {
        matte = V::Mul(V::Add(p, V::Splat(q.offsetF)), V::Splat(q.gainF));
    } else {
        matte = V::Narrow(V::Widen(V::Narrow(V::Widen(p) + V::Splat(q.offset))) * V::Splat(q.gain));
    }
    matte = V::ZeroBelow(matte);
    matte = V::Select(V::Above(matte, one), one, matte);
    if constexpr ((kOptions & kPlainInvert) != 0) {
        return V::Sub(one, matte);
    } else {
        return matte;
    }
}

// Keys the records in place: blue, green, red, alpha each.
template <class V, unsigned kOptions>
VESKAR_INLINE void PlainRecords(const PlainPlan& q, typename V::Floats& v0, typename V::Floats& v1,
                                typename V::Floats& v2, typename V::Floats& v3) noexcept {
    using F = typename V::Floats;
    V::Transpose(v0, v1, v2, v3);  // now blue, green, red, alpha of the pixels
    F b = v0, g = v1, r = v2;
    const F a = v3;
    const F matte = PlainMatte<V, kOptions>(q, r, g, b);
    if constexpr ((kOptions & kPlainMultiply) != 0) {
        r = V::Mul(r, matte);
        g = V::Mul(g, matte);
        b = V::Mul(b, matte);
    }
    F alpha;
    switch (q.blend) {
        case kBlendMultiply:
            alpha = V::Mul(matte, a);
            break;
        case kBlendAdd:
            alpha = V::Add(matte, a);
            break;
        case kBlendSubstract:
            alpha = V::Sub(a, matte);
            break;
        case kBlendPassThrough:
            // Through double and back, as the stage writes it.
            alpha = V::Narrow(V::Widen(a));
            break;
        default:
            alpha = matte;
            break;
    }
    v0 = b;
    v1 = g;
    v2 = r;
    v3 = alpha;
    V::Transpose(v0, v1, v2, v3);
}

// Keys as many records as V holds floats, from `in` to `out`.
template <class V, unsigned kOptions>
VESKAR_INLINE void PlainStep(const PlainPlan& q, const float* in, float* out) noexcept {
    constexpr std::ptrdiff_t kStride = sizeof(typename V::Floats) / sizeof(float);
    auto v0 = V::Load(in);
    auto v1 = V::Load(in + kStride);
    auto v2 = V::Load(in + 2 * kStride);
    auto v3 = V::Load(in + 3 * kStride);
    PlainRecords<V, kOptions>(q, v0, v1, v2, v3);
    V::Store(out, v0);
    V::Store(out + kStride, v1);
    V::Store(out + 2 * kStride, v2);
    V::Store(out + 3 * kStride, v3);
}

template <unsigned kOptions>
void PlainLine(const PlainPlan& plan, const float* source, float* output,
               std::int32_t width) noexcept {
    // A copy of its own, which no store through `output` can change, so that
    // the constants stay in registers.
    const PlainPlan q = plan;
    constexpr int kPixels = sizeof(typename Widest::Floats) / sizeof(float);
    std::int32_t x = 0;
    for (; x + kPixels <= width; x += kPixels) {
        PlainStep<Widest, kOptions>(q, source + static_cast<std::int64_t>(x) * kRecordFloats,
                                    output + static_cast<std::int64_t>(x) * kRecordFloats);
    }
    for (; x < width; x += 4) {
        // The last pixels four at a time, with zeros for missing ones.
        const int count = width - x < 4 ? static_cast<int>(width - x) : 4;
        float records[4 * kRecordFloats] = {};
        std::memcpy(records, source + static_cast<std::int64_t>(x) * kRecordFloats,
                    sizeof(float) * kRecordFloats * count);
        PlainStep<Four, kOptions>(q, records, records);
        std::memcpy(output + static_cast<std::int64_t>(x) * kRecordFloats, records,
                    sizeof(float) * kRecordFloats * count);
    }
}

// The mattes of a block whose channels are staged in lanes (lines in other
// colour spaces or with a correction): PlainMatte over the block in registers,
// in place of Mattes' stage loops.
template <unsigned kOptions>
void PlainMattes(const PlainPlan& plan, const float* const staged[3], float* matte) noexcept {
    const PlainPlan q = plan;
    constexpr int kPixels = sizeof(typename Widest::Floats) / sizeof(float);
    static_assert(kBlock % kPixels == 0);
    for (int i = 0; i < kBlock; i += kPixels) {
        Widest::Store(matte + i, PlainMatte<Widest, kOptions>(q, Widest::Load(staged[0] + i),
                                                              Widest::Load(staged[1] + i),
                                                              Widest::Load(staged[2] + i)));
    }
}

using PlainMattesKernel = void (*)(const PlainPlan&, const float* const[3], float*) noexcept;

template <unsigned... kOptions>
constexpr std::array<PlainMattesKernel, sizeof...(kOptions)> AllPlainMattes(
    std::integer_sequence<unsigned, kOptions...>) noexcept {
    // The colour's multiplication is no part of the matte.
    return {&PlainMattes<kOptions & ~static_cast<unsigned>(kPlainMultiply)>...};
}

bool TakesPlainMattes(const LinePlan& plan) noexcept {
    return !plan.sampling && !plan.withFade && !plan.power &&
           (plan.falloff == kFalloffLinear || FalloffKeepsTerm(plan.falloff));
}

// The kernel for the line's mattes, null when the line takes Mattes.
PlainMattesKernel PlainMattesFor(const LinePlan& plan, PlainPlan& q) noexcept {
    static constexpr std::array<PlainMattesKernel, kPlainOptions> kernels =
        AllPlainMattes(std::make_integer_sequence<unsigned, kPlainOptions>{});
    if (!TakesPlainMattes(plan)) return nullptr;
    unsigned options = 0;
    q = MakePlainPlan(plan, options);
    return kernels[options];
}

using PlainLineKernel = void (*)(const PlainPlan&, const float*, float*, std::int32_t) noexcept;

template <unsigned... kOptions>
constexpr std::array<PlainLineKernel, sizeof...(kOptions)> PlainLines(
    std::integer_sequence<unsigned, kOptions...>) noexcept {
    return {&PlainLine<kOptions>...};
}

void PlainLine(const LinePlan& plan, const float* source, float* output,
               std::int32_t width) noexcept {
    static constexpr std::array<PlainLineKernel, kPlainOptions> kernels =
        PlainLines(std::make_integer_sequence<unsigned, kPlainOptions>{});
    unsigned options = 0;
    const PlainPlan q = MakePlainPlan(plan, options);
    kernels[options](q, source, output, width);
}

#endif  // __SSE2__

LinePlan MakePlan(const LineJob& job) noexcept {
    const Snapshot& s = *job.snapshot;
    LinePlan plan{};
    plan.s = &s;
    plan.forward = ForwardFor(s.colorSpace);
    plan.inverse = InverseFor(s.colorSpace);
    plan.falloff = job.falloffMode;
    plan.dist = job.keyerMode == kKeyerDist;
    switch (s.colorCorrection) {
        case kCorrectionMine:
            plan.correction = Correction::kMine;
            break;
        case kCorrectionAverage:
        case kCorrectionDoubleBlueAverage:
        case kCorrectionDoubleRedAverage:
        case kCorrectionDoubleGreenAverage:
            plan.correction = Correction::kAverage;
            break;
        case kCorrectionBlueLimit:
        case kCorrectionRedLimit:
            plan.correction = Correction::kLimit;
            break;
        default:
            plan.correction = Correction::kNone;
            break;
    }
    plan.withFade = plan.correction == Correction::kMine;
    plan.sampling = job.keyRow != nullptr;
    for (int c = 0; c < 3; ++c) {
        plan.width[c] = s.windowWidth[c];
        plan.halfWidth[c] = s.windowWidth[c] * 0.5;
    }
    plan.fadeFactor = 1.0 - 5.0 * s.fadeCC;
    plan.gamma = s.gamma != 0.0 && !std::isnan(s.gamma);
    plan.exponent = plan.gamma ? 1.0 / s.gamma : 1.0;
    plan.power = plan.gamma && plan.exponent != 1.0;
    plan.startKeyColour[0] = job.startKeyColour.r;
    plan.startKeyColour[1] = job.startKeyColour.g;
    plan.startKeyColour[2] = job.startKeyColour.b;
    return plan;
}

}  // namespace

void KeyLine(const LineJob& job, const float* source, float* output, std::int32_t width) noexcept {
    const LinePlan plan = MakePlan(job);
#if defined(__SSE2__)
    if (TakesPlainLine(plan)) {
        PlainLine(plan, source, output, width);
        return;
    }
#endif
    Carry carry{};
    for (int c = 0; c < 3; ++c) {
        carry.windowStart[c] = plan.s->windowStart[c];
        carry.keyValue[c] = plan.s->keyValue[c];
    }
#if defined(__SSE2__)
    PlainPlan plain{};
    const PlainMattesKernel plainMattes = PlainMattesFor(plan, plain);
#endif
    Block k;
    for (std::int32_t x0 = 0; x0 < width; x0 += kBlock) {
        const int count = width - x0 < kBlock ? static_cast<int>(width - x0) : kBlock;
        Load(source + static_cast<std::int64_t>(x0) * kRecordFloats, count, k);
        if (plan.sampling) SampleKey(job, plan, x0, count, k, carry);
        const float* staged[3] = {k.r, k.g, k.b};
        if (plan.forward != nullptr) {
            plan.forward(k.r, k.g, k.b, k.staged[0], k.staged[1], k.staged[2]);
            for (int c = 0; c < 3; ++c) staged[c] = k.staged[c];
        }
#if defined(__SSE2__)
        if (plainMattes != nullptr) {
            plainMattes(plain, staged, k.matte);
        } else {
            Mattes(plan, staged, k);
        }
#else
        Mattes(plan, staged, k);
#endif
        Keyed keyed;
        Correct(plan, k, keyed);
        AlphaOut(*plan.s, k, keyed);
        Store(keyed, count, output + static_cast<std::int64_t>(x0) * kRecordFloats);
    }
}

}  // namespace keying::VESKAR_LINE_NS
