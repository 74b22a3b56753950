#pragma once
// Converts validated rule messages into firewall-library rules (CTarpFWRuleBuilder): direction,
// action, type, services, IDS profile, flags, category and bucket, the address sides (a container
// by name, one address, an address list, or a composite), context and time profiles, and one
// combined part per protocol and context-profile pair.
//
// Everything a rule names must be there: a missing container or profile, or a value the library
// refuses, throws CInvalidRuleException, and the cache build fails and keeps the previous
// configuration. Built per cache build on the process loop's thread, over one snapshot.
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "dfw/DfwMsgSnapshot.h"

namespace TarpFirewall {
class CTarpFWRule;
class CTarpFWRuleBuilder;
}  // namespace TarpFirewall
namespace orvane::ozy::cairndb {
class ProtocolSpecMsg;
class RuleAddressListMsg;
}  // namespace orvane::ozy::cairndb

namespace CfgAgent {

class DfwCompositeContainers;

class DfwRuleBuilder {
  public:
    DfwRuleBuilder(const DfwMsgSnapshot& snapshot, DfwCompositeContainers& generated);

    // The library rule of `rule` (of `section`); nullptr when the rule can match nothing (an
    // extended source IP whose containers hold no address). Throws CInvalidRuleException.
    std::shared_ptr<const TarpFirewall::CTarpFWRule> Build(
        const orvane::ozy::firewall::LcpRuleMsg& rule,
        const orvane::ozy::firewall::LcpRuleSectionMsg& section);

    // The name of a generated container of a rule: `prefix` and the rule id, with the last
    // twelve hexadecimal digits of the uuid appended when a smaller uuid has the same rule id.
    std::string GeneratedName(const char* prefix, const orvane::ozy::firewall::LcpRuleMsg& rule);

    // Library direction and action of the message's values (0 when none).
    static uint32_t LibraryDirection(uint32_t direction);
    static uint32_t LibraryAction(uint32_t action);

  private:
    struct SideChoice;
    // Side `index` (source, destination, excluded source and destination, extended source and
    // its IP) as one choice for every part; sets `matchesNothing` for an extended source IP whose
    // containers hold no address.
    SideChoice ResolveSide(const orvane::ozy::firewall::LcpRuleMsg& rule, int index,
                           bool* matchesNothing);
    static void ApplySide(TarpFirewall::CTarpFWRuleBuilder& b, int index, const SideChoice& c);
    void Service(TarpFirewall::CTarpFWRuleBuilder& b,
                 const orvane::ozy::cairndb::ProtocolSpecMsg& s);
    std::string Profile(const orvane::ozy::firewall::LcpRuleMsg& rule, const DfwUuid& id,
                        const char* code);

    const DfwMsgSnapshot& snapshot_;
    DfwCompositeContainers& generated_;
    // Rule id to the smallest uuid holding it (firewall and LB rules), made by the first rule
    // that generates a container (most builds have none: a walk of every rule spared).
    const std::unordered_map<uint32_t, DfwUuid>& Owners();
    std::unordered_map<uint32_t, DfwUuid> owners_;
    bool ownersKnown_ = false;
};

}  // namespace CfgAgent
