#include "proto/CairndbSchema.h"

#include <nlohmann/json.hpp>

#include "proto/cairndb_bfd.pb.h"
#include "proto/cairndb_conduit.pb.h"
#include "proto/cairndb_firewall.pb.h"
#include "proto/cairndb_ids.pb.h"
#include "proto/cairndb_ipfix.pb.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_lb.pb.h"
#include "proto/cairndb_routing.pb.h"
#include "proto/cairndb_si.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_system.pb.h"
#include "proto/cairndb_types.pb.h"

namespace ozy::cairndb {

namespace pb = orvane::ozy::cairndb;

namespace {

template <typename Body, typename Op>
ObjectTypeInfo Entry(pb::ObjectType type) {
    return ObjectTypeInfo{static_cast<int>(type), pb::ObjectType_Name(type),
                          &Body::default_instance(), &Op::default_instance()};
}

#define OZY_OBJECT_TYPE(TYPE, CLASS) Entry<pb::CLASS##Msg, pb::CLASS##OpMsg>(pb::TYPE)

std::vector<ObjectTypeInfo> BuildTable() {
    std::vector<ObjectTypeInfo> t = {
        OZY_OBJECT_TYPE(LOG_SWITCH_CONFIG, LogSwitchConfig),
        OZY_OBJECT_TYPE(LOG_SWITCH_PORT_CONFIG, LogSwitchPortConfig),
        OZY_OBJECT_TYPE(LOG_ROUTER_CONFIG, LogRouterConfig),
        OZY_OBJECT_TYPE(LOG_ROUTER_PORT_CONFIG, LogRouterPortConfig),
        OZY_OBJECT_TYPE(TRANSPORT_NODE_CONFIG, TransportNodeConfig),
        OZY_OBJECT_TYPE(BRIDGE_CLUSTER_CONFIG, BridgeClusterConfig),
        OZY_OBJECT_TYPE(PREFIX_LIST, PrefixList),
        OZY_OBJECT_TYPE(PORT_MIRROR_SESSION, PortMirrorSession),
        OZY_OBJECT_TYPE(IPFIX_CONFIGURATION, IpfixConfiguration),
        OZY_OBJECT_TYPE(VIF_STATE, VifState),
        OZY_OBJECT_TYPE(LOG_SWITCH_STATE, LogSwitchState),
        OZY_OBJECT_TYPE(ROUTING_DOMAIN_VTEP, RoutingDomainVtep),
        OZY_OBJECT_TYPE(LOG_SWITCH_FIB, LogSwitchFib),
        OZY_OBJECT_TYPE(ROUTING_DOMAIN_FIB, RoutingDomainFib),
        OZY_OBJECT_TYPE(RULE, Rule),
        OZY_OBJECT_TYPE(RULE_SECTION, RuleSection),
        OZY_OBJECT_TYPE(CONTAINER, Container),
        OZY_OBJECT_TYPE(CONFIG_SPAN, ConfigSpan),
        OZY_OBJECT_TYPE(FIB, Fib),
        OZY_OBJECT_TYPE(CONDUIT_CHANNEL_VIF_CONFIG, ConduitChannelVifConfig),
        OZY_OBJECT_TYPE(CONDUIT_CHANNEL_GLOBAL_CONFIG, ConduitChannelGlobalConfig),
        OZY_OBJECT_TYPE(DA_VIF, DaVif),
        OZY_OBJECT_TYPE(LB_VIRTUAL_SERVER, LbVirtualServer),
        OZY_OBJECT_TYPE(LB_APPLICATION_PROFILE, LbApplicationProfile),
        OZY_OBJECT_TYPE(LB_PERSISTENCE_PROFILE, LbPersistenceProfile),
        OZY_OBJECT_TYPE(LB_POOL, LbPool),
        OZY_OBJECT_TYPE(LB_SERVICE, LbService),
        OZY_OBJECT_TYPE(ARP_TABLE_CONFIG, ArpTableConfig),
        OZY_OBJECT_TYPE(PROFILE, Profile),
        OZY_OBJECT_TYPE(CCP_SESSION, CcpSession),
        OZY_OBJECT_TYPE(SI_REDIRECTION_POLICY, SiRedirectionPolicy),
        OZY_OBJECT_TYPE(BARRIER, Barrier),
        OZY_OBJECT_TYPE(PROCESSED_BARRIER, ProcessedBarrier),
        OZY_OBJECT_TYPE(RUNTIME_STATUS, RuntimeStatus),
        OZY_OBJECT_TYPE(FLEET_CLUSTER_HOST_CONFIG, FleetClusterHostConfig),
        OZY_OBJECT_TYPE(CONTEXT_PROFILE, ContextProfile),
        OZY_OBJECT_TYPE(ENTITY_GROUP_RELATION, EntityGroupRelation),
        OZY_OBJECT_TYPE(GLOBAL_CONFIG, GlobalConfig),
        OZY_OBJECT_TYPE(SI_SERVICE_CHAIN, SiServiceChain),
        OZY_OBJECT_TYPE(SI_SERVICE_PATH, SiServicePath),
        OZY_OBJECT_TYPE(SI_SERVICE_VM_STATUS, SiServiceVmStatus),
        OZY_OBJECT_TYPE(NDRA_PROFILE_CONFIG, NdraProfileConfig),
        OZY_OBJECT_TYPE(DAD_PROFILE_CONFIG, DadProfileConfig),
        OZY_OBJECT_TYPE(LOG_ROUTER_PORT_FIB_DAD_STATE, LogRouterPortFibDadState),
        OZY_OBJECT_TYPE(VTEP_GROUP, VtepGroup),
        OZY_OBJECT_TYPE(IDS_SIGNATURES, IdsSignatures),
        OZY_OBJECT_TYPE(MULTICAST_CONFIG, MulticastConfig),
        OZY_OBJECT_TYPE(NSG_MEMBERSHIP_STATUS, NsgMembershipStatus),
        OZY_OBJECT_TYPE(MULTICAST_STATIC_ROUTE, MulticastStaticRoute),
        OZY_OBJECT_TYPE(SECURITY_FEATURE_TOGGLE, SecurityFeatureToggle),
        OZY_OBJECT_TYPE(LOG_ROUTER_PORT_DAD_REQUEST, LogRouterPortDadRequest),
        OZY_OBJECT_TYPE(BFD_GLOBAL_CONFIG, BfdGlobalConfig),
        OZY_OBJECT_TYPE(HOST_SWITCH_SMARTNIC_BACKING, HostSwitchSmartnicBacking),
        OZY_OBJECT_TYPE(IP_REPUTATION_CONFIG, IpReputationConfig),
        OZY_OBJECT_TYPE(HOPOVER_STATUS, HopoverStatus),
        OZY_OBJECT_TYPE(CFG_AGENT_FAILOVER_ACK, CfgAgentFailoverAck),
        OZY_OBJECT_TYPE(IDS_THRESHOLD_CONFIG, IdsThresholdConfig),
    };
    return t;
}

#undef OZY_OBJECT_TYPE

}  // namespace

const std::vector<ObjectTypeInfo>& AllObjectTypes() {
    static const std::vector<ObjectTypeInfo> table = BuildTable();
    return table;
}

const ObjectTypeInfo* FindObjectType(int type) {
    for (const auto& info : AllObjectTypes()) {
        if (info.type == type) {
            return &info;
        }
    }
    return nullptr;
}

const ObjectTypeInfo* FindObjectType(std::string_view name) {
    for (const auto& info : AllObjectTypes()) {
        if (info.name == name) {
            return &info;
        }
    }
    return nullptr;
}

std::string CairndbSchemaJson() {
    using nlohmann::json;
    json columns = {
        {"oid", {{"type", "string"}}},
        {"vdb",
         {{"type", {{"key", {{"type", "integer"}, {"minInteger", 1}, {"maxInteger", 65535}}}}}}},
        {"body", {{"type", "string"}}},
        {"op", {{"type", "string"}}},
        {"trace", {{"type", "string"}}},
    };
    json tables = json::object();
    // Straight from the enum, so that a type added to the schema gets its table even before it
    // gets its classes.
    const auto* desc = pb::ObjectType_descriptor();
    for (int i = 0; i < desc->value_count(); ++i) {
        const auto* v = desc->value(i);
        if (v->number() == pb::OBJECT_TYPE_INVALID) {
            continue;
        }
        tables[v->name()] = {{"columns", columns},
                             {"indexes", json::array({json::array({"oid", "vdb"})})},
                             {"isRoot", true}};
    }
    json schema = {{"name", kDatabaseName}, {"version", "1.0.0"}, {"tables", tables}};
    return schema.dump(2) + "\n";
}

}  // namespace ozy::cairndb
