#pragma once
// The distributed-router family (VDR) of dataplane messages: message types, element layouts,
// sizes and codes. Shared by the agent (L3App) and the dataplane emulator; the framing is
// DpFraming.h, the byte tables are in tools/ozy-dpemu/README.md. All integers are big-endian; an
// IPv4 address held in host order by the schema is written big-endian by IpV4() alone.
//
// Agent to dataplane:
//   5  Update            bytes 4-7 VDR ID (0: not bound to a router), 8-11 element count, then
//                        the elements
//   12 Full Sync End     the 4-byte header alone
//   25 ARP table update  bytes 4-7 VDR ID, 8-71 the ARP table's UUID text (NUL padded), 72-73
//                        removed count, 74-75 added count, then 23-byte entries (address entry,
//                        MAC); a message is all adds or all removals
// Dataplane to agent:
//   4  sub typed         bytes 4-7 sub type, 8-15 zero, then the sub type's body
//
// Every element of an Update starts with a 4-byte head: byte 0 the low 8 bits of the element
// length, byte 1 the version (1), byte 2 the element type, byte 3 the operation. A route element
// (types 2 and 24) carries only those 8 bits: its length follows from its next-hop count. Every
// other element holds its full length in bytes 4-5 and its body from byte 6.
//
// Address entry (17 bytes): the address size (0 none, 4, 16), then the address (IPv4 in the first
// 4 bytes), zero padded.
#include <cstddef>
#include <cstdint>

namespace CfgAgent::vdr {

enum MsgType : uint16_t {
    kMsgDataplane = 4,
    kMsgUpdate = 5,
    kMsgFullSyncEnd = 12,
    kMsgArpTableUpdate = 25,
};

// --- common fields ---
constexpr size_t kAddrEntrySize = 17;
constexpr size_t kNameSize = 64;      // LIF, router, prefix-list names and egress interfaces
constexpr size_t kUuidTextSize = 36;  // 8-4-4-4-12 text, not NUL terminated
constexpr size_t kMacSize = 6;

// --- type 4 ---
constexpr size_t kDataplaneHeaderSize = 16;
constexpr size_t kSubTypeOffset = 4;
enum SubType : uint32_t {
    kSubFullSyncRequest = 3,
    kSubDadReport = 28,
};

// Full sync request: bytes 16-19 VDR ID, 28 scope. The dataplane sends 32 bytes; 29 are needed.
constexpr size_t kFsrVdrIdOffset = 16;
constexpr size_t kFsrScopeOffset = 28;
constexpr size_t kFsrMinSize = 29;
constexpr size_t kFsrSize = 32;
enum FullSyncScope : uint8_t {
    kScopeAll = 1,
    kScopeVdr = 2,
};

// DAD status report: 16-19 VDR ID, 20-83 LIF name, 84-119 version UUID text (all zero: none),
// 120-155 logical switch UUID text, 156-157 entry count n; the message is exactly 158 + 18 n long.
constexpr size_t kDadVdrIdOffset = 16;
constexpr size_t kDadLifOffset = 20;
constexpr size_t kDadVersionOffset = 84;
constexpr size_t kDadLsOffset = 120;
constexpr size_t kDadCountOffset = 156;
constexpr size_t kDadReportFixedSize = 158;
constexpr size_t kDadEntrySize = kAddrEntrySize + 1;  // address entry, status
enum DadStatus : uint8_t {
    kDadTentative = 1,
    kDadAssigned = 2,
    kDadDuplicated = 3,
};

// --- type 5 ---
constexpr size_t kUpdateVdrIdOffset = 4;
constexpr size_t kUpdateCountOffset = 8;
constexpr size_t kUpdateHeaderSize = 12;

constexpr size_t kElemHeadSize = 4;
constexpr uint8_t kElemVersion = 1;
constexpr size_t kElemLengthOffset = 4;  // non-route elements
constexpr size_t kElemBodyOffset = 6;

enum ElemType : uint8_t {
    kElemInstance = 1,
    kElemRouteV4 = 2,
    kElemLif = 4,
    kElemNextHopUpdate = 5,
    kElemMcastConfig = 6,
    kElemMcastRoute = 7,
    kElemArpLimit = 8,
    kElemPrefixList = 9,
    kElemGlobal = 10,
    kElemBridgeEndpoint = 11,
    kElemDadStatus = 12,
    kElemRouteV6 = 24,
};

enum ElemOp : uint8_t {
    kOpAdd = 1,
    kOpDelete = 2,
    kOpUpdate = 3,
};

// Route element, offsets from the element (the message's byte 12): 4-5 zero, 6 prefix length,
// 7 the destination (A bytes: 4 or 16), 7+A the next-hop list marker, 8+A the low 8 bits of the
// list length (4 + E n), 9+A next-hop count n, then n entries. A delete carries n = 0.
constexpr size_t kRoutePrefixLenOffset = 6;
constexpr size_t kRouteDestOffset = 7;
constexpr uint8_t kNextHopListMarker = 3;
constexpr size_t kRouteFixedV4 = 15;  // element without next hops
constexpr size_t kRouteFixedV6 = 27;
// Next-hop entry: 0 type, 1-64 egress interface name, 65 address size, 66 the address.
constexpr size_t kNextHopEgressOffset = 1;
constexpr size_t kNextHopAddrSizeOffset = 65;
constexpr size_t kNextHopAddrOffset = 66;
constexpr size_t kNextHopSizeV4 = 70;
constexpr size_t kNextHopSizeV6 = 82;
enum NextHopType : uint8_t {
    kNextHopAddress = 1,
    kNextHopInterface = 3,  // no address
    kNextHopBlackhole = 4,
};
// The largest next-hop counts whose message length fits 16 bits.
constexpr size_t kMaxNextHopsV4 = 935;
constexpr size_t kMaxNextHopsV6 = 798;

// Instance body: name, router type, DAD mode, DAD wait time, DAD retries, RA mode, RA hop limit,
// RA interval, router lifetime. A delete has no body.
constexpr size_t kInstanceBodySize = kNameSize + 1 + 1 + 4 + 4 + 1 + 1 + 4 + 4;  // 84

// LIF body (fixed part, then sub-elements in DpFraming TLVs): name, LIF type, flags, number of
// IPs, uRPF mode, LIF ID, MTU, VNI, VLAN, replication mode, link type, linked-router flag, linked
// router's VDR ID, MAC, DVS UUID text, logical switch UUID text, VXLAN multicast address entry. A
// delete carries the name alone.
constexpr size_t kLifFixedSize = kNameSize + 4 + 4 + 4 + 4 + 2 + 1 + 1 + 1 + 4 + kMacSize +
                                 kUuidTextSize + kUuidTextSize + kAddrEntrySize;  // 184
enum LifSubType : uint16_t {
    kLifIp = 1,            // address entry, prefix length
    kLifDhcpRelay = 2,     // address entry
    kLifRaSettings = 3,    // managed flag, other-config flag, valid and preferred lifetimes
    kLifRaDnsServer = 4,   // address entry
    kLifRaDomain = 5,      // text, 1-255 bytes
    kLifRaRoute = 6,       // address entry, prefix length
    kLifPrefixListNh = 7,  // prefix-list index, next-hop address entry
};
constexpr size_t kLifIpSize = kAddrEntrySize + 1;
constexpr size_t kRaSettingsSize = 1 + 1 + 4 + 4;
constexpr size_t kPrefixListNhSize = 4 + kAddrEntrySize;
constexpr size_t kMaxDomainSize = 255;
enum LifType : uint8_t {
    kLifDownlink = 1,
    kLifUplink = 2,
    kLifRouterLink = 3,
    kLifLoopback = 4,
};
enum LifFlags : uint8_t {
    kLifFlagDownlink = 0x01,
    kLifFlagUplink = 0x02,
    kLifFlagRouterLink = 0x04,
};

// Next-hop update body: prefix length, prefix address entry, added count, deleted count, then the
// added and the deleted next-hop entries (E bytes each, by the prefix's family).
constexpr size_t kNhUpdateFixedSize = 1 + kAddrEntrySize + 2 + 2;  // 22

// Multicast configuration body: enabled, IGMP version, replication range length and address entry.
constexpr size_t kMcastConfigBodySize = 1 + 1 + 1 + kAddrEntrySize;  // 20
// Multicast route body: group length, group address entry, count, entries of an egress LIF name
// and an address entry. A delete carries the group alone.
constexpr size_t kMcastRouteKeySize = 1 + kAddrEntrySize;
constexpr size_t kMcastNextHopSize = kNameSize + kAddrEntrySize;  // 81

// ARP limit body: limit, overridden flag.
constexpr size_t kArpLimitBodySize = 4 + 1;

// Prefix list body: index, name, count, entries of an address entry, length, ge, le and action.
// A delete carries the index alone.
constexpr size_t kPrefixListFixedSize = 4 + kNameSize + 2;
constexpr size_t kPrefixEntrySize = kAddrEntrySize + 4;  // 21
enum PrefixAction : uint8_t {
    kActionPermit = 1,
    kActionDeny = 2,
};

// Global body: L3 forwarding mode, ECMP mode, LRP MTU, VDR MAC.
constexpr size_t kGlobalBodySize = 1 + 1 + 4 + kMacSize;  // 12
enum ForwardingMode : uint8_t {
    kForwardIpv4 = 1,
    kForwardIpv4Ipv6 = 2,
};

// Bridge endpoint body: endpoint (LIF) name, logical switch UUID text, bridge cluster UUID text,
// DVS UUID text, endpoint ID, VLAN, VNI type, VNI, guest-VLAN flag, HA flag. A delete carries the
// name alone.
constexpr size_t kBridgeBodySize = kNameSize + 3 * kUuidTextSize + 4 + 2 + 1 + 4 + 1 + 1;  // 185

// DAD status update body: LIF name, version UUID text, count, entries (address entry, status).
constexpr size_t kDadUpdateFixedSize = kNameSize + kUuidTextSize + 2;  // 102

// --- type 25 ---
constexpr size_t kArpVdrIdOffset = 4;
constexpr size_t kArpUuidOffset = 8;
constexpr size_t kArpUuidFieldSize = 64;
constexpr size_t kArpRemovedOffset = 72;
constexpr size_t kArpAddedOffset = 74;
constexpr size_t kArpHeaderSize = 76;
constexpr size_t kArpEntrySize = kAddrEntrySize + kMacSize;  // 23
// The most entries one ARP message carries (76 + 23 n <= 65535); more are split.
constexpr size_t kMaxArpEntries = 2846;

// Names for dumps and logs ("unknown" outside the catalogue).
const char* ElemTypeName(uint8_t type);
const char* ElemOpName(uint8_t op);
const char* DadStatusName(uint8_t status);

}  // namespace CfgAgent::vdr
