#pragma once

#include <algorithm>
#include <cstddef>

namespace veskar {

/// About this much of a file's interleaved channels is read or written at a
/// time, beside the host image.
inline constexpr std::size_t kStripBytes = std::size_t{4} << 20;

/// The lines of one strip of an image `height` lines high whose lines take
/// `lineBytes` each in the file's channels: about kStripBytes, whole blocks
/// of `block` lines (tile rows, compressed blocks of lines) so that no block
/// is decoded or gathered twice, and never more than the image.
inline int StripRows(int height, int block, std::size_t lineBytes) {
    const std::size_t wanted = std::max<std::size_t>(1, kStripBytes / std::max<std::size_t>(1, lineBytes));
    const std::size_t blocks = (wanted + block - 1) / block;
    return static_cast<int>(std::min(blocks * static_cast<std::size_t>(block), static_cast<std::size_t>(height)));
}

}  // namespace veskar
