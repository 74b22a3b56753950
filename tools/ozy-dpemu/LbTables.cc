#include "tools/ozy-dpemu/LbTables.h"

#include <cerrno>
#include <set>
#include <utility>

#include <nlohmann/json.hpp>

#include "runtime/Logger.h"

namespace ozy::dpemu {

using namespace ozy::device;

namespace {

// Updates and deletes of one object class share a key.
int ClassOf(LbEntryKind kind) {
    return (kind + 1) / 2;
}

template <class Map>
void Erase(Map& map, const std::string& id, uint64_t* absent) {
    if (map.erase(id) == 0)
        ++*absent;
}

nlohmann::json UuidList(const std::vector<LbUuid>& ids) {
    nlohmann::json out = nlohmann::json::array();
    for (const LbUuid& id : ids)
        out.push_back(LbUuidText(id));
    return out;
}

}  // namespace

IoctlResult LbTables::Ioctl(const uint8_t* buf, size_t size) {
    if (const uint32_t injected = faults_.Take())
        return IoctlResult{injected, {}};
    std::string why;
    std::optional<LbConfig> config = DecodeLbConfig(buf, size, &why);
    if (!config) {
        CFG_WARN("ozy-dpemu: lb: refused a buffer of %1 bytes: %2", size, why);
        lastRejection_ = why;
        ++rejected_;
        return IoctlResult{EINVAL, {}};
    }
    if (config->full) {
        services_.clear();
        servers_.clear();
        pools_.clear();
        ++fullUpdates_;
    }
    std::set<std::pair<int, LbUuid>> seen;
    for (LbEntry& e : config->entries) {
        if (!seen.emplace(ClassOf(e.kind), e.id).second)
            ++duplicates_;
        const std::string id = LbUuidText(e.id);
        switch (e.kind) {
            case kLbServiceUpdate:
                services_[id] = std::move(e.service);
                break;
            case kLbServiceDelete:
                Erase(services_, id, &absentDeletes_);
                break;
            case kLbVirtualServerUpdate:
                servers_[id] = e.server;
                break;
            case kLbVirtualServerDelete:
                Erase(servers_, id, &absentDeletes_);
                break;
            case kLbPoolUpdate:
                pools_[id] = std::move(e.pool);
                break;
            case kLbPoolDelete:
                Erase(pools_, id, &absentDeletes_);
                break;
        }
    }
    ++updates_;
    lastFull_ = config->full;
    lastEntries_ = config->entries.size();
    return IoctlResult{0, {}};
}

nlohmann::json LbTables::Dump() const {
    nlohmann::json services = nlohmann::json::object();
    for (const auto& [id, s] : services_) {
        services[id] = {{"name", s.name},
                        {"created", s.created},
                        {"default", s.isDefault},
                        {"log_level", s.logLevel},
                        {"lsps", UuidList(s.lsps)}};
    }
    nlohmann::json servers = nlohmann::json::object();
    for (const auto& [id, v] : servers_) {
        nlohmann::json j = {{"lbs", LbUuidText(v.lbs)},
                            {"pool", LbUuidText(v.pool)},
                            {"protocol", v.protocol},
                            {"address", LbAddressText(v.address)},
                            {"port", v.port},
                            {"app_type", v.appType},
                            {"persistence_type", v.persistType}};
        if (v.persistType != 0)
            j["persistence"] = LbUuidText(v.persistence);
        servers[id] = std::move(j);
    }
    nlohmann::json pools = nlohmann::json::object();
    for (const auto& [id, p] : pools_) {
        nlohmann::json members = nlohmann::json::array();
        for (const LbMember& m : p.members) {
            members.push_back(
                {{"address", LbAddressText(m.address)}, {"port", m.port}, {"weight", m.weight}});
        }
        pools[id] = {{"lbs", UuidList(p.lbs)}, {"members", members}};
    }
    return {{"services", services},
            {"virtual_servers", servers},
            {"pools", pools},
            {"full", lastFull_},
            {"updates", updates_},
            {"full_updates", fullUpdates_},
            {"last_entries", lastEntries_},
            {"duplicate_entries", duplicates_},
            {"absent_deletes", absentDeletes_},
            {"rejected", rejected_},
            {"last_rejection", lastRejection_},
            {"faults", faults_.State()}};
}

}  // namespace ozy::dpemu
