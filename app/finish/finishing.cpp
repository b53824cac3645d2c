// The finishing run: options checked, stages in their fixed order.

#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "app/cli_error.h"
#include "app/finish/colour_fill.h"
#include "app/finish/finish_stages.h"
#include "app/finish/large_vector.h"

namespace veskar::finish {
namespace {

std::string Number(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

// The largest shrink, grow or soften: their cost grows with the radius, and
// at this size a 1920 x 1080 frame takes seconds already.
constexpr double kMostPixels = 500.0;

void CheckPixels(const char* option, double value, double most) {
    if (!std::isfinite(value) || value < 0.0) {
        throw CliError(
            std::string(option) + " " + Number(value) + ": must be a number of pixels, 0 or more",
            2);
    }
    if (value > most) {
        throw CliError(
            std::string(option) + " " + Number(value) + ": at most " + Number(most) + " pixels", 2);
    }
}

bool ClipsChange(const FinishOptions& options) {
    return options.clipBlack != 0.0 || options.clipWhite != 1.0;
}

bool HasShapes(const FinishOptions& options) {
    return !options.garbage.empty() || !options.holdout.empty();
}

// The context's maps for the shapes the options list: a listed kind without
// its map is the caller's mistake, not a frame to finish without it.
const ShapeMattes& ShapesAsked(const FinishOptions& options, const FrameContext& context) {
    if (!context.shapes || (!options.garbage.empty() && context.shapes->garbage.empty()) ||
        (!options.holdout.empty() && context.shapes->holdout.empty())) {
        throw std::invalid_argument(
            "garbage or holdout shapes asked for without their coverage maps");
    }
    return *context.shapes;
}

}  // namespace

bool FinishOptions::Any() const {
    return refineEdges || unmix || despill != 0.0 || clipBlack != 0.0 || clipWhite != 1.0 || shrink != 0.0 ||
           grow != 0.0 || soften != 0.0 || despot != 0.0 || !garbage.empty() || !holdout.empty() ||
           view != View::Result;
}

void Validate(const FinishOptions& options) {
    CheckPixels("--shrink", options.shrink, kMostPixels);
    CheckPixels("--grow", options.grow, kMostPixels);
    CheckPixels("--soften", options.soften, kMostPixels);
    // Despot costs the same whatever its size.
    CheckPixels("--despot", options.despot, std::numeric_limits<double>::max());
    if (options.shrink > 0.0 && options.grow > 0.0) {
        throw CliError("--shrink " + Number(options.shrink) + " and --grow " +
                           Number(options.grow) + ": give one of them, not both",
                       2);
    }
    if (!std::isfinite(options.clipBlack) || !std::isfinite(options.clipWhite)) {
        throw CliError("--clip-black " + Number(options.clipBlack) + " --clip-white " +
                           Number(options.clipWhite) + ": the clips must be finite numbers",
                       2);
    }
    if (!(options.clipWhite > options.clipBlack)) {
        throw CliError("--clip-white " + Number(options.clipWhite) +
                           " must be above --clip-black " + Number(options.clipBlack),
                       2);
    }
    if (!(options.despill >= 0.0 && options.despill <= 2.0)) {
        throw CliError("--despill " + Number(options.despill) + ": the amount must lie in 0 to 2",
                       2);
    }
}

ShapeMattes MakeShapeMattes(const FinishOptions& options, int width, int height,
                            const std::function<std::vector<float>(const MatteShape&)>& readFile) {
    ShapeMattes shapes{width, height, {}, {}};
    auto add = [&](std::vector<float>& map, const MatteShape& shape) {
        AddCoverage(map, shape.file.empty() ? RasterisePolygon(shape.polygon, width, height)
                                            : readFile(shape));
    };
    for (const MatteShape& shape : options.garbage) add(shapes.garbage, shape);
    for (const MatteShape& shape : options.holdout) add(shapes.holdout, shape);
    return shapes;
}

Matte ReadMatte(const Image& image) {
    Matte matte{image.Width(), image.Height(), {}};
    LargeResize(matte.alpha, static_cast<std::size_t>(matte.width) * matte.height);
    for (int y = 0; y < matte.height; ++y) {
        const float* record = image.Plane1Pixel(0, y);
        for (int x = 0; x < matte.width; ++x) matte.alpha[matte.Index(x, y)] = record[4 * x + 3];
    }
    return matte;
}

void FinishFrame(const FinishOptions& options, const FrameContext& context, Image& keyed) {
    if (context.source.Width() != keyed.Width() || context.source.Height() != keyed.Height()) {
        throw std::invalid_argument("finishing a keyed frame of another size than its plate");
    }
    if (keyed.Width() == 0 || keyed.Height() == 0) return;  // no pixel to finish
    const bool matteStages = options.refineEdges || ClipsChange(options) || options.shrink > 0.0 || options.grow > 0.0 ||
                             options.soften > 0.0 || options.despot > 0.0 || HasShapes(options);
    if (matteStages || options.unmix) {
        // The plate's colours in light, read once for the stages that mix them.
        const bool mixColours = options.refineEdges || options.unmix;
        const Colours colours = mixColours ? ReadColours(context.source, context.displayEncoded) : Colours{};
        Matte matte = ReadMatte(keyed);
        const std::vector<float> before = matte.alpha;
        if (matteStages) {
            // Every matte stage leaves alpha in [0, 1]; so does the start.
            ClampMatte(matte);
            if (options.refineEdges) RefineEdges(matte, context, colours);
            if (ClipsChange(options)) ClipLevels(matte, options.clipBlack, options.clipWhite);
            if (options.shrink > 0.0) GrowOrShrink(matte, options.shrink, false);
            if (options.grow > 0.0) GrowOrShrink(matte, options.grow, true);
            if (options.soften > 0.0) Soften(matte, options.soften);
            if (options.despot > 0.0) Despot(matte, options.despot);
            if (HasShapes(options)) {
                ApplyShapes(matte, ShapesAsked(options, context), !options.garbage.empty(),
                            !options.holdout.empty());
            }
        }
        FinishColour(options, context, colours, before, matte, keyed);
    }
    if (options.despill > 0.0) {
        const std::array<double, 3> reference = DespillReference(context);
        Despill(keyed, reference, options.despill);
        EdgeDespill(keyed, reference, options.despill, context.premultiplied, context.displayEncoded);
    }
    ApplyView(options.view, keyed);
}

}  // namespace veskar::finish
