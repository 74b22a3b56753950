// Fuzz target for what the CLI's state-cache commands take from outside: the command arguments
// (from a local client) and the stored bodies they render (from the database).
//   byte 0 bit 7 clear: a query; bits 0-3 select it, the rest of the input is its arguments,
//     split at the first NUL. The queries run over a small fixed cache.
//   byte 0 bit 7 set: a stored body; bits 0-1 select the object type, the rest of the input is the
//     body, stored as the whole object and as each of its properties; then every dump and query
//     runs over that cache.
// Nothing may crash, leak or trip a sanitizer; a success is valid JSON, a failure a short text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/CliCacheViews.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/Logger.h"
#include "statecache/IdText.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheL2Table.h"

namespace {

using namespace CfgAgent;
namespace pb = orvane::ozy::cairndb;

std::string Id(uint64_t n) {
    return SerializedUuid(0, n);
}

CairnDBUpdateMsg Rec(ObjectType type, const std::string& id, PropertyType p, std::string data) {
    CairnDBUpdateMsg r;
    r.objType = type;
    r.id = id;
    r.property = p;
    r.data = std::move(data);
    return r;
}

void Check(bool ok, const std::string& out) {
    if (ok) {
        if (nlohmann::json::parse(out, nullptr, false).is_discarded())
            std::abort();
    } else if (out.empty()) {
        std::abort();
    }
}

void RunQuery(const StateCache& cache, unsigned which, const std::string& a, const std::string& b) {
    std::string out;
    bool ok = false;
    switch (which % 10) {
        case 0:
            ok = cli::LogicalSwitch(cache, a, b, &out);
            break;
        case 1:
            ok = cli::SwitchArpTable(cache, a, &out);
            break;
        case 2:
            ok = cli::SwitchNdTable(cache, a, &out);
            break;
        case 3:
            ok = cli::SwitchMacTable(cache, a, &out);
            break;
        case 4:
            ok = cli::SwitchVtepTable(cache, a, b, &out);
            break;
        case 5:
            ok = cli::RoutingDomain(cache, a, &out);
            break;
        case 6:
            ok = cli::LogicalSwitches(cache, &out);
            break;
        case 7:
            ok = cli::RoutingDomains(cache, &out);
            break;
        case 8:
            ok = cli::DrVtep(cache, &out);
            break;
        default:
            ok = cli::TnTepGroups(cache, &out);
            break;
    }
    Check(ok, out);
}

void RunDumps(const StateCache& cache) {
    bool (*dumps[])(const StateCache&, std::string*) = {
        cli::LportStatus,      cli::SwitchPortLists,    cli::MirrorSessions,
        cli::PortExtraConfigs, cli::SwitchExtraConfigs, cli::SwitchAttachments};
    for (auto* d : dumps) {
        std::string out;
        Check(d(cache, &out), out);
    }
    std::string out;
    Check(cli::ConfigObjects(cache, ObjectType::LOG_SWITCH_CONFIG, &out), out);
    const std::string ls = IdText(Id(1));
    for (unsigned q = 0; q < 10; ++q) {
        RunQuery(cache, q, q == 0 || q == 4 ? "uuid" : ls, ls);
        RunQuery(cache, q, "vni", "5001");
    }
}

const StateCache& FixedCache() {
    static ozy::RefPtr<StateCache> cache = [] {
        auto c = ozy::MakeRef<StateCache>();
        pb::LogSwitchConfigMsg ls;
        ls.set_vni(5001);
        c->ConfigTable()->UpdateDesiredState(
            {Rec(ObjectType::LOG_SWITCH_CONFIG, Id(1), PropertyType::INVALID_PROPERTY,
                 ls.SerializeAsString()),
             Rec(ObjectType::LOG_SWITCH_CONFIG, Id(1), PropertyType::LS_VNI,
                 ls.SerializeAsString())},
            true);
        pb::LogSwitchIpEntryMsg ip;
        ip.mutable_ip()->set_ipv4(0x0a000001);
        pb::LogSwitchVtepEntryMsg vtep;
        vtep.mutable_ip()->set_ipv4(0x0a000002);
        c->L2Table()->UpdateDesiredState(
            {Rec(ObjectType::LOG_SWITCH_FIB, Id(1), PropertyType::INVALID_PROPERTY, ""),
             Rec(ObjectType::LOG_SWITCH_FIB, Id(1), PropertyType::L2_VM_IP, ip.SerializeAsString()),
             Rec(ObjectType::LOG_SWITCH_FIB, Id(1), PropertyType::L2_VTEP,
                 vtep.SerializeAsString()),
             Rec(ObjectType::ROUTING_DOMAIN_FIB, Id(2), PropertyType::INVALID_PROPERTY, "")},
            true);
        return c;
    }();
    return *cache;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Logger::setLevel(kLogOff);
    if (size == 0)
        return 0;
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((data[0] & 0x80) == 0) {
        size_t nul = rest.find('\0');
        std::string a = rest.substr(0, nul);
        std::string b = nul == std::string::npos ? std::string() : rest.substr(nul + 1);
        RunQuery(FixedCache(), data[0] & 0x0f, a, b);
        return 0;
    }
    static const ObjectType kTypes[] = {
        ObjectType::LOG_SWITCH_CONFIG, ObjectType::LOG_SWITCH_PORT_CONFIG,
        ObjectType::TRANSPORT_NODE_CONFIG, ObjectType::PORT_MIRROR_SESSION};
    static const PropertyType kFirst[] = {PropertyType::LS_VNI, PropertyType::LSP_SWITCH_ID,
                                          PropertyType::TN_CERTIFICATE,
                                          PropertyType::PMS_LOGICAL_PORT_MIRROR_SESSION};
    static const unsigned kCount[] = {16, 17, 5, 5};
    unsigned t = data[0] & 0x03;
    auto cache = ozy::MakeRef<StateCache>();
    CairnDBUpdateList records = {Rec(kTypes[t], Id(1), PropertyType::INVALID_PROPERTY, rest)};
    for (unsigned i = 0; i < kCount[t]; ++i) {
        auto p = static_cast<PropertyType>(static_cast<uint32_t>(kFirst[t]) + i);
        records.push_back(Rec(kTypes[t], Id(1), p, rest));
    }
    cache->ConfigTable()->UpdateDesiredState(records, true);
    // The same bytes as a second object with no whole body: the views merge its properties.
    records.erase(records.begin());
    for (auto& r : records)
        r.id = Id(3);
    cache->ConfigTable()->UpdateDesiredState(records, false);
    cache->L2Table()->UpdateDesiredState(
        {Rec(ObjectType::LOG_SWITCH_FIB, Id(1), PropertyType::INVALID_PROPERTY, ""),
         Rec(ObjectType::LOG_SWITCH_FIB, Id(1), PropertyType::L2_VM_IP, rest),
         Rec(ObjectType::LOG_SWITCH_FIB, Id(1), PropertyType::L2_VM_MAC, rest),
         Rec(ObjectType::LOG_SWITCH_FIB, Id(1), PropertyType::L2_VTEP, rest),
         Rec(ObjectType::VTEP_GROUP, Id(4), PropertyType::INVALID_PROPERTY, ""),
         Rec(ObjectType::VTEP_GROUP, Id(4), PropertyType::L2_VTEP_GROUP, rest)},
        true);
    RunDumps(*cache);
    return 0;
}
