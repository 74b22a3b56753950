#pragma once
// The agent's side of the configuration database: what the runtime-state observer and the
// applications may ask of the database client. CairndbClient implements it; tests use fakes.
//
// Writes never block the caller and report nothing back: a list is queued for the client's writer
// (write) or, for runtime state, routed as the node's persona requires (writeRuntime). The
// interface holds no counted reference of its own: whoever keeps a pointer to it keeps the client
// alive by other means (start-up releases the client after everything that uses it).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "intake/CfgTypes.h"

namespace orvane::ozy::cairndb {
class ModifyRequestMsg;
class ProcessedBarrierMsg;
class RuntimeStatusMsg;
}  // namespace orvane::ozy::cairndb

namespace CfgAgent {

class ICairndbClient {
  public:
    // Kinds of runtime write, also the selectors of setFullSyncDone.
    static constexpr int kRuntimeConfig = 1;  // VIF_STATE, HOPOVER_STATUS
    static constexpr int kRuntimeL2 = 2;      // LOG_SWITCH_STATE, ROUTING_DOMAIN_VTEP

    enum class LookupResult {
        kFound,
        kNotFound,
        kFailed,  // the database could not be asked or did not answer
    };
    // Receives the result and, when found, the serialized body of the object. Called once, on a
    // database io thread or on the caller's thread when the request cannot be sent.
    using GetObjectCallback = std::function<void(LookupResult result, const std::string& body)>;

    virtual ~ICairndbClient() = default;

    // Queues a list of modify requests for the writer; one list is one database transaction.
    virtual void write(const std::vector<orvane::ozy::cairndb::ModifyRequestMsg>& requests) = 0;

    // Runtime state of `kind` (kRuntimeConfig or kRuntimeL2): written directly on an ordinary
    // host, merged by the SmartNIC coordinator on a SmartNIC host, held back on a standby SmartNIC.
    // The list is taken by value: a caller that has no more use for it moves it in (a learned
    // row's list holds megabytes).
    virtual void writeRuntime(std::vector<orvane::ozy::cairndb::ModifyRequestMsg> requests,
                              int kind, bool fullSync) = 0;

    // Records that the full sync of `selector` (kRuntimeConfig or kRuntimeL2) with the dataplane is
    // done; a false `fullSync` changes nothing.
    virtual void setFullSyncDone(bool fullSync, int selector) = 0;

    // The vdb that runtime state is written to; 0 while it is not known.
    virtual uint16_t mainVdbId() const = 0;

    // Looks up one object by type, vdb and identifier text (8-4-4-4-12 for UUIDs).
    virtual void getObject(ObjectType objectType, uint16_t vdb, const std::string& oid,
                           GetObjectCallback callback) = 0;

    // Realization reports of the verticals: a PROCESSED_BARRIER (vertical id and barrier number
    // required) or a RUNTIME_STATUS (component id required) written to the main vdb, one object
    // per vertical or component; kept (the latest per vertical or component) until the main vdb
    // is known. False when the report is refused (a required field absent, logged). A client that
    // does not write reports (a test fake) refuses them all.
    virtual bool reportProcessedBarrier(const orvane::ozy::cairndb::ProcessedBarrierMsg& report) {
        (void)report;
        return false;
    }
    virtual bool reportRuntimeStatus(const orvane::ozy::cairndb::RuntimeStatusMsg& report) {
        (void)report;
        return false;
    }
};

}  // namespace CfgAgent
