#include "app/setup/setup_search.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "app/cli_error.h"
#include "app/files/colour.h"
#include "app/setup/matte_probe.h"

namespace veskar {
namespace {

// The ramp lengths tried: the matte reaches 1 at these quantiles of the
// core's key signal.
constexpr double kCoreShares[] = {0.0, 0.02, 0.1, 0.25, 0.5};
// Mixes: this many pairs of a screen and a core colour, each at every share.
constexpr int kMixPairs = 1500;
constexpr double kMixShares[] = {0.125, 0.25, 0.375, 0.5, 0.625, 0.75, 0.875};
// The frame's own mixes: a contour pixel counts when it lies within this
// share of its screen-to-core distance from the line between the two, the two
// are at least this far apart (squared), and enough pixels count.
constexpr double kOffLine = 0.15;
constexpr double kLeastFrameContrast = 1e-3;
constexpr long kLeastFrameMixes = 200;
// Soft edges are set up only when the best ramp to the subject keys the
// frame's own mixes with at most this share of the error of the best ramp just
// past the screen (measured: 0.28 to 0.57 on fur, hair and defocus plates,
// 0.96 on a solid instrument).
constexpr double kSoftEvidence = 0.8;
constexpr const char* kHardContour =
    "the frame's contour is hard (a ramp to the subject keys its mixes no better than one past the screen)";
// A lost core and a screen left over weigh more than soft edges off by a bit:
// a compositor can soften an edge, not bring back a subject.
constexpr double kCoreWeight = 8.0;
constexpr double kScreenWeight = 4.0;
constexpr double kClear = 0.05;
// A core pixel counts as kept from this matte on; soft edges accept a core
// that is partly transparent in places (a compositor's finishing fills it).
constexpr double kKeptSolid = 0.95;
constexpr double kKeptSoft = 0.5;

float Mix(float screen, float subject, double share, bool displayEncoded) {
    if (!displayEncoded) return static_cast<float>(screen + (subject - screen) * share);
    const double linear = SrgbToLinear(screen) + (SrgbToLinear(subject) - SrgbToLinear(screen)) * share;
    return static_cast<float>(LinearToSrgb(linear));
}

keying::Colour MixColour(const keying::Colour& screen, const keying::Colour& subject, double share,
                         bool displayEncoded) {
    return {Mix(screen.b, subject.b, share, displayEncoded), Mix(screen.g, subject.g, share, displayEncoded),
            Mix(screen.r, subject.r, share, displayEncoded), 1.0f};
}

// A fixed sequence of indices, the same on every machine.
class Indices {
public:
    std::size_t Next(std::size_t size) {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::size_t>((state_ >> 33) % size);
    }

private:
    std::uint64_t state_ = 0x9E3779B97F4A7C15ULL;
};

double MixError(const MatteProbe& probe, const FrameRegions& regions, bool displayEncoded) {
    Indices indices;
    double error = 0.0;
    long count = 0;
    for (int pair = 0; pair < kMixPairs; ++pair) {
        const std::size_t s = indices.Next(regions.screen.Size());
        const std::size_t c = indices.Next(regions.core.Size());
        // A mix sits over the screen's own key pixel.
        const keying::Colour* key = regions.screen.key.empty() ? nullptr : &regions.screen.key[s];
        for (double share : kMixShares) {
            const keying::Colour mixed =
                MixColour(regions.screen.colour[s], regions.core.colour[c], share, displayEncoded);
            const double matte = probe.Matte(mixed, key);
            if (!std::isfinite(matte)) continue;
            error += std::fabs(matte - share);
            ++count;
        }
    }
    return count ? error / static_cast<double>(count) : 1.0;
}

// The share of subject in `colour` along the line from `screen` to
// `subject`, in light when the frame is display-encoded; NaN when the colour
// is not such a mix (farther from the line than kOffLine of the two's
// distance) or the two are too alike to tell one from the other.
double FrameShare(const keying::Colour& colour, const keying::Colour& screen, const keying::Colour& subject,
                  bool displayEncoded) {
    auto light = [displayEncoded](float v) { return displayEncoded ? SrgbToLinear(v) : static_cast<double>(v); };
    const double c[3] = {light(colour.b), light(colour.g), light(colour.r)};
    const double s[3] = {light(screen.b), light(screen.g), light(screen.r)};
    const double f[3] = {light(subject.b), light(subject.g), light(subject.r)};
    double along = 0.0;
    double contrast = 0.0;
    for (int k = 0; k < 3; ++k) {
        along += (c[k] - s[k]) * (f[k] - s[k]);
        contrast += (f[k] - s[k]) * (f[k] - s[k]);
    }
    if (!(contrast > kLeastFrameContrast)) return std::nan("");
    const double share = std::clamp(along / contrast, 0.0, 1.0);
    double off = 0.0;
    for (int k = 0; k < 3; ++k) {
        const double d = c[k] - (s[k] + (f[k] - s[k]) * share);
        off += d * d;
    }
    return off <= kOffLine * kOffLine * contrast ? share : std::nan("");
}

// The mean |matte - share| over the frame's own contour pixels that are
// mixes of the screen and the core around them; NaN when too few are.
double FrameMixError(const MatteProbe& probe, const EdgeSamples& edge, bool displayEncoded) {
    double error = 0.0;
    long count = 0;
    for (std::size_t i = 0; i < edge.Size(); ++i) {
        const double share = FrameShare(edge.colour[i], edge.screen[i], edge.subject[i], displayEncoded);
        if (std::isnan(share)) continue;
        const double matte = probe.Matte(edge.colour[i], edge.key.empty() ? nullptr : &edge.key[i]);
        if (!std::isfinite(matte)) continue;
        error += std::fabs(std::clamp(matte, 0.0, 1.0) - share);
        ++count;
    }
    return count >= kLeastFrameMixes ? error / static_cast<double>(count) : std::nan("");
}

template <typename Count>
double Share(const MatteProbe& probe, const PixelSamples& samples, Count counts) {
    long hits = 0;
    for (std::size_t i = 0; i < samples.Size(); ++i) {
        hits += counts(probe.Matte(samples.colour[i], samples.key.empty() ? nullptr : &samples.key[i])) ? 1 : 0;
    }
    return samples.Size() ? static_cast<double>(hits) / static_cast<double>(samples.Size()) : 0.0;
}

// Whether the frame's own contour shows mixes that a ramp to the subject keys
// better than the ramp just past the screen: a hard contour (a solid object
// against the screen) is keyed no better by a longer ramp, which only makes
// its core partly transparent where its colours near the screen's. True when
// the frame has too few mixes to tell.
bool FrameShowsMixes(const std::vector<SetupCandidate>& candidates) {
    double pastScreen = std::numeric_limits<double>::infinity();
    double toSubject = std::numeric_limits<double>::infinity();
    for (const SetupCandidate& candidate : candidates) {
        const double error = candidate.score.frameMixError;
        if (!candidate.score.usable || std::isnan(error)) continue;
        double& least = candidate.coreShare > 0.0 ? toSubject : pastScreen;
        least = std::min(least, error);
    }
    if (!std::isfinite(pastScreen) || !std::isfinite(toSubject)) return true;
    return toSubject <= kSoftEvidence * pastScreen;
}

// The ramps to the subject refused, and the ramps just past the screen judged
// again as for hard edges (a core kept solid, not half opaque).
void KeepHardEdges(const Operator& tool, const FrameRegions& regions, const SearchOptions& search,
                   std::vector<SetupCandidate>& candidates) {
    SearchOptions hard = search;
    hard.softEdges = false;
    for (SetupCandidate& candidate : candidates) {
        if (!candidate.score.usable) continue;
        if (candidate.coreShare > 0.0) {
            candidate.score = SetupScore{};
            candidate.score.failure = kHardContour;
            continue;
        }
        const double frameMixError = candidate.score.frameMixError;
        candidate.score = ScoreSetup(tool, candidate.setup, regions, hard);
        candidate.score.frameMixError = frameMixError;
        candidate.setup.notes.push_back(std::string(kHardContour) + ": set up for hard edges");
    }
}

// The best of candidates [first, end) (one space's) moved to the front.
void BestFirst(std::vector<SetupCandidate>& candidates, std::size_t first, std::size_t end) {
    for (std::size_t i = first + 1; i < end; ++i) {
        const SetupScore& a = candidates[i].score;
        const SetupScore& b = candidates[first].score;
        if (a.usable && (!b.usable || a.total < b.total)) std::swap(candidates[i], candidates[first]);
    }
}

}  // namespace

SetupScore ScoreSetup(const Operator& tool, const ScreenSetup& setup, const FrameRegions& regions,
                      const SearchOptions& search) {
    SetupScore score;
    if (regions.screen.Size() == 0) {
        score.failure = "no pixel of the frame has the screen's colours";
        return score;
    }
    const MatteProbe probe(tool, setup.values);
    score.usable = true;
    if (regions.core.Size() == 0) {
        // Nothing apart from the screen: only the screen can be judged.
        score.coreKept = 1.0;
        score.screenClear = Share(probe, regions.screen, [](double m) { return m <= kClear; });
        score.total = kScreenWeight * (1.0 - score.screenClear);
        return score;
    }
    score.screenClear = Share(probe, regions.screen, [](double m) { return m <= kClear; });
    // Against a clean plate a pixel's key is its difference from the plate,
    // which is small for the subject's colours nearest the screen's: a ramp
    // ending at the rest of the core leaves those parts half keyed, a hole
    // no finishing can tell from a mix. There the core counts as kept only
    // when solid, soft edges or not.
    const bool againstPlate = !regions.core.key.empty();
    const double kept = search.softEdges && !againstPlate ? kKeptSoft : kKeptSolid;
    score.coreKept = Share(probe, regions.core, [kept](double m) { return m >= kept; });
    score.mixError = MixError(probe, regions, search.displayEncoded);

    score.total = kCoreWeight * (1.0 - score.coreKept) + kScreenWeight * (1.0 - score.screenClear) + score.mixError;
    return score;
}

std::vector<SetupCandidate> SearchSetups(const Operator& tool, const Image& plate, const Image* keyImage,
                                         const std::vector<ScreenRect>& rects, const FrameRegions& regions,
                                         const std::vector<int>& spaces, const SearchOptions& search) {
    std::vector<SetupCandidate> candidates;
    for (int space : spaces) {
        const std::size_t first = candidates.size();
        // Share 0 stands for the ramp just past the screen, without a subject.
        for (double share : kCoreShares) {
            if (share > 0.0 && !search.rampToSubject) break;
            SetupCandidate candidate;
            candidate.colourSpace = space;
            candidate.coreShare = share;
            try {
                candidate.setup = PlanScreenSetup(tool, plate, keyImage, rects,
                                                  SetupContext{share > 0.0 ? &regions : nullptr, space, share});
                candidate.score = ScoreSetup(tool, candidate.setup, regions, search);
                if (search.softEdges && candidate.score.usable) {
                    candidate.score.frameMixError = FrameMixError(MatteProbe(tool, candidate.setup.values), regions.edge,
                                                                  search.displayEncoded);
                }
            } catch (const CliError& e) {
                if (e.ExitCode() == 2) throw;
                candidate.score.failure = e.what();
            }
            candidates.push_back(std::move(candidate));
        }
        BestFirst(candidates, first, candidates.size());
    }
    if (search.softEdges && !FrameShowsMixes(candidates)) {
        KeepHardEdges(tool, regions, search, candidates);
        for (std::size_t first = 0, end = 0; first < candidates.size(); first = end) {
            for (end = first + 1; end < candidates.size() && candidates[end].colourSpace == candidates[first].colourSpace;)
                ++end;
            BestFirst(candidates, first, end);
        }
    }
    return candidates;
}

const SetupCandidate* BestSetup(const std::vector<SetupCandidate>& candidates) {
    const SetupCandidate* best = nullptr;
    for (const SetupCandidate& candidate : candidates) {
        if (candidate.score.usable && (best == nullptr || candidate.score.total < best->score.total)) best = &candidate;
    }
    return best;
}

std::string ColourSpaceName(int space) {
    static const char* const kNames[5] = {"RGB", "HSV", "YXy", "YUV", "YCbCr"};
    return space >= 0 && space < 5 ? kNames[space] : std::to_string(space);
}

std::string DescribeScore(const SetupScore& score) {
    if (!score.usable) return score.failure;
    char line[160];
    std::snprintf(line, sizeof line, "screen clear %.1f%%, core kept %.1f%%, mix error %.3f, score %.3f",
                  score.screenClear * 100.0, score.coreKept * 100.0, score.mixError, score.total);
    return line;
}

}  // namespace veskar
