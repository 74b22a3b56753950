// Blocking and unblocking of ports: switch and port admin state, VNI/VLAN, switch security,
// port moves, detachment and removal, and the order in which the dataplane sees it all.
#include <functional>
#include <map>
#include <tuple>

#include "tests/apps/switching/DVSPropConvertorTestSupport.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

using namespace kcp;

class DvsBlockingTest : public ::testing::Test {
  protected:
    LogCapture cap{kLogDebug};
    DvsHarness h;
};

TEST_F(DvsBlockingTest, ConnectedPortGetsTheSwitchPropertiesAndUnblockLast) {
    CairnDBUpdateList batch = SwitchRecords(Switch(1, 5001));
    CairnDBUpdateList lsp = PortRecords(Port(11, 1, "port-1", "vif-1"));
    batch.insert(batch.end(), lsp.begin(), lsp.end());
    h.Apply(batch);
    // Nothing is connected yet: nothing to send.
    EXPECT_TRUE(h.app.sent.empty());
    h.Connect("vif-1", "port-1");
    EXPECT_TRUE(
        cap.Contains("Add port [port-1] VIF [vif-1] to port list, type [VNIC], outofsync[false]"));
    nlohmann::json p = h.Port("port-1");
    EXPECT_EQ(p["vni"]["vni"], 5001);
    EXPECT_EQ(p["ls_id"]["ls_id"], Text(1));
    EXPECT_EQ(p["lsp_id"]["lsp_id"], Text(11));
    EXPECT_EQ(h.Block("port-1"), "UNBLOCK");
    // A port the dataplane just reported gets its record whole, UNBLOCK after what it guards.
    std::vector<SentRecord> r = h.app.Records();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type, kPortPropertyUpdate);
    EXPECT_EQ(r[0].op, kOpFullSync);
    EXPECT_EQ(r[0].keys.back(), kPropBlock);
    EXPECT_TRUE(cap.Contains("DvsPropConvertor sent msg to data plane"));
}

TEST_F(DvsBlockingTest, ConfigurationAfterTheVifIsUnblockedAtTheEndOfTheBatch) {
    h.Connect("vif-1", "port-1");
    EXPECT_TRUE(h.app.sent.empty());  // no logical port: nothing of ours
    CairnDBUpdateList batch = SwitchRecords(Switch(1, 5001));
    CairnDBUpdateList lsp = PortRecords(Port(11, 1, "port-1", "vif-1"));
    batch.insert(batch.end(), lsp.begin(), lsp.end());
    h.Apply(batch);
    EXPECT_EQ(h.Block("port-1"), "UNBLOCK");
    EXPECT_TRUE(cap.Contains("Update DVPortID port-1 for LSP " + Text(11)));
    EXPECT_TRUE(cap.Contains("Build UNBLOCK update for port port-1"));
    EXPECT_TRUE(cap.Contains("DvsPropConvertor sent UNBLOCK msg to data plane"));
    // The whole batch went out as one Update.
    EXPECT_EQ(h.app.sent.size(), 1u);
    // The same batch again (a second full sync of the database) sends nothing.
    h.Apply(batch, true);
    EXPECT_EQ(h.app.sent.size(), 1u);
}

TEST_F(DvsBlockingTest, SwitchAdminStateBlocksAndDownThenUpInOneBatchEndsUnblocked) {
    h.Apply(SwitchRecords(Switch(1, 5001)));
    h.Apply(PortRecords(Port(11, 1, "port-1", "vif-1")));
    h.Connect("vif-1", "port-1");
    ASSERT_EQ(h.Block("port-1"), "UNBLOCK");

    pb::LogSwitchConfigMsg down = Switch(1, 5001);
    down.set_admin_state_up(false);
    h.Apply(SwitchRecords(down));
    EXPECT_TRUE(cap.Contains("LS admin state down, block port [port-1]"));
    EXPECT_EQ(h.Block("port-1"), "BLOCK");
    EXPECT_EQ(h.conv->PortCauses("port-1"),
              std::set<dvs::BlockCause>{dvs::BlockCause::kSwitchDown});
    // The BLOCK leads its record.
    EXPECT_EQ(h.app.Records().back().keys.front(), kPropBlock);

    pb::LogSwitchConfigMsg up = Switch(1, 5001);
    up.set_admin_state_up(true);
    CairnDBUpdateList batch = SwitchRecords(up);
    CairnDBUpdateList again = SwitchRecords(down);
    batch.insert(batch.end(), again.begin(), again.end());
    CairnDBUpdateList last = SwitchRecords(up);
    batch.insert(batch.end(), last.begin(), last.end());
    size_t before = h.app.sent.size();
    h.Apply(batch);
    EXPECT_EQ(h.Block("port-1"), "UNBLOCK");
    EXPECT_TRUE(cap.Contains("Will unblock port after LS " + Text(1) + " admin state update UP"));
    EXPECT_EQ(h.app.sent.size(), before + 1);
    EXPECT_TRUE(h.conv->PortCauses("port-1").empty());
}

TEST_F(DvsBlockingTest, PortAdminStateAndItsRemoval) {
    h.Apply(SwitchRecords(Switch(1, 5001)));
    pb::LogSwitchPortConfigMsg lsp = Port(11, 1, "port-1", "vif-1");
    lsp.set_admin_state_up(false);
    h.Apply(PortRecords(lsp));
    h.Connect("vif-1", "port-1");
    EXPECT_EQ(h.Block("port-1"), "BLOCK");
    EXPECT_EQ(h.Port("port-1")["vni"]["vni"], 5001);  // programmed, but held

    lsp.set_admin_state_up(true);
    h.Apply(PortRecords(lsp));
    EXPECT_TRUE(cap.Contains("Will unblock port port-1 after port admin state update UP"));
    EXPECT_EQ(h.Block("port-1"), "UNBLOCK");

    lsp.set_admin_state_up(false);
    h.Apply(PortRecords(lsp));
    EXPECT_TRUE(cap.Contains("LSP admin down, block port [port-1]"));
    EXPECT_EQ(h.Block("port-1"), "BLOCK");
    // The admin state taken out of the port: the default, up, again.
    lsp.clear_admin_state_up();
    h.Apply(PortRecords(lsp));
    EXPECT_EQ(h.Block("port-1"), "UNBLOCK");
}

TEST_F(DvsBlockingTest, SwitchWithoutVniOrVlanBlocksItsPorts) {
    pb::LogSwitchConfigMsg ls = Switch(1, 5001);
    h.Apply(SwitchRecords(ls));
    h.Apply(PortRecords(Port(11, 1, "port-1", "vif-1")));
    h.Connect("vif-1", "port-1");
    ls.clear_vni();
    h.Apply(SwitchRecords(ls));
    EXPECT_TRUE(cap.Contains("Remove vlan or vni, block port [port-1]"));
    EXPECT_EQ(h.Block("port-1"), "BLOCK");
    EXPECT_FALSE(h.Port("port-1").contains("vni"));
    ls.set_vlan(100);
    h.Apply(SwitchRecords(ls));
    EXPECT_TRUE(cap.Contains("Update vlanId on async switch 100"));
    EXPECT_TRUE(cap.Contains("Will unblock port after LS " + Text(1) + " VNI/VLAN update"));
    EXPECT_EQ(h.Port("port-1")["vlan"]["vlan_id"], 100);
    EXPECT_EQ(h.Block("port-1"), "UNBLOCK");
    // A trunk carries the switch too; an empty one is reported.
    ls.clear_vlan();
    auto* r = ls.add_vlan_trunk();
    r->set_start(10);
    r->set_end(20);
    h.Apply(SwitchRecords(ls));
    EXPECT_TRUE(cap.Contains("Update trunk vlan on async switch start 10, end 20"));
    EXPECT_EQ(h.Port("port-1")["vlan_trunk"]["ranges"][0]["end"], 20);
    EXPECT_EQ(h.Block("port-1"), "UNBLOCK");
}

TEST_F(DvsBlockingTest, RejectedSecurityKeepsThePortBlockedUntilSecurityIsSet) {
    h.Apply(SwitchRecords(Switch(1, 5001)));
    pb::LogSwitchPortConfigMsg lsp = Port(11, 1, "port-1", "vif-1");
    // A white list without spoof guard is refused.
    lsp.mutable_switch_security()->add_spoofguard_whitelist()->set_mac(0x005056000001);
    h.Connect("vif-1", "port-1");
    h.Apply(PortRecords(lsp));
    EXPECT_TRUE(cap.ContainsWithCode("spoofguard not enabled but whitelist size = 1", "LCP00001"));
    EXPECT_TRUE(
        cap.Contains("No security is configured, will unblock port port-1 after security is set"));
    EXPECT_EQ(h.Block("port-1"), "BLOCK");
    EXPECT_EQ(h.conv->PortCauses("port-1"),
              std::set<dvs::BlockCause>{dvs::BlockCause::kNoSecurity});
    lsp.mutable_switch_security()->set_port_spoofguard(true);
    h.Apply(PortRecords(lsp));
    EXPECT_EQ(h.Block("port-1"), "UNBLOCK");
    EXPECT_EQ(h.Port("port-1")["spoof_guard"]["enabled"], true);
    EXPECT_EQ(h.Port("port-1")["spoof_guard"]["whitelist"][0]["mac"], "00:50:56:00:00:01");
}

TEST_F(DvsBlockingTest, PortMovesBetweenSwitches) {
    pb::LogSwitchConfigMsg ls2 = Switch(2, 5002);
    ls2.set_admin_state_up(false);
    CairnDBUpdateList batch = SwitchRecords(Switch(1, 5001));
    CairnDBUpdateList more = SwitchRecords(ls2);
    batch.insert(batch.end(), more.begin(), more.end());
    h.Apply(batch);
    h.Apply(PortRecords(Port(11, 1, "port-1", "vif-1")));
    h.Connect("vif-1", "port-1");
    ASSERT_EQ(h.Block("port-1"), "UNBLOCK");

    h.Apply(PortRecords(Port(11, 2, "port-1", "vif-1")));
    EXPECT_TRUE(cap.Contains("Update logical port [" + Text(11) + "] property logical switch [" +
                             Text(2) + "]"));
    EXPECT_EQ(h.Port("port-1")["vni"]["vni"], 5002);
    EXPECT_EQ(h.Port("port-1")["ls_id"]["ls_id"], Text(2));
    EXPECT_EQ(h.Block("port-1"), "BLOCK");  // the new switch is down

    ls2.set_admin_state_up(true);
    h.Apply(SwitchRecords(ls2));
    EXPECT_EQ(h.Block("port-1"), "UNBLOCK");
    // The old switch no longer reaches the port.
    pb::LogSwitchConfigMsg ls1 = Switch(1, 7777);
    size_t before = h.app.sent.size();
    h.Apply(SwitchRecords(ls1));
    EXPECT_EQ(h.app.sent.size(), before);
    EXPECT_EQ(h.Port("port-1")["vni"]["vni"], 5002);
}

TEST_F(DvsBlockingTest, DetachmentAndRemovalLeaveTheVifBlocked) {
    h.Apply(SwitchRecords(Switch(1, 5001)));
    pb::LogSwitchPortConfigMsg lsp = Port(11, 1, "port-1", "vif-1");
    h.Apply(PortRecords(lsp));
    h.Connect("vif-1", "port-1");
    ASSERT_EQ(h.Block("port-1"), "UNBLOCK");

    lsp.clear_attachment();
    h.Apply(PortRecords(lsp));
    EXPECT_TRUE(cap.Contains("Get VIF[vif-1] detachment message"));
    // Only the BLOCK is left of the port's record.
    nlohmann::json p = h.Port("port-1");
    EXPECT_EQ(p.size(), 1u) << p.dump();
    EXPECT_EQ(h.Block("port-1"), "BLOCK");
    EXPECT_EQ(h.conv->PortCauses("port-1"), std::set<dvs::BlockCause>{dvs::BlockCause::kDetached});

    // Attached again, then the logical port goes away altogether.
    h.Apply(PortRecords(Port(11, 1, "port-1", "vif-1")));
    EXPECT_EQ(h.Block("port-1"), "UNBLOCK");
    h.Apply(Removal(ObjectType::LOG_SWITCH_PORT_CONFIG, Id(11)));
    EXPECT_TRUE(cap.Contains("Delete logical port [" + Text(11) + "]"));
    EXPECT_EQ(h.Block("port-1"), "BLOCK");
    EXPECT_EQ(h.Port("port-1").size(), 1u);

    // A switch removal blocks the ports that stay on it.
    h.Apply(PortRecords(Port(12, 1, "port-2", "vif-2")));
    h.Connect("vif-2", "port-2");
    ASSERT_EQ(h.Block("port-2"), "UNBLOCK");
    h.Apply(Removal(ObjectType::LOG_SWITCH_CONFIG, Id(1)));
    EXPECT_TRUE(cap.Contains("Delete logical switch [" + Text(1) + "]"));
    EXPECT_EQ(h.Block("port-2"), "BLOCK");
    EXPECT_FALSE(h.Port("port-2").contains("vni"));
}

TEST_F(DvsBlockingTest, RemovedPropertiesReachTheDataplaneWhicheverWayTheyAreHandedOver) {
    pb::LogSwitchConfigMsg ls = Switch(1, 5001);
    ls.set_replication_mode(2);
    h.Apply(SwitchRecords(ls));
    h.Apply(PortRecords(Port(11, 1, "port-1", "vif-1")));
    h.Connect("vif-1", "port-1");
    ASSERT_EQ(h.Port("port-1")["replication_mode"]["mode"], 2);
    ls.clear_replication_mode();
    h.ApplyRemovalsAsProperties(SwitchRecords(ls));
    EXPECT_FALSE(h.Port("port-1").contains("replication_mode"));
    ls.set_replication_mode(1);
    h.Apply(SwitchRecords(ls));
    EXPECT_EQ(h.Port("port-1")["replication_mode"]["mode"], 1);
    ls.clear_replication_mode();
    h.Apply(SwitchRecords(ls));  // as entity records: the table tells what went away
    EXPECT_FALSE(h.Port("port-1").contains("replication_mode"));
    // The switch itself is still there.
    EXPECT_EQ(h.Port("port-1")["vni"]["vni"], 5001);
    EXPECT_FALSE(cap.Contains("Delete logical switch"));
}

TEST_F(DvsBlockingTest, DisconnectedPortsAreForgottenAndUnknownOnesIgnored) {
    h.Apply(SwitchRecords(Switch(1, 5001)));
    h.Apply(PortRecords(Port(11, 1, "port-1", "vif-1")));
    h.Connect("vif-1", "port-1");
    EXPECT_TRUE(h.conv->HasPort("port-1"));
    h.Disconnect("vif-1", "port-1");
    EXPECT_FALSE(h.conv->HasPort("port-1"));
    h.Disconnect("vif-9", "port-9");
    EXPECT_TRUE(cap.Contains("Disconnect port [port-9] not in the list, ignore the update"));
    // Reconnected, the port is sent whole again.
    size_t before = h.app.sent.size();
    h.Connect("vif-1", "port-1");
    std::vector<SentRecord> r = h.app.Records(before);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].op, kOpFullSync);
    // Ports of logical ports with IDs that are not UUIDs are left alone.
    h.conv->SendPortUnblockUpdate({"not-a-uuid"}, {});
    EXPECT_TRUE(cap.Contains("ID is not a valid logical switch port UUID, ignore the update"));
}

// The tables' account for the memory section follows the ports: a logical port adds at least its
// record twice over (with its indexes and handled values), a connected port at least its dataplane
// record, and removing them gives the bytes back.
TEST_F(DvsBlockingTest, TableBytesFollowThePortsHeld) {
    h.Apply(SwitchRecords(Switch(1, 5001)));
    const size_t empty = h.conv->TableBytes();
    constexpr int kPorts = 50;
    for (int i = 0; i < kPorts; ++i) {
        std::string n = std::to_string(i);
        h.Apply(PortRecords(Port(100 + i, 1, "port-" + n, "vif-" + n)));
    }
    const size_t logical = h.conv->TableBytes();
    EXPECT_GT(logical, empty + kPorts * 2 * sizeof(dvs::LspState)) << empty;
    for (int i = 0; i < kPorts; ++i) {
        std::string n = std::to_string(i);
        h.Connect("vif-" + n, "port-" + n);
    }
    const size_t full = h.conv->TableBytes();
    EXPECT_GT(full, logical + kPorts * sizeof(dvs::PortState)) << logical;
    for (int i = 0; i < kPorts; ++i) {
        std::string n = std::to_string(i);
        h.Disconnect("vif-" + n, "port-" + n);
        h.Apply(Removal(ObjectType::LOG_SWITCH_PORT_CONFIG, Id(100 + i)));
    }
    // Hash tables keep their grown bucket arrays.
    EXPECT_LT(h.conv->TableBytes(), empty + (full - empty) / 10) << empty << " " << full;
}

// A switch's change reaches exactly the ports still on it, whichever of its ports left before (the
// latest to join, the first, one between) and however (moved to another switch, removed, its
// switch id cleared), and a port that moved follows its new switch.
TEST_F(DvsBlockingTest, ASwitchChangeReachesThePortsStillOnItAfterOthersLeft) {
    enum class Leave { kMove, kRemove, kClear };
    struct Case {
        const char* name;
        std::vector<std::pair<int, Leave>> leaving;  // ports 0..4 joined in order
    } cases[] = {
        {"latest moves", {{4, Leave::kMove}}},
        {"first removed", {{0, Leave::kRemove}}},
        {"middle cleared", {{2, Leave::kClear}}},
        {"neighbours move and go", {{2, Leave::kMove}, {3, Leave::kRemove}, {1, Leave::kMove}}},
        {"one moves, the next goes", {{2, Leave::kMove}, {1, Leave::kRemove}}},
        {"all but one",
         {{0, Leave::kRemove}, {4, Leave::kMove}, {1, Leave::kClear}, {3, Leave::kMove}}},
    };
    constexpr int kPorts = 5;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DvsHarness g;
        g.Apply(SwitchRecords(Switch(1, 5001)));
        g.Apply(SwitchRecords(Switch(2, 5002)));
        auto name = [](const char* what, int i) { return what + std::to_string(i); };
        for (int i = 0; i < kPorts; ++i) {
            g.Apply(PortRecords(Port(100 + i, 1, name("port-", i), name("vif-", i))));
            g.Connect(name("vif-", i), name("port-", i));
        }
        std::map<int, int> switchOf;  // port -> switch (0: none or removed)
        for (int i = 0; i < kPorts; ++i)
            switchOf[i] = 1;
        for (const auto& [i, how] : c.leaving) {
            pb::LogSwitchPortConfigMsg lsp = Port(100 + i, 2, name("port-", i), name("vif-", i));
            if (how == Leave::kMove) {
                g.Apply(PortRecords(lsp));
                switchOf[i] = 2;
            } else if (how == Leave::kClear) {
                lsp.clear_switch_id();
                g.Apply(PortRecords(lsp));
                switchOf[i] = 0;
            } else {
                g.Apply(Removal(ObjectType::LOG_SWITCH_PORT_CONFIG, Id(100 + i)));
                switchOf[i] = 0;
            }
        }
        for (int sw : {1, 2}) {
            pb::LogSwitchConfigMsg down = Switch(sw, 5000 + sw);
            down.set_admin_state_up(false);
            g.Apply(SwitchRecords(down));
        }
        for (int i = 0; i < kPorts; ++i) {
            // Ports on a switch are blocked by its admin state; the others by their own reason
            // (no switch, or detached), never unblocked.
            EXPECT_EQ(g.Block(name("port-", i)), "BLOCK") << i;
            std::set<dvs::BlockCause> causes = g.conv->PortCauses(name("port-", i));
            EXPECT_EQ(causes.count(dvs::BlockCause::kSwitchDown) != 0, switchOf[i] != 0) << i;
        }
        for (int sw : {1, 2})
            g.Apply(SwitchRecords(Switch(sw, 5000 + sw)));
        for (int i = 0; i < kPorts; ++i)
            EXPECT_EQ(g.Block(name("port-", i)), switchOf[i] != 0 ? "UNBLOCK" : "BLOCK") << i;
    }
}

// What few ports have (optional values, extra configs, switch security, QoS, mirror targets) is
// held apart, and only while a port has some of it: a port that had them gives the bytes back when
// the last goes, and a port that never had any holds none.
TEST_F(DvsBlockingTest, OptionalValuesAreHeldOnlyWhileThePortHasThem) {
    h.Apply(SwitchRecords(Switch(1, 5001)));
    constexpr int kPorts = 20;
    auto apply = [&](bool rich) {
        for (int i = 0; i < kPorts; ++i) {
            std::string n = std::to_string(i);
            pb::LogSwitchPortConfigMsg lsp = Port(100 + i, 1, "port-" + n, "vif-" + n);
            if (rich) {
                pb::KeyValueMsg* kv = lsp.add_extra_configs();
                kv->set_key("com.orvane.port.extraConfig.policyRoute");
                kv->set_value("lsp");
                lsp.mutable_realtime_latency()->set_enabled(true);
                lsp.mutable_realtime_latency()->set_value(50);
            }
            h.Apply(PortRecords(lsp));
        }
        return h.conv->TableBytes();
    };
    const size_t empty = h.conv->TableBytes();
    const size_t plain = apply(false);
    const size_t rich = apply(true);
    EXPECT_GE(rich, plain + kPorts * sizeof(dvs::LspExtras)) << plain;
    const size_t again = apply(false);
    EXPECT_LE(again, plain + kPorts * 64) << plain << " " << rich;
    // A plain port (its record and strings, indexes and handled values) costs less than 800
    // bytes: no extras.
    EXPECT_LT(plain - empty, kPorts * 800) << empty;
}

// Every property a port has because of the switch it is on, and how the port leaves that switch.
struct MembershipCase {
    const char* name;
    // What gives the port the property: changes to its switch and logical port, then objects
    // applied once the port is connected.
    std::function<void(pb::LogSwitchConfigMsg&, pb::LogSwitchPortConfigMsg&)> configure;
    std::function<void(DvsHarness&)> extra;
    const char* property;    // in the dataplane's record of the port
    bool container = false;  // the port is a container port behind parent VIF "vif-p"
};

void PrintTo(const MembershipCase& c, std::ostream* os) {
    *os << c.name;
}

enum class Leave { kSwitchIdCleared, kSwitchIdRemovedAsProperty, kSwitchRemoved };

std::string LeaveName(Leave l) {
    switch (l) {
        case Leave::kSwitchIdCleared:
            return "SwitchIdCleared";
        case Leave::kSwitchIdRemovedAsProperty:
            return "SwitchIdRemovedAsProperty";
        default:
            return "SwitchRemoved";
    }
}

void PrintTo(Leave l, std::ostream* os) {
    *os << LeaveName(l);
}

void AddKeyValue(google::protobuf::RepeatedPtrField<pb::KeyValueMsg>* list, const std::string& k,
                 const std::string& v) {
    auto* kv = list->Add();
    kv->set_key(k);
    kv->set_value(v);
}

// The child port of the container case (CIFConfig creates it behind "vif-p").
constexpr const char* kChildPort = "00000000-0000-0000-0000-0000000000c1_1";

const MembershipCase kMembershipCases[] = {
    {"LsId", [](auto&, auto&) {}, nullptr, "ls_id"},
    {"Vni", [](auto&, auto&) {}, nullptr, "vni"},
    {"Vlan",
     [](pb::LogSwitchConfigMsg& ls, auto&) {
         ls.clear_vni();
         ls.set_vlan(42);
     },
     nullptr, "vlan"},
    {"VlanTrunk",
     [](pb::LogSwitchConfigMsg& ls, auto&) {
         ls.clear_vni();
         auto* r = ls.add_vlan_trunk();
         r->set_start(100);
         r->set_end(199);
     },
     nullptr, "vlan_trunk"},
    {"ReplicationMode", [](pb::LogSwitchConfigMsg& ls, auto&) { ls.set_replication_mode(2); },
     nullptr, "replication_mode"},
    {"LsType", [](pb::LogSwitchConfigMsg& ls, auto&) { ls.set_type(2); }, nullptr, "ls_type"},
    {"LsSpSubtype", [](pb::LogSwitchConfigMsg& ls, auto&) { ls.set_sp_subtype(1); }, nullptr,
     "ls_sp_subtype"},
    {"SwitchMacManagement",
     [](pb::LogSwitchConfigMsg& ls, auto&) { ls.mutable_mac_management()->set_mac_limit(100); },
     nullptr, "mac_management"},
    {"SwitchExtraConfig",
     [](pb::LogSwitchConfigMsg& ls, auto&) {
         AddKeyValue(ls.mutable_extra_configs(), "com.orvane.port.extraConfig.policyRoute", "ls");
     },
     nullptr, "policy_route"},
    {"QosMarking",
     [](auto&, pb::LogSwitchPortConfigMsg& lsp) {
         lsp.mutable_qos()->set_cos(3);
         lsp.mutable_qos()->set_dscp(10);
     },
     nullptr, "qos_marking"},
    {"QosShapers",
     [](auto&, pb::LogSwitchPortConfigMsg& lsp) {
         auto* s = lsp.mutable_qos()->add_shapers();
         s->set_type(kShaperIngress);
         s->set_average_bandwidth_kbps(1000);
         s->set_peak_bandwidth_kbps(2000);
     },
     nullptr, "qos_shapers"},
    {"SwitchMirrorSession", [](auto&, auto&) {},
     [](DvsHarness& h) {
         pb::PortMirrorSessionMsg pms;
         *pms.mutable_id() = Uuid(40);
         *pms.mutable_logical_port_mirror_session()->add_source_switches() = Uuid(1);
         *pms.mutable_logical_port_mirror_session()->add_destinations() = Uuid(12);
         h.Apply(MirrorRecords(pms));
     },
     "mirror_session"},
    {"ContainerAttachment",
     [](pb::LogSwitchConfigMsg& ls, pb::LogSwitchPortConfigMsg& lsp) {
         auto* a = ls.add_attachment();
         *a->mutable_attachment_id() = Uuid(2);
         a->set_vlan(10);
         lsp.mutable_attachment()->set_parent_vif_id("vif-p");
         lsp.mutable_attachment()->set_vlan(10);
         lsp.mutable_attachment()->set_dvport_id(kChildPort);
         lsp.add_address_bindings()->set_mac(0x020000000001);
     },
     nullptr, "ls_attachment", true},
};

class DvsMembershipTest : public ::testing::TestWithParam<std::tuple<MembershipCase, Leave>> {
  protected:
    LogCapture cap{kLogDebug};
    DvsHarness h;
};

// A port that leaves its switch and comes back gets back everything it had there, though none of
// the values changed meanwhile.
TEST_P(DvsMembershipTest, PortGetsItsSwitchPropertiesBackOnRejoin) {
    const auto& [c, leave] = GetParam();
    const std::string port = c.container ? kChildPort : "port-1";
    if (c.container)
        h.EnableCifs();
    pb::LogSwitchConfigMsg ls = Switch(1, 5001);
    pb::LogSwitchPortConfigMsg lsp = Port(11, 1, "port-1", "vif-1");
    c.configure(ls, lsp);
    // The container case: parent switch 2 with the parent port on VIF "vif-p".
    h.Apply(SwitchRecords(Switch(2, 5002)));
    h.Apply(PortRecords(Port(21, 2, "port-p", "vif-p")));
    h.Connect("vif-p", "port-p");
    h.Apply(SwitchRecords(ls));
    h.Apply(PortRecords(lsp));
    if (!c.container)
        h.Connect("vif-1", "port-1");
    if (c.extra)
        c.extra(h);
    ASSERT_EQ(h.Block(port), "UNBLOCK");
    const nlohmann::json had = h.Port(port)[c.property];
    ASSERT_FALSE(had.is_null()) << h.Port(port).dump();

    pb::LogSwitchPortConfigMsg away = lsp;
    away.clear_switch_id();
    switch (leave) {
        case Leave::kSwitchIdCleared:
            h.Apply(PortRecords(away));
            break;
        case Leave::kSwitchIdRemovedAsProperty:
            h.ApplyRemovalsAsProperties(PortRecords(away));
            break;
        case Leave::kSwitchRemoved:
            h.Apply(Removal(ObjectType::LOG_SWITCH_CONFIG, Id(1)));
            break;
    }
    EXPECT_EQ(h.Block(port), "BLOCK");
    if (leave != Leave::kSwitchRemoved) {
        EXPECT_FALSE(h.Port(port).contains(c.property)) << h.Port(port).dump();
    }

    if (leave == Leave::kSwitchRemoved)
        h.Apply(SwitchRecords(ls));
    else
        h.Apply(PortRecords(lsp));
    EXPECT_EQ(h.Port(port)[c.property], had) << h.Port(port).dump();
    EXPECT_EQ(h.Block(port), "UNBLOCK");
}

INSTANTIATE_TEST_SUITE_P(EveryMembershipProperty, DvsMembershipTest,
                         ::testing::Combine(::testing::ValuesIn(kMembershipCases),
                                            ::testing::Values(Leave::kSwitchIdCleared,
                                                              Leave::kSwitchIdRemovedAsProperty,
                                                              Leave::kSwitchRemoved)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    LeaveName(std::get<1>(info.param));
                         });

// QoS given while the port is on no switch reaches the dataplane once it joins one.
TEST_F(DvsBlockingTest, QosGivenBeforeTheSwitchAppliesWhenThePortJoins) {
    h.Apply(SwitchRecords(Switch(1, 5001)));
    pb::LogSwitchPortConfigMsg lsp = Port(11, 1, "port-1", "vif-1");
    lsp.clear_switch_id();
    lsp.mutable_qos()->set_cos(5);
    h.Apply(PortRecords(lsp));
    h.Connect("vif-1", "port-1");
    EXPECT_TRUE(cap.Contains("LSP_SWITCH_ID is not found for port [" + Text(11) + "]"));
    EXPECT_FALSE(h.Port("port-1").contains("qos_marking"));
    *lsp.mutable_switch_id() = Uuid(1);
    h.Apply(PortRecords(lsp));
    EXPECT_EQ(h.Port("port-1")["qos_marking"]["cos"], 5);
}

}  // namespace
}  // namespace CfgAgent::test
