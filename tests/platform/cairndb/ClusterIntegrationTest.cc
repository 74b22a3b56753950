// The client library against a three-member cairndb cluster: it follows the members' health, moves
// on when the member it uses dies or freezes, and applies a write interrupted by its member's death
// exactly once.
#include <gtest/gtest.h>

#include <future>
#include <map>

#include <nlohmann/json.hpp>

#include "platform/cairndb/Base64.h"
#include "platform/cairndb/CairnDbClient.h"
#include "tests/platform/cairndb/ClientTestSupport.h"
#include "tests/support/Await.h"
#include "tests/support/CairndbCluster.h"
#include "tests/support/CuttingProxy.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

using nlohmann::json;
using ozy::cairndb::CairnDbClient;
using ozy::cairndb::CairnDbClientOptions;
using ozy::cairndb::Status;

constexpr int kLs = pb::LOG_SWITCH_CONFIG;
constexpr int kFib = pb::LOG_SWITCH_FIB;

Status WriteSync(CairnDbClient& c, std::vector<pb::ModifyRequestMsg> reqs) {
    auto p = std::make_shared<std::promise<Status>>();
    auto f = p->get_future();
    c.Write(std::move(reqs), [p](const Status& s) { p->set_value(s); });
    if (f.wait_for(std::chrono::seconds(60)) != std::future_status::ready)
        return Status::Error("write timed out");
    return f.get();
}

// The switches' VNIs as the monitor has delivered them up to its last barrier (the updates after it
// are a transaction still being delivered): a status up starts the contents afresh.
std::set<uint32_t> Realized(const Recorder& rec) {
    std::map<std::string, uint32_t> delivered;
    std::map<std::string, uint32_t> vnis;
    for (const auto& e : rec.Events()) {
        if (e.kind == MonitorEvent::kStatus && e.up) {
            vnis.clear();
        } else if (e.kind == MonitorEvent::kBarrier) {
            delivered = vnis;
        } else if (e.kind == MonitorEvent::kUpdate) {
            pb::LogSwitchConfigMsg b;
            b.ParseFromString(e.update.object_body());
            pb::LogSwitchConfigOpMsg op;
            op.ParseFromString(e.update.op_msg());
            if (op.op().op() == pb::CLEAR)
                vnis.erase(OidOf(b));
            else
                vnis[OidOf(b)] = b.vni();
        }
    }
    std::set<uint32_t> out;
    for (const auto& [oid, vni] : delivered)
        out.insert(vni);
    return out;
}

TEST(CairndbClusterIT, FailoverKeepsTheMonitorCurrentAndAppliesAnInterruptedWriteOnce) {
    LogCapture logs(kLogInfo);
    CairndbCluster cluster;
    ASSERT_TRUE(cluster.Start());
    // Member 0 is reached through a relay that can cut the session right after a write commits.
    CuttingProxy proxy(cluster.member(0).port());
    std::string endpoints =
        proxy.Endpoint() + "," + cluster.member(1).Endpoint() + "," + cluster.member(2).Endpoint();
    auto memberInUse = [&](const CairnDbClient& c) {
        std::string m = c.Member().member;
        return m == proxy.Endpoint() ? 0 : cluster.MemberOf(m);
    };

    IoThreads io;
    CairnDbClientOptions opt;
    opt.reconnectMin = std::chrono::milliseconds(20);
    opt.reconnectMax = std::chrono::milliseconds(200);
    opt.probeInterval = std::chrono::milliseconds(300);
    CairnDbClient client("cfg-agent", ozy::net::Endpoint(endpoints), io.io(), opt);
    Recorder rec;
    client.SetChannelStatusCallback(rec.StatusCb());
    ASSERT_TRUE(client.RegisterMonitorCallbacks(101, 1, rec.UpdateCb(), rec.BarrierCb()));
    ASSERT_TRUE(client.ConfigureMonitor({Statement(kLs)}, {}, 101, 1));
    client.StartAsync();
    ASSERT_TRUE(rec.WaitBarriers(1));
    ASSERT_EQ(memberInUse(client), 0);
    EXPECT_TRUE(client.Member().role == "leader" || client.Member().role == "follower");
    EXPECT_NE(client.Member().cluster.find("model clustered"), std::string::npos);

    // An outside writer's change through another member.
    int vni = 5000;
    auto changeElsewhere = [&](int avoid) {
        int through = (avoid + 1) % CairndbCluster::kMembers;
        if (!cluster.member(through).Running() || cluster.member(through).Frozen())
            through = (avoid + 2) % CairndbCluster::kMembers;
        ++vni;
        RunResult r = cluster.Transact(
            through,
            "[" + InsertOp("LOG_SWITCH_CONFIG", Switch(static_cast<uint64_t>(vni), vni)) + "]");
        EXPECT_EQ(r.status, 0) << r.output;
        return static_cast<uint32_t>(vni);
    };

    {
        SCOPED_TRACE("a write in flight when its member dies lands exactly once");
        ASSERT_TRUE(WriteSync(client, {Put(SwitchFib(1, {1, 2}), kFib)}).ok);
        proxy.Arm(R"("op":"update")", [&] { cluster.member(0).Kill(); });
        pb::LogSwitchFibOpMsg append;
        append.mutable_mac_entries()->set_op(pb::APPEND);
        Status st = WriteSync(client, {Patch(kFib, Uuid(1), append, SwitchFib(1, {9}))});
        EXPECT_TRUE(st.ok) << st.error;
        EXPECT_TRUE(proxy.Cut());
        EXPECT_TRUE(logs.Contains("had landed; not applied again"));
        RunResult r = cluster.Transact(
            1, R"([{"op":"select","table":"LOG_SWITCH_FIB","where":[],"columns":["body"]}])");
        json rows = json::parse(r.output, nullptr, false);
        ASSERT_TRUE(rows.is_array() && rows[0]["rows"].size() == 1) << r.output;
        std::string body;
        ASSERT_TRUE(
            ozy::cairndb::Base64Decode(rows[0]["rows"][0]["body"].get<std::string>(), &body));
        pb::LogSwitchFibMsg fib;
        ASSERT_TRUE(fib.ParseFromString(body));
        EXPECT_EQ(fib.mac_entries_size(), 3) << fib.DebugString();
        EXPECT_NE(memberInUse(client), 0);
        ASSERT_TRUE(cluster.Start());  // member 0 back
    }
    {
        SCOPED_TRACE("the member in use killed: the next one delivers the current contents");
        int used = memberInUse(client);
        ASSERT_GE(used, 0);
        cluster.member(used).Kill();
        uint32_t v = changeElsewhere(used);
        ASSERT_TRUE(AwaitTrue([&] { return Realized(rec).count(v) == 1; }));
        EXPECT_NE(memberInUse(client), used);
        EXPECT_TRUE(logs.Contains("lost the session with"));
        ASSERT_TRUE(cluster.Start());
    }
    {
        SCOPED_TRACE("the member in use frozen: left without waiting for it to thaw");
        int used = memberInUse(client);
        ASSERT_GE(used, 0);
        cluster.member(used).Freeze();
        uint32_t v = changeElsewhere(used);
        ASSERT_TRUE(AwaitTrue([&] { return Realized(rec).count(v) == 1; }));
        EXPECT_NE(memberInUse(client), used);
        EXPECT_TRUE(logs.Contains("no message from the server for"));
        cluster.member(used).Thaw();
    }
    EXPECT_EQ(rec.UpdatesAfterLastBarrier(), 0u);
    EXPECT_EQ(rec.maxConcurrent(), 1);
    client.Stop();
    if (::testing::Test::HasFailure())
        std::fprintf(stderr, "%s\n", logs.Dump().c_str());
}

}  // namespace
}  // namespace CfgAgent::test
