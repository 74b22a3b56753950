#pragma once
// One store (desired or runtime) of the L2 table: object type -> object id -> entry property ->
// 128-bit key -> entry (serialized body and the full-sync version in which it was last written or
// confirmed). Internal to statecache/; not thread-safe (the table serialises access).
//
// Costs: type lookup in a std::map of at most five types; id lookup in a hash map (O(1)); the five
// entry properties in a fixed array; entry lookup by key in an open-addressing table (O(1), the
// entries side by side in doubling segments: a switch's learned entries, a hundred thousand, are
// found and added without a node per entry). Entry bodies of up to 23 bytes (MAC and IP
// entries) are held inline.
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "intake/CfgTypes.h"
#include "statecache/CompactBytes.h"
#include "statecache/L2ValueKey.h"
#include "statecache/MemoryEstimate.h"

namespace CfgAgent::sc {

struct L2Entry {
    CompactBytes body;
    uint32_t version = 0;
};

// The entries of one property by key. The entries sit side by side in the order they were added
// (an erase moves the last one into the gap), in segments that double in size: segment 0 holds
// places 0-7, segment s >= 1 places 8 << (s - 1) up to 8 << s, so growing adds a segment and never
// moves the entries there are (a switch's hundred thousand learned entries are written once, not
// again at each doubling). An open-addressing index finds them: linear probing in a power-of-two
// array of slots, at most seven eighths full, erasing by moving the slots after the erased one back
// (no tombstones). A slot is a byte, 0 when empty or else seven bits of its key's hash, and the
// entry's place: a probe walks these bytes and compares keys only where the bits match, so a key
// that is absent costs a cache line of marks, and a burst of new keys (a switch's learned MACs) is
// written one entry after another rather than into slots all over a large table. References to
// entries last until the next erase; iteration runs over the places in order.
class L2EntryMap {
  public:
    using value_type = std::pair<L2ValueKey, L2Entry>;

    // A place in a map; forward iteration.
    template <typename Map, typename Value>
    class Cursor {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = L2EntryMap::value_type;
        using difference_type = std::ptrdiff_t;
        using pointer = Value*;
        using reference = Value&;

        Cursor() = default;
        Cursor(Map* map, size_t place) : map_(map), place_(place) {}
        reference operator*() const { return map_->At(place_); }
        pointer operator->() const { return &map_->At(place_); }
        Cursor& operator++() {
            ++place_;
            return *this;
        }
        Cursor operator++(int) {
            Cursor before = *this;
            ++place_;
            return before;
        }
        friend bool operator==(const Cursor& a, const Cursor& b) {
            return a.map_ == b.map_ && a.place_ == b.place_;
        }
        friend bool operator!=(const Cursor& a, const Cursor& b) { return !(a == b); }

      private:
        Map* map_ = nullptr;
        size_t place_ = 0;
    };
    using iterator = Cursor<L2EntryMap, value_type>;
    using const_iterator = Cursor<const L2EntryMap, const value_type>;

    L2EntryMap() = default;
    L2EntryMap(const L2EntryMap& o);
    L2EntryMap& operator=(const L2EntryMap& o);
    L2EntryMap(L2EntryMap&& o) noexcept;
    L2EntryMap& operator=(L2EntryMap&& o) noexcept;
    ~L2EntryMap();

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Slots of the index.
    size_t capacity() const { return capacity_; }
    // Entries the segments hold room for.
    size_t entryCapacity() const { return SegmentStart(segments_.size()); }
    // The heap blocks of the segments and the slots.
    size_t HeapBytes() const;

    iterator begin() { return iterator(this, 0); }
    iterator end() { return iterator(this, size_); }
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, size_); }

    iterator find(const L2ValueKey& key);
    const_iterator find(const L2ValueKey& key) const;
    size_t count(const L2ValueKey& key) const { return find(key) != end() ? 1 : 0; }
    // The entry of `key`, added (default) when absent; true when added.
    std::pair<iterator, bool> try_emplace(const L2ValueKey& key);
    size_t erase(const L2ValueKey& key);
    void clear();

  private:
    static constexpr size_t kFirstSegment = 8;
    // The first place of segment `s` (the places of segments before it).
    static size_t SegmentStart(size_t s) { return s == 0 ? 0 : kFirstSegment << (s - 1); }
    static size_t SegmentSize(size_t s) { return s == 0 ? kFirstSegment : SegmentStart(s); }
    value_type& At(size_t place) const;
    static uint64_t Mixed(const L2ValueKey& key);
    size_t Home(uint64_t mixed) const;
    static uint8_t Mark(uint64_t mixed);
    // The slot of `key`, or the empty slot where it would go.
    size_t Probe(const L2ValueKey& key) const;
    void Rehash(size_t capacity);

    struct FreeSegment {
        void operator()(value_type* p) const { ::operator delete(p); }
    };
    // Raw storage; places [0, size_) hold entries.
    std::vector<std::unique_ptr<value_type, FreeSegment>> segments_;
    size_t size_ = 0;
    std::unique_ptr<uint8_t[]> used_;    // per slot: 0 empty, else its mark
    std::unique_ptr<uint32_t[]> index_;  // per used slot: its entry's place
    size_t capacity_ = 0;                // slots: 0 or a power of two
};

// The table's own blocks: the entries' segments and the slots.
inline size_t ContainerBytes(const L2EntryMap& m) {
    return m.HeapBytes();
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
