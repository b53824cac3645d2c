#include "app/image_io.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <system_error>

#include "app/cli_error.h"
#include "app/files/staged_file.h"

namespace veskar {
namespace {

namespace fs = std::filesystem;

bool IsChannel(const std::string& name, char letter) {
    return name.size() == 1 && std::toupper(static_cast<unsigned char>(name[0])) == letter;
}

int FindChannel(const OIIO::ImageSpec& spec, char letter) {
    for (int i = 0; i < spec.nchannels; ++i) {
        if (IsChannel(spec.channelnames[i], letter)) {
            return i;
        }
    }
    return -1;
}

// What one channel of the output file holds.
struct OutChannel {
    std::string name;
    int plane1Field;  // 0 blue, 1 green, 2 red, 3 alpha; -1 for a further channel
    int extraIndex;   // the further channel's place in plane 2
    OIIO::TypeDesc format;
};

std::vector<OutChannel> OutputChannels(const FileImage& source) {
    const OIIO::ImageSpec& spec = source.spec;
    const ChannelLayout& layout = source.layout;
    auto formatOf = [&](int channel) {
        return spec.channelformats.empty() ? spec.format : spec.channelformats[channel];
    };
    const int lastColour = std::max({layout.red, layout.green, layout.blue, layout.grey});
    std::vector<OutChannel> channels;
    int extraIndex = 0;
    for (int i = 0; i < spec.nchannels; ++i) {
        const std::string& name = spec.channelnames[i];
        if (i == layout.red) {
            channels.push_back({name, 2, -1, formatOf(i)});
        } else if (i == layout.green) {
            channels.push_back({name, 1, -1, formatOf(i)});
        } else if (i == layout.blue) {
            channels.push_back({name, 0, -1, formatOf(i)});
        } else if (i == layout.alpha) {
            channels.push_back({name, 3, -1, formatOf(i)});
        } else if (i == layout.grey) {
            // The keyed colour need not stay grey.
            channels.push_back({"R", 2, -1, formatOf(i)});
            channels.push_back({"G", 1, -1, formatOf(i)});
            channels.push_back({"B", 0, -1, formatOf(i)});
        } else {
            channels.push_back({name, -1, extraIndex++, formatOf(i)});
        }
        if (i == lastColour && layout.alpha < 0) {
            channels.push_back({"A", 3, -1, formatOf(i)});
        }
    }
    return channels;
}

}  // namespace

ChannelLayout LayoutOf(const OIIO::ImageSpec& spec) {
    ChannelLayout layout;
    const int r = FindChannel(spec, 'R');
    const int g = FindChannel(spec, 'G');
    const int b = FindChannel(spec, 'B');
    const int y = FindChannel(spec, 'Y');
    layout.alpha = FindChannel(spec, 'A');
    if (layout.alpha < 0 && spec.alpha_channel >= 0 && spec.alpha_channel < spec.nchannels) {
        layout.alpha = spec.alpha_channel;
    }
    if (r >= 0 && g >= 0 && b >= 0) {
        layout.red = r;
        layout.green = g;
        layout.blue = b;
    } else if (y >= 0) {
        layout.grey = y;
    } else {
        // Unnamed channels: colour first, as image files order them.
        std::vector<int> free;
        for (int i = 0; i < spec.nchannels; ++i) {
            if (i != layout.alpha) {
                free.push_back(i);
            }
        }
        if (free.size() >= 3) {
            layout.red = free[0];
            layout.green = free[1];
            layout.blue = free[2];
        } else if (!free.empty()) {
            layout.grey = free[0];
        }
    }
    for (int i = 0; i < spec.nchannels; ++i) {
        if (i != layout.red && i != layout.green && i != layout.blue && i != layout.grey &&
            i != layout.alpha) {
            layout.extra.push_back(i);
        }
    }
    return layout;
}

FileImage ReadImageFile(const std::string& path, bool withExtraChannels) {
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        throw CliError(path + ": cannot read: no such file");
    }
    if (fs::is_directory(path, ec)) {
        throw CliError(path + ": cannot read: a folder, not an image file");
    }
    auto input = OIIO::ImageInput::open(path);
    if (!input) {
        std::string message = OIIO::geterror();
        throw CliError(path + ": cannot read: " + (message.empty() ? "unknown image format" : message));
    }
    FileImage file;
    file.path = path;
    file.spec = input->spec();
    const OIIO::ImageSpec& spec = file.spec;
    if (spec.deep) {
        throw CliError(path + ": cannot read: deep images are not supported");
    }
    if (spec.depth > 1) {
        throw CliError(path + ": cannot read: volume images are not supported");
    }
    if (spec.nchannels < 1) {
        throw CliError(path + ": cannot read: the image has no channels");
    }
    file.layout = LayoutOf(spec);
    std::vector<std::string> extraNames;
    if (withExtraChannels) {
        for (int channel : file.layout.extra) {
            extraNames.push_back(spec.channelnames[channel]);
        }
    }
    const int channels = spec.nchannels;
    std::vector<float> pixels;
    try {
        file.image = std::make_shared<Image>(spec.width, spec.height, extraNames);
        pixels.resize(static_cast<std::size_t>(spec.width) * spec.height * channels);
    } catch (const std::length_error& e) {
        throw CliError(path + ": cannot read: " + std::to_string(spec.width) + " x " +
                       std::to_string(spec.height) + " pixels: " + e.what());
    } catch (const std::bad_alloc&) {
        throw CliError(path + ": cannot read: not enough memory for " + std::to_string(spec.width) +
                       " x " + std::to_string(spec.height) + " pixels");
    }
    if (!input->read_image(0, 0, 0, channels, OIIO::TypeDesc::FLOAT, pixels.data())) {
        std::string message = input->geterror();
        throw CliError(path + ": cannot read: " + (message.empty() ? "read failed" : message));
    }
    const ChannelLayout& layout = file.layout;
    Image& image = *file.image;
    for (int y = 0; y < spec.height; ++y) {
        for (int x = 0; x < spec.width; ++x) {
            const float* in = pixels.data() + (static_cast<std::size_t>(y) * spec.width + x) * channels;
            float* record = image.Plane1Pixel(x, y);
            if (layout.grey >= 0) {
                record[0] = record[1] = record[2] = in[layout.grey];
            } else {
                record[0] = in[layout.blue];
                record[1] = in[layout.green];
                record[2] = in[layout.red];
            }
            record[3] = layout.alpha >= 0 ? in[layout.alpha] : 1.0f;
            if (float* extra = image.Plane2Pixel(x, y)) {
                for (std::size_t k = 0; k < layout.extra.size(); ++k) {
                    extra[k] = in[layout.extra[k]];
                }
            }
        }
    }
    return file;
}

void WriteKeyedFile(const std::string& path, const FileImage& source, const Image& keyed,
                    OIIO::TypeDesc type) {
    std::vector<OutChannel> channels = OutputChannels(source);
    if (type != OIIO::TypeDesc::UNKNOWN) {
        for (OutChannel& channel : channels) {
            channel.format = type;
        }
    }
    OIIO::ImageSpec spec = source.spec;
    spec.nchannels = static_cast<int>(channels.size());
    spec.channelnames.clear();
    spec.channelformats.clear();
    spec.alpha_channel = -1;
    spec.z_channel = -1;
    bool mixedFormats = false;
    for (std::size_t i = 0; i < channels.size(); ++i) {
        spec.channelnames.push_back(channels[i].name);
        spec.channelformats.push_back(channels[i].format);
        mixedFormats = mixedFormats || channels[i].format != channels[0].format;
        if (channels[i].plane1Field == 3) {
            spec.alpha_channel = static_cast<int>(i);
        }
        if (channels[i].name == "Z") {
            spec.z_channel = static_cast<int>(i);
        }
    }
    if (!mixedFormats) {
        spec.format = channels.front().format;
        spec.channelformats.clear();
    }
    spec.tile_width = spec.tile_height = spec.tile_depth = 0;
    spec.erase_attribute("compression");  // the writer's default

    const int width = keyed.Width();
    const int height = keyed.Height();
    const std::size_t count = channels.size();
    std::vector<float> pixels(static_cast<std::size_t>(width) * height * count);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            float* out = pixels.data() + (static_cast<std::size_t>(y) * width + x) * count;
            const float* record = keyed.Plane1Pixel(x, y);
            const float* extra = keyed.Plane2Pixel(x, y);
            for (std::size_t c = 0; c < count; ++c) {
                out[c] = channels[c].plane1Field >= 0 ? record[channels[c].plane1Field]
                                                      : extra[channels[c].extraIndex];
            }
        }
    }

    StagedFile staged(path);
    OIIO::ImageOutput& output = staged.OpenImage({spec});
    if (!output.write_image(OIIO::TypeDesc::FLOAT, pixels.data())) {
        const std::string message = output.geterror();
        staged.Fail(message.empty() ? "write failed" : message);
    }
    staged.Commit();
}

}  // namespace veskar
