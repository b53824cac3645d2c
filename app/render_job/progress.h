#pragma once

// The progress of a render on stderr: a line on a terminal while frames are
// keyed, a one-line summary at the end, and what was finished when a signal
// stopped the run.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "app/cli_error.h"

namespace veskar {

class Progress {
public:
    /// `total` frames; `sequence` when the run keys a frame pattern.
    Progress(std::size_t total, bool sequence);

    /// Frame `frame` is finished: written, or `skipped` as already there.
    void Done(int frame, bool skipped);

    /// The summary line; `view` names the view keyed, or "".
    void Summary(const std::string& view);

    /// The error that ends a run stopped by `signal`: what was finished, and
    /// the exit status 128 + the signal's number.
    CliError Stopped(int signal) const;

private:
    static constexpr std::size_t kShownRanges = 20;

    void ShowLine(int frame) const;
    void ClearLine() const;

    std::size_t total_;
    bool sequence_;
    bool terminal_;
    double start_;
    std::size_t done_ = 0;
    std::size_t skipped_ = 0;
    std::vector<std::pair<long, long>> written_;  // runs of frames written, in order
    bool writtenUnlisted_ = false;
};

}  // namespace veskar
