#include "apps/switching/VifStateTable.h"

#include <cstring>
#include <iterator>
#include <string>
#include <utility>

#include "statecache/MemoryEstimate.h"

namespace CfgAgent {

namespace {

constexpr size_t kMinCapacity = 16;

// The block behind a record, in host byte order (it never leaves the process):
//   u32 its length; u32 the MACs after the first, 6 bytes each; u32 the dataplane's bindings and
//   u32 the effective ones, each binding packed (PutBinding); u32 the parent VIF's length and its
//   text; u32 the ID's length and its text (0: the ID is the key's text).
class Writer {
  public:
    explicit Writer(std::string* out) : out_(out) {}
    void U32(size_t v) {
        const uint32_t n = static_cast<uint32_t>(v);
        Bytes(&n, sizeof n);
    }
    void Bytes(const void* p, size_t n) { out_->append(static_cast<const char*>(p), n); }
    void Text(const std::string& s) {
        U32(s.size());
        Bytes(s.data(), s.size());
    }
    void Binding(const IpBinding& b) {
        uint8_t bits =
            static_cast<uint8_t>((b.hasAddress ? 1 : 0) | (b.ipv4 ? 2 : 0) | (b.hasMac ? 4 : 0));
        Bytes(&bits, 1);
        Bytes(b.address.data(), b.address.size());
        Bytes(b.mac.data(), b.mac.size());
        Bytes(&b.vlan, sizeof b.vlan);
        Bytes(&b.method, sizeof b.method);
        Bytes(&b.timestamp, sizeof b.timestamp);
    }
    void Bindings(const std::vector<IpBinding>& v) {
        U32(v.size());
        for (const IpBinding& b : v)
            Binding(b);
    }

  private:
    std::string* out_;
};

class Reader {
  public:
    explicit Reader(const uint8_t* p) : p_(p) {}
    uint32_t U32() {
        uint32_t v = 0;
        Bytes(&v, 4);
        return v;
    }
    void Bytes(void* out, size_t n) {
        std::memcpy(out, p_, n);
        p_ += n;
    }
    std::string Text() {
        uint32_t n = U32();
        std::string s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return s;
    }
    IpBinding Binding() {
        IpBinding b;
        uint8_t bits = 0;
        Bytes(&bits, 1);
        b.hasAddress = (bits & 1) != 0;
        b.ipv4 = (bits & 2) != 0;
        b.hasMac = (bits & 4) != 0;
        Bytes(b.address.data(), b.address.size());
        Bytes(b.mac.data(), b.mac.size());
        Bytes(&b.vlan, sizeof b.vlan);
        Bytes(&b.method, sizeof b.method);
        Bytes(&b.timestamp, sizeof b.timestamp);
        return b;
    }
    void Bindings(std::vector<IpBinding>* out) {
        uint32_t n = U32();
        out->reserve(n);
        for (uint32_t i = 0; i < n; ++i)
            out->push_back(Binding());
    }

  private:
    const uint8_t* p_;
};

}  // namespace

VifStateTable::VifStateTable() = default;
VifStateTable::~VifStateTable() = default;

VifStateTable::VifStateTable(VifStateTable&& o) noexcept
    : records_(std::move(o.records_)),
      index_(std::move(o.index_)),
      capacity_(std::exchange(o.capacity_, 0)) {
    o.records_.clear();
}

VifStateTable& VifStateTable::operator=(VifStateTable&& o) noexcept {
    if (this != &o) {
        records_ = std::move(o.records_);
        index_ = std::move(o.index_);
        capacity_ = std::exchange(o.capacity_, 0);
        o.records_.clear();
    }
    return *this;
}

std::unique_ptr<uint8_t[]> VifStateTable::Pack(const dvs::PackedId& key, const VifStateRecord& st) {
    const bool ownId = !(key == st.vifId);
    if (st.macs.size() <= 1 && st.dpBindings.empty() && st.bindings.empty() &&
        st.parentVifId.empty() && !ownId) {
        return nullptr;
    }
    std::string bytes(4, '\0');
    Writer w(&bytes);
    w.U32(st.macs.empty() ? 0 : st.macs.size() - 1);
    for (size_t i = 1; i < st.macs.size(); ++i)
        w.Bytes(st.macs[i].data(), st.macs[i].size());
    w.Bindings(st.dpBindings);
    w.Bindings(st.bindings);
    w.Text(st.parentVifId);
    w.Text(ownId ? st.vifId : std::string());
    const uint32_t length = static_cast<uint32_t>(bytes.size());
    std::memcpy(&bytes[0], &length, sizeof length);
    std::unique_ptr<uint8_t[]> block(new uint8_t[bytes.size()]);
    std::memcpy(block.get(), bytes.data(), bytes.size());
    return block;
}

void VifStateTable::Unpack(const uint8_t* more, VifStateRecord* out) {
    Reader r(more + 4);
    uint32_t extraMacs = r.U32();
    for (uint32_t i = 0; i < extraMacs; ++i) {
        kcp::MacAddr mac{};
        r.Bytes(mac.data(), mac.size());
        out->macs.push_back(mac);
    }
    r.Bindings(&out->dpBindings);
    r.Bindings(&out->bindings);
    out->parentVifId = r.Text();
    std::string ownId = r.Text();
    if (!ownId.empty())
        out->vifId = std::move(ownId);
}

size_t VifStateTable::PackedBytes(const uint8_t* more) {
    if (more == nullptr)
        return 0;
    uint32_t length = 0;
    std::memcpy(&length, more, sizeof length);
    return length;
}

size_t VifStateTable::Home(const dvs::PackedId& key) const {
    size_t h = key.Hash();
    h ^= h >> 31;
    h *= 0x9e3779b97f4a7c15ull;
    h ^= h >> 29;
    return h & (capacity_ - 1);
}

size_t VifStateTable::Probe(const dvs::PackedId& key) const {
    size_t i = Home(key);
    while (index_[i] != 0 && !(records_[index_[i] - 1].key == key))
        i = (i + 1) & (capacity_ - 1);
    return i;
}

uint32_t VifStateTable::Find(const dvs::PackedId& key) const {
    if (records_.empty())
        return kNone;
    const size_t i = Probe(key);
    return index_[i] == 0 ? kNone : index_[i] - 1;
}

void VifStateTable::Resize(size_t capacity) {
    index_.reset(new uint32_t[capacity]());
    capacity_ = capacity;
    for (size_t r = 0; r < records_.size(); ++r)
        index_[Probe(records_[r].key)] = static_cast<uint32_t>(r + 1);
}

bool VifStateTable::Get(std::string_view key, VifStateRecord* out) const {
    const uint32_t r = Find(dvs::PackedId(key));
    if (r == kNone)
        return false;
    const Record& rec = records_[r];
    *out = VifStateRecord();
    out->vifId = rec.key.str();
    out->portId = rec.portId.str();
    out->switchId = rec.switchId.str();
    out->vifType = rec.vifType;
    out->status = rec.status;
    out->smartNic = (rec.flags & kSmartNic) != 0;
    out->hopover = (rec.flags & kHopover) != 0;
    if ((rec.flags & kHasMac) != 0)
        out->macs.push_back(rec.mac);
    if (rec.more)
        Unpack(rec.more.get(), out);
    return true;
}

void VifStateTable::Put(std::string_view key, const VifStateRecord& st) {
    dvs::PackedId id(key);
    uint32_t r = Find(id);
    if (r == kNone) {
        // Three quarters full at most; the array grows by a quarter (it is the larger block).
        if ((records_.size() + 1) * 4 > capacity_ * 3)
            Resize(capacity_ == 0 ? kMinCapacity : capacity_ * 2);
        if (records_.size() == records_.capacity())
            records_.reserve(records_.size() + records_.size() / 4 + 1);
        r = static_cast<uint32_t>(records_.size());
        index_[Probe(id)] = r + 1;
        records_.emplace_back();
        records_.back().key = std::move(id);
    }
    Record& rec = records_[r];
    rec.portId = st.portId;
    rec.switchId = st.switchId;
    rec.more = Pack(rec.key, st);
    rec.mac = st.macs.empty() ? kcp::MacAddr{} : st.macs.front();
    rec.vifType = st.vifType;
    rec.status = st.status;
    rec.flags = static_cast<uint8_t>((st.macs.empty() ? 0 : kHasMac) |
                                     (st.smartNic ? kSmartNic : 0) | (st.hopover ? kHopover : 0));
}

void VifStateTable::RemoveSlot(size_t i) {
    // Backward shift: every entry after the hole that could sit in it moves up, so that no probe
    // stops early at the hole.
    const size_t mask = capacity_ - 1;
    for (size_t j = (i + 1) & mask; index_[j] != 0; j = (j + 1) & mask) {
        const size_t home = Home(records_[index_[j] - 1].key);
        if (((j - home) & mask) >= ((j - i) & mask)) {
            index_[i] = index_[j];
            i = j;
        }
    }
    index_[i] = 0;
}

bool VifStateTable::Erase(std::string_view key) {
    if (records_.empty())
        return false;
    const dvs::PackedId id(key);
    const size_t slot = Probe(id);
    if (index_[slot] == 0)
        return false;
    const uint32_t r = index_[slot] - 1;
    RemoveSlot(slot);
    const uint32_t last = static_cast<uint32_t>(records_.size() - 1);
    if (r != last) {
        // The last record moves into the hole; its slot follows it.
        index_[Probe(records_[last].key)] = r + 1;
        records_[r] = std::move(records_[last]);
    }
    records_.pop_back();
    if (records_.empty()) {
        Clear();
        return true;
    }
    // The room of VIFs that went is given back: the array when under half full, the index when
    // under a quarter.
    const size_t n = records_.size();
    if (n * 2 < records_.capacity()) {
        std::vector<Record> records;
        records.reserve(n + n / 4);
        std::move(records_.begin(), records_.end(), std::back_inserter(records));
        records_.swap(records);
    }
    size_t capacity = capacity_;
    while (capacity > kMinCapacity && n * 4 <= capacity * 3 / 4)
        capacity /= 2;
    if (capacity != capacity_)
        Resize(capacity);
    return true;
}

void VifStateTable::Clear() {
    std::vector<Record>().swap(records_);
    index_.reset();
    capacity_ = 0;
}

size_t VifStateTable::Bytes() const {
    size_t n = sc::HeapChunk(records_.capacity() * sizeof(Record)) +
               sc::HeapChunk(capacity_ * sizeof(uint32_t));
    for (const Record& rec : records_) {
        n += rec.key.HeapBytes() + rec.portId.HeapBytes() + rec.switchId.HeapBytes() +
             sc::HeapChunk(PackedBytes(rec.more.get()));
    }
    return n;
}

}  // namespace CfgAgent
