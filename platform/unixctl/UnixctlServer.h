#pragma once
// The server side of the unixctl protocol (JSON-RPC 1.0 over a Unix stream socket), as spoken by
// ovs-appctl: request {"method": name, "params": [strings], "id": id}, reply
// {"result": text or null, "error": null or text, "id": id}.
//
// Commands are registered with a usage text and an argument-count range, which the server enforces
// before any handler runs. "list-commands" and "help" are built in. Handlers run on the thread that
// calls Run() and reply exactly once through their Connection.
//
// Threading: one thread drives Run()/Wait(); Wake() may be called from any thread.
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ozy::unixctl {

class Connection {
  public:
    virtual ~Connection() = default;
    virtual void Reply(const std::string& text) = 0;
    virtual void ReplyError(const std::string& text) = 0;
};

using Handler = std::function<void(Connection& conn, const std::vector<std::string>& args)>;

class Server {
  public:
    // Creates the listening socket at `path` (a stale socket file is replaced; the socket is not
    // world-accessible). Returns 0 and the server, or an errno value.
    static int Create(const std::string& path, std::unique_ptr<Server>* out);
    virtual ~Server() = default;

    virtual void RegisterCommand(const std::string& name, const std::string& usage, int minArgs,
                                 int maxArgs, Handler handler) = 0;
    // Accepts connections and answers every complete pending request; never blocks.
    virtual void Run() = 0;
    // Blocks until a socket has activity, Wake() is called, or `timeoutMs` passes (-1: no limit).
    virtual void Wait(int timeoutMs = -1) = 0;
    virtual void Wake() = 0;
    virtual const std::string& Path() const = 0;
};

}  // namespace ozy::unixctl
