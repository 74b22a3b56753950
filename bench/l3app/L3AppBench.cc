// Distributed routing at scale with real processes (ovsdb-server, ozy-dpemu and ozy-cfgagent with
// "config" and "vdrb"), each figure beside what the database alone takes for the same data.
//
//   scripts/bench-l3.sh [ROUTES]      (default 50000; builds, then runs
//   build/bin/ozy-bench-l3app ROUTES)
//
// Build in a release tree (no sanitizers). The desired state: 10 routers, 20 router ports (two
// per router, on two switches) and ROUTES routes with two next hops each, spread over the routers.
// Phases:
//   1. Apply: everything in one `cairnctl apply`; time until the emulator holds every route
//      (dpemu/vdr-summary), beside the same apply into a database without an agent.
//   2. Full sync: the agent restarts; time from its start to the emulator's Full Sync End with
//      every route programmed, beside `ovsdb-client dump` of the same database.
// The agent runs with warnings only, so that the figures are of the work and not of its log.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "runtime/Logger.h"
#include "tests/support/AgentSystem.h"
#include "tests/support/Await.h"
#include "tests/support/CairndbServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/EmuClient.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnv.h"

namespace {

using Clock = std::chrono::steady_clock;
using CfgAgent::test::AgentSystem;
using CfgAgent::test::AwaitTrue;
using json = nlohmann::json;

constexpr unsigned kRouters = 10;
constexpr unsigned kPortsPerRouter = 2;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::string Uuid(unsigned kind, unsigned i) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08x-0000-4000-8000-%012x", kind, i);
    return buf;
}

std::string Ipv4(unsigned a, unsigned b, unsigned c, unsigned d) {
    return std::to_string((a << 24) | (b << 16) | (c << 8) | d);
}

// The whole desired state as one document for `cairnctl apply`.
std::string Desired(unsigned routes) {
    const std::string tz = Uuid(0xa1, 1);
    std::string s = R"({"TRANSPORT_NODE_CONFIG": [{"id": ")" + Uuid(0xa0, 1) +
                    R"(", "transport_switches": [{"host_switch_id": ")" + Uuid(0xa2, 1) +
                    R"(", "name": "dvs-1", "transport_zone_ids": [")" + tz + R"("]}]}],)";
    s += R"("LOG_SWITCH_CONFIG": [)";
    for (unsigned ls = 0; ls < kPortsPerRouter; ++ls) {
        s += std::string(ls ? "," : "") + R"({"id": ")" + Uuid(0xa3, ls) + R"(", "vni": )" +
             std::to_string(7000 + ls) + R"(, "transport_zone_id": ")" + tz + R"("})";
    }
    s += R"(], "LOG_ROUTER_CONFIG": [)";
    for (unsigned r = 0; r < kRouters; ++r) {
        s += std::string(r ? "," : "") + R"({"id": ")" + Uuid(0xa4, r) + R"(", "vdr_id": )" +
             std::to_string(3001 + r) + "}";
    }
    s += R"(], "LOG_ROUTER_PORT_CONFIG": [)";
    for (unsigned r = 0; r < kRouters; ++r) {
        for (unsigned p = 0; p < kPortsPerRouter; ++p) {
            unsigned n = r * kPortsPerRouter + p;
            s += std::string(n ? "," : "") + R"({"id": ")" + Uuid(0xa5, n) + R"(", "lr_uuid": ")" +
                 Uuid(0xa4, r) + R"(", "logical_switch_id": ")" + Uuid(0xa3, p) +
                 R"(", "type": 1, "lif_name": "lif-)" + std::to_string(n) +
                 R"(", "ip_addresses": [{"address": {"ipv4": )" + Ipv4(10, r, p, 1) +
                 R"(}, "prefix_length": 24}]})";
        }
    }
    s += R"(], "FIB": [)";
    for (unsigned i = 0; i < routes; ++i) {
        unsigned r = i % kRouters;
        unsigned k = i / kRouters;  // unique within the router
        s += std::string(i ? ",\n" : "") + R"({"id": ")" + Uuid(0xa6, i) + R"(", "router_id": ")" +
             Uuid(0xa4, r) + R"(", "prefix": {"address": {"ipv4": )" +
             Ipv4(100 + k / 65536, (k / 256) % 256, k % 256, 0) +
             R"(}, "prefix_length": 24}, "next_hops": [)";
        for (unsigned p = 0; p < kPortsPerRouter; ++p) {
            s += std::string(p ? "," : "") + R"({"ip": {"ipv4": )" + Ipv4(10, r, p, 254) +
                 R"(}, "lrp_id": ")" + Uuid(0xa5, r * kPortsPerRouter + p) + R"("})";
        }
        s += "]}";
    }
    return s + "]}";
}

std::string WriteFile(const std::string& dir, const std::string& name, const std::string& text) {
    std::string path = dir + "/" + name;
    std::ofstream(path) << text;
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned routes = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 50000;
    if (routes == 0 || routes > 200000) {
        std::fprintf(stderr, "ROUTES must be 1..200000\n");
        return 2;
    }
    CfgAgent::test::UseOwnBinDir();
    CfgAgent::g_agentLogLevel = CfgAgent::kLogWarn;
    setvbuf(stdout, nullptr, _IOLBF, 0);  // one line per phase, as it ends

    CfgAgent::test::AgentSystemOptions options;
    options.apps = {"config", "vdrb"};
    options.agentLogLevel = 4;  // start-up is awaited on an info line; lowered below
    AgentSystem sys(options);
    if (!sys.Start()) {
        std::fprintf(stderr, "the system did not start\n");
        sys.DumpLogs();
        return 1;
    }
    if (sys.AgentCtl({"cfgagent/set/loglevel", "warn"}).status != 0) {
        std::fprintf(stderr, "could not lower the agent's log level\n");
        return 1;
    }
    CfgAgent::test::EmuClient emu(sys.EmulatorSocket());
    json summary;
    auto poll = [&](const std::function<bool(const json&)>& pred, std::chrono::seconds limit) {
        return AwaitTrue(
            [&] {
                summary = emu.Json("dpemu/vdr-summary");
                return summary.is_object() && pred(summary);
            },
            limit, std::chrono::milliseconds(20));
    };
    // The agent's first full sync (of an empty database) is the baseline.
    if (!poll([](const json& s) { return s["full_sync_ends"].get<int>() >= 1; },
              std::chrono::seconds(60))) {
        std::fprintf(stderr, "no VDR full sync\n");
        return 1;
    }
    std::printf("ozy-bench-l3app: %u routers, %u router ports, %u routes with %u next hops\n",
                kRouters, kRouters * kPortsPerRouter, routes, kPortsPerRouter);
    const std::string file = WriteFile(sys.Root(), "bench-l3.json", Desired(routes));

    // 1. One apply until the emulator holds every route.
    auto t0 = Clock::now();
    auto apply = sys.Cairnctl({"apply", file});
    auto tApplied = Clock::now();
    if (apply.status != 0) {
        std::fprintf(stderr, "apply failed: %s\n", apply.output.substr(0, 400).c_str());
        return 1;
    }
    if (!poll([&](const json& s) { return s["routes"].get<unsigned>() == routes; },
              std::chrono::seconds(1800))) {
        std::fprintf(stderr, "the emulator holds %s\n", summary.dump().c_str());
        return 1;
    }
    const double e2e = Ms(Clock::now() - t0);
    if (summary["errors"].get<int>() != 0 ||
        summary["lifs"].get<unsigned>() != kRouters * kPortsPerRouter) {
        std::fprintf(stderr, "the emulator's tables are not the desired state: %s\n",
                     summary.dump().c_str());
        return 1;
    }
    double alone = 0;
    {
        CfgAgent::test::TempDir dir("ozy-bench-l3db");
        CfgAgent::test::CairndbServer db(dir.path());
        if (!db.Start())
            return 1;
        auto c0 = Clock::now();
        auto r = CfgAgent::test::RunProgram(CfgAgent::test::BinPath("cairnctl"), {"apply", file},
                                            {{"OZY_CAIRNDB_ENDPOINT", db.Endpoint()}},
                                            std::chrono::seconds(1800));
        alone = Ms(Clock::now() - c0);
        if (r.status != 0)
            return 1;
    }
    std::printf(
        "apply: %u routes in the emulator %.0f ms after one cairnctl apply (the apply itself %.0f "
        "ms); the same apply into a database alone %.0f ms; ratio %.2f\n",
        routes, e2e, Ms(tApplied - t0), alone, e2e / alone);

    // 2. The agent restarts: from its start to the emulator's Full Sync End with every route.
    if (sys.StopAgent() != 0) {
        std::fprintf(stderr, "the agent did not stop cleanly\n");
        return 1;
    }
    const int ends = emu.Json("dpemu/vdr-summary")["full_sync_ends"].get<int>();
    sys.SetAgentLogLevel(3);
    t0 = Clock::now();
    if (!sys.StartAgent(false))
        return 1;
    if (!poll(
            [&](const json& s) {
                return s["full_sync_ends"].get<int>() > ends &&
                       s["routes"].get<unsigned>() == routes;
            },
            std::chrono::seconds(1800))) {
        std::fprintf(stderr, "after the restart the emulator holds %s\n", summary.dump().c_str());
        return 1;
    }
    const double fullSync = Ms(Clock::now() - t0);
    auto d0 = Clock::now();
    auto dump = sys.Db().Client({"dump", sys.Db().OvsdbRemote()});
    const double dumpDb = Ms(Clock::now() - d0);
    if (dump.status != 0) {
        std::fprintf(stderr, "ovsdb-client dump failed: %s\n", dump.output.substr(0, 400).c_str());
        return 1;
    }
    std::printf(
        "full sync: agent start to the emulator's Full Sync End with %u routes %.0f ms; "
        "ovsdb-client dump of the same database %.0f ms; ratio %.2f\n",
        routes, fullSync, dumpDb, fullSync / dumpDb);
    return sys.StopAgent() == 0 ? 0 : 1;
}
