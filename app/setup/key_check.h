#pragma once

#include <string>

#include "host/image.h"

namespace veskar {

/// How the key of a run was set up, for naming the likely cause of a key
/// that keys nothing or everything.
struct KeySetupKind {
    bool keyImage = false;     ///< a key image is connected
    bool colourPicked = false; ///< the last key step was --pick or --key-color
    bool screen = false;       ///< the last key step was --screen
    bool inverted = false;     ///< InvAlpha is on
    /// Worded for the tuning page (this frame, a Shift-drag over the screen)
    /// instead of the command line (the first frame, --screen).
    bool page = false;

    bool operator==(const KeySetupKind&) const = default;
};

/// Share of alpha in `keyed` above which a key counts as keying nothing (or
/// everything): the subject of any real shot covers more of the frame.
inline constexpr double kOneSidedShare = 0.995;

/// A warning, or "", for a keyed frame that is clear (alpha within 0.05 of 0)
/// on less than 0.5% of its pixels, so the matte is above 0 on more than
/// 99.5% and the key keys nothing; or opaque (within 0.05 of 1) on less than
/// 0.5%, so it keys everything. The message names the likely cause for the way
/// the key was set up, and the way out in the words of the command line or
/// of the tuning page.
std::string OneSidedKeyWarning(const Image& keyed, const KeySetupKind& setup);

}  // namespace veskar
