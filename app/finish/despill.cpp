// Stage 7 of finishing: spill suppression relative to the screen's own hue.
//
// The colour is turned about the grey axis so that the screen's hue lands on
// green; there green is limited by the larger of red and blue (the excess d
// is the spill); the excess is taken off along the same direction turned
// back, and the luminance it carried (Rec.709 weights) is given back as grey.
// Limiting by the larger of the two, not their mean, leaves alone every hue
// more than 60 degrees from the screen's: skin, wood and warm light in front
// of a green, blue or yellow-green screen.
//
// Both steps are linear and d scales with the colour, so premultiplied colour
// is despilled as it stands: despill(k c) = k despill(c) for k >= 0.
//
// Near the contour, the screen also lights the subject from behind: an edge
// carries the screen's light on top of its own colour whatever its hue (skin
// and blond hair over green stay redder than green, and the hue limit leaves
// them). EdgeDespill takes that light off relative to the subject's colour
// farther in.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "app/files/colour.h"
#include "app/finish/colour_fill.h"
#include "app/finish/finish_stages.h"
#include "app/finish/large_vector.h"

namespace veskar::finish {
namespace {

constexpr int kBlockRows = 16;

// The spill measures and the direction taken off, for one screen hue. The
// measures are written on (red - blue) and (green - blue), which the turn
// maps to the same numbers as (r, g, b) because it keeps grey where it is;
// so a grey colour measures exactly 0 and keeps its bits.
struct SpillPlan {
    double towardRed[2];   // green' - red' = [0] (r - b) + [1] (g - b)
    double towardBlue[2];  // green' - blue'
    double removed[3];     // red, green, blue taken off per unit of spill, luminance given back
};

bool MakePlan(const std::array<double, 3>& screen, SpillPlan& plan) {
    // The screen's hue: its chroma in the plane across the grey axis.
    const double cx = screen[0] - 0.5 * (screen[1] + screen[2]);
    const double cy = std::sqrt(0.75) * (screen[1] - screen[2]);
    const double length = std::hypot(cx, cy);
    if (!(length > 1e-12) || !std::isfinite(length))
        return false;  // grey or not finite: no hue to despill
    // Turn by theta = 120 degrees (green) - the screen's hue angle.
    const double c120 = -0.5;
    const double s120 = std::sqrt(0.75);
    const double cosT = c120 * (cx / length) + s120 * (cy / length);
    const double sinT = s120 * (cx / length) - c120 * (cy / length);
    // Rotation about n = (1,1,1)/sqrt 3: cos I + sin [n]x + (1 - cos) n n^T.
    const double k = sinT / std::sqrt(3.0);
    const double o = (1.0 - cosT) / 3.0;
    const double m[3][3] = {
        {cosT + o, -k + o, k + o}, {k + o, cosT + o, -k + o}, {-k + o, k + o, cosT + o}};
    for (int c = 0; c < 2; ++c) {
        plan.towardRed[c] = m[1][c] - m[0][c];
        plan.towardBlue[c] = m[1][c] - m[2][c];
    }
    // Green' taken off, turned back: the transpose's green column, row 1 of m.
    const double luma = kLumaRed * m[1][0] + kLumaGreen * m[1][1] + kLumaBlue * m[1][2];
    for (int c = 0; c < 3; ++c) plan.removed[c] = m[1][c] - luma;
    return true;
}

// The edge despill's reach: pixels within kEdgeReach of both a pixel below
// one half and one at or above it are the edge; opaque pixels (IsOpaque)
// farther than that from anything below one half are the subject's colour
// inside, filled out to the edge. An edge colour U is fitted as k F + s S
// (F that fill, S the screen, least squares); s S is the screen's light on
// it, taken off where the fit misses U by at most kEdgeFit of |U| (a colour
// that is no shade of F plus screen light, such as a part of the subject of
// another colour, keeps its bits). Measured on plates with an exact soft
// alpha and spill (bench/edge) after unmixing and the hue limit at 0.85: the
// ring inside the contour comes within 3 code values of the exact dry
// foreground's on five of six plates (it was up to 5.8 above), the strong
// spill's from 15.5 to 7.6 above it, and the instrument's rim from 9.2 to
// 5.4; a reach of 6 px or a fit within 0.05 of |U| left more of the spill,
// 14 px gained nothing.
constexpr double kEdgeReach = 10.0;
constexpr double kEdgeFit = 0.1;

// The screen's light s (per unit of `screen`) on the colour `u` whose subject
// colour is `f`, or 0 where u is no shade of f plus that light.
double EdgeSpill(const double* u, const double* f, const double* screen) {
    double ff = 0.0, fs = 0.0, ss = 0.0, fu = 0.0, su = 0.0, uu = 0.0;
    for (int c = 0; c < 3; ++c) {
        ff += f[c] * f[c], fs += f[c] * screen[c], ss += screen[c] * screen[c];
        fu += f[c] * u[c], su += screen[c] * u[c], uu += u[c] * u[c];
    }
    const double det = ff * ss - fs * fs;
    if (!(det > 1e-12 * ff * ss)) return 0.0;  // f has the screen's hue, or is black
    const double k = (ss * fu - fs * su) / det;
    const double s = (ff * su - fs * fu) / det;
    if (!(k > 0.0) || !(s > 0.0)) return 0.0;
    double miss = 0.0;
    for (int c = 0; c < 3; ++c) {
        const double d = u[c] - k * f[c] - s * screen[c];
        miss += d * d;
    }
    return miss <= kEdgeFit * kEdgeFit * uu ? s : 0.0;
}

}  // namespace

std::array<double, 3> DespillReference(const FrameContext& context) {
    std::array<double, 3> reference{context.screen[0], context.screen[1], context.screen[2]};
    const Image* plate = context.cleanPlate;
    if (!plate) return reference;
    // The clean plate's mean: one hue for the frame, so that the plate's noise
    // does not turn into noise in the despill. Sums go row by row in order.
    double sum[3] = {0.0, 0.0, 0.0};
    double count = 0.0;
    for (int y = 0; y < plate->Height(); ++y) {
        const float* record = plate->Plane1Pixel(0, y);
        for (int x = 0; x < plate->Width(); ++x, record += 4) {
            if (!std::isfinite(record[0]) || !std::isfinite(record[1]) || !std::isfinite(record[2]))
                continue;
            sum[0] += record[2];
            sum[1] += record[1];
            sum[2] += record[0];
            count += 1.0;
        }
    }
    if (count > 0.0) reference = {sum[0] / count, sum[1] / count, sum[2] / count};
    return reference;
}

void Despill(Image& keyed, const std::array<double, 3>& reference, double amount) {
    SpillPlan plan;
    if (!MakePlan(reference, plan)) return;
    ForRowBlocks(keyed.Height(), kBlockRows, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            float* record = keyed.Plane1Pixel(0, y);
            for (int x = 0; x < keyed.Width(); ++x, record += 4) {
                const double rb = static_cast<double>(record[2]) - record[0];
                const double gb = static_cast<double>(record[1]) - record[0];
                const double spill = std::min(plan.towardRed[0] * rb + plan.towardRed[1] * gb,
                                              plan.towardBlue[0] * rb + plan.towardBlue[1] * gb);
                // No spill (and NaN, which fails the test): the pixel keeps its bits.
                if (!(spill > 0.0)) continue;
                const double taken = amount * spill;
                record[2] = static_cast<float>(record[2] - taken * plan.removed[0]);
                record[1] = static_cast<float>(record[1] - taken * plan.removed[1]);
                record[0] = static_cast<float>(record[0] - taken * plan.removed[2]);
            }
        }
    });
}

void EdgeDespill(Image& keyed, const std::array<double, 3>& reference, double amount, bool premultiplied,
                 bool displayEncoded) {
    const int width = keyed.Width();
    const int height = keyed.Height();
    if (width == 0 || height == 0 || !(amount > 0.0)) return;
    auto light = [displayEncoded](double v) { return displayEncoded ? SrgbToLinear(v) : v; };
    const double screen[3] = {light(reference[0]), light(reference[1]), light(reference[2])};
    if (!std::isfinite(screen[0]) || !std::isfinite(screen[1]) || !std::isfinite(screen[2])) return;
    // Straight colour in light, red, green, blue; a pixel without alpha has none.
    Colours straight{width, height, {}};
    LargeResize(straight.rgb, static_cast<std::size_t>(width) * height * 3);
    ForRowBlocks(height, kBlockRows, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const float* record = keyed.Plane1Pixel(0, y);
            for (int x = 0; x < width; ++x, record += 4) {
                const double a = record[3];
                double* out = &straight.rgb[(static_cast<std::size_t>(y) * width + x) * 3];
                for (int c = 0; c < 3; ++c) {
                    const double v = premultiplied ? (a > 0.0 ? record[2 - c] / a : HUGE_VAL) : record[2 - c];
                    out[c] = std::isfinite(v) ? light(v) : v;
                }
            }
        }
    });
    const Matte matte = ReadMatte(keyed);
    const std::vector<std::uint8_t> nearUnder = Near(matte, IsUnder, kEdgeReach);
    const std::vector<std::uint8_t> nearOver = Near(matte, IsOver, kEdgeReach);
    std::vector<std::uint8_t> deep = LargeVector<std::uint8_t>(matte.alpha.size());
    for (std::size_t i = 0; i < deep.size(); ++i) deep[i] = IsOpaque(matte.alpha[i]) && !nearUnder[i] ? 1 : 0;
    std::vector<double> inside;
    if (!Fill(straight, deep, inside)) return;  // no subject inside to measure against
    ForRowBlocks(height, kBlockRows, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            float* record = keyed.Plane1Pixel(0, y);
            for (int x = 0; x < width; ++x, record += 4) {
                const std::size_t i = static_cast<std::size_t>(y) * width + x;
                const double a = record[3];
                if (!nearUnder[i] || !nearOver[i] || !(a > 0.0)) continue;
                const double* u = straight.At(i);
                if (!std::isfinite(u[0]) || !std::isfinite(u[1]) || !std::isfinite(u[2])) continue;
                const double taken = amount * EdgeSpill(u, &inside[i * 3], screen);
                if (!(taken > 0.0)) continue;
                for (int c = 0; c < 3; ++c) {
                    double v = u[c] - taken * screen[c];
                    if (v < 0.0 && u[c] >= 0.0) v = 0.0;  // nothing goes negative that was not
                    if (displayEncoded) v = LinearToSrgb(v);
                    if (premultiplied) v *= a;
                    record[2 - c] = static_cast<float>(v);
                }
            }
        }
    });
}

}  // namespace veskar::finish
