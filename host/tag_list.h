#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/export.h"
#include "host/fuid.h"

/// One (code, value) pair of a tag list: two 64-bit words. The top four bits
/// of the 32-bit code give the kind of the value (see TagKind).
struct TagItem {
    std::uint64_t tag;
    std::uint64_t data;
};

/// Kinds of tag values, from the top four bits of a tag code.
enum class TagKind : unsigned {
    Integer = 1,
    Double = 2,  ///< the double's bit pattern
    Text = 3,    ///< a pointer to a NUL-terminated text
    Pointer = 6,
    Identifier = 8,  ///< a FuID's one-word content
};

constexpr unsigned TagKindOf(std::uint64_t tag) noexcept {
    return static_cast<unsigned>((tag >> 28) & 0xFu);
}

/// Ends every pair array.
inline constexpr TagItem kTagEnd{0, 0};

constexpr TagItem TagInt(std::uint64_t tag, std::int64_t value) noexcept {
    return {tag, static_cast<std::uint64_t>(value)};
}
constexpr TagItem TagDouble(std::uint64_t tag, double value) noexcept {
    return {tag, std::bit_cast<std::uint64_t>(value)};
}
inline TagItem TagText(std::uint64_t tag, const char* text) noexcept {
    return {tag, static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(text))};
}
inline TagItem TagPointer(std::uint64_t tag, const void* pointer) noexcept {
    return {tag, static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(pointer))};
}
inline TagItem TagId(std::uint64_t tag, const FuID& id) noexcept { return {tag, id.Word()}; }

/// A host tag list: an ordered sequence of (code, value) pairs. A code may
/// occur several times (combo entries); lookups by code find the first
/// occurrence unless an occurrence number is given.
class HOST_API TagList {
public:
    /// The empty list.
    TagList();

    /// A list of the pairs of `items` up to the end code 0, which must be
    /// present. The pairs are always copied. With `copyTexts` false, text
    /// values keep pointing at the caller's texts, which must outlive the
    /// list (the literals of a call's temporaries); with true the list keeps
    /// its own copies, as the host does for every list it keeps beyond the
    /// call that hands it over.
    TagList(const TagItem* items, bool copyTexts);

    TagList(const TagList&);
    TagList& operator=(const TagList&);
    TagList(TagList&&) noexcept;
    TagList& operator=(TagList&&) noexcept;
    virtual ~TagList();

    /// A copy that owns its texts, to keep beyond the caller's call.
    TagList Kept() const;

    std::size_t Count() const noexcept { return items_.size(); }
    const std::vector<TagItem>& Items() const noexcept { return items_; }

    /// The `occurrence`-th pair (from 0) with this code, or null.
    const TagItem* Find(std::uint64_t tag, std::size_t occurrence = 0) const noexcept;
    bool Has(std::uint64_t tag) const noexcept { return Find(tag) != nullptr; }
    std::size_t CountOf(std::uint64_t tag) const noexcept;

    /// Typed lookups of the first pair with `tag`, or `fallback` when absent.
    /// Throw std::invalid_argument when `tag`'s kind is not the one asked for.
    std::int64_t GetInt(std::uint64_t tag, std::int64_t fallback) const;
    double GetDouble(std::uint64_t tag, double fallback) const;
    const char* GetText(std::uint64_t tag, const char* fallback, std::size_t occurrence = 0) const;
    const void* GetPointer(std::uint64_t tag, const void* fallback) const;
    FuID GetId(std::uint64_t tag, const FuID& fallback) const;

    /// Replaces the first pair of each code of `changes` (appends when the
    /// code is new); texts are copied.
    void Merge(const TagList& changes);

private:
    void OwnTexts();

    std::vector<TagItem> items_;
    // Copies of text values; shared between copies of a list since they are
    // never changed once made.
    std::shared_ptr<const std::vector<std::unique_ptr<std::string>>> texts_;
};
