// The running agent's CLI, driven by Debian's ovs-appctl, in one scenario: the three processes
// answer; the command list; the log-level setter with a bad name and with "off"; argument counts
// refused before any handler; the simulation command; state-cache queries with bad arguments on
// an empty cache; then the state-cache dumps and queries after objects were written to cairndb
// with cairnctl (and reached the state cache through the database client, decoder and
// dispatcher); last, a clean stop while clients are connected.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/AgentSystem.h"
#include "tests/support/CliCases.h"
#include "tests/support/UnixClient.h"

namespace CfgAgent {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

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

// The agent's log line holding `text` (empty when there is none).
std::string LineWith(const std::string& log, const std::string& text, size_t from = 0) {
    size_t pos = log.find(text, from);
    if (pos == std::string::npos)
        return std::string();
    size_t begin = log.rfind('\n', pos);
    begin = begin == std::string::npos ? 0 : begin + 1;
    size_t end = log.find('\n', pos);
    return log.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

TEST(CliSystemTest, CommandsRefusalsAndStateCacheQueriesOfARunningAgent) {
    test::AgentSystemOptions options;
    options.agentLogLevel = 4;  // info, the level of a production agent
    test::AgentSystem sys(options);
    ASSERT_TRUE(sys.Start());
    test::CliRunner ctl = [&](const std::vector<std::string>& args) { return sys.AgentCtl(args); };
    auto Json = [&](const std::vector<std::string>& args) {
        json j = sys.AgentJson(args);
        EXPECT_FALSE(j.is_null()) << args[0];
        return j;
    };
    {
        SCOPED_TRACE("the emulator and cairndb answer beside the agent");
        nlohmann::json kcp = sys.EmuDump("kcp");
        EXPECT_TRUE(kcp.contains("session")) << kcp;
        auto ping = sys.Cairnctl({"ping"});
        EXPECT_EQ(ping.status, 0) << ping.output;
    }
    {
        SCOPED_TRACE("every command family is listed");
        auto r = sys.AgentCtl({"list-commands"});
        ASSERT_EQ(r.status, 0) << r.output;
        std::istringstream listed(
            "cfgagent/lport/status cfgagent/l2/local cfgagent/l2/remote cfgagent/l3/remote "
            "cfgagent/config/local cfgagent/config/remote cfgagent/cache/table cfgagent/cache/size "
            "cfgagent/config/lswitch cfgagent/config/lport cfgagent/config/tnode "
            "cfgagent/config/bcluster cfgagent/config/mirror cfgagent/config/ipfix "
            "cfgagent/config/profile cfgagent/config/grelation cfgagent/config/container "
            "cfgagent/config/conduitkrn cfgagent/config/uplink cfgagent/config/lsportlist "
            "cfgagent/config/ciflist cfgagent/config/mirrorsession cfgagent/lsp/extracfg "
            "cfgagent/ls/extracfg cfgagent/ls/attachmentcfg cfgagent/statecache/logicalswitches "
            "cfgagent/statecache/logicalswitch cfgagent/statecache/L2arp cfgagent/statecache/L2mac "
            "cfgagent/statecache/L2vtep cfgagent/statecache/L2ND "
            "cfgagent/statecache/routing-domains cfgagent/statecache/routing-domain-uuid "
            "cfgagent/statecache/dr-vtep cfgagent/statecache/tn-tep-group cfgagent/set/loglevel "
            "cfgagent/get/loglevel cfgagent/set-wft/tracelevel cfgagent/get-wft/stats "
            "cfgagent/set-simulate/out-of-sync dfw/vif si/get-ordered-service-paths ids/get/status "
            "cfgagent/smartnic/rtf cfgagent/bfd");
        for (std::string cmd; listed >> cmd;)
            EXPECT_THAT(r.output, HasSubstr("  " + cmd + " "));
        EXPECT_THAT(LineWith(r.output, "  cfgagent/set/loglevel "), HasSubstr(" LOG_LEVEL"));
    }
    {
        SCOPED_TRACE("log level refuses unknown names and off silences the agent");
        test::ExpectCli(
            ctl, {{"cfgagent/set/loglevel verbose", 2,
                   "Setting cfgagent logging level from info to verbose failed"},
                  {"cfgagent/get/loglevel", 0, "=Current cfgagent logging level is: info\n"}});
        ASSERT_TRUE(sys.AwaitAgentLog("CliServer: getting log level info"));
        test::ExpectCli(ctl, {{"cfgagent/set/loglevel off", 0,
                               "=Setting cfgagent logging level from info to off successfully\n"}});
        size_t silent = sys.AgentLogSize();
        // Each of these logs at info or error when the agent logs at all.
        test::ExpectCli(ctl,
                        {{"cfgagent/get/loglevel", 0, "=Current cfgagent logging level is: off\n"},
                         {"cfgagent/set-simulate/out-of-sync l3", 2, ""},
                         {"cfgagent/statecache/L2arp bad", 2, ""},
                         {"cfgagent/set/loglevel info", 0, ""},
                         {"cfgagent/get/loglevel", 0, ""}});
        // The line after the level came back is there; nothing the handlers logged while off is.
        ASSERT_TRUE(sys.AwaitAgentLog("CliServer: getting log level info", std::chrono::seconds(60),
                                      silent));
        std::string log = sys.Agent()->Output().substr(silent);
        for (const char* text : {"CliServer: getting log level off", "unknown vertical name",
                                 "LS UUID invalid", "setting log level from off"})
            EXPECT_THAT(log, Not(HasSubstr(text)));
    }
    {
        SCOPED_TRACE("too many arguments are refused before the handler");
        size_t from = sys.AgentLogSize();
        test::ExpectCli(
            ctl,
            {{"cfgagent/get/loglevel extra", 2, "command takes at most 0 arguments"},
             {"cfgagent/statecache/L2mac a b", 2, "command takes at most 1 arguments"},
             {"cfgagent/statecache/logicalswitch vni", 2, "command requires at least 2 arguments"},
             // A handler that runs logs; the refused ones before it did not.
             {"cfgagent/get/loglevel", 0, ""}});
        ASSERT_TRUE(
            sys.AwaitAgentLog("CliServer: getting log level info", std::chrono::seconds(60), from));
        std::string log = sys.Agent()->Output().substr(from);
        EXPECT_EQ(log.find("CliServer: getting log level"),
                  log.rfind("CliServer: getting log level"));
        EXPECT_THAT(log, Not(HasSubstr("CLI: ")));
    }
    {
        SCOPED_TRACE("an unknown vertical fails");
        size_t from = sys.AgentLogSize();
        test::ExpectCli(ctl, {{"cfgagent/set-simulate/out-of-sync l3", 2,
                               "Setting simulate out of sync for vertical l3 failed"}});
        EXPECT_TRUE(sys.AwaitAgentLog("CliServer: setting simulate out of sync for vertical l3",
                                      std::chrono::seconds(60), from));
        EXPECT_TRUE(sys.AwaitAgentLog("CliServer: unknown vertical name l3.",
                                      std::chrono::seconds(60), from));
    }
    {
        // The configuration application answers the simulated DP Status OutOfSync by closing its
        // KCP session and opening a new one.
        SCOPED_TRACE("simulated out-of-sync of config opens a new KCP session");
        ASSERT_TRUE(sys.AwaitEmu(
            "kcp", [](const nlohmann::json& d) { return d["session"]["state"] == "synced"; }));
        nlohmann::json before = sys.EmuDump("kcp")["session"]["id"];
        test::ExpectCli(ctl,
                        {{"cfgagent/set-simulate/out-of-sync config", 0,
                          "=Setting simulate out of sync for vertical config successfully\n"}});
        EXPECT_TRUE(sys.AwaitEmu("kcp", [&](const nlohmann::json& d) {
            return d["session"]["id"] != before && d["session"]["state"] == "synced";
        }));
    }
    {
        SCOPED_TRACE("bad query arguments on an empty cache are logged with their codes");
        const std::string uuid = "00000000-0000-0000-0000-0000000000f1";
        struct Case {
            test::CliCase cli;
            std::string line;
            const char* code;
        } cases[] = {
            {{"cfgagent/statecache/L2arp not-a-uuid", 2, "Query logical switch ARP Table fail"},
             "CLI: LS UUID invalid not-a-uuid",
             "LCP00703"},
            {{"cfgagent/statecache/logicalswitch vni 424242", 2, "Query logical switch fail"},
             "CLI: Get LS UUID for vni 424242 fail",
             "LCP00704"},
            {{"cfgagent/statecache/logicalswitch mac x", 2, "Query logical switch fail"},
             "CLI: Unknown LS id type mac",
             "LCP00703"},
            {{"cfgagent/statecache/logicalswitch uuid " + uuid, 2, "Query logical switch fail"},
             "CLI: Get logical switch fail for " + uuid,
             "LCP00704"},
            {{"cfgagent/statecache/routing-domain-uuid 12345", 2, "Query Routing Domain fail"},
             "CLI: RD UUID invalid 12345",
             "LCP00703"},
            {{"cfgagent/statecache/logicalswitches", 2, "Query logical switches fail"},
             "CLI: Get logical switches fail",
             "LCP00702"},
        };
        for (const Case& c : cases) {
            size_t from = sys.AgentLogSize();
            test::ExpectCli(ctl, {c.cli});
            ASSERT_TRUE(sys.AwaitAgentLog(c.line, std::chrono::seconds(60), from)) << c.line;
            std::string line = LineWith(sys.Agent()->Output(), c.line, from);
            EXPECT_THAT(line, HasSubstr(std::string("errorCode=\"") + c.code + "\""));
        }
        // The agent still answers.
        EXPECT_EQ(sys.AgentCtl({"cfgagent/get/loglevel"}).status, 0);
    }
    {
        SCOPED_TRACE("dumps and queries show what cairnctl applied");
        ASSERT_TRUE(sys.Apply(Objects()));
        // Everything arrives in one transaction: once the router is in the L3 table, all is there.
        ASSERT_TRUE(sys.AwaitAgentJson({"cfgagent/l3/remote"}, [](const json& j) {
            return j.dump().find(kLr) != std::string::npos;
        }));

        // Whole stores.
        json tables = Json({"cfgagent/cache/table"});
        for (const auto& [key, command] :
             std::map<std::string, std::string>{{"remote_config_cache", "cfgagent/config/remote"},
                                                {"local_config_cache", "cfgagent/config/local"},
                                                {"remote_l2_cache", "cfgagent/l2/remote"},
                                                {"local_l2_cache", "cfgagent/l2/local"}})
            EXPECT_EQ(tables[key], Json({command})) << key;
        EXPECT_TRUE(tables.contains("remote_l3_cache"));
        const std::string ls1 = kLs1, lsp = kLsp;
        test::ExpectCliJson(
            ctl, {{"cfgagent/config/remote", "/objects#=9"},
                  {"cfgagent/l2/remote", "/objects#=3"},
                  {"cfgagent/cache/size",
                   "#=5|/1/TableName=DesiredConfigCache|/4/TableName=DesiredL3Cache"},
                  // Objects by kind.
                  {"cfgagent/config/lswitch", "/0/ObjectId=" + ls1},
                  {"cfgagent/config/lport", "/0/ObjectId=" + lsp},
                  {"cfgagent/config/tnode", "/0/ObjectId=" + std::string(kTn)},
                  {"cfgagent/config/bcluster", "/0/ObjectId=" + std::string(kBridgeCluster)},
                  {"cfgagent/config/mirror", "/0/ObjectId=" + std::string(kMirror)},
                  {"cfgagent/config/ipfix", "/0/ObjectId=" + std::string(kIpfix)},
                  {"cfgagent/config/profile", "/0/ObjectId=" + std::string(kProfile)},
                  {"cfgagent/config/grelation", "/0/ObjectId=" + std::string(kRelation)},
                  // Kinds the state cache does not keep.
                  {"cfgagent/config/container", "=[]"},
                  {"cfgagent/config/conduitkrn", "=[]"},
                  {"cfgagent/config/uplink", "=[]"},
                  {"cfgagent/config/ciflist", "=[]"},
                  {"cfgagent/config/lsportlist", "=[{\"Logical Switch UUID\":\"" + ls1 +
                                                     "\",\"Logical Ports\":[\"" + lsp + "\"]}]"},
                  {"cfgagent/lport/status",
                   "=[{\"Logical Port UUID\":\"" + lsp + "\",\"DVSwitch ID\":\"" + kHostSwitch +
                       "\",\"Logical Switch\":\"" + ls1 + "\",\"DVPort ID\":\"17\"}]"},
                  {"cfgagent/config/mirrorsession", "#=2"},
                  {"cfgagent/lsp/extracfg", "/0/extra_configs/0/value=y"},
                  {"cfgagent/ls/extracfg", "/0/extra_configs/0/key=com.orvane.ls.extra"},
                  {"cfgagent/ls/attachmentcfg",
                   "/0/attachments/0/attachment_id=" + std::string(kAttachment)},
                  // State-cache queries.
                  {"cfgagent/statecache/logicalswitches", "/logical_switches#=2"},
                  {"cfgagent/statecache/logicalswitch vni 5002",
                   "/logical_switch/id=" + std::string(kLs2)},
                  {"cfgagent/statecache/logicalswitch uuid " + ls1, "/logical_switch/vni=5001"},
                  {"cfgagent/statecache/L2arp " + ls1,
                   "/arp_table#=1|/arp_table/0/ip=10.1.1.1|/arp_table/0/mac=aa:bb:cc:dd:ee:ff"},
                  {"cfgagent/statecache/L2ND " + ls1, "/nd_table/0/ip=fe80::1"},
                  {"cfgagent/statecache/L2mac " + ls1, "/mac_table/0/vtep_ip=10.0.0.1"},
                  {"cfgagent/statecache/L2vtep vni 5001", "/vtep_table/0/label=7"},
                  {"cfgagent/statecache/routing-domains",
                   "/remote_vteps/0/routing_domain=" + std::string(kRd) +
                       "|/remote_tep_groups/0/key=42"},
                  {"cfgagent/statecache/routing-domain-uuid " + std::string(kRd),
                   "/remote_vteps/0/label=9"},
                  {"cfgagent/statecache/tn-tep-group",
                   "/vtep_groups/0/tep_group=" + std::string(kTepGroup)}});
        for (const json& size : Json({"cfgagent/cache/size"})) {
            if (size["TableName"] == "DesiredConfigCache" ||
                size["TableName"] == "DesiredL3Cache") {
                EXPECT_GT(size["Size"].get<size_t>(), 0u) << size;
            }
        }
        // The memory section: the configuration application (its VIF and conversion tables, the
        // port above among them) and the database client's replica beside the tables.
        std::map<std::string, size_t> accounts;
        json memory = Json({"cfgagent/cache/memory"});
        for (const json& a : memory["components"])
            accounts[a["name"].get<std::string>()] = a["bytes"].get<size_t>();
        EXPECT_GT(accounts["ConfigApp"], 0u) << memory;
        EXPECT_GT(accounts["CairndbReplica cfg-agent"], 0u) << memory;
        // The allocator's own figures, whichever allocator the agent runs on.
        EXPECT_GT(memory["allocator"]["in_use"].get<size_t>(), 0u) << memory;
        EXPECT_GE(memory["allocator"]["held"].get<size_t>(),
                  memory["allocator"]["in_use"].get<size_t>())
            << memory;
        for (const json& s : Json({"cfgagent/config/mirrorsession"})) {
            EXPECT_EQ(s["key"], kMirror);
            test::ExpectJsonAt(s, s["type"] == "logical_port"
                                      ? "/snap_length=128|/source_port_id=[\"" + lsp + "\"]"
                                      : "/type=l3span|/destination=10.0.0.2");
        }
        // No application reports a local DR VTEP in this agent.
        test::ExpectCli(ctl, {{"cfgagent/statecache/dr-vtep", 2, "Query Local DR VTEP fail"},
                              // A switch with no forwarding table yet.
                              {"cfgagent/statecache/L2vtep vni 5002", 2,
                               "Query logical switch VTEP Table fail"}});

        // A deletion reaches the dumps.
        ASSERT_EQ(sys.Cairnctl({"delete", "LOG_SWITCH_CONFIG", kLs2}).status, 0);
        EXPECT_TRUE(sys.AwaitAgentJson({"cfgagent/statecache/logicalswitches"}, [](const json& j) {
            return j["logical_switches"].size() == 1;
        }));
        EXPECT_EQ(sys.AgentCtl({"cfgagent/statecache/logicalswitch", "vni", "5002"}).status, 2);
        EXPECT_TRUE(sys.AwaitAgentLog("CLI: Get LS UUID for vni 5002 fail"));
    }
    {
        SCOPED_TRACE("stops cleanly while clients are connected");
        test::UnixClient idle, partial;
        ASSERT_TRUE(idle.Connect(sys.AgentSocket()));
        ASSERT_TRUE(partial.Connect(sys.AgentSocket()));
        const std::string half = R"({"method":"cfgagent/get/loglevel","params":[)";
        ASSERT_TRUE(partial.Write({half.begin(), half.end()}));
        // The agent keeps answering others while those two sit there.
        ASSERT_EQ(sys.AgentCtl({"cfgagent/get/loglevel"}).status, 0);
        EXPECT_EQ(sys.StopAgent(), 0);
        EXPECT_THAT(sys.Agent()->Output(), HasSubstr("Cli server terminated"));
    }
}

}  // namespace
}  // namespace CfgAgent
