#pragma once
// A private cairndb database server for integration tests: creates the database file from the
// generated schema with ovsdb-tool and runs Debian's ovsdb-server on a free loopback port inside a
// temporary directory. It can be stopped, killed and started again on the same port and file (for
// reconnection tests). The destructor kills what still runs. As a member of a clustered database
// (see CairndbCluster.h) it creates its file with `ovsdb-tool create-cluster` or `join-cluster`
// and can be frozen (SIGSTOP) and thawed (SIGCONT).
//
//   CairndbServer db;
//   ASSERT_TRUE(db.Start());
//   client = CairnDbClient("t", ozy::net::Endpoint(db.Endpoint()), io);
//   db.Transact(R"([{"op":"insert","table":"LOG_SWITCH_CONFIG","row":{...}}])");
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace CfgAgent::test {

class CairndbServer {
  public:
    // Files go to a new temporary directory, or to `dir` when given (which must exist).
    CairndbServer();
    explicit CairndbServer(const std::string& dir);
    ~CairndbServer();
    CairndbServer(const CairndbServer&) = delete;
    CairndbServer& operator=(const CairndbServer&) = delete;

    // Makes this server a member of a clustered database before its first start: clients on
    // `port`, Raft between members on `raftPort`; `joinRaftPort` is the Raft port of a member
    // already in the cluster, 0 for the member that creates the cluster.
    void SetClusterMember(int port, int raftPort, int joinRaftPort);
    // The server's inactivity probe of its clients, in milliseconds (0: none), instead of its
    // default of 5 s; applies from the next start. The listening remote is then read from a small
    // database of its own (a plain --remote cannot carry the setting). A server busy for seconds
    // with a large commit otherwise drops the clients it was too busy to hear from (benchmarks).
    void SetInactivityProbe(int ms) { inactivityProbeMs_ = ms; }
    // Creates the database file on first use, starts ovsdb-server and waits until it accepts
    // connections. The first start picks a free port; later starts reuse it. False (with the
    // server's output in the test log) when the server does not come up.
    bool Start();
    // SIGTERM and wait for the exit.
    void Stop();
    // SIGKILL and wait for the exit (a crashed server).
    void Kill();
    // SIGSTOP / SIGCONT: a server that neither answers nor closes its connections.
    void Freeze();
    void Thaw();
    bool Frozen() const { return frozen_; }
    // Stop when running, then Start.
    bool Restart();
    bool Running();

    int port() const { return port_; }
    // The running server's process id; 0 when it does not run.
    pid_t pid() const { return server_ ? server_->pid() : 0; }
    // "tcp://127.0.0.1:PORT", as the client library takes it.
    std::string Endpoint() const;
    // "tcp:127.0.0.1:PORT", as ovsdb-client takes it.
    std::string OvsdbRemote() const;
    const std::string& dir() const { return dir_; }
    std::string dbFile() const { return dir_ + "/cairndb.db"; }
    // Runs `ops` (a JSON transaction, "cairndb" first) on the database file with ovsdb-tool while
    // the server is stopped. ovsdb-tool exits 0 even when an operation fails: the output tells.
    RunResult TransactOffline(const std::string& ops) const;
    std::string logFile() const { return dir_ + "/ovsdb-server.log"; }

    // `ovsdb-client transact` of a JSON array of operations on the cairndb database.
    RunResult Transact(const std::string& operationsJson) const;
    // `ovsdb-client ARGS...` (the caller names the remote, e.g. OvsdbRemote()).
    RunResult Client(const std::vector<std::string>& args) const;

    // The generated schema (build/share/cairndb.ovsschema next to the programs' directory).
    static std::string SchemaPath();

  private:
    bool CreateDatabase();
    // The remotes database holding the listening remote with the inactivity probe; false (with the
    // tool's output in the log) on failure.
    bool CreateRemotes(const std::string& target);
    // Runs ovsdb-tool with `args`; false (with its output in the log) when it fails.
    bool Tool(const std::vector<std::string>& args);
    bool Launch();

    std::unique_ptr<TempDir> tempDir_;
    std::string dir_;
    int port_ = 0;
    int starts_ = 0;
    int raftPort_ = 0;      // cluster member when not 0
    int joinRaftPort_ = 0;  // 0: creates the cluster
    bool frozen_ = false;
    int inactivityProbeMs_ = -1;  // -1: the server's default on a plain remote
    std::unique_ptr<ChildProcess> server_;
};

}  // namespace CfgAgent::test
