#include "ids/IDSMsgCache.h"

#include <algorithm>
#include <new>

#include "ids/IdsLog.h"
#include "proto/UuidText.h"
#include "proto/cairndb_firewall.pb.h"
#include "proto/cairndb_ids.pb.h"
#include "proto/cairndb_system.pb.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;
namespace idps = orvane::ozy::lcp::idps;

namespace {

// The text form of a serialized UuidMsg id; "" when it is not one.
std::string IdText(const std::string& id) {
    pb::UuidMsg u;
    if (id.empty() || !u.ParseFromString(id)) {
        return std::string();
    }
    return ozy::cairndb::UuidText(u.left(), u.right());
}

bool IsDelete(const CairnDBUpdateMsg& u) {
    return u.op == Operation::OPERATION_DELETE;
}

}  // namespace

bool IDSMsgCache::State::Mode() const {
    if (toggle.set) {
        return toggle.value;
    }
    return hostCfg.set && hostCfg.value;
}

IDSMsgCache::IDSMsgCache() = default;

bool IDSMsgCache::Initialize(const Paths& paths) {
    IDS_INFO("ids: IDSMsgCache::%1: Entry confDir %2, ruleFile %3, sigDumpDir: %4", "Initialize",
             paths.confDir, paths.ruleFile, paths.sigDumpDir);
    std::lock_guard<std::mutex> lock(mutex_);
    paths_ = paths;
    state_.profiles.Initialize(paths.sigDumpDir);
    IDSSignature::Dirs dirs{paths.confDir, paths.ruleFile, paths.sigDumpDir,
                            paths.maxInflatedBytes};
    return signatures_.Initialize(dirs);
}

void IDSMsgCache::SetChangedCallback(ChangedFn fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_ = std::move(fn);
}

void IDSMsgCache::UpdateDesiredState(const std::vector<CairnDBUpdateMsg>& updates, bool fullSync) {
    const char* fn = "UpdateDesiredState";
    IDS_INFO("ids: IDSMsgCache::%1: Start to update idsMsgCache, fullSync: %2, msgs size: %3", fn,
             fullSync, updates.size());
    ChangedFn notify;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A full sync fills a fresh state; the current one stays until the batch is taken whole.
        State staged;
        if (fullSync) {
            staged.profiles.Initialize(paths_.sigDumpDir);
        }
        State& target = fullSync ? staged : state_;
        Delta d;
        // Sections first: rules name them.
        for (const CairnDBUpdateMsg& u : updates) {
            if (u.objType == ObjectType::RULE_SECTION) {
                IDS_DEBUG("ids: IDSMsgCache:UpdateDesiredState Handling Rule Section message");
                Apply(target, d, u);
            }
        }
        for (const CairnDBUpdateMsg& u : updates) {
            if (u.objType != ObjectType::RULE_SECTION) {
                Apply(target, d, u);
            }
        }
        if (fullSync) {
            if (!d.failed) {
                // Custom bundles the new state does not list leave the disk, also those an
                // earlier run installed.
                signatures_.RemoveCustomBundlesExcept(staged.customBundles);
                staged.profiles.GetModifiedProfiles(true);  // nothing pending: the take is full
                state_ = std::move(staged);
                primed_ = true;
                rulesTouched_.clear();
                flags_ |= kAll;
            } else {
                // Keep the old state; the barrier still moves on.
                state_.barrier = std::max(state_.barrier, staged.barrier);
            }
        }
        if (!fullSync && !d.failed && !d.relevant) {
            IDS_DEBUG("ids: IDSMsgCache::%1: No relevant config in update, do nothing", fn);
        }
        if (d.failed) {
            IDS_ERROR_CODE("IDSERR_UPDATE_CONFIG",
                           "ids: Failed to update idsMsgCache, clear current txn data");
            // The engine may hold anything now: the next pass resends everything it has.
            flags_ |= primed_ ? static_cast<uint32_t>(kAll) : 0u;
        } else if (!fullSync) {
            flags_ |= d.flags;
            rulesTouched_.insert(d.rulesTouched.begin(), d.rulesTouched.end());
        }
        updateFailed_ = d.failed;
        notify = changed_;
    }
    if (notify) {
        notify();
    }
}

void IDSMsgCache::Apply(State& s, Delta& d, const CairnDBUpdateMsg& u) {
    bool ok = true;
    try {
        switch (u.objType) {
            case ObjectType::RULE_SECTION:
                ok = HandleSection(s, d, u);
                break;
            case ObjectType::RULE:
                ok = HandleRule(s, d, u);
                break;
            case ObjectType::BARRIER:
                ok = HandleBarrier(s, u);
                break;
            case ObjectType::CONTEXT_PROFILE:
                ok = HandleProfile(s, d, u);
                break;
            case ObjectType::FLEET_CLUSTER_HOST_CONFIG:
            case ObjectType::SECURITY_FEATURE_TOGGLE:
                ok = HandleMode(s, d, u);
                break;
            case ObjectType::GLOBAL_CONFIG:
                ok = HandleGlobal(s, d, u);
                break;
            case ObjectType::IDS_SIGNATURES:
                ok = HandleSignatures(s, d, u);
                break;
            case ObjectType::IDS_THRESHOLD_CONFIG:
                ok = HandleThresholds(d, u);
                break;
            default:
                IDS_WARN("ids: IDSMsgCache: unexpected cairndb object type %1",
                         static_cast<uint32_t>(u.objType));
                break;
        }
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        IDS_ERROR("ids: Caught exception in %1. Ignored.", e.what());
        ok = false;
    }
    if (!ok) {
        d.failed = true;
    }
}

bool IDSMsgCache::HandleSection(State& s, Delta& d, const CairnDBUpdateMsg& u) {
    pb::RuleSectionMsg m;
    if (!m.ParseFromString(u.data)) {
        IDS_ERROR_CODE("IDSERR_FAIL_PARSE_CAIRNDB", "ids: IDSMsgCache: cannot parse %1",
                       "RuleSectionMsg");
        return false;
    }
    std::string id = IdText(u.id);
    if (IsDelete(u)) {
        if (s.sections.erase(id) != 0) {
            d.relevant = true;
            IDS_INFO("ids: IDSMsgCache:HandleRuleSectionMsg erased Section with ID: %1", id);
        }
        return true;
    }
    if (m.kind() != kIdsSectionKind) {
        IDS_DEBUG(
            "ids: IDSMsgCache:HandleRuleSectionMs: rule section is not of type IDS. Skipping");
        // A section that stopped being an IDS section leaves.
        s.sections.erase(id);
        return true;
    }
    d.relevant = true;
    s.sections.insert(id);
    IDS_INFO("ids: IDSMsgCache:HandleRuleSectionMsg Adding a Section with ID: %1", id);
    return true;
}

bool IDSMsgCache::HandleRule(State& s, Delta& d, const CairnDBUpdateMsg& u) {
    pb::RuleMsg m;
    if (!m.ParseFromString(u.data)) {
        IDS_ERROR_CODE("IDSERR_FAIL_PARSE_CAIRNDB", "ids: IDSMsgCache: cannot parse %1", "RuleMsg");
        return false;
    }
    const std::string id = IdText(u.id);
    auto erase = [&] {
        if (s.rules.erase(id) != 0) {
            d.relevant = true;
            d.flags |= kRules;
            d.rulesTouched.insert(id);
            IDS_INFO("ids: IDSMsgCache: removing rule: %1 from map", id);
        }
    };
    if (id.empty()) {
        IDS_WARN("ids: IDSMsgCache: rule missing type, ID or action, return");
        return true;
    }
    if (IsDelete(u)) {
        erase();
        return true;
    }
    if (!m.has_type() || !m.has_action()) {
        // Not an IDS rule (the firewall's): one that was ours no longer is.
        erase();
        if (m.has_type() && m.type() == kIdsRuleType) {
            IDS_WARN("ids: IDSMsgCache: rule missing type, ID or action, return");
        }
        return true;
    }
    if (m.type() != kIdsRuleType) {
        erase();
        return true;
    }
    if (m.action() != kActionDetect && m.action() != kActionPrevent) {
        IDS_WARN("ids: IDSMsgCache: unsupported action %1", m.action());
        erase();
        return true;
    }
    d.relevant = true;
    auto it = s.rules.find(id);
    if (it != s.rules.end() && it->second == m.action()) {
        IDS_DEBUG("ids: IDSMsgCache: not updating rule: %1, action: %2", id, m.action());
        return true;
    }
    s.rules[id] = m.action();
    d.flags |= kRules;
    d.rulesTouched.insert(id);
    IDS_INFO("ids: IDSMsgCache: updating rule: %1, action: %2 in map", id, m.action());
    return true;
}

bool IDSMsgCache::HandleProfile(State& s, Delta& d, const CairnDBUpdateMsg& u) {
    pb::ContextProfileMsg m;
    if (!m.ParseFromString(u.data)) {
        IDS_ERROR_CODE("IDSERR_FAIL_PARSE_CAIRNDB", "ids: IDSMsgCache: cannot parse %1",
                       "ContextProfileMsg");
        return false;
    }
    const std::string id = IdText(u.id);
    auto drop = [&] {
        auto known = s.profileNames.find(id);
        if (known != s.profileNames.end()) {
            s.profiles.DeleteProfile(known->second);
            s.profileNames.erase(known);
            d.relevant = true;
            d.flags |= kProfiles;
        }
    };
    if (IsDelete(u)) {
        drop();
        return true;
    }
    const std::string name = m.has_name() && !m.name().empty() ? m.name() : id;
    if (m.attributes_size() == 0) {
        IDS_INFO("ids: IDSMsgCache: discarding profile %1 as attr size is 0", name);
        drop();
        return true;
    }
    std::vector<std::string> ids;
    std::vector<std::string> pcap;
    bool hasIds = false;
    bool hasPcap = false;
    for (const auto& a : m.attributes()) {
        if (a.key() == "IDS") {
            hasIds = true;
            ids.insert(ids.end(), a.values().begin(), a.values().end());
        } else if (a.key() == "IDS_PCAP") {
            hasPcap = true;
            pcap.insert(pcap.end(), a.values().begin(), a.values().end());
        }
    }
    if (!hasIds) {
        IDS_DEBUG("ids: IDSMsgCache: discarding profile %1 without an IDS attribute", name);
        drop();
        return true;
    }
    if (!hasPcap) {
        IDS_INFO("ids: IDSMsgCache: profile %1 has IDS but no IDS_PCAP attribute", name);
    }
    auto known = s.profileNames.find(id);
    if (known != s.profileNames.end() && known->second != name) {
        drop();  // renamed: the old name leaves the engine
    }
    if (!s.profiles.UpdateProfileAttributes(name, ids, hasPcap ? &pcap : nullptr)) {
        return false;
    }
    s.profileNames[id] = name;
    d.relevant = true;
    d.flags |= kProfiles;
    return true;
}

bool IDSMsgCache::HandleMode(State& s, Delta& d, const CairnDBUpdateMsg& u) {
    const bool toggle = u.objType == ObjectType::SECURITY_FEATURE_TOGGLE;
    bool has = false;
    bool value = false;
    if (toggle) {
        pb::SecurityFeatureToggleMsg m;
        if (!m.ParseFromString(u.data)) {
            IDS_ERROR_CODE("IDSERR_FAIL_PARSE_CAIRNDB", "ids: IDSMsgCache: cannot parse %1",
                           "SecurityFeatureToggleMsg");
            return false;
        }
        has = m.has_ids_mode();
        value = m.ids_mode();
    } else {
        pb::FleetClusterHostConfigMsg m;
        if (!m.ParseFromString(u.data)) {
            IDS_ERROR_CODE("IDSERR_FAIL_PARSE_CAIRNDB", "ids: IDSMsgCache: cannot parse %1",
                           "FleetClusterHostConfigMsg");
            return false;
        }
        has = m.has_ids_mode();
        value = m.ids_mode();
    }
    ModeSource& src = toggle ? s.toggle : s.hostCfg;
    const std::string id = IdText(u.id);
    const bool before = s.Mode();
    if (IsDelete(u)) {
        if (src.set && src.msgId != id) {
            IDS_INFO(
                "ids: IDSMsgCache: Ignore deleting host cfg as ID mismatch stored ID: %1, recv "
                "msg ID: %2",
                src.msgId, id);
            return true;
        }
        src = ModeSource{};
    } else {
        if (!has) {
            return true;
        }
        src = ModeSource{true, value, id};
        if (toggle) {
            IDS_INFO("ids: IDSMsgCache: Update SecurityFeatureToggleMsg, ids status: %1, ID: %2",
                     value, id);
        } else {
            IDS_INFO("ids: IDSMsgCache: Update fleet host cfg, ids status: %1, ID: %2", value, id);
        }
    }
    d.relevant = true;
    if (s.Mode() != before) {
        d.flags |= kMode;
    }
    return true;
}

bool IDSMsgCache::HandleGlobal(State& s, Delta& d, const CairnDBUpdateMsg& u) {
    pb::GlobalConfigMsg m;
    if (!m.ParseFromString(u.data)) {
        IDS_ERROR_CODE("IDSERR_FAIL_PARSE_CAIRNDB", "ids: IDSMsgCache: cannot parse %1",
                       "GlobalConfigMsg");
        return false;
    }
    // The IDS part of the global configuration: its oversubscription value.
    if (IsDelete(u) || !m.has_ids_oversubscription()) {
        IDS_DEBUG("ids: IDSMsgCache: ids global cfg does not contain oversubscription toggle info");
        return true;
    }
    const uint32_t value = m.ids_oversubscription();
    d.relevant = true;
    IDS_INFO("ids: IDSMsgCache: ids oversubscription value: %1", value);
    if (s.oversubscription != value) {
        s.oversubscription = value;
        d.flags |= kOversubscription;
    }
    return true;
}

bool IDSMsgCache::HandleBarrier(State& s, const CairnDBUpdateMsg& u) {
    pb::BarrierMsg m;
    if (!m.ParseFromString(u.data)) {
        IDS_ERROR_CODE("IDSERR_FAIL_PARSE_CAIRNDB", "ids: IDSMsgCache: cannot parse %1",
                       "BarrierMsg");
        return false;
    }
    if (u.op != Operation::OPERATION_UPDATE) {
        IDS_WARN("ids: IDSMsgCache: unexpected barrier update type: %1",
                 static_cast<uint32_t>(u.op));
        return true;
    }
    IDS_DEBUG("ids: IDSMsgCache: Updating cairndb barrier: %1, ID: %2", m.barrier_id(),
              IdText(u.id));
    s.barrier = m.barrier_id();
    return true;
}

bool IDSMsgCache::HandleSignatures(State& s, Delta& d, const CairnDBUpdateMsg& u) {
    pb::IdsSignaturesMsg m;
    if (!m.ParseFromString(u.data)) {
        IDS_ERROR_CODE("IDSERR_FAIL_PARSE_CAIRNDB", "ids: IDSMsgCache: cannot parse %1",
                       "IdsSignaturesMsg");
        return false;
    }
    const std::string id = IdText(u.id);
    d.relevant = true;
    if (IsDelete(u)) {
        if (s.customBundles.erase(id) != 0 || m.has_custom_bundle()) {
            d.flags |= kSignatures;
            return signatures_.RemoveCustomBundle(id);
        }
        return true;
    }
    bool ok = true;
    if (m.has_system_bundle()) {
        ok = signatures_.StoreSystemBundle(m.system_bundle()) && ok;
    }
    if (m.has_custom_bundle()) {
        if (signatures_.StoreCustomBundle(id, m.custom_bundle())) {
            s.customBundles.insert(id);
        } else {
            ok = false;
        }
    }
    if (m.has_classification()) {
        ok = signatures_.StoreClassification(m.classification()) && ok;
    }
    if (m.has_signature_list()) {
        ok = signatures_.StoreSignatureList(m.signature_list()) && ok;
    }
    if (ok) {
        d.flags |= kSignatures;
    }
    return ok;
}

bool IDSMsgCache::HandleThresholds(Delta& d, const CairnDBUpdateMsg& u) {
    pb::IdsThresholdConfigMsg m;
    if (!m.ParseFromString(u.data)) {
        IDS_ERROR_CODE("IDSERR_FAIL_PARSE_CAIRNDB", "ids: IDSMsgCache: cannot parse %1",
                       "IdsThresholdConfigMsg");
        return false;
    }
    d.relevant = true;
    bool ok = IsDelete(u) || m.clear() || !m.has_thresholds()
                  ? signatures_.ClearThresholds()
                  : signatures_.StoreThresholds(m.thresholds());
    if (ok) {
        d.flags |= kSignatures;
    }
    return ok;
}

IDSMsgCache::Changes IDSMsgCache::TakeFlags() {
    std::lock_guard<std::mutex> lock(mutex_);
    Changes c;
    std::swap(c.flags, flags_);
    const bool full = (c.flags & kFullSync) != 0;
    c.idsMode = state_.Mode();
    c.hasOversubscription = state_.oversubscription.has_value();
    c.oversubscription = state_.oversubscription.value_or(0);
    c.barrier = state_.barrier;
    c.updateFailed = updateFailed_;
    if (full || (c.flags & kRules) != 0) {
        c.flags |= kRules;
        c.rules.set_full(full);
        if (full) {
            for (const auto& [id, action] : state_.rules) {
                idps::RuleInfoMsg* r = c.rules.add_rules();
                r->set_rule_id(id);
                r->set_action(action);
            }
        } else {
            for (const std::string& id : rulesTouched_) {
                auto it = state_.rules.find(id);
                if (it == state_.rules.end()) {
                    c.rules.add_removed_rule_ids(id);
                } else {
                    idps::RuleInfoMsg* r = c.rules.add_rules();
                    r->set_rule_id(id);
                    r->set_action(it->second);
                }
            }
        }
    }
    rulesTouched_.clear();
    if (full || (c.flags & kProfiles) != 0) {
        c.flags |= kProfiles;
        c.profiles = state_.profiles.GetModifiedProfiles(full);
    }
    return c;
}

void IDSMsgCache::OweFullResend() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (primed_) {
        flags_ |= kAll;
    }
}

bool IDSMsgCache::EngineRestarted() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!primed_) {
        return false;
    }
    flags_ |= kFullSync | kSignatures | kOversubscription | kProfiles | kRules;
    return true;
}

bool IDSMsgCache::primed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return primed_;
}

uint32_t IDSMsgCache::PendingFlags() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flags_;
}

std::map<std::string, uint32_t> IDSMsgCache::Rules() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.rules;
}

std::set<std::string> IDSMsgCache::Sections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.sections;
}

std::map<std::string, IDSProfile::Record> IDSMsgCache::Profiles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.profiles.profiles();
}

bool IDSMsgCache::IdsMode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.Mode();
}

std::optional<uint32_t> IDSMsgCache::Oversubscription() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.oversubscription;
}

uint64_t IDSMsgCache::Barrier() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.barrier;
}

bool IDSMsgCache::DumpProfiles(const std::string& name, std::string* error) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto& all = state_.profiles.profiles();
    if (!name.empty()) {
        if (all.count(name) == 0) {
            *error = "no such profile";
            return false;
        }
        return state_.profiles.DumpProfile(name) || (*error = "cannot write the dump", false);
    }
    for (const auto& entry : all) {
        if (!state_.profiles.DumpProfile(entry.first)) {
            *error = "cannot write the dump";
            return false;
        }
    }
    return true;
}

bool IDSMsgCache::DumpSignatures() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return signatures_.DumpSignatures();
}

size_t IDSMsgCache::SignatureCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return signatures_.signatures().size();
}

}  // namespace CfgAgent
