// ConfigApp: start-up, shutdown, desired state and the timers. The KCP session is in
// ConfigAppKcp.cc, the VIF state in ConfigAppVifState.cc.
#include "apps/switching/ConfigApp.h"

#include <algorithm>
#include <optional>
#include <set>
#include <string_view>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/property_tree/ptree.hpp>

#include "apps/switching/CIFConfig.h"
#include "apps/switching/DaemonHealthMonitor.h"
#include "cli/CliPages.h"
#include "conduit/ConduitService.h"
#include "intake/MsgDispatcher.h"
#include "platform/WorkflowUtil.h"
#include "platform/device/KrnnicAddressQuery.h"
#include "proto/cairndb_types.pb.h"
#include "runtime/AgentLock.h"
#include "runtime/AgentSettings.h"
#include "runtime/AsyncTimer.h"
#include "runtime/IoContexts.h"
#include "runtime/Logger.h"
#include "runtime/MemoryAccounts.h"
#include "statecache/IStateCacheConfigTable.h"
#include "statecache/IdText.h"

namespace CfgAgent {

namespace {

// The trace contexts that came with the records (each once), for the span of their handling.
std::vector<std::string> TraceParents(const CairnDBUpdateList& updates) {
    std::vector<std::string> parents;
    for (const CairnDBUpdateMsg& u : updates) {
        if (!u.traceContext().empty() &&
            std::find(parents.begin(), parents.end(), u.traceContext()) == parents.end()) {
            parents.push_back(u.traceContext());
        }
    }
    return parents;
}

// The object types whose desired state ConfigApp observes in the configuration table, in the
// order of registration.
constexpr ObjectType kObservedTypes[] = {
    ObjectType::LOG_SWITCH_CONFIG,     ObjectType::LOG_SWITCH_PORT_CONFIG,
    ObjectType::TRANSPORT_NODE_CONFIG, ObjectType::PORT_MIRROR_SESSION,
    ObjectType::BRIDGE_CLUSTER_CONFIG,
};

}  // namespace

ConfigApp::ConfigApp(ConfigAppOptions options)
    : options_(std::move(options)), configTable_(options_.configTable) {
    persona_ = options_.persona != 0 ? options_.persona : AgentSettings::Persona();
    if (!options_.makeLink)
        options_.makeLink = SystemKrnlinkFactory();
}

ConfigApp::~ConfigApp() {
    DropMemoryAccount();
}

void ConfigApp::DropMemoryAccount() {
    uint64_t account = 0;
    {
        AgentLockGuard lock(GlobalAgentLock());
        if (accountTarget_)
            *accountTarget_ = nullptr;
        account = memoryAccount_;
        memoryAccount_ = 0;
    }
    if (account != 0)
        ozy::MemoryAccounts::Unregister(account);
}

void ConfigApp::Init(const boost::property_tree::ptree& config) {
    // 1. IP discovery, on the same subtree.
    ipDiscovery_ = ozy::MakeRef<IpDiscovery>(this, options_.cairndb, options_.makeLink);
    ipDiscovery_->AttachProfileService(options_.upm);
    ipDiscovery_->Start(config);

    // 2-3. The KCP link. An empty subtree names no endpoint (every open then fails); a non-empty
    // one must name it.
    std::string path;
    if (!config.empty())
        path = config.get<std::string>(kLinkPathKey);
    ozy::RefPtr<ConfigApp> self(this);
    {
        AgentLockGuard lock(GlobalAgentLock());
        link_ = options_.makeLink(
            path,
            [self](const uint8_t* msg, size_t length) { self->HandleKcpMessage(msg, length); },
            [self](DataplaneLink* link, int status) { self->HandleLinkStatus(link, status); },
            kLinkBufferSize);
    }

    // 4. Desired-state observer of the configuration table.
    if (configTable_ != nullptr) {
        for (ObjectType t : kObservedTypes)
            configTable_->RegisterDesiredStateObserver(t, this);
    }
    // 5. Dispatcher component.
    if (options_.dispatcher != nullptr)
        options_.dispatcher->RegisterComponent(ComponentType::CONFIGAPP, this);

    // 6. The conversion engine, then the health monitor when asked for.
    {
        AgentLockGuard lock(GlobalAgentLock());
        if (options_.makeConvertor)
            convertor_ = options_.makeConvertor(this);
        if (!convertor_) {
            CFG_ERROR_CODE("LCP00502", "ConfigApp: no DVS property convertor, cannot start");
            return;
        }
        convertor_->Init(config);
        cifConfig_ = std::make_unique<CIFConfig>(this, configTable_, convertor_.get());
        // The container-interface bus: its pools, fed by CIFConfig, whose LIP notices and
        // kernel-NIC poll run on the timer context.
        conduit_ = std::make_unique<ozy::Conduit::ConduitService>();
        if (options_.krnnicQuery == nullptr)
            krnnicQuery_ = std::make_unique<ozy::device::VswitchKrnnicAddressQuery>();
        CIFConfig::ConduitOptions bus;
        bus.service = conduit_.get();
        bus.query = options_.krnnicQuery != nullptr ? options_.krnnicQuery : krnnicQuery_.get();
        bus.io = options_.timerContext != nullptr ? options_.timerContext : &SerialContext();
        int64_t pollMs = config.get<int64_t>(CIFConfig::kPollIntervalKey, 5000);
        if (pollMs < 100 || pollMs > 600000) {
            CFG_ERROR_CODE("LCP00001", "ConfigApp: %1 %2 is outside 100-600000 ms, 5000 used",
                           CIFConfig::kPollIntervalKey, pollMs);
            pollMs = 5000;
        }
        bus.pollInterval = std::chrono::milliseconds(pollMs);
        cifConfig_->AttachConduit(bus);
        if (config.get<bool>(kHealthMonitorKey, false)) {
            if (options_.liveness == nullptr) {
                CFG_WARN("ConfigApp: health monitor requested, but no database client to watch");
            } else {
                healthMonitor_ = ozy::MakeRef<DaemonHealthMonitor>(
                    [self](bool connected) { self->OnDaemonHealthChange(connected); },
                    options_.liveness,
                    options_.healthContext != nullptr ? *options_.healthContext : IoContext());
                healthMonitor_->Start();
                CFG_INFO("ConfigApp: daemon health monitor started");
            }
        }
        initialized_ = true;
        accountTarget_ = std::make_shared<const ConfigApp*>(this);
        memoryAccount_ = ozy::MemoryAccounts::Register("ConfigApp", [target = accountTarget_] {
            AgentLockGuard lock(GlobalAgentLock());
            return *target != nullptr ? (*target)->TableBytes() : size_t{0};
        });
    }
    // The session opens once the link comes up (HandleLinkStatus).
    if (link_)
        link_->Start();
}

void ConfigApp::PostStart() {
    boost::asio::io_context& io =
        options_.timerContext != nullptr ? *options_.timerContext : SerialContext();
    ozy::RefPtr<ConfigApp> self(this);
    boost::asio::post(io, [self, &io] {
        AgentLockGuard lock(GlobalAgentLock());
        if (self->stopped_ || self->hopoverTimer_)
            return;
        self->hopoverTimer_ =
            std::make_shared<AsyncTimer<ConfigApp>>(io, &ConfigApp::OnHopoverTimer, self.get());
        self->hopoverTimer_->start(kHopoverCheckIntervalMicros);
        CFG_DEBUG("ConfigApp: hopover status timer armed");
    });
}

void ConfigApp::Stop() {
    ozy::RefPtr<DaemonHealthMonitor> monitor;
    std::shared_ptr<AsyncTimer<ConfigApp>> timer;
    ozy::RefPtr<DataplaneLink> link;
    {
        AgentLockGuard lock(GlobalAgentLock());
        if (stopped_)
            return;
        stopped_ = true;
        monitor = std::move(healthMonitor_);
        timer = std::move(hopoverTimer_);
        link = link_;
    }
    DropMemoryAccount();
    if (monitor)
        monitor->Stop();
    if (timer)
        timer->stop();
    // The link's handlers hold this object; the link is stopped before it is let go.
    if (link)
        link->Stop();
    if (options_.dispatcher != nullptr)
        options_.dispatcher->UnregisterComponent(this);
    if (configTable_ != nullptr) {
        for (ObjectType t : kObservedTypes)
            configTable_->UnregisterDesiredStateObserver(t, this);
    }
    AgentLockGuard lock(GlobalAgentLock());
    if (cifConfig_)
        cifConfig_->Stop();
    if (convertor_)
        convertor_->Stop();
    if (ipDiscovery_)
        ipDiscovery_->Stop();
    link_.reset();
    CFG_INFO("ConfigApp: stopped");
}

// ---- desired state ----

namespace {

// A tenant identifier as the log context takes it: at most 8 characters.
std::string_view TenantIdText(const std::string& id) {
    return std::string_view(id).substr(0, 8);
}

}  // namespace

void ConfigApp::PushFullState(const char* why) {
    CFG_INFO("%1", why);
    convertor_->PushFullState();
    cifConfig_->PushFullState();
    desiredStateSynced_ = true;
}

void ConfigApp::ApplyDesiredRecords(const CairnDBUpdateList& updates,
                                    std::set<std::string>* unblockPorts,
                                    std::set<std::string>* unblockSwitches) {
    // The records of one object carry the same tenant: parsed once per change of it.
    const std::string* tenantOf = nullptr;
    std::optional<ScopedLogTenant> tenant;
    for (const CairnDBUpdateMsg& u : updates) {
        bool isDelete = u.op == Operation::OPERATION_DELETE;
        if (tenantOf == nullptr || *tenantOf != u.tenantContext()) {
            tenantOf = &u.tenantContext();
            tenant.reset();
            orvane::ozy::cairndb::TenantContextMsg t;
            if (!u.tenantContext().empty() && t.ParseFromString(u.tenantContext())) {
                tenant.emplace(TenantIdText(t.org_id()), TenantIdText(t.project_id()),
                               TenantIdText(t.vpc_id()));
            }
        }
        if (Logger::enabled(kLogDebug)) {
            if (u.data.empty()) {
                CFG_DEBUG(
                    "ConfigApp: received desired config update (Empty Value), id %1 object type "
                    "%2",
                    IdText(u.id), ObjTypeToString(u.objType));
            } else {
                CFG_DEBUG(
                    "ConfigApp: received desired config update, id %1 type %2 property type %3 "
                    "(%4)",
                    IdText(u.id), ObjTypeToString(u.objType), PropertyTypeToString(u.property),
                    isDelete ? "Delete" : "Update");
            }
        }
        // A whole-object record is an entity update; a property record (its value is empty when
        // the property was removed) is a property update.
        if (u.property == PropertyType::INVALID_PROPERTY) {
            convertor_->ProcessConfigEntityUpdate(u.objType, u.id, u.op);
        } else {
            convertor_->ProcessConfigPropertyUpdate(u.objType, u.id, u.op, u.property, u.data);
        }
        if (isDelete && u.property == PropertyType::LSP_ADMIN_STATE_UP) {
            unblockPorts->insert(u.id);
        } else if (!isDelete &&
                   (u.property == PropertyType::LS_VNI || u.property == PropertyType::LS_VLAN ||
                    u.property == PropertyType::LS_ADMIN_STATE_UP ||
                    u.property == PropertyType::LS_VLAN_TRUNK)) {
            unblockSwitches->insert(u.id);
        }
    }
}

void ConfigApp::ProcessConfigDesiredStateFullSyncPart(const CairnDBUpdateList& part, bool first) {
    ozy::wft::Span span("ConfigApp.ProcessConfigDesiredStateFullSyncPart", TraceParents(part),
                        false);
    AgentLockGuard lock(GlobalAgentLock());
    if (!convertor_ || stopped_)
        return;
    FullSyncParts& parts = fullSyncParts_;
    if (first || !parts.open)
        parts = FullSyncParts();
    parts.open = true;
    ApplyDesiredRecords(part, &parts.unblockPorts, &parts.unblockSwitches);
    parts.records += part.size();
    for (const CairnDBUpdateMsg& u : part) {
        if (!parts.objects.empty() && parts.objects.back().objType == u.objType &&
            parts.objects.back().id == u.id) {
            continue;
        }
        CairnDBUpdateMsg object;
        object.objType = u.objType;
        object.op = u.op;
        object.id = u.id;
        parts.objects.push_back(std::move(object));
    }
}

void ConfigApp::ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) {
    ozy::wft::Span span("ConfigApp.ProcessConfigDesiredStateUpdate", TraceParents(updates), false);
    AgentLockGuard lock(GlobalAgentLock());
    if (!convertor_ || stopped_)
        return;
    std::set<std::string> unblockPorts;
    std::set<std::string> unblockSwitches;
    ApplyDesiredRecords(updates, &unblockPorts, &unblockSwitches);
    // The last call of a full sync in parts: what the parts left joins this call's records.
    bool empty = updates.empty();
    CairnDBUpdateList joined;
    const CairnDBUpdateList* cifRecords = &updates;
    if (fullSync && fullSyncParts_.open) {
        FullSyncParts parts = std::move(fullSyncParts_);
        fullSyncParts_ = FullSyncParts();
        empty = empty && parts.records == 0;
        unblockPorts.merge(parts.unblockPorts);
        unblockSwitches.merge(parts.unblockSwitches);
        joined = std::move(parts.objects);
        joined.insert(joined.end(), updates.begin(), updates.end());
        cifRecords = &joined;
    }
    // The container interfaces of the batch's logical ports; their child ports' properties go
    // with the end-of-batch flush.
    cifConfig_->ProcessConfigDesiredStateUpdate(*cifRecords, fullSync);
    CairnDBUpdateList().swap(joined);
    convertor_->SendPortUnblockUpdate(unblockPorts, unblockSwitches);
    if (fullSync) {
        desiredStateSynced_ = false;
        if (!linkUp_)
            return;
        if (empty) {
            CFG_INFO("ConfigApp: No updates from cairndb during host reboot");
            return;
        }
        PushFullState("ConfigApp: Start full sync with DP after sync with cairndb");
        return;
    }
    if (!linkUp_ || desiredStateSynced_)
        return;
    PushFullState("ConfigApp: Start full sync with DP after host reboot");
}

void ConfigApp::UpdateDesiredState(const CairnDBUpdateList& objects, bool fullSync) {
    ozy::wft::Span span("ConfigApp.UpdateDesiredState", TraceParents(objects), false);
    AgentLockGuard lock(GlobalAgentLock());
    if (!convertor_ || stopped_)
        return;
    CairnDBUpdateList daVifs, transportNodes, backings, spans, ccpSessions, globals, cifObjects;
    for (const CairnDBUpdateMsg& o : objects) {
        switch (o.objType) {
            case ObjectType::DA_VIF:
                daVifs.push_back(o);
                break;
            case ObjectType::TRANSPORT_NODE_CONFIG:
                transportNodes.push_back(o);
                cifObjects.push_back(o);
                break;
            case ObjectType::HOST_SWITCH_SMARTNIC_BACKING:
                backings.push_back(o);
                break;
            case ObjectType::CONFIG_SPAN:
                spans.push_back(o);
                cifObjects.push_back(o);
                break;
            case ObjectType::CONTAINER:
                cifObjects.push_back(o);
                break;
            case ObjectType::CCP_SESSION:
                ccpSessions.push_back(o);
                break;
            case ObjectType::GLOBAL_CONFIG:
                globals.push_back(o);
                break;
            case ObjectType::CONDUIT_CHANNEL_GLOBAL_CONFIG:
            case ObjectType::CONDUIT_CHANNEL_VIF_CONFIG:
                cifObjects.push_back(o);
                break;
            default:
                CFG_TRACE("ConfigApp: object type %1 not handled here", ObjTypeToString(o.objType));
                break;
        }
    }
    // On a full sync every handler hears of it, so that each can drop what it no longer gets.
    if (fullSync || !daVifs.empty())
        ipDiscovery_->UpdateDesiredState(daVifs, fullSync);
    if (fullSync || !transportNodes.empty())
        convertor_->HandleTransportNodes(transportNodes, fullSync);
    if (fullSync || !backings.empty())
        convertor_->HandleOffloadedHostSwitches(backings, fullSync);
    if (fullSync || !spans.empty())
        convertor_->HandleConfigSpans(spans, fullSync);
    if (fullSync || !ccpSessions.empty())
        convertor_->HandleCcpSessions(ccpSessions, fullSync);
    if (fullSync || !globals.empty())
        convertor_->HandleGlobalConfigs(globals, fullSync);
    if (fullSync || !cifObjects.empty())
        cifConfig_->UpdateDesiredState(cifObjects, fullSync);
}

// ---- health ----

void ConfigApp::OnDaemonHealthChange(bool connected) {
    AgentLockGuard lock(GlobalAgentLock());
    if (!convertor_ || stopped_)
        return;
    CFG_INFO("ConfigApp: cairndb health state turns to %1", connected ? "UP" : "DOWN");
    convertor_->OnDaemonHealthStateUpdate(connected);
}

void ConfigApp::RegisterCliPages(CliPages& pages) {
    pages.AddOutOfSync("config", [this] { SimulateOutOfSync(); });
    auto dump = [this](std::string (IDVSPropConvertor::*what)() const) {
        return [this, what](const CliPages::Args&) {
            AgentLockGuard lock(GlobalAgentLock());
            return CliReply::Ok(convertor_ ? ((*convertor_).*what)() : std::string("[]"));
        };
    };
    pages.Add("cfgagent/config/uplink", "", 0, 0, dump(&IDVSPropConvertor::DumpUplinks));
    // The engine's container-bus kernel NICs with what the bus made of them.
    pages.Add("cfgagent/config/conduitkrn", "", 0, 0, [this](const CliPages::Args&) {
        AgentLockGuard lock(GlobalAgentLock());
        std::string programmed = convertor_ ? convertor_->DumpConduitKrnnics() : "[]";
        return CliReply::Ok(cifConfig_ ? cifConfig_->DumpConduitKrnnics(programmed) : programmed);
    });
    pages.Add("cfgagent/config/ciflist", "", 0, 0, [this](const CliPages::Args&) {
        AgentLockGuard lock(GlobalAgentLock());
        return CliReply::Ok(cifConfig_ ? cifConfig_->DumpCifs() : std::string("[]"));
    });
}

std::string ConfigApp::CairndbConnectionStatus() const {
    ozy::RefPtr<DaemonHealthMonitor> monitor;
    {
        AgentLockGuard lock(GlobalAgentLock());
        monitor = healthMonitor_;
    }
    if (!monitor)
        return "UNKNOWN";
    return monitor->Connected() ? "UP" : "DOWN";
}

// ---- state ----

int ConfigApp::sessionState() const {
    AgentLockGuard lock(GlobalAgentLock());
    return sessionState_;
}
bool ConfigApp::fullSyncDone() const {
    AgentLockGuard lock(GlobalAgentLock());
    return fullSyncDone_;
}
bool ConfigApp::desiredStateSynced() const {
    AgentLockGuard lock(GlobalAgentLock());
    return desiredStateSynced_;
}
bool ConfigApp::ipDiscoveryFullSyncDone() const {
    AgentLockGuard lock(GlobalAgentLock());
    return ipDisFullSyncDone_;
}
size_t ConfigApp::vifCount() const {
    AgentLockGuard lock(GlobalAgentLock());
    return vifStates_.size();
}
size_t ConfigApp::hopoverCount() const {
    AgentLockGuard lock(GlobalAgentLock());
    return hopover_.size();
}
size_t ConfigApp::pendingFragments() const {
    AgentLockGuard lock(GlobalAgentLock());
    return fragments_.size();
}

}  // namespace CfgAgent
