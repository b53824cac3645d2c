#pragma once

#include <string>

namespace veskar {

/// Checks what the header of the file at `path` declares before the codec
/// reads it, for the formats whose codecs trust their headers: OpenEXR (see
/// CheckExrHeaders), DPX and SGI. Any other file, or one that cannot be
/// opened, passes: the codec says what is wrong with it.
///
/// The DPX codec sets aside the user data a header declares, and reads image
/// elements from the offsets it declares; the SGI codec sets aside its
/// run-length tables by the declared size, and decodes a line without
/// bounds, past its buffer. So a file of a few kilobytes could cost
/// gigabytes or end the process. Throws CliError naming `path`, the field
/// and its value when the header declares what the file cannot hold, more
/// than the memory budget (see ReadPolicy), or values the codec cannot read.
void CheckFileHeaders(const std::string& path);

}  // namespace veskar
