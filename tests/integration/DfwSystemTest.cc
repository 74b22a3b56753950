// The firewall end to end with real processes: sections, rules, containers and group relations
// applied with cairnctl reach the emulator's filters (created with dpemu/filter-create), whose
// evaluator gives the packets' verdicts; rule and group changes follow; injected device failures
// and a rule that cannot be converted show in RUNTIME_STATUS with their codes while the other
// filters keep theirs; PROCESSED_BARRIER follows the barrier; a vif excluded by a span-only batch
// is bypassed (and the running VMs revalidated); a VIF connected with its filter gets the rules and
// the MAC of its VIF_STATE; an IP-reputation chunk listing a source turns a malicious group's rule
// on for it, and the address leaving the chunk turns it back; an emulator restart with its filters
// re-created gets everything back; a section deleted while the agent is down takes only its own
// address set with it after the restart. Service insertion beside it: policies, chains and paths
// fill the emulator's chain and NSH tables, a hop's new MAC replaces its NSH entry, deleting every
// path takes the chain's entry, and the service-insertion status drives the alarm. The load
// balancer beside them: its objects reach the device's tables, a refused update is followed by a
// full one, and a database restart sends one full update without duplicates. A time-based section
// applies at once with skip_ntp_check; the agent restarted with the check on is held back (with the
// reason in RUNTIME_STATUS) while the host's NTP check script says the service is not up, and
// applies after a restart once it says it is. An agent restart with nothing changed applies to
// every filter and changes none. All in one scenario: one start of the processes.
// Rule counts crossing a vNIC's maximum raise and clear its alarms once per change; flood and
// migration failures of a filter raise theirs, and the filter's deletion takes them away.
// The ports' flood, timeout, DNS and filter configuration profiles, then per-port metrics (the
// transport node from the configuration, each port's rule count on dfw/lspMetrics once its rules
// apply, the Prometheus page judged by the Prometheus client library's parser with each port's
// labelled series, and a deleted filter's series gone from both): a second scenario.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/cairndb/Base64.h"
#include "tests/support/AgentSystem.h"
#include "tests/support/Await.h"
#include "tests/support/PromParse.h"

namespace CfgAgent {
namespace {

using json = nlohmann::json;

std::string Id(unsigned kind, unsigned n) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%02x000000-0000-4000-8000-%012x", kind, n);
    return buf;
}
// d1 sections, d2 containers, d3 rules, d4 relations, d5 ports.
const std::string kSection = Id(0xd1, 1);
const std::string kSources = Id(0xd2, 1), kWebGroup = Id(0xd2, 2);
const std::string kLsp1 = Id(0xd5, 1), kLsp2 = Id(0xd5, 2);

json Ip4(const char* dotted) {
    unsigned a, b, c, d;
    std::sscanf(dotted, "%u.%u.%u.%u", &a, &b, &c, &d);
    return {{"ip", {{"ipv4", (a << 24) | (b << 16) | (c << 8) | d}}}};
}

json Rule(unsigned n, unsigned ruleId, unsigned action, unsigned port, unsigned priority) {
    return {{"id", Id(0xd3, n)},
            {"rule_id", ruleId},
            {"section_id", kSection},
            {"direction", 2},
            {"action", action},
            {"priority", priority},
            {"type", 0},
            {"services", {{{"ip_protocol", 6}, {"destination_ports", {{{"start", port}}}}}}}};
}

// A firewall section of the given priority.
json Section(const std::string& id, unsigned priority) {
    return {{"id", id},
            {"priority", priority},
            {"version", 1},
            {"component_name", "orvane-sfw"},
            {"kind", 1}};
}

json Sources(std::vector<const char*> ips) {
    json list = json::array();
    for (const char* ip : ips)
        list.push_back(Ip4(ip));
    return {{"CONTAINER", {{{"id", kSources}, {"name", "sources"}, {"ip_addresses", list}}}}};
}

// An IP-reputation chunk listing the given hosts (threat 3, reputation 90, bucket 1), its
// 16-byte entries in base64 as the database's JSON holds bytes.
json ChunkJson(const std::string& id, unsigned chunkId, std::vector<const char*> ips) {
    std::string raw;
    auto be = [&](uint32_t v, int bytes) {
        for (int i = bytes - 1; i >= 0; --i)
            raw.push_back(static_cast<char>(v >> (8 * i)));
    };
    for (const char* ip : ips) {
        be(Ip4(ip)["ip"]["ipv4"].get<uint32_t>(), 4);
        be(0xFFFFFFFF, 4);
        be(3, 2);
        be(90, 2);
        be(1, 4);
    }
    return {{"id", id},
            {"chunk_id", chunkId},
            {"bucket", 1},
            {"entries", ozy::cairndb::Base64Encode(raw)}};
}

// The topology: one section; rule 1 drops ssh from the sources group, rule 2 drops port 80 on
// the web group's ports only, rules 3 and 4 allow 443 from the sources and drop it otherwise.
json Topology(unsigned barrier) {
    json rule1 = Rule(1, 1, 1, 22, 1);
    rule1["source"] = {{"container_ids", {kSources}}};
    json rule2 = Rule(2, 2, 1, 80, 2);
    rule2["applied_to"] = {{"container_ids", {kWebGroup}}};
    json rule3 = Rule(3, 3, 0, 443, 3);
    rule3["source"] = {{"container_ids", {kSources}}};
    json rule4 = Rule(4, 4, 1, 443, 4);
    json doc = Sources({"10.0.0.1"});
    doc["CONTAINER"].push_back({{"id", kWebGroup}, {"name", "web"}});
    doc["RULE_SECTION"] = {Section(kSection, 10)};
    doc["ENTITY_GROUP_RELATION"] = {
        {{"id", Id(0xd4, 1)},
         {"container_logical_switch_port",
          {{{"container_id", kWebGroup}, {"logical_switch_port_ids", {kLsp1}}}}}}};
    doc["RULE"] = {rule1, rule2, rule3, rule4};
    doc["BARRIER"] = {{{"id", Id(0xd6, 1)}, {"barrier_id", barrier}}};
    return doc;
}

// e1 redirection policies, e2 service chains, e3 service paths. Path n: forward hop SPI 1000 + n,
// reverse hop SPI 2000 + n, service index 255, the given forward MAC.
json SiPath(unsigned n, uint64_t fwdMac) {
    auto direction = [n](unsigned spi, uint64_t mac) {
        return json{{"hops", {{{"mac", mac}, {"spi", spi + n}, {"si", 255}}}},
                    {"host_local_count", 1},
                    {"host_cross_count", 0}};
    };
    return {{"id", Id(0xe3, n)},
            {"service_path_id", n},
            {"service_chain_id", 5},
            {"forward", direction(1000, fwdMac)},
            {"reverse", direction(2000, 0x020000100000 + n)}};
}

json SiAlarm(const json& alarms) {
    for (const json& a : alarms["alarms"]) {
        if (a["source"] == "cfgAgent_si")
            return a;
    }
    return nullptr;
}

// A time-based section (rule 50 allows 8080 from 09:00 to 17:00 UTC) beside a plain one (rule 51
// drops 8081), both applied to the time group, whose only port is port 4.
const std::string kTimeGroup = Id(0xd2, 4), kLsp4 = Id(0xd5, 4);
json TimeTopology() {
    const std::string profile = Id(0xda, 1);
    json rule50 = Rule(50, 50, 0, 8080, 1);
    rule50["section_id"] = Id(0xd1, 5);
    rule50["time_profile_id"] = profile;
    json rule51 = Rule(51, 51, 1, 8081, 1);
    rule51["section_id"] = Id(0xd1, 6);
    for (json* r : {&rule50, &rule51})
        (*r)["applied_to"] = {{"container_ids", {kTimeGroup}}};
    json doc;
    doc["CONTAINER"] = {{{"id", kTimeGroup}, {"name", "timed"}}};
    doc["ENTITY_GROUP_RELATION"] = {
        {{"id", Id(0xd4, 2)},
         {"container_logical_switch_port",
          {{{"container_id", kTimeGroup}, {"logical_switch_port_ids", {kLsp4}}}}}}};
    doc["CONTEXT_PROFILE"] = {{{"id", profile},
                               {"name", "work-hours"},
                               {"attributes",
                                {{{"key", "TIME_OF_DAY"}, {"values", {"09:00,17:00"}}},
                                 {{"key", "TIME_ZONE"}, {"values", {"UTC"}}}}}}};
    doc["RULE_SECTION"] = {Section(Id(0xd1, 5), 30), Section(Id(0xd1, 6), 40)};
    doc["RULE_SECTION"][0]["time_based"] = true;
    doc["RULE"] = {rule50, rule51};
    return doc;
}

// Rules 100 + [first, last] of the first section on the web group's port (each drops its own
// port).
json WebRules(unsigned first, unsigned last) {
    json doc;
    doc["RULE"] = json::array();
    for (unsigned n = first; n <= last; ++n) {
        json r = Rule(100 + n, 100 + n, 1, 1000 + n, 10 + n);
        r["applied_to"] = {{"container_ids", {kWebGroup}}};
        doc["RULE"].push_back(r);
    }
    return doc;
}

class DfwSystemTest : public ::testing::Test {
  protected:
    DfwSystemTest() : sys_(Options()) {}

    static test::AgentSystemOptions Options() {
        test::AgentSystemOptions o;
        o.apps = {"config", "dfw", "si"};
        return o;
    }

    // "VERDICT RULE" of a packet on a filter ("DEFAULT" without a rule).
    std::string Verdict(const std::string& filter, const std::string& packet) {
        std::vector<std::string> args{"dpemu/tarp-eval", filter};
        size_t start = 0;
        while (start <= packet.size()) {
            size_t end = packet.find(' ', start);
            if (end == std::string::npos)
                end = packet.size();
            args.push_back(packet.substr(start, end - start));
            start = end + 1;
        }
        test::RunResult r = sys_.EmuCtl(args);
        if (r.status != 0)
            return "error: " + r.output;
        json j = json::parse(r.output, nullptr, false);
        if (j.is_discarded())
            return "unparsable: " + r.output;
        std::string v = j.value("verdict", "");
        if (!j["rule"].is_null())
            v += " " + std::to_string(j["rule"].get<int>());
        return v;
    }
    bool AwaitVerdict(const std::string& filter, const std::string& packet,
                      const std::string& want) {
        return test::AwaitTrue([&] { return Verdict(filter, packet) == want; });
    }

    // The firewall's realization errors as "CODE" texts, in order; null while there is no
    // RUNTIME_STATUS.
    json Status() {
        json got = sys_.Get("RUNTIME_STATUS");
        if (!got.contains("RUNTIME_STATUS"))
            return nullptr;
        for (const json& s : got["RUNTIME_STATUS"]) {
            if (s.value("component_id", 0) == 1)
                return s;
        }
        return nullptr;
    }
    std::vector<int> StatusCodes() {
        std::vector<int> codes;
        json s = Status();
        if (s.is_null() || !s.contains("errors"))
            return codes;
        for (const json& e : s["errors"])
            codes.push_back(e.value("error_code", 0));
        return codes;
    }
    bool AwaitCodes(const std::vector<int>& want) {
        return test::AwaitTrue([&] { return StatusCodes() == want; });
    }
    std::string Barrier() {
        json got = sys_.Get("PROCESSED_BARRIER");
        if (got.contains("PROCESSED_BARRIER")) {
            for (const json& b : got["PROCESSED_BARRIER"]) {
                if (b.value("vertical_id", 0) == 1)
                    return b.value("barrier_id", "");
            }
        }
        return "";
    }

    test::AgentSystem sys_;
};

TEST_F(DfwSystemTest, RulesReachTheFiltersAndFollowEveryChange) {
    ASSERT_TRUE(sys_.Start());
    ASSERT_EQ(sys_.EmuCtl({"dpemu/filter-create", "f1", "vif-1", kLsp1}).status, 0);
    ASSERT_EQ(sys_.EmuCtl({"dpemu/filter-create", "f2", "vif-2", kLsp2}).status, 0);
    ASSERT_TRUE(sys_.Apply(Topology(7).dump()));
    const std::string ssh = "in tcp 10.0.0.1:1000 10.9.9.9:22";
    const std::string web = "in tcp 10.0.0.5:1000 10.9.9.9:80";
    const std::string tls2 = "in tcp 10.0.0.2:1000 10.9.9.9:443";
    const std::string tls3 = "in tcp 10.0.0.3:1000 10.9.9.9:443";
    {
        SCOPED_TRACE("every filter gets its rules; the group-scoped rule only its ports");
        ASSERT_TRUE(AwaitVerdict("f1", ssh, "DROP 1"));
        ASSERT_TRUE(AwaitVerdict("f2", ssh, "DROP 1"));
        EXPECT_EQ(Verdict("f1", web), "DROP 2");
        EXPECT_EQ(Verdict("f2", web), "DEFAULT");
        EXPECT_EQ(Verdict("f1", tls2), "DROP 4");
        EXPECT_TRUE(test::AwaitTrue([&] { return Barrier() == "7"; })) << Barrier();
        EXPECT_TRUE(StatusCodes().empty());
    }
    {
        SCOPED_TRACE("service insertion: chains and NSH entries, a hop MAC changed, paths gone");
        json doc;
        doc["SI_REDIRECTION_POLICY"] = {{{"id", Id(0xe1, 1)},
                                         {"policy_id", 1},
                                         {"transport_type", 1},
                                         {"failure_policy", 2},
                                         {"service_chain_id", 5}}};
        doc["SI_SERVICE_CHAIN"] = {
            {{"id", Id(0xe2, 1)}, {"service_chain_id", 5}, {"path_selection_policy", 1}}};
        doc["SI_SERVICE_PATH"] =
            json::array({SiPath(1, 0x020000000001), SiPath(2, 0x020000000002)});
        ASSERT_TRUE(sys_.Apply(doc.dump()));
        const std::string chain = Id(0xe2, 1);
        ASSERT_TRUE(sys_.AwaitEmu("si", [&](const json& d) {
            return d["chains"].contains(chain) && d["chains"][chain]["slots"].size() == 6 &&
                   d["nsh"].size() == 4;
        })) << sys_.EmuDump("si").dump();
        EXPECT_EQ(sys_.EmuDump("si")["nsh"]["1001/255"], "02:00:00:00:00:01");
        json selected = sys_.AgentJson({"si/get-selected-service-paths", "5"});
        EXPECT_EQ(selected["si_selected_service_paths"]["num_paths"], 2) << selected.dump();

        // The same path with its forward hop's MAC changed (a modify of its row).
        json modified;
        modified["SI_SERVICE_PATH"] = json::array({SiPath(1, 0x0200000000aa)});
        ASSERT_TRUE(sys_.Apply(modified.dump()));
        EXPECT_TRUE(sys_.AwaitEmu("si", [](const json& d) {
            return d["nsh"]["1001/255"] == "02:00:00:00:00:aa" && d["nsh"].size() == 4;
        })) << sys_.EmuDump("si").dump();

        for (unsigned n : {1u, 2u})
            ASSERT_EQ(sys_.Cairnctl({"delete", "SI_SERVICE_PATH", Id(0xe3, n)}).status, 0);
        EXPECT_TRUE(sys_.AwaitEmu("si", [](const json& d) {
            return d["chains"].empty() && d["nsh"].empty();
        })) << sys_.EmuDump("si").dump();
        EXPECT_EQ(sys_.AgentCtl({"si/get-ordered-service-paths", "all"}).status, 0);
    }
    {
        SCOPED_TRACE("service insertion down raises the alarm, up clears it");
        ASSERT_EQ(sys_.EmuCtl({"dpemu/si-status", "down"}).status, 0);
        ASSERT_TRUE(test::AwaitTrue(
            [&] { return !SiAlarm(sys_.AgentJson({"cfgagent/alarms"})).is_null(); }));
        json alarm = SiAlarm(sys_.AgentJson({"cfgagent/alarms"}));
        EXPECT_TRUE(alarm["context"].contains("transport_node_id")) << alarm.dump();
        EXPECT_EQ(alarm["context"]["failure_reason"],
                  "Traffic failed to redirect to service due to service insertion infra down");
        ASSERT_EQ(sys_.EmuCtl({"dpemu/si-status", "up"}).status, 0);
        EXPECT_TRUE(test::AwaitTrue(
            [&] { return SiAlarm(sys_.AgentJson({"cfgagent/alarms"})).is_null(); }));
    }
    {
        SCOPED_TRACE("load balancer: every object in the device, a refused update, a restart");
        // b1 LB service, b2 application profile, b3 persistence profile, b4 pool, b5 server;
        // group d2:9 holds the VIF port d5:9.
        const std::string lbs = Id(0xb1, 1), app = Id(0xb2, 1), persist = Id(0xb3, 1);
        const std::string pool = Id(0xb4, 1), vs = Id(0xb5, 1);
        const std::string group = Id(0xd2, 9), lsp = Id(0xd5, 9);
        auto poolDoc = [&](unsigned weight) {
            return json{
                {"id", pool},
                {"lbs_ids", {lbs}},
                {"members",
                 {{{"ip_address", Ip4("10.1.0.1")["ip"]}, {"port", 8080}, {"weight", weight}}}},
                {"member_group",
                 {{"container_id", kSources}, {"ip_revision_filter", 1}, {"port", 8443}}}};
        };
        auto vsDoc = [&](unsigned port) {
            return json{{"id", vs},         {"lbs_id", lbs},
                        {"ip_protocol", 6}, {"ip_address", Ip4("10.9.9.9")["ip"]},
                        {"port", port},     {"application_profile_id", app},
                        {"pool_id", pool},  {"persistence_profile_id", persist}};
        };
        // Every object, with these values, and nothing else.
        auto complete = [&](const json& d, unsigned weight, unsigned port) {
            const json members = {{{"address", "10.1.0.1"}, {"port", 8080}, {"weight", weight}},
                                  {{"address", "10.0.0.1"}, {"port", 8443}, {"weight", 1}}};
            return d["services"].size() == 1 && d["services"].contains(lbs) &&
                   d["services"][lbs]["lsps"] == json({lsp}) &&
                   d["services"][lbs]["name"] == "web-lb" && d["pools"].size() == 1 &&
                   d["pools"].contains(pool) && d["pools"][pool]["members"] == members &&
                   d["pools"][pool]["lbs"] == json({lbs}) && d["virtual_servers"].size() == 1 &&
                   d["virtual_servers"].contains(vs) && d["virtual_servers"][vs]["port"] == port &&
                   d["virtual_servers"][vs]["app_type"] == 3 &&
                   d["virtual_servers"][vs]["persistence"] == persist;
        };
        json doc;
        doc["LOG_SWITCH_PORT_CONFIG"] = {
            {{"id", lsp}, {"attachment", {{"type", 1}, {"vif_id", "vif-9"}}}}};
        doc["CONTAINER"] = {{{"id", group}, {"name", "lb-clients"}}};
        doc["ENTITY_GROUP_RELATION"] = {
            {{"id", Id(0xd4, 9)},
             {"container_logical_switch_port",
              {{{"container_id", group}, {"logical_switch_port_ids", {lsp}}}}}}};
        doc["LB_SERVICE"] = {{{"id", lbs},
                              {"display_name", "web-lb"},
                              {"creation_time", 1700000000000},
                              {"log_level", 2},
                              {"attachment_container_ids", {group}}}};
        doc["LB_APPLICATION_PROFILE"] = {{{"id", app}, {"type", 3}}};
        doc["LB_PERSISTENCE_PROFILE"] = {{{"id", persist}, {"type", 1}}};
        doc["LB_POOL"] = {poolDoc(3)};
        doc["LB_VIRTUAL_SERVER"] = {vsDoc(443)};
        ASSERT_TRUE(sys_.Apply(doc.dump()));
        ASSERT_TRUE(sys_.AwaitEmu("lb", [&](const json& d) { return complete(d, 3, 443); }))
            << sys_.EmuDump("lb").dump();

        // One refused update: LCP01803, then the next change brings a full and complete one.
        ASSERT_EQ(sys_.EmuCtl({"dpemu/lb-fail", "EIO"}).status, 0);
        const size_t from = sys_.AgentLogSize();
        json change;
        change["LB_VIRTUAL_SERVER"] = {vsDoc(8443)};
        ASSERT_TRUE(sys_.Apply(change.dump()));
        const std::string failed = "LB: Failed to update LB config: Input/output error";
        ASSERT_TRUE(sys_.AwaitAgentLog(failed, std::chrono::seconds(60), from));
        const std::string out = sys_.Agent()->Output();
        const size_t at = out.find(failed, from);
        const size_t begin = out.rfind('\n', at) + 1;  // npos + 1: the first line
        EXPECT_NE(out.substr(begin, at - begin).find("errorCode=\"LCP01803\""), std::string::npos)
            << out.substr(begin, at - begin);
        const json refused = sys_.EmuDump("lb");
        EXPECT_EQ(refused["virtual_servers"][vs]["port"], 443);
        json next;
        next["LB_POOL"] = {poolDoc(5)};
        ASSERT_TRUE(sys_.Apply(next.dump()));
        ASSERT_TRUE(sys_.AwaitEmu("lb", [&](const json& d) {
            return d["full_updates"] == refused["full_updates"].get<int>() + 1 &&
                   complete(d, 5, 8443);
        })) << sys_.EmuDump("lb").dump();
        EXPECT_EQ(sys_.EmuDump("lb")["full"], true);

        // The database restarts: one full update, no object twice; the next change a delta.
        const json running = sys_.EmuDump("lb");
        ASSERT_TRUE(sys_.Db().Restart());
        ASSERT_TRUE(sys_.AwaitEmu(
            "lb",
            [&](const json& d) {
                return d["full_updates"] == running["full_updates"].get<int>() + 1;
            },
            std::chrono::seconds(90)))
            << sys_.EmuDump("lb").dump();
        next["LB_POOL"] = {poolDoc(6)};
        ASSERT_TRUE(sys_.Apply(next.dump()));
        ASSERT_TRUE(sys_.AwaitEmu("lb", [&](const json& d) { return complete(d, 6, 8443); }))
            << sys_.EmuDump("lb").dump();
        const json after = sys_.EmuDump("lb");
        EXPECT_EQ(after["updates"], running["updates"].get<int>() + 2) << after.dump();
        EXPECT_EQ(after["full_updates"], running["full_updates"].get<int>() + 1);
        EXPECT_EQ(after["full"], false);
        EXPECT_EQ(after["duplicate_entries"], 0);
        EXPECT_EQ(after["rejected"], 0);

        // Every LB object deleted while the database is down: the full sync at its restart lists
        // none of them, and the load balancer clears the device with a full update of no entry.
        sys_.Db().Stop();
        std::string ops = "[\"cairndb\"";
        for (const char* table : {"LB_VIRTUAL_SERVER", "LB_POOL", "LB_SERVICE",
                                  "LB_APPLICATION_PROFILE", "LB_PERSISTENCE_PROFILE"})
            ops += std::string(R"(, {"op": "delete", "table": ")") + table + R"(", "where": []})";
        const test::RunResult offline = sys_.Db().TransactOffline(ops + "]");
        ASSERT_EQ(offline.status, 0) << offline.output;
        ASSERT_EQ(offline.output.find("error"), std::string::npos) << offline.output;
        ASSERT_TRUE(sys_.Db().Start());
        ASSERT_TRUE(sys_.AwaitEmu(
            "lb",
            [&](const json& d) {
                return d["full_updates"] == after["full_updates"].get<int>() + 1 &&
                       d["services"].empty() && d["pools"].empty() && d["virtual_servers"].empty();
            },
            std::chrono::seconds(90)))
            << sys_.EmuDump("lb").dump();
        EXPECT_EQ(sys_.EmuDump("lb")["rejected"], 0);
    }
    {
        SCOPED_TRACE("a rule change reaches both filters");
        json doc;
        json rule1 = Rule(1, 1, 0, 22, 1);
        rule1["source"] = {{"container_ids", {kSources}}};
        doc["RULE"] = {rule1};
        doc["BARRIER"] = {{{"id", Id(0xd6, 1)}, {"barrier_id", 8}}};
        ASSERT_TRUE(sys_.Apply(doc.dump()));
        EXPECT_TRUE(AwaitVerdict("f1", ssh, "ALLOW 1"));
        EXPECT_TRUE(AwaitVerdict("f2", ssh, "ALLOW 1"));
        EXPECT_TRUE(test::AwaitTrue([&] { return Barrier() == "8"; })) << Barrier();
    }
    {
        SCOPED_TRACE("an address added to a group allows that source only");
        ASSERT_TRUE(sys_.Apply(Sources({"10.0.0.1", "10.0.0.2"}).dump()));
        EXPECT_TRUE(AwaitVerdict("f2", tls2, "ALLOW 3"));
        EXPECT_EQ(Verdict("f2", tls3), "DROP 4");
        EXPECT_TRUE(AwaitVerdict("f1", tls2, "ALLOW 3"));
    }
    {
        SCOPED_TRACE("device failures give their codes while the other filter stays applied");
        const struct {
            const char* status;
            int code;
            unsigned port;
        } failures[] = {{"8", 1, 23}, {"65", 1100, 24}, {"19", 1101, 25}, {"42", 1102, 26}};
        for (const auto& f : failures) {
            SCOPED_TRACE(f.status);
            ASSERT_EQ(sys_.EmuCtl({"dpemu/tarp-fail", "f2", f.status, "1000"}).status, 0);
            json doc;
            doc["RULE"] = {Rule(5, 5, 2, f.port, 5)};
            ASSERT_TRUE(sys_.Apply(doc.dump()));
            const std::string probe = "in tcp 10.0.0.7:1 10.9.9.9:" + std::to_string(f.port);
            EXPECT_TRUE(AwaitVerdict("f1", probe, "REJECT 5"));
            EXPECT_TRUE(AwaitCodes({f.code})) << Status().dump();
            EXPECT_EQ(Verdict("f2", probe), "DEFAULT");
            ASSERT_EQ(sys_.EmuCtl({"dpemu/tarp-fail", "f2", f.status, "0"}).status, 0);
        }
        // The next change applies everywhere and clears the error.
        json doc;
        doc["RULE"] = {Rule(5, 5, 2, 27, 5)};
        ASSERT_TRUE(sys_.Apply(doc.dump()));
        EXPECT_TRUE(AwaitVerdict("f2", "in tcp 10.0.0.7:1 10.9.9.9:27", "REJECT 5"));
        EXPECT_TRUE(AwaitCodes({})) << Status().dump();
    }
    {
        SCOPED_TRACE("a rule that cannot be converted changes no filter and reports 1000");
        json bad = Rule(6, 6, 1, 28, 6);
        bad["source"] = {{"container_ids", {Id(0xd2, 99)}}};
        json doc;
        doc["RULE"] = {bad, Rule(5, 5, 2, 29, 5)};
        ASSERT_TRUE(sys_.Apply(doc.dump()));
        ASSERT_TRUE(AwaitCodes({1000})) << Status().dump();
        json s = Status();
        EXPECT_NE(s["errors"][0].value("error_message", "").find("rule id 6"), std::string::npos)
            << s.dump();
        EXPECT_EQ(Verdict("f1", "in tcp 10.0.0.7:1 10.9.9.9:27"), "REJECT 5");
        EXPECT_EQ(Verdict("f1", "in tcp 10.0.0.7:1 10.9.9.9:29"), "DEFAULT");
        ASSERT_EQ(sys_.Cairnctl({"delete", "RULE", Id(0xd3, 6)}).status, 0);
        EXPECT_TRUE(AwaitCodes({})) << Status().dump();
        EXPECT_TRUE(AwaitVerdict("f1", "in tcp 10.0.0.7:1 10.9.9.9:29", "REJECT 5"));
        EXPECT_TRUE(AwaitVerdict("f2", "in tcp 10.0.0.7:1 10.9.9.9:29", "REJECT 5"));
    }
    {
        SCOPED_TRACE("dfw/vif lists the filters");
        json vifs = sys_.AgentJson({"dfw/vif"});
        ASSERT_TRUE(vifs.is_array()) << vifs.dump();
        EXPECT_EQ(vifs.size(), 2u);
        EXPECT_EQ(vifs[0].value("filter", ""), "f1");
        EXPECT_EQ(vifs[0].value("lsp", ""), kLsp1);
        json rules = sys_.AgentJson({"dfw/rules", "vif-2"});
        EXPECT_EQ(rules["mainrs"], json({1, 3, 4, 5})) << rules.dump();
        json counters = sys_.AgentJson({"dfw/counters"});
        EXPECT_GE(counters.value("failed_builds", 0), 1) << counters.dump();
    }
    {
        SCOPED_TRACE("an IP-reputation chunk listing a source turns a malicious group's verdict");
        const std::string bad = Id(0xd2, 5), chunk = Id(0xdb, 1);
        json rule7 = Rule(7, 7, 1, 3389, 7);
        rule7["source"] = {{"container_ids", {bad}}};
        json doc;
        doc["CONTAINER"] = {{{"id", bad}, {"name", "malicious"}, {"ip_reputation", true}}};
        doc["RULE"] = {rule7};
        doc["IP_REPUTATION_CONFIG"] = {ChunkJson(chunk, 3, {"10.0.0.66"})};
        ASSERT_TRUE(sys_.Apply(doc.dump()));
        const std::string listed = "in tcp 10.0.0.66:1000 10.9.9.9:3389";
        const std::string other = "in tcp 10.0.0.67:1000 10.9.9.9:3389";
        EXPECT_TRUE(AwaitVerdict("f1", listed, "DROP 7"));
        EXPECT_EQ(Verdict("f2", other), "DEFAULT");
        json chunks = sys_.EmuDump("filter")["ip_reputation_chunks"];
        ASSERT_EQ(chunks.size(), 1u) << chunks.dump();
        EXPECT_EQ(chunks[0]["id"], 3);
        EXPECT_EQ(chunks[0]["capacity"], 6000);
        EXPECT_EQ(chunks[0]["count"], 1);
        json cli = sys_.AgentJson({"dfw/ipreputation", "10.0.0.66"});
        EXPECT_EQ(cli["listed_by"], json({3})) << cli.dump();
        // The address leaves the chunk, another comes: the verdicts follow.
        doc = json::object();
        doc["IP_REPUTATION_CONFIG"] = {ChunkJson(chunk, 3, {"10.0.0.67"})};
        ASSERT_TRUE(sys_.Apply(doc.dump()));
        EXPECT_TRUE(AwaitVerdict("f1", listed, "DEFAULT"));
        EXPECT_TRUE(AwaitVerdict("f2", other, "DROP 7"));
        // Gone with its rule and group: the device holds no chunk.
        ASSERT_EQ(sys_.Cairnctl({"delete", "RULE", Id(0xd3, 7)}).status, 0);
        ASSERT_EQ(sys_.Cairnctl({"delete", "CONTAINER", bad}).status, 0);
        ASSERT_EQ(sys_.Cairnctl({"delete", "IP_REPUTATION_CONFIG", chunk}).status, 0);
        EXPECT_TRUE(sys_.AwaitEmu("filter", [](const json& d) {
            return d["ip_reputation_chunks"].empty();
        })) << sys_.EmuDump("filter")["ip_reputation_chunks"].dump();
        EXPECT_TRUE(AwaitVerdict("f2", other, "DEFAULT"));
        EXPECT_TRUE(StatusCodes().empty()) << Status().dump();
    }
    {
        SCOPED_TRACE("an exclusion from a span-only batch bypasses that filter alone");
        const std::string vnic = Id(0xd7, 1), vm = Id(0xd8, 1), span = Id(0xd9, 1);
        ASSERT_EQ(sys_.EmuCtl({"dpemu/vm-add", vm, "42"}).status, 0);
        ASSERT_EQ(sys_.EmuCtl({"dpemu/filter-create", "f3", vnic, kLsp2}).status, 0);
        ASSERT_TRUE(AwaitVerdict("f3", ssh, "ALLOW 1"));
        json doc = {
            {"CONFIG_SPAN", {{{"id", span}, {"span_type", 1}, {"dfw_excluded_vifs", {vnic}}}}}};
        ASSERT_TRUE(sys_.Apply(doc.dump()));
        EXPECT_TRUE(AwaitVerdict("f3", ssh, "EXCLUDED"));
        EXPECT_EQ(Verdict("f1", ssh), "ALLOW 1");
        json ex = sys_.AgentJson({"dfw/exclude"});
        EXPECT_EQ(ex["dfw_vif_exclude"]["exclude_list"], json({vnic})) << ex.dump();
        // The running VM's filters were revalidated after the table changed.
        EXPECT_TRUE(sys_.AwaitEmu("filter", [&](const json& d) {
            const json& r = d["revalidations"];
            return r.value("total", 0) >= 1 && r["last"].back().value("vm", "") == vm &&
                   r["last"].back().value("world_id", 0) == 42 &&
                   r["last"].back().value("agent", "") == "orvane-sfw";
        })) << sys_.EmuDump("filter")["revalidations"].dump();
        EXPECT_EQ(sys_.EmuDump("filter")["tables"]["orvane-sfw"]["include"], json({"default"}));
        ASSERT_EQ(sys_.Cairnctl({"delete", "CONFIG_SPAN", span}).status, 0);
        EXPECT_TRUE(AwaitVerdict("f3", ssh, "ALLOW 1"));
        ASSERT_EQ(sys_.EmuCtl({"dpemu/filter-delete", "f3"}).status, 0);
    }
    {
        SCOPED_TRACE("a VIF connected with its filter gets the rules, and its MAC from VIF_STATE");
        ASSERT_TRUE(sys_.AwaitEmu(
            "kcp", [](const json& d) { return d["session"].value("state", "") == "synced"; }));
        auto mac = [&](const char* filter) {
            const json dump = sys_.EmuDump("filter");
            for (const json& f : dump["filters"]) {
                if (f.value("name", "") == filter)
                    return f.value("mac", "");
            }
            return std::string();
        };
        test::RunResult r = sys_.EmuCtl(
            {"dpemu/vif-connect", "vif-7", kLsp2, "dvs-1", "02:00:00:00:00:07", "filter"});
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_TRUE(AwaitVerdict("vif-7", ssh, "ALLOW 1"));
        EXPECT_TRUE(test::AwaitTrue([&] { return mac("vif-7") == "02:00:00:00:00:07"; }))
            << mac("vif-7");
        // The VIF reported again with another MAC: the filter follows.
        r = sys_.EmuCtl({"dpemu/vif-connect", "vif-7", kLsp2, "dvs-1", "02:00:00:00:00:17"});
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_TRUE(test::AwaitTrue([&] { return mac("vif-7") == "02:00:00:00:00:17"; }))
            << mac("vif-7");
        ASSERT_EQ(sys_.EmuCtl({"dpemu/vif-disconnect", "vif-7"}).status, 0);
        ASSERT_EQ(sys_.EmuCtl({"dpemu/filter-delete", "vif-7"}).status, 0);
    }
    {
        SCOPED_TRACE("an emulator restart with its filters created again gets everything back");
        const std::string up = "dfw: DfwFilterRepo: Received ozy_tarp_krnlink up notification";
        const std::string down = "dfw: DfwFilterRepo: Received ozy_tarp_krnlink down notification";
        auto link = [&] { return sys_.AgentJson({"dfw/counters"}).value("filter_link", ""); };
        EXPECT_EQ(link(), "up");
        auto held = [&](const char* name) {
            json f = json::parse(sys_.EmuCtl({"dpemu/tarp-filter", name}).output, nullptr, false);
            return f.is_discarded() ? f
                                    : json{{"rules", f["rules"]}, {"addr_sets", f["addr_sets"]}};
        };
        const json before1 = held("f1"), before2 = held("f2");
        const size_t from = sys_.AgentLogSize();
        sys_.StopEmulator();
        ASSERT_TRUE(sys_.AwaitAgentLog(down, std::chrono::seconds(60), from));
        ASSERT_TRUE(sys_.StartEmulator());
        // The link comes back reported up, after its down report.
        const size_t downAt = sys_.Agent()->Output().find(down, from);
        ASSERT_NE(downAt, std::string::npos);
        EXPECT_TRUE(sys_.AwaitAgentLog(up, std::chrono::seconds(60), downAt));
        EXPECT_TRUE(test::AwaitTrue([&] { return link() == "up"; })) << link();
        ASSERT_EQ(sys_.EmuCtl({"dpemu/filter-create", "f1", "vif-1", kLsp1}).status, 0);
        ASSERT_EQ(sys_.EmuCtl({"dpemu/filter-create", "f2", "vif-2", kLsp2}).status, 0);
        EXPECT_TRUE(AwaitVerdict("f1", ssh, "ALLOW 1"));
        EXPECT_TRUE(AwaitVerdict("f2", ssh, "ALLOW 1"));
        // Exactly what the filters held before, rules and address sets.
        EXPECT_TRUE(test::AwaitTrue([&] { return held("f1") == before1; })) << held("f1").dump();
        EXPECT_TRUE(test::AwaitTrue([&] { return held("f2") == before2; })) << held("f2").dump();
        EXPECT_EQ(Verdict("f1", web), "DROP 2");
        EXPECT_EQ(Verdict("f2", web), "DEFAULT");
        EXPECT_EQ(Verdict("f2", tls2), "ALLOW 3");
        EXPECT_EQ(Verdict("f2", tls3), "DROP 4");
        EXPECT_TRUE(sys_.AwaitEmu("filter", [](const json& d) {
            return d["tables"]["orvane-sfw"]["include"] == json({"default"});
        })) << "the new device's include table is written again";
    }
    const std::string inWindow = "in tcp 10.0.0.1:1 10.9.9.9:8080 time=2026-12-07T10:00:00Z";
    const std::string plain = "in tcp 10.0.0.1:1 10.9.9.9:8081";
    auto ntpHeld = [&] {
        json s = Status();
        if (s.is_null() || !s.contains("errors"))
            return false;
        for (const json& e : s["errors"]) {
            if (e.value("error_message", "").find(" NTP Service is not up") != std::string::npos)
                return true;
        }
        return false;
    };
    {
        SCOPED_TRACE("skip_ntp_check: a time-based section applies at once, whatever the script");
        ASSERT_EQ(sys_.EmuCtl({"dpemu/ntp", "bad"}).status, 0);
        ASSERT_EQ(sys_.EmuCtl({"dpemu/filter-create", "f4", "vif-4", kLsp4}).status, 0);
        ASSERT_TRUE(sys_.Apply(TimeTopology().dump()));
        EXPECT_TRUE(AwaitVerdict("f4", inWindow, "ALLOW 50"));
        EXPECT_EQ(Verdict("f4", "in tcp 10.0.0.1:1 10.9.9.9:8080 time=2026-12-07T18:00:00Z"),
                  "DEFAULT");
        EXPECT_EQ(Verdict("f1", inWindow), "DEFAULT");
        EXPECT_EQ(sys_.AgentJson({"dfw/ntp"}).value("state", ""), "not checked (skip_ntp_check)");
    }
    {
        SCOPED_TRACE("an agent restart with nothing changed: every filter applied, none changed");
        auto stat = [&](const char* key) {
            json d = sys_.EmuDump("filter");
            return d.is_object() ? d["stats"].value(key, uint64_t{0}) : uint64_t{0};
        };
        size_t filters = 0;
        const json device = sys_.EmuDump("filter");
        for (const json& f : device["filters"])
            filters += f.value("agent", "") == "orvane-sfw" && !f.value("lsp", "").empty();
        ASSERT_EQ(filters, 3u);
        const uint64_t changed = stat("applies_changed"), unchanged = stat("applies_unchanged");
        EXPECT_EQ(sys_.StopAgent(), 0);
        ASSERT_TRUE(sys_.StartAgent());
        EXPECT_TRUE(test::AwaitTrue([&] {
            return stat("applies_unchanged") >= unchanged + filters;
        })) << stat("applies_unchanged") - unchanged;
        EXPECT_EQ(stat("applies_changed"), changed);
        EXPECT_EQ(Verdict("f1", ssh), "ALLOW 1");
        EXPECT_EQ(Verdict("f4", inWindow), "ALLOW 50");
    }
    {
        SCOPED_TRACE("a section deleted while the agent is down: after restart only its sets go");
        const std::string section2 = Id(0xd1, 2), others = Id(0xd2, 3);
        json rule9 = Rule(9, 9, 1, 9, 9);
        rule9["section_id"] = section2;
        rule9["source"] = {{"container_ids", {others}}};
        json doc;
        doc["CONTAINER"] = {
            {{"id", others}, {"name", "others"}, {"ip_addresses", {Ip4("10.0.0.9")}}}};
        doc["RULE_SECTION"] = {Section(section2, 20)};
        doc["RULE"] = {rule9};
        ASSERT_TRUE(sys_.Apply(doc.dump()));
        const std::string probe = "in tcp 10.0.0.9:1 10.9.9.9:9";
        ASSERT_TRUE(AwaitVerdict("f1", probe, "DROP 9"));
        ASSERT_TRUE(AwaitVerdict("f2", probe, "DROP 9"));
        auto filter = [&](const char* name) {
            return json::parse(sys_.EmuCtl({"dpemu/tarp-filter", name}).output, nullptr, false);
        };
        // What each filter should hold after the restart: the same, less rule 9 and its sets.
        std::map<std::string, json> want;
        std::map<std::string, std::set<std::string>> wantSets;
        for (const char* name : {"f1", "f2"}) {
            json f = filter(name);
            ASSERT_FALSE(f.is_discarded());
            json rules = json::array();
            for (const json& r : f["rules"]) {
                if (r.value("id", 0) != 9)
                    rules.push_back(r);
            }
            ASSERT_EQ(rules.size() + 1, f["rules"].size());
            want[name] = rules;
            for (const auto& [set, body] : f["addr_sets"].items())
                wantSets[name].insert(set);
        }
        EXPECT_EQ(sys_.StopAgent(), 0);
        for (const auto& [type, id] : {std::pair<const char*, std::string>{"RULE", Id(0xd3, 9)},
                                       {"RULE_SECTION", section2},
                                       {"CONTAINER", others}})
            ASSERT_EQ(sys_.Cairnctl({"delete", type, id}).status, 0) << type;
        // The restarted agent checks the time service, whose script prints 1.
        sys_.Host().SetDfwDefaults("<skip_ntp_check>false</skip_ntp_check>");
        ASSERT_TRUE(sys_.StartAgent());
        for (const char* name : {"f1", "f2"}) {
            SCOPED_TRACE(name);
            EXPECT_TRUE(test::AwaitTrue([&] { return filter(name)["rules"] == want[name]; }))
                << filter(name)["rules"].dump();
            const json after = filter(name);
            std::set<std::string> sets;
            for (const auto& [set, body] : after["addr_sets"].items())
                sets.insert(set);
            std::vector<std::string> gone;
            std::set_difference(wantSets[name].begin(), wantSets[name].end(), sets.begin(),
                                sets.end(), std::back_inserter(gone));
            EXPECT_EQ(gone.size(), 1u)
                << json(gone).dump() << " of " << json(wantSets[name]).dump();
            EXPECT_TRUE(std::includes(wantSets[name].begin(), wantSets[name].end(), sets.begin(),
                                      sets.end()))
                << "no set is new";
            EXPECT_EQ(Verdict(name, probe), "DEFAULT");
            EXPECT_EQ(Verdict(name, ssh), "ALLOW 1");
        }
    }
    {
        SCOPED_TRACE("checked, with a script printing 1: held back, and the status says why");
        EXPECT_TRUE(test::AwaitTrue(ntpHeld)) << Status().dump();
        EXPECT_TRUE(AwaitVerdict("f4", inWindow, "DEFAULT"));
        EXPECT_EQ(Verdict("f4", plain), "DROP 51");
        json ntp = sys_.AgentJson({"dfw/ntp"});
        EXPECT_EQ(ntp.value("state", ""), "not working") << ntp.dump();
        EXPECT_EQ(ntp.value("interval_s", 0), 300);
    }
    {
        SCOPED_TRACE("a script printing 0 at the next start releases it");
        ASSERT_EQ(sys_.EmuCtl({"dpemu/ntp", "ok"}).status, 0);
        EXPECT_EQ(sys_.StopAgent(), 0);
        ASSERT_TRUE(sys_.StartAgent());
        EXPECT_TRUE(AwaitVerdict("f4", inWindow, "ALLOW 50"));
        EXPECT_TRUE(test::AwaitTrue([&] { return !ntpHeld(); })) << Status().dump();
        EXPECT_EQ(sys_.AgentJson({"dfw/ntp"}).value("state", ""), "good");
    }
    test::RunResult r = sys_.AgentCtl({"dfw/vnicMaxRules", "10"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(sys_.AgentCtl({"dfw/vnicMaxRules", "ten"}).status, 2);
    // The firewall's alarms: event type to (raise count, context).
    auto alarms = [&] {
        std::map<int, std::pair<int, json>> out;
        json table = sys_.AgentJson({"cfgagent/alarms"});
        for (const json& a : table["alarms"]) {
            if (a.value("source", "") == "cfgAgent_dfw" && a.value("entity", "") == kLsp1)
                out[a.value("event_type", 0)] = {a.value("raise_count", 0), a["context"]};
        }
        return out;
    };
    auto ruleCount = [&] {
        json t = sys_.AgentJson({"dfw/vnicRuleCountTable", "vif-1"});
        const json& rows = t["dfw_vnic_rule_count"];
        return rows.is_array() && rows.size() == 1 ? rows[0].value("rule_count", -1) : -1;
    };
    const int approaching = 4101, exceeded = 4102;
    {
        SCOPED_TRACE("7 rules on f1: below 80 % of 10");
        ASSERT_TRUE(sys_.Apply(WebRules(1, 2).dump()));
        ASSERT_TRUE(test::AwaitTrue([&] { return ruleCount() == 7; })) << ruleCount();
        EXPECT_TRUE(alarms().empty());
    }
    {
        SCOPED_TRACE("9 rules: approaching");
        ASSERT_TRUE(sys_.Apply(WebRules(3, 4).dump()));
        ASSERT_TRUE(test::AwaitTrue([&] { return alarms().count(approaching) == 1; }));
        EXPECT_EQ(ruleCount(), 9);
        EXPECT_EQ(alarms().size(), 1u);
    }
    {
        SCOPED_TRACE("11 rules: exceeded beside approaching, which is not raised again");
        ASSERT_TRUE(sys_.Apply(WebRules(5, 6).dump()));
        ASSERT_TRUE(test::AwaitTrue([&] { return alarms().count(exceeded) == 1; }));
        auto a = alarms();
        EXPECT_EQ(a[approaching].first, 1);
        EXPECT_EQ(a[exceeded].first, 1);
        EXPECT_EQ(a[exceeded].second.value("entity_id", ""), kLsp1);
        EXPECT_FALSE(a[exceeded].second.value("transport_node_name", "").empty());
    }
    {
        SCOPED_TRACE("5 rules: both cleared, each once");
        for (unsigned n = 1; n <= 6; ++n)
            ASSERT_EQ(sys_.Cairnctl({"delete", "RULE", Id(0xd3, 100 + n)}).status, 0);
        ASSERT_TRUE(test::AwaitTrue([&] { return ruleCount() == 5; })) << ruleCount();
        EXPECT_TRUE(test::AwaitTrue([&] { return alarms().empty(); }));
        json row = sys_.AgentJson({"dfw/vnicRuleAlarmState", "vif-1"})["dfw_vnic_rule_alarm_data"];
        ASSERT_EQ(row.size(), 1u) << row.dump();
        EXPECT_EQ(row[0].value("raises", 0), 2);
        EXPECT_EQ(row[0].value("clears", 0), 2);
    }
    {
        SCOPED_TRACE("a flood warning, then critical: the warning is cleared");
        ASSERT_EQ(sys_.EmuCtl({"dpemu/tarp-flood", "f1", "TCP", "warning", "raise"}).status, 0);
        ASSERT_TRUE(test::AwaitTrue([&] { return alarms().count(21) == 1; }));
        // The context's members in the order raised, read from the reply as it stands.
        nlohmann::ordered_json table =
            nlohmann::ordered_json::parse(sys_.AgentCtl({"cfgagent/alarms"}).output);
        std::vector<std::string> keys;
        for (const auto& a : table["alarms"]) {
            if (a.value("event_type", 0) != 21)
                continue;
            for (const auto& [k, v] : a["context"].items())
                keys.push_back(k);
            EXPECT_EQ(a["context"].value("protocol_name", ""), "TCP") << a.dump();
        }
        EXPECT_EQ(keys,
                  (std::vector<std::string>{"entity_id", "transport_node_name", "protocol_name"}));
        ASSERT_EQ(sys_.EmuCtl({"dpemu/tarp-flood", "f1", "TCP", "critical", "raise"}).status, 0);
        EXPECT_TRUE(test::AwaitTrue([&] {
            auto a = alarms();
            return a.count(23) == 1 && a.count(21) == 0;
        }));
        ASSERT_EQ(sys_.EmuCtl({"dpemu/tarp-hopover-fail", "f1"}).status, 0);
        EXPECT_TRUE(test::AwaitTrue([&] { return alarms().count(7) == 1; }));
    }
    {
        SCOPED_TRACE("the filter deleted: its alarms go with its entity");
        ASSERT_EQ(sys_.EmuCtl({"dpemu/filter-delete", "f1"}).status, 0);
        EXPECT_TRUE(test::AwaitTrue([&] { return alarms().empty(); }));
        EXPECT_TRUE(sys_.AwaitAgentJson({"dfw/vnicRuleCountTable"}, [](const json& j) {
            for (const json& row : j["dfw_vnic_rule_count"]) {
                if (row.value("vif", "") == "vif-1")
                    return false;
            }
            return j["dfw_vnic_rule_count"].size() == 2;
        }));
    }
}

// The ports in one scenario of their own. Per-port profiles: flood, timeout and DNS profiles bound
// to port 1 with cairnctl reach its filter (the emulator's decoded settings) while port 2's filter
// holds the defaults; the dfw/profiles page names them; unbinding restores the defaults; the filter
// deleted and created again for the same vif gets the profiles again; a filter configuration
// profile disabling port 2 clears its rules until it goes. Then per-port metrics: the transport
// node from the configuration, each port's rule count on dfw/lspMetrics once its rules apply, the
// Prometheus page judged by the Prometheus client library's parser with each port's labelled
// series, and a deleted filter's series gone from both.
TEST_F(DfwSystemTest, PortProfilesAndPerPortMetricsReachTheirFiltersAndPages) {
    ASSERT_TRUE(sys_.Start());
    const std::string tn = Id(0xc0, 1);
    ASSERT_TRUE(sys_.Apply(json{{"TRANSPORT_NODE_CONFIG", {{{"id", tn}}}}}.dump()));
    ASSERT_EQ(sys_.EmuCtl({"dpemu/filter-create", "f1", "vif-1", kLsp1}).status, 0);
    ASSERT_EQ(sys_.EmuCtl({"dpemu/filter-create", "f2", "vif-2", kLsp2}).status, 0);
    ASSERT_TRUE(sys_.Apply(Topology(7).dump()));
    const std::string ssh = "in tcp 10.0.0.1:1000 10.9.9.9:22";
    ASSERT_TRUE(AwaitVerdict("f2", ssh, "DROP 1"));
    const std::string flood = Id(0xdb, 1), timeouts = Id(0xdb, 2), dns = Id(0xdb, 3);
    const std::string disabling = Id(0xdb, 4);
    auto profiles = [&](const std::vector<std::string>& ports) {
        json doc;
        doc["PROFILE"] = {
            {{"id", flood},
             {"profile_type", 4},
             {"logical_switch_port_ids", ports},
             {"flood_protection_profile", {{"tcp_half_open_limit", 300}, {"syn_cache", true}}}},
            {{"id", timeouts},
             {"profile_type", 5},
             {"logical_switch_port_ids", ports},
             {"session_timeout_profile", {{"tcp_established", 7200}, {"udp_single", 45}}}},
            {{"id", dns},
             {"profile_type", 6},
             {"logical_switch_port_ids", ports},
             {"dns_config_profile", {{"ttl_flag", true}, {"ttl", 120}}}}};
        return doc.dump();
    };
    auto settings = [&](const std::string& filter) {
        test::RunResult r = sys_.EmuCtl({"dpemu/tarp-filter", filter});
        json j = json::parse(r.output, nullptr, false);
        return r.status == 0 && !j.is_discarded() ? j["settings"] : json();
    };
    // "flood/established/udp_single/dns" of a filter's settings.
    auto summary = [&](const std::string& filter) {
        json s = settings(filter);
        if (!s.contains("flood") || !s.contains("timeouts") || !s.contains("dns"))
            return std::string("unset");
        return std::to_string(s["flood"].value("tcp_half_open_limit", -1)) +
               (s["flood"].value("syn_cache", false) ? "+syn" : "") + "/" +
               std::to_string(s["timeouts"].value("tcp_established", -1)) + "/" +
               std::to_string(s["timeouts"].value("udp_single", -1)) + "/" +
               (s["dns"].value("ttl_flag", false) ? "ttl " : "answer ") +
               std::to_string(s["dns"].value("ttl", -1));
    };
    const std::string defaults = "0/43200/60/answer 0", bound = "300+syn/7200/45/ttl 120";
    auto awaitSummary = [&](const std::string& filter, const std::string& want) {
        return test::AwaitTrue([&] { return summary(filter) == want; });
    };
    {
        SCOPED_TRACE("without profiles every filter holds the defaults");
        EXPECT_TRUE(awaitSummary("f1", defaults)) << settings("f1").dump();
        EXPECT_TRUE(awaitSummary("f2", defaults)) << settings("f2").dump();
    }
    {
        SCOPED_TRACE("bound to port 1");
        ASSERT_TRUE(sys_.Apply(profiles({kLsp1})));
        EXPECT_TRUE(awaitSummary("f1", bound)) << settings("f1").dump();
        EXPECT_EQ(summary("f2"), defaults);
        EXPECT_TRUE(sys_.AwaitAgentJson({"dfw/profiles", "vif-1"}, [&](const json& j) {
            const json& row = j["dfw_vif_profiles"]["filters"][0];
            return row["flood"]["profile"] == flood && row["timeout"]["profile"] == timeouts &&
                   row["dns"]["profile"] == dns && row["dns"]["applied"] == true &&
                   row["timeout"]["values"]["tcp_established"] == 7200;
        })) << sys_.AgentJson({"dfw/profiles", "all"}).dump();
    }
    {
        SCOPED_TRACE("unbound: the defaults again");
        ASSERT_TRUE(sys_.Apply(profiles({})));
        EXPECT_TRUE(awaitSummary("f1", defaults)) << settings("f1").dump();
        EXPECT_EQ(sys_.AgentJson({"dfw/profiles",
                                  "vif-1"})["dfw_vif_profiles"]["filters"][0]["flood"]["profile"],
                  "default");
    }
    {
        SCOPED_TRACE("bound again, then the filter deleted and created again for the vif");
        ASSERT_TRUE(sys_.Apply(profiles({kLsp1})));
        ASSERT_TRUE(awaitSummary("f1", bound)) << settings("f1").dump();
        ASSERT_EQ(sys_.EmuCtl({"dpemu/filter-delete", "f1"}).status, 0);
        ASSERT_EQ(sys_.EmuCtl({"dpemu/filter-create", "f1", "vif-1", kLsp1}).status, 0);
        EXPECT_TRUE(awaitSummary("f1", bound)) << settings("f1").dump();
        EXPECT_TRUE(AwaitVerdict("f1", ssh, "DROP 1"));
    }
    {
        SCOPED_TRACE("a filter configuration profile disables port 2's filter until it goes");
        json doc;
        doc["PROFILE"] = {{{"id", disabling},
                           {"profile_type", 7},
                           {"logical_switch_port_ids", {kLsp2}},
                           {"filter_config_profile", {{"enabled", false}}}}};
        ASSERT_TRUE(sys_.Apply(doc.dump()));
        EXPECT_TRUE(AwaitVerdict("f2", ssh, "DEFAULT"));
        EXPECT_EQ(Verdict("f1", ssh), "DROP 1");
        EXPECT_EQ(
            sys_.AgentJson({"dfw/profiles",
                            "vif-2"})["dfw_vif_profiles"]["filters"][0]["filter_config"]["profile"],
            disabling);
        ASSERT_EQ(sys_.Cairnctl({"delete", "PROFILE", disabling}).status, 0);
        EXPECT_TRUE(AwaitVerdict("f2", ssh, "DROP 1"));
    }
    // Per-port metrics, once the profile disabling port 2 is gone.
    // Rules 1, 3 and 4 apply everywhere, rule 2 to the web group (port 1) only.
    auto ports = [&] {
        std::map<std::string, json> out;
        json page = sys_.AgentJson({"dfw/lspMetrics"});
        for (const json& l : page["lsp_metrics_list"])
            out[l.value("vif", "")] = l;
        return out;
    };
    ASSERT_TRUE(test::AwaitTrue([&] {
        auto p = ports();
        return p.size() == 2 && p["vif-1"].value("rule_cnt", 0) == 4 &&
               p["vif-2"].value("rule_cnt", 0) == 3;
    })) << sys_.AgentCtl({"dfw/lspMetrics"}).output;
    {
        SCOPED_TRACE("the pages");
        auto p = ports();
        EXPECT_EQ(p["vif-1"]["tn_uuid"], tn);
        EXPECT_EQ(p["vif-1"]["lsp_uuid"], kLsp1);
        EXPECT_EQ(p["vif-1"]["is_all_dfw"], false);
        EXPECT_EQ(p["vif-2"]["is_all_dfw"], true);
        EXPECT_EQ(p["vif-2"]["apply_status"], 0);
        EXPECT_TRUE(sys_.AwaitAgentJson({"dfw/tnMetrics"}, [&](const json& t) {
            return t.is_array() && t.size() == 1 && t[0]["tn_uuid"] == tn &&
                   t[0]["rule_cnt"] == 7 && t[0]["lsp_w_rule_cnt"] == 2;
        })) << sys_.AgentCtl({"dfw/tnMetrics"}).output;
        // The registry follows in the same pass, just after the vif table: awaited.
        const std::string line = "dfw/lsp/rule_count{lsp_uuid=\"" + kLsp1 + "\",tn_uuid=\"" + tn +
                                 "\",vif=\"vif-1\"} gauge 4";
        EXPECT_TRUE(test::AwaitTrue([&] {
            return sys_.AgentCtl({"cfgagent/metrics"}).output.find(line) != std::string::npos;
        })) << sys_.AgentCtl({"cfgagent/metrics"}).output;
    }
    // The port's series in the exposition, by vif (-1: none).
    auto series = [&](const json& families, const char* family, const std::string& vif) {
        for (const json& s : test::PromSamples(families, family)) {
            if (s["labels"].value("vif", "") == vif &&
                s["labels"].value("lsp_uuid", "") == (vif == "vif-1" ? kLsp1 : kLsp2) &&
                s["labels"].value("tn_uuid", "") == tn)
                return s["value"].get<double>();
        }
        return -1.0;
    };
    // Every reading of the exposition must parse; `want` is awaited on the parsed families.
    json families;
    std::string last;
    auto exposition = [&](const std::function<bool(const json&)>& want) {
        return test::AwaitTrue(
            [&] {
                const test::RunResult r = sys_.AgentCtl({"cfgagent/metrics/prometheus"});
                last = r.output;
                test::PromParse parsed = test::ParsePrometheus(r.output);
                if (r.status != 0 || parsed.status != test::PromParse::Status::kParsed) {
                    last += "\n" + parsed.error;
                    return true;  // judged below
                }
                families = parsed.families;
                return want(families);
            },
            test::kDefaultAwait, std::chrono::milliseconds(200));
    };
    {
        SCOPED_TRACE("the exposition, parsed");
        OZY_PROM_PARSE_OR_SKIP(sys_.AgentCtl({"cfgagent/metrics/prometheus"}).output, families);
        EXPECT_TRUE(exposition([&](const json& f) {
            return series(f, "ozy_dfw_lsp_rule_count", "vif-1") == 4.0 &&
                   series(f, "ozy_dfw_lsp_rule_count", "vif-2") == 3.0;
        })) << last;
        OZY_PROM_PARSE_OR_SKIP(last, families);
        EXPECT_EQ(series(families, "ozy_dfw_lsp_rule_count", "vif-1"), 4.0);
        EXPECT_EQ(series(families, "ozy_dfw_lsp_rule_count", "vif-2"), 3.0);
        EXPECT_EQ(series(families, "ozy_dfw_lsp_apply_status", "vif-1"), 0.0);
        // The agent's other metrics beside them.
        EXPECT_EQ(test::PromFamily(families, "ozy_dfw_update_counter").value("type", ""), "gauge");
        EXPECT_EQ(test::PromFamily(families, "ozy_work_group_queue_enqueue_freq").value("type", ""),
                  "counter");
    }
    {
        SCOPED_TRACE("f2 deleted: its port and its series go");
        ASSERT_EQ(sys_.EmuCtl({"dpemu/filter-delete", "f2"}).status, 0);
        EXPECT_TRUE(test::AwaitTrue([&] { return ports().count("vif-2") == 0; }))
            << sys_.AgentCtl({"dfw/lspMetrics"}).output;
        EXPECT_TRUE(exposition([&](const json& f) {
            return series(f, "ozy_dfw_lsp_rule_count", "vif-2") == -1.0;
        })) << last;
        OZY_PROM_PARSE_OR_SKIP(last, families);
        EXPECT_EQ(last.find("vif=\"vif-2\""), std::string::npos) << last;
        EXPECT_EQ(series(families, "ozy_dfw_lsp_rule_count", "vif-1"), 4.0);
    }
}

}  // namespace
}  // namespace CfgAgent
