// The page's undo, redo and snapshots: whole states of the session captured
// after each change and restored through the host's set path.
#include <algorithm>
#include <utility>

#include "app/control_values.h"
#include "app/tune/tune_session.h"

namespace veskar::tune {

using nlohmann::json;

namespace {

// Whether two lists of garbage or holdout shapes are the same shapes, which
// then need not be drawn (or their files read) again.
bool SameShapes(const std::vector<finish::ShapeChoice>& a, const std::vector<finish::ShapeChoice>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return x.shape.text == y.shape.text && x.shape.file == y.shape.file;
    });
}

}  // namespace

SessionState TuneSession::Capture() const {
    SessionState state;
    for (const auto& input : tool_->Tool().Inputs()) {
        if (HoldsNumber(*input)) state.values.push_back(input->Value());
    }
    state.edit = edit_;
    return state;
}

// The values are loaded as a settings file is, so that the tool's reactions
// run and every control ends exactly as captured; the renders of the state
// left are no longer current.
void TuneSession::Restore(const SessionState& state) {
    std::vector<std::pair<Input*, double>> values;
    std::size_t next = 0;
    for (const auto& input : tool_->Tool().Inputs()) {
        if (HoldsNumber(*input) && next < state.values.size()) values.emplace_back(input.get(), state.values[next++]);
    }
    const bool sameShapes = SameShapes(finishing_.garbage, state.edit.finishing.garbage) &&
                            SameShapes(finishing_.holdout, state.edit.finishing.holdout);
    tool_->LoadValues(values, 0.0);
    edit_ = state.edit;
    ++revision_;
    if (!sameShapes) {
        const Image& plate = *frame_->source.image;
        shapes_ = finishing_.garbage.empty() && finishing_.holdout.empty()
                      ? finish::ShapeMattes{}
                      : finish::MakeShapeMattes(finishing_, plate.Width(), plate.Height());
        proxyShapes_ = {};
    }
}

void TuneSession::Recorded(bool merge) { history_.Record(Capture(), merge); }

bool TuneSession::Undo() {
    const SessionState* state = history_.Undo();
    if (state != nullptr) Restore(*state);
    return state != nullptr;
}

bool TuneSession::Redo() {
    const SessionState* state = history_.Redo();
    if (state != nullptr) Restore(*state);
    return state != nullptr;
}

json TuneSession::SnapshotNames() const {
    json names = json::array();
    for (const Snapshot& snapshot : snapshots_) names.push_back(snapshot.name);
    return names;
}

int TuneSession::TakeSnapshot(const json& body) {
    if (!body.is_object() || !body.contains("name") || !body["name"].is_string()) {
        throw RequestError(400, "expected {\"name\": TEXT}");
    }
    const std::string name = body["name"].get<std::string>();
    if (name.empty() || name.size() > kMaxSnapshotName) {
        throw RequestError(400, "a snapshot's name must be 1 to " + std::to_string(kMaxSnapshotName) + " characters");
    }
    if (snapshots_.size() >= kMaxSnapshots) {
        throw RequestError(409, "the session keeps at most " + std::to_string(kMaxSnapshots) +
                                    " snapshots: delete one first");
    }
    snapshots_.push_back({name, Capture()});
    return static_cast<int>(snapshots_.size()) - 1;
}

const Snapshot& TuneSession::SnapshotAt(const json& index) const {
    if (!index.is_number_integer() || index.get<long long>() < 0 ||
        index.get<unsigned long long>() >= snapshots_.size()) {
        throw RequestError(400, "no snapshot " + Shortened(index.dump()) + " (the session has " +
                                    std::to_string(snapshots_.size()) + ")");
    }
    return snapshots_[index.get<std::size_t>()];
}

void TuneSession::RestoreSnapshot(const json& body) {
    if (!body.is_object() || !body.contains("index")) {
        throw RequestError(400, "expected {\"index\": I}");
    }
    Restore(SnapshotAt(body["index"]).state);
    Recorded();
}

void TuneSession::DeleteSnapshot(const json& body) {
    if (!body.is_object() || !body.contains("index")) {
        throw RequestError(400, "expected {\"index\": I}");
    }
    const Snapshot& snapshot = SnapshotAt(body["index"]);
    snapshots_.erase(snapshots_.begin() + (&snapshot - snapshots_.data()));
}

std::string TuneSession::SnapshotPng(int index, int frame, View view, bool proxy) {
    const Snapshot& snapshot = SnapshotAt(json(index));
    // The current state comes back whatever happens, with its revision and
    // its renders (its values are the same bits, so the renders still hold).
    const SessionState current = Capture();
    const unsigned long revision = revision_;
    const Render full = full_;
    const Render proxied = proxy_;
    const std::string warning = warning_;
    const auto comeBack = [&] {
        Restore(current);
        revision_ = revision;
        full_ = full;
        proxy_ = proxied;
        warning_ = warning;
    };
    std::string png;
    try {
        Restore(snapshot.state);
        png = ViewPng(frame, view, proxy);
    } catch (...) {
        comeBack();
        throw;
    }
    comeBack();
    return png;
}

}  // namespace veskar::tune
