#include "dataplane/KcpWalk.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "dataplane/KcpProtocol.h"

namespace CfgAgent::kcp {

bool ViewKcpMessage(const uint8_t* msg, size_t available, KcpMsgView* view) {
    size_t len = DpMsgCheckedLength(msg, available);
    if (len == 0) {
        return false;
    }
    view->data = msg;
    view->length = len;
    view->type = DpMsgType(msg);
    return true;
}

bool ParseSessionControl(const KcpMsgView& msg, SessionControl* out) {
    DpTlvWalker walker(msg.data, kFirstTlvOffset, msg.length);
    DpTlv tlv;
    if (!walker.Next(&tlv)) {
        return false;
    }
    out->dataType = tlv.type;
    if (tlv.valueSize < 5) {
        return false;
    }
    out->controlType = tlv.value[0];
    out->sessionId = LoadBe32(tlv.value + 1);
    return true;
}

std::optional<uint16_t> ParseInitMaxMsgLength(const KcpMsgView& msg) {
    DpTlvWalker walker(msg.data, kFirstTlvOffset, msg.length);
    DpTlv tlv;
    while (walker.Next(&tlv)) {
        if (tlv.type == kInitMaxMsgLength && tlv.valueSize == 2) {
            return LoadBe16(tlv.value);
        }
    }
    return std::nullopt;
}

bool WalkNotifications(const KcpMsgView& msg, const std::function<void(const Notification&)>& fn) {
    DpTlvWalker walker(msg.data, kFirstTlvOffset, msg.length);
    DpTlv tlv;
    while (walker.Next(&tlv)) {
        Notification n;
        n.type = tlv.type;
        n.value = tlv.value;
        n.valueSize = tlv.valueSize;
        switch (tlv.type) {
            case kNotifyDpStatus:
                n.valid = tlv.valueSize >= 1;
                if (n.valid)
                    n.status = tlv.value[0];
                break;
            case kNotifyPortPropOutOfSync:
                n.valid = tlv.valueSize >= 1;
                if (n.valid)
                    n.id = DpFixedString(tlv.value, std::min(tlv.valueSize, kIdSize));
                break;
            case kNotifyKrnnicPropOutOfSync:
                n.valid = tlv.valueSize >= 1;
                if (n.valid) {
                    n.id = DpFixedString(tlv.value, std::min(tlv.valueSize, kKrnnicNameSize));
                }
                break;
            case kNotifyPortContainerHopover:
                n.valid = tlv.valueSize >= kHopoverValueSize;
                if (n.valid) {
                    n.id = DpFixedString(tlv.value, kIdSize);
                    n.syncType = LoadBe16(tlv.value + kIdSize);
                }
                break;
            default:
                break;
        }
        fn(n);
    }
    return !walker.Malformed();
}

bool CheckUpdate(const KcpMsgView& msg, UpdateView* out) {
    if (msg.length < kUpdateFirstTlvOffset + 1) {
        return false;
    }
    if (msg.length - kUpdateFirstTlvOffset < kDpTlvHeaderSize) {
        return false;
    }
    uint16_t firstLen = LoadBe16(msg.data + kUpdateFirstTlvOffset + 2);
    if (firstLen < kDpTlvHeaderSize || firstLen > msg.length - kUpdateFirstTlvOffset) {
        return false;
    }
    out->flags = msg.data[kUpdateFlagOffset];
    out->fragment = (out->flags & kUpdateFragmentFlag) != 0;
    out->firstTlv = kUpdateFirstTlvOffset;
    return true;
}

bool WalkProperties(ByteSpan props, const std::function<void(uint16_t key, ByteSpan value)>& fn) {
    DpTlvWalker walker(props.data, 0, props.size);
    DpTlv tlv;
    while (walker.Next(&tlv)) {
        fn(tlv.type, ByteSpan{tlv.value, tlv.valueSize});
    }
    return !walker.Malformed();
}

bool WalkVifUpdate(ByteSpan value, uint8_t* op, const std::function<void(const VifRecord&)>& fn) {
    if (value.size < 1) {
        return false;
    }
    *op = value.data[0];
    size_t pos = 1;
    while (pos < value.size) {
        size_t left = value.size - pos;
        if (left < kVifFixedSize) {
            return false;
        }
        const uint8_t* p = value.data + pos;
        uint16_t recLen = LoadBe16(p + kVifRecordLengthOffset);
        if (recLen < kVifFixedSize || recLen > left) {
            return false;
        }
        VifRecord r;
        r.vifId = DpFixedString(p, kIdSize);
        r.portId = DpFixedString(p + 48, kIdSize);
        r.switchId = DpFixedString(p + 96, kSwitchIdSize);
        r.parentVifId = DpFixedString(p + 160, kIdSize);
        r.vifType = p[208];
        r.smartNic = p[209];
        r.hopover = p[210];
        r.recordLength = recLen;
        r.properties = ByteSpan{p + kVifFixedSize, recLen - kVifFixedSize};
        fn(r);
        pos += recLen;
    }
    return true;
}

bool ParseVifProperties(ByteSpan props, VifProperties* out) {
    return WalkProperties(props, [out](uint16_t key, ByteSpan v) {
        switch (key) {
            case kVifPropStatus:
                if (v.size >= 1)
                    out->status = v.data[0];
                break;
            case kVifPropMac:
                for (size_t i = 0; i + kMacSize <= v.size; i += kMacSize) {
                    MacAddr m;
                    std::memcpy(m.data(), v.data + i, kMacSize);
                    out->macs.push_back(m);
                }
                break;
            case kVifPropBindings:
                for (size_t i = 0; i + kBindingSize <= v.size; i += kBindingSize) {
                    const uint8_t* b = v.data + i;
                    Binding bind;
                    bind.ipv4 = b[0] != 0;
                    std::memcpy(bind.address.data(), b + 1, 16);
                    std::memcpy(bind.mac.data(), b + 17, kMacSize);
                    bind.vlan = LoadBe16(b + 23);
                    bind.method = b[25];
                    bind.timestamp = LoadBe64(b + 26);
                    out->bindings.push_back(bind);
                }
                break;
            default:
                out->unknownTypes.push_back(key);
                break;
        }
    });
}

bool WalkPropertyRecords(uint16_t updateType, ByteSpan value, uint8_t* op,
                         const std::function<void(const PropertyRecord&)>& fn) {
    const size_t idWidth = updateType == kKrnnicPropertyUpdate ? kKrnnicNameSize : kIdSize;
    const size_t head = idWidth + 2;
    if (value.size < 1) {
        return false;
    }
    *op = value.data[0];
    size_t pos = 1;
    while (pos < value.size) {
        size_t left = value.size - pos;
        if (left < head) {
            return false;
        }
        const uint8_t* p = value.data + pos;
        uint16_t recLen = LoadBe16(p + idWidth);
        if (recLen < head || recLen > left) {
            return false;
        }
        PropertyRecord r;
        r.id = DpFixedString(p, idWidth);
        r.recordLength = recLen;
        r.properties = ByteSpan{p + head, recLen - head};
        fn(r);
        pos += recLen;
    }
    return true;
}

bool ParseSwxUpdate(ByteSpan value, SwxRecord* out) {
    if (value.size < kSwxHeadSize) {
        return false;
    }
    uint16_t recLen = LoadBe16(value.data + kSwitchIdSize + 1);
    if (recLen < kSwxHeadSize || recLen > value.size) {
        return false;
    }
    out->switchId = DpFixedString(value.data, kSwitchIdSize);
    out->op = value.data[kSwitchIdSize];
    out->recordLength = recLen;
    out->properties = ByteSpan{value.data + kSwxHeadSize, recLen - kSwxHeadSize};
    return true;
}

bool WalkIdList(ByteSpan value, size_t width, const std::function<void(const std::string&)>& fn) {
    if (width == 0) {
        return false;
    }
    for (size_t pos = 0; pos + width <= value.size; pos += width) {
        fn(DpFixedString(value.data + pos, width));
    }
    return true;
}

bool WalkPortContainerList(ByteSpan value, std::string* parentVifId,
                           const std::function<void(const std::string&)>& fn) {
    if (value.size < kIdSize) {
        return false;
    }
    *parentVifId = DpFixedString(value.data, kIdSize);
    return WalkIdList(ByteSpan{value.data + kIdSize, value.size - kIdSize}, kIdSize, fn);
}

bool WalkContainerUpdate(ByteSpan value, const std::function<void(const ContainerRecord&)>& fn) {
    size_t pos = 0;
    while (pos < value.size) {
        size_t left = value.size - pos;
        if (left < kContainerFixedSize) {
            return false;
        }
        const uint8_t* p = value.data + pos;
        size_t count = LoadBe16(p + 200);
        size_t recLen = kContainerFixedSize + kContainerEntrySize * count;
        if (recLen > left) {
            return false;
        }
        ContainerRecord r;
        r.cifId = DpFixedString(p, kIdSize);
        r.portId = DpFixedString(p + 48, kIdSize);
        r.vmPortId = DpFixedString(p + 96, kIdSize);
        r.vmVifId = DpFixedString(p + 144, kIdSize);
        r.vlan = LoadBe16(p + 192);
        std::memcpy(r.mac.data(), p + 194, kMacSize);
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* e = p + kContainerFixedSize + i * kContainerEntrySize;
            ContainerAddress a;
            a.ipv4 = e[0] != 0;
            std::memcpy(a.address.data(), e + 1, 16);
            std::memcpy(a.mac.data(), e + 17, kMacSize);
            r.addresses.push_back(a);
        }
        fn(r);
        pos += recLen;
    }
    return true;
}

bool WalkUplinkUpdate(ByteSpan value, uint8_t* op,
                      const std::function<void(const UplinkRecord&)>& fn) {
    if (value.size < 1) {
        return false;
    }
    *op = value.data[0];
    size_t pos = 1;
    while (pos < value.size) {
        if (value.size - pos < kUplinkRecordSize) {
            return false;
        }
        const uint8_t* p = value.data + pos;
        UplinkRecord r;
        r.portId = DpFixedString(p, kIdSize);
        r.switchId = DpFixedString(p + kIdSize, kSwitchIdSize);
        r.clientName = DpFixedString(p + kIdSize + kSwitchIdSize, kUplinkClientSize);
        r.alias = DpFixedString(p + kIdSize + kSwitchIdSize + kUplinkClientSize, kUplinkAliasSize);
        fn(r);
        pos += kUplinkRecordSize;
    }
    return true;
}

bool JoinVifUpdateFragments(const std::vector<DpMsg>& fragments, JoinedVifUpdate* out) {
    JoinedVifUpdate joined;
    for (size_t i = 0; i < fragments.size(); ++i) {
        const DpMsg& f = fragments[i];
        KcpMsgView view;
        UpdateView u;
        if (!ViewKcpMessage(f.data(), f.size(), &view) || view.type != kMsgUpdate ||
            !CheckUpdate(view, &u) || u.fragment != (i + 1 < fragments.size())) {
            return false;
        }
        DpTlvWalker walker(view.data, u.firstTlv, view.length);
        DpTlv tlv;
        if (!walker.Next(&tlv) || tlv.type != kVifUpdate || !walker.AtEnd()) {
            return false;
        }
        uint8_t op = 0;
        int records = 0;
        bool sameVif = true;
        bool ok = WalkVifUpdate(ByteSpan{tlv.value, tlv.valueSize}, &op, [&](const VifRecord& r) {
            ++records;
            if (i == 0) {
                joined.op = op;
                joined.record = r;
                joined.record.properties = ByteSpan{};
            } else if (r.vifId != joined.record.vifId) {
                sameVif = false;
            }
            joined.properties.insert(joined.properties.end(), r.properties.data,
                                     r.properties.data + r.properties.size);
        });
        if (!ok || records != 1 || !sameVif) {
            return false;
        }
    }
    if (fragments.empty()) {
        return false;
    }
    *out = std::move(joined);
    return true;
}

std::string MacText(const uint8_t* m) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
                  m[5]);
    return buf;
}

std::string AddressText(bool ipv4, const uint8_t* address) {
    char buf[64];
    if (inet_ntop(ipv4 ? AF_INET : AF_INET6, address, buf, sizeof buf) == nullptr) {
        return std::string();
    }
    return buf;
}

// --- names ---

const char* OperationName(uint8_t op) {
    switch (op) {
        case kOpUpdate:
            return "UPDATE";
        case kOpDelete:
            return "DELETE";
        case kOpFullSync:
            return "FULL SYNC";
        default:
            return "Invalid";
    }
}

const char* ControlTypeName(uint8_t type) {
    switch (type) {
        case kSessionOpen:
            return "Session Open";
        case kSessionOpenAck:
            return "Session Open ACK";
        case kSessionFullSyncEnd:
            return "Session Full Sync End";
        case kSessionClose:
            return "Session Close";
        default:
            return "Invalid";
    }
}

const char* VifTypeName(uint8_t type) {
    switch (type) {
        case kVifVnic:
            return "VNIC";
        case kVifKrnnic:
            return "krnnic";
        case kVifContainer:
            return "container";
        case kVifCrxPort:
            return "CRXPort";
        case kVifSriov:
            return "SRIOV";
        case kVifDvpgPort:
            return "DVPGPort";
        default:
            return "unknown";
    }
}

const char* VifStatusName(uint8_t status) {
    switch (status) {
        case kVifConnect:
            return "CONNECT";
        case kVifDisconnect:
            return "DISCONNECT";
        default:
            return "Invalid";
    }
}

const char* DpStatusName(uint8_t status) {
    return status == kDpStatusOutOfSync ? "OutOfSync" : "Sync";
}

const char* HopoverSyncTypeName(uint16_t type) {
    switch (type) {
        case kSyncPortProperties:
            return "Sync port properties";
        case kSyncPortContainerList:
            return "Sync port container list";
        case kSyncBoth:
            return "Sync both port container list and port properties";
        default:
            return "Invalid";
    }
}

const char* UpdateTypeName(uint16_t type) {
    switch (type) {
        case kVifUpdate:
            return "VIF Update";
        case kPortPropertyUpdate:
            return "Port Property Update";
        case kPortListUpdate:
            return "PortList Update";
        case kKrnnicPropertyUpdate:
            return "Krnnic Property Update";
        case kKrnnicListUpdate:
            return "KrnnicList Update";
        case kSwxPropertyUpdate:
            return "SWX Property Update";
        case kContainerUpdate:
            return "Container Update";
        case kContainerListUpdate:
            return "ContainerList Update";
        case kPortContainerListUpdate:
            return "Port ContainerList Update";
        case kSwxListUpdate:
            return "SWX List Update";
        case kUplinkUpdate:
            return "Uplink Update";
        default:
            return "Unknown";
    }
}

const char* DiscoveryMethodName(uint8_t method) {
    switch (method) {
        case kDiscoveryArpSnooping:
            return "ARP snooping";
        case kDiscoveryDhcpSnooping:
            return "DHCP snooping";
        case kDiscoveryNdSnooping:
            return "ND snooping";
        case kDiscoveryDhcpv6Snooping:
            return "DHCPv6 snooping";
        case kDiscoveryVmTools:
            return "VM tools";
        default:
            return nullptr;
    }
}

}  // namespace CfgAgent::kcp
