#pragma once

// The choice among setups: each colour space (when the user left it open) and
// each length of the matte's ramp is planned, and judged on what a
// compositor looks at: the screen keyed clear, the subject's core kept solid,
// and pixels mixed of the two keyed in step with their mix.

#include <limits>
#include <string>
#include <vector>

#include "app/setup/frame_regions.h"
#include "app/setup/screen_setup.h"

class Operator;

namespace veskar {

/// How a planned setup keys the frame's regions.
struct SetupScore {
    bool usable = false;
    std::string failure;       ///< why the setup could not be planned, when not usable
    double screenClear = 0.0;  ///< share of the screen's pixels keyed clear (matte at most 0.05)
    double coreKept = 0.0;     ///< share of the core's pixels kept (matte at least 0.5)
    /// The same over the frame's own contour pixels that are such mixes
    /// (judged by SearchSetups for soft edges only); NaN when not judged or
    /// too few are.
    double frameMixError = std::numeric_limits<double>::quiet_NaN();
    double mixError = 0.0;     ///< mean |matte - share of subject| over mixes of screen and core colours
    double total = 0.0;        ///< lower is better
};

struct SetupCandidate {
    int colourSpace = 0;
    double coreShare = 0.0;
    ScreenSetup setup;
    SetupScore score;
};

/// How setups are judged.
struct SearchOptions {
    /// The frame's values are sRGB-encoded: screen and subject mix in linear
    /// light before being encoded again.
    bool displayEncoded = false;
    /// A core pixel counts as kept from matte 0.5 on instead of 0.95: longer
    /// ramps win, for hair, fur and motion blur, at the risk of a core that
    /// is partly transparent where its colour nears the screen's.
    bool softEdges = false;
    /// Besides the ramp just past the screen, try ramps placed between the
    /// screen and the subject's core.
    bool rampToSubject = false;
};

/// Scores `setup` (its values applied over the controls of `tool`) on `regions`.
SetupScore ScoreSetup(const Operator& tool, const ScreenSetup& setup, const FrameRegions& regions,
                      const SearchOptions& search);

/// Plans and scores a setup for each of `spaces` (-1: the tool's) and each
/// ramp length (the ramp just past the screen among them); the
/// candidates in order of space, the best of each space first. Throws what
/// PlanScreenSetup throws for a rectangle outside the plate.
std::vector<SetupCandidate> SearchSetups(const Operator& tool, const Image& plate, const Image* keyImage,
                                         const std::vector<ScreenRect>& rects, const FrameRegions& regions,
                                         const std::vector<int>& spaces, const SearchOptions& search);

/// The best of `candidates` (lowest total among the usable), or null.
const SetupCandidate* BestSetup(const std::vector<SetupCandidate>& candidates);

/// "RGB", "HSV", "YXy", "YUV", "YCbCr" for Colorspace 0 to 4, the number
/// for any other.
std::string ColourSpaceName(int space);

/// One line of a candidate's figures ("screen clear 99.6%, core kept 99.9%,
/// mix error 0.081, score 0.12").
std::string DescribeScore(const SetupScore& score);

}  // namespace veskar
