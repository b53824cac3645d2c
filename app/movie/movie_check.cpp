#include "app/movie/movie_check.h"

#include <iostream>
#include <optional>
#include <vector>

#include "app/cli_error.h"
#include "app/frames.h"
#include "app/movie/movie_reader.h"
#include "app/text_match.h"

namespace veskar {
namespace {

// What the render was asked for: a frame count and, with --like, a size and
// a matte.
struct MovieExpectation {
    std::optional<std::size_t> frames;
    std::string framesWhy;  // where the count comes from, for messages
    int width = 0;          // 0: not known
    int height = 0;
    bool alpha = false;
};

MovieExpectation Expect(const CheckOptions& options) {
    MovieExpectation expected;
    if (!options.frames.empty()) {
        expected.frames = FrameList(options.frames).Size();
        expected.framesWhy = "--frames " + ShownText(options.frames);
    }
    if (options.like.empty()) return expected;
    const FramePattern like(options.like, "--like");
    if (!like.IsSequence() && IsMovieFile(options.like)) {
        const MovieInfo input = ProbeMovie(options.like);
        if (!expected.frames) {
            expected.frames = static_cast<std::size_t>(input.frames);
            expected.framesWhy = "as " + ShownPath(options.like) + " has";
        }
        expected.width = input.width;
        expected.height = input.height;
    } else {
        if (like.IsSequence() && options.frames.empty()) {
            throw CliError("--like " + options.like + ": a sequence needs --frames (the frames the movie holds)", 2);
        }
        const int first = options.frames.empty() ? 0 : FrameList(options.frames).First();
        const FileImage header = ReadImageHeader(like.Path(first));
        expected.width = header.spec.width;
        expected.height = header.spec.height;
    }
    expected.alpha = !options.files.dropAlpha;
    return expected;
}

// The problems of `movie` against what was expected, one per line.
std::vector<std::string> Unlike(const MovieInfo& movie, const MovieExpectation& expected) {
    std::vector<std::string> problems;
    if (expected.frames && *expected.frames != static_cast<std::size_t>(movie.frames)) {
        problems.push_back("holds " + std::to_string(movie.frames) + " frames, expected " +
                           std::to_string(*expected.frames) + " (" + expected.framesWhy + ")");
    }
    if (expected.width > 0 && (movie.width != expected.width || movie.height != expected.height)) {
        problems.push_back("frames of " + std::to_string(movie.width) + " x " + std::to_string(movie.height) +
                           ", expected " + std::to_string(expected.width) + " x " + std::to_string(expected.height) +
                           " (--like)");
    }
    if (expected.alpha && !movie.alpha) {
        problems.push_back("no matte (alpha), expected one (--like; give --drop-alpha if the render did)");
    }
    return problems;
}

}  // namespace

bool ChecksMovie(const CheckOptions& options) {
    return !FramePattern(options.output, "output").IsSequence() && IsMovieFile(options.output);
}

int RunMovieCheck(const CheckOptions& options) {
    if (!options.type.empty()) {
        throw CliError("--type: " + options.output + " is a movie, whose data type is its codec's", 2);
    }
    const std::string shown = ShownPath(options.output);
    const MovieExpectation expected = Expect(options);
    MovieInfo movie;
    try {
        movie = ProbeMovie(options.output);
    } catch (const CliError& e) {
        std::cout << e.what() << "\nveskar check: " << shown << ": cannot be read\n";
        return 1;
    }
    std::vector<std::string> problems = Unlike(movie, expected);
    for (const std::string& problem : problems) std::cout << shown << ": " << problem << "\n";
    int good = 0;
    try {
        MovieReader reader(movie);
        for (int frame = 1; frame <= movie.frames; ++frame, ++good) reader.Frame(frame, {});
    } catch (const CliError& e) {
        // A frame that does not decode leaves the decoder behind it lost.
        std::cout << "frame " << good + 1 << ": " << e.what() << "\n";
    }
    std::cout << "veskar check: " << movie.Summary() << ": " << good << " good, " << movie.frames - good << " bad"
              << std::endl;
    return problems.empty() && good == movie.frames ? 0 : 1;
}

}  // namespace veskar
