// DVSPropConvertor: properties of logical switches (VNI, VLAN, trunk, replication mode, admin
// state, type, attachments of child switches) and the removal of a switch.
#include "apps/switching/DVSPropConvertor.h"
#include "apps/switching/DVSPropConvertorEncode.h"
#include "apps/switching/DVSPropConvertorInternal.h"

namespace CfgAgent {

using namespace dvs;

namespace {
constexpr uint32_t kVniMax = 0xFFFFFF;
constexpr uint32_t kVlanMax = 4094;
}  // namespace

void DVSPropConvertor::SegmentChanged(const std::string& lsId, bool hadSegment) {
    const SwitchState* s = FindSwitch(lsId);
    bool hasSegment = s != nullptr && s->HasSegment();
    if (hadSegment && !hasSegment) {
        for (const std::string& port : ConnectedPortsOfSwitch(lsId))
            CFG_INFO("Remove vlan or vni, block port [%1]", port);
    } else if (!hadSegment && hasSegment) {
        CFG_INFO("Will unblock port after LS %1 VNI/VLAN update", IdText(lsId));
    }
    MarkSwitchPortsDirty(lsId);
}

void DVSPropConvertor::HandleLSVniUpdate(const PropertyUpdate& u) {
    pb::LogSwitchConfigMsg m;
    if (!u.Deleted() && !ParsePropertyValue(m, u.property, u.id, u.value))
        return;
    SwitchState& s = Switch(u.id);
    bool had = s.HasSegment();
    if (!u.Deleted() && m.has_vni()) {
        if (m.vni() > kVniMax) {
            CFG_ERROR_CODE("LCP00001", "Invalid VNI %1 for logical switch [%2]", m.vni(),
                           IdText(u.id));
            return;
        }
        CFG_INFO("Update vni %1", m.vni());
        s.vni = m.vni();
    } else {
        s.vni.reset();
    }
    SegmentChanged(u.id, had);
}

void DVSPropConvertor::HandleLSVlanUpdate(const PropertyUpdate& u) {
    pb::LogSwitchConfigMsg m;
    if (!u.Deleted() && !ParsePropertyValue(m, u.property, u.id, u.value))
        return;
    SwitchState& s = Switch(u.id);
    bool had = s.HasSegment();
    if (!u.Deleted() && m.has_vlan()) {
        if (m.vlan() > kVlanMax) {
            CFG_ERROR_CODE("LCP00001", "Invalid VLAN %1 for logical switch [%2]", m.vlan(),
                           IdText(u.id));
            return;
        }
        CFG_INFO("Update vlanId on async switch %1", m.vlan());
        s.vlan = static_cast<uint16_t>(m.vlan());
    } else {
        s.vlan.reset();
    }
    SegmentChanged(u.id, had);
}

void DVSPropConvertor::HandleLSVlanTrunkUpdate(const PropertyUpdate& u) {
    pb::LogSwitchConfigMsg m;
    if (!u.Deleted() && !ParsePropertyValue(m, u.property, u.id, u.value))
        return;
    std::vector<std::pair<uint16_t, uint16_t>> trunk;
    if (!u.Deleted()) {
        if (m.vlan_trunk_size() == 0) {
            CFG_INFO("empty trunk vlan is received");
        }
        for (const auto& r : m.vlan_trunk()) {
            if (r.start() > r.end() || r.end() > kVlanMax) {
                CFG_ERROR_CODE("LCP00001",
                               "Invalid trunk vlan range start %1, end %2 for logical switch [%3]",
                               r.start(), r.end(), IdText(u.id));
                return;
            }
            CFG_INFO("Update trunk vlan on async switch start %1, end %2", r.start(), r.end());
            trunk.emplace_back(static_cast<uint16_t>(r.start()), static_cast<uint16_t>(r.end()));
        }
    }
    SwitchState& s = Switch(u.id);
    bool had = s.HasSegment();
    s.trunk = std::move(trunk);
    SegmentChanged(u.id, had);
}

void DVSPropConvertor::HandleLSReplicationModeUpdate(const PropertyUpdate& u) {
    pb::LogSwitchConfigMsg m;
    if (!u.Deleted() && !ParsePropertyValue(m, u.property, u.id, u.value))
        return;
    SwitchState& s = Switch(u.id);
    if (!u.Deleted() && m.has_replication_mode()) {
        if (m.replication_mode() > 0xFF) {
            CFG_ERROR_CODE("LCP00001", "Invalid replication mode %1 for logical switch [%2]",
                           m.replication_mode(), IdText(u.id));
            return;
        }
        CFG_INFO("Update replication_mod %1", m.replication_mode());
        s.replicationMode = static_cast<uint8_t>(m.replication_mode());
    } else {
        s.replicationMode.reset();
    }
    MarkSwitchPortsDirty(u.id);
}

void DVSPropConvertor::HandleLSAdminStateUpdate(const PropertyUpdate& u) {
    SwitchState& s = Switch(u.id);
    if (u.Deleted()) {
        // No admin state is the default, up. A switch that was down comes up; otherwise there is
        // nothing to do.
        if (s.adminUp) {
            CFG_INFO("Ignore logical switch admin state DELETE operation");
            return;
        }
        s.adminUp = true;
        CFG_INFO("Will unblock port after LS %1 admin state update UP", IdText(u.id));
        MarkSwitchPortsDirty(u.id);
        return;
    }
    pb::LogSwitchConfigMsg m;
    if (!ParsePropertyValue(m, u.property, u.id, u.value))
        return;
    bool up = !m.has_admin_state_up() || m.admin_state_up();
    if (up == s.adminUp)
        return;
    s.adminUp = up;
    if (up) {
        CFG_INFO("Will unblock port after LS %1 admin state update UP", IdText(u.id));
    } else {
        for (const std::string& port : ConnectedPortsOfSwitch(u.id))
            CFG_INFO("LS admin state down, block port [%1]", port);
    }
    MarkSwitchPortsDirty(u.id);
}

void DVSPropConvertor::HandleLSTypeUpdate(const PropertyUpdate& u) {
    pb::LogSwitchConfigMsg m;
    if (!u.Deleted() && !ParsePropertyValue(m, u.property, u.id, u.value))
        return;
    SwitchState& s = Switch(u.id);
    const char* op = u.Deleted() ? "DELETE" : "UPDATE";
    if (u.property == PropertyType::LS_TYPE) {
        CFG_INFO("HandleLSTypeUpdate: ls-type %1, op %2", m.type(), op);
        if (u.Deleted() || !m.has_type())
            s.lsType.reset();
        else
            s.lsType = static_cast<uint8_t>(m.type() > 0xFF ? 0xFF : m.type());
    } else if (u.property == PropertyType::LS_SP_SUBTYPE) {
        CFG_INFO("HandleLSSubTypeUpdate: sub-type %1, op %2", m.sp_subtype(), op);
        if (u.Deleted() || !m.has_sp_subtype())
            s.spSubtype.reset();
        else
            s.spSubtype = static_cast<uint8_t>(m.sp_subtype() > 0xFF ? 0xFF : m.sp_subtype());
    } else {
        CFG_ERROR("HandleLSTypeUpdate: Unsupported property type %1",
                  PropertyTypeToString(u.property));
        return;
    }
    MarkSwitchPortsDirty(u.id);
}

void DVSPropConvertor::HandleLSAttachmentUpdate(const PropertyUpdate& u) {
    pb::LogSwitchConfigMsg m;
    if (!u.Deleted() && !ParsePropertyValue(m, u.property, u.id, u.value))
        return;
    const std::string& child = u.id;
    // Release what this child held, then take what the new list asks for.
    SwitchState& s = Switch(child);
    for (const auto& [parent, vlan] : s.parents) {
        auto p = childByParentVlan_.find(parent);
        if (p == childByParentVlan_.end())
            continue;
        auto v = p->second.find(vlan);
        if (v != p->second.end() && v->second == child)
            p->second.erase(v);
        if (p->second.empty())
            childByParentVlan_.erase(p);
    }
    s.parents.clear();
    if (!u.Deleted()) {
        for (const auto& a : m.attachment()) {
            std::string parent = IdOf(a.attachment_id());
            uint32_t vlan = a.vlan();
            if (vlan < 1 || vlan > kVlanMax) {
                CFG_ERROR_CODE(
                    "LCP00001",
                    "Invalid LS attachment vlan ID %1 for child LS[%2] and Parent LS[%3] ", vlan,
                    IdText(child), IdText(parent));
                continue;
            }
            auto& byVlan = childByParentVlan_[parent];
            auto taken = byVlan.find(static_cast<uint16_t>(vlan));
            if (taken != byVlan.end() && taken->second != child) {
                CFG_ERROR_CODE("LCP00001",
                               "Parent LS[%1] already has a child LS[%2] with vlan[%3], failed to "
                               "add new child LS %4",
                               IdText(parent), IdText(taken->second), vlan, IdText(child));
                continue;
            }
            if (s.parents.count(parent) != 0) {
                CFG_ERROR_CODE("LCP00001",
                               "Parent LS[%1] already has a child LS[%2] with vlan[%3], failed to "
                               "add new child LS %4",
                               IdText(parent), IdText(child), s.parents[parent], IdText(child));
                continue;
            }
            byVlan[static_cast<uint16_t>(vlan)] = child;
            s.parents[parent] = static_cast<uint16_t>(vlan);
            CFG_INFO("Attach child LS[%1] to parent LS[%2] on vlan[%3]", IdText(child),
                     IdText(parent), vlan);
        }
    }
    MarkSwitchPortsDirty(child);
}

void DVSPropConvertor::DeleteLogicalSwitch(const std::string& lsId) {
    // Its properties are gone already (VNI/VLAN removal blocked the ports); the ports stay known
    // so that a switch created again under the same id finds them.
    MarkSwitchPortsDirty(lsId);
    switches_.erase(lsId);
}

}  // namespace CfgAgent
