#pragma once

// The line kernel's block stages up to the matte: the falloff curves and the
// keyer over a block, the plan fixed for the line, the block itself with its
// loading and storing of records, the key samples and the mattes. The colour
// corrections and the alpha output (line_kernel_correction.h) take the block
// on from there; line_kernel_body.h runs the stages block by block.

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "keying/det_math.h"
#include "keying/key_signal.h"
#include "keying/line_kernel.h"
#include "keying/line_kernel_conversions.h"
#include "keying/line_kernel_lanes.h"
#include "keying/snapshot.h"

namespace keying::VESKAR_LINE_NS {

namespace {

// ---- Key signal ------------------------------------------------------------

// t[i] = cos(scale * t[i]), in place.
inline void CosOfScaled(double scale, double* VESKAR_RESTRICT t) noexcept {
    double argument[kBlock];
    for (int i = 0; i < kBlock; ++i) argument[i] = scale * t[i];
    CosLanes(argument, t, kBlock);
}

// The falloff curve of one channel term, in place. The matte's and the fade
// matte's curves differ for "HalfCos" and "BCos".
void MatteFalloff(std::int32_t mode, double* VESKAR_RESTRICT t) noexcept {
    switch (mode) {
        case kFalloffLinear:
            for (int i = 0; i < kBlock; ++i) t[i] = 1.0 - t[i];
            break;
        case kFalloffCosine:
            CosOfScaled(kPi, t);
            break;
        case kFalloffHalfCos:
            CosOfScaled(kHalfPi, t);
            break;
        case kFalloffBCos:
            CosOfScaled(kPi, t);
            for (int i = 0; i < kBlock; ++i) t[i] = (t[i] + 1.0) * 0.5;
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
            CosOfScaled(kPi, t);
            break;
        case kFalloffBCos: {
            double argument[kBlock];
            for (int i = 0; i < kBlock; ++i) argument[i] = t[i];
            CosLanes(argument, t, kBlock);
            for (int i = 0; i < kBlock; ++i) t[i] = (t[i] + 1.0) * 0.5;
            break;
        }
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

// ---- A gamma's power that the matte can spare --------------------------------

// What the lanes of a line's power can be spared. Only the power's float
// reaches the matte, which clamps at 1. With a positive exponent the power of
// a base of 1 or more is 1 or more (the true power is, and Pow lies within an
// ulp of it, so its float is never below 1); where the offset and a positive
// finite gain take 1 to 1 or more they take every larger value there too
// (each of their steps rounds monotonically, infinity included), so such a
// base gives the same matte as its power. The power of a zero base, and of a
// negative one under a fractional exponent (NaN), owes nothing to a
// logarithm: those lanes take it exactly as PowFloatLanes makes it.
struct SparedPower {
    bool finite;    // a finite exponent; nothing is spared otherwise
    bool fromOne;   // bases of 1 or more give their power's matte
    bool negative;  // a negative finite base's power is NaN
    float atZero;
    float atMinusZero;
    float belowZero;
};

inline SparedPower SparedPowerOf(const Snapshot& s, double exponent) noexcept {
    const det_math::FloatPower power = det_math::FloatPowerOf(exponent);
    SparedPower spared{};
    spared.finite = std::isfinite(exponent);
    // The matte of a power of exactly 1, as Mattes and the plain line make it.
    const float shifted = static_cast<float>(1.0f + s.offset);
    const float matteOfOne = static_cast<float>(shifted * s.gain);
    spared.fromOne = exponent > 0.0 && std::isfinite(s.offset) && s.gain > 0.0 &&
                     std::isfinite(s.gain) && matteOfOne >= 1.0f;
    spared.negative = power.belowZeroTaken;
    spared.atZero = static_cast<float>(power.atZero);
    spared.atMinusZero = static_cast<float>(power.atMinusZero);
    spared.belowZero = static_cast<float>(power.belowZero);
    return spared;
}

// Where every lane of p (the base, a float) can be spared its power, replaces
// each by a value whose matte is its power's and returns true; leaves p as it
// is and returns false otherwise. Solid pixels (a base above 1) and pixels
// keyed clear to a zero base are the commonest lanes of a plate.
template <int kCount>
VESKAR_INLINE bool SparePowers(const SparedPower& spared, float* VESKAR_RESTRICT p) noexcept {
    if (!spared.finite) return false;
    constexpr float kMax = std::numeric_limits<float>::max();
    std::int32_t every = 1;
    for (int i = 0; i < kCount; ++i) {
        const float x = p[i];
        // Bitwise, not logical: a short circuit is a branch.
        const bool known = (spared.fromOne & (x >= 1.0f)) | (x == 0.0f) |
                           (spared.negative & (x < 0.0f) & (x >= -kMax));
        every &= static_cast<std::int32_t>(known);
    }
    if (every == 0) return false;
    for (int i = 0; i < kCount; ++i) {
        const float x = p[i];
        float power = std::bit_cast<std::int32_t>(x) < 0 ? spared.atMinusZero : spared.atZero;
        power = x < 0.0f ? spared.belowZero : power;
        p[i] = x >= 1.0f ? x : power;
    }
    return true;
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
    bool keyColours;  // only "mine" reads the key colour
    bool withFade;    // and the fade matte, when it has a fade CC
    bool sampling;
    bool clearsToZero;   // blocks keyed clear may keep their source colour (ClearBlock)
    bool moderateTerms;  // "mine" with the line's key colour: both terms within 2^110
    double width[3];
    double halfWidth[3];
    double fadeFactor;
    bool gamma;
    bool power;  // a power other than exactly 1 is taken
    double exponent;
    SparedPower spared;       // with power
    float startKeyColour[3];  // red, green, blue
};

struct Block {
    Lane r, g, b, a;       // the source as fetched
    Lane staged[3];        // p1..p3 of the source
    Lane sample[3];        // red, green, blue of the key sample
    Lane sampleStaged[3];  // the key sample in the working space
    Lane fromStart[3];     // p1..p3 less each pixel's window start, while sampling
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

// Whether every pixel of a whole block from x0 has a key sample. x0 + i is
// exact in double, and the rounded product x * scale and its truncation are
// monotone in x (rising for a scale of +0 or more, falling for a negative
// one). So when the block's first and last pixels have a sample (which a NaN
// or infinite product never gives), the positions of the pixels between lie
// between theirs, within the key and within 32 bits, and each is the
// truncation of its product.
inline bool WholeBlockSampled(const LineJob& job, std::int32_t x0, int count) noexcept {
    if (count != kBlock) return false;
    const std::int32_t first = KeyPosition(x0, job.keyScaleX);
    const std::int32_t last = KeyPosition(x0 + (kBlock - 1), job.keyScaleX);
    return first >= 0 && last >= 0 && first < job.keyWidth && last < job.keyWidth;
}

// The key samples of the block's pixels, red, green and blue, and which pixels
// have one. A block that WholeBlockSampled vouches for fetches them without a
// test a pixel (the commonest block: the key image covers the line); true
// for such a block.
bool FetchKeySamples(const LineJob& job, std::int32_t x0, int count, Block& k) noexcept {
    if (WholeBlockSampled(job, x0, count)) {
        const float* VESKAR_RESTRICT row = job.keyRow;
        const double scale = job.keyScaleX;
        // The positions in a loop of their own, which the compiler runs on
        // several lanes at once.
        std::int32_t kx[kBlock];
        for (int i = 0; i < kBlock; ++i) {
            kx[i] = static_cast<std::int32_t>(static_cast<double>(x0 + i) * scale);
        }
        // Each sample's record copied whole (one load and one store), then
        // split into channels as Load splits the source.
        float records[kBlock * kRecordFloats];
        for (int i = 0; i < kBlock; ++i) {
            const std::int64_t at = static_cast<std::int64_t>(kx[i]) * kRecordFloats;
            std::memcpy(records + i * kRecordFloats, row + at, sizeof(float) * kRecordFloats);
        }
        for (int i = 0; i < kBlock; ++i) {
            k.sample[0][i] = records[kRecordFloats * i + 2];
            k.sample[1][i] = records[kRecordFloats * i + 1];
            k.sample[2][i] = records[kRecordFloats * i + 0];
        }
        for (int i = 0; i < kBlock; ++i) k.hasSample[i] = true;
        return true;
    }
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
    return false;
}

// Key samples of the block's pixels, staged, and the windows and key values
// each pixel keys with: a pixel with a sample moves them, one without keeps
// those of the pixel before.
void SampleKey(const LineJob& job, const LinePlan& plan, std::int32_t x0, int count, Block& k,
               Carry& carry) noexcept {
    const bool whole = FetchKeySamples(job, x0, count, k);
    const float* staged[3] = {k.sample[0], k.sample[1], k.sample[2]};
    if (plan.forward != nullptr) {
        plan.forward(k.sample[0], k.sample[1], k.sample[2], k.sampleStaged[0], k.sampleStaged[1],
                     k.sampleStaged[2]);
        for (int c = 0; c < 3; ++c) staged[c] = k.sampleStaged[c];
    }
    const Snapshot& s = *plan.s;
    std::int32_t everyLane = 1;
    for (int i = 0; i < kBlock && !whole; ++i) everyLane &= k.hasSample[i] ? 1 : 0;
    if (everyLane != 0) {
        // Every pixel moves them (the commonest block): no lane keeps those of
        // the lane before, and the lanes are independent.
        for (int c = 0; c < 3; ++c) {
            const float* VESKAR_RESTRICT sample = staged[c];
            double* VESKAR_RESTRICT start = k.windowStart[c];
            float* VESKAR_RESTRICT value = k.keyValue[c];
            const double minimum = s.minimum[c];
            const double keyed = s.value[c];
            if (plan.keyColours) {
                for (int i = 0; i < kBlock; ++i) {
                    const double difference = static_cast<double>(sample[i]) - keyed;
                    start[i] = minimum + difference;
                    value[i] = static_cast<float>(difference);
                }
            } else {
                // The key values serve only the key colour.
                for (int i = 0; i < kBlock; ++i) {
                    start[i] = minimum + (static_cast<double>(sample[i]) - keyed);
                }
                const double last = static_cast<double>(sample[kBlock - 1]) - keyed;
                value[kBlock - 1] = static_cast<float>(last);
            }
            carry.windowStart[c] = start[kBlock - 1];
            carry.keyValue[c] = value[kBlock - 1];
        }
    }
    for (int i = 0; i < kBlock && everyLane == 0; ++i) {
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
    if (plan.keyColours) {
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

// The staged channels less each pixel's window start, rounded to float, as
// Distances takes them while sampling: the plain matte's input then.
void FromWindowStarts(const float* const staged[3], Block& k) noexcept {
    for (int c = 0; c < 3; ++c) {
        const float* VESKAR_RESTRICT channel = staged[c];
        const double* VESKAR_RESTRICT starts = k.windowStart[c];
        float* VESKAR_RESTRICT e = k.fromStart[c];
        for (int i = 0; i < kBlock; ++i) e[i] = static_cast<float>(channel[i] - starts[i]);
    }
}

// Whether the matte's falloff takes a cos.
inline bool FalloffTakesCos(std::int32_t mode) noexcept {
    return mode == kFalloffCosine || mode == kFalloffHalfCos || mode == kFalloffBCos;
}

inline constexpr double kInvTwoPi = 0x1.45f306dc9c883p-3;

// How far x (0 <= x <= kRoughCosLimit) lies from the nearest multiple of 2 pi,
// in turns: x / (2 pi) less its nearest integer, the subtraction exact, the
// quotient within x 2^-52 / (2 pi) of the truth.
VESKAR_INLINE double TurnDistance(double x) noexcept {
    const double turns = x * kInvTwoPi;
    return std::fabs(turns - ((turns + det_math::kRoundMagic) - det_math::kRoundMagic));
}

// 1 when x is outside RoughCos' range (NaN and infinities among them).
VESKAR_INLINE std::int32_t OutsideRoughCos(double x) noexcept {
    return std::fabs(x) <= det_math::kRoughCosLimit ? 0 : 1;
}

// "MIN"'s m for lanes whose terms are in RoughCos' range, through one cos a
// lane: cos(x) falls as x's distance from the nearest multiple of 2 pi grows,
// so the smallest of the three cosines is the cosine of the term farthest from
// one. With the distances within x 2^-52 (in radians) the term chosen can be a
// wrong one only by twice that for the largest x, and its cos then exceeds the
// smallest by no more than that (cos moves no faster than its argument).
// "BCos" adds one and halves, which keeps the order. `error` receives each
// lane's largest error of m, RoughCos' included.
template <int kCount>
VESKAR_INLINE void RoughMinOfCos(std::int32_t falloff, const double* VESKAR_RESTRICT x1,
                                 const double* VESKAR_RESTRICT x2, const double* VESKAR_RESTRICT x3,
                                 double* VESKAR_RESTRICT m, double* VESKAR_RESTRICT error) noexcept {
    double chosen[kCount];
    for (int i = 0; i < kCount; ++i) {
        const double a1 = std::fabs(x1[i]);
        const double a2 = std::fabs(x2[i]);
        const double a3 = std::fabs(x3[i]);
        const double d1 = TurnDistance(a1);
        const double d2 = TurnDistance(a2);
        const double d3 = TurnDistance(a3);
        double x = d2 > d1 ? a2 : a1;
        const double d = d2 > d1 ? d2 : d1;
        chosen[i] = d3 > d ? a3 : x;
        double top = a1 > a2 ? a1 : a2;
        top = top > a3 ? top : a3;
        // Twice RoughCos' bound (it covers Cos' error and the halving's
        // rounding), and x 2^-50 for the choice.
        error[i] = 2.0 * det_math::kRoughCosError + top * 0x1p-50;
    }
    // Loops of their own: with the choice in it, GCC does not vectorise the
    // loop of RoughCos for SSE2.
    for (int i = 0; i < kCount; ++i) m[i] = det_math::RoughCos(chosen[i]);
    if (falloff == kFalloffBCos) {
        for (int i = 0; i < kCount; ++i) m[i] = (m[i] + 1.0) * 0.5;
    }
}

// p = 1 - m rounded to float for `kCount` lanes whose falloff takes cos, as
// MatteFalloff and Combine give it, without Cos where it can be spared: only
// the float of m reaches the matte (for "DIST", only the float of the sum of
// squares), so where the value through RoughCos, widened by what its error
// can become on the way, rounds to one float at both ends, that float is the
// one Cos gives. Lanes whose ends round apart (rare on ordinary plates) or
// whose terms are out of RoughCos' range take the per-pixel stages.
template <int kCount>
VESKAR_INLINE void CosMatteLanes(std::int32_t falloff, bool dist,
                                 const double* VESKAR_RESTRICT t1,
                                 const double* VESKAR_RESTRICT t2,
                                 const double* VESKAR_RESTRICT t3,
                                 float* VESKAR_RESTRICT p) noexcept {
    const double scale = falloff == kFalloffHalfCos ? kHalfPi : kPi;
    double x[3][kCount];
    std::int32_t undecided[kCount];
    for (int i = 0; i < kCount; ++i) {
        x[0][i] = scale * t1[i];
        x[1][i] = scale * t2[i];
        x[2][i] = scale * t3[i];
        undecided[i] = OutsideRoughCos(x[0][i]) | OutsideRoughCos(x[1][i]) |
                       OutsideRoughCos(x[2][i]);
    }
    std::int32_t any = 0;
    if (dist) {
        double r[3][kCount];
        for (int c = 0; c < 3; ++c) {
            for (int i = 0; i < kCount; ++i) r[c][i] = det_math::RoughCos(x[c][i]);
            if (falloff == kFalloffBCos) {
                for (int i = 0; i < kCount; ++i) r[c][i] = (r[c][i] + 1.0) * 0.5;
            }
        }
        // Twice the bound: it covers the roundings of the sums and squares too.
        constexpr double kError = 2.0 * det_math::kRoughCosError;
        for (int i = 0; i < kCount; ++i) {
            const double a = 1.0 - r[1][i];
            const double b = 1.0 - r[0][i];
            const double c = 1.0 - r[2][i];
            const double sum = a * a + b * b + c * c;
            // A square moves by about 2 |a| times its term's error.
            const double error = kError * (std::fabs(a) + std::fabs(b) + std::fabs(c) + 0x1p-40) +
                                 sum * 0x1p-48;
            const float low = static_cast<float>(sum - error);
            const float high = static_cast<float>(sum + error);
            undecided[i] |= static_cast<std::int32_t>(low != high);
            any |= undecided[i];
            p[i] = 1.0f - static_cast<float>(1.0 - static_cast<double>(std::sqrt(low)));
        }
    } else {
        double m[kCount];
        double error[kCount];
        RoughMinOfCos<kCount>(falloff, x[0], x[1], x[2], m, error);
        for (int i = 0; i < kCount; ++i) {
            const float low = static_cast<float>(m[i] - error[i]);
            const float high = static_cast<float>(m[i] + error[i]);
            undecided[i] |= static_cast<std::int32_t>(low != high);
            any |= undecided[i];
            p[i] = 1.0f - low;
        }
    }
    if (any == 0) return;
    const std::int32_t keyer = dist ? kKeyerDist : kKeyerMin;
    for (int i = 0; i < kCount; ++i) {
        if (undecided[i] == 0) continue;
        const std::array<double, 3> terms{detail::MatteFalloff(falloff, t1[i]),
                                          detail::MatteFalloff(falloff, t2[i]),
                                          detail::MatteFalloff(falloff, t3[i])};
        p[i] = 1.0f - static_cast<float>(detail::Combine(keyer, terms));
    }
}

void Mattes(const LinePlan& plan, const float* const staged[3], Block& k) noexcept {
    const Snapshot& s = *plan.s;
    Distances(plan, staged, k, k.term, k.fadeTerm);
    Lane p;
    if (!plan.withFade && FalloffTakesCos(plan.falloff)) {
        CosMatteLanes<kBlock>(plan.falloff, plan.dist, k.term[0], k.term[1], k.term[2], p);
    } else {
        for (int c = 0; c < 3; ++c) MatteFalloff(plan.falloff, k.term[c]);
        Combine(plan.dist, k.term[0], k.term[1], k.term[2], k.m);
        for (int i = 0; i < kBlock; ++i) p[i] = 1.0f - static_cast<float>(k.m[i]);
    }
    if (plan.withFade) {
        for (int c = 0; c < 3; ++c) FadeFalloff(plan.falloff, k.fadeTerm[c]);
        Combine(plan.dist, k.fadeTerm[0], k.fadeTerm[1], k.fadeTerm[2], k.n);
    }

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
            // Only p's float reaches the matte: PowFloatLanes decides most
            // lanes from a cheap pow. The fade signal stays a double: Pow.
            double base[kBlock];
            for (int i = 0; i < kBlock; ++i) base[i] = static_cast<double>(p[i]);
            if (!SparePowers<kBlock>(plan.spared, p)) PowFloatLanes(base, plan.exponent, p, kBlock);
            if (plan.withFade) {
                for (int i = 0; i < kBlock; ++i) base[i] = fadeSignal[i];
                PowLanes(base, plan.exponent, fadeSignal, kBlock);
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

}  // namespace

}  // namespace keying::VESKAR_LINE_NS
