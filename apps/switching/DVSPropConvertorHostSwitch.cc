// DVSPropConvertor: the transport node (host switches with their global properties, VTEP labels
// per kernel interface), offloaded host switches, uplinks, controller sessions, configuration
// spans.
#include "apps/switching/DVSPropConvertor.h"
#include "apps/switching/DVSPropConvertorEncode.h"
#include "apps/switching/DVSPropConvertorInternal.h"
#include "dataplane/KcpBuilders.h"
#include "dataplane/KcpPropertyTable.h"
#include "dataplane/KcpProtocol.h"
#include "proto/cairndb_system.pb.h"

#include <nlohmann/json.hpp>

namespace CfgAgent {

using namespace dvs;

namespace {

const char* ForwardingModeName(uint8_t mode) {
    switch (mode) {
        case kcp::kForwardingIpv4Only:
            return "IPV4_ONLY";
        case kcp::kForwardingIpv6Only:
            return "IPV6_ONLY";
        case kcp::kForwardingIpv4AndIpv6:
            return "IPV4_AND_IPV6";
        default:
            return "UNKNOWN";
    }
}

constexpr uint32_t kCcpSessionUp = 1;

}  // namespace

void DVSPropConvertor::HandleTNTransportSwitchesUpdate(const PropertyUpdate& u) {
    pb::TransportNodeConfigMsg m;
    if (!u.Deleted() && !ParsePropertyValue(m, u.property, u.id, u.value))
        return;
    std::map<std::string, HostSwitch> switches;
    if (!u.Deleted()) {
        for (const auto& ts : m.transport_switches()) {
            std::string id =
                ts.has_host_switch_id() ? IdText(IdOf(ts.host_switch_id())) : ts.name();
            if (ts.security_only()) {
                CFG_INFO("Skip transport switch enabled with OZY security: %1", id);
                continue;
            }
            if (id.empty() || !kcp::CheckIdField(id, kcp::kSwitchIdSize, "switch ID")) {
                CFG_ERROR_CODE("LCP00001", "Transport switch [%1] has no usable id, ignored",
                               ts.name());
                continue;
            }
            HostSwitch hs;
            hs.name = ts.name();
            uint32_t mode = ts.has_forwarding_mode() ? ts.forwarding_mode()
                                                     : uint32_t{kcp::kForwardingIpv4Only};
            if (mode < kcp::kForwardingIpv4Only || mode > kcp::kForwardingIpv4AndIpv6) {
                CFG_WARN("Unexpected Forwarding mode %1, defaulting to %2", mode,
                         ForwardingModeName(kcp::kForwardingIpv4Only));
                mode = kcp::kForwardingIpv4Only;
            }
            hs.forwardingMode = static_cast<uint8_t>(mode);
            CFG_INFO("Forwarding mode is %1 for host switch [%2]",
                     ForwardingModeName(hs.forwardingMode), id);
            for (const auto& l : ts.vtep_labels())
                hs.labels[l.device_name()] = l.label();
            CFG_INFO("Set global properties for tSwitch %1", id);
            switches[id] = std::move(hs);
        }
    }
    if (switches.empty())
        hostSwitches_.erase(u.id);
    else
        hostSwitches_[u.id] = std::move(switches);
    HostSwitchesChanged();
    RecomputeLabels();
}

void DVSPropConvertor::HandleTNLabelUpdate(const PropertyUpdate& u) {
    pb::TransportNodeConfigMsg m;
    if (!u.Deleted() && !ParsePropertyValue(m, u.property, u.id, u.value))
        return;
    if (u.Deleted() || !m.has_label())
        nodeLabels_.erase(u.id);
    else
        nodeLabels_[u.id] = m.label();
    RecomputeLabels();
}

bool DVSPropConvertor::IsOffloaded(const std::string& hostSwitch) const {
    for (const auto& entry : offloaded_) {
        if (entry.second == hostSwitch)
            return true;
    }
    return false;
}

void DVSPropConvertor::RecomputeLabels() {
    std::map<std::string, uint32_t> labels;
    for (const auto& [tn, switches] : hostSwitches_) {
        auto node = nodeLabels_.find(tn);
        uint32_t nodeLabel = node == nodeLabels_.end() ? 0 : node->second;
        for (const auto& [id, hs] : switches) {
            if (hs.labels.empty())
                continue;
            if (IsOffloaded(id)) {
                CFG_INFO("Do not process label update for offloaded host switch %1", id);
                continue;
            }
            for (const auto& [device, label] : hs.labels) {
                uint32_t effective = label != 0 ? label : nodeLabel;
                if (effective == 0 || device.empty())
                    continue;
                if (!kcp::CheckIdField(device, kcp::kKrnnicNameSize, "kernel interface name"))
                    continue;
                labels[device] = effective;
            }
        }
    }
    for (const auto& [device, label] : labels) {
        auto old = labels_.find(device);
        if (old == labels_.end() || old->second != label) {
            CFG_INFO("Insert dev name %1 label %2", device, label);
            dirtyKrnnics_.insert(device);
        }
    }
    for (const auto& [device, label] : labels_) {
        (void)label;
        if (labels.count(device) == 0) {
            CFG_INFO("Remove dev name %1", device);
            dirtyKrnnics_.insert(device);
        }
    }
    labels_ = std::move(labels);
}

void DVSPropConvertor::HostSwitchesChanged() {
    for (const auto& entry : installedSwitches_)
        dirtySwitches_.insert(entry.first);
    for (const std::string& id : DesiredSwitchIds())
        dirtySwitches_.insert(id);
}

void DVSPropConvertor::HandleTransportNodes(const CairnDBUpdateList& updates, bool fullSync) {
    std::set<std::string> seen;
    for (const CairnDBUpdateMsg& r : updates) {
        if (r.objType != ObjectType::TRANSPORT_NODE_CONFIG)
            continue;
        seen.insert(r.id);
        ProcessConfigPropertyUpdate(r.objType, r.id, r.op, r.property, r.data);
    }
    if (fullSync) {
        // Transport nodes that the full sync no longer lists are gone.
        std::set<std::string> known;
        for (const auto& entry : hostSwitches_)
            known.insert(entry.first);
        for (const auto& entry : nodeLabels_)
            known.insert(entry.first);
        for (const std::string& tn : known) {
            if (seen.count(tn) == 0)
                pendingReconcile_.insert({ObjectType::TRANSPORT_NODE_CONFIG, tn});
        }
    }
    RunReconciles();
    Flush();
}

void DVSPropConvertor::HandleOffloadedHostSwitches(const CairnDBUpdateList& updates,
                                                   bool fullSync) {
    std::map<std::string, std::string> next =
        fullSync ? std::map<std::string, std::string>() : offloaded_;
    for (const CairnDBUpdateMsg& r : updates) {
        if (r.op == Operation::OPERATION_DELETE) {
            next.erase(r.id);
            continue;
        }
        pb::HostSwitchSmartnicBackingMsg m;
        if (!m.ParseFromString(r.data)) {
            CFG_ERROR_CODE("LCP00001", "DvsPropConvertor: host switch backing [%1] does not parse",
                           IdText(r.id));
            continue;
        }
        next[r.id] = IdText(IdOf(m.host_switch_id()));
    }
    for (const auto& [backing, hs] : next) {
        auto old = offloaded_.find(backing);
        if (old == offloaded_.end() || old->second != hs)
            CFG_INFO("Add an offloaded hostswitch %1", hs);
    }
    for (const auto& [backing, hs] : offloaded_) {
        auto now = next.find(backing);
        if (now == next.end() || now->second != hs)
            CFG_INFO("Remove an offloaded hostswitch %1", hs);
    }
    if (next != offloaded_) {
        offloaded_ = std::move(next);
        RecomputeLabels();
    }
    Flush();
}

void DVSPropConvertor::HandleConfigSpans(const CairnDBUpdateList& updates, bool fullSync) {
    if (fullSync)
        configSpans_.clear();
    for (const CairnDBUpdateMsg& r : updates) {
        if (r.op == Operation::OPERATION_DELETE) {
            configSpans_.erase(r.id);
            continue;
        }
        pb::ConfigSpanMsg m;
        if (!m.ParseFromString(r.data)) {
            CFG_ERROR_CODE("LCP00001", "DvsPropConvertor: config span [%1] does not parse",
                           IdText(r.id));
            continue;
        }
        configSpans_[r.id] = static_cast<size_t>(m.span_size());
        CFG_DEBUG("DvsPropConvertor: config span [%1] type %2 with %3 entries", IdText(r.id),
                  m.span_type(), m.span_size());
    }
}

bool DVSPropConvertor::CcpConnected() const {
    if (!databaseHealthy_)
        return false;
    for (const auto& entry : ccpSessions_) {
        if (entry.second == kCcpSessionUp)
            return true;
    }
    return false;
}

void DVSPropConvertor::HandleCcpSessions(const CairnDBUpdateList& updates, bool fullSync) {
    bool before = CcpConnected();
    if (fullSync)
        ccpSessions_.clear();
    for (const CairnDBUpdateMsg& r : updates) {
        if (r.op == Operation::OPERATION_DELETE) {
            ccpSessions_.erase(r.id);
            continue;
        }
        pb::CcpSessionMsg m;
        if (!m.ParseFromString(r.data)) {
            CFG_ERROR_CODE("LCP00001", "DvsPropConvertor: CCP session [%1] does not parse",
                           IdText(r.id));
            continue;
        }
        ccpSessions_[r.id] = m.state();
        CFG_INFO("DvsPropConvertor: CCP session [%1] state %2", IdText(r.id), m.state());
    }
    if (CcpConnected() != before) {
        for (const std::string& id : DesiredSwitchIds())
            dirtySwitches_.insert(id);
    }
    Flush();
}

void DVSPropConvertor::OnDaemonHealthStateUpdate(bool connected) {
    bool before = CcpConnected();
    databaseHealthy_ = connected;
    CFG_INFO("DVSPropConvertor::OnDaemonHealthStateUpdate: CCPSessionState changed to %1",
             CcpConnected() ? "UP" : "DOWN");
    if (CcpConnected() != before) {
        for (const std::string& id : DesiredSwitchIds())
            dirtySwitches_.insert(id);
        Flush();
    }
}

// ---- uplinks --------------------------------------------------------------------------------

void DVSPropConvertor::AddUplink(const DvsUplink& u) {
    CFG_INFO("Add uplink %1 (alias %2 port %3 switch %4)", u.vifId, u.alias, u.portId, u.switchId);
    uplinks_[u.vifId] = Uplink{u.portId, u.alias, u.switchId};
    UplinksChanged();
    Flush();
}

void DVSPropConvertor::DeleteUplink(const DvsUplink& u) {
    CFG_INFO("Delete uplink %1 (alias %2 port %3 switch %4)", u.vifId, u.alias, u.portId,
             u.switchId);
    uplinks_.erase(u.vifId);
    UplinksChanged();
    Flush();
}

void DVSPropConvertor::ApplyFullSyncUplinks(const std::vector<DvsUplink>& list) {
    std::map<std::string, Uplink> next;
    for (const DvsUplink& u : list)
        next[u.vifId] = Uplink{u.portId, u.alias, u.switchId};
    for (const auto& [name, u] : uplinks_) {
        auto n = next.find(name);
        if (n == next.end() || n->second.portId != u.portId || n->second.alias != u.alias ||
            n->second.switchId != u.switchId) {
            CFG_INFO("Delete uplink %1 (alias %2 port %3 switch %4) during full sync", name,
                     u.alias, u.portId, u.switchId);
        }
    }
    for (const auto& [name, u] : next) {
        auto o = uplinks_.find(name);
        if (o == uplinks_.end() || o->second.portId != u.portId || o->second.alias != u.alias ||
            o->second.switchId != u.switchId) {
            CFG_INFO("Add uplink %1 (alias %2 port %3 switch %4) during full sync", name, u.alias,
                     u.portId, u.switchId);
        }
    }
    uplinks_ = std::move(next);
    UplinksChanged();
    Flush();
}

// ---- diagnostics ----------------------------------------------------------------------------

std::string DVSPropConvertor::DumpUplinks() const {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& [name, u] : uplinks_) {
        out.push_back(
            {{"uplink", name}, {"alias", u.alias}, {"port_id", u.portId}, {"switch_id", u.switchId}});
    }
    return out.dump(2);
}

std::string DVSPropConvertor::DumpConduitKrnnics() const {
    nlohmann::json out = nlohmann::json::array();
    for (const std::string& name : conduitKrnnics_) {
        std::string port = PortOfVif(name);
        out.push_back({{"krnnic", name},
                       {"port_id", port},
                       {"mac_learn_static", false},
                       {"programmed", installedKrnnics_.count(name) != 0}});
    }
    return out.dump(2);
}

}  // namespace CfgAgent
