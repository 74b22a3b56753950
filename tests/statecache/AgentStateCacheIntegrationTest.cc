// The real agent against a real cairndb (ovsdb-server): objects applied with cairnctl reach the
// configuration, L2 and L3 tables through the database client, the decoder and the dispatcher;
// after a server restart, the second full sync removes what was deleted while the agent was
// disconnected. Rows written with ovsdb-client the way outside writers do (delete and insert in
// one transaction, stray and id-less rows) leave the tables exact. The tables are observed through
// the agent's debug log and its CLI (ovs-appctl).
#include <gtest/gtest.h>

#include <signal.h>

#include <nlohmann/json.hpp>

#include "platform/cairndb/Base64.h"
#include "proto/UuidText.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_routing.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "tests/support/Await.h"
#include "tests/support/CairndbServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnv.h"

namespace CfgAgent {
namespace {

namespace pb = orvane::ozy::cairndb;

constexpr const char* kLs1 = "00000000-0000-0000-0000-0000000000a1";
constexpr const char* kLs2 = "00000000-0000-0000-0000-0000000000a2";
constexpr const char* kLs3 = "00000000-0000-0000-0000-0000000000a3";
constexpr const char* kLs4 = "00000000-0000-0000-0000-0000000000a4";
constexpr const char* kLsp = "00000000-0000-0000-0000-0000000000b1";
constexpr const char* kLr = "00000000-0000-0000-0000-0000000000c1";
constexpr const char* kFib = "00000000-0000-0000-0000-0000000000d1";

class AgentStateCacheIntegrationTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(db.Start()); }

    std::map<std::string, std::string> Env() {
        return {{"OZY_HOST_ROOT", root.path()},
                {"OZY_CAIRNDB_ENDPOINT", db.Endpoint()},
                {"OZY_HEALTH_ENDPOINT", "tcp://127.0.0.1:" + std::to_string(test::FreeTcpPort())}};
    }
    void Apply(const std::string& json) {
        root.WriteFile("objects.json", json);
        auto r = test::RunProgram(test::BinPath("cairnctl"), {"--endpoint", db.Endpoint(), "apply",
                                                              root.path() + "/objects.json"});
        ASSERT_EQ(r.status, 0) << r.output;
    }
    // While the server is down: `ovsdb-tool transact` on the database file.
    void TransactOffline(const std::string& ops) {
        auto r = test::RunProgram("/usr/bin/ovsdb-tool",
                                  {"transact", db.dbFile(), "[\"cairndb\"," + ops + "]"});
        ASSERT_EQ(r.status, 0) << r.output;
        ASSERT_EQ(r.output.find("error"), std::string::npos) << r.output;
    }
    static std::string Where(const char* oid) {
        return std::string(R"([["oid","==",")") + oid + R"("],["vdb","==",1]])";
    }
    // The columns of a row as an outside writer puts them: `oid` and the body as given.
    static std::string Row(const char* oid, const google::protobuf::Message& body) {
        return std::string(R"({"oid":")") + oid + R"(","vdb":1,"body":")" +
               ozy::cairndb::Base64Encode(body.SerializeAsString()) + R"("})";
    }
    // An insert under a chosen row UUID (the server keeps rows, and sends them, in UUID order).
    static std::string Insert(const char* table, const char* rowUuid, const std::string& row) {
        return std::string(R"({"op":"insert","table":")") + table + R"(","uuid":")" + rowUuid +
               R"(","row":)" + row + "}";
    }
    static std::string Delete(const char* table, const char* oid) {
        return std::string(R"({"op":"delete","table":")") + table + R"(","where":)" + Where(oid) +
               "}";
    }
    static void SetId(const char* text, pb::UuidMsg* id) {
        uint64_t left = 0, right = 0;
        ASSERT_TRUE(ozy::cairndb::ParseUuidText(text, &left, &right));
        id->set_left(left);
        id->set_right(right);
    }
    static pb::LogSwitchConfigMsg Switch(const char* id, uint32_t vni) {
        pb::LogSwitchConfigMsg m;
        SetId(id, m.mutable_id());
        m.set_vni(vni);
        return m;
    }
    void Transact(const std::string& ops) {
        auto r = db.Transact("[" + ops + "]");
        ASSERT_EQ(r.status, 0) << r.output;
        ASSERT_EQ(r.output.find("error"), std::string::npos) << r.output;
    }
    // ovs-appctl against the agent's CLI socket, parsed (null when it failed).
    nlohmann::json Cli(const std::vector<std::string>& args) {
        std::vector<std::string> full = {"-t",
                                         root.path() + "/var/run/orvane/ozy-cfgagent/cfgagent-cli"};
        full.insert(full.end(), args.begin(), args.end());
        auto r = test::RunProgram("/usr/bin/ovs-appctl", full);
        if (r.status != 0)
            return nullptr;
        auto j = nlohmann::json::parse(r.output, nullptr, false);
        return j.is_discarded() ? nlohmann::json(nullptr) : j;
    }
    // The VNI the configuration table holds for a switch (-1: none).
    int64_t SwitchVni(const char* id) {
        nlohmann::json j = Cli({"cfgagent/statecache/logicalswitch", "uuid", id});
        return j.is_object() && j.contains("logical_switch")
                   ? j["logical_switch"].value("vni", int64_t{-1})
                   : -1;
    }
    std::unique_ptr<test::ChildProcess> StartAgent() {
        root.WriteFile("agent.xml",
                       "<config><log><level>5</level></log><cfgAgent><apps/></cfgAgent></config>");
        return std::make_unique<test::ChildProcess>(
            test::BinPath("ozy-cfgagent"),
            std::vector<std::string>{"-c", root.path() + "/agent.xml"}, root.path() + "/agent.log",
            Env());
    }

    test::CairndbServer db;
    test::TempDir root{"ozy-agent-statecache"};
};

TEST_F(AgentStateCacheIntegrationTest, ObjectsReachTheTablesAndASecondFullSyncDropsWhatWasDeleted) {
    Apply(std::string(R"({
      "LOG_SWITCH_CONFIG": [{"id": ")") +
          kLs1 + R"(", "vni": 5001},
                            {"id": ")" +
          kLs2 + R"(", "vni": 5002}],
      "LOG_SWITCH_PORT_CONFIG": [{"id": ")" +
          kLsp + R"(", "switch_id": ")" + kLs1 +
          R"(", "attachment": {"type": 1, "vif_id": "vif-1", "dvport_id": "17"}}],
      "LOG_SWITCH_FIB": [{"id": ")" +
          kLs1 + R"(",
          "vtep_entries": [{"ip": {"ipv4": 167772161}, "label": 7}],
          "mac_entries": [{"mac": "17", "vtep_ip": {"ipv4": 167772161}},
                          {"mac": "18", "vtep_ip": {"ipv4": 167772161}}]},
                         {"id": ")" +
          kLs2 + R"(", "mac_entries": [{"mac": "19"}]}],
      "LOG_ROUTER_CONFIG": [{"id": ")" +
          kLr + R"(", "vdr_id": 3}],
      "FIB": [{"id": ")" +
          kFib + R"(", "router_id": ")" + kLr + R"(",
               "prefix": {"address": {"ipv4": 167772160}, "prefix_length": 24},
               "next_hops": [{"ip": {"ipv4": 167772417}}, {"ip": {"ipv4": 167772418}}]}]})");

    root.WriteFile("agent.xml",
                   "<config><log><level>5</level></log><cfgAgent><apps/></cfgAgent></config>");
    test::ChildProcess agent(test::BinPath("ozy-cfgagent"), {"-c", root.path() + "/agent.xml"},
                             root.path() + "/agent.log", Env());
    ASSERT_TRUE(agent.WaitForOutput(
        "MsgDispatcher: dispatching object to component CONFIGCACHE (FullSync)"))
        << agent.Output();
    // Configuration table, L2 table and L3 table, from the first full sync.
    for (const std::string& line :
         {"ConfigCache: Add object " + std::string(kLs1) + " type LOG_SWITCH_CONFIG",
          "ConfigCache: Add object " + std::string(kLsp) + " property LSP_ATTACHMENT",
          "L2Cache: add object " + std::string(kLs1) + ", objectType: LOG_SWITCH_FIB",
          "L2Cache: Object " + std::string(kLs1) + " update/add property in full sync: L2_VM_MAC",
          "L2Cache: Object " + std::string(kLs1) + " update/add property in full sync: L2_VTEP",
          "Object " + std::string(kLr) + " property INVALID_PROPERTY, value add",
          "Object " + std::string(kFib) + " property L3_FIB_NEXT_HOP, value append",
          "Object " + std::string(kFib) + " property L3_FIB_ROUTER_ID, value append"}) {
        EXPECT_TRUE(agent.WaitForOutput(line)) << line << "\n" << agent.Output();
    }

    // A delta reaches the tables as such.
    Apply(std::string(R"({"LOG_SWITCH_CONFIG": [{"id": ")") + kLs3 + R"(", "vni": 5003}]})");
    EXPECT_TRUE(agent.WaitForOutput("ConfigCache: Add object " + std::string(kLs3) +
                                    " type LOG_SWITCH_CONFIG"))
        << agent.Output();
    EXPECT_TRUE(agent.WaitForOutput(
        "MsgDispatcher: dispatching object to component CONFIGCACHE (delta update)"));

    // While the agent is cut off: switch 2 with its FIB goes, switch 1 loses one MAC, the FIB one
    // next hop. The next full sync must leave exactly that.
    db.Stop();
    ASSERT_TRUE(agent.WaitForOutput("cairndb channel status turns to DOWN")) << agent.Output();
    pb::LogSwitchFibMsg fib;
    uint64_t left = 0, right = 0;
    ASSERT_TRUE(ozy::cairndb::ParseUuidText(kLs1, &left, &right));
    fib.mutable_id()->set_left(left);
    fib.mutable_id()->set_right(right);
    auto* vtep = fib.add_vtep_entries();
    vtep->mutable_ip()->set_ipv4(167772161);
    vtep->set_label(7);
    auto* mac = fib.add_mac_entries();
    mac->set_mac(17);
    mac->mutable_vtep_ip()->set_ipv4(167772161);
    pb::FibMsg route;
    ASSERT_TRUE(ozy::cairndb::ParseUuidText(kFib, &left, &right));
    route.mutable_id()->set_left(left);
    route.mutable_id()->set_right(right);
    ASSERT_TRUE(ozy::cairndb::ParseUuidText(kLr, &left, &right));
    route.mutable_router_id()->set_left(left);
    route.mutable_router_id()->set_right(right);
    route.mutable_prefix()->mutable_address()->set_ipv4(167772160);
    route.mutable_prefix()->set_prefix_length(24);
    route.add_next_hops()->mutable_ip()->set_ipv4(167772417);
    TransactOffline(std::string(R"({"op":"delete","table":"LOG_SWITCH_CONFIG","where":)") +
                    Where(kLs2) + "}," + R"({"op":"delete","table":"LOG_SWITCH_FIB","where":)" +
                    Where(kLs2) + "}," + R"({"op":"update","table":"LOG_SWITCH_FIB","where":)" +
                    Where(kLs1) + R"(,"row":{"body":")" +
                    ozy::cairndb::Base64Encode(fib.SerializeAsString()) + R"(","op":""}},)" +
                    R"({"op":"update","table":"FIB","where":)" + Where(kFib) +
                    R"(,"row":{"body":")" + ozy::cairndb::Base64Encode(route.SerializeAsString()) +
                    R"(","op":""}})");
    size_t before = agent.Output().size();
    ASSERT_TRUE(db.Start());
    ASSERT_TRUE(agent.WaitForOutput("cairndb channel status turns to UP")) << agent.Output();
    ASSERT_TRUE(agent.WaitForOutput("L2Cache: remote l2 fullSync version is 2")) << agent.Output();
    for (const std::string& line : {
             "ConfigCache: Remove object " + std::string(kLs2) + " type LOG_SWITCH_CONFIG",
             "L2Cache: remove object: " + std::string(kLs2) + ", objectType: LOG_SWITCH_FIB",
             "L2Cache: remove property: " + std::string(kLs1) +
                 " L2_VM_MAC {\"mac\":\"00:00:00:00:00:12\"",
         }) {
        EXPECT_TRUE(agent.WaitForOutput(line)) << line << "\n" << agent.Output().substr(before);
    }
    // The FIB lost one next hop, by the sweep or by a removal record, whichever the sync used.
    EXPECT_TRUE(test::AwaitTrue([&] {
        std::string out = agent.Output();
        return out.find("property L3_FIB_NEXT_HOP, stale value removed after full sync", before) !=
                   std::string::npos ||
               out.find("property L3_FIB_NEXT_HOP, value remove", before) != std::string::npos;
    })) << agent.Output().substr(before);
    // What survived was confirmed, not removed.
    std::string after = agent.Output().substr(before);
    EXPECT_EQ(after.find("ConfigCache: Remove object " + std::string(kLs1) + " type"),
              std::string::npos);
    EXPECT_EQ(after.find("ConfigCache: Remove object " + std::string(kLs3) + " type"),
              std::string::npos);
    EXPECT_EQ(after.find("L2Cache: remove object: " + std::string(kLs1)), std::string::npos);

    agent.Signal(SIGTERM);
    EXPECT_EQ(agent.WaitExit().value_or(-1), 0) << agent.Output();
}

TEST_F(AgentStateCacheIntegrationTest, RowsOfOutsideWritersLeaveTheTablesExact) {
    pb::LogRouterConfigMsg router;
    SetId(kLr, router.mutable_id());
    router.set_vdr_id(3);
    // The first rows sort last by row UUID.
    Transact(Insert("LOG_SWITCH_CONFIG", "ffffffff-0000-4000-8000-000000000001",
                    Row(kLs1, Switch(kLs1, 5001))) +
             "," +
             Insert("LOG_ROUTER_CONFIG", "ffffffff-0000-4000-8000-000000000002", Row(kLr, router)));
    auto agent = StartAgent();
    ASSERT_TRUE(agent->WaitForOutput("CairndbClient: Transaction end (fullsync) ID 1"))
        << agent->Output();
    ASSERT_TRUE(test::AwaitTrue([&] { return SwitchVni(kLs1) == 5001; })) << agent->Output();

    {
        SCOPED_TRACE("an object deleted and inserted again in one transaction stays");
        // The new rows sort before the deleted ones: the server sends them first.
        router.set_vdr_id(4);
        Transact(
            Delete("LOG_SWITCH_CONFIG", kLs1) + "," + Delete("LOG_ROUTER_CONFIG", kLr) + "," +
            Insert("LOG_SWITCH_CONFIG", "00000000-0000-4000-8000-000000000001",
                   Row(kLs1, Switch(kLs1, 5009))) +
            "," +
            Insert("LOG_ROUTER_CONFIG", "00000000-0000-4000-8000-000000000002", Row(kLr, router)));
        EXPECT_TRUE(test::AwaitTrue([&] { return SwitchVni(kLs1) == 5009; })) << agent->Output();
        EXPECT_TRUE(test::AwaitTrue([&] {
            nlohmann::json l3 = Cli({"cfgagent/l3/remote"});
            return !l3.is_null() && l3.dump().find(kLr) != std::string::npos;
        })) << agent->Output();
    }
    size_t mark = agent->Output().size();
    {
        SCOPED_TRACE("a stray row naming another object is refused, and so is its deletion");
        Transact(Insert("LOG_SWITCH_CONFIG", "77777777-0000-4000-8000-000000000001",
                        Row(kLs2, Switch(kLs1, 5099))));
        EXPECT_TRUE(agent->WaitForOutput(
            "CairnDbClient: skipping LOG_SWITCH_CONFIG row 77777777-0000-4000-8000-000000000001: "
            "oid " +
                std::string(kLs2) + " but its body has id " + kLs1,
            std::chrono::seconds(30), mark))
            << agent->Output().substr(mark);
        Transact(Delete("LOG_SWITCH_CONFIG", kLs2));
    }
    {
        SCOPED_TRACE("a row whose body has no id is refused with one line");
        pb::LogSwitchConfigMsg noId;
        noId.set_vni(7);
        Transact(
            Insert("LOG_SWITCH_CONFIG", "77777777-0000-4000-8000-000000000002", Row(kLs3, noId)));
        EXPECT_TRUE(agent->WaitForOutput(
            "CairnDbClient: skipping LOG_SWITCH_CONFIG row 77777777-0000-4000-8000-000000000002: "
            "body has no id",
            std::chrono::seconds(30), mark))
            << agent->Output().substr(mark);
    }
    // A later transaction has been through the tables once its switch is there.
    Apply(std::string(R"({"LOG_SWITCH_CONFIG": [{"id": ")") + kLs4 + R"(", "vni": 5077}]})");
    ASSERT_TRUE(test::AwaitTrue([&] { return SwitchVni(kLs4) == 5077; })) << agent->Output();
    EXPECT_EQ(SwitchVni(kLs1), 5009) << agent->Output().substr(mark);
    EXPECT_EQ(SwitchVni(kLs2), -1);
    std::string after = agent->Output().substr(mark);
    EXPECT_EQ(after.find("ConfigCache: received invalid object"), std::string::npos) << after;
    EXPECT_EQ(after.find("ConfigCache: Remove object " + std::string(kLs1)), std::string::npos)
        << after;

    agent->Signal(SIGTERM);
    EXPECT_EQ(agent->WaitExit().value_or(-1), 0) << agent->Output();
}

}  // namespace
}  // namespace CfgAgent
