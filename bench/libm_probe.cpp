// How much the C library's choice of cos and pow builds (it picks an FMA or a
// plain build by processor) moves the keyer's results. bench/libm_dispatch.sh
// runs this twice, once with the C library kept off its FMA builds, and
// compares:
//   libm_probe write FILE   cos and pow over the arguments the heavy settings
//                           give, then a heavy render, all written to FILE
//   libm_probe compare A B  counts the values that differ and by how many ulps

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/image.h"
#include "host/registry.h"
#include "host/tool_instance.h"
#include "host/worker_pool.h"

namespace {

constexpr int kValues = 4000000;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

double Uniform(std::uint64_t& state) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(state >> 11) / 9007199254740992.0;
}

std::shared_ptr<Image> Frame(int width, int height, std::uint64_t seed) {
    auto image = std::make_shared<Image>(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            float* record = image->Plane1Pixel(x, y);
            for (int c = 0; c < 3; ++c) record[c] = static_cast<float>(Uniform(seed));
            record[3] = 1.0f;
        }
    }
    return image;
}

int Write(const char* path) {
    std::vector<double> cosines(kValues);
    std::vector<double> powers(kValues);
    std::uint64_t state = 1;
    // Matte terms of "Cosine": pi times a channel distance times the fade; and
    // a matte raised to 1 / 2.2.
    for (int i = 0; i < kValues; ++i) cosines[i] = std::cos(3.141592653589793 * 2.0 * Uniform(state));
    for (int i = 0; i < kValues; ++i) {
        powers[i] = std::pow(static_cast<double>(static_cast<float>(Uniform(state))), 1.0 / 2.2);
    }

    const Registry* registry = ClassRegistry.Find("Ombrell.Veskar");
    if (registry == nullptr) throw std::runtime_error("the keyer class is not registered");
    host::ToolInstance tool(*registry);
    const std::pair<const char*, double> heavy[] = {
        {"Colorspace", 1}, {"keyfall", 1},       {"keyalgo", 1},      {"GammaAlpha", 2.2},
        {"ColCor", 1},     {"CCAmount", 0.5},    {"FadeCC", 0.1},     {"DesaturateAlpha", 1},
        {"MaxRed", 0.2},   {"MaxGreen", 0.5},    {"MaxBlue", 0.5},    {"BGAlphaBlend", 1}};
    for (const auto& [id, value] : heavy) tool.SetNumber(*tool.FindInput(id), value);
    tool.Connect(*tool.FindInput("Image"), Frame(kWidth, kHeight, 3));
    std::shared_ptr<Image> keyed = tool.Render();

    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(cosines.data()), kValues * sizeof(double));
    out.write(reinterpret_cast<const char*>(powers.data()), kValues * sizeof(double));
    out.write(reinterpret_cast<const char*>(keyed->Plane1Pixel(0, 0)),
              static_cast<std::streamsize>(kWidth) * kHeight * 4 * sizeof(float));
    return out ? 0 : 1;
}

std::vector<char> Slurp(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

template <class T, class Bits>
void Compare(const char* what, const char* a, const char* b, std::size_t count) {
    std::size_t differ = 0;
    std::int64_t worst = 0;
    for (std::size_t i = 0; i < count; ++i) {
        Bits x;
        Bits y;
        std::memcpy(&x, a + i * sizeof(T), sizeof(T));
        std::memcpy(&y, b + i * sizeof(T), sizeof(T));
        if (x != y) {
            ++differ;
            const std::int64_t ulps = static_cast<std::int64_t>(x > y ? x - y : y - x);
            if (ulps > worst) worst = ulps;
        }
    }
    std::printf("  %-34s %9zu of %9zu differ (%.4f%%), at most %lld ulp\n", what, differ, count,
                100.0 * static_cast<double>(differ) / static_cast<double>(count),
                static_cast<long long>(worst));
}

int CompareFiles(const char* first, const char* second) {
    const std::vector<char> a = Slurp(first);
    const std::vector<char> b = Slurp(second);
    if (a.size() != b.size() || a.empty()) {
        std::fprintf(stderr, "libm_probe: %s and %s do not hold the same runs\n", first, second);
        return 1;
    }
    const char* pa = a.data();
    const char* pb = b.data();
    Compare<double, std::uint64_t>("cos(pi x), x in 0..2", pa, pb, kValues);
    pa += kValues * sizeof(double);
    pb += kValues * sizeof(double);
    Compare<double, std::uint64_t>("pow(p, 1/2.2), p in 0..1", pa, pb, kValues);
    pa += kValues * sizeof(double);
    pb += kValues * sizeof(double);
    const std::size_t pixels = static_cast<std::size_t>(kWidth) * kHeight;
    Compare<float, std::uint32_t>("heavy render, float channels", pa, pb, pixels * 4);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "write") == 0) return Write(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "compare") == 0) return CompareFiles(argv[2], argv[3]);
    std::fprintf(stderr, "usage: libm_probe write FILE | libm_probe compare A B\n");
    return 2;
}
