#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <utility>

#include "host/image.h"
#include "host/tags.h"
#include "host/worker_pool.h"

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

TEST(Image, PlainRowsAreTheRecordsTheRoutinesReadAndWrite) {
    Image image(6, 4, {"Z", "N.x", "N.y"});
    ASSERT_TRUE(image.PlainFloatRows());
    const unsigned char* plane1 = image.PlaneBytes(1);
    const unsigned char* plane2 = image.PlaneBytes(2);
    ASSERT_NE(plane1, nullptr);
    ASSERT_NE(plane2, nullptr);
    EXPECT_EQ(image.PlaneBytes(3), nullptr);
    EXPECT_EQ(Image(6, 4).PlaneBytes(2), nullptr);

    PixelRecord record{};
    record.B = 1.0f;
    record.G = 2.0f;
    record.R = 3.0f;
    record.A = 4.0f;
    record.Extra[0] = 5.0f;
    record.Extra[2] = 7.0f;
    const std::int64_t p1 = image.RowStarts(1)[3] + 5 * image.Step(1);
    const std::int64_t p2 = image.RowStarts(2)[3] + 5 * image.Step(2);
    image.StoreRoutine()(&record, p1, p2, &image);
    // Line 3 read as a row: record 5 of plane 1, further channels 5 of plane 2.
    const auto* row1 = reinterpret_cast<const float*>(plane1 + image.RowStarts(1)[3]);
    const auto* row2 = reinterpret_cast<const float*>(plane2 + image.RowStarts(2)[3]);
    EXPECT_EQ(row1[5 * 4 + 0], 1.0f);
    EXPECT_EQ(row1[5 * 4 + 2], 3.0f);
    EXPECT_EQ(row1[5 * 4 + 3], 4.0f);
    EXPECT_EQ(row2[5 * 3 + 0], 5.0f);
    EXPECT_EQ(row2[5 * 3 + 2], 7.0f);
}

TEST(Image, OtherPixelRoutinesEndPlainRows) {
    Image image(2, 2);
    image.SetPixelRoutines(
        [](PixelRecord* record, std::int64_t, std::int64_t, const Image*) { record->B = 9.0f; },
        [](const PixelRecord*, std::int64_t, std::int64_t, Image*) {});
    EXPECT_FALSE(image.PlainFloatRows());
    PixelRecord record{};
    image.FetchRoutine()(&record, 0, 0, &image);
    EXPECT_EQ(record.B, 9.0f);
}

// A released image's planes serve the next image of the same size; that image
// is all 0 as a fresh one is, for a plane cleared at once and for one cleared
// in pieces on the workers (sizes that are no whole number of pieces, with one
// worker and with several).
TEST(Image, AReusedPlaneIsAllZeroAgain) {
    const int workers = host::WorkerCount();
    for (int count : {1, 3}) {
        host::SetWorkerCount(count);
        for (const auto& [width, height] : {std::pair{37, 11}, std::pair{1031, 333}}) {
            const float* used = nullptr;
            {
                Image image(width, height, {"Z"});
                for (int y = 0; y < height; ++y) {
                    std::fill_n(image.Plane1Pixel(0, y), width * 4, std::numeric_limits<float>::quiet_NaN());
                    std::fill_n(image.Plane2Pixel(0, y), width, -1.0f);
                }
                used = image.Plane1Pixel(0, 0);
            }
            Image again(width, height, {"Z"});
            ASSERT_EQ(again.Plane1Pixel(0, 0), used) << "the released plane was not taken again";
            std::size_t nonZero = 0;
            for (int y = 0; y < height; ++y) {
                const float* row1 = again.Plane1Pixel(0, y);
                const float* row2 = again.Plane2Pixel(0, y);
                nonZero += static_cast<std::size_t>(
                    std::count_if(row1, row1 + width * 4, [](float v) { return std::bit_cast<std::uint32_t>(v) != 0; }));
                nonZero += static_cast<std::size_t>(
                    std::count_if(row2, row2 + width, [](float v) { return std::bit_cast<std::uint32_t>(v) != 0; }));
            }
            EXPECT_EQ(nonZero, 0u) << width << " x " << height << " with " << count << " worker(s)";
        }
    }
    host::SetWorkerCount(workers);
}
