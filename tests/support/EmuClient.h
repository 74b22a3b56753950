#pragma once
// The emulator's control socket spoken to in-process, for pollers (benchmarks, long scenarios)
// where one ovs-appctl process per request would measure process start-up. Reconnects after a
// failure; not thread-safe.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/unixctl/UnixctlClient.h"

namespace CfgAgent::test {

class EmuClient {
  public:
    explicit EmuClient(std::string socket) : socket_(std::move(socket)) {}
    // The reply text of a successful command.
    bool Call(const std::string& method, const std::vector<std::string>& args,
              std::string* out = nullptr);
    // The reply parsed as JSON; null on failure.
    nlohmann::json Json(const std::string& method, const std::vector<std::string>& args = {});
    // Drops the connection (after the emulator restarted).
    void Reset() { client_.Close(); }

  private:
    std::string socket_;
    ozy::unixctl::Client client_;
};

}  // namespace CfgAgent::test
