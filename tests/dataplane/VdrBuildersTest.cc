// VDR builders against hand-written vectors: every builder of VdrBuilders.h gives exactly the
// bytes of the layout, and what the layout cannot hold is refused.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "dataplane/VdrBuilders.h"
#include "tests/dataplane/VdrVectors.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent {
namespace {

using namespace test;
using namespace test::vdrvec;
using namespace vdr;

IpPrefix P4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t len) {
    return IpPrefix{IpV4((uint32_t{a} << 24) | (b << 16) | (c << 8) | d), len};
}
IpPrefix P6(const Bytes& b, uint8_t len) {
    return IpPrefix{IpV6(b.data()), len};
}
NextHopSpec Nh(uint8_t type, std::string egress, IpAddr ip = IpAddr()) {
    return NextHopSpec{type, std::move(egress), ip};
}

struct Vector {
    const char* name;
    std::function<DpMsg()> build;
    Bytes expected;
};

class VdrBuilderVectorTest : public ::testing::TestWithParam<Vector> {};

TEST_P(VdrBuilderVectorTest, MatchesTheLayout) {
    EXPECT_EQ(GetParam().build(), GetParam().expected);
}

std::string Long(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s.push_back(static_cast<char>('a' + i % 26));
    return s;
}

const Vector kVectors[] = {
    {"RouteV4OneHop",
     [] {
         return BuildRouteAdd(5001, P4(10, 1, 0, 0, 16),
                              {Nh(kNextHopAddress, "lif-a", IpV4(0xc0a80101))});
     },
     // 97 bytes: 27 + 70.
     Cat({H("00 05 00 61 00 00 13 89 00 00 00 01 55 01 02 01 00 00 10 0a 01 00 00 03 4a 00 01"),
          Hop4(1, "lif-a", H("c0 a8 01 01"))})},
    {"RouteV6TwoHops",
     [] {
         return BuildRouteAdd(7, P6(Db8(), 32),
                              {Nh(kNextHopAddress, "lif-b", IpV6(Fe80_1().data())),
                               Nh(kNextHopBlackhole, "")});
     },
     // 203 bytes: 39 + 2 x 82; element 191 (0xbf), list 168 (0xa8).
     Cat({H("00 05 00 cb 00 00 00 07 00 00 00 01 bf 01 18 01 00 00 20"), Db8(), H("03 a8 00 02"),
          Hop6(1, "lif-b", Fe80_1()), Hop6(4, "", Zeros(16))})},
    {"RouteV4FourHopsKeepsTheLowBytesOfItsLengths",
     [] {
         std::vector<NextHopSpec> hops;
         for (uint8_t i = 1; i <= 4; ++i)
             hops.push_back(Nh(kNextHopAddress, "lif-a", IpV4(0x0a000000u + i)));
         return BuildRouteAdd(1, P4(0, 0, 0, 0, 0), hops);
     },
     // 307 bytes; element length 295 written as 0x27, list length 284 as 0x1c.
     Cat({H("00 05 01 33 00 00 00 01 00 00 00 01 27 01 02 01 00 00 00 00 00 00 00 03 1c 00 04"),
          Hop4(1, "lif-a", H("0a 00 00 01")), Hop4(1, "lif-a", H("0a 00 00 02")),
          Hop4(1, "lif-a", H("0a 00 00 03")), Hop4(1, "lif-a", H("0a 00 00 04"))})},
    {"RouteBlackholeAndInterfaceOnlyHops",
     [] {
         return BuildRouteAdd(
             2, P4(192, 0, 2, 0, 24),
             {Nh(kNextHopBlackhole, ""), Nh(kNextHopInterface, "lif-c")});
     },
     Cat({H("00 05 00 a7 00 00 00 02 00 00 00 01 9b 01 02 01 00 00 18 c0 00 02 00 03 90 00 02"),
          Hop4(4, "", Zeros(4)), Hop4(3, "lif-c", Zeros(4))})},
    {"RouteEgressNameCutTo63Characters",
     [] {
         return BuildRouteAdd(3, P4(10, 0, 0, 0, 8), {Nh(kNextHopInterface, Long(70))});
     },
     Cat({H("00 05 00 61 00 00 00 03 00 00 00 01 55 01 02 01 00 00 08 0a 00 00 00 03 4a 00 01"),
          Hop4(3, Long(63), Zeros(4))})},
    {"RouteDeleteHasNoNextHops", [] { return BuildRouteDelete(3, P4(10, 0, 0, 0, 8)); },
     H("00 05 00 1b 00 00 00 03 00 00 00 01 0f 01 02 02 00 00 08 0a 00 00 00 03 04 00 00")},
    {"NextHopUpdate",
     [] {
         return BuildNextHopUpdate(3, P4(10, 0, 0, 0, 8),
                                   {Nh(kNextHopAddress, "lif-a", IpV4(0x0a000001))},
                                   {Nh(kNextHopBlackhole, "")});
     },
     Update(3, 1,
            Element(5, 3,
                    Cat({Bytes{8}, A4(10, 0, 0, 0), U16(1), U16(1),
                         Hop4(1, "lif-a", H("0a 00 00 01")), Hop4(4, "", Zeros(4))})))},
    {"InstanceAddAndDelete",
     [] {
         InstanceSpec s;
         s.name = "tier1";
         s.routerType = 2;
         s.dadMode = 1;
         s.dadWaitTime = 3;
         s.dadMaxRetries = 4;
         s.raMode = 5;
         s.raHopLimit = 64;
         s.raInterval = 600;
         s.routerLifetime = 1800;
         return Cat({BuildInstanceAdd(9, s), BuildInstanceDelete(9)});
     },
     Cat({Update(9, 1,
                 Element(1, 1,
                         Cat({Field("tier1", 64), H("02 01"), U32(3), U32(4), H("05 40"), U32(600),
                              U32(1800)}))),
          Update(9, 1, Element(1, 2, {}))})},
    {"LifWithEverySubElement",
     [] {
         LifSpec s;
         s.name = "lif-a";
         s.lifType = kLifDownlink;
         s.flags = kLifFlagDownlink;
         s.urpfMode = 1;
         s.lifId = 0x11223344;
         s.mtu = 1500;
         s.vni = 5001;
         s.replicationMode = 1;
         s.linkType = 1;
         s.linkedRouter = true;
         s.linkedVdrId = 6;
         s.mac = {2, 0, 0, 0, 0, 1};
         s.dvsUuid = "7d000000-0000-4000-8000-000000000001";
         s.lsUuid = "5a000000-0000-4000-8000-000000000001";
         s.mcastIp = IpV4(0xef000001);
         s.ips = {{IpV4(0x0a000001), 24}, {IpV6(Fe80_1().data()), 64}};
         s.dhcpRelays = {IpV4(0x0a0000fe)};
         s.ra = {true, 1, 0, 86400, 14400};
         s.raDnsServers = {IpV4(0x08080808)};
         s.raDomains = {"example.org"};
         s.raRoutes = {{IpV4(0x0a010000), 16}};
         s.prefixLists = {{7, IpV4(0x0a000002)}};
         return BuildLifAdd(5, s);
     },
     Update(5, 1,
            Element(4, 1,
                    Cat({Field("lif-a", 64), H("01 01 02 01"), U32(0x11223344), U32(1500),
                         U32(5001), U16(0), H("01 01 01"), U32(6), H("02 00 00 00 00 01"),
                         Field("7d000000-0000-4000-8000-000000000001", 36),
                         Field("5a000000-0000-4000-8000-000000000001", 36), A4(239, 0, 0, 1),
                         H("00 01 00 16"), A4(10, 0, 0, 1), H("18"), H("00 01 00 16"),
                         A6(Fe80_1()), H("40"), H("00 02 00 15"), A4(10, 0, 0, 254),
                         H("00 03 00 0e 01 00"), U32(86400), U32(14400), H("00 04 00 15"),
                         A4(8, 8, 8, 8), H("00 05 00 0f"), Bytes{'e', 'x', 'a', 'm', 'p', 'l',
                                                                 'e', '.', 'o', 'r', 'g'},
                         H("00 06 00 16"), A4(10, 1, 0, 0), H("10"), H("00 07 00 19"), U32(7),
                         A4(10, 0, 0, 2)})))},
    {"LifDelete", [] { return BuildLifDelete(5, "lif-a"); },
     Update(5, 1, Element(4, 2, Field("lif-a", 64)))},
    {"MulticastConfigAndRoute",
     [] {
         return Cat({BuildMcastConfig(4, McastConfigSpec{true, 3, P4(239, 1, 0, 0, 16)}),
                     BuildMcastRouteAdd(4, P4(239, 1, 1, 1, 32),
                                        {McastNextHop{"lif-a", IpV4(0x0a000005)}}),
                     BuildMcastRouteDelete(4, P4(239, 1, 1, 1, 32))});
     },
     Cat({Update(4, 1, Element(6, 1, Cat({H("01 03 10"), A4(239, 1, 0, 0)}))),
          Update(4, 1,
                 Element(7, 1,
                         Cat({H("20"), A4(239, 1, 1, 1), U16(1), Field("lif-a", 64),
                              A4(10, 0, 0, 5)}))),
          Update(4, 1, Element(7, 2, Cat({H("20"), A4(239, 1, 1, 1)})))})},
    {"ArpLimit", [] { return BuildArpLimit(4, 2048, true); },
     Update(4, 1, Element(8, 1, Cat({U32(2048), H("01")})))},
    {"PrefixListAddAndDelete",
     [] {
         return Cat({BuildPrefixListAdd(
                         7, "pl-1", {PrefixEntrySpec{P4(10, 0, 0, 0, 8), 16, 24, kActionDeny}}),
                     BuildPrefixListDelete(7)});
     },
     Cat({Update(0, 1,
                 Element(9, 1, Cat({U32(7), Field("pl-1", 64), U16(1), A4(10, 0, 0, 0),
                                    H("08 10 18 02")}))),
          Update(0, 1, Element(9, 2, U32(7)))})},
    {"Global",
     [] {
         return BuildGlobalUpdate(GlobalSpec{kForwardIpv4Ipv6, 1, 9000, {2, 0, 0, 0, 0, 0xff}});
     },
     Update(0, 1, Element(10, 3, Cat({H("02 01"), U32(9000), H("02 00 00 00 00 ff")})))},
    {"BridgeEndpoint",
     [] {
         BridgeEndpointSpec s;
         s.name = "be-1";
         s.lsUuid = "5a000000-0000-4000-8000-000000000002";
         s.clusterUuid = "6e000000-0000-4000-8000-000000000001";
         s.endpointId = 42;
         s.vlan = 100;
         s.vniType = 1;
         s.vni = 5002;
         s.guestVlan = true;
         return Cat({BuildBridgeEndpointAdd(s), BuildBridgeEndpointDelete("be-1")});
     },
     Cat({Update(0, 1,
                 Element(11, 1,
                         Cat({Field("be-1", 64), Field("5a000000-0000-4000-8000-000000000002", 36),
                              Field("6e000000-0000-4000-8000-000000000001", 36), Zeros(36), U32(42),
                              U16(100), H("01"), U32(5002), H("01 00")}))),
          Update(0, 1, Element(11, 2, Field("be-1", 64)))})},
    {"DadStatusUpdate",
     [] {
         return BuildDadStatusUpdate(3, "lif-a", "0c000000-0000-4000-8000-000000000001",
                                     {DadEntry{IpV4(0x0a000001), kDadDuplicated}});
     },
     Update(3, 1,
            Element(12, 3,
                    Cat({Field("lif-a", 64), Field("0c000000-0000-4000-8000-000000000001", 36),
                         U16(1), A4(10, 0, 0, 1), H("03")})))},
    {"ArpTableUpdate",
     [] {
         auto msgs = BuildArpTableUpdate(3, "0a000000-0000-4000-8000-000000000001", true,
                                         {ArpEntrySpec{IpV4(0x0a000007), {2, 0, 0, 0, 0, 7}}});
         return msgs.size() == 1 ? msgs[0] : DpMsg();
     },
     Cat({H("00 19 00 63"), U32(3), Field("0a000000-0000-4000-8000-000000000001", 64),
          U16(0), U16(1), A4(10, 0, 0, 7), H("02 00 00 00 00 07")})},
    {"FullSyncEnd", [] { return BuildFullSyncEnd(); }, H("00 0c 00 04")},
    {"FullSyncRequest", [] { return BuildFullSyncRequest(kScopeVdr, 5001); },
     FullSyncRequestMsg(2, 5001)},
    {"DadReport",
     [] {
         DadReportSpec s;
         s.vdrId = 3;
         s.lifName = "lif-a";
         s.versionUuid = "0c000000-0000-4000-8000-000000000001";
         s.lsUuid = "5a000000-0000-4000-8000-000000000001";
         s.entries = {DadEntry{IpV4(0x0a000001), kDadAssigned}};
         return BuildDadReport(s);
     },
     DadReportMsg(3, "lif-a", "0c000000-0000-4000-8000-000000000001",
               "5a000000-0000-4000-8000-000000000001", 1, Cat({A4(10, 0, 0, 1), H("02")}))},
};

INSTANTIATE_TEST_SUITE_P(Vdr, VdrBuilderVectorTest, ::testing::ValuesIn(kVectors),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VdrBuildersTest, RoutesBeyondSixteenBitsOfLengthAreRefusedNeverWrapped) {
    test::LogCapture log;
    std::vector<NextHopSpec> v4(kMaxNextHopsV4, Nh(kNextHopAddress, "x", IpV4(1)));
    DpMsg fits = BuildRouteAdd(1, P4(10, 0, 0, 0, 8), v4);
    ASSERT_EQ(fits.size(), 27u + 70u * 935u);
    EXPECT_EQ(LoadBe16(fits.data() + 2), fits.size());
    EXPECT_EQ(LoadBe16(fits.data() + 21 + 4), 935u);
    v4.push_back(v4.back());
    EXPECT_TRUE(BuildRouteAdd(1, P4(10, 0, 0, 0, 8), v4).empty());
    EXPECT_TRUE(log.ContainsWithCode("route 10.0.0.0/8 has 936 next hops", "LCP00905"));

    std::vector<NextHopSpec> v6(kMaxNextHopsV6 + 1, Nh(kNextHopBlackhole, ""));
    EXPECT_TRUE(BuildRouteAdd(1, P6(Db8(), 32), v6).empty());
    v6.pop_back();
    EXPECT_EQ(BuildRouteAdd(1, P6(Db8(), 32), v6).size(), 39u + 82u * 798u);
}

TEST(VdrBuildersTest, BadPrefixesFamiliesAndNamesAreRefused) {
    test::LogCapture log;
    EXPECT_TRUE(BuildRouteAdd(1, P4(10, 0, 0, 0, 33), {}).empty());
    EXPECT_TRUE(BuildRouteAdd(1, P6(Db8(), 129), {}).empty());
    EXPECT_TRUE(BuildRouteAdd(1, IpPrefix{}, {}).empty());
    EXPECT_TRUE(BuildRouteAdd(1, P4(10, 0, 0, 0, 8), {Nh(kNextHopAddress, "", IpV6(Db8().data()))})
                    .empty());
    EXPECT_TRUE(log.ContainsWithCode("is not of the route's family", "LCP00905"));
    EXPECT_TRUE(BuildLifDelete(1, Long(64)).empty());
    EXPECT_FALSE(BuildLifDelete(1, Long(63)).empty());
    LifSpec lif;
    lif.name = "lif";
    lif.raDomains = {std::string(256, 'd')};
    EXPECT_TRUE(BuildLifAdd(1, lif).empty());
}

TEST(VdrBuildersTest, ArpTablesAreSplitAtTheLargestMessage) {
    const std::string uuid = "0a000000-0000-4000-8000-000000000001";
    std::vector<ArpEntrySpec> entries(kMaxArpEntries, ArpEntrySpec{IpV4(0x0a000001), {}});
    auto one = BuildArpTableUpdate(3, uuid, true, entries);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].size(), 65534u);
    EXPECT_EQ(LoadBe16(one[0].data() + 2), 65534u);
    EXPECT_EQ(LoadBe16(one[0].data() + 74), 2846u);

    entries.push_back(entries.back());
    auto two = BuildArpTableUpdate(3, uuid, false, entries);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(LoadBe16(two[0].data() + 72), 2846u);
    EXPECT_EQ(LoadBe16(two[0].data() + 74), 0u);
    EXPECT_EQ(two[1].size(), 76u + 23u);
    EXPECT_EQ(LoadBe16(two[1].data() + 72), 1u);
    EXPECT_TRUE(BuildArpTableUpdate(3, uuid, true, {}).empty());
}

}  // namespace
}  // namespace CfgAgent
