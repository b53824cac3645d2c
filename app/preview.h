#pragma once

#include <string>

#include "app/files/formats.h"
#include "app/files/image_file.h"
#include "host/image.h"

namespace veskar {

/// Writes a contact sheet to `path` (a PNG or any other image file): the
/// source, the matte and the keyed result over a checkerboard side by side,
/// labelled, each scaled to at most 640 pixels wide. Images whose file is not
/// sRGB-encoded are shown through the sRGB transfer curve. `keyed` holds
/// colour as `association` says; straight colour is multiplied by alpha
/// before it goes over the checkerboard. Written through a temporary file;
/// throws CliError naming `path` on failure.
void WritePreview(const std::string& path, const FileImage& source, const Image& keyed, Association association);

}  // namespace veskar
