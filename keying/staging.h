#pragma once

// Pixel staging: the key sample moves the key windows, the source colour is
// expressed in the working colour space, and the key values are turned back
// into the key colour that "mine" subtracts.

#include <array>
#include <cstdint>

#include "keying/colour.h"
#include "keying/colour_spaces.h"
#include "keying/snapshot.h"

namespace keying {

/// What one chunk carries from pixel to pixel. Only a key sample changes it;
/// a pixel without one keeps the values of the last pixel that had one.
struct StagingState {
    std::array<float, 3> keyValue{};      // p1..p3
    std::array<double, 3> windowStart{};  // p1..p3
    std::array<double, 3> windowWidth{};  // p1..p3
    /// HSV of the latest key sample; (0, 0, 0) until the chunk's first sample.
    Colour keySampleHsv{0.0f, 0.0f, 0.0f, 1.0f};
};

/// Position of a key-image pixel: kx, ky.
struct KeySamplePoint {
    std::int32_t kx = 0;
    std::int32_t ky = 0;
};

/// The state at the start of a chunk: key values, window starts and widths as
/// the snapshot derived them from the sliders; key sample HSV (0, 0, 0).
StagingState StartStaging(const Snapshot& snapshot) noexcept;

/// Moves the key windows to one key sample (its red, green and blue; alpha is
/// not read): per channel, difference = staged sample - Value (double), window
/// start = Min + difference, key value = difference rounded to float. Widths are
/// recomputed from Min and Max (0 or NaN becomes 0.001) and the key sample HSV is
/// renewed. NaN or infinite samples go through unchanged.
void TakeKeySample(StagingState& state, const Snapshot& snapshot, const Colour& keySample) noexcept;

/// The key-image pixel that source pixel (x, y) samples: x * sx and y * sy in
/// double, truncated toward zero. A product that is NaN or does not fit a 32-bit
/// int gives -1, which KeySampleInside rejects.
KeySamplePoint KeySamplePosition(std::int32_t x, std::int32_t y, double sx, double sy) noexcept;

/// One coordinate of KeySamplePosition: trunc(i * scale), or -1 when that has
/// no 32-bit int. The row depends on the line alone, so a line needs it once.
std::int32_t KeySampleCoordinate(std::int32_t i, double scale) noexcept;

/// Whether (kx, ky) lies in a key image of size kw x kh, both truncated toward
/// zero to ints first. A size below 1 or NaN contains nothing; a size beyond the
/// 32-bit range counts as the largest int.
bool KeySampleInside(std::int32_t kx, std::int32_t ky, double kw, double kh) noexcept;

/// Pixels of a key image along one axis of `size` (a width or height as a
/// double), as KeySampleInside counts them: truncated toward zero, 0 below 1 or
/// for NaN, the largest int beyond the 32-bit range.
std::int32_t KeyImageExtent(double size) noexcept;

/// The source colour in the snapshot's working colour space (the colour itself
/// for "RGB" and for modes outside 0..4).
inline Colour StageColour(const Snapshot& snapshot, const Colour& source) noexcept {
    return ToWorkingSpace(snapshot.colorSpace, source);
}

/// The key colour: the key values, read as p1, p2, p3, converted back to RGB
/// (taken as R, G, B directly for "RGB" and for modes outside 0..4).
inline Colour KeyColour(const Snapshot& snapshot, const StagingState& state) noexcept {
    return FromWorkingSpace(snapshot.colorSpace,
                            WorkingColour(state.keyValue[0], state.keyValue[1], state.keyValue[2]));
}

}  // namespace keying
