// DVSPropConvertor: construction, the handler map, dispatch of property and entity records,
// reconciliation with the configuration table, and the indexes between logical ports and
// dataplane ports. The handlers live in the other DVSPropConvertor*.cc files by concern.
#include "apps/switching/DVSPropConvertor.h"

#include "apps/switching/DVSPropConvertorEncode.h"
#include "apps/switching/DVSPropConvertorFactory.h"
#include "apps/switching/DVSPropConvertorInternal.h"
#include "apps/switching/DVSPropConvertorTimers.h"
#include "dataplane/KCPMsgConvertor.h"
#include "dataplane/KcpProtocol.h"
#include "runtime/AsyncTimer.h"
#include "runtime/IoContexts.h"
#include "statecache/IStateCacheConfigTable.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"

namespace CfgAgent {

using namespace dvs;

DVSPropConvertor::DVSPropConvertor(IConfigApp* sender, IStateCacheConfigTable* cache,
                                   DVSPropConvertorOptions options)
    : sender_(sender),
      cache_(cache),
      options_(options),
      kcp_(new KCPMsgConvertor(sender)),
      timerTarget_(new DvsTimerTarget(this)) {
    BuildHandlerMap();
    boost::asio::io_context& io = options_.io != nullptr ? *options_.io : IoContext();
    resyncTimer_ = std::make_shared<AsyncTimer<DvsTimerTarget>>(io, &DvsTimerTarget::OnResync,
                                                                timerTarget_.get());
    hopoverTimer_ = std::make_shared<AsyncTimer<DvsTimerTarget>>(io, &DvsTimerTarget::OnHopover,
                                                                 timerTarget_.get());
}

DVSPropConvertor::~DVSPropConvertor() {
    resyncTimer_->stop();
    hopoverTimer_->stop();
    timerTarget_->Detach();
}

void DVSPropConvertor::BuildHandlerMap() {
    using P = PropertyType;
    _cfgUpdateHandlerMap = {
        {P::LS_VNI, &DVSPropConvertor::HandleLSVniUpdate},
        {P::LS_VLAN, &DVSPropConvertor::HandleLSVlanUpdate},
        {P::LS_VLAN_TRUNK, &DVSPropConvertor::HandleLSVlanTrunkUpdate},
        {P::LS_REPLICATION_MODE, &DVSPropConvertor::HandleLSReplicationModeUpdate},
        {P::LS_ADMIN_STATE_UP, &DVSPropConvertor::HandleLSAdminStateUpdate},
        {P::LS_TYPE, &DVSPropConvertor::HandleLSTypeUpdate},
        {P::LS_SP_SUBTYPE, &DVSPropConvertor::HandleLSTypeUpdate},
        {P::LS_MAC_MANAGEMENT, &DVSPropConvertor::HandleMacManagementUpdate},
        {P::LS_EXTRA_CONFIGS, &DVSPropConvertor::HandleExtraConfigsUpdate},
        {P::LS_ATTACHMENT, &DVSPropConvertor::HandleLSAttachmentUpdate},
        {P::LSP_SWITCH_ID, &DVSPropConvertor::HandleLSPSwitchIdUpdate},
        {P::LSP_ATTACHMENT, &DVSPropConvertor::HandleLSPAttachmentUpdate},
        {P::LSP_IP_DISCOVERY, &DVSPropConvertor::HandleLSPIpDiscoveryUpdate},
        {P::LSP_IGNORE_BINDINGS, &DVSPropConvertor::HandleLSPIpDiscoveryUpdate},
        {P::LSP_ADDRESS_BINDINGS, &DVSPropConvertor::HandleLSPIpDiscoveryUpdate},
        {P::LSP_SWITCH_SECURITY, &DVSPropConvertor::HandleLSPSwitchSecurityUpdate},
        {P::LSP_QOS, &DVSPropConvertor::HandleLSPQosUpdate},
        {P::LSP_ADMIN_STATE_UP, &DVSPropConvertor::HandleLSPAdminStateUpdate},
        {P::LSP_MAC_MANAGEMENT, &DVSPropConvertor::HandleMacManagementUpdate},
        {P::LSP_EXTRA_CONFIGS, &DVSPropConvertor::HandleExtraConfigsUpdate},
        {P::LSP_IS_HYV_KRN, &DVSPropConvertor::HandleLSPIsHyvKrnUpdate},
        {P::LSP_REALTIME_LATENCY, &DVSPropConvertor::HandleLSPLatencyUpdate},
        {P::LSP_MIRROR_TARGETS, &DVSPropConvertor::HandleLSPMirrorTargetsUpdate},
        {P::PMS_LOGICAL_PORT_MIRROR_SESSION, &DVSPropConvertor::HandleMirrorSessionUpdate},
        {P::PMS_UPLINK_PORT_MIRROR_SESSION, &DVSPropConvertor::HandleMirrorSessionUpdate},
        {P::PMS_RSPAN_SRC_MIRROR_SESSION, &DVSPropConvertor::HandleMirrorSessionUpdate},
        {P::PMS_RSPAN_DST_MIRROR_SESSION, &DVSPropConvertor::HandleMirrorSessionUpdate},
        {P::PMS_L3SPAN_MIRROR_SESSION, &DVSPropConvertor::HandleMirrorSessionUpdate},
        {P::TN_TRANSPORT_SWITCHES, &DVSPropConvertor::HandleTNTransportSwitchesUpdate},
        {P::TN_LABEL, &DVSPropConvertor::HandleTNLabelUpdate},
    };
}

void DVSPropConvertor::Init(const boost::property_tree::ptree& config) {
    CFG_INFO("DVSPropConvertor start");
    stopped_ = false;
    ApplyFlowCacheSettings(config);
    ApplyVswitchSettings(config);
}

void DVSPropConvertor::Stop() {
    CFG_INFO("DVSPropConvertor stop");
    stopped_ = true;
    resyncTimer_->cancel();
    hopoverTimer_->cancel();
    resyncArmed_ = false;
    hopoverArmed_ = false;
}

// ---- property and entity records ------------------------------------------------------------

void DVSPropConvertor::ProcessConfigPropertyUpdate(ObjectType type, const std::string& id,
                                                   Operation op, PropertyType property,
                                                   const std::string& value) {
    if (op != Operation::OPERATION_UPDATE && op != Operation::OPERATION_DELETE) {
        CFG_ERROR_CODE("LCP00512", "Unsupported operation input");
        return;
    }
    if (property == PropertyType::INVALID_PROPERTY) {
        HandleWholeObject(type, id, op, &value);
        return;
    }
    auto handler = _cfgUpdateHandlerMap.find(property);
    if (handler == _cfgUpdateHandlerMap.end()) {
        // Properties of the observed objects that the dataplane does not take (transport zone,
        // tenant context, certificates, ...) come with every object: not worth more than debug.
        CFG_DEBUG("DvsPropConvertor received unknown update message property type: %1",
                  PropertyTypeToString(property));
        return;
    }
    if (op == Operation::OPERATION_UPDATE) {
        if (applied_.Matches(type, id, property, value)) {
            CFG_DEBUG("DvsPropConvertor: %1 of [%2] unchanged", PropertyTypeToString(property),
                      IdText(id));
            return;
        }
    } else if (!applied_.Has(type, id, property)) {
        return;  // nothing was applied, nothing to remove
    }
    PropertyUpdate u{type, id, op, property, value};
    (this->*(handler->second))(u);
    if (op == Operation::OPERATION_UPDATE) {
        applied_.Set(type, id, property, value);
    } else {
        applied_.Erase(type, id, property);
    }
}

void DVSPropConvertor::ProcessConfigEntityUpdate(ObjectType type, const std::string& id,
                                                 Operation op) {
    if (op != Operation::OPERATION_UPDATE && op != Operation::OPERATION_DELETE) {
        CFG_ERROR_CODE("LCP00512", "Unsupported operation input");
        return;
    }
    HandleWholeObject(type, id, op, nullptr);
}

void DVSPropConvertor::HandleWholeObject(ObjectType type, const std::string& id, Operation op,
                                         const std::string* body) {
    switch (type) {
        case ObjectType::LOG_SWITCH_CONFIG:
        case ObjectType::LOG_SWITCH_PORT_CONFIG:
        case ObjectType::TRANSPORT_NODE_CONFIG:
        case ObjectType::PORT_MIRROR_SESSION:
        case ObjectType::BRIDGE_CLUSTER_CONFIG:
            break;
        default:
            CFG_ERROR_CODE("LCP00513", "Unsupported entity type : %1.",
                           static_cast<uint32_t>(type));
            return;
    }
    if (op == Operation::OPERATION_UPDATE) {
        if (type == ObjectType::LOG_SWITCH_PORT_CONFIG) {
            std::string cached;
            if (body == nullptr && cache_ != nullptr &&
                cache_->GetProperty(ConfigStore::kDesired, type, id, PropertyType::INVALID_PROPERTY,
                                    &cached)) {
                body = &cached;
            }
            if (body != nullptr)
                ApplyLatency(id, *body);
            return;
        }
        CFG_DEBUG("Ignore entity [%1] update, type: %2", IdText(id), ObjTypeToString(type));
        return;
    }
    if (type == ObjectType::BRIDGE_CLUSTER_CONFIG) {
        CFG_DEBUG("Ignore entity [%1] delete operation", IdText(id));
        return;
    }
    // A delete without a value is either the removal of the whole object or, for records of one
    // property, the removal of that property: the configuration table tells which, once the whole
    // batch is in (RunReconciles).
    std::string whole;
    bool exists = cache_ != nullptr && cache_->GetProperty(ConfigStore::kDesired, type, id,
                                                           PropertyType::INVALID_PROPERTY, &whole);
    if (!exists && type == ObjectType::LOG_SWITCH_CONFIG) {
        CFG_INFO("Delete logical switch [%1]", IdText(id));
    } else if (!exists && type == ObjectType::LOG_SWITCH_PORT_CONFIG) {
        CFG_INFO("Delete logical port [%1]", IdText(id));
    }
    pendingReconcile_.insert({type, id});
}

void DVSPropConvertor::RunReconciles() {
    while (!pendingReconcile_.empty()) {
        auto next = *pendingReconcile_.begin();
        pendingReconcile_.erase(pendingReconcile_.begin());
        Reconcile(next.first, next.second);
    }
}

void DVSPropConvertor::Reconcile(ObjectType type, const std::string& id) {
    std::map<PropertyType, std::string> now;
    CairnDBUpdateList cached;
    bool exists =
        cache_ != nullptr && cache_->GetObjectProperties(ConfigStore::kDesired, type, id, &cached);
    for (const CairnDBUpdateMsg& r : cached) {
        if (r.objType == type && _cfgUpdateHandlerMap.count(r.property) != 0)
            now[r.property] = r.data;
    }
    // The handled properties before any of them is handled again.
    std::vector<PropertyType> before = applied_.PropertiesOf(type, id);
    for (const auto& [property, value] : now) {
        if (!applied_.Matches(type, id, property, value)) {
            ProcessConfigPropertyUpdate(type, id, Operation::OPERATION_UPDATE, property, value);
        }
    }
    for (PropertyType property : before) {
        if (now.count(property) == 0) {
            ProcessConfigPropertyUpdate(type, id, Operation::OPERATION_DELETE, property,
                                        std::string());
        }
    }
    if (exists) {
        return;
    }
    applied_.EraseObject(type, id);
    if (type == ObjectType::LOG_SWITCH_CONFIG) {
        DeleteLogicalSwitch(id);
    } else if (type == ObjectType::LOG_SWITCH_PORT_CONFIG) {
        DeleteLogicalPort(id);
    } else if (type == ObjectType::PORT_MIRROR_SESSION) {
        if (mirrors_.erase(id) != 0) {
            MarkAllPortsDirty();
            UplinksChanged();
        }
    }
}

void DVSPropConvertor::ReconcileAll() {
    if (cache_ == nullptr) {
        return;
    }
    applied_.ForEachObject(
        [this](const dvs::AppliedValues::Key& key) { pendingReconcile_.insert(key); });
    for (const auto& entry : switches_)
        pendingReconcile_.insert({ObjectType::LOG_SWITCH_CONFIG, entry.first});
    for (const auto& entry : lsps_)
        pendingReconcile_.insert({ObjectType::LOG_SWITCH_PORT_CONFIG, entry.first.str()});
    RunReconciles();
}

void DVSPropConvertor::SendPortUnblockUpdate(const std::set<std::string>& portIds,
                                             const std::set<std::string>& switchIds) {
    RunReconciles();
    for (const std::string& lspId : portIds) {
        if (!IsUuidId(lspId)) {
            CFG_WARN("Port [%1] ID is not a valid logical switch port UUID, ignore the update",
                     IdText(lspId));
            continue;
        }
        MarkLspDirty(lspId);
    }
    for (const std::string& lsId : switchIds)
        MarkSwitchPortsDirty(lsId);
    Flush();
}

// ---- indexes --------------------------------------------------------------------------------

LspState& DVSPropConvertor::Lsp(const std::string& lspId) {
    return lsps_[PackedId(lspId)];
}

SwitchState& DVSPropConvertor::Switch(const std::string& lsId) {
    return switches_[lsId];
}

const LspState* DVSPropConvertor::FindLsp(const std::string& lspId) const {
    auto it = lsps_.find(PackedId(lspId));
    return it == lsps_.end() ? nullptr : &it->second;
}

const SwitchState* DVSPropConvertor::FindSwitch(const std::string& lsId) const {
    auto it = switches_.find(lsId);
    return it == switches_.end() ? nullptr : &it->second;
}

const PackedId* DVSPropConvertor::LspKeyOfPort(const PackedId& portId,
                                               const PortState& port) const {
    if (!port.ChildLsp().empty()) {
        auto it = lsps_.find(port.ChildLsp());
        return it != lsps_.end() ? &it->first : nullptr;
    }
    const PackedId* lsp = lspByDvport_.Find(portId);
    if (lsp == nullptr)
        lsp = lspByVif_.Find(port.vifId);
    // A record without an id leads nowhere.
    return lsp != nullptr && !lsp->empty() ? lsp : nullptr;
}

std::string DVSPropConvertor::LspOfPort(const PackedId& portId, const PortState& port) const {
    const PackedId* lsp = LspKeyOfPort(portId, port);
    return lsp == nullptr ? std::string() : lsp->str();
}

std::string DVSPropConvertor::PortOfVif(const std::string& vifId) const {
    const PackedId* port = portByVif_.Find(PackedId(vifId));
    return port == nullptr ? std::string() : port->str();
}

const PackedId& DVSPropConvertor::ChildPortId(const LspState& l) {
    return l.dvportId.empty() ? l.vifId : l.dvportId;
}

const PackedId* DVSPropConvertor::PortKeyOfLsp(const PackedId& lspId) const {
    auto lsp = lsps_.find(lspId);
    if (lsp == lsps_.end())
        return nullptr;
    const LspState& l = lsp->second;
    // The port is this logical port's when the port leads back to it.
    auto leadsBack = [&](const PackedId& portId) -> const PackedId* {
        auto it = ports_.find(portId);
        if (it == ports_.end() || LspKeyOfPort(it->first, it->second) != &lsp->first)
            return nullptr;
        return &it->first;
    };
    if (!l.Extras().parentVifId.empty()) {
        auto it = ports_.find(ChildPortId(l));
        return it != ports_.end() && it->second.ChildLsp() == lspId ? &it->first : nullptr;
    }
    if (!l.dvportId.empty()) {
        if (const PackedId* port = leadsBack(l.dvportId))
            return port;
    }
    if (!l.vifId.empty()) {
        if (const PackedId* port = portByVif_.Find(l.vifId))
            return leadsBack(*port);
    }
    return nullptr;
}

std::string DVSPropConvertor::PortOfLsp(const std::string& lspId) const {
    const PackedId* port = PortKeyOfLsp(PackedId(lspId));
    return port == nullptr ? std::string() : port->str();
}

void DVSPropConvertor::MarkLspDirty(const std::string& lspId) {
    MarkLspDirty(PackedId(lspId));
}

void DVSPropConvertor::MarkLspDirty(const PackedId& lspId) {
    if (const PackedId* port = PortKeyOfLsp(lspId))
        dirtyPorts_.insert(port->str());
}

void DVSPropConvertor::MarkSwitchPortsDirty(const std::string& lsId) {
    auto it = lspsBySwitch_.find(PackedId(lsId));
    if (it == lspsBySwitch_.end())
        return;
    for (const LspEntry* lsp = it->second.first; lsp != nullptr; lsp = lsp->second.nextOnSwitch)
        MarkLspDirty(lsp->first);
}

void DVSPropConvertor::MarkAllPortsDirty() {
    for (const auto& entry : ports_)
        dirtyPorts_.insert(entry.first.str());
}

std::vector<std::string> DVSPropConvertor::ConnectedPortsOfSwitch(const std::string& lsId) const {
    std::vector<std::string> out;
    auto it = lspsBySwitch_.find(PackedId(lsId));
    if (it == lspsBySwitch_.end())
        return out;
    for (const LspEntry* lsp = it->second.first; lsp != nullptr; lsp = lsp->second.nextOnSwitch) {
        if (const PackedId* port = PortKeyOfLsp(lsp->first))
            out.push_back(port->str());
    }
    return out;
}

BlockCauses DVSPropConvertor::CausesOf(const std::string& lspId) const {
    BlockCauses causes;
    const LspState* l = FindLsp(lspId);
    if (l == nullptr) {
        causes.insert(BlockCause::kDetached);
        return causes;
    }
    const SwitchState* s = FindSwitch(l->lsId.str());
    if (s == nullptr || !s->HasSegment())
        causes.insert(BlockCause::kNoSwitch);
    if (s != nullptr && !s->adminUp)
        causes.insert(BlockCause::kSwitchDown);
    if (!l->adminUp)
        causes.insert(BlockCause::kPortDown);
    if (l->Extras().securityPresent && !l->Extras().securityApplied)
        causes.insert(BlockCause::kNoSecurity);
    return causes;
}

std::set<BlockCause> DVSPropConvertor::PortCauses(const std::string& portId) const {
    auto it = ports_.find(PackedId(portId));
    return it == ports_.end() ? std::set<BlockCause>() : it->second.causes.ToSet();
}

// ---- factory --------------------------------------------------------------------------------

std::unique_ptr<IDVSPropConvertor> MakeDVSPropConvertor(IConfigApp* sender, StateCache* cache) {
    return MakeDVSPropConvertor(sender, cache, DVSPropConvertorOptions());
}

std::unique_ptr<IDVSPropConvertor> MakeDVSPropConvertor(IConfigApp* sender, StateCache* cache,
                                                        const DVSPropConvertorOptions& options) {
    IStateCacheConfigTable* table = cache != nullptr ? cache->ConfigTable() : nullptr;
    return std::make_unique<DVSPropConvertor>(sender, table, options);
}

}  // namespace CfgAgent
