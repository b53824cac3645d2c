#include "app/files/colour.h"

#include <vector>

#include <OpenImageIO/strutil.h>

#include "app/cli_error.h"
#include "app/files/colour_config.h"

namespace veskar {
namespace {

OIIO::ColorConfig& Config() {
    // One configuration for the run: $OCIO when set, the built-in one
    // otherwise. OpenImageIO would fall back to the built-in one without a
    // word, and OpenColorIO would follow a configuration's loops until the
    // stack runs out: $OCIO is checked first.
    CheckColourConfig(true);
    static OIIO::ColorConfig config;
    const std::string path = ColourConfigPath();
    if (!path.empty() && OIIO::Strutil::iequals(config.configname(), "built-in")) {
        throw CliError("$OCIO " + path + ": cannot load: " + config.geterror(), 1);
    }
    return config;
}

bool Known(const OIIO::ColorConfig& config, const std::string& name) {
    for (int i = 0; i < config.getNumColorSpaces(); ++i) {
        if (OIIO::Strutil::iequals(config.getColorSpaceNameByIndex(i), name)) return true;
    }
    const char* role = config.getColorSpaceNameByRole(name);
    return role != nullptr && *role != '\0';
}

}  // namespace

std::string ColourSpaceOf(const OIIO::ImageSpec& spec) {
    // OpenImageIO reads every EXR as Linear; the file's own tag, when it has
    // one, says what its values really are.
    const std::string tagged = spec.get_string_attribute(kExrColourSpaceAttribute);
    return tagged.empty() ? std::string(spec.get_string_attribute("oiio:ColorSpace")) : tagged;
}

std::string WorkingLinearSpace() {
    const char* role = Config().getColorSpaceNameByRole("scene_linear");
    return role != nullptr && *role != '\0' ? std::string(role) : std::string("linear");
}

std::string ValuesSpace(const std::string& tag) {
    if (tag.empty() || (OIIO::Strutil::iequals(tag, "linear") && !Known(Config(), tag))) {
        return WorkingLinearSpace();
    }
    return tag;
}

ColourConversion::ColourConversion(const std::string& from, const std::string& to, const std::string& option)
    : to_(to) {
    OIIO::ColorConfig& config = Config();
    for (const std::string& name : {from, to}) {
        if (!Known(config, name)) {
            std::string known;
            for (int i = 0; i < config.getNumColorSpaces(); ++i) {
                known += (i ? ", " : "") + std::string(config.getColorSpaceNameByIndex(i));
            }
            throw CliError(option + " " + name + ": not a colour space of the colour configuration (" + known + ")",
                           2);
        }
    }
    processor_ = config.createColorProcessor(from, to);
    if (!processor_) {
        throw CliError(option + ": cannot convert from " + from + " to " + to + ": " + config.geterror(), 2);
    }
}

void ColourConversion::ApplyRgb(float* rgb, int count) const {
    // One line of packed triples: OpenColorIO checks that the line step
    // holds the pixel steps, so it is the whole line's, not 0.
    const OIIO::stride_t pixelBytes = 3 * sizeof(float);
    processor_->apply(rgb, count, 1, 3, sizeof(float), pixelBytes, pixelBytes * count);
}

void ColourConversion::Apply(Image& image) const {
    std::vector<float> line(static_cast<std::size_t>(image.Width()) * 3);
    for (int y = 0; y < image.Height(); ++y) {
        for (int x = 0; x < image.Width(); ++x) {
            const float* record = image.Plane1Pixel(x, y);
            float* rgb = line.data() + static_cast<std::size_t>(x) * 3;
            rgb[0] = record[2];
            rgb[1] = record[1];
            rgb[2] = record[0];
        }
        ApplyRgb(line.data(), image.Width());
        for (int x = 0; x < image.Width(); ++x) {
            float* record = image.Plane1Pixel(x, y);
            const float* rgb = line.data() + static_cast<std::size_t>(x) * 3;
            record[2] = rgb[0];
            record[1] = rgb[1];
            record[0] = rgb[2];
        }
    }
}

}  // namespace veskar
