#pragma once
// The daemon-health RPC service: "echo" returns its first parameter, "health" the product version,
// the process status and the sub-statuses the agent reports ("cfgagent-cairndb-connection").
// Served on the daemon-health RPC server (tcp://127.0.0.1:4097 by default); Call runs on the RPC
// server's io threads.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/rpc/RpcServer.h"

namespace ozy {

// The product version carried in health replies; the first two numbers are set by start-up.
struct ProductVersion {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t patch = 0;
    std::string build;
};

class DaemonHealthService : public rpc::IService {
  public:
    explicit DaemonHealthService(const ProductVersion& version);

    bool Handles(const std::string& method) const override;
    bool Call(const std::string& method, const std::string& paramsJson, std::string& resultJson,
              std::string& error) override;

    // Status text reported by "health" ("STARTING", "RUNNING", "STOPPING").
    void SetStatus(const std::string& status);

    // Named sub-statuses ("cfgagent-cairndb-connection", "UP"), read at each "health" call; an
    // empty function removes them. The function runs under the service's own lock, so once
    // SetSubStatusSource has returned the previous function is neither running nor called again.
    using SubStatus = std::vector<std::pair<std::string, std::string>>;
    void SetSubStatusSource(std::function<SubStatus()> source);

  private:
    ProductVersion version_;
    // Guards source_ and keeps it from being replaced while a call uses it.
    std::mutex sourceMutex_;
    std::function<SubStatus()> source_;
    std::chrono::steady_clock::time_point started_;
    mutable std::atomic<int> status_{0};
};

}  // namespace ozy
