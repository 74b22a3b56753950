#pragma once
// What the conversion engine last handled per object and property: a digest of each value's
// bytes, not the value. Reconciliation and the "unchanged" check only ask whether a value equals
// the one handled before; the value itself stays in the configuration table.
//
// Per object one node keyed by the object's type and packed id (PackedId: no heap block for a
// UUID), holding an array of digests sorted by property and sized to the properties held: 8 bytes
// a property, its number in the top 16 bits and a 48-bit hash of the value's bytes and size below.
// Two different values of one property are taken as equal only when those 48 bits match (about
// one chance in 2^48 a change; the next change of the property would be handled).
//
// Not thread-safe: the conversion engine's strand owns it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "apps/switching/PackedId.h"
#include "intake/CfgTypes.h"

namespace CfgAgent::dvs {

class AppliedValues {
  public:
    using Key = std::pair<ObjectType, std::string>;

    // True when `value` is what was last handled for this property.
    bool Matches(ObjectType type, const std::string& id, PropertyType property,
                 std::string_view value) const;
    bool Has(ObjectType type, const std::string& id, PropertyType property) const;
    void Set(ObjectType type, const std::string& id, PropertyType property, std::string_view value);
    // Forgets the property; the object goes with its last property.
    void Erase(ObjectType type, const std::string& id, PropertyType property);
    void EraseObject(ObjectType type, const std::string& id);
    // The properties handled for an object, ascending.
    std::vector<PropertyType> PropertiesOf(ObjectType type, const std::string& id) const;
    // f(key) for every object that has a handled property.
    template <typename F>
    void ForEachObject(F&& f) const {
        for (const auto& entry : objects_)
            f(Key(entry.first.type, entry.first.id.str()));
    }
    size_t ObjectCount() const { return objects_.size(); }
    // Heap bytes held (nodes, keys, vectors and buckets; an estimate in glibc chunks).
    size_t Bytes() const;

  private:
    struct Digest {
        uint64_t bits;  // property << 48 | 48-bit hash; ordered by property
        static Digest Of(PropertyType p, std::string_view value);
        PropertyType property() const { return static_cast<PropertyType>(bits >> 48); }
        bool operator==(const Digest& o) const { return bits == o.bits; }
    };
    struct ObjectKey {
        ObjectType type;
        PackedId id;
        bool operator==(const ObjectKey& o) const { return type == o.type && id == o.id; }
    };
    struct KeyHash {
        size_t operator()(const ObjectKey& k) const noexcept;
    };
    // The digests of one object, sorted by property, in a block of exactly `count`.
    struct Digests {
        std::unique_ptr<Digest[]> items;
        uint32_t count = 0;
        const Digest* begin() const { return items.get(); }
        const Digest* end() const { return items.get() + count; }
        void Insert(size_t at, const Digest& d);
        void Remove(size_t at);
    };

    const Digest* Find(ObjectType type, const std::string& id, PropertyType property) const;

    std::unordered_map<ObjectKey, Digests, KeyHash> objects_;
};

}  // namespace CfgAgent::dvs
