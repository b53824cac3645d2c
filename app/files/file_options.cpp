#include "app/files/file_options.h"

#include <CLI/CLI.hpp>

#include "app/files/colour.h"

namespace veskar {

void AddFileOptions(CLI::App& render, FileOptions& options) {
    render.add_option("--alpha", options.alpha,
                      "Alpha convention stored where the output format allows both (default: as rendered for EXR and "
                      "TIFF, premultiplied with Alpha Multiply on and straight with it off; straight for PNG)")
        ->check(CLI::IsMember({"premultiplied", "straight"}));
    AddChannelOptions(render, options);
    render.add_option("--compression", options.compression,
                      "Output compression, NAME or NAME:LEVEL (default: the input's, when the format is the same)");
    render.add_option("--input-space", options.inputSpace,
                      "Colour space of the input's values: converted to linear before keying");
    render.add_option("--output-space", options.outputSpace, "Colour space to convert the keyed values to on write");
}

void AddChannelOptions(CLI::App& command, FileOptions& options) {
    command.add_flag("--drop-alpha", options.dropAlpha,
                     "Write the colour alone to a format that cannot hold the matte (such as JPEG)");
    command.add_flag("--drop-channels", options.dropChannels,
                     "Leave out the further channels and parts a format cannot hold (such as PNG)");
    command.add_option("--part", options.part, "Part of a multi-part file to key (default: the first with colour)");
    command.add_option("--view", options.view, "View of a multi-view file to key (default: the first with colour)");
    command.add_option("--layer", options.layer, "Layer whose NAME.R, NAME.G, NAME.B, NAME.A are keyed");
}

bool HasChannelOptions(const FileOptions& options) {
    return options.dropAlpha || options.dropChannels || !options.part.empty() || !options.view.empty() ||
           !options.layer.empty();
}

std::string CommandLineText(int argc, const char* const* argv) {
    std::string text;
    for (int i = 0; i < argc; ++i) {
        std::string word = argv[i];
        if (word.empty() || word.find_first_of(" \t\n'\"\\$`") != std::string::npos) {
            std::string quoted = "'";
            for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
            word = quoted + "'";
        }
        text += (i ? " " : "") + word;
    }
    return text;
}

FileSetup::FileSetup(const FileOptions& options, OIIO::TypeDesc type, const std::string& commandLine)
    : options_(options) {
    if (!options.inputSpace.empty()) {
        inputSpace_ = std::make_unique<ColourConversion>(options.inputSpace, WorkingLinearSpace(), "--input-space");
    }
    if (!options.outputSpace.empty()) {
        // Checked once here; each frame converts from its own values' space.
        ColourConversion(WorkingLinearSpace(), options.outputSpace, "--output-space");
    }
    write_.storedGiven = !options.alpha.empty();
    write_.stored = options.alpha == "straight" ? Association::Straight : Association::Premultiplied;
    write_.type = type;
    write_.dropAlpha = options.dropAlpha;
    write_.dropChannels = options.dropChannels;
    write_.compression = options.compression;
    write_.outputSpace = options.outputSpace;
    write_.commandLine = commandLine;
}

FileSetup::~FileSetup() = default;

ReadOptions FileSetup::Source() const {
    ReadOptions read;
    read.part = options_.part;
    read.view = options_.view;
    read.layer = options_.layer;
    read.inputSpace = inputSpace_.get();
    return read;
}

ReadOptions FileSetup::Key() const {
    ReadOptions read;
    read.withExtraChannels = false;
    read.inputSpace = inputSpace_.get();
    return read;
}

}  // namespace veskar
