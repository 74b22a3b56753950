#include "dataplane/VxlanDump.h"

#include "dataplane/DpFraming.h"
#include "dataplane/KcpWalk.h"
#include "dataplane/VxlanProtocol.h"
#include "dataplane/VxlanWalk.h"

namespace CfgAgent::vxlan {

namespace {

using kcp::MacText;

unsigned U(size_t v) {
    return static_cast<unsigned>(v);
}

void DumpEntry(DpDumpText& out, uint16_t dataType, const char* what, const uint8_t* p) {
    switch (dataType) {
        case kDtVmIpv4:
        case kDtVmIpv6: {
            VmIpEntry e = ReadVmIpEntry(dataType, p);
            out.Append(
                "\t\t%s: ip = %s mac = %s\n", what,
                dataType == kDtVmIpv4 ? Ipv4Text(e.ipv4).c_str() : Ipv6Text(e.ipv6.data()).c_str(),
                MacText(e.mac.data()).c_str());
            break;
        }
        case kDtVmMac: {
            VmMacEntry e = ReadVmMacEntry(p);
            out.Append("\t\t%s: mac = %s vtepMac = %s vtep = %s\n", what,
                       MacText(e.vmMac.data()).c_str(), MacText(e.vtepMac.data()).c_str(),
                       VtepAddressText(e.addrType, e.vtepIpv4, e.vtepIpv6).c_str());
            break;
        }
        case kDtVtepMembership:
        case kDtRdVtepMembership: {
            VtepEntry e = ReadVtepEntry(p);
            out.Append("\t\t%s: vtep = %s label = %u mac = %s encap = %s mtep = %u flag = %u\n",
                       what, VtepAddressText(e.addrType, e.ipv4, e.ipv6).c_str(), e.label,
                       MacText(e.mac.data()).c_str(), EncapName(e.encap), e.mtep, e.flag);
            break;
        }
        case kDtArpv4: {
            ArpEntry e = ReadArpEntry(p);
            out.Append("\t\t%s: ip = %s mac = %s vtep = %s\n", what, Ipv4Text(e.vmIpv4).c_str(),
                       MacText(e.vmMac.data()).c_str(),
                       VtepAddressText(e.addrType, e.vtepIpv4, e.vtepIpv6).c_str());
            break;
        }
        case kDtNdv6: {
            NdEntry e = ReadNdEntry(p);
            out.Append("\t\t%s: ip = %s mac = %s vtep = %s\n", what,
                       Ipv6Text(e.vmIpv6.data()).c_str(), MacText(e.vmMac.data()).c_str(),
                       VtepAddressText(e.addrType, e.vtepIpv4, e.vtepIpv6).c_str());
            break;
        }
        default:
            break;
    }
}

void DumpUpdateTlv(DpDumpText& out, const DpTlv& tlv) {
    ListUpdate l;
    switch (ParseListUpdate(tlv, &l)) {
        case ListResult::kOk:
            out.Append("\t%s: len = %u switchID = %u vni = %u removed = %u added = %u\n",
                       DataTypeName(tlv.type), tlv.length, l.switchId, l.vni, U(l.removed.count),
                       U(l.added.count));
            for (size_t i = 0; i < l.removed.count && !out.Full(); ++i)
                DumpEntry(out, tlv.type, "del", l.removed[i]);
            for (size_t i = 0; i < l.added.count && !out.Full(); ++i)
                DumpEntry(out, tlv.type, "add", l.added[i]);
            return;
        case ListResult::kTooShort:
        case ListResult::kBadLength:
            out.Append("\t%s: len = %u (invalid length)\n", DataTypeName(tlv.type), tlv.length);
            return;
        case ListResult::kNotAList:
            break;
    }
    uint32_t switchId = 0;
    EntryList list;
    uint8_t status = 0;
    if (tlv.type == kDtRdList && ParseRdList(tlv, &switchId, &list)) {
        out.Append("\t%s: len = %u switchID = %u count = %u\n", DataTypeName(tlv.type), tlv.length,
                   switchId, U(list.count));
        for (size_t i = 0; i < list.count && !out.Full(); ++i)
            out.Append("\t\trouting domain = %s\n", UuidText(ReadUuid(list[i])).c_str());
    } else if (tlv.type == kDtVif && ParseVifUpdate(tlv, &status, &list)) {
        out.Append("\t%s: len = %u status = %s count = %u\n", DataTypeName(tlv.type), tlv.length,
                   status == 1 ? "Connected" : "Disconnected", U(list.count));
        for (size_t i = 0; i < list.count && !out.Full(); ++i)
            out.Append("\t\tvif = %s\n", DpFixedString(list[i], kVifIdSize).c_str());
    } else {
        out.Append("\tUpdate: unsupported data type %u, len %u\n", tlv.type, tlv.length);
    }
}

void DumpQueryTlv(DpDumpText& out, const DpTlv& tlv) {
    ListUpdate l;
    if (ParseQuery(tlv, &l) != ListResult::kOk) {
        out.Append("\tQuery: unsupported data type %u, len %u\n", tlv.type, tlv.length);
        return;
    }
    out.Append("\tQuery %s: len = %u switchID = %u vni = %u count = %u\n", DataTypeName(tlv.type),
               tlv.length, l.switchId, l.vni, U(l.added.count));
    for (size_t i = 0; i < l.added.count && !out.Full(); ++i) {
        const uint8_t* a = l.added[i];
        std::string text = tlv.type == kDtVmMac   ? MacText(a)
                           : tlv.type == kDtArpv4 ? Ipv4Text(LoadBe32(a))
                                                  : Ipv6Text(a);
        out.Append("\t\taddress = %s\n", text.c_str());
    }
}

void DumpConfigureTlv(DpDumpText& out, const DpTlv& tlv) {
    SwitchItem s;
    if (ConfigureValueSizeOf(tlv.type) == kCfgSettingValueSize &&
        tlv.valueSize == kCfgSettingValueSize) {
        out.Append("\t%s: len = %u value = %u\n", ConfigureItemName(tlv.type), tlv.length,
                   LoadBe16(tlv.value));
    } else if (ParseSwitchItem(tlv, &s)) {
        if (tlv.type == kCfgRoutingDomainId) {
            out.Append("\t%s: len = %u switchID = %u vni = %u rd = %s\n",
                       ConfigureItemName(tlv.type), tlv.length, s.switchId, s.vni,
                       UuidText(s.routingDomain).c_str());
        } else {
            out.Append("\t%s: len = %u switchID = %u vni = %u value = %u\n",
                       ConfigureItemName(tlv.type), tlv.length, s.switchId, s.vni, s.value);
        }
    } else {
        out.Append("\tConfigure: item %u (%s), len %u\n", tlv.type, ConfigureItemName(tlv.type),
                   tlv.length);
    }
}

void DumpTlvs(DpDumpText& out, const MsgView& msg) {
    out.Append("\t%s: len = %u\n", MsgTypeName(msg.type), U(msg.length));
    bool ok = WalkTlvs(msg, [&](const DpTlv& tlv) {
        if (out.Full())
            return;
        switch (msg.type) {
            case kMsgUpdate:
                DumpUpdateTlv(out, tlv);
                break;
            case kMsgQuery:
                DumpQueryTlv(out, tlv);
                break;
            case kMsgConfigure:
                DumpConfigureTlv(out, tlv);
                break;
            default:
                out.Append("\tTLV: type %u, len %u\n", tlv.type, tlv.length);
                break;
        }
    });
    if (!ok)
        out.Append("\tmalformed TLV\n");
}

void DumpFixed(DpDumpText& out, const MsgView& msg) {
    const char* name = MsgTypeName(msg.type);
    const unsigned len = U(msg.length);
    bool ok = true;
    switch (msg.type) {
        case kMsgVniMembership: {
            VniMembership m;
            if ((ok = ParseVniMembership(msg, &m)))
                out.Append("\t%s: len = %u switchID = %u vni = %u op = %s\n", name, len, m.switchId,
                           m.vni, m.Join() ? "join" : "leave");
            break;
        }
        case kMsgInstanceChange: {
            InstanceChange m;
            if ((ok = ParseInstanceChange(msg, &m)))
                out.Append("\t%s: len = %u instance = %u op = %s\n", name, len, m.instanceId,
                           m.Insert() ? "insert" : "remove");
            break;
        }
        case kMsgNotification: {
            Notification m;
            if ((ok = ParseNotification(msg, &m)))
                out.Append("\t%s: len = %u error = %u sub = %u\n", name, len, m.errorCode,
                           m.subCode);
            break;
        }
        case kMsgLinkChange: {
            LinkChange m;
            if ((ok = ParseLinkChange(msg, &m))) {
                out.Append("\t%s: len = %u switchID = %u flag = %u count = %u\n", name, len,
                           m.switchId, m.flag, U(m.vnis.size()));
                for (const LinkVni& v : m.vnis)
                    out.Append("\t\tvni = %u mcastProxy = %u arpProxy = %u\n", v.vni,
                               v.multicastProxy, v.arpProxy);
            }
            break;
        }
        case kMsgControllerIp: {
            ControllerIp m;
            if ((ok = ParseControllerIp(msg, &m)))
                out.Append("\t%s: len = %u switchID = %u vni = %u ipv4 = %s ipv6 = %s type = %u\n",
                           name, len, m.switchId, m.vni, Ipv4Text(m.ipv4).c_str(),
                           Ipv6Text(m.ipv6.data()).c_str(), m.addrType);
            break;
        }
        case kMsgGlobalReplication: {
            GlobalReplication m;
            if ((ok = ParseGlobalReplication(msg, &m)))
                out.Append("\t%s: len = %u switchID = %u mode = %u\n", name, len, m.switchId,
                           m.mode);
            break;
        }
        case kMsgVtepGroup: {
            VtepGroup m;
            if ((ok = ParseVtepGroup(msg, &m))) {
                out.Append("\t%s: len = %u label = %u op = %u type = %u protocol = %u count = %u\n",
                           name, len, m.label, m.op, m.groupType, m.protocol, U(m.members.size()));
                for (const VtepGroupMember& v : m.members)
                    out.Append("\t\tlabel = %u vtep = %s\n", v.label,
                               VtepAddressText(v.addrType, v.ipv4, v.ipv6).c_str());
            }
            break;
        }
        case kMsgLsVtepGroupBinding: {
            LsVtepGroupBinding m;
            if ((ok = ParseLsVtepGroupBinding(msg, &m)))
                out.Append("\t%s: len = %u switchID = %u vni = %u label = %u op = %u\n", name, len,
                           m.switchId, m.vni, m.label, m.op);
            break;
        }
        case kMsgRdVtepGroupBinding: {
            RdVtepGroupBinding m;
            if ((ok = ParseRdVtepGroupBinding(msg, &m)))
                out.Append("\t%s: len = %u rd = %s label = %u op = %u\n", name, len,
                           UuidText(m.routingDomain).c_str(), m.label, m.op);
            break;
        }
        case kMsgRdMembership: {
            RdState m;
            if ((ok = ParseRdState(msg, &m))) {
                out.Append("\t%s: len = %u switchID = %u rd = %s op = %s global = %u\n", name, len,
                           m.head.switchId, UuidText(m.head.routingDomain).c_str(),
                           m.head.op == kOpJoin ? "join" : "leave", m.head.global);
                for (size_t i = 0; i < m.removed.count + m.added.count; ++i) {
                    const bool removed = i < m.removed.count;
                    VtepEntry v =
                        ReadVtepEntry(removed ? m.removed[i] : m.added[i - m.removed.count]);
                    out.Append("\t\t%s vtep = %s label = %u\n", removed ? "removed" : "added",
                               VtepAddressText(v.addrType, v.ipv4, v.ipv6).c_str(), v.label);
                }
            }
            break;
        }
        case kMsgTepAlarm: {
            TepAlarm m;
            if ((ok = ParseTepAlarm(msg, &m)))
                out.Append(
                    "\t%s: len = %u nic = %s switch = %s kind = %s state = %s reasons = 0x%02x\n",
                    name, len, m.nicName.c_str(), m.switchName.c_str(), AlarmKindName(m.kind),
                    TepStateName(m.state), m.reasons);
            break;
        }
        default:
            out.Append("Unsupported message type %u, len %u\n", msg.type, len);
            return;
    }
    if (!ok)
        out.Append("\t%s: len = %u (invalid length)\n", name, len);
}

void DumpSingleTlv(DpDumpText& out, const MsgView& msg) {
    const char* name = MsgTypeName(msg.type);
    if (msg.type == kMsgSessionControl) {
        SessionControl sc;
        switch (ParseSessionControl(msg, &sc)) {
            case TlvResult::kOk:
                out.Append("\t%s: len = %u dataType = %u type = %s sessionID = %u\n", name,
                           U(msg.length), sc.dataType, ControlTypeName(sc.controlType),
                           sc.sessionId);
                return;
            case TlvResult::kShortValue:
                out.Append("\t%s: len = %u (value of %u bytes)\n", name, U(msg.length),
                           U(sc.valueSize));
                return;
            case TlvResult::kNoTlv:
                break;
        }
    } else {
        StateReport r;
        if (ParseStateReport(msg, &r) == TlvResult::kOk) {
            out.Append("\t%s: len = %u dataType = %u valueLen = %u outOfSync = %u\n", name,
                       U(msg.length), r.dataType, U(r.valueSize), r.outOfSync);
            return;
        }
    }
    out.Append("\t%s: len = %u (malformed TLV)\n", name, U(msg.length));
}

}  // namespace

std::string DumpVxlanMessage(const uint8_t* msg, size_t available) {
    DpDumpText out(kDumpBufferSize, "VXLAN Message");
    MsgView view;
    if (!ViewMessage(msg, available, &view)) {
        out.Append("Invalid message length %u, received %u\n",
                   available >= kDpMsgHeaderSize ? DpMsgLength(msg) : 0u, U(available));
        return out.Text();
    }
    switch (view.type) {
        case kMsgInit:
        case kMsgConfigure:
        case kMsgUpdate:
        case kMsgQuery:
            DumpTlvs(out, view);
            break;
        case kMsgSessionControl:
        case kMsgStateReport:
        case kMsgStateQuery:
            DumpSingleTlv(out, view);
            break;
        default:
            DumpFixed(out, view);
            break;
    }
    return out.Text();
}

}  // namespace CfgAgent::vxlan
