#pragma once

// The frames of a movie, decoded in order as they are asked for.

#include <future>
#include <string>

#include "app/files/image_file.h"
#include "app/movie/av_support.h"
#include "app/movie/movie_file.h"

namespace veskar {

/// Decodes the frames of a probed movie into host images. Frames are asked
/// for by number (1 for the first shown); going forward decodes on from the
/// last frame, going back starts again from the first. While the caller
/// keys a frame, the next one is decoded on a thread of its own, so one
/// frame is held ahead (VESKAR_FRAME_OVERLAP=off decodes each frame when it
/// is asked for, to compare against).
class MovieReader {
public:
    /// Opens the movie and its decoder. Throws CliError naming the file.
    explicit MovieReader(const MovieInfo& info);
    MovieReader(const MovieReader&) = delete;
    MovieReader& operator=(const MovieReader&) = delete;
    /// Waits for the frame being decoded ahead.
    ~MovieReader();

    /// Frame `frame` as the file readers give an image: red, green, blue and
    /// alpha (1.0 without a matte) as floats, 0 to 1 for the stored code
    /// values, colour multiplied by alpha (movies store it straight),
    /// converted to RGB with the stream's own matrix and range and
    /// its chroma upsampled with a bicubic filter; `colourSpace` is
    /// MovieInfo::ColourSpace(), or the --input-space conversion's. Throws
    /// CliError naming the file (the caller names the frame).
    FileImage Frame(int frame, const ReadOptions& options);

private:
    FileImage Decode(int frame, const ReadOptions& options);
    void Open();
    bool DecodeNext();
    void Convert(FileImage& file);
    void ToRecords(int y, Image& image) const;

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
    bool overlap_ = true;   // decode the next frame ahead
    int aheadFrame_ = 0;    // the frame `ahead_` gives
    std::future<FileImage> ahead_;  // last: waited for before the decoder goes
};

/// Refuses ReadOptions that name parts, views or layers, which movies do not
/// have: CliError (exit 2) naming the option and the file.
void CheckMovieReadOptions(const std::string& path, const ReadOptions& options);

}  // namespace veskar
