#include <gtest/gtest.h>

#include <limits>

#include "keying/pixel.h"
#include "keying_test_support.h"

namespace keying {
namespace {

using test::Near;
using test::NearRgb;
using test::Rgb;

TEST(KeyPixel, WorkedPixelWithPremultiply) {
    SnapshotValues v = test::TestControls();
    v[kSnapAlphamult] = 1.0;
    const Snapshot s = MakeSnapshot(v);
    // Blue at distance 0.6 sets the matte: x = 0.3, P = 0.3.
    const Colour out =
        KeyPixel(s, StartStaging(s), kFalloffLinear, kKeyerMin, Rgb(0.5f, 0.5f, 1.1f, 0.2f));
    EXPECT_TRUE(NearRgb(out, 0.15, 0.15, 0.33, 1e-6));
    EXPECT_TRUE(Near(out.a, 0.3, 1e-6));
}

TEST(KeyPixel, KeyFollowsTheKeySample) {
    // Min -0.5, Max 0.5 around a key sample equal to the pixel: every channel
    // sits at its window's centre, fully keyed; the sliders' own window is not.
    SnapshotValues v = test::TestControls();
    for (int c = 0; c < 3; ++c) {
        v[kSnapMiRedn + c] = -0.5;
        v[kSnapMaxRed + c] = 0.5;
    }
    const Snapshot s = MakeSnapshot(v);
    const Colour pixel = Rgb(0.25f, 0.75f, 0.5f);
    StagingState state = StartStaging(s);
    EXPECT_GT(KeyPixel(s, state, kFalloffLinear, kKeyerMin, pixel).a, 0.1f);
    TakeKeySample(state, s, pixel);
    EXPECT_EQ(KeyPixel(s, state, kFalloffLinear, kKeyerMin, pixel).a, 0.0f);
}

TEST(KeyPixel, MineSubtractsTheKeyColourFromTheValues) {
    // Values (0, 1, 0) in RGB are the key colour; the windows put the pixel
    // (0.2, 0.8, 0.4) at their centres, so M is about 0 and d about 1.
    SnapshotValues v = test::TestControls();
    v[kSnapColCor] = 1;
    v[kSnapCCAmount] = 0.1;
    v[kSnapValueGreen] = 1.0;
    const double mins[3] = {-0.3, -0.7, -0.1};
    for (int c = 0; c < 3; ++c) {
        v[kSnapMiRedn + c] = mins[c];
        v[kSnapMaxRed + c] = mins[c] + 1.0;
    }
    const Snapshot s = MakeSnapshot(v);
    const Colour out =
        KeyPixel(s, StartStaging(s), kFalloffLinear, kKeyerMin, Rgb(0.2f, 0.8f, 0.4f));
    EXPECT_TRUE(NearRgb(out, 0.2, 0.5, 0.8, 1e-5));
    EXPECT_TRUE(Near(out.a, 0.0, 1e-6));
}

// KeyPixel skips the fade matte and key colour where no mode reads them; the
// result must equal the full path's bit for bit.
TEST(KeyPixel, SameBitsAsTheFullPath) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Colour sources[] = {Rgb(0.2f, 0.8f, 0.4f, 0.6f), Rgb(0.9f, 0.1f, 0.3f, 1.0f),
                              Rgb(0.5f, 0.5f, 0.5f, 0.0f), Rgb(-0.2f, 1.4f, 0.1f, 0.5f),
                              Rgb(nan, 0.3f, 0.3f, 1.0f)};
    for (int space = 0; space <= 5; ++space) {
        for (int correction = 0; correction <= 8; ++correction) {
            SnapshotValues v = test::TestControls();
            v[kSnapColorspace] = space;
            v[kSnapColCor] = correction;
            v[kSnapBGAlphaBlend] = correction % 5;
            v[kSnapAlphamult] = correction % 2;
            v[kSnapCCAmount] = 0.7;
            v[kSnapFadeCC] = 0.15;
            v[kSnapDesaturateAlpha] = 0.5;
            v[kSnapValueRed] = 0.3;
            v[kSnapMinGreen] = -0.2;
            v[kSnapGammaAlpha] = 1.7;
            const Snapshot s = MakeSnapshot(v);
            StagingState state = StartStaging(s);
            TakeKeySample(state, s, Rgb(0.1f, 0.7f, 0.3f));
            for (std::int32_t falloff = 0; falloff <= 4; ++falloff) {
                for (const Colour& src : sources) {
                    const Colour staged = StageColour(s, src);
                    const Mattes m = KeySignal(staged, state, s, falloff, kKeyerDist);
                    const Colour corrected =
                        CorrectColour(s, src, m.matte, m.fadeMatte, KeyColour(s, state));
                    const Colour full = AlphaOutput(s, corrected, m.matte, src.a);
                    EXPECT_TRUE(test::SameBits(KeyPixel(s, state, falloff, kKeyerDist, src), full))
                        << space << " " << correction << " " << falloff;
                }
            }
        }
    }
}

}  // namespace
}  // namespace keying
