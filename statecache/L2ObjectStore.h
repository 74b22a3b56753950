#pragma once
// One store (desired or runtime) of the L2 table: object type -> object id -> entry property ->
// 128-bit key -> entry (serialized body and the full-sync version in which it was last written or
// confirmed). Internal to statecache/; not thread-safe (the table serialises access).
//
// Costs: type lookup in a std::map of at most five types; id lookup in a hash map (O(1)); the five
// entry properties in a fixed array; entry lookup by key in a hash map (O(1)). Entry bodies of up
// to 23 bytes (MAC and IP entries) are held inline.
#include <array>
#include <cstdint>
#include <map>
#include <string_view>
#include <unordered_map>

#include "intake/CfgTypes.h"
#include "statecache/CompactBytes.h"
#include "statecache/L2ValueKey.h"

namespace CfgAgent::sc {

struct L2Entry {
    CompactBytes body;
    uint32_t version = 0;
};

using L2EntryMap = std::unordered_map<L2ValueKey, L2Entry, L2ValueKeyHash>;

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
