#pragma once
// A connection listener for tests of the local-connection classes: records messages, status
// changes and refused sizes, optionally echoes every message back, and awaits what it recorded.
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "net/StreamConnection.h"
#include "net/UdsConnectionListener.h"
#include "tests/support/Await.h"

namespace CfgAgent::test {

class NetTestListener : public Common::UdsConnectionListener {
  public:
    using Bytes = std::vector<uint8_t>;

    void OnConnectionStatusChanged(uint32_t connId, int status) override {
        std::lock_guard<std::mutex> lock(mutex_);
        statuses_.emplace_back(connId, status);
    }
    void OnMessageReceived(Common::StreamConnection& conn, const uint8_t* bytes,
                           size_t length) override {
        Bytes message(bytes, bytes + length);
        if (echo)
            conn.Write(message);
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(std::move(message));
    }
    size_t MaxMessageSize() const override { return maxMessageSize; }
    void OnOversizedMessage(uint32_t connId, uint64_t announced) override {
        std::lock_guard<std::mutex> lock(mutex_);
        oversized_.emplace_back(connId, announced);
    }

    std::vector<Bytes> Messages() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    std::vector<std::pair<uint32_t, int>> Statuses() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return statuses_;
    }
    std::vector<std::pair<uint32_t, uint64_t>> Oversized() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return oversized_;
    }
    bool AwaitMessages(size_t n) const {
        return AwaitTrue([&] { return Messages().size() >= n; });
    }
    bool AwaitStatus(uint32_t id, int status) const {
        return AwaitTrue([&] {
            for (const auto& s : Statuses()) {
                if (s.first == id && s.second == status)
                    return true;
            }
            return false;
        });
    }

    bool echo = false;
    size_t maxMessageSize = kDefaultMaxMessageSize;

  private:
    mutable std::mutex mutex_;
    std::vector<Bytes> messages_;
    std::vector<std::pair<uint32_t, int>> statuses_;
    std::vector<std::pair<uint32_t, uint64_t>> oversized_;
};

}  // namespace CfgAgent::test
