#pragma once
// What the routing applications and the CLI see of the L3 table (component L3CACHE, the "remote
// StateCache"): observer registration, generic queries and typed single-result queries.
//
// Values by property: property 0 is the whole body of the object's type; L3_FIB_ROUTER_ID and
// L3_ARP_ROUTER_PORT_ID hold a UuidMsg, L3_FIB_IP_PREFIX an IpPrefixMsg, L3_FIB_NEXT_HOP a
// FibNextHopMsg, L3_ARP_ENTRY an ArpEntryMsg, L3_DAD_STATUS a DadStatusEntryMsg and L3_DAD_REQ a
// DadRequestEntryMsg. A typed query succeeds only when exactly one value exists for (object id,
// property) and it parses; several values are an error ("errorCode:LCP00919"), none fails
// silently. Every query takes the global agent lock and returns copies.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "intake/CairnDBUpdateMsg.h"

namespace orvane::ozy::cairndb {
class BarrierMsg;
class DadProfileConfigMsg;
class GlobalConfigMsg;
class IpPrefixMsg;
class LogRouterConfigMsg;
class LogRouterPortConfigMsg;
class LogRouterPortFibDadStateMsg;
class MulticastConfigMsg;
class MulticastStaticRouteMsg;
class NdraProfileConfigMsg;
class PrefixListMsg;
class UuidMsg;
}  // namespace orvane::ozy::cairndb

namespace CfgAgent {

class SCL3TableObserver;

class IStateCacheL3Table {
  public:
    virtual ~IStateCacheL3Table() = default;

    virtual bool RegisterDesiredStateObserver(SCL3TableObserver* observer) = 0;
    virtual bool UnregisterDesiredStateObserver(SCL3TableObserver* observer) = 0;

    // Objects of a type holding a property: one record per value.
    virtual bool GetObjectsWithProperty(ObjectType type, PropertyType property,
                                        CairnDBUpdateList* out) const = 0;
    // Every value of the object(s) with this id.
    virtual bool GetObjectProperties(const std::string& id, CairnDBUpdateList* out) const = 0;
    // The values of one property of one object.
    virtual bool GetProperty(ObjectType type, const std::string& id, PropertyType property,
                             std::vector<std::string>* values) const = 0;

    // Typed queries (ids are serialized UuidMsg).
    virtual bool QueryFibRouterId(const std::string& fibId,
                                  orvane::ozy::cairndb::UuidMsg* lr) const = 0;
    virtual bool QueryFibIpPrefix(const std::string& fibId,
                                  orvane::ozy::cairndb::IpPrefixMsg* prefix) const = 0;
    virtual bool QueryArpRouterPortId(const std::string& arpId,
                                      orvane::ozy::cairndb::UuidMsg* lrp) const = 0;
    virtual bool QueryRouterPort(const std::string& lrpId,
                                 orvane::ozy::cairndb::LogRouterPortConfigMsg* lrp) const = 0;
    virtual bool QueryRouter(const std::string& lrId,
                             orvane::ozy::cairndb::LogRouterConfigMsg* lr) const = 0;
    virtual bool QueryMulticastConfig(const std::string& id,
                                      orvane::ozy::cairndb::MulticastConfigMsg* msg) const = 0;
    virtual bool QueryNdraProfile(const std::string& id,
                                  orvane::ozy::cairndb::NdraProfileConfigMsg* msg) const = 0;
    virtual bool QueryDadProfile(const std::string& id,
                                 orvane::ozy::cairndb::DadProfileConfigMsg* msg) const = 0;
    virtual bool QueryPrefixList(const std::string& id,
                                 orvane::ozy::cairndb::PrefixListMsg* msg) const = 0;
    virtual bool QueryFibDadState(const std::string& id,
                                  orvane::ozy::cairndb::LogRouterPortFibDadStateMsg* msg) const = 0;
    // The single GLOBAL_CONFIG / BARRIER object, whatever its id.
    virtual bool QueryGlobalConfig(orvane::ozy::cairndb::GlobalConfigMsg* msg) const = 0;
    virtual bool QueryBarrier(orvane::ozy::cairndb::BarrierMsg* msg) const = 0;
    // Every multicast static route of a logical router.
    virtual bool QueryMulticastStaticRoutes(
        const std::string& lrId,
        std::vector<orvane::ozy::cairndb::MulticastStaticRouteMsg>* routes) const = 0;

    virtual size_t CacheBytes() const = 0;
    virtual size_t ValueCount() const = 0;
    virtual uint32_t FullSyncVersion() const = 0;

    // "Dump L3 remote StateCache" and one log line per entry.
    virtual void LogDump() const = 0;
    // JSON dump of the store ("cfgagent/l3/remote").
    virtual std::string DumpJson() const = 0;
};

}  // namespace CfgAgent
