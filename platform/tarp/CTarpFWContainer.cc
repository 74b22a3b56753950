#include "platform/tarp/CTarpFWContainer.h"

#include "platform/tarp/TarpAttributes.h"
#include "platform/tarp/TarpNames.h"
#include "platform/tarp/TarpWire.h"

namespace TarpFirewall {

CTarpFWElement CTarpFWElement::AddrSet(const std::string& name) {
    detail::CheckName(name, ozy::tarp::kMaxContainerName, "address set");
    return CTarpFWElement(Kind::kAddrSet, name, 0, CTarpFWAddress::IPv4(0, 0));
}

CTarpFWElement CTarpFWElement::Address(const CTarpFWAddress& addr) {
    return CTarpFWElement(Kind::kAddress, std::string(), 0, addr);
}

CTarpFWElement CTarpFWElement::Attribute(uint16_t key, const std::string& value) {
    return CTarpFWElement(Kind::kAttribute, NormalizeAttrValue(key, value), key,
                          CTarpFWAddress::IPv4(0, 0));
}

CTarpFWElement CTarpFWElement::Identity(const std::string& text) {
    detail::CheckName(text, ozy::tarp::kMaxTextField, "identity");
    return CTarpFWElement(Kind::kIdentity, text, 0, CTarpFWAddress::IPv4(0, 0));
}

CTarpFWContainer::CTarpFWContainer(std::string name, Type type)
    : name_(std::move(name)), type_(type) {
    detail::CheckName(name_, ozy::tarp::kMaxContainerName, "container");
}

void CTarpFWContainer::addElement(const CTarpFWElement& element) {
    bool fits = false;
    switch (type_) {
        case Type::kAddresses:
            fits = element.kind() == CTarpFWElement::Kind::kAddrSet ||
                   element.kind() == CTarpFWElement::Kind::kAddress;
            break;
        case Type::kAttributes:
            fits = element.kind() == CTarpFWElement::Kind::kAttribute &&
                   element.key() < ozy::tarp::kAttrDayOfWeek;
            break;
        case Type::kTime:
            fits = element.kind() == CTarpFWElement::Kind::kAttribute &&
                   element.key() >= ozy::tarp::kAttrDayOfWeek;
            break;
        case Type::kIdentity:
            fits = element.kind() == CTarpFWElement::Kind::kIdentity;
            break;
    }
    if (!fits)
        detail::Refuse("element of kind " + std::to_string(static_cast<int>(element.kind())) +
                       " does not belong in container " + name_);
    elements_.push_back(element);
}

}  // namespace TarpFirewall
