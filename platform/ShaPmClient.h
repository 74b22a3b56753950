#pragma once
// The process-health client: tells the service manager that the agent is ready and, when a
// watchdog is configured, keeps it fed (systemd notify protocol through sd_notify); and
// periodically collects the agent's combined status message.
//
// One background thread runs both duties; every operation may be called from the main thread in
// the order start-up and shutdown use.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace ozy::sha {

// Builds the combined status message (JSON text) for `context`.
using CombinedMessageCallback = std::function<std::string(void* context)>;

class ShaPmClient {
  public:
    explicit ShaPmClient(const std::string& name);
    ~ShaPmClient();
    ShaPmClient(const ShaPmClient&) = delete;
    ShaPmClient& operator=(const ShaPmClient&) = delete;

    void Start();
    void Stop();

    bool RegisterCombinedMessageMetricCollection(const std::string& name,
                                                 CombinedMessageCallback cb, void* context,
                                                 int intervalSec);
    void UnregisterMetricCollectionAll();
    void StartMetricCollection();
    void StopMetricCollection();

    // Sends READY=1 at once; then WATCHDOG=1 every `intervalSec` while the service manager has a
    // watchdog configured (WATCHDOG_USEC), never less often than half the watchdog period.
    void StartProcessHeartbeat(int intervalSec, int timeoutSec);
    void StopProcessHeartbeat();

    // The last collected combined message (empty before the first collection).
    std::string LastCombinedMessage() const;
    // Number of WATCHDOG=1 notifications sent so far.
    int WatchdogCount() const;

  private:
    void Loop();
    void CollectNow();

    std::string name_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;
    bool running_ = false;

    std::string collectionName_;
    CombinedMessageCallback callback_;
    void* context_ = nullptr;
    int collectIntervalSec_ = 0;
    bool collecting_ = false;
    std::string lastMessage_;

    bool heartbeat_ = false;
    int heartbeatIntervalMs_ = 0;
    int watchdogCount_ = 0;
};

}  // namespace ozy::sha
