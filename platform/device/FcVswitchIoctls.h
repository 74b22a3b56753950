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
//     kVswitchGetKrnnicAddr    16 bytes a kernel NIC's name, NUL-padded (1-15 characters); reply
//                                       payload: its IPv4 address and netmask, 4 + 4 bytes; a name
//                                       the switch does not know is answered with ENOENT
//
// A device answers a set with status 0 and an empty payload. A payload of the wrong size, a flag
// other than 0 or 1 and a value out of range are answered with EINVAL and change nothing; an
// unknown command with ENOTTY.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
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
constexpr uint32_t kVswitchGetKrnnicAddr = 0x56530003;

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

// A kernel NIC's address as kVswitchGetKrnnicAddr returns it (host byte order).
struct KrnnicAddr {
    uint32_t ip = 0;
    uint32_t mask = 0;
};
constexpr size_t kVswitchKrnnicNameSize = 16;
constexpr size_t kVswitchKrnnicAddrSize = 8;

// The request payload for `name`; nullopt when it is empty, longer than 15 bytes or holds a NUL.
inline std::optional<std::vector<uint8_t>> EncodeKrnnicName(const std::string& name) {
    if (name.empty() || name.size() >= kVswitchKrnnicNameSize ||
        name.find('\0') != std::string::npos)
        return std::nullopt;
    std::vector<uint8_t> out(name.begin(), name.end());
    out.resize(kVswitchKrnnicNameSize, 0);
    return out;
}

// The name of a request payload; nullopt when the size is wrong, the name empty or not ended by a
// NUL within the 16 bytes, or anything but NULs follows it.
inline std::optional<std::string> DecodeKrnnicName(const uint8_t* p, size_t size) {
    if (size != kVswitchKrnnicNameSize || p[0] == 0)
        return std::nullopt;
    size_t n = 0;
    while (n < size && p[n] != 0)
        ++n;
    if (n == size)
        return std::nullopt;
    for (size_t i = n; i < size; ++i) {
        if (p[i] != 0)
            return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(p), n);
}

inline std::vector<uint8_t> EncodeKrnnicAddr(const KrnnicAddr& a) {
    std::vector<uint8_t> out = IoctlU32(a.ip);
    std::vector<uint8_t> mask = IoctlU32(a.mask);
    out.insert(out.end(), mask.begin(), mask.end());
    return out;
}

// The address of a reply payload; nullopt when its size is wrong.
inline std::optional<KrnnicAddr> DecodeKrnnicAddr(const uint8_t* p, size_t size) {
    if (size != kVswitchKrnnicAddrSize)
        return std::nullopt;
    return KrnnicAddr{*ParseIoctlU32(p, 4), *ParseIoctlU32(p + 4, 4)};
}

}  // namespace ozy::device
