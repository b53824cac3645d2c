// Frames read and written a strip of lines at a time against the whole-frame
// way: the same host image bit for bit, and the same file byte for byte, over
// the kinds of file a pipeline hands over. Images are wide enough that a
// frame takes several strips, and the last strip is a short one.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include <OpenImageIO/imageio.h>

#include "app/files/colour.h"
#include "app/files/image_file.h"
#include "app/files/keyed_file.h"

namespace fs = std::filesystem;
using OIIO::TypeDesc;
using namespace veskar;

namespace {

// A line of 4000 pixels is 47 KiB as float RGB and 62.5 KiB as float RGBA,
// whatever the file stores: a strip holds 64 to 96 lines, so 100 lines and
// more take several strips and end with a short one.
constexpr int kWidth = 4000;
constexpr int kHeight = 150;

struct FileCase {
    std::string name;        // the source file's name; its ending picks the format
    std::vector<OIIO::ImageSpec> parts;
    std::string output;      // the keyed file's name
    WriteOptions write;
    std::string part;        // --part: the part keyed; "" for the first with colour
};

OIIO::ImageSpec Spec(std::vector<std::string> channels, TypeDesc type, int width = kWidth,
                     int height = kHeight) {
    OIIO::ImageSpec spec(width, height, static_cast<int>(channels.size()), type);
    spec.channelnames = std::move(channels);
    spec.alpha_channel = -1;
    for (int c = 0; c < spec.nchannels; ++c) {
        if (spec.channelnames[c] == "A") spec.alpha_channel = c;
    }
    return spec;
}

class StripFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::path(::testing::TempDir()) /
              ("veskar_strips_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
               "_" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        // Both writes of a file carry the same DateTime.
        ::setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    }
    void TearDown() override {
        ::unsetenv("SOURCE_DATE_EPOCH");
        fs::remove_all(dir);
    }

    std::string Path(const std::string& name) const { return (dir / name).string(); }

    // Writes the parts with values that differ per pixel, channel and part,
    // alpha among them 0, negative, small and above 1.
    std::string WriteSource(const FileCase& file) {
        const std::string path = Path(file.name);
        auto out = OIIO::ImageOutput::create(path);
        EXPECT_TRUE(out) << OIIO::geterror();
        if (!out) return path;
        const bool opened = file.parts.size() == 1
                                ? out->open(path, file.parts[0])
                                : out->open(path, static_cast<int>(file.parts.size()), file.parts.data());
        EXPECT_TRUE(opened) << out->geterror();
        for (std::size_t p = 0; p < file.parts.size(); ++p) {
            const OIIO::ImageSpec& spec = file.parts[p];
            if (p > 0) {
                EXPECT_TRUE(out->open(path, spec, OIIO::ImageOutput::AppendSubimage)) << out->geterror();
            }
            std::vector<float> pixels(spec.image_pixels() * spec.nchannels);
            for (std::size_t i = 0; i < pixels.size(); ++i) {
                const std::size_t channel = i % spec.nchannels;
                float value = static_cast<float>((i * 37 + p * 11) % 251) / 250.0f;
                if (static_cast<int>(channel) == spec.alpha_channel) {
                    const float alphas[] = {0.0f, -0.25f, 0.001f, 0.5f, 1.0f, 1.5f, value};
                    value = alphas[(i / spec.nchannels) % 7];
                }
                pixels[i] = value;
            }
            EXPECT_TRUE(out->write_image(TypeDesc::FLOAT, pixels.data())) << out->geterror();
        }
        EXPECT_TRUE(out->close()) << out->geterror();
        return path;
    }

    fs::path dir;
};

std::string Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Plane 1 and plane 2 of two images hold the same bits.
void ExpectSamePlanes(const Image& a, const Image& b, const std::string& what) {
    ASSERT_EQ(a.Width(), b.Width()) << what;
    ASSERT_EQ(a.Height(), b.Height()) << what;
    ASSERT_EQ(a.ExtraChannelNames(), b.ExtraChannelNames()) << what;
    const std::size_t pixels = static_cast<std::size_t>(a.Width()) * a.Height();
    EXPECT_EQ(0, std::memcmp(a.PlaneBytes(1), b.PlaneBytes(1), pixels * 16)) << what << ": plane 1 differs";
    if (a.ExtraChannelCount() > 0) {
        EXPECT_EQ(0, std::memcmp(a.PlaneBytes(2), b.PlaneBytes(2), pixels * 4 * a.ExtraChannelCount()))
            << what << ": plane 2 differs";
    }
}

std::vector<FileCase> Cases() {
    std::vector<FileCase> cases;
    {
        // Float RGBA with a data window away from the origin.
        OIIO::ImageSpec spec = Spec({"R", "G", "B", "A"}, TypeDesc::FLOAT);
        spec.x = 3;
        spec.y = 5;
        spec.attribute("compression", "zip");
        cases.push_back({"float.exr", {spec}, "float_out.exr", {}, ""});
    }
    {
        // Half RGB: the alpha is added; PIZ blocks of 32 lines.
        OIIO::ImageSpec spec = Spec({"R", "G", "B"}, TypeDesc::HALF);
        spec.attribute("compression", "piz");
        cases.push_back({"half_rgb.exr", {spec}, "half_rgb_out.exr", {}, ""});
    }
    {
        // Further channels of mixed types, grey colour.
        OIIO::ImageSpec spec = Spec({"Y", "A", "Z", "mask"}, TypeDesc::HALF);
        spec.channelformats = {TypeDesc::HALF, TypeDesc::HALF, TypeDesc::FLOAT, TypeDesc::HALF};
        spec.attribute("compression", "zips");
        cases.push_back({"grey_extra.exr", {spec}, "grey_extra_out.exr", {}, ""});
    }
    {
        // Further channels before and after the colour, straight colour
        // converted to another space on the way out.
        OIIO::ImageSpec spec = Spec({"N.x", "B", "G", "R", "A", "N.y"}, TypeDesc::FLOAT);
        FileCase file{"extra.exr", {spec}, "extra_out.exr", {}, ""};
        file.write.keyed = Association::Straight;
        file.write.outputSpace = "sRGB";
        cases.push_back(file);
    }
    {
        // Tiled, 64 x 48 tiles: strips are whole tile rows.
        OIIO::ImageSpec spec = Spec({"R", "G", "B", "A"}, TypeDesc::HALF);
        spec.tile_width = 64;
        spec.tile_height = 48;
        spec.attribute("compression", "zip");
        cases.push_back({"tiled.exr", {spec}, "tiled_out.exr", {}, ""});
    }
    {
        // Two parts: the second is keyed, the first copied as stored.
        OIIO::ImageSpec matte = Spec({"R", "G", "B", "A"}, TypeDesc::HALF);
        matte.attribute("name", "matte");
        OIIO::ImageSpec beauty = Spec({"R", "G", "B", "A", "Z"}, TypeDesc::FLOAT);
        beauty.attribute("name", "beauty");
        FileCase file{"parts.exr", {matte, beauty}, "parts_out.exr", {}, "beauty"};
        cases.push_back(file);
    }
    {
        // PNG stores straight colour: premultiplied colour is divided out
        // before it is rounded to 8 bits.
        OIIO::ImageSpec spec = Spec({"R", "G", "B", "A"}, TypeDesc::UINT8, kWidth, 100);
        cases.push_back({"straight.png", {spec}, "straight_out.png", {}, ""});
    }
    {
        // 16-bit TIFF with its own compressed strips of lines.
        OIIO::ImageSpec spec = Spec({"R", "G", "B", "A"}, TypeDesc::UINT16, kWidth, 130);
        spec.attribute("compression", "zip");
        FileCase file{"sixteen.tif", {spec}, "sixteen_out.tif", {}, ""};
        file.write.stored = Association::Straight;
        file.write.storedGiven = true;
        cases.push_back(file);
    }
    {
        // Float TIFF to half EXR.
        OIIO::ImageSpec spec = Spec({"R", "G", "B", "A"}, TypeDesc::FLOAT, kWidth, 110);
        FileCase file{"float.tif", {spec}, "from_tiff.exr", {}, ""};
        file.write.type = TypeDesc::HALF;
        file.write.compression = "dwaa:45";
        cases.push_back(file);
    }
    return cases;
}

TEST_F(StripFiles, ReadIntoThePlanesAsTheWholeFrameWay) {
    for (const FileCase& file : Cases()) {
        const std::string source = WriteSource(file);
        ReadOptions strips;
        strips.part = file.part;
        ReadOptions whole = strips;
        whole.wholeFrame = true;
        const FileImage byFrame = ReadImageFile(source, whole);
        const FileImage byStrip = ReadImageFile(source, strips);
        EXPECT_EQ(byStrip.partName, file.part) << file.name;
        ExpectSamePlanes(*byFrame.image, *byStrip.image, file.name);
    }
}

TEST_F(StripFiles, ColourConvertedOnReadAsTheWholeFrameWay) {
    const FileCase file = Cases()[0];
    const std::string source = WriteSource(file);
    const ColourConversion toLinear("sRGB", "linear", "--input-space");
    ReadOptions whole;
    whole.wholeFrame = true;
    whole.inputSpace = &toLinear;
    ReadOptions strips;
    strips.inputSpace = &toLinear;
    ExpectSamePlanes(*ReadImageFile(source, whole).image, *ReadImageFile(source, strips).image, file.name);
}

TEST_F(StripFiles, WrittenFileIsTheWholeFrameWaysByteForByte) {
    for (const FileCase& file : Cases()) {
        const std::string sourcePath = WriteSource(file);
        ReadOptions read;
        read.part = file.part;
        FileImage source = ReadImageFile(sourcePath, read);
        // The source image stands in for a render: every value the writer
        // meets, alpha 0 and below included, reaches it.
        const Image& keyed = *source.image;
        WriteOptions whole = file.write;
        whole.wholeFrame = true;
        const std::string byFrame = Path("frame_" + file.output);
        const std::string byStrip = Path("strip_" + file.output);
        WriteKeyedFile(byFrame, source, keyed, whole);
        WriteKeyedFile(byStrip, source, keyed, file.write);
        const std::string frameBytes = Bytes(byFrame);
        ASSERT_GT(frameBytes.size(), 1000u) << file.output;
        EXPECT_TRUE(frameBytes == Bytes(byStrip)) << file.output << ": the strip-written file differs";
    }
}

}  // namespace
