#pragma once
// A firewall rule as the library holds it: built by CTarpFWRuleBuilder, owned by the caller,
// immutable except for the calls below (each of which re-encodes it). A rule carries one part, or
// several joined with combineRule (one per protocol and context-profile pair); the dataplane
// matches the rule when any part matches. The encoding (TarpWire.h) and its hash are computed when
// the rule changes, so placing a rule in any number of rule sets costs nothing more.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/tarp/CTarpFWAddress.h"

namespace TarpFirewall {

// Where an address constraint of a rule applies.
enum class RuleSide : uint8_t {
    kSource = 1,
    kDest = 2,
    kExcludeSource = 3,
    kExcludeDest = 4,
    kExtSource = 5,    // identity (extended source)
    kExtSourceIp = 6,  // addresses of the identity
};
constexpr int kRuleSideCount = 6;

// One part of a rule: what the builder was given. Plain data.
struct CTarpFWRulePart {
    struct Icmp {
        uint8_t type = 0;
        bool hasCode = false;
        uint8_t code = 0;
    };
    struct Ports {
        bool negate = false;
        std::vector<std::pair<uint16_t, uint16_t>> ranges;  // inclusive
    };
    struct Side {
        std::string container;  // a container or address set by name
        bool malicious = false;
        bool hasAddress = false;
        CTarpFWAddress address = CTarpFWAddress::IPv4(0, 0);
        bool negate = false;
    };

    uint32_t id = 0;
    bool layer3 = true;
    bool hasDirection = false;
    uint8_t direction = 0;  // 0 in and out, 1 in, 2 out
    uint8_t action = 0;     // ozy::tarp::ActionCode; 0 none
    std::string actionText;
    bool nat = false;
    uint16_t natFields[3] = {0, 0, 0};
    std::string natAddress;
    bool hasType = false;
    uint8_t type = 0;
    uint8_t inetFamily = 0;  // 0 both, 4, 6
    bool hasProtocol = false;
    uint16_t protocol = 0;
    bool protocolNegate = false;
    std::vector<Icmp> icmp;
    bool hasTcpFlags = false;
    uint8_t tcpFlags = 0;
    uint8_t tcpMask = 0;
    Ports sourcePorts;
    Ports destPorts;
    bool hasAlg = false;
    uint32_t alg = 0;
    std::string idsProfile;
    uint8_t flags = 0;  // ozy::tarp::kRuleFlag*
    std::string tag;
    bool hasOversub = false;
    uint32_t oversub = 0;
    bool hasCategory = false;
    uint32_t category = 0;
    bool hasBucket = false;
    uint32_t bucket = 0;
    Side sides[kRuleSideCount];
    std::string attrProfile;
    std::string timeProfile;

    Side& side(RuleSide s) { return sides[static_cast<int>(s) - 1]; }
    const Side& side(RuleSide s) const { return sides[static_cast<int>(s) - 1]; }
};

class CTarpFWRule {
  public:
    // Made by CTarpFWRuleBuilder::buildRule.
    explicit CTarpFWRule(CTarpFWRulePart part);

    void setTCPStrict(bool on);
    void setTenantCtx(const std::string& org, const std::string& project, const std::string& vpc);
    // Appends the parts of `other` (its id, action and direction must be this rule's; throws
    // CTarpFWException otherwise). The rule then matches when any of its parts does.
    void combineRule(const CTarpFWRule& other);

    uint32_t id() const { return parts_.front().id; }
    bool isLayer3() const { return parts_.front().layer3; }
    size_t partCount() const { return parts_.size(); }
    const std::vector<CTarpFWRulePart>& parts() const { return parts_; }
    bool tcpStrict() const { return tcpStrict_; }

    // Profile queries (over every part).
    bool hasAttributeProfile() const;
    bool hasTimeProfile() const;
    bool hasIDSProfile() const;
    bool hasExtSource() const;
    // Every container or address set the rule names (sides and profiles), each once.
    std::vector<std::string> containerNames() const;

    // The rule's bytes (TarpWire.h) and their hash.
    const std::vector<uint8_t>& encoded() const { return encoded_; }
    uint64_t hash() const { return hash_; }

  private:
    void Encode();

    std::vector<CTarpFWRulePart> parts_;
    bool tcpStrict_ = false;
    std::string org_, project_, vpc_;
    std::vector<uint8_t> encoded_;
    uint64_t hash_ = 0;
};

}  // namespace TarpFirewall
