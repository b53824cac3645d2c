#include "app/interrupt.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "app/files/staged_file.h"

namespace veskar {
namespace {

// Lock-free, so that the handler may use it and threads may read it.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

// The handler writes a byte here to wake the watchdog.
int wakeWrite = -1;

// Set once the run has stopped at a safe point and is on its way out.
std::atomic<bool> safePointReached{false};

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

template <std::size_t N>
void Say(const char (&message)[N]) noexcept {
    [[maybe_unused]] const ssize_t written = ::write(2, message, N - 1);
}

void OnSignal(int signal) {
    int none = 0;
    if (stopSignal.compare_exchange_strong(none, signal)) {
        const int saved = errno;
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeWrite, &byte, 1);
        errno = saved;
        return;
    }
    // Asked twice: end now, leaving no partial file behind.
    RemoveLiveTemporaries();
    Say("veskar: stopped at once; unfinished outputs removed\n");
    ::_exit(InterruptedExitCode(signal));
}

// Waits for the first signal, then gives the run a second to reach its next
// safe point, where it stops itself and names the frames it finished. A run
// still going then is blocked (waiting on a FIFO, a pipe, a slow disk) or
// busy inside a library (reading a colour configuration): the process ends
// here, with what it was writing removed.
void Watch(int wakeRead) {
    char byte = 0;
    ssize_t got = 0;
    while ((got = ::read(wakeRead, &byte, 1)) < 0 && errno == EINTR) {
    }
    if (got != 1) return;
    timespec grace{1, 0};
    while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &grace, &grace) == EINTR) {
    }
    if (safePointReached.load()) {
        // The run has said what it finished and is ending; only an exit that
        // hangs (a library's shutdown) is cut short, silently.
        timespec exitGrace{10, 0};
        while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &exitGrace, &exitGrace) == EINTR) {
        }
        ::_exit(InterruptedExitCode(stopSignal.load()));
    }
    RemoveLiveTemporariesBeforeExit();
    Say("veskar: stopped: no safe point was reached within a second; unfinished outputs removed\n");
    ::_exit(InterruptedExitCode(stopSignal.load()));
}

void StartWatchdog() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;  // no watchdog: the safe points still stop the run
    // The handler must never wait on the pipe.
    ::fcntl(ends[1], F_SETFL, ::fcntl(ends[1], F_GETFL) | O_NONBLOCK);
    wakeWrite = ends[1];
    // The watchdog takes no signals: the handler runs on the run's threads.
    sigset_t stops;
    sigset_t before;
    sigemptyset(&stops);
    for (int signal : kStopSignals) sigaddset(&stops, signal);
    pthread_sigmask(SIG_BLOCK, &stops, &before);
    try {
        std::thread(Watch, ends[0]).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the safe points still stop the run.
        wakeWrite = -1;
        ::close(ends[0]);
        ::close(ends[1]);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace

void InstallInterruptHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        StartWatchdog();
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        // Interrupted system calls resume: the run stops at its own safe
        // points, or the watchdog ends it.
        action.sa_flags = SA_RESTART;
        for (int signal : kStopSignals) sigaction(signal, &action, nullptr);
    });
}

int StopRequested() noexcept { return stopSignal.load(std::memory_order_relaxed); }

void StopReached() noexcept { safePointReached.store(true); }

int InterruptedExitCode(int signal) noexcept { return 128 + signal; }

std::string SignalName(int signal) {
    switch (signal) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        default: return "signal " + std::to_string(signal);
    }
}

}  // namespace veskar
