#include "runtime/daemon/Agent.h"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>

#include <boost/asio/ip/address.hpp>
#include <boost/property_tree/ptree.hpp>
#include <nlohmann/json.hpp>

#include "cli/CliServer.h"
#include "cli/udslink/CfgUdsLink.h"
#include "intake/CairnDBUpdateMsg.h"
#include "intake/CairndbClient.h"
#include "intake/MsgDispatcher.h"
#include "intake/SmartNic.h"
#include "platform/AsioOzyProvider.h"
#include "platform/DaemonHealthService.h"
#include "platform/HostRoot.h"
#include "platform/SNUtil.h"
#include "platform/ShaPmClient.h"
#include "platform/cairndb/CairnDbClient.h"
#include "platform/monitoring/AlarmTable.h"
#include "platform/rpc/RpcServer.h"
#include "platform/upm/UPMService.h"
#include "runtime/AgentSettings.h"
#include "runtime/Logger.h"
#include "runtime/MemoryAccounts.h"
#include "runtime/Metrics.h"
#include "runtime/TerminateReport.h"
#include "runtime/WorkGroup.h"
#include "runtime/daemon/AgentConfig.h"
#include "runtime/daemon/AppContext.h"
#include "runtime/daemon/AppLauncher.h"
#include "runtime/daemon/ConduitService.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheL2Table.h"
#include "statecache/StateCacheL3Table.h"
#include "statecache/StateCacheObserver.h"

#ifndef OZY_BUILD_NUMBER
#define OZY_BUILD_NUMBER "unknown"
#endif

namespace CfgAgent {

namespace {

constexpr int kExitFailure = 255;
// Long-running loops of the agent itself on the work group: the message dispatcher and the
// database client's writer.
constexpr unsigned kAgentLoops = 2;
constexpr const char* kDefaultHealthEndpoint = "tcp://127.0.0.1:4097";
constexpr int kAllocatorArenas = 2;
constexpr size_t kAllocatorMapBytes = 128 * 1024;

std::string HealthEndpoint() {
    const char* e = std::getenv("OZY_HEALTH_ENDPOINT");
    return e != nullptr && *e != '\0' ? e : kDefaultHealthEndpoint;
}

// The daemon-health service answers anyone who reaches it: only local peers unless the operator
// says otherwise (OZY_HEALTH_ALLOW_REMOTE=1). False (logged) for an endpoint to refuse.
bool HealthEndpointAllowed(const std::string& url) {
    std::string host;
    int port = 0;
    if (!ozy::rpc::ParseTcpUrl(url, host, port))
        return true;  // the server reports the bad endpoint itself
    boost::system::error_code ec;
    boost::asio::ip::address address = boost::asio::ip::make_address(host, ec);
    if (!ec && address.is_loopback())
        return true;
    const char* allow = std::getenv("OZY_HEALTH_ALLOW_REMOTE");
    if (allow != nullptr && std::string(allow) == "1")
        return true;
    CFG_ERROR_CODE("LCP00001",
                   "Daemon-health endpoint %1 is not a loopback address; set "
                   "OZY_HEALTH_ALLOW_REMOTE=1 to serve it beyond this host",
                   url);
    return false;
}

int CountThreads() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.')
                ++n;
        }
        closedir(d);
    }
    return n;
}

void IgnoreSigpipe() {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = SIG_IGN;
    sigfillset(&sa.sa_mask);
    sigdelset(&sa.sa_mask, SIGABRT);
    sa.sa_flags = SA_RESTART;
    if (sigaction(SIGPIPE, &sa, nullptr) != 0) {
        CFG_WARN("Failed to register SIGPIPE handler");
    }
}

void EnableCoreDumps() {
    struct rlimit lim;
    lim.rlim_cur = RLIM_INFINITY;
    lim.rlim_max = RLIM_INFINITY;
    if (setrlimit(RLIMIT_CORE, &lim) == 0) {
        CFG_DEBUG("Enable core dump");
    } else {
        CFG_ERROR_CODE("LCP00027", "Failed to enable core dump: %1", strerror(errno));
    }
}

// Logs the persona; false for an unknown one.
bool DetectPersona() {
    SNUtil::Init();
    int persona = SNUtil::GetNodePersona();
    switch (persona) {
        case kPersonaSmartnicHost:
            CFG_INFO("Node type is smartnic host");
            break;
        case kPersonaSmartnic:
            CFG_INFO("Node type is smartnic");
            break;
        case kPersonaOther:
            CFG_INFO("Node type is other");
            break;
        default:
            CFG_ERROR("Node type is unknow");
            return false;
    }
    AgentSettings::SetPersona(persona);
    return true;
}

// What the database client reads back from the state cache when a SmartNIC becomes active for its
// vdb: the runtime VIF and hop-over objects (each with its values, whole body first) and the
// runtime L2 objects with their entries.
RuntimeStateSource RuntimeStateOf(const ozy::RefPtr<StateCache>& cache) {
    RuntimeStateSource source;
    source.configRuntime = [cache] {
        CairnDBUpdateList out;
        for (ObjectType t : {ObjectType::VIF_STATE, ObjectType::HOPOVER_STATUS})
            cache->ConfigTable()->GetObjectsOfType(ConfigStore::kRuntime, t, &out);
        return out;
    };
    source.l2Runtime = [cache] {
        CairnDBUpdateList out;
        for (ObjectType t : {ObjectType::LOG_SWITCH_STATE, ObjectType::LOG_SWITCH_FIB,
                             ObjectType::ROUTING_DOMAIN_VTEP, ObjectType::ROUTING_DOMAIN_FIB})
            cache->L2Table()->GetObjectsOfType(L2Store::kRuntime, t, &out);
        return out;
    };
    return source;
}

// The agent's own status as the process-health client and the CLI show it: the configuration
// application's view of its cairndb connection ("UNKNOWN" without the application).
constexpr const char* kCairndbConnection = "cfgagent-cairndb-connection";

std::string CairndbConnectionStatusOf(const AgentApp* configApp) {
    return configApp != nullptr ? configApp->CairndbConnectionStatus() : "UNKNOWN";
}

nlohmann::json AgentStatusJson(const AgentApp* configApp) {
    nlohmann::json msg;
    msg["agent_status"]["name"] = "ozy-cfgagent";
    msg["agent_status"]["sub_status"] = nlohmann::json::array(
        {{{"name", kCairndbConnection}, {"status", CairndbConnectionStatusOf(configApp)}}});
    return msg;
}

// The SmartNIC host's demultiplexer and SmartNIC table commands.
void AddSmartNicPages(SmartNic* smartnic, CliPages& pages) {
    auto reply = [](bool ok, std::string text) {
        return ok ? CliReply::Ok(std::move(text)) : CliReply::Error(std::move(text));
    };
    pages.Add("cfgagent/smartnic/demuxbyid", "", 2, 2, [smartnic, reply](const CliPages::Args& a) {
        std::string out;
        const bool ok = smartnic->DemuxById(a[0], a[1], &out);
        return reply(ok, std::move(out));
    });
    pages.Add("cfgagent/smartnic/demuxbytype", "", 1, 1,
              [smartnic, reply](const CliPages::Args& a) {
                  std::string out;
                  const bool ok = smartnic->DemuxByType(a[0], &out);
                  return reply(ok, std::move(out));
              });
    pages.Add("cfgagent/smartnic/demuxinfo", "", 0, 0,
              [smartnic](const CliPages::Args&) { return CliReply::Ok(smartnic->DemuxInfo()); });
    pages.Add("cfgagent/smartnic/muxconfig", "", 0, 0, [smartnic](const CliPages::Args&) {
        return CliReply::Ok(smartnic->mux().DumpConfig());
    });
    pages.Add("cfgagent/smartnic/muxl2", "", 0, 0,
              [smartnic](const CliPages::Args&) { return CliReply::Ok(smartnic->mux().DumpL2()); });
    pages.Add("cfgagent/smartnic/muxglobalvtep", "", 0, 0, [smartnic](const CliPages::Args&) {
        return CliReply::Ok(smartnic->mux().DumpGlobalVtep());
    });
    pages.Add("cfgagent/smartnic/hostswitch", "", 0, 0, [smartnic](const CliPages::Args&) {
        return CliReply::Ok(smartnic->HostSwitchTable());
    });
    pages.Add("cfgagent/smartnic/rtf", "", 0, 0,
              [smartnic](const CliPages::Args&) { return CliReply::Ok(smartnic->rtf().Dump()); });
}

// The realizing verticals whose application runs on this host.
std::set<uint32_t> HostVerticalsOf(const AppLauncher& apps) {
    std::set<uint32_t> out;
    for (const auto& [name, vertical] :
         {std::make_pair("dfw", Rtf::kVerticalDfw), std::make_pair("vdrb", Rtf::kVerticalL3),
          std::make_pair("ids", Rtf::kVerticalIds)}) {
        if (apps.Has(name))
            out.insert(vertical);
    }
    return out;
}

class Agent {
  public:
    int Run(int argc, char** argv);

  private:
    int Startup(int argc, char** argv);
    bool CreatePlatform();
    void CreateIntake();
    void StartApplications();
    void StartCli();
    void StopDispatcher();
    void StartProcessHealth();
    void Shutdown();
    void ReleaseAll();

    std::unique_ptr<ozy::AsioOzyProvider> provider_;
    std::unique_ptr<ozy::ProductVersion> version_;
    std::unique_ptr<ozy::DaemonHealthService> healthService_;
    std::unique_ptr<ozy::rpc::Server> rpcServer_;
    std::unique_ptr<ConduitService> conduit_;
    ozy::RefPtr<StateCache> stateCache_;
    UpdateQueuePtr updateQueue_;
    ozy::RefPtr<CairndbClient> cairndb_;
    // The SmartNIC coordinator of a SmartNIC host (persona 1); stopped after the client.
    ozy::RefPtr<SmartNic> smartnic_;
    // Created and registered with the database client (steps 16-17); unregistered at shutdown.
    ozy::RefPtr<StateCacheObserver> stateCacheObserver_;
    ozy::RefPtr<MsgDispatcher> dispatcher_;
    AppContext appContext_;
    std::unique_ptr<AppLauncher> apps_;
    boost::property_tree::ptree appList_;
    std::shared_ptr<CfgUdsLink> opsLink_;
    ozy::RefPtr<CliServer> cli_;
    std::unique_ptr<ozy::sha::ShaPmClient> sha_;
    bool workGroupStarted_ = false;
};

int Agent::Startup(int argc, char** argv) {
    // 1-2: command line and configuration file.
    CommandLine cl = ParseCommandLine(argc, argv);
    if (!cl.ok)
        return kExitFailure;
    if (!cl.configPath.empty())
        AgentSettings::SetConfigPath(cl.configPath);
    boost::property_tree::ptree& tree = AgentSettings::ConfigTree();
    // The default file is a fixed host path (under the host root); a -c path is used as given.
    const std::string& path = AgentSettings::ConfigPath();
    if (!LoadConfigFile(path, tree, cl.configPath.empty() ? ozy::hostPath(path) : path))
        return kExitFailure;

    // 3-5: log levels, syslog, then the thread counts, checked against the long-running loops
    // of the agent and of the applications the file enables (logged once logging is set up).
    ApplyAgentSettings(tree);
    unsigned loops = kAgentLoops;
    if (auto apps = tree.get_child_optional("config.cfgAgent.apps"))
        loops += AppLauncher(BuiltinApps(), appContext_).LoopsOf(*apps);
    if (!ApplyThreadSettings(tree, loops))
        return kExitFailure;
    // 6-8
    CFG_INFO("Build Number: %s", OZY_BUILD_NUMBER);
    IgnoreSigpipe();
    EnableCoreDumps();
    // 9-10
    ApplyInstrumentationFlags(tree);
    if (!DetectPersona())
        return kExitFailure;
    CFG_INFO("Start cfgAgent");

    // 11-13
    if (!CreatePlatform())
        return kExitFailure;

    // 14-18: state cache, update queue, database client and its runtime-state observer,
    // dispatcher with the three state-cache tables.
    CreateIntake();

    // 19: the application list (a missing list ends start-up here) and the operations-agent link.
    appList_ = tree.get_child("config.cfgAgent.apps");
    opsLink_ = std::make_shared<CfgUdsLink>();
    appContext_.opsLink = opsLink_.get();

    // 20
    StartApplications();

    // 21
    CFG_INFO("Cairndb client starts");
    cairndb_->start();

    // 22: post-start steps, then the profile service (its full sync reaches the callbacks the
    // applications registered while they started).
    apps_->PostStartAll();
    if (ozy::upm::UPMService* upm = cairndb_->upm())
        upm->Start();

    // 23
    StartCli();

    // 24
    dispatcher_->start();

    // 25
    StartProcessHealth();
    return 0;
}

bool Agent::CreatePlatform() {
    ozy::ProviderOptions options;
    provider_ = std::make_unique<ozy::AsioOzyProvider>(
        options, AgentSettings::ConfigTree().get_child("config"), std::string());
    version_ = std::make_unique<ozy::ProductVersion>();
    version_->major = 2;
    version_->minor = 3;
    version_->build = OZY_BUILD_NUMBER;
    healthService_ = std::make_unique<ozy::DaemonHealthService>(*version_);
    ozy::rpc::ServiceOptions serviceOptions;
    serviceOptions.flags = 1;
    const std::string healthEndpoint = HealthEndpoint();
    if (!HealthEndpointAllowed(healthEndpoint)) {
        healthService_.reset();
        version_.reset();
        provider_.reset();
        return false;
    }
    ozy::rpc::ServerBuilder builder = provider_->rpc().NewServerBuilder();
    builder.AddListeningEndpoint(healthEndpoint);
    builder.AddLocalEndpointId("ozy-cfgagent");
    builder.RegisterService(healthService_.get(), serviceOptions);
    rpcServer_ = builder.BuildStarted();
    CFG_DEBUG("Daemon-health RPC server listening on %1", rpcServer_->BoundEndpoint());

    // 12: thread groups.
    Logger::attachMetrics(&provider_->metrics());
    ozy::monitoring::AlarmTable::Instance().AttachMetrics(&provider_->metrics());
    WorkGroups::Start(&provider_->metrics());
    workGroupStarted_ = true;

    // 13: container-interface bus.
    conduit_ = std::make_unique<ConduitService>();
    if (conduit_->Init(*provider_) != 0) {
        CFG_ERROR("Failed to initialize conduit.");
        conduit_.reset();
        rpcServer_.reset();
        healthService_.reset();
        version_.reset();
        WorkGroups::Stop();
        workGroupStarted_ = false;
        ozy::monitoring::AlarmTable::Instance().AttachMetrics(nullptr);
        provider_.reset();
        return false;
    }
    CFG_INFO("Initialize conduit successfully.");
    appContext_.provider = provider_.get();
    return true;
}

void Agent::CreateIntake() {
    // 14
    stateCache_ = ozy::MakeRef<StateCache>();
    // 15
    updateQueue_ = std::make_shared<UpdateQueue>(UpdateQueue::kUnbounded, true, true);
    // 16
    CairndbClientOptions cairndbOptions;
    cairndbOptions.provider = provider_.get();
    cairndbOptions.probeInterval = CairndbProbeInterval(AgentSettings::ConfigTree());
    cairndb_ =
        ozy::MakeRef<CairndbClient>(updateQueue_, RuntimeStateOf(stateCache_), cairndbOptions);
    if (cairndb_->persona() == kPersonaSmartnicHost) {
        smartnic_ = ozy::MakeRef<SmartNic>(cairndb_.get(), cairndb_->library());
        cairndb_->SetSmartNicCoordinator(smartnic_.get());
        CFG_INFO("SmartNic: coordinator attached to the cairndb client");
    }
    // 17
    stateCacheObserver_ = ozy::MakeRef<StateCacheObserver>(cairndb_.get(), stateCache_.get());
    stateCacheObserver_->RegisterRuntimeCache();
    // 18
    dispatcher_ = ozy::MakeRef<MsgDispatcher>(updateQueue_, &provider_->metrics());
    dispatcher_->RegisterComponent(ComponentType::CONFIGCACHE, stateCache_->ConfigTable());
    dispatcher_->RegisterComponent(ComponentType::L2CACHE, stateCache_->L2Table());
    dispatcher_->RegisterComponent(ComponentType::L3CACHE, stateCache_->L3Table());
    appContext_.stateCache = stateCache_.get();
    appContext_.dispatcher = dispatcher_.get();
    appContext_.cairndb = cairndb_.get();
}

// The dispatcher's loop must end before the work group stops; it ends before the applications
// stop, so that no batch reaches an application that is stopping.
void Agent::StopDispatcher() {
    if (dispatcher_)
        dispatcher_->stop();
}

void Agent::StartApplications() {
    apps_ = std::make_unique<AppLauncher>(BuiltinApps(), appContext_);
    appContext_.launcher = apps_.get();
    if (!appList_.empty())
        apps_->StartAll(appList_);
    // Before the database client starts: the host's runtime merge waits only for the full syncs
    // of producers that run, and the host takes part in the first barrier already.
    if (smartnic_) {
        smartnic_->mux().SetLocalProducers(apps_->Has("config"), apps_->Has("vxlan"));
        smartnic_->rtf().SetHostVerticals(HostVerticalsOf(*apps_));
    }
    if (appList_.empty())
        return;
    // The link starts once every application has registered its handlers: the handler table is
    // read by the link's thread without a lock and never changes after this point.
    opsLink_->Start();
}

void Agent::StartCli() {
    CFG_INFO("Starting running CLI Server");
    CliContext context;
    context.stateCache = stateCache_;
    if (apps_)
        apps_->RegisterCliPages(context.pages);
    const AgentApp* configApp = apps_ ? apps_->Get("config") : nullptr;
    context.pages.Add("cfgagent/health/status", "", 0, 0, [configApp](const CliPages::Args&) {
        return CliReply::Ok(AgentStatusJson(configApp).dump());
    });
    context.pages.Add("cfgagent/alarms", "", 0, 0, [](const CliPages::Args&) {
        return CliReply::Ok(ozy::monitoring::AlarmTable::Instance().ToJson());
    });
    // The database member in use, its role and the cluster's state as the client last saw them.
    std::weak_ptr<ozy::cairndb::CairnDbClient> library =
        std::dynamic_pointer_cast<ozy::cairndb::CairnDbClient>(cairndb_->library());
    context.pages.Add("cfgagent/cairndb/member", "", 0, 0, [library](const CliPages::Args&) {
        auto lib = library.lock();
        if (!lib)
            return CliReply::Error("no cairndb client");
        ozy::cairndb::MemberStatus m = lib->Member();
        return CliReply::Ok(nlohmann::json{
            {"member", m.member},
            {"role", m.role},
            {"cluster", m.cluster},
            {"connected",
             lib->Connected()}}.dump());
    });
    // The metrics registry: every series as text, and the Prometheus exposition (the registry
    // guards itself: no agent lock).
    if (provider_) {
        ozy::metrics::Registry* registry = &provider_->metrics();
        context.pages.Add(
            "cfgagent/metrics", "", 0, 0,
            [registry](const CliPages::Args&) { return CliReply::Ok(registry->dumpText()); },
            CliPages::Mode::kUnlocked);
        context.pages.Add(
            "cfgagent/metrics/prometheus", "", 0, 0,
            [registry](const CliPages::Args&) {
                return CliReply::Ok(registry->exportPrometheus());
            },
            CliPages::Mode::kUnlocked);
    }
    if (ozy::upm::UPMService* upm = cairndb_->upm()) {
        context.pages.Add("cfgagent/upm/profiles", "", 0, 0,
                          [upm](const CliPages::Args&) { return CliReply::Ok(upm->ToJson()); });
    }
    if (smartnic_)
        AddSmartNicPages(smartnic_.get(), context.pages);
    cli_ = ozy::RefPtr<CliServer>(new CliServer(std::move(context)));
    cli_->Start();
}

void Agent::StartProcessHealth() {
    sha_ = std::make_unique<ozy::sha::ShaPmClient>("ozy-cfgagent");
    sha_->Start();
    sha_->RegisterCombinedMessageMetricCollection(
        "combined.message",
        [](void* context) {
            std::string text = AgentStatusJson(static_cast<const AgentApp*>(context)).dump();
            CFG_DEBUG("ShaGetCombinedMessage: %1", text);
            return text;
        },
        apps_->Get("config"), 20);
    sha_->StartMetricCollection();
    sha_->StartProcessHeartbeat(5, 30);
    const AgentApp* configApp = apps_->Get("config");
    healthService_->SetSubStatusSource([configApp] {
        return ozy::DaemonHealthService::SubStatus{
            {kCairndbConnection, CairndbConnectionStatusOf(configApp)}};
    });
    healthService_->SetStatus("RUNNING");
    CFG_INFO("Start-up complete");
}

void Agent::Shutdown() {
    CFG_INFO("Clean up platform");
    if (healthService_) {
        healthService_->SetStatus("STOPPING");
        // The applications stop below; the health RPC no longer asks them.
        healthService_->SetSubStatusSource(nullptr);
    }
    // 2
    if (cairndb_)
        cairndb_->stop();
    if (smartnic_)
        smartnic_->Stop();
    // 3
    if (cairndb_ && cairndb_->upm())
        cairndb_->upm()->Stop();
    StopDispatcher();
    // 4
    if (apps_ && !appList_.empty()) {
        apps_->StopAll();
        if (opsLink_)
            opsLink_->Stop();
    }
    // 5
    if (cli_)
        cli_->Stop();
    // 6
    if (dispatcher_ && stateCache_)
        dispatcher_->UnregisterComponent(stateCache_->L3Table());
    // 7
    if (stateCacheObserver_)
        stateCacheObserver_->UnregisterRuntimeCache();
    // 8
    if (workGroupStarted_) {
        WorkGroups::Stop();
        workGroupStarted_ = false;
    }
    // 9
    if (sha_) {
        sha_->StopMetricCollection();
        sha_->UnregisterMetricCollectionAll();
        sha_->StopProcessHeartbeat();
        sha_->Stop();
        sha_.reset();
    }
}

void Agent::ReleaseAll() {
    cli_.reset();
    apps_.reset();
    opsLink_.reset();
    dispatcher_.reset();
    stateCacheObserver_.reset();
    cairndb_.reset();
    smartnic_.reset();
    updateQueue_.reset();
    stateCache_.reset();
    conduit_.reset();
    if (rpcServer_)
        rpcServer_->Shutdown();
    rpcServer_.reset();
    healthService_.reset();
    version_.reset();
    Logger::attachMetrics(nullptr);
    ozy::monitoring::AlarmTable::Instance().AttachMetrics(nullptr);
    provider_.reset();
}

int Agent::Run(int argc, char** argv) {
    InstallTerminateReport();
    ReserveMemoryForAllocFailure(256 * 1024);
    // Before any thread: two arenas, and blocks of 128 KiB or more mapped on their own (a full
    // sync's batch and replies go back to the system when freed instead of raising the peak).
    ozy::TuneAllocator(kAllocatorArenas, kAllocatorMapBytes);
    int status = 0;
    try {
        status = Startup(argc, argv);
        if (status != 0)
            return status;
        provider_->Run(1);
        Shutdown();
        ReleaseAll();
        CFG_INFO("Shutdown complete (%1 thread(s) left)", CountThreads());
        return 0;
    } catch (const std::bad_alloc&) {
        // Formatting a log line needs memory: the failure path writes its lines as they are.
        ExitOnAllocFailure("Failed to run ozy-cfgagent");
    } catch (const std::exception& e) {
        CFG_ERROR("Failed to run ozy-cfgagent");
        // The reason, e.g. "No such node (config.cfgAgent.apps)" for a file without the
        // application list.
        CFG_ERROR("Start-up failure: %1", e.what());
    }
    // What was started is stopped so that the process can exit without threads still running.
    StopDispatcher();
    if (workGroupStarted_) {
        WorkGroups::Stop();
        workGroupStarted_ = false;
    }
    if (sha_)
        sha_->Stop();
    return kExitFailure;
}

}  // namespace

int AgentMain(int argc, char** argv) {
    Agent agent;
    return agent.Run(argc, argv);
}

}  // namespace CfgAgent
