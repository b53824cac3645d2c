#pragma once

#include <cstddef>
#include <iterator>
#include <string>
#include <vector>

namespace veskar {

/// A file name that may stand for a sequence: `plate.####.exr` (the frame
/// number zero-padded to as many digits as there are #) or `plate.%04d.exr` /
/// `plate.%d.exr`. A name without a pattern stands for one file whatever the
/// frame.
class FramePattern {
public:
    /// Throws CliError (exit 2) naming `option` and the text when it holds more
    /// than one frame pattern.
    FramePattern(const std::string& text, const std::string& option);

    bool IsSequence() const noexcept { return width_ >= 0; }
    const std::string& Text() const noexcept { return text_; }
    /// The file of `frame`; the text itself for a name without a pattern.
    std::string Path(int frame) const;

private:
    std::string text_;
    std::string head_;
    std::string tail_;
    int width_ = -1;  // digits of the zero-padded number; -1: no pattern
};

/// The frames of a run from `--frames`: "1001-1100", "42", or a
/// comma-separated list of both ("1-3,7,10-12"), in the order given, each
/// once. The list keeps the ranges, not the frames: a range of a million
/// frames costs nothing until it is walked.
class FrameList {
public:
    /// One frame.
    explicit FrameList(int frame) : ranges_{{frame, frame}}, size_(1) {}
    /// Throws CliError (exit 2) naming the text when it is not such a list.
    explicit FrameList(const std::string& text);

    /// How many distinct frames.
    std::size_t Size() const noexcept { return size_; }
    int First() const noexcept { return ranges_.front().first; }
    bool Contains(int frame) const noexcept;

    /// Walks the frames in order, each once.
    class Iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = int;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = int;

        int operator*() const noexcept { return static_cast<int>(frame_); }
        Iterator& operator++() noexcept;
        Iterator operator++(int) noexcept {
            Iterator before = *this;
            ++*this;
            return before;
        }
        bool operator==(const Iterator& other) const noexcept {
            return range_ == other.range_ && frame_ == other.frame_;
        }
        bool operator!=(const Iterator& other) const noexcept { return !(*this == other); }

    private:
        friend class FrameList;
        Iterator(const FrameList* list, std::size_t range, long frame) : list_(list), range_(range), frame_(frame) {}
        void SkipSeen() noexcept;
        const FrameList* list_;
        std::size_t range_;
        long frame_;
    };
    Iterator begin() const noexcept;
    Iterator end() const noexcept { return Iterator(this, ranges_.size(), 0); }

private:
    std::vector<std::pair<int, int>> ranges_;  // first, last; in the order given
    std::size_t size_ = 0;
};

/// The frames of `text` (see FrameList) one by one.
std::vector<int> ParseFrames(const std::string& text);

/// The `--frames` text of `frames`, runs of consecutive frames joined:
/// {1, 2, 3, 7, 9, 10} gives "1-3,7,9-10". ParseFrames reads it back.
std::string FormatFrames(const std::vector<int>& frames);

}  // namespace veskar
