// Other dataplane services end to end, each figure beside a baseline measured in the same run.
//
//   build-rel/bin/ozy-bench-services [PORTS [CHAINS]]   (defaults 10000 and 1000; a release tree,
//                                                         no sanitizers)
//
// IPFIX, with real processes (ovsdb-server, ozy-dpemu, ozy-cfgagent with "config"): PORTS ports
// with connected VIFs on one switch, one IPFIX switch profile bound to all of them, using one
// collector profile. Then one change of the collector profile (its UDP port) until the emulator
// shows the new collector on every port, beside one change of the switch's admin state (which
// blocks every port) until the emulator shows every port blocked: the same ports, one object
// changed, each port's record sent again. Median of three rounds of each.
//
// Service insertion, with real processes (ovsdb-server, ozy-dpemu, ozy-cfgagent with "config"
// and "si"): CHAINS service chains (ids 1..CHAINS), each with its redirection policy and 7 equally
// good service paths (one forward and one reverse hop each), in one `cairnctl apply`; the time
// until the emulator holds every chain entry with its 7 slots and every NSH entry
// (dpemu/si-summary), beside the same apply into a database without an agent (the commit alone).
// The agent runs with warnings only, so that the figures are of the work and not of its log.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/BenchFigures.h"
#include "bench/EmuControl.h"
#include "runtime/Logger.h"
#include "tests/support/AgentSystem.h"
#include "tests/support/CairndbServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnv.h"

namespace {

using CfgAgent::test::AgentSystem;
using ozy::bench::Clock;
using ozy::bench::Ms;
using json = nlohmann::json;

const std::string kSwitch = "5a000000-0000-4000-8000-00000000b001";
const std::string kSwitchProfile = "6f000000-0000-4000-8000-00000000b001";
const std::string kCollectors = "6f000000-0000-4000-8000-00000000b002";

std::string Uuid(unsigned kind, unsigned i) {
    char b[40];
    std::snprintf(b, sizeof b, "%08x-0000-4000-8000-%012x", kind << 24, i);
    return b;
}

std::string SwitchJson(bool up) {
    return R"({"LOG_SWITCH_CONFIG": [{"id": ")" + kSwitch +
           R"(", "vni": 5001, "admin_state_up": )" + (up ? "true" : "false") + "}]}";
}

std::string CollectorJson(unsigned udpPort) {
    return R"({"PROFILE": [{"id": ")" + kCollectors +
           R"(", "profile_type": 2, "ipfix_collector_profile": {"collectors": [{"ip": {"ipv4": )"
           R"(2130706433}, "port": )" +
           std::to_string(udpPort) + "}]}}]}";
}

bool Await(const std::function<bool()>& pred) {
    return ozy::bench::Await(pred, std::chrono::seconds(900), std::chrono::milliseconds(20));
}

// One apply of `text`, then `done` awaited; the milliseconds from the apply's start, or -1.
double ApplyUntil(AgentSystem& sys, const std::string& name, const std::string& text,
                  const std::function<bool()>& done) {
    std::string path = sys.Root() + "/" + name;
    std::ofstream(path) << text;
    auto t0 = Clock::now();
    auto apply = CfgAgent::test::RunProgram(CfgAgent::test::BinPath("cairnctl"),
                                            {"--timeout", "600", "apply", path}, sys.Env(),
                                            std::chrono::seconds(900));
    if (apply.status != 0) {
        std::fprintf(stderr, "apply %s failed: %s\n", name.c_str(), apply.output.c_str());
        return -1;
    }
    if (!Await(done))
        return -1;
    return Ms(Clock::now() - t0);
}

// Starts the system (start-up is awaited on an info line), then lowers the agent's log level to
// warnings for the measurement.
bool StartQuiet(AgentSystem& sys) {
    if (!sys.Start() || sys.AgentCtl({"cfgagent/set/loglevel", "warn"}).status != 0) {
        std::fprintf(stderr, "the system did not start\n");
        sys.DumpLogs();
        return false;
    }
    return true;
}

bool IpfixPhase(unsigned ports) {
    CfgAgent::test::AgentSystemOptions options;
    options.agentLogLevel = 4;
    AgentSystem sys(options);
    if (!StartQuiet(sys))
        return false;
    ozy::bench::EmuControl emu(sys.EmulatorSocket(), false, 60000);
    if (!Await([&] { return emu.Json("dpemu/dump", {"kcp"})["session"]["state"] == "synced"; }))
        return false;
    auto summary = [&](const char* method, const char* what) {
        json j = emu.Json(method);
        return j.is_object() ? j.value(what, json()) : json();
    };
    auto unblocked = [&] { return summary("dpemu/kcp-summary", "unblocked"); };
    auto onCollector = [&](unsigned udpPort) {
        json byPort = summary("dpemu/ipfix-summary", "collector_ports");
        return byPort.is_object() ? byPort.value(std::to_string(udpPort), 0u) : 0u;
    };
    for (unsigned i = 0; i < ports; ++i) {
        if (!emu.Call("dpemu/vif-connect", {Uuid(0xc0, i), Uuid(0xb0, i), "dvs-1"}))
            return false;
    }
    std::string setup = R"({"LOG_SWITCH_CONFIG": [{"id": ")" + kSwitch +
                        R"(", "vni": 5001, "admin_state_up": true}], "LOG_SWITCH_PORT_CONFIG": [)";
    std::string bound;
    for (unsigned i = 0; i < ports; ++i) {
        setup += std::string(i != 0 ? ",\n" : "") + R"({"id": ")" + Uuid(0xb0, i) +
                 R"(", "switch_id": ")" + kSwitch +
                 R"(", "admin_state_up": true, "attachment": {"type": 1, "vif_id": ")" +
                 Uuid(0xc0, i) + R"(", "dvport_id": ")" + Uuid(0xb0, i) + R"("}})";
        bound += std::string(i != 0 ? ", " : "") + "\"" + Uuid(0xb0, i) + "\"";
    }
    setup += R"(], "PROFILE": [{"id": ")" + kSwitchProfile +
             R"(", "profile_type": 1, "logical_switch_port_ids": [)" + bound +
             R"(], "ipfix_switch_profile": {"observation_domain_id": 9, "config": )"
             R"({"collector_profile_ids": [")" +
             kCollectors + R"("]}}}]})";
    if (ApplyUntil(sys, "ports.json", setup, [&] { return unblocked() == json(ports); }) < 0 ||
        ApplyUntil(sys, "collector-0.json", CollectorJson(4000),
                   [&] { return onCollector(4000) == ports; }) < 0) {
        std::fprintf(stderr, "setup: %s unblocked, %u on the collector\n",
                     unblocked().dump().c_str(), onCollector(4000));
        return false;
    }
    std::vector<double> collector, admin;
    for (unsigned round = 1; round <= 3; ++round) {
        unsigned udp = 4000 + round;
        double c = ApplyUntil(sys, "collector.json", CollectorJson(udp),
                              [&] { return onCollector(udp) == ports; });
        double down =
            ApplyUntil(sys, "down.json", SwitchJson(false), [&] { return unblocked() == json(0); });
        if (c < 0 || down < 0 || ApplyUntil(sys, "up.json", SwitchJson(true), [&] {
                                     return unblocked() == json(ports);
                                 }) < 0) {
            std::fprintf(stderr, "round %u did not complete\n", round);
            return false;
        }
        collector.push_back(c);
        admin.push_back(down);
    }
    double c = ozy::bench::Median(collector), a = ozy::bench::Median(admin);
    std::printf(
        "IPFIX: one collector profile change used by %u ports until the emulator shows the new "
        "collector on all: %.0f ms; the switch's admin state down until the emulator shows all "
        "%u ports blocked: %.0f ms; ratio %.2f (medians of 3)\n",
        ports, c, ports, a, c / a);
    return sys.StopAgent() == 0;
}

// ---- service insertion ----

constexpr unsigned kPathsPerChain = 7;

std::string Mac(unsigned n) {
    char b[24];
    std::snprintf(b, sizeof b, "02:00:%02x:%02x:%02x:%02x", (n >> 24) & 0xFF, (n >> 16) & 0xFF,
                  (n >> 8) & 0xFF, n & 0xFF);
    return b;
}

// Chain c (1..chains): policy c, chain id c, paths c * 8 + 0..6; path p's forward hop has SPI p,
// its reverse hop SPI 0x800000 + p, both service index 255, each hop its own MAC.
std::string SiDocument(unsigned chains) {
    json policies = json::array(), chainList = json::array(), paths = json::array();
    for (unsigned c = 1; c <= chains; ++c) {
        policies.push_back({{"id", Uuid(0xe1, c)},
                            {"policy_id", c},
                            {"transport_type", 1},
                            {"failure_policy", 2},
                            {"service_chain_id", c}});
        chainList.push_back(
            {{"id", Uuid(0xe2, c)}, {"service_chain_id", c}, {"path_selection_policy", 1}});
        for (unsigned j = 0; j < kPathsPerChain; ++j) {
            const unsigned path = c * 8 + j;
            auto direction = [](unsigned spi, unsigned mac) {
                return json{{"hops", {{{"mac", Mac(mac)}, {"spi", spi}, {"si", 255}}}},
                            {"host_local_count", 1},
                            {"host_cross_count", 0}};
            };
            paths.push_back({{"id", Uuid(0xe3, path)},
                             {"service_path_id", path},
                             {"service_chain_id", c},
                             {"forward", direction(path, 2 * path)},
                             {"reverse", direction(0x800000 + path, 2 * path + 1)}});
        }
    }
    return json{{"SI_REDIRECTION_POLICY", policies},
                {"SI_SERVICE_CHAIN", chainList},
                {"SI_SERVICE_PATH", paths}}
        .dump();
}

bool SiPhase(unsigned chains) {
    CfgAgent::test::AgentSystemOptions options;
    options.apps = {"config", "si"};
    options.agentLogLevel = 4;
    AgentSystem sys(options);
    if (!StartQuiet(sys))
        return false;
    ozy::bench::EmuControl emu(sys.EmulatorSocket(), false, 60000);
    const unsigned slots = chains * kPathsPerChain, nsh = 2 * slots;
    json summary;
    auto held = [&] {
        summary = emu.Json("dpemu/si-summary");
        return summary.is_object() && summary.value("chains", 0u) == chains &&
               summary.value("slots", 0u) == slots && summary.value("nsh", 0u) == nsh;
    };
    const double e2e = ApplyUntil(sys, "si.json", SiDocument(chains), held);
    const std::string path = sys.Root() + "/si.json";  // what ApplyUntil wrote
    if (e2e < 0) {
        std::fprintf(stderr, "the emulator holds %s\n", summary.dump().c_str());
        sys.DumpLogs();
        return false;
    }
    if (summary.value("failed_spis", 0u) != 0) {
        std::fprintf(stderr, "failed SPIs in the emulator: %s\n", summary.dump().c_str());
        return false;
    }
    // The same apply into a database alone, three times (a fresh database each), the median.
    std::vector<double> alone;
    for (int round = 0; round < 3; ++round) {
        CfgAgent::test::TempDir dir("ozy-bench-sidb");
        CfgAgent::test::CairndbServer db(dir.path());
        if (!db.Start())
            return false;
        auto t0 = Clock::now();
        auto r = CfgAgent::test::RunProgram(
            CfgAgent::test::BinPath("cairnctl"), {"--timeout", "600", "apply", path},
            {{"OZY_CAIRNDB_ENDPOINT", db.Endpoint()}}, std::chrono::seconds(900));
        if (r.status != 0) {
            std::fprintf(stderr, "apply into the database alone failed: %s\n", r.output.c_str());
            return false;
        }
        alone.push_back(Ms(Clock::now() - t0));
    }
    const double a = ozy::bench::Median(alone);
    std::printf(
        "SI: %u chains x %u paths (%u policies, %u NSH entries) in one cairnctl apply until the "
        "emulator holds every chain and NSH entry: %.0f ms; the same apply into a database "
        "alone: %.0f ms (median of 3); ratio %.2f\n",
        chains, kPathsPerChain, chains, nsh, e2e, a, e2e / a);
    return sys.StopAgent() == 0;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned ports = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 10000;
    unsigned chains = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 1000;
    if (argc > 3 || ports < 1 || ports > 200000 || chains < 1 || chains > 1023) {
        std::fprintf(stderr, "usage: ozy-bench-services [PORTS [CHAINS]] (1..200000, 1..1023)\n");
        return 2;
    }
    CfgAgent::test::UseOwnBinDir();
    CfgAgent::g_agentLogLevel = CfgAgent::kLogWarn;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("ozy-bench-services: %u ports, %u service chains\n", ports, chains);
    const bool ipfix = IpfixPhase(ports);
    const bool si = SiPhase(chains);
    return ipfix && si ? 0 : 1;
}
