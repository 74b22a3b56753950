#include "dfw/DfwMsgParser.h"

#include <string>

#include "proto/cairndb_firewall.pb.h"
#include "proto/lcp_firewall.pb.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;
namespace fw = orvane::ozy::firewall;

namespace {

constexpr uint32_t kMaxPort = 65535;
constexpr uint32_t kMaxIcmp = 255;

template <class List>
bool OverCap(const List& l, size_t cap) {
    return static_cast<size_t>(l.size()) > cap;
}

std::string Count(const char* what, size_t n, size_t cap) {
    return std::string(what) + ": " + std::to_string(n) + " entries, at most " +
           std::to_string(cap);
}

std::string CheckAddressList(const pb::RuleAddressListMsg& l, const char* side) {
    constexpr size_t cap = DfwMsgParser::kMaxListEntries;
    if (OverCap(l.container_ids(), cap))
        return Count((std::string(side) + " containers").c_str(), l.container_ids_size(), cap);
    if (OverCap(l.ip_addresses(), cap))
        return Count((std::string(side) + " addresses").c_str(), l.ip_addresses_size(), cap);
    if (OverCap(l.mac_addresses(), cap))
        return Count((std::string(side) + " MAC addresses").c_str(), l.mac_addresses_size(), cap);
    for (const pb::FirewallAddressMsg& a : l.ip_addresses()) {
        std::string why = DfwMsgParser::CheckAddress(a);
        if (!why.empty())
            return std::string(side) + ": " + why;
    }
    return {};
}

std::string CheckPorts(const google::protobuf::RepeatedPtrField<pb::PortRangeMsg>& ports,
                       const char* which) {
    if (OverCap(ports, DfwMsgParser::kMaxListEntries))
        return Count(which, ports.size(), DfwMsgParser::kMaxListEntries);
    for (const pb::PortRangeMsg& p : ports) {
        if (!p.has_start())
            return std::string(which) + ": a range without start";
        uint32_t end = p.has_end() ? p.end() : p.start();
        if (p.start() > kMaxPort || end > kMaxPort)
            return std::string(which) + ": port over 65535";
        if (p.start() > end)
            return std::string(which) + ": range start " + std::to_string(p.start()) +
                   " above end " + std::to_string(end);
    }
    return {};
}

std::string CheckService(const pb::ProtocolSpecMsg& s) {
    if (s.has_icmp() && ((s.icmp().has_type() && s.icmp().type() > kMaxIcmp) ||
                         (s.icmp().has_code() && s.icmp().code() > kMaxIcmp)))
        return "ICMP type or code over 255";
    if (s.has_tcp_flags() && (s.tcp_flags().flags() > 0xFF || s.tcp_flags().mask() > 0xFF))
        return "TCP flags over 8 bits";
    if (s.ether_protocol() > 0xFFFF || s.ip_protocol() > 0xFF)
        return "protocol out of range";
    std::string why = CheckPorts(s.source_ports(), "source ports");
    if (why.empty())
        why = CheckPorts(s.destination_ports(), "destination ports");
    return why;
}

}  // namespace

std::string DfwMsgParser::CheckAddress(const pb::FirewallAddressMsg& a) {
    switch (a.ip().address_case()) {
        case pb::IpAddressMsg::kIpv4:
            if (a.has_prefix_length() && a.prefix_length() > 32)
                return "IPv4 prefix " + std::to_string(a.prefix_length()) + " over 32";
            return {};
        case pb::IpAddressMsg::kIpv6:
            if (a.ip().ipv6().size() != 16)
                return "IPv6 address of " + std::to_string(a.ip().ipv6().size()) + " bytes";
            if (a.has_prefix_length() && a.prefix_length() > 128)
                return "IPv6 prefix " + std::to_string(a.prefix_length()) + " over 128";
            return {};
        default:
            return "address without IPv4 or IPv6 value";
    }
}

std::string DfwMsgParser::CheckRule(const fw::LcpRuleMsg& r) {
    if (OverCap(r.services(), kMaxListEntries))
        return Count("services", r.services_size(), kMaxListEntries);
    if (OverCap(r.context_profile_ids(), kMaxListEntries))
        return Count("context profiles", r.context_profile_ids_size(), kMaxListEntries);
    if (OverCap(r.ids_profile_ids(), kMaxListEntries))
        return Count("IDS profiles", r.ids_profile_ids_size(), kMaxListEntries);
    if (OverCap(r.applied_to().logical_switch_port_ids(), kMaxListEntries) ||
        OverCap(r.applied_to().container_ids(), kMaxListEntries))
        return "applied-to: over " + std::to_string(kMaxListEntries) + " entries";
    if (r.tag().size() > kMaxText)
        return "tag of " + std::to_string(r.tag().size()) + " bytes";
    for (const pb::ProtocolSpecMsg& s : r.services()) {
        std::string why = CheckService(s);
        if (!why.empty())
            return why;
    }
    const struct {
        const pb::RuleAddressListMsg& list;
        const char* name;
    } sides[] = {{r.source(), "source"},
                 {r.destination(), "destination"},
                 {r.extended_source(), "extended source"},
                 {r.extended_source_ip(), "extended source IP"},
                 {r.exclude_source(), "excluded source"},
                 {r.exclude_destination(), "excluded destination"}};
    for (const auto& s : sides) {
        std::string why = CheckAddressList(s.list, s.name);
        if (!why.empty())
            return why;
    }
    if (r.nat_spec().port_start() > kMaxPort || r.nat_spec().port_end() > kMaxPort ||
        r.nat_spec().nat_type() > 0xFFFF)
        return "NAT field over 16 bits";
    if (r.nat_spec().address().size() > kMaxText)
        return "NAT address of " + std::to_string(r.nat_spec().address().size()) + " bytes";
    return {};
}

std::string DfwMsgParser::CheckContainer(const fw::LcpContainerMsg& c) {
    if (OverCap(c.ip_addresses(), kMaxContainerEntries))
        return Count("addresses", c.ip_addresses_size(), kMaxContainerEntries);
    if (OverCap(c.excluded_ip_addresses(), kMaxContainerEntries))
        return Count("excluded addresses", c.excluded_ip_addresses_size(), kMaxContainerEntries);
    if (OverCap(c.mac_addresses(), kMaxContainerEntries))
        return Count("MAC addresses", c.mac_addresses_size(), kMaxContainerEntries);
    if (OverCap(c.identities(), kMaxContainerEntries))
        return Count("identities", c.identities_size(), kMaxContainerEntries);
    if (OverCap(c.attributes(), kMaxListEntries))
        return Count("attributes", c.attributes_size(), kMaxListEntries);
    for (const auto& list : {&c.ip_addresses(), &c.excluded_ip_addresses()}) {
        for (const pb::FirewallAddressMsg& a : *list) {
            std::string why = CheckAddress(a);
            if (!why.empty())
                return why;
        }
    }
    for (const fw::LcpSingleAttrKeyValueMsg& a : c.attributes()) {
        if (a.key().size() > kMaxText || a.value().size() > kMaxText)
            return "attribute " + a.key().substr(0, 64) + " over " + std::to_string(kMaxText) +
                   " bytes";
    }
    for (const std::string& id : c.identities()) {
        if (id.size() > kMaxText)
            return "identity of " + std::to_string(id.size()) + " bytes";
    }
    return {};
}

std::string DfwMsgParser::CheckChunk(const fw::LcpIpReputationConfigMsg& c) {
    size_t bytes = c.entries().size();
    if (bytes % kChunkEntrySize != 0)
        return "entries of " + std::to_string(bytes) + " bytes, not a multiple of 16";
    if (bytes / kChunkEntrySize > kMaxChunkEntries)
        return Count("chunk", bytes / kChunkEntrySize, kMaxChunkEntries);
    return {};
}

DfwMsgParser::ProfileOutcome DfwMsgParser::ProfileToContainer(const pb::ContextProfileMsg& p,
                                                              fw::LcpContainerMsg* out,
                                                              std::vector<std::string>* droppedKeys,
                                                              std::string* why) {
    if (OverCap(p.attributes(), kMaxListEntries)) {
        *why = Count("attributes", p.attributes_size(), kMaxListEntries);
        return ProfileOutcome::kRefused;
    }
    size_t members = 0;
    for (const pb::ContextProfileAttributeMsg& a : p.attributes()) {
        if (a.key() == "IDS" || a.key() == "MPS")
            return ProfileOutcome::kSkipped;
        if (a.key().size() > kMaxText) {
            *why = "attribute key of " + std::to_string(a.key().size()) + " bytes";
            return ProfileOutcome::kRefused;
        }
        members += static_cast<size_t>(a.values_size());
        for (const std::string& v : a.values()) {
            if (v.size() > kMaxText) {
                *why = "attribute " + a.key() + ": value of " + std::to_string(v.size()) + " bytes";
                return ProfileOutcome::kRefused;
            }
        }
    }
    if (members > kMaxListEntries) {
        *why = Count("attribute values", members, kMaxListEntries);
        return ProfileOutcome::kRefused;
    }
    out->Clear();
    *out->mutable_id() = p.id();
    if (p.has_name())
        out->set_name(p.name());
    for (const pb::ContextProfileAttributeMsg& a : p.attributes()) {
        if (a.key().empty() || a.values().empty()) {
            droppedKeys->push_back(a.key());
            continue;
        }
        for (const std::string& v : a.values()) {
            fw::LcpSingleAttrKeyValueMsg* kv = out->add_attributes();
            kv->set_key(a.key());
            kv->set_value(v);
        }
    }
    return ProfileOutcome::kContainer;
}

}  // namespace CfgAgent
