#pragma once
// The emulator's control socket spoken to in-process: an ovs-appctl per request would measure
// process start-up instead of the work.
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/unixctl/UnixctlClient.h"

namespace ozy::bench {

class EmuControl {
  public:
    // With `reportFailures`, a refused request is printed with the emulator's reason.
    explicit EmuControl(std::string socket, bool reportFailures = true, int timeoutMs = 600000)
        : socket_(std::move(socket)), reportFailures_(reportFailures), timeoutMs_(timeoutMs) {}

    bool Call(const std::string& method, const std::vector<std::string>& args,
              std::string* out = nullptr) {
        if (!client_.connected() && client_.Connect(socket_) != 0)
            return false;
        ozy::unixctl::Reply reply;
        if (client_.Transact(method, args, &reply, timeoutMs_) != 0 || !reply.success) {
            if (reportFailures_)
                std::fprintf(stderr, "%s: %s\n", method.c_str(), reply.text.c_str());
            return false;
        }
        if (out != nullptr)
            *out = reply.text;
        return true;
    }
    // The reply as JSON; null when refused or not JSON.
    nlohmann::json Json(const std::string& method, const std::vector<std::string>& args = {}) {
        std::string text;
        if (!Call(method, args, &text))
            return nullptr;
        nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
        return j.is_discarded() ? nlohmann::json(nullptr) : j;
    }
    // Closes the connection; the next request connects again (to a restarted emulator).
    void Reset() { client_.Close(); }

  private:
    std::string socket_;
    bool reportFailures_;
    int timeoutMs_;
    ozy::unixctl::Client client_;
};

}  // namespace ozy::bench
