#pragma once

// The composition a settings file holds: which of its tools of our class is
// applied, and what else it holds that a text for this tool alone would drop.

#include <string>
#include <vector>

#include "app/settings/settings_document.h"

namespace veskar {

/// The tool of `document` to apply: the one named `toolName`, or with "" the
/// only tool of the class `className`. Throws CliError naming `path` when it
/// is missing, of another class, or one of several (the message lists the
/// names, sorted).
const FileTool& ChooseTool(const SettingsDocument& document, const std::string& path,
                           const std::string& toolName, const std::string& className);

/// The composition's other tools as "Merge1 (Merge)", and a count of the
/// tools of the class without a name.
std::vector<std::string> OtherToolNames(const SettingsDocument& document, const std::string& className);

}  // namespace veskar
