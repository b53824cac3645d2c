#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "keying/snapshot.h"

namespace {

keying::SnapshotValues Defaults() {
    keying::SnapshotValues v{};
    v[keying::kSnapFadeRed] = 0.5;
    v[keying::kSnapGammaAlpha] = 1.0;
    v[keying::kSnapMultAlpha] = 1.0;
    v[keying::kSnapAlphamult] = 1.0;
    return v;
}

}  // namespace

TEST(Snapshot, ModesRoundHalvesUp) {
    EXPECT_EQ(keying::RoundMode(2.5), 3);
    EXPECT_EQ(keying::RoundMode(2.49), 2);
    EXPECT_EQ(keying::RoundMode(-0.5), 0);
    EXPECT_EQ(keying::RoundMode(-0.51), -1);
    EXPECT_EQ(keying::RoundMode(4.4), 4);
    EXPECT_EQ(keying::RoundMode(4.5), 5);
    EXPECT_EQ(keying::RoundMode(2147483646.7), 2147483647);
    EXPECT_EQ(keying::RoundMode(-2147483648.4), std::numeric_limits<std::int32_t>::min());
}

TEST(Snapshot, ModeWithoutAnIntegerHasNoMeaning) {
    const std::int32_t none = std::numeric_limits<std::int32_t>::min();
    EXPECT_EQ(keying::RoundMode(std::nan("")), none);
    EXPECT_EQ(keying::RoundMode(INFINITY), none);
    EXPECT_EQ(keying::RoundMode(-INFINITY), none);
    EXPECT_EQ(keying::RoundMode(2147483647.5), none);
    EXPECT_EQ(keying::RoundMode(1e300), none);
}

TEST(Snapshot, ModeControlsAreRounded) {
    keying::SnapshotValues v = Defaults();
    v[keying::kSnapColorspace] = 2.5;
    v[keying::kSnapBGAlphaBlend] = 4.4;
    v[keying::kSnapColCor] = 6.5;
    v[keying::kSnapInvAlpha] = 0.5;
    v[keying::kSnapAlphamult] = 0.999;
    keying::Snapshot s = keying::MakeSnapshot(v);
    EXPECT_EQ(s.colorSpace, 3);
    EXPECT_EQ(s.bgAlphaBlend, 4);
    EXPECT_EQ(s.colorCorrection, 7);
    EXPECT_EQ(s.invertAlpha, 1);  // 0.5 counts as on
    EXPECT_EQ(s.alphaMultiply, 0.999);  // not a mode: kept as it is
    v[keying::kSnapColorspace] = 2.49;
    EXPECT_EQ(keying::MakeSnapshot(v).colorSpace, 2);
}

TEST(Snapshot, WindowsStartAtMinPlusValue) {
    keying::SnapshotValues v = Defaults();
    v[keying::kSnapValueRed] = 0.1;
    v[keying::kSnapMiRedn] = -0.3;
    v[keying::kSnapMaxRed] = 0.2;
    v[keying::kSnapValueGreen] = 0.7;
    v[keying::kSnapMinGreen] = 0.4;
    v[keying::kSnapMaxGreen] = 0.4;  // Max equals Min
    v[keying::kSnapValueBlue] = -1.0;
    v[keying::kSnapMinBlue] = 0.5;
    v[keying::kSnapMaxBlue] = 0.25;  // Max below Min
    keying::Snapshot s = keying::MakeSnapshot(v);
    EXPECT_EQ(s.windowStart[0], -0.3 + 0.1);
    EXPECT_EQ(s.windowStart[1], 0.4 + 0.7);
    EXPECT_EQ(s.windowStart[2], 0.5 + -1.0);
    EXPECT_EQ(s.windowWidth[0], 0.2 - -0.3);
    EXPECT_EQ(s.windowWidth[1], 0.001);
    EXPECT_EQ(s.windowWidth[2], -0.25);  // negative widths are used unchanged
    EXPECT_EQ(s.keyValue[0], 0.1f);
    EXPECT_EQ(s.keyValue[1], 0.7f);
    EXPECT_EQ(s.keyValue[2], -1.0f);
}

TEST(Snapshot, WidthThatIsNotANumberIsReplaced) {
    EXPECT_EQ(keying::WindowWidth(INFINITY, INFINITY), 0.001);
    EXPECT_EQ(keying::WindowWidth(std::nan(""), 0.0), 0.001);
    EXPECT_EQ(keying::WindowWidth(-0.0, 0.0), 0.001);
    EXPECT_EQ(keying::WindowWidth(0.0, INFINITY), INFINITY);
}
