// The BFD sessions with real processes (ovsdb-server, ozy-dpemu and ozy-cfgagent with "vxlan" and
// "bfd"), ROUNDS times each (the median ratio is the figure: one round on a shared machine is
// noisy):
//   1. VNIS VNIs joined in the emulator with the same 2 local VTEPs, then their switches and FIBs
//      (REMOTES remote VTEPs each) in one `cairnctl apply`: 2 x REMOTES x VNIS sessions; time until
//      the emulator holds them all, beside the same apply into a database alone (the median of
//      three, each into a fresh database). Between rounds both types are flushed by a client of
//      the benchmark's own and the emulator awaited empty.
//   2. `dpemu/link-drop vxlan`: time from the new session's Open until every session is back,
//      beside the L2 session's own resync in the same round (from the same Open until every remote
//      VTEP of the switches is back).
// Times are the emulator's own (`changed_ms` and `opened_ms` of `dpemu/vxlan-summary`: when the
// last Update changed the sessions or the remote VTEPs, when the Session Open arrived), read on the
// monotonic clock the benchmark shares, so the 20 ms polling adds nothing to a figure. The time
// from the drop to the Open is the link's reopen timer (up to 5 s), the same for both sides: it is
// printed apart and left out of the ratio. Each round also gives the CPU time the agent (and the
// emulator) used, which a loaded machine does not stretch. The agent runs with warnings only.
#include "bench/l2app/BfdBench.h"

#include <cstdio>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/BenchFigures.h"
#include "bench/EmuControl.h"
#include "bench/IoThread.h"
#include "bench/ProcessCpu.h"
#include "platform/cairndb/CairnDbClient.h"
#include "proto/cairndb_modify.pb.h"
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

// Now on the monotonic clock, in milliseconds as the emulator's times are.
double NowMs() {
    return Ms(Clock::now().time_since_epoch());
}

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

// Deletes every switch and FIB in one write of the benchmark's own client.
bool FlushSwitches(const std::string& endpoint) {
    namespace pb = orvane::ozy::cairndb;
    IoThread io;
    ozy::cairndb::CairnDbClient client("bench-flush", ozy::net::Endpoint(endpoint), io.io);
    client.StartAsync();
    std::vector<pb::ModifyRequestMsg> flushes(2);
    flushes[0].set_vdb(1);
    flushes[0].mutable_flush()->set_object_type(pb::LOG_SWITCH_FIB);
    flushes[1].set_vdb(1);
    flushes[1].mutable_flush()->set_object_type(pb::LOG_SWITCH_CONFIG);
    std::promise<bool> done;
    client.Write(flushes, [&](const ozy::cairndb::Status& st) { done.set_value(st.ok); });
    const bool ok = done.get_future().get();
    client.Stop();
    return ok;
}

std::string Ratios(const std::vector<double>& ratios) {
    std::string out;
    for (double r : ratios) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%s%.2f", out.empty() ? "" : ", ", r);
        out += buf;
    }
    return out;
}

}  // namespace

int RunBfdBench(unsigned vnis, unsigned remotes, unsigned rounds) {
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

    // 1. One apply until every session is in the emulator, per round.
    const std::string text = SwitchesJson(vnis, remotes);
    const std::string file = sys.Root() + "/bench-bfd.json";
    std::ofstream(file) << text;
    const size_t remoteVteps = size_t(vnis) * remotes;
    const pid_t agent = sys.Agent()->pid();
    const pid_t emulator = sys.Emulator()->pid();
    json sum;
    std::vector<double> applyRatios;
    for (unsigned round = 1; round <= rounds; ++round) {
        if (round > 1) {
            Check(FlushSwitches(sys.Db().Endpoint()), "flush the switches");
            Check(Await(
                      [&] {
                          sum = emu.Json("dpemu/vxlan-summary");
                          return sum.is_object() && sum["bfd_sessions"] == 0 &&
                                 sum["remote_vteps"] == 0;
                      },
                      std::chrono::seconds(600), std::chrono::milliseconds(20)),
                  "no BFD session left after the flush");
        }
        double agentCpu = ProcessCpuMs(agent);
        double emuCpu = ProcessCpuMs(emulator);
        const double t0 = NowMs();
        Check(sys.Cairnctl({"apply", file}).status == 0, "apply the switches");
        Check(Await(
                  [&] {
                      sum = emu.Json("dpemu/vxlan-summary");
                      return sum.is_object() && sum["bfd_sessions"] == sessions &&
                             sum["remote_vteps"] == remoteVteps;
                  },
                  std::chrono::seconds(1800), std::chrono::milliseconds(20)),
              "every BFD session in the emulator");
        const double applied = sum["changed_ms"]["bfd_sessions"].get<double>() - t0;
        const double vtepsApplied = sum["changed_ms"]["remote_vteps"].get<double>() - t0;
        agentCpu = ProcessCpuMs(agent) - agentCpu;
        emuCpu = ProcessCpuMs(emulator) - emuCpu;
        // The reference varies more than the apply it stands beside (a fresh database and a
        // process start each time): the median of three.
        std::vector<double> alones;
        for (int i = 0; i < 3; ++i) {
            CfgAgent::test::TempDir dir("ozy-bench-bfdapply");
            CfgAgent::test::CairndbServer db(dir.path());
            Check(db.Start(), "a database alone");
            const std::string copy = dir.path() + "/bfd.json";
            std::ofstream(copy) << text;
            const double a0 = NowMs();
            auto r =
                CfgAgent::test::RunProgram(CfgAgent::test::BinPath("cairnctl"), {"apply", copy},
                                           {{"OZY_CAIRNDB_ENDPOINT", db.Endpoint()}});
            alones.push_back(NowMs() - a0);
            Check(r.status == 0, "the apply into a database alone");
        }
        const double alone = Median(alones);
        applyRatios.push_back(applied / alone);
        std::printf(
            "bfd apply %u: %zu sessions in the emulator after %.0f ms (every remote VTEP after "
            "%.0f ms; CPU: agent %.0f ms, emulator %.0f ms); the same apply into a database "
            "alone: %.0f ms (median of three); ratio %.2f; emulator errors %s\n",
            round, sessions, applied, vtepsApplied, agentCpu, emuCpu, alone, applied / alone,
            sum["errors"].dump().c_str());
    }

    // 2. A dropped link per round: from the new session's Open, the L2 session's own resync
    // beside the sessions'.
    std::vector<double> dropRatios;
    for (unsigned round = 1; round <= rounds; ++round) {
        const uint64_t opens = sum["session"]["opens"];
        double agentCpu = ProcessCpuMs(agent);
        const double t1 = NowMs();
        Check(emu.Call("dpemu/link-drop", {"vxlan"}), "drop the link");
        Check(Await(
                  [&] {
                      sum = emu.Json("dpemu/vxlan-summary");
                      return sum.is_object() && sum["session"]["opens"] > opens &&
                             sum["session"]["state"] == "synced" &&
                             sum["remote_vteps"] == remoteVteps && sum["bfd_sessions"] == sessions;
                  },
                  std::chrono::seconds(1800), std::chrono::milliseconds(20)),
              "everything back after the link drop");
        const double opened = sum["session"]["opened_ms"].get<double>();
        const double l2Back = sum["changed_ms"]["remote_vteps"].get<double>() - opened;
        const double bfdBack = sum["changed_ms"]["bfd_sessions"].get<double>() - opened;
        agentCpu = ProcessCpuMs(agent) - agentCpu;
        dropRatios.push_back(bfdBack / l2Back);
        std::printf(
            "bfd link drop %u: the session opened again %.0f ms after the drop (the reopen "
            "timer); from its Open every remote VTEP back after %.1f ms (the L2 resync), every BFD "
            "session back after %.1f ms; ratio %.2f to the L2 resync; agent CPU %.0f ms\n",
            round, opened - t1, l2Back, bfdBack, bfdBack / l2Back, agentCpu);
    }
    std::printf(
        "bfd: median ratio %.2f of the apply to the database alone (%s), %.2f of the sessions "
        "back to the L2 resync (%s); duplicate adds %s\n",
        Median(applyRatios), Ratios(applyRatios).c_str(), Median(dropRatios),
        Ratios(dropRatios).c_str(),
        emu.Json("dpemu/dump", {"vxlan"})["stats"]["bfd_dup_adds"].dump().c_str());
    return sys.StopAgent() == 0 ? 0 : 1;
}

}  // namespace ozy::bench
