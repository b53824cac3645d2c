#include "app/settings_file.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <tuple>
#include <utility>

#include <lua.hpp>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "app/cli_error.h"
#include "app/control_values.h"
#include "app/interrupt.h"
#include "host/operator.h"
#include "host/tags.h"

namespace veskar {
namespace {

// Bounds of one settings file's evaluation. A settings file is data: real ones
// take a few kilobytes and a few thousand instructions, so the bounds stop a
// runaway or hostile file long before it troubles the machine.
constexpr std::size_t kMemoryLimit = std::size_t{64} << 20;
constexpr std::size_t kFileSizeLimit = std::size_t{16} << 20;
constexpr long long kInstructionLimit = 10'000'000;
constexpr std::chrono::milliseconds kTimeLimit{1000};
// The hook runs after every instruction, not every few thousand: some single
// instructions cost time in proportion to the data (comparing or joining two
// strings of many megabytes, `next` over a large sparse table), and thousands
// of them between two looks at the clock would run for minutes. Settings files
// run a few thousand instructions, so the hook's cost does not show.
constexpr int kHookInterval = 1;

// What the messages show at most: a file can hold names and texts of any
// length, and one warning per unknown input.
constexpr std::size_t kMaxWarnings = 100;
constexpr std::size_t kMaxErrors = 10;
constexpr std::size_t kMaxKeptText = 1000;
constexpr std::size_t kMaxShownText = 80;
constexpr std::size_t kMaxShownNames = 20;

// The chunk's name in Lua's messages, replaced by the file's path afterwards
// (Lua shortens long chunk names; the path must reach the user whole).
constexpr const char* kChunkName = "=<settings>";
constexpr const char* kChunkTag = "<settings>";
constexpr const char* kConstructorType = "constructor";

// Registry keys (their addresses) of the weak tables that remember, for each
// table passed to a constructor, the constructor's name and the line.
const char kClassTags = 0;
const char kLineTags = 0;

// Globals a settings file cannot reach. Reading one is an error that says so,
// instead of the constructor every other unknown name yields. Besides the
// libraries that touch files, processes or the environment, this keeps out
// code loading, the garbage collector's controls, metatables (finalizers and
// metamethods would run outside the bounds' view), pcall (it could swallow
// the bounds' errors) and the string and table libraries (pattern matching
// and sorting run long inside C, where the instruction count does not reach).
constexpr const char* kUnavailable[] = {
    "os",      "io",       "debug",     "package",        "require",        "module",
    "load",    "loadfile", "dofile",    "loadstring",     "collectgarbage", "print",
    "pcall",   "xpcall",   "error",     "assert",         "warn",           "setmetatable",
    "getmetatable", "string", "table",  "utf8",           "coroutine",      "unpack",
    "setfenv", "getfenv",  "newproxy",  "gcinfo",
};

// ---------------------------------------------------------------------------
// Bounds: the allocator's and the hook's shared state.

struct Budget {
    std::size_t used = 0;
    long long instructions = 0;
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    enum class Stop { None, Instructions, Time } stop = Stop::None;
    int stopLine = 0;
};

// Refuses growth beyond kMemoryLimit; Lua then collects garbage and, when that
// does not help, fails with a memory error.
void* BoundedAlloc(void* userData, void* block, std::size_t oldSize, std::size_t newSize) noexcept {
    auto* budget = static_cast<Budget*>(userData);
    // Without a block, oldSize tells the kind of object, not a size.
    const std::size_t old = block != nullptr ? oldSize : 0;
    if (newSize == 0) {
        std::free(block);
        budget->used -= old;
        return nullptr;
    }
    if (newSize > old && newSize - old > kMemoryLimit - budget->used) {
        return nullptr;
    }
    void* resized = std::realloc(block, newSize);
    if (resized == nullptr) {
        // A block that cannot shrink stays as it is and still serves.
        return newSize <= old ? block : nullptr;
    }
    budget->used = budget->used - old + newSize;
    return resized;
}

Budget& BudgetOf(lua_State* L) {
    void* userData = nullptr;
    lua_getallocf(L, &userData);
    return *static_cast<Budget*>(userData);
}

void CountHook(lua_State* L, lua_Debug* ar) {
    Budget& budget = BudgetOf(L);
    budget.instructions += kHookInterval;
    if (budget.stop == Budget::Stop::None) {
        if (budget.instructions > kInstructionLimit) {
            budget.stop = Budget::Stop::Instructions;
        } else if (std::chrono::steady_clock::now() > budget.deadline) {
            budget.stop = Budget::Stop::Time;
        }
        if (budget.stop != Budget::Stop::None && lua_getinfo(L, "l", ar) != 0) {
            budget.stopLine = ar->currentline;
        }
    }
    if (budget.stop != Budget::Stop::None) {
        // Every instruction from now on fails again, so that nothing can
        // outlast the error (the message is made from the budget afterwards).
        lua_pushliteral(L, "stopped");
        lua_error(L);
    }
}

// ---------------------------------------------------------------------------
// The environment. These run inside Lua and may leave by a Lua error (a long
// jump), so they hold nothing that needs a destructor.

// A constructor: a full userdata whose user value is its class name. Calling
// it with a table records the name and the line on the table and returns the
// table; indexing it gives the constructor of the dotted name.
void PushConstructor(lua_State* L, int nameIndex) {
    nameIndex = lua_absindex(L, nameIndex);
    lua_newuserdatauv(L, 0, 1);
    lua_pushvalue(L, nameIndex);
    lua_setiuservalue(L, -2, 1);
    luaL_setmetatable(L, kConstructorType);
}

int ConstructorCall(lua_State* L) {
    // `ordered()` is written before the table it makes, so a constructor
    // called without arguments yields a constructor, which then takes it.
    if (lua_gettop(L) < 2) {
        lua_settop(L, 1);
        return 1;
    }
    // Other arguments (`FuID "name"`) are their own value.
    if (lua_type(L, 2) != LUA_TTABLE) {
        lua_settop(L, 2);
        return 1;
    }
    lua_settop(L, 2);
    lua_Debug ar;
    int line = 0;
    if (lua_getstack(L, 1, &ar) != 0 && lua_getinfo(L, "l", &ar) != 0) {
        line = ar.currentline;
    }
    lua_rawgetp(L, LUA_REGISTRYINDEX, &kClassTags);
    lua_pushvalue(L, 2);
    lua_getiuservalue(L, 1, 1);
    lua_rawset(L, -3);
    lua_rawgetp(L, LUA_REGISTRYINDEX, &kLineTags);
    lua_pushvalue(L, 2);
    lua_pushinteger(L, line);
    lua_rawset(L, -3);
    lua_settop(L, 2);
    return 1;
}

int ConstructorIndex(lua_State* L) {
    if (lua_type(L, 2) != LUA_TSTRING) {
        lua_pushnil(L);
        return 1;
    }
    lua_getiuservalue(L, 1, 1);
    lua_pushliteral(L, ".");
    lua_pushvalue(L, 2);
    lua_concat(L, 3);
    PushConstructor(L, -1);
    return 1;
}

// Unknown globals are constructors of that name (`Merge { ... }`,
// `OperatorInfo { ... }`, `ordered()`), except the unavailable ones.
int GlobalIndex(lua_State* L) {
    if (lua_type(L, 2) != LUA_TSTRING) {
        lua_pushnil(L);
        return 1;
    }
    const char* name = lua_tostring(L, 2);
    for (const char* unavailable : kUnavailable) {
        if (std::strcmp(name, unavailable) == 0) {
            return luaL_error(L,
                              "'%s' is not available in a settings file (settings files hold data: "
                              "no files, processes, environment or code loading)",
                              name);
        }
    }
    PushConstructor(L, 2);
    return 1;
}

void NewWeakKeyTable(lua_State* L, const void* registryKey) {
    lua_newtable(L);
    lua_newtable(L);
    lua_pushliteral(L, "k");
    lua_setfield(L, -2, "__mode");
    lua_setmetatable(L, -2);
    lua_rawsetp(L, LUA_REGISTRYINDEX, registryKey);
}

int OpenSandbox(lua_State* L) {
    luaL_requiref(L, LUA_GNAME, luaopen_base, 1);
    lua_pop(L, 1);
    // Pure functions of numbers, each constant time.
    luaL_requiref(L, LUA_MATHLIBNAME, luaopen_math, 1);
    lua_pop(L, 1);

    lua_pushglobaltable(L);
    for (const char* name : kUnavailable) {
        lua_pushnil(L);
        lua_setfield(L, -2, name);
    }
    lua_newtable(L);
    lua_pushcfunction(L, GlobalIndex);
    lua_setfield(L, -2, "__index");
    lua_setmetatable(L, -2);
    lua_pop(L, 1);

    luaL_newmetatable(L, kConstructorType);
    lua_pushcfunction(L, ConstructorCall);
    lua_setfield(L, -2, "__call");
    lua_pushcfunction(L, ConstructorIndex);
    lua_setfield(L, -2, "__index");
    lua_pop(L, 1);

    NewWeakKeyTable(L, &kClassTags);
    NewWeakKeyTable(L, &kLineTags);
    return 0;
}

// ---------------------------------------------------------------------------
// Messages.

// Text from a file as it can stand in a message: control characters escaped,
// cut to `limit` bytes.
std::string Shown(const std::string& text, std::size_t limit = kMaxShownText) {
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

// ---------------------------------------------------------------------------
// Reading the file.

// Waits until `fd` can be read (or is at its end), looking for a stop request
// ten times a second. A FIFO reports nothing until a writer has come.
void WaitReadable(int fd, const std::string& path) {
    for (;;) {
        if (const int signal = StopRequested()) {
            StopReached();
            throw CliError("interrupted by " + SignalName(signal) + " while reading the settings file " + path +
                               "; nothing was written",
                           InterruptedExitCode(signal));
        }
        pollfd wait{fd, POLLIN, 0};
        const int ready = ::poll(&wait, 1, 100);
        if (ready > 0 || (ready < 0 && errno != EINTR)) return;  // an error shows in the read
    }
}

std::string ReadSettingsText(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found) {
        throw CliError(path + ": cannot read the settings file: no such file");
    }
    if (ec) {
        throw CliError(path + ": cannot read the settings file: " + ec.message());
    }
    if (fs::is_directory(status)) {
        throw CliError(path + ": is a folder, not a settings file");
    }
    // Opened without waiting, and read when there is something to read: a
    // FIFO has no writer yet, and the run must still stop when asked to.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw CliError(path + ": cannot read the settings file: " + std::strerror(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    // Read in pieces with a bound, so that a device or a pipe that never ends
    // cannot fill the memory.
    std::string text;
    char buffer[1 << 16];
    for (;;) {
        WaitReadable(fd, path);
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            throw CliError(path + ": cannot read the settings file: " + std::strerror(errno));
        }
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > kFileSizeLimit) {
            throw CliError(path + ": the settings file is larger than " +
                           std::to_string(kFileSizeLimit >> 20) + " MiB");
        }
    }
    return text;
}

// ---------------------------------------------------------------------------
// The file's contents as plain data.

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

struct SettingsDocument {
    std::vector<FileTool> tools;  // of the wanted class, with their inputs
    std::vector<std::pair<std::string, std::string>> otherTools;  // name, class
    std::size_t unnamedTools = 0;  // of the wanted class, without a name
};

// The string at `index` (which must be one), kept up to kMaxKeptText bytes.
std::string KeptText(lua_State* L, int index, bool* tooLong = nullptr) {
    std::size_t length = 0;
    const char* data = lua_tolstring(L, index, &length);
    if (tooLong != nullptr) {
        *tooLong = length > kMaxKeptText;
    }
    return std::string(data, std::min(length, kMaxKeptText));
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

// The constructor name and line recorded on the table at `index`.
std::pair<std::string, int> TagOf(lua_State* L, int index) {
    index = lua_absindex(L, index);
    std::pair<std::string, int> tag{"", 0};
    lua_rawgetp(L, LUA_REGISTRYINDEX, &kClassTags);
    lua_pushvalue(L, index);
    lua_rawget(L, -2);
    if (lua_type(L, -1) == LUA_TSTRING) {
        tag.first = KeptText(L, -1);
    }
    lua_pop(L, 2);
    lua_rawgetp(L, LUA_REGISTRYINDEX, &kLineTags);
    lua_pushvalue(L, index);
    lua_rawget(L, -2);
    tag.second = static_cast<int>(lua_tointegerx(L, -1, nullptr));
    lua_pop(L, 2);
    return tag;
}

// What a value is, for messages about values that are none.
std::string Describe(lua_State* L, int index) {
    switch (lua_type(L, index)) {
        case LUA_TTABLE: {
            const std::string className = TagOf(L, index).first;
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

// A scalar at `index` as a value; anything else is Other.
FileValue ScalarValue(lua_State* L, int index) {
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
            value.text = KeptText(L, index, &value.tooLong);
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
                input.line = TagOf(L, -1).second;
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

// The evaluated file (its value on top of the stack) as plain data; tools
// whose constructor is one of `classNames` are read with their inputs.
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
        const auto [className, line] = TagOf(L, -1);
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
    return document;
}

// ---------------------------------------------------------------------------
// The sandbox.

class Sandbox {
public:
    explicit Sandbox(const std::string& path) : path_(path) {
        state_ = lua_newstate(BoundedAlloc, &budget_);
        if (state_ == nullptr) {
            throw CliError(path_ + ": cannot start the settings interpreter: not enough memory");
        }
        lua_pushcfunction(state_, OpenSandbox);
        const int status = lua_pcall(state_, 0, 0, 0);
        if (status != LUA_OK) {
            const std::string message = ErrorMessage(status);
            lua_close(state_);
            throw CliError(path_ + ": cannot start the settings interpreter: " + message);
        }
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;
    ~Sandbox() { lua_close(state_); }

    lua_State* State() const noexcept { return state_; }

    // Evaluates the text, leaving its value on the stack; throws CliError.
    void Evaluate(const std::string& text) {
        std::string body = text;
        // Editors on some systems put a byte order mark before the text.
        if (body.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            body.erase(0, 3);
        }
        if (!body.empty() && body[0] == LUA_SIGNATURE[0]) {
            throw CliError(path_ + ": is a compiled Lua chunk, not settings text");
        }
        if (body.find_first_not_of(" \t\r\n\f\v") == std::string::npos) {
            throw CliError(path_ + ": the settings file is empty");
        }
        Load(body);
        budget_.deadline = std::chrono::steady_clock::now() + kTimeLimit;
        lua_sethook(state_, CountHook, LUA_MASKCOUNT, kHookInterval);
        const int status = lua_pcall(state_, 0, 1, 0);
        lua_sethook(state_, nullptr, 0, 0);
        if (status != LUA_OK) {
            throw CliError(ErrorMessage(status));
        }
        if (lua_checkstack(state_, 32) == 0) {
            throw CliError(MemoryMessage());
        }
    }

private:
    // Settings files are one table expression; a file of statements that
    // returns the table is read too. When neither parses, the attempt that got
    // further into the file tells what is wrong.
    void Load(const std::string& body) {
        const std::string expression = "return " + body;
        int status = luaL_loadbufferx(state_, expression.data(), expression.size(), kChunkName, "t");
        if (status == LUA_OK) {
            return;
        }
        if (status != LUA_ERRSYNTAX) {
            throw CliError(ErrorMessage(status));
        }
        const std::string expressionError = ErrorMessage(status);
        const int expressionLine = LineOf(state_);
        lua_pop(state_, 1);
        status = luaL_loadbufferx(state_, body.data(), body.size(), kChunkName, "t");
        if (status == LUA_OK) {
            return;
        }
        if (status != LUA_ERRSYNTAX) {
            throw CliError(ErrorMessage(status));
        }
        throw CliError(LineOf(state_) > expressionLine ? ErrorMessage(status) : expressionError);
    }

    // The line of a Lua message "<settings>:12: ..." on top of the stack.
    static int LineOf(lua_State* L) {
        const char* message = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : "";
        const std::size_t tag = std::strlen(kChunkTag);
        if (std::strncmp(message, kChunkTag, tag) != 0 || message[tag] != ':') {
            return 0;
        }
        return std::atoi(message + tag + 1);
    }

    std::string MemoryMessage() const {
        return path_ + ": the settings file needs more than " + std::to_string(kMemoryLimit >> 20) +
               " MiB of memory; stopped";
    }

    // The message for a failed load or run, the error object on top.
    std::string ErrorMessage(int status) const {
        if (budget_.stop == Budget::Stop::Instructions) {
            return Where(path_, budget_.stopLine) + "the settings file runs too long (more than " +
                   std::to_string(kInstructionLimit) + " instructions); stopped";
        }
        if (budget_.stop == Budget::Stop::Time) {
            return Where(path_, budget_.stopLine) + "the settings file runs too long (more than " +
                   std::to_string(kTimeLimit.count()) + " ms); stopped";
        }
        if (status == LUA_ERRMEM) {
            return MemoryMessage();
        }
        std::string message = "(an error without a message)";
        if (lua_type(state_, -1) == LUA_TSTRING) {
            std::size_t length = 0;
            const char* data = lua_tolstring(state_, -1, &length);
            message.assign(data, std::min<std::size_t>(length, 1000));
        }
        message = ReplaceAll(message, kChunkTag, path_);
        // Lua's parser reports tables or expressions nested past its limit so.
        message = ReplaceAll(message, "C stack overflow", "nested too deeply (C stack overflow)");
        if (message.compare(0, path_.size(), path_) != 0) {
            message = path_ + ": " + message;
        }
        return Shown(message, 1000);
    }

    std::string path_;
    Budget budget_;
    lua_State* state_ = nullptr;
};

// ---------------------------------------------------------------------------
// Choosing the tool and checking its values.

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

class Findings {
public:
    void Warn(std::string message) {
        if (warnings_.size() < kMaxWarnings) {
            warnings_.push_back(Shown(message, 1000));
        } else {
            ++moreWarnings_;
        }
    }
    void Fail(std::string message) {
        if (errors_.size() < kMaxErrors) {
            errors_.push_back(Shown(message, 1000));
        } else {
            ++moreErrors_;
        }
    }
    bool Failed() const noexcept { return !errors_.empty(); }
    bool WarningsFull() const noexcept { return warnings_.size() >= kMaxWarnings; }

    std::string ErrorText() const {
        std::string text;
        for (std::size_t i = 0; i < errors_.size(); ++i) {
            text += (i ? "\n" : "") + errors_[i];
        }
        if (moreErrors_ > 0) {
            text += "\n(and " + std::to_string(moreErrors_) + " more errors)";
        }
        return text;
    }
    std::vector<std::string> Warnings() const {
        std::vector<std::string> warnings = warnings_;
        if (moreWarnings_ > 0) {
            warnings.push_back("(and " + std::to_string(moreWarnings_) + " more warnings)");
        }
        return warnings;
    }

private:
    std::vector<std::string> warnings_;
    std::vector<std::string> errors_;
    std::size_t moreWarnings_ = 0;
    std::size_t moreErrors_ = 0;
};

bool IsCheckbox(const Input& input) {
    return input.Attrs().GetId(kInpControl, FuID()) == CLSID_InputControl_Checkbox;
}

// The number a file value stands for; false with a finding when it is none.
bool ValueOf(const Input& input, const FileValue& value, const std::string& where, Findings& findings,
             double& number) {
    switch (value.kind) {
        case FileValue::Kind::Number:
            if (value.hasExpression) {
                findings.Warn(where + "has an expression, which is not evaluated here; its saved Value is used");
            }
            number = value.number;
            return true;
        case FileValue::Kind::Boolean:
            if (IsCheckbox(input)) {
                number = value.boolean ? 1.0 : 0.0;
                return true;
            }
            findings.Fail(where + "Value must be a number, got " + (value.boolean ? "true" : "false"));
            return false;
        case FileValue::Kind::Text: {
            std::string error;
            if (value.tooLong) {
                findings.Fail(where + "'" + Shown(value.text) + "' is not a value of " + input.ID().Text());
                return false;
            }
            if (ParseControlValue(input, value.text, number, error)) {
                return true;
            }
            findings.Fail(where + error);
            return false;
        }
        case FileValue::Kind::Connection:
            findings.Warn(where + "connected to " + Shown(value.text) + ", not a value; ignored");
            return false;
        case FileValue::Kind::ExpressionOnly:
            findings.Warn(where + "an expression without a saved Value, which is not evaluated here; ignored");
            return false;
        case FileValue::Kind::Missing:
            findings.Warn(where + "holds no Value; ignored");
            return false;
        case FileValue::Kind::Other:
            findings.Fail(where + "Value must be a number, got " + value.text);
            return false;
    }
    return false;
}

}  // namespace

SettingsLoad LoadSettingsFile(host::ToolInstance& tool, const std::string& path,
                              const std::string& toolName) {
    const Registry* registry = tool.Tool().GetRegistry();
    const std::string className = registry != nullptr && registry->Name() != nullptr ? registry->Name() : "Veskar";
    std::vector<std::string> classNames = {className};
    if (registry != nullptr) {
        classNames.emplace_back(registry->ID().Text());
    }

    const std::string text = ReadSettingsText(path);
    SettingsDocument document;
    {
        Sandbox sandbox(path);
        sandbox.Evaluate(text);
        document = ReadDocument(sandbox.State(), path, classNames);
    }
    const FileTool& chosen = ChooseTool(document, path, toolName, className);

    Findings findings;
    if (!chosen.inputsProblem.empty()) {
        findings.Fail(Where(path, chosen.line) + Shown(chosen.name) + ": " + chosen.inputsProblem);
    }
    if (chosen.unnamedInputs > 0) {
        findings.Warn(Where(path, chosen.line) + Shown(chosen.name) + ": " +
                      std::to_string(chosen.unnamedInputs) + " inputs without an id; ignored");
    }
    std::vector<std::pair<Input*, double>> values;
    for (const FileInput& entry : chosen.inputs) {
        const std::string where = Where(path, entry.line) + Shown(chosen.name) + "." + Shown(entry.id) + ": ";
        Input* input = entry.tooLong ? nullptr : tool.FindInput(entry.id);
        if (input == nullptr) {
            // A hint costs an edit distance per control; only shown warnings get one.
            const bool hint = !findings.WarningsFull() && entry.id.size() <= kMaxShownText;
            findings.Warn(where + (hint ? UnknownControlMessage(tool.Tool(), entry.id)
                                        : "unknown control '" + Shown(entry.id) + "'") +
                          "; ignored");
        } else if (input->IsImage()) {
            findings.Warn(where + "an image input, connected by the host, not set by settings; ignored");
        } else if (!HoldsNumber(*input)) {
            findings.Warn(where + "a label, which holds no value; ignored");
        } else {
            double number = 0.0;
            if (ValueOf(*input, entry.value, where, findings, number)) {
                values.emplace_back(input, number);
            }
        }
    }
    if (findings.Failed()) {
        throw CliError(findings.ErrorText());
    }
    tool.LoadValues(values, 0.0);
    SettingsLoad load{chosen.name, findings.Warnings(), {}};
    for (const auto& [name, otherClass] : document.otherTools) {
        load.otherTools.push_back(Shown(name) + (otherClass.empty() ? "" : " (" + Shown(otherClass) + ")"));
    }
    if (document.unnamedTools > 0) {
        load.otherTools.push_back(std::to_string(document.unnamedTools) + " " + className + " tools without a name");
    }
    return load;
}

}  // namespace veskar
