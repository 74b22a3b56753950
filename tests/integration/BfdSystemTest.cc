// BFD sessions end to end with real processes: ovsdb-server (cairndb), ozy-dpemu playing the
// overlay module, and ozy-cfgagent with "vxlan" and "bfd". Desired switches, FIBs, a transport
// node and the BFD global configuration go in with cairnctl; the dataplane's VNIs and local VTEPs
// are injected with ovs-appctl on the emulator; the sessions and BFD settings the agent programmed
// are read from the emulator's dump, the table from "cfgagent/bfd". One scenario with named
// checks, so that the processes start once.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>

#include <nlohmann/json.hpp>

#include "tests/support/AgentSystem.h"
#include "tests/support/Await.h"

namespace CfgAgent {
namespace {

using json = nlohmann::json;

constexpr const char* kLsA = "5a000000-0000-4000-8000-0000000000a1";
constexpr const char* kLsB = "5a000000-0000-4000-8000-0000000000b1";
constexpr const char* kLsC = "5a000000-0000-4000-8000-0000000000c1";
constexpr const char* kRd = "7d000000-0000-4000-8000-0000000000d1";
constexpr const char* kTz = "22000000-0000-4000-8000-000000000001";
constexpr const char* kDvs = "d5000000-0000-4000-8000-000000000001";

// (VNI, local, remote) of every session the emulator holds.
using Session = std::tuple<uint32_t, std::string, std::string>;
std::set<Session> Sessions(const json& dump) {
    std::set<Session> out;
    for (const json& s : dump["bfd_sessions"])
        out.emplace(s["vni"].get<uint32_t>(), s["local_ip"], s["remote_ip"]);
    return out;
}

std::string Fib(const char* ls, std::initializer_list<const char*> remotes) {
    json vteps = json::array();
    int label = 20;
    for (const char* ip : remotes)
        vteps.push_back({{"ip", ip}, {"label", ++label}});
    return json{{"LOG_SWITCH_FIB", json::array({{{"id", ls}, {"vtep_entries", vteps}}})}}.dump();
}

TEST(BfdSystemTest, SessionsFollowTheVtepsAcrossSessions) {
    test::AgentSystemOptions options;
    options.apps = {"vxlan", "bfd"};
    test::AgentSystem sys(options);
    ASSERT_TRUE(sys.Start());
    auto emu = [&](const std::vector<std::string>& args) {
        test::RunResult r = sys.EmuCtl(args);
        EXPECT_EQ(r.status, 0) << args[0] << ": " << r.output;
        return r.output;
    };
    auto awaitDump = [&](const std::function<bool(const json&)>& pred) {
        return sys.AwaitEmu("vxlan", pred);
    };
    ASSERT_TRUE(awaitDump([](const json& d) { return d["session"]["state"] == "synced"; }));
    ASSERT_TRUE(sys.AwaitAgentLog("BFD application starts"));

    // Every session of switches A (VNI 5001) and B (5002, in routing domain kRd): two local VTEPs
    // x three remote ones each, 10.0.2.9 on both.
    std::set<Session> all;
    const std::vector<std::string> remotesA = {"10.0.2.1", "10.0.2.2", "10.0.2.9"};
    const std::vector<std::string> remotesB = {"10.0.2.3", "10.0.2.4", "10.0.2.9"};
    for (uint32_t vni : {5001u, 5002u}) {
        for (const char* local : {"10.0.1.1", "10.0.1.2"}) {
            for (const std::string& remote : vni == 5001 ? remotesA : remotesB)
                all.emplace(vni, local, remote);
        }
    }

    {
        SCOPED_TRACE("2 VNIs x 2 local VTEPs x 3 remote VTEPs: exactly 12 sessions");
        for (const char* vni : {"5001", "5002"}) {
            emu({"dpemu/vxlan-join", "1", vni});
            emu({"dpemu/vxlan-local-vtep", vni, "add", "10.0.1.1", "11"});
            emu({"dpemu/vxlan-local-vtep", vni, "add", "10.0.1.2", "12"});
        }
        emu({"dpemu/vxlan-rd-vtep", "1", "10.0.1.9"});
        ASSERT_TRUE(sys.Apply(std::string(R"({"LOG_SWITCH_CONFIG": [)") + R"({"id": ")" + kLsA +
                              R"(", "vni": 5001}, {"id": ")" + kLsB + R"(", "vni": 5002, )" +
                              R"("routing_domain_id": ")" + kRd + R"("}, {"id": ")" + kLsC +
                              R"(", "vni": 5003, "evpn_mode": 1, "routing_domain_id": ")" + kRd +
                              R"("}]})"));
        ASSERT_TRUE(sys.Apply(Fib(kLsA, {"10.0.2.1", "10.0.2.2", "10.0.2.9"})));
        ASSERT_TRUE(sys.Apply(Fib(kLsB, {"10.0.2.3", "10.0.2.4", "10.0.2.9"})));
        ASSERT_TRUE(awaitDump([&](const json& d) { return Sessions(d) == all; }))
            << sys.EmuDump("vxlan")["bfd_sessions"].dump();
        const json d = sys.EmuDump("vxlan");
        for (const json& s : d["bfd_sessions"]) {
            EXPECT_EQ(s["switch_id"], 1);
            EXPECT_EQ(s["routing_domain"], s["vni"] == 5002 ? json(kRd) : json(nullptr));
        }
    }

    {
        SCOPED_TRACE("the shared remote VTEP leaves VNI 5001: only its 2 sessions go");
        ASSERT_TRUE(sys.Apply(Fib(kLsA, {"10.0.2.1", "10.0.2.2"})));
        all.erase({5001, "10.0.1.1", "10.0.2.9"});
        all.erase({5001, "10.0.1.2", "10.0.2.9"});
        ASSERT_TRUE(awaitDump([&](const json& d) { return Sessions(d) == all; }))
            << sys.EmuDump("vxlan")["bfd_sessions"].dump();
        const json d = sys.EmuDump("vxlan");
        EXPECT_TRUE(d["errors"].empty()) << d["errors"].dump();
        EXPECT_EQ(d["stats"]["bfd_dup_adds"], 0);
    }

    {
        SCOPED_TRACE("a session of a VNI not joined appears right after its join");
        // Switch C is an EVPN member of kRd: the domain's local VTEP (from switch 1) to its
        // remote one, on VNI 5003.
        ASSERT_TRUE(sys.Apply(std::string(R"({"ROUTING_DOMAIN_FIB": [{"id": ")") + kRd +
                              R"(", "vtep_entries": [{"ip": "10.0.3.1", "label": 31}]}]})"));
        ASSERT_TRUE(
            sys.AwaitAgentLog("BFDTableApp: BFD session of VNI 5003 waits for the VNI's "
                              "join"));
        EXPECT_EQ(Sessions(sys.EmuDump("vxlan")), all);
        emu({"dpemu/vxlan-join", "1", "5003"});
        all.emplace(5003, "10.0.1.9", "10.0.3.1");
        ASSERT_TRUE(awaitDump([&](const json& d) { return Sessions(d) == all; }))
            << sys.EmuDump("vxlan")["bfd_sessions"].dump();
    }

    {
        SCOPED_TRACE("the EVPN global configuration with only enabled: only that field");
        ASSERT_TRUE(sys.Apply(R"({"BFD_GLOBAL_CONFIG": [{"id": "bf000000-0000-4000-8000-)"
                              R"(000000000001", "config": {"enabled": true}}]})"));
        ASSERT_TRUE(awaitDump([](const json& d) { return !d["evpn_bfd"].is_null(); }));
        EXPECT_EQ(
            sys.EmuDump("vxlan")["evpn_bfd"],
            (json{{"enable", 1}, {"vtep_health_interval", nullptr}, {"multiplier", nullptr}}));
        ASSERT_TRUE(
            sys.Apply(std::string(R"({"TRANSPORT_NODE_CONFIG": [{"id": ")") +
                      R"(7e000000-0000-4000-8000-000000000001", "transport_switches": [)" +
                      R"({"host_switch_id": ")" + kDvs + R"(", "name": "dvs-1", )" +
                      R"("transport_zone_ids": [")" + kTz + R"("], "bfd": {"enabled": )" +
                      R"(true, "vtep_health_interval": 1000, "latency_enable": true}}]}]})"));
        ASSERT_TRUE(awaitDump([](const json& d) { return d["bfd_config"].contains(kDvs); }))
            << sys.EmuDump("vxlan")["bfd_config"].dump();
        EXPECT_EQ(sys.EmuDump("vxlan")["bfd_config"][kDvs],
                  (json{{"enable", 1}, {"vtep_health_interval", 1000}, {"latency_enable", 1}}));
    }

    auto everythingBack = [&](uint64_t opens) {
        return awaitDump([&](const json& d) {
            return d["session"]["opens"] > opens && d["session"]["state"] == "synced" &&
                   Sessions(d) == all && d["bfd_config"].contains(kDvs) && !d["evpn_bfd"].is_null();
        });
    };
    {
        SCOPED_TRACE("a dropped link: every session and both configurations are back");
        const uint64_t opens = sys.EmuDump("vxlan")["session"]["opens"];
        emu({"dpemu/link-drop", "vxlan"});
        ASSERT_TRUE(everythingBack(opens)) << sys.EmuDump("vxlan").dump();
        ASSERT_TRUE(sys.AwaitAgentLog("BFDTableApp: Sync BFD sessions to dataplane"));
        EXPECT_EQ(sys.EmuDump("vxlan")["stats"]["bfd_dup_adds"], 0);
    }
    {
        SCOPED_TRACE("the dataplane out of sync: the same");
        const uint64_t opens = sys.EmuDump("vxlan")["session"]["opens"];
        emu({"dpemu/out-of-sync", "vxlan"});
        ASSERT_TRUE(everythingBack(opens)) << sys.EmuDump("vxlan").dump();
        const json d = sys.EmuDump("vxlan");
        EXPECT_TRUE(d["errors"].empty()) << d["errors"].dump();
        EXPECT_EQ(d["stats"]["bfd_dup_adds"], 0);
    }

    {
        SCOPED_TRACE("cfgagent/bfd lists the entries with their references");
        test::RunResult r = sys.AgentCtl({"cfgagent/bfd"});
        ASSERT_EQ(r.status, 0) << r.output;
        const json t = json::parse(r.output);
        EXPECT_EQ(t["dataplane_sessions"], all.size());
        EXPECT_EQ(t["sent_sessions"], all.size());
        bool sharedSeen = false;
        for (const json& e : t["entries"]) {
            if (e["remote_ip"] == "10.0.2.9" && e["local_ip"] == "10.0.1.1") {
                sharedSeen = true;
                ASSERT_EQ(e["references"].size(), 1u) << e.dump();
                EXPECT_EQ(e["references"][0]["remote_id"], kRd);
                EXPECT_EQ(e["references"][0]["remote_id_type"], "Routing Romain");
                EXPECT_EQ(e["references"][0]["local_id"], kLsB);
            }
        }
        EXPECT_TRUE(sharedSeen) << r.output;
    }
}

}  // namespace
}  // namespace CfgAgent
