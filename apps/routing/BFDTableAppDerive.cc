// BFDTableApp: deriving the sessions of a logical switch from the stores, and the maps that tell
// which switches a change of a routing domain or a VTEP group touches.
#include <cstring>

#include "apps/routing/BFDTableApp.h"
#include "apps/switching/IL2App.h"
#include "dataplane/DpFraming.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"
#include "statecache/IStateCacheConfigTable.h"
#include "statecache/IStateCacheL2Table.h"
#include "statecache/IStateCacheL3Table.h"
#include "statecache/IdText.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

bool AddressOf(const pb::IpAddressMsg& ip, BfdAddress* out) {
    *out = BfdAddress{};
    if (ip.has_ipv4()) {
        StoreBe32(out->bytes.data(), ip.ipv4());
        return true;
    }
    if (ip.has_ipv6() && ip.ipv6().size() == out->bytes.size()) {
        out->ipv6 = true;
        std::memcpy(out->bytes.data(), ip.ipv6().data(), out->bytes.size());
        return true;
    }
    return false;
}

bool NilUuid(const pb::UuidMsg& u) {
    return u.left() == 0 && u.right() == 0;
}

}  // namespace

// ---- L2 table observers ----

void BFDTableApp::ProcessL2DesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) {
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_)
        return;
    Pass pass(*this);
    if (fullSync) {
        RebuildGroups();
        RecomputeAll();
        return;
    }
    IndexGroupRecords(updates);
    for (const CairnDBUpdateMsg& r : updates) {
        const bool vteps =
            r.property == PropertyType::INVALID_PROPERTY || r.property == PropertyType::L2_VTEP;
        if (r.objType == ObjectType::LOG_SWITCH_FIB &&
            (vteps || r.property == PropertyType::L2_VTEP_GROUP_LABEL)) {
            dirty_.insert(r.id);
        } else if (r.objType == ObjectType::ROUTING_DOMAIN_FIB && vteps) {
            MarkDomainSwitches(r.id);
        }
    }
    RecomputeDirty();
}

void BFDTableApp::ProcessL2RuntimeStateUpdate(const CairnDBUpdateList& updates, bool fullSync) {
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_)
        return;
    Pass pass(*this);
    if (fullSync) {
        RecomputeAll();
        return;
    }
    MarkRuntimeChanges(updates);
    RecomputeDirty();
}

void BFDTableApp::ProcessL2RuntimeStateBatch(const std::vector<CairnDBUpdateList>& lists) {
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_)
        return;
    Pass pass(*this);
    for (const CairnDBUpdateList& updates : lists)
        MarkRuntimeChanges(updates);
    RecomputeDirty();
}

void BFDTableApp::MarkRuntimeChanges(const CairnDBUpdateList& updates) {
    for (const CairnDBUpdateMsg& r : updates) {
        if (r.property != PropertyType::INVALID_PROPERTY && r.property != PropertyType::L2_VTEP)
            continue;
        if (r.objType == ObjectType::LOG_SWITCH_STATE)
            dirty_.insert(r.id);
        else if (r.objType == ObjectType::ROUTING_DOMAIN_VTEP)
            MarkDomainSwitches(r.id);
    }
}

// ---- recomputing ----

void BFDTableApp::RecomputeDirty() {
    const std::set<std::string> dirty = std::move(dirty_);
    dirty_.clear();
    for (const std::string& ls : dirty)
        Recompute(ls);
}

void BFDTableApp::RecomputeAll() {
    std::set<std::string> all = table_.LocalIds();
    for (const auto& [ls, rd] : lsRd_)
        all.insert(ls);
    for (const auto& [ls, labels] : lsLabels_)
        all.insert(ls);
    CairnDBUpdateList switches;
    if (options_.configTable != nullptr && options_.configTable->GetObjectsWithProperty(
                                               ConfigStore::kDesired, ObjectType::LOG_SWITCH_CONFIG,
                                               PropertyType::LS_VNI, &switches)) {
        for (const CairnDBUpdateMsg& r : switches)
            all.insert(r.id);
    }
    dirty_.clear();
    for (const std::string& ls : all)
        Recompute(ls);
    CFG_INFO("%1: %2 logical switches derived: %3 entries, %4 references, %5 dataplane sessions",
             kName, all.size(), table_.EntryCount(), table_.ReferenceCount(), dpSessions_.size());
}

void BFDTableApp::Recompute(const std::string& ls) {
    const std::string rd = RoutingDomainOf(ls);
    auto it = lsRd_.find(ls);
    const std::string oldRd = it != lsRd_.end() ? it->second : std::string();
    const bool moved = !oldRd.empty() && oldRd != rd;
    if (moved)
        UpdateRoutingDomainMap(ls, oldRd, false);
    if (!rd.empty() && oldRd != rd)
        UpdateRoutingDomainMap(ls, rd, true);

    BfdWantedSet want;
    std::set<uint32_t> labels;
    Derive(ls, rd, &want, &labels);
    want.Seal();
    UpdateGroupMap(ls, labels);

    auto logChange = [&](const BfdSessionKey& k, const BfdReference& ref, uint32_t vni, int op) {
        if (ref.remoteType == BfdIdType::kLogicalSwitch) {
            CFG_DEBUG(
                "%1: VNIBasedBFDLocalL2CacheUpdate: Update BFD session (%2 -> %3) for vni "
                ":%4 op: %5",
                kName, k.local.Text(), k.remote.Text(), vni, op);
        } else if (ref.remoteType == BfdIdType::kRoutingDomain && moved) {
            CFG_DEBUG(
                "%1: RoutingDomainOfLogicalSwitchUpdate: Update BFD session (%2 -> %3) for "
                "RD:%4 --> vni :%5 op: %6",
                kName, k.local.Text(), k.remote.Text(), ref.RemoteText(), vni, op);
        } else if (ref.remoteType == BfdIdType::kRoutingDomain) {
            CFG_DEBUG(
                "%1: VNIBasedBFDLocalL2CacheUpdate: Update BFD session (%2 -> %3) for vni "
                ":%4 -> RD:%5 op: %6",
                kName, k.local.Text(), k.remote.Text(), vni, ref.RemoteText(), op);
        } else {
            CFG_DEBUG(
                "%1: VGLabelBasedBFDRemoteL2CacheUpdate: Update BFD session (%2 -> %3) for "
                "vgLabel :%4 op: %5",
                kName, k.local.Text(), k.remote.Text(), ref.RemoteText(), op);
        }
    };

    // The switch's references in the table and the ones it wants, both in Item order, walked
    // side by side: what only the table has goes, what only `want` has or with another VNI is
    // added. Removals first: a reference that moved to another VNI is re-added below.
    std::vector<std::pair<BFDTable::Item, uint32_t>> gone;
    std::vector<const BFDTable::Ref*> adds;
    const BFDTable::LocalRefs& have = table_.OfLocal(ls);
    const std::vector<BFDTable::Ref>& wanted = want.Items();
    const BFDTable::ItemLess less;
    auto h = have.begin();
    auto w = wanted.begin();
    while (h != have.end() || w != wanted.end()) {
        if (w == wanted.end() || (h != have.end() && less(*h, *w))) {
            gone.emplace_back(BFDTable::Item{*h->key, *h->ref}, *h->vni);
            ++h;
        } else if (h == have.end() || less(*w, *h)) {
            adds.push_back(&*w);
            ++w;
        } else {
            if (*h->vni != *w->vni)
                adds.push_back(&*w);
            ++h;
            ++w;
        }
    }
    for (const auto& [item, vni] : gone) {
        logChange(item.first, item.second, vni, 1);
        UpdateBFDTable(item.first, 1, item.second, vni);
    }
    for (const BFDTable::Ref* add : adds) {
        logChange(*add->key, *add->ref, *add->vni, 0);
        UpdateBFDTable(*add->key, 0, *add->ref, *add->vni);
    }
}

void BFDTableApp::Derive(const std::string& ls, const std::string& rd, BfdWantedSet* out,
                         std::set<uint32_t>* labels) const {
    uint32_t vni = 0;
    if (!options_.l2App->VniOfLogicalSwitch(ls, &vni))
        vni = 0;
    const std::vector<Vtep> local = Vteps(true, ObjectType::LOG_SWITCH_STATE, ls);

    // VNI-based: recorded against the routing domain when the switch has one.
    const BfdReference vniRef = rd.empty() ? BfdReference{ls, BfdIdType::kLogicalSwitch, ls}
                                           : BfdReference{rd, BfdIdType::kRoutingDomain, ls};
    out->Pair(local, Vteps(false, ObjectType::LOG_SWITCH_FIB, ls), 0, vniRef, vni);

    // Routing-domain-based, for the EVPN switches of a domain other than the global one.
    if (!rd.empty() && IsEVPNLogicalSwitch(ls)) {
        if (rd == GlobalRoutingDomain()) {
            CFG_DEBUG(
                "BFDTable::RoutingDomainBasedBFDLocalL2CacheUpdate: Skip global routing "
                "domain");
        } else {
            bool found = false;
            std::vector<Vtep> remote = Vteps(false, ObjectType::ROUTING_DOMAIN_FIB, rd, &found);
            if (!found)
                CFG_DEBUG("%1: No such routing domain exiting for the RD: %2", kName, IdText(rd));
            out->Pair(Vteps(true, ObjectType::ROUTING_DOMAIN_VTEP, rd), remote, 0,
                      BfdReference{rd, BfdIdType::kRoutingDomain, ls}, vni);
        }
    }

    // VTEP-group-based.
    CairnDBUpdateList records;
    if (options_.l2Table != nullptr) {
        options_.l2Table->GetProperty(L2Store::kDesired, ObjectType::LOG_SWITCH_FIB, ls,
                                      PropertyType::L2_VTEP_GROUP_LABEL, &records);
    }
    for (const CairnDBUpdateMsg& r : records) {
        pb::VtepLabelMsg l;
        if (r.property != PropertyType::L2_VTEP_GROUP_LABEL || !l.ParseFromString(r.data) ||
            !l.has_label()) {
            continue;
        }
        labels->insert(l.label());
        DeriveGroup(ls, l.label(), local, vni, out);
    }
}

void BFDTableApp::DeriveGroup(const std::string& ls, uint32_t label, const std::vector<Vtep>& local,
                              uint32_t vni, BfdWantedSet* out) const {
    auto id = groupIds_.find(label);
    if (id == groupIds_.end()) {
        CFG_ERROR_CODE("LCP02204",
                       "%1: IsTNVtepGroupMsg: this label: %2 is not TN TEP group label, MP "
                       "should pass a correct one.",
                       kName, label);
        return;
    }
    CairnDBUpdateList records;
    if (options_.l2Table == nullptr ||
        !options_.l2Table->GetObject(L2Store::kDesired, id->second, &records)) {
        CFG_WARN(
            "%1: VGLabelBasedBFDRemoteL2CacheUpdate: VTEP GROUP (%2) msg cannot be found "
            "from desired state cache",
            kName, label);
        return;
    }
    bool bfd = false;
    std::vector<Vtep> members;
    for (const CairnDBUpdateMsg& r : records) {
        if (r.objType != ObjectType::VTEP_GROUP)
            continue;
        if (r.property == PropertyType::L2_VTEP_GROUP) {
            pb::VtepGroupMsg g;
            bfd = g.ParseFromString(r.data) && g.activeness_protocol() == kMbrVtepBfd;
        } else if (r.property == PropertyType::L2_VTEP_GROUP_LABEL) {
            pb::VtepLabelMsg m;
            Vtep v;
            if (m.ParseFromString(r.data) && AddressOf(m.vtep_ip(), &v.ip)) {
                v.label = m.label();
                members.push_back(v);
            }
        }
    }
    if (!bfd) {
        CFG_ERROR_CODE("LCP02205",
                       "%1: VGLabelBasedBFDRemoteL2CacheUpdate: The activeness_protocol of VTEP "
                       "GROUP (%2) is not MBR_VTEP_BFD or doesn't exist.",
                       kName, label);
        return;
    }
    out->Pair(local, members, label, BfdReference{std::to_string(label), BfdIdType::kVtepGroup, ls},
              vni);
}

std::vector<BFDTableApp::Vtep> BFDTableApp::Vteps(bool runtime, ObjectType type,
                                                  const std::string& id, bool* found) const {
    std::vector<Vtep> out;
    CairnDBUpdateList records;
    const bool ok = options_.l2Table != nullptr &&
                    options_.l2Table->GetProperty(runtime ? L2Store::kRuntime : L2Store::kDesired,
                                                  type, id, PropertyType::L2_VTEP, &records);
    if (found != nullptr)
        *found = ok;
    out.reserve(records.size());
    pb::LogSwitchVtepEntryMsg e;  // one message parsed into again and again: no allocation each
    for (const CairnDBUpdateMsg& r : records) {
        Vtep v;
        if (r.property != PropertyType::L2_VTEP || !e.ParseFromString(r.data) ||
            !AddressOf(e.ip(), &v.ip)) {
            continue;
        }
        v.label = e.label();
        out.push_back(v);
    }
    return out;
}

// ---- configuration lookups ----

bool BFDTableApp::IsEVPNLogicalSwitch(const std::string& ls) const {
    AgentLockGuard lock(GlobalAgentLock());
    std::string body;
    pb::LogSwitchConfigMsg m;
    if (options_.configTable == nullptr ||
        !options_.configTable->GetProperty(ConfigStore::kDesired, ObjectType::LOG_SWITCH_CONFIG, ls,
                                           PropertyType::INVALID_PROPERTY, &body) ||
        !m.ParseFromString(body)) {
        CFG_DEBUG("IsEVPNLogicalSwitch: logical switch ID %1is not found", IdText(ls));
        return false;
    }
    if (m.evpn_mode() != 0) {
        CFG_DEBUG("IsEVPNLogicalSwitch: logical switch ID %1is for EVPN", IdText(ls));
        return true;
    }
    CFG_DEBUG("IsEVPNLogicalSwitch: logical switch ID %1is not for EVPN", IdText(ls));
    return false;
}

std::string BFDTableApp::RoutingDomainOf(const std::string& ls) const {
    std::string body;
    pb::LogSwitchConfigMsg m;
    if (options_.configTable == nullptr ||
        !options_.configTable->GetProperty(ConfigStore::kDesired, ObjectType::LOG_SWITCH_CONFIG, ls,
                                           PropertyType::INVALID_PROPERTY, &body) ||
        !m.ParseFromString(body) || !m.has_routing_domain_id()) {
        return {};
    }
    if (NilUuid(m.routing_domain_id())) {
        CFG_DEBUG(
            "BFDTable::UpdateRoutingDomainMap: invalid routingDomainID for LS %1, skip adding",
            IdText(ls));
        return {};
    }
    return m.routing_domain_id().SerializeAsString();
}

std::string BFDTableApp::GlobalRoutingDomain() const {
    pb::GlobalConfigMsg g;
    if (options_.l3Table == nullptr || !options_.l3Table->QueryGlobalConfig(&g) ||
        !g.has_global_routing_domain_id() || NilUuid(g.global_routing_domain_id())) {
        return {};
    }
    return g.global_routing_domain_id().SerializeAsString();
}

void BFDTableApp::UpdateRoutingDomainMap(const std::string& ls, const std::string& rd, bool add) {
    if (rd.empty()) {
        CFG_DEBUG(add ? "BFDTable::UpdateRoutingDomainMap: invalid routingDomainID for LS %1, "
                        "skip adding"
                      : "BFDTable::UpdateRoutingDomainMap: invalid routingDomainID for LS %1, "
                        "skip deleting",
                  IdText(ls));
        return;
    }
    if (add) {
        CFG_INFO("%1: Add a new routingDomain ID %2", kName, IdText(rd));
        rdLSMap_[rd].insert(ls);
        lsRd_[ls] = rd;
        return;
    }
    CFG_INFO("%1: Delete the routingDomain ID %2", kName, IdText(rd));
    auto it = rdLSMap_.find(rd);
    if (it != rdLSMap_.end() && it->second.erase(ls) != 0 && it->second.empty())
        rdLSMap_.erase(it);
    auto own = lsRd_.find(ls);
    if (own != lsRd_.end() && own->second == rd)
        lsRd_.erase(own);
}

void BFDTableApp::MarkDomainSwitches(const std::string& rd) {
    auto it = rdLSMap_.find(rd);
    if (it != rdLSMap_.end())
        dirty_.insert(it->second.begin(), it->second.end());
}

void BFDTableApp::UpdateGroupMap(const std::string& ls, const std::set<uint32_t>& labels) {
    auto old = lsLabels_.find(ls);
    const std::set<uint32_t> none;
    const std::set<uint32_t>& before = old == lsLabels_.end() ? none : old->second;
    if (before == labels)
        return;
    for (uint32_t label : before) {
        if (labels.count(label) != 0)
            continue;
        CFG_DEBUG("%1: Update _vgLSMap, vgLabel: %2, lsStr: %3, op: %4", kName, label, IdText(ls),
                  1);
        auto it = vgLSMap_.find(label);
        if (it != vgLSMap_.end() && it->second.erase(ls) != 0 && it->second.empty())
            vgLSMap_.erase(it);
    }
    for (uint32_t label : labels) {
        if (before.count(label) == 0) {
            CFG_DEBUG("%1: Update _vgLSMap, vgLabel: %2, lsStr: %3, op: %4", kName, label,
                      IdText(ls), 0);
            vgLSMap_[label].insert(ls);
        }
    }
    if (labels.empty())
        lsLabels_.erase(ls);
    else
        lsLabels_[ls] = labels;
}

void BFDTableApp::IndexGroupRecords(const CairnDBUpdateList& updates) {
    auto markLabel = [&](uint32_t label) {
        auto it = vgLSMap_.find(label);
        if (it != vgLSMap_.end())
            dirty_.insert(it->second.begin(), it->second.end());
    };
    auto forget = [&](const std::string& id) {
        auto it = groupLabels_.find(id);
        if (it == groupLabels_.end())
            return;
        markLabel(it->second);
        auto byLabel = groupIds_.find(it->second);
        if (byLabel != groupIds_.end() && byLabel->second == id)
            groupIds_.erase(byLabel);
        groupLabels_.erase(it);
    };
    for (const CairnDBUpdateMsg& r : updates) {
        if (r.objType != ObjectType::VTEP_GROUP)
            continue;
        if (r.property == PropertyType::INVALID_PROPERTY && r.op == Operation::OPERATION_DELETE) {
            forget(r.id);
        } else if (r.property == PropertyType::L2_VTEP_GROUP &&
                   r.op == Operation::OPERATION_UPDATE) {
            pb::VtepGroupMsg g;
            if (!g.ParseFromString(r.data) || !g.has_key() || g.key() > UINT32_MAX)
                continue;
            forget(r.id);
            const uint32_t label = static_cast<uint32_t>(g.key());
            groupIds_[label] = r.id;
            groupLabels_[r.id] = label;
            markLabel(label);
        } else {
            // Members or protocol of a known group changed.
            auto it = groupLabels_.find(r.id);
            if (it != groupLabels_.end())
                markLabel(it->second);
        }
    }
}

void BFDTableApp::RebuildGroups() {
    groupIds_.clear();
    groupLabels_.clear();
    CairnDBUpdateList records;
    if (options_.l2Table == nullptr ||
        !options_.l2Table->GetObjectsOfType(L2Store::kDesired, ObjectType::VTEP_GROUP, &records)) {
        return;
    }
    for (const CairnDBUpdateMsg& r : records) {
        pb::VtepGroupMsg g;
        if (r.property != PropertyType::L2_VTEP_GROUP || !g.ParseFromString(r.data) ||
            !g.has_key() || g.key() > UINT32_MAX) {
            continue;
        }
        groupIds_[static_cast<uint32_t>(g.key())] = r.id;
        groupLabels_[r.id] = static_cast<uint32_t>(g.key());
    }
}

}  // namespace CfgAgent
