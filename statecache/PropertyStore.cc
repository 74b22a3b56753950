#include "statecache/PropertyStore.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

#include "statecache/MemoryEstimate.h"

namespace CfgAgent::sc {

namespace {

constexpr size_t kMinCapacity = 8;

bool PropLess(const PropSlot& s, PropertyType p) {
    return static_cast<uint32_t>(s.property) < static_cast<uint32_t>(p);
}

// The slots of a block as inits of a new one (the further values handed over with them).
std::vector<PropBlock::SlotInit> InitsOf(const PropBlock& block) {
    std::vector<PropBlock::SlotInit> inits;
    inits.reserve(block.size() + 1);
    for (const PropSlot& s : block)
        inits.push_back({s.property, s.version, s.value.view(), s.more});
    return inits;
}

}  // namespace

// ---- PropBlock ------------------------------------------------------------------------------

PropBlock::PropBlock(const std::vector<SlotInit>& inits) {
    if (inits.empty())
        return;
    size_t bytes = sizeof(Header) + inits.size() * sizeof(PropSlot);
    for (const SlotInit& s : inits)
        bytes += s.value.size();
    block_ = ::operator new(bytes);
    Header* head = static_cast<Header*>(block_);
    head->count = static_cast<uint32_t>(inits.size());
    head->bytes = static_cast<uint32_t>(bytes);
    PropSlot* slots = Slots();
    char* data = reinterpret_cast<char*>(slots + inits.size());
    for (size_t i = 0; i < inits.size(); ++i) {
        PropSlot* s = new (&slots[i]) PropSlot();
        s->property = inits[i].property;
        s->version = inits[i].version;
        s->more = inits[i].more;
        s->value.size_ = static_cast<uint32_t>(inits[i].value.size());
        s->value.offset_ = static_cast<uint32_t>(data - reinterpret_cast<const char*>(&s->value));
        if (!inits[i].value.empty())
            std::memcpy(data, inits[i].value.data(), inits[i].value.size());
        data += inits[i].value.size();
    }
}

PropBlock& PropBlock::operator=(PropBlock&& o) noexcept {
    if (this != &o) {
        Free();
        block_ = o.block_;
        o.block_ = nullptr;
    }
    return *this;
}

void PropBlock::DisownMore() {
    for (PropSlot& s : *this)
        s.more = nullptr;
}

void PropBlock::Free() noexcept {
    if (block_ == nullptr)
        return;
    for (PropSlot& s : *this)
        delete s.more;
    ::operator delete(block_);
    block_ = nullptr;
}

const PropSlot* ObjectEntry::Find(PropertyType p) const {
    auto it = std::lower_bound(props.begin(), props.end(), p, PropLess);
    return it != props.end() && it->property == p ? it : nullptr;
}

PropSlot* ObjectEntry::Find(PropertyType p) {
    auto it = std::lower_bound(props.begin(), props.end(), p, PropLess);
    return it != props.end() && it->property == p ? it : nullptr;
}

// ---- the buckets' index -----------------------------------------------------------------------

PropertyStore::PropertyStore() = default;
PropertyStore::~PropertyStore() = default;

size_t PropertyStore::Home(const Bucket& b, const CompactBytes& id) {
    // The hash's bits mixed so that ids differing in their last bytes spread.
    uint64_t h = static_cast<uint64_t>(CompactBytesHash()(id));
    h ^= h >> 31;
    h *= 0x9e3779b97f4a7c15ull;
    h ^= h >> 29;
    return static_cast<size_t>(h) & (b.capacity - 1);
}

size_t PropertyStore::Probe(const Bucket& b, const CompactBytes& id) {
    size_t i = Home(b, id);
    while (b.index[i] != 0 && !(b.nodes[b.index[i] - 1].first == id))
        i = (i + 1) & (b.capacity - 1);
    return i;
}

uint32_t PropertyStore::FindNode(const Bucket& b, const CompactBytes& id) {
    if (b.nodes.empty())
        return kNone;
    const size_t i = Probe(b, id);
    return b.index[i] == 0 ? kNone : b.index[i] - 1;
}

void PropertyStore::Resize(Bucket& b, size_t capacity) {
    b.index.reset(new uint32_t[capacity]());
    b.capacity = capacity;
    for (size_t n = 0; n < b.nodes.size(); ++n)
        b.index[Probe(b, b.nodes[n].first)] = static_cast<uint32_t>(n + 1);
}

void PropertyStore::Shrink(Bucket& b) {
    const size_t n = b.nodes.size();
    if (n * 2 >= b.nodes.capacity() && n * 4 > b.capacity * 3 / 4)
        return;
    if (n * 2 < b.nodes.capacity()) {
        std::vector<Node> nodes;
        nodes.reserve(n + n / 4);
        std::move(b.nodes.begin(), b.nodes.end(), std::back_inserter(nodes));
        b.nodes.swap(nodes);
        for (auto& [p, bits] : b.propBits) {
            bits.resize(std::min(bits.size(), b.nodes.capacity() / 64 + 1));
            bits.shrink_to_fit();
        }
    }
    size_t capacity = b.capacity;
    while (capacity > kMinCapacity && n * 4 <= capacity * 3 / 4)
        capacity /= 2;
    if (capacity != b.capacity)
        Resize(b, capacity);
}

void PropertyStore::RemoveNode(Bucket& b, uint32_t at) {
    // Backward shift in the index: every entry after the hole that could sit in it moves up, so
    // that no probe stops early at the hole.
    const size_t mask = b.capacity - 1;
    size_t i = Probe(b, b.nodes[at].first);
    for (size_t j = (i + 1) & mask; b.index[j] != 0; j = (j + 1) & mask) {
        const size_t home = Home(b, b.nodes[b.index[j] - 1].first);
        if (((j - home) & mask) >= ((j - i) & mask)) {
            b.index[i] = b.index[j];
            i = j;
        }
    }
    b.index[i] = 0;
    const uint32_t last = static_cast<uint32_t>(b.nodes.size() - 1);
    if (at != last) {
        // The last object moves into the hole: its index entry and its bits follow it.
        b.index[Probe(b, b.nodes[last].first)] = at + 1;
        for (const PropSlot& s : b.nodes[last].second.props) {
            ClearBit(b, s.property, last);
            SetBit(b, s.property, at);
        }
        b.nodes[at] = std::move(b.nodes[last]);
    }
    b.nodes.pop_back();
}

// ---- lookups --------------------------------------------------------------------------------

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
    const uint32_t at = FindNode(*b, CompactBytes(id));
    return at == kNone ? nullptr : &b->nodes[at].second;
}

ObjectEntry* PropertyStore::FindMutable(ObjectType type, std::string_view id, Bucket** bucket,
                                        uint32_t* at) {
    Bucket* b = FindBucket(type);
    if (b == nullptr)
        return nullptr;
    const uint32_t n = FindNode(*b, CompactBytes(id));
    if (n == kNone)
        return nullptr;
    *bucket = b;
    *at = n;
    return &b->nodes[n].second;
}

const PropSlot* PropertyStore::FindProp(ObjectType type, std::string_view id,
                                        PropertyType p) const {
    const ObjectEntry* e = Find(type, id);
    return e == nullptr ? nullptr : e->Find(p);
}

size_t PropertyStore::IndexCapacity(ObjectType type) const {
    const Bucket* b = FindBucket(type);
    return b == nullptr ? 0 : b->capacity;
}

// ---- changes --------------------------------------------------------------------------------

ObjectEntry& PropertyStore::GetOrCreate(ObjectType type, std::string_view id, Bucket** bucket,
                                        uint32_t* at) {
    Bucket& b = buckets_[type];
    *bucket = &b;
    CompactBytes key(id);
    uint32_t n = FindNode(b, key);
    if (n == kNone) {
        if ((b.nodes.size() + 1) * 4 > b.capacity * 3)
            Resize(b, b.capacity == 0 ? kMinCapacity : b.capacity * 2);
        // The array grows by a quarter: it is the larger block, and objects live long.
        if (b.nodes.size() == b.nodes.capacity())
            b.nodes.reserve(b.nodes.size() + b.nodes.size() / 4 + 4);
        n = static_cast<uint32_t>(b.nodes.size());
        b.index[Probe(b, key)] = n + 1;
        b.nodes.push_back(Node{std::move(key), ObjectEntry()});
    }
    *at = n;
    return b.nodes[n].second;
}

void PropertyStore::SetBit(Bucket& b, PropertyType p, uint32_t at) {
    std::vector<uint64_t>& bits = b.propBits[p];
    size_t word = at / 64;
    if (bits.size() <= word)
        bits.resize(std::max(word + 1, b.nodes.capacity() / 64 + 1), 0);
    bits[word] |= uint64_t{1} << (at % 64);
}

void PropertyStore::ClearBit(Bucket& b, PropertyType p, uint32_t at) {
    auto it = b.propBits.find(p);
    if (it == b.propBits.end() || it->second.size() <= at / 64)
        return;
    it->second[at / 64] &= ~(uint64_t{1} << (at % 64));
}

void PropertyStore::InsertProp(Bucket& b, uint32_t at, PropertyType p, std::string_view value) {
    ObjectEntry& e = b.nodes[at].second;
    std::vector<PropBlock::SlotInit> inits = InitsOf(e.props);
    auto pos = std::lower_bound(
        inits.begin(), inits.end(), p, [](const PropBlock::SlotInit& s, PropertyType q) {
            return static_cast<uint32_t>(s.property) < static_cast<uint32_t>(q);
        });
    inits.insert(pos, PropBlock::SlotInit{p, version_, value, nullptr});
    PropBlock fresh(inits);
    e.props.DisownMore();
    e.props = std::move(fresh);
    SetBit(b, p, at);
    ++values_;
}

void PropertyStore::Rebuild(ObjectEntry& e, PropertyType p, const std::string_view* value,
                            uint32_t version) {
    std::vector<PropBlock::SlotInit> inits = InitsOf(e.props);
    for (auto it = inits.begin(); it != inits.end(); ++it) {
        if (it->property != p)
            continue;
        if (value != nullptr) {
            it->value = *value;
            it->version = version;
        } else {
            delete it->more;
            inits.erase(it);
        }
        break;
    }
    PropBlock fresh(inits);
    e.props.DisownMore();
    e.props = std::move(fresh);
}

void PropertyStore::EraseProp(Bucket& b, uint32_t at, PropertyType p) {
    ObjectEntry& e = b.nodes[at].second;
    const PropSlot* s = e.Find(p);
    if (s == nullptr)
        return;
    values_ -= s->count();
    Rebuild(e, p, nullptr, 0);
    ClearBit(b, p, at);
}

void PropertyStore::EraseObject(ObjectType type, Bucket& b, uint32_t at) {
    for (const PropSlot& s : b.nodes[at].second.props) {
        values_ -= s.count();
        ClearBit(b, s.property, at);
    }
    RemoveNode(b, at);
    if (b.nodes.empty()) {
        buckets_.erase(type);
        return;
    }
    Shrink(b);
}

void PropertyStore::EraseIfEmpty(ObjectType type, Bucket& b, uint32_t at) {
    if (b.nodes[at].second.props.empty())
        EraseObject(type, b, at);
}

SetResult PropertyStore::SetScalar(ObjectType type, std::string_view id, PropertyType p,
                                   std::string_view value) {
    Bucket* b = nullptr;
    uint32_t at = 0;
    ObjectEntry& e = GetOrCreate(type, id, &b, &at);
    PropSlot* s = e.Find(p);
    if (s == nullptr) {
        InsertProp(*b, at, p, value);
        return SetResult::kAdded;
    }
    if (s->count() > 1)
        return SetResult::kMultiple;
    s->version = version_;
    if (s->value.view() == value)
        return SetResult::kUnchanged;
    if (s->value.size() == value.size()) {
        // The block is ours: a value of the same length is written where it is.
        std::memcpy(const_cast<char*>(s->value.data()), value.data(), value.size());
        return SetResult::kUpdated;
    }
    Rebuild(e, p, &value, version_);
    return SetResult::kUpdated;
}

RemoveResult PropertyStore::RemoveScalar(ObjectType type, std::string_view id, PropertyType p) {
    Bucket* b = nullptr;
    uint32_t at = 0;
    ObjectEntry* e = FindMutable(type, id, &b, &at);
    if (e == nullptr)
        return RemoveResult::kAbsent;
    PropSlot* s = e->Find(p);
    if (s == nullptr)
        return RemoveResult::kAbsent;
    if (s->count() > 1)
        return RemoveResult::kMultiple;
    EraseProp(*b, at, p);
    EraseIfEmpty(type, *b, at);
    return RemoveResult::kRemoved;
}

SetResult PropertyStore::AppendValue(ObjectType type, std::string_view id, PropertyType p,
                                     std::string_view value) {
    Bucket* b = nullptr;
    uint32_t at = 0;
    ObjectEntry& e = GetOrCreate(type, id, &b, &at);
    PropSlot* s = e.Find(p);
    if (s == nullptr) {
        InsertProp(*b, at, p, value);
        return SetResult::kAdded;
    }
    if (s->value.view() == value) {
        s->version = version_;
        return SetResult::kUnchanged;
    }
    if (s->more == nullptr)
        s->more = new PropSlot::More();
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
    return s->more != nullptr && s->more->count(CompactBytes(value)) > 0;
}

bool PropertyStore::RemoveValue(ObjectType type, std::string_view id, PropertyType p,
                                std::string_view value) {
    Bucket* b = nullptr;
    uint32_t at = 0;
    ObjectEntry* e = FindMutable(type, id, &b, &at);
    if (e == nullptr)
        return false;
    PropSlot* s = e->Find(p);
    if (s == nullptr)
        return false;
    if (s->value.view() == value) {
        if (s->more != nullptr && !s->more->empty()) {
            // The first further value becomes the first value.
            auto first = s->more->begin();
            const CompactBytes promoted = first->first;
            const uint32_t version = first->second;
            s->more->erase(first);
            const std::string_view v = promoted.view();
            Rebuild(*e, p, &v, version);
            --values_;
        } else {
            EraseProp(*b, at, p);
            EraseIfEmpty(type, *b, at);
        }
        return true;
    }
    if (s->more != nullptr && s->more->erase(CompactBytes(value)) > 0) {
        --values_;
        return true;
    }
    return false;
}

bool PropertyStore::RemoveProperty(ObjectType type, std::string_view id, PropertyType p) {
    Bucket* b = nullptr;
    uint32_t at = 0;
    ObjectEntry* e = FindMutable(type, id, &b, &at);
    if (e == nullptr || e->Find(p) == nullptr)
        return false;
    EraseProp(*b, at, p);
    EraseIfEmpty(type, *b, at);
    return true;
}

bool PropertyStore::RemoveObject(ObjectType type, std::string_view id) {
    Bucket* b = nullptr;
    uint32_t at = 0;
    if (FindMutable(type, id, &b, &at) == nullptr)
        return false;
    EraseObject(type, *b, at);
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
        // From the last object down: an erasure moves the last object, already seen, into the
        // erased one's place.
        for (size_t n = b.nodes.size(); n-- > 0;) {
            Node& node = b.nodes[n];
            const uint32_t at = static_cast<uint32_t>(n);
            std::vector<PropBlock::SlotInit> inits;
            std::vector<CompactBytes> promoted;  // first values taken from the further ones
            bool changed = false;
            for (const PropSlot& s : node.second.props) {
                PropBlock::SlotInit init{s.property, s.version, s.value.view(), s.more};
                if (s.more != nullptr) {
                    for (auto m = s.more->begin(); m != s.more->end();) {
                        if (m->second < version_) {
                            if (observer)
                                observer->ValueRemoved(type, node.first.view(), s.property,
                                                       m->first.view());
                            m = s.more->erase(m);
                            --values_;
                            ++removed;
                        } else {
                            ++m;
                        }
                    }
                }
                if (s.version < version_) {
                    if (observer)
                        observer->ValueRemoved(type, node.first.view(), s.property, s.value.view());
                    ++removed;
                    --values_;
                    changed = true;
                    if (s.more != nullptr && !s.more->empty()) {
                        auto first = s.more->begin();
                        promoted.reserve(node.second.props.size());
                        promoted.push_back(first->first);
                        init.value = promoted.back().view();
                        init.version = first->second;
                        s.more->erase(first);
                    } else {
                        delete s.more;
                        ClearBit(b, s.property, at);
                        continue;
                    }
                }
                if (init.more != nullptr && init.more->empty()) {
                    delete init.more;
                    init.more = nullptr;
                    changed = true;
                }
                inits.push_back(init);
            }
            if (!changed)
                continue;
            PropBlock fresh(inits);
            node.second.props.DisownMore();
            node.second.props = std::move(fresh);
            if (node.second.props.empty()) {
                if (observer)
                    observer->ObjectRemoved(type, node.first.view());
                RemoveNode(b, at);
            }
        }
        if (b.nodes.empty()) {
            bit = buckets_.erase(bit);
        } else {
            Shrink(b);
            ++bit;
        }
    }
    return removed;
}

size_t PropertyStore::ObjectCount() const {
    size_t n = 0;
    for (const auto& [type, b] : buckets_)
        n += b.nodes.size();
    return n;
}

size_t PropertyStore::ComputeBytes() const {
    size_t bytes = ContainerBytes(buckets_);
    for (const auto& [type, b] : buckets_) {
        bytes +=
            HeapChunk(b.nodes.capacity() * sizeof(Node)) + HeapChunk(b.capacity * sizeof(uint32_t));
        bytes += ContainerBytes(b.propBits);
        for (const auto& [p, bits] : b.propBits)
            bytes += ContainerBytes(bits);
        for (const Node& n : b.nodes) {
            bytes += HeapChunk(n.first.heapBytes()) + HeapChunk(n.second.props.ByteSize());
            for (const PropSlot& s : n.second.props) {
                if (s.more != nullptr) {
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
