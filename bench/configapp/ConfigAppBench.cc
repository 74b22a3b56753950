// The scale scenario with real processes (ovsdb-server, ozy-dpemu and ozy-cfgagent with
// "config"), each figure beside what the database alone takes for the same data.
//
//   scripts/bench-scale.sh [PORTS] [CHANGES]      (defaults 10000 and 200; builds, then runs
//   build/bin/ozy-bench-configapp PORTS CHANGES)
//
// Build in a release tree (no sanitizers). Phases:
//   1. VIFs: PORTS VIFs connected in the emulator (its control socket, one request each); time
//      until cairndb holds all their VIF_STATE objects written by the agent (bounded below by the
//      connecting itself), beside the same objects written by one client into a database alone
//      (one write each, which the client library sends together).
//   2. Ports: one switch, then PORTS logical switch ports attached to those VIFs applied with one
//      `cairnctl apply`; time until the emulator holds every port unblocked, beside the same apply
//      into a database without an agent.
//   3. Full sync: the agent and the emulator restart (the VIFs connect again); time from the
//      agent's start to every port unblocked in the emulator, beside `ovsdb-client dump` of the
//      same database; the agent's resident memory then and after the delta phase.
//   4. Delta: CHANGES single-port changes (admin state down/up, one `cairnctl apply` each); latency
//      until the emulator shows the port blocked or unblocked, median and p99, beside the apply
//      time of each change. Only the changed port is polled.
// The agent runs with warnings only, so that the figures are of the work and not of its log.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include <atomic>
#include <future>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "platform/cairndb/CairnDbClient.h"
#include "platform/unixctl/UnixctlClient.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/Logger.h"
#include "tests/support/AgentSystem.h"
#include "tests/support/CairndbServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnv.h"

namespace {

using Clock = std::chrono::steady_clock;
using CfgAgent::test::AgentSystem;
using json = nlohmann::json;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::string Uuid(unsigned kind, unsigned i) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08x-0000-4000-8000-%012x", kind, i);
    return buf;
}
std::string Vif(unsigned i) {
    return Uuid(0xc0, i);
}
std::string Port(unsigned i) {
    return Uuid(0xb0, i);
}
std::string Mac(unsigned i) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "02:00:%02x:%02x:%02x:%02x", (i >> 24) & 255, (i >> 16) & 255,
                  (i >> 8) & 255, i & 255);
    return buf;
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

// The emulator's control socket, spoken to in-process (ovs-appctl per request would measure
// process start-up).
class Emu {
  public:
    explicit Emu(const std::string& socket) : socket_(socket) {}
    bool Call(const std::string& method, const std::vector<std::string>& args,
              std::string* out = nullptr) {
        if (!client_.connected() && client_.Connect(socket_) != 0)
            return false;
        ozy::unixctl::Reply reply;
        if (client_.Transact(method, args, &reply, 60000) != 0 || !reply.success)
            return false;
        if (out != nullptr)
            *out = reply.text;
        return true;
    }
    // Programmed and forwarding port counts (cheap beside a dump).
    json Summary() {
        std::string text;
        if (!Call("dpemu/kcp-summary", {}, &text))
            return nullptr;
        json j = json::parse(text, nullptr, false);
        return j.is_discarded() ? json(nullptr) : j;
    }
    size_t Unblocked() {
        json j = Summary();
        return j.is_object() ? j.value("unblocked", size_t{0}) : 0;
    }
    json PortProps(const std::string& id) {
        std::string text;
        if (!Call("dpemu/kcp-port", {id}, &text))
            return nullptr;
        json j = json::parse(text, nullptr, false);
        return j.is_discarded() ? json(nullptr) : j;
    }
    void Reset() { client_.Close(); }
    json Dump(const std::string& family) {
        std::string text;
        if (!Call("dpemu/dump", {family}, &text))
            return nullptr;
        json j = json::parse(text, nullptr, false);
        return j.is_discarded() ? json(nullptr) : j;
    }

  private:
    std::string socket_;
    ozy::unixctl::Client client_;
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
    long rss = 0, hwm = 0;
    std::ifstream status("/proc/" + std::to_string(sys.Agent()->pid()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            rss = std::atol(line.c_str() + 6);
        if (line.rfind("VmHWM:", 0) == 0)
            hwm = std::atol(line.c_str() + 6);
    }
    return {rss, hwm};
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

bool Await(const std::function<bool()>& pred, std::chrono::seconds timeout,
           std::chrono::milliseconds poll) {
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (pred())
            return true;
        std::this_thread::sleep_for(poll);
    }
    return pred();
}

[[maybe_unused]] double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t k = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(k, v.size() - 1)];
}

namespace pb = orvane::ozy::cairndb;

struct Io {
    boost::asio::io_context io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard{
        io.get_executor()};
    std::thread thread{[this] { io.run(); }};
    ~Io() {
        guard.reset();
        io.stop();
        thread.join();
    }
};

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
    CfgAgent::test::TempDir dir("ozy-bench-vifdb");
    CfgAgent::test::CairndbServer db(dir.path());
    if (!db.Start())
        return -1;
    ozy::cairndb::CairnDbClient writer("bench-writer", ozy::net::Endpoint(db.Endpoint()), io.io);
    writer.StartAsync();
    std::promise<void> all;
    std::atomic<unsigned> left{n};
    auto t0 = Clock::now();
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
        writer.Write({r}, [&](const ozy::cairndb::Status&) {
            if (--left == 0)
                all.set_value();
        });
    }
    all.get_future().wait();
    double ms = Ms(Clock::now() - t0);
    writer.Stop();
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned ports = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 10000;
    unsigned changes = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 200;
    CfgAgent::test::UseOwnBinDir();
    CfgAgent::g_agentLogLevel = CfgAgent::kLogWarn;
    setvbuf(stdout, nullptr, _IOLBF, 0);  // one line per phase, as it ends

    CfgAgent::test::AgentSystemOptions options;
    options.agentLogLevel = 4;  // start-up is awaited on an info line; lowered below
    AgentSystem sys(options);
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
    t0 = Clock::now();
    auto apply = sys.Cairnctl({"apply", portsFile});
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
    // The same transaction into a database without an agent.
    double commitAlone = 0;
    {
        CfgAgent::test::TempDir dir("ozy-bench-db");
        CfgAgent::test::CairndbServer db(dir.path());
        if (!db.Start())
            return 1;
        std::map<std::string, std::string> env = {{"OZY_CAIRNDB_ENDPOINT", db.Endpoint()}};
        CfgAgent::test::RunProgram(CfgAgent::test::BinPath("cairnctl"),
                                   {"apply", WriteFile(dir.path(), "s.json", SwitchJson())}, env);
        auto c0 = Clock::now();
        auto r = CfgAgent::test::RunProgram(CfgAgent::test::BinPath("cairnctl"),
                                            {"apply", portsFile}, env, std::chrono::seconds(1800));
        commitAlone = Ms(Clock::now() - c0);
        if (r.status != 0)
            return 1;
    }
    double e2e = Ms(tPorts - t0);
    std::printf(
        "ports: %u applied, emulator holds all unblocked after %.0f ms; cairnctl apply %.0f ms "
        "with "
        "the agent running, %.0f ms alone; ratio %.1f; agent RSS %.1f MiB\n",
        ports, e2e, Ms(tApplied - t0), commitAlone, e2e / commitAlone,
        AgentMemoryKb(sys).first / 1024.0);
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
    auto dump = sys.Db().Client({"dump", sys.Db().OvsdbRemote()});
    double dumpDb = Ms(Clock::now() - d0);
    if (dump.status != 0) {
        std::fprintf(stderr, "ovsdb-client dump failed: %s\n", dump.output.substr(0, 400).c_str());
        return 1;
    }
    std::printf(
        "full sync: agent start to %u ports unblocked in the emulator %.0f ms; ovsdb-client dump "
        "of the same database %.0f ms; ratio %.1f; agent RSS %.1f MiB (peak %.1f MiB)\n",
        ports, fullSync, dumpDb, fullSync / dumpDb, rssKb / 1024.0, hwmKb / 1024.0);

    // 4. Delta latency of one port change, polled on that port alone.
    std::vector<double> latency, applyMs;
    // Changes come in pairs on one port: down (blocked), then up again (unblocked).
    for (unsigned c = 0; c < changes; ++c) {
        unsigned i = ((c / 2) * 7919u) % ports;
        bool down = (c % 2) == 0;
        std::string file =
            WriteFile(sys.Root(), "bench-change.json",
                      R"({"LOG_SWITCH_PORT_CONFIG": [)" + PortObject(i, !down) + "]}");
        auto s0 = Clock::now();
        auto r = sys.Cairnctl({"apply", file});
        auto s1 = Clock::now();
        if (r.status != 0)
            return 1;
        if (!Await(
                [&] {
                    return PortState(json{{"ports", {{Port(i), emu.PortProps(Port(i))}}}}, i, down);
                },
                std::chrono::seconds(60), std::chrono::milliseconds(1))) {
            std::fprintf(stderr, "change %u never reached the emulator\n", c);
            return 1;
        }
        latency.push_back(Ms(Clock::now() - s0));
        applyMs.push_back(Ms(s1 - s0));
    }
    std::printf(
        "delta: %zu changes, cairnctl apply to the emulator median %.1f ms p99 %.1f ms; cairnctl "
        "apply alone median %.1f ms p99 %.1f ms; ratio of medians %.2f; agent RSS afterwards "
        "%.1f MiB\n",
        latency.size(), Percentile(latency, 0.5), Percentile(latency, 0.99),
        Percentile(applyMs, 0.5), Percentile(applyMs, 0.99),
        Percentile(latency, 0.5) / Percentile(applyMs, 0.5), AgentMemoryKb(sys).first / 1024.0);
    return sys.StopAgent() == 0 ? 0 : 1;
}
