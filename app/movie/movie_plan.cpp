#include "app/movie/movie_plan.h"

#include <iostream>

#include "app/cli_error.h"
#include "app/text_match.h"

namespace veskar {

std::shared_ptr<const MovieInfo> ProbeMovieInput(const FramePattern& input, const RenderOptions& options) {
    if (input.IsSequence() || !IsMovieFile(options.input)) return nullptr;
    auto movie = std::make_shared<const MovieInfo>(ProbeMovie(options.input));
    std::cerr << "veskar: note: " << movie->Summary() << "; keyed as display-encoded values, as an "
              << movie->ColourSpace() << " image file is\n";
    return movie;
}

FrameList MovieFrameList(const MovieInfo& movie, const std::string& text) {
    const std::string all = "1-" + std::to_string(movie.frames);
    FrameList frames(text.empty() ? all : text);
    // More frames than the movie has: some are not its own (and walking
    // them all could take long).
    if (frames.Size() > static_cast<std::size_t>(movie.frames)) {
        throw CliError("--frames " + ShownText(text) + ": " + movie.path + " has frames " + all + " (numbered from 1)",
                       2);
    }
    for (const int frame : frames) {
        if (frame < 1 || frame > movie.frames) {
            throw CliError("--frames " + ShownText(text) + ": " + movie.path + " has frames " + all +
                               " (numbered from 1), not frame " + std::to_string(frame),
                           2);
        }
    }
    return frames;
}

FrameList MovieFrames(const MovieInfo& movie, const RenderOptions& options) {
    FrameList frames = MovieFrameList(movie, options.frames);
    const FramePattern output(options.output, "-o");
    if (frames.Size() > 1 && !output.IsSequence() && !IsMovieName(options.output)) {
        throw CliError("-o " + options.output + ": " + options.input + " is a movie of " +
                           std::to_string(frames.Size()) +
                           " frames, and every frame would write this one file; give a pattern such as "
                           "out.####.exr, a movie such as out.mov, or --frames N for one frame",
                       2);
    }
    return frames;
}

void CheckMovieOutputOptions(const RenderOptions& options) {
    if (!IsMovieName(options.output) || FramePattern(options.output, "-o").IsSequence()) {
        if (HasMovieOptions(options.movie)) {
            throw CliError("-o " + options.output +
                               ": --codec, --quality and --frame-rate are for a movie output (such as keyed.mov)",
                           2);
        }
        return;
    }
    if (options.skipExisting) {
        throw CliError("--skip-existing: -o " + options.output +
                           " is a movie, written whole at the end of the run; it has no frames to skip",
                       2);
    }
}

}  // namespace veskar
