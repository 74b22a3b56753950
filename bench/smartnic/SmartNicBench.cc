// The SmartNIC host's full-sync fan-out: N ports on one logical switch, two host switches on its
// transport zone backed by vdbs 2 and 3. Timed from the host agent's start (persona 1) until
// both vdbs hold every port, beside cairnctl applying the same 2 x (N + 1) objects straight into
// two vdbs in the same run. One line per figure and the ratio.
//
//   ozy-bench-smartnic [N]   (default 10000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/support/AgentSystem.h"
#include "tests/support/TestEnv.h"

namespace {

using Clock = std::chrono::steady_clock;
using CfgAgent::test::AgentSystem;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::string Uuid(unsigned prefix, unsigned n) {
    char text[40];
    std::snprintf(text, sizeof(text), "%08x-0000-4000-8000-%012x", prefix, n);
    return text;
}

// The switch and its ports (into `vdb` when not 0).
std::string SwitchAndPorts(unsigned ports, unsigned vdb) {
    nlohmann::json doc;
    if (vdb != 0)
        doc["vdb"] = vdb;
    doc["LOG_SWITCH_CONFIG"] = {
        {{"id", Uuid(0x5a000000, 1)}, {"vni", 5001}, {"transport_zone_id", Uuid(0x7f000000, 1)}}};
    nlohmann::json list = nlohmann::json::array();
    for (unsigned i = 0; i < ports; ++i) {
        list.push_back({{"id", Uuid(0x5b000000, i)},
                        {"switch_id", Uuid(0x5a000000, 1)},
                        {"attachment", {{"type", 1}, {"vif_id", Uuid(0x5c000000, i)}}}});
    }
    doc["LOG_SWITCH_PORT_CONFIG"] = list;
    return doc.dump();
}

std::string HostSide() {
    nlohmann::json doc;
    nlohmann::json switches = nlohmann::json::array();
    nlohmann::json backings = nlohmann::json::array();
    for (unsigned h = 1; h <= 2; ++h) {
        switches.push_back({{"host_switch_id", Uuid(0x7d000000, h)},
                            {"name", "hs-" + std::to_string(h)},
                            {"transport_zone_ids", {Uuid(0x7f000000, 1)}}});
        backings.push_back({{"id", Uuid(0x6b000000, h)},
                            {"host_switch_id", Uuid(0x7d000000, h)},
                            {"vdb", 1 + h},
                            {"active_sn_id", "sn-" + std::to_string(h)},
                            {"current_active_sn_id", "sn-" + std::to_string(h)}});
    }
    doc["TRANSPORT_NODE_CONFIG"] = {
        {{"id", Uuid(0x7e000000, 1)}, {"transport_switches", switches}}};
    doc["HOST_SWITCH_SMARTNIC_BACKING"] = backings;
    return doc.dump();
}

// Ports of a vdb as the server holds them (-1 on failure).
long Ports(AgentSystem& sys, unsigned vdb) {
    auto r = sys.Db().Transact(
        R"([{"op":"select","table":"LOG_SWITCH_PORT_CONFIG","where":[["vdb","==",)" +
        std::to_string(vdb) + R"(]],"columns":["_uuid"]}])");
    nlohmann::json j = nlohmann::json::parse(r.output, nullptr, false);
    if (r.status != 0 || !j.is_array() || j.empty() || !j[0].contains("rows"))
        return -1;
    return static_cast<long>(j[0]["rows"].size());
}

bool Await(const std::function<bool()>& pred, std::chrono::seconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred();
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned ports =
        argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 10000;
    if (ports == 0 || ports > 100000) {
        std::fprintf(stderr, "usage: ozy-bench-smartnic [N]   (1..100000 ports)\n");
        return 2;
    }
    CfgAgent::test::UseOwnBinDir();
    setvbuf(stdout, nullptr, _IOLBF, 0);
    CfgAgent::test::AgentSystemOptions options;
    options.apps = {};
    options.agentLogLevel = 3;  // warnings: the figures are of the work, not of the log
    options.extraEnv = {{"OZY_NODE_PERSONA", "1"}};
    AgentSystem sys(options);
    if (!sys.Db().Start() || !sys.StartEmulator()) {
        std::fprintf(stderr, "the database or the emulator did not start\n");
        return 1;
    }
    if (!sys.Apply(SwitchAndPorts(ports, 0)) || !sys.Apply(HostSide())) {
        std::fprintf(stderr, "the host's configuration was not applied\n");
        return 1;
    }
    std::printf("ozy-bench-smartnic: %u ports on one switch, two host switches on vdbs 2 and 3\n",
                ports);

    // 1. The host agent's start until both vdbs hold every port.
    auto t0 = Clock::now();
    if (!sys.StartAgent(false)) {
        std::fprintf(stderr, "the agent did not start\n");
        return 1;
    }
    const long want = static_cast<long>(ports);
    if (!Await([&] { return Ports(sys, 2) == want && Ports(sys, 3) == want; },
               std::chrono::seconds(600))) {
        std::fprintf(stderr, "the vdbs hold %ld and %ld ports\n", Ports(sys, 2), Ports(sys, 3));
        sys.DumpLogs();
        return 1;
    }
    const double fanOut = Ms(Clock::now() - t0);
    std::printf("fan-out from agent start: %.1f ms (2 x %u objects and the globals)\n", fanOut,
                ports + 2);

    // 2. The same objects written straight into two other vdbs.
    const std::string a = SwitchAndPorts(ports, 4);
    const std::string b = SwitchAndPorts(ports, 5);
    t0 = Clock::now();
    if (!sys.Apply(a) || !sys.Apply(b)) {
        std::fprintf(stderr, "cairnctl apply failed\n");
        return 1;
    }
    const double direct = Ms(Clock::now() - t0);
    std::printf("cairnctl apply into two vdbs: %.1f ms\n", direct);
    std::printf("ratio fan-out / direct: %.2f (target <= 2)\n", fanOut / direct);
    sys.StopAgent();
    return 0;
}
