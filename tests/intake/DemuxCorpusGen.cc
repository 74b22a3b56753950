// Writes the seed corpus of the Demux fuzz target (tests/intake/corpus/demux): one update per
// node type and a global, each as route byte + serialized MonitorUpdateMsg. Built on demand
// (target demux_corpus_gen) and run by hand when the schema grows:
// demux_corpus_gen tests/intake/corpus/demux
#include <fstream>
#include <iostream>
#include <string>

#include "tests/intake/DemuxTestUtil.h"

using namespace CfgAgent;
using namespace CfgAgent::test;

namespace {

std::string g_dir;

void Write(const std::string& name, const google::protobuf::Message& body, ObjectType type,
           uint8_t route = 1, pb::PBOpType op = pb::SET) {
    std::ofstream out(g_dir + "/" + name, std::ios::binary);
    pb::MonitorUpdateMsg u = op == pb::CLEAR ? ClearOf(type, body) : SetOf(type, body, op);
    out << static_cast<char>(route) << u.SerializeAsString();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " DIR\n";
        return 1;
    }
    g_dir = argv[1];
    using OT = ObjectType;
    Write("ls", Ls(2, 2, 1), OT::LOG_SWITCH_CONFIG);
    Write("ls_clear", Ls(1, 1, 1), OT::LOG_SWITCH_CONFIG, 1, pb::CLEAR);
    Write("lsp", Lsp(2, 1, true), OT::LOG_SWITCH_PORT_CONFIG);
    Write("tn", Tn(2, {{3, {1}}, {2, {1, 2}}}), OT::TRANSPORT_NODE_CONFIG);
    pb::DaVifMsg vif;
    *vif.mutable_id() = VifId(1);
    Write("davif", vif, OT::DA_VIF);
    pb::VtepGroupMsg vg;
    *vg.mutable_id() = Uuid(0xe01);
    *vg.mutable_host_switch_id() = HsId(1);
    Write("vtep_group", vg, OT::VTEP_GROUP);
    pb::LogSwitchFibMsg lsFib;
    *lsFib.mutable_id() = LsId(1);
    lsFib.add_vtep_entries()->mutable_ip()->set_ipv4(1);
    Write("ls_fib", lsFib, OT::LOG_SWITCH_FIB);
    pb::RoutingDomainFibMsg rd;
    *rd.mutable_id() = Uuid(0x801);
    Write("rd_fib", rd, OT::ROUTING_DOMAIN_FIB);
    pb::LogRouterConfigMsg lr;
    *lr.mutable_id() = LrId(1);
    *lr.add_logical_switch_ids() = LsId(1);
    *lr.mutable_ndra_profile_id() = Uuid(0xd12);
    Write("lr", lr, OT::LOG_ROUTER_CONFIG, 3);
    pb::LogRouterPortConfigMsg lrp;
    *lrp.mutable_id() = LrpId(1);
    *lrp.mutable_lr_uuid() = LrId(1);
    Write("lrp", lrp, OT::LOG_ROUTER_PORT_CONFIG);
    pb::FibMsg fib;
    *fib.mutable_id() = Uuid(0xb11);
    *fib.mutable_router_id() = LrId(1);
    Write("fib", fib, OT::FIB);
    pb::ArpTableConfigMsg arp;
    *arp.mutable_id() = Uuid(0xb12);
    *arp.mutable_router_port_id() = LrpId(1);
    Write("arp", arp, OT::ARP_TABLE_CONFIG);
    pb::MulticastStaticRouteMsg msr;
    *msr.mutable_id() = Uuid(0xb13);
    *msr.mutable_lr_uuid() = LrId(1);
    Write("mcast_route", msr, OT::MULTICAST_STATIC_ROUTE);
    pb::MulticastConfigMsg mc;
    *mc.mutable_id() = Uuid(0xb14);
    *mc.mutable_lr_uuid() = LrId(1);
    Write("mcast_config", mc, OT::MULTICAST_CONFIG);
    pb::LogRouterPortFibDadStateMsg dadState;
    *dadState.mutable_id() = Uuid(0xb15);
    *dadState.mutable_lrp_id() = LrpId(1);
    Write("dad_state", dadState, OT::LOG_ROUTER_PORT_FIB_DAD_STATE);
    pb::PrefixListMsg prefix;
    *prefix.mutable_id() = Uuid(0xb16);
    *prefix.mutable_router_port_id() = LrpId(1);
    Write("prefix_list", prefix, OT::PREFIX_LIST);
    pb::DadProfileConfigMsg dad;
    *dad.mutable_id() = Uuid(0xd11);
    Write("dad_profile", dad, OT::DAD_PROFILE_CONFIG);
    pb::NdraProfileConfigMsg ndra;
    *ndra.mutable_id() = Uuid(0xd12);
    Write("ndra_profile", ndra, OT::NDRA_PROFILE_CONFIG);
    pb::EntityGroupRelationMsg erg;
    *erg.mutable_id() = Uuid(0xb17);
    erg.set_entity_type(1);
    *erg.add_entity_ids() = LspId(1);
    Write("entity_group", erg, OT::ENTITY_GROUP_RELATION);
    pb::NsgMembershipStatusMsg nsg;
    *nsg.mutable_id() = Uuid(0xb19);
    *nsg.mutable_lsp_id() = LspId(1);
    Write("nsg", nsg, OT::NSG_MEMBERSHIP_STATUS);
    pb::LogRouterPortDadRequestMsg dadReq;
    *dadReq.mutable_id() = Uuid(0xb1a);
    *dadReq.mutable_lrp_id() = LrpId(1);
    Write("dad_request", dadReq, OT::LOG_ROUTER_PORT_DAD_REQUEST);
    Write("rule", Rule(1), OT::RULE, 2);
    pb::BarrierMsg barrier;
    *barrier.mutable_id() = Uuid(0xb0);
    barrier.set_barrier_id(3);
    Write("barrier_fullsync", barrier, OT::BARRIER, 2 | 4);
    return 0;
}
