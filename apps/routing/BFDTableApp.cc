#include "apps/routing/BFDTableApp.h"

#include <algorithm>
#include <iterator>

#include <nlohmann/json.hpp>

#include "apps/routing/BfdTlv.h"
#include "apps/switching/IL2App.h"
#include "dataplane/DpFraming.h"
#include "dataplane/VxlanProtocol.h"
#include "intake/MsgDispatcher.h"
#include "proto/cairndb_bfd.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"
#include "statecache/IStateCacheConfigTable.h"
#include "statecache/IStateCacheL2Table.h"
#include "statecache/IdText.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

bfd::ConfigFields FieldsOf(const pb::BfdConfigMsg& c) {
    bfd::ConfigFields f;
    f.hasEnable = c.has_enabled();
    f.enable = c.enabled();
    f.hasInterval = c.has_vtep_health_interval();
    f.interval = c.vtep_health_interval();
    f.hasLatency = c.has_latency_enable();
    f.latency = c.latency_enable();
    f.hasMultiplier = c.has_declare_dead_multiple();
    f.multiplier = c.declare_dead_multiple();
    return f;
}

vxlan::UuidBytes UuidBytesOfId(const std::string& id) {
    vxlan::UuidBytes out{};
    pb::UuidMsg u;
    if (u.ParseFromString(id)) {
        StoreBe64(out.data(), u.left());
        StoreBe64(out.data() + 8, u.right());
    }
    return out;
}

const char* OpText(int op) {
    return op == 0 ? "add" : "delete";
}

}  // namespace

BFDTableApp::BFDTableApp(BFDTableAppOptions options) : options_(options) {}

BFDTableApp::~BFDTableApp() = default;

void BFDTableApp::Start() {
    {
        AgentLockGuard lock(GlobalAgentLock());
        if (started_ || options_.l2App == nullptr)
            return;
        started_ = true;
    }
    ozy::RefPtr<BFDTableApp> self(this);
    options_.l2App->AddVniJoinListener([self](uint32_t vni, uint32_t switchId, bool joined) {
        self->OnVniJoin(vni, switchId, joined);
    });
    options_.l2App->RegisterFullSyncCallback([self] { self->SyncToDataplane(); });
    if (options_.configTable != nullptr) {
        options_.configTable->RegisterDesiredStateObserver(ObjectType::LOG_SWITCH_CONFIG, this);
        options_.configTable->RegisterDesiredStateObserver(ObjectType::TRANSPORT_NODE_CONFIG, this);
    }
    if (options_.l2Table != nullptr) {
        options_.l2Table->RegisterDesiredStateObserver(this);
        options_.l2Table->RegisterRuntimeStateObserver(this);
    }
    if (options_.dispatcher != nullptr)
        options_.dispatcher->RegisterComponent(ComponentType::BFD, this);
    AgentLockGuard lock(GlobalAgentLock());
    Pass pass(*this);
    RebuildGroups();
    RecomputeAll();
    CFG_INFO("%1: started", kName);
}

void BFDTableApp::Stop() {
    {
        AgentLockGuard lock(GlobalAgentLock());
        if (!started_ || stopped_)
            return;
        stopped_ = true;
    }
    if (options_.dispatcher != nullptr)
        options_.dispatcher->UnregisterComponent(this);
    if (options_.configTable != nullptr) {
        options_.configTable->UnregisterDesiredStateObserver(ObjectType::LOG_SWITCH_CONFIG, this);
        options_.configTable->UnregisterDesiredStateObserver(ObjectType::TRANSPORT_NODE_CONFIG,
                                                             this);
    }
    if (options_.l2Table != nullptr) {
        options_.l2Table->UnregisterDesiredStateObserver(this);
        options_.l2Table->UnregisterRuntimeStateObserver(this);
    }
    AgentLockGuard lock(GlobalAgentLock());
    CFG_INFO("%1: stopped", kName);
}

// ---- desired state ----

void BFDTableApp::UpdateDesiredState(const CairnDBUpdateList& objects, bool fullSync) {
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_)
        return;
    bool sawGlobal = false;
    for (const CairnDBUpdateMsg& r : objects) {
        if (r.objType != ObjectType::BFD_GLOBAL_CONFIG) {
            CFG_ERROR_CODE("LCP02203", "%1: unexpected cairndb object type %2", kName,
                           static_cast<int>(r.objType));
            continue;
        }
        if (r.property != PropertyType::INVALID_PROPERTY)
            continue;
        if (r.op == Operation::OPERATION_DELETE) {
            CFG_INFO("%1: BFD global configuration %2 deleted", kName, IdText(r.id));
            evpnBfd_.reset();
            continue;
        }
        sawGlobal = true;
        PushEvpn(r.data);
    }
    // A full sync without the object: nothing is configured any more.
    if (fullSync && !sawGlobal)
        evpnBfd_.reset();
}

void BFDTableApp::ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) {
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_)
        return;
    Pass pass(*this);
    for (const CairnDBUpdateMsg& r : updates) {
        if (r.objType == ObjectType::TRANSPORT_NODE_CONFIG) {
            if (r.property == PropertyType::TN_TRANSPORT_SWITCHES &&
                r.op == Operation::OPERATION_UPDATE) {
                CFG_INFO("%1: Push down BFD config after receiving transport switch property",
                         kName);
                PushTransportNode(r.data);
            }
            continue;
        }
        // Its VNI, routing domain and EVPN mode: the switch is derived again.
        if (r.objType == ObjectType::LOG_SWITCH_CONFIG)
            dirty_.insert(r.id);
    }
    if (fullSync)
        RecomputeAll();
    else
        RecomputeDirty();
}

// ---- the table ----

bool BFDTableApp::UpdateBFDTable(const BfdSessionKey& key, int op, const BfdReference& ref,
                                 uint32_t vni) {
    AgentLockGuard lock(GlobalAgentLock());
    Pass pass(*this);
    CFG_DEBUG(
        "UpdateBFDTable for Local IP : %1, RemoteIP : %2, local isIPv4 : %3, local isIPv6 : %4 "
        "remote isIPv4 : %5, remote isIPv6 : %6, op : %7, localID: %8, remoteID: %9",
        key.local.Text(), key.remote.Text(), !key.local.ipv6, key.local.ipv6, !key.remote.ipv6,
        key.remote.ipv6, op, IdText(ref.localId), ref.RemoteText());
    if (key.local.ipv6 != key.remote.ipv6) {
        CFG_ERROR(op == 0 ? "%1: AddBFDSessionToBFDTable type error: Local IP type is v4: %2, "
                            "RemoteIP type is v4: %3"
                          : "%1: DeleteBFDSessionFromBFDTable type error: Local IP type is v4: "
                            "%2, RemoteIP type is v4: %3",
                  kName, !key.local.ipv6, !key.remote.ipv6);
        return false;
    }
    if (op == 0) {
        uint32_t oldVni = 0;
        switch (table_.Add(key, ref, vni, &oldVni)) {
            case BFDTable::Result::kCreated:
                CFG_DEBUG(
                    "AddBFDSessionToBFDTable: Create BFD table entry (localIP: %1, remoteIP:%2, "
                    "localLabel: %3, remoteLabel: %4, tnVgLabel: %5, sessionType: %6) and insert "
                    "remoteID: %7(%8), localID: %9 to it.",
                    key.local.Text(), key.remote.Text(), key.localLabel, key.remoteLabel,
                    key.tnVgLabel, BfdSessionTypeName(key.type), ref.RemoteText(),
                    BfdIdTypeName(ref.remoteType), IdText(ref.localId));
                break;
            case BFDTable::Result::kInserted:
                CFG_DEBUG(
                    "%1: AddBFDSessionToBFDTable: Insert remoteID: %2(%3), localID: %4 to BFD "
                    "table entry (localIP: %5, remoteIP: %6, localLabel: %7, remoteLabel: %8, "
                    "sessionType: %9)",
                    kName, ref.RemoteText(), BfdIdTypeName(ref.remoteType), IdText(ref.localId),
                    key.local.Text(), key.remote.Text(), key.localLabel, key.remoteLabel,
                    BfdSessionTypeName(key.type));
                break;
            default:
                // Present already: only a change of its switch's VNI moves its session.
                if (oldVni == vni)
                    return true;
                DropDataplaneRef(key, ref, oldVni);
                break;
        }
        AddDataplaneRef(key, ref, vni);
        return true;
    }
    uint32_t oldVni = 0;
    if (table_.Remove(key, ref, &oldVni) == BFDTable::Result::kAbsent) {
        CFG_ERROR_CODE("LCP00007",
                       "BFDTable does not contain valid bfd session (%1 --> %2)for localID %3 --> "
                       "remote ID %4 to be deleted, session type is : %5",
                       key.local.Text(), key.remote.Text(), IdText(ref.localId), ref.RemoteText(),
                       BfdSessionTypeName(key.type));
        return false;
    }
    DropDataplaneRef(key, ref, oldVni);
    return true;
}

// ---- dataplane ----

BFDTableApp::DpKey BFDTableApp::DpKeyOf(const BfdSessionKey& key, const BfdReference& ref,
                                        uint32_t vni) const {
    DpKey k;
    k.vni = vni;
    const vxlan::UuidBytes rd = ref.remoteType == BfdIdType::kRoutingDomain
                                    ? UuidBytesOfId(ref.remoteId)
                                    : vxlan::UuidBytes{};
    k.entry = bfd::BuildSessionEntry(key.local.bytes, key.remote.bytes, key.local.ipv6, vni, rd,
                                     key.tnVgLabel);
    return k;
}

void BFDTableApp::AddDataplaneRef(const BfdSessionKey& key, const BfdReference& ref, uint32_t vni) {
    if (vni == 0) {
        if (ref.remoteType == BfdIdType::kVtepGroup) {
            CFG_ERROR_CODE("LCP02202",
                           "%1: UpdateToBFDSessionInDataplane cannot send BFD session update msg "
                           "to datapath, (%2 -> %3) for local:%4(LS) --> remote:%5(vgLabel) "
                           "op:%6. Cannot get logical switch iterator pair by VTEP group label.",
                           kName, key.local.Text(), key.remote.Text(), IdText(ref.localId),
                           ref.RemoteText(), OpText(0));
        } else {
            CFG_ERROR_CODE("LCP02201",
                           "%1: UpdateToBFDSessionInDataplane cannot send BFD session update msg "
                           "to datapath, (%2 -> %3) for local:%4 --> remote:%5(LS) op:%6.Cannot "
                           "get VNI by logical switch.",
                           kName, key.local.Text(), key.remote.Text(), IdText(ref.localId),
                           ref.RemoteText(), OpText(0));
        }
        return;
    }
    const auto it = dpSessions_.try_emplace(dpNext_, DpKeyOf(key, ref, vni));
    dpNext_ = std::next(it);
    if (++it->second.refs == 1)
        SendSession(it->first, it->second, false);
}

void BFDTableApp::DropDataplaneRef(const BfdSessionKey& key, const BfdReference& ref,
                                   uint32_t vni) {
    if (vni == 0)
        return;
    auto it = dpSessions_.find(DpKeyOf(key, ref, vni));
    if (it == dpSessions_.end() || --it->second.refs != 0)
        return;
    if (it->second.sent)
        SendSession(it->first, it->second, true);
    dpSessions_.erase(it);
    dpNext_ = dpSessions_.end();
}

bool BFDTableApp::SendSession(const DpKey& key, DpSession& s, bool remove) {
    if (stopped_)
        return false;
    uint32_t switchId = s.switchId;
    if (!remove && !options_.l2App->SwitchIdOfVni(key.vni, &switchId)) {
        CFG_DEBUG("%1: BFD session of VNI %2 waits for the VNI's join", kName, key.vni);
        return false;
    }
    Pass pass(*this);
    if (outbox_.empty()) {
        outboxLimit_ =
            std::max<size_t>(1, options_.l2App->SessionTlvsPerUpdate(vxlan::kBfdSessionValueSize));
        outbox_.reserve(outboxLimit_ * vxlan::kBfdSessionValueSize);
    }
    const size_t at = outbox_.size();
    outbox_.resize(at + vxlan::kBfdSessionValueSize);
    bfd::WriteSessionValue(outbox_.data() + at, switchId, remove, key.entry);
    // Sent unless L2App refuses the Update (Flush).
    s.sent = !remove;
    s.switchId = switchId;
    if (outbox_.size() >= outboxLimit_ * vxlan::kBfdSessionValueSize)
        Flush();
    return true;
}

void BFDTableApp::Flush() {
    const size_t count = outbox_.size() / vxlan::kBfdSessionValueSize;
    if (count == 0)
        return;
    if (stopped_ || !options_.l2App->SendSessionTlvs(vxlan::kDtBfdSession, outbox_.data(),
                                                     vxlan::kBfdSessionValueSize, count)) {
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* v = outbox_.data() + i * vxlan::kBfdSessionValueSize;
            const bool remove = LoadBe16(v + vxlan::kBfdSessionOp) != vxlan::kBfdSessionAdd;
            DpKey k;
            std::copy_n(v + vxlan::kBfdSessionEntry, k.entry.size(), k.entry.begin());
            k.vni = LoadBe32(k.entry.data() + vxlan::kBfdVni);
            CFG_DEBUG(
                "%1: BFD session of VNI %2 not sent (op %3); it is sent again at the next full "
                "sync",
                kName, k.vni, remove ? 1 : 0);
            auto it = remove ? dpSessions_.end() : dpSessions_.find(k);
            if (it != dpSessions_.end() && it->second.sent) {
                it->second.sent = false;
                ++refused_;
            }
        }
    }
    outbox_.clear();
}

void BFDTableApp::OnVniJoin(uint32_t vni, uint32_t switchId, bool joined) {
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_)
        return;
    CFG_INFO("%1: BFD handle the VNI join message", kName);
    Pass pass(*this);
    CFG_DEBUG("%1: VNI %2 %3 on switch %4", kName, vni, joined ? "joined" : "left", switchId);
    auto it = dpSessions_.lower_bound(DpKey{vni, {}});
    for (; it != dpSessions_.end() && it->first.vni == vni; ++it) {
        if (!joined)
            it->second.sent = false;  // the dataplane dropped them with the VNI
        else if (!it->second.sent)
            SendSession(it->first, it->second, false);
    }
}

void BFDTableApp::SyncToDataplane() {
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_)
        return;
    CFG_INFO("%1: Sync BFD sessions to dataplane", kName);
    size_t sent = 0;
    {
        Pass pass(*this);
        refused_ = 0;
        for (auto& [key, s] : dpSessions_) {
            if (!s.sent && SendSession(key, s, false))
                ++sent;
        }
    }
    sent -= std::min(sent, refused_);
    CFG_INFO("%1: %2 BFD sessions sent, %3 in the dataplane", kName, sent, SentSessionCount());
    SendConfigurations();
}

// ---- configurations ----

void BFDTableApp::PushTransportNode(const std::string& body) {
    pb::TransportNodeConfigMsg tn;
    if (!tn.ParseFromString(body)) {
        CFG_ERROR_CODE("LCP00019", "%1: unreadable transport node body (%2 bytes) dropped", kName,
                       body.size());
        return;
    }
    for (const pb::TransportSwitchMsg& sw : tn.transport_switches()) {
        if (!sw.has_bfd())
            continue;
        if (sw.transport_zone_ids().empty()) {
            CFG_INFO("BFDPB2TLV, Exit, empty transport zone, skipping");
            continue;
        }
        const std::string tz = sw.transport_zone_ids(0).SerializeAsString();
        std::string hostSwitch;
        if (options_.configTable == nullptr ||
            !options_.configTable->GetHostSwitchOfTransportZone(tz, &hostSwitch, nullptr)) {
            CFG_INFO("BFDPB2TLV, Exit, transport zone %1 not found in cache, skipping", IdText(tz));
            continue;
        }
        const std::string dvs = IdText(hostSwitch);
        const bfd::ConfigFields f = FieldsOf(sw.bfd());
        std::vector<uint8_t> value = bfd::BuildBfdConfigValue(dvs, f);
        CFG_INFO(
            "BFDPB2TLV, Exit, sending dvsUUID: %1, flags: %2, enabled: %3, "
            "vtep_health_interval: %4, latency_enable: %5",
            dvs, static_cast<int>(value[vxlan::kBfdCfgFlags]), f.enable, f.interval, f.latency);
        options_.l2App->SendConfigureItem(vxlan::kCfgBfd, value);
        bfdConfigs_[dvs] = std::move(value);
    }
}

void BFDTableApp::PushEvpn(const std::string& body) {
    pb::BfdGlobalConfigMsg g;
    if (!g.ParseFromString(body)) {
        CFG_ERROR_CODE("LCP00019", "%1: unreadable BFD global configuration (%2 bytes) dropped",
                       kName, body.size());
        return;
    }
    const bfd::ConfigFields f = FieldsOf(g.config());
    std::vector<uint8_t> value = bfd::BuildEvpnBfdValue(f);
    CFG_INFO(
        "BFDPB2TLV for EVPN BFD conifg, sending flags: %1, enabled: %2, "
        "vtep_health_interval: %3, multiple: %4",
        static_cast<int>(value[vxlan::kEvpnBfdFlags]), f.enable, f.interval, f.multiplier);
    options_.l2App->SendConfigureItem(vxlan::kCfgEvpnGlobalBfd, value);
    evpnBfd_ = std::move(value);
}

void BFDTableApp::SendConfigurations() {
    for (const auto& [dvs, value] : bfdConfigs_)
        options_.l2App->SendConfigureItem(vxlan::kCfgBfd, value);
    if (evpnBfd_)
        options_.l2App->SendConfigureItem(vxlan::kCfgEvpnGlobalBfd, *evpnBfd_);
}

// ---- state ----

std::string BFDTableApp::TableJson() const {
    AgentLockGuard lock(GlobalAgentLock());
    nlohmann::json entries = nlohmann::json::array();
    for (const auto& [key, refs] : table_.Entries()) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& [ref, vni] : refs) {
            list.push_back({{"remote_id", ref.RemoteText()},
                            {"remote_id_type", BfdIdTypeName(ref.remoteType)},
                            {"local_id", IdText(ref.localId)},
                            {"vni", vni}});
        }
        entries.push_back({{"local_ip", key.local.Text()},
                           {"remote_ip", key.remote.Text()},
                           {"local_label", key.localLabel},
                           {"remote_label", key.remoteLabel},
                           {"tn_vg_label", key.tnVgLabel},
                           {"session_type", BfdSessionTypeName(key.type)},
                           {"references", std::move(list)}});
    }
    nlohmann::json configs = nlohmann::json::array();
    for (const auto& [dvs, value] : bfdConfigs_)
        configs.push_back(dvs);
    return nlohmann::json{{"entries", std::move(entries)},
                          {"entry_count", table_.EntryCount()},
                          {"reference_count", table_.ReferenceCount()},
                          {"dataplane_sessions", dpSessions_.size()},
                          {"sent_sessions", SentSessionCount()},
                          {"bfd_configs", std::move(configs)},
                          {"evpn_bfd", evpnBfd_.has_value()}}
        .dump();
}

size_t BFDTableApp::EntryCount() const {
    AgentLockGuard lock(GlobalAgentLock());
    return table_.EntryCount();
}

size_t BFDTableApp::ReferenceCount() const {
    AgentLockGuard lock(GlobalAgentLock());
    return table_.ReferenceCount();
}

size_t BFDTableApp::DataplaneSessionCount() const {
    AgentLockGuard lock(GlobalAgentLock());
    return dpSessions_.size();
}

size_t BFDTableApp::SentSessionCount() const {
    AgentLockGuard lock(GlobalAgentLock());
    size_t n = 0;
    for (const auto& [key, s] : dpSessions_)
        n += s.sent ? 1 : 0;
    return n;
}

}  // namespace CfgAgent
