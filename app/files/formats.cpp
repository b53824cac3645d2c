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
    if (format.name == "openexr") {
        format.title = "EXR";
        format.types = {TypeDesc::HALF, TypeDesc::FLOAT};
    } else if (format.name == "png") {
        format.premultiplied = false;
        format.straight = true;
        format.convention = Association::Straight;
        format.types = {TypeDesc::UINT8, TypeDesc::UINT16};
    } else if (format.name == "tiff") {
        format.straight = true;
        format.types = {TypeDesc::UINT8, TypeDesc::UINT16, TypeDesc::HALF, TypeDesc::FLOAT};
    } else if (format.name == "jpeg") {
        format.title = "JPEG";
        format.types = {TypeDesc::UINT8};
    }
    return format;
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
