// State-cache dumps of the CLI: logical port status, objects by kind, port lists per switch, mirror
// sessions, extra configuration and switch attachments.
#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/CliCacheViews.h"
#include "proto/cairndb_switching.pb.h"
#include "statecache/IdText.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheJson.h"

namespace CfgAgent::cli {

namespace pb = orvane::ozy::cairndb;
using nlohmann::json;

namespace {

// Sorts an array of objects by the text under `key`, so that dumps are stable.
void SortBy(json& arr, const char* key) {
    std::stable_sort(arr.begin(), arr.end(), [key](const json& a, const json& b) {
        return a.value(key, std::string()) < b.value(key, std::string());
    });
}

std::string UuidOrEmpty(bool has, const pb::UuidMsg& id) {
    return has ? IdText(id.SerializeAsString()) : std::string();
}

json KeyValues(const google::protobuf::RepeatedPtrField<pb::KeyValueMsg>& kvs) {
    json arr = json::array();
    for (const auto& kv : kvs)
        arr.push_back({{"key", kv.key()}, {"value", kv.value()}});
    return arr;
}

json UuidList(const google::protobuf::RepeatedPtrField<pb::UuidMsg>& ids) {
    json arr = json::array();
    for (const auto& id : ids)
        arr.push_back(IdText(id.SerializeAsString()));
    return arr;
}

// Calls fn(id text, body) for every desired object of `type` whose body parses.
template <class Msg, class Fn>
void ForEachBody(const StateCache& cache, ObjectType type, Fn&& fn) {
    CairnDBUpdateList records;
    cache.ConfigTable()->GetObjectsOfType(ConfigStore::kDesired, type, &records);
    for (const ObjectRecords& o : GroupByObject(records)) {
        Msg body;
        if (!ObjectBody(o, &body))
            continue;
        fn(o.id(), body);
    }
}

}  // namespace

std::vector<ObjectRecords> GroupByObject(const CairnDBUpdateList& list) {
    std::vector<ObjectRecords> out;
    const CairnDBUpdateMsg* p = list.data();
    const CairnDBUpdateMsg* end = p + list.size();
    while (p != end) {
        const CairnDBUpdateMsg* q = p + 1;
        while (q != end && q->objType == p->objType && q->id == p->id)
            ++q;
        out.push_back(ObjectRecords{p, q});
        p = q;
    }
    return out;
}

bool ObjectBody(const ObjectRecords& object, google::protobuf::Message* out) {
    for (const CairnDBUpdateMsg* r = object.begin; r != object.end; ++r) {
        if (r->property == PropertyType::INVALID_PROPERTY && !r->data.empty())
            return out->ParseFromString(r->data);
    }
    bool any = false;
    for (const CairnDBUpdateMsg* r = object.begin; r != object.end; ++r) {
        if (r->property != PropertyType::INVALID_PROPERTY && out->MergeFromString(r->data))
            any = true;
    }
    return any;
}

bool LportStatus(const StateCache& cache, std::string* out) {
    const StateCacheConfigTable* table = cache.ConfigTable();
    json arr = json::array();
    ForEachBody<pb::LogSwitchPortConfigMsg>(
        cache, ObjectType::LOG_SWITCH_PORT_CONFIG,
        [&](const std::string& id, const pb::LogSwitchPortConfigMsg& port) {
            std::string dvport;
            table->GetDVPortIdByLsp(id, &dvport);
            std::string dvs;
            if (port.has_switch_id()) {
                std::string tz;
                std::string hostSwitch;
                std::string name;
                if (table->GetTransportZoneOfLogicalSwitch(port.switch_id().SerializeAsString(),
                                                           &tz) &&
                    table->GetHostSwitchOfTransportZone(tz, &hostSwitch, &name)) {
                    dvs = IdText(hostSwitch);
                }
            }
            arr.push_back({{"Logical Port UUID", IdText(id)},
                           {"DVSwitch ID", dvs},
                           {"Logical Switch", UuidOrEmpty(port.has_switch_id(), port.switch_id())},
                           {"DVPort ID", dvport}});
        });
    SortBy(arr, "Logical Port UUID");
    *out = sc::DumpText(arr);
    return true;
}

bool ConfigObjects(const StateCache& cache, ObjectType type, std::string* out) {
    *out = cache.ConfigTable()->DumpObjectsJson(ConfigStore::kDesired, type);
    return true;
}

bool SwitchPortLists(const StateCache& cache, std::string* out) {
    std::map<std::string, std::vector<std::string>> ports;
    ForEachBody<pb::LogSwitchPortConfigMsg>(
        cache, ObjectType::LOG_SWITCH_PORT_CONFIG,
        [&](const std::string& id, const pb::LogSwitchPortConfigMsg& port) {
            if (port.has_switch_id())
                ports[IdText(port.switch_id().SerializeAsString())].push_back(IdText(id));
        });
    json arr = json::array();
    for (auto& [ls, lsps] : ports) {
        std::sort(lsps.begin(), lsps.end());
        arr.push_back({{"Logical Switch UUID", ls}, {"Logical Ports", lsps}});
    }
    *out = sc::DumpText(arr);
    return true;
}

namespace {

struct MirrorKind {
    const char* type;
    const pb::MirrorSessionDetailMsg& (pb::PortMirrorSessionMsg::*get)() const;
    bool (pb::PortMirrorSessionMsg::*has)() const;
    // The session mirrors what arrives on a VLAN (its encapsulation VLAN) rather than ports.
    bool vlanSource;
};

const MirrorKind kMirrorKinds[] = {
    {"logical_port", &pb::PortMirrorSessionMsg::logical_port_mirror_session,
     &pb::PortMirrorSessionMsg::has_logical_port_mirror_session, false},
    {"uplink_port", &pb::PortMirrorSessionMsg::uplink_port_mirror_session,
     &pb::PortMirrorSessionMsg::has_uplink_port_mirror_session, false},
    {"rspan_src", &pb::PortMirrorSessionMsg::rspan_src_mirror_session,
     &pb::PortMirrorSessionMsg::has_rspan_src_mirror_session, false},
    {"rspan_dst", &pb::PortMirrorSessionMsg::rspan_dst_mirror_session,
     &pb::PortMirrorSessionMsg::has_rspan_dst_mirror_session, true},
    {"l3span", &pb::PortMirrorSessionMsg::l3span_mirror_session,
     &pb::PortMirrorSessionMsg::has_l3span_mirror_session, false},
};

// A field the session may leave out: its value, or null.
template <typename T>
json Optional(bool has, T value) {
    return has ? json(value) : json(nullptr);
}

// The fields of one session kind, as the schema gives them; null where the session gives none
// (the schema has no mirror filter).
json MirrorSessionJson(const std::string& key, const MirrorKind& kind,
                       const pb::MirrorSessionDetailMsg& d) {
    json j;
    j["key"] = key;
    j["type"] = kind.type;
    j["direction"] = Optional(d.has_direction(), d.direction());
    j["source_port_id"] = UuidList(d.sources());
    j["source_switch_id"] = UuidList(d.source_switches());
    j["source_vlan"] = Optional(kind.vlanSource && d.has_encapsulation_vlan(),
                                d.encapsulation_vlan());
    j["source_pnics"] = json(std::vector<std::string>(d.source_pnics().begin(),
                                                      d.source_pnics().end()));
    j["destination"] = d.has_destination_ip() ? sc::MessageJson(d.destination_ip()) : json("");
    j["destination_port_id"] = UuidList(d.destinations());
    j["erspan_id"] = Optional(d.has_erspan_id(), d.erspan_id());
    j["gre_key"] = Optional(d.has_gre_key(), d.gre_key());
    j["snap_length"] = Optional(d.has_snap_length(), d.snap_length());
    j["mirror_stack"] = Optional(d.has_mirror_stack(), d.mirror_stack());
    j["mirror_filter"] = nullptr;
    if (!kind.vlanSource && d.has_encapsulation_vlan())
        j["encapsulation_vlan"] = d.encapsulation_vlan();
    return j;
}

}  // namespace

bool MirrorSessions(const StateCache& cache, std::string* out) {
    json arr = json::array();
    ForEachBody<pb::PortMirrorSessionMsg>(
        cache, ObjectType::PORT_MIRROR_SESSION,
        [&](const std::string& id, const pb::PortMirrorSessionMsg& session) {
            for (const MirrorKind& kind : kMirrorKinds) {
                if ((session.*kind.has)())
                    arr.push_back(MirrorSessionJson(IdText(id), kind, (session.*kind.get)()));
            }
        });
    SortBy(arr, "key");
    *out = sc::DumpText(arr);
    return true;
}

bool PortExtraConfigs(const StateCache& cache, std::string* out) {
    json arr = json::array();
    ForEachBody<pb::LogSwitchPortConfigMsg>(
        cache, ObjectType::LOG_SWITCH_PORT_CONFIG,
        [&](const std::string& id, const pb::LogSwitchPortConfigMsg& port) {
            if (port.extra_configs_size() == 0)
                return;
            arr.push_back({{"Logical Port UUID", IdText(id)},
                           {"extra_configs", KeyValues(port.extra_configs())}});
        });
    SortBy(arr, "Logical Port UUID");
    *out = sc::DumpText(arr);
    return true;
}

bool SwitchExtraConfigs(const StateCache& cache, std::string* out) {
    json arr = json::array();
    ForEachBody<pb::LogSwitchConfigMsg>(
        cache, ObjectType::LOG_SWITCH_CONFIG,
        [&](const std::string& id, const pb::LogSwitchConfigMsg& ls) {
            if (ls.extra_configs_size() == 0)
                return;
            arr.push_back({{"Logical Switch UUID", IdText(id)},
                           {"extra_configs", KeyValues(ls.extra_configs())}});
        });
    SortBy(arr, "Logical Switch UUID");
    *out = sc::DumpText(arr);
    return true;
}

bool SwitchAttachments(const StateCache& cache, std::string* out) {
    json arr = json::array();
    ForEachBody<pb::LogSwitchConfigMsg>(
        cache, ObjectType::LOG_SWITCH_CONFIG,
        [&](const std::string& id, const pb::LogSwitchConfigMsg& ls) {
            if (ls.attachment_size() == 0)
                return;
            json atts = json::array();
            for (const auto& a : ls.attachment())
                atts.push_back(sc::MessageJson(a));
            arr.push_back({{"Logical Switch UUID", IdText(id)}, {"attachments", std::move(atts)}});
        });
    SortBy(arr, "Logical Switch UUID");
    *out = sc::DumpText(arr);
    return true;
}

}  // namespace CfgAgent::cli
