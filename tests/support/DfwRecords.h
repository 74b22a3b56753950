#pragma once
// Builders of the firewall's database records for tests: each gives the CairnDBUpdateMsg the
// decoder hands the firewall (serialized UuidMsg as id, the database body as data), so tests feed
// the message cache exactly what it receives in the agent.
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "dfw/DfwMsgSnapshot.h"
#include "intake/CairnDBUpdateMsg.h"
#include "proto/cairndb_firewall.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_system.pb.h"

namespace CfgAgent::test::dfw {

namespace pb = orvane::ozy::cairndb;

// A uuid numbered n (left 0x1000 + n, right n), as a message and as the cache's key.
inline pb::UuidMsg Uuid(uint64_t n) {
    pb::UuidMsg u;
    u.set_left(0x1000 + n);
    u.set_right(n);
    return u;
}

inline DfwUuid U(uint64_t n) {
    return DfwUuid{0x1000 + n, n};
}

template <class Body>
CairnDBUpdateMsg Record(ObjectType type, const Body& body,
                        Operation op = Operation::OPERATION_UPDATE) {
    CairnDBUpdateMsg m;
    m.objType = type;
    m.id = body.id().SerializeAsString();
    m.data = body.SerializeAsString();
    m.op = op;
    return m;
}

// The delete record of `rec` (pattern W: the old body travels with it).
inline CairnDBUpdateMsg Deleted(CairnDBUpdateMsg rec) {
    rec.op = Operation::OPERATION_DELETE;
    return rec;
}

// A firewall rule (allow, in and out, layer 3, priority = id) of section `section`.
inline pb::RuleMsg RuleBody(uint64_t uuid, uint32_t ruleId, uint64_t section) {
    pb::RuleMsg r;
    *r.mutable_id() = Uuid(uuid);
    r.set_rule_id(ruleId);
    *r.mutable_section_id() = Uuid(section);
    r.set_direction(2);
    r.set_action(0);
    r.set_priority(ruleId);
    r.set_type(0);
    return r;
}

inline CairnDBUpdateMsg RuleRec(uint64_t uuid, uint32_t ruleId, uint64_t section,
                                const std::function<void(pb::RuleMsg&)>& fill = nullptr) {
    pb::RuleMsg r = RuleBody(uuid, ruleId, section);
    if (fill)
        fill(r);
    return Record(ObjectType::RULE, r);
}

inline CairnDBUpdateMsg SectionRec(uint64_t uuid, uint32_t priority,
                                   const std::function<void(pb::RuleSectionMsg&)>& fill = nullptr) {
    pb::RuleSectionMsg s;
    *s.mutable_id() = Uuid(uuid);
    s.set_priority(priority);
    s.set_version(1);
    s.set_component_name("orvane-sfw");
    s.set_kind(1);
    if (fill)
        fill(s);
    return Record(ObjectType::RULE_SECTION, s);
}

inline void AddIpv4(pb::FirewallAddressMsg* a, uint32_t addr, int prefix = -1) {
    a->mutable_ip()->set_ipv4(addr);
    if (prefix >= 0)
        a->set_prefix_length(static_cast<uint32_t>(prefix));
}

inline CairnDBUpdateMsg ContainerRec(uint64_t uuid, std::vector<uint32_t> ipv4 = {},
                                     const std::function<void(pb::ContainerMsg&)>& fill = nullptr) {
    pb::ContainerMsg c;
    *c.mutable_id() = Uuid(uuid);
    c.set_name("group-" + std::to_string(uuid));
    for (uint32_t a : ipv4)
        AddIpv4(c.add_ip_addresses(), a);
    if (fill)
        fill(c);
    return Record(ObjectType::CONTAINER, c);
}

inline CairnDBUpdateMsg ProfileRec(
    uint64_t uuid, const std::vector<std::pair<std::string, std::vector<std::string>>>& attrs) {
    pb::ContextProfileMsg p;
    *p.mutable_id() = Uuid(uuid);
    p.set_name("profile-" + std::to_string(uuid));
    for (const auto& [key, values] : attrs) {
        pb::ContextProfileAttributeMsg* a = p.add_attributes();
        a->set_key(key);
        for (const std::string& v : values)
            a->add_values(v);
    }
    return Record(ObjectType::CONTEXT_PROFILE, p);
}

struct BucketArgs {
    std::string name;
    uint32_t start;
    uint32_t end;
};

// A firewall config span (filter type 1) with the given buckets.
inline CairnDBUpdateMsg SpanRec(uint64_t uuid, const std::vector<BucketArgs>& buckets,
                                const std::function<void(pb::ConfigSpanMsg&)>& fill = nullptr) {
    pb::ConfigSpanMsg s;
    *s.mutable_id() = Uuid(uuid);
    s.set_span_type(1);
    if (!buckets.empty()) {
        for (const BucketArgs& b : buckets) {
            pb::CategoryBucketMsg* m = s.mutable_category_buckets()->add_buckets();
            m->set_name(b.name);
            m->set_range_start(b.start);
            m->set_range_end(b.end);
        }
    }
    if (fill)
        fill(s);
    return Record(ObjectType::CONFIG_SPAN, s);
}

// A chunk of `entries` 16-byte records.
inline CairnDBUpdateMsg ChunkRec(uint64_t uuid, uint32_t chunkId, size_t entries) {
    pb::IpReputationConfigMsg c;
    *c.mutable_id() = Uuid(uuid);
    c.set_chunk_id(chunkId);
    c.set_bucket(1);
    c.set_entries(std::string(entries * 16, '\x01'));
    c.set_entry_count(static_cast<uint32_t>(entries));
    return Record(ObjectType::IP_REPUTATION_CONFIG, c);
}

// A relation of group `container` to the given ports.
inline CairnDBUpdateMsg GroupRec(uint64_t uuid, uint64_t container, std::vector<uint64_t> ports) {
    pb::EntityGroupRelationMsg g;
    *g.mutable_id() = Uuid(uuid);
    if (!ports.empty()) {
        pb::ContainerLogicalSwitchPortMsg* rel = g.add_container_logical_switch_port();
        *rel->mutable_container_id() = Uuid(container);
        for (uint64_t p : ports)
            *rel->add_logical_switch_port_ids() = Uuid(p);
    }
    return Record(ObjectType::ENTITY_GROUP_RELATION, g);
}

inline CairnDBUpdateMsg GlobalRec(const std::function<void(pb::GlobalConfigMsg&)>& fill) {
    pb::GlobalConfigMsg g;
    *g.mutable_id() = Uuid(900);
    fill(g);
    return Record(ObjectType::GLOBAL_CONFIG, g);
}

inline CairnDBUpdateMsg ToggleRec(bool ids, bool idfw) {
    pb::SecurityFeatureToggleMsg t;
    *t.mutable_id() = Uuid(901);
    t.set_ids_mode(ids);
    t.set_idfw_mode(idfw);
    return Record(ObjectType::SECURITY_FEATURE_TOGGLE, t);
}

inline CairnDBUpdateMsg BarrierRec(uint64_t number, Operation op = Operation::OPERATION_UPDATE) {
    pb::BarrierMsg b;
    *b.mutable_id() = Uuid(902);
    b.set_barrier_id(number);
    return Record(ObjectType::BARRIER, b, op);
}

}  // namespace CfgAgent::test::dfw
