#include "app/text_match.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace veskar {
namespace {

std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            const std::size_t next = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = row[j];
            row[j] = next;
        }
    }
    return row[b.size()];
}

}  // namespace

std::string ClosestMatch(const std::string& text, const std::vector<std::string>& candidates) {
    std::string best;
    std::size_t bestDistance = std::max<std::size_t>(1, text.size() / 2) + 1;
    for (const std::string& candidate : candidates) {
        const std::size_t distance = EditDistance(text, candidate);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = candidate;
        }
    }
    return best;
}

std::vector<std::string> SplitList(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

bool ParseNumber(const std::string& text, double& value) {
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    if (begin != end && *begin == '+') {
        ++begin;
        if (begin != end && *begin == '-') {
            return false;
        }
    }
    if (begin == end) {
        return false;
    }
    const auto result = std::from_chars(begin, end, value);
    return result.ec == std::errc() && result.ptr == end;
}

namespace {

// Control characters as C escapes; `quotes` escapes '"' and '\' too.
std::string Escaped(const std::string& text, bool quotes) {
    std::string shown;
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (byte < 0x20 || byte == 0x7f) {
            static const char kHex[] = "0123456789abcdef";
            shown += std::string("\\x") + kHex[byte >> 4] + kHex[byte & 15];
        } else if (quotes && (c == '"' || c == '\\')) {
            shown += std::string("\\") + c;
        } else {
            shown += c;
        }
    }
    return shown;
}

bool HasControl(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const unsigned char byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

}  // namespace

std::string ShownText(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) return Escaped(text, false);
    // Cut on a character boundary: a UTF-8 sequence is kept whole.
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return Escaped(text.substr(0, cut), false) + "... (" + std::to_string(text.size()) + " characters)";
}

std::string ShownPath(const std::string& path) {
    return HasControl(path) ? "\"" + Escaped(path, true) + "\"" : path;
}

std::string ShortFrames(const std::string& frames, std::size_t count, std::size_t ranges) {
    std::size_t runs = 1;
    for (std::size_t at = 0; at < frames.size(); ++at) {
        if (frames[at] == ',' && runs++ == ranges) {
            return frames.substr(0, at) + ",... (" + std::to_string(count) + " frames)";
        }
    }
    return frames;
}

}  // namespace veskar
