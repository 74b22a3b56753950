#include "statecache/L2ValueKey.h"

#include <cstdint>
#include <string_view>

#include <google/protobuf/arena.h>

#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_types.pb.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

// Entries are parsed on an arena of the thread, in a block of its own that is used again, so
// that a key costs no allocation: the arena is reset every so many parses (a parsed entry is read
// at once and never kept).
constexpr size_t kScratchBlock = 32 * 1024;
constexpr int kParsesPerReset = 64;

google::protobuf::Arena& ScratchArena() {
    thread_local char block[kScratchBlock];
    thread_local google::protobuf::Arena arena([] {
        google::protobuf::ArenaOptions options;
        options.initial_block = block;
        options.initial_block_size = sizeof(block);
        return options;
    }());
    thread_local int parses = 0;
    if (++parses == kParsesPerReset) {
        arena.Reset();
        parses = 0;
    }
    return arena;
}

template <typename Msg>
const Msg* Parse(std::string_view body) {
    Msg* msg = google::protobuf::Arena::CreateMessage<Msg>(&ScratchArena());
    return msg->ParseFromArray(body.data(), static_cast<int>(body.size())) ? msg : nullptr;
}

uint64_t BigEndian64(const std::string& bytes, size_t offset) {
    uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i)
        v = (v << 8) | static_cast<unsigned char>(bytes[offset + i]);
    return v;
}

// IPv4: (address, 0, false); IPv6: (high, low, true). False when no usable address is set.
bool AddressParts(const pb::IpAddressMsg& ip, uint64_t* high, uint64_t* low, bool* v6) {
    switch (ip.address_case()) {
        case pb::IpAddressMsg::kIpv4:
            *high = ip.ipv4();
            *low = 0;
            *v6 = false;
            return true;
        case pb::IpAddressMsg::kIpv6:
            if (ip.ipv6().size() != 16)
                return false;
            *high = BigEndian64(ip.ipv6(), 0);
            *low = BigEndian64(ip.ipv6(), 8);
            *v6 = true;
            return true;
        default:
            return false;
    }
}

// The MAC of a VM MAC entry in one of the two forms the dataplane's learned entries are written
// in (LogSwitchMacEntryMsg as its serialization writes it: mac, then vtep_ip holding ipv4 or a
// 16-byte ipv6, nothing else), read from its bytes without a parse; false for any other bytes,
// which are parsed. Bytes of these forms parse, and the parse gives this MAC.
bool LearnedMac(std::string_view b, uint64_t* mac) {
    const bool v4 = b.size() == 16 && b[10] == 5 && b[11] == 0x0d;
    const bool v6 = b.size() == 29 && b[10] == 18 && b[11] == 0x12 && b[12] == 16;
    if (!(v4 || v6) || b[0] != 0x09 || b[9] != 0x12)
        return false;
    uint64_t v = 0;
    for (int i = 8; i >= 1; --i)
        v = (v << 8) | static_cast<unsigned char>(b[static_cast<size_t>(i)]);
    *mac = v;
    return true;
}

}  // namespace

bool GetL2PropertyValueKey(PropertyType property, std::string_view body, L2ValueKey* key,
                           bool* invalidProperty) {
    *key = L2ValueKey{};
    if (invalidProperty != nullptr)
        *invalidProperty = false;
    uint64_t high = 0;
    uint64_t low = 0;
    bool v6 = false;
    switch (property) {
        case PropertyType::L2_VM_IP: {
            const auto* m = Parse<pb::LogSwitchIpEntryMsg>(body);
            if (m == nullptr || !m->has_ip() || !AddressParts(m->ip(), &high, &low, &v6))
                return false;
            key->part[0] = high;
            key->part[1] = low;
            return true;
        }
        case PropertyType::L2_VM_MAC: {
            if (LearnedMac(body, &key->part[0]))
                return true;
            const auto* m = Parse<pb::LogSwitchMacEntryMsg>(body);
            if (m == nullptr || !m->has_mac())
                return false;
            key->part[0] = m->mac();
            return true;
        }
        case PropertyType::L2_VTEP: {
            const auto* m = Parse<pb::LogSwitchVtepEntryMsg>(body);
            if (m == nullptr || !m->has_ip() || !AddressParts(m->ip(), &high, &low, &v6))
                return false;
            if (v6) {
                key->part[0] = low;
                key->part[1] = (high << 3) | 6;
            } else {
                key->part[0] = high;
                key->part[1] = 4;
            }
            return true;
        }
        case PropertyType::L2_VTEP_GROUP_LABEL: {
            const auto* m = Parse<pb::VtepLabelMsg>(body);
            if (m == nullptr || !m->has_label())
                return false;
            key->part[0] = m->label();
            return true;
        }
        case PropertyType::L2_VTEP_GROUP: {
            const auto* m = Parse<pb::VtepGroupMsg>(body);
            if (m == nullptr || !m->has_key())
                return false;
            key->part[0] = m->key();
            return true;
        }
        default:
            if (invalidProperty != nullptr)
                *invalidProperty = true;
            return false;
    }
}

}  // namespace CfgAgent
