#pragma once

namespace keying {

/// One colour as the pixel record holds it: four 32-bit floats in the order
/// blue, green, red, alpha. A colour in a working colour space keeps p1 in the
/// red place, p2 in the green place and p3 in the blue place; the fourth value
/// of a converted colour is 1 and is never read.
struct Colour {
    float b = 0.0f;
    float g = 0.0f;
    float r = 0.0f;
    float a = 1.0f;
};

}  // namespace keying
