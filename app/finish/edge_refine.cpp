// Edge refinement: the matte near the subject's contour estimated again from
// the colours, as the share of subject in a mix of the local screen and the
// local subject. A window key gives a pixel's alpha from where its colour lies
// against the screen's, which is not in step with how much of the subject it
// holds; a mix of two known colours tells its share exactly.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "app/finish/colour_fill.h"
#include "app/finish/finish_stages.h"
#include "app/finish/large_vector.h"
#include "keying/staging.h"

namespace veskar::finish {
namespace {

constexpr int kBlockRows = 16;
// Opaque mattes (IsOpaque) are the subject's own colour, those that show the
// screen (ShowsScreen) the screen's; each is eroded by a pixel so that neither
// takes in the mixes of the contour.
// How far from the contour and from soft pixels the matte is estimated again.
// Measured on the soft plates (bench/edge): 6 rather than 3 reaches the hair
// and fur the tool keyed solid farther in, which lowers the edge error on
// every plate (the teal hair's most: 0.116 to 0.102); 10 lowers it further but
// opens holes in the H.264 hair, whose smeared chroma passes for mixes.
constexpr double kBandRadius = 6.0;
// Below this squared distance the subject's colour is the screen's, and the
// mix tells nothing: the tool's matte stays.
constexpr double kLeastContrast = 1e-4;
// A colour farther than this share of |S - F| from the line between the
// local screen S and subject F is not their mix (a highlight, a reflection, a
// part of the subject of another colour than the core nearby): it takes no
// alpha away. Stricter where the tool keyed the pixel solid, so that a hard
// subject keeps its core. Measured on plates with an exact soft alpha and on a
// solid instrument (bench/edge): 0.3 and 0.2 remove the holes the refinement
// cut into hair and the instrument without raising any edge error.
constexpr double kOffLine = 0.3;
constexpr double kOffLineSolid = 0.2;
// A colour past the screen, seen from a subject colour, by more than this
// share of |S - F| is no mix of the two either. Beside a lighter part of the
// subject whose own colour no solid pixel nearby shows (a face keyed just
// below solid, its fill taken from the darker hair and eyes), the darkest
// shades put the screen between the pixel and the subject, and the pixel read
// as screen: a motion-blurred cheek over a yellow-green screen was cleared in
// rows. Measured on the soft plates (bench/edge): their figures stay; 0.05
// cut into the instrument's contour.
constexpr double kPastScreen = 0.15;
// A pixel the tool keyed clear is raised at most to this, short of one half
// (which an 8-bit file rounds above it): the colours soften the outside of
// the contour but do not move it past the screen the tool saw (on a hard
// contour, mixes a pixel wide would otherwise grow the subject).
constexpr double kClearRaise = 0.45;
// The shades of the fill's subject colour a strand may have (1 down to 0.1
// in kShadeSteps steps of kShadeStep), and how much a darker shade must explain
// the colour better to be taken (in the squared share of |S - F| the mix
// misses the colour by, per squared darkening). Measured on the soft plates
// and the instrument (bench/edge): shades down to 0.3 brought the fur and the
// teal hair's strands closest to their true alpha (steps of 0.05 a little
// closer than 0.1); down to 0.1, a subject part far darker than the fill
// beside it is read as itself, not as a mix with the screen (the last row of
// dark hair above a bright top: the teal hair's 2 hole pixels closed, its IoU
// 0.9904 to 0.9907, the instrument's 0.9903 to 0.9907; skin at the contour of
// the yellow-green motion-blur frame, keyed 0.04 to 0.09, kept at 0.87 to
// 0.95), every other plate's figures unchanged (0.05 gives the same); the
// weight 0.04 keeps a darker screen near a defocused contour from reading as
// a dark strand (none of the plates' screen leaks; 0.01 leaked 19 pixels of
// it) at a small cost to the fur.
constexpr int kShadeSteps = 18;
constexpr double kShadeStep = 0.05;
constexpr double kDarkening = 0.04;
// A pixel whose share of subject from those shades leaves it holding less of
// the screen than 1 - alpha (HoldsLessScreen: the subject behind it would be
// darker than black in some component) is no mix of a shade that dark: a part
// of the subject lighter than the fill beside it, mixed with a bright screen.
// Such a pixel tries lighter shades too, up to 1.5 times the fill, weighed
// kBrightening per squared brightening, and takes the higher alpha. On the
// yellow-green motion-blur frame the cheek's contour, lit brighter than the
// face the fill comes from, read as mostly screen (alpha 0.44 where the
// screen's green left room for no less than 0.52), and unmixing it took its
// green to 0: magenta patches. Measured (bench/edge): pixels whose unmixed
// green is below 0.6 of red and blue, 317 to 198 on that frame, and the
// speckled holes at the top of its head closed; every soft plate's and the
// instrument's figures unchanged (taking the lighter shades' alpha when lower
// too cost the teal hair 0.0004 of IoU; so taken, weighed 0.04 or reaching
// 1.3, they cleared fewer patches). Tried for every band pixel, lighter
// shades cost the fur 0.004 of IoU and opened holes in the H.264 hair.
constexpr int kBrightSteps = 10;
constexpr double kBrightening = 0.01;
// The share of the local screen's light a strand or a blurred contour may
// carry on top of its own colour (0 to kSpillMost in kSpillSteps steps, no
// weight against any): the screen lights the subject's edge from behind and
// around it, more than the core the fill comes from. Measured on the soft
// plates (bench/edge), whose subjects carry such spill: the defocused
// contour's IoU 0.989 to 0.991 and edge error 0.069 to 0.065, every other
// plate's edge error within 0.001 or lower, the instrument's IoU unchanged and
// no plate leaks (0.3 leaked 2 pixels of the defocused screen; 0.06 gained
// less).
constexpr int kSpillSteps = 4;
constexpr double kSpillMost = 0.08;
// Farther than kSubjectReach from the subject (matte 0.5 or more), alpha
// below kVeil is the screen's grain and shading, not a strand: it clears.
// The colours' estimate of a screen pixel is near 0 but not 0, and a soft
// setup leaves a faint veil over the darker parts of the screen. Measured on
// the soft plates (bench/edge): in place of clipping the whole matte's lowest
// 6% (levels, which took 0.03 off every mix at one half), the fur's and the
// defocused contour's edge error fell by a fifth, the teal hair reached an
// IoU of 0.990, and no plate leaks; 6 px or a level of 0.2 gave up a little
// of that on the strands that reach out of the outline.
constexpr double kSubjectReach = 12;
constexpr float kVeil = 0.1f;

// Pixels farther than this from any pixel below one half are the subject's
// core, made opaque: a setup that keeps soft edges leaves the core partly
// transparent where grain moves its colours (on the H.264 plate of
// bench/edge a fifth of the face and shirt below 0.9). Measured on the soft
// plates: 12 px leaves the soft fur and strands inside an outline as they
// were (6 px raised the fur's edge error by a quarter) while faces, bodies
// and shirts become opaque.
constexpr double kCoreRadius = 12.0;
// The estimate is made this many times. Each pass after the first takes the
// subject's fill from the matte the pass before left, in which the contour's
// mixes the tool keyed solid are no longer opaque: the fill then comes
// from purer subject colours. Those passes estimate again only the pixels
// short of opaque that the tool did not key clear: a clear pixel is judged once,
// against the screen it shows (judged again, the contour crept outward by a
// pixel a pass on the instrument plate), and a pixel still solid stays the
// subject's. Measured on the soft plates (bench/edge): three passes against
// one lower the edge error on every plate (the teal hair's 0.103 to 0.071,
// the defocused contour's 0.095 to 0.086, the H.264 hair's 0.192 to 0.182)
// and keep the instrument's contour; a fourth gains little.
constexpr int kPasses = 3;
// A solid pixel is no sample of the subject's colour when a solid pixel
// within kPurerRadius lies on the line from the local screen through its
// colour, more than kPurer of that distance farther from the screen (within
// kPurerReach of the line, as a share of the distance there): the tool keyed a
// mix solid (blond strands over green keyed solid at a true alpha of 0.4 to
// 0.8 filled the subject's colour with mixes, darker and greener than the
// hair). Such a pixel is estimated again even outside the band. Solid pixels
// within kMixReach of the screen's side are tried. Measured on the soft
// plates (bench/edge): the H.264 hair's edge error 0.182 to 0.118, IoU 0.965
// to 0.981; every other plate and the instrument within 0.0005 (a radius of 3
// or a share of 0.2 gained less on the hair; a reach of 12 px, 0.124). Once
// such mixes took their subject colour along rays (RaySubject), a radius of 8
// rather than 5 found more of the H.264 hair's strands: its edge error 0.099
// to 0.077 and IoU 0.983 to 0.987, the defocused contour's edge error 0.070
// to 0.069, the rest within 0.0002 (10 or 12 gained no more and cost the fur
// or the instrument; a share of 0.2 opened a hole in the instrument).
constexpr int kPurerRadius = 8;
constexpr double kPurer = 0.3;
constexpr double kPurerReach = 0.1;
constexpr double kMixReach = 18.0;

bool IsSoft(float a) { return !ShowsScreen(a) && !IsOpaque(a); }

// The pixels estimated again: near what is mostly screen (matte below 0.5),
// and near either a soft pixel or the subject: the contour and the soft
// pixels on the screen's side of the subject, not a soft patch deep inside it.
std::vector<std::uint8_t> Band(const Matte& matte) {
    const std::vector<std::uint8_t> over = Near(matte, IsOver, kBandRadius);
    const std::vector<std::uint8_t> soft = Near(matte, IsSoft, kBandRadius);
    const std::vector<std::uint8_t> under = Near(matte, IsUnder, kBandRadius);
    std::vector<std::uint8_t> band = LargeVector<std::uint8_t>(matte.alpha.size(), 0);
    for (std::size_t i = 0; i < band.size(); ++i) {
        band[i] = under[i] && (soft[i] || over[i]) ? 1 : 0;
    }
    return band;
}

// The clean plate's colour behind every pixel, paired as the tool pairs them;
// empty without a clean plate.
std::vector<double> CleanPlateColours(const FrameContext& context, int width, int height) {
    if (context.cleanPlate == nullptr) return {};
    const Image& plate = *context.cleanPlate;
    const Colours colours = ReadColours(plate, context.displayEncoded);
    const double sx = static_cast<double>(plate.Width()) / width;
    const double sy = static_cast<double>(plate.Height()) / height;
    std::vector<double> screen = LargeVector<double>(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::int32_t kx = keying::KeySampleCoordinate(x, sx);
            const std::int32_t ky = keying::KeySampleCoordinate(y, sy);
            // A pairing outside the plate: the frame's own screen serves instead.
            if (!keying::KeySampleInside(kx, ky, plate.Width(), plate.Height())) return {};
            const double* from = colours.At(static_cast<std::size_t>(ky) * plate.Width() + kx);
            std::copy(from, from + 3, &screen[(static_cast<std::size_t>(y) * width + x) * 3]);
        }
    }
    return screen;
}

// How far the colour `c` lies from the mix of `f` and `s` nearest it, as a
// share of |S - F| squared (the chromatic distortion of taking `f` as the
// subject's colour behind the pixel); infinite where the two are too alike to
// tell a mix, and where `c` lies past the screen, seen from `f`, by more than
// kPastScreen of |S - F|: no mix of the two is that far from the subject.
double Distortion(const double* c, const double* f, const double* s) {
    double along = 0.0;
    double contrast = 0.0;
    for (int k = 0; k < 3; ++k) {
        along += (c[k] - f[k]) * (s[k] - f[k]);
        contrast += (s[k] - f[k]) * (s[k] - f[k]);
    }
    if (!(contrast > kLeastContrast) || along / contrast > 1.0 + kPastScreen) return HUGE_VAL;
    const double t = std::clamp(along / contrast, 0.0, 1.0);
    double off = 0.0;
    for (int k = 0; k < 3; ++k) {
        const double d = c[k] - (f[k] + (s[k] - f[k]) * t);
        off += d * d;
    }
    return off / contrast;
}

// The alpha the colours give the pixel of colour `c` between the local
// subject `f` and screen `s`, or its alpha so far, `current`, where they tell
// nothing; how far they may move it follows the tool's `keyed`.
float RefinedAlpha(const double* c, const double* f, const double* s, float current, float keyed) {
    double along = 0.0;
    double contrast = 0.0;
    for (int k = 0; k < 3; ++k) {
        along += (c[k] - f[k]) * (s[k] - f[k]);
        contrast += (s[k] - f[k]) * (s[k] - f[k]);
    }
    const double share = 1.0 - along / contrast;
    if (!(contrast > kLeastContrast) || !std::isfinite(share)) return current;
    const double reach = IsOpaque(keyed) ? kOffLineSolid : kOffLine;
    if (share < current && Distortion(c, f, s) > reach * reach) return current;
    return static_cast<float>(std::clamp(share, 0.0, ShowsScreen(keyed) ? kClearRaise : 1.0));
}

// The subject's colour behind a band pixel of colour `c` between the fill
// `fill` and the screen `s`: of the fill and its darker shades, each with a
// share of the screen's light (spill), the one whose mix with the screen lies
// closest to `c`, a darker shade weighed kDarkening times its darkening
// squared against it. Strands are the subject's own material in shadow
// (darker than the lit core the fill comes from); a darker shade is not on
// the line from the screen to the lit one, so the colour tells which shade it
// mixes. With `brighter`, lighter shades are tried too (kBrightSteps, weighed
// kBrightening). Returns the chosen one's cost (infinite where no shade tells
// a mix).
double BestSubject(const double* c, const double* fill, const double* s, double* f, bool brighter) {
    std::copy(fill, fill + 3, f);
    // A subject of the screen's own colour tells no mix at any shade.
    double least = Distortion(c, fill, s);
    if (least == HUGE_VAL) return least;
    for (int m = 0; m <= kSpillSteps; ++m) {
        const double spill = kSpillMost * m / kSpillSteps;
        // Shades from the fill outward in `direction` (-1 darker, +1
        // lighter), from step `first` on. The distortion is never below 0, so
        // a shade whose weight alone is not below the least cannot be taken;
        // nor can the shades after it.
        auto tryShades = [&](int direction, int first, int steps, double weight) {
            for (int n = first; n <= steps; ++n) {
                const double k = 1.0 + direction * n * kShadeStep;
                const double change = weight * (1.0 - k) * (1.0 - k);
                if (change >= least) break;
                const double shade[3] = {fill[0] * k + spill * s[0], fill[1] * k + spill * s[1],
                                         fill[2] * k + spill * s[2]};
                const double cost = Distortion(c, shade, s) + change;
                if (cost < least) least = cost, std::copy(shade, shade + 3, f);
            }
        };
        tryShades(-1, m == 0 ? 1 : 0, kShadeSteps, kDarkening);
        if (brighter) tryShades(1, 1, kBrightSteps, kBrightening);
    }
    return least;
}

// The subject colour behind a mix the tool keyed solid (a pixel `mixes`
// marks) at (x, y): of the fill, the first subject sample along each of eight
// rays within kRayReach, and the shades of each (BestSubject), the one whose
// mix with the screen lies closest to its colour. Such strands lie among the
// subject's own colours, and the fill, a mean of the samples around, blends
// them: on blond strands over green keyed solid, it passed between the hair
// and the face and took the strands for solid. Measured on the soft plates
// (bench/edge): the H.264 hair's edge error 0.119 to 0.099, IoU 0.979 to
// 0.983; every other plate and the instrument within 0.0004. (Rays for every
// pixel the tool keyed solid took the hair to 0.094, but lowered the
// instrument's IoU below 0.99; for every band pixel they opened holes in
// the teal hair. A reach of 8 to 24 px gives the same.)
constexpr int kRayReach = 12;

void RaySubject(const Colours& colours, const std::vector<std::uint8_t>& samples, int x, int y, const double* fill,
                const double* s, double* f, bool brighter) {
    const double* c = colours.At(static_cast<std::size_t>(y) * colours.width + x);
    double least = BestSubject(c, fill, s, f, brighter);
    if (least == HUGE_VAL) return;
    static constexpr int kDirections[8][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}, {1, 1}, {-1, -1}, {1, -1}, {-1, 1}};
    for (const auto& d : kDirections) {
        for (int step = 1; step <= kRayReach; ++step) {
            const int px = x + d[0] * step;
            const int py = y + d[1] * step;
            if (px < 0 || py < 0 || px >= colours.width || py >= colours.height) break;
            const std::size_t j = static_cast<std::size_t>(py) * colours.width + px;
            if (!samples[j]) continue;
            double candidate[3];
            const double cost = BestSubject(c, colours.At(j), s, candidate, brighter);
            if (cost < least) least = cost, std::copy(candidate, candidate + 3, f);
            break;
        }
    }
}

// Whether the colour `c` holds less of the screen `s` than a share of 1 - `a`:
// some component of it lies below that share of the screen's, so the subject
// behind it would have to be darker than black there.
bool HoldsLessScreen(const double* c, const double* s, float a) {
    for (int k = 0; k < 3; ++k) {
        if (c[k] < (1.0 - a) * s[k]) return true;
    }
    return false;
}

// Whether the solid pixel at (x, y), of colour `c` over the screen `s`, is a
// mix of `s` and a purer subject colour in a solid pixel beside it.
bool MixBesidePurer(const Matte& matte, const Colours& colours, const std::vector<std::uint8_t>& solid, int x, int y,
                    const double* c, const double* s) {
    double d[3];
    double span = 0.0;
    for (int k = 0; k < 3; ++k) d[k] = c[k] - s[k], span += d[k] * d[k];
    if (!(span > kLeastContrast)) return false;
    const int x0 = std::max(0, x - kPurerRadius);
    const int x1 = std::min(matte.width - 1, x + kPurerRadius);
    const int y0 = std::max(0, y - kPurerRadius);
    const int y1 = std::min(matte.height - 1, y + kPurerRadius);
    for (int py = y0; py <= y1; ++py) {
        for (int px = x0; px <= x1; ++px) {
            const std::size_t j = matte.Index(px, py);
            if (!solid[j]) continue;
            const double* other = colours.At(j);
            double e[3];
            double t = 0.0;
            for (int k = 0; k < 3; ++k) e[k] = other[k] - s[k], t += e[k] * d[k];
            t /= span;
            double off = 0.0;
            for (int k = 0; k < 3; ++k) off += (e[k] - t * d[k]) * (e[k] - t * d[k]);
            if (t > 1.0 + kPurer && off / span < kPurerReach * kPurerReach * t * t) return true;
        }
    }
    return false;
}

// The pixels the subject's colour fills from: solid ones (Solidly), less
// those near the screen that are mixes beside a purer subject colour, which
// `mixes` marks.
std::vector<std::uint8_t> SubjectSamples(const Matte& matte, const Colours& colours, const std::vector<double>& screen,
                                         std::vector<std::uint8_t>& mixes) {
    const std::vector<std::uint8_t> solid = Solidly(matte, IsOpaque);
    const std::vector<std::uint8_t> nearScreen = Near(matte, IsUnder, kMixReach);
    std::vector<std::uint8_t> samples = solid;
    mixes = LargeVector<std::uint8_t>(solid.size(), 0);
    ForRowBlocks(matte.height, kBlockRows, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            for (int x = 0; x < matte.width; ++x) {
                const std::size_t i = matte.Index(x, y);
                if (solid[i] && nearScreen[i] &&
                    MixBesidePurer(matte, colours, solid, x, y, colours.At(i), &screen[i * 3])) {
                    samples[i] = 0;
                    mixes[i] = 1;
                }
            }
        }
    });
    return samples;
}

// Faint alpha far from the subject made clear; a frame with no pixel of the
// subject keeps its matte.
void ClearVeil(Matte& matte) {
    if (std::none_of(matte.alpha.begin(), matte.alpha.end(), IsOver)) return;
    const std::vector<std::uint8_t> near = Near(matte, IsOver, kSubjectReach);
    for (std::size_t i = 0; i < matte.alpha.size(); ++i) {
        if (!near[i] && matte.alpha[i] < kVeil) matte.alpha[i] = 0.0f;
    }
}

// The subject's core (farther than kCoreRadius from anything below one half)
// made opaque; NaN stays.
void FillCore(Matte& matte) {
    const std::vector<std::uint8_t> under = Near(matte, IsUnder, kCoreRadius);
    for (std::size_t i = 0; i < matte.alpha.size(); ++i) {
        if (!under[i] && matte.alpha[i] >= 0.5f) matte.alpha[i] = 1.0f;
    }
}

}  // namespace

void RefineEdges(Matte& matte, const FrameContext& context, const Colours& colours) {
    if (matte.alpha.empty()) return;
    const std::vector<double> cleanPlate = CleanPlateColours(context, matte.width, matte.height);
    const std::vector<float> keyed = matte.alpha;
    std::vector<double> screenFill;
    std::vector<double> subject;
    for (int pass = 0; pass < kPasses; ++pass) {
        if (cleanPlate.empty() && !Fill(colours, Solidly(matte, ShowsScreen), screenFill)) {
            break;  // only the subject is in the frame: no mix to tell
        }
        const std::vector<double>& screen = cleanPlate.empty() ? screenFill : cleanPlate;
        std::vector<std::uint8_t> mixes;
        const std::vector<std::uint8_t> samples = SubjectSamples(matte, colours, screen, mixes);
        if (!Fill(colours, samples, subject)) break;  // only the screen
        const std::vector<std::uint8_t> band = Band(matte);
        ForRowBlocks(matte.height, kBlockRows, [&](int y0, int y1) {
            for (std::size_t i = static_cast<std::size_t>(y0) * matte.width;
                 i < static_cast<std::size_t>(y1) * matte.width; ++i) {
                if ((!band[i] && !mixes[i]) || std::isnan(matte.alpha[i])) continue;
                if (pass > 0 && (ShowsScreen(keyed[i]) || IsOpaque(matte.alpha[i]))) continue;
                auto estimate = [&](bool brighter) {
                    double f[3];
                    if (mixes[i]) {
                        RaySubject(colours, samples, static_cast<int>(i % matte.width),
                                   static_cast<int>(i / matte.width), &subject[i * 3], &screen[i * 3], f, brighter);
                    } else {
                        BestSubject(colours.At(i), &subject[i * 3], &screen[i * 3], f, brighter);
                    }
                    return RefinedAlpha(colours.At(i), f, &screen[i * 3], matte.alpha[i], keyed[i]);
                };
                float refined = estimate(false);
                if (HoldsLessScreen(colours.At(i), &screen[i * 3], refined)) {
                    refined = std::max(refined, estimate(true));
                }
                matte.alpha[i] = refined;
            }
        });
    }
    ClearVeil(matte);
    FillCore(matte);
}

}  // namespace veskar::finish
