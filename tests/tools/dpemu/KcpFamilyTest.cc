// The KCP host side driven directly, with hand-written messages and a recording channel.
#include <gtest/gtest.h>

#include <map>

#include <nlohmann/json.hpp>

#include "dataplane/KcpBuilders.h"
#include "dataplane/KcpPropertyTable.h"
#include "tests/dataplane/KcpVectors.h"
#include "tests/support/LogCapture.h"
#include "tests/tools/dpemu/RecordingChannel.h"
#include "tools/ozy-dpemu/KcpFamily.h"
#include "tools/ozy-dpemu/TarpFamily.h"

namespace ozy::dpemu {
namespace {

using namespace CfgAgent::test;
using namespace CfgAgent::test::kcpvec;
namespace kcp = CfgAgent::kcp;
using Msgs = std::vector<CfgAgent::DpMsg>;

// A VIF Update of one record sent while the session is open: the record's head and its status
// property (1 connected, 2 disconnected).
Bytes VifUpdate(const std::string& vif, const std::string& port, const std::string& sw,
                const std::string& parent, uint8_t type, uint8_t smartNic, uint8_t status = 1) {
    return Update(
        0, Element(kcp::kVifUpdate, Cat({Bytes{kcp::kOpUpdate},
                                         VifHead(vif, port, sw, parent, type, smartNic, 0, 218),
                                         Bytes{0x00, 0x01, 0x00, 0x05, status}})));
}

class KcpFamilyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        family.Attach(&channel);
        family.RegisterCommands(commands);
        family.OnConnect(1);
    }
    void Receive(const Bytes& msg, uint64_t conn = 1) {
        family.OnMessage(conn, msg.data(), msg.size());
    }
    nlohmann::json Dump() const { return family.Dump(); }
    Msgs& Sent(uint64_t conn = 1) { return channel.sent[conn]; }
    // VIFs vif-0 .. vif-(n-1) connected.
    void ConnectVifs(int n) {
        for (int i = 0; i < n; ++i) {
            ASSERT_TRUE(commands
                            .Run("dpemu/vif-connect",
                                 {"vif-" + std::to_string(i), "port", "dvs", "00:00:00:00:00:01"})
                            .ok);
        }
    }

    CfgAgent::test::LogCapture cap{CfgAgent::kLogInfo};
    test::RecordingChannel channel{"ozy_kcp_krnlink", {1}};
    test::CommandRecorder commands;
    KcpFamily family;
};

TEST_F(KcpFamilyTest, SessionOpenIsAcknowledgedWithConnectedVifsThenFullSyncEnd) {
    ASSERT_TRUE(
        commands.Run("dpemu/vif-connect", {"vif-1", "port-1", "dvs-1", "00:50:56:00:00:01"}).ok);
    ASSERT_TRUE(commands.Run("dpemu/vif-connect", {"vif-2", "port-2", "dvs-1"}).ok);
    EXPECT_TRUE(Sent().empty());  // no session yet

    Receive(H("00 05 00 0f 00 01 00 0b 01 00 00 00 07 28 00"));
    Bytes status = H("00 01 00 05 01");
    Bytes vif1Props = Cat({status, H("00 02 00 0a 00 50 56 00 00 01")});
    EXPECT_EQ(
        Sent(),
        (Msgs{H("00 05 00 0f 00 01 00 0b 02 00 00 00 07 00 00"),
              Update(0, Element(kcp::kVifUpdate,
                                Cat({Bytes{kcp::kOpFullSync},
                                     VifHead("vif-1", "port-1", "dvs-1", "", 1, 0, 0,
                                             213 + vif1Props.size()),
                                     vif1Props,
                                     VifHead("vif-2", "port-2", "dvs-1", "", 1, 0, 0, 213 + 5),
                                     status}))),
              H("00 05 00 0f 00 01 00 0b 03 00 00 00 07 00 00")}));
    nlohmann::json d = Dump();
    EXPECT_EQ(d["session"]["state"], "synced");
    EXPECT_EQ(d["session"]["id"], 7);

    // While the session is open, connects and disconnects are sent at once.
    Sent().clear();
    CommandResult r = commands.Run("dpemu/vif-disconnect", {"vif-2"});
    EXPECT_TRUE(r.ok) << r.text;
    EXPECT_EQ(Sent(), Msgs{VifUpdate("vif-2", "port-2", "dvs-1", "", 1, 0, 2)});
    EXPECT_FALSE(commands.Run("dpemu/vif-disconnect", {"vif-2"}).ok);
    EXPECT_EQ(Dump()["connected_vifs"].size(), 1u);

    // A new session (the agent reconnected) gets the current VIFs again.
    family.OnDisconnect(1);
    EXPECT_EQ(Dump()["session"]["state"], "idle");
    channel.conns = {2};
    family.OnConnect(2);
    Receive(H("00 05 00 0f 00 01 00 0b 01 00 00 00 08 28 00"), 2);
    ASSERT_EQ(Sent(2).size(), 3u);
    EXPECT_EQ(Dump()["session"]["opened"], 2);
}

TEST_F(KcpFamilyTest, InjectionCommandsCheckTheirArguments) {
    EXPECT_FALSE(commands.Run("dpemu/vif-connect", {"vif-1", "p", "s", "00:50:56:00:00"}).ok);
    EXPECT_FALSE(commands.Run("dpemu/vif-connect", {"vif-1", "p", "s", "00-50-56-00-00-01"}).ok);
    EXPECT_FALSE(commands.Run("dpemu/vif-connect", {std::string(48, 'v'), "p", "s"}).ok);
    EXPECT_FALSE(commands.Run("dpemu/vif-connect", {"v", "p", std::string(64, 's')}).ok);
    EXPECT_TRUE(Dump()["connected_vifs"].empty());
    kcp::MacAddr mac;
    EXPECT_TRUE(ParseMac("AA:bb:0c:dd:ee:FF", &mac));
    EXPECT_EQ(mac, (kcp::MacAddr{0xaa, 0xbb, 0x0c, 0xdd, 0xee, 0xff}));
    EXPECT_FALSE(ParseMac("aa:bb:cc:dd:ee:fg", &mac));
}

TEST_F(KcpFamilyTest, VifConnectWithFilterAlsoCreatesTheVifsFilter) {
    TarpFamily tarp;
    EXPECT_FALSE(commands.Run("dpemu/vif-connect", {"vif-1", "p1", "s", "filter"}).ok)
        << "no firewall family yet";
    family.FindPeers([&](const std::string& name) -> FamilyHandler* {
        return name == "filter" ? &tarp : nullptr;
    });
    const struct {
        std::vector<std::string> args;
        bool ok;
        const char* filterLsp;  // the filter named after the VIF, nullptr: none
    } cases[] = {
        {{"vif-1", "p1", "s", "02:00:00:00:00:01", "filter"}, true, "p1"},
        {{"vif-2", "p2", "s", "--type", "vnic", "filter"}, true, "p2"},
        {{"vif-3", "p3", "s"}, true, nullptr},
        {{"vif-1", "p1", "s", "filter"}, false, "p1"},  // its filter exists
        {{"vif-4", "p4", "s", "filter", "--type", "vnic"}, false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        EXPECT_EQ(commands.Run("dpemu/vif-connect", c.args).ok, c.ok);
        const tarp::Filter* f = tarp.State().FindFilter(c.args[0]);
        ASSERT_EQ(f != nullptr, c.filterLsp != nullptr);
        if (f != nullptr) {
            EXPECT_EQ(f->vif, c.args[0]);
            EXPECT_EQ(f->lsp, c.filterLsp);
            EXPECT_EQ(f->agent, "orvane-sfw");
        }
    }
    EXPECT_EQ(Dump()["connected_vifs"].size(), 3u);
}

// VIF types and parents in the VIF record (bytes 208 and 160), written from the layout.
TEST_F(KcpFamilyTest, VifTypesAndParentsReachTheVifRecord) {
    Receive(H("00 05 00 0f 00 01 00 0b 01 00 00 00 07 28 00"));
    Sent().clear();
    CommandResult r = commands.Run("dpemu/vif-connect", {"cvif-1", "cport", "dvs-1", "--type",
                                                         "container", "--parent", "vif-1"});
    ASSERT_TRUE(r.ok) << r.text;
    ASSERT_TRUE(commands.Run("dpemu/vif-connect", {"k0", "k0", "dvs-1", "--type", "krnnic"}).ok);
    EXPECT_EQ(Dump()["connected_vifs"]["cvif-1"]["type"], "container");
    EXPECT_EQ(Dump()["connected_vifs"]["cvif-1"]["parent_vif_id"], "vif-1");
    // --smartnic: the record's SmartNIC flag, byte 209 of the record (byte 219 of the message:
    // header 4, flag 1, element head 4, operation 1).
    ASSERT_TRUE(commands.Run("dpemu/vif-connect", {"s1", "sp", "dvs-1", "--smartnic"}).ok);
    EXPECT_EQ(Sent(), (Msgs{VifUpdate("cvif-1", "cport", "dvs-1", "vif-1", 3, 0),
                            VifUpdate("k0", "k0", "dvs-1", "", 2, 0),
                            VifUpdate("s1", "sp", "dvs-1", "", 1, 1)}));
    ASSERT_EQ(Sent().size(), 3u);
    ASSERT_GT(Sent()[2].size(), 220u);
    EXPECT_EQ(Sent()[2][218], 0x01) << "VIF type VNIC";
    EXPECT_EQ(Sent()[2][219], 0x01) << "SmartNIC flag";
    EXPECT_EQ(Sent()[2][220], 0x00) << "hopover flag";
    EXPECT_EQ(Dump()["connected_vifs"]["s1"]["smartnic"], true);
    EXPECT_EQ(Dump()["connected_vifs"]["cvif-1"]["smartnic"], false);

    // Refused: a container without its parent, a parent for another type, unknown types and
    // options, options before the positional arguments, a parent too long.
    const std::vector<std::vector<std::string>> bad = {
        {"c", "p", "s", "--type", "container"},
        {"c", "p", "s", "--parent", "vif-1"},
        {"c", "p", "s", "--type", "vnic", "--parent", "vif-1"},
        {"c", "p", "s", "--type", "sriov"},
        {"c", "p", "s", "--color", "red"},
        {"c", "p", "s", "--type"},
        {"c", "p", "--type", "vnic", "s"},
        {"c", "p", "s", "--type", "vnic", "--type", "krnnic"},
        {"c", "p", "s", "--type", "container", "--parent", std::string(48, 'v')},
        {"c", "p", "--smartnic", "s"},
        {"c", "p", "s", "--smartnic", "--smartnic"},
    };
    for (const auto& args : bad)
        EXPECT_FALSE(commands.Run("dpemu/vif-connect", args).ok) << args.size();
    EXPECT_EQ(Sent().size(), 3u);
    EXPECT_FALSE(Dump()["connected_vifs"].contains("c"));
}

// The kernel NIC registry: krnnic-add sets the address (answered by the vswitch device) and
// connects the NIC's VIF unless it is connected already; krnnic-del undoes both.
TEST_F(KcpFamilyTest, KrnnicAddAndDelFollowTheVif) {
    Receive(H("00 05 00 0f 00 01 00 0b 01 00 00 00 07 28 00"));
    Sent().clear();
    CommandResult r =
        commands.Run("dpemu/krnnic-add", {"conduitKrnnic0", "169.254.1.1", "255.255.255.0", "s1"});
    ASSERT_TRUE(r.ok) << r.text;
    EXPECT_EQ(Sent(), Msgs{VifUpdate("conduitKrnnic0", "conduitKrnnic0", "s1", "", 2, 0)});
    SharedDevice dev = family.Device();
    ASSERT_NE(dev.handler, nullptr);
    EXPECT_EQ(dev.name, "vswitch");
    std::vector<uint8_t> name(16, 0);
    std::string n = "conduitKrnnic0";
    std::copy(n.begin(), n.end(), name.begin());
    IoctlResult a = dev.handler->Ioctl(ozy::device::kVswitchGetKrnnicAddr, name.data(), 16);
    EXPECT_EQ(a.payload, (std::vector<uint8_t>{0xa9, 0xfe, 0x01, 0x01, 0xff, 0xff, 0xff, 0x00}));
    // Again with a new address: the VIF stays connected, nothing is sent.
    ASSERT_TRUE(
        commands.Run("dpemu/krnnic-add", {"conduitKrnnic0", "169.254.2.1", "255.255.255.0", "s1"})
            .ok);
    EXPECT_EQ(Sent().size(), 1u);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"k", "169.254.1", "255.255.255.0", "s1"},
             {"k", "169.254.1.1", "255.255.255.0x", "s1"},
             {"k", "169.254.1.1", "255.255.255.0", std::string(64, 's')},
             {std::string(16, 'k'), "169.254.1.1", "255.255.255.0", "s1"}}) {
        EXPECT_FALSE(commands.Run("dpemu/krnnic-add", args).ok) << args[0] << " " << args[1];
    }
    EXPECT_EQ(Dump()["connected_vifs"].size(), 1u);

    r = commands.Run("dpemu/krnnic-del", {"conduitKrnnic0"});
    ASSERT_TRUE(r.ok) << r.text;
    ASSERT_EQ(Sent().size(), 2u);
    EXPECT_TRUE(Dump()["connected_vifs"].empty());
    EXPECT_EQ(dev.handler->Ioctl(ozy::device::kVswitchGetKrnnicAddr, name.data(), 16).status,
              uint32_t(ENOENT));
    EXPECT_FALSE(commands.Run("dpemu/krnnic-del", {"conduitKrnnic0"}).ok);
}

// A Container record that announces more entries than it holds ends the walk (logged).
TEST_F(KcpFamilyTest, ShortContainerRecordEndsTheWalk) {
    Receive(Update(0, Element(kcp::kContainerUpdate,
                              Cat({Field("cif-1", 48), Field("cport", 48), Field("vmport", 48),
                                   Field("vmvif", 48), H("00 0a 02 00 00 00 00 01 00 02"),
                                   ContainerEntryV4()}))));
    nlohmann::json d = Dump();
    EXPECT_FALSE(d["containers"].contains("cif-1"));
    ASSERT_EQ(d["errors"].size(), 1u);
    EXPECT_EQ(d["errors"][0], "Container Update: malformed record, rest of the element ignored");
}

TEST_F(KcpFamilyTest, OutOfSyncReportsAndQueries) {
    ASSERT_TRUE(family.OutOfSync({}).ok);
    ASSERT_TRUE(family.OutOfSync({"port", "vif-7"}).ok);
    ASSERT_TRUE(family.OutOfSync({"krnnic", "vmk1"}).ok);
    ASSERT_TRUE(family.OutOfSync({"hopover", "vif-8", "3"}).ok);
    EXPECT_FALSE(family.OutOfSync({"hopover", "vif-8", "4"}).ok);
    EXPECT_FALSE(family.OutOfSync({"bogus"}).ok);
    EXPECT_EQ(Sent(), (Msgs{H("00 03 00 09 00 01 00 05 01"),
                            Cat({H("00 03 00 38 00 02 00 34"), Field("vif-7", 48)}),
                            Cat({H("00 03 00 18 00 03 00 14"), Field("vmk1", 16)}),
                            Cat({H("00 03 00 3a 00 04 00 36"), Field("vif-8", 48), H("00 03")})}));
    EXPECT_EQ(Dump()["session"]["dp_status"], "OutOfSync");

    Receive(H("00 04 00 08 00 01 00 04"));
    EXPECT_EQ(Sent().back(), H("00 03 00 09 00 01 00 05 01"));
    // A new session clears it.
    Receive(H("00 05 00 0f 00 01 00 0b 01 00 00 00 09 28 00"));
    Receive(H("00 04 00 08 00 01 00 04"));
    EXPECT_EQ(Sent().back(), H("00 03 00 09 00 01 00 05 00"));

    channel.conns.clear();
    family.OnDisconnect(1);
    CommandResult r = family.OutOfSync({});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.text, "no agent connected on ozy_kcp_krnlink");
}

TEST_F(KcpFamilyTest, UpdatesProgramPortKrnnicAndSwitchTables) {
    Bytes vni = H("00 04 00 08 00 00 13 88");
    Bytes block = H("00 01 00 05 01");
    Bytes trunk = H("00 06 00 0c 00 0a 00 14 00 64 00 c8");
    Bytes mirror =
        Cat({H("00 32"), U16(4 + 64 + 1 + 1 + 4 + 4 + 4 + 2 + 1 + 17 + 48),
             Field("LocalPortSpan-1", 64), H("05 03 00 00 00 80 00 00 00 00 00 00 00 00 00 00 00"),
             H("01 0a 00 00 01"), Zeros(12), Field("port-9", 48)});
    Receive(Update(
        0,
        Cat({Element(kcp::kPortPropertyUpdate,
                     Cat({Bytes{kcp::kOpUpdate}, Field("port-1", 48),
                          U16(50 + 8 + 5 + 12 + mirror.size()), vni, block, trunk, mirror})),
             Element(kcp::kKrnnicPropertyUpdate, Cat({Bytes{kcp::kOpUpdate}, Field("vmk0", 16),
                                                      H("00 1a"), H("01 2c 00 08 00 00 00 05")})),
             Element(kcp::kSwxPropertyUpdate, Cat({Field("dvs-1", 64), Bytes{kcp::kOpUpdate},
                                                   U16(67 + 5), H("00 c8 00 05 02")}))})));
    nlohmann::json d = Dump();
    EXPECT_TRUE(d["errors"].empty()) << d["errors"].dump();
    const nlohmann::json& p = d["ports"]["port-1"];
    EXPECT_EQ(p["vni"]["vni"], 5000);
    EXPECT_EQ(p["block"]["state"], "BLOCK");
    EXPECT_EQ(p["vlan_trunk"]["ranges"][1]["end"], 200);
    ASSERT_EQ(p["mirror_session"].size(), 1u);
    EXPECT_EQ(p["mirror_session"][0]["name"], "LocalPortSpan-1");
    EXPECT_EQ(p["mirror_session"][0]["direction"], "BOTH");
    EXPECT_EQ(p["mirror_session"][0]["snap_length"], 128);
    EXPECT_EQ(p["mirror_session"][0]["destination"], "10.0.0.1");
    EXPECT_EQ(p["mirror_session"][0]["destination_ports"][0]["port_id"], "port-9");
    EXPECT_EQ(d["krnnics"]["vmk0"]["vtep_label"]["label"], 5);
    EXPECT_EQ(d["switches"]["dvs-1"]["forwarding_mode"]["mode"], "IPV6_ONLY");

    // DELETE with properties removes them; DELETE without removes the record.
    Receive(
        Update(0, Element(kcp::kPortPropertyUpdate, Cat({Bytes{kcp::kOpDelete}, Field("port-1", 48),
                                                         H("00 36"), H("00 01 00 04")}))));
    d = Dump();
    EXPECT_FALSE(d["ports"]["port-1"].contains("block"));
    EXPECT_TRUE(d["ports"]["port-1"].contains("vni"));
    // FULL SYNC replaces the record's properties.
    Receive(
        Update(0, Element(kcp::kPortPropertyUpdate,
                          Cat({Bytes{kcp::kOpFullSync}, Field("port-1", 48), H("00 37"), block}))));
    d = Dump();
    EXPECT_EQ(d["ports"]["port-1"].size(), 1u);
    EXPECT_TRUE(d["ports"]["port-1"].contains("block"));
    Receive(Update(0, Element(kcp::kPortPropertyUpdate,
                              Cat({Bytes{kcp::kOpDelete}, Field("port-1", 48), H("00 32")}))));
    EXPECT_TRUE(Dump()["ports"].empty());
}

// Receipts log the port records of each Update with its receive time, only while started.
TEST_F(KcpFamilyTest, ReceiptsLogPortRecordsWhileStarted) {
    Bytes block = H("00 01 00 05 01");
    auto twoPorts = [&](const char* a, const char* b) {
        return Update(0,
                      Cat({Element(kcp::kPortPropertyUpdate,
                                   Cat({Bytes{kcp::kOpUpdate}, Field(a, 48), H("00 37"), block,
                                        Field(b, 48), H("00 37"), block})),
                           Element(kcp::kKrnnicPropertyUpdate,
                                   Cat({Bytes{kcp::kOpUpdate}, Field("vmk0", 16), H("00 12")}))}));
    };
    auto read = [&] {
        CommandResult r = commands.Run("dpemu/kcp-receipts", {"read"});
        EXPECT_TRUE(r.ok) << r.text;
        return r.ok ? nlohmann::json::parse(r.text) : nlohmann::json();
    };
    EXPECT_FALSE(commands.Run("dpemu/kcp-receipts", {"read"}).ok);
    EXPECT_FALSE(commands.Run("dpemu/kcp-receipts", {"begin"}).ok);
    Receive(twoPorts("before-1", "before-2"));
    ASSERT_TRUE(commands.Run("dpemu/kcp-receipts", {"start"}).ok);
    EXPECT_TRUE(read()["receipts"].empty()) << "an Update before the start was logged";

    Receive(twoPorts("port-1", "port-2"));
    Receive(twoPorts("port-3", "port-1"));
    nlohmann::json got = read();
    EXPECT_TRUE(Dump()["errors"].empty()) << Dump()["errors"].dump();
    ASSERT_EQ(got["receipts"].size(), 4u) << got.dump();
    std::vector<std::string> ids;
    for (const auto& r : got["receipts"])
        ids.push_back(r[1]);
    EXPECT_EQ(ids, (std::vector<std::string>{"port-1", "port-2", "port-3", "port-1"}));
    const auto& r = got["receipts"];
    EXPECT_GT(r[0][0].get<int64_t>(), 0);
    EXPECT_EQ(r[0][0], r[1][0]) << "records of one Update share its time";
    EXPECT_LE(r[1][0].get<int64_t>(), r[2][0].get<int64_t>());
    EXPECT_EQ(got["dropped"], 0);
    EXPECT_TRUE(read()["receipts"].empty()) << "a read empties the log";

    ASSERT_TRUE(commands.Run("dpemu/kcp-receipts", {"stop"}).ok);
    Receive(twoPorts("port-4", "port-5"));
    EXPECT_FALSE(commands.Run("dpemu/kcp-receipts", {"read"}).ok);
    EXPECT_TRUE(Dump()["ports"].contains("port-5"));
}

TEST_F(KcpFamilyTest, ListsAreCompleteSetsAndOtherRecordsAreKept) {
    Receive(
        Update(0, Element(kcp::kPortPropertyUpdate, Cat({Bytes{kcp::kOpUpdate}, Field("old", 48),
                                                         H("00 37"), H("00 01 00 05 01")}))));
    Receive(Update(
        0, Cat({Element(kcp::kPortListUpdate, Cat({Field("p1", 48), Field("p2", 48)})),
                Element(kcp::kPortListUpdate, Field("p3", 48)),
                Element(kcp::kSwxListUpdate, Field("dvs-1", 64)),
                Element(kcp::kKrnnicListUpdate, Field("vmk0", 16)),
                Element(kcp::kContainerListUpdate, Field("cif-1", 48)),
                Element(kcp::kPortContainerListUpdate, Cat({Field("p1", 48), Field("cif-1", 48)})),
                Element(kcp::kUplinkUpdate,
                        Cat({Bytes{kcp::kOpUpdate}, Field("uplink-1", 48), Field("dvs-1", 64),
                             Field("client", 20), Field("vmnic0", 81)})),
                Element(kcp::kContainerUpdate,
                        Cat({Field("cif-2", 48), Field("cport", 48), Field("vmport", 48),
                             Field("vmvif", 48), H("00 64 02 00 00 00 00 01 00 01"),
                             ContainerEntryV4()}))})));
    nlohmann::json d = Dump();
    EXPECT_TRUE(d["errors"].empty()) << d["errors"].dump();
    EXPECT_FALSE(d["ports"].contains("old"));
    EXPECT_EQ(d["ports"].size(), 3u);
    EXPECT_TRUE(d["ports"].contains("p3"));
    EXPECT_TRUE(d["switches"].contains("dvs-1"));
    EXPECT_TRUE(d["krnnics"].contains("vmk0"));
    EXPECT_EQ(d["port_container_lists"]["p1"][0], "cif-1");
    EXPECT_EQ(d["uplinks"]["uplink-1"]["alias"], "vmnic0");
    EXPECT_EQ(d["containers"]["cif-2"]["vlan"], 100);
    EXPECT_EQ(d["containers"]["cif-2"]["addresses"][0]["address"], "10.0.0.7");
    EXPECT_TRUE(d["containers"].contains("cif-1"));

    Receive(Update(0, Element(kcp::kUplinkUpdate, Cat({Bytes{kcp::kOpFullSync}}))));
    EXPECT_TRUE(Dump()["uplinks"].empty());
}

TEST_F(KcpFamilyTest, FragmentsAreJoinedBeforeBeingApplied) {
    std::vector<std::string> ports;
    for (int i = 0; i < 120; ++i)
        ports.push_back("port-" + std::to_string(i));
    kcp::KcpUpdateBuilder b(1024);
    ASSERT_TRUE(b.AddPortList(ports));
    auto frags = b.Build();
    ASSERT_GT(frags.size(), 2u);
    for (size_t i = 0; i + 1 < frags.size(); ++i) {
        family.OnMessage(1, frags[i].data(), frags[i].size());
        EXPECT_TRUE(Dump()["ports"].empty()) << "applied before the last fragment";
    }
    family.OnMessage(1, frags.back().data(), frags.back().size());
    nlohmann::json d = Dump();
    EXPECT_EQ(d["ports"].size(), 120u);
    EXPECT_EQ(d["stats"]["fragments"], frags.size());
    EXPECT_EQ(d["stats"]["updates"], 1);
}

TEST_F(KcpFamilyTest, BadInputIsReportedAndDropped) {
    // Unknown property key, a value of the wrong size, a property of another scope: the record is
    // refused; the rest of the Update is still applied.
    Receive(Update(
        0,
        Cat({Element(kcp::kPortPropertyUpdate,
                     Cat({Bytes{1}, Field("p-bad", 48), H("00 3a"), H("27 0f 00 08 00 00 00 01")})),
             Element(kcp::kPortPropertyUpdate,
                     Cat({Bytes{1}, Field("p-size", 48), H("00 39"), H("00 04 00 07 00 00 01")})),
             Element(kcp::kPortPropertyUpdate, Cat({Bytes{1}, Field("p-scope", 48), H("00 3a"),
                                                    H("01 2c 00 08 00 00 00 01")})),
             Element(kcp::kPortPropertyUpdate, Cat({Bytes{9}, Field("p-op", 48), H("00 32")})),
             Element(kcp::kPortPropertyUpdate,
                     Cat({Bytes{1}, Field("p-good", 48), H("00 37"), H("00 01 00 05 01")})),
             Element(77, H("00"))})));
    nlohmann::json d = Dump();
    EXPECT_EQ(d["ports"].size(), 1u);
    EXPECT_TRUE(d["ports"].contains("p-good"));
    ASSERT_EQ(d["errors"].size(), 5u) << d["errors"].dump();

    // Messages that fail the framing checks.
    Receive(H("00 02 00 05 00"));
    Receive(H("00 05 00 0f 00 02 00 0b 01 00 00 00 07 00 00"));
    Receive(H("00 05 00 0a 00 01 00 06 01 00"));
    Receive(H("00 09 00 04"));
    Receive(H("00 02 00 0e 00 00 03 00 04 00 05 00 40 00"));
    d = Dump();
    EXPECT_EQ(d["stats"]["errors"], 10);
    EXPECT_EQ(d["errors"], nlohmann::json::array({
                               "port p-bad: unknown property key 9999",
                               "port p-size: property vni: value of 3 bytes is shorter than its "
                               "4-byte head",
                               "port p-scope: property vtep_label is not a port property",
                               "port p-op: invalid operation 9",
                               "Update: unsupported data type 77, len 5",
                               "Update of 5 bytes fails the length checks",
                               "VIF Session control: unsupported data type 2",
                               "VIF Session control: malformed element",
                               "Unsupported message type 9, len 4",
                               "Update: element at offset 4 does not fit the message",
                           }));
    EXPECT_TRUE(cap.Contains("ozy-dpemu: kcp: connection 1: Unsupported message type 9, len 4"));
    EXPECT_TRUE(Sent().empty());
}

TEST_F(KcpFamilyTest, InitSetsTheLengthOfWhatIsSentBack) {
    Receive(H("00 01 00 0a 00 01 00 06 01 00"));  // 256 bytes
    ConnectVifs(3);
    Receive(H("00 05 00 0f 00 01 00 0b 01 00 00 00 01 28 00"));
    EXPECT_EQ(Dump()["session"]["agent_max_msg_length"], 256);
    // ACK, three VIF Updates of one record each (two records exceed 256 bytes), Full Sync End.
    ASSERT_EQ(Sent().size(), 5u);
    for (size_t i = 1; i <= 3; ++i) {
        EXPECT_LE(Sent()[i].size(), 256u);
        EXPECT_EQ(Sent()[i][4], 0);  // complete Updates, not fragments
    }
    Receive(H("00 01 00 0a 00 01 00 06 00 10"));  // 16: unusable
    EXPECT_EQ(Dump()["session"]["agent_max_msg_length"], 256);
}

// An Init on another connection is that connection's: the session keeps its own length, and an
// unusable one is reported against the connection that sent it.
TEST_F(KcpFamilyTest, InitOnAnotherConnectionLeavesTheSessionAlone) {
    Receive(H("00 01 00 0a 00 01 00 06 01 00"));  // 256 bytes on the session's connection
    Receive(H("00 05 00 0f 00 01 00 0b 01 00 00 00 01 28 00"));
    family.OnConnect(2);
    Receive(H("00 01 00 0a 00 01 00 06 28 00"), 2);  // 10240 on connection 2
    EXPECT_EQ(Dump()["session"]["agent_max_msg_length"], 256);
    Sent().clear();
    ConnectVifs(2);
    ASSERT_EQ(Sent().size(), 2u);
    for (const auto& m : Sent())
        EXPECT_LE(m.size(), 256u);
    Receive(H("00 01 00 0a 00 01 00 06 00 10"), 2);  // 16: unusable
    EXPECT_TRUE(
        cap.Contains("ozy-dpemu: kcp: connection 2: Init without a usable Max message length"));
}

}  // namespace
}  // namespace ozy::dpemu
