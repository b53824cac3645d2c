#pragma once

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

/// Frames from `--frames`: "1001-1100", "42", or a comma-separated list of
/// both ("1-3,7,10-12"), in the order given, each once. Throws CliError
/// (exit 2) naming the text when it is not such a list.
std::vector<int> ParseFrames(const std::string& text);

/// The `--frames` text of `frames`, runs of consecutive frames joined:
/// {1, 2, 3, 7, 9, 10} gives "1-3,7,9-10". ParseFrames reads it back.
std::string FormatFrames(const std::vector<int>& frames);

}  // namespace veskar
