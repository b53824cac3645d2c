#pragma once

// `veskar tools` and `veskar controls`: what the plug-ins register and the
// keyer's control table.

#include <string>

#include "app/subcommand.h"

namespace veskar {

/// `veskar tools`: the tool classes the plug-ins registered.
int RunTools(const std::string& pluginFolder);
/// `veskar controls`: the keyer's control table.
int RunControls(const std::string& pluginFolder);

/// Adds `tools` and `controls` to `app`.
Subcommand AddToolsCommand(CLI::App& app);
Subcommand AddControlsCommand(CLI::App& app);

}  // namespace veskar
