// DVSPropConvertor: port mirror sessions. Each kind of a session (PMS_* property) becomes a named
// "mirror_session" property where its sources are: on the source ports (LocalPortSpan-,
// RspanSrc-, ERSpanSource-), on every port of a source switch (LogicalLocalSpan-), on the
// destination ports of an RSPAN destination session (RspanDst-), and, for uplink sessions, on the
// host switch of the uplinks the host NICs map to (LocalUplinkSpan-, with the uplinks in
// "mirror_uplink_sources").
#include "apps/switching/DVSPropConvertor.h"
#include "apps/switching/DVSPropConvertorEncode.h"
#include "apps/switching/DVSPropConvertorInternal.h"
#include "dataplane/KcpBuilders.h"
#include "dataplane/KcpPropertyTable.h"
#include "dataplane/KcpProtocol.h"

namespace CfgAgent {

using namespace dvs;

namespace {

const pb::MirrorSessionDetailMsg* DetailOf(const pb::PortMirrorSessionMsg& m, PropertyType p) {
    switch (p) {
        case PropertyType::PMS_LOGICAL_PORT_MIRROR_SESSION:
            return m.has_logical_port_mirror_session() ? &m.logical_port_mirror_session() : nullptr;
        case PropertyType::PMS_UPLINK_PORT_MIRROR_SESSION:
            return m.has_uplink_port_mirror_session() ? &m.uplink_port_mirror_session() : nullptr;
        case PropertyType::PMS_RSPAN_SRC_MIRROR_SESSION:
            return m.has_rspan_src_mirror_session() ? &m.rspan_src_mirror_session() : nullptr;
        case PropertyType::PMS_RSPAN_DST_MIRROR_SESSION:
            return m.has_rspan_dst_mirror_session() ? &m.rspan_dst_mirror_session() : nullptr;
        case PropertyType::PMS_L3SPAN_MIRROR_SESSION:
            return m.has_l3span_mirror_session() ? &m.l3span_mirror_session() : nullptr;
        default:
            return nullptr;
    }
}

std::set<std::string> IdSet(const google::protobuf::RepeatedPtrField<pb::UuidMsg>& ids) {
    std::set<std::string> out;
    for (const auto& id : ids)
        out.insert(IdOf(id));
    return out;
}

}  // namespace

void DVSPropConvertor::HandleMirrorSessionUpdate(const PropertyUpdate& u) {
    if (!u.Deleted() && u.value.empty()) {
        CFG_ERROR_CODE("LCP00001", "Property value cannot be empty for port mirroring");
        return;
    }
    pb::PortMirrorSessionMsg m;
    if (!u.Deleted() && !ParsePropertyValue(m, u.property, u.id, u.value))
        return;
    const pb::MirrorSessionDetailMsg* d = u.Deleted() ? nullptr : DetailOf(m, u.property);
    if (d == nullptr) {
        auto it = mirrors_.find(u.id);
        if (it != mirrors_.end() && it->second.erase(u.property) != 0) {
            CFG_INFO("Remove mirror session [%1] %2", IdText(u.id),
                     PropertyTypeToString(u.property));
            if (it->second.empty())
                mirrors_.erase(it);
            MarkAllPortsDirty();
            UplinksChanged();
        }
        return;
    }
    if (d->has_direction() &&
        (d->direction() < kcp::kMirrorIngress || d->direction() > kcp::kMirrorBoth)) {
        CFG_ERROR_CODE("LCP00001", "Invalid mirror direction %1 for session [%2]", d->direction(),
                       IdText(u.id));
        return;
    }
    if (d->encapsulation_vlan() > 4094) {
        CFG_ERROR_CODE("LCP00001", "Invalid mirror encapsulation vlan %1 for session [%2]",
                       d->encapsulation_vlan(), IdText(u.id));
        return;
    }
    MirrorKind k;
    k.sessionText = IdText(u.id);
    k.direction =
        static_cast<uint8_t>(d->has_direction() ? d->direction() : uint32_t{kcp::kMirrorBoth});
    k.snapLength = d->snap_length();
    k.erspanId = d->erspan_id();
    k.greKey = d->gre_key();
    k.encapVlan = static_cast<uint16_t>(d->encapsulation_vlan());
    k.mirrorStack = static_cast<uint8_t>(d->mirror_stack() > 0xFF ? 0xFF : d->mirror_stack());
    AppendIp(k.destinationIp, d->destination_ip());
    k.sourceLsps = IdSet(d->sources());
    k.sourceSwitches = IdSet(d->source_switches());
    k.destinationLsps = IdSet(d->destinations());
    k.sourcePnics.assign(d->source_pnics().begin(), d->source_pnics().end());
    CFG_INFO("Update mirror session [%1] %2", k.sessionText, PropertyTypeToString(u.property));
    mirrors_[u.id][u.property] = std::move(k);
    MarkAllPortsDirty();
    UplinksChanged();
}

void DVSPropConvertor::HandleLSPMirrorTargetsUpdate(const PropertyUpdate& u) {
    if (!u.Deleted() && u.value.empty()) {
        CFG_ERROR_CODE("LCP00001", "Property value cannot be empty for port mirroring");
        return;
    }
    pb::LogSwitchPortConfigMsg m;
    if (!u.Deleted() && !ParsePropertyValue(m, u.property, u.id, u.value))
        return;
    LspState& l = Lsp(u.id);
    for (const std::string& session : l.Extras().mirrorTargets) {
        auto it = mirrorTargetLsps_.find(session);
        if (it == mirrorTargetLsps_.end())
            continue;
        it->second.erase(u.id);
        if (it->second.empty())
            mirrorTargetLsps_.erase(it);
    }
    l.SetExtra(&dvs::LspExtras::mirrorTargets,
               u.Deleted() ? std::set<std::string>() : IdSet(m.mirror_targets()));
    for (const std::string& session : l.Extras().mirrorTargets)
        mirrorTargetLsps_[session].insert(u.id);
    // The destination lists of the sessions' source records change.
    MarkAllPortsDirty();
    UplinksChanged();
}

std::vector<uint8_t> DVSPropConvertor::MirrorValue(const std::string& sessionId, PropertyType kind,
                                                   const MirrorKind& k, uint8_t type,
                                                   const std::string& name) const {
    std::vector<uint8_t> v;
    AppendFixed(v, name, kcp::kSwitchIdSize);
    v.push_back(type);
    v.push_back(k.direction);
    AppendBe32(v, k.snapLength);
    AppendBe32(v, k.erspanId);
    AppendBe32(v, k.greKey);
    AppendBe16(v, k.encapVlan);
    v.push_back(k.mirrorStack);
    v.insert(v.end(), k.destinationIp.begin(), k.destinationIp.end());
    // Destination ports: the session's destinations and the ports naming it as a target. An
    // RSPAN destination session sits on its destinations; an ERSPAN one sends to an address.
    if (kind == PropertyType::PMS_RSPAN_DST_MIRROR_SESSION ||
        kind == PropertyType::PMS_L3SPAN_MIRROR_SESSION) {
        return v;
    }
    std::set<std::string> lsps = k.destinationLsps;
    auto targets = mirrorTargetLsps_.find(sessionId);
    if (targets != mirrorTargetLsps_.end())
        lsps.insert(targets->second.begin(), targets->second.end());
    std::set<std::string> ports;
    for (const std::string& lsp : lsps) {
        std::string port = PortOfLsp(lsp);
        const LspState* l = FindLsp(lsp);
        if (port.empty() && l != nullptr)
            port = l->dvportId.str();
        if (!port.empty())
            ports.insert(port);
    }
    for (const std::string& port : ports)
        AppendFixed(v, port, kcp::kIdSize);
    return v;
}

void DVSPropConvertor::AddMirrorProperties(const PortState& port, const std::string& lspId,
                                           const LspState& l, PropSet& out) const {
    for (const auto& [sessionId, kinds] : mirrors_) {
        for (const auto& [kind, k] : kinds) {
            auto place = [&](uint8_t type, const char* prefix) {
                std::string name = prefix + k.sessionText;
                out[{kcp::kPropMirrorSession, name}] = MirrorValue(sessionId, kind, k, type, name);
            };
            switch (kind) {
                case PropertyType::PMS_LOGICAL_PORT_MIRROR_SESSION:
                    if (k.sourceLsps.count(lspId) != 0)
                        place(kcp::kMirrorLocalPortSpan, "LocalPortSpan-");
                    if (!l.lsId.empty() && k.sourceSwitches.count(l.lsId.str()) != 0)
                        place(kcp::kMirrorLogicalLocalSpan, "LogicalLocalSpan-");
                    break;
                case PropertyType::PMS_RSPAN_SRC_MIRROR_SESSION:
                    if (k.sourceLsps.count(lspId) != 0)
                        place(kcp::kMirrorRspanSrc, "RspanSrc-");
                    break;
                case PropertyType::PMS_RSPAN_DST_MIRROR_SESSION:
                    if (k.destinationLsps.count(lspId) != 0)
                        place(kcp::kMirrorRspanDst, "RspanDst-");
                    break;
                case PropertyType::PMS_L3SPAN_MIRROR_SESSION:
                    if (k.sourceLsps.count(lspId) == 0)
                        break;
                    if (port.vifType == kcp::kVifKrnnic) {
                        CFG_DEBUG("skip krnnic for L3SPAN");
                        break;
                    }
                    place(kcp::kMirrorErspanSource, "ERSpanSource-");
                    break;
                default:
                    break;
            }
        }
    }
}

void DVSPropConvertor::AddSwitchMirrorProperties(const std::string& switchId, PropSet& out) const {
    for (const auto& [sessionId, kinds] : mirrors_) {
        auto k = kinds.find(PropertyType::PMS_UPLINK_PORT_MIRROR_SESSION);
        if (k == kinds.end())
            continue;
        auto uplinks = k->second.uplinksBySwitch.find(switchId);
        if (uplinks == k->second.uplinksBySwitch.end())
            continue;
        std::string name = "LocalUplinkSpan-" + k->second.sessionText;
        out[{kcp::kPropMirrorSession, name}] =
            MirrorValue(sessionId, k->first, k->second, kcp::kMirrorLocalUplinkSpan, name);
        std::vector<uint8_t> sources;
        AppendFixed(sources, name, kcp::kSwitchIdSize);
        for (const std::string& port : uplinks->second)
            AppendFixed(sources, port, kcp::kIdSize);
        out[{kcp::kPropMirrorUplinkSources, name}] = std::move(sources);
    }
}

void DVSPropConvertor::UplinksChanged() {
    for (auto& [sessionId, kinds] : mirrors_) {
        auto k = kinds.find(PropertyType::PMS_UPLINK_PORT_MIRROR_SESSION);
        if (k == kinds.end())
            continue;
        std::map<std::string, std::vector<std::string>> bySwitch;
        for (const std::string& pnic : k->second.sourcePnics) {
            const Uplink* found = nullptr;
            for (const auto& [name, uplink] : uplinks_) {
                if (uplink.alias == pnic || name == pnic) {
                    found = &uplink;
                    break;
                }
            }
            if (found == nullptr || found->switchId.empty() ||
                !kcp::CheckIdField(found->switchId, kcp::kSwitchIdSize, "switch ID") ||
                !kcp::CheckIdField(found->portId, kcp::kIdSize, "uplink port ID")) {
                CFG_WARN("Can't find mapped pnic for host pnic %1", pnic);
                continue;
            }
            bySwitch[found->switchId].push_back(found->portId);
        }
        k->second.uplinksBySwitch = std::move(bySwitch);
    }
    for (const auto& entry : installedSwitches_)
        dirtySwitches_.insert(entry.first);
    for (const std::string& id : DesiredSwitchIds())
        dirtySwitches_.insert(id);
}

}  // namespace CfgAgent
