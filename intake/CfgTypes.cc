#include "intake/CfgTypes.h"

#include <vector>

namespace CfgAgent {

namespace {

struct NamedValue {
    uint32_t value;
    const char* name;
};

template <size_t N>
const char* Lookup(const NamedValue (&table)[N], uint32_t value) {
    for (const auto& e : table) {
        if (e.value == value) {
            return e.name;
        }
    }
    return nullptr;
}

#define OZY_NV(E, V) \
    { static_cast<uint32_t>(E::V), #V }

const NamedValue kObjectTypes[] = {
    OZY_NV(ObjectType, OBJECT_TYPE_INVALID),
    OZY_NV(ObjectType, LOG_SWITCH_CONFIG),
    OZY_NV(ObjectType, LOG_SWITCH_PORT_CONFIG),
    OZY_NV(ObjectType, LOG_ROUTER_CONFIG),
    OZY_NV(ObjectType, LOG_ROUTER_PORT_CONFIG),
    OZY_NV(ObjectType, TRANSPORT_NODE_CONFIG),
    OZY_NV(ObjectType, BRIDGE_CLUSTER_CONFIG),
    OZY_NV(ObjectType, PREFIX_LIST),
    OZY_NV(ObjectType, PORT_MIRROR_SESSION),
    OZY_NV(ObjectType, IPFIX_CONFIGURATION),
    OZY_NV(ObjectType, VIF_STATE),
    OZY_NV(ObjectType, LOG_SWITCH_STATE),
    OZY_NV(ObjectType, ROUTING_DOMAIN_VTEP),
    OZY_NV(ObjectType, LOG_SWITCH_FIB),
    OZY_NV(ObjectType, ROUTING_DOMAIN_FIB),
    OZY_NV(ObjectType, RULE),
    OZY_NV(ObjectType, RULE_SECTION),
    OZY_NV(ObjectType, CONTAINER),
    OZY_NV(ObjectType, CONFIG_SPAN),
    OZY_NV(ObjectType, FIB),
    OZY_NV(ObjectType, CONDUIT_CHANNEL_VIF_CONFIG),
    OZY_NV(ObjectType, CONDUIT_CHANNEL_GLOBAL_CONFIG),
    OZY_NV(ObjectType, DA_VIF),
    OZY_NV(ObjectType, LB_VIRTUAL_SERVER),
    OZY_NV(ObjectType, LB_APPLICATION_PROFILE),
    OZY_NV(ObjectType, LB_PERSISTENCE_PROFILE),
    OZY_NV(ObjectType, LB_POOL),
    OZY_NV(ObjectType, LB_SERVICE),
    OZY_NV(ObjectType, ARP_TABLE_CONFIG),
    OZY_NV(ObjectType, PROFILE),
    OZY_NV(ObjectType, CCP_SESSION),
    OZY_NV(ObjectType, SI_REDIRECTION_POLICY),
    OZY_NV(ObjectType, BARRIER),
    OZY_NV(ObjectType, PROCESSED_BARRIER),
    OZY_NV(ObjectType, RUNTIME_STATUS),
    OZY_NV(ObjectType, FLEET_CLUSTER_HOST_CONFIG),
    OZY_NV(ObjectType, CONTEXT_PROFILE),
    OZY_NV(ObjectType, ENTITY_GROUP_RELATION),
    OZY_NV(ObjectType, GLOBAL_CONFIG),
    OZY_NV(ObjectType, SI_SERVICE_CHAIN),
    OZY_NV(ObjectType, SI_SERVICE_PATH),
    OZY_NV(ObjectType, SI_SERVICE_VM_STATUS),
    OZY_NV(ObjectType, NDRA_PROFILE_CONFIG),
    OZY_NV(ObjectType, DAD_PROFILE_CONFIG),
    OZY_NV(ObjectType, LOG_ROUTER_PORT_FIB_DAD_STATE),
    OZY_NV(ObjectType, VTEP_GROUP),
    OZY_NV(ObjectType, IDS_SIGNATURES),
    OZY_NV(ObjectType, MULTICAST_CONFIG),
    OZY_NV(ObjectType, NSG_MEMBERSHIP_STATUS),
    OZY_NV(ObjectType, MULTICAST_STATIC_ROUTE),
    OZY_NV(ObjectType, SECURITY_FEATURE_TOGGLE),
    OZY_NV(ObjectType, LOG_ROUTER_PORT_DAD_REQUEST),
    OZY_NV(ObjectType, BFD_GLOBAL_CONFIG),
    OZY_NV(ObjectType, HOST_SWITCH_SMARTNIC_BACKING),
    OZY_NV(ObjectType, IP_REPUTATION_CONFIG),
    OZY_NV(ObjectType, HOPOVER_STATUS),
    OZY_NV(ObjectType, CFG_AGENT_FAILOVER_ACK),
    OZY_NV(ObjectType, IDS_THRESHOLD_CONFIG),
};

// The types whose names the agent's own logs print through ObjTypeToString.
const ObjectType kPrintedObjectTypes[] = {
    ObjectType::OBJECT_TYPE_INVALID,
    ObjectType::LOG_SWITCH_CONFIG,
    ObjectType::LOG_SWITCH_PORT_CONFIG,
    ObjectType::LOG_ROUTER_CONFIG,
    ObjectType::LOG_ROUTER_PORT_CONFIG,
    ObjectType::TRANSPORT_NODE_CONFIG,
    ObjectType::BRIDGE_CLUSTER_CONFIG,
    ObjectType::PORT_MIRROR_SESSION,
    ObjectType::IPFIX_CONFIGURATION,
    ObjectType::VIF_STATE,
    ObjectType::LOG_SWITCH_STATE,
    ObjectType::ROUTING_DOMAIN_VTEP,
    ObjectType::LOG_SWITCH_FIB,
    ObjectType::ROUTING_DOMAIN_FIB,
    ObjectType::RULE,
    ObjectType::RULE_SECTION,
    ObjectType::CONTAINER,
    ObjectType::CONFIG_SPAN,
    ObjectType::FIB,
    ObjectType::CONDUIT_CHANNEL_VIF_CONFIG,
    ObjectType::CONDUIT_CHANNEL_GLOBAL_CONFIG,
    ObjectType::DA_VIF,
    ObjectType::ARP_TABLE_CONFIG,
    ObjectType::PROFILE,
    ObjectType::CCP_SESSION,
    ObjectType::SI_REDIRECTION_POLICY,
    ObjectType::BARRIER,
    ObjectType::CONTEXT_PROFILE,
    ObjectType::SI_SERVICE_CHAIN,
    ObjectType::SI_SERVICE_PATH,
};

const NamedValue kPBOpTypes[] = {
    OZY_NV(PBOpType, INVALID),      OZY_NV(PBOpType, SELECT),       OZY_NV(PBOpType, EQUALS),
    OZY_NV(PBOpType, CONTAINS_ONE), OZY_NV(PBOpType, CONTAINS_ALL), OZY_NV(PBOpType, IS_PRESENT),
    OZY_NV(PBOpType, NOT_EQUALS),   OZY_NV(PBOpType, SET),          OZY_NV(PBOpType, CLEAR),
    OZY_NV(PBOpType, INSERT),       OZY_NV(PBOpType, APPEND),       OZY_NV(PBOpType, REMOVE),
    OZY_NV(PBOpType, UPDATE),
};

const NamedValue kPropertyTypes[] = {
    OZY_NV(PropertyType, INVALID_PROPERTY),
    OZY_NV(PropertyType, LS_VNI),
    OZY_NV(PropertyType, LS_REPLICATION_MODE),
    OZY_NV(PropertyType, LS_TRANSPORT_BINDING),
    OZY_NV(PropertyType, LS_VLAN),
    OZY_NV(PropertyType, LS_ADMIN_STATE_UP),
    OZY_NV(PropertyType, LS_TRANSPORT_ZONE_ID),
    OZY_NV(PropertyType, LS_ROUTING_DOMAIN_ID),
    OZY_NV(PropertyType, LS_VLAN_TRUNK),
    OZY_NV(PropertyType, LS_UPLINK_TEAMING_POLICY),
    OZY_NV(PropertyType, LS_TYPE),
    OZY_NV(PropertyType, LS_SP_SUBTYPE),
    OZY_NV(PropertyType, LS_MAC_MANAGEMENT),
    OZY_NV(PropertyType, LS_SWITCH_NAME),
    OZY_NV(PropertyType, LS_EXTRA_CONFIGS),
    OZY_NV(PropertyType, LS_TENANT_CONTEXT),
    OZY_NV(PropertyType, LS_ATTACHMENT),
    OZY_NV(PropertyType, LS_ARP_PROXY),
    OZY_NV(PropertyType, LS_MULTICAST_PROXY),
    OZY_NV(PropertyType, LS_EVPN_MODE),
    OZY_NV(PropertyType, LSP_SWITCH_ID),
    OZY_NV(PropertyType, LSP_ATTACHMENT),
    OZY_NV(PropertyType, LSP_IP_DISCOVERY),
    OZY_NV(PropertyType, LSP_SWITCH_SECURITY),
    OZY_NV(PropertyType, LSP_QOS),
    OZY_NV(PropertyType, LSP_MIRROR_TARGETS),
    OZY_NV(PropertyType, LSP_IPFIX),
    OZY_NV(PropertyType, LSP_ADMIN_STATE_UP),
    OZY_NV(PropertyType, LSP_MAC_MANAGEMENT),
    OZY_NV(PropertyType, LSP_ADDRESS_BINDINGS),
    OZY_NV(PropertyType, LSP_EXTRA_CONFIGS),
    OZY_NV(PropertyType, LSP_IGNORE_BINDINGS),
    OZY_NV(PropertyType, LSP_IS_HYV_KRN),
    OZY_NV(PropertyType, LSP_TENANT_CONTEXT),
    OZY_NV(PropertyType, LSP_REALTIME_PROFINET),
    OZY_NV(PropertyType, LSP_REALTIME_LATENCY),
    OZY_NV(PropertyType, LSP_REALTIME_PRP),
    OZY_NV(PropertyType, TN_CERTIFICATE),
    OZY_NV(PropertyType, TN_TRANSPORT_SWITCHES),
    OZY_NV(PropertyType, TN_BFD),
    OZY_NV(PropertyType, TN_TYPE),
    OZY_NV(PropertyType, TN_LABEL),
    OZY_NV(PropertyType, PMS_LOGICAL_PORT_MIRROR_SESSION),
    OZY_NV(PropertyType, PMS_UPLINK_PORT_MIRROR_SESSION),
    OZY_NV(PropertyType, PMS_RSPAN_SRC_MIRROR_SESSION),
    OZY_NV(PropertyType, PMS_RSPAN_DST_MIRROR_SESSION),
    OZY_NV(PropertyType, PMS_L3SPAN_MIRROR_SESSION),
    OZY_NV(PropertyType, IPFIX_SWITCH_GLOBAL_CONFIG),
    OZY_NV(PropertyType, IPFIX_SWITCH_CONFIG_LEGACY),
    OZY_NV(PropertyType, VIF_IP_DISCOVEREDBINDING),
    OZY_NV(PropertyType, VIF_MAC),
    OZY_NV(PropertyType, L2_VM_IP),
    OZY_NV(PropertyType, L2_VM_MAC),
    OZY_NV(PropertyType, L2_VTEP),
    OZY_NV(PropertyType, L2_VTEP_GROUP_LABEL),
    OZY_NV(PropertyType, L2_VTEP_GROUP),
    OZY_NV(PropertyType, L3_FIB_ROUTER_ID),
    OZY_NV(PropertyType, L3_FIB_IP_PREFIX),
    OZY_NV(PropertyType, L3_FIB_NEXT_HOP),
    OZY_NV(PropertyType, L3_ARP_ROUTER_PORT_ID),
    OZY_NV(PropertyType, L3_ARP_ENTRY),
    OZY_NV(PropertyType, L3_DAD_STATUS),
    OZY_NV(PropertyType, L3_DAD_REQ),
    OZY_NV(PropertyType, PROFILE_TYPE),
    OZY_NV(PropertyType, IPFIX_SWITCH_PROFILE),
    OZY_NV(PropertyType, IPFIX_COLLECTOR_PROFILE),
    OZY_NV(PropertyType, CONTINER_LOGICAL_SWITCH_PORT),
    OZY_NV(PropertyType, DA_VIF),
    OZY_NV(PropertyType, BRIDGE_NODES),
    OZY_NV(PropertyType, BFD_HA),
};

const NamedValue kComponentTypes[] = {
    OZY_NV(ComponentType, CONFIGCACHE), OZY_NV(ComponentType, L2CACHE),
    OZY_NV(ComponentType, L3CACHE),     OZY_NV(ComponentType, DFW),
    OZY_NV(ComponentType, CONFIGAPP),   OZY_NV(ComponentType, L2APP),
    OZY_NV(ComponentType, SIAPP),       OZY_NV(ComponentType, LB),
    OZY_NV(ComponentType, IDS),         OZY_NV(ComponentType, TF),
    OZY_NV(ComponentType, BFD),
};

const NamedValue kOperations[] = {
    OZY_NV(Operation, OPERATION_UPDATE),
    OZY_NV(Operation, OPERATION_DELETE),
    OZY_NV(Operation, OPERATION_ELEMENT_SET),
    OZY_NV(Operation, OPERATION_ELEMENT_CLEAR),
};

#undef OZY_NV

std::vector<ObjectType> BuildAllObjectTypes() {
    std::vector<ObjectType> all;
    for (const auto& e : kObjectTypes) {
        all.push_back(static_cast<ObjectType>(e.value));
    }
    return all;
}

}  // namespace

std::string ObjTypeToString(uint32_t type) {
    for (ObjectType t : kPrintedObjectTypes) {
        if (static_cast<uint32_t>(t) == type) {
            return Lookup(kObjectTypes, type);
        }
    }
    return "UNKNOWN (Put more into ObjTypeToString)";
}

std::string PBOpTypeToString(uint32_t op) {
    const char* name = Lookup(kPBOpTypes, op);
    return name != nullptr ? name : "UNKNOWN (Put more into PBOpTypeToString)";
}

std::string PropertyTypeToString(uint32_t property) {
    const char* name = Lookup(kPropertyTypes, property);
    return name != nullptr ? name : "UNKNOWN (Put more into PropertyTypeToString)";
}

std::string CompTypeToString(uint32_t component) {
    const char* name = Lookup(kComponentTypes, component);
    return name != nullptr ? name : "UNKNOWN (Put more into CompTypeToString)";
}

std::string OperationToString(uint32_t op) {
    const char* name = Lookup(kOperations, op);
    return name != nullptr ? name : "UNKNOWN";
}

const char* ObjectTypeName(uint32_t type) {
    return Lookup(kObjectTypes, type);
}

const ObjectType* AllObjectTypeValues(size_t* count) {
    static const std::vector<ObjectType> all = BuildAllObjectTypes();
    *count = all.size();
    return all.data();
}

bool IsOppositeOperation(Operation a, Operation b) {
    auto pair = [](Operation x, Operation y, Operation p, Operation q) {
        return (x == p && y == q) || (x == q && y == p);
    };
    return pair(a, b, Operation::OPERATION_UPDATE, Operation::OPERATION_DELETE) ||
           pair(a, b, Operation::OPERATION_ELEMENT_SET, Operation::OPERATION_ELEMENT_CLEAR);
}

}  // namespace CfgAgent
