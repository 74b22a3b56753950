// L2App: the dataplane's MAC, ARP and IPv6 neighbour queries (message type 6), answered from the
// desired L2 table. Each query TLV gets one reply (an Update of the same data type with the
// entries found, split at the maximum when they do not fit one message).
#include "apps/switching/L2App.h"
#include "apps/switching/L2AppInternal.h"
#include "apps/switching/VifState.h"
#include "proto/cairndb_l2fib.pb.h"
#include "runtime/Logger.h"
#include "statecache/IStateCacheL2Table.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;
using namespace vxlan;
using l2detail::AddressOf;

namespace {

struct QueryKind {
    const char* name;     // in the lines
    const char* dtName;   // VXLAN_DATATYPE_*
    const char* missing;  // the line of a VNI without a logical switch
};

QueryKind KindOf(uint16_t dataType) {
    switch (dataType) {
        case kDtVmMac:
            return {"MAC", "VXLAN_DATATYPE_VMMAC ",
                    "%1: MAC query, LSID can't be found for VNI %2"};
        case kDtArpv4:
            return {"ARP", "VXLAN_DATATYPE_ARPv4", "%1: ARP query, LSID can't be found for VNI %2"};
        default:
            return {"IPv6 Neighbour Discovery", "VXLAN_DATATYPE_NDv6",
                    "%1: IPv6 Neighbour Discovery query, LSID can't be found for VNI %2"};
    }
}

uint64_t MacNumber(const uint8_t* p) {
    uint64_t v = 0;
    for (size_t i = 0; i < kMacSize; ++i)
        v = (v << 8) | p[i];
    return v;
}

}  // namespace

// What the desired store says about one VM: its MAC's VTEP (address and the VTEP's MAC).
struct L2App::VmLocation {
    uint32_t addrType = kAddrNone;
    uint32_t vtepIpv4 = 0;
    Ipv6Addr vtepIpv6{};
    MacAddr vtepMac{};
};

bool L2App::LocateMac(const std::string& lsId, uint64_t mac, VmLocation* out) const {
    IStateCacheL2Table* table = options_.l2Table;
    L2ValueKey key;
    key.part[0] = mac;
    std::string body;
    pb::LogSwitchMacEntryMsg m;
    if (table == nullptr ||
        !table->GetEntry(L2Store::kDesired, ObjectType::LOG_SWITCH_FIB, lsId,
                         PropertyType::L2_VM_MAC, key, &body) ||
        !m.ParseFromString(body) ||
        !AddressOf(m.vtep_ip(), &out->addrType, &out->vtepIpv4, &out->vtepIpv6)) {
        return false;
    }
    // The VTEP's MAC, when the switch has the VTEP.
    pb::LogSwitchVtepEntryMsg probe;
    *probe.mutable_ip() = m.vtep_ip();
    pb::LogSwitchVtepEntryMsg vtep;
    if (GetL2PropertyValueKey(PropertyType::L2_VTEP, probe.SerializeAsString(), &key) &&
        table->GetEntry(L2Store::kDesired, ObjectType::LOG_SWITCH_FIB, lsId, PropertyType::L2_VTEP,
                        key, &body) &&
        vtep.ParseFromString(body) && vtep.has_mac()) {
        out->vtepMac = MacFromU64(vtep.mac());
    }
    return true;
}

// The VM MAC of an IP entry; false when the store has no such entry.
bool L2App::LookupIp(const std::string& lsId, const pb::IpAddressMsg& ip, uint64_t* mac) const {
    pb::LogSwitchIpEntryMsg probe;
    *probe.mutable_ip() = ip;
    L2ValueKey key;
    std::string body;
    pb::LogSwitchIpEntryMsg e;
    if (options_.l2Table == nullptr ||
        !GetL2PropertyValueKey(PropertyType::L2_VM_IP, probe.SerializeAsString(), &key) ||
        !options_.l2Table->GetEntry(L2Store::kDesired, ObjectType::LOG_SWITCH_FIB, lsId,
                                    PropertyType::L2_VM_IP, key, &body) ||
        !e.ParseFromString(body) || !e.has_mac()) {
        return false;
    }
    *mac = e.mac();
    return true;
}

void L2App::HandleQuery(const MsgView& msg) {
    size_t failedAt = 0;
    bool fits = WalkTlvs(
        msg,
        [&](const DpTlv& tlv) {
            if (tlv.type != kDtVmMac && tlv.type != kDtArpv4 && tlv.type != kDtNdv6) {
                CFG_ERROR_CODE("LCP00407", "%1: Unknown internal data type in query message: %2",
                               kName, tlv.type);
                return;
            }
            AnswerQuery(tlv);
        },
        &failedAt);
    if (!fits) {
        CFG_ERROR_CODE("LCP00407", "%1: TLV message validation failed at line %2", kName, __LINE__);
        CFG_DEBUG("%1: TLV at offset %2 of a %3-byte Query does not fit", kName, failedAt,
                  msg.length);
    }
}

void L2App::AnswerQuery(const DpTlv& tlv) {
    const QueryKind kind = KindOf(tlv.type);
    ListUpdate q;
    if (ParseQuery(tlv, &q) != ListResult::kOk) {
        CFG_ERROR_CODE("LCP00407", "%1: invalid %2 message length %3", kName, kind.dtName,
                       tlv.length);
        return;
    }
    auto joined = vnis_.find(q.vni);
    std::string lsId = joined != vnis_.end() ? joined->second.lsId : LogicalSwitchOfVni(q.vni);
    if (lsId.empty()) {
        CFG_DEBUG(kind.missing, kName, q.vni);
        return;
    }
    const size_t entrySize = EntrySizeOf(tlv.type);
    EntryBuffer found(entrySize);
    for (size_t i = 0; i < q.added.count; ++i) {
        const uint8_t* addr = q.added[i];
        VmLocation where;
        // The VTEP behind the VM, in the fields every reply entry has.
        auto behind = [&where](auto& e) {
            e.vtepMac = where.vtepMac;
            e.addrType = where.addrType;
            e.vtepIpv4 = where.vtepIpv4;
            e.vtepIpv6 = where.vtepIpv6;
        };
        if (tlv.type == kDtVmMac) {
            const uint64_t mac = MacNumber(addr);
            if (!LocateMac(lsId, mac, &where))
                continue;
            VmMacEntry e;
            e.vmMac = MacFromU64(mac);
            behind(e);
            WriteVmMacEntry(e, found.Append());
            continue;
        }
        pb::IpAddressMsg ip;
        if (tlv.type == kDtArpv4)
            ip.set_ipv4(LoadBe32(addr));
        else
            ip.set_ipv6(std::string(reinterpret_cast<const char*>(addr), 16));
        uint64_t mac = 0;
        if (!LookupIp(lsId, ip, &mac))
            continue;
        LocateMac(lsId, mac, &where);  // a VM without a known VTEP is answered with none
        if (tlv.type == kDtArpv4) {
            ArpEntry e;
            e.vmIpv4 = ip.ipv4();
            e.vmMac = MacFromU64(mac);
            behind(e);
            WriteArpEntry(e, found.Append());
        } else {
            NdEntry e;
            std::copy(addr, addr + 16, e.vmIpv6.begin());
            e.vmMac = MacFromU64(mac);
            behind(e);
            WriteNdEntry(e, found.Append());
        }
    }
    CFG_DEBUG("%1: %2 query of VNI %3: %4 of %5 found", kName, kind.name, q.vni, found.Count(),
              q.added.count);
    for (DpMsg& m : BuildListUpdates(tlv.type, q.switchId, q.vni, EntryBuffer(entrySize), found,
                                     settings_.maxMsgLength)) {
        SendLocked(std::move(m));
    }
}

}  // namespace CfgAgent
