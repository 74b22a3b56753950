// L3App's full syncs with the dataplane: on link up once the desired state is there, on the
// dataplane's requests, after a database reconnect; their order, the Full Sync End and the
// barrier report.
#include <algorithm>

#include "tests/apps/routing/L3AppFixture.h"

namespace CfgAgent::test {
namespace {

class L3AppSyncTest : public L3AppFixture {
  protected:
    // Topology plus a route through port 1, a prefix list on port 2, an ARP table, the global
    // settings and barrier 77, delivered as the first full sync.
    void PutAll() {
        PutTopology();
        feed_->Put(ObjectType::PREFIX_LIST, PrefixList(1, 7));
        pb::LogRouterPortConfigMsg p2 = Port(2, 1, 2, {Prefix(V4(10, 0, 2, 1), 24)});
        pb::PrefixListNextHopMsg* pl = p2.add_prefix_list_next_hops();
        *pl->mutable_prefix_list_id() = U(kPlKind, 1);
        *pl->mutable_next_hop() = V4(10, 0, 2, 9);
        feed_->Put(ObjectType::LOG_ROUTER_PORT_CONFIG, p2);
        feed_->Put(ObjectType::FIB,
                   Fib(1, 1, Prefix(V4(192, 168, 0, 0), 16), {Hop(V4(10, 0, 1, 254), 1)}));
        feed_->Put(ObjectType::ARP_TABLE_CONFIG, ArpTable(1, 1, 2));
        feed_->Put(ObjectType::GLOBAL_CONFIG, Global(9000));
        feed_->Put(ObjectType::BARRIER, Barrier(77));
    }
};

TEST_F(L3AppSyncTest, LinkUpSendsTheStoreInOrderThenFullSyncEndThenTheBarrier) {
    Start();
    LinkUp();
    EXPECT_TRUE(Sent().empty()) << "nothing is sent before the desired state is there";
    EXPECT_TRUE(log_.Contains("L3App: full sync (link up) waits for the desired state"));
    PutAll();
    feed_->FullSync();

    DataplaneView& dp = Dp();
    EXPECT_TRUE(dp.errors.empty()) << ::testing::PrintToString(dp.errors);
    EXPECT_EQ(dp.fullSyncEnds, 1u);
    const auto* vdr = DpVdr(1001);
    ASSERT_NE(vdr, nullptr);
    EXPECT_EQ(vdr->settings.name, "lr-1");
    ASSERT_EQ(vdr->lifs.size(), 2u);
    EXPECT_EQ(vdr->lifs.at("lif-1").vni, 5001u);
    EXPECT_EQ(vdr->lifs.at("lif-2").prefixLists.at(0).index, 7u);
    EXPECT_EQ(DpRoute(1001, "192.168.0.0/16")["next_hops"][0]["egress"], "lif-1");
    EXPECT_EQ(vdr->arp.at(Text(kArpKind, 1)).size(), 2u);
    ASSERT_TRUE(dp.tables.global.has_value());
    EXPECT_EQ(dp.tables.global->lrpMtu, 9000u);
    // The global settings are the last Update, Full Sync End the last message.
    ASSERT_GE(dp.messages.size(), 2u);
    EXPECT_TRUE(vdr::IsFullSyncEnd(dp.messages.back().data(), dp.messages.back().size()));
    const DpMsg& global = dp.messages[dp.messages.size() - 2];
    EXPECT_EQ(global[vdr::kUpdateHeaderSize + 2], vdr::kElemGlobal);
    EXPECT_EQ(barriers_, std::vector<uint64_t>{77});
    int fse = log_.IndexOf("L3App: Send Full Sync End to dataplane");
    int barrier = log_.IndexOf("L3App: send barrier version 77");
    ASSERT_GE(fse, 0);
    EXPECT_GT(barrier, fse);
    EXPECT_GT(fse, log_.IndexOf("L3App: full sync dad for vdr 1001"));
    EXPECT_GT(log_.IndexOf("L3App: full sync fib for LR"), log_.IndexOf("L3App: full sync LRP"));
    EXPECT_GT(log_.IndexOf("L3App: full sync LRP"), log_.IndexOf("L3App: full sync prefix list"));
}

TEST_F(L3AppSyncTest, ABarrierIsNotClaimedWhenASendOfTheSyncFailed) {
    PutAll();
    feed_->FullSync();
    Start();
    Link()->failSends = true;
    LinkUp();
    EXPECT_TRUE(barriers_.empty());
    EXPECT_TRUE(log_.Contains("a send of the full sync failed, the barrier is not reported"));
    // The next sync on a working link claims it.
    Link()->failSends = false;
    LinkDown();
    LinkUp();
    EXPECT_EQ(barriers_, std::vector<uint64_t>{77});
    ExpectNoDataplaneErrors();
}

TEST_F(L3AppSyncTest, EachLinkUpRebuildsFromTheStoreAndForgetsWhatWasDeletedMeanwhile) {
    PutAll();
    feed_->FullSync();
    Start();
    LinkUp();
    ASSERT_EQ(Dp().fullSyncEnds, 1u);
    LinkDown();
    // While the link is down the router port 2, its prefix list and the route go.
    feed_->Remove(ObjectType::FIB, U(kFibKind, 1));
    feed_->Remove(ObjectType::LOG_ROUTER_PORT_CONFIG, U(kLrpKind, 2));
    feed_->Remove(ObjectType::PREFIX_LIST, U(kPlKind, 1));
    feed_->Commit();
    EXPECT_TRUE(Sent().empty());
    LinkUp();
    DataplaneView& dp = Dp();
    EXPECT_TRUE(dp.errors.empty()) << ::testing::PrintToString(dp.errors);
    EXPECT_EQ(dp.fullSyncEnds, 2u);
    EXPECT_EQ(DpVdr(1001)->lifs.count("lif-2"), 0u);
    EXPECT_TRUE(DpVdr(1001)->routes.empty());
    EXPECT_TRUE(dp.tables.prefixLists.empty());
    EXPECT_EQ(app_->fullSyncCount(), 2u);
}

TEST_F(L3AppSyncTest, ADatabaseResyncRemovesWhatTheStoreLostAndReportsTheBarrier) {
    PutAll();
    feed_->FullSync();
    Start();
    LinkUp();
    Dp();
    barriers_.clear();
    // The database comes back without the route and with barrier 78.
    feed_->Remove(ObjectType::FIB, U(kFibKind, 1));
    feed_->Put(ObjectType::BARRIER, Barrier(78));
    feed_->Drop();  // the agent was not connected: only the full sync below is seen
    feed_->FullSync();
    DataplaneView& dp = Dp();
    EXPECT_TRUE(dp.errors.empty()) << ::testing::PrintToString(dp.errors);
    EXPECT_TRUE(DpVdr(1001)->routes.empty());
    EXPECT_EQ(dp.fullSyncEnds, 1u) << "a resync is not a dataplane full sync";
    EXPECT_FALSE(barriers_.empty());
    EXPECT_EQ(barriers_.back(), 78u);
}

TEST_F(L3AppSyncTest, RequestsForAllOrOneRouterAreServedAndAnUnknownRouterGetsNothing) {
    PutAll();
    feed_->Put(ObjectType::LOG_ROUTER_CONFIG, Router(2, 1002));
    feed_->FullSync();
    Start();
    LinkUp();
    ASSERT_EQ(DpVdr(1002)->lifs.size(), 0u);

    // One router: the dataplane cleared it and asks for it again.
    Dp().tables.vdrs.erase(1001);
    Deliver(vdr::BuildFullSyncRequest(vdr::kScopeVdr, 1001));
    EXPECT_TRUE(log_.Contains("L3App: receive kernel full sync request for vdr 1001"));
    DataplaneView& dp = Dp();
    EXPECT_TRUE(dp.errors.empty()) << ::testing::PrintToString(dp.errors);
    EXPECT_EQ(DpVdr(1001)->lifs.size(), 2u);
    EXPECT_EQ(DpVdr(1001)->routes.size(), 1u);
    EXPECT_EQ(dp.fullSyncEnds, 1u);

    Deliver(vdr::BuildFullSyncRequest(vdr::kScopeVdr, 4242));
    EXPECT_TRUE(log_.ContainsWithCode(
        "L3App: handle kernel full sync request, LR UUID not found for vdr ID 4242", "LCP00029"));
    EXPECT_TRUE(Sent().empty());

    Dp().tables.Reset();
    Deliver(vdr::BuildFullSyncRequest(vdr::kScopeAll, 0));
    EXPECT_TRUE(
        log_.Contains("L3App: handle kernel full sync request both Config and L3 State-cache"));
    EXPECT_EQ(Dp().fullSyncEnds, 2u);
    ExpectNoDataplaneErrors();
    EXPECT_EQ(DpVdr(1001)->lifs.size(), 2u);
}

TEST_F(L3AppSyncTest, ARouterWithoutVdrIdIsSkippedWithItsCode) {
    PutAll();
    pb::LogRouterConfigMsg lr = Router(3, 0);
    lr.clear_vdr_id();
    feed_->Put(ObjectType::LOG_ROUTER_CONFIG, lr);
    feed_->FullSync();
    Start();
    LinkUp();
    EXPECT_TRUE(log_.ContainsWithCode(
        "L3App: full sync vdr ID is not found for LR " + Text(kLrKind, 3), "LCP00920"));
    EXPECT_EQ(Dp().tables.vdrs.size(), 1u);
    EXPECT_EQ(barriers_, std::vector<uint64_t>{77});
}

TEST_F(L3AppSyncTest, UpdatesAreSentAsTheyComeAndTheirBarrierReported) {
    PutTopology();
    feed_->FullSync();
    Start();
    LinkUp();
    Dp();
    feed_->Put(ObjectType::FIB, Fib(5, 1, Prefix(V6(0x2001, 0), 64), {Hop(V6(0xfe80, 1), 2)}));
    feed_->Put(ObjectType::BARRIER, Barrier(80));
    feed_->Commit();
    ExpectNoDataplaneErrors();
    EXPECT_EQ(DpRoute(1001, "2001::/64")["next_hops"][0]["ip"], "fe80::1");
    EXPECT_EQ(barriers_, std::vector<uint64_t>{80});
    EXPECT_EQ(app_->sentRouteCount(), 1u);
}

}  // namespace
}  // namespace CfgAgent::test
