#pragma once
// The store behind the configuration table (desired and runtime) and the L3 table: objects keyed
// by (object type, object id), each holding per property one value (scalar properties; property 0
// is the whole body) or a set of values (list properties of the L3 types). Every value carries the
// full-sync version in which it was last written or confirmed.
//
// Layout and costs:
//   type -> bucket (std::map, a few dozen types at most)
//   bucket: id -> object (hash map, O(1)); the object's properties in a vector sorted by property
//           (a handful per object, O(log p)); a property's first value inline, further values in a
//           hash map (O(1) per (object, property, value))
//   bucket: per property a bitset over the bucket's object slots, so "objects of a type that have
//           a property" visits only those objects (one bit per object and property, no per-value
//           index nodes)
// An object exists while it holds at least one value: removing its last value removes it.
//
// Not thread-safe: the owning table serialises access.
#include <cstdint>
#include <map>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "intake/CfgTypes.h"
#include "statecache/CompactBytes.h"

namespace CfgAgent::sc {

struct PropSlot {
    using More = std::unordered_map<CompactBytes, uint32_t, CompactBytesHash>;

    PropertyType property = PropertyType::INVALID_PROPERTY;
    uint32_t version = 0;  // version of `value`
    CompactBytes value;    // the first (for scalar properties the only) value
    std::unique_ptr<More> more;

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

struct ObjectEntry {
    uint32_t slot = 0;
    std::vector<PropSlot> props;  // sorted by property

    const PropSlot* Find(PropertyType p) const;
    PropSlot* Find(PropertyType p);
};

enum class SetResult { kAdded, kUpdated, kUnchanged, kMultiple };
enum class RemoveResult { kRemoved, kAbsent, kMultiple };

class PropertyStore {
  public:
    using Node = std::pair<const CompactBytes, ObjectEntry>;

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
            for (const auto& [id, entry] : bucket.objects)
                f(type, id.view(), entry);
        }
    }
    template <typename F>
    void ForEachObjectOfType(ObjectType type, F&& f) const {
        auto it = buckets_.find(type);
        if (it == buckets_.end())
            return;
        for (const auto& [id, entry] : it->second.objects)
            f(id.view(), entry);
    }
    // f(type, object) for every type that holds an object with this id.
    template <typename F>
    void ForEachTypeOf(std::string_view id, F&& f) const {
        CompactBytes key(id);
        for (const auto& [type, bucket] : buckets_) {
            auto it = bucket.objects.find(key);
            if (it != bucket.objects.end())
                f(type, it->second);
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
                size_t slot = w * 64 + static_cast<size_t>(__builtin_ctzll(word));
                word &= word - 1;
                const Node* n = b.slots[slot];
                f(n->first.view(), n->second, *n->second.Find(p));
            }
        }
    }

    size_t ObjectCount() const;
    size_t ValueCount() const { return values_; }
    // Heap bytes held: keys, values, nodes, buckets, vectors and the per-property bitsets.
    size_t ComputeBytes() const;

  private:
    struct Bucket {
        std::unordered_map<CompactBytes, ObjectEntry, CompactBytesHash> objects;
        std::vector<Node*> slots;
        std::vector<uint32_t> freeSlots;
        std::map<PropertyType, std::vector<uint64_t>> propBits;
    };

    Bucket* FindBucket(ObjectType type);
    const Bucket* FindBucket(ObjectType type) const;
    ObjectEntry* FindMutable(ObjectType type, std::string_view id, Bucket** bucket);
    Node& GetOrCreate(ObjectType type, std::string_view id, Bucket** bucket);
    PropSlot& InsertProp(Bucket& b, ObjectEntry& e, PropertyType p, std::string_view value);
    void EraseProp(Bucket& b, ObjectEntry& e, PropertyType p);
    void EraseObjectIfEmpty(ObjectType type, Bucket& b, const CompactBytes& id);
    void EraseObject(ObjectType type, Bucket& b,
                     std::unordered_map<CompactBytes, ObjectEntry, CompactBytesHash>::iterator it);
    static void SetBit(Bucket& b, PropertyType p, uint32_t slot);
    static void ClearBit(Bucket& b, PropertyType p, uint32_t slot);

    std::map<ObjectType, Bucket> buckets_;
    uint32_t version_ = 0;
    size_t values_ = 0;
};

}  // namespace CfgAgent::sc
