#pragma once

#include <cstdint>
#include <string_view>

#include "host/export.h"

/// A host identifier: a text held in the host's identifier table, so that equal
/// texts share one entry and an identifier fits in one word (the entry's
/// address). Identifiers are cheap to copy and compare.
class HOST_API FuID {
public:
    /// The empty identifier (text "").
    FuID() noexcept;

    /// The identifier of `text`. With `copy` true the host keeps its own copy
    /// of the text; with false the caller promises the text lives as long as
    /// the process (a literal of the host itself). A plug-in passes true,
    /// since its literals go away when it is unloaded. A null text is "".
    FuID(const char* text, bool copy);

    /// The identifier's text; never null, valid for the process's life.
    const char* Text() const noexcept { return text_; }
    operator const char*() const noexcept { return text_; }
    std::string_view View() const noexcept { return text_; }

    /// The identifier's one-word content, as tag lists carry it.
    std::uint64_t Word() const noexcept;

    /// The identifier whose one-word content is `word`. Throws
    /// std::invalid_argument when the word is not an identifier of this host,
    /// so a stray number in a tag list is refused rather than read as text.
    static FuID FromWord(std::uint64_t word);

    bool operator==(const FuID& other) const noexcept { return text_ == other.text_; }
    bool operator!=(const FuID& other) const noexcept { return text_ != other.text_; }

private:
    const char* text_;
};
