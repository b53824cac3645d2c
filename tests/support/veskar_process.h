#pragma once

// Running the veskar command as users run it, and reading what it wrote.

#include <OpenImageIO/imagebuf.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_paths.h"

struct VeskarRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

inline std::string ReadTextFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/// Runs veskar with `args`; its output is captured in files in `scratch`.
inline VeskarRun RunVeskarIn(const std::vector<std::string>& args, const std::filesystem::path& scratch) {
    auto quote = [](const std::string& text) {
        std::string quoted = "'";
        for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return quoted + "'";
    };
    std::string command = quote(VESKAR_TEST_EXE);
    for (const std::string& arg : args) command += " " + quote(arg);
    const auto out = scratch / "veskar.out";
    const auto err = scratch / "veskar.err";
    command += " >" + quote(out.string()) + " 2>" + quote(err.string());
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadTextFile(out), ReadTextFile(err)};
}

/// An image file's pixels as floats, channel-interleaved.
struct FilePixels {
    int width = 0;
    int height = 0;
    int channels = 0;
    std::vector<float> values;
    float At(int x, int y, int c) const {
        return values[(static_cast<std::size_t>(y) * width + x) * channels + c];
    }
};

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
