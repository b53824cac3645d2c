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

/// The command line's --screen: each text is "X,Y,W,H" or "auto" (rectangles
/// found along the frame border, printed to `log`). The rectangles of all the
/// texts are pooled into one setup of `tool`, from `plate` and, when given,
/// `keyImage`; the setup's notes go to `log`. Throws CliError naming the option
/// for a bad rectangle, and when "auto" finds no screen it can justify.
ScreenSetup ApplyScreenOption(host::ToolInstance& tool, const std::vector<std::string>& texts,
                              const Image& plate, const Image* keyImage, std::ostream& log);

}  // namespace veskar
