#include "tests/support/AgentSystem.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <iostream>
#include <nlohmann/json.hpp>

#include "tests/support/Await.h"
#include "tests/support/CliCases.h"
#include "tests/support/TestEnv.h"

namespace CfgAgent::test {

namespace {
constexpr const char* kAgentSocket = "/var/run/orvane/ozy-cfgagent/cfgagent-cli";
constexpr const char* kEmulatorSocket = "/var/run/orvane/ozy-dpemu/dpemu-ctl";

std::string Tail(const std::string& text, size_t lines) {
    size_t pos = text.size();
    for (size_t n = 0; n <= lines && pos > 0; ++n) {
        pos = text.rfind('\n', pos - 1);
        if (pos == std::string::npos)
            return text;
    }
    return text.substr(pos + 1);
}

// The output of a successful run as JSON; null otherwise.
nlohmann::json Parsed(const RunResult& r) {
    nlohmann::json j =
        r.status == 0 ? nlohmann::json::parse(r.output, nullptr, false) : nlohmann::json();
    return j.is_discarded() ? nlohmann::json(nullptr) : j;
}
}  // namespace

AgentSystem::AgentSystem(AgentSystemOptions options) : options_(std::move(options)) {
    root_.WriteFile("cairndb/README", "private cairndb of this test\n");
    db_ = std::make_unique<CairndbServer>(root_.path() + "/cairndb");
    if (options_.clusteredDb)
        cluster_ = std::make_unique<CairndbCluster>(root_.path() + "/cairndb");
}

AgentSystem::~AgentSystem() {
    if (::testing::Test::HasFailure())
        DumpLogs();
    if (agent_ && agent_->Running())
        StopAgent();
    StopEmulator();
    db_->Stop();
    if (cluster_)
        cluster_->Stop();
}

bool AgentSystem::Start() {
    if (!(cluster_ ? cluster_->Start() : db_->Start()))
        return false;
    if (!StartEmulator())
        return false;
    return StartAgent();
}

std::map<std::string, std::string> AgentSystem::Env() const {
    std::map<std::string, std::string> env = {
        {"OZY_HOST_ROOT", root_.path()},
        {"OZY_CAIRNDB_ENDPOINT", cluster_ ? cluster_->Endpoint() : db_->Endpoint()},
        {"OZY_HEALTH_ENDPOINT", "tcp://127.0.0.1:0"}};
    for (const auto& [k, v] : options_.extraEnv)
        env[k] = v;
    return env;
}

std::string AgentSystem::AgentSocket() const {
    return root_.path() + kAgentSocket;
}
std::string AgentSystem::EmulatorSocket() const {
    return root_.path() + kEmulatorSocket;
}

bool AgentSystem::StartEmulator() {
    if (emulator_ && emulator_->Running())
        return true;
    std::string log = root_.path() + "/ozy-dpemu." + std::to_string(++emulatorStarts_) + ".log";
    emulator_ = std::make_unique<ChildProcess>(
        BinPath("ozy-dpemu"), std::vector<std::string>{"--host-root", root_.path()}, log, Env());
    return emulator_->WaitForOutput("ozy-dpemu: ready");
}

void AgentSystem::StopEmulator() {
    if (!emulator_ || !emulator_->Running())
        return;
    emulator_->Signal(SIGTERM);
    if (!emulator_->WaitExit(std::chrono::seconds(20))) {
        emulator_->Signal(SIGKILL);
        emulator_->WaitExit();
    }
}

std::string AgentSystem::WriteAgentConfig() const {
    std::string xml = options_.agentConfigXml;
    if (xml.empty()) {
        xml = "<config><log><level>" + std::to_string(options_.agentLogLevel) +
              "</level><outputToConsole>true</outputToConsole></log><cfgAgent><workGroup>"
              "<ioThreads>2</ioThreads><workThreads>16</workThreads></workGroup>";
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
                xml += "<default><skip_ntp_check>true</skip_ntp_check></default>";
            xml += "</config></app>";
        }
        xml += "</apps></cfgAgent></config>";
    }
    std::string path = root_.path() + "/ozy-cfgagent.xml";
    root_.WriteFile("ozy-cfgagent.xml", xml);
    return path;
}

bool AgentSystem::StartAgent(bool awaitReady) {
    if (agent_ && agent_->Running())
        return true;
    std::string config = WriteAgentConfig();
    std::string log = root_.path() + "/ozy-cfgagent." + std::to_string(++agentStarts_) + ".log";
    agent_ = std::make_unique<ChildProcess>(BinPath("ozy-cfgagent"),
                                            std::vector<std::string>{"-c", config}, log, Env());
    return awaitReady ? agent_->WaitForOutput("Start-up complete") : agent_->Running();
}

int AgentSystem::StopAgent() {
    if (!agent_)
        return -1;
    agent_->Signal(SIGTERM);
    auto st = agent_->WaitExit(std::chrono::seconds(60));
    if (!st) {
        agent_->Signal(SIGKILL);
        agent_->WaitExit();
        return -1;
    }
    return *st;
}

RunResult AgentSystem::Cairnctl(const std::vector<std::string>& args) {
    return RunProgram(BinPath("cairnctl"), args, Env());
}

bool AgentSystem::Apply(const std::string& json) {
    static int n = 0;
    std::string file = "apply-" + std::to_string(++n) + ".json";
    root_.WriteFile(file, json);
    RunResult r = Cairnctl({"apply", root_.path() + "/" + file});
    if (r.status != 0) {
        std::cerr << "cairnctl apply failed (" << r.status << "): " << r.output << "\n";
    }
    return r.status == 0;
}

nlohmann::json AgentSystem::Get(const std::string& type, const std::string& id, uint16_t vdb) {
    std::vector<std::string> args;
    if (vdb != 0)
        args = {"--vdb", std::to_string(vdb)};
    args.push_back("get");
    args.push_back(type);
    if (!id.empty())
        args.push_back(id);
    return Parsed(Cairnctl(args));
}

RunResult AgentSystem::AgentCtl(const std::vector<std::string>& args) {
    return AppctlOn(AgentSocket())(args);
}

nlohmann::json AgentSystem::AgentJson(const std::vector<std::string>& args) {
    return Parsed(AgentCtl(args));
}

RunResult AgentSystem::EmuCtl(const std::vector<std::string>& args) {
    return AppctlOn(EmulatorSocket())(args);
}

nlohmann::json AgentSystem::EmuDump(const std::string& family) {
    return Parsed(EmuCtl({"dpemu/dump", family}));
}

bool AgentSystem::AwaitEmu(const std::string& family,
                           const std::function<bool(const nlohmann::json&)>& pred,
                           std::chrono::milliseconds timeout) {
    return AwaitTrue(
        [&] {
            nlohmann::json d = EmuDump(family);
            return !d.is_null() && pred(d);
        },
        timeout, std::chrono::milliseconds(50));
}

bool AgentSystem::AwaitAgentJson(const std::vector<std::string>& args,
                                 const std::function<bool(const nlohmann::json&)>& pred) {
    return AwaitTrue(
        [&] {
            nlohmann::json j = AgentJson(args);
            return !j.is_null() && pred(j);
        },
        std::chrono::seconds(60), std::chrono::milliseconds(100));
}

bool AgentSystem::AwaitAgentLog(const std::string& text, std::chrono::milliseconds timeout,
                                size_t from) {
    return agent_ && agent_->WaitForOutput(text, timeout, from);
}

size_t AgentSystem::AgentLogSize() const {
    return agent_ ? agent_->Output().size() : 0;
}

void AgentSystem::DumpLogs() const {
    auto show = [](const std::string& name, const std::string& text) {
        std::cerr << "----- " << name << " (last lines) -----\n" << Tail(text, 60) << "\n";
    };
    if (agent_)
        show(agent_->logFile(), agent_->Output());
    if (emulator_)
        show(emulator_->logFile(), emulator_->Output());
    if (!cluster_) {
        show(db_->logFile(), ReadFile(db_->logFile()));
        return;
    }
    for (int i = 0; i < CairndbCluster::kMembers; ++i)
        show(cluster_->member(i).logFile(), ReadFile(cluster_->member(i).logFile()));
}

}  // namespace CfgAgent::test
