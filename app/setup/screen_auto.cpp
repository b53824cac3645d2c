#include "app/setup/screen_auto.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "keying/colour_spaces.h"

namespace veskar {
namespace {

// A pixel counts as coloured from this saturation and value on: below them
// hue is mostly noise (greys, blacks, blown highlights).
constexpr double kMinSaturation = 0.2;
constexpr double kMinValue = 0.08;
// Hue histogram of 10-degree bins; the screen's hue is the best window of
// three neighbouring bins (30 degrees).
constexpr int kHueBins = 36;
// The screen's hue must cover this share of the border strip.
constexpr double kMinBorderShare = 0.35;
// A patch is screen when this share of its pixels has the screen's hue and
// no channel varies by more than this standard deviation (grain and the
// texture of a real screen stay well below it; an edge of the subject does not).
constexpr double kMinPatchShare = 0.98;
constexpr double kMaxPatchDeviation = 0.04;
// At least this many patches: one uniform patch could be part of the subject.
constexpr std::size_t kMinPatches = 2;
// At most this many are used, spread along the border.
constexpr std::size_t kMaxPatches = 12;

struct Hsv {
    double hue;
    double saturation;
    double value;
};

Hsv PixelHsv(const Image& plate, int x, int y) {
    const float* record = plate.Plane1Pixel(x, y);
    const keying::Colour hsv = keying::RgbToHsv(keying::Colour{record[0], record[1], record[2], 1.0f});
    return {hsv.r, hsv.g, hsv.b};
}

bool Coloured(const Hsv& hsv) {
    return hsv.saturation >= kMinSaturation && hsv.value >= kMinValue && std::isfinite(hsv.hue);
}

int HueBin(double hue) {
    const int bin = static_cast<int>(std::floor(hue * kHueBins));
    return ((bin % kHueBins) + kHueBins) % kHueBins;
}

// Whether `hue` lies in the three bins centred on `bin`.
bool InHueWindow(double hue, int bin) {
    const int distance = std::abs(HueBin(hue) - bin);
    return std::min(distance, kHueBins - distance) <= 1;
}

// The screen's hue along the border strip the patches cover: the best
// window of three neighbouring hue bins, and the share of the strip it covers.
struct BorderHue {
    int bin = 0;
    double share = 0;
};

BorderHue FindBorderHue(const Image& plate, int inset, int side) {
    const int width = plate.Width();
    const int height = plate.Height();
    std::array<long, kHueBins> histogram{};
    long stripPixels = 0;
    for (int y = 0; y < height; ++y) {
        const bool edgeRow = y < inset + side || y >= height - inset - side;
        for (int x = 0; x < width; ++x) {
            if (!edgeRow && x >= inset + side && x < width - inset - side) continue;
            ++stripPixels;
            const Hsv hsv = PixelHsv(plate, x, y);
            if (Coloured(hsv)) ++histogram[static_cast<std::size_t>(HueBin(hsv.hue))];
        }
    }
    int bestBin = 0;
    long bestCount = -1;
    for (int bin = 0; bin < kHueBins; ++bin) {
        const long count = histogram[static_cast<std::size_t>((bin + kHueBins - 1) % kHueBins)] +
                           histogram[static_cast<std::size_t>(bin)] +
                           histogram[static_cast<std::size_t>((bin + 1) % kHueBins)];
        if (count > bestCount) {
            bestCount = count;
            bestBin = bin;
        }
    }
    return {bestBin, static_cast<double>(bestCount) / static_cast<double>(std::max(stripPixels, 1L))};
}

// Patches along the border, clockwise from the top-left corner.
std::vector<ScreenRect> BorderPatches(int width, int height, int inset, int side) {
    std::vector<ScreenRect> candidates;
    const int right = width - inset - side;
    const int bottom = height - inset - side;
    for (int x = inset; x <= right; x += side) candidates.push_back({x, inset, side, side});
    for (int y = inset + side; y <= bottom; y += side) candidates.push_back({right, y, side, side});
    for (int x = right - side; x >= inset; x -= side) candidates.push_back({x, bottom, side, side});
    for (int y = bottom - side; y >= inset + side; y -= side) candidates.push_back({inset, y, side, side});
    return candidates;
}

// Whether `rect` is screen: nearly all of it in the hue window of `bin`, and
// no channel varying by more than grain does.
bool UniformPatch(const Image& plate, const ScreenRect& rect, int bin) {
    long inHue = 0;
    double sum[3] = {0, 0, 0};
    double squares[3] = {0, 0, 0};
    for (int y = rect.y; y < rect.y + rect.height; ++y) {
        for (int x = rect.x; x < rect.x + rect.width; ++x) {
            const Hsv hsv = PixelHsv(plate, x, y);
            inHue += Coloured(hsv) && InHueWindow(hsv.hue, bin);
            const float* record = plate.Plane1Pixel(x, y);
            for (int c = 0; c < 3; ++c) {
                sum[c] += record[c];
                squares[c] += static_cast<double>(record[c]) * record[c];
            }
        }
    }
    const double n = static_cast<double>(rect.width) * rect.height;
    bool flat = static_cast<double>(inHue) >= kMinPatchShare * n;
    for (int c = 0; c < 3 && flat; ++c) {
        const double mean = sum[c] / n;
        const double variance = std::max(0.0, squares[c] / n - mean * mean);
        flat = std::sqrt(variance) <= kMaxPatchDeviation;
    }
    return flat;
}

}  // namespace

ScreenSearch FindScreenRects(const Image& plate) {
    ScreenSearch search;
    const int width = plate.Width();
    const int height = plate.Height();
    const int side = std::clamp(std::min(width, height) / 10, 4, 64);
    // Patches sit two pixels in: the very edge of a frame often holds a line of
    // black or codec ringing.
    const int inset = std::min(2, std::min(width, height) / 8);
    if (width < side + 2 * inset || height < side + 2 * inset) {
        search.reason = "the frame is too small to look for a screen";
        return search;
    }

    const BorderHue hue = FindBorderHue(plate, inset, side);
    char text[160];
    if (hue.share < kMinBorderShare) {
        std::snprintf(text, sizeof text,
                      "no screen colour along the frame border (the most common saturated hue covers %.0f%% of it, "
                      "under %.0f%%)",
                      hue.share * 100.0, kMinBorderShare * 100.0);
        search.reason = text;
        return search;
    }

    const std::vector<ScreenRect> candidates = BorderPatches(width, height, inset, side);
    std::vector<ScreenRect> uniform;
    for (const ScreenRect& rect : candidates) {
        if (UniformPatch(plate, rect, hue.bin)) uniform.push_back(rect);
    }
    if (uniform.size() < kMinPatches) {
        std::snprintf(text, sizeof text,
                      "the border's hue of %.0f degrees shows in only %zu uniform patch%s of %d x %d pixels, "
                      "too few to call it a screen",
                      (hue.bin + 0.5) * 360.0 / kHueBins, uniform.size(), uniform.size() == 1 ? "" : "es", side,
                      side);
        search.reason = text;
        return search;
    }
    // Spread the patches used along the border, so that a screen lit unevenly
    // is sampled from its dark and its bright side.
    const std::size_t used = std::min(uniform.size(), kMaxPatches);
    for (std::size_t i = 0; i < used; ++i) {
        search.rects.push_back(uniform[i * uniform.size() / used]);
    }
    std::snprintf(text, sizeof text,
                  "screen hue about %.0f degrees on %.0f%% of the frame border, %zu of %zu border patches uniform",
                  (hue.bin + 0.5) * 360.0 / kHueBins, hue.share * 100.0, uniform.size(), candidates.size());
    search.summary = text;
    return search;
}

}  // namespace veskar
