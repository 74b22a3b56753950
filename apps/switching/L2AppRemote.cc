// L2App: the remote side. What the desired state says about the VNIs the dataplane joined (the
// per-switch settings of the configuration table, the controller session, the remote VTEPs, VM
// MACs and VM IPs of the L2 table) is sent to the dataplane, split at the negotiated maximum.
#include <algorithm>

#include "apps/switching/L2App.h"
#include "apps/switching/L2AppInternal.h"
#include "apps/switching/VifState.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"
#include "statecache/IStateCacheConfigTable.h"
#include "statecache/IStateCacheL2Table.h"
#include "statecache/IdText.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;
using namespace vxlan;

namespace {

constexpr uint32_t kMaxMacLimit = 4096;

Ipv6Addr Ipv6Of(const std::string& bytes) {
    Ipv6Addr a{};
    std::copy(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 16), a.begin());
    return a;
}

}  // namespace

namespace l2detail {

UuidBytes UuidBytesOf(const pb::UuidMsg& u) {
    UuidBytes out{};
    StoreBe32(out.data(), static_cast<uint32_t>(u.left() >> 32));
    StoreBe32(out.data() + 4, static_cast<uint32_t>(u.left()));
    StoreBe32(out.data() + 8, static_cast<uint32_t>(u.right() >> 32));
    StoreBe32(out.data() + 12, static_cast<uint32_t>(u.right()));
    return out;
}

bool AddressOf(const pb::IpAddressMsg& ip, uint32_t* type, uint32_t* ipv4, Ipv6Addr* ipv6) {
    *type = kAddrNone;
    if (ip.has_ipv4()) {
        *type = kAddrIpv4;
        *ipv4 = ip.ipv4();
        return true;
    }
    if (ip.has_ipv6() && ip.ipv6().size() == 16) {
        *type = kAddrIpv6;
        *ipv6 = Ipv6Of(ip.ipv6());
        return true;
    }
    return false;
}

std::string AddressText(const pb::IpAddressMsg& ip) {
    if (ip.has_ipv4())
        return Ipv4Text(ip.ipv4());
    if (ip.has_ipv6())
        return ip.ipv6().size() == 16 ? Ipv6Text(reinterpret_cast<const uint8_t*>(ip.ipv6().data()))
                                      : std::to_string(ip.ipv6().size()) + "-byte IPv6 address";
    return "none";
}

bool VtepEntryPB2TLV(const pb::LogSwitchVtepEntryMsg& m, VtepEntry* e) {
    if (!m.has_ip() || m.ip().address_case() == pb::IpAddressMsg::ADDRESS_NOT_SET) {
        CFG_ERROR_CODE("LCP00019", "Invalid VTEP has no vtep ip,  label: %1", m.label());
        return false;
    }
    if (!AddressOf(m.ip(), &e->addrType, &e->ipv4, &e->ipv6)) {
        CFG_ERROR_CODE("LCP00019", "Invalid VTEP address %1, label: %2", AddressText(m.ip()),
                       m.label());
        return false;
    }
    const uint32_t encap = m.has_encap_type() ? static_cast<uint32_t>(m.encap_type())
                                              : static_cast<uint32_t>(kEncapVxlan);
    if (encap < kEncapVxlan || encap > kEncapStt) {
        CFG_ERROR_CODE("LCP00019", "Invalid VTEP encap type %1, IP: %2, label: %3", encap,
                       AddressText(m.ip()), m.label());
        return false;
    }
    const uint32_t mtep = m.has_mtep_capability() ? m.mtep_capability() : kMtepDefault;
    if (mtep < kMtepMin || mtep > kMtepMax) {
        CFG_ERROR_CODE("LCP00019", "Invalid MTEP Capability %1, IP: %2, label: %3", mtep,
                       AddressText(m.ip()), m.label());
        return false;
    }
    e->label = m.label();
    e->encap = static_cast<uint8_t>(encap);
    e->mtep = static_cast<uint8_t>(mtep);
    e->flag = m.tunnel_flag() ? 1 : 0;
    e->mac = MacFromU64(m.mac());
    e->segmentV4 = m.segment_id();
    if (m.segment_id_v6().size() == 16)
        e->segmentV6 = Ipv6Of(m.segment_id_v6());
    return true;
}

}  // namespace l2detail

namespace {

using namespace l2detail;

bool Parse(google::protobuf::MessageLite* m, const std::string& body) {
    return m->ParseFromString(body);
}

}  // namespace

// The entries of one push, by list, removed and added.
struct L2App::RemoteBatch {
    EntryBuffer vtepRemoved{kVtepEntrySize};
    EntryBuffer vtepAdded{kVtepEntrySize};
    EntryBuffer macRemoved{kVmMacEntrySize};
    EntryBuffer macAdded{kVmMacEntrySize};
    EntryBuffer ipv4Removed{kVmIpv4EntrySize};
    EntryBuffer ipv4Added{kVmIpv4EntrySize};
    EntryBuffer ipv6Removed{kVmIpv6EntrySize};
    EntryBuffer ipv6Added{kVmIpv6EntrySize};
    bool Empty() const {
        return vtepRemoved.Count() + vtepAdded.Count() + macRemoved.Count() + macAdded.Count() +
                   ipv4Removed.Count() + ipv4Added.Count() + ipv6Removed.Count() +
                   ipv6Added.Count() ==
               0;
    }
};

// ---- per-switch messages ----

bool L2App::LsConfig(const std::string& lsId, PropertyType property, std::string* body) const {
    return options_.configTable != nullptr &&
           options_.configTable->GetProperty(ConfigStore::kDesired, ObjectType::LOG_SWITCH_CONFIG,
                                             lsId, property, body);
}

ControllerIp L2App::BuildCtlrIPUpdate(uint32_t switchId, uint32_t vni) const {
    ControllerIp c;
    c.switchId = switchId;
    c.vni = vni;
    pb::CcpSessionMsg session;  // the default instance when none was received
    if (!ccpSession_.empty())
        Parse(&session, ccpSession_);
    bool v4 = false;
    bool v6 = false;
    for (const pb::IpAddressMsg* ip :
         {&session.controller_ip(), &session.secondary_controller_ip()}) {
        if (ip->has_ipv4() && !v4) {
            c.ipv4 = ip->ipv4();
            v4 = true;
        } else if (ip->has_ipv6() && ip->ipv6().size() == 16 && !v6) {
            c.ipv6 = Ipv6Of(ip->ipv6());
            v6 = true;
        }
    }
    if (v4 && v6) {
        // Kept as an error line: the peers that watch for it rely on it.
        CFG_ERROR("BuildCtlrIPUpdateMsg: Controller address type is IPV4_AND_IPV6");
        c.addrType = kAddrBoth;
    } else if (v4) {
        c.addrType = kAddrIpv4;
    } else if (v6) {
        c.addrType = kAddrIpv6;
    } else {
        CFG_ERROR("BuildCtlrIPUpdateMsg: Invalid Controller address type");
        c.addrType = kAddrNone;
    }
    return c;
}

DpMsg L2App::BuildLinkChangeOf(uint32_t vni, const VniEntry& entry) const {
    pb::LogSwitchConfigMsg ls;
    std::string body;
    uint32_t mode = globalReplicationMode_.value_or(0);
    if (LsConfig(entry.lsId, PropertyType::LS_REPLICATION_MODE, &body) && Parse(&ls, body) &&
        ls.has_replication_mode()) {
        mode = ls.replication_mode();
    }
    LinkVni link{vni, 0, 0};
    if (LsConfig(entry.lsId, PropertyType::LS_MULTICAST_PROXY, &body) && Parse(&ls, body))
        link.multicastProxy = ls.multicast_proxy() ? 1 : 0;
    if (LsConfig(entry.lsId, PropertyType::LS_ARP_PROXY, &body) && Parse(&ls, body))
        link.arpProxy = ls.arp_proxy() ? 1 : 0;
    return BuildLinkChange(entry.switchId, mode == 1 ? 0 : 1, {link});
}

bool L2App::RoutingDomainItemOf(uint32_t vni, const VniEntry& entry,
                                ConfigureItemValue* out) const {
    if (entry.lsId.empty()) {
        CFG_DEBUG("Failed to get logical switch UUID for VNI %1", vni);
        return false;
    }
    std::string body;
    pb::LogSwitchConfigMsg ls;
    if (!LsConfig(entry.lsId, PropertyType::LS_ROUTING_DOMAIN_ID, &body) || !Parse(&ls, body) ||
        !ls.has_routing_domain_id()) {
        CFG_DEBUG("Routing domain ID property is not set for VNI %1", vni);
        return false;
    }
    const pb::UuidMsg& rd = ls.routing_domain_id();
    if (rd.left() == 0 && rd.right() == 0) {
        CFG_DEBUG("Routing doman ID is invalid value for VNI %1", vni);
        return false;
    }
    *out = RoutingDomainItem(entry.switchId, vni, UuidBytesOf(rd));
    return true;
}

bool L2App::MacLimitItemOf(uint32_t vni, const VniEntry& entry, ConfigureItemValue* out) const {
    std::string body;
    pb::LogSwitchConfigMsg ls;
    if (!LsConfig(entry.lsId, PropertyType::LS_MAC_MANAGEMENT, &body) || !Parse(&ls, body) ||
        !ls.has_mac_management()) {
        CFG_DEBUG("%1: No desired config found for VNI %2", kName, vni);
        return false;
    }
    const pb::MacManagementMsg& mm = ls.mac_management();
    if (!mm.has_mac_limit() || mm.mac_limit() > kMaxMacLimit) {
        CFG_WARN("%1: VNI %2 doesn't receive a valid mac limit: %3", kName, vni,
                 mm.has_mac_limit() ? std::to_string(mm.mac_limit()) : std::string("none"));
        return false;
    }
    CFG_INFO("%1: Configure VNI %2 mac limit", kName, vni);
    *out = MacLimitItem(entry.switchId, vni, mm.mac_limit());
    return true;
}

void L2App::SendVNIMbrChangeMsgToDP(uint32_t vni, VniEntry& entry) {
    // The dataplane drops what comes before its Open ACK, and never asks for it again.
    if (sessionState_ < kSessionOpenAcked || entry.lsId.empty()) {
        CFG_DEBUG("%1: VNI %2 not sent to the dataplane (session state %3)", kName, vni,
                  sessionState_);
        return;
    }
    CFG_INFO("%1: send VNI %2 (switchID %3, logical switch %4) to the dataplane", kName, vni,
             entry.switchId, IdText(entry.lsId));
    SendLocked(BuildVniMembership(entry.switchId, vni, kOpJoin));
    SendLocked(BuildLinkChangeOf(vni, entry));
    SendLocked(BuildControllerIp(BuildCtlrIPUpdate(entry.switchId, vni)));
    std::vector<ConfigureItemValue> items;
    ConfigureItemValue item;
    if (RoutingDomainItemOf(vni, entry, &item))
        items.push_back(item);
    if (MacLimitItemOf(vni, entry, &item))
        items.push_back(item);
    if (!items.empty())
        SendLocked(BuildConfigure(items));
    entry.pushed = true;
    PushRemoteState(vni, entry);
    SyncLsBindings(vni, entry);
}

void L2App::SendSwitchSettings(uint32_t vni, VniEntry& entry, PropertyType property) {
    ConfigureItemValue item;
    switch (property) {
        case PropertyType::LS_REPLICATION_MODE:
            SendLocked(BuildLinkChangeOf(vni, entry));
            break;
        case PropertyType::LS_ARP_PROXY:
        case PropertyType::LS_MULTICAST_PROXY: {
            SendLocked(BuildLinkChangeOf(vni, entry));
            const bool arp = property == PropertyType::LS_ARP_PROXY;
            std::string body;
            pb::LogSwitchConfigMsg ls;
            bool on = LsConfig(entry.lsId, property, &body) && Parse(&ls, body) &&
                      (arp ? ls.arp_proxy() : ls.multicast_proxy());
            SendLocked(BuildConfigure(
                {ProxyItem(arp ? kCfgArpProxy : kCfgMulticastProxy, entry.switchId, vni, on)}));
            break;
        }
        case PropertyType::LS_MAC_MANAGEMENT:
            if (MacLimitItemOf(vni, entry, &item))
                SendLocked(BuildConfigure({item}));
            break;
        case PropertyType::LS_ROUTING_DOMAIN_ID:
            if (RoutingDomainItemOf(vni, entry, &item))
                SendLocked(BuildConfigure({item}));
            break;
        default:
            break;
    }
}

// ---- remote entries ----

L2App::VniEntry* L2App::PushedVniOf(const std::string& lsId, uint32_t* vni) {
    for (auto& [v, entry] : vnis_) {
        if (entry.pushed && entry.lsId == lsId) {
            *vni = v;
            return &entry;
        }
    }
    return nullptr;
}

void L2App::AddRemoteRecord(uint32_t vni, VniEntry& entry, RemoteBatch& batch,
                            const CairnDBUpdateMsg& r) {
    if (r.op != Operation::OPERATION_UPDATE && r.op != Operation::OPERATION_DELETE) {
        CFG_ERROR_CODE("LCP00007", "Unsupported operation type %1", r.op);
        return;
    }
    const bool add = r.op == Operation::OPERATION_UPDATE;
    L2ValueKey key;
    auto keyed = [&] { return GetL2PropertyValueKey(r.property, r.data, &key); };
    // A removal after an addition in the same batch would be applied before it: send what is
    // batched first.
    auto order = [&](const EntryBuffer& added) {
        if (!add && added.Count() != 0)
            SendRemoteBatch(vni, entry, batch);
    };
    RemoteKeys& keys = entry.remote;
    switch (r.property) {
        case PropertyType::L2_VTEP: {
            pb::LogSwitchVtepEntryMsg m;
            VtepEntry e;
            if (!Parse(&m, r.data) || (add && !VtepEntryPB2TLV(m, &e)) || !keyed())
                return;
            order(batch.vtepAdded);
            if (!add) {
                auto it = keys.vteps.find(key);
                if (it != keys.vteps.end()) {
                    WriteVtepEntry(it->second, batch.vtepRemoved.Append());
                    keys.vteps.erase(it);
                }
                return;
            }
            keys.vteps[key] = e;
            WriteVtepEntry(e, batch.vtepAdded.Append());
            return;
        }
        case PropertyType::L2_VM_MAC: {
            pb::LogSwitchMacEntryMsg m;
            if (!Parse(&m, r.data) || !keyed())
                return;
            order(batch.macAdded);
            VmMacEntry e;
            e.vmMac = MacFromU64(m.mac());
            if (!add) {
                if (keys.macs.erase(key) != 0)
                    WriteVmMacEntry(e, batch.macRemoved.Append());
                return;
            }
            CFG_DEBUG("%1: LogSwitchMac update: MAC %2, VNI %3", kName, m.mac(), vni);
            if (!AddressOf(m.vtep_ip(), &e.addrType, &e.vtepIpv4, &e.vtepIpv6)) {
                CFG_ERROR_CODE("LCP00019", "%1: L2_VM_MAC %2 with VTEP address %3 skipped", kName,
                               m.mac(), AddressText(m.vtep_ip()));
                return;
            }
            keys.macs.insert(key);
            WriteVmMacEntry(e, batch.macAdded.Append());
            return;
        }
        case PropertyType::L2_VM_IP: {
            pb::LogSwitchIpEntryMsg m;
            if (!Parse(&m, r.data))
                return;
            VmIpEntry e;
            uint32_t type = kAddrNone;
            if (!AddressOf(m.ip(), &type, &e.ipv4, &e.ipv6)) {
                if (m.ip().has_ipv6()) {
                    CFG_ERROR_CODE("LCP00019", "%1: L2_VM_IP IPv6 address of %2 bytes skipped",
                                   kName, m.ip().ipv6().size());
                } else {
                    CFG_ERROR("%1: L2_VM_IP unknown ip format", kName);
                }
                return;
            }
            if (!keyed())
                return;
            e.mac = MacFromU64(m.mac());
            const bool v4 = type == kAddrIpv4;
            auto& set = v4 ? keys.ipv4 : keys.ipv6;
            EntryBuffer& added = v4 ? batch.ipv4Added : batch.ipv6Added;
            EntryBuffer& removed = v4 ? batch.ipv4Removed : batch.ipv6Removed;
            const uint16_t dataType = v4 ? kDtVmIpv4 : kDtVmIpv6;
            order(added);
            if (!add) {
                if (set.erase(key) != 0)
                    WriteVmIpEntry(dataType, e, removed.Append());
                return;
            }
            set.insert(key);
            WriteVmIpEntry(dataType, e, added.Append());
            return;
        }
        default:
            return;  // VTEP group labels: not part of the remote lists
    }
}

void L2App::AddStaleRemovals(VniEntry& entry, RemoteBatch& batch) {
    IStateCacheL2Table* table = options_.l2Table;
    std::string body;
    auto inStore = [&](PropertyType p, const L2ValueKey& key) {
        return table != nullptr && table->GetEntry(L2Store::kDesired, ObjectType::LOG_SWITCH_FIB,
                                                   entry.lsId, p, key, &body);
    };
    RemoteKeys& keys = entry.remote;
    for (auto it = keys.vteps.begin(); it != keys.vteps.end();) {
        if (inStore(PropertyType::L2_VTEP, it->first)) {
            ++it;
            continue;
        }
        WriteVtepEntry(it->second, batch.vtepRemoved.Append());
        it = keys.vteps.erase(it);
    }
    for (auto it = keys.macs.begin(); it != keys.macs.end();) {
        if (inStore(PropertyType::L2_VM_MAC, *it)) {
            ++it;
            continue;
        }
        VmMacEntry e;
        e.vmMac = MacFromU64(it->part[0]);
        WriteVmMacEntry(e, batch.macRemoved.Append());
        it = keys.macs.erase(it);
    }
    for (bool v4 : {true, false}) {
        auto& set = v4 ? keys.ipv4 : keys.ipv6;
        for (auto it = set.begin(); it != set.end();) {
            if (inStore(PropertyType::L2_VM_IP, *it)) {
                ++it;
                continue;
            }
            VmIpEntry e;
            if (v4) {
                e.ipv4 = static_cast<uint32_t>(it->part[0]);
                WriteVmIpEntry(kDtVmIpv4, e, batch.ipv4Removed.Append());
            } else {
                StoreBe32(e.ipv6.data(), static_cast<uint32_t>(it->part[0] >> 32));
                StoreBe32(e.ipv6.data() + 4, static_cast<uint32_t>(it->part[0]));
                StoreBe32(e.ipv6.data() + 8, static_cast<uint32_t>(it->part[1] >> 32));
                StoreBe32(e.ipv6.data() + 12, static_cast<uint32_t>(it->part[1]));
                WriteVmIpEntry(kDtVmIpv6, e, batch.ipv6Removed.Append());
            }
            it = set.erase(it);
        }
    }
}

void L2App::SendRemoteBatch(uint32_t vni, const VniEntry& entry, RemoteBatch& batch) {
    struct List {
        uint16_t dataType;
        EntryBuffer& removed;
        EntryBuffer& added;
    };
    // VTEPs first: the MACs behind them follow.
    List lists[] = {{kDtVtepMembership, batch.vtepRemoved, batch.vtepAdded},
                    {kDtVmMac, batch.macRemoved, batch.macAdded},
                    {kDtVmIpv4, batch.ipv4Removed, batch.ipv4Added},
                    {kDtVmIpv6, batch.ipv6Removed, batch.ipv6Added}};
    for (List& l : lists) {
        if (l.removed.Count() + l.added.Count() == 0)
            continue;
        for (DpMsg& m : BuildListUpdates(l.dataType, entry.switchId, vni, l.removed, l.added,
                                         settings_.maxMsgLength)) {
            SendLocked(std::move(m));
        }
        l.removed = EntryBuffer(l.removed.EntrySize());
        l.added = EntryBuffer(l.added.EntrySize());
    }
}

void L2App::PushRemoteState(uint32_t vni, VniEntry& entry) {
    RemoteBatch batch;
    // What was pushed for another switch of this VNI goes first.
    AddStaleRemovals(entry, batch);
    if (options_.l2Table != nullptr) {
        for (PropertyType p :
             {PropertyType::L2_VTEP, PropertyType::L2_VM_MAC, PropertyType::L2_VM_IP}) {
            CairnDBUpdateList records;
            options_.l2Table->GetProperty(L2Store::kDesired, ObjectType::LOG_SWITCH_FIB, entry.lsId,
                                          p, &records);
            for (const CairnDBUpdateMsg& r : records) {
                if (r.property == p)
                    AddRemoteRecord(vni, entry, batch, r);
            }
        }
    }
    CFG_DEBUG("%1: VNI %2: %3 VTEPs, %4 MACs, %5 IPs pushed", kName, vni, entry.remote.vteps.size(),
              entry.remote.macs.size(), entry.remote.ipv4.size() + entry.remote.ipv6.size());
    SendRemoteBatch(vni, entry, batch);
}

void L2App::ProcessL2DesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) {
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_ || !initialized_)
        return;
    // VTEP groups and the labels naming them are indexed whatever the session; groups go first
    // so that the bindings below find them.
    IndexGroups(updates, fullSync);
    std::string groupId;
    for (const CairnDBUpdateMsg& r : updates) {
        if (r.objType != ObjectType::VTEP_GROUP || r.id == groupId)
            continue;
        groupId = r.id;
        if (r.op != Operation::OPERATION_UPDATE && r.op != Operation::OPERATION_DELETE) {
            CFG_ERROR_CODE("LCP00007", "Unsupported operation type %1", r.op);
            continue;
        }
        SendVtepGroup(r.id, r.op == Operation::OPERATION_DELETE &&
                                r.property == PropertyType::INVALID_PROPERTY);
    }
    if (fullSync) {
        // Groups removed without records.
        std::vector<std::string> ids;
        for (const auto& [id, g] : groups_)
            ids.push_back(id);
        for (const std::string& id : ids)
            SendVtepGroup(id, false);
    }
    if (sessionState_ < kSessionOpenAcked)
        return;  // a join pushes what the store holds then
    // Records come in runs per object: one lookup and one batch per run.
    std::string runId;
    uint32_t vni = 0;
    VniEntry* entry = nullptr;
    RemoteBatch batch;
    auto flush = [&] {
        if (entry != nullptr)
            SendRemoteBatch(vni, *entry, batch);
    };
    for (const CairnDBUpdateMsg& r : updates) {
        if (r.objType != ObjectType::LOG_SWITCH_FIB)
            continue;
        if (r.id != runId) {
            flush();
            runId = r.id;
            entry = PushedVniOf(r.id, &vni);
        }
        if (entry == nullptr)
            continue;
        if (r.property == PropertyType::INVALID_PROPERTY) {
            if (r.op == Operation::OPERATION_DELETE) {
                AddStaleRemovals(*entry, batch);  // the switch's FIB is gone
                SyncLsBindings(vni, *entry);
            }
            continue;
        }
        if (r.property == PropertyType::L2_VTEP_GROUP_LABEL) {
            SyncLsBindings(vni, *entry);
            continue;
        }
        AddRemoteRecord(vni, *entry, batch, r);
    }
    flush();
    ApplyDomainRecords(updates);
    if (!fullSync)
        return;
    for (auto& [rd, d] : domains_) {
        if (!d.pushed)
            continue;
        EntryBuffer removed(kVtepEntrySize);
        EntryBuffer added(kVtepEntrySize);
        AddStaleDomainEntries(rd, d, removed);
        if (removed.Count() != 0)
            SendDomainBatch(rd, d, removed, added);
        SyncRdBindings(rd, d);
    }
    // A full sync leaves unchanged entries out and removes stale ones without records.
    for (auto& [v, e] : vnis_) {
        if (!e.pushed)
            continue;
        RemoteBatch stale;
        AddStaleRemovals(e, stale);
        if (!stale.Empty())
            CFG_INFO("%1: VNI %2: remote entries removed while the database was away", kName, v);
        SendRemoteBatch(v, e, stale);
        SyncLsBindings(v, e);
    }
}

bool L2App::GetRemoteCounts(uint32_t vni, RemoteCounts* out) const {
    AgentLockGuard lock(GlobalAgentLock());
    auto it = vnis_.find(vni);
    if (it == vnis_.end() || !it->second.pushed)
        return false;
    out->vteps = it->second.remote.vteps.size();
    out->macs = it->second.remote.macs.size();
    out->ips = it->second.remote.ipv4.size() + it->second.remote.ipv6.size();
    return true;
}

}  // namespace CfgAgent
