// A SmartNIC host (persona 1) with two host switches backed by vdbs 2 and 3. One line per figure
// and the ratio.
//
//   ozy-bench-smartnic [N]   (default 10000)
// The full-sync fan-out: N ports on one logical switch on the host switches' transport zone, timed
// from the host agent's start until both vdbs hold every port, beside cairnctl applying the same
// 2 x (N + 1) objects straight into two vdbs in the same run.
//
//   ozy-bench-smartnic mux [BARRIERS] [VIFS]   (defaults 200 and 10000)
// The vdbs written as fake SmartNICs with cairnctl --vdb (no second agent), vdb 1 read by one
// `cairnctl watch`:
// - barrier acknowledgement: each of BARRIERS barriers is forwarded to vdbs 2 and 3 and realized
//   by vdb 2; then vdb 3's PROCESSED_BARRIER is applied, timed until the watch sees the host's
//   PROCESSED_BARRIER in vdb 1 (p50, p99), beside one cairnctl write of a PROCESSED_BARRIER
//   straight into vdb 1 until the same watch sees it, taken after each barrier;
// - runtime merge: VIFS VIF_STATE objects applied into vdb 2 as one transaction until the watch
//   has seen all of them in vdb 1, beside the same apply (other ids) straight into vdb 1.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/WatchLines.h"
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

// One object of `type` into `vdb`, as cairnctl apply reads it.
std::string One(unsigned vdb, const char* type, nlohmann::json object) {
    nlohmann::json doc;
    doc["vdb"] = vdb;
    doc[type] = nlohmann::json::array({std::move(object)});
    return doc.dump();
}

nlohmann::json Report(const std::string& id, unsigned vertical, unsigned barrier) {
    return {{"id", id}, {"vertical_id", vertical}, {"barrier_id", barrier}};
}

// The body of a watch line's update of `type` (null when the line is something else).
nlohmann::json UpdateBody(const std::string& line, const char* type) {
    nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_object() || !j.contains("update") || j["update"].value("type", "") != type ||
        !j["update"].contains("body"))
        return nullptr;
    return j["update"]["body"];
}

uint64_t Number(const nlohmann::json& v) {
    if (v.is_string())
        return std::strtoull(v.get<std::string>().c_str(), nullptr, 10);
    return v.is_number_unsigned() ? v.get<uint64_t>() : 0;
}

// Nearest rank.
double Percentile(std::vector<double> v, unsigned pct) {
    std::sort(v.begin(), v.end());
    size_t rank = (v.size() * pct + 99) / 100;
    return v[std::max<size_t>(rank, 1) - 1];
}

// Whether the agent's realization tracking shows `line` (a line of cfgagent/smartnic/rtf).
bool RtfShows(AgentSystem& sys, const std::string& line) {
    return Await(
        [&] {
            return sys.AgentCtl({"cfgagent/smartnic/rtf"}).output.find(line) != std::string::npos;
        },
        std::chrono::seconds(30));
}

constexpr unsigned kDfw = 1;     // the firewall vertical
constexpr unsigned kOther = 99;  // a vertical nobody realizes: the reference writes
const std::string kSmartNicReport = "00000000-0000-0000-0000-000000000001";

// Barrier acknowledgement through vdb 3's report, beside a write straight into vdb 1.
bool Barriers(AgentSystem& sys, ozy::bench::WatchLines& watch, unsigned count) {
    using Lines = ozy::bench::WatchLines;
    const std::string barrierId = Uuid(0x6d000000, 1);
    const std::string otherId = Uuid(0x9d000000, 1);
    std::vector<double> relayed, direct;
    size_t cursor = watch.Count();
    for (unsigned n = 1; n <= count; ++n) {
        if (!sys.Apply(One(1, "BARRIER", {{"id", barrierId}, {"barrier_id", n}})) ||
            !RtfShows(sys, "  barrierNum " + std::to_string(n) + ": vdbs 2 3\n") ||
            !sys.Apply(One(2, "PROCESSED_BARRIER", Report(kSmartNicReport, kDfw, n))) ||
            !RtfShows(sys, "  barrierNum " + std::to_string(n) + " VERTICAL_ID_DFW(1): vdbs 2\n")) {
            std::fprintf(stderr, "barrier %u did not reach the vdbs or vdb 2's report was lost\n",
                         n);
            return false;
        }
        auto seen = [&](unsigned vertical) {
            return [vertical, n](const std::string& line) {
                nlohmann::json body = UpdateBody(line, "PROCESSED_BARRIER");
                return body.is_object() && body.value("vertical_id", 0u) == vertical &&
                       Number(body["barrier_id"]) == n;
            };
        };
        Lines::Clock::time_point at;
        auto t0 = Clock::now();
        if (!sys.Apply(One(3, "PROCESSED_BARRIER", Report(kSmartNicReport, kDfw, n))) ||
            !watch.Await(&cursor, seen(kDfw), std::chrono::seconds(30), &at)) {
            std::fprintf(stderr, "barrier %u: no PROCESSED_BARRIER in vdb 1\n", n);
            return false;
        }
        relayed.push_back(Ms(at - t0));
        t0 = Clock::now();
        if (!sys.Apply(One(1, "PROCESSED_BARRIER", Report(otherId, kOther, n))) ||
            !watch.Await(&cursor, seen(kOther), std::chrono::seconds(30), &at)) {
            std::fprintf(stderr, "barrier %u: the write into vdb 1 was not seen\n", n);
            return false;
        }
        direct.push_back(Ms(at - t0));
    }
    const double p50 = Percentile(relayed, 50), p99 = Percentile(relayed, 99);
    const double d50 = Percentile(direct, 50), d99 = Percentile(direct, 99);
    std::printf(
        "barrier acknowledgement (%u barriers, vdb 3's report until vdb 1's seen): "
        "p50 %.1f ms, p99 %.1f ms\n",
        count, p50, p99);
    std::printf("cairnctl write into vdb 1 until seen: p50 %.1f ms, p99 %.1f ms\n", d50, d99);
    std::printf("ratio acknowledgement / write: p50 %.2f, p99 %.2f (target <= 3)\n", p50 / d50,
                p99 / d99);
    return true;
}

// `count` VIF_STATE objects with ids from `prefix` into `vdb`, as one document.
std::string VifStates(unsigned vdb, unsigned prefix, unsigned count) {
    nlohmann::json doc;
    doc["vdb"] = vdb;
    nlohmann::json list = nlohmann::json::array();
    for (unsigned i = 0; i < count; ++i) {
        list.push_back({{"id", Uuid(prefix, i)},
                        {"vif_id", Uuid(0x5c000000, i)},
                        {"status", 1},
                        {"mac", 0x020000000000ull + i}});
    }
    doc["VIF_STATE"] = list;
    return doc.dump();
}

// Milliseconds from the apply of `doc` until the watch has seen `count` VIF_STATE ids beginning
// with `prefix` (-1 when it does not).
double VifsSeen(AgentSystem& sys, ozy::bench::WatchLines& watch, size_t* cursor,
                const std::string& doc, unsigned prefix, unsigned count) {
    char head[10];
    std::snprintf(head, sizeof(head), "%08x", prefix);
    std::set<std::string> ids;
    auto all = [&](const std::string& line) {
        if (line.find(head) == std::string::npos)
            return false;
        nlohmann::json body = UpdateBody(line, "VIF_STATE");
        if (body.is_object() && body.value("id", "").rfind(head, 0) == 0)
            ids.insert(body.value("id", ""));
        return ids.size() == count;
    };
    ozy::bench::WatchLines::Clock::time_point at;
    const auto t0 = Clock::now();
    if (!sys.Apply(doc) || !watch.Await(cursor, all, std::chrono::seconds(600), &at)) {
        std::fprintf(stderr, "vdb 1 shows %zu of %u VIF_STATE\n", ids.size(), count);
        return -1;
    }
    return Ms(at - t0);
}

// Runtime merge: VIF_STATE applied into vdb 2 until vdb 1 holds all, beside the same straight
// into vdb 1.
bool Merge(AgentSystem& sys, ozy::bench::WatchLines& watch, unsigned count) {
    size_t cursor = watch.Count();
    // One object first: the merge into vdb 1 is open before the figure starts.
    if (VifsSeen(sys, watch, &cursor, VifStates(2, 0x5d000000, 1), 0x5d000000, 1) < 0)
        return false;
    const std::string intoVdb2 = VifStates(2, 0x5e000000, count);
    const std::string intoVdb1 = VifStates(1, 0x5f000000, count);
    const double merged = VifsSeen(sys, watch, &cursor, intoVdb2, 0x5e000000, count);
    const double direct = VifsSeen(sys, watch, &cursor, intoVdb1, 0x5f000000, count);
    if (merged < 0 || direct < 0)
        return false;
    std::printf("runtime merge: %u VIF_STATE applied into vdb 2 until seen in vdb 1: %.1f ms\n",
                count, merged);
    std::printf("the same apply straight into vdb 1 until seen: %.1f ms\n", direct);
    std::printf("ratio merge / direct: %.2f (target <= 2)\n", merged / direct);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool mux = argc > 1 && std::string(argv[1]) == "mux";
    auto arg = [&](int i, unsigned fallback) {
        return argc > i ? static_cast<unsigned>(std::strtoul(argv[i], nullptr, 10)) : fallback;
    };
    const unsigned ports = mux ? 1 : arg(1, 10000);
    const unsigned barriers = mux ? arg(2, 200) : 0;
    const unsigned vifs = mux ? arg(3, 10000) : 0;
    if (ports == 0 || ports > 100000 ||
        (mux && (barriers == 0 || barriers > 100000 || vifs == 0 || vifs > 100000))) {
        std::fprintf(stderr,
                     "usage: ozy-bench-smartnic [N]   (1..100000 ports)\n"
                     "       ozy-bench-smartnic mux [BARRIERS] [VIFS]   (1..100000 each)\n");
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
    std::printf("ozy-bench-smartnic: %u port(s) on one switch, two host switches on vdbs 2 and 3\n",
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
    if (mux) {
        // vdb 1 as one watch sees it, through a pipe (each line stamped as it arrives).
        ozy::bench::WatchLines watch(
            CfgAgent::test::BinPath("cairnctl"),
            {"--endpoint", sys.Endpoint(), "watch", "PROCESSED_BARRIER", "VIF_STATE"});
        size_t cursor = 0;
        ozy::bench::WatchLines::Clock::time_point at;
        const bool ok =
            watch.Await(
                &cursor,
                [](const std::string& line) { return line.find("\"up\"") != std::string::npos; },
                std::chrono::seconds(30), &at) &&
            Barriers(sys, watch, barriers) && Merge(sys, watch, vifs);
        if (!ok)
            sys.DumpLogs();
        sys.StopAgent();
        return ok ? 0 : 1;
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
