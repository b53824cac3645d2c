// The working-space histograms of the page: per channel, the frame's values
// and the screen samples' over one range, with the key window drawn over them.
#include <algorithm>
#include <array>
#include <cmath>

#include "app/setup/screen_setup.h"
#include "app/setup/setup_search.h"
#include "app/tune/tune_session.h"
#include "host/tags.h"
#include "keying/colour_spaces.h"
#include "keying/snapshot.h"
#include "keying/staging.h"

namespace veskar::tune {
namespace {

using nlohmann::json;

constexpr int kBins = 128;
// A histogram reads about this many pixels at most, evenly over the frame,
// and as many of the screen samples.
constexpr double kMostPixels = 250000.0;
// The frame's range is taken between these quantiles: a few hot pixels
// would squeeze everything else into a bin or two.
constexpr double kTail = 0.001;

using ChannelValues = std::array<std::vector<float>, 3>;

// What a channel's window is held against, per pixel: the working-space
// value, or against a key image the value less the key image's pixel plus
// Value (the window moves with each key sample; shifted so, it stays put).
class WindowMeasure {
public:
    WindowMeasure(const Image& plate, const Image* key, int space, const std::array<double, 3>& value)
        : plate_(plate), key_(key), space_(space), value_(value),
          sx_(key ? static_cast<double>(key->Width()) / plate.Width() : 0.0),
          sy_(key ? static_cast<double>(key->Height()) / plate.Height() : 0.0) {}

    /// Adds the values of `rect`'s pixels, every `step`-th row and column;
    /// non-finite values, and pixels whose key pixel lies outside the key
    /// image, are left out (the render keys those with the last sample).
    void Add(ChannelValues& values, const ScreenRect& rect, int step) const {
        for (int y = rect.y; y < rect.y + rect.height; y += step) {
            for (int x = rect.x; x < rect.x + rect.width; x += step) {
                std::array<double, 3> p{};
                if (Measure(x, y, p)) {
                    for (int c = 0; c < 3; ++c) {
                        if (std::isfinite(p[c])) values[c].push_back(static_cast<float>(p[c]));
                    }
                }
            }
        }
    }

private:
    keying::Colour Working(const Image& image, int x, int y) const {
        const float* record = image.Plane1Pixel(x, y);
        return keying::ToWorkingSpace(space_, keying::Colour{record[0], record[1], record[2], 1.0f});
    }

    bool Measure(int x, int y, std::array<double, 3>& p) const {
        const keying::Colour working = Working(plate_, x, y);
        p = {working.r, working.g, working.b};
        if (key_ == nullptr) return true;
        const std::int32_t kx = keying::KeySampleCoordinate(x, sx_);
        const std::int32_t ky = keying::KeySampleCoordinate(y, sy_);
        if (!keying::KeySampleInside(kx, ky, key_->Width(), key_->Height())) return false;
        const keying::Colour key = Working(*key_, kx, ky);
        const double k[3] = {key.r, key.g, key.b};
        for (int c = 0; c < 3; ++c) p[c] = p[c] - k[c] + value_[c];
        return true;
    }

    const Image& plate_;
    const Image* key_;
    int space_;
    std::array<double, 3> value_;
    double sx_;
    double sy_;
};

// Every step-th row and column leaves at most about kMostPixels of `area`.
int StepFor(double area) { return std::max(1, static_cast<int>(std::ceil(std::sqrt(area / kMostPixels)))); }

std::vector<long> Bins(const std::vector<float>& values, double low, double high) {
    std::vector<long> bins(kBins, 0);
    const double scale = kBins / (high - low);
    for (float v : values) {
        if (v < low || v > high) continue;
        bins[static_cast<std::size_t>(std::min(kBins - 1, static_cast<int>((v - low) * scale)))] += 1;
    }
    return bins;
}

json Window(const Input& input) {
    const TagList& attrs = input.Attrs();
    return {{"id", input.ID().Text()},
            {"value", input.Value()},
            {"lower", attrs.GetDouble(kInpMinValue, -1e6)},
            {"upper", attrs.GetDouble(kInpMaxValue, 1e6)}};
}

// The range the histograms cover: the frame's between its tails, the
// screen samples' and the key window, within the window controls' limits.
std::pair<double, double> Range(std::vector<float> frame, const std::vector<float>& screen, double value,
                                const json& min, const json& max) {
    double low = value + min["value"].get<double>();
    double high = value + max["value"].get<double>();
    if (!frame.empty()) {
        const auto at = [&frame](double share) {
            const auto nth = frame.begin() + static_cast<std::ptrdiff_t>(share * static_cast<double>(frame.size() - 1));
            std::nth_element(frame.begin(), nth, frame.end());
            return static_cast<double>(*nth);
        };
        low = std::min(low, at(kTail));
        high = std::max(high, at(1.0 - kTail));
    }
    for (float v : screen) {
        low = std::min(low, static_cast<double>(v));
        high = std::max(high, static_cast<double>(v));
    }
    low = std::max(low, value + min["lower"].get<double>());
    high = std::min(high, value + max["upper"].get<double>());
    // An empty or reversed range still needs a width for its bins.
    if (!(high > low)) high = low + 1e-3;
    return {low, high};
}

}  // namespace

json TuneSession::Histogram(int frame) {
    const int number = CheckFrame(json(frame));
    const Frame& shown = LoadFrame(number);
    const Image& plate = *shown.source.image;
    const int space = keying::RoundMode(tool_->FindInput("Colorspace")->Value());
    std::array<double, 3> value{};
    for (int c = 0; c < 3; ++c) value[c] = tool_->FindInput(kValueIds[c])->Value();
    const WindowMeasure measure(plate, shown.key ? shown.key->image.get() : nullptr, space, value);
    ChannelValues frameValues;
    measure.Add(frameValues, ScreenRect{0, 0, plate.Width(), plate.Height()},
                StepFor(static_cast<double>(plate.Width()) * plate.Height()));
    double screenArea = 0.0;
    for (const ScreenRect& rect : samples_.screen) screenArea += static_cast<double>(rect.width) * rect.height;
    ChannelValues screenValues;
    for (const ScreenRect& rect : samples_.screen) {
        // Regions drawn on a frame of another size may not fit this one.
        if (static_cast<long long>(rect.x) + rect.width > plate.Width() ||
            static_cast<long long>(rect.y) + rect.height > plate.Height()) {
            continue;
        }
        measure.Add(screenValues, rect, StepFor(screenArea));
    }
    json channels = json::array();
    for (int c = 0; c < 3; ++c) {
        const json value = Window(*tool_->FindInput(kValueIds[c]));
        const json min = Window(*tool_->FindInput(kMinIds[c]));
        const json max = Window(*tool_->FindInput(kMaxIds[c]));
        const double start = value["value"].get<double>() + min["value"].get<double>();
        const double width = max["value"].get<double>() - min["value"].get<double>();
        const auto [low, high] = Range(frameValues[c], screenValues[c], value["value"].get<double>(), min, max);
        channels.push_back({{"name", ChannelLabel(space, c)},
                            {"low", low},
                            {"high", high},
                            {"frame", Bins(frameValues[c], low, high)},
                            {"screen", Bins(screenValues[c], low, high)},
                            {"value", value},
                            {"min", min},
                            {"max", max},
                            // The keyer's channel distance is 0 here, not halfway between the edges.
                            {"centre", start + width * width / 2.0}});
    }
    return {{"space", ColourSpaceName(space)},
            {"againstKeyImage", shown.key.has_value()},
            {"channels", std::move(channels)},
            {"revision", revision_}};
}

}  // namespace veskar::tune
