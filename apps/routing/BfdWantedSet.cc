#include "apps/routing/BfdWantedSet.h"

#include <algorithm>

namespace CfgAgent {

void BfdWantedSet::Pair(const std::vector<Vtep>& local, const std::vector<Vtep>& remote,
                        uint32_t tnVgLabel, const BfdReference& ref, uint32_t vni) {
    if (local.empty() || remote.empty())
        return;
    const BfdReference* kept = &refs_.emplace_back(ref);
    wanted_.reserve(wanted_.size() + local.size() * remote.size());
    for (const Vtep& l : local) {
        for (const Vtep& r : remote) {
            // A session runs between endpoints of one family.
            if (l.ip.ipv6 != r.ip.ipv6)
                continue;
            Wanted& w = wanted_.emplace_back();
            w.key.local = l.ip;
            w.key.remote = r.ip;
            w.key.localLabel = l.label;
            w.key.remoteLabel = r.label;
            w.key.tnVgLabel = tnVgLabel;
            w.key.type = BfdSessionType::kTunnel;
            w.vni = vni;
            w.ref = kept;
        }
    }
}

void BfdWantedSet::Seal() {
    // The references of one Pair call are one object: compared by address first.
    auto less = [](const Wanted& a, const Wanted& b) {
        if (a.key < b.key)
            return true;
        if (b.key < a.key)
            return false;
        return a.ref != b.ref && *a.ref < *b.ref;
    };
    // Stable: of equal sessions the one added last is last of its run, and it stays.
    std::stable_sort(wanted_.begin(), wanted_.end(), less);
    items_.clear();
    items_.reserve(wanted_.size());
    for (size_t i = 0; i < wanted_.size(); ++i) {
        if (i + 1 < wanted_.size() && !less(wanted_[i], wanted_[i + 1]))
            continue;
        items_.push_back(BFDTable::Ref{&wanted_[i].key, wanted_[i].ref, &wanted_[i].vni});
    }
}

}  // namespace CfgAgent
