// ConfigApp: the KCP session with the dataplane, Update messages and their fragments, and
// notifications.
#include "apps/switching/CIFConfig.h"
#include "apps/switching/ConfigApp.h"

#include "dataplane/KcpBuilders.h"
#include "dataplane/KcpDump.h"
#include "dataplane/KcpProtocol.h"
#include "dataplane/KcpWalk.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"
#include "statecache/IStateCacheConfigTable.h"

namespace CfgAgent {

using namespace kcp;

// ---- link ----

bool ConfigApp::SendKcpMessage(DpMsg msg) {
    AgentLockGuard lock(GlobalAgentLock());
    if (!link_ || stopped_)
        return false;
    if (!linkUp_) {
        CFG_DEBUG("ConfigApp: DP link is down, KCP message of type %1 not sent",
                  msg.size() >= kDpMsgHeaderSize ? DpMsgType(msg.data()) : 0);
        return false;
    }
    return link_->Send(std::move(msg));
}

void ConfigApp::HandleLinkStatus(DataplaneLink* link, int status) {
    AgentLockGuard lock(GlobalAgentLock());
    if (link_ && link != link_.get())
        return;
    if (status == DataplaneLink::kLinkDown) {
        CFG_INFO("ConfigApp: DP link status turns to DOWN");
        linkUp_ = false;
        DropFragments("the link went down");
        if (convertor_) {
            convertor_->OnDataplaneDisconnected();
            cifConfig_->OnDataplaneDisconnected();
        }
        return;
    }
    if (status != DataplaneLink::kLinkUp || stopped_ || !initialized_)
        return;
    CFG_INFO("ConfigApp: DP link status turns to UP");
    StartFullSync();
    linkUp_ = true;
    desiredStateSynced_ = false;
    if (configTable_ != nullptr && configTable_->DesiredStateUpdateCount() != 0 &&
        configTable_->ObjectCount(ConfigStore::kDesired) != 0) {
        PushFullState("ConfigApp: Start full sync with DP after DP connection is up");
    }
}

void ConfigApp::StartFullSync() {
    // The session about to open covers what any earlier OutOfSync asked for.
    resyncPending_ = false;
    fullSyncDone_ = false;
    ipDisFullSyncDone_ = false;
    fullSyncIpDiscList_.clear();
    fullSyncVifList_.clear();
    fullSyncUplinks_.clear();
    DropFragments("a new session starts");
    if (convertor_) {
        convertor_->ResetSyncState();
        cifConfig_->ResetSyncState();
    }
    CFG_INFO("ConfigApp: start FullSync with DP");
    sessionState_ = kSessionIdle;
    DpMsg open = BuildSessionControl(kSessionOpen, NewSessionId());
    CFG_INFO("%1", DumpKcpMessage(open.data(), open.size()));
    if (link_)
        link_->Send(std::move(open));
    sessionState_ = kSessionOpenSent;
}

void ConfigApp::ResyncAfterOutOfSync() {
    // A burst of reports (a dataplane hiccup sends many) must not become a burst of full pushes:
    // one resync at a time, the reports that arrive meanwhile folded into one more.
    if (sessionState_ == kSessionOpenSent || sessionState_ == kSessionOpenAcked) {
        if (!resyncPending_)
            CFG_INFO("ConfigApp: DP out of sync while a session is opening, resync after it");
        resyncPending_ = true;
        return;
    }
    CFG_INFO("ConfigApp: re-init control plane due to DP out of sync");
    StartFullSync();
    PushFullState("ConfigApp: push full state to DP after DP out of sync");
}

void ConfigApp::SimulateOutOfSync() {
    static const uint8_t kOutOfSync[] = {0x00, 0x03, 0x00, 0x09, 0x00, 0x01, 0x00, 0x05, 0x01};
    HandleNotification(kOutOfSync, sizeof kOutOfSync);
}

// ---- received messages ----

void ConfigApp::HandleKcpMessage(const uint8_t* msg, size_t length) {
    KcpMsgView view;
    if (!ViewKcpMessage(msg, length, &view)) {
        CFG_ERROR_CODE("LCP00507", "ConfigApp: KCP message of %1 bytes with an invalid header",
                       length);
        return;
    }
    switch (view.type) {
        case kMsgUpdate:
            CFG_INFO("%1", DumpKcpMessage(view.data, view.length));
            HandleDPUpdateMsg(view);
            break;
        case kMsgNotification:
            HandleNotification(view.data, view.length);
            break;
        case kMsgQuery:
            break;
        case kMsgSessionControl:
            CFG_INFO("%1", DumpKcpMessage(view.data, view.length));
            HandleSessionControl(view);
            break;
        default:
            CFG_ERROR_CODE("LCP00506", "ConfigApp: received unknown KCP msg %1", view.type);
            break;
    }
}

void ConfigApp::HandleSessionControl(const KcpMsgView& msg) {
    DpTlvWalker walker(msg.data, kFirstTlvOffset, msg.length);
    DpTlv first;
    if (walker.Next(&first) && first.type != kSessionControlDataType) {
        CFG_ERROR_CODE("LCP00505", "ConfigApp: unsupported session control data type %1",
                       first.type);
        return;
    }
    SessionControl sc;
    if (!ParseSessionControl(msg, &sc)) {
        CFG_ERROR_CODE("LCP00507",
                       "ConfigApp: malformed session control message of %1 bytes, dropped",
                       msg.length);
        return;
    }
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_)
        return;
    uint32_t current = CurrentSessionId();
    if (sc.sessionId != current) {
        CFG_ERROR_CODE("LCP00504",
                       "ConfigApp: skipped messages with sessionID %1, current sessionID %2",
                       sc.sessionId, current);
        return;
    }
    switch (sc.controlType) {
        case kSessionOpenAck:
            CFG_DEBUG("ConfigApp: received session control open ack message from dataplane");
            sessionState_ = kSessionOpenAcked;
            break;
        case kSessionFullSyncEnd:
            CFG_DEBUG("ConfigApp: received session control full sync end message from dataplane");
            HandleFullSyncEnd();
            break;
        default:
            CFG_DEBUG("ConfigApp: session control type %1 ignored", sc.controlType);
            break;
    }
}

void ConfigApp::DropFragments(const std::string& why) {
    if (!fragments_.empty()) {
        CFG_WARN("ConfigApp: %1 pending Update fragment(s) dropped: %2", fragments_.size(), why);
    }
    fragments_.clear();
    fragmentBytes_ = 0;
}

void ConfigApp::HandleDPUpdateMsg(const KcpMsgView& msg) {
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_)
        return;
    if (sessionState_ < kSessionOpenAcked) {
        CFG_DEBUG("ConfigApp: Update dropped in session state %1 (not acknowledged yet)",
                  sessionState_);
        return;
    }
    UpdateView u;
    if (!CheckUpdate(msg, &u)) {
        CFG_ERROR_CODE("LCP00507", "ConfigApp: malformed KCP Update of %1 bytes, dropped",
                       msg.length);
        DropFragments("a malformed Update interrupted them");
        return;
    }
    if (u.fragment || !fragments_.empty()) {
        if (fragments_.size() >= kMaxFragments || fragmentBytes_ + msg.length > kMaxFragmentBytes) {
            CFG_ERROR_CODE("LCP00508",
                           "ConfigApp: fragmented Update larger than %1 bytes or %2 fragments, "
                           "dropped",
                           kMaxFragmentBytes, kMaxFragments);
            DropFragments("oversized");
            return;
        }
        fragments_.emplace_back(msg.data, msg.data + msg.length);
        fragmentBytes_ += msg.length;
        if (u.fragment)
            return;
        ProcessJoinedFragments();
        fragments_.clear();
        fragmentBytes_ = 0;
        return;
    }
    ProcessUpdateElements(msg.data, u.firstTlv, msg.length);
}

void ConfigApp::ProcessJoinedFragments() {
    JoinedVifUpdate joined;
    if (!JoinVifUpdateFragments(fragments_, &joined)) {
        CFG_ERROR_CODE("LCP00508",
                       "ConfigApp: %1 Update fragments do not form one VIF update, dropped",
                       fragments_.size());
        return;
    }
    CFG_DEBUG("ConfigApp: joined %1 fragments of VIF %2, %3 bytes of properties", fragments_.size(),
              joined.record.vifId, joined.properties.size());
    VifRecord record = joined.record;
    record.properties = ByteSpan{joined.properties.data(), joined.properties.size()};
    VifReport report;
    if (!DecodeVifReport(record, joined.op, &report))
        return;
    ProcessVifReports({report});
}

void ConfigApp::ProcessUpdateElements(const uint8_t* msg, size_t firstTlv, size_t end) {
    DpTlvWalker walker(msg, firstTlv, end);
    DpTlv tlv;
    while (walker.Next(&tlv)) {
        if (tlv.type != kVifUpdate) {
            CFG_DEBUG("ConfigApp: Update element %1 from the dataplane ignored", tlv.type);
            continue;
        }
        std::vector<VifReport> reports;
        uint8_t op = 0;
        bool ok = WalkVifUpdate(ByteSpan{tlv.value, tlv.valueSize}, &op, [&](const VifRecord& r) {
            VifReport report;
            if (DecodeVifReport(r, op, &report))
                reports.push_back(std::move(report));
        });
        if (!ok) {
            CFG_ERROR_CODE("LCP00507",
                           "ConfigApp: truncated VIF record in a VIF Update of %1 bytes; the "
                           "records before it are used",
                           tlv.valueSize);
        }
        ProcessVifReports(reports);
    }
    if (walker.Malformed()) {
        CFG_ERROR_CODE("LCP00507", "ConfigApp: Update element at offset %1 does not fit, dropped",
                       walker.Offset());
    }
}

bool ConfigApp::DecodeVifReport(const VifRecord& record, uint8_t op, VifReport* out) {
    out->record = record;
    out->deleted = op == kOpDelete;
    bool fits = WalkProperties(record.properties, [&](uint16_t key, ByteSpan value) {
        switch (key) {
            case kVifPropStatus:
                if (value.size >= 1)
                    out->status = value.data[0];
                break;
            case kVifPropMac:
                out->hasMacs = true;
                for (size_t i = 0; i + kMacSize <= value.size; i += kMacSize) {
                    MacAddr m;
                    std::copy(value.data + i, value.data + i + kMacSize, m.begin());
                    out->macs.push_back(m);
                }
                break;
            case kVifPropBindings:
                out->hasBindings = true;
                for (size_t i = 0; i + kBindingSize <= value.size; i += kBindingSize) {
                    const uint8_t* e = value.data + i;
                    Binding b;
                    b.ipv4 = e[0] != 0;
                    std::copy(e + 1, e + 17, b.address.begin());
                    std::copy(e + 17, e + 23, b.mac.begin());
                    b.vlan = LoadBe16(e + 23);
                    b.method = e[25];
                    b.timestamp = LoadBe64(e + 26);
                    out->bindings.push_back(b);
                }
                break;
            default:
                CFG_DEBUG("ConfigApp: VIF %1 property type %2 ignored", record.vifId, key);
                break;
        }
    });
    // Record views are only valid during this call.
    out->record.properties = ByteSpan{};
    if (!fits) {
        CFG_ERROR_CODE("LCP00507",
                       "ConfigApp: VIF %1 record with properties that do not fit, dropped",
                       record.vifId);
        return false;
    }
    if (record.vifId.empty()) {
        CFG_ERROR_CODE("LCP00507", "ConfigApp: VIF record without VIF ID, dropped");
        return false;
    }
    if (!IsPrintableId(record.vifId) || !IsPrintableId(record.portId) ||
        !IsPrintableId(record.switchId) || !IsPrintableId(record.parentVifId)) {
        CFG_ERROR_CODE("LCP00507",
                       "ConfigApp: VIF record with an identifier that is not text, dropped");
        return false;
    }
    return true;
}

void ConfigApp::ProcessVifReports(const std::vector<VifReport>& reports) {
    if (reports.empty())
        return;
    for (const VifReport& r : reports) {
        UpdateVifInfo(r);
    }
    UpdateLocalState(reports);
    for (const VifReport& r : reports) {
        UpdateUplink(r);
    }
}

// ---- notifications ----

void ConfigApp::HandleNotification(const uint8_t* msg, size_t length) {
    KcpMsgView view;
    if (!ViewKcpMessage(msg, length, &view)) {
        CFG_ERROR_CODE("LCP00509", "ConfigApp: notification with an invalid header, dropped");
        return;
    }
    bool ok = WalkNotifications(view, [&](const Notification& n) {
        AgentLockGuard lock(GlobalAgentLock());
        if (stopped_ || !convertor_)
            return;
        if (n.type < kNotifyDpStatus || n.type > kNotifyPortContainerHopover) {
            CFG_ERROR_CODE("LCP00509", "ConfigApp: unsupported notification type %1, len %2",
                           n.type, n.valueSize + kDpTlvHeaderSize);
            return;
        }
        bool needsId = n.type != kNotifyDpStatus;
        bool badSyncType = n.type == kNotifyPortContainerHopover &&
                           (n.syncType < kSyncPortProperties || n.syncType > kSyncBoth);
        if (!n.valid || (needsId && (n.id.empty() || !IsPrintableId(n.id))) || badSyncType) {
            CFG_ERROR_CODE("LCP00509",
                           "ConfigApp: notification type %1 with a value of %2 bytes, dropped",
                           n.type, n.valueSize);
            return;
        }
        switch (n.type) {
            case kNotifyDpStatus:
                CFG_DEBUG("\tDP Status: len = %1 status = %2", n.valueSize + kDpTlvHeaderSize,
                          DpStatusName(n.status));
                if (n.status == kDpStatusOutOfSync)
                    ResyncAfterOutOfSync();
                break;
            case kNotifyPortPropOutOfSync:
                CFG_DEBUG("\tPort Property OutOfSync: len = %1 VIF = %2",
                          n.valueSize + kDpTlvHeaderSize, n.id);
                convertor_->MarkPortOutOfSync(n.id);
                cifConfig_->MarkHostVifOutOfSync(n.id);
                break;
            case kNotifyKrnnicPropOutOfSync:
                CFG_DEBUG("\tKrnnic Property OutOfSync: len = %1 krnnic = %2",
                          n.valueSize + kDpTlvHeaderSize, n.id);
                convertor_->MarkKrnnicOutOfSync(n.id);
                break;
            case kNotifyPortContainerHopover:
                CFG_DEBUG("\tPort container hopover fullSync: len = %1 VIF = %2 sync type = %3",
                          n.valueSize + kDpTlvHeaderSize, n.id, HopoverSyncTypeName(n.syncType));
                // The port's properties are the engine's, its container list CIFConfig's.
                if ((n.syncType & kSyncPortProperties) != 0)
                    convertor_->QueueHopoverSync(n.id, kSyncPortProperties);
                if ((n.syncType & kSyncPortContainerList) != 0)
                    cifConfig_->SyncPortContainerList(n.id);
                break;
        }
    });
    if (!ok) {
        CFG_ERROR_CODE("LCP00509",
                       "ConfigApp: notification element does not fit a message of %1 bytes",
                       view.length);
    }
}

}  // namespace CfgAgent
