#include "app/movie/movie_options.h"

#include <CLI/CLI.hpp>

namespace veskar {

void AddMovieOptions(CLI::App& render, MovieOptions& options) {
    render.add_option("--codec", options.codec,
                      "Codec of a movie output (-o keyed.mov): prores (ProRes 4444, the default for .mov), ffv1 "
                      "(.mkv, .avi), vp9 (.webm), h264 (.mp4), or any FFmpeg encoder by name");
    render.add_option("--quality", options.quality,
                      "Quality of a lossy movie codec, 0 to 100 (100 best; default: the codec's own)");
    render.add_option("--frame-rate", options.frameRate,
                      "Frame rate of a movie output: 25, 24000/1001 or ntsc (default: the input movie's, else 24)");
}

bool HasMovieOptions(const MovieOptions& options) {
    return !options.codec.empty() || !options.quality.empty() || !options.frameRate.empty();
}

}  // namespace veskar
