#include "app/option_checks.h"

#include <charconv>
#include <system_error>

#include "app/text_match.h"

namespace veskar {

CLI::Validator WholeNumberFrom(int low, int high, const std::string& what) {
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            long long value = 0;
            const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
            if (text.empty() || result.ptr != text.data() + text.size() ||
                (result.ec != std::errc() && result.ec != std::errc::result_out_of_range)) {
                return "'" + ShownText(text) + "' is not a whole number";
            }
            if (result.ec != std::errc() || value < low || value > high) {
                return ShownText(text) + " is out of range: " + what;
            }
            return "";
        },
        "INT");
}

CLI::Validator ThreadCount() {
    return WholeNumberFrom(0, kMostThreads, "expected 0 (one per core) to " + std::to_string(kMostThreads));
}

}  // namespace veskar
