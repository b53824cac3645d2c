#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "keying/colour_spaces.h"
#include "keying_test_support.h"

namespace keying {
namespace {

using test::Near;
using test::NearRgb;
using test::Rgb;

const std::vector<Colour> kInGamut = {Rgb(0.2f, 0.8f, 0.4f),   Rgb(0.9f, 0.1f, 0.3f),
                                      Rgb(0.05f, 0.3f, 0.95f), Rgb(0.6f, 0.6f, 0.1f),
                                      Rgb(0.7f, 0.2f, 0.7f),   Rgb(1.0f, 0.5f, 0.0f)};

TEST(RgbToHsv, GreysAndBlackHaveNoHueOrSaturation) {
    const Colour grey = RgbToHsv(Rgb(0.5f, 0.5f, 0.5f));
    EXPECT_EQ(grey.r, 0.0f);
    EXPECT_EQ(grey.g, 0.0f);
    EXPECT_EQ(grey.b, 0.5f);
    const Colour black = RgbToHsv(Rgb(0.0f, 0.0f, 0.0f));
    EXPECT_EQ(black.r, 0.0f);
    EXPECT_EQ(black.g, 0.0f);
    EXPECT_EQ(black.b, 0.0f);
    // A spread below 0.00001 counts as grey, at the largest channel.
    const Colour nearGrey = RgbToHsv(Rgb(0.5f, 0.500008f, 0.5f));
    EXPECT_EQ(nearGrey.g, 0.0f);
    EXPECT_EQ(nearGrey.b, 0.500008f);
}

TEST(RgbToHsv, HueSectors) {
    const Colour blue = RgbToHsv(Rgb(0.0f, 0.0f, 1.0f));
    EXPECT_TRUE(Near(blue.r, 4.0 / 6.0, test::kOneRounding));
    EXPECT_EQ(blue.g, 1.0f);
    EXPECT_EQ(blue.b, 1.0f);
    // The red sector's negative half is moved to the top of the turn.
    const Colour rose = RgbToHsv(Rgb(1.0f, 0.0f, 0.2f));
    EXPECT_TRUE(Near(rose.r, (-0.2 * 60 + 360) / 360, test::kOneRounding));
    // Green sector: (B - R) / diff + 2 = 1/3 + 2 sectors = 140 degrees.
    EXPECT_TRUE(Near(RgbToHsv(Rgb(0.2f, 0.8f, 0.4f)).r, 140.0 / 360, test::kOneRounding));
}

TEST(HsvToRgb, EdgesOfTheHueCircleAndSaturation) {
    const Colour atOne = HsvToRgb(WorkingColour(1.0f, 0.6f, 0.9f));
    const Colour atZero = HsvToRgb(WorkingColour(0.0f, 0.6f, 0.9f));
    EXPECT_TRUE(test::SameBits(atOne, atZero));
    for (float s : {0.0f, -0.5f, std::numeric_limits<float>::quiet_NaN()}) {
        const Colour grey = HsvToRgb(WorkingColour(0.3f, s, 0.7f));
        EXPECT_EQ(grey.r, 0.7f);
        EXPECT_EQ(grey.g, 0.7f);
        EXPECT_EQ(grey.b, 0.7f);
    }
    // Between -1/6 and 0 the sector is 0 with a negative fraction: t overshoots.
    EXPECT_TRUE(
        NearRgb(HsvToRgb(WorkingColour(-0.1f, 1.0f, 1.0f)), 1.0, -0.6, 0.0, test::kHsvTrip));
    // Below -1/6 the last sector's formula applies: (V, p, q) with f = 0.
    EXPECT_TRUE(NearRgb(HsvToRgb(WorkingColour(-0.5f, 1.0f, 1.0f)), 1.0, 0.0, 1.0, test::kHsvTrip));
}

TEST(HsvToRgb, HuesWithoutASectorNumberAreDefined) {
    // -1e30 turns is far outside a 32-bit sector number: (V, p, q) with f = 0.
    EXPECT_TRUE(NearRgb(HsvToRgb(WorkingColour(-1e30f, 0.5f, 1.0f)), 1.0, 0.5, 1.0, 0.0));
    const Colour nanHue =
        HsvToRgb(WorkingColour(std::numeric_limits<float>::quiet_NaN(), 0.5f, 1.0f));
    EXPECT_EQ(nanHue.r, 1.0f);
    EXPECT_EQ(nanHue.g, 0.5f);
    EXPECT_TRUE(std::isnan(nanHue.b));
}

TEST(Xyy, WorkedValues) {
    const Colour white = RgbToXyy(Rgb(1.0f, 1.0f, 1.0f));
    EXPECT_TRUE(Near(white.r, 1.0, test::kOneRounding));
    EXPECT_TRUE(Near(white.g, 0.3127, test::kOneRounding));
    EXPECT_TRUE(Near(white.b, 0.329, test::kOneRounding));
    const Colour black = RgbToXyy(Rgb(0.0f, 0.0f, 0.0f));
    EXPECT_EQ(black.r, 0.0f);
    EXPECT_EQ(black.g, 0.0f);
    EXPECT_EQ(black.b, 0.0f);
    // Y = 0 falls back to X = Z = 1e-6: slightly off black, relative 1e-5 for
    // the six digits given.
    const Colour dark = XyyToRgb(WorkingColour(0.0f, 0.3f, 0.3f));
    EXPECT_TRUE(Near(dark.r / 2.74236e-6, 1.0, 1e-5));
    EXPECT_TRUE(Near(dark.g / -9.27689e-7, 1.0, 1e-5));
    EXPECT_TRUE(Near(dark.b / 1.11260e-6, 1.0, 1e-5));
}

TEST(Ycbcr, WhiteHasChromaAt128Over255) {
    const Colour white = RgbToYcbcr(Rgb(1.0f, 1.0f, 1.0f));
    EXPECT_TRUE(Near(white.r, 1.0, test::kOneRounding));
    EXPECT_TRUE(Near(white.g, 0.50196081, test::kOneRounding));
    EXPECT_TRUE(Near(white.b, 0.50196081, test::kOneRounding));
    EXPECT_NE(white.g, 0.5f);
    EXPECT_TRUE(NearRgb(YcbcrToRgb(white), 1.0, 1.0, 1.0, test::kOneRounding));
}

// The inverse pairs return the colour: HSV within float rounding, xyY within
// the mutual error of its two seven-digit matrices (about 1e-6), YCbCr within
// that of the five-digit coefficients of its inverse (about 4e-6).
TEST(ColourSpaces, RoundTripsWhereThePairIsAnInverse) {
    for (const Colour& c : kInGamut) {
        EXPECT_TRUE(NearRgb(HsvToRgb(RgbToHsv(c)), c.r, c.g, c.b, test::kHsvTrip));
        EXPECT_TRUE(NearRgb(XyyToRgb(RgbToXyy(c)), c.r, c.g, c.b, 2e-6));
        EXPECT_TRUE(NearRgb(YcbcrToRgb(RgbToYcbcr(c)), c.r, c.g, c.b, 1e-5));
    }
}

TEST(Yuv, GreysHaveNoColourDifference) {
    for (float level : {0.0f, 0.4f, 1.0f, 2.5f, -0.3f}) {
        const Colour yuv = RgbToYuv(Rgb(level, level, level));
        EXPECT_EQ(yuv.g, 0.0f) << level;
        EXPECT_EQ(yuv.b, 0.0f) << level;
        EXPECT_TRUE(Near(yuv.r, level, 1e-6)) << level;
    }
}

TEST(Yuv, DifferencesAndTheNonInversePair) {
    // Red: Y = 0.299, p2 = 0.713 (1 - 0.299); blue: p3 = 0.564 (1 - 0.114).
    // 1e-6 covers the 255-scale steps and the 7-digit 1/255.
    const Colour red = RgbToYuv(Rgb(1.0f, 0.0f, 0.0f));
    EXPECT_TRUE(Near(red.r, 0.299, 1e-6));
    EXPECT_TRUE(Near(red.g, 0.713 * 0.701, 1e-6));
    EXPECT_TRUE(Near(red.b, 0.564 * -0.299, 1e-6));
    EXPECT_TRUE(Near(RgbToYuv(Rgb(0.0f, 0.0f, 1.0f)).b, 0.564 * 0.886, 1e-6));
    // Back through YUV to RGB, which reads p3 as the red difference.
    const double y = 0.299;
    const double u = 0.713 * 0.701;
    const double v = 0.564 * -0.299;
    EXPECT_TRUE(
        NearRgb(YuvToRgb(red), y + 1.403 * v, y - 0.344 * u - 0.714 * v, y + 1.77 * u, 1e-5));
}

TEST(HueDistance, ShorterArcAndWriteBack) {
    Colour a = WorkingColour(0.95f, 1.0f, 1.0f);
    Colour b = WorkingColour(0.05f, 1.0f, 1.0f);
    EXPECT_TRUE(Near(HueDistance(a, b), 0.1, test::kOneRounding));
    Colour c = WorkingColour(-0.25f, 1.0f, 1.0f);
    Colour d = WorkingColour(0.25f, 1.0f, 1.0f);
    EXPECT_EQ(HueDistance(c, d), 0.5);
    EXPECT_EQ(c.r, 0.75f);  // the wrapped hue is written back
    EXPECT_EQ(d.r, 0.25f);
}

TEST(WorkingSpace, ModesSelectTheirConversions) {
    const Colour white = Rgb(1.0f, 1.0f, 1.0f);
    const Colour blue = Rgb(0.0f, 0.0f, 1.0f);
    EXPECT_TRUE(Near(ToWorkingSpace(1, blue).r, 4.0 / 6.0, test::kOneRounding));
    EXPECT_TRUE(Near(ToWorkingSpace(2, white).g, 0.3127, test::kOneRounding));
    EXPECT_TRUE(Near(ToWorkingSpace(3, Rgb(1.0f, 0.0f, 0.0f)).g, 0.713 * 0.701, 1e-6));
    EXPECT_TRUE(Near(ToWorkingSpace(4, white).g, 0.50196081, test::kOneRounding));
    EXPECT_TRUE(NearRgb(FromWorkingSpace(1, WorkingColour(0.5f, 0.6f, 0.9f)), 0.36, 0.9, 0.9,
                        test::kHsvTrip));
    EXPECT_TRUE(Near(FromWorkingSpace(2, WorkingColour(0.0f, 0.3f, 0.3f)).r, 2.74236e-6, 1e-10));
    EXPECT_TRUE(NearRgb(FromWorkingSpace(3, WorkingColour(0.5f, 0.0f, 0.1f)), 0.5 + 0.1403,
                        0.5 - 0.0714, 0.5, 1e-6));
    EXPECT_TRUE(
        NearRgb(FromWorkingSpace(4, ToWorkingSpace(4, white)), 1.0, 1.0, 1.0, test::kOneRounding));
    const Colour odd = Rgb(0.3f, -0.2f, 7.0f, 0.25f);
    for (int mode : {0, 5, -1, 1000}) {
        EXPECT_TRUE(test::SameBits(ToWorkingSpace(mode, odd), odd)) << mode;
        EXPECT_TRUE(test::SameBits(FromWorkingSpace(mode, odd), odd)) << mode;
    }
}

}  // namespace
}  // namespace keying
