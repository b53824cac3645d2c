// Keyed frames against the reference the Linux build made and the repository
// holds (tests/tool/data/keyed_frames.bin): the plug-in, loaded as the host
// loads it, keys fixed in-memory frames through every colour space, falloff,
// keyer, correction and blend mode, and must give the stored bits exactly, on
// Linux and in the Windows build alike.
//
// The keyer's cos and pow are its own (keying/det_math.h), from IEEE basic
// operations only: the Windows build, whose C runtime's cos and pow differ
// from glibc's in 0.08 to 0.15 % of results, and every processor compute
// them to the same bits. A different bit here means the arithmetic itself
// differs between the builds.
//
// After a deliberate change of the keyed result, write the reference again on
// Linux with VESKAR_WRITE_KEYED_FRAMES=1 ./test_plugin --gtest_filter='KeyedFrames.*'
// and say in the commit why the frames changed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/keyer_plugin.h"

namespace {

constexpr int kCases = 40;
constexpr int kWidth = 16;
constexpr int kHeight = 8;
constexpr std::size_t kValuesPerCase = static_cast<std::size_t>(kWidth) * kHeight * 4;
const std::string kHeader = "veskar keyed frames 1: 40 cases of 16 x 8 pixels, float32 BGRA, little-endian\n";

/// Fixed, platform-independent numbers: an integer generator whose outputs
/// are exact in float and double.
class Numbers {
public:
    explicit Numbers(std::uint32_t seed) : state_(seed * 2654435761u + 97u) {}
    /// In [low, high), on a grid of 2^-24 of the span.
    double In(double low, double high) {
        state_ = state_ * 1664525u + 1013904223u;
        return low + (high - low) * (static_cast<double>(state_ >> 8) / 16777216.0);
    }

private:
    std::uint32_t state_;
};

/// A frame whose colours and alpha reach a little past 0 and 1 on both
/// sides, so that the clamps and negative channels take part.
std::shared_ptr<Image> Frame(int width, int height, std::uint32_t seed) {
    auto image = std::make_shared<Image>(width, height);
    Numbers numbers(seed);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            float* record = image->Plane1Pixel(x, y);
            for (int c = 0; c < 4; ++c) record[c] = static_cast<float>(numbers.In(-0.25, 1.25));
        }
    }
    return image;
}

/// The settings of case `index`: the modes cycle so that every colour space
/// meets every correction, every falloff meets both keyers, and every blend
/// mode, gamma and key image choice turns up several times; the windows and
/// amounts are drawn from the case's own numbers.
std::vector<std::pair<const char*, double>> CaseSettings(int index) {
    Numbers numbers(1000u + static_cast<std::uint32_t>(index));
    const double gammas[] = {1.0, 0.45, 2.2, 0.8};
    std::vector<std::pair<const char*, double>> settings = {
        {"Colorspace", index % 5},
        {"BGAlphaBlend", (index / 8) % 5},
        {"keyfall", index % 4},
        {"keyalgo", (index / 4) % 2},
        {"InvAlpha", (index / 3) % 2},
        {"Alphamult", (index / 7) % 2 == 0 ? 1.0 : 0.0},
        {"ColCor", index % 8},
        {"CCAmount", numbers.In(0.0, 1.5)},
        {"FadeCC", numbers.In(0.0, 0.5)},
        {"DesaturateAlpha", numbers.In(0.0, 2.0)},
        {"GammaAlpha", gammas[(index / 2) % 4]},
        {"MultAlpha", numbers.In(0.5, 3.0)},
        {"OffAlpha", numbers.In(-0.3, 0.3)},
        {"FadeRed", numbers.In(0.3, 0.9)},
        {"CRed", numbers.In(0.0, 1.0)},
        {"CGreen", numbers.In(0.0, 1.0)},
        {"CBlue", numbers.In(0.0, 1.0)},
    };
    for (const char* id : {"ValueRed", "ValueGreen", "ValueBlue"}) settings.emplace_back(id, numbers.In(0.1, 0.7));
    for (const char* id : {"MiRedn", "MinGreen", "MinBlue"}) settings.emplace_back(id, numbers.In(-0.6, -0.05));
    for (const char* id : {"MaxRed", "MaxGreen", "MaxBlue"}) settings.emplace_back(id, numbers.In(0.05, 0.6));
    return settings;
}

bool UsesKeyImage(int index) { return index % 3 == 0; }

/// Keys every case; returns the output records one case after the other.
std::vector<float> KeyAllCases() {
    KeyerPlugin keyer;
    if (!keyer.tool) throw std::runtime_error("the plug-in registered no Ombrell.Veskar class");
    std::vector<float> values;
    values.reserve(kValuesPerCase * kCases);
    for (int index = 0; index < kCases; ++index) {
        std::vector<std::pair<Input*, double>> load;
        for (const auto& [id, value] : CaseSettings(index)) load.emplace_back(&keyer.In(id), value);
        keyer.tool->LoadValues(load);
        keyer.tool->Connect(keyer.In("Image"), Frame(kWidth, kHeight, static_cast<std::uint32_t>(index)));
        keyer.tool->Connect(keyer.In("KeyImage"),
                            UsesKeyImage(index) ? Frame(kWidth / 2, kHeight / 2, 500u + index) : nullptr);
        std::shared_ptr<Image> output = keyer.tool->Render();
        if (!output || output->Width() != kWidth || output->Height() != kHeight) {
            throw std::runtime_error("case " + std::to_string(index) + ": no output of the source's size");
        }
        for (int y = 0; y < kHeight; ++y) {
            const float* row = output->Plane1Pixel(0, y);
            values.insert(values.end(), row, row + kWidth * 4);
        }
    }
    return values;
}

std::string ReferencePath() { return std::string(VESKAR_TEST_SOURCE_DIR) + "/tool/data/keyed_frames.bin"; }

std::vector<float> ReadReference() {
    std::ifstream file(ReferencePath(), std::ios::binary);
    if (!file) throw std::runtime_error(ReferencePath() + ": cannot open");
    std::string header;
    std::getline(file, header);
    if (header + "\n" != kHeader) throw std::runtime_error(ReferencePath() + ": unexpected header '" + header + "'");
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() != kValuesPerCase * kCases * 4) {
        throw std::runtime_error(ReferencePath() + ": " + std::to_string(bytes.size()) + " bytes of values, expected " +
                                 std::to_string(kValuesPerCase * kCases * 4));
    }
    std::vector<float> values(kValuesPerCase * kCases);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::uint32_t bits = static_cast<std::uint32_t>(bytes[4 * i]) | (static_cast<std::uint32_t>(bytes[4 * i + 1]) << 8) |
                                   (static_cast<std::uint32_t>(bytes[4 * i + 2]) << 16) |
                                   (static_cast<std::uint32_t>(bytes[4 * i + 3]) << 24);
        std::memcpy(&values[i], &bits, 4);
    }
    return values;
}

void WriteReference(const std::vector<float>& values) {
    std::ofstream file(ReferencePath(), std::ios::binary | std::ios::trunc);
    file << kHeader;
    for (float value : values) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &value, 4);
        const char bytes[4] = {static_cast<char>(bits & 0xff), static_cast<char>((bits >> 8) & 0xff),
                               static_cast<char>((bits >> 16) & 0xff), static_cast<char>(bits >> 24)};
        file.write(bytes, 4);
    }
    if (!file) throw std::runtime_error(ReferencePath() + ": cannot write");
}

bool SameValue(float a, float b) { return std::memcmp(&a, &b, 4) == 0 || (std::isnan(a) && std::isnan(b)); }

}  // namespace

TEST(KeyedFrames, MatchTheReferenceFromTheLinuxBuild) {
    const std::vector<float> keyed = KeyAllCases();
    if (std::getenv("VESKAR_WRITE_KEYED_FRAMES") != nullptr) {
        WriteReference(keyed);
        GTEST_SKIP() << "wrote " << ReferencePath();
    }
    const std::vector<float> reference = ReadReference();
    ASSERT_EQ(keyed.size(), reference.size());

    std::size_t differing = 0;
    double largest = 0.0;
    std::ostringstream first;
    for (std::size_t i = 0; i < keyed.size(); ++i) {
        if (SameValue(keyed[i], reference[i])) continue;
        ++differing;
        const double difference = std::fabs(static_cast<double>(keyed[i]) - reference[i]);
        largest = std::isnan(difference) ? INFINITY : std::max(largest, difference);
        if (differing <= 5) {
            const std::size_t pixel = (i % kValuesPerCase) / 4;
            first << "\n  case " << i / kValuesPerCase << " pixel (" << pixel % kWidth << ", " << pixel / kWidth
                  << ") channel " << "BGRA"[i % 4] << ": " << keyed[i] << " vs " << reference[i];
        }
    }
    std::cout << "keyed frames: " << differing << " of " << keyed.size()
              << " values differ from the reference, largest difference " << largest << std::endl;
    RecordProperty("differing_values", static_cast<int>(differing));
    RecordProperty("largest_difference", std::to_string(largest));
    EXPECT_EQ(differing, 0u) << "largest difference " << largest << ", first:" << first.str();
}

// The reference is only worth its bytes if its cases reach the curves: mattes
// strictly between 0 and 1 in every colour space, and every case's frame
// differs from its source.
TEST(KeyedFrames, CasesReachPartialMattesInEveryColourSpace) {
    const std::vector<float> keyed = KeyAllCases();
    int partialBySpace[5] = {};
    for (int index = 0; index < kCases; ++index) {
        const std::shared_ptr<Image> source = Frame(kWidth, kHeight, static_cast<std::uint32_t>(index));
        bool changed = false;
        for (int pixel = 0; pixel < kWidth * kHeight; ++pixel) {
            const float* out = &keyed[index * kValuesPerCase + pixel * 4];
            const float* in = source->Plane1Pixel(pixel % kWidth, pixel / kWidth);
            changed = changed || std::memcmp(out, in, 4 * sizeof(float)) != 0;
            if (out[3] > 0.0f && out[3] < 1.0f) ++partialBySpace[index % 5];
        }
        EXPECT_TRUE(changed) << "case " << index;
    }
    for (int space = 0; space < 5; ++space) {
        EXPECT_GE(partialBySpace[space], 50) << "colour space " << space;
    }
}
