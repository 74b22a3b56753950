// The VXLAN host side driven directly, with hand-written messages and a recording channel.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/dataplane/VxlanVectors.h"
#include "tests/support/LogCapture.h"
#include "tests/tools/dpemu/RecordingChannel.h"
#include "tools/ozy-dpemu/VxlanFamily.h"

namespace ozy::dpemu {
namespace {

using namespace CfgAgent::test;
using namespace CfgAgent::test::vxlanvec;
using ::testing::HasSubstr;
using Msgs = std::vector<CfgAgent::DpMsg>;

// The agent's VXLAN messages as the layout spells them.
const Bytes kOpen7 = Session(1, 7);
const Bytes kAck7 = Session(2, 7);
const Bytes kEnd7 = Session(3, 7);

// Local VTEP entry of "vxlan-local-vtep V add 10.0.0.x LABEL 02:00:00:00:00:x".
Bytes LocalVtep(uint8_t x, uint32_t label) {
    return VtepV4(x, label);
}

class VxlanFamilyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        family.Attach(&channel);
        family.RegisterCommands(commands);
        family.OnConnect(1);
    }
    void Receive(const Bytes& msg, uint64_t conn = 1) {
        family.OnMessage(conn, msg.data(), msg.size());
    }
    CommandResult Run(const std::string& name, std::vector<std::string> args) {
        CommandResult r = commands.Run(name, std::move(args));
        EXPECT_TRUE(r.ok) << name << ": " << r.text;
        return r;
    }
    nlohmann::json Dump() const { return family.Dump(); }
    Msgs& Sent(uint64_t conn = 1) { return channel.sent[conn]; }
    size_t Errors() const { return family.Dump()["errors"].size(); }
    std::string LastError() const { return family.Dump()["errors"].back(); }
    // VNI 5001 joined on switch 7 and session 7 open; what was sent is forgotten.
    void JoinAndOpen() {
        Run("dpemu/vxlan-join", {"7", "5001"});
        Receive(kOpen7);
        Sent().clear();
    }

    // VNI 5001 on switch 7 with one VTEP, two MACs; instance 7; an RD VTEP.
    void HostState() {
        Run("dpemu/vxlan-instance", {"add", "7"});
        Run("dpemu/vxlan-join", {"7", "5001"});
        Run("dpemu/vxlan-local-vtep", {"5001", "add", "10.0.0.1", "17", "02:00:00:00:00:01"});
        Run("dpemu/vxlan-mac-learn", {"5001", "00:50:56:00:00:01", "10.0.0.3"});
        Run("dpemu/vxlan-mac-learn", {"5001", "00:50:56:00:00:02", "10.0.0.3"});
        Run("dpemu/vxlan-rd-vtep", {"7", "10.0.0.9"});
    }

    CfgAgent::test::LogCapture cap{CfgAgent::kLogInfo};
    test::RecordingChannel channel{"ozy_vxlan_krnlink", {1}};
    test::CommandRecorder commands;
    VxlanFamily family;
};

TEST_F(VxlanFamilyTest, SessionOpenIsAnsweredWithTheHostStateThenFullSyncEnd) {
    HostState();
    EXPECT_TRUE(Sent().empty()) << "no session yet: nothing is sent";

    Receive(kOpen7);
    Bytes rdVtep = Cat(
        {Bytes{10, 0, 0, 9}, Zeros(4), Zeros(4), Zeros(6), Bytes{1, 1, 0}, HostType(1), Zeros(32)});
    std::vector<Bytes> expected = {
        kAck7,
        Instance(7, 1),
        Join(7, 5001),
        Update({VtepTlv(7, 5001, {}, {LocalVtep(1, 17)})}),
        Update({MacTlv(7, 5001, {}, {MacV4(1, 3), MacV4(2, 3)})}),
        Update({RdVtepTlv(7, {rdVtep})}),
        kEnd7,
    };
    // MacV4 puts a VTEP MAC in the entry; the emulator learns none.
    for (size_t off : {18u + 6u, 18u + 40u + 6u}) {
        for (size_t i = 0; i < 6; ++i)
            expected[4][off + i] = 0;
    }
    EXPECT_EQ(Sent(), expected);
    nlohmann::json d = Dump();
    EXPECT_EQ(d["session"]["state"], "synced");
    EXPECT_EQ(d["session"]["id"], 7);
    EXPECT_EQ(d["session"]["opens"], 1);
    EXPECT_EQ(d["vnis"]["5001"]["local_macs"].size(), 2u);
    EXPECT_EQ(d["vnis"]["5001"]["local_vteps"][0]["ip"], "10.0.0.1");
    EXPECT_EQ(Errors(), 0u);
}

TEST_F(VxlanFamilyTest, HeldFullSyncEndIsSentWhenReleasedAndInjectionsGoOutMeanwhile) {
    Run("dpemu/vxlan-join", {"7", "5001"});
    Run("dpemu/vxlan-hold-fullsync", {"on"});
    Receive(kOpen7);
    EXPECT_EQ(Sent(), (Msgs{kAck7, Join(7, 5001)}));
    EXPECT_EQ(Dump()["session"]["state"], "open");

    // In the open session, a VTEP is reported at once, and its removal too.
    Sent().clear();
    Run("dpemu/vxlan-local-vtep", {"5001", "add", "10.0.0.1", "17", "02:00:00:00:00:01"});
    Run("dpemu/vxlan-local-vtep", {"5001", "del", "10.0.0.1"});
    EXPECT_EQ(Sent(), (Msgs{Update({VtepTlv(7, 5001, {}, {LocalVtep(1, 17)})}),
                            Update({VtepTlv(7, 5001, {LocalVtep(1, 17)}, {})})}));

    Sent().clear();
    CommandResult r = Run("dpemu/vxlan-hold-fullsync", {"off"});
    EXPECT_THAT(r.text, HasSubstr("Full Sync End sent in session 7"));
    EXPECT_EQ(Sent(), Msgs{kEnd7});
    EXPECT_EQ(Dump()["session"]["state"], "synced");

    // A disconnect ends the session: injections wait for the next full sync.
    family.OnDisconnect(1);
    Sent().clear();
    r = Run("dpemu/vxlan-mac-learn", {"5001", "00:50:56:00:00:09", "fd00::3"});
    EXPECT_THAT(r.text, HasSubstr("reported at the next full sync"));
    EXPECT_TRUE(Sent().empty());
}

TEST_F(VxlanFamilyTest, InjectionsInASessionSendTheirChange) {
    JoinAndOpen();
    Run("dpemu/vxlan-instance", {"add", "3"});
    Run("dpemu/vxlan-mac-learn", {"5001", "00:50:56:00:00:05", "fd00::3"});
    Run("dpemu/vxlan-mac-age", {"5001", "00:50:56:00:00:05"});
    Run("dpemu/vxlan-instance", {"del", "3"});
    Run("dpemu/vxlan-leave", {"5001"});
    Bytes mac = MacV6(5, 3);
    std::fill(mac.begin() + 6, mac.begin() + 12, 0);  // no VTEP MAC
    EXPECT_EQ(Sent(),
              (Msgs{Instance(3, 1), Update({MacTlv(7, 5001, {}, {mac})}),
                    Update({MacTlv(7, 5001, {mac}, {})}), Instance(3, 2), Join(7, 5001, 2)}));
    EXPECT_EQ(Dump()["vnis"]["5001"]["joined"], false);

    // Refusals change nothing and send nothing.
    Sent().clear();
    EXPECT_FALSE(
        commands.Run("dpemu/vxlan-mac-learn", {"5001", "00:50:56:00:00:05", "10.0.0.1"}).ok);
    EXPECT_FALSE(commands.Run("dpemu/vxlan-instance", {"del", "3"}).ok);
    EXPECT_FALSE(commands.Run("dpemu/vxlan-join", {"7", "x"}).ok);
    EXPECT_FALSE(commands.Run("dpemu/vxlan-raw", {"000d0005"}).ok) << "length field 5, 4 bytes";
    EXPECT_TRUE(Sent().empty());
}

TEST_F(VxlanFamilyTest, BulkLearningIsSplitAtTheAgentsMaximum) {
    // The agent announces 256 bytes: 18 bytes of head leave room for 5 MAC entries.
    Receive(Msg(2, Tlv(1, H("01 00"))));
    Run("dpemu/vxlan-join", {"7", "5001"});
    Receive(kOpen7);
    Sent().clear();
    CommandResult r =
        Run("dpemu/vxlan-mac-learn-bulk", {"5001", "12", "00:50:56:00:00:fe", "10.0.0.3"});
    EXPECT_THAT(r.text, HasSubstr("12 MACs learned on VNI 5001 in 3 messages"));
    ASSERT_EQ(Sent().size(), 3u);
    EXPECT_EQ(Sent()[0].size(), 18u + 5 * 40);
    EXPECT_EQ(Sent()[2].size(), 18u + 2 * 40);
    // The MACs count up across the byte boundary.
    EXPECT_EQ(Bytes(Sent()[0].begin() + 18 + 40, Sent()[0].begin() + 18 + 46),
              H("00 50 56 00 00 ff"));
    EXPECT_EQ(Bytes(Sent()[0].begin() + 18 + 80, Sent()[0].begin() + 18 + 86),
              H("00 50 56 00 01 00"));
    EXPECT_EQ(Dump()["settings"]["max_msg_length"], 256);
    EXPECT_EQ(Dump()["vnis"]["5001"]["local_macs"].size(), 12u);
}

// With VNIS, the MACs go on across consecutive VNIs, each VNI's list split on its own, and nothing
// is learned or sent when one of them is not joined.
TEST_F(VxlanFamilyTest, BulkLearningOnSeveralVnisIsOneBurst) {
    Receive(Msg(2, Tlv(1, H("01 00"))));
    Run("dpemu/vxlan-join", {"7", "5001"});
    Run("dpemu/vxlan-join", {"8", "5002"});
    Receive(kOpen7);
    Sent().clear();
    EXPECT_FALSE(
        commands
            .Run("dpemu/vxlan-mac-learn-bulk", {"5001", "3", "00:50:56:00:00:fe", "10.0.0.3", "3"})
            .ok)
        << "5003 is not joined";
    EXPECT_FALSE(
        commands
            .Run("dpemu/vxlan-mac-learn-bulk", {"5001", "3", "00:50:56:00:00:fe", "10.0.0.3", "0"})
            .ok);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(Dump()["vnis"]["5001"]["local_macs"].size(), 0u);

    CommandResult r =
        Run("dpemu/vxlan-mac-learn-bulk", {"5001", "7", "00:50:56:00:00:fe", "10.0.0.3", "2"});
    EXPECT_THAT(r.text, HasSubstr("14 MACs learned on 2 VNIs from 5001 (7 each) in 4 messages"));
    ASSERT_EQ(Sent().size(), 4u);
    EXPECT_EQ(Sent()[0].size(), 18u + 5 * 40);
    EXPECT_EQ(Sent()[1].size(), 18u + 2 * 40);
    EXPECT_EQ(Sent()[2].size(), 18u + 5 * 40);
    // The second VNI's first MAC is the eighth of the range: fe + 7 = 0x105.
    EXPECT_EQ(Bytes(Sent()[2].begin() + 18, Sent()[2].begin() + 24), H("00 50 56 00 01 05"));
    EXPECT_EQ(Dump()["vnis"]["5001"]["local_macs"].size(), 7u);
    EXPECT_EQ(Dump()["vnis"]["5002"]["local_macs"].size(), 7u);
}

// When the messages of the last report sent in session began to go out: set by a report sent,
// left by one that waits for the next full sync.
TEST_F(VxlanFamilyTest, SummaryTellsWhenTheLastReportWasSent) {
    auto reported = [&] {
        return nlohmann::json::parse(
                   commands.Run("dpemu/vxlan-summary", {}).text)["session"]["reported_ms"]
            .get<double>();
    };
    Run("dpemu/vxlan-join", {"7", "5001"});
    Run("dpemu/vxlan-mac-learn-bulk", {"5001", "3", "00:50:56:00:00:01", "10.0.0.3"});
    EXPECT_EQ(reported(), 0.0) << "no session: nothing sent";
    Receive(kOpen7);
    const double before = SteadyMs();
    Run("dpemu/vxlan-mac-learn-bulk", {"5001", "3", "00:50:56:00:01:01", "10.0.0.3"});
    const double after = SteadyMs();
    const double at = reported();
    EXPECT_GE(at, before);
    EXPECT_LE(at, after);
    Run("dpemu/vxlan-mac-learn", {"5001", "00:50:56:00:02:01", "10.0.0.3"});
    EXPECT_GE(reported(), at);
}

// What the agent programs for a joined VNI, written from the layout: the dump shows it, removals
// come before additions, a removal of an absent entry is counted, and a new session forgets it all.
TEST_F(VxlanFamilyTest, RemoteStateOfAJoinedVniIsKeptPerSession) {
    JoinAndOpen();
    const Bytes rd = H("7d 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01");
    Receive(H("00 03 00 0d 00 00 00 07 00 00 13 89 01"));
    Receive(H("00 04 00 0f 00 00 00 07 00 00 00 13 89 01 00"));
    Receive(Cat({H("03 e9 00 24 00 00 00 07 00 00 13 89 0a 01 02 03"), HostType(1), Zeros(16)}));
    Receive(Msg(2, Cat({Tlv(259, Cat({U32(7), U32(5001), rd})),
                        Tlv(261, Cat({U32(7), U32(5001), U32(4096)}))})));
    Receive(Update({VtepTlv(7, 5001, {}, {VtepV4(1, 17), VtepV4(2, 18)})}));
    Receive(Update({MacTlv(7, 5001, {}, {MacV4(1, 1), MacV4(2, 1)})}));
    Receive(Msg(5, Tlv(2, Cat({U32(7), U32(5001), U16(0), H("c0 a8 00 01 00 50 56 00 00 01")}))));
    // MAC 2 moves: removed and added again in one TLV; MAC 9 was never there.
    Receive(Update({MacTlv(7, 5001, {MacV4(2, 1), MacV4(9, 1)}, {MacV4(2, 2)})}));
    nlohmann::json d = Dump();
    ASSERT_EQ(Errors(), 0u) << d["errors"].dump();
    const nlohmann::json& v = d["vnis"]["5001"];
    EXPECT_EQ(v["confirmed"], true);
    EXPECT_EQ(v["link"], (nlohmann::json{{"flag", 0}, {"multicast_proxy", 1}, {"arp_proxy", 0}}));
    EXPECT_EQ(v["controller"], (nlohmann::json{{"ipv4", "10.1.2.3"}, {"ipv6", ""}, {"type", 1}}));
    EXPECT_EQ(v["routing_domain"], "7d000000-0000-0000-0000-000000000001");
    EXPECT_EQ(v["mac_limit"], 4096);
    ASSERT_EQ(v["remote_vteps"].size(), 2u);
    EXPECT_EQ(v["remote_vteps"][1]["ip"], "10.0.0.2");
    ASSERT_EQ(v["remote_macs"].size(), 2u);
    EXPECT_EQ(v["remote_macs"][1]["vtep"], "10.0.0.2");
    EXPECT_EQ(v["remote_ips"][0],
              (nlohmann::json{{"ip", "192.168.0.1"}, {"mac", "00:50:56:00:00:01"}}));
    EXPECT_EQ(d["stats"]["spurious_removals"], 1);
    nlohmann::json summary = nlohmann::json::parse(commands.Run("dpemu/vxlan-summary", {}).text);
    EXPECT_EQ(summary["remote_macs"], 2);
    EXPECT_EQ(summary["remote_vteps"], 2);
    EXPECT_EQ(summary["remote_ips"], 1);
    EXPECT_EQ(summary["joined_vnis"], nlohmann::json::array({5001}));

    Receive(Session(1, 8));
    d = Dump();
    EXPECT_TRUE(d["vnis"]["5001"]["remote_macs"].empty());
    EXPECT_TRUE(d["vnis"]["5001"]["link"].is_null());
    EXPECT_EQ(d["vnis"]["5001"]["joined"], true);
}

// Routing domains (per-switch lists, remote state per domain) and VTEP groups with their
// bindings; a leave drops a domain, a group delete drops its bindings, a Session Open all of it.
TEST_F(VxlanFamilyTest, DomainsAndGroupsAreKeptPerSession) {
    JoinAndOpen();
    const Bytes rd1 = H("7d 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01");
    const Bytes rd2 = H("7d 00 00 00 00 00 00 00 00 00 00 00 00 00 00 02");
    Receive(Msg(5, Tlv(10, Cat({U32(7), H("00"), rd1, rd2}))));
    // Group 100: two members; bound to VNI 5001 and to domain 1.
    Receive(Msg(8, Cat({U32(100), H("01 01 01 00"), U32(5), H("0a 00 01 01"), HostType(1),
                        Zeros(16), U32(6), H("0a 00 01 02"), HostType(1), Zeros(16)})));
    Receive(Msg(14, Cat({U32(7), rd1, H("01 00 00 00"), VtepV4(1, 11), VtepV4(2, 12)})));
    Receive(Msg(14, Cat({U32(7), rd1, H("01 00 00 01"), VtepV4(1, 11)})));
    Receive(Msg(9, Cat({U32(7), U32(5001), U32(100), H("01")})));
    Receive(Msg(10, Cat({rd1, U32(100), H("01")})));
    Receive(Msg(14, Cat({U32(7), rd2, H("01 00")})));
    nlohmann::json d = Dump();
    ASSERT_EQ(Errors(), 0u) << d["errors"].dump();
    EXPECT_EQ(d["routing_domains"]["7"],
              nlohmann::json::array({"7d000000-0000-0000-0000-000000000001",
                                     "7d000000-0000-0000-0000-000000000002"}));
    const nlohmann::json& r1 = d["remote_routing_domains"]["7d000000-0000-0000-0000-000000000001"];
    ASSERT_EQ(r1["remote_vteps"].size(), 1u);
    EXPECT_EQ(r1["remote_vteps"][0]["ip"], "10.0.0.2");
    EXPECT_EQ(r1["vtep_groups"], nlohmann::json::array({100}));
    EXPECT_EQ(d["vtep_groups"]["100"]["members"][1]["ip"], "10.0.1.2");
    EXPECT_EQ(d["vnis"]["5001"]["vtep_groups"], nlohmann::json::array({100}));

    // Domain 2 leaves; group 100 is deleted and its bindings go with it.
    Receive(Msg(14, Cat({U32(7), rd2, H("02 00")})));
    Receive(Msg(8, Cat({U32(100), H("02 01 01 00")})));
    d = Dump();
    ASSERT_EQ(Errors(), 0u) << d["errors"].dump();
    EXPECT_EQ(d["remote_routing_domains"].size(), 1u);
    EXPECT_TRUE(d["vtep_groups"].empty());
    EXPECT_TRUE(d["vnis"]["5001"]["vtep_groups"].empty());
    EXPECT_EQ(d["stats"]["spurious_removals"], 0);

    // Bindings to an unknown group, a domain never joined, a switch not on this host, counts
    // that do not match.
    const char* reasons[] = {"unknown group 100", "which was never joined", "unknown switch 9",
                             "do not fit its layout"};
    const Bytes bad[] = {Msg(9, Cat({U32(7), U32(5001), U32(100), H("01")})),
                         Msg(10, Cat({rd2, U32(100), H("01")})),
                         Msg(14, Cat({U32(9), rd2, H("01 00")})),
                         Msg(14, Cat({U32(7), rd2, H("01 00 00 02"), VtepV4(1, 11)}))};
    for (size_t i = 0; i < 4; ++i) {
        Receive(bad[i]);
        ASSERT_EQ(Errors(), i + 1);
        EXPECT_THAT(LastError(), HasSubstr(reasons[i]));
    }

    Receive(Session(1, 8));
    d = Dump();
    EXPECT_TRUE(d["routing_domains"].empty());
    EXPECT_TRUE(d["remote_routing_domains"].empty());
}

// A query goes out as the layout spells it and the agent's reply is kept; the global replication
// mode is kept per switch instance.
TEST_F(VxlanFamilyTest, QueriesAndGlobalReplication) {
    Run("dpemu/vxlan-instance", {"add", "7"});
    Run("dpemu/vxlan-join", {"7", "5001"});
    Receive(kOpen7);
    Sent().clear();
    Run("dpemu/vxlan-query", {"mac", "5001", "00:50:56:00:00:01", "00:50:56:00:00:09"});
    EXPECT_EQ(
        Sent(),
        Msgs{Msg(6, Tlv(4, Cat({U32(7), U32(5001), H("00 50 56 00 00 01 00 50 56 00 00 09")})))});
    Receive(Update({MacTlv(7, 5001, {}, {MacV4(1, 3)})}));
    nlohmann::json d = Dump();
    EXPECT_EQ(d["last_query_reply"]["messages"], 1);
    ASSERT_EQ(d["last_query_reply"]["entries"].size(), 1u);
    EXPECT_EQ(d["last_query_reply"]["entries"][0]["vtep"], "10.0.0.3");

    Sent().clear();
    Run("dpemu/vxlan-query", {"arp", "5001", "192.168.0.1"});
    EXPECT_EQ(Sent(), Msgs{Msg(6, Tlv(6, Cat({U32(7), U32(5001), H("c0 a8 00 01")})))});
    const Bytes arp = Cat({H("c0 a8 00 01 0a 00 00 03 00 50 56 00 00 01 02 00 00 00 00 03"),
                           HostType(1), Zeros(16), Zeros(4)});
    Receive(Msg(5, Tlv(6, Cat({U32(7), U32(5001), arp}))));
    EXPECT_EQ(Dump()["last_query_reply"]["entries"][0],
              (nlohmann::json{
                  {"address", "192.168.0.1"}, {"mac", "00:50:56:00:00:01"}, {"vtep", "10.0.0.3"}}));
    EXPECT_FALSE(commands.Run("dpemu/vxlan-query", {"nd", "5001", "10.0.0.1"}).ok);

    // A neighbour reply nobody asked for; replication for a switch that is not an instance.
    Receive(Msg(5, Tlv(7, Cat({U32(7), U32(5001)}))));
    Receive(H("00 10 00 09 00 00 00 08 02"));
    Receive(H("00 10 00 09 00 00 00 07 02"));
    d = Dump();
    ASSERT_EQ(d["errors"].size(), 2u) << d["errors"].dump();
    EXPECT_THAT(d["errors"][0].get<std::string>(), HasSubstr("without a query"));
    EXPECT_THAT(d["errors"][1].get<std::string>(), HasSubstr("not an instance"));
    EXPECT_EQ(d["global_replication"], (nlohmann::json{{"7", 2}}));
    Receive(Session(1, 8));
    EXPECT_TRUE(Dump()["global_replication"].empty());
}

// State for a VNI the host did not join, or under another switch, is refused whole.
TEST_F(VxlanFamilyTest, RemoteStateOfAnotherVniIsRefused) {
    JoinAndOpen();
    struct Case {
        Bytes msg;
        const char* reason;
    };
    const Case cases[] = {
        {Update({MacTlv(7, 5002, {}, {MacV4(1, 1)})}), "VM MAC Update for VNI 5002, which is not"},
        {Update({MacTlv(7, 5001, {}, {MacV4(1, 1)}), MacTlv(8, 5001, {}, {MacV4(2, 1)})}),
         "under switch 8; it is joined on switch 7"},
        {H("00 03 00 0d 00 00 00 07 00 00 13 89 02"), "only a join confirmation"},
        {H("00 04 00 0f 00 00 00 07 00 00 00 13 8a 01 00"), "Link Change for VNI 5002"},
        {Cat({H("03 e9 00 24 00 00 00 07 00 00 13 89 0a 01 02 03"), HostType(4), Zeros(16)}),
         "address type 4"},
        {Msg(2, Tlv(261, Cat({U32(7), U32(5002), U32(1)}))), "Configure: mac_limit for VNI 5002"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        size_t before = Errors();
        Receive(c.msg);
        ASSERT_EQ(Errors(), before + 1);
        EXPECT_THAT(LastError(), HasSubstr(c.reason));
    }
    EXPECT_TRUE(Dump()["vnis"]["5001"]["remote_macs"].empty()) << "the good TLV is not applied";
}

// Whatever the agent sends that does not fit is refused with its reason and changes nothing.
struct BadInput {
    const char* name;
    Bytes msg;
    const char* reason;
};

class VxlanFamilyBadInputTest : public VxlanFamilyTest,
                                public ::testing::WithParamInterface<BadInput> {};

TEST_P(VxlanFamilyBadInputTest, IsRefusedWithItsReason) {
    Receive(GetParam().msg);
    nlohmann::json d = Dump();
    ASSERT_EQ(d["errors"].size(), 1u) << d.dump();
    EXPECT_THAT(d["errors"][0].get<std::string>(), HasSubstr(GetParam().reason));
    EXPECT_TRUE(d["settings"].is_null());
    EXPECT_EQ(d["session"]["opens"], 0);
    EXPECT_TRUE(Sent().empty());
}

const BadInput kBadInputs[] = {
    {"OverMaximum", Msg(5, Cat({Tlv(4, Cat({U32(7), U32(1), U16(0)})), Zeros(4080)})),
     "exceeds the agent's maximum of 4085"},
    {"QueryFromAgent", Msg(6, Tlv(4, Cat({U32(7), U32(1)}))), "Query (type 6) is not sent"},
    {"UnknownType", Msg(99, H("00")), "unknown (type 99) is not sent"},
    {"TruncatedJoin", H("00 03 00 0c 00 00 00 07 00 00 13 89"), "do not fit its layout"},
    {"OverCountedMacs", Msg(5, Tlv(4, Cat({U32(7), U32(1), U16(2), MacV4(1, 1)}))),
     "counts do not match"},
    {"TlvPastEnd", Msg(5, H("00 04 00 40 00 00 00 07")), "TLV at offset 4 does not fit"},
    {"UnknownItem", Msg(2, Cat({Tlv(1, H("0f f5")), Tlv(2, H("00 01"))})), "item 2 (unknown)"},
    {"SmallMaximum", Msg(2, Tlv(1, H("00 10"))), "is below 256"},
    {"ShortSession", H("00 0d 00 0c 00 01 00 08 01 00 00 00"), "Session control: malformed"},
    {"AckFromAgent", Session(2, 7), "unexpected control type Open ACK"},
    {"ReportedRdVteps", Update({RdVtepTlv(7, {})}), "data type 9 is reported by the dataplane"},
};

INSTANTIATE_TEST_SUITE_P(Agent, VxlanFamilyBadInputTest, ::testing::ValuesIn(kBadInputs),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VxlanFamilyTest, StateQueryOutOfSyncAndRaw) {
    Receive(H("00 0b 00 08 00 01 00 04"));
    EXPECT_EQ(Sent(), Msgs{StateReport(1, H("00"))});

    Sent().clear();
    EXPECT_TRUE(family.OutOfSync({}).ok);
    EXPECT_TRUE(family.OutOfSync({"2", "0"}).ok);
    EXPECT_FALSE(family.OutOfSync({"70000"}).ok);
    EXPECT_EQ(Sent(), (Msgs{StateReport(1, H("01")), StateReport(2, H("00"))}));

    Receive(kOpen7);
    Sent().clear();
    Run("dpemu/vxlan-raw", {"000c000a00010006 0000"});
    EXPECT_EQ(Sent(), Msgs{StateReport(1, H("00 00"))});
    EXPECT_EQ(Errors(), 0u);
}

// A TEP alarm goes out as the layout spells it, in a session or not; bad arguments are refused.
TEST_F(VxlanFamilyTest, TepAlarmsAreSentAsTheLayoutSpellsThem) {
    Run("dpemu/vxlan-tep-alarm", {"vmk1", "down", "fault", "5"});
    EXPECT_EQ(
        Sent(),
        Msgs{Cat({H("00 11 00 58"), Field("vmk1", 16), Field("dvs-1", 64), H("01 02 05 00")})})
        << "no session: the alarm goes to the connected agent";
    Receive(kOpen7);
    Sent().clear();
    Run("dpemu/vxlan-tep-alarm", {"vmk12", "up", "ha-active"});
    Run("dpemu/vxlan-tep-alarm", {"vmk3", "degraded", "auto-recovery", "0"});
    EXPECT_EQ(
        Sent(),
        (Msgs{Cat({H("00 11 00 58"), Field("vmk12", 16), Field("dvs-1", 64), H("02 01 00 00")}),
              Cat({H("00 11 00 58"), Field("vmk3", 16), Field("dvs-1", 64), H("03 03 00 00")})}));
    EXPECT_EQ(Dump()["stats"]["tep_alarms"], 3);
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"vmk1", "sideways", "fault"},
          {"vmk1", "down", "panic"},
          {"vmk1", "down", "fault", "256"},
          {"vmk1", "down", "fault", "x"},
          {"vmk0123456789abcd", "down", "fault"}}) {
        EXPECT_FALSE(commands.Run("dpemu/vxlan-tep-alarm", bad).ok) << bad[0] << " " << bad[1];
    }
    EXPECT_EQ(Sent().size(), 2u);
    channel.conns.clear();
    family.OnDisconnect(1);
    EXPECT_FALSE(commands.Run("dpemu/vxlan-tep-alarm", {"vmk1", "down", "fault"}).ok)
        << "no agent connected";
}

// A BFD session TLV (data type 11) spelled from the layout: switch 7, IPv4 10.0.1.x -> 10.0.2.1,
// family 0, VNI `vni`, routing domain byte `rd` in the last UUID byte (0: none), label 0.
Bytes BfdTlv(uint16_t op, uint32_t vni, uint8_t x = 1, uint8_t rd = 0, uint8_t family = 0) {
    Bytes rdBytes = Zeros(16);
    rdBytes[15] = rd;
    return Tlv(11, Cat({U32(7), U16(op), Bytes{10, 0, 1, x}, Zeros(12), Bytes{10, 0, 2, 1},
                        Zeros(12), Bytes{family}, U32(vni), rdBytes, U32(0)}));
}
// Item 8 of DVS "dvs-a" and item 9, with their flags and values.
Bytes BfdItem(uint8_t flags, uint8_t enable, uint32_t interval, uint8_t latency) {
    return Tlv(8, Cat({H("64 76 73 2d 61"), Zeros(43), Bytes{latency, flags, enable}, Zeros(2),
                       U32(interval), Zeros(8)}));
}
Bytes EvpnItem(uint8_t flags, uint8_t enable, uint32_t interval, uint32_t multiplier) {
    return Tlv(9, Cat({Zeros(4), Bytes{flags, enable}, Zeros(2), U32(interval), U32(multiplier),
                       Zeros(4)}));
}

TEST_F(VxlanFamilyTest, BfdSessionsAreKeyedBySwitchAndEntry) {
    Run("dpemu/vxlan-join", {"7", "5001"});
    Run("dpemu/vxlan-join", {"7", "5002"});
    Receive(kOpen7);
    // The same endpoints on two VNIs, and with a routing domain: three sessions.
    Receive(Update({BfdTlv(0, 5001)}));
    Receive(Update({BfdTlv(0, 5002)}));
    Receive(Update({BfdTlv(0, 5001, 1, 9)}));
    nlohmann::json d = Dump();
    ASSERT_EQ(Errors(), 0u) << d["errors"].dump();
    ASSERT_EQ(d["bfd_sessions"].size(), 3u);
    EXPECT_EQ(d["bfd_sessions"][0], (nlohmann::json{{"switch_id", 7},
                                                    {"local_ip", "10.0.1.1"},
                                                    {"remote_ip", "10.0.2.1"},
                                                    {"family", "ipv4"},
                                                    {"vni", 5001},
                                                    {"routing_domain", nullptr},
                                                    {"group_label", 0}}));
    EXPECT_EQ(nlohmann::json::parse(commands.Run("dpemu/vxlan-summary", {}).text)["bfd_sessions"],
              3);
    // A second add of a present session is counted; removing one VNI's leaves the other.
    Receive(Update({BfdTlv(0, 5001)}));
    EXPECT_EQ(Dump()["stats"]["bfd_dup_adds"], 1);
    Receive(Update({BfdTlv(1, 5001)}));
    EXPECT_EQ(Dump()["bfd_sessions"].size(), 2u);
    EXPECT_EQ(Errors(), 0u);
    // Removing it again is an error: the dataplane does not hold it.
    Receive(Update({BfdTlv(1, 5001)}));
    ASSERT_EQ(Errors(), 1u);
    EXPECT_THAT(LastError(),
                HasSubstr("removal of BFD session 10.0.1.1 on VNI 5001, which is not programmed"));
    // A leave drops the VNI's sessions; a Session Open all of them.
    Run("dpemu/vxlan-leave", {"5002"});
    EXPECT_EQ(Dump()["bfd_sessions"].size(), 1u);
    Receive(Session(1, 8));
    EXPECT_TRUE(Dump()["bfd_sessions"].empty());
}

TEST_F(VxlanFamilyTest, BfdItemsChangeOnlyTheFlaggedFields) {
    Receive(kOpen7);
    Receive(Msg(2, BfdItem(0x07, 1, 1000, 1)));
    Receive(Msg(2, EvpnItem(0x01, 1, 0, 0)));
    nlohmann::json d = Dump();
    ASSERT_EQ(Errors(), 0u) << d["errors"].dump();
    EXPECT_EQ(
        d["bfd_config"]["dvs-a"],
        (nlohmann::json{{"enable", 1}, {"vtep_health_interval", 1000}, {"latency_enable", 1}}));
    EXPECT_EQ(d["evpn_bfd"],
              (nlohmann::json{
                  {"enable", 1}, {"vtep_health_interval", nullptr}, {"multiplier", nullptr}}));
    // Only the interval flagged: enable and latency keep their values although the bytes are 0.
    Receive(Msg(2, BfdItem(0x02, 0, 2000, 0)));
    Receive(Msg(2, EvpnItem(0x08, 0, 77, 3)));
    d = Dump();
    EXPECT_EQ(
        d["bfd_config"]["dvs-a"],
        (nlohmann::json{{"enable", 1}, {"vtep_health_interval", 2000}, {"latency_enable", 1}}));
    EXPECT_EQ(
        d["evpn_bfd"],
        (nlohmann::json{{"enable", 1}, {"vtep_health_interval", nullptr}, {"multiplier", 3}}));
    Receive(Session(1, 8));
    EXPECT_TRUE(Dump()["bfd_config"].empty());
    EXPECT_TRUE(Dump()["evpn_bfd"].is_null());
}

const BadInput kBadBfd[] = {
    {"BfdSessionOfAVniNotJoined", Update({BfdTlv(0, 5009)}),
     "BFD Session Update for VNI 5009, which is not joined"},
    {"BfdSessionWrongFamily", Update({BfdTlv(0, 5001, 1, 0, 2)}), "does not fit its layout"},
    {"BfdSessionTruncated", Update({Tlv(11, Cat({U32(7), U16(0), Zeros(56)}))}),
     "BFD Session Update of 62 bytes"},
    {"BfdItemFlagBit3", Msg(2, BfdItem(0x08, 1, 0, 0)), "bfd item with non-zero reserved"},
    {"EvpnItemFlagBit2", Msg(2, EvpnItem(0x04, 1, 0, 0)), "evpn_global_bfd item with non-zero"},
    {"EvpnItemShort", Msg(2, Tlv(9, Zeros(16))), "item 9 (evpn_global_bfd) with a value of 16"},
};

INSTANTIATE_TEST_SUITE_P(Bfd, VxlanFamilyBadInputTest, ::testing::ValuesIn(kBadBfd),
                         [](const auto& info) { return std::string(info.param.name); });

// When the session opened and when the agent's Updates last changed the remote VTEPs and the BFD
// sessions, on the monotonic clock: set by the arrivals that change them, left by the rest.
TEST_F(VxlanFamilyTest, SummaryTellsWhenTheSessionOpenedAndTheRemoteStateLastChanged) {
    Run("dpemu/vxlan-join", {"7", "5001"});
    auto summary = [&] {
        return nlohmann::json::parse(commands.Run("dpemu/vxlan-summary", {}).text);
    };
    nlohmann::json s = summary();
    EXPECT_EQ(s["session"]["opened_ms"], 0.0);
    EXPECT_EQ(s["changed_ms"]["remote_vteps"], 0.0);
    EXPECT_EQ(s["changed_ms"]["bfd_sessions"], 0.0);

    // The summary's time at `path` after `msg` arrives: within the arrival's bounds.
    auto stampedBy = [&](const Bytes& msg, const char* group, const char* key) {
        const double before = SteadyMs();
        Receive(msg);
        const double after = SteadyMs();
        s = summary();
        const double at = s[group][key].get<double>();
        EXPECT_GE(at, before) << key;
        EXPECT_LE(at, after) << key;
        return at;
    };
    const double opened = stampedBy(kOpen7, "session", "opened_ms");
    const double vteps =
        stampedBy(Update({VtepTlv(7, 5001, {}, {VtepV4(9, 21)})}), "changed_ms", "remote_vteps");
    EXPECT_EQ(s["changed_ms"]["bfd_sessions"], 0.0) << "no BFD session yet";

    // MACs alone, a refused Update and a BFD session leave the VTEPs' time as it was.
    Receive(Update({MacTlv(7, 5001, {}, {MacV4(1, 3)})}));
    Receive(Update({BfdTlv(1, 5001)}));  // the removal of an absent session: refused
    ASSERT_EQ(Errors(), 1u);
    EXPECT_EQ(summary()["changed_ms"]["bfd_sessions"], 0.0) << "a refused Update changes nothing";
    stampedBy(Update({BfdTlv(0, 5001)}), "changed_ms", "bfd_sessions");
    EXPECT_EQ(s["changed_ms"]["remote_vteps"].get<double>(), vteps);
    EXPECT_EQ(s["session"]["opened_ms"].get<double>(), opened);

    // A removal is a change too.
    stampedBy(Update({VtepTlv(7, 5001, {VtepV4(9, 21)}, {})}), "changed_ms", "remote_vteps");
    EXPECT_EQ(s["remote_vteps"], 0);
}

}  // namespace
}  // namespace ozy::dpemu
