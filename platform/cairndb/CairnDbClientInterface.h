#pragma once
// The configuration database client library as the agent sees it (calling order):
//   SetChannelStatusCallback, AddMonitorSession (vdb other than 1), RegisterMonitorCallbacks,
//   ConfigureMonitor, StartAsync, then Write / Get / Echo at any time, Stop at shutdown.
//
// Guarantees of every implementation:
// - a monitor's update callback is called once per changed object, all updates of one database
//   transaction before that transaction's barrier callback; the first barrier after StartAsync or
//   after a reconnection ends the complete current contents (delivered as SETs);
// - update, barrier, status and completion callbacks are called one at a time, never
//   concurrently, on a thread of the library's io context; they may call back into the client;
// - after Stop() returns no callback is called any more.
//
// Kept free of Asio and generated protobuf headers; the agent's unit tests implement it with a
// fake.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvane::ozy::cairndb {
class MonitorUpdateMsg;
class MonitorStatementMsg;
class ModifyRequestMsg;
}  // namespace orvane::ozy::cairndb

namespace ozy::cairndb {

// Log level of the library (see LibraryLog.h); 4 (info) by default.
extern std::atomic<int> library_log_level;

struct Status {
    bool ok = true;
    std::string error;
    // Get: stored rows left out of the result because they do not decode (each logged
    // "LCP03009"); a caller that must see every row treats a read with any as incomplete.
    size_t skipped = 0;
    static Status Ok() { return Status{}; }
    static Status Error(std::string text) { return Status{false, std::move(text)}; }
};

// One stored object as read by Get.
struct StoredObject {
    std::string oid;  // identifier text (8-4-4-4-12 for UUIDs)
    uint16_t vdb = 0;
    std::string body;   // serialized body message
    std::string op;     // serialized explicit op message, "" when none
    std::string trace;  // serialized SpanContextMsg, "" when none
};

using ChannelStatusCallback = std::function<void(bool up)>;
using MonitorUpdateCallback = std::function<void(const orvane::ozy::cairndb::MonitorUpdateMsg&)>;
using MonitorBarrierCallback = std::function<void()>;
using WriteCallback = std::function<void(const Status&)>;
using GetCallback = std::function<void(const Status&, const std::vector<StoredObject>&)>;
using GetRowsCallback = std::function<void(const std::vector<StoredObject>& rows)>;
using GetDoneCallback = std::function<void(const Status&)>;
using EchoCallback = std::function<void(const Status&, const std::string& reply)>;

class CairnDbClientInterface {
  public:
    virtual ~CairnDbClientInterface() = default;

    // true = channel up (connected, monitors being re-established), false = down.
    virtual void SetChannelStatusCallback(ChannelStatusCallback cb) = 0;
    // Makes monitors possible on `vdb` (vdb 1 always is). False for vdb 0.
    virtual bool AddMonitorSession(uint16_t vdb) = 0;
    // Cancels every monitor of `vdb` and forgets its callbacks.
    virtual void RemoveMonitorSession(uint16_t vdb) = 0;
    // False when `vdb` has no session.
    virtual bool RegisterMonitorCallbacks(uint32_t monitorId, uint16_t vdb,
                                          MonitorUpdateCallback onUpdate,
                                          MonitorBarrierCallback onBarrier) = 0;
    // Adds and removes statements of a monitor. When the monitor is already running, the objects
    // of added types arrive as SETs (and removals that happened meanwhile as CLEARs) before a
    // barrier; removing every statement cancels the monitor. False (nothing changed) when the
    // monitor has no callbacks, a statement names an unknown object type or carries a select
    // template that is not an op message of its type.
    virtual bool ConfigureMonitor(
        const std::vector<orvane::ozy::cairndb::MonitorStatementMsg>& add,
        const std::vector<orvane::ozy::cairndb::MonitorStatementMsg>& remove, uint32_t monitorId,
        uint16_t vdb) = 0;
    // Connects (and keeps reconnecting) in the background.
    virtual void StartAsync() = 0;
    virtual void Stop() = 0;
    // Applies the list as one transaction (see WritePlan.h); lists are applied in submission order,
    // and kept across reconnections until applied. `done` may be empty.
    virtual void Write(std::vector<orvane::ozy::cairndb::ModifyRequestMsg> requests,
                       WriteCallback done) = 0;
    // The stored objects of a type in a vdb, or the one with identifier text `oid`. Fails at once
    // when the channel is down.
    virtual void Get(int objectType, uint16_t vdb, std::optional<std::string> oid,
                     GetCallback done) = 0;
    // The stored objects of a type in a vdb as they are read: `rows` is called with them in
    // batches, in the order of the reply, then `done` once with the outcome (with the rows skipped,
    // as Get's). When `done` reports a failure, the rows delivered before it are not the table's
    // contents. Fails at once when the channel is down. An implementation that does not stream
    // delivers the rows of Get in one batch.
    virtual void GetRows(int objectType, uint16_t vdb, GetRowsCallback rows, GetDoneCallback done) {
        Get(objectType, vdb, std::nullopt,
            [rows = std::move(rows), done = std::move(done)](
                const Status& status, const std::vector<StoredObject>& objects) {
                if (status.ok && !objects.empty())
                    rows(objects);
                done(status);
            });
    }
    // An OVSDB echo; the reply carries the same text. Fails at once when the channel is down.
    virtual void Echo(std::string text, EchoCallback done) = 0;
    // Steady-clock time, in whole seconds, of the last message received from the server (0: none).
    virtual int64_t LastExchangeSeconds() const = 0;
};

using CairnDbClientPtr = std::shared_ptr<CairnDbClientInterface>;

// OZY_CAIRNDB_ENDPOINT when set and not empty, else `personaDefault`.
std::string CairndbEndpointText(const std::string& personaDefault);

}  // namespace ozy::cairndb
