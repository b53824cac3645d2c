#pragma once

// A settings file's contents as plain data: its tools of the wanted class with
// their inputs, and the names of the composition's other tools.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

struct lua_State;

namespace veskar {

struct FileValue {
    enum class Kind { Number, Boolean, Text, Connection, ExpressionOnly, Missing, Other };
    Kind kind = Kind::Missing;
    double number = 0.0;
    bool boolean = false;
    bool tooLong = false;
    // The text value, the connection ("Merge1.Output") or, for Other, what the
    // value is ("a table").
    std::string text;
    bool hasExpression = false;
};

struct FileInput {
    std::string id;
    bool tooLong = false;
    int line = 0;
    FileValue value;
};

struct FileTool {
    std::string name;
    std::string className;
    int line = 0;
    // "" when the tool's Inputs are fine; otherwise what is wrong with them.
    std::string inputsProblem;
    std::vector<FileInput> inputs;
    std::size_t unnamedInputs = 0;
};

/// One key of a section of plain values beside Tools (VeskarFinishing).
struct FileField {
    std::string key;       ///< "" with `keyProblem` set when the key is no name
    std::string keyProblem;
    FileValue value;       ///< a scalar, or Other for a table that is no list
    bool isList = false;   ///< a list of values: `list` holds them in order
    std::vector<FileValue> list;
};

/// A top-level table of plain values, as read.
struct FileSection {
    bool present = false;
    std::string problem;  ///< "" when the section is a table
    std::vector<FileField> fields;
};

/// The name of the section that holds the host-side finishing.
inline constexpr const char* kFinishingSection = "VeskarFinishing";

struct SettingsDocument {
    std::vector<FileTool> tools;  // of the wanted class, with their inputs
    std::vector<std::pair<std::string, std::string>> otherTools;  // name, class
    std::size_t unnamedTools = 0;  // of the wanted class, without a name
    FileSection finishing;  // VeskarFinishing = { ... }, beside Tools
};

/// The evaluated file (its value on top of the sandbox's stack) as plain data;
/// tools whose constructor is one of `classNames` are read with their inputs.
/// Throws CliError naming `path` when the value is not a settings table.
SettingsDocument ReadDocument(lua_State* L, const std::string& path, const std::vector<std::string>& classNames);

}  // namespace veskar
