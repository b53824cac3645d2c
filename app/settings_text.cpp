#include "app/settings_text.h"

#include <cctype>
#include <cmath>
#include <cstdio>

#include "host/operator.h"
#include "host/tags.h"

namespace veskar {
namespace {

bool IsLuaName(const std::string& text) {
    if (text.empty() || std::isdigit(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    for (char c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') {
            return false;
        }
    }
    return true;
}

std::string Key(const std::string& id) {
    return IsLuaName(id) ? id : "[\"" + id + "\"]";
}

}  // namespace

std::string SettingsNumber(double value) {
    if (std::isnan(value)) {
        return "0/0";
    }
    if (std::isinf(value)) {
        return value > 0 ? "1/0" : "-1/0";
    }
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", value);
    return buf;
}

std::string SettingsText(const Operator& tool, const std::string& toolName,
                         const std::string& className) {
    std::string text = "{\n\tTools = ordered() {\n\t\t" + Key(toolName) + " = " + className +
                       " {\n\t\t\tInputs = {\n";
    for (const auto& input : tool.Inputs()) {
        if (input->IsImage() ||
            input->Attrs().GetId(kLinkDataType, CLSID_DataType_Number) != CLSID_DataType_Number) {
            continue;
        }
        text += "\t\t\t\t" + Key(input->ID().Text()) + " = Input { Value = " +
                SettingsNumber(input->Value()) + ", },\n";
    }
    text += "\t\t\t},\n\t\t},\n\t},\n}\n";
    return text;
}

}  // namespace veskar
