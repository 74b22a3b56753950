#include "tests/support/CairndbServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <nlohmann/json.hpp>

#include "tests/support/Await.h"
#include "tests/support/TestEnv.h"
#include "tests/support/UnixClient.h"

namespace CfgAgent::test {

namespace {

bool CanConnect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    return ok;
}

// ChildProcess executes a path; the Open vSwitch programs are found on PATH.
std::string Program(const std::string& name) {
    const char* path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t colon = dirs.find(':', start);
        std::string dir =
            dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    return "/usr/bin/" + name;
}

std::map<std::string, std::string> OvsEnv(const std::string& dir) {
    return {{"OVS_RUNDIR", dir}, {"OVS_DBDIR", dir}, {"OVS_LOGDIR", dir}, {"OVS_SYSCONFDIR", dir}};
}

}  // namespace

CairndbServer::CairndbServer()
    : tempDir_(std::make_unique<TempDir>("ozy-cairndb")), dir_(tempDir_->path()) {}

CairndbServer::CairndbServer(const std::string& dir) : dir_(dir) {}

CairndbServer::~CairndbServer() {
    Kill();
}

std::string CairndbServer::SchemaPath() {
    return BinDir() + "/../share/cairndb.ovsschema";
}

std::string CairndbServer::Endpoint() const {
    return "tcp://127.0.0.1:" + std::to_string(port_);
}

std::string CairndbServer::OvsdbRemote() const {
    return "tcp:127.0.0.1:" + std::to_string(port_);
}

void CairndbServer::SetClusterMember(int port, int raftPort, int joinRaftPort) {
    port_ = port;
    raftPort_ = raftPort;
    joinRaftPort_ = joinRaftPort;
    starts_ = 1;  // the port is given, not picked
}

bool CairndbServer::CreateDatabase() {
    if (access(dbFile().c_str(), F_OK) == 0) {
        return true;
    }
    auto raft = [](int port) { return "tcp:127.0.0.1:" + std::to_string(port); };
    std::vector<std::string> args = {"create", dbFile(), SchemaPath()};
    if (raftPort_ != 0 && joinRaftPort_ == 0) {
        args = {"create-cluster", dbFile(), SchemaPath(), raft(raftPort_)};
    } else if (raftPort_ != 0) {
        args = {"join-cluster", dbFile(), "cairndb", raft(raftPort_), raft(joinRaftPort_)};
    }
    return Tool(args);
}

RunResult CairndbServer::TransactOffline(const std::string& ops) const {
    return RunProgram(Program("ovsdb-tool"), {"transact", dbFile(), ops}, OvsEnv(dir_));
}

bool CairndbServer::Tool(const std::vector<std::string>& args) {
    RunResult r = RunProgram(Program("ovsdb-tool"), args, OvsEnv(dir_));
    if (r.status != 0) {
        std::fprintf(stderr, "CairndbServer: ovsdb-tool %s failed (%d): %s\n", args[0].c_str(),
                     r.status, r.output.c_str());
        return false;
    }
    return true;
}

bool CairndbServer::CreateRemotes(const std::string& target) {
    const std::string schema = dir_ + "/remotes.ovsschema", db = dir_ + "/remotes.db";
    std::ofstream(schema) << R"({"name": "OzyRemotes", "version": "1.0.0", "tables": {"Remote": {)"
                          << R"("columns": {"target": {"type": "string"}, "inactivity_probe": )"
                          << R"({"type": {"key": "integer", "min": 0, "max": 1}}}}}})";
    std::remove(db.c_str());
    const nlohmann::json insert = {
        "OzyRemotes",
        {{"op", "insert"},
         {"table", "Remote"},
         {"row", {{"target", target}, {"inactivity_probe", inactivityProbeMs_}}}}};
    return Tool({"create", db, schema}) && Tool({"transact", db, insert.dump()});
}

bool CairndbServer::Launch() {
    std::string outFile = dir_ + "/ovsdb-server.out";
    const std::string target = "ptcp:" + std::to_string(port_) + ":127.0.0.1";
    std::vector<std::string> args{dbFile(), "--remote=" + target};
    if (inactivityProbeMs_ >= 0) {
        if (!CreateRemotes(target))
            return false;
        args = {dbFile(), dir_ + "/remotes.db", "--remote=db:OzyRemotes,Remote,target"};
    }
    for (const char* a : {"--no-chdir", "-vconsole:off"})
        args.push_back(a);
    const std::string ctl = dir_ + "/ovsdb-server.ctl";
    args.push_back("--unixctl=" + ctl);
    args.push_back("--log-file=" + logFile());
    server_ = std::make_unique<ChildProcess>(Program("ovsdb-server"), args, outFile, OvsEnv(dir_));
    // The server listens on its remotes before it creates its control socket: up once both answer
    // (a path too long to connect to directly is left to the programs that reach it otherwise).
    const bool ctlReachable = ctl.size() < sizeof(sockaddr_un::sun_path);
    bool up = AwaitTrue(
        [&] {
            return !server_->Running() ||
                   (CanConnect(port_) && (!ctlReachable || UnixClient().Connect(ctl)));
        },
        std::chrono::seconds(20));
    if (up && server_->Running()) {
        return true;
    }
    std::fprintf(stderr, "CairndbServer: ovsdb-server did not come up on port %d:\n%s\n%s\n", port_,
                 server_->Output().c_str(), ReadFile(logFile()).c_str());
    server_->Signal(SIGKILL);
    server_->WaitExit();
    server_.reset();
    return false;
}

bool CairndbServer::Start() {
    if (server_ && server_->Running()) {
        return true;
    }
    if (!CreateDatabase()) {
        return false;
    }
    if (starts_++ > 0) {
        return Launch();
    }
    // A free port can be taken between the probe and the bind; try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = FreeTcpPort();
        if (Launch()) {
            return true;
        }
    }
    return false;
}

void CairndbServer::Stop() {
    if (server_ && server_->Running()) {
        server_->Signal(SIGTERM);
        Thaw();
        server_->WaitExit();
    }
    server_.reset();
    frozen_ = false;
}

void CairndbServer::Kill() {
    if (server_ && server_->Running()) {
        server_->Signal(SIGKILL);
        server_->WaitExit();
    }
    server_.reset();
    frozen_ = false;
}

void CairndbServer::Freeze() {
    if (server_ && server_->Running() && !frozen_) {
        server_->Signal(SIGSTOP);
        frozen_ = true;
    }
}

void CairndbServer::Thaw() {
    if (server_ && frozen_) {
        server_->Signal(SIGCONT);
    }
    frozen_ = false;
}

bool CairndbServer::Restart() {
    Stop();
    return Start();
}

bool CairndbServer::Running() {
    return server_ && server_->Running();
}

RunResult CairndbServer::Transact(const std::string& operationsJson) const {
    std::string request = "[\"cairndb\"";
    std::string ops = operationsJson;
    size_t open = ops.find('[');
    size_t close = ops.rfind(']');
    if (open != std::string::npos && close != std::string::npos && close > open) {
        std::string inner = ops.substr(open + 1, close - open - 1);
        if (inner.find_first_not_of(" \t\r\n") != std::string::npos) {
            request += "," + inner;
        }
    }
    request += "]";
    return RunProgram(Program("ovsdb-client"), {"transact", OvsdbRemote(), request}, OvsEnv(dir_));
}

RunResult CairndbServer::Client(const std::vector<std::string>& args) const {
    return RunProgram(Program("ovsdb-client"), args, OvsEnv(dir_));
}

}  // namespace CfgAgent::test
