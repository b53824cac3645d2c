#pragma once

// The command line's control changes (--set, --key-color, --pick, --screen),
// applied to the tool in the order they stand, each through the set path.

#include <functional>
#include <vector>

#include "app/files/image_file.h"
#include "app/render_job/render_options.h"
#include "app/setup/key_check.h"
#include "host/tool_instance.h"

namespace veskar {

/// The first frame's images, read only when a step needs them.
struct FirstFrame {
    std::function<const FileImage&()> source;
    /// The key image's frame, or null without one.
    std::function<const Image*()> key;
};

/// Applies `steps` to `tool` in order; Screen steps in a row are pooled into
/// one setup. Returns how the key was set up, for the warning about a key
/// that keys nothing or everything. Mistakes in a step are usage errors
/// (CliError, exit 2) naming the option and its text.
KeySetupKind ApplyControlSteps(host::ToolInstance& tool, const std::vector<ControlStep>& steps, FirstFrame& first);

}  // namespace veskar
