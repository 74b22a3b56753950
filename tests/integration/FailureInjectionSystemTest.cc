// Failures in the middle of realization: the demo's topology plus a few hundred more ports are
// applied, and while the agent is still programming them the emulator is killed (SIGKILL) and
// restarted, then ovsdb-server is killed and restarted around a further change. Once the dust
// settles the dataplane must hold exactly the desired ports with their switches' properties, and
// cairndb exactly one VIF state per connected VIF: nothing lost, nothing duplicated, no port the
// configuration no longer has.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/unixctl/UnixctlClient.h"
#include "tests/support/AgentSystem.h"
#include "tests/support/Await.h"
#include "tests/support/CairndbCluster.h"
#include "tests/support/TestEnv.h"

namespace CfgAgent {
namespace {

using json = nlohmann::json;

constexpr const char* kDvs = "dvs-1";
constexpr unsigned kExtraPorts = 400;

struct Port {
    std::string id;
    std::string switchId;
    std::string vifId;
    std::string mac;
};

struct Desired {
    std::map<std::string, unsigned> vniBySwitch;
    std::map<std::string, bool> switchUp;
    std::vector<Port> ports;  // attached ones, in order
    std::map<std::string, bool> portUp;
    // The child ports of the topology's container interfaces: they follow their parent VIFs (as
    // the configuration application's tests check) and are not looked at here.
    std::set<std::string> childPorts;
    // VIFs that left the hypervisor: their state stays, reported DISCONNECT.
    std::set<std::string> disconnectedVifs;
    // Ports deleted from the configuration: the dataplane may keep the port of a VIF that was
    // still attached when its logical port went away, but never forwarding.
    std::set<std::string> removedPorts;

    // The VNI of the port's switch when the port should be forwarding, else 0.
    unsigned ExpectedVni(const Port& p) const { return vniBySwitch.at(p.switchId); }
    bool ExpectedBlocked(const Port& p) const {
        return !switchUp.at(p.switchId) || !portUp.at(p.id);
    }
};

std::string Mac(unsigned i) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "02:00:00:%02x:%02x:%02x", (i >> 16) & 255, (i >> 8) & 255,
                  i & 255);
    return buf;
}

std::string ExtraId(unsigned kind, unsigned i) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08x-0000-4000-8000-%012x", kind, i);
    return buf;
}

// The demo's topology, as read from examples/.
json Topology() {
    std::ifstream in(test::SourceDir() + "/examples/topology.json");
    std::stringstream ss;
    ss << in.rdbuf();
    return json::parse(ss.str(), nullptr, false);
}

void Learn(const json& doc, Desired* d) {
    for (const json& s : doc.value("LOG_SWITCH_CONFIG", json::array())) {
        // Switches without a VNI (a container interfaces' child switch) carry no VM ports here.
        if (!s.contains("vni"))
            continue;
        d->vniBySwitch[s["id"]] = s.value("vni", 0u);
        d->switchUp[s["id"]] = s.value("admin_state_up", true);
    }
    for (const json& p : doc.value("LOG_SWITCH_PORT_CONFIG", json::array())) {
        d->portUp[p["id"]] = p.value("admin_state_up", true);
        // Container interfaces have no VIF of their own to connect (their child ports follow).
        if (p.contains("attachment") && p["attachment"].contains("parent_vif_id"))
            d->childPorts.insert(p["attachment"].value("dvport_id", ""));
        if (!p.contains("attachment") || !p["attachment"].contains("vif_id") ||
            p["attachment"].contains("parent_vif_id"))
            continue;
        bool known = false;
        for (const Port& have : d->ports)
            known |= have.id == p["id"];
        if (!known) {
            d->ports.push_back({p["id"], p["switch_id"], p["attachment"]["vif_id"],
                                Mac(static_cast<unsigned>(d->ports.size()) + 1)});
        }
    }
}

json PortObject(const std::string& id, const std::string& ls, const std::string& vif, bool up) {
    return {{"id", id},
            {"switch_id", ls},
            {"admin_state_up", up},
            {"attachment", {{"type", 1}, {"vif_id", vif}, {"dvport_id", id}}}};
}

// The emulator's control socket, spoken to in-process: hundreds of requests through ovs-appctl
// would spend the test's time starting processes.
class Emu {
  public:
    explicit Emu(std::string socket) : socket_(std::move(socket)) {}
    bool Call(const std::string& method, const std::vector<std::string>& args,
              std::string* out = nullptr) {
        if (!client_.connected() && client_.Connect(socket_) != 0)
            return false;
        ozy::unixctl::Reply reply;
        if (client_.Transact(method, args, &reply, 30000) != 0)
            return false;
        if (out != nullptr)
            *out = reply.text;
        return reply.success;
    }
    // Connects every VIF of `ports`; false if the emulator refused one.
    bool ConnectVifs(const std::vector<Port>& ports, size_t from = 0) {
        for (size_t i = from; i < ports.size(); ++i) {
            const Port& p = ports[i];
            if (!Call("dpemu/vif-connect", {p.vifId, p.id, kDvs, p.mac}))
                return false;
        }
        return true;
    }
    json Dump() {
        std::string text;
        if (!Call("dpemu/dump", {"kcp"}, &text))
            return nullptr;
        json j = json::parse(text, nullptr, false);
        return j.is_discarded() ? json(nullptr) : j;
    }
    void Reset() { client_.Close(); }

  private:
    std::string socket_;
    ozy::unixctl::Client client_;
};

// What is wrong with the emulator's port table against the desired state; empty when it matches.
std::string PortTableProblems(const json& kcp, const Desired& d) {
    if (kcp.is_null() || !kcp.contains("ports"))
        return "no dump";
    const json& ports = kcp["ports"];
    std::ostringstream out;
    std::set<std::string> want;
    for (const Port& p : d.ports) {
        want.insert(p.id);
        auto it = ports.find(p.id);
        if (it == ports.end()) {
            out << "missing " << p.id << "; ";
            continue;
        }
        const json& got = *it;
        const char* state = d.ExpectedBlocked(p) ? "BLOCK" : "UNBLOCK";
        json block = got.value("block", json::object());
        json vni = got.value("vni", json::object());
        json lsp = got.value("lsp_id", json::object());
        if (block.value("state", "") != state)
            out << p.id << " block " << block.dump() << " want " << state << "; ";
        if (vni.value("vni", 0u) != d.ExpectedVni(p))
            out << p.id << " vni " << vni.dump() << "; ";
        if (lsp.value("lsp_id", "") != p.id)
            out << p.id << " lsp_id " << lsp.dump() << "; ";
    }
    for (auto it = ports.begin(); it != ports.end(); ++it) {
        if (want.count(it.key()) != 0 || d.childPorts.count(it.key()) != 0)
            continue;
        json block = it->value("block", json::object());
        if (d.removedPorts.count(it.key()) == 0 || block.value("state", "") != "BLOCK")
            out << "unexpected port " << it.key() << " " << it->dump() << "; ";
    }
    std::string s = out.str();
    return s.size() > 2000 ? s.substr(0, 2000) + "..." : s;
}

// What is wrong with cairndb's VIF states; empty when there is exactly one per VIF, connected, on
// its port, and one reported disconnected for each VIF that left.
std::string VifStateProblems(test::AgentSystem& sys, const Desired& d) {
    json all = sys.Get("VIF_STATE");
    if (all.is_null())
        return "cairnctl get failed";
    std::map<std::string, std::vector<json>> byVif;
    for (const json& o : all.value("VIF_STATE", json::array()))
        byVif[o.value("vif_id", "")].push_back(o);
    std::ostringstream out;
    for (const Port& p : d.ports) {
        auto it = byVif.find(p.vifId);
        if (it == byVif.end()) {
            out << "no state for " << p.vifId << "; ";
            continue;
        }
        if (it->second.size() != 1)
            out << it->second.size() << " states for " << p.vifId << "; ";
        const json& s = it->second.front();
        if (s.value("status", 0) != 1 || s.value("port_id", "") != p.id)
            out << p.vifId << " " << s.dump() << "; ";
        byVif.erase(it);
    }
    for (const auto& [vif, states] : byVif) {
        if (d.disconnectedVifs.count(vif) == 0)
            out << "state of unknown VIF " << vif << "; ";
        else if (states.size() != 1 || states.front().value("status", 0) != 2)
            out << "disconnected VIF " << vif << " " << json(states).dump() << "; ";
    }
    std::string s = out.str();
    return s.size() > 2000 ? s.substr(0, 2000) + "..." : s;
}

// Awaits the dataplane's port table equal to the desired state; the differences left are reported
// when it does not settle.
bool AwaitPortsSettled(Emu& emu, const Desired& d) {
    std::string problems;
    bool ok = test::AwaitTrue(
        [&] {
            problems = PortTableProblems(emu.Dump(), d);
            return problems.empty();
        },
        std::chrono::seconds(90), std::chrono::milliseconds(250));
    EXPECT_TRUE(ok) << problems;
    return ok;
}

// Awaits exactly one VIF state per VIF in cairndb, as VifStateProblems checks it.
void AwaitVifStatesSettled(test::AgentSystem& sys, const Desired& d) {
    std::string problems;
    EXPECT_TRUE(test::AwaitTrue(
        [&] {
            problems = VifStateProblems(sys, d);
            return problems.empty();
        },
        std::chrono::seconds(90), std::chrono::milliseconds(250)))
        << problems;
}

TEST(FailureInjectionSystemTest, KilledEmulatorAndDatabaseMidRealizationEndComplete) {
    json topology = Topology();
    ASSERT_FALSE(topology.is_discarded()) << "examples/topology.json does not parse";
    Desired desired;
    Learn(topology, &desired);
    ASSERT_GE(desired.vniBySwitch.size(), 2u);
    ASSERT_GE(desired.ports.size(), 2u);

    // More ports on the topology's switches, so that realization takes a while.
    std::vector<std::string> switches;
    for (const auto& [id, vni] : desired.vniBySwitch)
        switches.push_back(id);
    json extra = {{"LOG_SWITCH_PORT_CONFIG", json::array()}};
    for (unsigned i = 0; i < kExtraPorts; ++i) {
        extra["LOG_SWITCH_PORT_CONFIG"].push_back(
            PortObject(ExtraId(0xb1, i), switches[i % switches.size()], ExtraId(0xc1, i), true));
    }
    Learn(extra, &desired);

    test::AgentSystemOptions options;
    options.agentLogLevel = 4;
    test::AgentSystem sys(options);
    ASSERT_TRUE(sys.Start());
    ASSERT_TRUE(sys.AwaitEmu("kcp", [](const json& d) {
        return d["session"]["state"] == "synced";
    })) << "the agent opens a KCP session";

    Emu emu(sys.EmulatorSocket());
    ASSERT_TRUE(sys.Apply(topology.dump()));
    ASSERT_TRUE(sys.Apply(extra.dump()));
    ASSERT_TRUE(emu.ConnectVifs(desired.ports));

    // 1. The emulator dies while the agent programs the ports, and comes back empty: its VIFs
    // connect again, as the hypervisor's would.
    sys.Emulator()->Signal(SIGKILL);
    sys.Emulator()->WaitExit();
    emu.Reset();
    size_t mark = sys.AgentLogSize();
    ASSERT_TRUE(sys.StartEmulator());
    ASSERT_TRUE(sys.AwaitEmu("kcp", [](const json& d) {
        return d["session"]["state"] == "synced";
    })) << "a new KCP session after the emulator restarts";
    ASSERT_TRUE(sys.AwaitAgentLog("ConfigApp: Start full sync with DP after DP connection is up",
                                  std::chrono::seconds(60), mark));
    ASSERT_TRUE(emu.ConnectVifs(desired.ports));

    // 2. A change commits and the database dies at once, before or while the agent hears of it:
    // the second switch goes down and one of its ports is deleted.
    const std::string downSwitch = switches[1];
    json change = {{"LOG_SWITCH_CONFIG", json::array()}};
    for (const json& s : topology["LOG_SWITCH_CONFIG"]) {
        if (s["id"] == downSwitch) {
            json down = s;
            down["admin_state_up"] = false;
            change["LOG_SWITCH_CONFIG"].push_back(down);
        }
    }
    ASSERT_TRUE(sys.Apply(change.dump()));
    desired.switchUp[downSwitch] = false;
    auto victim = std::find_if(desired.ports.begin(), desired.ports.end(),
                               [&](const Port& p) { return p.switchId == downSwitch; });
    ASSERT_NE(victim, desired.ports.end());
    ASSERT_EQ(sys.Cairnctl({"delete", "LOG_SWITCH_PORT_CONFIG", victim->id}).status, 0);
    std::string deletedVif = victim->vifId;
    desired.disconnectedVifs.insert(deletedVif);
    desired.removedPorts.insert(victim->id);
    desired.ports.erase(victim);
    sys.Db().Kill();
    mark = sys.AgentLogSize();
    ASSERT_TRUE(sys.Db().Start());
    ASSERT_TRUE(sys.AwaitAgentLog("ConfigApp: Start full sync with DP after sync with cairndb",
                                  std::chrono::seconds(90), mark));
    // The deleted port's VIF leaves the hypervisor too.
    ASSERT_TRUE(emu.Call("dpemu/vif-disconnect", {deletedVif}));

    // 3. Everything settles to exactly the desired state.
    AwaitPortsSettled(emu, desired);
    AwaitVifStatesSettled(sys, desired);
    json kcp = emu.Dump();
    EXPECT_TRUE(kcp.value("errors", json::array()).empty()) << kcp["errors"].dump();
    EXPECT_EQ(sys.StopAgent(), 0);
}

// The database as a three-member cluster. With the demo's topology realized, each step fails a
// member while a change goes through another one: the member the agent uses is killed and
// restarted, the leader is killed and restarted, the member the agent uses is frozen (the agent
// must leave it and realize the change without waiting for it to thaw; with the probe interval
// configured at 1 s it leaves it sooner than the default allows). After each step the dataplane
// holds exactly the desired state and cairndb one VIF state per VIF.
TEST(FailureInjectionSystemTest, ClusterMembersFailWhileChangesGoThroughTheOthers) {
    json topology = Topology();
    ASSERT_FALSE(topology.is_discarded()) << "examples/topology.json does not parse";
    Desired desired;
    Learn(topology, &desired);
    ASSERT_GE(desired.ports.size(), 1u);

    test::AgentSystemOptions options;
    options.agentLogLevel = 4;
    options.clusteredDb = true;
    options.cairndbProbeMs = 1000;
    test::AgentSystem sys(options);
    ASSERT_TRUE(sys.Start());
    test::CairndbCluster& cluster = *sys.Cluster();
    ASSERT_TRUE(sys.AwaitEmu("kcp", [](const json& d) {
        return d["session"]["state"] == "synced";
    })) << "the agent opens a KCP session";
    Emu emu(sys.EmulatorSocket());
    ASSERT_TRUE(sys.Apply(topology.dump()));
    ASSERT_TRUE(emu.ConnectVifs(desired.ports));

    auto memberInUse = [&] {
        int used = -1;
        test::AwaitTrue(
            [&] {
                json m = sys.AgentJson({"cfgagent/cairndb/member"});
                used = m.is_object() ? cluster.MemberOf(m.value("member", "")) : -1;
                return used >= 0;
            },
            std::chrono::seconds(60), std::chrono::milliseconds(100));
        return used;
    };
    auto dataplaneSettled = [&] { return AwaitPortsSettled(emu, desired); };
    auto vifStatesSettled = [&] { AwaitVifStatesSettled(sys, desired); };
    // The first port's admin state flips, applied through a member other than `avoid`.
    const Port& port = desired.ports.front();
    auto changeAvoiding = [&](int avoid) {
        int through = (avoid + 1) % test::CairndbCluster::kMembers;
        bool up = !desired.portUp[port.id];
        json change = {{"LOG_SWITCH_PORT_CONFIG",
                        json::array({PortObject(port.id, port.switchId, port.vifId, up)})}};
        std::string file = sys.Root() + "/change.json";
        std::ofstream(file) << change.dump();
        test::RunResult r =
            sys.Cairnctl({"--endpoint", cluster.member(through).Endpoint(), "apply", file});
        ASSERT_EQ(r.status, 0) << r.output;
        desired.portUp[port.id] = up;
    };
    ASSERT_TRUE(dataplaneSettled()) << "the topology is realized";
    vifStatesSettled();

    struct Step {
        const char* name;
        bool leader;  // the leader fails, else the member the agent uses
        bool freeze;  // frozen (and thawed at the end), else killed (and restarted)
    };
    for (const Step& step :
         {Step{"the member the agent uses killed, then restarted", false, false},
          Step{"the leader killed, then restarted", true, false},
          Step{"the member the agent uses frozen while the others take a change", false, true}}) {
        SCOPED_TRACE(step.name);
        int victim = step.leader ? cluster.Leader() : memberInUse();
        ASSERT_GE(victim, 0);
        if (step.freeze)
            cluster.member(victim).Freeze();
        else
            cluster.member(victim).Kill();
        changeAvoiding(victim);
        dataplaneSettled();
        if (step.freeze) {
            EXPECT_NE(memberInUse(), victim);
            // Left by the probe: silent for twice the configured second, where the default
            // interval would have waited at least 10 s.
            const std::string left = "lost the session with " + cluster.member(victim).Endpoint() +
                                     ": no message from the server for ";
            std::string out = sys.Agent()->Output();
            size_t at = out.rfind(left);
            ASSERT_NE(at, std::string::npos) << "the frozen member is left by the probe";
            long silentMs = std::strtol(out.c_str() + at + left.size(), nullptr, 10);
            EXPECT_GE(silentMs, 2000);
            EXPECT_LT(silentMs, 10000);
            cluster.member(victim).Thaw();
        } else {
            ASSERT_TRUE(cluster.Start());
        }
        vifStatesSettled();
    }
    json kcp = emu.Dump();
    EXPECT_TRUE(kcp.value("errors", json::array()).empty()) << kcp["errors"].dump();
    EXPECT_EQ(sys.StopAgent(), 0);
}

}  // namespace
}  // namespace CfgAgent
