#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "keying/key_signal.h"
#include "keying_test_support.h"

namespace keying {
namespace {

using test::Near;

// Windows start at 0 with width 1 unless a test moves them. With width 1 a
// staged value of 0.5 + d gives the channel distance d; 0.5 gives 0.
struct Signal {
    SnapshotValues controls = test::TestControls();
    Mattes Run(float p1, float p2, float p3, std::int32_t falloff = kFalloffLinear,
               std::int32_t keyer = kKeyerMin) const {
        const Snapshot s = MakeSnapshot(controls);
        return KeySignal(WorkingColour(p1, p2, p3), StartStaging(s), s, falloff, keyer);
    }
};

TEST(KeySignal, HalfWidthIsSubtractedNotHalf) {
    Signal sig;
    sig.controls[kSnapMaxRed] = 0.5;  // width 0.5: 0.125 / 0.5 - 0.25 = 0
    EXPECT_EQ(sig.Run(0.125f, 0.5f, 0.5f).matte, 0.0f);
    // Start 0.25, width 1: 0.75 sits at the centre; p2 at distance 0.6 then
    // sets the matte alone: x = 0.3, term 0.7, P = 0.3.
    sig.controls = test::TestControls();
    sig.controls[kSnapMiRedn] = 0.25;
    sig.controls[kSnapMaxRed] = 1.25;
    EXPECT_TRUE(Near(sig.Run(0.75f, 1.1f, 0.5f).matte, 0.3, test::kOneRounding));
    // A negative width is used as it comes: start 1, width -1, staged 1.5:
    // 0.5 / -1 + 0.5 = 0.
    sig.controls[kSnapMiRedn] = 1.0;
    sig.controls[kSnapMaxRed] = 0.0;
    EXPECT_EQ(sig.Run(1.5f, 0.5f, 0.5f).matte, 0.0f);
    // Defaults reach 1 where a channel distance reaches 2.
    EXPECT_EQ(Signal{}.Run(0.5f, 2.5f, 0.5f).matte, 1.0f);
}

TEST(KeySignal, FadeCcPointTwoZeroesTheFadeMatte) {
    Signal sig;
    sig.controls[kSnapFadeCC] = 0.2;
    for (float v : {0.5f, 0.9f, 2.5f, -3.0f}) EXPECT_EQ(sig.Run(v, 0.5f, v).fadeMatte, 0.0) << v;
}

TEST(KeySignal, HalfCosUsesPiForTheFadeMatte) {
    Signal sig;
    sig.controls[kSnapFadeRed] = 2.0 / 3.0;  // p1 at distance 1: x = 2/3, y = 1
    const Mattes m = sig.Run(1.5f, 0.5f, 0.5f, kFalloffHalfCos);
    EXPECT_TRUE(Near(m.matte, 1.0 - std::cos(kPi / 3), test::kOneRounding));
    EXPECT_EQ(m.fadeMatte, 1.0);  // cos(pi * 1) = -1, N = 1
}

TEST(KeySignal, BCosUsesNoPiForTheFadeMatte) {
    Signal sig;
    // p1 at distance 1: x = 0.5 gives (cos(pi/2) + 1) / 2 = 0.5, P = 0.5.
    EXPECT_TRUE(Near(sig.Run(1.5f, 0.5f, 0.5f, kFalloffBCos).matte, 0.5, test::kOneRounding));
    // y = 1 gives (cos 1 + 1) / 2 = 0.7701512; offset 1 makes it visible.
    sig.controls[kSnapOffAlpha] = 1.0;
    EXPECT_TRUE(Near(sig.Run(1.5f, 0.5f, 0.5f, kFalloffBCos).fadeMatte, 1.0 - 0.7701512, 1e-7));
}

TEST(KeySignal, GammaOnANegativeFadeSignalGivesFadeMatteOne) {
    Signal sig;
    sig.controls[kSnapGammaAlpha] = 2.0;
    sig.controls[kSnapFadeCC] = 0.05;  // p1 at distance 1: y = 0.75, N = -0.25
    const Mattes m = sig.Run(1.5f, 0.5f, 0.5f);
    EXPECT_EQ(m.fadeMatte, 1.0);
    EXPECT_TRUE(Near(m.matte, std::sqrt(0.5), test::kOneRounding));
}

TEST(KeySignal, GammaZeroOrNaNIsSkipped) {
    Signal sig;
    for (double g : {0.0, std::numeric_limits<double>::quiet_NaN()}) {
        sig.controls[kSnapGammaAlpha] = g;
        EXPECT_EQ(sig.Run(1.5f, 0.5f, 0.5f).matte, 0.5f) << g;
    }
}

TEST(KeySignal, OffsetGainAndClamps) {
    Signal sig;
    sig.controls[kSnapMultAlpha] = 40.0;
    sig.controls[kSnapOffAlpha] = -2.0;  // P = 0.1: (0.1 - 2) * 40 = -76
    EXPECT_EQ(sig.Run(0.7f, 0.5f, 0.5f).matte, 0.0f);
    sig.controls[kSnapOffAlpha] = 0.0;  // 0.1 * 40 = 4
    EXPECT_EQ(sig.Run(0.7f, 0.5f, 0.5f).matte, 1.0f);
}

TEST(KeySignal, NaNEndsAsMatteZeroAndFadeMatteOne) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    Signal sig;
    sig.controls[kSnapOffAlpha] = 0.5;  // without NaN: matte 0.5, fade matte 0
    for (std::int32_t keyer : {kKeyerMin, kKeyerDist}) {
        const Mattes m = sig.Run(0.5f, nan, 0.5f, kFalloffLinear, keyer);
        EXPECT_EQ(m.matte, 0.0f) << keyer;
        EXPECT_EQ(m.fadeMatte, 1.0) << keyer;
    }
}

TEST(KeySignal, InvertFlipsBothMattes) {
    Signal sig;
    sig.controls[kSnapInvAlpha] = 1.0;
    const Mattes m = sig.Run(0.5f, 1.1f, 0.5f);  // matte 0.3, fade matte 0
    EXPECT_TRUE(Near(m.matte, 0.7, test::kOneRounding));
    EXPECT_EQ(m.fadeMatte, 1.0);
    sig.controls[kSnapInvAlpha] = 2.0;  // only a flag of exactly 1 inverts
    EXPECT_TRUE(Near(sig.Run(0.5f, 1.1f, 0.5f).matte, 0.3, test::kOneRounding));
}

TEST(KeySignal, FalloffModeWithoutACurveKeepsTheTerms) {
    // Distances 0.6, 0.8, 1.0 give x = 0.3, 0.4, 0.5; the smallest is the
    // matte's m (1 - x would take 0.5 instead).
    for (std::int32_t mode : {7, -1, std::numeric_limits<std::int32_t>::min()}) {
        EXPECT_TRUE(Near(Signal{}.Run(1.1f, 1.3f, 1.5f, mode).matte, 0.7, test::kOneRounding));
    }
}

TEST(KeySignal, DistAndMin) {
    // Terms 0.7, 0.6, 1: DIST gives 1 - sqrt(0.3^2 + 0.4^2) = 0.5, MIN 0.6.
    const Signal sig;
    EXPECT_TRUE(Near(sig.Run(1.1f, 1.3f, 0.5f, kFalloffLinear, kKeyerDist).matte, 0.5, 1e-6));
    for (std::int32_t keyer : {0, 2, -1}) {
        EXPECT_TRUE(Near(sig.Run(1.1f, 1.3f, 0.5f, kFalloffLinear, keyer).matte, 0.4, 1e-6));
    }
    // All terms 1: m = 1, P = 0.
    EXPECT_EQ(sig.Run(0.5f, 0.5f, 0.5f, kFalloffLinear, kKeyerDist).matte, 0.0f);
}

// Gamma 1 skips the power: pow(x, 1) must return x itself for every value a
// signal can take (all floats, widened), else the skip would change results.
TEST(KeySignal, PowerOfOneIsSkippedWithoutChangingBits) {
    for (std::uint64_t bits = 0; bits <= 0xffffffffu; bits += 65521) {
        const float f = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
        const double x = f;
        const double powered = std::pow(x, 1.0);
        if (std::isnan(x)) {
            EXPECT_TRUE(std::isnan(powered));
        } else {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(powered), std::bit_cast<std::uint64_t>(x)) << x;
        }
    }
}

TEST(KeyMatte, SameBitsAsKeySignal) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float samples[] = {-1.0f, 0.0f, 0.3f, 0.5f, 0.77f, 1.2f, 3.0f, nan, inf};
    for (double gamma : {1.0, 2.2, 0.45, -1.0}) {
        for (double invert : {0.0, 1.0}) {
            SnapshotValues v = test::TestControls();
            v[kSnapGammaAlpha] = gamma;
            v[kSnapInvAlpha] = invert;
            v[kSnapOffAlpha] = 0.1;
            v[kSnapMultAlpha] = 1.5;
            v[kSnapFadeCC] = 0.1;
            v[kSnapMaxGreen] = 0.4;
            const Snapshot s = MakeSnapshot(v);
            const StagingState state = StartStaging(s);
            for (std::int32_t falloff = -1; falloff <= 4; ++falloff) {
                for (std::int32_t keyer = 0; keyer <= 2; ++keyer) {
                    for (float a : samples) {
                        for (float b : samples) {
                            const Colour c = WorkingColour(a, b, 0.6f);
                            EXPECT_TRUE(
                                test::SameBits(KeyMatte(c, state, s, falloff, keyer),
                                               KeySignal(c, state, s, falloff, keyer).matte));
                        }
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace keying
