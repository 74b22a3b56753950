#include "apps/switching/TextIndex.h"

#include "statecache/MemoryEstimate.h"

namespace CfgAgent::dvs {

void TextIndex::Claim(const std::string& text, const std::string& owner) {
    if (text.empty())
        return;
    // The key must view the new owner's string: the previous owner may change or drop its own.
    auto it = entries_.find(text);
    if (it != entries_.end())
        entries_.erase(it);
    entries_.emplace(std::string_view(text), &owner);
}

const std::string* TextIndex::Find(std::string_view text) const {
    auto it = entries_.find(text);
    return it == entries_.end() ? nullptr : it->second;
}

bool TextIndex::Release(std::string_view text, std::string_view owner) {
    auto it = entries_.find(text);
    if (it == entries_.end() || *it->second != owner)
        return false;
    entries_.erase(it);
    return true;
}

bool TextIndex::Erase(std::string_view text) {
    return entries_.erase(text) != 0;
}

size_t TextIndex::Bytes() const {
    return sc::ContainerBytes(entries_);
}

}  // namespace CfgAgent::dvs
