#include "app/movie/movie_reader.h"

#include <cstdlib>
#include <new>
#include <optional>
#include <stdexcept>

#include "app/cli_error.h"
#include "app/files/channel_roles.h"
#include "app/files/colour.h"

namespace veskar {
namespace {

// The header a movie's frame is described by, as an image file's would be:
// R, G, B (and A) at the stored depth, tagged with the values' colour space.
FileImage Describe(const MovieInfo& info) {
    FileImage file;
    file.path = info.path;
    file.formatName = "movie";
    const int channels = info.alpha ? 4 : 3;
    file.spec = OIIO::ImageSpec(info.width, info.height, channels,
                                info.bits > 8 ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8);
    file.spec.attribute("oiio:ColorSpace", info.ColourSpace());
    file.partSpecs = {file.spec};
    file.levels = {{info.width, info.height}};
    file.layout = LayoutOf(file.spec, "");
    file.colourSpace = info.ColourSpace();
    return file;
}

const AVCodec* DecoderFor(const MovieInfo& info, const AVCodecParameters& par) {
    // FFmpeg's own VP8 and VP9 decoders leave the matte out; libvpx's keep it.
    if (info.alpha && (par.codec_id == AV_CODEC_ID_VP9 || par.codec_id == AV_CODEC_ID_VP8)) {
        const AVCodec* vpx = avcodec_find_decoder_by_name(par.codec_id == AV_CODEC_ID_VP9 ? "libvpx-vp9" : "libvpx");
        if (vpx == nullptr) {
            throw CliError(info.path + ": cannot read: the matte of this " + info.codec +
                           " movie needs the libvpx decoder, which this FFmpeg lacks");
        }
        return vpx;
    }
    const AVCodec* decoder = avcodec_find_decoder(par.codec_id);
    if (decoder == nullptr) throw CliError(info.path + ": cannot read: no decoder for " + info.codec);
    return decoder;
}

// Movies store straight colour beside their matte; host images hold
// colour multiplied by alpha, as image files with straight colour (PNG)
// are read.
void Premultiply(const std::uint16_t* alpha, float scale, float* record, int width) {
    for (int x = 0; x < width; ++x, record += 4) {
        const float a = static_cast<float>(alpha[x]) * scale;
        record[0] *= a;
        record[1] *= a;
        record[2] *= a;
        record[3] = a;
    }
}

}  // namespace

void CheckMovieReadOptions(const std::string& path, const ReadOptions& options) {
    const std::pair<const char*, const std::string*> named[] = {
        {"--part", &options.part}, {"--view", &options.view}, {"--layer", &options.layer}};
    for (const auto& [option, value] : named) {
        if (!value->empty()) {
            throw CliError(std::string(option) + " " + *value + ": " + path + " is a movie, whose frames have no " +
                               (option + 2) + "s",
                           2);
        }
    }
}

MovieReader::MovieReader(const MovieInfo& info) : info_(info), packet_(av::NewPacket()), decoded_(av::NewFrame()) {
    const char* overlap = std::getenv("VESKAR_FRAME_OVERLAP");
    overlap_ = overlap == nullptr || std::string(overlap) != "off";
    Open();
}

MovieReader::~MovieReader() {
    if (ahead_.valid()) ahead_.wait();
}

FileImage MovieReader::Frame(int frame, const ReadOptions& options) {
    std::optional<FileImage> image;
    if (ahead_.valid()) {
        std::future<FileImage> ahead = std::move(ahead_);
        if (aheadFrame_ == frame) {
            image = ahead.get();  // its error, if any, is this frame's
        } else {
            ahead.wait();  // a frame not asked for after all; the decoder is free again
        }
    }
    if (!image) image = Decode(frame, options);
    if (overlap_ && frame < info_.frames) {
        aheadFrame_ = frame + 1;
        ahead_ = std::async(std::launch::async, [this, options, next = frame + 1] { return Decode(next, options); });
    }
    return std::move(*image);
}

void MovieReader::Open() {
    codec_.reset();
    input_ = av::OpenInput(info_.path, av::MaxPixels());
    const AVCodecParameters& par = *input_->streams[info_.stream]->codecpar;
    const AVCodec* decoder = DecoderFor(info_, par);
    codec_.reset(avcodec_alloc_context3(decoder));
    if (!codec_) throw std::bad_alloc();
    if (const int error = avcodec_parameters_to_context(codec_.get(), &par); error < 0) {
        throw CliError(info_.path + ": cannot read: " + av::ErrorText(error));
    }
    codec_->pkt_timebase = input_->streams[info_.stream]->time_base;
    codec_->thread_count = 0;  // the decoder's own threads, one per core
    codec_->max_pixels = av::MaxPixels();
    if (const int error = avcodec_open2(codec_.get(), decoder, nullptr); error < 0) {
        throw CliError(info_.path + ": cannot decode " + info_.codec + ": " + av::ErrorText(error));
    }
    next_ = 1;
    drained_ = false;
}

bool MovieReader::DecodeNext() {
    for (;;) {
        int result = avcodec_receive_frame(codec_.get(), decoded_.get());
        if (result == 0) {
            if ((decoded_->flags & AV_FRAME_FLAG_CORRUPT) != 0 || decoded_->decode_error_flags != 0) {
                throw CliError(info_.path + ": cannot decode: the frame's data is damaged");
            }
            return true;
        }
        if (result == AVERROR_EOF) return false;
        if (result != AVERROR(EAGAIN)) throw CliError(info_.path + ": cannot decode: " + av::ErrorText(result));
        if (drained_) return false;
        result = av_read_frame(input_.get(), packet_.get());
        if (result == AVERROR_EOF) {
            // The decoder gives the frames it still holds.
            avcodec_send_packet(codec_.get(), nullptr);
            drained_ = true;
            continue;
        }
        if (result < 0) throw CliError(info_.path + ": cannot read: " + av::ErrorText(result));
        if (packet_->stream_index == info_.stream) result = avcodec_send_packet(codec_.get(), packet_.get());
        av_packet_unref(packet_.get());
        if (result < 0) throw CliError(info_.path + ": cannot decode: " + av::ErrorText(result));
    }
}

FileImage MovieReader::Decode(int frame, const ReadOptions& options) {
    CheckMovieReadOptions(info_.path, options);
    if (frame < 1 || frame > info_.frames) {
        throw CliError(info_.path + ": no frame " + std::to_string(frame) + " (the movie's frames are 1-" +
                       std::to_string(info_.frames) + ")");
    }
    if (frame < next_) Open();
    for (; next_ <= frame; ++next_) {
        av_frame_unref(decoded_.get());
        if (!DecodeNext()) {
            throw CliError(info_.path + ": cannot decode: the stream ends after frame " + std::to_string(next_ - 1) +
                           " of " + std::to_string(info_.frames));
        }
    }
    if (decoded_->width != info_.width || decoded_->height != info_.height) {
        throw CliError(info_.path + ": cannot read: the frame is " + std::to_string(decoded_->width) + " x " +
                       std::to_string(decoded_->height) + " pixels, the movie's are " + std::to_string(info_.width) +
                       " x " + std::to_string(info_.height));
    }
    FileImage file = Describe(info_);
    file.image = std::make_shared<Image>(info_.width, info_.height, std::vector<std::string>{});
    Convert(file);
    av_frame_unref(decoded_.get());
    if (options.inputSpace != nullptr) {
        options.inputSpace->Apply(*file.image);
        file.colourSpace = options.inputSpace->To();
    }
    return file;
}

void MovieReader::Convert(FileImage& file) {
    const auto from = static_cast<AVPixelFormat>(decoded_->format);
    const AVPixelFormat to = info_.alpha ? AV_PIX_FMT_GBRAP16 : AV_PIX_FMT_GBRP16;
    const int width = info_.width;
    const int height = info_.height;
    if (!scaler_ || from != scalerFrom_) {
        scaler_ = av::NewScaler(width, height, from, to);
        if (!scaler_) throw CliError(info_.path + ": cannot convert pixels of " + info_.pixelFormat + " to RGB");
        scalerFrom_ = from;
        const int range = av::DescribedValue(decoded_->color_range, AVCOL_RANGE_NB, AVCOL_RANGE_UNSPECIFIED);
        const bool fullRange = range == AVCOL_RANGE_JPEG || from == AV_PIX_FMT_YUVJ420P ||
                               from == AV_PIX_FMT_YUVJ422P || from == AV_PIX_FMT_YUVJ444P;
        const int framesMatrix = av::DescribedValue(decoded_->colorspace, AVCOL_SPC_NB, AVCOL_SPC_UNSPECIFIED);
        const int matrix = framesMatrix != AVCOL_SPC_UNSPECIFIED ? framesMatrix : info_.colour.matrix;
        sws_setColorspaceDetails(scaler_.get(), sws_getCoefficients(av::ScalerMatrix(matrix, height)), fullRange ? 1 : 0,
                                 sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
        converted_.reset();
    }
    if (!converted_) {
        converted_ = av::NewFrame();
        converted_->format = to;
        converted_->width = width;
        converted_->height = height;
        if (av_frame_get_buffer(converted_.get(), 0) < 0) throw std::bad_alloc();
    }
    if (!av::Scale(*scaler_, *decoded_, *converted_)) {
        throw CliError(info_.path + ": cannot convert pixels of " + info_.pixelFormat + " to RGB");
    }
    av::ForRowBlocks(height, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) ToRecords(y, *file.image);
    });
}

// Planar G, B, R of row `y` to records B, G, R, A, as OpenImageIO turns
// 16-bit values into floats (so a frame keys as the same frame written as a
// 16-bit PNG does).
void MovieReader::ToRecords(int y, Image& image) const {
    const float scale = 1.0f / 65535.0f;
    const auto row = [&](int plane) {
        return reinterpret_cast<const std::uint16_t*>(converted_->data[plane] +
                                                      std::ptrdiff_t{y} * converted_->linesize[plane]);
    };
    const std::uint16_t* green = row(0);
    const std::uint16_t* blue = row(1);
    const std::uint16_t* red = row(2);
    float* record = image.Plane1Pixel(0, y);
    for (int x = 0; x < info_.width; ++x, record += 4) {
        record[0] = static_cast<float>(blue[x]) * scale;
        record[1] = static_cast<float>(green[x]) * scale;
        record[2] = static_cast<float>(red[x]) * scale;
        record[3] = 1.0f;
    }
    if (info_.alpha) Premultiply(row(3), scale, image.Plane1Pixel(0, y), info_.width);
}

}  // namespace veskar
