#pragma once
// The runtime state of a VIF as ConfigApp and IpDiscovery keep it, and its conversion to the
// VIF_STATE and HOPOVER_STATUS records written to the configuration table's runtime store.
//
// Plain values without protobuf, so that the switching headers stay light; the serializers are the
// only place that knows the schema classes.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "dataplane/KcpWalk.h"

namespace CfgAgent {

// One IP/MAC binding of a VIF, discovered by the dataplane or reported by the guest tools.
struct IpBinding {
    bool hasAddress = false;
    bool ipv4 = false;
    std::array<uint8_t, 16> address{};  // IPv4 in the first 4 bytes, network order
    bool hasMac = false;
    kcp::MacAddr mac{};
    uint16_t vlan = 0;
    uint8_t method = 0;  // kcp::DiscoveryMethod
    uint64_t timestamp = 0;

    // Same address, MAC and VLAN (the method and time do not make a binding different).
    bool SameBinding(const IpBinding& o) const;
    std::string Text() const;
};

// A binding of a KCP VIF record.
IpBinding BindingFromKcp(const kcp::Binding& b);

// What the dataplane last reported about a VIF.
struct VifStateRecord {
    std::string vifId;
    std::string portId;
    std::string switchId;
    std::string parentVifId;
    uint8_t vifType = 0;
    uint8_t status = 0;  // kcp::VifStatus
    bool smartNic = false;
    bool hopover = false;
    std::vector<kcp::MacAddr> macs;
    // The bindings the dataplane discovered, and the effective ones (the dataplane's merged with
    // the guest tools') that are written.
    std::vector<IpBinding> dpBindings;
    std::vector<IpBinding> bindings;
};

// A live-migration (hopover) report of a VIF.
struct HopoverStatusRecord {
    enum Status : uint32_t {
        kArrived = 1,  // the VIF was connected by live migration
        kLeft = 2,     // the VIF was deleted by live migration
    };
    std::string vifId;
    std::string portId;
    uint32_t status = kArrived;
    uint64_t updatedAt = 0;  // seconds since the epoch
};

// The runtime-store identifier of a VIF: the serialized UuidMsg of its ID when the ID is a UUID
// text, otherwise a stable name-based UUID derived from the text (so that every VIF has an
// identifier the database accepts).
std::string VifObjectId(const std::string& vifId);

// Whether an identifier received from the dataplane is text that can travel in the schema's string
// fields and in database requests: printable ASCII only.
bool IsPrintableId(const std::string& id);

// Serialized VifStateMsg and HopoverStatusMsg bodies.
std::string SerializeVifState(const VifStateRecord& vif);
std::string SerializeHopoverStatus(const HopoverStatusRecord& hopover);

// The 48-bit MAC as the schema's fixed64 (the six bytes read big-endian), and back.
uint64_t MacToU64(const kcp::MacAddr& mac);
kcp::MacAddr MacFromU64(uint64_t value);

}  // namespace CfgAgent
