#include "tests/platform/cairndb/FakeOvsdbPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "platform/jsonrpc/MessageFramer.h"
#include "tests/support/Await.h"

namespace CfgAgent::test {

using nlohmann::json;

FakeOvsdbPeer::FakeOvsdbPeer() {
    listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listenFd_, 4) != 0) {
        throw std::runtime_error("FakeOvsdbPeer: cannot listen");
    }
    socklen_t len = sizeof addr;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Run(); });
}

FakeOvsdbPeer::~FakeOvsdbPeer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    releasedCv_.notify_all();
    CloseConnection();
    thread_.join();
    close(listenFd_);
}

void FakeOvsdbPeer::SetMonitorResult(const std::string& result) {
    std::lock_guard<std::mutex> lock(mutex_);
    monitorResult_ = result;
}

void FakeOvsdbPeer::QueueTransactResult(const std::string& result) {
    std::lock_guard<std::mutex> lock(mutex_);
    transactResults_.emplace_back(result, false);
}

void FakeOvsdbPeer::QueueTransactError(const std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    transactResults_.emplace_back(error, true);
}

void FakeOvsdbPeer::SetTransactReplyForm(bool resultFirst, size_t pieces) {
    std::lock_guard<std::mutex> lock(mutex_);
    resultFirst_ = resultFirst;
    replyPieces_ = std::max<size_t>(1, pieces);
}

void FakeOvsdbPeer::HoldTransactReplyAfter(size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    holdAfter_ = bytes;
    released_ = false;
}

void FakeOvsdbPeer::ReleaseReply() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
    }
    releasedCv_.notify_all();
}

void FakeOvsdbPeer::SetMonitorReplyForm(bool resultFirst) {
    std::lock_guard<std::mutex> lock(mutex_);
    monitorResultFirst_ = resultFirst;
}

void FakeOvsdbPeer::SetMonitorError(const std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    monitorError_ = error;
}

bool FakeOvsdbPeer::SendLocked(int fd, const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

bool FakeOvsdbPeer::SendRaw(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    return connFd_ >= 0 && SendLocked(connFd_, bytes);
}

bool FakeOvsdbPeer::SendUpdate(const std::string& tableUpdates) {
    std::lock_guard<std::mutex> lock(mutex_);
    return SendNotificationLocked(lastMonitorId_, tableUpdates);
}

bool FakeOvsdbPeer::SendUpdateInPieces(const std::string& tableUpdates, size_t pieces,
                                       std::chrono::milliseconds gap) {
    std::string text;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        text = json{{"id", nullptr},
                    {"method", "update2"},
                    {"params", json::array({lastMonitorId_, json::parse(tableUpdates)})}}
                   .dump();
    }
    const size_t step = std::max<size_t>(1, (text.size() + pieces - 1) / pieces);
    for (size_t off = 0; off < text.size(); off += step) {
        if (off != 0)
            std::this_thread::sleep_for(gap);
        if (!SendRaw(text.substr(off, step)))
            return false;
    }
    return true;
}

bool FakeOvsdbPeer::SendServerUpdate(const std::string& tableUpdates) {
    std::lock_guard<std::mutex> lock(mutex_);
    return SendNotificationLocked(serverMonitorId_, tableUpdates);
}

void FakeOvsdbPeer::SetServerRow(const std::string& row) {
    std::lock_guard<std::mutex> lock(mutex_);
    serverRow_ = row;
}

bool FakeOvsdbPeer::SendNotificationLocked(const json& monitorId, const std::string& updates) {
    if (connFd_ < 0)
        return false;
    json msg = {{"id", nullptr},
                {"method", "update2"},
                {"params", json::array({monitorId, json::parse(updates)})}};
    return SendLocked(connFd_, msg.dump());
}

void FakeOvsdbPeer::CloseConnection() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (connFd_ >= 0) {
        shutdown(connFd_, SHUT_RDWR);
    }
}

bool FakeOvsdbPeer::WaitMonitorRequests(int n) const {
    return AwaitTrue([&] { return monitorRequests_.load() >= n; });
}

std::vector<json> FakeOvsdbPeer::Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void FakeOvsdbPeer::Run() {
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        int fd = accept(listenFd_, nullptr, nullptr);
        if (fd < 0)
            continue;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            connFd_ = fd;
        }
        ++connections_;
        Serve(fd);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            connFd_ = -1;
        }
        close(fd);
    }
}

void FakeOvsdbPeer::Serve(int fd) {
    ozy::jsonrpc::MessageFramer framer(1 << 26);
    char buf[65536];
    while (!stop_) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return;
        framer.Append(buf, static_cast<size_t>(n));
        for (;;) {
            std::string text;
            auto st = framer.Next(&text);
            if (st == ozy::jsonrpc::MessageFramer::Status::kNeedMore)
                break;
            if (st != ozy::jsonrpc::MessageFramer::Status::kMessage)
                return;
            json msg = json::parse(text, nullptr, false);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.push_back(msg);
            }
            Handle(fd, msg);
        }
    }
}

void FakeOvsdbPeer::Handle(int fd, const json& msg) {
    if (!msg.is_object() || !msg.contains("method") || !msg["method"].is_string()) {
        return;  // replies to our own requests
    }
    if (silent_) {
        return;
    }
    const std::string method = msg["method"];
    json id = msg.value("id", json());
    std::unique_lock<std::mutex> lock(mutex_);
    if (method == "monitor_cond" && msg["params"][0] == "_Server") {
        serverMonitorId_ = msg["params"][1];
        json result = {
            {"Database",
             {{"00000000-0000-0000-0000-0000000000d1", {{"initial", json::parse(serverRow_)}}}}}};
        SendLocked(fd, json{{"id", id}, {"result", result}, {"error", nullptr}}.dump());
    } else if (method == "monitor_cond") {
        lastMonitorId_ = msg["params"][1];
        json result = json::parse(monitorResult_, nullptr, false);
        if (!monitorError_.empty()) {
            SendLocked(fd, json{{"id", id}, {"result", nullptr}, {"error", monitorError_}}.dump());
        } else if (result.is_discarded()) {
            SendLocked(fd, monitorResult_);
        } else if (monitorResultFirst_) {
            SendLocked(
                fd, R"({"result":)" + result.dump() + R"(,"error":null,"id":)" + id.dump() + "}");
        } else {
            SendLocked(fd, json{{"id", id}, {"result", result}, {"error", nullptr}}.dump());
        }
        ++monitorRequests_;
    } else if (method == "echo") {
        SendLocked(fd, json{{"id", id}, {"result", msg["params"]}, {"error", nullptr}}.dump());
    } else if (method == "transact") {
        // The texts go out as queued, so that a test may send what no server would.
        std::string result = "[]";
        std::string error = "null";
        if (!transactResults_.empty()) {
            if (transactResults_.front().second) {
                error = transactResults_.front().first;
                result = "null";
            } else {
                result = transactResults_.front().first;
            }
            transactResults_.pop_front();
        }
        ++transacts_;
        const std::string text =
            resultFirst_
                ? R"({"result":)" + result + R"(,"error":)" + error + R"(,"id":)" + id.dump() + "}"
                : R"({"error":)" + error + R"(,"id":)" + id.dump() + R"(,"result":)" + result + "}";
        size_t from = 0;
        if (holdAfter_ > 0 && holdAfter_ < text.size()) {
            SendLocked(fd, text.substr(0, holdAfter_));
            releasedCv_.wait(lock, [this] { return released_ || stop_; });
            from = holdAfter_;
            holdAfter_ = 0;
        }
        const size_t step = (text.size() - from + replyPieces_ - 1) / replyPieces_;
        for (size_t off = from; off < text.size(); off += step) {
            if (off != from)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            SendLocked(fd, text.substr(off, step));
        }
    } else {
        SendLocked(fd, json{{"id", id}, {"result", json::array()}, {"error", nullptr}}.dump());
    }
}

}  // namespace CfgAgent::test
