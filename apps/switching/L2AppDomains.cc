// L2App: routing domains and VTEP groups. The routing domains of the joined VNIs go to the
// dataplane per switch (data type 10) and, with their remote VTEPs, per domain (Routing domain
// membership change); VTEP groups go whole (VTEP group message) and are bound to the logical
// switches and routing domains that name their label.
#include <nlohmann/json.hpp>

#include "apps/switching/L2App.h"
#include "apps/switching/L2AppInternal.h"
#include "proto/cairndb_l2fib.pb.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"
#include "statecache/IStateCacheL2Table.h"
#include "statecache/IdText.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;
using namespace vxlan;
using l2detail::AddressOf;
using l2detail::AddressText;
using l2detail::UuidBytesOf;
using l2detail::VtepEntryPB2TLV;

namespace {

UuidBytes RdBytes(const std::string& rd) {
    pb::UuidMsg u;
    u.ParseFromString(rd);
    return UuidBytesOf(u);
}

// The label of a group key; false for a key that does not fit the 32-bit label.
bool GroupLabelOf(const pb::VtepGroupMsg& g, uint32_t* label) {
    if (!g.has_key() || g.key() > UINT32_MAX)
        return false;
    *label = static_cast<uint32_t>(g.key());
    return true;
}

}  // namespace

// ---- routing domains ----

bool L2App::OnlyInstance(uint32_t* id) const {
    if (instances_.empty()) {
        CFG_INFO("%1: sync global routing domain, no ovl2 instance found", kName);
        return false;
    }
    if (instances_.size() > 1) {
        CFG_ERROR_CODE("LCP00409",
                       "%1: only one host switch is supported for global routing domain %2 "
                       "instance found",
                       kName, instances_.size());
        return false;
    }
    *id = *instances_.begin();
    return true;
}

void L2App::SyncGlobalReplication() {
    if (sessionState_ != kSessionFullSyncEnded || !globalReplicationMode_) {
        if (!globalReplicationMode_)
            replicationSent_.reset();
        return;
    }
    uint32_t only = 0;
    if (!OnlyInstance(&only)) {
        replicationSent_.reset();  // sent again once there is exactly one
        return;
    }
    const uint32_t mode = *globalReplicationMode_;
    if (mode > UINT8_MAX) {
        CFG_ERROR_CODE("LCP00019", "%1: global replication mode %2 is not a dataplane mode", kName,
                       mode);
        return;
    }
    if (replicationSent_ == std::make_pair(only, mode))
        return;
    CFG_INFO("%1: set l2 global replication mode to %2", kName, mode);
    if (SendLocked(BuildGlobalReplication(only, static_cast<uint8_t>(mode))))
        replicationSent_ = std::make_pair(only, mode);
}

void L2App::SyncRoutingDomains(bool atFullSyncEnd) {
    if (sessionState_ < kSessionOpenAcked)
        return;
    // What the joined VNIs imply: per switch its domains, per domain its logical switches.
    std::map<uint32_t, std::set<std::string>> lists;
    std::map<std::string, DomainEntry> want;
    for (const auto& [vni, entry] : vnis_) {
        if (entry.lsId.empty())
            continue;
        std::string rd = RoutingDomainOf(entry.lsId);
        if (rd.empty())
            continue;
        lists[entry.switchId].insert(rd);
        DomainEntry& d = want[rd];
        if (d.switches.empty())
            d.switchId = entry.switchId;
        d.switches.insert(entry.lsId);
    }
    uint32_t only = 0;
    const bool ended = sessionState_ == kSessionFullSyncEnded;
    if (!globalRd_.empty() && ended && OnlyInstance(&only)) {
        DomainEntry& d = want[globalRd_];
        d.switchId = d.switches.empty() ? only : d.switchId;
        d.global = true;
    }
    // Domains left: their remote state leaves the dataplane (ROUTING_DOMAIN_VTEP: SyncRdVteps).
    for (auto it = domains_.begin(); it != domains_.end();) {
        const std::string& rd = it->first;
        DomainEntry& had = it->second;
        auto now = want.find(rd);
        for (const std::string& ls : had.switches) {
            if (now == want.end() || now->second.switches.count(ls) == 0)
                CFG_INFO("%1: Detach LS %2 from routingDomainID %3", kName, IdText(ls), IdText(rd));
        }
        if (now != want.end()) {
            for (const std::string& ls : now->second.switches) {
                if (had.switches.count(ls) == 0)
                    CFG_INFO("%1: Attach LS %2 to routingDomainID %3", kName, IdText(ls),
                             IdText(rd));
            }
        }
        if (now != want.end() && now->second.switchId == had.switchId &&
            now->second.global == had.global) {
            had.switches = std::move(now->second.switches);
            want.erase(now);
            ++it;
            continue;
        }
        CFG_INFO("%1: Delete the routingDomain ID %2", kName, IdText(rd));
        CFG_INFO(
            "%1: Delete runtime and desired states when routing domain %2 is detached. "
            "Global routing domain %3",
            kName, IdText(rd), had.global ? "yes" : "no");
        if (had.pushed) {
            RdMembership leave;
            leave.switchId = had.switchId;
            leave.routingDomain = RdBytes(rd);
            leave.op = kOpLeave;
            leave.global = had.global ? 1 : 0;
            SendLocked(BuildRdMembership(leave));
        }
        it = domains_.erase(it);
    }
    for (auto& [rd, d] : want) {
        CFG_INFO("%1: Add a new routingDomain ID %2", kName, IdText(rd));
        for (const std::string& ls : d.switches)
            CFG_INFO("%1: Attach LS %2 to routingDomainID %3", kName, IdText(ls), IdText(rd));
        DomainEntry& added = domains_[rd];
        added = std::move(d);
        if (ended && !atFullSyncEnd)
            PushDomain(rd, added);
    }
    // Per-switch lists that changed (an emptied one goes once, empty).
    for (auto& [sw, rds] : lists) {
        auto& sent = rdLists_[sw];
        if (sent == rds)
            continue;
        std::vector<UuidBytes> uuids;
        for (const std::string& rd : rds) {
            uuids.push_back(RdBytes(rd));
            CFG_INFO("%1: Update routingDomainID %2 with switchID %3", kName, IdText(rd), sw);
        }
        SendLocked(BuildRdListUpdate(sw, uuids));
        sent = rds;
    }
    for (auto it = rdLists_.begin(); it != rdLists_.end();) {
        if (lists.count(it->first) != 0) {
            ++it;
            continue;
        }
        SendLocked(BuildRdListUpdate(it->first, {}));
        it = rdLists_.erase(it);
    }
}

void L2App::PushDomains() {
    bool any = false;
    bool anyGlobal = false;
    for (auto& [rd, d] : domains_) {
        if (d.pushed)
            continue;
        if (d.global) {
            CFG_INFO("%1: L2 remote global routing state cache sync to dp msg", kName);
            anyGlobal = true;
        } else if (!any) {
            CFG_INFO("%1: L2 remote routing state cache sync to dp msg", kName);
            any = true;
        }
        PushDomain(rd, d);
    }
    if (!any)
        CFG_INFO("%1: L2 remote routing state cache is empty", kName);
    if (!anyGlobal)
        CFG_INFO("%1: L2 remote global routing state cache is empty", kName);
}

void L2App::SendDomainBatch(const std::string& rd, const DomainEntry& d, EntryBuffer& removed,
                            EntryBuffer& added) {
    RdMembership head;
    head.switchId = d.switchId;
    head.routingDomain = RdBytes(rd);
    head.global = d.global ? 1 : 0;
    for (DpMsg& m : BuildRdStates(head, removed, added, settings_.maxMsgLength))
        SendLocked(std::move(m));
    removed = EntryBuffer(kVtepEntrySize);
    added = EntryBuffer(kVtepEntrySize);
}

void L2App::AddStaleDomainEntries(const std::string& rd, DomainEntry& d, EntryBuffer& removed) {
    std::string body;
    for (auto it = d.vteps.begin(); it != d.vteps.end();) {
        if (options_.l2Table != nullptr &&
            options_.l2Table->GetEntry(L2Store::kDesired, ObjectType::ROUTING_DOMAIN_FIB, rd,
                                       PropertyType::L2_VTEP, it->first, &body)) {
            ++it;
            continue;
        }
        WriteVtepEntry(it->second, removed.Append());
        it = d.vteps.erase(it);
    }
}

void L2App::PushDomain(const std::string& rd, DomainEntry& d) {
    EntryBuffer removed(kVtepEntrySize);
    EntryBuffer added(kVtepEntrySize);
    AddStaleDomainEntries(rd, d, removed);
    CairnDBUpdateList records;
    if (options_.l2Table != nullptr) {
        options_.l2Table->GetProperty(L2Store::kDesired, ObjectType::ROUTING_DOMAIN_FIB, rd,
                                      PropertyType::L2_VTEP, &records);
    }
    for (const CairnDBUpdateMsg& r : records) {
        pb::LogSwitchVtepEntryMsg m;
        VtepEntry e;
        L2ValueKey key;
        if (r.property != PropertyType::L2_VTEP || !m.ParseFromString(r.data) ||
            !GetL2PropertyValueKey(r.property, r.data, &key) || !VtepEntryPB2TLV(m, &e)) {
            continue;
        }
        d.vteps[key] = e;
        WriteVtepEntry(e, added.Append());
    }
    CFG_DEBUG("%1: routing domain %2: %3 remote VTEPs pushed", kName, IdText(rd), d.vteps.size());
    d.pushed = true;
    SendDomainBatch(rd, d, removed, added);
    SyncRdBindings(rd, d);
}

void L2App::ApplyDomainRecords(const CairnDBUpdateList& updates) {
    std::string runId;
    DomainEntry* d = nullptr;
    EntryBuffer removed(kVtepEntrySize);
    EntryBuffer added(kVtepEntrySize);
    auto flush = [&] {
        if (d != nullptr && removed.Count() + added.Count() != 0)
            SendDomainBatch(runId, *d, removed, added);
    };
    for (const CairnDBUpdateMsg& r : updates) {
        if (r.objType != ObjectType::ROUTING_DOMAIN_FIB)
            continue;
        if (r.id != runId) {
            flush();
            runId = r.id;
            auto it = domains_.find(r.id);
            d = it != domains_.end() && it->second.pushed ? &it->second : nullptr;
        }
        if (d == nullptr)
            continue;
        if (r.op != Operation::OPERATION_UPDATE && r.op != Operation::OPERATION_DELETE) {
            CFG_ERROR_CODE("LCP00007", "Unsupported operation type %1", r.op);
            continue;
        }
        const bool add = r.op == Operation::OPERATION_UPDATE;
        if (r.property == PropertyType::INVALID_PROPERTY) {
            if (!add)
                AddStaleDomainEntries(r.id, *d, removed);  // the domain's FIB is gone
            continue;
        }
        if (r.property == PropertyType::L2_VTEP_GROUP_LABEL) {
            SyncRdBindings(r.id, *d);
            continue;
        }
        pb::LogSwitchVtepEntryMsg m;
        VtepEntry e;
        L2ValueKey key;
        if (r.property != PropertyType::L2_VTEP || !m.ParseFromString(r.data) ||
            !GetL2PropertyValueKey(r.property, r.data, &key) || (add && !VtepEntryPB2TLV(m, &e))) {
            continue;
        }
        if (!add) {
            // Removals are applied before additions: what was batched goes first.
            if (added.Count() != 0)
                SendDomainBatch(runId, *d, removed, added);
            auto it = d->vteps.find(key);
            if (it != d->vteps.end()) {
                WriteVtepEntry(it->second, removed.Append());
                d->vteps.erase(it);
            }
            continue;
        }
        d->vteps[key] = e;
        WriteVtepEntry(e, added.Append());
    }
    flush();
}

// ---- VTEP groups ----

std::set<uint32_t> L2App::StoreLabels(ObjectType type, const std::string& id) const {
    std::set<uint32_t> out;
    CairnDBUpdateList records;
    if (options_.l2Table == nullptr ||
        !options_.l2Table->GetProperty(L2Store::kDesired, type, id,
                                       PropertyType::L2_VTEP_GROUP_LABEL, &records)) {
        return out;
    }
    for (const CairnDBUpdateMsg& r : records) {
        pb::VtepLabelMsg l;
        if (r.property == PropertyType::L2_VTEP_GROUP_LABEL && l.ParseFromString(r.data) &&
            l.has_label()) {
            out.insert(l.label());
        }
    }
    return out;
}

void L2App::IndexGroups(const CairnDBUpdateList& updates, bool fullSync) {
    for (const CairnDBUpdateMsg& r : updates) {
        if (r.property != PropertyType::L2_VTEP_GROUP_LABEL ||
            (r.objType != ObjectType::LOG_SWITCH_FIB &&
             r.objType != ObjectType::ROUTING_DOMAIN_FIB)) {
            continue;
        }
        pb::VtepLabelMsg l;
        if (!l.ParseFromString(r.data) || !l.has_label())
            continue;
        GroupUser user{r.objType == ObjectType::ROUTING_DOMAIN_FIB, r.id};
        const char* kind = user.first ? "RD" : "LS";
        const bool add = r.op == Operation::OPERATION_UPDATE;
        CFG_INFO("%1: %2(%3)/VG(%4) is to be %5", kName, kind, IdText(r.id), l.label(),
                 add ? "associated" : "disassociated");
        if (add) {
            groupUsers_[l.label()].insert(user);
        } else if (r.op == Operation::OPERATION_DELETE) {
            auto it = groupUsers_.find(l.label());
            if (it != groupUsers_.end() && it->second.erase(user) != 0 && it->second.empty())
                groupUsers_.erase(it);
        }
    }
    if (!fullSync)
        return;
    // A full sync removes stale labels without records: keep the users the store still names.
    for (auto it = groupUsers_.begin(); it != groupUsers_.end();) {
        std::string body;
        L2ValueKey key;
        key.part[0] = it->first;
        for (auto u = it->second.begin(); u != it->second.end();) {
            const ObjectType type =
                u->first ? ObjectType::ROUTING_DOMAIN_FIB : ObjectType::LOG_SWITCH_FIB;
            if (options_.l2Table != nullptr &&
                options_.l2Table->GetEntry(L2Store::kDesired, type, u->second,
                                           PropertyType::L2_VTEP_GROUP_LABEL, key, &body)) {
                ++u;
            } else {
                u = it->second.erase(u);
            }
        }
        it = it->second.empty() ? groupUsers_.erase(it) : std::next(it);
    }
}

void L2App::SendVtepGroups() {
    CairnDBUpdateList records;
    if (options_.l2Table != nullptr)
        options_.l2Table->GetObjectsOfType(L2Store::kDesired, ObjectType::VTEP_GROUP, &records);
    std::set<std::string> ids;
    for (const CairnDBUpdateMsg& r : records)
        ids.insert(r.id);
    for (auto& [id, g] : groups_)
        g.sent = false;
    for (const std::string& id : ids)
        SendVtepGroup(id, false);
}

void L2App::SendVtepGroup(const std::string& id, bool removed) {
    CairnDBUpdateList records;
    if (!removed && options_.l2Table != nullptr)
        options_.l2Table->GetObject(L2Store::kDesired, id, &records);
    VtepGroup msg;
    bool haveGroup = false;
    for (const CairnDBUpdateMsg& r : records) {
        if (r.objType != ObjectType::VTEP_GROUP)
            continue;
        if (r.property == PropertyType::L2_VTEP_GROUP) {
            pb::VtepGroupMsg g;
            if (!g.ParseFromString(r.data))
                continue;
            if (!GroupLabelOf(g, &msg.label)) {
                CFG_ERROR_CODE("LCP00019", "%1: VTEP GROUP (%2) key %3 is not a valid label", kName,
                               IdText(id), g.key());
                continue;
            }
            msg.groupType = static_cast<uint8_t>(g.group_type());
            msg.protocol = static_cast<uint8_t>(g.activeness_protocol());
            haveGroup = true;
        } else if (r.property == PropertyType::L2_VTEP_GROUP_LABEL) {
            pb::VtepLabelMsg l;
            VtepGroupMember m;
            if (!l.ParseFromString(r.data))
                continue;
            if (!AddressOf(l.vtep_ip(), &m.addrType, &m.ipv4, &m.ipv6)) {
                CFG_ERROR_CODE("LCP00019", "%1: VTEP GROUP (%2) member %3 with address %4 skipped",
                               kName, IdText(id), l.label(), AddressText(l.vtep_ip()));
                continue;
            }
            m.label = l.label();
            msg.members.push_back(m);
        }
    }
    auto known = groups_.find(id);
    if (!haveGroup) {
        // Deleted, or its key is gone: the dataplane drops it with its bindings.
        if (known == groups_.end()) {
            if (removed)
                CFG_WARN("%1: Delete non-existing VTEP Group (%2) ", kName, IdText(id));
            return;
        }
        const GroupEntry g = known->second;
        auto users = groupUsers_.find(g.label);
        const size_t n = users == groupUsers_.end() ? 0 : users->second.size();
        CFG_INFO("%1: VTEP Group (%2, type: %3) is %4 action is %5", kName, g.label, g.type,
                 n != 0 ? "in use" : "not in use", "delete");
        if (n != 0) {
            size_t rds = 0;
            for (const GroupUser& u : users->second)
                rds += u.first ? 1 : 0;
            CFG_WARN("%1: Delete VTEP Group (type %2) in use (%3/%4) ", kName, g.type, n - rds,
                     rds);
        }
        groups_.erase(known);
        groupIds_.erase(g.label);
        for (auto& [vni, entry] : vnis_)
            entry.remote.groups.erase(g.label);
        for (auto& [rd, d] : domains_)
            d.groups.erase(g.label);
        if (g.sent && sessionState_ >= kSessionOpenAcked) {
            CFG_INFO("%1: VTEP GROUP (%2) Delete to DP", kName, g.label);
            VtepGroup del;
            del.label = g.label;
            del.op = kOpDelete;
            del.groupType = g.type;
            del.protocol = g.protocol;
            SendLocked(BuildVtepGroup(del));
        }
        return;
    }
    if (kVtepGroupHeadSize + msg.members.size() * kVtepGroupMemberSize > settings_.maxMsgLength) {
        CFG_ERROR_CODE("LCP00019",
                       "%1: VTEP GROUP (%2) has %3 members, more than one message holds", kName,
                       msg.label, msg.members.size());
        return;
    }
    if (known != groups_.end() && known->second.label != msg.label) {
        groupIds_.erase(known->second.label);  // a new key: the old label is gone
        SendVtepGroup(id, true);
        known = groups_.end();
    }
    const bool isNew = known == groups_.end() || !known->second.sent;
    GroupEntry& g = groups_[id];
    g.label = msg.label;
    g.type = msg.groupType;
    g.protocol = msg.protocol;
    groupIds_[g.label] = id;
    auto users = groupUsers_.find(g.label);
    const size_t n = users == groupUsers_.end() ? 0 : users->second.size();
    CFG_INFO("%1: VTEP Group (%2, type: %3) is %4 action is %5", kName, g.label, g.type,
             n != 0 ? "in use" : "not in use", isNew ? "add" : "update");
    if (sessionState_ < kSessionOpenAcked)
        return;
    if (!isNew && n != 0) {
        size_t rds = 0;
        for (const GroupUser& u : users->second)
            rds += u.first ? 1 : 0;
        CFG_INFO("%1: Updating TEP Group under usage (%2/%3) ", kName, n - rds, rds);
    }
    CFG_INFO("%1: VTEP GROUP (%2) Update to DP", kName, g.label);
    msg.op = kOpAdd;
    SendLocked(BuildVtepGroup(msg));
    g.sent = true;
    if (!isNew || users == groupUsers_.end())
        return;
    // A group that (re)appears is bound to the pushed users that name it.
    for (auto& [vni, entry] : vnis_) {
        if (entry.pushed && users->second.count({false, entry.lsId}) != 0)
            SyncLsBindings(vni, entry);
    }
    for (auto& [rd, d] : domains_) {
        if (d.pushed && users->second.count({true, rd}) != 0)
            SyncRdBindings(rd, d);
    }
}

void L2App::SyncBindings(const std::set<uint32_t>& want, std::set<uint32_t>& bound,
                         const std::function<DpMsg(uint32_t label, uint8_t op)>& build) {
    for (auto it = bound.begin(); it != bound.end();) {
        if (want.count(*it) != 0) {
            ++it;
            continue;
        }
        SendLocked(build(*it, kOpDelete));
        it = bound.erase(it);
    }
    for (uint32_t label : want) {
        if (bound.count(label) != 0)
            continue;
        auto g = groupIds_.find(label);
        if (g == groupIds_.end() || !groups_[g->second].sent) {
            CFG_INFO("%1: VTEP GROUP (%2) does not exist", kName, label);
            continue;
        }
        SendLocked(build(label, kOpAdd));
        bound.insert(label);
    }
}

void L2App::SyncLsBindings(uint32_t vni, VniEntry& entry) {
    SyncBindings(StoreLabels(ObjectType::LOG_SWITCH_FIB, entry.lsId), entry.remote.groups,
                 [&](uint32_t label, uint8_t op) {
                     return BuildLsVtepGroupBinding({entry.switchId, vni, label, op});
                 });
}

void L2App::SyncRdBindings(const std::string& rd, DomainEntry& d) {
    const UuidBytes uuid = RdBytes(rd);
    SyncBindings(StoreLabels(ObjectType::ROUTING_DOMAIN_FIB, rd), d.groups,
                 [&](uint32_t label, uint8_t op) {
                     return BuildRdVtepGroupBinding({uuid, label, op});
                 });
}

// ---- state ----

std::string L2App::RoutingDomainsJson() const {
    AgentLockGuard lock(GlobalAgentLock());
    nlohmann::json domains = nlohmann::json::array();
    for (const auto& [rd, d] : domains_) {
        nlohmann::json switches = nlohmann::json::array();
        for (const std::string& ls : d.switches) {
            nlohmann::json s = {{"logical_switch", IdText(ls)}};
            for (const auto& [vni, entry] : vnis_) {
                if (entry.lsId == ls) {
                    s["vni"] = vni;
                    s["switch_id"] = entry.switchId;
                }
            }
            switches.push_back(std::move(s));
        }
        domains.push_back({{"routing_domain", IdText(rd)},
                           {"global", d.global},
                           {"switch_id", d.switchId},
                           {"pushed", d.pushed},
                           {"logical_switches", std::move(switches)},
                           {"remote_vteps", d.vteps.size()},
                           {"vtep_groups", d.groups}});
    }
    nlohmann::json lists = nlohmann::json::object();
    for (const auto& [sw, rds] : rdLists_) {
        nlohmann::json l = nlohmann::json::array();
        for (const std::string& rd : rds)
            l.push_back(IdText(rd));
        lists[std::to_string(sw)] = std::move(l);
    }
    nlohmann::json out = {
        {"routing_domains", std::move(domains)},
        {"switch_lists", std::move(lists)},
        {"global_routing_domain",
         globalRd_.empty() ? nlohmann::json(nullptr) : nlohmann::json(IdText(globalRd_))}};
    return out.dump(2);
}

std::set<uint32_t> L2App::BoundGroups(uint32_t vni) const {
    AgentLockGuard lock(GlobalAgentLock());
    auto it = vnis_.find(vni);
    return it == vnis_.end() ? std::set<uint32_t>{} : it->second.remote.groups;
}

std::set<uint32_t> L2App::SentGroups() const {
    AgentLockGuard lock(GlobalAgentLock());
    std::set<uint32_t> out;
    for (const auto& [id, g] : groups_) {
        if (g.sent)
            out.insert(g.label);
    }
    return out;
}

}  // namespace CfgAgent
