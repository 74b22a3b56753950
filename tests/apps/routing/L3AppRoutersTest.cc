// L3App's routers and router ports: LIFs that wait for their switch, admin flips, address and
// link-type changes, prefix-list references, router deletes and bridge endpoints.
#include "tests/apps/routing/L3AppFixture.h"

namespace CfgAgent::test {
namespace {

class L3AppRoutersTest : public L3AppFixture {
  protected:
    const vdr::LifSpec* Lif(const std::string& name) {
        const auto* v = DpVdr(1001);
        if (v == nullptr)
            return nullptr;
        auto it = v->lifs.find(name);
        return it == v->lifs.end() ? nullptr : &it->second;
    }
};

// A port whose switch lacks one thing waits; the thing arriving releases it.
struct MissingItem {
    const char* name;
    std::function<void(DesiredFeed&)> without;  // the store without the item
    std::function<void(DesiredFeed&)> with;     // the item arriving
    const char* line;
};

class L3AppPendingTest : public L3AppRoutersTest,
                         public ::testing::WithParamInterface<MissingItem> {};

TEST_P(L3AppPendingTest, APortWaitsForItsSwitchThenIsReplayed) {
    feed_->Put(ObjectType::LOG_ROUTER_CONFIG, Router(1, 1001));
    GetParam().without(*feed_);
    StartSynced();
    feed_->Change(ObjectType::LOG_ROUTER_PORT_CONFIG, Port(1, 1, 1, {Prefix(V4(10, 0, 1, 1), 24)}));
    EXPECT_EQ(Lif("lif-1"), nullptr);
    EXPECT_EQ(app_->pendingLrpCount(), 1u);
    EXPECT_TRUE(log_.Contains(GetParam().line)) << GetParam().line;

    GetParam().with(*feed_);
    feed_->Commit();
    ASSERT_NE(Lif("lif-1"), nullptr);
    EXPECT_EQ(app_->pendingLrpCount(), 0u);
    EXPECT_TRUE(log_.Contains("L3App: replay LRP " + Text(kLrpKind, 1)));
    ExpectNoDataplaneErrors();
}

const MissingItem kMissing[] = {
    {"Switch", [](DesiredFeed& f) { f.Put(ObjectType::TRANSPORT_NODE_CONFIG, TransportNode()); },
     [](DesiredFeed& f) { f.Put(ObjectType::LOG_SWITCH_CONFIG, Switch(1, 5001)); },
     "L3App: LS not found for add LRP"},
    {"Vni",
     [](DesiredFeed& f) {
         f.Put(ObjectType::TRANSPORT_NODE_CONFIG, TransportNode());
         f.Put(ObjectType::LOG_SWITCH_CONFIG, Switch(1, 0));
     },
     [](DesiredFeed& f) { f.Put(ObjectType::LOG_SWITCH_CONFIG, Switch(1, 5001)); },
     "vni not found for add LRP"},
    {"Dvs", [](DesiredFeed& f) { f.Put(ObjectType::LOG_SWITCH_CONFIG, Switch(1, 5001)); },
     [](DesiredFeed& f) { f.Put(ObjectType::TRANSPORT_NODE_CONFIG, TransportNode()); },
     "DVS not found for add LRP"},
};

INSTANTIATE_TEST_SUITE_P(Routing, L3AppPendingTest, ::testing::ValuesIn(kMissing),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(L3AppRoutersTest, AVlanPortWaitsForItsVlanAndAPortDeletedWhileWaitingNeverAppears) {
    feed_->Put(ObjectType::TRANSPORT_NODE_CONFIG, TransportNode());
    feed_->Put(ObjectType::LOG_SWITCH_CONFIG, Switch(1, 0));
    feed_->Put(ObjectType::LOG_ROUTER_CONFIG, Router(1, 1001));
    StartSynced();
    pb::LogRouterPortConfigMsg vlanPort = Port(1, 1, 1);
    vlanPort.set_link_type(2);
    feed_->Put(ObjectType::LOG_ROUTER_PORT_CONFIG, vlanPort);
    feed_->Put(ObjectType::LOG_ROUTER_PORT_CONFIG, Port(2, 1, 1));
    feed_->Commit();
    EXPECT_TRUE(log_.Contains("vlan not found for add LRP " + Text(kLrpKind, 1)));
    EXPECT_EQ(app_->pendingLrpCount(), 2u);
    feed_->Remove(ObjectType::LOG_ROUTER_PORT_CONFIG, U(kLrpKind, 2));
    feed_->Commit();
    EXPECT_EQ(app_->pendingLrpCount(), 1u);
    pb::LogSwitchConfigMsg ls = Switch(1, 0);
    ls.set_vlan(30);
    feed_->Change(ObjectType::LOG_SWITCH_CONFIG, ls);
    ASSERT_NE(Lif("lif-1"), nullptr);
    EXPECT_EQ(Lif("lif-1")->vlan, 30);
    EXPECT_EQ(Lif("lif-2"), nullptr) << "deleted while waiting";
    EXPECT_EQ(app_->pendingLrpCount(), 0u);
    ExpectNoDataplaneErrors();
}

TEST_F(L3AppRoutersTest, AdminDownDeletesTheLifAndUpAddsItWithTheCurrentAddresses) {
    PutTopology();
    feed_->Put(ObjectType::FIB,
               Fib(1, 1, Prefix(V4(172, 16, 0, 0), 12), {Hop(V4(10, 0, 1, 9), 1)}));
    StartSynced();
    pb::LogRouterPortConfigMsg p = Port(1, 1, 1, {Prefix(V4(10, 0, 1, 1), 24)});
    p.set_admin_state_up(false);
    feed_->Change(ObjectType::LOG_ROUTER_PORT_CONFIG, p);
    EXPECT_EQ(Lif("lif-1"), nullptr);
    EXPECT_TRUE(
        log_.Contains("L3App: Del LRP " + Text(kLrpKind, 1) + ", new admin status down, flip"));
    feed_->Put(ObjectType::LOG_ROUTER_PORT_CONFIG, p);  // unchanged while down
    p.set_mtu(9000);
    feed_->Put(ObjectType::LOG_ROUTER_PORT_CONFIG, p);
    feed_->Commit();
    EXPECT_TRUE(log_.Contains("new admin status down, not flip"));

    p = Port(1, 1, 1, {Prefix(V4(10, 0, 7, 1), 24), Prefix(V6(0xfd00, 1), 64)});
    feed_->Change(ObjectType::LOG_ROUTER_PORT_CONFIG, p);
    ASSERT_NE(Lif("lif-1"), nullptr);
    ASSERT_EQ(Lif("lif-1")->ips.size(), 2u);
    EXPECT_EQ(vdr::IpText(Lif("lif-1")->ips[0].ip), "10.0.7.1");
    EXPECT_TRUE(log_.Contains("new admin status up, filp"));
    EXPECT_TRUE(log_.Contains("ipv4 change"));
    EXPECT_TRUE(log_.Contains("ipv6 change"));
    // The routes through the port are sent again.
    EXPECT_TRUE(log_.Contains("LRP change send fib, ip type ipv4 and ipv6"));
    EXPECT_EQ(DpRoute(1001, "172.16.0.0/12")["next_hops"][0]["egress"], "lif-1");
    ExpectNoDataplaneErrors();
}

TEST_F(L3AppRoutersTest, TwoIpv4AddressesKeepTheFirstAndThreeIpv6RefuseThePort) {
    PutTopology();
    StartSynced();
    feed_->Change(ObjectType::LOG_ROUTER_PORT_CONFIG,
                  Port(1, 1, 1, {Prefix(V4(10, 0, 1, 1), 24), Prefix(V4(10, 0, 9, 1), 24)}));
    ASSERT_NE(Lif("lif-1"), nullptr);
    ASSERT_EQ(Lif("lif-1")->ips.size(), 1u);
    EXPECT_EQ(vdr::IpText(Lif("lif-1")->ips[0].ip), "10.0.1.1");
    EXPECT_TRUE(log_.Contains("Multiple IPv4 in IpSubnetAddressMsg. msg:"));

    feed_->Change(
        ObjectType::LOG_ROUTER_PORT_CONFIG,
        Port(1, 1, 1,
             {Prefix(V6(0xfd00, 1), 64), Prefix(V6(0xfd01, 1), 64), Prefix(V6(0xfd02, 1), 64)}));
    EXPECT_TRUE(log_.ContainsWithCode(
        "Not more than two  IPv6 in IpSubnetAddressMsg is supported. msg:", "LCP00028"));
    EXPECT_EQ(Lif("lif-1"), nullptr) << "a port the dataplane cannot take is removed";
    ExpectNoDataplaneErrors();
}

TEST_F(L3AppRoutersTest, PrefixListReferencesAreASetPerLifAndTheLastOneDeletesTheList) {
    PutTopology();
    feed_->Put(ObjectType::PREFIX_LIST, PrefixList(1, 7));
    StartSynced();
    auto withList = [](uint64_t n, uint64_t ls) {
        pb::LogRouterPortConfigMsg p = Port(n, 1, ls, {Prefix(V4(10, 0, ls, 1), 24)});
        pb::PrefixListNextHopMsg* pl = p.add_prefix_list_next_hops();
        *pl->mutable_prefix_list_id() = U(kPlKind, 1);
        *pl->mutable_next_hop() = V4(10, 0, ls, 2);
        return p;
    };
    // Shared by two LIFs.
    feed_->Put(ObjectType::LOG_ROUTER_PORT_CONFIG, withList(1, 1));
    feed_->Put(ObjectType::LOG_ROUTER_PORT_CONFIG, withList(2, 2));
    feed_->Commit();
    EXPECT_TRUE(log_.Contains("prefix list " + Text(kPlKind, 1) + " ref 2 when reference lif"));
    // An unchanged re-send counts nothing more.
    pb::LogRouterPortConfigMsg p1 = withList(1, 1);
    p1.set_mtu(1400);
    feed_->Change(ObjectType::LOG_ROUTER_PORT_CONFIG, p1);
    EXPECT_FALSE(log_.Contains("ref 3"));
    // The list is deleted while both refer to it: it stays.
    feed_->Remove(ObjectType::PREFIX_LIST, U(kPlKind, 1));
    feed_->Commit();
    EXPECT_TRUE(log_.Contains("Delete prefixList " + Text(kPlKind, 1) + " (index 7) ref count 2"));
    EXPECT_EQ(Dp().tables.prefixLists.count(7), 1u);
    // One LIF lets go, twice: the other keeps it.
    feed_->Change(ObjectType::LOG_ROUTER_PORT_CONFIG, Port(1, 1, 1, {Prefix(V4(10, 0, 1, 1), 24)}));
    feed_->Change(ObjectType::LOG_ROUTER_PORT_CONFIG, Port(1, 1, 1, {Prefix(V4(10, 0, 1, 2), 24)}));
    EXPECT_TRUE(log_.Contains("remove LRP prefix list ref map entry for lif " + Text(kLrpKind, 1)));
    EXPECT_EQ(Dp().tables.prefixLists.count(7), 1u);
    // The last one goes with its LIF.
    feed_->Remove(ObjectType::LOG_ROUTER_PORT_CONFIG, U(kLrpKind, 2));
    feed_->Commit();
    EXPECT_EQ(Dp().tables.prefixLists.count(7), 0u);
    ExpectNoDataplaneErrors();
}

TEST_F(L3AppRoutersTest, AMissingPrefixListIsSkippedWithItsCode) {
    PutTopology();
    StartSynced();
    pb::LogRouterPortConfigMsg p = Port(1, 1, 1, {Prefix(V4(10, 0, 1, 1), 24)});
    *p.add_prefix_list_next_hops()->mutable_prefix_list_id() = U(kPlKind, 9);
    feed_->Put(ObjectType::LOG_ROUTER_PORT_CONFIG, p);
    feed_->Commit();
    EXPECT_TRUE(log_.ContainsWithCode(
        "L3App: prefix list " + Text(kPlKind, 9) + " not found when get index", "LCP00029"));
    ASSERT_NE(Lif("lif-1"), nullptr);
    EXPECT_TRUE(Lif("lif-1")->prefixLists.empty());
    ExpectNoDataplaneErrors();
}

TEST_F(L3AppRoutersTest, ARouterDeleteTakesItsLifsRoutesArpAndMulticastWithIt) {
    PutTopology();
    feed_->Put(ObjectType::FIB,
               Fib(1, 1, Prefix(V4(172, 16, 0, 0), 12), {Hop(V4(10, 0, 1, 9), 1)}));
    feed_->Put(ObjectType::ARP_TABLE_CONFIG, ArpTable(1, 1, 3));
    pb::MulticastStaticRouteMsg msr;
    *msr.mutable_id() = U(kMsrKind, 1);
    *msr.mutable_lr_uuid() = U(kLrKind, 1);
    *msr.mutable_group() = Prefix(V4(239, 1, 1, 1), 32);
    *msr.add_next_hops() = Hop(V4(10, 0, 2, 7), 2);
    feed_->Put(ObjectType::MULTICAST_STATIC_ROUTE, msr);
    StartSynced();
    ASSERT_EQ(DpVdr(1001)->mcastRoutes.size(), 1u);
    ASSERT_EQ(DpVdr(1001)->arp.size(), 1u);

    feed_->Remove(ObjectType::LOG_ROUTER_CONFIG, U(kLrKind, 1));
    feed_->Commit();
    EXPECT_EQ(DpVdr(1001), nullptr);
    EXPECT_TRUE(log_.Contains("L3App: Delete LR " + Text(kLrKind, 1) +
                              " (vdr 1001) with 2 LIFs and 1 routes"));
    ExpectNoDataplaneErrors();
    // What stays in the store waits for the router and comes back with it.
    feed_->Change(ObjectType::LOG_ROUTER_CONFIG, Router(1, 1001));
    ExpectNoDataplaneErrors();
    ASSERT_NE(DpVdr(1001), nullptr);
    EXPECT_EQ(DpVdr(1001)->lifs.size(), 2u);
    EXPECT_EQ(DpVdr(1001)->routes.size(), 1u);
    EXPECT_EQ(DpVdr(1001)->arp.at(Text(kArpKind, 1)).size(), 3u);
    EXPECT_EQ(DpVdr(1001)->mcastRoutes.size(), 1u);
    // Deleted with everything that was its own, nothing is left to wait.
    feed_->Remove(ObjectType::LOG_ROUTER_CONFIG, U(kLrKind, 1));
    feed_->Remove(ObjectType::LOG_ROUTER_PORT_CONFIG, U(kLrpKind, 1));
    feed_->Remove(ObjectType::LOG_ROUTER_PORT_CONFIG, U(kLrpKind, 2));
    feed_->Remove(ObjectType::FIB, U(kFibKind, 1));
    feed_->Remove(ObjectType::ARP_TABLE_CONFIG, U(kArpKind, 1));
    feed_->Remove(ObjectType::MULTICAST_STATIC_ROUTE, U(kMsrKind, 1));
    feed_->Commit();
    ExpectNoDataplaneErrors();
    feed_->Change(ObjectType::LOG_ROUTER_CONFIG, Router(1, 1001));
    EXPECT_TRUE(DpVdr(1001)->lifs.empty());
    EXPECT_TRUE(DpVdr(1001)->routes.empty());
}

TEST_F(L3AppRoutersTest, SwitchChangesResendTheirLifsAndLinkTypeChangesReplayDad) {
    PutTopology();
    StartSynced();
    pb::LogSwitchConfigMsg ls = Switch(1, 6001);
    ls.set_replication_mode(2);
    feed_->Change(ObjectType::LOG_SWITCH_CONFIG, ls);
    EXPECT_EQ(Lif("lif-1")->vni, 6001u);
    EXPECT_EQ(Lif("lif-1")->replicationMode, 2);
    EXPECT_TRUE(log_.Contains("L3App:  VNI change to 6001 for LS " + Text(kLsKind, 1)));
    EXPECT_TRUE(log_.Contains("L3App: Replication mode change to 2 for LS " + Text(kLsKind, 1)));

    pb::LogRouterPortFibDadStateMsg dad;
    *dad.mutable_id() = U(kLrpKind, 2);
    *dad.mutable_lrp_id() = U(kLrpKind, 2);
    pb::DadStatusEntryMsg* e = dad.add_dad_status();
    *e->mutable_ip() = V4(10, 0, 2, 1);
    e->set_status(2);
    feed_->Change(ObjectType::LOG_ROUTER_PORT_FIB_DAD_STATE, dad);
    ASSERT_EQ(Dp().dadUpdates.size(), 1u);
    pb::LogSwitchConfigMsg vlan = Switch(2, 5002);
    vlan.set_vlan(40);
    feed_->Put(ObjectType::LOG_SWITCH_CONFIG, vlan);
    pb::LogRouterPortConfigMsg p2 = Port(2, 1, 2, {Prefix(V4(10, 0, 2, 1), 24)});
    p2.set_link_type(2);
    feed_->Change(ObjectType::LOG_ROUTER_PORT_CONFIG, p2);
    EXPECT_TRUE(
        log_.Contains("L3App: Replay Dad status on link type change on LRP " + Text(kLrpKind, 2)));
    EXPECT_EQ(Dp().dadUpdates.size(), 2u);
    EXPECT_EQ(Lif("lif-2")->vlan, 40);
    ExpectNoDataplaneErrors();
}

TEST_F(L3AppRoutersTest, BridgeEndpointsFollowTheirSwitchPort) {
    PutTopology();
    pb::LogSwitchPortConfigMsg lsp;
    *lsp.mutable_id() = U(kLspKind, 1);
    *lsp.mutable_switch_id() = U(kLsKind, 2);
    pb::BridgeEndpointMsg* be = lsp.mutable_bridge_endpoint();
    be->set_endpoint_id(42);
    be->set_vlan(100);
    *be->mutable_cluster_id() = U(kTn, 9);
    be->set_ha(true);
    feed_->Put(ObjectType::LOG_SWITCH_PORT_CONFIG, lsp);
    StartSynced();
    const auto& bridges = Dp().tables.bridgeEndpoints;
    ASSERT_EQ(bridges.count(Text(kLspKind, 1)), 1u);
    const vdr::BridgeEndpointSpec& b = bridges.at(Text(kLspKind, 1));
    EXPECT_EQ(b.vni, 5002u);
    EXPECT_EQ(b.vlan, 100);
    EXPECT_TRUE(b.ha);
    EXPECT_EQ(b.dvsUuid, Text(kDvsKind, 1));
    EXPECT_TRUE(log_.Contains("L3App: BE Full Sync Done"));
    lsp.clear_bridge_endpoint();
    feed_->Change(ObjectType::LOG_SWITCH_PORT_CONFIG, lsp);
    EXPECT_TRUE(Dp().tables.bridgeEndpoints.empty());
    ExpectNoDataplaneErrors();
}

}  // namespace
}  // namespace CfgAgent::test
