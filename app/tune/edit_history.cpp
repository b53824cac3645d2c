#include "app/tune/edit_history.h"

#include <utility>

namespace veskar::tune {

void EditHistory::Reset(SessionState state) {
    states_.clear();
    states_.push_back(std::move(state));
    shown_ = 0;
    mergeable_ = false;
}

void EditHistory::Record(SessionState state, bool merge) {
    if (states_.empty()) {
        Reset(std::move(state));
        return;
    }
    // A state undone is no longer a drag in progress: a change after it is a
    // new step, and the steps undone beyond it are gone.
    states_.erase(states_.begin() + static_cast<std::ptrdiff_t>(shown_) + 1, states_.end());
    if (merge && mergeable_ && shown_ > 0) {
        states_.back() = std::move(state);
        return;
    }
    states_.push_back(std::move(state));
    while (states_.size() > limit_ + 1) states_.pop_front();
    shown_ = states_.size() - 1;
    mergeable_ = true;
}

const SessionState* EditHistory::Undo() {
    if (shown_ == 0) return nullptr;
    mergeable_ = false;
    return &states_[--shown_];
}

const SessionState* EditHistory::Redo() {
    if (RedoSteps() == 0) return nullptr;
    mergeable_ = false;
    return &states_[++shown_];
}

}  // namespace veskar::tune
