#include "app/movie/movie_writer.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <iostream>
#include <new>
#include <vector>

#include "app/cli_error.h"
#include "app/files/colour.h"
#include "app/files/staged_file.h"
#include "app/frames.h"
#include "app/movie/av_support.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/timecode.h>
}

namespace veskar {
namespace {

struct OutputCloser {
    void operator()(AVFormatContext* context) const noexcept {
        if (context->pb != nullptr) avio_closep(&context->pb);
        avformat_free_context(context);
    }
};
using Output = std::unique_ptr<AVFormatContext, OutputCloser>;

// The codec a container gets when --codec does not say: the one that keeps
// the matte at the most depth the container holds.
const char* DefaultEncoder(const std::string& muxer) {
    if (muxer == "mov") return "prores_ks";
    if (muxer == "matroska" || muxer == "avi") return "ffv1";
    if (muxer == "webm") return "libvpx-vp9";
    if (muxer == "mp4") return "libx264";
    return nullptr;
}

// FFmpeg's encoder for a short name users know.
std::string EncoderName(const std::string& asked) {
    if (asked == "prores") return "prores_ks";
    if (asked == "vp9") return "libvpx-vp9";
    if (asked == "vp8") return "libvpx";
    if (asked == "h264") return "libx264";
    if (asked == "h265" || asked == "hevc") return "libx265";
    return asked;
}

// The encoder's pixel format for frames with or without a matte: the
// deepest (up to 16 bits), then full chroma, then RGB (no matrix between).
// H.264 and H.265 without a matte get 8-bit 4:2:0, which every player takes.
AVPixelFormat ChoosePixels(const AVCodec& codec, bool alpha) {
    if (codec.pix_fmts == nullptr) return alpha ? AV_PIX_FMT_GBRAP16 : AV_PIX_FMT_GBRP16;
    AVPixelFormat best = AV_PIX_FMT_NONE;
    int bestScore = -1;
    for (const AVPixelFormat* format = codec.pix_fmts; *format != AV_PIX_FMT_NONE; ++format) {
        const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(*format);
        const int bits = av::Bits(*format);
        if (desc == nullptr || av::HasAlpha(*format) != alpha || desc->nb_components < 3 || bits > 16 ||
            (desc->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_FLOAT)) != 0) {
            continue;
        }
        if (!alpha && *format == AV_PIX_FMT_YUV420P &&
            (codec.id == AV_CODEC_ID_H264 || codec.id == AV_CODEC_ID_HEVC)) {
            return *format;
        }
        const int score = bits * 100 + (desc->log2_chroma_w == 0 && desc->log2_chroma_h == 0 ? 10 : 0) +
                          (av::IsRgb(*format) ? 1 : 0);
        if (score > bestScore) {
            best = *format;
            bestScore = score;
        }
    }
    return best;
}

// The codec's name as users know it: "H.264", "ProRes".
std::string Title(const AVCodec& codec) {
    switch (codec.id) {
        case AV_CODEC_ID_H264: return "H.264";
        case AV_CODEC_ID_HEVC: return "H.265";
        case AV_CODEC_ID_PRORES: return "ProRes";
        case AV_CODEC_ID_FFV1: return "FFV1";
        case AV_CODEC_ID_VP9: return "VP9";
        default: return avcodec_get_name(codec.id);
    }
}

bool HoldsAlpha(const AVCodec& codec) {
    return ChoosePixels(codec, true) != AV_PIX_FMT_NONE;
}

// The transfer a colour space tag stands for; unspecified for others.
AVColorTransferCharacteristic TransferOf(const std::string& space) {
    std::string lower;
    for (const char c : space) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "srgb") return AVCOL_TRC_IEC61966_2_1;
    if (lower == "linear" || lower == "scene_linear") return AVCOL_TRC_LINEAR;
    if (lower == "rec709") return AVCOL_TRC_BT709;
    return AVCOL_TRC_UNSPECIFIED;
}

}  // namespace

struct MovieWriter::Encoder {
    std::string path;
    MovieOptions options;
    const MovieInfo* input;
    int firstFrame;
    bool consecutive;  // the frames follow each other: the timecode runs on
    bool wholeMovie;   // every frame of the input movie, in order: its audio is copied
    WriteOptions write;
    StagedFile staged;
    Output output;
    const AVCodec* codec = nullptr;
    AVRational rate{24, 1};
    bool alpha = true;  // the movie holds the matte
    AVPixelFormat pixels = AV_PIX_FMT_NONE;
    av::Codec context;
    AVStream* stream = nullptr;
    av::Scaler scaler;
    av::Frame straight;  // 16-bit planar RGB(A), straight colour
    av::Frame encoded;   // in the codec's pixel format
    av::Packet packet;
    std::unique_ptr<ColourConversion> conversion;
    std::int64_t frames = 0;  // written so far
    av::Input audioInput;             // the input movie again, for its audio
    std::vector<int> audioStreams;    // output stream of each input stream; -1 for none
    std::int64_t audioOffset = 0;     // the input video's first time, in microseconds

    Encoder(const std::string& target, const MovieOptions& movie, const MovieInfo* source, const FrameList& list,
            const WriteOptions& writeOptions)
        : path(target),
          options(movie),
          input(source),
          firstFrame(list.First()),
          consecutive(Consecutive(list)),
          wholeMovie(source != nullptr && consecutive && list.First() == 1 &&
                     list.Size() == static_cast<std::size_t>(source->frames)),
          write(writeOptions),
          staged(target) {}

    static bool Consecutive(const FrameList& list) {
        int expected = list.First();
        for (const int frame : list) {
            if (frame != expected++) return false;
        }
        return true;
    }

    void Choose();
    void ApplyQuality(AVDictionary** settings) const;
    void Describe(const FileImage& source);
    void Open(const FileImage& source, int width, int height);
    void Fill(const Image& keyed);
    void FillRow(const Image& keyed, int y, std::vector<float>& rgb) const;
    void Encode(const AVFrame* frame);
    void AddAudio();
    void CopyAudio(std::int64_t until);
    [[noreturn]] void Fail(const std::string& reason);
};

void MovieWriter::Encoder::Choose() {
    av::Quiet();
    AVFormatContext* raw = nullptr;
    avformat_alloc_output_context2(&raw, nullptr, nullptr, path.c_str());
    if (raw == nullptr) throw CliError("-o " + path + ": FFmpeg writes no movies of this ending", 2);
    output.reset(raw);
    const std::string muxer = output->oformat->name;
    const char* fallback = DefaultEncoder(muxer);
    if (options.codec.empty() && fallback == nullptr) {
        throw CliError("-o " + path + ": give the codec of a " + muxer + " movie with --codec", 2);
    }
    const std::string name = options.codec.empty() ? std::string(fallback) : EncoderName(options.codec);
    codec = avcodec_find_encoder_by_name(name.c_str());
    if (codec == nullptr || codec->type != AVMEDIA_TYPE_VIDEO) {
        throw CliError((options.codec.empty() ? "-o " + path : "--codec " + options.codec) + ": " + name +
                           " is not a video encoder of this FFmpeg",
                       2);
    }
    if (avformat_query_codec(output->oformat, codec->id, FF_COMPLIANCE_NORMAL) != 1) {
        throw CliError("--codec " + options.codec + ": a " + muxer + " movie (" + path + ") cannot hold " + name, 2);
    }
    alpha = HoldsAlpha(*codec) && !write.dropAlpha;
    pixels = ChoosePixels(*codec, alpha);
    if (pixels == AV_PIX_FMT_NONE) throw CliError("--codec " + options.codec + ": " + name + " takes no RGB frames", 2);
    if (!options.frameRate.empty()) {
        if (av_parse_video_rate(&rate, options.frameRate.c_str()) < 0 || rate.num <= 0 || rate.den <= 0) {
            throw CliError("--frame-rate " + options.frameRate +
                               ": expected frames per second, such as 25, 24000/1001 or ntsc",
                           2);
        }
    } else if (input != nullptr) {
        rate = {input->rate.num, input->rate.den};
    }
    ApplyQuality(nullptr);  // checks --quality before any frame is keyed
}

// --quality 0-100 as the codec's own scale: a constant rate factor for VP9,
// H.264 and H.265, a fixed quantiser for the others; lossless codecs take none.
void MovieWriter::Encoder::ApplyQuality(AVDictionary** settings) const {
    if (options.quality.empty()) {
        // VP9 keeps to a low bit rate unless told the quality it should keep.
        if (settings != nullptr && codec->id == AV_CODEC_ID_VP9) av_dict_set(settings, "crf", "20", 0);
        return;
    }
    int quality = -1;
    try {
        std::size_t used = 0;
        quality = std::stoi(options.quality, &used);
        if (used != options.quality.size()) quality = -1;
    } catch (const std::exception&) {
    }
    if (quality < 0 || quality > 100) {
        throw CliError("--quality " + options.quality + ": expected a whole number from 0 (smallest) to 100 (best)", 2);
    }
    if (codec->id == AV_CODEC_ID_FFV1 || (codec->capabilities & AV_CODEC_CAP_LOSSLESS) != 0) {
        throw CliError("--quality " + options.quality + ": " + codec->name + " is lossless", 2);
    }
    if (settings == nullptr) return;
    const double loss = (100.0 - quality) / 100.0;
    if (codec->id == AV_CODEC_ID_VP9 || codec->id == AV_CODEC_ID_VP8) {
        av_dict_set_int(settings, "crf", std::lround(63 * loss), 0);
        av_dict_set(settings, "b", "0", 0);
    } else if (codec->id == AV_CODEC_ID_H264 || codec->id == AV_CODEC_ID_HEVC) {
        av_dict_set_int(settings, "crf", std::lround(51 * loss), 0);
    } else {
        av_dict_set(settings, "flags", "+qscale", 0);
        av_dict_set_int(settings, "global_quality", FF_QP2LAMBDA * (1 + std::lround(30 * loss)), 0);
    }
}

// The colour description: the input movie's primaries and transfer (the
// transfer of --output-space or of the values' tag when it says), the
// matrix the frames are converted with, limited range for luma and colour
// difference, full for RGB.
void MovieWriter::Encoder::Describe(const FileImage& source) {
    const bool rgb = av::IsRgb(pixels);
    const std::string space = write.outputSpace.empty() ? source.colourSpace : write.outputSpace;
    AVColorTransferCharacteristic transfer = TransferOf(space);
    AVColorPrimaries primaries = transfer == AVCOL_TRC_UNSPECIFIED ? AVCOL_PRI_UNSPECIFIED : AVCOL_PRI_BT709;
    int matrix = AVCOL_SPC_UNSPECIFIED;
    if (input != nullptr) {
        if (write.outputSpace.empty() || transfer == AVCOL_TRC_UNSPECIFIED) {
            transfer = static_cast<AVColorTransferCharacteristic>(input->colour.transfer);
        }
        primaries = static_cast<AVColorPrimaries>(input->colour.primaries);
        matrix = input->colour.matrix;
    }
    if (matrix == AVCOL_SPC_UNSPECIFIED || matrix == AVCOL_SPC_RGB) {
        matrix = av::ScalerMatrix(AVCOL_SPC_UNSPECIFIED, context->height) == SWS_CS_ITU709 ? AVCOL_SPC_BT709
                                                                                          : AVCOL_SPC_SMPTE170M;
    }
    context->color_primaries = primaries;
    context->color_trc = transfer;
    context->colorspace = rgb ? AVCOL_SPC_RGB : static_cast<AVColorSpace>(matrix);
    context->color_range = rgb ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    scaler = av::NewScaler(context->width, context->height, alpha ? AV_PIX_FMT_GBRAP16 : AV_PIX_FMT_GBRP16, pixels);
    if (!scaler) Fail(std::string("cannot convert RGB to ") + av_get_pix_fmt_name(pixels));
    const int* coefficients = sws_getCoefficients(av::ScalerMatrix(matrix, context->height));
    sws_setColorspaceDetails(scaler.get(), coefficients, 1, coefficients, rgb ? 1 : 0, 0, 1 << 16, 1 << 16);
    if (!write.outputSpace.empty()) {
        // Values without a tag are taken as linear, as image files are written.
        conversion =
            std::make_unique<ColourConversion>(ValuesSpace(source.colourSpace), write.outputSpace, "--output-space");
    }
}

void MovieWriter::Encoder::Open(const FileImage& source, int width, int height) {
    stream = avformat_new_stream(output.get(), nullptr);
    context.reset(avcodec_alloc_context3(codec));
    if (stream == nullptr || !context) throw std::bad_alloc();
    context->width = width;
    context->height = height;
    context->pix_fmt = pixels;
    context->time_base = av_inv_q(rate);
    context->framerate = rate;
    context->thread_count = 0;
    if ((output->oformat->flags & AVFMT_GLOBALHEADER) != 0) context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    Describe(source);
    AVDictionary* settings = nullptr;
    if (codec->id == AV_CODEC_ID_PRORES && av_pix_fmt_desc_get(pixels)->log2_chroma_w == 0) {
        av_dict_set(&settings, "profile", "4444", 0);
        if (alpha) av_dict_set(&settings, "alpha_bits", "16", 0);
    }
    if (codec->id == AV_CODEC_ID_FFV1) av_dict_set(&settings, "level", "3", 0);
    ApplyQuality(&settings);
    const int error = avcodec_open2(context.get(), codec, &settings);
    av_dict_free(&settings);
    if (error < 0) Fail(std::string("cannot encode ") + codec->name + ": " + av::ErrorText(error));
    avcodec_parameters_from_context(stream->codecpar, context.get());
    stream->time_base = context->time_base;
    stream->avg_frame_rate = rate;
    AVTimecode timecode;
    if (input != nullptr && consecutive && !input->timecode.empty() &&
        av_timecode_init_from_string(&timecode, rate, input->timecode.c_str(), nullptr) == 0) {
        // The first frame written keeps its own timecode.
        char text[AV_TIMECODE_STR_SIZE];
        av_dict_set(&stream->metadata, "timecode", av_timecode_make_string(&timecode, text, firstFrame - 1), 0);
    }
    AddAudio();
    if (const int opened = avio_open(&output->pb, staged.TempPath().c_str(), AVIO_FLAG_WRITE); opened < 0) {
        Fail(av::ErrorText(opened));
    }
    if (const int header = avformat_write_header(output.get(), nullptr); header < 0) Fail(av::ErrorText(header));
    straight = av::NewFrame();
    straight->format = alpha ? AV_PIX_FMT_GBRAP16 : AV_PIX_FMT_GBRP16;
    encoded = av::NewFrame();
    encoded->format = pixels;
    for (AVFrame* frame : {straight.get(), encoded.get()}) {
        frame->width = width;
        frame->height = height;
        if (av_frame_get_buffer(frame, 0) < 0) throw std::bad_alloc();
    }
    packet = av::NewPacket();
}

// The input movie's audio streams that the container holds, as streams of
// the output with the same parameters; others are left out with a warning.
void MovieWriter::Encoder::AddAudio() {
    if (input == nullptr) return;
    audioInput = av::OpenInput(input->path, av::MaxPixels());
    const AVStream& video = *audioInput->streams[input->stream];
    audioOffset = video.start_time != AV_NOPTS_VALUE ? av_rescale_q(video.start_time, video.time_base, AV_TIME_BASE_Q) : 0;
    audioStreams.assign(audioInput->nb_streams, -1);
    for (unsigned i = 0; i < audioInput->nb_streams; ++i) {
        const AVStream& in = *audioInput->streams[i];
        if (in.codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        const std::string what = "audio stream " + std::to_string(i) + " (" + avcodec_get_name(in.codecpar->codec_id) + ")";
        if (!wholeMovie) {
            std::cerr << "veskar: warning: " << path << ": " << what << " of " << input->path
                      << " is not copied: the run keys part of the movie\n";
            continue;
        }
        if (avformat_query_codec(output->oformat, in.codecpar->codec_id, FF_COMPLIANCE_NORMAL) != 1) {
            std::cerr << "veskar: warning: " << path << ": " << what << " of " << input->path << " is not copied: a "
                      << output->oformat->name << " movie cannot hold it\n";
            continue;
        }
        AVStream* out = avformat_new_stream(output.get(), nullptr);
        if (out == nullptr || avcodec_parameters_copy(out->codecpar, in.codecpar) < 0) throw std::bad_alloc();
        out->codecpar->codec_tag = 0;
        out->time_base = in.time_base;
        av_dict_copy(&out->metadata, in.metadata, 0);
        audioStreams[i] = out->index;
    }
    if (std::count(audioStreams.begin(), audioStreams.end(), -1) == static_cast<long>(audioStreams.size())) {
        audioInput.reset();
    }
}

// Copies the audio packets that start before `until` (microseconds from the
// first frame; INT64_MAX for all that are left), bit for bit, so that the
// audio interleaves with the frames as they are written.
void MovieWriter::Encoder::CopyAudio(std::int64_t until) {
    if (!audioInput) return;
    for (;;) {
        const int result = av_read_frame(audioInput.get(), packet.get());
        if (result == AVERROR_EOF) {
            audioInput.reset();
            return;
        }
        if (result < 0) Fail("cannot copy the audio of " + input->path + ": " + av::ErrorText(result));
        const int out = audioStreams[static_cast<std::size_t>(packet->stream_index)];
        if (out < 0) {
            av_packet_unref(packet.get());
            continue;
        }
        const AVRational inBase = audioInput->streams[packet->stream_index]->time_base;
        const std::int64_t offset = av_rescale_q(audioOffset, AV_TIME_BASE_Q, inBase);
        if (packet->pts != AV_NOPTS_VALUE) packet->pts -= offset;
        if (packet->dts != AV_NOPTS_VALUE) packet->dts -= offset;
        av_packet_rescale_ts(packet.get(), inBase, output->streams[out]->time_base);
        packet->stream_index = out;
        packet->pos = -1;
        const std::int64_t start = packet->dts != AV_NOPTS_VALUE
                                       ? av_rescale_q(packet->dts, output->streams[out]->time_base, AV_TIME_BASE_Q)
                                       : 0;
        if (const int written = av_interleaved_write_frame(output.get(), packet.get()); written < 0) {
            Fail("cannot copy the audio of " + input->path + ": " + av::ErrorText(written));
        }
        if (start >= until) return;
    }
}

namespace {

// A 16-bit code for a value 0 to 1, rounded as OpenImageIO rounds; NaN and
// values below 0 give 0, above 1 give 65535.
std::uint16_t Code(float value) {
    if (!(value > 0.0f)) return 0;
    if (value >= 1.0f) return 65535;
    return static_cast<std::uint16_t>(value * 65535.0f + 0.5f);
}

}  // namespace

// The keyed frame as 16-bit planar G, B, R (A) with straight colour, in
// blocks of rows on the worker pool, then in the codec's pixel format.
void MovieWriter::Encoder::Fill(const Image& keyed) {
    if (av_frame_make_writable(straight.get()) < 0 || av_frame_make_writable(encoded.get()) < 0) throw std::bad_alloc();
    av::ForRowBlocks(keyed.Height(), [&](int y0, int y1) {
        std::vector<float> rgb(static_cast<std::size_t>(keyed.Width()) * 3);
        for (int y = y0; y < y1; ++y) FillRow(keyed, y, rgb);
    });
    if (!av::Scale(*scaler, *straight, *encoded)) Fail(std::string("cannot convert RGB to ") + av_get_pix_fmt_name(pixels));
}

// Row `y` of the keyed frame: premultiplied colour is divided by alpha where
// alpha is above 0 (left as it is elsewhere), in float, before
// --output-space and the codes. `rgb` holds a row of red, green, blue.
void MovieWriter::Encoder::FillRow(const Image& keyed, int y, std::vector<float>& rgb) const {
    const bool divide = alpha && write.keyed == Association::Premultiplied;
    const int width = keyed.Width();
    const float* record = keyed.Plane1Pixel(0, y);
    for (int x = 0; x < width; ++x, record += 4) {
        const float a = divide && record[3] > 0.0f ? record[3] : 1.0f;
        rgb[3 * x] = record[2] / a;
        rgb[3 * x + 1] = record[1] / a;
        rgb[3 * x + 2] = record[0] / a;
    }
    if (conversion) conversion->ApplyRgb(rgb.data(), width);
    const auto row = [&](int plane) {
        return reinterpret_cast<std::uint16_t*>(straight->data[plane] + std::ptrdiff_t{y} * straight->linesize[plane]);
    };
    std::uint16_t* green = row(0);
    std::uint16_t* blue = row(1);
    std::uint16_t* red = row(2);
    std::uint16_t* matte = alpha ? row(3) : nullptr;
    const float* alphaRecord = keyed.Plane1Pixel(0, y) + 3;
    for (int x = 0; x < width; ++x) {
        red[x] = Code(rgb[3 * x]);
        green[x] = Code(rgb[3 * x + 1]);
        blue[x] = Code(rgb[3 * x + 2]);
        if (matte != nullptr) matte[x] = Code(alphaRecord[4 * x]);
    }
}

void MovieWriter::Encoder::Encode(const AVFrame* frame) {
    const std::string which = frame != nullptr ? "frame " + std::to_string(frames + 1) : "the last frames";
    int result = avcodec_send_frame(context.get(), frame);
    if (result < 0) Fail("cannot encode " + which + ": " + av::ErrorText(result));
    while ((result = avcodec_receive_packet(context.get(), packet.get())) == 0) {
        av_packet_rescale_ts(packet.get(), context->time_base, stream->time_base);
        packet->stream_index = stream->index;
        result = av_interleaved_write_frame(output.get(), packet.get());
        if (result < 0) Fail(av::ErrorText(result));
    }
    if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) Fail("cannot encode " + which + ": " + av::ErrorText(result));
}

void MovieWriter::Encoder::Fail(const std::string& reason) {
    // The file is closed before the temporary is removed.
    if (output && output->pb != nullptr) avio_closep(&output->pb);
    staged.Fail(reason);
}

MovieWriter::MovieWriter(const std::string& path, const MovieOptions& options, const MovieInfo* input,
                         const FrameList& frames, const WriteOptions& write)
    : encoder_(std::make_unique<Encoder>(path, options, input, frames, write)) {
    encoder_->Choose();
}

MovieWriter::~MovieWriter() = default;

void MovieWriter::Check(const FileImage& source) const {
    const Encoder& e = *encoder_;
    if (e.write.type != OIIO::TypeDesc::UNKNOWN) {
        throw CliError("--type: " + e.path + " is a movie, whose data type is its codec's (" + e.codec->name +
                           ": " + av_get_pix_fmt_name(e.pixels) + "); choose the codec with --codec",
                       2);
    }
    if (!e.write.compression.empty()) {
        throw CliError("--compression: " + e.path + " is a movie: choose its codec with --codec and --quality", 2);
    }
    if (e.write.storedGiven && e.write.stored == Association::Premultiplied) {
        throw CliError("--alpha premultiplied: " + e.path + ": movies store straight colour only", 2);
    }
    if (!HoldsAlpha(*e.codec) && !e.write.dropAlpha) {
        throw CliError(e.path + ": " + Title(*e.codec) +
                       " cannot hold the matte (alpha): write .mov (ProRes 4444), .mkv (FFV1) or .webm (VP9) to "
                       "keep it, or give --drop-alpha to write the colour alone");
    }
    if ((!source.layout.extra.empty() || source.PartCount() > 1) && !e.write.dropChannels) {
        throw CliError(e.path + ": a movie holds colour and alpha only, not the further channels or parts of " +
                       source.path + ": write EXR to keep them, or give --drop-channels to leave them out");
    }
}

void MovieWriter::Write(const FileImage& source, const Image& keyed) {
    Encoder& e = *encoder_;
    if (!e.context) e.Open(source, keyed.Width(), keyed.Height());
    if (keyed.Width() != e.context->width || keyed.Height() != e.context->height) {
        throw CliError(e.path + ": the frame is " + std::to_string(keyed.Width()) + " x " +
                       std::to_string(keyed.Height()) + " pixels, the movie's are " + std::to_string(e.context->width) +
                       " x " + std::to_string(e.context->height));
    }
    e.Fill(keyed);
    e.encoded->pts = e.frames;
    e.Encode(e.encoded.get());
    ++e.frames;
    e.CopyAudio(av_rescale_q(e.frames, av_inv_q(e.rate), AV_TIME_BASE_Q));
}

void MovieWriter::Finish() {
    Encoder& e = *encoder_;
    if (!e.context) e.Fail("no frame was written");
    e.Encode(nullptr);
    e.CopyAudio(INT64_MAX);
    if (const int error = av_write_trailer(e.output.get()); error < 0) e.Fail(av::ErrorText(error));
    if (e.output->pb->error < 0) e.Fail(av::ErrorText(e.output->pb->error));
    if (const int error = avio_closep(&e.output->pb); error < 0) e.Fail(av::ErrorText(error));
    e.staged.Commit();
}

std::unique_ptr<MovieWriter> MovieOutputFor(const std::string& output, const MovieOptions& options,
                                            const MovieInfo* input, const FrameList& frames,
                                            const WriteOptions& write) {
    if (!IsMovieName(output) || FramePattern(output, "-o").IsSequence()) return nullptr;
    return std::make_unique<MovieWriter>(output, options, input, frames, write);
}

}  // namespace veskar
