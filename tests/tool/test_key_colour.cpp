#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/keyer_direct.h"

namespace {

// Results of the colour-space round trips are single-precision values; the
// worked examples are given to four or five digits.
constexpr double kWorkedDigits = 1e-4;

void ExpectKeyColour(const KeyerDirect& keyer, double r, double g, double b) {
    EXPECT_EQ(keyer.Get("CRed"), r);
    EXPECT_EQ(keyer.Get("CGreen"), g);
    EXPECT_EQ(keyer.Get("CBlue"), b);
}

}  // namespace

TEST(KeyColourEntry, ColourSpaceIsRoundedAndConvertsNothing) {
    KeyerDirect keyer;
    keyer.Set("CRed", 0.2);
    keyer.Set("CGreen", 0.6);
    keyer.Set("Colorspace", 2.5);
    EXPECT_EQ(keyer.tool->colorSpaceMode, 3);
    keyer.Set("Colorspace", 4.49);
    EXPECT_EQ(keyer.tool->colorSpaceMode, 4);
    keyer.Set("Colorspace", 1.0);
    // Sliders, members and the key colour stay as the RGB entry left them.
    EXPECT_EQ(keyer.Get("ValueRed"), 0.2f);
    EXPECT_EQ(keyer.Get("ValueGreen"), 0.6f);
    EXPECT_EQ(keyer.Get("ValueBlue"), 0.0);
    EXPECT_EQ(keyer.tool->keyColorRed, 0.2);
    EXPECT_EQ(keyer.tool->keyColorGreen, 0.6);
    ExpectKeyColour(keyer, 0.2, 0.6, 0.0);
}

TEST(KeyColourEntry, KeyColourIsIgnoredUntilValueP3IsNotified) {
    KeyerDirect keyer(false);  // no default notifications yet
    EXPECT_EQ(keyer.tool->keyColorArmed, 0);
    keyer.Set("CGreen", 0.7);
    EXPECT_EQ(keyer.tool->keyColorGreen, 0.0);
    EXPECT_EQ(keyer.Get("ValueGreen"), 0.0);
    keyer.Set("ValueRed", 0.1);  // p1 and p2 edits already run
    EXPECT_EQ(keyer.tool->keyColorRed, 0.1);
    EXPECT_EQ(keyer.tool->keyColorArmed, 0);
    keyer.Set("ValueBlue", 0.25);
    EXPECT_EQ(keyer.tool->keyColorArmed, 1);
    keyer.Set("CGreen", 0.5);
    EXPECT_EQ(keyer.tool->keyColorGreen, 0.5);
    EXPECT_EQ(keyer.Get("ValueGreen"), 0.5);
}

TEST(KeyColourEntry, RgbValueGoesToTheKeyColourUnclamped) {
    KeyerDirect keyer;
    keyer.Set("CGreen", 0.4);
    keyer.Set("ValueRed", -0.25);
    EXPECT_EQ(keyer.Get("CRed"), -0.25);
    EXPECT_EQ(keyer.tool->keyColorRed, -0.25);
    EXPECT_EQ(keyer.Get("CGreen"), 0.4);
    EXPECT_EQ(keyer.tool->keyColorGreen, 0.4);
    EXPECT_EQ(keyer.Get("CBlue"), 0.0);
}

TEST(KeyColourEntry, HsvRedThenHueHalfGivesCyan) {
    KeyerDirect keyer;
    keyer.Set("Colorspace", 1);
    keyer.Set("CRed", 1.0);
    EXPECT_EQ(keyer.Get("ValueRed"), 0.0);
    EXPECT_EQ(keyer.Get("ValueGreen"), 1.0);
    EXPECT_EQ(keyer.Get("ValueBlue"), 1.0);
    keyer.Set("ValueRed", 0.5);
    ExpectKeyColour(keyer, 0.0, 1.0, 1.0);
    EXPECT_EQ(keyer.tool->keyColorRed, 0.0);
}

TEST(KeyColourEntry, YcbcrMembersKeepWhatTheControlCannotShow) {
    KeyerDirect keyer;
    keyer.Set("Colorspace", 4);
    keyer.Set("CRed", 1.0);
    keyer.Set("CGreen", 1.0);
    keyer.Set("CBlue", 1.0);
    EXPECT_NEAR(keyer.Get("ValueRed"), 1.0, 1e-6);
    EXPECT_NEAR(keyer.Get("ValueGreen"), 128.0 / 255.0, 1e-6);
    EXPECT_NEAR(keyer.Get("ValueBlue"), 128.0 / 255.0, 1e-6);
    keyer.Set("ValueGreen", 1.0);
    EXPECT_NEAR(keyer.tool->keyColorRed, 1.0, kWorkedDigits);
    EXPECT_NEAR(keyer.tool->keyColorGreen, 0.8286, kWorkedDigits);
    EXPECT_NEAR(keyer.tool->keyColorBlue, 1.8825, kWorkedDigits);
    EXPECT_EQ(keyer.Get("CBlue"), 1.0);
    EXPECT_NEAR(keyer.Get("CGreen"), 0.8286, kWorkedDigits);
    // The next edit starts from the members, blue about 1.8825, not from 1.0:
    // lowering Y keeps blue well above the control's 1.
    keyer.Set("ValueRed", 0.9);
    EXPECT_GT(keyer.tool->keyColorBlue, 1.7);
    EXPECT_EQ(keyer.Get("CBlue"), 1.0);
}

TEST(KeyColourEntry, YcbcrBlackToFullLumaReachesExactlyOne) {
    KeyerDirect keyer;
    keyer.Set("Colorspace", 4);
    keyer.Set("CRed", 0.0);  // black already; the members are (0, 0, 0)
    keyer.Set("ValueGreen", 128.0 / 255.0);
    keyer.Set("ValueBlue", 128.0 / 255.0);
    keyer.Set("ValueRed", 1.0);
    // The back conversion may exceed 1 by a rounding step; the control gets 1.
    ExpectKeyColour(keyer, 1.0, 1.0, 1.0);
    EXPECT_NEAR(keyer.tool->keyColorRed, 1.0, 1e-5);
}

TEST(KeyColourEntry, ColourSpaceWithoutEntryTurnsBothDirectionsOff) {
    KeyerDirect keyer(false);
    keyer.Set("Colorspace", 5);
    keyer.Set("ValueRed", 0.3);
    keyer.Set("ValueBlue", 0.6);
    EXPECT_EQ(keyer.tool->keyColorArmed, 1);
    EXPECT_EQ(keyer.tool->keyColorRed, 0.0);
    ExpectKeyColour(keyer, 0.0, 0.0, 0.0);
    keyer.Set("CGreen", 0.8);
    EXPECT_EQ(keyer.tool->keyColorGreen, 0.8);  // stored, but no slider moves
    EXPECT_EQ(keyer.Get("ValueGreen"), 0.0);
    EXPECT_EQ(keyer.Get("ValueRed"), 0.3);
}

namespace {

// What a recording host sees: every set with the key colour members at that
// moment, and the tool's call of the host's own NotifyChanged.
struct Event {
    std::string what;  // "set <id>" or "base <id>"
    double value;
    double red, green, blue;
};

class RecordingHost : public ::testing::Test {
protected:
    void SetUp() override {
        Veskar* tool = keyer.tool;
        tool->SetSetObserver([this, tool](Input* input, double value, double) {
            events.push_back({"set " + std::string(input->ID().Text()), value, tool->keyColorRed,
                              tool->keyColorGreen, tool->keyColorBlue});
        });
        tool->SetChangeObserver([this, tool](Input* input, Parameter* value, double time, TagList* tags) {
            events.push_back({"base " + std::string(input->ID().Text()), 0.0, tool->keyColorRed,
                              tool->keyColorGreen, tool->keyColorBlue});
            lastValue = value;
            lastTime = time;
            lastTags = tags;
            ++notifications;
        });
    }

    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const Event& e : events) names.push_back(e.what);
        return names;
    }

    KeyerDirect keyer;
    std::vector<Event> events;
    Parameter* lastValue = nullptr;
    double lastTime = -1.0;
    TagList* lastTags = nullptr;
    int notifications = 0;
};

}  // namespace

TEST_F(RecordingHost, KeyColourStoresItsMemberBeforeSettingAnySlider) {
    keyer.Set("Colorspace", 1);
    events.clear();
    keyer.instance->SetNumber(keyer.In("CRed"), 0.9, 3.0);
    EXPECT_EQ(Names(), (std::vector<std::string>{"set CRed", "set ValueRed", "set ValueGreen", "set ValueBlue",
                                                 "base CRed"}));
    for (std::size_t i = 1; i < 4; ++i) EXPECT_EQ(events[i].red, 0.9) << events[i].what;
    EXPECT_EQ(lastTime, 3.0);
}

TEST_F(RecordingHost, ConvertingValueEditStoresAllMembersBeforeAnyChannel) {
    keyer.Set("Colorspace", 1);
    keyer.Set("CRed", 1.0);
    events.clear();
    keyer.Set("ValueRed", 0.5);  // hue to cyan
    ASSERT_EQ(Names(), (std::vector<std::string>{"set ValueRed", "set CRed", "set CGreen", "set CBlue",
                                                 "base ValueRed"}));
    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(events[i].red, 0.0) << events[i].what;
        EXPECT_EQ(events[i].green, 1.0) << events[i].what;
        EXPECT_EQ(events[i].blue, 1.0) << events[i].what;
    }
}

TEST_F(RecordingHost, RgbValueEditSetsTheChannelBeforeTheMember) {
    events.clear();
    keyer.Set("ValueGreen", 0.75);
    ASSERT_EQ(Names(), (std::vector<std::string>{"set ValueGreen", "set CGreen", "base ValueGreen"}));
    EXPECT_EQ(events[1].value, 0.75);
    EXPECT_EQ(events[1].green, 0.0);  // not stored yet when the channel is set
    EXPECT_EQ(events[2].green, 0.75);
}

TEST_F(RecordingHost, HostHandlerComesLastWithTheSameArguments) {
    Number value(0.3);
    TagList tags;
    keyer.tool->NotifyChanged(&keyer.In("ValueBlue"), &value, 4.25, &tags);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().what, "base ValueBlue");
    EXPECT_EQ(lastValue, &value);
    EXPECT_EQ(lastTime, 4.25);
    EXPECT_EQ(lastTags, &tags);
}

TEST_F(RecordingHost, EachEntryCostsOneNotification) {
    keyer.Set("Colorspace", 4);
    notifications = 0;
    keyer.Set("CRed", 0.3);  // YCbCr: the exchange would otherwise go back and forth
    EXPECT_EQ(notifications, 1);
    keyer.Set("Colorspace", 3);
    notifications = 0;
    keyer.Set("ValueGreen", 0.05);  // YUV: the two conversions are not inverses
    EXPECT_EQ(notifications, 1);
    EXPECT_NE(keyer.Get("CRed"), 0.3);  // the edit moved the key colour
}
