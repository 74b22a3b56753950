#pragma once
// The live-trace family on its kernel link ("livetrace_ozyt_krnlink"), shared by LivetraceApp and
// the emulator (constants only: each side reads and writes the bytes itself). Common framing
// (DpFraming.h): 4-byte header, then TLV elements; all integers big-endian.
//
//   agent -> dataplane
//     1  CREATE      SLOT, SESSION_ID, DVPORT, DVS, TIMEOUT, DIRECTION, ACTION (1-4 times, each
//                    kind at most once), FILTER; the slot must be free
//     2  DELETE      SLOT, SESSION_ID; the dataplane ends each direction with INVALIDATE (deleted)
//   dataplane -> agent
//     10 INVALIDATE  SESSION_ID, DIRECTION, REASON: the direction ended without complete results
//     11 BARRIER     SESSION_ID, DIRECTION: the direction ended; nothing more will come for it
//     12 ONBOARDING  (not used by the agent)
//     20 COUNTER     SESSION_ID, DIRECTION, COUNTER_ENTRY (any number), STATS (at most once)
//     21 TRACE       SESSION_ID, DIRECTION, PKT_ID, OBSERVATION (any number)
//     22 PKTCAP      SESSION_ID, PKT_META, PKT_DATA
//     30 FRAGMENT    a piece of one of the above (layout below), for results larger than
//                    kFragmentThreshold
//
// Every element appears at most once unless said otherwise; a message lacking an element it needs
// or carrying one it does not take is malformed and dropped whole. TRACE and COUNTER carry one
// direction (1 or 2); PKTCAP tells backward traffic by its reverse flag.
//
// FRAGMENT body (fixed, no elements), after the 4-byte message header:
//   0  4  chain id          4  2  index (0-based)      6  2  count of fragments
//   8  2  inner message type  10 2  reserved (0)
//   12 4  offset of this piece in the whole   16 4  total length of the whole
//   20 .. the piece (at least one byte)
// The pieces of a chain, joined by offset, are the element list of one message of the inner
// type; the agent frees a chain that does not complete within its timeout.
#include <cstddef>
#include <cstdint>

namespace CfgAgent::livetrace {

enum MsgType : uint16_t {
    kMsgCreate = 1,
    kMsgDelete = 2,
    kMsgInvalidate = 10,
    kMsgBarrier = 11,
    kMsgOnboarding = 12,
    kMsgCounter = 20,
    kMsgTrace = 21,
    kMsgPktcap = 22,
    kMsgFragment = 30,
};

constexpr uint32_t kSlotCount = 32;  // slots 0-31

enum Tlv : uint16_t {
    kTlvSlot = 1,           // 1 byte, 0-31
    kTlvSessionId = 2,      // 8 bytes
    kTlvDvport = 3,         // 16 bytes: the source DVS port's UUID, two 64-bit halves
    kTlvDvs = 4,            // 16 bytes: the host switch's UUID
    kTlvTimeout = 5,        // 4 bytes, seconds
    kTlvDirection = 6,      // 1 byte, Direction
    kTlvAction = 7,         // kActionSize bytes
    kTlvFilter = 8,         // kBpfInsnSize bytes per instruction, 1 to kMaxFilterInsns of them
    kTlvReason = 9,         // 1 byte, InvalidationReason
    kTlvPktId = 10,         // 4 bytes
    kTlvCounterEntry = 11,  // kCounterEntrySize bytes
    kTlvObservation = 12,   // kObservationSize bytes
    kTlvPktMeta = 13,       // kPktMetaSize bytes
    kTlvPktData = 14,       // the captured bytes (at least one)
    kTlvStats = 15,         // kStatsSize bytes
};

// Directions, also used as bits of a set: forward is traffic the source port sends, backward
// what it receives.
enum Direction : uint8_t {
    kDirForward = 1,
    kDirBackward = 2,
    kDirBoth = 3,
};

// ACTION: kind (1), direction (1), sampling (1), reserved (1), first-N count (4), snap length (4;
// 0 = whole packets; packet capture only).
constexpr size_t kActionSize = 12;
enum ActionKind : uint8_t {
    kActionTrace = 1,
    kActionPktcap = 2,
    kActionCounter = 3,
    kActionDpStats = 4,
};
enum Sampling : uint8_t {
    kSamplingNone = 0,  // counters and statistics
    kSamplingFirstN = 1,
    kSamplingAll = 2,
};

// FILTER: classic BPF instructions as libpcap compiles them for Ethernet frames: code (2), jt (1),
// jf (1), k (4).
constexpr size_t kBpfInsnSize = 8;
constexpr size_t kMaxFilterInsns = 4096;

enum InvalidationReason : uint8_t {
    kReasonTimeout = 1,
    kReasonDeleted = 2,
    kReasonPortGone = 3,
    kReasonDataplaneRestart = 4,
    kReasonNoResources = 5,
};

// COUNTER_ENTRY: DVS port UUID (16), checkpoint (1), hop (1), counter type (1), reserved (1),
// count (8).
constexpr size_t kCounterEntrySize = 28;
enum Checkpoint : uint8_t {
    kCheckpointVnicOutput = 1,
    kCheckpointVnicInput = 2,
    kCheckpointSwitchPort = 3,
    kCheckpointFirewall = 4,
    kCheckpointUplinkOutput = 5,
    kCheckpointUplinkInput = 6,
};

// OBSERVATION: observation type (1), component (1, the traceflow component codes), drop reason
// (1), reserved (1), timestamp in nanoseconds (8), DVS port UUID (16).
constexpr size_t kObservationSize = 28;
enum ObservationType : uint8_t {
    kObsForward = 1,
    kObsReceive = 2,
    kObsDeliver = 3,
    kObsDrop = 4,
    kObsLogicalDrop = 5,
    kObsLogicalReplicate = 6,
    kObsLogicalRelay = 7,
};

// STATS: packets seen, matched, sampled out, captured (8 each).
constexpr size_t kStatsSize = 32;

// PKT_META: packet id (4), flags (2), VLAN (2), VNI (4), snap length (4), original length (4),
// reserved (4), timestamp in nanoseconds (8).
constexpr size_t kPktMetaSize = 32;
enum PktFlag : uint16_t {
    kPktReverse = 1 << 0,  // backward traffic
    kPktInnerTn = 1 << 1,  // seen inside the overlay tunnel
    kPktVlanValid = 1 << 2,
    kPktVniValid = 1 << 3,
    kPktTso = 1 << 4,
    kPktCsum = 1 << 5,
    kPktCsumVerified = 1 << 6,
    kPktEncap = 1 << 7,
    kPktEncapCsumVerified = 1 << 8,
};

constexpr size_t kFragmentHeaderSize = 20;
// Results whose message would be larger are sent as fragments carrying at most kFragmentPiece
// bytes each.
constexpr size_t kFragmentThreshold = 2048;
constexpr size_t kFragmentPiece = 1024;

}  // namespace CfgAgent::livetrace
