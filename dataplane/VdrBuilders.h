#pragma once
// Builders of VDR messages (VdrProtocol.h) from plain structs: the agent's converters (L3App) fill
// those structs from the schema, the dataplane emulator builds the dataplane's type-4 messages.
//
// Every builder computes the exact size and allocates once. A message that cannot be built (a
// route with more next hops than 16 bits of length allow, a name that does not fit, content
// beyond 65535 bytes) is refused with a log line and comes back empty: nothing is ever cut short
// or wrapped.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dataplane/DpFraming.h"
#include "dataplane/VdrProtocol.h"

namespace CfgAgent::vdr {

// An address as the wire carries it: size 0 (none), 4 or 16, bytes in network order.
struct IpAddr {
    uint8_t size = 0;
    std::array<uint8_t, 16> bytes{};

    bool operator==(const IpAddr& o) const { return size == o.size && bytes == o.bytes; }
    bool operator!=(const IpAddr& o) const { return !(*this == o); }
    bool operator<(const IpAddr& o) const {
        return size != o.size ? size < o.size : bytes < o.bytes;
    }
};
// The schema's IPv4 (host order) as the wire's big-endian bytes.
IpAddr IpV4(uint32_t hostOrder);
IpAddr IpV6(const uint8_t* sixteen);
// "10.0.0.1", "fd00::1"; "" for size 0.
std::string IpText(const IpAddr& ip);

struct IpPrefix {
    IpAddr addr;
    uint8_t length = 0;
};
// "10.0.0.0/24".
std::string PrefixText(const IpPrefix& prefix);

struct NextHopSpec {
    uint8_t type = kNextHopAddress;
    std::string egress;  // at most 63 characters are written
    IpAddr ip;           // size 0 or the route's family
};

struct InstanceSpec {
    std::string name;
    uint8_t routerType = 0;
    uint8_t dadMode = 0;
    uint32_t dadWaitTime = 0;
    uint32_t dadMaxRetries = 0;
    uint8_t raMode = 0;
    uint8_t raHopLimit = 0;
    uint32_t raInterval = 0;
    uint32_t routerLifetime = 0;
};

struct LifIp {
    IpAddr ip;
    uint8_t prefixLength = 0;
};
struct RaSettings {
    bool present = false;
    uint8_t managed = 0;
    uint8_t otherConfig = 0;
    uint32_t validLifetime = 0;
    uint32_t preferredLifetime = 0;
};
struct PrefixListNextHop {
    uint32_t index = 0;
    IpAddr nextHop;
};
struct LifSpec {
    std::string name;
    uint8_t lifType = 0;
    uint8_t flags = 0;
    uint8_t urpfMode = 0;
    uint32_t lifId = 0;
    uint32_t mtu = 0;
    uint32_t vni = 0;
    uint16_t vlan = 0;
    uint8_t replicationMode = 0;
    uint8_t linkType = 0;
    bool linkedRouter = false;
    uint32_t linkedVdrId = 0;
    std::array<uint8_t, kMacSize> mac{};
    std::string dvsUuid;
    std::string lsUuid;
    IpAddr mcastIp;
    std::vector<LifIp> ips;
    std::vector<IpAddr> dhcpRelays;
    RaSettings ra;
    std::vector<IpAddr> raDnsServers;
    std::vector<std::string> raDomains;
    std::vector<LifIp> raRoutes;
    std::vector<PrefixListNextHop> prefixLists;
};

struct McastConfigSpec {
    bool enabled = false;
    uint8_t igmpVersion = 0;
    IpPrefix replicationRange;
};
struct McastNextHop {
    std::string egress;
    IpAddr ip;
};

struct PrefixEntrySpec {
    IpPrefix prefix;
    uint8_t ge = 0;
    uint8_t le = 0;
    uint8_t action = kActionPermit;
};

struct GlobalSpec {
    uint8_t forwardingMode = kForwardIpv4;
    uint8_t ecmpMode = 0;
    uint32_t lrpMtu = 0;
    std::array<uint8_t, kMacSize> vdrMac{};
};

struct BridgeEndpointSpec {
    std::string name;
    std::string lsUuid;
    std::string clusterUuid;
    std::string dvsUuid;
    uint32_t endpointId = 0;
    uint16_t vlan = 0;
    uint8_t vniType = 0;
    uint32_t vni = 0;
    bool guestVlan = false;
    bool ha = false;
};

struct DadEntry {
    IpAddr ip;
    uint8_t status = 0;
};

struct ArpEntrySpec {
    IpAddr ip;
    std::array<uint8_t, kMacSize> mac{};
};

// --- agent to dataplane ---
DpMsg BuildRouteAdd(uint32_t vdrId, const IpPrefix& prefix, const std::vector<NextHopSpec>& hops);
DpMsg BuildRouteDelete(uint32_t vdrId, const IpPrefix& prefix);
DpMsg BuildNextHopUpdate(uint32_t vdrId, const IpPrefix& prefix,
                         const std::vector<NextHopSpec>& added,
                         const std::vector<NextHopSpec>& deleted);
DpMsg BuildInstanceAdd(uint32_t vdrId, const InstanceSpec& fields);
DpMsg BuildInstanceDelete(uint32_t vdrId);
DpMsg BuildLifAdd(uint32_t vdrId, const LifSpec& fields);
DpMsg BuildLifDelete(uint32_t vdrId, const std::string& name);
DpMsg BuildMcastConfig(uint32_t vdrId, const McastConfigSpec& fields);
DpMsg BuildMcastConfigDelete(uint32_t vdrId);
DpMsg BuildMcastRouteAdd(uint32_t vdrId, const IpPrefix& group,
                         const std::vector<McastNextHop>& hops);
DpMsg BuildMcastRouteDelete(uint32_t vdrId, const IpPrefix& group);
DpMsg BuildArpLimit(uint32_t vdrId, uint32_t limit, bool overridden);
DpMsg BuildPrefixListAdd(uint32_t index, const std::string& name,
                         const std::vector<PrefixEntrySpec>& entries);
DpMsg BuildPrefixListDelete(uint32_t index);
DpMsg BuildGlobalUpdate(const GlobalSpec& fields);
DpMsg BuildBridgeEndpointAdd(const BridgeEndpointSpec& fields);
DpMsg BuildBridgeEndpointDelete(const std::string& name);
DpMsg BuildDadStatusUpdate(uint32_t vdrId, const std::string& lifName,
                           const std::string& versionUuid, const std::vector<DadEntry>& entries);
// One message per kMaxArpEntries entries (an empty list gives no message).
std::vector<DpMsg> BuildArpTableUpdate(uint32_t vdrId, const std::string& tableUuid, bool add,
                                       const std::vector<ArpEntrySpec>& entries);
DpMsg BuildFullSyncEnd();

// --- dataplane to agent ---
DpMsg BuildFullSyncRequest(uint8_t scope, uint32_t vdrId);
struct DadReportSpec {
    uint32_t vdrId = 0;
    std::string lifName;
    std::string versionUuid;  // "" for none
    std::string lsUuid;
    std::vector<DadEntry> entries;
};
DpMsg BuildDadReport(const DadReportSpec& fields);

}  // namespace CfgAgent::vdr
