#include "keying/snapshot.h"

#include <cmath>
#include <limits>

namespace keying {

std::int32_t RoundMode(double v) noexcept {
    const double r = std::floor(v + 0.5);
    // A value outside the 32-bit range (or NaN) has no mode; converting it
    // directly would be undefined, so it becomes a value no mode uses.
    if (!(r >= -2147483648.0 && r <= 2147483647.0)) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(r);
}

double WindowWidth(double minimum, double maximum) noexcept {
    const double width = maximum - minimum;
    if (width == 0.0 || std::isnan(width)) {
        return kZeroWidthReplacement;
    }
    return width;
}

Snapshot MakeSnapshot(const SnapshotValues& v) noexcept {
    Snapshot s;
    s.colorSpace = RoundMode(v[kSnapColorspace]);
    s.bgAlphaBlend = RoundMode(v[kSnapBGAlphaBlend]);
    s.colorCorrection = RoundMode(v[kSnapColCor]);
    s.invertAlpha = RoundMode(v[kSnapInvAlpha]);
    s.ccAmount = v[kSnapCCAmount];
    s.desaturate = v[kSnapDesaturateAlpha];
    for (int c = 0; c < 3; ++c) {
        s.value[c] = v[kSnapValueRed + c];
        s.minimum[c] = v[kSnapMiRedn + c];
        s.maximum[c] = v[kSnapMaxRed + c];
    }
    s.fade = v[kSnapFadeRed];
    s.gamma = v[kSnapGammaAlpha];
    s.gain = v[kSnapMultAlpha];
    s.offset = v[kSnapOffAlpha];
    s.fadeCC = v[kSnapFadeCC];
    s.alphaMultiply = v[kSnapAlphamult];
    for (int c = 0; c < 3; ++c) {
        s.windowStart[c] = s.minimum[c] + s.value[c];
        s.windowWidth[c] = WindowWidth(s.minimum[c], s.maximum[c]);
        s.keyValue[c] = static_cast<float>(s.value[c]);
    }
    return s;
}

}  // namespace keying
