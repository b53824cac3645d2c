#pragma once

#include <string>

#include "app/render_job/render_options.h"

namespace veskar {

/// `veskar render`: keys one image file or a sequence through the keyer of
/// the plug-ins in `pluginFolder`. Returns 0; throws CliError naming the
/// file, frame, control or value at fault, with its exit status.
int RunRender(const std::string& pluginFolder, const RenderOptions& options);

}  // namespace veskar
