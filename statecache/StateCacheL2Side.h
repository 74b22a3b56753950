#pragma once
// One side (desired "remote" or runtime "local") of the L2 table. Internal to statecache/.
#include <vector>

#include "statecache/L2ObjectStore.h"
#include "statecache/StateCacheL2Table.h"

namespace CfgAgent {

struct StateCacheL2Table::Side {
    explicit Side(bool isRuntime) : runtime(isRuntime) {}
    const bool runtime;
    sc::L2ObjectStore store;
    std::vector<SCL2TableObserver*> observers;  // registration order
    // A batch is open (runtime side only): the changes waiting for the observers, one list per
    // update that changed something (never moved again once made), and how many they are.
    bool batching = false;
    std::vector<CairnDBUpdateList> waiting;
    size_t waitingCount = 0;
};

}  // namespace CfgAgent
