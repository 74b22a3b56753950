#pragma once
// The local command-line server: diagnostic and tuning commands over the unixctl socket
// "/var/run/orvane/ozy-cfgagent/cfgagent-cli" (under the host root), spoken to with
// `ovs-appctl -t SOCKET COMMAND ARGS`.
//
// Start() registers every command (name, usage, argument range, enforced by the unixctl layer
// before a handler runs), creates the socket and starts the server thread; all handlers run on
// that thread, one request at a time, and reply exactly once, except the pages that wait on an
// outside process (CliPages::Mode::kDeferred): those run on the server's worker thread (CliWorker)
// and reply when done, while the server thread answers other commands. Handlers that read agent
// state take the global agent lock while they build the reply. Applications that are not enabled
// leave their commands of the fixed table registered; those answer as the application's absence
// requires. Running applications answer them, and add commands of their own, through their pages
// (CliPages.h). Stop() ends the thread (waking it through its own socket) and joins it, then
// the worker.
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli/CliPages.h"
#include "cli/CliWorker.h"
#include "runtime/RefCounted.h"
#include "statecache/StateCache.h"

namespace ozy::unixctl {
class Connection;
class Server;
}  // namespace ozy::unixctl

namespace CfgAgent {

// What the start-up wiring hands the CLI server: the state it reads and the pages of the
// applications that run (CliPages.h).
struct CliContext {
    // The state cache that the dumps and queries read (absent only in tests of other commands:
    // those commands then answer "State cache is not available").
    ozy::RefPtr<StateCache> stateCache;
    // Commands and out-of-sync reactions of the running applications. A page named like a command
    // of the fixed table answers it (state-cache dumps included: the configuration application
    // answers "cfgagent/config/uplink", ".../conduitkrn" and ".../ciflist").
    CliPages pages;
};

class CliServer : public ozy::RefCounted<CliServer> {
  public:
    static constexpr const char* kSocketPath = "/var/run/orvane/ozy-cfgagent/cfgagent-cli";

    // `socketPath` is the path to open (default: the fixed path under the host root).
    explicit CliServer(CliContext context, std::string socketPath = std::string());
    ~CliServer() override;

    // False (and "Cannot create ozy-cfgagent unixctl server: %1", LCP00701) when the socket
    // cannot be created; the agent then runs without a CLI.
    bool Start();
    void Stop();
    bool running() const { return running_.load(); }
    const std::string& socketPath() const { return socketPath_; }

    // The one way handlers answer.
    virtual void Reply(ozy::unixctl::Connection& conn, const std::string& text);

  private:
    using Args = std::vector<std::string>;
    using Handler = std::function<void(ozy::unixctl::Connection&, const Args&)>;

    // Registers a command whose handler runs under the global agent lock; an exception it throws
    // is logged ("failed to process command", LCP00703) and answered with an error reply.
    // `locked`: the handler runs under the global agent lock (pages added unlocked do not).
    void Register(const char* name, const char* usage, int minArgs, int maxArgs, Handler handler,
                  bool locked = true);
    bool PageUnlocked(const std::string& name) const;
    void RegisterAll();
    void RegisterStateCacheDumps();
    void RegisterDumps();
    void RegisterLogLevelCommands();
    void RegisterApplicationCommands();
    void RegisterStateCacheQueries();
    // The applications' own commands (pages not named like a command of the fixed table).
    void RegisterPages();
    void ServerLoop();

    // Log levels and tracing (CliLogCommands.cc).
    void SetLevel(ozy::unixctl::Connection& conn, const Args& args, const std::string& family);
    void GetLevel(ozy::unixctl::Connection& conn, const Args& args, const std::string& family);
    void SetTraceLevel(ozy::unixctl::Connection& conn, const Args& args);
    void GetTraceLevel(ozy::unixctl::Connection& conn, const Args& args);
    void GetWftStats(ozy::unixctl::Connection& conn, const Args& args);
    // Simulation.
    void SimulateOutOfSync(ozy::unixctl::Connection& conn, const Args& args);
    // State-cache dumps and queries (CliCacheCommands.cc): `view` builds the answer from the cache;
    // an application dump registered under the same name takes precedence.
    using CacheView = std::function<bool(const StateCache&, const Args&, std::string*)>;
    void CacheCommand(ozy::unixctl::Connection& conn, const Args& args, const std::string& name,
                      const CacheView& view);
    void RegisterCacheCommand(const char* name, int minArgs, int maxArgs, CacheView view);
    // Answers through the application's page of that name; false when there is none.
    bool AnswerFromPage(ozy::unixctl::Connection& conn, const Args& args, const std::string& name);
    // Runs a deferred page on the worker; its reply follows when the page returns.
    void AnswerOnWorker(ozy::unixctl::Connection& conn, const Args& args, const std::string& name,
                        const CliPages::Page& page);
    // Application dumps: the page, or the absent application's error reply.
    void AppDump(ozy::unixctl::Connection& conn, const Args& args, const std::string& name);

    CliContext context_;
    std::string socketPath_;
    std::mutex serverMutex_;  // the server thread destroys the server; Stop() wakes it
    std::unique_ptr<ozy::unixctl::Server> server_;
    std::set<std::string> registered_;  // command names, so that pages do not register twice
    std::atomic<bool> running_{false};
    std::thread thread_;
    CliWorker worker_;
};

}  // namespace CfgAgent
