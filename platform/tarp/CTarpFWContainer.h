#pragma once
// A named container of the firewall library. Its type says what its elements are:
//   kAddresses   address sets (by name) and direct addresses: a composite of a rule side;
//   kAttributes  L7 attributes (key id, value): a context profile;
//   kTime        time attributes (day of week, start and end, time of day, zone);
//   kIdentity    identity texts (the extended source of identity firewall rules).
// addElement refuses an element of another kind and an attribute value the key cannot take
// (CInvalidAttrValue); values are kept as validated text, zone names upper-cased.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/tarp/CTarpFWAddress.h"

namespace TarpFirewall {

class CTarpFWElement {
  public:
    enum class Kind : uint8_t { kAddrSet = 1, kAddress = 2, kAttribute = 3, kIdentity = 4 };

    // Throws CTarpFWException for an empty name or one over ozy::tarp::kMaxContainerName.
    static CTarpFWElement AddrSet(const std::string& name);
    static CTarpFWElement Address(const CTarpFWAddress& addr);
    // `key` from str2attrkey; throws CInvalidAttrValue when the value does not suit the key.
    static CTarpFWElement Attribute(uint16_t key, const std::string& value);
    static CTarpFWElement Identity(const std::string& text);

    Kind kind() const { return kind_; }
    const std::string& text() const { return text_; }  // set name, attribute value or identity
    uint16_t key() const { return key_; }
    const CTarpFWAddress& address() const { return address_; }

  private:
    CTarpFWElement(Kind kind, std::string text, uint16_t key, CTarpFWAddress addr)
        : kind_(kind), text_(std::move(text)), key_(key), address_(addr) {}

    Kind kind_;
    std::string text_;
    uint16_t key_ = 0;
    CTarpFWAddress address_ = CTarpFWAddress::IPv4(0, 0);
};

class CTarpFWContainer {
  public:
    enum class Type : uint8_t { kAddresses = 1, kAttributes = 2, kTime = 3, kIdentity = 4 };

    // Throws CTarpFWException for an empty name or one over ozy::tarp::kMaxContainerName.
    CTarpFWContainer(std::string name, Type type);

    // Throws CTarpFWException when the element's kind does not belong in this type.
    void addElement(const CTarpFWElement& element);

    const std::string& name() const { return name_; }
    Type type() const { return type_; }
    const std::vector<CTarpFWElement>& elements() const { return elements_; }

  private:
    std::string name_;
    Type type_;
    std::vector<CTarpFWElement> elements_;
};

}  // namespace TarpFirewall
