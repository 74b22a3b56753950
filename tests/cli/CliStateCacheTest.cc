// The state-cache commands of the CLI server, driven by Debian's ovs-appctl, over a state cache fed
// through its tables' UpdateDesiredState / UpdateRuntimeState with records shaped as the decoder
// delivers them (the whole body, then one record per property holding only that field).
#include <gtest/gtest.h>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/CliServer.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheL2Table.h"
#include "statecache/StateCacheL3Table.h"
#include "tests/statecache/Records.h"
#include "tests/support/CliCases.h"
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
    *lp->add_source_switches() = Uuid(1);
    lp->set_direction(1);
    lp->set_snap_length(128);
    auto* rspan = pms.mutable_rspan_dst_mirror_session();
    *rspan->add_sources() = Uuid(11);
    rspan->set_encapsulation_vlan(300);
    auto* l3 = pms.mutable_l3span_mirror_session();
    *l3->add_sources() = Uuid(10);
    *l3->mutable_destination_ip() = Ip4(0x0a000009);
    l3->set_erspan_id(7);
    l3->set_gre_key(99);
    l3->set_mirror_stack(2);
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
        ctx.pages.Add("cfgagent/config/uplink", "", 0, 0, [](const CliPages::Args&) {
            return CliReply::Ok(R"([{"uplink": "uplink-1"}])");
        });
        server = ozy::RefPtr<CliServer>(new CliServer(ctx, dir.path() + "/cli.sock"));
        ASSERT_TRUE(server->Start());
        appctl = test::AppctlOn(server->socketPath());
    }
    void TearDown() override {
        if (server)
            server->Stop();
    }
    // The reply to a command (arguments separated by spaces) as JSON.
    json Json(const std::string& command) {
        std::istringstream in(command);
        std::vector<std::string> args;
        for (std::string a; in >> a;)
            args.push_back(a);
        return json::parse(appctl(args).output, nullptr, false);
    }

    test::TempDir dir;
    test::LogCapture log{kLogInfo};
    ozy::RefPtr<StateCache> cache = ozy::MakeRef<StateCache>();
    ozy::RefPtr<CliServer> server;
    test::CliRunner appctl;
};

TEST_F(CliStateCacheTest, DumpsAndQueriesOfAFedCache) {
    Start(true);
    const std::string ls1 = Text(1), ls2 = Text(2), lsp10 = Text(10), lsp11 = Text(11);
    {
        SCOPED_TRACE("whole-table dumps show each store");
        test::ExpectCliJson(
            appctl, {{"cfgagent/l2/remote", "/objects#=4|/objects/0/ObjectId=" + ls1},
                     {"cfgagent/l2/local", "/objects#=1|/objects/0/ObjectType=ROUTING_DOMAIN_VTEP"},
                     {"cfgagent/l3/remote", ""},
                     {"cfgagent/config/remote", "/objects#=6"},
                     {"cfgagent/config/local", "/objects#=1|/objects/0/body/vif_id=vif-10"},
                     {"cfgagent/cache/table", "#=5"},
                     {"cfgagent/cache/size",
                      "#=5|/0/TableName=RuntimeConfigCache|/1/TableName=DesiredConfigCache|"
                      "/2/TableName=RuntimeL2Cache|/3/TableName=DesiredL2Cache|/4/"
                      "TableName=DesiredL3Cache"}});
        EXPECT_NE(Json("cfgagent/l3/remote").dump().find(Text(300)), std::string::npos);
        json tables = Json("cfgagent/cache/table");
        for (const auto& [key, command] :
             std::map<std::string, std::string>{{"remote_config_cache", "cfgagent/config/remote"},
                                                {"local_config_cache", "cfgagent/config/local"},
                                                {"remote_l2_cache", "cfgagent/l2/remote"},
                                                {"local_l2_cache", "cfgagent/l2/local"},
                                                {"remote_l3_cache", "cfgagent/l3/remote"}})
            EXPECT_EQ(tables[key], Json(command)) << key;
        for (const json& size : Json("cfgagent/cache/size"))
            EXPECT_GT(size["Size"].get<size_t>(), 0u) << size;
        // The memory section names every table with the bytes "cfgagent/cache/size" gives it.
        json memory = Json("cfgagent/cache/memory");
        std::map<std::string, size_t> accounts;
        for (const json& a : memory["components"])
            accounts[a["name"].get<std::string>()] = a["bytes"].get<size_t>();
        for (const json& size : Json("cfgagent/cache/size"))
            EXPECT_EQ(accounts[size["TableName"].get<std::string>()], size["Size"].get<size_t>())
                << size;
        EXPECT_GT(memory["allocator"]["in_use"].get<size_t>(), 0u) << memory;
    }
    {
        SCOPED_TRACE("objects by kind");
        test::ExpectCliJson(
            appctl, {{"cfgagent/config/lswitch", "#=2|/0/body/vni=5001"},
                     {"cfgagent/config/lport", "#=2"},
                     {"cfgagent/config/tnode", "#=1|/0/body/transport_switches/0/name=hs-0"},
                     {"cfgagent/config/mirror", "#=1"},
                     // An application's dump takes the command over.
                     {"cfgagent/config/uplink", "/0/uplink=uplink-1"},
                     {"cfgagent/config/lsportlist", "#=1|/0/Logical Switch UUID=" + ls1 +
                                                        "|/0/Logical Ports=[\"" + lsp10 + "\",\"" +
                                                        lsp11 + "\"]"}});
        // Kinds with nothing in the cache, and kinds the cache does not keep: an empty list.
        for (const char* kind :
             {"bcluster", "ipfix", "profile", "grelation", "container", "conduitkrn", "ciflist"})
            test::ExpectCli(appctl, {{std::string("cfgagent/config/") + kind, 0, "=[]\n"}});
    }
    {
        SCOPED_TRACE("port status, mirror sessions and extra configuration");
        json status = Json("cfgagent/lport/status");
        ASSERT_EQ(status.size(), 2u) << status;
        EXPECT_EQ(status[0], json::object({{"Logical Port UUID", lsp10},
                                           {"DVSwitch ID", IdText(Uuid(80).SerializeAsString())},
                                           {"Logical Switch", ls1},
                                           {"DVPort ID", "dvp-10"}}));
        EXPECT_EQ(status[1]["DVPort ID"], "dvp-11");
        json sessions = Json("cfgagent/config/mirrorsession");
        ASSERT_EQ(sessions.size(), 3u) << sessions;
        std::map<std::string, json> byType;
        for (const json& s : sessions)
            byType[s["type"].get<std::string>()] = s;
        // Every field with its value; what the session does not give is null.
        test::ExpectJsonAt(byType["logical_port"],
                           "/key=" + Text(90) + "|/direction=1|/snap_length=128|/source_port_id=[\"" +
                               lsp10 + "\"]|/destination_port_id=[\"" + lsp11 +
                               "\"]|/source_switch_id=[\"" + ls1 +
                               "\"]|/source_vlan=null|/source_pnics=[]|/destination=|"
                               "/erspan_id=null|/gre_key=null|/mirror_stack=null|"
                               "/mirror_filter=null");
        EXPECT_EQ(byType["logical_port"].size(), 14u) << byType["logical_port"];
        test::ExpectJsonAt(byType["rspan_dst"], "/source_port_id=[\"" + lsp11 +
                                                    "\"]|/source_switch_id=[]|/source_vlan=300");
        test::ExpectJsonAt(byType["l3span"], "/destination=10.0.0.9|/erspan_id=7|/gre_key=99|"
                                             "/mirror_stack=2|/source_port_id=[\"" +
                                                 lsp10 + "\"]");
        test::ExpectCliJson(
            appctl,
            {{"cfgagent/lsp/extracfg", "#=1|/0/Logical Port UUID=" + lsp10 +
                                           "|/0/extra_configs/0/key=com.orvane.port.extraConfig.x"},
             {"cfgagent/ls/extracfg", "#=1|/0/extra_configs/0/value=v1"},
             {"cfgagent/ls/attachmentcfg",
              "#=1|/0/attachments/0/name=att-1|/0/attachments/0/attachment_id=" +
                  IdText(Uuid(60).SerializeAsString())}});
    }
    {
        SCOPED_TRACE("logical switch queries and forwarding tables");
        test::ExpectCliJson(
            appctl,
            {{"cfgagent/statecache/logicalswitches",
              "/logical_switches#=2|/logical_switches/1/vni=5002"},
             {"cfgagent/statecache/logicalswitch vni 5001", "/logical_switch/id=" + ls1},
             {"cfgagent/statecache/logicalswitch uuid " + ls2, "/logical_switch/vni=5002"},
             {"cfgagent/statecache/L2arp " + ls1,
              "/arp_table#=1|/arp_table/0/ip=10.1.1.1|/arp_table/0/mac=aa:bb:cc:dd:ee:ff"},
             {"cfgagent/statecache/L2ND " + ls1, "/nd_table#=1|/nd_table/0/ip=fe80::1"},
             {"cfgagent/statecache/L2mac " + ls1, "/mac_table#=1|/mac_table/0/vtep_ip=10.0.0.1"},
             {"cfgagent/statecache/L2vtep vni 5001", "/vtep_table#=1|/vtep_table/0/label=7"},
             // A switch without entries has empty tables.
             {"cfgagent/statecache/L2mac " + ls2, "/mac_table=[]"}});
        EXPECT_EQ(Json("cfgagent/statecache/L2vtep uuid " + ls1),
                  Json("cfgagent/statecache/L2vtep vni 5001"));
    }
    {
        SCOPED_TRACE("routing domains and VTEP groups");
        test::ExpectCliJson(
            appctl,
            {{"cfgagent/statecache/routing-domains",
              "/remote_vteps#=1|/remote_vteps/0/routing_domain=" + Text(100) +
                  "|/remote_vteps/0/vteps/0/ip=10.0.0.2|/remote_tep_groups#=1|"
                  "/remote_tep_groups/0/key=42"},
             {"cfgagent/statecache/routing-domain-uuid " + Text(100),
              "/remote_vteps/0/ip=10.0.0.2|/local_vtep/0/ip=10.0.0.3"},
             {"cfgagent/statecache/dr-vtep", "/local_vtep#=1|/local_vtep/0/vteps/0/ip=10.0.0.3"},
             {"cfgagent/statecache/tn-tep-group",
              "/vtep_groups#=1|/vtep_groups/0/labels/0/label=7"}});
    }
    {
        SCOPED_TRACE("bad queries fail and log their codes");
        test::ExpectCli(
            appctl,
            {{"cfgagent/statecache/logicalswitch uuid not-a-uuid", 2, "Query logical switch fail"},
             {"cfgagent/statecache/logicalswitch vni 7777", 2, "Query logical switch fail"},
             {"cfgagent/statecache/logicalswitch vni 12ab", 2, "Query logical switch fail"},
             {"cfgagent/statecache/logicalswitch name x", 2, "Query logical switch fail"},
             {"cfgagent/statecache/logicalswitch uuid " + Text(9), 2, "Query logical switch fail"},
             {"cfgagent/statecache/L2arp zz", 2, "Query logical switch ARP Table fail"},
             {"cfgagent/statecache/L2ND " + Text(9), 2, "Query logical switch ARP Table fail"},
             {"cfgagent/statecache/L2mac 1234", 2, "Query logical switch MAC Table fail"},
             {"cfgagent/statecache/L2vtep vni 5003", 2, "Query logical switch VTEP Table fail"},
             {"cfgagent/statecache/routing-domain-uuid nope", 2, "Query Routing Domain fail"},
             {"cfgagent/statecache/routing-domain-uuid " + ls1, 2, "Query RD VTEPs uuid fail"}});
        for (const auto& [text, code] : std::vector<std::pair<std::string, const char*>>{
                 {"CLI: LS UUID invalid not-a-uuid", "LCP00703"},
                 {"CLI: Get LS UUID for vni 7777 fail", "LCP00704"},
                 {"CLI: LS VNI invalid 12ab", "LCP00703"},
                 {"CLI: Unknown LS id type name", "LCP00703"},
                 {"CLI: Get logical switch fail for " + Text(9), "LCP00704"},
                 {"CLI: LS UUID invalid zz", "LCP00703"},
                 {"CLI: Get LS UUID for vni 5003 fail", "LCP00704"},
                 {"CLI: RD UUID invalid nope", "LCP00703"}})
            EXPECT_TRUE(log.ContainsWithCode(text, code)) << text;
    }
    {
        SCOPED_TRACE("argument counts are enforced before the query");
        log.Clear();
        test::ExpectCli(appctl, {{"cfgagent/statecache/L2arp", 2, ""},
                                 {"cfgagent/statecache/L2arp " + ls1 + " extra", 2,
                                  "command takes at most 1 arguments"},
                                 {"cfgagent/statecache/logicalswitch vni", 2, ""},
                                 {"cfgagent/cache/size x", 2, ""}});
        EXPECT_FALSE(log.Contains("CLI: "));
        EXPECT_FALSE(log.Contains("cache size(bytes)"));
    }
}

TEST_F(CliStateCacheTest, EmptyCacheQueriesFailAndDumpsAreEmpty) {
    Start(false);
    test::ExpectCli(appctl,
                    {{"cfgagent/statecache/logicalswitches", 2, "Query logical switches fail"},
                     {"cfgagent/statecache/routing-domains", 2, "Query RD VTEPs fail"},
                     {"cfgagent/statecache/dr-vtep", 2, "Query Local DR VTEP fail"},
                     {"cfgagent/statecache/tn-tep-group", 2, "Query VTEP GROUP fail"}});
    EXPECT_TRUE(log.ContainsWithCode("CLI: Get logical switches fail", "LCP00702"));
    for (const char* dump :
         {"cfgagent/lport/status", "cfgagent/config/lswitch", "cfgagent/config/mirrorsession",
          "cfgagent/lsp/extracfg", "cfgagent/ls/extracfg", "cfgagent/ls/attachmentcfg",
          "cfgagent/config/lsportlist"})
        test::ExpectCli(appctl, {{dump, 0, "=[]\n"}});
    test::ExpectCliJson(appctl, {{"cfgagent/config/remote", "/objects=[]"}});
}

TEST_F(CliStateCacheTest, WithoutAStateCacheTheCommandsSaySo) {
    Start(false, false);
    test::ExpectCli(appctl,
                    {{"cfgagent/l2/remote", 2, "State cache is not available"},
                     {"cfgagent/statecache/L2arp " + Text(1), 2, "State cache is not available"}});
    test::ExpectCliJson(appctl, {{"cfgagent/config/uplink", "/0/uplink=uplink-1"}});
}

}  // namespace
}  // namespace CfgAgent
