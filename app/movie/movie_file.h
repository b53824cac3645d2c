#pragma once

// Movie files as sequences of frames: what a movie holds, found before any
// frame is keyed. Frames are numbered from 1 in the order they are shown.

#include <memory>
#include <string>

namespace veskar {

/// Whether the file at `path` is a movie (QuickTime, MP4, Matroska, WebM,
/// MXF, AVI), by its first bytes; a file that cannot be read, or an image
/// in such a container (AVIF, HEIF), is not.
bool IsMovieFile(const std::string& path);

/// Whether an output at `path` is a movie, by its ending (.mov, .mp4, .m4v,
/// .mkv, .webm, .avi, .mxf): outputs do not exist yet.
bool IsMovieName(const std::string& path);

/// A whole number fraction, as FFmpeg keeps frame rates.
struct Rate {
    int num = 0;
    int den = 1;
    double Value() const noexcept { return den != 0 ? static_cast<double>(num) / den : 0.0; }
    std::string Text() const;  ///< "25", "24000/1001 (23.976)"
};

/// The colour description a video stream carries, by FFmpeg's numbers
/// (AVColorSpace, AVColorRange, AVColorTransferCharacteristic,
/// AVColorPrimaries); 2 ("unspecified") where it says nothing.
struct VideoColour {
    int matrix = 2;
    int range = 0;
    int transfer = 2;
    int primaries = 2;
    /// "BT.709 matrix, limited range; transfer bt709, primaries bt709".
    std::string Text() const;
};

/// What the video stream of a movie holds, checked to be a sequence of
/// frames at one constant rate.
struct MovieInfo {
    std::string path;
    int stream = 0;        ///< the video stream's index in the file
    int width = 0;
    int height = 0;
    int frames = 0;        ///< frames shown, counted, not as the header says
    Rate rate;             ///< frames per second
    std::string codec;     ///< "h264", "prores"
    std::string pixelFormat;  ///< "yuv420p10le"
    int bits = 8;          ///< bits per channel of the stored pixels
    bool alpha = false;    ///< the stream holds a matte
    VideoColour colour;
    std::string timecode;  ///< the first frame's timecode, "" when it has none
    /// The colour space tag its decoded values get: display-encoded video is
    /// "sRGB" (as an sRGB PNG plate is), linear transfer "linear".
    std::string ColourSpace() const;
    /// One line for the run's note: frames, size, rate, codec and colour.
    std::string Summary() const;
};

/// Opens `path` and reads every packet of its video stream (no decoding):
/// counts the frames and checks that they are shown at one constant rate,
/// each once. Throws CliError naming the file for a file FFmpeg cannot
/// read, no video stream, no frames, an empty or oversized frame, a variable
/// frame rate or an edit list that drops or repeats frames.
MovieInfo ProbeMovie(const std::string& path);

}  // namespace veskar
