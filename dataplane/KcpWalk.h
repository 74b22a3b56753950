#pragma once
// Strict walkers for received KCP messages (KcpProtocol.h), used by the agent's handlers, the dump
// renderer and the dataplane emulator.
//
// Every walker checks each record and element against the end of its enclosing value before
// using it. A record or element that does not fit ends the walk of that element (the function
// returns false); records handed out before it stay valid. Nothing is copied except the
// identifier texts.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dataplane/DpFraming.h"
#include "dataplane/KcpProtocol.h"

namespace CfgAgent::kcp {

using MacAddr = std::array<uint8_t, 6>;

// A received message: at least the header, and a length field that fits what was received
// (DpMsgCheckedLength). The walkers use the length field, not the buffer size.
struct KcpMsgView {
    const uint8_t* data = nullptr;
    size_t length = 0;
    uint16_t type = 0;
};
// False when the header is not sane.
bool ViewKcpMessage(const uint8_t* msg, size_t available, KcpMsgView* view);

// --- session control, init, query, notification ---

struct SessionControl {
    uint16_t dataType = 0;
    uint8_t controlType = 0;
    uint32_t sessionId = 0;
};
// The first TLV at byte 4 of a VIF Session control message. False when it is missing or its value
// is shorter than control type plus session ID; a data type other than 1 is returned as read (the
// caller decides).
bool ParseSessionControl(const KcpMsgView& msg, SessionControl* out);

// The value of the "Max message length" element of an Init message, if present and 2 bytes long.
std::optional<uint16_t> ParseInitMaxMsgLength(const KcpMsgView& msg);

struct Notification {
    uint16_t type = 0;
    const uint8_t* value = nullptr;
    size_t valueSize = 0;
    // Decoded, per type: DP Status -> status; Port Property OutOfSync and hopover -> id;
    // Krnnic Property OutOfSync -> id (the interface name); hopover -> syncType.
    uint8_t status = 0;
    std::string id;
    uint16_t syncType = 0;
    bool valid = false;  // the value fits its type's layout
};
// Walks the TLVs of a Notification from byte 4. Returns false when an element does not fit.
bool WalkNotifications(const KcpMsgView& msg, const std::function<void(const Notification&)>& fn);

// --- Update ---

struct UpdateView {
    uint8_t flags = 0;
    bool fragment = false;  // more fragments follow
    size_t firstTlv = kUpdateFirstTlvOffset;
};
// The Update checks: at least 6 bytes, at least 4 bytes of elements after byte 5, and a first
// element that fits.
bool CheckUpdate(const KcpMsgView& msg, UpdateView* out);

// A byte range inside a received message.
struct ByteSpan {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// Property elements (16-bit key, 16-bit length including the head, value) in a record.
bool WalkProperties(ByteSpan props, const std::function<void(uint16_t key, ByteSpan value)>& fn);

struct Binding {
    bool ipv4 = false;
    std::array<uint8_t, 16> address{};
    MacAddr mac{};
    uint16_t vlan = 0;
    uint8_t method = 0;
    uint64_t timestamp = 0;
};

struct VifRecord {
    std::string vifId;
    std::string portId;
    std::string switchId;
    std::string parentVifId;
    uint8_t vifType = 0;
    uint8_t smartNic = 0;
    uint8_t hopover = 0;
    uint16_t recordLength = 0;
    ByteSpan properties;  // after the 213-byte fixed part
};

struct VifProperties {
    std::optional<uint8_t> status;
    std::vector<MacAddr> macs;
    std::vector<Binding> bindings;
    std::vector<uint16_t> unknownTypes;
};

// VIF Update value: operation byte, then VIF records. A record shorter than 213 bytes or reaching
// past the value ends the walk.
bool WalkVifUpdate(ByteSpan value, uint8_t* op, const std::function<void(const VifRecord&)>& fn);
// The properties of one VIF record; partial trailing MACs and bindings are ignored.
bool ParseVifProperties(ByteSpan props, VifProperties* out);

struct PropertyRecord {
    std::string id;  // port ID or kernel-interface name
    uint16_t recordLength = 0;
    ByteSpan properties;
};
// Port (kPortPropertyUpdate) or kernel-interface (kKrnnicPropertyUpdate) property records:
// operation byte, then records of an ID (48 or 16 bytes), a 16-bit record length including the
// head, and property elements.
bool WalkPropertyRecords(uint16_t updateType, ByteSpan value, uint8_t* op,
                         const std::function<void(const PropertyRecord&)>& fn);

struct SwxRecord {
    std::string switchId;
    uint8_t op = 0;
    uint16_t recordLength = 0;
    ByteSpan properties;
};
bool ParseSwxUpdate(ByteSpan value, SwxRecord* out);

// Lists of fixed-width IDs (port, kernel-interface, container, switch lists); a trailing partial
// entry is ignored.
bool WalkIdList(ByteSpan value, size_t width, const std::function<void(const std::string&)>& fn);
// Port ContainerList: the parent VIF ID, then container VIF IDs.
bool WalkPortContainerList(ByteSpan value, std::string* parentVifId,
                           const std::function<void(const std::string&)>& fn);

struct ContainerAddress {
    bool ipv4 = false;
    std::array<uint8_t, 16> address{};
    MacAddr mac{};
};
struct ContainerRecord {
    std::string cifId;
    std::string portId;
    std::string vmPortId;
    std::string vmVifId;
    uint16_t vlan = 0;
    MacAddr mac{};
    std::vector<ContainerAddress> addresses;
};
// Container records back to back; a record shorter than 202 + 23 x N ends the walk.
bool WalkContainerUpdate(ByteSpan value, const std::function<void(const ContainerRecord&)>& fn);

struct UplinkRecord {
    std::string portId;
    std::string switchId;
    std::string clientName;
    std::string alias;
};
// Operation byte, then 213-byte uplink records; a trailing partial record ends the walk.
bool WalkUplinkUpdate(ByteSpan value, uint8_t* op,
                      const std::function<void(const UplinkRecord&)>& fn);

// The join of a fragmented VIF Update as ConfigApp does it: every fragment carries one VIF Update
// element holding one record of the same VIF; the result is the first fragment's operation and
// record head followed by the properties of every fragment, in order. The properties are returned
// as a buffer of their own (their total may exceed what a 16-bit record length can describe);
// `record.properties` is left empty. False, with nothing joined, when a fragment has another shape,
// names another VIF, or the flags are not set on all but the last.
struct JoinedVifUpdate {
    uint8_t op = 0;
    VifRecord record;
    std::vector<uint8_t> properties;
};
bool JoinVifUpdateFragments(const std::vector<DpMsg>& fragments, JoinedVifUpdate* out);

// Text forms used in dumps and logs.
std::string MacText(const uint8_t* mac);
std::string AddressText(bool ipv4, const uint8_t* address);

}  // namespace CfgAgent::kcp
