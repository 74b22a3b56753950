// The state-cache dumps and queries of the running agent, read with Debian's ovs-appctl after the
// objects were written to cairndb with cairnctl and reached the state cache through the agent's
// database client, decoder and dispatcher.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/AgentSystem.h"
#include "tests/support/Await.h"

namespace CfgAgent {
namespace {

using nlohmann::json;

constexpr const char* kLs1 = "00000000-0000-0000-0000-0000000000a1";
constexpr const char* kLs2 = "00000000-0000-0000-0000-0000000000a2";
constexpr const char* kLsp = "00000000-0000-0000-0000-0000000000b1";
constexpr const char* kLr = "00000000-0000-0000-0000-0000000000c1";
constexpr const char* kRd = "00000000-0000-0000-0000-0000000000c2";
constexpr const char* kTepGroup = "00000000-0000-0000-0000-0000000000c3";
constexpr const char* kAttachment = "00000000-0000-0000-0000-0000000000e0";
constexpr const char* kTz = "00000000-0000-0000-0000-0000000000e1";
constexpr const char* kTn = "00000000-0000-0000-0000-0000000000e2";
constexpr const char* kHostSwitch = "00000000-0000-0000-0000-0000000000e3";
constexpr const char* kMirror = "00000000-0000-0000-0000-0000000000e4";
constexpr const char* kBridgeCluster = "00000000-0000-0000-0000-0000000000e5";
constexpr const char* kIpfix = "00000000-0000-0000-0000-0000000000e6";
constexpr const char* kProfile = "00000000-0000-0000-0000-0000000000e7";
constexpr const char* kRelation = "00000000-0000-0000-0000-0000000000e8";
constexpr const char* kContainer = "00000000-0000-0000-0000-0000000000e9";

// 10.0.0.1, 10.0.0.2, 10.1.1.1 and the MAC aa:bb:cc:dd:ee:ff.
constexpr uint32_t kVtep1 = 0x0a000001;
constexpr uint32_t kVtep2 = 0x0a000002;
constexpr uint32_t kVm = 0x0a010101;
constexpr const char* kMac = "187723572702975";

std::string Objects() {
    json j = {
        {"LOG_SWITCH_CONFIG",
         {{{"id", kLs1},
           {"vni", 5001},
           {"transport_zone_id", kTz},
           {"extra_configs", {{{"key", "com.orvane.ls.extra"}, {"value", "on"}}}},
           {"attachment", {{{"attachment_id", kAttachment}, {"type", 2}, {"name", "att-1"}}}}},
          {{"id", kLs2}, {"vni", 5002}}}},
        {"LOG_SWITCH_PORT_CONFIG",
         {{{"id", kLsp},
           {"switch_id", kLs1},
           {"attachment", {{"type", 1}, {"vif_id", "vif-1"}, {"dvport_id", "17"}}},
           {"extra_configs", {{{"key", "com.orvane.port.extraConfig.x"}, {"value", "y"}}}}}}},
        {"TRANSPORT_NODE_CONFIG",
         {{{"id", kTn},
           {"transport_switches",
            {{{"host_switch_id", kHostSwitch},
              {"name", "hs-0"},
              {"transport_zone_ids", {kTz}}}}}}}},
        {"PORT_MIRROR_SESSION",
         {{{"id", kMirror},
           {"logical_port_mirror_session",
            {{"sources", {kLsp}},
             {"destinations", {kLsp}},
             {"direction", 1},
             {"snap_length", 128}}},
           {"l3span_mirror_session",
            {{"sources", {kLsp}}, {"destination_ip", {{"ipv4", kVtep2}}}}}}}},
        {"BRIDGE_CLUSTER_CONFIG",
         {{{"id", kBridgeCluster}, {"bridge_nodes", {{{"node_id", kTn}, {"priority", 3}}}}}}},
        {"IPFIX_CONFIGURATION", {{{"id", kIpfix}, {"switch_global_config", {{"max_flows", 99}}}}}},
        {"PROFILE",
         {{{"id", kProfile},
           {"profile_type", 1},
           {"ipfix_switch_profile", {{"observation_domain_id", 7}}}}}},
        {"ENTITY_GROUP_RELATION",
         {{{"id", kRelation},
           {"container_logical_switch_port",
            {{{"container_id", kContainer}, {"logical_switch_port_ids", {kLsp}}}}}}}},
        {"LOG_SWITCH_FIB",
         {{{"id", kLs1},
           {"vtep_entries", {{{"ip", {{"ipv4", kVtep1}}}, {"label", 7}}}},
           {"mac_entries", {{{"mac", kMac}, {"vtep_ip", {{"ipv4", kVtep1}}}}}},
           {"ip_entries",
            {{{"ip", {{"ipv4", kVm}}}, {"mac", kMac}},
             {{"ip", {{"ipv6", "/oAAAAAAAAAAAAAAAAAAAQ=="}}}, {"mac", kMac}}}}}}},
        {"ROUTING_DOMAIN_FIB",
         {{{"id", kRd}, {"vtep_entries", {{{"ip", {{"ipv4", kVtep2}}}, {"label", 9}}}}}}},
        {"VTEP_GROUP",
         {{{"id", kTepGroup},
           {"key", "42"},
           {"labels", {{{"label", 7}, {"vtep_ip", {{"ipv4", kVtep1}}}}}}}}},
        {"LOG_ROUTER_CONFIG", {{{"id", kLr}, {"vdr_id", 3}}}},
    };
    return j.dump();
}

class CliStateCacheSystemTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(sys.Start()); }

    json Json(const std::vector<std::string>& args) {
        auto r = sys.AgentCtl(args);
        EXPECT_EQ(r.status, 0) << args[0] << ": " << r.output;
        json j = json::parse(r.output, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << args[0] << ": " << r.output;
        return j;
    }
    // Awaits a successful answer that satisfies `pred`.
    bool Await(const std::vector<std::string>& args, const std::function<bool(const json&)>& pred) {
        return test::AwaitTrue(
            [&] {
                auto r = sys.AgentCtl(args);
                if (r.status != 0)
                    return false;
                json j = json::parse(r.output, nullptr, false);
                return !j.is_discarded() && pred(j);
            },
            std::chrono::seconds(60), std::chrono::milliseconds(100));
    }

    test::AgentSystem sys;
};

TEST_F(CliStateCacheSystemTest, DumpsAndQueriesShowWhatCairnctlApplied) {
    ASSERT_TRUE(sys.Apply(Objects()));
    // Everything arrives in one transaction: once the router is in the L3 table, all is there.
    ASSERT_TRUE(Await({"cfgagent/l3/remote"},
                      [](const json& j) { return j.dump().find(kLr) != std::string::npos; }));

    // Whole stores.
    json remote = Json({"cfgagent/config/remote"});
    EXPECT_EQ(remote["objects"].size(), 9u) << remote;
    json l2 = Json({"cfgagent/l2/remote"});
    EXPECT_EQ(l2["objects"].size(), 3u) << l2;
    json tables = Json({"cfgagent/cache/table"});
    EXPECT_EQ(tables["remote_config_cache"], remote);
    EXPECT_EQ(tables["remote_l2_cache"], l2);
    for (const char* key : {"local_config_cache", "local_l2_cache", "remote_l3_cache"})
        EXPECT_TRUE(tables.contains(key)) << key;
    EXPECT_EQ(Json({"cfgagent/config/local"}), tables["local_config_cache"]);
    EXPECT_EQ(Json({"cfgagent/l2/local"}), tables["local_l2_cache"]);
    json sizes = Json({"cfgagent/cache/size"});
    ASSERT_EQ(sizes.size(), 5u);
    EXPECT_EQ(sizes[1]["TableName"], "DesiredConfigCache");
    EXPECT_GT(sizes[1]["Size"].get<size_t>(), 0u);
    EXPECT_EQ(sizes[4]["TableName"], "DesiredL3Cache");
    EXPECT_GT(sizes[4]["Size"].get<size_t>(), 0u);

    // Objects by kind.
    struct Kind {
        const char* command;
        const char* id;
    } kinds[] = {
        {"cfgagent/config/lswitch", kLs1},     {"cfgagent/config/lport", kLsp},
        {"cfgagent/config/tnode", kTn},        {"cfgagent/config/bcluster", kBridgeCluster},
        {"cfgagent/config/mirror", kMirror},   {"cfgagent/config/ipfix", kIpfix},
        {"cfgagent/config/profile", kProfile}, {"cfgagent/config/grelation", kRelation},
    };
    for (const Kind& k : kinds) {
        json objects = Json({k.command});
        ASSERT_FALSE(objects.empty()) << k.command;
        EXPECT_EQ(objects[0]["ObjectId"], k.id) << k.command << objects;
    }
    // Kinds the state cache does not keep.
    for (const char* cmd : {"cfgagent/config/container", "cfgagent/config/conduitkrn",
                            "cfgagent/config/uplink", "cfgagent/config/ciflist"}) {
        EXPECT_EQ(Json({cmd}), json::array()) << cmd;
    }
    json lists = Json({"cfgagent/config/lsportlist"});
    EXPECT_EQ(lists, json::array({json::object({{"Logical Switch UUID", kLs1},
                                                {"Logical Ports", json::array({kLsp})}})}));

    json status = Json({"cfgagent/lport/status"});
    EXPECT_EQ(status, json::array({json::object({{"Logical Port UUID", kLsp},
                                                 {"DVSwitch ID", kHostSwitch},
                                                 {"Logical Switch", kLs1},
                                                 {"DVPort ID", "17"}})}));

    json sessions = Json({"cfgagent/config/mirrorsession"});
    ASSERT_EQ(sessions.size(), 2u) << sessions;
    for (const json& s : sessions) {
        EXPECT_EQ(s["key"], kMirror);
        if (s["type"] == "logical_port") {
            EXPECT_EQ(s["snap_length"], 128);
            EXPECT_EQ(s["source_port_id"], json::array({kLsp}));
        } else {
            EXPECT_EQ(s["type"], "l3span");
            EXPECT_EQ(s["destination"], "10.0.0.2");
        }
    }
    EXPECT_EQ(Json({"cfgagent/lsp/extracfg"})[0]["extra_configs"][0]["value"], "y");
    EXPECT_EQ(Json({"cfgagent/ls/extracfg"})[0]["extra_configs"][0]["key"], "com.orvane.ls.extra");
    EXPECT_EQ(Json({"cfgagent/ls/attachmentcfg"})[0]["attachments"][0]["attachment_id"],
              kAttachment);

    // State-cache queries.
    json switches = Json({"cfgagent/statecache/logicalswitches"});
    EXPECT_EQ(switches["logical_switches"].size(), 2u) << switches;
    EXPECT_EQ(Json({"cfgagent/statecache/logicalswitch", "vni", "5002"})["logical_switch"]["id"],
              kLs2);
    EXPECT_EQ(Json({"cfgagent/statecache/logicalswitch", "uuid", kLs1})["logical_switch"]["vni"],
              5001);
    json arp = Json({"cfgagent/statecache/L2arp", kLs1});
    ASSERT_EQ(arp["arp_table"].size(), 1u) << arp;
    EXPECT_EQ(arp["arp_table"][0]["ip"], "10.1.1.1");
    EXPECT_EQ(arp["arp_table"][0]["mac"], "aa:bb:cc:dd:ee:ff");
    EXPECT_EQ(Json({"cfgagent/statecache/L2ND", kLs1})["nd_table"][0]["ip"], "fe80::1");
    EXPECT_EQ(Json({"cfgagent/statecache/L2mac", kLs1})["mac_table"][0]["vtep_ip"], "10.0.0.1");
    EXPECT_EQ(Json({"cfgagent/statecache/L2vtep", "vni", "5001"})["vtep_table"][0]["label"], 7);
    json rds = Json({"cfgagent/statecache/routing-domains"});
    EXPECT_EQ(rds["remote_vteps"][0]["routing_domain"], kRd) << rds;
    EXPECT_EQ(rds["remote_tep_groups"][0]["key"], 42);
    EXPECT_EQ(Json({"cfgagent/statecache/routing-domain-uuid", kRd})["remote_vteps"][0]["label"],
              9);
    EXPECT_EQ(Json({"cfgagent/statecache/tn-tep-group"})["vtep_groups"][0]["tep_group"], kTepGroup);
    // No application reports a local DR VTEP in this agent.
    auto dr = sys.AgentCtl({"cfgagent/statecache/dr-vtep"});
    EXPECT_EQ(dr.status, 2);
    EXPECT_NE(dr.output.find("Query Local DR VTEP fail"), std::string::npos) << dr.output;
    // A switch with no forwarding table yet.
    auto vtep2 = sys.AgentCtl({"cfgagent/statecache/L2vtep", "vni", "5002"});
    EXPECT_EQ(vtep2.status, 2);
    EXPECT_NE(vtep2.output.find("Query logical switch VTEP Table fail"), std::string::npos);

    // A deletion reaches the dumps.
    ASSERT_EQ(sys.Cairnctl({"delete", "LOG_SWITCH_CONFIG", kLs2}).status, 0);
    EXPECT_TRUE(Await({"cfgagent/statecache/logicalswitches"},
                      [](const json& j) { return j["logical_switches"].size() == 1; }));
    auto gone = sys.AgentCtl({"cfgagent/statecache/logicalswitch", "vni", "5002"});
    EXPECT_EQ(gone.status, 2);
    EXPECT_TRUE(sys.AwaitAgentLog("CLI: Get LS UUID for vni 5002 fail"));
}

}  // namespace
}  // namespace CfgAgent
