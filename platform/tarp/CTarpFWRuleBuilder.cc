#include "platform/tarp/CTarpFWRuleBuilder.h"

#include "platform/tarp/TarpNames.h"
#include "platform/tarp/TarpWire.h"

namespace TarpFirewall {

namespace {

constexpr size_t kMaxPortRanges = 1024;
constexpr size_t kMaxIcmpEntries = 256;

uint8_t Byte(uint32_t v, const char* what) {
    if (v > 255)
        detail::Refuse(std::string(what) + " " + std::to_string(v) + " over 255");
    return static_cast<uint8_t>(v);
}

std::pair<uint16_t, uint16_t> Range(uint32_t start, uint32_t end) {
    if (start > 65535 || end > 65535)
        detail::Refuse("port over 65535 in " + std::to_string(start) + "-" + std::to_string(end));
    if (start > end)
        detail::Refuse("port range start " + std::to_string(start) + " above its end " +
                       std::to_string(end));
    return {static_cast<uint16_t>(start), static_cast<uint16_t>(end)};
}

void AddRange(CTarpFWRulePart::Ports& ports, uint32_t start, uint32_t end) {
    auto r = Range(start, end);
    if (ports.ranges.size() >= kMaxPortRanges)
        detail::Refuse("more than " + std::to_string(kMaxPortRanges) + " port ranges");
    ports.ranges.push_back(r);
}

void SetFlag(uint8_t& flags, uint8_t bit, bool on) {
    flags = on ? (flags | bit) : (flags & ~bit);
}

}  // namespace

CTarpFWRuleBuilder::CTarpFWRuleBuilder(bool layer3) {
    part_.layer3 = layer3;
}

void CTarpFWRuleBuilder::setId(uint32_t id) {
    part_.id = id;
}

void CTarpFWRuleBuilder::setDirection(uint32_t direction) {
    if (direction > 2)
        detail::Refuse("direction " + std::to_string(direction) + " is none of 0, 1, 2");
    part_.hasDirection = true;
    part_.direction = static_cast<uint8_t>(direction);
}

void CTarpFWRuleBuilder::setAction(uint32_t action, const std::string& text) {
    switch (action) {
        case ozy::tarp::kActionDrop:
        case ozy::tarp::kActionAllow:
        case ozy::tarp::kActionReject:
        case ozy::tarp::kActionRedirect:
        case ozy::tarp::kActionDoNotRedirect:
        case ozy::tarp::kActionCopy:
        case ozy::tarp::kActionDetect:
        case ozy::tarp::kActionDetectPrevent:
        case ozy::tarp::kActionPrevent:
            break;
        default:
            detail::Refuse("unknown action " + std::to_string(action));
    }
    detail::CheckText(text, ozy::tarp::kMaxTextField, "action text");
    part_.action = static_cast<uint8_t>(action);
    part_.actionText = text;
    part_.nat = false;
}

void CTarpFWRuleBuilder::setAction(uint32_t field1, uint32_t field2, uint32_t field3,
                                   const std::string& natAddress) {
    for (uint32_t f : {field1, field2, field3}) {
        if (f > 65535)
            detail::Refuse("NAT field " + std::to_string(f) + " over 65535");
    }
    detail::CheckText(natAddress, ozy::tarp::kMaxTextField, "NAT address");
    part_.action = ozy::tarp::kActionNat;
    part_.actionText.clear();
    part_.nat = true;
    part_.natFields[0] = static_cast<uint16_t>(field1);
    part_.natFields[1] = static_cast<uint16_t>(field2);
    part_.natFields[2] = static_cast<uint16_t>(field3);
    part_.natAddress = natAddress;
}

void CTarpFWRuleBuilder::setType(uint32_t type) {
    part_.hasType = true;
    part_.type = Byte(type, "rule type");
}

void CTarpFWRuleBuilder::setInetAF(bool ipv6) {
    part_.inetFamily = ipv6 ? 6 : 4;
}

void CTarpFWRuleBuilder::setProtocol(uint32_t protocol, bool negate) {
    if (protocol > 65535 || (part_.layer3 && protocol > 255))
        detail::Refuse("protocol " + std::to_string(protocol) + " out of range");
    part_.hasProtocol = true;
    part_.protocol = static_cast<uint16_t>(protocol);
    part_.protocolNegate = negate;
}

void CTarpFWRuleBuilder::addICMPType(uint32_t type) {
    if (part_.icmp.size() >= kMaxIcmpEntries)
        detail::Refuse("too many ICMP entries");
    part_.icmp.push_back({Byte(type, "ICMP type"), false, 0});
}

void CTarpFWRuleBuilder::addICMPTypeCode(uint32_t type, uint32_t code) {
    if (part_.icmp.size() >= kMaxIcmpEntries)
        detail::Refuse("too many ICMP entries");
    part_.icmp.push_back({Byte(type, "ICMP type"), true, Byte(code, "ICMP code")});
}

void CTarpFWRuleBuilder::addTCPFlags(uint32_t flags, uint32_t mask) {
    part_.hasTcpFlags = true;
    part_.tcpFlags = Byte(flags, "TCP flags");
    part_.tcpMask = Byte(mask, "TCP flag mask");
}

void CTarpFWRuleBuilder::setSourcePort(uint32_t start, uint32_t end, bool negate) {
    auto r = Range(start, end);
    part_.sourcePorts.ranges.assign(1, r);
    part_.sourcePorts.negate = negate;
}

void CTarpFWRuleBuilder::setDestPort(uint32_t start, uint32_t end, bool negate) {
    auto r = Range(start, end);
    part_.destPorts.ranges.assign(1, r);
    part_.destPorts.negate = negate;
}

void CTarpFWRuleBuilder::addSourcePort(uint32_t start, uint32_t end) {
    AddRange(part_.sourcePorts, start, end);
}

void CTarpFWRuleBuilder::addDestPort(uint32_t start, uint32_t end) {
    AddRange(part_.destPorts, start, end);
}

void CTarpFWRuleBuilder::negateSourcePort() {
    part_.sourcePorts.negate = true;
}

void CTarpFWRuleBuilder::negateDestPort() {
    part_.destPorts.negate = true;
}

void CTarpFWRuleBuilder::setALG(uint32_t alg) {
    part_.hasAlg = true;
    part_.alg = alg;
}

void CTarpFWRuleBuilder::setIDSProfile(const std::string& profile) {
    detail::CheckText(profile, ozy::tarp::kMaxTextField, "IDS profile");
    part_.idsProfile = profile;
}

void CTarpFWRuleBuilder::setEnableLog(bool on) {
    SetFlag(part_.flags, ozy::tarp::kRuleFlagLog, on);
}

void CTarpFWRuleBuilder::setEnableLBRule(bool on) {
    SetFlag(part_.flags, ozy::tarp::kRuleFlagLb, on);
}

void CTarpFWRuleBuilder::setDisableFlowRecord(bool on) {
    SetFlag(part_.flags, ozy::tarp::kRuleFlagNoFlowRecord, on);
}

void CTarpFWRuleBuilder::setStateless(bool on) {
    SetFlag(part_.flags, ozy::tarp::kRuleFlagStateless, on);
}

void CTarpFWRuleBuilder::setTag(const std::string& tag) {
    detail::CheckText(tag, ozy::tarp::kMaxTextField, "tag");
    part_.tag = tag;
}

void CTarpFWRuleBuilder::setOversubscription(uint32_t value) {
    part_.hasOversub = true;
    part_.oversub = value;
}

void CTarpFWRuleBuilder::setCategoryId(uint32_t id) {
    part_.hasCategory = true;
    part_.category = id;
}

void CTarpFWRuleBuilder::setBucketId(uint32_t id) {
    part_.hasBucket = true;
    part_.bucket = id;
}

void CTarpFWRuleBuilder::setContainer(RuleSide side, const std::string& name) {
    detail::CheckName(name, ozy::tarp::kMaxContainerName, "container");
    CTarpFWRulePart::Side& s = part_.side(side);
    if (s.hasAddress)
        detail::Refuse("side " + std::to_string(int(side)) + " already holds an address");
    s.container = name;
    s.malicious = false;
}

void CTarpFWRuleBuilder::setMaliciousContainer(RuleSide side, const std::string& name) {
    setContainer(side, name);
    part_.side(side).malicious = true;
}

void CTarpFWRuleBuilder::setAddress(RuleSide side, const CTarpFWAddress& addr) {
    CTarpFWRulePart::Side& s = part_.side(side);
    if (!s.container.empty())
        detail::Refuse("side " + std::to_string(int(side)) + " already names container " +
                       s.container);
    if (addr.kind() == CTarpFWAddress::Kind::kMac ? part_.layer3 : !part_.layer3)
        detail::Refuse("address " + addr.ToString() + " does not suit a layer-" +
                       (part_.layer3 ? "3" : "2") + " rule");
    s.hasAddress = true;
    s.address = addr;
}

void CTarpFWRuleBuilder::negateRuleAddress(RuleSide side) {
    part_.side(side).negate = true;
}

void CTarpFWRuleBuilder::setAttributeProfile(const std::string& container) {
    detail::CheckName(container, ozy::tarp::kMaxContainerName, "attribute profile");
    part_.attrProfile = container;
}

void CTarpFWRuleBuilder::setTimeAttributeProfile(const std::string& container) {
    detail::CheckName(container, ozy::tarp::kMaxContainerName, "time profile");
    part_.timeProfile = container;
}

std::unique_ptr<CTarpFWRule> CTarpFWRuleBuilder::buildRule() const {
    if (part_.action == 0)
        detail::Refuse("rule " + std::to_string(part_.id) + " has no action");
    bool portsAllowed = part_.layer3 && part_.hasProtocol && !part_.protocolNegate &&
                        (part_.protocol == 6 || part_.protocol == 17);
    if (!portsAllowed && (!part_.sourcePorts.ranges.empty() || !part_.destPorts.ranges.empty()))
        detail::Refuse("rule " + std::to_string(part_.id) + " has ports without TCP or UDP");
    bool icmpAllowed = part_.layer3 && part_.hasProtocol && !part_.protocolNegate &&
                       (part_.protocol == 1 || part_.protocol == 58);
    if (!icmpAllowed && !part_.icmp.empty())
        detail::Refuse("rule " + std::to_string(part_.id) + " has ICMP types without ICMP");
    if (part_.hasTcpFlags && !(part_.layer3 && part_.hasProtocol && part_.protocol == 6))
        detail::Refuse("rule " + std::to_string(part_.id) + " has TCP flags without TCP");
    return std::make_unique<CTarpFWRule>(part_);
}

}  // namespace TarpFirewall
