#pragma once
// The ioctl frame shared by the agent and the dataplane emulator.
//
// On the hypervisor the agent opens character devices ("/dev/fc", "/dev/vswitch", "/dev/ozy-tarp",
// ...) and issues ioctls on them. Here each device is a Unix stream socket at the device's path
// under the host root, served by ozy-dpemu, and one ioctl is one request frame answered by one
// reply frame on that socket:
//
//   offset 0  4 bytes  magic 0x4F5A4456 ("OZDV")
//   offset 4  4 bytes  request: command code; reply: status (0 success, else an errno value)
//   offset 8  4 bytes  payload length in bytes (at most kMaxPayload)
//   offset 12          payload (request: the ioctl argument; reply: the argument as the driver
//                      left it, for commands that return data)
//
// All integers are big-endian. A connection may carry any number of ioctls; a client may send
// requests ahead of their replies, and the server answers them in the order it read them. Command
// codes and payload layouts are each device's contract; a server answers an unknown command with
// ENOTTY and a payload of the wrong size with EINVAL. A peer that receives a frame with a bad magic
// or an oversized length closes the connection.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ozy::device {

constexpr uint32_t kFrameMagic = 0x4F5A4456;
constexpr size_t kFrameHeaderSize = 12;
constexpr uint32_t kMaxPayload = 16u * 1024u * 1024u;

// Device paths (logical; placed under the host root by ozy::hostPath).
constexpr const char* kFlowCacheDevice = "/dev/fc";
constexpr const char* kVswitchDevice = "/dev/vswitch";
constexpr const char* kTarpDevice = "/dev/ozy-tarp";
constexpr const char* kSpfDevice = "/dstore/devices/char/krndriver/ozy-spf";
constexpr const char* kOvl2Device = "/dstore/devices/char/krndriver/ozy_ovl2";

struct FrameHeader {
    uint32_t code = 0;  // command in a request, status in a reply
    uint32_t length = 0;
};

enum class HeaderStatus {
    kOk,
    kBadMagic,
    kTooLarge,
};

void EncodeFrameHeader(uint8_t* out, uint32_t code, uint32_t length);
// Reads the 12 bytes at `in`.
HeaderStatus DecodeFrameHeader(const uint8_t* in, FrameHeader* out);
// Header and payload in one buffer; `size` must not exceed kMaxPayload.
std::vector<uint8_t> EncodeFrame(uint32_t code, const void* payload, size_t size);

}  // namespace ozy::device
