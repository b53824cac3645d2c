#pragma once

#include <string>

namespace host::platform {

/// File name ending of plug-in libraries on this platform.
extern const char* const kPluginSuffix;

/// Loads the library at `path`; returns its handle, or null with `error` set.
void* OpenLibrary(const std::string& path, std::string& error);
/// Unloads a library opened by OpenLibrary.
void CloseLibrary(void* handle);

}  // namespace host::platform
