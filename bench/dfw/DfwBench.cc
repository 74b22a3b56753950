// The firewall's intake and conversion at scale, each beside the work it cannot avoid, measured in
// one run so that their ratio is meaningful on any machine:
//   - merging a full sync of 100k rules and 10k containers (plus sections and profiles) into the
//     message cache, beside the decoder's time for the same updates (target ratio <= 1);
//   - converting 100k rules into library rules (5% with two services, 2% with context profiles),
//     beside the protobuf parse of the same rule messages (target ratio <= 3).
//
// Both sides are timed in the CPU time of the benchmark's thread.
//
//   build-rel/bench/bench_dfw --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/BenchFigures.h"
#include "dfw/DfwCompositeContainers.h"
#include "dfw/DfwLog.h"
#include "dfw/DfwMsgCache.h"
#include "dfw/DfwRuleBuilder.h"
#include "intake/Decoder.h"
#include "platform/tarp/CTarpFWRule.h"
#include "proto/cairndb_firewall.pb.h"
#include "proto/cairndb_monitor.pb.h"
#include "proto/lcp_firewall.pb.h"

namespace {

namespace pb = orvane::ozy::cairndb;
namespace fw = orvane::ozy::firewall;
using CfgAgent::ObjectType;

constexpr int kRules = 100000;
constexpr int kContainers = 10000;
constexpr int kProfiles = 100;
constexpr int kSections = 100;

pb::UuidMsg Uuid(uint64_t kind, uint64_t n) {
    pb::UuidMsg u;
    u.set_left(0x4f7a2c0e11d24b3aull + kind);
    u.set_right(n);
    return u;
}

template <class OpClass>
std::string SetOp() {
    OpClass m;
    m.mutable_op()->set_op(pb::SET);
    return m.SerializeAsString();
}

pb::MonitorUpdateMsg Update(ObjectType type, const std::string& op,
                            const google::protobuf::Message& body) {
    pb::MonitorUpdateMsg u;
    u.set_object_type(static_cast<pb::ObjectType>(type));
    u.set_op_msg(op);
    u.set_object_body(body.SerializeAsString());
    u.set_vdb(1);
    return u;
}

pb::RuleMsg Rule(int i) {
    pb::RuleMsg r;
    *r.mutable_id() = Uuid(1, static_cast<uint64_t>(i));
    r.set_rule_id(static_cast<uint32_t>(1000 + i));
    *r.mutable_section_id() = Uuid(2, static_cast<uint64_t>(i % kSections));
    r.set_direction(2);
    r.set_action(i % 3 == 0 ? 1 : 0);
    r.set_priority(static_cast<uint32_t>(i));
    r.set_type(0);
    r.set_log(i % 2 == 0);
    *r.mutable_source()->add_container_ids() =
        Uuid(3, static_cast<uint64_t>(kProfiles + i % (kContainers - kProfiles)));
    pb::FirewallAddressMsg* dst = r.mutable_destination()->add_ip_addresses();
    dst->mutable_ip()->set_ipv4(0x0A000000u + static_cast<uint32_t>(i));
    dst->set_prefix_length(32);
    int services = i % 20 == 0 ? 2 : 1;  // 5% with two services
    for (int s = 0; s < services; ++s) {
        pb::ProtocolSpecMsg* p = r.add_services();
        p->set_ip_protocol(s == 0 ? 6 : 17);
        p->add_destination_ports()->set_start(static_cast<uint32_t>(80 + i % 1000));
    }
    if (i % 50 == 0)  // 2% with context profiles
        *r.add_context_profile_ids() = Uuid(3, static_cast<uint64_t>(i % kProfiles));
    *r.mutable_applied_to()->add_container_ids() = Uuid(3, static_cast<uint64_t>(i % 500 + 200));
    return r;
}

// The database's full sync of the firewall: sections, containers, profiles, rules.
const std::vector<pb::MonitorUpdateMsg>& FullSync() {
    static const std::vector<pb::MonitorUpdateMsg> updates = [] {
        std::vector<pb::MonitorUpdateMsg> v;
        std::string sectionOp = SetOp<pb::RuleSectionOpMsg>();
        std::string containerOp = SetOp<pb::ContainerOpMsg>();
        std::string profileOp = SetOp<pb::ContextProfileOpMsg>();
        std::string ruleOp = SetOp<pb::RuleOpMsg>();
        for (int s = 0; s < kSections; ++s) {
            pb::RuleSectionMsg m;
            *m.mutable_id() = Uuid(2, static_cast<uint64_t>(s));
            m.set_priority(static_cast<uint32_t>(s));
            m.set_version(1);
            m.set_component_name("orvane-sfw");
            m.set_kind(1);
            v.push_back(Update(ObjectType::RULE_SECTION, sectionOp, m));
        }
        for (int p = 0; p < kProfiles; ++p) {
            pb::ContextProfileMsg m;
            *m.mutable_id() = Uuid(3, static_cast<uint64_t>(p));
            pb::ContextProfileAttributeMsg* a = m.add_attributes();
            a->set_key("APP_ID");
            a->add_values("HTTP");
            a->add_values("SSL");
            v.push_back(Update(ObjectType::CONTEXT_PROFILE, profileOp, m));
        }
        for (int c = kProfiles; c < kContainers; ++c) {
            pb::ContainerMsg m;
            *m.mutable_id() = Uuid(3, static_cast<uint64_t>(c));
            m.set_name("group-" + std::to_string(c));
            for (uint32_t a = 0; a < 4; ++a)
                m.add_ip_addresses()->mutable_ip()->set_ipv4(0xC0000000u + c * 4u + a);
            v.push_back(Update(ObjectType::CONTAINER, containerOp, m));
        }
        for (int i = 0; i < kRules; ++i)
            v.push_back(Update(ObjectType::RULE, ruleOp, Rule(i)));
        return v;
    }();
    return updates;
}

CfgAgent::CairnDBUpdateList Decode(const std::vector<pb::MonitorUpdateMsg>& updates) {
    CfgAgent::ComponentUpdateMap batch;
    CfgAgent::DecodeResult r;
    for (const pb::MonitorUpdateMsg& u : updates) {
        CfgAgent::Decoder::Decode(u, &r);
        CfgAgent::Decoder::File(r, batch);
    }
    return std::move(batch[CfgAgent::ComponentType::DFW]);
}

void Quiet() {
    CfgAgent::Logger::setConsole(false);
    CfgAgent::Logger::setSyslog(false);
    CfgAgent::g_dfwLogLevel = CfgAgent::kLogWarn;
}

void BM_MergeFullSyncBesideDecode(benchmark::State& state) {
    Quiet();
    const auto& updates = FullSync();
    double decodeMs = 0, mergeMs = 0;
    size_t rules = 0;
    for (auto _ : state) {
        double t0 = ozy::bench::ThreadMs();
        CfgAgent::CairnDBUpdateList records = Decode(updates);
        double t1 = ozy::bench::ThreadMs();
        auto cache = ozy::MakeRef<CfgAgent::DfwMsgCache>();
        double t2 = ozy::bench::ThreadMs();
        cache->UpdateDesiredState(records, true);
        double t3 = ozy::bench::ThreadMs();
        rules = cache->Peek().rules->size();
        decodeMs += (t1 - t0);
        mergeMs += (t3 - t2);
    }
    ozy::bench::Check(rules == static_cast<size_t>(kRules), "every rule merged");
    state.counters["decode_ms"] = decodeMs / static_cast<double>(state.iterations());
    state.counters["merge_ms"] = mergeMs / static_cast<double>(state.iterations());
    state.counters["merge/decode"] = mergeMs / decodeMs;
}
BENCHMARK(BM_MergeFullSyncBesideDecode)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ConvertBesideParse(benchmark::State& state) {
    Quiet();
    auto cache = ozy::MakeRef<CfgAgent::DfwMsgCache>();
    cache->UpdateDesiredState(Decode(FullSync()), true);
    CfgAgent::DfwMsgSnapshot snap = cache->TakeSnapshot();
    std::vector<std::string> bodies;
    for (int i = 0; i < kRules; ++i)
        bodies.push_back(Rule(i).SerializeAsString());
    double parseMs = 0, convertMs = 0;
    size_t parts = 0;
    for (auto _ : state) {
        double t0 = ozy::bench::ThreadMs();
        std::vector<fw::LcpRuleMsg> parsed(bodies.size());
        for (size_t i = 0; i < bodies.size(); ++i)
            parsed[i].ParseFromString(bodies[i]);
        double t1 = ozy::bench::ThreadMs();
        CfgAgent::DfwCompositeContainers generated;
        CfgAgent::DfwRuleBuilder builder(snap, generated);
        parts = 0;
        double t2 = ozy::bench::ThreadMs();
        for (const auto& [id, rule] : *snap.rules) {
            auto built =
                builder.Build(*rule, *snap.sections->at(CfgAgent::DfwUuid{
                                         rule->section_id().left(), rule->section_id().right()}));
            parts += built->partCount();
        }
        double t3 = ozy::bench::ThreadMs();
        parseMs += (t1 - t0);
        convertMs += (t3 - t2);
    }
    ozy::bench::Check(parts > static_cast<size_t>(kRules), "every rule converted");
    state.counters["parse_ms"] = parseMs / static_cast<double>(state.iterations());
    state.counters["convert_ms"] = convertMs / static_cast<double>(state.iterations());
    state.counters["convert/parse"] = convertMs / parseMs;
    state.counters["parts"] = static_cast<double>(parts);
}
BENCHMARK(BM_ConvertBesideParse)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
