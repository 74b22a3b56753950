#pragma once
// A scripted OVSDB server for bad-input tests: accepts one client connection at a time on a
// loopback port, answers the `_Server` monitor with a configured row of the cairndb database
// (a standalone server by default) and any other monitor_cond with a configured result, echo with
// its params and any other request with an empty result, records what the client sent, and lets the
// test send arbitrary bytes or close the connection.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace CfgAgent::test {

class FakeOvsdbPeer {
  public:
    FakeOvsdbPeer();
    ~FakeOvsdbPeer();

    std::string Endpoint() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
    // The result of every following monitor_cond (table-updates2 JSON text); "{}" by default.
    // A text that is not JSON is sent raw in place of the whole reply.
    void SetMonitorResult(const std::string& result);
    // Whether the following monitor_cond replies are written with the result before the id.
    void SetMonitorReplyForm(bool resultFirst);
    // When not empty, every following monitor_cond is answered with this error instead.
    void SetMonitorError(const std::string& error);
    // Results of the following transact requests, in order (JSON text, sent as it stands); "[]"
    // once they run out.
    void QueueTransactResult(const std::string& result);
    // The next transact request is answered with this JSON-RPC error (JSON text) in its turn.
    void QueueTransactError(const std::string& error);
    // How the following transact replies are written: with the result before the id when
    // `resultFirst` (a server writes the id first), in `pieces` parts sent a little apart.
    void SetTransactReplyForm(bool resultFirst, size_t pieces);
    // The next transact reply stops after its first `bytes` bytes until ReleaseReply(): a large
    // reply still arriving.
    void HoldTransactReplyAfter(size_t bytes);
    void ReleaseReply();
    int Transacts() const { return transacts_.load(); }
    // A silent peer reads requests and answers none (a hung server).
    void SetSilent(bool silent) { silent_ = silent; }
    // Sends bytes on the current connection (false when there is none).
    bool SendRaw(const std::string& bytes);
    // An update2 notification for the monitor id of the last monitor_cond.
    bool SendUpdate(const std::string& tableUpdates);
    // The same notification written in `pieces` parts `gap` apart: a server slow to send one
    // large message.
    bool SendUpdateInPieces(const std::string& tableUpdates, size_t pieces,
                            std::chrono::milliseconds gap);
    // The `_Server` Database row (JSON object) of the following connections' monitors.
    void SetServerRow(const std::string& row);
    // An update2 notification of the `_Server` monitor.
    bool SendServerUpdate(const std::string& tableUpdates);
    // Closes the current connection from the server side.
    void CloseConnection();

    int Connections() const { return connections_.load(); }
    // Whether a client is connected now.
    bool HasConnection() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return connFd_ >= 0;
    }
    int MonitorRequests() const { return monitorRequests_.load(); }
    bool WaitMonitorRequests(int n) const;
    // Every message received from clients, in order.
    std::vector<nlohmann::json> Received() const;

  private:
    void Run();
    void Serve(int fd);
    void Handle(int fd, const nlohmann::json& msg);
    bool SendLocked(int fd, const std::string& bytes);
    bool SendNotificationLocked(const nlohmann::json& monitorId, const std::string& updates);

    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> monitorRequests_{0};
    std::atomic<int> transacts_{0};
    std::atomic<bool> silent_{false};
    // (JSON text, whether it is an error).
    std::deque<std::pair<std::string, bool>> transactResults_;
    bool resultFirst_ = false;
    bool monitorResultFirst_ = false;
    size_t replyPieces_ = 1;
    size_t holdAfter_ = 0;
    bool released_ = false;
    std::condition_variable releasedCv_;
    mutable std::mutex mutex_;
    int connFd_ = -1;
    std::string monitorResult_ = "{}";
    std::string monitorError_;
    nlohmann::json lastMonitorId_;
    nlohmann::json serverMonitorId_;
    std::string serverRow_ =
        R"({"name":"cairndb","model":"standalone","connected":true,"leader":true})";
    std::vector<nlohmann::json> received_;
    std::thread thread_;
};

}  // namespace CfgAgent::test
