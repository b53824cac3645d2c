#include "app/frames.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>

#include "app/cli_error.h"
#include "app/text_match.h"

namespace veskar {
namespace {

// Frame lists stay modest: a typo such as 1-10000000 is more likely than a
// run of ten million frames.
constexpr long kMaxFrames = 1000000;

bool ParseFrameNumber(const std::string& text, int& frame) {
    if (text.empty() || text[0] == '+' || text[0] == '-') {
        return false;
    }
    const auto result = std::from_chars(text.data(), text.data() + text.size(), frame);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

}  // namespace

FramePattern::FramePattern(const std::string& text, const std::string& option) : text_(text) {
    auto duplicate = [&] {
        return CliError(option + " " + ShownText(text) + ": more than one frame number pattern", 2);
    };
    const std::size_t hash = text.find('#');
    if (hash != std::string::npos) {
        std::size_t end = hash;
        while (end < text.size() && text[end] == '#') ++end;
        if (text.find('#', end) != std::string::npos || text.find('%') != std::string::npos) {
            throw duplicate();
        }
        head_ = text.substr(0, hash);
        tail_ = text.substr(end);
        width_ = static_cast<int>(end - hash);
        return;
    }
    for (std::size_t percent = text.find('%'); percent != std::string::npos;
         percent = text.find('%', percent + 1)) {
        // %d or %0Nd; any other % is part of the name.
        std::size_t at = percent + 1;
        int width = 0;
        if (at < text.size() && text[at] == '0') {
            ++at;
            while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
                width = width * 10 + (text[at] - '0');
                ++at;
                if (width > 32) throw CliError(option + " " + ShownText(text) + ": frame number width too large", 2);
            }
        }
        if (at < text.size() && text[at] == 'd') {
            if (width_ >= 0) throw duplicate();
            head_ = text.substr(0, percent);
            tail_ = text.substr(at + 1);
            width_ = width;
        }
    }
}

std::string FramePattern::Path(int frame) const {
    if (!IsSequence()) {
        return text_;
    }
    std::string number = std::to_string(frame);
    if (static_cast<int>(number.size()) < width_) {
        number.insert(0, static_cast<std::size_t>(width_) - number.size(), '0');
    }
    return head_ + number + tail_;
}

FrameList::FrameList(const std::string& text) {
    auto bad = [&](const std::string& why) { return CliError("--frames " + ShownText(text) + ": " + why, 2); };
    for (const std::string& part : SplitList(text, ',')) {
        const std::size_t dash = part.find('-');
        int first = 0;
        int last = 0;
        if (dash == std::string::npos) {
            if (!ParseFrameNumber(part, first)) throw bad("'" + ShownText(part) + "' is not a frame number");
            last = first;
        } else if (!ParseFrameNumber(part.substr(0, dash), first) ||
                   !ParseFrameNumber(part.substr(dash + 1), last)) {
            throw bad("'" + ShownText(part) + "' is not a range A-B of frame numbers");
        } else if (last < first) {
            throw bad("'" + ShownText(part) + "' ends before it starts");
        }
        ranges_.emplace_back(first, last);
    }
    // Distinct frames: the ranges merged.
    std::vector<std::pair<int, int>> sorted = ranges_;
    std::sort(sorted.begin(), sorted.end());
    long count = 0;
    long end = std::numeric_limits<long>::min();  // one past the last frame counted
    for (const auto& [first, last] : sorted) {
        const long from = std::max<long>(first, end);
        if (last >= from) count += last - from + 1;
        end = std::max<long>(end, static_cast<long>(last) + 1);
    }
    if (count > kMaxFrames) {
        throw bad("more than " + std::to_string(kMaxFrames) + " frames");
    }
    size_ = static_cast<std::size_t>(count);
}

bool FrameList::Contains(int frame) const noexcept {
    return std::any_of(ranges_.begin(), ranges_.end(),
                       [frame](const auto& range) { return frame >= range.first && frame <= range.second; });
}

FrameList::Iterator FrameList::begin() const noexcept {
    Iterator it(this, 0, ranges_.empty() ? 0 : ranges_.front().first);
    if (ranges_.empty()) return end();
    return it;
}

// A frame an earlier range holds was walked there.
void FrameList::Iterator::SkipSeen() noexcept {
    const auto& ranges = list_->ranges_;
    while (range_ < ranges.size()) {
        if (frame_ > ranges[range_].second) {
            if (++range_ < ranges.size()) frame_ = ranges[range_].first;
            continue;
        }
        bool seen = false;
        for (std::size_t earlier = 0; earlier < range_ && !seen; ++earlier) {
            if (frame_ >= ranges[earlier].first && frame_ <= ranges[earlier].second) {
                // Jump past the whole overlap at once.
                frame_ = static_cast<long>(ranges[earlier].second) + 1;
                seen = true;
            }
        }
        if (!seen) return;
    }
    frame_ = 0;  // the end
}

FrameList::Iterator& FrameList::Iterator::operator++() noexcept {
    ++frame_;
    SkipSeen();
    return *this;
}

std::vector<int> ParseFrames(const std::string& text) {
    const FrameList list(text);
    std::vector<int> frames;
    frames.reserve(list.Size());
    for (int frame : list) frames.push_back(frame);
    return frames;
}

std::string FormatFrames(const std::vector<int>& frames) {
    std::string text;
    for (std::size_t i = 0; i < frames.size();) {
        std::size_t end = i + 1;
        while (end < frames.size() && static_cast<long>(frames[end]) == static_cast<long>(frames[end - 1]) + 1) {
            ++end;
        }
        text += (text.empty() ? "" : ",") + std::to_string(frames[i]);
        if (end - i > 1) text += "-" + std::to_string(frames[end - 1]);
        i = end;
    }
    return text;
}

}  // namespace veskar
