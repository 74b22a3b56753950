// The client library against a real ovsdb-server (started by CairndbServer).
#include <gtest/gtest.h>

#include <future>
#include <set>

#include "platform/cairndb/Base64.h"
#include "platform/cairndb/CairnDbClient.h"
#include "proto/UuidText.h"
#include "tests/platform/cairndb/ClientTestSupport.h"
#include "tests/support/Await.h"
#include "tests/support/CairndbServer.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestEnv.h"

namespace CfgAgent::test {
namespace {

using ozy::cairndb::CairnDbClient;
using ozy::cairndb::CairnDbClientOptions;
using ozy::cairndb::Status;

constexpr int kLs = pb::LOG_SWITCH_CONFIG;
constexpr int kFib = pb::LOG_SWITCH_FIB;
constexpr uint32_t kMonitor = 101;

class CairnDbClientIT : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(db_.Start()); }

    CairnDbClient& NewClient(const std::string& name = "cfg-agent") {
        CairnDbClientOptions opt;
        opt.reconnectMin = std::chrono::milliseconds(20);
        opt.reconnectMax = std::chrono::milliseconds(200);
        clients_.push_back(std::make_unique<CairnDbClient>(name, ozy::net::Endpoint(db_.Endpoint()),
                                                           io_.io(), opt));
        return *clients_.back();
    }

    // A client monitoring `types` on `vdb`, started, with its initial barrier received.
    CairnDbClient& Monitor(Recorder& rec, const std::vector<int>& types, uint16_t vdb = 1) {
        CairnDbClient& c = NewClient();
        c.SetChannelStatusCallback(rec.StatusCb());
        if (vdb != 1) {
            EXPECT_TRUE(c.AddMonitorSession(vdb));
        }
        EXPECT_TRUE(c.RegisterMonitorCallbacks(kMonitor, vdb, rec.UpdateCb(), rec.BarrierCb()));
        std::vector<pb::MonitorStatementMsg> st;
        for (int t : types)
            st.push_back(Statement(t));
        EXPECT_TRUE(c.ConfigureMonitor(st, {}, kMonitor, vdb));
        c.StartAsync();
        EXPECT_TRUE(rec.WaitBarriers(1));
        return c;
    }

    static Status WriteSync(CairnDbClient& c, std::vector<pb::ModifyRequestMsg> reqs) {
        auto p = std::make_shared<std::promise<Status>>();
        auto f = p->get_future();
        c.Write(std::move(reqs), [p](const Status& s) { p->set_value(s); });
        if (f.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            return Status::Error("write timed out");
        }
        return f.get();
    }

    // An echo round trip: everything the server sent before its reply has been delivered.
    static void Sync(CairnDbClient& c) {
        auto p = std::make_shared<std::promise<std::string>>();
        auto f = p->get_future();
        c.Echo("sync", [p](const Status& s, const std::string& r) {
            p->set_value(s.ok ? r : "error: " + s.error);
        });
        ASSERT_EQ(f.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        ASSERT_EQ(f.get(), "sync");
    }

    CairndbServer db_;
    IoThreads io_;
    std::vector<std::unique_ptr<CairnDbClient>> clients_;
};

pb::LogSwitchConfigOpMsg LsOp(const pb::MonitorUpdateMsg& u) {
    pb::LogSwitchConfigOpMsg op;
    EXPECT_TRUE(op.ParseFromString(u.op_msg()));
    return op;
}

TEST_F(CairnDbClientIT, InitialContentsArriveAsSetsFollowedByOneBarrier) {
    std::string ops = "[" + InsertOp("LOG_SWITCH_CONFIG", Switch(1, 5001)) + "," +
                      InsertOp("LOG_SWITCH_CONFIG", Switch(2, 5002)) + "," +
                      InsertOp("LOG_SWITCH_CONFIG", Switch(3, 5003), 2) + "]";
    ASSERT_EQ(db_.Transact(ops).status, 0);

    Recorder rec;
    CairnDbClient& c = Monitor(rec, {kLs, kFib});
    Sync(c);
    auto events = rec.Events();
    ASSERT_EQ(events.size(), 4u);  // up, two objects of vdb 1, barrier
    EXPECT_EQ(events[0].kind, MonitorEvent::kStatus);
    EXPECT_TRUE(events[0].up);
    std::set<uint32_t> vnis;
    for (int i = 1; i <= 2; ++i) {
        ASSERT_EQ(events[i].kind, MonitorEvent::kUpdate);
        const auto& u = events[i].update;
        EXPECT_EQ(u.object_type(), pb::LOG_SWITCH_CONFIG);
        EXPECT_EQ(u.vdb(), 1u);
        EXPECT_TRUE(u.old_object_body().empty());
        pb::LogSwitchConfigMsg body;
        ASSERT_TRUE(body.ParseFromString(u.object_body()));
        vnis.insert(body.vni());
        auto op = LsOp(u);
        EXPECT_EQ(op.op().op(), pb::SET);
        EXPECT_EQ(op.vni().op(), pb::SET);
        EXPECT_EQ(op.switch_name().op(), pb::SET);
        EXPECT_EQ(op.vlan().op(), pb::INVALID);
    }
    EXPECT_EQ(vnis, (std::set<uint32_t>{5001, 5002}));
    EXPECT_EQ(events[3].kind, MonitorEvent::kBarrier);
    EXPECT_GT(c.LastExchangeSeconds(), 0);
}

TEST_F(CairnDbClientIT, OneTransactionOfThreeObjectsYieldsThreeUpdatesAndOneBarrierADeleteAClear) {
    Recorder rec;
    CairnDbClient& c = Monitor(rec, {kLs});
    ASSERT_TRUE(
        WriteSync(c, {Put(Switch(1, 1), kLs), Put(Switch(2, 2), kLs), Put(Switch(3, 3), kLs)}).ok);
    ASSERT_TRUE(rec.WaitBarriers(2));
    Sync(c);
    EXPECT_EQ(rec.Barriers(), 2u);
    EXPECT_EQ(rec.UpdatesOfTransaction(1).size(), 3u);
    EXPECT_EQ(rec.UpdatesAfterLastBarrier(), 0u);
    EXPECT_EQ(rec.maxConcurrent(), 1);

    // A delete yields a CLEAR with the old body.
    auto sw = Switch(7, 7007);
    ASSERT_TRUE(WriteSync(c, {Put(sw, kLs)}).ok);
    ASSERT_TRUE(WriteSync(c, {Delete(kLs, sw.id())}).ok);
    ASSERT_TRUE(rec.WaitBarriers(4));
    auto updates = rec.UpdatesOfTransaction(3);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].old_object_body(), sw.SerializeAsString());
    EXPECT_TRUE(updates[0].object_body().empty());
    auto op = LsOp(updates[0]);
    EXPECT_EQ(op.op().op(), pb::CLEAR);
    EXPECT_EQ(op.vni().op(), pb::CLEAR);
}

TEST_F(CairnDbClientIT, ListChangesYieldDerivedAndExplicitOpMessages) {
    Recorder rec;
    CairnDbClient& c = Monitor(rec, {kFib});
    ASSERT_TRUE(WriteSync(c, {Put(SwitchFib(1, {1, 2, 3}), kFib)}).ok);
    // A whole-body write: the list carries SET, the old body comes along.
    ASSERT_TRUE(WriteSync(c, {Put(SwitchFib(1, {1, 2}), kFib)}).ok);
    ASSERT_TRUE(rec.WaitBarriers(3));
    auto u = rec.UpdatesOfTransaction(2);
    ASSERT_EQ(u.size(), 1u);
    pb::LogSwitchFibOpMsg op;
    ASSERT_TRUE(op.ParseFromString(u[0].op_msg()));
    EXPECT_EQ(op.op().op(), pb::SET);
    EXPECT_EQ(op.mac_entries().op(), pb::SET);
    EXPECT_EQ(op.vtep_entries().op(), pb::INVALID);
    EXPECT_EQ(op.id().op(), pb::INVALID);
    pb::LogSwitchFibMsg oldBody;
    ASSERT_TRUE(oldBody.ParseFromString(u[0].old_object_body()));
    EXPECT_EQ(oldBody.mac_entries_size(), 3);

    // List-level patches: the row carries the explicit op with the changed entries.
    pb::LogSwitchFibOpMsg append;
    append.mutable_mac_entries()->set_op(pb::APPEND);
    ASSERT_TRUE(WriteSync(c, {Patch(kFib, Uuid(1), append, SwitchFib(1, {9}))}).ok);
    pb::LogSwitchFibOpMsg remove;
    remove.mutable_mac_entries()->set_op(pb::REMOVE);
    ASSERT_TRUE(WriteSync(c, {Patch(kFib, Uuid(1), remove, SwitchFib(1, {1}))}).ok);
    ASSERT_TRUE(rec.WaitBarriers(5));

    auto a = rec.UpdatesOfTransaction(3);
    ASSERT_EQ(a.size(), 1u);
    ASSERT_TRUE(op.ParseFromString(a[0].op_msg()));
    EXPECT_EQ(op.mac_entries().op(), pb::APPEND);
    ASSERT_EQ(op.mac_entries().entries_size(), 1);
    EXPECT_EQ(op.mac_entries().entries(0).op(), pb::APPEND);
    EXPECT_EQ(op.mac_entries().entries(0).index(), 2u);
    pb::LogSwitchFibMsg body;
    ASSERT_TRUE(body.ParseFromString(a[0].object_body()));
    ASSERT_EQ(body.mac_entries_size(), 3);
    EXPECT_EQ(body.mac_entries(2).mac(), 9u);

    auto r = rec.UpdatesOfTransaction(4);
    ASSERT_EQ(r.size(), 1u);
    ASSERT_TRUE(op.ParseFromString(r[0].op_msg()));
    EXPECT_EQ(op.mac_entries().op(), pb::REMOVE);
    ASSERT_EQ(op.mac_entries().entries_size(), 1);
    EXPECT_EQ(op.mac_entries().entries(0).op(), pb::REMOVE);
    EXPECT_EQ(op.mac_entries().entries(0).old_index(), 0u);
    ASSERT_TRUE(oldBody.ParseFromString(r[0].old_object_body()));
    EXPECT_EQ(oldBody.mac_entries(0).mac(), 1u);
    ASSERT_TRUE(body.ParseFromString(r[0].object_body()));
    ASSERT_EQ(body.mac_entries_size(), 2);
    EXPECT_EQ(body.mac_entries(0).mac(), 2u);
    EXPECT_EQ(body.mac_entries(1).mac(), 9u);
}

TEST_F(CairnDbClientIT, MonitorsOnDifferentVdbsSeeOnlyTheirRows) {
    Recorder one;
    Recorder two;
    CairnDbClient& c = NewClient();
    ASSERT_TRUE(c.AddMonitorSession(2));
    ASSERT_TRUE(c.RegisterMonitorCallbacks(kMonitor, 1, one.UpdateCb(), one.BarrierCb()));
    ASSERT_TRUE(c.RegisterMonitorCallbacks(kMonitor, 2, two.UpdateCb(), two.BarrierCb()));
    ASSERT_TRUE(c.ConfigureMonitor({Statement(kLs)}, {}, kMonitor, 1));
    ASSERT_TRUE(c.ConfigureMonitor({Statement(kLs)}, {}, kMonitor, 2));
    c.StartAsync();
    ASSERT_TRUE(one.WaitBarriers(1));
    ASSERT_TRUE(two.WaitBarriers(1));
    ASSERT_TRUE(WriteSync(c, {Put(Switch(1, 100), kLs, 1), Put(Switch(2, 200), kLs, 2)}).ok);
    ASSERT_TRUE(one.WaitBarriers(2));
    ASSERT_TRUE(two.WaitBarriers(2));
    auto u1 = one.UpdatesOfTransaction(1);
    auto u2 = two.UpdatesOfTransaction(1);
    ASSERT_EQ(u1.size(), 1u);
    ASSERT_EQ(u2.size(), 1u);
    pb::LogSwitchConfigMsg b;
    ASSERT_TRUE(b.ParseFromString(u1[0].object_body()));
    EXPECT_EQ(b.vni(), 100u);
    EXPECT_EQ(u1[0].vdb(), 1u);
    ASSERT_TRUE(b.ParseFromString(u2[0].object_body()));
    EXPECT_EQ(b.vni(), 200u);
    EXPECT_EQ(u2[0].vdb(), 2u);

    // Removing the session stops its monitor; the other goes on.
    c.RemoveMonitorSession(2);
    ASSERT_TRUE(WriteSync(c, {Put(Switch(3, 300), kLs, 2), Put(Switch(4, 400), kLs, 1)}).ok);
    ASSERT_TRUE(one.WaitBarriers(3));
    Sync(c);
    EXPECT_EQ(two.Barriers(), 2u);
}

TEST_F(CairnDbClientIT, ServerKilledAndRestartedGivesDownUpAndTheCompleteContentsAgain) {
    Recorder rec;
    CairnDbClient& c = Monitor(rec, {kLs});
    ASSERT_TRUE(WriteSync(c, {Put(Switch(1, 1), kLs), Put(Switch(2, 2), kLs)}).ok);
    ASSERT_TRUE(rec.WaitBarriers(2));

    db_.Kill();
    ASSERT_TRUE(rec.WaitStatus(false));
    EXPECT_FALSE(c.Connected());
    // A write made while the channel is down is kept and applied after reconnection.
    auto pending = std::make_shared<std::promise<Status>>();
    auto pendingDone = pending->get_future();
    c.Write({Put(Switch(3, 3), kLs)}, [pending](const Status& s) { pending->set_value(s); });
    auto echo = std::make_shared<std::promise<bool>>();
    c.Echo("x", [echo](const Status& s, const std::string&) { echo->set_value(s.ok); });
    EXPECT_FALSE(echo->get_future().get());

    ASSERT_TRUE(db_.Start());
    ASSERT_TRUE(rec.WaitStatus(true, 2));
    ASSERT_EQ(pendingDone.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(pendingDone.get().ok);
    ASSERT_TRUE(rec.WaitBarriers(4));

    auto events = rec.Events();
    // down, up, then the complete contents (two objects) before the next barrier.
    size_t i = 0;
    while (i < events.size() && !(events[i].kind == MonitorEvent::kStatus && !events[i].up))
        ++i;
    ASSERT_LT(i + 1, events.size());
    ASSERT_EQ(events[i + 1].kind, MonitorEvent::kStatus);
    EXPECT_TRUE(events[i + 1].up);
    std::set<uint32_t> vnis;
    size_t k = i + 2;
    for (; k < events.size() && events[k].kind == MonitorEvent::kUpdate; ++k) {
        pb::LogSwitchConfigMsg b;
        ASSERT_TRUE(b.ParseFromString(events[k].update.object_body()));
        EXPECT_EQ(LsOp(events[k].update).op().op(), pb::SET);
        vnis.insert(b.vni());
    }
    ASSERT_LT(k, events.size());
    EXPECT_EQ(events[k].kind, MonitorEvent::kBarrier);
    // The pending write may land before or after the monitor's snapshot; nothing else may appear.
    EXPECT_TRUE(vnis == (std::set<uint32_t>{1, 2}) || vnis == (std::set<uint32_t>{1, 2, 3}));
}

TEST_F(CairnDbClientIT, WritesLandAndFlushedObjectsThatArePutAgainAreModified) {
    Recorder rec;
    CairnDbClient& c = Monitor(rec, {kLs});
    auto a = Switch(1, 10);
    auto b = Switch(2, 20);
    ASSERT_TRUE(WriteSync(c, {Put(a, kLs), Put(b, kLs)}).ok);
    ASSERT_TRUE(rec.WaitBarriers(2));

    auto a2 = Switch(1, 11);
    pb::LogSwitchConfigOpMsg setVlan;
    setVlan.mutable_vlan()->set_op(pb::SET);
    pb::LogSwitchConfigMsg vlan;
    vlan.set_vlan(42);
    ASSERT_TRUE(WriteSync(c, {Flush(kLs), Put(a2, kLs), Patch(kLs, a2.id(), setVlan, vlan)}).ok);
    ASSERT_TRUE(rec.WaitBarriers(3));
    auto u = rec.UpdatesOfTransaction(2);
    ASSERT_EQ(u.size(), 2u);
    int modifies = 0;
    int clears = 0;
    for (const auto& x : u) {
        auto op = LsOp(x);
        if (op.op().op() == pb::SET) {
            ++modifies;
            EXPECT_FALSE(x.old_object_body().empty());  // a modify, not a fresh insert
            pb::LogSwitchConfigMsg body;
            ASSERT_TRUE(body.ParseFromString(x.object_body()));
            EXPECT_EQ(body.vni(), 11u);
            EXPECT_EQ(body.vlan(), 42u);
            EXPECT_EQ(op.vni().op(), pb::SET);
            EXPECT_EQ(op.vlan().op(), pb::SET);
            EXPECT_EQ(op.switch_name().op(), pb::INVALID);
        } else {
            ++clears;
            EXPECT_EQ(x.old_object_body(), b.SerializeAsString());
        }
    }
    EXPECT_EQ(modifies, 1);
    EXPECT_EQ(clears, 1);

    // What an outside reader sees.
    auto dump = db_.Client({"dump", db_.OvsdbRemote(), "cairndb", "LOG_SWITCH_CONFIG"});
    ASSERT_EQ(dump.status, 0) << dump.output;
    EXPECT_NE(dump.output.find(UuidTextOf(a.id())), std::string::npos) << dump.output;
    EXPECT_EQ(dump.output.find(UuidTextOf(b.id())), std::string::npos) << dump.output;

    // And through Get.
    auto p = std::make_shared<std::promise<std::vector<ozy::cairndb::StoredObject>>>();
    c.Get(kLs, 1, std::nullopt,
          [p](const Status& s, const std::vector<ozy::cairndb::StoredObject>& objs) {
              EXPECT_TRUE(s.ok) << s.error;
              p->set_value(objs);
          });
    auto objs = p->get_future().get();
    ASSERT_EQ(objs.size(), 1u);
    EXPECT_EQ(objs[0].oid, UuidTextOf(a.id()));
    pb::LogSwitchConfigMsg stored;
    ASSERT_TRUE(stored.ParseFromString(objs[0].body));
    EXPECT_EQ(stored.vlan(), 42u);

    // A row another writer stored with a body that is not base64 is left out, and counted.
    ASSERT_EQ(db_.Transact(R"([{"op":"insert","table":"LOG_SWITCH_CONFIG","row":)"
                           R"({"oid":"00000000-0000-0000-0000-0000000000bb","vdb":1,)"
                           R"("body":"%%not base64%%"}}])")
                  .status,
              0);
    auto q = std::make_shared<std::promise<std::pair<Status, size_t>>>();
    c.Get(kLs, 1, std::nullopt,
          [q](const Status& s, const std::vector<ozy::cairndb::StoredObject>& objs) {
              q->set_value({s, objs.size()});
          });
    auto [status, count] = q->get_future().get();
    EXPECT_TRUE(status.ok) << status.error;
    EXPECT_EQ(status.skipped, 1u);
    EXPECT_EQ(count, 1u);
}

// The MACs of the learned row as stored (empty when there is none).
std::vector<uint64_t> StoredMacs(CairnDbClient& c) {
    auto p = std::make_shared<std::promise<std::vector<ozy::cairndb::StoredObject>>>();
    c.Get(pb::LOG_SWITCH_STATE, 1, UuidTextOf(Uuid(7)),
          [p](const Status& s, const std::vector<ozy::cairndb::StoredObject>& objs) {
              EXPECT_TRUE(s.ok) << s.error;
              p->set_value(objs);
          });
    std::vector<uint64_t> macs;
    for (const auto& o : p->get_future().get()) {
        pb::LogSwitchStateMsg row;
        EXPECT_TRUE(row.ParseFromString(o.body));
        for (const auto& e : row.mac_entries())
            macs.push_back(e.mac());
    }
    return macs;
}

std::vector<uint64_t> Macs(uint64_t first, int n) {
    std::vector<uint64_t> v;
    for (int i = 0; i < n; ++i)
        v.push_back(first + uint64_t(i));
    return v;
}

// A row that grows by patches is written from what the client wrote last, not read back; when
// another writer changed the row in between, the write still lands on exactly what that writer
// left (the client reads the row again), also with a single attempt per write.
struct OtherWriterCase {
    const char* name;
    std::string ops;                 // the other writer's transaction, "" for none
    std::vector<uint64_t> expected;  // the row's MACs after the client's third write
};

TEST_F(CairnDbClientIT, AGrowingRowWrittenAgainLandsOnWhatAnotherWriterLeft) {
    const std::string where = R"("where":[["oid","==",")" + UuidTextOf(Uuid(7)) + R"("]])";
    auto otherBody = LearnedMacsRow(0x1000, 3);
    otherBody.add_mac_entries()->set_mac(0x9999);
    std::vector<uint64_t> otherMacs = Macs(0x1000, 3);
    otherMacs.push_back(0x9999);
    std::vector<uint64_t> all = Macs(0x1000, 8);
    std::vector<OtherWriterCase> cases = {
        {"no other writer", "", all},
        {"another writer rewrote the row",
         R"([{"op":"update","table":"LOG_SWITCH_STATE",)" + where + R"(,"row":{"body":")" +
             ozy::cairndb::Base64Encode(otherBody.SerializeAsString()) + R"("}}])",
         otherMacs},
        {"another writer changed the row's op only",
         R"([{"op":"update","table":"LOG_SWITCH_STATE",)" + where + R"(,"row":{"op":""}}])", all},
        {"another writer deleted the row",
         R"([{"op":"delete","table":"LOG_SWITCH_STATE",)" + where + "}]",
         {}},
    };
    // The client's third write appends these.
    for (uint64_t m : Macs(0x1006, 2)) {
        otherMacs.push_back(m);
        cases[3].expected.push_back(m);
    }
    cases[1].expected = otherMacs;
    for (const OtherWriterCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(db_.Transact(R"([{"op":"delete","table":"LOG_SWITCH_STATE","where":[]}])").status,
                  0);
        CairnDbClientOptions opt;
        opt.writeAttempts = 1;
        clients_.push_back(std::make_unique<CairnDbClient>(
            "learner", ozy::net::Endpoint(db_.Endpoint()), io_.io(), opt));
        CairnDbClient& learner = *clients_.back();
        learner.StartAsync();
        ASSERT_TRUE(WriteSync(learner, {AppendLearnedMacs(0x1000, 3)}).ok);
        ASSERT_TRUE(WriteSync(learner, {AppendLearnedMacs(0x1003, 3)}).ok);
        ASSERT_EQ(StoredMacs(learner), Macs(0x1000, 6));
        if (!c.ops.empty()) {
            auto r = db_.Transact(c.ops);
            ASSERT_EQ(r.status, 0) << r.output;
        }
        Status s = WriteSync(learner, {AppendLearnedMacs(0x1006, 2)});
        ASSERT_TRUE(s.ok) << s.error;
        EXPECT_EQ(StoredMacs(learner), c.expected);
        learner.Stop();
    }
}

TEST_F(CairnDbClientIT, MalformedWriteListsAreRejectedWhole) {
    Recorder rec;
    CairnDbClient& c = Monitor(rec, {kLs});
    pb::ModifyRequestMsg badType = Put(Switch(5, 5), kLs);
    badType.mutable_put()->mutable_object()->set_object_type(static_cast<pb::ObjectType>(7));
    Status s = WriteSync(c, {Put(Switch(4, 4), kLs), badType});
    EXPECT_FALSE(s.ok);
    EXPECT_NE(s.error.find("unknown object type 7"), std::string::npos) << s.error;
    s = WriteSync(c, {Put(Switch(4, 4), kLs, 0)});
    EXPECT_FALSE(s.ok);
    pb::ModifyRequestMsg noBody = Put(Switch(4, 4), kLs);
    noBody.mutable_put()->mutable_object()->set_body("\xff\xff\xff");
    EXPECT_FALSE(WriteSync(c, {noBody}).ok);
    Sync(c);
    EXPECT_EQ(rec.Barriers(), 1u);  // nothing was written
    // A later good list still goes through.
    EXPECT_TRUE(WriteSync(c, {Put(Switch(4, 4), kLs)}).ok);
    EXPECT_TRUE(rec.WaitBarriers(2));
}

// Writes queued behind one in flight go out together; one bad write among them fails alone and
// its neighbours still land. Repeated writes of one table read its rows by UUID from then on.
TEST_F(CairnDbClientIT, QueuedWritesAreSentTogetherAndABadOneFailsAlone) {
    LogCapture logs(kLogInfo);
    Recorder rec;
    CairnDbClient& c = Monitor(rec, {kLs});
    constexpr uint64_t kWrites = 300;
    constexpr uint64_t kBad = 150;
    std::vector<std::shared_ptr<std::promise<Status>>> done;
    for (uint64_t i = 1; i <= kWrites; ++i) {
        pb::ModifyRequestMsg r = Put(Switch(i, static_cast<uint32_t>(i)), kLs);
        if (i == kBad)
            r.mutable_put()->mutable_object()->set_body("\xff\xff\xff");
        auto p = std::make_shared<std::promise<Status>>();
        done.push_back(p);
        c.Write({r}, [p](const Status& st) { p->set_value(st); });
    }
    for (uint64_t i = 1; i <= kWrites; ++i) {
        auto f = done[i - 1]->get_future();
        ASSERT_EQ(f.wait_for(std::chrono::seconds(60)), std::future_status::ready) << i;
        Status st = f.get();
        EXPECT_EQ(st.ok, i != kBad) << i << ": " << st.error;
    }
    EXPECT_TRUE(logs.Contains("writes sent together failed")) << "the bad write was merged";
    // Far fewer transactions than writes: one barrier per committed transaction.
    Sync(c);
    EXPECT_LT(rec.Barriers(), kWrites / 4);

    // Every good object is there once; a second round updates them in place by UUID.
    auto count = [&] {
        auto dump = db_.Client({"query", db_.OvsdbRemote(),
                                R"(["cairndb",{"op":"select","table":"LOG_SWITCH_CONFIG",)"
                                R"("where":[],"columns":["oid"]}])"});
        size_t n = 0;
        for (size_t at = dump.output.find("\"oid\""); at != std::string::npos;
             at = dump.output.find("\"oid\"", at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count(), kWrites - 1);
    for (uint64_t i = 1; i <= kWrites; ++i)
        c.Write({Put(Switch(i, static_cast<uint32_t>(i + 1000)), kLs)}, nullptr);
    EXPECT_TRUE(WriteSync(c, {Put(Switch(kWrites + 1, 1), kLs)}).ok);
    EXPECT_EQ(count(), kWrites + 1);
}

TEST_F(CairnDbClientIT, AWriteOfManyRequestsHandsItsFreedPagesBack) {
    Recorder rec;
    CairnDbClient& c = Monitor(rec, {kLs});
    auto puts = [](uint64_t first, size_t n) {
        std::vector<pb::ModifyRequestMsg> list;
        for (uint64_t i = first; i < first + n; ++i)
            list.push_back(Put(Switch(i, 1), kLs));
        return list;
    };
    ASSERT_TRUE(WriteSync(c, puts(1, CairnDbClient::kReleaseAfterRequests - 1)).ok);
    EXPECT_EQ(c.MemoryReleases(), 0u);
    ASSERT_TRUE(WriteSync(c, puts(100000, CairnDbClient::kReleaseAfterRequests)).ok);
    EXPECT_EQ(c.MemoryReleases(), 1u);
    // A small write after it keeps the allocator as it is.
    ASSERT_TRUE(WriteSync(c, puts(1, 1)).ok);
    EXPECT_EQ(c.MemoryReleases(), 1u);
}

TEST_F(CairnDbClientIT, SelectTemplateSuppressesModifiesOfUnselectedFields) {
    Recorder rec;
    CairnDbClient& c = NewClient();
    ASSERT_TRUE(c.RegisterMonitorCallbacks(kMonitor, 1, rec.UpdateCb(), rec.BarrierCb()));
    pb::FibOpMsg tmpl;
    tmpl.mutable_id()->set_op(pb::SELECT);
    tmpl.mutable_prefix()->set_op(pb::SELECT);
    tmpl.mutable_next_hops()->set_op(pb::SELECT);
    pb::MonitorStatementMsg st = Statement(pb::FIB);
    tmpl.SerializeToString(st.mutable_statement()->mutable_select()->mutable_op_template());
    ASSERT_TRUE(c.ConfigureMonitor({st}, {}, kMonitor, 1));
    c.StartAsync();
    ASSERT_TRUE(rec.WaitBarriers(1));

    pb::FibMsg fib;
    *fib.mutable_id() = Uuid(1);
    *fib.mutable_router_id() = Uuid(100);
    fib.mutable_prefix()->set_prefix_length(24);
    ASSERT_TRUE(WriteSync(c, {Put(fib, pb::FIB)}).ok);  // inserts always pass
    ASSERT_TRUE(rec.WaitBarriers(2));
    *fib.mutable_router_id() = Uuid(101);
    ASSERT_TRUE(WriteSync(c, {Put(fib, pb::FIB)}).ok);  // router id only: suppressed
    fib.mutable_prefix()->set_prefix_length(16);
    ASSERT_TRUE(WriteSync(c, {Put(fib, pb::FIB)}).ok);  // prefix: delivered
    ASSERT_TRUE(rec.WaitBarriers(3));
    Sync(c);
    EXPECT_EQ(rec.Barriers(), 3u);
    auto u = rec.UpdatesOfTransaction(2);
    ASSERT_EQ(u.size(), 1u);
    pb::FibOpMsg op;
    ASSERT_TRUE(op.ParseFromString(u[0].op_msg()));
    EXPECT_EQ(op.prefix().op(), pb::SET);
    EXPECT_EQ(op.router_id().op(), pb::INVALID);  // changed with the earlier, suppressed write
}

TEST_F(CairnDbClientIT, StatementsAddedToARunningMonitorDeliverTheirObjects) {
    Recorder rec;
    CairnDbClient& c = Monitor(rec, {kLs});
    ASSERT_TRUE(WriteSync(c, {Put(Switch(1, 1), kLs), Put(SwitchFib(1, {5}), kFib)}).ok);
    ASSERT_TRUE(rec.WaitBarriers(2));
    ASSERT_EQ(rec.UpdatesOfTransaction(1).size(), 1u);  // the FIB is not monitored yet

    ASSERT_TRUE(c.ConfigureMonitor({Statement(kFib)}, {}, kMonitor, 1));
    ASSERT_TRUE(rec.WaitBarriers(3));
    auto u = rec.UpdatesOfTransaction(2);
    ASSERT_EQ(u.size(), 1u);  // only the newly monitored object, not the switch again
    EXPECT_EQ(u[0].object_type(), pb::LOG_SWITCH_FIB);

    // Removing every statement cancels the monitor.
    ASSERT_TRUE(c.ConfigureMonitor({}, {Statement(kLs), Statement(kFib)}, kMonitor, 1));
    ASSERT_TRUE(WriteSync(c, {Put(Switch(2, 2), kLs)}).ok);
    Sync(c);
    EXPECT_EQ(rec.Barriers(), 3u);
}

TEST_F(CairnDbClientIT, MonitorConfigurationIsValidatedAndAStartedClientEchoes) {
    LogCapture logs(kLogInfo);
    CairnDbClient& c = NewClient();
    Recorder rec;
    EXPECT_FALSE(c.ConfigureMonitor({Statement(kLs)}, {}, kMonitor, 1));  // no callbacks yet
    EXPECT_FALSE(
        c.RegisterMonitorCallbacks(kMonitor, 3, rec.UpdateCb(), rec.BarrierCb()));  // no session
    EXPECT_FALSE(c.AddMonitorSession(0));
    ASSERT_TRUE(c.RegisterMonitorCallbacks(kMonitor, 1, rec.UpdateCb(), rec.BarrierCb()));
    EXPECT_FALSE(c.ConfigureMonitor({Statement(7)}, {}, kMonitor, 1));
    pb::MonitorStatementMsg bad = Statement(pb::FIB);
    bad.mutable_statement()->mutable_select()->set_op_template("\x0a\xff");
    EXPECT_FALSE(c.ConfigureMonitor({bad}, {}, kMonitor, 1));
    EXPECT_TRUE(logs.ContainsWithCode("unknown object type 7", "LCP03011"));
    EXPECT_TRUE(c.ConfigureMonitor({Statement(kLs)}, {}, kMonitor, 1));
    // Started, it comes up and echoes.
    c.SetChannelStatusCallback(rec.StatusCb());
    c.StartAsync();
    ASSERT_TRUE(rec.WaitStatus(true));
    Sync(c);
    EXPECT_GT(c.LastExchangeSeconds(), 0);
}

TEST(CairnDbClientUnreachableTest, ReportsNothingUpAndKeepsTheReason) {
    LogCapture logs(kLogInfo);
    IoThreads io;
    Recorder rec;
    CairnDbClientOptions opt;
    opt.reconnectMin = std::chrono::milliseconds(10);
    opt.reconnectMax = std::chrono::milliseconds(20);
    int port = FreeTcpPort();
    CairnDbClient c("cfg-agent", ozy::net::Endpoint("tcp://127.0.0.1:" + std::to_string(port)),
                    io.io(), opt);
    c.SetChannelStatusCallback(rec.StatusCb());
    c.StartAsync();
    ASSERT_TRUE(AwaitTrue([&] { return !c.LastError().empty(); }));
    EXPECT_NE(c.LastError().find("refused"), std::string::npos) << c.LastError();
    ASSERT_TRUE(logs.WaitFor("cannot connect to tcp://127.0.0.1:"));
    EXPECT_EQ(logs.Count("cannot connect to"), 1u);  // logged once per outage, not per attempt
    c.Stop();
    EXPECT_TRUE(rec.Events().empty());
}

}  // namespace
}  // namespace CfgAgent::test
