// Writes the seed corpus of the Mux fuzz target (tests/intake/corpus/mux): one update per
// monitored runtime type, set and cleared, each as the pick byte + serialized MonitorUpdateMsg.
// Built on demand (target mux_corpus_gen) and run by hand: mux_corpus_gen tests/intake/corpus/mux
#include <fstream>
#include <iostream>
#include <string>

#include "proto/cairndb_si.pb.h"
#include "tests/intake/DemuxTestUtil.h"

using namespace CfgAgent;
using namespace CfgAgent::test;

namespace {

std::string g_dir;

void Write(const std::string& name, const google::protobuf::Message& body, ObjectType type,
           uint8_t pick, bool clear = false) {
    std::ofstream out(g_dir + "/" + name, std::ios::binary);
    const pb::MonitorUpdateMsg u = clear ? ClearOf(type, body) : SetOf(type, body);
    out << static_cast<char>(pick) << u.SerializeAsString();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " DIR\n";
        return 1;
    }
    g_dir = argv[1];
    using OT = ObjectType;
    pb::VifStateMsg vif;
    *vif.mutable_id() = VifId(1);
    vif.set_status(1);
    vif.add_macs(0x005056000001);
    Write("vif_state", vif, OT::VIF_STATE, 0);
    Write("vif_state_host_too", vif, OT::VIF_STATE, 4 | 1);
    Write("vif_state_clear", vif, OT::VIF_STATE, 2, true);
    pb::HopoverStatusMsg hop;
    *hop.mutable_id() = VifId(2);
    hop.set_status(2);
    Write("hopover_status", hop, OT::HOPOVER_STATUS, 2);
    pb::LogSwitchStateMsg ls;
    *ls.mutable_id() = LsId(1);
    ls.add_mac_entries()->set_mac(0x005056000002);
    ls.add_vtep_entries()->set_label(7);
    Write("log_switch_state", ls, OT::LOG_SWITCH_STATE, 4);
    pb::RoutingDomainVtepMsg rd;
    *rd.mutable_id() = LsId(2);
    rd.add_vtep_entries()->set_label(9);
    Write("routing_domain_vtep", rd, OT::ROUTING_DOMAIN_VTEP, 1);
    Write("routing_domain_vtep_clear", rd, OT::ROUTING_DOMAIN_VTEP, 3, true);
    pb::ProcessedBarrierMsg barrier;
    *barrier.mutable_id() = LsId(3);
    barrier.set_vertical_id(1);
    barrier.set_barrier_id(5);
    Write("processed_barrier", barrier, OT::PROCESSED_BARRIER, 0);
    pb::RuntimeStatusMsg status;
    *status.mutable_id() = LsId(4);
    Write("runtime_status", status, OT::RUNTIME_STATUS, 1);
    pb::SiServiceVmStatusMsg si;
    *si.mutable_id() = LsId(5);
    Write("si_service_vm_status", si, OT::SI_SERVICE_VM_STATUS, 0);
    Write("si_service_vm_status_clear", si, OT::SI_SERVICE_VM_STATUS, 1, true);
    return 0;
}
