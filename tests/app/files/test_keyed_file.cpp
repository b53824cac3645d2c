// Keyed files as a pipeline reads them: the alpha convention of each format,
// refusals instead of silent loss, every part and view, the container, and
// provenance and colour tags. Runs veskar as users do.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>
#include <OpenImageIO/strutil.h>

#include "run_veskar.h"
#include "test_folder.h"

namespace fs = std::filesystem;
using OIIO::TypeDesc;
using veskar_test::Outcome;

namespace {

// Settings under which the key leaves every pixel whole (matte 1, colour as
// it came) and the written alpha is the plate's: the colour and alpha the
// writer receives are then the plate's own, exactly.
const std::vector<std::string> kPassKey = {"--key-color", "1,0,1", "--set", "BGAlphaBlend=Multiply"};

// One pixel per alpha of interest: colour, alpha.
struct Sample {
    float rgb[3];
    float alpha;
};
const Sample kSamples[] = {
    {{0.2f, 0.4f, 0.6f}, 0.0f},
    {{0.004f, 0.006f, 0.008f}, 0.01f},
    {{0.1f, 0.2f, 0.3f}, 0.5f},
    {{0.2f, 0.4f, 0.6f}, 1.0f},
};

class KeyedFile : public veskar_test::FolderTest {
protected:
    KeyedFile() : FolderTest("files") {}

    Outcome Veskar(std::vector<std::string> args) { return veskar_test::RunVeskar(args, dir); }
    std::string Path(const std::string& name) const { return (dir / name).string(); }

    // Writes `specs.size()` parts, each filled with values that differ per
    // pixel, channel and part.
    std::string WriteParts(const std::string& name, const std::vector<OIIO::ImageSpec>& specs) {
        const std::string path = Path(name);
        auto out = OIIO::ImageOutput::create(path);
        EXPECT_TRUE(out && out->open(path, static_cast<int>(specs.size()), specs.data())) << OIIO::geterror();
        for (std::size_t p = 0; p < specs.size(); ++p) {
            if (p > 0) {
                EXPECT_TRUE(out->open(path, specs[p], OIIO::ImageOutput::AppendSubimage)) << out->geterror();
            }
            std::vector<float> pixels(specs[p].image_pixels() * specs[p].nchannels);
            for (std::size_t i = 0; i < pixels.size(); ++i) {
                pixels[i] = static_cast<float>((i * 37 + p * 11) % 251) / 250.0f;
            }
            EXPECT_TRUE(out->write_image(TypeDesc::FLOAT, pixels.data())) << out->geterror();
        }
        EXPECT_TRUE(out->close());
        return path;
    }

    std::string WriteSamples(const std::string& name) {
        OIIO::ImageSpec spec(4, 1, 4, TypeDesc::FLOAT);
        OIIO::ImageBuf buf(spec);
        for (int x = 0; x < 4; ++x) {
            const float pixel[4] = {kSamples[x].rgb[0], kSamples[x].rgb[1], kSamples[x].rgb[2], kSamples[x].alpha};
            buf.setpixel(x, 0, pixel);
        }
        EXPECT_TRUE(buf.write(Path(name)));
        return Path(name);
    }

};

OIIO::ImageSpec PartSpec(const std::string& name, std::vector<std::string> channels, TypeDesc type,
                         const std::string& view = "") {
    OIIO::ImageSpec spec(12, 8, static_cast<int>(channels.size()), type);
    spec.channelnames = channels;
    spec.attribute("name", name);
    if (!view.empty()) spec.attribute("view", view);
    return spec;
}

// The stored values of one part and level, in the file's own types, and the
// values as floats read without any association applied.
struct Stored {
    OIIO::ImageSpec spec;
    std::vector<unsigned char> bytes;
    std::vector<float> values;
};

Stored ReadStored(const std::string& path, int part = 0, int level = 0) {
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);  // the colour as stored
    auto in = OIIO::ImageInput::open(path, &config);
    Stored stored;
    if (!in || !in->seek_subimage(part, level)) {
        ADD_FAILURE() << path << ": cannot open part " << part << " level " << level;
        return stored;
    }
    stored.spec = in->spec();
    stored.bytes.resize(stored.spec.image_bytes(true));
    EXPECT_TRUE(in->read_image(part, level, 0, stored.spec.nchannels, TypeDesc::UNKNOWN, stored.bytes.data()));
    stored.values.resize(stored.spec.image_pixels() * stored.spec.nchannels);
    EXPECT_TRUE(in->read_image(part, level, 0, stored.spec.nchannels, TypeDesc::FLOAT, stored.values.data()));
    return stored;
}

float ThroughHalf(float v) {
    std::uint16_t half = 0;
    OIIO::convert_pixel_values(TypeDesc::FLOAT, &v, TypeDesc::HALF, &half);
    OIIO::convert_pixel_values(TypeDesc::HALF, &half, TypeDesc::FLOAT, &v);
    return v;
}

int PartCount(const std::string& path) {
    auto in = OIIO::ImageInput::open(path);
    int count = 0;
    while (in && in->seek_subimage(count, 0)) ++count;
    return count;
}

}  // namespace

// ---------------------------------------------------------------------------
// Alpha convention, per format, with Alpha Multiply on (premultiplied) and off
// (straight).

// What a file stores beside alpha.
enum class Kept { AsRendered, Straight, Premultiplied };

struct RoundTrip {
    std::string file;
    std::vector<std::string> options;
    float scale;        // 0 for float data, else the largest integer stored
    bool half;
    Kept kept;
    bool tagged;        // the header says when the colour is straight (EXR has no such tag)
};

TEST_F(KeyedFile, StoredColourFollowsTheFormatsAlphaConvention) {
    const std::string plate = WriteSamples("samples.exr");
    const std::vector<RoundTrip> trips = {
        {"float.exr", {}, 0.0f, false, Kept::AsRendered, false},
        {"half.exr", {"--type", "half"}, 0.0f, true, Kept::AsRendered, false},
        {"premultiplied.exr", {"--alpha", "premultiplied"}, 0.0f, false, Kept::Premultiplied, false},
        {"straight.exr", {"--alpha", "straight"}, 0.0f, false, Kept::Straight, false},
        {"eight.png", {"--type", "uint8"}, 255.0f, false, Kept::Straight, true},
        {"sixteen.png", {"--type", "uint16"}, 65535.0f, false, Kept::Straight, true},
        {"eight.tif", {"--type", "uint8"}, 255.0f, false, Kept::AsRendered, true},
        {"sixteen.tif", {"--type", "uint16"}, 65535.0f, false, Kept::AsRendered, true},
        {"straight.tif", {"--type", "uint16", "--alpha", "straight"}, 65535.0f, false, Kept::Straight, true},
        {"premultiplied.tif", {"--type", "uint16", "--alpha", "premultiplied"}, 65535.0f, false,
         Kept::Premultiplied, true},
    };
    for (const bool multiply : {true, false}) {
        for (const RoundTrip& trip : trips) {
            const std::string label = trip.file + (multiply ? " alpha multiply on" : " alpha multiply off");
            std::vector<std::string> args = {"render", plate, "-o", Path(trip.file)};
            args.insert(args.end(), kPassKey.begin(), kPassKey.end());
            args.insert(args.end(), trip.options.begin(), trip.options.end());
            args.insert(args.end(), {"--set", multiply ? "Alphamult=on" : "Alphamult=off"});
            const Outcome run = Veskar(args);
            ASSERT_EQ(run.exitCode, 0) << label << "\n" << run.err;
            const bool straight = trip.kept == Kept::Straight || (trip.kept == Kept::AsRendered && !multiply);
            const Stored stored = ReadStored(Path(trip.file));
            ASSERT_EQ(stored.spec.nchannels, 4) << label;
            EXPECT_EQ(stored.spec.get_int_attribute("oiio:UnassociatedAlpha"), trip.tagged && straight ? 1 : 0)
                << label;
            for (int x = 0; x < 4; ++x) {
                const Sample& s = kSamples[x];
                for (int c = 0; c < 4; ++c) {
                    // The exact value: divided by alpha in float where the
                    // render is premultiplied and the file straight (colour
                    // kept where alpha is 0), multiplied where it is the
                    // other way round; then the file's type is reached once.
                    float v = c == 3 ? s.alpha : s.rgb[c];
                    if (c < 3 && multiply && straight && s.alpha > 0.0f) v = v / s.alpha;
                    if (c < 3 && !multiply && !straight) v = v * s.alpha;
                    float expected = trip.half ? ThroughHalf(v) : v;
                    float got = stored.values[x * 4 + c];
                    if (trip.scale > 0.0f) {
                        // Integer codes, as stored.
                        expected = std::floor(std::clamp(v, 0.0f, 1.0f) * trip.scale + 0.5f);
                        got = std::round(got * trip.scale);
                    }
                    EXPECT_EQ(got, expected)
                        << label << ": alpha " << s.alpha << ", channel " << c;
                }
            }
        }
    }
}

TEST_F(KeyedFile, EightBitPngIsDividedBeforeItIsRounded) {
    // Hand-worked: at alpha 0.01 the premultiplied 0.004, 0.006, 0.008 are
    // 0.4, 0.6, 0.8 straight: 102, 153, 204 in eight bits. Rounding first
    // (1, 2, 2 over an alpha of 3) would store 85, 170, 170.
    const std::string plate = WriteSamples("samples.exr");
    std::vector<std::string> args = {"render", plate, "-o", Path("out.png"), "--type", "uint8"};
    args.insert(args.end(), kPassKey.begin(), kPassKey.end());
    ASSERT_EQ(Veskar(args).exitCode, 0);
    const Stored stored = ReadStored(Path("out.png"));
    const unsigned char* p = stored.bytes.data() + 4;  // the second pixel
    EXPECT_EQ(std::vector<int>(p, p + 4), (std::vector<int>{102, 153, 204, 3}));
}

// A real key with Alpha Multiply off: the EXR holds the tool's straight
// colour bit for bit, also where the matte is 0, unless premultiplied colour
// is asked for; the run says once that the file holds straight colour.
TEST_F(KeyedFile, ExrHoldsTheToolsStraightColourWithAlphaMultiplyOff) {
    // Screen green on the left half, turning orange on the right.
    OIIO::ImageBuf buf(OIIO::ImageSpec(16, 2, 3, TypeDesc::FLOAT));
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 16; ++x) {
            const float t = x < 8 ? 0.0f : static_cast<float>(x - 7) / 8.0f;
            const float pixel[3] = {0.1f + 0.7f * t, 0.8f - 0.4f * t, 0.15f - 0.05f * t};
            buf.setpixel(x, y, pixel);
        }
    }
    for (const char* name : {"plate.exr", "plate.0001.exr", "plate.0002.exr"}) ASSERT_TRUE(buf.write(Path(name)));
    const std::vector<std::string> key = {"--set", "Colorspace=RGB", "--screen", "0,0,8,2", "--set", "Alphamult=off"};
    auto render = [&](const std::string& input, const std::string& output, std::vector<std::string> more) {
        std::vector<std::string> args = {"render", Path(input), "-o", Path(output)};
        args.insert(args.end(), key.begin(), key.end());
        args.insert(args.end(), more.begin(), more.end());
        return Veskar(args);
    };
    const std::string note = "EXR holds straight colour, as rendered with Alpha Multiply off";
    // A float TIFF asked for straight colour takes the render as it is.
    Outcome run = render("plate.exr", "kept.tif", {"--alpha", "straight", "--type", "float"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err.find(note), std::string::npos) << run.err;
    run = render("plate.exr", "out.exr", {"--type", "float"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("veskar: note: " + Path("out.exr") + ": " + note), std::string::npos) << run.err;
    run = render("plate.exr", "pre.exr", {"--type", "float", "--alpha", "premultiplied"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err.find(note), std::string::npos) << run.err;

    const Stored kept = ReadStored(Path("kept.tif"));
    const Stored exr = ReadStored(Path("out.exr"));
    const Stored pre = ReadStored(Path("pre.exr"));
    ASSERT_EQ(exr.values.size(), kept.values.size());
    ASSERT_EQ(pre.values.size(), kept.values.size());
    int keyedOut = 0;
    for (std::size_t i = 0; i < kept.values.size(); i += 4) {
        const float alpha = kept.values[i + 3];
        for (std::size_t c = 0; c < 4; ++c) {
            EXPECT_EQ(exr.values[i + c], kept.values[i + c]) << "pixel " << i / 4 << ", channel " << c;
            EXPECT_EQ(pre.values[i + c], c == 3 ? alpha : kept.values[i + c] * alpha) << "pixel " << i / 4;
        }
        if (alpha == 0.0f && exr.values[i + 1] > 0.5f) ++keyedOut;
    }
    EXPECT_EQ(keyedOut, 16) << "the screen's colour stays where the matte is 0";
    EXPECT_EQ(Veskar({"check", Path("out.exr"), "--like", Path("plate.exr")}).exitCode, 0);

    // Said once per run, not once per frame.
    run = render("plate.####.exr", "seq.####.exr", {"--frames", "1-2"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::size_t first = run.err.find("EXR holds straight colour");
    ASSERT_NE(first, std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("EXR holds straight colour", first + 1), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("error"), std::string::npos) << run.err;
}

TEST_F(KeyedFile, AlphaConventionTheFormatCannotStoreIsRefused) {
    const std::string plate = WriteSamples("samples.exr");
    Outcome run = Veskar({"render", plate, "-o", Path("out.dpx"), "--alpha", "straight"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("DPX stores premultiplied colour only (write EXR, TIFF or PNG"), std::string::npos)
        << run.err;
    run = Veskar({"render", plate, "-o", Path("out.png"), "--alpha", "premultiplied"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("PNG stores straight colour only"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(Path("out.dpx")) || fs::exists(Path("out.png")));
}

// ---------------------------------------------------------------------------
// No silent loss.

TEST_F(KeyedFile, FormatsThatWouldLoseDataAreRefusedUnlessTheLossIsAsked) {
    const std::string plate = WriteParts("plate.exr", {PartSpec("", {"R", "G", "B", "A", "Z"}, TypeDesc::HALF)});
    Outcome run = Veskar({"render", plate, "-o", Path("out.jpg")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("out.jpg: JPEG cannot hold the matte (alpha)"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--drop-alpha"), std::string::npos);
    run = Veskar({"render", plate, "-o", Path("out.jpg"), "--drop-alpha"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("JPEG cannot hold the further channels Z"), std::string::npos) << run.err;
    run = Veskar({"render", plate, "-o", Path("out.jpg"), "--drop-alpha", "--drop-channels"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadStored(Path("out.jpg")).spec.nchannels, 3);

    run = Veskar({"render", plate, "-o", Path("out.png")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("PNG cannot hold the further channels Z"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--drop-channels"), std::string::npos);
    EXPECT_FALSE(fs::exists(Path("out.png")));
    run = Veskar({"render", plate, "-o", Path("out.png"), "--drop-channels"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadStored(Path("out.png")).spec.channelnames, (std::vector<std::string>{"R", "G", "B", "A"}));

    const std::string parts = WriteParts("parts.exr", {PartSpec("a", {"R", "G", "B"}, TypeDesc::HALF),
                                                       PartSpec("b", {"R", "G", "B"}, TypeDesc::HALF)});
    run = Veskar({"render", parts, "-o", Path("parts.png")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("PNG cannot hold the 2 parts"), std::string::npos) << run.err;
    // The TIFF writer, staged, would keep only the last part.
    run = Veskar({"render", parts, "-o", Path("parts.tif")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("TIFF cannot hold the 2 parts"), std::string::npos) << run.err;

    // TIFF keeps a further channel's values but not its name (Z would read
    // back as "channel4"), nor a layer's (fg.R as R).
    run = Veskar({"render", plate, "-o", Path("out.tif")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("TIFF cannot hold the further channels Z: write EXR to keep them"), std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(Path("out.tif")));
    run = Veskar({"render", plate, "-o", Path("out.tif"), "--drop-channels"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadStored(Path("out.tif")).spec.channelnames, (std::vector<std::string>{"R", "G", "B", "A"}));
    const std::string layer = WriteParts("layer.exr", {PartSpec("", {"fg.R", "fg.G", "fg.B"}, TypeDesc::HALF)});
    run = Veskar({"render", layer, "-o", Path("layer.tif"), "--layer", "fg"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("TIFF cannot name the channels of layer fg"), std::string::npos) << run.err;
}

TEST_F(KeyedFile, TypeTheFormatCannotStoreIsRefused) {
    const std::string plate = WriteSamples("samples.exr");
    Outcome run = Veskar({"render", plate, "-o", Path("out.exr"), "--type", "uint8"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("--type uint8: " + Path("out.exr") + ": EXR stores half, float"), std::string::npos)
        << run.err;
    run = Veskar({"render", plate, "-o", Path("out.png"), "--type", "half"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("PNG stores uint8, uint16"), std::string::npos) << run.err;
    // The TIFF writer writes half as float: asking for half is refused, and
    // a half input comes out as float.
    run = Veskar({"render", plate, "-o", Path("out.tif"), "--type", "half"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("TIFF stores uint8, uint16, float"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(Path("out.tif")));
}

// --compression and --type are checked against what the output format's
// writer takes: a name it does not know was written as zip, a level out of
// range was passed on, and DPX answered half with float.
TEST_F(KeyedFile, CompressionAndTypeTheWriterDoesNotTakeAreUsageErrors) {
    const std::string plate = WriteSamples("samples.exr");
    struct Bad {
        std::string out;
        std::vector<std::string> options;
        std::string message;
    };
    const std::string exrNames = "EXR has no compression 'bogus' (it takes none, rle, zip[:1-9], zips[:1-9], piz, "
                                 "pxr24, b44, b44a, dwaa[:LEVEL], dwab[:LEVEL])";
    const std::vector<Bad> bad = {
        {"out.exr", {"--compression", "bogus"}, "--compression bogus: " + Path("out.exr") + ": " + exrNames},
        {"out.exr", {"--compression", "jpeg:-5"}, "EXR has no compression 'jpeg'"},
        {"out.exr", {"--compression", "dwab:nan"}, "the level of dwab is a whole number from 1, not 'nan'"},
        {"out.exr", {"--compression", "dwaa:0"}, "the level of dwaa is a whole number from 1, not '0'"},
        {"out.exr", {"--compression", "dwaa:45.5"}, "not '45.5'"},
        {"out.exr", {"--compression", "zip:10"}, "--compression zip:10: " + Path("out.exr") +
                                                    ": the level of zip is 1 to 9, not '10'"},
        {"out.exr", {"--compression", "zips:"}, "the level of zips is 1 to 9, not ''"},
        {"out.exr", {"--compression", "piz:3"}, "piz takes no level"},
        {"out.exr", {"--compression", "ZIP"}, "EXR has no compression 'ZIP'"},
        {"out.tif", {"--compression", "ccittrle"}, "TIFF has no compression 'ccittrle' (it takes none, lzw"},
        {"out.tif", {"--compression", "lzw:3"}, "lzw takes no level"},
        {"out.png", {"--compression", "zip:10"}, "the level of zip is 0 to 9"},
        {"out.png", {"--compression", "dwaa"}, "PNG has no compression 'dwaa'"},
        {"out.jpg", {"--compression", "jpeg:-5", "--drop-alpha"}, "the level of jpeg is 1 to 100, not '-5'"},
        {"out.dpx", {"--compression", "rle"}, "DPX has no compression 'rle' (it takes none)"},
        {"out.dpx", {"--type", "half"}, "--type half: " + Path("out.dpx") + ": DPX stores uint8, uint16, float, double"},
    };
    for (const Bad& b : bad) {
        std::vector<std::string> args = {"render", plate, "-o", Path(b.out)};
        args.insert(args.end(), b.options.begin(), b.options.end());
        const Outcome run = Veskar(args);
        EXPECT_EQ(run.exitCode, 2) << b.message << "\n" << run.err;
        EXPECT_NE(run.err.find(b.message), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(Path(b.out))) << b.message;
    }

    // What the writers take still works, and reaches the file.
    struct Good {
        std::string out;
        std::vector<std::string> options;
        std::string compression;  // as read back; "" when the format does not say
    };
    const std::vector<Good> good = {
        {"zip9.exr", {"--compression", "zip:9"}, "zip"},
        {"dwaa.exr", {"--compression", "dwaa:200"}, "dwaa"},
        {"none.exr", {"--compression", "none"}, "none"},
        {"zip.tif", {"--compression", "zip:1"}, "zip"},
        {"lzw.tif", {"--compression", "lzw"}, "lzw"},
        {"zip0.png", {"--compression", "zip:0"}, ""},
        {"zip9.png", {"--compression", "zip:9"}, ""},
        {"huffman.png", {"--compression", "huffman"}, ""},
        {"q90.jpg", {"--compression", "jpeg:90", "--drop-alpha"}, ""},
        {"sixteen.dpx", {"--type", "uint16"}, ""},
        {"float.dpx", {"--type", "float", "--compression", "none"}, ""},
    };
    for (const Good& g : good) {
        std::vector<std::string> args = {"render", plate, "-o", Path(g.out)};
        args.insert(args.end(), g.options.begin(), g.options.end());
        const Outcome run = Veskar(args);
        ASSERT_EQ(run.exitCode, 0) << g.out << "\n" << run.err;
        const OIIO::ImageSpec spec = ReadStored(Path(g.out)).spec;
        if (!g.compression.empty()) {
            EXPECT_EQ(spec.get_string_attribute("compression"), g.compression) << g.out;
        }
    }
    EXPECT_EQ(ReadStored(Path("dwaa.exr")).spec.get_float_attribute("openexr:dwaCompressionLevel"), 200.0f);
    EXPECT_EQ(ReadStored(Path("sixteen.dpx")).spec.format, TypeDesc::UINT16);
    EXPECT_EQ(ReadStored(Path("float.dpx")).spec.format, TypeDesc::FLOAT);
    // PNG's level reaches deflate: no compression at 0.
    EXPECT_GT(fs::file_size(Path("zip0.png")), fs::file_size(Path("zip9.png")));
}

// ---------------------------------------------------------------------------
// Movies and animated images hold frames, not parts.

namespace {

// Writes an animated GIF of `frames` frames of 16 x 8 pixels.
std::string WriteAnimatedGif(const std::string& path, int frames) {
    const OIIO::ImageSpec spec(16, 8, 3, TypeDesc::UINT8);
    const std::vector<OIIO::ImageSpec> specs(static_cast<std::size_t>(frames), spec);
    auto out = OIIO::ImageOutput::create(path);
    EXPECT_TRUE(out && out->open(path, frames, specs.data())) << OIIO::geterror();
    for (int f = 0; f < frames && out; ++f) {
        if (f > 0) {
            EXPECT_TRUE(out->open(path, spec, OIIO::ImageOutput::AppendSubimage)) << out->geterror();
        }
        const std::vector<float> pixels(16 * 8 * 3, 0.2f * static_cast<float>(f + 1));
        EXPECT_TRUE(out->write_image(TypeDesc::FLOAT, pixels.data())) << out->geterror();
    }
    EXPECT_TRUE(out && out->close());
    return path;
}

}  // namespace

TEST_F(KeyedFile, MoviesAndAnimatedImagesAreRefusedNamingTheFile) {
    const std::string plate = WriteSamples("samples.exr");
    std::vector<std::pair<std::string, std::string>> movies = {
        {WriteAnimatedGif(Path("anim.gif"), 3), "anim.gif: a movie or animated image (3 frames) is not read"}};
    const std::string clip = Path("clip.mp4");
    if (std::system(("ffmpeg -loglevel error -y -f lavfi -i testsrc=size=64x48:rate=10 -t 0.5 '" + clip +
                     "' >/dev/null 2>&1").c_str()) == 0) {
        movies.push_back({clip, "clip.mp4: a movie or animated image (5 frames) is not read as a still image"});
    } else {
        std::cout << "ffmpeg is not installed: the movie is not tried\n";
    }
    for (const auto& [movie, message] : movies) {
        // Each of these ended, at times, in a crash inside the EXR writer. A
        // movie is now keyed as a sequence of frames, which one file cannot
        // take.
        for (int attempt = 0; attempt < 3; ++attempt) {
            Outcome run = Veskar({"render", movie, "-o", Path("out.exr")});
            if (movie == clip) {
                EXPECT_EQ(run.exitCode, 2) << run.err;
                EXPECT_NE(run.err.find(clip + " is a movie of 5 frames, and every frame would write this one file"),
                          std::string::npos)
                    << run.err;
            } else {
                EXPECT_EQ(run.exitCode, 1) << run.err;
                EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
            }
            EXPECT_FALSE(fs::exists(Path("out.exr"))) << movie;
        }
        Outcome run = Veskar({"render", plate, "-o", Path("out.exr"), "--key-image", movie});
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(Path("out.exr"))) << movie;
        ASSERT_EQ(Veskar({"render", plate, "-o", Path("keyed.exr")}).exitCode, 0);
        run = Veskar({"check", Path("keyed.exr"), "--like", movie});
        EXPECT_EQ(run.exitCode, 1) << run.out;
        EXPECT_NE(run.out.find("cannot be compared: the input " + movie + ": a movie or animated image"),
                  std::string::npos)
            << run.out;
    }
    // A single-frame GIF is a still image, and a multi-page TIFF's pages are
    // still read as parts.
    ASSERT_EQ(Veskar({"render", WriteAnimatedGif(Path("still.gif"), 1), "-o", Path("still.exr")}).exitCode, 0);
    const OIIO::ImageSpec page = OIIO::ImageSpec(12, 8, 4, TypeDesc::UINT8);
    const std::string pages = WriteParts("pages.tif", {page, page});
    const Outcome run = Veskar({"render", pages, "-o", Path("pages.exr")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(PartCount(Path("pages.exr")), 2);
}

// ---------------------------------------------------------------------------
// Parts and views.

TEST_F(KeyedFile, EveryPartComesOutAndTheUnkeyedOnesBitForBit) {
    // The first part holds no colour: the second is keyed.
    const std::string plate = WriteParts("plate.exr", {PartSpec("depth", {"Z"}, TypeDesc::FLOAT),
                                                       PartSpec("beauty", {"R", "G", "B", "A"}, TypeDesc::HALF),
                                                       PartSpec("extra", {"R", "G", "B"}, TypeDesc::HALF)});
    Outcome run = Veskar({"render", plate, "-o", Path("out.exr"), "--key-color", "0.5,0.5,0.5"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_EQ(PartCount(Path("out.exr")), 3);
    const std::vector<std::string> names = {"depth", "beauty", "extra"};
    for (int part = 0; part < 3; ++part) {
        const Stored in = ReadStored(plate, part);
        const Stored out = ReadStored(Path("out.exr"), part);
        EXPECT_EQ(out.spec.get_string_attribute("name"), names[part]);
        if (part == 1) {
            EXPECT_NE(out.bytes, in.bytes) << "the keyed part";
        } else {
            EXPECT_EQ(out.spec.channelnames, in.spec.channelnames);
            EXPECT_EQ(out.bytes, in.bytes) << "part " << part;
        }
    }
    // --part names another.
    run = Veskar({"render", plate, "-o", Path("extra.exr"), "--part", "extra", "--key-color", "0.5,0.5,0.5"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadStored(Path("extra.exr"), 1).bytes, ReadStored(plate, 1).bytes);
    EXPECT_NE(ReadStored(Path("extra.exr"), 2).bytes, ReadStored(plate, 2).bytes);
    run = Veskar({"render", plate, "-o", Path("none.exr"), "--part", "nope"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("--part nope: no part of that name (parts: depth, beauty, extra)"), std::string::npos)
        << run.err;
}

TEST_F(KeyedFile, StereoKeysTheViewAskedForAndPassesTheOtherUnchanged) {
    const std::string plate = WriteParts("stereo.exr", {PartSpec("left", {"R", "G", "B", "A"}, TypeDesc::HALF, "left"),
                                                        PartSpec("right", {"R", "G", "B", "A"}, TypeDesc::HALF, "right")});
    Outcome run = Veskar({"render", plate, "-o", Path("left.exr"), "--key-color", "0.5,0.5,0.5"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("1 frame keyed (view left)"), std::string::npos) << run.err;
    EXPECT_NE(ReadStored(Path("left.exr"), 0).bytes, ReadStored(plate, 0).bytes);
    EXPECT_EQ(ReadStored(Path("left.exr"), 1).bytes, ReadStored(plate, 1).bytes);

    run = Veskar({"render", plate, "-o", Path("right.exr"), "--view", "right", "--key-color", "0.5,0.5,0.5"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("(view right)"), std::string::npos) << run.err;
    EXPECT_EQ(ReadStored(Path("right.exr"), 0).bytes, ReadStored(plate, 0).bytes);
    const Stored right = ReadStored(Path("right.exr"), 1);
    EXPECT_NE(right.bytes, ReadStored(plate, 1).bytes);
    EXPECT_EQ(right.spec.get_string_attribute("view"), "right");
    run = Veskar({"render", plate, "-o", Path("bad.exr"), "--view", "centre"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("--view centre: no view of that name (views: left, right)"), std::string::npos) << run.err;
}

// ---------------------------------------------------------------------------
// The container.

TEST_F(KeyedFile, TilesCompressionAndChromaticitiesAreKept) {
    struct Case {
        std::string compression;
        int tile;
    };
    for (const Case& c : {Case{"dwaa", 16}, Case{"piz", 32}, Case{"pxr24", 0}}) {
        OIIO::ImageSpec spec = PartSpec("", {"R", "G", "B", "A"}, TypeDesc::HALF);
        spec.width = 64;
        spec.height = 48;
        spec.full_width = 64;
        spec.full_height = 48;
        spec.tile_width = spec.tile_height = c.tile;
        spec.attribute("compression", c.compression);
        if (c.compression == "dwaa") spec.attribute("compression", "dwaa:80");
        const float chromaticities[8] = {0.713f, 0.293f, 0.165f, 0.83f, 0.128f, 0.044f, 0.32168f, 0.33767f};
        spec.attribute("chromaticities", TypeDesc(TypeDesc::FLOAT, 8), chromaticities);
        const std::string plate = WriteParts(c.compression + ".exr", {spec});
        const std::string out = Path("out_" + c.compression + ".exr");
        Outcome run = Veskar({"render", plate, "-o", out});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const OIIO::ImageSpec written = ReadStored(out).spec;
        EXPECT_EQ(written.tile_width, c.tile) << c.compression;
        EXPECT_EQ(written.tile_height, c.tile) << c.compression;
        EXPECT_EQ(written.get_string_attribute("compression"), c.compression);
        if (c.compression == "dwaa") {
            EXPECT_EQ(written.get_float_attribute("openexr:dwaCompressionLevel"), 80.0f);
        }
        const OIIO::ParamValue* chroma = written.find_attribute("chromaticities");
        ASSERT_NE(chroma, nullptr);
        EXPECT_EQ(std::memcmp(chroma->data(), chromaticities, sizeof chromaticities), 0);
    }
    // --compression says otherwise.
    const std::string plate = Path("piz.exr");
    ASSERT_EQ(Veskar({"render", plate, "-o", Path("zip.exr"), "--compression", "zip"}).exitCode, 0);
    EXPECT_EQ(ReadStored(Path("zip.exr")).spec.get_string_attribute("compression"), "zip");
}

TEST_F(KeyedFile, MipMappedInputGivesEveryLevelMadeFromTheKeyedTop) {
    OIIO::ImageBuf top(OIIO::ImageSpec(64, 32, 4, TypeDesc::FLOAT));
    const float start[4] = {0.1f, 0.5f, 0.2f, 0.5f};
    const float end[4] = {0.9f, 0.3f, 0.6f, 1.0f};
    OIIO::ImageBufAlgo::fill(top, start, start, end, end);
    OIIO::ImageSpec config;
    config.attribute("maketx:filtername", "box");
    const std::string plate = Path("mip.exr");
    ASSERT_TRUE(OIIO::ImageBufAlgo::make_texture(OIIO::ImageBufAlgo::MakeTxTexture, top, plate, config))
        << OIIO::geterror();
    std::vector<std::string> args = {"render", plate, "-o", Path("out.exr"), "--set", "Alphamult=off"};
    args.insert(args.end(), kPassKey.begin(), kPassKey.end());
    Outcome run = Veskar(args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    auto in = OIIO::ImageInput::open(Path("out.exr"));
    ASSERT_TRUE(in);
    int levels = 0;
    while (in->seek_subimage(0, levels)) ++levels;
    EXPECT_EQ(levels, 7);  // 64 x 32 down to 1 x 1
    // The straight render is premultiplied in the file, and every lower level
    // is that keyed top scaled down, not the source's level.
    const Stored keyedTop = ReadStored(Path("out.exr"), 0, 0);
    OIIO::ImageSpec floatSpec = keyedTop.spec;
    floatSpec.set_format(TypeDesc::FLOAT);
    const OIIO::ImageBuf written(floatSpec, const_cast<float*>(keyedTop.values.data()));
    for (int level = 1; level < levels; ++level) {
        const Stored out = ReadStored(Path("out.exr"), 0, level);
        const Stored source = ReadStored(plate, 0, level);
        const OIIO::ROI roi(0, out.spec.width, 0, out.spec.height, 0, 1, 0, 4);
        const OIIO::ImageBuf expected = OIIO::ImageBufAlgo::resize(written, "", 0.0f, roi);
        std::vector<float> values(out.values.size());
        ASSERT_TRUE(expected.get_pixels(roi, TypeDesc::FLOAT, values.data()));
        EXPECT_EQ(out.values, values) << "level " << level;
        EXPECT_NE(out.values, source.values) << "level " << level;
    }
}

// ---------------------------------------------------------------------------
// Channel roles.

TEST_F(KeyedFile, ChannelsKeepTheirRolesByName) {
    struct Case {
        std::vector<std::string> in;
        std::vector<std::string> out;
    };
    const std::vector<Case> cases = {
        {{"R", "G", "Z"}, {"R", "G", "A", "Z"}},
        {{"R", "G"}, {"R", "G", "A"}},
        {{"G"}, {"G", "A"}},
        {{"Y"}, {"R", "G", "B", "A"}},
    };
    for (const Case& c : cases) {
        const std::string plate = WriteParts("plate.exr", {PartSpec("", c.in, TypeDesc::FLOAT)});
        Outcome run = Veskar({"render", plate, "-o", Path("out.exr"), "--key-color", "0.5,0.5,0.5"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const Stored in = ReadStored(plate);
        const Stored out = ReadStored(Path("out.exr"));
        EXPECT_EQ(out.spec.channelnames, c.out);
        for (const char* name : {"Z", "depth"}) {
            const int from = in.spec.channelindex(name);
            const int to = out.spec.channelindex(name);
            if (from < 0) continue;
            ASSERT_GE(to, 0);
            for (std::size_t p = 0; p < in.spec.image_pixels(); ++p) {
                EXPECT_EQ(out.values[p * out.spec.nchannels + to], in.values[p * in.spec.nchannels + from]) << name;
            }
        }
    }
    // Nothing to key: said, not guessed.
    const std::string depth = WriteParts("depth.exr", {PartSpec("", {"Z", "mask"}, TypeDesc::FLOAT)});
    Outcome run = Veskar({"render", depth, "-o", Path("out.exr")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("cannot key: the image has no colour channels (R, G, B or Y; channels: Z, mask)"),
              std::string::npos)
        << run.err;
}

TEST_F(KeyedFile, LayerKeysItsOwnChannelsAndLeavesTheRest) {
    const std::string plate =
        WriteParts("plate.exr", {PartSpec("", {"R", "G", "B", "A", "fg.R", "fg.G", "fg.B"}, TypeDesc::FLOAT)});
    Outcome run = Veskar({"render", plate, "-o", Path("out.exr"), "--layer", "fg", "--key-color", "0.5,0.5,0.5"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Stored in = ReadStored(plate);
    const Stored out = ReadStored(Path("out.exr"));
    EXPECT_EQ(out.spec.channelnames,
              (std::vector<std::string>{"R", "G", "B", "A", "fg.R", "fg.G", "fg.B", "fg.A"}));
    for (std::size_t p = 0; p < in.spec.image_pixels(); ++p) {
        for (int c = 0; c < 4; ++c) EXPECT_EQ(out.values[p * 8 + c], in.values[p * 7 + c]);
    }
    run = Veskar({"render", plate, "-o", Path("out.exr"), "--layer", "bg"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("--layer bg: no layer of that name with colour channels (layers: (unnamed), fg)"),
              std::string::npos)
        << run.err;
}

// ---------------------------------------------------------------------------
// Provenance and colour tags.

TEST_F(KeyedFile, SoftwareHistoryAndColourSpaceSayWhatMadeTheFile) {
    OIIO::ImageSpec spec(8, 4, 3, TypeDesc::UINT8);
    spec.attribute("Software", "paint 1.0");
    spec.attribute("Exif:ImageHistory", "paint plate.png");
    OIIO::ImageBuf buf(spec);
    const float grey[3] = {128.0f / 255.0f, 64.0f / 255.0f, 1.0f};
    OIIO::ImageBufAlgo::fill(buf, grey);
    const std::string plate = Path("plate.png");
    ASSERT_TRUE(buf.write(plate));
    ASSERT_EQ(ReadStored(plate).spec.get_string_attribute("oiio:ColorSpace"), "sRGB");

    const std::string out = Path("out.exr");
    Outcome run = Veskar({"render", plate, "-o", out, "--key-color", "1,0,1"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    OIIO::ImageSpec written = ReadStored(out).spec;
    const std::string software = written.get_string_attribute("Software");
    EXPECT_EQ(software.rfind("veskar ", 0), 0u) << software;
    const std::string history = written.get_string_attribute("Exif:ImageHistory");
    EXPECT_EQ(history.rfind("paint plate.png\n", 0), 0u) << history;
    EXPECT_NE(history.find("veskar render " + plate + " -o " + out + " --key-color 1,0,1"), std::string::npos)
        << history;
    // The values are sRGB-encoded as keyed, and the EXR says so.
    EXPECT_EQ(written.get_string_attribute("colorSpace"), "sRGB");

    // --input-space converts to linear before keying: 128/255 sRGB is 0.2158605.
    run = Veskar({"render", plate, "-o", out, "--key-color", "1,0,1", "--input-space", "sRGB"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Stored linear = ReadStored(out);
    EXPECT_TRUE(OIIO::Strutil::iequals(linear.spec.get_string_attribute("colorSpace"), "linear"))
        << linear.spec.get_string_attribute("colorSpace");
    // The EXR stores the PNG's 8 bits as half: within half a step of half.
    EXPECT_EQ(linear.spec.format, TypeDesc::HALF);
    EXPECT_NEAR(linear.values[0], 0.2158605f, 0.5f * 0.2158605f / 1024.0f);
    EXPECT_EQ(linear.values[2], 1.0f);
    // --output-space converts back on write and tags the file with it.
    run = Veskar({"render", plate, "-o", Path("back.png"), "--key-color", "1,0,1", "--input-space", "sRGB",
                  "--output-space", "sRGB"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Stored back = ReadStored(Path("back.png"));
    EXPECT_EQ(back.spec.get_string_attribute("oiio:ColorSpace"), "sRGB");
    EXPECT_EQ(back.bytes[0], 128);
    EXPECT_EQ(back.bytes[1], 64);

    run = Veskar({"render", plate, "-o", out, "--input-space", "Martian"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("--input-space Martian: not a colour space"), std::string::npos) << run.err;
}

// ---------------------------------------------------------------------------
// The preview composites straight and premultiplied colour alike.

TEST_F(KeyedFile, PreviewShowsTheCheckerboardWhereTheScreenIsKeyedOut) {
    // A pure green frame keyed with windows centred on green: alpha 0
    // everywhere, the colour left as it was when Alpha Multiply is off.
    OIIO::ImageBuf buf(OIIO::ImageSpec(8, 4, 3, TypeDesc::FLOAT));
    const float green[] = {0.0f, 1.0f, 0.0f};
    OIIO::ImageBufAlgo::fill(buf, green);
    const std::string plate = Path("green.exr");
    ASSERT_TRUE(buf.write(plate));
    for (const char* multiply : {"Alphamult=on", "Alphamult=off"}) {
        Outcome run = Veskar({"render", plate, "-o", Path("out.exr"), "--preview", Path("sheet.png"), "--set",
                              multiply, "--set", "Colorspace=RGB", "--set", "ValueGreen=1", "--set", "MiRedn=-0.005",
                              "--set", "MinGreen=-0.005", "--set", "MinBlue=-0.005", "--set", "MaxRed=0.095", "--set",
                              "MaxGreen=0.095", "--set", "MaxBlue=0.095"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const Stored sheet = ReadStored(Path("sheet.png"));
        // The result panel is the third: 12 + 2 * (8 + 12) across, 12 + 36 down.
        const std::size_t at = (static_cast<std::size_t>(48) * sheet.spec.width + 52) * sheet.spec.nchannels;
        const unsigned char* pixel = sheet.bytes.data() + at;
        EXPECT_EQ(pixel[0], pixel[1]) << multiply << ": the checkerboard is grey, the screen green";
        EXPECT_EQ(pixel[1], pixel[2]) << multiply;
    }
}

TEST_F(KeyedFile, SinglePartStereoKeysTheViewsOwnChannels) {
    // One part holding both views: the default view's channels carry no view
    // name, the other view's are right.R, right.G, ...
    OIIO::ImageSpec spec = PartSpec("", {"R", "G", "B", "A", "right.R", "right.G", "right.B", "right.A"},
                                    TypeDesc::HALF);
    spec.erase_attribute("name");
    const char* views[2] = {"left", "right"};
    spec.attribute("multiView", TypeDesc(TypeDesc::STRING, 2), views);
    const std::string plate = WriteParts("stereo.exr", {spec});
    const Stored in = ReadStored(plate);
    auto channelsEqual = [&](const Stored& out, int first, int count) {
        for (std::size_t p = 0; p < in.spec.image_pixels(); ++p) {
            for (int c = first; c < first + count; ++c) {
                if (out.values[p * 8 + c] != in.values[p * 8 + c]) return false;
            }
        }
        return true;
    };
    for (const std::string view : {"left", "right"}) {
        const std::string out = Path(view + ".exr");
        Outcome run = Veskar({"render", plate, "-o", out, "--view", view, "--key-color", "0.5,0.5,0.5"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.err.find("(view " + view + ")"), std::string::npos) << run.err;
        const Stored keyed = ReadStored(out);
        EXPECT_EQ(keyed.spec.channelnames, in.spec.channelnames);
        const OIIO::ParamValue* list = keyed.spec.find_attribute("multiView");
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->type().basevalues(), 2u);
        // The other view's channels are untouched, the keyed view's are not.
        const bool left = view == "left";
        EXPECT_TRUE(channelsEqual(keyed, left ? 4 : 0, 4)) << view;
        EXPECT_FALSE(channelsEqual(keyed, left ? 0 : 4, 4)) << view;
    }
}
