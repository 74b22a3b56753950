// A SmartNIC host (persona 1) with fake SmartNICs: ovsdb-server, the emulator and the agent; the
// SmartNICs' vdbs are read and written with cairnctl --vdb (no second agent). One scenario, several
// named checks on the same processes.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/AgentSystem.h"
#include "tests/support/Await.h"
#include "tests/support/SmartNicVdbs.h"

namespace CfgAgent::test {
namespace {

constexpr const char* kTn = "7e000000-0000-4000-8000-000000000001";
constexpr const char* kHs1 = "7d000000-0000-4000-8000-000000000001";
constexpr const char* kHs2 = "7d000000-0000-4000-8000-000000000002";
constexpr const char* kLs1 = "5a000000-0000-4000-8000-000000000001";
constexpr const char* kLs2 = "5a000000-0000-4000-8000-000000000002";
constexpr const char* kP1 = "5b000000-0000-4000-8000-000000000001";
constexpr const char* kP2 = "5b000000-0000-4000-8000-000000000002";
constexpr const char* kP3 = "5b000000-0000-4000-8000-000000000003";
constexpr const char* kRule = "6c000000-0000-4000-8000-000000000001";
constexpr const char* kBacking1 = "6b000000-0000-4000-8000-000000000001";
constexpr const char* kBacking2 = "6b000000-0000-4000-8000-000000000002";
constexpr const char* kStaleLs = "5a000000-0000-4000-8000-000000000099";
constexpr const char* kBarrier = "6d000000-0000-4000-8000-000000000001";
constexpr const char* kVifState = "5c000000-0000-4000-8000-0000000000f1";
constexpr const char* kRd = "5d000000-0000-4000-8000-0000000000f1";
constexpr const char* kStaleRule = "6c000000-0000-4000-8000-000000000099";

// Transport node 1 with host switch 1 (zone 1) and host switch 2 (zone 2); switch 1 on zone 1
// with ports 1 and 2 (VIFs), switch 2 on zone 2 with port 3; a firewall rule.
const char* kTopology = R"({
  "TRANSPORT_NODE_CONFIG": [{"id": "7e000000-0000-4000-8000-000000000001", "transport_switches": [
     {"host_switch_id": "7d000000-0000-4000-8000-000000000001", "name": "hs-1",
      "transport_zone_ids": ["7f000000-0000-4000-8000-000000000001"]},
     {"host_switch_id": "7d000000-0000-4000-8000-000000000002", "name": "hs-2",
      "transport_zone_ids": ["7f000000-0000-4000-8000-000000000002"]}]}],
  "LOG_SWITCH_CONFIG": [
     {"id": "5a000000-0000-4000-8000-000000000001", "vni": 5001,
      "transport_zone_id": "7f000000-0000-4000-8000-000000000001"},
     {"id": "5a000000-0000-4000-8000-000000000002", "vni": 5002,
      "transport_zone_id": "7f000000-0000-4000-8000-000000000002"}],
  "LOG_SWITCH_PORT_CONFIG": [
     {"id": "5b000000-0000-4000-8000-000000000001",
      "switch_id": "5a000000-0000-4000-8000-000000000001",
      "attachment": {"type": 1, "vif_id": "5c000000-0000-4000-8000-000000000001"}},
     {"id": "5b000000-0000-4000-8000-000000000002",
      "switch_id": "5a000000-0000-4000-8000-000000000001",
      "attachment": {"type": 1, "vif_id": "5c000000-0000-4000-8000-000000000002"}},
     {"id": "5b000000-0000-4000-8000-000000000003",
      "switch_id": "5a000000-0000-4000-8000-000000000002"}],
  "RULE": [{"id": "6c000000-0000-4000-8000-000000000001"}]
})";

std::string Backing(const char* id, const char* hs, int vdb) {
    return std::string(R"({"HOST_SWITCH_SMARTNIC_BACKING": [{"id": ")") + id +
           R"(", "host_switch_id": ")" + hs + R"(", "vdb": )" + std::to_string(vdb) +
           R"(, "active_sn_id": "sn-a", "current_active_sn_id": "sn-a"}]})";
}

class SmartNicHostSystemTest : public ::testing::Test {
  protected:
    SmartNicHostSystemTest() : sys(Options()) {}
    static AgentSystemOptions Options() {
        AgentSystemOptions o;
        o.apps = {};
        o.extraEnv = {{"OZY_NODE_PERSONA", "1"}};
        return o;
    }

    bool AwaitVdb(int vdb, const std::set<std::string>& expected) {
        return AwaitVdbObjects(
            sys, vdb,
            {"TRANSPORT_NODE_CONFIG", "LOG_SWITCH_CONFIG", "LOG_SWITCH_PORT_CONFIG", "RULE"},
            expected);
    }

    AgentSystem sys;
};

std::string T(const char* type, const char* id) {
    return TypedId(type, id);
}

TEST_F(SmartNicHostSystemTest, HostSwitchSubtreesFollowTheirBackingIntoTheVdbs) {
    ASSERT_TRUE(sys.Db().Start());
    ASSERT_TRUE(sys.StartEmulator());
    // Rows an earlier run left in vdb 2, and the host's configuration with the backing of
    // host switch 1 on vdb 2.
    ASSERT_TRUE(sys.Apply(std::string(R"({"vdb": 2, "LOG_SWITCH_CONFIG": [{"id": ")") + kStaleLs +
                          R"(", "vni": 9}], "RULE": [{"id": ")" + kStaleRule + R"("}]})"));
    ASSERT_TRUE(sys.Apply(kTopology));
    ASSERT_TRUE(sys.Apply(Backing(kBacking1, kHs1, 2)));
    ASSERT_TRUE(sys.StartAgent());

    const std::set<std::string> subtree1 = {
        T("TRANSPORT_NODE_CONFIG", kTn), T("LOG_SWITCH_CONFIG", kLs1),
        T("LOG_SWITCH_PORT_CONFIG", kP1), T("LOG_SWITCH_PORT_CONFIG", kP2), T("RULE", kRule)};
    {
        SCOPED_TRACE("first full sync: the stale rows go, the demuxed set is there");
        ASSERT_TRUE(AwaitVdb(2, subtree1));
        // ovsdb-client as the oracle: the switch rows of vdb 2 as the server holds them.
        RunResult dump = sys.Db().Client(
            {"dump", sys.Db().OvsdbRemote(), "cairndb", "LOG_SWITCH_CONFIG", "oid", "vdb"});
        ASSERT_EQ(dump.status, 0) << dump.output;
        EXPECT_NE(dump.output.find(std::string("\"") + kLs1 + "\" 2"), std::string::npos)
            << dump.output;
        EXPECT_EQ(dump.output.find(kStaleLs), std::string::npos) << dump.output;
        EXPECT_EQ(dump.output.find(std::string("\"") + kLs2 + "\" 2"), std::string::npos);
    }
    {
        SCOPED_TRACE("the CLI shows the binding and the counts");
        ExpectOneBinding(sys, kHs1, "sn-a", 2, 5);
        nlohmann::json byId = sys.AgentJson({"cfgagent/smartnic/demuxbyid", "2", kP1});
        ASSERT_EQ(byId.size(), 1u) << byId;
        EXPECT_EQ(byId[0]["type"], "LOG_SWITCH_PORT_CONFIG");
    }
    {
        SCOPED_TRACE("the backing moved from vdb 2 to vdb 3 moves the subtree");
        ASSERT_TRUE(sys.Apply(Backing(kBacking1, kHs1, 3)));
        ASSERT_TRUE(AwaitVdb(3, subtree1));
        ASSERT_TRUE(AwaitVdb(2, {}));
    }
    {
        SCOPED_TRACE("a database barrier goes to vdb 3 and waits there for its realization");
        ASSERT_TRUE(sys.Apply(std::string(R"({"BARRIER": [{"id": ")") + kBarrier +
                              R"(", "barrier_id": 7}]})"));
        ASSERT_TRUE(AwaitTrue(
            [&] { return VdbObjects(sys, 3, {"BARRIER"}).count(T("BARRIER", kBarrier)) == 1; }));
        std::string dump;
        EXPECT_TRUE(AwaitTrue([&] {
            dump = sys.AgentCtl({"cfgagent/smartnic/rtf"}).output;
            return dump.find("barrierNum 7: vdbs 3\n") != std::string::npos;
        })) << dump;
        EXPECT_NE(dump.find("RTF: Get RTF table receivedBarrierMapSize 1,"), std::string::npos)
            << dump;
    }
    {
        SCOPED_TRACE(
            "two host switches on vdb 3, one backing cleared: the other's objects and "
            "the globals stay");
        ASSERT_TRUE(sys.Apply(Backing(kBacking2, kHs2, 3)));
        std::set<std::string> both = subtree1;
        both.insert(T("LOG_SWITCH_CONFIG", kLs2));
        both.insert(T("LOG_SWITCH_PORT_CONFIG", kP3));
        ASSERT_TRUE(AwaitVdb(3, both));
        ASSERT_EQ(sys.Cairnctl({"delete", "HOST_SWITCH_SMARTNIC_BACKING", kBacking1}).status, 0);
        ASSERT_TRUE(AwaitVdb(3, {T("TRANSPORT_NODE_CONFIG", kTn), T("LOG_SWITCH_CONFIG", kLs2),
                                 T("LOG_SWITCH_PORT_CONFIG", kP3), T("RULE", kRule)}));
    }
    {
        SCOPED_TRACE("what was deleted while the server was down leaves the vdb at the full sync");
        sys.Db().Stop();
        const std::string where = std::string(R"([["oid","==",")") + kP3 + R"("],["vdb","==",1]])";
        RunResult r = RunProgram(
            "/usr/bin/ovsdb-tool",
            {"transact", sys.Db().dbFile(),
             std::string(R"(["cairndb",{"op":"delete","table":"LOG_SWITCH_PORT_CONFIG","where":)") +
                 where + "}]"});
        ASSERT_EQ(r.status, 0) << r.output;
        ASSERT_TRUE(sys.Db().Start());
        ASSERT_TRUE(AwaitVdb(
            3, {T("TRANSPORT_NODE_CONFIG", kTn), T("LOG_SWITCH_CONFIG", kLs2), T("RULE", kRule)}));
    }
    {
        SCOPED_TRACE("runtime state of vdbs 2 and 3 merged into vdb 1");
        ASSERT_TRUE(sys.Apply(Backing(kBacking1, kHs1, 2)));
        ASSERT_TRUE(AwaitTrue([&] {
            return sys.AgentCtl({"cfgagent/smartnic/muxconfig"})
                       .output.find(
                           "fullsync gate open: main done, local config not running, "
                           "local l2 not running, vdb 2 done, vdb 3 done") != std::string::npos;
        }));
        auto vifState = [](int vdb, int status) {
            return std::string(R"({"vdb": )") + std::to_string(vdb) +
                   R"(, "VIF_STATE": [{"id": ")" + kVifState +
                   R"(", "vif_id": "vif-m", "status": )" + std::to_string(status) + "}]}";
        };
        auto statusInHost = [&] {
            nlohmann::json got = sys.Get("VIF_STATE", kVifState, 1);
            return got.is_object() && got["VIF_STATE"].is_array() && got["VIF_STATE"].size() == 1
                       ? got["VIF_STATE"][0].value("status", 0)
                       : -1;
        };
        ASSERT_TRUE(sys.Apply(vifState(2, 1)));
        ASSERT_TRUE(AwaitTrue([&] { return statusInHost() == 1; }));
        ASSERT_TRUE(sys.Apply(vifState(3, 2)));
        ASSERT_TRUE(AwaitTrue([&] { return statusInHost() == 2; })) << "the newer source wins";
        ASSERT_EQ(sys.Cairnctl({"--vdb", "2", "delete", "VIF_STATE", kVifState}).status, 0);
        ASSERT_TRUE(AwaitTrue([&] { return VdbObjects(sys, 2, {"VIF_STATE"}).empty(); }));

        // One switch and one routing domain reported by both vdbs.
        for (int vdb : {2, 3}) {
            ASSERT_TRUE(sys.Apply(
                std::string(R"({"vdb": )") + std::to_string(vdb) +
                R"(, "LOG_SWITCH_STATE": [{"id": ")" + kLs1 + R"(", "mac_entries": [{"mac": ")" +
                (vdb == 2 ? "02:00:00:00:00:02" : "02:00:00:00:00:03") +
                R"("}]}], "ROUTING_DOMAIN_VTEP": [{"id": ")" + kRd +
                R"(", "vtep_entries": [{"label": )" + std::to_string(vdb) + "}]}]}"));
        }
        ASSERT_TRUE(AwaitTrue([&] {
            nlohmann::json ls = sys.Get("LOG_SWITCH_STATE", kLs1, 1);
            nlohmann::json rd = sys.Get("ROUTING_DOMAIN_VTEP", kRd, 1);
            return ls.is_object() && ls["LOG_SWITCH_STATE"].size() == 1 &&
                   ls["LOG_SWITCH_STATE"][0]["mac_entries"].size() == 2 && rd.is_object() &&
                   rd["ROUTING_DOMAIN_VTEP"].size() == 1 &&
                   rd["ROUTING_DOMAIN_VTEP"][0]["vtep_entries"].size() == 2;
        })) << sys.Get("LOG_SWITCH_STATE", std::string(), 1).dump();
        EXPECT_EQ(statusInHost(), 2) << "vdb 2's delete leaves vdb 3's VIF state";
        RunResult vteps = sys.AgentCtl({"cfgagent/smartnic/muxglobalvtep"});
        EXPECT_NE(vteps.output.find(std::string("Mux: Got mux global vtep list size 1\n") + kRd +
                                    " vteps 2 sources 2 3"),
                  std::string::npos)
            << vteps.output;
        RunResult l2 = sys.AgentCtl({"cfgagent/smartnic/muxl2"});
        EXPECT_NE(l2.output.find("Mux: Got mux l2 info list size 4"), std::string::npos)
            << l2.output;

        // Deleted from vdb 3 while the server was down: vdb 3's full sync drops it from vdb 1.
        sys.Db().Stop();
        const std::string where =
            std::string(R"([["oid","==",")") + kVifState + R"("],["vdb","==",3]])";
        RunResult r =
            RunProgram("/usr/bin/ovsdb-tool",
                       {"transact", sys.Db().dbFile(),
                        std::string(R"(["cairndb",{"op":"delete","table":"VIF_STATE","where":)") +
                            where + "}]"});
        ASSERT_EQ(r.status, 0) << r.output;
        ASSERT_TRUE(sys.Db().Start());
        ASSERT_TRUE(AwaitTrue([&] { return statusInHost() == -1; }));
    }
    {
        SCOPED_TRACE(
            "realization through vdbs 2 and 3: a barrier completes once both reported, never "
            "goes back, and an unbound vdb's share and errors go with it");
        // Barrier 7 still waits: it went to vdb 3 and vdb 2 joined it at its binding.
        auto rtfShows = [&](const std::string& line) {
            std::string dump;
            bool seen = AwaitTrue([&] {
                dump = sys.AgentCtl({"cfgagent/smartnic/rtf"}).output;
                return dump.find(line) != std::string::npos;
            });
            EXPECT_TRUE(seen) << "no \"" << line << "\" in\n" << dump;
            return seen;
        };
        ASSERT_TRUE(rtfShows("  barrierNum 7: vdbs 2 3\n"));
        auto text = [](const nlohmann::json& v) {
            return v.is_string() ? v.get<std::string>() : v.dump();
        };
        auto barrierIn = [&](int vdb) {
            nlohmann::json got = sys.Get("BARRIER", kBarrier, static_cast<uint16_t>(vdb));
            return got.is_object() && got["BARRIER"].is_array() && got["BARRIER"].size() == 1
                       ? text(got["BARRIER"][0]["barrier_id"])
                       : std::string();
        };
        // The firewall's PROCESSED_BARRIER in vdb 1 ("" when there is none).
        auto writtenInHost = [&] {
            nlohmann::json got = sys.Get("PROCESSED_BARRIER", std::string(), 1);
            if (got.is_object() && got["PROCESSED_BARRIER"].is_array()) {
                for (const auto& b : got["PROCESSED_BARRIER"]) {
                    if (b.value("vertical_id", 0) == 1)
                        return text(b["barrier_id"]);
                }
            }
            return std::string();
        };
        auto barrier = [&](int n) {
            return sys.Apply(std::string(R"({"BARRIER": [{"id": ")") + kBarrier +
                             R"(", "barrier_id": )" + std::to_string(n) + "}]}");
        };
        // A SmartNIC's firewall report, as its agent writes it into its vdb.
        auto processed = [&](int vdb, int n) {
            return sys.Apply(
                std::string(R"({"vdb": )") + std::to_string(vdb) +
                R"(, "PROCESSED_BARRIER": [{"id": "00000000-0000-0000-0000-000000000001", )"
                R"("vertical_id": 1, "barrier_id": )" +
                std::to_string(n) + "}]}");
        };
        auto errorsInHost = [&] {
            std::multiset<std::string> out;
            nlohmann::json got = sys.Get("RUNTIME_STATUS", std::string(), 1);
            if (got.is_object() && got["RUNTIME_STATUS"].is_array()) {
                for (const auto& s : got["RUNTIME_STATUS"]) {
                    if (s.value("component_id", 0) != 1 || !s.contains("errors"))
                        continue;
                    for (const auto& e : s["errors"])
                        out.insert(e.value("error_message", std::string()));
                }
            }
            return out;
        };

        ASSERT_TRUE(barrier(8));
        ASSERT_TRUE(AwaitTrue([&] { return barrierIn(2) == "8" && barrierIn(3) == "8"; }))
            << barrierIn(2) << " " << barrierIn(3);
        ASSERT_TRUE(rtfShows("  barrierNum 8: vdbs 2 3\n"));
        ASSERT_TRUE(processed(2, 8));
        // Vdb 2's report covers 7 and 8; written in the same step as recorded, so nothing is.
        ASSERT_TRUE(rtfShows("  barrierNum 8 VERTICAL_ID_DFW(1): vdbs 2\n"));
        EXPECT_TRUE(rtfShows("  barrierNum 7 VERTICAL_ID_DFW(1): vdbs 2\n"));
        EXPECT_TRUE(rtfShows("ProcessedBarrierWritten\n  N/A\n"));
        EXPECT_EQ(writtenInHost(), "");
        ASSERT_TRUE(processed(3, 8));
        ASSERT_TRUE(AwaitTrue([&] { return writtenInHost() == "8"; })) << writtenInHost();

        // Barriers 9 and 10: vdb 3 realizes 10 before it reports 9.
        ASSERT_TRUE(barrier(9));
        ASSERT_TRUE(rtfShows("  barrierNum 9: vdbs 2 3\n"));
        ASSERT_TRUE(barrier(10));
        ASSERT_TRUE(rtfShows("  barrierNum 10: vdbs 2 3\n"));
        ASSERT_TRUE(processed(2, 10));
        ASSERT_TRUE(rtfShows("  barrierNum 10 VERTICAL_ID_DFW(1): vdbs 2\n"));
        ASSERT_TRUE(processed(3, 10));
        ASSERT_TRUE(AwaitTrue([&] { return writtenInHost() == "10"; })) << writtenInHost();
        ASSERT_TRUE(processed(3, 9));
        // Errors of both vdbs, vdb 3's after its late report: once they are merged into vdb 1,
        // the report of 9 has been handled too.
        for (int vdb : {2, 3}) {
            ASSERT_TRUE(sys.Apply(
                std::string(R"({"vdb": )") + std::to_string(vdb) +
                R"(, "RUNTIME_STATUS": [{"id": "00000000-0000-0000-0000-000000000001", )"
                R"("component_id": 1, "errors": [{"error_code": 7, "error_message": "vdb )" +
                std::to_string(vdb) + R"( refused"}]}]})"));
        }
        const std::multiset<std::string> both = {"vdb 2 refused", "vdb 3 refused"};
        ASSERT_TRUE(AwaitTrue([&] { return errorsInHost() == both; }))
            << sys.Get("RUNTIME_STATUS", std::string(), 1).dump();
        EXPECT_EQ(writtenInHost(), "10") << "the late report of 9 went back";
        EXPECT_TRUE(rtfShows("ProcessedBarrierWritten\n  VERTICAL_ID_DFW(1): 10\n"));
        EXPECT_TRUE(rtfShows("  COMPONENT_ID_DFW_CFGAGENT(1) vdbId 3: 1 errors\n"));

        // Barrier 11 realized by vdb 2 only; unbinding vdb 3 completes it and takes its errors.
        ASSERT_TRUE(barrier(11));
        ASSERT_TRUE(rtfShows("  barrierNum 11: vdbs 2 3\n"));
        ASSERT_TRUE(processed(2, 11));
        ASSERT_TRUE(rtfShows("  barrierNum 11 VERTICAL_ID_DFW(1): vdbs 2\n"));
        EXPECT_EQ(writtenInHost(), "10");
        ASSERT_EQ(sys.Cairnctl({"delete", "HOST_SWITCH_SMARTNIC_BACKING", kBacking2}).status, 0);
        ASSERT_TRUE(AwaitTrue([&] { return writtenInHost() == "11"; })) << writtenInHost();
        ASSERT_TRUE(AwaitTrue([&] {
            return errorsInHost() == std::multiset<std::string>{"vdb 2 refused"};
        })) << sys.Get("RUNTIME_STATUS", std::string(), 1).dump();
        std::string dump = sys.AgentCtl({"cfgagent/smartnic/rtf"}).output;
        EXPECT_NE(dump.find("ReceivedBarrierMap\n  N/A\n"), std::string::npos) << dump;
        EXPECT_NE(dump.find("  VERTICAL_ID_DFW(1): 11\n"), std::string::npos) << dump;
        EXPECT_NE(dump.find("  COMPONENT_ID_DFW_CFGAGENT(1) vdbId 2: 1 errors\n"),
                  std::string::npos)
            << dump;
        EXPECT_EQ(dump.find("vdbId 3"), std::string::npos) << dump;
        EXPECT_NE(dump.find("\nVdbs: 2\n"), std::string::npos) << dump;
    }
    EXPECT_EQ(sys.StopAgent(), 0);
}

}  // namespace
}  // namespace CfgAgent::test
