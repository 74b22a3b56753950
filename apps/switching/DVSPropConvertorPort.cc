// DVSPropConvertor: logical port properties (switch, attachment, IP discovery, admin state,
// hypervisor-kernel flag, latency), VIF connect and disconnect reports, and the child ports of
// container interfaces that CIFConfig announces and withdraws.
#include "apps/switching/DVSPropConvertor.h"
#include "apps/switching/DVSPropConvertorEncode.h"
#include "apps/switching/DVSPropConvertorInternal.h"
#include "dataplane/KcpBuilders.h"
#include "dataplane/KcpProtocol.h"
#include "platform/WorkflowUtil.h"

namespace CfgAgent {

using namespace dvs;

namespace {
using Bytes = std::optional<std::vector<uint8_t>>;  // an optional property's value
}  // namespace

void DVSPropConvertor::HandleLSPSwitchIdUpdate(const PropertyUpdate& u) {
    pb::LogSwitchPortConfigMsg m;
    if (!u.value.empty() && !ParsePropertyValue(m, u.property, u.id, u.value))
        return;
    auto node = lsps_.try_emplace(PackedId(u.id)).first;
    LspState& l = node->second;
    PackedId target(!u.Deleted() && m.has_switch_id() ? IdOf(m.switch_id()) : std::string());
    if (u.Deleted() && m.has_switch_id() && !l.lsId.empty() && l.lsId != IdOf(m.switch_id())) {
        CFG_WARN("logical port [%1] is in logical switch [%2], not in switch [%3]", IdText(u.id),
                 IdText(l.lsId.text()), IdText(IdOf(m.switch_id())));
        return;
    }
    if (l.lsId == target)
        return;
    LeaveSwitch(*node);
    if (!target.empty()) {
        JoinSwitch(*node, std::move(target));
        CFG_INFO("Update logical port [%1] property logical switch [%2]", IdText(u.id),
                 IdText(l.lsId.text()));
    }
    // What the port has because of its switch (the switch's properties, QoS, mirror sessions of
    // the switch) is derived when the port is flushed, so leaving and rejoining re-sends it all.
    std::string port = PortOfLsp(u.id);
    if (!port.empty() && !CausesOf(u.id).empty())
        CFG_INFO("Port [%1] moved, block port until its switch is ready", port);
    MarkLspDirty(u.id);
    // A mirror session with this switch as source follows the port.
}

void DVSPropConvertor::LeaveSwitch(LspEntry& lsp) {
    LspState& l = lsp.second;
    if (l.lsId.empty())
        return;
    auto sw = lspsBySwitch_.find(l.lsId.id());
    if (l.prevOnSwitch != nullptr)
        l.prevOnSwitch->second.nextOnSwitch = l.nextOnSwitch;
    else if (sw != lspsBySwitch_.end())
        sw->second.first = l.nextOnSwitch;
    if (l.nextOnSwitch != nullptr)
        l.nextOnSwitch->second.prevOnSwitch = l.prevOnSwitch;
    l.prevOnSwitch = nullptr;
    l.nextOnSwitch = nullptr;
    l.lsId = IdRef();
    if (sw != lspsBySwitch_.end() && --sw->second.count == 0)
        lspsBySwitch_.erase(sw);
}

void DVSPropConvertor::JoinSwitch(LspEntry& lsp, PackedId switchId) {
    auto sw = lspsBySwitch_.try_emplace(std::move(switchId)).first;
    LspState& l = lsp.second;
    l.lsId = IdRef(&sw->first);
    l.nextOnSwitch = sw->second.first;
    if (l.nextOnSwitch != nullptr)
        l.nextOnSwitch->second.prevOnSwitch = &lsp;
    sw->second.first = &lsp;
    ++sw->second.count;
}

void DVSPropConvertor::UnindexAttachment(const PackedId& lspId, const LspState& l) {
    lspByDvport_.Release(l.dvportId, lspId);
    lspByVif_.Release(l.vifId, lspId);
}

void DVSPropConvertor::HandleLSPAttachmentUpdate(const PropertyUpdate& u) {
    pb::LogSwitchPortConfigMsg m;
    if (!u.Deleted() && !ParsePropertyValue(m, u.property, u.id, u.value))
        return;
    auto node = lsps_.try_emplace(PackedId(u.id)).first;
    const PackedId& lspKey = node->first;
    LspState& l = node->second;
    std::string oldPort = PortOfLsp(u.id);
    if (u.Deleted() || !m.has_attachment()) {
        CFG_INFO("Get VIF[%1] detachment message", l.vifId.text().view());
        UnindexAttachment(lspKey, l);
        l.dvportId.clear();
        l.vifId.clear();
        l.SetExtra(&dvs::LspExtras::parentVifId, PackedId());
        if (!oldPort.empty())
            dirtyPorts_.insert(oldPort);
        return;
    }
    const auto& a = m.attachment();
    std::string parent = a.parent_vif_id();
    if (!a.dvport_id().empty() && !kcp::CheckIdField(a.dvport_id(), kcp::kIdSize, "DVPort ID")) {
        CFG_ERROR_CODE("LCP00001", "DVPort ID of LSP %1 does not fit, attachment ignored",
                       IdText(u.id));
        return;
    }
    if (!l.dvportId.empty() && l.dvportId != a.dvport_id()) {
        CFG_WARN("Mis-match for dvport ID %1 to %2", l.dvportId.text().view(), a.dvport_id());
    }
    UnindexAttachment(lspKey, l);
    l.dvportId = a.dvport_id();
    l.vifId = a.vif_id();
    l.SetExtra(&dvs::LspExtras::parentVifId, PackedId(parent));
    CFG_INFO("Update DVPortID %1 for LSP %2", a.dvport_id(), IdText(u.id));
    // The index points at the key of the port's node and its own ids.
    auto claim = [&](dvs::TextIndex& index, const PackedId& key) {
        if (key.empty())
            return;
        const PackedId* held = index.Find(key);
        if (held != nullptr && *held != lspKey) {
            CFG_WARN("Mis-match for dvport ID %1 to %2", IdText(held->text()), IdText(u.id));
            MarkLspDirty(*held);
        }
        index.Claim(key, lspKey);
    };
    // A container interface's child port is CIFConfig's to create (AnnounceChildPort).
    if (parent.empty()) {
        claim(lspByDvport_, l.dvportId);
        claim(lspByVif_, l.vifId);
    }
    if (!oldPort.empty())
        dirtyPorts_.insert(oldPort);
    MarkLspDirty(u.id);
}

void DVSPropConvertor::HandleLSPIpDiscoveryUpdate(const PropertyUpdate& u) {
    CFG_INFO("IP discovery [%1]: op = %2 propType = %3", IdText(u.id), OperationToString(u.op),
             PropertyTypeToString(u.property));
    pb::LogSwitchPortConfigMsg m;
    if (!u.Deleted() && !ParsePropertyValue(m, u.property, u.id, u.value))
        return;
    LspState& l = Lsp(u.id);
    switch (u.property) {
        case PropertyType::LSP_IP_DISCOVERY:
            if (u.Deleted() || !m.has_ip_discovery())
                l.SetExtra(&dvs::LspExtras::ipDiscovery, Bytes());
            else
                l.SetExtra(&dvs::LspExtras::ipDiscovery, Bytes(IpDiscoveryValue(m.ip_discovery())));
            break;
        case PropertyType::LSP_IGNORE_BINDINGS:
            if (u.Deleted())
                l.SetExtra(&dvs::LspExtras::ignoreBindings, Bytes());
            else
                l.SetExtra(&dvs::LspExtras::ignoreBindings,
                           Bytes(IgnoreBindingsValue(m.ignore_bindings())));
            break;
        default:
            if (u.Deleted())
                l.SetExtra(&dvs::LspExtras::addressBindings, Bytes());
            else
                l.SetExtra(&dvs::LspExtras::addressBindings,
                           Bytes(AddressBindingsValue(m.address_bindings())));
            break;
    }
    MarkLspDirty(u.id);
}

void DVSPropConvertor::HandleLSPAdminStateUpdate(const PropertyUpdate& u) {
    LspState& l = Lsp(u.id);
    std::string port = PortOfLsp(u.id);
    const std::string& portText = port.empty() ? IdText(u.id) : port;
    if (u.Deleted()) {
        // No admin state is the default, up (see HandleLSAdminStateUpdate).
        if (l.adminUp) {
            CFG_INFO("Ignore logical port admin state DELETE operation");
            return;
        }
        l.adminUp = true;
        CFG_INFO("Will unblock port %1 after port admin state update UP", portText);
        MarkLspDirty(u.id);
        return;
    }
    pb::LogSwitchPortConfigMsg m;
    if (!ParsePropertyValue(m, u.property, u.id, u.value))
        return;
    bool up = !m.has_admin_state_up() || m.admin_state_up();
    if (up == l.adminUp)
        return;
    l.adminUp = up;
    if (up) {
        CFG_INFO("Will unblock port %1 after port admin state update UP", portText);
    } else {
        CFG_INFO("LSP admin down, block port [%1]", portText);
    }
    MarkLspDirty(u.id);
}

void DVSPropConvertor::HandleLSPIsHyvKrnUpdate(const PropertyUpdate& u) {
    pb::LogSwitchPortConfigMsg m;
    if (!u.Deleted() && !ParsePropertyValue(m, u.property, u.id, u.value))
        return;
    LspState& l = Lsp(u.id);
    l.hyvKrn = !u.Deleted() && m.is_hyv_krn();
    LogGvmSkip(u.id, l);
    MarkLspDirty(u.id);
}

void DVSPropConvertor::HandleLSPLatencyUpdate(const PropertyUpdate& u) {
    ApplyLatency(u.id, u.Deleted() ? std::string() : u.value);
}

bool DVSPropConvertor::LatencyApplies(const std::string& portId, const PortState& port,
                                      const LspState& l) const {
    if (port.vifType == kcp::kVifKrnnic) {
        CFG_INFO("Skip krnnic VIF %1", port.vifId.text().view());
        return false;
    }
    if (StartsWith(portId, kConduitPortPrefix) ||
        StartsWith(std::string(port.vifId.text()), kConduitKrnnicPrefix)) {
        CFG_INFO("Skip conduit port %1", portId);
        return false;
    }
    const SwitchState* s = FindSwitch(l.lsId.str());
    for (const char* key : {"com.orvane.port.extraConfig.serviceInsertion.gvm",
                            "com.orvane.port.extraConfig.serviceInsertion.svm"}) {
        if (l.Extras().extraConfigs.count(key) != 0 ||
            (s != nullptr && s->extraConfigs.count(key) != 0)) {
            CFG_INFO("Skip GVM/SVM port %1", portId);
            return false;
        }
    }
    return true;
}

void DVSPropConvertor::ApplyLatency(const std::string& lspId, const std::string& body) {
    pb::LogSwitchPortConfigMsg m;
    if (!body.empty() && !ParsePropertyValue(m, PropertyType::LSP_REALTIME_LATENCY, lspId, body)) {
        return;
    }
    std::optional<std::vector<uint8_t>> latency;
    if (m.has_realtime_latency()) {
        std::vector<uint8_t> v{static_cast<uint8_t>(m.realtime_latency().enabled() ? 1 : 0)};
        AppendBe32(v, m.realtime_latency().value());
        latency = std::move(v);
    }
    LspState& l = Lsp(lspId);
    if (l.Extras().latency == latency)
        return;
    CFG_INFO("Update latency for LSP [%1]", IdText(lspId));
    l.SetExtra(&dvs::LspExtras::latency, std::move(latency));
    MarkLspDirty(lspId);
}

void DVSPropConvertor::UpdatePortIpfix(const PortValues& values) {
    for (const auto& [lspId, value] : values) {
        auto it = ipfix_.find(lspId);
        if (value.empty()) {
            if (it == ipfix_.end())
                continue;
            ipfix_.erase(it);
        } else if (it == ipfix_.end()) {
            ipfix_.emplace(lspId, value);
        } else if (it->second != value) {
            it->second = value;
        } else {
            continue;
        }
        MarkLspDirty(lspId);
    }
    Flush();
}

void DVSPropConvertor::DeleteLogicalPort(const std::string& lspId) {
    auto it = lsps_.find(PackedId(lspId));
    if (it == lsps_.end())
        return;
    std::string port = PortOfLsp(lspId);
    UnindexAttachment(it->first, it->second);
    LeaveSwitch(*it);
    lsps_.erase(it);
    if (!port.empty())
        dirtyPorts_.insert(port);
}

// ---- VIF reports ----------------------------------------------------------------------------

void DVSPropConvertor::ProcessVifInfoUpdate(const DvsVifInfo& vif) {
    if (vif.deleted || !vif.connected) {
        ozy::wft::Span span("DVSPropConvertor.HandleVifDisconnection");
        std::string portId = !vif.portId.empty() ? vif.portId : PortOfVif(vif.vifId);
        auto it = ports_.find(PackedId(portId));
        if (portId.empty() || it == ports_.end() || !it->second.ChildLsp().empty()) {
            CFG_INFO("Disconnect port [%1] not in the list, ignore the update", portId);
            return;
        }
        CFG_INFO("Remove port [%1] VIF [%2] from port list", portId, vif.vifId);
        std::string portVif = it->second.vifId.str();
        if (conduitKrnnics_.erase(portVif) != 0)
            dirtyKrnnics_.insert(portVif);
        RemovePort(portId);
        Flush();
        return;
    }
    ozy::wft::Span span("DVSPropConvertor.HandleVifConnection");
    if (vif.vifType == kcp::kVifContainer) {
        // A container's own VIF: its port is the child port CIFConfig announces.
        CFG_INFO("Container VIF %1 behind VIF %2 follows its CIF", vif.vifId, vif.parentVifId);
        return;
    }
    if (vif.portId.empty() || !kcp::CheckIdField(vif.portId, kcp::kIdSize, "port ID")) {
        CFG_ERROR("DVSPropConvertor: VIF %1 reported without a usable port ID, ignored", vif.vifId);
        return;
    }
    for (const auto& [backing, hostSwitch] : offloaded_) {
        (void)backing;
        if (!vif.switchId.empty() && hostSwitch == vif.switchId) {
            CFG_INFO("Skip port [%1] of offloaded host switch %2", vif.portId, hostSwitch);
            return;
        }
    }
    auto [it, added] = ports_.try_emplace(PackedId(vif.portId));
    PortState& p = it->second;
    if (!added && !p.ChildLsp().empty()) {
        CFG_WARN("Port [%1] of VIF %2 is the child port of a container, ignored", vif.portId,
                 vif.vifId);
        return;
    }
    if (!added && p.vifId != vif.vifId)
        portByVif_.Erase(p.vifId);
    p.vifId = vif.vifId;
    p.vifType = vif.vifType;
    p.smartNic = vif.smartNic;
    p.confirmed = true;
    CFG_INFO("Add port [%1] VIF [%2] to port list, type [%3], outofsync[%4]", vif.portId, vif.vifId,
             kcp::VifTypeName(vif.vifType), p.outOfSync);
    portByVif_.Claim(p.vifId, it->first);
    if (StartsWith(vif.vifId, kConduitKrnnicPrefix)) {
        CFG_INFO("%1: Disable mac learn static property", vif.vifId);
        if (kcp::CheckIdField(vif.vifId, kcp::kKrnnicNameSize, "kernel interface name") &&
            conduitKrnnics_.insert(vif.vifId).second) {
            dirtyKrnnics_.insert(vif.vifId);
        }
    }
    dirtyPorts_.insert(vif.portId);
    Flush();
}

bool DVSPropConvertor::AnnounceChildPort(const DvsChildPort& child) {
    if (child.portId.empty() || !kcp::CheckIdField(child.portId, kcp::kIdSize, "port ID"))
        return false;
    auto [it, added] = ports_.try_emplace(PackedId(child.portId));
    PortState& p = it->second;
    if (!added && p.ChildLsp() != child.cifLspId) {
        CFG_WARN("Port [%1] of container LSP %2 is in use by another VIF, ignored", child.portId,
                 IdText(child.cifLspId));
        return false;
    }
    CFG_INFO("Updating child port [%1] by parent vif[%2], op[UPDATE]", child.portId,
             child.parentVifId);
    if (!added && p.vifId != child.cifVifId)
        portByVif_.Erase(p.vifId);
    p.vifId = child.cifVifId;
    p.vifType = kcp::kVifContainer;
    if (child.parentVifId.empty() && child.cifLspId.empty())
        p.child.reset();
    else
        p.child.reset(new PortChild{PackedId(child.parentVifId), PackedId(child.cifLspId)});
    p.confirmed = true;
    portByVif_.Claim(p.vifId, it->first);
    dirtyPorts_.insert(child.portId);
    return true;
}

void DVSPropConvertor::WithdrawChildPort(const std::string& portId) {
    auto it = ports_.find(PackedId(portId));
    if (it == ports_.end() || it->second.ChildLsp().empty())
        return;
    CFG_INFO("Updating child port [%1] by parent vif[%2], op[DELETE]", portId,
             it->second.child->parentVifId.text().view());
    RemovePort(portId);
}

void DVSPropConvertor::RemovePort(const std::string& portId) {
    auto it = ports_.find(PackedId(portId));
    if (it == ports_.end())
        return;
    portByVif_.Release(it->second.vifId, it->first);
    for (auto h = hopoverQueue_.begin(); h != hopoverQueue_.end();) {
        h = h->first.first == portId ? hopoverQueue_.erase(h) : std::next(h);
    }
    resyncPorts_.erase(portId);
    dirtyPorts_.erase(portId);
    ports_.erase(it);
}

}  // namespace CfgAgent
