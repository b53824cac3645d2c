#include <gtest/gtest.h>

#include "host/worker_pool.h"
#include "support/images.h"
#include "support/keyer_plugin.h"

namespace {

class Render : public ::testing::Test {
protected:
    void TearDown() override { host::SetWorkerCount(0); }

    KeyerPlugin keyer;
    Operator& Tool() { return keyer.tool->Tool(); }
    Output* Out() { return Tool().Outputs()[0].get(); }
    void Set(const char* id, double value) { keyer.tool->SetNumber(keyer.In(id), value); }
};

}  // namespace

TEST_F(Render, NothingOnImageSetsTheOutputToNothing) {
    Request request(&Tool(), 0.0);
    Tool().CheckRequest(&request);
    EXPECT_TRUE(request.Skipped());  // the host would not even ask
    Tool().Process(&request);
    EXPECT_TRUE(request.OutputWasSet(Out()));
    EXPECT_EQ(request.OutputData(Out()), nullptr);
}

TEST_F(Render, ZeroSizeSourceSetsNoOutput) {
    for (auto size : {std::pair{0, 4}, std::pair{4, 0}, std::pair{0, 0}}) {
        keyer.tool->Connect(keyer.In("Image"), std::make_shared<Image>(size.first, size.second));
        Request request(&Tool(), 0.0);
        Tool().Process(&request);
        EXPECT_FALSE(request.OutputWasSet(Out())) << size.first << " x " << size.second;
    }
}

TEST_F(Render, OutputHasTheSourceSizeAndFurtherChannelsUnchanged) {
    auto source = PatternImage(37, 23, {"Z", "diffuse.R", "diffuse.G"});
    keyer.tool->Connect(keyer.In("Image"), source);
    keyer.tool->Connect(keyer.In("KeyImage"), PatternImage(19, 11, {}, 7));
    Set("ValueGreen", 0.8);
    Set("MinGreen", -0.2);
    Set("MaxGreen", 0.3);
    std::shared_ptr<Image> output = keyer.tool->Render();
    ASSERT_TRUE(output);
    ASSERT_NE(output, source);
    EXPECT_EQ(output->Width(), 37);
    EXPECT_EQ(output->Height(), 23);
    ASSERT_EQ(output->ExtraChannelNames(), source->ExtraChannelNames());
    for (int y = 0; y < 23; ++y) {
        for (int x = 0; x < 37; ++x) {
            for (int c = 0; c < 3; ++c) {
                ASSERT_EQ(output->Plane2Pixel(x, y)[c], source->Plane2Pixel(x, y)[c]) << x << "," << y;
            }
        }
    }
}

TEST_F(Render, OneWorkerAndTwoGiveIdenticalBits) {
    keyer.tool->Connect(keyer.In("Image"), PatternImage(301, 67, {"Z"}));
    keyer.tool->Connect(keyer.In("KeyImage"), PatternImage(150, 33, {}, 3));
    Set("Colorspace", 1);
    Set("MaxRed", 0.4);
    Set("DesaturateAlpha", 0.5);
    Set("ColCor", 2);
    host::SetWorkerCount(1);
    std::shared_ptr<Image> one = keyer.tool->Render();
    host::SetWorkerCount(2);
    std::shared_ptr<Image> two = keyer.tool->Render();
    ASSERT_TRUE(one && two);
    EXPECT_TRUE(SameBits(*one, *two));
}

TEST_F(Render, UnusableKeyImageEqualsNoneAndLeavesTheRequest) {
    auto source = PatternImage(40, 30);
    keyer.tool->Connect(keyer.In("Image"), source);
    Set("ValueRed", 0.5);
    Set("MaxRed", 0.5);
    std::shared_ptr<Image> without = keyer.tool->Render();
    keyer.tool->Connect(keyer.In("KeyImage"), std::make_shared<Image>(0, 30));
    Request request(&Tool(), 0.0);
    Tool().CheckRequest(&request);
    Tool().Process(&request);
    EXPECT_EQ(request.GetInputData(&keyer.In("KeyImage"), 0), nullptr);
    auto with = std::dynamic_pointer_cast<Image>(request.OutputData(Out()));
    ASSERT_TRUE(with && without);
    EXPECT_TRUE(SameBits(*with, *without));
}

TEST_F(Render, HalfSizeKeyImageSamplesTruncatedPositions) {
    // A key image half the size, and the same key with every pixel doubled to
    // full size: source pixel (x, y) samples key pixel (trunc(x / 2), trunc(y / 2)),
    // so both key identically.
    const int width = 50, height = 30;
    auto half = PatternImage(width / 2, height / 2, {}, 11);
    auto doubled = std::make_shared<Image>(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 4; ++c) doubled->Plane1Pixel(x, y)[c] = half->Plane1Pixel(x / 2, y / 2)[c];
        }
    }
    keyer.tool->Connect(keyer.In("Image"), PatternImage(width, height, {"Z"}, 5));
    Set("Colorspace", 1);
    Set("MiRedn", -0.1);
    Set("MaxRed", 0.2);
    Set("MaxGreen", 0.4);
    Set("MaxBlue", 0.3);
    Set("ColCor", 1);  // "mine" reads the key colour staged from the samples
    Set("CCAmount", 0.5);
    keyer.tool->Connect(keyer.In("KeyImage"), half);
    std::shared_ptr<Image> fromHalf = keyer.tool->Render();
    keyer.tool->Connect(keyer.In("KeyImage"), doubled);
    std::shared_ptr<Image> fromDoubled = keyer.tool->Render();
    keyer.tool->Connect(keyer.In("KeyImage"), nullptr);
    std::shared_ptr<Image> fromSliders = keyer.tool->Render();
    ASSERT_TRUE(fromHalf && fromDoubled && fromSliders);
    EXPECT_TRUE(SameBits(*fromHalf, *fromDoubled));
    EXPECT_FALSE(SameBits(*fromHalf, *fromSliders));  // the key image does take part
}

TEST_F(Render, KeyImageTakenOutOfTheRequestIsNotReadAfterwards) {
    auto source = PatternImage(24, 16);
    keyer.tool->Connect(keyer.In("Image"), source);
    Set("MaxRed", 0.3);
    std::shared_ptr<Image> without = keyer.tool->Render();
    // A request that holds the only reference to a key image the input cannot
    // use (nothing is connected): taking it out of the request frees it.
    Request request(&Tool(), 0.0);
    request.SetInputData(&keyer.In("KeyImage"), PatternImage(24, 16, {}, 9).get(), 0);
    Tool().Process(&request);
    auto with = std::dynamic_pointer_cast<Image>(request.OutputData(Out()));
    ASSERT_TRUE(with && without);
    EXPECT_TRUE(SameBits(*with, *without));
}
