#pragma once
// The frame of the operations-agent link, shared by the agent and the emulator's operations agent
// (constants only: each side reads and writes the bytes itself). All integers big-endian.
//
//   offset 0  1 byte   bit 7 fragment flag, bits 0-6 reserved (0)
//   offset 1  1 byte   message type, 1
//   offset 2  4 bytes  total length, this header included
//   offset 6           the serialised orvane.ozy.lcp.LcpDpMsg
#include <cstddef>
#include <cstdint>

namespace CfgAgent::lcp {

constexpr size_t kFrameHeaderSize = 6;
constexpr uint8_t kFragmentFlag = 0x80;
constexpr uint8_t kReservedMask = 0x7F;
constexpr uint8_t kMsgTypeDpMsg = 1;
// The largest frame either side accepts; a header announcing more closes the connection.
constexpr size_t kMaxFrameSize = 16u * 1024u * 1024u;

// The agent's socket, under the host root.
constexpr const char* kLinkPath = "/var/run/orvane/ozy-agent/ozya_link";

}  // namespace CfgAgent::lcp
