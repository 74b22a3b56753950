#pragma once
// Value encoders of the KCP property fields DVSPropConvertor fills (dataplane/KcpPropertyTable.h):
// UUIDs, addresses and MACs from their schema forms, and the property values built from the
// schema messages that need no validation. Internal to DVSPropConvertor; includes the generated
// schema headers.
#include <cstdint>
#include <string>
#include <vector>

#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_types.pb.h"

namespace CfgAgent::dvs {

namespace pb = orvane::ozy::cairndb;

// 16 bytes of a serialized UuidMsg (zeros when it does not parse).
std::vector<uint8_t> UuidBytes(const std::string& serializedId);
void AppendUuid(std::vector<uint8_t>& out, const pb::UuidMsg& id);
// The 17-byte ip field: kind byte (1 IPv4, 0 IPv6), then the address; unset: IPv6 "::".
void AppendIp(std::vector<uint8_t>& out, const pb::IpAddressMsg& ip);
// The low 48 bits of a schema MAC, most significant byte first.
void AppendMac(std::vector<uint8_t>& out, uint64_t mac);
void AppendBe16(std::vector<uint8_t>& out, uint16_t v);
void AppendBe32(std::vector<uint8_t>& out, uint32_t v);
void AppendFixed(std::vector<uint8_t>& out, const std::string& text, size_t width);
uint32_t ClampU32(uint64_t v);

// Whether `id` is a serialized UuidMsg (what logical switch, port and session ids are).
bool IsUuidId(const std::string& id);
// The serialized id of a UuidMsg field (empty for an unset or all-zero one).
inline std::string IdOf(const pb::UuidMsg& id) {
    return id.SerializeAsString();
}

// Prefix length of a binding: its own (capped at the family's width) or a host prefix.
uint8_t PrefixOf(const pb::AddressBindingMsg& b);

// "ip_discovery", "ignore_bindings", "address_bindings".
std::vector<uint8_t> IpDiscoveryValue(const pb::IpDiscoveryMsg& m);
std::vector<uint8_t> IgnoreBindingsValue(
    const google::protobuf::RepeatedPtrField<pb::AddressBindingMsg>& list);
std::vector<uint8_t> AddressBindingsValue(
    const google::protobuf::RepeatedPtrField<pb::AddressBindingMsg>& list);

}  // namespace CfgAgent::dvs
