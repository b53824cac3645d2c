#pragma once

#include <string>

#include "app/files/file_options.h"
#include "app/files/read_checks.h"
#include "app/subcommand.h"

namespace veskar {

/// `veskar check`: what to look at and what to expect.
struct CheckOptions {
    std::string output;  ///< the frames to check: out.####.exr
    std::string frames;  ///< "--frames" text; "" for one file
    std::string like;    ///< the input the frames were keyed from, or "": then frames must agree with each other
    std::string type;    ///< the output data type asked of the render (--type), or "": the input's
    /// The render's options that decide the part keyed and the channels
    /// written (--drop-alpha, --drop-channels, --part, --view, --layer); only
    /// these of the file options are taken, and only with `like`.
    FileOptions files;
    bool deep = false;   ///< read every pixel, not only the header and the first and last lines
    ReadLimits readLimits;  ///< --max-memory
};

/// Adds `check` to `app`.
Subcommand AddCheckCommand(CLI::App& app);

/// `veskar check`: checks that each frame exists, opens, is whole and has
/// the expected size, channels and type. Prints one line per missing or bad
/// frame and a one-line summary on stdout; returns 0 when every frame is good
/// and 1 otherwise. Throws CliError for usage errors.
int RunCheck(const CheckOptions& options);

}  // namespace veskar
