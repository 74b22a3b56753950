// The L2 overlay application with real processes (ovsdb-server, ozy-dpemu and ozy-cfgagent with
// "vxlan"), each figure beside what the database alone takes for the same data.
//
//   scripts/bench-l2.sh [SWITCHES] [MACS] [LEARNED] [CAP]   (defaults 100, 1000, 100000 and 600
//   seconds; builds, then runs build/bin/ozy-bench-l2app SWITCHES MACS LEARNED CAP)
//   scripts/bench-l2.sh bfd [VNIS] [REMOTES] [ROUNDS]    the BFD sessions (BfdBench.cc; defaults
//   200, 50 and 3 rounds)
//
// Build in a release tree (no sanitizers). Cases, the most demanding last, each given at most CAP
// seconds (one that does not finish in time is reported and the run goes on, exiting 1 at the
// end):
//   1. Remote: SWITCHES logical switches joined in the emulator, then their configuration and
//      FIBs (10 remote VTEPs and MACS remote MACs each) applied with one `cairnctl apply`; time
//      until `dpemu/vxlan-summary` counts every remote MAC, beside the same apply into a database
//      without an agent.
//   2. Learned on SWITCHES VNIs: LEARNED / SWITCHES MACs learned at once on each (one
//      `dpemu/vxlan-mac-learn-bulk` for all of them, split at the agent's maximum); time from the
//      emulator's first message (`session.reported_ms` of `dpemu/vxlan-summary`) until every
//      LOG_SWITCH_STATE row of those switches in cairndb holds its MACs, beside the same rows
//      written by one client into a database alone (timed from its first write).
//   3. Learned on 1 VNI: LEARNED MACs on one VNI; time until its row holds them all, beside the
//      same row written alone. This probes the write amplification of one growing row.
//   Cases 2 and 3 run ROUNDS times in turn (default 3), each round on VNIs and switches of its
//   own, and the median ratio of each case follows their lines.
// Rows are watched by their versions and counted through database clients of the benchmark's own
// (no program started per look, no row read while it keeps changing). The agent runs with warnings
// only, so that the figures are of the work and not of its log.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/BenchFigures.h"
#include "bench/EmuControl.h"
#include "bench/IoThread.h"
#include "bench/ProcessCpu.h"
#include "bench/RowVersions.h"
#include "bench/WritesAlone.h"
#include "bench/l2app/BfdBench.h"
#include "platform/cairndb/CairnDbClient.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_modify.pb.h"
#include "runtime/Logger.h"
#include "tests/support/AgentSystem.h"
#include "tests/support/CairndbServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnv.h"

namespace {

using CfgAgent::test::AgentSystem;
using ozy::bench::Await;
using ozy::bench::Clock;
using ozy::bench::Ms;
using json = nlohmann::json;
namespace pb = orvane::ozy::cairndb;

constexpr unsigned kVtepsPerSwitch = 10;
constexpr uint32_t kRemoteVniBase = 10000;
constexpr uint32_t kOneVni = 20000;
constexpr uint32_t kManyVniBase = 30000;
// Rounds of the learned cases: each takes 256 VNIs from kManyVniBase.
constexpr int kMaxRounds = 20;

// Logical switch `vni`'s id: 5a000000-0000-4000-8000-<vni>.
uint64_t LsRight(uint32_t vni) {
    return 0x8000000000000000ull + vni;
}
std::string LsId(uint32_t vni) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "5a000000-0000-4000-8000-%012x", vni);
    return buf;
}
std::string MacText(uint64_t m) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", unsigned(m >> 40) & 255,
                  unsigned(m >> 32) & 255, unsigned(m >> 24) & 255, unsigned(m >> 16) & 255,
                  unsigned(m >> 8) & 255, unsigned(m) & 255);
    return buf;
}
std::string Ip(unsigned a, unsigned b, unsigned c, unsigned d) {
    return std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + "." +
           std::to_string(d);
}

std::string SwitchesJson(uint32_t firstVni, unsigned n) {
    json list = json::array();
    for (unsigned i = 0; i < n; ++i)
        list.push_back({{"id", LsId(firstVni + i)}, {"vni", firstVni + i}});
    return json{{"LOG_SWITCH_CONFIG", list}}.dump();
}

// The switches with their FIBs: 10 remote VTEPs and `macs` MACs behind them, one apply.
std::string RemoteJson(unsigned switches, unsigned macs) {
    json configs = json::array();
    json fibs = json::array();
    for (unsigned s = 0; s < switches; ++s) {
        const uint32_t vni = kRemoteVniBase + s;
        configs.push_back({{"id", LsId(vni)}, {"vni", vni}});
        json vteps = json::array();
        for (unsigned v = 0; v < kVtepsPerSwitch; ++v)
            vteps.push_back({{"ip", Ip(10, 2, s & 255, v + 1)}, {"label", 100 + v}});
        json macList = json::array();
        for (unsigned m = 0; m < macs; ++m) {
            macList.push_back({{"mac", MacText(0x005056000000ull + uint64_t(s) * macs + m)},
                               {"vtep_ip", Ip(10, 2, s & 255, m % kVtepsPerSwitch + 1)}});
        }
        fibs.push_back({{"id", LsId(vni)}, {"vtep_entries", vteps}, {"mac_entries", macList}});
    }
    return json{{"LOG_SWITCH_CONFIG", configs}, {"LOG_SWITCH_FIB", fibs}}.dump();
}

std::string WriteFile(const std::string& dir, const std::string& name, const std::string& text) {
    std::string path = dir + "/" + name;
    std::ofstream(path) << text;
    return path;
}

using Emu = ozy::bench::EmuControl;

using Io = ozy::bench::IoThread;

// The rows the agent writes for `rows` switches of `macs` learned MACs each, written by one client
// into a database alone (one put per row); milliseconds until every write is acknowledged.
// `serverCpuMs` gets the CPU the database used.
double WriteRowsAlone(uint32_t firstVni, unsigned rows, unsigned macs, Io& io,
                      double* serverCpuMs) {
    std::vector<pb::ModifyRequestMsg> puts;
    for (unsigned r = 0; r < rows; ++r) {
        pb::LogSwitchStateMsg row;
        row.mutable_id()->set_left(0x5a00000000004000ull);
        row.mutable_id()->set_right(LsRight(firstVni + r));
        for (unsigned m = 0; m < macs; ++m) {
            pb::LogSwitchMacEntryMsg* e = row.add_mac_entries();
            e->set_mac(0x006000000000ull + uint64_t(r) * macs + m);
            e->mutable_vtep_ip()->set_ipv4(0x0a010001);
        }
        pb::ModifyRequestMsg put;
        put.set_vdb(1);
        put.mutable_put()->mutable_object()->set_object_type(pb::LOG_SWITCH_STATE);
        row.SerializeToString(put.mutable_put()->mutable_object()->mutable_body());
        puts.push_back(std::move(put));
    }
    return ozy::bench::WritesAloneMs(puts, io, "ozy-bench-l2db", serverCpuMs);
}

// MACs of the LOG_SWITCH_STATE rows of the switches `ids` in the database (0 when it does not
// answer). Each row is read by its id: the rows of the other case are not read again, so that the
// database's CPU in the figures is that of the writes and not of the benchmark's count.
size_t LearnedMacs(ozy::cairndb::CairnDbClient& reader, const std::set<std::string>& ids) {
    size_t n = 0;
    for (const std::string& id : ids) {
        std::promise<size_t> counted;
        reader.Get(
            pb::LOG_SWITCH_STATE, 1, id,
            [&](const ozy::cairndb::Status& st,
                const std::vector<ozy::cairndb::StoredObject>& rows) {
                size_t macs = 0;
                for (const auto& row : st.ok ? rows : std::vector<ozy::cairndb::StoredObject>()) {
                    pb::LogSwitchStateMsg body;
                    if (row.oid == id && body.ParseFromString(row.body))
                        macs += size_t(body.mac_entries_size());
                }
                counted.set_value(macs);
            });
        n += counted.get_future().get();
    }
    return n;
}

// Learns `total` MACs spread over `vnis` joined VNIs from `firstVni`; milliseconds until cairndb
// holds them all, beside the same rows written alone. False when they are not all there within
// `cap`.
bool LearnedPhase(AgentSystem& sys, Emu& emu, Io& io, uint32_t firstVni, unsigned vnis,
                  unsigned total, std::chrono::seconds cap, const char* name, double* ratio) {
    const unsigned per = total / vnis;
    ozy::bench::Check(sys.Apply(SwitchesJson(firstVni, vnis)), "apply the learning switches");
    std::set<std::string> ids;
    for (unsigned i = 0; i < vnis; ++i) {
        ozy::bench::Check(emu.Call("dpemu/vxlan-join", {"1", std::to_string(firstVni + i)}),
                          "join a learning VNI");
        ids.insert(LsId(firstVni + i));
    }
    ozy::cairndb::CairnDbClient reader("bench-reader", ozy::net::Endpoint(sys.Db().Endpoint()),
                                       io.io);
    reader.StartAsync();
    ozy::bench::RowVersions versions(sys.Db().port(), "LOG_SWITCH_STATE");
    const pid_t pids[3] = {sys.Agent()->pid(), sys.Db().pid(), sys.Emulator()->pid()};
    double cpu[3];
    for (int i = 0; i < 3; ++i)
        cpu[i] = ozy::bench::ProcessCpuMs(pids[i]);
    auto tCall = Clock::now();
    // The agent's time starts when the emulator's first message goes out: the emulator makes
    // every VNI's entries and messages before it sends any (one request for all of them, learned
    // at once), work of its own that the reference, timed from its first write with its rows
    // made, does not count either.
    ozy::bench::Check(emu.Call("dpemu/vxlan-mac-learn-bulk",
                               {std::to_string(firstVni), std::to_string(per),
                                MacText(0x006000000000ull), "10.1.0.1", std::to_string(vnis)}),
                      "bulk learning");
    const json sent = emu.Json("dpemu/vxlan-summary")["session"]["reported_ms"];
    ozy::bench::Check(sent.is_number() && sent.get<double>() > 0,
                      "the emulator's time of its first learned message");
    const auto t0 = Clock::time_point(std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(sent.get<double>())));
    auto tLearned = Clock::now();
    // The rows' versions are watched every 5 ms; their MACs are counted once a state has held
    // for a quarter of a second (so that rows are not read again and again while they change),
    // and the time is that of the first look that saw the state found complete (its rows read
    // back in that very version).
    size_t have = 0;
    std::string seen;
    std::string counted;
    auto tSeen = Clock::now();
    auto tDone = tSeen;
    bool all = Await(
        [&] {
            const std::string now = versions.Of(ids);
            if (now != seen) {
                seen = now;
                tSeen = Clock::now();
                return false;
            }
            if (now.empty() || now == counted ||
                Clock::now() - tSeen < std::chrono::milliseconds(250))
                return false;
            counted = now;
            have = LearnedMacs(reader, ids);
            tDone = tSeen;
            return have == size_t(per) * vnis && versions.Of(ids) == now;
        },
        cap, std::chrono::milliseconds(5));
    // Up to the last look: the quarter of a second the final state is held adds little (nothing
    // changes then but the benchmark's own reads).
    for (int i = 0; i < 3; ++i)
        cpu[i] = ozy::bench::ProcessCpuMs(pids[i]) - cpu[i];
    reader.Stop();
    if (!all) {
        std::printf(
            "%s: %u MACs learned on %u VNI(s); cairndb's LOG_SWITCH_STATE holds %zu of "
            "them after the cap of %lld s\n",
            name, per * vnis, vnis, have, static_cast<long long>(cap.count()));
        return false;
    }
    double aloneCpu = 0;
    double alone = WriteRowsAlone(firstVni, vnis, per, io, &aloneCpu);
    std::printf(
        "%s: %u MACs learned on %u VNI(s) (made and sent by the emulator in %.0f ms, the first "
        "message out after %.0f ms); all in cairndb's LOG_SWITCH_STATE %.0f ms after the first "
        "message; the same %u row(s) written into a database alone by one client: %.0f ms; ratio "
        "%.2f; CPU: agent %.0f ms, database %.0f ms, emulator %.0f ms (the database alone %.0f "
        "ms)\n",
        name, per * vnis, vnis, Ms(tLearned - tCall), Ms(t0 - tCall), Ms(tDone - t0), vnis, alone,
        Ms(tDone - t0) / alone, cpu[0], cpu[1], cpu[2], aloneCpu);
    *ratio = Ms(tDone - t0) / alone;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "bfd") {
        const unsigned vnis = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 200;
        const unsigned remotes = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 50;
        const unsigned rounds = argc > 4 ? static_cast<unsigned>(std::atoi(argv[4])) : 3;
        if (vnis < 1 || vnis > 4096 || remotes < 1 || remotes > 250 || rounds < 1 || rounds > 100) {
            std::fprintf(stderr,
                         "usage: ozy-bench-l2app bfd [VNIS 1-4096] [REMOTES 1-250] "
                         "[ROUNDS 1-100]\n");
            return 2;
        }
        CfgAgent::test::UseOwnBinDir();
        CfgAgent::g_agentLogLevel = CfgAgent::kLogWarn;
        ozy::cairndb::library_log_level = CfgAgent::kLogWarn;
        setvbuf(stdout, nullptr, _IOLBF, 0);
        return ozy::bench::RunBfdBench(vnis, remotes, rounds);
    }
    const unsigned switches = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 100;
    const unsigned macs = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 1000;
    const unsigned learned = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 100000;
    const int capSeconds = argc > 4 ? std::atoi(argv[4]) : 600;
    const int rounds = argc > 5 ? std::atoi(argv[5]) : 3;
    if (switches < 1 || switches > 256 || macs < 1 || learned < switches || capSeconds < 1 ||
        rounds < 1 || rounds > kMaxRounds) {
        std::fprintf(stderr,
                     "usage: ozy-bench-l2app [SWITCHES 1-256] [MACS] [LEARNED] [CAP seconds] "
                     "[ROUNDS 1-%d]\n",
                     kMaxRounds);
        return 2;
    }
    const std::chrono::seconds cap(capSeconds);
    CfgAgent::test::UseOwnBinDir();
    CfgAgent::g_agentLogLevel = CfgAgent::kLogWarn;
    ozy::cairndb::library_log_level = CfgAgent::kLogWarn;
    setvbuf(stdout, nullptr, _IOLBF, 0);

    CfgAgent::test::AgentSystemOptions options;
    options.apps = {"vxlan"};
    options.agentLogLevel = 4;  // start-up is awaited on an info line; lowered below
    AgentSystem sys(options);
    if (!sys.Start()) {
        std::fprintf(stderr, "the system did not start\n");
        sys.DumpLogs();
        return 1;
    }
    ozy::bench::Check(sys.AgentCtl({"cfgagent/set/loglevel", "warn"}).status == 0,
                      "lower the agent's log level");
    Emu emu(sys.EmulatorSocket());
    ozy::bench::Check(
        Await([&] { return emu.Json("dpemu/vxlan-summary", {})["session"]["state"] == "synced"; },
              std::chrono::seconds(60), std::chrono::milliseconds(50)),
        "a synced VXLAN session");
    std::printf(
        "ozy-bench-l2app: %u switches, %u remote VTEPs and %u remote MACs each; %u "
        "learned MACs, %d round(s); at most %d s a case\n",
        switches, kVtepsPerSwitch, macs, learned, rounds, capSeconds);

    // 1. Remote state: one apply until the emulator holds every remote MAC.
    for (unsigned s = 0; s < switches; ++s) {
        ozy::bench::Check(emu.Call("dpemu/vxlan-join", {"1", std::to_string(kRemoteVniBase + s)}),
                          "join a remote VNI");
    }
    const std::string remote = RemoteJson(switches, macs);
    const std::string file = WriteFile(sys.Root(), "bench-remote.json", remote);
    auto t0 = Clock::now();
    auto apply = sys.Cairnctl({"apply", file});
    auto tApplied = Clock::now();
    ozy::bench::Check(apply.status == 0, "apply the remote state");
    json sum;
    const bool all = Await(
        [&] {
            sum = emu.Json("dpemu/vxlan-summary", {});
            return sum.is_object() && sum["remote_macs"] == size_t(switches) * macs;
        },
        cap, std::chrono::milliseconds(20));
    auto tRemote = Clock::now();
    if (!all) {
        std::printf("remote: not every remote MAC in the emulator after the cap of %d s: %s\n",
                    capSeconds, sum.dump().c_str());
        return 1;
    }
    double applyAlone = 0;
    {
        CfgAgent::test::TempDir dir("ozy-bench-l2apply");
        CfgAgent::test::CairndbServer db(dir.path());
        ozy::bench::Check(db.Start(), "a database alone");
        std::map<std::string, std::string> env = {{"OZY_CAIRNDB_ENDPOINT", db.Endpoint()}};
        const std::string alone = WriteFile(dir.path(), "remote.json", remote);
        auto a0 = Clock::now();
        auto r =
            CfgAgent::test::RunProgram(CfgAgent::test::BinPath("cairnctl"), {"apply", alone}, env);
        applyAlone = Ms(Clock::now() - a0);
        ozy::bench::Check(r.status == 0, "the apply into a database alone");
    }
    std::printf(
        "remote: %u switches with %u VTEPs and %u MACs each in one apply (%.0f ms); every remote "
        "MAC in the emulator after %.0f ms; the same apply into a database alone: %.0f ms; ratio "
        "%.2f; emulator errors %s\n",
        switches, kVtepsPerSwitch, macs, Ms(tApplied - t0), Ms(tRemote - t0), applyAlone,
        Ms(tRemote - t0) / applyAlone, sum["errors"].dump().c_str());

    // 2 and 3. Learned MACs until cairndb holds them; the one growing row last, so that a case
    // past its cap leaves no writes behind in the other's figures.
    // Each round learns on VNIs of its own (new switches, new rows); the ratios between runs on a
    // shared machine spread as much as a change, so the median of the rounds is given too.
    Io io;
    bool done = true;
    std::vector<double> many, one;
    for (int r = 0; r < rounds && done; ++r) {
        double ratio = 0;
        done = LearnedPhase(sys, emu, io, kManyVniBase + 256 * r, switches, learned, cap,
                            "learned on many VNIs", &ratio);
        many.push_back(ratio);
        done = done &&
               LearnedPhase(sys, emu, io, kOneVni + r, 1, learned, cap, "learned on 1 VNI", &ratio);
        one.push_back(ratio);
    }
    if (done) {
        std::printf("learned, the median of %d round(s): ratio %.2f on many VNIs, %.2f on 1 VNI\n",
                    rounds, ozy::bench::Median(many), ozy::bench::Median(one));
    }
    return sys.StopAgent() == 0 && done ? 0 : 1;
}
