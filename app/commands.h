#pragma once

#include <string>
#include <vector>

namespace veskar {

/// One control change from the command line, applied in command-line order.
struct ControlStep {
    enum class Kind { Set, KeyColor };
    Kind kind;
    std::string text;  ///< "ID=VALUE" for Set, "R,G,B" for KeyColor
};

struct RenderOptions {
    std::string input;
    std::string output;
    std::string keyImage;
    std::vector<ControlStep> steps;
    std::string saveSettings;
    int threads = 0;  ///< 0: one worker per core
};

/// `veskar tools`: the tool classes the plug-ins registered.
int RunTools(const std::string& pluginFolder);
/// `veskar controls`: the keyer's control table.
int RunControls(const std::string& pluginFolder);
/// `veskar render`: keys one image file.
int RunRender(const std::string& pluginFolder, const RenderOptions& options);

}  // namespace veskar
