#pragma once

#include "app/subcommand.h"
#include "app/tune/tune_session.h"

namespace veskar::tune {

/// Most bytes a request body may hold: a page's change is a few hundred.
inline constexpr std::size_t kMaxRequestBody = std::size_t{64} * 1024;

/// `veskar tune`: serves the tuning page for the plates of `options` until
/// interrupted (Ctrl-C or SIGTERM). Prints the address to open, with its
/// token, on stdout. Throws CliError when the session cannot start or the
/// address cannot be bound.
int RunTune(const TuneOptions& options);

/// Adds `tune` to `app`.
Subcommand AddTuneCommand(CLI::App& app);

}  // namespace veskar::tune
