// The control set: one page, the inputs in creation order and the output.
// Each control's attribute pairs stand in the order the host is given them.

#include <array>
#include <cstddef>
#include <initializer_list>

#include "host/tags.h"
#include "tool/veskar.h"

namespace {

// The attribute pairs of one control, ended by the end tag when handed over.
class Attrs {
public:
    Attrs& Int(std::uint64_t tag, std::int64_t value) { return Add(TagInt(tag, value)); }
    Attrs& Double(std::uint64_t tag, double value) { return Add(TagDouble(tag, value)); }
    Attrs& Text(std::uint64_t tag, const char* text) { return Add(TagText(tag, text)); }
    Attrs& Id(std::uint64_t tag, const FuID& id) { return Add(TagId(tag, id)); }
    Attrs& Entries(std::initializer_list<const char*> entries) {
        for (const char* entry : entries) {
            Text(kInpEntry, entry);
        }
        return *this;
    }

    // The list lives until the add call that takes it returns.
    TagList List() {
        items_[count_] = kTagEnd;
        return TagList(items_.data(), false);
    }

private:
    Attrs& Add(TagItem item) {
        items_[count_++] = item;  // capacity covers the longest list (ColCor)
        return *this;
    }

    std::array<TagItem, 24> items_{};
    std::size_t count_ = 0;
};

constexpr std::int64_t kNotify = 1;

}  // namespace

// The control table, one entry after another in creation order. The order is
// behaviour (a host notifies and a settings file loads in it), so the table
// stays one list rather than functions that would hide its sequence.
Veskar::Veskar(const Registry* registry, const ScriptVal& table, const TagList& tags)
    : ThreadedOperator(registry, table, tags) {
    AddControlPageTagList(FuID("Settings", true), TagList());
    keyColorArmed = 0;

    auto add = [this](const char* caption, const char* id, Attrs& attrs) {
        return AddInputTagList(FuID(caption, true), FuID(id, true), attrs.List());
    };
    auto combo = [&](const char* caption, const char* id, std::initializer_list<const char*> entries,
                     double upper) {
        Attrs attrs;
        attrs.Id(kLinkDataType, CLSID_DataType_Number)
            .Id(kInpControl, CLSID_InputControl_Combo)
            .Entries(entries)
            .Int(kInpComboStyle, 1)
            .Double(kInpMaxValue, upper)
            .Double(kInpMinValue, 0.0)
            .Double(kInpDefault, 0.0)
            .Int(kInpDoNotify, kNotify)
            .Double(kInpControlStyle, 1.0);
        return add(caption, id, attrs);
    };
    auto colour = [&](const char* caption, const char* id, std::int64_t position, std::int64_t channel) {
        Attrs attrs;
        attrs.Id(kLinkDataType, CLSID_DataType_Number).Id(kInpControl, CLSID_InputControl_Color);
        if (position == 0) {
            attrs.Text(kInpGroupCaption, "Key Color");
        }
        attrs.Int(kInpControlGroup, 1)
            .Int(kInpGroupPosition, position)
            .Double(kInpMinValue, 0.0)
            .Double(kInpMaxValue, 1.0)
            .Double(kInpDefault, 0.0)
            .Int(kInpColorChannel, channel)
            .Int(kInpDoNotify, kNotify)
            .Int(kInpColorFlags, 0);
        return add(caption, id, attrs);
    };
    auto checkbox = [&](const char* caption, const char* id, double defaultValue) {
        Attrs attrs;
        attrs.Id(kLinkDataType, CLSID_DataType_Number)
            .Id(kInpControl, CLSID_InputControl_Checkbox)
            .Double(kInpDefault, defaultValue)
            .Double(kInpControlStyle, 1.0);
        return add(caption, id, attrs);
    };
    auto slider = [&](const char* caption, const char* id, double lower, double upper, double defaultValue) {
        Attrs attrs;
        attrs.Id(kLinkDataType, CLSID_DataType_Number)
            .Id(kInpControl, CLSID_InputControl_Slider)
            .Double(kInpMinValue, lower)
            .Double(kInpMaxValue, upper)
            .Double(kInpDefault, defaultValue)
            .Int(kInpDoNotify, kNotify);
        return add(caption, id, attrs);
    };
    auto label = [&](const char* caption, const char* id, bool notify) {
        Attrs attrs;
        attrs.Id(kLinkDataType, CLSID_DataType_Text)
            .Id(kInpControl, CLSID_InputControl_Label)
            .Double(kInpDefault, 1.0)
            .Double(kInpControlStyle, 1.0);
        if (notify) {
            attrs.Int(kInpDoNotify, kNotify);
        }
        return add(caption, id, attrs);
    };

    inColorspace = combo("Color Space", "Colorspace", {"RGB", "HSV", "YXy", "YUV", "YCbCr"}, 5.0);
    inBGAlphaBlend = combo("BG Alpha Blend", "BGAlphaBlend",
                           {"Replace", "Multiply", "Add", "Substract", "PassThrough"}, 5.0);
    inKeyfall = combo("Key Falloff", "keyfall", {"Linear", "Cosine", "HalfCos", "BCos"}, 3.0);
    inKeyalgo = combo("Keyer", "keyalgo", {"MIN", "DIST"}, 1.0);
    inCRed = colour("CRed", "CRed", 0, 6);
    inCGreen = colour("CGreen", "CGreen", 1, 7);
    inCBlue = colour("CBlue", "CBlue", 2, 8);
    inInvAlpha = checkbox("Invert Alpha", "InvAlpha", 0.0);
    inAlphamult = checkbox("Alpha Multiply", "Alphamult", 1.0);
    inColCor = combo("Color Correct", "ColCor",
                     {"none", "mine", "Average", "Double Blue Average", "Double Red Average",
                      "Double Green Average", "Blue Limit", "Red Limit"},
                     9.0);
    inCCAmount = slider("CC Amount", "CCAmount", 0.0, 1.5, 0.0);
    inFadeCC = slider("Fade CC", "FadeCC", 0.0, 0.5, 0.0);
    inDesaturateAlpha = slider("Desaturate Alpha", "DesaturateAlpha", 0.0, 5.0, 0.0);
    {
        Attrs attrs;
        attrs.Id(kLinkDataType, CLSID_DataType_Number)
            .Id(kInpControl, CLSID_InputControl_MultiButton)
            .Entries({"0", "1", "2"})
            .Int(kInpButtonStyle, 1)
            .Int(kInpDoNotify, kNotify)
            .Double(kInpDefault, 1.0);
        inChannel = add("Channel", "Channel", attrs);
    }
    inValueRed = slider("Value p1", "ValueRed", -1.0, 1.0, 0.0);
    inValueGreen = slider("Value p2", "ValueGreen", -1.0, 1.0, 0.0);
    inValueBlue = slider("Value p3", "ValueBlue", -1.0, 1.0, 0.0);
    // "MiRedn" is the id saved settings and scripts know this slider by.
    inMiRedn = slider("Min p1", "MiRedn", -1.0, 1.0, 0.0);
    inMinGreen = slider("Min p2", "MinGreen", -1.0, 1.0, 0.0);
    inMinBlue = slider("Min p3", "MinBlue", -1.0, 1.0, 0.0);
    inMaxRed = slider("Max p1", "MaxRed", -1.0, 1.0, 0.0);
    inMaxGreen = slider("Max p2", "MaxGreen", -1.0, 1.0, 0.0);
    inMaxBlue = slider("Max p3", "MaxBlue", -1.0, 1.0, 0.0);
    inMydivider = label(" ", "mydivider", false);
    inFadeRed = slider("Fade", "FadeRed", 0.0, 1.0, 0.5);
    inGammaAlpha = slider("Gamma Alpha", "GammaAlpha", 0.0001, 4.0, 1.0);
    inMultAlpha = slider("Mult Alpha", "MultAlpha", 0.0, 40.0, 1.0);
    inOffAlpha = slider("Offset Alpha", "OffAlpha", -2.0, 2.0, 0.0);
    inVersionLabel = label("Veskar v0.87 - colour keyer by Ombrell", "2019byOmbrell", true);
    {
        Attrs attrs;
        attrs.Id(kLinkDataType, CLSID_DataType_Image).Int(kLinkMain, 1).Int(kInpDoNotify, kNotify);
        inImage = add("Image", "Image", attrs);
    }
    {
        Attrs attrs;
        attrs.Id(kLinkDataType, CLSID_DataType_Image).Int(kLinkMain, 2).Int(kInpRequired, 0);
        inKeyImage = add("KeyImage", "KeyImage", attrs);
    }
    {
        Attrs attrs;
        attrs.Id(kLinkDataType, CLSID_DataType_Image).Int(kLinkMain, 1);
        outImage = AddOutputTagList(FuID("Output", true), FuID("Output", true), attrs.List());
    }
}
