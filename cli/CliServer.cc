#include "cli/CliServer.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/HostRoot.h"
#include "platform/unixctl/UnixctlClient.h"
#include "platform/RunDirectory.h"
#include "platform/unixctl/UnixctlServer.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"

namespace CfgAgent {

using ozy::unixctl::Connection;

CliServer::CliServer(CliContext context, std::string socketPath)
    : context_(std::move(context)),
      socketPath_(socketPath.empty() ? ozy::hostPath(kSocketPath) : std::move(socketPath)) {}

CliServer::~CliServer() {
    Stop();
}

void CliServer::Reply(Connection& conn, const std::string& text) {
    conn.Reply(text);
}

bool CliServer::PageUnlocked(const std::string& name) const {
    const CliPages::Page* page = context_.pages.Find(name);
    return page != nullptr && page->mode != CliPages::Mode::kLocked;
}

void CliServer::Register(const char* name, const char* usage, int minArgs, int maxArgs,
                         Handler handler, bool locked) {
    registered_.insert(name);
    server_->RegisterCommand(
        name, usage, minArgs, maxArgs,
        [handler = std::move(handler), locked](Connection& conn, const Args& args) {
            bool failed = false;
            try {
                std::unique_lock<boost::recursive_mutex> guard(GlobalAgentLock(), std::defer_lock);
                if (locked)
                    guard.lock();
                handler(conn, args);
            } catch (const std::bad_alloc&) {
                ExitOnAllocFailure();
            } catch (const std::exception& e) {
                failed = true;
                CFG_ERROR_CODE("LCP00703", "failed to process command");
                CFG_DEBUG("CliServer: command failure: %1", e.what());
            }
            if (failed)
                conn.ReplyError("failed to process command");
        });
}

void CliServer::RegisterAll() {
    RegisterStateCacheDumps();
    RegisterDumps();
    RegisterLogLevelCommands();
    RegisterApplicationCommands();
    RegisterStateCacheQueries();
    RegisterPages();
    Register("cfgagent/set-simulate/out-of-sync", "VERTICAL_NAME", 1, 1,
             [this](Connection& c, const Args& a) { SimulateOutOfSync(c, a); });
}

bool CliServer::Start() {
    if (server_)
        return true;
    ozy::MakeRunDirectoriesFor(socketPath_);
    std::unique_ptr<ozy::unixctl::Server> server;
    int rc = ozy::unixctl::Server::Create(socketPath_, &server);
    if (rc != 0) {
        CFG_ERROR_CODE("LCP00701", "Cannot create ozy-cfgagent unixctl server: %1", strerror(rc));
        return false;
    }
    server_ = std::move(server);
    RegisterAll();
    if (thread_.joinable())
        thread_.detach();
    running_.store(true);
    worker_.Start();
    thread_ = std::thread([this] { ServerLoop(); });
    CFG_INFO("Start running cli server");
    return true;
}

void CliServer::ServerLoop() {
    for (;;) {
        server_->Run();
        if (!running_.load())
            break;
        server_->Wait();
    }
    {
        std::lock_guard<std::mutex> lock(serverMutex_);
        server_.reset();
    }
    CFG_INFO("Cli server terminated");
}

void CliServer::Stop() {
    if (!thread_.joinable())
        return;
    running_.store(false, std::memory_order_seq_cst);
    // Wake the server thread through its own socket.
    ozy::unixctl::Client client;
    if (client.Connect(socketPath_, 1000) != 0) {
        CFG_ERROR_CODE("LCP00115", "unixctl client create failed");
    }
    client.Close();
    {
        std::lock_guard<std::mutex> lock(serverMutex_);
        if (server_)
            server_->Wake();
    }
    thread_.join();
    worker_.Stop();
}

void CliServer::SimulateOutOfSync(Connection& conn, const Args& args) {
    const std::string& vertical = args.at(0);
    CFG_INFO("CliServer: setting simulate out of sync for vertical %1", vertical);
    const std::function<void()>* simulate = context_.pages.FindOutOfSync(vertical);
    if (simulate == nullptr) {
        CFG_ERROR("CliServer: unknown vertical name %1.", vertical);
        conn.ReplyError("Setting simulate out of sync for vertical " + vertical + " failed");
        return;
    }
    (*simulate)();
    Reply(conn, "Setting simulate out of sync for vertical " + vertical + " successfully");
}

}  // namespace CfgAgent
