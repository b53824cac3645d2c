#include "app/setup/setup_search.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

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

template <typename Count>
double Share(const MatteProbe& probe, const PixelSamples& samples, Count counts) {
    long hits = 0;
    for (std::size_t i = 0; i < samples.Size(); ++i) {
        hits += counts(probe.Matte(samples.colour[i], samples.key.empty() ? nullptr : &samples.key[i])) ? 1 : 0;
    }
    return samples.Size() ? static_cast<double>(hits) / static_cast<double>(samples.Size()) : 0.0;
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
    const double kept = search.softEdges ? kKeptSoft : kKeptSolid;
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
            } catch (const CliError& e) {
                if (e.ExitCode() == 2) throw;
                candidate.score.failure = e.what();
            }
            candidates.push_back(std::move(candidate));
        }
        // The space's best first.
        for (std::size_t i = first + 1; i < candidates.size(); ++i) {
            const SetupScore& a = candidates[i].score;
            const SetupScore& b = candidates[first].score;
            if (a.usable && (!b.usable || a.total < b.total)) std::swap(candidates[i], candidates[first]);
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
