#include "dataplane/VxlanWalk.h"

#include <cstdio>
#include <cstring>

#include "dataplane/KcpWalk.h"

namespace CfgAgent::vxlan {

namespace {

template <size_t N>
std::array<uint8_t, N> ReadBytes(const uint8_t* p) {
    std::array<uint8_t, N> out;
    std::memcpy(out.data(), p, N);
    return out;
}

// The first TLV at byte 4, when it fits.
bool FirstTlv(const MsgView& msg, DpTlv* tlv) {
    DpTlvWalker walker(msg.data, kFirstTlvOffset, msg.length);
    return walker.Next(tlv);
}

EntryList Entries(const uint8_t* data, size_t count, size_t entrySize) {
    EntryList l;
    l.data = data;
    l.count = count;
    l.entrySize = entrySize;
    return l;
}

}  // namespace

bool ViewMessage(const uint8_t* msg, size_t available, MsgView* view) {
    size_t len = DpMsgCheckedLength(msg, available);
    if (len == 0)
        return false;
    view->data = msg;
    view->length = len;
    view->type = DpMsgType(msg);
    return true;
}

// --- fixed layouts ---

bool ParseVniMembership(const MsgView& msg, VniMembership* out) {
    if (msg.length < kVniMembershipSize)
        return false;
    out->switchId = LoadBe32(msg.data + 4);
    out->vni = LoadBe32(msg.data + 8);
    out->op = msg.data[12];
    return true;
}

bool ParseInstanceChange(const MsgView& msg, InstanceChange* out) {
    if (msg.length < kInstanceChangeSize)
        return false;
    out->instanceId = LoadBe32(msg.data + 4);
    out->op = msg.data[8];
    return true;
}

bool ParseNotification(const MsgView& msg, Notification* out) {
    if (msg.length < kNotificationSize)
        return false;
    out->errorCode = LoadBe16(msg.data + 4);
    out->subCode = LoadBe16(msg.data + 6);
    return true;
}

bool ParseLinkChange(const MsgView& msg, LinkChange* out) {
    if (msg.length < kLinkChangeHeadSize ||
        (msg.length - kLinkChangeHeadSize) % kLinkChangeEntrySize != 0) {
        return false;
    }
    out->switchId = LoadBe32(msg.data + 4);
    out->flag = msg.data[8];
    out->vnis.clear();
    for (size_t at = kLinkChangeHeadSize; at < msg.length; at += kLinkChangeEntrySize) {
        const uint8_t* p = msg.data + at;
        out->vnis.push_back(LinkVni{LoadBe32(p), p[4], p[5]});
    }
    return true;
}

bool ParseControllerIp(const MsgView& msg, ControllerIp* out) {
    if (msg.length < kControllerIpSize)
        return false;
    out->switchId = LoadBe32(msg.data + kCtlrSwitchId);
    out->vni = LoadBe32(msg.data + kCtlrVni);
    out->ipv4 = LoadBe32(msg.data + kCtlrIpv4);
    out->addrType = LoadAddrType(msg.data + kCtlrAddrType);
    out->ipv6 = ReadBytes<16>(msg.data + kCtlrIpv6);
    return true;
}

bool ParseGlobalReplication(const MsgView& msg, GlobalReplication* out) {
    if (msg.length < kGlobalReplicationSize)
        return false;
    out->switchId = LoadBe32(msg.data + 4);
    out->mode = msg.data[8];
    return true;
}

bool ParseVtepGroup(const MsgView& msg, VtepGroup* out) {
    if (msg.length < kVtepGroupHeadSize ||
        (msg.length - kVtepGroupHeadSize) % kVtepGroupMemberSize != 0) {
        return false;
    }
    out->label = LoadBe32(msg.data + 4);
    out->op = msg.data[8];
    out->groupType = msg.data[9];
    out->protocol = msg.data[10];
    out->members.clear();
    for (size_t at = kVtepGroupHeadSize; at < msg.length; at += kVtepGroupMemberSize) {
        const uint8_t* p = msg.data + at;
        VtepGroupMember m;
        m.label = LoadBe32(p);
        m.ipv4 = LoadBe32(p + 4);
        m.addrType = LoadAddrType(p + 8);
        m.ipv6 = ReadBytes<16>(p + 12);
        out->members.push_back(m);
    }
    return true;
}

bool ParseLsVtepGroupBinding(const MsgView& msg, LsVtepGroupBinding* out) {
    if (msg.length < kLsVtepGroupBindingSize)
        return false;
    out->switchId = LoadBe32(msg.data + 4);
    out->vni = LoadBe32(msg.data + 8);
    out->label = LoadBe32(msg.data + 12);
    out->op = msg.data[16];
    return true;
}

bool ParseRdVtepGroupBinding(const MsgView& msg, RdVtepGroupBinding* out) {
    if (msg.length < kRdVtepGroupBindingSize)
        return false;
    out->routingDomain = ReadUuid(msg.data + 4);
    out->label = LoadBe32(msg.data + 20);
    out->op = msg.data[24];
    return true;
}

bool ParseRdMembership(const MsgView& msg, RdMembership* out) {
    if (msg.length < kRdMembershipSize)
        return false;
    out->switchId = LoadBe32(msg.data + 4);
    out->routingDomain = ReadUuid(msg.data + 8);
    out->op = msg.data[24];
    out->global = msg.data[25];
    return true;
}

bool ParseRdState(const MsgView& msg, RdState* out) {
    if (!ParseRdMembership(msg, &out->head))
        return false;
    out->removed = EntryList{nullptr, 0, kVtepEntrySize};
    out->added = EntryList{nullptr, 0, kVtepEntrySize};
    if (msg.length == kRdMembershipSize)
        return true;
    if (msg.length < kRdStateHeadSize)
        return false;
    const size_t removed = LoadBe16(msg.data + kRdMembershipSize);
    const size_t rest = msg.length - kRdStateHeadSize;
    if (removed > rest / kVtepEntrySize || (rest - removed * kVtepEntrySize) % kVtepEntrySize != 0)
        return false;
    out->removed = EntryList{msg.data + kRdStateHeadSize, removed, kVtepEntrySize};
    const uint8_t* added = msg.data + kRdStateHeadSize + removed * kVtepEntrySize;
    out->added =
        EntryList{added, (rest - removed * kVtepEntrySize) / kVtepEntrySize, kVtepEntrySize};
    return true;
}

bool ParseTepAlarm(const MsgView& msg, TepAlarm* out) {
    if (msg.length < kTepAlarmSize)
        return false;
    out->nicName = DpFixedString(msg.data + kAlarmNicName, kAlarmNicNameSize);
    out->switchName = DpFixedString(msg.data + kAlarmSwitchName, kAlarmSwitchNameSize);
    out->kind = msg.data[kAlarmKind];
    out->state = msg.data[kAlarmState];
    out->reasons = msg.data[kAlarmReasons];
    return true;
}

// --- single-TLV messages ---

TlvResult ParseSessionControl(const MsgView& msg, SessionControl* out) {
    DpTlv tlv;
    if (!FirstTlv(msg, &tlv))
        return TlvResult::kNoTlv;
    out->dataType = tlv.type;
    out->valueSize = tlv.valueSize;
    if (tlv.valueSize < kSessionControlValueSize)
        return TlvResult::kShortValue;
    out->controlType = tlv.value[0];
    out->sessionId = LoadBe32(tlv.value + 1);
    return TlvResult::kOk;
}

TlvResult ParseStateReport(const MsgView& msg, StateReport* out) {
    DpTlv tlv;
    if (!FirstTlv(msg, &tlv))
        return TlvResult::kNoTlv;
    out->dataType = tlv.type;
    out->valueSize = tlv.valueSize;
    out->outOfSync = tlv.valueSize == 1 ? tlv.value[0] : 0;
    return TlvResult::kOk;
}

// --- TLV lists ---

bool WalkTlvs(const MsgView& msg, const std::function<void(const DpTlv&)>& fn, size_t* failedAt) {
    DpTlvWalker walker(msg.data, kFirstTlvOffset, msg.length);
    DpTlv tlv;
    while (walker.Next(&tlv))
        fn(tlv);
    if (walker.Malformed() && failedAt != nullptr)
        *failedAt = walker.Offset();
    return !walker.Malformed();
}

size_t EntrySizeOf(uint16_t dataType) {
    switch (dataType) {
        case kDtVmIpv4:
            return kVmIpv4EntrySize;
        case kDtVmIpv6:
            return kVmIpv6EntrySize;
        case kDtVmMac:
            return kVmMacEntrySize;
        case kDtVtepMembership:
        case kDtRdVtepMembership:
            return kVtepEntrySize;
        case kDtArpv4:
            return kArpEntrySize;
        case kDtNdv6:
            return kNdEntrySize;
        default:
            return 0;
    }
}

ListResult ParseListUpdate(const DpTlv& tlv, ListUpdate* out) {
    const size_t size = EntrySizeOf(tlv.type);
    if (size == 0)
        return ListResult::kNotAList;
    const uint8_t* v = tlv.value;
    const size_t n = tlv.valueSize;
    *out = ListUpdate{};
    if (tlv.type == kDtRdVtepMembership) {
        if (n < kRdVtepHeadSize)
            return ListResult::kTooShort;
        if ((n - kRdVtepHeadSize) % size != 0)
            return ListResult::kBadLength;
        out->switchId = LoadBe32(v);
        out->added = Entries(v + kRdVtepHeadSize, (n - kRdVtepHeadSize) / size, size);
        out->removed = Entries(v + kRdVtepHeadSize, 0, size);
        return ListResult::kOk;
    }
    if (n < kListHeadSize)
        return ListResult::kTooShort;
    out->switchId = LoadBe32(v);
    out->vni = LoadBe32(v + 4);
    if (tlv.type == kDtArpv4 || tlv.type == kDtNdv6) {
        if ((n - kListHeadSize) % size != 0)
            return ListResult::kBadLength;
        out->removed = Entries(v + kListHeadSize, 0, size);
        out->added = Entries(v + kListHeadSize, (n - kListHeadSize) / size, size);
        return ListResult::kOk;
    }
    if (n < kCountedHeadSize)
        return ListResult::kTooShort;
    // Counts are checked against the value before any entry is read: the removed part must fit,
    // and what follows must be exactly the added part.
    const size_t removed = LoadBe16(v + 8);
    const size_t afterHead = n - kCountedHeadSize;
    if (removed > afterHead / size)
        return ListResult::kBadLength;
    const uint8_t* rest = v + kCountedHeadSize + removed * size;
    size_t restSize = afterHead - removed * size;
    out->removed = Entries(v + kCountedHeadSize, removed, size);
    if (tlv.type == kDtVtepMembership) {
        if (restSize < 2)
            return ListResult::kBadLength;
        const size_t added = LoadBe16(rest);
        if (restSize - 2 != added * size)
            return ListResult::kBadLength;
        out->added = Entries(rest + 2, added, size);
        return ListResult::kOk;
    }
    if (restSize % size != 0)
        return ListResult::kBadLength;
    out->added = Entries(rest, restSize / size, size);
    return ListResult::kOk;
}

size_t QueryAddressSizeOf(uint16_t dataType) {
    switch (dataType) {
        case kDtVmMac:
            return kMacSize;
        case kDtArpv4:
            return 4;
        case kDtNdv6:
            return 16;
        default:
            return 0;
    }
}

ListResult ParseQuery(const DpTlv& tlv, ListUpdate* out) {
    const size_t size = QueryAddressSizeOf(tlv.type);
    if (size == 0)
        return ListResult::kNotAList;
    *out = ListUpdate{};
    if (tlv.valueSize < kListHeadSize)
        return ListResult::kTooShort;
    out->switchId = LoadBe32(tlv.value);
    out->vni = LoadBe32(tlv.value + 4);
    out->removed = Entries(tlv.value + kListHeadSize, 0, size);
    out->added = Entries(tlv.value + kListHeadSize, (tlv.valueSize - kListHeadSize) / size, size);
    return ListResult::kOk;
}

bool ParseRdList(const DpTlv& tlv, uint32_t* switchId, EntryList* uuids) {
    if (tlv.type != kDtRdList || tlv.valueSize < kRdListHeadSize ||
        (tlv.valueSize - kRdListHeadSize) % kUuidSize != 0) {
        return false;
    }
    *switchId = LoadBe32(tlv.value);
    *uuids = Entries(tlv.value + kRdListHeadSize, (tlv.valueSize - kRdListHeadSize) / kUuidSize,
                     kUuidSize);
    return true;
}

bool ParseVifUpdate(const DpTlv& tlv, uint8_t* status, EntryList* vifIds) {
    if (tlv.type != kDtVif || tlv.valueSize < kVifStatusSize ||
        (tlv.valueSize - kVifStatusSize) % kVifIdSize != 0) {
        return false;
    }
    *status = tlv.value[0];
    *vifIds = Entries(tlv.value + kVifStatusSize, (tlv.valueSize - kVifStatusSize) / kVifIdSize,
                      kVifIdSize);
    return true;
}

size_t ConfigureValueSizeOf(uint16_t item) {
    switch (item) {
        case kCfgMaxMsgLength:
        case kCfgFreqCtrlPeriod:
        case kCfgFreqCtrlQueryLimit:
        case kCfgFreqCtrlUpdateLimit:
        case kCfgBteAgeingTime:
        case kCfgArpAgeingTime:
            return kCfgSettingValueSize;
        case kCfgMulticastProxy:
        case kCfgArpProxy:
            return kCfgProxyValueSize;
        case kCfgRoutingDomainId:
            return kCfgRoutingDomainValueSize;
        case kCfgMacLimit:
            return kCfgMacLimitValueSize;
        case kCfgBfd:
            return kCfgBfdValueSize;
        case kCfgEvpnGlobalBfd:
            return kCfgEvpnBfdValueSize;
        default:
            return 0;
    }
}

namespace {

bool AllZero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != 0)
            return false;
    }
    return true;
}

}  // namespace

bool ParseBfdSession(const DpTlv& tlv, BfdSession* out) {
    if (tlv.type != kDtBfdSession || tlv.valueSize != kBfdSessionValueSize)
        return false;
    const uint8_t* e = tlv.value + kBfdSessionEntry;
    const uint16_t op = LoadBe16(tlv.value + kBfdSessionOp);
    const uint8_t family = e[kBfdFamily];
    if ((op != kBfdSessionAdd && op != kBfdSessionRemove) ||
        (family != kBfdFamilyIpv4 && family != kBfdFamilyIpv6)) {
        return false;
    }
    if (family == kBfdFamilyIpv4 &&
        (!AllZero(e + kBfdLocalIp + 4, 12) || !AllZero(e + kBfdRemoteIp + 4, 12))) {
        return false;
    }
    *out = BfdSession{};
    out->switchId = LoadBe32(tlv.value + kBfdSessionSwitchId);
    out->op = op;
    out->family = family;
    std::memcpy(out->local.data(), e + kBfdLocalIp, 16);
    std::memcpy(out->remote.data(), e + kBfdRemoteIp, 16);
    out->vni = LoadBe32(e + kBfdVni);
    out->routingDomain = ReadUuid(e + kBfdRoutingDomain);
    out->groupLabel = LoadBe32(e + kBfdGroupLabel);
    std::memcpy(out->entry.data(), e, kBfdSessionEntrySize);
    return true;
}

bool ParseBfdConfigItem(const DpTlv& tlv, BfdConfigItem* out) {
    if (tlv.type != kCfgBfd || tlv.valueSize != kCfgBfdValueSize)
        return false;
    const uint8_t* v = tlv.value;
    const uint8_t* text = v + kBfdCfgDvsUuid;
    const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(text, 0, kBfdCfgDvsUuidSize));
    const size_t textLen = nul == nullptr ? kBfdCfgDvsUuidSize : static_cast<size_t>(nul - text);
    if (!AllZero(text + textLen, kBfdCfgDvsUuidSize - textLen) ||
        (v[kBfdCfgFlags] & ~(kBfdCfgHasEnable | kBfdCfgHasInterval | kBfdCfgHasLatency)) != 0 ||
        !AllZero(v + kBfdCfgEnable + 1, kBfdCfgInterval - kBfdCfgEnable - 1) ||
        !AllZero(v + kBfdCfgInterval + 4, kCfgBfdValueSize - kBfdCfgInterval - 4)) {
        return false;
    }
    *out = BfdConfigItem{};
    out->dvsUuid.assign(reinterpret_cast<const char*>(text), textLen);
    out->latencyEnable = v[kBfdCfgLatency];
    out->flags = v[kBfdCfgFlags];
    out->enable = v[kBfdCfgEnable];
    out->healthInterval = LoadBe32(v + kBfdCfgInterval);
    return true;
}

bool ParseEvpnBfdItem(const DpTlv& tlv, EvpnBfdItem* out) {
    if (tlv.type != kCfgEvpnGlobalBfd || tlv.valueSize != kCfgEvpnBfdValueSize)
        return false;
    const uint8_t* v = tlv.value;
    if (!AllZero(v + kEvpnBfdType, 4) ||
        (v[kEvpnBfdFlags] & ~(kEvpnBfdHasEnable | kEvpnBfdHasInterval | kEvpnBfdHasMultiplier)) !=
            0 ||
        !AllZero(v + kEvpnBfdEnable + 1, kEvpnBfdInterval - kEvpnBfdEnable - 1) ||
        !AllZero(v + kEvpnBfdMultiplier + 4, kCfgEvpnBfdValueSize - kEvpnBfdMultiplier - 4)) {
        return false;
    }
    *out = EvpnBfdItem{};
    out->flags = v[kEvpnBfdFlags];
    out->enable = v[kEvpnBfdEnable];
    out->healthInterval = LoadBe32(v + kEvpnBfdInterval);
    out->multiplier = LoadBe32(v + kEvpnBfdMultiplier);
    return true;
}

bool ParseSwitchItem(const DpTlv& tlv, SwitchItem* out) {
    if (tlv.type != kCfgMulticastProxy && tlv.type != kCfgArpProxy &&
        tlv.type != kCfgRoutingDomainId && tlv.type != kCfgMacLimit) {
        return false;
    }
    if (tlv.valueSize != ConfigureValueSizeOf(tlv.type))
        return false;
    *out = SwitchItem{};
    out->switchId = LoadBe32(tlv.value);
    out->vni = LoadBe32(tlv.value + 4);
    if (tlv.type == kCfgRoutingDomainId) {
        out->routingDomain = ReadUuid(tlv.value + 8);
    } else if (tlv.type == kCfgMacLimit) {
        out->value = LoadBe32(tlv.value + 8);
    } else {
        out->value = tlv.value[8];
    }
    return true;
}

// --- entries ---

VtepEntry ReadVtepEntry(const uint8_t* p) {
    VtepEntry e;
    e.ipv4 = LoadBe32(p + kVtepIpv4);
    e.label = LoadBe32(p + kVtepLabel);
    e.segmentV4 = LoadBe32(p + kVtepSegmentV4);
    e.mac = ReadBytes<6>(p + kVtepMac);
    e.encap = p[kVtepEncap];
    e.mtep = p[kVtepMtep];
    e.flag = p[kVtepFlag];
    e.addrType = LoadAddrType(p + kVtepAddrType);
    e.ipv6 = ReadBytes<16>(p + kVtepIpv6);
    e.segmentV6 = ReadBytes<16>(p + kVtepSegmentV6);
    return e;
}

VmMacEntry ReadVmMacEntry(const uint8_t* p) {
    VmMacEntry e;
    e.vmMac = ReadBytes<6>(p + kMacVmMac);
    e.vtepMac = ReadBytes<6>(p + kMacVtepMac);
    e.vtepIpv4 = LoadBe32(p + kMacVtepIpv4);
    e.addrType = LoadAddrType(p + kMacAddrType);
    e.vtepIpv6 = ReadBytes<16>(p + kMacVtepIpv6);
    return e;
}

VmIpEntry ReadVmIpEntry(uint16_t dataType, const uint8_t* p) {
    VmIpEntry e;
    if (dataType == kDtVmIpv6) {
        e.ipv6 = ReadBytes<16>(p);
        e.mac = ReadBytes<6>(p + 16);
    } else {
        e.ipv4 = LoadBe32(p);
        e.mac = ReadBytes<6>(p + 4);
    }
    return e;
}

ArpEntry ReadArpEntry(const uint8_t* p) {
    ArpEntry e;
    e.vmIpv4 = LoadBe32(p + kArpVmIpv4);
    e.vtepIpv4 = LoadBe32(p + kArpVtepIpv4);
    e.vmMac = ReadBytes<6>(p + kArpVmMac);
    e.vtepMac = ReadBytes<6>(p + kArpVtepMac);
    e.addrType = LoadAddrType(p + kArpAddrType);
    e.vtepIpv6 = ReadBytes<16>(p + kArpVtepIpv6);
    return e;
}

NdEntry ReadNdEntry(const uint8_t* p) {
    NdEntry e;
    e.vmIpv6 = ReadBytes<16>(p + kNdVmIpv6);
    e.vtepIpv4 = LoadBe32(p + kNdVtepIpv4);
    e.vmMac = ReadBytes<6>(p + kNdVmMac);
    e.vtepMac = ReadBytes<6>(p + kNdVtepMac);
    e.addrType = LoadAddrType(p + kNdAddrType);
    e.vtepIpv6 = ReadBytes<16>(p + kNdVtepIpv6);
    return e;
}

UuidBytes ReadUuid(const uint8_t* p) {
    return ReadBytes<16>(p);
}

std::string Ipv4Text(uint32_t address) {
    uint8_t b[4];
    StoreBe32(b, address);
    return kcp::AddressText(true, b);
}

std::string Ipv6Text(const uint8_t* address) {
    return kcp::AddressText(false, address);
}

std::string VtepAddressText(uint32_t addrType, uint32_t ipv4, const Ipv6Addr& ipv6) {
    switch (addrType) {
        case kAddrIpv4:
            return Ipv4Text(ipv4);
        case kAddrIpv6:
            return Ipv6Text(ipv6.data());
        case kAddrBoth:
            return Ipv4Text(ipv4) + "," + Ipv6Text(ipv6.data());
        default:
            return "addrType " + std::to_string(addrType);
    }
}

std::string UuidText(const UuidBytes& u) {
    char buf[40];
    std::snprintf(buf, sizeof buf,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0],
                  u[1], u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13],
                  u[14], u[15]);
    return buf;
}

}  // namespace CfgAgent::vxlan
