#pragma once
// The BFD values the BFD table application hands to L2App (dataplane/VxlanProtocol.h has the
// layouts): the session TLV of Update data type 11 and the Configure items 8 (BFD of a host switch)
// and 9 (EVPN global BFD). Presence bits come from field presence in the database message, never
// from a field's value: an absent interval is not sent as 0.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "dataplane/VxlanProtocol.h"

namespace CfgAgent::bfd {

// The fields of a BFD configuration that the items carry, each only when present.
struct ConfigFields {
    bool hasEnable = false;
    bool enable = false;
    bool hasInterval = false;
    uint32_t interval = 0;  // VTEP health interval
    bool hasLatency = false;
    bool latency = false;
    bool hasMultiplier = false;
    uint32_t multiplier = 0;
};

using SessionEntry = std::array<uint8_t, vxlan::kBfdSessionEntrySize>;

// The 57-byte session entry. `local` and `remote` hold IPv4 in their first 4 bytes (the rest zero)
// or IPv6 in all 16; `ipv6` gives the family.
SessionEntry BuildSessionEntry(const std::array<uint8_t, 16>& local,
                               const std::array<uint8_t, 16>& remote, bool ipv6, uint32_t vni,
                               const vxlan::UuidBytes& routingDomain, uint32_t groupLabel);
// The 63-byte value of data type 11: switch ID, operation (1 remove, 0 add), entry; written to
// `out` (kBfdSessionValueSize bytes) or returned.
void WriteSessionValue(uint8_t* out, uint32_t switchId, bool remove, const SessionEntry& entry);
std::vector<uint8_t> BuildSessionValue(uint32_t switchId, bool remove, const SessionEntry& entry);
// The 65-byte value of item 8: the DVS UUID text (cut at 48 bytes, NUL-padded), latency enable,
// flags (bits 0 enable, 1 interval, 2 latency), enable, interval.
std::vector<uint8_t> BuildBfdConfigValue(const std::string& dvsUuid, const ConfigFields& f);
// The 20-byte value of item 9: flags (bits 0 enable, 1 interval, 3 multiplier), enable, interval,
// multiplier.
std::vector<uint8_t> BuildEvpnBfdValue(const ConfigFields& f);

}  // namespace CfgAgent::bfd
