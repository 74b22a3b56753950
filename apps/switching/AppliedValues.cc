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
auto LowerBound(V& digests, PropertyType property) {
    return std::lower_bound(digests.begin(), digests.end(), property,
                            [](const auto& d, PropertyType p) { return d.property < p; });
}

}  // namespace

AppliedValues::Digest AppliedValues::Digest::Of(PropertyType p, std::string_view value) {
    return Digest{p, static_cast<uint32_t>(value.size()), std::hash<std::string_view>()(value)};
}

size_t AppliedValues::KeyHash::operator()(const Key& k) const noexcept {
    return std::hash<std::string>()(k.second) * 31u + static_cast<size_t>(k.first);
}

const AppliedValues::Digest* AppliedValues::Find(ObjectType type, const std::string& id,
                                                 PropertyType property) const {
    auto it = objects_.find(Key(type, id));
    if (it == objects_.end())
        return nullptr;
    auto d = LowerBound(it->second, property);
    return d != it->second.end() && d->property == property ? &*d : nullptr;
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
    Digests& digests = objects_[Key(type, id)];
    auto d = LowerBound(digests, property);
    if (d != digests.end() && d->property == property) {
        *d = Digest::Of(property, value);
        return;
    }
    digests.insert(d, Digest::Of(property, value));
}

void AppliedValues::Erase(ObjectType type, const std::string& id, PropertyType property) {
    auto it = objects_.find(Key(type, id));
    if (it == objects_.end())
        return;
    auto d = LowerBound(it->second, property);
    if (d != it->second.end() && d->property == property)
        it->second.erase(d);
    if (it->second.empty())
        objects_.erase(it);
}

void AppliedValues::EraseObject(ObjectType type, const std::string& id) {
    objects_.erase(Key(type, id));
}

std::vector<PropertyType> AppliedValues::PropertiesOf(ObjectType type,
                                                      const std::string& id) const {
    std::vector<PropertyType> out;
    auto it = objects_.find(Key(type, id));
    if (it != objects_.end()) {
        for (const Digest& d : it->second)
            out.push_back(d.property);
    }
    return out;
}

size_t AppliedValues::Bytes() const {
    // Node: next pointer, key, vector and the cached hash.
    size_t n = Chunk(objects_.bucket_count() * sizeof(void*));
    for (const auto& [key, digests] : objects_) {
        n += Chunk(sizeof(void*) + sizeof(Key) + sizeof(Digests) + sizeof(size_t));
        n += key.second.size() > 15 ? Chunk(key.second.size() + 1) : 0;
        n += Chunk(digests.capacity() * sizeof(Digest));
    }
    return n;
}

}  // namespace CfgAgent::dvs
