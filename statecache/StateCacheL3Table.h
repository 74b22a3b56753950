#pragma once
// The L3 table of the state cache (component L3CACHE, the "remote StateCache"): logical routers
// and router ports, FIB router ids, prefixes and next hops, ARP tables, prefix lists, multicast
// configuration and static routes, DAD and NDRA profiles, DAD state and requests, the global
// configuration and barriers.
//
// Records with operation 1/2 set or remove a scalar property (property 0 is the whole body);
// records with 3/4 add or remove one value of a list property. The checks are strict: a delete of
// something absent, a second value where one is expected, or a removal during a full sync is
// logged and skipped, and such records are left out of what the observers receive. A full sync
// increments the store's version first and, once applied, removes every value it did not deliver
// or confirm ("value not change" and "append existing entry" confirm).
//
// Threads: written by the dispatcher thread, queried by the routing applications; every operation
// takes the global agent lock and then the table's mutex; observers run with the agent lock held
// and the mutex released.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "intake/Component.h"
#include "runtime/RefCounted.h"
#include "statecache/IStateCacheL3Table.h"

namespace google::protobuf {
class Message;
}

namespace CfgAgent {

class StateCacheL3Table : public ozy::RefCounted<StateCacheL3Table, Component>,
                          public IStateCacheL3Table {
  public:
    StateCacheL3Table();
    ~StateCacheL3Table() override;

    void UpdateDesiredState(const CairnDBUpdateList& updates, bool fullSync) override;

    bool RegisterDesiredStateObserver(SCL3TableObserver* observer) override;
    bool UnregisterDesiredStateObserver(SCL3TableObserver* observer) override;

    bool GetObjectsWithProperty(ObjectType type, PropertyType property,
                                CairnDBUpdateList* out) const override;
    bool GetObjectProperties(const std::string& id, CairnDBUpdateList* out) const override;
    bool GetProperty(ObjectType type, const std::string& id, PropertyType property,
                     std::vector<std::string>* values) const override;

    bool QueryFibRouterId(const std::string& fibId,
                          orvane::ozy::cairndb::UuidMsg* lr) const override;
    bool QueryFibIpPrefix(const std::string& fibId,
                          orvane::ozy::cairndb::IpPrefixMsg* prefix) const override;
    bool QueryArpRouterPortId(const std::string& arpId,
                              orvane::ozy::cairndb::UuidMsg* lrp) const override;
    bool QueryRouterPort(const std::string& lrpId,
                         orvane::ozy::cairndb::LogRouterPortConfigMsg* lrp) const override;
    bool QueryRouter(const std::string& lrId,
                     orvane::ozy::cairndb::LogRouterConfigMsg* lr) const override;
    bool QueryMulticastConfig(const std::string& id,
                              orvane::ozy::cairndb::MulticastConfigMsg* msg) const override;
    bool QueryNdraProfile(const std::string& id,
                          orvane::ozy::cairndb::NdraProfileConfigMsg* msg) const override;
    bool QueryDadProfile(const std::string& id,
                         orvane::ozy::cairndb::DadProfileConfigMsg* msg) const override;
    bool QueryPrefixList(const std::string& id,
                         orvane::ozy::cairndb::PrefixListMsg* msg) const override;
    bool QueryFibDadState(const std::string& id,
                          orvane::ozy::cairndb::LogRouterPortFibDadStateMsg* msg) const override;
    bool QueryGlobalConfig(orvane::ozy::cairndb::GlobalConfigMsg* msg) const override;
    bool QueryBarrier(orvane::ozy::cairndb::BarrierMsg* msg) const override;
    bool QueryMulticastStaticRoutes(
        const std::string& lrId,
        std::vector<orvane::ozy::cairndb::MulticastStaticRouteMsg>* routes) const override;

    size_t CacheBytes() const override;
    size_t ValueCount() const override;
    uint32_t FullSyncVersion() const override;

    void LogDump() const override;
    std::string DumpJson() const override;

  private:
    struct State;

    // The single value of (type, id, property) parsed into `out`; several values log `multiText`
    // (with the id) and fail; none fails silently.
    bool QueryOne(ObjectType type, const std::string& id, PropertyType property,
                  const char* multiText, google::protobuf::Message* out) const;
    // The single whole body of a type, whatever its id.
    bool QuerySingleton(ObjectType type, const char* queryText, const char* populateText,
                        const char* multiText, google::protobuf::Message* out) const;

    std::unique_ptr<State> state_;
    mutable std::mutex mutex_;
};

}  // namespace CfgAgent
