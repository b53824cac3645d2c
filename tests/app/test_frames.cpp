#include <gtest/gtest.h>

#include <vector>

#include "app/cli_error.h"
#include "app/frames.h"

using veskar::CliError;
using veskar::FramePattern;
using veskar::ParseFrames;

TEST(FramePattern, HashesPadToTheirCount) {
    FramePattern pattern("shots/plate.####.exr", "input");
    EXPECT_TRUE(pattern.IsSequence());
    EXPECT_EQ(pattern.Path(42), "shots/plate.0042.exr");
    EXPECT_EQ(pattern.Path(1001), "shots/plate.1001.exr");
    EXPECT_EQ(pattern.Path(123456), "shots/plate.123456.exr");  // wider numbers are not cut
    EXPECT_EQ(FramePattern("p#.exr", "input").Path(7), "p7.exr");
}

TEST(FramePattern, PrintfStyleNumbers) {
    EXPECT_EQ(FramePattern("plate.%04d.exr", "input").Path(7), "plate.0007.exr");
    EXPECT_EQ(FramePattern("plate.%d.exr", "input").Path(7), "plate.7.exr");
    // Other percent signs are part of the name.
    FramePattern literal("50%_grey.exr", "input");
    EXPECT_FALSE(literal.IsSequence());
    EXPECT_EQ(literal.Path(3), "50%_grey.exr");
}

TEST(FramePattern, OnePatternOnly) {
    EXPECT_THROW(FramePattern("a.##.b.##.exr", "input"), CliError);
    EXPECT_THROW(FramePattern("a.%04d.b.%d.exr", "input"), CliError);
    EXPECT_THROW(FramePattern("a.##.%04d.exr", "input"), CliError);
    EXPECT_THROW(FramePattern("a.%099d.exr", "input"), CliError);
}

TEST(Frames, RangesSinglesAndLists) {
    EXPECT_EQ(ParseFrames("1001-1003"), (std::vector<int>{1001, 1002, 1003}));
    EXPECT_EQ(ParseFrames("42"), (std::vector<int>{42}));
    EXPECT_EQ(ParseFrames("1-3,7,10-11"), (std::vector<int>{1, 2, 3, 7, 10, 11}));
    EXPECT_EQ(ParseFrames("5,1-2,5"), (std::vector<int>{5, 1, 2}));  // given order, each once
    EXPECT_EQ(ParseFrames("0"), (std::vector<int>{0}));
}

TEST(Frames, MalformedListsAreUsageErrors) {
    for (const char* text : {"", "a", "3-1", "1-", "-5", "1,,2", "1-2-3", "1.5", "+3", "1-99999999"}) {
        try {
            ParseFrames(text);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const CliError& e) {
            EXPECT_EQ(e.ExitCode(), 2) << text;
            EXPECT_NE(std::string(e.what()).find("--frames"), std::string::npos) << e.what();
        }
    }
}

TEST(FormatFrames, JoinsRunsAndReadsBack) {
    EXPECT_EQ(veskar::FormatFrames({}), "");
    EXPECT_EQ(veskar::FormatFrames({42}), "42");
    EXPECT_EQ(veskar::FormatFrames({1, 2, 3, 7, 9, 10}), "1-3,7,9-10");
    EXPECT_EQ(veskar::FormatFrames({5, 4, 3}), "5,4,3");  // runs go upwards
    const std::vector<int> frames = {0, 1, 1001, 1002, 1003, 1005, 2147483646, 2147483647};
    EXPECT_EQ(ParseFrames(veskar::FormatFrames(frames)), frames);
}

TEST(Frames, ListsKeepRangesNotFrames) {
    const veskar::FrameList million("1-1000000");
    EXPECT_EQ(million.Size(), 1000000u);
    EXPECT_TRUE(million.Contains(999999));
    EXPECT_FALSE(million.Contains(0));
    // Overlapping ranges: each frame once, in the order first given.
    const veskar::FrameList overlapping("5-8,1-6,7,2-10");
    EXPECT_EQ(overlapping.Size(), 10u);
    std::vector<int> frames;
    for (int frame : overlapping) frames.push_back(frame);
    EXPECT_EQ(frames, (std::vector<int>{5, 6, 7, 8, 1, 2, 3, 4, 9, 10}));
    EXPECT_EQ(ParseFrames("2147483646-2147483647"), (std::vector<int>{2147483646, 2147483647}));
    EXPECT_THROW(veskar::FrameList("1-1000001"), CliError);
    EXPECT_EQ(veskar::FrameList("1-600000,400001-1000000").Size(), 1000000u);
}
