#include "host/fuid.h"

#include "host/internal_format.h"

#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace {

// The table lives for the whole process: identifiers handed out earlier stay
// valid even after the plug-in that made them is unloaded.
struct IdTable {
    std::mutex mutex;
    std::deque<std::string> copies;
    std::unordered_map<std::string_view, const char*> byText;
    std::unordered_set<const char*> entries;
};

IdTable& Table() {
    static IdTable* table = new IdTable;  // never destroyed: statics of other libraries use it at exit
    return *table;
}

const char* Intern(const char* text, bool copy) {
    if (text == nullptr) {
        text = "";
    }
    IdTable& table = Table();
    std::lock_guard lock(table.mutex);
    auto found = table.byText.find(std::string_view(text));
    if (found != table.byText.end()) {
        return found->second;
    }
    const char* entry = text;
    if (copy) {
        entry = table.copies.emplace_back(text).c_str();
    }
    table.byText.emplace(std::string_view(entry), entry);
    table.entries.insert(entry);
    return entry;
}

}  // namespace

FuID::FuID() noexcept : text_(Intern("", false)) {}

FuID::FuID(const char* text, bool copy) : text_(Intern(text, copy)) {}

std::uint64_t FuID::Word() const noexcept {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(text_));
}

FuID FuID::FromWord(std::uint64_t word) {
    const char* entry = reinterpret_cast<const char*>(static_cast<std::uintptr_t>(word));
    {
        IdTable& table = Table();
        std::lock_guard lock(table.mutex);
        if (table.entries.count(entry) == 0) {
            throw std::invalid_argument(host::internal::Hex(word) + " is not a host identifier");
        }
    }
    FuID id;
    id.text_ = entry;
    return id;
}
