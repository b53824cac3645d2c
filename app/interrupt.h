#pragma once

#include <string>

namespace veskar {

/// Handlers for SIGINT and SIGTERM. The first signal asks the run to stop at
/// its next safe point (StopRequested); a second ends the process at once,
/// after removing the temporary files of the outputs being written, with exit
/// status 128 + the signal's number (130 for SIGINT, 143 for SIGTERM).
void InstallInterruptHandlers();

/// The signal that asked the run to stop, or 0.
int StopRequested() noexcept;

/// The exit status of a run stopped by `signal`: 128 + its number.
int InterruptedExitCode(int signal) noexcept;

/// "SIGINT" or "SIGTERM" (or "signal N").
std::string SignalName(int signal);

}  // namespace veskar
