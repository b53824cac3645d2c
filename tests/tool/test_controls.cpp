#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/tags.h"
#include "support/keyer_plugin.h"

namespace {

struct Expected {
    const char* id;
    const char* caption;
};

// Creation order, ids and captions as saved settings and scripts know them.
const std::vector<Expected> kControls = {
    {"Colorspace", "Color Space"},    {"BGAlphaBlend", "BG Alpha Blend"}, {"keyfall", "Key Falloff"},
    {"keyalgo", "Keyer"},             {"CRed", "CRed"},                   {"CGreen", "CGreen"},
    {"CBlue", "CBlue"},               {"InvAlpha", "Invert Alpha"},       {"Alphamult", "Alpha Multiply"},
    {"ColCor", "Color Correct"},      {"CCAmount", "CC Amount"},          {"FadeCC", "Fade CC"},
    {"DesaturateAlpha", "Desaturate Alpha"}, {"Channel", "Channel"},      {"ValueRed", "Value p1"},
    {"ValueGreen", "Value p2"},       {"ValueBlue", "Value p3"},          {"MiRedn", "Min p1"},
    {"MinGreen", "Min p2"},           {"MinBlue", "Min p3"},              {"MaxRed", "Max p1"},
    {"MaxGreen", "Max p2"},           {"MaxBlue", "Max p3"},              {"mydivider", " "},
    {"FadeRed", "Fade"},              {"GammaAlpha", "Gamma Alpha"},      {"MultAlpha", "Mult Alpha"},
    {"OffAlpha", "Offset Alpha"},     {"2019byOmbrell", nullptr},         {"Image", "Image"},
    {"KeyImage", "KeyImage"},
};

std::vector<std::uint64_t> Codes(const Input& input) {
    std::vector<std::uint64_t> codes;
    for (const TagItem& item : input.Attrs().Items()) {
        codes.push_back(item.tag);
    }
    return codes;
}

std::vector<std::string> Entries(const Input& input) {
    std::vector<std::string> entries;
    for (std::size_t i = 0; i < input.Attrs().CountOf(kInpEntry); ++i) {
        entries.emplace_back(input.Attrs().GetText(kInpEntry, "", i));
    }
    return entries;
}

std::vector<std::uint64_t> WithEntries(std::vector<std::uint64_t> head, std::size_t count,
                                       std::vector<std::uint64_t> tail) {
    head.insert(head.end(), count, kInpEntry);
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

class ControlSet : public ::testing::Test {
protected:
    KeyerPlugin keyer{false};  // as the constructor leaves it
    const Input& In(const char* id) { return keyer.In(id); }
    double Attr(const char* id, std::uint64_t tag) { return In(id).Attrs().GetDouble(tag, -999.0); }
};

}  // namespace

TEST_F(ControlSet, InputsAndOutputInCreationOrderWithExactIdsAndCaptions) {
    const Operator& tool = keyer.tool->Tool();
    ASSERT_EQ(tool.Inputs().size(), kControls.size());
    for (std::size_t i = 0; i < kControls.size(); ++i) {
        EXPECT_STREQ(tool.Inputs()[i]->ID().Text(), kControls[i].id) << "input " << i;
        if (kControls[i].caption) {
            EXPECT_STREQ(tool.Inputs()[i]->Caption().Text(), kControls[i].caption) << kControls[i].id;
        }
        EXPECT_EQ(tool.Inputs()[i]->Page(), 0);
        EXPECT_TRUE(tool.Inputs()[i]->IsVisible());
    }
    EXPECT_NE(std::string(In("2019byOmbrell").Caption().Text()).find("v0.87"), std::string::npos);
    ASSERT_EQ(tool.Outputs().size(), 1u);
    EXPECT_STREQ(tool.Outputs()[0]->ID().Text(), "Output");
    EXPECT_STREQ(tool.Outputs()[0]->Caption().Text(), "Output");
    EXPECT_EQ(tool.Pages(), std::vector<std::string>{"Settings"});
}

TEST_F(ControlSet, CombosListTheirPairsInOrder) {
    const std::vector<std::uint64_t> tail = {kInpComboStyle, kInpMaxValue,  kInpMinValue,
                                             kInpDefault,    kInpDoNotify, kInpControlStyle};
    struct Combo {
        const char* id;
        std::vector<std::string> entries;
        double upper;
    };
    const std::vector<Combo> combos = {
        {"Colorspace", {"RGB", "HSV", "YXy", "YUV", "YCbCr"}, 5.0},
        {"BGAlphaBlend", {"Replace", "Multiply", "Add", "Substract", "PassThrough"}, 5.0},
        {"keyfall", {"Linear", "Cosine", "HalfCos", "BCos"}, 3.0},
        {"keyalgo", {"MIN", "DIST"}, 1.0},
        {"ColCor",
         {"none", "mine", "Average", "Double Blue Average", "Double Red Average", "Double Green Average",
          "Blue Limit", "Red Limit"},
         9.0},
    };
    for (const Combo& combo : combos) {
        const Input& input = In(combo.id);
        EXPECT_EQ(Codes(input), WithEntries({kLinkDataType, kInpControl}, combo.entries.size(), tail)) << combo.id;
        EXPECT_EQ(Entries(input), combo.entries) << combo.id;
        EXPECT_EQ(input.Attrs().GetId(kLinkDataType, FuID()), CLSID_DataType_Number);
        EXPECT_EQ(input.Attrs().GetId(kInpControl, FuID()), CLSID_InputControl_Combo);
        EXPECT_EQ(input.Attrs().GetInt(kInpComboStyle, 0), 1);
        EXPECT_EQ(Attr(combo.id, kInpMaxValue), combo.upper) << combo.id;
        EXPECT_EQ(Attr(combo.id, kInpMinValue), 0.0);
        EXPECT_EQ(Attr(combo.id, kInpDefault), 0.0);
        EXPECT_EQ(Attr(combo.id, kInpControlStyle), 1.0);
        EXPECT_TRUE(input.Notifies());
    }
}

TEST_F(ControlSet, KeyColorChannelsFormOneGroup) {
    const char* ids[] = {"CRed", "CGreen", "CBlue"};
    for (int position = 0; position < 3; ++position) {
        const Input& input = In(ids[position]);
        std::vector<std::uint64_t> codes = {kLinkDataType, kInpControl};
        if (position == 0) {
            codes.push_back(kInpGroupCaption);
        }
        codes.insert(codes.end(), {kInpControlGroup, kInpGroupPosition, kInpMinValue, kInpMaxValue, kInpDefault,
                                   kInpColorChannel, kInpDoNotify, kInpColorFlags});
        EXPECT_EQ(Codes(input), codes) << ids[position];
        EXPECT_EQ(input.Attrs().GetId(kInpControl, FuID()), CLSID_InputControl_Color);
        EXPECT_EQ(input.Attrs().GetInt(kInpControlGroup, 0), 1);
        EXPECT_EQ(input.Attrs().GetInt(kInpGroupPosition, -1), position);
        EXPECT_EQ(input.Attrs().GetInt(kInpColorChannel, 0), 6 + position);
        EXPECT_EQ(input.Attrs().GetInt(kInpColorFlags, -1), 0);
        EXPECT_EQ(Attr(ids[position], kInpMinValue), 0.0);
        EXPECT_EQ(Attr(ids[position], kInpMaxValue), 1.0);
        EXPECT_EQ(Attr(ids[position], kInpDefault), 0.0);
    }
    EXPECT_STREQ(In("CRed").Attrs().GetText(kInpGroupCaption, ""), "Key Color");
}

TEST_F(ControlSet, CheckboxesStartAsSavedCompositionsExpect) {
    for (const char* id : {"InvAlpha", "Alphamult"}) {
        EXPECT_EQ(Codes(In(id)), (std::vector<std::uint64_t>{kLinkDataType, kInpControl, kInpDefault, kInpControlStyle}))
            << id;
        EXPECT_EQ(In(id).Attrs().GetId(kInpControl, FuID()), CLSID_InputControl_Checkbox);
        EXPECT_FALSE(In(id).Notifies());
    }
    EXPECT_EQ(Attr("InvAlpha", kInpDefault), 0.0);
    EXPECT_EQ(Attr("Alphamult", kInpDefault), 1.0);
}

TEST_F(ControlSet, SlidersCarryTheirRangesAndDefaults) {
    struct Slider {
        const char* id;
        double lower, upper, def;
    };
    const std::vector<Slider> sliders = {
        {"CCAmount", 0.0, 1.5, 0.0},   {"FadeCC", 0.0, 0.5, 0.0},     {"DesaturateAlpha", 0.0, 5.0, 0.0},
        {"ValueRed", -1.0, 1.0, 0.0},  {"ValueGreen", -1.0, 1.0, 0.0}, {"ValueBlue", -1.0, 1.0, 0.0},
        {"MiRedn", -1.0, 1.0, 0.0},    {"MinGreen", -1.0, 1.0, 0.0},   {"MinBlue", -1.0, 1.0, 0.0},
        {"MaxRed", -1.0, 1.0, 0.0},    {"MaxGreen", -1.0, 1.0, 0.0},   {"MaxBlue", -1.0, 1.0, 0.0},
        {"FadeRed", 0.0, 1.0, 0.5},    {"GammaAlpha", 0.0001, 4.0, 1.0}, {"MultAlpha", 0.0, 40.0, 1.0},
        {"OffAlpha", -2.0, 2.0, 0.0},
    };
    for (const Slider& slider : sliders) {
        EXPECT_EQ(Codes(In(slider.id)), (std::vector<std::uint64_t>{kLinkDataType, kInpControl, kInpMinValue,
                                                                    kInpMaxValue, kInpDefault, kInpDoNotify}))
            << slider.id;
        EXPECT_EQ(In(slider.id).Attrs().GetId(kInpControl, FuID()), CLSID_InputControl_Slider);
        EXPECT_EQ(Attr(slider.id, kInpMinValue), slider.lower) << slider.id;
        EXPECT_EQ(Attr(slider.id, kInpMaxValue), slider.upper) << slider.id;
        EXPECT_EQ(Attr(slider.id, kInpDefault), slider.def) << slider.id;
        EXPECT_EQ(In(slider.id).Value(), slider.def) << slider.id;
        EXPECT_TRUE(In(slider.id).Notifies());
    }
}

TEST_F(ControlSet, ChannelButtonsStartOnTheSecond) {
    const Input& channel = In("Channel");
    EXPECT_EQ(Codes(channel), WithEntries({kLinkDataType, kInpControl}, 3, {kInpButtonStyle, kInpDoNotify, kInpDefault}));
    EXPECT_EQ(Entries(channel), (std::vector<std::string>{"0", "1", "2"}));
    EXPECT_EQ(channel.Attrs().GetId(kInpControl, FuID()), CLSID_InputControl_MultiButton);
    EXPECT_EQ(channel.Attrs().GetInt(kInpButtonStyle, 0), 1);
    EXPECT_EQ(Attr("Channel", kInpDefault), 1.0);
}

TEST_F(ControlSet, LabelsAreTextAndOnlyTheVersionLabelNotifies) {
    EXPECT_EQ(Codes(In("mydivider")), (std::vector<std::uint64_t>{kLinkDataType, kInpControl, kInpDefault, kInpControlStyle}));
    EXPECT_EQ(Codes(In("2019byOmbrell")),
              (std::vector<std::uint64_t>{kLinkDataType, kInpControl, kInpDefault, kInpControlStyle, kInpDoNotify}));
    for (const char* id : {"mydivider", "2019byOmbrell"}) {
        EXPECT_EQ(In(id).Attrs().GetId(kLinkDataType, FuID()), CLSID_DataType_Text);
        EXPECT_EQ(In(id).Attrs().GetId(kInpControl, FuID()), CLSID_InputControl_Label);
        EXPECT_EQ(Attr(id, kInpDefault), 1.0);
    }
    EXPECT_FALSE(In("mydivider").Notifies());
    EXPECT_TRUE(In("2019byOmbrell").Notifies());
}

TEST_F(ControlSet, ImageLinksAndOutput) {
    EXPECT_EQ(Codes(In("Image")), (std::vector<std::uint64_t>{kLinkDataType, kLinkMain, kInpDoNotify}));
    EXPECT_EQ(Codes(In("KeyImage")), (std::vector<std::uint64_t>{kLinkDataType, kLinkMain, kInpRequired}));
    EXPECT_EQ(In("Image").Attrs().GetInt(kLinkMain, 0), 1);
    EXPECT_EQ(In("KeyImage").Attrs().GetInt(kLinkMain, 0), 2);
    EXPECT_EQ(In("KeyImage").Attrs().GetInt(kInpRequired, 1), 0);
    EXPECT_TRUE(In("Image").IsImage());
    EXPECT_TRUE(In("KeyImage").IsImage());
    EXPECT_FALSE(In("KeyImage").Notifies());
    const Output& output = *keyer.tool->Tool().Outputs()[0];
    std::vector<std::uint64_t> codes;
    for (const TagItem& item : output.Attrs().Items()) codes.push_back(item.tag);
    EXPECT_EQ(codes, (std::vector<std::uint64_t>{kLinkDataType, kLinkMain}));
    EXPECT_EQ(output.Attrs().GetId(kLinkDataType, FuID()), CLSID_DataType_Image);
    EXPECT_EQ(output.Attrs().GetInt(kLinkMain, 0), 1);
}
