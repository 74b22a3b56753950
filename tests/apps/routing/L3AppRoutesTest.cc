// L3App's routes, next-hop updates and their pruning, routes that wait for a LIF, ARP tables and
// multicast.
#include "dataplane/VdrDump.h"
#include "tests/apps/routing/L3AppFixture.h"
#include "tests/dataplane/VdrVectors.h"

namespace CfgAgent::test {
namespace {

class L3AppRoutesTest : public L3AppFixture {
  protected:
    void SetUp() override {
        L3AppFixture::SetUp();
        PutTopology();
        StartSynced();
        ASSERT_TRUE(Dp().errors.empty());
    }
    void PutFib(const pb::FibMsg& fib) { feed_->Change(ObjectType::FIB, fib); }
};

// Routes as the converter writes them: the message is pinned byte by byte.
struct RouteCase {
    const char* name;
    pb::FibMsg fib;
    Bytes expected;    // empty: nothing is sent
    const char* line;  // a log line the case gives, or ""
};

class L3AppRouteVectorTest : public L3AppRoutesTest,
                             public ::testing::WithParamInterface<RouteCase> {};

TEST_P(L3AppRouteVectorTest, IsSentAsTheLayoutSays) {
    Sent();
    PutFib(GetParam().fib);
    std::vector<DpMsg> sent = Sent();
    if (GetParam().expected.empty()) {
        EXPECT_TRUE(sent.empty());
    } else {
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0], GetParam().expected);
    }
    if (GetParam().line[0] != '\0') {
        EXPECT_TRUE(log_.Contains(GetParam().line)) << GetParam().line;
    }
}

pb::FibNextHopMsg Blackhole() {
    pb::FibNextHopMsg h;
    h.set_blackhole(true);
    return h;
}

// A static route through a LIF, without an address.
pb::FibNextHopMsg Through(uint64_t lrp) {
    pb::FibNextHopMsg h;
    h.set_static_route(true);
    *h.mutable_lrp_id() = U(kLrpKind, lrp);
    return h;
}

pb::FibMsg WithoutPrefix() {
    pb::FibMsg f = Fib(8, 1, Prefix(V4(10, 0, 0, 0), 8), {});
    f.clear_prefix();
    return f;
}

pb::FibMsg TooManyHops() {
    std::vector<pb::FibNextHopMsg> hops;
    for (uint32_t i = 0; i < 936; ++i) {
        pb::FibNextHopMsg h;
        h.mutable_ip()->set_ipv4(0x0b000000u + i);
        hops.push_back(h);
    }
    return Fib(9, 1, Prefix(V4(10, 9, 0, 0), 16), hops);
}

pb::FibMsg LongEgress() {
    return Fib(10, 1, Prefix(V4(10, 10, 0, 0), 16), {Through(1)});
}

pb::FibNextHopMsg ShortIpv6() {
    pb::FibNextHopMsg h;
    h.mutable_ip()->set_ipv6(std::string("\xfe\x80\x00\x01", 4));
    return h;
}

using namespace vdrvec;

const RouteCase kRoutes[] = {
    {"Ipv4OneHop", Fib(1, 1, Prefix(V4(10, 1, 0, 0), 16), {Hop(V4(10, 0, 1, 9), 1)}),
     Cat({H("00 05 00 61 00 00 03 e9 00 00 00 01 55 01 02 01 00 00 10 0a 01 00 00 03 4a 00 01"),
          Hop4(1, "lif-1", H("0a 00 01 09"))}),
     ""},
    {"Ipv6TwoHops",
     Fib(2, 1, Prefix(V6(0x2001, 0), 32), {Hop(V6(0xfe80, 1), 2), Hop(V6(0xfe80, 2))}),
     Cat({H("00 05 00 cb 00 00 03 e9 00 00 00 01 bf 01 18 01 00 00 20"),
          H("20 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00"), H("03 a8 00 02"),
          Hop6(1, "lif-2", H("fe 80 00 00 00 00 00 00 00 00 00 00 00 00 00 01")),
          Hop6(1, "", H("fe 80 00 00 00 00 00 00 00 00 00 00 00 00 00 02"))}),
     ""},
    {"BlackholeAndInterfaceOnly",
     Fib(3, 1, Prefix(V4(192, 0, 2, 0), 24), {Blackhole(), Through(2)}),
     Cat({H("00 05 00 a7 00 00 03 e9 00 00 00 01 9b 01 02 01 00 00 18 c0 00 02 00 03 90 00 02"),
          Hop4(4, "", Zeros(4)), Hop4(3, "lif-2", Zeros(4))}),
     ""},
    {"NoPrefixIsNotSent",
     WithoutPrefix(),
     {},
     "VDRRouteAddPB2TLV, Received Route Update without any prefix, returning"},
    {"NineHundredThirtySixHopsAreRefused",
     TooManyHops(),
     {},
     "route 10.9.0.0/16 has 936 next hops, more than the 935 one message holds"},
    {"Ipv6HopOfAnIpv4RouteIsSkipped",
     Fib(4, 1, Prefix(V4(10, 4, 0, 0), 16), {Hop(V6(0xfe80, 1)), Hop(V4(10, 0, 1, 4))}),
     Cat({H("00 05 00 61 00 00 03 e9 00 00 00 01 55 01 02 01 00 00 10 0a 04 00 00 03 4a 00 01"),
          Hop4(1, "", H("0a 00 01 04"))}),
     "is not of the route's family, skipped"},
    {"Ipv4PrefixOf33BitsIsNotSent",
     Fib(6, 1, Prefix(V4(10, 6, 0, 0), 33), {Hop(V4(10, 0, 1, 6))}),
     {},
     "VDRRouteAddPB2TLV, prefix invalid reason : prefix length 33 over 32"},
    {"Ipv6PrefixOf129BitsIsNotSent",
     Fib(7, 1, Prefix(V6(0x2001, 7), 129), {Hop(V6(0xfe80, 7))}),
     {},
     "VDRRouteAddPB2TLV, prefix invalid reason : prefix length 129 over 128"},
    {"Ipv6AddressOfFourBytesIsSkipped",
     Fib(5, 1, Prefix(V4(10, 5, 0, 0), 16), {ShortIpv6(), Hop(V4(10, 0, 1, 5))}),
     Cat({H("00 05 00 61 00 00 03 e9 00 00 00 01 55 01 02 01 00 00 10 0a 05 00 00 03 4a 00 01"),
          Hop4(1, "", H("0a 00 01 05"))}),
     "VDRRouteAddPB2TLV, next_hop_ipv6  invalid reason : IPv6 address of 4 bytes"},
};

INSTANTIATE_TEST_SUITE_P(Routing, L3AppRouteVectorTest, ::testing::ValuesIn(kRoutes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(L3AppRoutesTest, ALongLifNameIsCutTo63CharactersInTheRoute) {
    pb::LogRouterPortConfigMsg p = Port(1, 1, 1, {Prefix(V4(10, 0, 1, 1), 24)});
    p.set_lif_name(std::string(63, 'n'));
    feed_->Change(ObjectType::LOG_ROUTER_PORT_CONFIG, p);
    Sent();
    PutFib(LongEgress());
    std::vector<DpMsg> sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].size(), 97u) << vdr::DumpVdrMessage(sent[0].data(), sent[0].size());
    EXPECT_EQ(DpFixedString(sent[0].data() + 12 + 11 + 4 + 1, 64), std::string(63, 'n'));
    ExpectNoDataplaneErrors();
    // A LIF name the dataplane cannot hold is refused, and its routes wait.
    p.set_lif_name(std::string(70, 'n'));
    feed_->Change(ObjectType::LOG_ROUTER_PORT_CONFIG, p);
    EXPECT_TRUE(log_.ContainsWithCode("is longer than 63 bytes", "LCP00905"));
    EXPECT_EQ(DpVdr(1001)->lifs.count(std::string(63, 'n')), 0u);
    ExpectNoDataplaneErrors();
}

TEST_F(L3AppRoutesTest, NextHopChangesAreSentAsUpdatesAndPruned) {
    const pb::FibNextHopMsg a = Hop(V4(10, 0, 1, 1), 1), b = Hop(V4(10, 0, 1, 2), 1);
    const pb::FibNextHopMsg c = Hop(V4(10, 0, 2, 3), 2);
    PutFib(Fib(1, 1, Prefix(V4(10, 1, 0, 0), 16), {a, b}));
    Sent();
    // b goes, c comes: one next-hop update.
    PutFib(Fib(1, 1, Prefix(V4(10, 1, 0, 0), 16), {a, c}));
    std::vector<DpMsg> sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0][vdr::kUpdateHeaderSize + 2], vdr::kElemNextHopUpdate);
    nlohmann::json hops = DpRoute(1001, "10.1.0.0/16")["next_hops"];
    ASSERT_EQ(hops.size(), 2u);
    EXPECT_EQ(hops[1]["ip"], "10.0.2.3");

    // One update deleting and adding a again: a stays, nothing is sent.
    const std::string id = Key(kFibKind, 1);
    CairnDBUpdateMsg del;
    del.objType = ObjectType::FIB;
    del.id = id;
    del.property = PropertyType::L3_FIB_NEXT_HOP;
    del.data = a.SerializeAsString();
    del.op = Operation::OPERATION_ELEMENT_CLEAR;
    CairnDBUpdateMsg add = del;
    add.op = Operation::OPERATION_ELEMENT_SET;
    feed_->L3Records({del, add});
    EXPECT_TRUE(Sent().empty());
    EXPECT_TRUE(log_.Contains("L3App: Prune fib next hop, deleted next hop added, fib " +
                              Text(kFibKind, 1)));
    EXPECT_EQ(DpRoute(1001, "10.1.0.0/16")["next_hops"].size(), 2u);

    // A next hop the dataplane never got (wrong family) is pruned from the delete.
    const pb::FibNextHopMsg v6 = Hop(V6(0xfe80, 5));
    PutFib(Fib(1, 1, Prefix(V4(10, 1, 0, 0), 16), {a, c, v6}));
    EXPECT_TRUE(Sent().empty());
    PutFib(Fib(1, 1, Prefix(V4(10, 1, 0, 0), 16), {a}));
    EXPECT_TRUE(log_.Contains("L3App: Prune fib next hop, delete next hop pruned, fib " +
                              Text(kFibKind, 1)));
    ExpectNoDataplaneErrors();
    ASSERT_EQ(DpRoute(1001, "10.1.0.0/16")["next_hops"].size(), 1u);
}

TEST_F(L3AppRoutesTest, APrefixChangeReplacesTheRouteAndADeleteRemovesIt) {
    PutFib(Fib(1, 1, Prefix(V4(10, 1, 0, 0), 16), {Hop(V4(10, 0, 1, 1), 1)}));
    PutFib(Fib(1, 1, Prefix(V4(10, 2, 0, 0), 16), {Hop(V4(10, 0, 1, 1), 1)}));
    EXPECT_TRUE(DpRoute(1001, "10.1.0.0/16").is_null());
    EXPECT_FALSE(DpRoute(1001, "10.2.0.0/16").is_null());
    feed_->Remove(ObjectType::FIB, U(kFibKind, 1));
    feed_->Commit();
    EXPECT_TRUE(DpVdr(1001)->routes.empty());
    ExpectNoDataplaneErrors();
}

TEST_F(L3AppRoutesTest, AFibWithoutRouterIsRefusedWithItsCode) {
    pb::FibMsg f = Fib(1, 1, Prefix(V4(10, 1, 0, 0), 16), {Hop(V4(10, 0, 1, 1))});
    f.clear_router_id();
    PutFib(f);
    EXPECT_TRUE(log_.ContainsWithCode("L3App: LR ID or prefix not set for fib " + Text(kFibKind, 1),
                                      "LCP00920"));
    EXPECT_TRUE(DpVdr(1001)->routes.empty());
}

TEST_F(L3AppRoutesTest, ARouteThroughALifThatIsNotThereWaitsForIt) {
    feed_->Put(ObjectType::FIB, Fib(1, 1, Prefix(V4(10, 1, 0, 0), 16), {Hop(V4(10, 3, 0, 1), 3)}));
    feed_->Put(ObjectType::LOG_SWITCH_CONFIG, Switch(3, 0));
    feed_->Put(ObjectType::LOG_ROUTER_PORT_CONFIG, Port(3, 1, 3, {Prefix(V4(10, 3, 0, 2), 24)}));
    feed_->Commit();
    EXPECT_TRUE(DpVdr(1001)->routes.empty());
    feed_->Change(ObjectType::LOG_SWITCH_CONFIG, Switch(3, 5003));
    EXPECT_EQ(DpRoute(1001, "10.1.0.0/16")["next_hops"][0]["egress"], "lif-3");
    ExpectNoDataplaneErrors();
}

TEST_F(L3AppRoutesTest, ArpTablesAreSentInMessagesOfAtMost2846Entries) {
    feed_->Change(ObjectType::ARP_TABLE_CONFIG, ArpTable(1, 1, 2847));
    std::vector<DpMsg> sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(LoadBe16(sent[0].data() + vdr::kArpAddedOffset), 2846u);
    EXPECT_EQ(LoadBe16(sent[1].data() + vdr::kArpAddedOffset), 1u);
    ExpectNoDataplaneErrors();
    EXPECT_EQ(DpVdr(1001)->arp.at(Text(kArpKind, 1)).size(), 2847u);
    // One entry less: one removal.
    feed_->Change(ObjectType::ARP_TABLE_CONFIG, ArpTable(1, 1, 2846));
    sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(LoadBe16(sent[0].data() + vdr::kArpRemovedOffset), 1u);
    EXPECT_EQ(LoadBe16(sent[0].data() + vdr::kArpAddedOffset), 0u);
}

TEST_F(L3AppRoutesTest, MulticastConfigurationAndRoutesFollowTheirRouter) {
    pb::MulticastConfigMsg mc;
    *mc.mutable_id() = U(kMcKind, 1);
    *mc.mutable_lr_uuid() = U(kLrKind, 1);
    mc.set_enabled(true);
    mc.set_igmp_version(3);
    *mc.mutable_replication_range() = Prefix(V4(239, 0, 0, 0), 8);
    feed_->Put(ObjectType::MULTICAST_CONFIG, mc);
    pb::MulticastStaticRouteMsg msr;
    *msr.mutable_id() = U(kMsrKind, 1);
    *msr.mutable_lr_uuid() = U(kLrKind, 1);
    *msr.mutable_group() = Prefix(V4(239, 1, 1, 1), 32);
    *msr.add_next_hops() = Hop(V4(10, 0, 2, 7), 2);
    feed_->Put(ObjectType::MULTICAST_STATIC_ROUTE, msr);
    feed_->Commit();
    ASSERT_TRUE(DpVdr(1001)->mcastConfig.has_value());
    EXPECT_EQ(DpVdr(1001)->mcastConfig->igmpVersion, 3);
    ASSERT_EQ(DpVdr(1001)->mcastRoutes.count("239.1.1.1/32"), 1u);
    EXPECT_EQ(DpVdr(1001)->mcastRoutes.at("239.1.1.1/32").hops[0].egress, "lif-2");
    EXPECT_TRUE(log_.Contains("Desired state update for Multicast Static Route"));
    feed_->Remove(ObjectType::MULTICAST_STATIC_ROUTE, U(kMsrKind, 1));
    feed_->Remove(ObjectType::MULTICAST_CONFIG, U(kMcKind, 1));
    feed_->Commit();
    EXPECT_TRUE(DpVdr(1001)->mcastRoutes.empty());
    EXPECT_FALSE(DpVdr(1001)->mcastConfig.has_value());
    ExpectNoDataplaneErrors();
}

}  // namespace
}  // namespace CfgAgent::test
