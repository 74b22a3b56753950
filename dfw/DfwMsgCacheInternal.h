#pragma once
// The message cache's state and the parsed form of one batch; shared by its two sources only.
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <google/protobuf/arena.h>

#include "dfw/DfwMsgCache.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_system.pb.h"
#include "proto/lcp_firewall.pb.h"

namespace CfgAgent {

namespace dfwpb {
using Section = orvane::ozy::firewall::LcpRuleSectionMsg;
using Rule = orvane::ozy::firewall::LcpRuleMsg;
using Container = orvane::ozy::firewall::LcpContainerMsg;
using Chunk = orvane::ozy::firewall::LcpIpReputationConfigMsg;
using Span = orvane::ozy::firewall::LcpConfigSpanMsg;
using Group = orvane::ozy::cairndb::EntityGroupRelationMsg;
}  // namespace dfwpb

template <class T>
using DfwMutableObjects = std::shared_ptr<DfwObjects<T>>;

// The map of a kind, ready to be changed: copied first while a snapshot still shares it.
template <class T>
DfwObjects<T>& Writable(DfwMutableObjects<T>& m) {
    if (m.use_count() > 1)
        m = std::make_shared<DfwObjects<T>>(*m);
    return *m;
}

inline DfwChangeSet AllChanged() {
    DfwChangeSet c;
    c.fullSync = true;
    return c;
}

struct DfwMsgCache::State {
    DfwMutableObjects<dfwpb::Section> sections = std::make_shared<DfwObjects<dfwpb::Section>>();
    DfwMutableObjects<dfwpb::Section> lbSections = std::make_shared<DfwObjects<dfwpb::Section>>();
    DfwMutableObjects<dfwpb::Rule> rules = std::make_shared<DfwObjects<dfwpb::Rule>>();
    DfwMutableObjects<dfwpb::Rule> lbRules = std::make_shared<DfwObjects<dfwpb::Rule>>();
    DfwMutableObjects<dfwpb::Container> containers =
        std::make_shared<DfwObjects<dfwpb::Container>>();
    DfwMutableObjects<dfwpb::Chunk> chunks = std::make_shared<DfwObjects<dfwpb::Chunk>>();
    DfwMutableObjects<dfwpb::Group> groups = std::make_shared<DfwObjects<dfwpb::Group>>();
    DfwMutableObjects<dfwpb::Span> spans = std::make_shared<DfwObjects<dfwpb::Span>>();
    std::shared_ptr<const std::vector<DfwBucket>> buckets =
        std::make_shared<const std::vector<DfwBucket>>();
    std::shared_ptr<const std::map<uint32_t, DfwCategory>> categories =
        std::make_shared<const std::map<uint32_t, DfwCategory>>();
    std::shared_ptr<const std::vector<std::string>> dfwExcludedVifs =
        std::make_shared<const std::vector<std::string>>();
    std::shared_ptr<const std::vector<std::string>> siExcludedVifs =
        std::make_shared<const std::vector<std::string>>();
    // Config spans refused by their checks, with the reason, until accepted or deleted.
    std::map<DfwUuid, std::string> refusedSpans;
    uint32_t excludeAll = 0;  // bit 0: a firewall span excludes all; bit 1: a service-insertion one
    DfwModes modes;
    uint64_t barrier = 0;
    uint64_t generation = 0;
    // A full sync has been merged: the cache holds the database's content, not just its start.
    bool synced = false;
    // Changes since the last TakeSnapshot; the first snapshot rebuilds everything.
    DfwChangeSet pending = AllChanged();
};

// One kind's part of a batch: objects to add or replace, uuids to delete (logged when not
// cached), and uuids to take out quietly (an object that moved to another kind or stopped being
// the firewall's).
template <class T>
struct DfwKindBatch {
    DfwObjects<T> add;
    std::set<DfwUuid> del;
    std::set<DfwUuid> evict;
};

// What one SECURITY_FEATURE_TOGGLE or FLEET_CLUSTER_HOST_CONFIG record says.
struct DfwMsgCache::ToggleValues {
    bool deleted = false;
    std::optional<bool> ids;
    std::optional<bool> idfw;
};

struct DfwMsgCache::Batch {
    // The batch's messages are allocated together; each object keeps the arena alive for as long
    // as a map or a snapshot holds it.
    std::shared_ptr<google::protobuf::Arena> arena = std::make_shared<google::protobuf::Arena>();

    // A new message of the batch's arena, owned by the returned pointer.
    template <class Msg>
    std::shared_ptr<Msg> New() {
        return std::shared_ptr<Msg>(arena,
                                    google::protobuf::Arena::CreateMessage<Msg>(arena.get()));
    }

    DfwKindBatch<dfwpb::Section> sections;  // deletions of both kinds of section
    DfwKindBatch<dfwpb::Section> lbSections;
    DfwKindBatch<dfwpb::Rule> rules;  // deletions of both kinds of rule
    DfwKindBatch<dfwpb::Rule> lbRules;
    DfwKindBatch<dfwpb::Container> containers;
    DfwKindBatch<dfwpb::Chunk> chunks;
    DfwKindBatch<dfwpb::Group> groups;
    std::vector<std::shared_ptr<const dfwpb::Span>> spans;
    std::set<DfwUuid> spanDel;

    std::optional<orvane::ozy::cairndb::GlobalConfigMsg> global;
    bool globalDeleted = false;
    std::vector<ToggleValues> toggles;
    std::optional<uint64_t> barrier;
    // Records of any type but CONFIG_SPAN.
    size_t others = 0;
};

// The uuid of a UuidMsg.
template <class Msg>
DfwUuid UuidOf(const Msg& id) {
    return DfwUuid{id.left(), id.right()};
}

}  // namespace CfgAgent
