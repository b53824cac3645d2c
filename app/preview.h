#pragma once

#include <string>

#include "app/image_io.h"
#include "host/image.h"

namespace veskar {

/// Writes a contact sheet to `path` (a PNG or any other image file): the
/// source, the matte and the keyed result over a checkerboard side by side,
/// labelled, each scaled to at most 640 pixels wide. Images whose file is not
/// sRGB-encoded are shown through the sRGB transfer curve. Written through a
/// temporary file; throws CliError naming `path` on failure.
void WritePreview(const std::string& path, const FileImage& source, const Image& keyed);

}  // namespace veskar
