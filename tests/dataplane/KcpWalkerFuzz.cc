// Fuzz target: every KCP walker, the dump renderer and the property decoder on arbitrary bytes.
// Whatever arrives must be walked without reading outside the input and without crashing.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dataplane/KcpDump.h"
#include "dataplane/KcpPropertyTable.h"
#include "dataplane/KcpProtocol.h"
#include "dataplane/KcpWalk.h"

using namespace CfgAgent;
using namespace CfgAgent::kcp;

namespace {

size_t g_sink = 0;

void DecodeProperties(ByteSpan props) {
    WalkProperties(props, [](uint16_t key, ByteSpan v) {
        if (const PropertyDesc* d = FindKcpProperty(key)) {
            VisitKcpPropertyFields(*d, v.data, v.size,
                                   [](int, const FieldDesc& f, const uint8_t* p, size_t n) {
                                       g_sink += KcpFieldText(f, p, n).size();
                                   });
        }
    });
}

void WalkUpdate(const KcpMsgView& msg) {
    UpdateView u;
    if (!CheckUpdate(msg, &u))
        return;
    DpTlvWalker walker(msg.data, u.firstTlv, msg.length);
    DpTlv tlv;
    while (walker.Next(&tlv)) {
        ByteSpan value{tlv.value, tlv.valueSize};
        uint8_t op = 0;
        std::string parent;
        SwxRecord swx;
        switch (tlv.type) {
            case kVifUpdate:
                WalkVifUpdate(value, &op, [](const VifRecord& r) {
                    VifProperties p;
                    ParseVifProperties(r.properties, &p);
                    g_sink += p.macs.size() + p.bindings.size();
                });
                break;
            case kPortPropertyUpdate:
            case kKrnnicPropertyUpdate:
                WalkPropertyRecords(tlv.type, value, &op, [](const PropertyRecord& r) {
                    DecodeProperties(r.properties);
                });
                break;
            case kSwxPropertyUpdate:
                if (ParseSwxUpdate(value, &swx))
                    DecodeProperties(swx.properties);
                break;
            case kPortListUpdate:
            case kContainerListUpdate:
                WalkIdList(value, kIdSize, [](const std::string& s) { g_sink += s.size(); });
                break;
            case kKrnnicListUpdate:
                WalkIdList(value, kKrnnicNameSize,
                           [](const std::string& s) { g_sink += s.size(); });
                break;
            case kSwxListUpdate:
                WalkIdList(value, kSwitchIdSize, [](const std::string& s) { g_sink += s.size(); });
                break;
            case kPortContainerListUpdate:
                WalkPortContainerList(value, &parent,
                                      [](const std::string& s) { g_sink += s.size(); });
                break;
            case kContainerUpdate:
                WalkContainerUpdate(value,
                                    [](const ContainerRecord& r) { g_sink += r.addresses.size(); });
                break;
            case kUplinkUpdate:
                WalkUplinkUpdate(value, &op,
                                 [](const UplinkRecord& r) { g_sink += r.alias.size(); });
                break;
            default:
                break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A private copy of exactly `size` bytes, so that any over-read is caught.
    std::vector<uint8_t> buf(data, data + size);
    g_sink += DumpKcpMessage(buf.data(), buf.size()).size();
    KcpMsgView msg;
    if (!ViewKcpMessage(buf.data(), buf.size(), &msg))
        return 0;
    switch (msg.type) {
        case kMsgInit:
            ParseInitMaxMsgLength(msg);
            break;
        case kMsgUpdate: {
            WalkUpdate(msg);
            JoinedVifUpdate joined;
            // The input as the last fragment, and cut in two as a fragment pair.
            std::vector<DpMsg> frags{buf};
            JoinVifUpdateFragments(frags, &joined);
            if (buf.size() > 8) {
                DpMsg first(buf.begin(), buf.begin() + buf.size() / 2);
                frags.insert(frags.begin(), first);
                JoinVifUpdateFragments(frags, &joined);
            }
            break;
        }
        case kMsgNotification:
            WalkNotifications(msg, [](const Notification& n) { g_sink += n.id.size(); });
            break;
        case kMsgSessionControl: {
            SessionControl sc;
            ParseSessionControl(msg, &sc);
            break;
        }
        default:
            break;
    }
    return 0;
}
