// Loading the plug-in registers the tool class; nothing else runs at load time.
// The statics below are built in this order and destroyed in the reverse one:
// registration record first, then the script record, then the class id.

#include <typeinfo>

#include "host/registry.h"
#include "host/tags.h"
#include "tool/veskar.h"

namespace {

Operator* CreateVeskar(const Registry* registry, const ScriptVal& table, const TagList& tags) {
    // A constructor that throws frees the allocation before the exception
    // reaches the host.
    return new Veskar(registry, table, tags);
}

const FuID classId("Ombrell.Veskar", true);

ScriptInfoT<Veskar> scriptRecord(1, classId.Text(), "", "");

const bool typeRecorded = (SetTypeInfo(typeid(Veskar), typeid(ThreadedOperator)), true);

Registry registration;

const bool registered = [] {
    const TagItem items[] = {
        TagPointer(kRegInitHook, reinterpret_cast<const void*>(&Operator::RegInit)),
        TagPointer(kRegCleanupHook, reinterpret_cast<const void*>(&Operator::RegCleanup)),
        TagInt(kRegClassAttributes, 3),
        TagText(kRegBuildText, "Built: " __DATE__),
        TagPointer(kRegParentClass, &ThreadedOperator::ClassID),
        TagPointer(kRegScriptInfo, &scriptRecord),
        TagPointer(kRegFactory, reinterpret_cast<const void*>(&CreateVeskar)),
        TagText(kRegIcon, ":/ToolIcons/IDB_TILE_BRIGHTNESS"),
        TagText(kRegName, "Veskar"),
        TagText(kRegMaker, "Ombrell"),
        TagText(kRegShortText, "S_1"),
        TagText(kRegToolName, "Veskar"),
        kTagEnd,
    };
    registration._Init(&ClassRegistry, classId, TagList(items, false));
    return true;
}();

}  // namespace

Veskar::~Veskar() = default;

std::size_t Veskar::ObjectSize() { return sizeof(Veskar); }
