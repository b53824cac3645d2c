#pragma once

// The vector registers the plain line (line_kernel_plain_line.h) keys with:
// four doubles (Quad), four floats (Four) and, with AVX, eight of each (Oct,
// Eight), with the operations it takes on them; Widest is the widest the
// instruction set gives. Only with SSE2, like the plain line.

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "keying/line_kernel_lanes.h"

namespace keying::VESKAR_LINE_NS {

namespace {

#if defined(__SSE2__)

// Four doubles: one register with AVX, two without.
#if defined(__AVX__)
struct Quad {
    __m256d v;
};
inline Quad SplatQuad(double x) noexcept { return {_mm256_set1_pd(x)}; }
inline Quad WidenQuad(__m128 f) noexcept { return {_mm256_cvtps_pd(f)}; }
inline __m128 NarrowQuad(Quad d) noexcept { return _mm256_cvtpd_ps(d.v); }
inline void StoreQuad(double* p, Quad d) noexcept { _mm256_storeu_pd(p, d.v); }
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
inline void StoreQuad(double* p, Quad d) noexcept {
    _mm_storeu_pd(p, d.lo);
    _mm_storeu_pd(p + 2, d.hi);
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
    // The lanes in the order Narrow puts them.
    static void Store(double* p, Doubles d) noexcept { StoreQuad(p, d); }
    static Floats Load(const float* p) noexcept { return _mm_loadu_ps(p); }
    static void Store(float* p, Floats v) noexcept { _mm_storeu_ps(p, v); }
    static void StorePair(float* p, Floats lo, Floats hi) noexcept {
        Store(p, lo);
        Store(p + 4, hi);
    }
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
    // Sixteen floats, as one store where the instruction set has one: the
    // block's lanes are read back sixteen at a time, and a load that spans
    // two stores waits for both to retire.
    static void StorePair(float* p, Floats lo, Floats hi) noexcept {
#if defined(__AVX512F__)
        const __m512 both = __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        _mm512_storeu_ps(p, both);
#else
        Store(p, lo);
        Store(p + 8, hi);
#endif
    }
    static void Store(double* p, Doubles d) noexcept {
        StoreQuad(p, d.lo);
        StoreQuad(p + 4, d.hi);
    }
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

#endif  // __SSE2__

}  // namespace

}  // namespace keying::VESKAR_LINE_NS
