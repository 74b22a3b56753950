// The firewall at scale with real processes (ovsdb-server, ozy-dpemu and ozy-cfgagent with
// "config" and "dfw"), each figure beside what the database alone takes for the same data.
//
//   scripts/bench-scale.sh dfw [FILTERS] [SECTIONS] [CHANGES]   (defaults 1000, 1000 and 100;
//   builds, then runs build/bin/ozy-bench-dfw-system FILTERS SECTIONS CHANGES)
//
// The policy: SECTIONS sections of 100 rules each; the first 10 are global (no applied-to), every
// other one applies to a group of 20 ports (its rules name the group); 10 containers per section
// (the groups, the rest sources of two IPv4 addresses each, 10 per section shared by its rules);
// FILTERS VIFs connected with their firewall filter (`dpemu/vif-connect ... filter`). Full size
// is 100k rules in 1k sections, 10k containers, 1k filters (each holds about 3000 rules).
// Phases:
//   1. Full load: the whole policy and a barrier in one `cairnctl apply`; time until the agent's
//      PROCESSED_BARRIER names the barrier (a monitor of the bench's own) and every filter holds
//      its expected rule count (the emulator's device dump), beside the same apply into a
//      database alone. The agent's CPU, its resident memory and the device's segment bytes.
//   2. Global change: CHANGES commits, each one rule of the first global section (its action
//      flipped) with a new barrier, written in-process; time from the write until the
//      PROCESSED_BARRIER of that barrier arrives, beside the commit's own reply; the agent's and
//      the emulator's CPU per change. Each change is checked afterwards (outside the timing):
//      every filter applied once more, sampled verdicts. Where the time went, from the same
//      write: the device's first and last accepted apply of the change (the emulator stamps each
//      accepted apply on the steady clock the processes share) and the firewall loop's pass
//      ("dfw/counters"); OZY_BENCH_EACH_ROUND prints every change's figures. Beside the full
//      load, the database alone's first commits after its load (seconds for the first), and the
//      change figures again without the first three changes, which meet the same.
//   3. Restart: the agent stopped and started with nothing changed in the database; every filter
//      applied again, and the number of those applies that changed the device's state (target 0);
//      the agent's CPU from its start.
// Both database servers probe no client for inactivity, and the agent's probe is 10 minutes: a
// server busy for seconds with the full commit would otherwise drop its clients.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/BenchFigures.h"
#include "bench/BenchNames.h"
#include "bench/EmuControl.h"
#include "bench/IoThread.h"
#include "bench/MonitorStart.h"
#include "bench/ProcessCpu.h"
#include "bench/ProcessMemory.h"
#include "platform/cairndb/CairnDbClient.h"
#include "platform/cairndb/LibraryLog.h"
#include "proto/cairndb_firewall.pb.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_monitor.pb.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/Logger.h"
#include "tests/support/AgentSystem.h"
#include "tests/support/CairndbServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnv.h"
#include "tools/cairnctl/ObjectJson.h"

namespace {

using CfgAgent::test::AgentSystem;
using ozy::bench::Await;
using ozy::bench::Clock;
using ozy::bench::Mac;
using ozy::bench::Ms;
using ozy::bench::Percentile;
using ozy::bench::Uuid;
using json = nlohmann::json;
namespace pb = orvane::ozy::cairndb;

constexpr unsigned kGlobalSections = 10;
constexpr unsigned kRulesPerSection = 100;
constexpr unsigned kGroupPorts = 20;
constexpr unsigned kContainersPerSection = 10;

std::string Vif(unsigned i) {
    return "vif-" + std::to_string(i);
}
std::string Port(unsigned i) {
    return Uuid(0xb0, i);
}

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// The policy of the benchmark and what each filter should hold.
struct Policy {
    unsigned filters, sections, groups, sources;

    Policy(unsigned f, unsigned s)
        : filters(f),
          sections(s),
          groups(s > kGlobalSections ? s - kGlobalSections : 0),
          sources(s * kContainersPerSection - groups) {}

    std::string Section(unsigned s) const { return Uuid(0xd1, s); }
    std::string Group(unsigned g) const { return Uuid(0xd2, g); }
    std::string Source(unsigned c) const { return Uuid(0xd2, 0x100000 + c); }
    std::string RuleId(unsigned s, unsigned r) const {
        return Uuid(0xd3, s * kRulesPerSection + r);
    }
    unsigned RuleNumber(unsigned s, unsigned r) const { return s * kRulesPerSection + r + 1; }
    // The source container of rule r of section s, and its first address.
    unsigned SourceOf(unsigned s, unsigned r) const {
        return (s * kContainersPerSection + r % kContainersPerSection) % sources;
    }
    static uint32_t Address(unsigned c, unsigned k) { return (10u << 24) + c * 2 + k + 1; }
    static std::string Dotted(uint32_t a) {
        return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." +
               std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
    }
    // The ports of group g.
    std::vector<unsigned> Members(unsigned g) const {
        std::vector<unsigned> out;
        for (unsigned k = 0; k < std::min(kGroupPorts, filters); ++k)
            out.push_back((g * kGroupPorts + k) % filters);
        std::sort(out.begin(), out.end());
        out.erase(std::unique(out.begin(), out.end()), out.end());
        return out;
    }
    // Rule counts per port.
    std::vector<size_t> Expected() const {
        std::vector<size_t> n(filters, std::min(sections, kGlobalSections) * kRulesPerSection);
        for (unsigned g = 0; g < groups; ++g) {
            for (unsigned p : Members(g))
                n[p] += kRulesPerSection;
        }
        return n;
    }

    json Rule(unsigned s, unsigned r, unsigned action) const {
        json rule = {
            {"id", RuleId(s, r)},
            {"rule_id", RuleNumber(s, r)},
            {"section_id", Section(s)},
            {"direction", 2},
            {"action", action},
            {"priority", r + 1},
            {"type", 0},
            {"source", {{"container_ids", {Source(SourceOf(s, r))}}}},
            {"services", {{{"ip_protocol", 6}, {"destination_ports", {{{"start", 1000 + r}}}}}}}};
        if (s >= kGlobalSections)
            rule["applied_to"] = {{"container_ids", {Group(s - kGlobalSections)}}};
        return rule;
    }

    json Document(uint64_t barrier) const {
        json doc;
        json& containers = doc["CONTAINER"] = json::array();
        for (unsigned g = 0; g < groups; ++g)
            containers.push_back({{"id", Group(g)}, {"name", "group-" + std::to_string(g)}});
        for (unsigned c = 0; c < sources; ++c) {
            json ips = json::array();
            for (unsigned k = 0; k < 2; ++k)
                ips.push_back({{"ip", {{"ipv4", Address(c, k)}}}});
            containers.push_back(
                {{"id", Source(c)}, {"name", "src-" + std::to_string(c)}, {"ip_addresses", ips}});
        }
        json& relations = doc["ENTITY_GROUP_RELATION"] = json::array();
        for (unsigned g = 0; g < groups; ++g) {
            json ports = json::array();
            for (unsigned p : Members(g))
                ports.push_back(Port(p));
            relations.push_back(
                {{"id", Uuid(0xd4, g)},
                 {"container_logical_switch_port",
                  {{{"container_id", Group(g)}, {"logical_switch_port_ids", ports}}}}});
        }
        json& sects = doc["RULE_SECTION"] = json::array();
        json& rules = doc["RULE"] = json::array();
        for (unsigned s = 0; s < sections; ++s) {
            sects.push_back({{"id", Section(s)},
                             {"priority", s + 1},
                             {"version", 1},
                             {"component_name", "orvane-sfw"},
                             {"kind", 1}});
            for (unsigned r = 0; r < kRulesPerSection; ++r)
                rules.push_back(Rule(s, r, 1));
        }
        doc["BARRIER"] = {{{"id", Uuid(0xd6, 1)}, {"barrier_id", barrier}}};
        return doc;
    }
};

// The emulator's control socket; refusals are printed.
class Emu : public ozy::bench::EmuControl {
  public:
    explicit Emu(const std::string& socket) : EmuControl(socket, true, 600000) {}
    json Device() { return Json("dpemu/dump", {"filter"}); }
    // The first and the last time (steady clock, ms) a firewall filter with a port accepted an
    // apply, over the filters whose apply count grew past `before`'s.
    std::pair<double, double> AppliedSpan(
        const json& device, const std::map<std::string, std::pair<size_t, uint64_t>>& before) {
        double first = 0, last = 0;
        if (!device.is_object())
            return {first, last};
        for (const json& f : device["filters"]) {
            auto it = before.find(f.value("name", ""));
            if (it == before.end() || f.value("apply_count", uint64_t{0}) <= it->second.second)
                continue;
            const double at = f.value("applied_ms", 0.0);
            first = first == 0 ? at : std::min(first, at);
            last = std::max(last, at);
        }
        return {first, last};
    }
    // filter name -> (rules, apply count), firewall filters with a port only.
    std::map<std::string, std::pair<size_t, uint64_t>> Filters(const json& device) {
        std::map<std::string, std::pair<size_t, uint64_t>> out;
        if (!device.is_object())
            return out;
        for (const json& f : device["filters"]) {
            if (f.value("agent", "") == "orvane-sfw" && !f.value("lsp", "").empty())
                out[f.value("name", "")] = {f.value("rules", size_t{0}),
                                            f.value("apply_count", uint64_t{0})};
        }
        return out;
    }
    uint64_t Stat(const json& device, const char* key) {
        return device.is_object() ? device["stats"].value(key, uint64_t{0}) : 0;
    }
    // "VERDICT RULE" of a TCP packet from `source` to port `port` on `filter`.
    std::string Verdict(const std::string& filter, uint32_t source, unsigned port) {
        json v = Json("dpemu/tarp-eval", {filter, "in", "tcp", Policy::Dotted(source) + ":1",
                                          "10.200.0.1:" + std::to_string(port)});
        if (!v.is_object())
            return "error";
        std::string out = v.value("verdict", "");
        if (v["rule"].is_number())
            out += " " + std::to_string(v["rule"].get<int>());
        return out;
    }
};

// A monitor of the bench's own on PROCESSED_BARRIER: when each barrier number of the firewall
// arrived.
class BarrierWatch {
  public:
    BarrierWatch(const std::string& endpoint, boost::asio::io_context& io)
        : client_("bench-barriers", ozy::net::Endpoint(endpoint), io) {}
    ~BarrierWatch() { client_.Stop(); }

    bool Start() {
        return ozy::bench::StartMonitor(
            client_, kMonitorId, pb::PROCESSED_BARRIER,
            [this](const pb::MonitorUpdateMsg& u) { Note(u); }, std::chrono::seconds(60));
    }
    // When `barrier` arrived (waiting up to `timeout`); none when it did not.
    std::optional<int64_t> Await(uint64_t barrier, std::chrono::seconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, timeout, [&] { return seen_.count(barrier) != 0; }))
            return std::nullopt;
        return seen_[barrier];
    }

  private:
    static constexpr uint32_t kMonitorId = 9;
    void Note(const pb::MonitorUpdateMsg& u) {
        const int64_t now = NowNs();
        pb::ProcessedBarrierMsg m;
        if (u.object_body().empty() || !m.ParseFromString(u.object_body()) || m.vertical_id() != 1)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.emplace(m.barrier_id(), now);
        changed_.notify_all();
    }
    ozy::cairndb::CairnDbClient client_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<uint64_t, int64_t> seen_;
};

template <class Msg>
bool Put(pb::ObjectType type, const json& object, pb::ModifyRequestMsg* out) {
    Msg m;
    std::string error;
    if (!ozy::cairnctl::ObjectFromJson(object, &m, &error)) {
        std::fprintf(stderr, "object: %s\n", error.c_str());
        return false;
    }
    out->set_vdb(1);
    out->mutable_put()->mutable_object()->set_object_type(type);
    m.SerializeToString(out->mutable_put()->mutable_object()->mutable_body());
    return true;
}

std::pair<long, long> AgentMemoryKb(AgentSystem& sys) {
    return ozy::bench::ProcessMemoryKb(sys.Agent()->pid());
}

double AgentCpuMs(AgentSystem& sys) {
    return ozy::bench::ProcessCpuMs(sys.Agent()->pid());
}

double EmulatorCpuMs(AgentSystem& sys) {
    return ozy::bench::ProcessCpuMs(sys.Emulator()->pid());
}

// `cairnctl apply FILE` against `env`'s database; milliseconds, or -1 on failure.
double TimedApply(const std::string& file, const std::map<std::string, std::string>& env) {
    auto t0 = Clock::now();
    auto r = CfgAgent::test::RunProgram(CfgAgent::test::BinPath("cairnctl"),
                                        {"--timeout", "1800", "apply", file}, env,
                                        std::chrono::seconds(3600));
    if (r.status != 0) {
        std::fprintf(stderr, "cairnctl apply failed: %s\n", r.output.substr(0, 400).c_str());
        return -1;
    }
    return Ms(Clock::now() - t0);
}

// `count` commits of the first global section's first rule (its action flipped) with a new
// barrier each, one after the other from a new client of `endpoint`; each commit's reply time in
// ms, or none when one failed.
std::optional<std::vector<double>> TimedCommits(const Policy& policy, const std::string& endpoint,
                                                boost::asio::io_context& io, unsigned count,
                                                uint64_t barrier) {
    ozy::cairndb::CairnDbClient writer("bench-commits", ozy::net::Endpoint(endpoint), io);
    writer.StartAsync();
    std::vector<double> out;
    for (unsigned c = 0; c <= count; ++c) {
        pb::ModifyRequestMsg rule, mark;
        if (!Put<pb::RuleMsg>(pb::RULE, policy.Rule(0, 0, c % 2), &rule) ||
            !Put<pb::BarrierMsg>(pb::BARRIER, {{"id", Uuid(0xd6, 1)}, {"barrier_id", barrier + c}},
                                 &mark))
            return std::nullopt;
        auto reply = std::make_shared<std::promise<bool>>();
        const auto t0 = Clock::now();
        writer.Write({rule, mark},
                     [reply](const ozy::cairndb::Status& st) { reply->set_value(st.ok); });
        auto done = reply->get_future();
        if (done.wait_for(std::chrono::seconds(120)) != std::future_status::ready || !done.get())
            return std::nullopt;
        if (c != 0)  // the first one waits for the connection
            out.push_back(Ms(Clock::now() - t0));
    }
    writer.Stop();
    return out;
}

int Fail(const char* what, AgentSystem* sys = nullptr) {
    std::fprintf(stderr, "benchmark step failed: %s\n", what);
    if (sys != nullptr)
        sys->DumpLogs();
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned filters = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 1000;
    const unsigned sections = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 1000;
    const unsigned changes = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 100;
    if (filters < 1 || sections < 1 || changes < 1) {
        std::fprintf(stderr, "usage: ozy-bench-dfw-system [FILTERS] [SECTIONS] [CHANGES]\n");
        return 2;
    }
    CfgAgent::test::UseOwnBinDir();
    CfgAgent::g_agentLogLevel = CfgAgent::kLogWarn;
    ozy::cairndb::library_log_level = CfgAgent::kLogWarn;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const Policy policy(filters, sections);
    const std::vector<size_t> expected = policy.Expected();
    size_t placements = 0;
    for (size_t n : expected)
        placements += n;
    std::printf(
        "ozy-bench-dfw-system: %u filters, %u sections (%u global), %u rules, %u containers, "
        "%zu rules over all filters, %u changes\n",
        filters, sections, std::min(sections, kGlobalSections), sections * kRulesPerSection,
        policy.groups + policy.sources, placements, changes);

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
    Emu emu(sys.EmulatorSocket());
    for (unsigned i = 0; i < filters; ++i) {
        if (!emu.Call("dpemu/vif-connect", {Vif(i), Port(i), "dvs-1", Mac(i), "filter"}))
            return Fail("vif-connect");
    }
    // Every filter known to the device before the policy comes (the agent applies nothing before
    // the database's first full sync).
    if (!Await([&] { return emu.Filters(emu.Device()).size() == filters; },
               std::chrono::seconds(600), std::chrono::milliseconds(100)))
        return Fail("the filters were not all known", &sys);

    // 1. Full load.
    ozy::bench::IoThread io;
    BarrierWatch barriers(sys.Db().Endpoint(), io.io);
    if (!barriers.Start())
        return Fail("the barrier monitor did not start");
    uint64_t barrier = 1000;
    const std::string file = sys.Root() + "/bench-dfw.json";
    std::ofstream(file) << policy.Document(barrier).dump();
    const double loadCpu0 = AgentCpuMs(sys);
    const int64_t t0Ns = NowNs();
    const double applyMs = TimedApply(file, sys.Env());
    if (applyMs < 0)
        return Fail("the policy's apply", &sys);
    auto barrierNs = barriers.Await(barrier, std::chrono::seconds(3600));
    if (!barrierNs)
        return Fail("no PROCESSED_BARRIER of the policy", &sys);
    std::string short_;
    json device;
    const bool held = Await(
        [&] {
            device = emu.Device();
            auto f = emu.Filters(device);
            for (unsigned i = 0; i < filters; ++i) {
                auto it = f.find(Vif(i));
                if (it == f.end() || it->second.first != expected[i]) {
                    short_ = Vif(i) + " holds " +
                             (it == f.end() ? std::string("nothing")
                                            : std::to_string(it->second.first)) +
                             " rules of " + std::to_string(expected[i]);
                    return false;
                }
            }
            return true;
        },
        std::chrono::seconds(600), std::chrono::milliseconds(50));
    const double loadMs = static_cast<double>(NowNs() - t0Ns) / 1e6;
    const double loadCpuMs = AgentCpuMs(sys) - loadCpu0;
    if (!held)
        return Fail(short_.c_str(), &sys);
    const double toBarrierMs = static_cast<double>(*barrierNs - t0Ns) / 1e6;
    const auto [rssKb, hwmKb] = AgentMemoryKb(sys);
    double aloneMs = 0;
    {
        CfgAgent::test::TempDir dir("ozy-bench-dfwdb");
        CfgAgent::test::CairndbServer db(dir.path());
        db.SetInactivityProbe(0);
        if (!db.Start())
            return Fail("the database alone did not start");
        aloneMs = TimedApply(file, {{"OZY_CAIRNDB_ENDPOINT", db.Endpoint()}});
        if (aloneMs < 0)
            return Fail("the apply into the database alone");
        // The database's own first commits after the load, with nobody monitoring it: what the
        // first changes of phase 2 meet whatever the agent does.
        ozy::bench::IoThread aloneIo;
        auto first = TimedCommits(policy, db.Endpoint(), aloneIo.io, 5, barrier + 1);
        if (!first)
            return Fail("the commits into the database alone");
        std::printf("the database alone, its first 5 commits of one rule after the load:");
        for (double ms : *first)
            std::printf(" %.1f", ms);
        std::printf(" ms\n");
    }
    std::printf(
        "full load: PROCESSED_BARRIER after %.0f ms, every filter holds its rules after %.0f ms "
        "(cairnctl apply %.0f ms with the agent running); the same apply into a database alone "
        "%.0f ms; ratio %.2f; agent CPU %.0f ms; agent RSS %.1f MiB (peak %.1f MiB); device %zu "
        "segments, %.1f MiB\n",
        toBarrierMs, loadMs, applyMs, aloneMs, loadMs / aloneMs, loadCpuMs, rssKb / 1024.0,
        hwmKb / 1024.0, device["segments"].value("count", size_t{0}),
        device["segments"].value("bytes", 0.0) / (1024.0 * 1024.0));

    // 2. One global rule changed, CHANGES times.
    ozy::cairndb::CairnDbClient writer("bench-writer", ozy::net::Endpoint(sys.Db().Endpoint()),
                                       io.io);
    writer.StartAsync();
    {
        // Connected before the first timed change: the current barrier written again (no change).
        pb::ModifyRequestMsg same;
        auto reply = std::make_shared<std::promise<void>>();
        if (!Put<pb::BarrierMsg>(pb::BARRIER, {{"id", Uuid(0xd6, 1)}, {"barrier_id", barrier}},
                                 &same))
            return 1;
        writer.Write({same}, [reply](const ozy::cairndb::Status&) { reply->set_value(); });
        if (reply->get_future().wait_for(std::chrono::seconds(120)) != std::future_status::ready)
            return Fail("the writer did not connect");
    }
    std::vector<double> toFilters, commits, toFirst, toLast, passes;
    const bool eachChange = std::getenv("OZY_BENCH_EACH_ROUND") != nullptr;
    auto before = emu.Filters(device);
    const uint32_t probeSource = Policy::Address(policy.SourceOf(0, 0), 0);
    const std::vector<unsigned> sampled = {0, filters / 2, filters - 1};
    const double changeCpu0 = AgentCpuMs(sys);
    const double emuCpu0 = EmulatorCpuMs(sys);
    double checkEmuCpu = 0;  // the emulator's share of the checks between the changes
    double checkAgentCpu = 0;  // and the agent's
    for (unsigned c = 0; c < changes; ++c) {
        const unsigned action = c % 2 == 0 ? 0 : 1;  // allow, then drop again
        ++barrier;
        pb::ModifyRequestMsg rule, mark;
        if (!Put<pb::RuleMsg>(pb::RULE, policy.Rule(0, 0, action), &rule) ||
            !Put<pb::BarrierMsg>(pb::BARRIER, {{"id", Uuid(0xd6, 1)}, {"barrier_id", barrier}},
                                 &mark))
            return 1;
        auto reply = std::make_shared<std::promise<std::pair<bool, int64_t>>>();
        const int64_t sent = NowNs();
        writer.Write({rule, mark}, [reply](const ozy::cairndb::Status& st) {
            reply->set_value({st.ok, NowNs()});
        });
        auto committed = reply->get_future();
        if (committed.wait_for(std::chrono::seconds(120)) != std::future_status::ready)
            return Fail("no commit reply");
        auto [ok, replyNs] = committed.get();
        if (!ok)
            return Fail("a commit failed");
        auto at = barriers.Await(barrier, std::chrono::seconds(600));
        if (!at)
            return Fail("no PROCESSED_BARRIER of a change", &sys);
        toFilters.push_back(static_cast<double>(*at - sent) / 1e6);
        commits.push_back(static_cast<double>(replyNs - sent) / 1e6);
        // Checked outside the timing: every filter applied once more, sampled verdicts.
        const double checkCpu0 = EmulatorCpuMs(sys);
        const json now = emu.Device();
        auto after = emu.Filters(now);
        // Where the time went: the device's first and last accepted apply of the change, and
        // the firewall loop's pass.
        const auto [firstMs, lastMs] = emu.AppliedSpan(now, before);
        const double sentMs = static_cast<double>(sent) / 1e6;
        toFirst.push_back(firstMs - sentMs);
        toLast.push_back(lastMs - sentMs);
        const double agentCpu0 = AgentCpuMs(sys);
        passes.push_back(sys.AgentJson({"dfw/counters"}).value("last_pass_ms", uint64_t{0}) * 1.0);
        checkAgentCpu += AgentCpuMs(sys) - agentCpu0;
        if (eachChange)
            std::printf(
                "change %u: commit %.1f ms, first apply %.1f ms, last apply %.1f ms, "
                "PROCESSED_BARRIER %.1f ms, pass %.0f ms\n",
                c, commits.back(), toFirst.back(), toLast.back(), toFilters.back(), passes.back());
        for (const auto& [name, f] : before) {
            if (after[name].second <= f.second)
                return Fail(("change reached no apply of " + name).c_str(), &sys);
        }
        before = after;
        const std::string want =
            (action == 0 ? "ALLOW " : "DROP ") + std::to_string(policy.RuleNumber(0, 0));
        for (unsigned i : sampled) {
            if (emu.Verdict(Vif(i), probeSource, 1000) != want)
                return Fail(("verdict on " + Vif(i) + " is not " + want).c_str(), &sys);
        }
        checkEmuCpu += EmulatorCpuMs(sys) - checkCpu0;
    }
    writer.Stop();
    const double changeCpuMs = (AgentCpuMs(sys) - changeCpu0 - checkAgentCpu) / changes;
    const double emuCpuMs = (EmulatorCpuMs(sys) - emuCpu0 - checkEmuCpu) / changes;
    const double p50 = Percentile(toFilters, 0.5), p99 = Percentile(toFilters, 0.99);
    const double c50 = Percentile(commits, 0.5), c99 = Percentile(commits, 0.99);
    std::printf(
        "global change: %u changes of one global rule, each reaching all %u filters; from the "
        "write to its PROCESSED_BARRIER p50 %.1f ms p99 %.1f ms; the database commit alone (its "
        "reply) p50 %.1f ms p99 %.1f ms; ratios p50 %.1f p99 %.1f; CPU a change: agent %.1f ms, "
        "emulator %.1f ms\n",
        changes, filters, p50, p99, c50, c99, p50 / c50, p99 / c99, changeCpuMs, emuCpuMs);
    // The database's own first commits after a large load take seconds (the database alone's
    // line above shows them without the agent): the figures again without the first changes.
    constexpr size_t kSettle = 3;
    if (toFilters.size() > kSettle) {
        const std::vector<double> settled(toFilters.begin() + kSettle, toFilters.end());
        const std::vector<double> settledCommits(commits.begin() + kSettle, commits.end());
        std::printf(
            "global change without the first %zu changes: p50 %.1f ms p99 %.1f ms, the commit "
            "alone p50 %.1f ms p99 %.1f ms\n",
            kSettle, Percentile(settled, 0.5), Percentile(settled, 0.99),
            Percentile(settledCommits, 0.5), Percentile(settledCommits, 0.99));
    }
    std::printf(
        "global change, from the write: the device's first apply p50 %.1f ms p99 %.1f ms, its "
        "last apply p50 %.1f ms p99 %.1f ms; the firewall loop's pass p50 %.0f ms p99 %.0f ms\n",
        Percentile(toFirst, 0.5), Percentile(toFirst, 0.99), Percentile(toLast, 0.5),
        Percentile(toLast, 0.99), Percentile(passes, 0.5), Percentile(passes, 0.99));

    // 3. Restart with nothing changed.
    json d = emu.Device();
    const uint64_t changedBefore = emu.Stat(d, "applies_changed");
    const uint64_t appliesBefore = changedBefore + emu.Stat(d, "applies_unchanged");
    if (sys.StopAgent() != 0)
        return Fail("the agent did not stop cleanly");
    sys.SetAgentLogLevel(3);
    const auto r0 = Clock::now();
    if (!sys.StartAgent(false))
        return Fail("the agent did not start again");
    auto applies = [&] {
        json now = emu.Device();
        return emu.Stat(now, "applies_changed") + emu.Stat(now, "applies_unchanged");
    };
    if (!Await([&] { return applies() >= appliesBefore + filters; }, std::chrono::seconds(1800),
               std::chrono::milliseconds(50)))
        return Fail("the restarted agent did not apply every filter", &sys);
    const double restartMs = Ms(Clock::now() - r0);
    // Settled: no apply for two seconds.
    uint64_t last = applies();
    for (int quiet = 0; quiet < 20;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        uint64_t now = applies();
        quiet = now == last ? quiet + 1 : 0;
        last = now;
    }
    d = emu.Device();
    const uint64_t changed = emu.Stat(d, "applies_changed") - changedBefore;
    json counters = sys.AgentJson({"dfw/counters"});
    std::printf(
        "restart, nothing changed: every filter applied again %.0f ms after the agent's start; "
        "%llu applies, %llu of them changed a filter's state (target 0); %llu wake-ups before the "
        "full sync did nothing; agent CPU %.0f ms; agent RSS %.1f MiB\n",
        restartMs, static_cast<unsigned long long>(last - appliesBefore),
        static_cast<unsigned long long>(changed),
        static_cast<unsigned long long>(counters.value("unsynced_passes", uint64_t{0})),
        AgentCpuMs(sys), AgentMemoryKb(sys).first / 1024.0);
    return sys.StopAgent() == 0 ? 0 : 1;
}
