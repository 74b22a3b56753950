// CIFConfig against the real DVS property engine and configuration table, with the dataplane's
// tables (the emulator's) decoding what is sent: creation when the host VIF connects, orphans,
// moves, deletions, refusals, resync and the session.
#include <functional>

#include "tests/apps/switching/DVSPropConvertorTestSupport.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

using namespace kcp;

const std::string kChild1 = "00000000-0000-0000-0000-0000000000c1_1";
const std::string kChild2 = "00000000-0000-0000-0000-0000000000c1_2";

class CifConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        h.EnableCifs();
        // Parent switch 1 with the VM ports on VIFs vif-1 and vif-2; child switch 2 on VLAN 10
        // of switch 1.
        h.Apply(SwitchRecords(Switch(1, 5001)));
        pb::LogSwitchConfigMsg child = Switch(2, 6002);
        auto* a = child.add_attachment();
        *a->mutable_attachment_id() = Uuid(1);
        a->set_vlan(10);
        h.Apply(SwitchRecords(child));
        h.Apply(PortRecords(Port(11, 1, "port-1", "vif-1")));
        h.Apply(PortRecords(Port(12, 1, "port-2", "vif-2")));
        h.Push();
        cif = CifPort(31, 2, "cvif-1", "vif-1", 10, kChild1);
    }
    nlohmann::json Containers() const { return h.Dump()["containers"]; }
    nlohmann::json ListOf(const std::string& vif) const {
        nlohmann::json l = h.Dump()["port_container_lists"];
        return l.contains(vif) ? l[vif] : nlohmann::json::array();
    }
    // The Update data types sent since `from`, in order.
    std::vector<uint16_t> TypesSince(size_t from) const {
        std::vector<uint16_t> t;
        for (const SentRecord& r : h.app.Records(from))
            t.push_back(r.type);
        return t;
    }

    LogCapture cap{kLogDebug};
    DvsHarness h;
    pb::LogSwitchPortConfigMsg cif;
};

TEST_F(CifConfigTest, NothingIsSentBeforeTheHostVifConnectsThenEverythingIs) {
    size_t from = h.app.sent.size();
    h.Apply(PortRecords(cif));
    EXPECT_TRUE(cap.Contains("Add CIF port cvif-1, hostVIFID vif-1"));
    EXPECT_TRUE(cap.Contains("Host VM VIF vif-1 not connected for CIF cvif-1 on port " + kChild1));
    EXPECT_TRUE(h.app.Records(from).empty());
    ASSERT_NE(h.cif->FindCif(Id(31)), nullptr);
    EXPECT_FALSE(h.cif->FindCif(Id(31))->connected);

    h.Connect("vif-1", "port-1");
    EXPECT_TRUE(
        cap.Contains("Create child segment port with vmPortID port-1, vmVifID vif-1,child "
                     "LS " +
                     Text(2) + ", vlan 10"));
    nlohmann::json c = Containers()["cvif-1"];
    EXPECT_EQ(c["port_id"], kChild1);
    EXPECT_EQ(c["vm_port_id"], "port-1");
    EXPECT_EQ(c["vm_vif_id"], "vif-1");
    EXPECT_EQ(c["vlan"], 10);
    EXPECT_EQ(c["mac"], "02:00:00:00:00:01");
    ASSERT_EQ(c["addresses"].size(), 1u);
    EXPECT_EQ(c["addresses"][0]["address"], "10.0.0.5");
    EXPECT_EQ(ListOf("vif-1"), nlohmann::json::array({"cvif-1"}));
    // The child port: the engine's properties, the parent port and the child switch's VLAN.
    nlohmann::json p = h.Port(kChild1);
    EXPECT_EQ(p["ls_attachment"]["parent_port_id"], "port-1");
    EXPECT_EQ(p["ls_attachment"]["vlan"], 10);
    EXPECT_EQ(p["vni"]["vni"], 6002);
    EXPECT_EQ(h.Block(kChild1), "UNBLOCK");
    EXPECT_TRUE(h.cif->FindCif(Id(31))->connected);

    // The same configuration again sends nothing.
    from = h.app.sent.size();
    h.Apply(PortRecords(cif));
    EXPECT_TRUE(cap.Contains("No change for CIF cvif-1 on port " + kChild1));
    EXPECT_TRUE(h.app.Records(from).empty());

    nlohmann::json dump = nlohmann::json::parse(h.cif->DumpCifs());
    ASSERT_EQ(dump.size(), 1u);
    EXPECT_EQ(dump[0]["cif"], "cvif-1");
    EXPECT_EQ(dump[0]["host_vif"], "vif-1");
    EXPECT_EQ(dump[0]["vm_port"], "port-1");
    EXPECT_EQ(dump[0]["child_port"], kChild1);
    EXPECT_EQ(dump[0]["child_ls"], Text(2));
    EXPECT_EQ(dump[0]["connected"], true);
    EXPECT_EQ(dump[0]["out_of_sync"], false);
}

// Several logical ports in one update, each as its run of property records and one of them again
// after another: every one is taken.
TEST_F(CifConfigTest, EveryPortOfOneUpdateIsTaken) {
    pb::LogSwitchPortConfigMsg second = CifPort(32, 2, "cvif-2", "vif-2", 10, kChild2);
    CairnDBUpdateList records = PortRecords(cif);
    for (const auto* m : {&second, &cif}) {
        CairnDBUpdateList more = PortRecords(*m);
        records.insert(records.end(), more.begin(), more.end());
    }
    h.Apply(records);
    ASSERT_NE(h.cif->FindCif(Id(31)), nullptr);
    ASSERT_NE(h.cif->FindCif(Id(32)), nullptr);
    h.Connect("vif-1", "port-1");
    h.Connect("vif-2", "port-2");
    EXPECT_EQ(ListOf("vif-1"), nlohmann::json::array({"cvif-1"}));
    EXPECT_EQ(ListOf("vif-2"), nlohmann::json::array({"cvif-2"}));
}

// Orphans: the host VM VIF disconnects or its port goes; the CIF waits without a child port and
// comes back with the VIF.
TEST_F(CifConfigTest, HostVifDisconnectRemovesTheChildPortAndTheCifWaits) {
    h.Connect("vif-1", "port-1");
    h.Apply(PortRecords(cif));
    ASSERT_TRUE(Containers().contains("cvif-1"));

    size_t from = h.app.sent.size();
    h.Disconnect("vif-1", "port-1");
    EXPECT_TRUE(cap.Contains("Sent port deletion message for " + kChild1));
    EXPECT_FALSE(Containers().contains("cvif-1"));
    EXPECT_EQ(ListOf("vif-1"), nlohmann::json::array());
    EXPECT_FALSE(h.Dump()["ports"].contains(kChild1));
    EXPECT_FALSE(h.conv->HasPort(kChild1));
    // The deletion before the lists.
    std::vector<uint16_t> types = TypesSince(from);
    ASSERT_FALSE(types.empty());
    EXPECT_EQ(types.front(), kPortPropertyUpdate);
    ASSERT_NE(h.cif->FindCif(Id(31)), nullptr);
    EXPECT_FALSE(h.cif->FindCif(Id(31))->connected);

    h.Connect("vif-1", "port-1");
    EXPECT_TRUE(Containers().contains("cvif-1"));
    EXPECT_EQ(h.Block(kChild1), "UNBLOCK");
}

TEST_F(CifConfigTest, DeletingTheCifOrItsParentLinkDeletesTheChildPort) {
    h.Connect("vif-1", "port-1");
    h.Apply(PortRecords(cif));
    h.Apply(Removal(ObjectType::LOG_SWITCH_PORT_CONFIG, Id(31)));
    EXPECT_TRUE(cap.Contains("Delete child segment port [" + kChild1 + "] from cif list"));
    EXPECT_TRUE(cap.Contains("Delete CIF port [cvif-1]"));
    EXPECT_TRUE(cap.Contains("Sent port deletion message for " + kChild1));
    EXPECT_FALSE(Containers().contains("cvif-1"));
    EXPECT_FALSE(h.Dump()["ports"].contains(kChild1));
    EXPECT_EQ(h.cif->CifCount(), 0u);

    // A logical port that stops naming a parent VIF is no CIF any more.
    h.Apply(PortRecords(cif));
    ASSERT_TRUE(Containers().contains("cvif-1"));
    pb::LogSwitchPortConfigMsg plain = cif;
    plain.mutable_attachment()->clear_parent_vif_id();
    h.Apply(PortRecords(plain));
    EXPECT_EQ(h.cif->CifCount(), 0u);
    EXPECT_FALSE(Containers().contains("cvif-1"));
}

// A move deletes the old child port before the new one is made: to another host VIF, and to
// another child port id.
TEST_F(CifConfigTest, MovesDeleteTheOldChildPortFirst) {
    h.Connect("vif-1", "port-1");
    h.Connect("vif-2", "port-2");
    h.Apply(PortRecords(cif));

    size_t from = h.app.sent.size();
    pb::LogSwitchPortConfigMsg moved = cif;
    moved.mutable_attachment()->set_parent_vif_id("vif-2");
    h.Apply(PortRecords(moved));
    EXPECT_TRUE(cap.Contains("CIF cvif-1 on port " + kChild1 +
                             " moves from host VM VIF vif-1 to "
                             "vif-2"));
    std::vector<SentRecord> r = h.app.Records(from);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.front().type, kPortPropertyUpdate);
    EXPECT_EQ(r.front().op, kOpDelete);
    EXPECT_EQ(r.front().id, kChild1);
    EXPECT_EQ(Containers()["cvif-1"]["vm_vif_id"], "vif-2");
    EXPECT_EQ(Containers()["cvif-1"]["vm_port_id"], "port-2");
    EXPECT_EQ(ListOf("vif-1"), nlohmann::json::array());
    EXPECT_EQ(ListOf("vif-2"), nlohmann::json::array({"cvif-1"}));
    EXPECT_EQ(h.Port(kChild1)["ls_attachment"]["parent_port_id"], "port-2");

    moved.mutable_attachment()->set_dvport_id(kChild2);
    h.Apply(PortRecords(moved));
    EXPECT_FALSE(h.Dump()["ports"].contains(kChild1));
    EXPECT_EQ(Containers()["cvif-1"]["port_id"], kChild2);
    EXPECT_EQ(h.Block(kChild2), "UNBLOCK");

    // A move onto a VIF that is not connected: the old child port goes, the CIF waits.
    moved.mutable_attachment()->set_parent_vif_id("vif-9");
    h.Apply(PortRecords(moved));
    EXPECT_FALSE(h.Dump()["ports"].contains(kChild2));
    EXPECT_FALSE(Containers().contains("cvif-1"));
    EXPECT_TRUE(cap.Contains("Host VM VIF vif-9 not connected for CIF cvif-1 on port " + kChild2));
}

struct Refusal {
    const char* name;
    std::function<void(pb::LogSwitchPortConfigMsg&)> change;
    std::string line;
    bool clash = false;  // refused for clashing with another CIF (so not as its own update)
};

void PrintTo(const Refusal& r, std::ostream* os) {
    *os << r.name;
}

const Refusal kRefusals[] = {
    {"Vlan0", [](auto& m) { m.mutable_attachment()->set_vlan(0); }, "Invalid CIF vlan ID 0"},
    {"Vlan4095", [](auto& m) { m.mutable_attachment()->set_vlan(4095); },
     "Invalid CIF vlan ID 4095"},
    {"Vlan4097", [](auto& m) { m.mutable_attachment()->set_vlan(4097); },
     "Invalid CIF vlan ID 4097"},
    {"NoVlan", [](auto& m) { m.mutable_attachment()->clear_vlan(); },
     "No vlan ID provided in CIF VIF message"},
    {"NoHostVif", [](auto& m) { m.mutable_attachment()->set_parent_vif_id(""); },
     "No host VIF ID provided in CIF VIF message"},
    {"MulticastMac", [](auto& m) { m.mutable_address_bindings(0)->set_mac(0x010000000001); },
     "Invalid unicast MAC provided in address binding message"},
    {"NoMac", [](auto& m) { m.clear_address_bindings(); },
     "No valid MAC provided in address binding message"},
    {"ChildPrefix", [](auto& m) { m.mutable_attachment()->set_dvport_id("vm-port_1"); },
     "Child segment port vm-port_1 has invalid prefix vm-port"},
    {"ChildSuffix",
     [](auto& m) {
         m.mutable_attachment()->set_dvport_id("00000000-0000-0000-0000-0000000000c1_1a");
     },
     "Child segment port 00000000-0000-0000-0000-0000000000c1_1a has invalid suffix 1a"},
    {"ChildIndexTooLong",
     [](auto& m) {
         m.mutable_attachment()->set_dvport_id(
             "00000000-0000-0000-0000-0000000000c1_12345678901234567890");
     },
     "has invalid suffix 12345678901234567890"},
    {"CifVifTooLong", [](auto& m) { m.mutable_attachment()->set_vif_id(std::string(60, 'c')); },
     "Invalid CIF VIF ID"},
    {"SameVlanOnTheHost",
     [](auto& m) {
         m.mutable_attachment()->set_vif_id("cvif-9");
         m.mutable_attachment()->set_vlan(10);
     },
     "CIF vlan ID 10 on host VM VIF vif-1 is already used by CIF cvif-0", true},
    {"SameChildPort",
     [](auto& m) {
         m.mutable_attachment()->set_vif_id("cvif-9");
         m.mutable_attachment()->set_vlan(11);
         m.mutable_attachment()->set_dvport_id(kChild2);
     },
     "Child segment port " + kChild2 + " is already", true},
};

class CifRefusalTest : public CifConfigTest, public ::testing::WithParamInterface<Refusal> {};

// A refused CIF is logged with LCP00514 and changes nothing: neither a new one nor, as an update,
// the CIF that was there.
TEST_P(CifRefusalTest, RefusedCifChangesNothing) {
    const Refusal& c = GetParam();
    h.Connect("vif-1", "port-1");
    // The CIF already there: cvif-0 on VLAN 10 of vif-1, child port kChild2.
    h.Apply(PortRecords(CifPort(30, 2, "cvif-0", "vif-1", 10, kChild2)));
    ASSERT_TRUE(Containers().contains("cvif-0"));

    pb::LogSwitchPortConfigMsg bad = CifPort(31, 2, "cvif-1", "vif-1", 12, kChild1);
    c.change(bad);
    size_t from = h.app.sent.size();
    h.Apply(PortRecords(bad));
    EXPECT_TRUE(cap.ContainsWithCode(c.line, "LCP00514")) << c.name;
    EXPECT_EQ(h.cif->FindCif(Id(31)), nullptr);
    for (const SentRecord& r : h.app.Records(from))
        EXPECT_NE(r.type, kContainerUpdate);
    EXPECT_EQ(Containers().size(), 1u);

    if (c.clash)
        return;
    // As an update of cvif-0.
    pb::LogSwitchPortConfigMsg update = CifPort(30, 2, "cvif-0", "vif-1", 10, kChild2);
    c.change(update);
    h.Apply(PortRecords(update));
    const CIFConfig::Cif* kept = h.cif->FindCif(Id(30));
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->vlan, 10);
    EXPECT_EQ(kept->childPortId, kChild2);
    EXPECT_EQ(Containers()["cvif-0"]["vlan"], 10);
    EXPECT_EQ(h.Block(kChild2), "UNBLOCK");
}

INSTANTIATE_TEST_SUITE_P(EveryRefusal, CifRefusalTest, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CifConfigTest, OutOfSyncHostPortSendsItsCifsAgain) {
    h.Connect("vif-1", "port-1");
    h.Apply(PortRecords(cif));
    size_t from = h.app.sent.size();
    h.cif->MarkHostVifOutOfSync("vif-1");
    EXPECT_TRUE(
        cap.Contains("CIF cvif-1 is set out of sync when its host VM port port-1 is set of "
                     "of sync"));
    EXPECT_TRUE(cap.Contains("Child segment port [" + kChild1 + "] reSync"));
    std::vector<uint16_t> types = TypesSince(from);
    EXPECT_EQ(types, (std::vector<uint16_t>{kContainerUpdate, kContainerListUpdate,
                                            kPortContainerListUpdate}));
    // The child port is re-sent whole by the engine's resync.
    EXPECT_EQ(h.conv->ResyncQueueSize(), 1u);
    from = h.app.sent.size();
    h.conv->OnResyncProperty();
    std::vector<SentRecord> r = h.app.Records(from);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].id, kChild1);
    EXPECT_EQ(r[0].op, kOpFullSync);
    EXPECT_FALSE(h.cif->FindCif(Id(31))->outOfSync);
    // A VIF without CIFs: nothing.
    from = h.app.sent.size();
    h.cif->MarkHostVifOutOfSync("vif-2");
    EXPECT_TRUE(h.app.Records(from).empty());
}

// The firewall and service-insertion spans: a CIF whose coverage changes is sent again (its
// Container record, the lists after it), a waiting CIF only takes note; ciflist shows both.
TEST_F(CifConfigTest, SpanChangesSendTheCifsTheyCover) {
    h.Connect("vif-1", "port-1");
    h.Apply(PortRecords(cif));
    h.Apply(PortRecords(CifPort(32, 2, "cvif-2", "vif-2", 10, kChild2, 0x020000000002)));
    auto span = [](uint32_t type, const std::string& excluded) {
        pb::ConfigSpanMsg m;
        m.set_span_type(type);
        if (!excluded.empty())
            m.add_dfw_excluded_vifs(excluded);
        CairnDBUpdateMsg r;
        r.objType = ObjectType::CONFIG_SPAN;
        r.id = Id(80 + type);
        r.data = m.SerializeAsString();
        return r;
    };
    size_t from = h.app.sent.size();
    h.cif->UpdateDesiredState({span(1, ""), span(3, "")}, false);
    EXPECT_TRUE(cap.Contains("CIFConfig: send cif port[cvif-1] to DP"));
    EXPECT_FALSE(cap.Contains("CIFConfig: send cif port[cvif-2] to DP"));  // waits for vif-2
    EXPECT_EQ(TypesSince(from), (std::vector<uint16_t>{kContainerUpdate, kContainerListUpdate,
                                                       kPortContainerListUpdate}));
    EXPECT_TRUE(h.cif->FindCif(Id(32))->inDfw);
    // The same spans again: nothing to send.
    from = h.app.sent.size();
    h.cif->UpdateDesiredState({span(1, ""), span(3, "")}, false);
    EXPECT_TRUE(h.app.Records(from).empty());
    // cvif-1 leaves the firewall's span.
    h.cif->UpdateDesiredState({span(1, "cvif-1")}, false);
    nlohmann::json cifs = nlohmann::json::parse(h.cif->DumpCifs());
    ASSERT_EQ(cifs.size(), 2u);
    EXPECT_EQ(cifs[0]["cif"], "cvif-1");
    EXPECT_EQ(cifs[0]["dfw"], false);
    EXPECT_EQ(cifs[0]["si"], true);
    EXPECT_EQ(cifs[1]["dfw"], true);
    // A CIF that comes into being is covered at once.
    h.Apply(PortRecords(CifPort(33, 2, "cvif-3", "vif-1", 20, kChild2 + "0")));
    EXPECT_TRUE(h.cif->FindCif(Id(33))->inSi);
}

TEST_F(CifConfigTest, HopoverContainerListWaitsForThePush) {
    h.Connect("vif-1", "port-1");
    h.Apply(PortRecords(cif));
    h.conv->ResetSyncState();
    h.cif->ResetSyncState();
    size_t from = h.app.sent.size();
    h.cif->SyncPortContainerList("vif-1");
    EXPECT_TRUE(cap.Contains(
        "Delay container list sync vif-1 since the configuration hasn't been pushed down"));
    EXPECT_TRUE(h.app.Records(from).empty());
    h.Push();
    from = h.app.sent.size();
    h.cif->SyncPortContainerList("vif-1");
    std::vector<SentRecord> r = h.app.Records(from);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type, kPortContainerListUpdate);
    EXPECT_EQ(r[0].id, "vif-1,cvif-1");
}

// A new session: the push sends every CIF; a host VIF the dataplane's full sync does not report
// again leaves its CIFs waiting.
TEST_F(CifConfigTest, NewSessionPushesEveryCifAndDropsUnreportedHosts) {
    h.Connect("vif-1", "port-1");
    h.Connect("vif-2", "port-2");
    h.Apply(PortRecords(cif));
    h.Apply(PortRecords(CifPort(32, 2, "cvif-2", "vif-2", 10, kChild2)));
    h.app.tables = ozy::dpemu::KcpTables();  // the dataplane starts empty
    h.conv->ResetSyncState();
    h.cif->ResetSyncState();
    h.Push();
    EXPECT_TRUE(cap.Contains("CIFConfig: 2 CIF(s) sent with the full state"));
    EXPECT_EQ(Containers().size(), 2u);
    EXPECT_EQ(ListOf("vif-2"), nlohmann::json::array({"cvif-2"}));
    EXPECT_TRUE(h.Dump()["ports"].contains(kChild2));

    h.Connect("vif-1", "port-1");  // reported again; vif-2 is not
    h.cif->OnDataplaneFullSyncDone();
    h.conv->OnDataplaneFullSyncDone();
    EXPECT_TRUE(cap.Contains("Host VM VIF vif-2 of CIF cvif-2 is gone"));
    EXPECT_EQ(Containers().size(), 1u);
    EXPECT_TRUE(Containers().contains("cvif-1"));
    EXPECT_FALSE(h.Dump()["ports"].contains(kChild2));
    EXPECT_TRUE(h.conv->HasPort(kChild1));
    EXPECT_FALSE(h.cif->FindCif(Id(32))->connected);

    // Without a session nothing is sent; the next push carries the changes.
    h.cif->OnDataplaneDisconnected();
    size_t from = h.app.sent.size();
    h.Apply(Removal(ObjectType::LOG_SWITCH_PORT_CONFIG, Id(31)));
    for (const SentRecord& r : h.app.Records(from))
        EXPECT_NE(r.type, kContainerListUpdate);
}

// Every connected VIF is held (a host its CIFs may come behind), and the memory account counts
// it: a node of its packed id and port id each, given back when the VIF goes or is not reported by
// a new session's full sync.
TEST_F(CifConfigTest, ConnectedVifsAreInTheAccountUntilTheyGo) {
    const size_t empty = h.cif->TableBytes();
    constexpr int kVifs = 20;
    auto vif = [](int i) { return "000000c0-0000-4000-8000-0000000000" + std::to_string(10 + i); };
    auto port = [](int i) { return "000000b0-0000-4000-8000-0000000000" + std::to_string(10 + i); };
    for (int i = 0; i < kVifs; ++i)
        h.Connect(vif(i), port(i));
    const size_t connected = h.cif->TableBytes();
    // A tree node with two ids of 24 bytes, without heap blocks for the UUID texts.
    EXPECT_GE(connected, empty + kVifs * 80) << empty;
    EXPECT_LE(connected, empty + kVifs * 128) << empty;
    for (int i = 0; i < kVifs / 2; ++i)
        h.Disconnect(vif(i), port(i));
    EXPECT_LE(h.cif->TableBytes(), empty + (connected - empty) / 2) << connected;
    h.cif->ResetSyncState();
    h.cif->OnDataplaneFullSyncDone();  // the new session reported none of them
    EXPECT_EQ(h.cif->TableBytes(), empty) << connected;
}

TEST_F(CifConfigTest, FullSyncOfTheDesiredStateDropsVanishedCifs) {
    h.Connect("vif-1", "port-1");
    h.Apply(PortRecords(cif));
    // A full sync that holds the switches and VM ports only.
    CairnDBUpdateList all = SwitchRecords(Switch(1, 5001));
    CairnDBUpdateList ports = PortRecords(Port(11, 1, "port-1", "vif-1"));
    all.insert(all.end(), ports.begin(), ports.end());
    h.Apply(all, true);
    EXPECT_EQ(h.cif->CifCount(), 0u);
    EXPECT_FALSE(Containers().contains("cvif-1"));
}

}  // namespace
}  // namespace CfgAgent::test
