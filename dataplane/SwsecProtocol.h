#pragma once
// The switch-security family of dataplane messages, spoken on the IP-discovery kernel link
// ("swsec_krnlink"): the dataplane's switch-security module asks the agent for the address
// bindings that the guest tools reported for a VIF, and the agent answers with them. Shared by the
// agent (IpDiscovery) and the dataplane emulator; the framing is DpFraming.h.
//
// Message types and bodies (all integers big-endian, identifiers NUL-padded):
//   1 VM-tools binding solicitation   dataplane -> agent: 48-byte VIF ID                (52 bytes)
//   2 VM-tools bindings               agent -> dataplane: 48-byte VIF ID, 16-bit entry count N,
//                                     then N 23-byte entries                    (54 + 23 N bytes)
// Binding entry (23 bytes): byte 0 is 1 for IPv4 and 0 for IPv6; bytes 1-16 the address (IPv4 in
// bytes 1-4, network order; IPv6 in all 16); bytes 17-22 the MAC address.
//
// A message longer than its type's layout is accepted (the layout may grow at the end); a shorter
// one, or a count that does not fit, is refused.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dataplane/DpFraming.h"

namespace CfgAgent::swsec {

enum MsgType : uint16_t {
    kMsgBindingSolicitation = 1,
    kMsgVmToolsBindings = 2,
};

constexpr size_t kVifIdSize = 48;
constexpr size_t kSolicitationSize = kDpMsgHeaderSize + kVifIdSize;
constexpr size_t kBindingsHeadSize = kDpMsgHeaderSize + kVifIdSize + 2;
constexpr size_t kBindingEntrySize = 23;
constexpr size_t kMaxBindingEntries = (kDpMaxMsgSize - kBindingsHeadSize) / kBindingEntrySize;

struct BindingEntry {
    bool ipv4 = false;
    std::array<uint8_t, 16> address{};
    std::array<uint8_t, 6> mac{};
};

// Empty when the VIF ID does not leave room for its NUL (47 characters at most) or there are more
// than kMaxBindingEntries entries.
DpMsg BuildBindingSolicitation(const std::string& vifId);
DpMsg BuildVmToolsBindings(const std::string& vifId, const std::vector<BindingEntry>& entries);

// The VIF ID of a solicitation; false when the message is shorter than its layout or of another
// type.
bool ParseBindingSolicitation(const uint8_t* msg, size_t size, std::string* vifId);
// The VIF ID and entries of a bindings message; false when it is shorter than its head, of another
// type, or announces more entries than it holds.
bool ParseVmToolsBindings(const uint8_t* msg, size_t size, std::string* vifId,
                          std::vector<BindingEntry>* entries);

}  // namespace CfgAgent::swsec
