// Mirror sessions, the transport node's host switches and labels, offloaded host switches,
// uplinks and controller sessions.
#include "tests/apps/switching/DVSPropConvertorTestSupport.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

using namespace kcp;

class DvsMirrorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CairnDBUpdateList batch = SwitchRecords(Switch(1, 5001));
        for (const auto& lsp : {Port(11, 1, "port-1", "vif-1"), Port(12, 1, "port-2", "vif-2"),
                                Port(13, 1, "port-3", "vmk1")}) {
            CairnDBUpdateList r = PortRecords(lsp);
            batch.insert(batch.end(), r.begin(), r.end());
        }
        h.Apply(batch);
        h.Connect("vif-1", "port-1");
        h.Connect("vif-2", "port-2");
        h.Connect("vmk1", "port-3", kVifKrnnic);
    }
    static nlohmann::json Session(const nlohmann::json& record, const std::string& name) {
        for (const auto& s : record.value("mirror_session", nlohmann::json::array())) {
            if (s["name"] == name)
                return s;
        }
        return nullptr;
    }
    LogCapture cap{kLogDebug};
    DvsHarness h;
};

TEST_F(DvsMirrorTest, SessionsBecomeNamedPropertiesWhereTheirSourcesAre) {
    pb::PortMirrorSessionMsg pms;
    *pms.mutable_id() = Uuid(40);
    auto* local = pms.mutable_logical_port_mirror_session();
    *local->add_sources() = Uuid(11);
    *local->add_destinations() = Uuid(12);
    local->set_direction(1);
    local->set_snap_length(128);
    auto* l3 = pms.mutable_l3span_mirror_session();
    *l3->add_sources() = Uuid(11);
    *l3->add_sources() = Uuid(13);  // a kernel interface: not for L3 span
    l3->mutable_destination_ip()->set_ipv4(0x0a000001);
    l3->set_erspan_id(7);
    l3->set_gre_key(99);
    h.Apply(MirrorRecords(pms));
    nlohmann::json p1 = h.Port("port-1");
    nlohmann::json local1 = Session(p1, "LocalPortSpan-" + Text(40));
    ASSERT_TRUE(local1.is_object()) << p1.dump();
    EXPECT_EQ(local1["type"], "LOCAL_PORT_SPAN");
    EXPECT_EQ(local1["direction"], "INGRESS");
    EXPECT_EQ(local1["snap_length"], 128);
    EXPECT_EQ(local1["destination_ports"][0]["port_id"], "port-2");
    nlohmann::json erspan = Session(p1, "ERSpanSource-" + Text(40));
    EXPECT_EQ(erspan["destination"], "10.0.0.1");
    EXPECT_EQ(erspan["erspan_id"], 7);
    EXPECT_EQ(erspan["gre_key"], 99);
    EXPECT_EQ(erspan["direction"], "BOTH");
    EXPECT_TRUE(cap.Contains("skip krnnic for L3SPAN"));
    EXPECT_FALSE(h.Port("port-3").contains("mirror_session"));
    EXPECT_FALSE(h.Port("port-2").contains("mirror_session"));

    // A port naming the session as target joins its destinations.
    pb::LogSwitchPortConfigMsg target = Port(13, 1, "port-3", "vmk1");
    *target.add_mirror_targets() = Uuid(40);
    h.Apply(PortRecords(target));
    local1 = Session(h.Port("port-1"), "LocalPortSpan-" + Text(40));
    ASSERT_EQ(local1["destination_ports"].size(), 2u);
    EXPECT_EQ(local1["destination_ports"][1]["port_id"], "port-3");

    // A switch as source reaches every port of the switch.
    pb::PortMirrorSessionMsg bySwitch;
    *bySwitch.mutable_id() = Uuid(41);
    *bySwitch.mutable_logical_port_mirror_session()->add_source_switches() = Uuid(1);
    h.Apply(MirrorRecords(bySwitch));
    for (const char* port : {"port-1", "port-2", "port-3"}) {
        EXPECT_TRUE(Session(h.Port(port), "LogicalLocalSpan-" + Text(41)).is_object()) << port;
    }

    // RSPAN: the source session on the sources, the destination session on its destinations.
    pb::PortMirrorSessionMsg rspan;
    *rspan.mutable_id() = Uuid(42);
    *rspan.mutable_rspan_src_mirror_session()->add_sources() = Uuid(12);
    rspan.mutable_rspan_src_mirror_session()->set_encapsulation_vlan(300);
    *rspan.mutable_rspan_dst_mirror_session()->add_destinations() = Uuid(11);
    h.Apply(MirrorRecords(rspan));
    EXPECT_EQ(Session(h.Port("port-2"), "RspanSrc-" + Text(42))["encap_vlan"], 300);
    EXPECT_TRUE(Session(h.Port("port-1"), "RspanDst-" + Text(42)).is_object());

    // One kind removed: only its property goes; the whole session removed: all of it.
    pms.clear_l3span_mirror_session();
    h.Apply(MirrorRecords(pms));
    EXPECT_TRUE(Session(h.Port("port-1"), "ERSpanSource-" + Text(40)).is_null());
    EXPECT_TRUE(Session(h.Port("port-1"), "LocalPortSpan-" + Text(40)).is_object());
    h.Apply(Removal(ObjectType::PORT_MIRROR_SESSION, Id(40)));
    EXPECT_TRUE(Session(h.Port("port-1"), "LocalPortSpan-" + Text(40)).is_null());
    EXPECT_TRUE(Session(h.Port("port-1"), "RspanDst-" + Text(42)).is_object());
    EXPECT_TRUE(h.app.errors.empty());
}

TEST_F(DvsMirrorTest, BadSessionsAreRefused) {
    h.conv->ProcessConfigPropertyUpdate(ObjectType::PORT_MIRROR_SESSION, Id(40),
                                        CfgAgent::Operation::OPERATION_UPDATE,
                                        PropertyType::PMS_RSPAN_SRC_MIRROR_SESSION, "");
    EXPECT_TRUE(
        cap.ContainsWithCode("Property value cannot be empty for port mirroring", "LCP00001"));
    pb::PortMirrorSessionMsg pms;
    *pms.mutable_id() = Uuid(40);
    *pms.mutable_logical_port_mirror_session()->add_sources() = Uuid(11);
    pms.mutable_logical_port_mirror_session()->set_direction(4);
    size_t before = h.app.sent.size();
    h.Apply(MirrorRecords(pms));
    EXPECT_TRUE(cap.ContainsWithCode("Invalid mirror direction 4", "LCP00001"));
    EXPECT_EQ(h.app.sent.size(), before);
}

TEST_F(DvsMirrorTest, UplinkSessionsMapHostNicsToUplinksOfTheirSwitch) {
    h.conv->AddUplink({"uplink-1", "up-port-1", "vmnic1", "dvs-1"});
    EXPECT_TRUE(cap.Contains("Add uplink uplink-1 (alias vmnic1 port up-port-1 switch dvs-1)"));
    pb::PortMirrorSessionMsg pms;
    *pms.mutable_id() = Uuid(43);
    auto* up = pms.mutable_uplink_port_mirror_session();
    up->add_source_pnics("vmnic1");
    up->add_source_pnics("vmnic7");
    *up->add_destinations() = Uuid(12);
    h.Apply(MirrorRecords(pms));
    EXPECT_TRUE(cap.Contains("Can't find mapped pnic for host pnic vmnic7"));
    nlohmann::json sw = h.Dump()["switches"]["dvs-1"];
    std::string name = "LocalUplinkSpan-" + Text(43);
    EXPECT_EQ(Session(sw, name)["type"], "LOCAL_UPLINK_SPAN");
    EXPECT_EQ(Session(sw, name)["destination_ports"][0]["port_id"], "port-2");
    ASSERT_EQ(sw["mirror_uplink_sources"].size(), 1u);
    EXPECT_EQ(sw["mirror_uplink_sources"][0]["uplinks"][0]["port_id"], "up-port-1");

    // The second NIC comes up later; the first goes in a full sync of the uplinks.
    h.conv->AddUplink({"uplink-7", "up-port-7", "vmnic7", "dvs-1"});
    sw = h.Dump()["switches"]["dvs-1"];
    EXPECT_EQ(sw["mirror_uplink_sources"][0]["uplinks"].size(), 2u);
    // What the CLI shows of them.
    EXPECT_EQ(nlohmann::json::parse(h.conv->DumpUplinks()),
              nlohmann::json::parse(R"([
        {"uplink": "uplink-1", "alias": "vmnic1", "port_id": "up-port-1", "switch_id": "dvs-1"},
        {"uplink": "uplink-7", "alias": "vmnic7", "port_id": "up-port-7", "switch_id": "dvs-1"}
    ])"));
    h.conv->ApplyFullSyncUplinks({{"uplink-7", "up-port-7", "vmnic7", "dvs-1"}});
    EXPECT_TRUE(cap.Contains(
        "Delete uplink uplink-1 (alias vmnic1 port up-port-1 switch dvs-1) during full sync"));
    sw = h.Dump()["switches"]["dvs-1"];
    EXPECT_EQ(sw["mirror_uplink_sources"][0]["uplinks"].size(), 1u);
    h.conv->DeleteUplink({"uplink-7", "up-port-7", "vmnic7", "dvs-1"});
    EXPECT_TRUE(cap.Contains("Delete uplink uplink-7 (alias vmnic7 port up-port-7 switch dvs-1)"));
    EXPECT_FALSE(h.Dump()["switches"].contains("dvs-1"));
}

TEST_F(DvsMirrorTest, TransportNodeHostSwitchesLabelsAndOffloadedSwitches) {
    pb::TransportNodeConfigMsg tn;
    *tn.mutable_id() = Uuid(90);
    auto* ts = tn.add_transport_switches();
    *ts->mutable_host_switch_id() = Uuid(91);
    ts->set_name("hs-a");
    ts->set_forwarding_mode(3);
    auto* label = ts->add_vtep_labels();
    label->set_device_name("vmk10");
    label->set_label(5);
    ts->add_vtep_labels()->set_device_name("vmk11");  // takes the node's label
    auto* sec = tn.add_transport_switches();
    *sec->mutable_host_switch_id() = Uuid(92);
    sec->set_security_only(true);
    auto* odd = tn.add_transport_switches();
    *odd->mutable_host_switch_id() = Uuid(93);
    odd->set_forwarding_mode(9);
    tn.set_label(77);
    h.Apply(TransportNodeRecords(tn));
    EXPECT_TRUE(cap.Contains("Set global properties for tSwitch " + Text(91)));
    EXPECT_TRUE(
        cap.Contains("Forwarding mode is IPV4_AND_IPV6 for host switch [" + Text(91) + "]"));
    EXPECT_TRUE(cap.Contains("Skip transport switch enabled with OZY security: " + Text(92)));
    EXPECT_TRUE(cap.Contains("Unexpected Forwarding mode 9, defaulting to IPV4_ONLY"));
    EXPECT_TRUE(cap.Contains("Insert dev name vmk10 label 5"));
    EXPECT_TRUE(cap.Contains("Insert dev name vmk11 label 77"));
    nlohmann::json d = h.Dump();
    EXPECT_EQ(d["switches"][Text(91)]["forwarding_mode"]["mode"], "IPV4_AND_IPV6");
    EXPECT_EQ(d["switches"][Text(93)]["forwarding_mode"]["mode"], "IPV4_ONLY");
    EXPECT_FALSE(d["switches"].contains(Text(92)));
    EXPECT_EQ(d["switches"][Text(91)]["ccp_session"]["connected"], false);
    EXPECT_EQ(d["krnnics"]["vmk10"]["vtep_label"]["label"], 5);
    EXPECT_EQ(d["krnnics"]["vmk11"]["vtep_label"]["label"], 77);

    // The same node from the dispatcher's list changes nothing.
    size_t before = h.app.sent.size();
    h.conv->HandleTransportNodes(TransportNodeRecords(tn), false);
    EXPECT_EQ(h.app.sent.size(), before);

    // An offloaded host switch has its labels handled elsewhere.
    pb::HostSwitchSmartnicBackingMsg backing;
    *backing.mutable_id() = Uuid(96);
    *backing.mutable_host_switch_id() = Uuid(91);
    CairnDBUpdateMsg r;
    r.objType = ObjectType::HOST_SWITCH_SMARTNIC_BACKING;
    r.id = Id(96);
    r.data = backing.SerializeAsString();
    h.conv->HandleOffloadedHostSwitches({r}, false);
    EXPECT_TRUE(cap.Contains("Add an offloaded hostswitch " + Text(91)));
    EXPECT_TRUE(cap.Contains("Do not process label update for offloaded host switch " + Text(91)));
    EXPECT_TRUE(cap.Contains("Remove dev name vmk10"));
    EXPECT_FALSE(h.Dump()["krnnics"].contains("vmk10"));
    // Its VIFs are not ours either.
    h.Connect("vif-5", "port-5", kVifVnic, Text(91));
    EXPECT_FALSE(h.conv->HasPort("port-5"));
    h.conv->HandleOffloadedHostSwitches({}, true);
    EXPECT_TRUE(cap.Contains("Remove an offloaded hostswitch " + Text(91)));
    EXPECT_EQ(h.Dump()["krnnics"]["vmk10"]["vtep_label"]["label"], 5);

    // CCP session up and the database healthy: connected.
    pb::CcpSessionMsg ccp;
    *ccp.mutable_id() = Uuid(97);
    ccp.set_state(1);
    CairnDBUpdateMsg c;
    c.objType = ObjectType::CCP_SESSION;
    c.id = Id(97);
    c.data = ccp.SerializeAsString();
    h.conv->HandleCcpSessions({c}, false);
    EXPECT_EQ(h.Dump()["switches"][Text(91)]["ccp_session"]["connected"], true);
    h.conv->OnDaemonHealthStateUpdate(false);
    EXPECT_TRUE(cap.Contains(
        "DVSPropConvertor::OnDaemonHealthStateUpdate: CCPSessionState changed to DOWN"));
    EXPECT_EQ(h.Dump()["switches"][Text(91)]["ccp_session"]["connected"], false);
    h.conv->OnDaemonHealthStateUpdate(true);
    EXPECT_EQ(h.Dump()["switches"][Text(91)]["ccp_session"]["connected"], true);

    // The node removed: its switches and labels go.
    h.Apply(Removal(ObjectType::TRANSPORT_NODE_CONFIG, Id(90)));
    d = h.Dump();
    EXPECT_TRUE(d["switches"].empty()) << d["switches"].dump();
    EXPECT_TRUE(d["krnnics"].empty()) << d["krnnics"].dump();
    EXPECT_TRUE(h.app.errors.empty());
}

TEST_F(DvsMirrorTest, ContainerBusKernelInterfaceHasStaticMacLearningDisabled) {
    h.Connect("conduitKrnnic0", "ct-port-1", kVifKrnnic);
    EXPECT_TRUE(cap.Contains("conduitKrnnic0: Disable mac learn static property"));
    EXPECT_EQ(h.Dump()["krnnics"]["conduitKrnnic0"]["mac_learn_static"]["enabled"], false);
    EXPECT_EQ(nlohmann::json::parse(h.conv->DumpConduitKrnnics()),
              nlohmann::json::parse(R"([{"krnnic": "conduitKrnnic0", "port_id": "ct-port-1",
                                          "mac_learn_static": false, "programmed": true}])"));
    h.Disconnect("conduitKrnnic0", "ct-port-1");
    EXPECT_FALSE(h.Dump()["krnnics"].contains("conduitKrnnic0"));
    EXPECT_EQ(h.conv->DumpConduitKrnnics(), "[]");
}

TEST_F(DvsMirrorTest, LatencyIsNotForKernelContainerBusOrServiceVmPorts) {
    auto withLatency = [](pb::LogSwitchPortConfigMsg lsp) {
        lsp.mutable_realtime_latency()->set_enabled(true);
        lsp.mutable_realtime_latency()->set_value(50);
        return lsp;
    };
    h.Apply(PortRecords(withLatency(Port(11, 1, "port-1", "vif-1"))));
    EXPECT_TRUE(cap.Contains("Update latency for LSP [" + Text(11) + "]"));
    EXPECT_EQ(h.Port("port-1")["latency"]["value"], 50);
    h.Apply(PortRecords(withLatency(Port(13, 1, "port-3", "vmk1"))));
    EXPECT_TRUE(cap.Contains("Skip krnnic VIF vmk1"));
    EXPECT_FALSE(h.Port("port-3").contains("latency"));
    pb::LogSwitchPortConfigMsg svm = withLatency(Port(12, 1, "port-2", "vif-2"));
    auto* kv = svm.add_extra_configs();
    kv->set_key("com.orvane.port.extraConfig.serviceInsertion.svm");
    kv->set_value("1");
    h.Apply(PortRecords(svm));
    EXPECT_TRUE(cap.Contains("Skip GVM/SVM port port-2"));
    EXPECT_FALSE(h.Port("port-2").contains("latency"));
    h.Apply(PortRecords(withLatency(Port(14, 1, "ct-9", "conduit-vif"))));
    h.Connect("conduit-vif", "ct-9");
    EXPECT_FALSE(h.Port("ct-9").contains("latency"));
}

}  // namespace
}  // namespace CfgAgent::test
