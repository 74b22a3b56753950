#pragma once
// The store and observers of the L3 table. Internal to statecache/.
#include <vector>

#include "statecache/PropertyStore.h"
#include "statecache/StateCacheL3Table.h"

namespace CfgAgent {

struct StateCacheL3Table::State {
    sc::PropertyStore store;
    std::vector<SCL3TableObserver*> observers;  // registration order
};

}  // namespace CfgAgent
