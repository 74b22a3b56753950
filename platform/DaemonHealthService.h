#pragma once
// The daemon-health RPC service: "echo" returns its first parameter, "health" the product version
// and the process status. Served on the daemon-health RPC server (tcp://127.0.0.1:4097 by default).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

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

  private:
    ProductVersion version_;
    std::chrono::steady_clock::time_point started_;
    mutable std::atomic<int> status_{0};
};

}  // namespace ozy
