// Decode functions of the routing objects: routers, router ports, prefix lists, multicast and
// profiles (pattern O), and the L3 tables FIB, ARP and DAD (pattern E with op 3 set / op 4 clear).
#include "intake/decode/DecodeCommon.h"
#include "intake/decode/DecodeFunctions.h"
#include "proto/cairndb_routing.pb.h"

namespace CfgAgent::decode {

namespace {

template <class P>
RecordBase L3Base(const Input& in, ObjectType type, const P& p) {
    RecordBase base;
    base.type = type;
    base.id = IdBytes(p.subject().id());
    base.trace = in.trace;
    return base;
}

Operation ElementOp(bool add) {
    return add ? Operation::OPERATION_ELEMENT_SET : Operation::OPERATION_ELEMENT_CLEAR;
}

bool NextHopUsable(const pb::FibNextHopMsg& nh) {
    bool hasIp = nh.has_ip() && nh.ip().address_case() != pb::IpAddressMsg::ADDRESS_NOT_SET;
    return hasIp || nh.blackhole() || nh.static_route();
}

// Whole-object record of the DAD types (the L3 table answers single-object queries with it).
template <class P>
void AddDadWholeObject(const Input& in, const RecordBase& base, const P& p,
                       CairnDBUpdateList& out) {
    if (p.isSet()) {
        AddRecord(out, base, PropertyType::INVALID_PROPERTY, p.rawBody(in),
                  Operation::OPERATION_UPDATE);
    } else {
        AddRecord(out, base, PropertyType::INVALID_PROPERTY, std::string(),
                  Operation::OPERATION_DELETE);
    }
}

}  // namespace

void DecodeLogRouterConfig(const Input& in, CairnDBUpdateList* const* out) {
    Parsed<pb::LogRouterConfigMsg, pb::LogRouterConfigOpMsg> p(in);
    LogReceived("LOG_ROUTER_CONFIG", p);
    if (p.isSet()) {
        if (!p.body.has_ndra_profile_id()) {
            CFG_DEBUG("Decoder: No Ndra Profile in LogRouterConfig.");
        }
        if (!p.body.has_dad_profile_id()) {
            CFG_DEBUG("Decoder: No Dad Profile in LogRouterConfig.");
        }
    }
    PatternO(in, ObjectType::LOG_ROUTER_CONFIG, p, *out[0]);
}

void DecodeLogRouterPortConfig(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWholeObject<pb::LogRouterPortConfigMsg, pb::LogRouterPortConfigOpMsg>(
        in, ObjectType::LOG_ROUTER_PORT_CONFIG, "LOG_ROUTER_PORT_CONFIG", false, *out[0]);
}

void DecodePrefixList(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWholeObject<pb::PrefixListMsg, pb::PrefixListOpMsg>(in, ObjectType::PREFIX_LIST,
                                                              "PREFIX_LIST", false, *out[0]);
}

void DecodeMulticastConfig(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWholeObject<pb::MulticastConfigMsg, pb::MulticastConfigOpMsg>(
        in, ObjectType::MULTICAST_CONFIG, "MULTICAST_CONFIG", true, *out[0]);
}

void DecodeMulticastStaticRoute(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWholeObject<pb::MulticastStaticRouteMsg, pb::MulticastStaticRouteOpMsg>(
        in, ObjectType::MULTICAST_STATIC_ROUTE, "MULTICAST_STATIC_ROUTE", false, *out[0]);
}

void DecodeNdraProfileConfig(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWholeObject<pb::NdraProfileConfigMsg, pb::NdraProfileConfigOpMsg>(
        in, ObjectType::NDRA_PROFILE_CONFIG, "NDRA_PROFILE_CONFIG", true, *out[0]);
}

void DecodeDadProfileConfig(const Input& in, CairnDBUpdateList* const* out) {
    DecodeWholeObject<pb::DadProfileConfigMsg, pb::DadProfileConfigOpMsg>(
        in, ObjectType::DAD_PROFILE_CONFIG, "DAD_PROFILE_CONFIG", true, *out[0]);
}

void DecodeFib(const Input& in, CairnDBUpdateList* const* out) {
    Parsed<pb::FibMsg, pb::FibOpMsg> p(in);
    LogReceived("FIB", p);
    if (!p.isSet() && !p.isClear()) {
        return;
    }
    const bool clear = p.isClear();
    RecordBase base = L3Base(in, ObjectType::FIB, p);
    CairnDBUpdateList& list = *out[0];
    ExpandField(
        in, p.op.router_id(), clear, p.body, p.old, "FIB router ID",
        [](const pb::FibMsg& b) { return b.has_router_id(); },
        [&](const pb::FibMsg& b, bool add) {
            AddRecord(list, base, PropertyType::L3_FIB_ROUTER_ID, b.router_id().SerializeAsString(),
                      ElementOp(add));
        });
    ExpandField(
        in, p.op.prefix(), clear, p.body, p.old, "FIB prefix",
        [](const pb::FibMsg& b) { return b.has_prefix(); },
        [&](const pb::FibMsg& b, bool add) {
            AddRecord(list, base, PropertyType::L3_FIB_IP_PREFIX, b.prefix().SerializeAsString(),
                      ElementOp(add));
        });
    ExpandList(in, p.op.next_hops(), clear, p.body.next_hops(), p.old.next_hops(), "FIB next hop",
               [&](const pb::FibNextHopMsg& nh, bool add) {
                   if (!NextHopUsable(nh)) {
                       CFG_WARN("Decoder: Fib next hop msg has no IP/blackhole/static route: %1",
                                nh.ShortDebugString());
                       return;
                   }
                   AddRecord(list, base, PropertyType::L3_FIB_NEXT_HOP, nh.SerializeAsString(),
                             ElementOp(add));
               });
}

void DecodeArpTableConfig(const Input& in, CairnDBUpdateList* const* out) {
    Parsed<pb::ArpTableConfigMsg, pb::ArpTableConfigOpMsg> p(in);
    LogReceived("ARP_TABLE_CONFIG", p);
    if (!p.isSet() && !p.isClear()) {
        return;
    }
    const bool clear = p.isClear();
    RecordBase base = L3Base(in, ObjectType::ARP_TABLE_CONFIG, p);
    CairnDBUpdateList& list = *out[0];
    ExpandField(
        in, p.op.router_port_id(), clear, p.body, p.old, "ARP_TABLE_CONFIG router port ID",
        [](const pb::ArpTableConfigMsg& b) { return b.has_router_port_id(); },
        [&](const pb::ArpTableConfigMsg& b, bool add) {
            AddRecord(list, base, PropertyType::L3_ARP_ROUTER_PORT_ID,
                      b.router_port_id().SerializeAsString(), ElementOp(add));
        });
    ExpandList(in, p.op.entries(), clear, p.body.entries(), p.old.entries(),
               "ARP_TABLE_CONFIG entry", [&](const pb::ArpEntryMsg& e, bool add) {
                   AddRecord(list, base, PropertyType::L3_ARP_ENTRY, e.SerializeAsString(),
                             ElementOp(add));
               });
}

void DecodeLogRouterPortFibDadState(const Input& in, CairnDBUpdateList* const* out) {
    Parsed<pb::LogRouterPortFibDadStateMsg, pb::LogRouterPortFibDadStateOpMsg> p(in);
    LogReceived("LOG_ROUTER_PORT_FIB_DAD_STATE", p);
    if (!p.isSet() && !p.isClear()) {
        return;
    }
    RecordBase base = L3Base(in, ObjectType::LOG_ROUTER_PORT_FIB_DAD_STATE, p);
    CairnDBUpdateList& list = *out[0];
    AddDadWholeObject(in, base, p, list);
    ExpandList(in, p.op.dad_status(), p.isClear(), p.body.dad_status(), p.old.dad_status(),
               "LOG_ROUTER_PORT_FIB_DAD_STATE entry",
               [&](const pb::DadStatusEntryMsg& e, bool add) {
                   AddRecord(list, base, PropertyType::L3_DAD_STATUS, e.SerializeAsString(),
                             ElementOp(add));
               });
}

void DecodeLogRouterPortDadRequest(const Input& in, CairnDBUpdateList* const* out) {
    Parsed<pb::LogRouterPortDadRequestMsg, pb::LogRouterPortDadRequestOpMsg> p(in);
    LogReceived("LOG_ROUTER_PORT_DAD_REQUEST", p);
    if (!p.isSet() && !p.isClear()) {
        return;
    }
    RecordBase base = L3Base(in, ObjectType::LOG_ROUTER_PORT_DAD_REQUEST, p);
    CairnDBUpdateList& list = *out[0];
    AddDadWholeObject(in, base, p, list);
    ExpandList(in, p.op.dad_requests(), p.isClear(), p.body.dad_requests(), p.old.dad_requests(),
               "LOG_ROUTER_PORT_DAD_REQUEST entry", [&](const pb::DadRequestEntryMsg& e, bool add) {
                   AddRecord(list, base, PropertyType::L3_DAD_REQ, e.SerializeAsString(),
                             ElementOp(add));
               });
}

}  // namespace CfgAgent::decode
