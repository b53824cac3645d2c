#pragma once

#include <string>
#include <vector>

#include "app/setup/screen_setup.h"
#include "host/image.h"

namespace veskar {

/// What the search for a screen found.
struct ScreenSearch {
    /// Uniform patches of the screen colour along the frame border; empty when
    /// no screen could be justified.
    std::vector<ScreenRect> rects;
    /// Why nothing was chosen, when `rects` is empty.
    std::string reason;
    /// What was chosen, in a few words (the screen's hue and how much of the
    /// border shows it), when `rects` is not empty.
    std::string summary;
};

/// Looks for the screen along the border of `plate`, where a shot shows the
/// screen and seldom the subject: the most common saturated hue of a strip
/// around the frame must cover a good share of it, and square patches along
/// the border count as screen only when every pixel has that hue and their
/// colour varies no more than grain does. Returns no rectangles, with the
/// reason, when the border has no dominant saturated hue or too few uniform
/// patches of it: a guess would key the wrong colour.
ScreenSearch FindScreenRects(const Image& plate);

}  // namespace veskar
