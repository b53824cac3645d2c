#pragma once

// An image file's pixels as the tests compare them: floats, channel-interleaved.

#include <OpenImageIO/imagebuf.h>
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
/// running test and gives an empty image.
inline FilePixels ReadPixels(const std::filesystem::path& path) {
    OIIO::ImageBuf buf(path.string());
    FilePixels p;
    if (!buf.read(0, 0, true, OIIO::TypeDesc::FLOAT)) {
        ADD_FAILURE() << path << ": " << buf.geterror();
        return p;
    }
    p.width = buf.spec().width;
    p.height = buf.spec().height;
    p.channels = buf.spec().nchannels;
    p.values.resize(static_cast<std::size_t>(p.width) * p.height * p.channels);
    buf.get_pixels(buf.roi(), OIIO::TypeDesc::FLOAT, p.values.data());
    return p;
}

}  // namespace veskar_test
