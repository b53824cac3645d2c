// veskar check, run as a farm's last job runs it: frames keyed by veskar
// render, then removed, cut short, damaged or swapped for frames of another
// shape.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>

#include "support/run_veskar.h"

using namespace veskar_test;

namespace fs = std::filesystem;

namespace {

class Check : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::path(::testing::TempDir()) /
              ("veskar_check_" + std::to_string(::getpid()) + "_" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string Path(const std::string& name) const { return (dir / name).string(); }

    // A half-float plate, different in every frame: a screen-like green with
    // a ramp, so that the keyer has something to do.
    void WritePlate(const std::string& name, int width, int height, int frame,
                    std::vector<std::string> channels = {"R", "G", "B"}) {
        OIIO::ImageSpec spec(width, height, static_cast<int>(channels.size()), OIIO::TypeDesc::HALF);
        spec.channelnames = channels;
        OIIO::ImageBuf buf(spec);
        std::vector<float> pixels(static_cast<std::size_t>(width) * height * spec.nchannels);
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            pixels[i] = static_cast<float>((i * 7 + static_cast<std::size_t>(frame) * 13) % 97) / 96.0f;
        }
        buf.set_pixels(buf.roi(), OIIO::TypeDesc::FLOAT, pixels.data());
        ASSERT_TRUE(buf.write(Path(name))) << buf.geterror();
    }

    // Plates 1001-1004 keyed into out.####.exr.
    void KeySequence(int width = 48, int height = 32) {
        for (int frame = 1001; frame <= 1004; ++frame) {
            WritePlate("plate." + std::to_string(frame) + ".exr", width, height, frame);
        }
        const Outcome run = RunVeskar({"render", Path("plate.####.exr"), "-o", Path("out.####.exr"), "--frames",
                                       "1001-1004", "--key-color", "0.1,0.8,0.2"},
                                      dir);
        ASSERT_EQ(run.exitCode, 0) << run.err;
    }

    Outcome CheckFrames(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"check", Path("out.####.exr"), "--frames", "1001-1004"};
        args.insert(args.end(), extra.begin(), extra.end());
        return RunVeskar(args, dir);
    }

    // A file of one part per spec, every value a ramp that differs by frame.
    void WriteParts(const std::string& name, int frame, const std::vector<OIIO::ImageSpec>& specs) {
        const std::string path = Path(name);
        std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create(path);
        ASSERT_TRUE(out && out->open(path, static_cast<int>(specs.size()), specs.data())) << OIIO::geterror();
        for (std::size_t part = 0; part < specs.size(); ++part) {
            const OIIO::ImageSpec& spec = specs[part];
            if (part > 0) {
                ASSERT_TRUE(out->open(path, spec, OIIO::ImageOutput::AppendSubimage)) << out->geterror();
            }
            std::vector<float> pixels(static_cast<std::size_t>(spec.width) * spec.height * spec.nchannels);
            for (std::size_t i = 0; i < pixels.size(); ++i) {
                pixels[i] = static_cast<float>((i * 5 + part * 11 + static_cast<std::size_t>(frame) * 13) % 89) / 88.0f;
            }
            ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, pixels.data())) << out->geterror();
        }
        ASSERT_TRUE(out->close()) << out->geterror();
    }

    // Keeps the first `size` bytes of a file.
    void Cut(const std::string& name, std::uintmax_t size) { fs::resize_file(Path(name), size); }

    fs::path dir;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST_F(Check, AWholeRenderIsGood) {
    KeySequence();
    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{}, {"--like", Path("plate.####.exr")}, {"--deep"}}) {
        const Outcome run = CheckFrames(extra);
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_EQ(run.out, "veskar check: 4 frames (1001-1004): 4 good, 0 missing, 0 bad\n");
    }
}

TEST_F(Check, FindsMissingTruncatedAndWrongSizeFrames) {
    KeySequence();
    fs::remove(Path("out.1002.exr"));
    Cut("out.1003.exr", fs::file_size(Path("out.1003.exr")) * 2 / 3);
    // A frame of another shot's size, keyed all the same.
    WritePlate("small.exr", 24, 16, 1004);
    ASSERT_EQ(RunVeskar({"render", Path("small.exr"), "-o", Path("out.1004.exr")}, dir).exitCode, 0);

    const Outcome like = CheckFrames({"--like", Path("plate.####.exr")});
    EXPECT_EQ(like.exitCode, 1);
    EXPECT_TRUE(Has(like.out, "frame 1002: " + Path("out.1002.exr") + ": missing\n")) << like.out;
    EXPECT_TRUE(Has(like.out, "frame 1003: " + Path("out.1003.exr") + ": truncated or damaged: ")) << like.out;
    EXPECT_TRUE(Has(like.out, "frame 1004: " + Path("out.1004.exr") + ": size 24 x 16, unlike the input " +
                                  Path("plate.1004.exr") + " (48 x 32)\n"))
        << like.out;
    EXPECT_TRUE(Has(like.out, "veskar check: 4 frames (1001-1004): 1 good, 1 missing, 2 bad; redo --frames 1002-1004\n"))
        << like.out;

    // Without the input, frames are held to the first good one.
    const Outcome alone = CheckFrames();
    EXPECT_EQ(alone.exitCode, 1);
    EXPECT_TRUE(Has(alone.out, "frame 1004: " + Path("out.1004.exr") + ": size 24 x 16, unlike frame 1001 (48 x 32)"))
        << alone.out;
    EXPECT_TRUE(Has(alone.out, "1 good, 1 missing, 2 bad")) << alone.out;
}

TEST_F(Check, AFrameCutAnywhereIsBad) {
    KeySequence();
    const std::string whole = ReadText(Path("out.1001.exr"));
    for (std::size_t size : {std::size_t(0), std::size_t(3), std::size_t(200), whole.size() / 2, whole.size() - 1}) {
        {
            std::ofstream out(Path("out.1002.exr"), std::ios::binary | std::ios::trunc);
            out.write(whole.data(), static_cast<std::streamsize>(size));
        }
        const Outcome run = CheckFrames();
        EXPECT_EQ(run.exitCode, 1) << "cut to " << size << " bytes";
        EXPECT_TRUE(Has(run.out, "frame 1002: ")) << "cut to " << size << " bytes: " << run.out;
        EXPECT_TRUE(Has(run.out, "3 good, 0 missing, 1 bad; redo --frames 1002\n")) << run.out;
    }
}

TEST_F(Check, CutFilesOfOtherFormatsAreBadOnOneLine) {
    // The JPEG decoder pads a cut file and reports success; the PNG decoder
    // reports over several lines.
    for (const std::string name : {"frame.jpg", "frame.png", "frame.tif"}) {
        OIIO::ImageSpec spec(96, 64, 3, OIIO::TypeDesc::UINT8);
        OIIO::ImageBuf buf(spec);
        std::vector<float> pixels(96 * 64 * 3);
        for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<float>((i * 31) % 256) / 255.0f;
        buf.set_pixels(buf.roi(), OIIO::TypeDesc::FLOAT, pixels.data());
        ASSERT_TRUE(buf.write(Path(name))) << buf.geterror();
        EXPECT_EQ(RunVeskar({"check", Path(name)}, dir).exitCode, 0) << name;
        Cut(name, fs::file_size(Path(name)) * 3 / 4);
        const Outcome cut = RunVeskar({"check", Path(name)}, dir);
        EXPECT_EQ(cut.exitCode, 1) << name;
        EXPECT_EQ(std::count(cut.out.begin(), cut.out.end(), '\n'), 2) << cut.out;
        EXPECT_TRUE(Has(cut.out, Path(name) + ": truncated")) << cut.out;
    }
}

TEST_F(Check, AMultiPartFileCutInItsLastPartIsBad) {
    const std::string path = Path("parts.exr");
    OIIO::ImageSpec specs[2] = {OIIO::ImageSpec(64, 64, 4, OIIO::TypeDesc::HALF),
                                OIIO::ImageSpec(64, 64, 4, OIIO::TypeDesc::HALF)};
    specs[1].attribute("name", "matte");
    specs[0].attribute("name", "rgba");
    std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out && out->open(path, 2, specs)) << OIIO::geterror();
    std::vector<float> pixels(64 * 64 * 4);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<float>(i % 1000) / 999.0f;
    ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()));
    ASSERT_TRUE(out->open(path, specs[1], OIIO::ImageOutput::AppendSubimage));
    ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()));
    ASSERT_TRUE(out->close());
    EXPECT_EQ(RunVeskar({"check", path}, dir).exitCode, 0);
    // The first part stays whole.
    Cut("parts.exr", fs::file_size(path) - 100);
    const Outcome cut = RunVeskar({"check", path}, dir);
    EXPECT_EQ(cut.exitCode, 1);
    EXPECT_TRUE(Has(cut.out, path + ": truncated or damaged: ")) << cut.out;
}

TEST_F(Check, DeepReadsFindDamageInsideAFrame) {
    // Tall enough for many compressed blocks, so the damage is in neither the
    // first nor the last.
    KeySequence(64, 320);
    const std::uintmax_t size = fs::file_size(Path("out.1003.exr"));
    {
        std::fstream file(Path("out.1003.exr"), std::ios::binary | std::ios::in | std::ios::out);
        file.seekp(static_cast<std::streamoff>(size / 2));
        const std::string noise(64, '\xff');
        file.write(noise.data(), static_cast<std::streamsize>(noise.size()));
    }
    EXPECT_EQ(CheckFrames().exitCode, 0) << "the header check reads only the ends of a frame";
    const Outcome deep = CheckFrames({"--deep"});
    EXPECT_EQ(deep.exitCode, 1);
    EXPECT_TRUE(Has(deep.out, "frame 1003: " + Path("out.1003.exr") + ": truncated or damaged: ")) << deep.out;
}

TEST_F(Check, LikeExpectsTheKeyedChannelsAndTypes) {
    // A grey plate keys into R, G, B and an added alpha.
    WritePlate("grey.1.exr", 16, 8, 1, {"Y"});
    WritePlate("grey.2.exr", 16, 8, 2, {"Y"});
    ASSERT_EQ(RunVeskar({"render", Path("grey.#.exr"), "-o", Path("key.#.exr"), "--frames", "1"}, dir).exitCode, 0);
    ASSERT_EQ(RunVeskar({"render", Path("grey.#.exr"), "-o", Path("key.#.exr"), "--frames", "2", "--type", "float"},
                        dir)
                  .exitCode,
              0);
    auto check = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = {"check", Path("key.#.exr"), "--like", Path("grey.#.exr")};
        args.insert(args.end(), extra.begin(), extra.end());
        return RunVeskar(args, dir);
    };
    EXPECT_EQ(check({"--frames", "1"}).exitCode, 0) << check({"--frames", "1"}).out;
    const Outcome typed = check({"--frames", "1-2"});
    EXPECT_EQ(typed.exitCode, 1);
    EXPECT_TRUE(Has(typed.out, "frame 2: " + Path("key.2.exr") + ": channel R is float, expected half (like the input " +
                                   Path("grey.2.exr") + ")"))
        << typed.out;
    EXPECT_EQ(check({"--frames", "2", "--type", "float"}).exitCode, 0);
    const Outcome wrongType = check({"--frames", "1", "--type", "float"});
    EXPECT_TRUE(Has(wrongType.out, "channel R is half, expected float (--type)")) << wrongType.out;

    // A plate copied in place of its keyed frame has no alpha.
    fs::copy_file(Path("grey.1.exr"), Path("key.1.exr"), fs::copy_options::overwrite_existing);
    const Outcome unkeyed = check({"--frames", "1"});
    EXPECT_EQ(unkeyed.exitCode, 1);
    EXPECT_TRUE(Has(unkeyed.out, ": no channel R (channels Y, keyed from the input " + Path("grey.1.exr") + ")"))
        << unkeyed.out;

    // A frame whose input cannot be read is not passed.
    fs::remove(Path("grey.2.exr"));
    const Outcome noInput = check({"--frames", "2", "--type", "float"});
    EXPECT_EQ(noInput.exitCode, 1);
    EXPECT_TRUE(Has(noInput.out, ": cannot be compared: the input " + Path("grey.2.exr") + ": cannot read: "))
        << noInput.out;
}

TEST_F(Check, UsageErrorsAndOddFiles) {
    std::ofstream(Path("notes.exr")) << "not an image";
    fs::create_directory(Path("folder.exr"));
    const Outcome text = RunVeskar({"check", Path("notes.exr")}, dir);
    EXPECT_EQ(text.exitCode, 1);
    EXPECT_TRUE(Has(text.out, Path("notes.exr") + ": cannot open: ")) << text.out;
    EXPECT_TRUE(Has(text.out, "veskar check: 1 frame (" + Path("notes.exr") + "): 0 good, 0 missing, 1 bad\n"))
        << text.out;
    const Outcome folder = RunVeskar({"check", Path("folder.exr")}, dir);
    EXPECT_TRUE(Has(folder.out, Path("folder.exr") + ": not a regular file\n")) << folder.out;

    struct Usage {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Usage> usages = {
        {{"check", Path("out.####.exr")}, "a sequence needs --frames"},
        {{"check", Path("notes.exr"), "--frames", "1-2"}, "has no frame number pattern"},
        {{"check", Path("out.####.exr"), "--frames", "9-1"}, "ends before it starts"},
        {{"check", Path("out.exr"), "--like", Path("plate.####.exr")}, "needs one in the output"},
        {{"check", Path("out.####.exr"), "--frames", "1", "--type", "double"}, "--type"},
    };
    for (const Usage& usage : usages) {
        const Outcome run = RunVeskar(usage.args, dir);
        EXPECT_EQ(run.exitCode, 2) << usage.message;
        EXPECT_TRUE(Has(run.err, usage.message)) << run.err;
    }
}

namespace {

OIIO::ImageSpec PartSpec(const std::string& name, std::vector<std::string> channels, const std::string& view = "") {
    OIIO::ImageSpec spec(24, 16, static_cast<int>(channels.size()), OIIO::TypeDesc::HALF);
    spec.channelnames = channels;
    if (!name.empty()) spec.attribute("name", name);
    if (!view.empty()) spec.attribute("view", view);
    return spec;
}

// Inputs of the shapes that the render options below are for.
enum class Plate { WithDepth, WithLayer, Windowed, TwoParts, Stereo };

std::vector<OIIO::ImageSpec> PlateParts(Plate plate) {
    switch (plate) {
        case Plate::WithDepth: return {PartSpec("", {"R", "G", "B", "Z"})};
        case Plate::WithLayer: return {PartSpec("", {"R", "G", "B", "fg.R", "fg.G", "fg.B"})};
        case Plate::Windowed: {
            OIIO::ImageSpec spec = PartSpec("", {"R", "G", "B"});
            spec.x = 6;
            spec.y = 3;
            spec.full_width = 40;
            spec.full_height = 30;
            return {spec};
        }
        case Plate::TwoParts: return {PartSpec("bg", {"R", "G", "B"}), PartSpec("fg", {"R", "G", "B", "A"})};
        case Plate::Stereo:
            return {PartSpec("left", {"R", "G", "B"}, "left"), PartSpec("right", {"R", "G", "B"}, "right")};
    }
    return {};
}

struct Rendered {
    Plate plate;
    std::string output;              // the frames' pattern
    std::vector<std::string> options;  // given to render and to check alike
    bool optionsMatter;              // whether check without them finds the frames bad
};

}  // namespace

// A render with options that change what is written passes the check given
// the same options, and (where they change it) fails without them.
TEST_F(Check, LikeExpectsWhatTheRenderOptionsWrite) {
    const std::vector<Rendered> renders = {
        {Plate::WithDepth, "out.#.png", {"--drop-channels"}, true},
        {Plate::WithDepth, "out.#.jpg", {"--drop-alpha", "--drop-channels"}, true},
        {Plate::WithDepth, "out.#.png", {"--drop-channels", "--type", "uint16"}, true},
        // TIFF stores a half plate as float.
        {Plate::Windowed, "out.#.tif", {}, false},
        {Plate::WithLayer, "out.#.exr", {"--layer", "fg"}, true},
        // PNG keeps the data window's place but not the display window; JPEG neither.
        {Plate::Windowed, "out.#.png", {}, false},
        {Plate::Windowed, "out.#.jpg", {"--drop-alpha"}, true},
        {Plate::TwoParts, "out.#.exr", {"--part", "fg"}, true},
        {Plate::TwoParts, "out.#.png", {"--part", "fg", "--drop-channels"}, true},
        {Plate::TwoParts, "out.#.tif", {"--drop-channels"}, true},
        {Plate::Stereo, "out.#.exr", {"--view", "right"}, true},
    };
    for (std::size_t i = 0; i < renders.size(); ++i) {
        const Rendered& r = renders[i];
        const std::string plate = "plate" + std::to_string(i) + ".#.exr";
        const std::string output = std::to_string(i) + r.output;
        for (int frame = 1; frame <= 2; ++frame) {
            WriteParts("plate" + std::to_string(i) + "." + std::to_string(frame) + ".exr", frame,
                       PlateParts(r.plate));
        }
        std::vector<std::string> render = {"render", Path(plate), "-o", Path(output), "--frames", "1-2"};
        render.insert(render.end(), r.options.begin(), r.options.end());
        const Outcome rendered = RunVeskar(render, dir);
        ASSERT_EQ(rendered.exitCode, 0) << output << ": " << rendered.err;

        std::vector<std::string> check = {"check", Path(output), "--frames", "1-2", "--like", Path(plate)};
        const Outcome bare = RunVeskar(check, dir);
        check.insert(check.end(), r.options.begin(), r.options.end());
        const Outcome same = RunVeskar(check, dir);
        EXPECT_EQ(same.exitCode, 0) << output << ": " << same.out << same.err;
        EXPECT_TRUE(Has(same.out, "2 frames (1-2): 2 good, 0 missing, 0 bad\n")) << output << ": " << same.out;
        EXPECT_EQ(bare.exitCode, r.optionsMatter ? 1 : 0) << output << " checked without its options: " << bare.out;
    }
}

// A frame that lacks what the render with those options writes is bad, named
// with the channel or part at fault.
TEST_F(Check, LikeWithRenderOptionsFindsWhatAFrameLacks) {
    for (int frame = 1; frame <= 2; ++frame) {
        WriteParts("layer." + std::to_string(frame) + ".exr", frame, PlateParts(Plate::WithLayer));
        WriteParts("parts." + std::to_string(frame) + ".exr", frame, PlateParts(Plate::TwoParts));
        WriteParts("depth." + std::to_string(frame) + ".exr", frame, PlateParts(Plate::WithDepth));
    }
    ASSERT_EQ(RunVeskar({"render", Path("layer.#.exr"), "-o", Path("kl.#.exr"), "--frames", "1-2", "--layer", "fg"}, dir)
                  .exitCode,
              0);
    ASSERT_EQ(RunVeskar({"render", Path("parts.#.exr"), "-o", Path("kp.#.exr"), "--frames", "1-2", "--part", "fg"}, dir)
                  .exitCode,
              0);
    ASSERT_EQ(
        RunVeskar({"render", Path("depth.#.exr"), "-o", Path("kd.#.png"), "--frames", "1-2", "--drop-channels"}, dir)
            .exitCode,
        0);

    // The layer's alpha lost from frame 2.
    {
        OIIO::ImageBuf keyed(Path("kl.2.exr"));
        OIIO::ImageBuf lacking = OIIO::ImageBufAlgo::channels(keyed, 6, {0, 1, 2, 3, 4, 5});
        ASSERT_TRUE(lacking.write(Path("kl.2.exr"))) << lacking.geterror();
    }
    const Outcome layer = RunVeskar(
        {"check", Path("kl.#.exr"), "--frames", "1-2", "--like", Path("layer.#.exr"), "--layer", "fg"}, dir);
    EXPECT_EQ(layer.exitCode, 1);
    EXPECT_TRUE(Has(layer.out, "frame 2: " + Path("kl.2.exr") + ": no channel fg.A (channels R,G,B,fg.R,fg.G,fg.B, "
                                   "keyed from the input " + Path("layer.2.exr") + ")\n"))
        << layer.out;
    EXPECT_TRUE(Has(layer.out, "1 good, 0 missing, 1 bad; redo --frames 2\n")) << layer.out;

    // Frame 2 holds the keyed part alone.
    {
        OIIO::ImageBuf keyed(Path("kp.2.exr"), 1, 0);
        ASSERT_TRUE(keyed.read(1, 0, true)) << keyed.geterror();
        fs::remove(Path("kp.2.exr"));
        ASSERT_TRUE(keyed.write(Path("kp.2.exr"))) << keyed.geterror();
    }
    const Outcome parts = RunVeskar(
        {"check", Path("kp.#.exr"), "--frames", "1-2", "--like", Path("parts.#.exr"), "--part", "fg"}, dir);
    EXPECT_EQ(parts.exitCode, 1);
    EXPECT_TRUE(Has(parts.out, "frame 2: " + Path("kp.2.exr") + ": 1 part, expected 2 (keyed from the input " +
                                   Path("parts.2.exr") + ")\n"))
        << parts.out;

    // A PNG of frame 2 without the matte.
    {
        OIIO::ImageBuf keyed(Path("kd.2.png"));
        OIIO::ImageBuf lacking = OIIO::ImageBufAlgo::channels(keyed, 3, {0, 1, 2});
        ASSERT_TRUE(lacking.write(Path("kd.2.png"))) << lacking.geterror();
    }
    const Outcome png = RunVeskar(
        {"check", Path("kd.#.png"), "--frames", "1-2", "--like", Path("depth.#.exr"), "--drop-channels"}, dir);
    EXPECT_EQ(png.exitCode, 1);
    EXPECT_TRUE(Has(png.out, "frame 2: " + Path("kd.2.png") + ": no channel A (channels R,G,B, keyed from the input " +
                                 Path("depth.2.exr") + ")\n"))
        << png.out;
    // Without the option, the render would have refused the PNG: the check says how to match it.
    const Outcome bare = RunVeskar({"check", Path("kd.#.png"), "--frames", "1", "--like", Path("depth.#.exr")}, dir);
    EXPECT_TRUE(Has(bare.out, "frame 1: " + Path("kd.1.png") + ": cannot be compared: veskar render would not write "
                                  "it from the input " + Path("depth.1.exr") + " with these options: PNG cannot hold "
                                  "the further channels Z: write EXR to keep them, or give --drop-channels"))
        << bare.out;

    // A render option says how the frames were keyed from an input: no input, no sense.
    const Outcome usage = RunVeskar({"check", Path("kd.#.png"), "--frames", "1-2", "--drop-channels"}, dir);
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_TRUE(Has(usage.err, "give it with --like INPUT_PATTERN")) << usage.err;
}

// Whatever a render refuses to read, a deep check refuses too: a TIFF cut at
// any length, whose codec reads short strips with a complaint but no failure.
TEST_F(Check, DeepIsAtLeastAsStrictAsARenderOnCutTiffs) {
    OIIO::ImageSpec spec(96, 64, 3, OIIO::TypeDesc::UINT8);
    spec.attribute("compression", "zip");
    spec.attribute("tiff:RowsPerStrip", 32);
    OIIO::ImageBuf buf(spec);
    std::vector<float> pixels(96 * 64 * 3);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<float>((i * 37) % 251) / 250.0f;
    buf.set_pixels(buf.roi(), OIIO::TypeDesc::FLOAT, pixels.data());
    ASSERT_TRUE(buf.write(Path("whole.tif"))) << buf.geterror();
    const std::string whole = ReadText(Path("whole.tif"));
    int refused = 0;
    for (int part = 1; part < 41; part += 3) {
        const std::size_t size = whole.size() * static_cast<std::size_t>(part) / 41;
        std::ofstream(Path("cut.tif"), std::ios::binary | std::ios::trunc).write(whole.data(),
                                                                                static_cast<std::streamsize>(size));
        const Outcome render = RunVeskar({"render", Path("cut.tif"), "-o", Path("out.exr")}, dir);
        if (render.exitCode == 0) continue;
        ++refused;
        const Outcome deep = RunVeskar({"check", Path("cut.tif"), "--deep"}, dir);
        EXPECT_EQ(deep.exitCode, 1) << "cut to " << size << " bytes: " << deep.out;
        EXPECT_EQ(std::count(deep.out.begin(), deep.out.end(), '\n'), 2) << deep.out;
    }
    EXPECT_GE(refused, 12);
}

// A frame hidden by a loop of links or a folder that may not be searched is
// not "missing"; a name with a newline stays on its report line; a long frame
// list is shortened where it is echoed.
TEST_F(Check, ReportLinesSayWhatIsWrongOnOneLineEach) {
    fs::create_symlink("loop.2.exr", Path("loop.1.exr"));
    fs::create_symlink("loop.1.exr", Path("loop.2.exr"));
    const Outcome loop = RunVeskar({"check", Path("loop.#.exr"), "--frames", "1-3"}, dir);
    EXPECT_EQ(loop.exitCode, 1);
    EXPECT_TRUE(Has(loop.out, "frame 1: " + Path("loop.1.exr") + ": cannot open: a loop of symbolic links\n"))
        << loop.out;
    EXPECT_TRUE(Has(loop.out, "frame 3: " + Path("loop.3.exr") + ": missing\n")) << loop.out;
    EXPECT_TRUE(Has(loop.out, "1 missing, 2 bad")) << loop.out;

    const std::string odd = Path("odd\nname\x1b.exr");
    std::ofstream(odd) << "not an image";
    const Outcome named = RunVeskar({"check", odd}, dir);
    EXPECT_EQ(named.exitCode, 1);
    EXPECT_EQ(std::count(named.out.begin(), named.out.end(), '\n'), 2) << named.out;
    EXPECT_TRUE(Has(named.out, "\"" + Path("odd\\nname\\x1b.exr") + "\": cannot open: ")) << named.out;

    std::string frames;
    for (int frame = 1; frame <= 2000; frame += 2) frames += (frames.empty() ? "" : ",") + std::to_string(frame);
    const Outcome many = RunVeskar({"check", Path("none.####.exr"), "--frames", frames}, dir);
    EXPECT_EQ(many.exitCode, 1);
    EXPECT_TRUE(Has(many.out, "veskar check: 1000 frames (1,3,5,7,9,11,13,15,... (1000 frames)): 0 good, 1000 missing"))
        << many.out.substr(many.out.size() - std::min<std::size_t>(many.out.size(), 300));

    // Root searches any folder: the permission case needs another user.
    if (::geteuid() != 0) {
        fs::create_directories(Path("shut"));
        std::ofstream(Path("shut/a.exr")) << "x";
        fs::permissions(Path("shut"), fs::perms::none);
        const Outcome shut = RunVeskar({"check", Path("shut/a.exr")}, dir);
        fs::permissions(Path("shut"), fs::perms::owner_all);
        EXPECT_TRUE(Has(shut.out, Path("shut/a.exr") + ": cannot open: permission denied\n")) << shut.out;
    }
}
