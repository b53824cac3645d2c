#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "host/image.h"
#include "host/tags.h"

TEST(Image, PositionsAreRowStartPlusXTimesStep) {
    Image image(5, 3, {"Z", "diffuse.R"});
    EXPECT_EQ(image.Step(1), 16);
    EXPECT_EQ(image.Step(2), 8);
    ASSERT_NE(image.RowStarts(1), nullptr);
    ASSERT_NE(image.RowStarts(2), nullptr);
    EXPECT_EQ(image.RowStarts(1)[2], 2 * 5 * 16);
    EXPECT_EQ(image.RowStarts(2)[1], 5 * 8);

    PixelRecord record{};
    record.B = 0.1f;
    record.G = 0.2f;
    record.R = 0.3f;
    record.A = 0.4f;
    record.Extra[0] = 7.0f;
    record.Extra[1] = -1.0f;
    record.Extra[2] = 99.0f;  // beyond the image's channels: not stored
    const std::int64_t p1 = image.RowStarts(1)[2] + 3 * image.Step(1);
    const std::int64_t p2 = image.RowStarts(2)[2] + 3 * image.Step(2);
    image.StoreRoutine()(&record, p1, p2, &image);
    EXPECT_EQ(image.Plane1Pixel(3, 2)[2], 0.3f);
    EXPECT_EQ(image.Plane2Pixel(3, 2)[1], -1.0f);

    PixelRecord back{};
    image.FetchRoutine()(&back, p1, p2, &image);
    EXPECT_EQ(back.B, 0.1f);
    EXPECT_EQ(back.A, 0.4f);
    EXPECT_EQ(back.Extra[0], 7.0f);
    EXPECT_EQ(back.Extra[1], -1.0f);
    EXPECT_EQ(back.Extra[2], 0.0f);
}

TEST(Image, WithoutFurtherChannelsPlaneTwoHasNoTable) {
    Image image(4, 2);
    EXPECT_EQ(image.RowStarts(2), nullptr);
    EXPECT_EQ(image.Step(2), 0);
    EXPECT_EQ(image.Plane2Pixel(0, 0), nullptr);
    PixelRecord record{};
    record.R = 0.5f;
    // Position 2 is 0 for a plane without a table, and ignored.
    image.StoreRoutine()(&record, image.RowStarts(1)[1] + 16, 0, &image);
    EXPECT_EQ(image.Plane1Pixel(1, 1)[2], 0.5f);
}

TEST(Image, TooWideForThirtyTwoBitPositionsIsRefused) {
    const std::int32_t widest = std::numeric_limits<std::int32_t>::max() / 16;
    EXPECT_THROW(Image(widest + 1, 0), std::length_error);
    EXPECT_NO_THROW(Image(widest, 0));
    // The further channels' step counts too.
    EXPECT_THROW(Image(widest, 0, {"a", "b", "c", "d", "e"}), std::length_error);
    EXPECT_THROW(Image(-1, 2), std::length_error);
    EXPECT_THROW(Image(1, 1, std::vector<std::string>(kMaxExtraChannels + 1, "x")), std::length_error);
}

TEST(Image, NewImageTakesSizeAndFormatOfTheSource) {
    Image source(7, 3, {"Z"});
    const TagItem like[] = {TagPointer(kImgLike, &source), kTagEnd};
    std::unique_ptr<Image> made(NewImageTagList(TagList(like, false)));
    EXPECT_EQ(made->Width(), 7);
    EXPECT_EQ(made->Height(), 3);
    EXPECT_EQ(made->ExtraChannelNames(), source.ExtraChannelNames());
    EXPECT_THROW(NewImageTagList(TagList()), std::invalid_argument);
}
