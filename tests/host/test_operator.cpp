#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/operator.h"
#include "host/tags.h"
#include "host/tool_instance.h"
#include "host/worker_pool.h"

namespace {

struct Seen {
    std::string id;
    bool hasValue;
    double value;
    double time;
};

// A small tool with two notifying sliders that set each other, one quiet
// slider and two image inputs, to exercise the host's policies.
class EchoTool : public ThreadedOperator {
public:
    EchoTool(const Registry* registry, const ScriptVal& table, const TagList& tags)
        : ThreadedOperator(registry, table, tags) {
        AddControlPageTagList(FuID("Page", true), TagList());
        a = Slider("A", 0.25, true);
        b = Slider("B", 0.0, true);
        quiet = Slider("Quiet", 0.5, false);
        const TagItem main[] = {TagId(kLinkDataType, CLSID_DataType_Image), TagInt(kLinkMain, 1),
                                TagInt(kInpDoNotify, 1), kTagEnd};
        image = AddInputTagList(FuID("Image", true), FuID("Image", true), TagList(main, false));
        const TagItem second[] = {TagId(kLinkDataType, CLSID_DataType_Image), TagInt(kLinkMain, 2),
                                  TagInt(kInpRequired, 0), kTagEnd};
        extra = AddInputTagList(FuID("Extra", true), FuID("Extra", true), TagList(second, false));
        const TagItem out[] = {TagId(kLinkDataType, CLSID_DataType_Image), TagInt(kLinkMain, 1), kTagEnd};
        output = AddOutputTagList(FuID("Output", true), FuID("Output", true), TagList(out, false));
    }

    void NotifyChanged(Input* input, Parameter* value, double time, TagList* tags) override {
        auto* number = dynamic_cast<Number*>(value);
        seen.push_back({input->ID().Text(), number != nullptr, number ? number->Value() : 0.0, time});
        if (number && input == a) {
            // Reactions set the other slider, which would otherwise set this
            // one back for ever.
            AutoNumber twice(2.0 * number->Value());
            b->SetValue(twice, time, 0, 0);
        } else if (number && input == b) {
            AutoNumber half(0.5 * number->Value());
            a->SetValue(half, time, 0, 0);
        }
        Operator::NotifyChanged(input, value, time, tags);
    }

    void RenderChunk(Request*, int chunk) override {
        chunks[chunk].fetch_add(1);
        if (chunk == throwAt) {
            throw std::runtime_error("chunk failed");
        }
    }

    Input* Slider(const char* id, double def, bool notify) {
        const TagItem items[] = {TagId(kLinkDataType, CLSID_DataType_Number),
                                 TagId(kInpControl, CLSID_InputControl_Slider),
                                 TagDouble(kInpDefault, def), TagInt(kInpDoNotify, notify ? 1 : 0),
                                 kTagEnd};
        return AddInputTagList(FuID(id, true), FuID(id, true), TagList(items, false));
    }

    Input* a;
    Input* b;
    Input* quiet;
    Input* image;
    Input* extra;
    Output* output;
    std::vector<Seen> seen;
    std::vector<std::atomic<int>> chunks = std::vector<std::atomic<int>>(512);
    int throwAt = -1;
};

Operator* CreateEcho(const Registry* r, const ScriptVal& t, const TagList& l) { return new EchoTool(r, t, l); }

class HostPolicies : public ::testing::Test {
protected:
    void SetUp() override {
        const TagItem items[] = {TagPointer(kRegInitHook, reinterpret_cast<const void*>(&Operator::RegInit)),
                                 TagPointer(kRegParentClass, &ThreadedOperator::ClassID),
                                 TagPointer(kRegFactory, reinterpret_cast<const void*>(&CreateEcho)),
                                 TagText(kRegName, "Echo"), kTagEnd};
        registry.emplace();
        registry->_Init(&list, FuID("Test.Echo", true), TagList(items, false));
        instance = std::make_unique<host::ToolInstance>(*registry);
        tool = static_cast<EchoTool*>(&instance->Tool());
    }

    RegistryList list;
    std::optional<Registry> registry;
    std::unique_ptr<host::ToolInstance> instance;
    EchoTool* tool = nullptr;
};

}  // namespace

TEST_F(HostPolicies, CreationNotifiesNotifyingInputsInOrderWithDefaultsAtTimeZero) {
    ASSERT_EQ(tool->seen.size(), 3u);  // A, B, Image; Quiet and Extra do not notify
    EXPECT_EQ(tool->seen[0].id, "A");
    EXPECT_EQ(tool->seen[0].value, 0.25);
    EXPECT_EQ(tool->seen[0].time, 0.0);
    EXPECT_EQ(tool->seen[1].id, "B");
    EXPECT_EQ(tool->seen[2].id, "Image");
    EXPECT_FALSE(tool->seen[2].hasValue);
    // The reactions during creation were stored without further notifications.
    EXPECT_EQ(tool->a->Value(), 0.0);
    EXPECT_EQ(tool->b->Value(), 0.5);
}

TEST_F(HostPolicies, EveryChangeRunsTheReactionsOnce) {
    tool->seen.clear();
    instance->SetNumber(*tool->a, 0.3, 12.0);
    ASSERT_EQ(tool->seen.size(), 1u);
    EXPECT_EQ(tool->seen[0].id, "A");
    EXPECT_EQ(tool->seen[0].time, 12.0);
    EXPECT_EQ(tool->b->Value(), 0.6);  // set by the reaction, without a notification
    instance->SetNumber(*tool->b, 0.6);  // the value it holds
    EXPECT_EQ(tool->seen.size(), 1u);
    instance->SetNumber(*tool->quiet, -7.0);  // no notify attribute
    EXPECT_EQ(tool->seen.size(), 1u);
    EXPECT_EQ(tool->quiet->Value(), -7.0);  // and no clamping
}

TEST_F(HostPolicies, EqualityIsByBits) {
    instance->SetNumber(*tool->quiet, NAN);
    tool->seen.clear();
    instance->SetNumber(*tool->a, 0.0);
    ASSERT_EQ(tool->seen.size(), 0u);  // A holds 0 already
    instance->SetNumber(*tool->a, -0.0);
    EXPECT_EQ(tool->seen.size(), 1u);
    instance->SetNumber(*tool->quiet, NAN);
    EXPECT_TRUE(std::isnan(tool->quiet->Value()));
}

TEST_F(HostPolicies, LoadingKeepsExactlyTheGivenValues) {
    // Listed out of order: applied in creation order, A then B, with the
    // reactions' sets dropped.
    instance->LoadValues({{tool->b, 0.9}, {tool->a, 0.1}});
    EXPECT_EQ(tool->a->Value(), 0.1);
    EXPECT_EQ(tool->b->Value(), 0.9);
    // After loading the reactions are live again.
    instance->SetNumber(*tool->a, 0.2);
    EXPECT_EQ(tool->b->Value(), 0.4);
}

TEST_F(HostPolicies, SetTakesANumberOnly) {
    auto image = std::make_shared<Image>(2, 2);
    EXPECT_THROW(tool->a->SetValue(image.get(), 0.0, 0, 0), std::invalid_argument);
    AutoNumber one(1.0);
    EXPECT_THROW(tool->image->SetValue(one, 0.0, 0, 0), std::invalid_argument);
    EXPECT_THROW(tool->a->SetValue(one, 0.0, 0, 1), std::invalid_argument);
}

TEST_F(HostPolicies, VisibilityFollowsAttributeChanges) {
    EXPECT_TRUE(tool->a->IsVisible());
    const TagItem hide[] = {TagInt(kInpVisible, 0), kTagEnd};
    tool->a->SetAttrsTagList(TagList(hide, false));
    EXPECT_FALSE(tool->a->IsVisible());
    EXPECT_EQ(tool->a->Attrs().GetDouble(kInpDefault, -1.0), 0.25);  // other attributes stay
}

TEST_F(HostPolicies, RequestCarriesValuesCurrentWhenMade) {
    instance->SetNumber(*tool->quiet, 3.0);
    Request request(tool, 5.0);
    instance->SetNumber(*tool->quiet, 4.0);
    EXPECT_EQ(*static_cast<Number*>(request.GetInputData(tool->quiet, 0)), 3.0);
    EXPECT_EQ(request.GetInputData(tool->image, 0), nullptr);
    EXPECT_THROW(request.GetInputData(tool->quiet, 1), std::invalid_argument);
    EchoTool other(nullptr, ScriptVal(), TagList());
    EXPECT_THROW(request.GetInputData(other.a, 0), std::invalid_argument);
}

TEST_F(HostPolicies, RequiredImageMissingSkipsTheRequest) {
    EXPECT_EQ(instance->Render(), nullptr);
    auto image = std::make_shared<Image>(3, 2);
    instance->Connect(*tool->image, image);
    // The host's own Process hands the main image on; the optional input may stay empty.
    EXPECT_EQ(instance->Render(), image);
    EXPECT_TRUE(tool->image->IsUsable());
    EXPECT_FALSE(tool->extra->IsUsable());
    instance->Connect(*tool->extra, std::make_shared<Image>(0, 5));
    EXPECT_FALSE(tool->extra->IsUsable());
}

TEST_F(HostPolicies, OutputDataIsTakenOverOrShared) {
    auto image = std::make_shared<Image>(4, 4);
    instance->Connect(*tool->image, image);
    Request request(tool, 0.0);
    EXPECT_FALSE(request.OutputWasSet(tool->output));
    request.SetOutputData(tool->output, request.GetInputData(tool->image, 0));
    EXPECT_EQ(request.OutputData(tool->output), image);  // shared, not owned twice
    const TagItem like[] = {TagPointer(kImgLike, image.get()), kTagEnd};
    Image* made = NewImageTagList(TagList(like, false));
    request.SetOutputData(tool->output, made);
    EXPECT_EQ(request.OutputData(tool->output).get(), made);
    request.SetOutputData(tool->output, nullptr);
    EXPECT_TRUE(request.OutputWasSet(tool->output));
    EXPECT_EQ(request.OutputData(tool->output), nullptr);
}

TEST_F(HostPolicies, DoMultiProcessRunsEveryChunkOnce) {
    for (int workers : {1, 2, 0}) {
        host::SetWorkerCount(workers);
        for (auto& count : tool->chunks) count = 0;
        Request request(tool, 0.0);
        tool->DoMultiProcess(&request, 500);
        for (int i = 0; i < 512; ++i) {
            ASSERT_EQ(tool->chunks[i].load(), i < 500 ? 1 : 0) << "chunk " << i << ", workers " << workers;
        }
    }
    host::SetWorkerCount(0);
}

TEST_F(HostPolicies, ChunkExceptionReachesTheCaller) {
    tool->throwAt = 7;
    Request request(tool, 0.0);
    EXPECT_THROW(tool->DoMultiProcess(&request, 20), std::runtime_error);
}

// The pool runs on oneTBB on Linux and on std::thread in the Windows build:
// both must keep to the worker count.
TEST(WorkerPool, NoMoreChunksAtOnceThanWorkers) {
    for (int workers : {1, 2, 3}) {
        host::SetWorkerCount(workers);
        EXPECT_EQ(host::WorkerCount(), workers);
        std::atomic<int> running{0};
        std::atomic<int> most{0};
        std::atomic<int> done{0};
        host::RunChunks(64, [&](int) {
            const int now = ++running;
            for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            --running;
            ++done;
        });
        EXPECT_EQ(done.load(), 64);
        EXPECT_LE(most.load(), workers) << workers << " workers";
    }
    host::SetWorkerCount(0);
    EXPECT_GE(host::WorkerCount(), 1);
}

TEST(Registration, ListsValidRecordsAndUnlinksOnDestruction) {
    RegistryList list;
    {
        const TagItem items[] = {TagPointer(kRegInitHook, reinterpret_cast<const void*>(&Operator::RegInit)),
                                 TagPointer(kRegParentClass, &ThreadedOperator::ClassID),
                                 TagPointer(kRegFactory, reinterpret_cast<const void*>(&CreateEcho)),
                                 TagText(kRegName, "Echo"), TagText(kRegMaker, "Test"), kTagEnd};
        Registry record;
        record._Init(&list, FuID("Test.Echo", true), TagList(items, false));
        ASSERT_EQ(list.All().size(), 1u);
        EXPECT_EQ(list.Find("Test.Echo"), &record);
        EXPECT_STREQ(record.Maker(), "Test");
        EXPECT_EQ(*record.ParentClassID(), ThreadedOperator::ClassID);

        // The host's own hook keeps a record without a factory out.
        const TagItem broken[] = {TagPointer(kRegInitHook, reinterpret_cast<const void*>(&Operator::RegInit)),
                                  TagText(kRegName, "Broken"), kTagEnd};
        Registry other;
        other._Init(&list, FuID("Test.Broken", true), TagList(broken, false));
        EXPECT_FALSE(other.IsListed());
        EXPECT_EQ(list.All().size(), 1u);
    }
    EXPECT_TRUE(list.All().empty());
}

TEST(Registration, TypeInfoRecordsDerivation) {
    SetTypeInfo(typeid(EchoTool), typeid(ThreadedOperator));
    SetTypeInfo(typeid(ThreadedOperator), typeid(Operator));
    EXPECT_TRUE(IsTypeDerived(typeid(EchoTool), typeid(ThreadedOperator)));
    EXPECT_TRUE(IsTypeDerived(typeid(EchoTool), typeid(Operator)));
    EXPECT_FALSE(IsTypeDerived(typeid(Operator), typeid(EchoTool)));
}
