#include "host/platform_library.h"

#include <algorithm>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace host::platform {

#if defined(_WIN32)

const char* const kPluginSuffix = ".dll";

void* OpenLibrary(const std::string& path, std::string& error) {
    // LoadLibrary wants backslashes in a path; the host's folders may come
    // with forward ones.
    std::string native = path;
    std::replace(native.begin(), native.end(), '/', '\\');
    HMODULE module = LoadLibraryA(native.c_str());
    if (module == nullptr) {
        const DWORD code = GetLastError();
        char text[512] = {};
        const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                            code, 0, text, sizeof text, nullptr);
        std::string reason(text, length);
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ')) {
            reason.pop_back();
        }
        error = "LoadLibrary failed with error " + std::to_string(code) + (reason.empty() ? "" : " (" + reason + ")");
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
