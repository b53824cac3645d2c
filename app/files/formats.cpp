#include "app/files/formats.h"

#include <algorithm>

#include "app/cli_error.h"

namespace veskar {

using OIIO::TypeDesc;

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
    // Conventions: OpenEXR colour is premultiplied by definition and PNG's is
    // straight by definition; TIFF marks which one a file holds and defaults
    // to associated alpha. Formats not named here are treated as premultiplied
    // (what their readers assume), with no data type refused.
    // The codecs' own answers to what their headers keep are not all true
    // (PNG keeps the data window's position, TIFF the display window), so
    // the formats named here say it themselves.
    if (format.name == "openexr") {
        format.title = "EXR";
        format.types = {TypeDesc::HALF, TypeDesc::FLOAT};
        format.channelTypes = format.origin = format.displayWindow = true;
    } else if (format.name == "png") {
        format.premultiplied = false;
        format.straight = true;
        format.convention = Association::Straight;
        format.types = {TypeDesc::UINT8, TypeDesc::UINT16};
        format.origin = true;
    } else if (format.name == "tiff") {
        // The TIFF writer holds several images, but written through an I/O
        // proxy, as outputs are staged, it keeps only the last one: a
        // multi-part source is refused (or keyed alone) rather than lose parts.
        format.parts = false;
        // Its channels have roles, not names: a Z after alpha reads back as
        // "channel4", a layer's fg.R as R. Only colour and alpha are written,
        // so a further channel or a layer's names are refused, not renamed.
        format.furtherChannels = false;
        format.straight = true;
        // Half is written as float (few readers know 16-bit float TIFF), so
        // asking for half is refused rather than answered with float.
        format.types = {TypeDesc::UINT8, TypeDesc::UINT16, TypeDesc::FLOAT};
        format.origin = format.displayWindow = true;
    } else if (format.name == "jpeg") {
        format.title = "JPEG";
        format.types = {TypeDesc::UINT8};
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
