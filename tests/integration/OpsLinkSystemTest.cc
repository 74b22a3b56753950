// The operations-agent link with real processes: the emulator plays the host's operations agent
// and connects to the agent's link socket; bad frames are refused by the agent, which lives on;
// traceflow requests travel from the operations agent through the agent to the dataplane, and
// the observations back.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/AgentSystem.h"
#include "tests/support/Await.h"

namespace CfgAgent {
namespace {

using test::AgentSystem;

bool AwaitConnects(AgentSystem& sys, int connects) {
    return sys.AwaitEmu("opsagent", [&](const nlohmann::json& d) {
        return d["connected"].get<bool>() && d["connects"].get<int>() >= connects;
    });
}

constexpr const char* kTopology = R"({
  "LOG_SWITCH_CONFIG": [{"id": "5a000000-0000-4000-8000-000000000001", "vni": 5001,
                         "admin_state_up": true}],
  "LOG_SWITCH_PORT_CONFIG": [{"id": "5b000000-0000-4000-8000-000000000001",
    "switch_id": "5a000000-0000-4000-8000-000000000001", "admin_state_up": true,
    "attachment": {"type": 1, "vif_id": "5c000000-0000-4000-8000-000000000001",
                   "dvport_id": "5b000000-0000-4000-8000-000000000001"}}],
  "GLOBAL_CONFIG": [{"id": "6a000000-0000-4000-8000-000000000001", "int_mode": 2, "int_dscp": 46}]
})";

// The port's UUID as protobuf JSON writes a UuidMsg (fixed64 halves as decimal strings).
constexpr const char* kPortJson =
    R"({"left": "6557241057451458560", "right": "9223372036854775809"})";

void TraceflowChecks(AgentSystem& sys) {
    ASSERT_TRUE(sys.Apply(kTopology));
    ASSERT_EQ(
        sys.EmuCtl({"dpemu/vif-connect", "5c000000-0000-4000-8000-000000000001",
                    "5b000000-0000-4000-8000-000000000001", "5a000000-0000-4000-8000-000000000001"})
            .status,
        0);
    ASSERT_TRUE(sys.AwaitEmu("kcp", [](const nlohmann::json& d) {
        return d["ports"].contains("5b000000-0000-4000-8000-000000000001");
    }));

    // INT configuration as the dataplane reads it: type 11, length 10, mode 2 in host byte order,
    // DSCP 46.
    EXPECT_TRUE(sys.AwaitEmu("traceflow", [](const nlohmann::json& d) {
        return d["int_config"].is_object() && d["int_config"]["bytes"] == "000b000a02000000002e";
    }));

    // A request of the operations agent reaches the dataplane as an injection.
    std::string request = std::string(R"({"round_id": "42", "src_port": )") + kPortJson +
                          R"(, "packet": "AAECAwQF"})";
    auto sent = sys.EmuCtl({"dpemu/opsagent-send", "orvane.ozy.lcp.TraceflowRequestMsg", request});
    ASSERT_EQ(sent.status, 0) << sent.output;
    EXPECT_TRUE(sys.AwaitEmu("traceflow", [](const nlohmann::json& d) {
        for (const auto& inj : d["injections"]) {
            if (inj["round_id"] == 42 && inj["dvport"] == "5b000000-0000-4000-8000-000000000001" &&
                inj["packet"] == "000102030405")
                return true;
        }
        return false;
    }));
    // The auto observations come back to the operations agent with the switch and the port.
    EXPECT_TRUE(sys.AwaitEmu("opsagent", [](const nlohmann::json& d) {
        bool deliver = false, forward = false;
        for (const auto& m : d["messages"]) {
            if (m["type"] != "orvane.ozy.lcp.TraceflowObservationMsg")
                continue;
            const auto& p = m["payload"];
            if (p["observation_name"] == "deliver" && p.contains("lsp_id") &&
                p["lsp_id"]["left"] == "6557241057451458560")
                deliver = true;
            if (p["observation_name"] == "logical forward" && p.contains("ls_id") &&
                p["ls_id"]["left"] == "6485183463413530624")
                forward = true;
        }
        return deliver && forward;
    }));
}

TEST(OpsLinkSystemTest, TheOperationsAgentConnectsBadFramesOnlyCostTheirConnectionTracesFlow) {
    test::AgentSystemOptions options;
    options.apps = {"config", "traceflow"};
    AgentSystem sys(options);
    ASSERT_TRUE(sys.Start());

    // connects
    ASSERT_TRUE(AwaitConnects(sys, 1));
    ASSERT_TRUE(sys.AwaitAgentLog("Conection 1 changed its status to 1"));
    struct stat st;
    ASSERT_EQ(::stat((sys.Root() + "/var/run/orvane/ozy-agent/ozya_link").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);

    // a 5-byte frame, cut off by the peer's going away
    size_t from = sys.AgentLogSize();
    ASSERT_EQ(sys.EmuCtl({"dpemu/opsagent-raw", "0001000000"}).status, 0);
    ASSERT_EQ(sys.EmuCtl({"dpemu/opsagent-drop"}).status, 0);
    EXPECT_TRUE(
        sys.AwaitAgentLog("Message len 5 is smaller than header len 6", test::kDefaultAwait, from));
    ASSERT_TRUE(AwaitConnects(sys, 2));

    // a header announcing 100 bytes, of which 10 arrive
    from = sys.AgentLogSize();
    ASSERT_EQ(sys.EmuCtl({"dpemu/opsagent-raw", "000100000064aabbccdd"}).status, 0);
    ASSERT_EQ(sys.EmuCtl({"dpemu/opsagent-drop"}).status, 0);
    EXPECT_TRUE(sys.AwaitAgentLog("Payload len 4 does not match message header 94",
                                  test::kDefaultAwait, from));
    EXPECT_TRUE(sys.AwaitAgentLog("LCP02001", test::kDefaultAwait, from));
    ASSERT_TRUE(AwaitConnects(sys, 3));

    // 4 GiB announced: the agent closes that connection, lives, and takes the next one
    from = sys.AgentLogSize();
    ASSERT_EQ(sys.EmuCtl({"dpemu/opsagent-raw", "0001ffffffff"}).status, 0);
    EXPECT_TRUE(sys.AwaitAgentLog("exceeds the limit 16777216", test::kDefaultAwait, from));
    ASSERT_TRUE(AwaitConnects(sys, 4));
    EXPECT_EQ(sys.AgentCtl({"cfgagent/get/loglevel"}).status, 0);

    TraceflowChecks(sys);

    // again after an agent restart
    EXPECT_EQ(sys.StopAgent(), 0);
    ASSERT_TRUE(sys.StartAgent());
    EXPECT_TRUE(AwaitConnects(sys, 5));
    EXPECT_EQ(sys.StopAgent(), 0);
}

}  // namespace
}  // namespace CfgAgent
