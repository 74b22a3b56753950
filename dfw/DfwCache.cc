#include "dfw/DfwCache.h"

#include <algorithm>
#include <iterator>
#include <new>
#include <set>
#include <unordered_set>
#include <utility>

#include "dfw/CInvalidRuleException.h"
#include "dfw/DfwCompositeContainers.h"
#include "dfw/DfwContainerConverter.h"
#include "dfw/DfwLog.h"
#include "dfw/DfwMsgCache.h"
#include "dfw/DfwRuleBuilder.h"
#include "dfw/DfwRuleValidator.h"
#include "platform/tarp/CTarpFWAddrSet.h"
#include "platform/tarp/CTarpFWContainer.h"
#include "platform/tarp/CTarpFWException.h"
#include "platform/tarp/CTarpFWRule.h"
#include "platform/tarp/CTarpFWSegment.h"
#include "platform/tarp/TarpWire.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/lcp_firewall.pb.h"

namespace CfgAgent {

namespace fw = orvane::ozy::firewall;
namespace pb = orvane::ozy::cairndb;
using TarpFirewall::CTarpFWAddrSet;
using TarpFirewall::CTarpFWContainer;
using TarpFirewall::CTarpFWRule;
using TarpFirewall::CTarpFWSegment;

namespace {

constexpr uint32_t kKindFirewall = 1;

struct UuidHash {
    size_t operator()(const DfwUuid& u) const { return u.left * 0x9E3779B97F4A7C15ull ^ u.right; }
};
constexpr uint32_t kKindDefaultFirewall = 2;

template <class Msg>
DfwUuid Id(const Msg& m) {
    return DfwUuid{m.left(), m.right()};
}

// Chains the 64-bit hash over pieces of content.
class Hasher {
  public:
    void Bytes(const void* p, size_t n) {
        h_ = ozy::tarp::Hash64(static_cast<const uint8_t*>(p), n, h_);
    }
    void Text(const std::string& s) {
        U64(s.size());
        Bytes(s.data(), s.size());
    }
    void U64(uint64_t v) { Bytes(&v, sizeof v); }
    void Address(const TarpFirewall::CTarpFWAddress& a) {
        Bytes(a.bytes().data(), a.bytes().size());
        uint8_t more[2] = {static_cast<uint8_t>(a.kind()), a.prefix()};
        Bytes(more, sizeof more);
    }
    uint64_t value() const { return h_; }

  private:
    uint64_t h_ = 0x6466772d63616368ull;
};

uint64_t HashOf(const CTarpFWAddrSet& s) {
    Hasher h;
    h.Text(s.name());
    h.U64(s.addresses().size());
    for (const auto& a : s.addresses())
        h.Address(a);
    h.U64(s.excluded().size());
    for (const auto& a : s.excluded())
        h.Address(a);
    h.U64(s.ipReputation());
    return h.value();
}

uint64_t HashOf(const CTarpFWContainer& c) {
    Hasher h;
    h.Text(c.name());
    h.U64(static_cast<uint64_t>(c.type()));
    for (const auto& e : c.elements()) {
        h.U64(static_cast<uint64_t>(e.kind()) << 16 | e.key());
        h.Text(e.text());
        h.Address(e.address());
    }
    return h.value();
}

// Which properties of a container a built rule depends on (beyond its name): it exists, it is
// malicious, it holds an IP address.
uint32_t RuleView(const std::shared_ptr<const fw::LcpContainerMsg>& c) {
    if (!c)
        return 0;
    return 1u | (c->ip_reputation() ? 2u : 0u) | (c->ip_addresses_size() > 0 ? 4u : 0u);
}

void AddDeps(const pb::RuleAddressListMsg& l, std::vector<DfwUuid>& out) {
    for (const pb::UuidMsg& m : l.container_ids())
        out.push_back(Id(m));
}

// Containers a rule names by uuid (its sides and profiles).
void ContainerDeps(const fw::LcpRuleMsg& r, std::vector<DfwUuid>& out) {
    AddDeps(r.source(), out);
    AddDeps(r.destination(), out);
    AddDeps(r.exclude_source(), out);
    AddDeps(r.exclude_destination(), out);
    AddDeps(r.extended_source(), out);
    AddDeps(r.extended_source_ip(), out);
    for (const pb::UuidMsg& p : r.context_profile_ids())
        out.push_back(Id(p));
    if (r.time_profile_id().left() != 0 || r.time_profile_id().right() != 0)
        out.push_back(Id(r.time_profile_id()));
}

bool RuleOrder(const std::shared_ptr<const fw::LcpRuleMsg>& a,
               const std::shared_ptr<const fw::LcpRuleMsg>& b) {
    if (a->priority() != b->priority())
        return a->priority() < b->priority();
    return Id(a->id()) < Id(b->id());
}

}  // namespace

struct DfwCache::Named {
    std::shared_ptr<const CTarpFWAddrSet> addrSet;
    std::shared_ptr<const CTarpFWContainer> container;
    // Address sets the container's elements name.
    std::vector<std::string> needs;
    uint64_t hash = 0;
};

struct DfwCache::Container {
    std::shared_ptr<const fw::LcpContainerMsg> msg;
    std::shared_ptr<const Named> named;
};

struct DfwCache::Section {
    DfwUuid id;
    std::shared_ptr<const fw::LcpRuleSectionMsg> msg;
    size_t bucket = 0;
    bool serviceInsertion = false;
    bool timeBased = false;
    std::vector<std::shared_ptr<const fw::LcpRuleMsg>> ruleMsgs;  // valid ones, in order
    std::vector<std::shared_ptr<const CTarpFWRule>> rules;        // null: matches nothing
    std::vector<uint32_t> ruleIds;                                // sorted
    std::vector<DfwUuid> allRules;  // every rule of the section, valid or not, sorted
    std::vector<DfwUuid> containerDeps;                           // sorted, unique
    std::vector<DfwUuid> namedPorts;                              // sorted, unique
    std::vector<DfwCompositeContainers::Acquisition> journal;
    std::string badRules;

    struct Part {
        std::shared_ptr<const CTarpFWSegment> l3, l2;
        size_t l3Rules = 0, l2Rules = 0;
        std::vector<std::string> names;
    };
    std::mutex mutex;  // the selector and the parts
    std::unique_ptr<DfwRuleSelector> selector;
    std::map<std::vector<size_t>, std::shared_ptr<const Part>> parts;

    // `appliedTo` is set when some rule of the section names the port or one of its groups.
    std::shared_ptr<const Part> PartOf(const DfwUuid& lsp, const std::vector<DfwUuid>& groups,
                                       DfwRuleSelector::Flags flags, bool* appliedTo) {
        std::lock_guard<std::mutex> lock(mutex);
        *appliedTo |= selector->AppliedTo(lsp, groups);
        DfwRuleSelector::Selection sel = selector->Select(lsp, groups, flags);
        auto it = parts.find(*sel);
        if (it != parts.end())
            return it->second;
        std::vector<std::shared_ptr<const CTarpFWRule>> l3, l2;
        std::set<std::string> names;
        for (size_t i : *sel) {
            const auto& r = rules[i];
            if (!r)
                continue;
            (r->isLayer3() ? l3 : l2).push_back(r);
            for (std::string& n : r->containerNames())
                names.insert(std::move(n));
        }
        auto part = std::make_shared<Part>();
        part->l3Rules = l3.size();
        part->l2Rules = l2.size();
        if (!l3.empty())
            part->l3 = std::make_shared<const CTarpFWSegment>(std::move(l3));
        if (!l2.empty())
            part->l2 = std::make_shared<const CTarpFWSegment>(std::move(l2));
        part->names.assign(names.begin(), names.end());
        parts.emplace(*sel, part);
        return part;
    }
};

struct DfwCache::Memo {
    std::shared_ptr<const FilterConfig> config;
    // The non-empty parts by section index, in section order.
    std::vector<std::pair<uint32_t, std::shared_ptr<const Section::Part>>> parts;
    // Sections whose rules name the port or one of its groups (sorted).
    std::vector<uint32_t> appliedTo;
};

DfwCache::DfwCache() = default;
DfwCache::~DfwCache() = default;

size_t DfwCache::configCount() const {
    std::lock_guard<std::mutex> lock(memoMutex_);
    return memo_.size();
}

namespace {

// Both builds name the same objects with the same content.
bool SameObjects(const DfwCache::NamedMap& a, const DfwCache::NamedMap& b) {
    if (a.size() != b.size())
        return false;
    for (const auto& [name, n] : a) {
        auto it = b.find(name);
        if (it == b.end() || it->second->hash != n->hash)
            return false;
    }
    return true;
}

// The rank of a section among the buckets: 0 for a non-firewall section or one whose category is
// in no bucket; its category's bucket; the "FILTER" bucket without a category.
size_t BucketOf(const fw::LcpRuleSectionMsg& s, const DfwUuid& id,
                const std::vector<DfwBucket>& buckets) {
    const bool firewall = s.kind() == kKindFirewall || s.kind() == kKindDefaultFirewall;
    if (!firewall) {
        DFW_DEBUG("dfw: Non-DFW section found, build default section: %1 to bucket 0", id.Text());
        return 0;
    }
    if (!s.category().has_id()) {
        size_t filter = buckets.empty() ? 0 : buckets.size() - 1;
        for (size_t i = 0; i < buckets.size(); ++i) {
            if (buckets[i].name == "FILTER")
                filter = i;
        }
        DFW_DEBUG("dfw: No category found connected to section: %1, adding to FILTER bucket",
                  id.Text());
        return filter + 1;
    }
    auto found = DfwMsgCache::FindBucket(buckets, s.category().id());
    if (!found) {
        DFW_DEBUG("dfw: No corresponding bucket found, build default section: %1 to bucket 0",
                  id.Text());
        return 0;
    }
    DFW_DEBUG("dfw: build custom section: %1 to bucket %2", id.Text(), buckets[*found].name);
    return *found + 1;
}

std::shared_ptr<const DfwCache::Named> NamedAddrSet(std::shared_ptr<const CTarpFWAddrSet> s) {
    auto n = std::make_shared<DfwCache::Named>();
    n->hash = HashOf(*s);
    n->addrSet = std::move(s);
    return n;
}

std::shared_ptr<const DfwCache::Named> NamedContainer(std::shared_ptr<const CTarpFWContainer> c) {
    auto n = std::make_shared<DfwCache::Named>();
    n->hash = HashOf(*c);
    for (const auto& e : c->elements()) {
        if (e.kind() == TarpFirewall::CTarpFWElement::Kind::kAddrSet)
            n->needs.push_back(e.text());
    }
    n->container = std::move(c);
    return n;
}

}  // namespace

std::shared_ptr<const DfwCache> DfwCache::Build(const DfwMsgSnapshot& snap,
                                                const DfwChangeSet& changes,
                                                const std::shared_ptr<const DfwCache>& previous,
                                                Error* error, Stats* stats) {
    Stats local;
    Stats& st = stats ? *stats : local;
    st = Stats{};
    const std::vector<DfwBucket> noBuckets;
    const std::vector<DfwBucket>& buckets = snap.buckets ? *snap.buckets : noBuckets;
    bool full = !previous || changes.fullSync || previous->buckets_ != snap.buckets ||
                previous->categories_ != snap.categories;
    st.full = full;
    std::shared_ptr<DfwCache> out(new DfwCache());
    out->buckets_ = snap.buckets;
    out->categories_ = snap.categories;
    out->generation_ = snap.generation;
    DFW_INFO("dfw: build dfw object cache (%1, %2, %3, %4)", snap.sections->size(),
             snap.rules->size(), snap.containers->size(), snap.chunks->size());
    try {
        // Containers: converted again only when changed; the previous build's map is shared
        // when none did.
        std::shared_ptr<std::map<DfwUuid, std::shared_ptr<const Container>>> containers;
        std::set<DfwUuid> ruleViewChanged;
        if (full)
            containers = std::make_shared<std::map<DfwUuid, std::shared_ptr<const Container>>>();
        else if (!changes.containers.empty())
            containers = std::make_shared<std::map<DfwUuid, std::shared_ptr<const Container>>>(
                *previous->containers_);
        auto convert = [&](const DfwUuid& id, const std::shared_ptr<const fw::LcpContainerMsg>& m) {
            DFW_DEBUG("dfw: build container: %1", id.Text());
            auto c = std::make_shared<Container>();
            c->msg = m;
            if (m->attributes_size() > 0) {
                try {
                    if (auto attrs = DfwContainerConverter::Attributes(*m))
                        c->named = NamedContainer(std::move(attrs));
                } catch (const TarpFirewall::CTarpFWException&) {
                    throw;
                } catch (const std::exception& e) {
                    throw TarpFirewall::CTarpFWException(e.what(), ozy::tarp::kStatusInvalidConfig);
                }
            } else if (auto ids = DfwContainerConverter::Identities(*m)) {
                c->named = NamedContainer(std::move(ids));
            } else {
                c->named = NamedAddrSet(DfwContainerConverter::AddressSet(*m));
            }
            ++st.containersBuilt;
            return std::shared_ptr<const Container>(std::move(c));
        };
        if (full) {
            for (const auto& [id, m] : *snap.containers)
                containers->emplace(id, convert(id, m));
        } else if (containers) {
            for (const DfwUuid& id : changes.containers) {
                auto old = containers->find(id);
                std::shared_ptr<const fw::LcpContainerMsg> before =
                    old == containers->end() ? nullptr : old->second->msg;
                auto now = snap.containers->find(id);
                std::shared_ptr<const fw::LcpContainerMsg> after =
                    now == snap.containers->end() ? nullptr : now->second;
                if (RuleView(before) != RuleView(after))
                    ruleViewChanged.insert(id);
                if (after)
                    (*containers)[id] = convert(id, after);
                else if (old != containers->end())
                    containers->erase(old);
            }
        }
        if (containers)
            out->containers_ = std::move(containers);
        else
            out->containers_ = previous->containers_;

        // Ports to their groups, again only when the relations changed.
        if (full || !changes.groups.empty()) {
            auto groups = std::make_shared<std::map<DfwUuid, std::vector<DfwUuid>>>();
            for (const auto& entry : *snap.groups) {
                const pb::EntityGroupRelationMsg* rel = entry.second.get();
                for (const pb::ContainerLogicalSwitchPortMsg& m :
                     rel->container_logical_switch_port()) {
                    for (const pb::UuidMsg& p : m.logical_switch_port_ids())
                        (*groups)[Id(p)].push_back(Id(m.container_id()));
                }
            }
            for (auto& [port, list] : *groups) {
                std::sort(list.begin(), list.end());
                list.erase(std::unique(list.begin(), list.end()), list.end());
            }
            out->groupsOfPort_ = std::move(groups);
        } else {
            out->groupsOfPort_ = previous->groupsOfPort_;
        }

        // Sections rebuilt: those that changed, and those depending on what changed.
        // The previous build's sections, each with whether it is rebuilt (decided once).
        std::unordered_map<DfwUuid, std::pair<std::shared_ptr<Section>, bool>, UuidHash> before;
        // Rule ids whose owner (smallest uuid) may have changed: generated names follow it.
        static const std::set<uint32_t> kNoIds;
        const std::set<uint32_t>& changedIds = full ? kNoIds : changes.ruleIds;
        auto dirty = [&](const Section& s) {
            if (changes.sections.count(s.id) != 0 || changes.ruleSections.count(s.id) != 0)
                return true;
            for (const DfwUuid& c : s.containerDeps) {
                if (ruleViewChanged.count(c) != 0)
                    return true;
            }
            // The section's ids are sorted: the few changed ones are looked up in them.
            for (uint32_t rid : changedIds) {
                if (std::binary_search(s.ruleIds.begin(), s.ruleIds.end(), rid))
                    return true;
            }
            return false;
        };
        if (!full) {
            before.reserve(previous->sections_.size());
            for (const auto& s : previous->sections_)
                before.emplace(s->id, std::make_pair(s, dirty(*s)));
        }

        // The rules of each section to build (every rule, valid or not, by uuid).
        std::unordered_map<DfwUuid, std::vector<DfwUuid>, UuidHash> rulesOf;
        std::string orphans;
        // After changes that leave every rule with its section, neither adding nor removing a
        // section, the list of a section built before is its previous list less the changed
        // rules, plus the changed rules it holds now: a walk of the changed rules only.
        // Otherwise every rule is walked, and those without a section are refused here.
        bool indexed = !full && previous->orphans_.empty();
        for (auto id = changes.sections.begin(); indexed && id != changes.sections.end(); ++id)
            indexed = snap.sections->count(*id) != 0 && before.count(*id) != 0;
        std::unordered_map<DfwUuid, std::vector<DfwUuid>, UuidHash> joined;
        for (auto id = changes.rules.begin(); indexed && id != changes.rules.end(); ++id) {
            auto r = snap.rules->find(*id);
            if (r == snap.rules->end())
                continue;
            const DfwUuid sid = Id(r->second->section_id());
            indexed = snap.sections->count(sid) != 0;
            joined[sid].push_back(*id);
        }
        st.rulesIndexed = indexed;
        if (indexed) {
            for (const auto& [sid, entry] : before) {
                if (!entry.second)
                    continue;
                std::vector<DfwUuid> kept;
                std::set_difference(entry.first->allRules.begin(), entry.first->allRules.end(),
                                    changes.rules.begin(), changes.rules.end(),
                                    std::back_inserter(kept));
                auto j = joined.find(sid);
                std::vector<DfwUuid>& list = rulesOf[sid];
                if (j == joined.end()) {
                    list = std::move(kept);
                    continue;
                }
                std::merge(kept.begin(), kept.end(), j->second.begin(), j->second.end(),
                           std::back_inserter(list));
            }
        } else {
            for (const auto& [rid, r] : *snap.rules) {
                DfwUuid sid = Id(r->section_id());
                // A kept section is still there (a removed one counts as changed).
                if (!full) {
                    auto it = before.find(sid);
                    if (it != before.end() && !it->second.second)
                        continue;
                }
                if (snap.sections->count(sid) == 0) {
                    DfwRuleValidator::HasSection(*r, *snap.sections);
                    orphans += " Bad rule (no existing section): " + std::to_string(r->rule_id());
                    continue;
                }
                rulesOf[sid].push_back(rid);
            }
        }
        out->orphans_ = orphans;

        std::vector<std::shared_ptr<Section>> order;
        std::vector<std::shared_ptr<Section>> rebuild;
        std::string badSections;
        for (const auto& [sid, sm] : *snap.sections) {
            if (!full) {
                auto it = before.find(sid);
                if (it != before.end() && !it->second.second) {
                    order.push_back(it->second.first);
                    continue;
                }
            }
            if (!DfwRuleValidator::ValidateSection(*sm)) {
                badSections += " Bad section: " + sid.Text();
                continue;
            }
            auto s = std::make_shared<Section>();
            s->id = sid;
            s->msg = sm;
            s->bucket = BucketOf(*sm, sid, buckets);
            s->serviceInsertion = sm->component_name() == ozy::tarp::kAgentServiceInsertion;
            s->timeBased = sm->time_based();
            s->allRules = std::move(rulesOf[sid]);
            for (const DfwUuid& rid : s->allRules) {
                auto found = snap.rules->find(rid);
                if (found == snap.rules->end())
                    continue;
                const std::shared_ptr<const fw::LcpRuleMsg>& r = found->second;
                if (DfwRuleValidator::ValidateRule(*r))
                    s->ruleMsgs.push_back(r);
                else
                    s->badRules += " Bad rule: " + std::to_string(r->rule_id());
            }
            std::sort(s->ruleMsgs.begin(), s->ruleMsgs.end(), RuleOrder);
            order.push_back(s);
            rebuild.push_back(s);
        }
        std::sort(order.begin(), order.end(),
                  [](const std::shared_ptr<Section>& a, const std::shared_ptr<Section>& b) {
                      if (a->bucket != b->bucket)
                          return a->bucket < b->bucket;
                      if (a->msg->priority() != b->msg->priority())
                          return a->msg->priority() < b->msg->priority();
                      return a->id < b->id;
                  });

        // Rules, in build order: a kept section repeats its composite containers; a section that
        // cannot (another rule now makes one of them first) sends the build back to full.
        std::set<const Section*> toBuild;
        for (const auto& s : rebuild)
            toBuild.insert(s.get());
        DfwCompositeContainers generated;
        std::unique_ptr<DfwRuleBuilder> builder;
        std::vector<std::shared_ptr<Section>> built;
        for (auto& s : order) {
            if (toBuild.count(s.get()) == 0) {
                if (generated.Replay(s->journal)) {
                    ++st.sectionsReused;
                    built.push_back(s);
                    continue;
                }
                DFW_INFO("dfw: section %1 shares a composite container anew, full rebuild",
                         s->id.Text());
                DfwChangeSet all;
                all.fullSync = true;
                return Build(snap, all, nullptr, error, stats);
            }
            if (!builder)
                builder = std::make_unique<DfwRuleBuilder>(snap, generated);
            auto fresh = std::make_shared<Section>();
            fresh->id = s->id;
            fresh->msg = s->msg;
            fresh->bucket = s->bucket;
            fresh->serviceInsertion = s->serviceInsertion;
            fresh->timeBased = s->timeBased;
            fresh->ruleMsgs = std::move(s->ruleMsgs);
            fresh->badRules = std::move(s->badRules);
            fresh->allRules = std::move(s->allRules);
            generated.SetJournal(&fresh->journal);
            std::vector<const fw::LcpRuleMsg*> raw;
            for (const auto& r : fresh->ruleMsgs) {
                DFW_DEBUG("dfw: build rule: %1, id %2, sect: %3", Id(r->id()).Text(), r->rule_id(),
                          s->id.Text());
                fresh->rules.push_back(builder->Build(*r, *fresh->msg));
                fresh->ruleIds.push_back(r->rule_id());
                ContainerDeps(*r, fresh->containerDeps);
                for (const pb::UuidMsg& p : r->applied_to().logical_switch_port_ids())
                    fresh->namedPorts.push_back(Id(p));
                raw.push_back(r.get());
            }
            generated.SetJournal(nullptr);
            for (auto* v : {&fresh->containerDeps, &fresh->namedPorts}) {
                std::sort(v->begin(), v->end());
                v->erase(std::unique(v->begin(), v->end()), v->end());
            }
            std::sort(fresh->ruleIds.begin(), fresh->ruleIds.end());
            fresh->selector = std::make_unique<DfwRuleSelector>(
                std::move(raw), DfwObjects<pb::EntityGroupRelationMsg>());
            ++st.sectionsBuilt;
            built.push_back(std::move(fresh));
        }
        out->sections_ = std::move(built);

        // Names: containers, composites, address lists. The previous build's map stays when
        // the containers are the previous build's and the rules generated the same objects.
        std::vector<std::pair<const std::string*, std::shared_ptr<const Named>>> made;
        for (const auto& [name, c] : generated.composites())
            made.emplace_back(&name, NamedContainer(c.container));
        for (const auto& [name, set] : generated.addressLists())
            made.emplace_back(&name, NamedAddrSet(set));
        out->generated_.reserve(made.size());
        for (const auto& [name, n] : made)
            out->generated_.push_back({*name, n->hash});
        const bool sameNamed =
            !full && out->containers_ == previous->containers_ &&
            std::equal(out->generated_.begin(), out->generated_.end(), previous->generated_.begin(),
                       previous->generated_.end(), [](const ObjectRef& a, const ObjectRef& b) {
                           return a.hash == b.hash && a.name == b.name;
                       });
        if (sameNamed) {
            out->named_ = previous->named_;
        } else {
            auto named = std::make_shared<NamedMap>();
            for (const auto& [id, c] : *out->containers_) {
                if (c->named)
                    named->emplace(DfwCompositeContainers::ContainerName(id), c->named);
            }
            for (auto& [name, n] : made)
                (*named)[*name] = std::move(n);
            out->named_ = std::move(named);
        }

        out->status_ = badSections + orphans;
        for (const auto& s : out->sections_) {
            out->ruleCount_ += s->ruleMsgs.size();
            out->status_ += s->badRules;
            out->namedPorts_.insert(out->namedPorts_.end(), s->namedPorts.begin(),
                                    s->namedPorts.end());
        }
        std::sort(out->namedPorts_.begin(), out->namedPorts_.end());
        out->namedPorts_.erase(std::unique(out->namedPorts_.begin(), out->namedPorts_.end()),
                               out->namedPorts_.end());

        // The previous configurations carry over when every section kept its place: a port's
        // configuration is then the previous one with the rebuilt sections' parts made again.
        if (!full) {
            bool aligned = out->sections_.size() == previous->sections_.size();
            for (size_t i = 0; aligned && i < out->sections_.size(); ++i) {
                const Section& now = *out->sections_[i];
                const Section& before = *previous->sections_[i];
                if (&now == &before)
                    continue;
                aligned = now.id == before.id && now.serviceInsertion == before.serviceInsertion &&
                          now.timeBased == before.timeBased;
                out->rebuilt_.push_back(static_cast<uint32_t>(i));
            }
            if (aligned) {
                out->objectsKept_ = sameNamed || SameObjects(*out->named_, *previous->named_);
                std::lock_guard<std::mutex> lock(previous->memoMutex_);
                out->base_ = previous->memo_;
            } else {
                out->rebuilt_.clear();
            }
        }
    } catch (const CInvalidRuleException& e) {
        error->code = CInvalidRuleException::kErrorCode;
        error->meta = "rule id " + std::to_string(e.ruleId()) + ", section " + e.section().Text();
        error->text.clear();
        DFW_ERROR_CODE("LCP01158", "dfw: build DfwCache failed: %1 (%2)", e.what(), e.reason());
        return nullptr;
    } catch (const TarpFirewall::CTarpFWException& e) {
        error->code = 1102;
        error->meta.clear();
        error->text = e.what();
        DFW_ERROR_CODE("LCP01158",
                       "dfw: build DfwCache failed: DFW exception ret code: %1, error: %2.",
                       e.retcode(), e.what());
        return nullptr;
    } catch (const std::bad_alloc&) {
        DFW_ERROR("CFGAGENT_ALLOC_FAIL : CfgAgent error: no memory!");
        error->code = 1;
        error->meta.clear();
        error->text = "no memory";
        return nullptr;
    } catch (const std::exception& e) {
        error->code = 1102;
        error->meta.clear();
        error->text = e.what();
        DFW_ERROR_CODE("LCP01158", "dfw: build DfwCache failed: unknown issue.");
        return nullptr;
    }
    DFW_INFO("dfw: build dfw object cache succeed (%1 sections rebuilt, %2 kept, %3 containers)",
             st.sectionsBuilt, st.sectionsReused, st.containersBuilt);
    return out;
}

std::shared_ptr<const DfwCache::FilterConfig> DfwCache::ConfigOf(const DfwUuid& lsp,
                                                                 const Selection& how) const {
    static const std::vector<DfwUuid> kNoGroups;
    auto g = groupsOfPort_->find(lsp);
    const std::vector<DfwUuid>& groups = g == groupsOfPort_->end() ? kNoGroups : g->second;
    const bool named = std::binary_search(namedPorts_.begin(), namedPorts_.end(), lsp);
    ConfigKey key{how.serviceInsertion, named ? lsp : DfwUuid{}, groups, how.idfw, how.ids,
                  how.timeBased};
    std::lock_guard<std::mutex> lock(memoMutex_);
    auto memo = memo_.find(key);
    if (memo != memo_.end())
        return memo->second->config;

    auto made = std::make_shared<Memo>();
    std::shared_ptr<const Memo> base;
    auto b = base_.find(key);
    if (b != base_.end()) {
        base = std::move(b->second);
        base_.erase(b);
    }
    if (base) {
        const bool sameNames = DeriveParts(*base, lsp, groups, how, made.get());
        made->config = Assemble(*made, base->config->heldSections,
                                sameNames && objectsKept_ ? base->config.get() : nullptr);
    } else {
        std::vector<std::string> held;
        CollectParts(lsp, groups, how, made.get(), &held);
        made->config = Assemble(*made, std::move(held), nullptr);
    }
    std::shared_ptr<const FilterConfig> result = made->config;
    memo_.emplace(std::move(key), std::move(made));
    return result;
}

void DfwCache::AddPart(uint32_t index, const DfwUuid& lsp, const std::vector<DfwUuid>& groups,
                       const Selection& how, Memo* out) const {
    bool appliedTo = false;
    auto part = sections_[index]->PartOf(lsp, groups, {how.idfw, how.ids}, &appliedTo);
    if (appliedTo)
        out->appliedTo.push_back(index);
    if (!part->l3 && !part->l2) {
        DFW_DEBUG("dfw: ruleset is empty, skipping the section ");
        return;
    }
    out->parts.emplace_back(index, std::move(part));
}

void DfwCache::CollectParts(const DfwUuid& lsp, const std::vector<DfwUuid>& groups,
                            const Selection& how, Memo* out, std::vector<std::string>* held) const {
    for (size_t i = 0; i < sections_.size(); ++i) {
        const Section& s = *sections_[i];
        if (s.serviceInsertion != how.serviceInsertion)
            continue;
        if (s.timeBased && !how.timeBased) {
            DFW_DEBUG("dfw: time based section skipped %1", s.id.Text());
            held->push_back(s.id.Text());
            continue;
        }
        AddPart(static_cast<uint32_t>(i), lsp, groups, how, out);
    }
}

bool DfwCache::DeriveParts(const Memo& base, const DfwUuid& lsp, const std::vector<DfwUuid>& groups,
                           const Selection& how, Memo* out) const {
    static const std::vector<std::string> kNoNames;
    bool sameNames = true;
    auto p = base.parts.begin();
    for (uint32_t i : rebuilt_) {
        while (p != base.parts.end() && p->first < i)
            out->parts.push_back(*p++);
        const Section::Part* before = nullptr;
        if (p != base.parts.end() && p->first == i)
            before = (p++)->second.get();
        const Section& s = *sections_[i];
        const Section::Part* now = nullptr;
        if (s.serviceInsertion == how.serviceInsertion && (!s.timeBased || how.timeBased)) {
            AddPart(i, lsp, groups, how, out);
            if (!out->parts.empty() && out->parts.back().first == i)
                now = out->parts.back().second.get();
        }
        sameNames =
            sameNames && (now ? now->names : kNoNames) == (before ? before->names : kNoNames);
    }
    out->parts.insert(out->parts.end(), p, base.parts.end());
    // Sections naming the port: the rebuilt ones as just found, the others as before.
    for (uint32_t i : base.appliedTo) {
        if (!std::binary_search(rebuilt_.begin(), rebuilt_.end(), i))
            out->appliedTo.push_back(i);
    }
    std::sort(out->appliedTo.begin(), out->appliedTo.end());
    return sameNames;
}

std::shared_ptr<const DfwCache::FilterConfig> DfwCache::Assemble(const Memo& parts,
                                                                 std::vector<std::string> held,
                                                                 const FilterConfig* kept) const {
    auto cfg = std::make_shared<FilterConfig>();
    cfg->heldSections = std::move(held);
    cfg->appliedTo = !parts.appliedTo.empty();
    for (const auto& [index, part] : parts.parts) {
        if (part->l3)
            cfg->l3.push_back(part->l3);
        if (part->l2)
            cfg->l2.push_back(part->l2);
        cfg->l3Rules += part->l3Rules;
        cfg->l2Rules += part->l2Rules;
    }
    Hasher h;
    for (const auto& seg : cfg->l3)
        h.U64(seg->hash());
    h.U64(0x4c32);
    for (const auto& seg : cfg->l2)
        h.U64(seg->hash());
    if (kept != nullptr) {
        cfg->objects = kept->objects;
        for (const ObjectRef& o : cfg->objects->refs)
            h.U64(o.hash);
        cfg->hash = h.value();
        return cfg;
    }
    std::set<std::string> names;
    for (const auto& [index, part] : parts.parts)
        names.insert(part->names.begin(), part->names.end());
    // Objects named by the rules, and the address sets those containers name in turn.
    std::vector<std::string> pending(names.begin(), names.end());
    std::set<std::string> seen(names.begin(), names.end());
    std::map<std::string, std::shared_ptr<const Named>> objects;
    while (!pending.empty()) {
        std::string n = std::move(pending.back());
        pending.pop_back();
        auto it = named_->find(n);
        if (it == named_->end()) {
            DFW_ERROR("dfw: cannot find container %1 which is used by a rule", n);
            continue;
        }
        objects.emplace(n, it->second);
        for (const std::string& need : it->second->needs) {
            if (seen.insert(need).second)
                pending.push_back(need);
        }
    }
    auto made = std::make_shared<Objects>();
    made->refs.reserve(objects.size());
    for (const auto& [n, o] : objects) {
        h.U64(o->hash);
        const auto index = static_cast<uint32_t>(made->refs.size());
        made->refs.push_back({n, o->hash});
        if (o->addrSet) {
            made->addrSets.push_back(o->addrSet);
            made->addrSetIndex.push_back(index);
        } else {
            made->containers.push_back(o->container);
            made->containerIndex.push_back(index);
        }
    }
    cfg->objects = std::move(made);
    cfg->hash = h.value();
    return cfg;
}

}  // namespace CfgAgent
