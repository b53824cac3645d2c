#include "host/registry.h"

#include <algorithm>
#include <map>
#include <stdexcept>

#include "host/tags.h"

RegistryList ClassRegistry;

ScriptInfo::ScriptInfo(unsigned version, const char* classId, const char* help, const char* extra)
    : version_(version),
      classId_(classId ? classId : ""),
      help_(help ? help : ""),
      extra_(extra ? extra : "") {}

ScriptInfo::~ScriptInfo() = default;

namespace {

struct TypeTable {
    std::mutex mutex;
    // Type names, not type_info pointers: a plug-in's type_info goes away
    // with the plug-in.
    std::map<std::string, std::string> baseOf;
};

TypeTable& Types() {
    static TypeTable* table = new TypeTable;
    return *table;
}

}  // namespace

void SetTypeInfo(const std::type_info& type, const std::type_info& base) {
    TypeTable& table = Types();
    std::lock_guard lock(table.mutex);
    table.baseOf[type.name()] = base.name();
}

bool IsTypeDerived(const std::type_info& type, const std::type_info& base) {
    TypeTable& table = Types();
    std::lock_guard lock(table.mutex);
    std::string name = type.name();
    for (std::size_t depth = 0; depth < 64; ++depth) {
        auto found = table.baseOf.find(name);
        if (found == table.baseOf.end()) {
            return false;
        }
        if (found->second == base.name()) {
            return true;
        }
        name = found->second;
    }
    return false;
}

Registry::Registry() noexcept = default;

Registry::~Registry() {
    if (list_ != nullptr) {
        if (auto cleanup = reinterpret_cast<RegCleanupHook>(const_cast<void*>(
                GetPointer(kRegCleanupHook, nullptr)))) {
            cleanup(this);
        }
        list_->Unlink(this);
        list_ = nullptr;
    }
}

void Registry::_Init(RegistryList* list, const FuID& classId, const TagList& tags) {
    if (list_ != nullptr) {
        list_->Unlink(this);
        list_ = nullptr;
    }
    static_cast<TagList&>(*this) = tags.Kept();
    id_ = classId;
    auto init = reinterpret_cast<RegInitHook>(const_cast<void*>(GetPointer(kRegInitHook, nullptr)));
    if (list != nullptr && (init == nullptr || init(this))) {
        list->Link(this);
        list_ = list;
    }
}

const char* Registry::Name() const { return GetText(kRegName, ""); }
const char* Registry::Maker() const { return GetText(kRegMaker, ""); }
const char* Registry::BuildText() const { return GetText(kRegBuildText, ""); }

const FuID* Registry::ParentClassID() const {
    return static_cast<const FuID*>(GetPointer(kRegParentClass, nullptr));
}

ObjectFactory Registry::Factory() const {
    return reinterpret_cast<ObjectFactory>(const_cast<void*>(GetPointer(kRegFactory, nullptr)));
}

const ScriptInfo* Registry::Script() const {
    return static_cast<const ScriptInfo*>(GetPointer(kRegScriptInfo, nullptr));
}

RegistryList::RegistryList() = default;
RegistryList::~RegistryList() = default;

const Registry* RegistryList::Find(std::string_view classId) const {
    std::lock_guard lock(mutex_);
    for (const Registry* record : records_) {
        if (record->ID().View() == classId) {
            return record;
        }
    }
    return nullptr;
}

std::vector<const Registry*> RegistryList::All() const {
    std::lock_guard lock(mutex_);
    return {records_.begin(), records_.end()};
}

void RegistryList::Link(Registry* record) {
    std::lock_guard lock(mutex_);
    records_.push_back(record);
}

void RegistryList::Unlink(Registry* record) {
    std::lock_guard lock(mutex_);
    records_.erase(std::remove(records_.begin(), records_.end(), record), records_.end());
}
