// Queries, sizes and dumps of the L2 table.
#include <algorithm>
#include <string>
#include <vector>

#include "runtime/AgentLock.h"
#include "runtime/Logger.h"
#include "statecache/IdText.h"
#include "statecache/StateCacheJson.h"
#include "statecache/StateCacheL2Side.h"
#include "statecache/StateCacheL2Table.h"

namespace CfgAgent {

namespace {

const char* StoreWord(L2Store store) {
    return store == L2Store::kDesired ? "desired" : "runtime";
}

PropertyType PropertyAt(size_t index) {
    return static_cast<PropertyType>(static_cast<uint32_t>(PropertyType::L2_VM_IP) + index);
}

CairnDBUpdateMsg Record(ObjectType type, std::string_view id, PropertyType p,
                        std::string_view data) {
    CairnDBUpdateMsg r;
    r.objType = type;
    r.id.assign(id);
    r.property = p;
    r.data.assign(data);
    r.op = Operation::OPERATION_UPDATE;
    return r;
}

// Entries of one property in key order.
std::vector<std::pair<L2ValueKey, const sc::L2Entry*>> Sorted(const sc::L2EntryMap& m) {
    std::vector<std::pair<L2ValueKey, const sc::L2Entry*>> v;
    v.reserve(m.size());
    for (const auto& [k, e] : m)
        v.emplace_back(k, &e);
    std::sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return v;
}

void AppendProperty(ObjectType type, std::string_view id, PropertyType p, const sc::L2EntryMap& m,
                    CairnDBUpdateList* out) {
    for (const auto& [k, e] : Sorted(m))
        out->push_back(Record(type, id, p, e->body.view()));
}

void AppendObject(ObjectType type, std::string_view id, const sc::L2Object& o,
                  CairnDBUpdateList* out) {
    out->push_back(Record(type, id, PropertyType::INVALID_PROPERTY, {}));
    for (size_t p = 0; p < o.props.size(); ++p)
        AppendProperty(type, id, PropertyAt(p), o.props[p], out);
}

nlohmann::json EntriesJson(PropertyType p, const sc::L2EntryMap& m) {
    nlohmann::json arr = nlohmann::json::array();
    for (const auto& [k, e] : Sorted(m)) {
        arr.push_back({{"ValueKey", {k.part[0], k.part[1]}},
                       {"FullSyncVersion", e->version},
                       {"PropertyValue", sc::L2EntryJson(p, e->body.view())}});
    }
    return arr;
}

nlohmann::json ObjectJson(ObjectType type, std::string_view id, const sc::L2Object& o) {
    nlohmann::json props = nlohmann::json::array();
    for (size_t p = 0; p < o.props.size(); ++p) {
        if (o.props[p].empty())
            continue;
        props.push_back({{"PropertyType", sc::PropertyName(PropertyAt(p))},
                         {"entries", EntriesJson(PropertyAt(p), o.props[p])}});
    }
    return {{"ObjectType", sc::TypeName(type)},
            {"ObjectId", IdText(id)},
            {"FullSyncVersion", o.version},
            {"properties", std::move(props)}};
}

nlohmann::json ObjectsJson(const sc::L2ObjectStore& store, bool oneType, ObjectType only) {
    std::vector<std::pair<std::pair<uint32_t, std::string>, nlohmann::json>> objects;
    for (const auto& [type, map] : store.types()) {
        if (oneType && type != only)
            continue;
        for (const auto& [id, o] : map) {
            objects.emplace_back(std::make_pair(static_cast<uint32_t>(type), IdText(id.view())),
                                 ObjectJson(type, id.view(), o));
        }
    }
    std::sort(objects.begin(), objects.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    nlohmann::json arr = nlohmann::json::array();
    for (auto& o : objects)
        arr.push_back(std::move(o.second));
    return arr;
}

}  // namespace

bool StateCacheL2Table::GetObjectsOfType(L2Store which, ObjectType type,
                                         CairnDBUpdateList* out) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    const auto& types = SideOf(which).store.types();
    auto it = types.find(type);
    if (it == types.end() || it->second.empty()) {
        CFG_DEBUG("L2Cache: object type %1 does not exists in %2 cache", ObjTypeToString(type),
                  StoreWord(which));
        return false;
    }
    for (const auto& [id, o] : it->second)
        AppendObject(type, id.view(), o, out);
    return true;
}

bool StateCacheL2Table::GetObject(L2Store which, const std::string& id,
                                  CairnDBUpdateList* out) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    size_t before = out->size();
    SideOf(which).store.ForEachTypeOf(
        id, [&](ObjectType type, const sc::L2Object& o) { AppendObject(type, id, o, out); });
    if (out->size() == before) {
        CFG_DEBUG("L2Cache: object %1 does not exists in %2 cache", IdText(id), StoreWord(which));
        return false;
    }
    return true;
}

bool StateCacheL2Table::GetProperty(L2Store which, ObjectType type, const std::string& id,
                                    PropertyType property, CairnDBUpdateList* out) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    const sc::L2Object* o = SideOf(which).store.Find(type, id);
    if (o == nullptr || !IsL2EntryProperty(property) ||
        o->props[L2PropertyIndex(property)].empty()) {
        CFG_DEBUG("L2Cache: property does not exist: objectID : %1 , type: %2", IdText(id),
                  PropertyTypeToString(property));
        return false;
    }
    const sc::L2EntryMap& entries = o->props[L2PropertyIndex(property)];
    out->reserve(out->size() + entries.size());
    AppendProperty(type, id, property, entries, out);
    return true;
}

bool StateCacheL2Table::FindEntry(L2Store which, ObjectType type, const std::string& id,
                                  PropertyType property, const L2ValueKey& key,
                                  std::string* body) const {
    const sc::L2Object* o = SideOf(which).store.Find(type, id);
    if (o == nullptr || !IsL2EntryProperty(property))
        return false;
    const sc::L2EntryMap& m = o->props[L2PropertyIndex(property)];
    auto it = m.find(key);
    if (it == m.end())
        return false;
    *body = it->second.body.str();
    return true;
}

bool StateCacheL2Table::GetEntry(L2Store which, ObjectType type, const std::string& id,
                                 PropertyType property, uint64_t valueKey,
                                 std::string* body) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    L2ValueKey key;
    key.part[0] = valueKey;
    if (FindEntry(which, type, id, property, key, body))
        return true;
    CFG_DEBUG("L2Cache: property does not exist: objectID : %1 , type: %2, valueKey: %3",
              IdText(id), PropertyTypeToString(property), valueKey);
    return false;
}

bool StateCacheL2Table::GetEntry(L2Store which, ObjectType type, const std::string& id,
                                 PropertyType property, const L2ValueKey& valueKey,
                                 std::string* body) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    if (FindEntry(which, type, id, property, valueKey, body))
        return true;
    if (which == L2Store::kDesired) {
        CFG_DEBUG(
            "L2Cache: property does not exist: objectID : %1 , type: %2, valueKey128.part1 : %3, "
            "valueKey128.part2 : %4",
            IdText(id), PropertyTypeToString(property), valueKey.part[0], valueKey.part[1]);
    } else {
        CFG_DEBUG(
            "L2Cache: runtime property does not exist: objectID : %1 , type: %2, valueKey128.part1 "
            ": %3, "
            "valueKey128.part2 : %4",
            IdText(id), PropertyTypeToString(property), valueKey.part[0], valueKey.part[1]);
    }
    return false;
}

void StateCacheL2Table::RemoveLocalForwardingTable(const std::string& id) {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    CFG_DEBUG("L2Cache: remove local L2 forwarding table for object %1", IdText(id));
    runtime_->store.EraseAllTypes(id);
}

size_t StateCacheL2Table::CacheBytes(L2Store which) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    size_t bytes;
    size_t count;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes = SideOf(which).store.ComputeBytes();
        count = SideOf(which).store.EntryCount();
    }
    if (which == L2Store::kDesired) {
        CFG_INFO("L2Cache: L2 desired cache size(bytes): %1", bytes);
        CFG_INFO("L2Cache: L2 desired cache size(number): %1", count);
    } else {
        CFG_INFO("L2Cache: L2 runtime cache size(bytes): %1", bytes);
    }
    return bytes;
}

size_t StateCacheL2Table::EntryCount(L2Store which) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    return SideOf(which).store.EntryCount();
}

uint32_t StateCacheL2Table::FullSyncVersion(L2Store which) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    return SideOf(which).store.version();
}

std::string StateCacheL2Table::DumpJson(L2Store which) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    const sc::L2ObjectStore& store = SideOf(which).store;
    nlohmann::json j;
    j["FullSyncVersion"] = store.version();
    j["objects"] = ObjectsJson(store, false, ObjectType::OBJECT_TYPE_INVALID);
    return sc::DumpText(j);
}

std::string StateCacheL2Table::DumpObjectsJson(L2Store which, ObjectType type) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    return sc::DumpText(ObjectsJson(SideOf(which).store, true, type));
}

std::string StateCacheL2Table::DumpPropertyJson(L2Store which, ObjectType type,
                                                const std::string& id,
                                                PropertyType property) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::json j = {{"ObjectType", sc::TypeName(type)},
                        {"ObjectId", IdText(id)},
                        {"PropertyType", sc::PropertyName(property)},
                        {"entries", nlohmann::json::array()}};
    const sc::L2Object* o = SideOf(which).store.Find(type, id);
    if (o != nullptr && IsL2EntryProperty(property)) {
        j["entries"] = EntriesJson(property, o->props[L2PropertyIndex(property)]);
    }
    return sc::DumpText(j);
}

}  // namespace CfgAgent
