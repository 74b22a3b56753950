#pragma once
// The VXLAN family of dataplane messages, spoken between the L2 application and the dataplane's
// overlay module: message types, data types, Configure items, entry layouts, codes and sizes.
// Shared by the agent and the dataplane emulator; the framing (4-byte header, TLVs) is
// DpFraming.h. Every integer is big-endian except the 32-bit address-type fields, which travel in
// the sender's host byte order (LoadAddrType/StoreAddrType are the only way to touch them).
//
// Messages (offsets from the start of the message, header included):
//   1    Init                     dp -> agent   TLVs from byte 4 (not interpreted)
//   2    Configure                agent -> dp   Configure items (TLVs) from byte 4
//   3    VNI membership change    both          4-7 switch ID, 8-11 VNI, 12 op (1 join, else
//                                               leave); 13 bytes
//   4    Link change              agent -> dp   4-7 switch ID, 8 flag (0: replication mode 1),
//                                               then 6-byte VNI entries from byte 9 (VNI,
//                                               multicast proxy byte, ARP proxy byte); 9 + 6n
//   5    Update                   both          TLVs from byte 4 (data types below)
//   6    Query                    dp -> agent   TLVs from byte 4 (query data types below)
//   7    Notification             dp -> agent   4-5 error code, 6-7 sub code; 8 bytes
//   8    VTEP group               agent -> dp   4-7 group label, 8 op (1 add/update, 2 delete),
//                                               9 group type, 10 activeness protocol, 11 zero,
//                                               then 28-byte member entries; 12 + 28n
//   9    LS VTEP group binding    agent -> dp   4-7 switch ID, 8-11 VNI, 12-15 group label,
//                                               16 op (1 associate, 2 disassociate); 17 bytes
//   10   RD VTEP group binding    agent -> dp   4-19 routing domain UUID, 20-23 group label,
//                                               24 op (1 associate, 2 disassociate); 25 bytes
//   11   State query              agent -> dp   one TLV at byte 4: data type 1, no value
//   12   State report             dp -> agent   one TLV at byte 4: data type 1, one byte (non-zero:
//                                               out of sync)
//   13   L2 Mapping Session control  both       one TLV at byte 4: data type 1, length 9, control
//                                               type byte, session ID; 13 bytes
//   14   Routing domain membership   agent -> dp   4-7 switch ID, 8-23 routing domain UUID, 24 op
//                                               (1 join, else leave), 25 global flag; 26 bytes.
//                                               A join may carry the domain's remote VTEPs: a
//                                               16-bit removed count at 26, the removed VTEP
//                                               entries, then the added ones to the end (26 or
//                                               28 + 57n bytes); a leave drops the domain
//   15   Instance change          dp -> agent   4-7 instance (switch) ID, 8 op (1 insert, else
//                                               remove); 9 bytes
//   16   Global replication       agent -> dp   4-7 switch ID, 8 mode; 9 bytes
//   17   TEP alarm                dp -> agent   4-19 kernel NIC name (NUL-padded), 20-83 host
//                                               switch name (NUL-padded), 84 alarm kind, 85 TEP
//                                               state, 86 fault reason bits, 87 zero; 88 bytes
//   1001 Controller IP Update     agent -> dp   4-7 switch ID, 8-11 VNI, 12-15 IPv4, 16-19 address
//                                               type (host order: 0 none, 1 IPv4, 2 IPv6, 3 both),
//                                               20-35 IPv6; 36 bytes
// A received message longer than a fixed layout is accepted (the layout may grow at the end); a
// shorter one is refused.
//
// Update data types, value layout after the 4-byte TLV header. A counted list is a 16-bit
// removed-entry count at value offset 8, the removed entries from offset 10, then the added
// entries up to the end of the TLV; the added part must be a whole number of entries.
//   2  VM IP (v4)      switch ID, VNI, counted list of 10-byte entries (IPv4, VM MAC)
//   3  VM IP (v6)      switch ID, VNI, counted list of 22-byte entries (IPv6, VM MAC)
//   4  VM MAC          switch ID, VNI, counted list of 40-byte VM MAC entries
//   5  VTEP membership switch ID, VNI, removed count, removed VTEP entries, added count (16 bits),
//                      added VTEP entries; the value ends exactly after the added entries
//   6  ARP (v4)        switch ID, VNI, 44-byte ARP entries (no count)
//   7  ND (v6)         switch ID, VNI, 56-byte ND entries (no count)
//   8  VIF Update      status byte (1 connected), 160-byte NUL-padded VIF IDs
//   9  RD VTEP membership   switch ID, then the switch's complete list of local routing-domain
//                      VTEPs as VTEP entries (at most one IPv4 and one IPv6; none clears)
//   10 RD list         switch ID, one zero byte, 16-byte routing domain UUIDs
//   11 BFD session     switch ID, 16-bit operation (0 add, 1 remove), one 57-byte BFD session
//                      entry; value 63 (TLV 67). The dataplane keys a session by (switch ID,
//                      entry): sessions that differ in VNI, routing domain or group label are
//                      distinct, an add of a present one or a removal of an absent one is a fault
// Query data types (message type 6): switch ID, VNI, then 6-byte MACs (4), 4-byte IPv4 addresses
// (6) or 16-byte IPv6 addresses (7); each is answered with an Update of the same data type.
//
// Entries:
//   VTEP entry (57)   0-3 IPv4, 4-7 label, 8-11 segment ID (IPv4 form), 12-17 MAC, 18 encap,
//                     19 MTEP capability (1-3), 20 tunnel-kind flag, 21-24 address type (host
//                     order, 1 IPv4, 2 IPv6), 25-40 IPv6, 41-56 segment ID (IPv6 form)
//   VM MAC entry (40) 0-5 VM MAC, 6-11 VTEP MAC, 12-15 VTEP IPv4, 16-19 zero, 20-23 address type
//                     (host order), 24-39 VTEP IPv6
//   ARP entry (44)    0-3 VM IPv4, 4-7 VTEP IPv4, 8-13 VM MAC, 14-19 VTEP MAC, 20-23 address type
//                     (host order), 24-39 VTEP IPv6, 40-43 zero
//   ND entry (56)     0-15 VM IPv6, 16-19 VTEP IPv4, 20-25 VM MAC, 26-31 VTEP MAC, 32-35 address
//                     type (host order), 36-51 VTEP IPv6, 52-55 zero
//   VTEP group member (28)  0-3 VTEP label, 4-7 IPv4, 8-11 address type (host order), 12-27 IPv6
//   BFD session entry (57)  0-15 local VTEP IP, 16-31 remote VTEP IP (IPv4 in the first 4 bytes,
//                     the other 12 zero), 32 family (0 IPv4, 1 IPv6), 33-36 VNI, 37-52 routing
//                     domain UUID (zero: none), 53-56 VTEP group label
// The "zero" bytes are sent as zero and ignored when read.
//
// Configure items (TLVs of message type 2):
//   1 maximum message length, 3 frequency-control period (ms), 4 frequency-control query limit,
//   5 frequency-control update limit, 6 BTE ageing time (s), 7 ARP ageing time (s): 16-bit value
//   8 BFD: 0-47 DVS UUID as text (NUL-padded), 48 latency enable, 49 presence flags (bit 0
//     enable, bit 1 VTEP health interval, bit 2 latency enable), 50 enable, 51-52 zero, 53-56 VTEP
//     health interval, 57-64 zero; value 65 (message 73)
//   9 EVPN global BFD: 0-3 type (zero), 4 presence flags (bit 0 enable, bit 1 VTEP health
//     interval, bit 3 multiplier), 5 enable, 6-7 zero, 8-11 VTEP health interval, 12-15
//     multiplier, 16-19 zero; value 20 (message 28)
//   A field whose presence bit is clear is not changed by the dataplane.
//   257 multicast proxy, 258 ARP proxy: switch ID, VNI, enable byte (1 on, 0 off); value 9
//   259 routing domain ID: switch ID, VNI, 16-byte routing domain UUID; value 24
//   261 MAC limit: switch ID, VNI, 32-bit limit; value 12
// A UUID travels as its two 64-bit halves, each big-endian (the 8-4-4-4-12 text order).
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "dataplane/DpFraming.h"

namespace CfgAgent::vxlan {

using MacAddr = std::array<uint8_t, 6>;
using Ipv6Addr = std::array<uint8_t, 16>;
using UuidBytes = std::array<uint8_t, 16>;

enum MsgType : uint16_t {
    kMsgInit = 1,
    kMsgConfigure = 2,
    kMsgVniMembership = 3,
    kMsgLinkChange = 4,
    kMsgUpdate = 5,
    kMsgQuery = 6,
    kMsgNotification = 7,
    kMsgVtepGroup = 8,
    kMsgLsVtepGroupBinding = 9,
    kMsgRdVtepGroupBinding = 10,
    kMsgStateQuery = 11,
    kMsgStateReport = 12,
    kMsgSessionControl = 13,
    kMsgRdMembership = 14,
    kMsgInstanceChange = 15,
    kMsgGlobalReplication = 16,
    kMsgTepAlarm = 17,
    kMsgControllerIp = 1001,
};

constexpr size_t kFirstTlvOffset = 4;

// The agent's link buffer, and the largest message either side sends unless Configure item 1 says
// otherwise.
constexpr size_t kLinkBufferSize = 4096;
constexpr uint16_t kDefaultMaxMsgLength = 4085;
// The smallest maximum the agent accepts: room for a VTEP membership TLV with one entry and more.
constexpr uint16_t kMinMaxMsgLength = 256;

// --- fixed-layout messages ---
constexpr size_t kVniMembershipSize = 13;
constexpr size_t kLinkChangeHeadSize = 9;
constexpr size_t kLinkChangeEntrySize = 6;
constexpr size_t kNotificationSize = 8;
constexpr size_t kVtepGroupHeadSize = 12;
constexpr size_t kVtepGroupMemberSize = 28;
constexpr size_t kLsVtepGroupBindingSize = 17;
constexpr size_t kRdVtepGroupBindingSize = 25;
constexpr size_t kSessionControlSize = 13;
constexpr size_t kSessionControlValueSize = 5;  // control type, session ID
constexpr size_t kRdMembershipSize = 26;
constexpr size_t kRdStateHeadSize = 28;  // with the removed count
constexpr size_t kInstanceChangeSize = 9;
constexpr size_t kGlobalReplicationSize = 9;
constexpr size_t kTepAlarmSize = 88;
constexpr size_t kControllerIpSize = 36;

constexpr uint8_t kOpJoin = 1;    // VNI membership, routing domain membership
constexpr uint8_t kOpLeave = 2;   // sent for a leave; any value but 1 is read as one
constexpr uint8_t kOpInsert = 1;  // instance change
constexpr uint8_t kOpRemove = 2;
constexpr uint8_t kOpAdd = 1;  // VTEP group, group bindings
constexpr uint8_t kOpDelete = 2;

// Session control (type 13) and state report / query (types 11, 12) data type.
constexpr uint16_t kSessionControlDataType = 1;
constexpr uint16_t kStateOutOfSyncDataType = 1;
enum ControlType : uint8_t {
    kSessionOpen = 1,
    kSessionOpenAck = 2,
    kSessionFullSyncEnd = 3,
};

// Update and Query data types (VXLAN_DATATYPE_*).
enum DataType : uint16_t {
    kDtVmIpv4 = 2,
    kDtVmIpv6 = 3,
    kDtVmMac = 4,
    kDtVtepMembership = 5,
    kDtArpv4 = 6,
    kDtNdv6 = 7,
    kDtVif = 8,
    kDtRdVtepMembership = 9,
    kDtRdList = 10,
    kDtBfdSession = 11,
};

// Value offsets of the lists in Update TLVs.
constexpr size_t kListHeadSize = 8;      // switch ID, VNI
constexpr size_t kCountedHeadSize = 10;  // switch ID, VNI, removed count
constexpr size_t kRdVtepHeadSize = 4;    // switch ID
constexpr size_t kRdListHeadSize = 5;    // switch ID, zero byte
constexpr size_t kVifStatusSize = 1;

// Entry sizes.
constexpr size_t kVmIpv4EntrySize = 10;
constexpr size_t kVmIpv6EntrySize = 22;
constexpr size_t kVmMacEntrySize = 40;
constexpr size_t kVtepEntrySize = 57;
constexpr size_t kArpEntrySize = 44;
constexpr size_t kNdEntrySize = 56;
constexpr size_t kVifIdSize = 160;
constexpr size_t kUuidSize = 16;
constexpr size_t kMacSize = 6;

// VTEP entry offsets.
constexpr size_t kVtepIpv4 = 0;
constexpr size_t kVtepLabel = 4;
constexpr size_t kVtepSegmentV4 = 8;
constexpr size_t kVtepMac = 12;
constexpr size_t kVtepEncap = 18;
constexpr size_t kVtepMtep = 19;
constexpr size_t kVtepFlag = 20;
constexpr size_t kVtepAddrType = 21;
constexpr size_t kVtepIpv6 = 25;
constexpr size_t kVtepSegmentV6 = 41;
// VM MAC entry offsets.
constexpr size_t kMacVmMac = 0;
constexpr size_t kMacVtepMac = 6;
constexpr size_t kMacVtepIpv4 = 12;
constexpr size_t kMacZero = 16;
constexpr size_t kMacAddrType = 20;
constexpr size_t kMacVtepIpv6 = 24;
// ARP entry offsets.
constexpr size_t kArpVmIpv4 = 0;
constexpr size_t kArpVtepIpv4 = 4;
constexpr size_t kArpVmMac = 8;
constexpr size_t kArpVtepMac = 14;
constexpr size_t kArpAddrType = 20;
constexpr size_t kArpVtepIpv6 = 24;
// ND entry offsets.
constexpr size_t kNdVmIpv6 = 0;
constexpr size_t kNdVtepIpv4 = 16;
constexpr size_t kNdVmMac = 20;
constexpr size_t kNdVtepMac = 26;
constexpr size_t kNdAddrType = 32;
constexpr size_t kNdVtepIpv6 = 36;
// Controller IP Update offsets.
constexpr size_t kCtlrSwitchId = 4;
constexpr size_t kCtlrVni = 8;
constexpr size_t kCtlrIpv4 = 12;
constexpr size_t kCtlrAddrType = 16;
constexpr size_t kCtlrIpv6 = 20;
// TEP alarm offsets and widths.
constexpr size_t kAlarmNicName = 4;
constexpr size_t kAlarmNicNameSize = 16;
constexpr size_t kAlarmSwitchName = 20;
constexpr size_t kAlarmSwitchNameSize = 64;
constexpr size_t kAlarmKind = 84;
constexpr size_t kAlarmState = 85;
constexpr size_t kAlarmReasons = 86;

// Address types (the 32-bit host-order fields).
enum AddrType : uint32_t {
    kAddrNone = 0,
    kAddrIpv4 = 1,
    kAddrIpv6 = 2,
    kAddrBoth = 3,  // Controller IP Update only
};

// Encapsulation codes of the VTEP entry.
enum Encap : uint8_t {
    kEncapVxlan = 1,
    kEncapGeneve = 2,
    kEncapStt = 3,
};
// MTEP capability of the VTEP entry: 1-3, 1 when the desired entry has none.
constexpr uint8_t kMtepMin = 1;
constexpr uint8_t kMtepMax = 3;
constexpr uint8_t kMtepDefault = 1;

// TEP alarm kinds, states and fault reason bits.
enum AlarmKind : uint8_t {
    kAlarmFault = 1,
    kAlarmHaActive = 2,
    kAlarmAutoRecovery = 3,
};
enum TepState : uint8_t {
    kTepUp = 1,
    kTepDown = 2,
    kTepDegraded = 3,
};
constexpr uint8_t kReasonBfdDown = 0x01;
constexpr uint8_t kReasonNoIpv4 = 0x02;
constexpr uint8_t kReasonNoIpv6 = 0x04;

// VTEP group types and activeness protocols (message type 8).
enum VtepGroupType : uint8_t {
    kGroupTypeLogicalSwitch = 1,
    kGroupTypeRoutingDomain = 2,
};
enum ActivenessProtocol : uint8_t {
    kActivenessNone = 0,
    kActivenessBfd = 1,
};

// Configure items.
enum ConfigureItem : uint16_t {
    kCfgMaxMsgLength = 1,
    kCfgFreqCtrlPeriod = 3,
    kCfgFreqCtrlQueryLimit = 4,
    kCfgFreqCtrlUpdateLimit = 5,
    kCfgBteAgeingTime = 6,
    kCfgArpAgeingTime = 7,
    kCfgBfd = 8,
    kCfgEvpnGlobalBfd = 9,
    kCfgMulticastProxy = 257,
    kCfgArpProxy = 258,
    kCfgRoutingDomainId = 259,
    kCfgMacLimit = 261,
};
constexpr size_t kCfgSettingValueSize = 2;
constexpr size_t kCfgProxyValueSize = 9;
constexpr size_t kCfgRoutingDomainValueSize = 24;
constexpr size_t kCfgMacLimitValueSize = 12;

// BFD session (data type 11): value offsets, entry offsets and codes.
constexpr size_t kBfdSessionValueSize = 63;
constexpr size_t kBfdSessionEntrySize = 57;
constexpr size_t kBfdSessionSwitchId = 0;
constexpr size_t kBfdSessionOp = 4;
constexpr size_t kBfdSessionEntry = 6;
constexpr size_t kBfdLocalIp = 0;
constexpr size_t kBfdRemoteIp = 16;
constexpr size_t kBfdFamily = 32;
constexpr size_t kBfdVni = 33;
constexpr size_t kBfdRoutingDomain = 37;
constexpr size_t kBfdGroupLabel = 53;
constexpr uint16_t kBfdSessionAdd = 0;
constexpr uint16_t kBfdSessionRemove = 1;
constexpr uint8_t kBfdFamilyIpv4 = 0;
constexpr uint8_t kBfdFamilyIpv6 = 1;
// Configure item 8 (BFD of a host switch).
constexpr size_t kCfgBfdValueSize = 65;
constexpr size_t kBfdCfgDvsUuid = 0;
constexpr size_t kBfdCfgDvsUuidSize = 48;
constexpr size_t kBfdCfgLatency = 48;
constexpr size_t kBfdCfgFlags = 49;
constexpr size_t kBfdCfgEnable = 50;
constexpr size_t kBfdCfgInterval = 53;
constexpr uint8_t kBfdCfgHasEnable = 0x01;
constexpr uint8_t kBfdCfgHasInterval = 0x02;
constexpr uint8_t kBfdCfgHasLatency = 0x04;
// Configure item 9 (EVPN global BFD).
constexpr size_t kCfgEvpnBfdValueSize = 20;
constexpr size_t kEvpnBfdType = 0;
constexpr size_t kEvpnBfdFlags = 4;
constexpr size_t kEvpnBfdEnable = 5;
constexpr size_t kEvpnBfdInterval = 8;
constexpr size_t kEvpnBfdMultiplier = 12;
constexpr uint8_t kEvpnBfdHasEnable = 0x01;
constexpr uint8_t kEvpnBfdHasInterval = 0x02;
constexpr uint8_t kEvpnBfdHasMultiplier = 0x08;
// The Configure message of a session start: six settings, 4 + 6 x 6 bytes.
constexpr size_t kSessionConfigureSize = 40;

// --- the address-type fields: host byte order ---
inline uint32_t LoadAddrType(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void StoreAddrType(uint8_t* p, uint32_t v) {
    std::memcpy(p, &v, sizeof v);
}

// Names used in dumps and logs ("unknown" outside the catalogue).
const char* MsgTypeName(uint16_t type);
const char* DataTypeName(uint16_t dataType);  // "VM MAC Update" and the like
const char* ControlTypeName(uint8_t type);
const char* ConfigureItemName(uint16_t item);
const char* EncapName(uint8_t encap);
const char* AlarmKindName(uint8_t kind);
const char* TepStateName(uint8_t state);

}  // namespace CfgAgent::vxlan
