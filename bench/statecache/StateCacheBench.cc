// Records per second through the dispatcher and the state-cache tables for a full sync of 100k
// logical switch ports (whole object plus 14 property records each, as the decoder delivers them)
// and 200k L2 entries (1000 logical switches with 10 VTEPs, 150 MACs and 40 IPs each), and the
// memory the stores hold per object against the serialized size of what they hold.
//
//   build-rel/bench/bench_statecache --benchmark_counters_tabular=true
//
// BM_FullSync: a fresh state cache takes the full-sync batch (the first sync after start-up).
// BM_RepeatedFullSync: the same batch again (a reconnection with nothing changed: every value is
// confirmed, unchanged L2 entries are filtered, nothing is swept).
// BM_Memory: bytes held per port / per L2 entry as the tables report them, as the allocator saw
// them (mallinfo2), and the serialized bytes they stand for.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <memory>
#include <string>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "intake/MsgDispatcher.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/Logger.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheL2Table.h"
#include "statecache/StateCacheL3Table.h"

namespace {

namespace pb = orvane::ozy::cairndb;
using namespace CfgAgent;

constexpr int kPorts = 100000;
constexpr int kSwitches = 1000;
constexpr int kVteps = 10;
constexpr int kMacs = 150;
constexpr int kIps = 40;

pb::UuidMsg Uuid(uint64_t hi, uint64_t lo) {
    pb::UuidMsg u;
    u.set_left(hi);
    u.set_right(lo);
    return u;
}

pb::LogSwitchPortConfigMsg Port(int i) {
    pb::LogSwitchPortConfigMsg p;
    *p.mutable_id() = Uuid(0x4f7a2c0e11d24b3aull, 0x100000 + i);
    *p.mutable_switch_id() = Uuid(0x4f7a2c0e11d24b3aull, 0x200000 + i % kSwitches);
    p.mutable_attachment()->set_type(1);
    p.mutable_attachment()->set_vif_id("vif-" + std::to_string(i));
    p.mutable_attachment()->set_dvport_id(std::to_string(1000 + i));
    *p.mutable_attachment()->mutable_attachment_id() = Uuid(0x5f7a2c0e11d24b3aull, i);
    p.mutable_ip_discovery()->set_arp_snooping(true);
    p.mutable_ip_discovery()->set_arp_binding_limit(1);
    p.mutable_switch_security()->set_bpdu_filter(true);
    p.set_admin_state_up(true);
    p.mutable_mac_management()->set_mac_learning(false);
    auto* ab = p.add_address_bindings();
    ab->mutable_ip()->set_ipv4(0x0a000000u + static_cast<uint32_t>(i));
    ab->set_mac(0x005056000000ull + static_cast<uint64_t>(i));
    auto* kv = p.add_extra_configs();
    kv->set_key("owner");
    kv->set_value("bench");
    p.mutable_tenant_context()->set_org_id("org-1");
    return p;
}

struct Workload {
    UpdateBatch batch;
    size_t configRecords = 0;
    size_t l2Records = 0;
    size_t portSerialized = 0;  // per port: body plus the property values it stores
    size_t l2Serialized = 0;    // per entry: its body
};

// The decoder's records of one port: the whole object, then LSP_SWITCH_ID .. LSP_TENANT_CONTEXT
// (body fields 2-15), each a body with only that field, or a delete when the field is unset.
void AddPortRecords(int i, CairnDBUpdateList* out, size_t* serialized) {
    pb::LogSwitchPortConfigMsg p = Port(i);
    CairnDBUpdateMsg whole;
    whole.objType = ObjectType::LOG_SWITCH_PORT_CONFIG;
    whole.id = p.id().SerializeAsString();
    whole.data = p.SerializeAsString();
    *serialized += whole.data.size();
    out->push_back(whole);
    const auto* desc = p.GetDescriptor();
    const auto* refl = p.GetReflection();
    for (int field = 2; field <= 15; ++field) {
        const auto* fd = desc->FindFieldByNumber(field);
        CairnDBUpdateMsg r;
        r.objType = whole.objType;
        r.id = whole.id;
        r.property = static_cast<PropertyType>(static_cast<uint32_t>(PropertyType::LSP_SWITCH_ID) +
                                               field - 2);
        bool set = fd->is_repeated() ? refl->FieldSize(p, fd) > 0 : refl->HasField(p, fd);
        if (set) {
            pb::LogSwitchPortConfigMsg only = p;
            for (int other = 1; other <= desc->field_count(); ++other) {
                if (other != field)
                    only.GetReflection()->ClearField(&only, desc->FindFieldByNumber(other));
            }
            r.data = only.SerializeAsString();
            *serialized += r.data.size();
        } else {
            r.op = Operation::OPERATION_DELETE;
        }
        out->push_back(std::move(r));
    }
}

void AddSwitchRecords(int s, CairnDBUpdateList* out, size_t* serialized) {
    CairnDBUpdateMsg whole;
    whole.objType = ObjectType::LOG_SWITCH_FIB;
    whole.id = Uuid(0x4f7a2c0e11d24b3aull, 0x200000 + s).SerializeAsString();
    out->push_back(whole);
    auto add = [&](PropertyType p, std::string body) {
        CairnDBUpdateMsg r = whole;
        r.property = p;
        r.data = std::move(body);
        *serialized += r.data.size();
        out->push_back(std::move(r));
    };
    for (int v = 0; v < kVteps; ++v) {
        pb::LogSwitchVtepEntryMsg e;
        e.mutable_ip()->set_ipv4(0xc0a80000u + static_cast<uint32_t>(v));
        e.set_mac(0x02000000000ull + static_cast<uint64_t>(v));
        e.set_label(5000 + static_cast<uint32_t>(v));
        *e.mutable_transport_node_id() = Uuid(0x6f7a2c0e11d24b3aull, v);
        add(PropertyType::L2_VTEP, e.SerializeAsString());
    }
    for (int m = 0; m < kMacs; ++m) {
        pb::LogSwitchMacEntryMsg e;
        e.set_mac(0x005056000000ull + static_cast<uint64_t>(s) * 1000 + static_cast<uint64_t>(m));
        e.mutable_vtep_ip()->set_ipv4(0xc0a80000u + static_cast<uint32_t>(m % kVteps));
        add(PropertyType::L2_VM_MAC, e.SerializeAsString());
    }
    for (int i = 0; i < kIps; ++i) {
        pb::LogSwitchIpEntryMsg e;
        e.mutable_ip()->set_ipv4(0x0b000000u + static_cast<uint32_t>(s) * 100 +
                                 static_cast<uint32_t>(i));
        e.set_mac(0x005056000000ull + static_cast<uint64_t>(s) * 1000 + static_cast<uint64_t>(i));
        add(PropertyType::L2_VM_IP, e.SerializeAsString());
    }
}

const Workload& GetWorkload() {
    static Workload* w = [] {
        auto* w = new Workload();
        CairnDBUpdateList& config = w->batch.first[ComponentType::CONFIGCACHE];
        size_t portBytes = 0;
        for (int i = 0; i < kPorts; ++i)
            AddPortRecords(i, &config, &portBytes);
        CairnDBUpdateList& l2 = w->batch.first[ComponentType::L2CACHE];
        size_t l2Bytes = 0;
        for (int s = 0; s < kSwitches; ++s)
            AddSwitchRecords(s, &l2, &l2Bytes);
        for (uint32_t c = 3; c <= 11; ++c)
            w->batch.first[static_cast<ComponentType>(c)];
        w->batch.second = {true, 1};
        w->configRecords = config.size();
        w->l2Records = l2.size();
        w->portSerialized = portBytes / kPorts;
        w->l2Serialized = l2Bytes / (kSwitches * (kVteps + kMacs + kIps));
        return w;
    }();
    return *w;
}

struct Agent {
    ozy::RefPtr<StateCache> cache = ozy::MakeRef<StateCache>();
    ozy::RefPtr<MsgDispatcher> dispatcher = ozy::MakeRef<MsgDispatcher>(
        std::make_shared<UpdateQueue>(UpdateQueue::kUnbounded, true, true));
    Agent() {
        dispatcher->RegisterComponent(ComponentType::CONFIGCACHE, cache->ConfigTable());
        dispatcher->RegisterComponent(ComponentType::L2CACHE, cache->L2Table());
        dispatcher->RegisterComponent(ComponentType::L3CACHE, cache->L3Table());
    }
};

void Quiet() {
    Logger::setLevel(kLogInfo);
    Logger::setConsole(false);
    Logger::setSyslog(false);
}

void BM_FullSync(benchmark::State& state) {
    Quiet();
    const Workload& w = GetWorkload();
    for (auto _ : state) {
        state.PauseTiming();
        auto agent = std::make_unique<Agent>();
        state.ResumeTiming();
        agent->dispatcher->Deliver(w.batch);
        state.PauseTiming();
        agent.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() *
                            static_cast<int64_t>(w.configRecords + w.l2Records));
    state.counters["records"] = static_cast<double>(w.configRecords + w.l2Records);
}
BENCHMARK(BM_FullSync)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_RepeatedFullSync(benchmark::State& state) {
    Quiet();
    const Workload& w = GetWorkload();
    Agent agent;
    agent.dispatcher->Deliver(w.batch);
    for (auto _ : state)
        agent.dispatcher->Deliver(w.batch);
    state.SetItemsProcessed(state.iterations() *
                            static_cast<int64_t>(w.configRecords + w.l2Records));
}
BENCHMARK(BM_RepeatedFullSync)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_Memory(benchmark::State& state) {
    Quiet();
    const Workload& w = GetWorkload();
    for (auto _ : state) {
        malloc_trim(0);
        size_t before = mallinfo2().uordblks;
        Agent agent;
        agent.dispatcher->Deliver(w.batch);
        size_t after = mallinfo2().uordblks;
        size_t config = agent.cache->ConfigTable()->DesiredCacheBytes();
        size_t l2 = agent.cache->L2Table()->CacheBytes(L2Store::kDesired);
        size_t entries = agent.cache->L2Table()->EntryCount(L2Store::kDesired);
        state.counters["port_bytes"] = static_cast<double>(config) / kPorts;
        state.counters["port_serialized"] = static_cast<double>(w.portSerialized);
        state.counters["port_ratio"] =
            static_cast<double>(config) / kPorts / static_cast<double>(w.portSerialized);
        state.counters["l2_bytes"] = static_cast<double>(l2) / static_cast<double>(entries);
        state.counters["l2_serialized"] = static_cast<double>(w.l2Serialized);
        state.counters["l2_ratio"] = static_cast<double>(l2) / static_cast<double>(entries) /
                                     static_cast<double>(w.l2Serialized);
        // What the allocator handed out while the tables filled, against the tables' own report.
        state.counters["malloc_vs_report"] =
            static_cast<double>(after - before) / static_cast<double>(config + l2);
    }
}
BENCHMARK(BM_Memory)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
