#pragma once
// A rule that passed validation but cannot be converted into a firewall-library rule (a builder
// refused a value, a container or profile it names is missing). The cache build stops at the
// first one and reports realization error 1000 with the rule id and section as meta information.
#include <cstdint>
#include <exception>
#include <string>

#include "dfw/DfwMsgSnapshot.h"

namespace CfgAgent {

class CInvalidRuleException : public std::exception {
  public:
    // The realization error code of a rule that cannot be converted.
    static constexpr uint32_t kErrorCode = 1000;

    // `reason` is for the log; what() is the system's own "invaid rule: <id>".
    CInvalidRuleException(uint32_t ruleId, const DfwUuid& section, std::string reason);

    const char* what() const noexcept override { return text_.c_str(); }
    uint32_t ruleId() const noexcept { return ruleId_; }
    const DfwUuid& section() const noexcept { return section_; }
    const std::string& reason() const noexcept { return reason_; }
    uint32_t code() const noexcept { return kErrorCode; }

  private:
    uint32_t ruleId_;
    DfwUuid section_;
    std::string reason_;
    std::string text_;
};

}  // namespace CfgAgent
