#include "intake/CairndbClient.h"

#include <chrono>
#include <optional>
#include <utility>

#include "intake/ISmartNicCoordinator.h"
#include "platform/AsioOzyProvider.h"
#include "platform/SNUtil.h"
#include "platform/WorkflowUtil.h"
#include "platform/cairndb/CairnDbClient.h"
#include "platform/upm/UPMService.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_monitor.pb.h"
#include "proto/cairndb_routing.pb.h"
#include "proto/cairndb_si.pb.h"
#include "runtime/AgentClock.h"
#include "runtime/AgentLock.h"
#include "runtime/AgentSettings.h"
#include "runtime/Logger.h"
#include "runtime/WorkGroup.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

std::atomic<uint64_t> g_transactionId{1};
std::atomic<uint64_t> g_writeMessageId{1};

constexpr const char* kDefaultEndpoint = "tcp://127.0.0.1:2480";

int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The agent clock, so that tests can make a submission slow without waiting.
int64_t NowNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               AgentClock::now().time_since_epoch())
        .count();
}

pb::MonitorStatementMsg Statement(ObjectType type, bool option) {
    pb::MonitorStatementMsg s;
    s.mutable_statement()->set_object_type(static_cast<pb::ObjectType>(type));
    s.set_option(option);
    return s;
}

// A select statement: the serialized op template in which the id and the watched fields carry
// SELECT. Select statements deliver the old body, which the entry expansion of the decoder needs.
template <class OpClass>
pb::MonitorStatementMsg SelectStatement(ObjectType type,
                                        const std::function<void(OpClass&)>& fields) {
    OpClass tmpl;
    tmpl.mutable_id()->set_op(pb::SELECT);
    fields(tmpl);
    pb::MonitorStatementMsg s = Statement(type, true);
    s.mutable_statement()->mutable_select()->set_op_template(tmpl.SerializeAsString());
    return s;
}

}  // namespace

uint64_t CairndbClient::NextTransactionId() {
    return g_transactionId.load();
}
uint64_t CairndbClient::NextWriteMessageId() {
    return g_writeMessageId.load();
}

CairndbClient::CairndbClient(UpdateQueuePtr updateQueue, RuntimeStateSource runtime,
                             const CairndbClientOptions& options)
    : updateQueue_(std::move(updateQueue)),
      writeQueue_(std::make_shared<WriteQueue>(WriteQueue::kUnbounded, true, true)),
      runtime_(std::move(runtime)),
      writerSync_(std::make_shared<WriterSync>()),
      reconcileWait_(options.reconcileWait),
      partRecords_(options.fullSyncPartRecords),
      partWait_(options.fullSyncPartWait) {
    init(options);
}

CairndbClient::~CairndbClient() {
    // No library callback may run on a destroyed client (nor on its profile service).
    if (lib_) {
        lib_->Stop();
    }
    upm_.reset();
}

void CairndbClient::init(const CairndbClientOptions& options) {
    persona_ = options.persona != 0 ? options.persona : SNUtil::GetNodePersona();
    std::string name = "cfg-agent";
    std::string endpoint = kDefaultEndpoint;
    std::string service;
    switch (persona_) {
        case kPersonaSmartnicHost:
            service = "ozy-cfgagent-host";
            break;
        case kPersonaSmartnic:
            endpoint = "tcp://" + SNUtil::GetSNHostMgmtIPOnSN() + ":2480";
            CFG_INFO("CairndbClient: Host cairndb endpoint on smartnic is %1", endpoint);
            name = "sn-cfg-agent";
            service = "ozy-cfgagent-sn";
            localSnId_ = options.localSnId.empty()
                             ? SNUtil::GetSNUUIDFromIP(SNUtil::GetSNMgmtIPOnSN())
                             : options.localSnId;
            CFG_INFO("CairndbClient: Smartnic uuid is %1", localSnId_);
            break;
        case kPersonaOther:
            service = "ozy-cfgagent";
            break;
        default:
            return;  // no client for an unknown persona
    }
    if (persona_ != kPersonaSmartnic) {
        mainVdb_.store(kHostVdb);
        active_.store(true);
    }
    endpoint = ozy::cairndb::CairndbEndpointText(endpoint);
    if (options.library) {
        lib_ = options.library;
    } else if (options.provider != nullptr) {
        ozy::net::Endpoint parsed(endpoint);
        if (!parsed.valid()) {
            CFG_ERROR("CairndbClient: invalid cairndb endpoint %1", endpoint);
            return;
        }
        ozy::cairndb::CairnDbClientOptions libraryOptions;
        libraryOptions.probeInterval = options.probeInterval;
        lib_ = std::make_shared<ozy::cairndb::CairnDbClient>(name, parsed, options.provider->io(),
                                                             libraryOptions);
    } else {
        CFG_ERROR("CairndbClient: no platform provider to build the database client");
        return;
    }
    ozy::wft::WorkflowUtil::Init(lib_.get(), service);
    upm_ = std::make_unique<ozy::upm::UPMService>(lib_, kHostVdb);
    CFG_DEBUG("CairndbClient: %1 on %2", name, endpoint);
}

bool CairndbClient::start() {
    CFG_INFO("CairndbClient: start");
    if (!lib_) {
        CFG_ERROR("CairndbClient: no database client for node persona %1", persona_);
        return false;
    }
    lib_->SetChannelStatusCallback([this](bool up) { ChannelStatusCB(up); });
    if (persona_ == kPersonaSmartnic) {
        RegisterBackingMonitor();
    } else {
        RegisterMonitorCB(mainVdbId());
    }
    lib_->StartAsync();
    CFG_INFO("CairndbClient: registered monitor objects");
    writeQueue_->restart();
    {
        // A stopped library acknowledges nothing more: what it was given before is not waited
        // for.
        std::lock_guard<std::mutex> lock(writerSync_->mutex);
        writerSync_->stopping = false;
        writerSync_->inFlight = 0;
    }
    started_.store(true);
    writerRunning_.store(true);
    if (!WorkGroups::Post(MakeWorkItem(&CairndbClient::WriterLoop, this, "CairndbClient writer"))) {
        writerRunning_.store(false);
    }
    return true;
}

void CairndbClient::stop() {
    if (lib_ && started_.exchange(false)) {
        uint16_t vdb = mainVdbId();
        if (vdb != 0) {
            UnregisterMonitorCB(vdb);
        }
        CFG_INFO("CairndbClient: unregistered monitor objects");
        lib_->Stop();
    }
    // The writer drains what is queued and returns (a reconciliation it waits for gives up).
    {
        std::lock_guard<std::mutex> lock(writerSync_->mutex);
        writerSync_->stopping = true;
    }
    writerSync_->changed.notify_all();
    writeQueue_->stop();
    CFG_INFO("CairndbClient: stop");
}

std::vector<pb::MonitorStatementMsg> CairndbClient::ConfigStatements() const {
    using OT = ObjectType;
    std::vector<pb::MonitorStatementMsg> s;
    auto add = [&s](OT t, bool option) { s.push_back(Statement(t, option)); };
    add(OT::LOG_SWITCH_CONFIG, true);
    add(OT::LOG_SWITCH_PORT_CONFIG, true);
    add(OT::TRANSPORT_NODE_CONFIG, true);
    add(OT::BRIDGE_CLUSTER_CONFIG, false);
    add(OT::PORT_MIRROR_SESSION, false);
    add(OT::IPFIX_CONFIGURATION, false);
    add(OT::PROFILE, true);
    add(OT::CONTAINER, true);
    add(OT::ENTITY_GROUP_RELATION, true);
    add(OT::CONTEXT_PROFILE, true);
    add(OT::IDS_SIGNATURES, true);
    add(OT::VTEP_GROUP, true);
    s.push_back(
        SelectStatement<pb::LogSwitchFibOpMsg>(OT::LOG_SWITCH_FIB, [](pb::LogSwitchFibOpMsg& t) {
            t.mutable_vtep_entries()->set_op(pb::SELECT);
            t.mutable_mac_entries()->set_op(pb::SELECT);
            t.mutable_ip_entries()->set_op(pb::SELECT);
        }));
    s.push_back(SelectStatement<pb::RoutingDomainFibOpMsg>(
        OT::ROUTING_DOMAIN_FIB,
        [](pb::RoutingDomainFibOpMsg& t) { t.mutable_vtep_entries()->set_op(pb::SELECT); }));
    add(OT::LOG_ROUTER_CONFIG, false);
    add(OT::LOG_ROUTER_PORT_CONFIG, false);
    s.push_back(SelectStatement<pb::FibOpMsg>(OT::FIB, [](pb::FibOpMsg& t) {
        t.mutable_prefix()->set_op(pb::SELECT);
        t.mutable_next_hops()->set_op(pb::SELECT);
    }));
    s.push_back(SelectStatement<pb::ArpTableConfigOpMsg>(
        OT::ARP_TABLE_CONFIG,
        [](pb::ArpTableConfigOpMsg& t) { t.mutable_entries()->set_op(pb::SELECT); }));
    add(OT::PREFIX_LIST, false);
    add(OT::DA_VIF, false);
    add(OT::GLOBAL_CONFIG, true);
    add(OT::MULTICAST_CONFIG, true);
    add(OT::NDRA_PROFILE_CONFIG, false);
    add(OT::DAD_PROFILE_CONFIG, false);
    add(OT::LOG_ROUTER_PORT_FIB_DAD_STATE, false);
    add(OT::LOG_ROUTER_PORT_DAD_REQUEST, false);
    add(OT::NSG_MEMBERSHIP_STATUS, false);
    add(OT::MULTICAST_STATIC_ROUTE, false);
    if (persona_ == kPersonaSmartnicHost) {
        add(OT::HOST_SWITCH_SMARTNIC_BACKING, false);
    } else if (persona_ == kPersonaSmartnic) {
        add(OT::CFG_AGENT_FAILOVER_ACK, false);
    }
    // Firewall group.
    add(OT::RULE, true);
    add(OT::RULE_SECTION, true);
    add(OT::CONFIG_SPAN, true);
    add(OT::IP_REPUTATION_CONFIG, true);
    add(OT::CONDUIT_CHANNEL_GLOBAL_CONFIG, false);
    // The per-VIF channel flag: decoded for ConfigApp, so monitored beside the global settings.
    add(OT::CONDUIT_CHANNEL_VIF_CONFIG, false);
    add(OT::CCP_SESSION, false);
    // Service insertion: every field SIApp reads, so that a changed hop or chain reaches it.
    s.push_back(SelectStatement<pb::SiServiceChainOpMsg>(
        OT::SI_SERVICE_CHAIN, [](pb::SiServiceChainOpMsg& t) {
            t.mutable_service_chain_id()->set_op(pb::SELECT);
            t.mutable_path_selection_policy()->set_op(pb::SELECT);
        }));
    s.push_back(
        SelectStatement<pb::SiServicePathOpMsg>(OT::SI_SERVICE_PATH, [](pb::SiServicePathOpMsg& t) {
            t.mutable_service_path_id()->set_op(pb::SELECT);
            t.mutable_service_chain_id()->set_op(pb::SELECT);
            t.mutable_forward()->set_op(pb::SELECT);
            t.mutable_reverse()->set_op(pb::SELECT);
        }));
    s.push_back(SelectStatement<pb::SiRedirectionPolicyOpMsg>(
        OT::SI_REDIRECTION_POLICY, [](pb::SiRedirectionPolicyOpMsg& t) {
            t.mutable_policy_id()->set_op(pb::SELECT);
            t.mutable_transport_type()->set_op(pb::SELECT);
            t.mutable_failure_policy()->set_op(pb::SELECT);
            t.mutable_service_chain_id()->set_op(pb::SELECT);
            t.mutable_service_plane()->set_op(pb::SELECT);
        }));
    // Load-balancer group.
    add(OT::LB_SERVICE, true);
    add(OT::LB_VIRTUAL_SERVER, true);
    add(OT::LB_APPLICATION_PROFILE, true);
    add(OT::LB_PERSISTENCE_PROFILE, true);
    add(OT::LB_POOL, true);
    // IDS group.
    add(OT::FLEET_CLUSTER_HOST_CONFIG, true);
    add(OT::SECURITY_FEATURE_TOGGLE, true);
    add(OT::IDS_THRESHOLD_CONFIG, true);
    add(OT::BARRIER, false);
    add(OT::BFD_GLOBAL_CONFIG, false);
    return s;
}

bool CairndbClient::RegisterMonitorCB(uint16_t vdb) {
    CFG_INFO("CairndbClient: RegisterMonitorCB vdb id %1", vdb);
    if (vdb != kHostVdb && !lib_->AddMonitorSession(vdb)) {
        CFG_ERROR("CairndbClient: RegisterMonitorCB: Failed to add monitor session for vdb %1",
                  vdb);
    }
    lib_->RegisterMonitorCallbacks(
        kMonitorId, vdb, [this](const pb::MonitorUpdateMsg& u) { MonitorUpdateCB(u); },
        [this] { MonitorBarrierCB(); });
    // The first barrier of a newly monitored vdb ends its full contents.
    fullSyncSeen_ = false;
    AbandonFullSyncParts("another vdb is monitored");
    if (!lib_->ConfigureMonitor(ConfigStatements(), {}, kMonitorId, vdb)) {
        CFG_ERROR("CairndbClient: RegisterMonitorCB: Failed to configure monitor for vdb %1", vdb);
        return false;
    }
    return true;
}

bool CairndbClient::UnregisterMonitorCB(uint16_t vdb) {
    bool ok = lib_->ConfigureMonitor({}, ConfigStatements(), kMonitorId, vdb);
    if (!ok) {
        CFG_ERROR("CairndbClient: UnregisterMonitorCB: Failed to configure monitor for vdb %1",
                  vdb);
    }
    if (vdb != kHostVdb) {
        lib_->RemoveMonitorSession(vdb);
    }
    return ok;
}

bool CairndbClient::RegisterBackingMonitor() {
    CFG_INFO("CairndbClient: Register Hyvio smartnic monitor callbacks");
    lib_->RegisterMonitorCallbacks(
        kBackingMonitorId, kHostVdb,
        [this](const pb::MonitorUpdateMsg& u) { HyvioSmartnicMonitorUpdateCB(u); },
        [this] { HyvioSmartnicMonitorBarrierCB(); });
    std::vector<pb::MonitorStatementMsg> statements{
        Statement(ObjectType::HOST_SWITCH_SMARTNIC_BACKING, false)};
    if (!lib_->ConfigureMonitor(statements, {}, kBackingMonitorId, kHostVdb)) {
        CFG_ERROR("CairndbClient: RegisterMonitorCB: Failed to configure monitor for vdb %1",
                  kHostVdb);
        return false;
    }
    return true;
}

void CairndbClient::MonitorUpdateCB(const pb::MonitorUpdateMsg& update) {
    // While a full sync goes in parts, the decoding does not run ahead of the dispatcher: it waits
    // without the agent lock, which delivering a part takes.
    if (partsOpen_ && updateQueue_)
        updateQueue_->waitForSizeBelow(kQueuedParts, partWait_);
    const ObjectType type = static_cast<ObjectType>(update.object_type());
    std::optional<AgentLockGuard> lock;
    if (!FilesWithoutAgentLock(type))
        lock.emplace(GlobalAgentLock());
    std::unique_ptr<ozy::wft::Span> span;
    if (update.has_span_context()) {
        std::vector<std::string> parents{update.span_context().SerializeAsString()};
        span = std::make_unique<ozy::wft::Span>("CairndbClient.MonitorUpdateCB", parents);
        const pb::SpanContextMsg& sc = update.span_context();
        CFG_DEBUG(
            "CairndbClient: received msg from cairndb with workflow tracing info: high trace id "
            "%1, low trace id "
            "%2, span id %3, parent id %4",
            sc.trace_id_high(), sc.trace_id_low(), sc.span_id(), sc.parent_span_id());
    }
    if (type == ObjectType::OBJECT_TYPE_INVALID) {
        CFG_ERROR_CODE("LCP00028", "CairndbClient: received INVALID type msg from CairnDB");
        return;
    }
    if (type == ObjectType::CFG_AGENT_FAILOVER_ACK) {
        if (persona_ == kPersonaSmartnic) {
            ProcessFailoverAck(update);
        }
        return;
    }
    if (!Decoder::Decode(update, &decoded_)) {
        CFG_DEBUG("CairndbClient: ignore msg of type %1", static_cast<uint32_t>(type));
        return;
    }
    CFG_DEBUG("CairndbClient: %1 decoded into %2 record(s)",
              ObjectTypeName(static_cast<uint32_t>(type)), decoded_.RecordCount());
    const DemuxRoute route = decoded_.demux;
    if (coordinator_ != nullptr && route == DemuxRoute::KIND_FIRST) {
        coordinator_->OnConfigUpdate(update, route);
    }
    pending_.File(decoded_);
    if (coordinator_ != nullptr && (route == DemuxRoute::KIND || route == DemuxRoute::GENERIC)) {
        coordinator_->OnConfigUpdate(update, route);
    }
    MaybeSendFullSyncPart();
}

bool CairndbClient::FilesWithoutAgentLock(ObjectType type) const {
    // What the update touches here (the pending batch, the decoding scratch, the parts' state) is
    // the callbacks' own, and the callbacks run one at a time; the agent lock is for the SmartNIC
    // coordinator, the failover acks and the order of a delta's records beside the applications.
    return partRecords_ != 0 && channelUp_.load() && !fullSyncSeen_ && coordinator_ == nullptr &&
           type != ObjectType::CFG_AGENT_FAILOVER_ACK;
}

void CairndbClient::MaybeSendFullSyncPart() {
    // The configuration cache's records are most of a full sync (a logical port is 18 of them)
    // and nothing at the barrier looks at them: they go as they come. The other lists wait for the
    // barrier (the merge of cancelling L2/L3 records, the containers' profile mappings).
    constexpr ComponentType kLane = ComponentType::CONFIGCACHE;
    if (partRecords_ == 0 || !channelUp_.load() || fullSyncSeen_ ||
        pending_.LaneRecords(kLane) < partRecords_) {
        return;
    }
    UpdateBatch part;
    part.first[kLane] = pending_.TakeLane(kLane);
    const size_t records = part.first[kLane].size();
    part.second = std::make_pair(true, g_transactionId.load());
    part.part = true;
    partsOpen_ = true;
    partsSent_.fetch_add(1);
    CFG_DEBUG("CairndbClient: full sync part of %1 record(s), transaction ID %2", records,
              part.second.second);
    if (!updateQueue_ || !updateQueue_->put(std::move(part))) {
        CFG_ERROR_CODE("LCP00008", "Msg Queue is full!");
    }
}

void CairndbClient::AbandonFullSyncParts(const char* why) {
    if (!partsOpen_)
        return;
    partsOpen_ = false;
    const uint64_t txId = g_transactionId.fetch_add(1);
    CFG_WARN("CairndbClient: full sync of transaction ID %1 abandoned after its first parts: %2",
             txId, why);
}

void CairndbClient::MonitorBarrierCB() {
    AgentLockGuard lock(GlobalAgentLock());
    RunBarrier(true);
}

void CairndbClient::RunBarrier(bool mayBeFullSync) {
    barrierTime_.store(NowSeconds());
    bool fullSync = false;
    if (mayBeFullSync && channelUp_.load() && !fullSyncSeen_) {
        fullSync = true;
        fullSyncSeen_ = true;
        // This batch ends the parts sent before it.
        partsOpen_ = false;
    }
    if (coordinator_ != nullptr && mayBeFullSync) {
        coordinator_->OnBarrier(fullSync);
    }
    if (fullSync) {
        for (uint32_t c = static_cast<uint32_t>(ComponentType::CONFIGCACHE);
             c <= static_cast<uint32_t>(ComponentType::BFD); ++c) {
            pending_.Touch(static_cast<ComponentType>(c));
        }
    }
    ComponentUpdateMap records = pending_.Take();
    MergeCancellingRecords(records, fullSync);
    RevertUPMContainerMapping(records);
    const uint64_t txId = g_transactionId.load();
    UpdateBatch batch(std::move(records), std::make_pair(fullSync, txId));
    if (!updateQueue_ || !updateQueue_->put(std::move(batch))) {
        CFG_ERROR_CODE("LCP00008", "Msg Queue is full!");
    }
    if (fullSync) {
        CFG_INFO("CairndbClient: Transaction end (fullsync) ID %1", txId);
    } else {
        CFG_DEBUG("CairndbClient: Transaction end (delta update) ID %1", txId);
    }
    g_transactionId.fetch_add(1);
}

void CairndbClient::RevertUPMContainerMapping(const ComponentUpdateMap& batch) {
    // Container records reach the firewall and the load balancer; the same list is in both.
    auto it = batch.find(ComponentType::DFW);
    if (it == batch.end()) {
        return;
    }
    for (const CairnDBUpdateMsg& rec : it->second) {
        if (rec.objType != ObjectType::CONTAINER) {
            continue;
        }
        // The profile service applies bindings through a container only while it exists.
        const std::string id = ObjectIdText(rec.id);
        const bool present = rec.op == Operation::OPERATION_UPDATE;
        if (present) {
            CFG_DEBUG("CairndbClient: RevertUPMContainerMapping SET (%1) %2", id, rec.data.size());
        } else {
            CFG_DEBUG("CairndbClient: RevertUPMContainerMapping CLEAR (%1)", id);
        }
        if (upm_)
            upm_->RevertContainerMapping(id, present);
    }
}

void CairndbClient::ChannelStatusCB(bool up) {
    AgentLockGuard lock(GlobalAgentLock());
    channelUp_.store(up);
    if (!up) {
        fullSyncSeen_ = false;
        AbandonFullSyncParts("the channel went down");
        if (upm_)
            upm_->OnChannelDown();
        if (persona_ == kPersonaSmartnic) {
            ClearBacking();
        }
    }
    CFG_WARN("CairndbClient: cairndb channel status turns to %1", up ? "UP" : "DOWN");
    if (coordinator_ != nullptr) {
        coordinator_->OnChannelStatus(up);
    }
}

void CairndbClient::write(const std::vector<pb::ModifyRequestMsg>& requests) {
    queueWrite(requests, false);
}

void CairndbClient::queueWrite(std::vector<pb::ModifyRequestMsg> requests, bool reconcile) {
    const uint64_t id = g_writeMessageId.fetch_add(1);
    CFG_DEBUG("CairndbClient: CairnDB write message ID %1", id);
    if (reconcile && requests.size() >= kReconcileMinPuts) {
        std::lock_guard<std::mutex> lock(writerSync_->mutex);
        writerSync_->reconcile.insert(id);
    }
    if (!writeQueue_->put(WriteBatch(std::move(requests), id))) {
        CFG_ERROR("CairndbClient: Fail to put message list into cairndb write queue");
        std::lock_guard<std::mutex> lock(writerSync_->mutex);
        writerSync_->reconcile.erase(id);
    }
}

void CairndbClient::getObject(ObjectType objectType, uint16_t vdb, const std::string& oid,
                              GetObjectCallback callback) {
    if (!lib_) {
        callback(LookupResult::kFailed, std::string());
        return;
    }
    lib_->Get(static_cast<int>(objectType), vdb, oid,
              [callback](const ozy::cairndb::Status& status,
                         const std::vector<ozy::cairndb::StoredObject>& objects) {
                  if (!status.ok) {
                      callback(LookupResult::kFailed, std::string());
                  } else if (objects.empty()) {
                      callback(LookupResult::kNotFound, std::string());
                  } else {
                      callback(LookupResult::kFound, objects.front().body);
                  }
              });
}

void CairndbClient::setFullSyncDone(bool fullSync, int selector) {
    if (!fullSync) {
        return;
    }
    if (selector == 1) {
        CFG_INFO("CairndbClient: Fullsync between config and DP is done.");
        configFullSyncDone_.store(true);
    } else if (selector == 2) {
        CFG_INFO("CairndbClient: Fullsync between L2 and DP is done.");
        l2FullSyncDone_.store(true);
    }
}

void CairndbClient::WriterLoop() {
    CFG_INFO("CairndbClient: start thread to write message list to cairndb");
    while (auto batch = writeQueue_->get()) {
        bool reconcile = false;
        {
            std::lock_guard<std::mutex> lock(writerSync_->mutex);
            reconcile = writerSync_->reconcile.erase(batch->second) != 0;
        }
        if (reconcile && WriteReconciled(batch->first, batch->second))
            continue;
        submit(std::move(batch->first), batch->second);
    }
    writerRunning_.store(false);
}

void CairndbClient::submit(std::vector<pb::ModifyRequestMsg> requests, uint64_t id) {
    if (!lib_) {
        return;
    }
    // Counted until the library acknowledges the list, so that a reconciliation reads the rows
    // once every list before it is applied.
    {
        std::lock_guard<std::mutex> lock(writerSync_->mutex);
        ++writerSync_->inFlight;
    }
    ozy::cairndb::WriteCallback done = [sync = writerSync_](const ozy::cairndb::Status&) {
        {
            std::lock_guard<std::mutex> lock(sync->mutex);
            --sync->inFlight;
        }
        sync->changed.notify_all();
    };
    if (!AgentSettings::Instrument(kInstrumentCairndbClient)) {
        lib_->Write(std::move(requests), std::move(done));
        return;
    }
    const int64_t begin = NowNanos();
    lib_->Write(std::move(requests), std::move(done));
    const int64_t end = NowNanos();
    if (end - begin > 1000000000LL) {
        CFG_WARN("DELAY %1 begin %2 end %3", "CairnDB modifies message ID " + std::to_string(id),
                 begin, end);
    }
}

}  // namespace CfgAgent
