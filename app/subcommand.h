#pragma once

// A subcommand of veskar: its options are declared on the command line when it
// is added, and it runs when the command line names it.

#include <functional>
#include <string>

namespace CLI {
class App;
}

namespace veskar {

struct Subcommand {
    /// The subcommand's part of the command line, owned by the top CLI::App.
    CLI::App* command = nullptr;
    /// Runs it with the plug-ins of a folder; returns the exit status. Throws
    /// CliError for what went wrong, with its exit status.
    std::function<int(const std::string& pluginFolder)> run;
};

}  // namespace veskar
