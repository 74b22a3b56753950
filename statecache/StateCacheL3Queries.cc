// Queries, sizes and dumps of the L3 table.
#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include <google/protobuf/message.h>

#include "proto/cairndb_routing.pb.h"
#include "proto/cairndb_system.pb.h"
#include "proto/cairndb_types.pb.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"
#include "statecache/IdText.h"
#include "statecache/StateCacheJson.h"
#include "statecache/StateCacheL3State.h"
#include "statecache/StateCacheL3Table.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

CairnDBUpdateMsg Record(ObjectType type, std::string_view id, PropertyType p,
                        std::string_view value) {
    CairnDBUpdateMsg r;
    r.objType = type;
    r.id.assign(id);
    r.property = p;
    r.data.assign(value);
    r.op = p == PropertyType::INVALID_PROPERTY ? Operation::OPERATION_UPDATE
                                               : Operation::OPERATION_ELEMENT_SET;
    return r;
}

bool ParseInto(std::string_view bytes, google::protobuf::Message* out) {
    out->Clear();
    return out->ParseFromArray(bytes.data(), static_cast<int>(bytes.size()));
}

struct DumpEntry {
    uint32_t type;
    std::string id;
    uint32_t property;
    uint32_t version;
    std::string value;
};

// Every value of the store, sorted by (type, id text, property, value).
std::vector<DumpEntry> Entries(const sc::PropertyStore& store) {
    std::vector<DumpEntry> out;
    store.ForEachObject([&](ObjectType type, std::string_view id, const sc::ObjectEntry& e) {
        for (const sc::PropSlot& s : e.props) {
            s.ForEachValue([&](std::string_view v, uint32_t version) {
                out.push_back({static_cast<uint32_t>(type), std::string(id),
                               static_cast<uint32_t>(s.property), version, std::string(v)});
            });
        }
    });
    std::sort(out.begin(), out.end(), [](const DumpEntry& a, const DumpEntry& b) {
        return std::tie(a.type, a.id, a.property, a.value) <
               std::tie(b.type, b.id, b.property, b.value);
    });
    return out;
}

}  // namespace

bool StateCacheL3Table::GetObjectsWithProperty(ObjectType type, PropertyType property,
                                               CairnDBUpdateList* out) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    CFG_DEBUG("Query object property from remote StateCache by objectType %1, propertyType %2",
              ObjTypeToString(type), PropertyTypeToString(property));
    size_t before = out->size();
    state_->store.ForEachWithProperty(
        type, property, [&](std::string_view id, const sc::ObjectEntry&, const sc::PropSlot& s) {
            s.ForEachValue([&](std::string_view v, uint32_t) {
                out->push_back(Record(type, id, property, v));
            });
        });
    if (out->size() == before) {
        CFG_DEBUG("object does not exist: objectType %1 propertyType %2", ObjTypeToString(type),
                  PropertyTypeToString(property));
        return false;
    }
    return true;
}

bool StateCacheL3Table::GetObjectProperties(const std::string& id, CairnDBUpdateList* out) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    CFG_DEBUG("Query object [%1] property from remote StateCache", IdText(id));
    size_t before = out->size();
    state_->store.ForEachTypeOf(id, [&](ObjectType type, const sc::ObjectEntry& e) {
        for (const sc::PropSlot& s : e.props) {
            s.ForEachValue([&](std::string_view v, uint32_t) {
                out->push_back(Record(type, id, s.property, v));
            });
        }
    });
    if (out->size() == before) {
        CFG_DEBUG("object does not exist: %1", IdText(id));
        return false;
    }
    return true;
}

bool StateCacheL3Table::GetProperty(ObjectType type, const std::string& id, PropertyType property,
                                    std::vector<std::string>* values) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    const sc::PropSlot* s = state_->store.FindProp(type, id, property);
    if (s == nullptr) {
        CFG_DEBUG("property does not exist: %1, %2 with type: %3", IdText(id),
                  PropertyTypeToString(property), ObjTypeToString(type));
        return false;
    }
    s->ForEachValue([&](std::string_view v, uint32_t) { values->emplace_back(v); });
    return true;
}

bool StateCacheL3Table::QueryOne(ObjectType type, const std::string& id, PropertyType property,
                                 const char* multiText, google::protobuf::Message* out) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    const sc::PropSlot* s = state_->store.FindProp(type, id, property);
    if (s == nullptr)
        return false;
    if (s->count() > 1) {
        CFG_ERROR_CODE("LCP00919", multiText, IdText(id));
        return false;
    }
    return ParseInto(s->value.view(), out);
}

bool StateCacheL3Table::QuerySingleton(ObjectType type, const char* queryText,
                                       const char* populateText, const char* multiText,
                                       google::protobuf::Message* out) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    std::string_view body;
    state_->store.ForEachWithProperty(
        type, PropertyType::INVALID_PROPERTY,
        [&](std::string_view, const sc::ObjectEntry&, const sc::PropSlot& s) {
            count += s.count();
            body = s.value.view();
        });
    if (count == 0)
        return false;  // nothing received yet: a normal state, not worth a line
    CFG_DEBUG(queryText);
    if (count > 1) {
        CFG_ERROR_CODE("LCP00919", multiText);
        return false;
    }
    CFG_DEBUG(populateText);
    return ParseInto(body, out);
}

bool StateCacheL3Table::QueryFibRouterId(const std::string& fibId, pb::UuidMsg* lr) const {
    return QueryOne(ObjectType::FIB, fibId, PropertyType::L3_FIB_ROUTER_ID,
                    "Found multiple LR entries for fib %1", lr);
}

bool StateCacheL3Table::QueryFibIpPrefix(const std::string& fibId, pb::IpPrefixMsg* prefix) const {
    return QueryOne(ObjectType::FIB, fibId, PropertyType::L3_FIB_IP_PREFIX,
                    "Found multiple IP prefix entries for fib %1", prefix);
}

bool StateCacheL3Table::QueryArpRouterPortId(const std::string& arpId, pb::UuidMsg* lrp) const {
    return QueryOne(ObjectType::ARP_TABLE_CONFIG, arpId, PropertyType::L3_ARP_ROUTER_PORT_ID,
                    "Found multiple LRP entries for arp table config %1", lrp);
}

bool StateCacheL3Table::QueryRouterPort(const std::string& lrpId,
                                        pb::LogRouterPortConfigMsg* lrp) const {
    if (!QueryOne(ObjectType::LOG_ROUTER_PORT_CONFIG, lrpId, PropertyType::INVALID_PROPERTY,
                  "Found multiple entries for LRP %1", lrp)) {
        return false;
    }
    if (!lrp->has_lr_uuid()) {
        CFG_ERROR_CODE("LCP00920", "No LR UUID set in protobuf msg for LRP %1", IdText(lrpId));
        return false;
    }
    return true;
}

bool StateCacheL3Table::QueryRouter(const std::string& lrId, pb::LogRouterConfigMsg* lr) const {
    if (!QueryOne(ObjectType::LOG_ROUTER_CONFIG, lrId, PropertyType::INVALID_PROPERTY,
                  "Found multiple entries for LR %1", lr)) {
        return false;
    }
    if (!lr->has_vdr_id()) {
        CFG_ERROR_CODE("LCP00920", "No vdr ID set in protobuf msg for LR %1", IdText(lrId));
        return false;
    }
    return true;
}

bool StateCacheL3Table::QueryMulticastConfig(const std::string& id,
                                             pb::MulticastConfigMsg* msg) const {
    return QueryOne(ObjectType::MULTICAST_CONFIG, id, PropertyType::INVALID_PROPERTY,
                    "Found multiple entries for multicast config %1", msg);
}

bool StateCacheL3Table::QueryNdraProfile(const std::string& id,
                                         pb::NdraProfileConfigMsg* msg) const {
    return QueryOne(ObjectType::NDRA_PROFILE_CONFIG, id, PropertyType::INVALID_PROPERTY,
                    "Found multiple entries for ndraProfileId %1", msg);
}

bool StateCacheL3Table::QueryDadProfile(const std::string& id, pb::DadProfileConfigMsg* msg) const {
    return QueryOne(ObjectType::DAD_PROFILE_CONFIG, id, PropertyType::INVALID_PROPERTY,
                    "Found multiple entries for dadProfileId %1", msg);
}

bool StateCacheL3Table::QueryPrefixList(const std::string& id, pb::PrefixListMsg* msg) const {
    if (!QueryOne(ObjectType::PREFIX_LIST, id, PropertyType::INVALID_PROPERTY,
                  "Found multiple entries for prefix list %1", msg)) {
        return false;
    }
    if (!msg->has_index()) {
        CFG_ERROR_CODE("LCP00920", "No prefix list index set in protobuf msg for prefix list %1",
                       IdText(id));
        return false;
    }
    return true;
}

bool StateCacheL3Table::QueryFibDadState(const std::string& id,
                                         pb::LogRouterPortFibDadStateMsg* msg) const {
    return QueryOne(ObjectType::LOG_ROUTER_PORT_FIB_DAD_STATE, id, PropertyType::INVALID_PROPERTY,
                    "Found multiple entries for FibDadStateMsg  %1", msg);
}

bool StateCacheL3Table::QueryGlobalConfig(pb::GlobalConfigMsg* msg) const {
    return QuerySingleton(ObjectType::GLOBAL_CONFIG, "Query Global config",
                          "Populating Global message",
                          "Found multiple entries for globalConfig msg", msg);
}

bool StateCacheL3Table::QueryBarrier(pb::BarrierMsg* msg) const {
    return QuerySingleton(ObjectType::BARRIER, "Query barrier", "Populating barrier message",
                          "Found multiple entries for barrier msg", msg);
}

bool StateCacheL3Table::QueryMulticastStaticRoutes(
    const std::string& lrId, std::vector<pb::MulticastStaticRouteMsg>* routes) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    CFG_DEBUG("Query Multicast Static Route by LR UUID %1", IdText(lrId));
    size_t before = routes->size();
    state_->store.ForEachWithProperty(
        ObjectType::MULTICAST_STATIC_ROUTE, PropertyType::INVALID_PROPERTY,
        [&](std::string_view, const sc::ObjectEntry&, const sc::PropSlot& s) {
            s.ForEachValue([&](std::string_view v, uint32_t) {
                pb::MulticastStaticRouteMsg m;
                if (ParseInto(v, &m) && m.has_lr_uuid() &&
                    m.lr_uuid().SerializeAsString() == lrId) {
                    routes->push_back(std::move(m));
                }
            });
        });
    if (routes->size() == before) {
        CFG_DEBUG("Didn't find the MulticastStaticRoute for LR UUID %1", IdText(lrId));
        return false;
    }
    return true;
}

size_t StateCacheL3Table::CacheBytes() const {
    AgentLockGuard agentLock(GlobalAgentLock());
    size_t bytes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes = state_->store.ComputeBytes();
    }
    CFG_INFO("L3 desired cache size(bytes): %1", bytes);
    return bytes;
}

size_t StateCacheL3Table::ValueCount() const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->store.ValueCount();
}

uint32_t StateCacheL3Table::FullSyncVersion() const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->store.version();
}

void StateCacheL3Table::LogDump() const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    CFG_INFO("Dump L3 remote StateCache");
    if (!Logger::enabled(kLogInfo))
        return;
    for (const DumpEntry& e : Entries(state_->store)) {
        auto type = static_cast<ObjectType>(e.type);
        auto property = static_cast<PropertyType>(e.property);
        CFG_INFO(
            "ObjectType is : %1, ObjectId is : %2, PropertyType is %3,FullsyncVersion is %4, "
            "PropertyValue is %5",
            sc::TypeName(type), IdText(e.id), PropertyTypeToString(property), e.version,
            sc::DumpText(sc::L3ValueJson(type, property, e.value)));
    }
}

std::string StateCacheL3Table::DumpJson() const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::json entries = nlohmann::json::array();
    for (const DumpEntry& e : Entries(state_->store)) {
        auto type = static_cast<ObjectType>(e.type);
        auto property = static_cast<PropertyType>(e.property);
        entries.push_back({{"ObjectType", sc::TypeName(type)},
                           {"ObjectId", IdText(e.id)},
                           {"PropertyType", sc::PropertyName(property)},
                           {"FullSyncVersion", e.version},
                           {"PropertyValue", sc::L3ValueJson(type, property, e.value)}});
    }
    nlohmann::json j;
    j["FullSyncVersion"] = state_->store.version();
    j["entries"] = std::move(entries);
    return sc::DumpText(j);
}

}  // namespace CfgAgent
