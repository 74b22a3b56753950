#pragma once
// Checks of the cached firewall messages before conversion: a rule that fails is dropped alone
// (its section and the other rules stay), a section that fails is dropped with its rules. Each
// failure is logged with its error code. Called by the cache build on the process loop's thread.
#include <cstdint>

#include "dfw/DfwMsgSnapshot.h"

namespace CfgAgent {

class DfwRuleValidator {
  public:
    // The rule's fields in the checking order of the error codes LCP01110 to LCP01118. Actions
    // that the conversion maps to no library action (3, 4, 5, 6, 10, 21, and 9 without NAT
    // settings) are refused here with LCP01115 instead of reaching the library without one.
    static bool ValidateRule(const orvane::ozy::firewall::LcpRuleMsg& rule);
    // The rule's section is cached (LCP01111 otherwise).
    static bool HasSection(const orvane::ozy::firewall::LcpRuleMsg& rule,
                           const DfwObjects<orvane::ozy::firewall::LcpRuleSectionMsg>& sections);
    // Version (LCP01120), priority (LCP01121) and a known component name (LCP01149).
    static bool ValidateSection(const orvane::ozy::firewall::LcpRuleSectionMsg& section);

    // True for a message action the conversion maps to a library action (NAT aside).
    static bool MappedAction(uint32_t action);
};

}  // namespace CfgAgent
