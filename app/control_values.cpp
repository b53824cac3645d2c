#include "app/control_values.h"

#include <charconv>

#include "app/text_match.h"
#include "host/operator.h"
#include "host/tags.h"

namespace veskar {

bool HoldsNumber(const Input& input) {
    return !input.IsImage() &&
           input.Attrs().GetId(kLinkDataType, CLSID_DataType_Number) == CLSID_DataType_Number;
}

std::string ControlKind(const Input& input) {
    if (input.IsImage()) {
        return "Image";
    }
    if (!input.Attrs().Has(kInpControl)) {
        return "-";
    }
    std::string kind = input.Attrs().GetId(kInpControl, FuID()).Text();
    const std::string suffix = "Control";
    if (kind.size() > suffix.size() && kind.compare(kind.size() - suffix.size(), suffix.size(), suffix) == 0) {
        kind.resize(kind.size() - suffix.size());
    }
    return kind;
}

std::vector<std::string> EntriesOf(const Input& input) {
    std::vector<std::string> entries;
    const std::size_t count = input.Attrs().CountOf(kInpEntry);
    for (std::size_t i = 0; i < count; ++i) {
        entries.emplace_back(input.Attrs().GetText(kInpEntry, "", i));
    }
    return entries;
}

bool ParseControlValue(const Input& input, const std::string& text, double& value, std::string& error) {
    if (ParseNumber(text, value)) {
        return true;
    }
    const std::string id = input.ID().Text();
    const std::vector<std::string> entries = EntriesOf(input);
    if (!entries.empty()) {
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (entries[i] == text) {
                value = static_cast<double>(i);
                return true;
            }
        }
        std::string list;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            list += (i ? ", " : "") + entries[i];
        }
        error = "'" + ShownText(text) + "' is not an entry of " + id + " (" + list + ")";
        return false;
    }
    if (input.Attrs().GetId(kInpControl, FuID()) == CLSID_InputControl_Checkbox) {
        if (text == "on") {
            value = 1.0;
            return true;
        }
        if (text == "off") {
            value = 0.0;
            return true;
        }
        error = "'" + ShownText(text) + "' is not on, off or a number";
        return false;
    }
    error = "'" + ShownText(text) + "' is not a number";
    return false;
}

std::vector<std::string> InputIds(const Operator& tool) {
    std::vector<std::string> ids;
    for (const auto& input : tool.Inputs()) {
        ids.emplace_back(input->ID().Text());
    }
    return ids;
}

std::string UnknownControlMessage(const Operator& tool, const std::string& id) {
    std::string message = "unknown control '" + ShownText(id) + "'";
    const std::string closest = ClosestMatch(id, InputIds(tool));
    if (!closest.empty()) {
        message += " (did you mean '" + closest + "'?)";
    }
    return message;
}

std::string ShortNumber(double value) {
    char buf[40];
    const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general);
    return std::string(buf, result.ptr);
}

}  // namespace veskar
