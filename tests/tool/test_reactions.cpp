#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "host/worker_pool.h"
#include "support/images.h"
#include "support/keyer_direct.h"

namespace {

std::map<std::string, double> Values(const Veskar& tool) {
    std::map<std::string, double> values;
    for (const auto& input : tool.Inputs()) values[input->ID().Text()] = input->Value();
    return values;
}

std::vector<bool> Visibility(const KeyerDirect& keyer) {
    std::vector<bool> shown;
    for (const char* id : {"ValueRed", "ValueGreen", "ValueBlue", "MiRedn", "MinGreen", "MinBlue", "MaxRed",
                           "MaxGreen", "MaxBlue"}) {
        shown.push_back(keyer.In(id).IsVisible());
    }
    return shown;
}

}  // namespace

TEST(Reactions, ModeCopiesRoundHalvesUp) {
    KeyerDirect keyer;
    keyer.Set("keyfall", 2.5);
    EXPECT_EQ(keyer.tool->falloffMode.load(), 3);
    keyer.Set("keyfall", 0.49);
    EXPECT_EQ(keyer.tool->falloffMode.load(), 0);
    keyer.Set("keyalgo", 0.7);
    EXPECT_EQ(keyer.tool->keyerMode.load(), 1);
    keyer.Set("keyalgo", -0.51);  // stored as it comes; the render reads it as "MIN"
    EXPECT_EQ(keyer.tool->keyerMode.load(), -1);
}

TEST(Reactions, ChannelShowsItsThreeSliders) {
    EXPECT_EQ(Visibility(KeyerDirect(false)), std::vector<bool>(9, true));  // the constructor hides nothing
    KeyerDirect keyer;  // the default, button "1", is notified as the tool is added
    EXPECT_EQ(Visibility(keyer), (std::vector<bool>{0, 1, 0, 0, 1, 0, 0, 1, 0}));
    keyer.Set("Channel", 0.0);
    EXPECT_EQ(Visibility(keyer), (std::vector<bool>{1, 0, 0, 1, 0, 0, 1, 0, 0}));
    keyer.Set("Channel", 1.0);
    const std::vector<bool> second = {0, 1, 0, 0, 1, 0, 0, 1, 0};
    EXPECT_EQ(Visibility(keyer), second);
    keyer.Set("Channel", 3.0);  // no such button: nothing changes
    EXPECT_EQ(Visibility(keyer), second);
    keyer.Set("Channel", 2.4);
    EXPECT_EQ(Visibility(keyer), (std::vector<bool>{0, 0, 1, 0, 0, 1, 0, 0, 1}));
    // Hidden sliders keep their values and still take part.
    keyer.Set("ValueRed", 0.3);
    EXPECT_EQ(keyer.Get("ValueRed"), 0.3);
}

TEST(Reactions, OtherControlsChangeNothingElse) {
    KeyerDirect keyer;
    keyer.Set("Colorspace", 1);
    const int falloff = keyer.tool->falloffMode;
    for (const char* id : {"MiRedn", "FadeRed", "ColCor", "GammaAlpha", "2019byOmbrell"}) {
        std::map<std::string, double> before = Values(*keyer.tool);
        const double red = keyer.tool->keyColorRed;
        keyer.Set(id, 0.375);
        before[id] = 0.375;
        EXPECT_EQ(Values(*keyer.tool), before) << id;
        EXPECT_EQ(keyer.tool->keyColorRed, red) << id;
        EXPECT_EQ(keyer.tool->falloffMode.load(), falloff);
        EXPECT_EQ(keyer.tool->colorSpaceMode, 1);
    }
}

TEST(Reactions, EveryNotificationIsPassedOnUnchanged) {
    KeyerDirect keyer;
    struct Call {
        Input* input;
        Parameter* value;
        double time;
        TagList* tags;
    };
    std::vector<Call> calls;
    keyer.tool->SetChangeObserver([&](Input* i, Parameter* v, double t, TagList* l) { calls.push_back({i, v, t, l}); });
    TagList tags;
    Number two(2.0);
    keyer.tool->NotifyChanged(&keyer.In("Channel"), &two, 7.5, &tags);
    keyer.tool->NotifyChanged(&keyer.In("keyalgo"), nullptr, 8.0, &tags);
    keyer.tool->NotifyChanged(&keyer.In("Channel"), nullptr, 9.0, nullptr);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].input, &keyer.In("Channel"));
    EXPECT_EQ(calls[0].value, &two);
    EXPECT_EQ(calls[0].time, 7.5);
    EXPECT_EQ(calls[0].tags, &tags);
    EXPECT_EQ(calls[1].value, nullptr);
    EXPECT_EQ(calls[2].tags, nullptr);
    // Without a value, nothing reacted.
    EXPECT_EQ(keyer.tool->keyerMode.load(), 0);
    EXPECT_EQ(Visibility(keyer), (std::vector<bool>{0, 0, 1, 0, 0, 1, 0, 0, 1}));
}

TEST(Reactions, ModeChangesDuringARenderAreRaceFree) {
    KeyerDirect keyer;
    keyer.instance->Connect(keyer.In("Image"), PatternImage(64, 48));
    host::SetWorkerCount(2);
    std::atomic<bool> done{false};
    std::thread changer([&] {
        double v = 0.0;
        while (!done.load()) {
            keyer.Set("keyfall", v);
            keyer.Set("keyalgo", 1.0 - v);
            v = v == 0.0 ? 1.0 : 0.0;
        }
    });
    for (int frame = 0; frame < 20; ++frame) {
        EXPECT_TRUE(keyer.instance->Render());
    }
    done = true;
    changer.join();
    host::SetWorkerCount(0);
}
