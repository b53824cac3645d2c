#pragma once

#include <string>

namespace veskar {

/// Handlers for SIGINT, SIGTERM and SIGHUP. The first signal asks the run to
/// stop at its next safe point (StopRequested); a run that reaches none within
/// a second (blocked on a FIFO, or busy inside a library) is ended by a
/// watchdog thread, and a second signal ends it at once. Either way the
/// temporary files of the outputs being written are removed first, and the
/// exit status is 128 + the signal's number (130 for SIGINT, 143 for SIGTERM,
/// 129 for SIGHUP). Installed once per process; later calls do nothing.
void InstallInterruptHandlers();

/// The signal that asked the run to stop, or 0.
int StopRequested() noexcept;

/// Tells the watchdog that the run stopped at a safe point (its outputs are
/// whole or removed) and is ending by itself; called just before the error
/// that reports the stop is thrown.
void StopReached() noexcept;

/// The exit status of a run stopped by `signal`: 128 + its number.
int InterruptedExitCode(int signal) noexcept;

/// "SIGINT", "SIGTERM" or "SIGHUP" (or "signal N").
std::string SignalName(int signal);

}  // namespace veskar
