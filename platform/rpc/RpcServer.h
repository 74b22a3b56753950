#pragma once
// A small JSON-RPC 1.0 server over TCP for the agent's own RPC services (the daemon-health
// service). Requests {"method", "params", "id"} are answered with {"result", "error", "id"};
// services see parameters and results as JSON text, so this header stays free of JSON and Asio.
//
// The server runs on the process io context (CfgAgent::IoContext()); the listening socket is
// bound when the server is built, so a port in use is reported at start-up.
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace ozy::rpc {

class IService {
  public:
    virtual ~IService() = default;
    virtual bool Handles(const std::string& method) const = 0;
    // Fills `resultJson` (a JSON value) and returns true, or sets `error` and returns false.
    virtual bool Call(const std::string& method, const std::string& paramsJson,
                      std::string& resultJson, std::string& error) = 0;
};

// What a local peer may hold of the server: connections beyond maxConnections are closed at once,
// and a connection that neither sends nor receives for idleTimeout (AgentClock) is closed.
// Refusals and failing accepts are logged at most once per 10 seconds, with their count; a failing
// accept (descriptors exhausted) is retried after a growing wait. Connections whose descriptor
// falls into the process's reserve (platform/FdReserve.h) are refused as well.
struct ConnectionLimits {
    size_t maxConnections = 32;
    std::chrono::milliseconds idleTimeout{30000};
};

struct ServiceOptions {
    int flags = 1;
    int reserved[3] = {0, 0, 0};
};

class Server {
  public:
    virtual ~Server() = default;
    // "tcp://ADDRESS:PORT" as bound (the real port when 0 was asked for).
    virtual std::string BoundEndpoint() const = 0;
    // Closes the listener and every connection; idempotent.
    virtual void Shutdown() = 0;
    // Client connections open now (any thread; tests and diagnostics).
    virtual size_t ConnectionCount() const = 0;
};

class ServerBuilder {
  public:
    ServerBuilder& AddListeningEndpoint(const std::string& url);
    ServerBuilder& AddLocalEndpointId(const std::string& id);
    ServerBuilder& SetConnectionLimits(const ConnectionLimits& limits);
    // The service must outlive the server.
    ServerBuilder& RegisterService(IService* service, const ServiceOptions& options);
    // Binds and starts accepting; throws std::runtime_error when the endpoint is unusable.
    std::unique_ptr<Server> BuildStarted();

  private:
    std::vector<std::string> endpoints_;
    std::string localId_;
    std::vector<IService*> services_;
    ConnectionLimits limits_;
};

// Hands out server builders; the platform provider owns one.
class RpcFactory {
  public:
    ServerBuilder NewServerBuilder() { return ServerBuilder(); }
};

// One synchronous call to a JSON-RPC 1.0 server over TCP (tools and tests). Returns false with
// `error` set on a transport failure or an error reply.
bool CallOnce(const std::string& url, const std::string& method, const std::string& paramsJson,
              std::string& resultJson, std::string& error, int timeoutMs = 5000);

// Splits "tcp://HOST:PORT"; false when malformed.
bool ParseTcpUrl(const std::string& url, std::string& host, int& port);

}  // namespace ozy::rpc
