// Finishing stages on frames built here: identities at the neutral values,
// the matte stages' geometry, polygons, unmix, despill, views, NaN and the
// worker count.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "app/cli_error.h"
#include "app/files/colour.h"
#include "app/finish/finish_stages.h"
#include "app/finish/finishing.h"
#include "app/finish/large_vector.h"
#include "app/finish/status_colours.h"
#include "host/worker_pool.h"
#include "support/images.h"

namespace {

using namespace veskar::finish;

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

struct Rgba {
    float r, g, b, a;
};

// A host image held by value here (copies share it; CopyFrame copies).
class Frame {
  public:
    Frame(int width, int height) : image_(std::make_shared<Image>(width, height)) {}
    operator Image&() const { return *image_; }
    Image* get() const { return image_.get(); }
    float* Plane1Pixel(int x, int y) const { return image_->Plane1Pixel(x, y); }
    int Width() const { return image_->Width(); }
    int Height() const { return image_->Height(); }

  private:
    std::shared_ptr<Image> image_;
};

// A frame filled by fill(x, y) (red, green, blue, alpha).
Frame MakeFrame(int width, int height, const std::function<Rgba(int, int)>& fill) {
    Frame image(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgba c = fill(x, y);
            float* record = image.Plane1Pixel(x, y);
            record[0] = c.b, record[1] = c.g, record[2] = c.r, record[3] = c.a;
        }
    }
    return image;
}

Frame CopyFrame(const Frame& image) {
    return MakeFrame(image.Width(), image.Height(), [&](int x, int y) {
        const float* r = image.Plane1Pixel(x, y);
        return Rgba{r[2], r[1], r[0], r[3]};
    });
}

bool SameFloatBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A plate with a soft-edged subject: varied colours, alpha ramping across.
Frame Busy(int width = 64, int height = 48) {
    return MakeFrame(width, height, [](int x, int y) {
        const float a = std::clamp((x - 20) / 16.0f + 0.01f * (y % 5), 0.0f, 1.0f);
        return Rgba{0.1f + 0.013f * (x % 7), 0.6f - 0.01f * (y % 9), 0.2f + 0.02f * ((x + y) % 5),
                    a};
    });
}

Matte MatteOf(int width, int height, const std::function<float(int, int)>& alpha) {
    Matte matte{width, height, std::vector<float>(static_cast<std::size_t>(width) * height)};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) matte.alpha[matte.Index(x, y)] = alpha(x, y);
    return matte;
}

double Luminance(const float* record) {
    return 0.2126 * record[2] + 0.7152 * record[1] + 0.0722 * record[0];
}

// Context for a frame: screen green unless given.
FrameContext Context(const Image& source, bool premultiplied,
                     std::array<float, 3> screen = {0.1f, 0.7f, 0.2f},
                     const Image* cleanPlate = nullptr, const ShapeMattes* shapes = nullptr) {
    return FrameContext{source, cleanPlate, screen, premultiplied, shapes};
}

// ---------------------------------------------------------------------------
// Identities and validation

TEST(FinishIdentity, NeutralValuesAskForNothingAndKeepEveryBit) {
    FinishOptions options;
    options.clipBlack = 0.0;
    options.clipWhite = 1.0;
    EXPECT_FALSE(options.Any());
    const Frame source = Busy();
    Frame keyed = CopyFrame(source);
    FinishFrame(options, Context(source, true), keyed);
    EXPECT_TRUE(SameBits(keyed, source));
}

TEST(FinishIdentity, EachOptionCountsAsAsked) {
    const std::vector<std::function<void(FinishOptions&)>> settings = {
        [](FinishOptions& o) { o.refineEdges = true; },
        [](FinishOptions& o) { o.unmix = true; },
        [](FinishOptions& o) { o.despill = 1.0; },
        [](FinishOptions& o) { o.clipBlack = 0.1; },
        [](FinishOptions& o) { o.clipWhite = 0.9; },
        [](FinishOptions& o) { o.shrink = 0.5; },
        [](FinishOptions& o) { o.grow = 2.0; },
        [](FinishOptions& o) { o.soften = 1.0; },
        [](FinishOptions& o) { o.despot = 3.0; },
        [](FinishOptions& o) { o.garbage.push_back({}); },
        [](FinishOptions& o) { o.holdout.push_back({}); },
        [](FinishOptions& o) { o.view = View::Matte; },
        [](FinishOptions& o) { o.view = View::Status; }};
    for (std::size_t i = 0; i < settings.size(); ++i) {
        FinishOptions options;
        settings[i](options);
        EXPECT_TRUE(options.Any()) << i;
    }
}

TEST(FinishIdentity, StagesAtTheirNeutralValuesKeepEveryBit) {
    const Matte original = MatteOf(40, 30, [](int x, int y) {
        return std::clamp((x - 10) * 0.037f + y * 0.001f, 0.0f, 1.0f);
    });
    Matte clipped = original;
    ClipLevels(clipped, 0.0, 1.0);
    EXPECT_EQ(clipped.alpha, original.alpha);
    for (bool grow : {false, true}) {
        Matte moved = original;
        GrowOrShrink(moved, 0.0, grow);
        EXPECT_EQ(moved.alpha, original.alpha) << grow;
    }
    Matte spotless = original;
    Despot(spotless, 0.0);
    EXPECT_EQ(spotless.alpha, original.alpha);
    Matte soft = original;
    Soften(soft, 0.0);
    EXPECT_EQ(soft.alpha, original.alpha);
    const Frame colours = Busy();
    Frame despilled = CopyFrame(colours);
    Despill(despilled, {0.1, 0.7, 0.2}, 0.0);
    EXPECT_TRUE(SameBits(despilled, colours));
    Frame viewed = CopyFrame(colours);
    ApplyView(View::Result, viewed);
    EXPECT_TRUE(SameBits(viewed, colours));
    ShapeMattes empty{40, 30, std::vector<float>(1200, 0.0f), std::vector<float>(1200, 0.0f)};
    Matte shaped = original;
    ApplyShapes(shaped, empty, true, true);
    EXPECT_EQ(shaped.alpha, original.alpha);
}

TEST(FinishIdentity, UntouchedAlphaKeepsItsColourBits) {
    // A garbage shape over the left half only: the rest of the frame keeps the tool's bits.
    const Frame source = Busy();
    ShapeMattes shapes{64, 48, {}, {}};
    shapes.garbage = RasterisePolygon(ParsePolygon("--garbage", "0,0,10,0,10,48,0,48"), 64, 48);
    for (bool premultiplied : {true, false}) {
        FinishOptions options;
        options.garbage.push_back({});
        Frame keyed = CopyFrame(source);
        FinishFrame(options, Context(source, premultiplied, {}, nullptr, &shapes), keyed);
        for (int y = 0; y < 48; ++y) {
            for (int x = 10; x < 64; ++x) {
                for (int c = 0; c < 4; ++c)
                    ASSERT_TRUE(
                        SameFloatBits(keyed.Plane1Pixel(x, y)[c], source.Plane1Pixel(x, y)[c]));
            }
            EXPECT_EQ(keyed.Plane1Pixel(3, y)[3], 0.0f);
        }
    }
}

// The frame-sized buffers ask for huge pages before their first write: a
// buffer that grows keeps what it held.
TEST(FinishBuffers, GrowingKeepsTheValuesAndFillsTheRest) {
    const std::size_t size = std::size_t{3} << 20;  // past two huge pages of floats
    std::vector<float> values = LargeVector(size, 0.25f);
    values[size - 1] = -1.0f;
    LargeResize(values, size * 2, 7.0f);
    ASSERT_EQ(values.size(), size * 2);
    EXPECT_EQ(values[0], 0.25f);
    EXPECT_EQ(values[size - 1], -1.0f);
    EXPECT_EQ(values[size], 7.0f);
    EXPECT_EQ(values[size * 2 - 1], 7.0f);
    LargeResize(values, 5);  // shrinking keeps the first values
    EXPECT_EQ(values, std::vector<float>(5, 0.25f));
    std::vector<double> empty;
    LargeResize(empty, 0);
    EXPECT_TRUE(empty.empty());
}

TEST(FinishValidate, BadValuesNameTheOptions) {
    struct Case {
        std::function<void(FinishOptions&)> set;
        std::string fragment;
    };
    const double nan = std::nan("");
    const std::vector<Case> cases = {
        {[](FinishOptions& o) { o.clipBlack = 0.6, o.clipWhite = 0.4; },
         "--clip-white 0.4 must be above --clip-black 0.6"},
        {[](FinishOptions& o) { o.clipBlack = 0.5, o.clipWhite = 0.5; },
         "--clip-white 0.5 must be above --clip-black 0.5"},
        {[nan](FinishOptions& o) { o.clipWhite = nan; }, "--clip-white nan"},
        {[](FinishOptions& o) { o.shrink = -1.0; }, "--shrink -1"},
        {[nan](FinishOptions& o) { o.soften = nan; }, "--soften nan"},
        {[](FinishOptions& o) { o.despot = std::numeric_limits<double>::infinity(); },
         "--despot inf"},
        {[](FinishOptions& o) { o.grow = -0.5; }, "--grow -0.5"},
        {[](FinishOptions& o) { o.soften = 501; }, "--soften 501: at most 500 pixels"},
        {[](FinishOptions& o) { o.shrink = 1e9; }, "--shrink 1e+09: at most 500 pixels"},
        {[](FinishOptions& o) { o.shrink = 1.0, o.grow = 2.0; }, "--shrink 1 and --grow 2"},
        {[](FinishOptions& o) { o.despill = 2.5; }, "--despill 2.5"},
        {[](FinishOptions& o) { o.despill = -0.1; }, "--despill -0.1"},
    };
    for (const Case& c : cases) {
        FinishOptions options;
        c.set(options);
        try {
            Validate(options);
            ADD_FAILURE() << "accepted: " << c.fragment;
        } catch (const veskar::CliError& error) {
            EXPECT_NE(std::string(error.what()).find(c.fragment), std::string::npos)
                << error.what();
            EXPECT_EQ(error.ExitCode(), 2);
        }
    }
    FinishOptions fine;
    fine.clipBlack = 0.05, fine.clipWhite = 0.95, fine.grow = 1.5, fine.despill = 2.0;
    EXPECT_NO_THROW(Validate(fine));
}

// ---------------------------------------------------------------------------
// Matte stages

TEST(FinishLevels, StretchesBetweenTheClips) {
    Matte matte = MatteOf(6, 1, [](int x, int) {
        return std::array<float, 6>{0.125f, 0.25f, 0.375f, 0.75f, 0.875f, kNan}[x];
    });
    ClipLevels(matte, 0.25, 0.75);
    EXPECT_EQ(matte.alpha[0], 0.0f);
    EXPECT_EQ(matte.alpha[1], 0.0f);
    EXPECT_EQ(matte.alpha[2], 0.25f);
    EXPECT_EQ(matte.alpha[3], 1.0f);
    EXPECT_EQ(matte.alpha[4], 1.0f);
    EXPECT_TRUE(std::isnan(matte.alpha[5]));
}

// Solid left of column `edge`, clear from it on.
Matte HalfPlane(int edge, int width = 24, int height = 16) {
    return MatteOf(width, height, [edge](int x, int) { return x < edge ? 1.0f : 0.0f; });
}

TEST(FinishGrowShrink, OnePixelMovesAStraightEdgeByOne) {
    Matte grown = HalfPlane(10);
    GrowOrShrink(grown, 1.0, true);
    Matte shrunk = HalfPlane(10);
    GrowOrShrink(shrunk, 1.0, false);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 24; ++x) {
            ASSERT_EQ(grown.alpha[grown.Index(x, y)], x < 11 ? 1.0f : 0.0f) << x << "," << y;
            ASSERT_EQ(shrunk.alpha[shrunk.Index(x, y)], x < 9 ? 1.0f : 0.0f) << x << "," << y;
        }
    }
}

TEST(FinishGrowShrink, FractionalRadiusBlendsTheWholeOnes) {
    Matte grown = HalfPlane(10);
    GrowOrShrink(grown, 1.25, true);
    EXPECT_EQ(grown.alpha[grown.Index(10, 5)], 1.0f);
    EXPECT_EQ(grown.alpha[grown.Index(11, 5)], 0.25f);
    EXPECT_EQ(grown.alpha[grown.Index(12, 5)], 0.0f);
    Matte shrunk = HalfPlane(10);
    GrowOrShrink(shrunk, 0.5, false);
    EXPECT_EQ(shrunk.alpha[shrunk.Index(8, 5)], 1.0f);
    EXPECT_EQ(shrunk.alpha[shrunk.Index(9, 5)], 0.5f);
}

// The marks within a distance, found from column distances, are the pixels a
// 0 and 1 matte grown by the same radius leaves above 0: on sparse and dense
// random marks, single marks, none and all, frames a pixel wide or high, whole
// and fractional radii, none, and radii past the frame's diagonal; at one
// worker and at three.
TEST(FinishGrowShrink, WithinDistanceIsTheGrownMarks) {
    const int workers = host::WorkerCount();
    unsigned state = 12345u;
    const auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    const std::pair<int, int> sizes[] = {{1, 1}, {1, 23}, {29, 1}, {2, 2}, {37, 19}, {64, 48}};
    const double radii[] = {0.0, -3.0, std::nan(""), 0.5, 1.0, 1.5, 2.0, 3.7, 6.0, 12.0, 18.0, 60.0, 1e9};
    for (int count : {1, 3}) {
        host::SetWorkerCount(count);
        for (const auto& [width, height] : sizes) {
            for (int density : {0, 1, 8, 60, 100}) {  // percent of pixels marked
                std::vector<std::uint8_t> marks(static_cast<std::size_t>(width) * height);
                for (auto& m : marks) m = static_cast<int>(next() % 100) < density ? 1 : 0;
                if (density == 1) std::fill(marks.begin(), marks.end(), 0), marks[marks.size() / 2] = 7;
                for (double radius : radii) {
                    Matte grown{width, height, std::vector<float>(marks.size())};
                    for (std::size_t i = 0; i < marks.size(); ++i) grown.alpha[i] = marks[i] ? 1.0f : 0.0f;
                    GrowOrShrink(grown, radius, true);
                    const std::vector<std::uint8_t> within = WithinDistance(marks, width, height, radius);
                    ASSERT_EQ(within.size(), marks.size());
                    for (std::size_t i = 0; i < marks.size(); ++i) {
                        ASSERT_EQ(within[i], grown.alpha[i] > 0.0f ? 1 : 0)
                            << width << " x " << height << ", " << density << "% marked, radius " << radius
                            << ", pixel " << i << ", " << count << " worker(s)";
                    }
                }
            }
        }
    }
    host::SetWorkerCount(workers);
}

TEST(FinishGrowShrink, DiscNotSquare) {
    // One solid pixel grown by 2: the disc reaches (2, 0) and (1, 1) but not
    // (2, 1) (5 > 4) nor (2, 2).
    Matte matte = MatteOf(9, 9, [](int x, int y) { return x == 4 && y == 4 ? 1.0f : 0.0f; });
    GrowOrShrink(matte, 2.0, true);
    EXPECT_EQ(matte.alpha[matte.Index(6, 4)], 1.0f);
    EXPECT_EQ(matte.alpha[matte.Index(4, 2)], 1.0f);
    EXPECT_EQ(matte.alpha[matte.Index(5, 5)], 1.0f);
    EXPECT_EQ(matte.alpha[matte.Index(6, 5)], 0.0f);
    EXPECT_EQ(matte.alpha[matte.Index(6, 6)], 0.0f);
    EXPECT_EQ(matte.alpha[matte.Index(7, 4)], 0.0f);
}

TEST(FinishGrowShrink, LargeDiscsCountTheirLatticePoints) {
    // A disc of radius 5 holds 81 pixel centres, of radius 12 holds 441.
    for (auto [radius, count] : {std::pair{5.0, 81.0}, std::pair{12.0, 441.0}}) {
        Matte matte =
            MatteOf(40, 40, [](int x, int y) { return x == 20 && y == 20 ? 1.0f : 0.0f; });
        GrowOrShrink(matte, radius, true);
        double sum = 0.0;
        for (float a : matte.alpha) sum += a;
        EXPECT_EQ(sum, count) << radius;
    }
    // A radius beyond the frame's diagonal reaches every pixel, and is cut to it.
    Matte matte = MatteOf(20, 10, [](int x, int y) { return x == 3 && y == 7 ? 0.5f : 0.0f; });
    GrowOrShrink(matte, 1e7, true);
    for (float a : matte.alpha) ASSERT_EQ(a, 0.5f);
}

TEST(FinishGrowShrink, GrowThenShrinkClosesSmallHolesAndKeepsEdges) {
    Matte matte = HalfPlane(12);
    matte.alpha[matte.Index(5, 8)] = 0.0f;  // a pinhole in the subject
    const Matte solid = HalfPlane(12);
    GrowOrShrink(matte, 1.0, true);
    GrowOrShrink(matte, 1.0, false);
    EXPECT_EQ(matte.alpha, solid.alpha);
    // The frame's own edge is not an edge of the subject: shrinking keeps it.
    Matte full = MatteOf(8, 8, [](int, int) { return 1.0f; });
    GrowOrShrink(full, 3.0, false);
    for (float a : full.alpha) EXPECT_EQ(a, 1.0f);
}

TEST(FinishSoften, SolidAndClearStayExact) {
    for (double px = 0.25; px <= 12.0; px += 0.35) {
        Matte matte = HalfPlane(30, 60, 20);
        GrowOrShrink(matte, 0.0, true);
        Soften(matte, px);
        EXPECT_EQ(matte.alpha[matte.Index(0, 10)], 1.0f) << px;
        EXPECT_EQ(matte.alpha[matte.Index(5, 3)], 1.0f) << px;
        EXPECT_EQ(matte.alpha[matte.Index(59, 10)], 0.0f) << px;
        // Symmetric about the edge between columns 29 and 30.
        EXPECT_NEAR(matte.alpha[matte.Index(29, 10)] + matte.alpha[matte.Index(30, 10)], 1.0f, 1e-6)
            << px;
        EXPECT_GT(matte.alpha[matte.Index(29, 10)], 0.5f) << px;
        if (px >= 1.0) {
            EXPECT_LT(matte.alpha[matte.Index(29, 10)], 1.0f) << px;
        }
    }
}

TEST(FinishSoften, ConstantStretchesKeepTheirValue) {
    for (float value : {0.3f, 0.7f, 1e-3f}) {
        Matte matte = MatteOf(30, 20, [value](int, int) { return value; });
        Soften(matte, 5.5);
        for (float a : matte.alpha) ASSERT_EQ(a, value);
    }
}

TEST(FinishNan, NeverSpreadsToNeighbours) {
    auto withNan = [] {
        Matte matte = HalfPlane(10, 20, 12);
        matte.alpha[matte.Index(12, 6)] = kNan;
        return matte;
    };
    auto withoutNan = [] {
        Matte matte = HalfPlane(10, 20, 12);
        return matte;
    };
    const std::vector<std::function<void(Matte&)>> stages = {
        [](Matte& m) { GrowOrShrink(m, 2.5, true); }, [](Matte& m) { GrowOrShrink(m, 1.5, false); },
        [](Matte& m) { Soften(m, 3.0); }, [](Matte& m) { ClipLevels(m, 0.1, 0.8); },
        [](Matte& m) { Despot(m, 2.0); }};
    for (std::size_t s = 0; s < stages.size(); ++s) {
        Matte matte = withNan();
        stages[s](matte);
        Matte clean = withoutNan();
        stages[s](clean);
        for (std::size_t i = 0; i < matte.alpha.size(); ++i) {
            if (i == matte.Index(12, 6)) {
                EXPECT_TRUE(std::isnan(matte.alpha[i])) << s;
            } else {
                ASSERT_FALSE(std::isnan(matte.alpha[i])) << s << " at " << i;
                ASSERT_GE(matte.alpha[i], 0.0f);
                ASSERT_LE(matte.alpha[i], 1.0f);
            }
        }
        // Away from the NaN the stage sees the same frame.
        EXPECT_EQ(matte.alpha[matte.Index(2, 1)], clean.alpha[clean.Index(2, 1)]) << s;
    }
}

TEST(FinishDespot, RemovesSpecksAndHolesUpToTheSizeOnly) {
    auto frame = [] {
        return MatteOf(60, 40, [](int x, int y) {
            if (x >= 40 && x < 43 && y >= 5 && y < 8) return 1.0f;    // a 3 x 3 speck in the screen
            if (x >= 50 && x < 54 && y >= 20 && y < 24) return 0.6f;  // a 4 x 4 soft speck
            if (x >= 10 && x < 13 && y >= 10 && y < 13) return 0.0f;  // a 3 x 3 hole in the subject
            return x < 30 ? 1.0f : 0.0f;
        });
    };
    const Matte original = frame();
    Matte three = frame();
    Despot(three, 3.0);
    Matte two = frame();
    Despot(two, 2.9);
    for (int y = 0; y < 40; ++y) {
        for (int x = 0; x < 60; ++x) {
            const std::size_t i = original.Index(x, y);
            const bool smallSpot =
                (x >= 40 && x < 43 && y >= 5 && y < 8) || (x >= 10 && x < 13 && y >= 10 && y < 13);
            ASSERT_EQ(three.alpha[i], smallSpot ? (x < 30 ? 1.0f : 0.0f) : original.alpha[i])
                << x << "," << y;
            ASSERT_EQ(two.alpha[i], original.alpha[i]) << x << "," << y;
        }
    }
    Matte four = frame();
    Despot(four, 4.0);
    EXPECT_EQ(four.alpha[four.Index(51, 21)], 0.0f);
    // Two 2 x 2 specks touching at a corner are one speck 4 pixels across.
    auto corners = [] {
        return MatteOf(12, 12, [](int x, int y) {
            return (x >= 3 && x < 5 && y >= 3 && y < 5) || (x >= 5 && x < 7 && y >= 5 && y < 7)
                       ? 1.0f
                       : 0.0f;
        });
    };
    Matte joined = corners();
    Despot(joined, 3.0);
    EXPECT_EQ(joined.alpha, corners().alpha);
    Despot(joined, 4.0);
    for (float a : joined.alpha) ASSERT_EQ(a, 0.0f);
    // At the frame's edge a small region may go on beyond it: a speck in the
    // corner, and the screen's notch between a subject and the bottom edge.
    auto edges = [] {
        return MatteOf(20, 12, [](int x, int y) {
            if (x < 2 && y < 2) return 1.0f;
            return x >= 8 && x < 16 && !(x >= 11 && x < 13 && y >= 10) ? 1.0f : 0.0f;
        });
    };
    Matte atEdges = edges();
    Despot(atEdges, 3.0);
    EXPECT_EQ(atEdges.alpha, edges().alpha);
}

// ---------------------------------------------------------------------------
// Polygons

double Sum(const std::vector<float>& coverage) {
    double sum = 0.0;
    for (float c : coverage) sum += c;
    return sum;
}

TEST(FinishPolygon, UnitSquaresCoverExactly) {
    const std::vector<float> aligned =
        RasterisePolygon(ParsePolygon("--holdout", "2,3,3,3,3,4,2,4"), 6, 6);
    EXPECT_EQ(aligned[3 * 6 + 2], 1.0f);
    EXPECT_EQ(Sum(aligned), 1.0);
    const std::vector<float> offset =
        RasterisePolygon(ParsePolygon("--holdout", "2.5,3.5, 3.5,3.5, 3.5,4.5, 2.5,4.5"), 6, 6);
    for (int i : {3 * 6 + 2, 3 * 6 + 3, 4 * 6 + 2, 4 * 6 + 3}) EXPECT_EQ(offset[i], 0.25f) << i;
    EXPECT_EQ(Sum(offset), 1.0);
}

TEST(FinishPolygon, TriangleAreaAndPartialPixels) {
    // Area 0.5 * |(17.9-1.3)(15.6-2.7) - (8.2-1.3)(4.1-2.7)| = 102.24.
    const std::vector<float> coverage =
        RasterisePolygon(ParsePolygon("--garbage", "1.3,2.7,17.9,4.1,8.2,15.6"), 20, 20);
    // Exact along each sub-row; down the rows a sampled edge is off by at
    // most 1/32 of a pixel per row it crosses, and those errors alternate.
    EXPECT_NEAR(Sum(coverage), 102.24, 0.05);
    for (float c : coverage) {
        ASSERT_GE(c, 0.0f);
        ASSERT_LE(c, 1.0f);
    }
    EXPECT_EQ(coverage[8 * 20 + 8], 1.0f);
    EXPECT_GT(coverage[3 * 20 + 8], 0.0f);
    EXPECT_LT(coverage[3 * 20 + 8], 1.0f);
}

TEST(FinishPolygon, OutsideTheFrameAndEvenOdd) {
    const std::vector<float> outside =
        RasterisePolygon(ParsePolygon("--garbage", "-50,-50,-10,-50,-10,-10"), 8, 8);
    EXPECT_EQ(Sum(outside), 0.0);
    const std::vector<float> beyond = RasterisePolygon(
        ParsePolygon("--garbage", "-1e12,-1e12,1e12,-1e12,1e12,1e12,-1e12,1e12"), 8, 8);
    for (float c : beyond) EXPECT_EQ(c, 1.0f);
    // A square traced twice winds twice: even-odd leaves it empty.
    const std::vector<float> twice =
        RasterisePolygon(ParsePolygon("--garbage", "1,1,5,1,5,5,1,5,1,1,5,1,5,5,1,5"), 8, 8);
    EXPECT_EQ(Sum(twice), 0.0);
    // A bow tie: two triangles of area 4 meeting at (3, 3).
    const std::vector<float> bowTie =
        RasterisePolygon(ParsePolygon("--garbage", "1,1,5,5,5,1,1,5"), 8, 8);
    EXPECT_NEAR(Sum(bowTie), 8.0, 1e-9);
}

TEST(FinishPolygon, ParseErrorsNameTheOptionAndText) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"1,2,3,4,5", "--garbage 1,2,3,4,5: 5 values: x and y come in pairs"},
        {"1,2,3,4", "--garbage 1,2,3,4: 2 points: a polygon needs at least 3"},
        {"1,2,,4,5,6", "value 3 is empty"},
        {"1,2,x,4,5,6", "value 3 'x' is not a number"},
        {"1,2,3e,4,5,6", "value 3 '3e' is not a number"},
        {"1,2,+-3,4,5,6", "value 3 '+-3' is not a number"},
        {"1,2,+,4,5,6", "value 3 '+' is not a number"},
        {"1,2,inf,4,5,6", "value 3 'inf' is not a finite number"},
        {"1,2,3,4,5,nan", "value 6 'nan' is not a finite number"},
        {"", "value 1 is empty"},
    };
    for (const auto& [text, fragment] : cases) {
        try {
            ParsePolygon("--garbage", text);
            ADD_FAILURE() << "accepted " << text;
        } catch (const veskar::CliError& error) {
            EXPECT_NE(std::string(error.what()).find(fragment), std::string::npos) << error.what();
            EXPECT_EQ(error.ExitCode(), 2);
        }
    }
    const Polygon spaced = ParsePolygon("--holdout", " 1.5, +2 ,3,4 ,5,-6");
    EXPECT_EQ(spaced.points[0][1], 2.0);
    ASSERT_EQ(spaced.points.size(), 3u);
    EXPECT_EQ(spaced.points[2][1], -6.0);
}

TEST(FinishPolygon, ShapeMattesFromPolygonsAndFiles) {
    FinishOptions options;
    options.garbage.push_back({"0,0,2,0,2,2", "", ParsePolygon("--garbage", "0,0,2,0,2,2")});
    options.garbage.push_back({"side.png", "side.png", {}});
    options.holdout.push_back(
        {"3,3,4,3,4,4,3,4", "", ParsePolygon("--holdout", "3,3,4,3,4,4,3,4")});
    std::vector<std::string> read;
    const ShapeMattes shapes = MakeShapeMattes(options, 4, 4, [&](const MatteShape& shape) {
        read.push_back(shape.file);
        std::vector<float> coverage(16, 0.0f);
        coverage[15] = 0.75f;
        return coverage;
    });
    EXPECT_EQ(read, std::vector<std::string>{"side.png"});
    EXPECT_EQ(shapes.garbage[1], 1.0f);    // the triangle over pixel (1, 0)
    EXPECT_EQ(shapes.garbage[15], 0.75f);  // the file
    EXPECT_EQ(shapes.holdout[15], 1.0f);
    EXPECT_EQ(Sum(shapes.holdout), 1.0);
    // Shapes listed without their maps are the caller's mistake.
    const Frame source = Busy(4, 4);
    Frame keyed = CopyFrame(source);
    EXPECT_THROW(FinishFrame(options, Context(source, true), keyed), std::invalid_argument);
    // Maps of another frame size are refused, not read past their end.
    const Frame larger = Busy(5, 5);
    Frame keyedLarger = CopyFrame(larger);
    EXPECT_THROW(FinishFrame(options, Context(larger, true, {}, nullptr, &shapes), keyedLarger),
                 std::invalid_argument);
}

TEST(FinishPolygon, ShapesOfOneKindUnite) {
    std::vector<float> map;
    AddCoverage(map, {0.0f, 0.5f, 1.0f});
    AddCoverage(map, {0.25f, 0.25f, 0.0f});
    EXPECT_EQ(map, (std::vector<float>{0.25f, 0.5f, 1.0f}));
    EXPECT_THROW(AddCoverage(map, {1.0f}), std::invalid_argument);
}

// ---------------------------------------------------------------------------
// Stage order

TEST(FinishOrder, ShapesComeAfterSoftenAndKeepHardEdges) {
    // Subject on the left half; a holdout over columns 0..9 and a garbage
    // over 30..39: soften blurs the subject's edge, the shapes' edges stay hard.
    const Frame source = MakeFrame(40, 10, [](int x, int) {
        return Rgba{0.5f, 0.5f, 0.5f, x < 20 ? 1.0f : 0.0f};
    });
    ShapeMattes shapes{40, 10, {}, {}};
    shapes.holdout = RasterisePolygon(ParsePolygon("--holdout", "0,0,10,0,10,10,0,10"), 40, 10);
    shapes.garbage = RasterisePolygon(ParsePolygon("--garbage", "30,0,40,0,40,10,30,10"), 40, 10);
    FinishOptions options;
    options.soften = 4.0;
    options.clipBlack =
        0.3;  // lifts the screen's soft tail: the holdout is what keeps columns 0..9 solid
    options.garbage.push_back({});
    options.holdout.push_back({});
    Frame keyed = MakeFrame(40, 10, [](int x, int) {
        return Rgba{0.5f, 0.5f, 0.5f, x < 5 ? 0.0f : x < 20 ? 1.0f : 0.0f};
    });
    FinishFrame(options, Context(source, true, {}, nullptr, &shapes), keyed);
    EXPECT_EQ(keyed.Plane1Pixel(9, 5)[3], 1.0f);
    EXPECT_EQ(keyed.Plane1Pixel(0, 5)[3], 1.0f);
    EXPECT_LT(keyed.Plane1Pixel(20, 5)[3], 0.7f);
    EXPECT_GT(keyed.Plane1Pixel(19, 5)[3], 0.3f);
    EXPECT_EQ(keyed.Plane1Pixel(30, 5)[3], 0.0f);
}

// ---------------------------------------------------------------------------
// Edge refinement

// A row plate, `height` rows alike: screen up to x = 9, then shares
// 0.25, 0.5, 0.75 of subject in three pixels, then subject. The keyer's
// matte is 0 over the screen, 0.5 over every mix and 1 over the subject:
// soft, but not in step with the shares.
constexpr int kRefineWidth = 24;
constexpr int kRefineFirstMix = 10;
double RefineShare(int x) { return std::clamp((x - kRefineFirstMix + 1) * 0.25, 0.0, 1.0); }
float KeyerAlpha(int x) { return x < kRefineFirstMix ? 0.0f : x < kRefineFirstMix + 3 ? 0.5f : 1.0f; }

double Encoded(double v) { return v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055; }

Frame MixPlate(const std::array<double, 3>& subject, const std::function<std::array<double, 3>(int)>& screen,
               bool encoded) {
    return MakeFrame(kRefineWidth, 6, [&](int x, int) {
        const double t = RefineShare(x);
        std::array<double, 3> c{};
        for (int k = 0; k < 3; ++k) {
            c[k] = subject[k] * t + screen(x)[k] * (1.0 - t);
            if (encoded) c[k] = Encoded(c[k]);
        }
        return Rgba{static_cast<float>(c[0]), static_cast<float>(c[1]), static_cast<float>(c[2]), 1.0f};
    });
}

Frame KeyerMatte() {
    return MakeFrame(kRefineWidth, 6, [](int x, int) { return Rgba{0.3f, 0.3f, 0.3f, KeyerAlpha(x)}; });
}

TEST(FinishRefineEdges, AlphaBecomesTheShareOfAKnownMix) {
    const std::array<double, 3> subject{0.8, 0.35, 0.2};
    auto flat = [](int) { return std::array<double, 3>{0.1, 0.7, 0.2}; };
    for (bool encoded : {false, true}) {
        const Frame source = MixPlate(subject, flat, encoded);
        Frame keyed = KeyerMatte();
        FinishOptions options;
        options.refineEdges = true;
        FrameContext context = Context(source, true);
        context.displayEncoded = encoded;
        FinishFrame(options, context, keyed);
        for (int x = 0; x < kRefineWidth; ++x) {
            const float a = keyed.Plane1Pixel(x, 3)[3];
            if (x >= kRefineFirstMix && x < kRefineFirstMix + 3) {
                // Mixed in light: a display-encoded plate is decoded first.
                EXPECT_NEAR(a, RefineShare(x), 2e-6) << x << " encoded " << encoded;
            } else {
                // The screen and the subject keep the keyer's bits.
                EXPECT_TRUE(SameFloatBits(a, KeyerAlpha(x))) << x << " encoded " << encoded;
            }
        }
    }
}

TEST(FinishRefineEdges, CleanPlateScreenAndWhatTheColoursCannotTell) {
    const std::array<double, 3> subject{0.8, 0.35, 0.2};
    // A screen that darkens across the frame: the clean plate tells it pixel by pixel.
    auto uneven = [](int x) { return std::array<double, 3>{0.1, 0.8 - 0.02 * x, 0.25 - 0.005 * x}; };
    const Frame source = MixPlate(subject, uneven, false);
    const Frame clean = MakeFrame(kRefineWidth, 6, [&](int x, int) {
        const auto s = uneven(x);
        return Rgba{static_cast<float>(s[0]), static_cast<float>(s[1]), static_cast<float>(s[2]), 1.0f};
    });
    FinishOptions options;
    options.refineEdges = true;
    Frame keyed = KeyerMatte();
    FinishFrame(options, Context(source, true, {9.0f, 9.0f, 9.0f}, clean.get()), keyed);
    for (int x = kRefineFirstMix; x < kRefineFirstMix + 3; ++x) {
        EXPECT_NEAR(keyed.Plane1Pixel(x, 2)[3], RefineShare(x), 2e-6) << x;
    }

    // A subject of the screen's own colour: a mix tells nothing, and a NaN
    // alpha stays NaN; every bit of the keyer's matte stays.
    auto flat = [](int) { return std::array<double, 3>{0.1, 0.7, 0.2}; };
    const Frame same = MixPlate({0.1, 0.7, 0.2}, flat, false);
    Frame untold = KeyerMatte();
    untold.Plane1Pixel(kRefineFirstMix + 1, 4)[3] = kNan;
    const Frame before = CopyFrame(untold);
    FinishFrame(options, Context(same, true), untold);
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < kRefineWidth; ++x) {
            EXPECT_TRUE(SameFloatBits(untold.Plane1Pixel(x, y)[3], before.Plane1Pixel(x, y)[3])) << x << "," << y;
        }
    }
}

// Screen up to x = 9, then shares 0.25, 0.5, 0.75 of `strand` over it, then
// `core`, solid.
Frame StrandPlate(const std::array<double, 3>& screen, const std::array<double, 3>& strand,
                  const std::array<double, 3>& core) {
    return MakeFrame(kRefineWidth, 6, [&](int x, int) {
        const double t = RefineShare(x);
        const auto& subject = x < kRefineFirstMix + 3 ? strand : core;
        std::array<float, 3> c{};
        for (int k = 0; k < 3; ++k) c[k] = static_cast<float>(subject[k] * t + screen[k] * (1.0 - t));
        return Rgba{c[0], c[1], c[2], 1.0f};
    });
}

// Refines `keyed` from `source` and expects each mix (x = 10 to 12) within
// `tolerance` of its share.
void ExpectRefinedShares(const Frame& source, Frame keyed, double tolerance, const std::string& what) {
    FinishOptions options;
    options.refineEdges = true;
    FinishFrame(options, Context(source, true), keyed);
    for (int y = 0; y < 6; ++y) {
        for (int x = kRefineFirstMix; x < kRefineFirstMix + 3; ++x) {
            EXPECT_NEAR(keyed.Plane1Pixel(x, y)[3], RefineShare(x), tolerance) << x << "," << y << " " << what;
        }
    }
}

// Strands darker than the subject's lit core (its own material in shadow):
// shares of a strand of 0.4 times the core's colour. Each mix takes its share
// of the strand, which the core's colour alone put at about half of it; and
// where the strand is the core's own colour, the core's colour is still
// taken. (A mix mostly of screen tells the strand's shade least surely, and a
// darker shade is taken only where it explains the colour clearly better:
// within 0.02.)
TEST(FinishRefineEdges, StrandsDarkerThanTheCoreTakeTheirOwnShare) {
    const std::array<double, 3> screen{0.1, 0.7, 0.2};
    const std::array<double, 3> core{0.8, 0.35, 0.2};
    for (const double shade : {0.4, 1.0}) {
        const std::array<double, 3> strand{core[0] * shade, core[1] * shade, core[2] * shade};
        ExpectRefinedShares(StrandPlate(screen, strand, core), KeyerMatte(), 0.02, "shade " + std::to_string(shade));
    }
}

// The contour's strands carry a share of the screen's light that the core does
// not (spill: the screen lights them from behind): mixes of such a strand
// take their share of it, which the core's colour alone put a ninth too low
// in this frame.
TEST(FinishRefineEdges, StrandsLitByTheScreenTakeTheirOwnShare) {
    const std::array<double, 3> screen{0.5, 0.6, 0.05};
    const std::array<double, 3> core{0.3, 0.3, 0.3};
    const std::array<double, 3> strand{core[0] + 0.08 * screen[0], core[1] + 0.08 * screen[1],
                                       core[2] + 0.08 * screen[2]};
    ExpectRefinedShares(StrandPlate(screen, strand, core), KeyerMatte(), 0.01, "lit");
}

// A colour past the screen, seen from the subject (here lighter and redder
// than the screen while the subject is dark: the edge of a lighter part of
// the subject, whose colour no solid pixel nearby shows), is no mix of the
// two: the tool's soft matte stays, where reading it as more than screen
// cleared it. A colour past the screen by less (grain) still reads as screen.
TEST(FinishRefineEdges, ColoursPastTheScreenAreNoMix) {
    const std::array<double, 3> screen{0.28, 0.29, 0.01};
    const std::array<double, 3> core{0.06, 0.04, 0.02};
    for (const double past : {0.3, 0.05}) {
        const Frame source = MakeFrame(kRefineWidth, 6, [&](int x, int) {
            std::array<float, 3> c{};
            for (int k = 0; k < 3; ++k) {
                const double v = x < kRefineFirstMix ? screen[k]
                                 : x < kRefineFirstMix + 3 ? screen[k] + past * (screen[k] - core[k])
                                                           : core[k];
                c[k] = static_cast<float>(v);
            }
            return Rgba{c[0], c[1], c[2], 1.0f};
        });
        Frame keyed = MakeFrame(kRefineWidth, 6, [](int x, int) {
            return Rgba{0.3f, 0.3f, 0.3f, x < kRefineFirstMix ? 0.0f : x < kRefineFirstMix + 3 ? 0.3f : 1.0f};
        });
        FinishOptions options;
        options.refineEdges = true;
        FinishFrame(options, Context(source, true), keyed);
        for (int y = 0; y < 6; ++y) {
            for (int x = kRefineFirstMix; x < kRefineFirstMix + 3; ++x) {
                EXPECT_EQ(keyed.Plane1Pixel(x, y)[3], past > 0.15 ? 0.3f : 0.0f) << x << "," << y << " past " << past;
            }
        }
    }
}

// A screen in a light shadow beside the subject (x = 8 and 9 at 0.9 of the
// screen, keyed a little soft) lies near the line from the screen to a dark
// shade of the core: it is screen in shadow, not a dark strand, and stays
// below the 0.05 a composite shows.
TEST(FinishRefineEdges, AShadowedScreenIsNoDarkStrand) {
    const std::array<double, 3> screen{0.1, 0.7, 0.2};
    const std::array<double, 3> core{0.8, 0.35, 0.2};
    const Frame source = MakeFrame(kRefineWidth, 6, [&](int x, int) {
        const double shadow = x == 8 || x == 9 ? 0.9 : 1.0;
        const auto& c = x < 10 ? screen : core;
        const double m = x < 10 ? shadow : 1.0;
        return Rgba{static_cast<float>(c[0] * m), static_cast<float>(c[1] * m), static_cast<float>(c[2] * m), 1.0f};
    });
    Frame keyed = MakeFrame(kRefineWidth, 6, [](int x, int) {
        return Rgba{0.3f, 0.3f, 0.3f, x < 8 ? 0.0f : x < 10 ? 0.1f : 1.0f};
    });
    FinishOptions options;
    options.refineEdges = true;
    FinishFrame(options, Context(source, true), keyed);
    for (int y = 0; y < 6; ++y) {
        for (int x = 8; x < 10; ++x) EXPECT_LT(keyed.Plane1Pixel(x, y)[3], 0.05f) << x << "," << y;
    }
}

// A hard subject against the screen, as a tool set up for hard edges keys it:
// screen up to x = 9, keyed clear; at x = 10 a mix of 70% subject a pixel
// wide, which the tool also keyed clear; at x = 11 a greenish-grey highlight
// on the subject's rim, keyed solid; from x = 12 the brown subject, solid.
TEST(FinishRefineEdges, KeepsAHardSubjectsCoreAndItsContour) {
    const std::array<double, 3> screen{0.1, 0.7, 0.2};
    const std::array<double, 3> brown{0.8, 0.35, 0.2};
    const std::array<double, 3> highlight{0.35, 0.55, 0.4};
    auto colour = [&](int x) {
        if (x < 10) return screen;
        if (x == 10) return std::array<double, 3>{0.7 * brown[0] + 0.3 * screen[0], 0.7 * brown[1] + 0.3 * screen[1],
                                                  0.7 * brown[2] + 0.3 * screen[2]};
        return x == 11 ? highlight : brown;
    };
    const Frame source = MakeFrame(kRefineWidth, 6, [&](int x, int) {
        const auto c = colour(x);
        return Rgba{static_cast<float>(c[0]), static_cast<float>(c[1]), static_cast<float>(c[2]), 1.0f};
    });
    Frame keyed = MakeFrame(kRefineWidth, 6, [](int x, int) { return Rgba{0.3f, 0.3f, 0.3f, x < 11 ? 0.0f : 1.0f}; });
    FinishOptions options;
    options.refineEdges = true;
    FinishFrame(options, Context(source, true), keyed);
    for (int y = 0; y < 6; ++y) {
        // The highlight is no mix of the screen and the brown (it lies off
        // their line): the solid core keeps every bit.
        for (int x = 11; x < kRefineWidth; ++x) EXPECT_EQ(keyed.Plane1Pixel(x, y)[3], 1.0f) << x << "," << y;
        // The mix the tool keyed clear is softened, but stays on the screen's
        // side of the contour.
        EXPECT_GT(keyed.Plane1Pixel(10, y)[3], 0.0f) << y;
        EXPECT_LT(keyed.Plane1Pixel(10, y)[3], 0.5f) << y;
        for (int x = 0; x < 10; ++x) EXPECT_EQ(keyed.Plane1Pixel(x, y)[3], 0.0f) << x << "," << y;
    }
}

// Dark hair over a bright top beside a dark teal screen (colours in light from
// the teal plate of bench/edge): screen up to x = 9, keyed clear; from x = 10
// rows 0 to 5 hair, its last row tinted toward the screen, keyed 0.45 (a
// setup for soft edges finds dark hair near a dark screen's key signal), rows
// 6 to 11 the top, keyed solid. The subject's colour filled in for the hair
// is the top's, some fifteen times as bright: the hair is that colour's own dark
// shade, so the colours make it solid, not a mix of a lighter shade with the
// screen that leaves the tool's half.
TEST(FinishRefineEdges, ASubjectPartFarDarkerThanTheFillBesideItStaysSolid) {
    const std::array<float, 3> screen{0.0113f, 0.171f, 0.117f};
    const Frame source = MakeFrame(kRefineWidth, 12, [&](int x, int y) {
        if (x < 10) return Rgba{screen[0], screen[1], screen[2], 1.0f};
        if (y < 5) return Rgba{0.0194f, 0.0212f, 0.013f, 1.0f};
        if (y == 5) return Rgba{0.0137f, 0.0222f, 0.0168f, 1.0f};
        return Rgba{0.47f, 0.26f, 0.15f, 1.0f};
    });
    Frame keyed = MakeFrame(kRefineWidth, 12, [](int x, int y) {
        return Rgba{0.3f, 0.3f, 0.3f, x < 10 ? 0.0f : y < 6 ? 0.45f : 1.0f};
    });
    FinishOptions options;
    options.refineEdges = true;
    FinishFrame(options, Context(source, true, screen), keyed);
    for (int y = 0; y < 12; ++y) {
        for (int x = 12; x < kRefineWidth; ++x) EXPECT_GT(keyed.Plane1Pixel(x, y)[3], 0.9f) << x << "," << y;
    }
}

// A part of the subject lighter than the face beside it, mixed with a bright
// yellow-green screen (a motion-blurred cheek): screen up to x = 9, keyed
// clear; from x = 10, rows 0 to 4 hold 0.7 of skin 1.35 times as light as the
// skin of rows 5 on, keyed 0.5 (the refinement reaches 6 px from the screen).
// Darker shades of that skin explain the mix
// only with more screen than its green can hold (alpha about 0.1, and the
// unmix took the green to 0); a lighter shade tells its share.
TEST(FinishRefineEdges, AMixOfALighterPartOfTheSubjectTakesItsShare) {
    const std::array<float, 3> screen{0.361f, 0.378f, 0.001f};
    const std::array<double, 3> skin{0.3, 0.2, 0.05};
    const Frame source = MakeFrame(kRefineWidth, 12, [&](int x, int y) {
        if (x < 10) return Rgba{screen[0], screen[1], screen[2], 1.0f};
        std::array<float, 3> c{};
        for (int k = 0; k < 3; ++k) {
            c[k] = static_cast<float>(y >= 5 ? skin[k] : 0.7 * 1.35 * skin[k] + 0.3 * screen[k]);
        }
        return Rgba{c[0], c[1], c[2], 1.0f};
    });
    Frame keyed = MakeFrame(kRefineWidth, 12, [](int x, int y) {
        return Rgba{0.3f, 0.3f, 0.3f, x < 10 ? 0.0f : y < 5 ? 0.5f : 1.0f};
    });
    FinishOptions options;
    options.refineEdges = true;
    options.unmix = true;
    FinishFrame(options, Context(source, true, screen), keyed);
    for (int y = 0; y < 5; ++y) {
        for (int x = 10; x < 16; ++x) {
            const float* record = keyed.Plane1Pixel(x, y);
            EXPECT_NEAR(record[3], 0.7f, 0.08f) << x << "," << y;
            // Premultiplied blue, green, red: the skin's green (2/3 of its
            // red) keeps most of its share.
            EXPECT_GT(record[1], 0.5f * record[2]) << x << "," << y;
        }
    }
}

// Mixes the tool keyed solid next to ones it keyed soft: screen up to x = 9,
// keyed clear; shares 0.25, 0.5, 0.75 keyed 0.9; shares 0.85 and 0.95 keyed
// 1; the subject from x = 15. The soft mixes first take a subject's colour
// filled partly from the solid mixes beside them; once those are found to be
// mixes, the subject's own colour, and each soft mix its share.
TEST(FinishRefineEdges, MixesKeyedSolidLeaveTheSubjectsColour) {
    const std::array<double, 3> screen{0.1, 0.7, 0.2};
    const std::array<double, 3> core{0.8, 0.35, 0.2};
    const std::array<double, 5> shares{0.25, 0.5, 0.75, 0.85, 0.95};
    auto share = [&](int x) { return x < 10 ? 0.0 : x < 15 ? shares[x - 10] : 1.0; };
    const Frame source = MakeFrame(kRefineWidth, 6, [&](int x, int) {
        std::array<float, 3> c{};
        for (int k = 0; k < 3; ++k) c[k] = static_cast<float>(core[k] * share(x) + screen[k] * (1.0 - share(x)));
        return Rgba{c[0], c[1], c[2], 1.0f};
    });
    Frame keyed = MakeFrame(kRefineWidth, 6, [](int x, int) {
        return Rgba{0.3f, 0.3f, 0.3f, x < 10 ? 0.0f : x < 13 ? 0.9f : 1.0f};
    });
    FinishOptions options;
    options.refineEdges = true;
    FinishFrame(options, Context(source, true), keyed);
    for (int y = 0; y < 6; ++y) {
        for (int x = 10; x < 14; ++x) EXPECT_NEAR(keyed.Plane1Pixel(x, y)[3], share(x), 0.005) << x << "," << y;
    }
}

// Mixes the tool keyed solid, as it keys fine strands: screen up to x = 9,
// keyed clear; shares 0.25, 0.5 and 0.75 of subject, then the subject, all
// keyed 1. A solid pixel whose colour lies between the screen and a purer
// subject colour beside it is no sample of the subject's colour: each mix
// takes its share.
TEST(FinishRefineEdges, MixesKeyedSolidBesideThePureSubjectTakeTheirShare) {
    const std::array<double, 3> screen{0.1, 0.7, 0.2};
    const std::array<double, 3> core{0.8, 0.35, 0.2};
    const Frame source = MakeFrame(kRefineWidth, 6, [&](int x, int) {
        const double t = RefineShare(x);
        std::array<float, 3> c{};
        for (int k = 0; k < 3; ++k) c[k] = static_cast<float>(core[k] * t + screen[k] * (1.0 - t));
        return Rgba{c[0], c[1], c[2], 1.0f};
    });
    Frame keyed = MakeFrame(kRefineWidth, 6, [](int x, int) {
        return Rgba{0.3f, 0.3f, 0.3f, x < kRefineFirstMix ? 0.0f : 1.0f};
    });
    FinishOptions options;
    options.refineEdges = true;
    FinishFrame(options, Context(source, true), keyed);
    for (int y = 0; y < 6; ++y) {
        for (int x = kRefineFirstMix; x < kRefineFirstMix + 3; ++x) {
            EXPECT_NEAR(keyed.Plane1Pixel(x, y)[3], RefineShare(x), 0.005) << x << "," << y;
        }
        for (int x = kRefineFirstMix + 3; x < kRefineWidth; ++x) EXPECT_EQ(keyed.Plane1Pixel(x, y)[3], 1.0f) << x;
    }
}

// A mix deeper inside the outline than the band reaches (a gap between
// strands that shows the screen), keyed solid: screen up to x = 9, the
// subject from x = 10, and at x = 20 half screen, half subject. It lies
// between the screen and the subject beside it, and takes its share.
TEST(FinishRefineEdges, AMixInsideTheOutlineTakesItsShare) {
    constexpr int kWidth = 32;
    const std::array<double, 3> screen{0.1, 0.7, 0.2};
    const std::array<double, 3> core{0.8, 0.35, 0.2};
    auto share = [](int x) { return x < 10 ? 0.0 : x == 20 ? 0.5 : 1.0; };
    const Frame source = MakeFrame(kWidth, 6, [&](int x, int) {
        std::array<float, 3> c{};
        for (int k = 0; k < 3; ++k) c[k] = static_cast<float>(core[k] * share(x) + screen[k] * (1.0 - share(x)));
        return Rgba{c[0], c[1], c[2], 1.0f};
    });
    Frame keyed = MakeFrame(kWidth, 6, [](int x, int) { return Rgba{0.3f, 0.3f, 0.3f, x < 10 ? 0.0f : 1.0f}; });
    FinishOptions options;
    options.refineEdges = true;
    FinishFrame(options, Context(source, true), keyed);
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < kWidth; ++x) EXPECT_NEAR(keyed.Plane1Pixel(x, y)[3], share(x), 0.005) << x << "," << y;
    }
}

// A hard contour on a screen that darkens towards the subject: screen up to
// x = 9, keyed clear; at x = 10 a mix of 70% subject, also keyed clear; the
// subject from x = 11, solid. The mix is softened; the screen beside it, whose
// neighbours are a little brighter than itself, stays clear.
TEST(FinishRefineEdges, TheScreenBesideASoftenedContourStaysClear) {
    const std::array<double, 3> brown{0.8, 0.35, 0.2};
    auto screen = [](int x) { return std::array<double, 3>{0.1, 0.8 - 0.01 * x, 0.2}; };
    const Frame source = MakeFrame(kRefineWidth, 6, [&](int x, int) {
        const double t = x < 10 ? 0.0 : x == 10 ? 0.7 : 1.0;
        std::array<float, 3> c{};
        for (int k = 0; k < 3; ++k) c[k] = static_cast<float>(brown[k] * t + screen(x)[k] * (1.0 - t));
        return Rgba{c[0], c[1], c[2], 1.0f};
    });
    Frame keyed = MakeFrame(kRefineWidth, 6, [](int x, int) { return Rgba{0.3f, 0.3f, 0.3f, x < 11 ? 0.0f : 1.0f}; });
    FinishOptions options;
    options.refineEdges = true;
    FinishFrame(options, Context(source, true), keyed);
    for (int y = 0; y < 6; ++y) {
        EXPECT_GT(keyed.Plane1Pixel(10, y)[3], 0.0f) << y;
        for (int x = 0; x < 10; ++x) EXPECT_EQ(keyed.Plane1Pixel(x, y)[3], 0.0f) << x << "," << y;
    }
}

// Strands keyed solid beside a thin line of their own colour, with the rest of
// the subject another colour: screen up to x = 9, then shares 0.25, 0.5, 0.75
// of a blue strand, then one column of the blue, then brown; the keyer's
// matte is 1 from x = 10. The fill around the strands blends blue and brown
// and tells no mix; the blue beside them does, and they take their shares.
TEST(FinishRefineEdges, MixesKeyedSolidTakeTheSubjectColourBesideThem) {
    const std::array<double, 3> screen{0.1, 0.7, 0.2};
    const std::array<double, 3> blue{0.3, 0.3, 0.9};
    const std::array<double, 3> brown{0.8, 0.35, 0.2};
    const Frame source = MakeFrame(kRefineWidth, 12, [&](int x, int) {
        const double t = RefineShare(x);
        const auto& subject = x <= kRefineFirstMix + 3 ? blue : brown;
        std::array<float, 3> c{};
        for (int k = 0; k < 3; ++k) c[k] = static_cast<float>(subject[k] * t + screen[k] * (1.0 - t));
        return Rgba{c[0], c[1], c[2], 1.0f};
    });
    Frame keyed = MakeFrame(kRefineWidth, 12, [](int x, int) {
        return Rgba{0.3f, 0.3f, 0.3f, x < kRefineFirstMix ? 0.0f : 1.0f};
    });
    FinishOptions options;
    options.refineEdges = true;
    FinishFrame(options, Context(source, true), keyed);
    for (int y = 0; y < 12; ++y) {
        for (int x = kRefineFirstMix + 1; x < kRefineFirstMix + 3; ++x) {
            EXPECT_NEAR(keyed.Plane1Pixel(x, y)[3], RefineShare(x), 1e-6) << x << "," << y;
        }
    }
}

// Faint alpha far from the subject is the screen's grain, not a strand:
// screen up to x = 39 with specks of a colour that is no mix of the screen and
// the subject (the colours leave their alpha as it is), the subject solid from
// x = 40. A faint speck 35 px out clears; one as faint 8 px out, and a
// stronger one far out, keep their alpha. A frame with nothing of the subject
// keeps every bit.
TEST(FinishRefineEdges, FaintAlphaFarFromTheSubjectClears) {
    constexpr int kWidth = 56;
    const Rgba screen{0.1f, 0.7f, 0.2f, 1.0f};
    const Rgba speck{0.1f, 0.7f, 0.9f, 1.0f};
    const Frame source = MakeFrame(kWidth, 6, [&](int x, int) {
        return x == 5 || x == 10 || x == 32 ? speck : x < 40 ? screen : Rgba{0.8f, 0.35f, 0.2f, 1.0f};
    });
    auto keyerAlpha = [](int x) { return x == 5 || x == 32 ? 0.08f : x == 10 ? 0.3f : x < 40 ? 0.0f : 1.0f; };
    FinishOptions options;
    options.refineEdges = true;
    Frame keyed = MakeFrame(kWidth, 6, [&](int x, int) { return Rgba{0.3f, 0.3f, 0.3f, keyerAlpha(x)}; });
    FinishFrame(options, Context(source, true), keyed);
    for (int y = 0; y < 6; ++y) {
        EXPECT_EQ(keyed.Plane1Pixel(5, y)[3], 0.0f) << y;
        EXPECT_EQ(keyed.Plane1Pixel(10, y)[3], 0.3f) << y;
        EXPECT_EQ(keyed.Plane1Pixel(32, y)[3], 0.08f) << y;
    }

    auto noSubject = [](int x) { return x == 5 || x == 32 ? 0.08f : x == 10 ? 0.3f : 0.0f; };
    Frame veil = MakeFrame(kWidth, 6, [&](int x, int) { return Rgba{0.3f, 0.3f, 0.3f, noSubject(x)}; });
    FinishFrame(options, Context(source, true), veil);
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < kWidth; ++x) EXPECT_EQ(veil.Plane1Pixel(x, y)[3], noSubject(x)) << x << "," << y;
    }
}

// A subject keyed partly transparent throughout, as a setup for soft edges
// leaves a grainy core: screen up to x = 9, keyed clear; the subject from
// x = 10, keyed 0.8 (0.4 at a speck at x = 40); one pixel NaN. Pixels farther
// than 12 px from anything below one half become opaque; the rest, the speck
// and the NaN keep their bits.
TEST(FinishRefineEdges, TheSubjectsCoreBecomesOpaque) {
    constexpr int kWidth = 56;
    const Frame source = MakeFrame(kWidth, 6, [](int x, int) {
        return x < 10 ? Rgba{0.1f, 0.7f, 0.2f, 1.0f} : Rgba{0.8f, 0.35f, 0.2f, 1.0f};
    });
    auto keyerAlpha = [](int x, int y) {
        if (x == 30 && y == 2) return kNan;
        return x < 10 ? 0.0f : x == 40 ? 0.4f : 0.8f;
    };
    Frame keyed = MakeFrame(kWidth, 6, [&](int x, int y) { return Rgba{0.3f, 0.3f, 0.3f, keyerAlpha(x, y)}; });
    FinishOptions options;
    options.refineEdges = true;
    FinishFrame(options, Context(source, true), keyed);
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const float a = keyed.Plane1Pixel(x, y)[3];
            // Nearest pixel below one half: the screen (x <= 9) or the speck.
            const int near = std::min(x - 9, std::abs(x - 40));
            if (x >= 10 && near > 12 && !(x == 30 && y == 2)) {
                EXPECT_EQ(a, 1.0f) << x << "," << y;
            } else if (near > 6) {
                // Beyond the refined band: the keyer's bits.
                EXPECT_TRUE(SameFloatBits(a, keyerAlpha(x, y))) << x << "," << y;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Colour

TEST(FinishColour, FollowsTheMatteWithoutUnmix) {
    // Keyed colour 0.4 at alpha 0.5 (premultiplied 0.2); the plate 0.9.
    const Frame source = MakeFrame(3, 1, [](int, int) { return Rgba{0.9f, 0.9f, 0.9f, 1.0f}; });
    const ShapeMattes none{3, 1, {}, {}};
    for (bool premultiplied : {true, false}) {
        const float stored = premultiplied ? 0.2f : 0.4f;
        const Frame keyed0 = MakeFrame(3, 1, [&](int x, int) {
            return x == 2 ? Rgba{0.0f, 0.0f, 0.0f, 0.0f} : Rgba{stored, stored, stored, 0.5f};
        });
        ShapeMattes holdout = none;
        holdout.holdout = {0.0f, 0.0f, 0.75f};  // brings the clear pixel to 0.75
        FinishOptions options;
        options.clipWhite = 0.625;  // 0.5 becomes 0.8
        options.holdout.push_back({});
        Frame keyed = CopyFrame(keyed0);
        FinishFrame(options, Context(source, premultiplied, {}, nullptr, &holdout), keyed);
        const float* stretched = keyed.Plane1Pixel(0, 0);
        EXPECT_FLOAT_EQ(stretched[3], 0.8f);
        EXPECT_FLOAT_EQ(stretched[1], premultiplied ? 0.32f : 0.4f) << premultiplied;
        const float* held = keyed.Plane1Pixel(2, 0);
        EXPECT_EQ(held[3], 0.75f);
        EXPECT_FLOAT_EQ(held[1], premultiplied ? 0.9f * 0.75f : 0.9f) << premultiplied;
    }
}

// Foreground F over a screen at alpha a, as a plate: F a + S (1 - a).
struct MixCase {
    float a;
    std::array<float, 3> f;
};

TEST(FinishUnmix, RecoversTheForegroundFromAKnownMix) {
    const std::array<float, 3> f{0.8f, 0.35f, 0.2f};
    const std::vector<float> alphas{0.05f, 0.1f, 0.25f, 0.5f, 0.9f, 1.0f};
    const int width = static_cast<int>(alphas.size());
    // A clean plate half the frame's size: pixel x pairs with x / 2.
    const Frame clean = MakeFrame(width / 2, 1, [](int kx, int) {
        return Rgba{0.1f + 0.05f * kx, 0.7f - 0.1f * kx, 0.2f, 1.0f};
    });
    for (bool useClean : {false, true}) {
        auto screenAt = [&](int x) -> std::array<float, 3> {
            if (!useClean) return {0.1f, 0.7f, 0.2f};
            const float* r = clean.Plane1Pixel(x / 2, 0);
            return {r[2], r[1], r[0]};
        };
        const Frame source = MakeFrame(width, 1, [&](int x, int) {
            const float a = alphas[x];
            const auto s = screenAt(x);
            return Rgba{f[0] * a + s[0] * (1 - a), f[1] * a + s[1] * (1 - a),
                        f[2] * a + s[2] * (1 - a), 1.0f};
        });
        for (bool premultiplied : {true, false}) {
            Frame keyed = MakeFrame(width, 1, [&](int x, int) {
                return Rgba{0.3f, 0.3f, 0.3f, alphas[x]};
            });
            FinishOptions options;
            options.unmix = true;
            // With a clean plate the screen colour given is never used.
            const std::array<float, 3> screen =
                useClean ? std::array<float, 3>{9.0f, 9.0f, 9.0f} : screenAt(0);
            FinishFrame(options,
                        Context(source, premultiplied, screen, useClean ? clean.get() : nullptr),
                        keyed);
            for (int x = 0; x < width; ++x) {
                const float* r = keyed.Plane1Pixel(x, 0);
                const float scale = premultiplied ? alphas[x] : 1.0f;
                // Float rounding of the mix, divided by a when straight.
                const float tolerance = 4e-7f / alphas[x];
                EXPECT_NEAR(r[2], f[0] * scale, tolerance) << x << useClean << premultiplied;
                EXPECT_NEAR(r[1], f[1] * scale, tolerance) << x << useClean << premultiplied;
                EXPECT_NEAR(r[0], f[2] * scale, tolerance) << x << useClean << premultiplied;
                EXPECT_EQ(r[3], alphas[x]);
            }
        }
    }
}

// An sRGB-encoded plate mixes the foreground and the screen in light: the
// plate holds enc(F a + S (1 - a)). Unmixed, the straight colour is enc(F)
// and the premultiplied one enc(F) a, as the file's other pixels hold colour;
// unmixed in code values the edge came out with too little of the screen's
// hue (the complement showing).
TEST(FinishUnmix, AnEncodedPlateUnmixesInLight) {
    const std::array<double, 3> f{0.6, 0.25, 0.1};
    const std::array<double, 3> s{0.05, 0.45, 0.08};
    const std::vector<float> alphas{0.1f, 0.3f, 0.5f, 0.8f, 1.0f};
    const int width = static_cast<int>(alphas.size());
    const Frame source = MakeFrame(width, 1, [&](int x, int) {
        const double a = alphas[x];
        std::array<float, 3> c{};
        for (int k = 0; k < 3; ++k) c[k] = static_cast<float>(Encoded(f[k] * a + s[k] * (1.0 - a)));
        return Rgba{c[0], c[1], c[2], 1.0f};
    });
    const std::array<float, 3> screen{static_cast<float>(Encoded(s[0])), static_cast<float>(Encoded(s[1])),
                                      static_cast<float>(Encoded(s[2]))};
    for (bool premultiplied : {true, false}) {
        Frame keyed = MakeFrame(width, 1, [&](int x, int) { return Rgba{0.3f, 0.3f, 0.3f, alphas[x]}; });
        FinishOptions options;
        options.unmix = true;
        FrameContext context = Context(source, premultiplied, screen);
        context.displayEncoded = true;
        FinishFrame(options, context, keyed);
        for (int x = 0; x < width; ++x) {
            const float* r = keyed.Plane1Pixel(x, 0);
            const double scale = premultiplied ? alphas[x] : 1.0;
            // Float rounding of the plate, divided by a and through the curve.
            const double tolerance = 2e-6 / alphas[x];
            EXPECT_NEAR(r[2], Encoded(f[0]) * scale, tolerance) << x << premultiplied;
            EXPECT_NEAR(r[1], Encoded(f[1]) * scale, tolerance) << x << premultiplied;
            EXPECT_NEAR(r[0], Encoded(f[2]) * scale, tolerance) << x << premultiplied;
        }
    }
}

// Without a clean plate, the screen behind an edge pixel is the frame's own
// screen around it: on a screen lit unevenly (its top half at 0.6 of the
// bottom's light) the mixes of both halves unmix to the subject's colour, where
// the screen's one colour (the bottom's) took so much from the top half's
// edges that their green went to 0.
TEST(FinishUnmix, WithoutACleanPlateTheScreenAroundThePixelIsTaken) {
    const std::array<double, 3> f{0.6, 0.3, 0.2};
    const std::array<double, 3> bright{0.1, 0.7, 0.2};
    constexpr int kSize = 24;
    auto shareAt = [](int x) { return x < 10 ? 0.0 : x < 13 ? (x - 9) * 0.25 : 1.0; };
    const Frame source = MakeFrame(kSize, kSize, [&](int x, int y) {
        // A screen pixel that is not a number fills in nothing around it.
        if (x == 8 && y == 21) return Rgba{kNan, kNan, kNan, 1.0f};
        const double a = shareAt(x);
        const double light = y < kSize / 2 ? 0.6 : 1.0;
        std::array<float, 3> c{};
        for (int k = 0; k < 3; ++k) c[k] = static_cast<float>(f[k] * a + bright[k] * light * (1.0 - a));
        return Rgba{c[0], c[1], c[2], 1.0f};
    });
    Frame keyed = MakeFrame(kSize, kSize, [&](int x, int) {
        return Rgba{0.3f, 0.3f, 0.3f, static_cast<float>(shareAt(x))};
    });
    FinishOptions options;
    options.unmix = true;
    const std::array<float, 3> screen{static_cast<float>(bright[0]), static_cast<float>(bright[1]),
                                      static_cast<float>(bright[2])};
    FinishFrame(options, Context(source, false, screen), keyed);
    // Rows away from where the two halves meet; the fill blends the screen
    // over a few pixels, which the share of screen (1 - a) / a magnifies.
    for (int y : {0, 1, 2, 3, 20, 21, 22, 23}) {
        for (int x = 10; x < 13; ++x) {
            const float* r = keyed.Plane1Pixel(x, y);
            EXPECT_NEAR(r[2], f[0], 0.03) << x << "," << y;
            EXPECT_NEAR(r[1], f[1], 0.03) << x << "," << y;
            EXPECT_NEAR(r[0], f[2], 0.03) << x << "," << y;
        }
    }
}

TEST(FinishUnmix, ClampsWhatTheSubtractionMadeNegativeAndBoundsStraightColour) {
    // Red: 0.05 - 0.1 * 0.8 < 0 becomes 0; blue starts negative and stays
    // as it comes out; green at alpha 0.01 would be 80 straight.
    const Frame source = MakeFrame(2, 1, [](int x, int) {
        return x == 0 ? Rgba{0.05f, 0.5f, -0.1f, 1.0f} : Rgba{0.3f, 0.9f, 0.3f, 1.0f};
    });
    const std::array<float, 3> screen{0.1f, 0.1f, 0.1f};
    for (bool premultiplied : {true, false}) {
        Frame keyed = MakeFrame(2, 1, [](int x, int) {
            return Rgba{0, 0, 0, x == 0 ? 0.2f : 0.01f};
        });
        FinishOptions options;
        options.unmix = true;
        FinishFrame(options, Context(source, premultiplied, screen), keyed);
        const float* first = keyed.Plane1Pixel(0, 0);
        EXPECT_EQ(first[2], 0.0f);
        EXPECT_LT(first[0], -0.1f);
        EXPECT_GT(first[1], 0.0f);
        const float* thin = keyed.Plane1Pixel(1, 0);
        if (premultiplied) {
            EXPECT_NEAR(thin[1], 0.9 - 0.1 * 0.99, 1e-6);
        } else {
            EXPECT_EQ(thin[1], 1.0f);  // the brightest of 1 and the source's components
        }
    }
    // At alpha 0 there is no foreground.
    Frame clear = MakeFrame(2, 1, [](int, int) { return Rgba{0.5f, 0.5f, 0.5f, 0.0f}; });
    FinishOptions options;
    options.unmix = true;
    FinishFrame(options, Context(source, false, screen), clear);
    EXPECT_EQ(clear.Plane1Pixel(1, 0)[1], 0.0f);
}

// A frame with the subject inside: screen up to x = 9, keyed clear; x = 10
// and 11 hold less green than 1 - alpha of the screen's (alpha 0.3), x = 12
// and 13 an exact mix at 0.3, the subject from x = 14. The short pixels take
// the subject's hue at the luminance their unmix left, not a colour with its
// green clamped to 0; the exact mixes recover the subject.
TEST(FinishUnmix, APixelHoldingLessScreenThanItsMatteSaysTakesTheSubjectsHue) {
    const std::array<float, 3> screen{0.1f, 0.7f, 0.2f};
    const std::array<double, 3> subject{0.6, 0.35, 0.25};
    const std::array<double, 3> shortMix{0.25, 0.3, 0.15};
    const Frame source = MakeFrame(kRefineWidth, 6, [&](int x, int) {
        std::array<float, 3> c{};
        for (int k = 0; k < 3; ++k) {
            c[k] = static_cast<float>(x < 10   ? screen[k]
                                      : x < 12 ? shortMix[k]
                                      : x < 14 ? 0.3 * subject[k] + 0.7 * screen[k]
                                               : subject[k]);
        }
        return Rgba{c[0], c[1], c[2], 1.0f};
    });
    Frame keyed = MakeFrame(kRefineWidth, 6, [](int x, int) {
        return Rgba{0.0f, 0.0f, 0.0f, x < 10 ? 0.0f : x < 14 ? 0.3f : 1.0f};
    });
    FinishOptions options;
    options.unmix = true;
    FinishFrame(options, Context(source, true, screen), keyed);
    // What the subtraction leaves of the short mix, red and blue (green 0).
    const double red = shortMix[0] - 0.7 * screen[0];
    const double blue = shortMix[2] - 0.7 * screen[2];
    const double left = 0.2126 * red + 0.0722 * blue;
    const double scale = left / (0.2126 * subject[0] + 0.7152 * subject[1] + 0.0722 * subject[2]);
    for (int y = 0; y < 6; ++y) {
        for (int x = 10; x < 14; ++x) {
            const float* record = keyed.Plane1Pixel(x, y);  // premultiplied blue, green, red
            for (int k = 0; k < 3; ++k) {
                const double expected = x < 12 ? subject[k] * scale : 0.3 * subject[k];
                EXPECT_NEAR(record[2 - k], expected, 1e-6) << x << "," << y << " component " << k;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Despill

struct Screen {
    const char* name;
    std::array<double, 3> rgb;
};

const std::vector<Screen> kScreens = {
    {"green", {0.1, 0.7, 0.2}}, {"blue", {0.1, 0.2, 0.8}}, {"yellow-green", {0.5, 0.8, 0.1}}};

TEST(FinishDespill, GreyAndSkinKeepTheirBits) {
    for (const Screen& screen : kScreens) {
        Frame keyed = MakeFrame(4, 1, [](int x, int) {
            const std::array<Rgba, 4> colours{Rgba{0.5f, 0.5f, 0.5f, 1}, Rgba{0.0f, 0.0f, 0.0f, 1},
                                              Rgba{0.8f, 0.55f, 0.45f, 1},
                                              Rgba{0.4f, 0.27f, 0.2f, 0.5f}};
            return colours[x];
        });
        const Frame before = CopyFrame(keyed);
        Despill(keyed, screen.rgb, 1.0);
        EXPECT_TRUE(SameBits(keyed, before)) << screen.name;
    }
}

TEST(FinishDespill, SpillTowardTheScreenGoesAndLuminanceStays) {
    for (const Screen& screen : kScreens) {
        // Grey 0.4 carrying 0.3 of the screen's chroma.
        const double mean = (screen.rgb[0] + screen.rgb[1] + screen.rgb[2]) / 3.0;
        auto spilled = [&](int c) {
            return static_cast<float>(0.4 + 0.3 * (screen.rgb[c] - mean));
        };
        for (double amount : {1.0, 0.5}) {
            Frame keyed = MakeFrame(1, 1, [&](int, int) {
                return Rgba{spilled(0), spilled(1), spilled(2), 1.0f};
            });
            const double luminance = Luminance(keyed.Plane1Pixel(0, 0));
            Despill(keyed, screen.rgb, amount);
            const float* r = keyed.Plane1Pixel(0, 0);
            EXPECT_NEAR(Luminance(r), luminance, 1e-6) << screen.name;
            const double spread = std::max({r[0], r[1], r[2]}) - std::min({r[0], r[1], r[2]});
            const double spreadBefore = std::max({spilled(0), spilled(1), spilled(2)}) -
                                        std::min({spilled(0), spilled(1), spilled(2)});
            if (amount == 1.0) {
                EXPECT_LT(spread, 1e-6) << screen.name;  // the spill was all the pixel's hue
            } else {
                EXPECT_NEAR(spread, 0.5 * spreadBefore, 1e-6) << screen.name;
            }
        }
    }
}

TEST(FinishDespill, PremultipliedColourDespillsAsItStands) {
    const std::array<double, 3> screen = kScreens[0].rgb;
    Frame straight = MakeFrame(1, 1, [](int, int) { return Rgba{0.3f, 0.6f, 0.25f, 1.0f}; });
    Frame premultiplied = MakeFrame(1, 1, [](int, int) { return Rgba{0.15f, 0.3f, 0.125f, 0.5f}; });
    Despill(straight, screen, 1.0);
    Despill(premultiplied, screen, 1.0);
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(premultiplied.Plane1Pixel(0, 0)[c], 0.5f * straight.Plane1Pixel(0, 0)[c], 1e-7);
    EXPECT_LT(straight.Plane1Pixel(0, 0)[1], 0.6f);
}

TEST(FinishDespill, CleanPlateMeanIsTheReference) {
    const Frame source = MakeFrame(2, 2, [](int, int) { return Rgba{0, 0, 0, 1}; });
    const Frame clean = MakeFrame(2, 1, [](int x, int) {
        return x == 0 ? Rgba{0.1f, 0.2f, 0.8f, 1} : Rgba{0.3f, 0.4f, 0.6f, 1};
    });
    const std::array<double, 3> reference =
        DespillReference(Context(source, true, {0, 1, 0}, clean.get()));
    EXPECT_NEAR(reference[0], 0.2, 1e-7);
    EXPECT_NEAR(reference[1], 0.3, 1e-7);
    EXPECT_NEAR(reference[2], 0.7, 1e-7);
    const std::array<double, 3> plain = DespillReference(Context(source, true, {0, 1, 0}));
    EXPECT_EQ(plain[1], 1.0);
}

// A subject of skin colour from x = 20 on over a green screen, its matte
// 0.3, 0.6, 0.9 over three pixels, then 1. Within 10 px of the contour it
// carries the screen's light, `spill` at the contour falling to 0; row 1 is
// a darker shade of it (0.6), row 2 has a strand of another hue at the edge.
// Straight colour in light.
constexpr std::array<double, 3> kEdgeScreen{0.1, 0.7, 0.2};
constexpr std::array<double, 3> kEdgeSkin{0.8, 0.55, 0.45};
constexpr std::array<double, 3> kEdgePurple{0.3, 0.1, 0.6};

double EdgeSpillAt(int x) { return x >= 20 && x < 30 ? 0.3 * (30 - x) / 10.0 : 0.0; }
float EdgeAlphaAt(int x) { return x < 20 ? 0.0f : x < 23 ? 0.3f * static_cast<float>(x - 19) : 1.0f; }

Frame SpilledEdge() {
    return MakeFrame(60, 3, [](int x, int y) {
        if (x < 20) return Rgba{0.1f, 0.7f, 0.2f, 0.0f};
        const double shade = y == 1 ? 0.6 : 1.0;
        const std::array<double, 3>& own = y == 2 && x == 24 ? kEdgePurple : kEdgeSkin;
        std::array<float, 3> c{};
        for (int k = 0; k < 3; ++k) c[k] = static_cast<float>(shade * own[k] + EdgeSpillAt(x) * kEdgeScreen[k]);
        return Rgba{c[0], c[1], c[2], EdgeAlphaAt(x)};
    });
}

TEST(FinishEdgeDespill, TheScreensLightOnAnEdgeGoesAgainstTheSubjectInside) {
    for (double amount : {1.0, 0.5}) {
        const Frame before = SpilledEdge();
        Frame keyed = CopyFrame(before);
        EdgeDespill(keyed, kEdgeScreen, amount, false, false);
        for (int y = 0; y < 3; ++y) {
            for (int x = 0; x < 60; ++x) {
                const float* r = keyed.Plane1Pixel(x, y);
                const float* was = before.Plane1Pixel(x, y);
                const std::string where = "amount " + std::to_string(amount) + " at " + std::to_string(x) + "," +
                                          std::to_string(y);
                if (x < 20 || x >= 30 || (y == 2 && x == 24)) {
                    // The screen, the inside and a colour that is no shade of the skin plus
                    // the screen's light keep their bits.
                    for (int c = 0; c < 4; ++c) EXPECT_TRUE(SameFloatBits(r[c], was[c])) << where;
                    continue;
                }
                const double shade = y == 1 ? 0.6 : 1.0;
                const double left = (1.0 - amount) * EdgeSpillAt(x);
                for (int c = 0; c < 3; ++c) {
                    EXPECT_NEAR(r[2 - c], shade * kEdgeSkin[c] + left * kEdgeScreen[c], 1e-6) << where;
                }
                EXPECT_EQ(r[3], was[3]) << where;
            }
        }
    }
}

TEST(FinishEdgeDespill, EncodedAndPremultipliedRecordsAreDespilledInLight) {
    const Frame straight = SpilledEdge();
    Frame expected = CopyFrame(straight);
    EdgeDespill(expected, kEdgeScreen, 1.0, false, false);
    auto encode = [](double v) { return veskar::LinearToSrgb(v); };
    Frame stored = MakeFrame(60, 3, [&](int x, int y) {
        const float* r = straight.Plane1Pixel(x, y);
        const double a = r[3];
        return Rgba{static_cast<float>(encode(r[2]) * a), static_cast<float>(encode(r[1]) * a),
                    static_cast<float>(encode(r[0]) * a), r[3]};
    });
    const std::array<double, 3> encodedScreen{encode(kEdgeScreen[0]), encode(kEdgeScreen[1]), encode(kEdgeScreen[2])};
    EdgeDespill(stored, encodedScreen, 1.0, true, true);
    for (int y = 0; y < 3; ++y) {
        for (int x = 20; x < 60; ++x) {
            const float* r = stored.Plane1Pixel(x, y);
            const float* want = expected.Plane1Pixel(x, y);
            for (int c = 0; c < 3; ++c) EXPECT_NEAR(veskar::SrgbToLinear(static_cast<double>(r[c]) / r[3]), want[c], 2e-6) << x << "," << y;
        }
    }
}

TEST(FinishEdgeDespill, WithoutAnOpaqueInsideOrAlphaNothingChanges) {
    // No pixel opaque far from the contour: nothing to measure the edge against.
    Frame thin = MakeFrame(30, 3, [](int x, int y) {
        const float spill = static_cast<float>(EdgeSpillAt(x));
        return Rgba{0.8f + 0.1f * spill, 0.55f + 0.7f * spill, 0.45f + 0.2f * spill, x < 20 ? 0.0f : y == 1 ? kNan : 1.0f};
    });
    const Frame before = CopyFrame(thin);
    EdgeDespill(thin, kEdgeScreen, 1.0, false, false);
    EXPECT_TRUE(SameBits(thin, before));
    // A NaN alpha and a colour that is not finite at the edge keep theirs beside despilled pixels.
    Frame keyed = SpilledEdge();
    keyed.Plane1Pixel(25, 0)[3] = kNan;
    keyed.Plane1Pixel(26, 1)[0] = std::numeric_limits<float>::infinity();
    const Frame marked = CopyFrame(keyed);
    EdgeDespill(keyed, kEdgeScreen, 1.0, false, false);
    for (int c = 0; c < 4; ++c) {
        EXPECT_TRUE(SameFloatBits(keyed.Plane1Pixel(25, 0)[c], marked.Plane1Pixel(25, 0)[c]));
        EXPECT_TRUE(SameFloatBits(keyed.Plane1Pixel(26, 1)[c], marked.Plane1Pixel(26, 1)[c]));
    }
    EXPECT_LT(keyed.Plane1Pixel(24, 0)[1], marked.Plane1Pixel(24, 0)[1]);
}

// ---------------------------------------------------------------------------
// Views

TEST(FinishView, MatteAndStatus) {
    const Frame source = MakeFrame(4, 1, [](int, int) { return Rgba{0.2f, 0.3f, 0.4f, 1.0f}; });
    const std::array<float, 4> alphas{0.0f, 0.5f, 1.0f, kNan};
    auto keyedFrame = [&] {
        return MakeFrame(4, 1, [&](int x, int) { return Rgba{0.2f, 0.3f, 0.4f, alphas[x]}; });
    };
    FinishOptions options;
    options.view = View::Matte;
    Frame matte = keyedFrame();
    FinishFrame(options, Context(source, true), matte);
    for (int x = 0; x < 3; ++x) {
        for (int c = 0; c < 3; ++c) EXPECT_EQ(matte.Plane1Pixel(x, 0)[c], alphas[x]);
        EXPECT_EQ(matte.Plane1Pixel(x, 0)[3], 1.0f);
    }
    options.view = View::Status;
    Frame status = keyedFrame();
    FinishFrame(options, Context(source, true), status);
    const std::array<std::array<float, 3>, 4> expected{
        StatusColour(kStatusKeyed), StatusColour(kStatusPartial), StatusColour(kStatusSolid),
        StatusColour(kStatusPartial)};
    for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(status.Plane1Pixel(x, 0)[2], expected[x][0]) << x;
        EXPECT_EQ(status.Plane1Pixel(x, 0)[0], expected[x][2]) << x;
        EXPECT_EQ(status.Plane1Pixel(x, 0)[3], 1.0f);
    }
    // sRGB 235 is linear 0.8308.
    EXPECT_NEAR(StatusColour(kStatusSolid)[0], 0.8308, 1e-4);
}

// ---------------------------------------------------------------------------
// Workers

TEST(FinishWorkers, OneOrManyGiveTheSameBits) {
    const Frame source = Busy(150, 97);
    const Frame clean = Busy(70, 40);
    ShapeMattes shapes{150, 97, {}, {}};
    shapes.garbage = RasterisePolygon(ParsePolygon("--garbage", "100,0,150,0,150,60"), 150, 97);
    shapes.holdout = RasterisePolygon(ParsePolygon("--holdout", "0,50,30,97,0,97"), 150, 97);
    FinishOptions options;
    options.unmix = true, options.despill = 0.8, options.clipBlack = 0.05, options.clipWhite = 0.9;
    options.grow = 1.7, options.soften = 2.5, options.despot = 3;
    options.garbage.push_back({}), options.holdout.push_back({});
    Frame keyed = CopyFrame(source);
    keyed.Plane1Pixel(40, 40)[3] = kNan;
    std::vector<Frame> results;
    for (int workers : {1, 4}) {
        host::SetWorkerCount(workers);
        Frame finished = CopyFrame(keyed);
        FinishFrame(options, Context(source, true, {0.1f, 0.7f, 0.2f}, clean.get(), &shapes),
                    finished);
        results.push_back(CopyFrame(finished));
    }
    host::SetWorkerCount(0);
    EXPECT_TRUE(SameBits(results[0], results[1]));
    EXPECT_FALSE(SameBits(results[0], keyed));
}

}  // namespace
