#include "app/preview.h"

#include <algorithm>
#include <cstdio>


#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/strutil.h>

#include "app/cli_error.h"
#include "app/files/staged_file.h"

namespace veskar {
namespace {

namespace iba = OIIO::ImageBufAlgo;

constexpr int kPanelWidth = 640;
constexpr int kGap = 12;
constexpr int kLabelHeight = 36;
constexpr int kCheckerSize = 16;

// The colour (or, with `alphaOnly`, the alpha as grey) of a host image.
OIIO::ImageBuf FromHost(const Image& image, bool alphaOnly) {
    OIIO::ImageBuf buf(OIIO::ImageSpec(image.Width(), image.Height(), alphaOnly ? 1 : 4, OIIO::TypeDesc::FLOAT));
    for (int y = 0; y < image.Height(); ++y) {
        for (int x = 0; x < image.Width(); ++x) {
            const float* record = image.Plane1Pixel(x, y);
            const float rgba[4] = {record[2], record[1], record[0], record[3]};
            buf.setpixel(x, y, alphaOnly ? &rgba[3] : rgba, alphaOnly ? 1 : 4);
        }
    }
    return buf;
}

}  // namespace

void WritePreview(const std::string& path, const FileImage& source, const Image& keyed, Association association) {
    const int width = keyed.Width();
    const int height = keyed.Height();
    const int panelWidth = std::min(width, kPanelWidth);
    const int panelHeight = std::max(1, static_cast<int>(static_cast<long long>(height) * panelWidth / std::max(width, 1)));
    // Values of an sRGB-encoded file are shown as they are; linear ones
    // (image files without that mark, such as EXR) through the sRGB curve.
    const bool linear = !OIIO::Strutil::iequals(source.colourSpace, "sRGB");

    OIIO::ImageBuf sourceRgb = iba::channels(FromHost(*source.image, false), 3, {0, 1, 2});
    OIIO::ImageBuf matte = iba::channels(FromHost(keyed, true), 3, {0, 0, 0});
    OIIO::ImageBuf result = FromHost(keyed, false);
    result.specmod().alpha_channel = 3;
    if (association == Association::Straight) {
        result = iba::premult(result);
    }
    const float light[] = {0.55f, 0.55f, 0.55f, 1.0f};
    const float dark[] = {0.3f, 0.3f, 0.3f, 1.0f};
    OIIO::ImageBuf checker = iba::checker(kCheckerSize, kCheckerSize, 1, light, dark, 0, 0, 0, result.roi());
    OIIO::ImageBuf composite = iba::channels(iba::over(result, checker), 3, {0, 1, 2});
    if (linear) {
        sourceRgb = iba::colorconvert(sourceRgb, "linear", "sRGB");
        composite = iba::colorconvert(composite, "linear", "sRGB");
    }

    const OIIO::ROI panelRoi(0, panelWidth, 0, panelHeight, 0, 1, 0, 3);
    OIIO::ImageBuf panels[3] = {iba::resize(sourceRgb, "", 0.0f, panelRoi), iba::resize(matte, "", 0.0f, panelRoi),
                                iba::resize(composite, "", 0.0f, panelRoi)};
    const char* labels[3] = {"Source", "Matte", "Result"};

    const int sheetWidth = 3 * panelWidth + 4 * kGap;
    const int sheetHeight = panelHeight + kLabelHeight + 2 * kGap;
    const float background[] = {0.12f, 0.12f, 0.12f};
    OIIO::ImageBuf sheet(OIIO::ImageSpec(sheetWidth, sheetHeight, 3, OIIO::TypeDesc::FLOAT));
    iba::fill(sheet, background);
    const float white[] = {0.9f, 0.9f, 0.9f};
    for (int i = 0; i < 3; ++i) {
        const int x = kGap + i * (panelWidth + kGap);
        if (panels[i].has_error() || !iba::paste(sheet, x, kGap + kLabelHeight, 0, 0, panels[i])) {
            const std::string why = panels[i].has_error() ? panels[i].geterror() : sheet.geterror();
            throw CliError(path + ": cannot make the preview: " + why);
        }
        // Labels need a font; without one the sheet is still worth having.
        if (!iba::render_text(sheet, x, kGap + kLabelHeight - 10, labels[i], 22, "DejaVuSans", white)) {
            (void)sheet.geterror();
        }
    }

    StagedFile(path, sheet, OIIO::TypeDesc::UINT8).Commit();
}

}  // namespace veskar
