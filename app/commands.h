#pragma once

#include <string>
#include <vector>

namespace veskar {

struct RenderOptions {
    std::string input;
    std::string output;
    std::string keyImage;
    std::vector<std::string> sets;  ///< ID=VALUE, in command-line order
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
