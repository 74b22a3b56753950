// The scale scenario with real processes (ovsdb-server, ozy-dpemu and ozy-cfgagent with
// "config"), each figure beside what the database alone takes for the same data.
//
//   scripts/bench-scale.sh [PORTS] [CHANGES] [SOAK]   (defaults 10000, 200 and 0; builds, then
//   runs build/bin/ozy-bench-configapp PORTS CHANGES SOAK)
//
// Build in a release tree (no sanitizers). Phases:
//   1. VIFs: PORTS VIFs connected in the emulator (its control socket, one request each); time
//      until cairndb holds all their VIF_STATE objects written by the agent (bounded below by the
//      connecting itself), beside the same objects written by one client into a database alone
//      (one write each, which the client library sends together).
//   2. Ports: one switch, then PORTS logical switch ports attached to those VIFs applied with one
//      `cairnctl apply`; time until the emulator holds every port unblocked, beside the same apply
//      into a database without an agent, timed until a passive monitor of the ports (one client
//      of the database library) has received them all: the server's fan-out included.
//   3. Full sync: the agent and the emulator restart (the VIFs connect again); time from the
//      agent's start to every port unblocked in the emulator, beside `ovsdb-client dump` of the
//      same database; the agent's resident memory then, once its own writes are done (beside
//      the steady state after realization) and after the delta phase.
//   4. Delta: CHANGES single-port changes (admin state down/up), each committed in-process through
//      the database library and timed from the commit's reply: until the emulator received the
//      port's record (its receipt log, CLOCK_MONOTONIC like the steady clock here), beside until a
//      passive monitor client received the change in the same run (the database's own share).
//   5. Soak (with a third argument SOAK): SOAK cycles of a port changed and changed back, written
//      by one in-process client with a window of writes in flight; the agent's resident memory
//      before and after.
// The agent runs with warnings only (its container-interface bus too, which has a level of its
// own), so that the figures are of the work and not of its log.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include <atomic>
#include <future>

#include "bench/BenchFigures.h"
#include "bench/BenchNames.h"
#include "bench/EmuControl.h"
#include "bench/IoThread.h"
#include "bench/MonitorStart.h"
#include "bench/ProcessCpu.h"
#include "bench/ProcessMemory.h"
#include "bench/WritesAlone.h"
#include "platform/cairndb/CairnDbClient.h"
#include "platform/cairndb/LibraryLog.h"
#include "proto/UuidText.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_monitor.pb.h"
#include "proto/cairndb_switching.pb.h"
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

std::string Vif(unsigned i) {
    return Uuid(0xc0, i);
}
std::string Port(unsigned i) {
    return Uuid(0xb0, i);
}
const std::string kSwitch = Uuid(0xa0, 1);

[[maybe_unused]] std::string SwitchJson() {
    return R"({"LOG_SWITCH_CONFIG": [{"id": ")" + kSwitch +
           R"(", "vni": 5001, "admin_state_up": true}]})";
}
[[maybe_unused]] std::string PortObject(unsigned i, bool adminUp) {
    return R"({"id": ")" + Port(i) + R"(", "switch_id": ")" + kSwitch + R"(", "admin_state_up": )" +
           (adminUp ? "true" : "false") + R"(, "attachment": {"type": 1, "vif_id": ")" + Vif(i) +
           R"(", "dvport_id": ")" + Port(i) + R"("}})";
}
[[maybe_unused]] std::string PortsJson(unsigned n) {
    std::string s = R"({"LOG_SWITCH_PORT_CONFIG": [)";
    for (unsigned i = 0; i < n; ++i) {
        if (i != 0)
            s += ",\n";
        s += PortObject(i, true);
    }
    return s + "]}";
}

[[maybe_unused]] std::string WriteFile(const std::string& dir, const std::string& name,
                                       const std::string& text) {
    std::string path = dir + "/" + name;
    std::ofstream(path) << text;
    return path;
}

// The emulator's control socket with the scale scenario's requests. Refusals are not printed:
// a port's properties are polled before the port exists.
class Emu : public ozy::bench::EmuControl {
  public:
    explicit Emu(const std::string& socket) : EmuControl(socket, false, 60000) {}
    // Programmed and forwarding port counts (cheap beside a dump).
    size_t Unblocked() {
        json j = Json("dpemu/kcp-summary");
        return j.is_object() ? j.value("unblocked", size_t{0}) : 0;
    }
    json PortProps(const std::string& id) { return Json("dpemu/kcp-port", {id}); }
    json Dump(const std::string& family) { return Json("dpemu/dump", {family}); }
};

[[maybe_unused]] bool PortState(const json& kcp, unsigned i, bool blocked) {
    const json& ports = kcp["ports"];
    auto it = ports.find(Port(i));
    if (it == ports.end())
        return false;
    const json& p = *it;
    return p.contains("block") &&
           p["block"].value("state", "") == (blocked ? "BLOCK" : "UNBLOCK") && p.contains("vni") &&
           p["vni"].value("vni", 0) == 5001;
}

// The agent's resident and peak resident memory, in KiB.
std::pair<long, long> AgentMemoryKb(AgentSystem& sys) {
    return ozy::bench::ProcessMemoryKb(sys.Agent()->pid());
}

// Where the agent's memory goes: the allocator's figures and each component's account, in MiB.
void PrintMemory(AgentSystem& sys, const char* when) {
    auto r = sys.AgentCtl({"cfgagent/cache/memory"});
    json j = json::parse(r.output, nullptr, false);
    if (r.status != 0 || !j.is_object())
        return;
    auto mib = [](const json& v) { return v.get<double>() / (1024.0 * 1024.0); };
    std::printf("memory %s: allocator in use %.1f MiB, held %.1f MiB;", when,
                mib(j["allocator"]["in_use"]), mib(j["allocator"]["held"]));
    for (const json& a : j["components"])
        std::printf(" %s %.1f;", a["name"].get<std::string>().c_str(), mib(a["bytes"]));
    std::printf("\n");
}

namespace pb = orvane::ozy::cairndb;

using Io = ozy::bench::IoThread;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// A passive client of the database: monitors the logical switch ports of vdb 1 and notes when
// each port's latest change arrived.
class PassiveMonitor {
  public:
    PassiveMonitor(const std::string& endpoint, boost::asio::io_context& io)
        : client_("bench-monitor", ozy::net::Endpoint(endpoint), io) {}
    ~PassiveMonitor() { client_.Stop(); }

    // Starts monitoring; true once the current contents (if any) have arrived.
    bool Start() {
        return ozy::bench::StartMonitor(
            client_, kMonitorId, pb::LOG_SWITCH_PORT_CONFIG,
            [this](const pb::MonitorUpdateMsg& u) { Note(u); }, std::chrono::seconds(600));
    }
    size_t Updates() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return updates_;
    }
    int64_t LastAt() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastAt_;
    }
    // When the latest change of `port` arrived, if one arrived at or after `sinceNs`.
    std::optional<int64_t> ReceivedAt(const std::string& port, int64_t sinceNs) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = receivedAt_.find(port);
        if (it == receivedAt_.end() || it->second < sinceNs)
            return std::nullopt;
        return it->second;
    }

  private:
    static constexpr uint32_t kMonitorId = 7;
    void Note(const pb::MonitorUpdateMsg& u) {
        int64_t now = NowNs();
        pb::LogSwitchPortConfigMsg port;
        const std::string& body = u.object_body().empty() ? u.old_object_body() : u.object_body();
        if (!port.ParseFromString(body))
            return;
        std::string id = ozy::cairndb::UuidText(port.id().left(), port.id().right());
        std::lock_guard<std::mutex> lock(mutex_);
        ++updates_;
        lastAt_ = now;
        receivedAt_[id] = now;
    }
    ozy::cairndb::CairnDbClient client_;
    mutable std::mutex mutex_;
    size_t updates_ = 0;
    int64_t lastAt_ = 0;
    std::map<std::string, int64_t> receivedAt_;
};

// The port object of the benchmark as a write of the database library.
bool PortWrite(unsigned i, bool adminUp, pb::ModifyRequestMsg* out) {
    pb::LogSwitchPortConfigMsg port;
    std::string error;
    if (!ozy::cairnctl::ObjectFromJson(json::parse(PortObject(i, adminUp)), &port, &error)) {
        std::fprintf(stderr, "port object: %s\n", error.c_str());
        return false;
    }
    out->set_vdb(1);
    out->mutable_put()->mutable_object()->set_object_type(pb::LOG_SWITCH_PORT_CONFIG);
    port.SerializeToString(out->mutable_put()->mutable_object()->mutable_body());
    return true;
}

// VIF_STATE objects in the database, counted by their row UUIDs (a monitor of 100k rows would
// measure the monitor).
long CountVifStates(AgentSystem& sys) {
    auto r = sys.Db().Transact(
        R"([{"op":"select","table":"VIF_STATE","where":[],"columns":["_uuid"]}])");
    if (r.status != 0)
        return -1;
    long n = 0;
    for (size_t at = r.output.find("\"uuid\""); at != std::string::npos;
         at = r.output.find("\"uuid\"", at + 1))
        ++n;
    return n;
}

// The agent's VIF_STATE writes (one write per VIF) into a database without an agent.
double CommitVifStatesAlone(unsigned n, Io& io) {
    std::vector<pb::ModifyRequestMsg> writes;
    writes.reserve(n);
    for (unsigned i = 0; i < n; ++i) {
        pb::VifStateMsg v;
        v.mutable_id()->set_left(0xc0);
        v.mutable_id()->set_right(i);
        v.set_vif_id(Vif(i));
        v.set_status(1);
        v.add_macs(0x020000000000ull + i);
        v.set_mac(0x020000000000ull + i);
        v.set_port_id(Port(i));
        v.set_switch_id("dvs-1");
        v.set_vif_type(1);
        pb::ModifyRequestMsg r;
        r.set_vdb(1);
        r.mutable_put()->mutable_object()->set_object_type(pb::VIF_STATE);
        v.SerializeToString(r.mutable_put()->mutable_object()->mutable_body());
        writes.push_back(std::move(r));
    }
    return ozy::bench::WritesAloneMs(writes, io, "ozy-bench-vifdb");
}

}  // namespace

int main(int argc, char** argv) {
    unsigned ports = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 10000;
    unsigned changes = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 200;
    unsigned long soakCycles = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 0;
    CfgAgent::test::UseOwnBinDir();
    CfgAgent::g_agentLogLevel = CfgAgent::kLogWarn;
    ozy::cairndb::library_log_level = CfgAgent::kLogWarn;  // the bench's own clients
    setvbuf(stdout, nullptr, _IOLBF, 0);                   // one line per phase, as it ends

    CfgAgent::test::AgentSystemOptions options;
    options.agentLogLevel = 4;  // start-up is awaited on an info line; lowered below
    // The container-interface bus logs at its own level, a line for each VIF at info.
    options.logXml = "<conduit>" + std::to_string(CfgAgent::kLogWarn) + "</conduit>";
    // The server probes no client and the agent's probe is 10 minutes: a server busy for seconds
    // with the benchmark's own reads would otherwise drop the agent's session in the restart.
    options.cairndbProbeMs = 600000;
    AgentSystem sys(options);
    sys.Db().SetInactivityProbe(0);
    if (!sys.Start()) {
        std::fprintf(stderr, "the system did not start\n");
        sys.DumpLogs();
        return 1;
    }
    // The figures are of the work, not of the log: warnings only from here on.
    if (sys.AgentCtl({"cfgagent/set/loglevel", "warn"}).status != 0) {
        std::fprintf(stderr, "could not lower the agent's log level\n");
        return 1;
    }
    Emu emu(sys.EmulatorSocket());
    if (!Await([&] { return emu.Dump("kcp")["session"]["state"] == "synced"; },
               std::chrono::seconds(60), std::chrono::milliseconds(50))) {
        std::fprintf(stderr, "no KCP session\n");
        return 1;
    }
    std::printf("ozy-bench-configapp: %u ports, %u changes\n", ports, changes);

    // 1. VIFs connected in the emulator until cairndb holds their VIF states.
    Io io;
    auto t0 = Clock::now();
    for (unsigned i = 0; i < ports; ++i) {
        if (!emu.Call("dpemu/vif-connect", {Vif(i), Port(i), "dvs-1", Mac(i)})) {
            std::fprintf(stderr, "vif-connect %u failed\n", i);
            return 1;
        }
    }
    auto tConnected = Clock::now();
    long vifStates = 0;
    if (!Await(
            [&] {
                vifStates = CountVifStates(sys);
                return vifStates == static_cast<long>(ports);
            },
            std::chrono::seconds(1800), std::chrono::milliseconds(20))) {
        std::fprintf(stderr, "cairndb holds %ld VIF states of %u\n", vifStates, ports);
        return 1;
    }
    auto tVifs = Clock::now();
    long vifRssKb = AgentMemoryKb(sys).first;
    double vifAlone = CommitVifStatesAlone(ports, io);
    std::printf(
        "VIFs: %u connected in the emulator in %.0f ms; all their VIF_STATE in cairndb after "
        "%.0f ms (%.0f ms after the last connect); the same %u objects written into a database "
        "alone by one client: %.0f ms; ratio %.2f; agent RSS %.1f MiB\n",
        ports, Ms(tConnected - t0), Ms(tVifs - t0), Ms(tVifs - tConnected), ports, vifAlone,
        Ms(tVifs - t0) / vifAlone, vifRssKb / 1024.0);

    // 2. Ports: one apply, until the emulator holds every port with its properties.
    if (!sys.Apply(SwitchJson()))
        return 1;
    std::string portsFile = WriteFile(sys.Root(), "bench-ports.json", PortsJson(ports));
    // Where the CPU goes on a machine the processes share: beside the wall-clock figures.
    auto cpuOf = [&] {
        return std::array<double, 3>{ozy::bench::ProcessCpuMs(sys.Agent()->pid()),
                                     ozy::bench::ProcessCpuMs(sys.Emulator()->pid()),
                                     ozy::bench::ProcessCpuMs(sys.Db().pid())};
    };
    const auto cpu0 = cpuOf();
    t0 = Clock::now();
    // The big apply may outlast cairnctl's and the harness's default waits on a loaded machine.
    auto apply = CfgAgent::test::RunProgram(CfgAgent::test::BinPath("cairnctl"),
                                            {"--timeout", "600", "apply", portsFile}, sys.Env(),
                                            std::chrono::seconds(1800));
    auto tApplied = Clock::now();
    if (apply.status != 0) {
        std::fprintf(stderr, "apply failed: %s\n", apply.output.c_str());
        return 1;
    }
    size_t have = 0;
    bool all = Await(
        [&] {
            have = emu.Unblocked();
            return have == ports;
        },
        std::chrono::seconds(1800), std::chrono::milliseconds(20));
    auto tPorts = Clock::now();
    if (!all) {
        std::fprintf(stderr, "the emulator holds %zu ports of %u\n", have, ports);
        return 1;
    }
    const auto cpu1 = cpuOf();
    // The same transaction into a database without an agent, with a passive monitor attached.
    double commitAlone = 0, fanOutAlone = 0, serverAloneCpu = 0;
    {
        CfgAgent::test::TempDir dir("ozy-bench-db");
        CfgAgent::test::CairndbServer db(dir.path());
        if (!db.Start())
            return 1;
        std::map<std::string, std::string> env = {{"OZY_CAIRNDB_ENDPOINT", db.Endpoint()}};
        CfgAgent::test::RunProgram(CfgAgent::test::BinPath("cairnctl"),
                                   {"apply", WriteFile(dir.path(), "s.json", SwitchJson())}, env);
        PassiveMonitor watcher(db.Endpoint(), io.io);
        if (!watcher.Start()) {
            std::fprintf(stderr, "the passive monitor did not start\n");
            return 1;
        }
        const double serverCpu0 = ozy::bench::ProcessCpuMs(db.pid());
        auto c0 = Clock::now();
        int64_t c0Ns = NowNs();
        auto r = CfgAgent::test::RunProgram(CfgAgent::test::BinPath("cairnctl"),
                                            {"--timeout", "600", "apply", portsFile}, env,
                                            std::chrono::seconds(1800));
        commitAlone = Ms(Clock::now() - c0);
        if (r.status != 0)
            return 1;
        if (!Await([&] { return watcher.Updates() >= ports; }, std::chrono::seconds(1800),
                   std::chrono::milliseconds(5))) {
            std::fprintf(stderr, "the passive monitor received %zu ports of %u\n",
                         watcher.Updates(), ports);
            return 1;
        }
        fanOutAlone = static_cast<double>(watcher.LastAt() - c0Ns) / 1e6;
        serverAloneCpu = ozy::bench::ProcessCpuMs(db.pid()) - serverCpu0;
    }
    double e2e = Ms(tPorts - t0);
    // The steady state: read once the agent's writes back to the database are done too (under 2%
    // of a CPU for half a second), as after the full sync below.
    auto awaitIdle = [&] {
        return ozy::bench::AwaitProcessIdle(sys.Agent()->pid(), std::chrono::milliseconds(500),
                                            0.02, std::chrono::seconds(300));
    };
    awaitIdle();
    const long realizedKb = AgentMemoryKb(sys).first;
    std::printf(
        "ports: %u applied, emulator holds all unblocked after %.0f ms; cairnctl apply %.0f ms "
        "with the agent running; into a database alone: cairnctl apply %.0f ms, a passive monitor "
        "has every port after %.0f ms; ratios %.2f to the apply, %.2f to the monitor; agent RSS "
        "%.1f MiB\n",
        ports, e2e, Ms(tApplied - t0), commitAlone, fanOutAlone, e2e / commitAlone,
        e2e / fanOutAlone, realizedKb / 1024.0);
    std::printf(
        "ports: CPU until the emulator holds all: agent %.0f ms, emulator %.0f ms, ovsdb-server "
        "%.0f ms; ovsdb-server alone %.0f ms\n",
        cpu1[0] - cpu0[0], cpu1[1] - cpu0[1], cpu1[2] - cpu0[2], serverAloneCpu);
    PrintMemory(sys, "after realization");
    bool sampled = true;
    for (unsigned i = 0; i < ports; i += std::max(1u, ports / 100))
        sampled &= PortState(json{{"ports", {{Port(i), emu.PortProps(Port(i))}}}}, i, false);
    if (!sampled) {
        std::fprintf(stderr, "a sampled port lacks the switch's VNI\n");
        return 1;
    }

    // 3. Full sync: a new agent (warnings only) against a database holding every port and a new
    // emulator whose VIFs are connected, until every port is programmed and unblocked.
    if (sys.StopAgent() != 0) {
        std::fprintf(stderr, "the agent did not stop cleanly\n");
        return 1;
    }
    sys.StopEmulator();
    emu.Reset();
    if (!sys.StartEmulator())
        return 1;
    for (unsigned i = 0; i < ports; ++i) {
        if (!emu.Call("dpemu/vif-connect", {Vif(i), Port(i), "dvs-1", Mac(i)}))
            return 1;
    }
    sys.SetAgentLogLevel(3);
    t0 = Clock::now();
    if (!sys.StartAgent(false))
        return 1;
    all = Await(
        [&] {
            have = emu.Unblocked();
            return have == ports;
        },
        std::chrono::seconds(1800), std::chrono::milliseconds(20));
    double fullSync = Ms(Clock::now() - t0);
    if (!all) {
        std::fprintf(stderr, "after the restart the emulator holds %zu ports of %u\n", have, ports);
        return 1;
    }
    auto [rssKb, hwmKb] = AgentMemoryKb(sys);
    PrintMemory(sys, "after the full sync");
    auto d0 = Clock::now();
    auto dump = sys.Db().Client({"dump", sys.Db().OvsdbRemote(), "cairndb"});
    double dumpDb = Ms(Clock::now() - d0);
    if (dump.status != 0) {
        std::fprintf(stderr, "ovsdb-client dump failed: %s\n", dump.output.substr(0, 400).c_str());
        return 1;
    }
    std::printf(
        "full sync: agent start to %u ports unblocked in the emulator %.0f ms; ovsdb-client dump "
        "of the same database %.0f ms; ratio %.1f; agent RSS %.1f MiB (peak %.1f MiB)\n",
        ports, fullSync, dumpDb, fullSync / dumpDb, rssKb / 1024.0, hwmKb / 1024.0);
    // Once the full sync's own writes back to the database are done too.
    const bool idle = awaitIdle();
    const long settledKb = AgentMemoryKb(sys).first;
    std::printf(
        "full sync settled%s: agent RSS %.1f MiB, %+.1f%% against %.1f MiB before the restart\n",
        idle ? "" : " (still busy after 300 s)", settledKb / 1024.0,
        100.0 * static_cast<double>(settledKb - realizedKb) / static_cast<double>(realizedKb),
        realizedKb / 1024.0);
    PrintMemory(sys, "after the full sync settled");

    // 4. Delta latency: each change committed in-process, timed from the commit's reply to the
    // emulator's receipt of the port's record and to a passive monitor's receipt of the change.
    ozy::cairndb::CairnDbClient writer("bench-writer", ozy::net::Endpoint(sys.Db().Endpoint()),
                                       io.io);
    writer.StartAsync();
    PassiveMonitor watcher(sys.Db().Endpoint(), io.io);
    if (!watcher.Start() || !emu.Call("dpemu/kcp-receipts", {"start"})) {
        std::fprintf(stderr, "the passive monitor or the emulator's receipts did not start\n");
        return 1;
    }
    std::vector<double> toDataplane, toMonitor;
    std::vector<int64_t> sentAt;  // each change's commit, from the phase's start
    const int64_t deltaStartNs = NowNs();
    std::map<std::string, int64_t> received;  // port -> the emulator's first receipt since a commit
    // Changes come in pairs on one port: down (blocked), then up again (unblocked).
    for (unsigned c = 0; c < changes; ++c) {
        unsigned i = ((c / 2) * 7919u) % ports;
        bool down = (c % 2) == 0;
        pb::ModifyRequestMsg req;
        if (!PortWrite(i, !down, &req))
            return 1;
        received.clear();
        int64_t sent = NowNs();
        auto reply = std::make_shared<std::promise<std::pair<bool, int64_t>>>();
        writer.Write({req}, [reply](const ozy::cairndb::Status& st) {
            reply->set_value({st.ok, NowNs()});
        });
        auto committed = reply->get_future();
        if (committed.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            std::fprintf(stderr, "change %u: no commit reply\n", c);
            return 1;
        }
        auto [ok, replyNs] = committed.get();
        if (!ok) {
            std::fprintf(stderr, "change %u: the commit failed\n", c);
            return 1;
        }
        const std::string port = Port(i);
        std::optional<int64_t> monitorNs;
        bool arrived = Await(
            [&] {
                std::string text;
                if (received.count(port) == 0 && emu.Call("dpemu/kcp-receipts", {"read"}, &text)) {
                    json got = json::parse(text, nullptr, false);
                    if (got.is_object() && got["receipts"].is_array()) {
                        for (const json& r : got["receipts"])
                            received.emplace(r[1].get<std::string>(), r[0].get<int64_t>());
                    }
                }
                monitorNs = watcher.ReceivedAt(port, sent);
                return received.count(port) != 0 && monitorNs.has_value();
            },
            std::chrono::seconds(60), std::chrono::milliseconds(1));
        if (!arrived || !PortState(json{{"ports", {{port, emu.PortProps(port)}}}}, i, down)) {
            std::fprintf(stderr,
                         "change %u of %s: the emulator %s its record, the monitor %s the change\n",
                         c, port.c_str(), received.count(port) ? "received" : "never received",
                         monitorNs ? "received" : "never received");
            return 1;
        }
        toDataplane.push_back(static_cast<double>(received[port] - replyNs) / 1e6);
        toMonitor.push_back(static_cast<double>(*monitorNs - replyNs) / 1e6);
        sentAt.push_back(sent - deltaStartNs);
    }
    emu.Call("dpemu/kcp-receipts", {"stop"});
    double deltaRssMb = AgentMemoryKb(sys).first / 1024.0;
    std::printf(
        "delta: %zu changes committed in-process; from the commit's reply to the emulator's "
        "receipt p50 %.3f ms p99 %.3f ms; to a passive monitor's receipt p50 %.3f ms p99 %.3f ms; "
        "the agent's share above the monitor p50 %.3f ms p99 %.3f ms; agent RSS afterwards "
        "%.1f MiB\n",
        toDataplane.size(), Percentile(toDataplane, 0.5), Percentile(toDataplane, 0.99),
        Percentile(toMonitor, 0.5), Percentile(toMonitor, 0.99),
        Percentile(toDataplane, 0.5) - Percentile(toMonitor, 0.5),
        Percentile(toDataplane, 0.99) - Percentile(toMonitor, 0.99), deltaRssMb);
    // The tail's changes, so that a p99 set by a few of them (at the phase's start, say) shows.
    std::vector<size_t> slowest(toDataplane.size());
    for (size_t k = 0; k < slowest.size(); ++k)
        slowest[k] = k;
    auto above = [&](size_t k) { return toDataplane[k] - toMonitor[k]; };
    std::sort(slowest.begin(), slowest.end(),
              [&](size_t a, size_t b) { return above(a) > above(b); });
    slowest.resize(std::min<size_t>(slowest.size(), 5));
    std::printf("delta: the slowest changes above the monitor (change, committed after, share):");
    for (size_t k : slowest)
        std::printf(" #%zu +%.0f ms %.3f ms;", k, static_cast<double>(sentAt[k]) / 1e6, above(k));
    std::printf("\n");

    // 5. Soak: SOAK cycles of one port changed and changed back (a window of writes in flight),
    // then the agent's memory beside what it was before.
    if (soakCycles > 0) {
        PrintMemory(sys, "before the soak");
        long before = AgentMemoryKb(sys).first;
        // Writes in flight are sent together as one transaction; each group changes distinct
        // ports, so that every change of a cycle reaches the agent instead of cancelling out.
        constexpr unsigned kGroup = 64;
        std::mutex m;
        std::condition_variable cv;
        unsigned inFlight = 0;
        bool failed = false;
        auto writeGroup = [&](unsigned long first, unsigned n, bool adminUp) {
            for (unsigned k = 0; k < n; ++k) {
                unsigned i = static_cast<unsigned>((first + k) * 7919u % ports);
                pb::ModifyRequestMsg req;
                if (!PortWrite(i, adminUp, &req))
                    return false;
                {
                    std::lock_guard<std::mutex> g(m);
                    ++inFlight;
                }
                writer.Write({req}, [&](const ozy::cairndb::Status& st) {
                    std::lock_guard<std::mutex> g(m);
                    --inFlight;
                    failed |= !st.ok;
                    cv.notify_all();
                });
            }
            std::unique_lock<std::mutex> lock(m);
            cv.wait(lock, [&] { return inFlight == 0; });
            return !failed;
        };
        auto s0 = Clock::now();
        for (unsigned long c = 0; c < soakCycles && !failed; c += kGroup) {
            unsigned n = static_cast<unsigned>(std::min<unsigned long>(kGroup, soakCycles - c));
            n = std::min(n, ports);
            if (!writeGroup(c, n, false) || !writeGroup(c, n, true))
                break;
        }
        if (failed) {
            std::fprintf(stderr, "a soak write failed\n");
            return 1;
        }
        // Settled: every port forwards again (each cycle ends with the port up).
        if (!Await([&] { return emu.Unblocked() == ports; }, std::chrono::seconds(600),
                   std::chrono::milliseconds(20))) {
            std::fprintf(stderr, "after the soak the emulator holds %zu ports unblocked of %u\n",
                         emu.Unblocked(), ports);
            return 1;
        }
        long after = AgentMemoryKb(sys).first;
        std::printf(
            "soak: %lu change-and-back cycles in %.0f s; agent RSS %.1f MiB before, %.1f MiB after "
            "(%+.1f%%)\n",
            soakCycles, Ms(Clock::now() - s0) / 1000.0, before / 1024.0, after / 1024.0,
            100.0 * static_cast<double>(after - before) / static_cast<double>(before));
        PrintMemory(sys, "after the soak");
    }
    writer.Stop();
    return sys.StopAgent() == 0 ? 0 : 1;
}
