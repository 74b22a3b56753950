#include "platform/device/LbConfigBuffer.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace ozy::device {

namespace {

bool IsZero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != 0)
            return false;
    }
    return true;
}

bool ValidAddress(const LbAddress& a) {
    if (a.family == 6)
        return true;
    uint64_t high;
    uint32_t low;
    std::memcpy(&high, a.bytes.data() + 4, 8);
    std::memcpy(&low, a.bytes.data() + 12, 4);
    return a.family == 4 && (high | low) == 0;
}

// Big-endian stores at `p`.
void Put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
void Put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// A bounds-checked big-endian reader over one buffer.
class Reader {
  public:
    Reader(const uint8_t* p, size_t size) : p_(p), size_(size) {}
    bool Has(size_t n) const { return size_ - pos_ >= n; }
    size_t Pos() const { return pos_; }
    size_t Left() const { return size_ - pos_; }
    uint8_t U8() { return p_[pos_++]; }
    uint16_t U16() {
        uint16_t v = uint16_t(p_[pos_] << 8 | p_[pos_ + 1]);
        pos_ += 2;
        return v;
    }
    uint32_t U32() {
        uint32_t v = uint32_t(U16()) << 16;
        return v | U16();
    }
    uint64_t U64() {
        uint64_t v = uint64_t(U32()) << 32;
        return v | U32();
    }
    const uint8_t* Bytes(size_t n) {
        const uint8_t* at = p_ + pos_;
        pos_ += n;
        return at;
    }
    LbUuid Uuid() {
        LbUuid u;
        std::memcpy(u.data(), Bytes(kLbUuidSize), kLbUuidSize);
        return u;
    }
    LbAddress Address(uint8_t family) {
        LbAddress a;
        a.family = family;
        std::memcpy(a.bytes.data(), Bytes(16), 16);
        return a;
    }

  private:
    const uint8_t* p_;
    size_t size_;
    size_t pos_ = 0;
};

bool Fail(std::string* why, const std::string& text) {
    if (why != nullptr)
        *why = text;
    return false;
}

// The body of one entry of `length` bytes (header read); false with `why` when it breaks the
// layout.
bool DecodeBody(Reader& r, size_t length, LbEntry* e, std::string* why) {
    const size_t body = length - kLbEntryHeaderSize;
    switch (e->kind) {
        case kLbServiceDelete:
        case kLbVirtualServerDelete:
        case kLbPoolDelete:
            return body == 0 || Fail(why, "a delete entry with a body");
        case kLbServiceUpdate: {
            if (body < kLbServiceFixedSize - kLbEntryHeaderSize)
                return Fail(why, "LB service entry below its fixed size");
            const uint8_t* name = r.Bytes(kLbNameField);
            const size_t n = strnlen(reinterpret_cast<const char*>(name), kLbNameField);
            if (n == kLbNameField || !IsZero(name + n, kLbNameField - n))
                return Fail(why, "LB service name not NUL-padded");
            LbServiceBody& s = e->service;
            s.name.assign(reinterpret_cast<const char*>(name), n);
            s.created = r.U64();
            const uint8_t def = r.U8();
            s.logLevel = r.U8();
            const uint16_t reserved = r.U16();
            const uint32_t lsps = r.U32();
            if (def > 1 || s.logLevel > kLbMaxLogLevel || reserved != 0)
                return Fail(why, "LB service flags out of range");
            s.isDefault = def == 1;
            if (length != LbServiceEntrySize(lsps))
                return Fail(why, "LB service length disagrees with its port count");
            s.lsps.reserve(lsps);
            for (uint32_t i = 0; i < lsps; ++i)
                s.lsps.push_back(r.Uuid());
            return true;
        }
        case kLbVirtualServerUpdate: {
            if (length != kLbVirtualServerSize)
                return Fail(why, "virtual server entry of another size");
            LbVirtualServerBody& v = e->server;
            v.lbs = r.Uuid();
            v.pool = r.Uuid();
            v.persistence = r.Uuid();
            v.protocol = r.U8();
            v.appType = r.U8();
            v.persistType = r.U8();
            const uint8_t family = r.U8();
            v.address = r.Address(family);
            v.port = r.U16();
            const uint16_t reserved = r.U16();
            const bool noPersistence = IsZero(v.persistence.data(), kLbUuidSize);
            if ((v.protocol != 6 && v.protocol != 17) || v.appType < 1 || v.appType > 3 ||
                v.persistType > 2 || (v.persistType == 0) != noPersistence ||
                !ValidAddress(v.address) || v.port == 0 || reserved != 0)
                return Fail(why, "virtual server value out of range");
            return true;
        }
        case kLbPoolUpdate: {
            if (body < kLbPoolFixedSize - kLbEntryHeaderSize)
                return Fail(why, "pool entry below its fixed size");
            const uint16_t lbs = r.U16();
            const uint16_t members = r.U16();
            const uint32_t reserved = r.U32();
            if (lbs == 0 || reserved != 0)
                return Fail(why, "pool without LB service");
            if (length != LbPoolEntrySize(lbs, members))
                return Fail(why, "pool length disagrees with its counts");
            LbPoolBody& p = e->pool;
            p.lbs.reserve(lbs);
            for (uint16_t i = 0; i < lbs; ++i)
                p.lbs.push_back(r.Uuid());
            p.members.reserve(members);
            for (uint16_t i = 0; i < members; ++i) {
                LbMember m;
                const uint8_t family = r.U8();
                const uint8_t res = r.U8();
                m.port = r.U16();
                m.weight = r.U32();
                m.address = r.Address(family);
                if (res != 0 || m.weight == 0 || !ValidAddress(m.address))
                    return Fail(why, "pool member value out of range");
                p.members.push_back(m);
            }
            return true;
        }
    }
    return Fail(why, "unknown entry kind");
}

}  // namespace

// ---- writer ----

bool LbConfigWriter::Room(size_t n) {
    if (failed_ || n > size_ - pos_) {
        failed_ = true;
        return false;
    }
    return true;
}

void LbConfigWriter::U16(uint16_t v) {
    buf_[pos_++] = uint8_t(v >> 8);
    buf_[pos_++] = uint8_t(v);
}

void LbConfigWriter::U32(uint32_t v) {
    U16(uint16_t(v >> 16));
    U16(uint16_t(v));
}

void LbConfigWriter::U64(uint64_t v) {
    U32(uint32_t(v >> 32));
    U32(uint32_t(v));
}

void LbConfigWriter::Raw(const uint8_t* p, size_t n) {
    std::memcpy(buf_ + pos_, p, n);
    pos_ += n;
}

void LbConfigWriter::Zero(size_t n) {
    std::memset(buf_ + pos_, 0, n);
    pos_ += n;
}

void LbConfigWriter::Address(const LbAddress& a) {
    Raw(a.bytes.data(), a.bytes.size());
}

void LbConfigWriter::EntryHeader(LbEntryKind kind, size_t length, const LbUuid& id) {
    U8(kind);
    Zero(3);
    U32(uint32_t(length));
    Raw(id.data(), id.size());
}

bool LbConfigWriter::Header(bool full, uint32_t entries) {
    if (pos_ != 0 || size_ > kLbMaxBuffer || !Room(kLbHeaderSize)) {
        failed_ = true;
        return false;
    }
    U32(kLbMagic);
    U16(kLbVersion);
    U8(full ? kLbFlagFull : 0);
    U8(0);
    U32(entries);
    U32(uint32_t(size_));
    return true;
}

bool LbConfigWriter::StartEntry() {
    if (!Closed())
        failed_ = true;
    return !failed_;
}

bool LbConfigWriter::ServiceBegin(const LbUuid& id, std::string_view name, uint64_t created,
                                  bool isDefault, uint8_t logLevel, size_t lsps) {
    if (!StartEntry() || name.size() >= kLbNameField || logLevel > kLbMaxLogLevel ||
        lsps > UINT32_MAX) {
        failed_ = true;
        return false;
    }
    const size_t length = LbServiceEntrySize(lsps);
    if (!Room(length))
        return false;
    EntryHeader(kLbServiceUpdate, length, id);
    Raw(reinterpret_cast<const uint8_t*>(name.data()), name.size());
    Zero(kLbNameField - name.size());
    U64(created);
    U8(isDefault ? 1 : 0);
    U8(logLevel);
    U16(0);
    U32(uint32_t(lsps));
    uuidsOwed_ = lsps;
    return true;
}

bool LbConfigWriter::Service(const LbUuid& id, const LbServiceBody& s) {
    if (!ServiceBegin(id, s.name, s.created, s.isDefault, s.logLevel, s.lsps.size()))
        return false;
    for (const LbUuid& l : s.lsps)
        Uuid(l);
    return !failed_;
}

bool LbConfigWriter::VirtualServer(const LbUuid& id, const LbVirtualServerBody& v) {
    const bool noPersistence = IsZero(v.persistence.data(), kLbUuidSize);
    if (!StartEntry() || (v.protocol != 6 && v.protocol != 17) || v.appType < 1 || v.appType > 3 ||
        v.persistType > 2 || (v.persistType == 0) != noPersistence || !ValidAddress(v.address) ||
        v.port == 0) {
        failed_ = true;
        return false;
    }
    if (!Room(kLbVirtualServerSize))
        return false;
    EntryHeader(kLbVirtualServerUpdate, kLbVirtualServerSize, id);
    Raw(v.lbs.data(), kLbUuidSize);
    Raw(v.pool.data(), kLbUuidSize);
    Raw(v.persistence.data(), kLbUuidSize);
    U8(v.protocol);
    U8(v.appType);
    U8(v.persistType);
    U8(v.address.family);
    Address(v.address);
    U16(v.port);
    U16(0);
    return true;
}

bool LbConfigWriter::PoolBegin(const LbUuid& id, size_t lbs, size_t members) {
    if (!StartEntry() || lbs == 0 || lbs > kLbMaxCount16 || members > kLbMaxCount16) {
        failed_ = true;
        return false;
    }
    const size_t length = LbPoolEntrySize(lbs, members);
    if (!Room(length))
        return false;
    EntryHeader(kLbPoolUpdate, length, id);
    U16(uint16_t(lbs));
    U16(uint16_t(members));
    U32(0);
    uuidsOwed_ = lbs;
    membersOwed_ = members;
    return true;
}

bool LbConfigWriter::Uuid(const LbUuid& id) {
    if (uuidsOwed_ == 0 || !Room(kLbUuidSize)) {
        failed_ = true;
        return false;
    }
    std::memcpy(buf_ + pos_, id.data(), kLbUuidSize);
    pos_ += kLbUuidSize;
    --uuidsOwed_;
    return true;
}

bool LbConfigWriter::Member(const LbAddress& address, uint16_t port, uint32_t weight) {
    if (uuidsOwed_ != 0 || membersOwed_ == 0 || weight == 0 || !ValidAddress(address) ||
        !Room(kLbMemberSize)) {
        failed_ = true;
        return false;
    }
    uint8_t* p = buf_ + pos_;
    p[0] = address.family;
    p[1] = 0;
    Put16(p + 2, port);
    Put32(p + 4, weight);
    std::memcpy(p + 8, address.bytes.data(), 16);
    pos_ += kLbMemberSize;
    --membersOwed_;
    return true;
}

bool LbConfigWriter::Pool(const LbUuid& id, const std::vector<LbUuid>& lbs,
                          const std::vector<LbMember>& members, const std::vector<LbMember>* more) {
    // Every member checked first: a refused pool writes nothing.
    for (const std::vector<LbMember>* list : {&members, more}) {
        for (size_t i = 0; list != nullptr && i < list->size(); ++i) {
            if ((*list)[i].weight == 0 || !ValidAddress((*list)[i].address)) {
                failed_ = true;
                return false;
            }
        }
    }
    const size_t count = members.size() + (more != nullptr ? more->size() : 0);
    if (!PoolBegin(id, lbs.size(), count))
        return false;
    for (const LbUuid& l : lbs)
        Uuid(l);
    for (const std::vector<LbMember>* list : {&members, more}) {
        for (size_t i = 0; list != nullptr && i < list->size(); ++i)
            Member((*list)[i].address, (*list)[i].port, (*list)[i].weight);
    }
    return !failed_;
}

bool LbConfigWriter::Delete(LbEntryKind kind, const LbUuid& id) {
    if (!StartEntry() ||
        (kind != kLbServiceDelete && kind != kLbVirtualServerDelete && kind != kLbPoolDelete)) {
        failed_ = true;
        return false;
    }
    if (!Room(kLbEntryHeaderSize))
        return false;
    EntryHeader(kind, kLbEntryHeaderSize, id);
    return true;
}

// ---- decoder ----

std::optional<LbConfig> DecodeLbConfig(const uint8_t* p, size_t size, std::string* why) {
    if (size < kLbHeaderSize || size > kLbMaxBuffer) {
        Fail(why, "buffer of " + std::to_string(size) + " bytes");
        return std::nullopt;
    }
    Reader r(p, size);
    const uint32_t magic = r.U32();
    const uint16_t version = r.U16();
    const uint8_t flags = r.U8();
    const uint8_t reserved = r.U8();
    const uint32_t count = r.U32();
    const uint32_t total = r.U32();
    if (magic != kLbMagic || version != kLbVersion || (flags & ~kLbFlagFull) != 0 ||
        reserved != 0) {
        Fail(why, "bad header");
        return std::nullopt;
    }
    if (total != size) {
        Fail(why, "total length " + std::to_string(total) + " in a buffer of " +
                      std::to_string(size) + " bytes");
        return std::nullopt;
    }
    LbConfig out;
    out.full = (flags & kLbFlagFull) != 0;
    // Every entry takes at least its header: a count beyond that cannot be right.
    if (count > (size - kLbHeaderSize) / kLbEntryHeaderSize) {
        Fail(why, "entry count " + std::to_string(count) + " beyond the buffer");
        return std::nullopt;
    }
    out.entries.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        const std::string at = "entry " + std::to_string(i) + ": ";
        if (!r.Has(kLbEntryHeaderSize)) {
            Fail(why, at + "truncated header");
            return std::nullopt;
        }
        LbEntry e;
        const uint8_t kind = r.U8();
        const uint8_t* res = r.Bytes(3);
        const uint32_t length = r.U32();
        e.id = r.Uuid();
        if (kind < kLbServiceUpdate || kind > kLbPoolDelete || !IsZero(res, 3)) {
            Fail(why, at + "unknown kind " + std::to_string(kind));
            return std::nullopt;
        }
        e.kind = static_cast<LbEntryKind>(kind);
        if (length < kLbEntryHeaderSize || !r.Has(length - kLbEntryHeaderSize)) {
            Fail(why, at + "length " + std::to_string(length) + " beyond the buffer");
            return std::nullopt;
        }
        const size_t start = r.Pos();
        std::string reason;
        if (!DecodeBody(r, length, &e, &reason) || r.Pos() - start != length - kLbEntryHeaderSize) {
            Fail(why, at + (reason.empty() ? "length disagrees with its body" : reason));
            return std::nullopt;
        }
        out.entries.push_back(std::move(e));
    }
    if (r.Left() != 0) {
        Fail(why, std::to_string(r.Left()) + " trailing byte(s)");
        return std::nullopt;
    }
    return out;
}

LbUuid LbUuidFrom(uint64_t left, uint64_t right) {
    LbUuid u;
    for (int i = 0; i < 8; ++i) {
        u[i] = uint8_t(left >> (56 - 8 * i));
        u[8 + i] = uint8_t(right >> (56 - 8 * i));
    }
    return u;
}

std::string LbUuidText(const LbUuid& id) {
    char buf[37];
    std::snprintf(buf, sizeof buf,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", id[0],
                  id[1], id[2], id[3], id[4], id[5], id[6], id[7], id[8], id[9], id[10], id[11],
                  id[12], id[13], id[14], id[15]);
    return buf;
}

std::string LbAddressText(const LbAddress& a) {
    char buf[INET6_ADDRSTRLEN] = {0};
    if (inet_ntop(a.family == 6 ? AF_INET6 : AF_INET, a.bytes.data(), buf, sizeof buf) == nullptr)
        return "?";
    return buf;
}

}  // namespace ozy::device
