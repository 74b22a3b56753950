#include "apps/switching/TextIndex.h"

#include "statecache/MemoryEstimate.h"

namespace CfgAgent::dvs {

namespace {
constexpr size_t kMinCapacity = 16;
}  // namespace

size_t TextIndex::Home(const PackedId& text) const {
    // The id's hash mixed so that its low bits spread.
    size_t h = text.Hash();
    h ^= h >> 31;
    h *= 0x9e3779b97f4a7c15ull;
    h ^= h >> 29;
    return h & (capacity_ - 1);
}

size_t TextIndex::Probe(const PackedId& text) const {
    size_t i = Home(text);
    while (slots_[i].text != nullptr && !(*slots_[i].text == text))
        i = (i + 1) & (capacity_ - 1);
    return i;
}

void TextIndex::Resize(size_t capacity) {
    std::unique_ptr<Slot[]> old = std::move(slots_);
    size_t oldCapacity = capacity_;
    slots_.reset(new Slot[capacity]);
    capacity_ = capacity;
    for (size_t i = 0; i < oldCapacity; ++i) {
        if (old[i].text != nullptr)
            slots_[Probe(*old[i].text)] = old[i];
    }
}

void TextIndex::Claim(const PackedId& text, const PackedId& owner) {
    if (text.empty())
        return;
    if ((size_ + 1) * 5 > capacity_ * 4)
        Resize(capacity_ == 0 ? kMinCapacity : capacity_ * 2);
    size_t i = Probe(text);
    if (slots_[i].text == nullptr)
        ++size_;
    // The entry must point at the new owner's id: the previous owner may change or drop its own.
    slots_[i] = Slot{&text, &owner};
}

const PackedId* TextIndex::Find(const PackedId& text) const {
    if (size_ == 0 || text.empty())
        return nullptr;
    size_t i = Probe(text);
    return slots_[i].text == nullptr ? nullptr : slots_[i].owner;
}

bool TextIndex::Release(const PackedId& text, const PackedId& owner) {
    if (size_ == 0 || text.empty())
        return false;
    size_t i = Probe(text);
    if (slots_[i].text == nullptr || !(*slots_[i].owner == owner))
        return false;
    RemoveAt(i);
    return true;
}

bool TextIndex::Erase(const PackedId& text) {
    if (size_ == 0 || text.empty())
        return false;
    size_t i = Probe(text);
    if (slots_[i].text == nullptr)
        return false;
    RemoveAt(i);
    return true;
}

void TextIndex::RemoveAt(size_t i) {
    // Backward shift: every entry after the hole that could sit in it moves up, so that no
    // probe stops early at the hole.
    const size_t mask = capacity_ - 1;
    size_t j = i;
    for (;;) {
        j = (j + 1) & mask;
        if (slots_[j].text == nullptr)
            break;
        size_t home = Home(*slots_[j].text);
        // The entry at j may move to i when its home is not cyclically within (i, j].
        bool between = i <= j ? (home > i && home <= j) : (home > i || home <= j);
        if (!between) {
            slots_[i] = slots_[j];
            i = j;
        }
    }
    slots_[i] = Slot{};
    if (--size_ == 0) {
        slots_.reset();
        capacity_ = 0;
    }
}

size_t TextIndex::Bytes() const {
    return sc::HeapChunk(capacity_ * sizeof(Slot));
}

}  // namespace CfgAgent::dvs
