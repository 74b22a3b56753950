// CIFConfig feeding the container-interface bus: a kernel NIC whose address the virtual switch
// does not know yet is polled (LCP00515) until it answers; an attached, connected, enabled VIF then
// gets its LIP and its "ct-" port record; the parent flag and the VIF's state take it back.
#include <cerrno>
#include <map>

#include "conduit/ConduitService.h"
#include "platform/device/KrnnicAddressQuery.h"
#include "proto/cairndb_conduit.pb.h"
#include "runtime/AgentClock.h"
#include "tests/apps/switching/DVSPropConvertorTestSupport.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

// Kernel NIC addresses as the virtual switch would answer them: ENOENT for a name not set.
class FakeKrnnicQuery : public ozy::device::IKrnnicAddressQuery {
  public:
    int GetKrnnicAddr(const std::string& name, ozy::device::KrnnicAddr* out) override {
        ++queries;
        auto it = addresses.find(name);
        if (it == addresses.end())
            return ENOENT;
        *out = it->second;
        return 0;
    }
    std::map<std::string, ozy::device::KrnnicAddr> addresses;
    int queries = 0;
};

class CifConduitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        h.EnableCifs();
        CIFConfig::ConduitOptions bus;
        bus.service = &conduit;
        bus.query = &query;
        bus.io = &h.io;
        bus.pollInterval = std::chrono::milliseconds(2000);
        h.cif->AttachConduit(bus);
        h.Apply(SwitchRecords(Switch(1, 5001)));
        h.Push();
        SetNodeType(CIFConfig::kHostNodeType);
    }
    // The node's transport node (90) with its type; 0: none.
    void SetNodeType(uint32_t type) {
        if (type == 0) {
            h.cif->UpdateDesiredState(Removal(ObjectType::TRANSPORT_NODE_CONFIG, Id(90)), false);
            return;
        }
        pb::TransportNodeConfigMsg tn;
        *tn.mutable_id() = Uuid(90);
        tn.set_type(type);
        h.cif->UpdateDesiredState(TransportNodeRecords(tn), false);
    }
    // Runs what is due on the io context (posted notices, expired timers).
    void RunIo(std::chrono::milliseconds advance = std::chrono::milliseconds(0)) {
        if (advance.count() != 0)
            AgentClock::advance(advance, &h.io);
        h.io.restart();
        h.io.run_for(std::chrono::milliseconds(30));
        // What is ready has run, however little of the slice a loaded machine gave the thread.
        do
            h.io.restart();
        while (h.io.poll() != 0);
    }
    void ApplyVmPort(const std::string& parentFlag) {
        pb::LogSwitchPortConfigMsg lsp = Port(11, 1, "port-1", "vif-1");
        if (!parentFlag.empty()) {
            auto* kv = lsp.add_extra_configs();
            kv->set_key("com.orvane.port.extraConfig.parentVif.conduit");
            kv->set_value(parentFlag);
        }
        h.Apply(PortRecords(lsp));
    }

    LogCapture cap{kLogDebug};
    // The bus outlives the harness, whose CIFConfig unregisters from it when it stops.
    ozy::Conduit::ConduitService conduit;
    FakeKrnnicQuery query;
    DvsHarness h;
};

TEST_F(CifConduitTest, KernelNicIsPolledThenTheEnabledVifGetsItsLipAndPort) {
    ApplyVmPort("true");
    h.Connect("conduitKrnnic0", "conduitKrnnic0", kcp::kVifKrnnic, "hs-1");
    EXPECT_TRUE(cap.ContainsWithCode("Failed to get krnnic conduitKrnnic0 IP address", "LCP00515"));
    h.Connect("vif-1", "port-1", kcp::kVifVnic, "hs-1");
    EXPECT_EQ(conduit.Manager().VifState("vif-1"), 7u);
    EXPECT_TRUE(conduit.Manager().Pools().empty());

    // Still unknown at the first retry; known at the second.
    RunIo(std::chrono::milliseconds(2000));
    EXPECT_TRUE(cap.Contains("GetConduitKrnnicIP timer triggered"));
    EXPECT_EQ(query.queries, 2);
    query.addresses["conduitKrnnic0"] = {0xa9fe0101, 0xffffff00};
    RunIo(std::chrono::milliseconds(2000));
    EXPECT_EQ(query.queries, 3);
    ASSERT_EQ(conduit.Manager().Pools().size(), 1u);
    RunIo();  // the posted LIP notice
    EXPECT_TRUE(
        cap.Contains("Add conduit VIF vif-1, LIP 169.254.1.10, portID ct-vif-1 by VIF "
                     "attachment"));
    EXPECT_TRUE(h.Dump()["ports"].contains("ct-vif-1"));

    nlohmann::json krn =
        nlohmann::json::parse(h.cif->DumpConduitKrnnics(h.conv->DumpConduitKrnnics()));
    ASSERT_EQ(krn.size(), 1u) << krn.dump();
    EXPECT_EQ(krn[0]["krnnic"], "conduitKrnnic0");
    EXPECT_EQ(krn[0]["host_switch"], "hs-1");
    EXPECT_EQ(krn[0]["ip"], "169.254.1.1");
    EXPECT_EQ(krn[0]["pool"], "169.254.1.10-169.254.1.255");
    EXPECT_EQ(krn[0]["used"], 1);
    EXPECT_EQ(krn[0]["lips"]["vif-1"], "169.254.1.10");
    // No more polling once the address is known.
    RunIo(std::chrono::milliseconds(10000));
    EXPECT_EQ(query.queries, 3);

    // A new session's push sends the container-bus port again after the engine's port list.
    h.app.tables = ozy::dpemu::KcpTables();
    h.conv->ResetSyncState();
    h.cif->ResetSyncState();
    h.Push();
    EXPECT_TRUE(h.Dump()["ports"].contains("ct-vif-1"));

    // The VIF disconnects: its LIP is released, its port deleted.
    h.Disconnect("vif-1", "port-1");
    RunIo();
    EXPECT_FALSE(h.Dump()["ports"].contains("ct-vif-1"));
    EXPECT_TRUE(cap.Contains("Delete conduit VIF vif-1, portID ct-vif-1 by LSP detachment"));
}

// The parent flag: "true" enables, "false" and its absence do not, other text is logged and
// ignored (not enabled).
TEST_F(CifConduitTest, ParentFlagFollowsTheExtraConfig) {
    query.addresses["conduitKrnnic0"] = {0xa9fe0101, 0xffffff00};
    h.Connect("conduitKrnnic0", "conduitKrnnic0", kcp::kVifKrnnic, "hs-1");
    h.Connect("vif-1", "port-1", kcp::kVifVnic, "hs-1");
    ApplyVmPort("");
    EXPECT_EQ(conduit.Manager().VifState("vif-1"), 3u);  // attached and connected
    ApplyVmPort("true");
    RunIo();
    EXPECT_TRUE(h.Dump()["ports"].contains("ct-vif-1"));
    ApplyVmPort("yes");
    EXPECT_TRUE(
        cap.Contains("Conduit: Process extra config "
                     "com.orvane.port.extraConfig.parentVif.conduit (update: yes)"));
    RunIo();
    EXPECT_EQ(conduit.Manager().VifState("vif-1"), 3u);
    EXPECT_FALSE(h.Dump()["ports"].contains("ct-vif-1"));
    // The port goes: detached (and no longer a parent).
    ApplyVmPort("true");
    h.Apply(Removal(ObjectType::LOG_SWITCH_PORT_CONFIG, Id(11)));
    RunIo();
    EXPECT_EQ(conduit.Manager().VifState("vif-1"), 2u);
    EXPECT_FALSE(h.Dump()["ports"].contains("ct-vif-1"));
    // A full sync that no longer has the port detaches its VIF as well.
    ApplyVmPort("true");
    RunIo();
    ASSERT_EQ(conduit.Manager().VifState("vif-1"), 7u);
    h.Apply(SwitchRecords(Switch(1, 5001)), true);
    RunIo();
    EXPECT_EQ(conduit.Manager().VifState("vif-1"), 2u);
    EXPECT_FALSE(h.Dump()["ports"].contains("ct-vif-1"));
    // The kernel NIC goes: the pool with it.
    h.Disconnect("conduitKrnnic0", "conduitKrnnic0");
    EXPECT_TRUE(conduit.Manager().Pools().empty());
}

// The channel follows the transport node's type: without a host's channel the kernel NIC's pool
// goes (its LIPs and their ports with it) and its address is not asked for; it comes back with the
// channel.
TEST_F(CifConduitTest, ChannelFollowsTheTransportNodeType) {
    EXPECT_TRUE(cap.Contains("Set Conduit channel for TN node type 1"));
    query.addresses["conduitKrnnic0"] = {0xa9fe0101, 0xffffff00};
    h.Connect("conduitKrnnic0", "conduitKrnnic0", kcp::kVifKrnnic, "hs-1");
    h.Connect("vif-1", "port-1", kcp::kVifVnic, "hs-1");
    ApplyVmPort("true");
    RunIo();
    ASSERT_TRUE(h.Dump()["ports"].contains("ct-vif-1"));
    const int asked = query.queries;

    SetNodeType(2);
    EXPECT_TRUE(cap.Contains("Conduit channel doesn't support transport node type 2"));
    EXPECT_EQ(h.cif->ConduitChannel(), CIFConfig::Channel::kNone);
    EXPECT_TRUE(conduit.Manager().Pools().empty());
    RunIo(std::chrono::milliseconds(10000));
    EXPECT_FALSE(h.Dump()["ports"].contains("ct-vif-1"));
    EXPECT_EQ(query.queries, asked);
    // A kernel NIC that connects now waits for a channel.
    h.Connect("conduitKrnnic1", "conduitKrnnic1", kcp::kVifKrnnic, "hs-2");
    EXPECT_TRUE(cap.Contains(
        "Conduit krnnic conduitKrnnic1 on host switch hs-2 waits for a container-bus channel"));
    EXPECT_EQ(query.queries, asked);
    nlohmann::json krn =
        nlohmann::json::parse(h.cif->DumpConduitKrnnics(h.conv->DumpConduitKrnnics()));
    ASSERT_EQ(krn.size(), 2u) << krn.dump();
    EXPECT_EQ(krn[0]["channel"], "none");

    SetNodeType(CIFConfig::kHostNodeType);
    RunIo();
    EXPECT_EQ(conduit.Manager().Pools().size(), 1u);
    EXPECT_TRUE(h.Dump()["ports"].contains("ct-vif-1"));
    EXPECT_EQ(conduit.Manager().QueryLip("vif-1"), 0xa9fe010au);

    // The transport node goes: the channel is cleared, and so is the pool.
    SetNodeType(0);
    EXPECT_TRUE(cap.Contains("Clear Conduit channel type"));
    EXPECT_TRUE(conduit.Manager().Pools().empty());
    // A full sync that lists a host's transport node sets it again.
    pb::TransportNodeConfigMsg tn;
    *tn.mutable_id() = Uuid(91);
    tn.set_type(CIFConfig::kHostNodeType);
    h.cif->UpdateDesiredState(TransportNodeRecords(tn), true);
    EXPECT_EQ(h.cif->ConduitChannel(), CIFConfig::Channel::kKrnnic);
    EXPECT_EQ(conduit.Manager().Pools().size(), 1u);
}

// The bus serves VIFs on overlay switches: a port on a switch without a VNI is not attached until
// its switch gets one, and is detached when the switch loses it.
TEST_F(CifConduitTest, OnlyOverlaySwitchPortsAreAttached) {
    query.addresses["conduitKrnnic0"] = {0xa9fe0101, 0xffffff00};
    h.Connect("conduitKrnnic0", "conduitKrnnic0", kcp::kVifKrnnic, "hs-1");
    pb::LogSwitchConfigMsg vlanSwitch;
    *vlanSwitch.mutable_id() = Uuid(3);
    h.Apply(SwitchRecords(vlanSwitch));
    pb::LogSwitchPortConfigMsg lsp = Port(13, 3, "port-3", "vif-3");
    auto* kv = lsp.add_extra_configs();
    kv->set_key("com.orvane.port.extraConfig.parentVif.conduit");
    kv->set_value("true");
    h.Apply(PortRecords(lsp));
    h.Connect("vif-3", "port-3", kcp::kVifVnic, "hs-1");
    EXPECT_TRUE(cap.ContainsWithCode("VIF vif-3 switch id " + Text(3) + " is not overlay switch!",
                                     "LCP00514"));
    EXPECT_EQ(conduit.Manager().VifState("vif-3"), 2u);  // connected only

    h.Apply(SwitchRecords(Switch(3, 5003)));
    RunIo();
    EXPECT_EQ(conduit.Manager().VifState("vif-3"), 7u);
    EXPECT_TRUE(h.Dump()["ports"].contains("ct-vif-3"));
    // Another property of the switch: its ports are not looked at again.
    const size_t looked = cap.Count("Conduit: Process extra config");
    pb::LogSwitchConfigMsg renamed = Switch(3, 5003);
    renamed.set_switch_name("ls-3");
    h.Apply(SwitchRecords(renamed));
    EXPECT_EQ(cap.Count("Conduit: Process extra config"), looked);

    h.Apply(SwitchRecords(vlanSwitch));
    RunIo();
    EXPECT_EQ(conduit.Manager().VifState("vif-3"), 2u);
    EXPECT_FALSE(h.Dump()["ports"].contains("ct-vif-3"));
}

// Logical ports sharing a VIF: the VIF stays attached while any of them attaches it and is a
// parent while any of them says so; a port moved to a switch without a VNI lets go of it and takes
// it again when that switch gets one. The bus's view is in the memory account while it holds
// ports, and gives every byte back when they go.
TEST_F(CifConduitTest, SharedVifFollowsEveryPortAttachingIt) {
    pb::LogSwitchConfigMsg vlanSwitch;
    *vlanSwitch.mutable_id() = Uuid(3);
    h.Apply(SwitchRecords(vlanSwitch));
    h.Connect("vif-1", "port-1", kcp::kVifVnic, "hs-1");
    const size_t empty = h.cif->TableBytes();
    ApplyVmPort("true");
    h.Apply(PortRecords(Port(12, 1, "port-2", "vif-1")));
    EXPECT_EQ(conduit.Manager().VifState("vif-1"), 7u);
    // Two ports of one node (112 bytes, their ids packed in it) and a VIF index entry (64):
    // about 180 bytes each, far less than a copy of the ids per index.
    EXPECT_GE(h.cif->TableBytes(), empty + 2 * 150);
    EXPECT_LE(h.cif->TableBytes(), empty + 2 * 300);

    // The parent port goes: still attached by the other, no longer a parent.
    h.Apply(Removal(ObjectType::LOG_SWITCH_PORT_CONFIG, Id(11)));
    EXPECT_EQ(conduit.Manager().VifState("vif-1"), 3u);
    // The other moves to the switch without a VNI, which then gets one.
    h.Apply(PortRecords(Port(12, 3, "port-2", "vif-1")));
    EXPECT_EQ(conduit.Manager().VifState("vif-1"), 2u);
    h.Apply(SwitchRecords(Switch(3, 5003)));
    EXPECT_EQ(conduit.Manager().VifState("vif-1"), 3u);
    h.Apply(SwitchRecords(vlanSwitch));
    EXPECT_EQ(conduit.Manager().VifState("vif-1"), 2u);
    h.Apply(SwitchRecords(Switch(3, 5003)));
    EXPECT_EQ(conduit.Manager().VifState("vif-1"), 3u);

    h.Apply(Removal(ObjectType::LOG_SWITCH_PORT_CONFIG, Id(12)));
    EXPECT_EQ(conduit.Manager().VifState("vif-1"), 2u);
    EXPECT_EQ(h.cif->TableBytes(), empty);
}

TEST_F(CifConduitTest, GlobalChannelSettingsReachTheBus) {
    orvane::ozy::cairndb::ConduitChannelGlobalConfigMsg g;
    g.set_enabled(true);
    g.mutable_cip()->set_ipv4(0xa9fe0102);
    g.mutable_vip()->set_ipv4(0xa9fe0103);
    g.set_vlan_tag(4000);
    g.set_tx_limit(100);
    CairnDBUpdateMsg m;
    m.objType = ObjectType::CONDUIT_CHANNEL_GLOBAL_CONFIG;
    m.id = Id(70);
    m.data = g.SerializeAsString();
    h.cif->UpdateDesiredState({m}, false);
    ASSERT_TRUE(conduit.GlobalConfig());
    EXPECT_EQ(conduit.GlobalConfig()->vip, 0xa9fe0103u);
    m.data = "\xff\xff";
    h.cif->UpdateDesiredState({m}, false);
    EXPECT_TRUE(
        cap.ContainsWithCode("CIFConfig: conduit global config does not parse", "LCP00514"));
    EXPECT_EQ(conduit.GlobalConfig()->vlanTag, 4000u);
    m.op = Operation::OPERATION_DELETE;
    m.data.clear();
    h.cif->UpdateDesiredState({m}, false);
    EXPECT_FALSE(conduit.GlobalConfig());
}

}  // namespace
}  // namespace CfgAgent::test
