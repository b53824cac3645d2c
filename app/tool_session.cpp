#include "app/tool_session.h"

#include <cmath>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <system_error>

#include "app/cli_error.h"

namespace veskar {

bool MatteInverted(const host::ToolInstance& keyer) {
    return std::floor(keyer.FindInput("InvAlpha")->Value() + 0.5) == 1.0;
}

bool ColourPremultiplied(const host::ToolInstance& keyer) {
    return keyer.FindInput("Alphamult")->Value() == 1.0;
}

std::array<float, 3> KeyColour(const host::ToolInstance& keyer) {
    return {static_cast<float>(keyer.FindInput("CRed")->Value()), static_cast<float>(keyer.FindInput("CGreen")->Value()),
            static_cast<float>(keyer.FindInput("CBlue")->Value())};
}

std::string DefaultPluginFolder() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return "plugins";
    }
    return (exe.parent_path() / "plugins").string();
}

PluginSession::PluginSession(const std::string& folder) : folder_(folder) {
    try {
        for (const std::string& problem : plugins_.LoadFolder(folder)) {
            std::cerr << "veskar: warning: " << problem << " (skipped)\n";
        }
    } catch (const std::runtime_error& e) {
        throw CliError(e.what());
    }
}

const Registry& PluginSession::Class(const std::string& classId) const {
    const Registry* record = ClassRegistry.Find(classId);
    if (record == nullptr) {
        throw CliError("no plug-in in " + folder_ + " registers the tool class " + classId);
    }
    return *record;
}

}  // namespace veskar
