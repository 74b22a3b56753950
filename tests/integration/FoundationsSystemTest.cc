// The shared services of the running agent with real processes: the cairndb connection status on
// the CLI, the alarm table, and the profile service end to end (PROFILE objects bound to ports and
// through a container, applied with cairnctl, reach IP discovery's callback; unbinding and deleting
// the container revert).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/AgentSystem.h"

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
        "</config></app></apps></cfgAgent></config>";
    return o;
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

    EXPECT_EQ(sys.StopAgent(), 0);
}

}  // namespace
}  // namespace CfgAgent::test
