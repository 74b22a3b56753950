#include "services/traceflow/TraceflowObservation.h"

#include <bitset>

#include "dataplane/DpFraming.h"
#include "dataplane/TraceflowProtocol.h"

namespace CfgAgent::traceflow {

namespace {

bool Fixed(const DpTlv& t, size_t size, const char* what, std::string* error) {
    if (t.valueSize == size)
        return true;
    *error = std::string(what) + " element of " + std::to_string(t.valueSize) +
             " bytes, expected " + std::to_string(size);
    return false;
}

}  // namespace

bool DecodeObservation(const uint8_t* msg, size_t size, Observation* out, std::string* error) {
    Observation o;
    o.msgType = DpMsgType(msg);
    std::bitset<32> seen;
    DpTlvWalker walker = DpTlvWalker::OverMessage(msg, size, kDpMsgHeaderSize);
    DpTlv t;
    while (walker.Next(&t)) {
        if (t.type < seen.size()) {
            if (seen.test(t.type)) {
                *error = "element " + std::to_string(t.type) + " repeated";
                return false;
            }
            seen.set(t.type);
        }
        const uint8_t* v = t.value;
        switch (t.type) {
            case kObsRoundId:
                if (!Fixed(t, 8, "round ID", error))
                    return false;
                o.roundId = LoadBe64(v);
                break;
            case kObsTimestamp:
                if (!Fixed(t, 8, "timestamp", error))
                    return false;
                o.timestamp = LoadBe64(v);
                break;
            case kObsType:
            case kObsComponent:
            case kObsPeerType:
            case kObsDropReason:
            case kObsResolution:
            case kObsReplication:
            case kObsResend: {
                if (!Fixed(t, 1, "code", error))
                    return false;
                std::optional<uint8_t>* field = t.type == kObsType          ? &o.obsType
                                                : t.type == kObsComponent   ? &o.component
                                                : t.type == kObsPeerType    ? &o.peerType
                                                : t.type == kObsDropReason  ? &o.dropReason
                                                : t.type == kObsResolution  ? &o.resolution
                                                : t.type == kObsReplication ? &o.replication
                                                                            : &o.resend;
                *field = v[0];
                break;
            }
            case kObsSequence:
            case kObsVtepLabel:
            case kObsVni:
            case kObsRuleId: {
                if (!Fixed(t, 4, "32-bit", error))
                    return false;
                std::optional<uint32_t>* field = t.type == kObsSequence    ? &o.sequence
                                                 : t.type == kObsVtepLabel ? &o.vtepLabel
                                                 : t.type == kObsVni       ? &o.vni
                                                                           : &o.ruleId;
                *field = LoadBe32(v);
                break;
            }
            case kObsUplink:
                if (t.valueSize == 0 || t.valueSize > kMaxUplinkName) {
                    *error = "uplink name of " + std::to_string(t.valueSize) + " bytes";
                    return false;
                }
                o.uplink = DpFixedString(v, t.valueSize);
                break;
            case kObsLocalIp:
            case kObsRemoteIp:
                if (t.valueSize != 4 && t.valueSize != 16) {
                    *error = "IP address of " + std::to_string(t.valueSize) + " bytes";
                    return false;
                }
                (t.type == kObsLocalIp ? o.localIp : o.remoteIp).assign(v, v + t.valueSize);
                break;
            case kObsDvport:
            case kObsVif:
                if (!Fixed(t, kIdSize, "identifier", error))
                    return false;
                (t.type == kObsDvport ? o.dvport : o.vif) = DpFixedString(v, kIdSize);
                break;
            case kObsVlan:
                if (!Fixed(t, 2, "VLAN", error))
                    return false;
                o.vlan = LoadBe16(v);
                break;
            case kObsMac: {
                if (!Fixed(t, 6, "MAC", error))
                    return false;
                std::array<uint8_t, 6> mac;
                std::copy(v, v + 6, mac.begin());
                o.mac = mac;
                break;
            }
            default:
                break;  // unknown elements are skipped
        }
    }
    if (walker.Malformed()) {
        *error =
            "element list does not fit the message at offset " + std::to_string(walker.Offset());
        return false;
    }
    *out = std::move(o);
    return true;
}

}  // namespace CfgAgent::traceflow
