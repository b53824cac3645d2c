#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace host::internal {

/// "0x60020000": how messages show tag codes and identifier words.
inline std::string Hex(std::uint64_t value) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
    return buf;
}

}  // namespace host::internal
