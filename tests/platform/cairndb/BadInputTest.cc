// What the client does with a server that misbehaves: it logs with an error code, skips the row or
// drops the session and resynchronises, and never crashes or delivers half a transaction.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "platform/cairndb/Base64.h"
#include "platform/cairndb/CairnDbClient.h"
#include "platform/cairndb/MonitorReplica.h"
#include "tests/platform/cairndb/ClientTestSupport.h"
#include "tests/platform/cairndb/FakeOvsdbPeer.h"
#include "tests/support/Await.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

using nlohmann::json;
using ozy::cairndb::Base64Encode;
using ozy::cairndb::CairnDbClient;
using ozy::cairndb::CairnDbClientOptions;

std::string Row(const google::protobuf::Message& body) {
    return json{{"oid", OidOf(body)}, {"vdb", 1}, {"body", Base64Encode(body.SerializeAsString())}}
        .dump();
}

class BadInputTest : public ::testing::Test {
  protected:
    static CairnDbClientOptions Options(size_t maxMessageBytes = size_t{1} << 20) {
        CairnDbClientOptions opt;
        opt.reconnectMin = std::chrono::milliseconds(10);
        opt.reconnectMax = std::chrono::milliseconds(50);
        opt.maxMessageBytes = maxMessageBytes;
        return opt;
    }
    // A client of the peer monitoring LOG_SWITCH_CONFIG into the recorder (or into the callbacks
    // given), started; `sync`: its initial barrier awaited.
    void Start(CairnDbClientOptions opt = Options(), bool sync = true,
               ozy::cairndb::MonitorUpdateCallback update = nullptr,
               ozy::cairndb::MonitorBarrierCallback barrier = nullptr) {
        client_ = std::make_unique<CairnDbClient>("cfg-agent", ozy::net::Endpoint(peer_.Endpoint()),
                                                  io_.io(), opt);
        client_->SetChannelStatusCallback(rec_.StatusCb());
        ASSERT_TRUE(client_->RegisterMonitorCallbacks(101, 1, update ? update : rec_.UpdateCb(),
                                                      barrier ? barrier : rec_.BarrierCb()));
        ASSERT_TRUE(client_->ConfigureMonitor({Statement(pb::LOG_SWITCH_CONFIG)}, {}, 101, 1));
        client_->StartAsync();
        if (sync) {
            ASSERT_TRUE(rec_.WaitBarriers(1));
        }
    }

    // The session was dropped and re-established: down, up, a new monitor and its barrier.
    void ExpectResync(size_t barriersBefore) {
        EXPECT_TRUE(rec_.WaitStatus(false));
        EXPECT_TRUE(peer_.WaitMonitorRequests(2));
        EXPECT_TRUE(rec_.WaitBarriers(barriersBefore + 1));
        EXPECT_GE(peer_.Connections(), 2);
        EXPECT_EQ(rec_.UpdatesAfterLastBarrier(), 0u);
    }

    LogCapture logs_{kLogInfo};
    FakeOvsdbPeer peer_;
    IoThreads io_;
    Recorder rec_;
    std::unique_ptr<CairnDbClient> client_;
};

TEST_F(BadInputTest, MalformedJsonDropsTheSessionWithoutDeliveringAnything) {
    Start();
    // A good notification first, then one that is not JSON although its braces balance.
    ASSERT_TRUE(
        peer_.SendUpdate(R"({"LOG_SWITCH_CONFIG":{"aaaa":{"insert":)" + Row(Switch(1, 1)) + "}}}"));
    ASSERT_TRUE(rec_.WaitBarriers(2));
    ASSERT_TRUE(peer_.SendRaw(R"({"id":null,"method":"update2","params":[tru, {}]})"));
    ExpectResync(2);
    EXPECT_TRUE(logs_.ContainsWithCode("malformed JSON", "LCP03002"));
    // After the resynchronisation the monitor works as before.
    ASSERT_TRUE(
        peer_.SendUpdate(R"({"LOG_SWITCH_CONFIG":{"bbbb":{"insert":)" + Row(Switch(2, 2)) + "}}}"));
    ASSERT_TRUE(rec_.WaitBarriers(4));
    EXPECT_EQ(rec_.UpdatesOfTransaction(3).size(), 1u);
}

// Initial contents larger than a run reach the readers in runs while the reply is decoded: every
// row once, then one barrier. A client stopped from an update callback in the middle of the runs
// delivers nothing more, and no barrier.
TEST_F(BadInputTest, LargeInitialContentsGoInRunsBeforeTheirOneBarrier) {
    const size_t rows = 2 * ozy::cairndb::MonitorReplica::kEarlyRun + 5;
    json result = json::object();
    for (size_t i = 0; i < rows; ++i)
        result["LOG_SWITCH_CONFIG"]["r" + std::to_string(i)] = {
            {"initial", json::parse(Row(Switch(i + 1, 5000)))}};
    peer_.SetMonitorResult(result.dump());
    struct Case {
        const char* name;
        size_t stopAt;  // the update whose callback stops the client; 0: none
    };
    for (const Case& c : {Case{"whole", 0}, Case{"stopped in the first run", 10}}) {
        SCOPED_TRACE(c.name);
        std::atomic<size_t> seen{0};
        std::atomic<size_t> barriers{0};
        std::set<std::string> bodies;
        std::promise<void> stopped;
        Start(
            Options(size_t{64} << 20), false,
            [&](const pb::MonitorUpdateMsg& u) {
                bodies.insert(u.object_body());
                if (++seen == c.stopAt) {
                    client_->Stop();
                    stopped.set_value();
                }
            },
            [&] {
                if (++barriers == 1 && c.stopAt == 0)
                    stopped.set_value();
            });
        ASSERT_EQ(stopped.get_future().wait_for(std::chrono::seconds(60)),
                  std::future_status::ready);
        client_->Stop();
        EXPECT_EQ(seen.load(), c.stopAt == 0 ? rows : c.stopAt);
        EXPECT_EQ(bodies.size(), seen.load());
        EXPECT_EQ(barriers.load(), c.stopAt == 0 ? 1u : 0u);
        client_.reset();
    }
}

TEST_F(BadInputTest, BadRowsAndUnknownTablesAreSkippedAndTheRestDelivered) {
    Start();
    pb::LogSwitchConfigMsg good = Switch(1, 5001);
    json update = {
        {"LOG_SWITCH_CONFIG",
         {{"0001", {{"insert", json::parse(Row(good))}}},
          {"0002", {{"insert", {{"oid", "b"}, {"vdb", 1}, {"body", "not base64!"}}}}},
          {"0003",
           {{"insert", {{"oid", "c"}, {"vdb", 1}, {"body", Base64Encode("\xff\xff\xff\xff")}}}}},
          {"0004", {{"insert", {{"oid", 5}, {"vdb", 1}, {"body", ""}}}}},
          {"0005", {{"modify", {{"body", Base64Encode(good.SerializeAsString())}, {"vdb", "x"}}}}},
          {"0006", {{"delete", nullptr}}}}},
        {"NO_SUCH_TABLE", {{"0007", {{"insert", {{"oid", "d"}, {"vdb", 1}, {"body", ""}}}}}}},
        {"RULE", {{"0008", {{"insert", {{"oid", "e"}, {"vdb", 1}, {"body", ""}}}}}}},
    };
    ASSERT_TRUE(peer_.SendUpdate(update.dump()));
    ASSERT_TRUE(rec_.WaitBarriers(2));
    auto u = rec_.UpdatesOfTransaction(1);
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].object_body(), good.SerializeAsString());
    EXPECT_TRUE(logs_.ContainsWithCode("column body is not base64", "LCP03005"));
    EXPECT_TRUE(logs_.ContainsWithCode("body is not a LogSwitchConfigMsg", "LCP03005"));
    EXPECT_TRUE(logs_.ContainsWithCode("column oid is not a string", "LCP03005"));
    EXPECT_TRUE(logs_.ContainsWithCode("column vdb is not an integer", "LCP03005"));
    EXPECT_TRUE(logs_.ContainsWithCode("skipping rows of unknown table NO_SUCH_TABLE", "LCP03004"));
    EXPECT_TRUE(logs_.ContainsWithCode("skipping rows of unknown table RULE", "LCP03004"));
    EXPECT_EQ(peer_.Connections(), 1);  // bad rows do not cost the session

    // A skipped row that is later deleted produces nothing; a delivered one its CLEAR.
    ASSERT_TRUE(peer_.SendUpdate(
        R"({"LOG_SWITCH_CONFIG":{"0002":{"delete":null},"0001":{"delete":null}}})"));
    ASSERT_TRUE(rec_.WaitBarriers(3));
    u = rec_.UpdatesOfTransaction(2);
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].old_object_body(), good.SerializeAsString());
}

TEST_F(BadInputTest, AStructurallyBrokenNotificationIsRefusedAsAWhole) {
    Start();
    json update = {{"LOG_SWITCH_CONFIG",
                    {{"0001", {{"insert", json::parse(Row(Switch(1, 1)))}}},
                     {"0002", {{"frobnicate", json::parse(Row(Switch(2, 2)))}}}}}};
    ASSERT_TRUE(peer_.SendUpdate(update.dump()));
    ExpectResync(1);
    EXPECT_TRUE(logs_.ContainsWithCode("unknown kind frobnicate", "LCP03003"));
    // Nothing of that notification was delivered: only the two (empty) initial syncs.
    for (const auto& e : rec_.Events()) {
        EXPECT_NE(e.kind, MonitorEvent::kUpdate);
    }
}

TEST_F(BadInputTest, AConnectionClosedInTheMiddleOfAMessageDeliversNothingOfIt) {
    Start();
    json update = {{"LOG_SWITCH_CONFIG", {{"0001", {{"insert", json::parse(Row(Switch(1, 1)))}}}}}};
    // The real notification text under the monitor id the peer recorded; only its first half is
    // sent.
    json monitorId;
    for (const auto& m : peer_.Received()) {
        if (m.is_object() && m.value("method", "") == "monitor_cond")
            monitorId = m["params"][1];
    }
    std::string text =
        json{{"id", nullptr}, {"method", "update2"}, {"params", json::array({monitorId, update})}}
            .dump();
    ASSERT_TRUE(peer_.SendRaw(text.substr(0, text.size() / 2)));
    peer_.CloseConnection();
    ExpectResync(1);
    for (const auto& e : rec_.Events()) {
        EXPECT_NE(e.kind, MonitorEvent::kUpdate);
    }
}

// Messages that cannot be read drop the session, logged with their code; the client resynchronises.
TEST_F(BadInputTest, UnreadableMessagesDropTheSessionWithTheirCode) {
    const struct {
        const char* name;
        std::string raw;     // sent as it stands
        std::string server;  // or: a member-report update
        const char* line;
        const char* code;
    } cases[] = {
        {"params not a pair", R"({"id":null,"method":"update2","params":"nope"})", "",
         "update2 params are not [monitor id, updates]", "LCP03003"},
        {"not an object", R"(["not", "an", "object"])", "", "message is not a JSON object",
         "LCP03002"},
        {"too large",
         R"({"id":null,"method":"update2","params":[")" + std::string(8192, 'a') + R"("]})", "",
         "message too large", "LCP03002"},
        {"member report", "",
         R"({"Database":{"00000000-0000-0000-0000-0000000000d1":{"modify":{"index":"x"}}}})",
         "member report: column index", "LCP03003"},
    };
    Start(Options(4096));
    size_t barriers = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int connections = peer_.Connections();
        ASSERT_TRUE(c.raw.empty() ? peer_.SendServerUpdate(c.server) : peer_.SendRaw(c.raw));
        EXPECT_TRUE(logs_.WaitFor(c.line));
        EXPECT_TRUE(logs_.ContainsWithCode(c.line, c.code));
        EXPECT_TRUE(AwaitTrue([&] { return peer_.Connections() > connections; }));
        EXPECT_TRUE(rec_.WaitBarriers(++barriers));
        EXPECT_EQ(rec_.UpdatesAfterLastBarrier(), 0u);
    }
}

// A monitor reply is taken the same with its id before or after its result: its good rows
// delivered, an undecodable row and an unknown table logged and skipped; a reply whose structure
// is wrong drops the session and delivers nothing of it.
TEST_F(BadInputTest, AMonitorReplyIsTakenWhereverItsIdComes) {
    const pb::LogSwitchConfigMsg a = Switch(1, 7001);
    const pb::LogSwitchConfigMsg b = Switch(2, 7002);
    const std::string rows = R"("b2":{"initial":)" + Row(b) + R"(},"a1":{"initial":)" + Row(a) +
                             R"(},"c3":{"initial":{"oid":5}})";
    struct Case {
        const char* name;
        bool resultFirst;
        std::string result;
        std::string error;  // the session is dropped with this; "" when taken
    };
    const Case cases[] = {
        {"id first", false, R"({"NO_SUCH_TABLE":{},"LOG_SWITCH_CONFIG":{)" + rows + "}}", ""},
        {"id last", true, R"({"NO_SUCH_TABLE":{},"LOG_SWITCH_CONFIG":{)" + rows + "}}", ""},
        {"id first, a row update of another kind", false,
         R"({"LOG_SWITCH_CONFIG":{)" + rows + R"(,"d4":{"insert":{}}}})",
         "row update d4 has unknown kind insert"},
        {"id last, a table that is no object", true,
         R"({"LOG_SWITCH_CONFIG":{)" + rows + R"(},"RULE":[]})",
         "updates of table RULE are not an object"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        logs_.Clear();
        rec_.Clear();
        peer_.SetMonitorReplyForm(c.resultFirst);
        peer_.SetMonitorResult(c.result);
        Start(Options(), c.error.empty());
        if (c.error.empty()) {
            std::vector<pb::MonitorUpdateMsg> u = rec_.UpdatesOfTransaction(0);
            ASSERT_EQ(u.size(), 2u);
            EXPECT_EQ(u[0].object_body(), a.SerializeAsString());
            EXPECT_EQ(u[1].object_body(), b.SerializeAsString());
            EXPECT_TRUE(logs_.ContainsWithCode("skipping LOG_SWITCH_CONFIG row c3", "LCP03005"));
            EXPECT_TRUE(
                logs_.ContainsWithCode("skipping rows of unknown table NO_SUCH_TABLE", "LCP03004"));
        } else {
            EXPECT_TRUE(AwaitTrue([&] { return logs_.Contains(c.error); }));
            EXPECT_TRUE(logs_.ContainsWithCode("monitor reply: " + c.error, "LCP03003"));
            EXPECT_EQ(rec_.Barriers(), 0u);
            EXPECT_EQ(rec_.UpdatesAfterLastBarrier(), 0u);
        }
        client_->Stop();
        client_.reset();
    }
}

TEST_F(BadInputTest, AMalformedMonitorReplyDropsTheSession) {
    peer_.SetMonitorResult("5");
    Start(Options(), false);
    ASSERT_TRUE(peer_.WaitMonitorRequests(2));
    EXPECT_TRUE(logs_.ContainsWithCode("table updates are not an object", "LCP03003"));
    EXPECT_EQ(rec_.Barriers(), 0u);
    // An error reply is logged and the session kept.
    peer_.SetMonitorError("unknown database");
    peer_.CloseConnection();
    EXPECT_TRUE(AwaitTrue([&] { return logs_.Contains("was refused by the server"); }));
    EXPECT_TRUE(
        logs_.ContainsWithCode("monitor 101 on vdb 1 was refused by the server", "LCP03007"));
}

TEST_F(BadInputTest, ServerEchoIsAnsweredAndUpdatesForUnknownMonitorsIgnored) {
    Start();
    ASSERT_TRUE(peer_.SendRaw(R"({"id":"e1","method":"echo","params":["hello"]})"));
    ASSERT_TRUE(AwaitTrue([&] {
        for (const auto& m : peer_.Received()) {
            if (m.is_object() && m.value("id", json()) == "e1" &&
                m.value("result", json()) == json::array({"hello"}))
                return true;
        }
        return false;
    }));
    ASSERT_TRUE(
        peer_.SendRaw(json{{"id", nullptr},
                           {"method", "update2"},
                           {"params", json::array({json::array({"someone", "else"}),
                                                   json::parse(R"({"LOG_SWITCH_CONFIG":{}})")})}}
                          .dump()));
    ASSERT_TRUE(peer_.SendRaw(R"({"id":4711,"result":[],"error":null})"));  // reply to nothing
    auto p = std::make_shared<std::promise<bool>>();
    client_->Echo("after", [p](const ozy::cairndb::Status& s, const std::string& r) {
        p->set_value(s.ok && r == "after");
    });
    EXPECT_TRUE(p->get_future().get());
    EXPECT_EQ(rec_.Barriers(), 1u);
    EXPECT_EQ(peer_.Connections(), 1);
}

TEST_F(BadInputTest, ACallbackThatThrowsIsLoggedAndDeliveryGoesOn) {
    std::atomic<int> calls{0};
    Start(Options(), true, [&](const pb::MonitorUpdateMsg&) {
        if (++calls == 1)
            throw std::runtime_error("boom");
    });
    ASSERT_TRUE(peer_.SendUpdate(R"({"LOG_SWITCH_CONFIG":{"1":{"insert":)" + Row(Switch(1, 1)) +
                                 R"(},"2":{"insert":)" + Row(Switch(2, 2)) + "}}}"));
    ASSERT_TRUE(rec_.WaitBarriers(2));
    EXPECT_EQ(calls.load(), 2);
    EXPECT_TRUE(logs_.ContainsWithCode("update callback threw: boom", "LCP03010"));
}

TEST_F(BadInputTest, AWriteThatRacesAnotherWriterIsReadAgainAndOtherFailuresAreReported) {
    Start();
    // Read, write refused (someone inserted the object meanwhile), read again, write.
    peer_.QueueTransactResult(R"([{"rows":[]}])");
    peer_.QueueTransactResult(
        R"([{"uuid":["uuid","x"]},{"error":"constraint violation","details":"dup"}])");
    json stored = {{"_uuid", {"uuid", "u"}},
                   {"oid", UuidTextOf(Uuid(1))},
                   {"vdb", 1},
                   {"body", ""},
                   {"op", ""}};
    peer_.QueueTransactResult(json::array({{{"rows", json::array({stored})}}}).dump());
    peer_.QueueTransactResult(R"([{},{"count":1}])");
    auto p = std::make_shared<std::promise<ozy::cairndb::Status>>();
    client_->Write({Put(Switch(1, 1), pb::LOG_SWITCH_CONFIG)},
                   [p](const ozy::cairndb::Status& s) { p->set_value(s); });
    auto s = p->get_future().get();
    EXPECT_TRUE(s.ok) << s.error;
    EXPECT_EQ(peer_.Transacts(), 4);
    // The second read found the row: the write updates it in place, asserting what was read.
    json last;
    for (const auto& m : peer_.Received()) {
        if (m.is_object() && m.value("method", "") == "transact")
            last = m;
    }
    ASSERT_EQ(last["params"].size(), 3u);
    EXPECT_EQ(last["params"][1]["op"], "wait");
    EXPECT_EQ(last["params"][2]["op"], "update");

    // Any other failure ends the list with the server's words. (A table this client has not
    // written before, so that the write reads by object id first.)
    peer_.QueueTransactResult(R"([{"rows":[]}])");
    peer_.QueueTransactResult(R"([{"error":"referential integrity violation","details":"no"}])");
    auto q = std::make_shared<std::promise<ozy::cairndb::Status>>();
    client_->Write({Put(Switch(2, 2), pb::LOG_SWITCH_CONFIG, 2)},
                   [q](const ozy::cairndb::Status& s) { q->set_value(s); });
    s = q->get_future().get();
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.error, "referential integrity violation: no");
    EXPECT_TRUE(logs_.ContainsWithCode(
        "write of 1 requests failed: referential integrity violation", "LCP03008"));
}

TEST_F(BadInputTest, AHungServerIsProbedAndTheSessionDropped) {
    CairnDbClientOptions opt = Options();
    opt.probeInterval = std::chrono::milliseconds(100);
    Start(opt);
    peer_.SetSilent(true);
    ASSERT_TRUE(rec_.WaitStatus(false));
    EXPECT_TRUE(logs_.Contains("no message from the server for"));
    bool probed = false;
    for (const auto& m : peer_.Received()) {
        probed = probed || (m.is_object() && m.value("method", "") == "echo" &&
                            m["params"] == json::array({"ozy-probe"}));
    }
    EXPECT_TRUE(probed);
    peer_.SetSilent(false);
    EXPECT_TRUE(rec_.WaitBarriers(2));  // reconnected and resynchronised
}

// A server that takes longer than the probe allows to send one message is still sending: the
// bytes arriving keep the session, which is not dropped in the middle of the message (and does not
// ask for the same large reply again).
TEST_F(BadInputTest, AMessageArrivingSlowerThanTheProbeKeepsTheSession) {
    CairnDbClientOptions opt = Options();
    opt.probeInterval = std::chrono::milliseconds(300);
    Start(opt);
    peer_.SetSilent(true);  // busy: the probe's echo goes unanswered
    ASSERT_TRUE(peer_.SendUpdateInPieces(
        R"({"LOG_SWITCH_CONFIG":{"aaaa":{"insert":)" + Row(Switch(1, 1)) + "}}}", 100,
        std::chrono::milliseconds(20)));
    peer_.SetSilent(false);
    ASSERT_TRUE(rec_.WaitBarriers(2));
    EXPECT_EQ(rec_.UpdatesOfTransaction(1).size(), 1u);
    EXPECT_EQ(peer_.Connections(), 1);
    EXPECT_FALSE(logs_.Contains("no message from the server for"));
}

// A member of a clustered database that says it is cut off from its cluster serves state that may
// no longer be current: the client uses none of it and tries the next remote.
TEST_F(BadInputTest, AMemberReportingItselfCutOffIsLeftBeforeAnythingIsDelivered) {
    const std::string cutOff =
        R"({"name":"cairndb","model":"clustered","connected":false,"leader":false,"index":7})";
    peer_.SetServerRow(cutOff);
    Start(Options(), false);
    ASSERT_TRUE(AwaitTrue([&] { return peer_.Connections() >= 3; }));
    EXPECT_TRUE(
        logs_.ContainsWithCode("it reports cairndb not connected to its cluster", "LCP03012"));
    EXPECT_EQ(peer_.MonitorRequests(), 0);
    EXPECT_EQ(rec_.Barriers(), 0u);
    EXPECT_EQ(client_->Member().role, "none");
    bool got = false;
    client_->Get(pb::LOG_SWITCH_CONFIG, 1, std::nullopt,
                 [&](const ozy::cairndb::Status& st, const auto&) { got = st.ok; });
    EXPECT_FALSE(got);

    peer_.SetServerRow(
        R"({"name":"cairndb","model":"clustered","connected":true,"leader":false,"index":7})");
    ASSERT_TRUE(rec_.WaitBarriers(1));
    EXPECT_TRUE(rec_.WaitStatus(true));
    EXPECT_EQ(client_->Member().role, "follower");
    EXPECT_EQ(client_->Member().member, peer_.Endpoint());
    EXPECT_NE(client_->Member().cluster.find("index 7"), std::string::npos);

    // Cut off while in use: left, and the contents delivered again from the next member.
    peer_.SetServerRow(
        R"({"name":"cairndb","model":"clustered","connected":true,"leader":true,"index":9})");
    ASSERT_TRUE(peer_.SendServerUpdate(
        R"({"Database":{"00000000-0000-0000-0000-0000000000d1":{"modify":{"connected":false}}}})"));
    ExpectResync(1);
    EXPECT_EQ(client_->Member().role, "leader");
}

TEST_F(BadInputTest, StopFromWithinACallbackEndsDeliveryAtOnce) {
    std::atomic<int> updates{0};
    std::atomic<int> barriers{0};
    Start(
        Options(), false,
        [&](const pb::MonitorUpdateMsg&) {
            ++updates;
            client_->Stop();
        },
        [&] { ++barriers; });
    ASSERT_TRUE(AwaitTrue([&] { return barriers.load() == 1; }));
    ASSERT_TRUE(peer_.SendUpdate(R"({"LOG_SWITCH_CONFIG":{"1":{"insert":)" + Row(Switch(1, 1)) +
                                 R"(},"2":{"insert":)" + Row(Switch(2, 2)) + "}}}"));
    ASSERT_TRUE(AwaitTrue([&] { return updates.load() == 1; }));
    // The stop closed the session: the rest of the notification is never delivered.
    ASSERT_TRUE(AwaitTrue([&] { return !peer_.HasConnection(); }));
    EXPECT_EQ(updates.load(), 1);
    EXPECT_EQ(barriers.load(), 1);
}

}  // namespace
}  // namespace CfgAgent::test
