#pragma once
// Small builders of firewall-library objects for tests: rules, address sets, segments and the
// usual per-filter command list (address sets, rule set "mainrs", root).
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/tarp/CTarpFWCmdList.h"
#include "platform/tarp/CTarpFWRuleBuilder.h"
#include "platform/tarp/TarpFw.h"
#include "platform/tarp/TarpWire.h"

namespace ozy::tarp::test {

using namespace TarpFirewall;

using RulePtr = std::shared_ptr<const CTarpFWRule>;
using SegmentPtr = std::shared_ptr<const CTarpFWSegment>;

// A layer-3 rule: id, action, then whatever `fill` sets.
inline RulePtr MakeRule(uint32_t id, uint32_t action,
                        const std::function<void(CTarpFWRuleBuilder&)>& fill = nullptr,
                        bool layer3 = true) {
    CTarpFWRuleBuilder b(layer3);
    b.setId(id);
    b.setAction(action, "");
    if (fill)
        fill(b);
    return RulePtr(b.buildRule().release());
}

inline SegmentPtr MakeSegment(std::vector<RulePtr> rules) {
    return std::make_shared<const CTarpFWSegment>(std::move(rules));
}

inline std::shared_ptr<const CTarpFWAddrSet> MakeSet(
    const std::string& name, const std::vector<std::string>& addresses,
    const std::vector<std::string>& excluded = {}) {
    auto s = std::make_shared<CTarpFWAddrSet>(name);
    for (const auto& a : addresses)
        s->addAddress(CTarpFWAddress::Parse(a));
    for (const auto& a : excluded)
        s->addExcludedAddress(CTarpFWAddress::Parse(a));
    return s;
}

// Address sets, then "mainrs" of the segments (and "mainrs_L2" when given) as the roots.
inline void FillList(CTarpFWCmdList& list,
                     const std::vector<std::shared_ptr<const CTarpFWAddrSet>>& sets,
                     std::vector<SegmentPtr> l3, std::vector<SegmentPtr> l2 = {}) {
    for (const auto& s : sets)
        list.addCreateAddrSet(s);
    list.addCreateRuleSet("mainrs", std::move(l3));
    std::vector<std::string> roots = {"mainrs"};
    if (!l2.empty()) {
        list.addCreateRuleSet("mainrs_L2", std::move(l2));
        roots.push_back("mainrs_L2");
    }
    list.addSetRootRuleSets(roots);
}

// The names of the rule sets of `filter`, as counted then listed by the library; a failed call
// gives the one name "status N" instead.
inline std::vector<std::string> RuleSetNames(FW_Handle* h, const std::string& filter) {
    uint32_t count = 0, total = 0;
    if (int st = FW_GetRuleSetCount(h, filter.c_str(), &count))
        return {"status " + std::to_string(st)};
    std::vector<FW_RuleSetName> names(count);
    if (int st = FW_GetRuleSetList(h, filter.c_str(), names.data(), count, &total))
        return {"status " + std::to_string(st)};
    std::vector<std::string> out;
    for (auto& n : names)
        out.push_back(n.name);
    return out;
}

}  // namespace ozy::tarp::test
