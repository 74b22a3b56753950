#pragma once
// What the firewall's message cache hands its readers: an immutable snapshot of every object it
// keeps, with the changes since the previous snapshot.
//
// Objects are shared and never modified once cached; each kind's map is copy-on-write (the cache
// copies a map only while a snapshot still holds it), so taking a snapshot costs a few pointer
// copies and a reader can work on it for as long as it likes without holding the cache's lock.
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace orvane::ozy::cairndb {
class EntityGroupRelationMsg;
}
namespace orvane::ozy::firewall {
class LcpConfigSpanMsg;
class LcpContainerMsg;
class LcpIpReputationConfigMsg;
class LcpRuleMsg;
class LcpRuleSectionMsg;
}  // namespace orvane::ozy::firewall

namespace CfgAgent {

// An object's uuid: the two halves of its UuidMsg.
struct DfwUuid {
    uint64_t left = 0;
    uint64_t right = 0;

    bool operator<(const DfwUuid& o) const {
        return left != o.left ? left < o.left : right < o.right;
    }
    bool operator==(const DfwUuid& o) const { return left == o.left && right == o.right; }
    bool operator!=(const DfwUuid& o) const { return !(*this == o); }
    // 8-4-4-4-12 text.
    std::string Text() const;
};

// A firewall category of the config span.
struct DfwCategory {
    std::string name;
    uint32_t id = 0;
    uint32_t priority = 0;
    uint32_t flags = 0;  // bit 0: the category belongs to the "PRE-FILTER" bucket

    bool operator==(const DfwCategory& o) const {
        return name == o.name && id == o.id && priority == o.priority && flags == o.flags;
    }
};

// A category bucket: the category ids from `start` to `end`, both included.
struct DfwBucket {
    std::string name;
    uint32_t start = 0;
    uint32_t end = 0;

    bool operator==(const DfwBucket& o) const {
        return name == o.name && start == o.start && end == o.end;
    }
};

// The firewall-wide switches. Defaults apply until a GLOBAL_CONFIG (or a toggle) says otherwise,
// and again after a full sync that holds none.
struct DfwModes {
    uint32_t mpVersionMajor = 0;
    uint32_t mpVersionMinor = 0;
    bool globalAddrSet = false;
    bool fastPathLookup = false;
    bool macSetOptimization = false;
    bool ids = false;
    bool idfw = false;

    bool operator==(const DfwModes& o) const {
        return mpVersionMajor == o.mpVersionMajor && mpVersionMinor == o.mpVersionMinor &&
               globalAddrSet == o.globalAddrSet && fastPathLookup == o.fastPathLookup &&
               macSetOptimization == o.macSetOptimization && ids == o.ids && idfw == o.idfw;
    }
    bool operator!=(const DfwModes& o) const { return !(*this == o); }
};

// What changed since the previous snapshot: uuids per kind (added, replaced or deleted), the
// sections whose rule list changed, and the flags. After `fullSync` every object may have
// changed and a reader rebuilds everything.
struct DfwChangeSet {
    bool fullSync = false;
    std::set<DfwUuid> sections;
    std::set<DfwUuid> lbSections;
    std::set<DfwUuid> rules;
    std::set<DfwUuid> lbRules;
    std::set<DfwUuid> containers;
    std::set<DfwUuid> chunks;
    std::set<DfwUuid> groups;
    // Sections that gained or lost a rule (both sections of a moved rule).
    std::set<DfwUuid> ruleSections;
    // The rule ids of the firewall rules in `rules`, as they were and as they are (the names a
    // rule generates follow the smallest uuid holding its id).
    std::set<uint32_t> ruleIds;
    bool span = false;
    bool modes = false;
    bool barrier = false;
    // Every filter must be reconfigured (an IP-reputation container came or went).
    bool allLsp = false;

    bool Empty() const;
    // Adds `o` into this one (changes of two batches).
    void Merge(const DfwChangeSet& o);
};

template <class T>
using DfwObjects = std::map<DfwUuid, std::shared_ptr<const T>>;
template <class T>
using DfwObjectsPtr = std::shared_ptr<const DfwObjects<T>>;

struct DfwMsgSnapshot {
    DfwObjectsPtr<orvane::ozy::firewall::LcpRuleSectionMsg> sections;
    DfwObjectsPtr<orvane::ozy::firewall::LcpRuleSectionMsg> lbSections;
    DfwObjectsPtr<orvane::ozy::firewall::LcpRuleMsg> rules;
    DfwObjectsPtr<orvane::ozy::firewall::LcpRuleMsg> lbRules;
    // Containers and context profiles (as containers of key/value attributes).
    DfwObjectsPtr<orvane::ozy::firewall::LcpContainerMsg> containers;
    DfwObjectsPtr<orvane::ozy::firewall::LcpIpReputationConfigMsg> chunks;
    // Relations of logical switch ports to groups, by relation uuid.
    DfwObjectsPtr<orvane::ozy::cairndb::EntityGroupRelationMsg> groups;
    // Accepted firewall and service-insertion config spans.
    DfwObjectsPtr<orvane::ozy::firewall::LcpConfigSpanMsg> spans;
    std::shared_ptr<const std::vector<DfwBucket>> buckets;
    std::shared_ptr<const std::map<uint32_t, DfwCategory>> categories;
    std::shared_ptr<const std::vector<std::string>> dfwExcludedVifs;
    std::shared_ptr<const std::vector<std::string>> siExcludedVifs;
    DfwModes modes;
    uint64_t barrier = 0;
    uint64_t generation = 0;
    // Config spans refused by their own checks ("" when none); the previous buckets, categories
    // and exclusion lists stay while a span is refused.
    std::string spanStatus;
    DfwChangeSet changes;
};

}  // namespace CfgAgent
