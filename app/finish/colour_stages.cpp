// Stages 6 and 8 of finishing: the colour that goes with the finished matte
// (unmixed from the source, or following the matte), and the view written.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/files/colour.h"
#include "app/finish/colour_fill.h"
#include "app/finish/finish_stages.h"
#include "app/finish/status_colours.h"
#include "keying/staging.h"

namespace veskar::finish {
namespace {

constexpr int kBlockRows = 16;

bool SameBits(float a, float b) noexcept { return std::memcmp(&a, &b, sizeof a) == 0; }

// The screen behind each pixel of a row: the clean plate's pixel the tool
// pairs with it, or the screen colour where there is none (no clean plate,
// or a pairing that falls outside it). Records are blue, green, red.
class ScreenRow {
  public:
    ScreenRow(const FrameContext& context, int width, int height)
        : plate_(context.cleanPlate),
          fallback_{context.screen[2], context.screen[1], context.screen[0]} {
        if (plate_) {
            sx_ = static_cast<double>(plate_->Width()) / width;
            sy_ = static_cast<double>(plate_->Height()) / height;
        }
    }

    // Blue, green, red of the screen at (x, y).
    const float* At(int x, int y) const noexcept {
        if (!plate_) return fallback_;
        const std::int32_t kx = keying::KeySampleCoordinate(x, sx_);
        const std::int32_t ky = keying::KeySampleCoordinate(y, sy_);
        if (!keying::KeySampleInside(kx, ky, plate_->Width(), plate_->Height())) return fallback_;
        return plate_->Plane1Pixel(kx, ky);
    }

  private:
    const Image* plate_;
    float fallback_[3];
    double sx_ = 0.0;
    double sy_ = 0.0;
};

// Colour follows a changed matte. Premultiplied colour is rescaled by
// after / before; where there was no alpha before, the source colour comes
// in (times the new alpha when premultiplied). Straight colour with alpha
// before keeps its value.
void FollowMatte(float* record, const float* source, float before, float after,
                 bool premultiplied) {
    if (before > 0.0f) {
        if (!premultiplied) return;
        const double ratio = static_cast<double>(after) / before;
        for (int c = 0; c < 3; ++c) record[c] = static_cast<float>(record[c] * ratio);
    } else if (after > 0.0f) {
        for (int c = 0; c < 3; ++c) record[c] = premultiplied ? source[c] * after : source[c];
    }
}

// Unmix: the source less the screen's share (1 - a), in light (`screen` is
// the screen behind the pixel in light, blue, green, red): a display-
// encoded plate's colours are decoded first and the foreground encoded again
// (a mix of two lights is made in light; unmixed in code values, an sRGB
// plate's edges kept too little of the screen's hue and took on its
// complement). A component the subtraction takes below 0 is 0 (a negative
// source component stays as it comes out). Such a pixel holds less of the
// screen than 1 - a says (chroma smeared by a video codec, a matte a little
// low): what is left of its colour has lost a component, not shown the
// subject's, so it takes the hue of `subject` at (x, y) (the subject's colour
// inside, filled out, in light; none: null) at the luminance left. On the
// yellow-green motion-blur frame the cheek's contour had unmixed to green 0
// and shown magenta patches (pixels with green below 0.6 of red and blue,
// 198 to 74); the soft plates of bench/edge, composited over grey, moved by
// at most 0.02 code values (linear, 8 bits) on average over their soft
// pixels.
// Straight colour is that divided by a and at most the brightest of 1 and
// the source's components: a foreground brighter than everything in its own
// pixel and than white is the screen's noise multiplied by 1 / a at a thin
// edge, not colour. Premultiplied colour is the straight colour times a. At
// a = 0 (or less) there is no foreground: 0.
void Unmix(float* record, const float* source, const double* screen, const FillLookup* subject, int x, int y,
           float alpha, bool premultiplied, bool displayEncoded) {
    const double a = std::clamp(static_cast<double>(alpha), 0.0, 1.0);
    if (a <= 0.0) {
        record[0] = record[1] = record[2] = 0.0f;
        return;
    }
    auto light = [displayEncoded](float v) { return displayEncoded ? SrgbToLinear(v) : static_cast<double>(v); };
    const double lit[3] = {light(source[0]), light(source[1]), light(source[2])};
    const double bound = std::max({1.0, lit[0], lit[1], lit[2]});
    double unmixed[3];
    bool clamped = false;
    for (int c = 0; c < 3; ++c) {
        unmixed[c] = lit[c] - screen[c] * (1.0 - a);
        if (unmixed[c] < 0.0 && source[c] >= 0.0f) unmixed[c] = 0.0, clamped = true;
    }
    if (clamped && subject != nullptr) {
        double rgb[3];
        subject->At(x, y, rgb);
        const double left = kLumaBlue * unmixed[0] + kLumaGreen * unmixed[1] + kLumaRed * unmixed[2];
        const double own = kLumaRed * rgb[0] + kLumaGreen * rgb[1] + kLumaBlue * rgb[2];
        const double scale = left / own;
        if (own > 0.0 && std::isfinite(scale)) {
            for (int c = 0; c < 3; ++c) unmixed[c] = rgb[2 - c] * scale;
        }
    }
    for (int c = 0; c < 3; ++c) {
        double f = unmixed[c];
        if (!displayEncoded) {
            if (!premultiplied) f = std::min(f / a, bound);
        } else {
            f = LinearToSrgb(std::min(f / a, bound));
            if (premultiplied) f *= a;
        }
        record[c] = static_cast<float>(f);
    }
}

}  // namespace

void FinishColour(const FinishOptions& options, const FrameContext& context, const Colours& colours,
                  const std::vector<float>& before, const Matte& matte, Image& keyed) {
    const ScreenRow screen(context, keyed.Width(), keyed.Height());
    // Without a clean plate, the screen behind a pixel is the frame's own
    // screen around it (its clear pixels, filled in, in light): a screen is
    // lit unevenly, and its one colour took too much from the edges over its
    // darker parts (the screen's complement showed) and left some of it in
    // the edges over its brighter parts.
    std::vector<double> around;
    if (options.unmix && context.cleanPlate == nullptr) {
        if (!Fill(colours, Solidly(matte, ShowsScreen), around)) around.clear();
    }
    // The subject's colour inside, filled out to the contour (in light), read
    // where a pixel needs it.
    const std::vector<std::uint8_t> opaque = options.unmix ? Solidly(matte, IsOpaque) : std::vector<std::uint8_t>{};
    FillLookup inside;
    const bool hasInside = options.unmix && inside.Make(colours, opaque);
    auto light = [&context](float v) { return context.displayEncoded ? SrgbToLinear(v) : static_cast<double>(v); };
    ForRowBlocks(keyed.Height(), kBlockRows, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            float* record = keyed.Plane1Pixel(0, y);
            const float* source = context.source.Plane1Pixel(0, y);
            for (int x = 0; x < keyed.Width(); ++x, record += 4, source += 4) {
                const std::size_t i = matte.Index(x, y);
                const float after = matte.alpha[i];
                if (std::isnan(after)) continue;  // no matte, nothing to unmix or follow: as keyed
                if (options.unmix) {
                    double behind[3];  // blue, green, red in light
                    if (!around.empty()) {
                        for (int c = 0; c < 3; ++c) behind[c] = around[i * 3 + 2 - c];
                    } else {
                        const float* s = screen.At(x, y);
                        for (int c = 0; c < 3; ++c) behind[c] = light(s[c]);
                    }
                    Unmix(record, source, behind, hasInside ? &inside : nullptr, x, y, after, context.premultiplied,
                          context.displayEncoded);
                } else if (!SameBits(after, before[i])) {
                    FollowMatte(record, source, before[i], after, context.premultiplied);
                }
                record[3] = after;
            }
        }
    });
}

std::array<float, 3> StatusColour(const unsigned char (&srgb)[3]) {
    std::array<float, 3> linear{};
    for (int c = 0; c < 3; ++c) linear[c] = static_cast<float>(SrgbToLinear(srgb[c] / 255.0));
    return linear;
}

void ApplyView(View view, Image& keyed) {
    if (view == View::Result) return;
    const std::array<float, 3> keyedColour = StatusColour(kStatusKeyed);
    const std::array<float, 3> partial = StatusColour(kStatusPartial);
    const std::array<float, 3> solid = StatusColour(kStatusSolid);
    ForRowBlocks(keyed.Height(), kBlockRows, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            float* record = keyed.Plane1Pixel(0, y);
            for (int x = 0; x < keyed.Width(); ++x, record += 4) {
                const float a = record[3];
                if (view == View::Matte) {
                    record[0] = record[1] = record[2] = a;
                } else {
                    // NaN is neither keyed nor solid: partial, as the tuning page shows it.
                    const std::array<float, 3>& c = a <= 0.0f   ? keyedColour
                                                    : a >= 1.0f ? solid
                                                                : partial;
                    record[0] = c[2];
                    record[1] = c[1];
                    record[2] = c[0];
                }
                record[3] = 1.0f;
            }
        }
    });
}

}  // namespace veskar::finish
