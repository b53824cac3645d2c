#include <gtest/gtest.h>

#include "keying/alpha_output.h"
#include "keying_test_support.h"

namespace keying {
namespace {

using test::NearRgb;
using test::Rgb;

Colour Output(double blend, double alphaMultiply, const Colour& colour, float matte, float q) {
    SnapshotValues v = test::TestControls();
    v[kSnapBGAlphaBlend] = blend;
    v[kSnapAlphamult] = alphaMultiply;
    return AlphaOutput(MakeSnapshot(v), colour, matte, q);
}

const Colour kCorrected = Rgb(0.5f, 0.25f, 1.0f, 0.9f);

TEST(AlphaOutput, PremultiplyOnlyWhenExactlyOne) {
    const Colour on = Output(0, 1.0, kCorrected, 0.5f, 0.3f);
    EXPECT_TRUE(NearRgb(on, 0.25, 0.125, 0.5, 0.0));
    EXPECT_EQ(on.a, 0.5f);
    for (double off : {0.0, 0.999, 2.0}) {
        EXPECT_TRUE(NearRgb(Output(0, off, kCorrected, 0.5f, 0.3f), 0.5, 0.25, 1.0, 0.0)) << off;
    }
}

TEST(AlphaOutput, PassThroughWritesTheSourceAlphaButKeepsThePremultiply) {
    const Colour off = Output(4, 0.0, kCorrected, 0.5f, 0.3f);
    EXPECT_TRUE(NearRgb(off, 0.5, 0.25, 1.0, 0.0));
    EXPECT_EQ(off.a, 0.3f);
    const Colour on = Output(4, 1.0, kCorrected, 0.5f, 0.3f);
    EXPECT_TRUE(NearRgb(on, 0.25, 0.125, 0.5, 0.0));
    EXPECT_EQ(on.a, 0.3f);
    const Colour multiplied = Output(1, 1.0, kCorrected, 0.5f, 0.0f);
    EXPECT_EQ(multiplied.a, 0.0f);
    EXPECT_EQ(multiplied.r, 0.25f);
}

TEST(BlendAlpha, UnclampedModes) {
    EXPECT_EQ(BlendAlpha(kBlendAdd, 0.75f, 0.5), 1.25f);
    EXPECT_TRUE(test::Near(BlendAlpha(kBlendSubstract, 0.8f, 0.5), -0.3, test::kOneRounding));
    EXPECT_EQ(BlendAlpha(kBlendMultiply, 0.5f, 0.25), 0.125f);
    for (std::int32_t other : {-1, 5, 99}) EXPECT_EQ(BlendAlpha(other, 0.8f, 0.5), 0.8f);
}

TEST(AlphaOutput, BlendModeIsRoundedHalfUp) {
    EXPECT_EQ(Output(4.4, 0.0, kCorrected, 0.8f, 0.5f).a, 0.5f);  // "PassThrough"
    EXPECT_EQ(Output(4.5, 0.0, kCorrected, 0.8f, 0.5f).a, 0.8f);  // 5: "Replace"
}

}  // namespace
}  // namespace keying
