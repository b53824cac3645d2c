// Image files into the host's image, as the command line reads plates: every
// input ends in a host image or a CliError, with the memory a header declares
// checked before anything is allocated.
//
// The first byte picks the file ending the reader goes by; the rest is the
// file.

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/cli_error.h"
#include "app/files/read_checks.h"
#include "app/files/image_file.h"
#include "fuzz/fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* const kEndings[] = {".exr", ".png", ".jpg", ".tif", ".bmp", ".tga",
                                           ".ppm", ".hdr", ".dpx", ".sgi", ".pgm", ".rgbe"};
    static const bool policy = [] {
        // Fuzzed files are small; a budget of 16 MiB keeps each run quick.
        veskar::SetReadPolicy({std::uint64_t{16} << 20, false});
        return true;
    }();
    (void)policy;
    if (size < 1) return 0;
    const std::string ending = kEndings[data[0] % (sizeof kEndings / sizeof kEndings[0])];
    const std::string path = veskar_fuzz::WriteInput(ending, data + 1, size - 1);
    try {
        const veskar::FileImage file = veskar::ReadImageFile(path);
        // Touch what the host image holds: every record of the first and last line.
        volatile float sum = 0.0f;
        const Image& image = *file.image;
        for (int y : {0, image.Height() - 1}) {
            for (int x = 0; x < image.Width() && y >= 0; ++x) sum = sum + image.Plane1Pixel(x, y)[3];
        }
    } catch (const veskar::CliError&) {
        // A clear error is a fine end for a bad file.
    }
    std::remove(path.c_str());
    return 0;
}
