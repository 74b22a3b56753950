// ConfigApp: VIF reports of the dataplane into VIF state, IP discovery and the conversion engine;
// the full-sync hand-over; hopover status records and their expiry.
//
// A VIF record of a delta that lacks a property keeps what the VIF had (a VIF reported for the
// first time without a Status is connected); a full-sync record is the complete report. An uplink
// is reported as a VIF record of type DVPG port (6) whose parent-VIF field carries the uplink's
// alias.
#include <chrono>

#include "apps/switching/CIFConfig.h"
#include "apps/switching/ConfigApp.h"
#include "dataplane/KcpProtocol.h"
#include "runtime/AgentLock.h"
#include "runtime/AgentSettings.h"
#include "runtime/AsyncTimer.h"
#include "runtime/Logger.h"
#include "statecache/IStateCacheConfigTable.h"
#include "statecache/MemoryEstimate.h"

namespace CfgAgent {

using namespace kcp;

namespace {

constexpr const char* kConduitKrnnicPrefix = "conduitKrnnic";

uint64_t EpochSeconds() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace

CairnDBUpdateMsg ConfigApp::VifStateWrite(const VifStateRecord& vif) const {
    CairnDBUpdateMsg m;
    m.objType = ObjectType::VIF_STATE;
    m.id = VifObjectId(vif.vifId);
    m.data = SerializeVifState(vif);
    m.op = CfgAgent::Operation::OPERATION_UPDATE;
    return m;
}

CairnDBUpdateMsg ConfigApp::HopoverWrite(const HopoverStatusRecord& h) const {
    CairnDBUpdateMsg m;
    m.objType = ObjectType::HOPOVER_STATUS;
    m.id = VifObjectId(h.vifId);
    m.data = SerializeHopoverStatus(h);
    m.op = CfgAgent::Operation::OPERATION_UPDATE;
    return m;
}

VifStateRecord ConfigApp::BuildVifState(const VifReport& r, const VifStateRecord* previous) const {
    VifStateRecord st;
    st.vifId = r.record.vifId;
    st.portId = r.record.portId;
    st.switchId = r.record.switchId;
    st.parentVifId = r.record.parentVifId;
    st.vifType = r.record.vifType;
    st.smartNic = r.record.smartNic != 0;
    st.hopover = r.record.hopover != 0;
    if (r.status) {
        st.status = *r.status;
    } else {
        st.status = previous != nullptr ? previous->status : static_cast<uint8_t>(kVifConnect);
    }
    if (r.hasMacs) {
        st.macs = r.macs;
    } else if (previous != nullptr) {
        st.macs = previous->macs;
    }
    if (r.hasBindings) {
        for (const Binding& b : r.bindings)
            st.dpBindings.push_back(BindingFromKcp(b));
    } else if (previous != nullptr) {
        st.dpBindings = previous->dpBindings;
    }
    if (previous != nullptr)
        st.bindings = previous->bindings;
    return st;
}

void ConfigApp::UpdateVifInfo(const VifReport& r) {
    VifStateRecord prev;
    const bool hasPrev = fullSyncDone_ && vifStates_.Get(VifKey(r.record.vifId), &prev);
    DvsVifInfo info;
    info.vifId = r.record.vifId;
    info.portId = r.record.portId;
    info.switchId = r.record.switchId;
    info.parentVifId = r.record.parentVifId;
    info.vifType = r.record.vifType;
    info.smartNic = r.record.smartNic != 0;
    info.hopover = r.record.hopover != 0;
    info.deleted = r.deleted;
    uint8_t status = kVifConnect;
    if (r.status) {
        status = *r.status;
    } else if (hasPrev) {
        status = prev.status;
    }
    info.connected = !r.deleted && status == kVifConnect;
    const std::vector<MacAddr>* macs = &r.macs;
    if (!r.hasMacs && hasPrev)
        macs = &prev.macs;
    for (const MacAddr& m : *macs)
        info.macs.push_back(MacText(m.data()));
    // A host VM VIF's CIFs lose their child ports before the VIF's port goes, and get them after
    // it is there; the engine sends the child ports' properties with the flush.
    if (!info.connected)
        cifConfig_->HandleVifInfo(info);
    convertor_->ProcessVifInfoUpdate(info);
    if (info.connected && cifConfig_->HandleVifInfo(info))
        convertor_->SendPortUnblockUpdate({}, {});
}

void ConfigApp::NoteHopover(const VifStateRecord& vif, bool left, CairnDBUpdateList* writes) {
    HopoverEntry e;
    e.record.vifId = vif.vifId;
    e.record.portId = vif.portId;
    e.record.status = left ? HopoverStatusRecord::kLeft : HopoverStatusRecord::kArrived;
    e.record.updatedAt = EpochSeconds();
    e.expiresAt = AgentClock::now() + std::chrono::seconds(kHopoverLifetimeSeconds);
    CFG_INFO("ConfigApp: hopover status of VIF %1: %2", vif.vifId, left ? "left" : "arrived");
    // While a full sync runs the record is written with the full-sync result.
    if (fullSyncDone_)
        writes->push_back(HopoverWrite(e.record));
    hopover_[VifKey(vif.vifId)] = std::move(e);
}

void ConfigApp::UpdateLocalState(const std::vector<VifReport>& reports) {
    std::vector<IpDiscVifUpdate> ipUpdates;
    CairnDBUpdateList writes;
    for (const VifReport& r : reports) {
        if (persona_ == kPersonaSmartnicHost && r.record.smartNic != 0) {
            CFG_DEBUG("ConfigApp: VIF %1 is served by a SmartNIC, skipped", r.record.vifId);
            continue;
        }
        if (r.record.vifId.compare(0, std::char_traits<char>::length(kConduitKrnnicPrefix),
                                   kConduitKrnnicPrefix) == 0) {
            CFG_INFO("ConfigApp: ignore VIF type CONDUIT_KRNNIC");
            continue;
        }
        CFG_INFO("ConfigApp: update VIF %1, op %2", r.record.vifId,
                 r.deleted ? "DELETE" : "UPDATE");
        std::string key = VifKey(r.record.vifId);
        VifStateRecord prev;
        const VifStateRecord* previous =
            fullSyncDone_ && vifStates_.Get(key, &prev) ? &prev : nullptr;
        VifStateRecord st = BuildVifState(r, previous);
        IpDiscVifUpdate ip;
        ip.vifId = st.vifId;
        ip.deleted = r.deleted;
        ip.connected = !r.deleted && st.status == kVifConnect;
        ip.hasBindings = r.hasBindings || previous == nullptr;
        ip.bindings = st.dpBindings;
        if (r.deleted) {
            CFG_INFO("ConfigApp: delete VIF %1", st.vifId);
            if (st.hopover) {
                CFG_INFO("ConfigApp: delete VIF %1 due to hopover", st.vifId);
                convertor_->RemoveFromHopoverSyncQueue(st.portId);
                NoteHopover(st, true, &writes);
            }
        } else if (st.hopover) {
            NoteHopover(st, false, &writes);
        }
        if (!fullSyncDone_) {
            fullSyncVifList_.emplace_back(std::move(st), r.deleted);
            fullSyncIpDiscList_.push_back(std::move(ip));
            continue;
        }
        if (r.deleted) {
            if (vifStates_.Erase(key)) {
                CairnDBUpdateMsg del;
                del.objType = ObjectType::VIF_STATE;
                del.id = VifObjectId(ip.vifId);
                del.op = CfgAgent::Operation::OPERATION_DELETE;
                writes.push_back(std::move(del));
            }
        } else {
            vifStates_.Put(key, st);
        }
        ipUpdates.push_back(std::move(ip));
    }
    if (ipUpdates.empty() && writes.empty())
        return;
    CFG_INFO("ConfigApp: write to ConfigCache on VIF update (delta update)");
    if (!writes.empty() && configTable_ != nullptr)
        configTable_->UpdateRuntimeState(writes, false);
    if (!ipUpdates.empty()) {
        // IP discovery merges the bindings and calls OnIpDiscoveryReady, which writes the states.
        ipDiscovery_->ProcessVifUpdate(ipUpdates, false);
        ipDiscovery_->ProcessIpDiscList(ipUpdates, false);
    }
}

void ConfigApp::UpdateUplink(const VifReport& r) {
    if (r.record.vifType != kVifDvpgPort)
        return;
    DvsUplink uplink{r.record.vifId, r.record.portId, r.record.parentVifId, r.record.switchId};
    if (!fullSyncDone_) {
        for (auto it = fullSyncUplinks_.begin(); it != fullSyncUplinks_.end(); ++it) {
            if (it->vifId == uplink.vifId) {
                fullSyncUplinks_.erase(it);
                break;
            }
        }
        if (!r.deleted)
            fullSyncUplinks_.push_back(uplink);
        return;
    }
    if (r.deleted) {
        convertor_->DeleteUplink(uplink);
    } else {
        convertor_->AddUplink(uplink);
    }
}

void ConfigApp::HandleFullSyncEnd() {
    fullSyncDone_ = true;
    sessionState_ = kSessionFullSyncEnded;
    // The bindings first: IP discovery answers with OnIpDiscoveryReady (full sync), which writes
    // the VIF states collected during the full sync.
    std::vector<IpDiscVifUpdate> ipList = std::move(fullSyncIpDiscList_);
    fullSyncIpDiscList_.clear();
    ipDiscovery_->ProcessIpDiscList(ipList, true);
    if (!ipDisFullSyncDone_) {
        // IP discovery did not answer (stopped): the states are written with what it knows.
        OnIpDiscoveryReady(true, {}, true);
    }
    ipDiscovery_->ProcessVifUpdate(ipList, true);
    // Released, not only emptied: it held every VIF of the dataplane's full sync.
    std::vector<std::pair<VifStateRecord, bool>>().swap(fullSyncVifList_);
    std::vector<DvsUplink> uplinks = std::move(fullSyncUplinks_);
    fullSyncUplinks_.clear();
    convertor_->ApplyFullSyncUplinks(uplinks);
    cifConfig_->OnDataplaneFullSyncDone();
    convertor_->OnDataplaneFullSyncDone();
    CFG_INFO("ConfigApp: full sync with DP done, %1 VIF(s)", vifStates_.size());
    if (resyncPending_)
        ResyncAfterOutOfSync();
}

void ConfigApp::OnIpDiscoveryReady(bool vifConnectionUpdate,
                                   const std::vector<IpDiscResult>& updates, bool fullSync) {
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_)
        return;
    CFG_INFO("ConfigApp: IpDiscovery update ready, vifConnectionUpdate : %1, upds size : %2",
             vifConnectionUpdate, updates.size());
    if (!fullSync) {
        CairnDBUpdateList writes;
        VifStateRecord st;
        for (const IpDiscResult& u : updates) {
            if (!vifStates_.Get(u.vifId, &st))
                continue;  // not connected here (deleted, or only known to the guest tools)
            st.bindings = u.bindings;
            vifStates_.Put(u.vifId, st);
            writes.push_back(VifStateWrite(st));
        }
        if (!writes.empty() && configTable_ != nullptr)
            configTable_->UpdateRuntimeState(writes, false);
        CFG_INFO("ConfigApp: finished write to ConfigCache on VIF update (delta update)");
        return;
    }
    CFG_INFO("ConfigApp: _fullSyncUpdateList size : %1 before updating config state cache",
             fullSyncVifList_.size());
    std::map<std::string, const std::vector<IpBinding>*> merged;
    for (const IpDiscResult& u : updates)
        merged[u.vifId] = &u.bindings;
    // The records are moved, not copied: the list is released once the full sync is handed over.
    std::map<std::string, VifStateRecord> fresh;
    for (auto& [st, deleted] : fullSyncVifList_) {
        std::string key = VifKey(st.vifId);
        if (deleted) {
            fresh.erase(key);
        } else {
            fresh[key] = std::move(st);
        }
    }
    CairnDBUpdateList writes;
    vifStates_.Clear();
    // Each record goes from the list as it is packed into the table.
    for (auto it = fresh.begin(); it != fresh.end(); it = fresh.erase(it)) {
        const std::string& key = it->first;
        VifStateRecord& st = it->second;
        auto m = merged.find(key);
        st.bindings = m != merged.end() ? *m->second : ipDiscovery_->EffectiveBindings(key);
        writes.push_back(VifStateWrite(st));
        vifStates_.Put(key, st);
    }
    // A full-sync write replaces the whole runtime store of these types: the hopover records go
    // with it.
    for (const auto& [key, h] : hopover_)
        writes.push_back(HopoverWrite(h.record));
    if (configTable_ != nullptr)
        configTable_->UpdateRuntimeState(writes, true);
    CFG_INFO("ConfigApp: finished write to ConfigCache on IP Discovery ready (FullSync)");
    ipDisFullSyncDone_ = true;
    CFG_INFO("ConfigApp: _ipDisFullSyncDone set to true");
}

void ConfigApp::OnHopoverTimer() {
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_)
        return;
    AgentClock::time_point now = AgentClock::now();
    CairnDBUpdateList writes;
    for (auto it = hopover_.begin(); it != hopover_.end();) {
        if (it->second.expiresAt > now) {
            ++it;
            continue;
        }
        CFG_INFO("ConfigApp: delete hopover status message with VIF %1", it->second.record.vifId);
        CairnDBUpdateMsg del;
        del.objType = ObjectType::HOPOVER_STATUS;
        del.id = VifObjectId(it->second.record.vifId);
        del.op = CfgAgent::Operation::OPERATION_DELETE;
        writes.push_back(std::move(del));
        it = hopover_.erase(it);
    }
    if (!writes.empty() && configTable_ != nullptr)
        configTable_->UpdateRuntimeState(writes, false);
    if (hopoverTimer_)
        hopoverTimer_->start(kHopoverCheckIntervalMicros);
}

size_t ConfigApp::TableBytes() const {
    using sc::ContainerBytes;
    AgentLockGuard lock(GlobalAgentLock());
    size_t n = vifStates_.Bytes();
    n += ContainerBytes(hopover_);
    if (ipDiscovery_)
        n += ipDiscovery_->TableBytes();
    // What a dataplane full sync collects until its end (the records' own strings left out).
    n += ContainerBytes(fullSyncVifList_) + ContainerBytes(fullSyncIpDiscList_);
    if (convertor_)
        n += convertor_->TableBytes();
    if (cifConfig_)
        n += cifConfig_->TableBytes();
    return n;
}

}  // namespace CfgAgent
