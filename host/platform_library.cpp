#include "host/platform_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace host::platform {

#if defined(_WIN32)

const char* const kPluginSuffix = ".dll";

void* OpenLibrary(const std::string& path, std::string& error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error = "LoadLibrary failed with error " + std::to_string(GetLastError());
    }
    return reinterpret_cast<void*>(module);
}

void CloseLibrary(void* handle) { FreeLibrary(reinterpret_cast<HMODULE>(handle)); }

#else

const char* const kPluginSuffix = ".so";

void* OpenLibrary(const std::string& path, std::string& error) {
    // RTLD_LOCAL: a plug-in's symbols never serve another plug-in.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* message = dlerror();
        error = message ? message : "dlopen failed";
    }
    return handle;
}

void CloseLibrary(void* handle) { dlclose(handle); }

#endif

}  // namespace host::platform
