#include "app/setup/screen_setup.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "app/cli_error.h"
#include "app/setup/frame_regions.h"
#include "app/setup/matte_probe.h"
#include "app/text_match.h"
#include "host/operator.h"
#include "host/tool_instance.h"
#include "keying/colour_spaces.h"
#include "keying/key_signal.h"
#include "keying/snapshot.h"
#include "keying/staging.h"

namespace veskar {
namespace {

// Percentiles that bound the screen: the 1st and 99th leave out grain's tails
// and the odd stray pixel of subject caught in a rectangle.
constexpr double kLowPercentile = 0.01;
constexpr double kHighPercentile = 0.99;
// The window reaches half the sampled spread beyond it on each side, plus a
// floor of 0.01 (2.5 steps of an 8-bit channel, 3.6 degrees of hue), so that
// the parts of the screen no rectangle sampled, and a perfectly flat digital
// screen, still lie inside.
constexpr double kMarginOfSpread = 0.5;
constexpr double kMarginFloor = 0.01;
// Against a clean plate the samples measure the grain itself, and only its
// tails beyond the percentiles need room.
constexpr double kMarginOfSpreadKeyed = 0.25;
constexpr double kMarginFloorKeyed = 0.005;
// Without a key image the window reaches further along the directions in
// which a screen's colour varies with its lighting (the fall-off across a
// drape, soft shadows, a hot spot), and along which a subject seldom lies:
// brightness from 0.35 to twice what was sampled (a drape lit from one
// side spans that within a frame), and the distance from grey of a chroma
// channel (saturation, x and y, U and V, Cb and Cr) from 0.6 to twice. Toward
// grey it stops early: that is where subjects live, and a pixel mixed half and
// half of screen and subject should stay near half opaque.
constexpr double kShadowFactor = 0.35;
constexpr double kHighlightFactor = 2.0;
constexpr double kChromaTowardGrey = 0.6;
constexpr double kChromaAwayFromGrey = 2.0;
// A hue spread beyond this (a nearly grey screen, or samples of several
// colours) cannot separate anything; the hue window then holds the whole turn.
constexpr double kUsefulHueHalfSpread = 0.2;
// The matte rises from 0 at the window's reach to 1 a quarter of the reach
// further out: sharp enough that a subject close to the screen's colour stays
// solid, soft enough that mixed edge pixels get partial alpha.
constexpr double kOpaqueReach = 1.25;
// Against a clean plate the window holds only grain, and a pixel mixed of
// screen and subject differs from the plate in step with its coverage: the
// matte rises until the difference reaches a fifth of the channel's range,
// about where a subject differs from its screen in the channel that tells
// them apart, so partial coverage comes out as partial alpha.
constexpr double kKeyedOpaqueDifference = 0.2;
// Widths stay where Min = Value - width^2 / 2 keeps within the sliders' -1..1.
constexpr double kMaxWidth = 1.4;
// Mult Alpha's slider ends at 40.
constexpr double kMaxGain = 40.0;

// Each working space's channels p1..p3, in words and as labels. YUV's p2 is
// the red difference (V), p3 the blue (U).
struct WorkingChannel {
    const char* word;
    const char* label;
};
const WorkingChannel kWorkingChannels[5][3] = {{{"red", "R"}, {"green", "G"}, {"blue", "B"}},
                                               {{"hue", "H"}, {"saturation", "S"}, {"value", "V"}},
                                               {{"Y", "Y"}, {"x", "x"}, {"y", "y"}},
                                               {{"Y", "Y"}, {"V", "V"}, {"U", "U"}},
                                               {{"Y", "Y"}, {"Cb", "Cb"}, {"Cr", "Cr"}}};

double ControlValue(const Operator& tool, const char* id) {
    for (const auto& input : tool.Inputs()) {
        if (input->ID().Text() == std::string(id)) {
            return input->Value();
        }
    }
    throw CliError(std::string("the tool has no control '") + id + "'");
}

double Margin(double spread, bool keyed) {
    return keyed ? spread * kMarginOfSpreadKeyed + kMarginFloorKeyed : spread * kMarginOfSpread + kMarginFloor;
}

// How a channel of a working space relates to a screen's lighting.
enum class ChannelRole { Plain, Brightness, Chroma };

struct ChannelKind {
    ChannelRole role;
    double grey;  // the channel's value for a grey, for Chroma
};

ChannelKind KindOfChannel(std::int32_t mode, int channel) {
    constexpr double kCbCrGrey = 128.0 / 255.0;
    constexpr ChannelKind plain{ChannelRole::Plain, 0.0};
    constexpr ChannelKind brightness{ChannelRole::Brightness, 0.0};
    switch (mode) {
        case keying::kColourSpaceHsv:
            return channel == 0 ? plain : channel == 1 ? ChannelKind{ChannelRole::Chroma, 0.0} : brightness;
        case keying::kColourSpaceXyy:
            // The white point of the sRGB primaries.
            return channel == 0 ? brightness
                                : ChannelKind{ChannelRole::Chroma, channel == 1 ? 0.3127 : 0.3290};
        case keying::kColourSpaceYuv:
            return channel == 0 ? brightness : ChannelKind{ChannelRole::Chroma, 0.0};
        case keying::kColourSpaceYcbcr:
            return channel == 0 ? brightness : ChannelKind{ChannelRole::Chroma, kCbCrGrey};
        default:
            return plain;
    }
}



// Hues on their circle: returns the values moved by whole turns so that they
// form one arc starting after the widest empty stretch of the circle. A red
// screen's 0.98 and 0.02 become 0.98 and 1.02.
std::vector<double> UnwrapHues(const std::vector<double>& hues) {
    std::vector<double> turns(hues.size());
    for (std::size_t i = 0; i < hues.size(); ++i) turns[i] = hues[i] - std::floor(hues[i]);
    std::vector<double> sorted = turns;
    std::sort(sorted.begin(), sorted.end());
    double widestGap = sorted.front() + 1.0 - sorted.back();
    double cut = 0.0;  // the arc starts at or after this point of the turn
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        if (sorted[i] - sorted[i - 1] > widestGap) {
            widestGap = sorted[i] - sorted[i - 1];
            cut = sorted[i];
        }
    }
    for (double& t : turns) {
        if (t < cut) t += 1.0;
    }
    return turns;
}

struct Samples {
    std::array<std::vector<double>, 3> working;  // p1..p3, or differences from the key image
    std::array<std::vector<double>, 3> rgb;      // red, green, blue
};

Samples Collect(const Image& plate, const Image* keyImage, const std::vector<ScreenRect>& rects,
                std::int32_t mode) {
    Samples samples;
    const double sx = keyImage ? static_cast<double>(keyImage->Width()) / plate.Width() : 0.0;
    const double sy = keyImage ? static_cast<double>(keyImage->Height()) / plate.Height() : 0.0;
    for (const ScreenRect& rect : rects) {
        CheckRectInside(plate, rect);
        for (int y = rect.y; y < rect.y + rect.height; ++y) {
            const std::int32_t ky = keyImage ? keying::KeySampleCoordinate(y, sy) : 0;
            for (int x = rect.x; x < rect.x + rect.width; ++x) {
                const float* record = plate.Plane1Pixel(x, y);
                const keying::Colour colour{record[0], record[1], record[2], 1.0f};
                if (!std::isfinite(colour.r) || !std::isfinite(colour.g) || !std::isfinite(colour.b)) continue;
                const keying::Colour staged = keying::ToWorkingSpace(mode, colour);
                std::array<double, 3> working{staged.r, staged.g, staged.b};
                if (keyImage) {
                    // The render moves the window by the key image's staged pixel;
                    // the screen is what lies around it.
                    const std::int32_t kx = keying::KeySampleCoordinate(x, sx);
                    if (!keying::KeySampleInside(kx, ky, keyImage->Width(), keyImage->Height())) continue;
                    const float* keyRecord = keyImage->Plane1Pixel(kx, ky);
                    const keying::Colour key = keying::ToWorkingSpace(
                        mode, keying::Colour{keyRecord[0], keyRecord[1], keyRecord[2], 1.0f});
                    working[0] -= key.r;
                    working[1] -= key.g;
                    working[2] -= key.b;
                }
                if (!std::isfinite(working[0]) || !std::isfinite(working[1]) || !std::isfinite(working[2])) continue;
                for (int c = 0; c < 3; ++c) samples.working[c].push_back(working[c]);
                samples.rgb[0].push_back(colour.r);
                samples.rgb[1].push_back(colour.g);
                samples.rgb[2].push_back(colour.b);
            }
        }
    }
    return samples;
}

// The raw signal of the keyer (gamma included, before offset and gain) for a
// colour whose term is `x` on one channel and 0 on the others, computed by the
// keyer's own key signal.
double RawSignal(const keying::Snapshot& shaping, std::int32_t falloff, std::int32_t keyer, double x) {
    keying::Snapshot snapshot = shaping;
    // A quarter of the signal keeps the clamp at 1 out of the way (no curve
    // gives more than 2); the quarter is exact in binary.
    snapshot.offset = 0.0;
    snapshot.gain = 0.25;
    snapshot.invertAlpha = 0;
    keying::StagingState state;
    state.windowStart = {0.0, 0.0, 0.0};
    state.windowWidth = {1.0, 1.0, 1.0};
    // With start 0 and width 1 the distance is |s - 0.5|.
    const auto staged = keying::WorkingColour(static_cast<float>(0.5 + x / snapshot.fade), 0.5f, 0.5f);
    return 4.0 * keying::KeyMatte(staged, state, snapshot, falloff, keyer);
}

// The tool's shaping controls, read once, with the falloff and keyer modes.
struct KeyShape {
    keying::Snapshot shaping;
    std::int32_t mode = 0;
    std::int32_t falloff = 0;
    std::int32_t keyer = 0;
    double fade = 0.0;
};

KeyShape ShapeOf(const Operator& tool, int colourSpace) {
    keying::SnapshotValues current{};
    for (int i = 0; i < keying::kSnapControlCount; ++i) current[i] = ControlValue(tool, kSnapshotIds[i]);
    if (colourSpace >= 0) current[keying::kSnapColorspace] = colourSpace;
    KeyShape shape;
    shape.shaping = keying::MakeSnapshot(current);
    shape.mode = shape.shaping.colorSpace;
    shape.falloff = keying::RoundMode(ControlValue(tool, "keyfall"));
    shape.keyer = keying::RoundMode(ControlValue(tool, "keyalgo"));
    shape.fade = shape.shaping.fade;
    if (!(shape.fade > 0.0) || !std::isfinite(shape.fade)) {
        throw CliError("FadeRed is " + SettingsNumber(shape.fade) +
                       ": the matte cannot follow the screen; set FadeRed above 0 (0.5 is the default)");
    }
    if (shape.falloff < keying::kFalloffLinear || shape.falloff > keying::kFalloffBCos) {
        throw CliError("keyfall is " + SettingsNumber(ControlValue(tool, "keyfall")) +
                       ", which has no falloff curve; set it to Linear, Cosine, HalfCos or BCos");
    }
    return shape;
}

// The range each channel's window must hold the screen in.
struct ScreenRanges {
    std::array<double, 3> low{};
    std::array<double, 3> high{};
    bool periodicHue = false;  // the hue window lies across the wrap from 1 to 0
};

// The hue's range, taken on its circle. Returns whether the window must repeat
// with the hue.
bool HueRange(std::vector<double>& values, bool keyed, ScreenRanges& ranges, ScreenSetup& setup) {
    const std::vector<double> arc = UnwrapHues(values);
    // Whole turns that the raw values differ from the arc by: when they
    // are not all the same, the screen lies across the wrap.
    const double firstShift = std::round(arc.front() - values.front());
    bool acrossWrap = false;
    for (std::size_t i = 0; i < values.size(); ++i) {
        acrossWrap = acrossWrap || std::round(arc[i] - values[i]) != firstShift;
    }
    values = arc;
    double& low = ranges.low[0];
    double& high = ranges.high[0];
    low = Percentile(values, kLowPercentile);
    high = Percentile(values, kHighPercentile);
    const double margin = Margin(high - low, keyed);
    low -= margin;
    high += margin;
    if ((high - low) / 2.0 > kUsefulHueHalfSpread) {
        // The hue cannot tell screen from subject: the window holds every hue.
        low = 0.0 - kMarginFloor;
        high = 1.0 + kMarginFloor;
        setup.notes.push_back("the screen's hue spreads too far to key on; hue holds every value");
        return false;
    }
    return acrossWrap || (!keyed && (low < 0.0 || high >= 1.0));
}

// A channel's range other than hue: the sampled percentiles with a margin,
// and without a key image reaching along the screen's lighting.
void ChannelRange(std::vector<double>& values, std::int32_t mode, int c, bool keyed, ScreenRanges& ranges) {
    double& low = ranges.low[c];
    double& high = ranges.high[c];
    low = Percentile(values, kLowPercentile);
    high = Percentile(values, kHighPercentile);
    const double margin = Margin(high - low, keyed);
    const double sampledLow = low;
    const double sampledHigh = high;
    low -= margin;
    high += margin;
    const ChannelKind kind = KindOfChannel(mode, c);
    if (keyed || kind.role == ChannelRole::Plain) return;
    if (kind.role == ChannelRole::Brightness) {
        low = std::min(low, sampledLow * kShadowFactor);
        high = std::max(high, sampledHigh * kHighlightFactor);
    } else if (sampledLow >= kind.grey) {
        low = std::min(low, kind.grey + (sampledLow - kind.grey) * kChromaTowardGrey);
        high = std::max(high, kind.grey + (sampledHigh - kind.grey) * kChromaAwayFromGrey);
        // Saturation ends at 1.
        if (mode == keying::kColourSpaceHsv) high = std::min(high, std::max(1.0, sampledHigh) + margin);
    } else if (sampledHigh <= kind.grey) {
        low = std::min(low, kind.grey + (sampledLow - kind.grey) * kChromaAwayFromGrey);
        high = std::max(high, kind.grey + (sampledHigh - kind.grey) * kChromaTowardGrey);
    }
    // A screen whose chroma straddles grey in this channel keeps its margin alone.
}

ScreenRanges RangesOf(Samples& samples, std::int32_t mode, bool keyed, ScreenSetup& setup) {
    ScreenRanges ranges;
    for (int c = 0; c < 3; ++c) {
        if (mode == keying::kColourSpaceHsv && c == 0) {
            ranges.periodicHue = HueRange(samples.working[c], keyed, ranges, setup);
        } else {
            ChannelRange(samples.working[c], mode, c, keyed, ranges);
        }
    }
    return ranges;
}

// Where the matte starts along the curve, and each channel's window width.
struct Ramp {
    double reach = 0.0;        // x = Fade * distance where the matte starts
    double opaqueReach = 0.0;  // the factor of the reach at which it is opaque
    std::array<double, 3> width{};
};

// The hue window across red needs a curve that repeats: with the term
// x = 2 * hue distance (Cosine, BCos) or 4 * hue distance (HalfCos), a
// whole turn of hue is one period of the curve, so 0.98 and 0.02 lie 0.04
// apart as they do on the circle. Linear does not repeat.
void RepeatWithHue(const ScreenRanges& ranges, KeyShape& shape, ScreenSetup& setup) {
    if (ranges.periodicHue && shape.falloff == keying::kFalloffLinear) {
        shape.falloff = keying::kFalloffCosine;
        setup.values.emplace_back("keyfall", keying::kFalloffCosine);
        setup.notes.push_back(
            "the screen's hue lies across red, where hue wraps from 1 to 0: Key Falloff set to Cosine, whose "
            "curve repeats with the hue");
    }
}

// Places the ramp: the reach along the curve where the matte starts, and the
// widths that put every channel's range at that reach. With a key image every
// channel's range becomes the widest. The hue window is moved to its period.
Ramp PlanRamp(const KeyShape& shape, bool keyed, ScreenRanges& ranges, ScreenSetup& setup) {
    const std::int32_t falloff = shape.falloff;
    const bool periodicHue = ranges.periodicHue;
    std::array<double, 3>& low = ranges.low;
    std::array<double, 3>& high = ranges.high;
    const double periodUnits = !periodicHue ? 0.0 : falloff == keying::kFalloffHalfCos ? 4.0 : 2.0;
    Ramp ramp;
    // Where the matte starts, in terms of x = Fade * distance: inside the range
    // where the curve rises, with room to reach opaque at twice the distance.
    ramp.reach = falloff == keying::kFalloffLinear || falloff == keying::kFalloffHalfCos ? 0.5 : 0.25;
    // Where each curve stops rising: cos(pi x) turns at 1, cos(pi/2 x) at 2.
    const double risingEnd = falloff == keying::kFalloffLinear   ? std::numeric_limits<double>::infinity()
                             : falloff == keying::kFalloffHalfCos ? 2.0
                                                                  : 1.0;
    std::array<double, 3> halfSpread{};
    for (int c = 0; c < 3; ++c) halfSpread[c] = (high[c] - low[c]) / 2.0;
    ramp.opaqueReach = kOpaqueReach;
    if (keyed) {
        // Against a clean plate what is left on the screen is grain, about
        // the same in every channel, and a subject shows in whichever channel
        // it differs in: every channel gets the widest window.
        const double widest = *std::max_element(halfSpread.begin(), halfSpread.end());
        for (int c = 0; c < 3; ++c) {
            const double middle = (low[c] + high[c]) / 2.0;
            halfSpread[c] = widest;
            low[c] = middle - widest;
            high[c] = middle + widest;
        }
        ramp.opaqueReach = std::max(kOpaqueReach, kKeyedOpaqueDifference / widest);
    }
    // A wide channel would need a width beyond the sliders: the reach grows
    // instead (every width shrinks with it), as far as the curve keeps rising.
    const double widest = *std::max_element(halfSpread.begin() + (periodicHue ? 1 : 0), halfSpread.end());
    const double widestReach = std::min(shape.fade * widest / kMaxWidth, risingEnd / ramp.opaqueReach);
    if (periodicHue) {
        // The hue's width is fixed by the period, so its reach follows the
        // hue's spread; where another channel needs more, the hue window
        // widens with it.
        ramp.reach = std::min(std::max(periodUnits * halfSpread[0], widestReach), risingEnd / ramp.opaqueReach);
        const double centre = (low[0] + high[0]) / 2.0;
        low[0] = centre - ramp.reach / periodUnits;
        high[0] = centre + ramp.reach / periodUnits;
    } else {
        ramp.reach = std::max(ramp.reach, widestReach);
    }
    for (int c = 0; c < 3; ++c) {
        ramp.width[c] = periodicHue && c == 0 ? shape.fade / periodUnits : shape.fade * halfSpread[c] / ramp.reach;
        if (ramp.width[c] > kMaxWidth) {
            ramp.width[c] = kMaxWidth;
            setup.notes.push_back("the " + ChannelName(shape.mode, c) +
                                  " window is held at the sliders' widest; the screen's far " +
                                  ChannelName(shape.mode, c) + " may show");
        }
    }
    return ramp;
}

// Offset Alpha and Mult Alpha: the matte 0 at the reach and 1 at the opaque
// reach, measured with the keyer's own key signal.
struct Gain {
    double offset = 0.0;
    double mult = 0.0;
};

Gain GainOf(const KeyShape& shape, const Ramp& ramp, ScreenSetup& setup) {
    const double start = RawSignal(shape.shaping, shape.falloff, shape.keyer, ramp.reach);
    const double opaque = RawSignal(shape.shaping, shape.falloff, shape.keyer, ramp.reach * ramp.opaqueReach);
    double gain = 1.0 / (opaque - start);
    if (!std::isfinite(start) || !std::isfinite(gain) || !(gain > 0.0)) {
        throw CliError("the matte does not rise away from the screen with GammaAlpha " +
                       SettingsNumber(shape.shaping.gamma) + "; set GammaAlpha to 1");
    }
    if (gain > kMaxGain) {
        gain = kMaxGain;
        setup.notes.push_back("Mult Alpha held at its limit of 40: edges will be softer than usual");
    }
    return {-start, gain};
}

// The signal's share of the screen pixels below which the matte is 0: grain
// and a stray pixel of spill may stay just off it.
constexpr double kScreenSignalShare = 0.995;
// The core's signal must clear the screen's by this factor for a ramp
// between them to mean anything.
constexpr double kLeastSeparation = 1.05;

std::vector<double> Signals(const MatteProbe& probe, const PixelSamples& samples) {
    std::vector<double> signals;
    signals.reserve(samples.Size());
    for (std::size_t i = 0; i < samples.Size(); ++i) {
        const double signal = probe.Signal(samples.colour[i], samples.key.empty() ? nullptr : &samples.key[i]);
        if (std::isfinite(signal)) signals.push_back(signal);
    }
    return signals;
}

// Offset Alpha and Mult Alpha that put the matte's ramp between the screen
// and the subject: 0 over (nearly) every screen pixel, 1 over (nearly) every
// pixel of the subject's core, so that a pixel mixed of the two gets an alpha
// close to its share of subject. False, with a note, when the space does not
// hold the two apart.
bool FitRampToSubject(const Operator& tool, const FrameRegions& regions, double coreShare, ScreenSetup& setup,
                      Gain& gain) {
    if (regions.core.Size() == 0 || regions.screen.Size() == 0) {
        setup.notes.push_back("no subject was found apart from the screen; the matte rises just past the screen");
        return false;
    }
    const MatteProbe probe(tool, setup.values);
    std::vector<double> screen = Signals(probe, regions.screen);
    std::vector<double> core = Signals(probe, regions.core);
    if (screen.empty() || core.empty()) return false;
    const double start = Percentile(screen, kScreenSignalShare);
    const double opaque = Percentile(core, coreShare);
    if (!(opaque > start * kLeastSeparation + 1e-6)) {
        setup.notes.push_back("the subject's colours reach into the screen's in this colour space; the matte rises "
                              "just past the screen");
        return false;
    }
    gain = {-start, 1.0 / (opaque - start)};
    char line[160];
    std::snprintf(line, sizeof line,
                  "the matte rises from the screen's key signal %.3f to the subject's %.3f (%zu screen and %zu "
                  "subject pixels)",
                  start, opaque, screen.size(), core.size());
    setup.notes.push_back(line);
    if (gain.mult > kMaxGain) {
        gain.mult = kMaxGain;
        setup.notes.push_back("Mult Alpha held at its limit of 40: edges will be harder than the subject allows");
    }
    return true;
}

// The key colour: the screen's median colour, or, with a key image, the key
// image's own pixel (Value 0). Returns the Value sliders.
std::array<double, 3> SetKeyColour(Samples& samples, std::int32_t mode, bool keyed, ScreenSetup& setup) {
    std::array<double, 3> value{};
    if (!keyed) {
        std::array<double, 3> rgb{};
        for (int c = 0; c < 3; ++c) rgb[c] = Percentile(samples.rgb[c], 0.5);
        setup.values.emplace_back("CRed", rgb[0]);
        setup.values.emplace_back("CGreen", rgb[1]);
        setup.values.emplace_back("CBlue", rgb[2]);
        // What the key colour's reaction puts in the Value sliders.
        const keying::Colour staged = keying::ToWorkingSpace(
            mode, keying::Colour{static_cast<float>(rgb[2]), static_cast<float>(rgb[1]),
                                 static_cast<float>(rgb[0]), 1.0f});
        value = {staged.r, staged.g, staged.b};
    }
    for (int c = 0; c < 3; ++c) setup.values.emplace_back(kValueIds[c], value[c]);
    return value;
}

// The windows around the ranges: Min and Max per channel.
void SetWindows(const ScreenRanges& ranges, const Ramp& ramp, const std::array<double, 3>& value, std::int32_t mode,
                ScreenSetup& setup) {
    for (int c = 0; c < 3; ++c) {
        double centre = (ranges.low[c] + ranges.high[c]) / 2.0;
        // A hue centre a whole turn away from the key's hue is the same hue.
        if (mode == keying::kColourSpaceHsv && c == 0) centre -= std::round(centre - value[c]);
        ChannelWindow& window = setup.windows[c];
        window.low = ranges.low[c];
        window.high = ranges.high[c];
        window.centre = centre;
        window.width = ramp.width[c];
        // The distance is 0 at Min + Value + width^2 / 2 (with a key image at
        // Min + key pixel - Value + width^2 / 2).
        setup.values.emplace_back(kMinIds[c], centre - value[c] - ramp.width[c] * ramp.width[c] / 2.0);
    }
    for (int c = 0; c < 3; ++c) {
        const double minimum = setup.windows[c].centre - value[c] - ramp.width[c] * ramp.width[c] / 2.0;
        setup.values.emplace_back(kMaxIds[c], minimum + ramp.width[c]);
    }
}

}  // namespace

std::string ChannelName(std::int32_t mode, int channel) {
    if (mode >= 0 && mode <= 4) return kWorkingChannels[mode][channel].word;
    return "p" + std::to_string(channel + 1);
}

std::string ChannelLabel(std::int32_t mode, int channel) {
    if (mode >= 0 && mode <= 4) return kWorkingChannels[mode][channel].label;
    return "p" + std::to_string(channel + 1);
}

double Percentile(std::vector<double>& values, double share) {
    const auto index = static_cast<std::size_t>(std::lround(share * static_cast<double>(values.size() - 1)));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
    return values[index];
}

void CheckRectInside(const Image& plate, const ScreenRect& rect) {
    if (rect.width < 1 || rect.height < 1 || rect.x < 0 || rect.y < 0 || rect.x > plate.Width() - rect.width ||
        rect.y > plate.Height() - rect.height) {
        throw CliError("the rectangle " + RectText(rect) + " reaches outside the " + std::to_string(plate.Width()) +
                           " x " + std::to_string(plate.Height()) + " plate",
                       2);
    }
}

std::string RectText(const ScreenRect& rect) {
    return std::to_string(rect.x) + "," + std::to_string(rect.y) + "," + std::to_string(rect.width) + "," +
           std::to_string(rect.height);
}

std::string DescribeScreenSetup(const ScreenSetup& setup, int colourSpace) {
    std::string text = std::to_string(setup.samples) + " screen pixels; the window keys";
    for (int c = 0; c < 3; ++c) {
        char range[96];
        std::snprintf(range, sizeof range, "%s %s %.3f to %.3f", c ? "," : "", ChannelName(colourSpace, c).c_str(),
                      setup.windows[c].low, setup.windows[c].high);
        text += range;
    }
    return text;
}

ScreenRect ParseScreenRect(const std::string& option, const std::string& text) {
    const std::vector<std::string> parts = SplitList(text, ',');
    std::array<int, 4> numbers{};
    if (parts.size() != 4) {
        throw CliError(option + " " + text + ": expected X,Y,W,H (a rectangle of screen)", 2);
    }
    for (std::size_t i = 0; i < 4; ++i) {
        const std::string& part = parts[i];
        const auto result = std::from_chars(part.data(), part.data() + part.size(), numbers[i]);
        if (part.empty() || result.ec != std::errc() || result.ptr != part.data() + part.size()) {
            throw CliError(option + " " + text + ": '" + part + "' is not a whole number", 2);
        }
    }
    if (numbers[2] < 1 || numbers[3] < 1) {
        throw CliError(option + " " + text + ": the width and height must be at least 1", 2);
    }
    return {numbers[0], numbers[1], numbers[2], numbers[3]};
}

ScreenSetup PlanScreenSetup(const Operator& tool, const Image& plate, const Image* keyImage,
                            const std::vector<ScreenRect>& rects, const SetupContext& context) {
    KeyShape shape = ShapeOf(tool, context.colourSpace);
    const bool keyed = keyImage != nullptr;
    Samples samples = Collect(plate, keyImage, rects, shape.mode);
    const std::size_t count = samples.working[0].size();
    if (count == 0) {
        throw CliError("no usable screen pixels in the rectangles (every one was not a number or infinite" +
                       std::string(keyed ? ", or outside the key image)" : ")"));
    }
    ScreenSetup setup;
    setup.samples = static_cast<long>(count);
    if (context.colourSpace >= 0) setup.values.emplace_back("Colorspace", context.colourSpace);
    ScreenRanges ranges = RangesOf(samples, shape.mode, keyed, setup);
    RepeatWithHue(ranges, shape, setup);
    const Ramp ramp = PlanRamp(shape, keyed, ranges, setup);
    Gain gain = GainOf(shape, ramp, setup);
    const std::array<double, 3> value = SetKeyColour(samples, shape.mode, keyed, setup);
    SetWindows(ranges, ramp, value, shape.mode, setup);
    if (context.regions != nullptr) setup.rampToSubject = FitRampToSubject(tool, *context.regions, context.coreShare, setup, gain);
    setup.values.emplace_back("OffAlpha", gain.offset);
    setup.values.emplace_back("MultAlpha", gain.mult);
    return setup;
}

ScreenSetup PlanScreenSetup(const Operator& tool, const Image& plate, const Image* keyImage,
                            const std::vector<ScreenRect>& rects) {
    return PlanScreenSetup(tool, plate, keyImage, rects, SetupContext{});
}

void ApplyScreenSetup(host::ToolInstance& tool, const ScreenSetup& setup) {
    for (const auto& [id, value] : setup.values) {
        if (tool.FindInput(id) == nullptr) {
            throw CliError("the tool has no control '" + id + "'");
        }
    }
    // Twice: a set equal to what a control holds runs no reaction, so over a
    // tool set up before (a key colour already the screen's median, in
    // another space) a Value slider's reaction can rewrite the key colour
    // through the new space's conversion. The second pass sets again what a
    // reaction changed, and sets nothing over a fresh tool.
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& [id, value] : setup.values) tool.SetNumber(*tool.FindInput(id), value, 0.0);
    }
}

ScreenSetup SetUpScreen(host::ToolInstance& tool, const Image& plate, const Image* keyImage,
                        const std::vector<ScreenRect>& rects) {
    ScreenSetup setup = PlanScreenSetup(tool.Tool(), plate, keyImage, rects);
    ApplyScreenSetup(tool, setup);
    return setup;
}

}  // namespace veskar
