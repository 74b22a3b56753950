// Failover of the agent on a three-member cairndb cluster, beside a plain OVSDB client.
//
//   scripts/bench-failover.sh [ROUNDS]     (default 7; builds, then runs
//   build/bin/ozy-bench-cairndb-failover ROUNDS)
//
// Build in a release tree (no sanitizers). The demo's topology is realized through a cluster of
// three members, ozy-dpemu and ozy-cfgagent (with "config"). Each round:
//   - `ovsdb-client --no-leader-only monitor` is started against the two members the agent does not
//     use and has printed the table's contents;
//   - the member the agent uses is killed (SIGKILL), and at once `cairnctl apply` through another
//     member flips one port's admin state;
//   - from the SIGKILL on, both are watched: the time until the emulator shows the port's new
//     block state (the agent left the dead member, resynchronised with another one and realized
//     the change), and the time until the monitor printed the change;
//   - the killed member is restarted and rejoins before the next round.
// The figure is the median of each and their ratio (target: at most 2).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/BenchFigures.h"
#include "runtime/Logger.h"
#include "tests/support/AgentSystem.h"
#include "tests/support/Await.h"
#include "tests/support/CairndbCluster.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/EmuClient.h"
#include "tests/support/TestEnv.h"

namespace {

using CfgAgent::test::AgentSystem;
using CfgAgent::test::AwaitTrue;
using CfgAgent::test::CairndbCluster;
using CfgAgent::test::ChildProcess;
using json = nlohmann::json;
using ozy::bench::Check;
using ozy::bench::Clock;
using ozy::bench::Median;
using ozy::bench::Ms;

constexpr const char* kDvs = "dvs-1";

json ReadJson(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return json::parse(ss.str(), nullptr, false);
}

std::string Mac(unsigned i) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "02:00:00:00:%02x:%02x", (i >> 8) & 255, i & 255);
    return buf;
}

// The port's block state in the emulator ("BLOCK", "UNBLOCK"), "" when it has none.
std::string BlockState(CfgAgent::test::EmuClient& emu, const std::string& port) {
    json kcp = emu.Json("dpemu/dump", {"kcp"});
    if (!kcp.is_object() || !kcp.contains("ports") || !kcp["ports"].contains(port))
        return "";
    return kcp["ports"][port].value("block", json::object()).value("state", "");
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
    if (rounds < 1 || rounds > 50) {
        std::fprintf(stderr, "ROUNDS must be 1..50\n");
        return 2;
    }
    CfgAgent::test::UseOwnBinDir();
    CfgAgent::g_agentLogLevel = CfgAgent::kLogWarn;
    setvbuf(stdout, nullptr, _IOLBF, 0);

    json topology = ReadJson(CfgAgent::test::SourceDir() + "/examples/topology.json");
    Check(topology.is_object(), "examples/topology.json parses (run from the source tree)");
    json port;
    for (const json& p : topology.value("LOG_SWITCH_PORT_CONFIG", json::array())) {
        if (p.contains("attachment") && p["attachment"].contains("vif_id")) {
            port = p;
            break;
        }
    }
    Check(port.is_object(), "the topology has an attached port");
    const std::string portId = port["id"];

    CfgAgent::test::AgentSystemOptions options;
    options.clusteredDb = true;
    options.agentLogLevel = 4;  // start-up is awaited on an info line; lowered below
    AgentSystem sys(options);
    const bool started = sys.Start();
    if (!started)
        sys.DumpLogs();
    Check(started, "the cluster, the emulator and the agent start");
    Check(sys.AgentCtl({"cfgagent/set/loglevel", "warn"}).status == 0, "lower the agent's log");
    CairndbCluster& cluster = *sys.Cluster();
    CfgAgent::test::EmuClient emu(sys.EmulatorSocket());
    Check(sys.Apply(topology.dump()), "apply the topology");
    unsigned vifs = 0;
    for (const json& p : topology["LOG_SWITCH_PORT_CONFIG"]) {
        // Container interfaces have no VIF of their own.
        if (p.contains("attachment") && p["attachment"].contains("vif_id") &&
            !p["attachment"].contains("parent_vif_id")) {
            Check(emu.Call("dpemu/vif-connect", {p["attachment"]["vif_id"].get<std::string>(),
                                                 p["id"].get<std::string>(), kDvs, Mac(++vifs)}),
                  "connect a VIF");
        }
    }
    bool up = port.value("admin_state_up", true);
    Check(AwaitTrue([&] { return BlockState(emu, portId) == (up ? "UNBLOCK" : "BLOCK"); },
                    std::chrono::seconds(60)),
          "the topology is realized");

    std::printf("ozy-bench-cairndb-failover: %d rounds, %zu VIFs, the member in use killed\n",
                rounds, static_cast<size_t>(vifs));
    std::vector<double> agentMs, monitorMs;
    for (int round = 1; round <= rounds; ++round) {
        int used = -1;
        std::string role;
        Check(AwaitTrue(
                  [&] {
                      json m = sys.AgentJson({"cfgagent/cairndb/member"});
                      used = m.is_object() ? cluster.MemberOf(m.value("member", "")) : -1;
                      role = m.is_object() ? m.value("role", "") : "";
                      return used >= 0;
                  },
                  std::chrono::seconds(60), std::chrono::milliseconds(50)),
              "the agent uses a member");
        const int a = (used + 1) % CairndbCluster::kMembers;
        const int b = (used + 2) % CairndbCluster::kMembers;

        // The plain client, already on a surviving member, prints the table's contents first.
        const std::string monitorLog = sys.Root() + "/monitor-" + std::to_string(round) + ".out";
        ChildProcess monitor(
            "/usr/bin/ovsdb-client",
            {"--no-leader-only", "--format=csv", "monitor",
             cluster.member(a).OvsdbRemote() + "," + cluster.member(b).OvsdbRemote(), "cairndb",
             "LOG_SWITCH_PORT_CONFIG", "oid,body"},
            monitorLog);
        Check(monitor.WaitForOutput(portId, std::chrono::seconds(30)), "the monitor starts");
        const size_t from = monitor.Output().size();

        up = !up;
        json change = port;
        change["admin_state_up"] = up;
        const std::string file = sys.Root() + "/change-" + std::to_string(round) + ".json";
        std::ofstream(file) << json{{"LOG_SWITCH_PORT_CONFIG", json::array({change})}}.dump();
        const std::string want = up ? "UNBLOCK" : "BLOCK";

        const auto t0 = Clock::now();
        cluster.member(used).Kill();
        ChildProcess apply(CfgAgent::test::BinPath("cairnctl"),
                           {"--endpoint", cluster.member(a).Endpoint(), "apply", file},
                           sys.Root() + "/apply-" + std::to_string(round) + ".out", sys.Env());
        double agent = -1, plain = -1;
        const bool seen = AwaitTrue(
            [&] {
                if (plain < 0 && monitor.Output().find(portId, from) != std::string::npos)
                    plain = Ms(Clock::now() - t0);
                if (agent < 0 && BlockState(emu, portId) == want)
                    agent = Ms(Clock::now() - t0);
                return agent >= 0 && plain >= 0;
            },
            std::chrono::seconds(120), std::chrono::milliseconds(1));
        Check(seen, "both the agent and the monitor see the change");
        Check(apply.WaitExit(std::chrono::seconds(60)) == 0, "cairnctl apply succeeds");
        monitor.Signal(SIGTERM);
        monitor.WaitExit(std::chrono::seconds(10));
        std::printf(
            "  round %d: killed member %d (%s): agent %.1f ms, ovsdb-client monitor %.1f ms\n",
            round, used, role.c_str(), agent, plain);
        agentMs.push_back(agent);
        monitorMs.push_back(plain);
        Check(cluster.Start(), "the killed member rejoins");
    }
    const double agent = Median(agentMs), plain = Median(monitorMs);
    std::printf(
        "failover (SIGKILL of the member in use to the change realized), median of %d: agent "
        "%.1f ms, ovsdb-client monitor on the surviving members %.1f ms, ratio %.2f "
        "(target <= 2)\n",
        rounds, agent, plain, agent / plain);
    json kcp = emu.Json("dpemu/dump", {"kcp"});
    Check(kcp.is_object() && kcp.value("errors", json::array()).empty(),
          "the emulator recorded no KCP errors");
    sys.StopAgent();
    return 0;
}
