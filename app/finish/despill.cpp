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

#include <algorithm>
#include <cmath>

#include "app/finish/finish_stages.h"

namespace veskar::finish {
namespace {

constexpr int kBlockRows = 16;
constexpr double kLumaR = 0.2126;
constexpr double kLumaG = 0.7152;
constexpr double kLumaB = 0.0722;

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
    const double luma = kLumaR * m[1][0] + kLumaG * m[1][1] + kLumaB * m[1][2];
    for (int c = 0; c < 3; ++c) plan.removed[c] = m[1][c] - luma;
    return true;
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

}  // namespace veskar::finish
