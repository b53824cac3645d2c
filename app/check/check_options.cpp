#include <memory>

#include <CLI/CLI.hpp>

#include "app/check/check.h"

namespace veskar {

Subcommand AddCheckCommand(CLI::App& app) {
    auto options = std::make_shared<CheckOptions>();
    CLI::App* check = app.add_subcommand(
        "check", "Check rendered frames: each exists, opens, is whole and has the expected size, channels and type");
    check->add_option("output", options->output, "Frames to check (out.####.exr or out.%04d.exr), or one file")
        ->required();
    check->add_option("--frames", options->frames, "Frames to check: A-B, A, or a list A-B,C,...");
    check->add_option("--like", options->like,
                      "Input the frames were keyed from (plate.####.exr): each frame must have the parts, windows, "
                      "channels and types that veskar render writes from it (with the render's --type, --part, "
                      "--view, --layer, --drop-alpha and --drop-channels given here too); without it, every frame "
                      "must match the first good one");
    check->add_option("--type", options->type, "Output data type the render was given with --type")
        ->check(CLI::IsMember({"half", "float", "uint8", "uint16"}));
    AddChannelOptions(*check, options->files);
    check->add_flag("--deep", options->deep, "Read every pixel, not only the header and the first and last lines");
    AddReadLimitOptions(*check, options->readLimits, false);
    return {check, [options](const std::string&) { return RunCheck(*options); }};
}

}  // namespace veskar
