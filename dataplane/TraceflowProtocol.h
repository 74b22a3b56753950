#pragma once
// The traceflow family on its kernel link, shared by TraceflowApp and the emulator (constants
// only: each side reads and writes the bytes itself). Common framing (DpFraming.h): 4-byte
// header, then TLV elements; integers big-endian except where noted.
//
//   1  INJECT       agent -> dataplane: ROUND_ID, DVPORT, PACKET (1..1500 bytes)
//   2-10            dataplane -> agent: one observation of a traced packet (types below); its
//                   OBS_TYPE element repeats the message type
//   11 INT_CONFIG   agent -> dataplane, fixed 10 bytes: type, length 10, mode (32 bits in host
//                   byte order: 0 none, 1 DSCP bit, 2 DSCP value), DSCP setting (16 bits)
//   12 INTERNAL     dataplane -> agent: a probe the agent answers with the same bytes
#include <cstddef>
#include <cstdint>

namespace CfgAgent::traceflow {

enum MsgType : uint16_t {
    kMsgInject = 1,
    kMsgForward = 2,
    kMsgDrop = 3,
    kMsgReceive = 4,
    kMsgDeliver = 5,
    kMsgLogicalForward = 6,
    kMsgLogicalReceive = 7,
    kMsgLogicalDrop = 8,
    kMsgLogicalReplication = 9,
    kMsgLogicalRelay = 10,
    kMsgIntConfig = 11,
    kMsgInternal = 12,
};

constexpr size_t kMaxPacketSize = 1500;
constexpr size_t kIdSize = 48;  // DVS port and VIF ids, NUL-padded
constexpr size_t kIntConfigSize = 10;

// INJECT elements.
enum InjectTlv : uint16_t {
    kInjRoundId = 1,  // 8 bytes
    kInjDvport = 2,   // kIdSize bytes
    kInjPacket = 3,   // the frame
};

// Observation elements (types 2-10); which ones each type needs is TraceflowApp's to check.
enum ObsTlv : uint16_t {
    kObsRoundId = 1,       // 8 bytes
    kObsTimestamp = 2,     // 8 bytes, nanoseconds
    kObsType = 3,          // 1 byte, the message type again
    kObsComponent = 4,     // 1 byte component code
    kObsSequence = 5,      // 4 bytes
    kObsUplink = 6,        // name, 1..32 bytes
    kObsLocalIp = 7,       // 4 or 16 bytes
    kObsRemoteIp = 8,      // 4 or 16 bytes
    kObsVtepLabel = 9,     // 4 bytes
    kObsPeerType = 10,     // 1 byte: forward-to or receive-from
    kObsDropReason = 11,   // 1 byte
    kObsDvport = 12,       // kIdSize bytes
    kObsVif = 13,          // kIdSize bytes
    kObsVlan = 14,         // 2 bytes
    kObsResolution = 15,   // 1 byte ARP resolution type
    kObsMac = 16,          // 6 bytes
    kObsVni = 17,          // 4 bytes
    kObsRuleId = 18,       // 4 bytes
    kObsReplication = 19,  // 1 byte
    kObsResend = 20,       // 1 byte
};

constexpr size_t kMaxUplinkName = 32;

enum IntMode : uint32_t {
    kIntNone = 0,
    kIntDscpBit = 1,
    kIntDscpValue = 2,
};

}  // namespace CfgAgent::traceflow
