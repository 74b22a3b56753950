// L3App: routes (FIB entries) and their next hops, multicast routes and ARP tables.
#include "apps/routing/L3App.h"
#include "apps/routing/VdrConvertors.h"
#include "proto/cairndb_routing.pb.h"
#include "runtime/Logger.h"
#include "statecache/IStateCacheL3Table.h"
#include "statecache/IdText.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

constexpr const char* kName = "L3App";

std::string RouterKey(const std::string& lrId) {
    return "lr:" + lrId;
}
std::string LrpKey(const std::string& lrpId) {
    return "lrp:" + lrpId;
}

bool SamePrefix(const vdr::IpPrefix& a, const vdr::IpPrefix& b) {
    return a.addr == b.addr && a.length == b.length;
}

void Unindex(std::map<std::string, std::set<std::string>>& index, const std::string& key,
             const std::string& id) {
    auto it = index.find(key);
    if (it == index.end())
        return;
    it->second.erase(id);
    if (it->second.empty())
        index.erase(it);
}

}  // namespace

bool L3App::EgressOf(const pb::FibNextHopMsg& nh, std::string* lifName, std::string* lrpId) {
    lifName->clear();
    lrpId->clear();
    if (!nh.has_lrp_id())
        return true;
    *lrpId = nh.lrp_id().SerializeAsString();
    const LrpState* lif = LifOf(*lrpId);
    if (lif == nullptr)
        return false;
    *lifName = lif->lifName;
    return true;
}

void L3App::RemoveFib(const std::string& fibId, bool sendDelete) {
    StopWaiting(Kind::kFib, fibId);
    auto it = fibs_.find(fibId);
    if (it == fibs_.end())
        return;
    FibState& st = it->second;
    if (st.sent && sendDelete && VdrOfRouter(st.lrId) == st.vdrId)
        Send(vdr::BuildRouteDelete(st.vdrId, st.prefix));
    Unindex(routerFibs_, st.lrId, fibId);
    for (const std::string& lrp : st.lrps)
        Unindex(lrpFibs_, lrp, fibId);
    fibs_.erase(it);
}

void L3App::SyncFib(const std::string& fibId, const FibChange* change, bool force) {
    pb::UuidMsg lr;
    pb::IpPrefixMsg prefix;
    std::vector<std::string> values;
    const bool hasLr = l3Table_->QueryFibRouterId(fibId, &lr);
    const bool hasPrefix = l3Table_->QueryFibIpPrefix(fibId, &prefix);
    l3Table_->GetProperty(ObjectType::FIB, fibId, PropertyType::L3_FIB_NEXT_HOP, &values);
    if (!hasLr && !hasPrefix && values.empty()) {
        RemoveFib(fibId, true);  // deleted
        return;
    }
    if (!hasLr || !hasPrefix) {
        CFG_ERROR_CODE("LCP00920", "%1: LR ID or prefix not set for fib %2, op %3, fibmsg: %3",
                       kName, IdText(fibId), hasLr ? "prefix missing" : "LR missing");
        if (!hasPrefix)
            VDRRouteAddPB2TLV(0, nullptr, {});
        RemoveFib(fibId, true);
        return;
    }
    vdr::IpPrefix p;
    if (!ToVdrPrefix(prefix, &p, "VDRRouteAddPB2TLV, prefix")) {
        RemoveFib(fibId, true);
        return;
    }
    const std::string lrId = lr.SerializeAsString();
    FibState& st = fibs_[fibId];
    if (st.lrId != lrId) {
        if (st.sent && VdrOfRouter(st.lrId) == st.vdrId)
            Send(vdr::BuildRouteDelete(st.vdrId, st.prefix));
        st.sent = false;
        st.hops.clear();
        Unindex(routerFibs_, st.lrId, fibId);
        routerFibs_[lrId].insert(fibId);
        st.lrId = lrId;
    }
    const uint32_t vdrId = VdrOfRouter(lrId);
    if (vdrId == 0) {
        WaitFor(RouterKey(lrId), Kind::kFib, fibId);
        return;
    }

    // The next hops as the dataplane takes them, in the store's order; a next hop through a LIF
    // that is not in the dataplane holds the whole route back until it is.
    std::vector<std::pair<std::string, vdr::NextHopSpec>> want;
    std::set<std::string> named;
    want.reserve(values.size());
    for (const std::string& v : values) {
        pb::FibNextHopMsg nh;
        if (!nh.ParseFromString(v))
            continue;
        std::string egress, lrpId;
        if (!EgressOf(nh, &egress, &lrpId)) {
            CFG_DEBUG("%1: fib %2 waits for LRP %3", kName, IdText(fibId), IdText(lrpId));
            lrpFibs_[lrpId].insert(fibId);
            st.lrps.insert(lrpId);
            WaitFor(LrpKey(lrpId), Kind::kFib, fibId);
            return;
        }
        if (!lrpId.empty())
            named.insert(lrpId);
        vdr::NextHopSpec hop;
        if (VDRNextHopPB2TLV(nh, p.addr.size, egress, &hop))
            want.emplace_back(v, hop);
    }
    StopWaiting(Kind::kFib, fibId);
    for (const std::string& lrp : st.lrps) {
        if (named.count(lrp) == 0)
            Unindex(lrpFibs_, lrp, fibId);
    }
    for (const std::string& lrp : named)
        lrpFibs_[lrp].insert(fibId);
    st.lrps = named;

    const size_t maxHops = p.addr.size == 4 ? vdr::kMaxNextHopsV4 : vdr::kMaxNextHopsV6;
    const bool moved = st.sent && (st.vdrId != vdrId || !SamePrefix(st.prefix, p));
    if (moved)
        Send(vdr::BuildRouteDelete(st.vdrId, st.prefix));
    if (force || !st.sent || moved || want.size() > maxHops) {
        std::vector<vdr::NextHopSpec> hops;
        hops.reserve(want.size());
        for (const auto& [key, hop] : want)
            hops.push_back(hop);
        DpMsg m = VDRRouteAddPB2TLV(vdrId, &prefix, hops);
        if (m.empty()) {
            // Refused (logged): the dataplane must not keep an older form of the route.
            if (st.sent && !moved)
                Send(vdr::BuildRouteDelete(vdrId, p));
            st.sent = false;
            st.hops.clear();
            return;
        }
        Send(std::move(m));
    } else {
        if (change != nullptr) {
            for (const std::string& d : change->deleted) {
                if (change->added.count(d) != 0) {
                    CFG_DEBUG(
                        "%1: Prune fib next hop, deleted next hop added, fib %2, del %3, add %4",
                        kName, IdText(fibId), change->deleted.size(), change->added.size());
                } else if (st.hops.count(d) == 0) {
                    CFG_DEBUG("%1: Prune fib next hop, delete next hop pruned, fib %2", kName,
                              IdText(fibId));
                }
            }
        }
        std::vector<vdr::NextHopSpec> added, deleted;
        std::set<std::string> wanted;
        for (const auto& [key, hop] : want) {
            wanted.insert(key);
            auto have = st.hops.find(key);
            if (have == st.hops.end() || have->second.egress != hop.egress)
                added.push_back(hop);
            if (have != st.hops.end() && have->second.egress != hop.egress)
                deleted.push_back(have->second);
        }
        for (const auto& [key, hop] : st.hops) {
            if (wanted.count(key) == 0)
                deleted.push_back(hop);
        }
        if (added.empty() && deleted.empty())
            return;
        Send(VDRRouteNHUpdatePB2TLV(vdrId, p, added, deleted));
    }
    st.sent = true;
    st.vdrId = vdrId;
    st.prefix = p;
    st.hops.clear();
    for (auto& [key, hop] : want)
        st.hops.emplace(std::move(key), std::move(hop));
}

void L3App::ResendRoutesOf(const std::string& lrpId, const char* ipType) {
    auto it = lrpFibs_.find(lrpId);
    if (it == lrpFibs_.end())
        return;
    auto lrp = lrps_.find(lrpId);
    CFG_INFO("%1: LR %2 vdr id %3, LRP change send fib, ip type %4", kName,
             lrp != lrps_.end() ? IdText(lrp->second.lrId) : std::string(),
             lrp != lrps_.end() ? lrp->second.vdrId : 0, ipType);
    for (const std::string& fib : std::set<std::string>(it->second))
        SyncFib(fib, nullptr, true);
}

// ---- multicast routes ----

void L3App::SyncMcastRoute(const std::string& id) {
    std::vector<std::string> values;
    pb::MulticastStaticRouteMsg route;
    const bool inStore = l3Table_->GetProperty(ObjectType::MULTICAST_STATIC_ROUTE, id,
                                               PropertyType::INVALID_PROPERTY, &values) &&
                         values.size() == 1 && route.ParseFromString(values[0]);
    auto it = mcastRoutes_.find(id);
    const std::string lrId = route.lr_uuid().SerializeAsString();
    const uint32_t vdrId = inStore ? VdrOfRouter(lrId) : 0;
    vdr::IpPrefix group;
    const bool groupOk =
        inStore && ToVdrPrefix(route.group(), &group, "VDRMulticastRouteAddPB2TLV, group");
    if (it != mcastRoutes_.end() && !it->second.sent.empty() &&
        (!groupOk || it->second.vdrId != vdrId || !SamePrefix(it->second.group, group))) {
        if (VdrOfRouter(it->second.lrId) == it->second.vdrId)
            Send(vdr::BuildMcastRouteDelete(it->second.vdrId, it->second.group));
        it->second.sent.clear();
    }
    if (!groupOk) {
        StopWaiting(Kind::kMcastRoute, id);
        if (it != mcastRoutes_.end())
            mcastRoutes_.erase(it);
        return;
    }
    McastRouteState& st = mcastRoutes_[id];
    st.lrId = lrId;
    st.vdrId = vdrId;
    st.group = group;
    if (vdrId == 0) {
        WaitFor(RouterKey(lrId), Kind::kMcastRoute, id);
        return;
    }
    std::vector<vdr::McastNextHop> hops;
    for (const pb::FibNextHopMsg& nh : route.next_hops()) {
        vdr::McastNextHop h;
        std::string lrpId, reason;
        if (!EgressOf(nh, &h.egress, &lrpId)) {
            WaitFor(LrpKey(lrpId), Kind::kMcastRoute, id);
            return;
        }
        if (nh.has_ip() && !ToVdrIp(nh.ip(), &h.ip, &reason)) {
            CFG_ERROR_CODE("LCP00905", "VDRMulticastRouteAddPB2TLV, next hop  invalid reason : %1",
                           reason);
            continue;
        }
        hops.push_back(h);
    }
    StopWaiting(Kind::kMcastRoute, id);
    DpMsg m = VDRMulticastRouteAddPB2TLV(vdrId, group, hops);
    if (!m.empty() && m != st.sent) {
        st.sent = m;
        Send(std::move(m));
    }
}

// ---- ARP tables ----

void L3App::SyncArp(const std::string& arpId) {
    pb::UuidMsg lrp;
    std::vector<std::string> values;
    const bool hasLrp = l3Table_->QueryArpRouterPortId(arpId, &lrp);
    l3Table_->GetProperty(ObjectType::ARP_TABLE_CONFIG, arpId, PropertyType::L3_ARP_ENTRY, &values);
    const std::string lrpId = lrp.SerializeAsString();
    const LrpState* lif = hasLrp ? LifOf(lrpId) : nullptr;
    auto it = arps_.find(arpId);
    const std::string table = IdText(arpId);
    auto sendAll = [&](uint32_t vdrId, bool add, const std::vector<vdr::ArpEntrySpec>& entries) {
        for (DpMsg& m : VDRArpTableUpdatePB2TLV(vdrId, table, add, entries))
            Send(std::move(m));
    };
    // Gone, moved or waiting: what the dataplane has of the table is removed.
    if (it != arps_.end() && !it->second.entries.empty() &&
        (lif == nullptr || lif->vdrId != it->second.vdrId)) {
        std::vector<vdr::ArpEntrySpec> all;
        for (const auto& [k, e] : it->second.entries)
            all.push_back(e);
        if (vdrIndex_.count(it->second.vdrId) != 0)
            sendAll(it->second.vdrId, false, all);
        it->second.entries.clear();
    }
    if (!hasLrp) {
        StopWaiting(Kind::kArp, arpId);
        if (!values.empty())
            CFG_ERROR_CODE("LCP00029", "%1: arp table %2 has no router port", kName, table);
        if (it != arps_.end())
            arps_.erase(it);
        return;
    }
    ArpState& st = arps_[arpId];
    st.lrpId = lrpId;
    if (lif == nullptr) {
        WaitFor(LrpKey(lrpId), Kind::kArp, arpId);
        return;
    }
    StopWaiting(Kind::kArp, arpId);
    st.vdrId = lif->vdrId;
    std::map<std::string, vdr::ArpEntrySpec> want;
    for (const std::string& v : values) {
        pb::ArpEntryMsg e;
        vdr::ArpEntrySpec entry;
        if (e.ParseFromString(v) && VDRArpEntryPB2TLV(e, &entry))
            want.emplace(v, entry);
    }
    std::vector<vdr::ArpEntrySpec> removed, added;
    for (const auto& [k, e] : st.entries) {
        if (want.count(k) == 0)
            removed.push_back(e);
    }
    for (const auto& [k, e] : want) {
        if (st.entries.count(k) == 0)
            added.push_back(e);
    }
    // Removals first: an entry whose MAC changed is removed by address, then added again.
    if (!removed.empty())
        sendAll(st.vdrId, false, removed);
    if (!added.empty())
        sendAll(st.vdrId, true, added);
    st.entries = std::move(want);
}

}  // namespace CfgAgent
