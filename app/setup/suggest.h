#pragma once

#include <string>
#include <vector>

#include "app/subcommand.h"

namespace veskar {

struct SuggestOptions {
    std::string plate;
    std::vector<std::string> screens;  ///< "X,Y,W,H" or "auto", pooled
    std::string keyImage;              ///< "" for none
    std::string output;                ///< settings file to write; "" for <plate name>.setting here
    int threads = 0;
};

/// `veskar suggest`: sets the key up from the screen rectangles in each of
/// the five colour spaces, keys the plate with each, prints per space how
/// cleanly the result separates (the sampled screen keyed clear, and how much
/// of the rest of the frame is left neither clear nor opaque), and writes the
/// settings of the best as a settings file.
int RunSuggest(const std::string& pluginFolder, const SuggestOptions& options);

/// Adds `suggest` to `app`.
Subcommand AddSuggestCommand(CLI::App& app);

}  // namespace veskar
