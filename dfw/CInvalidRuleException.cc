#include "dfw/CInvalidRuleException.h"

#include <utility>

namespace CfgAgent {

CInvalidRuleException::CInvalidRuleException(uint32_t ruleId, const DfwUuid& section,
                                             std::string reason)
    : ruleId_(ruleId),
      section_(section),
      reason_(std::move(reason)),
      text_("invaid rule: " + std::to_string(ruleId)) {}

}  // namespace CfgAgent
