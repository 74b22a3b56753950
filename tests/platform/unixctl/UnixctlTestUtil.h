#pragma once
// Helpers for the unixctl tests: a thread that drives a server the way its users do, and a raw
// socket client that writes arbitrary bytes and reads framed replies.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/jsonrpc/MessageFramer.h"
#include "platform/unixctl/UnixctlProtocol.h"
#include "platform/unixctl/UnixctlServer.h"

namespace ozy::unixctl::test {

// Runs Run()/Wait() on its own thread until destroyed; Wake() ends the loop.
class ServerThread {
  public:
    explicit ServerThread(Server& server) : server_(server) {
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                server_.Run();
                if (stop_.load()) {
                    break;
                }
                server_.Wait(-1);
            }
        });
    }
    ~ServerThread() { Stop(); }
    void Stop() {
        stop_.store(true);
        server_.Wake();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    Server& server_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A blocking client socket for raw protocol tests.
class RawClient {
  public:
    explicit RawClient(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~RawClient() { Close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    void Close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    bool Send(const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            sent += static_cast<size_t>(n);
        }
        return true;
    }
    // True when a byte or the end of the stream is waiting (without consuming it).
    bool Readable(int timeoutMs = 0) {
        pollfd p{fd_, POLLIN, 0};
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
            if (!Readable(timeoutMs)) {
                break;
            }
            char buf[65536];
            ssize_t n = ::recv(fd_, buf, sizeof(buf), 0);
            if (n <= 0) {
                eof_ = true;
                break;
            }
            framer_.Append(buf, static_cast<size_t>(n));
        }
        return out;
    }
    // One reply, parsed; success false and text empty when none arrived.
    Reply ReadReply(int timeoutMs = 30000) {
        Reply r;
        auto msgs = Read(1, timeoutMs);
        std::string reason;
        if (msgs.empty() || !ParseReply(msgs[0], &r, &reason)) {
            return Reply{};
        }
        return r;
    }
    // True when the server closed the connection (end of stream or reset) within `timeoutMs`.
    bool ClosedByServer(int timeoutMs = 30000) {
        char buf[4096];
        for (;;) {
            if (!Readable(timeoutMs)) {
                return false;
            }
            ssize_t n = ::recv(fd_, buf, sizeof(buf), 0);
            if (n == 0 || (n < 0 && errno == ECONNRESET)) {
                return true;
            }
            if (n < 0) {
                return false;
            }
        }
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    bool eof_ = false;
    MessageFramer framer_{64 * 1024 * 1024};
};

inline std::string MakeRequest(const std::string& method, const std::string& paramsJson, int id) {
    return "{\"method\":\"" + method + "\",\"params\":" + paramsJson +
           ",\"id\":" + std::to_string(id) + "}";
}

}  // namespace ozy::unixctl::test
