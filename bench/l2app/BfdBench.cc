// The BFD sessions with real processes (ovsdb-server, ozy-dpemu and ozy-cfgagent with "vxlan" and
// "bfd"):
//   1. VNIS VNIs joined in the emulator with the same 2 local VTEPs, then their switches and FIBs
//      (REMOTES remote VTEPs each) in one `cairnctl apply`: 2 x REMOTES x VNIS sessions; time until
//      `dpemu/vxlan-summary` counts them all, beside the same apply into a database alone.
//   2. `dpemu/link-drop vxlan`: time until every session is back, beside the L2 session's own
//      resync in the same run (until the emulator's session is synced again and every remote VTEP
//      of the switches is back).
// The agent runs with warnings only.
#include "bench/l2app/BfdBench.h"

#include <cstdio>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "bench/BenchFigures.h"
#include "bench/EmuControl.h"
#include "runtime/Logger.h"
#include "tests/support/AgentSystem.h"
#include "tests/support/CairndbServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnv.h"

namespace ozy::bench {

namespace {

using json = nlohmann::json;
constexpr uint32_t kBfdVniBase = 40000;

std::string LsId(uint32_t vni) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "5a000000-0000-4000-8000-%012x", vni);
    return buf;
}

// The switches and their FIBs: remote VTEPs 10.(2 + i / 256).(i % 256).(r + 1) of VNI i.
std::string SwitchesJson(unsigned vnis, unsigned remotes) {
    json configs = json::array();
    json fibs = json::array();
    for (unsigned i = 0; i < vnis; ++i) {
        const uint32_t vni = kBfdVniBase + i;
        configs.push_back({{"id", LsId(vni)}, {"vni", vni}});
        json vteps = json::array();
        for (unsigned r = 0; r < remotes; ++r) {
            vteps.push_back({{"ip", "10." + std::to_string(2 + i / 256) + "." +
                                        std::to_string(i % 256) + "." + std::to_string(r + 1)},
                             {"label", 100 + r}});
        }
        fibs.push_back({{"id", LsId(vni)}, {"vtep_entries", vteps}});
    }
    return json{{"LOG_SWITCH_CONFIG", configs}, {"LOG_SWITCH_FIB", fibs}}.dump();
}

}  // namespace

int RunBfdBench(unsigned vnis, unsigned remotes) {
    CfgAgent::test::AgentSystemOptions options;
    options.apps = {"vxlan", "bfd"};
    options.agentLogLevel = 4;  // start-up is awaited on an info line; lowered below
    CfgAgent::test::AgentSystem sys(options);
    if (!sys.Start()) {
        std::fprintf(stderr, "the system did not start\n");
        sys.DumpLogs();
        return 1;
    }
    Check(sys.AgentCtl({"cfgagent/set/loglevel", "warn"}).status == 0,
          "lower the agent's log level");
    EmuControl emu(sys.EmulatorSocket());
    Check(Await([&] { return emu.Json("dpemu/vxlan-summary")["session"]["state"] == "synced"; },
                std::chrono::seconds(60), std::chrono::milliseconds(50)),
          "a synced VXLAN session");
    const size_t sessions = size_t(vnis) * 2 * remotes;
    std::printf("ozy-bench-l2app bfd: %u VNIs, 2 local and %u remote VTEPs each: %zu sessions\n",
                vnis, remotes, sessions);
    for (unsigned i = 0; i < vnis; ++i) {
        const std::string vni = std::to_string(kBfdVniBase + i);
        Check(emu.Call("dpemu/vxlan-join", {"1", vni}), "join a VNI");
        Check(emu.Call("dpemu/vxlan-local-vtep", {vni, "add", "10.0.0.1", "1"}), "local VTEP 1");
        Check(emu.Call("dpemu/vxlan-local-vtep", {vni, "add", "10.0.0.2", "2"}), "local VTEP 2");
    }

    // 1. One apply until every session is in the emulator.
    const std::string text = SwitchesJson(vnis, remotes);
    const std::string file = sys.Root() + "/bench-bfd.json";
    std::ofstream(file) << text;
    auto t0 = Clock::now();
    Check(sys.Cairnctl({"apply", file}).status == 0, "apply the switches");
    json sum;
    Check(Await(
              [&] {
                  sum = emu.Json("dpemu/vxlan-summary");
                  return sum.is_object() && sum["bfd_sessions"] == sessions;
              },
              std::chrono::seconds(1800), std::chrono::milliseconds(20)),
          "every BFD session in the emulator");
    const double applied = Ms(Clock::now() - t0);
    double alone = 0;
    {
        CfgAgent::test::TempDir dir("ozy-bench-bfdapply");
        CfgAgent::test::CairndbServer db(dir.path());
        Check(db.Start(), "a database alone");
        const std::string copy = dir.path() + "/bfd.json";
        std::ofstream(copy) << text;
        auto a0 = Clock::now();
        auto r = CfgAgent::test::RunProgram(CfgAgent::test::BinPath("cairnctl"), {"apply", copy},
                                            {{"OZY_CAIRNDB_ENDPOINT", db.Endpoint()}});
        alone = Ms(Clock::now() - a0);
        Check(r.status == 0, "the apply into a database alone");
    }
    std::printf(
        "bfd apply: %zu sessions in the emulator after %.0f ms; the same apply into a "
        "database alone: %.0f ms; ratio %.2f; emulator errors %s\n",
        sessions, applied, alone, applied / alone, sum["errors"].dump().c_str());

    // 2. A dropped link: the L2 session's own resync beside the sessions'.
    const uint64_t opens = sum["session"]["opens"];
    const size_t remoteVteps = size_t(vnis) * remotes;
    double synced = 0;
    double l2Back = 0;
    double bfdBack = 0;
    auto t1 = Clock::now();
    Check(emu.Call("dpemu/link-drop", {"vxlan"}), "drop the link");
    Check(Await(
              [&] {
                  sum = emu.Json("dpemu/vxlan-summary");
                  if (!sum.is_object() || sum["session"]["opens"] <= opens)
                      return false;
                  const double now = Ms(Clock::now() - t1);
                  if (synced == 0 && sum["session"]["state"] == "synced")
                      synced = now;
                  if (l2Back == 0 && synced != 0 && sum["remote_vteps"] == remoteVteps)
                      l2Back = now;
                  if (bfdBack == 0 && synced != 0 && sum["bfd_sessions"] == sessions)
                      bfdBack = now;
                  return l2Back != 0 && bfdBack != 0;
              },
              std::chrono::seconds(1800), std::chrono::milliseconds(20)),
          "everything back after the link drop");
    std::printf(
        "bfd link drop: session synced again after %.0f ms, every remote VTEP back after "
        "%.0f ms, every BFD session back after %.0f ms; ratio %.2f to the L2 resync; "
        "duplicate adds %s\n",
        synced, l2Back, bfdBack, bfdBack / l2Back,
        emu.Json("dpemu/dump", {"vxlan"})["stats"]["bfd_dup_adds"].dump().c_str());
    return sys.StopAgent() == 0 ? 0 : 1;
}

}  // namespace ozy::bench
