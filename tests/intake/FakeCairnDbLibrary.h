#pragma once
// A fake of the database client library for the CairndbClient tests: it records every call the
// client makes (sessions, callbacks, monitor statements, writes) and lets the test drive the
// channel status, updates and barriers as the real library would, from the test's thread.
#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "platform/cairndb/CairnDbClientInterface.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_monitor.pb.h"

namespace CfgAgent::test {

namespace pb = orvane::ozy::cairndb;

class FakeCairnDbLibrary : public ozy::cairndb::CairnDbClientInterface {
  public:
    struct Monitor {
        ozy::cairndb::MonitorUpdateCallback update;
        ozy::cairndb::MonitorBarrierCallback barrier;
    };
    struct ConfigureCall {
        std::vector<pb::MonitorStatementMsg> add;
        std::vector<pb::MonitorStatementMsg> remove;
        uint32_t monitorId;
        uint16_t vdb;
    };

    // ---- CairnDbClientInterface ----
    void SetChannelStatusCallback(ozy::cairndb::ChannelStatusCallback cb) override {
        std::lock_guard<std::mutex> l(m_);
        status_ = std::move(cb);
    }
    bool AddMonitorSession(uint16_t vdb) override {
        std::lock_guard<std::mutex> l(m_);
        if (vdb == 0)
            return false;
        sessions_.insert(vdb);
        return true;
    }
    void RemoveMonitorSession(uint16_t vdb) override {
        std::lock_guard<std::mutex> l(m_);
        if (vdb == 1)
            return;
        sessions_.erase(vdb);
        for (auto it = monitors_.begin(); it != monitors_.end();) {
            it = it->first.second == vdb ? monitors_.erase(it) : std::next(it);
        }
        removedSessions_.push_back(vdb);
    }
    bool RegisterMonitorCallbacks(uint32_t monitorId, uint16_t vdb,
                                  ozy::cairndb::MonitorUpdateCallback onUpdate,
                                  ozy::cairndb::MonitorBarrierCallback onBarrier) override {
        std::lock_guard<std::mutex> l(m_);
        if (sessions_.count(vdb) == 0)
            return false;
        monitors_[{monitorId, vdb}] = Monitor{std::move(onUpdate), std::move(onBarrier)};
        return true;
    }
    bool ConfigureMonitor(const std::vector<pb::MonitorStatementMsg>& add,
                          const std::vector<pb::MonitorStatementMsg>& remove, uint32_t monitorId,
                          uint16_t vdb) override {
        std::lock_guard<std::mutex> l(m_);
        configureCalls_.push_back(ConfigureCall{add, remove, monitorId, vdb});
        return configureResult_;
    }
    void StartAsync() override {
        std::lock_guard<std::mutex> l(m_);
        ++startCalls_;
    }
    void Stop() override {
        std::lock_guard<std::mutex> l(m_);
        ++stopCalls_;
    }
    void Write(std::vector<pb::ModifyRequestMsg> requests,
               ozy::cairndb::WriteCallback done) override {
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> l(m_);
            writes_.push_back(std::move(requests));
            hook = writeHook_;
        }
        if (hook)
            hook();
        if (done)
            done(ozy::cairndb::Status::Ok());
    }
    void Get(int objectType, uint16_t vdb, std::optional<std::string> oid,
             ozy::cairndb::GetCallback done) override {
        std::vector<ozy::cairndb::StoredObject> found;
        ozy::cairndb::Status status;
        {
            std::lock_guard<std::mutex> l(m_);
            gets_.push_back({objectType, vdb});
            status = getStatus_;
            auto typed = storedOfType_.find(objectType);
            for (const auto& o : typed != storedOfType_.end() ? typed->second : stored_) {
                if (o.vdb == vdb && (!oid || o.oid == *oid))
                    found.push_back(o);
            }
            if (holdGets_) {
                held_.push_back([done, status, found] { done(status, found); });
                return;
            }
        }
        done(status, found);
    }
    // The rows of Get, GetRowsBatch() at a time.
    void GetRows(int objectType, uint16_t vdb, ozy::cairndb::GetRowsCallback rows,
                 ozy::cairndb::GetDoneCallback done) override {
        size_t batch = 1;
        {
            std::lock_guard<std::mutex> l(m_);
            batch = rowsBatch_;
        }
        Get(objectType, vdb, std::nullopt,
            [rows = std::move(rows), done = std::move(done), batch](
                const ozy::cairndb::Status& status,
                const std::vector<ozy::cairndb::StoredObject>& found) {
                for (size_t i = 0; status.ok && i < found.size(); i += batch) {
                    rows(std::vector<ozy::cairndb::StoredObject>(
                        found.begin() + i, found.begin() + std::min(found.size(), i + batch)));
                }
                done(status);
            });
    }
    void Echo(std::string text, ozy::cairndb::EchoCallback done) override {
        done(ozy::cairndb::Status::Ok(), text);
    }
    int64_t LastExchangeSeconds() const override { return 0; }

    // ---- driving, as the library would ----
    void Channel(bool up) {
        ozy::cairndb::ChannelStatusCallback cb;
        {
            std::lock_guard<std::mutex> l(m_);
            cb = status_;
        }
        if (cb)
            cb(up);
    }
    // False when no monitor (monitorId, vdb) has callbacks.
    bool Update(uint32_t monitorId, uint16_t vdb, const pb::MonitorUpdateMsg& u) {
        Monitor m;
        if (!Find(monitorId, vdb, &m))
            return false;
        m.update(u);
        return true;
    }
    bool Barrier(uint32_t monitorId, uint16_t vdb) {
        Monitor m;
        if (!Find(monitorId, vdb, &m))
            return false;
        m.barrier();
        return true;
    }

    // ---- inspection ----
    std::vector<ConfigureCall> ConfigureCalls() const {
        std::lock_guard<std::mutex> l(m_);
        return configureCalls_;
    }
    std::vector<std::vector<pb::ModifyRequestMsg>> Writes() const {
        std::lock_guard<std::mutex> l(m_);
        return writes_;
    }
    size_t WriteCount() const {
        std::lock_guard<std::mutex> l(m_);
        return writes_.size();
    }
    bool HasMonitor(uint32_t monitorId, uint16_t vdb) const {
        std::lock_guard<std::mutex> l(m_);
        return monitors_.count({monitorId, vdb}) != 0;
    }
    std::set<uint16_t> Sessions() const {
        std::lock_guard<std::mutex> l(m_);
        return sessions_;
    }
    int StartCalls() const {
        std::lock_guard<std::mutex> l(m_);
        return startCalls_;
    }
    int StopCalls() const {
        std::lock_guard<std::mutex> l(m_);
        return stopCalls_;
    }
    void SetConfigureResult(bool ok) {
        std::lock_guard<std::mutex> l(m_);
        configureResult_ = ok;
    }
    void SetWriteHook(std::function<void()> hook) {
        std::lock_guard<std::mutex> l(m_);
        writeHook_ = std::move(hook);
    }
    void SetStored(std::vector<ozy::cairndb::StoredObject> objects,
                   ozy::cairndb::Status status = {}) {
        std::lock_guard<std::mutex> l(m_);
        stored_ = std::move(objects);
        getStatus_ = std::move(status);
    }

    // The objects of one type (Get of any other type answers from SetStored's).
    void SetStoredOfType(int objectType, std::vector<ozy::cairndb::StoredObject> objects) {
        std::lock_guard<std::mutex> l(m_);
        storedOfType_[objectType] = std::move(objects);
    }
    // Rows a batch of GetRows (3 unless set).
    void SetRowsBatch(size_t rows) {
        std::lock_guard<std::mutex> l(m_);
        rowsBatch_ = rows;
    }
    // While held, Get answers only when ReleaseGets is called (from the caller's thread).
    void HoldGets(bool hold) {
        std::lock_guard<std::mutex> l(m_);
        holdGets_ = hold;
    }
    size_t HeldGets() const {
        std::lock_guard<std::mutex> l(m_);
        return held_.size();
    }
    void ReleaseGets() {
        std::vector<std::function<void()>> held;
        {
            std::lock_guard<std::mutex> l(m_);
            held.swap(held_);
        }
        for (auto& h : held)
            h();
    }
    // (object type, vdb) of every Get, in order.
    std::vector<std::pair<int, uint16_t>> Gets() const {
        std::lock_guard<std::mutex> l(m_);
        return gets_;
    }

  private:
    bool Find(uint32_t monitorId, uint16_t vdb, Monitor* out) const {
        std::lock_guard<std::mutex> l(m_);
        auto it = monitors_.find({monitorId, vdb});
        if (it == monitors_.end())
            return false;
        *out = it->second;
        return true;
    }

    mutable std::mutex m_;
    ozy::cairndb::ChannelStatusCallback status_;
    std::set<uint16_t> sessions_{1};
    std::vector<uint16_t> removedSessions_;
    std::map<std::pair<uint32_t, uint16_t>, Monitor> monitors_;
    std::vector<ConfigureCall> configureCalls_;
    bool configureResult_ = true;
    int startCalls_ = 0;
    int stopCalls_ = 0;
    std::vector<std::vector<pb::ModifyRequestMsg>> writes_;
    std::function<void()> writeHook_;
    std::vector<ozy::cairndb::StoredObject> stored_;
    ozy::cairndb::Status getStatus_;
    std::vector<std::pair<int, uint16_t>> gets_;
    std::map<int, std::vector<ozy::cairndb::StoredObject>> storedOfType_;
    bool holdGets_ = false;
    size_t rowsBatch_ = 3;
    std::vector<std::function<void()>> held_;
};

}  // namespace CfgAgent::test
