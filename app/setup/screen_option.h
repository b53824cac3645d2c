#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "app/setup/screen_setup.h"

namespace veskar {

/// The command line's --screen: each text is "X,Y,W,H" or "auto" (rectangles
/// found along the frame border, printed to `log`). The rectangles of all the
/// texts are pooled into one setup of `tool`, from `plate` and, when given,
/// `keyImage`; the setup's notes go to `log`. Throws CliError naming the option
/// for a bad rectangle, and when "auto" finds no screen it can justify.
ScreenSetup ApplyScreenOption(host::ToolInstance& tool, const std::vector<std::string>& texts,
                              const Image& plate, const Image* keyImage, std::ostream& log);

}  // namespace veskar
