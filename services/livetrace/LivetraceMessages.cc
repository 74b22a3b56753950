#include "services/livetrace/LivetraceMessages.h"

#include "dataplane/LivetraceProtocol.h"
#include "runtime/Logger.h"

namespace CfgAgent::livetrace {

namespace {

Uuid LoadUuid(const uint8_t* p) {
    return {LoadBe64(p), LoadBe64(p + 8)};
}

// The elements each result type takes; bit n stands for element n.
uint32_t Allowed(uint16_t type) {
    auto bit = [](uint16_t t) { return 1u << t; };
    uint32_t session = bit(kTlvSessionId), dir = bit(kTlvDirection);
    switch (type) {
        case kMsgInvalidate:
            return session | dir | bit(kTlvReason);
        case kMsgBarrier:
            return session | dir;
        case kMsgCounter:
            return session | dir | bit(kTlvCounterEntry) | bit(kTlvStats);
        case kMsgTrace:
            return session | dir | bit(kTlvPktId) | bit(kTlvObservation);
        case kMsgPktcap:
            return session | bit(kTlvPktMeta) | bit(kTlvPktData);
        default:
            return 0;
    }
}

// Elements a result type cannot do without.
uint32_t Required(uint16_t type) {
    uint32_t allowed = Allowed(type);
    return allowed & ~((1u << kTlvCounterEntry) | (1u << kTlvStats) | (1u << kTlvObservation));
}

}  // namespace

DpMsg BuildCreate(const CreateRequest& r) {
    size_t size = kDpMsgHeaderSize + (4 + 1) + (4 + 8) + 2 * (4 + 16) + (4 + 4) + (4 + 1) +
                  r.actions.size() * (4 + kActionSize) + (4 + r.filter.size());
    if (size > kDpMaxMsgSize) {
        CFG_ERROR_CODE("LCP02109", "LivetraceApp: CREATE of %1 bytes does not fit a message", size);
        return DpMsg();
    }
    DpMsgWriter w(kMsgCreate, size);
    w.Tlv(kTlvSlot, &r.slot, 1);
    w.Be16(kTlvSessionId).Be16(4 + 8).Be64(r.sessionId);
    w.Be16(kTlvDvport).Be16(4 + 16).Be64(r.dvport[0]).Be64(r.dvport[1]);
    w.Be16(kTlvDvs).Be16(4 + 16).Be64(r.dvs[0]).Be64(r.dvs[1]);
    w.Be16(kTlvTimeout).Be16(4 + 4).Be32(r.timeout);
    w.Tlv(kTlvDirection, &r.direction, 1);
    for (const CreateRequest::Action& a : r.actions) {
        w.Be16(kTlvAction).Be16(4 + kActionSize);
        w.U8(a.kind).U8(a.direction).U8(a.sampling).U8(0).Be32(a.firstN).Be32(a.snapLength);
    }
    w.Tlv(kTlvFilter, r.filter.data(), r.filter.size());
    return w.Finish();
}

DpMsg BuildDelete(uint8_t slot, uint64_t sessionId) {
    DpMsgWriter w(kMsgDelete, kDpMsgHeaderSize + (4 + 1) + (4 + 8));
    w.Tlv(kTlvSlot, &slot, 1);
    w.Be16(kTlvSessionId).Be16(4 + 8).Be64(sessionId);
    return w.Finish();
}

bool DecodeResult(const uint8_t* msg, size_t size, Result* out, std::string* error) {
    Result r;
    r.type = DpMsgType(msg);
    uint32_t allowed = Allowed(r.type);
    if (allowed == 0) {
        *error = "message type " + std::to_string(r.type) + " is not a result";
        return false;
    }
    uint32_t seen = 0;
    DpTlvWalker walker = DpTlvWalker::OverMessage(msg, size, kDpMsgHeaderSize);
    DpTlv t;
    auto sized = [&](size_t n) {
        if (t.valueSize == n)
            return true;
        *error = "element " + std::to_string(t.type) + " of " + std::to_string(t.valueSize) +
                 " bytes, expected " + std::to_string(n);
        return false;
    };
    while (walker.Next(&t)) {
        if (t.type >= 32 || (allowed & (1u << t.type)) == 0) {
            *error =
                "element " + std::to_string(t.type) + " in message type " + std::to_string(r.type);
            return false;
        }
        uint32_t bit = 1u << t.type;
        if ((seen & bit) != 0 && t.type != kTlvObservation && t.type != kTlvCounterEntry) {
            *error = "element " + std::to_string(t.type) + " repeated";
            return false;
        }
        seen |= bit;
        const uint8_t* v = t.value;
        switch (t.type) {
            case kTlvSessionId:
                if (!sized(8))
                    return false;
                r.sessionId = LoadBe64(v);
                break;
            case kTlvDirection:
                if (!sized(1))
                    return false;
                if (v[0] != kDirForward && v[0] != kDirBackward) {
                    *error = "direction " + std::to_string(v[0]);
                    return false;
                }
                r.direction = v[0];
                break;
            case kTlvReason:
                if (!sized(1))
                    return false;
                r.reason = v[0];
                break;
            case kTlvPktId:
                if (!sized(4))
                    return false;
                r.packetId = LoadBe32(v);
                break;
            case kTlvObservation:
                if (!sized(kObservationSize))
                    return false;
                r.observations.push_back({v[0], v[1], v[2], LoadBe64(v + 4), LoadUuid(v + 12)});
                break;
            case kTlvCounterEntry:
                if (!sized(kCounterEntrySize))
                    return false;
                r.counters.push_back({LoadUuid(v), v[16], v[17], v[18], LoadBe64(v + 20)});
                break;
            case kTlvStats:
                if (!sized(kStatsSize))
                    return false;
                r.stats = DpStats{LoadBe64(v), LoadBe64(v + 8), LoadBe64(v + 16), LoadBe64(v + 24)};
                break;
            case kTlvPktMeta:
                if (!sized(kPktMetaSize))
                    return false;
                r.meta =
                    PktMeta{LoadBe32(v),      LoadBe16(v + 4),  LoadBe16(v + 6), LoadBe32(v + 8),
                            LoadBe32(v + 12), LoadBe32(v + 16), LoadBe64(v + 24)};
                break;
            case kTlvPktData:
                if (t.valueSize == 0) {
                    *error = "no captured bytes";
                    return false;
                }
                r.data = v;
                r.dataSize = t.valueSize;
                break;
        }
    }
    if (walker.Malformed()) {
        *error =
            "element list does not fit the message at offset " + std::to_string(walker.Offset());
        return false;
    }
    uint32_t missing = Required(r.type) & ~seen;
    if (missing != 0) {
        for (uint16_t e = 0; e < 32; ++e) {
            if ((missing & (1u << e)) != 0) {
                *error = "element " + std::to_string(e) + " missing";
                break;
            }
        }
        return false;
    }
    *out = std::move(r);
    return true;
}

}  // namespace CfgAgent::livetrace
