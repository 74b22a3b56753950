#pragma once
// The state cache: the agent's copy of the configuration it received (desired state) and of the
// state it reports back (runtime state), in three tables that are also dispatcher components —
// the configuration table (CONFIGCACHE), the L2 table (L2CACHE) and the L3 table (L3CACHE).
// Applications query the tables and observe them; nothing reads the database directly.
//
// Created once by start-up (tables in the order configuration, L2, L3; released in reverse order)
// and shared by counted reference. The tables are thread-safe; see each table's header.
#include <string>

#include "runtime/RefCounted.h"

namespace CfgAgent {

class StateCacheConfigTable;
class StateCacheL2Table;
class StateCacheL3Table;

class StateCache : public ozy::RefCounted<StateCache, ozy::IRefCountable> {
  public:
    StateCache();
    ~StateCache() override;
    StateCache(const StateCache&) = delete;
    StateCache& operator=(const StateCache&) = delete;

    StateCacheConfigTable* ConfigTable() const { return config_.get(); }
    StateCacheL2Table* L2Table() const { return l2_.get(); }
    StateCacheL3Table* L3Table() const { return l3_.get(); }

    // "cfgagent/cache/size": [{"TableName": ..., "Size": bytes}] for RuntimeConfigCache,
    // DesiredConfigCache, RuntimeL2Cache, DesiredL2Cache, DesiredL3Cache, in that order.
    std::string DumpSizesJson() const;
    // "cfgagent/cache/table": the five stores under "local_config_cache", "remote_config_cache",
    // "local_l2_cache", "remote_l2_cache", "remote_l3_cache".
    std::string DumpTablesJson() const;

  private:
    ozy::RefPtr<StateCacheConfigTable> config_;
    ozy::RefPtr<StateCacheL2Table> l2_;
    ozy::RefPtr<StateCacheL3Table> l3_;
};

}  // namespace CfgAgent
