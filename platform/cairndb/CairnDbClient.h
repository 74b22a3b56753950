#pragma once
// The cairndb client library: our own OVSDB (RFC 7047) client on Boost.Asio.
//
// One TCP session to the endpoint (the next remote of a list after each failure). A session is
// used once the member's `_Server` database says it may be (see MemberHealth.h), and left, for
// the next remote, when the member reports that it no longer may. Each monitor
// (monitor id, vdb) is one monitor_cond on the tables of its statements with the condition
// vdb == id; its initial contents and every later update2 notification are delivered as one update
// per row followed by one barrier. Removals carry the old body and op messages are derived from a
// replica of the delivered rows (the server sends neither). Writes become two transactions per
// list (read, then write; see WritePlan.h), or one for rows the client keeps as it last wrote them
// (RowCache.h). The session answers the server's echo and probes an
// idle server itself; on loss it reports down, tries the other remotes at once and, once every
// remote has failed, again after a bounded, doubling back-off (see ReconnectSchedule.h); then it
// reports up and re-subscribes every monitor, which delivers the complete contents again.
//
// Threads: every public method may be called from any thread, also from within callbacks. All
// network work and every callback run on one strand of the io context given at construction.
#include <chrono>
#include <memory>
#include <string>

#include "platform/cairndb/CairnDbClientInterface.h"
#include "platform/cairndb/Endpoint.h"

namespace boost::asio {
class io_context;
}

namespace ozy::cairndb {

struct CairnDbClientOptions {
    std::chrono::milliseconds reconnectMin{100};
    std::chrono::milliseconds reconnectMax{5000};
    // A session lost after at least this long in use moves on to the other members at once; one
    // lost sooner counts as a failed attempt (a flapping member is retried with the back-off).
    std::chrono::milliseconds steadySession{1000};
    // Idle time after which the server is probed with an echo; after twice this without any
    // message the session is dropped. 0 turns probing off.
    std::chrono::milliseconds probeInterval{5000};
    size_t maxMessageBytes = size_t{512} << 20;
    // Write lists kept while the channel is down; beyond this the oldest fails.
    size_t maxPendingWrites = 100000;
    // Runs of a write list when a concurrent writer changed its rows in between.
    int writeAttempts = 3;
};

// The member in use as the client last saw it, for the operator.
struct MemberStatus {
    std::string member;   // "tcp://HOST:PORT", "" when none is in use
    std::string role;     // "leader", "follower", "standalone", "disconnected", "unknown", "none"
    std::string cluster;  // the member's last report of the database (model, connected, index...)
};

class CairnDbClient : public CairnDbClientInterface {
  public:
    CairnDbClient(std::string name, net::Endpoint endpoint, boost::asio::io_context& io,
                  CairnDbClientOptions options = {});
    ~CairnDbClient() override;
    CairnDbClient(const CairnDbClient&) = delete;
    CairnDbClient& operator=(const CairnDbClient&) = delete;

    void SetChannelStatusCallback(ChannelStatusCallback cb) override;
    bool AddMonitorSession(uint16_t vdb) override;
    void RemoveMonitorSession(uint16_t vdb) override;
    bool RegisterMonitorCallbacks(uint32_t monitorId, uint16_t vdb, MonitorUpdateCallback onUpdate,
                                  MonitorBarrierCallback onBarrier) override;
    bool ConfigureMonitor(const std::vector<orvane::ozy::cairndb::MonitorStatementMsg>& add,
                          const std::vector<orvane::ozy::cairndb::MonitorStatementMsg>& remove,
                          uint32_t monitorId, uint16_t vdb) override;
    void StartAsync() override;
    void Stop() override;
    void Write(std::vector<orvane::ozy::cairndb::ModifyRequestMsg> requests,
               WriteCallback done) override;
    void Get(int objectType, uint16_t vdb, std::optional<std::string> oid,
             GetCallback done) override;
    // The rows arrive kGetRowsBatch at a time; a reply's rows are decoded as it is parsed and
    // never held whole.
    void GetRows(int objectType, uint16_t vdb, GetRowsCallback rows, GetDoneCallback done) override;
    void Echo(std::string text, EchoCallback done) override;
    int64_t LastExchangeSeconds() const override;

    const std::string& name() const { return name_; }
    bool Connected() const;
    // The reason of the last failed connection attempt or session loss ("" when none).
    std::string LastError() const;
    MemberStatus Member() const;
    // A write of at least kReleaseAfterRequests requests (a restart's write of every VIF) reads,
    // parses and builds its rows as transients; once it finished, the freed pages are handed back
    // to the system instead of staying resident. How many times that was done.
    static constexpr size_t kReleaseAfterRequests = 4096;
    static constexpr size_t kGetRowsBatch = 512;
    uint64_t MemoryReleases() const;

    class Impl;

  private:
    std::string name_;
    std::shared_ptr<Impl> impl_;
};

}  // namespace ozy::cairndb
