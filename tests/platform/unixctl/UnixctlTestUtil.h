#pragma once
// Helpers for the unixctl tests: a thread that drives a server the way its users do, and a raw
// socket client that writes arbitrary bytes and reads framed replies.
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/jsonrpc/MessageFramer.h"
#include "platform/unixctl/UnixctlProtocol.h"
#include "platform/unixctl/UnixctlServer.h"
#include "tests/support/UnixClient.h"

namespace ozy::unixctl::test {

// Runs Run()/Wait() on its own thread until destroyed; Wake() ends the loop.
class ServerThread {
  public:
    explicit ServerThread(Server& server) : server_(server) {
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                server_.Run();
                if (stop_.load())
                    break;
                server_.Wait(-1);
            }
        });
    }
    ~ServerThread() { Stop(); }
    void Stop() {
        stop_.store(true);
        server_.Wake();
        if (thread_.joinable())
            thread_.join();
    }

  private:
    Server& server_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A blocking client socket for raw protocol tests.
class RawClient : public CfgAgent::test::UnixClient {
  public:
    explicit RawClient(const std::string& path) { connected_ = Connect(path); }

    bool connected() const { return connected_; }
    bool Send(const std::string& bytes) { return Write({bytes.begin(), bytes.end()}); }
    // True when a byte or the end of the stream is waiting (without consuming it).
    bool Readable(int timeoutMs = 0) {
        pollfd p{fd(), POLLIN, 0};
        return ::poll(&p, 1, timeoutMs) > 0;
    }
    // Reads `count` messages; fewer when the stream ends or nothing arrives for `timeoutMs`.
    std::vector<std::string> Read(size_t count, int timeoutMs = 30000) {
        std::vector<std::string> out;
        while (out.size() < count) {
            std::string msg;
            if (framer_.Next(&msg) == MessageFramer::Status::kMessage) {
                out.push_back(msg);
                continue;
            }
            char buf[65536];
            ssize_t n = Readable(timeoutMs) ? ::recv(fd(), buf, sizeof(buf), 0) : 0;
            if (n <= 0)
                break;
            framer_.Append(buf, static_cast<size_t>(n));
        }
        return out;
    }
    // One reply, parsed; success false and text empty when none arrived.
    Reply ReadReply(int timeoutMs = 30000) {
        Reply r;
        auto msgs = Read(1, timeoutMs);
        std::string reason;
        return msgs.empty() || !ParseReply(msgs[0], &r, &reason) ? Reply{} : r;
    }
    // True when the server closed the connection (end of stream or reset) within `timeoutMs`.
    bool ClosedByServer(int timeoutMs = 30000) {
        char buf[4096];
        for (;;) {
            if (!Readable(timeoutMs))
                return false;
            ssize_t n = ::recv(fd(), buf, sizeof(buf), 0);
            if (n == 0 || (n < 0 && errno == ECONNRESET))
                return true;
            if (n < 0)
                return false;
        }
    }

  private:
    bool connected_ = false;
    MessageFramer framer_{64 * 1024 * 1024};
};

inline std::string MakeRequest(const std::string& method, const std::string& paramsJson, int id) {
    return "{\"method\":\"" + method + "\",\"params\":" + paramsJson +
           ",\"id\":" + std::to_string(id) + "}";
}

}  // namespace ozy::unixctl::test
