// The L2 overlay application end to end with real processes: ovsdb-server (cairndb), ozy-dpemu
// playing the overlay module, and ozy-cfgagent with "vxlan" enabled. Desired logical switches go
// in with cairnctl; the dataplane's local state is injected with ovs-appctl on the emulator; what
// the agent learned is read back from cairndb (LOG_SWITCH_STATE, ROUTING_DOMAIN_VTEP), what it
// programmed from the desired state (LOG_SWITCH_FIB, CCP_SESSION) from the emulator's dump, the
// TEP alarms from the agent's alarm page. One scenario with named steps, so that the processes
// start once.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdio>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/AgentSystem.h"
#include "tests/support/Await.h"

namespace CfgAgent {
namespace {

using json = nlohmann::json;

constexpr const char* kLsA = "5a000000-0000-4000-8000-0000000000a1";
constexpr const char* kLsB = "5a000000-0000-4000-8000-0000000000b1";
constexpr const char* kLsC = "5a000000-0000-4000-8000-0000000000c1";
constexpr const char* kLsD = "5a000000-0000-4000-8000-0000000000d1";
constexpr const char* kRd = "7d000000-0000-4000-8000-0000000000d1";
constexpr const char* kRdD = "7d000000-0000-4000-8000-0000000000d2";
constexpr const char* kGroup = "6b000000-0000-4000-8000-000000000001";

// The desired FIB of switch D: 3 remote VTEPs, a MAC behind each, two IPs, VTEP group 900; `macs`
// more MACs behind the first VTEP from 00:50:56:01:00:00, and without MAC `skip` (0: none).
std::string FibD(int macs = 0, int skip = 0) {
    json vteps = json::array();
    json macList = json::array();
    for (int i = 1; i <= 3; ++i) {
        std::string vtep = "10.0.2." + std::to_string(i);
        vteps.push_back({{"ip", vtep}, {"label", 20 + i}});
        if (i != skip)
            macList.push_back({{"mac", "00:50:56:00:02:0" + std::to_string(i)}, {"vtep_ip", vtep}});
    }
    char mac[32];
    for (int i = 0; i < macs; ++i) {
        std::snprintf(mac, sizeof mac, "00:50:56:01:%02x:%02x", i >> 8, i & 0xff);
        macList.push_back({{"mac", mac}, {"vtep_ip", "10.0.2.1"}});
    }
    json ips = json::array({{{"ip", "192.168.2.1"}, {"mac", "00:50:56:00:02:01"}},
                            {{"ip", "fd00::2:2"}, {"mac", "00:50:56:00:02:02"}}});
    json fib = {{"id", kLsD},
                {"vtep_entries", vteps},
                {"mac_entries", macList},
                {"ip_entries", ips},
                {"vtep_group_labels", json::array({{{"label", 900}}})}};
    return json{{"LOG_SWITCH_FIB", json::array({fib})}}.dump();
}

std::set<std::string> Texts(const json& list, const char* key) {
    std::set<std::string> out;
    for (const json& e : list)
        out.insert(e[key].get<std::string>());
    return out;
}

std::string Switches() {
    return std::string(R"({"LOG_SWITCH_CONFIG": [)") + R"({"id": ")" + kLsA +
           R"(", "vni": 5001, "routing_domain_id": ")" + kRd + R"("},)" + R"({"id": ")" + kLsB +
           R"(", "vni": 5002}]})";
}

// A MAC or an IPv4 address as cairnctl prints it (a number, a numeric string, or text).
uint64_t Number(const json& v) {
    if (v.is_number())
        return v.get<uint64_t>();
    std::string s = v.get<std::string>();
    if (s.find(':') != std::string::npos) {
        uint64_t n = 0;
        for (char c : s) {
            if (c != ':')
                n = n * 16 + static_cast<uint64_t>(std::stoi(std::string(1, c), nullptr, 16));
        }
        return n;
    }
    in_addr a{};
    if (inet_pton(AF_INET, s.c_str(), &a) == 1)
        return ntohl(a.s_addr);
    return std::stoull(s);
}

// The row of `id` in `type` (null when absent), and its MACs and IPv4 VTEPs.
json Row(test::AgentSystem& sys, const std::string& type, const std::string& id) {
    json all = sys.Get(type);
    if (all.is_null() || !all.contains(type))
        return nullptr;
    for (const json& o : all[type]) {
        if (o.value("id", "") == id)
            return o;
    }
    return nullptr;
}
std::set<uint64_t> Macs(const json& row) {
    std::set<uint64_t> out;
    if (!row.is_null() && row.contains("mac_entries")) {
        for (const json& m : row["mac_entries"])
            out.insert(Number(m["mac"]));
    }
    return out;
}
std::set<uint64_t> Vteps(const json& row) {
    std::set<uint64_t> out;
    if (!row.is_null() && row.contains("vtep_entries")) {
        for (const json& v : row["vtep_entries"]) {
            const json& ip = v["ip"];  // text, or an object of the schema's numeric forms
            out.insert(ip.is_string()
                           ? (ip.get<std::string>().find(':') == std::string::npos ? Number(ip) : 6)
                       : ip.contains("ipv4") ? Number(ip["ipv4"])
                                             : 6);
        }
    }
    return out;
}

bool AwaitRow(test::AgentSystem& sys, const std::string& type, const std::string& id,
              const std::function<bool(const json&)>& pred) {
    return test::AwaitTrue([&] { return pred(Row(sys, type, id)); }, std::chrono::seconds(60),
                           std::chrono::milliseconds(200));
}

constexpr uint64_t kMac = 0x005056000000ull;
constexpr uint64_t kVtep1 = 0x0a000101;   // 10.0.1.1
constexpr uint64_t kRdVtep = 0x0a000109;  // 10.0.1.9

TEST(L2AppSystemTest, LocalStateReachesCairndbAcrossSessions) {
    test::AgentSystemOptions options;
    options.apps = {"vxlan"};
    test::AgentSystem sys(options);
    ASSERT_TRUE(sys.Start());
    auto emu = [&](const std::vector<std::string>& args) {
        test::RunResult r = sys.EmuCtl(args);
        EXPECT_EQ(r.status, 0) << args[0] << ": " << r.output;
        return r.output;
    };
    auto session = [&] { return sys.EmuDump("vxlan")["session"]; };
    ASSERT_TRUE(sys.AwaitEmu("vxlan", [](const json& d) {
        return d["session"]["state"] == "synced" && !d["settings"].is_null();
    })) << "the agent opens a session and configures the dataplane";
    EXPECT_EQ(sys.EmuDump("vxlan")["settings"]["max_msg_length"], 4085);

    {
        SCOPED_TRACE("a TEP alarm before the transport node exists is raised once it is applied");
        auto l2Alarms = [&] {
            test::RunResult r = sys.AgentCtl({"cfgagent/alarms"});
            EXPECT_EQ(r.status, 0) << r.output;
            nlohmann::ordered_json out = nlohmann::ordered_json::array();
            const nlohmann::ordered_json all = nlohmann::ordered_json::parse(r.output);
            for (const auto& a : all["alarms"]) {
                if (a["source"] == "cfgAgent_l2")
                    out.push_back(a);
            }
            return out;
        };
        emu({"dpemu/vxlan-tep-alarm", "vmk1", "down", "fault", "3"});
        ASSERT_TRUE(sys.AwaitAgentLog("L2AlarmReporter: l2AlarmReporter: Save pending alarm"));
        EXPECT_TRUE(l2Alarms().empty());
        ASSERT_TRUE(sys.Apply(R"({"TRANSPORT_NODE_CONFIG": [{"id": ")"
                              R"(7e000000-0000-4000-8000-000000000001", "type": 1}]})"));
        ASSERT_TRUE(test::AwaitTrue([&] { return l2Alarms().size() == 1; },
                                    std::chrono::seconds(60), std::chrono::milliseconds(200)));
        const nlohmann::ordered_json alarm = l2Alarms()[0];
        EXPECT_EQ(alarm["component"], "l2AlarmReporter");
        EXPECT_EQ(alarm["entity"], "dvs-1/vmk1");
        std::vector<std::pair<std::string, std::string>> fields;
        for (const auto& [k, v] : alarm["context"].items())
            fields.emplace_back(k, v.get<std::string>());
        EXPECT_EQ(fields, (std::vector<std::pair<std::string, std::string>>{
                              {"transport_node_id", "7e000000-0000-4000-8000-000000000001"},
                              {"vtep_name", "vmk1"},
                              {"vtep_state", "DOWN"},
                              {"dvs_name", "dvs-1"},
                              {"dpu_id", ""},
                              {"vtep_fault_reason",
                               "BFD tunnels from TEP are down; TEP does not have an v4 address"}}));
    }

    ASSERT_TRUE(sys.Apply(Switches()));

    {
        SCOPED_TRACE("the full sync's reports are what cairndb holds after its end");
        emu({"dpemu/vxlan-hold-fullsync", "on"});
        const uint32_t before = session()["id"];
        test::RunResult r = sys.AgentCtl({"cfgagent/set-simulate/out-of-sync", "l2"});
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_NE(r.output.find("Setting simulate out of sync for vertical l2 successfully"),
                  std::string::npos);
        ASSERT_TRUE(sys.AwaitEmu("vxlan", [&](const json& d) {
            return d["session"]["id"] == before + 1 && d["session"]["fullsync_held"] == true;
        })) << "a new session id";
        emu({"dpemu/vxlan-join", "1", "5001"});
        emu({"dpemu/vxlan-local-vtep", "5001", "add", "10.0.1.1", "11", "02:00:00:00:01:01"});
        emu({"dpemu/vxlan-local-vtep", "5001", "add", "10.0.1.2", "12"});
        for (const char* m : {"00:50:56:00:00:01", "00:50:56:00:00:02", "00:50:56:00:00:03"})
            emu({"dpemu/vxlan-mac-learn", "5001", m, "10.0.1.1"});
        emu({"dpemu/vxlan-rd-vtep", "1", "10.0.1.9"});
        ASSERT_TRUE(sys.AwaitAgentLog("L2App: Insert VNI 5001 VM MAC to queued message list"));
        EXPECT_TRUE(Row(sys, "LOG_SWITCH_STATE", kLsA).is_null()) << "nothing before the end";
        emu({"dpemu/vxlan-hold-fullsync", "off"});
        ASSERT_TRUE(AwaitRow(sys, "LOG_SWITCH_STATE", kLsA, [](const json& row) {
            return Macs(row) == std::set<uint64_t>{kMac + 1, kMac + 2, kMac + 3} &&
                   Vteps(row) == std::set<uint64_t>{kVtep1, kVtep1 + 1};
        })) << Row(sys, "LOG_SWITCH_STATE", kLsA).dump();
        ASSERT_TRUE(AwaitRow(sys, "ROUTING_DOMAIN_VTEP", kRd, [](const json& row) {
            return Vteps(row) == std::set<uint64_t>{kRdVtep};
        })) << Row(sys, "ROUTING_DOMAIN_VTEP", kRd).dump();
        EXPECT_TRUE(Row(sys, "LOG_SWITCH_STATE", kLsB).is_null()) << "VNI 5002 is not joined";
    }

    {
        SCOPED_TRACE("a VTEP reported in a session that never ended is never written");
        emu({"dpemu/vxlan-hold-fullsync", "on"});
        ASSERT_EQ(sys.AgentCtl({"cfgagent/set-simulate/out-of-sync", "l2"}).status, 0);
        const uint32_t opens = session()["opens"];
        ASSERT_TRUE(sys.AwaitEmu(
            "vxlan", [&](const json& d) { return d["session"]["fullsync_held"] == true; }));
        emu({"dpemu/vxlan-local-vtep", "5001", "add", "10.0.1.77", "77"});
        size_t mark = sys.AgentLogSize();
        emu({"dpemu/link-drop", "vxlan"});
        emu({"dpemu/vxlan-local-vtep", "5001", "del", "10.0.1.77"});
        ASSERT_TRUE(sys.AwaitAgentLog("L2App: krnlink down", std::chrono::seconds(60), mark));
        ASSERT_TRUE(sys.AwaitEmu("vxlan", [&](const json& d) {
            return d["session"]["opens"] > opens && d["session"]["fullsync_held"] == true;
        })) << "the agent reconnects and opens a new session";
        emu({"dpemu/vxlan-hold-fullsync", "off"});
        ASSERT_TRUE(sys.AwaitAgentLog("L2App: get L2 mapping session control full sync end",
                                      std::chrono::seconds(60), mark));
        ASSERT_TRUE(AwaitRow(sys, "LOG_SWITCH_STATE", kLsA, [](const json& row) {
            return Vteps(row) == std::set<uint64_t>{kVtep1, kVtep1 + 1} && Macs(row).size() == 3;
        })) << Row(sys, "LOG_SWITCH_STATE", kLsA).dump();
    }

    {
        SCOPED_TRACE("a VNI joined before its logical switch: its MACs land once it is applied");
        emu({"dpemu/vxlan-join", "1", "6001"});
        emu({"dpemu/vxlan-mac-learn", "6001", "00:50:56:00:00:61", "10.0.1.1"});
        ASSERT_TRUE(sys.AwaitAgentLog("held until its logical switch is known"));
        ASSERT_TRUE(sys.Apply(std::string(R"({"LOG_SWITCH_CONFIG": [{"id": ")") + kLsC +
                              R"(", "vni": 6001}]})"));
        ASSERT_TRUE(AwaitRow(sys, "LOG_SWITCH_STATE", kLsC, [](const json& row) {
            return Macs(row) == std::set<uint64_t>{kMac + 0x61};
        })) << Row(sys, "LOG_SWITCH_STATE", kLsC).dump();
    }

    {
        SCOPED_TRACE("an over-counted report is dropped and the next one lands");
        // VM MAC Update of VNI 6001 whose removed count (2) exceeds its one entry.
        std::string raw =
            "0005003a000400360000000100001771000200505600006202000000000"
            "10a000101000000000100000000000000000000000000000000000000";
        emu({"dpemu/vxlan-raw", raw});
        ASSERT_TRUE(sys.AwaitAgentLog("L2App: invalid VXLAN_DATATYPE_VMMAC message length 54"));
        emu({"dpemu/vxlan-mac-learn", "6001", "00:50:56:00:00:63", "10.0.1.1"});
        ASSERT_TRUE(AwaitRow(sys, "LOG_SWITCH_STATE", kLsC, [](const json& row) {
            return Macs(row) == std::set<uint64_t>{kMac + 0x61, kMac + 0x63};
        })) << Row(sys, "LOG_SWITCH_STATE", kLsC).dump();
    }

    {
        SCOPED_TRACE("remote state applied before the join reaches the dataplane at the join");
        ASSERT_TRUE(sys.Apply(std::string(R"({"LOG_SWITCH_CONFIG": [{"id": ")") + kLsD +
                              R"(", "vni": 7001, "replication_mode": 1, "arp_proxy": true,)" +
                              R"( "routing_domain_id": ")" + kRdD + R"("}],)" +
                              R"( "CCP_SESSION": [{"id": "cc000000-0000-4000-8000-000000000001",)" +
                              R"( "state": 1, "controller_ip": "10.9.9.9"}]})"));
        ASSERT_TRUE(sys.Apply(FibD()));
        // The routing domain's remote VTEP, and a VTEP group the switch and the domain use.
        ASSERT_TRUE(sys.Apply(std::string(R"({"ROUTING_DOMAIN_FIB": [{"id": ")") + kRdD +
                              R"(", "vtep_entries": [{"ip": "10.0.3.1", "label": 31}],)" +
                              R"( "vtep_group_labels": [{"label": 900}]}],)" +
                              R"( "VTEP_GROUP": [{"id": ")" + kGroup + R"(", "key": 900,)" +
                              R"( "group_type": 1, "activeness_protocol": 1, "labels": [)" +
                              R"({"label": 41, "vtep_ip": "10.0.4.1"}]}]})"));
        ASSERT_TRUE(sys.AwaitAgentLog("L2App: VNI 7001 doesn't receive Join from datapath"));
        emu({"dpemu/vxlan-join", "1", "7001"});
        auto vni = [&] { return sys.EmuDump("vxlan")["vnis"]["7001"]; };
        const std::set<std::string> macs = {"00:50:56:00:02:01", "00:50:56:00:02:02",
                                            "00:50:56:00:02:03"};
        ASSERT_TRUE(test::AwaitTrue(
            [&] {
                json v = vni();
                return v.contains("remote_ips") && v["remote_ips"].size() == 2 &&
                       !v["controller"].is_null();
            },
            std::chrono::seconds(60), std::chrono::milliseconds(200)))
            << vni().dump();
        json v = vni();
        EXPECT_EQ(v["confirmed"], true);
        EXPECT_EQ(v["link"], (json{{"flag", 0}, {"multicast_proxy", 0}, {"arp_proxy", 1}}));
        EXPECT_EQ(v["controller"], (json{{"ipv4", "10.9.9.9"}, {"ipv6", ""}, {"type", 1}}));
        EXPECT_EQ(v["routing_domain"], kRdD);
        EXPECT_EQ(Texts(v["remote_vteps"], "ip"),
                  (std::set<std::string>{"10.0.2.1", "10.0.2.2", "10.0.2.3"}));
        EXPECT_EQ(Texts(v["remote_macs"], "mac"), macs);
        EXPECT_EQ(Texts(v["remote_ips"], "ip"),
                  (std::set<std::string>{"192.168.2.1", "fd00::2:2"}));
        ASSERT_TRUE(sys.AwaitEmu("vxlan", [](const json& d) {
            return d["remote_routing_domains"].contains(kRdD) &&
                   !d["remote_routing_domains"][kRdD]["vtep_groups"].empty() &&
                   !d["vnis"]["7001"]["vtep_groups"].empty();
        })) << sys.EmuDump("vxlan").dump();
        json d = sys.EmuDump("vxlan");
        EXPECT_EQ(Texts(d["remote_routing_domains"][kRdD]["remote_vteps"], "ip"),
                  (std::set<std::string>{"10.0.3.1"}));
        EXPECT_EQ(d["remote_routing_domains"][kRdD]["vtep_groups"], json::array({900}));
        EXPECT_EQ(d["vnis"]["7001"]["vtep_groups"], json::array({900}));
        EXPECT_EQ(Texts(d["vtep_groups"]["900"]["members"], "ip"),
                  (std::set<std::string>{"10.0.4.1"}));
        EXPECT_EQ(d["routing_domains"]["1"].size(), 2u) << "both domains of switch 1";
        test::RunResult page = sys.AgentCtl({"cfgagent/l2/routingdomain"});
        ASSERT_EQ(page.status, 0) << page.output;
        std::set<std::string> listed;
        const json domains = json::parse(page.output);
        for (const json& rd : domains["routing_domains"])
            listed.insert(rd["routing_domain"].get<std::string>());
        EXPECT_EQ(listed, (std::set<std::string>{kRd, kRdD}));
    }

    {
        SCOPED_TRACE("a MAC query for 3 MACs of which 2 are known gets one reply with the 2");
        emu({"dpemu/vxlan-query", "mac", "7001", "00:50:56:00:02:01", "00:50:56:00:02:99",
             "00:50:56:00:02:03"});
        ASSERT_TRUE(sys.AwaitEmu("vxlan", [](const json& d) {
            return !d["last_query_reply"].is_null() && d["last_query_reply"]["messages"] == 1;
        })) << sys.EmuDump("vxlan")["last_query_reply"].dump();
        json reply = sys.EmuDump("vxlan")["last_query_reply"];
        EXPECT_EQ(Texts(reply["entries"], "address"),
                  (std::set<std::string>{"00:50:56:00:02:01", "00:50:56:00:02:03"}));
        EXPECT_EQ(Texts(reply["entries"], "vtep"), (std::set<std::string>{"10.0.2.1", "10.0.2.3"}));
    }

    {
        SCOPED_TRACE(
            "global replication: absent with no instance, refused with two, sent with one");
        ASSERT_TRUE(sys.Apply(R"({"GLOBAL_CONFIG": [{"id": "6e000000-0000-4000-8000-000000000001",)"
                              R"( "l2_replication_mode": 2}]})"));
        ASSERT_TRUE(sys.AwaitAgentLog("L2App: sync global routing domain, no ovl2 instance found"));
        EXPECT_TRUE(sys.EmuDump("vxlan")["global_replication"].empty());
        // Two instances restated at once by a new session.
        emu({"dpemu/vxlan-hold-fullsync", "on"});
        const uint32_t opens = session()["opens"];
        ASSERT_EQ(sys.AgentCtl({"cfgagent/set-simulate/out-of-sync", "l2"}).status, 0);
        ASSERT_TRUE(sys.AwaitEmu("vxlan", [&](const json& d) {
            return d["session"]["opens"] > opens && d["session"]["fullsync_held"] == true;
        }));
        emu({"dpemu/vxlan-instance", "add", "1"});
        emu({"dpemu/vxlan-instance", "add", "2"});
        emu({"dpemu/vxlan-hold-fullsync", "off"});
        ASSERT_TRUE(sys.AwaitAgentLog(
            "L2App: only one host switch is supported for global routing domain 2 instance found"));
        EXPECT_TRUE(sys.EmuDump("vxlan")["global_replication"].empty());
        emu({"dpemu/vxlan-instance", "del", "2"});
        ASSERT_TRUE(sys.AwaitEmu("vxlan", [](const json& d) {
            return d["global_replication"] == json{{"1", 2}};
        })) << sys.EmuDump("vxlan")["global_replication"].dump();
    }

    {
        SCOPED_TRACE("a MAC deleted while the link is down is absent after the reconnect");
        const uint32_t opens = session()["opens"];
        size_t mark = sys.AgentLogSize();
        emu({"dpemu/link-drop", "vxlan"});
        ASSERT_TRUE(sys.AwaitAgentLog("L2App: krnlink down", std::chrono::seconds(60), mark));
        ASSERT_TRUE(sys.Apply(FibD(0, 2)));
        ASSERT_TRUE(sys.AwaitEmu("vxlan", [&](const json& d) {
            const json& v = d["vnis"]["7001"];
            return d["session"]["opens"] > opens && d["session"]["state"] == "synced" &&
                   v["remote_macs"].size() == 2 && v["remote_vteps"].size() == 3 &&
                   v["remote_ips"].size() == 2 && !v["controller"].is_null();
        })) << sys.EmuDump("vxlan")["vnis"]["7001"].dump();
        EXPECT_EQ(Texts(sys.EmuDump("vxlan")["vnis"]["7001"]["remote_macs"], "mac"),
                  (std::set<std::string>{"00:50:56:00:02:01", "00:50:56:00:02:03"}));
    }

    {
        SCOPED_TRACE("5,000 remote MACs on one VNI arrive whole, split at the maximum");
        ASSERT_TRUE(sys.Apply(FibD(5000)));
        ASSERT_TRUE(test::AwaitTrue(
            [&] {
                json sum = json::parse(emu({"dpemu/vxlan-summary"}));
                return sum["remote_macs"] == 5003;
            },
            std::chrono::seconds(120), std::chrono::milliseconds(200)))
            << emu({"dpemu/vxlan-summary"});
        EXPECT_TRUE(sys.EmuDump("vxlan")["errors"].empty());
        EXPECT_EQ(sys.EmuDump("vxlan")["stats"]["spurious_removals"], 0);
    }

    {
        SCOPED_TRACE("a leave deletes the row");
        emu({"dpemu/vxlan-leave", "5001"});
        ASSERT_TRUE(
            AwaitRow(sys, "LOG_SWITCH_STATE", kLsA, [](const json& row) { return row.is_null(); }));
        ASSERT_TRUE(AwaitRow(sys, "ROUTING_DOMAIN_VTEP", kRd, [](const json& row) {
            return row.is_null();
        })) << "the routing domain's last switch on this host left";
        EXPECT_FALSE(Row(sys, "LOG_SWITCH_STATE", kLsC).is_null());
        ASSERT_TRUE(sys.AwaitEmu("vxlan", [](const json& d) {
            return !d["remote_routing_domains"].contains(kRd) &&
                   d["routing_domains"]["1"] == json::array({kRdD});
        })) << sys.EmuDump("vxlan").dump();
    }

    json d = sys.EmuDump("vxlan");
    EXPECT_TRUE(d["errors"].empty()) << d["errors"].dump();
    EXPECT_EQ(sys.StopAgent(), 0);
}

}  // namespace
}  // namespace CfgAgent
