#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <vector>

#include "host/plugin_loader.h"
#include "host/registry.h"
#include "host/tags.h"
#include "support/keyer_plugin.h"

TEST(PluginRegistration, LoadingRegistersExactlyTheKeyerClass) {
    ASSERT_TRUE(ClassRegistry.All().empty());
    {
        host::PluginSet plugins;
        const host::LoadedPlugin& loaded = plugins.Load(VESKAR_TEST_PLUGIN);
        EXPECT_EQ(loaded.classIds, std::vector<std::string>{"Ombrell.Veskar"});
        ASSERT_EQ(ClassRegistry.All().size(), 1u);
        const Registry* record = ClassRegistry.Find("Ombrell.Veskar");
        ASSERT_NE(record, nullptr);
        EXPECT_STREQ(record->Name(), "Veskar");
        EXPECT_STREQ(record->GetText(kRegToolName, ""), "Veskar");
        EXPECT_STREQ(record->Maker(), "Ombrell");
        EXPECT_EQ(record->ParentClassID(), &ThreadedOperator::ClassID);
        EXPECT_NE(record->Factory(), nullptr);
        ASSERT_NE(record->Script(), nullptr);
        EXPECT_EQ(record->Script()->ClassId(), "Ombrell.Veskar");
        EXPECT_EQ(record->Script()->Version(), 1u);
        {
            // The tool's base is its first part: both conversions keep the pointer.
            host::ToolInstance instance(*record);
            Operator* tool = &instance.Tool();
            EXPECT_EQ(record->Script()->ToScriptObject(tool), tool);
            EXPECT_EQ(record->Script()->FromScriptObject(tool), tool);
        }
        EXPECT_TRUE(std::regex_match(record->BuildText(),
                                     std::regex("Built: [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}")))
            << record->BuildText();

        // The registration pairs, in their order.
        const std::vector<std::uint64_t> codes = {0x60000001, 0x60000002, 0x10000000, 0x30000008,
                                                  0x60000010, 0x60000005, 0x60000000, 0x3000000f,
                                                  0x30000002, 0x30000003, 0x30000004, 0x30000005};
        ASSERT_EQ(record->Count(), codes.size());
        for (std::size_t i = 0; i < codes.size(); ++i) {
            EXPECT_EQ(record->Items()[i].tag, codes[i]) << "pair " << i;
        }
        EXPECT_EQ(record->GetPointer(kRegInitHook, nullptr), reinterpret_cast<const void*>(&Operator::RegInit));
        EXPECT_EQ(record->GetPointer(kRegCleanupHook, nullptr),
                  reinterpret_cast<const void*>(&Operator::RegCleanup));
        EXPECT_EQ(record->GetInt(kRegClassAttributes, 0), 3);
        EXPECT_STREQ(record->GetText(kRegIcon, ""), ":/ToolIcons/IDB_TILE_BRIGHTNESS");
        EXPECT_STREQ(record->GetText(kRegShortText, ""), "S_1");
    }
    // Unloaded with its set: the class is gone.
    EXPECT_EQ(ClassRegistry.Find("Ombrell.Veskar"), nullptr);
    EXPECT_TRUE(ClassRegistry.All().empty());
}

TEST(PluginRegistration, ReloadingRegistersAgain) {
    for (int round = 0; round < 2; ++round) {
        KeyerPlugin keyer;
        ASSERT_NE(keyer.registry, nullptr) << "round " << round;
        EXPECT_EQ(ClassRegistry.All().size(), 1u);
    }
    EXPECT_TRUE(ClassRegistry.All().empty());
}

TEST(PluginRegistration, FolderLoadingSkipsOtherFilesAndReportsBrokenOnes) {
    const std::string folder = ::testing::TempDir() + "/veskar_plugins";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(VESKAR_TEST_PLUGIN, folder + "/Veskar" VESKAR_TEST_PLUGIN_SUFFIX);
    { std::ofstream(folder + "/broken" VESKAR_TEST_PLUGIN_SUFFIX) << "not a library"; }
    { std::ofstream(folder + "/notes.txt") << "ignored"; }
    host::PluginSet plugins;
    const std::vector<std::string> problems = plugins.LoadFolder(folder);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("broken" VESKAR_TEST_PLUGIN_SUFFIX), std::string::npos);
    EXPECT_EQ(plugins.Plugins().size(), 1u);
    EXPECT_NE(ClassRegistry.Find("Ombrell.Veskar"), nullptr);
    plugins.UnloadAll();
    EXPECT_EQ(ClassRegistry.Find("Ombrell.Veskar"), nullptr);
    EXPECT_THROW(plugins.LoadFolder(folder + "/missing"), std::runtime_error);
}

TEST(PluginRegistration, ToolObjectIsAThreadedOperatorWithItsOwnSize) {
    KeyerPlugin keyer;
    ASSERT_TRUE(keyer.tool);
    Operator& tool = keyer.tool->Tool();
    EXPECT_NE(dynamic_cast<ThreadedOperator*>(&tool), nullptr);
    EXPECT_EQ(tool.GetRegistry(), keyer.registry);
    // The tool adds its control handles and state to the base part.
    EXPECT_GE(tool.ObjectSize(), sizeof(ThreadedOperator) + 32 * sizeof(void*));
}
