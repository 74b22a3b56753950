#include "tests/support/CairndbCluster.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "tests/support/Await.h"
#include "tests/support/TestEnv.h"

namespace CfgAgent::test {

namespace {
constexpr std::chrono::seconds kFormTimeout{60};
}

CairndbCluster::CairndbCluster()
    : tempDir_(std::make_unique<TempDir>("ozy-cairndb-cluster")), dir_(tempDir_->path()) {}

CairndbCluster::CairndbCluster(const std::string& dir) : dir_(dir) {}

CairndbCluster::~CairndbCluster() {
    for (auto& m : members_) {
        m->Kill();
    }
}

bool CairndbCluster::Start() {
    if (members_.empty()) {
        // Raft ports of all members are needed before the first one starts.
        std::vector<int> ports;
        while (ports.size() < 2 * kMembers) {
            int p = FreeTcpPort();
            if (std::find(ports.begin(), ports.end(), p) == ports.end())
                ports.push_back(p);
        }
        for (int i = 0; i < kMembers; ++i) {
            std::string dir = dir_ + "/member-" + std::to_string(i);
            mkdir(dir.c_str(), 0755);
            auto m = std::make_unique<CairndbServer>(dir);
            m->SetClusterMember(ports[static_cast<size_t>(i)],
                                ports[static_cast<size_t>(kMembers + i)],
                                i == 0 ? 0 : ports[kMembers]);
            members_.push_back(std::move(m));
        }
    }
    for (auto& m : members_) {
        if (!m->Start())
            return false;
    }
    for (int i = 0; i < kMembers; ++i) {
        if (!AwaitConnected(i)) {
            std::fprintf(stderr, "CairndbCluster: member %d did not join the cluster\n", i);
            return false;
        }
    }
    return true;
}

void CairndbCluster::Stop() {
    for (auto& m : members_) {
        m->Stop();
    }
}

std::string CairndbCluster::Endpoint() const {
    std::string list;
    for (const auto& m : members_) {
        list += (list.empty() ? "" : ",") + m->Endpoint();
    }
    return list;
}

int CairndbCluster::MemberOf(const std::string& endpoint) const {
    for (size_t i = 0; i < members_.size(); ++i) {
        if (members_[i]->Endpoint() == endpoint)
            return static_cast<int>(i);
    }
    return -1;
}

CairndbCluster::View CairndbCluster::Ask(int i) {
    View v;
    CairndbServer& m = member(i);
    if (!m.Running() || m.Frozen())
        return v;
    RunResult r = m.Client({"--timeout=5", "transact", m.OvsdbRemote(),
                            R"(["_Server",{"op":"select","table":"Database",)"
                            R"("where":[["name","==","cairndb"]],)"
                            R"("columns":["connected","leader"]}])"});
    nlohmann::json j = nlohmann::json::parse(r.output, nullptr, false);
    if (r.status != 0 || !j.is_array() || j.empty() || !j[0].contains("rows") ||
        j[0]["rows"].size() != 1)
        return v;
    const nlohmann::json& row = j[0]["rows"][0];
    v.answered = true;
    v.connected = row.value("connected", false);
    v.leader = row.value("leader", false);
    return v;
}

int CairndbCluster::Leader() {
    int leader = -1;
    AwaitTrue(
        [&] {
            for (int i = 0; i < kMembers; ++i) {
                View v = Ask(i);
                if (v.connected && v.leader) {
                    leader = i;
                    return true;
                }
            }
            return false;
        },
        kFormTimeout, std::chrono::milliseconds(100));
    return leader;
}

bool CairndbCluster::AwaitConnected(int i) {
    return AwaitTrue([&] { return Ask(i).connected; }, kFormTimeout, std::chrono::milliseconds(50));
}

RunResult CairndbCluster::Transact(int i, const std::string& operationsJson) {
    return member(i).Transact(operationsJson);
}

}  // namespace CfgAgent::test
