#pragma once

#include <array>

#include "host/image.h"
#include "host/tool_instance.h"

namespace veskar {

/// Half the side of the square a pick averages when no radius is given: a 5 x 5
/// square, enough to average out grain on a screen.
inline constexpr int kDefaultPickRadius = 2;

/// The mean red, green and blue of the pixels in the (2 radius + 1)-square
/// around (x, y), clipped to the image. (x, y) must lie inside the image and
/// `radius` must not be negative: callers check both against their own input.
std::array<double, 3> MeanColour(const Image& image, int x, int y, int radius);

/// Sets the key colour control channel by channel through the set path, so
/// that the Value sliders follow in the current colour space.
void SetKeyColour(host::ToolInstance& tool, const std::array<double, 3>& rgb);

}  // namespace veskar
