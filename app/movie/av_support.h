#pragma once

// FFmpeg's objects owned as C++ objects, and its error codes as text. Only
// app/movie/ sees FFmpeg's headers.

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace veskar::av {

struct InputCloser {
    void operator()(AVFormatContext* context) const noexcept { avformat_close_input(&context); }
};
struct CodecCloser {
    void operator()(AVCodecContext* context) const noexcept { avcodec_free_context(&context); }
};
struct FrameFreer {
    void operator()(AVFrame* frame) const noexcept { av_frame_free(&frame); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }
};
struct ScalerFreer {
    void operator()(SwsContext* context) const noexcept { sws_freeContext(context); }
};

using Input = std::unique_ptr<AVFormatContext, InputCloser>;
using Codec = std::unique_ptr<AVCodecContext, CodecCloser>;
using Frame = std::unique_ptr<AVFrame, FrameFreer>;
using Packet = std::unique_ptr<AVPacket, PacketFreer>;
using Scaler = std::unique_ptr<SwsContext, ScalerFreer>;

/// FFmpeg's words for `error` (a negative AVERROR), in lower case.
std::string ErrorText(int error);

/// The index of the first video stream of `input` that is not a cover
/// picture; -1 when there is none.
int VideoStream(const AVFormatContext& input) noexcept;

/// Silences FFmpeg's own log, before FFmpeg is first used.
void Quiet() noexcept;

/// Opens `path` for reading and reads its streams' headers, decoding no
/// frame of more than `maxPixels` pixels. Video streams other than the
/// first (VideoStream) are discarded: never probed, decoded or read. Throws
/// CliError "PATH: cannot read: REASON".
Input OpenInput(const std::string& path, std::int64_t maxPixels);

/// Refuses frames of `width` x `height` that FFmpeg refuses, or that would
/// take more memory than the run may use (kBytesPerPixel each), with
/// CliError naming `path` and the size.
void CheckFrameSize(const std::string& path, int width, int height);

/// The most pixels a frame may have in this run: what the memory budget
/// holds of a movie's frames in flight (see kBytesPerPixel).
std::int64_t MaxPixels();

/// The bytes a pixel of a movie frame costs while it is keyed: three frames
/// of float records, one of 16-bit staging and one decoded.
inline constexpr std::int64_t kBytesPerPixel = 3 * 16 + 8 + 16;

/// A new frame or packet; throws std::bad_alloc when there is no memory.
Frame NewFrame();
Packet NewPacket();

/// The swscale matrix (SWS_CS_*) for the stream's AVColorSpace `matrix`;
/// an unspecified one is taken as video of that size usually is (BT.709 from
/// 720 lines up, BT.601 below).
int ScalerMatrix(int matrix, int height) noexcept;

/// A scaler of `width` x `height` frames from `from` to `to` with
/// kScalerFlags, which converts each frame in slices on one thread per core
/// (every slice's rows are those the whole frame gives); null when swscale
/// cannot convert between the two.
Scaler NewScaler(int width, int height, AVPixelFormat from, AVPixelFormat to);

/// Converts `source` into `target`, frames with their own buffers of the
/// scaler's sizes and formats. False when swscale fails.
bool Scale(SwsContext& scaler, const AVFrame& source, AVFrame& target);

/// Runs body(y0, y1) over the rows y0 to y1 - 1 of blocks that cover a frame
/// `height` rows high, on the host's worker pool (--threads); returns when
/// every block is done.
void ForRowBlocks(int height, const std::function<void(int, int)>& body);

/// A colour description field (AVColorSpace, AVColorRange, ...) as the
/// number FFmpeg stored from the file; one at or past `count` (the enum's
/// _NB), which a damaged or crafted header gives, is `unspecified`. Read as
/// the int it is stored as: the enum type cannot hold such values.
template <typename Enum>
int DescribedValue(const Enum& field, int count, int unspecified) noexcept {
    static_assert(sizeof(Enum) == sizeof(int));
    int value = 0;
    std::memcpy(&value, &field, sizeof value);
    return value >= 0 && value < count ? value : unspecified;
}

/// Whether `format` holds a matte (alpha).
bool HasAlpha(AVPixelFormat format) noexcept;
/// Whether `format` stores RGB rather than luma and colour difference.
bool IsRgb(AVPixelFormat format) noexcept;
/// The bits of its deepest channel.
int Bits(AVPixelFormat format) noexcept;

/// Scaler flags: bicubic, full chroma resolution in and out, accurate
/// rounding (no nearest-neighbour chroma, no dithering shortcuts).
inline constexpr int kScalerFlags =
    SWS_BICUBIC | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP | SWS_ACCURATE_RND | SWS_BITEXACT;

}  // namespace veskar::av
