// The temporary names StagedFile writes under: their form, the registry of
// the live ones that a signal handler removes, and the removal of those a
// killed run left beside its targets.

#include "app/files/temporaries.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <vector>

#include <signal.h>
#include <time.h>
#include <sys/types.h>
#include <unistd.h>

namespace veskar {
namespace {

namespace fs = std::filesystem;

constexpr const char* kTempStart = ".veskar-tmp-";
// Longer endings are left off the temporary name; the writers are told the
// format by the target's name.
constexpr std::size_t kMaxTempEnding = 16;

// Live temporaries, for the signal handler: fixed slots of plain characters,
// as a handler may neither allocate nor take locks. A slot's path is written
// before it is marked used and the mark is cleared before the slot is reused.
constexpr int kSlots = 64;
constexpr std::size_t kSlotChars = 4096;
struct Slot {
    std::atomic<bool> used{false};
    char path[kSlotChars];
};
Slot slots[kSlots];
// How long after its first pass RemoveLiveTemporaries makes its second.
constexpr long kSecondPassNanoseconds = 50'000'000;
std::mutex slotClaim;  // between threads of the process; the handler only reads

std::uint64_t NameHash(const std::string& name) {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : name) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    return hash;
}

// Leftover temporaries by folder, listed once per run: a resumed run meets
// each folder's leftovers frame by frame.
std::map<std::string, std::vector<std::string>> LeftoverNames(const fs::path& folder) {
    std::map<std::string, std::vector<std::string>> byPrefix;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (IsTemporaryName(name)) {
            byPrefix[name.substr(0, std::strlen(kTempStart) + 17)].push_back(name);
        }
    }
    return byPrefix;
}

// Whether the temporary `name` belongs to a process that is gone: another
// run writing beside us keeps its own, and so do we. A name without a
// process id is not judged. A process of another user answers EPERM, and is
// alive.
bool OwnerIsGone(const std::string& name) {
    const std::size_t start = std::strlen(kTempStart) + 17;
    const std::size_t end = name.find('-', start);
    long pid = 0;
    const char* first = name.data() + start;
    const char* last = name.data() + (end == std::string::npos ? start : end);
    const auto result = std::from_chars(first, last, pid);
    if (result.ec != std::errc() || result.ptr != last || pid <= 0 || pid != static_cast<pid_t>(pid) ||
        pid == ::getpid()) {
        return false;
    }
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

int RegisterTemporary(const std::string& path) {
    if (path.size() >= kSlotChars) return -1;
    std::lock_guard<std::mutex> lock(slotClaim);
    for (int i = 0; i < kSlots; ++i) {
        if (!slots[i].used.load()) {
            std::memcpy(slots[i].path, path.c_str(), path.size() + 1);
            slots[i].used.store(true);
            return i;
        }
    }
    return -1;  // more than kSlots at once: such a file is only removed by its owner
}

void ReleaseTemporary(int slot) {
    if (slot >= 0) slots[slot].used.store(false);
}

std::string TemporaryPrefix(const fs::path& target) {
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx",
                  static_cast<unsigned long long>(NameHash(target.filename().string())));
    return std::string(kTempStart) + hash + "-";
}

bool IsTemporaryName(const std::string& name) {
    const std::size_t start = std::strlen(kTempStart);
    if (name.compare(0, start, kTempStart) != 0 || name.size() < start + 18 || name[start + 16] != '-') {
        return false;
    }
    for (std::size_t i = start; i < start + 16; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
    }
    return true;
}

std::string NewTemporaryPath(const fs::path& folder, const fs::path& target) {
    static std::atomic<unsigned> counter{0};
    std::string ending = target.extension().string();
    if (ending.size() > kMaxTempEnding) ending.clear();
    return (folder / (TemporaryPrefix(target) + std::to_string(::getpid()) + "-" + std::to_string(++counter) +
                      ending))
        .string();
}

int RemoveLeftoversOf(const fs::path& resolved) {
    static std::mutex lock;
    static std::map<std::string, std::map<std::string, std::vector<std::string>>> folders;
    const fs::path folder = resolved.parent_path().empty() ? fs::path(".") : resolved.parent_path();
    std::lock_guard<std::mutex> guard(lock);
    auto [entry, fresh] = folders.try_emplace(folder.string());
    if (fresh) {
        entry->second = LeftoverNames(folder);
    }
    auto names = entry->second.find(TemporaryPrefix(resolved));
    if (names == entry->second.end()) {
        return 0;
    }
    int removed = 0;
    for (const std::string& name : names->second) {
        std::error_code ec;
        removed += OwnerIsGone(name) && fs::remove(folder / name, ec) ? 1 : 0;
    }
    entry->second.erase(names);
    return removed;
}

void RemoveLiveTemporaries() noexcept {
    // A temporary is registered before its writer creates it, and the
    // process's other threads run on until it ends: a writer opening its
    // registered file just after the first pass went by would leave it
    // behind. A second pass a moment later removes that one too.
    const auto pass = [] {
        for (Slot& slot : slots) {
            if (slot.used.load()) ::unlink(slot.path);
        }
    };
    pass();
    timespec pause{0, kSecondPassNanoseconds};
    while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, &pause) == EINTR) {
    }
    pass();
}

void RemoveLiveTemporariesBeforeExit() noexcept {
    // Kept locked: no temporary is registered (and so none is created) after
    // this, until the process ends.
    slotClaim.lock();
    RemoveLiveTemporaries();
}

}  // namespace veskar
