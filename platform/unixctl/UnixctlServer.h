#pragma once
// The server side of the unixctl protocol (JSON-RPC 1.0 over a Unix stream socket), as spoken by
// ovs-appctl: request {"method": name, "params": [strings], "id": id}, reply
// {"result": text or null, "error": null or text, "id": id}.
//
// Commands are registered with a usage text and an argument-count range, which the server enforces
// before any handler runs. "list-commands" and "help" are built in. Handlers run on the thread that
// calls Run() and reply exactly once through their Connection (or its deferred handle).
//
// Threading: one thread drives Run()/Wait(); Wake() may be called from any thread. A handler may
// register commands but must not call Run() or Wait() or destroy the server.
//
// Replies: a handler must reply or defer before it returns (the Connection lives only for the
// call). A handler that returns without either gets the error reply "\"NAME\" command did not
// reply" sent for it, and one that throws gets "\"NAME\" command failed"; both are logged and the
// server carries on: exceptions never leave Run() (std::bad_alloc ends the process, as everywhere).
// A reply text that does not end in a newline gets one, as Open vSwitch does. A second reply is
// dropped with a log line.
//
// Deferred replies: a handler that must wait for something slow calls Defer() and returns; the
// handle it gets answers later, from any thread, and the server writes that reply on its own thread
// (woken for it). Meanwhile the server serves every other connection; the deferring connection
// reads no further request until its reply is written and is not closed as idle, but a client
// that hangs up is closed (the late reply is then dropped). A handle released without an answer
// answers "\"NAME\" command did not reply" for it.
//
// Bad input (malformed JSON, not an object, no string method, params not an array, no id, nesting
// deeper than 32, a request above kMaxRequestBytes) closes that connection with a log line; the
// other clients are not affected. Each connection handles one request at a time: the next request
// is read once the previous reply has been written, so a client that does not read its replies only
// stalls itself.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ozy::unixctl {

// Largest request accepted (bytes of one JSON message).
constexpr size_t kMaxRequestBytes = 1024 * 1024;
// Connections beyond this many are closed as soon as they are accepted (refusals are logged at most
// once per 10 seconds, with their count), and so are those whose descriptor falls into the
// process's reserve (platform/FdReserve.h).
constexpr size_t kMaxConnections = 512;
// A connection that neither sends nor takes anything for this long (AgentClock) is closed, so
// that idle clients cannot hold the connections ovs-appctl needs.
constexpr std::chrono::seconds kIdleTimeout{30};

// The answer to one deferred request. The first answer counts; later ones are dropped with a log
// line. Any thread; the handle may outlive the connection and the server (its answer then goes
// nowhere).
class DeferredReply {
  public:
    virtual ~DeferredReply() = default;
    virtual void Reply(const std::string& text) = 0;
    virtual void ReplyError(const std::string& text) = 0;
};

class Connection {
  public:
    virtual ~Connection() = default;
    virtual void Reply(const std::string& text) = 0;
    virtual void ReplyError(const std::string& text) = 0;
    // Hands the reply to the returned handle (see the top of this file); a reply given here
    // before or after counts as a second reply. Only on the server's thread, during the handler.
    virtual std::shared_ptr<DeferredReply> Defer() = 0;
};

using Handler = std::function<void(Connection& conn, const std::vector<std::string>& args)>;

class Server {
  public:
    // Creates the listening socket at `path` (a stale socket file is replaced; the socket is not
    // world-accessible). Returns 0 and the server, or an errno value: ENAMETOOLONG when the path
    // does not fit a Unix socket address, EADDRINUSE when a live server answers at `path`, EEXIST
    // when `path` exists and is not a socket, or the error of socket(), bind() or listen().
    static int Create(const std::string& path, std::unique_ptr<Server>* out);
    // Closes every connection and removes the socket file (unless another server replaced it).
    virtual ~Server() = default;

    // A name registered twice, or with a bad range (minArgs < 0, maxArgs < minArgs), keeps the
    // first registration and logs. May be called from any thread, also while Run() is active.
    virtual void RegisterCommand(const std::string& name, const std::string& usage, int minArgs,
                                 int maxArgs, Handler handler) = 0;
    // Accepts connections and answers every complete pending request; never blocks.
    virtual void Run() = 0;
    // Blocks until a socket has activity, Wake() is called, or `timeoutMs` passes (-1: no limit).
    // Returns at once when Run() left work undone (many pipelined requests on one connection).
    virtual void Wait(int timeoutMs = -1) = 0;
    virtual void Wake() = 0;
    virtual const std::string& Path() const = 0;
    // Open client connections (any thread; for tests and diagnostics).
    virtual size_t ConnectionCount() const = 0;
};

}  // namespace ozy::unixctl
