// The line kernels' float power (keying::PowFloatLanes as each instruction set
// builds it) on blocks of a matte's bases, in nanoseconds per lane:
//   pow/TARGET/matte    floats uniform in [0, 1], a tenth of them 0 (keyed out)
//   pow/TARGET/ones     floats next to 1, where the logarithm's error matters most
// with Gamma Alpha 2.2 (the exponent 1/2.2). Also the share of lanes that the
// bounded pow leaves to the exact one, counted as a rate.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "keying/det_math.h"
#include "keying/line_kernel.h"

namespace {

constexpr int kLanes = 1 << 16;
constexpr int kBlock = 64;
constexpr double kExponent = 1.0 / 2.2;

std::vector<double> Bases(bool nearOne) {
    std::vector<double> bases(kLanes);
    std::uint32_t state = 12345;
    for (double& b : bases) {
        state = state * 1664525u + 1013904223u;
        const float unit = static_cast<float>(state >> 8) / 16777216.0f;
        if (nearOne) {
            b = static_cast<float>(1.0f - unit * 0x1p-6f);
        } else {
            b = (state & 0xF0u) < 0x1Au ? 0.0 : static_cast<double>(unit);
        }
    }
    return bases;
}

void PowFloat(benchmark::State& state, keying::LineTarget target, bool nearOne) {
    const keying::LineMath math = keying::LineMathFor(target);
    if (math.powFloat == nullptr) {
        state.SkipWithError("target not available");
        return;
    }
    const std::vector<double> bases = Bases(nearOne);
    std::vector<float> out(kLanes);
    for (auto _ : state) {
        for (int i = 0; i < kLanes; i += kBlock) math.powFloat(&bases[i], kExponent, &out[i], kBlock);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["ns/lane"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kLanes,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    // The lanes whose widened rough value rounds to two floats.
    namespace dm = keying::det_math;
    int undecided = 0;
    for (double x : bases) {
        const double v = dm::RoughPow(x, kExponent);
        const double spread = v * (2.0 * dm::kRoughPowError);
        undecided += x > 0.0 && static_cast<float>(v - spread) != static_cast<float>(v + spread);
    }
    state.counters["undecided"] = static_cast<double>(undecided) / kLanes;
}

void Register() {
    for (keying::LineTarget target :
         {keying::LineTarget::kSse2, keying::LineTarget::kAvx2, keying::LineTarget::kAvx512}) {
        const std::string name = keying::LineTargetName(target);
        for (bool nearOne : {false, true}) {
            benchmark::RegisterBenchmark(
                ("pow/" + name + (nearOne ? "/ones" : "/matte")).c_str(),
                [target, nearOne](benchmark::State& s) { PowFloat(s, target, nearOne); });
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Register();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
