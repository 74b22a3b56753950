#include "apps/switching/AppliedValues.h"

#include <algorithm>
#include <functional>

namespace CfgAgent::dvs {

namespace {

// glibc hands out chunks of max(32, round_up(n + 8, 16)) bytes.
size_t Chunk(size_t n) {
    if (n == 0)
        return 0;
    size_t c = (n + 8 + 15) & ~size_t{15};
    return c < 32 ? 32 : c;
}

template <typename V>
auto LowerBound(const V& digests, PropertyType property) {
    return std::lower_bound(digests.begin(), digests.end(), property,
                            [](const auto& d, PropertyType p) { return d.property() < p; });
}

}  // namespace

AppliedValues::Digest AppliedValues::Digest::Of(PropertyType p, std::string_view value) {
    uint64_t h = std::hash<std::string_view>()(value);
    h ^= (static_cast<uint64_t>(value.size()) + 1) * 0x9e3779b97f4a7c15ull;
    h ^= h >> 29;
    constexpr uint64_t kHashBits = (uint64_t{1} << 48) - 1;
    return Digest{static_cast<uint64_t>(p) << 48 | (h & kHashBits)};
}

size_t AppliedValues::KeyHash::operator()(const ObjectKey& k) const noexcept {
    return k.id.Hash() * 31u + static_cast<size_t>(k.type);
}

void AppliedValues::Digests::Insert(size_t at, const Digest& d) {
    std::unique_ptr<Digest[]> grown(new Digest[count + 1]);
    std::copy(begin(), begin() + at, grown.get());
    grown[at] = d;
    std::copy(begin() + at, end(), grown.get() + at + 1);
    items = std::move(grown);
    ++count;
}

void AppliedValues::Digests::Remove(size_t at) {
    if (count == 1) {
        items.reset();
        count = 0;
        return;
    }
    std::unique_ptr<Digest[]> shrunk(new Digest[count - 1]);
    std::copy(begin(), begin() + at, shrunk.get());
    std::copy(begin() + at + 1, end(), shrunk.get() + at);
    items = std::move(shrunk);
    --count;
}

const AppliedValues::Digest* AppliedValues::Find(ObjectType type, const std::string& id,
                                                 PropertyType property) const {
    auto it = objects_.find(ObjectKey{type, PackedId(id)});
    if (it == objects_.end())
        return nullptr;
    auto d = LowerBound(it->second, property);
    return d != it->second.end() && d->property() == property ? d : nullptr;
}

bool AppliedValues::Matches(ObjectType type, const std::string& id, PropertyType property,
                            std::string_view value) const {
    const Digest* d = Find(type, id, property);
    return d != nullptr && *d == Digest::Of(property, value);
}

bool AppliedValues::Has(ObjectType type, const std::string& id, PropertyType property) const {
    return Find(type, id, property) != nullptr;
}

void AppliedValues::Set(ObjectType type, const std::string& id, PropertyType property,
                        std::string_view value) {
    Digests& digests = objects_[ObjectKey{type, PackedId(id)}];
    auto d = LowerBound(digests, property);
    if (d != digests.end() && d->property() == property) {
        digests.items[static_cast<size_t>(d - digests.begin())] = Digest::Of(property, value);
        return;
    }
    digests.Insert(static_cast<size_t>(d - digests.begin()), Digest::Of(property, value));
}

void AppliedValues::Erase(ObjectType type, const std::string& id, PropertyType property) {
    auto it = objects_.find(ObjectKey{type, PackedId(id)});
    if (it == objects_.end())
        return;
    auto d = LowerBound(it->second, property);
    if (d != it->second.end() && d->property() == property)
        it->second.Remove(static_cast<size_t>(d - it->second.begin()));
    if (it->second.count == 0)
        objects_.erase(it);
}

void AppliedValues::EraseObject(ObjectType type, const std::string& id) {
    objects_.erase(ObjectKey{type, PackedId(id)});
}

std::vector<PropertyType> AppliedValues::PropertiesOf(ObjectType type,
                                                      const std::string& id) const {
    std::vector<PropertyType> out;
    auto it = objects_.find(ObjectKey{type, PackedId(id)});
    if (it != objects_.end()) {
        for (const Digest& d : it->second)
            out.push_back(d.property());
    }
    return out;
}

size_t AppliedValues::Bytes() const {
    // Node: next pointer, key and digests (the hash is not cached: KeyHash is noexcept).
    size_t n = objects_.bucket_count() > 1 ? Chunk(objects_.bucket_count() * sizeof(void*)) : 0;
    for (const auto& [key, digests] : objects_) {
        n += Chunk(sizeof(void*) + sizeof(ObjectKey) + sizeof(Digests));
        n += key.id.HeapBytes() + Chunk(digests.count * sizeof(Digest));
    }
    return n;
}

}  // namespace CfgAgent::dvs
