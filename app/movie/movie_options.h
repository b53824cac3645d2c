#pragma once

// The command line's say on movies written by a render.

#include <string>

namespace CLI {
class App;
}

namespace veskar {

struct MovieOptions {
    std::string codec;      ///< --codec: FFmpeg's encoder name or a short name (prores, ffv1, vp9, h264); "" for the container's own
    std::string quality;    ///< --quality 0-100 (100 best) for lossy codecs; "" for the codec's default
    std::string frameRate;  ///< --frame-rate: "25", "24000/1001", "ntsc"; "" for the input movie's (24 for images)
};

/// Adds --codec, --quality and --frame-rate to `render`.
void AddMovieOptions(CLI::App& render, MovieOptions& options);

/// Whether any of them is given.
bool HasMovieOptions(const MovieOptions& options);

}  // namespace veskar
