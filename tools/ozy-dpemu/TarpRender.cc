#include "tools/ozy-dpemu/TarpRender.h"

#include <arpa/inet.h>

#include <cstdio>

#include <nlohmann/json.hpp>

#include "platform/tarp/TarpWire.h"
#include "tools/ozy-dpemu/TarpEval.h"
#include "tools/ozy-dpemu/TarpState.h"

namespace ozy::dpemu::tarp {

namespace w = ozy::tarp;
using nlohmann::json;

namespace {

constexpr const char* kSideNames[6] = {"source",         "destination",
                                       "exclude_source", "exclude_destination",
                                       "ext_source",     "ext_source_ip"};

std::string Text(const Address& a) {
    char buf[64];
    if (a.kind == w::kAddrMac) {
        std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", a.bytes[0], a.bytes[1],
                      a.bytes[2], a.bytes[3], a.bytes[4], a.bytes[5]);
        return buf;
    }
    ::inet_ntop(a.kind == w::kAddrIPv4 ? AF_INET : AF_INET6, a.bytes.data(), buf, sizeof buf);
    return std::string(buf) + "/" + std::to_string(a.prefix);
}

json Addresses(const std::vector<Address>& list) {
    json out = json::array();
    for (const Address& a : list)
        out.push_back(Text(a));
    return out;
}

json Ports(const PortList& p) {
    json ranges = json::array();
    for (const auto& r : p.ranges)
        ranges.push_back(r.first == r.second
                             ? std::to_string(r.first)
                             : std::to_string(r.first) + "-" + std::to_string(r.second));
    return {{"ports", ranges}, {"negate", p.negate}};
}

json ContainerJson(const Container& c) {
    static const char* kTypes[5] = {"", "addresses", "attributes", "time", "identity"};
    json elements = json::array();
    for (const Element& e : c.elements) {
        switch (e.kind) {
            case w::kElemAddrSet:
                elements.push_back({{"addr_set", e.text}});
                break;
            case w::kElemAddress:
                elements.push_back({{"address", Text(e.address)}});
                break;
            case w::kElemAttribute:
                elements.push_back({{"key", w::kAttrKeyNames[e.key]}, {"value", e.text}});
                break;
            default:
                elements.push_back({{"identity", e.text}});
                break;
        }
    }
    return {{"type", kTypes[c.type]}, {"elements", elements}};
}

class RuleWriter {
  public:
    RuleWriter(const TarpState& s, const Filter& f) : s_(s), f_(f) {}

    json Part(const RulePart& p) const {
        json j = {{"layer", p.layer},
                  {"direction", !p.hasDirection || p.direction == 0 ? "in_out"
                                : p.direction == 1                  ? "in"
                                                                    : "out"},
                  {"action", ActionName(p.action)}};
        if (!p.actionText.empty())
            j["action_text"] = p.actionText;
        if (p.nat)
            j["nat"] = {{"fields", {p.natFields[0], p.natFields[1], p.natFields[2]}},
                        {"address", p.natAddress}};
        if (p.hasType)
            j["type"] = p.type;
        if (p.family != 0)
            j["family"] = p.family == 4 ? "ipv4" : "ipv6";
        if (p.hasProtocol)
            j["protocol"] = {{"value", p.protocol}, {"negate", p.protocolNegate}};
        if (!p.icmp.empty()) {
            json icmp = json::array();
            for (const IcmpMatch& m : p.icmp) {
                json e = {{"type", m.type}};
                if (m.hasCode)
                    e["code"] = m.code;
                icmp.push_back(e);
            }
            j["icmp"] = icmp;
        }
        if (p.hasTcpFlags)
            j["tcp_flags"] = {{"flags", p.tcpFlags}, {"mask", p.tcpMask}};
        if (!p.sourcePorts.ranges.empty())
            j["source_ports"] = Ports(p.sourcePorts);
        if (!p.destPorts.ranges.empty())
            j["destination_ports"] = Ports(p.destPorts);
        if (p.hasAlg)
            j["alg"] = p.alg;
        if (!p.idsProfile.empty())
            j["ids_profile"] = p.idsProfile;
        json flags = json::array();
        if (p.flags & w::kRuleFlagLog)
            flags.push_back("log");
        if (p.flags & w::kRuleFlagLb)
            flags.push_back("lb");
        if (p.flags & w::kRuleFlagNoFlowRecord)
            flags.push_back("no_flow_record");
        if (p.flags & w::kRuleFlagStateless)
            flags.push_back("stateless");
        if (!flags.empty())
            j["flags"] = flags;
        if (!p.tag.empty())
            j["tag"] = p.tag;
        if (p.hasOversub)
            j["oversubscription"] = p.oversub;
        if (p.hasCategory)
            j["category"] = p.category;
        if (p.hasBucket)
            j["bucket"] = p.bucket;
        for (int i = 0; i < 6; ++i) {
            if (p.sides[i].Present())
                j[kSideNames[i]] = Side(p.sides[i]);
        }
        if (!p.attrProfile.empty())
            j["attribute_profile"] = Named(p.attrProfile);
        if (!p.timeProfile.empty())
            j["time_profile"] = Named(p.timeProfile);
        return j;
    }

  private:
    json Named(const std::string& name) const {
        Resolved r = s_.Lookup(f_, name);
        json j = {{"name", name}};
        if (r.shared)
            j["shared"] = true;
        if (r.addrSet != nullptr) {
            j["addresses"] = Addresses(r.addrSet->addresses);
            if (!r.addrSet->excluded.empty())
                j["excluded"] = Addresses(r.addrSet->excluded);
            if (r.addrSet->ipReputation)
                j["ip_reputation"] = true;
        }
        if (r.container != nullptr)
            j["container"] = ContainerJson(*r.container);
        return j;
    }

    json Side(const SideRef& s) const {
        json j = s.hasAddress ? json{{"address", Text(s.address)}} : Named(s.container);
        if (s.negate)
            j["negate"] = true;
        if (s.malicious)
            j["malicious"] = true;
        return j;
    }

    const TarpState& s_;
    const Filter& f_;
};

}  // namespace

json RenderFilter(const TarpState& state, const std::string& name, const Filter& f) {
    RuleWriter writer(state, f);
    json rules = json::array();
    for (const auto& [rs, rule] : state.RootRules(f)) {
        const RulePart& first = rule->parts[0];
        json parts = json::array();
        for (const RulePart& p : rule->parts)
            parts.push_back(writer.Part(p));
        json r = {{"rule_set", rs}, {"id", first.id}, {"parts", parts}};
        if (first.tcpStrict)
            r["tcp_strict"] = true;
        if (!first.org.empty() || !first.project.empty() || !first.vpc.empty())
            r["tenant"] = {{"org", first.org}, {"project", first.project}, {"vpc", first.vpc}};
        rules.push_back(r);
    }
    json sets = json::object();
    for (const auto& [n, s] : f.config.addrSets) {
        sets[n] = {{"addresses", Addresses(s.addresses)},
                   {"excluded", Addresses(s.excluded)},
                   {"ip_reputation", s.ipReputation}};
    }
    json containers = json::object();
    for (const auto& [n, c] : f.config.containers)
        containers[n] = ContainerJson(c);
    json ruleSets = json::object();
    for (const auto& [n, hashes] : f.config.ruleSets) {
        size_t count = 0;
        for (uint64_t h : hashes) {
            if (const Segment* s = state.FindSegment(h))
                count += s->rules.size();
        }
        ruleSets[n] = {{"segments", hashes.size()}, {"rules", count}};
    }
    json settings = {
        {"export_version", f.exportVersion},      {"fast_path", f.fastPath},
        {"shared_addr_sets", f.sharedAddrSets},   {"ids_mode", f.idsMode},
        {"oversubscription", f.oversubscription}, {"spoof_guard_deletions", f.spoofGuardDeletions}};
    if (f.flood) {
        settings["flood"] = {{"tcp_half_open_limit", f.flood->tcpHalfOpen},
                             {"udp_flow_limit", f.flood->udp},
                             {"icmp_flow_limit", f.flood->icmp},
                             {"other_flow_limit", f.flood->other},
                             {"syn_cache", f.flood->synCache},
                             {"rst_spoofing", f.flood->rstSpoofing},
                             {"nat_limits", f.flood->natLimits}};
    }
    if (f.timeouts) {
        static const char* kNames[w::kTimeoutCount] = {
            "tcp_first_packet", "tcp_opening",       "tcp_established",  "tcp_closing",
            "tcp_fin_wait",     "tcp_closed",        "udp_first_packet", "udp_single",
            "udp_multiple",     "icmp_first_packet", "icmp_error_reply", "other_first_packet",
            "other_single",     "other_multiple"};
        json t = json::object();
        for (size_t i = 0; i < w::kTimeoutCount; ++i)
            t[kNames[i]] = (*f.timeouts)[i];
        settings["timeouts"] = t;
    }
    if (f.dns)
        settings["dns"] = {{"ttl_flag", f.dns->first}, {"ttl", f.dns->second}};
    char mac[24];
    std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", f.mac[0], f.mac[1], f.mac[2],
                  f.mac[3], f.mac[4], f.mac[5]);
    json out = {{"filter", name},
                {"vif", f.vif},
                {"lsp", f.lsp},
                {"agent", f.agent},
                {"mac", mac},
                {"imported", (f.flags & w::kFilterImported) != 0},
                {"apply_count", f.applyCount},
                {"roots", f.config.roots},
                {"rules", rules},
                {"rule_sets", ruleSets},
                {"addr_sets", sets},
                {"containers", containers},
                {"settings", settings}};
    // The shared filter holds the device's IP-reputation chunks.
    if (name == w::kSharedAddrSetFilter)
        out["ip_reputation_chunks"] = state.ChunksJson();
    return out;
}

}  // namespace ozy::dpemu::tarp
