#include "platform/device/SiIoctls.h"

#include <cstdio>
#include <cstring>

namespace ozy::device {

namespace {

void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint32_t Get32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

bool Zero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != 0)
            return false;
    }
    return true;
}

bool HexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// 8-4-4-4-12 hexadecimal.
bool UuidText(const char* p, size_t n) {
    if (n != 36)
        return false;
    for (size_t i = 0; i < n; ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? p[i] != '-' : !HexDigit(p[i]))
            return false;
    }
    return true;
}

// A hop of a chain slot: u32 SPI, u8 SI, 6-byte MAC.
void PutHop(uint8_t* p, const SiHopRef& h) {
    Put32(p, h.spi);
    p[4] = h.si;
    std::memcpy(p + 5, h.mac.data(), 6);
}

std::optional<SiHopRef> GetHop(const uint8_t* p) {
    SiHopRef h;
    h.spi = Get32(p);
    if (h.spi > kMaxSpi)
        return std::nullopt;
    h.si = p[4];
    std::memcpy(h.mac.data(), p + 5, 6);
    return h;
}

}  // namespace

bool EncodeChainEntry(const SiChainEntry& e, std::vector<uint8_t>* out) {
    if (e.uuid.size() != 36 || e.slots.size() > kChainSlots || e.chainId > kMaxChainId)
        return false;
    for (const SiChainSlot& s : e.slots) {
        if (s.pathId > kMaxSpi || s.forward.spi > kMaxSpi || s.reverse.spi > kMaxSpi)
            return false;
    }
    size_t at = out->size();
    out->resize(at + kChainEntrySize, 0);
    uint8_t* p = out->data() + at;
    std::memcpy(p, e.uuid.data(), 36);
    p[37] = static_cast<uint8_t>(e.slots.size());
    p[38] = static_cast<uint8_t>(e.chainId >> 8);
    p[39] = static_cast<uint8_t>(e.chainId);
    p[40] = e.policy;
    for (size_t i = 0; i < e.slots.size(); ++i) {
        uint8_t* s = p + kChainHeaderSize + i * kChainSlotSize;
        Put32(s, e.slots[i].pathId);
        PutHop(s + 4, e.slots[i].forward);
        PutHop(s + 16, e.slots[i].reverse);
    }
    return true;
}

bool EncodeChainDelete(const std::string& uuid, std::vector<uint8_t>* out) {
    SiChainEntry e;
    e.uuid = uuid;
    return EncodeChainEntry(e, out);
}

bool EncodeNshEntry(const SiHopRef& e, std::vector<uint8_t>* out) {
    if (e.spi > kMaxSpi)
        return false;
    size_t at = out->size();
    out->resize(at + kNshEntrySize, 0);
    uint8_t* p = out->data() + at;
    Put32(p, e.spi);
    p[4] = e.si;
    std::memcpy(p + 6, e.mac.data(), 6);
    return true;
}

bool EncodeFailEntry(const SiFailEntry& e, std::vector<uint8_t>* out) {
    if (e.spi > kMaxSpi || (e.action != kFailSpi && e.action != kUnfailSpi))
        return false;
    size_t at = out->size();
    out->resize(at + kFailEntrySize, 0);
    Put32(out->data() + at, e.spi);
    (*out)[at + 4] = e.action;
    return true;
}

bool EncodeOvl2Entry(const Ovl2Entry& e, std::vector<uint8_t>* out) {
    if (e.dvs.empty() || e.dvs.size() >= kOvl2DvsField || e.dvs.find('\0') != std::string::npos)
        return false;
    size_t at = out->size();
    out->resize(at + kOvl2EntrySize, 0);
    uint8_t* p = out->data() + at;
    std::memcpy(p, e.dvs.data(), e.dvs.size());
    Put32(p + 40, e.segment);
    std::memcpy(p + 44, e.mac.data(), 6);
    return true;
}

std::optional<SiChainEntry> DecodeChainEntry(const uint8_t* p, size_t size) {
    if (size != kChainEntrySize || p[36] != 0 || p[41] != 0)
        return std::nullopt;
    const char* text = reinterpret_cast<const char*>(p);
    if (!UuidText(text, 36))
        return std::nullopt;
    SiChainEntry e;
    e.uuid.assign(text, 36);
    size_t used = p[37];
    e.chainId = static_cast<uint16_t>((p[38] << 8) | p[39]);
    e.policy = p[40];
    if (used > kChainSlots || e.chainId > kMaxChainId || e.policy > 2)
        return std::nullopt;
    for (size_t i = 0; i < kChainSlots; ++i) {
        const uint8_t* s = p + kChainHeaderSize + i * kChainSlotSize;
        if (i >= used) {
            if (!Zero(s, kChainSlotSize))
                return std::nullopt;
            continue;
        }
        SiChainSlot slot;
        slot.pathId = Get32(s);
        auto fwd = GetHop(s + 4);
        auto rev = GetHop(s + 16);
        if (slot.pathId > kMaxSpi || !fwd || !rev || s[15] != 0 || !Zero(s + 27, 9))
            return std::nullopt;
        slot.forward = *fwd;
        slot.reverse = *rev;
        e.slots.push_back(slot);
    }
    return e;
}

std::optional<SiHopRef> DecodeNshEntry(const uint8_t* p, size_t size) {
    if (size != kNshEntrySize || p[5] != 0 || !Zero(p + 12, 4))
        return std::nullopt;
    SiHopRef e;
    e.spi = Get32(p);
    if (e.spi > kMaxSpi)
        return std::nullopt;
    e.si = p[4];
    std::memcpy(e.mac.data(), p + 6, 6);
    return e;
}

std::optional<SiFailEntry> DecodeFailEntry(const uint8_t* p, size_t size) {
    if (size != kFailEntrySize || p[5] != 0)
        return std::nullopt;
    SiFailEntry e;
    e.spi = Get32(p);
    e.action = p[4];
    if (e.spi > kMaxSpi || (e.action != kFailSpi && e.action != kUnfailSpi))
        return std::nullopt;
    return e;
}

std::optional<Ovl2Entry> DecodeOvl2Entry(const uint8_t* p, size_t size) {
    if (size != kOvl2EntrySize || p[50] != 0 || p[51] != 0)
        return std::nullopt;
    size_t n = 0;
    while (n < kOvl2DvsField && p[n] != 0)
        ++n;
    if (n == 0 || n == kOvl2DvsField || !Zero(p + n, kOvl2DvsField - n))
        return std::nullopt;
    Ovl2Entry e;
    e.dvs.assign(reinterpret_cast<const char*>(p), n);
    e.segment = Get32(p + 40);
    std::memcpy(e.mac.data(), p + 44, 6);
    return e;
}

std::optional<uint32_t> DecodeStatusWord(const uint8_t* p, size_t size) {
    if (size != 4)
        return std::nullopt;
    uint32_t v = Get32(p);
    if (v > 1)
        return std::nullopt;
    return v;
}

std::vector<uint8_t> EncodeStatusWord(uint32_t value) {
    std::vector<uint8_t> out(4);
    Put32(out.data(), value);
    return out;
}

std::string MacText(const Mac& m) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
                  m[5]);
    return buf;
}

}  // namespace ozy::device
