#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "app/setup/screen_setup.h"

namespace veskar {

/// The rectangles of --screen texts: "X,Y,W,H" parsed, "auto" looked for
/// along the border of `plate` (what it found goes to `log`). Throws CliError
/// naming the option for a bad rectangle, and when "auto" finds no screen it
/// can justify.
std::vector<ScreenRect> ResolveScreenRects(const std::vector<std::string>& texts, const Image& plate,
                                           std::ostream& log);

/// "--screen A --screen B" for the texts, as messages name the option.
std::string ScreenOptionText(const std::vector<std::string>& texts);

/// What --screen is asked to do besides its rectangles.
struct ScreenRequest {
    std::vector<std::string> screens;   ///< --screen texts: "X,Y,W,H" or "auto"
    std::vector<std::string> subjects;  ///< --subject texts: "X,Y,W,H"
    /// The user left Colorspace open (no --set, settings file or page set
    /// it): the setup chooses the space as well.
    bool chooseSpace = false;
    /// The frame's values are sRGB-encoded (screen and subject mix in linear
    /// light, before the encoding).
    bool displayEncoded = false;
    /// Judge setups for soft edges (SearchOptions::softEdges).
    bool softEdges = false;
};

/// The command line's --screen: the rectangles of all the texts are pooled
/// into one setup of `tool`, from `plate` and, when given, `keyImage`. The
/// matte's ramp is placed between the screen and the subject (the --subject
/// rectangles, or the core found in the frame), its length and, when asked,
/// the colour space chosen as scored by SearchSetups. What was found and
/// chosen goes to `log`. Throws CliError naming the option for a bad
/// rectangle, and when "auto" finds no screen it can justify.
ScreenSetup ApplyScreenOption(host::ToolInstance& tool, const ScreenRequest& request, const Image& plate,
                              const Image* keyImage, std::ostream& log);

/// Plans the setup of `request` for `rects` without setting anything: every
/// space (or the tool's) and, for soft edges or --subject, every ramp length
/// scored, the best kept; the ramp just past the screen in the tool's space
/// when nothing is to be chosen. The figures of the spaces go to `log`, each
/// line led by `shown` (the option or the page's words for the rectangles).
ScreenSetup PlanScreenRequest(host::ToolInstance& tool, const ScreenRequest& request, const Image& plate,
                              const Image* keyImage, const std::vector<ScreenRect>& rects, std::ostream& log,
                              const std::string& shown);

/// "sRGB"-like tags of values encoded for display.
bool DisplayEncoded(const std::string& colourSpace);

}  // namespace veskar
