#pragma once

// Keying a whole line at once. When the images lay their pixels out as plain
// float rows, a chunk hands its line to a line kernel instead of keying pixel
// by pixel. The kernel works on blocks of pixels with the stage loops picked
// once for the line by the modes, and does lane by lane exactly the operations
// of the per-pixel stages (keying/pixel.h) in the same order and precision:
// both give the same bits for every input, NaN and infinities included.
// Lines in RGB without key samples or colour correction, with a linear falloff
// or none (the defaults among them, with or without a gamma's power), take a
// kernel specialised further, which keys four or eight pixels a step in
// registers from record to record; where a stage
// rounds a double operation on two floats back to float, it takes the float
// operation, whose result has the same bits.
//
// The kernel is compiled once per instruction set (SSE2, the x86-64 baseline;
// AVX2; AVX-512) and the best one the processor runs is picked at first use.
// cos and pow are keying::Cos and keying::Pow (keying/det_math.h) over whole
// blocks, as the per-pixel stages call them lane by lane: they give the same
// bits at every instruction set and on every platform.

#include <cstdint>

#include "keying/colour.h"
#include "keying/snapshot.h"

namespace keying {

/// What a line kernel needs for one line, prepared once per chunk.
struct LineJob {
    const Snapshot* snapshot = nullptr;
    std::int32_t falloffMode = 0;
    std::int32_t keyerMode = 0;
    /// The key colour while no key sample has been read: the snapshot's key
    /// values back in RGB (KeyColour of the chunk's starting staging state).
    Colour startKeyColour{};
    /// Key sampling for this line: the key image's line of records (blue,
    /// green, red, alpha; 4 floats each), or null when the line takes no key
    /// sample. Pixel x samples key pixel trunc(x * keyScaleX) when that lies in
    /// 0 .. keyWidth - 1; other pixels keep the windows of the last sample.
    const float* keyRow = nullptr;
    std::int32_t keyWidth = 0;
    double keyScaleX = 0.0;
};

/// Keys `width` pixels: reads the records (blue, green, red, alpha; 4 floats
/// each) from `source` and writes the keyed records to `output`. The two may
/// not overlap.
using LineKernel = void (*)(const LineJob& job, const float* source, float* output,
                            std::int32_t width) noexcept;

/// The instruction sets a line kernel is built for.
enum class LineTarget : std::int32_t { kSse2 = 0, kAvx2 = 1, kAvx512 = 2 };
inline constexpr int kLineTargetCount = 3;

/// "sse2", "avx2" or "avx512".
const char* LineTargetName(LineTarget target) noexcept;

/// Whether this build holds the kernel for `target` and the processor runs it.
bool LineTargetAvailable(LineTarget target) noexcept;

/// The kernel for `target`; null when it is not available.
LineKernel LineKernelFor(LineTarget target) noexcept;

/// The target in use: the best available one, unless the environment variable
/// VESKAR_SIMD names another available one ("sse2", "avx2", "avx512") or
/// UseLineTarget chose one.
LineTarget ActiveLineTarget() noexcept;

/// Chooses the target for every later line (benchmarks and tests compare
/// them). Returns false, changing nothing, when `target` is not available.
bool UseLineTarget(LineTarget target) noexcept;

/// The kernel of the active target.
LineKernel ActiveLineKernel() noexcept;

/// keying::CosLanes, keying::PowLanes and keying::PowFloatLanes as built into
/// the kernels of one target, for tests that check them against the scalar
/// Cos and Pow.
struct LineMath {
    void (*cos)(const double* in, double* out, int count) noexcept = nullptr;
    void (*pow)(const double* base, double exponent, double* out, int count) noexcept = nullptr;
    void (*powFloat)(const double* base, double exponent, float* out, int count) noexcept =
        nullptr;
};

/// The block functions of `target`; all null when it is not available.
LineMath LineMathFor(LineTarget target) noexcept;

}  // namespace keying
