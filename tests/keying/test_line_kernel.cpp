// The line kernels against the per-pixel stages, bit for bit, under every
// instruction set the processor offers: every mode combination, with and
// without key samples, on random colours and on the values where floating
// point has rules of its own.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "keying/det_math.h"
#include "keying/key_signal.h"
#include "keying/line_kernel.h"
#include "keying/pixel.h"

namespace {

// A line job of `snapshot`'s controls with the given falloff and keyer, its
// key colour staged from the snapshot, without key samples.
keying::LineJob SnapshotJob(const keying::Snapshot& snapshot, std::int32_t falloff, std::int32_t keyer) {
    keying::LineJob job;
    job.snapshot = &snapshot;
    job.falloffMode = falloff;
    job.keyerMode = keyer;
    job.startKeyColour = keying::KeyColour(snapshot, keying::StartStaging(snapshot));
    return job;
}

using keying::LineTarget;

constexpr int kLineWidth = 100;  // one full block of the kernel and a partial one

// The per-pixel route over a line, as a chunk takes it: a key sample (when the
// pixel has one) moves the windows, then the pixel is keyed.
void KeyLinePerPixel(const keying::LineJob& job, const float* source, float* output, int width) {
    const keying::Snapshot& snapshot = *job.snapshot;
    keying::StagingState state = keying::StartStaging(snapshot);
    for (int x = 0; x < width; ++x) {
        if (job.keyRow != nullptr) {
            const std::int32_t kx = keying::KeySampleCoordinate(x, job.keyScaleX);
            if (kx >= 0 && kx < job.keyWidth) {
                const float* k = job.keyRow + 4 * kx;
                keying::TakeKeySample(state, snapshot, keying::Colour{k[0], k[1], k[2], k[3]});
            }
        }
        const float* s = source + 4 * x;
        const keying::Colour keyed = keying::KeyPixel(snapshot, state, job.falloffMode, job.keyerMode,
                                                      keying::Colour{s[0], s[1], s[2], s[3]});
        float* o = output + 4 * x;
        o[0] = keyed.b;
        o[1] = keyed.g;
        o[2] = keyed.r;
        o[3] = keyed.a;
    }
}

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint32_t Next() {
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state_ >> 33);
    }
    double Uniform(double low, double high) { return low + (high - low) * (Next() / 2147483648.0); }

private:
    std::uint64_t state_;
};

// Values with rules of their own: signed zeros, subnormals, infinities, NaNs
// (quiet with and without payload, negative, signalling), huge and negative
// values, and the edges of the conversions' tests.
std::vector<float> SpecialValues() {
    const float inf = std::numeric_limits<float>::infinity();
    return {0.0f,
            -0.0f,
            1e-40f,
            -1e-40f,
            std::numeric_limits<float>::denorm_min(),
            std::numeric_limits<float>::min(),
            inf,
            -inf,
            std::numeric_limits<float>::quiet_NaN(),
            -std::numeric_limits<float>::quiet_NaN(),
            std::bit_cast<float>(0x7fc12345u),
            std::bit_cast<float>(0x7f812345u),
            1e30f,
            -1e30f,
            -0.25f,
            1.0f,
            0.5f,
            1e-6f,
            2.0f};
}

// A line of records, about a third of the channels special.
std::vector<float> Records(int width, std::uint64_t seed) {
    const std::vector<float> special = SpecialValues();
    Random random(seed);
    std::vector<float> records(static_cast<std::size_t>(width) * 4);
    for (float& v : records) {
        v = random.Next() % 3 == 0 ? special[random.Next() % special.size()]
                                   : static_cast<float>(random.Uniform(-0.5, 1.5));
    }
    // Greys and near-greys reach the grey branches of the HSV conversion.
    for (int x = 0; x < width; x += 7) {
        records[4 * x + 1] = records[4 * x + 2];
        records[4 * x + 0] = records[4 * x + 2] + (x % 14 == 0 ? 0.0f : 3e-6f);
    }
    return records;
}

// Control values around each combination of modes: sliders in and beyond their
// ranges, zero and negative widths, gammas that skip, fractional and negative,
// NaN and infinite values a script could set.
keying::SnapshotValues Controls(Random& random) {
    keying::SnapshotValues v{};
    for (int c = 0; c < 3; ++c) {
        v[keying::kSnapValueRed + c] = random.Uniform(-1.0, 1.0);
        v[keying::kSnapMiRedn + c] = random.Uniform(-1.0, 0.5);
        v[keying::kSnapMaxRed + c] = random.Uniform(-0.5, 1.0);
    }
    // Window starts, offsets and gains that single precision holds exactly
    // take a path of their own in the kernels.
    if (random.Next() % 3 == 0) {
        for (int c = 0; c < 3; ++c) {
            v[keying::kSnapValueRed + c] = 0.0;
            v[keying::kSnapMiRedn + c] = static_cast<float>(random.Uniform(-1.0, 0.5));
        }
    }
    switch (random.Next() % 4) {
        case 0:
            v[keying::kSnapMaxGreen] = v[keying::kSnapMinGreen];  // zero width
            break;
        case 1:
            v[keying::kSnapMaxRed] = v[keying::kSnapMiRedn] - 0.3;  // negative width
            break;
        default:
            break;
    }
    const double gammas[] = {1.0, 2.2, 0.0, 0.45, -1.3, std::nan("")};
    v[keying::kSnapGammaAlpha] = gammas[random.Next() % 6];
    const double fades[] = {0.5, 1.0, 0.0, 0.73};
    v[keying::kSnapFadeRed] = fades[random.Next() % 4];
    const double fadeCCs[] = {0.0, 0.2, 0.37, 0.5};
    v[keying::kSnapFadeCC] = fadeCCs[random.Next() % 4];
    v[keying::kSnapCCAmount] = random.Uniform(0.0, 1.5);
    v[keying::kSnapDesaturateAlpha] = random.Next() % 2 ? 0.0 : random.Uniform(0.0, 5.0);
    const double gains[] = {1.0, 40.0, 0.5, std::numeric_limits<double>::infinity(), 1.3};
    v[keying::kSnapMultAlpha] = gains[random.Next() % 5];
    const double offsets[] = {0.0, -2.0, 0.3, -0.1};
    v[keying::kSnapOffAlpha] = offsets[random.Next() % 4];
    return v;
}

enum class KeySamples { kOff, kSameSize, kHalfSize, kPartlyOutside };

std::string Describe(const keying::SnapshotValues& v, std::int32_t falloff, std::int32_t keyer,
                     KeySamples key, int x) {
    std::ostringstream text;
    text << "Colorspace " << v[keying::kSnapColorspace] << ", keyfall " << falloff << ", keyalgo "
         << keyer << ", ColCor " << v[keying::kSnapColCor] << ", BGAlphaBlend "
         << v[keying::kSnapBGAlphaBlend] << ", InvAlpha " << v[keying::kSnapInvAlpha]
         << ", Alphamult " << v[keying::kSnapAlphamult] << ", gamma " << v[keying::kSnapGammaAlpha]
         << ", key samples " << static_cast<int>(key) << ", first difference at pixel " << x;
    return text.str();
}

class LineKernel : public ::testing::TestWithParam<LineTarget> {
protected:
    void SetUp() override {
        kernel = keying::LineKernelFor(GetParam());
        if (kernel == nullptr) {
            GTEST_SKIP() << keying::LineTargetName(GetParam())
                         << " is not built or not offered by this processor";
        }
    }
    keying::LineKernel kernel = nullptr;
};

TEST_P(LineKernel, EqualsPerPixelStagesBitForBitInEveryModeCombination) {
    const std::vector<float> source = Records(kLineWidth, 11);
    const std::vector<float> keySame = Records(kLineWidth, 12);
    const std::vector<float> keyHalf = Records(kLineWidth / 2, 13);
    std::vector<float> expected(source.size());
    std::vector<float> actual(source.size());
    Random random(7);
    int combinations = 0;
    int failures = 0;

    // The modes as the controls give them, each with a value that has no mode.
    for (double colourSpace : {0.0, 1.0, 2.0, 3.0, 4.0, 5.0}) {
        for (std::int32_t falloff : {0, 1, 2, 3, 7}) {
            for (std::int32_t keyer : {0, 1, 2}) {
                for (double correction : {0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 9.0}) {
                    for (double blend : {0.0, 1.0, 2.0, 3.0, 4.0, 5.0}) {
                        for (double invert : {0.0, 1.0}) {
                            for (double alphaMultiply : {1.0, 0.0}) {
                                for (KeySamples key : {KeySamples::kOff, KeySamples::kSameSize,
                                                       KeySamples::kHalfSize,
                                                       KeySamples::kPartlyOutside}) {
                                    keying::SnapshotValues values = Controls(random);
                                    values[keying::kSnapColorspace] = colourSpace;
                                    values[keying::kSnapColCor] = correction;
                                    values[keying::kSnapBGAlphaBlend] = blend;
                                    values[keying::kSnapInvAlpha] = invert;
                                    values[keying::kSnapAlphamult] = alphaMultiply;
                                    const keying::Snapshot snapshot = keying::MakeSnapshot(values);
                                    keying::LineJob job = SnapshotJob(snapshot, falloff, keyer);
                                    switch (key) {
                                        case KeySamples::kOff:
                                            break;
                                        case KeySamples::kSameSize:
                                            job.keyRow = keySame.data();
                                            job.keyWidth = kLineWidth;
                                            job.keyScaleX = 1.0;
                                            break;
                                        case KeySamples::kHalfSize:
                                            job.keyRow = keyHalf.data();
                                            job.keyWidth = kLineWidth / 2;
                                            job.keyScaleX = 0.5;
                                            break;
                                        case KeySamples::kPartlyOutside:
                                            job.keyRow = keyHalf.data();
                                            job.keyWidth = 23;
                                            job.keyScaleX = 0.37;
                                            break;
                                    }
                                    KeyLinePerPixel(job, source.data(), expected.data(), kLineWidth);
                                    kernel(job, source.data(), actual.data(), kLineWidth);
                                    ++combinations;
                                    if (std::memcmp(expected.data(), actual.data(),
                                                    expected.size() * sizeof(float)) != 0) {
                                        int i = 0;
                                        while (std::bit_cast<std::uint32_t>(expected[i]) ==
                                               std::bit_cast<std::uint32_t>(actual[i])) {
                                            ++i;
                                        }
                                        if (++failures <= 5) {
                                            ADD_FAILURE()
                                                << Describe(values, falloff, keyer, key, i / 4)
                                                << ", channel " << i % 4 << ": per pixel "
                                                << expected[i] << " (0x" << std::hex
                                                << std::bit_cast<std::uint32_t>(expected[i])
                                                << "), line kernel " << actual[i] << " (0x"
                                                << std::bit_cast<std::uint32_t>(actual[i]) << ")"
                                                << std::dec;
                                        }
                                    }
                                }
                            }
                        }
                    }
                }
            }
        }
    }
    EXPECT_EQ(failures, 0) << "of " << combinations << " combinations";
}

// Lines of several blocks against key rows whose edge falls on, just before and
// just after a block's last pixel, and key scales under which the positions
// stand still, run backwards, overflow or are no numbers: a block fetches its
// key samples without a test a pixel only when every pixel has one. Each with
// a matte alone (the plain matte from each pixel's own window start), with
// "mine" (the block stages) and with an average in HSV.
TEST_P(LineKernel, KeySamplesAtTheKeyEdgeAndOddScalesEqualPerPixelStagesBitForBit) {
    constexpr int kWidth = 320;  // five blocks
    const std::vector<float> source = Records(kWidth, 21);
    const std::vector<float> key = Records(kWidth, 22);
    std::vector<float> expected(source.size());
    std::vector<float> actual(source.size());
    struct Samples {
        double scale;
        std::int32_t keyWidth;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Samples cases[] = {{1.0, 128}, {1.0, 127}, {1.0, 129}, {1.0, kWidth},
                             {0.5, 64},  {0.5, 95},  {0.5, 96},  {0.37, 60},
                             {0.0, 1},   {-0.0, 1},  {-0.5, 10}, {-1.0, kWidth},
                             {1e9, 200}, {inf, kWidth}, {std::nan(""), kWidth}};
    Random random(23);
    int failures = 0;
    for (const Samples& samples : cases) {
        for (double correction : {0.0, 1.0, 2.0}) {
            for (std::int32_t falloff : {0, 1}) {
                keying::SnapshotValues values = Controls(random);
                values[keying::kSnapColCor] = correction;
                values[keying::kSnapColorspace] = correction == 2.0 ? 1.0 : 0.0;
                const keying::Snapshot snapshot = keying::MakeSnapshot(values);
                keying::LineJob job;
                job.snapshot = &snapshot;
                job.falloffMode = falloff;
                job.startKeyColour = keying::KeyColour(snapshot, keying::StartStaging(snapshot));
                job.keyRow = key.data();
                job.keyWidth = samples.keyWidth;
                job.keyScaleX = samples.scale;
                KeyLinePerPixel(job, source.data(), expected.data(), kWidth);
                kernel(job, source.data(), actual.data(), kWidth);
                for (std::size_t i = 0; i < expected.size(); ++i) {
                    if (std::bit_cast<std::uint32_t>(expected[i]) !=
                            std::bit_cast<std::uint32_t>(actual[i]) &&
                        ++failures <= 5) {
                        ADD_FAILURE() << "key scale " << samples.scale << ", key width "
                                      << samples.keyWidth << ", ColCor " << correction
                                      << ", keyfall " << falloff << ", pixel " << i / 4
                                      << ", channel " << i % 4 << ": per pixel " << expected[i]
                                      << ", line kernel " << actual[i];
                    }
                }
            }
        }
    }
    EXPECT_EQ(failures, 0);
}

// Lines without special values, where the cos falloffs decide most blocks'
// mattes without Cos: narrow and wide windows (terms from a few hundredths to
// thousands), each keyer, gamma and colour space, and colours on the window's
// edges where the matte's m sits next to 0 and the decision falls back. The
// width leaves a register and the last few pixels after the runs of a block.
TEST_P(LineKernel, CosFalloffsOnOrdinaryColoursEqualPerPixelStagesBitForBit) {
    constexpr int kWidth = 653;
    Random random(31);
    std::vector<float> source(4 * kWidth);
    std::vector<float> expected(source.size());
    std::vector<float> actual(source.size());
    int failures = 0;
    int lines = 0;
    for (int round = 0; round < 60; ++round) {
        keying::SnapshotValues values = Controls(random);
        values[keying::kSnapGammaAlpha] = round % 3 == 0 ? 2.2 : 1.0;
        values[keying::kSnapMultAlpha] = 1.0;
        values[keying::kSnapOffAlpha] = 0.0;
        values[keying::kSnapColorspace] = round % 5;
        values[keying::kSnapColCor] = round % 7 == 0 ? 2.0 : 0.0;
        values[keying::kSnapBGAlphaBlend] = round % 2;
        const double narrowing = round % 4 == 0 ? 0.001 : 1.0;
        for (int c = 0; c < 3; ++c) {
            values[keying::kSnapMaxRed + c] =
                values[keying::kSnapMiRedn + c] + narrowing * random.Uniform(0.05, 1.0);
        }
        const keying::Snapshot snapshot = keying::MakeSnapshot(values);
        for (int x = 0; x < kWidth; ++x) {
            for (int c = 0; c < 3; ++c) {
                // Every fifth pixel a channel on its window's quarter points,
                // where a cos term is 0 or close to it.
                const double start = snapshot.windowStart[c];
                const double width = snapshot.windowWidth[c];
                source[4 * x + c] = x % 5 == 0 ? static_cast<float>(start + width * 0.25 * (x % 4))
                                               : static_cast<float>(random.Uniform(-0.2, 1.2));
            }
            source[4 * x + 3] = static_cast<float>(random.Uniform(0.0, 1.0));
        }
        for (std::int32_t falloff : {1, 2, 3}) {
            for (std::int32_t keyer : {0, 1}) {
                keying::LineJob job = SnapshotJob(snapshot, falloff, keyer);
                KeyLinePerPixel(job, source.data(), expected.data(), kWidth);
                kernel(job, source.data(), actual.data(), kWidth);
                ++lines;
                for (std::size_t i = 0; i < expected.size(); ++i) {
                    if (std::bit_cast<std::uint32_t>(expected[i]) !=
                            std::bit_cast<std::uint32_t>(actual[i]) &&
                        ++failures <= 5) {
                        ADD_FAILURE() << Describe(values, falloff, keyer, KeySamples::kOff,
                                                  static_cast<int>(i / 4))
                                      << ", channel " << i % 4 << ": per pixel " << expected[i]
                                      << ", line kernel " << actual[i];
                    }
                }
            }
        }
    }
    EXPECT_EQ(failures, 0) << "in " << lines << " lines";
}

// Lines without special values, where the gamma's power decides most lanes'
// floats without Pow: gammas from 0.0001 to 4 (exponents up to 10000, where
// the power of most bases leaves the float range), every falloff, keyer and
// colour space, and colours on the window's edges and centre, where p is 0 or
// 1 or next to them.
TEST_P(LineKernel, GammaOnOrdinaryColoursEqualsPerPixelStagesBitForBit) {
    // Runs of 64 pixels, which the plain line powers together, then a
    // register's worth and the last few pixels.
    constexpr int kWidth = 653;
    Random random(37);
    std::vector<float> source(4 * kWidth);
    std::vector<float> expected(source.size());
    std::vector<float> actual(source.size());
    const double gammas[] = {0.0001, 0.01, 0.3, 0.45, 1.0 / 2.2, 0.9, 1.7, 2.2, 3.0, 4.0};
    int failures = 0;
    int lines = 0;
    for (int round = 0; round < 40; ++round) {
        keying::SnapshotValues values = Controls(random);
        values[keying::kSnapGammaAlpha] =
            round % 4 == 3 ? random.Uniform(0.0001, 4.0) : gammas[round % 10];
        values[keying::kSnapColorspace] = round % 5;
        values[keying::kSnapColCor] = round % 7 == 0 ? 2.0 : 0.0;
        values[keying::kSnapBGAlphaBlend] = round % 2;
        const double narrowing = round % 4 == 0 ? 0.001 : 1.0;
        for (int c = 0; c < 3; ++c) {
            values[keying::kSnapMaxRed + c] =
                values[keying::kSnapMiRedn + c] + narrowing * random.Uniform(0.05, 1.0);
        }
        const keying::Snapshot snapshot = keying::MakeSnapshot(values);
        for (int x = 0; x < kWidth; ++x) {
            for (int c = 0; c < 3; ++c) {
                // Every fifth pixel a channel on its window's quarter points.
                const double start = snapshot.windowStart[c];
                const double width = snapshot.windowWidth[c];
                source[4 * x + c] = x % 5 == 0 ? static_cast<float>(start + width * 0.25 * (x % 4))
                                               : static_cast<float>(random.Uniform(-0.2, 1.2));
            }
            source[4 * x + 3] = static_cast<float>(random.Uniform(0.0, 1.0));
        }
        for (std::int32_t falloff : {0, 1, 2, 3}) {
            for (std::int32_t keyer : {0, 1}) {
                keying::LineJob job = SnapshotJob(snapshot, falloff, keyer);
                KeyLinePerPixel(job, source.data(), expected.data(), kWidth);
                kernel(job, source.data(), actual.data(), kWidth);
                ++lines;
                for (std::size_t i = 0; i < expected.size(); ++i) {
                    if (std::bit_cast<std::uint32_t>(expected[i]) !=
                            std::bit_cast<std::uint32_t>(actual[i]) &&
                        ++failures <= 5) {
                        ADD_FAILURE() << Describe(values, falloff, keyer, KeySamples::kOff,
                                                  static_cast<int>(i / 4))
                                      << ", channel " << i % 4 << ": per pixel " << expected[i]
                                      << ", line kernel " << actual[i];
                    }
                }
            }
        }
    }
    EXPECT_EQ(failures, 0) << "in " << lines << " lines";
}

// Keys `width` pixels of `source` through the per-pixel stages and through
// `kernel`, and adds a failure naming `context` and the pixel for each of the
// first differences (up to five in all, counted in `failures`).
void ExpectSameLine(keying::LineKernel kernel, const keying::LineJob& job,
                    const std::vector<float>& source, int width, const std::string& context,
                    int& failures) {
    std::vector<float> expected(source.size());
    std::vector<float> actual(source.size());
    KeyLinePerPixel(job, source.data(), expected.data(), width);
    kernel(job, source.data(), actual.data(), width);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (std::bit_cast<std::uint32_t>(expected[i]) != std::bit_cast<std::uint32_t>(actual[i]) &&
            ++failures <= 5) {
            ADD_FAILURE() << context << ", pixel " << i / 4 << ", channel " << i % 4
                          << ": per pixel " << expected[i] << ", line kernel " << actual[i];
        }
    }
}

// Runs of solid pixels (far outside narrow windows: a base of 1 or more, or
// below 0 with no falloff) and of pixels at the windows' centres (a base of
// exactly 0), beside runs that mix them with one soft pixel or a special value:
// whole runs spare the power when the offset and gain clamp a power of 1 or
// more to 1, and runs with any other lane do not. Positive, negative and
// integral exponents, offsets and gains that do and do not clamp (-0, negative
// and infinite ones among them), in the plain line, in the plain matte of a
// block and in the block stages (a fade CC).
TEST_P(LineKernel, GammaOnSolidAndClearRunsEqualsPerPixelStagesBitForBit) {
    constexpr int kWidth = 653;
    const std::vector<float> special = SpecialValues();
    Random random(61);
    std::vector<float> source(4 * kWidth);
    const double gammas[] = {2.2, 0.45, 1.0 / 3.0, 0.5, -1.3, 1e-310, 4.0};
    const double offsets[] = {0.0, -0.0, 0.3, -0.5, -2.0};
    const double gains[] = {1.0, 0.5, 40.0, -1.0, 0.0, std::numeric_limits<double>::infinity()};
    int failures = 0;
    int lines = 0;
    for (int round = 0; round < 70; ++round) {
        keying::SnapshotValues values = Controls(random);
        values[keying::kSnapGammaAlpha] = gammas[round % 7];
        values[keying::kSnapOffAlpha] = offsets[(round / 7) % 5];
        values[keying::kSnapMultAlpha] = gains[round % 6];
        values[keying::kSnapInvAlpha] = round % 2;
        values[keying::kSnapColorspace] = (round / 3) % 2;
        values[keying::kSnapColCor] = round % 4 == 0 ? 1.0 : 0.0;
        values[keying::kSnapFadeCC] = round % 8 == 0 ? 0.2 : 0.0;
        values[keying::kSnapFadeRed] = 0.5;
        for (int c = 0; c < 3; ++c) {
            values[keying::kSnapValueRed + c] = 0.0;
            values[keying::kSnapMiRedn + c] = 0.0;
            values[keying::kSnapMaxRed + c] = 1.0;
        }
        const keying::Snapshot snapshot = keying::MakeSnapshot(values);
        for (int x = 0; x < kWidth; ++x) {
            // The windows' centre, 0.5 in each channel; in HSV a cyan close
            // to it (the hue's rounding keeps it off by a little).
            const bool hsv = values[keying::kSnapColorspace] == 1.0;
            const float centre[3] = {hsv ? 0.25f : 0.5f, 0.5f, 0.5f};
            float rgb[3];
            const int kind = (x / 64 + round) % 5;
            for (int c = 0; c < 3; ++c) {
                const float far = static_cast<float>(random.Uniform(3.0, 50.0));
                switch (kind) {
                    case 0:
                        rgb[c] = far;
                        break;
                    case 1:
                        rgb[c] = centre[c];
                        break;
                    case 2:
                        rgb[c] = x % 2 == 0 ? far : centre[c];
                        break;
                    case 3:
                        rgb[c] = x % 64 == 17 ? static_cast<float>(random.Uniform(0.3, 0.7)) : far;
                        break;
                    default:
                        rgb[c] = x % 64 == 40 ? special[random.Next() % special.size()] : far;
                        break;
                }
            }
            source[4 * x + 0] = rgb[2];
            source[4 * x + 1] = rgb[1];
            source[4 * x + 2] = rgb[0];
            source[4 * x + 3] = static_cast<float>(random.Uniform(0.0, 1.0));
        }
        for (std::int32_t falloff : {0, 7, 1}) {
            for (std::int32_t keyer : {0, 1}) {
                keying::LineJob job = SnapshotJob(snapshot, falloff, keyer);
                std::ostringstream context;
                context << "gamma " << values[keying::kSnapGammaAlpha] << ", offset "
                        << values[keying::kSnapOffAlpha] << ", gain "
                        << values[keying::kSnapMultAlpha] << ", InvAlpha "
                        << values[keying::kSnapInvAlpha] << ", Colorspace "
                        << values[keying::kSnapColorspace] << ", ColCor "
                        << values[keying::kSnapColCor] << ", keyfall " << falloff << ", keyalgo "
                        << keyer;
                ExpectSameLine(kernel, job, source, kWidth, context.str(), failures);
                ++lines;
            }
        }
    }
    EXPECT_EQ(failures, 0) << "in " << lines << " lines";
}

// One pixel's red, green and blue of a block of the kind `kind`: 0 a green
// screen, 1 colours where green rises above neither red nor blue (no channel
// limit applies anywhere in the block), 2 the HSV conversion's edges (two
// channels sharing the largest value in each order, greys, spreads next to
// 1e-5, negative and non-positive largest channels), 3 values with few
// significand bits (as half floats give them) and values from 1e-3 to 1e3.
void OrdinaryColour(int kind, int x, Random& random, float rgb[3]) {
    const auto uniform = [&](double low, double high) {
        return static_cast<float>(random.Uniform(low, high));
    };
    switch (kind) {
        case 0:
            rgb[1] = uniform(0.4, 1.0);
            rgb[0] = uniform(0.0, rgb[1]);
            rgb[2] = uniform(0.0, rgb[1]);
            break;
        case 1:
            rgb[0] = uniform(-0.1, 1.2);
            rgb[2] = uniform(-0.1, 1.2);
            rgb[1] = x % 3 == 0 ? std::min(rgb[0], rgb[2]) : uniform(-0.2, std::min(rgb[0], rgb[2]));
            break;
        case 2: {
            const float top = x % 5 == 0 ? uniform(-1.0, 0.0) : uniform(0.0, 1.5);
            const float low = top - static_cast<float>(x % 4 == 0 ? 1e-5 * (1.0 + (x % 3 - 1) * 1e-7)
                                                                  : random.Uniform(0.0, 1.0));
            const float other = uniform(low, top);
            switch (x % 6) {
                case 0: rgb[0] = top; rgb[1] = top; rgb[2] = low; break;
                case 1: rgb[0] = low; rgb[1] = top; rgb[2] = top; break;
                case 2: rgb[0] = top; rgb[1] = low; rgb[2] = top; break;
                case 3: rgb[0] = top; rgb[1] = top; rgb[2] = top; break;
                case 4: rgb[0] = other; rgb[1] = low; rgb[2] = top; break;
                default: rgb[0] = top; rgb[1] = other; rgb[2] = low; break;
            }
            break;
        }
        default:
            for (int c = 0; c < 3; ++c) {
                rgb[c] = x % 2 == 0 ? std::ldexp(static_cast<float>(random.Next() % 2048), -10)
                                    : static_cast<float>(std::exp(random.Uniform(-7.0, 7.0)));
            }
            break;
    }
}

// Lines of whole blocks of one kind each (OrdinaryColour) under every colour
// correction, in RGB and HSV: the corrections' HSV round trips over the
// sectors and their edges, and blocks that no channel limit touches.
TEST_P(LineKernel, ColourCorrectionsOnOrdinaryColoursEqualPerPixelStagesBitForBit) {
    constexpr int kWidth = 640;
    Random random(41);
    std::vector<float> source(4 * kWidth);
    std::vector<float> expected(source.size());
    std::vector<float> actual(source.size());
    int failures = 0;
    int lines = 0;
    for (int round = 0; round < 56; ++round) {
        keying::SnapshotValues values = Controls(random);
        values[keying::kSnapColCor] = 1 + round % 7;
        values[keying::kSnapColorspace] = (round / 7) % 2;
        values[keying::kSnapGammaAlpha] = 1.0;
        const keying::Snapshot snapshot = keying::MakeSnapshot(values);
        for (int x = 0; x < kWidth; ++x) {
            float rgb[3];
            OrdinaryColour((x / 64 + round) % 4, x, random, rgb);
            source[4 * x + 0] = rgb[2];
            source[4 * x + 1] = rgb[1];
            source[4 * x + 2] = rgb[0];
            source[4 * x + 3] = 1.0f;
        }
        for (std::int32_t keyer : {0, 1}) {
            keying::LineJob job = SnapshotJob(snapshot, 0, keyer);
            KeyLinePerPixel(job, source.data(), expected.data(), kWidth);
            kernel(job, source.data(), actual.data(), kWidth);
            ++lines;
            for (std::size_t i = 0; i < expected.size(); ++i) {
                if (std::bit_cast<std::uint32_t>(expected[i]) !=
                        std::bit_cast<std::uint32_t>(actual[i]) &&
                    ++failures <= 5) {
                    ADD_FAILURE() << Describe(values, 0, keyer, KeySamples::kOff,
                                              static_cast<int>(i / 4))
                                  << ", channel " << i % 4 << ": per pixel " << expected[i]
                                  << ", line kernel " << actual[i];
                }
            }
        }
    }
    EXPECT_EQ(failures, 0) << "in " << lines << " lines";
}

// Blocks keyed clear (a matte of +0 in every lane) and solid (keyed 0) under
// every correction: sources of +0 or more and finite, which clear blocks may
// keep when the colour is multiplied by the matte, beside blocks with one lane
// negative, -0, infinite, NaN or huge; pulls by amounts inside and outside
// 0..1, desaturate amounts of either sign, zero, infinite and NaN, key colours
// that leave the subtracted colour moderate or not, with and without a fade CC,
// key samples and the matte's multiplication.
TEST_P(LineKernel, ClearAndSolidBlocksUnderEveryCorrectionEqualPerPixelStagesBitForBit) {
    constexpr int kWidth = 640;
    const std::vector<float> special = SpecialValues();
    const std::vector<float> keyRow = Records(kWidth, 72);
    Random random(71);
    std::vector<float> source(4 * kWidth);
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::nan("");
    const double desaturations[] = {0.0, -0.0, 1.5, -1.0, inf, nan, 0.3};
    const double amounts[] = {0.5, 1.0, 0.0, -0.0, 1.2, -0.3};
    int failures = 0;
    int lines = 0;
    for (int round = 0; round < 168; ++round) {
        // Each correction in turn; for each, lines keyed clear, solid and
        // mixed, through the offset or through the offset and the inversion.
        const int turn = round / 7;
        const bool inverted = (turn / 3) % 2 == 1;
        const double offsets[] = {inverted ? 5.0 : -5.0, inverted ? -5.0 : 5.0, 0.0};
        keying::SnapshotValues values = Controls(random);
        values[keying::kSnapColCor] = 1 + round % 7;
        values[keying::kSnapDesaturateAlpha] = desaturations[(turn + round) % 7];
        values[keying::kSnapCCAmount] = amounts[(turn + 2 * round) % 6];
        values[keying::kSnapOffAlpha] = offsets[turn % 3];
        values[keying::kSnapMultAlpha] = 1.0;
        values[keying::kSnapGammaAlpha] = 1.0;
        values[keying::kSnapInvAlpha] = inverted ? 1.0 : 0.0;
        values[keying::kSnapAlphamult] = round % 11 == 5 ? 0.0 : 1.0;
        values[keying::kSnapColorspace] = (round / 2) % 2;
        values[keying::kSnapFadeCC] = round % 4 == 0 ? 0.2 : 0.0;
        // Key colours not finite, and huge: for "mine", subtracted terms
        // beyond 2^110, where clear blocks take the conversions (an infinite
        // green subtracted leaves a red-topped colour a NaN hue, which shows
        // where the saturation is lowered by less than itself; the infinite
        // window start keys every pixel solid, clear once inverted).
        if ((turn / 6) % 4 == 1) {
            values[keying::kSnapValueGreen] = inf;
            values[keying::kSnapCCAmount] = 0.5;
            values[keying::kSnapDesaturateAlpha] = turn % 2 == 0 ? 0.0 : 0.3;
            values[keying::kSnapColorspace] = 0.0;
            values[keying::kSnapInvAlpha] = turn % 3 == 2 ? 0.0 : 1.0;
        }
        if ((turn / 6) % 4 == 2) values[keying::kSnapValueRed] = 1e36;
        const keying::Snapshot snapshot = keying::MakeSnapshot(values);
        for (int x = 0; x < kWidth; ++x) {
            float rgb[3];
            OrdinaryColour(x % 2 == 0 ? 0 : 3, x, random, rgb);
            const int kind = (x / 64 + round) % 6;
            const int odd = x % 64 == 29 ? static_cast<int>(random.Next() % 3) : -1;
            switch (kind) {
                case 1:
                    if (odd >= 0) rgb[odd] = -0.25f;
                    break;
                case 2:
                    if (odd >= 0) rgb[odd] = -0.0f;
                    break;
                case 3:
                    if (odd >= 0) rgb[odd] = special[random.Next() % special.size()];
                    break;
                case 4:
                    if (odd >= 0) rgb[odd] = x % 128 < 64 ? 1e30f : 3e33f;
                    break;
                case 5:
                    for (float& v : rgb) v = static_cast<float>(random.Uniform(-0.5, 1.5));
                    break;
                default:
                    break;
            }
            source[4 * x + 0] = rgb[2];
            source[4 * x + 1] = rgb[1];
            source[4 * x + 2] = rgb[0];
            source[4 * x + 3] = static_cast<float>(random.Uniform(0.0, 1.0));
        }
        for (bool sampling : {false, true}) {
            keying::LineJob job = SnapshotJob(snapshot, round % 5 == 0 ? 1 : 0, (round / 5) % 2);
            if (sampling) {
                job.keyRow = keyRow.data();
                job.keyWidth = kWidth;
                job.keyScaleX = 1.0;
            }
            std::ostringstream context;
            context << "ColCor " << values[keying::kSnapColCor] << ", CCAmount "
                    << values[keying::kSnapCCAmount] << ", DesaturateAlpha "
                    << values[keying::kSnapDesaturateAlpha] << ", OffAlpha "
                    << values[keying::kSnapOffAlpha] << ", InvAlpha "
                    << values[keying::kSnapInvAlpha] << ", Alphamult "
                    << values[keying::kSnapAlphamult] << ", Colorspace "
                    << values[keying::kSnapColorspace] << ", key samples " << sampling;
            ExpectSameLine(kernel, job, source, kWidth, context.str(), failures);
            ++lines;
        }
    }
    EXPECT_EQ(failures, 0) << "in " << lines << " lines";
}

// "mine" without a fade CC (+0 or -0), whose lines spare the fade matte: key
// colours of either sign, zero of either sign, infinite and NaN (from the
// Value sliders and from key samples), CC amounts of either sign, zero and
// infinite, windows that key whole blocks solid (keyed 0: the subtraction
// leaves the colour as it was, or only turns its zeros' signs) beside blocks
// that mix solid and partly keyed lanes, sources with signed zeros and the
// other special values.
TEST_P(LineKernel, SubtractionWithoutFadeCCEqualsPerPixelStagesBitForBit) {
    constexpr int kWidth = 320;
    std::vector<float> source = Records(kWidth, 51);
    // Blocks 1 and 3 of ordinary colours, which a zero-width window keys solid.
    Random random(53);
    for (int x = 64; x < kWidth; ++x) {
        if ((x / 64) % 2 == 0) continue;
        float rgb[3];
        OrdinaryColour(3, x, random, rgb);
        source[4 * x + 0] = rgb[2];
        source[4 * x + 1] = rgb[1];
        source[4 * x + 2] = rgb[0];
    }
    const std::vector<float> keyRow = Records(kWidth, 52);
    const float inf = std::numeric_limits<float>::infinity();
    const double keyValues[] = {0.0, -0.0, -0.3, 0.25, inf, -inf, std::nan("")};
    std::vector<float> expected(source.size());
    std::vector<float> actual(source.size());
    int failures = 0;
    int lines = 0;
    for (int round = 0; round < 84; ++round) {
        keying::SnapshotValues values = Controls(random);
        values[keying::kSnapColCor] = 1.0;
        values[keying::kSnapFadeCC] = round % 2 == 0 ? 0.0 : -0.0;
        values[keying::kSnapColorspace] = (round / 2) % 2;
        for (int c = 0; c < 3; ++c) {
            values[keying::kSnapValueRed + c] = keyValues[(round / 4 + 3 * c) % 7];
        }
        if ((round / 4) % 3 == 0) {
            // Zero widths: every lane of an ordinary block keyed solid.
            for (int c = 0; c < 3; ++c) {
                values[keying::kSnapMaxRed + c] = values[keying::kSnapMiRedn + c];
            }
            values[keying::kSnapOffAlpha] = 0.0;
            values[keying::kSnapMultAlpha] = 1.0;
            values[keying::kSnapInvAlpha] = 0.0;
        }
        const double amounts[] = {0.0, -0.0, -0.7, inf, random.Uniform(0.0, 1.5)};
        values[keying::kSnapCCAmount] = amounts[round % 5];
        const keying::Snapshot snapshot = keying::MakeSnapshot(values);
        for (bool sampling : {false, true}) {
            keying::LineJob job = SnapshotJob(snapshot, round % 5 == 0 ? 1 : 0, (round / 3) % 2);
            if (sampling) {
                job.keyRow = keyRow.data();
                job.keyWidth = kWidth;
                job.keyScaleX = 1.0;
            }
            KeyLinePerPixel(job, source.data(), expected.data(), kWidth);
            kernel(job, source.data(), actual.data(), kWidth);
            ++lines;
            for (std::size_t i = 0; i < expected.size(); ++i) {
                if (std::bit_cast<std::uint32_t>(expected[i]) !=
                        std::bit_cast<std::uint32_t>(actual[i]) &&
                    ++failures <= 5) {
                    ADD_FAILURE() << Describe(values, job.falloffMode, job.keyerMode,
                                              sampling ? KeySamples::kSameSize : KeySamples::kOff,
                                              static_cast<int>(i / 4))
                                  << ", channel " << i % 4 << ": per pixel " << expected[i]
                                  << ", line kernel " << actual[i];
                }
            }
        }
    }
    EXPECT_EQ(failures, 0) << "in " << lines << " lines";
}

TEST_P(LineKernel, LinesShorterThanABlockAndEmptyLinesWriteOnlyTheirPixels) {
    const std::vector<float> source = Records(kLineWidth, 21);
    keying::SnapshotValues values{};
    values[keying::kSnapFadeRed] = 0.5;
    values[keying::kSnapGammaAlpha] = 1.0;
    values[keying::kSnapMultAlpha] = 1.0;
    values[keying::kSnapAlphamult] = 1.0;
    const keying::Snapshot snapshot = keying::MakeSnapshot(values);
    keying::LineJob job;
    job.snapshot = &snapshot;
    for (int width : {0, 1, 3, 63, 64, 65}) {
        std::vector<float> expected(source.size(), 77.0f);
        std::vector<float> actual(source.size(), 77.0f);
        KeyLinePerPixel(job, source.data(), expected.data(), width);
        kernel(job, source.data(), actual.data(), width);
        EXPECT_EQ(std::memcmp(expected.data(), actual.data(), expected.size() * sizeof(float)), 0)
            << "width " << width;
        EXPECT_EQ(actual[4 * width], 77.0f) << "width " << width;
    }
}

// The same bits, or both NaN.
bool SameDouble(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) ||
           std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// The kernels' cos and pow, built for this target, against the scalar ones
// over dense sweeps (every quadrant and its edges; bases from subnormal to
// huge, near 1, negative) and the special values, block lengths not a multiple
// of any vector width.
TEST_P(LineKernel, CosAndPowOverBlocksGiveTheScalarBits) {
    const keying::LineMath math = keying::LineMathFor(GetParam());
    ASSERT_NE(math.cos, nullptr);
    ASSERT_NE(math.pow, nullptr);
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> in;
    for (int i = -30000; i <= 30000; ++i) in.push_back(i * 0.000517 * keying::kPi);
    for (int k = 0; k < 300; ++k) {
        double below = k * 0.25 * keying::kPi;
        double above = below;
        for (int step = 0; step < 6; ++step) {
            below = std::nextafter(below, -inf);
            above = std::nextafter(above, inf);
            in.push_back(below);
            in.push_back(above);
        }
    }
    Random random(41);
    for (int i = 0; i < 20000; ++i) in.push_back(std::ldexp(random.Uniform(-1.0, 1.0), i % 80 - 30));
    for (float v : SpecialValues()) in.push_back(v);
    for (double v : {0x1p19, -0x1p19, 0x1p19 - 0x1p-33, 1e300, -1e300, 1e-310, 0x1p52 + 1.0}) {
        in.push_back(v);
    }
    std::vector<double> out(in.size());
    int failures = 0;
    for (int length : {static_cast<int>(in.size()), 61, 7}) {
        math.cos(in.data(), out.data(), length);
        for (int i = 0; i < length; ++i) {
            if (!SameDouble(keying::Cos(in[i]), out[i]) && ++failures <= 5) {
                ADD_FAILURE() << "cos(" << std::hexfloat << in[i] << ")" << std::defaultfloat;
            }
        }
    }
    for (double y : {1.0 / 2.2, 2.2, 1.0 / 0.45, -1.0 / 1.3, 1.0, 0.0, -0.0, 3.0, -2.0, 10000.0,
                     0x1p70, inf, -inf, std::nan("")}) {
        const int length = static_cast<int>(in.size());
        math.pow(in.data(), y, out.data(), length);
        for (int i = 0; i < length; ++i) {
            if (!SameDouble(keying::Pow(in[i], y), out[i]) && ++failures <= 5) {
                ADD_FAILURE() << "pow(" << std::hexfloat << in[i] << ", " << y << ")"
                              << std::defaultfloat;
            }
        }
    }
    EXPECT_EQ(failures, 0);
}

// The kernels' float power, built for this target, against the float of the
// scalar Pow: the bases a matte gives (floats over [0, 2] and beyond, densely
// next to 1 and to 0, float subnormals) and others, negative and special, for
// the exponents of gammas from 0.0001 to 4 and some others.
TEST_P(LineKernel, FloatPowerOverBlocksGivesTheFloatOfTheScalarPow) {
    const keying::LineMath math = keying::LineMathFor(GetParam());
    ASSERT_NE(math.powFloat, nullptr);
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> in;
    for (int i = 0; i <= 20000; ++i) in.push_back(static_cast<float>(i * 0.0001));
    float below = 1.0f;
    float above = 1.0f;
    float tiny = 0.0f;
    for (int step = 0; step < 3000; ++step) {
        below = std::nextafter(below, 0.0f);
        above = std::nextafter(above, 2.0f);
        tiny = std::nextafter(tiny, 1.0f);
        in.push_back(below);
        in.push_back(above);
        in.push_back(tiny);
    }
    Random random(43);
    for (int i = 0; i < 6000; ++i) {
        in.push_back(static_cast<float>(std::ldexp(random.Uniform(0.0, 1.0), i % 300 - 150)));
        in.push_back(std::ldexp(random.Uniform(-1.0, 1.0), i % 80 - 30));
    }
    for (float v : SpecialValues()) in.push_back(v);
    for (double v : {1e300, -1e300, 1e-310, -1e-310, 0x1p-1022, inf, -inf, 0.0, -0.0}) {
        in.push_back(v);
    }
    std::vector<double> exponents{1.0, 0.0, -0.0, 3.0, -2.0, -1.0 / 2.2, 0x1p70, -0x1p70,
                                  1e-300, inf, -inf, std::nan("")};
    for (int i = 0; i <= 40; ++i) exponents.push_back(1.0 / (0.0001 * std::pow(40000.0, i / 40.0)));
    std::vector<float> out(in.size());
    int failures = 0;
    for (double y : exponents) {
        for (int length : {static_cast<int>(in.size()), 61, 7}) {
            math.powFloat(in.data(), y, out.data(), length);
            for (int i = 0; i < length; ++i) {
                const float expected = static_cast<float>(keying::Pow(in[i], y));
                if (!SameDouble(expected, out[i]) && ++failures <= 5) {
                    ADD_FAILURE() << "pow(" << std::hexfloat << in[i] << ", " << y << ") "
                                  << expected << ", block " << out[i] << std::defaultfloat;
                }
            }
        }
    }
    EXPECT_EQ(failures, 0);
}

INSTANTIATE_TEST_SUITE_P(Targets, LineKernel,
                         ::testing::Values(LineTarget::kSse2, LineTarget::kAvx2,
                                           LineTarget::kAvx512),
                         [](const ::testing::TestParamInfo<LineTarget>& info) {
                             return std::string(keying::LineTargetName(info.param));
                         });

TEST(LineTargets, BaselineIsAlwaysThereAndUnavailableTargetsAreRefused) {
    EXPECT_TRUE(keying::LineTargetAvailable(LineTarget::kSse2));
    const LineTarget before = keying::ActiveLineTarget();
    for (LineTarget target : {LineTarget::kSse2, LineTarget::kAvx2, LineTarget::kAvx512}) {
        EXPECT_EQ(keying::UseLineTarget(target), keying::LineTargetAvailable(target));
        if (keying::LineTargetAvailable(target)) {
            EXPECT_EQ(keying::ActiveLineTarget(), target);
            EXPECT_EQ(keying::ActiveLineKernel(), keying::LineKernelFor(target));
        } else {
            EXPECT_NE(keying::ActiveLineTarget(), target);
        }
    }
    keying::UseLineTarget(before);
}

}  // namespace
