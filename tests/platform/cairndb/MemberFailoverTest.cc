// Which member the client tries when it loses the one it uses: the others at once, and the back-off
// only once every member has failed. The back-off is set far beyond the test's waits, so a wait
// before trying another member would fail it.
#include <gtest/gtest.h>

#include <array>
#include <chrono>

#include "platform/cairndb/CairnDbClient.h"
#include "tests/platform/cairndb/ClientTestSupport.h"
#include "tests/platform/cairndb/FakeOvsdbPeer.h"
#include "tests/support/Await.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

using ozy::cairndb::CairnDbClient;
using ozy::cairndb::CairnDbClientOptions;

const char* const kCutOff =
    R"({"name":"cairndb","model":"clustered","connected":false,"leader":false,"index":7})";

TEST(MemberFailoverTest, TheOtherMembersAreTriedAtOnceAndTheBackoffFollowsAFailedRound) {
    LogCapture logs(kLogDebug);
    std::array<FakeOvsdbPeer, 3> members;
    IoThreads io;
    CairnDbClientOptions opt;
    opt.reconnectMin = std::chrono::minutes(10);
    opt.reconnectMax = std::chrono::minutes(10);
    opt.steadySession = std::chrono::milliseconds(0);
    CairnDbClient client("cfg-agent",
                         ozy::net::Endpoint(members[0].Endpoint() + "," + members[1].Endpoint() +
                                            "," + members[2].Endpoint()),
                         io.io(), opt);
    Recorder rec;
    client.SetChannelStatusCallback(rec.StatusCb());
    ASSERT_TRUE(client.RegisterMonitorCallbacks(101, 1, rec.UpdateCb(), rec.BarrierCb()));
    ASSERT_TRUE(client.ConfigureMonitor({Statement(pb::LOG_SWITCH_CONFIG)}, {}, 101, 1));
    client.StartAsync();
    ASSERT_TRUE(rec.WaitBarriers(1));
    ASSERT_EQ(client.Member().member, members[0].Endpoint());
    auto uses = [&](int i) {
        return AwaitTrue([&] { return client.Member().member == members[i].Endpoint(); });
    };

    {
        SCOPED_TRACE("the member in use is lost: the next one is used without waiting");
        members[0].CloseConnection();
        ASSERT_TRUE(uses(1));
        EXPECT_TRUE(rec.WaitBarriers(2));
    }
    {
        SCOPED_TRACE("the next member refuses: the one after it is tried without waiting too");
        members[2].SetServerRow(kCutOff);
        members[1].CloseConnection();
        ASSERT_TRUE(uses(0));
        EXPECT_TRUE(rec.WaitBarriers(3));
        EXPECT_TRUE(logs.Contains("leaves " + members[2].Endpoint()));
        EXPECT_FALSE(logs.Contains("tried every member"));
    }
    {
        SCOPED_TRACE("every member refuses: each is tried once, then the client waits");
        members[0].SetServerRow(kCutOff);
        members[1].SetServerRow(kCutOff);
        std::array<int, 3> before{members[0].Connections(), members[1].Connections(),
                                  members[2].Connections()};
        members[0].CloseConnection();
        ASSERT_TRUE(logs.WaitFor("cfg-agent tried every member; next try in 600000 ms"));
        // The member lost counts as tried; the other two were tried once each.
        EXPECT_EQ(members[0].Connections(), before[0]);
        EXPECT_EQ(members[1].Connections(), before[1] + 1);
        EXPECT_EQ(members[2].Connections(), before[2] + 1);
        EXPECT_EQ(client.Member().role, "none");
    }
    client.Stop();
    if (::testing::Test::HasFailure())
        std::fprintf(stderr, "%s\n", logs.Dump().c_str());
}

}  // namespace
}  // namespace CfgAgent::test
