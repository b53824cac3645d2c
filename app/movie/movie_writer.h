#pragma once

// Keyed frames written as one movie: encoded in order as they come, into a
// temporary file renamed into place only when the last frame is in.

#include <memory>
#include <string>

#include "app/files/image_file.h"
#include "app/files/keyed_file.h"
#include "app/frames.h"
#include "app/movie/movie_file.h"
#include "app/movie/movie_options.h"

namespace veskar {

/// One movie output. The container is the target's ending (.mov, .mkv,
/// .webm, .mp4, .m4v, .avi, .mxf); its codec --codec or the container's own:
/// ProRes 4444 with alpha for .mov, FFV1 (16-bit RGB and alpha, lossless)
/// for .mkv and .avi, VP9 with alpha for .webm, H.264 for .mp4. Frames are
/// stored with straight colour (as movies hold it) at the codec's deepest
/// pixel format, with the frame rate, colour description and timecode of
/// the input movie where there is one; a run that keys every frame of the
/// input movie in order also gets its audio, copied bit for bit.
class MovieWriter {
public:
    /// Checks the container, the codec and the options (CliError, exit 2)
    /// and claims the temporary file. `input` is the input movie, or null;
    /// `frames` the frames of the run, in the order written.
    MovieWriter(const std::string& path, const MovieOptions& options, const MovieInfo* input, const FrameList& frames,
                const WriteOptions& write);
    MovieWriter(const MovieWriter&) = delete;
    MovieWriter& operator=(const MovieWriter&) = delete;
    /// Removes the temporary file unless finished.
    ~MovieWriter();

    /// Refuses what this movie cannot hold of `source` (the matte, unless
    /// --drop-alpha; further channels or parts, unless --drop-channels) and
    /// options that do not apply to movies (--type, --compression, --alpha
    /// premultiplied). Throws CliError naming the output.
    void Check(const FileImage& source) const;

    /// Encodes `keyed` (a render of `source`) as the next frame; the first
    /// frame sets the movie's size. Throws CliError naming the output.
    void Write(const FileImage& source, const Image& keyed);

    /// Encodes what the codec still holds, closes the file and renames it
    /// into place. Throws CliError naming the output.
    void Finish();

private:
    struct Encoder;
    std::unique_ptr<Encoder> encoder_;
};

/// The movie writer of a run whose -o names a movie (not a frame pattern);
/// null otherwise.
std::unique_ptr<MovieWriter> MovieOutputFor(const std::string& output, const MovieOptions& options,
                                            const MovieInfo* input, const FrameList& frames,
                                            const WriteOptions& write);

}  // namespace veskar
