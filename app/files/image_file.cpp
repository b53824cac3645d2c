#include "app/files/image_file.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <new>
#include <stdexcept>
#include <system_error>

#include "app/cli_error.h"
#include "app/files/colour.h"
#include "app/files/strips.h"
#include "app/files/header_checks.h"
#include "app/files/read_checks.h"

namespace veskar {
namespace {

namespace fs = std::filesystem;


std::string List(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + (name.empty() ? std::string("(unnamed)") : name);
    }
    return text;
}

struct Part {
    OIIO::ImageSpec spec;
    std::string name;
    // The views the part holds: its "view", or the views of a single part
    // that holds several ("multiView"; the first is the default view, whose
    // channels carry no view name).
    std::vector<std::string> views;
    bool multiView = false;
};

Part PartOf(const OIIO::ImageSpec& spec) {
    Part part{spec, PartName(spec), {}, false};
    if (const OIIO::ParamValue* list = spec.find_attribute("multiView");
        list != nullptr && list->type().basetype == OIIO::TypeDesc::STRING) {
        for (int i = 0; i < static_cast<int>(list->type().basevalues()); ++i) {
            part.views.push_back(list->get_string_indexed(i));
        }
        part.multiView = !part.views.empty();
    } else if (const std::string view = spec.get_string_attribute("view"); !view.empty()) {
        part.views.push_back(view);
    }
    return part;
}

// The view of `part` keyed for --view `asked` ("" for the default).
std::string ViewOf(const Part& part, const std::string& asked) {
    if (part.views.empty()) return "";
    return asked.empty() ? part.views.front() : asked;
}

// The layer whose channels are keyed: in a part holding several views, a
// view other than the default names its channels VIEW.R or LAYER.VIEW.R.
std::string LayerOf(const Part& part, const std::string& view, const std::string& layer) {
    if (!part.multiView || view == part.views.front()) return layer;
    return layer.empty() ? view : layer + "." + view;
}

// Picks the part to key: the one named by --part, else the first of the
// view asked for (or of any view) whose channels hold colour in the layer.
int ChoosePart(const std::string& path, const std::vector<Part>& parts, const ReadOptions& options) {
    std::vector<std::string> names, views;
    for (const Part& part : parts) {
        names.push_back(part.name);
        for (const std::string& view : part.views) {
            if (std::find(views.begin(), views.end(), view) == views.end()) views.push_back(view);
        }
    }
    if (!options.view.empty() && views.empty()) {
        throw CliError(path + ": --view " + options.view + ": the file has no views");
    }
    std::vector<int> candidates;
    for (int i = 0; i < static_cast<int>(parts.size()); ++i) {
        const std::vector<std::string>& own = parts[i].views;
        if (!options.part.empty() && parts[i].name != options.part) continue;
        if (!options.view.empty() && std::find(own.begin(), own.end(), options.view) == own.end()) continue;
        candidates.push_back(i);
    }
    if (candidates.empty()) {
        if (!options.part.empty() && std::find(names.begin(), names.end(), options.part) == names.end()) {
            throw CliError(path + ": --part " + options.part + ": no part of that name (parts: " + List(names) + ")");
        }
        if (!options.view.empty() && std::find(views.begin(), views.end(), options.view) == views.end()) {
            throw CliError(path + ": --view " + options.view + ": no view of that name (views: " + List(views) + ")");
        }
        throw CliError(path + ": --part " + options.part + " is not of --view " + options.view);
    }
    for (int i : candidates) {
        const std::string layer = LayerOf(parts[i], ViewOf(parts[i], options.view), options.layer);
        if (LayoutOf(parts[i].spec, layer).HasColour()) return i;
    }
    const Part& first = parts[candidates.front()];
    const std::string layer = LayerOf(first, ViewOf(first, options.view), options.layer);
    if (!layer.empty()) {
        const std::vector<std::string> layers = ColourLayers(first.spec);
        throw CliError(path + ": --layer " + layer + ": no layer of that name with colour channels" +
                       (layers.empty() ? std::string() : " (layers: " + List(layers) + ")"));
    }
    const std::string which = parts.size() > 1 ? "no part has" : "the image has";
    throw CliError(path + ": cannot key: " + which + " no colour channels (R, G, B or Y; channels: " +
                   List(first.spec.channelnames) + "); --layer NAME keys NAME.R, NAME.G, NAME.B");
}

// Where each value of a plane-1 record comes from: a channel of the file, or
// a constant where the file has none (a missing colour channel is keyed as
// 0, a missing alpha as 1; grey fills red, green and blue).
struct RecordSources {
    int channel[4];
    float constant[4];
};

RecordSources SourcesOf(const ChannelLayout& layout) {
    RecordSources sources{};
    const int colour[3] = {layout.blue, layout.green, layout.red};
    for (int field = 0; field < 3; ++field) {
        sources.channel[field] = layout.grey >= 0 ? layout.grey : colour[field];
        sources.constant[field] = 0.0f;
    }
    sources.channel[3] = layout.alpha;
    sources.constant[3] = 1.0f;
    return sources;
}

// Spreads `rows` lines of the file's interleaved channels (32-bit floats,
// every channel of the file) over the image's planes from line `y`.
void ScatterRows(const float* pixels, int rows, int y, const FileImage& file) {
    Image& image = *file.image;
    const int width = image.Width();
    const std::size_t channels = static_cast<std::size_t>(file.spec.nchannels);
    const RecordSources sources = SourcesOf(file.layout);
    const std::vector<int>& extras = file.layout.extra;
    const std::size_t extraCount = static_cast<std::size_t>(image.ExtraChannelCount());
    for (int row = 0; row < rows; ++row) {
        const float* in = pixels + static_cast<std::size_t>(row) * width * channels;
        float* record = image.Plane1Pixel(0, y + row);
        for (int field = 0; field < 4; ++field) {
            const int channel = sources.channel[field];
            if (channel >= 0) {
                for (int x = 0; x < width; ++x) record[4 * x + field] = in[x * channels + channel];
            } else {
                for (int x = 0; x < width; ++x) record[4 * x + field] = sources.constant[field];
            }
        }
        if (float* extra = image.Plane2Pixel(0, y + row)) {
            for (std::size_t k = 0; k < extraCount; ++k) {
                const std::size_t channel = static_cast<std::size_t>(extras[k]);
                for (int x = 0; x < width; ++x) extra[x * extraCount + k] = in[x * channels + channel];
            }
        }
    }
}

[[noreturn]] void ReadFailed(const std::string& path, OIIO::ImageInput& input) {
    const std::string message = input.geterror();
    throw CliError(path + ": cannot read: " + (message.empty() ? "read failed" : message));
}

// The keyed part's pixels a strip of lines at a time: only one strip of the
// file's interleaved channels is held beside the image, and it is spread
// over the planes while it is still in the cache. Strips are whole tile rows
// and whole compressed blocks of lines, so that no block is decoded twice.
void ReadStrips(OIIO::ImageInput& input, FileImage& file) {
    const OIIO::ImageSpec& spec = file.spec;
    const std::size_t lineFloats = static_cast<std::size_t>(spec.width) * spec.nchannels;
    const int rows = StripRows(spec.height, spec.tile_height > 0 ? spec.tile_height : 32, lineFloats * 4);
    std::vector<float> strip(static_cast<std::size_t>(rows) * lineFloats);
    for (int y = 0; y < spec.height; y += rows) {
        const int count = std::min(rows, spec.height - y);
        const int ybegin = spec.y + y;
        const bool read = spec.tile_width > 0
                              ? input.read_tiles(file.part, 0, spec.x, spec.x + spec.width, ybegin, ybegin + count,
                                                 spec.z, spec.z + 1, 0, spec.nchannels, OIIO::TypeDesc::FLOAT,
                                                 strip.data())
                              : input.read_scanlines(file.part, 0, ybegin, ybegin + count, spec.z, 0,
                                                     spec.nchannels, OIIO::TypeDesc::FLOAT, strip.data());
        if (!read) {
            ReadFailed(file.path, input);
        }
        ScatterRows(strip.data(), count, y, file);
    }
}

// The keyed part's pixels read whole and then spread over the planes: the
// plain way, kept to check the strips against.
void ReadWholeFrame(OIIO::ImageInput& input, FileImage& file) {
    const OIIO::ImageSpec& spec = file.spec;
    std::vector<float> pixels(static_cast<std::size_t>(spec.width) * spec.height * spec.nchannels);
    if (!input.read_image(file.part, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, pixels.data())) {
        ReadFailed(file.path, input);
    }
    ScatterRows(pixels.data(), spec.height, 0, file);
}

// Refuses a movie or an animated image: its subimages are frames of a
// sequence, not parts of one image, and are not keyed as either. Only
// OpenEXR's subimages are parts; other stills with several (TIFF pages) are
// read as today.
void RefuseFrameSequence(const std::string& path, OIIO::ImageInput& input) {
    // The movie reader's files are movies even with one frame; other readers
    // (GIF) call every file a movie, and it holds a sequence only with a
    // second frame.
    const bool movieReader = std::string(input.format_name()).compare(0, 6, "FFmpeg") == 0;
    int frames = input.spec().get_int_attribute("oiio:subimages");
    const bool movie = input.spec().get_int_attribute("oiio:Movie") != 0;
    if (!movieReader && (!movie || !input.seek_subimage(1, 0))) {
        return;
    }
    if (frames <= 0) {
        // GIF does not say how many frames it holds: they are counted.
        for (frames = 0; input.seek_subimage(frames, 0);) ++frames;
    }
    throw CliError(path + ": a movie or animated image (" + std::to_string(frames) + (frames == 1 ? " frame" : " frames") +
                   ") is not read as a still image; write its frames as an image sequence (such as frame.####.exr) "
                   "and key that");
}

// Opens `path` and finds the part to key and its layout, as ReadImageFile
// does, without reading pixels.
FileImage OpenKeyedPart(const std::string& path, const ReadOptions& options,
                        std::unique_ptr<OIIO::ImageInput>& input) {
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        throw CliError(path + ": cannot read: " + NoFileReason(ec));
    }
    if (fs::is_directory(path, ec)) {
        throw CliError(path + ": cannot read: a folder, not an image file");
    }
    CheckFileHeaders(path);
    input = OIIO::ImageInput::open(path);
    if (!input) {
        std::string message = OIIO::geterror();
        throw CliError(path + ": cannot read: " + (message.empty() ? "unknown image format" : message));
    }
    RefuseFrameSequence(path, *input);
    std::vector<Part> parts;
    for (int i = 0; input->seek_subimage(i, 0); ++i) {
        const OIIO::ImageSpec& spec = input->spec();
        parts.push_back(PartOf(spec));
    }
    if (parts.empty()) {
        throw CliError(path + ": cannot read: the file holds no image");
    }
    FileImage file;
    file.path = path;
    file.formatName = input->format_name();
    for (const Part& part : parts) {
        file.partSpecs.push_back(part.spec);
    }
    file.part = ChoosePart(path, parts, options);
    file.partName = parts[file.part].name;
    file.view = ViewOf(parts[file.part], options.view);
    file.spec = parts[file.part].spec;
    const OIIO::ImageSpec& spec = file.spec;
    for (int level = 0; input->seek_subimage(file.part, level); ++level) {
        file.levels.emplace_back(input->spec().width, input->spec().height);
    }
    if (spec.deep) {
        throw CliError(path + ": cannot read: deep images are not supported");
    }
    if (spec.depth > 1) {
        throw CliError(path + ": cannot read: volume images are not supported");
    }
    if (spec.nchannels < 1) {
        throw CliError(path + ": cannot read: the image has no channels");
    }
    if (spec.width <= 0 || spec.height <= 0) {
        throw CliError(path + ": cannot read: the image is empty (" + std::to_string(spec.width) + " x " +
                       std::to_string(spec.height) + " pixels)");
    }
    file.layout = LayoutOf(spec, LayerOf(parts[file.part], file.view, options.layer));
    file.colourSpace = ColourSpaceOf(spec);
    return file;
}

}  // namespace

std::string PartName(const OIIO::ImageSpec& spec) {
    return spec.get_string_attribute("name");
}

FileImage ReadImageHeader(const std::string& path, const ReadOptions& options) {
    std::unique_ptr<OIIO::ImageInput> input;
    return OpenKeyedPart(path, options, input);
}

FileImage ReadImageFile(const std::string& path, const ReadOptions& options) {
    std::unique_ptr<OIIO::ImageInput> input;
    FileImage file = OpenKeyedPart(path, options, input);
    const OIIO::ImageSpec& spec = file.spec;
    std::vector<std::string> extraNames;
    if (options.withExtraChannels) {
        for (int channel : file.layout.extra) {
            extraNames.push_back(spec.channelnames[channel]);
        }
    }
    // The one place this file's declared size turns into memory: the header
    // is weighed against the budget first.
    CheckDeclaredSize(path, *input, file.part);
    try {
        file.image = std::make_shared<Image>(spec.width, spec.height, extraNames);
    } catch (const std::length_error& e) {
        throw CliError(path + ": cannot read: " + std::to_string(spec.width) + " x " +
                       std::to_string(spec.height) + " pixels: " + e.what());
    } catch (const std::bad_alloc&) {
        throw CliError(path + ": cannot read: not enough memory for " + std::to_string(spec.width) +
                       " x " + std::to_string(spec.height) + " pixels");
    }
    input->geterror();  // what looking for parts and levels left is no complaint about the pixels
    if (options.wholeFrame) {
        ReadWholeFrame(*input, file);
    } else {
        ReadStrips(*input, file);
    }
    if (const std::string complaint = CheckWholeRead(path, *input); !complaint.empty()) {
        std::cerr << "veskar: warning: " << complaint << "\n";
    }
    if (options.inputSpace != nullptr) {
        options.inputSpace->Apply(*file.image);
        file.colourSpace = options.inputSpace->To();
    }
    return file;
}

}  // namespace veskar
