#include <gtest/gtest.h>

#include "app/files/channel_roles.h"

namespace {

OIIO::ImageSpec Channels(std::vector<std::string> names) {
    OIIO::ImageSpec spec(2, 2, static_cast<int>(names.size()), OIIO::TypeDesc::FLOAT);
    spec.channelnames = names;
    return spec;
}

}  // namespace

TEST(ChannelRoles, ColourAndAlphaGoByNameWhereverTheyStand) {
    const veskar::ChannelLayout layout = veskar::LayoutOf(Channels({"Z", "b", "A", "G", "R", "mask"}));
    EXPECT_EQ(layout.red, 4);
    EXPECT_EQ(layout.green, 3);
    EXPECT_EQ(layout.blue, 1);
    EXPECT_EQ(layout.alpha, 2);
    EXPECT_EQ(layout.grey, -1);
    EXPECT_EQ(layout.extra, (std::vector<int>{0, 5}));
}

TEST(ChannelRoles, MissingColourIsNamedAndNothingTakesItsPlace) {
    veskar::ChannelLayout layout = veskar::LayoutOf(Channels({"R", "G", "Z"}));
    EXPECT_EQ(layout.blue, -1);
    EXPECT_EQ(layout.extra, (std::vector<int>{2}));
    EXPECT_EQ(layout.MissingColour(), (std::vector<std::string>{"B"}));
    // Unnamed channels beside colour are further channels, not colour.
    layout = veskar::LayoutOf(Channels({"G", "channel1", "channel2"}));
    EXPECT_EQ(layout.green, 0);
    EXPECT_EQ(layout.red, -1);
    EXPECT_EQ(layout.grey, -1);
    EXPECT_EQ(layout.extra, (std::vector<int>{1, 2}));
}

TEST(ChannelRoles, GreyIsYOrTheOnlyUnnamedChannel) {
    EXPECT_EQ(veskar::LayoutOf(Channels({"Y", "A"})).grey, 0);
    EXPECT_EQ(veskar::LayoutOf(Channels({"channel0"})).grey, 0);
    EXPECT_EQ(veskar::LayoutOf(Channels({""})).grey, 0);
    // A named channel is not grey because it is alone.
    const veskar::ChannelLayout depth = veskar::LayoutOf(Channels({"Z"}));
    EXPECT_FALSE(depth.HasColour());
    EXPECT_EQ(depth.extra, (std::vector<int>{0}));
}

TEST(ChannelRoles, LayerChoosesItsOwnColourAndAlpha) {
    const OIIO::ImageSpec spec = Channels({"R", "G", "B", "A", "fg.R", "fg.G", "fg.B", "fg.A", "fg.Z", "bg.Y"});
    const veskar::ChannelLayout layout = veskar::LayoutOf(spec, "fg");
    EXPECT_EQ(layout.red, 4);
    EXPECT_EQ(layout.green, 5);
    EXPECT_EQ(layout.blue, 6);
    EXPECT_EQ(layout.alpha, 7);
    EXPECT_EQ(layout.extra, (std::vector<int>{0, 1, 2, 3, 8, 9}));
    EXPECT_EQ(veskar::LayoutOf(spec, "bg").grey, 9);
    EXPECT_FALSE(veskar::LayoutOf(spec, "mid").HasColour());
    EXPECT_EQ(veskar::ColourLayers(spec), (std::vector<std::string>{"", "fg", "bg"}));
}
