// The VDR host side driven directly, with hand-written messages and a recording channel.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/dataplane/VdrVectors.h"
#include "tests/support/LogCapture.h"
#include "tests/tools/dpemu/RecordingChannel.h"
#include "tools/ozy-dpemu/VdrFamily.h"

namespace ozy::dpemu {
namespace {

using namespace CfgAgent::test;
using namespace CfgAgent::test::vdrvec;

Bytes Instance(uint32_t vdr) {
    return Update(vdr, 1, Element(1, 1, Cat({Field("r", 64), Zeros(20)})));
}
Bytes InstanceDelete(uint32_t vdr) {
    return Update(vdr, 1, Element(1, 2, {}));
}
Bytes Lif(uint32_t vdr, const std::string& name, const Bytes& subs = {}, uint8_t ips = 0) {
    return Update(vdr, 1,
                  Element(4, 1,
                          Cat({Field(name, 64), Bytes{1, 1, ips, 0}, Zeros(14), H("00 00 00"),
                               Zeros(10), Zeros(72), NoAddr(), subs})));
}
Bytes LifDelete(uint32_t vdr, const std::string& name) {
    return Update(vdr, 1, Element(4, 2, Field(name, 64)));
}
// 10.1.0.0/16 with one next hop.
Bytes Route(uint32_t vdr, const Bytes& hop) {
    return Cat({H("00 05 00 61"), U32(vdr), U32(1),
                H("55 01 02 01 00 00 10 0a 01 00 00 03 4a 00 01"), hop});
}
Bytes RouteDelete(uint32_t vdr) {
    return Cat(
        {H("00 05 00 1b"), U32(vdr), U32(1), H("0f 01 02 02 00 00 10 0a 01 00 00 03 04 00 00")});
}
Bytes NhUpdate(uint32_t vdr, const Bytes& added, unsigned nAdded, const Bytes& deleted,
               unsigned nDeleted) {
    return Update(
        vdr, 1,
        Element(5, 3, Cat({H("10"), A4(10, 1, 0, 0), U16(nAdded), U16(nDeleted), added, deleted})));
}
Bytes PrefixList(uint32_t index) {
    return Update(
        0, 1,
        Element(9, 1,
                Cat({U32(index), Field("pl", 64), U16(1), A4(10, 0, 0, 0), H("08 00 00 01")})));
}
Bytes PrefixListDelete(uint32_t index) {
    return Update(0, 1, Element(9, 2, U32(index)));
}
Bytes Arp(uint32_t vdr, bool add, const Bytes& ip4) {
    return Cat({H("00 19 00 63"), U32(vdr), Field("0a000000-0000-4000-8000-000000000001", 64),
                U16(add ? 0 : 1), U16(add ? 1 : 0), Bytes{4}, ip4, Zeros(12),
                H("02 00 00 00 00 07")});
}
Bytes Dad(uint32_t vdr, const std::string& lif) {
    return Update(
        vdr, 1,
        Element(12, 3, Cat({Field(lif, 64), Field("v-1", 36), U16(1), A4(10, 0, 0, 1), H("02")})));
}

const Bytes kHopA = Hop4(1, "lif-a", H("0a 00 00 01"));
const Bytes kHopB = Hop4(1, "lif-a", H("0a 00 00 02"));

class VdrFamilyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        family.Attach(&channel);
        family.RegisterCommands(commands);
        family.OnConnect(1);
    }
    void Receive(const Bytes& msg) { family.OnMessage(1, msg.data(), msg.size()); }
    nlohmann::json Dump() const { return family.Dump(); }
    std::vector<CfgAgent::DpMsg>& Sent() { return channel.sent[1]; }

    LogCapture cap{CfgAgent::kLogInfo};
    test::RecordingChannel channel{"ozy_vdr_krnlink", {1}};
    test::CommandRecorder commands;
    VdrFamily family;
};

TEST_F(VdrFamilyTest, AFullSyncInOrderFillsTheTablesAndAReconnectEmptiesThem) {
    Receive(PrefixList(7));
    Receive(Instance(5));
    Receive(Lif(5, "lif-a",
                Cat({H("00 01 00 16"), A4(10, 0, 0, 1), H("18"), H("00 07 00 19"), U32(7),
                     A4(10, 0, 0, 2)}),
                1));
    Receive(Route(5, kHopA));
    Receive(Arp(5, true, H("0a 00 00 07")));
    Receive(Dad(5, "lif-a"));
    Receive(Update(0, 1, Element(10, 3, Cat({H("01 00"), U32(1500), Zeros(6)}))));
    Receive(H("00 0c 00 04"));

    nlohmann::json d = Dump();
    EXPECT_TRUE(d["errors"].empty()) << d["errors"].dump();
    EXPECT_EQ(d["session"]["full_sync_ends"], 1);
    const nlohmann::json& vdr = d["vdrs"]["5"];
    EXPECT_EQ(vdr["lifs"]["lif-a"]["ips"], nlohmann::json::array({"10.0.0.1/24"}));
    EXPECT_EQ(vdr["lifs"]["lif-a"]["prefix_lists"][0]["index"], 7);
    EXPECT_EQ(vdr["routes"]["10.1.0.0/16"][0]["ip"], "10.0.0.1");
    EXPECT_EQ(vdr["arp"]["0a000000-0000-4000-8000-000000000001"]["10.0.0.7"], "02:00:00:00:00:07");
    EXPECT_EQ(vdr["dad"]["lif-a"]["entries"]["10.0.0.1"], "ASSIGNED");
    EXPECT_EQ(d["global"]["settings"]["lrp_mtu"], 1500);
    EXPECT_EQ(d["global"]["prefix_lists"]["7"]["entries"][0]["prefix"], "10.0.0.0/8");
    EXPECT_EQ(d["dad_updates"].size(), 1u);
    EXPECT_TRUE(Sent().empty()) << "a DAD status update is never answered";
    auto route = commands.Run("dpemu/vdr-route", {"5", "10.1.0.0/16"});
    ASSERT_TRUE(route.ok) << route.text;
    EXPECT_EQ(nlohmann::json::parse(route.text)["next_hops"][0]["egress"], "lif-a");
    auto summary = nlohmann::json::parse(commands.Run("dpemu/vdr-summary", {}).text);
    EXPECT_EQ(summary["routes"], 1);
    EXPECT_EQ(summary["arp_entries"], 1);

    family.OnDisconnect(1);
    family.OnConnect(2);
    d = Dump();
    EXPECT_TRUE(d["vdrs"].empty());
    EXPECT_TRUE(d["global"]["prefix_lists"].empty());
    EXPECT_EQ(d["session"]["connection"], 2);
}

struct OutOfOrder {
    const char* name;
    std::vector<Bytes> setup;
    Bytes msg;
    const char* error;
};

class VdrFamilyOrderTest : public VdrFamilyTest,
                           public ::testing::WithParamInterface<OutOfOrder> {};

TEST_P(VdrFamilyOrderTest, IsAnErrorAndChangesNothing) {
    for (const Bytes& b : GetParam().setup)
        Receive(b);
    ASSERT_TRUE(Dump()["errors"].empty()) << Dump()["errors"].dump();
    nlohmann::json before = Dump()["vdrs"];
    Receive(GetParam().msg);
    nlohmann::json d = Dump();
    ASSERT_EQ(d["errors"].size(), 1u);
    EXPECT_NE(d["errors"][0].get<std::string>().find(GetParam().error), std::string::npos)
        << d["errors"][0];
    EXPECT_EQ(d["vdrs"], before);
}

const OutOfOrder kOutOfOrder[] = {
    {"LifBeforeItsRouter", {}, Lif(5, "lif-a"), "lif element for unknown vdr 5"},
    {"RouteBeforeItsRouter", {}, Route(5, kHopA), "route_v4 element for unknown vdr 5"},
    {"RouteBeforeItsLif", {Instance(5)}, Route(5, kHopA), "names unknown LIF lif-a"},
    {"ArpBeforeItsRouter", {}, Arp(5, true, H("0a 00 00 07")), "for unknown vdr 5"},
    {"DadBeforeItsLif", {Instance(5)}, Dad(5, "lif-a"), "DAD status names unknown LIF"},
    {"LifBeforeItsPrefixList",
     {Instance(5)},
     Lif(5, "lif-a", Cat({H("00 07 00 19"), U32(7), A4(10, 0, 0, 2)})),
     "names unknown prefix list 7"},
    {"PrefixListDeletedWhileUsed",
     {PrefixList(7), Instance(5), Lif(5, "lif-a", Cat({H("00 07 00 19"), U32(7), NoAddr()}))},
     PrefixListDelete(7),
     "still used by LIF lif-a"},
    {"NextHopDeletedThatIsNotThere",
     {Instance(5), Lif(5, "lif-a"), Route(5, kHopA)},
     NhUpdate(5, {}, 0, kHopB, 1),
     "which the route has not"},
    {"NextHopAddedThatIsThere",
     {Instance(5), Lif(5, "lif-a"), Route(5, kHopA)},
     NhUpdate(5, kHopA, 1, {}, 0),
     "which the route has"},
    {"UnknownRouteDeleted", {Instance(5)}, RouteDelete(5), "delete of unknown route"},
    {"UnknownLifDeleted", {Instance(5)}, LifDelete(5, "lif-x"), "delete of unknown LIF"},
    {"UnknownRouterDeleted", {}, InstanceDelete(9), "delete of unknown vdr 9"},
    {"PrefixListOnARouter", {}, Update(3, 1, Element(9, 2, U32(7))), "sent to vdr 3"},
    {"ArpEntryRemovedThatIsNotThere",
     {Instance(5)},
     Arp(5, false, H("0a 00 00 09")),
     "removes unknown entry"},
    {"MalformedUpdate", {}, Update(5, 2, Element(1, 2, {})), "Update dropped"},
    {"UnknownType", {}, H("00 09 00 04"), "unsupported message type 9"},
};

INSTANTIATE_TEST_SUITE_P(Vdr, VdrFamilyOrderTest, ::testing::ValuesIn(kOutOfOrder),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VdrFamilyTest, NextHopUpdatesAndDeletesApply) {
    Receive(Instance(5));
    Receive(Lif(5, "lif-a"));
    Receive(Route(5, kHopA));
    Receive(NhUpdate(5, kHopB, 1, kHopA, 1));
    nlohmann::json hops = Dump()["vdrs"]["5"]["routes"]["10.1.0.0/16"];
    ASSERT_EQ(hops.size(), 1u);
    EXPECT_EQ(hops[0]["ip"], "10.0.0.2");
    Receive(RouteDelete(5));
    Receive(LifDelete(5, "lif-a"));
    Receive(InstanceDelete(5));
    nlohmann::json d = Dump();
    EXPECT_TRUE(d["errors"].empty()) << d["errors"].dump();
    EXPECT_TRUE(d["vdrs"].empty());
}

TEST_F(VdrFamilyTest, InjectionsSendTheLayoutsBytes) {
    Receive(Instance(5));
    Receive(Instance(6));
    ASSERT_TRUE(commands.Run("dpemu/vdr-fullsync-request", {"5"}).ok);
    EXPECT_EQ(Dump()["vdrs"].size(), 1u) << "the requested router is cleared";
    ASSERT_TRUE(commands.Run("dpemu/vdr-fullsync-request", {"all"}).ok);
    EXPECT_TRUE(Dump()["vdrs"].empty());
    ASSERT_TRUE(
        commands
            .Run("dpemu/vdr-dad-report", {"5", "lif-a", "0c000000-0000-4000-8000-000000000001",
                                          "ls-1", "10.0.0.1=duplicated", "fe80::1=2"})
            .ok);
    ASSERT_TRUE(commands.Run("dpemu/vdr-dad-report", {"5", "lif-a", "-", "ls-1"}).ok);
    ASSERT_TRUE(
        commands.Run("dpemu/vdr-raw", {"00 04 00 14 00000003 0000000000000000 00000001"}).ok);
    ASSERT_EQ(Sent().size(), 5u);
    EXPECT_EQ(Sent()[0], FullSyncRequestMsg(2, 5));
    EXPECT_EQ(Sent()[1], FullSyncRequestMsg(1, 0));
    EXPECT_EQ(Sent()[2], DadReportMsg(5, "lif-a", "0c000000-0000-4000-8000-000000000001", "ls-1", 2,
                                      Cat({A4(10, 0, 0, 1), H("03"), A6(Fe80_1()), H("02")})));
    EXPECT_EQ(Sent()[3], DadReportMsg(5, "lif-a", "", "ls-1", 0, {}));
    EXPECT_EQ(Sent()[4], Cat({DpHeader(20, 3), U32(1)}));

    EXPECT_FALSE(commands.Run("dpemu/vdr-dad-report", {"5", "lif-a", "-", "ls", "10.0.0.1"}).ok);
    EXPECT_FALSE(commands.Run("dpemu/vdr-dad-report", {"5", "lif-a", "-", "ls", "x=1"}).ok);
    EXPECT_FALSE(commands.Run("dpemu/vdr-fullsync-request", {"five"}).ok);
    EXPECT_FALSE(commands.Run("dpemu/vdr-raw", {"0g"}).ok);
    EXPECT_FALSE(commands.Run("dpemu/vdr-route", {"5", "10.9.0.0/16"}).ok);
    family.OnDisconnect(1);
    auto r = commands.Run("dpemu/vdr-fullsync-request", {"all"});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.text, "the agent is not connected");
}

}  // namespace
}  // namespace ozy::dpemu
