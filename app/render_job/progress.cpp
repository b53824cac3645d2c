#include "app/render_job/progress.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>

#include <unistd.h>

#include "app/interrupt.h"

namespace veskar {
namespace {

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string Clock(double seconds) {
    const long total = std::lround(seconds);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%ld:%02ld", total / 60, total % 60);
    return buf;
}

}  // namespace

Progress::Progress(std::size_t total, bool sequence)
    : total_(total), sequence_(sequence), terminal_(::isatty(2) == 1), start_(Now()) {}

void Progress::Done(int frame, bool skipped) {
    ++done_;
    skipped_ += skipped ? 1 : 0;
    if (!skipped) {
        if (!written_.empty() && written_.back().second + 1 == static_cast<long>(frame)) {
            written_.back().second = frame;
        } else if (written_.size() < kShownRanges) {
            written_.emplace_back(frame, frame);
        } else {
            writtenUnlisted_ = true;
        }
    }
    if (terminal_ && total_ >= 2) ShowLine(frame);
}

void Progress::ShowLine(int frame) const {
    const double elapsed = Now() - start_;
    const std::size_t keyed = done_ - skipped_;
    const double rate = elapsed > 0.0 ? static_cast<double>(keyed) / elapsed : 0.0;
    std::string line =
        "\rveskar: frame " + std::to_string(frame) + "  " + std::to_string(done_) + "/" + std::to_string(total_);
    if (rate > 0.0) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "  %.2f frames/s  %s left", rate,
                      Clock(static_cast<double>(total_ - done_) / rate).c_str());
        line += buf;
    }
    std::cerr << line << "\x1b[K" << std::flush;
}

void Progress::ClearLine() const {
    if (terminal_ && total_ >= 2) std::cerr << "\r\x1b[K";
}

void Progress::Summary(const std::string& view) {
    ClearLine();
    const double elapsed = Now() - start_;
    const std::size_t keyed = done_ - skipped_;
    char buf[160];
    std::snprintf(buf, sizeof buf, "veskar: %zu frame%s keyed%s%s in %.2f s (%.2f frames/s)\n", keyed,
                  keyed == 1 ? "" : "s", view.empty() ? "" : (" (view " + view + ")").c_str(),
                  skipped_ ? (", " + std::to_string(skipped_) + " skipped (already written)").c_str() : "", elapsed,
                  elapsed > 0.0 ? static_cast<double>(keyed) / elapsed : 0.0);
    std::cerr << buf;
}

CliError Progress::Stopped(int signal) const {
    ClearLine();
    const std::size_t keyed = done_ - skipped_;
    std::string text = "interrupted by " + SignalName(signal) + ": " + std::to_string(keyed) + " of " +
                       std::to_string(total_) + " frame" + (total_ == 1 ? "" : "s") + " written";
    if (!written_.empty() && sequence_) {
        text += " (";
        for (std::size_t i = 0; i < written_.size(); ++i) {
            text += (i ? "," : "") + std::to_string(written_[i].first);
            if (written_[i].second != written_[i].first) text += "-" + std::to_string(written_[i].second);
        }
        text += writtenUnlisted_ ? ",...)" : ")";
    }
    if (skipped_ > 0) text += ", " + std::to_string(skipped_) + " skipped (already written)";
    text += "; no partly written file is left";
    return CliError(text, InterruptedExitCode(signal));
}

}  // namespace veskar
