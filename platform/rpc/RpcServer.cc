#include "platform/rpc/RpcServer.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>
#include <set>
#include <stdexcept>

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <nlohmann/json.hpp>

#include "platform/FdReserve.h"
#include "platform/LibraryLogLevels.h"
#include "platform/jsonrpc/MessageFramer.h"
#include "runtime/AgentClock.h"
#include "runtime/IoContexts.h"
#include "runtime/LogRateLimit.h"
#include "runtime/Logger.h"

namespace ozy::rpc {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using json = nlohmann::json;

#define RPC_LOG(lvl, ...) CFG_LOG_AT(::ozy::rpc::library_log_level, lvl, {}, __VA_ARGS__)

bool ParseTcpUrl(const std::string& url, std::string& host, int& port) {
    const std::string prefix = "tcp://";
    if (url.compare(0, prefix.size(), prefix) != 0)
        return false;
    std::string rest = url.substr(prefix.size());
    size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    host = rest.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    std::string p = rest.substr(colon + 1);
    if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::stoi(p);
    return port >= 0 && port <= 65535;
}

namespace {

constexpr size_t kMaxRequest = 64 * 1024;
// After a failed accept (descriptors exhausted, most often), accepting resumes after this wait,
// doubled at each further failure up to kMaxAcceptBackoff: a failing accept must not spin.
constexpr std::chrono::milliseconds kFirstAcceptBackoff{100};
constexpr std::chrono::milliseconds kMaxAcceptBackoff{3200};

using Timer = asio::basic_waitable_timer<CfgAgent::AgentClock, CfgAgent::AgentWaitTraits>;

struct ServerState;

// One client connection: reads requests, answers each in order; closed when idle for the
// server's idle timeout.
struct Connection : std::enable_shared_from_this<Connection> {
    Connection(tcp::socket s, std::shared_ptr<ServerState> st);
    void Start();
    void ReadMore();
    void Handle(const std::string& text);
    void Send(std::string text);
    void WriteNext();
    void Close();
    // (Re)arms the idle timer: called on every read and write.
    void Touch();

    tcp::socket socket;
    std::shared_ptr<ServerState> state;
    Timer idle;
    jsonrpc::MessageFramer framer{kMaxRequest};
    char buffer[4096];
    std::deque<std::string> outbox;
    bool writing = false;
};

struct ServerState : std::enable_shared_from_this<ServerState> {
    explicit ServerState(asio::io_context& io, const ConnectionLimits& l)
        : acceptor(io), backoff(io), limits(l) {}
    void Accept();
    void Refuse(tcp::socket& s, const char* why);

    std::mutex mutex;  // guards the acceptor, the connection set and every socket operation
    tcp::acceptor acceptor;
    Timer backoff;
    std::chrono::milliseconds backoffDelay{0};
    ConnectionLimits limits;
    CfgAgent::LogRateLimit refusedLog{std::chrono::seconds(10)};
    CfgAgent::LogRateLimit acceptFailedLog{std::chrono::seconds(10)};
    std::set<std::shared_ptr<Connection>> connections;
    std::vector<IService*> services;
    bool shutdown = false;
};

void ServerState::Refuse(tcp::socket& s, const char* why) {
    boost::system::error_code ignored;
    s.close(ignored);
    uint64_t count = 0;
    if (refusedLog.Allow(&count)) {
        RPC_LOG(CfgAgent::kLogWarn, "rpc: %1 connection(s) refused: %2", count, why);
    }
}

void ServerState::Accept() {
    auto self = shared_from_this();
    acceptor.async_accept([self](const boost::system::error_code& ec, tcp::socket s) {
        std::lock_guard<std::mutex> lock(self->mutex);
        if (self->shutdown)
            return;
        if (ec) {
            if (ec == asio::error::operation_aborted)
                return;
            // Most often the descriptors ran out: wait before the next try instead of spinning.
            self->backoffDelay = self->backoffDelay.count() == 0
                                     ? kFirstAcceptBackoff
                                     : std::min(self->backoffDelay * 2, kMaxAcceptBackoff);
            uint64_t count = 0;
            if (self->acceptFailedLog.Allow(&count)) {
                RPC_LOG(CfgAgent::kLogWarn, "rpc: accept failed %1 time(s): %2; next try in %3 ms",
                        count, ec.message(), self->backoffDelay.count());
            }
            self->backoff.expires_after(self->backoffDelay);
            self->backoff.async_wait([self](const boost::system::error_code& e) {
                std::lock_guard<std::mutex> lock(self->mutex);
                if (!e && !self->shutdown)
                    self->Accept();
            });
            return;
        }
        self->backoffDelay = std::chrono::milliseconds(0);
        if (self->connections.size() >= self->limits.maxConnections) {
            self->Refuse(s, "too many connections open");
        } else if (FdInReserve(s.native_handle())) {
            self->Refuse(s, "descriptors kept for the agent's own links");
        } else {
            auto conn = std::make_shared<Connection>(std::move(s), self);
            self->connections.insert(conn);
            conn->Start();
        }
        self->Accept();
    });
}

Connection::Connection(tcp::socket s, std::shared_ptr<ServerState> st)
    : socket(std::move(s)), state(std::move(st)), idle(socket.get_executor()) {}

void Connection::Start() {
    Touch();
    ReadMore();
}

void Connection::Touch() {
    idle.expires_after(state->limits.idleTimeout);
    std::weak_ptr<Connection> weak = shared_from_this();
    idle.async_wait([weak](const boost::system::error_code& ec) {
        auto self = weak.lock();
        if (ec || !self)
            return;
        std::lock_guard<std::mutex> lock(self->state->mutex);
        if (self->state->shutdown || !self->socket.is_open())
            return;
        // Re-armed since (expires_after cancels the wait, but a completion may be queued).
        if (self->idle.expiry() > CfgAgent::AgentClock::now())
            return;
        RPC_LOG(CfgAgent::kLogDebug, "rpc: closing a connection idle for %1 s",
                std::chrono::duration_cast<std::chrono::seconds>(self->state->limits.idleTimeout)
                    .count());
        self->Close();
    });
}

void Connection::ReadMore() {
    auto self = shared_from_this();
    socket.async_read_some(
        asio::buffer(buffer), [self](const boost::system::error_code& ec, size_t n) {
            std::vector<std::string> messages;
            {
                std::lock_guard<std::mutex> lock(self->state->mutex);
                if (self->state->shutdown)
                    return;
                if (ec) {
                    self->Close();
                    return;
                }
                self->Touch();
                self->framer.Append(self->buffer, n);
                for (;;) {
                    std::string message;
                    jsonrpc::MessageFramer::Status st = self->framer.Next(&message);
                    if (st == jsonrpc::MessageFramer::Status::kMessage) {
                        messages.push_back(std::move(message));
                        continue;
                    }
                    if (st != jsonrpc::MessageFramer::Status::kNeedMore) {
                        RPC_LOG(CfgAgent::kLogWarn, "rpc: %1, closing connection",
                                jsonrpc::MessageFramer::StatusText(st));
                        self->Close();
                        return;
                    }
                    break;
                }
            }
            for (const auto& m : messages)
                self->Handle(m);
            std::lock_guard<std::mutex> lock(self->state->mutex);
            if (!self->state->shutdown && self->socket.is_open())
                self->ReadMore();
        });
}

void Connection::Handle(const std::string& text) {
    json reply = {{"result", nullptr}, {"error", nullptr}, {"id", nullptr}};
    json req = json::parse(text, nullptr, false);
    if (req.is_discarded() || !req.is_object() || !req.contains("method") ||
        !req["method"].is_string()) {
        reply["error"] = "invalid request";
        Send(reply.dump());
        return;
    }
    if (req.contains("id"))
        reply["id"] = req["id"];
    std::string method = req["method"].get<std::string>();
    std::string params = req.contains("params") ? req["params"].dump() : "[]";
    IService* target = nullptr;
    for (IService* s : state->services) {
        if (s->Handles(method)) {
            target = s;
            break;
        }
    }
    if (target == nullptr) {
        reply["error"] = "unknown method: " + method;
    } else {
        std::string result, error;
        bool ok = false;
        try {
            ok = target->Call(method, params, result, error);
        } catch (const std::exception& e) {
            error = e.what();
        }
        if (ok) {
            json r = json::parse(result, nullptr, false);
            reply["result"] = r.is_discarded() ? json(result) : r;
        } else {
            reply["error"] = error.empty() ? std::string("failed") : error;
        }
    }
    Send(reply.dump());
}

void Connection::Send(std::string text) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->shutdown || !socket.is_open())
        return;
    outbox.push_back(std::move(text));
    if (!writing)
        WriteNext();
}

void Connection::WriteNext() {
    if (outbox.empty()) {
        writing = false;
        return;
    }
    writing = true;
    auto self = shared_from_this();
    asio::async_write(socket, asio::buffer(outbox.front()),
                      [self](const boost::system::error_code& ec, size_t) {
                          std::lock_guard<std::mutex> lock(self->state->mutex);
                          if (self->state->shutdown)
                              return;
                          self->outbox.pop_front();
                          if (ec) {
                              self->Close();
                              return;
                          }
                          self->Touch();
                          self->WriteNext();
                      });
}

void Connection::Close() {
    boost::system::error_code ignored;
    socket.close(ignored);
    idle.cancel();
    state->connections.erase(shared_from_this());
}

class TcpServer : public Server {
  public:
    explicit TcpServer(std::shared_ptr<ServerState> st) : state_(std::move(st)) {}
    ~TcpServer() override { Shutdown(); }

    std::string BoundEndpoint() const override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        boost::system::error_code ec;
        auto ep = state_->acceptor.local_endpoint(ec);
        if (ec)
            return {};
        return "tcp://" + ep.address().to_string() + ":" + std::to_string(ep.port());
    }

    size_t ConnectionCount() const override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->connections.size();
    }

    void Shutdown() override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->shutdown)
            return;
        state_->shutdown = true;
        boost::system::error_code ignored;
        state_->acceptor.close(ignored);
        state_->backoff.cancel();
        for (auto& c : state_->connections) {
            c->socket.close(ignored);
            c->idle.cancel();
        }
        state_->connections.clear();
    }

  private:
    std::shared_ptr<ServerState> state_;
};

}  // namespace

ServerBuilder& ServerBuilder::AddListeningEndpoint(const std::string& url) {
    endpoints_.push_back(url);
    return *this;
}

ServerBuilder& ServerBuilder::SetConnectionLimits(const ConnectionLimits& limits) {
    limits_ = limits;
    return *this;
}

ServerBuilder& ServerBuilder::AddLocalEndpointId(const std::string& id) {
    localId_ = id;
    return *this;
}

ServerBuilder& ServerBuilder::RegisterService(IService* service,
                                              const ServiceOptions& /*options*/) {
    services_.push_back(service);
    return *this;
}

std::unique_ptr<Server> ServerBuilder::BuildStarted() {
    if (endpoints_.empty())
        throw std::runtime_error("rpc: no listening endpoint");
    std::string host;
    int port = 0;
    if (!ParseTcpUrl(endpoints_.front(), host, port)) {
        throw std::runtime_error("rpc: bad endpoint " + endpoints_.front());
    }
    auto state = std::make_shared<ServerState>(CfgAgent::IoContext(), limits_);
    state->services = services_;
    boost::system::error_code ec;
    auto address = asio::ip::make_address(host, ec);
    if (ec)
        throw std::runtime_error("rpc: bad address " + host);
    tcp::endpoint ep(address, static_cast<unsigned short>(port));
    state->acceptor.open(ep.protocol(), ec);
    if (!ec)
        state->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        state->acceptor.bind(ep, ec);
    if (!ec)
        state->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        throw std::runtime_error("rpc: cannot listen on " + endpoints_.front() + ": " +
                                 ec.message());
    }
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->Accept();
    }
    RPC_LOG(CfgAgent::kLogDebug, "rpc: server %1 listening on %2", localId_, endpoints_.front());
    return std::make_unique<TcpServer>(state);
}

bool CallOnce(const std::string& url, const std::string& method, const std::string& paramsJson,
              std::string& resultJson, std::string& error, int timeoutMs) {
    std::string host;
    int port = 0;
    if (!ParseTcpUrl(url, host, port)) {
        error = "bad endpoint";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0 ||
        res == nullptr) {
        error = "cannot resolve " + host;
        return false;
    }
    int fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool connected = fd >= 0 && connect(fd, res->ai_addr, res->ai_addrlen) == 0;
    freeaddrinfo(res);
    if (!connected) {
        if (fd >= 0)
            close(fd);
        error = "cannot connect to " + url;
        return false;
    }
    json req = {{"method", method}, {"params", json::parse(paramsJson, nullptr, false)}, {"id", 1}};
    if (req["params"].is_discarded())
        req["params"] = json::array();
    std::string out = req.dump();
    size_t sent = 0;
    while (sent < out.size()) {
        ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            close(fd);
            error = "send failed";
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    jsonrpc::MessageFramer framer(kMaxRequest);
    std::string reply;
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) {
            close(fd);
            error = "timeout";
            return false;
        }
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            close(fd);
            error = "connection closed";
            return false;
        }
        framer.Append(buf, static_cast<size_t>(n));
        jsonrpc::MessageFramer::Status st = framer.Next(&reply);
        if (st == jsonrpc::MessageFramer::Status::kMessage)
            break;
        if (st != jsonrpc::MessageFramer::Status::kNeedMore) {
            close(fd);
            error = "malformed reply";
            return false;
        }
    }
    close(fd);
    json parsed = json::parse(reply, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        error = "malformed reply";
        return false;
    }
    if (parsed.contains("error") && !parsed["error"].is_null()) {
        error = parsed["error"].is_string() ? parsed["error"].get<std::string>()
                                            : parsed["error"].dump();
        return false;
    }
    resultJson = parsed.contains("result") ? parsed["result"].dump() : "null";
    return true;
}

}  // namespace ozy::rpc
