// The configuration application end to end with real processes: ovsdb-server (cairndb), ozy-dpemu
// and ozy-cfgagent with "config" enabled, in one host root. Configuration goes in with cairnctl,
// the dataplane is driven and read with ovs-appctl on the emulator, runtime state is read back
// with cairnctl.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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
constexpr const char* kTn = "7e000000-0000-4000-8000-0000000000e1";
// A container interface: child switch kChildLs on VLAN 10 of kLs; the VM's port kVmLsp on VIF kV1;
// the CIF kCif behind kV1 on VLAN 10, its child port kChildPort.
constexpr const char* kChildLs = "5a000000-0000-0000-0000-0000000000a2";
constexpr const char* kVmLsp = "5b000000-0000-0000-0000-0000000000b2";
constexpr const char* kV1 = "vm-vif-1";
constexpr const char* kCifLsp = "5b000000-0000-0000-0000-0000000000b3";
constexpr const char* kCif = "cif-vif-1";
constexpr const char* kChildPort = "5b000000-0000-0000-0000-0000000000b2_1";

std::string SwitchJson(bool adminUp) {
    return std::string(R"({"LOG_SWITCH_CONFIG": [{"id": ")") + kLs +
           R"(", "vni": 5001, "admin_state_up": )" + (adminUp ? "true" : "false") +
           R"(, "switch_name": "ls-web"}]})";
}

// `conduitParent`: the port's VIF is a parent on the container-interface bus.
std::string PortJson(bool conduitParent = false) {
    return std::string(R"({"LOG_SWITCH_PORT_CONFIG": [{"id": ")") + kLsp + R"(", "switch_id": ")" +
           kLs + R"(", "admin_state_up": true, "attachment": {"type": 1, "vif_id": ")" + kVif +
           R"(", "dvport_id": ")" + kLsp + R"("})" +
           (conduitParent ? R"(, "extra_configs": [{"key":
               "com.orvane.port.extraConfig.parentVif.conduit", "value": "true"}]}]})"
                          : "}]}");
}

std::string CifJson() {
    return std::string(R"({"LOG_SWITCH_CONFIG": [{"id": ")") + kChildLs +
           R"(", "vni": 5002, "attachment": [{"attachment_id": ")" + kLs +
           R"(", "vlan": 10}]}], "LOG_SWITCH_PORT_CONFIG": [{"id": ")" + kVmLsp +
           R"(", "switch_id": ")" + kLs + R"(", "attachment": {"type": 1, "vif_id": ")" + kV1 +
           R"(", "dvport_id": ")" + kVmLsp + R"("}}, {"id": ")" + kCifLsp + R"(", "switch_id": ")" +
           kChildLs + R"(", "attachment": {"type": 1, "vif_id": ")" + kCif +
           R"(", "dvport_id": ")" + kChildPort + R"(", "parent_vif_id": ")" + kV1 +
           R"(", "vlan": 10}, "address_bindings": [{"ip": {"ipv4": 167772170},
                                                      "mac": "2199023258113"}]}]})";
}

bool CifProgrammed(const nlohmann::json& kcp) {
    using Ptr = nlohmann::json::json_pointer;
    const Ptr list("/port_container_lists/" + std::string(kV1));
    return kcp["containers"].contains(kCif) && kcp.contains(list) &&
           kcp[list] == nlohmann::json::array({kCif}) && kcp["ports"].contains(kChildPort);
}

bool CifGone(const nlohmann::json& kcp) {
    return kcp["containers"].empty() && !kcp["ports"].contains(kChildPort) &&
           kcp["port_container_lists"].value(kV1, nlohmann::json::array()).empty();
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

// IPFIX: switch profile kIpfixSwitch (domain 77, egress) on kLsp using collector profile
// kIpfixCollectors: 127.0.0.1 on `port` (twice: one rule) and ::1 on 4739.
constexpr const char* kIpfixSwitch = "6f000000-0000-4000-8000-000000000001";
constexpr const char* kIpfixCollectors = "6f000000-0000-4000-8000-000000000002";

std::string IpfixJson(int port) {
    nlohmann::json v4 = {{"ip", {{"ipv4", 2130706433}}}, {"port", port}};
    nlohmann::json v6 = {{"ip", {{"ipv6", "AAAAAAAAAAAAAAAAAAAAAQ=="}}}, {"port", 4739}};
    nlohmann::json j = {{"PROFILE",
                         {{{"id", kIpfixCollectors},
                           {"profile_type", 2},
                           {"ipfix_collector_profile", {{"collectors", {v4, v4, v6}}}}},
                          {{"id", kIpfixSwitch},
                           {"profile_type", 1},
                           {"logical_switch_port_ids", {kLsp}},
                           {"ipfix_switch_profile",
                            {{"observation_domain_id", 77},
                             {"sampling_location", 2},
                             {"config", {{"collector_profile_ids", {kIpfixCollectors}}}}}}}}}};
    return j.dump();
}

// A UDP port on 127.0.0.1 that was free a moment ago.
int FreeUdpPort() {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0
                   ? ntohs(a.sin_port)
                   : 0;
    ::close(fd);
    return port;
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
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
// guest-tool bindings, a container interface behind a VM's VIF, IPFIX export to a real collector
// (nfdump's nfcapd), the simulated out-of-sync and the health monitor.
TEST(ConfigAppSystemTest, PortFollowsTheSwitchAcrossRestartsBindingsCifsOutOfSyncAndHealth) {
    test::AgentSystemOptions options;
    options.agentConfigXml =
        "<config><log><level>5</level><outputToConsole>true</outputToConsole></log><cfgAgent>"
        "<workGroup><ioThreads>2</ioThreads><workThreads>16</workThreads></workGroup><apps><app>"
        "<name>config</name><enabled>true</enabled><config><krnlink><path>ozy_kcp_krnlink</path>"
        "</krnlink><features><healthMonitor><enabled>true</enabled></healthMonitor><conduit>"
        "<krnnicPollMs>500</krnnicPollMs></conduit></features>"
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

    // A container interface: nothing is sent for it before its host VIF kV1 connects.
    mark = sys.AgentLogSize();
    ASSERT_TRUE(sys.Apply(CifJson()));
    ASSERT_TRUE(sys.AwaitAgentLog(std::string("Host VM VIF ") + kV1 + " not connected for CIF " +
                                      kCif + " on port " + kChildPort,
                                  std::chrono::seconds(60), mark));
    EXPECT_TRUE(sys.EmuDump("kcp")["containers"].empty());
    r = sys.EmuCtl({"dpemu/vif-connect", kV1, kVmLsp, kDvs});
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_TRUE(sys.AwaitEmu("kcp", CifProgrammed)) << sys.EmuDump("kcp").dump();
    nlohmann::json kcp = sys.EmuDump("kcp");
    nlohmann::json container = kcp["containers"][kCif];
    EXPECT_EQ(container["port_id"], kChildPort);
    EXPECT_EQ(container["vm_port_id"], kVmLsp);
    EXPECT_EQ(container["vm_vif_id"], kV1);
    EXPECT_EQ(container["vlan"], 10);
    EXPECT_EQ(container["mac"], "02:00:00:00:0a:01");
    EXPECT_EQ(kcp["ports"][kChildPort]["ls_attachment"]["parent_port_id"], kVmLsp);
    EXPECT_EQ(kcp["ports"][kChildPort]["ls_attachment"]["vlan"], 10);
    nlohmann::json cifs = sys.AgentJson({"cfgagent/config/ciflist"});
    ASSERT_EQ(cifs.size(), 1u) << cifs.dump();
    EXPECT_EQ(cifs[0]["cif"], kCif);
    EXPECT_EQ(cifs[0]["host_vif"], kV1);
    EXPECT_EQ(cifs[0]["child_port"], kChildPort);
    EXPECT_EQ(cifs[0]["connected"], true);
    // The dataplane loses the host port, then asks for its container list: both are sent again.
    int updates = kcp["stats"]["updates"];
    mark = sys.AgentLogSize();
    r = sys.EmuCtl({"dpemu/out-of-sync", "kcp", "port", kV1});
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_TRUE(sys.AwaitAgentLog(std::string("CIF port [") + kCif + "] reSync",
                                  std::chrono::seconds(60), mark));
    r = sys.EmuCtl({"dpemu/out-of-sync", "kcp", "hopover", kV1, "2"});
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_TRUE(sys.AwaitAgentLog(std::string("Sync container list of host VM VIF ") + kV1,
                                  std::chrono::seconds(60), mark));
    EXPECT_TRUE(sys.AwaitEmu("kcp", [&](const nlohmann::json& d) {
        return d["stats"]["updates"].get<int>() >= updates + 2 && CifProgrammed(d);
    }));
    // The host VIF disconnects: the child port, the Container record and the list go.
    r = sys.EmuCtl({"dpemu/vif-disconnect", kV1});
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_TRUE(sys.AwaitEmu("kcp", CifGone)) << sys.EmuDump("kcp").dump();
    EXPECT_TRUE(sys.AwaitAgentJson({"cfgagent/config/ciflist"}, [](const nlohmann::json& j) {
        return j.size() == 1 && j[0]["connected"] == false;
    }));
    EXPECT_TRUE(sys.EmuDump("kcp")["errors"].empty()) << sys.EmuDump("kcp")["errors"].dump();

    // The container-interface bus: its kernel NIC connects before the virtual switch knows its
    // address (LCP00515, polled); once it does, kVif (attached and connected) made a bus parent by
    // its port's extra config gets the pool's first LIP and its "ct-" port.
    // The bus's channel comes with the node's transport node, a host's (type 1).
    mark = sys.AgentLogSize();
    ASSERT_TRUE(sys.Apply(std::string(R"({"TRANSPORT_NODE_CONFIG": [{"id": ")") + kTn +
                          R"(", "type": 1}]})"));
    ASSERT_TRUE(sys.AwaitAgentLog("Set Conduit channel for TN node type 1",
                                  std::chrono::seconds(60), mark));
    r = sys.EmuCtl(
        {"dpemu/vif-connect", "conduitKrnnic0", "conduitKrnnic0", kDvs, "--type", "krnnic"});
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_TRUE(sys.AwaitAgentLog("Failed to get krnnic conduitKrnnic0 IP address",
                                  std::chrono::seconds(60), mark));
    ASSERT_TRUE(
        sys.AwaitAgentLog("GetConduitKrnnicIP timer triggered", std::chrono::seconds(60), mark));
    r = sys.EmuCtl({"dpemu/krnnic-add", "conduitKrnnic0", "169.254.1.1", "255.255.255.0", kDvs});
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_TRUE(sys.Apply(PortJson(true)));
    const std::string ctPort = std::string("ct-") + kVif;
    ASSERT_TRUE(sys.AwaitEmu("kcp", [&](const nlohmann::json& d) {
        return d["ports"].contains(ctPort);
    })) << sys.EmuDump("kcp")["ports"].dump();
    EXPECT_TRUE(sys.AwaitAgentJson({"cfgagent/config/conduitkrn"}, [](const nlohmann::json& j) {
        return j.size() == 1 && j[0].value("pool", "") == "169.254.1.10-169.254.1.255" &&
               j[0]["lips"].value(kVif, "") == "169.254.1.10";
    })) << sys.AgentJson({"cfgagent/config/conduitkrn"}).dump();

    // IPFIX: the port's export settings reach the dataplane, the host firewall opens the
    // collectors' ports (the hostcli stand-in reads the ruleset with xmllint), and the emulator's
    // export of the port reaches nfcapd, whose files nfdump reads back.
    {
        SCOPED_TRACE("IPFIX");
        const int port = FreeUdpPort();
        ASSERT_NE(port, 0);
        const std::string flows = sys.Root() + "/nfcapd";
        ::mkdir(flows.c_str(), 0755);
        test::ChildProcess nfcapd("/usr/bin/nfcapd",
                                  {"-w", flows, "-p", std::to_string(port), "-b", "127.0.0.1"},
                                  sys.Root() + "/nfcapd.log");
        ASSERT_TRUE(nfcapd.WaitForOutput("Startup nfcapd")) << nfcapd.Output();
        ASSERT_TRUE(sys.Apply(IpfixJson(port)));
        const std::string ipfix = "/ipfix";
        nlohmann::json props;
        ASSERT_TRUE(test::AwaitTrue(
            [&] {
                auto p = sys.EmuCtl({"dpemu/kcp-port", kLsp});
                props = p.status == 0 ? nlohmann::json::parse(p.output, nullptr, false)
                                      : nlohmann::json();
                return props.is_object() && props.contains("ipfix");
            },
            std::chrono::seconds(60), std::chrono::milliseconds(200)))
            << props.dump();
        EXPECT_EQ(props["ipfix"]["observation_domain_id"], 77);
        EXPECT_EQ(props["ipfix"]["sampling_location"], "EGRESS");
        ASSERT_EQ(props["ipfix"]["collectors"].size(), 3u);
        EXPECT_EQ(props["ipfix"]["collectors"][0]["address"], "127.0.0.1");
        EXPECT_EQ(props["ipfix"]["collectors"][0]["port"], port);
        EXPECT_EQ(props["ipfix"]["collectors"][2]["address"], "::1");
        r = sys.EmuCtl({"dpemu/ipfix-summary"});
        EXPECT_EQ(nlohmann::json::parse(r.output, nullptr, false),
                  nlohmann::json({{"ports", 1},
                                  {"collector_ports", {{std::to_string(port), 1}, {"4739", 1}}}}))
            << r.output;
        const std::string hostcli = sys.Root() + "/var/log/hostcli";
        const std::string rules = "0000 " + std::to_string(std::min(port, 4739)) + "\n0001 " +
                                  std::to_string(std::max(port, 4739)) + "\n";
        EXPECT_TRUE(test::AwaitTrue([&] { return ReadFile(hostcli + "/ipfix-rules") == rules; },
                                    std::chrono::seconds(60), std::chrono::milliseconds(200)))
            << ReadFile(hostcli + "/ipfix-rules") << ReadFile(hostcli + "/errors");
        EXPECT_TRUE(test::AwaitTrue(
            [&] {
                return ReadFile(hostcli + "/calls") ==
                       "network firewall ruleset set -e 1 -r ipfix\nnetwork firewall refresh\n";
            },
            std::chrono::seconds(60), std::chrono::milliseconds(200)))
            << ReadFile(hostcli + "/calls");
        nlohmann::json profiles = sys.AgentJson({"cfgagent/ipfix-switch/profile/lport", kLsp});
        EXPECT_EQ(profiles["switch_profile"], kIpfixSwitch) << profiles.dump();
        EXPECT_EQ(sys.AgentJson({"cfgagent/ipfix-switch/profile/all"}).size(), 1u);

        r = sys.EmuCtl({"dpemu/ipfix-export", kLsp});
        ASSERT_EQ(r.status, 0) << r.output;
        ASSERT_TRUE(nfcapd.WaitForOutput("Observation domain 77 from: 127.0.0.1"))
            << nfcapd.Output();
        nfcapd.Signal(SIGTERM);
        ASSERT_EQ(nfcapd.WaitExit(), 0) << nfcapd.Output();
        test::RunResult dump = test::RunProgram(
            "/usr/bin/nfdump", {"-R", flows, "-q", "-o", "fmt:%sa %da %sp %dp %pr %pkt %byt"});
        ASSERT_EQ(dump.status, 0) << dump.output;
        EXPECT_NE(dump.output.find("192.0.2.10    198.51.100.20  49152    443 TCP         10  "),
                  std::string::npos)
            << dump.output;
        // nfdump -E: the exporter with the port's observation domain.
        std::string files;
        for (const auto& e : std::filesystem::directory_iterator(flows))
            files = e.path().string();
        test::RunResult exporters = test::RunProgram("/usr/bin/nfdump", {"-E", files});
        EXPECT_NE(exporters.output.find("IP:        127.0.0.1, version: 10, ID: 77"),
                  std::string::npos)
            << exporters.output;

        // The last collector goes: the port's export is removed, the ruleset disabled and its
        // file removed.
        const std::string ruleset = sys.Root() + "/etc/orvane/firewall/ipfixRuleset.xml";
        EXPECT_TRUE(std::ifstream(ruleset).good());
        ASSERT_TRUE(sys.Cairnctl({"delete", "PROFILE", kIpfixCollectors}).status == 0);
        EXPECT_TRUE(sys.AwaitEmu(
            "kcp", [](const nlohmann::json& d) { return !d["ports"][kLsp].contains("ipfix"); }));
        EXPECT_TRUE(test::AwaitTrue(
            [&] {
                return ReadFile(hostcli + "/calls").find("ruleset set -e 0 -r ipfix") !=
                       std::string::npos;
            },
            std::chrono::seconds(60), std::chrono::milliseconds(200)))
            << ReadFile(hostcli + "/calls");
        EXPECT_TRUE(test::AwaitTrue([&] { return !std::ifstream(ruleset).good(); },
                                    std::chrono::seconds(60), std::chrono::milliseconds(200)));
    }

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
