// State-cache queries of the CLI ("cfgagent/statecache/..."): logical switches, their L2 tables,
// routing domains, the local DR VTEP and the VTEP groups.
#include <algorithm>
#include <cctype>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "cli/CliCacheViews.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/Logger.h"
#include "statecache/IdText.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheJson.h"
#include "statecache/StateCacheL2Table.h"

namespace CfgAgent::cli {

namespace pb = orvane::ozy::cairndb;
using nlohmann::json;

namespace {

bool Fail(const char* reply, std::string* out) {
    *out = reply;
    return false;
}

// A decimal VNI: digits only, within 32 bits.
bool ParseVni(const std::string& text, uint32_t* vni) {
    if (text.empty() || text.size() > 10 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (v > 0xFFFFFFFFull)
        return false;
    *vni = static_cast<uint32_t>(v);
    return true;
}

// The serialized id of the logical switch named by (`idType`, `value`); logs and fails with the
// codes of the command table.
bool ResolveSwitch(const StateCache& cache, const std::string& idType, const std::string& value,
                   std::string* lsId) {
    std::string type = idType;
    std::transform(type.begin(), type.end(), type.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (type == "vni") {
        uint32_t vni = 0;
        if (!ParseVni(value, &vni)) {
            CFG_ERROR_CODE("LCP00703", "CLI: LS VNI invalid %1", value);
            return false;
        }
        if (!cache.ConfigTable()->FindLogicalSwitchByVni(vni, lsId)) {
            CFG_ERROR_CODE("LCP00704", "CLI: Get LS UUID for vni %1 fail", value);
            return false;
        }
        return true;
    }
    if (type == "uuid") {
        if (!IdFromText(value, lsId)) {
            CFG_ERROR_CODE("LCP00703", "CLI: LS UUID invalid %1", value);
            return false;
        }
        return true;
    }
    CFG_ERROR_CODE("LCP00703", "CLI: Unknown LS id type %1", idType);
    return false;
}

// The desired logical switch body; its id is set even when only property values were received.
bool SwitchBody(const ObjectRecords& o, pb::LogSwitchConfigMsg* ls) {
    if (!ObjectBody(o, ls))
        return false;
    if (!ls->has_id())
        ls->mutable_id()->ParseFromString(o.id());
    return true;
}

// The records of one object of an L2 store (empty when it is absent).
CairnDBUpdateList L2Object(const StateCache& cache, L2Store store, ObjectType type,
                           const std::string& id, bool* exists) {
    CairnDBUpdateList all;
    cache.L2Table()->GetObject(store, id, &all);
    CairnDBUpdateList mine;
    for (CairnDBUpdateMsg& r : all) {
        if (r.objType == type)
            mine.push_back(std::move(r));
    }
    *exists = !mine.empty();
    return mine;
}

// The entries of `property` among an object's records, rendered; `keep` filters the bodies.
template <class Keep>
json Entries(const ObjectRecords& o, PropertyType property, Keep&& keep) {
    json arr = json::array();
    for (const CairnDBUpdateMsg* r = o.begin; r != o.end; ++r) {
        if (r->property == property && keep(r->data))
            arr.push_back(sc::L2EntryJson(property, r->data));
    }
    return arr;
}

json Entries(const ObjectRecords& o, PropertyType property) {
    return Entries(o, property, [](const std::string&) { return true; });
}

// Every object of a type of an L2 store, as {idKey: id, listKey: entries of `property`}.
json L2ObjectsJson(const StateCache& cache, L2Store store, ObjectType type, const char* idKey,
                   const char* listKey, PropertyType property, bool* any) {
    CairnDBUpdateList records;
    *any = cache.L2Table()->GetObjectsOfType(store, type, &records);
    json arr = json::array();
    for (const ObjectRecords& o : GroupByObject(records))
        arr.push_back({{idKey, IdText(o.id())}, {listKey, Entries(o, property)}});
    std::sort(arr.begin(), arr.end(),
              [idKey](const json& a, const json& b) { return a[idKey] < b[idKey]; });
    return arr;
}

json VtepGroupsJson(const StateCache& cache, bool* any) {
    CairnDBUpdateList records;
    *any = cache.L2Table()->GetObjectsOfType(L2Store::kDesired, ObjectType::VTEP_GROUP, &records);
    json arr = json::array();
    for (const ObjectRecords& o : GroupByObject(records)) {
        json key = nullptr;
        for (const CairnDBUpdateMsg* r = o.begin; r != o.end; ++r) {
            pb::VtepGroupMsg g;
            if (r->property == PropertyType::L2_VTEP_GROUP && g.ParseFromString(r->data) &&
                g.has_key()) {
                key = g.key();
            }
        }
        arr.push_back({{"tep_group", IdText(o.id())},
                       {"key", key},
                       {"labels", Entries(o, PropertyType::L2_VTEP_GROUP_LABEL)}});
    }
    std::sort(arr.begin(), arr.end(),
              [](const json& a, const json& b) { return a["tep_group"] < b["tep_group"]; });
    return arr;
}

// IPv4 or IPv6 address entries.
bool IpEntryIsV4(const std::string& data) {
    pb::LogSwitchIpEntryMsg e;
    return e.ParseFromString(data) && e.ip().address_case() == pb::IpAddressMsg::kIpv4;
}
bool IpEntryIsV6(const std::string& data) {
    pb::LogSwitchIpEntryMsg e;
    return e.ParseFromString(data) && e.ip().address_case() == pb::IpAddressMsg::kIpv6;
}

// One table of a logical switch's desired forwarding state.
template <class Keep>
bool SwitchTable(const StateCache& cache, const std::string& lsId, const std::string& lsText,
                 PropertyType property, const char* tableKey, Keep&& keep, std::string* out) {
    bool exists = false;
    CairnDBUpdateList records =
        L2Object(cache, L2Store::kDesired, ObjectType::LOG_SWITCH_FIB, lsId, &exists);
    if (!exists) {
        CFG_ERROR_CODE("LCP00704", "CLI: Get logical switch fail for %1", lsText);
        return false;
    }
    std::vector<ObjectRecords> objects = GroupByObject(records);
    json j = {{"logical_switch", IdText(lsId)},
              {tableKey, Entries(objects.front(), property, std::forward<Keep>(keep))}};
    *out = sc::DumpText(j);
    return true;
}

template <class Keep>
bool SwitchTableByUuid(const StateCache& cache, const std::string& lsUuid, PropertyType property,
                       const char* tableKey, const char* failReply, Keep&& keep, std::string* out) {
    std::string lsId;
    if (!IdFromText(lsUuid, &lsId)) {
        CFG_ERROR_CODE("LCP00703", "CLI: LS UUID invalid %1", lsUuid);
        return Fail(failReply, out);
    }
    if (!SwitchTable(cache, lsId, lsUuid, property, tableKey, std::forward<Keep>(keep), out))
        return Fail(failReply, out);
    return true;
}

}  // namespace

bool LogicalSwitches(const StateCache& cache, std::string* out) {
    CairnDBUpdateList records;
    if (!cache.ConfigTable()->GetObjectsOfType(ConfigStore::kDesired, ObjectType::LOG_SWITCH_CONFIG,
                                               &records)) {
        CFG_ERROR_CODE("LCP00702", "CLI: Get logical switches fail");
        return Fail("Query logical switches fail", out);
    }
    json arr = json::array();
    for (const ObjectRecords& o : GroupByObject(records)) {
        pb::LogSwitchConfigMsg ls;
        if (SwitchBody(o, &ls))
            arr.push_back(sc::MessageJson(ls));
    }
    std::sort(arr.begin(), arr.end(),
              [](const json& a, const json& b) { return a["id"] < b["id"]; });
    *out = sc::DumpText(json{{"logical_switches", std::move(arr)}});
    CFG_DEBUG("CLI: logical switches json %1", *out);
    return true;
}

bool LogicalSwitch(const StateCache& cache, const std::string& idType, const std::string& value,
                   std::string* out) {
    static const char* const kFail = "Query logical switch fail";
    std::string lsId;
    if (!ResolveSwitch(cache, idType, value, &lsId))
        return Fail(kFail, out);
    CairnDBUpdateList records;
    pb::LogSwitchConfigMsg ls;
    if (!cache.ConfigTable()->GetObjectProperties(ConfigStore::kDesired,
                                                  ObjectType::LOG_SWITCH_CONFIG, lsId, &records) ||
        !SwitchBody(GroupByObject(records).front(), &ls)) {
        CFG_ERROR_CODE("LCP00704", "CLI: Get logical switch fail for %1", value);
        return Fail(kFail, out);
    }
    *out = sc::DumpText(json{{"logical_switch", sc::MessageJson(ls)}});
    return true;
}

bool SwitchArpTable(const StateCache& cache, const std::string& lsUuid, std::string* out) {
    return SwitchTableByUuid(cache, lsUuid, PropertyType::L2_VM_IP, "arp_table",
                             "Query logical switch ARP Table fail", IpEntryIsV4, out);
}

bool SwitchNdTable(const StateCache& cache, const std::string& lsUuid, std::string* out) {
    return SwitchTableByUuid(cache, lsUuid, PropertyType::L2_VM_IP, "nd_table",
                             "Query logical switch ARP Table fail", IpEntryIsV6, out);
}

bool SwitchMacTable(const StateCache& cache, const std::string& lsUuid, std::string* out) {
    return SwitchTableByUuid(
        cache, lsUuid, PropertyType::L2_VM_MAC, "mac_table", "Query logical switch MAC Table fail",
        [](const std::string&) { return true; }, out);
}

bool SwitchVtepTable(const StateCache& cache, const std::string& idType, const std::string& value,
                     std::string* out) {
    static const char* const kFail = "Query logical switch VTEP Table fail";
    std::string lsId;
    if (!ResolveSwitch(cache, idType, value, &lsId))
        return Fail(kFail, out);
    if (!SwitchTable(
            cache, lsId, value, PropertyType::L2_VTEP, "vtep_table",
            [](const std::string&) { return true; }, out)) {
        return Fail(kFail, out);
    }
    return true;
}

bool RoutingDomains(const StateCache& cache, std::string* out) {
    bool anyDomain = false;
    json vteps = L2ObjectsJson(cache, L2Store::kDesired, ObjectType::ROUTING_DOMAIN_FIB,
                               "routing_domain", "vteps", PropertyType::L2_VTEP, &anyDomain);
    if (!anyDomain) {
        CFG_ERROR_CODE("LCP00702", "CLI: Get RD VTEPs fail");
        return Fail("Query RD VTEPs fail", out);
    }
    bool anyGroup = false;
    json groups = VtepGroupsJson(cache, &anyGroup);
    *out = sc::DumpText(
        json{{"remote_vteps", std::move(vteps)}, {"remote_tep_groups", std::move(groups)}});
    return true;
}

bool RoutingDomain(const StateCache& cache, const std::string& rdUuid, std::string* out) {
    std::string rdId;
    if (!IdFromText(rdUuid, &rdId)) {
        CFG_ERROR_CODE("LCP00703", "CLI: RD UUID invalid %1", rdUuid);
        return Fail("Query Routing Domain fail", out);
    }
    bool exists = false;
    CairnDBUpdateList records =
        L2Object(cache, L2Store::kDesired, ObjectType::ROUTING_DOMAIN_FIB, rdId, &exists);
    if (!exists) {
        CFG_ERROR_CODE("LCP00704", "CLI: Get RD VTEPs fail for %1", rdUuid);
        return Fail("Query RD VTEPs uuid fail", out);
    }
    bool local = false;
    CairnDBUpdateList localRecords =
        L2Object(cache, L2Store::kRuntime, ObjectType::ROUTING_DOMAIN_VTEP, rdId, &local);
    json j = {
        {"routing_domain", IdText(rdId)},
        {"remote_vteps", Entries(GroupByObject(records).front(), PropertyType::L2_VTEP)},
        {"local_vtep", local ? Entries(GroupByObject(localRecords).front(), PropertyType::L2_VTEP)
                             : json::array()}};
    *out = sc::DumpText(j);
    return true;
}

bool DrVtep(const StateCache& cache, std::string* out) {
    bool any = false;
    json vteps = L2ObjectsJson(cache, L2Store::kRuntime, ObjectType::ROUTING_DOMAIN_VTEP,
                               "routing_domain", "vteps", PropertyType::L2_VTEP, &any);
    if (!any) {
        CFG_ERROR_CODE("LCP00702", "CLI: Get local DR VTEP fail");
        return Fail("Query Local DR VTEP fail", out);
    }
    *out = sc::DumpText(json{{"local_vtep", std::move(vteps)}});
    return true;
}

bool TnTepGroups(const StateCache& cache, std::string* out) {
    bool any = false;
    json groups = VtepGroupsJson(cache, &any);
    if (!any) {
        CFG_ERROR_CODE("LCP00702", "CLI: Get VTEP group fail");
        return Fail("Query VTEP GROUP fail", out);
    }
    *out = sc::DumpText(json{{"vtep_groups", std::move(groups)}});
    return true;
}

}  // namespace CfgAgent::cli
