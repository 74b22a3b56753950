#include "intake/SmartNic.h"

#include <nlohmann/json.hpp>

#include "intake/ICairndbClient.h"
#include "platform/cairndb/CairnDbClientInterface.h"
#include "proto/UuidText.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_monitor.pb.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/Logger.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// The host's own vdb: never a SmartNIC's.
constexpr uint32_t kHostVdb = 1;

// The serialized id (the Demux's key) of a UUID text.
std::string KeyOfText(const std::string& text) {
    uint64_t left = 0;
    uint64_t right = 0;
    pb::UuidMsg id;
    if (ozy::cairndb::ParseUuidText(text, &left, &right)) {
        id.set_left(left);
        id.set_right(right);
    }
    return id.SerializeAsString();
}

std::string TextOf(const pb::UuidMsg& id) {
    return ozy::cairndb::UuidText(id.left(), id.right());
}

bool ParseVdb(const std::string& text, uint16_t* vdb) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long v = std::stoul(text);
    if (v == 0 || v > 0xFFFF)
        return false;
    *vdb = static_cast<uint16_t>(v);
    return true;
}

nlohmann::json VdbList(const std::vector<uint16_t>& vdbs) {
    nlohmann::json out = nlohmann::json::array();
    for (uint16_t v : vdbs)
        out.push_back(v);
    return out;
}

}  // namespace

SmartNic::SmartNic(ICairndbClient* writer,
                   std::shared_ptr<ozy::cairndb::CairnDbClientInterface> library)
    : writer_(writer),
      lib_(std::move(library)),
      demux_(ozy::MakeRef<Demux>()),
      mux_(ozy::MakeRef<Mux>(writer)),
      rtf_(ozy::MakeRef<Rtf>(writer)) {
    Rtf* rtf = rtf_.get();
    demux_->SetBarrierHook([rtf](const std::string& body, const std::set<uint16_t>& vdbs) {
        rtf->UpdateCairndbBarrier(body, vdbs);
    });
    mux_->SetReportHook([rtf](uint16_t vdb, bool fullSync,
                              const std::vector<const pb::MonitorUpdateMsg*>& reports) {
        rtf->VdbBarrier(vdb, fullSync, reports);
    });
}

SmartNic::~SmartNic() = default;

void SmartNic::Stop() {
    Lock lock(mutex_);
    if (stopped_)
        return;
    stopped_ = true;
    const std::set<uint16_t> vdbs = monitored_;
    for (uint16_t v : vdbs)
        UnregisterSmartNicMonitorCB(v);
    sink_ = VdbSink();
    CFG_INFO("SmartNic: stopped");
}

std::vector<pb::MonitorStatementMsg> SmartNic::RuntimeStatements() {
    std::vector<pb::MonitorStatementMsg> out;
    for (ObjectType t :
         {ObjectType::VIF_STATE, ObjectType::HOPOVER_STATUS, ObjectType::LOG_SWITCH_STATE,
          ObjectType::ROUTING_DOMAIN_VTEP, ObjectType::PROCESSED_BARRIER,
          ObjectType::RUNTIME_STATUS, ObjectType::SI_SERVICE_VM_STATUS}) {
        pb::MonitorStatementMsg s;
        s.mutable_statement()->set_object_type(static_cast<pb::ObjectType>(t));
        out.push_back(std::move(s));
    }
    return out;
}

void SmartNic::SetVdbSink(VdbSink sink) {
    Lock lock(mutex_);
    sink_ = std::move(sink);
}

// ---- from the database client -------------------------------------------------------------------

void SmartNic::OnConfigUpdate(const pb::MonitorUpdateMsg& update, DemuxRoute route) {
    if (update.object_type() == pb::HOST_SWITCH_SMARTNIC_BACKING) {
        Lock lock(mutex_);
        CFG_DEBUG("SmartNic: SmartnicBackingMonitorUpdateCB msg");
        backingCache_.push_back(update.SerializeAsString());
        return;
    }
    demux_->Update(update, route);
}

void SmartNic::OnBarrier(bool fullSync) {
    Lock lock(mutex_);
    if (fullSync)
        table_.SetVersion(table_.Version() + 1);
    std::vector<std::string> cached;
    cached.swap(backingCache_);
    for (const std::string& bytes : cached)
        ProcessBacking(bytes, fullSync);
    if (fullSync) {
        for (const SNTable::Removed& gone : table_.Sweep())
            Detach(gone.vdb, gone.hostSwitch);
    }
    demux_->Barrier(fullSync, writer_);
    if (fullSync)
        mux_->OnMainFullSync();
}

void SmartNic::OnChannelStatus(bool up) {
    CFG_INFO("SmartNic: Cairndb channel status turns to %1", up ? "UP" : "DOWN");
    demux_->ChannelStatus(up);
    mux_->ChannelStatus(up);
}

void SmartNic::WriteLocalRuntime(const std::vector<pb::ModifyRequestMsg>& requests, int kind,
                                 bool fullSync) {
    mux_->WriteLocalRuntime(requests, kind, fullSync);
}

bool SmartNic::ReportLocalProcessedBarrier(const pb::ProcessedBarrierMsg& report) {
    return rtf_->HandleLocalProcessedBarrierMsg(report);
}

bool SmartNic::ReportLocalRuntimeStatus(const pb::RuntimeStatusMsg& report) {
    return rtf_->HandleLocalRuntimeStatusMsg(report);
}

// ---- backing ------------------------------------------------------------------------------------

void SmartNic::ProcessBacking(const std::string& serialized, bool fullSync) {
    pb::MonitorUpdateMsg update;
    if (!update.ParseFromString(serialized))
        return;
    pb::HostSwitchSmartnicBackingOpMsg op;
    if (!op.ParseFromString(update.op_msg()))
        op.Clear();
    const bool clear = op.op().op() == pb::CLEAR;
    const std::string& bytes = clear ? update.old_object_body() : update.object_body();
    if (bytes.empty()) {
        CFG_ERROR_CODE("LCP00028", "SmartNic: Received empty object message from CairnDB");
        return;
    }
    pb::HostSwitchSmartnicBackingMsg msg;
    if (!msg.ParseFromString(bytes) || !msg.has_host_switch_id()) {
        CFG_ERROR_CODE("LCP00028", "SmartNic: Received wrong object message type %1 from CairnDB",
                       static_cast<uint32_t>(update.object_type()));
        return;
    }
    const std::string hs = TextOf(msg.host_switch_id());
    if (clear) {
        CFG_INFO("SmartNic: Receive delete for host switch id %1", hs);
        if (std::optional<uint16_t> vdb = table_.Remove(hs))
            Detach(*vdb, hs);
        return;
    }
    if (op.op().op() != pb::SET && op.op().op() != pb::UPDATE) {
        CFG_ERROR_CODE("LCP00028", "SmartNic: Backing of host switch %1 with invalid operation %2",
                       hs, static_cast<uint32_t>(op.op().op()));
        return;
    }
    if (!msg.has_vdb() || msg.vdb() <= kHostVdb || msg.vdb() > 0xFFFF) {
        // vdb 1 is the host's own database: configuration demuxed there would overwrite it.
        CFG_ERROR_CODE("LCP00028", "SmartNic: Backing of host switch %1 with invalid vdb id %2", hs,
                       msg.vdb());
        return;
    }
    SNTable::Backing backing;
    backing.vdb = static_cast<uint16_t>(msg.vdb());
    backing.activeSn = msg.active_sn_id();
    backing.standbySn = msg.standby_sn_id();
    backing.currentActiveSn = msg.current_active_sn_id();
    if (!backing.standbySn.empty())
        CFG_INFO("SmartNic: Dual dpu network is enabled. failover : %1", msg.failover());
    const SNTable::Change change = table_.Update(hs, backing);
    if (fullSync)
        CFG_INFO("SmartNic: Fullsync vdb id %1 for host switch id %2", backing.vdb, hs);
    if (change.vdbChanged()) {
        // The new vdb joins the pending barriers before the old one leaves them: a move never
        // reports a barrier realized before the vdb now holding the switch has realized it.
        rtf_->AddVdbId(backing.vdb);
        CFG_INFO("SmartNic: Process backing message with old vdb id %1", change.oldVdb);
        Detach(change.oldVdb, hs);
    }
    if (change.added || change.vdbChanged()) {
        CFG_INFO("SmartNic: Process backing message with new vdb id %1", backing.vdb);
        Attach(backing.vdb, hs);
    }
}

void SmartNic::Attach(uint16_t vdb, const std::string& hostSwitch) {
    demux_->BindVdb(vdb, KeyOfText(hostSwitch));
    // One monitor per vdb, opened with its first host switch.
    if (table_.HostSwitchCount(vdb) == 1 && monitored_.count(vdb) == 0) {
        rtf_->AddVdbId(vdb);
        mux_->InitVdb(vdb);
        RegisterSmartNicMonitorCB(vdb);
    }
}

void SmartNic::Detach(uint16_t vdb, const std::string& hostSwitch) {
    CFG_INFO("SmartNic: Deleting vdb id %1 for host switch id %2", vdb, hostSwitch);
    demux_->UnbindVdb(vdb, KeyOfText(hostSwitch));
    if (table_.HostSwitchCount(vdb) == 0) {
        UnregisterSmartNicMonitorCB(vdb);
        rtf_->DeleteVdbId(vdb);
        mux_->DestroyVdb(vdb);
    }
}

// ---- per-vdb monitors ---------------------------------------------------------------------------

bool SmartNic::RegisterSmartNicMonitorCB(uint16_t vdb) {
    CFG_INFO("SmartNic: RegisterSmartNicMonitorCB with vdb id %1.", vdb);
    if (stopped_ || !lib_)
        return false;
    if (!lib_->AddMonitorSession(vdb)) {
        CFG_ERROR("SmartNic: Failed to add moniter session with vdb id %1.", vdb);
        return false;
    }
    monitored_.insert(vdb);
    const bool registered = lib_->RegisterMonitorCallbacks(
        kVdbMonitorId, vdb, [this, vdb](const pb::MonitorUpdateMsg& u) { OnVdbUpdate(vdb, u); },
        [this, vdb] { OnVdbBarrier(vdb); });
    if (!registered) {
        CFG_ERROR("SmartNic: Failed to register monitor cb with vdb id %1.", vdb);
        return false;
    }
    if (!lib_->ConfigureMonitor(RuntimeStatements(), {}, kVdbMonitorId, vdb)) {
        CFG_ERROR("SmartNic: Failed to monitor configuration with vdb id %1.", vdb);
        return false;
    }
    return true;
}

void SmartNic::UnregisterSmartNicMonitorCB(uint16_t vdb) {
    if (monitored_.erase(vdb) == 0 || !lib_)
        return;
    CFG_INFO("SmartNic: Unregister SmartNic monitor callback with vdb %1", vdb);
    if (!lib_->ConfigureMonitor({}, RuntimeStatements(), kVdbMonitorId, vdb))
        CFG_ERROR("SmartNic: Failed to unmonitor configuration with vdb id %1.", vdb);
    lib_->RemoveMonitorSession(vdb);
    stats_.erase(vdb);
}

void SmartNic::OnVdbUpdate(uint16_t vdb, const pb::MonitorUpdateMsg& update) {
    Lock lock(mutex_);
    ++stats_[vdb].updates;
    if (sink_.update)
        sink_.update(vdb, update);
    else if (!stopped_)
        mux_->OnVdbUpdate(vdb, update);
}

void SmartNic::OnVdbBarrier(uint16_t vdb) {
    Lock lock(mutex_);
    ++stats_[vdb].barriers;
    if (sink_.barrier)
        sink_.barrier(vdb);
    else if (!stopped_)
        mux_->OnVdbBarrier(vdb);
}

std::set<uint16_t> SmartNic::MonitoredVdbs() const {
    Lock lock(mutex_);
    return monitored_;
}

std::map<uint16_t, SmartNic::VdbStats> SmartNic::Stats() const {
    Lock lock(mutex_);
    return stats_;
}

// ---- CLI dumps ----------------------------------------------------------------------------------

bool SmartNic::DemuxById(const std::string& vdbText, const std::string& idText,
                         std::string* out) const {
    uint16_t vdb = 0;
    uint64_t left = 0;
    uint64_t right = 0;
    if (!ParseVdb(vdbText, &vdb)) {
        *out = "invalid vdb id " + vdbText;
        return false;
    }
    if (!ozy::cairndb::ParseUuidText(idText, &left, &right)) {
        *out = "invalid object id " + idText;
        return false;
    }
    nlohmann::json list = nlohmann::json::array();
    for (const Demux::ObjectView& o : demux_->ObjectsById(vdb, KeyOfText(idText))) {
        list.push_back({{"type", ObjectTypeName(static_cast<uint32_t>(o.type))},
                        {"id", idText},
                        {"node", demux::NodeTypeName(o.node)},
                        {"vdbs", VdbList(o.vdbs)},
                        {"version", o.version},
                        {"body_bytes", o.body ? o.body->size() : 0}});
    }
    *out = list.dump();
    return true;
}

bool SmartNic::DemuxByType(const std::string& typeText, std::string* out) const {
    const ObjectType* found = nullptr;
    size_t count = 0;
    const ObjectType* all = AllObjectTypeValues(&count);
    for (size_t i = 0; i < count; ++i) {
        const uint32_t v = static_cast<uint32_t>(all[i]);
        if (v != 0 && (typeText == ObjectTypeName(v) || typeText == std::to_string(v)))
            found = &all[i];
    }
    if (found == nullptr) {
        *out = "unknown object type " + typeText;
        return false;
    }
    nlohmann::json list = nlohmann::json::array();
    for (const Demux::ObjectView& o : demux_->ObjectsByType(*found)) {
        list.push_back(
            {{"id", demux::IdText(o.id)}, {"vdbs", VdbList(o.vdbs)}, {"version", o.version}});
    }
    *out = nlohmann::json{
        {"type", ObjectTypeName(static_cast<uint32_t>(*found))},
        {"objects",
         list}}.dump();
    return true;
}

std::string SmartNic::DemuxInfo() const {
    const Demux::Info info = demux_->GetInfo();
    nlohmann::json perType = nlohmann::json::object();
    for (uint32_t t = 1; t < demux::kNodeTypeCount; ++t) {
        if (info.nodesPerType[t] != 0)
            perType[demux::NodeTypeName(static_cast<demux::NodeType>(t))] = info.nodesPerType[t];
    }
    const std::set<uint16_t> monitored = MonitoredVdbs();
    const std::map<uint16_t, VdbStats> stats = Stats();
    std::set<uint16_t> vdbs = monitored;
    for (const auto& [vdb, switches] : info.bindings)
        vdbs.insert(vdb);
    nlohmann::json perVdb = nlohmann::json::array();
    for (uint16_t v : vdbs) {
        nlohmann::json switches = nlohmann::json::array();
        auto b = info.bindings.find(v);
        if (b != info.bindings.end()) {
            for (const std::string& hs : b->second)
                switches.push_back(demux::IdText(hs));
        }
        auto objects = info.objectsPerVdb.find(v);
        auto s = stats.find(v);
        perVdb.push_back({{"vdb", v},
                          {"host_switches", switches},
                          {"objects", objects == info.objectsPerVdb.end() ? 0 : objects->second},
                          {"monitored", monitored.count(v) != 0},
                          {"runtime_updates", s == stats.end() ? 0 : s->second.updates},
                          {"runtime_barriers", s == stats.end() ? 0 : s->second.barriers}});
    }
    return nlohmann::json{{"fullsync_version", info.version},
                          {"channel_up", info.channelUp},
                          {"fullsync_done", info.fullSyncDone},
                          {"nodes", info.nodes},
                          {"globals", info.globals},
                          {"pending", info.pending},
                          {"nodes_per_type", perType},
                          {"vdbs", perVdb}}
        .dump();
}

std::string SmartNic::HostSwitchTable() const {
    std::string out;
    for (const std::string& line : table_.Dump()) {
        out += line;
        out += '\n';
    }
    return out;
}

}  // namespace CfgAgent
