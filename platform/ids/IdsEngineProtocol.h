#pragma once
// The IDS engine's command protocol, shared by the agent (ids/IDSEngine) and the engine the
// emulator plays (tools/ozy-dpemu/IdpsEngine).
//
// Frame, both directions: type (32-bit unsigned) and length (32-bit unsigned), both in host byte
// order, then exactly `length` bytes of value. A connection opens with the version exchange: one
// frame of the reserved type 0 each way, its value JSON text of at most kMaxVersionText bytes
// (the agent sends {"version":"0.3"}, the engine answers an object whose "return" is a string).
// Afterwards each request frame gets one reply: the request's own type with the response message,
// or type 1 with GenericResponseMsg. Values are serialized orvane.ozy.lcp.idps messages
// (proto/idps.proto). A value longer than kMaxValue is a framing failure in either direction.
//
// The monitor socket lies beside the command socket; the engine never writes to it, so a
// readable or closed monitor connection means the engine went away.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace ozy::ids {

constexpr const char* kCommandSocketPath = "/var/run/ozy-idps/ozy-idps-command.socket";
constexpr const char* kMonitorSocketName = "ozy-idps-monitor.socket";
// Where the engine reads its configuration (bundles, thresholds) by default.
constexpr const char* kDefaultConfDir = "/etc/ozy-idps";

constexpr size_t kFrameHeaderSize = 8;
constexpr uint32_t kMaxValue = 64u * 1024u * 1024u;
constexpr size_t kMaxVersionText = 4096;
constexpr const char* kProtocolVersion = "0.3";

enum FrameType : uint32_t {
    kTlvVersion = 0,
    kTlvError = 1,
    kTlvDumpCounters = 2,
    kTlvGetUptime = 3,
    kTlvListTenants = 4,
    kTlvGetLogLevel = 5,
    kTlvSetLogLevel = 6,
    kTlvGetAlertLog = 7,
    kTlvSetAlertLog = 8,
    kTlvUpdateRuleMap = 11,
    kTlvUpdateProfileMap = 12,
    kTlvReloadSignatures = 13,
    kTlvGetSignAction = 14,
    kTlvGetRules = 15,
    kTlvGetProfileStatus = 16,
};

// "TLV_GET_RULES" and the like; nullptr for a type that is not a request type.
inline const char* RequestTypeName(uint32_t type) {
    switch (type) {
        case kTlvDumpCounters:
            return "TLV_DUMP_COUNTERS";
        case kTlvGetUptime:
            return "TLV_GET_UPTIME";
        case kTlvListTenants:
            return "TLV_LIST_TENANTS";
        case kTlvGetLogLevel:
            return "TLV_GET_LOGLEVEL";
        case kTlvSetLogLevel:
            return "TLV_SET_LOGLEVEL";
        case kTlvGetAlertLog:
            return "TLV_GET_ALERTLOG";
        case kTlvSetAlertLog:
            return "TLV_SET_ALERTLOG";
        case kTlvUpdateRuleMap:
            return "TLV_UPDATE_RULE_MAP";
        case kTlvUpdateProfileMap:
            return "TLV_UPDATE_PROFILE_MAP";
        case kTlvReloadSignatures:
            return "TLV_RELOAD_SIGNATURES";
        case kTlvGetSignAction:
            return "TLV_GET_SIGN_ACTION";
        case kTlvGetRules:
            return "TLV_GET_RULES";
        case kTlvGetProfileStatus:
            return "TLV_GET_PROFILE_STATUS";
        default:
            return nullptr;
    }
}

// Inverse of RequestTypeName (also "version" for 0); false for an unknown name.
inline bool RequestTypeFromName(std::string_view name, uint32_t* type) {
    if (name == "TLV_VERSION" || name == "version") {
        *type = kTlvVersion;
        return true;
    }
    for (uint32_t t = kTlvDumpCounters; t <= kTlvGetProfileStatus; ++t) {
        const char* n = RequestTypeName(t);
        if (n != nullptr && name == n) {
            *type = t;
            return true;
        }
    }
    return false;
}

struct FrameHeader {
    uint32_t type = 0;
    uint32_t length = 0;
};

inline void EncodeFrameHeader(const FrameHeader& h, uint8_t out[kFrameHeaderSize]) {
    std::memcpy(out, &h.type, 4);
    std::memcpy(out + 4, &h.length, 4);
}

inline FrameHeader DecodeFrameHeader(const uint8_t in[kFrameHeaderSize]) {
    FrameHeader h;
    std::memcpy(&h.type, in, 4);
    std::memcpy(&h.length, in + 4, 4);
    return h;
}

// One whole frame; the caller keeps `value` within kMaxValue.
inline std::vector<uint8_t> EncodeFrame(uint32_t type, std::string_view value) {
    std::vector<uint8_t> out(kFrameHeaderSize + value.size());
    EncodeFrameHeader(FrameHeader{type, static_cast<uint32_t>(value.size())}, out.data());
    if (!value.empty()) {
        std::memcpy(out.data() + kFrameHeaderSize, value.data(), value.size());
    }
    return out;
}

// The monitor socket's path: the command socket's directory and kMonitorSocketName.
inline std::string MonitorSocketPath(std::string_view commandSocketPath) {
    size_t slash = commandSocketPath.rfind('/');
    std::string dir =
        slash == std::string_view::npos ? "." : std::string(commandSocketPath.substr(0, slash));
    return dir + "/" + kMonitorSocketName;
}

}  // namespace ozy::ids
