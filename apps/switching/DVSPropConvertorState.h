#pragma once
// The tables of DVSPropConvertor: what the desired state says (switches, ports, mirror sessions,
// host switches, labels), what the dataplane reported (connected ports, uplinks), and what was last
// programmed into the dataplane per record (for sending differences only). Plain records; the
// rules that fill and read them live in DVSPropConvertor.
//
// Identifiers: logical switches, ports and mirror sessions are keyed by their serialized id (as
// the configuration table delivers them); dataplane ports by their DVS port ID, host switches by
// the text of their id, kernel interfaces by name. The per-port records (a logical port, a
// dataplane port) hold their ids as PackedId: a UUID in 24 bytes without a heap block.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "apps/switching/PackedId.h"
#include "apps/switching/PackedPropSet.h"

namespace CfgAgent::dvs {

// One property value to send, with its instance.
struct PropValue {
    uint16_t key = 0;
    std::vector<uint8_t> value;

    bool operator==(const PropValue& o) const { return key == o.key && value == o.value; }
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

// What few logical ports have: optional property values, switch security and QoS, extra configs,
// the mirror sessions a port is a destination of. A port holds them behind one pointer, null
// while all are empty (most ports: about 300 bytes less per port than inline).
struct LspExtras {
    PackedId parentVifId;  // a container interface's port: the parent VIF it is behind
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

    bool Empty() const {
        return parentVifId.empty() && !macManagement && !ipDiscovery && !ignoreBindings &&
               !addressBindings && !latency && !securityPresent && !securityApplied &&
               security.empty() && qos.empty() && extraConfigs.empty() && mirrorTargets.empty();
    }
};

// An id held by another table's node (a key, which stays where it is until its node goes); null
// for none. Reads like the id.
class IdRef {
  public:
    IdRef() = default;
    explicit IdRef(const PackedId* id) : id_(id) {}
    bool empty() const { return id_ == nullptr; }
    const PackedId& id() const {
        static const PackedId kNone;
        return id_ != nullptr ? *id_ : kNone;
    }
    std::string str() const { return id().str(); }
    PackedId::Text text() const { return id().text(); }
    bool operator==(const PackedId& o) const { return id() == o; }
    bool operator!=(std::string_view text) const { return id() != text; }

  private:
    const PackedId* id_ = nullptr;
};

struct LspState;
using LspEntry = std::pair<const PackedId, LspState>;

// A logical port: 88 bytes, its ids packed, its switch's id and its neighbours among the switch's
// ports held as pointers.
struct LspState {
    std::unique_ptr<LspExtras> extras;  // null: all empty
    IdRef lsId;                         // the key of its switch's entry in lspsBySwitch_
    // The switch's other logical ports (a list through the ports themselves).
    LspEntry* prevOnSwitch = nullptr;
    LspEntry* nextOnSwitch = nullptr;
    // Attachment.
    PackedId dvportId;
    PackedId vifId;
    bool adminUp = true;
    bool hyvKrn = false;

    const LspExtras& Extras() const {
        static const LspExtras kNone;
        return extras ? *extras : kNone;
    }
    // Sets one field of the extras: they are made for a value that is not empty and dropped when
    // the last one empties.
    template <typename T>
    void SetExtra(T LspExtras::*field, T value) {
        if (!extras) {
            static const T kEmpty{};
            if (value == kEmpty)
                return;
            extras = std::make_unique<LspExtras>();
        }
        extras.get()->*field = std::move(value);
        if (extras->Empty())
            extras.reset();
    }
};

enum class BlockCause : uint8_t {
    kNoSwitch,    // the switch is unknown or has no VNI, VLAN or trunk
    kSwitchDown,  // the switch is administratively down
    kPortDown,    // the port is administratively down
    kNoSecurity,  // switch security is required but not configured
    kDetached,    // the port lost its logical port
};

// The causes that block a port, as bits of one byte (a set of them held a tree node each).
class BlockCauses {
  public:
    void insert(BlockCause c) { bits_ = static_cast<uint8_t>(bits_ | Bit(c)); }
    void clear() { bits_ = 0; }
    bool empty() const { return bits_ == 0; }
    bool count(BlockCause c) const { return (bits_ & Bit(c)) != 0; }
    std::set<BlockCause> ToSet() const {
        std::set<BlockCause> out;
        for (BlockCause c : {BlockCause::kNoSwitch, BlockCause::kSwitchDown, BlockCause::kPortDown,
                             BlockCause::kNoSecurity, BlockCause::kDetached}) {
            if (count(c))
                out.insert(c);
        }
        return out;
    }

  private:
    static uint8_t Bit(BlockCause c) {
        return static_cast<uint8_t>(1u << static_cast<unsigned>(c));
    }
    uint8_t bits_ = 0;
};

// What only the child port of a container interface has.
struct PortChild {
    PackedId parentVifId;  // the parent VIF
    PackedId childLsp;     // the container's logical port
};

// A port of the dataplane that a VIF is connected to (or a container port behind one). 48 bytes:
// what few ports have is behind one pointer, the installed properties behind another.
struct PortState {
    PackedId vifId;
    std::unique_ptr<PortChild> child;  // container ports only
    PackedPropSet installed;           // what the dataplane holds from us in this session
    uint8_t vifType = 0;
    bool smartNic = false;
    bool outOfSync = false;
    bool confirmed = true;      // reported in the current dataplane session
    bool everAttached = false;  // had a logical port at some point
    bool sendWhole = true;      // the dataplane may hold anything: send the record whole
    BlockCauses causes;

    // A container port's logical port; empty for other ports.
    const PackedId& ChildLsp() const {
        static const PackedId kNone;
        return child ? child->childLsp : kNone;
    }
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
