#pragma once
// The configuration family (KCP) of dataplane messages: message types, data types, record sizes
// and codes. Shared by the agent and the dataplane emulator; the framing is DpFraming.h.
//
// Message types and bodies:
//   1 Init           TLVs from byte 4
//   2 Update         flag byte at byte 4 (kUpdateFragmentFlag: a fragment, more follow), TLVs
//                    from byte 5
//   3 Notification   TLVs from byte 4
//   4 Query          TLVs from byte 4
//   5 VIF Session control   one TLV at byte 4 (control type byte, 32-bit session ID, 2 bytes)
//
// Fragmentation: an Update larger than the negotiated maximum is sent as several Updates; each
// one is well formed on its own and every one but the last has the fragment flag set. The agent's
// builder (KcpUpdateBuilder) cuts at record boundaries: an element too large for one fragment
// becomes several elements of the same type, each repeating the element's prefix (operation byte,
// parent VIF ID), and a record too large for one fragment becomes several copies of its head, each
// with its own record length and a share of the properties. The dataplane joins the element lists
// of all fragments and handles them as one Update, merging the properties of records with the same
// ID. In the other direction the dataplane fragments only a single VIF record, so that ConfigApp's
// join (the first fragment's element and record head, then every fragment's properties) is exact.
//
// Integers are big-endian, including the 64-bit discovered-binding timestamp (seconds since the
// epoch). Identifier fields are NUL-padded text; an identifier fills at most width - 1 bytes so
// that every field is NUL-terminated.
#include <cstddef>
#include <cstdint>

namespace CfgAgent::kcp {

enum MsgType : uint16_t {
    kMsgInit = 1,
    kMsgUpdate = 2,
    kMsgNotification = 3,
    kMsgQuery = 4,
    kMsgSessionControl = 5,
};

constexpr uint8_t kUpdateFragmentFlag = 0x80;
constexpr size_t kUpdateFlagOffset = 4;
constexpr size_t kUpdateFirstTlvOffset = 5;
constexpr size_t kFirstTlvOffset = 4;

// The largest KCP message either side sends unless told otherwise (the agent's link buffer).
constexpr size_t kDefaultMaxMsgLength = 10240;

// Init data types.
constexpr uint16_t kInitMaxMsgLength = 1;  // 16-bit value
// Query data types.
constexpr uint16_t kQueryDpStatus = 1;  // no value

// VIF Session control.
constexpr uint16_t kSessionControlDataType = 1;
enum ControlType : uint8_t {
    kSessionOpen = 1,
    kSessionOpenAck = 2,
    kSessionFullSyncEnd = 3,
    kSessionClose = 4,
};
constexpr size_t kSessionControlMsgSize = 15;
constexpr size_t kSessionControlValueSize = 7;  // control type, session ID, two trailing bytes
constexpr uint8_t kSessionOpenTrailer = 0x28;   // byte 13 of a Session Open

// Notification data types.
enum NotificationType : uint16_t {
    kNotifyDpStatus = 1,              // status byte
    kNotifyPortPropOutOfSync = 2,     // 48-byte VIF ID
    kNotifyKrnnicPropOutOfSync = 3,   // 16-byte kernel-interface name
    kNotifyPortContainerHopover = 4,  // 48-byte VIF ID, 16-bit sync type
};
enum DpStatus : uint8_t {
    kDpStatusSync = 0,
    kDpStatusOutOfSync = 1,
};
enum HopoverSyncType : uint16_t {
    kSyncPortProperties = 1,
    kSyncPortContainerList = 2,
    kSyncBoth = 3,
};

// Update data types.
enum UpdateType : uint16_t {
    kVifUpdate = 1,
    kPortPropertyUpdate = 2,
    kPortListUpdate = 3,
    kKrnnicPropertyUpdate = 4,
    kKrnnicListUpdate = 5,
    kSwxPropertyUpdate = 6,
    kContainerUpdate = 7,
    kContainerListUpdate = 8,
    kPortContainerListUpdate = 9,
    kSwxListUpdate = 10,
    kUplinkUpdate = 11,
};

enum Operation : uint8_t {
    kOpUpdate = 1,
    kOpDelete = 2,
    kOpFullSync = 3,
};

enum VifType : uint8_t {
    kVifVnic = 1,
    kVifKrnnic = 2,
    kVifContainer = 3,
    kVifCrxPort = 4,
    kVifSriov = 5,
    kVifDvpgPort = 6,
};

// Properties inside a VIF record.
enum VifPropertyType : uint16_t {
    kVifPropStatus = 1,    // one byte
    kVifPropMac = 2,       // 6-byte MACs
    kVifPropBindings = 3,  // 34-byte discovered bindings
};
enum VifStatus : uint8_t {
    kVifConnect = 1,
    kVifDisconnect = 2,
};

// Discovery methods of a discovered binding.
enum DiscoveryMethod : uint8_t {
    kDiscoveryArpSnooping = 1,
    kDiscoveryDhcpSnooping = 2,
    kDiscoveryNdSnooping = 3,
    kDiscoveryDhcpv6Snooping = 4,
    kDiscoveryVmTools = 5,
};

// Field widths and record sizes.
constexpr size_t kIdSize = 48;          // VIF, port and container IDs
constexpr size_t kKrnnicNameSize = 16;  // kernel-interface names
constexpr size_t kSwitchIdSize = 64;    // switch (SWX) IDs
constexpr size_t kMacSize = 6;
constexpr size_t kVifFixedSize = 213;
constexpr size_t kVifRecordLengthOffset = 211;
constexpr size_t kPortRecordHeadSize = kIdSize + 2;            // 50
constexpr size_t kKrnnicRecordHeadSize = kKrnnicNameSize + 2;  // 18
constexpr size_t kSwxHeadSize = kSwitchIdSize + 1 + 2;         // 67
constexpr size_t kContainerFixedSize = 202;
constexpr size_t kContainerEntrySize = 23;
constexpr size_t kUplinkClientSize = 20;
constexpr size_t kUplinkAliasSize = 81;
constexpr size_t kUplinkRecordSize = kIdSize + kSwitchIdSize + kUplinkClientSize + kUplinkAliasSize;
constexpr size_t kBindingSize = 34;
constexpr size_t kHopoverValueSize = kIdSize + 2;

// Names used in dumps and logs ("Invalid" / "unknown" for codes outside the catalogue).
const char* OperationName(uint8_t op);
const char* ControlTypeName(uint8_t type);
const char* VifTypeName(uint8_t type);
const char* VifStatusName(uint8_t status);
const char* DpStatusName(uint8_t status);
const char* HopoverSyncTypeName(uint16_t type);
const char* UpdateTypeName(uint16_t type);
const char* DiscoveryMethodName(uint8_t method);  // nullptr when unknown

}  // namespace CfgAgent::kcp
