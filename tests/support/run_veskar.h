#pragma once

// Runs the veskar command as users run it and collects what it said.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "test_paths.h"

namespace veskar_test {

struct Outcome {
    int exitCode;
    std::string out;
    std::string err;
};

inline std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

inline std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/// Runs veskar with `args`; its output goes through files in `scratch`,
/// which are removed again.
inline Outcome RunVeskar(const std::vector<std::string>& args, const std::filesystem::path& scratch) {
    std::string command = ShellQuote(VESKAR_TEST_EXE);
    for (const std::string& arg : args) command += " " + ShellQuote(arg);
    const auto out = scratch / "stdout.txt";
    const auto err = scratch / "stderr.txt";
    command += " >" + ShellQuote(out.string()) + " 2>" + ShellQuote(err.string());
    const int status = std::system(command.c_str());
    Outcome run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(out), ReadText(err)};
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return run;
}

}  // namespace veskar_test
