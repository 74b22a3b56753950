// Container interfaces and the container bus's address pools, each figure beside a baseline run
// in the same process.
//
//   scripts/bench-cif.sh [CIFS] [HOSTS] [ALLOCS]   (defaults 1000, 100 and 10000; builds, then runs
//   build/bin/ozy-bench-cif CIFS HOSTS ALLOCS)
//
// Build in a release tree (no sanitizers). Phases:
//   1. Pools: ALLOCS VIFs become eligible (attached, connected, enabled) on a /16 pool that is
//      already full (each is queued) beside the same on an empty /16 pool (each gets a LIP): the IP
//      manager alone, in this thread's CPU time.
//   2. CIFs: with real processes (ovsdb-server, ozy-dpemu, ozy-cfgagent with "config"): HOSTS VM
//      ports with connected VIFs; then CIFS ordinary VM ports (their VIFs connected first) in one
//      `cairnctl apply` until the emulator holds them all unblocked, beside CIFS container
//      interfaces behind the HOSTS VIFs (CIFS / HOSTS each, one VLAN each) in one apply until the
//      emulator holds CIFS Container records.
// The agent runs with warnings only, so that the figures are of the work and not of its log.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "bench/BenchFigures.h"
#include "bench/EmuControl.h"
#include "conduit/IPManager.h"
#include "runtime/Logger.h"
#include "tests/support/AgentSystem.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestEnv.h"

namespace {

using CfgAgent::test::AgentSystem;
using ozy::bench::Clock;
using ozy::bench::Ms;
using json = nlohmann::json;
using ozy::Conduit::IPManager;
using ozy::Conduit::IPUpdate;

// ---- 1. pools -----------------------------------------------------------------------------

constexpr uint32_t kKrnnicIp = 0xa9fe0001;  // 169.254.0.1
constexpr uint32_t kMask16 = 0xffff0000;

// A manager with the /16 pool of host switch "hs-1".
void AddPool(IPManager& m) {
    IPUpdate k;
    k.vifId = "conduitKrnnic0";
    k.krnnicName = k.vifId;
    k.hostSwitchId = "hs-1";
    k.krnnicIp = kKrnnicIp;
    k.krnnicMask = kMask16;
    m.HandleMsgUpdate(ozy::Conduit::kUpdateVifState, k, true);
}

// VIFs "vif-<from>" to "vif-<from + count - 1>" made eligible; the CPU time it took.
double MakeEligible(IPManager& m, unsigned from, unsigned count) {
    IPUpdate u;
    u.hostSwitchId = "hs-1";
    double t0 = ozy::bench::ThreadMs();
    for (unsigned i = from; i < from + count; ++i) {
        u.vifId = "vif-" + std::to_string(i);
        m.HandleMsgUpdate(ozy::Conduit::kUpdateLspVifAttachment, u, true);
        m.HandleMsgUpdate(ozy::Conduit::kUpdateVifState, u, true);
        m.HandleMsgUpdate(ozy::Conduit::kUpdateConduitParentVif, u, true);
    }
    return ozy::bench::ThreadMs() - t0;
}

bool PoolsPhase(unsigned allocs) {
    uint32_t first = 0, last = 0;
    std::string why;
    IPManager::PoolRange(kKrnnicIp, kMask16, &first, &last, &why);
    const unsigned size = last - first + 1;

    IPManager full;
    AddPool(full);
    MakeEligible(full, 0, size);
    double fullMs = MakeEligible(full, size, allocs);
    IPManager::PoolInfo fullPool = full.Pools().at(0);

    IPManager empty;
    AddPool(empty);
    double emptyMs = MakeEligible(empty, 0, allocs);
    IPManager::PoolInfo emptyPool = empty.Pools().at(0);
    if (fullPool.used != size || fullPool.pending.size() != allocs || emptyPool.used != allocs) {
        std::fprintf(stderr, "pools: %zu used and %zu pending of a full pool, %zu used of one\n",
                     fullPool.used, fullPool.pending.size(), emptyPool.used);
        return false;
    }
    std::printf(
        "pools: %u VIFs made eligible on a full /16 pool (%u addresses, each VIF queued): %.1f ms "
        "CPU; the same on an empty /16 pool (each VIF given a LIP): %.1f ms; ratio %.2f\n",
        allocs, size, fullMs, emptyMs, fullMs / emptyMs);
    return true;
}

// ---- 2. CIFs ------------------------------------------------------------------------------

std::string Uuid(unsigned kind, unsigned i) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08x-0000-4000-8000-%012x", kind, i);
    return buf;
}
std::string Mac(unsigned i) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "02:00:%02x:%02x:%02x:%02x", (i >> 24) & 255, (i >> 16) & 255,
                  (i >> 8) & 255, i & 255);
    return buf;
}
const std::string kSwitch = Uuid(0xa0, 1);
const std::string kChildSwitch = Uuid(0xa0, 2);

// Host VM ports (kind 0xb0, VIF 0xc0) and ordinary VM ports (0xb1, 0xc1).
std::string VmPort(unsigned kind, unsigned i) {
    return R"({"id": ")" + Uuid(0xb0 + kind, i) + R"(", "switch_id": ")" + kSwitch +
           R"(", "admin_state_up": true, "attachment": {"type": 1, "vif_id": ")" +
           Uuid(0xc0 + kind, i) + R"(", "dvport_id": ")" + Uuid(0xb0 + kind, i) + R"("}})";
}

// CIF i behind host VIF i % hosts, on VLAN 1 + i / hosts, child port "<VM port>_<VLAN>".
std::string CifPort(unsigned i, unsigned hosts) {
    unsigned host = i % hosts, vlan = 1 + i / hosts;
    return R"({"id": ")" + Uuid(0xb2, i) + R"(", "switch_id": ")" + kChildSwitch +
           R"(", "admin_state_up": true, "attachment": {"type": 1, "vif_id": ")" + Uuid(0xc2, i) +
           R"(", "dvport_id": ")" + Uuid(0xb0, host) + "_" + std::to_string(vlan) +
           R"(", "parent_vif_id": ")" + Uuid(0xc0, host) + R"(", "vlan": )" + std::to_string(vlan) +
           R"(}, "address_bindings": [{"mac": ")" + std::to_string(0x020000000000ull + i) +
           R"("}]})";
}

std::string PortsJson(unsigned n, const std::function<std::string(unsigned)>& port) {
    std::string s = R"({"LOG_SWITCH_PORT_CONFIG": [)";
    for (unsigned i = 0; i < n; ++i)
        s += (i != 0 ? ",\n" : "") + port(i);
    return s + "]}";
}

bool Await(const std::function<bool()>& pred, std::chrono::seconds timeout) {
    return ozy::bench::Await(pred, timeout, std::chrono::milliseconds(20));
}

class Emu : public ozy::bench::EmuControl {
  public:
    explicit Emu(const std::string& socket) : EmuControl(socket, false, 60000) {}
    size_t Count(const char* what) {
        json j = Json("dpemu/kcp-summary");
        return j.is_object() ? j.value(what, size_t{0}) : 0;
    }
};

// One apply of `text` (written under the host root), then `done` awaited; the milliseconds from
// the apply's start, or a negative value on failure.
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
    if (!Await(done, std::chrono::seconds(900)))
        return -1;
    return Ms(Clock::now() - t0);
}

bool CifPhase(unsigned cifs, unsigned hosts) {
    CfgAgent::test::AgentSystemOptions options;
    options.agentLogLevel = 4;  // start-up is awaited on an info line; lowered below
    AgentSystem sys(options);
    if (!sys.Start()) {
        std::fprintf(stderr, "the system did not start\n");
        sys.DumpLogs();
        return false;
    }
    if (sys.AgentCtl({"cfgagent/set/loglevel", "warn"}).status != 0)
        return false;
    Emu emu(sys.EmulatorSocket());
    if (!Await([&] { return emu.Json("dpemu/dump", {"kcp"})["session"]["state"] == "synced"; },
               std::chrono::seconds(60)))
        return false;
    std::string switches = R"({"LOG_SWITCH_CONFIG": [{"id": ")" + kSwitch +
                           R"(", "vni": 5001, "admin_state_up": true}, {"id": ")" + kChildSwitch +
                           R"(", "vni": 5002, "admin_state_up": true, "attachment": [)" +
                           R"({"attachment_id": ")" + kSwitch + R"(", "vlan": 10}]}]})";
    if (!sys.Apply(switches))
        return false;
    // The host VM ports with their VIFs, then the ordinary ports' VIFs.
    for (unsigned i = 0; i < hosts; ++i) {
        if (!emu.Call("dpemu/vif-connect", {Uuid(0xc0, i), Uuid(0xb0, i), "dvs-1", Mac(i)}))
            return false;
    }
    double hostsMs =
        ApplyUntil(sys, "hosts.json", PortsJson(hosts, [](unsigned i) { return VmPort(0, i); }),
                   [&] { return emu.Count("unblocked") == hosts; });
    if (hostsMs < 0)
        return false;
    for (unsigned i = 0; i < cifs; ++i) {
        if (!emu.Call("dpemu/vif-connect",
                      {Uuid(0xc1, i), Uuid(0xb1, i), "dvs-1", Mac(0x10000 + i)}))
            return false;
    }
    double portsMs =
        ApplyUntil(sys, "ports.json", PortsJson(cifs, [](unsigned i) { return VmPort(1, i); }),
                   [&] { return emu.Count("unblocked") == hosts + cifs; });
    double cifsMs =
        portsMs < 0 ? -1
                    : ApplyUntil(sys, "cifs.json",
                                 PortsJson(cifs, [hosts](unsigned i) { return CifPort(i, hosts); }),
                                 [&] { return emu.Count("containers") == cifs; });
    if (cifsMs < 0) {
        std::fprintf(stderr, "the emulator holds %zu ports unblocked and %zu containers\n",
                     emu.Count("unblocked"), emu.Count("containers"));
        return false;
    }
    std::printf(
        "CIFs: %u container interfaces behind %u connected VM VIFs in one apply until the "
        "emulator holds %u Container records: %.0f ms; %u ordinary VM ports (VIFs connected) in "
        "one apply until the emulator holds them unblocked: %.0f ms; ratio %.2f\n",
        cifs, hosts, cifs, cifsMs, cifs, portsMs, cifsMs / portsMs);
    return sys.StopAgent() == 0;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned cifs = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 1000;
    unsigned hosts = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 100;
    unsigned allocs = argc > 3 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)) : 10000;
    if (hosts < 1 || cifs < hosts || cifs / hosts >= 4094 || allocs < 1 || allocs > 65526) {
        std::fprintf(stderr,
                     "usage: ozy-bench-cif [CIFS] [HOSTS] [ALLOCS]: HOSTS at least 1, CIFS at "
                     "least HOSTS and under 4094 per host, ALLOCS 1..65526\n");
        return 2;
    }
    CfgAgent::test::UseOwnBinDir();
    CfgAgent::g_agentLogLevel = CfgAgent::kLogWarn;
    CfgAgent::g_conduitLogLevel = CfgAgent::kLogWarn;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("ozy-bench-cif: %u CIFs behind %u VM VIFs, %u VIFs on the pools\n", cifs, hosts,
                allocs);
    if (!PoolsPhase(allocs))
        return 1;
    return CifPhase(cifs, hosts) ? 0 : 1;
}
