#pragma once

#include <array>
#include <memory>
#include <string>

#include "host/plugin_loader.h"
#include "host/registry.h"
#include "host/tool_instance.h"

namespace veskar {

/// The registry id of the keyer.
inline constexpr const char* kKeyerClassId = "Ombrell.Veskar";

/// Whether the keyer's InvAlpha is on: its value rounded to the nearest
/// whole number is 1, as the tool rounds its modes.
bool MatteInverted(const host::ToolInstance& keyer);

/// Whether the keyed colour is premultiplied by the matte: "Alpha Multiply"
/// stores exactly 1 when on; any other value leaves the colour straight.
bool ColourPremultiplied(const host::ToolInstance& keyer);

/// The key colour (red, green, blue): CRed, CGreen and CBlue, which --screen
/// sets to the median of the screen's samples.
std::array<float, 3> KeyColour(const host::ToolInstance& keyer);

/// The plug-ins folder beside the running executable.
std::string DefaultPluginFolder();

/// The plug-ins of a folder, loaded for the life of the session. Problems with
/// single files are warnings on stderr; an unreadable folder is an error.
class PluginSession {
public:
    explicit PluginSession(const std::string& folder);

    /// The registration record of `classId`; throws CliError naming the class
    /// and the folder when no plug-in registered it.
    const Registry& Class(const std::string& classId) const;

    const host::PluginSet& Plugins() const noexcept { return plugins_; }
    const std::string& Folder() const noexcept { return folder_; }

private:
    std::string folder_;
    host::PluginSet plugins_;
};

}  // namespace veskar
