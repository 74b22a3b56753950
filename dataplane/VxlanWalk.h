#pragma once
// Strict views of received VXLAN messages (VxlanProtocol.h), used by the L2 application, the dump
// renderer and the dataplane emulator.
//
// Every view checks the bytes it reads against the message's length field (never the buffer
// size) before reading them: a fixed-layout message shorter than its layout, a TLV that does not
// fit, or a list whose counts do not match its value is refused as a whole. Views point into the
// received buffer and are valid only as long as it is; nothing is copied except texts.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dataplane/DpFraming.h"
#include "dataplane/VxlanProtocol.h"

namespace CfgAgent::vxlan {

// A received message whose header is sane (DpMsgCheckedLength).
struct MsgView {
    const uint8_t* data = nullptr;
    size_t length = 0;
    uint16_t type = 0;
};
bool ViewMessage(const uint8_t* msg, size_t available, MsgView* view);

// --- fixed-layout messages: false when shorter than the layout ---

struct VniMembership {
    uint32_t switchId = 0;
    uint32_t vni = 0;
    uint8_t op = 0;
    bool Join() const { return op == kOpJoin; }
};
bool ParseVniMembership(const MsgView& msg, VniMembership* out);

struct InstanceChange {
    uint32_t instanceId = 0;
    uint8_t op = 0;
    bool Insert() const { return op == kOpInsert; }
};
bool ParseInstanceChange(const MsgView& msg, InstanceChange* out);

struct Notification {
    uint16_t errorCode = 0;
    uint16_t subCode = 0;
};
bool ParseNotification(const MsgView& msg, Notification* out);

struct LinkVni {
    uint32_t vni = 0;
    uint8_t multicastProxy = 0;
    uint8_t arpProxy = 0;
};
struct LinkChange {
    uint32_t switchId = 0;
    uint8_t flag = 0;
    std::vector<LinkVni> vnis;
};
// Also false when the VNI entries are not a whole number.
bool ParseLinkChange(const MsgView& msg, LinkChange* out);

struct ControllerIp {
    uint32_t switchId = 0;
    uint32_t vni = 0;
    uint32_t ipv4 = 0;  // as read big-endian: 10.0.0.1 is 0x0a000001
    uint32_t addrType = kAddrNone;
    Ipv6Addr ipv6{};
};
bool ParseControllerIp(const MsgView& msg, ControllerIp* out);

struct GlobalReplication {
    uint32_t switchId = 0;
    uint8_t mode = 0;
};
bool ParseGlobalReplication(const MsgView& msg, GlobalReplication* out);

struct VtepGroupMember {
    uint32_t label = 0;
    uint32_t ipv4 = 0;
    uint32_t addrType = kAddrNone;
    Ipv6Addr ipv6{};
};
struct VtepGroup {
    uint32_t label = 0;
    uint8_t op = 0;
    uint8_t groupType = 0;
    uint8_t protocol = 0;
    std::vector<VtepGroupMember> members;
};
// Also false when the members are not a whole number.
bool ParseVtepGroup(const MsgView& msg, VtepGroup* out);

struct LsVtepGroupBinding {
    uint32_t switchId = 0;
    uint32_t vni = 0;
    uint32_t label = 0;
    uint8_t op = 0;
};
bool ParseLsVtepGroupBinding(const MsgView& msg, LsVtepGroupBinding* out);

struct RdVtepGroupBinding {
    UuidBytes routingDomain{};
    uint32_t label = 0;
    uint8_t op = 0;
};
bool ParseRdVtepGroupBinding(const MsgView& msg, RdVtepGroupBinding* out);

struct RdMembership {
    uint32_t switchId = 0;
    UuidBytes routingDomain{};
    uint8_t op = 0;
    uint8_t global = 0;
};
bool ParseRdMembership(const MsgView& msg, RdMembership* out);

struct TepAlarm {
    std::string nicName;     // up to the first NUL of its 16 bytes
    std::string switchName;  // up to the first NUL of its 64 bytes
    uint8_t kind = 0;
    uint8_t state = 0;
    uint8_t reasons = 0;
};
bool ParseTepAlarm(const MsgView& msg, TepAlarm* out);

// --- single-TLV messages ---

// Session control (type 13). kOk: `out` is complete. kNoTlv: no TLV fits after the header.
// kShortValue: the TLV's value is shorter than control type plus session ID (dataType and
// valueSize are filled). A data type other than 1 is returned as read; the caller decides.
enum class TlvResult { kOk, kNoTlv, kShortValue };
struct SessionControl {
    uint16_t dataType = 0;
    size_t valueSize = 0;
    uint8_t controlType = 0;
    uint32_t sessionId = 0;
};
TlvResult ParseSessionControl(const MsgView& msg, SessionControl* out);

// State report (type 12) and state query (type 11): the first TLV. outOfSync is set only when the
// value is exactly one byte.
struct StateReport {
    uint16_t dataType = 0;
    size_t valueSize = 0;
    uint8_t outOfSync = 0;
};
TlvResult ParseStateReport(const MsgView& msg, StateReport* out);

// --- TLV lists: Update, Query, Configure ---

// Walks the TLVs from byte 4. Returns false when one does not fit (those before it were handed
// out); `failedAt` (when given) receives the offset of the one that did not fit.
bool WalkTlvs(const MsgView& msg, const std::function<void(const DpTlv&)>& fn,
              size_t* failedAt = nullptr);

// Fixed-size entries back to back.
struct EntryList {
    const uint8_t* data = nullptr;
    size_t count = 0;
    size_t entrySize = 0;
    const uint8_t* operator[](size_t i) const { return data + i * entrySize; }
};

// A Routing domain membership change with the remote VTEPs of the domain (type 14): false when
// shorter than 26 bytes, or longer without a count and whole VTEP entries that match it.
struct RdState {
    RdMembership head;
    EntryList removed;
    EntryList added;
};
bool ParseRdState(const MsgView& msg, RdState* out);

// An Update (or Query) TLV holding entries of one VNI (data types 2-7), or the local routing-domain
// VTEPs of a switch (data type 9: vni 0, entries in `added`).
struct ListUpdate {
    uint32_t switchId = 0;
    uint32_t vni = 0;
    EntryList removed;
    EntryList added;
};
enum class ListResult {
    kOk,
    kTooShort,   // shorter than its head
    kBadLength,  // counts or entries do not match the value size
    kNotAList,   // a data type without an entry list
};
// The entry size of a list data type of Update messages; 0 for other data types.
size_t EntrySizeOf(uint16_t dataType);
ListResult ParseListUpdate(const DpTlv& tlv, ListUpdate* out);

// A Query TLV (data types 4, 6, 7): switch ID, VNI, then 6-, 4- or 16-byte addresses in `added`.
// A partial trailing address is ignored.
size_t QueryAddressSizeOf(uint16_t dataType);
ListResult ParseQuery(const DpTlv& tlv, ListUpdate* out);

// Routing domain list (data type 10): switch ID, zero byte, whole 16-byte UUIDs.
bool ParseRdList(const DpTlv& tlv, uint32_t* switchId, EntryList* uuids);
// VIF Update (data type 8): status byte, whole 160-byte VIF IDs.
bool ParseVifUpdate(const DpTlv& tlv, uint8_t* status, EntryList* vifIds);

// Configure items: the value size each item must have (0 for an unknown one).
size_t ConfigureValueSizeOf(uint16_t item);
struct SwitchItem {
    uint32_t switchId = 0;
    uint32_t vni = 0;
    uint32_t value = 0;         // enable byte (257, 258) or MAC limit (261)
    UuidBytes routingDomain{};  // 259
};
// Items 257, 258, 259, 261 with their exact value size; false otherwise.
bool ParseSwitchItem(const DpTlv& tlv, SwitchItem* out);

// BFD session (Update data type 11). False unless the value is exactly 63 bytes with operation 0
// or 1, family 0 or 1, and (IPv4) the 12 bytes after each address zero.
struct BfdSession {
    uint32_t switchId = 0;
    uint16_t op = 0;
    uint8_t family = 0;
    Ipv6Addr local{};  // IPv4 in the first 4 bytes
    Ipv6Addr remote{};
    uint32_t vni = 0;
    UuidBytes routingDomain{};
    uint32_t groupLabel = 0;
    std::array<uint8_t, kBfdSessionEntrySize> entry{};  // the entry as received: the session's key
};
bool ParseBfdSession(const DpTlv& tlv, BfdSession* out);
// Configure item 8. False unless exactly 65 bytes, the UUID text NUL-padded (nothing after its
// first NUL), the zero bytes zero and only the three flag bits used.
struct BfdConfigItem {
    std::string dvsUuid;
    uint8_t flags = 0;
    uint8_t latencyEnable = 0;
    uint8_t enable = 0;
    uint32_t healthInterval = 0;
};
bool ParseBfdConfigItem(const DpTlv& tlv, BfdConfigItem* out);
// Configure item 9. False unless exactly 20 bytes, type and zero bytes zero and only bits 0, 1
// and 3 of the flags used.
struct EvpnBfdItem {
    uint8_t flags = 0;
    uint8_t enable = 0;
    uint32_t healthInterval = 0;
    uint32_t multiplier = 0;
};
bool ParseEvpnBfdItem(const DpTlv& tlv, EvpnBfdItem* out);

// --- entries ---

struct VtepEntry {
    uint32_t ipv4 = 0;
    uint32_t label = 0;
    uint32_t segmentV4 = 0;
    MacAddr mac{};
    uint8_t encap = 0;
    uint8_t mtep = 0;
    uint8_t flag = 0;
    uint32_t addrType = kAddrNone;
    Ipv6Addr ipv6{};
    Ipv6Addr segmentV6{};
};
struct VmMacEntry {
    MacAddr vmMac{};
    MacAddr vtepMac{};
    uint32_t vtepIpv4 = 0;
    uint32_t addrType = kAddrNone;
    Ipv6Addr vtepIpv6{};
};
// Data types 2 (IPv4 in ipv4) and 3 (IPv6 in ipv6).
struct VmIpEntry {
    uint32_t ipv4 = 0;
    Ipv6Addr ipv6{};
    MacAddr mac{};
};
struct ArpEntry {
    uint32_t vmIpv4 = 0;
    uint32_t vtepIpv4 = 0;
    MacAddr vmMac{};
    MacAddr vtepMac{};
    uint32_t addrType = kAddrNone;
    Ipv6Addr vtepIpv6{};
};
struct NdEntry {
    Ipv6Addr vmIpv6{};
    uint32_t vtepIpv4 = 0;
    MacAddr vmMac{};
    MacAddr vtepMac{};
    uint32_t addrType = kAddrNone;
    Ipv6Addr vtepIpv6{};
};

// Each reads one whole entry; the caller passes a pointer from an EntryList of the right size.
VtepEntry ReadVtepEntry(const uint8_t* p);
VmMacEntry ReadVmMacEntry(const uint8_t* p);
VmIpEntry ReadVmIpEntry(uint16_t dataType, const uint8_t* p);
ArpEntry ReadArpEntry(const uint8_t* p);
NdEntry ReadNdEntry(const uint8_t* p);
UuidBytes ReadUuid(const uint8_t* p);

// Text forms for dumps and logs (MAC addresses: kcp::MacText).
std::string Ipv4Text(uint32_t address);
std::string Ipv6Text(const uint8_t* address);
std::string UuidText(const UuidBytes& uuid);
// The address an address type selects: IPv4, IPv6, "IPv4,IPv6" for both, "addrType N" otherwise.
std::string VtepAddressText(uint32_t addrType, uint32_t ipv4, const Ipv6Addr& ipv6);

}  // namespace CfgAgent::vxlan
