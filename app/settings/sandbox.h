#pragma once

// The sandbox that evaluates settings text: a Lua interpreter with data and
// arithmetic only (no files, processes, environment, code loading or binary
// chunks) and bounded memory, instructions and time. Names that are not Lua's
// are constructors (`Veskar { ... }`, `Input { ... }`, `ordered()`), which
// record on each table they are called with their name and the line.

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>

struct lua_State;

namespace veskar {

/// What the bounds have used so far; the allocator's and the hook's state.
struct SandboxBudget {
    std::size_t used = 0;
    long long instructions = 0;
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    enum class Stop { None, Instructions, Time } stop = Stop::None;
    int stopLine = 0;
};

/// One settings file's interpreter. Messages name `path`.
class Sandbox {
public:
    /// Starts the interpreter; throws CliError when it cannot.
    explicit Sandbox(const std::string& path);
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;
    ~Sandbox();

    lua_State* State() const noexcept { return state_; }

    /// Evaluates the text, leaving its value on the stack; throws CliError
    /// naming the file (and the line where known).
    void Evaluate(const std::string& text);

private:
    void Load(const std::string& body);
    std::string MemoryMessage() const;
    std::string ErrorMessage(int status) const;

    std::string path_;
    SandboxBudget budget_;
    lua_State* state_ = nullptr;
};

/// The constructor's name and the line recorded on the table at `index` of
/// the sandbox's stack ("" and 0 for a table no constructor was called with).
/// Neither allocates nor raises a Lua error; names are kept up to `keep` bytes.
std::pair<std::string, int> ConstructorTagOf(lua_State* L, int index, std::size_t keep);

}  // namespace veskar
