#include "app/settings/settings_text.h"

#include "app/control_values.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "host/operator.h"
#include "host/tags.h"

namespace veskar {
namespace {

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// A Lua name can stand as a key as it is; a reserved word cannot.
bool IsLuaName(const std::string& text) {
    static constexpr std::string_view kReserved[] = {
        "and",  "break", "do",  "else", "elseif", "end",    "false", "for",  "function", "goto", "if",
        "in",   "local", "nil", "not",  "or",     "repeat", "return", "then", "true",    "until", "while"};
    if (text.empty() || !IsAsciiLetter(text[0])) {
        return false;
    }
    for (char c : text) {
        if (!IsAsciiLetter(c) && !IsAsciiDigit(c)) {
            return false;
        }
    }
    for (std::string_view word : kReserved) {
        if (text == word) {
            return false;
        }
    }
    return true;
}

// Any other id is written as a quoted key, its quotes, backslashes and
// control bytes escaped so that the text still reads as the same id.
std::string Key(const std::string& id) {
    if (IsLuaName(id)) {
        return id;
    }
    std::string key = "[\"";
    for (char c : id) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            key += '\\';
            key += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\%03u", static_cast<unsigned>(byte));
            key += escaped;
        } else {
            key += c;
        }
    }
    return key + "\"]";
}

// The sign of the NaN that 0/0 gives on this machine (x86 gives a negative
// one, others a positive one); Lua computes 0/0 the same way when it reads the
// text back, so the writer chooses 0/0 or -(0/0) to keep the sign.
bool DivisionNanIsNegative() {
    volatile double zero = 0.0;
    return std::signbit(zero / zero);
}

}  // namespace

std::string SettingsNumber(double value) {
    // Lua's text has no NaN payloads: a NaN reads back with its sign and the
    // machine's quiet-NaN bits.
    if (std::isnan(value)) {
        return std::signbit(value) == DivisionNanIsNegative() ? "0/0" : "-(0/0)";
    }
    if (std::isinf(value)) {
        return value > 0 ? "1/0" : "-1/0";
    }
    // "-0" would read back as the integer 0 and lose its sign.
    if (value == 0.0 && std::signbit(value)) {
        return "-0.0";
    }
    // to_chars, unlike printf, ignores the locale: the decimal point is always
    // a point.
    char buf[40];
    const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 17);
    return std::string(buf, result.ptr);
}

std::string SettingsText(const SettingsValues& values, const std::string& toolName,
                         const std::string& className) {
    std::string text = "{\n\tTools = ordered() {\n\t\t" + Key(toolName) + " = " + className +
                       " {\n\t\t\tInputs = {\n";
    for (const auto& [id, value] : values) {
        text += "\t\t\t\t" + Key(id) + " = Input { Value = " + SettingsNumber(value) + ", },\n";
    }
    text += "\t\t\t},\n\t\t},\n\t},\n}\n";
    return text;
}

std::string SettingsText(const Operator& tool, const std::string& toolName,
                         const std::string& className) {
    SettingsValues values;
    for (const auto& input : tool.Inputs()) {
        if (HoldsNumber(*input)) {
            values.emplace_back(input->ID().Text(), input->Value());
        }
    }
    return SettingsText(values, toolName, className);
}

}  // namespace veskar
