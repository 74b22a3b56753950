#include "dfw/DfwContainerConverter.h"

#include <string>
#include <vector>

#include "dfw/DfwLog.h"
#include "dfw/DfwMsgSnapshot.h"
#include "platform/tarp/CTarpFWAddrSet.h"
#include "platform/tarp/CTarpFWContainer.h"
#include "platform/tarp/CTarpFWException.h"
#include "platform/tarp/TarpAttributes.h"
#include "platform/tarp/TarpWire.h"
#include "proto/lcp_firewall.pb.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;
namespace fw = orvane::ozy::firewall;
using TarpFirewall::CTarpFWAddress;
using TarpFirewall::CTarpFWContainer;
using TarpFirewall::CTarpFWElement;
using TarpFirewall::CTarpFWException;

namespace {

std::string NameOf(const fw::LcpContainerMsg& c) {
    return DfwUuid{c.id().left(), c.id().right()}.Text();
}

bool TimeKey(uint16_t key) {
    return key >= ozy::tarp::kAttrDayOfWeek;
}

// Logs a refusal of the library and raises it as a plain library exception.
[[noreturn]] void Fail(const CTarpFWException& e) {
    CFG_LOG_AT(g_dfwLogLevel, kLogError, {"errorCode:LCP01160"}, "dfw:  %1", e.what());
    throw CTarpFWException(e.what(), e.retcode());
}

}  // namespace

CTarpFWAddress DfwContainerConverter::Address(const pb::FirewallAddressMsg& a) {
    if (a.ip().address_case() == pb::IpAddressMsg::kIpv4)
        return CTarpFWAddress::IPv4(a.ip().ipv4(), a.has_prefix_length() ? a.prefix_length() : 32);
    uint8_t bytes[16] = {};
    const std::string& raw = a.ip().ipv6();
    for (size_t i = 0; i < 16 && i < raw.size(); ++i)
        bytes[i] = static_cast<uint8_t>(raw[i]);
    return CTarpFWAddress::IPv6(bytes, a.has_prefix_length() ? a.prefix_length() : 128);
}

CTarpFWAddress DfwContainerConverter::Mac(uint64_t value) {
    uint8_t mac[6];
    for (int i = 5; i >= 0; --i, value >>= 8)
        mac[i] = static_cast<uint8_t>(value);
    return CTarpFWAddress::Mac(mac);
}

std::shared_ptr<const TarpFirewall::CTarpFWAddrSet> DfwContainerConverter::AddressSet(
    const fw::LcpContainerMsg& c) {
    DFW_DEBUG("dfw: container %1 has %2 ip addresses %3 mac addressesand %4 attributes", NameOf(c),
              c.ip_addresses_size(), c.mac_addresses_size(), c.attributes_size());
    auto set = std::make_shared<TarpFirewall::CTarpFWAddrSet>(NameOf(c));
    for (const pb::FirewallAddressMsg& a : c.ip_addresses())
        set->addAddress(Address(a));
    for (uint64_t mac : c.mac_addresses())
        set->addAddress(Mac(mac));
    for (const pb::FirewallAddressMsg& a : c.excluded_ip_addresses())
        set->addExcludedAddress(Address(a));
    set->setIpReputation(c.ip_reputation());
    return set;
}

std::shared_ptr<const CTarpFWContainer> DfwContainerConverter::Attributes(
    const fw::LcpContainerMsg& c) {
    if (c.attributes().empty())
        return nullptr;
    try {
        std::vector<uint16_t> keys;
        bool anyTime = false, anyOther = false;
        for (const fw::LcpSingleAttrKeyValueMsg& a : c.attributes()) {
            uint16_t key = TarpFirewall::str2attrkey(a.key());
            (TimeKey(key) ? anyTime : anyOther) = true;
            keys.push_back(key);
        }
        if (anyTime && anyOther)
            throw CTarpFWException("profile " + NameOf(c) + " mixes time and other attributes",
                                   ozy::tarp::kStatusInvalidConfig);
        auto out = std::make_shared<CTarpFWContainer>(
            NameOf(c),
            anyTime ? CTarpFWContainer::Type::kTime : CTarpFWContainer::Type::kAttributes);
        bool interval = false;
        for (int i = 0; i < c.attributes_size(); ++i) {
            const std::string& value = c.attributes(i).value();
            interval |= keys[i] == ozy::tarp::kAttrTimeOfDay;
            try {
                out->addElement(CTarpFWElement::Attribute(keys[i], value));
            } catch (const TarpFirewall::CInvalidAttrValue&) {
                DFW_ERROR("dfw:  validation failed for key %1 value %2", c.attributes(i).key(),
                          value);
                throw;
            }
        }
        if (anyTime && !interval)
            out->addElement(CTarpFWElement::Attribute(ozy::tarp::kAttrTimeOfDay, kWholeDay));
        return out;
    } catch (const CTarpFWException& e) {
        Fail(e);
    }
}

std::shared_ptr<const CTarpFWContainer> DfwContainerConverter::Identities(
    const fw::LcpContainerMsg& c) {
    if (c.identities().empty())
        return nullptr;
    try {
        auto out = std::make_shared<CTarpFWContainer>(NameOf(c), CTarpFWContainer::Type::kIdentity);
        for (const std::string& id : c.identities())
            out->addElement(CTarpFWElement::Identity(id));
        return out;
    } catch (const CTarpFWException& e) {
        Fail(e);
    }
}

}  // namespace CfgAgent
