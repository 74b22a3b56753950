#include "dataplane/KcpDump.h"

#include <cinttypes>

#include "dataplane/DpFraming.h"
#include "dataplane/KcpProtocol.h"
#include "dataplane/KcpWalk.h"

namespace CfgAgent::kcp {

namespace {

unsigned U(size_t v) {
    return static_cast<unsigned>(v);
}

void DumpProperties(DpDumpText& out, ByteSpan props, const char* indent) {
    bool ok = WalkProperties(props, [&](uint16_t key, ByteSpan v) {
        out.Append("%sProperty: len = %u key = %u\n", indent, U(v.size + kDpTlvHeaderSize), key);
    });
    if (!ok) {
        out.Append("%sProperty: malformed\n", indent);
    }
}

void DumpVifProperties(DpDumpText& out, ByteSpan props) {
    bool ok = WalkProperties(props, [&](uint16_t key, ByteSpan v) {
        unsigned len = U(v.size + kDpTlvHeaderSize);
        switch (key) {
            case kVifPropStatus:
                out.Append("\t\t\tStatus: len = %u status = %s\n", len,
                           v.size >= 1 ? VifStatusName(v.data[0]) : "Invalid");
                break;
            case kVifPropMac:
                out.Append("\t\t\tMAC: len = %u count = %u\n", len, U(v.size / kMacSize));
                for (size_t i = 0; i + kMacSize <= v.size; i += kMacSize) {
                    out.Append("\t\t\t\tmac = %s\n", MacText(v.data + i).c_str());
                }
                break;
            case kVifPropBindings:
                out.Append("\t\t\tDiscovered Bindings: len = %u count = %u\n", len,
                           U(v.size / kBindingSize));
                for (size_t i = 0; i + kBindingSize <= v.size; i += kBindingSize) {
                    const uint8_t* b = v.data + i;
                    out.Append("\t\t\t\tip = %s mac = %s vlan = %u method = %u timestamp = %" PRIu64
                               "\n",
                               AddressText(b[0] != 0, b + 1).c_str(), MacText(b + 17).c_str(),
                               LoadBe16(b + 23), b[25], LoadBe64(b + 26));
                }
                break;
            default:
                out.Append("\t\t\tVIF property: unsupported type %u, len %u\n", key, len);
                break;
        }
    });
    if (!ok) {
        out.Append("\t\t\tVIF property: malformed\n");
    }
}

void DumpIdList(DpDumpText& out, const DpTlv& tlv, size_t width, const char* itemName) {
    out.Append("\t%s: len = %u count = %u\n", UpdateTypeName(tlv.type), tlv.length,
               U(tlv.valueSize / width));
    WalkIdList(ByteSpan{tlv.value, tlv.valueSize}, width,
               [&](const std::string& id) { out.Append("\t\t%s: %s\n", itemName, id.c_str()); });
}

void DumpUpdateElement(DpDumpText& out, const DpTlv& tlv) {
    ByteSpan value{tlv.value, tlv.valueSize};
    uint8_t op = 0;
    bool ok = true;
    switch (tlv.type) {
        case kVifUpdate:
            out.Append("\tVIF Update: len = %u op = %s\n", tlv.length,
                       tlv.valueSize >= 1 ? OperationName(tlv.value[0]) : "Invalid");
            ok = WalkVifUpdate(value, &op, [&](const VifRecord& r) {
                out.Append(
                    "\t\tVIF: len = %u id = %s port = %s switch = %s parent = %s type = %s "
                    "smartnic = %u hopover = %u\n",
                    r.recordLength, r.vifId.c_str(), r.portId.c_str(), r.switchId.c_str(),
                    r.parentVifId.c_str(), VifTypeName(r.vifType), r.smartNic, r.hopover);
                DumpVifProperties(out, r.properties);
            });
            break;
        case kPortPropertyUpdate:
        case kKrnnicPropertyUpdate: {
            bool port = tlv.type == kPortPropertyUpdate;
            out.Append("\t%s: len = %u op = %s\n", UpdateTypeName(tlv.type), tlv.length,
                       tlv.valueSize >= 1 ? OperationName(tlv.value[0]) : "Invalid");
            ok = WalkPropertyRecords(tlv.type, value, &op, [&](const PropertyRecord& r) {
                out.Append("\t\t%s: len = %u id = %s\n", port ? "Port" : "Krnnic", r.recordLength,
                           r.id.c_str());
                DumpProperties(out, r.properties, "\t\t");
            });
            break;
        }
        case kPortListUpdate:
            DumpIdList(out, tlv, kIdSize, "Port");
            break;
        case kKrnnicListUpdate:
            DumpIdList(out, tlv, kKrnnicNameSize, "Krnnic");
            break;
        case kContainerListUpdate:
            DumpIdList(out, tlv, kIdSize, "Container");
            break;
        case kSwxListUpdate:
            DumpIdList(out, tlv, kSwitchIdSize, "SWX");
            break;
        case kSwxPropertyUpdate: {
            SwxRecord r;
            ok = ParseSwxUpdate(value, &r);
            if (ok) {
                out.Append("\tSWX Property Update: len = %u switch = %s op = %s recLen = %u\n",
                           tlv.length, r.switchId.c_str(), OperationName(r.op), r.recordLength);
                DumpProperties(out, r.properties, "\t\t");
            } else {
                out.Append("\tSWX Property Update: len = %u\n", tlv.length);
            }
            break;
        }
        case kContainerUpdate:
            out.Append("\tContainer Update: len = %u\n", tlv.length);
            ok = WalkContainerUpdate(value, [&](const ContainerRecord& r) {
                out.Append(
                    "\t\tContainer: cif = %s port = %s vmPort = %s vmVif = %s vlan = %u "
                    "mac = %s entries = %u\n",
                    r.cifId.c_str(), r.portId.c_str(), r.vmPortId.c_str(), r.vmVifId.c_str(),
                    r.vlan, MacText(r.mac.data()).c_str(), U(r.addresses.size()));
                for (const ContainerAddress& a : r.addresses) {
                    out.Append("\t\t\tip = %s mac = %s\n",
                               AddressText(a.ipv4, a.address.data()).c_str(),
                               MacText(a.mac.data()).c_str());
                }
            });
            break;
        case kPortContainerListUpdate: {
            std::string parent;
            out.Append("\tPort ContainerList Update: len = %u count = %u\n", tlv.length,
                       tlv.valueSize >= kIdSize ? U((tlv.valueSize - kIdSize) / kIdSize) : 0u);
            ok = WalkPortContainerList(value, &parent, [&](const std::string& id) {
                out.Append("\t\tContainer: %s\n", id.c_str());
            });
            if (ok)
                out.Append("\t\tParent VIF: %s\n", parent.c_str());
            break;
        }
        case kUplinkUpdate:
            out.Append("\tUplink Update: len = %u op = %s\n", tlv.length,
                       tlv.valueSize >= 1 ? OperationName(tlv.value[0]) : "Invalid");
            ok = WalkUplinkUpdate(value, &op, [&](const UplinkRecord& r) {
                out.Append("\t\tUplink: port = %s switch = %s client = %s alias = %s\n",
                           r.portId.c_str(), r.switchId.c_str(), r.clientName.c_str(),
                           r.alias.c_str());
            });
            break;
        default:
            out.Append("\tUpdate: unsupported data type %u, len %u\n", tlv.type, tlv.length);
            return;
    }
    if (!ok) {
        out.Append("\t\t%s: malformed record\n", UpdateTypeName(tlv.type));
    }
}

void DumpElements(DpDumpText& out, const KcpMsgView& msg, size_t first) {
    DpTlvWalker walker(msg.data, first, msg.length);
    DpTlv tlv;
    while (!out.Full() && walker.Next(&tlv)) {
        switch (msg.type) {
            case kMsgInit:
                if (tlv.type == kInitMaxMsgLength && tlv.valueSize >= 2) {
                    out.Append("\tMax message length: len = %u value = %u\n", tlv.length,
                               LoadBe16(tlv.value));
                } else {
                    out.Append("\tInit: unsupported data type %u, len %u\n", tlv.type, tlv.length);
                }
                break;
            case kMsgQuery:
                if (tlv.type == kQueryDpStatus) {
                    out.Append("\tDP Status Query: len = %u\n", tlv.length);
                } else {
                    out.Append("\tQuery: unsupported data type %u, len %u\n", tlv.type, tlv.length);
                }
                break;
            case kMsgUpdate:
                DumpUpdateElement(out, tlv);
                break;
            default:
                break;
        }
    }
    if (walker.Malformed()) {
        out.Append("\tmalformed element at offset %u\n", U(walker.Offset()));
    }
}

void DumpNotification(DpDumpText& out, const KcpMsgView& msg) {
    bool ok = WalkNotifications(msg, [&](const Notification& n) {
        unsigned len = U(n.valueSize + kDpTlvHeaderSize);
        if (!n.valid && n.type >= kNotifyDpStatus && n.type <= kNotifyPortContainerHopover) {
            out.Append("\tNotification: invalid data type %u, len %u\n", n.type, len);
            return;
        }
        switch (n.type) {
            case kNotifyDpStatus:
                out.Append("\tDP Status: len = %u status = %s\n", len, DpStatusName(n.status));
                break;
            case kNotifyPortPropOutOfSync:
                out.Append("\tPort Property OutOfSync: len = %u vif = %s\n", len, n.id.c_str());
                break;
            case kNotifyKrnnicPropOutOfSync:
                out.Append("\tKrnnic Property OutOfSync: len = %u krnnic = %s\n", len,
                           n.id.c_str());
                break;
            case kNotifyPortContainerHopover:
                out.Append("\tPort container hopover fullSync: len = %u vif = %s syncType = %s\n",
                           len, n.id.c_str(), HopoverSyncTypeName(n.syncType));
                break;
            default:
                out.Append("\tNotification: unsupported data type %u, len %u\n", n.type, len);
                break;
        }
    });
    if (!ok) {
        out.Append("\tmalformed element\n");
    }
}

void DumpSessionControl(DpDumpText& out, const KcpMsgView& msg) {
    DpTlvWalker walker(msg.data, kFirstTlvOffset, msg.length);
    DpTlv tlv;
    if (!walker.Next(&tlv)) {
        out.Append("\tVIF Session control: malformed\n");
        return;
    }
    if (tlv.type != kSessionControlDataType) {
        out.Append("\tVIF Session control: unsupported data type %u, len %u\n", tlv.type,
                   tlv.length);
        return;
    }
    if (tlv.valueSize < 5) {
        out.Append("\tVIF Session control: len = %u (too short)\n", tlv.length);
        return;
    }
    out.Append("\tVIF Session control: len = %u type = %s sessionID = %u\n", tlv.length,
               ControlTypeName(tlv.value[0]), LoadBe32(tlv.value + 1));
}

}  // namespace

std::string DumpKcpMessage(const uint8_t* msg, size_t available) {
    DpDumpText out(kDumpBufferSize, "KCP Message");
    KcpMsgView view;
    if (!ViewKcpMessage(msg, available, &view)) {
        out.Append("Invalid message length %u, received %u\n",
                   available >= kDpMsgHeaderSize ? DpMsgLength(msg) : 0u, U(available));
        return out.Text();
    }
    switch (view.type) {
        case kMsgInit:
        case kMsgQuery:
            DumpElements(out, view, kFirstTlvOffset);
            break;
        case kMsgUpdate:
            if (view.length <= kUpdateFlagOffset) {
                out.Append("\tUpdate: len = %u (no flag byte)\n", U(view.length));
                break;
            }
            out.Append(
                "\tUpdate: len = %u flag = 0x%02x%s\n", U(view.length),
                view.data[kUpdateFlagOffset],
                (view.data[kUpdateFlagOffset] & kUpdateFragmentFlag) != 0 ? " (fragment)" : "");
            DumpElements(out, view, kUpdateFirstTlvOffset);
            break;
        case kMsgNotification:
            DumpNotification(out, view);
            break;
        case kMsgSessionControl:
            DumpSessionControl(out, view);
            break;
        default:
            out.Append("Unsupported message type %u, len %u\n", view.type, U(view.length));
            break;
    }
    return out.Text();
}

}  // namespace CfgAgent::kcp
