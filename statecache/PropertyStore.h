#pragma once
// The store behind the configuration table (desired and runtime) and the L3 table: objects keyed
// by (object type, object id), each holding per property one value (scalar properties; property 0
// is the whole body) or a set of values (list properties of the L3 types). Every value carries the
// full-sync version in which it was last written or confirmed.
//
// Layout and costs:
//   type -> bucket (std::map, a few dozen types at most)
//   bucket: the objects in one dense array (the id, 24 bytes with ids of up to 23 bytes inline,
//           and a pointer to the object's block), found by id through an open-addressing index of
//           4-byte slots (linear probing, at most three quarters full; O(1)); erasing moves the
//           last object into the erased one's place
//   object: one heap block, its properties' slots sorted by property (24 bytes each, O(p) for
//           the handful an object holds) followed by their first values' bytes; a property's
//           further values (list properties) in a hash map behind its slot (O(1) per value)
//   bucket: per property a bitset over the objects' places in the array, so "objects of a type
//           that have a property" visits only those objects (one bit per object and property)
// A value that changes to one of the same length is written in place; any other change of an
// object's properties builds its block anew. A bucket that loses most of its objects (a full sync
// that drops them, erasures) gives the room of its array and index back. An object exists while it
// holds at least one value: removing its last value removes it. Iteration orders (objects of a
// type, objects with a property) are the array's order, which an erasure changes.
//
// Not thread-safe: the owning table serialises access.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "intake/CfgTypes.h"
#include "statecache/CompactBytes.h"

namespace CfgAgent::sc {

// A first value inside its object's block; its bytes are found from the reference's own place.
class BlockValue {
  public:
    const char* data() const { return reinterpret_cast<const char*>(this) + offset_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::string_view view() const { return std::string_view(data(), size_); }
    std::string str() const { return std::string(view()); }

  private:
    friend class PropBlock;
    friend class PropertyStore;
    uint32_t offset_ = 0;  // from this reference to the bytes
    uint32_t size_ = 0;
};

struct PropSlot {
    using More = std::unordered_map<CompactBytes, uint32_t, CompactBytesHash>;

    PropertyType property = PropertyType::INVALID_PROPERTY;
    uint32_t version = 0;  // version of `value`
    BlockValue value;      // the first (for scalar properties the only) value
    More* more = nullptr;  // the further values, owned by the block; null when there are none

    size_t count() const { return 1 + (more ? more->size() : 0); }
    // Calls f(value, version) for every value, the first one first.
    template <typename F>
    void ForEachValue(F&& f) const {
        f(value.view(), version);
        if (more) {
            for (const auto& [v, ver] : *more)
                f(v.view(), ver);
        }
    }
};

static_assert(sizeof(PropSlot) == 24, "a property slot is 24 bytes");

// The properties of one object in one heap block: a header (the slot count and the block's
// length), the slots sorted by property, then the first values' bytes. Empty: no block.
class PropBlock {
  public:
    // What a slot of a block to be built holds; `value` may point into the block it replaces.
    struct SlotInit {
        PropertyType property;
        uint32_t version;
        std::string_view value;
        PropSlot::More* more;  // handed over to the new block
    };

    PropBlock() = default;
    explicit PropBlock(const std::vector<SlotInit>& inits);
    PropBlock(PropBlock&& o) noexcept : block_(o.block_) { o.block_ = nullptr; }
    PropBlock& operator=(PropBlock&& o) noexcept;
    PropBlock(const PropBlock&) = delete;
    PropBlock& operator=(const PropBlock&) = delete;
    ~PropBlock() { Free(); }

    size_t size() const { return block_ == nullptr ? 0 : Head()->count; }
    bool empty() const { return block_ == nullptr; }
    const PropSlot* begin() const { return Slots(); }
    const PropSlot* end() const { return Slots() + size(); }
    PropSlot* begin() { return Slots(); }
    PropSlot* end() { return Slots() + size(); }
    // The block's length in bytes (0 without one).
    size_t ByteSize() const { return block_ == nullptr ? 0 : Head()->bytes; }
    // Releases the slots' further values without freeing them (they went to another block).
    void DisownMore();

  private:
    struct Header {
        uint32_t count;
        uint32_t bytes;
    };
    const Header* Head() const { return static_cast<const Header*>(block_); }
    PropSlot* Slots() const {
        return block_ == nullptr
                   ? nullptr
                   : reinterpret_cast<PropSlot*>(static_cast<char*>(block_) + sizeof(Header));
    }
    void Free() noexcept;

    void* block_ = nullptr;
};

struct ObjectEntry {
    PropBlock props;  // sorted by property

    const PropSlot* Find(PropertyType p) const;
    PropSlot* Find(PropertyType p);
};

enum class SetResult { kAdded, kUpdated, kUnchanged, kMultiple };
enum class RemoveResult { kRemoved, kAbsent, kMultiple };

class PropertyStore {
  public:
    struct Node {
        CompactBytes first;  // the id
        ObjectEntry second;
    };

    PropertyStore();
    ~PropertyStore();
    PropertyStore(const PropertyStore&) = delete;
    PropertyStore& operator=(const PropertyStore&) = delete;

    uint32_t version() const { return version_; }
    uint32_t BumpVersion() { return ++version_; }

    const ObjectEntry* Find(ObjectType type, std::string_view id) const;
    const PropSlot* FindProp(ObjectType type, std::string_view id, PropertyType p) const;
    bool HasObject(ObjectType type, std::string_view id) const { return Find(type, id) != nullptr; }

    // Scalar property: sets the single value. kMultiple (nothing changed) when the property holds
    // several values.
    SetResult SetScalar(ObjectType type, std::string_view id, PropertyType p,
                        std::string_view value);
    // Removes a scalar property. kMultiple (nothing changed) when it holds several values.
    RemoveResult RemoveScalar(ObjectType type, std::string_view id, PropertyType p);
    // List property: adds a value (kAdded) or refreshes the version of an equal one (kUnchanged).
    SetResult AppendValue(ObjectType type, std::string_view id, PropertyType p,
                          std::string_view value);
    bool HasValue(ObjectType type, std::string_view id, PropertyType p,
                  std::string_view value) const;
    bool RemoveValue(ObjectType type, std::string_view id, PropertyType p, std::string_view value);
    // Removes the property with all its values.
    bool RemoveProperty(ObjectType type, std::string_view id, PropertyType p);
    bool RemoveObject(ObjectType type, std::string_view id);
    void Clear();

    // Removes every value whose version is older than the current one, and the objects left empty.
    // The callbacks see what is removed (for logging) before it goes.
    struct SweepObserver {
        virtual ~SweepObserver() = default;
        virtual void ValueRemoved(ObjectType, std::string_view, PropertyType, std::string_view) {}
        virtual void ObjectRemoved(ObjectType, std::string_view) {}
    };
    size_t Sweep(SweepObserver* observer);

    // f(type, id, object) for every object; types ascending.
    template <typename F>
    void ForEachObject(F&& f) const {
        for (const auto& [type, bucket] : buckets_) {
            for (const Node& n : bucket.nodes)
                f(type, n.first.view(), n.second);
        }
    }
    template <typename F>
    void ForEachObjectOfType(ObjectType type, F&& f) const {
        auto it = buckets_.find(type);
        if (it == buckets_.end())
            return;
        for (const Node& n : it->second.nodes)
            f(n.first.view(), n.second);
    }
    // f(type, object) for every type that holds an object with this id.
    template <typename F>
    void ForEachTypeOf(std::string_view id, F&& f) const {
        CompactBytes key(id);
        for (const auto& [type, bucket] : buckets_) {
            const uint32_t at = FindNode(bucket, key);
            if (at != kNone)
                f(type, bucket.nodes[at].second);
        }
    }
    // f(id, object, property slot) for the objects of `type` that hold property `p`.
    template <typename F>
    void ForEachWithProperty(ObjectType type, PropertyType p, F&& f) const {
        auto it = buckets_.find(type);
        if (it == buckets_.end())
            return;
        const Bucket& b = it->second;
        auto bits = b.propBits.find(p);
        if (bits == b.propBits.end())
            return;
        for (size_t w = 0; w < bits->second.size(); ++w) {
            uint64_t word = bits->second[w];
            while (word != 0) {
                size_t at = w * 64 + static_cast<size_t>(__builtin_ctzll(word));
                word &= word - 1;
                const Node& n = b.nodes[at];
                f(n.first.view(), n.second, *n.second.Find(p));
            }
        }
    }

    size_t ObjectCount() const;
    size_t ValueCount() const { return values_; }
    // Heap bytes held: ids, blocks, further values, the arrays, indexes and per-property bitsets.
    size_t ComputeBytes() const;
    // The index slots of a type's bucket (a power of two; 0 without the bucket); for tests.
    size_t IndexCapacity(ObjectType type) const;

  private:
    static constexpr uint32_t kNone = UINT32_MAX;
    struct Bucket {
        std::vector<Node> nodes;
        std::unique_ptr<uint32_t[]> index;  // node number + 1; 0: free
        size_t capacity = 0;                // 0 or a power of two
        std::map<PropertyType, std::vector<uint64_t>> propBits;
    };

    static size_t Home(const Bucket& b, const CompactBytes& id);
    // The index slot of `id`, or the free slot where it would go (capacity > 0).
    static size_t Probe(const Bucket& b, const CompactBytes& id);
    static uint32_t FindNode(const Bucket& b, const CompactBytes& id);
    static void Resize(Bucket& b, size_t capacity);
    // Gives back the room of a bucket that has lost most of its objects: the array when under half
    // full, the index when under a quarter, the bitsets to the array's length.
    static void Shrink(Bucket& b);

    Bucket* FindBucket(ObjectType type);
    const Bucket* FindBucket(ObjectType type) const;
    // The object and its place; null when absent.
    ObjectEntry* FindMutable(ObjectType type, std::string_view id, Bucket** bucket, uint32_t* at);
    ObjectEntry& GetOrCreate(ObjectType type, std::string_view id, Bucket** bucket, uint32_t* at);
    void InsertProp(Bucket& b, uint32_t at, PropertyType p, std::string_view value);
    // Builds the object's block with the slot of `p` changed: its value replaced (`value`
    // non-null) or the slot dropped.
    static void Rebuild(ObjectEntry& e, PropertyType p, const std::string_view* value,
                        uint32_t version);
    void EraseProp(Bucket& b, uint32_t at, PropertyType p);
    // Erases the object at `at` when it holds nothing (the bucket too when it empties).
    void EraseIfEmpty(ObjectType type, Bucket& b, uint32_t at);
    void EraseObject(ObjectType type, Bucket& b, uint32_t at);
    // Removes the object at `at` from the bucket's array and index: the last object moves in.
    static void RemoveNode(Bucket& b, uint32_t at);
    static void SetBit(Bucket& b, PropertyType p, uint32_t at);
    static void ClearBit(Bucket& b, PropertyType p, uint32_t at);

    std::map<ObjectType, Bucket> buckets_;
    uint32_t version_ = 0;
    size_t values_ = 0;
};

}  // namespace CfgAgent::sc
