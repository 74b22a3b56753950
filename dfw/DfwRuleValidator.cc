#include "dfw/DfwRuleValidator.h"

#include "dfw/DfwLog.h"
#include "platform/tarp/TarpWire.h"
#include "proto/lcp_firewall.pb.h"

namespace CfgAgent {

namespace fw = orvane::ozy::firewall;

namespace {

constexpr uint32_t kActionNat = 9;

bool KnownAction(uint32_t a) {
    return a <= 11 || (a >= 20 && a <= 23);
}

DfwUuid SectionOf(const fw::LcpRuleMsg& r) {
    return DfwUuid{r.section_id().left(), r.section_id().right()};
}

}  // namespace

bool DfwRuleValidator::MappedAction(uint32_t action) {
    switch (action) {
        case 0:
        case 1:
        case 2:
        case 7:
        case 8:
        case 11:
        case 20:
        case 22:
        case 23:
            return true;
        default:
            return false;
    }
}

bool DfwRuleValidator::ValidateRule(const fw::LcpRuleMsg& r) {
    if (!r.has_rule_id()) {
        DFW_ERROR_CODE("LCP01110", "dfw:     bad dfw rule: no rule id");
        return false;
    }
    if (!r.has_section_id() || r.section_id().left() == 0 || r.section_id().right() == 0) {
        DFW_ERROR_CODE("LCP01111", "dfw:     bad dfw rule: no section id");
        return false;
    }
    if (!r.has_direction()) {
        DFW_ERROR_CODE("LCP01112", "dfw:     bad dfw rule: no direction");
        return false;
    }
    if (r.direction() > 2) {
        DFW_ERROR_CODE("LCP01113", "dfw:     bad dfw rule: bad direction %1", r.direction());
        return false;
    }
    if (!r.has_action()) {
        DFW_ERROR_CODE("LCP01114", "dfw:     bad dfw rule: no action");
        return false;
    }
    bool natAction = r.action() == kActionNat && r.has_nat_spec();
    if (!KnownAction(r.action()) || (!MappedAction(r.action()) && !natAction)) {
        DFW_ERROR_CODE("LCP01115", "dfw:     bad dfw rule: bad action %1", r.action());
        return false;
    }
    if (!r.has_priority()) {
        DFW_ERROR_CODE("LCP01116", "dfw:     bad dfw rule: no priority");
        return false;
    }
    if (!r.has_type()) {
        DFW_ERROR_CODE("LCP01117", "dfw:     bad dfw rule: no type");
        return false;
    }
    if (r.type() > 5 || r.type() == 4) {
        DFW_ERROR_CODE("LCP01118", "dfw:     bad dfw rule: bad type %1", r.type());
        return false;
    }
    DFW_DEBUG("dfw:   validated message of rule %1 of section %2", r.rule_id(),
              SectionOf(r).Text());
    return true;
}

bool DfwRuleValidator::HasSection(const fw::LcpRuleMsg& r,
                                  const DfwObjects<fw::LcpRuleSectionMsg>& sections) {
    if (sections.count(SectionOf(r)) != 0)
        return true;
    DFW_ERROR_CODE("LCP01111", "dfw:     bad dfw rule: no existing section (%1, %2)",
                   r.section_id().left(), r.section_id().right());
    return false;
}

bool DfwRuleValidator::ValidateSection(const fw::LcpRuleSectionMsg& s) {
    DfwUuid id{s.id().left(), s.id().right()};
    if (!s.has_version()) {
        DFW_ERROR_CODE("LCP01120", "dfw:     bad dfw section %1: no version", id.Text());
        return false;
    }
    if (!s.has_priority()) {
        DFW_ERROR_CODE("LCP01121", "dfw:     bad dfw section %1: no priority", id.Text());
        return false;
    }
    if (s.component_name() != ozy::tarp::kAgentFirewall &&
        s.component_name() != ozy::tarp::kAgentServiceInsertion) {
        DFW_ERROR_CODE("LCP01149", "dfw:     bad dfw section %1: unknown component name %2",
                       id.Text(), s.component_name());
        return false;
    }
    return true;
}

}  // namespace CfgAgent
