// CIFConfig: what the container-interface bus (ConduitService) is told, and what it gives back.
//
// - Each VIF attached to a logical port (not a CIF's) is attached (type 1); each VIF the dataplane
//   reports connected is connected (type 32) on the host switch it reports; a VIF is a bus parent
//   (type 64) while its CONDUIT_CHANNEL_VIF_CONFIG says enabled or a logical port of it has the
//   extra config "com.orvane.port.extraConfig.parentVif.conduit" = "true".
// - A container-bus kernel NIC (a krnnic VIF named "conduitKrnnic...") brings its host switch's
//   pool once its address is known: asked of the virtual switch when the NIC connects and, while
//   that fails (LCP00515), again every poll interval until it answers.
// - Each LIP the bus assigns gets the VIF's container-bus port "ct-<VIF>" in the dataplane (a
//   port record without properties: the LIP itself is the bus's); a released LIP deletes it. The
//   bus tells of LIPs on the thread of the change that caused them; the notices are posted to
//   ConfigApp's context and handled there under the global agent lock, never under the bus's own
//   lock.
#include <cstring>

#include <nlohmann/json.hpp>

#include "apps/switching/CIFConfig.h"
#include "conduit/ConduitService.h"
#include "dataplane/IKCPMsgConvertor.h"
#include "dataplane/KCPMsgConvertor.h"
#include "dataplane/KcpBuilders.h"
#include "dataplane/KcpProtocol.h"
#include "platform/WorkflowUtil.h"
#include "platform/device/KrnnicAddressQuery.h"
#include "proto/cairndb_conduit.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/AgentLock.h"
#include "runtime/AsyncTimer.h"
#include "runtime/Logger.h"
#include "statecache/IStateCacheConfigTable.h"
#include "statecache/IdText.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;
using ozy::Conduit::LipText;

namespace {

constexpr const char* kConduitKrnnicPrefix = "conduitKrnnic";
constexpr const char* kConduitPortPrefix = "ct-";
constexpr const char* kParentVifKey = "com.orvane.port.extraConfig.parentVif.conduit";

uint32_t Ipv4Of(const pb::IpAddressMsg& ip) {
    return ip.has_ipv4() ? ip.ipv4() : 0;
}

}  // namespace

// The counted target of the poll timer and of the posted LIP notices: it outlives CIFConfig and
// forgets it when CIFConfig goes, so that late callbacks do nothing.
class CifConduitTarget : public ozy::RefCounted<CifConduitTarget> {
  public:
    explicit CifConduitTarget(CIFConfig* owner) : owner_(owner) {}
    // Callers hold the global agent lock.
    void Detach() { owner_ = nullptr; }
    void OnPoll() {
        AgentLockGuard lock(GlobalAgentLock());
        if (owner_ != nullptr)
            owner_->OnKrnnicPoll();
    }
    void OnLip(const std::string& vif, uint32_t lip, int assigned) {
        AgentLockGuard lock(GlobalAgentLock());
        if (owner_ != nullptr)
            owner_->OnLip(vif, lip, assigned);
    }

  private:
    CIFConfig* owner_;
};

// Here, where the target is complete (its counted pointer is a member).
CIFConfig::CIFConfig(IConfigApp* sender, IStateCacheConfigTable* table,
                     IDVSPropConvertor* convertor)
    : table_(table), convertor_(convertor), kcp_(new KCPMsgConvertor(sender)) {
    CFG_INFO("CIFConfig constructor");
}

CIFConfig::~CIFConfig() {
    DetachConduit();
    CFG_INFO("CIFConfig destructor");
}

void CIFConfig::AttachConduit(const ConduitOptions& options) {
    conduit_ = options.service;
    krnnicQuery_ = options.query;
    pollInterval_ = options.pollInterval;
    if (conduit_ == nullptr || options.io == nullptr)
        return;
    conduitTarget_ = ozy::RefPtr<CifConduitTarget>(new CifConduitTarget(this));
    pollTimer_ = std::make_shared<AsyncTimer<CifConduitTarget>>(
        *options.io, &CifConduitTarget::OnPoll, conduitTarget_.get());
    ozy::RefPtr<CifConduitTarget> target = conduitTarget_;
    boost::asio::io_context* io = options.io;
    lipListener_ = conduit_->Manager().RegisterListener([target, io](const std::string& vif,
                                                                     uint32_t lip, int assigned) {
        boost::asio::post(*io, [target, vif, lip, assigned] { target->OnLip(vif, lip, assigned); });
    });
}

void CIFConfig::DetachConduit() {
    if (conduit_ != nullptr && lipListener_ != 0)
        conduit_->Manager().UnregisterListener(lipListener_);
    lipListener_ = 0;
    if (pollTimer_)
        pollTimer_->stop();
    pollTimer_.reset();
    if (conduitTarget_)
        conduitTarget_->Detach();
}

// ---- desired state ------------------------------------------------------------------------

void CIFConfig::UpdateDesiredState(const CairnDBUpdateList& objects, bool fullSync) {
    ozy::wft::Span span("CIFConfig.UpdateDesiredState");
    // The CIFs' span coverage: spans first, so that a container they name counts at once.
    bool spans = spans_.UpdateSpans(objects, fullSync);
    bool containers = spans_.UpdateContainers(objects, fullSync);
    if (spans || containers) {
        CoverAll();
        Flush();
    }
    if (conduit_ == nullptr)
        return;
    UpdateChannel(objects, fullSync);
    UpdateConduitObjects(objects, fullSync);
}

void CIFConfig::UpdateChannel(const CairnDBUpdateList& nodes, bool fullSync) {
    bool seen = false;
    if (fullSync)
        nodeTypes_.clear();
    for (const CairnDBUpdateMsg& o : nodes) {
        if (o.objType != ObjectType::TRANSPORT_NODE_CONFIG ||
            o.property != PropertyType::INVALID_PROPERTY)
            continue;
        seen = true;
        if (o.op == Operation::OPERATION_DELETE) {
            nodeTypes_.erase(o.id);
            continue;
        }
        pb::TransportNodeConfigMsg m;
        if (!m.ParseFromString(o.data)) {
            CFG_ERROR_CODE("LCP00514", "CIFConfig: transport node [%1] does not parse, ignored",
                           IdText(o.id));
            continue;
        }
        nodeTypes_[o.id] = m.type();
    }
    if (!seen && !fullSync)
        return;
    // One transport node per node; should several be listed, the first by id counts.
    Channel next = Channel::kNone;
    if (nodeTypes_.empty()) {
        if (channel_ != Channel::kNone)
            CFG_INFO("Clear Conduit channel type");
    } else if (nodeTypes_.begin()->second == kHostNodeType) {
        CFG_INFO("Set Conduit channel for TN node type %1", nodeTypes_.begin()->second);
        next = Channel::kKrnnic;
    } else {
        CFG_WARN("Conduit channel doesn't support transport node type %1",
                 nodeTypes_.begin()->second);
    }
    if (next == channel_)
        return;
    channel_ = next;
    // The kernel NICs' pools come with the channel and go with it.
    std::vector<std::string> names;
    for (auto& [name, k] : krnnics_) {
        names.push_back(name);
        if (next == Channel::kNone && !k.waiting) {
            k.waiting = true;
            conduit_->KrnnicDown(name);
        }
    }
    if (next == Channel::kKrnnic) {
        for (const std::string& name : names)
            QueryKrnnic(name);
    }
}

void CIFConfig::UpdateConduitObjects(const CairnDBUpdateList& objects, bool fullSync) {
    std::set<std::string> vifs;
    if (fullSync) {
        for (const auto& [vif, enabled] : channelParent_) {
            (void)enabled;
            vifs.insert(vif);
        }
        channelParent_.clear();
        channelVifById_.clear();
    }
    for (const CairnDBUpdateMsg& o : objects) {
        const bool gone = o.op == Operation::OPERATION_DELETE;
        if (o.objType == ObjectType::CONDUIT_CHANNEL_GLOBAL_CONFIG) {
            pb::ConduitChannelGlobalConfigMsg m;
            if (gone) {
                conduit_->SetGlobalConfig(std::nullopt);
                continue;
            }
            if (!m.ParseFromString(o.data)) {
                CFG_ERROR_CODE("LCP00514", "CIFConfig: conduit global config does not parse");
                continue;
            }
            ozy::Conduit::GlobalSettings g;
            g.enabled = m.enabled();
            g.cip = Ipv4Of(m.cip());
            g.vip = Ipv4Of(m.vip());
            g.vlanTag = m.vlan_tag();
            g.txLimit = m.tx_limit();
            conduit_->SetGlobalConfig(g);
        } else if (o.objType == ObjectType::CONDUIT_CHANNEL_VIF_CONFIG) {
            auto old = channelVifById_.find(o.id);
            if (old != channelVifById_.end()) {
                vifs.insert(old->second);
                channelParent_.erase(old->second);
                channelVifById_.erase(old);
            }
            if (gone)
                continue;
            pb::ConduitChannelVifConfigMsg m;
            if (!m.ParseFromString(o.data) || m.vif_id().empty()) {
                CFG_ERROR_CODE("LCP00514",
                               "CIFConfig: conduit VIF config [%1] without a VIF, ignored",
                               IdText(o.id));
                continue;
            }
            channelVifById_[o.id] = m.vif_id();
            channelParent_[m.vif_id()] = m.enabled();
            vifs.insert(m.vif_id());
        }
    }
    for (const std::string& vif : vifs)
        UpdateParentFlag(vif);
}

void CIFConfig::UpdateBusPort(const std::string& lspId, const pb::LogSwitchPortConfigMsg* m) {
    if (conduit_ == nullptr)
        return;
    std::string vifId;
    std::string switchId;
    bool overlay = false;
    bool parent = false;
    if (m != nullptr && m->has_attachment() && !m->attachment().has_parent_vif_id() &&
        !m->attachment().vif_id().empty()) {
        // The bus serves VIFs on overlay switches only.
        switchId = m->has_switch_id() ? m->switch_id().SerializeAsString() : std::string();
        overlay = IsOverlaySwitch(switchId);
        if (overlay) {
            vifId = m->attachment().vif_id();
        } else {
            CFG_ERROR_CODE("LCP00514", "VIF %1 switch id %2 is not overlay switch!",
                           m->attachment().vif_id(), IdText(switchId));
        }
    }
    if (m != nullptr) {
        for (const pb::KeyValueMsg& kv : m->extra_configs()) {
            if (kv.key() != kParentVifKey)
                continue;
            CFG_INFO("Conduit: Process extra config %1 (update: %2)", kv.key(), kv.value());
            if (kv.value() == "true") {
                parent = true;
            } else if (kv.value() != "false") {
                CFG_WARN(
                    "Conduit: extra config %1 of port [%2] is \"%3\", not true or false; "
                    "ignored",
                    kv.key(), IdText(lspId), kv.value());
            }
        }
    }
    std::string beforeVif;
    auto it = busPorts_.find(dvs::PackedId(lspId));
    if (it != busPorts_.end()) {
        UnindexBusPort(*it);
        beforeVif = it->second.vifId.str();
        if (switchId.empty()) {
            busPorts_.erase(it);
            if (busPorts_.empty())
                busPorts_ = decltype(busPorts_)();  // its bucket array goes too
            it = busPorts_.end();
        }
    }
    if (!switchId.empty()) {
        if (it == busPorts_.end())
            it = busPorts_.emplace(dvs::PackedId(lspId), BusPort()).first;
        auto sw = busSwitches_.try_emplace(switchId).first;
        sw->second.overlay = overlay;
        ++sw->second.ports;
        BusPort& port = it->second;
        port.switchId = &sw->first;
        port.vifId = vifId;
        port.parent = parent;
        if (!port.vifId.empty())
            attachedBy_.emplace(&port.vifId, &*it);
    }
    if (!beforeVif.empty() && beforeVif != vifId) {
        if (attachedBy_.count(dvs::PackedId(beforeVif)) == 0)
            conduit_->SetVif(ozy::Conduit::kUpdateLspVifAttachment, beforeVif, "", false);
        UpdateParentFlag(beforeVif);
    }
    if (!vifId.empty()) {
        conduit_->SetVif(ozy::Conduit::kUpdateLspVifAttachment, vifId, "", true);
        UpdateParentFlag(vifId);
    }
}

void CIFConfig::UnindexBusPort(BusPortEntry& entry) {
    BusPort& port = entry.second;
    if (!port.vifId.empty()) {
        auto [v, end] = attachedBy_.equal_range(port.vifId);
        for (; v != end; ++v) {
            if (v->second == &entry) {
                attachedBy_.erase(v);
                break;
            }
        }
    }
    if (port.switchId != nullptr) {
        auto sw = busSwitches_.find(*port.switchId);
        if (sw != busSwitches_.end() && --sw->second.ports == 0)
            busSwitches_.erase(sw);
        port.switchId = nullptr;
    }
}

bool CIFConfig::IsOverlaySwitch(const std::string& switchId) const {
    std::string body;
    pb::LogSwitchConfigMsg ls;
    return !switchId.empty() && table_ != nullptr &&
           table_->GetProperty(ConfigStore::kDesired, ObjectType::LOG_SWITCH_CONFIG, switchId,
                               PropertyType::LS_VNI, &body) &&
           ls.ParseFromString(body) && ls.vni() != 0;
}

void CIFConfig::BusPortsOfChangedSwitches(const CairnDBUpdateList& updates,
                                          std::set<std::string>* lsps) {
    if (conduit_ == nullptr)
        return;
    std::set<const std::string*> changed;
    for (const CairnDBUpdateMsg& u : updates) {
        if (u.objType != ObjectType::LOG_SWITCH_CONFIG)
            continue;
        auto sw = busSwitches_.find(u.id);
        if (sw == busSwitches_.end())
            continue;
        bool overlay = IsOverlaySwitch(u.id);
        if (overlay == sw->second.overlay)
            continue;
        sw->second.overlay = overlay;
        changed.insert(&sw->first);
    }
    if (changed.empty())
        return;
    for (const auto& [lspId, port] : busPorts_) {
        if (changed.count(port.switchId) != 0)
            lsps->insert(lspId.str());
    }
}

void CIFConfig::UpdateParentFlag(const std::string& vifId) {
    bool on = false;
    auto channel = channelParent_.find(vifId);
    if (channel != channelParent_.end())
        on = channel->second;
    auto [lsp, end] = attachedBy_.equal_range(dvs::PackedId(vifId));
    for (; !on && lsp != end; ++lsp)
        on = lsp->second->second.parent;
    conduit_->SetVif(ozy::Conduit::kUpdateConduitParentVif, vifId, "", on);
}

// ---- VIF state and the kernel NIC ---------------------------------------------------------

void CIFConfig::UpdateBusVif(const DvsVifInfo& vif) {
    if (conduit_ == nullptr)
        return;
    const bool up = vif.connected && !vif.deleted;
    if (vif.vifId.rfind(kConduitKrnnicPrefix, 0) == 0) {
        if (!up) {
            krnnics_.erase(vif.vifId);
            conduit_->KrnnicDown(vif.vifId);
            return;
        }
        krnnics_[vif.vifId] = KrnnicWait{vif.switchId, true};
        if (channel_ != Channel::kKrnnic) {
            CFG_INFO("Conduit krnnic %1 on host switch %2 waits for a container-bus channel",
                     vif.vifId, vif.switchId);
            return;
        }
        QueryKrnnic(vif.vifId);
        return;
    }
    conduit_->SetVif(ozy::Conduit::kUpdateVifState, vif.vifId, vif.switchId, up);
}

bool CIFConfig::QueryKrnnic(const std::string& name) {
    auto it = krnnics_.find(name);
    if (it == krnnics_.end() || channel_ != Channel::kKrnnic)
        return true;
    ozy::device::KrnnicAddr addr;
    int rc = krnnicQuery_ != nullptr ? krnnicQuery_->GetKrnnicAddr(name, &addr) : ENODEV;
    if (rc == 0 && (addr.ip == 0 || addr.mask == 0)) {
        CFG_ERROR_CODE("LCP00515", "Invalid krnnic IP address %1:%2", name,
                       LipText(addr.ip) + "/" + LipText(addr.mask));
        rc = EINVAL;
    } else if (rc != 0) {
        CFG_ERROR_CODE("LCP00515", "Failed to get krnnic %1 IP address (%2)", name,
                       std::strerror(rc));
    }
    if (rc != 0) {
        it->second.waiting = true;
        if (pollTimer_ && !pollArmed_) {
            pollArmed_ = true;
            pollTimer_->start(static_cast<uint64_t>(pollInterval_.count()) * 1000u);
        }
        return false;
    }
    it->second.waiting = false;
    CFG_INFO("Conduit krnnic %1 on host switch %2 has IP %3 mask %4", name, it->second.switchId,
             LipText(addr.ip), LipText(addr.mask));
    conduit_->KrnnicUp(name, it->second.switchId, addr.ip, addr.mask);
    return true;
}

void CIFConfig::OnKrnnicPoll() {
    pollArmed_ = false;
    if (stopped_ || channel_ != Channel::kKrnnic)
        return;
    CFG_INFO("GetConduitKrnnicIP timer triggered");
    std::vector<std::string> waiting;
    for (const auto& [name, k] : krnnics_) {
        if (k.waiting)
            waiting.push_back(name);
    }
    for (const std::string& name : waiting)
        QueryKrnnic(name);
}

// ---- LIPs and the container-bus ports -----------------------------------------------------

void CIFConfig::OnLip(const std::string& vif, uint32_t lip, int assigned) {
    if (stopped_)
        return;
    const std::string portId = kConduitPortPrefix + vif;
    if (assigned != 0) {
        CFG_INFO("Add conduit VIF %1, LIP %2, portID %3 by VIF attachment", vif, LipText(lip),
                 portId);
        conduitPorts_[portId] = lip;
    } else {
        CFG_INFO("Delete conduit VIF %1, portID %2 by LSP detachment", vif, portId);
        conduitPorts_.erase(portId);
    }
    if (CanSend())
        SendConduitPort(portId);
}

bool CIFConfig::SendConduitPort(const std::string& portId) {
    if (!kcp::CheckIdField(portId, kcp::kIdSize, "port ID"))
        return false;
    const uint8_t op = conduitPorts_.count(portId) != 0 ? kcp::kOpFullSync : kcp::kOpDelete;
    if (kcp_->SendPortPropertyUpdate(op, {kcp::PropertyRecordSpec{portId, {}}}))
        return true;
    CFG_ERROR_CODE("LCP00502", "Failed to send conduit port %1", portId);
    return false;
}

std::string CIFConfig::DumpConduitKrnnics(const std::string& programmed) const {
    nlohmann::json engine = nlohmann::json::parse(programmed, nullptr, false);
    std::map<std::string, nlohmann::json> byName;
    if (engine.is_array()) {
        for (const nlohmann::json& e : engine) {
            if (e.is_object() && e.contains("krnnic") && e["krnnic"].is_string())
                byName[e["krnnic"].get<std::string>()] = e;
        }
    }
    for (const auto& [name, k] : krnnics_) {
        nlohmann::json& e = byName[name];
        e["krnnic"] = name;
        e["host_switch"] = k.switchId;
        e["address_known"] = !k.waiting;
        e["channel"] = channel_ == Channel::kKrnnic ? "krnnic" : "none";
    }
    if (conduit_ != nullptr) {
        std::map<std::string, ozy::Conduit::IPManager::PoolInfo> pools;
        for (auto& p : conduit_->Manager().Pools())
            pools[p.krnnicName] = std::move(p);
        for (auto& [name, e] : byName) {
            auto p = pools.find(name);
            if (p == pools.end())
                continue;
            const auto& pool = p->second;
            e["ip"] = LipText(pool.krnnicIp);
            e["mask"] = LipText(pool.krnnicMask);
            e["pool"] = LipText(pool.first) + "-" + LipText(pool.last);
            e["used"] = pool.used;
            e["pending"] = pool.pending;
            nlohmann::json lips = nlohmann::json::object();
            for (const auto& [vif, lip] : pool.lips)
                lips[vif] = LipText(lip);
            e["lips"] = lips;
        }
    }
    nlohmann::json out = nlohmann::json::array();
    for (auto& [name, e] : byName) {
        (void)name;
        out.push_back(std::move(e));
    }
    return out.dump(2);
}

}  // namespace CfgAgent
