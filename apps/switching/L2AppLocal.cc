// L2App: local learning. The dataplane's VTEP membership (data type 5), VM MAC (4) and
// routing-domain VTEP (9) reports become runtime records of the L2 table: queued during the
// dataplane's full sync, held while a VNI's logical switch is unknown, written otherwise.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "apps/switching/L2App.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/Logger.h"
#include "statecache/IStateCacheConfigTable.h"
#include "statecache/IStateCacheL2Table.h"
#include "statecache/IdText.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;
using namespace vxlan;

namespace {

uint64_t MacValue(const MacAddr& mac) {
    uint64_t v = 0;
    for (uint8_t b : mac)
        v = (v << 8) | b;
    return v;
}

bool IsZero(const Ipv6Addr& a) {
    return std::all_of(a.begin(), a.end(), [](uint8_t b) { return b == 0; });
}

// False for an address type other than IPv4 or IPv6.
bool SetAddress(pb::IpAddressMsg* ip, uint32_t type, uint32_t ipv4, const Ipv6Addr& ipv6) {
    if (type == kAddrIpv4) {
        ip->set_ipv4(ipv4);
    } else if (type == kAddrIpv6) {
        ip->set_ipv6(std::string(reinterpret_cast<const char*>(ipv6.data()), ipv6.size()));
    } else {
        return false;
    }
    return true;
}

// One VTEP entry as the runtime state holds it; false for an invalid address type.
bool VtepEntryTLV2PB(const VtepEntry& e, std::string* body) {
    pb::LogSwitchVtepEntryMsg m;
    if (!SetAddress(m.mutable_ip(), e.addrType, e.ipv4, e.ipv6))
        return false;
    m.set_label(e.label);
    if (MacValue(e.mac) != 0)
        m.set_mac(MacValue(e.mac));
    if (e.encap != 0)
        m.set_encap_type(static_cast<pb::VtepEncapType>(e.encap));
    if (e.mtep != 0)
        m.set_mtep_capability(e.mtep);
    if (e.flag != 0)
        m.set_tunnel_flag(true);
    if (e.segmentV4 != 0)
        m.set_segment_id(e.segmentV4);
    if (!IsZero(e.segmentV6)) {
        m.set_segment_id_v6(
            std::string(reinterpret_cast<const char*>(e.segmentV6.data()), e.segmentV6.size()));
    }
    *body = m.SerializeAsString();
    return true;
}

// `bytes` bytes of `v`, least significant first (protobuf's fixed32 and fixed64).
char* PutLittleEndian(uint64_t v, int bytes, char* out) {
    for (int i = 0; i < bytes; ++i, v >>= 8)
        *out++ = static_cast<char>(v & 0xff);
    return out;
}

// One VM MAC entry; false for an invalid address type of its VTEP. Written byte by byte as
// LogSwitchMacEntryMsg's serialization writes it, without a message (a learned burst converts a
// hundred thousand entries): mac (field 1, fixed64), then vtep_ip (field 2, length-delimited)
// holding the address, ipv4 (field 1, fixed32) or ipv6 (field 2, 16 bytes); no label. Each
// member of the address's oneof is written even at 0, as the message writes a set member.
bool VMMACEntryTLV2PB(const VmMacEntry& e, std::string* body) {
    CFG_DEBUG("VMMACEntryTLV2PB addrType %1", e.addrType);
    if (e.addrType != kAddrIpv4 && e.addrType != kAddrIpv6)
        return false;
    static_assert(sizeof(e.vtepIpv6) == 16, "an IPv6 address is 16 bytes");
    char out[1 + 8 + 2 + 2 + 16];
    char* p = out;
    *p++ = 0x09;  // mac: field 1, wire type 1 (64 bits)
    p = PutLittleEndian(MacValue(e.vmMac), 8, p);
    *p++ = 0x12;  // vtep_ip: field 2, wire type 2
    if (e.addrType == kAddrIpv4) {
        *p++ = 5;     // its length
        *p++ = 0x0d;  // ipv4: field 1, wire type 5 (32 bits)
        p = PutLittleEndian(e.vtepIpv4, 4, p);
    } else {
        *p++ = 2 + 16;
        *p++ = 0x12;  // ipv6: field 2, wire type 2
        *p++ = 16;
        std::memcpy(p, e.vtepIpv6.data(), 16);
        p += 16;
    }
    body->assign(out, static_cast<size_t>(p - out));
    return true;
}

// The two per-VNI entry lists the dataplane reports: their names in log lines and their
// conversion from an entry of the list (which also gives the entry's address type).
struct EntryKind {
    const char* what;
    const char* dataType;
    const char* converter;
    bool (*toPb)(const uint8_t* entry, std::string* body, uint32_t* addrType);
};

const EntryKind kVtepKind{"VTEP membership", "VTEP_MBR", "VTEPUpdateTLV2PB",
                          [](const uint8_t* p, std::string* body, uint32_t* addrType) {
                              VtepEntry e = ReadVtepEntry(p);
                              *addrType = e.addrType;
                              return VtepEntryTLV2PB(e, body);
                          }};
const EntryKind kVmMacKind{"VM MAC", "VMMAC", "VMMACEntryTLV2PB",
                           [](const uint8_t* p, std::string* body, uint32_t* addrType) {
                               VmMacEntry e = ReadVmMacEntry(p);
                               *addrType = e.addrType;
                               return VMMACEntryTLV2PB(e, body);
                           }};

CairnDBUpdateMsg Record(ObjectType type, const std::string& id, PropertyType property, Operation op,
                        std::string data) {
    CairnDBUpdateMsg r;
    r.objType = type;
    r.id = id;
    r.property = property;
    r.op = op;
    r.data = std::move(data);
    return r;
}

const char* KindOf(PropertyType p) {
    return p == PropertyType::L2_VTEP ? "VTEP" : "VM MAC";
}

}  // namespace

// ---- reports ----

void L2App::HandleVtepMembership(const DpTlv& tlv) {
    HandleEntryUpdate(tlv, PropertyType::L2_VTEP);
}

void L2App::HandleVmMac(const DpTlv& tlv) {
    HandleEntryUpdate(tlv, PropertyType::L2_VM_MAC);
}

void L2App::HandleEntryUpdate(const DpTlv& tlv, PropertyType property) {
    const EntryKind& kind = property == PropertyType::L2_VTEP ? kVtepKind : kVmMacKind;
    CFG_DEBUG("%1: receive %2 update", kName, kind.what);
    ListUpdate l;
    if (ParseListUpdate(tlv, &l) != ListResult::kOk) {
        CFG_ERROR_CODE("LCP00407", "%1: invalid VXLAN_DATATYPE_%2 message length %3", kName,
                       kind.dataType, tlv.length);
        return;
    }
    if (vnis_.count(l.vni) == 0) {
        CFG_DEBUG("%1: ignore %2 update due to no VNI join %3", kName, kind.what, l.vni);
        return;
    }
    std::vector<Report> reports;
    reports.reserve(l.removed.count + l.added.count);
    auto convert = [&](const EntryList& list, Operation op, const char* which) {
        for (size_t i = 0; i < list.count; ++i) {
            Report r{l.vni, property, op, std::string()};
            uint32_t addrType = 0;
            if (!kind.toPb(list[i], &r.data, &addrType)) {
                CFG_ERROR_CODE("LCP00019", "%1: Invalid address type %2 for %3[%4]", kind.converter,
                               addrType, which, i);
                continue;
            }
            reports.push_back(std::move(r));
        }
    };
    convert(l.removed, Operation::OPERATION_DELETE, "delEntries");
    convert(l.added, Operation::OPERATION_UPDATE, "addEntries");
    Emit(l.vni, std::move(reports));
}

void L2App::HandleRdVteps(const DpTlv& tlv) {
    CFG_DEBUG("%1: receive Routing Domain VTEP membership update", kName);
    ListUpdate l;
    if (ParseListUpdate(tlv, &l) != ListResult::kOk) {
        CFG_ERROR_CODE("LCP00407",
                       "%1: invalid VXLAN_DATATYPE_ROUTING_DOMAIN_VTEP_MBR message length %2",
                       kName, tlv.length);
        return;
    }
    std::vector<VtepEntry> vteps;
    bool seen[2] = {false, false};
    for (size_t i = 0; i < l.added.count; ++i) {
        VtepEntry e = ReadVtepEntry(l.added[i]);
        if (e.addrType != kAddrIpv4 && e.addrType != kAddrIpv6) {
            CFG_ERROR_CODE("LCP00019",
                           "RoutingVTEPUpdateTLV2PB: Invalid address type %1 for addEntries[%2]",
                           e.addrType, i);
            continue;
        }
        bool& family = seen[e.addrType == kAddrIpv6];
        if (family) {
            CFG_ERROR_CODE(
                "LCP00407",
                "%1: more than one %2 routing domain VTEP for switchID %3, update dropped", kName,
                e.addrType == kAddrIpv6 ? "IPv6" : "IPv4", l.switchId);
            return;
        }
        family = true;
        vteps.push_back(e);
    }
    for (const VtepEntry& e : vteps) {
        std::string text = VtepAddressText(e.addrType, e.ipv4, e.ipv6);
        CFG_DEBUG("%1-DR-ARP: _localRDVTEP replaces, addRDVTEP %2, switchID %3", kName, text,
                  l.switchId);
        CFG_INFO("%1: record added local routing domain VTEP %2, switchID %3", kName, text,
                 l.switchId);
    }
    if (vteps.empty()) {
        localRdVteps_.erase(l.switchId);
    } else {
        localRdVteps_[l.switchId] = std::move(vteps);
    }
    SyncRdVteps();
}

void L2App::Emit(uint32_t vni, std::vector<Report> reports) {
    if (reports.empty())
        return;
    if (sessionState_ < kSessionFullSyncEnded) {
        if (queue_.size() + reports.size() > maxQueuedReports_) {
            if (!queueOverflowLogged_) {
                CFG_ERROR_CODE("LCP00403",
                               "%1: queued message list is full (%2 reports); reports of VNI %3 "
                               "and later ones dropped until the next session",
                               kName, queue_.size(), vni);
                queueOverflowLogged_ = true;
            }
            return;
        }
        CFG_DEBUG("%1: Insert VNI %2 %3 to queued message list", kName, vni,
                  KindOf(reports.front().property));
        for (Report& r : reports)
            queue_.push_back(std::move(r));
        return;
    }
    auto it = vnis_.find(vni);
    if (it == vnis_.end())
        return;
    if (it->second.lsId.empty()) {
        Hold(vni, std::move(reports));
        return;
    }
    WriteReports(it->second, std::move(reports));
}

void L2App::WriteReports(VniEntry& entry, std::vector<Report> reports) {
    CairnDBUpdateList list;
    list.reserve(reports.size() + 1);
    if (!entry.objectWritten) {
        list.push_back(Record(ObjectType::LOG_SWITCH_STATE, entry.lsId,
                              PropertyType::INVALID_PROPERTY, Operation::OPERATION_UPDATE, {}));
        entry.objectWritten = true;
    }
    for (Report& r : reports) {
        if (r.op == Operation::OPERATION_DELETE) {
            // The database removes list entries by value: remove the one that was written.
            L2ValueKey key;
            std::string stored;
            if (!GetL2PropertyValueKey(r.property, r.data, &key) || options_.l2Table == nullptr ||
                !options_.l2Table->GetEntry(L2Store::kRuntime, ObjectType::LOG_SWITCH_STATE,
                                            entry.lsId, r.property, key, &stored)) {
                continue;
            }
            list.push_back(Record(ObjectType::LOG_SWITCH_STATE, entry.lsId, r.property, r.op,
                                  std::move(stored)));
            continue;
        }
        list.push_back(
            Record(ObjectType::LOG_SWITCH_STATE, entry.lsId, r.property, r.op, std::move(r.data)));
    }
    if (options_.l2Table != nullptr && !list.empty())
        options_.l2Table->UpdateRuntimeState(std::move(list), false);
}

// ---- reports of VNIs whose logical switch is not known ----

void L2App::Hold(uint32_t vni, std::vector<Report> reports) {
    auto& held = held_[vni];
    for (Report& r : reports) {
        L2ValueKey key;
        if (!GetL2PropertyValueKey(r.property, r.data, &key))
            continue;
        HeldKey k{static_cast<uint32_t>(r.property), key};
        if (r.op == Operation::OPERATION_DELETE) {
            heldCount_ -= held.erase(k);
            continue;
        }
        auto it = held.find(k);
        if (it != held.end()) {
            it->second = std::move(r.data);
            continue;
        }
        if (heldCount_ >= maxHeldReports_) {
            if (!heldOverflowLogged_) {
                CFG_ERROR_CODE("LCP00404",
                               "%1: %2 reports held for VNIs without a logical switch; reports of "
                               "VNI %3 and later ones dropped",
                               kName, heldCount_, vni);
                heldOverflowLogged_ = true;
            }
            continue;
        }
        held.emplace(k, std::move(r.data));
        ++heldCount_;
    }
    if (held.empty())
        held_.erase(vni);
    else
        CFG_DEBUG("%1: %2 reports of VNI %3 held until its logical switch is known", kName,
                  held.size(), vni);
}

void L2App::DropHeld(uint32_t vni) {
    auto it = held_.find(vni);
    if (it == held_.end())
        return;
    heldCount_ -= it->second.size();
    held_.erase(it);
    if (heldCount_ == 0)
        heldOverflowLogged_ = false;
}

void L2App::ReplayHeld(uint32_t vni) {
    auto it = held_.find(vni);
    auto entry = vnis_.find(vni);
    if (it == held_.end() || entry == vnis_.end())
        return;
    std::vector<Report> reports;
    reports.reserve(it->second.size());
    for (auto& [key, data] : it->second) {
        reports.push_back(Report{vni, static_cast<PropertyType>(key.first),
                                 Operation::OPERATION_UPDATE, std::move(data)});
    }
    DropHeld(vni);
    CFG_INFO("%1: %2 held reports of VNI %3 written to logical switch %4", kName, reports.size(),
             vni, IdText(entry->second.lsId));
    WriteReports(entry->second, std::move(reports));
}

// ---- VNIs and their logical switches ----

std::string L2App::LogicalSwitchOfVni(uint32_t vni) const {
    std::string id;
    if (options_.configTable != nullptr)
        options_.configTable->FindLogicalSwitchByVni(vni, &id);
    return id;
}

void L2App::SetVniSwitch(uint32_t vni, VniEntry& entry, const std::string& lsId) {
    if (entry.lsId == lsId)
        return;
    CairnDBUpdateList list;
    if (entry.lsId.empty()) {
        CFG_INFO("%1: Set logical switch UUID %2 for VNI %3 when VNI is joined", kName,
                 IdText(lsId), vni);
    } else {
        CFG_INFO("%1: VNI %2 current logical switch ID is %3, new ID is %4", kName, vni,
                 IdText(entry.lsId), IdText(lsId));
        // What was learned on the VNI moves to its new switch.
        if (entry.objectWritten && options_.l2Table != nullptr) {
            CairnDBUpdateList old;
            options_.l2Table->GetObject(L2Store::kRuntime, entry.lsId, &old);
            list.push_back(Record(ObjectType::LOG_SWITCH_STATE, lsId,
                                  PropertyType::INVALID_PROPERTY, Operation::OPERATION_UPDATE, {}));
            for (CairnDBUpdateMsg& r : old) {
                if (r.objType == ObjectType::LOG_SWITCH_STATE &&
                    r.property != PropertyType::INVALID_PROPERTY) {
                    list.push_back(Record(r.objType, lsId, r.property, r.op, std::move(r.data)));
                }
            }
            list.push_back(Record(ObjectType::LOG_SWITCH_STATE, entry.lsId,
                                  PropertyType::INVALID_PROPERTY, Operation::OPERATION_DELETE, {}));
        }
    }
    entry.lsId = lsId;
    SendVNIMbrChangeMsgToDP(vni, entry);
    if (sessionState_ != kSessionFullSyncEnded)
        return;  // the Full Sync End writes it
    entry.objectWritten = !list.empty();
    if (!list.empty() && options_.l2Table != nullptr)
        options_.l2Table->UpdateRuntimeState(std::move(list), false);
    if (!entry.objectWritten) {
        WriteReports(entry, {});
    }
    ReplayHeld(vni);
}

void L2App::RefreshVniSwitches() {
    for (auto& [vni, entry] : vnis_) {
        std::string lsId = LogicalSwitchOfVni(vni);
        if (!lsId.empty())
            SetVniSwitch(vni, entry, lsId);
    }
}

void L2App::LeaveVni(uint32_t vni) {
    VniEntry& entry = vnis_[vni];
    if (sessionState_ < kSessionFullSyncEnded) {
        size_t before = queue_.size();
        queue_.erase(std::remove_if(queue_.begin(), queue_.end(),
                                    [vni](const Report& r) { return r.vni == vni; }),
                     queue_.end());
        if (queue_.size() != before)
            CFG_DEBUG("%1: Remove VNI %2 from queued message list", kName, vni);
    } else if (entry.objectWritten && options_.l2Table != nullptr) {
        CFG_INFO("%1: Delete runtime states when LS %2 is deleted", kName, IdText(entry.lsId));
        options_.l2Table->UpdateRuntimeState(
            {Record(ObjectType::LOG_SWITCH_STATE, entry.lsId, PropertyType::INVALID_PROPERTY,
                    Operation::OPERATION_DELETE, {})},
            false);
    }
    DropHeld(vni);
    const uint32_t switchId = entry.switchId;
    vnis_.erase(vni);
    CFG_INFO("%1: Remove logical switch(VNI: %2)", kName, vni);
    SyncRdVteps();
    NotifyVniJoin(vni, switchId, false);
}

// ---- routing-domain VTEPs ----

std::string L2App::RoutingDomainOf(const std::string& lsId) const {
    std::string value;
    if (options_.configTable == nullptr ||
        !options_.configTable->GetProperty(ConfigStore::kDesired, ObjectType::LOG_SWITCH_CONFIG,
                                           lsId, PropertyType::LS_ROUTING_DOMAIN_ID, &value)) {
        return std::string();
    }
    pb::LogSwitchConfigMsg ls;
    if (!ls.ParseFromString(value) || !ls.has_routing_domain_id())
        return std::string();
    const pb::UuidMsg& rd = ls.routing_domain_id();
    if (rd.left() == 0 && rd.right() == 0)
        return std::string();
    return rd.SerializeAsString();
}

std::map<std::string, std::set<std::string>> L2App::RdVtepBodies() const {
    std::map<std::string, std::set<std::string>> out;
    for (const auto& [vni, entry] : vnis_) {
        auto vteps = localRdVteps_.find(entry.switchId);
        if (entry.lsId.empty() || vteps == localRdVteps_.end())
            continue;
        std::string rd = RoutingDomainOf(entry.lsId);
        if (rd.empty())
            continue;
        std::set<std::string>& bodies = out[rd];
        for (const VtepEntry& e : vteps->second) {
            std::string body;
            if (VtepEntryTLV2PB(e, &body))
                bodies.insert(std::move(body));
        }
    }
    return out;
}

void L2App::SyncRdVteps() {
    // The dataplane's routing domain lists and remote domain state follow the same changes.
    SyncRoutingDomains();
    if (sessionState_ != kSessionFullSyncEnded)
        return;
    std::map<std::string, std::set<std::string>> want = RdVtepBodies();
    CairnDBUpdateList list;
    auto entryRecord = [](const std::string& rd, Operation op, const std::string& body) {
        return Record(ObjectType::ROUTING_DOMAIN_VTEP, rd, PropertyType::L2_VTEP, op, body);
    };
    for (const auto& [rd, bodies] : want) {
        auto had = rdWritten_.find(rd);
        if (had == rdWritten_.end()) {
            list.push_back(Record(ObjectType::ROUTING_DOMAIN_VTEP, rd,
                                  PropertyType::INVALID_PROPERTY, Operation::OPERATION_UPDATE, {}));
        } else {
            for (const std::string& b : had->second) {
                if (bodies.count(b) == 0)
                    list.push_back(entryRecord(rd, Operation::OPERATION_DELETE, b));
            }
        }
        for (const std::string& b : bodies) {
            if (had == rdWritten_.end() || had->second.count(b) == 0)
                list.push_back(entryRecord(rd, Operation::OPERATION_UPDATE, b));
        }
    }
    for (const auto& [rd, bodies] : rdWritten_) {
        if (want.count(rd) == 0) {
            CFG_INFO("%1: no joined VNI uses routing domain %2 any more", kName, IdText(rd));
            list.push_back(Record(ObjectType::ROUTING_DOMAIN_VTEP, rd,
                                  PropertyType::INVALID_PROPERTY, Operation::OPERATION_DELETE, {}));
        }
    }
    rdWritten_ = std::move(want);
    if (!list.empty() && options_.l2Table != nullptr)
        options_.l2Table->UpdateRuntimeState(std::move(list), false);
}

// ---- the Full Sync End ----

CairnDBUpdateList L2App::FullSyncRecords() {
    CairnDBUpdateList list;
    list.reserve(vnis_.size() + queue_.size());
    for (auto& [vni, entry] : vnis_) {
        entry.objectWritten = !entry.lsId.empty();
        if (entry.objectWritten) {
            list.push_back(Record(ObjectType::LOG_SWITCH_STATE, entry.lsId,
                                  PropertyType::INVALID_PROPERTY, Operation::OPERATION_UPDATE, {}));
        }
    }
    for (Report& r : queue_) {
        auto it = vnis_.find(r.vni);
        if (it == vnis_.end())
            continue;
        if (it->second.lsId.empty()) {
            Hold(r.vni, {std::move(r)});
            continue;
        }
        list.push_back(Record(ObjectType::LOG_SWITCH_STATE, it->second.lsId, r.property, r.op,
                              std::move(r.data)));
    }
    queue_.clear();
    queue_.shrink_to_fit();
    rdWritten_ = RdVtepBodies();
    for (const auto& [rd, bodies] : rdWritten_) {
        list.push_back(Record(ObjectType::ROUTING_DOMAIN_VTEP, rd, PropertyType::INVALID_PROPERTY,
                              Operation::OPERATION_UPDATE, {}));
        for (const std::string& b : bodies) {
            list.push_back(Record(ObjectType::ROUTING_DOMAIN_VTEP, rd, PropertyType::L2_VTEP,
                                  Operation::OPERATION_UPDATE, b));
        }
    }
    return list;
}

}  // namespace CfgAgent
