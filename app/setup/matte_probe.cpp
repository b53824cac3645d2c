#include "app/setup/matte_probe.h"

#include <string>

#include "host/operator.h"
#include "keying/key_signal.h"
#include "keying/staging.h"

namespace veskar {

const char* const kSnapshotIds[keying::kSnapControlCount] = {
    "Colorspace", "BGAlphaBlend", "ColCor",     "InvAlpha",  "CCAmount", "DesaturateAlpha", "ValueRed",
    "ValueGreen", "ValueBlue",    "MiRedn",     "MinGreen",  "MinBlue",  "MaxRed",          "MaxGreen",
    "MaxBlue",    "FadeRed",      "GammaAlpha", "MultAlpha", "OffAlpha", "FadeCC",          "Alphamult"};

namespace {

constexpr double kSignalScale = 1024.0;

double ValueOf(const Operator& tool, const SettingsValues& changes, const std::string& id) {
    double value = 0.0;
    for (const auto& input : tool.Inputs()) {
        if (input->ID().Text() == id) value = input->Value();
    }
    for (const auto& [changed, changedValue] : changes) {
        if (changed == id) value = changedValue;
    }
    return value;
}

}  // namespace

MatteProbe::MatteProbe(const Operator& tool, const SettingsValues& changes) {
    keying::SnapshotValues values{};
    for (int i = 0; i < keying::kSnapControlCount; ++i) values[i] = ValueOf(tool, changes, kSnapshotIds[i]);
    snapshot_ = keying::MakeSnapshot(values);
    // A 1024th of the signal keeps the clamp at 1 out of the way (a linear
    // falloff's signal grows without bound away from the window); the
    // factor is exact in binary.
    values[keying::kSnapInvAlpha] = 0.0;
    values[keying::kSnapMultAlpha] = 1.0 / kSignalScale;
    values[keying::kSnapOffAlpha] = 0.0;
    signal_ = keying::MakeSnapshot(values);
    falloff_ = keying::RoundMode(ValueOf(tool, changes, "keyfall"));
    keyer_ = keying::RoundMode(ValueOf(tool, changes, "keyalgo"));
}

double MatteProbe::Key(const keying::Snapshot& snapshot, const keying::Colour& colour,
                       const keying::Colour* key) const {
    keying::StagingState state = keying::StartStaging(snapshot);
    if (key != nullptr) keying::TakeKeySample(state, snapshot, *key);
    return keying::KeyMatte(keying::StageColour(snapshot, colour), state, snapshot, falloff_, keyer_);
}

double MatteProbe::Matte(const keying::Colour& colour, const keying::Colour* key) const {
    return Key(snapshot_, colour, key);
}

double MatteProbe::Signal(const keying::Colour& colour, const keying::Colour* key) const {
    return kSignalScale * Key(signal_, colour, key);
}

}  // namespace veskar
