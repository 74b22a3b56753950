#pragma once
// One store (desired or runtime) of the L2 table: object type -> object id -> entry property ->
// 128-bit key -> entry (serialized body and the full-sync version in which it was last written or
// confirmed). Internal to statecache/; not thread-safe (the table serialises access).
//
// Costs: type lookup in a std::map of at most five types; id lookup in a hash map (O(1)); the five
// entry properties in a fixed array; entry lookup by key in an open-addressing table (O(1), the
// key and its entry side by side in one array: a switch's learned entries, a hundred thousand,
// are found and added without a node per entry). Entry bodies of up to 23 bytes (MAC and IP
// entries) are held inline.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "intake/CfgTypes.h"
#include "statecache/CompactBytes.h"
#include "statecache/L2ValueKey.h"
#include "statecache/MemoryEstimate.h"

namespace CfgAgent::sc {

struct L2Entry {
    CompactBytes body;
    uint32_t version = 0;
};

// The entries of one property by key: linear probing in a power-of-two array of slots, at most
// seven eighths full, erasing by moving the entries after the erased one back (no tombstones).
// Inserting may move every entry (references to entries last until the next insert or erase);
// iteration order is the slots' order.
class L2EntryMap {
  public:
    using value_type = std::pair<L2ValueKey, L2Entry>;

    template <typename V>
    class Iter {
      public:
        Iter(V* slot, V* end, const uint8_t* used) : slot_(slot), end_(end), used_(used) { Skip(); }
        V& operator*() const { return *slot_; }
        V* operator->() const { return slot_; }
        Iter& operator++() {
            ++slot_;
            ++used_;
            Skip();
            return *this;
        }
        bool operator==(const Iter& o) const { return slot_ == o.slot_; }
        bool operator!=(const Iter& o) const { return slot_ != o.slot_; }

      private:
        void Skip() {
            while (slot_ != end_ && *used_ == 0) {
                ++slot_;
                ++used_;
            }
        }
        V* slot_;
        V* end_;
        const uint8_t* used_;
    };
    using iterator = Iter<value_type>;
    using const_iterator = Iter<const value_type>;

    L2EntryMap() = default;
    L2EntryMap(const L2EntryMap& o);
    L2EntryMap& operator=(const L2EntryMap& o);
    L2EntryMap(L2EntryMap&& o) noexcept;
    L2EntryMap& operator=(L2EntryMap&& o) noexcept;
    ~L2EntryMap() = default;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    size_t capacity() const { return capacity_; }

    iterator begin() { return iterator(slots_.get(), slots_.get() + capacity_, used_.get()); }
    iterator end() { return iterator(slots_.get() + capacity_, slots_.get() + capacity_, nullptr); }
    const_iterator begin() const {
        return const_iterator(slots_.get(), slots_.get() + capacity_, used_.get());
    }
    const_iterator end() const {
        return const_iterator(slots_.get() + capacity_, slots_.get() + capacity_, nullptr);
    }

    iterator find(const L2ValueKey& key);
    const_iterator find(const L2ValueKey& key) const;
    size_t count(const L2ValueKey& key) const { return find(key) != end() ? 1 : 0; }
    // The entry of `key`, added (default) when absent; true when added.
    std::pair<iterator, bool> try_emplace(const L2ValueKey& key);
    size_t erase(const L2ValueKey& key);
    void clear();

  private:
    size_t Home(const L2ValueKey& key) const;
    // The slot of `key`, or the empty slot where it would go.
    size_t Probe(const L2ValueKey& key) const;
    void Rehash(size_t capacity);
    iterator At(size_t i) {
        return iterator(slots_.get() + i, slots_.get() + capacity_, used_.get() + i);
    }
    const_iterator At(size_t i) const {
        return const_iterator(slots_.get() + i, slots_.get() + capacity_, used_.get() + i);
    }

    std::unique_ptr<value_type[]> slots_;
    std::unique_ptr<uint8_t[]> used_;
    size_t capacity_ = 0;  // 0 or a power of two
    size_t size_ = 0;
};

// The table's own blocks: the slots and their marks.
inline size_t ContainerBytes(const L2EntryMap& m) {
    return m.capacity() == 0
               ? 0
               : HeapChunk(m.capacity() * sizeof(L2EntryMap::value_type)) + HeapChunk(m.capacity());
}

struct L2Object {
    uint32_t version = 0;
    std::array<L2EntryMap, kL2PropertyCount> props;

    size_t EntryCount() const {
        size_t n = 0;
        for (const auto& m : props)
            n += m.size();
        return n;
    }
};

class L2ObjectStore {
  public:
    using ObjectMap = std::unordered_map<CompactBytes, L2Object, CompactBytesHash>;

    uint32_t version() const { return version_; }
    uint32_t BumpVersion() { return ++version_; }

    L2Object* Find(ObjectType type, std::string_view id);
    const L2Object* Find(ObjectType type, std::string_view id) const;
    // The object, created (with the current version) when absent.
    L2Object& GetOrCreate(ObjectType type, std::string_view id, bool* created);
    bool Erase(ObjectType type, std::string_view id);
    // Every type of this id; true when something was erased.
    bool EraseAllTypes(std::string_view id);

    struct SweepObserver {
        virtual ~SweepObserver() = default;
        virtual void EntryRemoved(ObjectType, std::string_view, PropertyType, const L2Entry&) {}
        virtual void ObjectRemoved(ObjectType, std::string_view) {}
    };
    // Removes the entries and objects older than the current version.
    size_t Sweep(SweepObserver* observer);

    const std::map<ObjectType, ObjectMap>& types() const { return types_; }
    template <typename F>
    void ForEachTypeOf(std::string_view id, F&& f) const {
        CompactBytes key(id);
        for (const auto& [type, objects] : types_) {
            auto it = objects.find(key);
            if (it != objects.end())
                f(type, it->second);
        }
    }

    size_t ObjectCount() const;
    size_t EntryCount() const;
    size_t ComputeBytes() const;

  private:
    std::map<ObjectType, ObjectMap> types_;
    uint32_t version_ = 0;
};

}  // namespace CfgAgent::sc
