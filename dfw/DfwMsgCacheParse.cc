// DfwMsgCache: parsing of one database object into the batch, outside the cache's lock.
#include <string>

#include "dfw/DfwLog.h"
#include "dfw/DfwMsgCache.h"
#include "dfw/DfwMsgCacheInternal.h"
#include "dfw/DfwMsgParser.h"
#include "proto/cairndb_firewall.pb.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

// Records of pattern W carry the object's serialized UuidMsg as id; a delete needs nothing more.
bool RecordUuid(const CairnDBUpdateMsg& u, const char* kind, DfwUuid* out) {
    pb::UuidMsg id;
    if (!id.ParseFromString(u.id)) {
        DFW_ERROR_CODE("LCP01153", "dfw: Unable to parse the id of a deleted %1", kind);
        return false;
    }
    *out = UuidOf(id);
    return true;
}

template <class T>
void Place(DfwKindBatch<T>& kind, const DfwUuid& id, std::shared_ptr<const T> obj) {
    DfwObjects<T>& m = kind.add;
    // Full syncs arrive in uuid order: appending at the end costs no search.
    if (m.empty() || m.rbegin()->first < id)
        m.emplace_hint(m.end(), id, std::move(obj));
    else
        m[id] = std::move(obj);
}

// A later record of the batch for the same uuid decides alone: it leaves the other map of its
// kind (its own map is overwritten by Place).
template <class T>
void LeaveOther(DfwKindBatch<T>& other, const DfwUuid& id) {
    if (!other.add.empty())
        other.add.erase(id);
}

bool Deleting(const CairnDBUpdateMsg& u) {
    return u.op == Operation::OPERATION_DELETE;
}

template <class Msg>
bool ReadToggle(const std::string& data, DfwMsgCache::ToggleValues* t) {
    Msg m;
    if (!m.ParseFromString(data))
        return false;
    if (m.has_ids_mode())
        t->ids = m.ids_mode();
    if (m.has_idfw_mode())
        t->idfw = m.idfw_mode();
    return true;
}

constexpr uint32_t kEnforceFirewall = 1;
constexpr uint32_t kEnforceLb = 4;

}  // namespace

void DfwMsgCache::Parse(const CairnDBUpdateMsg& u, Batch& b) const {
    if (u.objType != ObjectType::CONFIG_SPAN)
        ++b.others;
    switch (u.objType) {
        case ObjectType::RULE:
            ParseRule(u, b);
            break;
        case ObjectType::RULE_SECTION:
            ParseSection(u, b);
            break;
        case ObjectType::CONTAINER:
            ParseContainer(u, b);
            break;
        case ObjectType::CONTEXT_PROFILE:
            ParseContextProfile(u, b);
            break;
        case ObjectType::CONFIG_SPAN:
            ParseSpan(u, b);
            break;
        case ObjectType::IP_REPUTATION_CONFIG:
            ParseChunk(u, b);
            break;
        case ObjectType::ENTITY_GROUP_RELATION:
            ParseGroupRelation(u, b);
            break;
        case ObjectType::GLOBAL_CONFIG:
        case ObjectType::SECURITY_FEATURE_TOGGLE:
        case ObjectType::FLEET_CLUSTER_HOST_CONFIG:
        case ObjectType::BARRIER:
            ParseSwitches(u, b);
            break;
        default:
            DFW_ERROR_CODE("LCP01154", "dfw: unexpected cairndb object type %1",
                           static_cast<uint32_t>(u.objType));
            break;
    }
}

void DfwMsgCache::ParseRule(const CairnDBUpdateMsg& u, Batch& b) const {
    DfwUuid id;
    if (Deleting(u)) {
        if (RecordUuid(u, "rule", &id))
            b.rules.del.insert(id);
        return;
    }
    // The stored body is the database RuleMsg; LcpRuleMsg has its numbers and types (checked by
    // the schema tests), so one parse gives the firewall's form and the checks below stand for
    // the rewrite.
    auto rule = b.New<dfwpb::Rule>();
    if (!rule->ParseFromString(u.data)) {
        DFW_ERROR_CODE("LCP01153", "dfw: Unable to parse the cairndb rule");
        return;
    }
    DFW_DEBUG("dfw: Content of cairndb rule: %1", rule->ShortDebugString());
    if (!rule->has_rule_id() || !rule->has_section_id() ||
        (rule->section_id().left() == 0 && rule->section_id().right() == 0)) {
        DFW_ERROR_CODE("LCP01153", "dfw: bad rule with no id or section id");
        return;
    }
    std::string why = DfwMsgParser::CheckRule(*rule);
    if (!why.empty()) {
        DFW_ERROR_CODE("LCP01153", "dfw: Unable to convert the cairndb rule to dfw Rule");
        DFW_ERROR("dfw:   rule %1 (%2): %3", rule->rule_id(), UuidOf(rule->id()).Text(), why);
        return;
    }
    id = UuidOf(rule->id());
    uint32_t enforcement = rule->has_enforcement() ? rule->enforcement() : kEnforceFirewall;
    if (enforcement & kEnforceLb) {
        DFW_INFO("dfw: adding a lb rule. id: %1, uuid: %2", rule->rule_id(), id.Text());
        LeaveOther(b.rules, id);
        Place<dfwpb::Rule>(b.lbRules, id, std::move(rule));
    } else if (enforcement & kEnforceFirewall) {
        LeaveOther(b.lbRules, id);
        Place<dfwpb::Rule>(b.rules, id, std::move(rule));
    } else {
        DFW_INFO("dfw: ignoring/deleting a rule that shouldn't be enforced on dfw");
        LeaveOther(b.rules, id);
        LeaveOther(b.lbRules, id);
        b.rules.evict.insert(id);
        b.lbRules.evict.insert(id);
    }
}

void DfwMsgCache::ParseSection(const CairnDBUpdateMsg& u, Batch& b) const {
    DfwUuid id;
    if (Deleting(u)) {
        if (RecordUuid(u, "section", &id))
            b.sections.del.insert(id);
        return;
    }
    auto section = b.New<dfwpb::Section>();
    if (!section->ParseFromString(u.data)) {
        DFW_ERROR_CODE("LCP01153", "dfw: Unable to parse the section");
        return;
    }
    id = UuidOf(section->id());
    if (section->has_enforcement() && (section->enforcement() & kEnforceLb)) {
        DFW_INFO("dfw: adding a lb section. uuid: %1", id.Text());
        LeaveOther(b.sections, id);
        Place<dfwpb::Section>(b.lbSections, id, std::move(section));
    } else {
        LeaveOther(b.lbSections, id);
        Place<dfwpb::Section>(b.sections, id, std::move(section));
    }
}

void DfwMsgCache::ParseContainer(const CairnDBUpdateMsg& u, Batch& b) const {
    DfwUuid id;
    if (Deleting(u)) {
        if (RecordUuid(u, "container", &id))
            b.containers.del.insert(id);
        return;
    }
    auto c = b.New<dfwpb::Container>();
    if (!c->ParseFromString(u.data)) {
        DFW_ERROR_CODE("LCP01153", "dfw: Unable to parse the container");
        return;
    }
    std::string why = DfwMsgParser::CheckContainer(*c);
    if (!why.empty()) {
        DFW_ERROR_CODE("LCP01153", "dfw: Unable to parse the container");
        DFW_ERROR("dfw:   container %1: %2", UuidOf(c->id()).Text(), why);
        return;
    }
    id = UuidOf(c->id());
    Place<dfwpb::Container>(b.containers, id, std::move(c));
}

void DfwMsgCache::ParseContextProfile(const CairnDBUpdateMsg& u, Batch& b) const {
    DfwUuid id;
    if (Deleting(u)) {
        if (RecordUuid(u, "context profile", &id))
            b.containers.del.insert(id);
        return;
    }
    pb::ContextProfileMsg profile;
    if (!profile.ParseFromString(u.data)) {
        DFW_ERROR_CODE("LCP01153", "dfw: Unable to parse the context profile");
        return;
    }
    id = UuidOf(profile.id());
    auto c = b.New<dfwpb::Container>();
    std::vector<std::string> dropped;
    std::string why;
    switch (DfwMsgParser::ProfileToContainer(profile, c.get(), &dropped, &why)) {
        case DfwMsgParser::ProfileOutcome::kSkipped:
            DFW_INFO("dfw: skipping context profile (%1, %2) with IDS/MPS attribute key", id.left,
                     id.right);
            // A profile that turned IDS (or MPS) is no longer the firewall's.
            b.containers.add.erase(id);
            b.containers.evict.insert(id);
            return;
        case DfwMsgParser::ProfileOutcome::kRefused:
            DFW_ERROR_CODE("LCP01153", "dfw: Unable to parse the context profile");
            DFW_ERROR("dfw:   context profile %1: %2", id.Text(), why);
            return;
        case DfwMsgParser::ProfileOutcome::kContainer:
            break;
    }
    for (const std::string& key : dropped) {
        if (key.empty())
            DFW_WARN("dfw: attribute key is empty");
        else
            DFW_WARN("dfw: attribute key %1 value is empty", key);
    }
    Place<dfwpb::Container>(b.containers, id, std::move(c));
}

void DfwMsgCache::ParseSpan(const CairnDBUpdateMsg& u, Batch& b) const {
    DfwUuid id;
    if (Deleting(u)) {
        if (RecordUuid(u, "config span", &id))
            b.spanDel.insert(id);
        return;
    }
    auto span = std::make_shared<dfwpb::Span>();
    if (!span->ParseFromString(u.data)) {
        DFW_ERROR_CODE("LCP01153", "dfw: Unable to parse config span");
        return;
    }
    b.spans.push_back(std::move(span));
}

void DfwMsgCache::ParseChunk(const CairnDBUpdateMsg& u, Batch& b) const {
    DfwUuid id;
    if (Deleting(u)) {
        if (RecordUuid(u, "ip reputation chunk", &id))
            b.chunks.del.insert(id);
        return;
    }
    DFW_INFO("dfw: Received ip reputation chunk update");
    auto chunk = std::make_shared<dfwpb::Chunk>();
    if (!chunk->ParseFromString(u.data)) {
        DFW_ERROR_CODE("LCP01153", "dfw: Unable to parse ip reputation config");
        return;
    }
    std::string why = DfwMsgParser::CheckChunk(*chunk);
    if (!why.empty()) {
        DFW_ERROR_CODE("LCP01153", "dfw: Unable to parse ip reputation config");
        DFW_ERROR("dfw:   chunk %1: %2", UuidOf(chunk->id()).Text(), why);
        return;
    }
    id = UuidOf(chunk->id());
    Place<dfwpb::Chunk>(b.chunks, id, std::move(chunk));
}

void DfwMsgCache::ParseGroupRelation(const CairnDBUpdateMsg& u, Batch& b) const {
    // Property records of the relation are the configuration table's.
    if (u.property != PropertyType::INVALID_PROPERTY)
        return;
    DfwUuid id;
    if (Deleting(u)) {
        if (RecordUuid(u, "lsp group relation", &id))
            b.groups.del.insert(id);
        return;
    }
    auto g = std::make_shared<dfwpb::Group>();
    if (!g->ParseFromString(u.data)) {
        DFW_ERROR_CODE("LCP01153", "dfw: Unable to parse the entity group relation");
        return;
    }
    id = UuidOf(g->id());
    size_t ports = 0;
    for (const auto& rel : g->container_logical_switch_port())
        ports += static_cast<size_t>(rel.logical_switch_port_ids_size());
    if (ports > DfwMsgParser::kMaxContainerEntries) {
        DFW_ERROR_CODE("LCP01153", "dfw: Unable to parse the entity group relation");
        DFW_ERROR("dfw:   relation %1: %2 ports", id.Text(), ports);
        return;
    }
    if (g->container_logical_switch_port().empty()) {
        DFW_DEBUG("dfw: ignore non lsp entity group relation msg");
        b.groups.add.erase(id);
        b.groups.evict.insert(id);
        return;
    }
    Place<dfwpb::Group>(b.groups, id, std::move(g));
}

void DfwMsgCache::ParseSwitches(const CairnDBUpdateMsg& u, Batch& b) const {
    switch (u.objType) {
        case ObjectType::GLOBAL_CONFIG: {
            if (Deleting(u)) {
                b.global.reset();
                b.globalDeleted = true;
                return;
            }
            pb::GlobalConfigMsg g;
            if (!g.ParseFromString(u.data)) {
                DFW_ERROR_CODE("LCP01153", "dfw: Unable to parse the global config");
                return;
            }
            if (b.global)
                DFW_WARN("dfw: received two global config updates in one cairndb transaction");
            b.global = std::move(g);
            b.globalDeleted = false;
            return;
        }
        case ObjectType::SECURITY_FEATURE_TOGGLE:
        case ObjectType::FLEET_CLUSTER_HOST_CONFIG: {
            ToggleValues t;
            if (Deleting(u)) {
                t.deleted = true;
                b.toggles.push_back(t);
                return;
            }
            bool ok = u.objType == ObjectType::SECURITY_FEATURE_TOGGLE
                          ? ReadToggle<pb::SecurityFeatureToggleMsg>(u.data, &t)
                          : ReadToggle<pb::FleetClusterHostConfigMsg>(u.data, &t);
            if (!ok) {
                DFW_ERROR_CODE("LCP01153", "dfw: Unable to parse the %1",
                               ObjTypeToString(static_cast<uint32_t>(u.objType)));
                return;
            }
            b.toggles.push_back(t);
            return;
        }
        case ObjectType::BARRIER: {
            if (u.op != Operation::OPERATION_UPDATE) {
                DFW_WARN("dfw: unexpected barrier update type: %1", static_cast<uint32_t>(u.op));
                return;
            }
            pb::BarrierMsg m;
            if (!m.ParseFromString(u.data)) {
                DFW_ERROR_CODE("LCP01153", "dfw: Unable to parse the barrier");
                return;
            }
            b.barrier = m.barrier_id();
            return;
        }
        default:
            return;
    }
}

}  // namespace CfgAgent
