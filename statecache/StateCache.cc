#include "statecache/StateCache.h"

#include "runtime/AgentLock.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheJson.h"
#include "statecache/StateCacheL2Table.h"
#include "statecache/StateCacheL3Table.h"

namespace CfgAgent {

StateCache::StateCache()
    : config_(ozy::MakeRef<StateCacheConfigTable>()),
      l2_(ozy::MakeRef<StateCacheL2Table>()),
      l3_(ozy::MakeRef<StateCacheL3Table>()) {}

StateCache::~StateCache() {
    l3_.reset();
    l2_.reset();
    config_.reset();
}

std::string StateCache::DumpSizesJson() const {
    // One snapshot across the tables: the agent lock keeps writers out between the five readings.
    AgentLockGuard agentLock(GlobalAgentLock());
    // Keys in the order operators read them: the name, then the size.
    nlohmann::ordered_json arr = nlohmann::ordered_json::array();
    arr.push_back({{"TableName", "RuntimeConfigCache"}, {"Size", config_->RuntimeCacheBytes()}});
    arr.push_back({{"TableName", "DesiredConfigCache"}, {"Size", config_->DesiredCacheBytes()}});
    arr.push_back({{"TableName", "RuntimeL2Cache"}, {"Size", l2_->CacheBytes(L2Store::kRuntime)}});
    arr.push_back({{"TableName", "DesiredL2Cache"}, {"Size", l2_->CacheBytes(L2Store::kDesired)}});
    arr.push_back({{"TableName", "DesiredL3Cache"}, {"Size", l3_->CacheBytes()}});
    return arr.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string StateCache::DumpTablesJson() const {
    AgentLockGuard agentLock(GlobalAgentLock());
    nlohmann::json j;
    j["local_config_cache"] = nlohmann::json::parse(config_->DumpJson(ConfigStore::kRuntime));
    j["remote_config_cache"] = nlohmann::json::parse(config_->DumpJson(ConfigStore::kDesired));
    j["local_l2_cache"] = nlohmann::json::parse(l2_->DumpJson(L2Store::kRuntime));
    j["remote_l2_cache"] = nlohmann::json::parse(l2_->DumpJson(L2Store::kDesired));
    j["remote_l3_cache"] = nlohmann::json::parse(l3_->DumpJson());
    return sc::DumpText(j);
}

}  // namespace CfgAgent
