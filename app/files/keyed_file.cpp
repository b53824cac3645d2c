#include "app/files/keyed_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <memory>
#include <vector>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include "app/cli_error.h"
#include "app/files/colour.h"
#include "app/files/read_checks.h"
#include "app/files/staged_file.h"
#include "app/files/strips.h"

namespace veskar {
namespace {

using OIIO::TypeDesc;


// What one channel of the keyed part's output holds.
struct OutChannel {
    std::string name;
    int plane1Field;  // 0 blue, 1 green, 2 red, 3 alpha; -1 for a further channel
    int extraIndex;   // the further channel's place in plane 2
    TypeDesc format;
};

// The channels of the keyed part as written: the source's, in order, with
// grey widened to R, G, B and alpha added after the last colour channel when
// the source had none. A format that cannot name its channels gets exactly R,
// G, B (and A): a channel stored in the third place is blue to its readers.
std::vector<OutChannel> OutputChannels(const FileImage& source, const OutputFormat& format,
                                       const WriteOptions& options) {
    const OIIO::ImageSpec& spec = source.spec;
    const ChannelLayout& layout = source.layout;
    auto formatOf = [&](int channel) {
        return spec.channelformats.empty() ? spec.format : spec.channelformats[channel];
    };
    const bool writeAlpha = format.alpha || !options.dropAlpha;
    const std::string prefix = layout.layer.empty() ? "" : layout.layer + ".";
    std::vector<OutChannel> channels;
    if (!format.furtherChannels) {
        const int colour = std::max({layout.red, layout.green, layout.blue, layout.grey});
        const TypeDesc type = formatOf(colour);
        channels = {{"R", 2, -1, type}, {"G", 1, -1, type}, {"B", 0, -1, type}};
        if (writeAlpha) channels.push_back({"A", 3, -1, type});
        return channels;
    }
    const int lastColour = std::max({layout.red, layout.green, layout.blue, layout.grey});
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
            if (writeAlpha) channels.push_back({name, 3, -1, formatOf(i)});
        } else if (i == layout.grey) {
            // The keyed colour need not stay grey.
            channels.push_back({prefix + "R", 2, -1, formatOf(i)});
            channels.push_back({prefix + "G", 1, -1, formatOf(i)});
            channels.push_back({prefix + "B", 0, -1, formatOf(i)});
        } else {
            channels.push_back({name, -1, extraIndex++, formatOf(i)});
        }
        if (i == lastColour && layout.alpha < 0 && writeAlpha) {
            channels.push_back({prefix + "A", 3, -1, formatOf(i)});
        }
    }
    return channels;
}

std::string Names(const FileImage& source, const std::vector<int>& channels) {
    std::string text;
    for (std::size_t i = 0; i < channels.size() && i < 6; ++i) {
        text += (i ? ", " : "") + source.spec.channelnames[channels[i]];
    }
    return channels.size() > 6 ? text + " and " + std::to_string(channels.size() - 6) + " more" : text;
}

// The file's alpha convention: --alpha when given, else the render's own
// where the format can hold either, else the format's own.
Association StoredAssociation(const OutputFormat& format, const WriteOptions& options) {
    if (options.storedGiven) return options.stored;
    return format.asRendered ? options.keyed : format.convention;
}

// The file's DateTime: now, in local time, or the moment SOURCE_DATE_EPOCH
// gives (seconds since 1970, in UTC), as pipelines that want the same bytes
// from the same inputs set it.
std::string Now() {
    std::time_t now = std::time(nullptr);
    std::tm when{};
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    char* end = nullptr;
    const long long fixed = epoch != nullptr ? std::strtoll(epoch, &end, 10) : -1;
    if (epoch != nullptr && *epoch != '\0' && *end == '\0' && fixed >= 0) {
        now = static_cast<std::time_t>(fixed);
        gmtime_r(&now, &when);
    } else {
        localtime_r(&now, &when);
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &when);
    return text;
}

// The keyed part's channels: their names and types, and which of them are
// alpha and depth.
void SetKeyedChannels(OIIO::ImageSpec& spec, const WriteOptions& options, const std::vector<OutChannel>& channels) {
    spec.nchannels = static_cast<int>(channels.size());
    spec.channelnames.clear();
    spec.channelformats.clear();
    spec.alpha_channel = -1;
    spec.z_channel = -1;
    bool mixedFormats = false;
    for (std::size_t i = 0; i < channels.size(); ++i) {
        spec.channelnames.push_back(channels[i].name);
        spec.channelformats.push_back(options.type == TypeDesc::UNKNOWN ? channels[i].format : options.type);
        mixedFormats = mixedFormats || spec.channelformats[i] != spec.channelformats[0];
        if (channels[i].plane1Field == 3) {
            spec.alpha_channel = static_cast<int>(i);
        }
        if (channels[i].name == "Z") {
            spec.z_channel = static_cast<int>(i);
        }
    }
    spec.format = spec.channelformats.front();
    if (!mixedFormats) {
        spec.channelformats.clear();
    }
}

// The container: tiles and compression stay where the format has them.
void SetContainer(OIIO::ImageSpec& spec, const FileImage& source, const OutputFormat& format,
                  const WriteOptions& options) {
    if (!format.tiles) {
        spec.tile_width = spec.tile_height = spec.tile_depth = 0;
    }
    if (!options.compression.empty()) {
        spec.attribute("compression", options.compression);
        spec.erase_attribute("openexr:dwaCompressionLevel");
        spec.erase_attribute("CompressionQuality");
        if (const std::size_t colon = options.compression.find(':');
            format.name == "png" && colon != std::string::npos) {
            // PNG's writer takes the strategy by name and deflate's level apart.
            spec.attribute("compression", options.compression.substr(0, colon));
            spec.attribute("png:compressionLevel", std::stoi(options.compression.substr(colon + 1)));
        }
    } else if (source.formatName == format.name) {
        // The compression level travels in the compression's name.
        const std::string compression = spec.get_string_attribute("compression");
        const int dwaLevel = static_cast<int>(spec.get_float_attribute("openexr:dwaCompressionLevel", 0.0f));
        if ((compression == "dwaa" || compression == "dwab") && dwaLevel > 0) {
            spec.attribute("compression", compression + ":" + std::to_string(dwaLevel));
        }
    } else {
        // Another format's compression names mean nothing here.
        spec.erase_attribute("compression");
        spec.erase_attribute("CompressionQuality");
    }
    // Figures about the source's pixels no longer hold.
    for (const char* stale : {"oiio:AverageColor", "oiio:SHA-1", "oiio:ConstantColor", "oiio:subimages"}) {
        spec.erase_attribute(stale);
    }
}

// Provenance: this program made the file, by this command line.
void SetProvenance(OIIO::ImageSpec& spec, const WriteOptions& options) {
    spec.attribute("Software", SoftwareName());
    std::string history = spec.get_string_attribute("Exif:ImageHistory");
    if (history.empty()) history = spec.get_string_attribute("ImageHistory");
    spec.erase_attribute("ImageHistory");
    if (!options.commandLine.empty()) {
        history += (history.empty() ? "" : "\n") + options.commandLine;
    }
    if (!history.empty()) {
        spec.attribute("Exif:ImageHistory", history);
    }
    spec.attribute("DateTime", Now());
}

// The colour space tag says what the values are.
void SetColourSpaceTag(OIIO::ImageSpec& spec, const FileImage& source, const OutputFormat& format,
                       const WriteOptions& options) {
    const std::string space = options.outputSpace.empty() ? source.colourSpace : options.outputSpace;
    spec.erase_attribute("oiio:Gamma");
    spec.erase_attribute(kExrColourSpaceAttribute);
    if (space.empty()) {
        spec.erase_attribute("oiio:ColorSpace");
    } else {
        spec.attribute("oiio:ColorSpace", space);
        if (format.name == "openexr") {
            spec.attribute(kExrColourSpaceAttribute, space);
        }
    }
}

// The header of the keyed part: the source's, with the channels written, the
// container kept where the format has it, and honest provenance and tags.
// The steps run in this order, as each edits the attributes the file lists.
OIIO::ImageSpec KeyedSpec(const FileImage& source, const OutputFormat& format, const WriteOptions& options,
                          const std::vector<OutChannel>& channels, bool writeAlpha, Association stored) {
    OIIO::ImageSpec spec = source.spec;
    SetKeyedChannels(spec, options, channels);
    SetContainer(spec, source, format, options);
    if (writeAlpha && stored == Association::Straight) {
        // The colour handed over is straight already: the writer must not
        // divide it by alpha again, and marks the file unassociated.
        spec.attribute("oiio:UnassociatedAlpha", 1);
    } else {
        spec.erase_attribute("oiio:UnassociatedAlpha");
    }
    SetProvenance(spec, options);
    SetColourSpaceTag(spec, source, format, options);
    // The codec is handed the types and windows it stores, so that the plan
    // is what the file holds.
    return StoredSpec(format, spec);
}

// What the writer makes of a source for one output: the format, the keyed
// part's channels and header, and which parts the file holds.
struct KeyedPlan {
    OutputFormat format;
    std::vector<OutChannel> channels;
    bool writeAlpha = true;
    Association written = Association::Premultiplied;  // the colour's convention in the file
    OIIO::ImageSpec keyedSpec;
    bool allParts = false;  // every part of the source, in order; else the keyed one alone
};

KeyedPlan PlanKeyedFile(const OutputFormat& format, const FileImage& source, const WriteOptions& options) {
    KeyedPlan plan;
    plan.format = format;
    plan.channels = OutputChannels(source, plan.format, options);
    plan.writeAlpha = std::any_of(plan.channels.begin(), plan.channels.end(),
                                  [](const OutChannel& c) { return c.plane1Field == 3; });
    // Without alpha in the file the colour stays as keyed.
    plan.written = plan.writeAlpha ? StoredAssociation(plan.format, options) : options.keyed;
    plan.keyedSpec = KeyedSpec(source, plan.format, options, plan.channels, plan.writeAlpha, plan.written);
    plan.allParts = source.PartCount() > 1 && plan.format.parts;
    return plan;
}

// The header of each part of the file: the keyed part's as planned, the
// others as the source holds them or, with `asStored`, as the format stores
// them.
std::vector<OIIO::ImageSpec> PartSpecs(const KeyedPlan& plan, const FileImage& source, bool asStored) {
    if (!plan.allParts) {
        return {plan.keyedSpec};
    }
    std::vector<OIIO::ImageSpec> specs;
    for (int part = 0; part < source.PartCount(); ++part) {
        const OIIO::ImageSpec& spec = source.partSpecs[static_cast<std::size_t>(part)];
        specs.push_back(part == source.part ? plan.keyedSpec : asStored ? StoredSpec(plan.format, spec) : spec);
    }
    return specs;
}

// The keyed part's lines, interleaved as the file's channels, in the stored
// alpha convention and output colour space.
class KeyedLines {
public:
    KeyedLines(const Image& keyed, const std::vector<OutChannel>& channels, Association written,
               const WriteOptions& options, const ColourConversion* conversion)
        : keyed_(keyed),
          channels_(channels),
          conversion_(conversion),
          // Transfer curves apply to straight colour: premultiplied colour is
          // divided by alpha first when the file stores straight colour or the
          // colour is converted, and multiplied again when the file stores it so.
          unpremultiply_(options.keyed == Association::Premultiplied &&
                         (written == Association::Straight || conversion != nullptr)),
          premultiply_(written == Association::Premultiplied &&
                       (options.keyed == Association::Straight || conversion != nullptr)),
          rgb_(static_cast<std::size_t>(keyed.Width()) * 3) {}

    /// Floats in one line of the file's channels.
    std::size_t LineFloats() const noexcept { return static_cast<std::size_t>(keyed_.Width()) * channels_.size(); }

    /// Fills `out` with `rows` lines from line `y`.
    void Fill(int y, int rows, float* out) {
        for (int row = 0; row < rows; ++row) {
            Line(y + row, out + static_cast<std::size_t>(row) * LineFloats());
        }
    }

private:
    void Line(int y, float* pixels) {
        const int width = keyed_.Width();
        const std::size_t count = channels_.size();
        float* line = rgb_.data();
        for (int x = 0; x < width; ++x) {
            const float* record = keyed_.Plane1Pixel(x, y);
            float* rgb = line + static_cast<std::size_t>(x) * 3;
            rgb[0] = record[2];
            rgb[1] = record[1];
            rgb[2] = record[0];
            // Where alpha is 0 or below, nothing can be divided out: the
            // colour stays as keyed (0 for a fully keyed-out pixel).
            if (unpremultiply_ && record[3] > 0.0f) {
                for (int c = 0; c < 3; ++c) rgb[c] = rgb[c] / record[3];
            }
        }
        if (conversion_ != nullptr) {
            conversion_->ApplyRgb(line, width);
        }
        for (int x = 0; x < width; ++x) {
            const float* record = keyed_.Plane1Pixel(x, y);
            const float* extra = keyed_.Plane2Pixel(x, y);
            float* rgb = line + static_cast<std::size_t>(x) * 3;
            if (premultiply_) {
                for (int c = 0; c < 3; ++c) rgb[c] = rgb[c] * record[3];
            }
            const float values[4] = {rgb[2], rgb[1], rgb[0], record[3]};
            float* out = pixels + static_cast<std::size_t>(x) * count;
            for (std::size_t c = 0; c < count; ++c) {
                out[c] = channels_[c].plane1Field >= 0 ? values[channels_[c].plane1Field]
                                                       : extra[channels_[c].extraIndex];
            }
        }
    }

    const Image& keyed_;
    const std::vector<OutChannel>& channels_;
    const ColourConversion* conversion_;
    const bool unpremultiply_;
    const bool premultiply_;
    std::vector<float> rgb_;  // one line of colour, red, green, blue
};

// Writes the keyed part's top level a strip of lines at a time, so that only
// one strip of the file's channels is held beside the keyed image. Strips are
// whole tile rows; the writer gathers lines into its compressed blocks as
// write_image would, so the file is the same byte for byte.
template <typename Fail>
void WriteStrips(OIIO::ImageOutput& output, const OIIO::ImageSpec& spec, KeyedLines& lines, const Fail& fail) {
    const std::size_t lineFloats = lines.LineFloats();
    const int rows = StripRows(spec.height, spec.tile_height > 0 ? spec.tile_height : 32, lineFloats * 4);
    std::vector<float> strip(static_cast<std::size_t>(rows) * lineFloats);
    for (int y = 0; y < spec.height; y += rows) {
        const int count = std::min(rows, spec.height - y);
        lines.Fill(y, count, strip.data());
        const int ybegin = spec.y + y;
        const bool written =
            spec.tile_width > 0
                ? output.write_tiles(spec.x, spec.x + spec.width, ybegin, ybegin + count, spec.z, spec.z + 1,
                                     TypeDesc::FLOAT, strip.data())
                : output.write_scanlines(ybegin, ybegin + count, spec.z, TypeDesc::FLOAT, strip.data());
        if (!written) {
            fail(output.geterror());
        }
    }
}

// The keyed file's writer, open on its staged temporary. Called with a
// message, it fails the file: the temporary is removed and the target named.
struct OpenOutput {
    StagedFile& staged;
    OIIO::ImageOutput& output;

    void operator()(const std::string& message) const {
        staged.Fail(message.empty() ? "write failed" : message);
    }
    // Fails the file with the writer's message unless `done`.
    void Check(bool done) const {
        if (!done) (*this)(output.geterror());
    }
    // Opens the next subimage or MIP level of the file.
    void Open(const OIIO::ImageSpec& spec, OIIO::ImageOutput::OpenMode mode) const {
        Check(output.open(staged.TempPath(), spec, mode));
    }
};

// The conversion of the keyed colour to --output-space, or null without it.
std::unique_ptr<ColourConversion> OutputConversion(const FileImage& source, const WriteOptions& options) {
    if (options.outputSpace.empty()) {
        return nullptr;
    }
    // Values without a tag are taken as linear, as image files are read.
    return std::make_unique<ColourConversion>(ValuesSpace(source.colourSpace), options.outputSpace,
                                              "--output-space");
}

// The source opened again, to copy its other parts as stored.
std::unique_ptr<OIIO::ImageInput> OpenSourceParts(const FileImage& source) {
    std::unique_ptr<OIIO::ImageInput> input = OIIO::ImageInput::open(source.path);
    if (!input) {
        throw CliError(source.path + ": cannot read: " + OIIO::geterror());
    }
    return input;
}

// The lower MIP levels of the keyed part, made again from its whole top
// level `pixels` in the file's channels, at the source's level sizes.
void WriteLowerLevels(const OpenOutput& out, const OIIO::ImageSpec& keyedSpec, const FileImage& source,
                      const std::vector<float>& pixels) {
    OIIO::ImageSpec floatSpec = keyedSpec;
    floatSpec.set_format(TypeDesc::FLOAT);
    floatSpec.channelformats.clear();
    const OIIO::ImageBuf top(floatSpec, const_cast<float*>(pixels.data()));
    for (std::size_t level = 1; level < source.levels.size(); ++level) {
        const auto [width, height] = source.levels[level];
        OIIO::ImageSpec levelSpec = keyedSpec;
        levelSpec.width = levelSpec.full_width = width;
        levelSpec.height = levelSpec.full_height = height;
        levelSpec.x = levelSpec.y = levelSpec.full_x = levelSpec.full_y = 0;
        const OIIO::ROI roi(0, width, 0, height, 0, 1, 0, keyedSpec.nchannels);
        OIIO::ImageBuf scaled = OIIO::ImageBufAlgo::resize(top, "", 0.0f, roi);
        if (scaled.has_error()) {
            out(scaled.geterror());
        }
        out.Open(levelSpec, OIIO::ImageOutput::AppendMIPLevel);
        out.Check(out.output.write_image(TypeDesc::FLOAT, scaled.localpixels()));
    }
}

// The keyed part: from `pixels` when the whole top level is held, else a
// strip at a time; then its lower MIP levels when `mipmapped`.
void WriteKeyedPart(const OpenOutput& out, const OIIO::ImageSpec& keyedSpec, KeyedLines& lines,
                    const std::vector<float>& pixels, const FileImage& source, bool mipmapped) {
    if (pixels.empty()) {
        WriteStrips(out.output, keyedSpec, lines, out);
    } else {
        out.Check(out.output.write_image(TypeDesc::FLOAT, pixels.data()));
    }
    if (mipmapped) {
        WriteLowerLevels(out, keyedSpec, source, pixels);
    }
}

// Another part of the source, copied as stored, level by level.
void CopyPart(const OpenOutput& out, OIIO::ImageInput& input, const FileImage& source, int part) {
    for (int level = 0; input.seek_subimage(part, level); ++level) {
        const OIIO::ImageSpec levelSpec = input.spec(part, level);
        // The file was weighed when it was read, but it may have changed since.
        const std::uint64_t bytes = levelSpec.image_bytes(true);
        if (bytes > CurrentReadPolicy().memoryBudget) {
            throw CliError(source.path + ": cannot read: part " + std::to_string(part) + " declares " +
                           MemoryText(bytes) + ", more than the memory budget of " +
                           MemoryText(CurrentReadPolicy().memoryBudget) + " (see --max-memory)");
        }
        std::vector<unsigned char> data(bytes);
        input.geterror();
        if (!input.read_image(part, level, 0, levelSpec.nchannels, TypeDesc::UNKNOWN, data.data())) {
            throw CliError(source.path + ": cannot read: " + input.geterror());
        }
        if (const std::string complaint = CheckWholeRead(source.path, input); !complaint.empty()) {
            std::cerr << "veskar: warning: " << complaint << "\n";
        }
        if (level > 0) {
            out.Open(levelSpec, OIIO::ImageOutput::AppendMIPLevel);
        }
        out.Check(out.output.write_image(TypeDesc::UNKNOWN, data.data()));
    }
}

}  // namespace

std::string SoftwareName() {
    return std::string("veskar ") + VESKAR_VERSION;
}

void CheckOutput(const std::string& path, const FileImage& source, const WriteOptions& options) {
    CheckOutput(path, OutputFormatOf(path), source, options);
}

void CheckOutput(const std::string& path, const OutputFormat& format, const FileImage& source,
                 const WriteOptions& options) {
    CheckCompression(path, format, options.compression);
    if (options.type != TypeDesc::UNKNOWN && !Stores(format, options.type)) {
        throw CliError("--type " + TypeNames({options.type}) + ": " + path + ": " + format.title + " stores " +
                           TypeNames(format.types),
                       2);
    }
    if (options.storedGiven && !format.alpha) {
        throw CliError("--alpha: " + path + ": " + format.title + " stores no alpha", 2);
    }
    if (options.storedGiven && options.stored == Association::Straight && !format.straight) {
        throw CliError("--alpha straight: " + path + ": " + format.title +
                           " stores premultiplied colour only (write EXR, TIFF or PNG for straight colour)",
                       2);
    }
    if (options.storedGiven && options.stored == Association::Premultiplied && !format.premultiplied) {
        throw CliError("--alpha premultiplied: " + path + ": " + format.title +
                           " stores straight colour only (write EXR or TIFF for premultiplied colour)",
                       2);
    }
    if (!format.alpha && !options.dropAlpha) {
        throw CliError(path + ": " + format.title +
                       " cannot hold the matte (alpha): write EXR, TIFF or PNG to keep it, or give --drop-alpha "
                       "to write the colour alone");
    }
    const ChannelLayout& layout = source.layout;
    if (!format.furtherChannels && !options.dropChannels) {
        std::vector<int> lost = layout.extra;
        if (!layout.layer.empty() && layout.alpha >= 0 && !format.alpha) lost.push_back(layout.alpha);
        if (!lost.empty()) {
            throw CliError(path + ": " + format.title + " cannot hold the further channels " + Names(source, lost) +
                           ": write EXR to keep them, or give --drop-channels to leave them out");
        }
        if (!layout.layer.empty()) {
            throw CliError(path + ": " + format.title + " cannot name the channels of layer " + layout.layer +
                           ": write EXR to keep the names, or give --drop-channels to write them as R, "
                           "G, B, A");
        }
    }
    if (source.PartCount() > 1 && !format.parts && !options.dropChannels) {
        throw CliError(path + ": " + format.title + " cannot hold the " + std::to_string(source.PartCount()) +
                       " parts of " + source.path +
                       ": write EXR to keep them, or give --drop-channels to write the keyed part alone");
    }
}

std::string StraightExrNote(const std::string& path, const FileImage& source, const WriteOptions& options) {
    const KeyedPlan plan = PlanKeyedFile(OutputFormatOf(path), source, options);
    if (plan.format.name != "openexr" || !plan.writeAlpha || plan.written != Association::Straight) {
        return "";
    }
    const std::string why = options.storedGiven
                                ? options.keyed == Association::Straight ? "as rendered (--alpha straight)"
                                                                         : "divided by alpha (--alpha straight)"
                                : "as rendered with Alpha Multiply off";
    return path + ": EXR holds straight colour, " + why +
           ", not multiplied by alpha; give --alpha premultiplied to store premultiplied colour";
}

std::vector<OIIO::ImageSpec> KeyedFileSpecs(const std::string& path, const FileImage& source,
                                            const WriteOptions& options) {
    return KeyedFileSpecs(OutputFormatOf(path), source, options);
}

std::vector<OIIO::ImageSpec> KeyedFileSpecs(const OutputFormat& format, const FileImage& source,
                                            const WriteOptions& options) {
    return PartSpecs(PlanKeyedFile(format, source, options), source, true);
}

void WriteKeyedFile(const std::string& path, const FileImage& source, const Image& keyed,
                    const WriteOptions& options) {
    CheckOutput(path, source, options);
    const KeyedPlan plan = PlanKeyedFile(OutputFormatOf(path), source, options);
    const std::unique_ptr<ColourConversion> conversion = OutputConversion(source, options);
    KeyedLines lines(keyed, plan.channels, plan.written, options, conversion.get());
    // Every part of the source, in order, when the format holds them.
    const std::unique_ptr<OIIO::ImageInput> input = plan.allParts ? OpenSourceParts(source) : nullptr;
    // The other parts' data goes to the codec as stored, in their own types.
    const std::vector<OIIO::ImageSpec> specs = PartSpecs(plan, source, false);
    const bool mipmapped = source.levels.size() > 1 && plan.format.mipmap;
    // The lower MIP levels are made from the whole keyed top level in the
    // file's channels; other files are written a strip at a time.
    std::vector<float> pixels;
    if (mipmapped || options.wholeFrame) {
        pixels.resize(static_cast<std::size_t>(keyed.Height()) * lines.LineFloats());
        lines.Fill(0, keyed.Height(), pixels.data());
    }

    StagedFile staged(path);
    const OpenOutput out{staged, staged.OpenImage(specs)};
    for (int part = 0; part < static_cast<int>(specs.size()); ++part) {
        if (part > 0) {
            out.Open(specs[part], OIIO::ImageOutput::AppendSubimage);
        }
        if (!plan.allParts || part == source.part) {
            WriteKeyedPart(out, plan.keyedSpec, lines, pixels, source, mipmapped);
        } else {
            CopyPart(out, *input, source, part);
        }
    }
    staged.Commit();
}

}  // namespace veskar
