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
// of arguments: each works in double-double where the last bit is decided,
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

namespace keying {

namespace {

namespace det_math {

struct Pair {
    double hi, lo;
};

// a + b = s + e exactly.
inline Pair TwoSum(double a, double b) noexcept {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// a + b = s + e exactly, when |a| >= |b| (or a is 0).
inline Pair FastTwoSum(double a, double b) noexcept {
    const double s = a + b;
    return {s, b - (s - a)};
}

// a = hi + lo with 26 significant bits each (Veltkamp); |a| < 2^995.
inline Pair Split(double a) noexcept {
    const double c = 134217729.0 * a;
    const double hi = c - (c - a);
    return {hi, a - hi};
}

// a * b = p + e exactly (Dekker), without a fused multiply-add.
inline Pair TwoProduct(double a, double b) noexcept {
    const double p = a * b;
    const Pair x = Split(a);
    const Pair y = Split(b);
    const double e = ((x.hi * y.hi - p) + x.hi * y.lo + x.lo * y.hi) + x.lo * y.lo;
    return {p, e};
}

inline constexpr double kRoundMagic = 0x1.8p52;  // adding it rounds to an integer
inline constexpr double kTwoTo52 = 0x1p52;

// 2^e for an integral e in -1022..1023, from its bits.
inline double PowerOfTwo(double e) noexcept {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(e + kRoundMagic);
    return std::bit_cast<double>((bits + 1023u) << 52);
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
inline Pair DivideBy(Pair x, double d) noexcept {
    const double q = x.hi / d;
    const Pair back = TwoProduct(q, d);
    return {q, (((x.hi - back.hi) - back.lo) + x.lo) / d};
}

// cos(y0 + y1) for |y0| <= pi/4 + a little, |y1| <= ulp(y0): 1 - z/2 + z^2/24
// in double-double (z = y0^2), the Taylor terms from z^3/6! on (their sum
// reaches 2^-70 of the result) in double, y1 through the derivative -sin.
inline double CosKernel(double y0, double y1) noexcept {
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
inline double SinKernel(double y0, double y1) noexcept {
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

// cos from the quadrant q (0 to 3) and the remainder y0 + y1. The quadrant is
// a double so that the selections vectorise at every instruction set.
inline double CosOfQuadrant(double q, double y0, double y1) noexcept {
    const double c = CosKernel(y0, y1);
    const double s = SinKernel(y0, y1);
    const double v = q == 1.0 || q == 3.0 ? s : c;
    return q == 1.0 || q == 2.0 ? -v : v;
}

// The low two bits of an integer-valued `shifted` (n + kRoundMagic), as a double.
inline double QuadrantOf(double shifted) noexcept {
    const std::uint64_t low = std::bit_cast<std::uint64_t>(shifted) & 3u;
    return std::bit_cast<double>(low | 0x4330000000000000u) - kTwoTo52;
}

// cos(x) for |x| < kCosFastLimit (any other x gives a value of no meaning, never
// a fault): x = n pi/2 + y0 + y1 with n the nearest integer, by pi/2 in pieces.
inline double CosFast(double x) noexcept {
    const double ax = std::fabs(x);
    const double shifted = ax * kTwoOverPi + kRoundMagic;
    const double n = shifted - kRoundMagic;
    const double q = QuadrantOf(shifted);
    // n * kHalfPi1 is exact and close enough to ax for the difference to be.
    const double t = ax - n * kHalfPi1;
    const Pair a = TwoSum(t, -(n * kHalfPi2));
    const Pair b = TwoSum(a.hi, -(n * kHalfPi3));
    const double lo = (a.lo + b.lo) - n * kHalfPi4;
    const Pair y = TwoSum(b.hi, lo);
    return CosOfQuadrant(q, y.hi, y.lo);
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

inline constexpr double kLog2EHi = 0x1.71547652b82fep+0;
inline constexpr double kLog2ELo = 0x1.777d0ffda0d24p-56;
inline constexpr double kLn2Hi = 0x1.62e42fefa39efp-1;
inline constexpr double kLn2Lo = 0x1.abc9e3b39803fp-56;
inline constexpr double kSqrt2 = 0x1.6a09e667f3bcdp+0;
inline constexpr double kTwoThirdsHi = 0x1.5555555555555p-1;
inline constexpr double kTwoThirdsLo = 0x1.5555555555555p-55;
// Beyond it a power of any base other than 1 over- or underflows.
inline constexpr double kExponentLimit = 0x1p64;

// log2(x) for a finite x > 0, as hi + lo with about 2^-66 of error. x =
// 2^k m with m in [sqrt(1/2), sqrt(2)), and ln(m) = 2 atanh(s), s = (m-1)/(m+1).
inline Pair Log2(double x) noexcept {
    const bool tiny = x < 0x1p-1022;
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(tiny ? x * 0x1p54 : x);
    double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFu) | 0x3FF0000000000000u);
    double k = std::bit_cast<double>((bits >> 52) | 0x4330000000000000u) - (kTwoTo52 + 1023.0);
    k = tiny ? k - 54.0 : k;
    const bool upper = m > kSqrt2;
    m = upper ? m * 0.5 : m;
    k = upper ? k + 1.0 : k;

    const double num = m - 1.0;  // exact
    const Pair den = TwoSum(m, 1.0);
    const double sh = num / den.hi;
    const Pair back = TwoProduct(sh, den.hi);
    const double sl = (((num - back.hi) - back.lo) - sh * den.lo) / den.hi;
    // 2 atanh(s) = 2s + 2/3 s^3 + s^5 (2/5 + 2/7 s^2 + ...), to s^27: the
    // first two terms in double-double, the rest (below 2^-12 of the sum) in
    // double; sl enters through the derivative 2 + 2s^2.
    const Pair z = TwoProduct(sh, sh);
    const Pair cube = TwoProduct(sh, z.hi);
    const double cubeLo = cube.lo + sh * z.lo;
    Pair third = TwoProduct(cube.hi, kTwoThirdsHi);
    third.lo += cube.hi * kTwoThirdsLo + cubeLo * kTwoThirdsHi;
    const double zh = z.hi;
    double r = 2.0 / 27.0;
    r = r * zh + 2.0 / 25.0;
    r = r * zh + 2.0 / 23.0;
    r = r * zh + 2.0 / 21.0;
    r = r * zh + 2.0 / 19.0;
    r = r * zh + 2.0 / 17.0;
    r = r * zh + 2.0 / 15.0;
    r = r * zh + 2.0 / 13.0;
    r = r * zh + 2.0 / 11.0;
    r = r * zh + 2.0 / 9.0;
    r = r * zh + 2.0 / 7.0;
    r = r * zh + 2.0 / 5.0;
    const double rest = (cube.hi * zh) * r;
    const Pair lead = FastTwoSum(2.0 * sh, third.hi);
    const double low = lead.lo + (((2.0 * sl + third.lo) + 2.0 * zh * sl) + rest);
    const Pair ln = FastTwoSum(lead.hi, low);

    Pair l2 = TwoProduct(ln.hi, kLog2EHi);
    l2.lo += ln.hi * kLog2ELo + ln.lo * kLog2EHi;
    const Pair whole = TwoSum(k, l2.hi);
    return FastTwoSum(whole.hi, whole.lo + l2.lo);
}

// 2^(t.hi + t.lo) for |t.lo| <= ulp(t.hi). Beyond +-1100 it over- or
// underflows alike, so t.hi is clamped there.
inline double Exp2(Pair t) noexcept {
    const bool beyond = !(std::fabs(t.hi) <= 1100.0);
    double th = t.hi < -1100.0 ? -1100.0 : t.hi;
    th = th > 1100.0 ? 1100.0 : th;
    const double tl = beyond ? 0.0 : t.lo;
    const double j = (th + kRoundMagic) - kRoundMagic;
    const double f = th - j;  // exact, |f| <= 1/2
    // g = (f + t.lo) ln 2, |g| <= 0.35; e^g by its Taylor series to g^15.
    const Pair fg = TwoProduct(f, kLn2Hi);
    const Pair g = FastTwoSum(fg.hi, fg.lo + (f * kLn2Lo + tl * kLn2Hi));
    const double gh = g.hi;
    double e = 1.0 / 1307674368000.0;
    e = e * gh + 1.0 / 87178291200.0;
    e = e * gh + 1.0 / 6227020800.0;
    e = e * gh + 1.0 / 479001600.0;
    e = e * gh + 1.0 / 39916800.0;
    e = e * gh + 1.0 / 3628800.0;
    e = e * gh + 1.0 / 362880.0;
    e = e * gh + 1.0 / 40320.0;
    e = e * gh + 1.0 / 5040.0;
    e = e * gh + 1.0 / 720.0;
    e = e * gh + 1.0 / 120.0;
    e = e * gh + 1.0 / 24.0;
    e = e * gh + 1.0 / 6.0;
    const Pair sq = TwoProduct(gh, gh);
    const Pair a = TwoSum(1.0, gh);
    const Pair b = TwoSum(a.hi, 0.5 * sq.hi);
    // g.lo enters through the derivative e^gh, for which b.hi is close enough.
    const double rest = ((a.lo + b.lo) + (0.5 * sq.lo + gh * sq.hi * e)) + g.lo * b.hi;
    const double v = b.hi + rest;
    // 2^j in two halves, so that neither leaves the normal range.
    const double j1 = (j * 0.5 + kRoundMagic) - kRoundMagic;
    return v * PowerOfTwo(j1) * PowerOfTwo(j - j1);
}

// Whether y is an integer, and an odd one.
inline bool IsInteger(double ay) noexcept {
    return ay >= kTwoTo52 || (ay + kTwoTo52) - kTwoTo52 == ay;
}
inline bool IsOddInteger(double ay) noexcept {
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
inline double PowFinite(double x, const Exponent& e) noexcept {
    const double ax = std::fabs(x);
    const Pair l = Log2(ax == 0.0 ? 1.0 : ax);
    Pair t = TwoProduct(e.clamped, l.hi);
    t.lo += e.clamped * l.lo;
    double v = Exp2(t);
    v = ax == 0.0 ? e.atZero : v;
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

}  // namespace det_math

/// cos(x), the same bits on every processor; see the file's comment.
inline double Cos(double x) noexcept {
    return std::fabs(x) < det_math::kCosFastLimit ? det_math::CosFast(x) : det_math::CosRare(x);
}

/// pow(x, y), the same bits on every processor; see the file's comment.
inline double Pow(double x, double y) noexcept {
    return det_math::PowIsRare(x, y) ? det_math::PowRare(x, y)
                                     : det_math::PowFinite(x, det_math::ExponentOf(y));
}

/// out[i] = Cos(in[i]) for i < count; `in` and `out` may not overlap.
inline void CosLanes(const double* __restrict in, double* __restrict out, int count) noexcept {
    for (int i = 0; i < count; ++i) out[i] = det_math::CosFast(in[i]);
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

}  // namespace

}  // namespace keying
