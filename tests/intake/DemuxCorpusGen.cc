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
    for (const SubtreeNode& n : SubtreeOfSwitch1()) {
        auto body = n.Body();
        if (n.type == OT::LOG_SWITCH_FIB)  // an entry for the entry operations to work on
            static_cast<pb::LogSwitchFibMsg&>(*body).add_vtep_entries()->mutable_ip()->set_ipv4(1);
        Write(n.name, *body, n.type, n.type == OT::LOG_ROUTER_CONFIG ? 3 : 1);
    }
    Write("rule", Rule(1), OT::RULE, 2);
    pb::BarrierMsg barrier;
    *barrier.mutable_id() = Uuid(0xb0);
    barrier.set_barrier_id(3);
    Write("barrier_fullsync", barrier, OT::BARRIER, 2 | 4);
    return 0;
}
