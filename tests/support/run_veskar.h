#pragma once

// Runs the veskar command as users run it and collects what it said; in the
// background when a test needs to signal it.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_paths.h"

extern char** environ;

namespace veskar_test {

struct Outcome {
    int exitCode;  ///< the exit status; -signal when a signal ended a Running one
    std::string out;
    std::string err;
    double seconds = 0.0;  ///< wall time, for a Running one
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

/// veskar with `args`, started in the background (no shell between, so a
/// signal reaches veskar itself); `prefix` runs before it (such as
/// "prlimit --as=N"). Its output goes through files in `scratch`.
class Running {
public:
    Running(const std::vector<std::string>& args, const std::filesystem::path& scratch,
            const std::vector<std::string>& prefix = {})
        : out_(scratch / "stdout.txt"), err_(scratch / "stderr.txt"), start_(std::chrono::steady_clock::now()) {
        std::vector<std::string> all = prefix;
        all.push_back(VESKAR_TEST_EXE);
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all) argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Running() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    void Signal(int signal) { ::kill(pid_, signal); }
    /// Waits for the end; a run still going after `deadline` is killed
    /// (SIGKILL: exit code -9), so that a test of stopping never hangs.
    Outcome Wait(std::chrono::seconds deadline = std::chrono::seconds(0)) {
        int status = 0;
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (deadline.count() > 0 && ::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) ::kill(pid_, SIGKILL);
            ::usleep(10000);
        }
        if (deadline.count() == 0) ::waitpid(pid_, &status, 0);
        pid_ = -1;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? -WTERMSIG(status) : -1000;
        Outcome run{code, ReadText(out_), ReadText(err_), seconds};
        std::filesystem::remove(out_);
        std::filesystem::remove(err_);
        return run;
    }

private:
    std::filesystem::path out_, err_;
    std::chrono::steady_clock::time_point start_;
    pid_t pid_ = -1;
};

}  // namespace veskar_test
