#include "dataplane/VdrDump.h"

#include "dataplane/DpFraming.h"
#include "dataplane/VdrWalk.h"

namespace CfgAgent::vdr {

namespace {

unsigned U(size_t v) {
    return static_cast<unsigned>(v);
}

void DumpElement(DpDumpText& out, const UpdateElement& e) {
    out.Append("\t\t%s %s", ElemTypeName(e.type), ElemOpName(e.op));
    switch (e.type) {
        case kElemRouteV4:
        case kElemRouteV6:
            out.Append(" prefix = %s next hops = %u\n", PrefixText(e.prefix).c_str(),
                       U(e.hops.size()));
            for (const NextHopSpec& h : e.hops) {
                out.Append("\t\t\ttype = %u egress = %s ip = %s\n", h.type, h.egress.c_str(),
                           IpText(h.ip).c_str());
            }
            break;
        case kElemNextHopUpdate:
            out.Append(" prefix = %s added = %u deleted = %u\n", PrefixText(e.prefix).c_str(),
                       U(e.hops.size()), U(e.deletedHops.size()));
            break;
        case kElemLif:
            out.Append(" name = %s ips = %u vni = %u vlan = %u\n", e.lif.name.c_str(),
                       U(e.lif.ips.size()), e.lif.vni, e.lif.vlan);
            break;
        case kElemInstance:
            out.Append(" name = %s\n", e.instance.name.c_str());
            break;
        case kElemMcastRoute:
            out.Append(" group = %s next hops = %u\n", PrefixText(e.prefix).c_str(),
                       U(e.mcastHops.size()));
            break;
        case kElemPrefixList:
            out.Append(" index = %u entries = %u\n", e.prefixListIndex, U(e.prefixEntries.size()));
            break;
        case kElemArpLimit:
            out.Append(" limit = %u overridden = %u\n", e.arpLimit, e.arpOverridden ? 1u : 0u);
            break;
        case kElemBridgeEndpoint:
            out.Append(" name = %s vni = %u vlan = %u\n", e.bridge.name.c_str(), e.bridge.vni,
                       e.bridge.vlan);
            break;
        case kElemDadStatus:
            out.Append(" lif = %s version = %s entries = %u\n", e.dadLif.c_str(),
                       e.dadVersion.c_str(), U(e.dadEntries.size()));
            break;
        case kElemGlobal:
            out.Append(" forwarding = %u ecmp = %u mtu = %u\n", e.global.forwardingMode,
                       e.global.ecmpMode, e.global.lrpMtu);
            break;
        default:
            out.Append("\n");
            break;
    }
}

}  // namespace

std::string DumpVdrMessage(const uint8_t* msg, size_t size) {
    DpDumpText out(kDumpBufferSize, "VDR Message");
    if (msg == nullptr || size < kDpMsgHeaderSize) {
        out.Append("\tmalformed: %u bytes\n", U(size));
        return out.Text();
    }
    const unsigned type = DpMsgType(msg);
    out.Append("\ttype = %u len = %u\n", type, DpMsgLength(msg));
    std::string why;
    switch (type) {
        case kMsgDataplane: {
            DataplaneMsg d;
            ParseResult r = ParseDataplaneMsg(msg, size, &d, &why);
            if (r != ParseResult::kOk) {
                out.Append("\tmalformed: %s\n", why.c_str());
            } else if (d.subType == kSubFullSyncRequest) {
                out.Append("\tfull sync request scope = %s vdr = %u\n",
                           d.fullSync.scope == kScopeAll ? "all" : "vdr", d.fullSync.vdrId);
            } else {
                out.Append("\tDAD report vdr = %u lif = %s version = %s ls = %s entries = %u\n",
                           d.dad.vdrId, d.dad.lifName.c_str(), d.dad.versionText.c_str(),
                           d.dad.lsText.c_str(), U(d.dad.entries.size()));
                for (const DadEntry& e : d.dad.entries) {
                    out.Append("\t\t%s %s\n", IpText(e.ip).c_str(), DadStatusName(e.status));
                }
            }
            break;
        }
        case kMsgUpdate: {
            UpdateMsg u;
            if (!ParseUpdate(msg, size, &u, &why)) {
                out.Append("\tmalformed: %s\n", why.c_str());
                break;
            }
            out.Append("\tUpdate vdr = %u elements = %u\n", u.vdrId, U(u.elements.size()));
            for (const UpdateElement& e : u.elements)
                DumpElement(out, e);
            break;
        }
        case kMsgFullSyncEnd:
            out.Append(IsFullSyncEnd(msg, size) ? "\tFull Sync End\n"
                                                : "\tmalformed: Full Sync End with a body\n");
            break;
        case kMsgArpTableUpdate: {
            ArpTableMsg a;
            if (!ParseArpTableUpdate(msg, size, &a, &why)) {
                out.Append("\tmalformed: %s\n", why.c_str());
                break;
            }
            out.Append("\tARP table update vdr = %u table = %s %s = %u\n", a.vdrId,
                       a.tableUuid.c_str(), a.add ? "added" : "removed", U(a.entries.size()));
            break;
        }
        default:
            out.Append("\tunknown message type\n");
            break;
    }
    return out.Text();
}

}  // namespace CfgAgent::vdr
