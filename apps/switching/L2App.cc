// L2App: start-up, settings, shutdown, desired state and the state getters. The session and the
// receive dispatch are in L2AppSession.cc, the local learning in L2AppLocal.cc.
#include "apps/switching/L2App.h"

#include <cerrno>
#include <cstdlib>

#include <boost/property_tree/ptree.hpp>

#include "apps/switching/L2AlarmReporter.h"
#include "intake/MsgDispatcher.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"
#include "statecache/IStateCacheConfigTable.h"
#include "statecache/IStateCacheL2Table.h"
#include "statecache/IdText.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

// A non-negative number of the "l2" subtree within [min, max]; the fallback otherwise, with a line.
uint64_t ReadNumber(const boost::property_tree::ptree& config, const std::string& key,
                    uint64_t fallback, uint64_t min, uint64_t max) {
    auto text = config.get_optional<std::string>(key);
    if (!text)
        return fallback;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text->c_str(), &end, 10);
    if (text->empty() || *end != '\0' || errno != 0 || (*text)[0] == '-') {
        CFG_ERROR_CODE("LCP00001", "Invalid value \"%1\" of %2, using %3", *text, key, fallback);
        return fallback;
    }
    if (v < min || v > max) {
        CFG_ERROR_CODE("LCP00401", "%1: %2 = %3 is outside %4-%5, using %6", L2App::kName, key, v,
                       min, max, fallback);
        return fallback;
    }
    return v;
}

}  // namespace

L2App::L2App(L2AppOptions options)
    : options_(std::move(options)),
      alarms_(std::make_unique<L2AlarmReporter>(options_.alarmTable)) {
    if (!options_.makeLink)
        options_.makeLink = SystemKrnlinkFactory();
}

L2App::~L2App() = default;

void L2App::ReadSettings(const boost::property_tree::ptree& config) {
    const vxlan::Settings d;
    auto u16 = [&](const char* key, uint16_t fallback, uint16_t min) {
        return static_cast<uint16_t>(
            ReadNumber(config, std::string("l2.") + key, fallback, min, 0xffff));
    };
    settings_.maxMsgLength = u16("maxMsgLength", d.maxMsgLength, vxlan::kMinMaxMsgLength);
    settings_.freqCtrlPeriod = u16("freqCtrlPeriod", d.freqCtrlPeriod, 1);
    settings_.freqCtrlQueryLimit = u16("freqCtrlQueryLimit", d.freqCtrlQueryLimit, 0);
    settings_.freqCtrlUpdateLimit = u16("freqCtrlUpdateLimit", d.freqCtrlUpdateLimit, 0);
    settings_.bteAgeingTime = u16("bteAgeingTime", d.bteAgeingTime, 0);
    settings_.arpAgeingTime = u16("arpAgeingTime", d.arpAgeingTime, 0);
    maxQueuedReports_ =
        ReadNumber(config, "l2.maxQueuedReports", kDefaultMaxQueuedReports, 1, uint64_t{1} << 26);
    maxHeldReports_ =
        ReadNumber(config, "l2.maxHeldReports", kDefaultMaxHeldReports, 0, uint64_t{1} << 26);
}

void L2App::Init(const boost::property_tree::ptree& config) {
    ReadSettings(config);
    // An empty subtree names no endpoint (every open then fails); a non-empty one must name it.
    std::string path;
    if (!config.empty())
        path = config.get<std::string>(kLinkPathKey);
    ozy::RefPtr<L2App> self(this);
    {
        AgentLockGuard lock(GlobalAgentLock());
        link_ = options_.makeLink(
            path, [self](const uint8_t* msg, size_t length) { self->ReceiveFromLink(msg, length); },
            [self](DataplaneLink* link, int status) { self->HandleLinkStatus(link, status); },
            kLinkBufferSize);
    }
    {
        AgentLockGuard lock(GlobalAgentLock());
        alarms_->Start();
    }
    if (options_.configTable != nullptr) {
        options_.configTable->RegisterDesiredStateObserver(ObjectType::LOG_SWITCH_CONFIG, this);
        options_.configTable->RegisterDesiredStateObserver(ObjectType::TRANSPORT_NODE_CONFIG, this);
    }
    if (options_.l2Table != nullptr)
        options_.l2Table->RegisterDesiredStateObserver(this);
    if (options_.dispatcher != nullptr)
        options_.dispatcher->RegisterComponent(ComponentType::L2APP, this);
    {
        AgentLockGuard lock(GlobalAgentLock());
        initialized_ = true;
        CFG_INFO("%1: started; maximum message length %2, endpoint \"%3\"", kName,
                 settings_.maxMsgLength, path);
    }
    // The session opens once the link comes up (HandleLinkStatus).
    if (link_)
        link_->Start();
}

void L2App::Stop() {
    ozy::RefPtr<DataplaneLink> link;
    {
        AgentLockGuard lock(GlobalAgentLock());
        if (stopped_)
            return;
        stopped_ = true;
        link = link_;
    }
    // The link's handlers hold this object; the link is stopped before it is let go.
    if (link)
        link->Stop();
    EndReportBatch();
    if (options_.dispatcher != nullptr)
        options_.dispatcher->UnregisterComponent(this);
    if (options_.configTable != nullptr) {
        options_.configTable->UnregisterDesiredStateObserver(ObjectType::LOG_SWITCH_CONFIG, this);
        options_.configTable->UnregisterDesiredStateObserver(ObjectType::TRANSPORT_NODE_CONFIG,
                                                             this);
    }
    if (options_.l2Table != nullptr)
        options_.l2Table->UnregisterDesiredStateObserver(this);
    AgentLockGuard lock(GlobalAgentLock());
    alarms_->Stop();
    link_.reset();
    fullSyncCallbacks_.clear();
    vniJoinListeners_.clear();
    CFG_INFO("%1: stopped", kName);
}

// ---- desired state ----

void L2App::UpdateDesiredState(const CairnDBUpdateList& objects, bool fullSync) {
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_)
        return;
    bool controllerChanged = false;
    bool globalChanged = false;
    for (const CairnDBUpdateMsg& u : objects) {
        if (u.op != Operation::OPERATION_UPDATE && u.op != Operation::OPERATION_DELETE) {
            CFG_ERROR_CODE("LCP00007", "Unsupported operation type %1", u.op);
            continue;
        }
        if (u.objType == ObjectType::CCP_SESSION && u.property == PropertyType::INVALID_PROPERTY) {
            const std::string before = ccpSession_;
            if (u.op == Operation::OPERATION_DELETE) {
                ccpSession_.clear();
            } else {
                ccpSession_ = u.data;
            }
            controllerChanged = controllerChanged || before != ccpSession_;
            CFG_DEBUG("%1: controller session %2 (%3)", kName, IdText(u.id),
                      u.op == Operation::OPERATION_DELETE ? "deleted" : "updated");
        } else if (u.objType == ObjectType::GLOBAL_CONFIG &&
                   u.property == PropertyType::INVALID_PROPERTY) {
            pb::GlobalConfigMsg g;
            if (u.op == Operation::OPERATION_DELETE) {
                CFG_INFO("%1: remove global config", kName);
                globalReplicationMode_.reset();
            } else if (!g.ParseFromString(u.data)) {
                CFG_ERROR_CODE("LCP00007", "%1: no l2 global config", kName);
            } else if (!g.has_l2_replication_mode()) {
                CFG_DEBUG("%1: no global replication mode", kName);
                globalReplicationMode_.reset();
            } else {
                globalReplicationMode_ = g.l2_replication_mode();
            }
            const pb::UuidMsg& grd = g.global_routing_domain_id();
            std::string rd;
            if (u.op != Operation::OPERATION_DELETE && (grd.left() != 0 || grd.right() != 0))
                rd = grd.SerializeAsString();
            globalChanged = globalChanged || rd != globalRd_;
            globalRd_ = std::move(rd);
        } else if (u.objType == ObjectType::HOST_SWITCH_SMARTNIC_BACKING) {
            CFG_INFO("L2 app received backing msg");
            pb::HostSwitchSmartnicBackingMsg b;
            if (u.op == Operation::OPERATION_DELETE || !b.ParseFromString(u.data)) {
                alarms_->SetBacking(std::string());
            } else {
                alarms_->SetBacking(b.has_current_active_sn_id() ? b.current_active_sn_id()
                                                                 : b.active_sn_id());
            }
        } else {
            CFG_DEBUG("%1: desired %2 of %3 not handled here", kName, ObjTypeToString(u.objType),
                      IdText(u.id));
        }
    }
    (void)fullSync;
    if (globalChanged)
        SyncRoutingDomains();
    SyncGlobalReplication();
    if (!controllerChanged || sessionState_ < kSessionOpenAcked)
        return;
    // Every VNI the dataplane holds learns the new controller address.
    for (const auto& [vni, entry] : vnis_) {
        if (entry.pushed)
            SendLocked(BuildControllerIp(BuildCtlrIPUpdate(entry.switchId, vni)));
    }
}

void L2App::ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) {
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_ || !initialized_)
        return;
    for (const CairnDBUpdateMsg& u : updates) {
        if (u.objType == ObjectType::TRANSPORT_NODE_CONFIG) {
            RefreshTransportNode();
            break;
        }
    }
    if (fullSync) {
        // A full sync may have removed or changed mappings without a record of its own.
        RefreshVniSwitches();
        SyncRdVteps();
        for (auto& [vni, entry] : vnis_) {
            if (!entry.pushed)
                continue;
            SendSwitchSettings(vni, entry, PropertyType::LS_REPLICATION_MODE);
            SendSwitchSettings(vni, entry, PropertyType::LS_MAC_MANAGEMENT);
            SendSwitchSettings(vni, entry, PropertyType::LS_ROUTING_DOMAIN_ID);
        }
        return;
    }
    bool changed = false;
    for (const CairnDBUpdateMsg& u : updates) {
        if (u.objType != ObjectType::LOG_SWITCH_CONFIG || u.op != Operation::OPERATION_UPDATE)
            continue;
        if (u.property != PropertyType::INVALID_PROPERTY && u.property != PropertyType::LS_VNI) {
            uint32_t vni = 0;
            VniEntry* entry = PushedVniOf(u.id, &vni);
            if (entry != nullptr)
                SendSwitchSettings(vni, *entry, u.property);
        }
        const bool whole = u.property == PropertyType::INVALID_PROPERTY;
        changed = changed || whole || u.property == PropertyType::LS_ROUTING_DOMAIN_ID ||
                  u.property == PropertyType::LS_VNI;
        if (u.property != PropertyType::LS_VNI && !whole)
            continue;
        pb::LogSwitchConfigMsg ls;
        if (u.data.empty() || !ls.ParseFromString(u.data) || !ls.has_vni())
            continue;
        auto it = vnis_.find(ls.vni());
        if (it != vnis_.end()) {
            SetVniSwitch(ls.vni(), it->second, u.id);
        } else {
            CFG_DEBUG("%1: VNI %2 doesn't receive Join from datapath", kName, ls.vni());
        }
    }
    if (changed)
        SyncRdVteps();
}

// A full sync's list leaves unchanged objects out, so the store is read rather than the records.
void L2App::RefreshTransportNode() {
    CairnDBUpdateList nodes;
    std::string id;
    if (options_.configTable != nullptr &&
        options_.configTable->GetObjectsOfType(ConfigStore::kDesired,
                                               ObjectType::TRANSPORT_NODE_CONFIG, &nodes)) {
        for (const CairnDBUpdateMsg& n : nodes) {
            if (!n.id.empty()) {
                id = IdText(n.id);
                break;
            }
        }
    }
    alarms_->SetTransportNode(id);
}

// ---- dataplane ----

bool L2App::SendToDataplane(DpMsg msg) {
    AgentLockGuard lock(GlobalAgentLock());
    return SendLocked(std::move(msg));
}

bool L2App::SendLocked(DpMsg msg) {
    if (stopped_ || !link_)
        return false;
    if (msg.empty()) {
        CFG_ERROR_CODE("LCP00402", "%1: a message to the dataplane could not be built; not sent",
                       kName);
        return false;
    }
    if (!linkUp_) {
        CFG_DEBUG("%1: krnlink is down, message of type %2 not sent", kName, DpMsgType(msg.data()));
        return false;
    }
    CFG_DEBUG("%1: send a message to the dataplane", kName);
    return link_->Send(std::move(msg));
}

// ---- IL2App ----

bool L2App::SendSessionMsg(uint16_t type, uint16_t tlvType, const uint8_t* values, size_t valueSize,
                           size_t count) {
    const char* what = type == vxlan::kMsgUpdate ? "Update" : "Configure";
    if (stopped_)
        return false;
    if (sessionState_ < kSessionOpenAcked) {
        CFG_DEBUG("%1: %2 not sent: the L2 mapping session is not acknowledged (state %3)", kName,
                  what, sessionState_);
        return false;
    }
    const size_t total = kDpMsgHeaderSize + count * (kDpTlvHeaderSize + valueSize);
    if (count == 0 || total > settings_.maxMsgLength) {
        CFG_ERROR_CODE("LCP00402", "%1: %2 not sent: %3 bytes exceed the maximum message length %4",
                       kName, what, total, settings_.maxMsgLength);
        return false;
    }
    DpMsgWriter w(type, total);
    for (size_t i = 0; i < count; ++i)
        w.Tlv(tlvType, values + i * valueSize, valueSize);
    return SendLocked(w.Finish());
}

bool L2App::SendSessionTlvs(uint16_t dataType, const uint8_t* values, size_t valueSize,
                            size_t count) {
    AgentLockGuard lock(GlobalAgentLock());
    return SendSessionMsg(vxlan::kMsgUpdate, dataType, values, valueSize, count);
}

bool L2App::SendConfigureItem(uint16_t item, const std::vector<uint8_t>& value) {
    AgentLockGuard lock(GlobalAgentLock());
    return SendSessionMsg(vxlan::kMsgConfigure, item, value.data(), value.size(), 1);
}

size_t L2App::SessionTlvsPerUpdate(size_t valueSize) const {
    AgentLockGuard lock(GlobalAgentLock());
    const size_t max = settings_.maxMsgLength;
    return max > kDpMsgHeaderSize ? (max - kDpMsgHeaderSize) / (kDpTlvHeaderSize + valueSize) : 0;
}

bool L2App::SwitchIdOfVni(uint32_t vni, uint32_t* switchId) const {
    AgentLockGuard lock(GlobalAgentLock());
    auto it = vnis_.find(vni);
    if (it == vnis_.end())
        return false;
    *switchId = it->second.switchId;
    return true;
}

bool L2App::VniOfLogicalSwitch(const std::string& lsId, uint32_t* vni) const {
    AgentLockGuard lock(GlobalAgentLock());
    std::string body;
    pb::LogSwitchConfigMsg ls;
    if (!LsConfig(lsId, PropertyType::LS_VNI, &body) || !ls.ParseFromString(body) || !ls.has_vni())
        return false;
    *vni = ls.vni();
    return true;
}

void L2App::AddVniJoinListener(VniJoinListener listener) {
    AgentLockGuard lock(GlobalAgentLock());
    if (listener && !stopped_)
        vniJoinListeners_.push_back(std::move(listener));
}

void L2App::NotifyVniJoin(uint32_t vni, uint32_t switchId, bool joined) {
    // A copy: a listener may add another while it runs; the ones present now are told.
    const std::vector<VniJoinListener> listeners = vniJoinListeners_;
    for (const VniJoinListener& listener : listeners)
        listener(vni, switchId, joined);
}

void L2App::RegisterFullSyncCallback(std::function<void()> callback) {
    AgentLockGuard lock(GlobalAgentLock());
    if (callback && !stopped_)
        fullSyncCallbacks_.push_back(std::move(callback));
}

// ---- state ----

int L2App::sessionState() const {
    AgentLockGuard lock(GlobalAgentLock());
    return sessionState_;
}

uint32_t L2App::sessionId() const {
    return vxlan::CurrentSessionId();
}

vxlan::Settings L2App::settings() const {
    AgentLockGuard lock(GlobalAgentLock());
    return settings_;
}

bool L2App::GetVni(uint32_t vni, VniInfo* out) const {
    AgentLockGuard lock(GlobalAgentLock());
    auto it = vnis_.find(vni);
    if (it == vnis_.end())
        return false;
    out->switchId = it->second.switchId;
    out->lsId = it->second.lsId;
    return true;
}

size_t L2App::vniCount() const {
    AgentLockGuard lock(GlobalAgentLock());
    return vnis_.size();
}

std::set<uint32_t> L2App::instances() const {
    AgentLockGuard lock(GlobalAgentLock());
    return instances_;
}

std::set<uint32_t> L2App::queuedInstances() const {
    AgentLockGuard lock(GlobalAgentLock());
    return queuedInstances_;
}

size_t L2App::queuedReports() const {
    AgentLockGuard lock(GlobalAgentLock());
    return queue_.size();
}

size_t L2App::pendingAlarms() const {
    AgentLockGuard lock(GlobalAgentLock());
    return alarms_->pendingCount();
}

std::string L2App::transportNode() const {
    AgentLockGuard lock(GlobalAgentLock());
    return alarms_->transportNode();
}

size_t L2App::heldReports() const {
    AgentLockGuard lock(GlobalAgentLock());
    return heldCount_;
}

}  // namespace CfgAgent
