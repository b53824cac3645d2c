#include <CLI/CLI.hpp>

#include "app/tool_tables.h"

namespace veskar {

Subcommand AddToolsCommand(CLI::App& app) {
    return {app.add_subcommand("tools", "List the tool classes the plug-ins register"), RunTools};
}

Subcommand AddControlsCommand(CLI::App& app) {
    return {app.add_subcommand("controls", "Show the keyer's controls"), RunControls};
}

}  // namespace veskar
