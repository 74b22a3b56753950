#pragma once
// One side (desired or runtime) of the configuration table: its store and its observers.
// Internal to statecache/.
#include <map>

#include "statecache/PropertyStore.h"
#include "statecache/StateCacheConfigTable.h"

namespace CfgAgent {

struct StateCacheConfigTable::Side {
    explicit Side(bool isRuntime) : runtime(isRuntime) {}
    const bool runtime;
    sc::PropertyStore store;
    // Type -> observer; one observer may appear under several types, never twice under one.
    std::multimap<ObjectType, SCConfigTableObserver*> observers;
    // A full sync in parts is open: its version is the store's, its sweep waits for the last call.
    bool partsOpen = false;
    // Its records kept for the observers that take no parts (guarded by the agent lock).
    std::map<SCConfigTableObserver*, CairnDBUpdateList> kept;
};

}  // namespace CfgAgent
