// The recipes of docs/keying.md, run word for word as a reader runs them
// (from a checkout with the shared data beside it), and the numbers the guide
// quotes for them checked against what they give. Skipped when the data
// folder is absent.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/file_pixels.h"
#include "support/run_veskar.h"

namespace fs = std::filesystem;
using namespace veskar_test;

namespace {

// The checkout: the tests folder's parent.
const fs::path kSource = fs::path(VESKAR_TEST_SOURCE_DIR).parent_path();
const fs::path kData = VESKAR_TEST_SHARED_DATA;

// The shell commands of the recipe whose heading starts with `heading`:
// every ```sh block up to the next heading, continuation lines joined.
std::vector<std::string> RecipeCommands(const std::string& guide, const std::string& heading) {
    std::vector<std::string> commands;
    const std::size_t start = guide.find("\n### " + heading);
    if (start == std::string::npos) return commands;
    const std::size_t end = guide.find("\n#", start + 1);
    const std::string recipe = guide.substr(start, end - start);
    static const std::regex kBlock("```sh\n([\\s\\S]*?)```");
    for (auto it = std::sregex_iterator(recipe.begin(), recipe.end(), kBlock); it != std::sregex_iterator(); ++it) {
        const std::string block = std::regex_replace((*it)[1].str(), std::regex("\\\\\n\\s*"), "");
        std::size_t from = 0;
        while (from < block.size()) {
            const std::size_t newline = block.find('\n', from);
            const std::string line = block.substr(from, newline - from);
            if (!line.empty()) commands.push_back(line);
            from = newline == std::string::npos ? block.size() : newline + 1;
        }
    }
    return commands;
}

class KeyingGuide : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kData / "greenscreen")) GTEST_SKIP() << "no shared data at " << kData;
        guide_ = ReadText(kSource / "docs" / "keying.md");
        ASSERT_FALSE(guide_.empty());
        // A checkout with the shared folder beside it, as the guide assumes.
        root_ = fs::path(::testing::TempDir()) / ("veskar_guide_" + std::to_string(::getpid()));
        fs::create_directories(root_ / "checkout" / "docs" / "images");
        fs::create_symlink(kData.parent_path(), root_ / "shared");
    }
    void TearDown() override { fs::remove_all(root_); }

    // Runs the recipe's commands with veskar on the PATH; returns their stdout
    // and stderr together.
    std::string RunRecipe(const std::string& heading) {
        const std::vector<std::string> commands = RecipeCommands(guide_, heading);
        EXPECT_FALSE(commands.empty()) << "no commands under ### " << heading;
        std::string output;
        const fs::path bin = fs::path(VESKAR_TEST_EXE).parent_path();
        for (const std::string& command : commands) {
            EXPECT_EQ(command.rfind("veskar ", 0), 0u) << command;
            const std::string shell = "cd '" + (root_ / "checkout").string() + "' && PATH='" + bin.string() +
                                      "':\"$PATH\" " + command + " >out.txt 2>&1";
            const int status = std::system(shell.c_str());
            const std::string text = ReadText(root_ / "checkout" / "out.txt");
            EXPECT_EQ(status, 0) << command << "\n" << text;
            output += text;
        }
        return output;
    }

    // The contact sheet the recipe wrote, and the one committed beside the guide.
    void ExpectSheet(const std::string& name) {
        const fs::path made = root_ / "checkout" / "docs" / "images" / name;
        const fs::path committed = kSource / "docs" / "images" / name;
        ASSERT_TRUE(fs::exists(made)) << made;
        ASSERT_TRUE(fs::exists(committed)) << committed;
        const FilePixels a = ReadPixels(made);
        const FilePixels b = ReadPixels(committed);
        EXPECT_EQ(a.width, b.width);
        EXPECT_EQ(a.height, b.height);
    }

    fs::path Out(const std::string& name) const { return root_ / "checkout" / name; }

    std::string guide_;
    fs::path root_;
};

// Shares of a keyed frame: clear, opaque and in between.
struct Shares {
    double clear = 0, opaque = 0, between = 0;
};

Shares SharesOf(const FilePixels& keyed) {
    Shares s;
    for (int y = 0; y < keyed.height; ++y) {
        for (int x = 0; x < keyed.width; ++x) {
            const float alpha = keyed.At(x, y, 3);
            s.clear += alpha <= 0.05f;
            s.opaque += alpha >= 0.95f;
        }
    }
    const double n = static_cast<double>(keyed.width) * keyed.height;
    s.clear /= n;
    s.opaque /= n;
    s.between = 1.0 - s.clear - s.opaque;
    return s;
}

TEST_F(KeyingGuide, TealDrape) {
    RunRecipe("1.");
    ExpectSheet("instrument.png");
    const FilePixels keyed = ReadPixels(Out("instrument_keyed.exr"));
    const FilePixels mask = ReadPixels(kData / "greenscreen" / "semisynth_instrument_green_seg.png");
    ASSERT_EQ(keyed.width, mask.width);
    long both = 0, either = 0, farLeaks = 0;
    for (int y = 0; y < mask.height; ++y) {
        for (int x = 0; x < mask.width; ++x) {
            const bool subject = mask.At(x, y, 0) > 0.5f;
            const float alpha = keyed.At(x, y, 3);
            both += subject && alpha > 0.5f;
            either += subject || alpha > 0.5f;
            bool near = false;
            for (int dy = -3; dy <= 3 && !near; ++dy) {
                for (int dx = -3; dx <= 3 && !near; ++dx) {
                    const int X = x + dx, Y = y + dy;
                    near = dx * dx + dy * dy <= 9 && X >= 0 && Y >= 0 && X < mask.width && Y < mask.height &&
                           mask.At(X, Y, 0) > 0.5f;
                }
            }
            farLeaks += !near && alpha > 0.05f;
        }
    }
    const double iou = static_cast<double>(both) / static_cast<double>(either);
    EXPECT_NE(guide_.find("IoU of 0.993"), std::string::npos);
    EXPECT_NEAR(iou, 0.993, 0.0005);
    EXPECT_EQ(farLeaks, 0);
}

TEST_F(KeyingGuide, YellowGreenHair) {
    const std::string output = RunRecipe("2.");
    ExpectSheet("hair.png");
    EXPECT_NE(output.find("wrote hair.setting (RGB)"), std::string::npos) << output;
    EXPECT_NE(guide_.find("`suggest` picks RGB"), std::string::npos);
    EXPECT_NE(guide_.find("a mix error of\n0.322 against HSV's 0.380"), std::string::npos);
    EXPECT_NE(output.find("RGB          100.00%     100.00%      0.322  0.322  best"), std::string::npos) << output;
    // The rectangles auto chose, keyed clear; the face opaque.
    const FilePixels keyed = ReadPixels(Out("hair_keyed.exr"));
    static const std::regex kRect(R"((\d+),(\d+),(\d+),(\d+))");
    const std::size_t line = output.find("rectangles:");
    ASSERT_NE(line, std::string::npos) << output;
    const std::string rects = output.substr(line, output.find('\n', line) - line);
    long sampled = 0, clear = 0;
    for (auto it = std::sregex_iterator(rects.begin(), rects.end(), kRect); it != std::sregex_iterator(); ++it) {
        const int x0 = std::stoi((*it)[1]), y0 = std::stoi((*it)[2]);
        for (int y = y0; y < y0 + std::stoi((*it)[4]); ++y) {
            for (int x = x0; x < x0 + std::stoi((*it)[3]); ++x) {
                ++sampled;
                clear += keyed.At(x, y, 3) <= 0.05f;
            }
        }
    }
    EXPECT_GT(sampled, 0);
    EXPECT_EQ(clear, sampled);
    long solid = 0;
    for (int y = 60; y < 120; ++y) {
        for (int x = 130; x < 190; ++x) solid += keyed.At(x, y, 3) >= 0.95f;
    }
    EXPECT_NE(guide_.find("99.1% of a 60 x 60 block of the face is opaque"), std::string::npos);
    EXPECT_NEAR(100.0 * static_cast<double>(solid) / (60 * 60), 99.1, 0.05);
}

TEST_F(KeyingGuide, MotionBlur) {
    RunRecipe("3.");
    ExpectSheet("blur.png");
    const Shares shares = SharesOf(ReadPixels(Out("blur_keyed.exr")));
    std::smatch quoted;
    ASSERT_TRUE(std::regex_search(guide_, quoted, std::regex(R"(([0-9.]+)% of the frame lies between)")))
        << "the guide quotes the share between clear and opaque";
    EXPECT_NEAR(shares.between * 100.0, std::stod(quoted[1]), 0.01);
    std::smatch clearQuoted;
    ASSERT_TRUE(std::regex_search(guide_, clearQuoted, std::regex(R"(([0-9.]+)% of it keys clear)")));
    EXPECT_NEAR(shares.clear * 100.0, std::stod(clearQuoted[1]), 0.01);
}

}  // namespace
