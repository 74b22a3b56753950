#pragma once
// Conversions the remote side of L2App shares between its files (L2AppRemote.cc,
// L2AppDomains.cc): desired entries as the dataplane takes them.
#include <cstdint>
#include <string>

#include "dataplane/VxlanWalk.h"

namespace orvane::ozy::cairndb {
class IpAddressMsg;
class LogSwitchVtepEntryMsg;
class UuidMsg;
}  // namespace orvane::ozy::cairndb

namespace CfgAgent::l2detail {

vxlan::UuidBytes UuidBytesOf(const orvane::ozy::cairndb::UuidMsg& u);
// An address of a desired entry: type 1 or 2 with its field; false (type left 0) when it has none
// or an IPv6 address of another length than 16 bytes.
bool AddressOf(const orvane::ozy::cairndb::IpAddressMsg& ip, uint32_t* type, uint32_t* ipv4,
               vxlan::Ipv6Addr* ipv6);
std::string AddressText(const orvane::ozy::cairndb::IpAddressMsg& ip);
// A desired VTEP as the dataplane takes it; false (with its LCP00019 line) for an entry to skip.
bool VtepEntryPB2TLV(const orvane::ozy::cairndb::LogSwitchVtepEntryMsg& m, vxlan::VtepEntry* e);

}  // namespace CfgAgent::l2detail
