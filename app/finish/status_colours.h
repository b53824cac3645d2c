#pragma once

namespace veskar::finish {

/// Status view colours: fully keyed (alpha 0 or less), partly keyed, solid
/// (alpha 1 or more), as 8-bit sRGB. The tuning page and the status view of a
/// finished frame show the same three.
inline constexpr unsigned char kStatusKeyed[3] = {28, 36, 92};
inline constexpr unsigned char kStatusPartial[3] = {240, 160, 32};
inline constexpr unsigned char kStatusSolid[3] = {235, 235, 235};

}  // namespace veskar::finish
