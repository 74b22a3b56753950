#pragma once
// Packet verdicts of the emulated firewall, for "dpemu/tarp-eval": which rule of a filter's
// realized rule sets a described packet meets first. Written from the device's view of the rules
// (TarpModel.h), sharing nothing with the library that built them.
//
//   NAME in|out PROTO SRC[:PORT] DST[:PORT] [icmp T C] [smac=M] [dmac=M] [ethertype=N]
//   [tcpflags=N] [attr K=V ...] [time=ISO8601]
//
// PROTO is tcp, udp, icmp, icmpv6, any or a number; IPv6 with a port is written [ADDR]:PORT.
// Order: the layer-2 rules first when a MAC or ether type is given (a DROP or REJECT there is
// final), then the layer-3 rules; the first rule with a matching part wins; no match is DEFAULT.
// Attribute, time, TCP-flag and identity ("attr IDENTITY=...") conditions match only when the
// packet supplies them. An IP-reputation set (or a side marked malicious) also holds every IPv4
// address an entry of the device's IP-reputation chunks lists (address within the entry's mask),
// only entries of the rule's bucket when the rule carries one. Times are UTC ("Z" optional); a
// LOCAL time profile is read in the emulator's own zone.
#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "tools/ozy-dpemu/TarpModel.h"

namespace ozy::dpemu::tarp {

class TarpState;

struct Packet {
    bool inbound = true;
    bool hasProtocol = false;
    uint16_t protocol = 0;
    Address src, dst;
    bool hasSrcPort = false, hasDstPort = false;
    uint16_t srcPort = 0, dstPort = 0;
    bool hasIcmp = false;
    uint8_t icmpType = 0, icmpCode = 0;
    bool hasTcpFlags = false;
    uint8_t tcpFlags = 0;
    bool hasSmac = false, hasDmac = false, hasEthertype = false;
    std::array<uint8_t, 6> smac{}, dmac{};
    uint16_t ethertype = 0;
    std::vector<std::pair<std::string, std::string>> attrs;
    bool hasTime = false;
    time_t time = 0;
};

struct Verdict {
    // ALLOW, DROP, REJECT, REDIRECT or DEFAULT; EXCLUDED when the filter's vif is in its agent's
    // exclude table (the filter is bypassed).
    std::string verdict;
    bool matched = false;
    uint32_t rule = 0;
    std::string ruleSet;
    uint8_t action = 0;
};

// `args` after the filter name. False with `why` on a bad description.
bool ParsePacket(const std::vector<std::string>& args, Packet* out, std::string* why);
Verdict Evaluate(const TarpState& state, const Filter& filter, const Packet& packet);
// ALLOW, DROP, ... for an action code.
const char* VerdictOf(uint8_t action);
const char* ActionName(uint8_t action);

}  // namespace ozy::dpemu::tarp
