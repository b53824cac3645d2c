#pragma once

// The line kernel's common ground: the block of kBlock pixels held channel by
// channel in lanes, the record layout, the macros the kernel's loops use and
// TowardZero. Every other line_kernel_*.h includes it; line_kernel_body.h says
// how the pieces fit together.

#include <cmath>

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

}  // namespace

}  // namespace keying::VESKAR_LINE_NS
