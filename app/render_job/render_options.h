#pragma once

// What `veskar render` is asked to do, as its command line says it.

#include <string>
#include <vector>

#include "app/files/file_options.h"
#include "app/files/read_checks.h"
#include "app/finish/finish_options.h"
#include "app/movie/movie_options.h"
#include "app/subcommand.h"

namespace veskar {

/// One control change from the command line, applied in command-line order.
struct ControlStep {
    enum class Kind { Set, KeyColor, Pick, Screen };
    Kind kind;
    /// "ID=VALUE" for Set, "R,G,B" for KeyColor, "X,Y[,R]" for Pick,
    /// "X,Y,W,H" or "auto" for Screen (steps of Screen in a row are pooled)
    std::string text;
};

struct RenderOptions {
    std::string input;
    std::string output;
    std::string keyImage;
    std::vector<ControlStep> steps;
    std::vector<std::string> subjects;  ///< --subject rectangles for the screen setup
    std::string settingsFile;  ///< applied before the steps
    std::string toolName;      ///< which tool of the settings file; "" for the only one
    std::string saveSettings;
    std::string frames;  ///< "--frames" text; "" for a single image
    bool skipExisting = false;
    std::string preview;     ///< contact sheet to write, or ""
    int previewFrame = -1;   ///< frame shown in the preview; -1 for the first
    std::string type;        ///< output data type; "" follows the input
    int threads = 0;         ///< 0: one worker per core
    FileOptions files;       ///< parts, views, layers, alpha convention, container, colour spaces
    std::string commandLine; ///< for the ImageHistory of the files written
    ReadLimits readLimits;   ///< --max-memory, --lenient
    finish::FinishCommandLine finishing;  ///< --unmix, --despill, --clip-black, ... --clean-edges
    MovieOptions movie;      ///< --codec, --quality, --frame-rate of a movie output
};

/// Adds `render` to `app`; `argc` and `argv` are the command line recorded in
/// the files written.
Subcommand AddRenderCommand(CLI::App& app, int argc, char** argv);

}  // namespace veskar
