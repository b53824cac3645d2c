#pragma once

// Edge and matte finishing: what the command-line host does to a keyed frame
// after the tool, on whole frames of floats. The tool's own arithmetic is not
// touched; a render that asks for none of these stages writes the tool's bits.
//
// Stages run in this fixed order:
//   0. refine edges             (the matte near the contour from the colours)
//   1. clip black, clip white   (levels of the matte)
//   2. shrink or grow           (sub-pixel erosion or dilation of the matte)
//   3. soften                   (blur of the matte)
//   4. despot                   (specks in the screen and holes in the subject removed)
//   5. garbage, holdout         (forced clear, forced opaque)
//   6. colour: with unmix the colour is the source minus the screen behind
//      the pixel times (1 - alpha) (the clean plate's pixel, else the
//      frame's clear pixels around it filled in, else the screen colour);
//      without it, colour follows the finished matte
//   7. despill                  (spill toward the screen's colour removed,
//                                luminance restored, on every pixel)
//   8. view                     (result, matte or status)

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "host/image.h"

namespace veskar::finish {

/// A polygon in pixel coordinates of the frame (x to the right, y down; the
/// pixel (i, j) covers [i, i+1) x [j, j+1)).
struct Polygon {
    std::vector<std::array<double, 2>> points;
};

/// A garbage or holdout matte as the command line gives it: an image file
/// (its alpha, or its first channel when it has no alpha) or a polygon.
struct MatteShape {
    std::string text;  ///< as given: a file name or "x1,y1,x2,y2,..."
    std::string file;  ///< the file, or "" for a polygon
    Polygon polygon;
};

/// What the frame is written as.
enum class View { Result, Matte, Status };

/// The finishing asked for. Defaults change nothing.
struct FinishOptions {
    bool refineEdges = false;  ///< the matte near the contour estimated again from the colours
    bool unmix = false;
    double despill = 0.0;    ///< 0: off; 1: full suppression (--despill alone)
    double clipBlack = 0.0;  ///< alpha at or below becomes 0; between the clips alpha is stretched
    double clipWhite = 1.0;  ///< alpha at or above becomes 1
    double shrink = 0.0;     ///< pixels (fractional); at most one of shrink and grow is above 0
    double grow = 0.0;       ///< disc radius; a fraction blends the whole radii either side
    double soften = 0.0;     ///< blur radius in pixels: a Gaussian of sigma soften / 2
    double despot = 0.0;     ///< largest speck or hole removed, in pixels across (bounding box)
    std::vector<MatteShape> garbage;
    std::vector<MatteShape> holdout;
    View view = View::Result;

    /// Whether any stage changes a pixel (view other than Result included).
    bool Any() const;
};

/// Checks the values as the command line takes them: pixel counts finite and
/// 0 or more, not both shrink and grow, the clips finite with white above
/// black, despill 0 to 2. Throws CliError (exit 2) naming the options and
/// values. FinishFrame trusts options that passed.
void Validate(const FinishOptions& options);

/// Coverage maps (width * height floats in 0..1, row by row) of the garbage
/// and holdout shapes for one frame size, made once per run from the options
/// (files read by the caller, polygons rasterised with anti-aliased edges).
struct ShapeMattes {
    int width = 0;
    int height = 0;
    std::vector<float> garbage;  ///< empty when there is none
    std::vector<float> holdout;  ///< empty when there is none
};

/// What a frame's finishing needs besides the keyed frame.
struct FrameContext {
    const Image& source;        ///< the plate as the tool keyed it
    const Image* cleanPlate;    ///< the key image (a clean plate), or null
    std::array<float, 3> screen;  ///< red, green, blue of the screen when there is no clean plate
    bool premultiplied;         ///< the keyed colour is stored premultiplied by its alpha
    const ShapeMattes* shapes;  ///< may be null when the options list no garbage or holdout shapes
    bool displayEncoded = false;  ///< the plate's values are sRGB-encoded: colours mix in linear light
};

/// Coverage of `polygon` over a width x height frame (0..1 per pixel, the
/// share of the pixel's area inside; even-odd rule for self-crossing outlines).
std::vector<float> RasterisePolygon(const Polygon& polygon, int width, int height);

/// Parses "x1,y1,x2,y2,..." (at least three points, finite numbers). Throws
/// CliError (exit 2) naming `option` and the text.
Polygon ParsePolygon(const std::string& option, const std::string& text);

/// Adds a shape's coverage (width * height values, as RasterisePolygon gives
/// or as read from a file) to a map of `ShapeMattes`: the shapes of one kind
/// unite, so the larger coverage wins per pixel. An empty map takes the
/// coverage as it is. Throws std::invalid_argument when the sizes differ.
void AddCoverage(std::vector<float>& map, const std::vector<float>& coverage);

/// The coverage maps of the options' garbage and holdout shapes for a frame
/// size: polygons rasterised, files given to `readFile` (which returns width *
/// height coverage values, or throws naming the file), the shapes of each
/// kind united (AddCoverage).
ShapeMattes MakeShapeMattes(const FinishOptions& options, int width, int height,
                            const std::function<std::vector<float>(const MatteShape&)>& readFile);

/// Runs the stages asked for by `options` on `keyed` (same size as
/// context.source), in place. Extra channels of `keyed` are left as they are,
/// and a stage at its neutral value is skipped, so options that ask for
/// nothing leave every bit. Options are trusted as Validate passed them.
///
/// Policies: when a matte stage runs, alpha is brought into [0, 1] first and
/// stays there; a NaN alpha stays NaN where it is and is left out of its
/// neighbours' shrink, grow and soften, and its pixel's colour stays as keyed.
/// Without unmix, colour follows a changed matte (premultiplied colour scaled
/// by new / old alpha; where alpha was 0 the plate's colour comes in) and a
/// pixel whose alpha kept its bits keeps its colour's bits. Unmix: source -
/// screen * (1 - a), a component the subtraction takes below 0 set to 0;
/// straight colour is that / a, at most the brightest of 1 and the source's
/// own components, and 0 where a is 0. Despill turns toward the screen's hue
/// (the clean plate's mean colour when there is one), limits it by the larger
/// of the other two primaries and gives back the luminance taken (Rec.709).
void FinishFrame(const FinishOptions& options, const FrameContext& context, Image& keyed);

}  // namespace veskar::finish
