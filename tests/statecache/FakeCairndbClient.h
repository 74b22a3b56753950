#pragma once
// A database client that keeps what it is asked to do.
#include <mutex>
#include <vector>

#include "intake/ICairndbClient.h"
#include "proto/cairndb_modify.pb.h"

namespace CfgAgent::test {

class FakeCairndbClient : public ICairndbClient {
  public:
    struct RuntimeWrite {
        std::vector<orvane::ozy::cairndb::ModifyRequestMsg> requests;
        int kind;
        bool fullSync;
    };

    void write(const std::vector<orvane::ozy::cairndb::ModifyRequestMsg>& requests) override {
        std::lock_guard<std::mutex> l(m);
        writes.push_back(requests);
    }
    void writeRuntime(const std::vector<orvane::ozy::cairndb::ModifyRequestMsg>& requests, int kind,
                      bool fullSync) override {
        std::lock_guard<std::mutex> l(m);
        runtimeWrites.push_back({requests, kind, fullSync});
    }
    void setFullSyncDone(bool fullSync, int selector) override {
        std::lock_guard<std::mutex> l(m);
        fullSyncDone.emplace_back(fullSync, selector);
    }
    uint16_t mainVdbId() const override { return vdb; }
    void getObject(ObjectType, uint16_t, const std::string&, GetObjectCallback callback) override {
        callback(LookupResult::kNotFound, std::string());
    }

    std::mutex m;
    uint16_t vdb = 1;
    std::vector<std::vector<orvane::ozy::cairndb::ModifyRequestMsg>> writes;
    std::vector<RuntimeWrite> runtimeWrites;
    std::vector<std::pair<bool, int>> fullSyncDone;
};

}  // namespace CfgAgent::test
