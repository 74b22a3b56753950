// Writes the seed corpus of the decoder fuzz target (tests/intake/corpus/decoder): one serialized
// MonitorUpdateMsg per file, covering every pattern. Built on demand (target decoder_corpus_gen)
// and run by hand when the schema grows: decoder_corpus_gen tests/intake/corpus/decoder
#include <fstream>
#include <iostream>
#include <string>

#include "proto/cairndb_firewall.pb.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_routing.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_system.pb.h"
#include "tests/intake/DecodeTestUtil.h"

using namespace CfgAgent;
using namespace CfgAgent::test;

namespace {

std::string g_dir;

void Write(const std::string& name, const pb::MonitorUpdateMsg& u) {
    std::ofstream out(g_dir + "/" + name, std::ios::binary);
    out << u.SerializeAsString();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " DIR\n";
        return 1;
    }
    g_dir = argv[1];

    pb::LogSwitchConfigMsg ls;
    *ls.mutable_id() = Uuid(1);
    ls.set_vni(5001);
    ls.add_vlan_trunk()->set_end(4);
    ls.mutable_tenant_context()->set_org_id("o");
    Write("ls_set", MakeUpdate(ObjectType::LOG_SWITCH_CONFIG, pb::SET, &ls, nullptr, true));
    Write("ls_clear", MakeUpdate(ObjectType::LOG_SWITCH_CONFIG, pb::CLEAR, nullptr, &ls));

    pb::LogSwitchPortConfigMsg lsp;
    *lsp.mutable_id() = Uuid(2);
    *lsp.mutable_switch_id() = Uuid(1);
    lsp.mutable_attachment()->set_vif_id("vif-1");
    lsp.add_address_bindings()->set_mac(0x0050560000aa);
    lsp.mutable_realtime_prp()->set_enabled(true);
    Write("lsp_set", MakeUpdate(ObjectType::LOG_SWITCH_PORT_CONFIG, pb::SET, &lsp));

    pb::LogSwitchFibMsg oldFib;
    *oldFib.mutable_id() = Uuid(1);
    for (int i = 0; i < 3; ++i)
        oldFib.add_mac_entries()->set_mac(0x10 + i);
    oldFib.add_vtep_entries()->set_label(7);
    pb::LogSwitchFibMsg newFib = oldFib;
    newFib.mutable_mac_entries()->DeleteSubrange(1, 1);
    auto fibOp = ObjOp<pb::LogSwitchFibOpMsg>(pb::SET);
    AddEntry(fibOp.mutable_mac_entries(), pb::REMOVE, 1);
    fibOp.mutable_vtep_entries()->set_op(pb::SET);
    Write("lsfib_remove", MakeUpdate(ObjectType::LOG_SWITCH_FIB, fibOp, &newFib, &oldFib, true));
    Write("lsfib_clear", MakeUpdate(ObjectType::LOG_SWITCH_FIB, pb::CLEAR, nullptr, &oldFib));

    pb::VtepGroupMsg vg;
    *vg.mutable_id() = Uuid(3);
    vg.set_key(9);
    vg.add_labels()->set_label(1);
    auto vgOp = OpOf(ObjectType::VTEP_GROUP, pb::SET, {{"key", pb::SET}, {"labels", pb::SET}});
    Write("vtep_group", MakeUpdate(ObjectType::VTEP_GROUP, *vgOp, &vg));

    pb::FibMsg fib;
    *fib.mutable_id() = Uuid(4);
    *fib.mutable_router_id() = Uuid(5);
    fib.mutable_prefix()->set_prefix_length(24);
    *fib.add_next_hops()->mutable_ip() = Ip4(1);
    fib.add_next_hops()->set_blackhole(true);
    auto l3Op = ObjOp<pb::FibOpMsg>(pb::SET);
    l3Op.mutable_router_id()->set_op(pb::SET);
    l3Op.mutable_prefix()->set_op(pb::SET);
    for (uint32_t i = 0; i < 3; ++i)
        AddEntry(l3Op.mutable_next_hops(), pb::SET, i);
    Write("fib_mismatch", MakeUpdate(ObjectType::FIB, l3Op, &fib, &fib));

    pb::ArpTableConfigMsg arp;
    *arp.mutable_id() = Uuid(6);
    *arp.mutable_router_port_id() = Uuid(7);
    arp.add_entries()->set_mac(1);
    auto arpOp = OpOf(ObjectType::ARP_TABLE_CONFIG, pb::SET,
                      {{"router_port_id", pb::CLEAR}, {"entries", pb::SET}});
    Write("arp", MakeUpdate(ObjectType::ARP_TABLE_CONFIG, *arpOp, &arp, &arp));

    pb::LogRouterPortFibDadStateMsg dad;
    *dad.mutable_id() = Uuid(8);
    dad.add_dad_status()->set_status(1);
    Write("dad_state", MakeUpdate(ObjectType::LOG_ROUTER_PORT_FIB_DAD_STATE,
                                  *OpOf(ObjectType::LOG_ROUTER_PORT_FIB_DAD_STATE, pb::SET,
                                        {{"dad_status", pb::SET}}),
                                  &dad));

    pb::RuleMsg rule;
    *rule.mutable_id() = Uuid(9);
    Write("rule_set", MakeUpdate(ObjectType::RULE, pb::SET, &rule));
    Write("rule_clear", MakeUpdate(ObjectType::RULE, pb::CLEAR, nullptr, &rule));

    pb::EntityGroupRelationMsg egr;
    *egr.mutable_id() = Uuid(10);
    egr.add_container_logical_switch_port()->add_logical_switch_port_ids()->set_right(2);
    Write("egr", MakeUpdate(ObjectType::ENTITY_GROUP_RELATION, pb::SET, &egr));

    pb::ProfileMsg profile;
    *profile.mutable_id() = Uuid(11);
    profile.set_profile_type(2);
    profile.mutable_ipfix_collector_profile()->add_collectors()->set_port(4739);
    Write("profile", MakeUpdate(ObjectType::PROFILE, pb::SET, &profile));

    pb::DaVifMsg davif;
    *davif.mutable_id() = Uuid(12);
    davif.add_bindings()->set_vlan(3);
    Write("davif", MakeUpdate(ObjectType::DA_VIF, pb::SET, &davif));

    pb::GlobalConfigMsg global;
    *global.mutable_id() = Uuid(13);
    global.set_mtu(1600);
    Write("global", MakeUpdate(ObjectType::GLOBAL_CONFIG, pb::SET, &global, nullptr, true));

    pb::HostSwitchSmartnicBackingMsg backing;
    *backing.mutable_id() = Uuid(14);
    backing.set_active_sn_id("sn-a");
    backing.set_vdb(2);
    Write("backing", MakeUpdate(ObjectType::HOST_SWITCH_SMARTNIC_BACKING, pb::SET, &backing));

    pb::LogRouterConfigMsg lr;
    *lr.mutable_id() = Uuid(15);
    lr.set_vdr_id(100);
    Write("lr_clear", MakeUpdate(ObjectType::LOG_ROUTER_CONFIG, pb::CLEAR, nullptr, &lr));
    std::cout << "corpus written to " << g_dir << "\n";
    return 0;
}
