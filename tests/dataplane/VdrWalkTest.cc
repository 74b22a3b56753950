// VDR readers against hand-written vectors: what the layout says is read back field by field, and
// every fault of a table of damaged messages is refused with its reason.
#include <gtest/gtest.h>

#include <string>

#include "dataplane/VdrDump.h"
#include "dataplane/VdrWalk.h"
#include "tests/dataplane/VdrVectors.h"

namespace CfgAgent {
namespace {

using namespace test;
using namespace test::vdrvec;
using namespace vdr;

Bytes RouteV4(const Bytes& hops, unsigned n, uint8_t len8, uint8_t list8) {
    return Cat({H("00 05"), U16(27 + hops.size()), U32(9), U32(1), Bytes{len8, 1, 2, 1},
                H("00 00 18 c0 a8 00 00 03"), Bytes{list8}, U16(n), hops});
}

TEST(VdrWalkTest, RoutesAreReadFromTheLayout) {
    Bytes v6 = Cat({H("00 05 00 cb 00 00 00 07 00 00 00 01 bf 01 18 01 00 00 20"), Db8(),
                    H("03 a8 00 02"), Hop6(1, "lif-b", Fe80_1()), Hop6(4, "", Zeros(16))});
    UpdateMsg u;
    std::string why;
    ASSERT_TRUE(ParseUpdate(v6.data(), v6.size(), &u, &why)) << why;
    EXPECT_EQ(u.vdrId, 7u);
    ASSERT_EQ(u.elements.size(), 1u);
    const UpdateElement& e = u.elements[0];
    EXPECT_EQ(e.type, kElemRouteV6);
    EXPECT_EQ(e.op, kOpAdd);
    EXPECT_EQ(PrefixText(e.prefix), "2001:db8::/32");
    ASSERT_EQ(e.hops.size(), 2u);
    EXPECT_EQ(e.hops[0].egress, "lif-b");
    EXPECT_EQ(IpText(e.hops[0].ip), "fe80::1");
    EXPECT_EQ(e.hops[1].type, kNextHopBlackhole);
    EXPECT_EQ(e.hops[1].ip.size, 0);

    // Four next hops: the two length bytes hold only their low 8 bits (0x27, 0x1c).
    Bytes hops;
    for (uint8_t i = 1; i <= 4; ++i)
        hops = Cat({hops, Hop4(1, "lif-a", Bytes{10, 0, 0, i})});
    Bytes four = RouteV4(hops, 4, 0x27, 0x1c);
    ASSERT_TRUE(ParseUpdate(four.data(), four.size(), &u, &why)) << why;
    ASSERT_EQ(u.elements[0].hops.size(), 4u);
    EXPECT_EQ(IpText(u.elements[0].hops[3].ip), "10.0.0.4");
    EXPECT_EQ(PrefixText(u.elements[0].prefix), "192.168.0.0/24");
}

TEST(VdrWalkTest, OtherElementsAreReadFromTheLayout) {
    Bytes body = Cat({Field("lif-a", 64), H("02 02 01 00"), U32(1), U32(1500), U32(0), U16(30),
                      H("00 02 00"), U32(0), Zeros(6), Field("dvs", 36), Field("ls", 36)});
    body = Cat({body, NoAddr(), H("00 01 00 16"), A4(10, 0, 0, 1), H("18"), H("00 05 00 05"),
                Bytes{'x'}, H("00 07 00 19"), U32(7), A4(10, 0, 0, 2)});
    Bytes msg = Update(
        5, 3,
        Cat({Element(4, 1, body), Element(9, 2, U32(7)), Element(8, 1, Cat({U32(10), H("00")}))}));
    UpdateMsg u;
    std::string why;
    ASSERT_TRUE(ParseUpdate(msg.data(), msg.size(), &u, &why)) << why;
    ASSERT_EQ(u.elements.size(), 3u);
    const LifSpec& lif = u.elements[0].lif;
    EXPECT_EQ(lif.name, "lif-a");
    EXPECT_EQ(lif.lifType, kLifUplink);
    EXPECT_EQ(lif.vlan, 30);
    EXPECT_EQ(lif.linkType, 2);
    EXPECT_EQ(lif.dvsUuid, "dvs");
    ASSERT_EQ(lif.ips.size(), 1u);
    EXPECT_EQ(lif.ips[0].prefixLength, 24);
    EXPECT_EQ(lif.raDomains, std::vector<std::string>{"x"});
    ASSERT_EQ(lif.prefixLists.size(), 1u);
    EXPECT_EQ(lif.prefixLists[0].index, 7u);
    EXPECT_EQ(u.elements[1].type, kElemPrefixList);
    EXPECT_EQ(u.elements[1].op, kOpDelete);
    EXPECT_EQ(u.elements[1].prefixListIndex, 7u);
    EXPECT_EQ(u.elements[2].arpLimit, 10u);

    Bytes arp = Cat({H("00 19 00 7a"), U32(3), Field("t-1", 64), U16(2), U16(0), A4(10, 0, 0, 7),
                     H("02 00 00 00 00 07"), A4(10, 0, 0, 8), H("02 00 00 00 00 08")});
    ArpTableMsg a;
    ASSERT_TRUE(ParseArpTableUpdate(arp.data(), arp.size(), &a, &why)) << why;
    EXPECT_FALSE(a.add);
    EXPECT_EQ(a.tableUuid, "t-1");
    ASSERT_EQ(a.entries.size(), 2u);
    EXPECT_EQ(MacText(a.entries[1].mac.data()), "02:00:00:00:00:08");
    EXPECT_TRUE(IsFullSyncEnd(H("00 0c 00 04").data(), 4));
    EXPECT_FALSE(IsFullSyncEnd(H("00 0c 00 05 00").data(), 5));
}

struct BadUpdate {
    const char* name;
    Bytes bytes;
    const char* reason;
};

class VdrBadUpdateTest : public ::testing::TestWithParam<BadUpdate> {};

TEST_P(VdrBadUpdateTest, IsRefusedWithItsReason) {
    UpdateMsg u;
    std::string why;
    const Bytes& b = GetParam().bytes;
    EXPECT_FALSE(ParseUpdate(b.data(), b.size(), &u, &why));
    EXPECT_NE(why.find(GetParam().reason), std::string::npos) << why;
    EXPECT_NE(DumpVdrMessage(b.data(), b.size()).find("malformed"), std::string::npos);
}

const Bytes kHop = Hop4(1, "lif-a", H("0a 00 00 01"));

const BadUpdate kBadUpdates[] = {
    {"LengthFieldDiffers", Cat({H("00 05 00 20"), U32(1), U32(1)}), "length field 32"},
    {"NoElements", Update(1, 0, {}), "without elements"},
    {"MoreElementsThanBytes", Update(1, 9, Element(8, 1, Cat({U32(1), H("00")}))),
     "announces 9 elements"},
    {"RouteLengthByteWrong", RouteV4(kHop, 1, 0x56, 0x4a), "route length byte"},
    {"ListLengthByteWrong", RouteV4(kHop, 1, 0x55, 0x4b), "next-hop list length byte"},
    {"HopsPastTheEnd", RouteV4(kHop, 2, 0x9b, 0x90), "runs past the message"},
    {"HopTypeUnknown", RouteV4(Hop4(2, "x", Zeros(4)), 1, 0x55, 0x4a), "next-hop type 2"},
    {"BlackholeWithAddress", RouteV4(Hop4(4, "", H("0a 00 00 01")), 1, 0x55, 0x4a), "not zero"},
    {"EgressWithoutNul",
     RouteV4(Cat({Bytes{3}, Bytes(64, 'e'), Bytes{4}, Zeros(4)}), 1, 0x55, 0x4a), "without a NUL"},
    {"HopOfTheOtherFamily", RouteV4(Cat({Bytes{3}, Zeros(64), Bytes{16}, Zeros(4)}), 1, 0x55, 0x4a),
     "next-hop address size 16"},
    {"PrefixTooLong",
     Cat({H("00 05 00 1b 00 00 00 01 00 00 00 01 0f 01 02 01 00 00 21 0a 00 00 00 03 04 00 00")}),
     "prefix length 33"},
    {"RouteDeleteWithHops",
     Cat({H("00 05"), U16(97), U32(1), U32(1), H("55 01 02 02 00 00 08 0a 00 00 00 03 4a 00 01"),
          kHop}),
     "route delete with next hops"},
    {"UnknownElement", Update(1, 1, Element(99, 1, {})), "element type 99"},
    {"BadVersion", Update(1, 1, Cat({H("0b 02 08 01 00 0b"), U32(1), H("00")})), "version 2"},
    {"ElementLengthByteWrong", Update(1, 1, Cat({H("0c 01 08 01 00 0b"), U32(1), H("00")})),
     "length byte"},
    {"ArpLimitDelete", Update(1, 1, Element(8, 2, Cat({U32(1), H("00")}))), "operation 2"},
    {"FlagNotBoolean", Update(1, 1, Element(8, 1, Cat({U32(1), H("02")}))), "not 0 or 1"},
    {"BodyLongerThanItsFields", Update(1, 1, Element(8, 1, Cat({U32(1), H("00 00")}))),
     "bytes after its body"},
    {"LifIpCountWrong",
     Update(1, 1,
            Element(4, 1,
                    Cat({Field("l", 64), H("01 01 03 00"), Zeros(14), H("00 00 00"), Zeros(10),
                         Zeros(72), NoAddr()}))),
     "announces 3 addresses"},
    {"LifSubElementUnknown",
     Update(1, 1,
            Element(4, 1,
                    Cat({Field("l", 64), H("01 01 00 00"), Zeros(14), H("00 00 00"), Zeros(10),
                         Zeros(72), NoAddr(), H("00 09 00 04")}))),
     "LIF element type 9"},
    {"LifNameEmpty", Update(1, 1, Element(4, 2, Zeros(64))), "LIF name is empty"},
    {"LifNameNotPrintable", Update(1, 1, Element(4, 2, Cat({H("6c ff"), Zeros(62)}))),
     "not printable"},
    {"AddressSizeFive",
     Update(1, 1,
            Element(9, 1,
                    Cat({U32(1), Field("p", 64), U16(1), H("05"), Zeros(16), H("08 00 00 01")}))),
     "address size 5"},
    {"AddressPaddingDirty",
     Update(1, 1,
            Element(9, 1,
                    Cat({U32(1), Field("p", 64), U16(1), H("04 0a 00 00 00 01"), Zeros(11),
                         H("08 00 00 01")}))),
     "bytes after its address"},
    {"PrefixActionUnknown",
     Update(1, 1,
            Element(9, 1,
                    Cat({U32(1), Field("p", 64), U16(1), A4(10, 0, 0, 0), H("08 00 00 03")}))),
     "action 3"},
    {"TrailingBytes", Cat({Update(1, 1, Element(9, 2, U32(7))), H("00")}), "length field"},
};

INSTANTIATE_TEST_SUITE_P(Vdr, VdrBadUpdateTest, ::testing::ValuesIn(kBadUpdates),
                         [](const auto& info) { return std::string(info.param.name); });

struct BadDataplane {
    const char* name;
    Bytes bytes;
    ParseResult result;
    const char* reason;
};

class VdrBadDataplaneTest : public ::testing::TestWithParam<BadDataplane> {};

TEST_P(VdrBadDataplaneTest, IsRefusedWithItsResult) {
    DataplaneMsg d;
    std::string why;
    const Bytes& b = GetParam().bytes;
    EXPECT_EQ(ParseDataplaneMsg(b.data(), b.size(), &d, &why), GetParam().result);
    EXPECT_NE(why.find(GetParam().reason), std::string::npos) << why;
}

const Bytes kDadEntry = Cat({A4(10, 0, 0, 1), H("02")});

const BadDataplane kBadDataplane[] = {
    {"HeaderOnly", H("00 04 00 04"), ParseResult::kShort, "shorter than the sub type header"},
    {"NotType4", Cat({H("00 05 00 10"), Zeros(12)}), ParseResult::kNotDataplane, "message type 5"},
    {"LengthFieldDiffers", Cat({H("00 04 00 40"), Zeros(12)}), ParseResult::kNotDataplane,
     "length field 64"},
    {"FullSyncRequestShort", Cat({DpHeader(28, 3), U32(1), Zeros(8)}), ParseResult::kShort,
     "at least 29 needed"},
    {"FullSyncRequestScope", Cat({DpHeader(29, 3), U32(1), Zeros(8), H("07")}),
     ParseResult::kMalformed, "scope 7"},
    {"ReservedBytes", Cat({H("00 04 00 20 00 00 00 03 01"), Zeros(23)}), ParseResult::kMalformed,
     "reserved header bytes"},
    {"UnknownSubType", DpHeader(16, 7), ParseResult::kUnknownSubType, "sub type 7"},
    {"DadReportShort", Cat({DpHeader(100, 28), Zeros(84)}), ParseResult::kShort,
     "at least 158 needed"},
    {"DadCountMismatch", DadReportMsg(1, "lif", "", "ls", 2, kDadEntry), ParseResult::kMalformed,
     "with 2 entries"},
    {"DadLongerThanItsCount", DadReportMsg(1, "lif", "", "ls", 1, Cat({kDadEntry, kDadEntry})),
     ParseResult::kMalformed, "with 1 entries"},
    {"DadStatusUnknown", DadReportMsg(1, "lif", "", "ls", 1, Cat({A4(10, 0, 0, 1), H("09")})),
     ParseResult::kMalformed, "DAD status 9"},
    {"DadLifEmpty", DadReportMsg(1, "", "", "ls", 1, kDadEntry), ParseResult::kMalformed,
     "LIF name is empty"},
};

INSTANTIATE_TEST_SUITE_P(Vdr, VdrBadDataplaneTest, ::testing::ValuesIn(kBadDataplane),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VdrWalkTest, DataplaneMessagesAreReadFromTheLayout) {
    DataplaneMsg d;
    std::string why;
    Bytes fsr = FullSyncRequestMsg(1, 0);
    ASSERT_EQ(ParseDataplaneMsg(fsr.data(), fsr.size(), &d, &why), ParseResult::kOk) << why;
    EXPECT_EQ(d.subType, kSubFullSyncRequest);
    EXPECT_EQ(d.fullSync.scope, kScopeAll);
    // 29 bytes are enough.
    Bytes minimal = Cat({DpHeader(29, 3), U32(77), Zeros(8), H("02")});
    ASSERT_EQ(ParseDataplaneMsg(minimal.data(), minimal.size(), &d, &why), ParseResult::kOk);
    EXPECT_EQ(d.fullSync.vdrId, 77u);
    EXPECT_EQ(d.fullSync.scope, kScopeVdr);

    Bytes dad = DadReportMsg(3, "lif-a", "0c000000-0000-4000-8000-000000000001", "ls-text", 2,
                             Cat({kDadEntry, A6(Fe80_1()), H("03")}));
    ASSERT_EQ(ParseDataplaneMsg(dad.data(), dad.size(), &d, &why), ParseResult::kOk) << why;
    EXPECT_EQ(d.dad.vdrId, 3u);
    EXPECT_EQ(d.dad.lifName, "lif-a");
    EXPECT_EQ(d.dad.versionText, "0c000000-0000-4000-8000-000000000001");
    EXPECT_EQ(d.dad.lsText, "ls-text");
    ASSERT_EQ(d.dad.entries.size(), 2u);
    EXPECT_EQ(IpText(d.dad.entries[1].ip), "fe80::1");
    EXPECT_EQ(d.dad.entries[1].status, kDadDuplicated);
    std::string text = DumpVdrMessage(dad.data(), dad.size());
    EXPECT_NE(text.find("DAD report vdr = 3 lif = lif-a"), std::string::npos) << text;
    EXPECT_NE(text.find("fe80::1 DUPLICATED"), std::string::npos) << text;
}

TEST(VdrWalkTest, ArpTableUpdatesMustBeAllAddsOrAllRemovals) {
    ArpTableMsg a;
    std::string why;
    Bytes both = Cat({H("00 19 00 7a"), U32(3), Field("t", 64), U16(1), U16(1), Zeros(46)});
    EXPECT_FALSE(ParseArpTableUpdate(both.data(), both.size(), &a, &why));
    EXPECT_NE(why.find("1 removed and 1 added"), std::string::npos) << why;
    Bytes counts = Cat({H("00 19 00 63"), U32(3), Field("t", 64), U16(0), U16(2), Zeros(23)});
    EXPECT_FALSE(ParseArpTableUpdate(counts.data(), counts.size(), &a, &why));
    EXPECT_NE(why.find("with 2 entries"), std::string::npos) << why;
}

}  // namespace
}  // namespace CfgAgent
