// The checks of the desired state: MAC management, QoS, switch security, LS attachments, extra
// configurations and global opaque keys, and bad input from the database, which is logged with
// its code and never changes what the dataplane holds.
#include <functional>

#include "tests/apps/switching/DVSPropConvertorTestSupport.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

using namespace kcp;

class DvsValidationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        h.Apply(SwitchRecords(Switch(1, 5001)));
        lsp = Port(11, 1, "port-1", "vif-1");
        h.Apply(PortRecords(lsp));
        h.Connect("vif-1", "port-1");
        ASSERT_EQ(h.Block("port-1"), "UNBLOCK");
    }
    LogCapture cap{kLogDebug};
    DvsHarness h;
    pb::LogSwitchPortConfigMsg lsp;
};

TEST_F(DvsValidationTest, MacLimitAndPolicy) {
    // 4097 is one too many: the defaults replace limit and policy.
    auto* mac = lsp.mutable_mac_management();
    mac->set_mac_learning(true);
    mac->set_mac_limit(4097);
    mac->set_mac_limit_policy(2);
    h.Apply(PortRecords(lsp));
    EXPECT_TRUE(
        cap.ContainsWithCode("Invalid MAC Limit value [4097]. Max value is [4096]", "LCP00001"));
    EXPECT_TRUE(cap.Contains("Setting default MAC limit[4096] and MAC limit policy[0] values"));
    nlohmann::json m = h.Port("port-1")["mac_management"];
    EXPECT_EQ(m["limit"], 4096);
    EXPECT_EQ(m["limit_policy"], "NONE");
    EXPECT_EQ(m["learning_enabled"], true);

    // The bound itself and both policies are taken.
    cap.Clear();
    mac->set_mac_limit(4096);
    h.Apply(PortRecords(lsp));
    EXPECT_EQ(h.Port("port-1")["mac_management"]["limit_policy"], "DROP");
    mac->set_mac_limit(0);
    mac->set_mac_limit_policy(1);
    h.Apply(PortRecords(lsp));
    EXPECT_EQ(h.Port("port-1")["mac_management"]["limit"], 0);
    EXPECT_EQ(h.Port("port-1")["mac_management"]["limit_policy"], "ALLOW");
    EXPECT_FALSE(cap.Contains("LCP00001"));

    mac->set_mac_limit_policy(3);
    mac->set_mac_limit(10);
    h.Apply(PortRecords(lsp));
    EXPECT_TRUE(cap.ContainsWithCode("Unsupported MAC Limit Policy [3]", "LCP00001"));
    EXPECT_EQ(h.Port("port-1")["mac_management"]["limit"], 4096);

    // A switch's MAC management reaches ports without their own.
    lsp.clear_mac_management();
    h.Apply(PortRecords(lsp));
    EXPECT_FALSE(h.Port("port-1").contains("mac_management"));
    pb::LogSwitchConfigMsg ls = Switch(1, 5001);
    ls.mutable_mac_management()->set_mac_limit(100);
    h.Apply(SwitchRecords(ls));
    EXPECT_EQ(h.Port("port-1")["mac_management"]["limit"], 100);

    // An operation other than update and delete.
    h.conv->ProcessConfigPropertyUpdate(ObjectType::LOG_SWITCH_PORT_CONFIG, Id(11),
                                        CfgAgent::Operation::OPERATION_ELEMENT_SET,
                                        PropertyType::LSP_MAC_MANAGEMENT, "x");
    EXPECT_TRUE(cap.ContainsWithCode("Unsupported operation input", "LCP00512"));
}

TEST_F(DvsValidationTest, QosErrorsRejectTheConfigurationAndKeepWhatThePortHad) {
    auto* qos = lsp.mutable_qos();
    qos->set_cos(3);
    qos->set_dscp(46);
    auto* s = qos->add_shapers();
    s->set_type(kShaperIngress);
    s->set_average_bandwidth_kbps(1000);
    s->set_peak_bandwidth_kbps(2000);
    s->set_burst_size_bytes(4096);
    h.Apply(PortRecords(lsp));
    nlohmann::json p = h.Port("port-1");
    EXPECT_EQ(p["qos_marking"]["cos"], 3);
    EXPECT_EQ(p["qos_marking"]["dscp"], 46);
    ASSERT_EQ(p["qos_shapers"]["shapers"].size(), 1u);
    EXPECT_EQ(p["qos_shapers"]["shapers"][0]["type"], "INGRESS");
    EXPECT_EQ(p["qos_shapers"]["shapers"][0]["peak_bandwidth_kbps"], 2000);

    struct Case {
        std::function<void(pb::QosMsg&)> change;
        std::string text;
    };
    std::vector<Case> cases = {
        {[](pb::QosMsg& q) { q.mutable_shapers(0)->set_peak_bandwidth_kbps(1000); },
         "Peak bandwidth (1000) must be larger than average bandwidth (1000)"},
        {[](pb::QosMsg& q) { q.set_cos(8); }, "Invalid COS Tag: 8"},
        {[](pb::QosMsg& q) { q.set_dscp(64); }, "Invalid DSCP Tag: 64"},
        {[](pb::QosMsg& q) { q.add_shapers()->set_average_bandwidth_kbps(5); },
         "Shaper Config without shaper type"},
        {[](pb::QosMsg& q) { q.add_shapers()->set_type(7); }, "Invalid shaper type: 7"},
        {[](pb::QosMsg& q) { q.add_shapers()->set_type(1); },
         "Same shaper type (1) configuration already specified 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        cap.Clear();
        pb::LogSwitchPortConfigMsg bad = lsp;
        c.change(*bad.mutable_qos());
        size_t before = h.app.sent.size();
        h.Apply(PortRecords(bad));
        EXPECT_TRUE(cap.ContainsWithCode(c.text, "LCP00001")) << cap.Dump();
        EXPECT_EQ(h.app.sent.size(), before);
        EXPECT_EQ(h.Port("port-1"), p);
    }

    // The older single ingress rate beside an ingress shaper is ignored; an egress rate becomes a
    // shaper of its own.
    cap.Clear();
    qos->set_ingress_rate_kbps(300);
    qos->set_egress_rate_kbps(400);
    h.Apply(PortRecords(lsp));
    EXPECT_TRUE(cap.Contains("Ingress shaper already specified, ignored"));
    nlohmann::json shapers = h.Port("port-1")["qos_shapers"]["shapers"];
    ASSERT_EQ(shapers.size(), 2u);
    EXPECT_EQ(shapers[1]["type"], "EGRESS");
    EXPECT_EQ(shapers[1]["average_bandwidth_kbps"], 400);

    // QoS of a port without a switch is not applied.
    pb::LogSwitchPortConfigMsg lone = Port(12, 1, "port-2", "vif-2");
    lone.clear_switch_id();
    *lone.mutable_qos() = *qos;
    h.Apply(PortRecords(lone));
    EXPECT_TRUE(cap.Contains("LSP_SWITCH_ID is not found for port [" + Text(12) + "]"));
}

TEST_F(DvsValidationTest, SwitchSecurity) {
    auto* sec = lsp.mutable_switch_security();
    sec->set_switch_spoofguard(true);
    sec->set_bpdu_filter(true);
    sec->add_bpdu_exceptions(0x0180c2000000);
    sec->set_dhcp_server_block(true);
    sec->set_dhcpv6_client_block(true);
    sec->set_non_ip_block(true);
    sec->set_ra_guard(true);
    sec->set_rate_limits_enabled(true);
    sec->set_rx_broadcast(100);
    h.Apply(PortRecords(lsp));
    EXPECT_TRUE(cap.Contains("Switch spoofguard enabled, but no whitelist is configured."));
    nlohmann::json p = h.Port("port-1");
    EXPECT_EQ(p["spoof_guard"]["enabled"], true);
    EXPECT_EQ(p["bpdu_filter"]["exceptions"][0]["mac"], "01:80:c2:00:00:00");
    EXPECT_EQ(p["dhcp_filter"]["server_block"], true);
    EXPECT_EQ(p["dhcp_filter"]["v6_client_block"], true);
    EXPECT_EQ(p["non_ip_block"]["enabled"], true);
    EXPECT_EQ(p["ra_guard"]["enabled"], true);
    EXPECT_EQ(p["rate_limits"]["rx_broadcast"], 100);
    EXPECT_EQ(h.Block("port-1"), "UNBLOCK");

    // BPDU exceptions without the filter: refused, the port keeps what it had and stays open.
    pb::LogSwitchPortConfigMsg bad = lsp;
    bad.mutable_switch_security()->set_bpdu_filter(false);
    h.Apply(PortRecords(bad));
    EXPECT_TRUE(cap.ContainsWithCode("no bpdu filter but bpdu exceptions size = 1", "LCP00001"));
    EXPECT_EQ(h.Port("port-1"), p);

    sec->set_switch_spoofguard(false);
    sec->set_port_spoofguard(true);
    h.Apply(PortRecords(lsp));
    EXPECT_TRUE(cap.Contains("Port spoofguard enabled, but no whitelist is configured."));

    // A delete does nothing.
    lsp.clear_switch_security();
    size_t before = h.app.sent.size();
    h.Apply(PortRecords(lsp));
    EXPECT_TRUE(cap.Contains("Switch Security [" + Text(11) + "]: Delete is a NOOP."));
    EXPECT_EQ(h.app.sent.size(), before);
}

TEST_F(DvsValidationTest, AttachmentsOfChildSwitches) {
    // Child switch 2 on VLAN 10 of parent 1; child switch 3 asks for the same VLAN.
    pb::LogSwitchConfigMsg child = Switch(2, 6002);
    auto* a = child.add_attachment();
    *a->mutable_attachment_id() = Uuid(1);
    a->set_vlan(10);
    pb::LogSwitchConfigMsg second = Switch(3, 6003);
    auto* b = second.add_attachment();
    *b->mutable_attachment_id() = Uuid(1);
    b->set_vlan(10);
    h.Apply(SwitchRecords(child));
    h.Apply(SwitchRecords(second));
    EXPECT_TRUE(cap.ContainsWithCode("Parent LS[" + Text(1) + "] already has a child LS[" +
                                         Text(2) + "] with vlan[10], failed to add new child LS " +
                                         Text(3),
                                     "LCP00001"));
    // Invalid VLANs.
    for (uint32_t vlan : {0u, 4095u}) {
        b->set_vlan(vlan);
        h.Apply(SwitchRecords(second));
        EXPECT_TRUE(cap.Contains("Invalid LS attachment vlan ID " + std::to_string(vlan) +
                                 " for child LS[" + Text(3) + "] and Parent LS[" + Text(1) + "] "));
    }
    b->set_vlan(11);
    h.Apply(SwitchRecords(second));

    // A container port of the child switch behind the parent's VIF follows it (CIFConfig makes
    // the child port; the engine gives it the parent port and the VLAN of its switch there).
    h.EnableCifs();
    h.Connect("vif-1", "port-1");  // CIFConfig hears of the host VIF
    const std::string childPort = "00000000-0000-0000-0000-0000000000c1_1";
    h.Apply(PortRecords(CifPort(21, 2, "cvif-1", "vif-1", 10, childPort)));
    nlohmann::json p = h.Port(childPort);
    EXPECT_EQ(p["ls_attachment"]["parent_port_id"], "port-1");
    EXPECT_EQ(p["ls_attachment"]["vlan"], 10);
    EXPECT_EQ(p["vni"]["vni"], 6002);
    EXPECT_EQ(h.Block(childPort), "UNBLOCK");
    h.Disconnect("vif-1", "port-1");
    EXPECT_FALSE(h.conv->HasPort(childPort));
    h.Connect("vif-1", "port-1");
    EXPECT_TRUE(h.conv->HasPort(childPort));
}

TEST_F(DvsValidationTest, ExtraConfigsAndGlobalOpaqueKeys) {
    pb::LogSwitchConfigMsg ls = Switch(1, 5001);
    auto add = [](auto* list, const std::string& k, const std::string& v) {
        auto* kv = list->Add();
        kv->set_key(k);
        kv->set_value(v);
    };
    add(ls.mutable_extra_configs(), "com.orvane.port.extraConfig.vm.tagset3", "blue");
    add(ls.mutable_extra_configs(), "com.orvane.port.extraConfig.policyRoute", "ls");
    add(ls.mutable_extra_configs(), "com.orvane.no.such.key", "x");
    h.Apply(SwitchRecords(ls));
    EXPECT_TRUE(cap.Contains("Unsupported Extra Config Key com.orvane.no.such.key to update"));
    EXPECT_TRUE(cap.Contains("Update LSP " + Text(11) +
                             " with LS extraConfig com.orvane.port.extraConfig.policyRoute ls"));
    nlohmann::json p = h.Port("port-1");
    EXPECT_EQ(p["vm_tagset3"]["value"], "blue");
    EXPECT_EQ(p["policy_route"]["value"], "ls");

    // The port's own value wins; GVM is not set on a hypervisor kernel port.
    add(lsp.mutable_extra_configs(), "com.orvane.port.extraConfig.policyRoute", "lsp");
    add(lsp.mutable_extra_configs(), "com.orvane.port.extraConfig.serviceInsertion.gvm", "1");
    lsp.set_is_hyv_krn(true);
    h.Apply(PortRecords(lsp));
    EXPECT_TRUE(cap.Contains("Skip setting GVM for HYV port " + Text(11)));
    p = h.Port("port-1");
    EXPECT_EQ(p["policy_route"]["value"], "lsp");
    EXPECT_FALSE(p.contains("si_gvm"));
    lsp.set_is_hyv_krn(false);
    h.Apply(PortRecords(lsp));
    EXPECT_EQ(h.Port("port-1")["si_gvm"]["value"], "1");

    // Global opaque keys land on the host switches.
    pb::TransportNodeConfigMsg tn;
    *tn.mutable_id() = Uuid(90);
    *tn.add_transport_switches()->mutable_host_switch_id() = Uuid(91);
    h.Apply(TransportNodeRecords(tn));
    pb::GlobalConfigMsg g;
    *g.mutable_id() = Uuid(95);
    add(g.mutable_host_opaque_configs(),
        "com.orvane.ozy.extraConfig.cloudsvc.management.clusterVirtualIp", "10.0.0.9");
    add(g.mutable_host_opaque_configs(), "com.orvane.ozy.extraConfig.bogus", "1");
    CairnDBUpdateMsg rec;
    rec.objType = ObjectType::GLOBAL_CONFIG;
    rec.id = Id(95);
    rec.data = g.SerializeAsString();
    h.conv->HandleGlobalConfigs({rec}, false);
    EXPECT_TRUE(cap.ContainsWithCode("Unsupported Global Opaque Config Key to update", "LCP00513"));
    nlohmann::json sw = h.Dump()["switches"][Text(91)];
    EXPECT_EQ(sw["cloudsvc_cluster_virtual_ip"]["value"], "10.0.0.9");
    // A full sync without the object removes the keys.
    h.conv->HandleGlobalConfigs({}, true);
    EXPECT_FALSE(h.Dump()["switches"][Text(91)].contains("cloudsvc_cluster_virtual_ip"));
}

TEST_F(DvsValidationTest, BadInputIsLoggedAndChangesNothing) {
    nlohmann::json before = h.Dump();
    size_t sent = h.app.sent.size();
    const std::string garbage("\xff\xff\xff\x0f\x01", 5);
    struct Bad {
        ObjectType type;
        uint64_t id;
        PropertyType property;
    };
    for (const Bad& b : std::vector<Bad>{
             {ObjectType::LOG_SWITCH_CONFIG, 1, PropertyType::LS_VNI},
             {ObjectType::LOG_SWITCH_CONFIG, 1, PropertyType::LS_VLAN},
             {ObjectType::LOG_SWITCH_CONFIG, 1, PropertyType::LS_ADMIN_STATE_UP},
             {ObjectType::LOG_SWITCH_CONFIG, 1, PropertyType::LS_MAC_MANAGEMENT},
             {ObjectType::LOG_SWITCH_CONFIG, 1, PropertyType::LS_ATTACHMENT},
             {ObjectType::LOG_SWITCH_PORT_CONFIG, 11, PropertyType::LSP_SWITCH_ID},
             {ObjectType::LOG_SWITCH_PORT_CONFIG, 11, PropertyType::LSP_ATTACHMENT},
             {ObjectType::LOG_SWITCH_PORT_CONFIG, 11, PropertyType::LSP_QOS},
             {ObjectType::LOG_SWITCH_PORT_CONFIG, 11, PropertyType::LSP_SWITCH_SECURITY},
             {ObjectType::LOG_SWITCH_PORT_CONFIG, 11, PropertyType::LSP_ADMIN_STATE_UP},
             {ObjectType::LOG_SWITCH_PORT_CONFIG, 11, PropertyType::LSP_EXTRA_CONFIGS},
             {ObjectType::PORT_MIRROR_SESSION, 40, PropertyType::PMS_L3SPAN_MIRROR_SESSION},
             {ObjectType::TRANSPORT_NODE_CONFIG, 90, PropertyType::TN_TRANSPORT_SWITCHES},
         }) {
        SCOPED_TRACE(PropertyTypeToString(b.property));
        cap.Clear();
        h.Apply({OneProperty(b.type, Id(b.id), b.property, garbage)});
        EXPECT_TRUE(cap.ContainsWithCode("does not parse", "LCP00001")) << cap.Dump();
    }
    // Out-of-range values are refused the same way.
    pb::LogSwitchConfigMsg ls = Switch(1, 0x1000000);
    ls.set_vlan(5000);
    h.Apply(SwitchRecords(ls));
    EXPECT_TRUE(cap.ContainsWithCode("Invalid VNI 16777216", "LCP00001"));
    EXPECT_TRUE(cap.ContainsWithCode("Invalid VLAN 5000", "LCP00001"));
    EXPECT_EQ(h.app.sent.size(), sent);
    EXPECT_EQ(h.Dump(), before);
    // The dataplane refused nothing.
    EXPECT_TRUE(h.app.errors.empty());

    // Entities of types the engine does not take, and bodies of the dispatcher's lists that do not
    // parse.
    cap.Clear();
    h.conv->ProcessConfigEntityUpdate(ObjectType::RULE, Id(5),
                                      CfgAgent::Operation::OPERATION_UPDATE);
    EXPECT_TRUE(cap.ContainsWithCode("Unsupported entity type : 29.", "LCP00513"));
    CairnDBUpdateMsg r;
    r.id = Id(5);
    r.data = garbage;
    r.objType = ObjectType::CCP_SESSION;
    h.conv->HandleCcpSessions({r}, false);
    r.objType = ObjectType::GLOBAL_CONFIG;
    h.conv->HandleGlobalConfigs({r}, false);
    r.objType = ObjectType::HOST_SWITCH_SMARTNIC_BACKING;
    h.conv->HandleOffloadedHostSwitches({r}, false);
    r.objType = ObjectType::CONFIG_SPAN;
    h.conv->HandleConfigSpans({r}, false);
    EXPECT_EQ(cap.Count("does not parse"), 4u);
    // The port still works.
    pb::LogSwitchConfigMsg good = Switch(1, 5005);
    h.Apply(SwitchRecords(good));
    EXPECT_EQ(h.Port("port-1")["vni"]["vni"], 5005);
    EXPECT_EQ(h.Block("port-1"), "UNBLOCK");
}

}  // namespace
}  // namespace CfgAgent::test
