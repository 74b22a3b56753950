#pragma once
// The ioctl contract of the flow-cache device "/dev/fc" and the virtual-switch device
// "/dev/vswitch", shared by the agent (DVSPropConvertor) and the dataplane emulator. Each ioctl is
// one frame of DeviceFrame.h; payload integers are big-endian.
//
//   /dev/fc
//     kFcSetEnabled            1 byte   flow cache on (1) or off (0)
//     kFcSetMcastEnabled       1 byte   flow cache also for multicast (1) or not (0)
//     kFcSetFlowExprTime       4 bytes  flow expiry time in seconds, kFcFlowExprTimeMin-Max
//     kFcSetFlowAgingInterval  4 bytes  flow aging interval in seconds, kFcFlowAgingMin-Max
//     kFcGetConfig             none     reply payload: kFcConfigSize bytes (FcConfig)
//   /dev/vswitch
//     kVswitchSetNetqHandling  1 byte   the virtual switch handles netqueues (1) or not (0)
//     kVswitchGetNetqHandling  none     reply payload: 1 byte
//
// A device answers a set with status 0 and an empty payload. A payload of the wrong size, a flag
// other than 0 or 1 and a value out of range are answered with EINVAL and change nothing; an
// unknown command with ENOTTY.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace ozy::device {

// Command codes: the device's two letters, then the command number.
constexpr uint32_t kFcSetEnabled = 0x46430001;  // "FC"
constexpr uint32_t kFcSetMcastEnabled = 0x46430002;
constexpr uint32_t kFcSetFlowExprTime = 0x46430003;
constexpr uint32_t kFcSetFlowAgingInterval = 0x46430004;
constexpr uint32_t kFcGetConfig = 0x46430010;
constexpr uint32_t kVswitchSetNetqHandling = 0x56530001;  // "VS"
constexpr uint32_t kVswitchGetNetqHandling = 0x56530002;

// Ranges and defaults, in seconds.
constexpr uint32_t kFcFlowExprTimeMin = 5;
constexpr uint32_t kFcFlowExprTimeMax = 360;
constexpr uint32_t kFcFlowExprTimeDefault = 180;
constexpr uint32_t kFcFlowAgingMin = 5;
constexpr uint32_t kFcFlowAgingMax = 86400;
constexpr uint32_t kFcFlowAgingDefault = 360;

// The flow-cache settings as kFcGetConfig returns them: enabled (1 byte), mcast enabled (1 byte),
// flow expiry time (4 bytes), flow aging interval (4 bytes).
struct FcConfig {
    bool enabled = true;
    bool mcastEnabled = false;
    uint32_t flowExprTime = kFcFlowExprTimeDefault;
    uint32_t flowAgingInterval = kFcFlowAgingDefault;
};
constexpr size_t kFcConfigSize = 10;

inline std::vector<uint8_t> IoctlFlag(bool on) {
    return {static_cast<uint8_t>(on ? 1 : 0)};
}

inline std::vector<uint8_t> IoctlU32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

// The flag of a 1-byte payload; nullopt when the size or the value is wrong.
inline std::optional<bool> ParseIoctlFlag(const uint8_t* p, size_t size) {
    if (size != 1 || p[0] > 1)
        return std::nullopt;
    return p[0] == 1;
}

// The value of a 4-byte payload; nullopt when the size is wrong.
inline std::optional<uint32_t> ParseIoctlU32(const uint8_t* p, size_t size) {
    if (size != 4)
        return std::nullopt;
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

inline std::vector<uint8_t> EncodeFcConfig(const FcConfig& c) {
    std::vector<uint8_t> out = {static_cast<uint8_t>(c.enabled ? 1 : 0),
                                static_cast<uint8_t>(c.mcastEnabled ? 1 : 0)};
    for (uint32_t v : {c.flowExprTime, c.flowAgingInterval}) {
        std::vector<uint8_t> b = IoctlU32(v);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

inline std::optional<FcConfig> DecodeFcConfig(const uint8_t* p, size_t size) {
    if (size != kFcConfigSize || p[0] > 1 || p[1] > 1)
        return std::nullopt;
    FcConfig c;
    c.enabled = p[0] == 1;
    c.mcastEnabled = p[1] == 1;
    c.flowExprTime = *ParseIoctlU32(p + 2, 4);
    c.flowAgingInterval = *ParseIoctlU32(p + 6, 4);
    return c;
}

}  // namespace ozy::device
