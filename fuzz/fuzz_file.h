#pragma once

// The fuzz input as a file: the readers under test take paths, as the command
// line gives them. One file per process, in the system's temporary folder.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

namespace veskar_fuzz {

inline std::string WriteInput(const std::string& ending, const std::uint8_t* data, std::size_t size) {
    const char* folder = std::getenv("TMPDIR");
    const std::string path = std::string(folder && *folder ? folder : "/tmp") + "/veskar-fuzz-" +
                             std::to_string(::getpid()) + ending;
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
        if (size > 0) std::fwrite(data, 1, size, file);
        std::fclose(file);
    }
    return path;
}

}  // namespace veskar_fuzz
