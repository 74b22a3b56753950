#include "tests/support/AgentNode.h"

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "tests/support/Await.h"
#include "tests/support/CliCases.h"
#include "tests/support/TestEnv.h"

namespace CfgAgent::test {

namespace {
constexpr const char* kAgentSocket = "/var/run/orvane/ozy-cfgagent/cfgagent-cli";
constexpr const char* kEmulatorSocket = "/var/run/orvane/ozy-dpemu/dpemu-ctl";

// The output of a successful run as JSON; null otherwise.
nlohmann::json Parsed(const RunResult& r) {
    nlohmann::json j =
        r.status == 0 ? nlohmann::json::parse(r.output, nullptr, false) : nlohmann::json();
    return j.is_discarded() ? nlohmann::json(nullptr) : j;
}

// SIGTERM, then SIGKILL when the process does not exit in time; the exit status or -1.
int Terminate(ChildProcess& p, std::chrono::seconds grace) {
    p.Signal(SIGTERM);
    auto st = p.WaitExit(grace);
    if (st)
        return *st;
    p.Signal(SIGKILL);
    p.WaitExit();
    return -1;
}
}  // namespace

std::string LogTail(const std::string& text, size_t lines) {
    size_t pos = text.size();
    for (size_t n = 0; n <= lines && pos > 0; ++n) {
        pos = text.rfind('\n', pos - 1);
        if (pos == std::string::npos)
            return text;
    }
    return text.substr(pos + 1);
}

AgentNode::AgentNode(std::string name, AgentSystemOptions options,
                     std::function<std::string()> endpoint, const std::string& root)
    : name_(std::move(name)), options_(std::move(options)), endpoint_(std::move(endpoint)) {
    if (root.empty()) {
        ownRoot_ = std::make_unique<TempDir>("ozy-" + name_);
        root_ = ownRoot_->path();
    } else {
        root_ = root;
    }
}

AgentNode::~AgentNode() {
    if (agent_ && agent_->Running())
        StopAgent();
    StopEmulator();
}

bool AgentNode::Start() {
    // The host's hostcli, played by the emulator's stand-in (IPFIX firewall rulesets).
    std::error_code ec;
    std::filesystem::create_directories(root_ + "/bin", ec);
    std::filesystem::copy_file(BinPath("hostcli"), root_ + "/bin/hostcli",
                               std::filesystem::copy_options::overwrite_existing, ec);
    return StartEmulator() && StartAgent();
}

std::map<std::string, std::string> AgentNode::Env() const {
    std::map<std::string, std::string> env = {{"OZY_HOST_ROOT", root_},
                                              {"OZY_CAIRNDB_ENDPOINT", endpoint_()},
                                              {"OZY_HEALTH_ENDPOINT", "tcp://127.0.0.1:0"}};
    for (const auto& [k, v] : options_.extraEnv)
        env[k] = v;
    return env;
}

std::string AgentNode::AgentSocket() const {
    return root_ + kAgentSocket;
}
std::string AgentNode::EmulatorSocket() const {
    return root_ + kEmulatorSocket;
}

bool AgentNode::StartEmulator() {
    if (emulator_ && emulator_->Running())
        return true;
    std::string log = root_ + "/ozy-dpemu." + std::to_string(++emulatorStarts_) + ".log";
    emulator_ = std::make_unique<ChildProcess>(
        BinPath("ozy-dpemu"), std::vector<std::string>{"--host-root", root_}, log, Env());
    return emulator_->WaitForOutput("ozy-dpemu: ready");
}

void AgentNode::StopEmulator() {
    if (emulator_ && emulator_->Running())
        Terminate(*emulator_, std::chrono::seconds(20));
}

std::string AgentNode::WriteAgentConfig() const {
    std::string xml = options_.agentConfigXml;
    if (xml.empty()) {
        xml = "<config><log><level>" + std::to_string(options_.agentLogLevel) +
              "</level><outputToConsole>true</outputToConsole>" + options_.logXml +
              "</log><cfgAgent><workGroup>"
              "<ioThreads>2</ioThreads><workThreads>32</workThreads></workGroup>";
        if (options_.cairndbProbeMs > 0)
            xml += "<cairndb><probeInterval>" + std::to_string(options_.cairndbProbeMs) +
                   "</probeInterval></cairndb>";
        xml += "<apps>";
        for (const auto& app : options_.apps) {
            xml += "<app><name>" + app + "</name><enabled>true</enabled><config>";
            if (app == "config")
                xml += "<krnlink><path>ozy_kcp_krnlink</path></krnlink>";
            if (app == "vxlan")
                xml += "<krnlink><path>ozy_vxlan_krnlink</path></krnlink>";
            if (app == "vdrb")
                xml += "<krnlink><path>ozy_vdr_krnlink</path></krnlink>";
            if (app == "traceflow")
                xml += "<krnlink><path>ozy_traceflow_krnlink</path></krnlink>";
            if (app == "dfw")
                xml += "<default>" + options_.dfwDefaults + "</default>";
            if (app == "si")
                xml += "<default><alarm_poll_interval_ms>200</alarm_poll_interval_ms></default>";
            xml += "</config></app>";
        }
        xml += "</apps></cfgAgent></config>";
    }
    const std::string path = root_ + "/ozy-cfgagent.xml";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << xml;
    return path;
}

bool AgentNode::StartAgent(bool awaitReady) {
    if (agent_ && agent_->Running())
        return true;
    std::string config = WriteAgentConfig();
    std::string log = root_ + "/ozy-cfgagent." + std::to_string(++agentStarts_) + ".log";
    agent_ = std::make_unique<ChildProcess>(BinPath("ozy-cfgagent"),
                                            std::vector<std::string>{"-c", config}, log, Env());
    return awaitReady ? agent_->WaitForOutput("Start-up complete") : agent_->Running();
}

int AgentNode::StopAgent() {
    return agent_ ? Terminate(*agent_, std::chrono::seconds(60)) : -1;
}

RunResult AgentNode::AgentCtl(const std::vector<std::string>& args) {
    return AppctlOn(AgentSocket())(args);
}

nlohmann::json AgentNode::AgentJson(const std::vector<std::string>& args) {
    return Parsed(AgentCtl(args));
}

RunResult AgentNode::EmuCtl(const std::vector<std::string>& args) {
    return AppctlOn(EmulatorSocket())(args);
}

nlohmann::json AgentNode::EmuDump(const std::string& family) {
    return Parsed(EmuCtl({"dpemu/dump", family}));
}

bool AgentNode::AwaitEmu(const std::string& family,
                         const std::function<bool(const nlohmann::json&)>& pred,
                         std::chrono::milliseconds timeout) {
    return AwaitTrue(
        [&] {
            nlohmann::json d = EmuDump(family);
            return !d.is_null() && pred(d);
        },
        timeout, std::chrono::milliseconds(50));
}

bool AgentNode::AwaitAgentJson(const std::vector<std::string>& args,
                               const std::function<bool(const nlohmann::json&)>& pred) {
    return AwaitTrue(
        [&] {
            nlohmann::json j = AgentJson(args);
            return !j.is_null() && pred(j);
        },
        std::chrono::seconds(60), std::chrono::milliseconds(100));
}

bool AgentNode::AwaitAgentLog(const std::string& text, std::chrono::milliseconds timeout,
                              size_t from) {
    return agent_ && agent_->WaitForOutput(text, timeout, from);
}

size_t AgentNode::AgentLogSize() const {
    return agent_ ? agent_->Output().size() : 0;
}

void AgentNode::DumpLogs() const {
    auto show = [this](const std::string& file, const std::string& text) {
        std::cerr << "----- " << name_ << ": " << file << " (last lines) -----\n"
                  << LogTail(text, 60) << "\n";
    };
    if (agent_)
        show(agent_->logFile(), agent_->Output());
    if (emulator_)
        show(emulator_->logFile(), emulator_->Output());
}

}  // namespace CfgAgent::test
