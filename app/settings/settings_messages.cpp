#include "app/settings/settings_messages.h"

#include <algorithm>
#include <cstdio>

namespace veskar {

// Text from a file as it can stand in a message: control characters escaped,
// cut to `limit` bytes.
std::string Shown(const std::string& text, std::size_t limit) {
    std::string shown;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (shown.size() >= limit) {
            shown += "...";
            break;
        }
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            shown += escaped;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// "path:line: " or "path: ".
std::string Where(const std::string& path, int line) {
    return line > 0 ? path + ":" + std::to_string(line) + ": " : path + ": ";
}

std::string JoinNames(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i == kMaxShownNames) {
            list += ", ... (" + std::to_string(names.size()) + " in all)";
            break;
        }
        list += (i ? ", " : "") + Shown(names[i]);
    }
    return list;
}

}  // namespace veskar
