// Stages 1, 2, 3 and 5 of finishing: levels, shrink or grow, soften and the
// garbage and holdout shapes, on a plain copy of the alpha.
//
// The neighbourhood stages are written here rather than taken from
// ImageBufAlgo: its dilate and erode use a rectangle where a disc keeps
// corners and diagonals alike, its convolution is not separable, and both
// would spread NaN into the neighbours.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include "app/finish/finish_stages.h"
#include "app/finish/large_vector.h"
#include "host/worker_pool.h"

namespace veskar::finish {
namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();
constexpr int kBlockRows = 16;
// Up to this half width a sliding maximum compares shifted rows directly;
// beyond, the block method's three comparisons per pixel cost less.
constexpr int kDirectMaxReach = 6;

// The larger of two values without NaN, in a form the compiler vectorises.
inline float Larger(float a, float b) noexcept { return a < b ? b : a; }

// out[x] = max of in[x - k .. x + k] within the row (for longer windows van
// Herk / Gil-Werman: block prefix and suffix maxima, three comparisons per
// pixel whatever k).
void SlidingMax(const float* __restrict in, float* __restrict out, int width, int k,
                std::vector<float>& prefix, std::vector<float>& suffix) {
    if (k == 0) {
        std::copy(in, in + width, out);
        return;
    }
    if (k <= kDirectMaxReach) {
        // Short windows: the row shifted by each offset, which vectorises.
        std::copy(in, in + width, out);
        for (int d = 1; d <= k; ++d) {
            for (int x = 0; x + d < width; ++x) out[x] = Larger(out[x], in[x + d]);
            for (int x = d; x < width; ++x) out[x] = Larger(out[x], in[x - d]);
        }
        return;
    }
    const int span = 2 * k + 1;
    const int padded = (width + 2 * k + span - 1) / span * span;
    prefix.resize(static_cast<std::size_t>(padded));
    suffix.resize(static_cast<std::size_t>(padded));
    // Padded position p holds pixel p - k; beyond the row nothing counts.
    auto at = [&](int p) { return p >= k && p - k < width ? in[p - k] : -kInfinity; };
    for (int block = 0; block < padded; block += span) {
        prefix[block] = at(block);
        for (int i = 1; i < span; ++i)
            prefix[block + i] = std::max(prefix[block + i - 1], at(block + i));
        suffix[block + span - 1] = at(block + span - 1);
        for (int i = span - 2; i >= 0; --i)
            suffix[block + i] = std::max(suffix[block + i + 1], at(block + i));
    }
    for (int x = 0; x < width; ++x) out[x] = std::max(suffix[x], prefix[x + 2 * k]);
}

// Half widths of the rows of the disc of whole `radius`: the largest k with
// k^2 + dy^2 <= radius^2, for dy = 0 .. radius.
std::vector<int> DiscHalfWidths(int radius) {
    std::vector<int> half(static_cast<std::size_t>(radius) + 1);
    const std::int64_t r2 = static_cast<std::int64_t>(radius) * radius;
    for (int dy = 0; dy <= radius; ++dy) {
        std::int64_t k =
            static_cast<std::int64_t>(std::sqrt(static_cast<double>(r2 - std::int64_t{dy} * dy)));
        while (k * k + std::int64_t{dy} * dy > r2) --k;
        while ((k + 1) * (k + 1) + std::int64_t{dy} * dy <= r2) ++k;
        half[dy] = static_cast<int>(k);
    }
    return half;
}

// A disc as wide as the frame's diagonal reaches every pixel from every
// other: any larger radius gives the same frame.
double DiagonalReach(int width, int height) {
    return std::ceil(std::hypot(static_cast<double>(width), static_cast<double>(height)));
}

// Grey-scale dilation by the disc of whole `radius`; `in` holds no NaN. Each
// source row's sliding maxima (one per half width its disc rows need) are
// folded into the block's output rows within reach, so a worker holds only
// the block and a few rows, whatever the radius.
std::vector<float> DiscMax(const std::vector<float>& in, int width, int height, int radius) {
    const std::vector<int> half = DiscHalfWidths(radius);
    std::vector<float> out = LargeVector<float>(in.size());
    ForRowBlocks(height, kBlockRows, [&](int y0, int y1) {
        // Scratch kept by each worker: fresh buffers for every block would
        // cost more in page faults than the maxima themselves.
        thread_local std::vector<float> slots;
        thread_local std::vector<float> prefix;
        thread_local std::vector<float> suffix;
        slots.resize(static_cast<std::size_t>(kBlockRows) * width);
        std::vector<int> slotWidth(kBlockRows);
        float* block = out.data() + static_cast<std::size_t>(y0) * width;
        std::fill(block, block + static_cast<std::size_t>(y1 - y0) * width, -kInfinity);
        for (int sy = std::max(0, y0 - radius); sy < std::min(height, y1 + radius); ++sy) {
            const float* source = in.data() + static_cast<std::size_t>(sy) * width;
            int used = 0;
            for (int y = std::max(y0, sy - radius); y < std::min(y1, sy + radius + 1); ++y) {
                const int k = half[std::abs(sy - y)];
                int slot = 0;
                while (slot < used && slotWidth[slot] != k) ++slot;
                float* maxima = slots.data() + static_cast<std::size_t>(slot) * width;
                if (slot == used) {
                    SlidingMax(source, maxima, width, k, prefix, suffix);
                    slotWidth[used++] = k;
                }
                float* target = out.data() + static_cast<std::size_t>(y) * width;
                for (int x = 0; x < width; ++x) target[x] = Larger(target[x], maxima[x]);
            }
        }
    });
    return out;
}

// 1D Gaussian weights for sigma, cut at 3 sigma, summing to 1.
std::vector<float> GaussianWeights(double sigma) {
    // Validate keeps soften far below the bound here, which only keeps the
    // conversion to int defined for callers that skip it.
    const int radius = std::max(1, static_cast<int>(std::ceil(std::min(3.0 * sigma, 1e5))));
    std::vector<double> weights(static_cast<std::size_t>(2 * radius) + 1);
    double sum = 0.0;
    for (int i = -radius; i <= radius; ++i) {
        weights[i + radius] = std::exp(-0.5 * i * i / (sigma * sigma));
        sum += weights[i + radius];
    }
    std::vector<float> result(weights.size());
    for (std::size_t i = 0; i < weights.size(); ++i)
        result[i] = static_cast<float>(weights[i] / sum);
    // The centre weight takes up the rounding, so that the float weights sum
    // to 1 within a few parts in 10^9. BlurPass sums in double, where each
    // weight times a float value is exact, so a constant stretch (the inside
    // of a solid subject, the clear screen) keeps its exact value.
    double total = 0.0;
    for (float w : result) total += w;
    result[radius] += static_cast<float>(1.0 - total);
    return result;
}

// sum[x] = sum over i of weights[i] * lines[i][x]; with `valid` lines, each
// term weighted by its validity as well, and the weights used summed too.
// Loops run along x so that they vectorise.
void WeighLines(const std::vector<const float*>& lines, const std::vector<const float*>& valid,
                const std::vector<float>& weights, int width, std::vector<double>& sum,
                std::vector<double>& weightSum) {
    std::fill(sum.begin(), sum.end(), 0.0);
    std::fill(weightSum.begin(), weightSum.end(), 0.0);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const double w = weights[i];
        const float* line = lines[i];
        if (valid.empty()) {
            for (int x = 0; x < width; ++x) sum[x] += w * line[x];
        } else {
            const float* v = valid[i];
            for (int x = 0; x < width; ++x) {
                const double share = w * v[x];
                sum[x] += share * line[x];
                weightSum[x] += share;
            }
        }
    }
}

// The row with `radius` copies of its end pixels on either side.
void PadRow(const float* row, int width, int radius, std::vector<float>& padded) {
    padded.resize(static_cast<std::size_t>(width) + 2 * radius);
    std::fill(padded.begin(), padded.begin() + radius, row[0]);
    std::copy(row, row + width, padded.begin() + radius);
    std::fill(padded.begin() + radius + width, padded.end(), row[width - 1]);
}

// One blur pass. `vertical` runs down the columns, else along the rows; edge
// pixels repeat outward. Where `valid` is given (a frame with NaN alpha) the
// NaN pixels (valid 0) are left out and the weights that remain renormalised;
// `validOut` then receives the weights used, for the second pass.
void BlurPass(const std::vector<float>& in, std::vector<float>& out,
              const std::vector<float>* valid, std::vector<float>* validOut, int width, int height,
              const std::vector<float>& weights, bool vertical) {
    const int radius = static_cast<int>(weights.size() / 2);
    ForRowBlocks(height, kBlockRows, [&](int y0, int y1) {
        std::vector<double> sum(static_cast<std::size_t>(width));
        std::vector<double> weightSum(static_cast<std::size_t>(width));
        std::vector<const float*> lines(weights.size());
        std::vector<const float*> validLines(valid ? weights.size() : 0);
        std::vector<float> padded;
        std::vector<float> paddedValid;
        for (int y = y0; y < y1; ++y) {
            const std::size_t base = static_cast<std::size_t>(y) * width;
            if (!vertical) {
                PadRow(in.data() + base, width, radius, padded);
                if (valid) PadRow(valid->data() + base, width, radius, paddedValid);
            }
            for (int i = 0; i < static_cast<int>(weights.size()); ++i) {
                const std::size_t row =
                    static_cast<std::size_t>(std::clamp(y + i - radius, 0, height - 1)) * width;
                lines[i] = vertical ? in.data() + row : padded.data() + i;
                if (valid) validLines[i] = vertical ? valid->data() + row : paddedValid.data() + i;
            }
            WeighLines(lines, validLines, weights, width, sum, weightSum);
            for (int x = 0; x < width; ++x) {
                if (!valid) {
                    out[base + x] = static_cast<float>(sum[x]);
                } else {
                    out[base + x] =
                        weightSum[x] > 0.0 ? static_cast<float>(sum[x] / weightSum[x]) : 0.0f;
                    (*validOut)[base + x] = static_cast<float>(weightSum[x]);
                }
            }
        }
    });
}

}  // namespace

void ForRowBlocks(int height, int blockRows, const std::function<void(int, int)>& body) {
    const int blocks = (height + blockRows - 1) / blockRows;
    host::RunChunks(blocks, [&](int block) {
        const int y0 = block * blockRows;
        body(y0, std::min(height, y0 + blockRows));
    });
}

void ClampMatte(Matte& matte) {
    // NaN fails both comparisons and stays.
    for (float& a : matte.alpha) a = a < 0.0f ? 0.0f : a > 1.0f ? 1.0f : a;
}

void ClipLevels(Matte& matte, double black, double white) {
    const double scale = white - black;
    ForRowBlocks(matte.height, kBlockRows * 8, [&](int y0, int y1) {
        for (std::size_t i = matte.Index(0, y0); i < matte.Index(0, y1); ++i) {
            const double a = (matte.alpha[i] - black) / scale;
            matte.alpha[i] = a < 0.0 ? 0.0f : a > 1.0 ? 1.0f : static_cast<float>(a);
        }
    });
}

void GrowOrShrink(Matte& matte, double radius, bool grow) {
    if (!(radius > 0.0)) return;  // the disc of radius 0 is the pixel itself
    // Erosion is the dilation of the negated matte, negated (exact in floats).
    // NaN pixels take the value that never wins, and get their NaN back.
    const float sign = grow ? 1.0f : -1.0f;
    std::vector<float> in = LargeVector<float>(matte.alpha.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = std::isnan(matte.alpha[i]) ? -kInfinity : sign * matte.alpha[i];
    }
    const double reach = DiagonalReach(matte.width, matte.height);
    const int lower = static_cast<int>(std::floor(std::min(radius, reach)));
    const double share = radius < reach ? radius - lower : 0.0;
    std::vector<float> result = DiscMax(in, matte.width, matte.height, lower);
    if (share > 0.0) {
        const std::vector<float> upper = DiscMax(in, matte.width, matte.height, lower + 1);
        const float t = static_cast<float>(share);
        for (std::size_t i = 0; i < result.size(); ++i)
            result[i] = (1.0f - t) * result[i] + t * upper[i];
    }
    for (std::size_t i = 0; i < result.size(); ++i) {
        if (!std::isnan(matte.alpha[i])) matte.alpha[i] = sign * result[i];
    }
    ClampMatte(matte);
}

std::vector<std::uint8_t> WithinDistance(const std::vector<std::uint8_t>& marks, int width, int height,
                                         double radius) {
    std::vector<std::uint8_t> within = LargeVector<std::uint8_t>(marks.size(), 0);
    if (!(radius > 0.0)) {
        for (std::size_t i = 0; i < marks.size(); ++i) within[i] = marks[i] != 0 ? 1 : 0;
        return within;
    }
    const double reach = DiagonalReach(width, height);
    const int whole = static_cast<int>(std::ceil(std::min(radius, reach)));
    const std::vector<int> half = DiscHalfWidths(whole);
    // Each pixel's distance to the nearest mark in its column, kept up to
    // the radius (kFar beyond): down the columns and back up, a stripe of
    // columns to a worker.
    constexpr int kFar = std::numeric_limits<int>::max();
    std::vector<int> down = LargeVector<int>(marks.size());
    constexpr int kStripe = 256;
    host::RunChunks((width + kStripe - 1) / kStripe, [&](int stripe) {
        const int x0 = stripe * kStripe;
        const int x1 = std::min(width, x0 + kStripe);
        for (int y = 0; y < height; ++y) {
            const std::size_t row = static_cast<std::size_t>(y) * width;
            for (int x = x0; x < x1; ++x) {
                const int above = y > 0 ? down[row - width + x] : kFar;
                down[row + x] = marks[row + x] != 0 ? 0 : above < whole ? above + 1 : kFar;
            }
        }
        for (int y = height - 2; y >= 0; --y) {
            const std::size_t row = static_cast<std::size_t>(y) * width;
            for (int x = x0; x < x1; ++x) {
                const int below = down[row + width + x];
                if (below < whole && below + 1 < down[row + x]) down[row + x] = below + 1;
            }
        }
    });
    // A column q whose nearest mark lies dy <= r away reaches the pixels of
    // the row within half[dy] of it (dx^2 + dy^2 <= r^2); a pixel is within
    // the distance where any column reaches it. Each row keeps, for every
    // first pixel of such a span, the farthest last pixel, then sweeps along.
    ForRowBlocks(height, kBlockRows, [&](int y0, int y1) {
        thread_local std::vector<int> lastFrom;
        lastFrom.resize(static_cast<std::size_t>(width));
        for (int y = y0; y < y1; ++y) {
            const std::size_t row = static_cast<std::size_t>(y) * width;
            std::fill(lastFrom.begin(), lastFrom.end(), -1);
            for (int q = 0; q < width; ++q) {
                const int dy = down[row + q];
                if (dy == kFar) continue;
                const int first = std::max(0, q - half[dy]);
                lastFrom[first] = std::max(lastFrom[first], q + half[dy]);
            }
            int last = -1;
            for (int x = 0; x < width; ++x) {
                last = std::max(last, lastFrom[x]);
                within[row + x] = x <= last ? 1 : 0;
            }
        }
    });
    return within;
}

void Soften(Matte& matte, double px) {
    if (!(px > 0.0)) return;  // no blur at all: not even the clamp
    const std::vector<float> weights = GaussianWeights(px / 2.0);
    const bool anyNan =
        std::any_of(matte.alpha.begin(), matte.alpha.end(), [](float a) { return std::isnan(a); });
    std::vector<float> pass(matte.alpha.size());
    if (!anyNan) {
        BlurPass(matte.alpha, pass, nullptr, nullptr, matte.width, matte.height, weights, true);
        BlurPass(pass, matte.alpha, nullptr, nullptr, matte.width, matte.height, weights, false);
    } else {
        std::vector<float> in = matte.alpha;
        std::vector<float> valid(in.size());
        for (std::size_t i = 0; i < in.size(); ++i) {
            valid[i] = std::isnan(in[i]) ? 0.0f : 1.0f;
            if (std::isnan(in[i])) in[i] = 0.0f;
        }
        std::vector<float> passValid(in.size());
        std::vector<float> out(in.size());
        std::vector<float> outValid(in.size());
        BlurPass(in, pass, &valid, &passValid, matte.width, matte.height, weights, true);
        BlurPass(pass, out, &passValid, &outValid, matte.width, matte.height, weights, false);
        for (std::size_t i = 0; i < out.size(); ++i) {
            if (!std::isnan(matte.alpha[i])) matte.alpha[i] = out[i];
        }
    }
    ClampMatte(matte);
}

void ApplyShapes(Matte& matte, const ShapeMattes& shapes, bool garbage, bool holdout) {
    const std::size_t count = matte.alpha.size();
    if (shapes.width != matte.width || shapes.height != matte.height ||
        (garbage && shapes.garbage.size() != count) ||
        (holdout && shapes.holdout.size() != count)) {
        throw std::invalid_argument(
            "garbage and holdout mattes of " + std::to_string(shapes.width) + " x " +
            std::to_string(shapes.height) + " for a frame of " + std::to_string(matte.width) +
            " x " + std::to_string(matte.height));
    }
    // Coverage outside 0..1 counts as its nearest end; NaN coverage as none.
    auto coverage = [](float c) { return c > 0.0f ? std::min(c, 1.0f) : 0.0f; };
    for (std::size_t i = 0; i < matte.alpha.size(); ++i) {
        float a = matte.alpha[i];
        if (garbage) a *= 1.0f - coverage(shapes.garbage[i]);
        // A NaN alpha stays NaN: std::max returns its first argument when unordered.
        if (holdout) a = std::max(a, coverage(shapes.holdout[i]));
        matte.alpha[i] = a;
    }
}

}  // namespace veskar::finish
