#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "app/finish/finish_options.h"
#include "app/setup/key_check.h"
#include "app/setup/screen_setup.h"

namespace veskar::tune {

/// The sample regions of the page: rectangles of screen pooled into one
/// setup, as `--screen` with several rectangles does, and of subject, as
/// `--subject` gives them.
struct SampleRegions {
    std::vector<ScreenRect> screen;
    std::vector<ScreenRect> subject;
    /// The user chose the colour space (a settings file, or Colorspace set on
    /// the page): setups keep it. Otherwise each setup chooses the space as
    /// `veskar render --screen` does without one.
    bool spaceKept = false;
};

/// What the page edits that the session keeps beside the tool's own values.
/// Undo, redo and snapshots copy this struct whole, so that a member added to
/// it is kept and restored with the rest, with no code of its own.
struct EditState {
    finish::FinishPlan finishing;  ///< the finishing the page shows and Save writes
    KeySetupKind keySetup;         ///< how the key was last set up on the page
    SampleRegions samples;         ///< the screen and subject regions the key was set up from
};

/// One state of the page's editing: the tool's number inputs, in the tool's
/// creation order, and the session's own edits.
struct SessionState {
    std::vector<double> values;
    EditState edit;
};

/// How many steps undo goes back: a long session keeps its latest steps.
inline constexpr std::size_t kHistorySteps = 200;

/// The states of a session after each change, with the one shown: undo and
/// redo move between them, and a change after an undo drops the states it
/// had undone. Holds at most `limit` steps back; older ones are forgotten.
class EditHistory {
public:
    explicit EditHistory(std::size_t limit = kHistorySteps) : limit_(limit) {}

    /// Starts over at `state`, with nothing to undo or redo.
    void Reset(SessionState state);
    /// Records the state after a change. With `merge`, the change continues
    /// the last one (a slider still being dragged): its state replaces that
    /// step's, so one undo takes the whole drag back.
    void Record(SessionState state, bool merge);
    /// The state before the shown one, now shown; null when there is none.
    const SessionState* Undo();
    /// The state undone last, now shown again; null when there is none.
    const SessionState* Redo();

    std::size_t UndoSteps() const noexcept { return shown_; }
    std::size_t RedoSteps() const noexcept { return states_.empty() ? 0 : states_.size() - 1 - shown_; }

private:
    std::size_t limit_;
    std::deque<SessionState> states_;
    std::size_t shown_ = 0;  // index of the state shown
    bool mergeable_ = false; // whether the shown state is a change that may continue
};

/// A named state the page keeps to compare against and return to.
struct Snapshot {
    std::string name;
    SessionState state;
};

/// Most snapshots a session keeps, and the longest name, so that a page
/// (or anything else with the token) cannot fill the memory.
inline constexpr std::size_t kMaxSnapshots = 100;
inline constexpr std::size_t kMaxSnapshotName = 80;

}  // namespace veskar::tune
