#pragma once
// Builders of the IDS objects' database records for the IDS tests (ids numbered as
// tests/support/DfwRecords.h numbers them), so the message cache and the application are fed
// what the dispatcher hands them.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "proto/UuidText.h"
#include "proto/cairndb_firewall.pb.h"
#include "proto/cairndb_ids.pb.h"
#include "proto/cairndb_system.pb.h"
#include "tests/support/DfwRecords.h"

namespace CfgAgent::test::ids {

namespace pb = orvane::ozy::cairndb;
using dfw::Record;
using dfw::Uuid;

// Uuid(n) as text, as the cache keys what it holds.
inline std::string Id(uint64_t n) {
    return ozy::cairndb::UuidText(0x1000 + n, n);
}

// An IDS rule (type 6 unless given) with `action`.
inline CairnDBUpdateMsg Rule(uint64_t n, uint32_t action, uint32_t type = 6) {
    pb::RuleMsg r;
    *r.mutable_id() = Uuid(n);
    r.set_type(type);
    r.set_action(action);
    return Record(ObjectType::RULE, r);
}

// A context profile with one value per attribute key.
inline CairnDBUpdateMsg Profile(uint64_t n, const std::string& name,
                                const std::vector<std::pair<std::string, std::string>>& attrs) {
    pb::ContextProfileMsg p;
    *p.mutable_id() = Uuid(n);
    p.set_name(name);
    for (const auto& [k, v] : attrs) {
        auto* a = p.add_attributes();
        a->set_key(k);
        a->add_values(v);
    }
    return Record(ObjectType::CONTEXT_PROFILE, p);
}

// The security feature toggle, or the cluster's host configuration, with IDS `on`.
inline CairnDBUpdateMsg Toggle(uint64_t n, bool on, bool host = false) {
    if (host) {
        pb::FleetClusterHostConfigMsg m;
        *m.mutable_id() = Uuid(n);
        m.set_ids_mode(on);
        return Record(ObjectType::FLEET_CLUSTER_HOST_CONFIG, m);
    }
    pb::SecurityFeatureToggleMsg m;
    *m.mutable_id() = Uuid(n);
    m.set_ids_mode(on);
    return Record(ObjectType::SECURITY_FEATURE_TOGGLE, m);
}

// The global configuration, with the oversubscription setting when given.
inline CairnDBUpdateMsg Global(uint64_t n, std::optional<uint32_t> oversubscription) {
    pb::GlobalConfigMsg g;
    *g.mutable_id() = Uuid(n);
    if (oversubscription)
        g.set_ids_oversubscription(*oversubscription);
    return Record(ObjectType::GLOBAL_CONFIG, g);
}

inline CairnDBUpdateMsg Barrier(uint64_t b) {
    pb::BarrierMsg m;
    *m.mutable_id() = Uuid(900);
    m.set_barrier_id(b);
    return Record(ObjectType::BARRIER, m);
}

// IDS_SIGNATURES with the gzip-compressed tar bundles given ("" leaves one out).
inline CairnDBUpdateMsg Signatures(uint64_t n, const std::string& system,
                                   const std::string& custom = "") {
    pb::IdsSignaturesMsg m;
    *m.mutable_id() = Uuid(n);
    if (!system.empty())
        m.set_system_bundle(system);
    if (!custom.empty())
        m.set_custom_bundle(custom);
    return Record(ObjectType::IDS_SIGNATURES, m);
}

// IDS_SIGNATURES with the gzip-compressed classification file and signature list given.
inline CairnDBUpdateMsg SignatureFiles(uint64_t n, const std::string& classification,
                                       const std::string& list) {
    pb::IdsSignaturesMsg m;
    *m.mutable_id() = Uuid(n);
    if (!classification.empty())
        m.set_classification(classification);
    if (!list.empty())
        m.set_signature_list(list);
    return Record(ObjectType::IDS_SIGNATURES, m);
}

inline CairnDBUpdateMsg Section(uint64_t n, uint32_t kind) {
    pb::RuleSectionMsg m;
    *m.mutable_id() = Uuid(n);
    m.set_kind(kind);
    return Record(ObjectType::RULE_SECTION, m);
}

}  // namespace CfgAgent::test::ids
