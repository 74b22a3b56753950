#pragma once
// An index from an id that a record holds (a logical port's DVS port or VIF id, a dataplane
// port's VIF id) to the key of that record, holding neither: an entry is a pointer to the
// record's own id and a pointer to the table's key, both in nodes of a node-based table
// (std::map) that stay where they are until erased. The entries sit in one open-addressing array
// (linear probing, at most four fifths full): 16 bytes a slot, about 20 to 40 bytes an entry,
// where a tree node per entry took 64.
//
// The caller keeps the contract: the id and the key outlive their entry, and the id is not
// changed while an entry points at it (release the entry first, change the id, claim again).
//
// Not thread-safe: the conversion engine's caller holds the global agent lock.
#include <cstddef>
#include <memory>

#include "apps/switching/PackedId.h"

namespace CfgAgent::dvs {

class TextIndex {
  public:
    // `text` (an id of the record keyed `owner`) now leads to `owner`; an entry of the same text
    // held by another owner is replaced. An empty text is not indexed.
    void Claim(const PackedId& text, const PackedId& owner);
    // The owner of `text`; null when none.
    const PackedId* Find(const PackedId& text) const;
    // Removes the entry of `text` if `owner` holds it; true when removed.
    bool Release(const PackedId& text, const PackedId& owner);
    // Removes the entry of `text` whoever holds it; true when removed.
    bool Erase(const PackedId& text);
    size_t size() const { return size_; }
    // Heap bytes of the slot array (in allocator chunks); none while empty.
    size_t Bytes() const;

  private:
    struct Slot {
        const PackedId* text = nullptr;  // null: free
        const PackedId* owner = nullptr;
    };
    // The slot holding `text`, or the free slot where it would go.
    size_t Probe(const PackedId& text) const;
    size_t Home(const PackedId& text) const;
    void RemoveAt(size_t i);
    void Resize(size_t capacity);

    std::unique_ptr<Slot[]> slots_;
    size_t capacity_ = 0;  // a power of two, or 0
    size_t size_ = 0;
};

}  // namespace CfgAgent::dvs
