#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace veskar {

/// The candidate closest to `text` by edit distance (letters compared without
/// case), or "" when none is within half of the text's length; for "did you
/// mean" hints.
std::string ClosestMatch(const std::string& text, const std::vector<std::string>& candidates);

/// The parts of `text` between `separator`s ("a,,b" gives "a", "", "b").
std::vector<std::string> SplitList(const std::string& text, char separator);

/// Parses a whole text as a double ("1", "-0.25", "1e-3", "inf", "nan");
/// false when anything else is in it.
bool ParseNumber(const std::string& text, double& value);

/// `text` as a message may show it: control characters (a newline, a tab,
/// an escape) written as \n, \t or \xNN so that the text stays on its line
/// and cannot steer a terminal, and a text longer than `limit` characters cut
/// to its first ones and "... (N characters)". Text a user typed or a file
/// name may be any length and hold anything.
std::string ShownText(const std::string& text, std::size_t limit = 80);

/// A file name for a report line: as it is when it holds no control
/// character, else in double quotes with its control characters, quotes and
/// backslashes escaped, so that one file is always one line. Never shortened.
std::string ShownPath(const std::string& path);

/// Frames as "1001-1100,1200": its first `ranges` runs, then "... (N frames)"
/// when there are more; for echoing a frame list that may be very long.
std::string ShortFrames(const std::string& frames, std::size_t count, std::size_t ranges = 8);

}  // namespace veskar
