#pragma once
// One node of an integration system: a host root with its own dataplane emulator and agent,
// connected to the system's database. AgentSystem owns its first node on its own root and may add
// more (a SmartNIC host and its SmartNICs share one database, each node with its own emulator and
// agent, persona and SmartNIC identity from its options' environment).
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace CfgAgent::test {

struct AgentSystemOptions {
    // Applications enabled in the agent's configuration file ("config", "vxlan", ...).
    std::vector<std::string> apps = {"config"};
    // The whole configuration file instead of the generated one.
    std::string agentConfigXml;
    int agentLogLevel = 5;
    // More elements of the generated file's log section (a library's level, say), as XML.
    std::string logXml;
    std::map<std::string, std::string> extraEnv;
    // The database as a three-member cluster (Cluster()) instead of one server (Db()).
    bool clusteredDb = false;
    // The generated file's cairndb probe interval in milliseconds; 0 leaves the key out.
    int cairndbProbeMs = 0;
    // The firewall's "default." keys in the generated file, as XML elements.
    std::string dfwDefaults = "<skip_ntp_check>true</skip_ntp_check>";
};

class AgentNode {
  public:
    // A node on `root` (a directory that outlives the node), or on a private temporary root when
    // `root` is empty. `endpoint` gives the database endpoint when a program starts.
    AgentNode(std::string name, AgentSystemOptions options, std::function<std::string()> endpoint,
              const std::string& root = std::string());
    ~AgentNode();
    AgentNode(const AgentNode&) = delete;
    AgentNode& operator=(const AgentNode&) = delete;

    // Emulator, then agent, each awaited ready.
    bool Start();
    bool StartEmulator();
    void StopEmulator();
    // Awaits "Start-up complete" unless `awaitReady` is false (an agent whose log level hides it).
    bool StartAgent(bool awaitReady = true);
    // SIGTERM, then the exit status (-1 when it did not exit).
    int StopAgent();
    // The log level of the agents started from now on.
    void SetAgentLogLevel(int level) { options_.agentLogLevel = level; }
    // The firewall's "default." keys of the agents started from now on.
    void SetDfwDefaults(const std::string& xml) { options_.dfwDefaults = xml; }
    ChildProcess* Agent() { return agent_.get(); }
    ChildProcess* Emulator() { return emulator_.get(); }

    const std::string& name() const { return name_; }
    const std::string& Root() const { return root_; }
    std::string AgentSocket() const;
    std::string EmulatorSocket() const;
    // Environment the node's programs get (host root, database endpoint, health endpoint, the
    // options' extra entries).
    std::map<std::string, std::string> Env() const;

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

    // Prints the tail of the node's process logs to standard error.
    void DumpLogs() const;

  private:
    std::string WriteAgentConfig() const;

    std::string name_;
    AgentSystemOptions options_;
    std::function<std::string()> endpoint_;
    std::unique_ptr<TempDir> ownRoot_;
    std::string root_;
    std::unique_ptr<ChildProcess> emulator_;
    std::unique_ptr<ChildProcess> agent_;
    int agentStarts_ = 0;
    int emulatorStarts_ = 0;
};

// The tail (last `lines` lines) of a process log, for failure reports.
std::string LogTail(const std::string& text, size_t lines);

}  // namespace CfgAgent::test
