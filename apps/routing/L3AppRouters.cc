// L3App: router instances, router ports (LIFs) and what they wait for, prefix lists and their
// references, bridge endpoints, multicast configuration and the global settings.
#include <algorithm>

#include "apps/routing/L3App.h"
#include "apps/routing/VdrConvertors.h"
#include "proto/cairndb_routing.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/Logger.h"
#include "statecache/IStateCacheConfigTable.h"
#include "statecache/IStateCacheL3Table.h"
#include "statecache/IdText.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

constexpr const char* kName = "L3App";
constexpr uint32_t kLinkOverlay = 1;
constexpr uint32_t kLinkVlan = 2;

std::string RouterKey(const std::string& lrId) {
    return "lr:" + lrId;
}
std::string LrpKey(const std::string& lrpId) {
    return "lrp:" + lrpId;
}

bool SameIps(const std::vector<vdr::LifIp>& a, const std::vector<vdr::LifIp>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const vdr::LifIp& x, const vdr::LifIp& y) {
                          return x.ip == y.ip && x.prefixLength == y.prefixLength;
                      });
}

void MoveIndex(std::map<std::string, std::set<std::string>>& index, const std::string& from,
               const std::string& to, const std::string& id) {
    if (from == to)
        return;
    auto it = index.find(from);
    if (it != index.end()) {
        it->second.erase(id);
        if (it->second.empty())
            index.erase(it);
    }
    if (!to.empty())
        index[to].insert(id);
}

// The DVS of a switch: the host switch of the transport zone the switch belongs to.
bool DvsOfSwitch(IStateCacheConfigTable* table, const std::string& lsId, std::string* dvs) {
    std::string tz, name;
    return table->GetTransportZoneOfLogicalSwitch(lsId, &tz) &&
           table->GetHostSwitchOfTransportZone(tz, dvs, &name);
}

}  // namespace

// ---- routers ----

void L3App::SyncRouter(const std::string& lrId) {
    pb::LogRouterConfigMsg lr;
    const bool inStore = l3Table_->QueryRouter(lrId, &lr);
    auto it = routers_.find(lrId);
    if (!inStore) {
        if (it != routers_.end())
            DetachRouter(lrId, true);
        return;
    }
    const uint32_t vdrId = lr.vdr_id();
    if (it != routers_.end() && it->second.vdrId != vdrId) {
        CFG_INFO("%1: LR %2 moves from vdr %3 to vdr %4", kName, IdText(lrId), it->second.vdrId,
                 vdrId);
        DetachRouter(lrId, true);
        it = routers_.end();
    }
    auto owner = vdrIndex_.find(vdrId);
    if (vdrId == 0 || (owner != vdrIndex_.end() && owner->second != lrId)) {
        CFG_ERROR_CODE("LCP00920", "%1: vdr ID %2 of LR %3 is not usable (0, or used by LR %4)",
                       kName, vdrId, IdText(lrId),
                       owner != vdrIndex_.end() ? IdText(owner->second) : std::string());
        return;
    }
    pb::DadProfileConfigMsg dad;
    pb::NdraProfileConfigMsg ndra;
    const bool hasDad = lr.has_dad_profile_id() &&
                        l3Table_->QueryDadProfile(lr.dad_profile_id().SerializeAsString(), &dad);
    const bool hasNdra =
        lr.has_ndra_profile_id() &&
        l3Table_->QueryNdraProfile(lr.ndra_profile_id().SerializeAsString(), &ndra);
    DpMsg instance = VDRInsAddPB2TLV(vdrId, lr, hasDad ? &dad : nullptr, hasNdra ? &ndra : nullptr);
    if (instance.empty())
        return;
    const bool fresh = it == routers_.end();
    RouterState& st = routers_[lrId];
    if (fresh || st.instance != instance) {
        CFG_INFO("%1: %2 LR %3 (vdr %4)", kName, fresh ? "Add" : "Update", IdText(lrId), vdrId);
        st.instance = instance;
        Send(std::move(instance));
    }
    st.vdrId = vdrId;
    vdrIndex_[vdrId] = lrId;
    if (lr.has_max_arp_entries() && (!st.arpLimitSent || st.arpLimit != lr.max_arp_entries() ||
                                     st.arpOverridden != lr.is_arp_limit_overridden())) {
        st.arpLimitSent = Send(VDRArpLimitAddPB2TLV(vdrId, lr));
        st.arpLimit = lr.max_arp_entries();
        st.arpOverridden = lr.is_arp_limit_overridden();
    }
    if (fresh)
        ReleaseWaiting(RouterKey(lrId));
}

void L3App::DetachRouter(const std::string& lrId, bool sendDeletes) {
    auto it = routers_.find(lrId);
    if (it == routers_.end())
        return;
    const uint32_t vdrId = it->second.vdrId;
    const std::string key = RouterKey(lrId);
    size_t lifs = 0, routes = 0;
    // Everything the router holds goes first, in the reverse of the order it was sent, and waits
    // for the router (ARP tables and DAD status wait for their LIF, which waits for the router).
    for (auto& [id, arp] : arps_) {
        if (arp.vdrId != vdrId)
            continue;
        if (sendDeletes && !arp.entries.empty()) {
            std::vector<vdr::ArpEntrySpec> all;
            for (const auto& [k, e] : arp.entries)
                all.push_back(e);
            for (DpMsg& m : VDRArpTableUpdatePB2TLV(vdrId, IdText(id), false, all))
                Send(std::move(m));
        }
        arp.entries.clear();
        arp.vdrId = 0;
        WaitFor(LrpKey(arp.lrpId), Kind::kArp, id);
    }
    for (auto& [id, mr] : mcastRoutes_) {
        if (mr.lrId != lrId)
            continue;
        if (sendDeletes && !mr.sent.empty())
            Send(vdr::BuildMcastRouteDelete(vdrId, mr.group));
        mr.sent.clear();
        WaitFor(key, Kind::kMcastRoute, id);
    }
    auto fibs = routerFibs_.find(lrId);
    if (fibs != routerFibs_.end()) {
        for (const std::string& id : fibs->second) {
            auto f = fibs_.find(id);
            if (f == fibs_.end())
                continue;
            if (f->second.sent) {
                ++routes;
                if (sendDeletes)
                    Send(vdr::BuildRouteDelete(vdrId, f->second.prefix));
            }
            f->second.sent = false;
            f->second.hops.clear();
            WaitFor(key, Kind::kFib, id);
        }
    }
    for (auto& [id, mc] : mcastConfigs_) {
        if (mc.lrId != lrId)
            continue;
        if (sendDeletes && !mc.sent.empty())
            Send(vdr::BuildMcastConfigDelete(vdrId));
        mc.sent.clear();
        WaitFor(key, Kind::kMcastConfig, id);
    }
    auto ports = routerLrps_.find(lrId);
    if (ports != routerLrps_.end()) {
        for (const std::string& id : ports->second) {
            auto l = lrps_.find(id);
            if (l == lrps_.end())
                continue;
            lifs += l->second.inDataplane ? 1 : 0;
            RemoveLif(l->second, id, sendDeletes);
            pendingLrps_.erase(id);
            WaitFor(key, Kind::kLrp, id);
        }
    }
    if (sendDeletes) {
        CFG_INFO("%1: Delete LR %2 (vdr %3) with %4 LIFs and %5 routes", kName, IdText(lrId), vdrId,
                 lifs, routes);
        Send(vdr::BuildInstanceDelete(vdrId));
    }
    vdrIndex_.erase(vdrId);
    routers_.erase(it);
}

// ---- router ports ----

bool L3App::LifContextOf(const std::string& lrpId, const pb::LogRouterPortConfigMsg& lrp,
                         LrpState& st, LifContext* ctx) {
    // Said once at info when a port becomes pending, then at debug on every retry.
    const bool again = pendingLrps_.count(lrpId) != 0;
    auto pending = [&](const char* format, const std::string& ls) {
        if (again)
            CFG_DEBUG(format, kName, ls, IdText(lrpId));
        else
            CFG_INFO(format, kName, ls, IdText(lrpId));
        return false;
    };
    std::string body;
    const std::string lsId =
        lrp.has_logical_switch_id() ? lrp.logical_switch_id().SerializeAsString() : std::string();
    if (lsId.empty() ||
        !configTable_->GetProperty(ConfigStore::kDesired, ObjectType::LOG_SWITCH_CONFIG, lsId,
                                   PropertyType::INVALID_PROPERTY, &body)) {
        if (again)
            CFG_DEBUG("%1: LS not found for add LRP %2", kName, IdText(lrpId));
        else
            CFG_INFO("%1: LS not found for add LRP %2", kName, IdText(lrpId));
        return false;
    }
    pb::LogSwitchConfigMsg ls;
    if (!ls.ParseFromString(body))
        return pending("%1: LS %2 not readable for add LRP %3", IdText(lsId));
    const uint32_t linkType = lrp.has_link_type() ? lrp.link_type() : kLinkOverlay;
    if (linkType == kLinkVlan) {
        if (!lrp.has_vlan() && !ls.has_vlan())
            return pending("%1: LS %2 vlan not found for add LRP %3", IdText(lsId));
        ctx->vlan = static_cast<uint16_t>(lrp.has_vlan() ? lrp.vlan() : ls.vlan());
    } else {
        if (!ls.has_vni())
            return pending("%1: LS %2 vni not found for add LRP %3", IdText(lsId));
        ctx->vni = ls.vni();
    }
    std::string dvs;
    if (!DvsOfSwitch(configTable_, lsId, &dvs))
        return pending("%1: LS %2 DVS not found for add LRP %3", IdText(lsId));
    ctx->dvsUuid = IdText(dvs);
    ctx->lsUuid = IdText(lsId);
    ctx->replicationMode = static_cast<uint8_t>(std::min<uint32_t>(ls.replication_mode(), 0xFF));
    ctx->lifName = lrp.lif_name().empty() ? IdText(lrpId) : lrp.lif_name();
    ctx->lifId = static_cast<uint32_t>(lrp.id().left() >> 32);
    if (lrp.has_linked_router_id()) {
        ctx->linkedRouter = true;
        ctx->linkedVdrId = VdrOfRouter(lrp.linked_router_id().SerializeAsString());
    }
    ctx->prefixIndex = [this](const std::string& listId, uint32_t* index) {
        return PrefixIndex(listId, index);
    };
    // Switch changes that re-send the LIF are said as such.
    if (st.inDataplane && st.lsId == lsId) {
        if (st.vni != ctx->vni)
            CFG_INFO("%1:  VNI change to %2 for LS %3", kName, ctx->vni, IdText(lsId));
        if (st.replicationMode != ctx->replicationMode)
            CFG_INFO("%1: Replication mode change to %2 for LS %3", kName, ctx->replicationMode,
                     IdText(lsId));
    }
    return true;
}

void L3App::SyncLrp(const std::string& lrpId) {
    pb::LogRouterPortConfigMsg lrp;
    const bool inStore = l3Table_->QueryRouterPort(lrpId, &lrp);
    auto it = lrps_.find(lrpId);
    if (!inStore) {
        pendingLrps_.erase(lrpId);
        StopWaiting(Kind::kLrp, lrpId);
        if (it == lrps_.end())
            return;
        LrpState& st = it->second;
        if (st.inDataplane)
            CFG_INFO("%1: Del LRP %2", kName, IdText(lrpId));
        RemoveLif(st, lrpId, true);
        // The DAD state written for the port goes with it.
        auto dad = dad_.find(st.lifName);
        if (dad != dad_.end()) {
            if (!dad->second.lastWrite.empty())
                WriteDadState(st.lifName, true, std::string(), lrpId);
            dad_.erase(st.lifName);
        }
        MoveIndex(routerLrps_, st.lrId, std::string(), lrpId);
        MoveIndex(lsLrps_, st.lsId, std::string(), lrpId);
        lrps_.erase(it);
        return;
    }
    LrpState& st = lrps_[lrpId];
    const std::string lrId = lrp.lr_uuid().SerializeAsString();
    const std::string lsId = lrp.logical_switch_id().SerializeAsString();
    MoveIndex(routerLrps_, st.lrId, lrId, lrpId);
    MoveIndex(lsLrps_, st.lsId, lsId, lrpId);
    const uint32_t vdrId = VdrOfRouter(lrId);
    if (vdrId == 0) {
        RemoveLif(st, lrpId, true);
        st.lrId = lrId;
        st.lsId = lsId;
        pendingLrps_.erase(lrpId);
        CFG_DEBUG("%1: LR %2 of LRP %3 is not in the dataplane yet", kName, IdText(lrId),
                  IdText(lrpId));
        WaitFor(RouterKey(lrId), Kind::kLrp, lrpId);
        return;
    }
    StopWaiting(Kind::kLrp, lrpId);
    if (st.inDataplane && st.vdrId != vdrId)
        RemoveLif(st, lrpId, true);
    LifContext ctx;
    const bool ready = LifContextOf(lrpId, lrp, st, &ctx);
    st.lrId = lrId;
    st.lsId = lsId;
    if (!ready) {
        RemoveLif(st, lrpId, true);
        pendingLrps_.insert(lrpId);
        return;
    }
    pendingLrps_.erase(lrpId);
    const bool adminUp = !lrp.has_admin_state_up() || lrp.admin_state_up();
    if (!adminUp) {
        if (st.inDataplane) {
            CFG_INFO("%1: Del LRP %2, new admin status down, flip", kName, IdText(lrpId));
            RemoveLif(st, lrpId, true);
        } else {
            CFG_DEBUG("%1: Del LRP %2, new admin status down, not flip", kName, IdText(lrpId));
        }
        st.adminUp = false;
        return;
    }
    LifBuild build;
    DpMsg lif;
    if (VDRPortAddPB2TLV(lrp, ctx, &build))
        lif = vdr::BuildLifAdd(vdrId, build.fields);
    if (lif.empty()) {
        RemoveLif(st, lrpId, true);
        return;
    }
    if (st.inDataplane && st.lifName != ctx.lifName)
        RemoveLif(st, lrpId, true);
    if (st.inDataplane && st.lif == lif) {
        CFG_DEBUG("%1: Add LRP %2, new admin status up, not filp", kName, IdText(lrpId));
        return;
    }
    const bool wasIn = st.inDataplane;
    const bool hadLif = !st.lif.empty();
    const bool v4Changed = hadLif && !SameIps(st.v4, build.v4);
    const bool v6Changed = hadLif && !SameIps(st.v6, build.v6);
    const uint32_t linkType = build.fields.linkType;
    const bool linkTypeChanged = wasIn && st.linkType != linkType;
    if (!wasIn) {
        if (!st.adminUp)
            CFG_INFO("%1: Add LRP %2, new admin status up, filp", kName, IdText(lrpId));
        else
            CFG_INFO("%1: Add LRP %2 (LIF %3, vdr %4)", kName, IdText(lrpId), ctx.lifName, vdrId);
    }
    if (v4Changed)
        CFG_INFO("%1: Add LRP %2, ipv4 change", kName, IdText(lrpId));
    if (v6Changed)
        CFG_INFO("%1: Add LRP %2, ipv6 change", kName, IdText(lrpId));
    st.lif = lif;
    Send(std::move(lif));
    st.inDataplane = true;
    st.adminUp = true;
    st.vdrId = vdrId;
    st.lifName = ctx.lifName;
    st.linkType = linkType;
    st.vni = ctx.vni;
    st.replicationMode = ctx.replicationMode;
    st.v4 = build.v4;
    st.v6 = build.v6;
    lifIndex_[st.lifName] = lrpId;
    SetPrefixRefs(lrpId, build.prefixListIds);
    if (v4Changed || v6Changed) {
        ResendRoutesOf(lrpId, v4Changed && v6Changed ? "ipv4 and ipv6"
                              : v4Changed            ? "ipv4"
                                                     : "ipv6");
    }
    if (linkTypeChanged) {
        CFG_INFO("%1: Replay Dad status on link type change on LRP %2", kName, IdText(lrpId));
        SyncDadState(lrpId, true);
    }
    if (!wasIn)
        ReleaseWaiting(LrpKey(lrpId));
}

void L3App::RemoveLif(LrpState& st, const std::string& lrpId, bool sendDelete) {
    if (!st.inDataplane)
        return;
    if (sendDelete)
        Send(vdr::BuildLifDelete(st.vdrId, st.lifName));
    st.inDataplane = false;
    lifIndex_.erase(st.lifName);
    SetPrefixRefs(lrpId, {});
    // The dataplane dropped the LIF's DAD state with it.
    auto dad = dad_.find(st.lifName);
    if (dad != dad_.end()) {
        dad->second.lastReport.clear();
        dad->second.lastSent.clear();
    }
}

// ---- prefix lists ----

bool L3App::PrefixIndex(const std::string& listId, uint32_t* index) {
    auto it = prefixLists_.find(listId);
    if (it == prefixLists_.end() || !it->second.inStore || it->second.sent.empty()) {
        CFG_ERROR_CODE("LCP00029", "%1: prefix list %2 not found when get index", kName,
                       IdText(listId));
        return false;
    }
    *index = it->second.index;
    return true;
}

void L3App::SetPrefixRefs(const std::string& lrpId, const std::vector<std::string>& lists) {
    const std::set<std::string> next(lists.begin(), lists.end());
    auto cur = lifPrefixRefs_.find(lrpId);
    if (cur == lifPrefixRefs_.end() && next.empty())
        return;
    const std::set<std::string> before =
        cur != lifPrefixRefs_.end() ? cur->second : std::set<std::string>();
    const std::string lifText = IdText(lrpId);
    for (const std::string& l : next) {
        if (before.count(l) != 0)
            continue;
        PrefixListState& p = prefixLists_[l];
        p.lifs.insert(lrpId);
        CFG_DEBUG("%1: prefix list %2 ref %3 when reference lif %4", kName, IdText(l),
                  p.lifs.size(), lifText);
    }
    for (const std::string& l : before) {
        if (next.count(l) != 0)
            continue;
        auto p = prefixLists_.find(l);
        if (p == prefixLists_.end())
            continue;
        p->second.lifs.erase(lrpId);
        if (p->second.lifs.empty() && !p->second.inStore) {
            CFG_INFO("%1: Delete prefixList %2 (index %3) ref count %4", kName, IdText(l),
                     p->second.index, 0);
            if (!p->second.sent.empty())
                Send(vdr::BuildPrefixListDelete(p->second.index));
            prefixLists_.erase(p);
        }
    }
    if (next.empty()) {
        CFG_DEBUG("%1: remove LRP prefix list ref map entry for lif %2", kName, lifText);
        lifPrefixRefs_.erase(lrpId);
    } else {
        lifPrefixRefs_[lrpId] = next;
    }
}

void L3App::SyncPrefixList(const std::string& listId) {
    pb::PrefixListMsg list;
    const bool inStore = l3Table_->QueryPrefixList(listId, &list);
    auto it = prefixLists_.find(listId);
    if (!inStore) {
        if (it == prefixLists_.end())
            return;
        PrefixListState& p = it->second;
        p.inStore = false;
        CFG_INFO("%1: Delete prefixList %2 (index %3) ref count %4", kName, IdText(listId), p.index,
                 p.lifs.size());
        // A list that LIFs still refer to stays until the last of them lets go.
        if (p.lifs.empty()) {
            if (!p.sent.empty())
                Send(vdr::BuildPrefixListDelete(p.index));
            prefixLists_.erase(it);
        }
        return;
    }
    if (it == prefixLists_.end() || !it->second.inStore) {
        CFG_INFO("%1: Add prefixList %2 (index %3) to map", kName, IdText(listId), list.index());
    }
    PrefixListState& p = prefixLists_[listId];
    if (!p.sent.empty() && p.index != list.index()) {
        CFG_WARN("%1: prefix list %2 changes its index from %3 to %4", kName, IdText(listId),
                 p.index, list.index());
        if (p.lifs.empty()) {
            Send(vdr::BuildPrefixListDelete(p.index));
            p.sent.clear();
        }
    }
    p.inStore = true;
    p.index = list.index();
    DpMsg add = VDRPrefixListAddPB2TLV(p.index, list);
    if (!add.empty() && add != p.sent) {
        p.sent = add;
        Send(std::move(add));
    }
}

// ---- bridge endpoints, multicast configuration, global settings ----

void L3App::SyncBridge(const std::string& lspId) {
    std::string body;
    pb::LogSwitchPortConfigMsg lsp;
    const bool have =
        configTable_->GetProperty(ConfigStore::kDesired, ObjectType::LOG_SWITCH_PORT_CONFIG, lspId,
                                  PropertyType::INVALID_PROPERTY, &body) &&
        lsp.ParseFromString(body) && lsp.has_bridge_endpoint();
    auto it = bridges_.find(lspId);
    const std::string name = IdText(lspId);
    if (!have)
        bridgeIds_.erase(lspId);
    std::string lsId = lsp.switch_id().SerializeAsString();
    std::string lsBody, dvs;
    pb::LogSwitchConfigMsg ls;
    const bool ready =
        have && lsp.has_switch_id() &&
        configTable_->GetProperty(ConfigStore::kDesired, ObjectType::LOG_SWITCH_CONFIG, lsId,
                                  PropertyType::INVALID_PROPERTY, &lsBody) &&
        ls.ParseFromString(lsBody) && DvsOfSwitch(configTable_, lsId, &dvs);
    DpMsg add;
    if (ready) {
        add = VDRBridgeEndpointAddPB2TLV(name, lsp.bridge_endpoint(), IdText(lsId), ls.vni(),
                                         IdText(dvs));
    } else if (have) {
        CFG_DEBUG("%1: bridge endpoint %2 waits for its switch and DVS", kName, name);
    }
    if (add.empty()) {
        if (it != bridges_.end()) {
            CFG_INFO("%1: Delete bridge endpoint %2", kName, name);
            Send(VDRBridgeEndpointDelPB2TLV(name));
            bridges_.erase(it);
        }
        return;
    }
    if (it != bridges_.end() && it->second.sent == add)
        return;
    CFG_INFO("%1: Add bridge endpoint %2", kName, name);
    BridgeState& st = bridges_[lspId];
    st.lsId = lsId;
    st.sent = add;
    Send(std::move(add));
}

void L3App::SyncMcastConfig(const std::string& id) {
    pb::MulticastConfigMsg mc;
    const bool inStore = l3Table_->QueryMulticastConfig(id, &mc);
    auto it = mcastConfigs_.find(id);
    const std::string lrId = mc.lr_uuid().SerializeAsString();
    const uint32_t vdrId = inStore ? VdrOfRouter(lrId) : 0;
    // Gone, or moved to another router: the old router's configuration goes.
    if (it != mcastConfigs_.end() && !it->second.sent.empty() &&
        (!inStore || it->second.lrId != lrId || it->second.vdrId != vdrId)) {
        Send(vdr::BuildMcastConfigDelete(it->second.vdrId));
        it->second.sent.clear();
    }
    if (!inStore) {
        StopWaiting(Kind::kMcastConfig, id);
        if (it != mcastConfigs_.end())
            mcastConfigs_.erase(it);
        return;
    }
    McastConfigState& st = mcastConfigs_[id];
    st.lrId = lrId;
    st.vdrId = vdrId;
    if (vdrId == 0) {
        WaitFor(RouterKey(lrId), Kind::kMcastConfig, id);
        return;
    }
    StopWaiting(Kind::kMcastConfig, id);
    DpMsg m = VDRMulticastConfigPB2TLV(vdrId, mc);
    if (!m.empty() && m != st.sent) {
        st.sent = m;
        Send(std::move(m));
    }
}

void L3App::SyncGlobal(bool force) {
    pb::GlobalConfigMsg global;
    if (!l3Table_->QueryGlobalConfig(&global))
        return;
    DpMsg m = VDRGlobalUpdatePB2TLV(global);
    if (m.empty() || (!force && m == global_))
        return;
    global_ = m;
    Send(std::move(m));
}

}  // namespace CfgAgent
