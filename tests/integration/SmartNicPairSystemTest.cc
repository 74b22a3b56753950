// A SmartNIC host and its SmartNIC as real processes on one ovsdb-server: the host agent (persona
// 1) with its emulator, the SmartNIC agent (persona 2, sn-a) with its own emulator under its own
// host root. The host's configuration goes into vdb 1 with cairnctl; the SmartNIC reads vdb 2 and
// writes its runtime state there, which the host merges with its own into vdb 1.
// One scenario, several named checks on the same processes.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/AgentSystem.h"
#include "tests/support/Await.h"
#include "tests/support/SmartNicVdbs.h"

namespace CfgAgent::test {
namespace {

constexpr const char* kTn = "7e000000-0000-4000-8000-0000000000a1";
constexpr const char* kHs = "7d000000-0000-4000-8000-0000000000a1";
constexpr const char* kLs = "5a000000-0000-4000-8000-0000000000a1";
constexpr const char* kP1 = "5b000000-0000-4000-8000-0000000000a1";
constexpr const char* kP2 = "5b000000-0000-4000-8000-0000000000a2";
constexpr const char* kVif1 = "5c000000-0000-4000-8000-0000000000a1";
constexpr const char* kVif2 = "5c000000-0000-4000-8000-0000000000a2";
// A VIF the host's emulator reports as served by a SmartNIC.
constexpr const char* kVif3 = "5c000000-0000-4000-8000-0000000000a3";
constexpr const char* kRule = "6c000000-0000-4000-8000-0000000000a1";

// Transport node with hs-1 on zone 1; a switch on zone 1 with two VIF ports; a firewall rule; the
// backing of hs-1 on vdb 2, sn-a active.
const char* kHostConfig = R"({
  "TRANSPORT_NODE_CONFIG": [{"id": "7e000000-0000-4000-8000-0000000000a1", "transport_switches": [
     {"host_switch_id": "7d000000-0000-4000-8000-0000000000a1", "name": "hs-1",
      "transport_zone_ids": ["7f000000-0000-4000-8000-0000000000a1"]}]}],
  "LOG_SWITCH_CONFIG": [{"id": "5a000000-0000-4000-8000-0000000000a1", "vni": 6001,
      "admin_state_up": true, "transport_zone_id": "7f000000-0000-4000-8000-0000000000a1"}],
  "LOG_SWITCH_PORT_CONFIG": [
     {"id": "5b000000-0000-4000-8000-0000000000a1", "admin_state_up": true,
      "switch_id": "5a000000-0000-4000-8000-0000000000a1",
      "attachment": {"type": 1, "vif_id": "5c000000-0000-4000-8000-0000000000a1",
                     "dvport_id": "5b000000-0000-4000-8000-0000000000a1"}},
     {"id": "5b000000-0000-4000-8000-0000000000a2", "admin_state_up": true,
      "switch_id": "5a000000-0000-4000-8000-0000000000a1",
      "attachment": {"type": 1, "vif_id": "5c000000-0000-4000-8000-0000000000a2",
                     "dvport_id": "5b000000-0000-4000-8000-0000000000a2"}}],
  "RULE": [{"id": "6c000000-0000-4000-8000-0000000000a1"}],
  "HOST_SWITCH_SMARTNIC_BACKING": [{"id": "6b000000-0000-4000-8000-0000000000a1",
      "host_switch_id": "7d000000-0000-4000-8000-0000000000a1", "vdb": 2,
      "active_sn_id": "sn-a", "current_active_sn_id": "sn-a"}]
})";

AgentSystemOptions HostOptions() {
    AgentSystemOptions o;
    o.apps = {"config"};
    o.extraEnv = {{"OZY_NODE_PERSONA", "1"}};
    return o;
}

AgentSystemOptions SmartNicOptions(const std::string& snId) {
    AgentSystemOptions o;
    o.apps = {"config"};
    o.extraEnv = {{"OZY_NODE_PERSONA", "2"},
                  {"OZY_SN_UUID", snId},
                  {"OZY_SN_MGMT_IP", "127.0.0.2"},
                  {"OZY_SN_HOST_MGMT_IP", "127.0.0.1"}};
    return o;
}

const std::vector<std::string> kConfigTypes = {"TRANSPORT_NODE_CONFIG", "LOG_SWITCH_CONFIG",
                                               "LOG_SWITCH_PORT_CONFIG", "RULE",
                                               "HOST_SWITCH_SMARTNIC_BACKING"};

class SmartNicPairSystemTest : public ::testing::Test {
  protected:
    SmartNicPairSystemTest()
        : sys(HostOptions()), sn(sys.AddNode("sn-a", SmartNicOptions("sn-a"))) {}

    // The VIF ids of the VIF_STATE objects of a vdb.
    std::set<std::string> VifStates(int vdb) {
        std::set<std::string> out;
        nlohmann::json got = sys.Get("VIF_STATE", std::string(), static_cast<uint16_t>(vdb));
        if (got.is_object() && got["VIF_STATE"].is_array()) {
            for (const auto& o : got["VIF_STATE"])
                out.insert(o.value("vif_id", std::string()));
        }
        return out;
    }
    bool AwaitVifStates(int vdb, const std::set<std::string>& expected) {
        std::set<std::string> last;
        if (AwaitTrue([&] { return (last = VifStates(vdb)) == expected; }, std::chrono::seconds(60),
                      std::chrono::milliseconds(100)))
            return true;
        std::string got;
        for (const std::string& v : last)
            got += v + "; ";
        ADD_FAILURE() << "VIF_STATE of vdb " << vdb << ": " << got;
        return false;
    }

    AgentSystem sys;
    AgentNode& sn;
};

TEST_F(SmartNicPairSystemTest, HostDemuxesIntoTheSmartNicsVdbAndTheSmartNicProgramsItsPorts) {
    ASSERT_TRUE(sys.Db().Start());
    ASSERT_TRUE(sys.Host().Start());
    ASSERT_TRUE(sn.Start());
    ASSERT_TRUE(sys.Apply(kHostConfig));

    {
        SCOPED_TRACE("vdb 2 holds exactly the demuxed set");
        ASSERT_TRUE(AwaitVdbObjects(
            sys, 2, kConfigTypes,
            {TypedId("TRANSPORT_NODE_CONFIG", kTn), TypedId("LOG_SWITCH_CONFIG", kLs),
             TypedId("LOG_SWITCH_PORT_CONFIG", kP1), TypedId("LOG_SWITCH_PORT_CONFIG", kP2),
             TypedId("RULE", kRule)}));
        // ovsdb-client as the oracle: the rows of vdb 2 as the server holds them.
        RunResult dump = sys.Db().Client(
            {"dump", sys.Db().OvsdbRemote(), "cairndb", "LOG_SWITCH_PORT_CONFIG", "oid", "vdb"});
        ASSERT_EQ(dump.status, 0) << dump.output;
        for (const char* port : {kP1, kP2}) {
            EXPECT_NE(dump.output.find(std::string("\"") + port + "\" 1"), std::string::npos)
                << dump.output;
            EXPECT_NE(dump.output.find(std::string("\"") + port + "\" 2"), std::string::npos)
                << dump.output;
        }
        EXPECT_EQ(dump.output.find("\" 3"), std::string::npos) << dump.output;
    }
    {
        SCOPED_TRACE("a VIF connected on the SmartNIC has its port programmed there");
        ASSERT_TRUE(sn.AwaitEmu(
            "kcp", [](const nlohmann::json& d) { return d["session"]["state"] == "synced"; }));
        RunResult r = sn.EmuCtl({"dpemu/vif-connect", kVif1, kP1, "dvs-1", "00:50:56:aa:00:01"});
        ASSERT_EQ(r.status, 0) << r.output;
        const nlohmann::json::json_pointer vni("/ports/" + std::string(kP1) + "/vni/vni");
        ASSERT_TRUE(sn.AwaitEmu("kcp", [&](const nlohmann::json& d) {
            return d.contains(vni) && d[vni] == 6001;
        })) << sn.EmuDump("kcp").dump();
        EXPECT_FALSE(sys.EmuDump("kcp")["ports"].contains(kP1))
            << "the host's emulator saw no VIF, so it programs no port";
    }
    {
        SCOPED_TRACE("each emulator serves only its own agent");
        for (AgentNode* node : {&sys.Host(), &sn}) {
            RunResult list = node->EmuCtl({"dpemu/list"});
            ASSERT_EQ(list.status, 0) << list.output;
            const nlohmann::json families =
                nlohmann::json::parse(list.output, nullptr, false)["families"];
            ASSERT_TRUE(families.is_array()) << node->name();
            for (const auto& f : families) {
                if (f["name"] == "kcp") {
                    EXPECT_EQ(f["connections"], 1) << node->name();
                }
            }
        }
    }
    {
        SCOPED_TRACE("the host's CLI shows the binding and the counts");
        ExpectOneBinding(sys, kHs, "sn-a", 2, 5);
    }
    {
        SCOPED_TRACE("the SmartNIC's VIF state reaches vdb 2 and, merged with the host's, vdb 1");
        ASSERT_TRUE(AwaitVifStates(2, {kVif1}));
        ASSERT_TRUE(sys.AwaitEmu(
            "kcp", [](const nlohmann::json& d) { return d["session"]["state"] == "synced"; }));
        RunResult r = sys.EmuCtl({"dpemu/vif-connect", kVif2, kP2, "dvs-1", "00:50:56:aa:00:02"});
        ASSERT_EQ(r.status, 0) << r.output;
        r = sys.EmuCtl(
            {"dpemu/vif-connect", kVif3, kP2, "dvs-1", "00:50:56:aa:00:03", "--smartnic"});
        ASSERT_EQ(r.status, 0) << r.output;
        ASSERT_TRUE(AwaitVifStates(1, {kVif1, kVif2}));
        ASSERT_TRUE(sys.AwaitAgentLog(std::string("ConfigApp: VIF ") + kVif3 +
                                      " is served by a SmartNIC, skipped"));
        EXPECT_EQ(VifStates(1), (std::set<std::string>{kVif1, kVif2}))
            << "the host writes nothing for a VIF its SmartNIC serves";
        EXPECT_EQ(VifStates(2), (std::set<std::string>{kVif1}));
        RunResult config = sys.AgentCtl({"cfgagent/smartnic/muxconfig"});
        ASSERT_EQ(config.status, 0) << config.output;
        EXPECT_NE(config.output.find("fullsync gate open"), std::string::npos) << config.output;
        EXPECT_NE(config.output.find(" vdb 2 version "), std::string::npos) << config.output;
        EXPECT_NE(config.output.find(" vdb local version "), std::string::npos) << config.output;
    }
    {
        SCOPED_TRACE("a disconnect on the SmartNIC removes its VIF from vdb 1");
        RunResult r = sn.EmuCtl({"dpemu/vif-disconnect", kVif1});
        ASSERT_EQ(r.status, 0) << r.output;
        // The SmartNIC keeps the VIF as disconnected or drops it; either way the merge follows
        // vdb 2.
        ASSERT_TRUE(AwaitTrue(
            [&] {
                nlohmann::json two = sys.Get("VIF_STATE", std::string(), 2);
                nlohmann::json one = sys.Get("VIF_STATE", std::string(), 1);
                auto statusOf = [](const nlohmann::json& all, const std::string& vif) {
                    if (all.is_object() && all["VIF_STATE"].is_array()) {
                        for (const auto& o : all["VIF_STATE"]) {
                            if (o.value("vif_id", "") == vif)
                                return o.value("status", 0);
                        }
                    }
                    return -1;
                };
                const int inTwo = statusOf(two, kVif1);
                return inTwo != 1 && statusOf(one, kVif1) == inTwo;
            },
            std::chrono::seconds(60), std::chrono::milliseconds(100)));
    }
    EXPECT_EQ(sn.StopAgent(), 0);
    EXPECT_EQ(sys.StopAgent(), 0);
}

}  // namespace
}  // namespace CfgAgent::test
