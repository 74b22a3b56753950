// Distributed routing end to end with real processes: ovsdb-server (cairndb), ozy-dpemu and
// ozy-cfgagent with "config" and "vdrb" enabled. Routing objects go in with cairnctl; the
// dataplane's VDR tables are read, and its requests and DAD reports injected, through the
// emulator's control socket; what the agent writes back is read with cairnctl. One scenario,
// several named checks.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/AgentSystem.h"
#include "tests/support/Await.h"

namespace CfgAgent {
namespace {

using json = nlohmann::json;

// Identifiers: 5e.. switches, 5f.. routers, 60.. router ports, 61.. FIBs.
std::string Id(unsigned kind, unsigned n) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%02x000000-0000-4000-8000-%012x", kind, n);
    return buf;
}
const std::string kTz = Id(0x5c, 1), kDvs = Id(0x5d, 1);
std::string Ls(unsigned n) {
    return Id(0x5e, n);
}
std::string Lr(unsigned n) {
    return Id(0x5f, n);
}
std::string Lrp(unsigned n) {
    return Id(0x60, n);
}
constexpr const char* kVersion = "0c000000-0000-4000-8000-000000000001";

uint32_t V4(unsigned a, unsigned b, unsigned c, unsigned d) {
    return (a << 24) | (b << 16) | (c << 8) | d;
}
json Ip4(uint32_t v) {
    return {{"ipv4", v}};
}
// fd00:<n>::<last> in the text form cairnctl reads.
json Ip6(unsigned n, unsigned last) {
    char text[32];
    std::snprintf(text, sizeof text, "fd00:%x::%x", n, last);
    return text;
}
json Pfx(const json& ip, unsigned len) {
    return {{"address", ip}, {"prefix_length", len}};
}

json Port(unsigned n, unsigned lr, unsigned ls, json ips) {
    return {{"id", Lrp(n)},
            {"lr_uuid", Lr(lr)},
            {"logical_switch_id", Ls(ls)},
            {"type", 1},
            {"lif_name", "lif-" + std::to_string(n)},
            {"ip_addresses", ips}};
}

// Two routers (and one without a VDR ID), four ports on two switches, 20 routes (IPv4, IPv6, a
// blackhole), a prefix list on two LIFs, an ARP table, a multicast route, a bridge endpoint, the
// global settings and barrier 5.
json Topology() {
    json plRef = {{{"prefix_list_id", Id(0x62, 1)}, {"next_hop", Ip4(V4(10, 1, 1, 2))}}};
    json p1 = Port(1, 1, 1, {Pfx(Ip4(V4(10, 1, 1, 1)), 24)});
    p1["prefix_list_next_hops"] = plRef;
    json p3 = Port(3, 2, 1, {Pfx(Ip4(V4(10, 2, 1, 1)), 24)});
    p3["prefix_list_next_hops"] = plRef;
    json fibs = json::array();
    for (unsigned i = 0; i < 16; ++i) {
        fibs.push_back({{"id", Id(0x61, i)},
                        {"router_id", Lr(1)},
                        {"prefix", Pfx(Ip4(V4(172, 16, i, 0)), 24)},
                        {"next_hops", {{{"ip", Ip4(V4(10, 1, 1, 254))}, {"lrp_id", Lrp(1)}}}}});
    }
    for (unsigned i = 0; i < 2; ++i) {
        fibs.push_back({{"id", Id(0x61, 16 + i)},
                        {"router_id", Lr(1)},
                        {"prefix", Pfx(Ip6(0x100 + i, 0), 64)},
                        {"next_hops", {{{"ip", Ip6(1, 0xfe)}, {"lrp_id", Lrp(2)}}}}});
    }
    fibs.push_back({{"id", Id(0x61, 18)},
                    {"router_id", Lr(1)},
                    {"prefix", Pfx(Ip4(V4(192, 0, 2, 0)), 24)},
                    {"next_hops", {{{"blackhole", true}}}}});
    fibs.push_back({{"id", Id(0x61, 19)},
                    {"router_id", Lr(2)},
                    {"prefix", Pfx(Ip4(0), 0)},
                    {"next_hops", {{{"ip", Ip4(V4(10, 2, 1, 254))}, {"lrp_id", Lrp(3)}}}}});
    return {
        {"TRANSPORT_NODE_CONFIG",
         {{{"id", Id(0x5b, 1)},
           {"transport_switches",
            {{{"host_switch_id", kDvs}, {"name", "dvs-1"}, {"transport_zone_ids", {kTz}}}}}}}},
        {"LOG_SWITCH_CONFIG",
         {{{"id", Ls(1)}, {"vni", 5101}, {"transport_zone_id", kTz}},
          {{"id", Ls(2)}, {"vni", 5102}, {"transport_zone_id", kTz}}}},
        {"LOG_SWITCH_PORT_CONFIG",
         {{{"id", Id(0x63, 1)},
           {"switch_id", Ls(2)},
           {"bridge_endpoint", {{"endpoint_id", 42}, {"vlan", 100}, {"ha", true}}}}}},
        {"LOG_ROUTER_CONFIG",
         {{{"id", Lr(1)}, {"vdr_id", 2001}, {"name", "tier1-a"}, {"max_arp_entries", 4096}},
          {{"id", Lr(2)}, {"vdr_id", 2002}, {"name", "tier1-b"}},
          {{"id", Lr(3)}, {"name", "no-vdr-id"}}}},
        {"LOG_ROUTER_PORT_CONFIG",
         {p1, Port(2, 1, 2, {Pfx(Ip4(V4(10, 1, 2, 1)), 24), Pfx(Ip6(1, 1), 64)}), p3,
          Port(4, 2, 2, {Pfx(Ip4(V4(10, 2, 2, 1)), 24)})}},
        {"PREFIX_LIST",
         {{{"id", Id(0x62, 1)},
           {"index", 7},
           {"name", "pl-a"},
           {"entries", {{{"prefix", Pfx(Ip4(V4(10, 0, 0, 0)), 8)}, {"action", 1}}}}}}},
        {"FIB", fibs},
        {"ARP_TABLE_CONFIG",
         {{{"id", Id(0x64, 1)},
           {"router_port_id", Lrp(1)},
           {"entries",
            {{{"ip", Ip4(V4(10, 1, 1, 7))}, {"mac", "2199023255559"}},
             {{"ip", Ip4(V4(10, 1, 1, 8))}, {"mac", "2199023255560"}}}}}}},
        {"MULTICAST_STATIC_ROUTE",
         {{{"id", Id(0x65, 1)},
           {"lr_uuid", Lr(1)},
           {"group", Pfx(Ip4(V4(239, 1, 1, 1)), 32)},
           {"next_hops", {{{"ip", Ip4(V4(10, 1, 2, 9))}, {"lrp_id", Lrp(2)}}}}}}},
        {"GLOBAL_CONFIG", {{{"id", Id(0x66, 1)}, {"l3_mtu", 1500}, {"l3_forwarding_mode", 2}}}},
        {"BARRIER", {{{"id", Id(0x67, 1)}, {"barrier_id", 5}}}},
    };
}

// The emulator's tables hold exactly the topology's routing state.
bool RealizesTopology(const json& d) {
    if (!d.contains("vdrs") || d["vdrs"].size() != 2 || !d["vdrs"].contains("2001") ||
        !d["vdrs"].contains("2002"))
        return false;
    const json& a = d["vdrs"]["2001"];
    const json& b = d["vdrs"]["2002"];
    return a["lifs"].size() == 2 && a["routes"].size() == 19 && b["lifs"].size() == 2 &&
           b["routes"].size() == 1 && a["arp"].size() == 1 && a["mcast_routes"].size() == 1 &&
           d["global"]["prefix_lists"].size() == 1 && d["global"]["bridge_endpoints"].size() == 1 &&
           !d["global"]["settings"].is_null();
}

// The L3 vertical's PROCESSED_BARRIER in cairndb (null while there is none).
json L3Barrier(test::AgentSystem& sys) {
    json got = sys.Get("PROCESSED_BARRIER");
    if (got.contains("PROCESSED_BARRIER")) {
        for (const json& b : got["PROCESSED_BARRIER"]) {
            if (b.value("vertical_id", 0) == 3)
                return b;
        }
    }
    return nullptr;
}

std::string LineWith(const std::string& log, const std::string& text, size_t from) {
    size_t pos = log.find(text, from);
    if (pos == std::string::npos)
        return std::string();
    size_t begin = log.rfind('\n', pos);
    begin = begin == std::string::npos ? 0 : begin + 1;
    return log.substr(begin, log.find('\n', pos) - begin);
}

TEST(L3AppSystemTest, RoutingStateReachesTheDataplaneAndSurvivesItsRequests) {
    test::AgentSystemOptions options;
    options.apps = {"config", "vdrb"};
    test::AgentSystem sys(options);
    ASSERT_TRUE(sys.Start());
    ASSERT_TRUE(sys.AwaitEmu("vdr", [](const json& d) { return d["session"]["connected"]; }));
    ASSERT_TRUE(sys.Apply(Topology().dump()));
    auto fullSyncEnds = [&] { return sys.EmuDump("vdr")["session"]["full_sync_ends"].get<int>(); };

    {
        SCOPED_TRACE("the emulator's tables equal the desired state");
        ASSERT_TRUE(sys.AwaitEmu("vdr", RealizesTopology)) << sys.EmuDump("vdr").dump(1);
        json d = sys.EmuDump("vdr");
        EXPECT_TRUE(d["errors"].empty()) << d["errors"].dump();
        const json& a = d["vdrs"]["2001"];
        EXPECT_EQ(a["instance"]["name"], "tier1-a");
        EXPECT_EQ(a["arp_limit"]["limit"], 4096);
        EXPECT_EQ(a["lifs"]["lif-1"]["vni"], 5101);
        EXPECT_EQ(a["lifs"]["lif-1"]["prefix_lists"][0]["index"], 7);
        EXPECT_EQ(d["vdrs"]["2002"]["lifs"]["lif-3"]["prefix_lists"][0]["index"], 7);
        EXPECT_EQ(a["lifs"]["lif-2"]["ips"], json::array({"10.1.2.1/24", "fd00:1::1/64"}));
        EXPECT_EQ(a["routes"]["172.16.3.0/24"][0]["egress"], "lif-1");
        EXPECT_EQ(a["routes"]["fd00:101::/64"][0]["ip"], "fd00:1::fe");
        EXPECT_EQ(a["routes"]["192.0.2.0/24"][0]["type"], "blackhole");
        EXPECT_EQ(a["arp"][Id(0x64, 1)]["10.1.1.7"], "02:00:00:00:00:07");
        EXPECT_EQ(a["mcast_routes"]["239.1.1.1/32"][0]["egress"], "lif-2");
        EXPECT_EQ(d["global"]["bridge_endpoints"][Id(0x63, 1)]["vni"], 5102);
        EXPECT_EQ(d["global"]["settings"]["forwarding_mode"], 2);
        auto route = sys.EmuCtl({"dpemu/vdr-route", "2002", "0.0.0.0/0"});
        ASSERT_EQ(route.status, 0) << route.output;
        EXPECT_EQ(json::parse(route.output)["next_hops"][0]["ip"], "10.2.1.254");
    }
    {
        SCOPED_TRACE("the applied barrier is reported as the L3 vertical's processed barrier");
        json barrier;
        ASSERT_TRUE(test::AwaitTrue([&] {
            barrier = L3Barrier(sys);
            return !barrier.is_null() && barrier["barrier_id"] == "5";
        })) << sys.Get("PROCESSED_BARRIER").dump();
        EXPECT_EQ(barrier["id"], "00000000-0000-0000-0000-000000000003");
        // Gone from cairndb, it is written again by the next full sync below.
        ASSERT_EQ(sys.Cairnctl({"delete", "PROCESSED_BARRIER", barrier["id"]}).status, 0);
        ASSERT_TRUE(test::AwaitTrue([&] { return L3Barrier(sys).is_null(); }));
    }
    {
        SCOPED_TRACE("a link drop ends in a full sync without errors, then the barrier");
        const int before = fullSyncEnds();
        const size_t from = sys.AgentLogSize();
        ASSERT_EQ(sys.EmuCtl({"dpemu/link-drop", "vdr"}).status, 0);
        ASSERT_TRUE(sys.AwaitEmu("vdr", [&](const json& d) {
            return d["session"]["full_sync_ends"].get<int>() > before && RealizesTopology(d);
        }));
        EXPECT_TRUE(sys.EmuDump("vdr")["errors"].empty());
        ASSERT_TRUE(
            sys.AwaitAgentLog("L3App: send barrier version 5", std::chrono::seconds(60), from));
        std::string log = sys.Agent()->Output();
        EXPECT_LT(log.find("L3App: Send Full Sync End to dataplane", from),
                  log.find("L3App: send barrier version 5", from));
        json barrier;
        ASSERT_TRUE(test::AwaitTrue([&] {
            barrier = L3Barrier(sys);
            return !barrier.is_null();
        })) << sys.Get("PROCESSED_BARRIER").dump();
        EXPECT_EQ(barrier["barrier_id"], "5");
        std::string line = LineWith(log, "full sync vdr ID is not found for LR " + Lr(3), from);
        EXPECT_NE(line.find("errorCode=\"LCP00920\""), std::string::npos) << line;
    }
    {
        SCOPED_TRACE("an unknown router's request is refused and nothing is sent");
        const size_t from = sys.AgentLogSize();
        const int messages = sys.EmuDump("vdr")["stats"]["messages"].get<int>();
        ASSERT_EQ(sys.EmuCtl({"dpemu/vdr-fullsync-request", "4242"}).status, 0);
        ASSERT_TRUE(
            sys.AwaitAgentLog("LR UUID not found for vdr ID 4242", std::chrono::seconds(60), from));
        EXPECT_NE(LineWith(sys.Agent()->Output(), "LR UUID not found for vdr ID 4242", from)
                      .find("errorCode=\"LCP00029\""),
                  std::string::npos);
        // A known router's request then brings exactly that router's four messages (instance,
        // two LIFs, one route): none came from the unknown one.
        ASSERT_EQ(sys.EmuCtl({"dpemu/vdr-fullsync-request", "2002"}).status, 0);
        ASSERT_TRUE(sys.AwaitEmu("vdr", RealizesTopology));
        EXPECT_EQ(sys.EmuDump("vdr")["stats"]["messages"].get<int>(), messages + 4);
    }
    {
        SCOPED_TRACE("a truncated type 4 is dropped and the next request served");
        const size_t from = sys.AgentLogSize();
        const int before = fullSyncEnds();
        ASSERT_EQ(sys.EmuCtl({"dpemu/vdr-raw", "0004001400000003000000000000000000000001"}).status,
                  0);
        ASSERT_TRUE(sys.AwaitAgentLog("L3App: malformed vdrb msg", std::chrono::seconds(60), from));
        EXPECT_NE(LineWith(sys.Agent()->Output(), "malformed vdrb msg", from).find("LCP00901"),
                  std::string::npos);
        ASSERT_EQ(sys.EmuCtl({"dpemu/vdr-fullsync-request", "all"}).status, 0);
        ASSERT_TRUE(sys.AwaitEmu("vdr", [&](const json& d) {
            return d["session"]["full_sync_ends"].get<int>() > before && RealizesTopology(d);
        }));
    }
    {
        SCOPED_TRACE("a port before its switch appears only after the switch");
        const size_t from = sys.AgentLogSize();
        ASSERT_TRUE(sys.Apply(
            json({{"LOG_ROUTER_PORT_CONFIG", {Port(5, 2, 3, {Pfx(Ip4(V4(10, 2, 3, 1)), 24)})}}})
                .dump()));
        ASSERT_TRUE(sys.AwaitAgentLog("L3App: LS not found for add LRP " + Lrp(5),
                                      std::chrono::seconds(60), from));
        EXPECT_FALSE(sys.EmuDump("vdr")["vdrs"]["2002"]["lifs"].contains("lif-5"));
        ASSERT_TRUE(sys.Apply(json({{"LOG_SWITCH_CONFIG",
                                     {{{"id", Ls(3)}, {"vni", 5103}, {"transport_zone_id", kTz}}}}})
                                  .dump()));
        ASSERT_TRUE(sys.AwaitEmu(
            "vdr", [](const json& d) { return d["vdrs"]["2002"]["lifs"].contains("lif-5"); }));
        EXPECT_EQ(sys.EmuDump("vdr")["vdrs"]["2002"]["lifs"]["lif-5"]["vni"], 5103);
        EXPECT_TRUE(sys.EmuDump("vdr")["errors"].empty());
    }
    {
        SCOPED_TRACE("one DAD report, one write, no update back; the next full sync carries it");
        const size_t from = sys.AgentLogSize();
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(sys.EmuCtl({"dpemu/vdr-dad-report", "2001", "lif-1", kVersion, Ls(1),
                                  "10.1.1.1=DUPLICATED"})
                          .status,
                      0);
        }
        ASSERT_TRUE(test::AwaitTrue([&] {
            json got = sys.Get("LOG_ROUTER_PORT_FIB_DAD_STATE");
            return got.contains("LOG_ROUTER_PORT_FIB_DAD_STATE") &&
                   got["LOG_ROUTER_PORT_FIB_DAD_STATE"].size() == 1;
        }));
        json state = sys.Get("LOG_ROUTER_PORT_FIB_DAD_STATE")["LOG_ROUTER_PORT_FIB_DAD_STATE"][0];
        EXPECT_EQ(state["id"], Lrp(1));
        EXPECT_EQ(state["lif_name"], "lif-1");
        EXPECT_EQ(state["version"], kVersion);
        ASSERT_TRUE(sys.AwaitAgentLog("DAD state of LIF lif-1 is the dataplane's own report",
                                      std::chrono::seconds(60), from));
        std::string log = sys.Agent()->Output().substr(from);
        size_t writes = 0;
        for (size_t p = log.find("write DAD state of LIF lif-1"); p != std::string::npos;
             p = log.find("write DAD state of LIF lif-1", p + 1))
            ++writes;
        EXPECT_EQ(writes, 1u);
        EXPECT_TRUE(sys.EmuDump("vdr")["dad_updates"].empty());

        const int before = fullSyncEnds();
        ASSERT_EQ(sys.EmuCtl({"dpemu/vdr-fullsync-request", "all"}).status, 0);
        ASSERT_TRUE(sys.AwaitEmu("vdr", [&](const json& d) {
            return d["session"]["full_sync_ends"].get<int>() > before;
        }));
        json dad = sys.EmuDump("vdr")["dad_updates"];
        ASSERT_EQ(dad.size(), 1u);
        EXPECT_EQ(dad[0]["lif"], "lif-1");
        EXPECT_EQ(dad[0]["entries"]["10.1.1.1"], "DUPLICATED");
    }
    {
        SCOPED_TRACE("a report with every address removed deletes the object");
        ASSERT_EQ(sys.EmuCtl({"dpemu/vdr-dad-report", "2001", "lif-1", kVersion, Ls(1)}).status, 0);
        ASSERT_TRUE(test::AwaitTrue([&] {
            json got = sys.Get("LOG_ROUTER_PORT_FIB_DAD_STATE");
            return !got.is_null() && (!got.contains("LOG_ROUTER_PORT_FIB_DAD_STATE") ||
                                      got["LOG_ROUTER_PORT_FIB_DAD_STATE"].empty());
        }));
    }
    EXPECT_EQ(sys.StopAgent(), 0);
}

}  // namespace
}  // namespace CfgAgent
