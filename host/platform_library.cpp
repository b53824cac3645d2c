#include "host/platform_library.h"

#include <algorithm>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <elf.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>
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

bool CheckLibraryFile(const std::string&, std::string&) {
    return true;  // the Windows loader reads the file's sections itself
}

void CloseLibrary(void* handle) { FreeLibrary(reinterpret_cast<HMODULE>(handle)); }

#else

const char* const kPluginSuffix = ".so";

namespace {

// Whether [offset, offset + size) lies within a file of `fileSize` bytes.
bool Within(std::uint64_t offset, std::uint64_t size, std::uint64_t fileSize) {
    return offset <= fileSize && size <= fileSize - offset;
}

}  // namespace

bool CheckLibraryFile(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        error = "cannot open the file";
        return false;
    }
    const std::uint64_t fileSize = static_cast<std::uint64_t>(file.tellg());
    file.seekg(0);
    Elf64_Ehdr header{};
    if (!file.read(reinterpret_cast<char*>(&header), sizeof header) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
        error = "not a shared library (no ELF header)";
        return false;
    }
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_phentsize != sizeof(Elf64_Phdr)) {
        error = "not a 64-bit shared library";
        return false;
    }
    const std::uint64_t tableSize = std::uint64_t{header.e_phnum} * sizeof(Elf64_Phdr);
    if (header.e_phnum == 0 || !Within(header.e_phoff, tableSize, fileSize)) {
        error = "the file is truncated or damaged (program headers)";
        return false;
    }
    if (header.e_shoff != 0 &&
        !Within(header.e_shoff, std::uint64_t{header.e_shnum} * header.e_shentsize, fileSize)) {
        error = "the file is truncated or damaged (section headers)";
        return false;
    }
    std::vector<Elf64_Phdr> segments(header.e_phnum);
    file.seekg(static_cast<std::streamoff>(header.e_phoff));
    if (!file.read(reinterpret_cast<char*>(segments.data()), static_cast<std::streamsize>(tableSize))) {
        error = "the file is truncated or damaged (program headers)";
        return false;
    }
    for (const Elf64_Phdr& segment : segments) {
        if (segment.p_type != PT_NULL && !Within(segment.p_offset, segment.p_filesz, fileSize)) {
            error = "the file is truncated or damaged (a segment ends past the end of the file)";
            return false;
        }
    }
    return true;
}

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
