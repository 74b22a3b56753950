// The configuration application end to end with real processes: ovsdb-server (cairndb), ozy-dpemu
// and ozy-cfgagent with "config" enabled, in one host root. Configuration goes in with cairnctl,
// the dataplane is driven and read with ovs-appctl on the emulator, runtime state is read back
// with cairnctl.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/AgentSystem.h"
#include "tests/support/Await.h"

namespace CfgAgent {
namespace {

constexpr const char* kLs = "5a000000-0000-0000-0000-0000000000a1";
constexpr const char* kLsp = "5b000000-0000-0000-0000-0000000000b1";
constexpr const char* kVif = "5c000000-0000-0000-0000-0000000000c1";
constexpr const char* kDvs = "dvs-1";
constexpr const char* kMac = "00:50:56:aa:bb:01";

std::string SwitchJson(bool adminUp) {
    return std::string(R"({"LOG_SWITCH_CONFIG": [{"id": ")") + kLs +
           R"(", "vni": 5001, "admin_state_up": )" + (adminUp ? "true" : "false") +
           R"(, "switch_name": "ls-web"}]})";
}

std::string PortJson() {
    return std::string(R"({"LOG_SWITCH_PORT_CONFIG": [{"id": ")") + kLsp + R"(", "switch_id": ")" +
           kLs + R"(", "admin_state_up": true, "attachment": {"type": 1, "vif_id": ")" + kVif +
           R"(", "dvport_id": ")" + kLsp + R"("}}]})";
}

// The VIF_STATE object of kVif as cairnctl prints it; null when there is none.
nlohmann::json VifState(test::AgentSystem& sys) {
    nlohmann::json all = sys.Get("VIF_STATE");
    if (all.is_null() || !all.contains("VIF_STATE"))
        return nullptr;
    for (const auto& o : all["VIF_STATE"]) {
        if (o.value("vif_id", "") == kVif)
            return o;
    }
    return nullptr;
}

bool AwaitVifState(test::AgentSystem& sys, const std::function<bool(const nlohmann::json&)>& pred) {
    return test::AwaitTrue([&] { return pred(VifState(sys)); }, std::chrono::seconds(60),
                           std::chrono::milliseconds(200));
}

bool SessionSynced(const nlohmann::json& kcp) {
    return kcp["session"]["state"] == "synced";
}

bool PortBlocked(const nlohmann::json& kcp, bool blocked) {
    using Ptr = nlohmann::json::json_pointer;
    const Ptr block("/ports/" + std::string(kLsp) + "/block/state");
    const Ptr vni("/ports/" + std::string(kLsp) + "/vni/vni");
    return kcp.contains(block) && kcp[block] == (blocked ? "BLOCK" : "UNBLOCK") &&
           kcp.contains(vni) && kcp[vni] == 5001;
}

// One system for every check: the port follows its switch across emulator and database restarts;
// guest-tool bindings, the simulated out-of-sync and the health monitor.
TEST(ConfigAppSystemTest, PortFollowsTheSwitchAcrossRestartsBindingsOutOfSyncAndHealth) {
    test::AgentSystemOptions options;
    options.agentConfigXml =
        "<config><log><level>5</level><outputToConsole>true</outputToConsole></log><cfgAgent>"
        "<workGroup><ioThreads>2</ioThreads><workThreads>16</workThreads></workGroup><apps><app>"
        "<name>config</name><enabled>true</enabled><config><krnlink><path>ozy_kcp_krnlink</path>"
        "</krnlink><features><healthMonitor><enabled>true</enabled></healthMonitor></features>"
        "</config></app></apps></cfgAgent></config>";
    test::AgentSystem sys(options);
    ASSERT_TRUE(sys.Start());
    ASSERT_TRUE(sys.AwaitEmu("kcp", SessionSynced)) << "the agent opens a KCP session";
    ASSERT_TRUE(sys.Apply(SwitchJson(true)));
    ASSERT_TRUE(sys.Apply(PortJson()));
    auto r = sys.EmuCtl({"dpemu/vif-connect", kVif, kLsp, kDvs, kMac});
    ASSERT_EQ(r.status, 0) << r.output;

    // The VIF state the agent wrote.
    ASSERT_TRUE(AwaitVifState(sys, [](const nlohmann::json& s) {
        return !s.is_null() && s.value("status", 0) == 1 && s.value("port_id", "") == kLsp &&
               s.value("switch_id", "") == kDvs;
    })) << VifState(sys).dump();
    nlohmann::json state = VifState(sys);
    ASSERT_TRUE(state.contains("macs"));
    EXPECT_EQ(state["macs"].size(), 1u);
    EXPECT_EQ(state["id"], kVif);

    // Unblocked, with the switch's properties.
    ASSERT_TRUE(sys.AwaitEmu(
        "kcp", [](const nlohmann::json& d) { return PortBlocked(d, false); },
        std::chrono::seconds(20)))
        << sys.EmuDump("kcp").dump();

    // The switch's admin state goes down: the port is blocked.
    size_t mark = sys.AgentLogSize();
    ASSERT_TRUE(sys.Apply(SwitchJson(false)));
    ASSERT_TRUE(sys.AwaitAgentLog(std::string("ConfigApp: received desired config update, id ") +
                                      kLs +
                                      " type LOG_SWITCH_CONFIG property type LS_ADMIN_STATE_UP "
                                      "(Update)",
                                  std::chrono::seconds(60), mark));
    ASSERT_TRUE(sys.AwaitEmu(
        "kcp", [](const nlohmann::json& d) { return PortBlocked(d, true); },
        std::chrono::seconds(20)))
        << sys.EmuDump("kcp").dump();

    // The emulator restarts (the link drops): a new session, a full push, and the VIF states of
    // the new session's full sync replace the old ones.
    mark = sys.AgentLogSize();
    sys.StopEmulator();
    ASSERT_TRUE(sys.StartEmulator());
    ASSERT_TRUE(sys.AwaitAgentLog("ConfigApp: DP link status turns to DOWN",
                                  std::chrono::seconds(60), mark));
    ASSERT_TRUE(sys.AwaitEmu("kcp", SessionSynced));
    ASSERT_TRUE(sys.AwaitAgentLog("ConfigApp: Start full sync with DP after DP connection is up",
                                  std::chrono::seconds(60), mark));
    EXPECT_TRUE(AwaitVifState(sys, [](const nlohmann::json& s) { return s.is_null(); }))
        << "the new dataplane reported no VIF";
    r = sys.EmuCtl({"dpemu/vif-connect", kVif, kLsp, kDvs, kMac});
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_TRUE(AwaitVifState(sys, [](const nlohmann::json& s) { return !s.is_null(); }));
    ASSERT_TRUE(sys.AwaitEmu(
        "kcp", [](const nlohmann::json& d) { return PortBlocked(d, true); },
        std::chrono::seconds(20)))
        << sys.EmuDump("kcp").dump();

    // The database restarts: a full sync from cairndb, pushed again, without duplicate or lost
    // properties.
    nlohmann::json before = sys.EmuDump("kcp");
    mark = sys.AgentLogSize();
    ASSERT_TRUE(sys.Db().Restart());
    ASSERT_TRUE(sys.AwaitAgentLog("ConfigApp: Start full sync with DP after sync with cairndb",
                                  std::chrono::seconds(90), mark));
    nlohmann::json after;
    EXPECT_TRUE(test::AwaitTrue(
        [&] {
            after = sys.EmuDump("kcp");
            return !after.is_null() && after["ports"] == before["ports"] &&
                   after["switches"] == before["switches"] && after["krnnics"] == before["krnnics"];
        },
        std::chrono::seconds(30), std::chrono::milliseconds(200)))
        << "before: " << before["ports"].dump() << "\nafter: " << after["ports"].dump();
    EXPECT_TRUE(after["errors"].empty()) << after["errors"].dump();
    EXPECT_FALSE(VifState(sys).is_null());

    // The guest tools report 10.0.0.5 with a MAC and 10.0.0.6 without one.
    ASSERT_TRUE(sys.Apply(std::string(R"({"DA_VIF": [{"id": ")") + kVif + R"(", "vif_id": ")" +
                          kVif +
                          R"(", "bindings": [{"ip": {"ipv4": 167772165}, "mac": "345051413249"},
                                              {"ip": {"ipv4": 167772166}}]}]})"));
    ASSERT_TRUE(AwaitVifState(sys, [](const nlohmann::json& s) {
        return !s.is_null() && s.contains("ip_discovered_bindings") &&
               s["ip_discovered_bindings"].size() == 2;
    })) << VifState(sys).dump();

    // The dataplane's switch-security module asks for them: only the complete one is sent.
    r = sys.EmuCtl({"dpemu/swsec-solicit", kVif});
    ASSERT_EQ(r.status, 0) << r.output;
    nlohmann::json swsec;
    ASSERT_TRUE(sys.AwaitEmu("swsec", [&](const nlohmann::json& d) {
        swsec = d;
        return d["bindings"].contains(kVif);
    })) << swsec.dump();
    ASSERT_EQ(swsec["bindings"][kVif].size(), 1u);
    EXPECT_EQ(swsec["bindings"][kVif][0]["ip"], "10.0.0.5");
    EXPECT_EQ(swsec["bindings"][kVif][0]["mac"], "00:50:56:aa:bb:01");
    EXPECT_TRUE(sys.AwaitAgentLog("IpDiscovery: Skipped davif binding item"));

    // The simulated out-of-sync of the CLI opens a new session.
    int opened = sys.EmuDump("kcp")["session"]["opened"];
    r = sys.AgentCtl({"cfgagent/set-simulate/out-of-sync", "config"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "Setting simulate out of sync for vertical config successfully\n");
    EXPECT_TRUE(sys.AwaitEmu("kcp", [&](const nlohmann::json& d) {
        return d["session"]["opened"] == opened + 1 && SessionSynced(d);
    }));
    // The VIF is still connected after the new session's full sync.
    EXPECT_TRUE(AwaitVifState(sys, [](const nlohmann::json& s) { return !s.is_null(); }));

    // The health monitor reaches the database and says so.
    EXPECT_TRUE(sys.AwaitAgentLog("DaemonHealthMonitor: cairndb connected"));
    EXPECT_TRUE(sys.AwaitAgentLog("DaemonHealthMonitor: ping cairndb sent"));
    EXPECT_EQ(sys.StopAgent(), 0);
}

}  // namespace
}  // namespace CfgAgent
