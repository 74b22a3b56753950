// The merge of cancelling records at a barrier: the decoder turns a SET of an entry list into
// removals of every old entry and additions of every new one; pairs of the same entry with
// opposite operations cancel here, so that only real changes reach the L2 and L3 tables.
#include <string_view>
#include <unordered_map>

#include "intake/CairndbClient.h"
#include "proto/UuidText.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_routing.pb.h"
#include "runtime/Logger.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

bool Mergeable(ObjectType t) {
    return t == ObjectType::LOG_SWITCH_FIB || t == ObjectType::ROUTING_DOMAIN_FIB ||
           t == ObjectType::FIB || t == ObjectType::ARP_TABLE_CONFIG;
}

// The identity of a record for the merge: object, property and the entry's bytes. (Two entries of
// different properties can serialize alike, a VTEP and a VM IP entry for example; they are
// different entries.)
struct MergeKey {
    std::string_view id;
    std::string_view data;
    ObjectType type;
    PropertyType property;
    bool operator==(const MergeKey& o) const {
        return type == o.type && property == o.property && id == o.id && data == o.data;
    }
};

struct MergeKeyHash {
    size_t operator()(const MergeKey& k) const {
        size_t h = std::hash<std::string_view>()(k.data);
        h ^= std::hash<std::string_view>()(k.id) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
        h ^= (static_cast<size_t>(k.type) << 16) ^ static_cast<size_t>(k.property);
        return h;
    }
};

template <class Msg>
std::string ParsedText(const std::string& data) {
    Msg m;
    if (!m.ParseFromString(data)) {
        return "(unparsable, " + std::to_string(data.size()) + " bytes)";
    }
    return m.ShortDebugString();
}

// True when records were removed.
bool MergeList(CairnDBUpdateList& list) {
    std::unordered_map<MergeKey, size_t, MergeKeyHash> seen(16);
    seen.max_load_factor(1.0f);
    std::vector<bool> removed(list.size(), false);
    size_t removedCount = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        const CairnDBUpdateMsg& rec = list[i];
        if (!Mergeable(rec.objType)) {
            continue;
        }
        MergeKey key{rec.id, rec.data, rec.objType, rec.property};
        auto it = seen.find(key);
        if (it == seen.end()) {
            seen.emplace(key, i);
            continue;
        }
        const CairnDBUpdateMsg& earlier = list[it->second];
        if (IsOppositeOperation(earlier.op, rec.op)) {
            CFG_DEBUG("CairndbClient: merge %1 msg (object id %2) property %3: %4",
                      ObjTypeToString(rec.objType), CairndbClient::ObjectIdText(rec.id),
                      PropertyTypeToString(rec.property), CairndbClient::RecordDataText(rec));
            removed[it->second] = true;
            removed[i] = true;
            removedCount += 2;
            seen.erase(it);
        } else if (rec.property != PropertyType::INVALID_PROPERTY) {
            // (Two object records of one object are harmless: the table creates it once.)
            CFG_ERROR_CODE("LCP00028",
                           "CairndbClient: find the same cairndb update %1 msg (object id %2) "
                           "property %3 operation "
                           "%4: %5",
                           ObjTypeToString(rec.objType), CairndbClient::ObjectIdText(rec.id),
                           PropertyTypeToString(rec.property), OperationToString(rec.op),
                           CairndbClient::RecordDataText(rec));
        }
    }
    if (removedCount == 0) {
        return false;
    }
    size_t out = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        if (!removed[i]) {
            if (out != i)
                list[out] = std::move(list[i]);
            ++out;
        }
    }
    list.resize(out);
    return true;
}

}  // namespace

std::string CairndbClient::ObjectIdText(const std::string& id) {
    pb::UuidMsg u;
    if (!u.ParseFromString(id)) {
        return "(invalid id)";
    }
    return ozy::cairndb::UuidText(u.left(), u.right());
}

std::string CairndbClient::RecordDataText(const CairnDBUpdateMsg& rec) {
    if (rec.data.empty()) {
        return std::string();
    }
    switch (rec.property) {
        case PropertyType::L2_VTEP:
            return ParsedText<pb::LogSwitchVtepEntryMsg>(rec.data);
        case PropertyType::L2_VM_MAC:
            return ParsedText<pb::LogSwitchMacEntryMsg>(rec.data);
        case PropertyType::L2_VM_IP:
            return ParsedText<pb::LogSwitchIpEntryMsg>(rec.data);
        case PropertyType::L2_VTEP_GROUP_LABEL:
            return ParsedText<pb::VtepLabelMsg>(rec.data);
        case PropertyType::L2_VTEP_GROUP:
            return ParsedText<pb::VtepGroupMsg>(rec.data);
        case PropertyType::L3_FIB_ROUTER_ID:
        case PropertyType::L3_ARP_ROUTER_PORT_ID:
            return ParsedText<pb::UuidMsg>(rec.data);
        case PropertyType::L3_FIB_IP_PREFIX:
            return ParsedText<pb::IpPrefixMsg>(rec.data);
        case PropertyType::L3_FIB_NEXT_HOP:
            return ParsedText<pb::FibNextHopMsg>(rec.data);
        case PropertyType::L3_ARP_ENTRY:
            return ParsedText<pb::ArpEntryMsg>(rec.data);
        default:
            return "(" + std::to_string(rec.data.size()) + " bytes)";
    }
}

void CairndbClient::MergeCancellingRecords(ComponentUpdateMap& batch, bool fullSync) {
    for (ComponentType comp : {ComponentType::L2CACHE, ComponentType::L3CACHE}) {
        auto it = batch.find(comp);
        if (it != batch.end() && MergeList(it->second) && it->second.empty() && !fullSync) {
            // Everything cancelled: the table has nothing to see in this delta.
            batch.erase(it);
        }
    }
}

}  // namespace CfgAgent
