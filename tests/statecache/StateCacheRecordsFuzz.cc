// Fuzz target for what the state-cache tables take from outside: decoded records whose ids and
// bodies come from the database. The input is a sequence of records, each
//   byte 0: bits 0-2 the table (0 config desired, 1 config runtime, 2 L2 desired, 3 L2 runtime,
//           4 L3), bit 6 full sync, bit 7 end of batch
//   byte 1: object type (index into kTypes), byte 2: property (index into kProperties)
//   byte 3: operation (0-5), byte 4: id (0-15 a UUID, 16 empty, otherwise the next byte count)
//   byte 5: body length, then the body.
// Every batch is applied; afterwards every query, size and dump runs over the result. Nothing may
// crash, leak or trip a sanitizer, and the tables must stay consistent with their own counts.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "intake/CairnDBUpdateMsg.h"
#include "proto/cairndb_routing.pb.h"
#include "proto/cairndb_system.pb.h"
#include "proto/cairndb_types.pb.h"
#include "runtime/Logger.h"
#include "statecache/IdText.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheL2Table.h"
#include "statecache/StateCacheL3Table.h"
#include "tests/fuzz/QuietLogs.h"

namespace {

using namespace CfgAgent;
namespace pb = orvane::ozy::cairndb;

const ObjectType kTypes[] = {ObjectType::LOG_SWITCH_CONFIG,
                             ObjectType::LOG_SWITCH_PORT_CONFIG,
                             ObjectType::TRANSPORT_NODE_CONFIG,
                             ObjectType::VIF_STATE,
                             ObjectType::LOG_SWITCH_FIB,
                             ObjectType::ROUTING_DOMAIN_FIB,
                             ObjectType::LOG_SWITCH_STATE,
                             ObjectType::FIB,
                             ObjectType::LOG_ROUTER_CONFIG,
                             ObjectType::GLOBAL_CONFIG,
                             ObjectType::BARRIER,
                             ObjectType::MULTICAST_STATIC_ROUTE,
                             ObjectType::OBJECT_TYPE_INVALID,
                             ObjectType::PREFIX_LIST,
                             ObjectType::HOPOVER_STATUS,
                             static_cast<ObjectType>(999)};
const PropertyType kProperties[] = {PropertyType::INVALID_PROPERTY,
                                    PropertyType::LS_VNI,
                                    PropertyType::LS_TRANSPORT_ZONE_ID,
                                    PropertyType::LS_TYPE,
                                    PropertyType::LS_EXTRA_CONFIGS,
                                    PropertyType::LSP_ATTACHMENT,
                                    PropertyType::TN_TRANSPORT_SWITCHES,
                                    PropertyType::L2_VM_IP,
                                    PropertyType::L2_VM_MAC,
                                    PropertyType::L2_VTEP,
                                    PropertyType::L2_VTEP_GROUP_LABEL,
                                    PropertyType::L2_VTEP_GROUP,
                                    PropertyType::L3_FIB_ROUTER_ID,
                                    PropertyType::L3_FIB_NEXT_HOP,
                                    PropertyType::VIF_MAC,
                                    static_cast<PropertyType>(777)};

struct Input {
    const uint8_t* p;
    size_t left;
    bool Take(size_t n, const uint8_t** out) {
        if (left < n)
            return false;
        *out = p;
        p += n;
        left -= n;
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    test::QuietLogs(kLogOff);
    auto cache = ozy::MakeRef<StateCache>();
    Input in{data, size};
    CairnDBUpdateList batch;
    std::vector<std::string> ids;
    const uint8_t* h;
    while (in.Take(6, &h)) {
        CairnDBUpdateMsg r;
        r.objType = kTypes[h[1] % (sizeof(kTypes) / sizeof(kTypes[0]))];
        r.property = kProperties[h[2] % (sizeof(kProperties) / sizeof(kProperties[0]))];
        r.op = static_cast<Operation>(h[3] % 6);
        if (h[4] < 16) {
            r.id = SerializedUuid(0x42, h[4]);
        } else if (h[4] > 16) {
            const uint8_t* idBytes;
            size_t n = h[4] - 16;
            if (!in.Take(n, &idBytes))
                break;
            r.id.assign(reinterpret_cast<const char*>(idBytes), n);
        }
        const uint8_t* body;
        if (!in.Take(h[5], &body))
            break;
        r.data.assign(reinterpret_cast<const char*>(body), h[5]);
        ids.push_back(r.id);
        batch.push_back(std::move(r));
        if ((h[0] & 0x80) != 0 || in.left < 6) {
            bool fullSync = (h[0] & 0x40) != 0;
            switch (h[0] & 0x7) {
                case 0:
                    cache->ConfigTable()->UpdateDesiredState(batch, fullSync);
                    break;
                case 1:
                    cache->ConfigTable()->UpdateRuntimeState(batch, fullSync);
                    break;
                case 2:
                    cache->L2Table()->UpdateDesiredState(batch, fullSync);
                    break;
                case 3:
                    cache->L2Table()->UpdateRuntimeState(batch, fullSync);
                    break;
                default:
                    cache->L3Table()->UpdateDesiredState(batch, fullSync);
                    break;
            }
            batch.clear();
        }
    }

    StateCacheConfigTable* config = cache->ConfigTable();
    StateCacheL2Table* l2 = cache->L2Table();
    StateCacheL3Table* l3 = cache->L3Table();
    for (const std::string& id : ids) {
        CairnDBUpdateList out;
        std::string s1, s2;
        config->GetObjectProperties(ConfigStore::kDesired, id, &out);
        config->GetObjectProperties(ConfigStore::kRuntime, id, &out);
        config->GetDVPortIdByLsp(id, &s1);
        config->GetVifIdByLsp(id, &s1);
        config->GetTransportZoneOfLogicalSwitch(id, &s1);
        config->GetHostSwitchOfTransportZone(id, &s1, &s2);
        l2->GetObject(L2Store::kDesired, id, &out);
        l2->GetObject(L2Store::kRuntime, id, &out);
        l3->GetObjectProperties(id, &out);
        pb::UuidMsg u;
        l3->QueryFibRouterId(id, &u);
        pb::LogRouterConfigMsg lr;
        l3->QueryRouter(id, &lr);
        std::vector<pb::MulticastStaticRouteMsg> routes;
        l3->QueryMulticastStaticRoutes(id, &routes);
        (void)IdText(id);
    }
    for (ObjectType t : kTypes) {
        CairnDBUpdateList out;
        for (PropertyType p : kProperties) {
            config->GetObjectsWithProperty(ConfigStore::kDesired, t, p, &out);
            l3->GetObjectsWithProperty(t, p, &out);
        }
        l2->GetObjectsOfType(L2Store::kDesired, t, &out);
        (void)config->DumpObjectsJson(ConfigStore::kDesired, t);
    }
    std::string lsId;
    config->FindLogicalSwitchByVni(1, &lsId);
    pb::GlobalConfigMsg g;
    l3->QueryGlobalConfig(&g);
    pb::BarrierMsg b;
    l3->QueryBarrier(&b);
    (void)cache->DumpSizesJson();
    (void)cache->DumpTablesJson();
    l3->LogDump();
    // The counts the tables keep must match what their dumps walk.
    auto l3dump = nlohmann::json::parse(l3->DumpJson());
    if (l3dump["entries"].size() != l3->ValueCount())
        abort();
    auto cfgdump = nlohmann::json::parse(config->DumpJson(ConfigStore::kDesired));
    if (cfgdump["objects"].size() != config->ObjectCount(ConfigStore::kDesired))
        abort();
    for (L2Store store : {L2Store::kDesired, L2Store::kRuntime}) {
        size_t entries = 0;
        auto dump = nlohmann::json::parse(l2->DumpJson(store));
        for (const auto& o : dump["objects"]) {
            for (const auto& p : o["properties"])
                entries += p["entries"].size();
        }
        if (entries != l2->EntryCount(store))
            abort();
    }
    return 0;
}
