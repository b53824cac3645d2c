#pragma once

// cos and pow of our own, in double, from IEEE basic operations only (+ - * /
// on doubles, with integer operations on their bits) in a fixed order: no
// fused multiply-add (the build has -ffp-contract=off), no library call, no
// path that depends on the processor. They return the same bits on every
// processor and platform, scalar or vectorised, which the C library's cos and
// pow do not (its builds for processors with and without FMA differ in the
// last bit, and so do the C runtimes of other platforms).
//
// Accuracy, measured against MPFR (tests/keying/test_det_math_mpfr.cpp):
// within 1 ulp everywhere, and correctly rounded for all but a small share
// of arguments (cos: 0.514 ulp at most, 99.95 % correctly rounded; pow: 0.5002
// ulp, 99.998 %): each works in double-double where the last bit is decided,
// so its error is half an ulp plus a small fraction of one. A pow result in
// the subnormal range is rounded twice (once to 53 bits, then to the
// subnormal's precision) and may be one off the correctly rounded one.
// Special values follow the C library's IEEE results exactly (cos(inf) and
// cos(NaN) are NaN; pow(negative, non-integer) is NaN; zeros, infinities and
// ones as C99 Annex F gives them).
//
// Everything here has internal linkage: the line kernels are compiled once
// per instruction set, and an inline function shared by name with baseline
// code could reach a baseline caller in its wider-instruction copy.
//
// The *Lanes functions run a whole block: a first loop, free of branches and
// calls, that the compiler vectorises, then a scalar pass over the rare lanes
// that it does not cover (cos of |x| >= 2^19, infinities and NaN; pow of
// infinite or NaN operands). Cos and Pow are the same two steps for one
// value, so both give the same bits.

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

// The block loops vectorise only with the whole computation inlined into them.
#if defined(__GNUC__)
#define VESKAR_DET_INLINE inline __attribute__((always_inline))
#else
#define VESKAR_DET_INLINE inline
#endif

namespace keying {

namespace {

namespace det_math {

struct Pair {
    double hi, lo;
};

// a + b = s + e exactly.
VESKAR_DET_INLINE Pair TwoSum(double a, double b) noexcept {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// a + b = s + e exactly, when |a| >= |b| (or a is 0).
VESKAR_DET_INLINE Pair FastTwoSum(double a, double b) noexcept {
    const double s = a + b;
    return {s, b - (s - a)};
}

// a = hi + lo with 26 significant bits each (Veltkamp); |a| < 2^995.
VESKAR_DET_INLINE Pair Split(double a) noexcept {
    const double c = 134217729.0 * a;
    const double hi = c - (c - a);
    return {hi, a - hi};
}

// a * b = p + e exactly (Dekker), without a fused multiply-add.
VESKAR_DET_INLINE Pair TwoProduct(double a, double b) noexcept {
    const double p = a * b;
    const Pair x = Split(a);
    const Pair y = Split(b);
    const double e = ((x.hi * y.hi - p) + x.hi * y.lo + x.lo * y.hi) + x.lo * y.lo;
    return {p, e};
}

inline constexpr double kRoundMagic = 0x1.8p52;  // adding it rounds to an integer
inline constexpr double kTwoTo52 = 0x1p52;

// 2^e for an integral e in -1022..1023, from its bits.
VESKAR_DET_INLINE double PowerOfTwo(double e) noexcept {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(e + kRoundMagic);
    return std::bit_cast<double>((bits + 1023u) << 52);
}

// Selections as blends of bits, with the mask from the sign of a difference:
// the compiler may turn a selection into two paths and put the table loads of
// Log2 and Exp2 under a condition, which no instruction set gathers, and SSE2
// has no 64-bit comparison to make a mask from a bool.
//
// All ones where a < b, for finite a and b (a - b is +0, not -0, when equal).
VESKAR_DET_INLINE std::uint64_t MaskBelow(double a, double b) noexcept {
    return std::uint64_t{0} - (std::bit_cast<std::uint64_t>(a - b) >> 63);
}

// mask ? a : b, bit by bit.
VESKAR_DET_INLINE double Blend(std::uint64_t mask, double a, double b) noexcept {
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(a) & mask) |
                                 (std::bit_cast<std::uint64_t>(b) & ~mask));
}

// ---- cos -------------------------------------------------------------------

// pi/2 in four pieces; the first three carry 33 bits or fewer, so that their
// products with a quadrant count below 2^20 are exact.
inline constexpr double kHalfPi1 = 0x1.921fb544p+0;
inline constexpr double kHalfPi2 = 0x1.0b4611a6p-34;
inline constexpr double kHalfPi3 = 0x1.3198a2ep-69;
inline constexpr double kHalfPi4 = 0x1.b839a252049c1p-104;
inline constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
inline constexpr double kHalfPiHi = 0x1.921fb54442d18p+0;
inline constexpr double kHalfPiLo = 0x1.1a62633145c07p-54;

/// Arguments below this (in magnitude) take the vectorised path.
inline constexpr double kCosFastLimit = 0x1p19;

// x / d as hi + lo, for a small integer d and x = hi + lo given.
VESKAR_DET_INLINE Pair DivideBy(Pair x, double d) noexcept {
    const double q = x.hi / d;
    const Pair back = TwoProduct(q, d);
    return {q, (((x.hi - back.hi) - back.lo) + x.lo) / d};
}

// cos(y0 + y1) for |y0| <= pi/4 + a little, |y1| <= ulp(y0): 1 - z/2 + z^2/24
// in double-double (z = y0^2), the Taylor terms from z^3/6! on (their sum
// reaches 2^-70 of the result) in double, y1 through the derivative -sin.
VESKAR_DET_INLINE double CosKernel(double y0, double y1) noexcept {
    const Pair z = TwoProduct(y0, y0);
    const double zh = z.hi;
    double p = -1.0 / 6402373705728000.0;
    p = p * zh + 1.0 / 20922789888000.0;
    p = p * zh - 1.0 / 87178291200.0;
    p = p * zh + 1.0 / 479001600.0;
    p = p * zh - 1.0 / 3628800.0;
    p = p * zh + 1.0 / 40320.0;
    p = p * zh - 1.0 / 720.0;
    const Pair square = TwoProduct(zh, zh);
    const Pair quartic = DivideBy({square.hi, square.lo + 2.0 * zh * z.lo}, 24.0);
    const double hz = 0.5 * zh;
    const double w = 1.0 - hz;
    // 1 - w is exact, and so is its difference to hz (the rounding of w).
    const Pair lead = FastTwoSum(w, quartic.hi);
    const double low = ((lead.lo + ((1.0 - w) - hz)) + (quartic.lo - 0.5 * z.lo)) +
                       ((zh * square.hi) * p - y1 * (y0 * (1.0 - zh / 6.0)));
    return lead.hi + low;
}

// sin(y0 + y1) for |y0| <= pi/4 + a little, |y1| <= ulp(y0): y0 - y0^3/6 in
// double-double, the terms from y0^5/5! on in double, y1 through the
// derivative cos.
VESKAR_DET_INLINE double SinKernel(double y0, double y1) noexcept {
    const Pair z = TwoProduct(y0, y0);
    const double zh = z.hi;
    double q = -1.0 / 121645100408832000.0;
    q = q * zh + 1.0 / 355687428096000.0;
    q = q * zh - 1.0 / 1307674368000.0;
    q = q * zh + 1.0 / 6227020800.0;
    q = q * zh - 1.0 / 39916800.0;
    q = q * zh + 1.0 / 362880.0;
    q = q * zh - 1.0 / 5040.0;
    q = q * zh + 1.0 / 120.0;
    const Pair cube = TwoProduct(y0, zh);
    const Pair sixth = DivideBy({cube.hi, cube.lo + y0 * z.lo}, 6.0);
    const Pair lead = FastTwoSum(y0, -sixth.hi);
    const double low = (lead.lo - sixth.lo) + ((cube.hi * zh) * q + y1 * (1.0 - 0.5 * zh));
    return lead.hi + low;
}

// CosKernel(y0, y1) where `odd` is false, SinKernel(y0, y1) where it is true,
// for a lane that needs only one of them: each step takes the operands of the
// lane's kernel, in that kernel's order, and the steps one kernel lacks change
// nothing (CosKernel's polynomial starts from a coefficient 0, and 0 * zh + c
// is c; its rounding term is -0 for SinKernel, and lead.lo + -0 is lead.lo).
// Negations and the order of a product's factors round alike, so each lane
// gets its kernel's bits at half the work of both. It runs in three steps that
// CosLanes takes over a whole block one after the other: a loop with the whole
// computation in its body is held up by its own chain of dependent operations,
// shorter loops let the processor overlap many lanes' chains.

// Step 1: y0^2 = z.hi + z.lo and the polynomial of the higher Taylor terms.
struct KernelSquare {
    Pair z;
    double p;
};

VESKAR_DET_INLINE KernelSquare KernelStep1(bool odd, double y0) noexcept {
    const Pair z = TwoProduct(y0, y0);
    const double zh = z.hi;
    double p = odd ? -1.0 / 121645100408832000.0 : 0.0;
    p = p * zh + (odd ? 1.0 / 355687428096000.0 : -1.0 / 6402373705728000.0);
    p = p * zh + (odd ? -1.0 / 1307674368000.0 : 1.0 / 20922789888000.0);
    p = p * zh + (odd ? 1.0 / 6227020800.0 : -1.0 / 87178291200.0);
    p = p * zh + (odd ? -1.0 / 39916800.0 : 1.0 / 479001600.0);
    p = p * zh + (odd ? 1.0 / 362880.0 : -1.0 / 3628800.0);
    p = p * zh + (odd ? -1.0 / 5040.0 : 1.0 / 40320.0);
    p = p * zh + (odd ? 1.0 / 120.0 : -1.0 / 720.0);
    return {z, p};
}

// Step 2: y0 zh (the cube) or zh zh (the square), and it over 6 or 24.
struct KernelPart {
    double power;
    Pair part;
};

VESKAR_DET_INLINE KernelPart KernelStep2(bool odd, double y0, Pair z) noexcept {
    const double zh = z.hi;
    const Pair power = TwoProduct(odd ? y0 : zh, zh);
    const double cross = (odd ? y0 : 2.0 * zh) * z.lo;
    return {power.hi, DivideBy({power.hi, power.lo + cross}, odd ? 6.0 : 24.0)};
}

// Step 3: the sum, with y1 through the derivative (cos for sin, -sin for cos).
VESKAR_DET_INLINE double KernelStep3(bool odd, double y0, double y1, Pair z, double p,
                                     KernelPart k) noexcept {
    const double zh = z.hi;
    const double hz = 0.5 * zh;
    const double w = 1.0 - hz;
    const Pair lead = FastTwoSum(odd ? y0 : w, odd ? -k.part.hi : k.part.hi);
    const double rounding = odd ? -0.0 : (1.0 - w) - hz;
    const double tail = odd ? -k.part.lo : k.part.lo - 0.5 * z.lo;
    const double slope = odd ? 1.0 - 0.5 * zh : -(y0 * (1.0 - zh / 6.0));
    const double low = ((lead.lo + rounding) + tail) + ((zh * k.power) * p + y1 * slope);
    return lead.hi + low;
}

// Whether quadrant q takes the sine, and whether it negates.
VESKAR_DET_INLINE bool OddQuadrant(double q) noexcept { return q == 1.0 || q == 3.0; }
VESKAR_DET_INLINE bool NegativeQuadrant(double q) noexcept { return q == 1.0 || q == 2.0; }

// cos from the quadrant q (0 to 3) and the remainder y0 + y1. The quadrant is
// a double so that the selections vectorise at every instruction set.
VESKAR_DET_INLINE double CosOfQuadrant(double q, double y0, double y1) noexcept {
    const double c = CosKernel(y0, y1);
    const double s = SinKernel(y0, y1);
    const double v = q == 1.0 || q == 3.0 ? s : c;
    return q == 1.0 || q == 2.0 ? -v : v;
}

// The low two bits of an integer-valued `shifted` (n + kRoundMagic), as a double.
VESKAR_DET_INLINE double QuadrantOf(double shifted) noexcept {
    const std::uint64_t low = std::bit_cast<std::uint64_t>(shifted) & 3u;
    return std::bit_cast<double>(low | 0x4330000000000000u) - kTwoTo52;
}

// The quadrant and remainder of x for |x| < kCosFastLimit (any other x gives
// values of no meaning, never a fault): x = n pi/2 + y0 + y1 with n the nearest
// integer, by pi/2 in pieces.
struct Reduced {
    double q;
    Pair y;
};

VESKAR_DET_INLINE Reduced ReduceFast(double x) noexcept {
    const double ax = std::fabs(x);
    const double shifted = ax * kTwoOverPi + kRoundMagic;
    const double n = shifted - kRoundMagic;
    // n * kHalfPi1 is exact and close enough to ax for the difference to be.
    const double t = ax - n * kHalfPi1;
    const Pair a = TwoSum(t, -(n * kHalfPi2));
    const Pair b = TwoSum(a.hi, -(n * kHalfPi3));
    const double lo = (a.lo + b.lo) - n * kHalfPi4;
    return {QuadrantOf(shifted), TwoSum(b.hi, lo)};
}

// cos of `count` (at most kCosChunk) values below kCosFastLimit, each step a
// loop over all of them.
inline constexpr int kCosChunk = 64;

VESKAR_DET_INLINE void CosFastChunk(const double* __restrict in, double* __restrict out,
                                    int count) noexcept {
    double q[kCosChunk], y0[kCosChunk], y1[kCosChunk];
    double zh[kCosChunk], zl[kCosChunk], p[kCosChunk];
    double power[kCosChunk], partHi[kCosChunk], partLo[kCosChunk];
    for (int i = 0; i < count; ++i) {
        const Reduced r = ReduceFast(in[i]);
        q[i] = r.q;
        y0[i] = r.y.hi;
        y1[i] = r.y.lo;
    }
    for (int i = 0; i < count; ++i) {
        const KernelSquare k = KernelStep1(OddQuadrant(q[i]), y0[i]);
        zh[i] = k.z.hi;
        zl[i] = k.z.lo;
        p[i] = k.p;
    }
    for (int i = 0; i < count; ++i) {
        const KernelPart k = KernelStep2(OddQuadrant(q[i]), y0[i], {zh[i], zl[i]});
        power[i] = k.power;
        partHi[i] = k.part.hi;
        partLo[i] = k.part.lo;
    }
    for (int i = 0; i < count; ++i) {
        const double v = KernelStep3(OddQuadrant(q[i]), y0[i], y1[i], {zh[i], zl[i]}, p[i],
                                     {power[i], {partHi[i], partLo[i]}});
        out[i] = NegativeQuadrant(q[i]) ? -v : v;
    }
}

// CosFastChunk for one value: CosKernel or SinKernel, the same bits.
inline double CosFastScalar(double x) noexcept {
    const Reduced r = ReduceFast(x);
    const bool odd = r.q == 1.0 || r.q == 3.0;
    const double v = odd ? SinKernel(r.y.hi, r.y.lo) : CosKernel(r.y.hi, r.y.lo);
    return r.q == 1.0 || r.q == 2.0 ? -v : v;
}

// 2/pi in bits: word j holds bits 32j+1 .. 32j+32 after the binary point.
inline constexpr std::uint32_t kTwoOverPiBits[] = {
    0xA2F9836E, 0x4E441529, 0xFC2757D1, 0xF534DDC0, 0xDB629599, 0x3C439041, 0xFE5163AB,
    0xDEBBC561, 0xB7246E3A, 0x424DD2E0, 0x06492EEA, 0x09D1921C, 0xFE1DEB1C, 0xB129A73E,
    0xE88235F5, 0x2EBB4484, 0xE99C7026, 0xB45F7E41, 0x3991D639, 0x835339F4, 0x9C845F8B,
    0xBDF9283B, 0x1FF897FF, 0xDE05980F, 0xEF2F118B, 0x5A0A6D1F, 0x6D367ECF, 0x27CB09B7,
    0x4F463F66, 0x9E5FEA2D, 0x7527BAC7, 0xEBE5F17B, 0x3D0739F7, 0x8A5292EA, 0x6BFB5FB1,
    0x1F8D5D08, 0x56033046, 0xFC7B6BAB, 0xF0CFBC20, 0x9AF4361D, 0xA9E39161, 0x5EE61B08};

// 64 bits of the little-endian 32-bit limbs from bit `at` on.
inline std::uint64_t Bits64(const std::uint32_t* limbs, int at) noexcept {
    const int j = at / 32;
    const int shift = at % 32;
    const std::uint64_t low = limbs[j] | (static_cast<std::uint64_t>(limbs[j + 1]) << 32);
    if (shift == 0) return low;
    return (low >> shift) | (static_cast<std::uint64_t>(limbs[j + 2]) << (64 - shift));
}

// The 256 bits of 2/pi from bit `first` (1 = the first after the point) on,
// as little-endian 32-bit limbs.
inline void TwoOverPiWindow(int first, std::uint32_t (&window)[8]) noexcept {
    const int j = (first - 1) / 32;
    const int shift = (first - 1) % 32;
    for (int i = 0; i < 8; ++i) {
        const std::uint32_t high = kTwoOverPiBits[j + i];
        const std::uint32_t next = kTwoOverPiBits[j + i + 1];
        window[7 - i] = shift == 0 ? high : (high << shift) | (next >> (32 - shift));
    }
}

// x = n pi/2 + y0 + y1 for a finite x >= 2^19, with 2/pi to 256 bits past
// x's own (Payne and Hanek): the remainder keeps 120 bits or more even where
// x lies closest to a multiple of pi/2.
inline double CosHuge(double ax) noexcept {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(ax);
    const std::uint64_t mantissa = (bits & 0x000FFFFFFFFFFFFFu) | 0x0010000000000000u;
    const int e = static_cast<int>(bits >> 52) - 1075;  // ax = mantissa 2^e
    // Bits of 2/pi worth 4 or more in the product only add multiples of 2 pi.
    const int first = e - 1 > 1 ? e - 1 : 1;
    std::uint32_t window[8];
    TwoOverPiWindow(first, window);
    std::uint32_t product[12] = {};
    const std::uint64_t parts[2] = {mantissa & 0xFFFFFFFFu, mantissa >> 32};
    for (int p = 0; p < 2; ++p) {
        std::uint64_t carry = 0;
        for (int i = 0; i < 8; ++i) {
            const std::uint64_t sum = parts[p] * window[i] + product[i + p] + carry;
            product[i + p] = static_cast<std::uint32_t>(sum);
            carry = sum >> 32;
        }
        product[8 + p] = static_cast<std::uint32_t>(carry);
    }
    // The product's bit `point` is worth 1 in x * 2/pi.
    const int point = first + 255 - e;
    std::uint64_t q = Bits64(product, point);
    std::uint64_t f[3] = {Bits64(product, point - 64), Bits64(product, point - 128),
                          Bits64(product, point - 192)};
    double sign = 1.0;
    if ((f[0] >> 63) != 0) {
        // A fraction of one half or more: the next quadrant, a negative remainder.
        ++q;
        sign = -1.0;
        for (std::uint64_t& word : f) word = ~word;
        if (++f[2] == 0 && ++f[1] == 0) ++f[0];
    }
    int lead = 0;
    if (f[0] == 0) {
        // Never twice: no double lies within 2^-64 of a multiple of pi/2.
        f[0] = f[1];
        f[1] = f[2];
        f[2] = 0;
        lead = 64;
    }
    const int s = std::countl_zero(f[0]);
    lead += s;
    std::uint64_t n0 = f[0];
    std::uint64_t n1 = f[1];
    if (s != 0) {
        n0 = (n0 << s) | (f[1] >> (64 - s));
        n1 = (n1 << s) | (f[2] >> (64 - s));
    }
    const double scale = PowerOfTwo(static_cast<double>(-53 - lead));
    const double fh = static_cast<double>(n0 >> 11) * scale;
    const double fl = static_cast<double>(((n0 & 0x7FFu) << 42) | (n1 >> 22)) * (scale * 0x1p-53);
    const Pair r = TwoProduct(fh, kHalfPiHi);
    const double rl = r.lo + (fh * kHalfPiLo + fl * kHalfPiHi);
    const Pair y = FastTwoSum(r.hi, rl);
    return CosOfQuadrant(static_cast<double>(q & 3u), sign * y.hi, sign * y.lo);
}

inline double CosRare(double x) noexcept {
    // cos(inf) and cos(NaN) are NaN.
    if (!std::isfinite(x)) return x - x;
    return CosHuge(std::fabs(x));
}

// ---- pow -------------------------------------------------------------------

inline constexpr double kLn2Hi = 0x1.62e42fefa39efp-1;
inline constexpr double kLn2Lo = 0x1.abc9e3b39803fp-56;
// Beyond it a power of any base other than 1 over- or underflows.
inline constexpr double kExponentLimit = 0x1p64;

// Tables for Log2 and Exp2: log2 of the centres c_i that Log2 divides the
// mantissa by (c_0 = 1 and c_63 = 2, so that bases near 1 keep every bit;
// otherwise 1 + (2i + 1)/128), and 2^(i/64), each as hi + lo.
inline constexpr double kLog2CentreHi[64] = {
    0.0,
    0x1.11cd1d5133413p-5,
    0x1.c4dfab90aab5fp-5,
    0x1.3aa2fdd27f1c3p-4,
    0x1.918a16e46335bp-4,
    0x1.e72ec117fa5b2p-4,
    0x1.1dcd197552b7bp-3,
    0x1.476a9f983f74dp-3,
    0x1.70742d4ef027fp-3,
    0x1.98edd077e70dfp-3,
    0x1.c0db6cdd94deep-3,
    0x1.e840be74e6a4dp-3,
    0x1.0790adbb03009p-2,
    0x1.1ac05b291f070p-2,
    0x1.2db10fc4d9aafp-2,
    0x1.406463b1b0449p-2,
    0x1.52dbdfc4c96b3p-2,
    0x1.6518fe4677ba7p-2,
    0x1.771d2ba7efb3cp-2,
    0x1.88e9c72e0b226p-2,
    0x1.9a802391e232fp-2,
    0x1.abe18797f1f49p-2,
    0x1.bd0f2e9e79031p-2,
    0x1.ce0a4923a587dp-2,
    0x1.ded3fd442364cp-2,
    0x1.ef6d67328e220p-2,
    0x1.ffd799a83ff9bp-2,
    0x1.0809cf27f703dp-1,
    0x1.10113b153c8eap-1,
    0x1.18028cf72976ap-1,
    0x1.1fde3d30e8126p-1,
    0x1.27a4c0585cbf8p-1,
    0x1.2f56875eb3f26p-1,
    0x1.36f3ffb6d9162p-1,
    0x1.3e7d9379f7016p-1,
    0x1.45f3a98a20739p-1,
    0x1.4d56a5b33cec4p-1,
    0x1.54a6e8ca5438ep-1,
    0x1.5be4d0cb51435p-1,
    0x1.6310b8f553048p-1,
    0x1.6a2af9e5a0f0ap-1,
    0x1.7133e9b156c7cp-1,
    0x1.782bdbfdda657p-1,
    0x1.7f1322182cf16p-1,
    0x1.85ea0b0b27b26p-1,
    0x1.8cb0e3b4b3bbep-1,
    0x1.9367f6da0ab2fp-1,
    0x1.9a0f8d3b0e050p-1,
    0x1.a0a7eda4c112dp-1,
    0x1.a7315d02f20c8p-1,
    0x1.adac1e711c833p-1,
    0x1.b418734a9008cp-1,
    0x1.ba769b39e4964p-1,
    0x1.c0c6d447c5dd3p-1,
    0x1.c7095ae91e1c7p-1,
    0x1.cd3e6a0ca8907p-1,
    0x1.d3663b27f31d5p-1,
    0x1.d9810643d6615p-1,
    0x1.df8f02086af2cp-1,
    0x1.e59063c8822cep-1,
    0x1.eb855f8ca88fbp-1,
    0x1.f16e281db7630p-1,
    0x1.f74aef0efafaep-1,
    0x1.0000000000000p+0,
};

inline constexpr double kLog2CentreLo[64] = {
    0.0,
    -0x1.27ebafb056cb9p-61,
    -0x1.60e0f2c3388f0p-62,
    -0x1.3fd9776f25acfp-59,
    -0x1.463736dac9317p-58,
    0x1.cbdb5d9dc29f2p-60,
    0x1.7a9150c1e0e58p-57,
    0x1.89c74a0b21fb6p-58,
    0x1.4e00e7d6bbf3ep-58,
    0x1.7d6746548b95cp-62,
    0x1.0389b662673fcp-57,
    -0x1.c1b061571081ep-58,
    0x1.bc0c69a675517p-56,
    0x1.4a31ce1b7e328p-56,
    0x1.bc4de8f631bcfp-56,
    0x1.d6cbcd10948cdp-56,
    0x1.f73d83987f26dp-56,
    -0x1.add8712376167p-58,
    -0x1.b90132aeddb58p-58,
    -0x1.6d266d6cdc959p-56,
    0x1.a5db68721ca61p-57,
    -0x1.e5b8daaa73a43p-58,
    -0x1.52ef4c737fba5p-56,
    -0x1.b517ae88c2fd3p-57,
    0x1.3aec658457c41p-56,
    0x1.f47806a0e4105p-56,
    -0x1.18ce032f41d1ep-56,
    0x1.496cf074560fbp-55,
    0x1.ec7376b9beb39p-55,
    0x1.3ae3a5f4514cdp-55,
    0x1.0905751ce113cp-55,
    0x1.5e13b838eba7dp-59,
    0x1.4278cd1699312p-57,
    0x1.011dca8547336p-55,
    0x1.ab8a9eb6954b2p-55,
    -0x1.6ca0007f66345p-55,
    0x1.29b7bfe661cfdp-55,
    -0x1.393cd6715512fp-55,
    -0x1.545303fb7776ap-55,
    0x1.01a9685c77900p-55,
    0x1.0132ae5e417cdp-58,
    -0x1.ae9804237ec8ep-57,
    0x1.ef21f8497aaa9p-55,
    -0x1.768994400ca0ap-56,
    0x1.086fce864a1f6p-57,
    -0x1.325dd5e813991p-55,
    -0x1.8cde69308bc91p-55,
    -0x1.0b5465aa1681ap-56,
    -0x1.9ced1447e30adp-57,
    -0x1.0aa7d70047ddbp-55,
    -0x1.754e94f284604p-56,
    -0x1.343a338410904p-56,
    0x1.df0fdbc295d19p-58,
    0x1.8b66a69571d18p-55,
    0x1.82f26c6231132p-55,
    -0x1.ede45b7759da9p-56,
    0x1.4bc1bd6da56c7p-56,
    -0x1.e1dfc8a5cddf4p-56,
    0x1.2fbd20f1a2af4p-55,
    0x1.586446a6eb19bp-55,
    0x1.a96b8ce77611ep-58,
    0x1.d90c94610afb6p-56,
    -0x1.42f24d04e397cp-56,
    0.0,
};

inline constexpr double kExp2StepHi[64] = {
    0x1.0000000000000p+0, 0x1.02c9a3e778061p+0, 0x1.059b0d3158574p+0, 0x1.0874518759bc8p+0,
    0x1.0b5586cf9890fp+0, 0x1.0e3ec32d3d1a2p+0, 0x1.11301d0125b51p+0, 0x1.1429aaea92de0p+0,
    0x1.172b83c7d517bp+0, 0x1.1a35beb6fcb75p+0, 0x1.1d4873168b9aap+0, 0x1.2063b88628cd6p+0,
    0x1.2387a6e756238p+0, 0x1.26b4565e27cddp+0, 0x1.29e9df51fdee1p+0, 0x1.2d285a6e4030bp+0,
    0x1.306fe0a31b715p+0, 0x1.33c08b26416ffp+0, 0x1.371a7373aa9cbp+0, 0x1.3a7db34e59ff7p+0,
    0x1.3dea64c123422p+0, 0x1.4160a21f72e2ap+0, 0x1.44e086061892dp+0, 0x1.486a2b5c13cd0p+0,
    0x1.4bfdad5362a27p+0, 0x1.4f9b2769d2ca7p+0, 0x1.5342b569d4f82p+0, 0x1.56f4736b527dap+0,
    0x1.5ab07dd485429p+0, 0x1.5e76f15ad2148p+0, 0x1.6247eb03a5585p+0, 0x1.6623882552225p+0,
    0x1.6a09e667f3bcdp+0, 0x1.6dfb23c651a2fp+0, 0x1.71f75e8ec5f74p+0, 0x1.75feb564267c9p+0,
    0x1.7a11473eb0187p+0, 0x1.7e2f336cf4e62p+0, 0x1.82589994cce13p+0, 0x1.868d99b4492edp+0,
    0x1.8ace5422aa0dbp+0, 0x1.8f1ae99157736p+0, 0x1.93737b0cdc5e5p+0, 0x1.97d829fde4e50p+0,
    0x1.9c49182a3f090p+0, 0x1.a0c667b5de565p+0, 0x1.a5503b23e255dp+0, 0x1.a9e6b5579fdbfp+0,
    0x1.ae89f995ad3adp+0, 0x1.b33a2b84f15fbp+0, 0x1.b7f76f2fb5e47p+0, 0x1.bcc1e904bc1d2p+0,
    0x1.c199bdd85529cp+0, 0x1.c67f12e57d14bp+0, 0x1.cb720dcef9069p+0, 0x1.d072d4a07897cp+0,
    0x1.d5818dcfba487p+0, 0x1.da9e603db3285p+0, 0x1.dfc97337b9b5fp+0, 0x1.e502ee78b3ff6p+0,
    0x1.ea4afa2a490dap+0, 0x1.efa1bee615a27p+0, 0x1.f50765b6e4540p+0, 0x1.fa7c1819e90d8p+0,
};

inline constexpr double kExp2StepLo[64] = {
    0.0,
    -0x1.19083535b085dp-56,
    0x1.d73e2a475b465p-55,
    0x1.186be4bb284ffp-57,
    0x1.8a62e4adc610bp-54,
    0x1.03a1727c57b53p-59,
    -0x1.6c51039449b3ap-54,
    -0x1.32fbf9af1369ep-54,
    -0x1.19041b9d78a76p-55,
    0x1.e5b4c7b4968e4p-55,
    0x1.e016e00a2643cp-54,
    0x1.dc775814a8495p-55,
    0x1.9b07eb6c70573p-54,
    0x1.2bd339940e9d9p-55,
    0x1.612e8afad1255p-55,
    0x1.0024754db41d5p-54,
    0x1.6f46ad23182e4p-55,
    0x1.32721843659a6p-54,
    -0x1.63aeabf42eae2p-54,
    -0x1.5e436d661f5e3p-56,
    0x1.ada0911f09ebcp-55,
    -0x1.ef3691c309278p-58,
    0x1.89b7a04ef80d0p-59,
    0x1.3c1a3b69062f0p-56,
    0x1.d4397afec42e2p-56,
    -0x1.4b309d25957e3p-54,
    -0x1.07abe1db13cadp-55,
    0x1.9bb2c011d93adp-54,
    0x1.6324c054647adp-54,
    0x1.ba6f93080e65ep-54,
    -0x1.383c17e40b497p-54,
    -0x1.bb60987591c34p-54,
    -0x1.bdd3413b26456p-54,
    -0x1.bbe3a683c88abp-57,
    -0x1.16e4786887a99p-55,
    -0x1.0245957316dd3p-54,
    -0x1.41577ee04992fp-55,
    0x1.05d02ba15797ep-56,
    -0x1.d4c1dd41532d8p-54,
    -0x1.fc6f89bd4f6bap-54,
    0x1.6e9f156864b27p-54,
    0x1.5cc13a2e3976cp-55,
    -0x1.75fc781b57ebcp-57,
    -0x1.d185b7c1b85d1p-54,
    0x1.c7c46b071f2bep-56,
    -0x1.359495d1cd533p-54,
    -0x1.d2f6edb8d41e1p-54,
    0x1.0fac90ef7fd31p-54,
    0x1.7a1cd345dcc81p-54,
    -0x1.2805e3084d708p-57,
    -0x1.5584f7e54ac3bp-56,
    0x1.23dd07a2d9e84p-55,
    0x1.11065895048ddp-55,
    0x1.2884dff483cadp-54,
    0x1.503cbd1e949dbp-56,
    -0x1.cbc3743797a9cp-54,
    0x1.2ed02d75b3707p-55,
    0x1.c2300696db532p-54,
    -0x1.1a5cd4f184b5cp-54,
    0x1.39e8980a9cc8fp-55,
    -0x1.e9c23179c2893p-54,
    0x1.dc7f486a4b6b0p-54,
    0x1.9d3e12dd8a18bp-54,
    0x1.74853f3a5931ep-55,
};

inline constexpr double kTwoOverLn2Hi = 0x1.71547652b82fep+1;
inline constexpr double kTwoOverLn2Lo = 0x1.777d0ffda0d24p-55;

// The low bits of an integer-valued `shifted` (n + kRoundMagic) as a table index.
VESKAR_DET_INLINE std::uint64_t LowBits(double shifted, std::uint64_t mask) noexcept {
    return std::bit_cast<std::uint64_t>(shifted) & mask;
}

// log2(x) for a finite x > 0, as hi + lo with an error below 2^-72 (and
// below 2^-100 of the value where x is near 1). x = 2^k m, m in [1, 2), and
// log2(m) = log2(c) + 2/ln 2 atanh(s), s = (m - c)/(m + c), |s| < 2^-7, c
// the centre of the 64th of [1, 2) that m lies in.
VESKAR_DET_INLINE Pair Log2(double x) noexcept {
    const std::uint64_t tiny = MaskBelow(x, 0x1p-1022);
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x * Blend(tiny, 0x1p54, 1.0));
    const double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFu) | 0x3FF0000000000000u);
    double k = std::bit_cast<double>((bits >> 52) | 0x4330000000000000u) - (kTwoTo52 + 1023.0);
    k = k - Blend(tiny, 54.0, 0.0);
    const std::uint64_t i = (bits >> 46) & 63u;
    const double id = std::bit_cast<double>(i | 0x4330000000000000u) - kTwoTo52;
    double c = 1.0 + (2.0 * id + 1.0) * 0x1p-7;
    c = id == 0.0 ? 1.0 : (id == 63.0 ? 2.0 : c);

    const double num = m - c;  // exact
    const Pair den = TwoSum(m, c);
    const double sh = num / den.hi;
    const Pair back = TwoProduct(sh, den.hi);
    const double sl = (((num - back.hi) - back.lo) - sh * den.lo) / den.hi;
    // 2/ln 2 (s + s^3/3 + ... + s^9/9): the first term in double-double.
    const double z = sh * sh;
    const double q = z * (1.0 / 3.0 + z * (1.0 / 5.0 + z * (1.0 / 7.0 + z * (1.0 / 9.0))));
    Pair lead = TwoProduct(sh, kTwoOverLn2Hi);
    lead.lo += sh * kTwoOverLn2Lo + sl * kTwoOverLn2Hi;
    const double rest = (kTwoOverLn2Hi * sh) * q;

    const Pair a = TwoSum(k, kLog2CentreHi[i]);
    const Pair b = TwoSum(a.hi, lead.hi);
    const double low = ((a.lo + b.lo) + kLog2CentreLo[i]) + (lead.lo + rest);
    return FastTwoSum(b.hi, low);
}

// 2^(t.hi + t.lo) for |t.lo| <= ulp(t.hi). Beyond +-1100 it over- or
// underflows alike, so t.hi is clamped there. t = j + i/64 + f with |f| <=
// 1/128; 2^f = e^g by its Taylor series to g^6.
VESKAR_DET_INLINE double Exp2(Pair t) noexcept {
    double th = Blend(MaskBelow(t.hi, -1100.0), -1100.0, t.hi);
    th = Blend(MaskBelow(1100.0, th), 1100.0, th);
    const double tl = Blend(MaskBelow(1100.0, std::fabs(t.hi)), 0.0, t.lo);
    const double shifted = th * 64.0 + kRoundMagic;
    const double n = shifted - kRoundMagic;
    const double f = th - n * 0x1p-6;  // exact, |f| <= 1/128
    const std::uint64_t i = LowBits(shifted, 63u);
    const double step = std::bit_cast<double>(i | 0x4330000000000000u) - kTwoTo52;
    const double j = (n - step) * 0x1p-6;

    const Pair fg = TwoProduct(f, kLn2Hi);
    const Pair g = FastTwoSum(fg.hi, fg.lo + (f * kLn2Lo + tl * kLn2Hi));
    const double gh = g.hi;
    // e^g - 1 = gh + rest, rest = g.lo (1 + gh) + gh^2 (1/2 + gh/6 + ...).
    const double q =
        (gh * gh) *
        (0.5 + gh * (1.0 / 6.0 + gh * (1.0 / 24.0 + gh * (1.0 / 120.0 + gh * (1.0 / 720.0)))));
    const double rest = (g.lo + g.lo * gh) + q;
    // 2^(i/64) (1 + gh + rest).
    const double th64 = kExp2StepHi[i];
    const double tl64 = kExp2StepLo[i];
    const Pair p = TwoProduct(th64, gh);
    const Pair s = FastTwoSum(th64, p.hi);
    const double v = s.hi + (((s.lo + p.lo) + th64 * rest) + (tl64 + tl64 * gh));
    // 2^j in two halves, so that neither leaves the normal range.
    const double j1 = (j * 0.5 + kRoundMagic) - kRoundMagic;
    return v * PowerOfTwo(j1) * PowerOfTwo(j - j1);
}

// Whether y is an integer, and an odd one.
VESKAR_DET_INLINE bool IsInteger(double ay) noexcept {
    return ay >= kTwoTo52 || (ay + kTwoTo52) - kTwoTo52 == ay;
}
VESKAR_DET_INLINE bool IsOddInteger(double ay) noexcept {
    const double half = ay * 0.5;
    return ay < 2.0 * kTwoTo52 && IsInteger(ay) && (half + kTwoTo52) - kTwoTo52 != half;
}

// What pow takes from a finite exponent y, once for a whole block: the
// branches on y become factors of +-1 or NaN, so that the loop over the bases
// has only selections on doubles and vectorises at every instruction set.
struct Exponent {
    double y;
    double clamped;       // y within +-kExponentLimit
    double atZero;        // the power of a zero base: +0, +inf, or 1 for y = 0
    double oddSign;       // -1 for an odd integer y: a negative base keeps its sign
    double negativeBase;  // 1 for an integer y, else NaN: no real power of a negative base
};

inline Exponent ExponentOf(double y) noexcept {
    const double ay = std::fabs(y);
    Exponent e{};
    e.y = y;
    e.clamped = y < -kExponentLimit ? -kExponentLimit : (y > kExponentLimit ? kExponentLimit : y);
    e.atZero = y > 0.0 ? 0.0 : (y < 0.0 ? std::numeric_limits<double>::infinity() : 1.0);
    e.oddSign = IsOddInteger(ay) ? -1.0 : 1.0;
    e.negativeBase = IsInteger(ay) ? 1.0 : std::numeric_limits<double>::quiet_NaN();
    return e;
}

// pow(x, y) for finite x and y.
VESKAR_DET_INLINE double PowFinite(double x, const Exponent& e) noexcept {
    const double ax = std::fabs(x);
    // A zero base goes through Log2 as it is (its result, finite, is replaced).
    const Pair l = Log2(ax);
    Pair t = TwoProduct(e.clamped, l.hi);
    t.lo += e.clamped * l.lo;
    double v = Exp2(t);
    v = Blend(MaskBelow(ax, std::numeric_limits<double>::denorm_min()), e.atZero, v);
    // -0 takes the sign too; only a negative non-zero base can give NaN.
    v = std::copysign(1.0, x) < 0.0 ? v * e.oddSign : v;
    return x < 0.0 ? v * e.negativeBase : v;
}

// pow(x, y) where x or y is infinite or NaN, as C99 Annex F gives it.
inline double PowRare(double x, double y) noexcept {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    if (y == 0.0 || x == 1.0) return 1.0;
    if (std::isnan(x) || std::isnan(y)) return x + y;
    const double ax = std::fabs(x);
    if (std::isinf(y)) {
        if (ax == 1.0) return 1.0;
        return (ax < 1.0) == (y < 0.0) ? kInf : 0.0;
    }
    // x is infinite, y finite and not 0.
    const bool odd = IsOddInteger(std::fabs(y));
    const double v = y > 0.0 ? kInf : 0.0;
    return x < 0.0 && odd ? -v : v;
}

inline bool PowIsRare(double x, double y) noexcept {
    return !std::isfinite(x) || !std::isfinite(y);
}

// ---- cos within a known distance ----------------------------------------

// RoughCos(x) lies within kRoughCosError of cos(x), and so of Cos(x), for
// |x| <= kRoughCosLimit: x reduced by pi/2 in three pieces (the first product
// and difference exact, each later step rounding by at most 2^-53, and pi/2's
// own error times n below 2^-90), then Taylor's series of cos or sin to the
// 14th or 15th power (|y| <= pi/4 leaves the rest below 2^-49.8) by Horner's
// rule in double, whose roundings and those of the coefficients stay below
// 2^-50: in all below 2^-48.8. A tenth of the work of Cos, for callers that only need to know which float Cos rounds to:
// they widen the value by the error and fall back to Cos where the two ends
// round apart. tests/keying/test_det_math.cpp checks the bound.
inline constexpr double kRoughCosLimit = kCosFastLimit;
inline constexpr double kRoughCosError = 0x1p-44;

// (-1)^k / (2k)! and (-1)^k / (2k + 1)!, highest first.
inline constexpr double kRoughCos[8] = {
    -1.0 / 87178291200.0, 1.0 / 479001600.0, -1.0 / 3628800.0, 1.0 / 40320.0,
    -1.0 / 720.0,         1.0 / 24.0,        -0.5,             1.0};
inline constexpr double kRoughSin[8] = {
    -1.0 / 1307674368000.0, 1.0 / 6227020800.0, -1.0 / 39916800.0, 1.0 / 362880.0,
    -1.0 / 5040.0,          1.0 / 120.0,        -1.0 / 6.0,        1.0};

VESKAR_DET_INLINE double RoughCos(double x) noexcept {
    const double ax = std::fabs(x);
    const double shifted = ax * kTwoOverPi + kRoundMagic;
    const double n = shifted - kRoundMagic;
    const double y = ((ax - n * kHalfPi1) - n * kHalfPi2) - n * kHalfPi3;
    // Odd quadrants take the sine, the second and third negate. The choices
    // are blends of bits: a selection of table values could become a load
    // from a chosen address, which SSE2 cannot do lane by lane.
    const std::uint64_t quadrant = std::bit_cast<std::uint64_t>(shifted);
    const std::uint64_t odd = std::uint64_t{0} - (quadrant & 1u);
    const std::uint64_t negate = ((quadrant + 1u) & 2u) << 62;
    const double z = y * y;
    double r = Blend(odd, kRoughSin[0], kRoughCos[0]);
    r = r * z + Blend(odd, kRoughSin[1], kRoughCos[1]);
    r = r * z + Blend(odd, kRoughSin[2], kRoughCos[2]);
    r = r * z + Blend(odd, kRoughSin[3], kRoughCos[3]);
    r = r * z + Blend(odd, kRoughSin[4], kRoughCos[4]);
    r = r * z + Blend(odd, kRoughSin[5], kRoughCos[5]);
    r = r * z + Blend(odd, kRoughSin[6], kRoughCos[6]);
    r = r * z + Blend(odd, kRoughSin[7], kRoughCos[7]);
    const double v = r * Blend(odd, y, 1.0);
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) ^ negate);
}

// ---- pow within a known distance ----------------------------------------

// RoughPow(x, y) lies within kRoughPowError of Pow(x, y), relative to it, for
// a positive normal x and a finite y with |y log2 x| <= kRoughPowLimit. Pure
// arithmetic, no table: the vector units of the line kernels would fetch a
// table's entries lane by lane (the builds for SSE2 and the generic tuning of
// the wider sets do not gather), which costs more than the arithmetic it saves.
//
// log2 x = k + s Q(s^2), x = 2^k m with m in [sqrt(1/2), sqrt(2)), s = (m - 1)/
// (m + 1) (m - 1 exact; the sum and the quotient round: s is within 2^-52 of
// itself), |s| < 0.1716, and Q a polynomial of degree 5 in s^2 fitted to
// 2/ln 2 atanh(s)/s: within 2^-45.07 of it with its coefficients as doubles
// (measured at 120 bits over 3000 points of [0, s^2's range]; the fitted error
// swings smoothly between them). Its evaluation (Estrin's scheme, every term
// below the first by at least 2^-5) and the product with s round by 2^-51 at
// most, so s Q(s^2) is within 2^-44.9 of itself; where k is not 0 it is no
// larger than 1/2 <= |log2 x|, and the sum rounds by 2^-53: log2 x is within
// 2^-44.8 of itself. t = y log2 x adds a rounding, so with |t| <= 152 it is
// off by at most 152 (2^-44.8 + 2^-53) = 2^-37.55, and 2^t by ln 2 times
// that, 2^-38.1 relative. 2^t = 2^n 2^f with n the nearest integer to t and
// f = t - n exact, |f| <= 1/2: 2^f = 1 + f P(f) with P of degree 8 fitted to
// (2^f - 1)/f, within 2^-44.6 as measured the same way, its roundings 2^-51;
// 2^n goes into the exponent exactly. Pow is within 2^-52 of pow. In all
// below 2^-38.05, stated as 2^-37. Beyond the limit t is clamped to it:
// 2^+-152 widened by the error rounds to float infinity or 0, and Pow, at
// least or at most that far, rounds there too (the floats end at 2^128 and
// their subnormals at 2^-149). The bound is a small share of a float's ulp
// (2^-37 of 2^-24): callers that only need the float Pow rounds to widen the
// value by the error and take Pow where the two ends round apart, about one
// lane in three thousand. tests/keying/test_det_math.cpp checks the bound.
inline constexpr double kRoughPowLimit = 152.0;
inline constexpr double kRoughPowError = 0x1p-37;

// Q's coefficients, lowest first: 2/ln 2 atanh(s)/s in s^2.
inline constexpr double kRoughAtanh[6] = {0x1.71547652b8251p+1, 0x1.ec709dc53bfcfp-1,
                                          0x1.2776c2935a8c1p-1, 0x1.a61a2ef4051f3p-2,
                                          0x1.4795463b406c3p-2, 0x1.21b245a850e1dp-2};
// P's coefficients, lowest first: (2^f - 1)/f in f.
inline constexpr double kRoughExp2[9] = {
    0x1.62e42fefa39efp-1,  0x1.ebfbdff823cedp-3, 0x1.c6b08d7047e52p-5,
    0x1.3b2ab7181b755p-7,  0x1.5d87fe86fe88ep-10, 0x1.4308ac85aa947p-13,
    0x1.ffcb9515a8016p-17, 0x1.63d136366db24p-20, 0x1.b63880a30e9ffp-24};
inline constexpr double kSqrtTwo = 0x1.6a09e667f3bcdp+0;

// log2(x) for a positive normal x, within 2^-44.8 of it (see RoughPow).
VESKAR_DET_INLINE double RoughLog2(double x) noexcept {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    const double m1 = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFu) | 0x3FF0000000000000u);
    const std::uint64_t upper = MaskBelow(kSqrtTwo, m1);
    const double m = Blend(upper, 0.5 * m1, m1);
    const double k = std::bit_cast<double>((bits >> 52) | 0x4330000000000000u) -
                     (kTwoTo52 + 1023.0) + Blend(upper, 1.0, 0.0);
    const double s = (m - 1.0) / (m + 1.0);
    const double z = s * s;
    // Estrin's scheme, not Horner's rule: the kernels call this on a register
    // or a block at a time, too few lanes to hide a chain of dependent steps.
    const double z2 = z * z;
    const double* a = kRoughAtanh;
    const double q = ((a[0] + a[1] * z) + (a[2] + a[3] * z) * z2) + (a[4] + a[5] * z) * (z2 * z2);
    return k + s * q;
}

VESKAR_DET_INLINE double RoughPow(double x, double y) noexcept {
    double t = y * RoughLog2(x);
    t = t < -kRoughPowLimit ? -kRoughPowLimit : t;
    t = t > kRoughPowLimit ? kRoughPowLimit : t;
    const double shifted = t + kRoundMagic;
    const double f = t - (shifted - kRoundMagic);
    const double f2 = f * f;
    const double f4 = f2 * f2;
    const double* c = kRoughExp2;
    const double low = (c[0] + c[1] * f) + (c[2] + c[3] * f) * f2;
    const double high = (c[4] + c[5] * f) + (c[6] + c[7] * f) * f2;
    const double p = 1.0 + f * ((low + high * f4) + c[8] * (f4 * f4));
    // shifted's low bits hold n; shifted left by 52 they are n's place in the
    // exponent of the (normal) result.
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(p) +
                                 (std::bit_cast<std::uint64_t>(shifted) << 52));
}

// PowFloatLanes works in chunks of at most this many lanes.
inline constexpr int kPowChunk = 64;

// What the float power takes from a finite exponent, once for many chunks:
// Pow's value for a zero base (its value at zero, signed for -0 and an odd
// exponent) and for a negative base and a non-integral exponent (NaN) owes
// nothing to the logarithm, so those lanes, common where a matte is keyed
// out, take it exactly as PowFinite makes it.
struct FloatPower {
    double exponent;
    Exponent e;
    double atZero;
    double atMinusZero;
    double belowZero;
    bool belowZeroTaken;  // a negative base's power is NaN
};

inline FloatPower FloatPowerOf(double exponent) noexcept {
    FloatPower p{};
    p.exponent = exponent;
    p.e = ExponentOf(exponent);
    p.atZero = p.e.atZero;
    p.atMinusZero = p.e.atZero * p.e.oddSign;
    p.belowZero = p.e.negativeBase;
    p.belowZeroTaken = std::isnan(p.e.negativeBase);
    return p;
}

// Pow for the lanes of a chunk that RoughPow left undecided, gathered so that
// its loop vectorises over them alone. Rare, and kept out of line: the
// kernels inline the chunk into every specialised line loop.
#if defined(__GNUC__)
__attribute__((noinline, cold))
#endif
inline void PowFloatRest(const double* __restrict base, const FloatPower& p,
                         const std::int64_t* undecided, float* __restrict out, int count) noexcept {
    double rest[kPowChunk];
    double power[kPowChunk];
    int lane[kPowChunk];
    int n = 0;
    for (int i = 0; i < count; ++i) {
        lane[n] = i;
        rest[n] = base[i];
        n += undecided[i];
    }
    for (int j = 0; j < n; ++j) power[j] = PowFinite(rest[j], p.e);
    for (int j = 0; j < n; ++j) {
        if (!std::isfinite(rest[j])) power[j] = PowRare(rest[j], p.exponent);
    }
    for (int j = 0; j < n; ++j) out[lane[j]] = static_cast<float>(power[j]);
}

// A chunk of PowFloatLanes (count <= kPowChunk, a finite exponent): the
// decided lanes from RoughPow, then Pow for the rest.
VESKAR_DET_INLINE void PowFloatChunk(const FloatPower& p, const double* __restrict base,
                                     float* __restrict out, int count) noexcept {
    // Twice the bound: it covers the roundings of the widening too.
    constexpr double kWidening = 2.0 * kRoughPowError;
    // Loops of their own, as in CosFastChunk: with the decisions in the loop
    // of RoughPow, GCC vectorises neither.
    // Inlined with a constant count (a register's lanes), the loops would be
    // unrolled whole before the vectoriser sees them, and left scalar.
    double rough[kPowChunk];
#pragma GCC unroll 1
    for (int i = 0; i < count; ++i) rough[i] = RoughPow(base[i], p.exponent);
    // Every lane's decision in 64 bits and its float as a double: with masks
    // of two widths in one loop, the wider sets spend as much on narrowing
    // the masks as on the decision, and the SSE2 build leaves it scalar.
    std::int64_t undecided[kPowChunk];
    double value[kPowChunk];
    std::int64_t any = 0;
    constexpr double kMax = std::numeric_limits<double>::max();
#pragma GCC unroll 1
    for (int i = 0; i < count; ++i) {
        const double x = base[i];
        const double v = rough[i];
        const double spread = v * kWidening;
        const double low = static_cast<float>(v - spread);
        const double high = static_cast<float>(v + spread);
        // NaN, subnormals and infinities fail every test. Bitwise, not
        // logical: a short circuit is a branch, which keeps the loop from
        // vectorising. The sign by a comparison of doubles: SSE2 compares no
        // 64-bit integers.
        const bool decided = (x >= 0x1p-1022) & (x <= kMax) & (low == high);
        const bool zero = x == 0.0;
        const bool negative = (x < 0.0) & (x >= -kMax) & p.belowZeroTaken;
        const double zeroValue = std::copysign(1.0, x) < 0.0 ? p.atMinusZero : p.atZero;
        double chosen = zero ? zeroValue : low;
        chosen = negative ? p.belowZero : chosen;
        const std::int64_t bad = static_cast<std::int64_t>(!(decided | zero | negative));
        undecided[i] = bad;
        any |= bad;
        value[i] = chosen;
    }
    // Exact: every value is a float's.
#pragma GCC unroll 1
    for (int i = 0; i < count; ++i) out[i] = static_cast<float>(value[i]);
    if (any != 0) PowFloatRest(base, p, undecided, out, count);
}

}  // namespace det_math

/// cos(x), the same bits on every processor; see the file's comment.
inline double Cos(double x) noexcept {
    return std::fabs(x) < det_math::kCosFastLimit ? det_math::CosFastScalar(x)
                                                  : det_math::CosRare(x);
}

/// pow(x, y), the same bits on every processor; see the file's comment.
inline double Pow(double x, double y) noexcept {
    return det_math::PowIsRare(x, y) ? det_math::PowRare(x, y)
                                     : det_math::PowFinite(x, det_math::ExponentOf(y));
}

/// out[i] = Cos(in[i]) for i < count; `in` and `out` may not overlap.
inline void CosLanes(const double* __restrict in, double* __restrict out, int count) noexcept {
    for (int start = 0; start < count; start += det_math::kCosChunk) {
        const int rest = count - start;
        det_math::CosFastChunk(in + start, out + start,
                               rest < det_math::kCosChunk ? rest : det_math::kCosChunk);
    }
    for (int i = 0; i < count; ++i) {
        if (!(std::fabs(in[i]) < det_math::kCosFastLimit)) out[i] = det_math::CosRare(in[i]);
    }
}

/// out[i] = Pow(base[i], exponent) for i < count; `base` and `out` may not overlap.
inline void PowLanes(const double* __restrict base, double exponent, double* __restrict out,
                     int count) noexcept {
    if (!std::isfinite(exponent)) {
        for (int i = 0; i < count; ++i) out[i] = det_math::PowRare(base[i], exponent);
        return;
    }
    const det_math::Exponent e = det_math::ExponentOf(exponent);
    for (int i = 0; i < count; ++i) out[i] = det_math::PowFinite(base[i], e);
    for (int i = 0; i < count; ++i) {
        if (!std::isfinite(base[i])) out[i] = det_math::PowRare(base[i], exponent);
    }
}

/// What PowFloatLanes takes from its exponent, made once (FloatPowerOf) for
/// callers that take the same power of many short runs of lanes.
struct FloatPowerPlan {
    bool finite = false;  // a finite exponent: RoughPow decides most lanes
    det_math::FloatPower power{};
};

inline FloatPowerPlan FloatPowerOf(double exponent) noexcept {
    FloatPowerPlan plan;
    plan.finite = std::isfinite(exponent);
    plan.power = det_math::FloatPowerOf(exponent);
    return plan;
}

/// out[i] = static_cast<float>(Pow(base[i], exponent)) for i < count, through
/// RoughPow where its bound decides the float (most lanes of ordinary
/// mattes) and Pow elsewhere: the same floats as Pow, at a fraction of its work.
VESKAR_DET_INLINE void PowFloatLanes(const FloatPowerPlan& plan, const double* __restrict base,
                                     float* __restrict out, int count) noexcept {
    const double exponent = plan.power.exponent;
    if (!plan.finite) {
        for (int i = 0; i < count; ++i) out[i] = static_cast<float>(Pow(base[i], exponent));
        return;
    }
    for (int start = 0; start < count; start += det_math::kPowChunk) {
        const int rest = count - start;
        det_math::PowFloatChunk(plan.power, base + start, out + start,
                                rest < det_math::kPowChunk ? rest : det_math::kPowChunk);
    }
}

/// The same, with the plan made here.
inline void PowFloatLanes(const double* __restrict base, double exponent, float* __restrict out,
                          int count) noexcept {
    PowFloatLanes(FloatPowerOf(exponent), base, out, count);
}

}  // namespace

}  // namespace keying
