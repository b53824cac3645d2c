#pragma once

// The temporary names StagedFile writes under, the registry of the live ones
// (for signal handlers) and the removal of those a killed run left behind.

#include <filesystem>
#include <string>

namespace veskar {

/// The beginning every temporary name for `target` shares.
std::string TemporaryPrefix(const std::filesystem::path& target);

/// Whether `name` (a file name without folder) is a temporary name of
/// StagedFile, of any target.
bool IsTemporaryName(const std::string& name);

/// A new temporary path for `target` in `folder`, the folder it will be
/// renamed into: `.veskar-tmp-HASH-PID-N.EXT`, unique within this process.
/// An ending too long to be a format's is left off.
std::string NewTemporaryPath(const std::filesystem::path& folder, const std::filesystem::path& target);

/// Registers the live temporary `path` for RemoveLiveTemporaries; returns its
/// slot, or -1 when it cannot be registered (then only its owner removes it).
int RegisterTemporary(const std::string& path);

/// Forgets the live temporary in `slot` (-1: none).
void ReleaseTemporary(int slot);

/// RemoveLeftoverTemporaries for a target whose links are already resolved.
int RemoveLeftoversOf(const std::filesystem::path& resolved);

/// Removes every live temporary file of this process, in two passes 50 ms
/// apart (a registered file its writer creates as the first pass goes by is
/// taken by the second). Async-signal-safe: for signal handlers, which then
/// end the process.
void RemoveLiveTemporaries() noexcept;

/// RemoveLiveTemporaries for a thread that ends the process next: the
/// registry stays locked, so that no temporary is begun after the removal.
/// Not for signal handlers.
void RemoveLiveTemporariesBeforeExit() noexcept;

}  // namespace veskar
