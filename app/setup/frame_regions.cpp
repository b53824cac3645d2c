#include "app/setup/frame_regions.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "app/cli_error.h"
#include "keying/staging.h"

namespace veskar {
namespace {

// A pixel is the subject's when its chromaticity lies this many of the
// screen's deviations from the screen's (measured along the screen's own
// spread: uneven light moves a screen's chromaticity along one direction),
// and the screen's when it lies within this many; between the two it is
// neither (edges, spill, shadow).
constexpr double kSubjectDeviations = 6.0;
constexpr double kScreenDeviations = 3.0;
// The screen's own deviations are measured again without the samples beyond
// this many, which are stray pixels of something else in the rectangles.
constexpr double kStrayDeviations = 4.0;
// The deviation has a floor: a flat digital screen has none, and grain of a
// few code values must not make every pixel far.
constexpr double kDeviationFloor = 0.004;
// Brightness (R + G + B) against the screen's 1st and 99th percentiles: much
// darker than the darkest lit screen or much brighter than the brightest is
// the subject whatever its chromaticity (black hair, a white shirt).
constexpr double kSubjectDarker = 0.4;
constexpr double kSubjectBrighter = 2.5;
// Below this brightness chromaticity is mostly grain.
constexpr double kChromaFloor = 0.03;
// How far inside its region a pixel must be: the ramp lies in between.
constexpr int kInset = 6;
// Each set is thinned to about this many pixels.
constexpr std::size_t kMostSamples = 40000;
// An edge pixel's screen and core are the means of those within this many
// pixels: past the inset on each side, so that a contour pixel sees both.
constexpr int kEdgeReach = kInset + 2;
constexpr std::size_t kMostEdgeSamples = 20000;

keying::Colour PixelColour(const Image& image, int x, int y) {
    const float* record = image.Plane1Pixel(x, y);
    return keying::Colour{record[0], record[1], record[2], 1.0f};
}

bool Finite(const keying::Colour& c) { return std::isfinite(c.r) && std::isfinite(c.g) && std::isfinite(c.b); }

double Brightness(const keying::Colour& c) {
    return static_cast<double>(c.r) + static_cast<double>(c.g) + static_cast<double>(c.b);
}

// Red and green of the chromaticity (blue is what they leave of 1).
std::array<double, 2> Chroma(const keying::Colour& c) {
    const double sum = std::max(Brightness(c), kChromaFloor);
    return {c.r / sum, c.g / sum};
}


// The screen's colours: the mean chromaticity and the inverse of its
// covariance, and the brightness of its darkest and brightest lit parts.
struct ScreenModel {
    std::array<double, 2> chroma{};
    std::array<double, 3> inverse{};  // xx, xy, yy
    double darkest = 0.0;
    double brightest = 0.0;

    double Deviations(const std::array<double, 2>& ch) const {
        const double dx = ch[0] - chroma[0];
        const double dy = ch[1] - chroma[1];
        return std::sqrt(std::max(0.0, dx * dx * inverse[0] + 2.0 * dx * dy * inverse[1] + dy * dy * inverse[2]));
    }
};

// Fits the mean and covariance of the chromaticities `chroma` for which
// `keep` holds.
template <typename Keep>
void FitChroma(const std::vector<std::array<double, 2>>& chroma, Keep keep, ScreenModel& model) {
    double n = 0.0;
    std::array<double, 2> sum{};
    for (const auto& ch : chroma) {
        if (!keep(ch)) continue;
        n += 1.0;
        sum[0] += ch[0];
        sum[1] += ch[1];
    }
    if (n < 1.0) return;
    const std::array<double, 2> mean{sum[0] / n, sum[1] / n};
    double xx = 0.0, xy = 0.0, yy = 0.0;
    for (const auto& ch : chroma) {
        if (!keep(ch)) continue;
        xx += (ch[0] - mean[0]) * (ch[0] - mean[0]);
        xy += (ch[0] - mean[0]) * (ch[1] - mean[1]);
        yy += (ch[1] - mean[1]) * (ch[1] - mean[1]);
    }
    const double floor = kDeviationFloor * kDeviationFloor;
    xx = xx / n + floor;
    yy = yy / n + floor;
    xy /= n;
    const double determinant = xx * yy - xy * xy;
    model.chroma = mean;
    model.inverse = {yy / determinant, -xy / determinant, xx / determinant};
}

ScreenModel ModelScreen(const Image& plate, const std::vector<ScreenRect>& rects) {
    std::vector<std::array<double, 2>> chroma;
    std::vector<double> brightness;
    for (const ScreenRect& rect : rects) {
        CheckRectInside(plate, rect);
        for (int y = rect.y; y < rect.y + rect.height; ++y) {
            for (int x = rect.x; x < rect.x + rect.width; ++x) {
                const keying::Colour c = PixelColour(plate, x, y);
                if (!Finite(c)) continue;
                chroma.push_back(Chroma(c));
                brightness.push_back(Brightness(c));
            }
        }
    }
    ScreenModel model;
    if (brightness.empty()) return model;
    FitChroma(chroma, [](const std::array<double, 2>&) { return true; }, model);
    const ScreenModel first = model;
    FitChroma(chroma, [&first](const std::array<double, 2>& ch) { return first.Deviations(ch) <= kStrayDeviations; },
              model);
    model.darkest = Percentile(brightness, 0.01);
    model.brightest = Percentile(brightness, 0.99);
    return model;
}

enum Kind : std::uint8_t { kNeither = 0, kScreen = 1, kSubject = 2 };

std::uint8_t Classify(const ScreenModel& model, const keying::Colour& c) {
    if (!Finite(c)) return kNeither;
    const double brightness = Brightness(c);
    if (brightness < model.darkest * kSubjectDarker) return kSubject;
    const double deviations = model.Deviations(Chroma(c));
    // The screen's brightness varies with its light far beyond what a few
    // rectangles sample (a drape lit from one side): of the screen's
    // chromaticity, only what is much darker than its darkest sample counts
    // as something else.
    if (deviations <= kScreenDeviations) return kScreen;
    if (brightness > model.brightest * kSubjectBrighter) return kSubject;
    return brightness >= kChromaFloor && deviations > kSubjectDeviations ? kSubject : kNeither;
}

// Whether every pixel within kInset of (x, y) is of `kind`, from the running
// sums of the pixels that are. The sums are kept modulo 2^32: a window's
// count, a difference of four of them, is exact whatever the frame's size.
class Inset {
public:
    Inset(const std::vector<std::uint8_t>& kinds, int width, int height, std::uint8_t kind)
        : width_(width), height_(height), sums_(static_cast<std::size_t>(width + 1) * (height + 1), 0u) {
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const bool is = kinds[static_cast<std::size_t>(y) * width + x] == kind;
                Sum(x + 1, y + 1) = Sum(x, y + 1) + Sum(x + 1, y) - Sum(x, y) + (is ? 1u : 0u);
            }
        }
    }

    bool Inside(int x, int y) const {
        const int x0 = std::max(0, x - kInset);
        const int y0 = std::max(0, y - kInset);
        const int x1 = std::min(width_, x + kInset + 1);
        const int y1 = std::min(height_, y + kInset + 1);
        const std::uint32_t count = Get(x1, y1) - Get(x0, y1) - Get(x1, y0) + Get(x0, y0);
        return count == static_cast<std::uint32_t>((x1 - x0) * (y1 - y0));
    }

private:
    std::uint32_t& Sum(int x, int y) { return sums_[static_cast<std::size_t>(y) * (width_ + 1) + x]; }
    std::uint32_t Get(int x, int y) const { return sums_[static_cast<std::size_t>(y) * (width_ + 1) + x]; }

    int width_;
    int height_;
    std::vector<std::uint32_t> sums_;
};

// Pairs plate pixels with the key image's pixels as the render does.
class KeyPairing {
public:
    KeyPairing(const Image& plate, const Image* keyImage)
        : key_(keyImage),
          sx_(keyImage ? static_cast<double>(keyImage->Width()) / plate.Width() : 0.0),
          sy_(keyImage ? static_cast<double>(keyImage->Height()) / plate.Height() : 0.0) {}

    /// Adds pixel (x, y) to `samples`; false when its key pixel lies outside.
    bool Add(PixelSamples& samples, const keying::Colour& colour, int x, int y) const {
        if (key_ != nullptr) {
            const std::int32_t kx = keying::KeySampleCoordinate(x, sx_);
            const std::int32_t ky = keying::KeySampleCoordinate(y, sy_);
            if (!keying::KeySampleInside(kx, ky, key_->Width(), key_->Height())) return false;
            samples.key.push_back(PixelColour(*key_, kx, ky));
        }
        samples.colour.push_back(colour);
        return true;
    }

private:
    const Image* key_;
    double sx_;
    double sy_;
};

// Every `step`th pixel (in both directions) of `kind`, at least kInset inside.
void Gather(const Image& plate, const std::vector<std::uint8_t>& kinds, std::uint8_t kind, const KeyPairing& pairing,
            PixelSamples& samples) {
    const int width = plate.Width();
    const int height = plate.Height();
    const Inset inset(kinds, width, height, kind);
    std::size_t count = 0;
    for (std::size_t i = 0; i < kinds.size(); ++i) count += kinds[i] == kind;
    const int step = std::max(1, static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count) / kMostSamples))));
    for (int y = 0; y < height; y += step) {
        for (int x = 0; x < width; x += step) {
            if (kinds[static_cast<std::size_t>(y) * width + x] != kind || !inset.Inside(x, y)) continue;
            pairing.Add(samples, PixelColour(plate, x, y), x, y);
        }
    }
}

// The mean colour (blue, green, red as the record holds them) of the pixels
// `mask` marks within kEdgeReach of (x, y); false when none is.
bool NearbyMean(const Image& plate, const std::vector<std::uint8_t>& mask, int x, int y, keying::Colour& mean) {
    double sum[3] = {0.0, 0.0, 0.0};
    long count = 0;
    for (int py = std::max(0, y - kEdgeReach); py <= std::min(plate.Height() - 1, y + kEdgeReach); ++py) {
        for (int px = std::max(0, x - kEdgeReach); px <= std::min(plate.Width() - 1, x + kEdgeReach); ++px) {
            if (!mask[static_cast<std::size_t>(py) * plate.Width() + px]) continue;
            const float* record = plate.Plane1Pixel(px, py);
            for (int k = 0; k < 3; ++k) sum[k] += record[k];
            ++count;
        }
    }
    if (count == 0) return false;
    mean = keying::Colour{static_cast<float>(sum[0] / count), static_cast<float>(sum[1] / count),
                          static_cast<float>(sum[2] / count), 1.0f};
    return true;
}

// The pixels that are neither screen nor core, with both within kEdgeReach:
// the contour and its mixes, each with the screen and core around it.
// `kinds` holds only the screen and the subject.
void GatherEdge(const Image& plate, const std::vector<std::uint8_t>& kinds, const KeyPairing& pairing,
                EdgeSamples& edge) {
    const int width = plate.Width();
    const int height = plate.Height();
    std::vector<std::uint8_t> screen(kinds.size());
    std::vector<std::uint8_t> core(kinds.size());
    const Inset inset(kinds, width, height, kSubject);
    std::size_t count = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * width + x;
            const bool finite = Finite(PixelColour(plate, x, y));
            screen[i] = kinds[i] == kScreen && finite;
            core[i] = kinds[i] == kSubject && finite && inset.Inside(x, y);
            count += !screen[i] && !core[i];
        }
    }
    const int step =
        std::max(1, static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count) / kMostEdgeSamples))));
    for (int y = 0; y < height; y += step) {
        for (int x = 0; x < width; x += step) {
            const std::size_t i = static_cast<std::size_t>(y) * width + x;
            const keying::Colour c = PixelColour(plate, x, y);
            keying::Colour s;
            keying::Colour f;
            if (screen[i] || core[i] || !Finite(c)) continue;
            if (!NearbyMean(plate, screen, x, y, s) || !NearbyMean(plate, core, x, y, f)) continue;
            PixelSamples one;
            if (!pairing.Add(one, c, x, y)) continue;
            edge.colour.push_back(c);
            edge.screen.push_back(s);
            edge.subject.push_back(f);
            if (!one.key.empty()) edge.key.push_back(one.key[0]);
        }
    }
}

}  // namespace

FrameRegions FindFrameRegions(const Image& plate, const Image* keyImage, const std::vector<ScreenRect>& rects,
                              const std::vector<ScreenRect>& subject) {
    const ScreenModel model = ModelScreen(plate, rects);
    const int width = plate.Width();
    const int height = plate.Height();
    std::vector<std::uint8_t> kinds(static_cast<std::size_t>(width) * height, kNeither);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) kinds[static_cast<std::size_t>(y) * width + x] = Classify(model, PixelColour(plate, x, y));
    }
    const KeyPairing pairing(plate, keyImage);
    FrameRegions regions;
    Gather(plate, kinds, kScreen, pairing, regions.screen);
    if (subject.empty()) {
        // Deep inside what is not screen lies the subject, whatever its
        // colour: a mix with the screen happens only near the screen.
        for (std::uint8_t& kind : kinds) kind = kind == kScreen ? kScreen : kSubject;
        Gather(plate, kinds, kSubject, pairing, regions.core);
        GatherEdge(plate, kinds, pairing, regions.edge);
        return regions;
    }
    for (const ScreenRect& rect : subject) {
        try {
            CheckRectInside(plate, rect);
        } catch (const CliError& e) {
            throw CliError(std::string("--subject: ") + e.what(), 2);
        }
        for (int y = rect.y; y < rect.y + rect.height; ++y) {
            for (int x = rect.x; x < rect.x + rect.width; ++x) {
                const keying::Colour c = PixelColour(plate, x, y);
                if (Finite(c)) pairing.Add(regions.core, c, x, y);
            }
        }
    }
    return regions;
}

}  // namespace veskar
