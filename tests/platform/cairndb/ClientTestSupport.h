#pragma once
// Helpers for the client library's tests: an io context run by two threads (so that the strand is
// what keeps callbacks apart), a recorder of what a monitor and the status callback receive, and
// builders of objects and modify requests.
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/cairndb/CairnDbClientInterface.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_monitor.pb.h"
#include "proto/cairndb_routing.pb.h"
#include "proto/cairndb_switching.pb.h"

namespace CfgAgent::test {

namespace pb = orvane::ozy::cairndb;

class IoThreads {
  public:
    explicit IoThreads(int n = 2);
    ~IoThreads();
    boost::asio::io_context& io() { return io_; }

  private:
    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_;
    std::vector<std::thread> threads_;
};

struct MonitorEvent {
    enum Kind { kUpdate, kBarrier, kStatus } kind;
    pb::MonitorUpdateMsg update;  // kUpdate
    bool up = false;              // kStatus
};

class Recorder {
  public:
    ozy::cairndb::MonitorUpdateCallback UpdateCb();
    ozy::cairndb::MonitorBarrierCallback BarrierCb();
    ozy::cairndb::ChannelStatusCallback StatusCb();

    std::vector<MonitorEvent> Events() const;
    size_t Barriers() const;
    // Waits until at least `n` barriers were recorded.
    bool WaitBarriers(size_t n) const;
    bool WaitStatus(bool up, size_t occurrences = 1) const;
    // Updates between barrier number `from` (0: the start) and the next barrier.
    std::vector<pb::MonitorUpdateMsg> UpdatesOfTransaction(size_t index) const;
    // Updates recorded after the last barrier (a half transaction if not empty).
    size_t UpdatesAfterLastBarrier() const;
    int maxConcurrent() const { return maxConcurrent_.load(); }
    void Clear();

  private:
    void Enter();
    void Leave();
    mutable std::mutex mutex_;
    std::vector<MonitorEvent> events_;
    std::atomic<int> inside_{0};
    std::atomic<int> maxConcurrent_{0};
};

pb::UuidMsg Uuid(uint64_t n);
std::string UuidTextOf(const pb::UuidMsg& id);
// The oid of a body: the text of its id field ("" when it has none).
std::string OidOf(const google::protobuf::Message& body);
pb::LogSwitchConfigMsg Switch(uint64_t n, uint32_t vni);
pb::LogSwitchFibMsg SwitchFib(uint64_t n, const std::vector<uint64_t>& macs);

pb::ModifyRequestMsg Put(const google::protobuf::Message& body, int type, uint32_t vdb = 1);
pb::ModifyRequestMsg Delete(int type, const pb::UuidMsg& id, uint32_t vdb = 1);
pb::ModifyRequestMsg Flush(int type, uint32_t vdb = 1);
pb::ModifyRequestMsg Patch(int type, const pb::UuidMsg& id, const google::protobuf::Message& op,
                           const google::protobuf::Message& partial, uint32_t vdb = 1);
pb::MonitorStatementMsg Statement(int type);
// A learned row of switch state `id`: `macs` MAC entries from `firstMac`, each behind 10.0.0.1.
pb::LogSwitchStateMsg LearnedMacsRow(uint64_t firstMac, int macs, uint64_t id = 7);
// The patch appending that row's entries to its MAC list.
pb::ModifyRequestMsg AppendLearnedMacs(uint64_t firstMac, int macs, uint64_t id = 7);
// The "op" of each operation of a transaction's JSON operations, in order.
std::vector<std::string> Kinds(const nlohmann::json& ops);

// An OVSDB row insert (JSON) of a body, as an outside writer would store it.
std::string InsertOp(const std::string& table, const google::protobuf::Message& body,
                     uint32_t vdb = 1);

}  // namespace CfgAgent::test
