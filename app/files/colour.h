#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include <OpenImageIO/color.h>

#include "host/image.h"

namespace veskar {

/// The EXR header attribute that names the colour space of the values
/// (OpenImageIO keeps its own tag out of EXR files and reads them as Linear).
inline constexpr const char* kExrColourSpaceAttribute = "colorSpace";

/// The colour space tag OpenImageIO gives a file's values ("sRGB",
/// "Linear"); "" when the file says nothing.
std::string ColourSpaceOf(const OIIO::ImageSpec& spec);

/// The sRGB transfer curve: a display-encoded value to linear light.
inline double SrgbToLinear(double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); }

/// SrgbToLinear of a stored float. The 256 values an 8-bit file is read as
/// (k times the float nearest 1/255) are looked up, each made by SrgbToLinear
/// once: the same values, without a pow for every channel of every pixel.
inline double SrgbToLinear(float v) {
    struct Levels {
        float stored[256];
        double linear[256];
        Levels() {
            for (int k = 0; k < 256; ++k) {
                stored[k] = static_cast<float>(k) * (1.0f / 255.0f);
                linear[k] = SrgbToLinear(static_cast<double>(stored[k]));
            }
        }
    };
    static const Levels levels;
    if (v >= 0.0f && v <= 1.0f) {
        const auto k = static_cast<int>(std::lround(v * 255.0f));
        if (std::bit_cast<std::uint32_t>(levels.stored[k]) == std::bit_cast<std::uint32_t>(v)) return levels.linear[k];
    }
    return SrgbToLinear(static_cast<double>(v));
}
/// Linear light to the sRGB-encoded value.
inline double LinearToSrgb(double v) { return v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055; }

/// The linear space keying works in after --input-space: the colour
/// configuration's scene-linear role ($OCIO when set), "linear" without one.
std::string WorkingLinearSpace();

/// The colour space of the colour configuration that values tagged `tag`
/// are in: the tag itself, or WorkingLinearSpace() for values without a tag
/// and for "linear" (OpenImageIO's tag for every EXR) when the configuration
/// has no space of that name.
std::string ValuesSpace(const std::string& tag);

/// A conversion between two colour spaces of OpenImageIO's colour management
/// (an OpenColorIO configuration when $OCIO is set, the built-in sRGB, linear
/// and Rec.709 otherwise), applied to the colour of host image records.
class ColourConversion {
public:
    /// Throws CliError naming `option` and the space when either is unknown.
    ColourConversion(const std::string& from, const std::string& to, const std::string& option);

    /// Converts the colour of every record of plane 1, line by line, leaving
    /// alpha. The colour must be straight (not premultiplied): transfer
    /// curves apply to colour, not to colour scaled by coverage.
    void Apply(Image& image) const;

    /// Converts `count` RGB triples in place.
    void ApplyRgb(float* rgb, int count) const;

    const std::string& To() const noexcept { return to_; }

private:
    std::string to_;
    OIIO::ColorProcessorHandle processor_;
};

}  // namespace veskar
