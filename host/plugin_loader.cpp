#include "host/plugin_loader.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <system_error>

#include "host/platform_library.h"
#include "host/registry.h"

namespace host {
namespace {

std::set<std::string> ListedClassIds() {
    std::set<std::string> ids;
    for (const Registry* record : ClassRegistry.All()) {
        ids.insert(record->ID().Text());
    }
    return ids;
}

}  // namespace

PluginSet::~PluginSet() { UnloadAll(); }

const LoadedPlugin& PluginSet::Load(const std::string& path) {
    const std::set<std::string> before = ListedClassIds();
    std::string error;
    if (!platform::CheckLibraryFile(path, error)) {
        throw std::runtime_error(path + ": cannot load plug-in: " + error);
    }
    void* handle = platform::OpenLibrary(path, error);
    if (handle == nullptr) {
        throw std::runtime_error(path + ": cannot load plug-in: " + error);
    }
    LoadedPlugin plugin;
    plugin.path = path;
    plugin.handle = handle;
    // Registration is a side effect of loading: what is new in the class list
    // came from this file.
    for (const std::string& id : ListedClassIds()) {
        if (before.count(id) == 0) {
            plugin.classIds.push_back(id);
        }
    }
    plugins_.push_back(std::move(plugin));
    return plugins_.back();
}

std::vector<std::string> PluginSet::LoadFolder(const std::string& folder) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) {
        throw std::runtime_error(folder + ": cannot read plug-in folder: " + ec.message());
    }
    std::vector<std::string> files;
    for (const fs::directory_entry& entry : it) {
        const fs::path& path = entry.path();
        if (entry.is_regular_file(ec) && path.extension() == platform::kPluginSuffix &&
            path.filename().string()[0] != '.') {
            files.push_back(path.string());
        }
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> problems;
    for (const std::string& file : files) {
        try {
            Load(file);
        } catch (const std::runtime_error& e) {
            problems.push_back(e.what());
        }
    }
    return problems;
}

void PluginSet::UnloadAll() {
    while (!plugins_.empty()) {
        platform::CloseLibrary(plugins_.back().handle);
        plugins_.pop_back();
    }
}

}  // namespace host
