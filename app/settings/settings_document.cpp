#include "app/settings/settings_document.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include <lua.hpp>

#include "app/cli_error.h"
#include "app/settings/sandbox.h"
#include "app/settings/settings_messages.h"

namespace veskar {
namespace {

// Text kept from a file at most (bytes): names and texts of any length reach
// messages shortened, and values this long are no control's.
constexpr std::size_t kMaxKeptText = 1000;

// Texts of the finishing section at most (bytes): a polygon of many points
// is a long text.
constexpr std::size_t kMaxSectionText = std::size_t{1} << 20;

// The string at `index` (which must be one), kept up to `keep` bytes.
std::string KeptText(lua_State* L, int index, bool* tooLong = nullptr, std::size_t keep = kMaxKeptText) {
    std::size_t length = 0;
    const char* data = lua_tolstring(L, index, &length);
    if (tooLong != nullptr) {
        *tooLong = length > keep;
    }
    return std::string(data, std::min(length, keep));
}

bool IsKey(lua_State* L, int index, const char* name) {
    if (lua_type(L, index) != LUA_TSTRING) {
        return false;
    }
    std::size_t length = 0;
    const char* data = lua_tolstring(L, index, &length);
    return length == std::strlen(name) && std::memcmp(data, name, length) == 0;
}

// The extraction below runs outside Lua's protection, so it uses only calls
// that neither allocate nor raise errors: lua_next over tables (keys are never
// converted in place), raw gets with values already on the stack, and
// conversions of values of the right type. Fields are found by walking the
// table rather than by pushing their names.

// Calls `visit()` with each key at -2 and value at -1; `visit` leaves the stack
// as it found it and returns false to stop.
template <class Visit>
void ForEachField(lua_State* L, int table, Visit&& visit) {
    table = lua_absindex(L, table);
    lua_pushnil(L);
    while (lua_next(L, table) != 0) {
        const bool more = visit();
        lua_pop(L, 1);
        if (!more) {
            lua_pop(L, 1);
            return;
        }
    }
}

// Pushes the table's field `name` (nil when absent).
void PushField(lua_State* L, int table, const char* name) {
    table = lua_absindex(L, table);
    bool found = false;
    ForEachField(L, table, [&] {
        if (IsKey(L, -2, name)) {
            lua_pushvalue(L, -1);
            lua_insert(L, -3);  // below the key and value that ForEachField pops
            found = true;
            return false;
        }
        return true;
    });
    if (!found) {
        lua_pushnil(L);
    }
}

// What a value is, for messages about values that are none.
std::string Describe(lua_State* L, int index) {
    switch (lua_type(L, index)) {
        case LUA_TTABLE: {
            const std::string className = ConstructorTagOf(L, index, kMaxKeptText).first;
            return className.empty() ? "a table" : "a " + Shown(className) + " { } table";
        }
        case LUA_TUSERDATA: {
            // The only full userdata a settings file can make is a constructor.
            std::string name = "?";
            if (lua_getiuservalue(L, index, 1) == LUA_TSTRING) {
                name = KeptText(L, -1);
            }
            lua_pop(L, 1);
            return "the name " + Shown(name) + " (not a value)";
        }
        case LUA_TNIL:
            return "nil";
        default:
            return std::string("a ") + lua_typename(L, lua_type(L, index));
    }
}

// A scalar at `index` as a value; anything else is Other. Texts are kept up
// to `keep` bytes.
FileValue ScalarValue(lua_State* L, int index, std::size_t keep = kMaxKeptText) {
    FileValue value;
    switch (lua_type(L, index)) {
        case LUA_TNUMBER:
            value.kind = FileValue::Kind::Number;
            // Integers become doubles as the writer's integers were.
            value.number = lua_tonumberx(L, index, nullptr);
            break;
        case LUA_TBOOLEAN:
            value.kind = FileValue::Kind::Boolean;
            value.boolean = lua_toboolean(L, index) != 0;
            break;
        case LUA_TSTRING:
            value.kind = FileValue::Kind::Text;
            value.text = KeptText(L, index, &value.tooLong, keep);
            break;
        default:
            value.kind = FileValue::Kind::Other;
            value.text = Describe(L, index);
            break;
    }
    return value;
}

// An entry of Inputs: `Input { Value = v, }`, `Input { SourceOp = "Merge1",
// Source = "Output", }`, or a bare scalar.
FileValue InputValue(lua_State* L, int index) {
    index = lua_absindex(L, index);
    if (lua_type(L, index) != LUA_TTABLE) {
        return ScalarValue(L, index);
    }
    FileValue value;
    bool hasValue = false;
    std::string sourceOp;
    std::string source;
    bool connected = false;
    ForEachField(L, index, [&] {
        if (IsKey(L, -2, "Value")) {
            const bool expression = value.hasExpression;
            value = ScalarValue(L, -1);
            value.hasExpression = expression;
            hasValue = true;
        } else if (IsKey(L, -2, "SourceOp")) {
            connected = true;
            sourceOp = lua_type(L, -1) == LUA_TSTRING ? KeptText(L, -1) : "?";
        } else if (IsKey(L, -2, "Source")) {
            source = lua_type(L, -1) == LUA_TSTRING ? KeptText(L, -1) : "";
        } else if (IsKey(L, -2, "Expression")) {
            value.hasExpression = true;
        }
        return true;
    });
    if (hasValue) {
        return value;
    }
    if (connected) {
        value.kind = FileValue::Kind::Connection;
        value.text = source.empty() ? sourceOp : sourceOp + "." + source;
    } else {
        value.kind = value.hasExpression ? FileValue::Kind::ExpressionOnly : FileValue::Kind::Missing;
    }
    return value;
}

void ReadInputs(lua_State* L, int toolTable, FileTool& tool) {
    PushField(L, toolTable, "Inputs");
    const int inputs = lua_gettop(L);
    if (lua_type(L, inputs) == LUA_TNIL) {
        // A tool saved with every control at its default lists no inputs.
    } else if (lua_type(L, inputs) != LUA_TTABLE) {
        tool.inputsProblem = "Inputs is " + Describe(L, inputs) + ", not a table of inputs";
    } else {
        ForEachField(L, inputs, [&] {
            if (lua_type(L, -2) != LUA_TSTRING) {
                ++tool.unnamedInputs;
                return true;
            }
            FileInput input;
            input.id = KeptText(L, -2, &input.tooLong);
            if (lua_type(L, -1) == LUA_TTABLE) {
                input.line = ConstructorTagOf(L, -1, kMaxKeptText).second;
            }
            input.value = InputValue(L, -1);
            tool.inputs.push_back(std::move(input));
            return true;
        });
        // Tables have no order; the file's lines give the messages one.
        std::sort(tool.inputs.begin(), tool.inputs.end(), [](const FileInput& a, const FileInput& b) {
            return std::tie(a.line, a.id) < std::tie(b.line, b.id);
        });
    }
    lua_pop(L, 1);
}

// A value of the section: a scalar, or a list { a, b, ... } read in order.
FileField SectionField(lua_State* L) {
    FileField field;
    if (lua_type(L, -2) == LUA_TSTRING) {
        field.key = KeptText(L, -2);
    } else {
        field.keyProblem = "a key that is " + Describe(L, -2) + ", not a name";
    }
    if (lua_type(L, -1) != LUA_TTABLE) {
        field.value = ScalarValue(L, -1, kMaxSectionText);
        return field;
    }
    field.isList = true;
    std::vector<std::pair<lua_Integer, FileValue>> items;
    ForEachField(L, -1, [&] {
        if (!lua_isinteger(L, -2)) {
            field.isList = false;
            return false;
        }
        items.emplace_back(lua_tointegerx(L, -2, nullptr), ScalarValue(L, -1, kMaxSectionText));
        return true;
    });
    if (!field.isList) {
        field.value.kind = FileValue::Kind::Other;
        field.value.text = "a table with named fields, not a list";
        return field;
    }
    std::sort(items.begin(), items.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& item : items) field.list.push_back(std::move(item.second));
    return field;
}

FileSection ReadSection(lua_State* L, int root, const char* name) {
    FileSection section;
    PushField(L, root, name);
    const int table = lua_gettop(L);
    if (lua_type(L, table) == LUA_TTABLE) {
        section.present = true;
        ForEachField(L, table, [&] {
            section.fields.push_back(SectionField(L));
            return true;
        });
    } else if (lua_type(L, table) != LUA_TNIL) {
        section.present = true;
        section.problem = std::string(name) + " is " + Describe(L, table) + ", not a table";
    }
    lua_settop(L, table - 1);
    return section;
}

}  // namespace

SettingsDocument ReadDocument(lua_State* L, const std::string& path,
                              const std::vector<std::string>& classNames) {
    const int root = lua_gettop(L);
    if (lua_type(L, root) != LUA_TTABLE) {
        throw CliError(path + ": the file holds " + Describe(L, root) +
                       ", not a settings table { Tools = ordered() { ... } }");
    }
    PushField(L, root, "Tools");
    const int tools = lua_gettop(L);
    if (lua_type(L, tools) == LUA_TNIL) {
        throw CliError(path + ": no Tools in the settings table (expected { Tools = ordered() { ... } })");
    }
    if (lua_type(L, tools) != LUA_TTABLE) {
        throw CliError(path + ": Tools is " + Describe(L, tools) + ", not a table of tools");
    }
    SettingsDocument document;
    ForEachField(L, tools, [&] {
        if (lua_type(L, -1) != LUA_TTABLE) {
            return true;
        }
        const auto [className, line] = ConstructorTagOf(L, -1, kMaxKeptText);
        const bool wanted = std::find(classNames.begin(), classNames.end(), className) != classNames.end();
        if (lua_type(L, -2) != LUA_TSTRING) {
            document.unnamedTools += wanted ? 1 : 0;
            return true;
        }
        if (!wanted) {
            if (document.otherTools.size() < kMaxShownNames) {
                document.otherTools.emplace_back(KeptText(L, -2), className);
            }
            return true;
        }
        FileTool tool;
        tool.name = KeptText(L, -2);
        tool.className = className;
        tool.line = line;
        ReadInputs(L, -1, tool);
        document.tools.push_back(std::move(tool));
        return true;
    });
    lua_settop(L, root);
    document.finishing = ReadSection(L, root, kFinishingSection);
    return document;
}

}  // namespace veskar
