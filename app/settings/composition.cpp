#include "app/settings/composition.h"

#include "app/cli_error.h"
#include "app/settings/settings_messages.h"

namespace veskar {

const FileTool& ChooseTool(const SettingsDocument& document, const std::string& path,
                           const std::string& toolName, const std::string& className) {
    std::vector<std::string> names;
    for (const FileTool& tool : document.tools) {
        names.push_back(tool.name);
    }
    if (!toolName.empty()) {
        for (const FileTool& tool : document.tools) {
            if (tool.name == toolName) {
                return tool;
            }
        }
        for (const auto& [name, otherClass] : document.otherTools) {
            if (name == toolName) {
                throw CliError(path + ": '" + Shown(toolName) + "' is " +
                               (otherClass.empty() ? "not a tool" : "a " + Shown(otherClass) + " tool") +
                               ", not a " + className + " tool");
            }
        }
        throw CliError(path + ": no " + className + " tool named '" + Shown(toolName) + "'" +
                       (names.empty() ? "" : " (" + className + " tools: " + JoinNames(names) + ")"));
    }
    if (document.tools.empty()) {
        std::string message = path + ": no " + className + " tool in the file";
        if (document.unnamedTools > 0) {
            message += " (" + std::to_string(document.unnamedTools) + " without a name)";
        } else if (!document.otherTools.empty()) {
            std::vector<std::string> others;
            for (const auto& [name, otherClass] : document.otherTools) {
                others.push_back(name + (otherClass.empty() ? "" : " (" + otherClass + ")"));
            }
            message += " (tools found: " + JoinNames(others) + ")";
        }
        throw CliError(message);
    }
    if (document.tools.size() > 1) {
        throw CliError(path + ": the file holds several " + className + " tools (" + JoinNames(names) +
                       "); pick one by name with --tool NAME");
    }
    return document.tools.front();
}

std::vector<std::string> OtherToolNames(const SettingsDocument& document, const std::string& className) {
    std::vector<std::string> names;
    for (const auto& [name, otherClass] : document.otherTools) {
        names.push_back(Shown(name) + (otherClass.empty() ? "" : " (" + Shown(otherClass) + ")"));
    }
    if (document.unnamedTools > 0) {
        names.push_back(std::to_string(document.unnamedTools) + " " + className + " tools without a name");
    }
    return names;
}

}  // namespace veskar
