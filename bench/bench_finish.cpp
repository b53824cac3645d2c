// Finishing a 1920 x 1080 keyed frame on one worker: each stage alone at a
// typical value, and all of them together (the tuning page runs them on its
// proxy with every slider change, a render on every frame).
#include <benchmark/benchmark.h>

#include <cmath>
#include <functional>
#include <memory>

#include "app/finish/finishing.h"
#include "host/worker_pool.h"

namespace {

using namespace veskar::finish;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// A grey disc on a green screen with grain; the keyed frame a soft matte of it.
std::shared_ptr<Image> Frame(bool keyed) {
    auto image = std::make_shared<Image>(kWidth, kHeight);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const float grain = 0.03f * std::sin(static_cast<float>(x * 7 + y * 13));
            const float r = std::hypot(x - 960.0f, y - 540.0f);
            const float a = std::fmin(1.0f, std::fmax(0.0f, (310.0f - r) / 20.0f));
            float* record = image->Plane1Pixel(x, y);
            record[0] = a * 0.5f + (1 - a) * (0.2f + grain);
            record[1] = a * 0.55f + (1 - a) * (0.7f + grain);
            record[2] = a * 0.6f + (1 - a) * (0.15f + grain);
            record[3] = keyed ? a : 1.0f;
        }
    }
    return image;
}

void Finish(benchmark::State& state, const std::function<void(FinishOptions&)>& set) {
    host::SetWorkerCount(1);
    const auto source = Frame(false);
    const auto keyed = Frame(true);
    FinishOptions options;
    set(options);
    ShapeMattes shapes{kWidth, kHeight, {}, {}};
    if (!options.garbage.empty()) {
        shapes.garbage = RasterisePolygon(
            ParsePolygon("--garbage", "1500,0,1920,0,1920,1080,1700,1080"), kWidth, kHeight);
        shapes.holdout = RasterisePolygon(ParsePolygon("--holdout", "900,500,1000,500,1000,600"),
                                          kWidth, kHeight);
    }
    const FrameContext context{*source, nullptr, {0.15f, 0.7f, 0.2f}, false, &shapes};
    Image work(kWidth, kHeight);
    for (auto _ : state) {
        state.PauseTiming();
        std::copy(keyed->Plane1Pixel(0, 0), keyed->Plane1Pixel(0, 0) + 4 * kWidth * kHeight,
                  work.Plane1Pixel(0, 0));
        state.ResumeTiming();
        FinishFrame(options, context, work);
        benchmark::DoNotOptimize(work.Plane1Pixel(0, 0));
    }
    host::SetWorkerCount(0);
}

BENCHMARK_CAPTURE(Finish, Clip, [](FinishOptions& o) {
    o.clipBlack = 0.05, o.clipWhite = 0.95;
})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Finish, Grow1_5, [](FinishOptions& o) {
    o.grow = 1.5;
})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Finish, Shrink3, [](FinishOptions& o) {
    o.shrink = 3;
})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Finish, Soften2, [](FinishOptions& o) {
    o.soften = 2;
})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Finish, Soften6, [](FinishOptions& o) {
    o.soften = 6;
})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Finish, Despot4, [](FinishOptions& o) {
    o.despot = 4;
})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Finish, Shapes, [](FinishOptions& o) {
    o.garbage.push_back({}), o.holdout.push_back({});
})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Finish, RefineEdges, [](FinishOptions& o) {
    o.refineEdges = true;
})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Finish, Unmix, [](FinishOptions& o) {
    o.unmix = true;
})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Finish, Despill, [](FinishOptions& o) {
    o.despill = 1;
})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Finish, All, [](FinishOptions& o) {
    o.unmix = true, o.despill = 1, o.clipBlack = 0.05, o.clipWhite = 0.95, o.grow = 1.5,
    o.soften = 2, o.despot = 4;
    o.garbage.push_back({}), o.holdout.push_back({});
})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
