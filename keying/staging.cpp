#include "keying/staging.h"

#include <cmath>
#include <limits>

namespace keying {

namespace {

// Truncation toward zero of a double that is known to be a position product;
// anything without a 32-bit int (NaN, infinities, huge scales) lands on -1,
// outside every key image, instead of an undefined conversion.
std::int32_t TruncateToPosition(double v) noexcept {
    if (v > -2147483649.0 && v < 2147483648.0) return static_cast<std::int32_t>(v);
    return -1;
}

std::int32_t TruncateToSize(double v) noexcept {
    if (!(v >= 1.0)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(v);
}

}  // namespace

StagingState StartStaging(const Snapshot& snapshot) noexcept {
    StagingState state;
    state.keyValue = snapshot.keyValue;
    state.windowStart = snapshot.windowStart;
    state.windowWidth = snapshot.windowWidth;
    return state;
}

void TakeKeySample(StagingState& state, const Snapshot& snapshot,
                   const Colour& keySample) noexcept {
    const Colour staged = ToWorkingSpace(snapshot.colorSpace, keySample);
    // In "HSV" the staged sample already is its HSV; the conversion would give
    // the same bits again.
    state.keySampleHsv = snapshot.colorSpace == kColourSpaceHsv ? staged : RgbToHsv(keySample);
    const std::array<float, 3> channels{staged.r, staged.g, staged.b};
    for (int c = 0; c < 3; ++c) {
        // The Value sliders act as an offset from the key image's own colour.
        const double difference = static_cast<double>(channels[c]) - snapshot.value[c];
        state.windowStart[c] = snapshot.minimum[c] + difference;
        state.keyValue[c] = static_cast<float>(difference);
        state.windowWidth[c] = WindowWidth(snapshot.minimum[c], snapshot.maximum[c]);
    }
}

std::int32_t KeySampleCoordinate(std::int32_t i, double scale) noexcept {
    return TruncateToPosition(i * scale);
}

KeySamplePoint KeySamplePosition(std::int32_t x, std::int32_t y, double sx, double sy) noexcept {
    return KeySamplePoint{KeySampleCoordinate(x, sx), KeySampleCoordinate(y, sy)};
}

std::int32_t KeyImageExtent(double size) noexcept { return TruncateToSize(size); }

bool KeySampleInside(std::int32_t kx, std::int32_t ky, double kw, double kh) noexcept {
    return kx >= 0 && ky >= 0 && kx < TruncateToSize(kw) && ky < TruncateToSize(kh);
}

}  // namespace keying
