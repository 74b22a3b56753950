#include "statecache/L2ObjectStore.h"

#include <new>
#include <utility>
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
    : segments_(std::move(o.segments_)),
      size_(std::exchange(o.size_, 0)),
      used_(std::move(o.used_)),
      index_(std::move(o.index_)),
      capacity_(std::exchange(o.capacity_, 0)) {
    o.segments_.clear();
}

L2EntryMap& L2EntryMap::operator=(L2EntryMap&& o) noexcept {
    if (this != &o) {
        clear();
        segments_ = std::move(o.segments_);
        o.segments_.clear();
        size_ = std::exchange(o.size_, 0);
        used_ = std::move(o.used_);
        index_ = std::move(o.index_);
        capacity_ = std::exchange(o.capacity_, 0);
    }
    return *this;
}

L2EntryMap::~L2EntryMap() {
    clear();
}

size_t L2EntryMap::HeapBytes() const {
    size_t bytes = HeapChunk(segments_.capacity() * sizeof(segments_[0]));
    for (size_t s = 0; s < segments_.size(); ++s)
        bytes += HeapChunk(SegmentSize(s) * sizeof(value_type));
    if (capacity_ != 0)
        bytes += HeapChunk(capacity_) + HeapChunk(capacity_ * sizeof(index_[0]));
    return bytes;
}

L2EntryMap::value_type& L2EntryMap::At(size_t place) const {
    if (place < kFirstSegment)
        return segments_[0].get()[place];
    // Segment s >= 1 starts at 8 << (s - 1): s is one more than the highest bit of place / 8.
    const auto s = static_cast<size_t>(64 - __builtin_clzll(place / kFirstSegment));
    return segments_[s].get()[place - SegmentStart(s)];
}

uint64_t L2EntryMap::Mixed(const L2ValueKey& key) {
    // One more multiplication: keys that differ in a few low bits only (consecutive MACs) spread
    // over the whole table.
    return static_cast<uint64_t>(L2ValueKeyHash()(key)) * 0x9E3779B97F4A7C15ull;
}

size_t L2EntryMap::Home(uint64_t mixed) const {
    return static_cast<size_t>(mixed >> 32) & (capacity_ - 1);
}

uint8_t L2EntryMap::Mark(uint64_t mixed) {
    // Seven bits below those that pick the home slot, with the high bit set (never 0, empty).
    return static_cast<uint8_t>(0x80u | ((mixed >> 25) & 0x7fu));
}

size_t L2EntryMap::Probe(const L2ValueKey& key) const {
    const uint64_t mixed = Mixed(key);
    const uint8_t mark = Mark(mixed);
    size_t i = Home(mixed);
    // The marks are walked, one byte a slot; a key is compared only where its mark is.
    while (used_[i] != 0 && (used_[i] != mark || !(At(index_[i]).first == key)))
        i = (i + 1) & (capacity_ - 1);
    return i;
}

L2EntryMap::iterator L2EntryMap::find(const L2ValueKey& key) {
    if (size_ == 0)
        return end();
    const size_t i = Probe(key);
    return used_[i] != 0 ? iterator(this, index_[i]) : end();
}

L2EntryMap::const_iterator L2EntryMap::find(const L2ValueKey& key) const {
    if (size_ == 0)
        return end();
    const size_t i = Probe(key);
    return used_[i] != 0 ? const_iterator(this, index_[i]) : end();
}

std::pair<L2EntryMap::iterator, bool> L2EntryMap::try_emplace(const L2ValueKey& key) {
    if ((size_ + 1) * 8 > capacity_ * 7)
        Rehash(capacity_ == 0 ? 8 : capacity_ * 2);
    const size_t i = Probe(key);
    if (used_[i] != 0)
        return {iterator(this, index_[i]), false};
    if (size_ == entryCapacity()) {
        const size_t s = segments_.size();
        segments_.emplace_back(
            static_cast<value_type*>(::operator new(SegmentSize(s) * sizeof(value_type))));
    }
    used_[i] = Mark(Mixed(key));
    index_[i] = static_cast<uint32_t>(size_);
    new (&At(size_)) value_type(key, L2Entry());
    return {iterator(this, size_++), true};
}

size_t L2EntryMap::erase(const L2ValueKey& key) {
    if (size_ == 0)
        return 0;
    size_t i = Probe(key);
    if (used_[i] == 0)
        return 0;
    const uint32_t at = index_[i];
    // Slots after the hole that may not stay past it (their home is not between the hole and
    // them) move into it, until an empty slot ends the run.
    const size_t mask = capacity_ - 1;
    for (size_t j = (i + 1) & mask; used_[j] != 0; j = (j + 1) & mask) {
        const size_t home = Home(Mixed(At(index_[j]).first));
        if (((j - home) & mask) >= ((j - i) & mask)) {
            used_[i] = used_[j];
            index_[i] = index_[j];
            i = j;
        }
    }
    used_[i] = 0;
    // The last entry fills the erased one's place; its slot follows it.
    const auto last = static_cast<uint32_t>(size_ - 1);
    if (at != last) {
        index_[Probe(At(last).first)] = at;
        At(at) = std::move(At(last));
    }
    At(last).~value_type();
    --size_;
    return 1;
}

void L2EntryMap::clear() {
    for (size_t p = 0; p < size_; ++p)
        At(p).~value_type();
    size_ = 0;
    std::vector<std::unique_ptr<value_type, FreeSegment>>().swap(segments_);
    used_.reset();
    index_.reset();
    capacity_ = 0;
}

void L2EntryMap::Rehash(size_t capacity) {
    used_ = std::make_unique<uint8_t[]>(capacity);  // zeroed: every slot empty
    index_.reset(new uint32_t[capacity]);           // read only where a slot is used
    capacity_ = capacity;
    const size_t mask = capacity - 1;
    for (size_t k = 0; k < size_; ++k) {
        // The keys are distinct: each goes to the first empty slot from its home.
        const uint64_t mixed = Mixed(At(k).first);
        size_t i = Home(mixed);
        while (used_[i] != 0)
            i = (i + 1) & mask;
        used_[i] = Mark(mixed);
        index_[i] = static_cast<uint32_t>(k);
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
