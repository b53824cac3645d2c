#pragma once

// An image file's pixels as the tests compare them: floats, channel-interleaved.

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <vector>

namespace veskar_test {

struct FilePixels {
    int width = 0;
    int height = 0;
    int channels = 0;
    std::vector<float> values;
    float At(int x, int y, int c) const {
        return values[(static_cast<std::size_t>(y) * width + x) * channels + c];
    }
};

/// Reads the top level of `path`'s first part; a failure is added to the
/// running test and gives an empty image. Read straight from the file, not
/// through the shared image cache, which would hand back what an earlier
/// test's file of the same name held.
inline FilePixels ReadPixels(const std::filesystem::path& path) {
    FilePixels p;
    auto in = OIIO::ImageInput::open(path.string());
    if (!in) {
        ADD_FAILURE() << path << ": " << OIIO::geterror();
        return p;
    }
    const OIIO::ImageSpec& spec = in->spec();
    p.width = spec.width;
    p.height = spec.height;
    p.channels = spec.nchannels;
    p.values.resize(static_cast<std::size_t>(p.width) * p.height * p.channels);
    if (!in->read_image(0, 0, 0, p.channels, OIIO::TypeDesc::FLOAT, p.values.data())) {
        ADD_FAILURE() << path << ": " << in->geterror();
        p = FilePixels{};
    }
    return p;
}

}  // namespace veskar_test
