#pragma once
// The property keys and value encodings of KCP port, kernel-interface and switch records.
//
// This table is the one definition of what travels in a property element (16-bit key, 16-bit
// length including the 4-byte element head, value): the agent's property builders encode with
// it (MakeKcpProperty checks every value against it) and the dataplane emulator decodes every
// property into named fields with it. A property value is a fixed head of fields, optionally
// followed by zero or more entries of a fixed layout, or by one text field running to the end of
// the value. Adding a property is adding one row; both sides follow.
//
// Field encodings: integers big-endian; bool is one byte 0/1; mac is 6 bytes; ipv4 is 4 bytes;
// ip is 17 bytes (kind byte: non-zero IPv4 in the next 4 bytes, zero IPv6 in the next 16); uuid
// is 16 bytes (printed 8-4-4-4-12); a fixed string is NUL-padded to its width; a text field takes
// the rest of the value (a trailing NUL is allowed and not part of the text). A u8 field may name
// its values (block state, mirror type, ...): dumps print the name, unknown values as numbers.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace CfgAgent::kcp {

enum class FieldType : uint8_t {
    kU8,
    kBool,
    kU16,
    kU32,
    kU64,
    kMac,
    kIpv4,
    kIp,
    kUuid,
    kFixedString,  // `width` bytes
    kText,  // the rest of the value; only as the last head field of a property without entries
};

struct FieldDesc {
    const char* name;
    FieldType type;
    uint16_t width;  // kFixedString only
    // kU8 only: names of the values 0..nameCount-1 (an empty name leaves that value unnamed).
    const char* const* names = nullptr;
    uint8_t nameCount = 0;
};

enum PropertyScope : uint8_t {
    kScopePort = 1,
    kScopeKrnnic = 2,
    kScopeSwitch = 4,
};

struct PropertyDesc {
    uint16_t key;
    const char* name;
    uint8_t scopes;  // PropertyScope bits
    std::vector<FieldDesc> head;
    const char* entriesName;  // nullptr: no entries
    std::vector<FieldDesc> entry;
    // Several instances of the property can coexist on one record, told apart by the first head
    // field (mirror sessions by name); otherwise a new value replaces the old one.
    bool instancesByFirstField = false;
};

enum PropertyKey : uint16_t {
    kPropBlock = 1,
    kPropLspId = 2,
    kPropLsId = 3,
    kPropVni = 4,
    kPropVlan = 5,
    kPropVlanTrunk = 6,
    kPropReplicationMode = 7,
    kPropLsType = 8,
    kPropLsSpSubtype = 9,
    kPropMacManagement = 10,
    kPropMacLearnStatic = 11,
    kPropLsAttachment = 12,
    kPropLatency = 13,

    kPropIpDiscovery = 20,
    kPropIgnoreBindings = 21,
    kPropAddressBindings = 22,

    kPropSpoofGuard = 30,
    kPropBpduFilter = 31,
    kPropDhcpFilter = 32,
    kPropNonIpBlock = 33,
    kPropRaGuard = 34,
    kPropRateLimits = 35,

    kPropQosShapers = 40,
    kPropQosMarking = 41,

    kPropMirrorSession = 50,
    kPropMirrorUplinkSources = 51,  // uplinks mirrored by an uplink session, on the switch

    kPropIpfix = 60,

    // Port extra configurations: the configured value text.
    kPropVmTagset = 100,  // 100..109: tag set slots 0..9
    kPropVmTagsetLast = 109,
    kPropSiGvm = 110,
    kPropSiSvm = 111,
    kPropCloudsvcManagementIp = 112,
    kPropCloudsvcEdge = 113,
    kPropBridgedVlan = 114,
    kPropProxyArpRouterMode = 115,
    kPropRemoteRouter = 116,
    kPropPolicyRoute = 117,
    kPropUdpPortsInHash = 118,
    kPropNestedTnConfig = 119,
    kPropGlobalId = 120,
    kPropForwardRarp = 121,
    kPropConduitParentVif = 122,
    kPropSecurityPolicySync = 123,

    // Switch (host switch) properties.
    kPropForwardingMode = 200,
    kPropCloudsvcClusterVirtualIp = 201,
    kPropCloudsvcClusterMasterIp = 202,
    kPropCcpSession = 203,

    // Kernel-interface properties.
    kPropVtepLabel = 300,
};

// Block state of a port or kernel interface (the "block" property).
enum BlockState : uint8_t {
    kUnblocked = 0,
    kBlocked = 1,
};

// MAC limit policies of the "mac_management" property.
enum MacLimitPolicy : uint8_t {
    kMacLimitPolicyNone = 0,
    kMacLimitPolicyAllow = 1,
    kMacLimitPolicyDrop = 2,
};

// Shaper types of the "qos_shapers" entries.
enum ShaperType : uint8_t {
    kShaperIngress = 1,
    kShaperIngressBroadcast = 2,
    kShaperEgress = 3,
};

// Mirror directions.
enum MirrorDirection : uint8_t {
    kMirrorIngress = 1,
    kMirrorEgress = 2,
    kMirrorBoth = 3,
};

// Where the "ipfix" property samples packets ("sampling_location").
enum IpfixSamplingLocation : uint8_t {
    kSamplingIngress = 1,
    kSamplingEgress = 2,
    kSamplingBoth = 3,
};

// Host-switch forwarding modes ("forwarding_mode").
enum ForwardingMode : uint8_t {
    kForwardingIpv4Only = 1,
    kForwardingIpv6Only = 2,
    kForwardingIpv4AndIpv6 = 3,
};

// Mirror session types (the first byte after the name).
enum MirrorSessionType : uint8_t {
    kMirrorErspanSource = 1,
    kMirrorRspanSrc = 2,
    kMirrorRspanDst = 3,
    kMirrorLogicalLocalSpan = 4,
    kMirrorLocalPortSpan = 5,
    kMirrorLocalUplinkSpan = 6,
};

const std::vector<PropertyDesc>& KcpProperties();
const PropertyDesc* FindKcpProperty(uint16_t key);
const PropertyDesc* FindKcpPropertyByName(std::string_view name);

size_t FieldWireSize(const FieldDesc& field);   // 0 for kText
size_t HeadWireSize(const PropertyDesc& desc);  // without a trailing text field
size_t EntryWireSize(const PropertyDesc& desc);
bool HasTextField(const PropertyDesc& desc);

// Whether `size` value bytes fit the layout: exactly the head, the head plus whole entries, or
// the head plus any text. On failure `why` says what is wrong.
bool ValidateKcpPropertyValue(const PropertyDesc& desc, size_t size, std::string* why = nullptr);

// Calls `visit` for every field of a valid value: head fields with entry -1, then the fields of
// each entry with its index. Returns false (visiting nothing) when the value does not fit.
using FieldVisitor =
    std::function<void(int entry, const FieldDesc& field, const uint8_t* data, size_t size)>;
bool VisitKcpPropertyFields(const PropertyDesc& desc, const uint8_t* value, size_t size,
                            const FieldVisitor& visit);

// The name of a value of a named u8 field, or nullptr.
const char* KcpFieldValueName(const FieldDesc& field, uint64_t value);

// Text of one field value: decimal integers (the name for a named value), "true"/"false",
// "aa:bb:cc:dd:ee:ff", dotted or RFC 5952 addresses, 8-4-4-4-12 UUIDs, strings up to their NUL.
std::string KcpFieldText(const FieldDesc& field, const uint8_t* data, size_t size);

// Builds one property element (key, length, value) after checking the value against the table;
// an unknown key or a value that does not fit logs an error and yields an empty vector.
std::vector<uint8_t> MakeKcpProperty(uint16_t key, const std::vector<uint8_t>& value);

}  // namespace CfgAgent::kcp
