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
// the branch would have produced. cos and pow are keying/det_math.h's, run
// over the block (vectorised like the other stages), so they return exactly
// what the per-pixel stages get. The commonest plans skip the blocks: see "The plain line" in
// line_kernel_plain_line.h.
//
// The kernel's pieces, each a header of its own, in the order they build on
// each other: line_kernel_lanes.h (the block's lanes), line_kernel_conversions.h
// (colour spaces over a block), line_kernel_block_stages.h (the plan, the block
// and its stages up to the matte), line_kernel_correction.h (colour correction
// and alpha output), line_kernel_registers.h and line_kernel_plain_line.h (the
// plain line). This file turns the job into the line's plan and holds KeyLine,
// which takes the plain line or runs the stages block by block.

#include <cmath>
#include <cstdint>

#include "keying/colour_correction.h"
#include "keying/key_signal.h"
#include "keying/line_kernel_block_stages.h"
#include "keying/line_kernel_conversions.h"
#include "keying/line_kernel_correction.h"
#include "keying/line_kernel_lanes.h"
#include "keying/line_kernel_plain_line.h"
#include "keying/line_kernel_registers.h"
#include "keying/line_kernel_targets.h"

namespace keying::VESKAR_LINE_NS {

namespace {

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
    plan.keyColours = plan.correction == Correction::kMine;
    // "mine" subtracts key * (1 - fade matte) * fadeCC * 5. The fade matte lies
    // in 0..1, so with a fadeCC of +0 or -0 that is a zero of the key's sign
    // times fadeCC's, or NaN for a key that is not finite, whatever the fade
    // matte: the line then spares it (SubtractKeyColour takes 1 - 0.5).
    plan.withFade = plan.keyColours && !(s.fadeCC == 0.0);
    plan.sampling = job.keyRow != nullptr;
    // The colour multiplied by the matte, a desaturation that never raises the
    // saturation, and for the pulls an amount in 0..1: see ClearBlock.
    const bool pullBetween = s.ccAmount >= 0.0 && s.ccAmount <= 1.0;
    plan.clearsToZero = s.alphaMultiply == 1.0 && !(s.desaturate < 0.0) &&
                        (plan.correction == Correction::kMine ||
                         (plan.correction != Correction::kNone && pullBetween));
    for (int c = 0; c < 3; ++c) {
        plan.width[c] = s.windowWidth[c];
        plan.halfWidth[c] = s.windowWidth[c] * 0.5;
    }
    plan.fadeFactor = 1.0 - 5.0 * s.fadeCC;
    plan.gamma = s.gamma != 0.0 && !std::isnan(s.gamma);
    plan.exponent = plan.gamma ? 1.0 / s.gamma : 1.0;
    plan.power = plan.gamma && plan.exponent != 1.0;
    if (plan.power) plan.spared = SparedPowerOf(s, plan.exponent);
    plan.startKeyColour[0] = job.startKeyColour.r;
    plan.startKeyColour[1] = job.startKeyColour.g;
    plan.startKeyColour[2] = job.startKeyColour.b;
    // "mine" subtracts key * keyed * amount * 5 and key * (1 - fade matte) *
    // fadeCC * 5, keyed and the fade matte's share within 0..1. NaN fails.
    plan.moderateTerms = plan.keyColours && !plan.sampling;
    for (int c = 0; c < 3; ++c) {
        const double key = std::fabs(static_cast<double>(plan.startKeyColour[c]));
        const double terms = key * std::fabs(s.ccAmount) * 5.0 + key * std::fabs(s.fadeCC) * 5.0;
        plan.moderateTerms = plan.moderateTerms && terms <= 0x1p110;
    }
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
            if (plan.sampling) {
                FromWindowStarts(staged, k);
                const float* fromStart[3] = {k.fromStart[0], k.fromStart[1], k.fromStart[2]};
                plainMattes(plain, fromStart, k.matte);
            } else {
                plainMattes(plain, staged, k.matte);
            }
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

void CosBlock(const double* in, double* out, int count) noexcept { CosLanes(in, out, count); }

void PowBlock(const double* base, double exponent, double* out, int count) noexcept {
    PowLanes(base, exponent, out, count);
}

void PowFloatBlock(const double* base, double exponent, float* out, int count) noexcept {
    PowFloatLanes(base, exponent, out, count);
}

}  // namespace keying::VESKAR_LINE_NS
