#pragma once

#include <stdexcept>
#include <string>

namespace veskar {

/// An error the command line reports as it stands, then exits with `exitCode`
/// (2 for usage errors, 1 for everything else).
class CliError : public std::runtime_error {
public:
    explicit CliError(const std::string& message, int exitCode = 1)
        : std::runtime_error(message), exitCode_(exitCode) {}
    int ExitCode() const noexcept { return exitCode_; }

private:
    int exitCode_;
};

}  // namespace veskar
