#pragma once
// The vocabulary of the configuration pipeline: object types, operation codes of database changes,
// property types, component types (dispatcher destinations) and the operation of a decoded record.
//
// The enums are scoped (two vocabularies share names, DA_VIF is both an object and a property type)
// and carry the 32-bit values of the database schema; a value outside the lists is legal in a
// variable of these types (it arrives from outside) and prints as the unknown text.
#include <cstddef>
#include <cstdint>
#include <string>

namespace CfgAgent {

// Same values as orvane::ozy::cairndb::ObjectType (a unit test keeps them equal).
enum class ObjectType : uint32_t {
    OBJECT_TYPE_INVALID = 0,
    LOG_SWITCH_CONFIG = 1,
    LOG_SWITCH_PORT_CONFIG = 2,
    LOG_ROUTER_CONFIG = 3,
    LOG_ROUTER_PORT_CONFIG = 4,
    TRANSPORT_NODE_CONFIG = 5,
    BRIDGE_CLUSTER_CONFIG = 6,
    PREFIX_LIST = 12,
    PORT_MIRROR_SESSION = 22,
    IPFIX_CONFIGURATION = 23,
    VIF_STATE = 24,
    LOG_SWITCH_STATE = 25,
    ROUTING_DOMAIN_VTEP = 26,
    LOG_SWITCH_FIB = 27,
    ROUTING_DOMAIN_FIB = 28,
    RULE = 29,
    RULE_SECTION = 30,
    CONTAINER = 31,
    CONFIG_SPAN = 32,
    FIB = 49,
    CONDUIT_CHANNEL_VIF_CONFIG = 52,
    CONDUIT_CHANNEL_GLOBAL_CONFIG = 53,
    DA_VIF = 56,
    LB_VIRTUAL_SERVER = 63,
    LB_APPLICATION_PROFILE = 64,
    LB_PERSISTENCE_PROFILE = 68,
    LB_POOL = 69,
    LB_SERVICE = 72,
    ARP_TABLE_CONFIG = 82,
    PROFILE = 105,
    CCP_SESSION = 108,
    SI_REDIRECTION_POLICY = 109,
    BARRIER = 110,
    PROCESSED_BARRIER = 112,
    RUNTIME_STATUS = 125,
    FLEET_CLUSTER_HOST_CONFIG = 128,
    CONTEXT_PROFILE = 129,
    ENTITY_GROUP_RELATION = 130,
    GLOBAL_CONFIG = 136,
    SI_SERVICE_CHAIN = 140,
    SI_SERVICE_PATH = 141,
    SI_SERVICE_VM_STATUS = 142,
    NDRA_PROFILE_CONFIG = 150,
    DAD_PROFILE_CONFIG = 151,
    LOG_ROUTER_PORT_FIB_DAD_STATE = 154,
    VTEP_GROUP = 162,
    IDS_SIGNATURES = 174,
    MULTICAST_CONFIG = 176,
    NSG_MEMBERSHIP_STATUS = 179,
    MULTICAST_STATIC_ROUTE = 189,
    SECURITY_FEATURE_TOGGLE = 195,
    LOG_ROUTER_PORT_DAD_REQUEST = 200,
    BFD_GLOBAL_CONFIG = 214,
    HOST_SWITCH_SMARTNIC_BACKING = 219,
    IP_REPUTATION_CONFIG = 221,
    HOPOVER_STATUS = 225,
    CFG_AGENT_FAILOVER_ACK = 236,
    IDS_THRESHOLD_CONFIG = 239,
};

// Operation code of an op message (same values as orvane::ozy::cairndb::PBOpType). Decoders act on
// SET and CLEAR; 1-6 are query predicates, 9-12 list and field modifications.
enum class PBOpType : uint32_t {
    INVALID = 0,
    SELECT = 1,
    EQUALS = 2,
    CONTAINS_ONE = 3,
    CONTAINS_ALL = 4,
    IS_PRESENT = 5,
    NOT_EQUALS = 6,
    SET = 7,
    CLEAR = 8,
    INSERT = 9,
    APPEND = 10,
    REMOVE = 11,
    UPDATE = 12,
};

// Per-property split of an object change; 0 is the whole object. Blocks of 50 per object kind.
enum class PropertyType : uint32_t {
    INVALID_PROPERTY = 0,
    // logical switch
    LS_VNI = 10,
    LS_REPLICATION_MODE = 11,
    LS_TRANSPORT_BINDING = 12,
    LS_VLAN = 13,
    LS_ADMIN_STATE_UP = 14,
    LS_TRANSPORT_ZONE_ID = 15,
    LS_ROUTING_DOMAIN_ID = 16,
    LS_VLAN_TRUNK = 17,
    LS_UPLINK_TEAMING_POLICY = 18,
    LS_TYPE = 19,
    LS_SP_SUBTYPE = 20,
    LS_MAC_MANAGEMENT = 21,
    LS_SWITCH_NAME = 22,
    LS_EXTRA_CONFIGS = 23,
    LS_TENANT_CONTEXT = 24,
    LS_ATTACHMENT = 25,
    LS_ARP_PROXY = 26,
    LS_MULTICAST_PROXY = 27,
    LS_EVPN_MODE = 28,
    // logical switch port
    LSP_SWITCH_ID = 50,
    LSP_ATTACHMENT = 51,
    LSP_IP_DISCOVERY = 52,
    LSP_SWITCH_SECURITY = 53,
    LSP_QOS = 54,
    LSP_MIRROR_TARGETS = 55,
    LSP_IPFIX = 56,
    LSP_ADMIN_STATE_UP = 57,
    LSP_MAC_MANAGEMENT = 58,
    LSP_ADDRESS_BINDINGS = 59,
    LSP_EXTRA_CONFIGS = 60,
    LSP_IGNORE_BINDINGS = 61,
    LSP_IS_HYV_KRN = 62,
    LSP_TENANT_CONTEXT = 63,
    LSP_REALTIME_PROFINET = 64,
    LSP_REALTIME_LATENCY = 65,
    LSP_REALTIME_PRP = 66,
    // transport node
    TN_CERTIFICATE = 100,
    TN_TRANSPORT_SWITCHES = 101,
    TN_BFD = 102,
    TN_TYPE = 103,
    TN_LABEL = 104,
    // port mirror session
    PMS_LOGICAL_PORT_MIRROR_SESSION = 150,
    PMS_UPLINK_PORT_MIRROR_SESSION = 151,
    PMS_RSPAN_SRC_MIRROR_SESSION = 152,
    PMS_RSPAN_DST_MIRROR_SESSION = 153,
    PMS_L3SPAN_MIRROR_SESSION = 154,
    // IPFIX
    IPFIX_SWITCH_GLOBAL_CONFIG = 200,
    IPFIX_SWITCH_CONFIG_LEGACY = 201,
    // VIF
    VIF_IP_DISCOVEREDBINDING = 250,
    VIF_MAC = 251,
    // L2 forwarding
    L2_VM_IP = 300,
    L2_VM_MAC = 301,
    L2_VTEP = 302,
    L2_VTEP_GROUP_LABEL = 303,
    L2_VTEP_GROUP = 304,
    // L3
    L3_FIB_ROUTER_ID = 400,
    L3_FIB_IP_PREFIX = 401,
    L3_FIB_NEXT_HOP = 402,
    L3_ARP_ROUTER_PORT_ID = 403,
    L3_ARP_ENTRY = 404,
    L3_DAD_STATUS = 405,
    L3_DAD_REQ = 406,
    // profiles
    PROFILE_TYPE = 450,
    IPFIX_SWITCH_PROFILE = 451,
    IPFIX_COLLECTOR_PROFILE = 452,
    // containers (the spelling is the system's)
    CONTINER_LOGICAL_SWITCH_PORT = 500,
    // DA VIF
    DA_VIF = 550,
    // bridge cluster
    BRIDGE_NODES = 600,
    BFD_HA = 601,
};

// Destinations of the message dispatcher; 0 means none (a record filed under 0 is dropped).
enum class ComponentType : uint32_t {
    NONE = 0,
    CONFIGCACHE = 1,
    L2CACHE = 2,
    L3CACHE = 3,
    DFW = 4,
    CONFIGAPP = 5,
    L2APP = 6,
    SIAPP = 7,
    LB = 8,
    IDS = 9,
    TF = 10,
    BFD = 11,
};

// Operation of a decoded record. (1, 2) and (3, 4) are opposite pairs.
enum class Operation : uint32_t {
    OPERATION_UPDATE = 1,
    OPERATION_DELETE = 2,
    OPERATION_ELEMENT_SET = 3,
    OPERATION_ELEMENT_CLEAR = 4,
};

// Table names, or "UNKNOWN (Put more into ObjTypeToString)" (and likewise) for anything else.
// ObjTypeToString prints only the types the agent names in its own logs; ObjectTypeName below
// knows every schema type.
std::string ObjTypeToString(uint32_t type);
std::string PBOpTypeToString(uint32_t op);
std::string PropertyTypeToString(uint32_t property);
std::string CompTypeToString(uint32_t component);
// "OPERATION_UPDATE", "OPERATION_DELETE", "OPERATION_ELEMENT_SET", "OPERATION_ELEMENT_CLEAR",
// else "UNKNOWN".
std::string OperationToString(uint32_t op);

inline std::string ObjTypeToString(ObjectType t) {
    return ObjTypeToString(static_cast<uint32_t>(t));
}
inline std::string PBOpTypeToString(PBOpType t) {
    return PBOpTypeToString(static_cast<uint32_t>(t));
}
inline std::string PropertyTypeToString(PropertyType t) {
    return PropertyTypeToString(static_cast<uint32_t>(t));
}
inline std::string CompTypeToString(ComponentType t) {
    return CompTypeToString(static_cast<uint32_t>(t));
}
inline std::string OperationToString(Operation t) {
    return OperationToString(static_cast<uint32_t>(t));
}

// The schema name of every object type (OBJECT_TYPE_INVALID included); nullptr for other values.
const char* ObjectTypeName(uint32_t type);
// Every object type value of the vocabulary, ascending (OBJECT_TYPE_INVALID first).
const ObjectType* AllObjectTypeValues(size_t* count);

// True for the opposite pairs (update, delete) and (element set, element clear), either order.
bool IsOppositeOperation(Operation a, Operation b);

// The shared constant strings: object type names used in log lines and the structured-log keys.
namespace ConstStr {
inline constexpr const char* LOG_SWITCH_CONFIG = "LOG_SWITCH_CONFIG";
inline constexpr const char* LOG_SWITCH_PORT_CONFIG = "LOG_SWITCH_PORT_CONFIG";
inline constexpr const char* TRANSPORT_NODE_CONFIG = "TRANSPORT_NODE_CONFIG";
inline constexpr const char* HOST_SWITCH = "HOST_SWITCH";
inline constexpr const char* DA_VIF = "DA_VIF";
inline constexpr const char* VTEP_GROUP = "VTEP_GROUP";
inline constexpr const char* LOG_SWITCH_FIB = "LOG_SWITCH_FIB";
inline constexpr const char* ROUTING_DOMAIN_FIB = "ROUTING_DOMAIN_FIB";
inline constexpr const char* LOG_ROUTER_CONFIG = "LOG_ROUTER_CONFIG";
inline constexpr const char* LOG_ROUTER_PORT_CONFIG = "LOG_ROUTER_PORT_CONFIG";
inline constexpr const char* FIB = "FIB";
inline constexpr const char* ARP_TABLE_CONFIG = "ARP_TABLE_CONFIG";
inline constexpr const char* MULTICAST_STATIC_ROUTE = "MULTICAST_STATIC_ROUTE";
inline constexpr const char* MULTICAST_CONFIG = "MULTICAST_CONFIG";
inline constexpr const char* LOG_ROUTER_PORT_FIB_DAD_STATE = "LOG_ROUTER_PORT_FIB_DAD_STATE";
inline constexpr const char* PREFIX_LIST = "PREFIX_LIST";
inline constexpr const char* DAD_PROFILE_CONFIG = "DAD_PROFILE_CONFIG";
inline constexpr const char* NDRA_PROFILE_CONFIG = "NDRA_PROFILE_CONFIG";
inline constexpr const char* ENTITY_GROUP_RELATION = "ENTITY_GROUP_RELATION";
inline constexpr const char* NSG_MEMBERSHIP_STATUS = "NSG_MEMBERSHIP_STATUS";
inline constexpr const char* LOG_ROUTER_PORT_DAD_REQUEST = "LOG_ROUTER_PORT_DAD_REQUEST";
// Structured-log keys.
inline constexpr const char* LS_ID = "LS-ID";
inline constexpr const char* LSP_ID = "LSP-ID";
inline constexpr const char* LR_ID = "LR-ID";
inline constexpr const char* LRP_ID = "LRP-ID";
inline constexpr const char* OPERATION = "operation";
inline constexpr const char* TN_ID = "TN-ID";
inline constexpr const char* TZ_ID = "TZ-ID";
inline constexpr const char* HS_ID = "HS-ID";
inline constexpr const char* VNI = "VNI";
inline constexpr const char* VLAN = "VLAN";
inline constexpr const char* WORKFLOW = "workflow";
inline constexpr const char* ERROR = "error";
inline constexpr const char* ERROR_MSG = "error-msg";
inline constexpr const char* EXCEPTION = "exception";
}  // namespace ConstStr

}  // namespace CfgAgent
