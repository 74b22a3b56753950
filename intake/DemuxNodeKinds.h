#pragma once
// The node kinds of the Demux: which object type each node type stands for, and how a body names
// its parents (the nodes whose vdbs it inherits) and the keys it offers to its children. Also the
// entry patching of the forwarding tables.
//
// Links are (node type, key) pairs. A child names (parent node type, key); a parent offers
// (child node type, key); the child hangs under every parent that offers the key it names. Keys
// are serialized UuidMsg ids (re-serialized, so equal UUIDs give equal bytes).
//
// Parents always sit at a lower rank than their children (the transport node, which takes its
// vdbs from its host switches, comes last), so one pass over the affected nodes in rank order
// computes every vdb set once from settled parents.
#include <cstdint>
#include <string>
#include <vector>

#include "intake/CfgTypes.h"

namespace CfgAgent::demux {

enum class NodeType : uint8_t {
    NONE = 0,
    LOG_SWITCH = 1,
    LOG_SWITCH_PORT = 2,
    TRANSPORT_NODE = 3,
    HOST_SWITCH = 4,
    DA_VIF = 5,
    VTEP_GROUP = 6,
    LOG_SWITCH_FIB = 7,
    ROUTING_DOMAIN_FIB = 8,
    LOG_ROUTER = 9,
    LOG_ROUTER_PORT = 10,
    FIB = 11,
    ARP_TABLE = 12,
    MULTICAST_STATIC_ROUTE = 13,
    MULTICAST_CONFIG = 14,
    LOG_ROUTER_PORT_FIB_DAD_STATE = 15,
    PREFIX_LIST = 16,
    DAD_PROFILE = 17,
    NDRA_PROFILE = 18,
    ENTITY_GROUP_RELATION = 19,
    NSG_MEMBERSHIP_STATUS = 20,
    LOG_ROUTER_PORT_DAD_REQUEST = 21,
};
constexpr uint32_t kNodeTypeCount = 22;

// Entity types of an entity group relation.
constexpr uint32_t kEntityLogSwitchPort = 1;
constexpr uint32_t kEntityLogRouterPort = 2;

// The object type of a node type; OBJECT_TYPE_INVALID for the host switch and NONE. A value of
// 22 or more logs "Demux: Get object with invalid node type %1." and gives OBJECT_TYPE_INVALID.
ObjectType ObjectTypeOfNode(uint32_t nodeType);
// The node type of a topologically demuxed object type; NONE for any other.
NodeType NodeTypeOfObject(ObjectType type);
// "NODE_LOGICAL_SWITCH", "NODE_TRANSPORT_NODE", ...
const char* NodeTypeName(NodeType type);
// Parents have a lower rank than their children.
int NodeRank(NodeType type);
// The object types of the node types, ascending (host switch and NONE left out).
const std::vector<ObjectType>& DemuxedObjectTypes();

struct Link {
    NodeType type = NodeType::NONE;
    std::string key;
    bool operator<(const Link& o) const { return type != o.type ? type < o.type : key < o.key; }
    bool operator==(const Link& o) const { return type == o.type && key == o.key; }
};

struct HostSwitchLinks {
    std::string id;
    std::vector<std::string> zones;  // transport zone ids, serialized
};

// What one body says about its place in the tree.
struct NodeLinks {
    std::string id;
    std::vector<Link> parents;  // sorted, unique
    std::vector<Link> offers;   // sorted, unique
    // Transport node only: its host switches.
    std::vector<HostSwitchLinks> hostSwitches;
    // A second id for the log lines (the VIF of a port, the port of an NSG membership).
    std::string detail;
    // Entity group relation only: the entity type when it is neither 1 nor 2 (0 otherwise).
    uint32_t badEntityType = 0;
};

// Parses `body` as the body of node type `type`. False when it does not parse or has no id.
bool ParseLinks(NodeType type, const std::string& body, NodeLinks* out);
// The links a host switch of a transport node has.
NodeLinks HostSwitchNodeLinks(const std::string& transportNode, const HostSwitchLinks& hs);

// Serialized UuidMsg (re-serialized: equal UUIDs give equal bytes) and its text form.
std::string IdOfBody(ObjectType type, const std::string& body);
std::string IdText(const std::string& id);

// LOG_SWITCH_FIB, ROUTING_DOMAIN_FIB, FIB and ARP_TABLE_CONFIG.
bool IsForwardingTable(NodeType type);

enum class PatchResult {
    kPatched,   // `out` holds the stored body with the entry operations applied
    kBadIndex,  // an entry index lies outside its list
    kBadInput,  // a body or the op message does not parse
};
// Applies the op message of a forwarding-table update to the stored body: list fields with entry
// operations get the removed entries (old indexes into the stored list) cut and the added ones
// (indexes into the delivered body) appended; list fields set or cleared as a whole and single
// fields follow the delivered body.
PatchResult PatchTable(ObjectType type, const std::string& stored, const std::string& opMsg,
                       const std::string& delivered, std::string* out);

}  // namespace CfgAgent::demux
