#pragma once

// One fetched pixel through staging, key signal, colour correction and alpha
// output. The render loop calls TakeKeySample (when the pixel has a key
// sample), then KeyPixel, then stores the result.

#include <cstdint>

#include "keying/alpha_output.h"
#include "keying/colour.h"
#include "keying/colour_correction.h"
#include "keying/key_signal.h"
#include "keying/snapshot.h"
#include "keying/staging.h"

namespace keying {

/// The blue, green, red and alpha to store for one fetched source colour, given
/// the chunk's snapshot, the staging state as left by the latest key sample and
/// the falloff and keyer modes read for the chunk. The source alpha is the Q of
/// the background blend. Every input value is accepted; see the stages for what
/// NaN and out-of-range values do.
inline Colour KeyPixel(const Snapshot& snapshot, const StagingState& state,
                       std::int32_t falloffMode, std::int32_t keyerMode,
                       const Colour& source) noexcept {
    const Colour staged = StageColour(snapshot, source);
    float matte;
    Colour corrected;
    // Only "mine" reads the fade matte and the key colour; the other modes skip
    // their cost, with the same result bits.
    if (snapshot.colorCorrection == kCorrectionMine) {
        const Mattes mattes = KeySignal(staged, state, snapshot, falloffMode, keyerMode);
        matte = mattes.matte;
        corrected =
            CorrectColour(snapshot, source, matte, mattes.fadeMatte, KeyColour(snapshot, state));
    } else {
        matte = KeyMatte(staged, state, snapshot, falloffMode, keyerMode);
        corrected = CorrectColour(snapshot, source, matte, 0.0, Colour{});
    }
    return AlphaOutput(snapshot, corrected, matte, source.a);
}

}  // namespace keying
