#include "dataplane/VdrBuilders.h"

#include <arpa/inet.h>

#include <algorithm>

#include "runtime/Logger.h"

namespace CfgAgent::vdr {

namespace {

// Text that must fit a fixed field whole (names that identify something, UUID texts).
bool Fits(const std::string& text, size_t width, const char* what) {
    if (text.size() > width) {
        CFG_ERROR_CODE("LCP00905", "VDR: %1 \"%2\" is longer than %3 bytes", what, text, width);
        return false;
    }
    return true;
}

bool ValidPrefix(const IpPrefix& p, const char* what) {
    if ((p.addr.size == 4 && p.length <= 32) || (p.addr.size == 16 && p.length <= 128)) {
        return true;
    }
    CFG_ERROR_CODE("LCP00905", "VDR: %1 %2/%3 is not a valid prefix", what, IpText(p.addr),
                   p.length);
    return false;
}

void Addr(DpMsgWriter& w, const IpAddr& ip) {
    size_t n = std::min<size_t>(ip.size, ip.bytes.size());
    w.U8(static_cast<uint8_t>(n)).Bytes(ip.bytes.data(), n).Zeros(16 - n);
}

// A display name: at most 63 characters, NUL padded to 64.
void DisplayName(DpMsgWriter& w, const std::string& text) {
    w.FixedString(std::string_view(text).substr(0, kNameSize - 1), kNameSize);
}

// The Update header and the head of its single non-route element.
DpMsgWriter UpdateWithElement(uint32_t vdrId, uint8_t type, uint8_t op, size_t bodySize) {
    size_t elemLen = kElemBodyOffset + bodySize;
    DpMsgWriter w(kMsgUpdate, kUpdateHeaderSize + elemLen);
    w.Be32(vdrId).Be32(1);
    w.U8(static_cast<uint8_t>(elemLen)).U8(kElemVersion).U8(type).U8(op);
    w.Be16(static_cast<uint16_t>(elemLen));
    return w;
}

bool TooLarge(size_t total, const char* what) {
    if (total > kDpMaxMsgSize) {
        CFG_ERROR_CODE("LCP00905", "VDR: %1 needs %2 bytes, more than one message holds", what,
                       total);
        return true;
    }
    return false;
}

size_t NextHopSize(uint8_t family) {
    return family == 4 ? kNextHopSizeV4 : kNextHopSizeV6;
}

bool CheckHops(const std::vector<NextHopSpec>& hops, uint8_t family) {
    for (const NextHopSpec& h : hops) {
        if (h.ip.size != 0 && h.ip.size != family) {
            CFG_ERROR_CODE("LCP00905", "VDR: next hop %1 is not of the route's family",
                           IpText(h.ip));
            return false;
        }
    }
    return true;
}

void NextHop(DpMsgWriter& w, const NextHopSpec& h, uint8_t family) {
    w.U8(h.type);
    DisplayName(w, h.egress);
    w.U8(family);
    if (h.ip.size == family)
        w.Bytes(h.ip.bytes.data(), family);
    else
        w.Zeros(family);
}

}  // namespace

IpAddr IpV4(uint32_t hostOrder) {
    IpAddr ip;
    ip.size = 4;
    StoreBe32(ip.bytes.data(), hostOrder);
    return ip;
}

IpAddr IpV6(const uint8_t* sixteen) {
    IpAddr ip;
    ip.size = 16;
    std::copy(sixteen, sixteen + 16, ip.bytes.begin());
    return ip;
}

std::string IpText(const IpAddr& ip) {
    if (ip.size != 4 && ip.size != 16)
        return std::string();
    char buf[INET6_ADDRSTRLEN];
    if (inet_ntop(ip.size == 4 ? AF_INET : AF_INET6, ip.bytes.data(), buf, sizeof buf) == nullptr)
        return std::string();
    return buf;
}

std::string PrefixText(const IpPrefix& prefix) {
    return IpText(prefix.addr) + "/" + std::to_string(prefix.length);
}

// --- routes ---

namespace {

DpMsg BuildRoute(uint32_t vdrId, uint8_t op, const IpPrefix& prefix,
                 const std::vector<NextHopSpec>& hops) {
    if (!ValidPrefix(prefix, "route"))
        return DpMsg();
    const uint8_t family = prefix.addr.size;
    const size_t maxHops = family == 4 ? kMaxNextHopsV4 : kMaxNextHopsV6;
    if (hops.size() > maxHops) {
        CFG_ERROR_CODE("LCP00905",
                       "VDR: route %1 has %2 next hops, more than the %3 one message holds",
                       PrefixText(prefix), hops.size(), maxHops);
        return DpMsg();
    }
    if (!CheckHops(hops, family))
        return DpMsg();
    const size_t e = NextHopSize(family);
    const size_t elemLen = (family == 4 ? kRouteFixedV4 : kRouteFixedV6) + e * hops.size();
    DpMsgWriter w(kMsgUpdate, kUpdateHeaderSize + elemLen);
    w.Be32(vdrId).Be32(1);
    w.U8(static_cast<uint8_t>(elemLen))
        .U8(kElemVersion)
        .U8(family == 4 ? kElemRouteV4 : kElemRouteV6)
        .U8(op)
        .Be16(0)
        .U8(prefix.length)
        .Bytes(prefix.addr.bytes.data(), family)
        .U8(kNextHopListMarker)
        .U8(static_cast<uint8_t>(4 + e * hops.size()))
        .Be16(static_cast<uint16_t>(hops.size()));
    for (const NextHopSpec& h : hops)
        NextHop(w, h, family);
    return w.Finish();
}

}  // namespace

DpMsg BuildRouteAdd(uint32_t vdrId, const IpPrefix& prefix, const std::vector<NextHopSpec>& hops) {
    return BuildRoute(vdrId, kOpAdd, prefix, hops);
}

DpMsg BuildRouteDelete(uint32_t vdrId, const IpPrefix& prefix) {
    return BuildRoute(vdrId, kOpDelete, prefix, {});
}

DpMsg BuildNextHopUpdate(uint32_t vdrId, const IpPrefix& prefix,
                         const std::vector<NextHopSpec>& added,
                         const std::vector<NextHopSpec>& deleted) {
    if (!ValidPrefix(prefix, "next-hop update") || !CheckHops(added, prefix.addr.size) ||
        !CheckHops(deleted, prefix.addr.size))
        return DpMsg();
    const uint8_t family = prefix.addr.size;
    const size_t body = kNhUpdateFixedSize + NextHopSize(family) * (added.size() + deleted.size());
    if (TooLarge(kUpdateHeaderSize + kElemBodyOffset + body, "next-hop update") ||
        added.size() > 0xFFFF || deleted.size() > 0xFFFF)
        return DpMsg();
    DpMsgWriter w = UpdateWithElement(vdrId, kElemNextHopUpdate, kOpUpdate, body);
    w.U8(prefix.length);
    Addr(w, prefix.addr);
    w.Be16(static_cast<uint16_t>(added.size())).Be16(static_cast<uint16_t>(deleted.size()));
    for (const NextHopSpec& h : added)
        NextHop(w, h, family);
    for (const NextHopSpec& h : deleted)
        NextHop(w, h, family);
    return w.Finish();
}

// --- router instance, LIFs ---

DpMsg BuildInstanceAdd(uint32_t vdrId, const InstanceSpec& s) {
    DpMsgWriter w = UpdateWithElement(vdrId, kElemInstance, kOpAdd, kInstanceBodySize);
    DisplayName(w, s.name);
    w.U8(s.routerType)
        .U8(s.dadMode)
        .Be32(s.dadWaitTime)
        .Be32(s.dadMaxRetries)
        .U8(s.raMode)
        .U8(s.raHopLimit)
        .Be32(s.raInterval)
        .Be32(s.routerLifetime);
    return w.Finish();
}

DpMsg BuildInstanceDelete(uint32_t vdrId) {
    return UpdateWithElement(vdrId, kElemInstance, kOpDelete, 0).Finish();
}

DpMsg BuildLifAdd(uint32_t vdrId, const LifSpec& s) {
    if (!Fits(s.name, kNameSize - 1, "LIF name") || !Fits(s.dvsUuid, kUuidTextSize, "DVS UUID") ||
        !Fits(s.lsUuid, kUuidTextSize, "logical switch UUID"))
        return DpMsg();
    if (s.ips.size() > 0xFF) {
        CFG_ERROR_CODE("LCP00905", "VDR: LIF %1 has %2 addresses", s.name, s.ips.size());
        return DpMsg();
    }
    size_t body = kLifFixedSize;
    body += (s.ips.size() + s.raRoutes.size()) * (kDpTlvHeaderSize + kLifIpSize);
    body += (s.dhcpRelays.size() + s.raDnsServers.size()) * (kDpTlvHeaderSize + kAddrEntrySize);
    body += s.ra.present ? kDpTlvHeaderSize + kRaSettingsSize : 0;
    body += s.prefixLists.size() * (kDpTlvHeaderSize + kPrefixListNhSize);
    for (const std::string& d : s.raDomains) {
        if (d.empty() || d.size() > kMaxDomainSize) {
            CFG_ERROR_CODE("LCP00905", "VDR: LIF %1 has a domain name of %2 bytes", s.name,
                           d.size());
            return DpMsg();
        }
        body += kDpTlvHeaderSize + d.size();
    }
    if (TooLarge(kUpdateHeaderSize + kElemBodyOffset + body, "LIF"))
        return DpMsg();
    DpMsgWriter w = UpdateWithElement(vdrId, kElemLif, kOpAdd, body);
    w.FixedString(s.name, kNameSize)
        .U8(s.lifType)
        .U8(s.flags)
        .U8(static_cast<uint8_t>(s.ips.size()))
        .U8(s.urpfMode)
        .Be32(s.lifId)
        .Be32(s.mtu)
        .Be32(s.vni)
        .Be16(s.vlan)
        .U8(s.replicationMode)
        .U8(s.linkType)
        .U8(s.linkedRouter ? 1 : 0)
        .Be32(s.linkedVdrId)
        .Bytes(s.mac.data(), kMacSize)
        .FixedString(s.dvsUuid, kUuidTextSize)
        .FixedString(s.lsUuid, kUuidTextSize);
    Addr(w, s.mcastIp);
    auto ipSub = [&](uint16_t type, const LifIp& ip) {
        w.Be16(type).Be16(static_cast<uint16_t>(kDpTlvHeaderSize + kLifIpSize));
        Addr(w, ip.ip);
        w.U8(ip.prefixLength);
    };
    auto addrSub = [&](uint16_t type, const IpAddr& ip) {
        w.Be16(type).Be16(static_cast<uint16_t>(kDpTlvHeaderSize + kAddrEntrySize));
        Addr(w, ip);
    };
    for (const LifIp& ip : s.ips)
        ipSub(kLifIp, ip);
    for (const IpAddr& ip : s.dhcpRelays)
        addrSub(kLifDhcpRelay, ip);
    if (s.ra.present) {
        w.Be16(kLifRaSettings)
            .Be16(static_cast<uint16_t>(kDpTlvHeaderSize + kRaSettingsSize))
            .U8(s.ra.managed)
            .U8(s.ra.otherConfig)
            .Be32(s.ra.validLifetime)
            .Be32(s.ra.preferredLifetime);
    }
    for (const IpAddr& ip : s.raDnsServers)
        addrSub(kLifRaDnsServer, ip);
    for (const std::string& d : s.raDomains)
        w.Tlv(kLifRaDomain, d.data(), d.size());
    for (const LifIp& ip : s.raRoutes)
        ipSub(kLifRaRoute, ip);
    for (const PrefixListNextHop& p : s.prefixLists) {
        w.Be16(kLifPrefixListNh)
            .Be16(static_cast<uint16_t>(kDpTlvHeaderSize + kPrefixListNhSize))
            .Be32(p.index);
        Addr(w, p.nextHop);
    }
    return w.Finish();
}

DpMsg BuildLifDelete(uint32_t vdrId, const std::string& name) {
    if (!Fits(name, kNameSize - 1, "LIF name"))
        return DpMsg();
    DpMsgWriter w = UpdateWithElement(vdrId, kElemLif, kOpDelete, kNameSize);
    w.FixedString(name, kNameSize);
    return w.Finish();
}

// --- multicast, ARP limit, prefix lists, global, bridge endpoints, DAD ---

DpMsg BuildMcastConfig(uint32_t vdrId, const McastConfigSpec& s) {
    DpMsgWriter w = UpdateWithElement(vdrId, kElemMcastConfig, kOpAdd, kMcastConfigBodySize);
    w.U8(s.enabled ? 1 : 0).U8(s.igmpVersion).U8(s.replicationRange.length);
    Addr(w, s.replicationRange.addr);
    return w.Finish();
}

DpMsg BuildMcastConfigDelete(uint32_t vdrId) {
    return UpdateWithElement(vdrId, kElemMcastConfig, kOpDelete, 0).Finish();
}

DpMsg BuildMcastRouteAdd(uint32_t vdrId, const IpPrefix& group,
                         const std::vector<McastNextHop>& hops) {
    if (!ValidPrefix(group, "multicast group"))
        return DpMsg();
    const size_t body = kMcastRouteKeySize + 2 + kMcastNextHopSize * hops.size();
    if (TooLarge(kUpdateHeaderSize + kElemBodyOffset + body, "multicast route"))
        return DpMsg();
    DpMsgWriter w = UpdateWithElement(vdrId, kElemMcastRoute, kOpAdd, body);
    w.U8(group.length);
    Addr(w, group.addr);
    w.Be16(static_cast<uint16_t>(hops.size()));
    for (const McastNextHop& h : hops) {
        DisplayName(w, h.egress);
        Addr(w, h.ip);
    }
    return w.Finish();
}

DpMsg BuildMcastRouteDelete(uint32_t vdrId, const IpPrefix& group) {
    if (!ValidPrefix(group, "multicast group"))
        return DpMsg();
    DpMsgWriter w = UpdateWithElement(vdrId, kElemMcastRoute, kOpDelete, kMcastRouteKeySize);
    w.U8(group.length);
    Addr(w, group.addr);
    return w.Finish();
}

DpMsg BuildArpLimit(uint32_t vdrId, uint32_t limit, bool overridden) {
    DpMsgWriter w = UpdateWithElement(vdrId, kElemArpLimit, kOpAdd, kArpLimitBodySize);
    w.Be32(limit).U8(overridden ? 1 : 0);
    return w.Finish();
}

DpMsg BuildPrefixListAdd(uint32_t index, const std::string& name,
                         const std::vector<PrefixEntrySpec>& entries) {
    const size_t body = kPrefixListFixedSize + kPrefixEntrySize * entries.size();
    if (TooLarge(kUpdateHeaderSize + kElemBodyOffset + body, "prefix list"))
        return DpMsg();
    for (const PrefixEntrySpec& e : entries) {
        if (!ValidPrefix(e.prefix, "prefix-list entry"))
            return DpMsg();
    }
    DpMsgWriter w = UpdateWithElement(0, kElemPrefixList, kOpAdd, body);
    w.Be32(index);
    DisplayName(w, name);
    w.Be16(static_cast<uint16_t>(entries.size()));
    for (const PrefixEntrySpec& e : entries) {
        Addr(w, e.prefix.addr);
        w.U8(e.prefix.length).U8(e.ge).U8(e.le).U8(e.action);
    }
    return w.Finish();
}

DpMsg BuildPrefixListDelete(uint32_t index) {
    DpMsgWriter w = UpdateWithElement(0, kElemPrefixList, kOpDelete, 4);
    w.Be32(index);
    return w.Finish();
}

DpMsg BuildGlobalUpdate(const GlobalSpec& s) {
    DpMsgWriter w = UpdateWithElement(0, kElemGlobal, kOpUpdate, kGlobalBodySize);
    w.U8(s.forwardingMode).U8(s.ecmpMode).Be32(s.lrpMtu).Bytes(s.vdrMac.data(), kMacSize);
    return w.Finish();
}

DpMsg BuildBridgeEndpointAdd(const BridgeEndpointSpec& s) {
    if (!Fits(s.name, kNameSize - 1, "bridge endpoint name") ||
        !Fits(s.lsUuid, kUuidTextSize, "logical switch UUID") ||
        !Fits(s.clusterUuid, kUuidTextSize, "bridge cluster UUID") ||
        !Fits(s.dvsUuid, kUuidTextSize, "DVS UUID"))
        return DpMsg();
    DpMsgWriter w = UpdateWithElement(0, kElemBridgeEndpoint, kOpAdd, kBridgeBodySize);
    w.FixedString(s.name, kNameSize)
        .FixedString(s.lsUuid, kUuidTextSize)
        .FixedString(s.clusterUuid, kUuidTextSize)
        .FixedString(s.dvsUuid, kUuidTextSize)
        .Be32(s.endpointId)
        .Be16(s.vlan)
        .U8(s.vniType)
        .Be32(s.vni)
        .U8(s.guestVlan ? 1 : 0)
        .U8(s.ha ? 1 : 0);
    return w.Finish();
}

DpMsg BuildBridgeEndpointDelete(const std::string& name) {
    if (!Fits(name, kNameSize - 1, "bridge endpoint name"))
        return DpMsg();
    DpMsgWriter w = UpdateWithElement(0, kElemBridgeEndpoint, kOpDelete, kNameSize);
    w.FixedString(name, kNameSize);
    return w.Finish();
}

DpMsg BuildDadStatusUpdate(uint32_t vdrId, const std::string& lifName,
                           const std::string& versionUuid, const std::vector<DadEntry>& entries) {
    if (!Fits(lifName, kNameSize - 1, "LIF name") ||
        !Fits(versionUuid, kUuidTextSize, "DAD version"))
        return DpMsg();
    const size_t body = kDadUpdateFixedSize + kDadEntrySize * entries.size();
    if (TooLarge(kUpdateHeaderSize + kElemBodyOffset + body, "DAD status update"))
        return DpMsg();
    DpMsgWriter w = UpdateWithElement(vdrId, kElemDadStatus, kOpUpdate, body);
    w.FixedString(lifName, kNameSize)
        .FixedString(versionUuid, kUuidTextSize)
        .Be16(static_cast<uint16_t>(entries.size()));
    for (const DadEntry& e : entries) {
        Addr(w, e.ip);
        w.U8(e.status);
    }
    return w.Finish();
}

std::vector<DpMsg> BuildArpTableUpdate(uint32_t vdrId, const std::string& tableUuid, bool add,
                                       const std::vector<ArpEntrySpec>& entries) {
    std::vector<DpMsg> out;
    if (!Fits(tableUuid, kArpUuidFieldSize, "ARP table UUID"))
        return out;
    for (size_t pos = 0; pos < entries.size(); pos += kMaxArpEntries) {
        const size_t n = std::min(kMaxArpEntries, entries.size() - pos);
        DpMsgWriter w(kMsgArpTableUpdate, kArpHeaderSize + kArpEntrySize * n);
        w.Be32(vdrId)
            .FixedString(tableUuid, kArpUuidFieldSize)
            .Be16(static_cast<uint16_t>(add ? 0 : n))
            .Be16(static_cast<uint16_t>(add ? n : 0));
        for (size_t i = pos; i < pos + n; ++i) {
            Addr(w, entries[i].ip);
            w.Bytes(entries[i].mac.data(), kMacSize);
        }
        DpMsg msg = w.Finish();
        if (msg.empty())
            return {};
        out.push_back(std::move(msg));
    }
    return out;
}

DpMsg BuildFullSyncEnd() {
    return DpMsgWriter(kMsgFullSyncEnd, kDpMsgHeaderSize).Finish();
}

// --- dataplane to agent ---

DpMsg BuildFullSyncRequest(uint8_t scope, uint32_t vdrId) {
    DpMsgWriter w(kMsgDataplane, kFsrSize);
    w.Be32(kSubFullSyncRequest).Zeros(kFsrVdrIdOffset - 8).Be32(vdrId);
    w.Zeros(kFsrScopeOffset - w.Position()).U8(scope).Zeros(kFsrSize - kFsrScopeOffset - 1);
    return w.Finish();
}

DpMsg BuildDadReport(const DadReportSpec& s) {
    if (!Fits(s.lifName, kNameSize - 1, "LIF name") ||
        !Fits(s.versionUuid, kUuidTextSize, "DAD version") ||
        !Fits(s.lsUuid, kUuidTextSize, "logical switch UUID"))
        return DpMsg();
    const size_t total = kDadReportFixedSize + kDadEntrySize * s.entries.size();
    if (TooLarge(total, "DAD report"))
        return DpMsg();
    DpMsgWriter w(kMsgDataplane, total);
    w.Be32(kSubDadReport)
        .Zeros(kDadVdrIdOffset - 8)
        .Be32(s.vdrId)
        .FixedString(s.lifName, kNameSize)
        .FixedString(s.versionUuid, kUuidTextSize)
        .FixedString(s.lsUuid, kUuidTextSize)
        .Be16(static_cast<uint16_t>(s.entries.size()));
    for (const DadEntry& e : s.entries) {
        Addr(w, e.ip);
        w.U8(e.status);
    }
    return w.Finish();
}

}  // namespace CfgAgent::vdr
