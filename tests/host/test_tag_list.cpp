#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "host/fuid.h"
#include "host/tag_list.h"

TEST(FuID, EqualTextsShareOneWordAndReadBack) {
    std::string text = "Colorspace";
    FuID a(text.c_str(), true);
    FuID b("Colorspace", true);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.Word(), b.Word());
    text[0] = 'X';  // the host kept its own copy
    EXPECT_STREQ(a.Text(), "Colorspace");
    EXPECT_EQ(FuID::FromWord(a.Word()), a);
    EXPECT_NE(FuID("ValueRed", true), a);
    EXPECT_STREQ(FuID(nullptr, true).Text(), "");
}

TEST(FuID, StrayWordIsRefused) {
    const char stray[] = "not interned";
    EXPECT_THROW(FuID::FromWord(reinterpret_cast<std::uintptr_t>(stray)), std::invalid_argument);
    EXPECT_THROW(FuID::FromWord(42), std::invalid_argument);
}

TEST(TagList, PairsUpToEndCodeAreCopied) {
    TagItem items[] = {TagInt(0x10000000, 3), TagDouble(0x20030004, -0.25), kTagEnd,
                       TagInt(0x10000001, 9)};
    TagList list(items, false);
    items[0].data = 99;  // the list holds its own pairs
    ASSERT_EQ(list.Count(), 2u);
    EXPECT_EQ(list.GetInt(0x10000000, 0), 3);
    EXPECT_EQ(list.GetDouble(0x20030004, 0.0), -0.25);
    EXPECT_FALSE(list.Has(0x10000001));
    EXPECT_EQ(TagList().Count(), 0u);
}

TEST(TagList, KindsComeFromTheTopFourBits) {
    EXPECT_EQ(TagKindOf(0x88020000), 8u);
    EXPECT_EQ(TagKindOf(0x38040000), 3u);
    EXPECT_EQ(TagKindOf(0x20030001), 2u);
    EXPECT_EQ(TagKindOf(0x60020000), 6u);
    EXPECT_EQ(TagKindOf(0x1003000a), 1u);
    const TagItem items[] = {TagInt(0x10000000, 3), kTagEnd};
    TagList list(items, false);
    // Asking a pair for a value of another kind is a caller's mistake.
    EXPECT_THROW(list.GetDouble(0x10000000, 0.0), std::invalid_argument);
    EXPECT_THROW(list.GetText(0x10000000, ""), std::invalid_argument);
}

TEST(TagList, DoubleBitPatternsSurviveExactly) {
    const double tiny = 4.9406564584124654e-324;
    const TagItem items[] = {TagDouble(0x20030000, tiny), TagDouble(0x20030001, NAN),
                             TagDouble(0x20030004, -0.0), kTagEnd};
    TagList list(items, false);
    EXPECT_EQ(list.GetDouble(0x20030000, 0.0), tiny);
    EXPECT_TRUE(std::isnan(list.GetDouble(0x20030001, 0.0)));
    EXPECT_TRUE(std::signbit(list.GetDouble(0x20030004, 1.0)));
    EXPECT_EQ(list.GetDouble(0x20030005, 7.5), 7.5);
}

TEST(TagList, RepeatedCodesKeepTheirOrder) {
    const TagItem items[] = {TagText(0x38040000, "Linear"), TagInt(0x10050000, 1),
                             TagText(0x38040000, "Cosine"), TagText(0x38040000, "HalfCos"), kTagEnd};
    TagList list(items, false);
    EXPECT_EQ(list.CountOf(0x38040000), 3u);
    EXPECT_STREQ(list.GetText(0x38040000, "", 0), "Linear");
    EXPECT_STREQ(list.GetText(0x38040000, "", 2), "HalfCos");
    EXPECT_STREQ(list.GetText(0x38040000, "none", 3), "none");
}

TEST(TagList, KeptListOwnsItsTexts) {
    char caption[] = "Key Color";
    const TagItem items[] = {TagText(0x30040000, caption), kTagEnd};
    TagList borrowed(items, false);
    TagList kept = borrowed.Kept();
    TagList copied(items, true);
    std::strcpy(caption, "Changed!!");
    EXPECT_STREQ(kept.GetText(0x30040000, ""), "Key Color");
    EXPECT_STREQ(copied.GetText(0x30040000, ""), "Key Color");
    EXPECT_STREQ(borrowed.GetText(0x30040000, ""), "Changed!!");
    TagList copyOfKept = kept;  // copies share the kept texts safely
    kept = TagList();
    EXPECT_STREQ(copyOfKept.GetText(0x30040000, ""), "Key Color");
}

TEST(TagList, IdentifiersTravelAsOneWord) {
    FuID id("Number", true);
    const TagItem items[] = {TagId(0x88020000, id), kTagEnd};
    TagList list(items, false);
    EXPECT_EQ(list.Find(0x88020000)->data, id.Word());
    EXPECT_EQ(list.GetId(0x88020000, FuID()), id);
}

TEST(TagList, MergeReplacesFirstAndAppendsNew) {
    const TagItem base[] = {TagInt(0x10040008, 1), TagInt(0x1003000a, 1), kTagEnd};
    const TagItem change[] = {TagInt(0x10040008, 0), TagText(0x30040000, "x"), kTagEnd};
    TagList list(base, false);
    list.Merge(TagList(change, false));
    ASSERT_EQ(list.Count(), 3u);
    EXPECT_EQ(list.Items()[0].tag, 0x10040008u);
    EXPECT_EQ(list.GetInt(0x10040008, 1), 0);
    EXPECT_STREQ(list.GetText(0x30040000, ""), "x");
}
