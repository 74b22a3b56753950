#pragma once
// The hand-off from the CairndbClient to the SmartNIC coordinator of a SmartNIC host (persona 1).
// The coordinator owns the Demux, which splits the host's configuration per SmartNIC vdb, the
// Mux, which merges the SmartNICs' runtime state back into the host's database, and realization
// tracking, which merges the realization reports.
//
// The client holds a plain pointer (the coordinator outlives it: start-up creates the coordinator
// first and stops it after the client). Every call arrives on a database library thread, with the
// global agent lock held, one at a time; except WriteLocalRuntime, which the state-cache
// observer calls from the dispatcher thread, and the report calls, which come from the verticals'
// threads. Until a coordinator is attached, a SmartNIC host behaves like an ordinary host.
#include <vector>

#include "intake/Decoder.h"

namespace orvane::ozy::cairndb {
class MonitorUpdateMsg;
class ModifyRequestMsg;
class ProcessedBarrierMsg;
class RuntimeStatusMsg;
}  // namespace orvane::ozy::cairndb

namespace CfgAgent {

class ISmartNicCoordinator {
  public:
    virtual ~ISmartNicCoordinator() = default;

    // One decoded configuration update and the Demux function it goes to (KIND, GENERIC or
    // KIND_FIRST; never NONE). Called before the records are filed for KIND_FIRST, after
    // otherwise.
    virtual void OnConfigUpdate(const orvane::ozy::cairndb::MonitorUpdateMsg& update,
                                DemuxRoute route) = 0;
    // The database transaction ended; `fullSync` as the client detected it. Called before the
    // client queues its own batch.
    virtual void OnBarrier(bool fullSync) = 0;
    virtual void OnChannelStatus(bool up) = 0;
    // The host's own runtime state (kind 1 configuration, 2 L2), merged with the SmartNICs'.
    virtual void WriteLocalRuntime(
        const std::vector<orvane::ozy::cairndb::ModifyRequestMsg>& requests, int kind,
        bool fullSync) = 0;
    // The host's own realization reports (the database client's report calls), from the verticals'
    // threads: merged with the SmartNICs' by realization tracking. False when refused (logged).
    virtual bool ReportLocalProcessedBarrier(
        const orvane::ozy::cairndb::ProcessedBarrierMsg& report) = 0;
    virtual bool ReportLocalRuntimeStatus(const orvane::ozy::cairndb::RuntimeStatusMsg& report) = 0;
};

}  // namespace CfgAgent
