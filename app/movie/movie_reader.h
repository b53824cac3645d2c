#pragma once

// The frames of a movie, decoded in order as they are asked for.

#include <string>

#include "app/files/image_file.h"
#include "app/movie/av_support.h"
#include "app/movie/movie_file.h"

namespace veskar {

/// Decodes the frames of a probed movie into host images. Frames are asked
/// for by number (1 for the first shown); going forward decodes on from the
/// last frame, going back starts again from the first. Only the frame being
/// converted is held beside the decoder's own.
class MovieReader {
public:
    /// Opens the movie and its decoder. Throws CliError naming the file.
    explicit MovieReader(const MovieInfo& info);

    /// Frame `frame` as the file readers give an image: red, green, blue and
    /// alpha (1.0 without a matte) as floats, 0 to 1 for the stored code
    /// values, colour multiplied by alpha (movies store it straight),
    /// converted to RGB with the stream's own matrix and range and
    /// its chroma upsampled with a bicubic filter; `colourSpace` is
    /// MovieInfo::ColourSpace(), or the --input-space conversion's. Throws
    /// CliError naming the file (the caller names the frame).
    FileImage Frame(int frame, const ReadOptions& options);

private:
    void Open();
    bool DecodeNext();
    void Convert(FileImage& file);

    MovieInfo info_;
    av::Input input_;
    av::Codec codec_;
    av::Packet packet_;
    av::Frame decoded_;
    av::Frame converted_;
    av::Scaler scaler_;
    AVPixelFormat scalerFrom_ = AV_PIX_FMT_NONE;
    int next_ = 1;          // the number of the frame DecodeNext gives
    bool drained_ = false;  // the end of the file was sent to the decoder
};

/// Refuses ReadOptions that name parts, views or layers, which movies do not
/// have: CliError (exit 2) naming the option and the file.
void CheckMovieReadOptions(const std::string& path, const ReadOptions& options);

}  // namespace veskar
