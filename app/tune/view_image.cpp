#include "app/tune/view_image.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

namespace veskar::tune {

bool ShownThroughSrgbCurve(const OIIO::ImageSpec& spec) {
    return spec.get_string_attribute("oiio:ColorSpace") != "sRGB";
}
namespace {

// Fields of plane 1 of a host image (2 1 0 3: red, green, blue, alpha),
// interleaved, as floats.
std::vector<float> Fields(const Image& image, const int* fields, int count) {
    const int width = image.Width();
    std::vector<float> pixels(static_cast<std::size_t>(width) * image.Height() * count);
    float* out = pixels.data();
    for (int y = 0; y < image.Height(); ++y) {
        const float* record = image.Plane1Pixel(0, y);
        for (int x = 0; x < width; ++x, record += 4) {
            for (int c = 0; c < count; ++c) {
                *out++ = record[fields[c]];
            }
        }
    }
    return pixels;
}

// Shown through the sRGB curve, as the contact sheet shows such files; the
// alpha of four-channel pixels stays as it is.
void ToSrgb(std::vector<float>& pixels, int width, int height, int channels) {
    OIIO::ImageBuf wrapped(OIIO::ImageSpec(width, height, channels, OIIO::TypeDesc::FLOAT), pixels.data());
    if (channels == 4) wrapped.specmod().alpha_channel = 3;
    OIIO::ImageBufAlgo::colorconvert(wrapped, wrapped, "linear", "sRGB", false);
}

// Encodes float pixels as an 8-bit PNG of `spec`. The floats are turned into
// 8 bits by the same conversion the image writers use, so the file decodes
// to what `veskar render` writes; the PNG writer then does the rest (its alpha
// handling) exactly as for a file.
std::string WritePng(const std::vector<float>& pixels, OIIO::ImageSpec spec, bool fastCompression) {
    std::vector<unsigned char> native(pixels.size());
    OIIO::convert_pixel_values(OIIO::TypeDesc::FLOAT, pixels.data(), OIIO::TypeDesc::UINT8, native.data(),
                               static_cast<int>(pixels.size()));
    spec.attribute("png:compressionLevel", fastCompression ? 1 : 6);
    std::vector<unsigned char> bytes;
    OIIO::Filesystem::IOVecOutput memory(bytes);
    auto output = OIIO::ImageOutput::create("png");
    if (!output) {
        throw std::runtime_error("cannot encode PNG: " + OIIO::geterror());
    }
    output->set_ioproxy(&memory);
    if (!output->open("view.png", spec) || !output->write_image(OIIO::TypeDesc::UINT8, native.data()) ||
        !output->close()) {
        throw std::runtime_error("cannot encode PNG: " + output->geterror());
    }
    return std::string(bytes.begin(), bytes.end());
}

// The image header the keyed file would get for these channels, in 8 bits. Copying
// the plate's header keeps what the PNG writer looks at (its alpha handling),
// so the bytes decode to what `veskar render` writes.
OIIO::ImageSpec ViewSpec(const OIIO::ImageSpec& sourceSpec, int width, int height, int channels, bool alpha) {
    OIIO::ImageSpec spec = sourceSpec;
    spec.width = spec.full_width = width;
    spec.height = spec.full_height = height;
    spec.x = spec.y = spec.full_x = spec.full_y = 0;
    spec.nchannels = channels;
    spec.channelformats.clear();
    spec.channelnames.clear();
    static const char* kNames[4] = {"R", "G", "B", "A"};
    for (int c = 0; c < channels; ++c) {
        spec.channelnames.emplace_back(channels == 1 ? "Y" : kNames[c]);
    }
    spec.alpha_channel = alpha ? 3 : -1;
    spec.z_channel = -1;
    spec.format = OIIO::TypeDesc::UINT8;
    spec.tile_width = spec.tile_height = spec.tile_depth = 0;
    return spec;
}

}  // namespace

bool ParseView(const std::string& text, View& view) {
    if (text == "source") view = View::Source;
    else if (text == "matte") view = View::Matte;
    else if (text == "result") view = View::Result;
    else if (text == "status") view = View::Status;
    else return false;
    return true;
}

std::string EncodeView(View view, const OIIO::ImageSpec& sourceSpec, const Image& source, const Image* keyed,
                       bool fastCompression, bool premultiplied) {
    static const int kRgb[3] = {2, 1, 0};
    static const int kRgba[4] = {2, 1, 0, 3};
    static const int kAlpha[1] = {3};
    const bool linear = ShownThroughSrgbCurve(sourceSpec);
    if (view == View::Source || keyed == nullptr) {
        std::vector<float> pixels = Fields(source, kRgb, 3);
        if (linear) ToSrgb(pixels, source.Width(), source.Height(), 3);
        return WritePng(pixels, ViewSpec(sourceSpec, source.Width(), source.Height(), 3, false), fastCompression);
    }
    const int width = keyed->Width();
    const int height = keyed->Height();
    if (view == View::Matte) {
        return WritePng(Fields(*keyed, kAlpha, 1), ViewSpec(sourceSpec, width, height, 1, false), fastCompression);
    }
    if (view == View::Result) {
        std::vector<float> pixels = Fields(*keyed, kRgba, 4);
        if (premultiplied) {
            // Where alpha is 0 or below nothing can be divided out: the
            // colour stays as keyed, as in the keyed file.
            for (std::size_t i = 0; i < pixels.size(); i += 4) {
                if (pixels[i + 3] > 0.0f) {
                    for (int c = 0; c < 3; ++c) pixels[i + c] = pixels[i + c] / pixels[i + 3];
                }
            }
        }
        if (linear) ToSrgb(pixels, width, height, 4);
        OIIO::ImageSpec spec = ViewSpec(sourceSpec, width, height, 4, true);
        spec.attribute("oiio:UnassociatedAlpha", 1);  // straight already: the writer must not divide again
        return WritePng(pixels, spec, fastCompression);
    }
    // Status: three flat colours, so that holes in the subject and noise in
    // the screen stand out. A NaN alpha counts as partly keyed: it is neither.
    std::vector<float> pixels(static_cast<std::size_t>(width) * height * 3);
    float* out = pixels.data();
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const float alpha = keyed->Plane1Pixel(x, y)[3];
            const unsigned char* colour = alpha <= 0.0f ? kStatusKeyed : alpha >= 1.0f ? kStatusSolid : kStatusPartial;
            for (int c = 0; c < 3; ++c) {
                *out++ = static_cast<float>(colour[c]) / 255.0f;
            }
        }
    }
    OIIO::ImageSpec spec = ViewSpec(sourceSpec, width, height, 3, false);
    spec.attribute("oiio:ColorSpace", "sRGB");
    return WritePng(pixels, spec, fastCompression);
}

std::shared_ptr<Image> Shrink(const Image& image, int factor) {
    factor = std::max(1, factor);
    const int width = std::max(1, image.Width() / factor);
    const int height = std::max(1, image.Height() / factor);
    auto small = std::make_shared<Image>(width, height);
    for (int y = 0; y < height; ++y) {
        const int y0 = y * factor;
        const int y1 = y + 1 == height ? image.Height() : y0 + factor;
        for (int x = 0; x < width; ++x) {
            const int x0 = x * factor;
            const int x1 = x + 1 == width ? image.Width() : x0 + factor;
            double sum[4] = {0.0, 0.0, 0.0, 0.0};
            for (int sy = y0; sy < y1; ++sy) {
                for (int sx = x0; sx < x1; ++sx) {
                    const float* record = image.Plane1Pixel(sx, sy);
                    for (int c = 0; c < 4; ++c) sum[c] += record[c];
                }
            }
            const double count = static_cast<double>((y1 - y0) * (x1 - x0));
            float* out = small->Plane1Pixel(x, y);
            for (int c = 0; c < 4; ++c) out[c] = static_cast<float>(sum[c] / count);
        }
    }
    return small;
}

}  // namespace veskar::tune
