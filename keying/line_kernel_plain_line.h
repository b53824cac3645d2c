#pragma once

// The line kernel's plain line: the commonest plans keyed from record to
// record in registers (line_kernel_registers.h) in place of the block stages
// (line_kernel_block_stages.h, line_kernel_correction.h), and the plain line's
// matte over a block for lines that take the block stages otherwise.
// line_kernel_body.h picks it per line.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "keying/alpha_output.h"
#include "keying/det_math.h"
#include "keying/key_signal.h"
#include "keying/line_kernel_block_stages.h"
#include "keying/line_kernel_lanes.h"
#include "keying/line_kernel_registers.h"
#include "keying/snapshot.h"

namespace keying::VESKAR_LINE_NS {

namespace {

// ---- The plain line --------------------------------------------------------

#if defined(__SSE2__)

// Lines in RGB without key samples or colour correction (the defaults among
// them) with any falloff, with or without a gamma's power: every stage of four
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
    bool power;  // a power other than exactly 1 is taken
    FloatPowerPlan exponent;
    SparedPower spared;
    std::int32_t falloff;
    bool cos;  // the falloff takes a cos
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
           !plan.withFade;
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
    q.power = plan.power;
    q.exponent = FloatPowerOf(plan.exponent);
    q.spared = plan.spared;
    q.falloff = plan.falloff;
    q.cos = FalloffTakesCos(plan.falloff);
    options = (floatStart ? kPlainFloatStart : 0u) |
              (plan.falloff == kFalloffLinear ? kPlainLinear : 0u) | (plan.dist ? kPlainDist : 0u) |
              (IsFloat(s.offset) && IsFloat(s.gain) ? kPlainFloatMatte : 0u) |
              (s.alphaMultiply == 1.0 ? kPlainMultiply : 0u) |
              (s.invertAlpha == 1 ? kPlainInvert : 0u);
    return q;
}

// The cos and the power of lanes, out of line: each is a long chain of steps
// against which a call costs nothing, and one copy serves every kernel below
// (inlined, each of the kernels' specialisations carried its own, and the
// build took minutes per instruction set).
#if defined(__GNUC__)
#define VESKAR_OUT_OF_LINE __attribute__((noinline))
#else
#define VESKAR_OUT_OF_LINE
#endif

template <int kCount, bool kDist>
VESKAR_OUT_OF_LINE void PlainCosMatte(std::int32_t falloff, const double* VESKAR_RESTRICT t1,
                                      const double* VESKAR_RESTRICT t2,
                                      const double* VESKAR_RESTRICT t3,
                                      float* VESKAR_RESTRICT p) noexcept {
    CosMatteLanes<kCount>(falloff, kDist, t1, t2, t3, p);
}

// p^exponent rounded to float in place for kCount lanes, as keying::Pow gives it.
template <int kCount>
VESKAR_OUT_OF_LINE void PlainPowers(const FloatPowerPlan& exponent,
                                    float* VESKAR_RESTRICT p) noexcept {
    double base[kCount];
    for (int i = 0; i < kCount; ++i) base[i] = static_cast<double>(p[i]);
    PowFloatLanes(exponent, base, p, kCount);
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

// p^exponent rounded to float lane by lane, as keying::Pow gives it, with the
// exponent's plan made once for the line (lines take PlainRun where they can).
template <class V>
VESKAR_INLINE typename V::Floats PlainPower(const PlainPlan& q, typename V::Floats p) noexcept {
    constexpr int kLanes = sizeof(typename V::Floats) / sizeof(float);
    float lanes[kLanes];
    V::Store(lanes, p);
    PlainPowers<kLanes>(q.exponent, lanes);
    return V::Load(lanes);
}

// p = 1 - m rounded to float lane by lane for a falloff that takes cos, through
// CosMatteLanes over the register's lanes (lines take PlainRun where they
// can: a register's lanes alone leave RoughCos' chain of dependent steps
// waiting on each other).
template <class V, unsigned kOptions>
VESKAR_INLINE typename V::Floats PlainCos(const PlainPlan& q, typename V::Doubles t1,
                                          typename V::Doubles t2,
                                          typename V::Doubles t3) noexcept {
    constexpr int kLanes = sizeof(typename V::Floats) / sizeof(float);
    double terms[3][kLanes];
    V::Store(terms[0], t1);
    V::Store(terms[1], t2);
    V::Store(terms[2], t3);
    float p[kLanes];
    PlainCosMatte<kLanes, (kOptions & kPlainDist) != 0>(q.falloff, terms[0], terms[1], terms[2], p);
    return V::Load(p);
}

// The mattes of the pixels from their red, green and blue, before the gamma's
// power.
template <class V, unsigned kOptions>
VESKAR_INLINE typename V::Floats PlainBase(const PlainPlan& q, typename V::Floats r,
                                           typename V::Floats g, typename V::Floats b) noexcept {
    using D = typename V::Doubles;
    const D t1 = PlainTerm<V, kOptions>(q, 0, r);
    const D t2 = PlainTerm<V, kOptions>(q, 1, g);
    const D t3 = PlainTerm<V, kOptions>(q, 2, b);
    // A cos falloff (a test on the line's plan, which the loop keeps).
    if (q.cos) return PlainCos<V, kOptions>(q, t1, t2, t3);
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
    return V::Sub(V::Splat(1.0f), V::Narrow(m));
}

// The mattes from their powers: offset, gain, the limits and the inversion.
template <class V, unsigned kOptions>
VESKAR_INLINE typename V::Floats PlainFinish(const PlainPlan& q, typename V::Floats p) noexcept {
    using F = typename V::Floats;
    const F one = V::Splat(1.0f);
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

// The mattes of the pixels from their red, green and blue.
template <class V, unsigned kOptions>
VESKAR_INLINE typename V::Floats PlainMatte(const PlainPlan& q, typename V::Floats r,
                                            typename V::Floats g, typename V::Floats b) noexcept {
    typename V::Floats p = PlainBase<V, kOptions>(q, r, g, b);
    // A gamma's power (a test on the line's plan, which the loop keeps).
    if (q.power) p = PlainPower<V>(q, p);
    return PlainFinish<V, kOptions>(q, p);
}

// Keys the records in place: blue, green, red, alpha each. With kPowered, the
// powers of the pixels' mattes are given (PlainRun made them).
template <class V, unsigned kOptions, bool kPowered = false>
VESKAR_INLINE void PlainRecords(const PlainPlan& q, typename V::Floats& v0, typename V::Floats& v1,
                                typename V::Floats& v2, typename V::Floats& v3,
                                const float* powered = nullptr) noexcept {
    using F = typename V::Floats;
    V::Transpose(v0, v1, v2, v3);  // now blue, green, red, alpha of the pixels
    F b = v0, g = v1, r = v2;
    const F a = v3;
    F matte;
    if constexpr (kPowered) {
        matte = PlainFinish<V, kOptions>(q, V::Load(powered));
    } else {
        matte = PlainMatte<V, kOptions>(q, r, g, b);
    }
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
template <class V, unsigned kOptions, bool kPowered = false>
VESKAR_INLINE void PlainStep(const PlainPlan& q, const float* in, float* out,
                             const float* powered = nullptr) noexcept {
    constexpr std::ptrdiff_t kStride = sizeof(typename V::Floats) / sizeof(float);
    auto v0 = V::Load(in);
    auto v1 = V::Load(in + kStride);
    auto v2 = V::Load(in + 2 * kStride);
    auto v3 = V::Load(in + 3 * kStride);
    PlainRecords<V, kOptions, kPowered>(q, v0, v1, v2, v3, powered);
    V::Store(out, v0);
    V::Store(out + kStride, v1);
    V::Store(out + 2 * kStride, v2);
    V::Store(out + 3 * kStride, v3);
}

// Pixels keyed a run at a time on lines with a cos falloff or a gamma's power.
inline constexpr int kPlainRun = kBlock;

// A run's values before its cos and power: for the pixels from `at` on, their
// terms with a cos falloff, else their mattes before the power.
struct PlainRunValues {
    double terms[3][kPlainRun];
    float p[kPlainRun];
};

template <class V, unsigned kOptions>
VESKAR_INLINE void PlainRunStart(const PlainPlan& q, int at, typename V::Floats r,
                                 typename V::Floats g, typename V::Floats b,
                                 PlainRunValues& run) noexcept {
    if (q.cos) {
        V::Store(run.terms[0] + at, PlainTerm<V, kOptions>(q, 0, r));
        V::Store(run.terms[1] + at, PlainTerm<V, kOptions>(q, 1, g));
        V::Store(run.terms[2] + at, PlainTerm<V, kOptions>(q, 2, b));
    } else {
        V::Store(run.p + at, PlainBase<V, kOptions>(q, r, g, b));
    }
}

// The run's p before the finish: the cos of its terms, then the power, which
// a run of solid pixels (or of pixels keyed clear to 0) is spared.
template <unsigned kOptions>
VESKAR_INLINE void PlainRunPowers(const PlainPlan& q, PlainRunValues& run) noexcept {
    if (q.cos) {
        PlainCosMatte<kPlainRun, (kOptions & kPlainDist) != 0>(q.falloff, run.terms[0],
                                                               run.terms[1], run.terms[2], run.p);
    }
    if (q.power && !SparePowers<kPlainRun>(q.spared, run.p)) {
        PlainPowers<kPlainRun>(q.exponent, run.p);
    }
}

// Keys kPlainRun records, from `in` to `out` (which may be `in`): the terms or
// the mattes before the power first, then the cos and the power of them all,
// then the rest. One register's cos or power is a long chain of dependent
// steps that the processor cannot overlap with much else; a run's registers
// are independent chains.
template <unsigned kOptions>
VESKAR_INLINE void PlainRun(const PlainPlan& q, const float* in, float* out) noexcept {
    using V = Widest;
    constexpr int kPixels = sizeof(typename V::Floats) / sizeof(float);
    static_assert(kPlainRun % kPixels == 0);
    PlainRunValues run;
    for (int i = 0; i < kPlainRun; i += kPixels) {
        const float* records = in + static_cast<std::ptrdiff_t>(i) * kRecordFloats;
        auto b = V::Load(records);
        auto g = V::Load(records + kPixels);
        auto r = V::Load(records + 2 * kPixels);
        auto a = V::Load(records + 3 * kPixels);
        V::Transpose(b, g, r, a);
        PlainRunStart<V, kOptions>(q, i, r, g, b, run);
    }
    PlainRunPowers<kOptions>(q, run);
    for (int i = 0; i < kPlainRun; i += kPixels) {
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(i) * kRecordFloats;
        PlainStep<V, kOptions, true>(q, in + at, out + at, run.p + i);
    }
}

template <unsigned kOptions>
void PlainLine(const PlainPlan& plan, const float* source, float* output,
               std::int32_t width) noexcept {
    // A copy of its own, which no store through `output` can change, so that
    // the constants stay in registers.
    const PlainPlan q = plan;
    constexpr int kPixels = sizeof(typename Widest::Floats) / sizeof(float);
    std::int32_t x = 0;
    if (q.power || q.cos) {
        for (; x + kPlainRun <= width; x += kPlainRun) {
            PlainRun<kOptions>(q, source + static_cast<std::int64_t>(x) * kRecordFloats,
                               output + static_cast<std::int64_t>(x) * kRecordFloats);
        }
    }
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
void PlainMattes(const PlainPlan& q, const float* const staged[3], float* matte) noexcept {
    constexpr int kPixels = sizeof(typename Widest::Floats) / sizeof(float);
    static_assert(kBlock % (2 * kPixels) == 0 && kBlock == kPlainRun);
    if (q.cos || q.power) {
        // The block as a run (PlainRun).
        PlainRunValues run;
        for (int i = 0; i < kBlock; i += kPixels) {
            PlainRunStart<Widest, kOptions>(q, i, Widest::Load(staged[0] + i),
                                            Widest::Load(staged[1] + i),
                                            Widest::Load(staged[2] + i), run);
        }
        PlainRunPowers<kOptions>(q, run);
        for (int i = 0; i < kBlock; i += 2 * kPixels) {
            Widest::StorePair(matte + i, PlainFinish<Widest, kOptions>(q, Widest::Load(run.p + i)),
                              PlainFinish<Widest, kOptions>(q, Widest::Load(run.p + i + kPixels)));
        }
        return;
    }
    const auto matteAt = [&](int i) {
        return PlainMatte<Widest, kOptions>(q, Widest::Load(staged[0] + i), Widest::Load(staged[1] + i),
                                            Widest::Load(staged[2] + i));
    };
    for (int i = 0; i < kBlock; i += 2 * kPixels) Widest::StorePair(matte + i, matteAt(i), matteAt(i + kPixels));
}

using PlainMattesKernel = void (*)(const PlainPlan&, const float* const[3], float*) noexcept;

template <unsigned... kOptions>
constexpr std::array<PlainMattesKernel, sizeof...(kOptions)> AllPlainMattes(
    std::integer_sequence<unsigned, kOptions...>) noexcept {
    // The colour's multiplication is no part of the matte.
    return {&PlainMattes<kOptions & ~static_cast<unsigned>(kPlainMultiply)>...};
}

bool TakesPlainMattes(const LinePlan& plan) noexcept { return !plan.withFade; }

// The kernel for the line's mattes, null when the line takes Mattes.
PlainMattesKernel PlainMattesFor(const LinePlan& plan, PlainPlan& q) noexcept {
    static constexpr std::array<PlainMattesKernel, kPlainOptions> kernels =
        AllPlainMattes(std::make_integer_sequence<unsigned, kPlainOptions>{});
    if (!TakesPlainMattes(plan)) return nullptr;
    unsigned options = 0;
    q = MakePlainPlan(plan, options);
    if (plan.sampling) {
        // Each pixel keys with a window start of its own: KeyLine hands the
        // kernel the channels less their starts (Distances' e), from which a
        // start of +0 in single precision takes nothing (x - +0 is x, -0 and
        // NaN included).
        for (int c = 0; c < 3; ++c) {
            q.startF[c] = 0.0f;
            q.start[c] = 0.0;
        }
        options |= kPlainFloatStart;
    }
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

}  // namespace

}  // namespace keying::VESKAR_LINE_NS
