#pragma once
// Builders of VXLAN messages (VxlanProtocol.h), used by the L2 application and by the dataplane
// emulator for the messages the dataplane sends.
//
// Every builder computes the exact size and allocates it once (DpMsgWriter). A message that cannot
// be built (a list too long for one message, a maximum too small for a single entry) comes back
// empty with an error line: callers must treat an empty message as a failure and never send it.
// Entry lists are split by BuildListUpdates so that each message stays within the maximum length
// the receiver announced (Configure item 1); every piece is a complete TLV with its own counts.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dataplane/DpFraming.h"
#include "dataplane/VxlanProtocol.h"
#include "dataplane/VxlanWalk.h"

namespace CfgAgent::vxlan {

// --- session ---

// The 13-byte L2 Mapping Session control message.
DpMsg BuildSessionControl(uint8_t controlType, uint32_t sessionId);
// The process-wide L2 session ID (distinct from the KCP one): NewSessionId() increments it and
// returns the new value.
uint32_t NewSessionId();
uint32_t CurrentSessionId();

// The six dataplane settings of a session start.
struct Settings {
    uint16_t maxMsgLength = kDefaultMaxMsgLength;
    uint16_t freqCtrlPeriod = 1000;
    uint16_t freqCtrlQueryLimit = 100;
    uint16_t freqCtrlUpdateLimit = 20;
    uint16_t bteAgeingTime = 720;
    uint16_t arpAgeingTime = 600;
};
// The 40-byte Configure message: items 1, 3, 4, 5, 6, 7 in that order.
DpMsg BuildSessionConfigure(const Settings& settings);

// One Configure item: the item type and its value.
struct ConfigureItemValue {
    uint16_t item = 0;
    std::vector<uint8_t> value;
};
ConfigureItemValue ProxyItem(uint16_t item, uint32_t switchId, uint32_t vni, bool enable);
ConfigureItemValue RoutingDomainItem(uint32_t switchId, uint32_t vni, const UuidBytes& rd);
ConfigureItemValue MacLimitItem(uint32_t switchId, uint32_t vni, uint32_t limit);
// A Configure message holding the items in order.
DpMsg BuildConfigure(const std::vector<ConfigureItemValue>& items);

// A state report of one TLV: `dataType` (1 unless testing another) with the out-of-sync byte.
DpMsg BuildStateReport(uint8_t outOfSync, uint16_t dataType = kStateOutOfSyncDataType);
DpMsg BuildStateQuery();

// --- fixed layouts ---

DpMsg BuildVniMembership(uint32_t switchId, uint32_t vni, uint8_t op);
DpMsg BuildInstanceChange(uint32_t instanceId, uint8_t op);
DpMsg BuildNotification(uint16_t errorCode, uint16_t subCode);
DpMsg BuildLinkChange(uint32_t switchId, uint8_t flag, const std::vector<LinkVni>& vnis);
// The address type is written as given (0 none, 1 IPv4, 2 IPv6, 3 both).
DpMsg BuildControllerIp(const ControllerIp& ip);
DpMsg BuildGlobalReplication(uint32_t switchId, uint8_t mode);
DpMsg BuildVtepGroup(const VtepGroup& group);
DpMsg BuildLsVtepGroupBinding(const LsVtepGroupBinding& binding);
DpMsg BuildRdVtepGroupBinding(const RdVtepGroupBinding& binding);
DpMsg BuildRdMembership(const RdMembership& membership);
DpMsg BuildTepAlarm(const TepAlarm& alarm);

// --- Update and Query ---

// Entry encoders: each writes one whole entry at `out` (entry size bytes).
void WriteVtepEntry(const VtepEntry& e, uint8_t* out);
void WriteVmMacEntry(const VmMacEntry& e, uint8_t* out);
void WriteVmIpEntry(uint16_t dataType, const VmIpEntry& e, uint8_t* out);
void WriteArpEntry(const ArpEntry& e, uint8_t* out);
void WriteNdEntry(const NdEntry& e, uint8_t* out);

// Encoded entries of one data type, back to back (Append grows the buffer by one entry and
// returns where to write it).
class EntryBuffer {
  public:
    explicit EntryBuffer(size_t entrySize) : size_(entrySize) {}
    uint8_t* Append();
    size_t Count() const { return size_ == 0 ? 0 : bytes_.size() / size_; }
    size_t EntrySize() const { return size_; }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    void Reserve(size_t entries) { bytes_.reserve(entries * size_); }

  private:
    size_t size_;
    std::vector<uint8_t> bytes_;
};

// Update messages of data type 2-7 for one VNI, each at most `maxMsgLength` bytes. Removed entries
// go first, then added ones; a message may hold the tail of one and the head of the other. An
// empty list gives one message without entries. Data types 6 and 7 take no removed entries.
// Empty (with an error line) when the data type has no list, the buffers do not hold entries of
// its size, or the maximum leaves no room for one entry.
std::vector<DpMsg> BuildListUpdates(uint16_t dataType, uint32_t switchId, uint32_t vni,
                                    const EntryBuffer& removed, const EntryBuffer& added,
                                    size_t maxMsgLength);
// Joins of `head`'s routing domain carrying its remote VTEPs (removed, then added), each message
// at most `maxMsgLength` bytes; one message without entries when both are empty. Empty (with an
// error line) when the buffers do not hold VTEP entries or the maximum leaves no room for one.
std::vector<DpMsg> BuildRdStates(const RdMembership& head, const EntryBuffer& removed,
                                 const EntryBuffer& added, size_t maxMsgLength);
// The local routing-domain VTEPs of a switch (data type 9) in one Update.
DpMsg BuildRdVtepUpdate(uint32_t switchId, const std::vector<VtepEntry>& vteps);
// The routing domain list of a switch (data type 10) in one Update: 13 + 16 n bytes.
DpMsg BuildRdListUpdate(uint32_t switchId, const std::vector<UuidBytes>& routingDomains);
// A Query (type 6) of data type 4, 6 or 7 with addresses of its size back to back.
DpMsg BuildQuery(uint16_t dataType, uint32_t switchId, uint32_t vni,
                 const std::vector<uint8_t>& addresses);

}  // namespace CfgAgent::vxlan
