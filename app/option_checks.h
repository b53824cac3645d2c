#pragma once

// Checks of option values that CLI11 does not word as we want.

#include <string>

#include <CLI/CLI.hpp>

namespace veskar {

/// The most worker threads --threads asks for: past it oneTBB ignores the
/// request with a warning of its own.
inline constexpr int kMostThreads = 256;

/// A whole number from `low` to `high`, named by `what` in the message; the
/// value is echoed as typed. (CLI11's own range check prints its limits, and
/// the largest double with all its 309 digits.)
CLI::Validator WholeNumberFrom(int low, int high, const std::string& what);

/// --threads N: 0 (one per core) to kMostThreads.
CLI::Validator ThreadCount();

}  // namespace veskar
