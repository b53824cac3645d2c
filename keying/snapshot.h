#pragma once

#include <array>
#include <cstdint>

namespace keying {

/// The 21 control values a chunk reads for its request, in the order the chunk
/// reads them. Each is the double value of the control's number.
enum SnapshotControl : int {
    kSnapColorspace,
    kSnapBGAlphaBlend,
    kSnapColCor,
    kSnapInvAlpha,
    kSnapCCAmount,
    kSnapDesaturateAlpha,
    kSnapValueRed,
    kSnapValueGreen,
    kSnapValueBlue,
    kSnapMiRedn,
    kSnapMinGreen,
    kSnapMinBlue,
    kSnapMaxRed,
    kSnapMaxGreen,
    kSnapMaxBlue,
    kSnapFadeRed,
    kSnapGammaAlpha,
    kSnapMultAlpha,
    kSnapOffAlpha,
    kSnapFadeCC,
    kSnapAlphamult,
    kSnapControlCount
};

using SnapshotValues = std::array<double, kSnapControlCount>;

/// Window width used where Max equals Min (or the difference is not a number):
/// a zero width would divide the channel distance by zero.
inline constexpr double kZeroWidthReplacement = 0.001;

/// A mode control's number as a mode: floor(v + 0.5), halves going up.
/// A value that has no 32-bit integer (NaN, infinities, beyond +-2^31) gives
/// INT32_MIN, which no mode uses, so every stage falls back as for any other
/// value without a meaning.
std::int32_t RoundMode(double v) noexcept;

/// Window width of one channel: Max - Min, with 0 (and NaN) replaced by
/// kZeroWidthReplacement. Negative widths are used as they come.
double WindowWidth(double minimum, double maximum) noexcept;

/// The chunk's own working copy of the controls, with everything derived from
/// them once per chunk. Per-pixel code reads only this and its own locals.
struct Snapshot {
    std::int32_t colorSpace = 0;       // Colorspace, rounded
    std::int32_t bgAlphaBlend = 0;     // BGAlphaBlend, rounded
    std::int32_t colorCorrection = 0;  // ColCor, rounded
    std::int32_t invertAlpha = 0;      // InvAlpha, rounded
    double ccAmount = 0.0;
    double desaturate = 0.0;
    std::array<double, 3> value{};    // Value p1..p3
    std::array<double, 3> minimum{};  // Min p1..p3
    std::array<double, 3> maximum{};  // Max p1..p3
    double fade = 0.5;
    double gamma = 1.0;
    double gain = 1.0;
    double offset = 0.0;
    double fadeCC = 0.0;
    double alphaMultiply = 1.0;  // not rounded: only exactly 1.0 premultiplies

    // Derived once per chunk.
    std::array<double, 3> windowStart{};  // Min + Value
    std::array<double, 3> windowWidth{};  // WindowWidth(Min, Max)
    std::array<float, 3> keyValue{};      // Value as 32-bit floats
};

/// Builds the snapshot and its derived values from the 21 control values.
Snapshot MakeSnapshot(const SnapshotValues& values) noexcept;

}  // namespace keying
