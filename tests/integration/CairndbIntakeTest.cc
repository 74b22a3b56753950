// The agent binary against a real ovsdb-server, one agent for every check: objects applied with
// cairnctl are decoded, reach the configuration, L2 and L3 tables and are closed as the full sync;
// later changes arrive as deltas reduced to the real changes; after a server restart a new full
// sync removes what was deleted while the agent was cut off; rows written with ovsdb-client the
// way outside writers do (delete and insert in one transaction, stray and id-less rows) leave the
// tables exact. Observed through the agent's debug log and its CLI (ovs-appctl).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/cairndb/Base64.h"
#include "proto/UuidText.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_routing.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "tests/support/AgentSystem.h"
#include "tests/support/Await.h"

namespace CfgAgent::test {
namespace {

namespace pb = orvane::ozy::cairndb;

constexpr const char* kLs1 = "00000000-0000-0000-0000-0000000000a1";
constexpr const char* kLs2 = "00000000-0000-0000-0000-0000000000a2";
constexpr const char* kLs3 = "00000000-0000-0000-0000-0000000000a3";
constexpr const char* kLs4 = "00000000-0000-0000-0000-0000000000a4";
constexpr const char* kLs5 = "00000000-0000-0000-0000-0000000000a5";
constexpr const char* kLs6 = "00000000-0000-0000-0000-0000000000a6";
constexpr const char* kLsp = "00000000-0000-0000-0000-0000000000b1";
constexpr const char* kLr = "00000000-0000-0000-0000-0000000000c1";
constexpr const char* kLr2 = "00000000-0000-0000-0000-0000000000c2";
constexpr const char* kFib = "00000000-0000-0000-0000-0000000000d1";
constexpr const char* kFib2 = "00000000-0000-0000-0000-0000000000e1";
constexpr const char* kRule = "00000000-0000-0000-0000-0000000000f1";

std::string S(const char* id) {
    return id;
}

// The LOG_SWITCH_FIB of switch 2 with the given MAC entries (00:50:56:00:00:0m).
std::string Ls2Fib(std::initializer_list<int> macs) {
    std::string entries;
    for (int m : macs)
        entries += std::string(entries.empty() ? "" : ", ") + R"({"mac": ")" +
                   std::to_string(0x005056000000LL + m) + R"(", "vtep_ip": {"ipv4": 167772161}})";
    return R"({"LOG_SWITCH_FIB": [{"id": ")" + S(kLs2) + R"(", "mac_entries": [)" + entries +
           "]}]}";
}

pb::UuidMsg Uuid(const char* text) {
    uint64_t left = 0, right = 0;
    EXPECT_TRUE(ozy::cairndb::ParseUuidText(text, &left, &right)) << text;
    pb::UuidMsg id;
    id.set_left(left);
    id.set_right(right);
    return id;
}

pb::LogSwitchConfigMsg Switch(const char* id, uint32_t vni) {
    pb::LogSwitchConfigMsg m;
    *m.mutable_id() = Uuid(id);
    m.set_vni(vni);
    return m;
}

std::string B64(const google::protobuf::Message& body) {
    return ozy::cairndb::Base64Encode(body.SerializeAsString());
}

std::string Where(const char* oid) {
    return R"([["oid","==",")" + S(oid) + R"("],["vdb","==",1]])";
}
// The columns of a row as an outside writer puts them: `oid` and the body as given.
std::string Row(const char* oid, const google::protobuf::Message& body) {
    return R"({"oid":")" + S(oid) + R"(","vdb":1,"body":")" + B64(body) + R"("})";
}
// An insert under a chosen row UUID (the server keeps rows, and sends them, in UUID order).
std::string Insert(const char* table, const char* rowUuid, const std::string& row) {
    return R"({"op":"insert","table":")" + S(table) + R"(","uuid":")" + rowUuid + R"(","row":)" +
           row + "}";
}
std::string Delete(const char* table, const char* oid) {
    return R"({"op":"delete","table":")" + S(table) + R"(","where":)" + Where(oid) + "}";
}
std::string Update(const char* table, const char* oid, const google::protobuf::Message& body) {
    return R"({"op":"update","table":")" + S(table) + R"(","where":)" + Where(oid) +
           R"(,"row":{"body":")" + B64(body) + R"(","op":""}})";
}

class CairndbIntakeTest : public ::testing::Test {
  protected:
    CairndbIntakeTest() : sys(Options()) {}
    static AgentSystemOptions Options() {
        AgentSystemOptions o;
        o.apps = {};
        o.extraEnv = {{"OZY_NODE_PERSONA", "3"}};
        return o;
    }
    void Transact(const std::string& ops) {
        auto r = sys.Db().Transact("[" + ops + "]");
        ASSERT_EQ(r.status, 0) << r.output;
        ASSERT_EQ(r.output.find("error"), std::string::npos) << r.output;
    }
    // While the server is down: `ovsdb-tool transact` on the database file.
    void TransactOffline(const std::string& ops) {
        auto r = RunProgram("/usr/bin/ovsdb-tool",
                            {"transact", sys.Db().dbFile(), "[\"cairndb\"," + ops + "]"});
        ASSERT_EQ(r.status, 0) << r.output;
        ASSERT_EQ(r.output.find("error"), std::string::npos) << r.output;
    }
    // The VNI the configuration table holds for a switch (-1: none).
    int64_t SwitchVni(const char* id) {
        nlohmann::json j = sys.AgentJson({"cfgagent/statecache/logicalswitch", "uuid", id});
        return j.is_object() && j.contains("logical_switch")
                   ? j["logical_switch"].value("vni", int64_t{-1})
                   : -1;
    }
    std::string Log(size_t from = 0) { return sys.Agent()->Output().substr(from); }
    bool Await(const std::string& line, size_t from = 0) {
        return sys.AwaitAgentLog(line, std::chrono::seconds(60), from);
    }
    // Each line is in the log after `from`, in the given order.
    void ExpectInOrder(const std::vector<std::string>& lines, size_t from = 0) {
        std::string out = Log();
        for (const std::string& line : lines) {
            size_t at = out.find(line, from);
            ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line << "\n" << out;
            from = at;
        }
    }

    AgentSystem sys;
};

TEST_F(CairndbIntakeTest, FullSyncDeltasRestartAndOutsideWritersReachTheTables) {
    ASSERT_TRUE(sys.Db().Start());
    ASSERT_TRUE(sys.Apply(R"({
      "LOG_SWITCH_CONFIG": [{"id": ")" +
                          S(kLs1) + R"(", "vni": 5001, "switch_name": "web"},
                            {"id": ")" +
                          S(kLs2) + R"(", "vni": 5002}],
      "LOG_SWITCH_PORT_CONFIG": [{"id": ")" +
                          S(kLsp) + R"(", "switch_id": ")" + S(kLs1) +
                          R"(", "admin_state_up": true,
          "attachment": {"type": 1, "vif_id": "vif-1", "dvport_id": "17"}}],
      "LOG_SWITCH_FIB": [{"id": ")" +
                          S(kLs1) + R"(",
          "vtep_entries": [{"ip": {"ipv4": 167772161}, "label": 7}],
          "mac_entries": [{"mac": "17", "vtep_ip": {"ipv4": 167772161}},
                          {"mac": "18", "vtep_ip": {"ipv4": 167772161}}]}],
      "LOG_ROUTER_CONFIG": [{"id": ")" +
                          S(kLr) + R"(", "vdr_id": 3}],
      "FIB": [{"id": ")" + S(kFib) +
                          R"(", "router_id": ")" + S(kLr) + R"(",
               "prefix": {"address": {"ipv4": 167772160}, "prefix_length": 24},
               "next_hops": [{"ip": {"ipv4": 167772417}}, {"ip": {"ipv4": 167772418}}]},
              {"id": ")" + S(kFib2) +
                          R"(", "router_id": ")" + S(kLs1) + R"(",
               "prefix": {"address": {"ipv4": 3232235520}, "prefix_length": 24},
               "next_hops": [{"ip": {"ipv4": 167772417}}]}],
      "RULE": [{"id": ")" +
                          S(kRule) + R"("}]})"));
    ASSERT_TRUE(sys.Apply(Ls2Fib({1, 2, 3})));
    ASSERT_TRUE(sys.StartAgent(false));
    ASSERT_TRUE(Await("CairndbClient: Transaction end (fullsync) ID 1"));
    {
        SCOPED_TRACE("the first full sync: start, monitors, channel up, decoded objects, barrier");
        // The channel may come up before or after "registered monitor objects" is logged.
        EXPECT_TRUE(Await("CairndbClient: registered monitor objects"));
        ExpectInOrder({"Cairndb client starts", "CairndbClient: start",
                       "CairndbClient: RegisterMonitorCB vdb id 1",
                       "CairndbClient: cairndb channel status turns to UP",
                       "CairndbClient: Transaction end (fullsync) ID 1"});
        std::string out = Log();
        size_t fullSync = out.find("CairndbClient: Transaction end (fullsync) ID 1");
        for (const char* decoded :
             {"Decoder: Received LOG_SWITCH_CONFIG msg (Operation SET): id {",
              "Decoder: Received LOG_SWITCH_PORT_CONFIG msg (Operation SET): ",
              "Decoder: Received LOG_SWITCH_FIB msg (Operation SET): ",
              "Decoder: generate L2_VM_MAC UPDATE msg: mac: 345040224259",
              "Decoder: Received FIB msg (Operation SET): ",
              "Decoder: Received DFW RuleMsg msg (Operation SET): ",
              "CairndbClient: LOG_SWITCH_CONFIG decoded into 20 record(s)",
              "CairndbClient: LOG_SWITCH_FIB decoded into 4 record(s)",
              "CairndbClient: FIB decoded into 3 record(s)"}) {
            size_t at = out.find(decoded);
            EXPECT_NE(at, std::string::npos) << decoded << "\n" << out;
            EXPECT_LT(at, fullSync) << decoded;
        }
    }
    {
        SCOPED_TRACE("configuration, L2 and L3 tables hold the first full sync");
        EXPECT_TRUE(Await("MsgDispatcher: dispatching object to component CONFIGCACHE (FullSync)"));
        for (const std::string& line :
             {"ConfigCache: Add object " + S(kLs1) + " type LOG_SWITCH_CONFIG",
              "ConfigCache: Add object " + S(kLsp) + " property LSP_ATTACHMENT",
              "L2Cache: add object " + S(kLs1) + ", objectType: LOG_SWITCH_FIB",
              "L2Cache: Object " + S(kLs1) + " update/add property in full sync: L2_VM_MAC",
              "L2Cache: Object " + S(kLs1) + " update/add property in full sync: L2_VTEP",
              "Object " + S(kLr) + " property INVALID_PROPERTY, value add",
              "Object " + S(kFib) + " property L3_FIB_NEXT_HOP, value append",
              "Object " + S(kFib) + " property L3_FIB_ROUTER_ID, value append"}) {
            EXPECT_TRUE(Await(line)) << line;
        }
    }
    {
        SCOPED_TRACE("a list re-written without one entry: the merge leaves the one removal");
        size_t mark = sys.AgentLogSize();
        ASSERT_TRUE(sys.Apply(Ls2Fib({1, 3})));
        ASSERT_TRUE(Await("CairndbClient: Transaction end (delta update) ID 2", mark));
        std::string out = Log(mark);
        for (const std::string& line :
             {S("Decoder: generate L2_VM_MAC DELETE msg: mac: 345040224258"),
              "CairndbClient: merge LOG_SWITCH_FIB msg (object id " + S(kLs2) +
                  ") property L2_VM_MAC: mac: 345040224257",
              "CairndbClient: merge LOG_SWITCH_FIB msg (object id " + S(kLs2) +
                  ") property L2_VM_MAC: mac: 345040224259"})
            EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    }
    {
        SCOPED_TRACE("a new object and a removal reach the tables as deltas");
        size_t mark = sys.AgentLogSize();
        ASSERT_TRUE(
            sys.Apply(R"({"LOG_SWITCH_CONFIG": [{"id": ")" + S(kLs3) + R"(", "vni": 5003}]})"));
        EXPECT_TRUE(Await("ConfigCache: Add object " + S(kLs3) + " type LOG_SWITCH_CONFIG", mark));
        EXPECT_TRUE(Await(
            "MsgDispatcher: dispatching object to component CONFIGCACHE (delta update)", mark));
        ASSERT_TRUE(Await("CairndbClient: Transaction end (delta update) ID 3", mark));
        mark = sys.AgentLogSize();
        RunResult del = sys.Cairnctl({"delete", "RULE", kRule});
        ASSERT_EQ(del.status, 0) << del.output;
        ASSERT_TRUE(Await("CairndbClient: Transaction end (delta update) ID 4", mark));
        EXPECT_NE(Log(mark).find("Decoder: Received DFW RuleMsg msg (Operation CLEAR): "),
                  std::string::npos);
    }
    {
        SCOPED_TRACE("changes made while the agent is cut off are exact after the next full sync");
        // Switch 2 with its FIB goes, switch 1 loses one MAC, the FIB one next hop.
        sys.Db().Stop();
        ASSERT_TRUE(Await("CairndbClient: cairndb channel status turns to DOWN"));
        pb::LogSwitchFibMsg fib;
        *fib.mutable_id() = Uuid(kLs1);
        auto* vtep = fib.add_vtep_entries();
        vtep->mutable_ip()->set_ipv4(167772161);
        vtep->set_label(7);
        auto* mac = fib.add_mac_entries();
        mac->set_mac(17);
        mac->mutable_vtep_ip()->set_ipv4(167772161);
        pb::FibMsg route;
        *route.mutable_id() = Uuid(kFib);
        *route.mutable_router_id() = Uuid(kLr);
        route.mutable_prefix()->mutable_address()->set_ipv4(167772160);
        route.mutable_prefix()->set_prefix_length(24);
        route.add_next_hops()->mutable_ip()->set_ipv4(167772417);
        TransactOffline(Delete("LOG_SWITCH_CONFIG", kLs2) + "," + Delete("LOG_SWITCH_FIB", kLs2) +
                        "," + Update("LOG_SWITCH_FIB", kLs1, fib) + "," +
                        Update("FIB", kFib, route));
        size_t mark = sys.AgentLogSize();
        ASSERT_TRUE(sys.Db().Start());
        ASSERT_TRUE(Await("CairndbClient: Transaction end (fullsync) ID 5", mark));
        ExpectInOrder({"CairndbClient: cairndb channel status turns to UP",
                       "CairndbClient: Transaction end (fullsync) ID 5"},
                      mark);
        std::string out = Log(mark);
        EXPECT_NE(out.find("Decoder: Received LOG_SWITCH_CONFIG msg (Operation SET): "),
                  std::string::npos);
        EXPECT_EQ(out.find("Decoder: Received DFW RuleMsg msg"), std::string::npos);
        ASSERT_TRUE(Await("L2Cache: remote l2 fullSync version is 2", mark));
        for (const std::string& line :
             {"ConfigCache: Remove object " + S(kLs2) + " type LOG_SWITCH_CONFIG",
              "L2Cache: remove object: " + S(kLs2) + ", objectType: LOG_SWITCH_FIB",
              "L2Cache: remove property: " + S(kLs1) + " L2_VM_MAC {\"mac\":\"00:00:00:00:00:12\""})
            EXPECT_TRUE(Await(line, mark)) << line;
        // The FIB lost one next hop, by the sweep or by a removal record, whichever the sync used.
        EXPECT_TRUE(AwaitTrue([&] {
            out = Log(mark);
            return out.find("property L3_FIB_NEXT_HOP, stale value removed after full sync") !=
                       std::string::npos ||
                   out.find("property L3_FIB_NEXT_HOP, value remove") != std::string::npos;
        }));
        // What survived was confirmed, not removed.
        out = Log(mark);
        for (const std::string& line : {"ConfigCache: Remove object " + S(kLs1) + " type",
                                        "ConfigCache: Remove object " + S(kLs3) + " type",
                                        "L2Cache: remove object: " + S(kLs1)})
            EXPECT_EQ(out.find(line), std::string::npos) << line;
    }
    {
        SCOPED_TRACE("an object deleted and inserted again in one transaction stays");
        pb::LogRouterConfigMsg router;
        *router.mutable_id() = Uuid(kLr2);
        router.set_vdr_id(3);
        // The first rows sort last by row UUID; the new rows sort before the deleted ones, so the
        // server sends them first.
        Transact(
            Insert("LOG_SWITCH_CONFIG", "ffffffff-0000-4000-8000-000000000001",
                   Row(kLs5, Switch(kLs5, 5001))) +
            "," +
            Insert("LOG_ROUTER_CONFIG", "ffffffff-0000-4000-8000-000000000002", Row(kLr2, router)));
        ASSERT_TRUE(AwaitTrue([&] { return SwitchVni(kLs5) == 5001; }));
        router.set_vdr_id(4);
        Transact(
            Delete("LOG_SWITCH_CONFIG", kLs5) + "," + Delete("LOG_ROUTER_CONFIG", kLr2) + "," +
            Insert("LOG_SWITCH_CONFIG", "00000000-0000-4000-8000-000000000001",
                   Row(kLs5, Switch(kLs5, 5009))) +
            "," +
            Insert("LOG_ROUTER_CONFIG", "00000000-0000-4000-8000-000000000002", Row(kLr2, router)));
        EXPECT_TRUE(AwaitTrue([&] { return SwitchVni(kLs5) == 5009; }));
        EXPECT_TRUE(AwaitTrue([&] {
            nlohmann::json l3 = sys.AgentJson({"cfgagent/l3/remote"});
            return !l3.is_null() && l3.dump().find(kLr2) != std::string::npos;
        }));
    }
    size_t mark = sys.AgentLogSize();
    {
        SCOPED_TRACE("a stray row naming another object is refused, and so is its deletion");
        Transact(Insert("LOG_SWITCH_CONFIG", "77777777-0000-4000-8000-000000000001",
                        Row(kLs2, Switch(kLs5, 5099))));
        EXPECT_TRUE(
            Await("CairnDbClient: skipping LOG_SWITCH_CONFIG row "
                  "77777777-0000-4000-8000-000000000001: oid " +
                      S(kLs2) + " but its body has id " + kLs5,
                  mark));
        Transact(Delete("LOG_SWITCH_CONFIG", kLs2));
    }
    {
        SCOPED_TRACE("a row whose body has no id is refused with one line");
        pb::LogSwitchConfigMsg noId;
        noId.set_vni(7);
        Transact(
            Insert("LOG_SWITCH_CONFIG", "77777777-0000-4000-8000-000000000002", Row(kLs6, noId)));
        EXPECT_TRUE(
            Await("CairnDbClient: skipping LOG_SWITCH_CONFIG row "
                  "77777777-0000-4000-8000-000000000002: body has no id",
                  mark));
    }
    {
        SCOPED_TRACE("a later transaction has been through the tables once its switch is there");
        ASSERT_TRUE(
            sys.Apply(R"({"LOG_SWITCH_CONFIG": [{"id": ")" + S(kLs4) + R"(", "vni": 5077}]})"));
        ASSERT_TRUE(AwaitTrue([&] { return SwitchVni(kLs4) == 5077; }));
        EXPECT_EQ(SwitchVni(kLs5), 5009);
        EXPECT_EQ(SwitchVni(kLs2), -1);
        std::string after = Log(mark);
        EXPECT_EQ(after.find("ConfigCache: received invalid object"), std::string::npos);
        EXPECT_EQ(after.find("ConfigCache: Remove object " + S(kLs5)), std::string::npos);
    }
    {
        SCOPED_TRACE("SIGTERM stops the client and its monitors");
        ASSERT_EQ(sys.StopAgent(), 0);
        std::string out = Log();
        size_t clean = out.find("Clean up platform");
        ASSERT_NE(clean, std::string::npos);
        EXPECT_NE(out.find("CairndbClient: unregistered monitor objects", clean),
                  std::string::npos);
        EXPECT_NE(out.find("CairndbClient: stop", clean), std::string::npos);
        EXPECT_EQ(out.find("Failed to stop work group"), std::string::npos);
    }
}

}  // namespace
}  // namespace CfgAgent::test
