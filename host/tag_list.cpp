#include "host/tag_list.h"

#include <stdexcept>

#include "host/internal_format.h"

namespace {

void CheckKind(std::uint64_t tag, TagKind wanted) {
    if (TagKindOf(tag) != static_cast<unsigned>(wanted)) {
        throw std::invalid_argument("tag " + host::internal::Hex(tag) + " holds kind " +
                                    std::to_string(TagKindOf(tag)) + ", not kind " +
                                    std::to_string(static_cast<unsigned>(wanted)));
    }
}

}  // namespace

TagList::TagList() = default;

TagList::TagList(const TagItem* items, bool copyTexts) {
    if (items != nullptr) {
        for (const TagItem* item = items; item->tag != 0; ++item) {
            items_.push_back(*item);
        }
    }
    if (copyTexts) {
        OwnTexts();
    }
}

TagList::TagList(const TagList&) = default;
TagList& TagList::operator=(const TagList&) = default;
TagList::TagList(TagList&&) noexcept = default;
TagList& TagList::operator=(TagList&&) noexcept = default;
TagList::~TagList() = default;

TagList TagList::Kept() const {
    TagList copy(*this);
    copy.OwnTexts();
    return copy;
}

void TagList::OwnTexts() {
    auto texts = std::make_shared<std::vector<std::unique_ptr<std::string>>>();
    for (TagItem& item : items_) {
        if (TagKindOf(item.tag) != static_cast<unsigned>(TagKind::Text) || item.data == 0) {
            continue;
        }
        const char* text = reinterpret_cast<const char*>(static_cast<std::uintptr_t>(item.data));
        texts->push_back(std::make_unique<std::string>(text));
        item.data = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(texts->back()->c_str()));
    }
    texts_ = std::move(texts);
}

const TagItem* TagList::Find(std::uint64_t tag, std::size_t occurrence) const noexcept {
    for (const TagItem& item : items_) {
        if (item.tag == tag) {
            if (occurrence == 0) {
                return &item;
            }
            --occurrence;
        }
    }
    return nullptr;
}

std::size_t TagList::CountOf(std::uint64_t tag) const noexcept {
    std::size_t count = 0;
    for (const TagItem& item : items_) {
        count += item.tag == tag ? 1 : 0;
    }
    return count;
}

std::int64_t TagList::GetInt(std::uint64_t tag, std::int64_t fallback) const {
    CheckKind(tag, TagKind::Integer);
    const TagItem* item = Find(tag);
    return item ? static_cast<std::int64_t>(item->data) : fallback;
}

double TagList::GetDouble(std::uint64_t tag, double fallback) const {
    CheckKind(tag, TagKind::Double);
    const TagItem* item = Find(tag);
    return item ? std::bit_cast<double>(item->data) : fallback;
}

const char* TagList::GetText(std::uint64_t tag, const char* fallback, std::size_t occurrence) const {
    CheckKind(tag, TagKind::Text);
    const TagItem* item = Find(tag, occurrence);
    if (item == nullptr || item->data == 0) {
        return fallback;
    }
    return reinterpret_cast<const char*>(static_cast<std::uintptr_t>(item->data));
}

const void* TagList::GetPointer(std::uint64_t tag, const void* fallback) const {
    CheckKind(tag, TagKind::Pointer);
    const TagItem* item = Find(tag);
    return item ? reinterpret_cast<const void*>(static_cast<std::uintptr_t>(item->data)) : fallback;
}

FuID TagList::GetId(std::uint64_t tag, const FuID& fallback) const {
    CheckKind(tag, TagKind::Identifier);
    const TagItem* item = Find(tag);
    return item ? FuID::FromWord(item->data) : fallback;
}

void TagList::Merge(const TagList& changes) {
    for (const TagItem& change : changes.items_) {
        bool replaced = false;
        for (TagItem& item : items_) {
            if (item.tag == change.tag) {
                item.data = change.data;
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            items_.push_back(change);
        }
    }
    OwnTexts();
}
