#include <gtest/gtest.h>

#include <limits>

#include "keying/colour_correction.h"
#include "keying_test_support.h"

namespace keying {
namespace {

using test::NearRgb;
using test::Rgb;

struct Correction {
    SnapshotValues controls = test::TestControls();
    Correction(double mode, double amount) {
        controls[kSnapColCor] = mode;
        controls[kSnapCCAmount] = amount;
    }
    Colour Run(const Colour& source, float matte, double fadeMatte = 0.0,
               const Colour& key = Rgb(0.0f, 1.0f, 0.0f)) const {
        return CorrectColour(MakeSnapshot(controls), source, matte, fadeMatte, key);
    }
};

const Colour kGreenish = Rgb(0.2f, 0.8f, 0.4f, 0.7f);

TEST(CorrectColour, NoneAndIndicesWithoutAModeKeepTheColour) {
    for (double mode : {0.0, 8.0, 9.0, 22.0, -22.0, 1e12}) {
        Correction cc(mode, 1.5);
        cc.controls[kSnapFadeCC] = 0.5;
        cc.controls[kSnapDesaturateAlpha] = 5.0;
        EXPECT_TRUE(test::SameBits(cc.Run(kGreenish, 0.0f), kGreenish)) << mode;
    }
}

TEST(CorrectColour, AverageReferences) {
    const Colour average = Correction(2, 1.0).Run(kGreenish, 1.0f);
    EXPECT_TRUE(NearRgb(average, 0.2, 0.3, 0.4, test::kHsvTrip));
    EXPECT_EQ(average.a, 0.7f);
    // Below the reference: only the HSV round trip touches it.
    EXPECT_TRUE(NearRgb(Correction(2, 1.0).Run(Rgb(0.2f, 0.25f, 0.4f), 1.0f), 0.2, 0.25, 0.4,
                        test::kHsvTrip));
    // 0.333, not 1/3.
    EXPECT_TRUE(NearRgb(Correction(3, 1.0).Run(Rgb(0.3f, 0.9f, 0.6f), 1.0f), 0.3, 0.4995, 0.6,
                        test::kHsvTrip));
    EXPECT_TRUE(NearRgb(Correction(4, 1.0).Run(Rgb(0.9f, 0.95f, 0.3f), 1.0f), 0.9, 0.6993, 0.3,
                        test::kHsvTrip));
    EXPECT_TRUE(NearRgb(Correction(5, 1.0).Run(Rgb(0.2f, 0.3f, 0.9f), 1.0f), 0.2, 0.3, 0.2664,
                        test::kHsvTrip));
    // An amount above 1 overshoots: -0.5 * 0.8 + 1.5 * 0.3.
    EXPECT_TRUE(NearRgb(Correction(2, 1.5).Run(kGreenish, 1.0f), 0.2, 0.05, 0.4, test::kHsvTrip));
}

TEST(CorrectColour, ChannelLimitsKeepTheSourceValue) {
    EXPECT_TRUE(NearRgb(Correction(6, 1.0).Run(Rgb(0.2f, 0.9f, 0.5f), 1.0f), 0.36, 0.9, 0.9,
                        test::kHsvTrip));
    EXPECT_TRUE(NearRgb(Correction(7, 1.0).Run(Rgb(0.5f, 0.9f, 0.2f), 1.0f), 0.9, 0.9, 0.36,
                        test::kHsvTrip));
}

TEST(CorrectColour, MineTakesTheHueOfTheSubtractedColour) {
    // Key (0, 1, 0) scaled by d = 1 and 0.1 * 5: green drops to 0.3; hue 210
    // degrees at the source's S 0.75 and V 0.8.
    EXPECT_TRUE(NearRgb(Correction(1, 0.1).Run(kGreenish, 0.0f), 0.2, 0.5, 0.8, test::kHsvTrip));
    // The key colour acts channel by channel: a red key of 1 turns red 0.8 to
    // 0.3, hue 270 degrees.
    EXPECT_TRUE(
        NearRgb(Correction(1, 0.1).Run(Rgb(0.8f, 0.2f, 0.4f), 0.0f, 0.0, Rgb(1.0f, 0.0f, 0.0f)),
                0.5, 0.2, 0.8, test::kHsvTrip));
    // Fade CC subtracts through (1 - fade matte) even where the matte is 1.
    Correction fade(1, 0.0);
    fade.controls[kSnapFadeCC] = 0.1;
    EXPECT_TRUE(NearRgb(fade.Run(kGreenish, 1.0f, 0.0), 0.2, 0.5, 0.8, test::kHsvTrip));
    // Matte 1 and fade matte 1: nothing is subtracted.
    Correction none(1, 1.5);
    none.controls[kSnapFadeCC] = 0.5;
    EXPECT_TRUE(NearRgb(none.Run(kGreenish, 1.0f, 1.0), 0.2, 0.8, 0.4, test::kHsvTrip));
}

TEST(CorrectColour, MineKeepsGreys) {
    for (float matte : {0.0f, 0.4f, 1.0f}) {
        Correction cc(1, 1.5);
        cc.controls[kSnapFadeCC] = 0.5;
        cc.controls[kSnapDesaturateAlpha] = 2.0;
        const Colour out = cc.Run(Rgb(0.4f, 0.4f, 0.4f), matte, 0.0, Rgb(0.9f, 0.1f, 0.3f));
        EXPECT_TRUE(NearRgb(out, 0.4f, 0.4f, 0.4f, 0.0)) << matte;
    }
}

TEST(CorrectColour, Desaturation) {
    Correction cc(2, 0.0);
    cc.controls[kSnapDesaturateAlpha] = 1.0;
    // S 0.75 - 0.5 = 0.25 at hue 140 degrees and V 0.8.
    EXPECT_TRUE(NearRgb(cc.Run(kGreenish, 0.5f), 0.6, 0.8, 2.0 / 3.0, test::kHsvTrip));
}

TEST(CorrectColour, DesaturationPastTheSaturationGivesGreyInEveryMode) {
    for (int mode = 1; mode <= 7; ++mode) {
        Correction cc(mode, 0.0);
        cc.controls[kSnapDesaturateAlpha] = 5.0;
        const Colour out = cc.Run(kGreenish, 0.0f);
        EXPECT_EQ(out.r, out.g) << mode;
        EXPECT_EQ(out.g, out.b) << mode;
        // The limit modes pass V through one extra HSV round trip.
        EXPECT_TRUE(test::Near(out.r, 0.8, test::kOneRounding)) << mode;
    }
}

TEST(CorrectColour, ColoursWithoutSaturationComeOutGrey) {
    for (int mode = 1; mode <= 7; ++mode) {
        const Correction cc(mode, 0.0);
        EXPECT_TRUE(NearRgb(cc.Run(Rgb(-0.1f, -0.2f, -0.05f), 1.0f), -0.05f, -0.05f, -0.05f, 0.0))
            << mode;
        EXPECT_TRUE(
            NearRgb(cc.Run(Rgb(0.5f, 0.500008f, 0.5f), 1.0f), 0.500008f, 0.500008f, 0.500008f, 0.0))
            << mode;
    }
}

}  // namespace
}  // namespace keying
