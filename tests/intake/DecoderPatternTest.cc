// Decoder: whole-object patterns (W, O, P), the routing table, log texts, spans and bad input.
#include <gtest/gtest.h>

#include <map>

#include "platform/LibraryLogLevels.h"
#include "proto/cairndb_firewall.pb.h"
#include "proto/cairndb_si.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_system.pb.h"
#include "tests/intake/DecodeTestUtil.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

using OT = ObjectType;
using CT = ComponentType;
using PT = PropertyType;

pb::LogSwitchConfigMsg SampleSwitch() {
    pb::LogSwitchConfigMsg ls;
    *ls.mutable_id() = Uuid(7);
    ls.set_vni(5001);
    ls.set_admin_state_up(true);
    *ls.mutable_transport_zone_id() = Uuid(9);
    ls.add_vlan_trunk()->set_start(10);
    ls.set_switch_name("ls-web");
    ls.mutable_tenant_context()->set_org_id("org1");
    ls.mutable_tenant_context()->set_project_id("proj1");
    return ls;
}

TEST(DecoderPatternP, LogicalSwitchSetGivesWholeObjectThenNineteenProperties) {
    LogCapture logs;
    pb::LogSwitchConfigMsg ls = SampleSwitch();
    auto u = MakeUpdate(OT::LOG_SWITCH_CONFIG, pb::SET, &ls, nullptr, true);
    DecodeResult r = DecodeOne(u);
    ASSERT_TRUE(r.routed);
    EXPECT_EQ(r.demux, DemuxRoute::KIND);
    ASSERT_EQ(r.groupCount, 1u);
    EXPECT_EQ(GroupComponents(r, 0), std::vector<CT>{CT::CONFIGCACHE});
    const CairnDBUpdateList& recs = r.groups[0].records;
    ASSERT_EQ(recs.size(), 20u);

    const std::string id = Uuid(7).SerializeAsString();
    const std::string trace = TestSpan().SerializeAsString();
    const std::string tenant = ls.tenant_context().SerializeAsString();
    EXPECT_EQ(recs[0].property, PT::INVALID_PROPERTY);
    EXPECT_EQ(recs[0].op, Operation::OPERATION_UPDATE);
    EXPECT_EQ(recs[0].data, u.object_body());
    // Present: vni (10), admin_state_up (14), transport_zone_id (15), vlan_trunk (17),
    // switch_name (22), tenant_context (24).
    const std::map<uint32_t, bool> present = {{10, true}, {14, true}, {15, true},
                                              {17, true}, {22, true}, {24, true}};
    for (uint32_t i = 1; i < recs.size(); ++i) {
        const CairnDBUpdateMsg& rec = recs[i];
        const uint32_t prop = 9 + i;
        SCOPED_TRACE(PropertyTypeToString(prop));
        EXPECT_EQ(static_cast<uint32_t>(rec.property), prop);
        EXPECT_EQ(rec.objType, OT::LOG_SWITCH_CONFIG);
        EXPECT_EQ(rec.id, id);
        EXPECT_EQ(rec.traceContext(), trace);
        EXPECT_EQ(rec.tenantContext(), tenant);
        // One pair of contexts for the update's records, not a copy each.
        EXPECT_EQ(rec.sharedContexts(), recs[0].sharedContexts());
        if (present.count(prop) != 0) {
            EXPECT_EQ(rec.op, Operation::OPERATION_UPDATE);
            pb::LogSwitchConfigMsg part;
            ASSERT_TRUE(part.ParseFromString(rec.data));
            // Exactly one field is set in the property body.
            std::vector<const google::protobuf::FieldDescriptor*> fields;
            part.GetReflection()->ListFields(part, &fields);
            ASSERT_EQ(fields.size(), 1u);
            EXPECT_EQ(static_cast<uint32_t>(fields[0]->number()), prop - 10 + 2);
        } else {
            EXPECT_EQ(rec.op, Operation::OPERATION_DELETE);
            EXPECT_TRUE(rec.data.empty());
        }
    }
    pb::LogSwitchConfigMsg vni;
    ASSERT_TRUE(vni.ParseFromString(recs[1].data));
    EXPECT_EQ(vni.vni(), 5001u);
    EXPECT_TRUE(logs.Contains("Decoder: Received LOG_SWITCH_CONFIG msg (Operation SET): "));
}

TEST(DecoderPatternP, ClearGivesOneDeleteWithIdOfOldBody) {
    pb::LogSwitchConfigMsg ls = SampleSwitch();
    auto u = MakeUpdate(OT::LOG_SWITCH_CONFIG, pb::CLEAR, nullptr, &ls);
    DecodeResult r = DecodeOne(u);
    CairnDBUpdateList recs = AllRecords(r);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].op, Operation::OPERATION_DELETE);
    EXPECT_EQ(recs[0].property, PT::INVALID_PROPERTY);
    EXPECT_EQ(recs[0].id, Uuid(7).SerializeAsString());
    EXPECT_TRUE(recs[0].data.empty());
    EXPECT_EQ(recs[0].tenantContext(), ls.tenant_context().SerializeAsString());
    EXPECT_TRUE(recs[0].traceContext().empty());
}

TEST(DecoderPatternP, PortRealtimePropertiesFollowTheFeatureSwitch) {
    LogCapture logs;
    pb::LogSwitchPortConfigMsg port;
    *port.mutable_id() = Uuid(3);
    *port.mutable_switch_id() = Uuid(7);
    port.mutable_realtime_latency()->set_enabled(true);
    auto u = MakeUpdate(OT::LOG_SWITCH_PORT_CONFIG, pb::SET, &port);

    Decoder::SetRealtimeFeatureEnabled(false);
    CairnDBUpdateList off = AllRecords(DecodeOne(u));
    ASSERT_EQ(off.size(), 15u);
    EXPECT_EQ(off.back().property, PT::LSP_TENANT_CONTEXT);
    EXPECT_EQ(off[1].property, PT::LSP_SWITCH_ID);
    EXPECT_EQ(off[1].op, Operation::OPERATION_UPDATE);
    EXPECT_EQ(logs.Count("Decoder: Feature switch EozyDpVswitchRT is disabled"), 1u);

    Decoder::SetRealtimeFeatureEnabled(true);
    CairnDBUpdateList on = AllRecords(DecodeOne(u));
    Decoder::SetRealtimeFeatureEnabled(false);
    ASSERT_EQ(on.size(), 18u);
    EXPECT_EQ(on[15].property, PT::LSP_REALTIME_PROFINET);
    EXPECT_EQ(on[15].op, Operation::OPERATION_DELETE);
    EXPECT_EQ(on[16].property, PT::LSP_REALTIME_LATENCY);
    EXPECT_EQ(on[16].op, Operation::OPERATION_UPDATE);
    EXPECT_EQ(on[17].property, PT::LSP_REALTIME_PRP);
    EXPECT_EQ(logs.Count("Decoder: Feature switch EozyDpVswitchRT is disabled"), 1u);
}

TEST(DecoderPatternP, BlocksOfTheOtherPropertyTypes) {
    const struct {
        OT type;
        std::vector<PT> props;
    } cases[] = {
        {OT::TRANSPORT_NODE_CONFIG,
         {PT::TN_CERTIFICATE, PT::TN_TRANSPORT_SWITCHES, PT::TN_BFD, PT::TN_TYPE, PT::TN_LABEL}},
        {OT::BRIDGE_CLUSTER_CONFIG, {PT::BRIDGE_NODES, PT::BFD_HA}},
        {OT::PORT_MIRROR_SESSION,
         {PT::PMS_LOGICAL_PORT_MIRROR_SESSION, PT::PMS_UPLINK_PORT_MIRROR_SESSION,
          PT::PMS_RSPAN_SRC_MIRROR_SESSION, PT::PMS_RSPAN_DST_MIRROR_SESSION,
          PT::PMS_L3SPAN_MIRROR_SESSION}},
        {OT::IPFIX_CONFIGURATION, {PT::IPFIX_SWITCH_GLOBAL_CONFIG, PT::IPFIX_SWITCH_CONFIG_LEGACY}},
        {OT::DA_VIF, {PT::DA_VIF}},
        {OT::ENTITY_GROUP_RELATION, {PT::CONTINER_LOGICAL_SWITCH_PORT}},
        {OT::PROFILE, {PT::IPFIX_SWITCH_PROFILE, PT::IPFIX_COLLECTOR_PROFILE}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ObjectTypeName(static_cast<uint32_t>(c.type)));
        auto body = BodyOf(c.type, Uuid(1));
        if (c.type == OT::PROFILE)
            static_cast<pb::ProfileMsg&>(*body).set_profile_type(1);
        DecodeResult r = DecodeOne(MakeUpdate(c.type, pb::SET, body.get()));
        const CairnDBUpdateList& recs = r.groups[0].records;
        ASSERT_EQ(recs.size(), c.props.size() + 1);
        EXPECT_EQ(recs[0].property, PT::INVALID_PROPERTY);
        EXPECT_TRUE(recs[0].tenantContext().empty());
        for (size_t i = 0; i < c.props.size(); ++i) {
            EXPECT_EQ(recs[i + 1].property, c.props[i]);
            EXPECT_EQ(recs[i + 1].op, Operation::OPERATION_DELETE);  // nothing set in the bodies
        }
    }
}

TEST(DecoderPatternP, ProfileWithoutTypeAndDaVifTexts) {
    LogCapture logs;
    DecodeResult r =
        DecodeOne(MakeUpdate(OT::PROFILE, pb::SET, BodyOf(OT::PROFILE, Uuid(8)).get()));
    EXPECT_TRUE(r.routed);
    EXPECT_EQ(r.RecordCount(), 0u);
    EXPECT_TRUE(logs.Contains("Decoder: Received PROFILE msg without profile_type!"));

    pb::DaVifMsg davif;
    *davif.mutable_id() = Uuid(5);
    DecodeOne(MakeUpdate(OT::DA_VIF, pb::SET, &davif));
    EXPECT_TRUE(logs.Contains("Decoder: Received DA_VIF msg with no bindings"));
    davif.add_bindings()->set_vlan(3);
    davif.add_bindings()->set_vlan(4);
    r = DecodeOne(MakeUpdate(OT::DA_VIF, pb::SET, &davif));
    EXPECT_TRUE(logs.Contains("Decoder: Received DA_VIF msg with bindings size 2"));
    EXPECT_EQ(GroupComponents(r, 0), std::vector<CT>{CT::CONFIGAPP});
    ASSERT_EQ(r.RecordCount(), 2u);
    EXPECT_EQ(r.groups[0].records[1].op, Operation::OPERATION_UPDATE);
    DecodeOne(MakeUpdate(OT::DA_VIF, pb::CLEAR, nullptr, &davif));
    EXPECT_TRUE(logs.Contains("Decoder: Received DA_VIF msg with CLEAR op"));
}

TEST(DecoderPatternP, EntityGroupRelationGoesToCacheAsPropertiesAndToFirewallWhole) {
    pb::EntityGroupRelationMsg egr;
    *egr.mutable_id() = Uuid(6);
    egr.add_container_logical_switch_port()->add_logical_switch_port_ids()->set_right(1);
    auto u = MakeUpdate(OT::ENTITY_GROUP_RELATION, pb::SET, &egr, nullptr, true);
    DecodeResult r = DecodeOne(u);
    ASSERT_EQ(r.groupCount, 2u);
    EXPECT_EQ(GroupComponents(r, 0), std::vector<CT>{CT::CONFIGCACHE});
    EXPECT_EQ(GroupComponents(r, 1), (std::vector<CT>{CT::DFW, CT::LB}));
    ASSERT_EQ(r.groups[0].records.size(), 2u);
    ASSERT_EQ(r.groups[1].records.size(), 1u);
    EXPECT_EQ(r.groups[1].records[0].data, u.object_body());
    EXPECT_TRUE(r.groups[1].records[0].traceContext().empty());
    EXPECT_FALSE(r.groups[0].records[0].traceContext().empty());

    ComponentUpdateMap batch;
    Decoder::File(r, batch);
    ASSERT_EQ(batch.size(), 3u);
    EXPECT_EQ(batch[CT::CONFIGCACHE].size(), 2u);
    EXPECT_EQ(batch[CT::DFW].size(), 1u);
    EXPECT_EQ(batch[CT::LB], batch[CT::DFW]);
}

TEST(DecoderPatternW, SetCarriesNewBodyClearCarriesOldBodyOrWarns) {
    LogCapture logs;
    auto set = MakeUpdate(OT::RULE, pb::SET, BodyOf(OT::RULE, Uuid(42)).get(), nullptr, true);
    DecodeResult r = DecodeOne(set);
    EXPECT_EQ(GroupComponents(r, 0), (std::vector<CT>{CT::DFW, CT::IDS}));
    EXPECT_EQ(r.demux, DemuxRoute::GENERIC);
    ASSERT_EQ(r.RecordCount(), 1u);
    const CairnDBUpdateMsg& rec = r.groups[0].records[0];
    EXPECT_EQ(rec.op, Operation::OPERATION_UPDATE);
    EXPECT_EQ(rec.data, set.object_body());
    EXPECT_EQ(rec.id, Uuid(42).SerializeAsString());
    EXPECT_TRUE(rec.traceContext().empty());
    EXPECT_TRUE(logs.Contains("Decoder: Received DFW RuleMsg msg (Operation SET): "));

    r = DecodeOne(MakeUpdate(OT::RULE, pb::CLEAR, nullptr, nullptr));
    EXPECT_EQ(r.RecordCount(), 0u);
    EXPECT_TRUE(logs.Contains("Decoder: No old_object_body in CLEAR RuleMsg"));

    auto pool = BodyOf(OT::LB_POOL, Uuid(43));
    r = DecodeOne(MakeUpdate(OT::LB_POOL, pb::CLEAR, nullptr, nullptr));
    EXPECT_EQ(r.RecordCount(), 0u);
    EXPECT_TRUE(logs.Contains("Decoder: No old_object_body in CLEAR LbPoolMsg"));
    auto clear = MakeUpdate(OT::LB_POOL, pb::CLEAR, nullptr, pool.get());
    r = DecodeOne(clear);
    ASSERT_EQ(r.RecordCount(), 1u);
    EXPECT_EQ(r.groups[0].records[0].op, Operation::OPERATION_DELETE);
    EXPECT_EQ(r.groups[0].records[0].data, clear.old_object_body());
    EXPECT_EQ(r.groups[0].records[0].id, Uuid(43).SerializeAsString());
    EXPECT_TRUE(logs.Contains("Decoder: Received LbPoolMsg msg (Operation CLEAR): "));

    pb::RuleSectionMsg section;
    *section.mutable_id() = Uuid(44);
    section.set_priority(12);
    DecodeOne(MakeUpdate(OT::RULE_SECTION, pb::SET, &section));
    EXPECT_TRUE(logs.Contains(", pri: 12"));
    DecodeOne(
        MakeUpdate(OT::IDS_SIGNATURES, pb::SET, BodyOf(OT::IDS_SIGNATURES, Uuid(0x45)).get()));
    EXPECT_TRUE(
        logs.Contains("Decoder: Received IdsSignaturesMsg msg (Op: SET), ID: "
                      "00000000-0000-1111-0000-000000000045"));
    DecodeOne(
        MakeUpdate(OT::SI_SERVICE_CHAIN, pb::SET, &pb::SiServiceChainMsg::default_instance()));
    EXPECT_TRUE(logs.Contains("Decoder: Received SiServiceChainMsg (Operation SET): "));
}

TEST(DecoderPatternO, SetCarriesBodyClearIsEmptyAndOtherOpsGiveNothing) {
    LogCapture logs;
    pb::CcpSessionMsg ccp;
    *ccp.mutable_id() = Uuid(11);
    ccp.set_session_id(99);
    auto set = MakeUpdate(OT::CCP_SESSION, pb::SET, &ccp, nullptr, true);
    DecodeResult r = DecodeOne(set);
    EXPECT_EQ(GroupComponents(r, 0), (std::vector<CT>{CT::CONFIGAPP, CT::L2APP}));
    ASSERT_EQ(r.RecordCount(), 1u);
    EXPECT_EQ(r.groups[0].records[0].data, set.object_body());
    EXPECT_EQ(r.groups[0].records[0].traceContext(), TestSpan().SerializeAsString());
    EXPECT_TRUE(logs.Contains("Decoder: Received CCP_SESSION msg (Operation SET): "));

    r = DecodeOne(MakeUpdate(OT::CCP_SESSION, pb::CLEAR, nullptr, &ccp));
    ASSERT_EQ(r.RecordCount(), 1u);
    EXPECT_EQ(r.groups[0].records[0].op, Operation::OPERATION_DELETE);
    EXPECT_EQ(r.groups[0].records[0].id, Uuid(11).SerializeAsString());
    EXPECT_TRUE(r.groups[0].records[0].data.empty());

    r = DecodeOne(MakeUpdate(OT::CCP_SESSION, pb::UPDATE, &ccp));
    EXPECT_TRUE(r.routed);
    EXPECT_EQ(r.RecordCount(), 0u);

    DecodeOne(
        MakeUpdate(OT::LOG_ROUTER_CONFIG, pb::SET, BodyOf(OT::LOG_ROUTER_CONFIG, Uuid(12)).get()));
    EXPECT_TRUE(logs.Contains("Decoder: No Ndra Profile in LogRouterConfig."));
    EXPECT_TRUE(logs.Contains("Decoder: No Dad Profile in LogRouterConfig."));
    DecodeOne(
        MakeUpdate(OT::MULTICAST_CONFIG, pb::SET, BodyOf(OT::MULTICAST_CONFIG, Uuid(0x13)).get()));
    EXPECT_TRUE(
        logs.Contains("Decoder: Received MULTICAST_CONFIG msg (Operation SET): "
                      "00000000-0000-1111-0000-000000000013 : "));
}

TEST(DecoderRouting, EveryRoutedTypeReachesItsComponentsInOrder) {
    // Every routed type (in the order of the type list) and its components, in order; the other
    // types are not routed.
    const std::string expected =
        "LOG_SWITCH_CONFIG:CONFIGCACHE LOG_SWITCH_PORT_CONFIG:CONFIGCACHE "
        "LOG_ROUTER_CONFIG:L3CACHE LOG_ROUTER_PORT_CONFIG:L3CACHE "
        "TRANSPORT_NODE_CONFIG:CONFIGCACHE,CONFIGAPP BRIDGE_CLUSTER_CONFIG:CONFIGCACHE "
        "PREFIX_LIST:L3CACHE PORT_MIRROR_SESSION:CONFIGCACHE IPFIX_CONFIGURATION:CONFIGCACHE "
        "LOG_SWITCH_FIB:L2CACHE ROUTING_DOMAIN_FIB:L2CACHE RULE:DFW,IDS RULE_SECTION:DFW,IDS "
        "CONTAINER:DFW,LB,CONFIGAPP CONFIG_SPAN:DFW,CONFIGAPP FIB:L3CACHE "
        "CONDUIT_CHANNEL_VIF_CONFIG:CONFIGAPP CONDUIT_CHANNEL_GLOBAL_CONFIG:CONFIGAPP "
        "DA_VIF:CONFIGAPP LB_VIRTUAL_SERVER:LB LB_APPLICATION_PROFILE:LB "
        "LB_PERSISTENCE_PROFILE:LB LB_POOL:LB LB_SERVICE:LB ARP_TABLE_CONFIG:L3CACHE "
        "PROFILE:CONFIGCACHE CCP_SESSION:CONFIGAPP,L2APP SI_REDIRECTION_POLICY:SIAPP "
        "BARRIER:DFW,IDS,L3CACHE FLEET_CLUSTER_HOST_CONFIG:IDS,DFW CONTEXT_PROFILE:DFW,IDS "
        "ENTITY_GROUP_RELATION:CONFIGCACHE,DFW,LB "
        "GLOBAL_CONFIG:L3CACHE,L2APP,DFW,IDS,CONFIGAPP,TF SI_SERVICE_CHAIN:SIAPP "
        "SI_SERVICE_PATH:SIAPP NDRA_PROFILE_CONFIG:L3CACHE DAD_PROFILE_CONFIG:L3CACHE "
        "LOG_ROUTER_PORT_FIB_DAD_STATE:L3CACHE VTEP_GROUP:L2CACHE IDS_SIGNATURES:IDS "
        "MULTICAST_CONFIG:L3CACHE NSG_MEMBERSHIP_STATUS:CONFIGCACHE "
        "MULTICAST_STATIC_ROUTE:L3CACHE SECURITY_FEATURE_TOGGLE:IDS,DFW "
        "LOG_ROUTER_PORT_DAD_REQUEST:L3CACHE BFD_GLOBAL_CONFIG:BFD "
        "HOST_SWITCH_SMARTNIC_BACKING:CONFIGAPP,L2APP IP_REPUTATION_CONFIG:DFW "
        "IDS_THRESHOLD_CONFIG:IDS";
    std::string routed;
    size_t count = 0;
    const ObjectType* all = AllObjectTypeValues(&count);
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(ObjectTypeName(static_cast<uint32_t>(all[i])));
        ComponentType out[8];
        size_t n = Decoder::RoutedComponents(all[i], out, 8);
        for (size_t c = 0; c < n; ++c)
            routed += (c == 0 ? std::string(routed.empty() ? "" : " ") +
                                    ObjectTypeName(static_cast<uint32_t>(all[i])) + ":"
                              : ",") +
                      CompTypeToString(out[c]);
        if (n == 0) {
            pb::MonitorUpdateMsg u;
            u.set_object_type(static_cast<pb::ObjectType>(all[i]));
            DecodeResult r;
            EXPECT_FALSE(Decoder::Decode(u, &r));
            EXPECT_EQ(r.groupCount, 0u);
        }
    }
    EXPECT_EQ(routed, expected);
    // The Demux routes of the types that are not simply kind or generic.
    auto demuxOf = [](OT t) {
        pb::MonitorUpdateMsg u;
        u.set_object_type(static_cast<pb::ObjectType>(t));
        return DecodeOne(u).demux;
    };
    EXPECT_EQ(demuxOf(OT::CONDUIT_CHANNEL_VIF_CONFIG), DemuxRoute::NONE);
    EXPECT_EQ(demuxOf(OT::CONDUIT_CHANNEL_GLOBAL_CONFIG), DemuxRoute::NONE);
    EXPECT_EQ(demuxOf(OT::HOST_SWITCH_SMARTNIC_BACKING), DemuxRoute::KIND_FIRST);
    EXPECT_EQ(demuxOf(OT::BRIDGE_CLUSTER_CONFIG), DemuxRoute::GENERIC);
    EXPECT_EQ(demuxOf(OT::FIB), DemuxRoute::KIND);
    EXPECT_EQ(demuxOf(OT::CFG_AGENT_FAILOVER_ACK), DemuxRoute::NONE);
}

// A list filed object by object grows by a quarter, not twice: (records held, room, records
// added) -> room after.
TEST(DecoderRouting, FileGrowsAListByAQuarter) {
    struct Case {
        size_t size, capacity, adding, expected;
    };
    const Case cases[] = {
        {0, 0, 18, 18},       // an empty list: exactly its records
        {100, 100, 1, 125},   // full: a quarter more
        {100, 100, 50, 150},  // more than a quarter at once: exactly what is needed
        {100, 120, 20, 120},  // room enough: untouched
        {3, 3, 1, 4},         // short lists grow by what they need
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + "/" + std::to_string(c.capacity) + "+" +
                     std::to_string(c.adding));
        CairnDBUpdateList list;
        list.reserve(c.capacity);
        list.resize(c.size);
        ASSERT_EQ(list.capacity(), c.capacity);
        Decoder::ReserveForAppend(list, c.adding);
        EXPECT_EQ(list.capacity(), c.expected);
        EXPECT_EQ(list.size(), c.size);
    }
    // 600 logical ports of R records each (doubling from R would hold 1024 R).
    ComponentUpdateMap batch;
    size_t perPort = 0;
    for (uint64_t i = 0; i < 600; ++i) {
        pb::LogSwitchPortConfigMsg port;
        *port.mutable_id() = Uuid(100 + i);
        DecodeResult r = DecodeOne(MakeUpdate(OT::LOG_SWITCH_PORT_CONFIG, pb::SET, &port));
        perPort = r.RecordCount();
        Decoder::File(r, batch);
    }
    const CairnDBUpdateList& ports = batch[CT::CONFIGCACHE];
    ASSERT_GT(perPort, 1u);
    ASSERT_EQ(ports.size(), 600u * perPort);
    EXPECT_LE(ports.capacity(), ports.size() + ports.size() / 4);
}

TEST(DecoderRouting, FileCopiesIntoEveryComponentAndKeepsOrder) {
    DecodeResult r =
        DecodeOne(MakeUpdate(OT::GLOBAL_CONFIG, pb::SET, BodyOf(OT::GLOBAL_CONFIG, Uuid(1)).get()));
    ComponentUpdateMap batch;
    batch[CT::DFW].push_back(CairnDBUpdateMsg());
    Decoder::File(r, batch);
    ASSERT_EQ(batch.size(), 6u);
    for (auto& [comp, list] : batch) {
        SCOPED_TRACE(CompTypeToString(comp));
        ASSERT_FALSE(list.empty());
        EXPECT_EQ(list.back().objType, OT::GLOBAL_CONFIG);
        EXPECT_EQ(list.back().id, Uuid(1).SerializeAsString());
    }
    EXPECT_EQ(batch[CT::DFW].size(), 2u);
    EXPECT_EQ(batch[CT::DFW][0].objType, OT::OBJECT_TYPE_INVALID);
}

TEST(DecoderSpans, DecodeFunctionsOpenTheirSpans) {
    LogCapture logs;
    int saved = ozy::wft::library_log_level.load();
    ozy::wft::library_log_level.store(kLogDebug);
    pb::LogSwitchConfigMsg ls = SampleSwitch();
    DecodeOne(MakeUpdate(OT::LOG_SWITCH_CONFIG, pb::SET, &ls, nullptr, true));
    DecodeOne(MakeUpdate(OT::GLOBAL_CONFIG, pb::SET, &pb::GlobalConfigMsg::default_instance()));
    DecodeOne(MakeUpdate(OT::CONFIG_SPAN, pb::SET, &pb::ConfigSpanMsg::default_instance()));
    DecodeOne(MakeUpdate(OT::RULE, pb::SET, &pb::RuleMsg::default_instance()));
    ozy::wft::library_log_level.store(saved);
    EXPECT_TRUE(logs.Contains("wft: span Decoder.DecodeLogSwitchConfig start (1 parent contexts)"));
    EXPECT_TRUE(logs.Contains("wft: span Decoder.DecodeGlobalConfig start (0 parent contexts)"));
    EXPECT_TRUE(logs.Contains("wft: span Decoder.DecodeDFWConfigSpan start"));
    EXPECT_FALSE(logs.Contains("wft: span Decoder.DecodeDfwRule"));
}

TEST(DecoderBadInput, UnparsableBodiesAndOpsDecodeAsDefaults) {
    LogCapture logs;
    // An op message that does not parse is the default one: operation INVALID, no record.
    pb::MonitorUpdateMsg u;
    u.set_object_type(pb::LOG_SWITCH_CONFIG);
    u.set_op_msg(std::string("\xff\xff\xff", 3));
    u.set_object_body(SampleSwitch().SerializeAsString());
    DecodeResult r = DecodeOne(u);
    EXPECT_TRUE(r.routed);
    EXPECT_EQ(r.RecordCount(), 0u);

    // A body that does not parse is the default body: every property absent, empty id and data.
    u.set_op_msg(OpOf(OT::LOG_SWITCH_CONFIG, pb::SET)->SerializeAsString());
    u.set_object_body(std::string("\x0a\x05\x01", 3));
    r = DecodeOne(u);
    ASSERT_EQ(r.RecordCount(), 20u);
    EXPECT_TRUE(r.groups[0].records[0].id.empty());
    EXPECT_TRUE(r.groups[0].records[0].data.empty());
    for (size_t i = 1; i < 20; ++i) {
        EXPECT_EQ(r.groups[0].records[i].op, Operation::OPERATION_DELETE);
    }

    // A garbage old body on a W CLEAR gives a delete of the default object.
    u.set_object_type(pb::RULE);
    u.set_op_msg(OpOf(OT::RULE, pb::CLEAR)->SerializeAsString());
    u.clear_object_body();
    u.set_old_object_body(std::string("\x0a\xff", 2));
    r = DecodeOne(u);
    ASSERT_EQ(r.RecordCount(), 1u);
    EXPECT_EQ(r.groups[0].records[0].op, Operation::OPERATION_DELETE);
    EXPECT_TRUE(r.groups[0].records[0].data.empty());
}

}  // namespace
}  // namespace CfgAgent::test
