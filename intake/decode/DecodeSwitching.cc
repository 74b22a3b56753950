// Decode functions of the switching objects: logical switches and ports, transport nodes, bridge
// clusters, mirror sessions, IPFIX, profiles, DA VIFs, entity group relations (pattern P) and NSG
// membership (pattern O).
#include <array>

#include "intake/decode/DecodeCommon.h"
#include "intake/decode/DecodeFunctions.h"
#include "proto/cairndb_firewall.pb.h"
#include "proto/cairndb_ipfix.pb.h"
#include "proto/cairndb_switching.pb.h"

namespace CfgAgent::decode {

namespace {

// `N` consecutive properties starting at `first`, held by consecutive fields from `firstField`.
template <size_t N>
constexpr std::array<PropertyField, N> Block(PropertyType first, int firstField) {
    std::array<PropertyField, N> a{};
    for (size_t i = 0; i < N; ++i) {
        a[i] = PropertyField{static_cast<PropertyType>(static_cast<uint32_t>(first) + i),
                             firstField + static_cast<int>(i)};
    }
    return a;
}

constexpr auto kLogSwitchProps = Block<19>(PropertyType::LS_VNI, 2);             // 10-28
constexpr auto kLogSwitchPortProps = Block<17>(PropertyType::LSP_SWITCH_ID, 2);  // 50-66
constexpr size_t kLogSwitchPortPropsWithoutRealtime = 14;                        // 50-63
constexpr auto kTransportNodeProps = Block<5>(PropertyType::TN_CERTIFICATE, 2);  // 100-104
constexpr auto kBridgeClusterProps = Block<2>(PropertyType::BRIDGE_NODES, 2);    // 600-601
constexpr auto kMirrorSessionProps = Block<5>(PropertyType::PMS_LOGICAL_PORT_MIRROR_SESSION, 2);
constexpr auto kIpfixProps = Block<2>(PropertyType::IPFIX_SWITCH_GLOBAL_CONFIG, 2);  // 200-201
constexpr auto kProfileProps = Block<2>(PropertyType::IPFIX_SWITCH_PROFILE, 3);      // 451-452
constexpr auto kDaVifProps = Block<1>(PropertyType::DA_VIF, 2);                      // 550
constexpr auto kEntityGroupProps = Block<1>(PropertyType::CONTINER_LOGICAL_SWITCH_PORT, 2);

template <class P>
RecordBase BaseOf(const Input& in, ObjectType type, const P& p) {
    RecordBase base;
    base.type = type;
    base.id = IdBytes(p.subject().id());
    base.trace = in.trace;
    return base;
}

// Pattern P with the "Received" debug line.
template <class P, size_t N>
void ReceivedAndPatternP(const Input& in, const char* name, const P& p,
                         const std::array<PropertyField, N>& props, size_t propCount,
                         RecordBase base, CairnDBUpdateList& out) {
    CFG_DEBUG("Decoder: Received %1 msg (Operation %2): %3", name, PBOpTypeToString(p.objectOp()),
              p.subject().ShortDebugString());
    PatternP(in, base, p.objectOp(), p.rawBody(in), props.data(), propCount, out);
}

}  // namespace

void DecodeLogSwitchConfig(const Input& in, CairnDBUpdateList* const* out) {
    ozy::wft::Span span("Decoder.DecodeLogSwitchConfig", in.parents, false);
    Parsed<pb::LogSwitchConfigMsg, pb::LogSwitchConfigOpMsg> p(in);
    RecordBase base = BaseOf(in, ObjectType::LOG_SWITCH_CONFIG, p);
    if (p.subject().has_tenant_context()) {
        base.tenant = p.subject().tenant_context().SerializeAsString();
    }
    ReceivedAndPatternP(in, "LOG_SWITCH_CONFIG", p, kLogSwitchProps, kLogSwitchProps.size(),
                        std::move(base), *out[0]);
}

void DecodeLogSwitchPortConfig(const Input& in, CairnDBUpdateList* const* out) {
    ozy::wft::Span span("Decoder.DecodeLogSwitchPortConfig", in.parents, false);
    Parsed<pb::LogSwitchPortConfigMsg, pb::LogSwitchPortConfigOpMsg> p(in);
    RecordBase base = BaseOf(in, ObjectType::LOG_SWITCH_PORT_CONFIG, p);
    if (p.subject().has_tenant_context()) {
        base.tenant = p.subject().tenant_context().SerializeAsString();
    }
    size_t count = kLogSwitchPortProps.size();
    if (!Decoder::RealtimeFeatureEnabled()) {
        CFG_DEBUG("Decoder: Feature switch EozyDpVswitchRT is disabled");
        count = kLogSwitchPortPropsWithoutRealtime;
    }
    ReceivedAndPatternP(in, "LOG_SWITCH_PORT_CONFIG", p, kLogSwitchPortProps, count,
                        std::move(base), *out[0]);
}

void DecodeTransportNodeConfig(const Input& in, CairnDBUpdateList* const* out) {
    ozy::wft::Span span("Decoder.DecodeTransportNodeConfig", in.parents, false);
    Parsed<pb::TransportNodeConfigMsg, pb::TransportNodeConfigOpMsg> p(in);
    ReceivedAndPatternP(in, "TRANSPORT_NODE_CONFIG", p, kTransportNodeProps,
                        kTransportNodeProps.size(),
                        BaseOf(in, ObjectType::TRANSPORT_NODE_CONFIG, p), *out[0]);
}

void DecodeBridgeClusterConfig(const Input& in, CairnDBUpdateList* const* out) {
    ozy::wft::Span span("Decoder.DecodeBridgeClusterConfig", in.parents, false);
    Parsed<pb::BridgeClusterConfigMsg, pb::BridgeClusterConfigOpMsg> p(in);
    ReceivedAndPatternP(in, "BRIDGE_CLUSTER_CONFIG", p, kBridgeClusterProps,
                        kBridgeClusterProps.size(),
                        BaseOf(in, ObjectType::BRIDGE_CLUSTER_CONFIG, p), *out[0]);
}

void DecodePortMirrorSession(const Input& in, CairnDBUpdateList* const* out) {
    ozy::wft::Span span("Decoder.DecodePortMirrorSession", in.parents, false);
    Parsed<pb::PortMirrorSessionMsg, pb::PortMirrorSessionOpMsg> p(in);
    ReceivedAndPatternP(in, "PORT_MIRROR_SESSION", p, kMirrorSessionProps,
                        kMirrorSessionProps.size(), BaseOf(in, ObjectType::PORT_MIRROR_SESSION, p),
                        *out[0]);
}

void DecodeIpfixConfiguration(const Input& in, CairnDBUpdateList* const* out) {
    Parsed<pb::IpfixConfigurationMsg, pb::IpfixConfigurationOpMsg> p(in);
    ReceivedAndPatternP(in, "IPFIX_CONFIGURATION", p, kIpfixProps, kIpfixProps.size(),
                        BaseOf(in, ObjectType::IPFIX_CONFIGURATION, p), *out[0]);
}

void DecodeProfile(const Input& in, CairnDBUpdateList* const* out) {
    Parsed<pb::ProfileMsg, pb::ProfileOpMsg> p(in);
    if (p.isSet() && !p.body.has_profile_type()) {
        CFG_WARN("Decoder: Received PROFILE msg without profile_type!");
        return;
    }
    ReceivedAndPatternP(in, "PROFILE", p, kProfileProps, kProfileProps.size(),
                        BaseOf(in, ObjectType::PROFILE, p), *out[0]);
}

void DecodeDaVifMsg(const Input& in, CairnDBUpdateList* const* out) {
    ozy::wft::Span span("Decoder.DecodeDaVifMsg", in.parents, false);
    Parsed<pb::DaVifMsg, pb::DaVifOpMsg> p(in);
    if (p.isClear()) {
        CFG_DEBUG("Decoder: Received DA_VIF msg with CLEAR op");
    } else if (p.body.bindings_size() > 0) {
        CFG_DEBUG("Decoder: Received DA_VIF msg with bindings size %1", p.body.bindings_size());
    } else {
        CFG_DEBUG("Decoder: Received DA_VIF msg with no bindings");
    }
    ReceivedAndPatternP(in, "DA_VIF", p, kDaVifProps, kDaVifProps.size(),
                        BaseOf(in, ObjectType::DA_VIF, p), *out[0]);
}

void DecodeEntityGroupRelation(const Input& in, CairnDBUpdateList* const* out) {
    Parsed<pb::EntityGroupRelationMsg, pb::EntityGroupRelationOpMsg> p(in);
    CFG_DEBUG("Decoder: Received EntityGroupRelationMsg msg (Operation %1): %2",
              PBOpTypeToString(p.objectOp()), p.subject().ShortDebugString());
    PatternP(in, BaseOf(in, ObjectType::ENTITY_GROUP_RELATION, p), p.objectOp(), p.rawBody(in),
             kEntityGroupProps.data(), kEntityGroupProps.size(), *out[0]);
    PatternW(in, ObjectType::ENTITY_GROUP_RELATION, p, "EntityGroupRelationMsg", *out[1]);
}

void DecodeNsgMemberShipStatus(const Input& in, CairnDBUpdateList* const* out) {
    ozy::wft::Span span("Decoder.DecodeNsgMemberShipStatus", in.parents, false);
    Parsed<pb::NsgMembershipStatusMsg, pb::NsgMembershipStatusOpMsg> p(in);
    CFG_DEBUG("Decoder: Received NSG_MEMBERSHIP_STATUS msg (Operation %1): %2",
              PBOpTypeToString(p.objectOp()), p.subject().ShortDebugString());
    PatternO(in, ObjectType::NSG_MEMBERSHIP_STATUS, p, *out[0]);
}

}  // namespace CfgAgent::decode
