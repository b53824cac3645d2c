// Whole renders give the same bits under every instruction set of the line
// kernels, through the pixel routines, and on any number of workers: every
// falloff curve, correction and gamma (the modes that take cos and pow) over
// the colour spaces, keyers and blends, on a plate where most values have
// rules of their own.

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "host/worker_pool.h"
#include "keying/line_kernel.h"
#include "support/images.h"
#include "support/keyer_direct.h"

namespace {

using keying::LineTarget;

struct Setting {
    const char* id;
    double value;
};

struct Mode {
    std::vector<Setting> settings;
    bool keyImage = false;
};

// Each falloff curve with each correction and each kind of gamma (none, a
// power above and below 1, one that skips); the other modes turn with them.
std::vector<Mode> EveryMode() {
    std::vector<Mode> modes;
    const double gammas[] = {1.0, 2.2, 0.45, 0.0001};
    int i = 0;
    for (double falloff : {0.0, 1.0, 2.0, 3.0}) {
        for (double correction : {0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0}) {
            for (double gamma : gammas) {
                Mode mode;
                mode.settings = {{"keyfall", falloff},
                                 {"ColCor", correction},
                                 {"GammaAlpha", gamma},
                                 {"CCAmount", 0.7},
                                 {"FadeCC", i % 3 == 0 ? 0.3 : 0.0},
                                 {"Colorspace", static_cast<double>(i % 5)},
                                 {"keyalgo", static_cast<double>(i % 2)},
                                 {"BGAlphaBlend", static_cast<double>(i % 5)},
                                 {"InvAlpha", static_cast<double>((i / 2) % 2)},
                                 {"DesaturateAlpha", i % 4 == 0 ? 1.5 : 0.0},
                                 {"MaxRed", 0.4},
                                 {"MaxGreen", 0.6},
                                 {"MiRedn", -0.2}};
                mode.keyImage = i % 3 == 1;
                modes.push_back(mode);
                ++i;
            }
        }
    }
    return modes;
}

std::string Describe(const Mode& mode) {
    std::ostringstream text;
    for (const Setting& s : mode.settings) text << s.id << "=" << s.value << " ";
    text << (mode.keyImage ? "with" : "without") << " key image";
    return text.str();
}

// Two thirds of the values special: NaN of both signs, infinities, signed
// zeros, subnormals, huge and negative values; the rest ordinary colours.
std::shared_ptr<Image> SpecialPlate(int width, int height, std::uint32_t seed) {
    auto image = PatternImage(width, height, {}, seed);
    const float special[] = {std::numeric_limits<float>::quiet_NaN(),
                             -std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity(),
                             0.0f,
                             -0.0f,
                             1e-40f,
                             -1e-40f,
                             std::numeric_limits<float>::denorm_min(),
                             3e38f,
                             -3e38f,
                             1e6f,
                             -0.5f,
                             -7.0f,
                             2.0f};
    std::uint32_t state = seed;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            float* record = image->Plane1Pixel(x, y);
            for (int c = 0; c < 4; ++c) {
                state = state * 1664525u + 1013904223u;
                if ((state >> 28) % 3 != 0) record[c] = special[(state >> 8) % 15];
            }
        }
    }
    return image;
}

class RenderLevels : public ::testing::Test {
  protected:
    void TearDown() override {
        host::SetWorkerCount(0);
        keying::UseLineTarget(started_);
    }

    std::shared_ptr<Image> Render(const Mode& mode, std::shared_ptr<Image> source,
                                  std::shared_ptr<Image> key) {
        KeyerDirect keyer;
        for (const Setting& s : mode.settings) keyer.Set(s.id, s.value);
        keyer.instance->Connect(keyer.In("Image"), std::move(source));
        if (mode.keyImage) keyer.instance->Connect(keyer.In("KeyImage"), std::move(key));
        return keyer.instance->Render();
    }

  private:
    LineTarget started_ = keying::ActiveLineTarget();
};

TEST_F(RenderLevels, EveryModeOnSpecialValuesGivesTheSameBitsAtEveryLevelAndWorkerCount) {
    const int width = 131, height = 7;  // two blocks of the kernel and a partial one per line
    auto plate = SpecialPlate(width, height, 17);
    auto key = SpecialPlate(width / 2, height / 2, 18);
    auto routedPlate = SpecialPlate(width, height, 17);
    auto routedKey = SpecialPlate(width / 2, height / 2, 18);
    RouteThroughPixelRoutines(*routedPlate);
    RouteThroughPixelRoutines(*routedKey);
    int renders = 0;
    for (const Mode& mode : EveryMode()) {
        // The reference: pixel by pixel, one worker.
        host::SetWorkerCount(1);
        const std::shared_ptr<Image> reference = Render(mode, routedPlate, routedKey);
        ASSERT_TRUE(reference);
        host::SetWorkerCount(3);
        const std::shared_ptr<Image> routed = Render(mode, routedPlate, routedKey);
        ASSERT_TRUE(routed);
        EXPECT_TRUE(SameBits(*reference, *routed))
            << "pixel routines, 3 workers: " << Describe(mode);
        for (LineTarget target : {LineTarget::kSse2, LineTarget::kAvx2, LineTarget::kAvx512}) {
            if (!keying::UseLineTarget(target)) continue;
            for (int workers : {1, 3}) {
                host::SetWorkerCount(workers);
                const std::shared_ptr<Image> lines = Render(mode, plate, key);
                ASSERT_TRUE(lines);
                EXPECT_TRUE(SameBits(*reference, *lines))
                    << keying::LineTargetName(target) << ", " << workers
                    << " workers: " << Describe(mode);
                ++renders;
            }
        }
    }
    EXPECT_GE(renders, 2 * static_cast<int>(EveryMode().size()));
}

}  // namespace
