// The firewall's per-port metrics at 1000 ports, each beside the work it sits next to, measured in
// one run so that their ratio is meaningful on any machine:
//   - one pass's metrics work (each port's figures set, the vif table, the publication into the
//     registry's labelled series), beside one copy of the 1000-filter map, which every pass of
//     the process loop makes several times (and each filter's apply costs far more);
//   - one Prometheus exposition of the registry then holding 8 series per port, beside the text
//     dump of the same registry (the CLI's other page of it).
//
// Both sides are timed in the CPU time of the benchmark's thread.
//
//   build-rel/bench/bench_dfw_metrics --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/BenchFigures.h"
#include "dfw/DfwFilterRepo.h"
#include "dfw/DfwLog.h"
#include "dfw/DfwMetrics.h"
#include "runtime/Metrics.h"

namespace {

using CfgAgent::DfwMetrics;

constexpr int kPorts = 1000;
constexpr int kPasses = 100;

std::string Lsp(int n) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "d5000000-0000-4000-8000-%012x", n);
    return buf;
}

void Quiet() {
    CfgAgent::Logger::setConsole(false);
    CfgAgent::Logger::setSyslog(false);
    CfgAgent::g_dfwLogLevel = CfgAgent::kLogWarn;
}

struct Ports {
    std::vector<std::string> vifs;
    std::vector<DfwMetrics::LspMetrics> figures;
    CfgAgent::DfwFilterRepo::FilterMap filters;
    Ports() {
        for (int i = 0; i < kPorts; ++i) {
            const std::string vif = "vif-" + std::to_string(i);
            vifs.push_back(vif);
            DfwMetrics::LspMetrics m;
            m.lsp = Lsp(i);
            m.counts.rules = 100 + static_cast<uint64_t>(i % 7);
            m.counts.addrSets = 10;
            figures.push_back(m);
            filters[vif] = {"filter-" + std::to_string(i), vif, m.lsp, "orvane-sfw", 0, false};
        }
    }
};

void Pass(DfwMetrics& metrics, const Ports& p, int round) {
    for (int i = 0; i < kPorts; ++i) {
        DfwMetrics::LspMetrics m = p.figures[static_cast<size_t>(i)];
        m.counts.rules += static_cast<uint64_t>(round);
        metrics.DfwSetLspMetrics(p.vifs[static_cast<size_t>(i)], m);
    }
    metrics.DfwSyncVifTable(p.vifs);
    metrics.Publish();
}

void BM_PassMetricsBesideFilterMapCopy(benchmark::State& state) {
    Quiet();
    const Ports p;
    ozy::metrics::Registry registry;
    DfwMetrics::Options o;
    o.registry = &registry;
    o.wallSeconds = [] { return uint64_t{1700000000}; };
    DfwMetrics metrics(o);
    metrics.SetTnUuid("c0000000-0000-4000-8000-000000000001");
    Pass(metrics, p, 0);  // the series exist; passes then only store values
    double passMs = 0, copyMs = 0;
    size_t copied = 0;
    for (auto _ : state) {
        double t0 = ozy::bench::ThreadMs();
        for (int r = 1; r <= kPasses; ++r)
            Pass(metrics, p, r);
        double t1 = ozy::bench::ThreadMs();
        for (int r = 1; r <= kPasses; ++r) {
            CfgAgent::DfwFilterRepo::FilterMap copy = p.filters;
            copied += copy.size();
            benchmark::DoNotOptimize(copy);
        }
        double t2 = ozy::bench::ThreadMs();
        passMs += t1 - t0;
        copyMs += t2 - t1;
    }
    ozy::bench::Check(registry.seriesCount("dfw/lsp/rule_count") == kPorts, "a series per port");
    ozy::bench::Check(copied > 0, "the map copied");
    const double n = static_cast<double>(state.iterations()) * kPasses;
    state.counters["pass_metrics_ms"] = passMs / n;
    state.counters["filter_map_copy_ms"] = copyMs / n;
    state.counters["metrics/copy"] = passMs / copyMs;
}
BENCHMARK(BM_PassMetricsBesideFilterMapCopy)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ExpositionBesideTextDump(benchmark::State& state) {
    Quiet();
    const Ports p;
    ozy::metrics::Registry registry;
    DfwMetrics::Options o;
    o.registry = &registry;
    DfwMetrics metrics(o);
    metrics.SetTnUuid("c0000000-0000-4000-8000-000000000001");
    Pass(metrics, p, 0);
    double exportMs = 0, dumpMs = 0;
    size_t bytes = 0;
    for (auto _ : state) {
        double t0 = ozy::bench::ThreadMs();
        std::string text = registry.exportPrometheus();
        double t1 = ozy::bench::ThreadMs();
        std::string dump = registry.dumpText();
        double t2 = ozy::bench::ThreadMs();
        bytes = text.size();
        benchmark::DoNotOptimize(dump);
        exportMs += t1 - t0;
        dumpMs += t2 - t1;
    }
    ozy::bench::Check(bytes > 0, "an exposition");
    const double n = static_cast<double>(state.iterations());
    state.counters["export_ms"] = exportMs / n;
    state.counters["dump_ms"] = dumpMs / n;
    state.counters["export/dump"] = exportMs / dumpMs;
    state.counters["export_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ExpositionBesideTextDump)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
