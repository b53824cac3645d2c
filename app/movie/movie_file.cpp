#include "app/movie/movie_file.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "app/cli_error.h"
#include "app/movie/av_support.h"

namespace veskar {
namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The brands of ISO media files that hold still images (AVIF, HEIF, Canon
// raw), not movies.
bool IsImageBrand(const std::string& brand) {
    static const char* const kImageBrands[] = {"avif", "avis", "heic", "heix", "heim", "heis", "hevc",
                                               "hevx", "mif1", "msf1", "crx ", "jp2 ", "jpx "};
    for (const char* image : kImageBrands) {
        if (brand == image) return true;
    }
    return false;
}

bool IsMovieStart(const unsigned char* head, std::size_t size) {
    static const unsigned char kEbml[] = {0x1A, 0x45, 0xDF, 0xA3};   // Matroska, WebM
    static const unsigned char kMxf[] = {0x06, 0x0E, 0x2B, 0x34};    // MXF partition pack key
    if (size >= 4 && (std::memcmp(head, kEbml, 4) == 0 || std::memcmp(head, kMxf, 4) == 0)) return true;
    if (size >= 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "AVI ", 4) == 0) return true;
    if (size < 12) return false;
    const std::string box(reinterpret_cast<const char*>(head) + 4, 4);
    if (box == "ftyp") return !IsImageBrand(std::string(reinterpret_cast<const char*>(head) + 8, 4));
    // QuickTime files older than the ftyp box start with one of these.
    return box == "moov" || box == "mdat" || box == "wide" || box == "free" || box == "skip" || box == "pnot";
}

std::string ColourName(const char* name) {
    return name != nullptr ? std::string(name) : std::string("unknown");
}

void CheckTimes(const MovieInfo& info, const AVStream& stream, std::vector<std::int64_t> times);

// The frames the headers declare: a count, or else a duration (less one
// frame, for the rounding of times); 0 when they say neither.
std::int64_t DeclaredFrames(const AVFormatContext& input, const AVStream& stream, const Rate& rate) {
    if (stream.nb_frames > 0) return stream.nb_frames;
    double seconds = 0.0;
    if (stream.duration > 0) {
        seconds = static_cast<double>(stream.duration) * av_q2d(stream.time_base);
    } else if (input.duration > 0) {
        seconds = static_cast<double>(input.duration) / AV_TIME_BASE;
    }
    return std::max<std::int64_t>(0, std::llround(seconds * rate.Value()) - 1);
}

// The frame count and the times of every frame, from the packets of the
// video stream, checked to be one constant rate with each frame once.
void CountFrames(AVFormatContext& input, MovieInfo& info) {
    const AVStream& stream = *input.streams[info.stream];
    std::vector<std::int64_t> times;
    const av::Packet packet = av::NewPacket();
    int error = 0;
    while ((error = av_read_frame(&input, packet.get())) >= 0) {
        const bool ours = packet->stream_index == info.stream;
        const int flags = packet->flags;
        const std::int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        av_packet_unref(packet.get());
        if (!ours) continue;
        const std::string frame = "frame " + std::to_string(times.size() + 1);
        if ((flags & AV_PKT_FLAG_DISCARD) != 0) {
            throw CliError(info.path + ": an edit list cuts the movie between key frames (the video's packet " +
                           std::to_string(times.size() + 1) +
                           " is decoded but not shown); write it again without one (the frames it shows, at one "
                           "rate) and key that");
        }
        if ((flags & AV_PKT_FLAG_CORRUPT) != 0) {
            throw CliError(info.path + ": " + frame + ": cannot read: the file is damaged or cut short");
        }
        times.push_back(time);
    }
    if (error != AVERROR_EOF) {
        throw CliError(info.path + ": frame " + std::to_string(times.size() + 1) + ": cannot read: " +
                       av::ErrorText(error));
    }
    info.frames = static_cast<int>(times.size());
    CheckTimes(info, stream, times);
    // Checked after the times: a variable rate makes the duration say more.
    const std::int64_t declared = DeclaredFrames(input, stream, info.rate);
    if (declared > info.frames) {
        throw CliError(info.path + ": cannot read: the file ends after frame " + std::to_string(info.frames) + " of the " +
                       std::to_string(declared) + " it declares (cut short)");
    }
    if (info.frames == 0) throw CliError(info.path + ": cannot read: the movie holds no frames");
}

// Checks that the frames' `times` are those of one constant rate, each frame
// once.
void CheckTimes(const MovieInfo& info, const AVStream& stream, std::vector<std::int64_t> times) {
    if (times.empty() || std::count(times.begin(), times.end(), AV_NOPTS_VALUE) > 0) return;  // shown one by one
    std::sort(times.begin(), times.end());
    const AVRational perFrame = av_inv_q(AVRational{info.rate.num, info.rate.den});
    // Times are rounded to the file's time base; a quarter of a frame allows
    // for that and for the jitter of cameras, never for a frame dropped,
    // held or repeated.
    const std::int64_t slack = std::max<std::int64_t>(1, av_rescale_q(1, perFrame, stream.time_base) / 4);
    for (std::size_t i = 0; i < times.size(); ++i) {
        const std::int64_t expected = times[0] + av_rescale_q(static_cast<std::int64_t>(i), perFrame, stream.time_base);
        if (std::llabs(times[i] - expected) > slack) {
            const double shown = static_cast<double>(times[i] - times[0]) * av_q2d(stream.time_base);
            const double constant = static_cast<double>(expected - times[0]) * av_q2d(stream.time_base);
            char text[160];
            std::snprintf(text, sizeof text, "frame %zu is shown at %.4f s, not at %.4f s as at a constant %s fps",
                          i + 1, shown, constant, info.rate.Text().c_str());
            throw CliError(info.path + ": " + text +
                           ": the movie has a variable frame rate or an edit list that holds or repeats frames; "
                           "convert it to a constant frame rate first and key that");
        }
    }
}

}  // namespace

bool IsMovieFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char head[12] = {};
    if (!in.read(reinterpret_cast<char*>(head), sizeof head)) return false;
    return IsMovieStart(head, sizeof head);
}

bool IsMovieName(const std::string& path) {
    const std::size_t dot = path.find_last_of('.');
    const std::size_t slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    const std::string ending = Lower(path.substr(dot + 1));
    for (const char* movie : {"mov", "mp4", "m4v", "mkv", "webm", "avi", "mxf"}) {
        if (ending == movie) return true;
    }
    return false;
}

std::string Rate::Text() const {
    if (den == 1) return std::to_string(num);
    char text[64];
    std::snprintf(text, sizeof text, "%d/%d (%.3f)", num, den, Value());
    return text;
}

std::string VideoColour::Text() const {
    const std::string matrixName = matrix == AVCOL_SPC_UNSPECIFIED
                                       ? std::string("unspecified (BT.709 from 720 lines, else BT.601)")
                                       : ColourName(av_color_space_name(static_cast<AVColorSpace>(matrix)));
    const std::string rangeName = range == AVCOL_RANGE_JPEG ? "full range" : "limited range";
    return matrixName + " matrix, " + rangeName + "; transfer " +
           ColourName(av_color_transfer_name(static_cast<AVColorTransferCharacteristic>(transfer))) +
           ", primaries " + ColourName(av_color_primaries_name(static_cast<AVColorPrimaries>(primaries)));
}

std::string MovieInfo::ColourSpace() const {
    return colour.transfer == AVCOL_TRC_LINEAR ? "linear" : "sRGB";
}

std::string MovieInfo::Summary() const {
    return path + ": " + std::to_string(frames) + (frames == 1 ? " frame" : " frames") + " of " +
           std::to_string(width) + " x " + std::to_string(height) + " at " + rate.Text() + " fps, " + codec + " " +
           pixelFormat + (alpha ? " with alpha" : "") + " (" + colour.Text() + ")";
}

MovieInfo ProbeMovie(const std::string& path) {
    const av::Input input = av::OpenInput(path, av::MaxPixels());
    MovieInfo info;
    info.path = path;
    info.stream = av::VideoStream(*input);
    if (info.stream < 0) throw CliError(path + ": cannot read: the movie holds no video stream");
    const AVStream& stream = *input->streams[info.stream];
    const AVCodecParameters& par = *stream.codecpar;
    info.width = par.width;
    info.height = par.height;
    av::CheckFrameSize(path, info.width, info.height);
    info.codec = avcodec_get_name(par.codec_id);
    const auto format = static_cast<AVPixelFormat>(par.format);
    const char* formatName = av_get_pix_fmt_name(format);
    info.pixelFormat = formatName != nullptr ? formatName : "unknown pixels";
    info.bits = std::max(8, av::Bits(format));
    // VP8 and VP9 carry their matte beside the picture, said in the header.
    const AVDictionaryEntry* alphaMode = av_dict_get(stream.metadata, "alpha_mode", nullptr, 0);
    info.alpha = av::HasAlpha(format) || (alphaMode != nullptr && std::strcmp(alphaMode->value, "1") == 0);
    info.colour = {av::DescribedValue(par.color_space, AVCOL_SPC_NB, AVCOL_SPC_UNSPECIFIED),
                   av::DescribedValue(par.color_range, AVCOL_RANGE_NB, AVCOL_RANGE_UNSPECIFIED),
                   av::DescribedValue(par.color_trc, AVCOL_TRC_NB, AVCOL_TRC_UNSPECIFIED),
                   av::DescribedValue(par.color_primaries, AVCOL_PRI_NB, AVCOL_PRI_UNSPECIFIED)};
    const AVRational rate = stream.avg_frame_rate.num > 0 ? stream.avg_frame_rate : stream.r_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) throw CliError(path + ": cannot read: the movie declares no frame rate");
    info.rate = {rate.num, rate.den};
    for (AVDictionary* tags : {stream.metadata, input->metadata}) {
        const AVDictionaryEntry* timecode = av_dict_get(tags, "timecode", nullptr, 0);
        if (timecode != nullptr && info.timecode.empty()) info.timecode = timecode->value;
    }
    CountFrames(*input, info);
    return info;
}

}  // namespace veskar
