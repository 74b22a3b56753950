// The shared services of the running agent with real processes: the cairndb connection status on
// the CLI, the alarm table, and the profile service end to end (PROFILE objects bound to ports and
// through a container, applied with cairnctl, reach IP discovery's callback; unbinding and deleting
// the container revert). Then intrusion detection over the same processes: the engine the
// emulator plays comes up after the configuration, receives the mode, oversubscription, a
// signature bundle made by GNU tar, profiles and rules, and gets everything again after a
// restart; a hostile bundle is refused and the old one stays; a stalled engine holds up only its
// own page.
#include <gtest/gtest.h>

#include <unistd.h>

#include <future>

#include <nlohmann/json.hpp>

#include "tests/support/AgentSystem.h"
#include "tests/support/Await.h"

namespace CfgAgent::test {
namespace {

constexpr const char* kPort1 = "00000000-0000-0000-0000-0000000001a1";
constexpr const char* kPort2 = "00000000-0000-0000-0000-0000000001a2";
constexpr const char* kProfile1 = "00000000-0000-0000-0000-0000000002b1";
constexpr const char* kProfile2 = "00000000-0000-0000-0000-0000000002b2";
constexpr const char* kContainer = "00000000-0000-0000-0000-0000000003c1";
constexpr const char* kRelation = "00000000-0000-0000-0000-0000000004d1";

AgentSystemOptions Options() {
    AgentSystemOptions o;
    o.agentConfigXml =
        "<config><log><level>5</level><outputToConsole>true</outputToConsole></log><cfgAgent>"
        "<workGroup><ioThreads>2</ioThreads><workThreads>16</workThreads></workGroup><apps>"
        "<app><name>config</name><enabled>true</enabled><config>"
        "<krnlink><path>ozy_kcp_krnlink</path></krnlink>"
        "<features><healthMonitor><enabled>true</enabled></healthMonitor></features>"
        "</config></app>"
        "<app><name>ids</name><enabled>true</enabled><config><default>"
        "<request_timeout_ms>4000</request_timeout_ms><min_backoff_ms>20</min_backoff_ms>"
        "<max_backoff_ms>200</max_backoff_ms><retry_interval_ms>200</retry_interval_ms>"
        "</default></config></app></apps></cfgAgent></config>";
    return o;
}

constexpr const char* kIdsRule1 = "00000000-0000-0000-0000-0000000005e1";
constexpr const char* kIdsRule2 = "00000000-0000-0000-0000-0000000005e2";

// A gzip-compressed tar of `files` made by GNU tar (or by python's tarfile with `hostile` names
// kept as written), base64 for cairnctl's JSON.
std::string Bundle(AgentSystem& sys, const std::vector<std::pair<std::string, std::string>>& files,
                   bool hostile = false) {
    std::string dir = sys.Root() + "/bundle-src";
    std::string out = sys.Root() + "/bundle.tgz";
    RunProgram("/bin/rm", {"-rf", dir, out});
    if (hostile) {
        std::string script = "import io,sys,tarfile\nt=tarfile.open(sys.argv[1],'w:gz')\n";
        for (const auto& [name, text] : files)
            script += "b=" + nlohmann::json(text).dump() + ".encode()\ni=tarfile.TarInfo(" +
                      nlohmann::json(name).dump() +
                      ")\ni.size=len(b)\nt.addfile(i,io.BytesIO(b))\n";
        script += "t.close()\n";
        EXPECT_EQ(RunProgram("/usr/bin/env", {"python3", "-c", script, out}).status, 0);
    } else {
        for (const auto& [name, text] : files) {
            std::string path = dir + "/" + name;
            RunProgram("/bin/mkdir", {"-p", path.substr(0, path.rfind('/'))});
            FILE* f = std::fopen(path.c_str(), "w");
            std::fputs(text.c_str(), f);
            std::fclose(f);
        }
        EXPECT_EQ(RunProgram("/bin/tar", {"-czf", out, "-C", dir, "."}).status, 0);
    }
    RunResult b64 = RunProgram("/usr/bin/base64", {"-w0", out}, {}, std::chrono::seconds(60), true);
    EXPECT_EQ(b64.status, 0);
    return b64.output;
}

std::string IdsStatus(AgentSystem& sys) {
    nlohmann::json got = sys.Get("RUNTIME_STATUS");
    for (const nlohmann::json& s : got.value("RUNTIME_STATUS", nlohmann::json::array())) {
        if (s.value("component_id", 0) == 10)
            return s.contains("errors") ? s["errors"][0].value("error_message", "?") : "";
    }
    return "<none>";
}

std::string IdsBarrier(AgentSystem& sys) {
    nlohmann::json got = sys.Get("PROCESSED_BARRIER");
    for (const nlohmann::json& b : got.value("PROCESSED_BARRIER", nlohmann::json::array())) {
        if (b.value("vertical_id", 0) == 10)
            return b.value("barrier_id", "");
    }
    return "";
}

// The profile id in effect for (port, type 3) on the agent's profile service; "" when none.
std::string Effective(const nlohmann::json& upm, const std::string& port) {
    if (!upm.is_object() || !upm["ports"].contains(port) || !upm["ports"][port].contains("3"))
        return std::string();
    return upm["ports"][port]["3"].get<std::string>();
}

TEST(FoundationsSystemTest, ConnectionStatusAlarmsAndProfilesThroughTheRunningAgent) {
    AgentSystem sys(Options());
    ASSERT_TRUE(sys.Start());

    // Connection status: the health monitor sees the database alive.
    EXPECT_TRUE(sys.AwaitAgentJson({"cfgagent/health/status"}, [](const nlohmann::json& j) {
        return j["agent_status"]["sub_status"][0]["name"] == "cfgagent-cairndb-connection" &&
               j["agent_status"]["sub_status"][0]["status"] == "UP";
    }));

    // The alarm table answers (nothing raised by this configuration).
    nlohmann::json alarms = sys.AgentJson({"cfgagent/alarms"});
    EXPECT_EQ(alarms["active"], 0) << alarms.dump();

    // Profiles: one bound to port 1, one bound through a container holding port 2.
    const std::string p1 = kPort1, p2 = kPort2;
    ASSERT_TRUE(sys.Apply(std::string(R"({
        "PROFILE": [
          {"id": ")") + kProfile1 +
                          R"(", "profile_type": 3, "logical_switch_port_ids": [")" + kPort1 +
                          R"("], "ip_discovery_profile": {"arp_snooping": true}},
          {"id": ")" + kProfile2 +
                          R"(", "profile_type": 3, "container_ids": [")" + kContainer +
                          R"("], "ip_discovery_profile": {"dhcp_snooping": true}}],
        "CONTAINER": [{"id": ")" +
                          kContainer + R"("}],
        "ENTITY_GROUP_RELATION": [{"id": ")" +
                          kRelation + R"(", "container_logical_switch_port": [{"container_id": ")" +
                          kContainer + R"(", "logical_switch_port_ids": [")" + kPort2 +
                          R"("]}]}]})"));
    EXPECT_TRUE(sys.AwaitAgentJson({"cfgagent/upm/profiles"}, [&](const nlohmann::json& j) {
        return Effective(j, p1) == kProfile1 && Effective(j, p2) == kProfile2;
    }));
    // IP discovery's callback received them as the ports' effective profiles.
    EXPECT_TRUE(sys.AwaitAgentLog(std::string("IpDiscovery: IP discovery profile ") + kProfile1 +
                                  " of port " + kPort1 + ": arp_snooping: true"));
    EXPECT_TRUE(sys.AwaitAgentLog(std::string("IpDiscovery: IP discovery profile ") + kProfile2 +
                                  " of port " + kPort2 + ": dhcp_snooping: true"));

    // Unbinding port 1 reverts it.
    size_t mark = sys.AgentLogSize();
    ASSERT_TRUE(
        sys.Apply(std::string(R"({"PROFILE": [{"id": ")") + kProfile1 +
                  R"(", "profile_type": 3, "ip_discovery_profile": {"arp_snooping": true}}]})"));
    EXPECT_TRUE(sys.AwaitAgentJson({"cfgagent/upm/profiles"}, [&](const nlohmann::json& j) {
        return Effective(j, p1).empty() && Effective(j, p2) == kProfile2;
    }));
    EXPECT_TRUE(sys.AwaitAgentLog(
        std::string("IpDiscovery: port ") + kPort1 + " has no IP discovery profile",
        std::chrono::seconds(60), mark));

    // Deleting the container reverts its mapping: port 2 loses the profile bound through it.
    mark = sys.AgentLogSize();
    RunResult del = sys.Cairnctl({"delete", "CONTAINER", kContainer});
    ASSERT_EQ(del.status, 0) << del.output;
    EXPECT_TRUE(sys.AwaitAgentLog(
        std::string("CairndbClient: RevertUPMContainerMapping CLEAR (") + kContainer + ")",
        std::chrono::seconds(60), mark));
    EXPECT_TRUE(sys.AwaitAgentJson({"cfgagent/upm/profiles"}, [&](const nlohmann::json& j) {
        return Effective(j, p2).empty() && j["containers"].empty();
    }));
    EXPECT_TRUE(sys.AwaitAgentLog(
        std::string("IpDiscovery: port ") + kPort2 + " has no IP discovery profile",
        std::chrono::seconds(60), mark));

    // ---- intrusion detection ----
    // The engine is away while the configuration arrives: the pass fails and says so.
    ASSERT_EQ(sys.EmuCtl({"dpemu/ids-stop"}).status, 0);
    const std::string bundle =
        Bundle(sys, {{"rules/emerging.rules",
                      "alert tcp any any -> any any (msg:\"a\"; sid:2001;)\n"
                      "alert tcp any any -> any any (msg:\"b\"; sid:2002;)\n"
                      "# alert tcp any any -> any any (sid:2003;)\n"},
                     {"rules/more.rules", "alert udp any any -> any any (sid:2004;)\n"}});
    nlohmann::json ids = {
        {"SECURITY_FEATURE_TOGGLE",
         {{{"id", "00000000-0000-0000-0000-0000000005a1"}, {"ids_mode", true}}}},
        {"GLOBAL_CONFIG",
         {{{"id", "00000000-0000-0000-0000-0000000005a2"}, {"ids_oversubscription", 1}}}},
        {"RULE_SECTION",
         {{{"id", "00000000-0000-0000-0000-0000000005a3"},
           {"kind", 4},
           {"enforcement", 2},
           {"priority", 1}}}},
        {"RULE",
         {{{"id", kIdsRule1},
           {"rule_id", 5001},
           {"type", 6},
           {"action", 21},
           {"enforcement", 2},
           {"section_id", "00000000-0000-0000-0000-0000000005a3"}},
          {{"id", kIdsRule2},
           {"rule_id", 5002},
           {"type", 6},
           {"action", 24},
           {"enforcement", 2},
           {"section_id", "00000000-0000-0000-0000-0000000005a3"}}}},
        {"CONTEXT_PROFILE",
         {{{"id", "00000000-0000-0000-0000-0000000005a4"},
           {"name", "web-ids"},
           {"attributes",
            {{{"key", "IDS"}, {"values", {"[2001:1:reject]"}}},
             {{"key", "IDS_PCAP"}, {"values", {"true:128:4"}}}}}}}},
        {"IDS_SIGNATURES",
         {{{"id", "00000000-0000-0000-0000-0000000005a5"}, {"system_bundle", bundle}}}},
        {"BARRIER", {{{"id", "00000000-0000-0000-0000-0000000005a6"}, {"barrier_id", 41}}}}};
    ASSERT_TRUE(sys.Apply(ids.dump()));
    EXPECT_TRUE(AwaitTrue([&] { return IdsBarrier(sys) == "41"; })) << IdsBarrier(sys);
    EXPECT_TRUE(AwaitTrue([&] {
        return IdsStatus(sys).rfind("failed to apply idps config to the engine", 0) == 0;
    })) << IdsStatus(sys);

    // The engine comes: everything arrives.
    ASSERT_EQ(sys.EmuCtl({"dpemu/ids-start"}).status, 0);
    EXPECT_TRUE(sys.AwaitEmu("idps", [](const nlohmann::json& j) {
        return j["rules"].size() == 2 && j["sids_loaded"] == 3 &&
               j["profiles"].contains("web-ids") && j["reloads"] == 1;
    })) << sys.EmuDump("idps").dump();
    EXPECT_TRUE(sys.AwaitEmu("tarp", [](const nlohmann::json& j) {
        return j["ids_mode"] == 1 && j["oversubscription"] == 1;
    })) << sys.EmuDump("tarp").dump();
    EXPECT_TRUE(AwaitTrue([&] { return IdsStatus(sys).empty(); })) << IdsStatus(sys);
    RunResult rules = sys.AgentCtl({"ids/get/rules"});
    EXPECT_NE(rules.output.find(std::string("\"") + kIdsRule1 + "\": \"Detect\""),
              std::string::npos)
        << rules.output;
    EXPECT_NE(rules.output.find("\"Prevent\""), std::string::npos) << rules.output;
    EXPECT_NE(sys.AgentCtl({"ids/get/engine/status"}).output.find("\"sids_loaded\": 3"),
              std::string::npos);

    // A restart: oversubscription again, one reload, the full maps.
    size_t idsMark = sys.AgentLogSize();
    ASSERT_EQ(sys.EmuCtl({"dpemu/ids-restart"}).status, 0);
    EXPECT_TRUE(sys.AwaitAgentLog("IDSApp::updateOversubscription: Successfully enabled",
                                  std::chrono::seconds(60), idsMark));
    EXPECT_TRUE(sys.AwaitEmu("idps", [](const nlohmann::json& j) {
        return j["restarts"] == 2 && j["reloads"] == 1 && j["rules"].size() == 2 &&
               j["profiles"].size() == 1 && j["sids_loaded"] == 3;
    })) << sys.EmuDump("idps").dump();

    // The last rules deleted: the engine's map empties.
    ASSERT_EQ(sys.Cairnctl({"delete", "RULE", kIdsRule1}).status, 0);
    ASSERT_EQ(sys.Cairnctl({"delete", "RULE", kIdsRule2}).status, 0);
    EXPECT_TRUE(sys.AwaitEmu("idps", [](const nlohmann::json& j) { return j["rules"].empty(); }));

    // A hostile bundle: 8001, and the engine still counts the old signatures after a restart.
    nlohmann::json hostile = {
        {"IDS_SIGNATURES",
         {{{"id", "00000000-0000-0000-0000-0000000005a5"},
           {"system_bundle", Bundle(sys,
                                    {{"rules/x.rules", "alert ip (sid:9;)\n"},
                                     {"../../evil.rules", "alert ip (sid:10;)\n"}},
                                    true)}}}},
        {"BARRIER", {{{"id", "00000000-0000-0000-0000-0000000005a6"}, {"barrier_id", 42}}}}};
    ASSERT_TRUE(sys.Apply(hostile.dump()));
    EXPECT_TRUE(AwaitTrue([&] { return IdsBarrier(sys) == "42"; })) << IdsBarrier(sys);
    EXPECT_TRUE(AwaitTrue([&] {
        return IdsStatus(sys).rfind("failed to process idps config message", 0) == 0;
    })) << IdsStatus(sys);
    ASSERT_EQ(sys.EmuCtl({"dpemu/ids-restart"}).status, 0);
    EXPECT_TRUE(sys.AwaitEmu("idps", [](const nlohmann::json& j) {
        return j["restarts"] == 3 && j["reloads"] == 1 && j["sids_loaded"] == 3;
    })) << sys.EmuDump("idps").dump();
    EXPECT_NE(::access((sys.Root() + "/etc/evil.rules").c_str(), F_OK), 0);

    // A stalled engine: its page fails at the deadline, and the CLI answers other commands
    // meanwhile.
    auto uptimeRequests = [&] {
        return sys.EmuDump("idps")["requests"].value("TLV_GET_UPTIME", 0);
    };
    const int uptimeBefore = uptimeRequests();
    ASSERT_EQ(sys.EmuCtl({"dpemu/ids-reply", "TLV_GET_UPTIME", "stall"}).status, 0);
    std::future<RunResult> stalled =
        std::async(std::launch::async, [&] { return sys.AgentCtl({"ids/get/engine/status"}); });
    EXPECT_TRUE(AwaitTrue([&] { return uptimeRequests() == uptimeBefore + 1; }));
    RunResult size = sys.AgentCtl({"cfgagent/cache/size"});
    EXPECT_EQ(size.status, 0) << size.output;
    EXPECT_EQ(stalled.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
        << "the stalled page answered first";
    RunResult stalledReply = stalled.get();
    EXPECT_NE(stalledReply.output.find("failed to query the IDS engine"), std::string::npos)
        << stalledReply.output;

    EXPECT_EQ(sys.StopAgent(), 0);
}

}  // namespace
}  // namespace CfgAgent::test
