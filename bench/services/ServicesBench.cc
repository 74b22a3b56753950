// Other dataplane services end to end, each figure beside a baseline measured in the same run.
//
//   build-rel/bin/ozy-bench-services [PORTS]   (default 10000; a release tree, no sanitizers)
//
// IPFIX, with real processes (ovsdb-server, ozy-dpemu, ozy-cfgagent with "config"): PORTS ports
// with connected VIFs on one switch, one IPFIX switch profile bound to all of them, using one
// collector profile. Then one change of the collector profile (its UDP port) until the emulator
// shows the new collector on every port, beside one change of the switch's admin state (which
// blocks every port) until the emulator shows every port blocked: the same ports, one object
// changed, each port's record sent again. Median of three rounds of each.
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
#include "tests/support/ChildProcess.h"
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

bool IpfixPhase(unsigned ports) {
    CfgAgent::test::AgentSystemOptions options;
    options.agentLogLevel = 4;  // start-up is awaited on an info line; lowered below
    AgentSystem sys(options);
    if (!sys.Start() || sys.AgentCtl({"cfgagent/set/loglevel", "warn"}).status != 0) {
        std::fprintf(stderr, "the system did not start\n");
        sys.DumpLogs();
        return false;
    }
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

}  // namespace

int main(int argc, char** argv) {
    unsigned ports = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 10000;
    if (ports < 1 || ports > 200000) {
        std::fprintf(stderr, "usage: ozy-bench-services [PORTS] (1..200000)\n");
        return 2;
    }
    CfgAgent::test::UseOwnBinDir();
    CfgAgent::g_agentLogLevel = CfgAgent::kLogWarn;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("ozy-bench-services: %u ports\n", ports);
    return IpfixPhase(ports) ? 0 : 1;
}
