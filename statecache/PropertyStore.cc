#include "statecache/PropertyStore.h"

#include <algorithm>
#include <utility>

#include "statecache/MemoryEstimate.h"

namespace CfgAgent::sc {

namespace {

bool PropLess(const PropSlot& s, PropertyType p) {
    return static_cast<uint32_t>(s.property) < static_cast<uint32_t>(p);
}

}  // namespace

const PropSlot* ObjectEntry::Find(PropertyType p) const {
    auto it = std::lower_bound(props.begin(), props.end(), p, PropLess);
    return it != props.end() && it->property == p ? &*it : nullptr;
}

PropSlot* ObjectEntry::Find(PropertyType p) {
    auto it = std::lower_bound(props.begin(), props.end(), p, PropLess);
    return it != props.end() && it->property == p ? &*it : nullptr;
}

PropertyStore::PropertyStore() = default;
PropertyStore::~PropertyStore() = default;

PropertyStore::Bucket* PropertyStore::FindBucket(ObjectType type) {
    auto it = buckets_.find(type);
    return it == buckets_.end() ? nullptr : &it->second;
}

const PropertyStore::Bucket* PropertyStore::FindBucket(ObjectType type) const {
    auto it = buckets_.find(type);
    return it == buckets_.end() ? nullptr : &it->second;
}

const ObjectEntry* PropertyStore::Find(ObjectType type, std::string_view id) const {
    const Bucket* b = FindBucket(type);
    if (b == nullptr)
        return nullptr;
    auto it = b->objects.find(CompactBytes(id));
    return it == b->objects.end() ? nullptr : &it->second;
}

ObjectEntry* PropertyStore::FindMutable(ObjectType type, std::string_view id, Bucket** bucket) {
    Bucket* b = FindBucket(type);
    if (b == nullptr)
        return nullptr;
    auto it = b->objects.find(CompactBytes(id));
    if (it == b->objects.end())
        return nullptr;
    *bucket = b;
    return &it->second;
}

const PropSlot* PropertyStore::FindProp(ObjectType type, std::string_view id,
                                        PropertyType p) const {
    const ObjectEntry* e = Find(type, id);
    return e == nullptr ? nullptr : e->Find(p);
}

PropertyStore::Node& PropertyStore::GetOrCreate(ObjectType type, std::string_view id,
                                                Bucket** bucket) {
    Bucket& b = buckets_[type];
    *bucket = &b;
    auto [it, inserted] = b.objects.try_emplace(CompactBytes(id));
    if (inserted) {
        uint32_t slot;
        if (!b.freeSlots.empty()) {
            slot = b.freeSlots.back();
            b.freeSlots.pop_back();
        } else {
            slot = static_cast<uint32_t>(b.slots.size());
            b.slots.push_back(nullptr);
        }
        b.slots[slot] = &*it;
        it->second.slot = slot;
    }
    return *it;
}

void PropertyStore::SetBit(Bucket& b, PropertyType p, uint32_t slot) {
    std::vector<uint64_t>& bits = b.propBits[p];
    size_t word = slot / 64;
    if (bits.size() <= word)
        bits.resize(std::max(word + 1, b.slots.size() / 64 + 1), 0);
    bits[word] |= uint64_t{1} << (slot % 64);
}

void PropertyStore::ClearBit(Bucket& b, PropertyType p, uint32_t slot) {
    auto it = b.propBits.find(p);
    if (it == b.propBits.end() || it->second.size() <= slot / 64)
        return;
    it->second[slot / 64] &= ~(uint64_t{1} << (slot % 64));
}

PropSlot& PropertyStore::InsertProp(Bucket& b, ObjectEntry& e, PropertyType p,
                                    std::string_view value) {
    auto pos = std::lower_bound(e.props.begin(), e.props.end(), p, PropLess);
    if (e.props.size() == e.props.capacity()) {
        // Grow by a quarter: objects keep a handful of properties and live long.
        size_t index = static_cast<size_t>(pos - e.props.begin());
        e.props.reserve(e.props.size() + e.props.size() / 4 + 1);
        pos = e.props.begin() + static_cast<std::ptrdiff_t>(index);
    }
    PropSlot slot;
    slot.property = p;
    slot.version = version_;
    slot.value.assign(value);
    auto it = e.props.insert(pos, std::move(slot));
    SetBit(b, p, e.slot);
    ++values_;
    return *it;
}

void PropertyStore::EraseProp(Bucket& b, ObjectEntry& e, PropertyType p) {
    auto it = std::lower_bound(e.props.begin(), e.props.end(), p, PropLess);
    if (it == e.props.end() || it->property != p)
        return;
    values_ -= it->count();
    e.props.erase(it);
    ClearBit(b, p, e.slot);
}

void PropertyStore::EraseObject(
    ObjectType type, Bucket& b,
    std::unordered_map<CompactBytes, ObjectEntry, CompactBytesHash>::iterator it) {
    ObjectEntry& e = it->second;
    for (const PropSlot& s : e.props) {
        values_ -= s.count();
        ClearBit(b, s.property, e.slot);
    }
    b.slots[e.slot] = nullptr;
    b.freeSlots.push_back(e.slot);
    b.objects.erase(it);
    if (b.objects.empty()) {
        buckets_.erase(type);
    }
}

void PropertyStore::EraseObjectIfEmpty(ObjectType type, Bucket& b, const CompactBytes& id) {
    auto it = b.objects.find(id);
    if (it != b.objects.end() && it->second.props.empty()) {
        EraseObject(type, b, it);
    }
}

SetResult PropertyStore::SetScalar(ObjectType type, std::string_view id, PropertyType p,
                                   std::string_view value) {
    Bucket* b = nullptr;
    Node& n = GetOrCreate(type, id, &b);
    PropSlot* s = n.second.Find(p);
    if (s == nullptr) {
        InsertProp(*b, n.second, p, value);
        return SetResult::kAdded;
    }
    if (s->count() > 1)
        return SetResult::kMultiple;
    s->version = version_;
    if (s->value.view() == value)
        return SetResult::kUnchanged;
    s->value.assign(value);
    return SetResult::kUpdated;
}

RemoveResult PropertyStore::RemoveScalar(ObjectType type, std::string_view id, PropertyType p) {
    Bucket* b = nullptr;
    ObjectEntry* e = FindMutable(type, id, &b);
    if (e == nullptr)
        return RemoveResult::kAbsent;
    PropSlot* s = e->Find(p);
    if (s == nullptr)
        return RemoveResult::kAbsent;
    if (s->count() > 1)
        return RemoveResult::kMultiple;
    EraseProp(*b, *e, p);
    EraseObjectIfEmpty(type, *b, CompactBytes(id));
    return RemoveResult::kRemoved;
}

SetResult PropertyStore::AppendValue(ObjectType type, std::string_view id, PropertyType p,
                                     std::string_view value) {
    Bucket* b = nullptr;
    Node& n = GetOrCreate(type, id, &b);
    PropSlot* s = n.second.Find(p);
    if (s == nullptr) {
        InsertProp(*b, n.second, p, value);
        return SetResult::kAdded;
    }
    if (s->value.view() == value) {
        s->version = version_;
        return SetResult::kUnchanged;
    }
    if (!s->more)
        s->more = std::make_unique<PropSlot::More>();
    auto [it, inserted] = s->more->try_emplace(CompactBytes(value), version_);
    if (!inserted) {
        it->second = version_;
        return SetResult::kUnchanged;
    }
    ++values_;
    return SetResult::kAdded;
}

bool PropertyStore::HasValue(ObjectType type, std::string_view id, PropertyType p,
                             std::string_view value) const {
    const PropSlot* s = FindProp(type, id, p);
    if (s == nullptr)
        return false;
    if (s->value.view() == value)
        return true;
    return s->more && s->more->count(CompactBytes(value)) > 0;
}

bool PropertyStore::RemoveValue(ObjectType type, std::string_view id, PropertyType p,
                                std::string_view value) {
    Bucket* b = nullptr;
    ObjectEntry* e = FindMutable(type, id, &b);
    if (e == nullptr)
        return false;
    PropSlot* s = e->Find(p);
    if (s == nullptr)
        return false;
    if (s->value.view() == value) {
        if (s->more && !s->more->empty()) {
            auto first = s->more->begin();
            s->value = first->first;
            s->version = first->second;
            s->more->erase(first);
            --values_;
        } else {
            EraseProp(*b, *e, p);
            EraseObjectIfEmpty(type, *b, CompactBytes(id));
        }
        return true;
    }
    if (s->more && s->more->erase(CompactBytes(value)) > 0) {
        --values_;
        return true;
    }
    return false;
}

bool PropertyStore::RemoveProperty(ObjectType type, std::string_view id, PropertyType p) {
    Bucket* b = nullptr;
    ObjectEntry* e = FindMutable(type, id, &b);
    if (e == nullptr || e->Find(p) == nullptr)
        return false;
    EraseProp(*b, *e, p);
    EraseObjectIfEmpty(type, *b, CompactBytes(id));
    return true;
}

bool PropertyStore::RemoveObject(ObjectType type, std::string_view id) {
    Bucket* b = FindBucket(type);
    if (b == nullptr)
        return false;
    auto it = b->objects.find(CompactBytes(id));
    if (it == b->objects.end())
        return false;
    EraseObject(type, *b, it);
    return true;
}

void PropertyStore::Clear() {
    buckets_.clear();
    values_ = 0;
}

size_t PropertyStore::Sweep(SweepObserver* observer) {
    size_t removed = 0;
    for (auto bit = buckets_.begin(); bit != buckets_.end();) {
        const ObjectType type = bit->first;
        Bucket& b = bit->second;
        for (auto it = b.objects.begin(); it != b.objects.end();) {
            ObjectEntry& e = it->second;
            for (size_t i = 0; i < e.props.size();) {
                PropSlot& s = e.props[i];
                bool stale = s.version < version_;
                if (s.more) {
                    for (auto m = s.more->begin(); m != s.more->end();) {
                        if (m->second < version_) {
                            if (observer)
                                observer->ValueRemoved(type, it->first.view(), s.property,
                                                       m->first.view());
                            m = s.more->erase(m);
                            --values_;
                            ++removed;
                        } else {
                            ++m;
                        }
                    }
                }
                if (stale) {
                    if (observer)
                        observer->ValueRemoved(type, it->first.view(), s.property, s.value.view());
                    ++removed;
                    if (s.more && !s.more->empty()) {
                        auto first = s.more->begin();
                        s.value = first->first;
                        s.version = first->second;
                        s.more->erase(first);
                        --values_;
                    } else {
                        --values_;
                        ClearBit(b, s.property, e.slot);
                        e.props.erase(e.props.begin() + static_cast<std::ptrdiff_t>(i));
                        continue;
                    }
                }
                if (s.more && s.more->empty())
                    s.more.reset();
                ++i;
            }
            if (e.props.empty()) {
                if (observer)
                    observer->ObjectRemoved(type, it->first.view());
                b.slots[e.slot] = nullptr;
                b.freeSlots.push_back(e.slot);
                it = b.objects.erase(it);
            } else {
                ++it;
            }
        }
        if (b.objects.empty()) {
            bit = buckets_.erase(bit);
        } else {
            ++bit;
        }
    }
    return removed;
}

size_t PropertyStore::ObjectCount() const {
    size_t n = 0;
    for (const auto& [type, b] : buckets_)
        n += b.objects.size();
    return n;
}

size_t PropertyStore::ComputeBytes() const {
    size_t bytes = ContainerBytes(buckets_);
    for (const auto& [type, b] : buckets_) {
        bytes += ContainerBytes(b.objects) + ContainerBytes(b.slots) + ContainerBytes(b.freeSlots);
        bytes += ContainerBytes(b.propBits);
        for (const auto& [p, bits] : b.propBits)
            bytes += ContainerBytes(bits);
        for (const auto& [id, e] : b.objects) {
            bytes += HeapChunk(id.heapBytes()) + ContainerBytes(e.props);
            for (const PropSlot& s : e.props) {
                bytes += HeapChunk(s.value.heapBytes());
                if (s.more) {
                    bytes += HeapChunk(sizeof(PropSlot::More)) + ContainerBytes(*s.more);
                    for (const auto& [v, ver] : *s.more)
                        bytes += HeapChunk(v.heapBytes());
                }
            }
        }
    }
    return bytes;
}

}  // namespace CfgAgent::sc
