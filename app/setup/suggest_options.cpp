#include <memory>

#include <CLI/CLI.hpp>

#include "app/option_checks.h"
#include "app/setup/suggest.h"

namespace veskar {

Subcommand AddSuggestCommand(CLI::App& app) {
    CLI::App* suggest = app.add_subcommand(
        "suggest", "Set the key up from screen rectangles in each colour space, compare, write the best");
    auto options = std::make_shared<SuggestOptions>();
    suggest->add_option("plate", options->plate, "Image to key")->required();
    suggest->add_option("--screen", options->screens, "Screen pixels: X,Y,W,H or auto (repeatable, pooled)")
        ->allow_extra_args(false)
        ->required();
    suggest->add_option("--key-image", options->keyImage, "Clean plate the screen is measured against");
    suggest->add_option("-o,--output", options->output,
                        "Settings file to write (default: the plate's name with .setting, here)");
    suggest->add_option("--threads", options->threads, "Worker threads (0: one per core)")->check(ThreadCount());
    return {suggest, [options](const std::string& pluginFolder) { return RunSuggest(pluginFolder, *options); }};
}

}  // namespace veskar
