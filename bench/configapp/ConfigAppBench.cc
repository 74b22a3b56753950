// The configuration application end to end, with real processes (ovsdb-server, ozy-dpemu and
// ozy-cfgagent with "config"), each figure beside the time ovsdb-server takes to commit the same
// transactions.
//
//   build-rel/bin/ozy-bench-configapp [PORTS] [CHANGES]     (defaults 10000 and 200)
//
// Build in a release tree (-DCMAKE_BUILD_TYPE=Release, no sanitizers). Phases:
//   1. VIFs: PORTS VIFs connected in the emulator (its control socket, one request each); time
//      until cairndb holds all their VIF_STATE objects written by the agent.
//   2. Ports: one switch, then PORTS logical switch ports attached to those VIFs applied with one
//      `cairnctl apply`; time until the emulator holds every port unblocked with the switch's VNI.
//      Beside it: the same apply into a database without an agent.
//   3. Delta: CHANGES single-port changes (admin state down/up, one `cairnctl apply` each); latency
//      until the emulator shows the port blocked or unblocked, median and p99, beside the apply
//      time of each change. The emulator is polled through its dump, whose own duration is shown.
// Phases 2 and 3 need the DVS property conversion engine in the agent; without it they are skipped.
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
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/unixctl/UnixctlClient.h"
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

std::string SwitchJson() {
    return R"({"LOG_SWITCH_CONFIG": [{"id": ")" + kSwitch +
           R"(", "vni": 5001, "admin_state_up": true}]})";
}
std::string PortObject(unsigned i, bool adminUp) {
    return R"({"id": ")" + Port(i) + R"(", "switch_id": ")" + kSwitch + R"(", "admin_state_up": )" +
           (adminUp ? "true" : "false") + R"(, "attachment": {"type": 1, "vif_id": ")" + Vif(i) +
           R"(", "dvport_id": ")" + Port(i) + R"("}})";
}
std::string PortsJson(unsigned n) {
    std::string s = R"({"LOG_SWITCH_PORT_CONFIG": [)";
    for (unsigned i = 0; i < n; ++i) {
        if (i != 0)
            s += ",\n";
        s += PortObject(i, true);
    }
    return s + "]}";
}

std::string WriteFile(const std::string& dir, const std::string& name, const std::string& text) {
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

bool PortState(const json& kcp, unsigned i, bool blocked) {
    const json& ports = kcp["ports"];
    auto it = ports.find(Port(i));
    if (it == ports.end())
        return false;
    const json& p = *it;
    return p.contains("block") && p["block"]["blocked"] == blocked && p.contains("vni") &&
           p["vni"]["vni"] == 5001;
}

size_t CountPorts(const json& kcp, unsigned n) {
    size_t ok = 0;
    for (unsigned i = 0; i < n; ++i)
        ok += PortState(kcp, i, false);
    return ok;
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

size_t CountVifStates(AgentSystem& sys) {
    json all = sys.Get("VIF_STATE");
    return all.is_null() ? 0 : all["VIF_STATE"].size();
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t k = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(k, v.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    unsigned ports = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 10000;
    unsigned changes = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 200;
    if (getenv("OZY_BIN_DIR") == nullptr) {
        char exe[4096];
        ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n > 0) {
            std::string dir(exe, static_cast<size_t>(n));
            setenv("OZY_BIN_DIR", dir.substr(0, dir.rfind('/')).c_str(), 1);
        }
    }
    CfgAgent::g_agentLogLevel = CfgAgent::kLogWarn;

    CfgAgent::test::AgentSystemOptions options;
    options.agentLogLevel = 3;
    AgentSystem sys(options);
    if (!sys.Start()) {
        std::fprintf(stderr, "the system did not start\n");
        sys.DumpLogs();
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
    auto t0 = Clock::now();
    for (unsigned i = 0; i < ports; ++i) {
        if (!emu.Call("dpemu/vif-connect", {Vif(i), Port(i), "dvs-1", Mac(i)})) {
            std::fprintf(stderr, "vif-connect %u failed\n", i);
            return 1;
        }
    }
    auto tConnected = Clock::now();
    if (!Await([&] { return CountVifStates(sys) == ports; }, std::chrono::seconds(600),
               std::chrono::milliseconds(250))) {
        std::fprintf(stderr, "cairndb holds %zu VIF states of %u\n", CountVifStates(sys), ports);
        return 1;
    }
    auto tVifs = Clock::now();
    std::printf("VIFs: %u connected in %.0f ms; all VIF_STATE in cairndb after %.0f ms (%.0f/s)\n",
                ports, Ms(tConnected - t0), Ms(tVifs - t0),
                ports / std::chrono::duration<double>(tVifs - t0).count());

#ifndef OZY_HAVE_DVS_CONVERTOR
    std::printf("ports and delta: skipped, the agent has no DVS property conversion engine\n");
    return sys.StopAgent() == 0 ? 0 : 1;
#else
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
            have = CountPorts(emu.Dump("kcp"), ports);
            return have == ports;
        },
        std::chrono::seconds(900), std::chrono::milliseconds(100));
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
                                            {"apply", portsFile}, env, std::chrono::seconds(600));
        commitAlone = Ms(Clock::now() - c0);
        if (r.status != 0)
            return 1;
    }
    double e2e = Ms(tPorts - t0);
    std::printf(
        "ports: %u applied, emulator holds all after %.0f ms; cairnctl apply %.0f ms with the "
        "agent running, %.0f ms alone; ratio %.1f\n",
        ports, e2e, Ms(tApplied - t0), commitAlone, e2e / commitAlone);

    // 3. Delta latency of one port change.
    auto d0 = Clock::now();
    emu.Dump("kcp");
    double dumpMs = Ms(Clock::now() - d0);
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
        if (!Await([&] { return PortState(emu.Dump("kcp"), i, down); }, std::chrono::seconds(60),
                   std::chrono::milliseconds(1))) {
            std::fprintf(stderr, "change %u never reached the emulator\n", c);
            return 1;
        }
        latency.push_back(Ms(Clock::now() - s0));
        applyMs.push_back(Ms(s1 - s0));
    }
    std::printf(
        "delta: %zu changes, to the emulator median %.1f ms p99 %.1f ms; cairnctl apply median "
        "%.1f ms p99 %.1f ms; ratio of medians %.1f (one emulator dump takes %.1f ms)\n",
        latency.size(), Percentile(latency, 0.5), Percentile(latency, 0.99),
        Percentile(applyMs, 0.5), Percentile(applyMs, 0.99),
        Percentile(latency, 0.5) / Percentile(applyMs, 0.5), dumpMs);
    return sys.StopAgent() == 0 ? 0 : 1;
#endif
}
