#include <gtest/gtest.h>

#include <limits>

#include "keying/staging.h"
#include "keying_test_support.h"

namespace keying {
namespace {

using test::Near;
using test::NearRgb;
using test::Rgb;

Snapshot WithValues(double colorSpace, double v1, double v2, double v3) {
    SnapshotValues v = test::TestControls();
    v[kSnapColorspace] = colorSpace;
    v[kSnapValueRed] = v1;
    v[kSnapValueGreen] = v2;
    v[kSnapValueBlue] = v3;
    return MakeSnapshot(v);
}

TEST(Staging, RgbWithoutKeySampleUsesTheSliders) {
    const Snapshot s = WithValues(0, 0.25, 0.5, 0.75);
    const StagingState state = StartStaging(s);
    const Colour source = Rgb(0.1f, 0.2f, 0.3f, 0.6f);
    EXPECT_TRUE(test::SameBits(StageColour(s, source), source));
    const Colour key = KeyColour(s, state);
    EXPECT_EQ(key.r, 0.25f);
    EXPECT_EQ(key.g, 0.5f);
    EXPECT_EQ(key.b, 0.75f);
    EXPECT_EQ(state.windowStart[1], 0.5);  // Min 0 + Value 0.5
    EXPECT_EQ(state.keySampleHsv.r, 0.0f);
    EXPECT_EQ(state.keySampleHsv.g, 0.0f);
    EXPECT_EQ(state.keySampleHsv.b, 0.0f);
}

TEST(Staging, HsvStagesAGreyAtItsLevel) {
    const Colour staged = StageColour(WithValues(1, 0, 0, 0), Rgb(0.4f, 0.4f, 0.4f));
    EXPECT_EQ(staged.r, 0.0f);
    EXPECT_EQ(staged.g, 0.0f);
    EXPECT_EQ(staged.b, 0.4f);
}

TEST(Staging, ColourSpaceWithoutAConversionLeavesValuesAsTheyAre) {
    const Snapshot s = WithValues(5, 0.25, -0.5, 3.0);
    const Colour source = Rgb(0.1f, 0.2f, 0.3f);
    EXPECT_TRUE(test::SameBits(StageColour(s, source), source));
    EXPECT_TRUE(NearRgb(KeyColour(s, StartStaging(s)), 0.25, -0.5, 3.0, 0.0));
}

TEST(Staging, KeySampleMovesTheWindowByTheValueOffset) {
    SnapshotValues v = test::TestControls();
    v[kSnapValueGreen] = 0.1;
    v[kSnapMinGreen] = -0.05;
    v[kSnapMaxGreen] = -0.05;  // zero width: replaced, and kept after a sample
    const Snapshot s = MakeSnapshot(v);
    StagingState state = StartStaging(s);
    TakeKeySample(state, s, Rgb(0.3f, 0.6f, 0.0f));
    EXPECT_TRUE(Near(state.windowStart[1], -0.05 + (0.6 - 0.1), test::kOneRounding));
    EXPECT_TRUE(Near(state.keyValue[1], 0.5, test::kOneRounding));
    EXPECT_TRUE(Near(KeyColour(s, state).g, 0.5, test::kOneRounding));
    EXPECT_TRUE(Near(state.windowStart[0], 0.3, test::kOneRounding));
    EXPECT_EQ(state.windowWidth[1], 0.001);
    EXPECT_EQ(state.windowWidth[0], 1.0);
    // A later sample replaces the earlier one; it is not added to it.
    TakeKeySample(state, s, Rgb(0.3f, 0.2f, 0.0f));
    EXPECT_TRUE(Near(state.windowStart[1], -0.05 + (0.2 - 0.1), test::kOneRounding));
}

TEST(Staging, KeySampleHsvAndKeyColourInHsv) {
    const Snapshot s = WithValues(1, 0, 0, 0);
    StagingState state = StartStaging(s);
    const Colour sample = Rgb(0.2f, 0.9f, 0.5f);
    TakeKeySample(state, s, sample);
    // Hue of (0.2, 0.9, 0.5): (B - R) / diff + 2 = 3/7 + 2 sectors.
    EXPECT_TRUE(Near(state.keySampleHsv.r, (3.0 / 7 + 2) / 6, test::kOneRounding));
    // With all Values at 0 the key values are the sample's HSV, and the key
    // colour is the sample again.
    EXPECT_TRUE(NearRgb(KeyColour(s, state), 0.2, 0.9, 0.5, test::kHsvTrip));
    // In RGB the key sample HSV is renewed as well.
    const Snapshot rgb = WithValues(0, 0, 0, 0);
    TakeKeySample(state, rgb, Rgb(0.0f, 0.0f, 1.0f));
    EXPECT_TRUE(Near(state.keySampleHsv.r, 4.0 / 6.0, test::kOneRounding));
}

TEST(KeySamplePosition, TruncatesTowardZero) {
    for (int x : {4, 5}) {
        const KeySamplePoint p = KeySamplePosition(x, x, 0.5, 0.5);
        EXPECT_EQ(p.kx, 2);
        EXPECT_EQ(p.ky, 2);
    }
    EXPECT_EQ(KeySamplePosition(1, 0, -0.5, 1.0).kx, 0);  // -0.5 truncates to 0
}

TEST(KeySamplePosition, PositionsWithoutAnIntAreRejected) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double scale : {4.0, 1e300, inf, -inf, nan, -4.0}) {
        const KeySamplePoint p = KeySamplePosition(2000000000, 2000000000, scale, scale);
        EXPECT_FALSE(KeySampleInside(p.kx, p.ky, 2147483647.0, 2147483647.0)) << scale;
    }
}

TEST(KeySampleInside, BoundsOnBothSides) {
    EXPECT_TRUE(KeySampleInside(0, 0, 4.0, 3.0));
    EXPECT_TRUE(KeySampleInside(3, 2, 4.0, 3.0));
    EXPECT_FALSE(KeySampleInside(4, 0, 4.0, 3.0));
    EXPECT_FALSE(KeySampleInside(0, 3, 4.0, 3.0));
    EXPECT_FALSE(KeySampleInside(-1, 0, 4.0, 3.0));
    EXPECT_FALSE(KeySampleInside(2, 0, 2.9, 3.0));  // size truncated to 2
    EXPECT_FALSE(KeySampleInside(0, 0, 0.0, 3.0));
    EXPECT_FALSE(KeySampleInside(0, 0, std::numeric_limits<double>::quiet_NaN(), 3.0));
    EXPECT_TRUE(KeySampleInside(5, 5, 1e12, 1e12));
}

}  // namespace
}  // namespace keying
