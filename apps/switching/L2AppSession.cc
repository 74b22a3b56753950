// L2App: the L2 mapping session, the receive dispatch and the messages that change the session's
// tables (VNI membership, instance change, state report, Update).
#include "apps/switching/L2App.h"

#include <chrono>
#include <utility>

#include "apps/switching/L2AlarmReporter.h"
#include "dataplane/VxlanDump.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"
#include "statecache/IStateCacheL2Table.h"

namespace CfgAgent {

using namespace vxlan;

// ---- link and session ----

void L2App::HandleLinkStatus(DataplaneLink* link, int status) {
    AgentLockGuard lock(GlobalAgentLock());
    if (link_ && link != link_.get())
        return;
    if (status == DataplaneLink::kLinkDown) {
        CFG_INFO("%1: krnlink down", kName);
        linkUp_ = false;
        EndReportBatch();
        return;
    }
    if (status != DataplaneLink::kLinkUp || stopped_ || !initialized_)
        return;
    CFG_INFO("%1: krnlink up", kName);
    linkUp_ = true;
    RestartSession("the link came up");
}

void L2App::SimulateOutOfSync() {
    const DpMsg report = BuildStateReport(1);
    HandleVxlanMessage(report.data(), report.size());
}

// Everything the dataplane reported belongs to the session that ends here: the new one restates
// it, and its Full Sync End replaces the runtime state as a whole.
void L2App::RestartSession(const char* why) {
    CFG_DEBUG("%1: new L2 mapping session: %2", kName, why);
    sessionState_ = kSessionIdle;
    alarms_->ClearPending();
    std::vector<std::pair<uint32_t, uint32_t>> left;  // VNI, switch ID
    for (const auto& [vni, entry] : vnis_)
        left.emplace_back(vni, entry.switchId);
    vnis_.clear();
    queuedInstances_.clear();
    localRdVteps_.clear();
    queue_.clear();
    queue_.shrink_to_fit();
    queueOverflowLogged_ = false;
    held_.clear();
    heldCount_ = 0;
    // The dataplane forgets what was programmed in the session that ends.
    domains_.clear();
    rdLists_.clear();
    replicationSent_.reset();
    for (auto& [id, g] : groups_)
        g.sent = false;
    // Listeners learn of the leaves while nothing can be sent (state 0).
    for (const auto& [vni, switchId] : left)
        NotifyVniJoin(vni, switchId, false);
    const uint32_t id = NewSessionId();
    DpMsg open = BuildSessionControl(kSessionOpen, id);
    if (Logger::enabled(kLogDebug))
        CFG_DEBUG("%1", DumpVxlanMessage(open.data(), open.size()));
    if (!SendLocked(std::move(open)))
        return;
    sessionState_ = kSessionOpenSent;
    CFG_INFO("%1: L2 mapping session %2 opened", kName, id);
    SendLocked(BuildSessionConfigure(settings_));
}

// ---- receive dispatch ----

void L2App::ReceiveFromLink(const uint8_t* msg, size_t length) {
    HandleVxlanMessage(msg, length);
    ozy::RefPtr<DataplaneLink> link;
    {
        AgentLockGuard lock(GlobalAgentLock());
        link = link_;
    }
    // Asked without the agent lock: the link takes its own, and nothing waits on the wait.
    const bool more = link && link->ReceivePending(options_.runGapMs);
    AgentLockGuard lock(GlobalAgentLock());
    const auto now = std::chrono::steady_clock::now();
    if (!more ||
        (reportBatch_ && now - reportBatchStart_ >= std::chrono::milliseconds(options_.maxRunMs))) {
        EndReportBatch();
    }
    if (more && !reportBatch_ && !stopped_ && options_.l2Table != nullptr) {
        options_.l2Table->BeginRuntimeBatch();
        reportBatch_ = true;
        reportBatchStart_ = now;
    }
}

void L2App::EndReportBatch() {
    AgentLockGuard lock(GlobalAgentLock());
    if (!reportBatch_)
        return;
    reportBatch_ = false;
    if (options_.l2Table != nullptr)
        options_.l2Table->EndRuntimeBatch();
}

void L2App::HandleVxlanMessage(const uint8_t* msg, size_t length) {
    MsgView view;
    if (!ViewMessage(msg, length, &view)) {
        CFG_ERROR_CODE("LCP00407", "%1: vxlan message of %2 bytes with an invalid header", kName,
                       length);
        return;
    }
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_)
        return;
    if (Logger::enabled(kLogDebug))
        CFG_DEBUG("%1", DumpVxlanMessage(view.data, view.length));
    switch (view.type) {
        case kMsgSessionControl:
            HandleSessionControl(view);
            break;
        case kMsgStateReport:
            HandleStateReport(view);
            break;
        case kMsgVniMembership:
            if (sessionState_ <= kSessionOpenSent) {
                CFG_DEBUG("%1: not ready to receive internal vxlan VNI change message", kName);
                break;
            }
            HandleVniMembership(view);
            break;
        case kMsgInstanceChange:
            if (sessionState_ <= kSessionOpenSent) {
                CFG_DEBUG("%1: not ready to receive internal vxlan instance change message", kName);
                break;
            }
            HandleInstanceChange(view);
            break;
        case kMsgUpdate:
            if (sessionState_ < kSessionOpenAcked) {
                CFG_DEBUG("%1: not ready to receive internal vxlan update message", kName);
                break;
            }
            HandleUpdate(view);
            break;
        case kMsgNotification: {
            Notification n;
            if (ParseNotification(view, &n)) {
                CFG_DEBUG("%1: notification error %2 sub %3 ignored", kName, n.errorCode,
                          n.subCode);
            } else {
                CFG_ERROR_CODE("LCP00407", "%1: invalid notification message length %2", kName,
                               view.length);
            }
            break;
        }
        case kMsgQuery:
            if (sessionState_ < kSessionOpenAcked) {
                CFG_DEBUG("%1: not ready to receive internal vxlan query message", kName);
                break;
            }
            HandleQuery(view);
            break;
        case kMsgTepAlarm:
            alarms_->HandleVxlanTEPAlarm(view.data, view.length);
            break;
        case kMsgInit:
        case kMsgConfigure:
        case kMsgLinkChange:
        case kMsgVtepGroup:
        case kMsgLsVtepGroupBinding:
        case kMsgRdVtepGroupBinding:
        case kMsgRdMembership:
        case kMsgGlobalReplication:
        case kMsgControllerIp:
            CFG_ERROR_CODE("LCP00407", "%1: internal vxlan message(type:%2) need handler", kName,
                           view.type);
            break;
        default:
            CFG_ERROR_CODE("LCP00407", "%1: unknown vxlan msg %2", kName, view.type);
            break;
    }
}

void L2App::HandleSessionControl(const MsgView& msg) {
    SessionControl sc;
    TlvResult r = ParseSessionControl(msg, &sc);
    if (r == TlvResult::kNoTlv) {
        CFG_ERROR_CODE("LCP00407", "%1: TLV message validation failed at line %2", kName, __LINE__);
        return;
    }
    if (sc.dataType != kSessionControlDataType) {
        CFG_ERROR_CODE("LCP00409", "%1: unsupported session control data type %2", kName,
                       sc.dataType);
        return;
    }
    if (r == TlvResult::kShortValue) {
        CFG_ERROR("%1: invalid Session L2 mapping message length %2", kName,
                  sc.valueSize + kDpTlvHeaderSize);
        CFG_ERROR_CODE("LCP00407", "%1: TLV message validation failed at line %2", kName, __LINE__);
        return;
    }
    const uint32_t current = CurrentSessionId();
    if (sc.sessionId != current) {
        CFG_WARN("%1: skip messages with sessionID %2, current sessionID %3", kName, sc.sessionId,
                 current);
        return;
    }
    switch (sc.controlType) {
        case kSessionOpenAck:
            if (sessionState_ != kSessionOpenSent) {
                CFG_WARN("%1: open ack in session state %2 ignored", kName, sessionState_);
                return;
            }
            CFG_INFO("%1: get L2 mapping session control open ack message from dataplane", kName);
            sessionState_ = kSessionOpenAcked;
            SendVtepGroups();
            break;
        case kSessionFullSyncEnd:
            // Only a session that was acknowledged has a full sync to end.
            if (sessionState_ != kSessionOpenAcked) {
                CFG_WARN("%1: full sync end in session state %2 ignored", kName, sessionState_);
                return;
            }
            CFG_INFO("%1: get L2 mapping session control full sync end message from dataplane",
                     kName);
            HandleFullSyncEnd();
            break;
        default:
            CFG_ERROR_CODE("LCP00407", "%1: unsupported session control type %2", kName,
                           sc.controlType);
            break;
    }
}

void L2App::HandleFullSyncEnd() {
    sessionState_ = kSessionFullSyncEnded;
    instances_ = std::move(queuedInstances_);
    queuedInstances_.clear();
    CairnDBUpdateList records = FullSyncRecords();
    CFG_INFO("%1: %2 runtime records written in one full sync", kName, records.size());
    if (options_.l2Table != nullptr)
        options_.l2Table->UpdateRuntimeState(std::move(records), true);
    SyncRoutingDomains(true);
    PushDomains();
    SyncGlobalReplication();
    for (const auto& callback : fullSyncCallbacks_)
        callback();
}

void L2App::HandleStateReport(const MsgView& msg) {
    StateReport r;
    if (ParseStateReport(msg, &r) != TlvResult::kOk) {
        CFG_ERROR_CODE("LCP00407", "%1: TLV message validation failed at line %2", kName, __LINE__);
        return;
    }
    if (r.dataType != kStateOutOfSyncDataType) {
        CFG_ERROR_CODE("LCP00407", "%1: unsupported state report data type %2", kName, r.dataType);
        return;
    }
    if (r.valueSize != 1) {
        CFG_ERROR_CODE("LCP00407", "%1: unsupported state report data length %2", kName,
                       r.valueSize);
        return;
    }
    if (r.outOfSync == 0)
        return;
    CFG_DEBUG("%1: get out-of-sync(%2) report from dataplane", kName, r.outOfSync);
    RestartSession("the dataplane is out of sync");
}

// ---- VNI membership and instances ----

void L2App::HandleVniMembership(const MsgView& msg) {
    VniMembership m;
    if (!ParseVniMembership(msg, &m)) {
        CFG_ERROR_CODE("LCP00407", "%1: invalid VNI Membership Change message length %2", kName,
                       msg.length);
        return;
    }
    if (!m.Join()) {
        if (vnis_.count(m.vni) == 0) {
            CFG_WARN("%1: No-existing VNI Leave message: %2", kName, m.vni);
            return;
        }
        LeaveVni(m.vni);
        return;
    }
    if (vnis_.count(m.vni) != 0) {
        CFG_DEBUG("%1: Duplicate VNI Join message: %2", kName, m.vni);
        return;
    }
    VniEntry& entry = vnis_[m.vni];
    entry.switchId = m.switchId;
    CFG_INFO("%1: Add logical switch(VNI: %2, switchID: %3)", kName, m.vni, m.switchId);
    std::string lsId = LogicalSwitchOfVni(m.vni);
    if (!lsId.empty()) {
        SetVniSwitch(m.vni, entry, lsId);
    } else {
        CFG_INFO("%1: No desired config found for VNI %2; it is sent once its switch is known",
                 kName, m.vni);
    }
    SyncRdVteps();
    NotifyVniJoin(m.vni, m.switchId, true);
}

void L2App::HandleInstanceChange(const MsgView& msg) {
    InstanceChange c;
    if (!ParseInstanceChange(msg, &c)) {
        CFG_ERROR_CODE("LCP00407", "%1: invalid instance change message length %2", kName,
                       msg.length);
        return;
    }
    const bool queued = sessionState_ < kSessionFullSyncEnded;
    std::set<uint32_t>& set = queued ? queuedInstances_ : instances_;
    const char* prefix = queued ? "queued " : "";
    if (c.Insert()) {
        if (set.insert(c.instanceId).second) {
            CFG_INFO(queued ? "%1: Insert queued ovl2 instance %2" : "%1: Insert ovl2 instance %2",
                     kName, c.instanceId);
        } else {
            CFG_DEBUG("%1: %2ovl2 instance %3 already exit", kName, prefix, c.instanceId);
        }
    } else if (set.erase(c.instanceId) != 0) {
        CFG_INFO(queued ? "%1: Remove queued ovl2 instance %2" : "%1: Remove ovl2 instance %2",
                 kName, c.instanceId);
    } else {
        CFG_DEBUG("%1: %2ovl2 instance %3 not exit", kName, prefix, c.instanceId);
    }
    if (!queued) {
        // The global routing domain and replication mode go with the only instance.
        SyncRoutingDomains();
        SyncGlobalReplication();
    }
}

// ---- Update ----

void L2App::HandleUpdate(const MsgView& msg) {
    size_t failedAt = 0;
    bool fits = WalkTlvs(
        msg,
        [&](const DpTlv& tlv) {
            switch (tlv.type) {
                case kDtVtepMembership:
                    HandleVtepMembership(tlv);
                    break;
                case kDtVmMac:
                    HandleVmMac(tlv);
                    break;
                case kDtRdVtepMembership:
                    HandleRdVteps(tlv);
                    break;
                default:
                    CFG_ERROR_CODE("LCP00407", "%1: unsupported update data type %2", kName,
                                   tlv.type);
                    break;
            }
        },
        &failedAt);
    if (!fits) {
        CFG_ERROR_CODE("LCP00407", "%1: TLV message validation failed at line %2", kName, __LINE__);
        CFG_DEBUG("%1: TLV at offset %2 of a %3-byte Update does not fit", kName, failedAt,
                  msg.length);
    }
}

}  // namespace CfgAgent
