// Movie files as the command line reads them: probed (every packet of the
// video stream counted), then the first frames decoded and converted to
// host images through the reader a render uses. Every input ends in frames
// or a CliError.
//
// The first byte picks the file ending; the rest is the file. Movies are
// found by their content, so the ending only names the file in messages.
// Limits keep each input quick: a memory budget of 16 MiB (which bounds the
// frame size before anything is decoded) and at most three frames decoded.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/cli_error.h"
#include "app/files/read_checks.h"
#include "app/movie/movie_file.h"
#include "app/movie/movie_reader.h"
#include "fuzz/fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* const kEndings[] = {".mov", ".mp4", ".mkv", ".webm", ".avi", ".mxf"};
    static const bool setup = [] {
        veskar::SetReadPolicy({std::uint64_t{16} << 20, false});
        // Each frame decoded when it is asked for: one input, one path through.
        setenv("VESKAR_FRAME_OVERLAP", "off", 1);
        return true;
    }();
    (void)setup;
    if (size < 1) return 0;
    const std::string ending = kEndings[data[0] % (sizeof kEndings / sizeof kEndings[0])];
    const std::string path = veskar_fuzz::WriteInput(ending, data + 1, size - 1);
    try {
        const veskar::MovieInfo info = veskar::ProbeMovie(path);
        veskar::MovieReader reader(info);
        for (int frame = 1; frame <= std::min(info.frames, 3); ++frame) {
            const veskar::FileImage file = reader.Frame(frame, veskar::ReadOptions{});
            // Touch the last record: the image is as large as it says.
            const Image& image = *file.image;
            volatile float last = image.Plane1Pixel(image.Width() - 1, image.Height() - 1)[3];
            (void)last;
        }
    } catch (const veskar::CliError&) {
        // A clear error is a fine end for a bad file.
    }
    std::remove(path.c_str());
    return 0;
}
