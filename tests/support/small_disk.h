#pragma once

// A small file system of its own (tmpfs) for tests of what a full disk does.
// Mounting needs privileges; where it is not allowed, Mounted() is false and
// the test skips with the reason.

#include <filesystem>
#include <string>

#include <sys/mount.h>

namespace veskar_test {

class SmallDisk {
public:
    SmallDisk(const std::filesystem::path& where, std::size_t bytes) : where_(where) {
        std::filesystem::create_directories(where_);
        const std::string options = "size=" + std::to_string(bytes);
        mounted_ = ::mount("veskar-test", where_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    ~SmallDisk() {
        if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return mounted_; }
    const std::filesystem::path& Path() const { return where_; }

private:
    std::filesystem::path where_;
    bool mounted_ = false;
};

inline const char* kNoMountMessage = "mounting a small tmpfs is not allowed here (needs root or CAP_SYS_ADMIN)";

}  // namespace veskar_test
