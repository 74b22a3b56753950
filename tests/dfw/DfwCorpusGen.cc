// Writes the seed corpus of the message cache's fuzz target (tests/dfw/corpus/dfw_msg_cache):
// batches of well-formed firewall records in the target's framing (DfwFuzzFraming.h). Built on
// demand (target dfw_corpus_gen) and run by hand when the schema grows: dfw_corpus_gen
// tests/dfw/corpus/dfw_msg_cache
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tests/dfw/DfwFuzzFraming.h"
#include "tests/support/DfwRecords.h"

using namespace CfgAgent;
using namespace CfgAgent::test::dfw;

namespace {

uint8_t TypeIndex(ObjectType t) {
    for (uint8_t i = 0; i < test::kDfwFuzzTypeCount; ++i) {
        if (test::kDfwFuzzTypes[i] == t)
            return i;
    }
    return 0;
}

void Write(const std::string& dir, const std::string& name, uint8_t split,
           const std::vector<CairnDBUpdateMsg>& records) {
    std::string out(1, static_cast<char>(split));
    for (const CairnDBUpdateMsg& r : records) {
        pb::UuidMsg id;
        id.ParseFromString(r.id);
        out.push_back(static_cast<char>(TypeIndex(r.objType)));
        uint8_t op = static_cast<uint8_t>(((id.right() & 7) << 1) |
                                          (r.op == Operation::OPERATION_DELETE ? 1 : 0));
        out.push_back(static_cast<char>(op));
        out.push_back(static_cast<char>(r.data.size() & 0xFF));
        out.push_back(static_cast<char>((r.data.size() >> 8) & 0xFF));
        out += r.data;
    }
    std::ofstream(dir + "/" + name, std::ios::binary) << out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " DIR\n";
        return 1;
    }
    std::string dir = argv[1];
    auto tcp = [](pb::RuleMsg& r) {
        pb::ProtocolSpecMsg* p = r.add_services();
        p->set_ip_protocol(6);
        pb::PortRangeMsg* port = p->add_destination_ports();
        port->set_start(80);
        port->set_end(88);
        r.mutable_source()->add_container_ids()->CopyFrom(Uuid(3));
        AddIpv4(r.mutable_destination()->add_ip_addresses(), 0x0A000000, 8);
    };
    Write(dir, "rules_and_sections", 3,
          {SectionRec(1, 10), RuleRec(2, 1, 1, tcp), ContainerRec(3, {0x0A000001}),
           Deleted(RuleRec(2, 1, 1)), RuleRec(2, 5, 1)});
    Write(dir, "profiles", 1,
          {ProfileRec(4, {{"APP_ID", {"HTTP", "SSL"}}, {"", {"x"}}}),
           ProfileRec(5, {{"IDS", {"on"}}}), Deleted(ProfileRec(4, {}))});
    Write(dir, "spans", 1,
          {SpanRec(6, {{"PRE-FILTER", 1, 10}, {"FILTER", 11, 20}},
                   [](pb::ConfigSpanMsg& s) { s.add_dfw_excluded_vifs("vif-1"); }),
           SpanRec(6, {{"ONLY", 1, 10}}), SpanRec(7, {}, [](pb::ConfigSpanMsg& s) {
               s.mutable_categories()->add_categories()->set_name("Emergency");
           })});
    Write(dir, "chunks_groups_modes", 2,
          {ChunkRec(1, 1, 4), GroupRec(2, 3, {4, 5}),
           GlobalRec([](pb::GlobalConfigMsg& g) { g.set_fastpath_lookup_mode(true); }),
           ToggleRec(true, false), BarrierRec(9), Deleted(ChunkRec(1, 1, 0))});
    Write(dir, "lb_and_ids", 2,
          {RuleRec(1, 1, 2, [](pb::RuleMsg& r) { r.set_enforcement(4); }),
           SectionRec(2, 1, [](pb::RuleSectionMsg& s) { s.set_enforcement(4); }),
           RuleRec(1, 1, 2, [](pb::RuleMsg& r) { r.set_enforcement(2); })});
    return 0;
}
