// DfwMsgCache: the merge of one batch, snapshots and the category lookup.
#include "dfw/DfwMsgCache.h"

#include <algorithm>
#include <new>
#include <set>
#include <string>
#include <utility>

#include "dfw/DfwLog.h"
#include "dfw/DfwMsgCacheInternal.h"
#include "dfw/DfwMsgParser.h"
#include "platform/WorkflowUtil.h"
#include "proto/UuidText.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

std::string DfwUuid::Text() const {
    return ozy::cairndb::UuidText(left, right);
}

bool DfwChangeSet::Empty() const {
    return !fullSync && sections.empty() && lbSections.empty() && rules.empty() &&
           lbRules.empty() && containers.empty() && chunks.empty() && groups.empty() &&
           ruleSections.empty() && !span && !modes && !barrier && !allLsp;
}

void DfwChangeSet::Merge(const DfwChangeSet& o) {
    fullSync |= o.fullSync;
    sections.insert(o.sections.begin(), o.sections.end());
    lbSections.insert(o.lbSections.begin(), o.lbSections.end());
    rules.insert(o.rules.begin(), o.rules.end());
    lbRules.insert(o.lbRules.begin(), o.lbRules.end());
    containers.insert(o.containers.begin(), o.containers.end());
    chunks.insert(o.chunks.begin(), o.chunks.end());
    groups.insert(o.groups.begin(), o.groups.end());
    ruleSections.insert(o.ruleSections.begin(), o.ruleSections.end());
    ruleIds.insert(o.ruleIds.begin(), o.ruleIds.end());
    span |= o.span;
    modes |= o.modes;
    barrier |= o.barrier;
    allLsp |= o.allLsp;
}

namespace {

const char* OnOff(bool on) {
    return on ? "on" : "off";
}

// Takes out the cached objects of `evict` without a log line. `changed` is null while the pending
// changes are a full sync (every uuid changed anyway).
template <class T>
void Evict(DfwMutableObjects<T>& map, const std::set<DfwUuid>& evict, std::set<DfwUuid>* changed) {
    for (const DfwUuid& id : evict) {
        if (map->count(id) != 0) {
            Writable(map).erase(id);
            if (changed)
                changed->insert(id);
        }
    }
}

// Objects of the other map of a kind (firewall and LB) that `add` takes over.
template <class T>
std::set<DfwUuid> TakenOver(const DfwMutableObjects<T>& other, const DfwObjects<T>& add) {
    std::set<DfwUuid> out;
    if (other->empty())
        return out;
    for (const auto& [id, obj] : add) {
        if (other->count(id) != 0)
            out.insert(id);
    }
    return out;
}

template <class T>
void Add(DfwMutableObjects<T>& map, DfwObjects<T>& add, std::set<DfwUuid>* changed) {
    if (add.empty())
        return;
    if (changed) {
        for (const auto& [id, obj] : add)
            changed->insert(id);
    }
    if (map->empty()) {
        // A full sync: the batch's map becomes the cache's as it is.
        map = std::make_shared<DfwObjects<T>>(std::move(add));
        return;
    }
    DfwObjects<T>& m = Writable(map);
    for (auto& [id, obj] : add)
        m[id] = std::move(obj);
}

// Deletions of a kind held in one map; `what` names it in the lines.
template <class T>
void Delete(DfwMutableObjects<T>& map, const DfwKindBatch<T>& kind, const char* what,
            std::set<DfwUuid>* changed) {
    for (const DfwUuid& id : kind.del) {
        if (kind.add.count(id) != 0) {
            DFW_DEBUG("dfw: ignore deleting %1 for update case: id %2", what, id.Text());
            continue;
        }
        if (map->count(id) == 0) {
            DFW_DEBUG("dfw: DfwMsgCache: no %1 to delete, no uuid match", what);
            continue;
        }
        Writable(map).erase(id);
        if (changed)
            changed->insert(id);
        DFW_DEBUG("dfw: DfwMsgCache: deleted %1. uuid: %2", what, id.Text());
    }
}

std::vector<DfwBucket> BucketsOf(const dfwpb::Span& s) {
    std::vector<DfwBucket> out;
    for (const pb::CategoryBucketMsg& m : s.category_buckets().buckets())
        out.push_back(DfwBucket{m.name(), m.range_start(), m.range_end()});
    return out;
}

std::map<uint32_t, DfwCategory> CategoriesOf(const dfwpb::Span& s) {
    std::map<uint32_t, DfwCategory> out;
    for (const pb::CategoryMsg& m : s.categories().categories())
        out[m.id()] = DfwCategory{m.name(), m.id(), m.priority(), m.flags()};
    return out;
}

// "" when the span can be held; else the reason, already logged. `skip`: not a firewall or
// service-insertion span.
std::string CheckSpan(const dfwpb::Span& s, bool* skip) {
    *skip = false;
    if (!s.has_span_type()) {
        DFW_ERROR_CODE("LCP01123", "dfw:     bad dfw/si config_span: no filter type");
        return "no filter type";
    }
    if (s.span_type() != 1 && s.span_type() != 3) {
        DFW_INFO("dfw: skip config_span of non dfw/si type");
        *skip = true;
        return {};
    }
    if (s.has_category_buckets() && s.has_categories()) {
        DFW_ERROR("dfw: config span message should never have both category bucket and list.");
        return "both category buckets and categories";
    }
    const size_t cap = DfwMsgParser::kMaxListEntries;
    if (static_cast<size_t>(s.categories().categories_size()) > cap ||
        static_cast<size_t>(s.dfw_excluded_vifs_size()) > cap ||
        static_cast<size_t>(s.si_excluded_vifs_size()) > cap) {
        DFW_ERROR("dfw: config span list over %1 entries", cap);
        return "list over " + std::to_string(cap) + " entries";
    }
    for (const pb::CategoryMsg& c : s.categories().categories()) {
        if (c.name().empty()) {
            DFW_ERROR("dfw: invalid: empty category name");
            return "empty category name";
        }
    }
    if (s.has_category_buckets()) {
        const auto& buckets = s.category_buckets().buckets();
        if (buckets.size() != 2) {
            DFW_ERROR("dfw: Expected 2 category buckets. Got %1", buckets.size());
            return "expected 2 category buckets, got " + std::to_string(buckets.size());
        }
        for (const pb::CategoryBucketMsg& bk : buckets) {
            if (bk.name().empty()) {
                DFW_ERROR("dfw: invalid: empty bucket name");
                return "empty bucket name";
            }
            if (bk.range_start() >= bk.range_end()) {
                DFW_ERROR("dfw: invalid: bucket range start = %1, end = %2", bk.range_start(),
                          bk.range_end());
                return "bucket range start " + std::to_string(bk.range_start()) + ", end " +
                       std::to_string(bk.range_end());
            }
        }
    }
    return {};
}

template <class T>
std::shared_ptr<DfwObjects<T>> Empty() {
    return std::make_shared<DfwObjects<T>>();
}

}  // namespace

DfwMsgCache::DfwMsgCache() : state_(std::make_unique<State>()) {}

DfwMsgCache::~DfwMsgCache() = default;

void DfwMsgCache::SetNotify(std::function<void()> notify) {
    std::lock_guard<std::mutex> lock(mutex_);
    notify_ = std::move(notify);
}

std::optional<size_t> DfwMsgCache::FindBucket(const std::vector<DfwBucket>& buckets,
                                              uint32_t categoryId) {
    DFW_DEBUG("dfw: searching for category id %1 across %2 bucket(s)", categoryId, buckets.size());
    for (size_t i = 0; i < buckets.size(); ++i) {
        if (buckets[i].start <= categoryId && categoryId <= buckets[i].end) {
            DFW_DEBUG("dfw:   category id %1 is in bucket %2.", categoryId, buckets[i].name);
            return i;
        }
        DFW_DEBUG("dfw:   category id %1 is not in bucket %2.", categoryId, buckets[i].name);
    }
    return std::nullopt;
}

DfwMsgSnapshot DfwMsgCache::View() const {
    const State& s = *state_;
    DfwMsgSnapshot out;
    out.sections = s.sections;
    out.lbSections = s.lbSections;
    out.rules = s.rules;
    out.lbRules = s.lbRules;
    out.containers = s.containers;
    out.chunks = s.chunks;
    out.groups = s.groups;
    out.spans = s.spans;
    out.buckets = s.buckets;
    out.categories = s.categories;
    out.dfwExcludedVifs = s.dfwExcludedVifs;
    out.siExcludedVifs = s.siExcludedVifs;
    out.modes = s.modes;
    out.barrier = s.barrier;
    out.generation = s.generation;
    for (const auto& [id, why] : s.refusedSpans) {
        if (!out.spanStatus.empty())
            out.spanStatus += "; ";
        out.spanStatus += "config span " + id.Text() + " refused: " + why;
    }
    out.changes = s.pending;
    return out;
}

DfwMsgSnapshot DfwMsgCache::Peek() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return View();
}

bool DfwMsgCache::Synced() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->synced;
}

DfwMsgSnapshot DfwMsgCache::TakeSnapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    DfwMsgSnapshot out = View();
    state_->pending = DfwChangeSet{};
    return out;
}

void DfwMsgCache::UpdateDesiredState(const std::vector<CairnDBUpdateMsg>& updates, bool fullSync) {
    std::vector<std::string> parents;
    for (const CairnDBUpdateMsg& u : updates) {
        if (!u.traceContext().empty() && (parents.empty() || parents.back() != u.traceContext()))
            parents.push_back(u.traceContext());
    }
    ozy::wft::Span span("DFW..UpdateDesiredState", parents, false);
    DFW_INFO("dfw: DfwMsgCache: Start to update, fullSync: %1, msgs size: %2", fullSync,
             updates.size());
    std::function<void()> notify;
    try {
        Batch b;
        for (const CairnDBUpdateMsg& u : updates)
            Parse(u, b);
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t before = state_->generation;
        Merge(b, fullSync);
        if (state_->generation != before)
            notify = notify_;
    } catch (const std::bad_alloc&) {
        ExitOnAllocFailure("CFGAGENT_ALLOC_FAIL : CfgAgent error: no memory!");
    }
    if (notify) {
        DFW_INFO("dfw: notifying process loop there's update from DfwMsgCache");
        notify();
    }
}

void DfwMsgCache::Merge(Batch& b, bool fullSync) {
    State& s = *state_;
    DfwChangeSet& ch = s.pending;

    bool spanChanged = MergeSpans(b, fullSync);  // steps 3 to 6
    if (!fullSync && b.others == 0) {
        DFW_INFO("dfw: No config apart from config span, do nothing");
        // Exclusion lists and buckets may have changed all the same: the loop must hear of it.
        if (!spanChanged)
            return;
        DFW_INFO("dfw: DfwMsgCache: updated generation number from %1 to %2", s.generation,
                 s.generation + 1);
        ++s.generation;
        return;
    }

    if (b.barrier) {
        s.barrier = *b.barrier;
        ch.barrier = true;
        DFW_INFO("dfw: DfwMsgCache: updated barrier number %1", s.barrier);
    }
    MergeModes(b, fullSync);

    DFW_INFO(
        "dfw: DfwMsgCache: msg to update: sect(%1, %2), rule(%3, %4), cont(%5, %6), "
        "group(%7, %8)",
        b.sections.add.size() + b.lbSections.add.size(), b.sections.del.size(),
        b.rules.add.size() + b.lbRules.add.size(), b.rules.del.size(), b.containers.add.size(),
        b.containers.del.size(), b.groups.add.size(), b.groups.del.size());
    DFW_INFO("dfw: DfwMsgCache: ip reputation chunks to update: chunk(%1, %2)", b.chunks.add.size(),
             b.chunks.del.size());

    if (fullSync) {
        s.synced = true;
        s.sections = Empty<dfwpb::Section>();
        s.lbSections = Empty<dfwpb::Section>();
        s.rules = Empty<dfwpb::Rule>();
        s.lbRules = Empty<dfwpb::Rule>();
        s.containers = Empty<dfwpb::Container>();
        s.chunks = Empty<dfwpb::Chunk>();
        s.groups = Empty<dfwpb::Group>();
        // The per-uuid sets are moot now; the flags still say what this batch changed.
        DfwChangeSet flags = ch;
        ch = AllChanged();
        ch.span = flags.span;
        ch.modes = flags.modes;
        ch.barrier = flags.barrier;
    }
    // While the pending changes are a full sync, uuids are not tracked one by one.
    const bool track = !ch.fullSync;
    auto tracked = [track](std::set<DfwUuid>& s) { return track ? &s : nullptr; };

    // Deletions. Rules and sections are looked for in both of their maps.
    for (const DfwUuid& id : b.rules.del) {
        const dfwpb::Rule* added = nullptr;
        for (const auto* adds : {&b.rules.add, &b.lbRules.add}) {
            auto it = adds->find(id);
            if (it != adds->end())
                added = it->second.get();
        }
        if (added) {
            DFW_DEBUG("dfw: ignore deleting rule for update case: id %1", added->rule_id());
            continue;
        }
        DfwMutableObjects<dfwpb::Rule>* holder = nullptr;
        std::set<DfwUuid>* changed = nullptr;
        if (s.rules->count(id) != 0) {
            holder = &s.rules;
            changed = &ch.rules;
        } else if (s.lbRules->count(id) != 0) {
            holder = &s.lbRules;
            changed = &ch.lbRules;
        } else {
            DFW_DEBUG("dfw: DfwMsgCache: no rule to delete, no uuid match");
            continue;
        }
        const dfwpb::Rule& old = *(*holder)->at(id);
        DfwUuid section = UuidOf(old.section_id());
        DFW_INFO("dfw: DfwMsgCache: deleted rule. id: %1, from section: %2", old.rule_id(),
                 section.Text());
        if (track) {
            ch.ruleSections.insert(section);
            changed->insert(id);
            if (holder == &s.rules)
                ch.ruleIds.insert(old.rule_id());
        }
        Writable(*holder).erase(id);
    }
    for (const DfwUuid& id : b.sections.del) {
        if (b.sections.add.count(id) != 0 || b.lbSections.add.count(id) != 0) {
            DFW_DEBUG("dfw: ignore deleting section for update case: id %1", id.Text());
            continue;
        }
        if (s.sections->count(id) != 0) {
            Writable(s.sections).erase(id);
            if (track)
                ch.sections.insert(id);
        } else if (s.lbSections->count(id) != 0) {
            Writable(s.lbSections).erase(id);
            if (track)
                ch.lbSections.insert(id);
        } else {
            DFW_DEBUG("dfw: DfwMsgCache: no section to delete, no uuid match");
            continue;
        }
        DFW_INFO("dfw: DfwMsgCache: deleted section. uuid: %1", id.Text());
    }
    for (const DfwUuid& id : b.containers.del) {
        auto it = s.containers->find(id);
        if (it != s.containers->end() && b.containers.add.count(id) == 0 &&
            it->second->ip_reputation()) {
            DFW_INFO("dfw: setting _all_lsp true due to container uuid: %1", id.Text());
            ch.allLsp = true;
        }
    }
    Delete(s.containers, b.containers, "container", tracked(ch.containers));
    Delete(s.chunks, b.chunks, "ip reputation chunk", tracked(ch.chunks));
    Delete(s.groups, b.groups, "lsp group relation", tracked(ch.groups));

    // Objects that moved to the other map of their kind, or stopped being the firewall's.
    auto evictRules = [&](DfwMutableObjects<dfwpb::Rule>& map, const std::set<DfwUuid>& ids,
                          std::set<DfwUuid>& changed) {
        for (const DfwUuid& id : ids) {
            auto it = map->find(id);
            if (it != map->end() && track) {
                ch.ruleSections.insert(UuidOf(it->second->section_id()));
                if (&map == &s.rules)
                    ch.ruleIds.insert(it->second->rule_id());
            }
        }
        Evict(map, ids, tracked(changed));
    };
    std::set<DfwUuid> toLb = TakenOver(s.rules, b.lbRules.add);
    std::set<DfwUuid> toFirewall = TakenOver(s.lbRules, b.rules.add);
    b.rules.evict.insert(toLb.begin(), toLb.end());
    b.lbRules.evict.insert(toFirewall.begin(), toFirewall.end());
    std::set<DfwUuid> sectionsToLb = TakenOver(s.sections, b.lbSections.add);
    std::set<DfwUuid> sectionsToFirewall = TakenOver(s.lbSections, b.sections.add);
    b.sections.evict.insert(sectionsToLb.begin(), sectionsToLb.end());
    b.lbSections.evict.insert(sectionsToFirewall.begin(), sectionsToFirewall.end());
    evictRules(s.rules, b.rules.evict, ch.rules);
    evictRules(s.lbRules, b.lbRules.evict, ch.lbRules);
    Evict(s.sections, b.sections.evict, tracked(ch.sections));
    Evict(s.lbSections, b.lbSections.evict, tracked(ch.lbSections));
    Evict(s.containers, b.containers.evict, tracked(ch.containers));
    Evict(s.groups, b.groups.evict, tracked(ch.groups));

    // Additions: sections, containers, rules, chunks, relations.
    Add(s.sections, b.sections.add, tracked(ch.sections));
    Add(s.lbSections, b.lbSections.add, tracked(ch.lbSections));
    for (const auto& [id, c] : b.containers.add) {
        if (c->ip_reputation()) {
            DFW_INFO("dfw: Setting _all_lsp to true due to malicious containeruuid: %1", id.Text());
            ch.allLsp = true;
        }
    }
    Add(s.containers, b.containers.add, tracked(ch.containers));
    auto addRules = [&](DfwMutableObjects<dfwpb::Rule>& map, DfwObjects<dfwpb::Rule>& add,
                        std::set<DfwUuid>& changed) {
        if (track) {
            const bool firewall = &map == &s.rules;
            for (const auto& [id, r] : add) {
                // A rule that moved leaves its old section as well as joining the new one.
                auto old = map->find(id);
                if (old != map->end()) {
                    ch.ruleSections.insert(UuidOf(old->second->section_id()));
                    if (firewall)
                        ch.ruleIds.insert(old->second->rule_id());
                }
                ch.ruleSections.insert(UuidOf(r->section_id()));
                if (firewall)
                    ch.ruleIds.insert(r->rule_id());
            }
        }
        Add(map, add, tracked(changed));
    };
    addRules(s.rules, b.rules.add, ch.rules);
    addRules(s.lbRules, b.lbRules.add, ch.lbRules);
    Add(s.chunks, b.chunks.add, tracked(ch.chunks));
    Add(s.groups, b.groups.add, tracked(ch.groups));

    DFW_INFO("dfw: DfwMsgCache: updated generation number from %1 to %2", s.generation,
             s.generation + 1);
    ++s.generation;
    DFW_INFO(
        "dfw: DfwMsgCache: Update done. %1 sections, %2 rules, %3 containers, %4 lsp group "
        "relations",
        s.sections->size(), s.rules->size(), s.containers->size(), s.groups->size());
}

void DfwMsgCache::MergeModes(const Batch& b, bool fullSync) {
    State& s = *state_;
    DfwModes m = s.modes;
    const DfwModes defaults;
    if (b.global) {
        const pb::GlobalConfigMsg& g = *b.global;
        m.mpVersionMajor = g.mp_version_major();
        m.mpVersionMinor = g.mp_version_minor();
        m.globalAddrSet = g.global_addrset_mode();
        m.fastPathLookup = g.fastpath_lookup_mode();
        m.macSetOptimization = g.macset_optimization_mode();
    } else if (fullSync || b.globalDeleted) {
        // The database holds no global configuration: its defaults apply.
        m.mpVersionMajor = defaults.mpVersionMajor;
        m.mpVersionMinor = defaults.mpVersionMinor;
        m.globalAddrSet = defaults.globalAddrSet;
        m.fastPathLookup = defaults.fastPathLookup;
        m.macSetOptimization = defaults.macSetOptimization;
    }
    if (fullSync) {
        m.ids = defaults.ids;
        m.idfw = defaults.idfw;
    }
    for (const ToggleValues& t : b.toggles) {
        if (t.deleted) {
            m.ids = defaults.ids;
            m.idfw = defaults.idfw;
            continue;
        }
        if (t.ids)
            m.ids = *t.ids;
        if (t.idfw)
            m.idfw = *t.idfw;
    }
    if (m == s.modes)
        return;
    if (m.mpVersionMajor != s.modes.mpVersionMajor || m.mpVersionMinor != s.modes.mpVersionMinor)
        DFW_INFO("dfw: DfwMsgCache: mp version updated to %1.%2", m.mpVersionMajor,
                 m.mpVersionMinor);
    if (m.globalAddrSet != s.modes.globalAddrSet)
        DFW_INFO("dfw: DfwMsgCache: global address mode turned %1", OnOff(m.globalAddrSet));
    if (m.fastPathLookup != s.modes.fastPathLookup)
        DFW_INFO("dfw: DfwMsgCache: fastpath lookup mode turned %1", OnOff(m.fastPathLookup));
    if (m.macSetOptimization != s.modes.macSetOptimization)
        DFW_INFO("dfw: DfwMsgCache: macset optimization mode turned %1",
                 OnOff(m.macSetOptimization));
    if (m.ids != s.modes.ids)
        DFW_INFO("dfw: DfwMsgCache: ids mode turned %1", OnOff(m.ids));
    if (m.idfw != s.modes.idfw)
        DFW_INFO("dfw: DfwMsgCache: idfw mode turned %1", OnOff(m.idfw));
    s.modes = m;
    s.pending.modes = true;
}

bool DfwMsgCache::MergeSpans(Batch& b, bool fullSync) {
    State& s = *state_;
    if (b.spans.empty() && b.spanDel.empty() && !fullSync)
        return false;
    std::map<DfwUuid, std::shared_ptr<const dfwpb::Span>> accepted;
    std::set<DfwUuid> skipped;
    std::map<DfwUuid, std::string> refused;
    for (auto& span : b.spans) {
        DfwUuid id = UuidOf(span->id());
        bool skip = false;
        std::string why = CheckSpan(*span, &skip);
        accepted.erase(id);
        skipped.erase(id);
        refused.erase(id);
        if (!why.empty()) {
            DFW_ERROR_CODE("LCP01105",
                           "dfw: config span %1 refused (%2), keeping the previous buckets, "
                           "categories and exclusion lists",
                           id.Text(), why);
            refused[id] = why;
        } else if (skip) {
            skipped.insert(id);
        } else {
            accepted[id] = std::move(span);
        }
    }

    // Refused spans keep their previous copy, in a full sync too.
    DfwMutableObjects<dfwpb::Span> held = std::make_shared<DfwObjects<dfwpb::Span>>();
    if (fullSync) {
        for (const auto& [id, why] : refused) {
            auto it = s.spans->find(id);
            if (it != s.spans->end())
                (*held)[id] = it->second;
        }
        s.refusedSpans.clear();
    } else {
        *held = *s.spans;
        for (const DfwUuid& id : b.spanDel) {
            if (accepted.count(id) == 0 && refused.count(id) == 0) {
                held->erase(id);
                s.refusedSpans.erase(id);
            }
        }
        for (const DfwUuid& id : skipped) {
            held->erase(id);
            s.refusedSpans.erase(id);
        }
    }
    for (auto& [id, span] : accepted) {
        (*held)[id] = std::move(span);
        s.refusedSpans.erase(id);
    }
    for (auto& [id, why] : refused)
        s.refusedSpans[id] = std::move(why);
    s.spans = std::move(held);
    return RebuildSpanViews(fullSync);
}

bool DfwMsgCache::RebuildSpanViews(bool fullSync) {
    State& s = *state_;
    bool changed = false;
    // Buckets and categories come from the first held span (in uuid order) that carries them.
    const dfwpb::Span* withBuckets = nullptr;
    const dfwpb::Span* withCategories = nullptr;
    std::set<std::string> dfwVifs, siVifs;
    for (const auto& [id, span] : *s.spans) {
        if (!withBuckets && span->has_category_buckets())
            withBuckets = span.get();
        if (!withCategories && span->has_categories())
            withCategories = span.get();
        dfwVifs.insert(span->dfw_excluded_vifs().begin(), span->dfw_excluded_vifs().end());
        siVifs.insert(span->si_excluded_vifs().begin(), span->si_excluded_vifs().end());
    }
    std::vector<DfwBucket> buckets;
    if (withBuckets)
        buckets = BucketsOf(*withBuckets);
    if (buckets.size() != s.buckets->size()) {
        DFW_INFO("dfw: New bucket msg and cached bucket info are different sizes. Updating.");
    } else if (buckets != *s.buckets) {
        DFW_INFO("dfw: New bucket msg and cached bucket info are different. Updating.");
    } else {
        DFW_DEBUG("dfw: No updates found. Keeping cached buckets without updating.");
    }
    if (buckets != *s.buckets) {
        DFW_INFO("dfw: deleting existing bucket list");
        for (const DfwBucket& bk : buckets)
            DFW_INFO("dfw:   adding bucket: {%1, %2, %3}", bk.name, bk.start, bk.end);
        s.buckets = std::make_shared<const std::vector<DfwBucket>>(std::move(buckets));
        changed = true;
    }
    std::map<uint32_t, DfwCategory> categories;
    if (withCategories)
        categories = CategoriesOf(*withCategories);
    if (categories != *s.categories) {
        DFW_INFO("dfw: deleting existing category map");
        for (const auto& [id, c] : categories)
            DFW_INFO("dfw:   adding category: {%1, %2, %3, %4}", c.name, c.id, c.priority, c.flags);
        s.categories =
            std::make_shared<const std::map<uint32_t, DfwCategory>>(std::move(categories));
        changed = true;
    }
    // Which filter types a held span turns off as a whole.
    uint32_t excludeAll = 0;
    for (const auto& [id, span] : *s.spans) {
        if (span->exclude_all())
            excludeAll |= span->span_type() == 1 ? 1u : 2u;
    }
    if (excludeAll != s.excludeAll) {
        DFW_INFO("dfw: DfwMsgCache: exclude all (dfw %1, si %2)", (excludeAll & 1) != 0,
                 (excludeAll & 2) != 0);
        s.excludeAll = excludeAll;
        changed = true;
    }
    std::vector<std::string> dfw(dfwVifs.begin(), dfwVifs.end());
    std::vector<std::string> si(siVifs.begin(), siVifs.end());
    DFW_INFO("dfw: DfwMsgCache: excluding %1 vifs(dfw). Full sync case: %2", dfw.size(), fullSync);
    DFW_INFO("dfw: DfwMsgCache: excluding %1 vifs(si). Full sync case: %2", si.size(), fullSync);
    if (dfw != *s.dfwExcludedVifs) {
        s.dfwExcludedVifs = std::make_shared<const std::vector<std::string>>(std::move(dfw));
        changed = true;
    }
    if (si != *s.siExcludedVifs) {
        s.siExcludedVifs = std::make_shared<const std::vector<std::string>>(std::move(si));
        changed = true;
    }
    s.pending.span |= changed;
    return changed;
}

}  // namespace CfgAgent
