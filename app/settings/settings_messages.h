#pragma once

// How the settings reader shows what a file holds in its messages: a file can
// hold names and texts of any length.

#include <cstddef>
#include <string>
#include <vector>

namespace veskar {

/// Text from a file shown in a message at most this long (bytes).
inline constexpr std::size_t kMaxShownText = 80;
/// Names listed in one message at most.
inline constexpr std::size_t kMaxShownNames = 20;

/// Text from a file as it can stand in a message: control characters escaped,
/// cut to `limit` bytes.
std::string Shown(const std::string& text, std::size_t limit = kMaxShownText);

/// `text` with every `from` replaced by `to`.
std::string ReplaceAll(std::string text, const std::string& from, const std::string& to);

/// "path:line: " or, for line 0, "path: ".
std::string Where(const std::string& path, int line);

/// The names sorted and joined with ", ", the first kMaxShownNames of them.
std::string JoinNames(std::vector<std::string> names);

}  // namespace veskar
