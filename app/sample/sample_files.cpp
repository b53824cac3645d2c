#include "app/sample/sample_files.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <cmath>
#include <filesystem>
#include <system_error>

#include "app/cli_error.h"
#include "app/files/staged_file.h"
#include "app/sample/sample_plate.h"
#include "app/settings/settings_text.h"

namespace veskar {
namespace {

namespace fs = std::filesystem;
using OIIO::ImageBuf;
using OIIO::TypeDesc;

// Window widths per channel. Green, where the screen and the subject differ
// most, is narrowest; red separates the skin; blue is left wide, since the
// shirt's blue is close to the screen's and would only add grain. With Fade
// at 1 a channel's matte is |pixel - key| / width. The plate and the clean
// plate differ on the screen by their grain, 0.0077 (one deviation) in green,
// 0.061 through the green window; the offset is four and a half of those, so
// grain stays out of the matte while strands of a third coverage still show.
constexpr double kWidthRed = 0.25;
constexpr double kWidthGreen = 0.125;
constexpr double kWidthBlue = 1.0;
constexpr double kFade = 1.0;
constexpr double kOffset = -0.275;

// With a key image each window starts at Min + (key pixel - Value), without
// one at Min + Value, and a channel's matte is 0 where the pixel lies
// width^2 / 2 above the start. Value = screen / 2 and Min = Value - width^2 / 2
// put that point on the clean plate's pixel with a key image and on the
// screen's average colour without one, so the same settings serve both. In
// "RGB" the key colour holds the same numbers as the Value sliders.
// The controls that key the plate, in the tool's creation order.
SettingsValues SampleControls(const ImageBuf& cleanPlate) {
    const auto stats = OIIO::ImageBufAlgo::computePixelStats(cleanPlate);
    if (stats.avg.size() < 3) {
        throw CliError("cannot measure the clean plate: " + cleanPlate.geterror());
    }
    // Rounded so that the file reads as a person would set it.
    auto half = [](double average) { return std::round(average / 2.0 * 1000.0) / 1000.0; };
    const double red = half(stats.avg[0]);
    const double green = half(stats.avg[1]);
    const double blue = half(stats.avg[2]);
    auto min = [](double value, double width) { return value - width * width / 2.0; };
    return {
        {"Colorspace", 0},  // RGB: mixing with the screen is linear there
        {"BGAlphaBlend", 0},
        {"keyfall", 0},  // Linear: the matte grows in step with coverage
        {"keyalgo", 0},
        {"CRed", red},
        {"CGreen", green},
        {"CBlue", blue},
        {"InvAlpha", 0},
        {"Alphamult", 1},
        // "Double Red Average", full strength: green held to the red-weighted
        // average removes about half of the spill's green cast on skin and
        // hair without touching the shirt, whose green is below it.
        {"ColCor", 4},
        {"CCAmount", 1},
        {"FadeCC", 0},
        {"DesaturateAlpha", 0},
        {"Channel", 1},
        {"ValueRed", red},
        {"ValueGreen", green},
        {"ValueBlue", blue},
        {"MiRedn", min(red, kWidthRed)},
        {"MinGreen", min(green, kWidthGreen)},
        {"MinBlue", min(blue, kWidthBlue)},
        {"MaxRed", min(red, kWidthRed) + kWidthRed},
        {"MaxGreen", min(green, kWidthGreen) + kWidthGreen},
        {"MaxBlue", min(blue, kWidthBlue) + kWidthBlue},
        {"FadeRed", kFade},
        {"GammaAlpha", 1},
        {"MultAlpha", 1},
        {"OffAlpha", kOffset},
    };
}

std::string SettingsFileText(const ImageBuf& cleanPlate) {
    std::string text =
        "-- Veskar settings for the demo sample: key plate.exr with clean_plate.exr as the key "
        "image (they also key it without one, with some screen left in the corners).\n";
    return text + SettingsText(SampleControls(cleanPlate), "Veskar1", "Veskar");
}

}  // namespace

void WriteSample(const std::string& folder) {
    const fs::path dir(folder);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir, ec)) {
        throw CliError(folder + ": cannot create the sample folder: " +
                       (ec ? ec.message() : std::string("not a folder")));
    }
    // Every file is staged before any is renamed into place: a failure while
    // making or writing them leaves the folder as it was, and no file is ever
    // half written.
    try {
        const SampleImages images = PaintSample();
        StagedFile plate((dir / kSamplePlateFile).string(), images.plate, TypeDesc::HALF);
        StagedFile cleanPlate((dir / kSampleCleanPlateFile).string(), images.cleanPlate, TypeDesc::HALF);
        StagedFile alpha((dir / kSampleAlphaFile).string(), images.alpha, TypeDesc::HALF);
        StagedFile settings((dir / kSampleSettingsFile).string(),
                                SettingsFileText(images.cleanPlate));
        plate.Commit();
        cleanPlate.Commit();
        alpha.Commit();
        settings.Commit();
    } catch (const CliError& e) {
        const std::string message = e.what();
        // File errors name their file already; others get the folder.
        if (message.rfind(folder, 0) == 0) {
            throw;
        }
        throw CliError(folder + ": cannot make the sample: " + message);
    }
}

}  // namespace veskar
