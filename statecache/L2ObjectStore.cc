#include "statecache/L2ObjectStore.h"

#include <vector>

#include "statecache/MemoryEstimate.h"

namespace CfgAgent::sc {

L2EntryMap::L2EntryMap(const L2EntryMap& o) {
    *this = o;
}

L2EntryMap& L2EntryMap::operator=(const L2EntryMap& o) {
    if (this == &o)
        return *this;
    clear();
    for (const auto& [key, e] : o)
        try_emplace(key).first->second = e;
    return *this;
}

L2EntryMap::L2EntryMap(L2EntryMap&& o) noexcept
    : slots_(std::move(o.slots_)),
      used_(std::move(o.used_)),
      capacity_(std::exchange(o.capacity_, 0)),
      size_(std::exchange(o.size_, 0)) {}

L2EntryMap& L2EntryMap::operator=(L2EntryMap&& o) noexcept {
    if (this != &o) {
        slots_ = std::move(o.slots_);
        used_ = std::move(o.used_);
        capacity_ = std::exchange(o.capacity_, 0);
        size_ = std::exchange(o.size_, 0);
    }
    return *this;
}

size_t L2EntryMap::Home(const L2ValueKey& key) const {
    // The hash's high bits after one more multiplication: keys that differ in a few low bits only
    // (consecutive MACs) spread over the whole table.
    const uint64_t h = static_cast<uint64_t>(L2ValueKeyHash()(key)) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h >> 32) & (capacity_ - 1);
}

size_t L2EntryMap::Probe(const L2ValueKey& key) const {
    size_t i = Home(key);
    while (used_[i] != 0 && !(slots_[i].first == key))
        i = (i + 1) & (capacity_ - 1);
    return i;
}

L2EntryMap::iterator L2EntryMap::find(const L2ValueKey& key) {
    if (size_ == 0)
        return end();
    const size_t i = Probe(key);
    return used_[i] != 0 ? At(i) : end();
}

L2EntryMap::const_iterator L2EntryMap::find(const L2ValueKey& key) const {
    if (size_ == 0)
        return end();
    const size_t i = Probe(key);
    return used_[i] != 0 ? At(i) : end();
}

std::pair<L2EntryMap::iterator, bool> L2EntryMap::try_emplace(const L2ValueKey& key) {
    if ((size_ + 1) * 8 > capacity_ * 7)
        Rehash(capacity_ == 0 ? 8 : capacity_ * 2);
    const size_t i = Probe(key);
    if (used_[i] != 0)
        return {At(i), false};
    used_[i] = 1;
    slots_[i].first = key;
    ++size_;
    return {At(i), true};
}

size_t L2EntryMap::erase(const L2ValueKey& key) {
    if (size_ == 0)
        return 0;
    size_t i = Probe(key);
    if (used_[i] == 0)
        return 0;
    // Entries after the hole that may not stay past it (their home is not between the hole and
    // them) move into it, until an empty slot ends the run.
    const size_t mask = capacity_ - 1;
    for (size_t j = (i + 1) & mask; used_[j] != 0; j = (j + 1) & mask) {
        const size_t home = Home(slots_[j].first);
        if (((j - home) & mask) >= ((j - i) & mask)) {
            slots_[i] = std::move(slots_[j]);
            i = j;
        }
    }
    used_[i] = 0;
    slots_[i] = value_type();
    --size_;
    return 1;
}

void L2EntryMap::clear() {
    slots_.reset();
    used_.reset();
    capacity_ = 0;
    size_ = 0;
}

void L2EntryMap::Rehash(size_t capacity) {
    std::unique_ptr<value_type[]> slots = std::move(slots_);
    std::unique_ptr<uint8_t[]> used = std::move(used_);
    const size_t old = capacity_;
    slots_ = std::make_unique<value_type[]>(capacity);
    used_ = std::make_unique<uint8_t[]>(capacity);  // zeroed: every slot empty
    capacity_ = capacity;
    for (size_t k = 0; k < old; ++k) {
        if (used[k] == 0)
            continue;
        const size_t i = Probe(slots[k].first);
        used_[i] = 1;
        slots_[i] = std::move(slots[k]);
    }
}

L2Object* L2ObjectStore::Find(ObjectType type, std::string_view id) {
    auto t = types_.find(type);
    if (t == types_.end())
        return nullptr;
    auto it = t->second.find(CompactBytes(id));
    return it == t->second.end() ? nullptr : &it->second;
}

const L2Object* L2ObjectStore::Find(ObjectType type, std::string_view id) const {
    auto t = types_.find(type);
    if (t == types_.end())
        return nullptr;
    auto it = t->second.find(CompactBytes(id));
    return it == t->second.end() ? nullptr : &it->second;
}

L2Object& L2ObjectStore::GetOrCreate(ObjectType type, std::string_view id, bool* created) {
    auto [it, inserted] = types_[type].try_emplace(CompactBytes(id));
    if (inserted)
        it->second.version = version_;
    *created = inserted;
    return it->second;
}

bool L2ObjectStore::Erase(ObjectType type, std::string_view id) {
    auto t = types_.find(type);
    if (t == types_.end())
        return false;
    bool erased = t->second.erase(CompactBytes(id)) > 0;
    if (t->second.empty())
        types_.erase(t);
    return erased;
}

bool L2ObjectStore::EraseAllTypes(std::string_view id) {
    bool erased = false;
    CompactBytes key(id);
    for (auto t = types_.begin(); t != types_.end();) {
        erased |= t->second.erase(key) > 0;
        t = t->second.empty() ? types_.erase(t) : std::next(t);
    }
    return erased;
}

size_t L2ObjectStore::Sweep(SweepObserver* observer) {
    size_t removed = 0;
    for (auto t = types_.begin(); t != types_.end();) {
        for (auto it = t->second.begin(); it != t->second.end();) {
            L2Object& o = it->second;
            if (o.version < version_) {
                if (observer)
                    observer->ObjectRemoved(t->first, it->first.view());
                removed += o.EntryCount() + 1;
                it = t->second.erase(it);
                continue;
            }
            for (size_t p = 0; p < o.props.size(); ++p) {
                L2EntryMap& m = o.props[p];
                // Told first, erased after the walk (an erase moves entries the walk has yet to
                // see).
                std::vector<L2ValueKey> stale;
                for (const auto& [key, e] : m) {
                    if (e.version >= version_)
                        continue;
                    if (observer) {
                        observer->EntryRemoved(
                            t->first, it->first.view(),
                            static_cast<PropertyType>(
                                static_cast<uint32_t>(PropertyType::L2_VM_IP) + p),
                            e);
                    }
                    stale.push_back(key);
                }
                for (const L2ValueKey& key : stale)
                    m.erase(key);
                removed += stale.size();
            }
            ++it;
        }
        t = t->second.empty() ? types_.erase(t) : std::next(t);
    }
    return removed;
}

size_t L2ObjectStore::ObjectCount() const {
    size_t n = 0;
    for (const auto& [type, objects] : types_)
        n += objects.size();
    return n;
}

size_t L2ObjectStore::EntryCount() const {
    size_t n = 0;
    for (const auto& [type, objects] : types_) {
        for (const auto& [id, o] : objects)
            n += o.EntryCount();
    }
    return n;
}

size_t L2ObjectStore::ComputeBytes() const {
    size_t bytes = ContainerBytes(types_);
    for (const auto& [type, objects] : types_) {
        bytes += ContainerBytes(objects);
        for (const auto& [id, o] : objects) {
            bytes += HeapChunk(id.heapBytes());
            for (const L2EntryMap& m : o.props) {
                bytes += ContainerBytes(m);
                for (const auto& [key, e] : m)
                    bytes += HeapChunk(e.body.heapBytes());
            }
        }
    }
    return bytes;
}

}  // namespace CfgAgent::sc
