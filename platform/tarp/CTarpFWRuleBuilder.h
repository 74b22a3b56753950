#pragma once
// Builds one firewall rule. Setters refuse what the dataplane could not take, at once, with
// CTarpFWException (status ozy::tarp::kStatusInvalidConfig): a port range whose start is above its
// end, a port over 65535, a prefix over 32/128, an ICMP type or code over 255, a name longer than
// its field (containers 36), two constraints on one side. buildRule() refuses a rule with no
// action, and ports or ICMP values on a rule whose protocol cannot carry them. The builder can be
// reused: buildRule() leaves it as it was.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/tarp/CTarpFWRule.h"

namespace TarpFirewall {

class CTarpFWRuleBuilder {
  public:
    // A layer-3 rule (IP) or a layer-2 rule (ethernet).
    explicit CTarpFWRuleBuilder(bool layer3 = true);

    void setId(uint32_t id);
    // 0 in and out, 1 in, 2 out.
    void setDirection(uint32_t direction);
    // An action of ozy::tarp::ActionCode with its text (a service-insertion id or empty).
    void setAction(uint32_t action, const std::string& text);
    // The NAT action with its three fields and translated address (may be empty).
    void setAction(uint32_t field1, uint32_t field2, uint32_t field3,
                   const std::string& natAddress);
    void setType(uint32_t type);
    // Only IPv6 (true) or only IPv4 (false) packets.
    void setInetAF(bool ipv6);
    // The IP protocol of a layer-3 rule, the ether type of a layer-2 one.
    void setProtocol(uint32_t protocol, bool negate);
    void addICMPType(uint32_t type);
    void addICMPTypeCode(uint32_t type, uint32_t code);
    void addTCPFlags(uint32_t flags, uint32_t mask);
    // One port or range, replacing any list; negated when asked.
    void setSourcePort(uint32_t start, uint32_t end, bool negate);
    void setDestPort(uint32_t start, uint32_t end, bool negate);
    // Appends to the list.
    void addSourcePort(uint32_t start, uint32_t end);
    void addDestPort(uint32_t start, uint32_t end);
    void negateSourcePort();
    void negateDestPort();
    void setALG(uint32_t alg);
    void setIDSProfile(const std::string& profile);
    void setEnableLog(bool on);
    void setEnableLBRule(bool on);
    void setDisableFlowRecord(bool on);
    void setStateless(bool on);
    void setTag(const std::string& tag);
    void setOversubscription(uint32_t value);
    void setCategoryId(uint32_t id);
    void setBucketId(uint32_t id);

    // Address sides: a container (or address set) by name, a malicious (IP-reputation) one, or
    // one address; one of them per side.
    void setContainer(RuleSide side, const std::string& name);
    void setMaliciousContainer(RuleSide side, const std::string& name);
    void setAddress(RuleSide side, const CTarpFWAddress& addr);
    void negateRuleAddress(RuleSide side);

    // Context profiles, by container name.
    void setAttributeProfile(const std::string& container);
    void setTimeAttributeProfile(const std::string& container);

    bool isLayer3() const { return part_.layer3; }
    std::unique_ptr<CTarpFWRule> buildRule() const;

  private:
    CTarpFWRulePart part_;
};

}  // namespace TarpFirewall
