// DVSPropConvertor: the session with the dataplane — sync bookkeeping across sessions, the
// full-state push, the resync queue (out-of-sync reports and failed sends) and the hopover queue
// (ports of migrating VMs), each drained by its timer.
#include <algorithm>

#include "apps/switching/DVSPropConvertor.h"
#include "apps/switching/DVSPropConvertorInternal.h"
#include "apps/switching/DVSPropConvertorTimers.h"
#include "dataplane/IKCPMsgConvertor.h"
#include "dataplane/KcpBuilders.h"
#include "dataplane/KcpPropertyTable.h"
#include "dataplane/KcpProtocol.h"
#include "runtime/AsyncTimer.h"

namespace CfgAgent {

using namespace dvs;

void DvsTimerTarget::OnResync() {
    AgentLockGuard lock(GlobalAgentLock());
    if (owner_ != nullptr)
        owner_->OnResyncProperty();
}

void DvsTimerTarget::OnHopover() {
    AgentLockGuard lock(GlobalAgentLock());
    if (owner_ != nullptr)
        owner_->OnHopoverSync();
}

namespace {
uint64_t Micros(std::chrono::milliseconds d) {
    return static_cast<uint64_t>(d.count()) * 1000u;
}
}  // namespace

void DVSPropConvertor::StartResyncTimer() {
    if (resyncArmed_ || stopped_)
        return;
    resyncArmed_ = true;
    resyncTimer_->start(Micros(options_.resyncInterval));
}

void DVSPropConvertor::StartHopoverTimer() {
    if (hopoverArmed_ || stopped_)
        return;
    hopoverArmed_ = true;
    hopoverTimer_->start(Micros(options_.hopoverInterval));
}

void DVSPropConvertor::QueueResyncPort(const std::string& portId) {
    auto it = ports_.find(PackedId(portId));
    if (it == ports_.end())
        return;
    it->second.installed.clear();
    it->second.sendWhole = true;
    resyncPorts_.insert(portId);
    StartResyncTimer();
}

// ---- session events -------------------------------------------------------------------------

void DVSPropConvertor::ResetSyncState() {
    CFG_INFO("DVSPropConvertor: new dataplane session, forget what the dataplane held");
    dpConnected_ = true;
    pushed_ = false;
    for (auto& [id, port] : ports_) {
        (void)id;
        port.installed.clear();
        port.sendWhole = true;
        port.confirmed = false;
        port.outOfSync = false;
    }
    installedSwitches_.clear();
    installedKrnnics_.clear();
    listedSwitches_.clear();
    dirtyPorts_.clear();
    dirtySwitches_.clear();
    dirtyKrnnics_.clear();
    resyncPorts_.clear();
    resyncKrnnics_.clear();
    resyncSwitches_.clear();
    hopoverQueue_.clear();
    resyncTimer_->cancel();
    hopoverTimer_->cancel();
    resyncArmed_ = false;
    hopoverArmed_ = false;
}

void DVSPropConvertor::OnDataplaneFullSyncDone() {
    // Ports the dataplane did not report again in the new session are gone.
    std::vector<std::string> gone;
    for (const auto& [id, port] : ports_) {
        if (!port.confirmed)
            gone.push_back(id.str());
    }
    for (const std::string& id : gone) {
        CFG_INFO("Remove port [%1] VIF [%2] not reported by the dataplane full sync", id,
                 ports_.at(PackedId(id)).vifId.text());
        RemovePort(id);
    }
    CFG_INFO("DVSPropConvertor: dataplane full sync done, %1 ports connected", ports_.size());
    if (!gone.empty() && pushed_ && dpConnected_) {
        std::vector<std::string> list;
        for (auto& [id, port] : ports_) {
            if (!port.installed.empty())
                list.push_back(id.str());
        }
        if (!kcp_->SendPortList(list))
            CFG_ERROR_CODE("LCP00502", "Failed to send portList fullSync msg");
    }
}

void DVSPropConvertor::OnDataplaneDisconnected() {
    CFG_INFO("DVSPropConvertor: dataplane disconnected");
    dpConnected_ = false;
}

// ---- full-state push ------------------------------------------------------------------------

bool DVSPropConvertor::SendPortsWhole(const std::vector<std::string>& portIds, const char* what) {
    bool ok = true;
    for (size_t from = 0; from < portIds.size(); from += kPortsPerUpdate) {
        const size_t to = std::min(portIds.size(), from + kPortsPerUpdate);
        ok = SendPortsWhole(portIds, from, to, what) && ok;
    }
    return ok;
}

bool DVSPropConvertor::SendPortsWhole(const std::vector<std::string>& portIds, size_t from,
                                      size_t to, const char* what) {
    std::vector<kcp::PropertyRecordSpec> records;
    // What each port will hold once sent, packed as it is kept (a tree of every port's values
    // would be the largest part of a full push).
    std::vector<std::pair<const std::string*, PackedPropSet>> results;
    records.reserve(to - from);
    results.reserve(to - from);
    for (size_t i = from; i < to; ++i) {
        const std::string& id = portIds[i];
        auto it = ports_.find(PackedId(id));
        if (it == ports_.end())
            continue;
        PropSet desired = DesiredPortProps(id, it->second);
        kcp::PropertyRecordSpec rec;
        rec.id = id;
        for (const auto& [k, v] : desired) {
            std::vector<uint8_t> e = kcp::MakeKcpProperty(k.first, v);
            if (e.empty()) {
                rec.id.clear();
                break;
            }
            rec.properties.push_back(std::move(e));
        }
        if (rec.id.empty() || !kcp::CheckIdField(id, kcp::kIdSize, "port ID")) {
            CFG_ERROR("Failed to build portSync msg for port [%1]", id);
            continue;
        }
        // UNBLOCK last, BLOCK first.
        auto block = std::find_if(
            rec.properties.begin(), rec.properties.end(),
            [](const std::vector<uint8_t>& e) { return LoadBe16(e.data()) == kcp::kPropBlock; });
        if (block != rec.properties.end() && block->size() == kDpTlvHeaderSize + 1 &&
            (*block)[kDpTlvHeaderSize] == kcp::kUnblocked) {
            std::rotate(block, block + 1, rec.properties.end());
        }
        records.push_back(std::move(rec));
        results.emplace_back(&id, PackedPropSet(desired));
    }
    if (records.empty())
        return true;
    const size_t count = records.size();
    kcp::KcpUpdateBuilder builder(MaxMsgLength());
    // The builder takes the properties: at a full push of every port they are held once.
    builder.AddPortProperties(kcp::kOpFullSync, std::move(records));
    bool ok = SendBuilder(builder);
    CFG_DEBUG("DVSPropConvertor: %1 properties of %2 ports sent whole: %3", what, count, ok);
    for (auto& [id, desired] : results) {
        PortState& port = ports_.at(PackedId(*id));
        if (ok) {
            port.installed = std::move(desired);
            port.sendWhole = false;
            port.outOfSync = false;
            dirtyPorts_.erase(*id);
        } else {
            QueueResyncPort(*id);
        }
    }
    return ok;
}

bool DVSPropConvertor::SendSwitchesWhole(const std::vector<std::string>& switchIds) {
    std::set<std::string> ids = DesiredSwitchIds();
    kcp::KcpUpdateBuilder builder(MaxMsgLength());
    std::vector<std::pair<std::string, PropSet>> results;
    for (const std::string& id : switchIds) {
        if (ids.count(id) == 0)
            continue;
        PropSet desired = DesiredSwitchProps(id);
        std::vector<std::vector<uint8_t>> elements;
        for (const auto& [k, v] : desired) {
            std::vector<uint8_t> e = kcp::MakeKcpProperty(k.first, v);
            if (!e.empty())
                elements.push_back(std::move(e));
        }
        builder.AddSwxProperties(id, kcp::kOpFullSync, elements);
        results.emplace_back(id, std::move(desired));
    }
    bool ok = SendBuilder(builder);
    for (auto& [id, desired] : results) {
        if (ok) {
            installedSwitches_[id] = std::move(desired);
            dirtySwitches_.erase(id);
        } else {
            installedSwitches_.erase(id);
            resyncSwitches_.insert(id);
            StartResyncTimer();
        }
    }
    return ok;
}

bool DVSPropConvertor::SendKrnnicsWhole(const std::vector<std::string>& names) {
    std::set<std::string> known = DesiredKrnnicNames();
    std::vector<kcp::PropertyRecordSpec> records;
    std::vector<std::pair<std::string, PropSet>> results;
    for (const std::string& name : names) {
        if (known.count(name) == 0)
            continue;
        PropSet desired = DesiredKrnnicProps(name);
        kcp::PropertyRecordSpec rec{name, {}};
        for (const auto& [k, v] : desired) {
            std::vector<uint8_t> e = kcp::MakeKcpProperty(k.first, v);
            if (!e.empty())
                rec.properties.push_back(std::move(e));
        }
        records.push_back(std::move(rec));
        results.emplace_back(name, std::move(desired));
    }
    if (records.empty())
        return true;
    kcp::KcpUpdateBuilder builder(MaxMsgLength());
    builder.AddKrnnicProperties(kcp::kOpFullSync, records);
    bool ok = SendBuilder(builder);
    for (auto& [name, desired] : results) {
        if (ok) {
            installedKrnnics_[name] = std::move(desired);
            dirtyKrnnics_.erase(name);
        } else {
            installedKrnnics_.erase(name);
            resyncKrnnics_.insert(name);
            StartResyncTimer();
        }
    }
    return ok;
}

void DVSPropConvertor::PushFullState() {
    // Objects removed while the database was away are only noticed by asking the table.
    RunReconciles();
    ReconcileAll();

    std::set<std::string> switchIds = DesiredSwitchIds();
    std::vector<std::string> switchList(switchIds.begin(), switchIds.end());
    CFG_INFO("Send DVSList FullSync message");
    if (!kcp_->SendSwxList(switchList)) {
        CFG_ERROR_CODE("LCP00502", "Failed to send DVSList fullSync msg");
    } else {
        listedSwitches_ = switchIds;
    }

    // The ports known on both sides: attached logical ports whose VIF is connected.
    if (Logger::enabled(kLogDebug)) {
        for (const auto& [lspId, l] : lsps_) {
            if (!l.dvportId.empty() && PortKeyOfLsp(lspId) == nullptr)
                CFG_DEBUG("Skip DVPort %1 when doing config full sync", l.dvportId.text());
        }
    }
    std::vector<std::string> portList;
    for (auto& [id, port] : ports_) {
        std::string text = id.str();
        if (!DesiredPortProps(text, port).empty())
            portList.push_back(std::move(text));
    }
    CFG_INFO("Send portList fullSync message");
    kcp::KcpUpdateBuilder list(MaxMsgLength());
    if (!list.AddPortList(portList)) {
        CFG_ERROR_CODE("LCP00502", "Failed to build portList fullSync msg");
    } else if (!SendBuilder(list)) {
        CFG_ERROR_CODE("LCP00502", "Failed to send portList fullSync msg");
    }
    SendPortsWhole(portList, "fullSync");
    for (auto& [id, port] : ports_) {
        (void)id;
        if (port.installed.empty())
            port.sendWhole = true;  // not in the list: the dataplane dropped what it had
    }

    SendSwitchesWhole(switchList);
    std::set<std::string> krnnics = DesiredKrnnicNames();
    std::vector<std::string> krnnicList(krnnics.begin(), krnnics.end());
    if (!kcp_->SendKrnnicList(krnnicList))
        CFG_ERROR_CODE("LCP00502", "Failed to send krnnicList fullSync msg");
    SendKrnnicsWhole(krnnicList);
    pushed_ = true;
    Flush();
}

// ---- resync ---------------------------------------------------------------------------------

void DVSPropConvertor::MarkPortOutOfSync(const std::string& vifId) {
    std::string portId = PortOfVif(vifId);
    if (portId.empty()) {
        CFG_WARN("Failed to set reSync for port %1 as it is already disconnected", vifId);
        return;
    }
    CFG_INFO("Port %1 is out of sync with DP", portId);
    ports_.at(PackedId(portId)).outOfSync = true;
    QueueResyncPort(portId);
}

void DVSPropConvertor::MarkKrnnicOutOfSync(const std::string& krnnicName) {
    if (DesiredKrnnicNames().count(krnnicName) == 0 && installedKrnnics_.count(krnnicName) == 0) {
        CFG_WARN("Failed to find krnnic %1 to set reSync as it is already removed.", krnnicName);
        return;
    }
    installedKrnnics_.erase(krnnicName);
    resyncKrnnics_.insert(krnnicName);
    StartResyncTimer();
}

void DVSPropConvertor::OnResyncProperty() {
    resyncArmed_ = false;
    CFG_INFO("OnResyncProperty timer triggered");
    if (stopped_ || !dpConnected_)
        return;  // a new session starts from a clean slate
    std::vector<std::string> ports(resyncPorts_.begin(), resyncPorts_.end());
    std::vector<std::string> krnnics(resyncKrnnics_.begin(), resyncKrnnics_.end());
    std::vector<std::string> switches(resyncSwitches_.begin(), resyncSwitches_.end());
    resyncPorts_.clear();
    resyncKrnnics_.clear();
    resyncSwitches_.clear();
    // Failures queue their records again and re-arm the timer.
    SendPortsWhole(ports, "resync");
    SendKrnnicsWhole(krnnics);
    SendSwitchesWhole(switches);
}

// ---- hopover --------------------------------------------------------------------------------

void DVSPropConvertor::QueueHopoverSync(const std::string& vifId, uint16_t syncType) {
    if (syncType < kcp::kSyncPortProperties || syncType > kcp::kSyncBoth) {
        CFG_WARN("DVSPropConvertor: invalid hopover sync type %1 for VIF %2, ignored", syncType,
                 vifId);
        return;
    }
    std::string portId = PortOfVif(vifId);
    if (portId.empty()) {
        CFG_WARN("DVSPropConvertor: hopover sync for VIF %1 that is not connected, ignored", vifId);
        return;
    }
    auto key = std::make_pair(portId, vifId);
    auto it = hopoverQueue_.find(key);
    if (it != hopoverQueue_.end()) {
        it->second = static_cast<uint16_t>(it->second | syncType);
        CFG_INFO("Existing port(%1:%2), merge sync flag to %3", portId, vifId, it->second);
    } else {
        hopoverQueue_[key] = syncType;
        CFG_INFO("Add port (%1:%2) to hopover port sync queue", portId, vifId);
    }
    StartHopoverTimer();
}

void DVSPropConvertor::RemoveFromHopoverSyncQueue(const std::string& portId) {
    for (auto it = hopoverQueue_.begin(); it != hopoverQueue_.end();) {
        bool match = it->first.first == portId || it->first.second == portId;
        it = match ? hopoverQueue_.erase(it) : std::next(it);
    }
}

void DVSPropConvertor::OnHopoverSync() {
    hopoverArmed_ = false;
    if (stopped_ || !dpConnected_)
        return;
    std::vector<std::string> propertyPorts;
    for (auto it = hopoverQueue_.begin(); it != hopoverQueue_.end();) {
        const std::string& portId = it->first.first;
        auto port = ports_.find(PackedId(portId));
        if (port == ports_.end()) {
            it = hopoverQueue_.erase(it);
            continue;
        }
        if ((it->second & kcp::kSyncPortProperties) != 0)
            propertyPorts.push_back(portId);
        it = hopoverQueue_.erase(it);
    }
    SendPortsWhole(propertyPorts, "hopover");
}

}  // namespace CfgAgent
