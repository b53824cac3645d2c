#include "app/settings/sandbox.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <lua.hpp>

#include "app/cli_error.h"
#include "app/settings/settings_messages.h"

namespace veskar {
namespace {

// Bounds of one settings file's evaluation. A settings file is data: real ones
// take a few kilobytes and a few thousand instructions, so the bounds stop a
// runaway or hostile file long before it troubles the machine.
constexpr std::size_t kMemoryLimit = std::size_t{64} << 20;
constexpr long long kInstructionLimit = 10'000'000;
constexpr std::chrono::milliseconds kTimeLimit{1000};
// The hook runs after every instruction, not every few thousand: some single
// instructions cost time in proportion to the data (comparing or joining two
// strings of many megabytes, `next` over a large sparse table), and thousands
// of them between two looks at the clock would run for minutes. Settings files
// run a few thousand instructions, so the hook's cost does not show.
constexpr int kHookInterval = 1;

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

using Budget = SandboxBudget;

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

// The line of a Lua message "<settings>:12: ..." on top of the stack.
int LineOf(lua_State* L) {
    const char* message = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : "";
    const std::size_t tag = std::strlen(kChunkTag);
    if (std::strncmp(message, kChunkTag, tag) != 0 || message[tag] != ':') {
        return 0;
    }
    return std::atoi(message + tag + 1);
}

}  // namespace

Sandbox::Sandbox(const std::string& path) : path_(path) {
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

Sandbox::~Sandbox() {
    lua_close(state_);
}

void Sandbox::Evaluate(const std::string& text) {
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

// Settings files are one table expression; a file of statements that
// returns the table is read too. When neither parses, the attempt that got
// further into the file tells what is wrong.
void Sandbox::Load(const std::string& body) {
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

std::string Sandbox::MemoryMessage() const {
    return path_ + ": the settings file needs more than " + std::to_string(kMemoryLimit >> 20) +
           " MiB of memory; stopped";
}

// The message for a failed load or run, the error object on top.
std::string Sandbox::ErrorMessage(int status) const {
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

std::pair<std::string, int> ConstructorTagOf(lua_State* L, int index, std::size_t keep) {
    index = lua_absindex(L, index);
    std::pair<std::string, int> tag{"", 0};
    lua_rawgetp(L, LUA_REGISTRYINDEX, &kClassTags);
    lua_pushvalue(L, index);
    lua_rawget(L, -2);
    if (lua_type(L, -1) == LUA_TSTRING) {
        std::size_t length = 0;
        const char* data = lua_tolstring(L, -1, &length);
        tag.first.assign(data, std::min(length, keep));
    }
    lua_pop(L, 2);
    lua_rawgetp(L, LUA_REGISTRYINDEX, &kLineTags);
    lua_pushvalue(L, index);
    lua_rawget(L, -2);
    tag.second = static_cast<int>(lua_tointegerx(L, -1, nullptr));
    lua_pop(L, 2);
    return tag;
}

}  // namespace veskar
