// One flood protection profile bound to FILTERS ports with real processes (ovsdb-server, ozy-dpemu
// and ozy-cfgagent with "config" and "dfw"), beside two figures measured in the same run: the
// database commit of the profile alone (its reply), and FILTERS empty ioctl round trips to the
// emulator's firewall device (what FILTERS per-filter settings cost at least).
//
//   scripts/bench-scale.sh dfw-profiles [FILTERS] [ROUNDS]   (defaults 1000 and 20; builds, then
//   runs build/bin/ozy-bench-dfw-profiles FILTERS ROUNDS)
//
// FILTERS VIFs are connected with their firewall filter and hold the defaults first; a first round,
// not counted, connects the writer and creates the profile. Each round writes the profile (one
// PROFILE object naming every port, a new TCP half-open limit each round) with an in-process
// database client, and times from the write until the filter the process loop sets last (the last
// vif in its order) holds the new limit in the emulator's device; then, outside the timing, every
// filter is checked to hold it, and the round's figure is the time the device accepted the last of
// the 1k settings (each filter's "settings_ms", on the steady clock the processes share), split
// into the time until the first setting and the settings themselves. A poll every 5 ms sees the
// end later by up to a poll interval and the poll's own round trip, also printed; a poll is a
// round trip to the emulator that serves the agent's settings too (and the round trips and the
// library below are measured without one), so it is not made more often than the end needs
// noticing. p50 and p99 over the rounds; target ratio <= 2 against the round trips. Beside the
// wall-clock figures, which move with the load of a shared machine, CPU time: the agent's per
// round (every thread, from the write until every filter was checked) against the benchmark
// thread's for the round trips (the client's side of the same 1k exchanges). Last in each round,
// the 1k settings the filters hold are sent again by the firewall library of this process alone,
// one FW_SetFloodCfg per filter (what a pass costs at least with one call and one wait per
// filter), then all in one FW_SetFloodCfgs (what the agent's pass sends: one wait for all).
// With OZY_BENCH_EACH_ROUND set, every round's figures are printed as well: on a shared machine
// the agent's CPU and the round trips' client CPU rise and fall together, in phases of seconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/BenchFigures.h"
#include "bench/BenchNames.h"
#include "bench/EmuControl.h"
#include "bench/IoThread.h"
#include "bench/ProcessCpu.h"
#include "platform/cairndb/CairnDbClient.h"
#include "platform/cairndb/LibraryLog.h"
#include "platform/device/DeviceClient.h"
#include "platform/tarp/TarpFw.h"
#include "platform/tarp/TarpWire.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/Logger.h"
#include "tests/support/AgentSystem.h"
#include "tests/support/TestEnv.h"
#include "tools/cairnctl/ObjectJson.h"

namespace {

using CfgAgent::test::AgentSystem;
using ozy::bench::Await;
using ozy::bench::Clock;
using ozy::bench::Mac;
using ozy::bench::Ms;
using ozy::bench::Percentile;
using ozy::bench::ProcessCpuMs;
using ozy::bench::ThreadMs;
using ozy::bench::Uuid;
using json = nlohmann::json;
namespace pb = orvane::ozy::cairndb;

std::string Vif(unsigned i) {
    return "vif-" + std::to_string(i);
}
std::string Port(unsigned i) {
    return Uuid(0xb0, i);
}

int Fail(const char* what, AgentSystem* sys = nullptr) {
    std::fprintf(stderr, "benchmark step failed: %s\n", what);
    if (sys != nullptr)
        sys->DumpLogs();
    return 1;
}

// The TCP half-open limit `filter` holds in the device; -1 without flood settings. `setMs`, when
// given, receives when the device last accepted a setting of the filter (steady-clock ms).
long HalfOpen(ozy::bench::EmuControl& emu, const std::string& filter, double* setMs = nullptr) {
    json f = emu.Json("dpemu/tarp-filter", {filter});
    if (!f.is_object() || !f["settings"].contains("flood"))
        return -1;
    if (setMs != nullptr)
        *setMs = f.value("settings_ms", 0.0);
    return f["settings"]["flood"].value("tcp_half_open_limit", -1L);
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned filters = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 1000;
    const unsigned rounds = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 20;
    if (filters < 1 || filters > 10000 || rounds < 1) {
        std::fprintf(stderr, "usage: ozy-bench-dfw-profiles [FILTERS (1-10000)] [ROUNDS]\n");
        return 2;
    }
    CfgAgent::test::UseOwnBinDir();
    CfgAgent::g_agentLogLevel = CfgAgent::kLogWarn;
    ozy::cairndb::library_log_level = CfgAgent::kLogWarn;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("ozy-bench-dfw-profiles: one flood profile bound to %u ports, %u rounds\n", filters,
                rounds);

    CfgAgent::test::AgentSystemOptions options;
    options.apps = {"config", "dfw"};
    options.agentLogLevel = 4;  // start-up is awaited on an info line; lowered below
    options.cairndbProbeMs = 600000;
    AgentSystem sys(options);
    sys.Db().SetInactivityProbe(0);
    if (!sys.Start())
        return Fail("the system did not start", &sys);
    if (sys.AgentCtl({"cfgagent/set/loglevel", "warn"}).status != 0)
        return Fail("could not lower the agent's log level");
    if (!sys.AwaitAgentJson({"dfw/counters"},
                            [](const json& j) { return j.value("filter_link", "") == "up"; }))
        return Fail("the filter link is not up", &sys);
    ozy::bench::EmuControl emu(sys.EmulatorSocket(), true, 600000);
    std::vector<std::string> names;
    for (unsigned i = 0; i < filters; ++i) {
        if (!emu.Call("dpemu/vif-connect", {Vif(i), Port(i), "dvs-1", Mac(i), "filter"}))
            return Fail("vif-connect");
        names.push_back(Vif(i));
    }
    // The process loop sets the filters in the order of their vifs: the last one is set last.
    const std::string last = *std::max_element(names.begin(), names.end());
    // `lastSetMs` and `firstSetMs`, when given, receive the latest and the earliest time a
    // filter's setting was accepted.
    auto everyFilterHolds = [&](long limit, std::string* missing, double* lastSetMs = nullptr,
                                double* firstSetMs = nullptr) {
        double latest = 0, earliest = 0;
        for (const std::string& n : names) {
            double setMs = 0;
            if (HalfOpen(emu, n, &setMs) != limit) {
                *missing = n;
                return false;
            }
            latest = std::max(latest, setMs);
            earliest = earliest == 0 ? setMs : std::min(earliest, setMs);
        }
        if (lastSetMs != nullptr)
            *lastSetMs = latest;
        if (firstSetMs != nullptr)
            *firstSetMs = earliest;
        return true;
    };
    std::string missing;
    if (!Await([&] { return everyFilterHolds(0, &missing); }, std::chrono::seconds(600),
               std::chrono::milliseconds(200)))
        return Fail(("the defaults are not on every filter: " + missing).c_str(), &sys);

    ozy::bench::IoThread io;
    ozy::cairndb::CairnDbClient writer("bench-writer", ozy::net::Endpoint(sys.Db().Endpoint()),
                                       io.io);
    writer.StartAsync();
    json ports = json::array();
    for (unsigned i = 0; i < filters; ++i)
        ports.push_back(Port(i));
    // The profile with `limit`, as one modify request.
    auto profile = [&](long limit, pb::ModifyRequestMsg* out) {
        json object = {{"id", Uuid(0xdb, 1)},
                       {"profile_type", 4},
                       {"logical_switch_port_ids", ports},
                       {"flood_protection_profile",
                        {{"tcp_half_open_limit", limit}, {"syn_cache", limit % 2 == 0}}}};
        pb::ProfileMsg m;
        std::string error;
        if (!ozy::cairnctl::ObjectFromJson(object, &m, &error)) {
            std::fprintf(stderr, "object: %s\n", error.c_str());
            return false;
        }
        out->set_vdb(1);
        out->mutable_put()->mutable_object()->set_object_type(pb::PROFILE);
        m.SerializeToString(out->mutable_put()->mutable_object()->mutable_body());
        return true;
    };
    setenv("OZY_HOST_ROOT", sys.Root().c_str(), 1);
    ozy::device::DeviceSocket raw;
    if (raw.Open("/dev/ozy-tarp") != 0)
        return Fail("open the device");

    // The firewall library of this process, on the same device: the agent's settings sent by the
    // library alone.
    FW_Handle* library = nullptr;
    const char* device[] = {"FWIODeviceName", "/dev/ozy-tarp"};
    if (FW_Initialize(FW_LIB_VERSION, nullptr, 1, 2, device, &library) != 0)
        return Fail("initialize the firewall library");

    const pid_t agent = sys.Agent()->pid();
    // The round's figure is the device's own stamp: the poll only notices that the round is
    // over, and polls no more often than that needs.
    const auto kPoll = std::chrono::milliseconds(5);
    const bool eachRound = std::getenv("OZY_BENCH_EACH_ROUND") != nullptr;
    std::vector<double> toFilters, toFirst, spans, seen, commits, trips, agentCpu, tripsCpu,
        settings, together;
    // Round 0 is not counted: it connects the writer and creates the profile.
    for (unsigned r = 0; r <= rounds; ++r) {
        const long limit = 1000 + static_cast<long>(r);
        pb::ModifyRequestMsg put;
        if (!profile(limit, &put))
            return 1;
        auto reply = std::make_shared<std::promise<std::pair<bool, Clock::time_point>>>();
        const double cpu0 = ProcessCpuMs(agent);
        const Clock::time_point sent = Clock::now();
        writer.Write({put}, [reply](const ozy::cairndb::Status& st) {
            reply->set_value({st.ok, Clock::now()});
        });
        // Each poll is one round trip to the emulator, which also serves the agent's settings.
        if (!Await([&] { return HalfOpen(emu, last) == limit; }, std::chrono::seconds(600), kPoll))
            return Fail("the last filter did not get the profile", &sys);
        const Clock::time_point done = Clock::now();
        auto committed = reply->get_future();
        if (committed.wait_for(std::chrono::seconds(120)) != std::future_status::ready)
            return Fail("no commit reply");
        auto [ok, replied] = committed.get();
        if (!ok)
            return Fail("the commit failed");
        // Outside the timing: every filter holds it, and when the device took the last setting.
        double lastSetMs = 0, firstSetMs = 0;
        if (!Await([&] { return everyFilterHolds(limit, &missing, &lastSetMs, &firstSetMs); },
                   std::chrono::seconds(60), std::chrono::milliseconds(50)))
            return Fail(("a filter does not hold the profile: " + missing).c_str(), &sys);
        const double cpu = ProcessCpuMs(agent) - cpu0;
        if (r > 0) {
            toFilters.push_back(lastSetMs - Ms(sent.time_since_epoch()));
            toFirst.push_back(firstSetMs - Ms(sent.time_since_epoch()));
            spans.push_back(lastSetMs - firstSetMs);
            seen.push_back(Ms(done - sent));
            commits.push_back(Ms(replied - sent));
            agentCpu.push_back(cpu);
        }
        const double tcpu0 = ThreadMs();
        const Clock::time_point t0 = Clock::now();
        for (unsigned i = 0; i < filters; ++i) {
            uint32_t st = 1;
            std::vector<uint8_t> out;
            if (raw.Ioctl(ozy::tarp::kCmdHello, nullptr, 0, &st, &out) != 0 || st != 0)
                return Fail("round trip");
        }
        if (r > 0) {
            trips.push_back(Ms(Clock::now() - t0));
            tripsCpu.push_back(ThreadMs() - tcpu0);
        }
        // The same settings (what every filter holds now) by the library alone, once per filter.
        FW_FloodCfg cfg;
        cfg.tcpHalfOpenLimit = static_cast<uint32_t>(limit);
        cfg.synCache = limit % 2 == 0;
        const Clock::time_point s0 = Clock::now();
        for (const std::string& n : names) {
            if (FW_SetFloodCfg(library, n.c_str(), 0, &cfg) != 0)
                return Fail("a setting by the library");
        }
        if (r > 0)
            settings.push_back(Ms(Clock::now() - s0));
        std::vector<const char*> filterNames;
        for (const std::string& n : names)
            filterNames.push_back(n.c_str());
        std::vector<const FW_FloodCfg*> cfgs(names.size(), &cfg);
        std::vector<int> statuses(names.size(), -1);
        const Clock::time_point b0 = Clock::now();
        if (FW_SetFloodCfgs(library, filterNames.data(), static_cast<uint32_t>(names.size()), 0,
                            cfgs.data(), statuses.data()) != 0 ||
            std::any_of(statuses.begin(), statuses.end(), [](int st) { return st != 0; }))
            return Fail("the settings sent together by the library");
        if (r > 0)
            together.push_back(Ms(Clock::now() - b0));
        if (r > 0 && eachRound) {
            std::printf(
                "round %u: to the first setting %.1f ms, to the last %.1f ms (commit %.1f ms), "
                "agent CPU %.1f ms; round trips %.1f ms (client CPU %.1f ms); library %.1f ms, "
                "sent together %.1f ms\n",
                r, toFirst.back(), toFilters.back(), commits.back(), agentCpu.back(), trips.back(),
                tripsCpu.back(), settings.back(), together.back());
        }
    }
    writer.Stop();
    FW_Terminate(library);
    const json counters = sys.AgentJson({"dfw/counters"});
    std::printf("the last round's pass of the process loop: %llu ms\n",
                static_cast<unsigned long long>(counters.value("last_pass_ms", uint64_t{0})));
    const double p50 = Percentile(toFilters, 0.5), p99 = Percentile(toFilters, 0.99);
    const double c50 = Percentile(commits, 0.5), c99 = Percentile(commits, 0.99);
    const double t50 = Percentile(trips, 0.5), t99 = Percentile(trips, 0.99);
    const double s50 = Percentile(seen, 0.5), s99 = Percentile(seen, 0.99);
    const double a50 = Percentile(agentCpu, 0.5), tc50 = Percentile(tripsCpu, 0.5);
    const double l50 = Percentile(settings, 0.5), g50 = Percentile(together, 0.5);
    std::printf(
        "flood profile to %u filters: from the write until every filter holds it p50 %.1f ms p99 "
        "%.1f ms (seen by the poll p50 %.1f ms p99 %.1f ms); the database commit alone (its "
        "reply) p50 %.1f ms p99 %.1f ms; %u empty ioctl round trips p50 %.1f ms p99 %.1f ms; "
        "ratios to the round trips p50 %.2f p99 %.2f (target <= 2), to the commit p50 %.1f p99 "
        "%.1f; the same %u settings by the library alone p50 %.1f ms, sent together p50 %.1f "
        "ms\n",
        filters, p50, p99, s50, s99, c50, c99, filters, t50, t99, p50 / t50, p99 / t99, p50 / c50,
        p99 / c99, filters, l50, g50);
    std::printf(
        "of which: from the write until the first filter's setting p50 %.1f ms, from the first "
        "setting to the last p50 %.1f ms\n",
        Percentile(toFirst, 0.5), Percentile(spans, 0.5));
    std::printf(
        "CPU: the agent per round p50 %.1f ms, the round trips' client p50 %.1f ms, ratio %.2f\n",
        a50, tc50, a50 / tc50);
    return sys.StopAgent() == 0 ? 0 : 1;
}
