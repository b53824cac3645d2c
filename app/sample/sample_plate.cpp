#include "app/sample/sample_plate.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <utility>
#include <vector>

#include "app/cli_error.h"

namespace veskar {
namespace {

using OIIO::ImageBuf;
using OIIO::ImageSpec;
using OIIO::TypeDesc;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;

struct Rgb {
    float r;
    float g;
    float b;
};

struct Point {
    float x;
    float y;
};

// Colours in linear light, as a camera's scene-referred values: a green screen
// lit a stop or so under the subject's key light.
constexpr Rgb kScreenColour{0.07f, 0.40f, 0.12f};
constexpr Rgb kShirtColour{0.06f, 0.085f, 0.15f};
constexpr Rgb kSkinColour{0.46f, 0.25f, 0.17f};
constexpr Rgb kHairColour{0.085f, 0.05f, 0.026f};
// Loose strands catch the back light and read lighter than the hair mass.
constexpr Rgb kStrandColour{0.17f, 0.11f, 0.06f};

// How much of the screen's light the subject picks up where it faces the
// screen: fully on thin strands and at the silhouette, fading over
// kSpillReach pixels towards the inside.
constexpr float kSpillAmount = 0.28f;
constexpr float kSpillReach = 40.0f;  // Gaussian width (4 sigma) of the falloff

// Defocus of the body: a Gaussian of this width (4 sigma) in pixels.
constexpr float kDefocusWidth = 4.0f;

// Grain: standard deviation floor + gain x value, per channel, after a slight
// blur that makes it clump over about a pixel and a half as film grain does.
constexpr float kGrainFloor = 0.0015f;
constexpr float kGrainGain = 0.012f;
constexpr float kGrainWidth = 3.0f;
constexpr int kPlateGrainSeed = 1;
constexpr int kCleanPlateGrainSeed = 2;

// Deterministic numbers from a counter hash: the standard distributions
// differ between library implementations, this does not.
class Random {
  public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    double Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return static_cast<double>(z >> 11) * 0x1.0p-53;
    }
    float Range(double low, double high) { return static_cast<float>(low + (high - low) * Next()); }

  private:
    std::uint64_t state_;
};

float Clamp01(float v) { return std::clamp(v, 0.0f, 1.0f); }

float* Pixels(ImageBuf& buf) { return static_cast<float*>(buf.localpixels()); }
const float* Pixels(const ImageBuf& buf) { return static_cast<const float*>(buf.localpixels()); }

ImageBuf NewBuffer(int channels) {
    return ImageBuf(ImageSpec(kWidth, kHeight, channels, TypeDesc::FLOAT));
}

void Check(bool ok, const ImageBuf& buf) {
    if (!ok || buf.has_error()) {
        throw CliError("image operation failed: " + buf.geterror());
    }
}

// The result of an ImageBufAlgo call that returns its image, which carries
// any error.
ImageBuf Checked(ImageBuf buf) {
    Check(true, buf);
    return buf;
}

// A separable Gaussian blur; pixels beyond the frame count as the nearest
// edge pixel, so a subject cut by the frame keeps a hard edge there.
ImageBuf GaussianBlur(const ImageBuf& src, float width) {
    const ImageBuf across = OIIO::ImageBufAlgo::make_kernel("gaussian", width, 1.0f);
    const ImageBuf down = OIIO::ImageBufAlgo::make_kernel("gaussian", 1.0f, width);
    return Checked(
        OIIO::ImageBufAlgo::convolve(Checked(OIIO::ImageBufAlgo::convolve(src, across)), down));
}

// A wide Gaussian blur done at a quarter of the size: the result is smooth
// anyway, and the full-size kernel would cost ten times as much.
ImageBuf WideBlur(const ImageBuf& src, float width) {
    const OIIO::ROI small(0, kWidth / 4, 0, kHeight / 4, 0, 1, 0, src.nchannels());
    const ImageBuf reduced = Checked(OIIO::ImageBufAlgo::resize(src, "", 0.0f, small));
    return Checked(
        OIIO::ImageBufAlgo::resize(GaussianBlur(reduced, width / 4.0f), "", 0.0f, src.roi()));
}

// Coverage of a pixel by a shape from the signed distance (in pixels) of its
// centre to the outline: a one-pixel ramp, the area-sampled edge of a line.
float Coverage(float signedDistance) { return Clamp01(0.5f - signedDistance); }

float EllipseDistance(Point p, Point centre, float rx, float ry) {
    const float ux = (p.x - centre.x) / rx;
    const float uy = (p.y - centre.y) / ry;
    const float k0 = std::sqrt(ux * ux + uy * uy);
    const float k1 = std::sqrt(ux * ux / (rx * rx) + uy * uy / (ry * ry));
    // The gradient-scaled form stays close to a true distance near the
    // outline, which is all the edge ramp needs.
    return k1 > 0.0f ? k0 * (k0 - 1.0f) / k1 : -std::min(rx, ry);
}

float SegmentDistance(Point p, Point a, Point b) {
    const float abx = b.x - a.x;
    const float aby = b.y - a.y;
    const float t = Clamp01(((p.x - a.x) * abx + (p.y - a.y) * aby) / (abx * abx + aby * aby));
    const float dx = p.x - (a.x + t * abx);
    const float dy = p.y - (a.y + t * aby);
    return std::sqrt(dx * dx + dy * dy);
}

float RoundedBoxDistance(Point p, Point centre, float halfWidth, float halfHeight, float radius) {
    const float qx = std::abs(p.x - centre.x) - halfWidth + radius;
    const float qy = std::abs(p.y - centre.y) - halfHeight + radius;
    const float ox = std::max(qx, 0.0f);
    const float oy = std::max(qy, 0.0f);
    return std::sqrt(ox * ox + oy * oy) + std::min(std::max(qx, qy), 0.0f) - radius;
}

// Premultiplied "over" of one flat colour at the given coverage.
void PaintOver(float* pixel, float coverage, Rgb colour) {
    const float keep = 1.0f - coverage;
    pixel[0] = colour.r * coverage + pixel[0] * keep;
    pixel[1] = colour.g * coverage + pixel[1] * keep;
    pixel[2] = colour.b * coverage + pixel[2] * keep;
    pixel[3] = coverage + pixel[3] * keep;
}

Rgb Scaled(Rgb c, float k) { return {c.r * k, c.g * k, c.b * k}; }

// The screen as lit: brightest towards the upper left where the lights point,
// falling off to the corners, warmer and darker low on the cloth, with faint
// waves in the cloth. No pixel differs from its neighbour by more than the
// grain, as on a well-lit screen.
Rgb ScreenAt(float x, float y) {
    const float u = x / kWidth;
    const float v = y / kHeight;
    const float du = u - 0.42f;
    const float dv = v - 0.38f;
    const float falloff = 1.0f - 0.18f * (1.4f * du * du + 1.2f * dv * dv);
    const float slope = 1.0f + 0.05f * (0.5f - u);
    const float twoPi = 2.0f * std::numbers::pi_v<float>;
    const float waves = 1.0f + 0.012f * std::sin(twoPi * (1.3f * u + 0.35f * v)) +
                        0.008f * std::sin(twoPi * (0.5f * u - 1.9f * v) + 1.0f);
    const float light = falloff * slope * waves;
    return {kScreenColour.r * light * (1.0f + 0.06f * (v - 0.5f)), kScreenColour.g * light,
            kScreenColour.b * light * (1.0f - 0.05f * (v - 0.5f))};
}

// Where the head and hair sit.
constexpr Point kHeadCentre{612.0f, 262.0f};
constexpr Point kHairCentre{610.0f, 236.0f};
constexpr float kHairRx = 102.0f;
constexpr float kHairRy = 124.0f;

// The hair mass's outline wobbles a little around an ellipse.
float HairOutlineScale(float angle) {
    return 1.0f + 0.035f * std::sin(7.0f * angle + 0.4f) + 0.02f * std::sin(13.0f * angle + 1.3f);
}

float HairDistance(Point p) {
    const float angle =
        std::atan2((p.y - kHairCentre.y) / kHairRy, (p.x - kHairCentre.x) / kHairRx);
    const float scale = HairOutlineScale(angle);
    return EllipseDistance(p, kHairCentre, kHairRx * scale, kHairRy * scale);
}

// A shading factor for a surface bulging towards the camera, lit from the
// upper left; (nx, ny) is the position across the surface in -1..1.
float Shade(float nx, float ny) {
    nx = std::clamp(nx, -1.0f, 1.0f);
    ny = std::clamp(ny, -1.0f, 1.0f);
    const float nz = std::sqrt(std::max(0.0f, 1.0f - nx * nx - ny * ny));
    const float lit = std::max(0.0f, -0.55f * nx - 0.35f * ny + 0.76f * nz);
    return 0.35f + 0.8f * lit;
}

// Torso, neck, hair mass and face, anti-aliased, in premultiplied RGBA.
ImageBuf PaintBody() {
    ImageBuf body = NewBuffer(4);
    float* px = Pixels(body);
    const Point torsoCentre{608.0f, 700.0f};
    const Point neckTop{612.0f, 300.0f};
    const Point neckBottom{608.0f, 430.0f};
    const Point leftShoulder{425.0f, 520.0f};
    const Point rightShoulder{791.0f, 520.0f};
    const Point crown{606.0f, 150.0f};
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const Point p{x + 0.5f, y + 0.5f};
            float* pixel = px + (static_cast<std::size_t>(y) * kWidth + x) * 4;

            // Sloping shoulders on a chest that runs out of the frame.
            const float torso = std::min({RoundedBoxDistance(p, torsoCentre, 244.0f, 250.0f, 90.0f),
                                          SegmentDistance(p, neckBottom, leftShoulder) - 60.0f,
                                          SegmentDistance(p, neckBottom, rightShoulder) - 60.0f});
            if (torso < 1.0f) {
                const float shade = Shade((p.x - torsoCentre.x) / 250.0f, 0.0f);
                PaintOver(pixel, Coverage(torso), Scaled(kShirtColour, shade));
            }
            const float neck = SegmentDistance(p, neckTop, neckBottom) - 38.0f;
            if (neck < 1.0f) {
                const float shade = 0.8f * Shade((p.x - neckTop.x) / 40.0f, 0.0f);
                PaintOver(pixel, Coverage(neck), Scaled(kSkinColour, shade));
            }
            const float hair = HairDistance(p);
            if (hair < 1.0f) {
                // Fine locks running out from the crown.
                const float dx = p.x - crown.x;
                const float dy = p.y - crown.y;
                const float lock = std::atan2(dx, dy + 40.0f);
                const float radius = std::sqrt(dx * dx + dy * dy);
                const float streaks =
                    1.0f + 0.12f * std::sin(90.0f * lock + 3.0f * std::sin(0.045f * radius)) +
                    0.08f * std::sin(37.0f * lock + 1.7f);
                const float shade =
                    Shade((p.x - kHairCentre.x) / kHairRx, (p.y - kHairCentre.y) / kHairRy);
                PaintOver(pixel, Coverage(hair),
                          Scaled(kHairColour, streaks * (0.4f + 0.8f * shade)));
            }
            // The face: the head's ellipse below a curved hairline.
            const float hairline = 200.0f + 0.0065f * (p.x - kHeadCentre.x) * (p.x - kHeadCentre.x);
            const float face =
                std::max(EllipseDistance(p, kHeadCentre, 74.0f, 96.0f), hairline - p.y);
            if (face < 1.0f) {
                const float shade =
                    Shade((p.x - kHeadCentre.x) / 74.0f, (p.y - kHeadCentre.y) / 96.0f);
                PaintOver(pixel, Coverage(face), Scaled(kSkinColour, shade));
            }
        }
    }
    return GaussianBlur(body, kDefocusWidth);
}

// The box that holds the sharp arm.
constexpr int kArmLeft = 700;
constexpr int kArmRight = 1060;
constexpr int kArmTop = 120;
constexpr int kArmBottom = 520;

ImageBuf MotionBlurred(const ImageBuf& sharp, float shoulderY);

// The subject's raised arm, waving to the right: the hand moves fastest, the
// shoulder hardly at all, so the blur grows from the shoulder to the hand.
ImageBuf PaintArm() {
    const Point shoulder{790.0f, 455.0f};
    const Point elbow{905.0f, 362.0f};
    const Point wrist{942.0f, 238.0f};
    const Point hand{950.0f, 196.0f};
    ImageBuf sharp = NewBuffer(4);
    float* px = Pixels(sharp);
    for (int y = kArmTop; y < kArmBottom; ++y) {
        for (int x = kArmLeft; x < kArmRight; ++x) {
            const Point p{x + 0.5f, y + 0.5f};
            float* pixel = px + (static_cast<std::size_t>(y) * kWidth + x) * 4;
            const float upper = SegmentDistance(p, shoulder, elbow) - 36.0f;
            if (upper < 1.0f) {
                PaintOver(pixel, Coverage(upper), Scaled(kShirtColour, 0.9f));
            }
            const float fore = SegmentDistance(p, elbow, wrist) - 27.0f;
            if (fore < 1.0f) {
                PaintOver(pixel, Coverage(fore), Scaled(kSkinColour, 0.85f));
            }
            const float palm = EllipseDistance(p, hand, 31.0f, 40.0f);
            if (palm < 1.0f) {
                PaintOver(pixel, Coverage(palm), Scaled(kSkinColour, 0.95f));
            }
        }
    }
    return MotionBlurred(sharp, shoulder.y);
}

// Motion blur: each pixel averages the sharp arm along the direction of
// travel (right and a little up), over a length that grows with the height
// above the shoulder. Bilinear taps keep the streak smooth.
ImageBuf MotionBlurred(const ImageBuf& sharp, float shoulderY) {
    const float* px = Pixels(sharp);
    ImageBuf blurred = NewBuffer(4);
    float* out = Pixels(blurred);
    const float dirX = 0.985f;
    const float dirY = -0.174f;
    constexpr int kTaps = 64;
    auto sample = [&](float sx, float sy, float* acc) {
        const int ix = static_cast<int>(std::floor(sx));
        const int iy = static_cast<int>(std::floor(sy));
        const float fx = sx - ix;
        const float fy = sy - iy;
        const int xs[2] = {ix, ix + 1};
        const int ys[2] = {iy, iy + 1};
        const float wx[2] = {1.0f - fx, fx};
        const float wy[2] = {1.0f - fy, fy};
        for (int j = 0; j < 2; ++j) {
            for (int i = 0; i < 2; ++i) {
                if (xs[i] < 0 || xs[i] >= kWidth || ys[j] < 0 || ys[j] >= kHeight) {
                    continue;
                }
                const float* s = px + (static_cast<std::size_t>(ys[j]) * kWidth + xs[i]) * 4;
                const float w = wx[i] * wy[j];
                for (int c = 0; c < 4; ++c) {
                    acc[c] += w * s[c];
                }
            }
        }
    };
    const int margin = 40;
    for (int y = kArmTop - margin; y < kArmBottom + margin; ++y) {
        const float length = 6.0f + 48.0f * Clamp01((shoulderY - y) / 250.0f);
        for (int x = kArmLeft - margin; x < kArmRight + margin; ++x) {
            float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
            for (int t = 0; t < kTaps; ++t) {
                const float s = ((t + 0.5f) / kTaps - 0.5f) * length;
                sample(x + s * dirX, y + s * dirY, acc);
            }
            float* pixel = out + (static_cast<std::size_t>(y) * kWidth + x) * 4;
            for (int c = 0; c < 4; ++c) {
                pixel[c] = acc[c] / kTaps;
            }
        }
    }
    return blurred;
}

// One strand: a curve of points with its width and opacity at the root; both
// taper towards the tip.
struct Strand {
    std::vector<Point> points;
    float width;
    float opacity;
    Rgb colour;
};

// A strand grows from `root` in `direction`, bending steadily by `curl`
// radians per pixel and drooping as it goes.
Strand GrowStrand(Point root, float angle, float length, float curl, float droop) {
    Strand strand{};
    constexpr float kStep = 1.5f;
    Point p = root;
    strand.points.push_back(p);
    for (float travelled = 0.0f; travelled < length; travelled += kStep) {
        angle += curl * kStep;
        float dx = std::cos(angle);
        float dy = std::sin(angle) + droop * travelled / length;
        const float norm = std::sqrt(dx * dx + dy * dy);
        p = {p.x + kStep * dx / norm, p.y + kStep * dy / norm};
        strand.points.push_back(p);
    }
    return strand;
}

std::vector<Strand> MakeStrands() {
    Random random(20240611);
    std::vector<Strand> strands;
    auto add = [&](float angle, float minLength, float maxLength, float minOpacity) {
        const float scale = HairOutlineScale(angle) * 0.97f;
        const Point root{kHairCentre.x + kHairRx * scale * std::cos(angle),
                         kHairCentre.y + kHairRy * scale * std::sin(angle)};
        // Strands leave the outline leaning downhill, away from the crown,
        // and curl further that way; one in five goes its own way.
        const float normal = std::atan2(std::sin(angle) / kHairRy, std::cos(angle) / kHairRx);
        float downhill = std::cos(angle) > 0.0f ? 1.0f : -1.0f;
        if (random.Next() < 0.2) {
            downhill = -downhill;
        }
        const float direction = normal + downhill * random.Range(0.1, 1.0);
        const float length = random.Range(minLength, maxLength);
        const float curl = downhill * random.Range(0.0, 0.02);
        const float droop = random.Range(0.0, 0.5);
        Strand strand = GrowStrand(root, direction, length, curl, droop);
        strand.width = random.Range(0.5, 1.6);
        strand.opacity = random.Range(minOpacity, 1.0);
        strand.colour = Scaled(kStrandColour, random.Range(0.75, 1.3));
        strands.push_back(std::move(strand));
    };
    const float pi = std::numbers::pi_v<float>;
    // Short strands all over the crown, longer fly-aways, a few long faint
    // ones reaching well out over the screen, and some down the sides.
    for (int i = 0; i < 220; ++i) {
        add(random.Range(-pi * 0.97, -pi * 0.03), 10.0, 45.0, 0.4f);
    }
    for (int i = 0; i < 60; ++i) {
        add(random.Range(-pi * 0.9, -pi * 0.1), 45.0, 110.0, 0.3f);
    }
    for (int i = 0; i < 12; ++i) {
        add(random.Range(-pi * 0.85, -pi * 0.15), 110.0, 200.0, 0.25f);
    }
    for (int i = 0; i < 30; ++i) {
        const float side =
            random.Next() < 0.5 ? random.Range(-0.2, 0.4) : random.Range(pi - 0.4, pi + 0.2);
        add(side, 30.0, 100.0, 0.3f);
    }
    return strands;
}

// Draws each strand's coverage (a strand covers a pixel once, however many of
// its segments pass near it) and lays it over the layer.
ImageBuf PaintStrands() {
    ImageBuf layer = NewBuffer(4);
    float* px = Pixels(layer);
    std::vector<float> coverage;
    for (const Strand& strand : MakeStrands()) {
        float minX = kWidth, minY = kHeight, maxX = 0.0f, maxY = 0.0f;
        for (Point p : strand.points) {
            minX = std::min(minX, p.x);
            minY = std::min(minY, p.y);
            maxX = std::max(maxX, p.x);
            maxY = std::max(maxY, p.y);
        }
        const int bx0 = std::max(0, static_cast<int>(minX) - 3);
        const int by0 = std::max(0, static_cast<int>(minY) - 3);
        const int bx1 = std::min(kWidth, static_cast<int>(maxX) + 4);
        const int by1 = std::min(kHeight, static_cast<int>(maxY) + 4);
        if (bx0 >= bx1 || by0 >= by1) {
            continue;
        }
        const int bw = bx1 - bx0;
        coverage.assign(static_cast<std::size_t>(bw) * (by1 - by0), 0.0f);
        const std::size_t segments = strand.points.size() - 1;
        for (std::size_t s = 0; s < segments; ++s) {
            const Point a = strand.points[s];
            const Point b = strand.points[s + 1];
            const float along = static_cast<float>(s) / static_cast<float>(segments);
            const float halfWidth = 0.5f * strand.width * (1.0f - 0.5f * along);
            const float opacity = strand.opacity * std::min(1.0f, 3.0f * (1.0f - along));
            const int sx0 = std::max(bx0, static_cast<int>(std::min(a.x, b.x) - halfWidth) - 2);
            const int sx1 = std::min(bx1, static_cast<int>(std::max(a.x, b.x) + halfWidth) + 3);
            const int sy0 = std::max(by0, static_cast<int>(std::min(a.y, b.y) - halfWidth) - 2);
            const int sy1 = std::min(by1, static_cast<int>(std::max(a.y, b.y) + halfWidth) + 3);
            for (int y = sy0; y < sy1; ++y) {
                for (int x = sx0; x < sx1; ++x) {
                    const float d = SegmentDistance({x + 0.5f, y + 0.5f}, a, b);
                    // A line thinner than a pixel covers each pixel it
                    // crosses by about its width.
                    const float c = Clamp01(halfWidth + 0.5f - d) * opacity;
                    float& cell = coverage[static_cast<std::size_t>(y - by0) * bw + (x - bx0)];
                    cell = std::max(cell, c);
                }
            }
        }
        for (int y = by0; y < by1; ++y) {
            for (int x = bx0; x < bx1; ++x) {
                const float c = coverage[static_cast<std::size_t>(y - by0) * bw + (x - bx0)];
                if (c > 0.0f) {
                    PaintOver(px + (static_cast<std::size_t>(y) * kWidth + x) * 4, c,
                              strand.colour);
                }
            }
        }
    }
    return layer;
}

// The subject in premultiplied RGBA, with the screen's light spilled onto it
// near its silhouette.
ImageBuf PaintSubject() {
    ImageBuf subject = NewBuffer(4);
    Check(OIIO::ImageBufAlgo::over(subject, PaintArm(), PaintBody()), subject);
    ImageBuf withStrands = NewBuffer(4);
    Check(OIIO::ImageBufAlgo::over(withStrands, PaintStrands(), subject), withStrands);

    const ImageBuf alpha = Checked(OIIO::ImageBufAlgo::channels(withStrands, 1, {3}));
    const ImageBuf spread = WideBlur(alpha, kSpillReach);
    const float* near = Pixels(spread);
    float* px = Pixels(withStrands);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * kWidth + x;
            float* pixel = px + i * 4;
            // Thin parts and the silhouette see the screen fully; the inside
            // of the subject is shadowed from it.
            const float exposure = Clamp01(1.8f * (1.0f - near[i]));
            const Rgb screen = ScreenAt(x + 0.5f, y + 0.5f);
            const float spill = kSpillAmount * exposure * pixel[3];
            pixel[0] += spill * screen.r;
            pixel[1] += spill * screen.g;
            pixel[2] += spill * screen.b;
        }
    }
    return withStrands;
}

// Film grain: Gaussian, clumped by a slight blur and scaled back to unit
// deviation, then weighted by floor + gain x value per channel.
void AddGrain(ImageBuf& rgb, int seed) {
    ImageBuf noise = NewBuffer(3);
    Check(OIIO::ImageBufAlgo::noise(noise, "gaussian", 0.0f, 1.0f, false, seed), noise);
    const ImageBuf clumped = GaussianBlur(noise, kGrainWidth);
    // The two passes lower the deviation to the sum of the squared taps of
    // one pass (the 2-D kernel is the product of the two).
    const ImageBuf kernel = OIIO::ImageBufAlgo::make_kernel("gaussian", kGrainWidth, 1.0f);
    float sumSquares = 0.0f;
    for (int x = kernel.xbegin(); x < kernel.xend(); ++x) {
        const float k = kernel.getchannel(x, 0, 0, 0);
        sumSquares += k * k;
    }
    const float restore = 1.0f / sumSquares;
    const float* n = Pixels(clumped);
    float* px = Pixels(rgb);
    const std::size_t values = static_cast<std::size_t>(kWidth) * kHeight * 3;
    for (std::size_t i = 0; i < values; ++i) {
        px[i] += n[i] * restore * (kGrainFloor + kGrainGain * px[i]);
    }
}

ImageBuf PaintScreen() {
    ImageBuf screen = NewBuffer(3);
    float* px = Pixels(screen);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const Rgb c = ScreenAt(x + 0.5f, y + 0.5f);
            float* pixel = px + (static_cast<std::size_t>(y) * kWidth + x) * 3;
            pixel[0] = c.r;
            pixel[1] = c.g;
            pixel[2] = c.b;
        }
    }
    return screen;
}

}  // namespace

SampleImages PaintSample() {
    const ImageBuf subject = PaintSubject();
    SampleImages images;
    images.cleanPlate = PaintScreen();
    images.plate = NewBuffer(3);
    const float* s = Pixels(subject);
    const float* bg = Pixels(images.cleanPlate);
    float* px = Pixels(images.plate);
    for (std::size_t i = 0; i < static_cast<std::size_t>(kWidth) * kHeight; ++i) {
        const float keep = 1.0f - s[i * 4 + 3];
        for (int c = 0; c < 3; ++c) {
            px[i * 3 + c] = s[i * 4 + c] + keep * bg[i * 3 + c];
        }
    }
    AddGrain(images.plate, kPlateGrainSeed);
    AddGrain(images.cleanPlate, kCleanPlateGrainSeed);
    images.alpha = Checked(OIIO::ImageBufAlgo::channels(subject, 1, {3}, {}, {"A"}));
    // The writer stamps the time of writing unless told otherwise; an empty
    // stamp writes none, so every run gives the same bytes.
    for (ImageBuf* image : {&images.plate, &images.cleanPlate, &images.alpha}) {
        image->specmod().attribute("DateTime", "");
    }
    return images;
}

}  // namespace veskar
