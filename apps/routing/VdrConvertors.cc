#include "apps/routing/VdrConvertors.h"

#include <algorithm>

#include "proto/UuidText.h"
#include "proto/cairndb_routing.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_system.pb.h"
#include "proto/cairndb_types.pb.h"
#include "runtime/Logger.h"
#include "statecache/IdText.h"

namespace CfgAgent {

namespace {

// Schema codes of a router port's type.
enum LrpType : uint32_t {
    kLrpDownlink = 1,
    kLrpUplink = 2,
    kLrpRouterLink = 3,
    kLrpLoopback = 4,
};
// Schema codes of the L3 forwarding mode and of prefix-list actions.
enum ForwardingModeCode : uint32_t { kModeIpv4Only = 1, kModeIpv4AndIpv6 = 2 };
enum PrefixActionCode : uint32_t { kPermit = 1, kDeny = 2 };

constexpr size_t kMaxIpv6PerLrp = 2;

uint8_t Clamp8(uint32_t v) {
    return static_cast<uint8_t>(std::min<uint32_t>(v, 0xFF));
}

std::string UuidTextOf(const pb::UuidMsg& u) {
    return ozy::cairndb::UuidText(u.left(), u.right());
}

void AddServer(const pb::IpAddressMsg& ip, const char* what, std::vector<vdr::IpAddr>* out) {
    vdr::IpAddr a;
    std::string reason;
    if (!ToVdrIp(ip, &a, &reason)) {
        CFG_ERROR_CODE("LCP00905", "VDRPortAddPB2TLV, %1  invalid reason : %2", what, reason);
        return;
    }
    out->push_back(a);
}

}  // namespace

bool ToVdrIp(const pb::IpAddressMsg& in, vdr::IpAddr* out, std::string* reason) {
    switch (in.address_case()) {
        case pb::IpAddressMsg::kIpv4:
            *out = vdr::IpV4(in.ipv4());
            return true;
        case pb::IpAddressMsg::kIpv6:
            if (in.ipv6().size() != 16) {
                *reason = "IPv6 address of " + std::to_string(in.ipv6().size()) + " bytes";
                return false;
            }
            *out = vdr::IpV6(reinterpret_cast<const uint8_t*>(in.ipv6().data()));
            return true;
        default:
            *reason = "no address";
            return false;
    }
}

bool ToVdrPrefix(const pb::IpPrefixMsg& in, vdr::IpPrefix* out, const char* what) {
    std::string reason;
    if (!ToVdrIp(in.address(), &out->addr, &reason)) {
        CFG_ERROR_CODE("LCP00905", "%1 invalid reason : %2", what, reason);
        return false;
    }
    const uint32_t max = out->addr.size == 4 ? 32 : 128;
    if (in.prefix_length() > max) {
        CFG_ERROR_CODE("LCP00905", "%1 invalid reason : prefix length %2 over %3", what,
                       in.prefix_length(), max);
        return false;
    }
    out->length = static_cast<uint8_t>(in.prefix_length());
    return true;
}

// --- value mappings ---

bool VDRGetTLVLifType(uint32_t type, uint8_t* out) {
    switch (type) {
        case kLrpDownlink:
            *out = vdr::kLifDownlink;
            return true;
        case kLrpUplink:
            *out = vdr::kLifUplink;
            return true;
        case kLrpRouterLink:
            *out = vdr::kLifRouterLink;
            return true;
        case kLrpLoopback:
            *out = vdr::kLifLoopback;
            return true;
        default:
            CFG_ERROR_CODE("LCP00905", "VDRGetTLVLifType: Unexpected type %1", type);
            return false;
    }
}

bool VDRGetTLVLifFlags(uint32_t type, uint8_t* out) {
    switch (type) {
        case kLrpDownlink:
            *out = vdr::kLifFlagDownlink;
            return true;
        case kLrpUplink:
            *out = vdr::kLifFlagUplink;
            return true;
        case kLrpRouterLink:
            *out = vdr::kLifFlagRouterLink;
            return true;
        case kLrpLoopback:
            // A loopback LIF is sent without flags.
            CFG_DEBUG("VDRGetTLVLifFlags: no corresponding type for LOOPBACK yet.");
            *out = 0;
            return true;
        default:
            CFG_ERROR_CODE("LCP00905", "VDRGetTLVLifFlags: Unexpected type %1", type);
            return false;
    }
}

uint8_t VDRGetNextHopType(const pb::FibNextHopMsg& nh) {
    if (nh.blackhole())
        return vdr::kNextHopBlackhole;
    return nh.has_ip() && nh.ip().address_case() != pb::IpAddressMsg::ADDRESS_NOT_SET
               ? vdr::kNextHopAddress
               : vdr::kNextHopInterface;
}

bool VDRGetRoutingPolicyType(uint32_t mode, uint8_t* out) {
    switch (mode) {
        case kModeIpv4Only:
            *out = vdr::kForwardIpv4;
            return true;
        case kModeIpv4AndIpv6:
            *out = vdr::kForwardIpv4Ipv6;
            return true;
        default:
            CFG_ERROR_CODE("LCP00905", "VDRGetRoutingPolicyType: Unexpected type %1", mode);
            return false;
    }
}

bool VDRGetTLVLifMulticastIp(const pb::IpAddressMsg& ip, vdr::IpAddr* out) {
    if (ip.address_case() != pb::IpAddressMsg::kIpv4 || (ip.ipv4() >> 28) != 0xE) {
        CFG_ERROR_CODE("LCP00905", "VDRGetTLVLifMulticastIp: Unexpected type %1",
                       ip.ShortDebugString());
        return false;
    }
    *out = vdr::IpV4(ip.ipv4());
    return true;
}

bool VDRGetPrefixAction(uint32_t action, uint8_t* out) {
    switch (action) {
        case kPermit:
            *out = vdr::kActionPermit;
            return true;
        case kDeny:
            *out = vdr::kActionDeny;
            return true;
        default:
            CFG_ERROR_CODE("LCP00905", "VDRGetPrefixAction: Unexpected type %1", action);
            return false;
    }
}

// --- converters ---

DpMsg VDRInsAddPB2TLV(uint32_t vdrId, const pb::LogRouterConfigMsg& lr,
                      const pb::DadProfileConfigMsg* dad, const pb::NdraProfileConfigMsg* ndra) {
    vdr::InstanceSpec s;
    s.name = lr.name();
    s.routerType = Clamp8(lr.type());
    if (dad != nullptr) {
        s.dadMode = Clamp8(dad->dad_mode());
        s.dadWaitTime = dad->wait_time();
        s.dadMaxRetries = dad->ns_retries();
    }
    if (ndra != nullptr) {
        s.raMode = Clamp8(ndra->ra_mode());
        s.raHopLimit = Clamp8(ndra->hop_limit());
        s.raInterval = ndra->ra_interval();
        s.routerLifetime = ndra->router_lifetime();
    }
    CFG_DEBUG("VDRInsAddPB2TLV->VdrInstanceEntry dadMode: %1, waitTime: %2, maxRetries: %3",
              s.dadMode, s.dadWaitTime, s.dadMaxRetries);
    return vdr::BuildInstanceAdd(vdrId, s);
}

bool VDRPortAddPB2TLV(const pb::LogRouterPortConfigMsg& lrp, const LifContext& ctx, LifBuild* out) {
    vdr::LifSpec& s = out->fields;
    if (!VDRGetTLVLifType(lrp.type(), &s.lifType) || !VDRGetTLVLifFlags(lrp.type(), &s.flags))
        return false;
    s.name = ctx.lifName;
    s.lifId = ctx.lifId;
    s.urpfMode = Clamp8(lrp.urpf_mode());
    s.mtu = lrp.mtu();
    s.vni = ctx.vni;
    s.vlan = ctx.vlan;
    s.replicationMode = ctx.replicationMode;
    s.linkType = Clamp8(lrp.has_link_type() ? lrp.link_type() : 1);
    s.linkedRouter = ctx.linkedRouter;
    s.linkedVdrId = ctx.linkedVdrId;
    for (size_t i = 0; i < vdr::kMacSize; ++i)
        s.mac[i] = static_cast<uint8_t>(lrp.mac() >> (8 * (vdr::kMacSize - 1 - i)));
    s.dvsUuid = ctx.dvsUuid;
    s.lsUuid = ctx.lsUuid;
    if (lrp.has_vxlan_mcast_ip())
        VDRGetTLVLifMulticastIp(lrp.vxlan_mcast_ip(), &s.mcastIp);

    size_t ipv4 = 0;
    for (const pb::IpPrefixMsg& p : lrp.ip_addresses()) {
        vdr::IpPrefix prefix;
        if (!ToVdrPrefix(p, &prefix, "VDRPortAddPB2TLV, lif ip"))
            continue;
        if (prefix.addr.size == 4 && ++ipv4 > 1) {
            CFG_WARN("Multiple IPv4 in IpSubnetAddressMsg. msg: %1", lrp.ShortDebugString());
            continue;
        }
        if (prefix.addr.size == 16 && out->v6.size() >= kMaxIpv6PerLrp) {
            CFG_ERROR_CODE("LCP00028",
                           "Not more than two  IPv6 in IpSubnetAddressMsg is supported. msg: %1",
                           lrp.ShortDebugString());
            return false;
        }
        vdr::LifIp ip{prefix.addr, prefix.length};
        (prefix.addr.size == 4 ? out->v4 : out->v6).push_back(ip);
    }
    s.ips = out->v4;
    s.ips.insert(s.ips.end(), out->v6.begin(), out->v6.end());
    for (const pb::IpAddressMsg& ip : lrp.dhcp_relay_servers()) {
        AddServer(ip, ip.address_case() == pb::IpAddressMsg::kIpv6 ? "serverIpv6" : "serverIpv4",
                  &s.dhcpRelays);
    }
    if (lrp.has_ipv6_ra()) {
        const pb::Ipv6RaSettingsMsg& ra = lrp.ipv6_ra();
        s.ra.present = true;
        s.ra.managed = ra.managed() ? 1 : 0;
        s.ra.otherConfig = ra.other_config() ? 1 : 0;
        s.ra.validLifetime = ra.valid_lifetime();
        s.ra.preferredLifetime = ra.preferred_lifetime();
        for (const pb::IpAddressMsg& ip : ra.dns_servers())
            AddServer(ip, "raDnsServer", &s.raDnsServers);
        for (const std::string& d : ra.domain_names()) {
            if (d.empty() || d.size() > vdr::kMaxDomainSize) {
                CFG_ERROR_CODE("LCP00905", "VDRPortAddPB2TLV, domain name of %1 bytes skipped",
                               d.size());
                continue;
            }
            s.raDomains.push_back(d);
        }
        for (const pb::IpPrefixMsg& p : ra.advertised_routes()) {
            vdr::IpPrefix prefix;
            if (ToVdrPrefix(p, &prefix, "VDRPortAddPB2TLV, ra route"))
                s.raRoutes.push_back(vdr::LifIp{prefix.addr, prefix.length});
        }
    }
    for (const pb::PrefixListNextHopMsg& pl : lrp.prefix_list_next_hops()) {
        const std::string listId = pl.prefix_list_id().SerializeAsString();
        vdr::PrefixListNextHop pair;
        if (!ctx.prefixIndex || !ctx.prefixIndex(listId, &pair.index))
            continue;  // logged by the resolver
        std::string reason;
        if (pl.has_next_hop() && !ToVdrIp(pl.next_hop(), &pair.nextHop, &reason)) {
            CFG_ERROR_CODE("LCP00905",
                           "VDRPortAddPB2TLV, prefix list next hop  invalid reason : %1", reason);
            continue;
        }
        s.prefixLists.push_back(pair);
        out->prefixListIds.push_back(listId);
    }
    return true;
}

bool VDRNextHopPB2TLV(const pb::FibNextHopMsg& nh, uint8_t family, const std::string& egress,
                      vdr::NextHopSpec* out) {
    out->type = VDRGetNextHopType(nh);
    out->egress = egress;
    out->ip = vdr::IpAddr();
    if (!egress.empty())
        CFG_DEBUG("  Egress Interface: %1", egress);
    if (out->type != vdr::kNextHopAddress)
        return true;
    std::string reason;
    if (!ToVdrIp(nh.ip(), &out->ip, &reason)) {
        CFG_ERROR_CODE("LCP00905", " VDRRouteAddPB2TLV, next_hop_ipv6  invalid reason : %1",
                       reason);
        return false;
    }
    if (out->ip.size != family) {
        CFG_ERROR_CODE("LCP00905",
                       "VDRRouteAddPB2TLV, next hop %1 is not of the route's family, skipped",
                       vdr::IpText(out->ip));
        return false;
    }
    return true;
}

DpMsg VDRRouteAddPB2TLV(uint32_t vdrId, const pb::IpPrefixMsg* prefix,
                        const std::vector<vdr::NextHopSpec>& hops) {
    if (prefix == nullptr) {
        CFG_WARN("VDRRouteAddPB2TLV, Received Route Update without any prefix, returning");
        return DpMsg();
    }
    vdr::IpPrefix p;
    if (!ToVdrPrefix(*prefix, &p, "VDRRouteAddPB2TLV, prefix"))
        return DpMsg();
    return vdr::BuildRouteAdd(vdrId, p, hops);
}

DpMsg VDRRouteNHUpdatePB2TLV(uint32_t vdrId, const vdr::IpPrefix& prefix,
                             const std::vector<vdr::NextHopSpec>& added,
                             const std::vector<vdr::NextHopSpec>& deleted) {
    return vdr::BuildNextHopUpdate(vdrId, prefix, added, deleted);
}

DpMsg VDRMulticastConfigPB2TLV(uint32_t vdrId, const pb::MulticastConfigMsg& mc) {
    vdr::McastConfigSpec s;
    s.enabled = mc.enabled();
    s.igmpVersion = Clamp8(mc.igmp_version());
    if (mc.has_replication_range() &&
        !ToVdrPrefix(mc.replication_range(), &s.replicationRange, "multicast replication range"))
        return DpMsg();
    return vdr::BuildMcastConfig(vdrId, s);
}

DpMsg VDRMulticastRouteAddPB2TLV(uint32_t vdrId, const vdr::IpPrefix& group,
                                 const std::vector<vdr::McastNextHop>& hops) {
    return vdr::BuildMcastRouteAdd(vdrId, group, hops);
}

bool VDRArpEntryPB2TLV(const pb::ArpEntryMsg& entry, vdr::ArpEntrySpec* out) {
    std::string reason;
    if (!ToVdrIp(entry.ip(), &out->ip, &reason)) {
        CFG_ERROR_CODE("LCP00905", "VDRArpUpdatePB2TLV, arp ip  invalid reason : %1", reason);
        return false;
    }
    for (size_t i = 0; i < vdr::kMacSize; ++i)
        out->mac[i] = static_cast<uint8_t>(entry.mac() >> (8 * (vdr::kMacSize - 1 - i)));
    return true;
}

std::vector<DpMsg> VDRArpTableUpdatePB2TLV(uint32_t vdrId, const std::string& tableUuid, bool add,
                                           const std::vector<vdr::ArpEntrySpec>& entries) {
    return vdr::BuildArpTableUpdate(vdrId, tableUuid, add, entries);
}

DpMsg VDRArpLimitAddPB2TLV(uint32_t vdrId, const pb::LogRouterConfigMsg& lr) {
    return vdr::BuildArpLimit(vdrId, lr.max_arp_entries(), lr.is_arp_limit_overridden());
}

DpMsg VDRPrefixListAddPB2TLV(uint32_t index, const pb::PrefixListMsg& list) {
    std::vector<vdr::PrefixEntrySpec> entries;
    entries.reserve(static_cast<size_t>(list.entries_size()));
    for (const pb::PrefixListEntryMsg& e : list.entries()) {
        vdr::PrefixEntrySpec s;
        if (!ToVdrPrefix(e.prefix(), &s.prefix, "VDRPrefixListAddPB2TLV, prefix") ||
            !VDRGetPrefixAction(e.action(), &s.action))
            continue;
        s.ge = Clamp8(e.ge());
        s.le = Clamp8(e.le());
        entries.push_back(s);
    }
    return vdr::BuildPrefixListAdd(index, list.name(), entries);
}

DpMsg VDRGlobalUpdatePB2TLV(const pb::GlobalConfigMsg& global) {
    vdr::GlobalSpec s;
    if (global.has_l3_forwarding_mode() &&
        !VDRGetRoutingPolicyType(global.l3_forwarding_mode(), &s.forwardingMode))
        return DpMsg();
    s.ecmpMode = Clamp8(global.ecmp_mode());
    s.lrpMtu = global.has_l3_mtu() ? global.l3_mtu() : global.mtu();
    for (size_t i = 0; i < vdr::kMacSize; ++i)
        s.vdrMac[i] = static_cast<uint8_t>(global.vdr_mac() >> (8 * (vdr::kMacSize - 1 - i)));
    return vdr::BuildGlobalUpdate(s);
}

DpMsg VDRBridgeEndpointAddPB2TLV(const std::string& name, const pb::BridgeEndpointMsg& be,
                                 const std::string& lsUuid, uint32_t vni,
                                 const std::string& dvsUuid) {
    vdr::BridgeEndpointSpec s;
    s.name = name;
    s.lsUuid = lsUuid;
    s.clusterUuid = be.has_cluster_id() ? UuidTextOf(be.cluster_id()) : std::string();
    s.dvsUuid = dvsUuid;
    s.endpointId = be.endpoint_id();
    if (be.vlan() > 4094) {
        CFG_ERROR_CODE("LCP00905", "VDRBridgeEndpointAddPB2TLV: VLAN %1 of %2 out of range",
                       be.vlan(), name);
        return DpMsg();
    }
    s.vlan = static_cast<uint16_t>(be.vlan());
    s.vniType = Clamp8(be.vni_type());
    s.vni = vni;
    s.guestVlan = be.guest_vlan();
    s.ha = be.ha();
    return vdr::BuildBridgeEndpointAdd(s);
}

DpMsg VDRBridgeEndpointDelPB2TLV(const std::string& name) {
    return vdr::BuildBridgeEndpointDelete(name);
}

std::vector<vdr::DadEntry> DadEntriesOf(const pb::LogRouterPortFibDadStateMsg& state) {
    std::vector<vdr::DadEntry> out;
    out.reserve(static_cast<size_t>(state.dad_status_size()));
    for (const pb::DadStatusEntryMsg& e : state.dad_status()) {
        vdr::DadEntry d;
        std::string reason;
        if (!ToVdrIp(e.ip(), &d.ip, &reason) || e.status() < vdr::kDadTentative ||
            e.status() > vdr::kDadDuplicated) {
            CFG_ERROR_CODE("LCP00905", "VDRDadStatusUpdatePB2TLV, entry %1 skipped",
                           e.ShortDebugString());
            continue;
        }
        d.status = static_cast<uint8_t>(e.status());
        out.push_back(d);
    }
    return out;
}

DpMsg VDRDadStatusUpdatePB2TLV(uint32_t vdrId, const std::string& lifName,
                               const pb::LogRouterPortFibDadStateMsg& state) {
    std::vector<vdr::DadEntry> entries = DadEntriesOf(state);
    std::string version = state.has_version() ? UuidTextOf(state.version()) : std::string();
    CFG_DEBUG("VDRDadStatusUpdatePB2TLV: vdr %1, lif %2, entries %3", vdrId, lifName,
              entries.size());
    return vdr::BuildDadStatusUpdate(vdrId, lifName, version, entries);
}

bool VDRDadStatusUpdateTLV2PB(const vdr::DadReport& report, const pb::UuidMsg& lrpId,
                              pb::LogRouterPortFibDadStateMsg* out) {
    uint64_t left = 0, right = 0;
    if (report.versionText.empty()) {
        CFG_WARN("Empty version");
        return false;
    }
    if (!ozy::cairndb::ParseUuidText(report.versionText, &left, &right)) {
        CFG_ERROR_CODE("LCP00703", "Version UUID invalid");
        return false;
    }
    uint64_t lsLeft = 0, lsRight = 0;
    if (!ozy::cairndb::ParseUuidText(report.lsText, &lsLeft, &lsRight)) {
        CFG_ERROR_CODE("LCP00703", "LS UUID invalid %1", report.lsText);
        return false;
    }
    out->Clear();
    *out->mutable_id() = lrpId;
    *out->mutable_lrp_id() = lrpId;
    out->set_lif_name(report.lifName);
    out->mutable_version()->set_left(left);
    out->mutable_version()->set_right(right);
    out->mutable_ls_id()->set_left(lsLeft);
    out->mutable_ls_id()->set_right(lsRight);
    for (const vdr::DadEntry& e : report.entries) {
        pb::DadStatusEntryMsg* d = out->add_dad_status();
        if (e.ip.size == 4)
            d->mutable_ip()->set_ipv4(LoadBe32(e.ip.bytes.data()));
        else
            d->mutable_ip()->set_ipv6(std::string(e.ip.bytes.begin(), e.ip.bytes.end()));
        d->set_status(e.status);
    }
    return true;
}

}  // namespace CfgAgent
