#pragma once

// The line kernel's block stages after the matte: the colour corrections and
// the alpha output, each a loop over the block that line_kernel_block_stages.h
// loaded and gave its mattes.

#include <bit>
#include <cmath>
#include <cstdint>

#include "keying/alpha_output.h"
#include "keying/colour_correction.h"
#include "keying/line_kernel_block_stages.h"
#include "keying/line_kernel_conversions.h"
#include "keying/line_kernel_lanes.h"
#include "keying/snapshot.h"

namespace keying::VESKAR_LINE_NS {

namespace {

// ---- Colour correction -----------------------------------------------------

// Saturation lowered by the keyed amount times the desaturate amount, then
// back to RGB into out[0..2], in one pass. Where that product is a zero in
// every lane (a desaturate amount of 0, or a finite one and a block keyed
// solid: keyed is never infinite or NaN), the lowered saturation is the
// saturation itself wherever it is above 0, and 0 or below (or NaN) wherever it
// is not; only that test and the value above 0 reach the colour, so the block
// converts without lowering.
void Desaturate(const Snapshot& s, Block& k, const float* hue, const float* saturation,
                const float* value) noexcept {
    bool unchanged = s.desaturate == 0.0;
    if (!unchanged && std::isfinite(s.desaturate)) {
        std::uint32_t keyedBits = 0;
        for (int i = 0; i < kBlock; ++i) keyedBits |= std::bit_cast<std::uint32_t>(k.keyed[i]);
        unchanged = keyedBits == 0;
    }
    if (unchanged) {
        FromHsv(hue, saturation, value, k.out[0], k.out[1], k.out[2]);
    } else {
        FromHsvLanes<true>(hue, saturation, value, k.keyed, s.desaturate, k.out[0], k.out[1],
                           k.out[2]);
    }
}

// One channel of "mine"'s subtraction over the block, with the key colour
// lane by lane (kSampling) or the line's, and the fade matte's share
// 1 - fade matte (kFade) or 0.5 in every lane of a line without a fade CC
// (MakePlan says why any share in 0..1 gives the same bits there).
template <bool kSampling, bool kFade>
void SubtractLanes(const float* VESKAR_RESTRICT channel, const float* VESKAR_RESTRICT keys,
                   float lineKey, const Block& k, double amount, double fadeCC,
                   float* VESKAR_RESTRICT subtracted) noexcept {
    for (int i = 0; i < kBlock; ++i) {
        const float key = kSampling ? keys[i] : lineKey;
        const double share = kFade ? 1.0 - k.fadeMatte[i] : 0.5;
        const float scaled = key * k.keyed[i];
        const float c1 = static_cast<float>(channel[i] - scaled * amount * 5.0);
        subtracted[i] = static_cast<float>(c1 - key * share * fadeCC * 5.0);
    }
}

// Whether every lane of the three channels holds the same bits in a as in b.
inline bool SameLanes(const float* const a[3], const float* const b[3]) noexcept {
    std::uint32_t differ = 0;
    for (int c = 0; c < 3; ++c) {
        const float* VESKAR_RESTRICT x = a[c];
        const float* VESKAR_RESTRICT y = b[c];
        for (int i = 0; i < kBlock; ++i)
            differ |= std::bit_cast<std::uint32_t>(x[i]) ^ std::bit_cast<std::uint32_t>(y[i]);
    }
    return differ == 0;
}

// "mine"'s subtraction for a block whose lanes are all keyed solid (keyed
// +0), on a line with one key colour and no fade matte: both subtracted terms
// are then the line's, key * +0 * amount * 5 and key * 0.5 * fadeCC * 5. Where
// both are zeros, subtracting them (in double, then rounding to float) is
// exact and follows the same sign rules in single precision (NaN channels
// stay NaN with their payload), so the lanes subtract them as floats. False,
// with nothing written, for any other block.
bool SubtractSolidBlock(const LinePlan& plan, Block& k) noexcept {
    if (plan.sampling || plan.withFade) return false;
    const Snapshot& s = *plan.s;
    float first[3];
    float second[3];
    for (int c = 0; c < 3; ++c) {
        const float key = plan.startKeyColour[c];
        const float scaled = key * 0.0f;
        const double z1 = scaled * s.ccAmount * 5.0;
        const double z2 = key * 0.5 * s.fadeCC * 5.0;
        if (!(z1 == 0.0 && z2 == 0.0)) return false;
        first[c] = static_cast<float>(z1);
        second[c] = static_cast<float>(z2);
    }
    std::uint32_t keyedBits = 0;
    for (int i = 0; i < kBlock; ++i) keyedBits |= std::bit_cast<std::uint32_t>(k.keyed[i]);
    if (keyedBits != 0) return false;
    const float* channels[3] = {k.r, k.g, k.b};
    for (int c = 0; c < 3; ++c) {
        const float* VESKAR_RESTRICT channel = channels[c];
        float* VESKAR_RESTRICT subtracted = k.work[c];
        const float z1 = first[c];
        const float z2 = second[c];
        for (int i = 0; i < kBlock; ++i) subtracted[i] = (channel[i] - z1) - z2;
    }
    return true;
}

// "mine"'s subtraction for any block, into work[0..2].
void SubtractBlock(const LinePlan& plan, Block& k) noexcept {
    const double amount = plan.s->ccAmount;
    const double fadeCC = plan.s->fadeCC;
    const float* channels[3] = {k.r, k.g, k.b};
    for (int c = 0; c < 3; ++c) {
        const float* keys = k.keyColour[c];
        const float key = plan.startKeyColour[c];
        if (plan.sampling) {
            if (plan.withFade) {
                SubtractLanes<true, true>(channels[c], keys, key, k, amount, fadeCC, k.work[c]);
            } else {
                SubtractLanes<true, false>(channels[c], keys, key, k, amount, fadeCC, k.work[c]);
            }
        } else if (plan.withFade) {
            SubtractLanes<false, true>(channels[c], keys, key, k, amount, fadeCC, k.work[c]);
        } else {
            SubtractLanes<false, false>(channels[c], keys, key, k, amount, fadeCC, k.work[c]);
        }
    }
}

// Whether every lane of the three lanes is finite and within 2^120 in
// magnitude: the HSV conversion then gives a hue in 0..1 (its spread stays
// finite and within the difference of the extremes).
inline bool Moderate(const Lane (&lanes)[3]) noexcept {
    std::int32_t moderate = 1;
    for (int c = 0; c < 3; ++c) {
        const float* VESKAR_RESTRICT lane = lanes[c];
        for (int i = 0; i < kBlock; ++i) {
            moderate &= static_cast<std::int32_t>(std::fabs(lane[i]) <= 0x1p120f);
        }
    }
    return moderate != 0;
}

// "mine" into out[0..2]; false when the block is keyed clear (ClearBlock) and
// the subtracted colour is moderate: only its hue reaches the colour, then in
// 0..1, so the colour is one that the matte's +0 turns into +0 (see
// ClearBlock), and nothing is converted. On lines whose subtracted terms are
// within 2^110 (MakePlan) the colour of a clear block, within 2^110 too, is
// moderate without being subtracted: each rounding of the two subtractions
// stays within 2^112.
bool SubtractKeyColour(const LinePlan& plan, Block& k, bool clear) noexcept {
    if (clear && plan.moderateTerms) return false;
    const Snapshot& s = *plan.s;
    const float* channels[3] = {k.r, k.g, k.b};
    if (!SubtractSolidBlock(plan, k)) SubtractBlock(plan, k);
    if (clear && Moderate(k.work)) return false;
    // The source's saturation and value, and the subtracted colour's hue: the
    // parts that "mine" keeps. Where the subtraction left every lane as it was
    // (pixels keyed solid without a fade CC: the commonest block), both come
    // from one conversion of the source.
    const float* subtracted[3] = {k.work[0], k.work[1], k.work[2]};
    if (SameLanes(subtracted, channels)) {
        ToHsv(k.r, k.g, k.b, k.hsv2[0], k.hsv[1], k.hsv[2]);
    } else {
        HsvParts<false, true>(k.r, k.g, k.b, k.hsv[0], k.hsv[1], k.hsv[2]);
        HsvParts<true, false>(k.work[0], k.work[1], k.work[2], k.hsv2[0], k.hsv2[1], k.hsv2[2]);
    }
    Desaturate(s, k, k.hsv2[0], k.hsv[1], k.hsv[2]);
    return true;
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
    int changed = 1;  // green, or blue for the double green average
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
            changed = 2;
            break;
    }
    // The changed channel goes to its work lane; the others are read where
    // they are.
    const float* channels[3] = {k.r, k.g, k.b};
    const float* VESKAR_RESTRICT a = first;
    const float* VESKAR_RESTRICT b = second;
    const float* VESKAR_RESTRICT from = channels[changed];
    float* VESKAR_RESTRICT to = k.work[changed];
    for (int i = 0; i < kBlock; ++i) {
        const double reference = (weight * a[i] + b[i]) * scale;
        const float pulled = static_cast<float>((1.0 - amount) * from[i] + amount * reference);
        to[i] = from[i] > reference ? pulled : from[i];
    }
    channels[changed] = to;
    ToHsv(channels[0], channels[1], channels[2], k.hsv[0], k.hsv[1], k.hsv[2]);
    Desaturate(s, k, k.hsv[0], k.hsv[1], k.hsv[2]);
}

void LimitByChannel(const Snapshot& s, Block& k) noexcept {
    const double amount = s.ccAmount;
    const bool byBlue = s.colorCorrection == kCorrectionBlueLimit;
    // Green pulled in every lane; the lanes where green rises above the
    // reference take the pulled colour at the source's largest channel.
    const float* VESKAR_RESTRICT references = byBlue ? k.b : k.r;
    // A block without such a lane keeps its source colour: no round trip.
    unsigned limitedLanes = 0;
    for (int i = 0; i < kBlock; ++i) limitedLanes |= static_cast<unsigned>(k.g[i] > references[i]);
    if (limitedLanes == 0) {
        ToHsv(k.r, k.g, k.b, k.hsv[0], k.hsv[1], k.hsv[2]);
        Desaturate(s, k, k.hsv[0], k.hsv[1], k.hsv[2]);
        return;
    }
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
    const float* channels[3] = {k.r, k.g, k.b};
    for (int c = 0; c < 3; ++c) {
        // A selection a lane, which the compiler runs on several at once.
        const float* VESKAR_RESTRICT green = k.g;
        const float* VESKAR_RESTRICT source = channels[c];
        float* VESKAR_RESTRICT work = k.work[c];
        for (int i = 0; i < kBlock; ++i) {
            const float limitedColour = work[i];
            const float sourceColour = source[i];
            work[i] = green[i] > references[i] ? limitedColour : sourceColour;
        }
    }
    ToHsv(k.work[0], k.work[1], k.work[2], k.hsv[0], k.hsv[1], k.hsv[2]);
    Desaturate(s, k, k.hsv[0], k.hsv[1], k.hsv[2]);
}

// Whether the block is keyed clear where the colour is multiplied by the
// matte, so that the corrections' colour can be the source's: every lane's
// matte is +0 (keyed 1) and every source channel is +0 or above and below
// 2^110 (finite, and moderate for "mine").
// The corrections then give colours of the same kind, which the matte turns
// into +0 as it turns the source: a source colour of that kind has a hue in
// 0..1, a saturation in 0..1 and a value of +0 or more; a pull by an amount in
// 0..1 (MakePlan's condition for the averages and the limits) stays between
// the channel and its reference; a lowering by a desaturate amount of 0 or
// more (or NaN, which gives grey) keeps the saturation at 1 or less; and HSV
// to RGB of such values (for "mine" the hue of the subtracted colour, when
// moderate) is +0 or more and finite, and never -0.
inline bool ClearBlock(const LinePlan& plan, const Block& k) noexcept {
    if (!plan.clearsToZero) return false;
    constexpr std::uint32_t kBelow = std::bit_cast<std::uint32_t>(0x1p110f);
    std::uint32_t matteBits = 0;
    for (int i = 0; i < kBlock; ++i) matteBits |= std::bit_cast<std::uint32_t>(k.matte[i]);
    if (matteBits != 0) return false;
    std::int32_t plain = 1;
    const float* channels[3] = {k.r, k.g, k.b};
    for (int c = 0; c < 3; ++c) {
        const float* VESKAR_RESTRICT channel = channels[c];
        for (int i = 0; i < kBlock; ++i) {
            // Sign bit clear and below 2^110.
            plain &= static_cast<std::int32_t>(std::bit_cast<std::uint32_t>(channel[i]) < kBelow);
        }
    }
    return plain != 0;
}

// The corrected colour into out[0..2]; without a correction, and in blocks
// keyed clear where the correction's colour would come out as the source's
// (ClearBlock), the source's colour lanes stand for it, uncopied.
void Correct(const LinePlan& plan, Block& k, Keyed& keyed) noexcept {
    bool corrected = plan.correction != Correction::kNone;
    if (corrected) {
        for (int i = 0; i < kBlock; ++i) k.keyed[i] = 1.0f - k.matte[i];
        const bool clear = ClearBlock(plan, k);
        switch (plan.correction) {
            case Correction::kMine:
                corrected = SubtractKeyColour(plan, k, clear);
                break;
            case Correction::kAverage:
                if (clear) {
                    corrected = false;
                } else {
                    LimitByAverage(*plan.s, k);
                }
                break;
            case Correction::kLimit:
                if (clear) {
                    corrected = false;
                } else {
                    LimitByChannel(*plan.s, k);
                }
                break;
            case Correction::kNone:
                break;
        }
    }
    if (corrected) {
        for (int c = 0; c < 3; ++c) keyed.channel[c] = k.out[c];
    } else {
        keyed.channel[0] = k.r;
        keyed.channel[1] = k.g;
        keyed.channel[2] = k.b;
    }
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

}  // namespace

}  // namespace keying::VESKAR_LINE_NS
