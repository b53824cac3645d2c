// A chunk keys plain float rows a whole line at a time and any other image
// pixel by pixel through its routines: both routes give the same bits, on
// every worker count.

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "host/worker_pool.h"
#include "support/images.h"
#include "support/keyer_plugin.h"

namespace {

struct Setting {
    const char* id;
    double value;
};

// Mode mixes that take the line kernel through each of its stage loops.
const std::vector<std::vector<Setting>> kSettings = {
    {},
    {{"Colorspace", 1}, {"keyfall", 1}, {"keyalgo", 1}, {"GammaAlpha", 2.2}, {"ColCor", 1},
     {"CCAmount", 0.4}, {"FadeCC", 0.3}, {"DesaturateAlpha", 1.0}, {"BGAlphaBlend", 1},
     {"InvAlpha", 1}, {"MaxRed", 0.2}, {"MaxGreen", 0.5}, {"MaxBlue", 0.5}},
    {{"Colorspace", 4}, {"keyfall", 3}, {"ColCor", 3}, {"CCAmount", 1.2}, {"BGAlphaBlend", 2},
     {"ValueGreen", 0.5}, {"MinGreen", -0.3}, {"MaxGreen", 0.3}, {"OffAlpha", -0.2}},
    {{"Colorspace", 2}, {"keyfall", 2}, {"ColCor", 7}, {"CCAmount", 0.8}, {"BGAlphaBlend", 4},
     {"Alphamult", 0}, {"MultAlpha", 3}, {"MiRedn", 0.1}, {"MaxRed", 0.1}},
    {{"Colorspace", 3}, {"ColCor", 6}, {"CCAmount", 1.0}, {"DesaturateAlpha", 2.5},
     {"BGAlphaBlend", 3}, {"GammaAlpha", 0.5}, {"MaxBlue", -0.4}},
};

// A pattern with a few pixels holding values that have rules of their own.
std::shared_ptr<Image> Plate(int width, int height, std::vector<std::string> extra, std::uint32_t seed) {
    auto image = PatternImage(width, height, std::move(extra), seed);
    const float special[] = {std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::infinity(), -0.0f, 1e-40f, -1e30f, -0.5f};
    int next = 0;
    for (int y = 0; y < height; y += 3) {
        for (int x = y % 5; x < width; x += 11) {
            image->Plane1Pixel(x, y)[next % 4] = special[next % 6];
            ++next;
        }
    }
    return image;
}

class LineRender : public ::testing::Test {
protected:
    void TearDown() override { host::SetWorkerCount(0); }

    std::shared_ptr<Image> Render(const std::vector<Setting>& settings, std::shared_ptr<Image> source,
                                  std::shared_ptr<Image> key) {
        KeyerPlugin keyer;
        for (const Setting& setting : settings) keyer.tool->SetNumber(keyer.In(setting.id), setting.value);
        keyer.tool->Connect(keyer.In("Image"), std::move(source));
        if (key) keyer.tool->Connect(keyer.In("KeyImage"), std::move(key));
        return keyer.tool->Render();
    }
};

}  // namespace

TEST_F(LineRender, PlainRowsAndPixelRoutinesGiveTheSameBits) {
    const int width = 131, height = 9;  // two blocks and a partial one per line
    struct KeyCase {
        const char* name;
        int width, height;
    };
    const KeyCase keys[] = {{"none", 0, 0}, {"same size", width, height}, {"half size", width / 2, height / 2},
                            {"odd size", 13, 7}};
    for (std::size_t s = 0; s < kSettings.size(); ++s) {
        for (const KeyCase& k : keys) {
            auto plain = Plate(width, height, {"Z", "N.x"}, 3);
            auto routed = Plate(width, height, {"Z", "N.x"}, 3);
            RouteThroughPixelRoutines(*routed);
            ASSERT_FALSE(routed->PlainFloatRows());
            std::shared_ptr<Image> keyPlain = k.width ? Plate(k.width, k.height, {}, 4) : nullptr;
            std::shared_ptr<Image> keyRouted = k.width ? Plate(k.width, k.height, {}, 4) : nullptr;
            if (keyRouted) RouteThroughPixelRoutines(*keyRouted);
            std::shared_ptr<Image> byLine = Render(kSettings[s], plain, keyPlain);
            std::shared_ptr<Image> byPixel = Render(kSettings[s], routed, keyRouted);
            // A plain source with a routed key image goes pixel by pixel too.
            std::shared_ptr<Image> byPixelKey = Render(kSettings[s], plain, keyRouted);
            ASSERT_TRUE(byLine && byPixel && byPixelKey);
            EXPECT_TRUE(SameBits(*byLine, *byPixel)) << "settings " << s << ", key " << k.name;
            EXPECT_TRUE(SameBits(*byLine, *byPixelKey)) << "settings " << s << ", key " << k.name;
        }
    }
}

TEST_F(LineRender, OneWorkerAndThreeGiveTheSameBits) {
    auto source = Plate(203, 41, {"Z"}, 5);
    auto key = Plate(101, 20, {}, 6);
    for (const auto& settings : kSettings) {
        host::SetWorkerCount(1);
        std::shared_ptr<Image> one = Render(settings, source, key);
        host::SetWorkerCount(3);
        std::shared_ptr<Image> three = Render(settings, source, key);
        ASSERT_TRUE(one && three);
        EXPECT_TRUE(SameBits(*one, *three));
    }
}
