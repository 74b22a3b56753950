#include "tools/ozy-dpemu/VdrTables.h"

#include <algorithm>

#include <nlohmann/json.hpp>

namespace ozy::dpemu {

using namespace CfgAgent::vdr;

namespace {

bool SameHop(const NextHopSpec& a, const NextHopSpec& b) {
    return a.type == b.type && a.egress == b.egress && a.ip == b.ip;
}

const char* HopTypeName(uint8_t type) {
    switch (type) {
        case kNextHopAddress:
            return "address";
        case kNextHopInterface:
            return "interface";
        case kNextHopBlackhole:
            return "blackhole";
        default:
            return "unknown";
    }
}

std::string V(uint32_t vdrId) {
    return "vdr " + std::to_string(vdrId);
}

nlohmann::json AddrList(const std::vector<IpAddr>& ips) {
    nlohmann::json out = nlohmann::json::array();
    for (const IpAddr& ip : ips)
        out.push_back(IpText(ip));
    return out;
}

nlohmann::json LifIpList(const std::vector<LifIp>& ips) {
    nlohmann::json out = nlohmann::json::array();
    for (const LifIp& ip : ips)
        out.push_back(IpText(ip.ip) + "/" + std::to_string(ip.prefixLength));
    return out;
}

nlohmann::json LifJson(const LifSpec& s) {
    nlohmann::json pl = nlohmann::json::array();
    for (const PrefixListNextHop& p : s.prefixLists)
        pl.push_back({{"index", p.index}, {"next_hop", IpText(p.nextHop)}});
    nlohmann::json out = {{"lif_type", s.lifType},
                          {"flags", s.flags},
                          {"urpf_mode", s.urpfMode},
                          {"lif_id", s.lifId},
                          {"mtu", s.mtu},
                          {"vni", s.vni},
                          {"vlan", s.vlan},
                          {"replication_mode", s.replicationMode},
                          {"link_type", s.linkType},
                          {"linked_router", s.linkedRouter},
                          {"linked_vdr_id", s.linkedVdrId},
                          {"mac", MacText(s.mac.data())},
                          {"dvs", s.dvsUuid},
                          {"ls", s.lsUuid},
                          {"mcast_ip", IpText(s.mcastIp)},
                          {"ips", LifIpList(s.ips)},
                          {"dhcp_relays", AddrList(s.dhcpRelays)},
                          {"prefix_lists", pl}};
    if (s.ra.present) {
        out["ra"] = {{"managed", s.ra.managed},
                     {"other_config", s.ra.otherConfig},
                     {"valid_lifetime", s.ra.validLifetime},
                     {"preferred_lifetime", s.ra.preferredLifetime},
                     {"dns_servers", AddrList(s.raDnsServers)},
                     {"domains", s.raDomains},
                     {"routes", LifIpList(s.raRoutes)}};
    }
    return out;
}

}  // namespace

void VdrTables::Reset() {
    vdrs.clear();
    global.reset();
    prefixLists.clear();
    bridgeEndpoints.clear();
}

size_t VdrTables::ApplyUpdate(const UpdateMsg& msg, const ErrorFn& error) {
    size_t applied = 0;
    for (const UpdateElement& e : msg.elements)
        applied += ApplyElement(msg.vdrId, e, error) ? 1 : 0;
    return applied;
}

bool VdrTables::ApplyElement(uint32_t vdrId, const UpdateElement& e, const ErrorFn& error) {
    const bool global =
        e.type == kElemPrefixList || e.type == kElemGlobal || e.type == kElemBridgeEndpoint;
    if (global != (vdrId == 0)) {
        error(std::string(ElemTypeName(e.type)) + " element sent to " + V(vdrId));
        return false;
    }
    if (global)
        return ApplyGlobalElement(e, error);
    if (e.type == kElemInstance) {
        if (e.op == kOpDelete) {
            if (vdrs.erase(vdrId) == 0) {
                error("delete of unknown " + V(vdrId));
                return false;
            }
            return true;
        }
        Vdr& vdr = vdrs[vdrId];
        vdr.instance = true;
        vdr.settings = e.instance;
        return true;
    }
    auto it = vdrs.find(vdrId);
    if (it == vdrs.end() || !it->second.instance) {
        error(std::string(ElemTypeName(e.type)) + " element for unknown " + V(vdrId));
        return false;
    }
    return ApplyRouterElement(it->second, vdrId, e, error);
}

bool VdrTables::ApplyRouterElement(Vdr& vdr, uint32_t vdrId, const UpdateElement& e,
                                   const ErrorFn& error) {
    auto knownLif = [&](const std::string& name, const std::string& what) {
        if (name.empty() || vdr.lifs.count(name) != 0)
            return true;
        error(what + " names unknown LIF " + name + " of " + V(vdrId));
        return false;
    };
    switch (e.type) {
        case kElemLif: {
            if (e.op == kOpDelete) {
                if (vdr.lifs.erase(e.lif.name) == 0) {
                    error("delete of unknown LIF " + e.lif.name + " of " + V(vdrId));
                    return false;
                }
                vdr.dad.erase(e.lif.name);
                return true;
            }
            for (const PrefixListNextHop& p : e.lif.prefixLists) {
                if (prefixLists.count(p.index) == 0) {
                    error("LIF " + e.lif.name + " names unknown prefix list " +
                          std::to_string(p.index));
                    return false;
                }
            }
            vdr.lifs[e.lif.name] = e.lif;
            return true;
        }
        case kElemRouteV4:
        case kElemRouteV6: {
            const std::string key = PrefixText(e.prefix);
            if (e.op == kOpDelete) {
                if (vdr.routes.erase(key) == 0) {
                    error("delete of unknown route " + key + " of " + V(vdrId));
                    return false;
                }
                return true;
            }
            for (const NextHopSpec& h : e.hops) {
                if (!knownLif(h.egress, "route " + key))
                    return false;
            }
            vdr.routes[key] = Route{e.prefix, e.hops};
            return true;
        }
        case kElemNextHopUpdate:
            return ApplyNextHopUpdate(vdr, vdrId, e, error);
        case kElemMcastConfig:
            if (e.op == kOpDelete)
                vdr.mcastConfig.reset();
            else
                vdr.mcastConfig = e.mcastConfig;
            return true;
        case kElemMcastRoute: {
            const std::string key = PrefixText(e.prefix);
            if (e.op == kOpDelete) {
                if (vdr.mcastRoutes.erase(key) == 0) {
                    error("delete of unknown multicast route " + key + " of " + V(vdrId));
                    return false;
                }
                return true;
            }
            for (const McastNextHop& h : e.mcastHops) {
                if (!knownLif(h.egress, "multicast route " + key))
                    return false;
            }
            vdr.mcastRoutes[key] = McastRoute{e.prefix, e.mcastHops};
            return true;
        }
        case kElemArpLimit:
            vdr.arpLimit = ArpLimit{e.arpLimit, e.arpOverridden};
            return true;
        case kElemDadStatus:
            if (vdr.lifs.count(e.dadLif) == 0) {
                error("DAD status names unknown LIF " + e.dadLif + " of " + V(vdrId));
                return false;
            }
            vdr.dad[e.dadLif] = Dad{e.dadVersion, e.dadEntries};
            return true;
        default:
            error(std::string("element ") + ElemTypeName(e.type) + " not handled");
            return false;
    }
}

bool VdrTables::ApplyNextHopUpdate(Vdr& vdr, uint32_t vdrId, const UpdateElement& e,
                                   const ErrorFn& error) {
    const std::string key = PrefixText(e.prefix);
    auto it = vdr.routes.find(key);
    if (it == vdr.routes.end()) {
        error("next-hop update of unknown route " + key + " of " + V(vdrId));
        return false;
    }
    std::vector<NextHopSpec> hops = it->second.hops;
    for (const NextHopSpec& d : e.deletedHops) {
        auto found = std::find_if(hops.begin(), hops.end(),
                                  [&](const NextHopSpec& h) { return SameHop(h, d); });
        if (found == hops.end()) {
            error("next-hop update of " + key + " deletes " + IpText(d.ip) + " (" + d.egress +
                  "), which the route has not");
            return false;
        }
        hops.erase(found);
    }
    for (const NextHopSpec& a : e.hops) {
        if (std::any_of(hops.begin(), hops.end(),
                        [&](const NextHopSpec& h) { return SameHop(h, a); })) {
            error("next-hop update of " + key + " adds " + IpText(a.ip) + " (" + a.egress +
                  "), which the route has");
            return false;
        }
        if (!a.egress.empty() && vdr.lifs.count(a.egress) == 0) {
            error("route " + key + " names unknown LIF " + a.egress + " of " + V(vdrId));
            return false;
        }
        hops.push_back(a);
    }
    it->second.hops = std::move(hops);
    return true;
}

bool VdrTables::ApplyGlobalElement(const UpdateElement& e, const ErrorFn& error) {
    switch (e.type) {
        case kElemPrefixList:
            if (e.op == kOpDelete) {
                for (const auto& [id, vdr] : vdrs) {
                    for (const auto& [name, lif] : vdr.lifs) {
                        for (const PrefixListNextHop& p : lif.prefixLists) {
                            if (p.index == e.prefixListIndex) {
                                error("delete of prefix list " + std::to_string(p.index) +
                                      " still used by LIF " + name + " of " + V(id));
                                return false;
                            }
                        }
                    }
                }
                if (prefixLists.erase(e.prefixListIndex) == 0) {
                    error("delete of unknown prefix list " + std::to_string(e.prefixListIndex));
                    return false;
                }
                return true;
            }
            prefixLists[e.prefixListIndex] = PrefixList{e.prefixListName, e.prefixEntries};
            return true;
        case kElemGlobal:
            global = e.global;
            return true;
        case kElemBridgeEndpoint:
            if (e.op == kOpDelete) {
                if (bridgeEndpoints.erase(e.bridge.name) == 0) {
                    error("delete of unknown bridge endpoint " + e.bridge.name);
                    return false;
                }
                return true;
            }
            bridgeEndpoints[e.bridge.name] = e.bridge;
            return true;
        default:
            return false;
    }
}

bool VdrTables::ApplyArp(const ArpTableMsg& msg, const ErrorFn& error) {
    auto it = vdrs.find(msg.vdrId);
    if (it == vdrs.end() || !it->second.instance) {
        error("ARP table " + msg.tableUuid + " for unknown " + V(msg.vdrId));
        return false;
    }
    std::map<std::string, std::string>& table = it->second.arp[msg.tableUuid];
    for (const ArpEntrySpec& a : msg.entries) {
        const std::string ip = IpText(a.ip);
        if (msg.add) {
            table[ip] = MacText(a.mac.data());
        } else if (table.erase(ip) == 0) {
            error("ARP table " + msg.tableUuid + " removes unknown entry " + ip);
        }
    }
    if (table.empty())
        it->second.arp.erase(msg.tableUuid);
    return true;
}

size_t VdrTables::RouteCount() const {
    size_t n = 0;
    for (const auto& [id, v] : vdrs)
        n += v.routes.size();
    return n;
}

size_t VdrTables::LifCount() const {
    size_t n = 0;
    for (const auto& [id, v] : vdrs)
        n += v.lifs.size();
    return n;
}

size_t VdrTables::ArpEntryCount() const {
    size_t n = 0;
    for (const auto& [id, v] : vdrs) {
        for (const auto& [uuid, t] : v.arp)
            n += t.size();
    }
    return n;
}

size_t VdrTables::McastRouteCount() const {
    size_t n = 0;
    for (const auto& [id, v] : vdrs)
        n += v.mcastRoutes.size();
    return n;
}

nlohmann::json VdrTables::RouteJson(const Route& route) {
    nlohmann::json hops = nlohmann::json::array();
    for (const NextHopSpec& h : route.hops) {
        hops.push_back({{"type", HopTypeName(h.type)}, {"egress", h.egress}, {"ip", IpText(h.ip)}});
    }
    return {{"prefix", PrefixText(route.prefix)}, {"next_hops", hops}};
}

nlohmann::json VdrTables::GlobalJson() const {
    nlohmann::json settings;
    if (global) {
        settings = {{"forwarding_mode", global->forwardingMode},
                    {"ecmp_mode", global->ecmpMode},
                    {"lrp_mtu", global->lrpMtu},
                    {"vdr_mac", MacText(global->vdrMac.data())}};
    }
    nlohmann::json lists = nlohmann::json::object();
    for (const auto& [index, pl] : prefixLists) {
        nlohmann::json entries = nlohmann::json::array();
        for (const PrefixEntrySpec& e : pl.entries) {
            entries.push_back({{"prefix", PrefixText(e.prefix)},
                               {"ge", e.ge},
                               {"le", e.le},
                               {"action", e.action == kActionPermit ? "permit" : "deny"}});
        }
        lists[std::to_string(index)] = {{"name", pl.name}, {"entries", entries}};
    }
    nlohmann::json bridges = nlohmann::json::object();
    for (const auto& [name, b] : bridgeEndpoints) {
        bridges[name] = {{"ls", b.lsUuid},   {"cluster", b.clusterUuid},
                         {"dvs", b.dvsUuid}, {"endpoint_id", b.endpointId},
                         {"vlan", b.vlan},   {"vni_type", b.vniType},
                         {"vni", b.vni},     {"guest_vlan", b.guestVlan},
                         {"ha", b.ha}};
    }
    return {{"settings", settings}, {"prefix_lists", lists}, {"bridge_endpoints", bridges}};
}

nlohmann::json VdrTables::ToJson() const {
    nlohmann::json out = nlohmann::json::object();
    for (const auto& [id, v] : vdrs) {
        nlohmann::json j;
        j["instance"] = {{"name", v.settings.name},
                         {"router_type", v.settings.routerType},
                         {"dad_mode", v.settings.dadMode},
                         {"dad_wait_time", v.settings.dadWaitTime},
                         {"dad_max_retries", v.settings.dadMaxRetries},
                         {"ra_mode", v.settings.raMode},
                         {"ra_hop_limit", v.settings.raHopLimit},
                         {"ra_interval", v.settings.raInterval},
                         {"router_lifetime", v.settings.routerLifetime}};
        j["arp_limit"] = v.arpLimit ? nlohmann::json{{"limit", v.arpLimit->limit},
                                                     {"overridden", v.arpLimit->overridden}}
                                    : nlohmann::json();
        if (v.mcastConfig) {
            j["mcast_config"] = {
                {"enabled", v.mcastConfig->enabled},
                {"igmp_version", v.mcastConfig->igmpVersion},
                {"replication_range", v.mcastConfig->replicationRange.addr.size != 0
                                          ? PrefixText(v.mcastConfig->replicationRange)
                                          : std::string()}};
        } else {
            j["mcast_config"] = nullptr;
        }
        j["lifs"] = nlohmann::json::object();
        for (const auto& [name, lif] : v.lifs)
            j["lifs"][name] = LifJson(lif);
        j["routes"] = nlohmann::json::object();
        for (const auto& [key, r] : v.routes)
            j["routes"][key] = RouteJson(r)["next_hops"];
        j["mcast_routes"] = nlohmann::json::object();
        for (const auto& [key, r] : v.mcastRoutes) {
            nlohmann::json hops = nlohmann::json::array();
            for (const McastNextHop& h : r.hops)
                hops.push_back({{"egress", h.egress}, {"ip", IpText(h.ip)}});
            j["mcast_routes"][key] = hops;
        }
        j["arp"] = v.arp;
        j["dad"] = nlohmann::json::object();
        for (const auto& [lif, d] : v.dad) {
            nlohmann::json entries = nlohmann::json::object();
            for (const DadEntry& e : d.entries)
                entries[IpText(e.ip)] = DadStatusName(e.status);
            j["dad"][lif] = {{"version", d.version}, {"entries", entries}};
        }
        out[std::to_string(id)] = j;
    }
    return out;
}

}  // namespace ozy::dpemu
