#pragma once
// The tables of DVSPropConvertor: what the desired state says (switches, ports, mirror sessions,
// host switches, labels), what the dataplane reported (connected ports, uplinks), and what was last
// programmed into the dataplane per record (for sending differences only). Plain records; the
// rules that fill and read them live in DVSPropConvertor.
//
// Identifiers: logical switches, ports and mirror sessions are keyed by their serialized id (as
// the configuration table delivers them); dataplane ports by their DVS port ID, host switches by
// the text of their id, kernel interfaces by name.
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "apps/switching/PackedPropSet.h"

namespace CfgAgent::dvs {

// One property value to send, with its instance.
struct PropValue {
    uint16_t key = 0;
    std::vector<uint8_t> value;
};

struct SwitchState {
    std::optional<uint32_t> vni;
    std::optional<uint16_t> vlan;
    std::vector<std::pair<uint16_t, uint16_t>> trunk;
    std::optional<uint8_t> replicationMode;
    bool adminUp = true;
    std::optional<uint8_t> lsType;
    std::optional<uint8_t> spSubtype;
    std::optional<std::vector<uint8_t>> macManagement;  // validated "mac_management" value
    std::map<std::string, std::string> extraConfigs;    // supported keys only
    std::map<std::string, uint16_t> parents;            // LS attachment: parent LS -> VLAN

    bool HasSegment() const { return vni.has_value() || vlan.has_value() || !trunk.empty(); }
};

struct LspState {
    std::string lsId;
    // Attachment.
    std::string dvportId;
    std::string vifId;
    std::string parentVifId;  // container interface behind that parent VIF
    bool adminUp = true;
    bool hyvKrn = false;
    std::optional<std::vector<uint8_t>> macManagement;
    std::optional<std::vector<uint8_t>> ipDiscovery;
    std::optional<std::vector<uint8_t>> ignoreBindings;
    std::optional<std::vector<uint8_t>> addressBindings;
    std::optional<std::vector<uint8_t>> latency;
    // Switch security: present when the port names one; applied when it passed validation.
    bool securityPresent = false;
    bool securityApplied = false;
    std::vector<PropValue> security;
    std::vector<PropValue> qos;
    std::map<std::string, std::string> extraConfigs;
    std::set<std::string> mirrorTargets;  // sessions this port is a destination of
};

enum class BlockCause : uint8_t {
    kNoSwitch,    // the switch is unknown or has no VNI, VLAN or trunk
    kSwitchDown,  // the switch is administratively down
    kPortDown,    // the port is administratively down
    kNoSecurity,  // switch security is required but not configured
    kDetached,    // the port lost its logical port
};

// A port of the dataplane that a VIF is connected to (or a container port behind one).
struct PortState {
    std::string vifId;
    uint8_t vifType = 0;
    std::string switchId;     // DVS the VIF reported
    std::string parentVifId;  // container ports: the parent VIF
    std::string childLsp;     // container ports: their logical port
    bool smartNic = false;
    bool outOfSync = false;
    bool confirmed = true;      // reported in the current dataplane session
    bool everAttached = false;  // had a logical port at some point
    bool sendWhole = true;      // the dataplane may hold anything: send the record whole
    std::set<BlockCause> causes;
    PackedPropSet installed;  // what the dataplane holds from us in this session
};

// One kind (PMS_* property) of a mirror session. Its property is named after the type prefix and
// the session id.
struct MirrorKind {
    std::string sessionText;  // session id, 8-4-4-4-12
    uint8_t direction = 0;
    uint32_t snapLength = 0;
    uint32_t erspanId = 0;
    uint32_t greKey = 0;
    uint16_t encapVlan = 0;
    uint8_t mirrorStack = 0;
    std::vector<uint8_t> destinationIp;  // 17-byte ip field
    std::set<std::string> sourceLsps;
    std::set<std::string> sourceSwitches;
    std::set<std::string> destinationLsps;
    std::vector<std::string> sourcePnics;
    // Uplink sessions: the uplinks the host NICs map to, by switch.
    std::map<std::string, std::vector<std::string>> uplinksBySwitch;
};

struct HostSwitch {
    std::string name;
    uint8_t forwardingMode = 1;
    std::map<std::string, uint32_t> labels;  // device -> label (0: the node's label)
};

struct Uplink {
    std::string portId;
    std::string alias;
    std::string switchId;
};

}  // namespace CfgAgent::dvs
