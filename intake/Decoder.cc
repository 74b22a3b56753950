// The routing table of the decoder: for every routed object type its decode function, the
// components that receive its records (in filing order) and how the SmartNIC host's Demux gets it.
#include "intake/Decoder.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "intake/decode/DecodeCommon.h"
#include "intake/decode/DecodeFunctions.h"

namespace CfgAgent {

namespace {

using CT = ComponentType;
using decode::DecodeFn;

std::atomic<bool> g_realtimeFeature{false};

constexpr CT kConfigCache[] = {CT::CONFIGCACHE};
constexpr CT kConfigCacheConfigApp[] = {CT::CONFIGCACHE, CT::CONFIGAPP};
constexpr CT kConfigApp[] = {CT::CONFIGAPP};
constexpr CT kConfigAppL2App[] = {CT::CONFIGAPP, CT::L2APP};
constexpr CT kL2Cache[] = {CT::L2CACHE};
constexpr CT kL3Cache[] = {CT::L3CACHE};
constexpr CT kDfw[] = {CT::DFW};
constexpr CT kDfwLb[] = {CT::DFW, CT::LB};
// Containers also reach ConfigApp, whose container interfaces follow the spans that name them.
constexpr CT kDfwLbConfigApp[] = {CT::DFW, CT::LB, CT::CONFIGAPP};
constexpr CT kDfwIds[] = {CT::DFW, CT::IDS};
constexpr CT kDfwConfigApp[] = {CT::DFW, CT::CONFIGAPP};
constexpr CT kIds[] = {CT::IDS};
constexpr CT kIdsDfw[] = {CT::IDS, CT::DFW};
constexpr CT kLb[] = {CT::LB};
constexpr CT kSiApp[] = {CT::SIAPP};
constexpr CT kBarrier[] = {CT::DFW, CT::IDS, CT::L3CACHE};
constexpr CT kGlobalConfig[] = {CT::L3CACHE, CT::L2APP, CT::DFW, CT::IDS, CT::CONFIGAPP, CT::TF};
constexpr CT kBfd[] = {CT::BFD};

struct Components {
    const CT* list = nullptr;
    size_t count = 0;
};

template <size_t N>
constexpr Components C(const CT (&a)[N]) {
    return Components{a, N};
}

struct Route {
    ObjectType type;
    DecodeFn fn;
    DemuxRoute demux;
    Components groups[DecodeResult::kMaxGroups];
};

using OT = ObjectType;
using DR = DemuxRoute;

const Route kRoutes[] = {
    {OT::LOG_SWITCH_CONFIG, decode::DecodeLogSwitchConfig, DR::KIND, {C(kConfigCache)}},
    {OT::LOG_SWITCH_PORT_CONFIG, decode::DecodeLogSwitchPortConfig, DR::KIND, {C(kConfigCache)}},
    {OT::TRANSPORT_NODE_CONFIG,
     decode::DecodeTransportNodeConfig,
     DR::KIND,
     {C(kConfigCacheConfigApp)}},
    {OT::BRIDGE_CLUSTER_CONFIG, decode::DecodeBridgeClusterConfig, DR::GENERIC, {C(kConfigCache)}},
    {OT::PORT_MIRROR_SESSION, decode::DecodePortMirrorSession, DR::GENERIC, {C(kConfigCache)}},
    {OT::IPFIX_CONFIGURATION, decode::DecodeIpfixConfiguration, DR::GENERIC, {C(kConfigCache)}},
    {OT::PROFILE, decode::DecodeProfile, DR::GENERIC, {C(kConfigCache)}},
    {OT::ENTITY_GROUP_RELATION,
     decode::DecodeEntityGroupRelation,
     DR::KIND,
     {C(kConfigCache), C(kDfwLb)}},
    {OT::NSG_MEMBERSHIP_STATUS, decode::DecodeNsgMemberShipStatus, DR::KIND, {C(kConfigCache)}},
    {OT::DA_VIF, decode::DecodeDaVifMsg, DR::KIND, {C(kConfigApp)}},
    {OT::VTEP_GROUP, decode::DecodeVtepGroup, DR::KIND, {C(kL2Cache)}},
    {OT::LOG_SWITCH_FIB, decode::DecodeLogSwitchFib, DR::KIND, {C(kL2Cache)}},
    {OT::ROUTING_DOMAIN_FIB, decode::DecodeRoutingDomainFib, DR::KIND, {C(kL2Cache)}},
    {OT::LOG_ROUTER_CONFIG, decode::DecodeLogRouterConfig, DR::KIND, {C(kL3Cache)}},
    {OT::LOG_ROUTER_PORT_CONFIG, decode::DecodeLogRouterPortConfig, DR::KIND, {C(kL3Cache)}},
    {OT::FIB, decode::DecodeFib, DR::KIND, {C(kL3Cache)}},
    {OT::ARP_TABLE_CONFIG, decode::DecodeArpTableConfig, DR::KIND, {C(kL3Cache)}},
    {OT::PREFIX_LIST, decode::DecodePrefixList, DR::KIND, {C(kL3Cache)}},
    {OT::MULTICAST_CONFIG, decode::DecodeMulticastConfig, DR::KIND, {C(kL3Cache)}},
    {OT::MULTICAST_STATIC_ROUTE, decode::DecodeMulticastStaticRoute, DR::KIND, {C(kL3Cache)}},
    {OT::NDRA_PROFILE_CONFIG, decode::DecodeNdraProfileConfig, DR::KIND, {C(kL3Cache)}},
    {OT::DAD_PROFILE_CONFIG, decode::DecodeDadProfileConfig, DR::KIND, {C(kL3Cache)}},
    {OT::LOG_ROUTER_PORT_FIB_DAD_STATE,
     decode::DecodeLogRouterPortFibDadState,
     DR::KIND,
     {C(kL3Cache)}},
    {OT::LOG_ROUTER_PORT_DAD_REQUEST,
     decode::DecodeLogRouterPortDadRequest,
     DR::KIND,
     {C(kL3Cache)}},
    {OT::CONTAINER, decode::DecodeDfwContainer, DR::GENERIC, {C(kDfwLbConfigApp)}},
    {OT::RULE, decode::DecodeDfwRule, DR::GENERIC, {C(kDfwIds)}},
    {OT::RULE_SECTION, decode::DecodeDfwRuleSection, DR::GENERIC, {C(kDfwIds)}},
    {OT::CONTEXT_PROFILE, decode::DecodeDfwContextProfile, DR::GENERIC, {C(kDfwIds)}},
    {OT::IP_REPUTATION_CONFIG, decode::DecodeDfwIpReputationConfig, DR::GENERIC, {C(kDfw)}},
    {OT::CONFIG_SPAN, decode::DecodeDFWConfigSpan, DR::GENERIC, {C(kDfwConfigApp)}},
    {OT::IDS_SIGNATURES, decode::DecodeIdsSignatures, DR::GENERIC, {C(kIds)}},
    {OT::IDS_THRESHOLD_CONFIG, decode::DecodeIdsThresholdConfig, DR::GENERIC, {C(kIds)}},
    {OT::FLEET_CLUSTER_HOST_CONFIG,
     decode::DecodeFleetClusterHostConfig,
     DR::GENERIC,
     {C(kIdsDfw)}},
    {OT::SECURITY_FEATURE_TOGGLE, decode::DecodeSecurityFeatureToggle, DR::GENERIC, {C(kIdsDfw)}},
    {OT::LB_SERVICE, decode::DecodeLbService, DR::GENERIC, {C(kLb)}},
    {OT::LB_VIRTUAL_SERVER, decode::DecodeLbVirtualServer, DR::GENERIC, {C(kLb)}},
    {OT::LB_POOL, decode::DecodeLbPool, DR::GENERIC, {C(kLb)}},
    {OT::LB_APPLICATION_PROFILE, decode::DecodeLbApplicationProfile, DR::GENERIC, {C(kLb)}},
    {OT::LB_PERSISTENCE_PROFILE, decode::DecodeLbPersistenceProfile, DR::GENERIC, {C(kLb)}},
    {OT::SI_REDIRECTION_POLICY, decode::DecodeSiRedirectionPolicy, DR::GENERIC, {C(kSiApp)}},
    {OT::SI_SERVICE_CHAIN, decode::DecodeSiServiceChain, DR::GENERIC, {C(kSiApp)}},
    {OT::SI_SERVICE_PATH, decode::DecodeSiServicePath, DR::GENERIC, {C(kSiApp)}},
    {OT::CONDUIT_CHANNEL_GLOBAL_CONFIG,
     decode::DecodeConduitGlobalConfig,
     DR::NONE,
     {C(kConfigApp)}},
    {OT::CONDUIT_CHANNEL_VIF_CONFIG, decode::DecodeConduitVIFConfig, DR::NONE, {C(kConfigApp)}},
    {OT::CCP_SESSION, decode::DecodeCcpSession, DR::GENERIC, {C(kConfigAppL2App)}},
    {OT::BARRIER, decode::DecodeBarrier, DR::GENERIC, {C(kBarrier)}},
    {OT::GLOBAL_CONFIG, decode::DecodeGlobalConfig, DR::GENERIC, {C(kGlobalConfig)}},
    {OT::BFD_GLOBAL_CONFIG, decode::DecodeBfdGlobalConfig, DR::GENERIC, {C(kBfd)}},
    {OT::HOST_SWITCH_SMARTNIC_BACKING,
     decode::DecodeHostSwitchSmartnicBacking,
     DR::KIND_FIRST,
     {C(kConfigAppL2App)}},
};

// Direct index by object type value (every schema value is below 256).
class RouteIndex {
  public:
    RouteIndex() {
        index_.fill(nullptr);
        for (const Route& r : kRoutes) {
            index_[static_cast<uint32_t>(r.type)] = &r;
        }
    }
    const Route* find(ObjectType t) const {
        uint32_t v = static_cast<uint32_t>(t);
        return v < index_.size() ? index_[v] : nullptr;
    }

  private:
    std::array<const Route*, 256> index_;
};

const RouteIndex& Routes() {
    static const RouteIndex index;
    return index;
}

}  // namespace

void DecodeResult::Clear() {
    routed = false;
    demux = DemuxRoute::NONE;
    for (DecodedGroup& g : groups) {
        g.records.clear();
        g.components = nullptr;
        g.componentCount = 0;
    }
    groupCount = 0;
}

size_t DecodeResult::RecordCount() const {
    size_t n = 0;
    for (size_t i = 0; i < groupCount; ++i) {
        n += groups[i].records.size();
    }
    return n;
}

CairnDBUpdateList& DecodeResult::AddGroup(const ComponentType* components, size_t count) {
    DecodedGroup& g = groups[groupCount++];
    g.components = components;
    g.componentCount = count;
    return g.records;
}

bool Decoder::Decode(const orvane::ozy::cairndb::MonitorUpdateMsg& update, DecodeResult* result) {
    result->Clear();
    const Route* route = Routes().find(static_cast<ObjectType>(update.object_type()));
    if (route == nullptr) {
        return false;
    }
    result->routed = true;
    result->demux = route->demux;
    CairnDBUpdateList* lists[DecodeResult::kMaxGroups] = {};
    for (size_t i = 0; i < DecodeResult::kMaxGroups && route->groups[i].list != nullptr; ++i) {
        lists[i] = &result->AddGroup(route->groups[i].list, route->groups[i].count);
    }
    decode::Input in(update);
    route->fn(in, lists);
    return true;
}

void Decoder::ReserveForAppend(CairnDBUpdateList& list, size_t n) {
    const size_t need = list.size() + n;
    if (need <= list.capacity())
        return;
    // A quarter more each time, not twice: a full sync's list of every record of a table would
    // otherwise hold up to twice its room, and three times it while the last doubling moves it.
    list.reserve(std::max(need, list.size() + list.size() / 4));
}

void Decoder::File(DecodeResult& result, ComponentUpdateMap& batch) {
    result.FileEach([&batch](ComponentType comp, CairnDBUpdateList& records, bool last) {
        CairnDBUpdateList& list = batch[comp];
        ReserveForAppend(list, records.size());
        if (last) {
            list.insert(list.end(), std::make_move_iterator(records.begin()),
                        std::make_move_iterator(records.end()));
        } else {
            list.insert(list.end(), records.begin(), records.end());
        }
    });
}

size_t Decoder::RoutedComponents(ObjectType type, ComponentType* out, size_t max) {
    const Route* route = Routes().find(type);
    if (route == nullptr) {
        return 0;
    }
    size_t n = 0;
    for (const Components& g : route->groups) {
        for (size_t i = 0; i < g.count && n < max; ++i) {
            out[n++] = g.list[i];
        }
    }
    return n;
}

DemuxRoute Decoder::DemuxRouteOf(ObjectType type) {
    const Route* route = Routes().find(type);
    return route == nullptr ? DemuxRoute::NONE : route->demux;
}

void Decoder::SetRealtimeFeatureEnabled(bool on) {
    g_realtimeFeature.store(on, std::memory_order_relaxed);
}

bool Decoder::RealtimeFeatureEnabled() {
    return g_realtimeFeature.load(std::memory_order_relaxed);
}

}  // namespace CfgAgent
