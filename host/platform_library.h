#pragma once

#include <string>

namespace host::platform {

/// File name ending of plug-in libraries on this platform.
extern const char* const kPluginSuffix;

/// Whether the file at `path` is whole enough to hand to the system loader:
/// its header and every part the loader maps lie within the file. The loader
/// maps a file without reading it first, and touching a mapped page past the
/// end of a truncated file ends the process; this check keeps such a file
/// from ever reaching it. Returns false with `error` set.
bool CheckLibraryFile(const std::string& path, std::string& error);

/// Loads the library at `path`; returns its handle, or null with `error` set.
void* OpenLibrary(const std::string& path, std::string& error);
/// Unloads a library opened by OpenLibrary.
void CloseLibrary(void* handle);

}  // namespace host::platform
