#include "app/finish/colour_fill.h"

#include <algorithm>
#include <cmath>

#include "app/files/colour.h"
#include "app/finish/large_vector.h"

namespace veskar::finish {
namespace {

constexpr int kBlockRows = 16;

// A known pixel fills with its colour when the colour is finite: one NaN or
// infinity would otherwise spread over the block around it.
bool Usable(const Colours& colours, const std::vector<std::uint8_t>& known, std::size_t i) {
    const double* c = colours.At(i);
    return known[i] != 0 && std::isfinite(c[0]) && std::isfinite(c[1]) && std::isfinite(c[2]);
}

// One level of the fill's pyramid: the weighted sums of colour and the weight.
struct Level {
    int width = 0;
    int height = 0;
    std::vector<double> sums;  // red, green, blue, weight per pixel
};

// Each coarse pixel sums its fine ones row by row, as a serial pass over the
// fine level would: coarse rows are independent, and run in parallel.
Level Halve(const Level& fine) {
    Level coarse{(fine.width + 1) / 2, (fine.height + 1) / 2, {}};
    coarse.sums = LargeVector(static_cast<std::size_t>(coarse.width) * coarse.height * 4, 0.0);
    ForRowBlocks(coarse.height, kBlockRows, [&](int c0, int c1) {
        for (int y = 2 * c0; y < std::min(2 * c1, fine.height); ++y) {
            for (int x = 0; x < fine.width; ++x) {
                const double* from = &fine.sums[(static_cast<std::size_t>(y) * fine.width + x) * 4];
                double* to = &coarse.sums[(static_cast<std::size_t>(y / 2) * coarse.width + x / 2) * 4];
                for (int k = 0; k < 4; ++k) to[k] += from[k];
            }
        }
    });
    return coarse;
}

// The coarser level's colour at fine pixel (x, y), bilinear between its pixel centres.
void Upsampled(const std::vector<double>& coarse, int width, int height, int x, int y, double* out) {
    const double fx = std::clamp((x + 0.5) * 0.5 - 0.5, 0.0, static_cast<double>(width - 1));
    const double fy = std::clamp((y + 0.5) * 0.5 - 0.5, 0.0, static_cast<double>(height - 1));
    const int x0 = static_cast<int>(fx);
    const int y0 = static_cast<int>(fy);
    const int x1 = std::min(x0 + 1, width - 1);
    const int y1 = std::min(y0 + 1, height - 1);
    const double tx = fx - x0;
    const double ty = fy - y0;
    for (int c = 0; c < 3; ++c) {
        auto at = [&](int px, int py) { return coarse[(static_cast<std::size_t>(py) * width + px) * 3 + c]; };
        const double top = at(x0, y0) + (at(x1, y0) - at(x0, y0)) * tx;
        const double bottom = at(x0, y1) + (at(x1, y1) - at(x0, y1)) * tx;
        out[c] = top + (bottom - top) * ty;
    }
}

// The first coarse level straight from the known pixels (each a weight of
// 1), coarse rows in parallel as in Halve.
Level HalveKnown(const Colours& colours, const std::vector<std::uint8_t>& known) {
    Level coarse{(colours.width + 1) / 2, (colours.height + 1) / 2, {}};
    coarse.sums = LargeVector(static_cast<std::size_t>(coarse.width) * coarse.height * 4, 0.0);
    ForRowBlocks(coarse.height, kBlockRows, [&](int c0, int c1) {
        for (int y = 2 * c0; y < std::min(2 * c1, colours.height); ++y) {
            for (int x = 0; x < colours.width; ++x) {
                const std::size_t i = static_cast<std::size_t>(y) * colours.width + x;
                if (!Usable(colours, known, i)) continue;
                double* to = &coarse.sums[(static_cast<std::size_t>(y / 2) * coarse.width + x / 2) * 4];
                for (int c = 0; c < 3; ++c) to[c] += colours.At(i)[c];
                to[3] += 1.0;
            }
        }
    });
    return coarse;
}

}  // namespace

Colours ReadColours(const Image& image, bool displayEncoded) {
    Colours colours{image.Width(), image.Height(), {}};
    LargeResize(colours.rgb, static_cast<std::size_t>(colours.width) * colours.height * 3);
    ForRowBlocks(colours.height, kBlockRows, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            for (int x = 0; x < colours.width; ++x) {
                const float* record = image.Plane1Pixel(x, y);  // blue, green, red
                double* out = &colours.rgb[(static_cast<std::size_t>(y) * colours.width + x) * 3];
                for (int c = 0; c < 3; ++c) {
                    const float v = record[2 - c];
                    out[c] = displayEncoded ? SrgbToLinear(v) : static_cast<double>(v);
                }
            }
        }
    });
    return colours;
}

// The frame's own level is read from `colours` and `known` as it is needed:
// held as sums, it was the largest of the fill's buffers.
bool FillLookup::Make(const Colours& colours, const std::vector<std::uint8_t>& known) {
    std::vector<Level> levels;
    levels.push_back(HalveKnown(colours, known));
    while (levels.back().width > 1 || levels.back().height > 1) levels.push_back(Halve(levels.back()));
    // The coarsest level's weight counts the known pixels (sums of ones, exact).
    if (levels.back().sums.empty() || !(levels.back().sums[3] > 0.0)) return false;
    // The coarsest level holds every known pixel: its mean.
    std::vector<double> colour(3);
    const double* top = levels.back().sums.data();
    for (int c = 0; c < 3; ++c) colour[c] = top[c] / top[3];
    for (std::size_t k = levels.size() - 1; k-- > 0;) {
        const Level& level = levels[k];
        const Level& coarse = levels[k + 1];
        std::vector<double> finer = LargeVector<double>(static_cast<std::size_t>(level.width) * level.height * 3);
        ForRowBlocks(level.height, kBlockRows, [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y) {
                for (int x = 0; x < level.width; ++x) {
                    const std::size_t i = static_cast<std::size_t>(y) * level.width + x;
                    const double* sums = &level.sums[i * 4];
                    double below[3];
                    Upsampled(colour, coarse.width, coarse.height, x, y, below);
                    // A block with a known pixel is its own mean; one with none takes the level below.
                    const double trust = std::min(1.0, sums[3]);
                    for (int c = 0; c < 3; ++c) {
                        const double own = sums[3] > 0.0 ? sums[c] / sums[3] : 0.0;
                        finer[i * 3 + c] = own * trust + below[c] * (1.0 - trust);
                    }
                }
            }
        });
        colour = std::move(finer);
    }
    colours_ = &colours;
    known_ = &known;
    halfWidth_ = levels.front().width;
    halfHeight_ = levels.front().height;
    half_ = std::move(colour);
    return true;
}

void FillLookup::At(int x, int y, double* out) const {
    // The frame's own level: a known pixel is its colour, any other the level below.
    const std::size_t i = static_cast<std::size_t>(y) * colours_->width + x;
    if (Usable(*colours_, *known_, i)) {
        std::copy(colours_->At(i), colours_->At(i) + 3, out);
    } else {
        Upsampled(half_, halfWidth_, halfHeight_, x, y, out);
    }
}

bool Fill(const Colours& colours, const std::vector<std::uint8_t>& known, std::vector<double>& finest) {
    FillLookup lookup;
    if (!lookup.Make(colours, known)) return false;
    LargeResize(finest, known.size() * 3);
    ForRowBlocks(colours.height, kBlockRows, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            for (int x = 0; x < colours.width; ++x) {
                lookup.At(x, y, &finest[(static_cast<std::size_t>(y) * colours.width + x) * 3]);
            }
        }
    });
    return true;
}

std::vector<std::uint8_t> Solidly(const Matte& matte, bool (*test)(float)) {
    // The 3 x 3 neighbourhood (cut at the frame's edge) as a row of three,
    // then a column of three of those rows.
    const int width = matte.width;
    const int height = matte.height;
    std::vector<std::uint8_t> passes = LargeVector<std::uint8_t>(matte.alpha.size());
    std::vector<std::uint8_t> across = LargeVector<std::uint8_t>(matte.alpha.size());
    ForRowBlocks(height, kBlockRows, [&](int y0, int y1) {
        for (std::size_t i = matte.Index(0, y0); i < matte.Index(0, y1); ++i) passes[i] = test(matte.alpha[i]) ? 1 : 0;
        for (int y = y0; y < y1; ++y) {
            const std::uint8_t* row = &passes[matte.Index(0, y)];
            std::uint8_t* out = &across[matte.Index(0, y)];
            for (int x = 0; x < width; ++x) {
                out[x] = row[std::max(x - 1, 0)] & row[x] & row[std::min(x + 1, width - 1)];
            }
        }
    });
    std::vector<std::uint8_t> marks = LargeVector<std::uint8_t>(matte.alpha.size());
    ForRowBlocks(height, kBlockRows, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const std::uint8_t* above = &across[matte.Index(0, std::max(y - 1, 0))];
            const std::uint8_t* row = &across[matte.Index(0, y)];
            const std::uint8_t* below = &across[matte.Index(0, std::min(y + 1, height - 1))];
            std::uint8_t* out = &marks[matte.Index(0, y)];
            for (int x = 0; x < width; ++x) out[x] = above[x] & row[x] & below[x];
        }
    });
    return marks;
}


std::vector<std::uint8_t> Near(const Matte& matte, bool (*test)(float), double radius) {
    std::vector<std::uint8_t> passes = LargeVector<std::uint8_t>(matte.alpha.size());
    for (std::size_t i = 0; i < matte.alpha.size(); ++i) passes[i] = test(matte.alpha[i]) ? 1 : 0;
    return WithinDistance(passes, matte.width, matte.height, radius);
}

}  // namespace veskar::finish
