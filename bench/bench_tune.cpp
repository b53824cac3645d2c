// Answering a slider change in veskar tune: the value set through the host,
// the proxy keyed through the plug-in and encoded as PNG, on a 1920 x 1080
// plate. The full-size render and encode run beside it as the baseline that
// the proxy exists to beat.
#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <memory>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include "app/tune/tune_session.h"

namespace {

namespace fs = std::filesystem;
using veskar::tune::TuneSession;
using veskar::tune::View;

// A green screen with a grey disc and some grain, written once as a PNG.
std::string HdPlate() {
    static const std::string path = [] {
        const fs::path file = fs::temp_directory_path() / "veskar_bench_tune_plate.png";
        OIIO::ImageBuf plate(OIIO::ImageSpec(1920, 1080, 3, OIIO::TypeDesc::UINT8));
        for (int y = 0; y < 1080; ++y) {
            for (int x = 0; x < 1920; ++x) {
                const float grain = 0.03f * std::sin(static_cast<float>(x * 7 + y * 13));
                const bool subject = (x - 960) * (x - 960) + (y - 540) * (y - 540) < 300 * 300;
                const float rgb[3] = {subject ? 0.6f : 0.15f + grain, subject ? 0.55f : 0.7f + grain,
                                      subject ? 0.5f : 0.2f + grain};
                plate.setpixel(x, y, rgb);
            }
        }
        plate.write(file.string());
        return file.string();
    }();
    return path;
}

std::unique_ptr<TuneSession> Session() {
    veskar::tune::TuneOptions options;
    options.plate = HdPlate();
    options.pluginFolder = VESKAR_BENCH_PLUGIN_DIR;
    auto session = std::make_unique<TuneSession>(options);
    session->ApplyValues({{"set", {{{"id", "Colorspace"}, {"value", 1}}}}});
    return session;
}

void SliderChange(benchmark::State& state, bool proxy, View view) {
    auto session = Session();
    double fade = 0.3;
    for (auto _ : state) {
        fade = fade == 0.3 ? 0.4 : 0.3;
        session->ApplyValues({{"set", {{{"id", "FadeRed"}, {"value", fade}}}}});
        benchmark::DoNotOptimize(session->ViewPng(0, view, proxy));
    }
}

// A slider change with finishing on, as a compositor tunes: unmix, despill,
// clip black and soften 1, on the proxy of the 1920 x 1080 plate. It must
// answer within a tenth of a second.
void BM_SliderChangeProxyFinished(benchmark::State& state) {
    auto session = Session();
    session->ApplyValues({{"set",
                           {{{"id", "finish.unmix"}, {"value", 1}},
                            {{"id", "finish.despill"}, {"value", 1}},
                            {{"id", "finish.clipBlack"}, {"value", 0.05}},
                            {{"id", "finish.soften"}, {"value", 1}}}}});
    double fade = 0.3;
    for (auto _ : state) {
        fade = fade == 0.3 ? 0.4 : 0.3;
        session->ApplyValues({{"set", {{{"id", "FadeRed"}, {"value", fade}}}}});
        benchmark::DoNotOptimize(session->ViewPng(0, View::Result, true));
    }
}

// The matte view (one grey channel) and the result view (colour and alpha,
// the heaviest to encode).
void BM_SliderChangeProxyMatte(benchmark::State& state) { SliderChange(state, true, View::Matte); }
void BM_SliderChangeProxyResult(benchmark::State& state) { SliderChange(state, true, View::Result); }
void BM_SliderChangeFullMatte(benchmark::State& state) { SliderChange(state, false, View::Matte); }

}  // namespace

BENCHMARK(BM_SliderChangeProxyMatte)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_SliderChangeProxyResult)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_SliderChangeProxyFinished)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_SliderChangeFullMatte)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK_MAIN();
