#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <typeinfo>
#include <vector>

#include "host/export.h"
#include "host/fuid.h"
#include "host/parameter.h"
#include "host/tag_list.h"

class Operator;
class Registry;
class RegistryList;

/// Creates one object of a registered class: (registration record, script
/// arguments, attribute list). Returns the new object; the host owns it and
/// destroys it through its virtual destructor.
using ObjectFactory = Operator* (*)(const Registry* registry, const ScriptVal& table,
                                    const TagList& tags);
/// Class hooks of a registration record: initialisation (false keeps the class
/// out of the class list) and clean-up.
using RegInitHook = bool (*)(Registry* registry);
using RegCleanupHook = void (*)(Registry* registry);

/// A class's script record: ties the class to the host's scripting. The two
/// operations convert between a pointer to the class and the pointer the
/// scripting layer uses; for a class whose base is its first part both return
/// the pointer unchanged.
class HOST_API ScriptInfo {
public:
    /// `version` of the record layout (1), the class id's text and two texts
    /// the scripting layer may use (empty for a plain tool). Texts are copied.
    ScriptInfo(unsigned version, const char* classId, const char* help, const char* extra);
    ScriptInfo(const ScriptInfo&) = delete;
    ScriptInfo& operator=(const ScriptInfo&) = delete;

    virtual void* ToScriptObject(void* object) const = 0;
    virtual void* FromScriptObject(void* object) const = 0;

    unsigned Version() const noexcept { return version_; }
    const std::string& ClassId() const noexcept { return classId_; }

protected:
    ~ScriptInfo();

private:
    unsigned version_;
    std::string classId_;
    std::string help_;
    std::string extra_;
};

/// The script record of class T.
template <class T>
class ScriptInfoT final : public ScriptInfo {
public:
    using ScriptInfo::ScriptInfo;
    ~ScriptInfoT() = default;
    void* ToScriptObject(void* object) const override {
        return static_cast<Operator*>(static_cast<T*>(object));
    }
    void* FromScriptObject(void* object) const override {
        return static_cast<T*>(static_cast<Operator*>(object));
    }
};

/// Records that `type` derives from `base`, for the host's type checks.
HOST_API void SetTypeInfo(const std::type_info& type, const std::type_info& base);
/// Whether `type` was recorded as deriving from `base`, directly or not.
HOST_API bool IsTypeDerived(const std::type_info& type, const std::type_info& base);

/// A class's registration record: its class id and its registration tag list
/// (factory, hooks, script record, names). Linked into a class list by _Init,
/// unlinked by the destructor.
class HOST_API Registry : public TagList {
public:
    Registry() noexcept;
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;
    ~Registry() override;

    /// Keeps a copy of `tags` (texts included), runs the class's
    /// initialisation hook and, when it agrees, links the record into `list`.
    void _Init(RegistryList* list, const FuID& classId, const TagList& tags);

    const FuID& ID() const noexcept { return id_; }
    bool IsListed() const noexcept { return list_ != nullptr; }
    const char* Name() const;
    const char* Maker() const;
    const char* BuildText() const;
    /// The parent class id (kRegParentClass), or null.
    const FuID* ParentClassID() const;
    ObjectFactory Factory() const;
    const ScriptInfo* Script() const;

private:
    RegistryList* list_ = nullptr;
    FuID id_;
};

/// A list of registration records, in the order they linked themselves in.
class HOST_API RegistryList {
public:
    RegistryList();
    ~RegistryList();

    /// The listed record with this class id, or null.
    const Registry* Find(std::string_view classId) const;
    /// Every listed record.
    std::vector<const Registry*> All() const;

private:
    friend class Registry;
    void Link(Registry* record);
    void Unlink(Registry* record);

    mutable std::mutex mutex_;
    std::vector<Registry*> records_;
};

/// The host's global class list.
HOST_API extern RegistryList ClassRegistry;
