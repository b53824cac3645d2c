#pragma once

#include <string>
#include <vector>

#include "host/export.h"

namespace host {

/// One plug-in file that was loaded, and the classes it registered.
struct LoadedPlugin {
    std::string path;
    std::vector<std::string> classIds;
    void* handle = nullptr;
};

/// The plug-ins loaded from folders. Every plug-in is unloaded, in the reverse
/// order of loading, when the set is destroyed; tools made from their classes
/// must be destroyed before that.
class HOST_API PluginSet {
public:
    PluginSet() = default;
    PluginSet(const PluginSet&) = delete;
    PluginSet& operator=(const PluginSet&) = delete;
    ~PluginSet();

    /// Loads every plug-in file (by the platform's library ending) in
    /// `folder`, in name order. Returns one message per file that could not be
    /// loaded ("path: reason"); throws std::runtime_error when the folder
    /// cannot be read.
    std::vector<std::string> LoadFolder(const std::string& folder);

    /// Loads one plug-in file; throws std::runtime_error naming it on failure.
    const LoadedPlugin& Load(const std::string& path);

    /// Unloads every plug-in, last loaded first.
    void UnloadAll();

    const std::vector<LoadedPlugin>& Plugins() const noexcept { return plugins_; }

private:
    std::vector<LoadedPlugin> plugins_;
};

}  // namespace host
