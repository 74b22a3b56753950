#include "dataplane/VxlanBuilders.h"

#include <algorithm>
#include <atomic>

#include "runtime/Logger.h"

namespace CfgAgent::vxlan {

namespace {

std::atomic<uint32_t> g_sessionId{0};

void WriteSetting(DpMsgWriter& w, uint16_t item, uint16_t value) {
    w.Be16(item).Be16(static_cast<uint16_t>(kDpTlvHeaderSize + kCfgSettingValueSize)).Be16(value);
}

std::vector<uint8_t> SwitchVniHead(uint32_t switchId, uint32_t vni) {
    std::vector<uint8_t> v;
    DpBytesWriter(v).Be32(switchId).Be32(vni);
    return v;
}

DpMsgWriter& Uuid(DpMsgWriter& w, const UuidBytes& u) {
    return w.Bytes(u.data(), u.size());
}

bool HasCount(uint16_t dataType) {
    return dataType != kDtArpv4 && dataType != kDtNdv6;
}

// The TLV value of one piece of a list: head, counts and the entries in [from, from + n) of the
// removed-then-added sequence.
DpMsg BuildListPiece(uint16_t dataType, uint32_t switchId, uint32_t vni, const EntryBuffer& removed,
                     const EntryBuffer& added, size_t from, size_t n, size_t overhead) {
    const size_t size = removed.EntrySize();
    const size_t r = removed.Count();
    const size_t rFrom = std::min(from, r);
    const size_t rCount = std::min(r - rFrom, n);
    const size_t aFrom = from + rCount - r;
    const size_t aCount = n - rCount;
    DpMsgWriter w(kMsgUpdate, overhead + n * size);
    size_t tlv = w.BeginTlv(dataType);
    w.Be32(switchId).Be32(vni);
    if (HasCount(dataType))
        w.Be16(static_cast<uint16_t>(rCount));
    if (rCount != 0)
        w.Bytes(removed.Bytes().data() + rFrom * size, rCount * size);
    if (dataType == kDtVtepMembership)
        w.Be16(static_cast<uint16_t>(aCount));
    if (aCount != 0)
        w.Bytes(added.Bytes().data() + aFrom * size, aCount * size);
    w.EndTlv(tlv);
    return w.Finish();
}

}  // namespace

// --- session ---

DpMsg BuildSessionControl(uint8_t controlType, uint32_t sessionId) {
    DpMsgWriter w(kMsgSessionControl, kSessionControlSize);
    w.Be16(kSessionControlDataType)
        .Be16(static_cast<uint16_t>(kDpTlvHeaderSize + kSessionControlValueSize))
        .U8(controlType)
        .Be32(sessionId);
    return w.Finish();
}

uint32_t NewSessionId() {
    return g_sessionId.fetch_add(1, std::memory_order_acq_rel) + 1;
}

uint32_t CurrentSessionId() {
    return g_sessionId.load(std::memory_order_acquire);
}

DpMsg BuildSessionConfigure(const Settings& s) {
    DpMsgWriter w(kMsgConfigure, kSessionConfigureSize);
    WriteSetting(w, kCfgMaxMsgLength, s.maxMsgLength);
    WriteSetting(w, kCfgFreqCtrlPeriod, s.freqCtrlPeriod);
    WriteSetting(w, kCfgFreqCtrlQueryLimit, s.freqCtrlQueryLimit);
    WriteSetting(w, kCfgFreqCtrlUpdateLimit, s.freqCtrlUpdateLimit);
    WriteSetting(w, kCfgBteAgeingTime, s.bteAgeingTime);
    WriteSetting(w, kCfgArpAgeingTime, s.arpAgeingTime);
    return w.Finish();
}

ConfigureItemValue ProxyItem(uint16_t item, uint32_t switchId, uint32_t vni, bool enable) {
    ConfigureItemValue c{item, SwitchVniHead(switchId, vni)};
    c.value.push_back(enable ? 1 : 0);
    return c;
}

ConfigureItemValue RoutingDomainItem(uint32_t switchId, uint32_t vni, const UuidBytes& rd) {
    ConfigureItemValue c{kCfgRoutingDomainId, SwitchVniHead(switchId, vni)};
    DpBytesWriter(c.value).Bytes(rd.data(), rd.size());
    return c;
}

ConfigureItemValue MacLimitItem(uint32_t switchId, uint32_t vni, uint32_t limit) {
    ConfigureItemValue c{kCfgMacLimit, SwitchVniHead(switchId, vni)};
    DpBytesWriter(c.value).Be32(limit);
    return c;
}

DpMsg BuildConfigure(const std::vector<ConfigureItemValue>& items) {
    size_t total = kDpMsgHeaderSize;
    for (const ConfigureItemValue& i : items)
        total += kDpTlvHeaderSize + i.value.size();
    DpMsgWriter w(kMsgConfigure, total);
    for (const ConfigureItemValue& i : items)
        w.Tlv(i.item, i.value.data(), i.value.size());
    return w.Finish();
}

DpMsg BuildStateReport(uint8_t outOfSync, uint16_t dataType) {
    DpMsgWriter w(kMsgStateReport, kDpMsgHeaderSize + kDpTlvHeaderSize + 1);
    w.Tlv(dataType, &outOfSync, 1);
    return w.Finish();
}

DpMsg BuildStateQuery() {
    DpMsgWriter w(kMsgStateQuery, kDpMsgHeaderSize + kDpTlvHeaderSize);
    w.Tlv(kStateOutOfSyncDataType, nullptr, 0);
    return w.Finish();
}

// --- fixed layouts ---

DpMsg BuildVniMembership(uint32_t switchId, uint32_t vni, uint8_t op) {
    DpMsgWriter w(kMsgVniMembership, kVniMembershipSize);
    w.Be32(switchId).Be32(vni).U8(op);
    return w.Finish();
}

DpMsg BuildInstanceChange(uint32_t instanceId, uint8_t op) {
    DpMsgWriter w(kMsgInstanceChange, kInstanceChangeSize);
    w.Be32(instanceId).U8(op);
    return w.Finish();
}

DpMsg BuildNotification(uint16_t errorCode, uint16_t subCode) {
    DpMsgWriter w(kMsgNotification, kNotificationSize);
    w.Be16(errorCode).Be16(subCode);
    return w.Finish();
}

DpMsg BuildLinkChange(uint32_t switchId, uint8_t flag, const std::vector<LinkVni>& vnis) {
    DpMsgWriter w(kMsgLinkChange, kLinkChangeHeadSize + vnis.size() * kLinkChangeEntrySize);
    w.Be32(switchId).U8(flag);
    for (const LinkVni& v : vnis)
        w.Be32(v.vni).U8(v.multicastProxy).U8(v.arpProxy);
    return w.Finish();
}

DpMsg BuildControllerIp(const ControllerIp& ip) {
    DpMsgWriter w(kMsgControllerIp, kControllerIpSize);
    uint8_t type[4];
    StoreAddrType(type, ip.addrType);
    w.Be32(ip.switchId).Be32(ip.vni).Be32(ip.ipv4).Bytes(type, 4).Bytes(ip.ipv6.data(), 16);
    return w.Finish();
}

DpMsg BuildGlobalReplication(uint32_t switchId, uint8_t mode) {
    DpMsgWriter w(kMsgGlobalReplication, kGlobalReplicationSize);
    w.Be32(switchId).U8(mode);
    return w.Finish();
}

DpMsg BuildVtepGroup(const VtepGroup& g) {
    DpMsgWriter w(kMsgVtepGroup, kVtepGroupHeadSize + g.members.size() * kVtepGroupMemberSize);
    w.Be32(g.label).U8(g.op).U8(g.groupType).U8(g.protocol).U8(0);
    for (const VtepGroupMember& m : g.members) {
        uint8_t type[4];
        StoreAddrType(type, m.addrType);
        w.Be32(m.label).Be32(m.ipv4).Bytes(type, 4).Bytes(m.ipv6.data(), 16);
    }
    return w.Finish();
}

DpMsg BuildLsVtepGroupBinding(const LsVtepGroupBinding& b) {
    DpMsgWriter w(kMsgLsVtepGroupBinding, kLsVtepGroupBindingSize);
    w.Be32(b.switchId).Be32(b.vni).Be32(b.label).U8(b.op);
    return w.Finish();
}

DpMsg BuildRdVtepGroupBinding(const RdVtepGroupBinding& b) {
    DpMsgWriter w(kMsgRdVtepGroupBinding, kRdVtepGroupBindingSize);
    Uuid(w, b.routingDomain).Be32(b.label).U8(b.op);
    return w.Finish();
}

DpMsg BuildRdMembership(const RdMembership& m) {
    DpMsgWriter w(kMsgRdMembership, kRdMembershipSize);
    w.Be32(m.switchId);
    Uuid(w, m.routingDomain).U8(m.op).U8(m.global);
    return w.Finish();
}

DpMsg BuildTepAlarm(const TepAlarm& a) {
    if (a.nicName.size() > kAlarmNicNameSize || a.switchName.size() > kAlarmSwitchNameSize) {
        CFG_ERROR("VXLAN: TEP alarm names longer than %1/%2 bytes", kAlarmNicNameSize,
                  kAlarmSwitchNameSize);
        return DpMsg();
    }
    DpMsgWriter w(kMsgTepAlarm, kTepAlarmSize);
    w.FixedString(a.nicName, kAlarmNicNameSize)
        .FixedString(a.switchName, kAlarmSwitchNameSize)
        .U8(a.kind)
        .U8(a.state)
        .U8(a.reasons)
        .U8(0);
    return w.Finish();
}

// --- entries ---

void WriteVtepEntry(const VtepEntry& e, uint8_t* p) {
    StoreBe32(p + kVtepIpv4, e.ipv4);
    StoreBe32(p + kVtepLabel, e.label);
    StoreBe32(p + kVtepSegmentV4, e.segmentV4);
    std::copy(e.mac.begin(), e.mac.end(), p + kVtepMac);
    p[kVtepEncap] = e.encap;
    p[kVtepMtep] = e.mtep;
    p[kVtepFlag] = e.flag;
    StoreAddrType(p + kVtepAddrType, e.addrType);
    std::copy(e.ipv6.begin(), e.ipv6.end(), p + kVtepIpv6);
    std::copy(e.segmentV6.begin(), e.segmentV6.end(), p + kVtepSegmentV6);
}

void WriteVmMacEntry(const VmMacEntry& e, uint8_t* p) {
    std::copy(e.vmMac.begin(), e.vmMac.end(), p + kMacVmMac);
    std::copy(e.vtepMac.begin(), e.vtepMac.end(), p + kMacVtepMac);
    StoreBe32(p + kMacVtepIpv4, e.vtepIpv4);
    StoreBe32(p + kMacZero, 0);
    StoreAddrType(p + kMacAddrType, e.addrType);
    std::copy(e.vtepIpv6.begin(), e.vtepIpv6.end(), p + kMacVtepIpv6);
}

void WriteVmIpEntry(uint16_t dataType, const VmIpEntry& e, uint8_t* p) {
    if (dataType == kDtVmIpv6) {
        std::copy(e.ipv6.begin(), e.ipv6.end(), p);
        std::copy(e.mac.begin(), e.mac.end(), p + 16);
    } else {
        StoreBe32(p, e.ipv4);
        std::copy(e.mac.begin(), e.mac.end(), p + 4);
    }
}

void WriteArpEntry(const ArpEntry& e, uint8_t* p) {
    StoreBe32(p + kArpVmIpv4, e.vmIpv4);
    StoreBe32(p + kArpVtepIpv4, e.vtepIpv4);
    std::copy(e.vmMac.begin(), e.vmMac.end(), p + kArpVmMac);
    std::copy(e.vtepMac.begin(), e.vtepMac.end(), p + kArpVtepMac);
    StoreAddrType(p + kArpAddrType, e.addrType);
    std::copy(e.vtepIpv6.begin(), e.vtepIpv6.end(), p + kArpVtepIpv6);
    StoreBe32(p + kArpVtepIpv6 + 16, 0);
}

void WriteNdEntry(const NdEntry& e, uint8_t* p) {
    std::copy(e.vmIpv6.begin(), e.vmIpv6.end(), p + kNdVmIpv6);
    StoreBe32(p + kNdVtepIpv4, e.vtepIpv4);
    std::copy(e.vmMac.begin(), e.vmMac.end(), p + kNdVmMac);
    std::copy(e.vtepMac.begin(), e.vtepMac.end(), p + kNdVtepMac);
    StoreAddrType(p + kNdAddrType, e.addrType);
    std::copy(e.vtepIpv6.begin(), e.vtepIpv6.end(), p + kNdVtepIpv6);
    StoreBe32(p + kNdVtepIpv6 + 16, 0);
}

uint8_t* EntryBuffer::Append() {
    bytes_.resize(bytes_.size() + size_, 0);
    return bytes_.data() + bytes_.size() - size_;
}

// --- Update and Query ---

std::vector<DpMsg> BuildListUpdates(uint16_t dataType, uint32_t switchId, uint32_t vni,
                                    const EntryBuffer& removed, const EntryBuffer& added,
                                    size_t maxMsgLength) {
    const size_t size = EntrySizeOf(dataType);
    if (size == 0 || dataType == kDtRdVtepMembership || removed.EntrySize() != size ||
        added.EntrySize() != size || (!HasCount(dataType) && removed.Count() != 0)) {
        CFG_ERROR("VXLAN: cannot build %1 (data type %2) from entries of %3/%4 bytes",
                  DataTypeName(dataType), dataType, removed.EntrySize(), added.EntrySize());
        return {};
    }
    size_t overhead = kDpMsgHeaderSize + kDpTlvHeaderSize + kListHeadSize;
    if (HasCount(dataType))
        overhead += 2;
    if (dataType == kDtVtepMembership)
        overhead += 2;
    const size_t max = std::min(maxMsgLength, kDpMaxMsgSize);
    const size_t perMsg = max > overhead ? (max - overhead) / size : 0;
    if (perMsg == 0) {
        CFG_ERROR("VXLAN: a maximum message length of %1 bytes leaves no room for a %2 entry",
                  maxMsgLength, DataTypeName(dataType));
        return {};
    }
    const size_t total = removed.Count() + added.Count();
    std::vector<DpMsg> out;
    out.reserve(total / perMsg + 1);
    size_t from = 0;
    do {
        size_t n = std::min(perMsg, total - from);
        DpMsg m = BuildListPiece(dataType, switchId, vni, removed, added, from, n, overhead);
        if (m.empty())
            return {};
        out.push_back(std::move(m));
        from += n;
    } while (from < total);
    return out;
}

std::vector<DpMsg> BuildRdStates(const RdMembership& head, const EntryBuffer& removed,
                                 const EntryBuffer& added, size_t maxMsgLength) {
    if (removed.EntrySize() != kVtepEntrySize || added.EntrySize() != kVtepEntrySize) {
        CFG_ERROR("VXLAN: cannot build a routing domain state from entries of %1/%2 bytes",
                  removed.EntrySize(), added.EntrySize());
        return {};
    }
    const size_t max = std::min(maxMsgLength, kDpMaxMsgSize);
    const size_t perMsg = max > kRdStateHeadSize ? (max - kRdStateHeadSize) / kVtepEntrySize : 0;
    if (perMsg == 0) {
        CFG_ERROR("VXLAN: a maximum message length of %1 bytes leaves no room for a VTEP entry",
                  maxMsgLength);
        return {};
    }
    const size_t r = removed.Count();
    const size_t total = r + added.Count();
    std::vector<DpMsg> out;
    out.reserve(total / perMsg + 1);
    size_t from = 0;
    do {
        const size_t n = std::min(perMsg, total - from);
        const size_t rFrom = std::min(from, r);
        const size_t rCount = std::min(r - rFrom, n);
        const size_t aFrom = from + rCount - r;
        DpMsgWriter w(kMsgRdMembership, kRdStateHeadSize + n * kVtepEntrySize);
        w.Be32(head.switchId);
        Uuid(w, head.routingDomain).U8(kOpJoin).U8(head.global).Be16(static_cast<uint16_t>(rCount));
        if (rCount != 0)
            w.Bytes(removed.Bytes().data() + rFrom * kVtepEntrySize, rCount * kVtepEntrySize);
        if (n != rCount)
            w.Bytes(added.Bytes().data() + aFrom * kVtepEntrySize, (n - rCount) * kVtepEntrySize);
        out.push_back(w.Finish());
        if (out.back().empty())
            return {};
        from += n;
    } while (from < total);
    return out;
}

DpMsg BuildRdVtepUpdate(uint32_t switchId, const std::vector<VtepEntry>& vteps) {
    DpMsgWriter w(kMsgUpdate, kDpMsgHeaderSize + kDpTlvHeaderSize + kRdVtepHeadSize +
                                  vteps.size() * kVtepEntrySize);
    size_t tlv = w.BeginTlv(kDtRdVtepMembership);
    w.Be32(switchId);
    for (const VtepEntry& v : vteps) {
        uint8_t entry[kVtepEntrySize];
        WriteVtepEntry(v, entry);
        w.Bytes(entry, sizeof entry);
    }
    w.EndTlv(tlv);
    return w.Finish();
}

DpMsg BuildRdListUpdate(uint32_t switchId, const std::vector<UuidBytes>& routingDomains) {
    DpMsgWriter w(kMsgUpdate, kDpMsgHeaderSize + kDpTlvHeaderSize + kRdListHeadSize +
                                  routingDomains.size() * kUuidSize);
    size_t tlv = w.BeginTlv(kDtRdList);
    w.Be32(switchId).U8(0);
    for (const UuidBytes& rd : routingDomains)
        Uuid(w, rd);
    w.EndTlv(tlv);
    return w.Finish();
}

DpMsg BuildQuery(uint16_t dataType, uint32_t switchId, uint32_t vni,
                 const std::vector<uint8_t>& addresses) {
    size_t size = QueryAddressSizeOf(dataType);
    if (size == 0 || addresses.size() % size != 0) {
        CFG_ERROR("VXLAN: cannot build a query of data type %1 from %2 address bytes", dataType,
                  addresses.size());
        return DpMsg();
    }
    DpMsgWriter w(kMsgQuery,
                  kDpMsgHeaderSize + kDpTlvHeaderSize + kListHeadSize + addresses.size());
    size_t tlv = w.BeginTlv(dataType);
    w.Be32(switchId).Be32(vni).Bytes(addresses.data(), addresses.size());
    w.EndTlv(tlv);
    return w.Finish();
}

}  // namespace CfgAgent::vxlan
