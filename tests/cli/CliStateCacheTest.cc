// The state-cache commands of the CLI server, driven by Debian's ovs-appctl, over a state cache fed
// through its tables' UpdateDesiredState / UpdateRuntimeState with records shaped as the decoder
// delivers them (the whole body, then one record per property holding only that field).
#include <gtest/gtest.h>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include <memory>
#include <nlohmann/json.hpp>

#include "cli/CliServer.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheL2Table.h"
#include "statecache/StateCacheL3Table.h"
#include "tests/statecache/Records.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace CfgAgent {
namespace {

namespace pb = orvane::ozy::cairndb;
using nlohmann::json;
using test::Id;
using test::Ip4;
using test::Ip6;
using test::Rec;
using test::Uuid;
using test::Whole;

// The records of one object as the decoder delivers them: the whole body, then, for every field
// but the id (field 1), a record of property `first + (field - 2)` holding only that field.
CairnDBUpdateList Decoded(ObjectType type, PropertyType first, const google::protobuf::Message& m,
                          uint64_t id) {
    CairnDBUpdateList out = {Whole(type, Id(id), m.SerializeAsString())};
    const auto* d = m.GetDescriptor();
    const auto* r = m.GetReflection();
    std::vector<const google::protobuf::FieldDescriptor*> fields;
    r->ListFields(m, &fields);
    for (const auto* f : fields) {
        if (f->number() == 1)
            continue;
        std::unique_ptr<google::protobuf::Message> only(m.New());
        only->CopyFrom(m);
        for (int i = 0; i < d->field_count(); ++i) {
            if (d->field(i) != f)
                only->GetReflection()->ClearField(only.get(), d->field(i));
        }
        auto p = static_cast<PropertyType>(static_cast<uint32_t>(first) + f->number() - 2);
        out.push_back(Rec(type, Id(id), p, only->SerializeAsString()));
    }
    return out;
}

std::string Text(uint64_t n) {
    return IdText(Id(n));
}

pb::KeyValueMsg Kv(const std::string& k, const std::string& v) {
    pb::KeyValueMsg kv;
    kv.set_key(k);
    kv.set_value(v);
    return kv;
}

// Ids: switches 1, 2; ports 10, 11; transport zone 50; attachment 60; transport node 70; host
// switch 80; mirror session 90; routing domain 100; VTEP group 200; router 300.
void Feed(StateCache& cache) {
    CairnDBUpdateList config;
    auto add = [&](const CairnDBUpdateList& l) { config.insert(config.end(), l.begin(), l.end()); };

    pb::LogSwitchConfigMsg ls1;
    *ls1.mutable_id() = Uuid(1);
    ls1.set_vni(5001);
    *ls1.mutable_transport_zone_id() = Uuid(50);
    *ls1.add_extra_configs() = Kv("com.orvane.ls.key", "v1");
    auto* att = ls1.add_attachment();
    *att->mutable_attachment_id() = Uuid(60);
    att->set_type(2);
    att->set_name("att-1");
    add(Decoded(ObjectType::LOG_SWITCH_CONFIG, PropertyType::LS_VNI, ls1, 1));
    pb::LogSwitchConfigMsg ls2;
    *ls2.mutable_id() = Uuid(2);
    ls2.set_vni(5002);
    add(Decoded(ObjectType::LOG_SWITCH_CONFIG, PropertyType::LS_VNI, ls2, 2));

    for (uint64_t n : {10, 11}) {
        pb::LogSwitchPortConfigMsg lsp;
        *lsp.mutable_id() = Uuid(n);
        *lsp.mutable_switch_id() = Uuid(1);
        lsp.mutable_attachment()->set_type(1);
        lsp.mutable_attachment()->set_vif_id("vif-" + std::to_string(n));
        lsp.mutable_attachment()->set_dvport_id("dvp-" + std::to_string(n));
        if (n == 10)
            *lsp.add_extra_configs() = Kv("com.orvane.port.extraConfig.x", "y");
        add(Decoded(ObjectType::LOG_SWITCH_PORT_CONFIG, PropertyType::LSP_SWITCH_ID, lsp, n));
    }

    pb::TransportNodeConfigMsg tn;
    *tn.mutable_id() = Uuid(70);
    auto* sw = tn.add_transport_switches();
    *sw->mutable_host_switch_id() = Uuid(80);
    sw->set_name("hs-0");
    *sw->add_transport_zone_ids() = Uuid(50);
    add(Decoded(ObjectType::TRANSPORT_NODE_CONFIG, PropertyType::TN_CERTIFICATE, tn, 70));

    pb::PortMirrorSessionMsg pms;
    *pms.mutable_id() = Uuid(90);
    auto* lp = pms.mutable_logical_port_mirror_session();
    *lp->add_sources() = Uuid(10);
    *lp->add_destinations() = Uuid(11);
    lp->set_direction(1);
    lp->set_snap_length(128);
    auto* l3 = pms.mutable_l3span_mirror_session();
    *l3->add_sources() = Uuid(10);
    *l3->mutable_destination_ip() = Ip4(0x0a000009);
    add(Decoded(ObjectType::PORT_MIRROR_SESSION, PropertyType::PMS_LOGICAL_PORT_MIRROR_SESSION, pms,
                90));
    cache.ConfigTable()->UpdateDesiredState(config, true);

    pb::VifStateMsg vif;
    *vif.mutable_id() = Uuid(10);
    vif.set_vif_id("vif-10");
    cache.ConfigTable()->UpdateRuntimeState(
        {Whole(ObjectType::VIF_STATE, Id(10), vif.SerializeAsString())}, false);

    constexpr ObjectType kFib = ObjectType::LOG_SWITCH_FIB;
    pb::VtepGroupMsg key;
    key.set_key(42);
    pb::VtepLabelMsg label;
    label.set_label(7);
    *label.mutable_vtep_ip() = Ip4(0x0a000001);
    cache.L2Table()->UpdateDesiredState(
        {Whole(kFib, Id(1), ""),
         Rec(kFib, Id(1), PropertyType::L2_VTEP, test::Vtep(Ip4(0x0a000001), 7)),
         Rec(kFib, Id(1), PropertyType::L2_VM_MAC, test::Mac(0x0000aabbccddeeffull)),
         Rec(kFib, Id(1), PropertyType::L2_VM_IP, test::VmIp(Ip4(0x0a010101), 0xaabbccddeeffull)),
         Rec(kFib, Id(1), PropertyType::L2_VM_IP, test::VmIp(Ip6(0xfe80000000000000ull, 1))),
         Whole(kFib, Id(2), ""), Whole(ObjectType::ROUTING_DOMAIN_FIB, Id(100), ""),
         Rec(ObjectType::ROUTING_DOMAIN_FIB, Id(100), PropertyType::L2_VTEP,
             test::Vtep(Ip4(0x0a000002))),
         Whole(ObjectType::VTEP_GROUP, Id(200), ""),
         Rec(ObjectType::VTEP_GROUP, Id(200), PropertyType::L2_VTEP_GROUP, key.SerializeAsString()),
         Rec(ObjectType::VTEP_GROUP, Id(200), PropertyType::L2_VTEP_GROUP_LABEL,
             label.SerializeAsString())},
        true);
    cache.L2Table()->UpdateRuntimeState({Whole(ObjectType::ROUTING_DOMAIN_VTEP, Id(100), ""),
                                         Rec(ObjectType::ROUTING_DOMAIN_VTEP, Id(100),
                                             PropertyType::L2_VTEP, test::Vtep(Ip4(0x0a000003)))},
                                        false);

    pb::LogRouterConfigMsg lr;
    *lr.mutable_id() = Uuid(300);
    lr.set_vdr_id(3);
    cache.L3Table()->UpdateDesiredState(
        {Whole(ObjectType::LOG_ROUTER_CONFIG, Id(300), lr.SerializeAsString())}, true);
}

class CliStateCacheTest : public ::testing::Test {
  protected:
    void Start(bool feed, bool withCache = true) {
        if (feed)
            Feed(*cache);
        CliContext ctx;
        if (withCache)
            ctx.stateCache = cache;
        ctx.dumps["cfgagent/config/uplink"] = [](const std::vector<std::string>&) {
            return std::string(R"([{"uplink": "uplink-1"}])");
        };
        server = ozy::RefPtr<CliServer>(new CliServer(ctx, dir.path() + "/cli.sock"));
        ASSERT_TRUE(server->Start());
    }
    void TearDown() override {
        if (server)
            server->Stop();
    }

    // Runs ovs-appctl; returns its exit status, stdout+stderr in `out`.
    int Appctl(const std::vector<std::string>& args, std::string* out) {
        std::vector<std::string> full = {"-t", server->socketPath()};
        full.insert(full.end(), args.begin(), args.end());
        auto r = test::RunProgram("/usr/bin/ovs-appctl", full);
        *out = r.output;
        return r.status;
    }
    // A command that must succeed with JSON.
    json Json(const std::vector<std::string>& args) {
        std::string out;
        int st = Appctl(args, &out);
        EXPECT_EQ(st, 0) << args[0] << ": " << out;
        json j = json::parse(out, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << args[0] << ": " << out;
        return j;
    }
    // A command that must fail with `reply`.
    void Fails(const std::vector<std::string>& args, const std::string& reply) {
        std::string out;
        EXPECT_EQ(Appctl(args, &out), 2) << args[0] << ": " << out;
        EXPECT_NE(out.find(reply), std::string::npos) << args[0] << ": " << out;
    }

    test::TempDir dir;
    test::LogCapture log{kLogInfo};
    ozy::RefPtr<StateCache> cache = ozy::MakeRef<StateCache>();
    ozy::RefPtr<CliServer> server;
};

TEST_F(CliStateCacheTest, WholeTableDumpsShowEachStore) {
    Start(true);
    json l2remote = Json({"cfgagent/l2/remote"});
    ASSERT_EQ(l2remote["objects"].size(), 4u) << l2remote;
    EXPECT_EQ(l2remote["objects"][0]["ObjectId"], Text(1));
    json l2local = Json({"cfgagent/l2/local"});
    ASSERT_EQ(l2local["objects"].size(), 1u);
    EXPECT_EQ(l2local["objects"][0]["ObjectType"], "ROUTING_DOMAIN_VTEP");
    json l3 = Json({"cfgagent/l3/remote"});
    EXPECT_NE(l3.dump().find(Text(300)), std::string::npos) << l3;
    json remote = Json({"cfgagent/config/remote"});
    EXPECT_EQ(remote["objects"].size(), 6u);
    json local = Json({"cfgagent/config/local"});
    ASSERT_EQ(local["objects"].size(), 1u);
    EXPECT_EQ(local["objects"][0]["body"]["vif_id"], "vif-10");

    json tables = Json({"cfgagent/cache/table"});
    EXPECT_EQ(tables["remote_config_cache"], remote);
    EXPECT_EQ(tables["local_config_cache"], local);
    EXPECT_EQ(tables["remote_l2_cache"], l2remote);
    EXPECT_EQ(tables["local_l2_cache"], l2local);
    EXPECT_EQ(tables["remote_l3_cache"], l3);
    EXPECT_EQ(tables.size(), 5u);

    json sizes = Json({"cfgagent/cache/size"});
    ASSERT_EQ(sizes.size(), 5u) << sizes;
    const char* names[] = {"RuntimeConfigCache", "DesiredConfigCache", "RuntimeL2Cache",
                           "DesiredL2Cache", "DesiredL3Cache"};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(sizes[i]["TableName"], names[i]);
        EXPECT_GT(sizes[i]["Size"].get<size_t>(), 0u) << names[i];
    }
}

TEST_F(CliStateCacheTest, ObjectsByKind) {
    Start(true);
    json ls = Json({"cfgagent/config/lswitch"});
    ASSERT_EQ(ls.size(), 2u);
    EXPECT_EQ(ls[0]["body"]["vni"], 5001);
    EXPECT_EQ(Json({"cfgagent/config/lport"}).size(), 2u);
    json tn = Json({"cfgagent/config/tnode"});
    ASSERT_EQ(tn.size(), 1u);
    EXPECT_EQ(tn[0]["body"]["transport_switches"][0]["name"], "hs-0");
    EXPECT_EQ(Json({"cfgagent/config/mirror"}).size(), 1u);
    // Kinds with nothing in the cache, and kinds the cache does not keep: an empty list.
    for (const char* kind :
         {"bcluster", "ipfix", "profile", "grelation", "container", "conduitkrn", "ciflist"}) {
        std::string out;
        ASSERT_EQ(Appctl({std::string("cfgagent/config/") + kind}, &out), 0) << kind << out;
        EXPECT_EQ(out, "[]\n") << kind;
    }
    // An application's dump takes the command over.
    EXPECT_EQ(Json({"cfgagent/config/uplink"})[0]["uplink"], "uplink-1");

    json lists = Json({"cfgagent/config/lsportlist"});
    ASSERT_EQ(lists.size(), 1u) << lists;
    EXPECT_EQ(lists[0]["Logical Switch UUID"], Text(1));
    EXPECT_EQ(lists[0]["Logical Ports"], json::array({Text(10), Text(11)}));
}

TEST_F(CliStateCacheTest, PortStatusMirrorSessionsAndExtraConfiguration) {
    Start(true);
    json status = Json({"cfgagent/lport/status"});
    ASSERT_EQ(status.size(), 2u) << status;
    EXPECT_EQ(status[0], json::object({{"Logical Port UUID", Text(10)},
                                       {"DVSwitch ID", IdText(Uuid(80).SerializeAsString())},
                                       {"Logical Switch", Text(1)},
                                       {"DVPort ID", "dvp-10"}}));
    EXPECT_EQ(status[1]["DVPort ID"], "dvp-11");

    json sessions = Json({"cfgagent/config/mirrorsession"});
    ASSERT_EQ(sessions.size(), 2u) << sessions;
    const json& port = sessions[0]["type"] == "logical_port" ? sessions[0] : sessions[1];
    const json& l3span = sessions[0]["type"] == "l3span" ? sessions[0] : sessions[1];
    EXPECT_EQ(port["key"], Text(90));
    EXPECT_EQ(port["direction"], 1);
    EXPECT_EQ(port["snap_length"], 128);
    EXPECT_EQ(port["source_port_id"], json::array({Text(10)}));
    EXPECT_EQ(port["destination_port_id"], json::array({Text(11)}));
    for (const char* field : {"source_switch_id", "source_vlan", "destination", "erspan_id",
                              "mirror_stack", "mirror_filter"}) {
        EXPECT_TRUE(port.contains(field)) << field;
    }
    EXPECT_EQ(l3span["destination"], "10.0.0.9");

    json lsp = Json({"cfgagent/lsp/extracfg"});
    ASSERT_EQ(lsp.size(), 1u) << lsp;
    EXPECT_EQ(lsp[0]["Logical Port UUID"], Text(10));
    EXPECT_EQ(lsp[0]["extra_configs"][0]["key"], "com.orvane.port.extraConfig.x");
    json ls = Json({"cfgagent/ls/extracfg"});
    ASSERT_EQ(ls.size(), 1u);
    EXPECT_EQ(ls[0]["extra_configs"][0]["value"], "v1");
    json att = Json({"cfgagent/ls/attachmentcfg"});
    ASSERT_EQ(att.size(), 1u);
    EXPECT_EQ(att[0]["attachments"][0]["name"], "att-1");
    EXPECT_EQ(att[0]["attachments"][0]["attachment_id"], IdText(Uuid(60).SerializeAsString()));
}

TEST_F(CliStateCacheTest, LogicalSwitchQueries) {
    Start(true);
    json all = Json({"cfgagent/statecache/logicalswitches"});
    ASSERT_EQ(all["logical_switches"].size(), 2u) << all;
    EXPECT_EQ(all["logical_switches"][1]["vni"], 5002);

    json byVni = Json({"cfgagent/statecache/logicalswitch", "vni", "5001"});
    EXPECT_EQ(byVni["logical_switch"]["id"], Text(1));
    json byUuid = Json({"cfgagent/statecache/logicalswitch", "uuid", Text(2)});
    EXPECT_EQ(byUuid["logical_switch"]["vni"], 5002);

    Fails({"cfgagent/statecache/logicalswitch", "uuid", "not-a-uuid"}, "Query logical switch fail");
    EXPECT_TRUE(log.ContainsWithCode("CLI: LS UUID invalid not-a-uuid", "LCP00703"));
    Fails({"cfgagent/statecache/logicalswitch", "vni", "7777"}, "Query logical switch fail");
    EXPECT_TRUE(log.ContainsWithCode("CLI: Get LS UUID for vni 7777 fail", "LCP00704"));
    Fails({"cfgagent/statecache/logicalswitch", "vni", "12ab"}, "Query logical switch fail");
    EXPECT_TRUE(log.ContainsWithCode("CLI: LS VNI invalid 12ab", "LCP00703"));
    Fails({"cfgagent/statecache/logicalswitch", "name", "x"}, "Query logical switch fail");
    EXPECT_TRUE(log.ContainsWithCode("CLI: Unknown LS id type name", "LCP00703"));
    Fails({"cfgagent/statecache/logicalswitch", "uuid", Text(9)}, "Query logical switch fail");
    EXPECT_TRUE(log.ContainsWithCode("CLI: Get logical switch fail for " + Text(9), "LCP00704"));
}

TEST_F(CliStateCacheTest, SwitchForwardingTables) {
    Start(true);
    json arp = Json({"cfgagent/statecache/L2arp", Text(1)});
    ASSERT_EQ(arp["arp_table"].size(), 1u) << arp;
    EXPECT_EQ(arp["arp_table"][0]["ip"], "10.1.1.1");
    EXPECT_EQ(arp["arp_table"][0]["mac"], "aa:bb:cc:dd:ee:ff");
    json nd = Json({"cfgagent/statecache/L2ND", Text(1)});
    ASSERT_EQ(nd["nd_table"].size(), 1u) << nd;
    EXPECT_EQ(nd["nd_table"][0]["ip"], "fe80::1");
    json mac = Json({"cfgagent/statecache/L2mac", Text(1)});
    ASSERT_EQ(mac["mac_table"].size(), 1u);
    EXPECT_EQ(mac["mac_table"][0]["vtep_ip"], "10.0.0.1");
    json vtep = Json({"cfgagent/statecache/L2vtep", "vni", "5001"});
    ASSERT_EQ(vtep["vtep_table"].size(), 1u) << vtep;
    EXPECT_EQ(vtep["vtep_table"][0]["label"], 7);
    EXPECT_EQ(Json({"cfgagent/statecache/L2vtep", "uuid", Text(1)}), vtep);
    // A switch without entries has empty tables.
    EXPECT_EQ(Json({"cfgagent/statecache/L2mac", Text(2)})["mac_table"], json::array());

    Fails({"cfgagent/statecache/L2arp", "zz"}, "Query logical switch ARP Table fail");
    EXPECT_TRUE(log.ContainsWithCode("CLI: LS UUID invalid zz", "LCP00703"));
    Fails({"cfgagent/statecache/L2ND", Text(9)}, "Query logical switch ARP Table fail");
    EXPECT_TRUE(log.ContainsWithCode("CLI: Get logical switch fail for " + Text(9), "LCP00704"));
    Fails({"cfgagent/statecache/L2mac", "1234"}, "Query logical switch MAC Table fail");
    Fails({"cfgagent/statecache/L2vtep", "vni", "5003"}, "Query logical switch VTEP Table fail");
    EXPECT_TRUE(log.ContainsWithCode("CLI: Get LS UUID for vni 5003 fail", "LCP00704"));
}

TEST_F(CliStateCacheTest, RoutingDomainsAndVtepGroups) {
    Start(true);
    json rds = Json({"cfgagent/statecache/routing-domains"});
    ASSERT_EQ(rds["remote_vteps"].size(), 1u) << rds;
    EXPECT_EQ(rds["remote_vteps"][0]["routing_domain"], Text(100));
    EXPECT_EQ(rds["remote_vteps"][0]["vteps"][0]["ip"], "10.0.0.2");
    ASSERT_EQ(rds["remote_tep_groups"].size(), 1u);
    EXPECT_EQ(rds["remote_tep_groups"][0]["key"], 42);

    json rd = Json({"cfgagent/statecache/routing-domain-uuid", Text(100)});
    EXPECT_EQ(rd["remote_vteps"][0]["ip"], "10.0.0.2");
    EXPECT_EQ(rd["local_vtep"][0]["ip"], "10.0.0.3");
    Fails({"cfgagent/statecache/routing-domain-uuid", "nope"}, "Query Routing Domain fail");
    EXPECT_TRUE(log.ContainsWithCode("CLI: RD UUID invalid nope", "LCP00703"));
    Fails({"cfgagent/statecache/routing-domain-uuid", Text(1)}, "Query RD VTEPs uuid fail");

    json dr = Json({"cfgagent/statecache/dr-vtep"});
    ASSERT_EQ(dr["local_vtep"].size(), 1u) << dr;
    EXPECT_EQ(dr["local_vtep"][0]["vteps"][0]["ip"], "10.0.0.3");
    json groups = Json({"cfgagent/statecache/tn-tep-group"});
    ASSERT_EQ(groups["vtep_groups"].size(), 1u) << groups;
    EXPECT_EQ(groups["vtep_groups"][0]["labels"][0]["label"], 7);
}

TEST_F(CliStateCacheTest, EmptyCacheQueriesFailAndDumpsAreEmpty) {
    Start(false);
    Fails({"cfgagent/statecache/logicalswitches"}, "Query logical switches fail");
    EXPECT_TRUE(log.ContainsWithCode("CLI: Get logical switches fail", "LCP00702"));
    Fails({"cfgagent/statecache/routing-domains"}, "Query RD VTEPs fail");
    Fails({"cfgagent/statecache/dr-vtep"}, "Query Local DR VTEP fail");
    Fails({"cfgagent/statecache/tn-tep-group"}, "Query VTEP GROUP fail");
    for (const char* dump :
         {"cfgagent/lport/status", "cfgagent/config/lswitch", "cfgagent/config/mirrorsession",
          "cfgagent/lsp/extracfg", "cfgagent/ls/extracfg", "cfgagent/ls/attachmentcfg",
          "cfgagent/config/lsportlist"}) {
        std::string out;
        ASSERT_EQ(Appctl({dump}, &out), 0) << dump << out;
        EXPECT_EQ(out, "[]\n") << dump;
    }
    EXPECT_EQ(Json({"cfgagent/config/remote"})["objects"], json::array());
}

TEST_F(CliStateCacheTest, ArgumentCountsAreEnforcedBeforeTheQuery) {
    Start(true);
    std::string out;
    EXPECT_EQ(Appctl({"cfgagent/statecache/L2arp"}, &out), 2);
    EXPECT_EQ(Appctl({"cfgagent/statecache/L2arp", Text(1), "extra"}, &out), 2);
    EXPECT_NE(out.find("command takes at most 1 arguments"), std::string::npos) << out;
    EXPECT_EQ(Appctl({"cfgagent/statecache/logicalswitch", "vni"}, &out), 2);
    EXPECT_EQ(Appctl({"cfgagent/cache/size", "x"}, &out), 2);
    EXPECT_FALSE(log.Contains("CLI: "));
    EXPECT_FALSE(log.Contains("cache size(bytes)"));
}

TEST_F(CliStateCacheTest, WithoutAStateCacheTheCommandsSaySo) {
    Start(false, false);
    Fails({"cfgagent/l2/remote"}, "State cache is not available");
    Fails({"cfgagent/statecache/L2arp", Text(1)}, "State cache is not available");
    EXPECT_EQ(Json({"cfgagent/config/uplink"})[0]["uplink"], "uplink-1");
}

}  // namespace
}  // namespace CfgAgent
