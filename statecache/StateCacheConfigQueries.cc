// Queries, sizes and dumps of the configuration table.
#include <algorithm>
#include <string>
#include <vector>

#include "proto/cairndb_switching.pb.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"
#include "statecache/IdText.h"
#include "statecache/StateCacheConfigSide.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheJson.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

const char* StoreWord(ConfigStore store) {
    return store == ConfigStore::kDesired ? "desired" : "runtime";
}

CairnDBUpdateMsg Record(ObjectType type, std::string_view id, PropertyType p,
                        std::string_view value) {
    CairnDBUpdateMsg r;
    r.objType = type;
    r.id.assign(id);
    r.property = p;
    r.data.assign(value);
    r.op = Operation::OPERATION_UPDATE;
    return r;
}

void AppendObject(ObjectType type, std::string_view id, const sc::ObjectEntry& e,
                  CairnDBUpdateList* out) {
    for (const sc::PropSlot& s : e.props)
        out->push_back(Record(type, id, s.property, s.value.view()));
}

nlohmann::json ObjectJson(ObjectType type, std::string_view id, const sc::ObjectEntry& e) {
    nlohmann::json o;
    o["ObjectType"] = sc::TypeName(type);
    o["ObjectId"] = IdText(id);
    nlohmann::json props = nlohmann::json::array();
    for (const sc::PropSlot& s : e.props) {
        if (s.property == PropertyType::INVALID_PROPERTY) {
            o["FullSyncVersion"] = s.version;
            o["body"] = sc::BodyJson(type, s.value.view());
            continue;
        }
        props.push_back({{"PropertyType", sc::PropertyName(s.property)},
                         {"FullSyncVersion", s.version},
                         {"PropertyValue", sc::BodyJson(type, s.value.view())}});
    }
    o["properties"] = std::move(props);
    return o;
}

// Objects sorted by type, then by id text, so that dumps are stable.
nlohmann::json ObjectsJson(const sc::PropertyStore& store, bool oneType, ObjectType only) {
    std::vector<std::pair<std::pair<uint32_t, std::string>, nlohmann::json>> objects;
    auto add = [&](ObjectType type, std::string_view id, const sc::ObjectEntry& e) {
        objects.emplace_back(std::make_pair(static_cast<uint32_t>(type), IdText(id)),
                             ObjectJson(type, id, e));
    };
    if (oneType) {
        store.ForEachObjectOfType(
            only, [&](std::string_view id, const sc::ObjectEntry& e) { add(only, id, e); });
    } else {
        store.ForEachObject(add);
    }
    std::sort(objects.begin(), objects.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    nlohmann::json arr = nlohmann::json::array();
    for (auto& o : objects)
        arr.push_back(std::move(o.second));
    return arr;
}

}  // namespace

bool StateCacheConfigTable::GetObjectsWithProperty(ConfigStore which, ObjectType type,
                                                   PropertyType property,
                                                   CairnDBUpdateList* out) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    CFG_DEBUG(
        "ConfigCache: query object property from %1 StateCache by objectType %2, propertyType %3",
        StoreWord(which), ObjTypeToString(type), PropertyTypeToString(property));
    size_t before = out->size();
    SideOf(which).store.ForEachWithProperty(
        type, property, [&](std::string_view id, const sc::ObjectEntry&, const sc::PropSlot& s) {
            out->push_back(Record(type, id, property, s.value.view()));
        });
    if (out->size() == before) {
        CFG_DEBUG("ConfigCache: object does not exist: objectType %1 propertyType %2",
                  ObjTypeToString(type), PropertyTypeToString(property));
        return false;
    }
    return true;
}

bool StateCacheConfigTable::GetObjectsOfType(ConfigStore which, ObjectType type,
                                             CairnDBUpdateList* out) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    size_t before = out->size();
    SideOf(which).store.ForEachObjectOfType(
        type,
        [&](std::string_view id, const sc::ObjectEntry& e) { AppendObject(type, id, e, out); });
    if (out->size() == before) {
        CFG_DEBUG("ConfigCache: object does not exist: objectType %1", ObjTypeToString(type));
        return false;
    }
    return true;
}

bool StateCacheConfigTable::GetObjectProperties(ConfigStore which, const std::string& id,
                                                CairnDBUpdateList* out) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    CFG_DEBUG("ConfigCache: query object [%1] property from %2 StateCache", IdText(id),
              StoreWord(which));
    size_t before = out->size();
    SideOf(which).store.ForEachTypeOf(
        id, [&](ObjectType type, const sc::ObjectEntry& e) { AppendObject(type, id, e, out); });
    if (out->size() == before) {
        CFG_DEBUG("ConfigCache: object does not exist: [%1]", IdText(id));
        return false;
    }
    return true;
}

bool StateCacheConfigTable::GetObjectProperties(ConfigStore which, ObjectType type,
                                                const std::string& id,
                                                CairnDBUpdateList* out) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    CFG_DEBUG("ConfigCache: query object [%1] property from %2 StateCache", IdText(id),
              StoreWord(which));
    const sc::ObjectEntry* e = SideOf(which).store.Find(type, id);
    if (e == nullptr) {
        CFG_DEBUG("ConfigCache: object does not exist: [%1][%2]", IdText(id),
                  ObjTypeToString(type));
        return false;
    }
    AppendObject(type, id, *e, out);
    return true;
}

bool StateCacheConfigTable::GetProperty(ConfigStore which, ObjectType type, const std::string& id,
                                        PropertyType property, std::string* value) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    const sc::ObjectEntry* e = SideOf(which).store.Find(type, id);
    if (e == nullptr) {
        CFG_DEBUG("ConfigCache: property does not exist: %1, %2 with type: %3", IdText(id),
                  PropertyTypeToString(property), ObjTypeToString(type));
        return false;
    }
    const sc::PropSlot* s = e->Find(property);
    if (s == nullptr) {
        CFG_DEBUG("ConfigCache: object exists, but property does not exist: %1, %2, %3", IdText(id),
                  ObjTypeToString(type), PropertyTypeToString(property));
        return false;
    }
    *value = s->value.str();
    return true;
}

bool StateCacheConfigTable::GetRuntimeState(ObjectType type, const std::string& id,
                                            PropertyType property, std::string* value) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    const sc::ObjectEntry* e = runtime_->store.Find(type, id);
    if (e == nullptr) {
        CFG_DEBUG("ConfigCache: state does not exist: %1, %2", IdText(id), ObjTypeToString(type));
        return false;
    }
    const sc::PropSlot* s = e->Find(property);
    if (s == nullptr || s->value.empty()) {
        CFG_DEBUG("ConfigCache: Object %1 with state %2 has no property value", IdText(id),
                  ObjTypeToString(type));
        return false;
    }
    *value = s->value.str();
    return true;
}

bool StateCacheConfigTable::GetAttachmentField(const std::string& lspId, bool dvport,
                                               std::string* out) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    const sc::ObjectEntry* e = desired_->store.Find(ObjectType::LOG_SWITCH_PORT_CONFIG, lspId);
    if (e == nullptr) {
        CFG_DEBUG("ConfigCache: object does not exist: objectId %1", IdText(lspId));
        return false;
    }
    // The property record is the authority; an object that only has its whole body still answers.
    const sc::PropSlot* s = e->Find(PropertyType::LSP_ATTACHMENT);
    if (s == nullptr)
        s = e->Find(PropertyType::INVALID_PROPERTY);
    pb::LogSwitchPortConfigMsg port;
    if (s == nullptr || !port.ParseFromArray(s->value.data(), static_cast<int>(s->value.size())) ||
        !port.has_attachment()) {
        CFG_DEBUG("ConfigCache: object exists, but property does not exist: %1, %2, %3",
                  IdText(lspId), ObjTypeToString(ObjectType::LOG_SWITCH_PORT_CONFIG),
                  PropertyTypeToString(PropertyType::LSP_ATTACHMENT));
        return false;
    }
    const std::string& field = dvport ? port.attachment().dvport_id() : port.attachment().vif_id();
    if (field.empty()) {
        return false;
    }
    *out = field;
    if (dvport) {
        CFG_DEBUG("ConfigCache: Find DVPortID %1 by LSP %2", field, IdText(lspId));
    } else {
        CFG_DEBUG("ConfigCache: Find VIFID %1 by LSP %2", field, IdText(lspId));
    }
    return true;
}

bool StateCacheConfigTable::GetDVPortIdByLsp(const std::string& lspId,
                                             std::string* dvportId) const {
    return GetAttachmentField(lspId, true, dvportId);
}

bool StateCacheConfigTable::GetVifIdByLsp(const std::string& lspId, std::string* vifId) const {
    return GetAttachmentField(lspId, false, vifId);
}

bool StateCacheConfigTable::GetTransportZoneOfLogicalSwitch(const std::string& lsId,
                                                            std::string* tzId) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    const sc::ObjectEntry* e = desired_->store.Find(ObjectType::LOG_SWITCH_CONFIG, lsId);
    const sc::PropSlot* s = e != nullptr ? e->Find(PropertyType::LS_TRANSPORT_ZONE_ID) : nullptr;
    if (s == nullptr && e != nullptr)
        s = e->Find(PropertyType::INVALID_PROPERTY);
    pb::LogSwitchConfigMsg ls;
    if (s == nullptr || !ls.ParseFromArray(s->value.data(), static_cast<int>(s->value.size())) ||
        !ls.has_transport_zone_id()) {
        CFG_DEBUG("ConfigCache: transport zone does not exist for logSwitch %1", IdText(lsId));
        return false;
    }
    *tzId = ls.transport_zone_id().SerializeAsString();
    return true;
}

bool StateCacheConfigTable::GetHostSwitchOfTransportZone(const std::string& tzId,
                                                         std::string* hostSwitchId,
                                                         std::string* hostSwitchName) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    bool found = false;
    desired_->store.ForEachWithProperty(
        ObjectType::TRANSPORT_NODE_CONFIG, PropertyType::TN_TRANSPORT_SWITCHES,
        [&](std::string_view, const sc::ObjectEntry&, const sc::PropSlot& s) {
            if (found)
                return;
            pb::TransportNodeConfigMsg tn;
            if (!tn.ParseFromArray(s.value.data(), static_cast<int>(s.value.size())))
                return;
            for (const auto& sw : tn.transport_switches()) {
                for (const auto& tz : sw.transport_zone_ids()) {
                    if (tz.SerializeAsString() == tzId) {
                        *hostSwitchId = sw.host_switch_id().SerializeAsString();
                        if (hostSwitchName != nullptr)
                            *hostSwitchName = sw.name();
                        found = true;
                        return;
                    }
                }
            }
        });
    if (!found) {
        CFG_DEBUG("ConfigCache: dvs does not exist for transport zone %1", IdText(tzId));
        return false;
    }
    CFG_DEBUG("ConfigCache: Host switch Id %1 TZoneId %2", IdText(*hostSwitchId), IdText(tzId));
    return true;
}

bool StateCacheConfigTable::FindLogicalSwitchByVni(uint32_t vni, std::string* lsId) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    bool found = false;
    desired_->store.ForEachWithProperty(
        ObjectType::LOG_SWITCH_CONFIG, PropertyType::LS_VNI,
        [&](std::string_view id, const sc::ObjectEntry&, const sc::PropSlot& s) {
            if (found)
                return;
            pb::LogSwitchConfigMsg ls;
            if (ls.ParseFromArray(s.value.data(), static_cast<int>(s.value.size())) &&
                ls.has_vni() && ls.vni() == vni) {
                lsId->assign(id);
                found = true;
            }
        });
    return found;
}

size_t StateCacheConfigTable::DesiredCacheBytes() const {
    AgentLockGuard agentLock(GlobalAgentLock());
    size_t bytes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes = desired_->store.ComputeBytes();
    }
    CFG_INFO("ConfigCache: Config desired cache size(bytes): %1", bytes);
    return bytes;
}

size_t StateCacheConfigTable::RuntimeCacheBytes() const {
    AgentLockGuard agentLock(GlobalAgentLock());
    size_t bytes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes = runtime_->store.ComputeBytes();
    }
    CFG_INFO("ConfigCache: Config runtime cache size(bytes): %1", bytes);
    return bytes;
}

size_t StateCacheConfigTable::ObjectCount(ConfigStore which) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    return SideOf(which).store.ObjectCount();
}

uint32_t StateCacheConfigTable::FullSyncVersion(ConfigStore which) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    return SideOf(which).store.version();
}

uint64_t StateCacheConfigTable::DesiredStateUpdateCount() const {
    return desiredUpdates_.load(std::memory_order_relaxed);
}

std::string StateCacheConfigTable::DumpJson(ConfigStore which) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    const sc::PropertyStore& store = SideOf(which).store;
    nlohmann::json j;
    j["FullSyncVersion"] = store.version();
    j["objects"] = ObjectsJson(store, false, ObjectType::OBJECT_TYPE_INVALID);
    return sc::DumpText(j);
}

std::string StateCacheConfigTable::DumpObjectsJson(ConfigStore which, ObjectType type) const {
    AgentLockGuard agentLock(GlobalAgentLock());
    std::lock_guard<std::mutex> lock(mutex_);
    return sc::DumpText(ObjectsJson(SideOf(which).store, true, type));
}

}  // namespace CfgAgent
