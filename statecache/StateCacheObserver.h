#pragma once
// Publishes the agent's runtime state to the configuration database. It observes the runtime side
// of the configuration table (VIF_STATE, HOPOVER_STATUS) and of the L2 table (LOG_SWITCH_STATE,
// ROUTING_DOMAIN_VTEP entries), turns every runtime change into modify requests (Put, Delete,
// Patch, and on a full sync a leading Flush of each type) and hands them to the database client's
// runtime write. It also tells the client when a runtime full sync with the dataplane is done.
//
// Created and registered by start-up after the database client and the state cache; unregistered
// at shutdown before either is released. Its callbacks run on the thread that wrote the runtime
// state, with the global agent lock held; they never block (the client queues the write).
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/RefCounted.h"
#include "statecache/SCConfigTableObserver.h"
#include "statecache/SCL2TableObserver.h"

namespace orvane::ozy::cairndb {
class ModifyRequestMsg;
}

namespace CfgAgent {

class ICairndbClient;
class StateCache;

class StateCacheObserver : public ozy::RefCounted<StateCacheObserver, ozy::IRefCountable>,
                           public SCConfigTableObserver,
                           public SCL2TableObserver {
  public:
    // `client` must outlive the observer's registration.
    StateCacheObserver(ICairndbClient* client, StateCache* cache);
    ~StateCacheObserver() override;

    // Runtime observer of the configuration table (VIF_STATE, HOPOVER_STATUS) and of the L2 table.
    bool RegisterRuntimeCache();
    bool UnregisterRuntimeCache();

    void ProcessConfigRuntimeStateUpdate(const CairnDBUpdateList& updates, bool fullSync) override;
    void ProcessL2RuntimeStateUpdate(const CairnDBUpdateList& updates, bool fullSync) override;
    // A batch's lists are written as one list would be (one write, a row's appends one patch).
    void ProcessL2RuntimeStateBatch(const std::vector<CairnDBUpdateList>& lists) override;

    // Counters and registration state as JSON; also logged ("StateCacheObserver: dump %1").
    std::string Dump() const;

    // The requests one notification produces (vdb as given), without writing them.
    static std::vector<orvane::ozy::cairndb::ModifyRequestMsg> BuildConfigRequests(
        const CairnDBUpdateList& updates, bool fullSync, uint16_t vdb);
    static std::vector<orvane::ozy::cairndb::ModifyRequestMsg> BuildL2Requests(
        const CairnDBUpdateList& updates, bool fullSync, uint16_t vdb);
    // The same for the records of `count` lists from `lists`, taken in order as one list.
    static std::vector<orvane::ozy::cairndb::ModifyRequestMsg> BuildL2Requests(
        const CairnDBUpdateList* lists, size_t count, bool fullSync, uint16_t vdb);

  private:
    void WriteL2(const CairnDBUpdateList* lists, size_t count, bool fullSync);

    ICairndbClient* client_;
    ozy::RefPtr<StateCache> cache_;
    std::atomic<bool> registered_{false};
    std::atomic<uint64_t> configWrites_{0};
    std::atomic<uint64_t> l2Writes_{0};
    std::atomic<uint64_t> requests_{0};
    std::atomic<uint64_t> skippedNoVdb_{0};
};

}  // namespace CfgAgent
