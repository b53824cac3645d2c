#include "app/movie/av_support.h"

#include <algorithm>
#include <cctype>
#include <new>
#include <utility>
#include <vector>

#include "app/cli_error.h"
#include "app/files/read_checks.h"
#include "host/worker_pool.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace veskar::av {

std::string ErrorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    std::string words(text);
    if (!words.empty()) words[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(words[0])));
    return words;
}

namespace {

// What reading the headers of `path` failing with `error` means to a user.
std::string OpenFailure(const std::string& path, int error) {
    std::string why = ErrorText(error);
    if (error == AVERROR_EOF) why = "the file ends before its first frame (empty or cut short)";
    // FFmpeg's demuxers stop at 1000 streams with this error.
    if (error == AVERROR(ENOMEM)) why += " (the file declares more streams than FFmpeg reads, or memory ran out)";
    return path + ": cannot read: " + why;
}

}  // namespace

void CheckFrameSize(const std::string& path, int width, int height) {
    if (width <= 0 || height <= 0) {
        throw CliError(path + ": cannot read: the video stream declares no frame size (" + std::to_string(width) +
                       " x " + std::to_string(height) + ")");
    }
    const std::string size = std::to_string(width) + " x " + std::to_string(height) + " pixels";
    if (av_image_check_size(static_cast<unsigned>(width), static_cast<unsigned>(height), 0, nullptr) < 0) {
        throw CliError(path + ": cannot read: frames of " + size + " are too large");
    }
    const std::uint64_t bytes =
        static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * kBytesPerPixel;
    const std::uint64_t budget = CurrentReadPolicy().memoryBudget;
    if (budget > 0 && bytes > budget) {
        throw CliError(path + ": cannot read: frames of " + size + " need " + MemoryText(bytes) + ", more than the " +
                       MemoryText(budget) + " this run may use (see --max-memory)");
    }
}

int VideoStream(const AVFormatContext& input) noexcept {
    for (unsigned i = 0; i < input.nb_streams; ++i) {
        const AVStream& stream = *input.streams[i];
        if (stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO && (stream.disposition & AV_DISPOSITION_ATTACHED_PIC) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

Input OpenInput(const std::string& path, std::int64_t maxPixels) {
    Quiet();
    AVFormatContext* raw = nullptr;
    if (const int error = avformat_open_input(&raw, path.c_str(), nullptr, nullptr); error < 0) {
        throw CliError(OpenFailure(path, error));
    }
    Input input(raw);
    // Only the first video stream is read: the demuxer passes over the
    // packets of the others, and no decoder is opened for them, however many
    // a file declares. Its declared size is weighed before any frame is
    // decoded.
    const int video = VideoStream(*input);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream& stream = *input->streams[i];
        if (stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO && static_cast<int>(i) != video) {
            stream.discard = AVDISCARD_ALL;
            // Without a codec FFmpeg opens no decoder for the stream while it
            // looks for the streams' details (it would for every stream, a
            // megabyte or more each for H.264).
            stream.codecpar->codec_id = AV_CODEC_ID_NONE;
        }
    }
    if (video >= 0) {
        const AVCodecParameters& par = *input->streams[video]->codecpar;
        if (par.width > 0 && par.height > 0) CheckFrameSize(path, par.width, par.height);
    }
    // Finding the streams' details may decode a frame: the decoders refuse
    // frames larger than the run may hold before they set memory aside.
    std::vector<AVDictionary*> options(input->nb_streams, nullptr);
    for (AVDictionary*& streamOptions : options) av_dict_set_int(&streamOptions, "max_pixels", maxPixels, 0);
    const int error = avformat_find_stream_info(input.get(), options.data());
    for (AVDictionary*& streamOptions : options) av_dict_free(&streamOptions);
    if (error < 0) throw CliError(OpenFailure(path, error));
    return input;
}

void Quiet() noexcept {
    // FFmpeg's own messages would stand between ours on stderr; every
    // failure is reported by what the calls return.
    av_log_set_level(AV_LOG_QUIET);
}

std::int64_t MaxPixels() {
    const std::uint64_t budget = CurrentReadPolicy().memoryBudget;
    if (budget == 0) return INT32_MAX;
    return static_cast<std::int64_t>(std::min<std::uint64_t>(budget / kBytesPerPixel, INT32_MAX));
}

Frame NewFrame() {
    Frame frame(av_frame_alloc());
    if (!frame) throw std::bad_alloc();
    return frame;
}

Packet NewPacket() {
    Packet packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();
    return packet;
}

int ScalerMatrix(int matrix, int height) noexcept {
    switch (matrix) {
        case AVCOL_SPC_BT709: return SWS_CS_ITU709;
        case AVCOL_SPC_FCC: return SWS_CS_FCC;
        case AVCOL_SPC_BT470BG:
        case AVCOL_SPC_SMPTE170M: return SWS_CS_ITU601;
        case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
        default: return height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
    }
}

Scaler NewScaler(int width, int height, AVPixelFormat from, AVPixelFormat to) {
    Scaler scaler(sws_alloc_context());
    if (!scaler) throw std::bad_alloc();
    const std::pair<const char*, std::int64_t> settings[] = {
        {"srcw", width},  {"srch", height},  {"src_format", from},        {"dstw", width},
        {"dsth", height}, {"dst_format", to}, {"sws_flags", kScalerFlags}, {"threads", 0}};
    for (const auto& [name, value] : settings) {
        if (av_opt_set_int(scaler.get(), name, value, 0) < 0) return nullptr;
    }
    if (sws_init_context(scaler.get(), nullptr, nullptr) < 0) return nullptr;
    return scaler;
}

bool Scale(SwsContext& scaler, const AVFrame& source, AVFrame& target) {
    return sws_scale_frame(&scaler, &target, &source) >= 0;
}

void ForRowBlocks(int height, const std::function<void(int, int)>& body) {
    // Blocks of rows small enough to share out, large enough that handing
    // them out costs nothing beside the work.
    constexpr int kRows = 16;
    host::RunChunks((height + kRows - 1) / kRows, [&](int block) {
        const int y0 = block * kRows;
        body(y0, std::min(height, y0 + kRows));
    });
}

bool HasAlpha(AVPixelFormat format) noexcept {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    return desc != nullptr && (desc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
}

bool IsRgb(AVPixelFormat format) noexcept {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    return desc != nullptr && (desc->flags & AV_PIX_FMT_FLAG_RGB) != 0;
}

int Bits(AVPixelFormat format) noexcept {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    int bits = 0;
    for (int c = 0; desc != nullptr && c < desc->nb_components; ++c) {
        bits = std::max(bits, desc->comp[c].depth);
    }
    return bits;
}

}  // namespace veskar::av
