#include "app/tune/background.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>

#include "app/cli_error.h"
#include "app/files/image_file.h"
#include "app/tune/tune_session.h"
#include "app/tune/view_image.h"

namespace veskar::tune {
namespace {

namespace fs = std::filesystem;

ReadOptions ColourOnly() {
    ReadOptions options;
    options.withExtraChannels = false;
    return options;
}

bool IsImageName(const fs::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    static const std::array<const char*, 11> kExtensions = {".png", ".jpg", ".jpeg", ".tif", ".tiff", ".exr",
                                                            ".dpx", ".tga", ".bmp",  ".hdr", ".webp"};
    return std::find(kExtensions.begin(), kExtensions.end(), extension) != kExtensions.end();
}

// The page's 8-bit view as interleaved bytes, with its size and channel count.
std::vector<unsigned char> DecodePng(const std::string& png, int& width, int& height, int& channels) {
    OIIO::Filesystem::IOMemReader memory(png.data(), png.size());
    auto input = OIIO::ImageInput::open("view.png", nullptr, &memory);
    if (!input) throw std::runtime_error("cannot decode the view: " + OIIO::geterror());
    const OIIO::ImageSpec& spec = input->spec();
    width = spec.width;
    height = spec.height;
    channels = spec.nchannels;
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * channels);
    if (!input->read_image(0, 0, 0, channels, OIIO::TypeDesc::UINT8, pixels.data())) {
        throw std::runtime_error("cannot decode the view: " + input->geterror());
    }
    return pixels;
}

std::string EncodeRgb(const std::vector<unsigned char>& pixels, int width, int height) {
    OIIO::ImageSpec spec(width, height, 3, OIIO::TypeDesc::UINT8);
    spec.attribute("png:compressionLevel", 1);
    std::vector<unsigned char> bytes;
    OIIO::Filesystem::IOVecOutput memory(bytes);
    auto output = OIIO::ImageOutput::create("png");
    if (!output) throw std::runtime_error("cannot encode PNG: " + OIIO::geterror());
    output->set_ioproxy(&memory);
    if (!output->open("view.png", spec) || !output->write_image(OIIO::TypeDesc::UINT8, pixels.data()) ||
        !output->close()) {
        throw std::runtime_error("cannot encode PNG: " + output->geterror());
    }
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

Backgrounds::Backgrounds(const std::string& plate, const std::string& chosen)
    : folder_(fs::absolute(fs::path(plate)).parent_path()) {
    if (!chosen.empty()) {
        chosen_ = fs::absolute(chosen);
        try {
            ReadImageFile(chosen, ColourOnly());  // a file that cannot be used is said at the start
        } catch (const CliError& e) {
            throw CliError(std::string("--background ") + e.what(), e.ExitCode());
        }
    }
}

nlohmann::json Backgrounds::List() {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(folder_, error), end; !error && it != end; it.increment(error)) {
        if (it->is_regular_file(error) && IsImageName(it->path())) names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    if (names.size() > kMaxBackgroundFiles) names.resize(kMaxBackgroundFiles);
    listed_.clear();
    for (const std::string& name : names) listed_[name] = folder_ / name;
    std::string chosenName;
    if (!chosen_.empty()) {
        // Outside the folder, the file is listed under the path it was given.
        chosenName = chosen_.parent_path() == folder_ ? chosen_.filename().string() : chosen_.string();
        if (!listed_.contains(chosenName)) names.insert(names.begin(), chosenName);
        listed_[chosenName] = chosen_;
    }
    return {{"files", names}, {"chosen", chosenName}};
}

const std::vector<unsigned char>& Backgrounds::Pixels(const fs::path& path, int width, int height) {
    for (const Laid& laid : laid_) {
        if (laid.path == path && laid.width == width && laid.height == height) return laid.pixels;
    }
    const FileImage file = ReadImageFile(path.string(), ColourOnly());
    const Image& image = *file.image;
    std::vector<float> rgb(static_cast<std::size_t>(image.Width()) * image.Height() * 3);
    for (int y = 0; y < image.Height(); ++y) {
        const float* record = image.Plane1Pixel(0, y);
        for (int x = 0; x < image.Width(); ++x, record += 4) {
            float* out = &rgb[(static_cast<std::size_t>(y) * image.Width() + x) * 3];
            out[0] = record[2];
            out[1] = record[1];
            out[2] = record[0];
        }
    }
    OIIO::ImageBuf source(OIIO::ImageSpec(image.Width(), image.Height(), 3, OIIO::TypeDesc::FLOAT), rgb.data());
    OIIO::ImageBuf shown = source;
    // Shown as the plates are: a file that is not sRGB-encoded through the curve.
    if (ShownThroughSrgbCurve(file.spec)) OIIO::ImageBufAlgo::colorconvert(shown, source, "linear", "sRGB", false);
    OIIO::ImageBuf sized = shown;
    if (image.Width() != width || image.Height() != height) {
        sized = OIIO::ImageBufAlgo::resize(shown, {}, OIIO::ROI(0, width, 0, height, 0, 1, 0, 3));
    }
    std::vector<unsigned char> bytes(static_cast<std::size_t>(width) * height * 3);
    if (!sized.get_pixels(OIIO::ROI(0, width, 0, height, 0, 1, 0, 3), OIIO::TypeDesc::UINT8, bytes.data())) {
        throw std::runtime_error(path.string() + ": cannot lay out the background: " + sized.geterror());
    }
    constexpr std::size_t kKept = 2;
    if (laid_.size() == kKept) laid_.erase(laid_.begin());
    laid_.push_back({path, width, height, std::move(bytes)});
    return laid_.back().pixels;
}

std::string Backgrounds::Over(const std::string& png, const std::string& name) {
    if (listed_.empty()) List();
    auto found = listed_.find(name);
    if (found == listed_.end()) {
        List();  // the folder may have gained the file since it was listed
        found = listed_.find(name);
    }
    if (found == listed_.end()) {
        throw RequestError(404, "no background '" + Shortened(name) + "' in the plate's folder");
    }
    int width = 0, height = 0, channels = 0;
    std::vector<unsigned char> result = DecodePng(png, width, height, channels);
    if (channels != 4) throw std::runtime_error("the result view has no alpha to lay over a background");
    const std::vector<unsigned char>& background = Pixels(found->second, width, height);
    std::vector<unsigned char> laid(background.size());
    for (std::size_t pixel = 0; pixel < laid.size() / 3; ++pixel) {
        const unsigned alpha = result[pixel * 4 + 3];
        for (int c = 0; c < 3; ++c) {
            const unsigned sum = result[pixel * 4 + c] * alpha + background[pixel * 3 + c] * (255u - alpha);
            laid[pixel * 3 + c] = static_cast<unsigned char>((sum + 127u) / 255u);
        }
    }
    return EncodeRgb(laid, width, height);
}

}  // namespace veskar::tune
