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

/// What the screen setup takes from the command line besides the steps.
struct SetupInputs {
    std::vector<std::string> subjects;  ///< --subject rectangles
    /// Colorspace was set before the steps (by a settings file, which lists
    /// every control): --screen keeps it. A --set Colorspace=... step before
    /// --screen does the same, and so does a key image; otherwise --screen
    /// chooses the space.
    bool spaceSet = false;
    /// Set up for soft edges (--clean-edges).
    bool softEdges = false;
};

/// Applies `steps` to `tool` in order; Screen steps in a row are pooled into
/// one setup. Returns how the key was set up, for the warning about a key
/// that keys nothing or everything. Mistakes in a step are usage errors
/// (CliError, exit 2) naming the option and its text.
KeySetupKind ApplyControlSteps(host::ToolInstance& tool, const std::vector<ControlStep>& steps, FirstFrame& first,
                               const SetupInputs& inputs);

}  // namespace veskar
