#pragma once

// The tool's matte for single colours, worked out by the keyer's own staging
// and key signal from control values that need not be set on the tool yet:
// what the setup measures a planned setup with before it sets anything.

#include <cstdint>

#include "app/settings/settings_text.h"
#include "keying/colour.h"
#include "keying/snapshot.h"

class Operator;

namespace veskar {

class MatteProbe {
public:
    /// The controls of `tool` with `changes` applied over them (later ones
    /// win); unknown ids in `changes` are ignored (the key colour, whose
    /// reaction the changes already hold in the Value sliders).
    MatteProbe(const Operator& tool, const SettingsValues& changes);

    /// The matte the tool keys `colour` with (alpha before any blend or
    /// correction), with the key image's pixel `key` when not null.
    double Matte(const keying::Colour& colour, const keying::Colour* key) const;

    /// The key signal before Offset Alpha and Mult Alpha (Gamma Alpha applied,
    /// the matte's inversion not), up to 1024.
    double Signal(const keying::Colour& colour, const keying::Colour* key) const;

private:
    double Key(const keying::Snapshot& snapshot, const keying::Colour& colour, const keying::Colour* key) const;

    keying::Snapshot snapshot_;
    keying::Snapshot signal_;
    std::int32_t falloff_ = 0;
    std::int32_t keyer_ = 0;
};

/// The ids of the controls a snapshot is made of, in the snapshot's order.
extern const char* const kSnapshotIds[keying::kSnapControlCount];

}  // namespace veskar
