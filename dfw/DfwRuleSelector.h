#pragma once
// Which built rules apply to which port. A rule with no applied-to applies everywhere; otherwise
// to the logical switch ports it lists and to the ports of the groups (containers) it lists,
// through the LSP group relations. Rules with an extended source are left out while identity
// firewall is off, rules with an IDS profile while IDS is off.
//
// Selections are memoised by key: the port itself only when some rule names it directly, those of
// its groups that some rule names (sorted), and the flags; so the thousands of ports that share
// those groups select once and share one result (every port one, where no rule names a group).
// Built over one snapshot on the process loop's thread; not thread-safe.
#include <cstddef>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

#include "dfw/DfwMsgSnapshot.h"

namespace CfgAgent {

class DfwRuleSelector {
  public:
    struct Flags {
        bool idfw = false;
        bool ids = false;
    };
    // Rule messages in evaluation order.
    using Rules = std::vector<const orvane::ozy::firewall::LcpRuleMsg*>;
    using Selection = std::shared_ptr<const std::vector<size_t>>;

    DfwRuleSelector(Rules rules,
                    const DfwObjects<orvane::ozy::cairndb::EntityGroupRelationMsg>& relations);

    // Indexes (into the rules given) of the rules applying to `lsp`, in order.
    Selection Select(const DfwUuid& lsp, Flags flags);
    // The same for a port whose groups the caller knows (`groups` sorted, unique).
    Selection Select(const DfwUuid& lsp, const std::vector<DfwUuid>& groups, Flags flags);
    // True when some rule names `lsp` in its applied-to.
    bool NamesPort(const DfwUuid& lsp) const { return byPort_.count(lsp) != 0; }
    // True when some rule's applied-to names `lsp` or one of its `groups` (sorted).
    bool AppliedTo(const DfwUuid& lsp, const std::vector<DfwUuid>& groups) const;
    // Groups holding `lsp`, sorted.
    const std::vector<DfwUuid>& GroupsOf(const DfwUuid& lsp) const;
    size_t distinctSelections() const { return memo_.size(); }

  private:
    using Key = std::tuple<bool, DfwUuid, std::vector<DfwUuid>, bool, bool>;

    Rules rules_;
    std::vector<size_t> everywhere_;
    std::map<DfwUuid, std::vector<size_t>> byPort_;
    std::map<DfwUuid, std::vector<size_t>> byGroup_;
    std::map<DfwUuid, std::vector<DfwUuid>> groupsOfPort_;
    std::map<Key, Selection> memo_;
};

}  // namespace CfgAgent
