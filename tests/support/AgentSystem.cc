#include "tests/support/AgentSystem.h"

#include <gtest/gtest.h>

#include <iostream>
#include <nlohmann/json.hpp>

#include "tests/support/TestEnv.h"

namespace CfgAgent::test {

namespace {
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
    nodes_.push_back(std::make_unique<AgentNode>(
        "host", options_, [this] { return Endpoint(); }, root_.path()));
}

AgentSystem::~AgentSystem() {
    if (::testing::Test::HasFailure())
        DumpLogs();
    // The added nodes first (SmartNICs before their host), each agent before its emulator.
    while (!nodes_.empty())
        nodes_.pop_back();
    db_->Stop();
    if (cluster_)
        cluster_->Stop();
}

std::string AgentSystem::Endpoint() const {
    return cluster_ ? cluster_->Endpoint() : db_->Endpoint();
}

AgentNode& AgentSystem::AddNode(const std::string& name, AgentSystemOptions options) {
    nodes_.push_back(
        std::make_unique<AgentNode>(name, std::move(options), [this] { return Endpoint(); }));
    return *nodes_.back();
}

bool AgentSystem::Start() {
    if (!(cluster_ ? cluster_->Start() : db_->Start()))
        return false;
    return Host().Start();
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

nlohmann::json AgentSystem::AgentJson(const std::vector<std::string>& args) {
    return Host().AgentJson(args);
}

nlohmann::json AgentSystem::EmuDump(const std::string& family) {
    return Host().EmuDump(family);
}

void AgentSystem::DumpLogs() const {
    for (const auto& node : nodes_)
        node->DumpLogs();
    auto show = [](const std::string& name, const std::string& text) {
        std::cerr << "----- " << name << " (last lines) -----\n" << LogTail(text, 60) << "\n";
    };
    if (!cluster_) {
        show(db_->logFile(), ReadFile(db_->logFile()));
        return;
    }
    for (int i = 0; i < CairndbCluster::kMembers; ++i)
        show(cluster_->member(i).logFile(), ReadFile(cluster_->member(i).logFile()));
}

}  // namespace CfgAgent::test
