#pragma once
// Converts cached containers into firewall-library objects: a container's addresses (IPv4, IPv6,
// CIDRs, MAC addresses, excluded addresses, the IP-reputation flag) become an address set, its
// identities an identity container, and a context profile's key/value attributes an attribute
// container (L7 keys) or a time container (weekday, calendar start and end, time of day, zone).
// All are named by the container's uuid text.
//
// Time values are validated and kept as text: a "LOCAL" zone travels as the zone flag for the
// device to resolve, so nothing here depends on the agent's time zone. A key or value the library
// cannot take is logged with LCP01160 and raised again as a plain CTarpFWException, which fails
// the whole cache build.
#include <cstdint>
#include <memory>

#include "platform/tarp/CTarpFWAddress.h"

namespace orvane::ozy::cairndb {
class FirewallAddressMsg;
}
namespace TarpFirewall {
class CTarpFWAddrSet;
class CTarpFWContainer;
}  // namespace TarpFirewall
namespace orvane::ozy::firewall {
class LcpContainerMsg;
}

namespace CfgAgent {

class DfwContainerConverter {
  public:
    // The time-of-day range of a time profile that names none.
    static constexpr const char* kWholeDay = "00:00,23:59";

    // A cached address (checked when cached: IPv6 of 16 bytes, prefixes in range) as the
    // library's, with the host prefix when none is given; a MAC address from its 48 low bits.
    static TarpFirewall::CTarpFWAddress Address(const orvane::ozy::cairndb::FirewallAddressMsg& a);
    static TarpFirewall::CTarpFWAddress Mac(uint64_t value);

    static std::shared_ptr<const TarpFirewall::CTarpFWAddrSet> AddressSet(
        const orvane::ozy::firewall::LcpContainerMsg& c);
    // The attribute or time container of a context profile (attributes of one kind only);
    // nullptr for a container without attributes. Throws TarpFirewall::CTarpFWException.
    static std::shared_ptr<const TarpFirewall::CTarpFWContainer> Attributes(
        const orvane::ozy::firewall::LcpContainerMsg& c);
    // The identity container of identity-firewall groups; nullptr without identities.
    static std::shared_ptr<const TarpFirewall::CTarpFWContainer> Identities(
        const orvane::ozy::firewall::LcpContainerMsg& c);
};

}  // namespace CfgAgent
