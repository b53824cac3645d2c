#include "app/files/formats.h"

#include <algorithm>
#include <charconv>

#include "app/cli_error.h"

namespace veskar {

using OIIO::TypeDesc;

namespace {

// What a format named here holds, beyond what its writer says of itself.
// The codecs' own answers to what their headers keep are not all true (PNG
// keeps the data window's position, TIFF the display window), so these
// formats say it themselves.
struct KnownFormat {
    const char* name;  // OpenImageIO's format name
    const char* title;
    bool onePart = false;          // keeps one subimage whatever its writer says
    bool unnamedChannels = false;  // cannot name channels beyond colour and alpha
    bool premultiplied = true;
    bool straight = false;
    Association convention = Association::Premultiplied;
    bool asRendered = false;
    std::vector<TypeDesc> types;
    bool channelTypes = false;
    bool origin = false;
    bool displayWindow = false;
    std::vector<CompressionName> compressions;
};

// Conventions: a file holds what the tool rendered. EXR has no tag for
// straight colour, but no compositing host changes pixel values when it
// writes one: with Alpha Multiply off it holds straight colour (and the run
// says so). TIFF marks which one a file holds. PNG's colour is straight by
// definition, so premultiplied output is converted. Formats not named here
// are treated as premultiplied (what their readers assume), with no data type
// refused.
const std::vector<KnownFormat>& KnownFormats() {
    static const std::vector<KnownFormat> formats = {
        {.name = "openexr",
         .title = "EXR",
         .straight = true,
         .asRendered = true,
         .types = {TypeDesc::HALF, TypeDesc::FLOAT},
         .channelTypes = true,
         .origin = true,
         .displayWindow = true,
         // The writer takes zip levels 1 to 9 and DWA levels as whole numbers
         // (45.7 would be 45, 0.5 its default of 45).
         .compressions = {{"none"}, {"rle"},  {"zip", 1, 9}, {"zips", 1, 9}, {"piz"},
                          {"pxr24"}, {"b44"}, {"b44a"},      {"dwaa", 1, -1}, {"dwab", 1, -1}}},
        {.name = "png",
         .title = "PNG",
         .premultiplied = false,
         .straight = true,
         .convention = Association::Straight,
         .types = {TypeDesc::UINT8, TypeDesc::UINT16},
         .origin = true,
         // Deflate's strategies; "zip" is its default one, and a level, 0 to
         // 9, is deflate's effort (PNG is always lossless).
         .compressions = {{"zip", 0, 9}, {"default", 0, 9}, {"filtered", 0, 9},
                          {"huffman", 0, 9}, {"rle", 0, 9}, {"fixed", 0, 9}}},
        {.name = "tiff",
         .title = "TIFF",
         // The TIFF writer holds several images, but written through an I/O
         // proxy, as outputs are staged, it keeps only the last one: a
         // multi-part source is refused (or keyed alone) rather than lose parts.
         .onePart = true,
         // Its channels have roles, not names: a Z after alpha reads back as
         // "channel4", a layer's fg.R as R. Only colour and alpha are written,
         // so a further channel or a layer's names are refused, not renamed.
         .unnamedChannels = true,
         .straight = true,
         .asRendered = true,
         // Half is written as float (few readers know 16-bit float TIFF), so
         // asking for half is refused rather than answered with float.
         .types = {TypeDesc::UINT8, TypeDesc::UINT16, TypeDesc::FLOAT},
         .origin = true,
         .displayWindow = true,
         // What its writer writes (CCITT's fax codings take 1-bit images only).
         .compressions = {{"none"}, {"lzw"}, {"zip", 1, 9}, {"packbits"}, {"jpeg", 1, 100}}},
        {.name = "jpeg", .title = "JPEG", .types = {TypeDesc::UINT8}, .compressions = {{"jpeg", 1, 100}}},
        {.name = "dpx",
         .title = "DPX",
         // Half is written as float and 32-bit integers as 16-bit ones.
         .types = {TypeDesc::UINT8, TypeDesc::UINT16, TypeDesc::FLOAT, TypeDesc::DOUBLE},
         .origin = true,
         .displayWindow = true,
         .compressions = {{"none"}}},
    };
    return formats;
}

void ApplyKnownFormat(OutputFormat& format, const KnownFormat& known) {
    format.title = known.title;
    format.parts = format.parts && !known.onePart;
    format.furtherChannels = format.furtherChannels && !known.unnamedChannels;
    format.premultiplied = known.premultiplied;
    format.straight = known.straight;
    format.convention = known.convention;
    format.asRendered = known.asRendered;
    format.types = known.types;
    format.channelTypes = known.channelTypes;
    format.origin = known.origin;
    format.displayWindow = known.displayWindow;
    format.compressions = known.compressions;
}

}  // namespace

OutputFormat OutputFormatOf(const std::string& path) {
    auto output = OIIO::ImageOutput::create(path);
    if (!output) {
        const std::string message = OIIO::geterror();
        throw CliError(path + ": cannot write: " + (message.empty() ? "unknown image format" : message));
    }
    OutputFormat format;
    format.name = output->format_name();
    format.alpha = output->supports("alpha");
    format.furtherChannels = output->supports("nchannels");
    format.parts = output->supports("multiimage");
    format.tiles = output->supports("tiles");
    format.mipmap = output->supports("mipmap");
    format.title = format.name;
    std::transform(format.title.begin(), format.title.end(), format.title.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    for (const KnownFormat& known : KnownFormats()) {
        if (format.name == known.name) ApplyKnownFormat(format, known);
    }
    return format;
}

namespace {

// The type the codec of `format` writes for `type`.
TypeDesc StoredType(const OutputFormat& format, TypeDesc type) {
    if (format.name == "openexr") {
        if (type == TypeDesc::DOUBLE) return TypeDesc::FLOAT;
        // FLOAT and UINT32 differ: clang-tidy 14 takes the two overloaded == for one.
        // NOLINTNEXTLINE(misc-redundant-expression)
        return type == TypeDesc::FLOAT || type == TypeDesc::UINT32 ? type : TypeDesc::HALF;
    }
    if (format.name == "png") {
        return type == TypeDesc::UINT16 ? type : TypeDesc::UINT8;
    }
    if (format.name == "tiff") {
        // Half is written as float: few readers know 16-bit float TIFF.
        return type == TypeDesc::HALF ? TypeDesc::FLOAT : type;
    }
    if (format.name == "jpeg") {
        return TypeDesc::UINT8;
    }
    if (format.name == "dpx") {
        if (type == TypeDesc::HALF) return TypeDesc::FLOAT;
        return Stores(format, type) ? type : TypeDesc::UINT16;
    }
    return type;
}

}  // namespace

OIIO::ImageSpec StoredSpec(const OutputFormat& format, OIIO::ImageSpec spec) {
    if (format.types.empty()) {
        return spec;
    }
    spec.format = StoredType(format, spec.format);
    bool mixed = false;
    if (format.channelTypes) {
        for (TypeDesc& type : spec.channelformats) {
            type = StoredType(format, type);
            mixed = mixed || type != spec.channelformats.front();
        }
    }
    if (!mixed) {
        spec.channelformats.clear();
    }
    if (!format.origin) {
        spec.x = spec.y = 0;
    }
    if (!format.displayWindow) {
        // Readers take the data window's size for the display window, at 0,0.
        spec.full_x = spec.full_y = 0;
        spec.full_width = spec.width;
        spec.full_height = spec.height;
    }
    return spec;
}

namespace {

std::string CompressionNames(const OutputFormat& format) {
    std::string text;
    for (const CompressionName& c : format.compressions) {
        text += (text.empty() ? "" : ", ") + c.name;
        if (c.maxLevel > 0) text += "[:" + std::to_string(c.minLevel) + "-" + std::to_string(c.maxLevel) + "]";
        if (c.maxLevel < 0) text += "[:LEVEL]";
    }
    return text;
}

}  // namespace

void CheckCompression(const std::string& path, const OutputFormat& format, const std::string& compression) {
    if (compression.empty() || format.compressions.empty()) {
        return;
    }
    const std::size_t colon = compression.find(':');
    const std::string name = compression.substr(0, colon);
    const std::string prefix = "--compression " + compression + ": " + path + ": ";
    const auto known = std::find_if(format.compressions.begin(), format.compressions.end(),
                                    [&](const CompressionName& c) { return c.name == name; });
    if (known == format.compressions.end()) {
        throw CliError(prefix + format.title + " has no compression '" + name + "' (it takes " +
                           CompressionNames(format) + ")",
                       2);
    }
    if (colon == std::string::npos) {
        return;
    }
    if (known->maxLevel == 0) {
        throw CliError(prefix + name + " takes no level (" + format.title + " takes " + CompressionNames(format) + ")",
                       2);
    }
    // Whole numbers only: the writer reads the level as one.
    const std::string level = compression.substr(colon + 1);
    int value = 0;
    const auto [end, error] = std::from_chars(level.data(), level.data() + level.size(), value);
    const bool whole = error == std::errc() && end == level.data() + level.size() && !level.empty();
    if (!whole || value < known->minLevel || (known->maxLevel > 0 && value > known->maxLevel)) {
        const std::string range = known->maxLevel > 0 ? std::to_string(known->minLevel) + " to " +
                                                            std::to_string(known->maxLevel)
                                                      : "a whole number from " + std::to_string(known->minLevel);
        throw CliError(prefix + "the level of " + name + " is " + range + ", not '" + level + "'", 2);
    }
}

std::string TypeNames(const std::vector<TypeDesc>& types) {
    std::string text;
    for (const TypeDesc& type : types) {
        text += (text.empty() ? "" : ", ") + std::string(type == TypeDesc::UINT8    ? "uint8"
                                                         : type == TypeDesc::UINT16 ? "uint16"
                                                                                    : type.c_str());
    }
    return text;
}

bool Stores(const OutputFormat& format, TypeDesc type) {
    return format.types.empty() || std::find(format.types.begin(), format.types.end(), type) != format.types.end();
}

}  // namespace veskar
