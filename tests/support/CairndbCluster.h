#pragma once
// A clustered cairndb (Raft) of three members for integration tests, each a CairndbServer in its
// own directory, on free loopback ports. Members are numbered 0..2; each can be killed, stopped,
// started again and frozen, and reports its view of the cluster from its `_Server` database.
//
//   CairndbCluster cluster;
//   ASSERT_TRUE(cluster.Start());
//   client = CairnDbClient("t", ozy::net::Endpoint(cluster.Endpoint()), io);
//   cluster.member(cluster.Leader()).Kill();
//   cluster.Transact(1, R"([{"op":"insert","table":"LOG_SWITCH_CONFIG","row":{...}}])");
#include <memory>
#include <string>
#include <vector>

#include "tests/support/CairndbServer.h"
#include "tests/support/TempDir.h"

namespace CfgAgent::test {

class CairndbCluster {
  public:
    static constexpr int kMembers = 3;

    // Members' files under a new temporary directory, or under `dir` (which must exist).
    CairndbCluster();
    explicit CairndbCluster(const std::string& dir);
    ~CairndbCluster();
    CairndbCluster(const CairndbCluster&) = delete;
    CairndbCluster& operator=(const CairndbCluster&) = delete;

    // Creates the members' files on first use, starts every member that is not running and waits
    // until each running member reports the database connected to the cluster.
    bool Start();
    void Stop();

    CairndbServer& member(int i) { return *members_.at(static_cast<size_t>(i)); }
    // "tcp://127.0.0.1:P0,tcp://127.0.0.1:P1,tcp://127.0.0.1:P2", as the client library takes it.
    std::string Endpoint() const;
    // The member whose client port is in `endpoint` ("tcp://127.0.0.1:PORT"), -1 for none.
    int MemberOf(const std::string& endpoint) const;

    // A running, not frozen member's view of the cairndb database in its `_Server` database.
    struct View {
        bool answered = false;
        bool connected = false;
        bool leader = false;
    };
    View Ask(int i);
    // The member that reports itself leader (awaited), -1 when none does.
    int Leader();
    // Awaits member `i` reporting the database connected to the cluster.
    bool AwaitConnected(int i);
    // `ovsdb-client transact` through member `i`.
    RunResult Transact(int i, const std::string& operationsJson);

  private:
    std::unique_ptr<TempDir> tempDir_;
    std::string dir_;
    std::vector<std::unique_ptr<CairndbServer>> members_;
};

}  // namespace CfgAgent::test
