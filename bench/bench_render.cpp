// Whole-frame throughput of the keyer through the host, 3840 x 2160 float RGBA,
// side by side with what a frame costs to copy:
//   copy/memcpy      one memcpy per line into a frame that already exists
//   copy/host        a new host image and one row memcpy per chunk
//   copy/per-pixel   a new host image, every pixel fetched and stored through
//                    the image's routines
//   key/CASE/ROUTE   the keyer: defaults, the heavy set, and each stage
//                    switched on alone, on a frame of noise that the default
//                    window keys solid throughout; then "plate" and its
//                    plate-* cases on a screen and subject frame (Plate) keyed
//                    clear, soft and solid; ROUTE per-pixel is a source that only
//                    offers its pixel routines, line-TARGET the line kernels of
//                    one instruction set (line-best: the one picked at start)
// each at 1 and 2 workers. Run through bench/run_render.sh, which interleaves
// the repetitions and prints medians and ratios.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "host/image.h"
#include "host/registry.h"
#include "host/tags.h"
#include "host/tool_instance.h"
#include "host/worker_pool.h"
#include "keying/line_kernel.h"

namespace {

constexpr int kWidth = 3840;
constexpr int kHeight = 2160;

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

// A plate as a shoot gives it: a green screen with a little noise around a
// subject (an ellipse over a third of the frame, in colours of its own) and an
// edge of mixes 12 pixels wide, so that the "plate" cases key most pixels
// clear or solid in runs, with soft pixels between.
constexpr float kScreen[3] = {0.1f, 0.7f, 0.15f};  // red, green, blue

std::shared_ptr<Image> Plate(int width, int height, unsigned seed) {
    auto image = std::make_shared<Image>(width, height);
    unsigned state = seed;
    const auto uniform = [&state](float low, float high) {
        state = state * 1664525u + 1013904223u;
        return low + (high - low) * (static_cast<float>(state >> 8) / 16777216.0f);
    };
    const double cx = width * 0.5;
    const double cy = height * 0.5;
    const double rx = width * 0.3;
    const double ry = height * 0.35;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double dx = (x - cx) / rx;
            const double dy = (y - cy) / ry;
            // Signed distance from the outline in pixels, roughly: negative inside.
            const double distance = (std::sqrt(dx * dx + dy * dy) - 1.0) * std::min(rx, ry);
            double subject = 0.5 - distance / 12.0;
            subject = subject < 0.0 ? 0.0 : (subject > 1.0 ? 1.0 : subject);
            const float own[3] = {uniform(0.3f, 0.9f), uniform(0.1f, 0.45f), uniform(0.1f, 0.6f)};
            float* record = image->Plane1Pixel(x, y);
            for (int c = 0; c < 3; ++c) {
                const float screen = kScreen[c] + uniform(-0.03f, 0.03f);
                const float mixed = static_cast<float>(subject * own[c] + (1.0 - subject) * screen);
                record[2 - c] = mixed;  // blue, green, red
            }
            record[3] = 1.0f;
        }
    }
    return image;
}

// The same pixels, reachable only through pixel routines that do what the
// host's own do: the render then keys them pixel by pixel.
std::shared_ptr<Image> Routed(std::shared_ptr<Image> image) {
    static const PixelFetch hostFetch = Image(1, 1).FetchRoutine();
    static const PixelStore hostStore = Image(1, 1).StoreRoutine();
    image->SetPixelRoutines(
        [](PixelRecord* record, std::int64_t p1, std::int64_t p2, const Image* self) {
            hostFetch(record, p1, p2, self);
        },
        [](const PixelRecord* record, std::int64_t p1, std::int64_t p2, Image* self) {
            hostStore(record, p1, p2, self);
        });
    return image;
}

struct Setting {
    const char* id;
    double value;
};

struct Case {
    const char* name;
    std::vector<Setting> settings;
    bool keyImage = false;
    bool plate = false;  // Plate's frame in place of noise
};

// A key of the plate's screen: a window of 0.2 in each channel centred on the
// screen colour (the measure's centre lies half the width squared above the
// window's start), the screen's noise clear after the offset and the subject
// solid after the gain.
std::vector<Setting> PlateKey(std::vector<Setting> more) {
    std::vector<Setting> settings = {
        {"ValueRed", kScreen[0]}, {"ValueGreen", kScreen[1]}, {"ValueBlue", kScreen[2]},
        {"MiRedn", -0.02},        {"MinGreen", -0.02},        {"MinBlue", -0.02},
        {"MaxRed", 0.18},         {"MaxGreen", 0.18},         {"MaxBlue", 0.18},
        {"OffAlpha", -0.1},       {"MultAlpha", 3.0}};
    settings.insert(settings.end(), more.begin(), more.end());
    return settings;
}

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"defaults", {}},
        {"heavy",
         {{"Colorspace", 1}, {"keyfall", 1}, {"keyalgo", 1}, {"GammaAlpha", 2.2}, {"ColCor", 2},
          {"CCAmount", 0.5}, {"DesaturateAlpha", 1}, {"BGAlphaBlend", 1}, {"MaxRed", 0.2},
          {"MaxGreen", 0.5}, {"MaxBlue", 0.5}},
         true},
        {"hsv", {{"Colorspace", 1}}},
        {"yxy", {{"Colorspace", 2}}},
        {"yuv", {{"Colorspace", 3}}},
        {"ycbcr", {{"Colorspace", 4}}},
        {"cosine", {{"keyfall", 1}}},
        {"dist", {{"keyalgo", 1}}},
        {"gamma", {{"GammaAlpha", 2.2}}},
        {"mine", {{"ColCor", 1}, {"CCAmount", 0.5}}},
        {"average", {{"ColCor", 2}, {"CCAmount", 0.5}, {"DesaturateAlpha", 1}}},
        {"bluelimit", {{"ColCor", 6}, {"CCAmount", 0.5}}},
        {"multiply", {{"BGAlphaBlend", 1}}},
        {"keyimage", {}, true},
        // The plate (Plate) keyed as a user would: its cases set side by side
        // with "plate" rather than with the defaults.
        {"plate", PlateKey({}), false, true},
        {"plate-mine", PlateKey({{"ColCor", 1}, {"CCAmount", 0.5}}), false, true},
        {"plate-average",
         PlateKey({{"ColCor", 2}, {"CCAmount", 0.5}, {"DesaturateAlpha", 1}}),
         false,
         true},
        {"plate-bluelimit", PlateKey({{"ColCor", 6}, {"CCAmount", 0.5}}), false, true},
        {"plate-gamma", PlateKey({{"GammaAlpha", 2.2}}), false, true},
        {"plate-hsv", PlateKey({{"Colorspace", 1}}), false, true},
    };
    return cases;
}

std::unique_ptr<host::ToolInstance> NewKeyer(const Case& c, bool perPixel) {
    const Registry* registry = ClassRegistry.Find("Ombrell.Veskar");
    if (registry == nullptr) throw std::runtime_error("the keyer class is not registered");
    auto tool = std::make_unique<host::ToolInstance>(*registry);
    for (const Setting& s : c.settings) tool->SetNumber(*tool->FindInput(s.id), s.value);
    std::shared_ptr<Image> source = c.plate ? Plate(kWidth, kHeight, 1) : Frame(kWidth, kHeight, 1);
    tool->Connect(*tool->FindInput("Image"), perPixel ? Routed(source) : source);
    if (c.keyImage) {
        std::shared_ptr<Image> key = Frame(kWidth / 2, kHeight / 2, 2);
        tool->Connect(*tool->FindInput("KeyImage"), perPixel ? Routed(key) : key);
    }
    return tool;
}

void ReportRate(benchmark::State& state) {
    state.counters["Mpixels/s"] = benchmark::Counter(static_cast<double>(kWidth) * kHeight / 1e6,
                                                     benchmark::Counter::kIsIterationInvariantRate);
}

// route: -1 per pixel, -2 line kernels of the target picked at start, else a LineTarget.
void Key(benchmark::State& state, const Case& c, int route, int workers) {
    const keying::LineTarget started = keying::ActiveLineTarget();
    if (route >= 0 && !keying::UseLineTarget(static_cast<keying::LineTarget>(route))) {
        state.SkipWithError("instruction set not offered by this processor");
        return;
    }
    auto tool = NewKeyer(c, route == -1);
    host::SetWorkerCount(workers);
    for (auto _ : state) {
        benchmark::DoNotOptimize(tool->Render());
    }
    keying::UseLineTarget(started);
    ReportRate(state);
}

void CopyMemcpy(benchmark::State& state, int workers) {
    std::shared_ptr<Image> source = Frame(kWidth, kHeight, 1);
    Image target(kWidth, kHeight);
    host::SetWorkerCount(workers);
    const std::size_t rowBytes = static_cast<std::size_t>(kWidth) * 4 * sizeof(float);
    for (auto _ : state) {
        host::RunChunks(kHeight, [&](int y) {
            std::memcpy(target.Plane1Pixel(0, y), source->Plane1Pixel(0, y), rowBytes);
        });
        benchmark::ClobberMemory();
    }
    ReportRate(state);
}

std::unique_ptr<Image> NewLike(const Image& source) {
    const TagItem like[] = {TagPointer(kImgLike, &source), kTagEnd};
    return std::unique_ptr<Image>(NewImageTagList(TagList(like, false)));
}

void CopyHost(benchmark::State& state, int workers) {
    std::shared_ptr<Image> source = Frame(kWidth, kHeight, 1);
    host::SetWorkerCount(workers);
    const std::size_t rowBytes = static_cast<std::size_t>(kWidth) * 4 * sizeof(float);
    for (auto _ : state) {
        std::unique_ptr<Image> output = NewLike(*source);
        host::RunChunks(kHeight, [&](int y) {
            std::memcpy(output->PlaneBytes(1) + output->RowStarts(1)[y],
                        source->PlaneBytes(1) + source->RowStarts(1)[y], rowBytes);
        });
        benchmark::DoNotOptimize(output.get());
    }
    ReportRate(state);
}

void CopyPerPixel(benchmark::State& state, int workers) {
    std::shared_ptr<Image> source = Frame(kWidth, kHeight, 1);
    host::SetWorkerCount(workers);
    for (auto _ : state) {
        std::unique_ptr<Image> output = NewLike(*source);
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

template <class... Args>
void Add(const std::string& name, Args&&... args) {
    benchmark::RegisterBenchmark(name.c_str(), std::forward<Args>(args)...)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
}

void Register() {
    for (int workers : {1, 2}) {
        const std::string w = "/workers:" + std::to_string(workers);
        Add("copy/memcpy" + w, CopyMemcpy, workers);
        Add("copy/host" + w, CopyHost, workers);
        Add("copy/per-pixel" + w, CopyPerPixel, workers);
        for (const Case& c : Cases()) {
            const std::string name = std::string("key/") + c.name + "/";
            Add(name + "per-pixel" + w, Key, c, -1, workers);
            Add(name + "line-best" + w, Key, c, -2, workers);
            // Each level below the one picked, forced: SSE2 is the set every
            // x86-64 processor runs.
            for (int t = 0; t < static_cast<int>(keying::ActiveLineTarget()); ++t) {
                const auto target = static_cast<keying::LineTarget>(t);
                Add(name + "line-" + keying::LineTargetName(target) + w, Key, c, t, workers);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Register();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::printf("line kernels picked at start: %s\n",
                keying::LineTargetName(keying::ActiveLineTarget()));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
