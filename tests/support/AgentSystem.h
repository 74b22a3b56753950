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
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "tests/support/CairndbCluster.h"
#include "tests/support/CairndbServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace CfgAgent::test {

struct AgentSystemOptions {
    // Applications enabled in the agent's configuration file ("config", "vxlan", ...).
    std::vector<std::string> apps = {"config"};
    // The whole configuration file instead of the generated one.
    std::string agentConfigXml;
    int agentLogLevel = 5;
    std::map<std::string, std::string> extraEnv;
    // The database as a three-member cluster (Cluster()) instead of one server (Db()).
    bool clusteredDb = false;
    // The generated file's cairndb probe interval in milliseconds; 0 leaves the key out.
    int cairndbProbeMs = 0;
};

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
    bool StartEmulator();
    void StopEmulator();
    // Awaits "Start-up complete" unless `awaitReady` is false (an agent whose log level hides it).
    bool StartAgent(bool awaitReady = true);
    // The log level of the agents started from now on.
    void SetAgentLogLevel(int level) { options_.agentLogLevel = level; }
    // SIGTERM, then the exit status (-1 when it did not exit).
    int StopAgent();
    ChildProcess* Agent() { return agent_.get(); }
    ChildProcess* Emulator() { return emulator_.get(); }

    const std::string& Root() const { return root_.path(); }
    std::string AgentSocket() const;
    std::string EmulatorSocket() const;
    // Environment the programs get (host root, database endpoint, health endpoint).
    std::map<std::string, std::string> Env() const;

    // cairnctl with the database endpoint.
    RunResult Cairnctl(const std::vector<std::string>& args);
    // Applies a JSON document of objects as one transaction.
    bool Apply(const std::string& json);
    // `cairnctl [--vdb VDB] get TYPE [ID]`, parsed; null on failure. Vdb 0: cairnctl's default.
    nlohmann::json Get(const std::string& type, const std::string& id = std::string(),
                       uint16_t vdb = 0);

    RunResult AgentCtl(const std::vector<std::string>& args);
    // The agent's reply as JSON; null on failure.
    nlohmann::json AgentJson(const std::vector<std::string>& args);
    RunResult EmuCtl(const std::vector<std::string>& args);
    // `dpemu/dump FAMILY`, parsed; null on failure.
    nlohmann::json EmuDump(const std::string& family);

    bool AwaitEmu(const std::string& family, const std::function<bool(const nlohmann::json&)>& pred,
                  std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Awaits an agent reply (JSON) that satisfies `pred`.
    bool AwaitAgentJson(const std::vector<std::string>& args,
                        const std::function<bool(const nlohmann::json&)>& pred);
    bool AwaitAgentLog(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(60),
                       size_t from = 0);
    // Size of the agent's log so far (an offset for AwaitAgentLog).
    size_t AgentLogSize() const;

    // Prints the tail of each process log to standard error.
    void DumpLogs() const;

  private:
    std::string WriteAgentConfig() const;

    AgentSystemOptions options_;
    TempDir root_{"ozy-system"};
    std::unique_ptr<CairndbServer> db_;
    std::unique_ptr<CairndbCluster> cluster_;
    std::unique_ptr<ChildProcess> emulator_;
    std::unique_ptr<ChildProcess> agent_;
    int agentStarts_ = 0;
    int emulatorStarts_ = 0;
};

}  // namespace CfgAgent::test
