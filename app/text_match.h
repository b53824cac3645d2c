#pragma once

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

}  // namespace veskar
