// Decoder throughput on a realistic mix of database updates: logical switch ports (pattern P, 15
// records each), FIB entries (pattern E: initial contents and next-hop changes) and firewall rules
// (pattern W). The reference is the protobuf parse of the same op messages and bodies alone, so
// the ratio of the two rates is the decoder's cost over the parse it cannot avoid. A third run adds
// the client's barrier merge.
//
//   build/bench/bench_decoder --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "intake/CairndbClient.h"
#include "intake/Decoder.h"
#include "proto/cairndb_firewall.pb.h"
#include "proto/cairndb_monitor.pb.h"
#include "proto/cairndb_routing.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/Logger.h"

namespace {

namespace pb = orvane::ozy::cairndb;
using CfgAgent::ObjectType;

constexpr int kPerKind = 1000;

pb::UuidMsg Uuid(uint64_t r) {
    pb::UuidMsg u;
    u.set_left(0x4f7a2c0e11d24b3aull);
    u.set_right(r);
    return u;
}

template <class OpClass>
std::string ObjOp(pb::PBOpType op) {
    OpClass m;
    m.mutable_op()->set_op(op);
    return m.SerializeAsString();
}

pb::MonitorUpdateMsg Port(int i) {
    pb::LogSwitchPortConfigMsg p;
    *p.mutable_id() = Uuid(0x100000 + i);
    *p.mutable_switch_id() = Uuid(0x200000 + i / 50);
    p.mutable_attachment()->set_type(1);
    p.mutable_attachment()->set_vif_id("vif-" + std::to_string(i));
    *p.mutable_attachment()->mutable_attachment_id() = Uuid(0x300000 + i);
    p.mutable_ip_discovery()->set_arp_snooping(true);
    p.mutable_ip_discovery()->set_arp_binding_limit(1);
    p.mutable_switch_security()->set_bpdu_filter(true);
    p.mutable_qos()->set_dscp(10);
    p.set_admin_state_up(true);
    p.mutable_mac_management()->set_mac_learning(false);
    for (int b = 0; b < 2; ++b) {
        auto* ab = p.add_address_bindings();
        ab->mutable_ip()->set_ipv4(0x0a000000u + static_cast<uint32_t>(i * 2 + b));
        ab->set_mac(0x005056000000ull + static_cast<uint64_t>(i));
    }
    auto* kv = p.add_extra_configs();
    kv->set_key("owner");
    kv->set_value("bench");
    p.mutable_tenant_context()->set_org_id("default");
    p.mutable_tenant_context()->set_project_id("project-" + std::to_string(i % 8));
    pb::MonitorUpdateMsg u;
    u.set_object_type(pb::LOG_SWITCH_PORT_CONFIG);
    u.set_op_msg(ObjOp<pb::LogSwitchPortConfigOpMsg>(pb::SET));
    u.set_object_body(p.SerializeAsString());
    u.set_vdb(1);
    return u;
}

pb::FibMsg FibBody(int i, uint32_t firstHop) {
    pb::FibMsg f;
    *f.mutable_id() = Uuid(0x400000 + i);
    *f.mutable_router_id() = Uuid(0x500000 + i / 100);
    f.mutable_prefix()->mutable_address()->set_ipv4(0xc0a80000u + static_cast<uint32_t>(i) * 256u);
    f.mutable_prefix()->set_prefix_length(24);
    for (uint32_t h = 0; h < 2; ++h) {
        auto* nh = f.add_next_hops();
        nh->mutable_ip()->set_ipv4(firstHop + h);
        nh->set_admin_distance(1);
        *nh->mutable_lrp_id() = Uuid(0x600000 + h);
    }
    return f;
}

pb::MonitorUpdateMsg Fib(int i) {
    pb::MonitorUpdateMsg u;
    u.set_object_type(pb::FIB);
    u.set_vdb(1);
    pb::FibOpMsg op;
    op.mutable_op()->set_op(pb::SET);
    op.mutable_next_hops()->set_op(pb::SET);
    if (i % 2 == 0) {
        // Initial contents: every field set, no old body.
        op.mutable_router_id()->set_op(pb::SET);
        op.mutable_prefix()->set_op(pb::SET);
        u.set_object_body(FibBody(i, 0x0a0a0001).SerializeAsString());
    } else {
        // A change of one next hop: the list is re-sent, the old body comes along.
        u.set_object_body(FibBody(i, 0x0a0a0002).SerializeAsString());
        u.set_old_object_body(FibBody(i, 0x0a0a0001).SerializeAsString());
    }
    u.set_op_msg(op.SerializeAsString());
    return u;
}

pb::MonitorUpdateMsg Rule(int i) {
    pb::RuleMsg r;
    *r.mutable_id() = Uuid(0x700000 + i);
    pb::MonitorUpdateMsg u;
    u.set_object_type(pb::RULE);
    u.set_op_msg(ObjOp<pb::RuleOpMsg>(pb::SET));
    u.set_object_body(r.SerializeAsString());
    u.set_vdb(1);
    return u;
}

const std::vector<pb::MonitorUpdateMsg>& Mix() {
    static const std::vector<pb::MonitorUpdateMsg> mix = [] {
        std::vector<pb::MonitorUpdateMsg> v;
        for (int i = 0; i < kPerKind; ++i) {
            v.push_back(Port(i));
            v.push_back(Fib(i));
            v.push_back(Rule(i));
        }
        return v;
    }();
    return mix;
}

void QuietLogs() {
    CfgAgent::Logger::setConsole(false);
    CfgAgent::Logger::setSyslog(false);
    CfgAgent::Logger::setLevel(CfgAgent::kLogInfo);
}

void BM_DecodeMix(benchmark::State& state) {
    QuietLogs();
    const auto& mix = Mix();
    CfgAgent::DecodeResult result;
    int64_t records = 0;
    for (auto _ : state) {
        CfgAgent::ComponentUpdateMap batch;
        for (const auto& u : mix) {
            CfgAgent::Decoder::Decode(u, &result);
            records += static_cast<int64_t>(result.RecordCount());
            CfgAgent::Decoder::File(result, batch);
        }
        benchmark::DoNotOptimize(batch);
    }
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
    state.counters["updates/s"] = benchmark::Counter(
        static_cast<double>(mix.size() * state.iterations()), benchmark::Counter::kIsRate);
    state.counters["records/update"] =
        static_cast<double>(records) / static_cast<double>(mix.size() * state.iterations());
}
BENCHMARK(BM_DecodeMix)->Unit(benchmark::kMillisecond);

// The same with the client's barrier step on the batch: the merge of cancelling L2/L3 records
// (the FIB changes re-send their next-hop lists, so half of those records cancel).
void BM_DecodeMixWithBarrierMerge(benchmark::State& state) {
    QuietLogs();
    const auto& mix = Mix();
    CfgAgent::DecodeResult result;
    int64_t records = 0;
    int64_t kept = 0;
    for (auto _ : state) {
        CfgAgent::ComponentUpdateMap batch;
        for (const auto& u : mix) {
            CfgAgent::Decoder::Decode(u, &result);
            records += static_cast<int64_t>(result.RecordCount());
            CfgAgent::Decoder::File(result, batch);
        }
        CfgAgent::CairndbClient::MergeCancellingRecords(batch, false);
        for (const auto& [comp, list] : batch)
            kept += static_cast<int64_t>(list.size());
        benchmark::DoNotOptimize(batch);
    }
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
    state.counters["updates/s"] = benchmark::Counter(
        static_cast<double>(mix.size() * state.iterations()), benchmark::Counter::kIsRate);
    state.counters["filed/update"] =
        static_cast<double>(kept) / static_cast<double>(mix.size() * state.iterations());
}
BENCHMARK(BM_DecodeMixWithBarrierMerge)->Unit(benchmark::kMillisecond);

template <class Body, class OpClass>
void ParseOne(const pb::MonitorUpdateMsg& u) {
    OpClass op;
    Body body;
    Body old;
    op.ParseFromString(u.op_msg());
    body.ParseFromString(u.object_body());
    if (!u.old_object_body().empty())
        old.ParseFromString(u.old_object_body());
    benchmark::DoNotOptimize(op);
    benchmark::DoNotOptimize(body);
    benchmark::DoNotOptimize(old);
}

void BM_ParseMix(benchmark::State& state) {
    const auto& mix = Mix();
    for (auto _ : state) {
        for (const auto& u : mix) {
            switch (u.object_type()) {
                case pb::LOG_SWITCH_PORT_CONFIG:
                    ParseOne<pb::LogSwitchPortConfigMsg, pb::LogSwitchPortConfigOpMsg>(u);
                    break;
                case pb::FIB:
                    ParseOne<pb::FibMsg, pb::FibOpMsg>(u);
                    break;
                default:
                    ParseOne<pb::RuleMsg, pb::RuleOpMsg>(u);
                    break;
            }
        }
    }
    state.counters["updates/s"] = benchmark::Counter(
        static_cast<double>(mix.size() * state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseMix)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
