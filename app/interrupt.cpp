#include "app/interrupt.h"

#include <csignal>

#include <unistd.h>

#include "app/files/staged_file.h"

namespace veskar {
namespace {

volatile std::sig_atomic_t stopSignal = 0;

void OnSignal(int signal) {
    if (stopSignal == 0) {
        stopSignal = signal;
        return;
    }
    // Asked twice: end now, leaving no partial file behind.
    RemoveLiveTemporaries();
    static const char message[] = "veskar: stopped at once; unfinished outputs removed\n";
    [[maybe_unused]] const ssize_t written = ::write(2, message, sizeof message - 1);
    ::_exit(InterruptedExitCode(signal));
}

}  // namespace

void InstallInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // Interrupted system calls resume: the run stops at its own safe points.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int StopRequested() noexcept { return stopSignal; }

int InterruptedExitCode(int signal) noexcept { return 128 + signal; }

std::string SignalName(int signal) {
    switch (signal) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        default: return "signal " + std::to_string(signal);
    }
}

}  // namespace veskar
