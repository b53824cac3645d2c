#pragma once

#include <string>
#include <vector>

#include "app/files/file_options.h"
#include "app/files/read_checks.h"

namespace veskar {

/// Half the side of the square --pick averages when no radius is given: a 5 x 5
/// square, enough to average out grain on a screen.
inline constexpr int kDefaultPickRadius = 2;

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
};

/// `veskar tools`: the tool classes the plug-ins registered.
int RunTools(const std::string& pluginFolder);
/// `veskar controls`: the keyer's control table.
int RunControls(const std::string& pluginFolder);
/// `veskar sample`: writes the demo plate, clean plate and settings.
int RunSample(const std::string& folder);
/// `veskar render`: keys one image file or a sequence.
int RunRender(const std::string& pluginFolder, const RenderOptions& options);

}  // namespace veskar
