// Whole-frame throughput of the keyer through the host: a 3840 x 2160 float
// RGBA frame on two workers, with default controls and with a heavy set, and a
// plain copy of the same frame through the host's fetch and store routines for
// comparison.

#include <benchmark/benchmark.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "host/image.h"
#include "host/plugin_loader.h"
#include "host/registry.h"
#include "host/tags.h"
#include "host/tool_instance.h"
#include "host/worker_pool.h"

namespace {

constexpr int kWidth = 3840;
constexpr int kHeight = 2160;
constexpr int kWorkers = 2;

std::shared_ptr<Image> Frame(int width, int height, unsigned seed) {
    auto image = std::make_shared<Image>(width, height);
    unsigned state = seed;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            float* record = image->Plane1Pixel(x, y);
            for (int c = 0; c < 3; ++c) {
                state = state * 1664525u + 1013904223u;
                record[c] = static_cast<float>(state >> 8) / 16777216.0f;
            }
            record[3] = 1.0f;
        }
    }
    return image;
}

struct Keyer {
    host::PluginSet plugins;
    std::unique_ptr<host::ToolInstance> tool;

    Keyer() {
        plugins.Load(VESKAR_BENCH_PLUGIN);
        const Registry* registry = ClassRegistry.Find("Ombrell.Veskar");
        if (registry == nullptr) throw std::runtime_error("the keyer class is not registered");
        tool = std::make_unique<host::ToolInstance>(*registry);
        tool->Connect(*tool->FindInput("Image"), Frame(kWidth, kHeight, 1));
    }
    void Set(const char* id, double value) { tool->SetNumber(*tool->FindInput(id), value); }
};

void ReportRate(benchmark::State& state) {
    state.counters["Mpixels/s"] = benchmark::Counter(static_cast<double>(kWidth) * kHeight / 1e6,
                                                     benchmark::Counter::kIsIterationInvariantRate);
}

void BM_RenderDefaults(benchmark::State& state) {
    Keyer keyer;
    host::SetWorkerCount(kWorkers);
    for (auto _ : state) {
        benchmark::DoNotOptimize(keyer.tool->Render());
    }
    ReportRate(state);
}

void BM_RenderHeavy(benchmark::State& state) {
    Keyer keyer;
    keyer.Set("Colorspace", 1);       // HSV
    keyer.Set("keyfall", 1);          // Cosine
    keyer.Set("keyalgo", 1);          // DIST
    keyer.Set("GammaAlpha", 2.2);
    keyer.Set("ColCor", 2);           // Average
    keyer.Set("CCAmount", 0.5);
    keyer.Set("DesaturateAlpha", 1);
    keyer.Set("BGAlphaBlend", 1);     // Multiply
    keyer.Set("MaxRed", 0.2);
    keyer.Set("MaxGreen", 0.5);
    keyer.Set("MaxBlue", 0.5);
    keyer.tool->Connect(*keyer.tool->FindInput("KeyImage"), Frame(kWidth / 2, kHeight / 2, 2));
    host::SetWorkerCount(kWorkers);
    for (auto _ : state) {
        benchmark::DoNotOptimize(keyer.tool->Render());
    }
    ReportRate(state);
}

// Each line fetched and stored pixel by pixel into a new image, as a tool that
// changes nothing would.
void BM_PlainCopy(benchmark::State& state) {
    std::shared_ptr<Image> source = Frame(kWidth, kHeight, 1);
    host::SetWorkerCount(kWorkers);
    for (auto _ : state) {
        const TagItem like[] = {TagPointer(kImgLike, source.get()), kTagEnd};
        std::unique_ptr<Image> output(NewImageTagList(TagList(like, false)));
        host::RunChunks(kHeight, [&](int y) {
            const PixelFetch fetch = source->FetchRoutine();
            const PixelStore store = output->StoreRoutine();
            const std::int64_t* in = source->RowStarts(1);
            const std::int64_t* out = output->RowStarts(1);
            PixelRecord record;
            for (int x = 0; x < kWidth; ++x) {
                fetch(&record, in[y] + x * source->Step(1), 0, source.get());
                store(&record, out[y] + x * output->Step(1), 0, output.get());
            }
        });
        benchmark::DoNotOptimize(output.get());
    }
    ReportRate(state);
}

}  // namespace

BENCHMARK(BM_PlainCopy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RenderDefaults)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RenderHeavy)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
