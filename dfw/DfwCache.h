#pragma once
// The converted firewall configuration: every valid section placed in its bucket and ordered,
// its rules built as firewall-library rules, the containers as address sets and attribute,
// time or identity containers, and the composite containers and address lists the rules
// generate; then, per port, the configuration of its filter (memoised per selection key, so the
// ports that share their groups share one configuration and its segments).
//
// Engine rules. A cache is immutable once built; Build makes a new one beside the previous and
// returns it only when the whole build succeeded, so a failed build leaves the last good cache in
// use. A build is incremental: a section is rebuilt only when it, its rule list, a container its
// rules name, or the owner of a rule id it uses changed since `previous` (the caller passes the
// changes accumulated since `previous` was built); containers are converted again only when they
// changed. Everything else falls back to a full rebuild: no previous cache, a full sync, other
// buckets or categories, or a composite container that another rule now creates first. Both
// paths run the same steps in the same order, so an incremental build equals a full one.
//
// Threads: built on the process loop's thread; ConfigOf may be called from any thread (it takes
// the cache's own mutex for its memo). Never holds the message cache's lock.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "dfw/DfwMsgSnapshot.h"
#include "dfw/DfwRuleSelector.h"

namespace TarpFirewall {
class CTarpFWAddrSet;
class CTarpFWContainer;
class CTarpFWRule;
class CTarpFWSegment;
}  // namespace TarpFirewall

namespace CfgAgent {

class DfwCache {
  public:
    // What a failed build reports: realization error code (1 out of memory, 1000 a rule that
    // cannot be converted, 1102 a library exception) and its meta information.
    struct Error {
        uint32_t code = 0;
        std::string meta;
        std::string text;
    };
    struct Stats {
        bool full = true;
        size_t sectionsBuilt = 0;
        size_t sectionsReused = 0;
        size_t containersBuilt = 0;
        // The rebuilt sections' rules were found from the previous build's lists and the
        // changed rules, without a walk of every rule.
        bool rulesIndexed = false;
    };
    // An address set or container of a configuration: its name and the hash of its content.
    struct ObjectRef {
        std::string name;
        uint64_t hash = 0;
    };
    using ObjectRefs = std::vector<ObjectRef>;
    // The address sets and containers a configuration names.
    struct Objects {
        std::vector<std::shared_ptr<const TarpFirewall::CTarpFWAddrSet>> addrSets;
        std::vector<std::shared_ptr<const TarpFirewall::CTarpFWContainer>> containers;
        // Where each of addrSets and containers stands in `refs`, index for index.
        std::vector<uint32_t> addrSetIndex, containerIndex;
        // Both kinds together, sorted by name: what a filter holds after an apply, kept by the
        // caller to tell which objects a later apply must send again.
        ObjectRefs refs;
    };
    // The configuration of one filter.
    struct FilterConfig {
        std::vector<std::shared_ptr<const TarpFirewall::CTarpFWSegment>> l3;
        std::vector<std::shared_ptr<const TarpFirewall::CTarpFWSegment>> l2;
        // Never null; one object for every configuration carried from the same previous one
        // with the same names.
        std::shared_ptr<const Objects> objects;
        // Time-based sections left out while NTP is not up.
        std::vector<std::string> heldSections;
        size_t l3Rules = 0;
        size_t l2Rules = 0;
        // Some rule's applied-to names the port or one of its groups (not only rules that
        // apply everywhere).
        bool appliedTo = false;
        // Of everything above (segments by hash, objects by content).
        uint64_t hash = 0;
    };
    struct Selection {
        bool serviceInsertion = false;  // the filter is a service-insertion one
        bool idfw = false;
        bool ids = false;
        bool timeBased = true;  // include time-based sections (NTP up, or not checked)
    };

    // nullptr with `error` filled when the build fails. `changes`: what changed since `previous`
    // was built (ignored without a previous cache).
    static std::shared_ptr<const DfwCache> Build(const DfwMsgSnapshot& snapshot,
                                                 const DfwChangeSet& changes,
                                                 const std::shared_ptr<const DfwCache>& previous,
                                                 Error* error, Stats* stats = nullptr);

    std::shared_ptr<const FilterConfig> ConfigOf(const DfwUuid& lsp, const Selection& how) const;

    // Validation failures of the build's messages (" Bad section: ...", " Bad rule: ..."), "" when
    // none; they drop the objects concerned, not the build.
    const std::string& statusText() const { return status_; }
    uint64_t generation() const { return generation_; }
    size_t sectionCount() const { return sections_.size(); }
    size_t ruleCount() const { return ruleCount_; }
    size_t containerCount() const { return containers_->size(); }
    // Distinct configurations made so far (tests and metrics).
    size_t configCount() const;

    ~DfwCache();

    struct Section;
    struct Container;
    struct Named;
    struct Memo;
    using NamedMap = std::unordered_map<std::string, std::shared_ptr<const Named>>;

  private:
    DfwCache();

    using ConfigKey = std::tuple<bool, DfwUuid, std::vector<DfwUuid>, bool, bool, bool>;
    using MemoMap = std::map<ConfigKey, std::shared_ptr<const Memo>>;

    // The parts of a port's configuration, section by section, into `out`; the time-based
    // sections left out into `held`.
    void CollectParts(const DfwUuid& lsp, const std::vector<DfwUuid>& groups, const Selection& how,
                      Memo* out, std::vector<std::string>* held) const;
    // The same from the previous build's configuration of the same key: its parts, with those of
    // the rebuilt sections made again. True when each rebuilt section names the objects it named
    // before (the configuration names the same objects).
    bool DeriveParts(const Memo& base, const DfwUuid& lsp, const std::vector<DfwUuid>& groups,
                     const Selection& how, Memo* out) const;
    void AddPart(uint32_t index, const DfwUuid& lsp, const std::vector<DfwUuid>& groups,
                 const Selection& how, Memo* out) const;
    // The configuration of `parts`; its objects those of `kept` when given, else looked up from
    // the parts' names.
    std::shared_ptr<const FilterConfig> Assemble(const Memo& parts, std::vector<std::string> held,
                                                 const FilterConfig* kept) const;

    std::vector<std::shared_ptr<Section>> sections_;  // in bucket and priority order
    std::shared_ptr<const std::map<DfwUuid, std::shared_ptr<const Container>>> containers_;
    // Every object a rule may name, by name: containers, composites, address lists (shared with
    // the previous build when they are the same).
    std::shared_ptr<const NamedMap> named_;
    // The composites and address lists the rules generated, in name order.
    ObjectRefs generated_;
    std::shared_ptr<const std::map<DfwUuid, std::vector<DfwUuid>>> groupsOfPort_;
    // Ports some rule names directly in its applied-to (sorted).
    std::vector<DfwUuid> namedPorts_;
    std::shared_ptr<const std::vector<DfwBucket>> buckets_;
    std::shared_ptr<const std::map<uint32_t, DfwCategory>> categories_;
    std::string status_;
    // The rules refused for want of their section, as they end the status (none: "").
    std::string orphans_;
    uint64_t generation_ = 0;
    size_t ruleCount_ = 0;

    mutable std::mutex memoMutex_;
    mutable MemoMap memo_;
    // What an incremental build carries over from the previous one when every section stayed in
    // its place (by id, kind and time-based flag): the previous configurations (each taken once,
    // by the first ConfigOf of its key), the indexes of the sections rebuilt (sorted), and
    // whether every named object is as it was.
    mutable MemoMap base_;
    std::vector<uint32_t> rebuilt_;
    bool objectsKept_ = false;
};

}  // namespace CfgAgent
