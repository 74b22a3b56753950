#pragma once
// A database client that keeps what it is asked to write and answers lookups from `objects` (by
// oid), or fails every lookup while `failed` is set; lookups are recorded as "TYPE VDB OID".
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "intake/ICairndbClient.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_system.pb.h"

namespace CfgAgent::test {

class FakeCairndbClient : public ICairndbClient {
  public:
    using Requests = std::vector<orvane::ozy::cairndb::ModifyRequestMsg>;
    struct RuntimeWrite {
        Requests requests;
        int kind;
        bool fullSync;
    };

    void write(const Requests& requests) override {
        std::lock_guard<std::mutex> l(m);
        writes.push_back(requests);
    }
    void writeRuntime(Requests requests, int kind, bool fullSync) override {
        std::lock_guard<std::mutex> l(m);
        runtimeWrites.push_back({std::move(requests), kind, fullSync});
    }
    void setFullSyncDone(bool fullSync, int selector) override {
        std::lock_guard<std::mutex> l(m);
        fullSyncDone.emplace_back(fullSync, selector);
    }
    uint16_t mainVdbId() const override { return vdb; }
    // Realization reports are kept (serialized, in order) and accepted.
    bool reportProcessedBarrier(const orvane::ozy::cairndb::ProcessedBarrierMsg& report) override {
        std::lock_guard<std::mutex> l(m);
        barriers.push_back(report.SerializeAsString());
        return true;
    }
    bool reportRuntimeStatus(const orvane::ozy::cairndb::RuntimeStatusMsg& report) override {
        std::lock_guard<std::mutex> l(m);
        statuses.push_back(report.SerializeAsString());
        return true;
    }
    void getObject(ObjectType type, uint16_t vdb, const std::string& oid,
                   GetObjectCallback callback) override {
        lookups.push_back(std::to_string(static_cast<int>(type)) + " " + std::to_string(vdb) + " " +
                          oid);
        auto it = objects.find(oid);
        if (failed || it == objects.end()) {
            callback(failed ? LookupResult::kFailed : LookupResult::kNotFound, std::string());
            return;
        }
        callback(LookupResult::kFound, it->second);
    }

    std::mutex m;
    uint16_t vdb = 1;
    std::vector<Requests> writes;
    std::vector<RuntimeWrite> runtimeWrites;
    std::vector<std::pair<bool, int>> fullSyncDone;
    std::vector<std::string> barriers;  // ProcessedBarrierMsg
    std::vector<std::string> statuses;  // RuntimeStatusMsg
    bool failed = false;
    std::map<std::string, std::string> objects;
    std::vector<std::string> lookups;
};

}  // namespace CfgAgent::test
