#include "dfw/DfwRuleSelector.h"

#include <algorithm>
#include <utility>

#include "dfw/DfwLog.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/lcp_firewall.pb.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;
namespace fw = orvane::ozy::firewall;

namespace {

template <class Msg>
DfwUuid Id(const Msg& m) {
    return DfwUuid{m.left(), m.right()};
}

bool HasExtSource(const fw::LcpRuleMsg& r) {
    return r.extended_source().container_ids_size() > 0 ||
           r.extended_source().ip_addresses_size() > 0;
}

}  // namespace

DfwRuleSelector::DfwRuleSelector(Rules rules,
                                 const DfwObjects<pb::EntityGroupRelationMsg>& relations)
    : rules_(std::move(rules)) {
    for (size_t i = 0; i < rules_.size(); ++i) {
        const pb::AppliedToMsg& to = rules_[i]->applied_to();
        if (to.logical_switch_port_ids().empty() && to.container_ids().empty()) {
            everywhere_.push_back(i);
            continue;
        }
        for (const pb::UuidMsg& p : to.logical_switch_port_ids())
            byPort_[Id(p)].push_back(i);
        for (const pb::UuidMsg& g : to.container_ids())
            byGroup_[Id(g)].push_back(i);
    }
    for (const auto& [id, rel] : relations) {
        for (const pb::ContainerLogicalSwitchPortMsg& m : rel->container_logical_switch_port()) {
            for (const pb::UuidMsg& p : m.logical_switch_port_ids())
                groupsOfPort_[Id(p)].push_back(Id(m.container_id()));
        }
    }
    for (auto& [port, groups] : groupsOfPort_) {
        std::sort(groups.begin(), groups.end());
        groups.erase(std::unique(groups.begin(), groups.end()), groups.end());
    }
}

const std::vector<DfwUuid>& DfwRuleSelector::GroupsOf(const DfwUuid& lsp) const {
    static const std::vector<DfwUuid> kNone;
    auto it = groupsOfPort_.find(lsp);
    return it == groupsOfPort_.end() ? kNone : it->second;
}

bool DfwRuleSelector::AppliedTo(const DfwUuid& lsp, const std::vector<DfwUuid>& groups) const {
    if (byPort_.count(lsp) != 0)
        return true;
    for (const DfwUuid& g : groups) {
        if (byGroup_.count(g) != 0)
            return true;
    }
    return false;
}

DfwRuleSelector::Selection DfwRuleSelector::Select(const DfwUuid& lsp, Flags flags) {
    return Select(lsp, GroupsOf(lsp), flags);
}

DfwRuleSelector::Selection DfwRuleSelector::Select(const DfwUuid& lsp,
                                                   const std::vector<DfwUuid>& groups,
                                                   Flags flags) {
    auto direct = byPort_.find(lsp);
    bool named = direct != byPort_.end();
    // Only the port's groups that some rule names select anything: ports that differ in the
    // others share one selection (all ports, for a section whose rules apply everywhere).
    std::vector<DfwUuid> scoped;
    if (!byGroup_.empty()) {
        for (const DfwUuid& g : groups) {
            if (byGroup_.count(g) != 0)
                scoped.push_back(g);
        }
    }
    Key key{named, named ? lsp : DfwUuid{}, std::move(scoped), flags.idfw, flags.ids};
    auto memo = memo_.find(key);
    if (memo != memo_.end())
        return memo->second;

    std::vector<size_t> picked = everywhere_;
    if (named) {
        for (size_t i : direct->second) {
            DFW_DEBUG("dfw: rule %1 matchs direct applied to", rules_[i]->rule_id());
            picked.push_back(i);
        }
    }
    for (const DfwUuid& g : std::get<2>(key)) {
        auto it = byGroup_.find(g);
        if (it == byGroup_.end())
            continue;
        for (size_t i : it->second) {
            DFW_DEBUG("dfw: rule %1 matchs grouping applied to", rules_[i]->rule_id());
            picked.push_back(i);
        }
    }
    std::sort(picked.begin(), picked.end());
    picked.erase(std::unique(picked.begin(), picked.end()), picked.end());
    auto out = std::make_shared<std::vector<size_t>>();
    out->reserve(picked.size());
    for (size_t i : picked) {
        const fw::LcpRuleMsg& r = *rules_[i];
        if (!flags.idfw && HasExtSource(r)) {
            DFW_DEBUG("dfw: Skipped rule %1 due to IDFW is disabled", r.rule_id());
            continue;
        }
        if (!flags.ids && r.ids_profile_ids_size() > 0) {
            DFW_DEBUG("dfw: Skipped rule %1 due to IDS is disabled", r.rule_id());
            continue;
        }
        out->push_back(i);
    }
    Selection result = std::move(out);
    memo_.emplace(std::move(key), result);
    return result;
}

}  // namespace CfgAgent
