#pragma once
// The whole system for integration tests: a private cairndb (ovsdb-server), the dataplane emulator
// and the agent, all in one temporary host root, on free ports. Tests apply objects with cairnctl,
// drive the emulator and the agent through ovs-appctl, and await conditions on either. When the
// test has failed, the destructor prints the tail of every process log.
//
//   AgentSystem sys;
//   ASSERT_TRUE(sys.Start());
//   ASSERT_TRUE(sys.Apply(R"({"LOG_SWITCH_CONFIG": [{"id": "...", "vni": 5001}]})"));
//   ASSERT_TRUE(sys.AwaitEmu("kcp", [](const nlohmann::json& d) { return d["ports"].size() == 1;
//   }));
//
// Several nodes on one database (a SmartNIC host and its SmartNICs): the single-node calls act on
// the first node (Host()); AddNode() adds another with its own host root, emulator and agent.
//
//   AgentSystem sys(HostOptions());
//   AgentNode& sn = sys.AddNode("sn-a", SmartNicOptions("sn-a"));
//   ASSERT_TRUE(sys.Db().Start() && sys.Host().Start() && sn.Start());
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "tests/support/AgentNode.h"
#include "tests/support/CairndbCluster.h"
#include "tests/support/CairndbServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace CfgAgent::test {

class AgentSystem {
  public:
    explicit AgentSystem(AgentSystemOptions options = {});
    ~AgentSystem();
    AgentSystem(const AgentSystem&) = delete;
    AgentSystem& operator=(const AgentSystem&) = delete;

    // Database, emulator, agent, each awaited ready.
    bool Start();

    CairndbServer& Db() { return *db_; }
    // Null unless the options asked for a clustered database.
    CairndbCluster* Cluster() { return cluster_.get(); }
    // The database endpoint every node's programs get.
    std::string Endpoint() const;

    // The first node (on the system's root) and the nodes added to it, in order.
    AgentNode& Host() { return *nodes_.front(); }
    // A node with its own host root on the system's database; nothing started. Stopped (agent,
    // then emulator) before the first node and the database.
    AgentNode& AddNode(const std::string& name, AgentSystemOptions options);
    AgentNode& Node(size_t index) { return *nodes_.at(index); }

    // ---- the first node ----
    bool StartEmulator() { return Host().StartEmulator(); }
    void StopEmulator() { Host().StopEmulator(); }
    bool StartAgent(bool awaitReady = true) { return Host().StartAgent(awaitReady); }
    void SetAgentLogLevel(int level) { Host().SetAgentLogLevel(level); }
    int StopAgent() { return Host().StopAgent(); }
    ChildProcess* Agent() { return Host().Agent(); }
    ChildProcess* Emulator() { return Host().Emulator(); }

    const std::string& Root() const { return root_.path(); }
    std::string AgentSocket() const { return nodes_.front()->AgentSocket(); }
    std::string EmulatorSocket() const { return nodes_.front()->EmulatorSocket(); }
    std::map<std::string, std::string> Env() const { return nodes_.front()->Env(); }

    // cairnctl with the database endpoint.
    RunResult Cairnctl(const std::vector<std::string>& args);
    // Applies a JSON document of objects as one transaction.
    bool Apply(const std::string& json);
    // `cairnctl [--vdb VDB] get TYPE [ID]`, parsed; null on failure. Vdb 0: cairnctl's default.
    nlohmann::json Get(const std::string& type, const std::string& id = std::string(),
                       uint16_t vdb = 0);

    RunResult AgentCtl(const std::vector<std::string>& args) { return Host().AgentCtl(args); }
    nlohmann::json AgentJson(const std::vector<std::string>& args);
    RunResult EmuCtl(const std::vector<std::string>& args) { return Host().EmuCtl(args); }
    nlohmann::json EmuDump(const std::string& family);
    bool AwaitEmu(const std::string& family, const std::function<bool(const nlohmann::json&)>& pred,
                  std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        return Host().AwaitEmu(family, pred, timeout);
    }
    bool AwaitAgentJson(const std::vector<std::string>& args,
                        const std::function<bool(const nlohmann::json&)>& pred) {
        return Host().AwaitAgentJson(args, pred);
    }
    bool AwaitAgentLog(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(60),
                       size_t from = 0) {
        return Host().AwaitAgentLog(text, timeout, from);
    }
    size_t AgentLogSize() const { return nodes_.front()->AgentLogSize(); }

    // Prints the tail of each process log to standard error.
    void DumpLogs() const;

  private:
    AgentSystemOptions options_;
    TempDir root_{"ozy-system"};
    std::unique_ptr<CairndbServer> db_;
    std::unique_ptr<CairndbCluster> cluster_;
    std::vector<std::unique_ptr<AgentNode>> nodes_;
};

}  // namespace CfgAgent::test
