#pragma once

// Screen setup: "this is screen" turned into ordinary control values. The
// keyer's channel distance is 0 at window start + width^2 / 2, so a window
// around a screen colour is three numbers per channel that nobody finds by
// hand; this works them out from samples of the screen, with the keyer's own
// conversions, and sets them through the host's set path, so the tool's
// reactions run and a saved settings file holds nothing but control values.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "app/settings/settings_text.h"
#include "host/image.h"

class Operator;

namespace host {
class ToolInstance;
}

namespace veskar {

/// A rectangle of pixels: left column, top row, width and height.
struct ScreenRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

/// The tool's Value, Min and Max controls of the working channels p1..p3.
inline constexpr const char* kValueIds[3] = {"ValueRed", "ValueGreen", "ValueBlue"};
inline constexpr const char* kMinIds[3] = {"MiRedn", "MinGreen", "MinBlue"};
inline constexpr const char* kMaxIds[3] = {"MaxRed", "MaxGreen", "MaxBlue"};

/// Channel `channel` (0 to 2) of working space `mode` in words, as messages
/// name it ("red", "saturation", "Cb"); "p1".."p3" for any other mode.
std::string ChannelName(std::int32_t mode, int channel);
/// The same as a short label ("R", "S", "Cb").
std::string ChannelLabel(std::int32_t mode, int channel);

/// "X,Y,W,H" as the command line writes it ("120,0,40,30").
std::string RectText(const ScreenRect& rect);

/// Throws CliError (exit 2) when `rect` does not lie wholly in `plate`: "the
/// rectangle X,Y,W,H reaches outside the W x H plate".
void CheckRectInside(const Image& plate, const ScreenRect& rect);

/// The value below which `share` of the (unsorted, not empty) values lie;
/// reorders them.
double Percentile(std::vector<double>& values, double share);

/// Reads "X,Y,W,H" (whole numbers, W and H at least 1). Throws CliError (exit
/// 2) naming `option` and the text.
ScreenRect ParseScreenRect(const std::string& option, const std::string& text);

/// What the screen occupies in one channel of the working colour space, and
/// the window written for it.
struct ChannelWindow {
    double low = 0.0;     ///< lower end the window holds the screen from (margin included)
    double high = 0.0;    ///< upper end
    double centre = 0.0;  ///< where the channel distance is 0
    double width = 0.0;   ///< Max - Min
};

/// The control values that key the sampled screen, and what was found.
struct ScreenSetup {
    /// Control ids and values in the order to set them.
    SettingsValues values;
    /// One window per channel, p1..p3.
    std::array<ChannelWindow, 3> windows{};
    /// Pixels sampled (the rectangles pooled, non-finite pixels left out).
    long samples = 0;
    /// Whether the matte's ramp was placed between the screen and the
    /// subject's core (false: it rises just past the screen, as without a subject).
    bool rampToSubject = false;
    /// Things the user should know, one sentence each (a falloff changed to
    /// hold a hue across red, a gain held at its limit).
    std::vector<std::string> notes;
};

struct FrameRegions;

/// What a setup is worked out against besides the screen's rectangles.
struct SetupContext {
    /// The frame's certain screen and subject: the ramp is placed between
    /// them. Null: the matte rises from the screen's reach to a quarter further.
    const FrameRegions* regions = nullptr;
    /// The working colour space to set up in (written with the values); -1
    /// keeps the tool's Colorspace.
    int colourSpace = -1;
    /// The share of the subject's core left below opaque: the matte reaches 1
    /// at this quantile of the core's key signal. Higher shares give longer,
    /// softer ramps for subjects of varied colour and risk a partly clear core.
    double coreShare = 0.05;
};

/// One line saying what the setup holds: the samples and, per channel of the
/// working space, the range the window keys ("hue 0.405 to 0.430").
std::string DescribeScreenSetup(const ScreenSetup& setup, int colourSpace);

/// Works out the screen setup for the samples in `rects` of `plate`, in the
/// working colour space that `tool`'s Colorspace selects, for its current
/// falloff, keyer, Fade and Gamma Alpha:
/// - per channel the 1st and 99th percentiles of the samples (grain and a few
///   stray pixels leave the window alone), widened by a margin; hue taken on
///   its circle, so a red screen across the 0/1 wrap is one arc; the
///   brightness channel (V, Y) widened further without a key image, since a
///   screen's brightness varies with its lighting far more than its hue;
/// - without a key image the key colour is the screen's median colour, and Min
///   and Max put the window's zero around the screen; with `keyImage` the
///   samples are the differences from the key image at the positions the
///   render samples, Value is 0 (so the key colour is the key image's pixel)
///   and Min and Max describe the differences;
/// - Offset Alpha and Mult Alpha, with `context.regions`, put the matte at 0
///   over nearly all of the frame's screen and at 1 over nearly all of the
///   subject's core, measured with the keyer's own staging and key signal, so
///   that mixed edge pixels get partial alpha in step with their mix; without
///   (or when the space does not hold screen and subject apart) they make the
///   matte 0 inside the window and 1 a quarter beyond its reach.
/// Throws CliError for a rectangle outside the plate, a Fade of 0 (the matte
/// could not change) or no usable samples.
ScreenSetup PlanScreenSetup(const Operator& tool, const Image& plate, const Image* keyImage,
                            const std::vector<ScreenRect>& rects, const SetupContext& context);

/// PlanScreenSetup in the tool's space with the ramp just past the screen.
ScreenSetup PlanScreenSetup(const Operator& tool, const Image& plate, const Image* keyImage,
                            const std::vector<ScreenRect>& rects);

/// Sets the values of `setup` on `tool` through the set path, in order, so
/// that every control ends holding its value whatever the tool held before.
void ApplyScreenSetup(host::ToolInstance& tool, const ScreenSetup& setup);

/// PlanScreenSetup and ApplyScreenSetup in one: what --screen and the tuning
/// page do with rectangles of screen.
ScreenSetup SetUpScreen(host::ToolInstance& tool, const Image& plate, const Image* keyImage,
                        const std::vector<ScreenRect>& rects);

}  // namespace veskar
