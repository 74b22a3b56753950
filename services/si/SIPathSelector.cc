#include "services/si/SIPathSelector.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>

#include "runtime/Logger.h"

namespace CfgAgent::si {

namespace {

using Key = std::array<uint32_t, 4>;

// Lower sorts first: (class, then the policy's three values with "larger first" inverted).
Key KeyOf(uint8_t selection, const Path& p) {
    const bool fwd = !p.forward.hops.empty();
    const bool rev = !p.reverse.hops.empty();
    const uint32_t cls = fwd ? 0 : (rev ? 1 : 2);
    if (cls == 2)
        return {cls, 0, 0, 0};
    const Direction& d = fwd ? p.forward : p.reverse;
    if (selection == kSelectLocal)
        return {cls, UINT32_MAX - d.local, d.cross, UINT32_MAX - d.preference};
    return {cls, d.cross, UINT32_MAX - d.local, UINT32_MAX - d.preference};
}

bool SameCounts(const Path& a, const Path& b) {
    return a.forward.hops.empty() == b.forward.hops.empty() &&
           a.reverse.hops.empty() == b.reverse.hops.empty() && a.forward.local == b.forward.local &&
           a.forward.cross == b.forward.cross && a.reverse.local == b.reverse.local &&
           a.reverse.cross == b.reverse.cross;
}

}  // namespace

bool SIPathSelector::Ahead(uint8_t selection, const Path& a, const Path& b) {
    if (selection != kSelectLocal && selection != kSelectRemote)
        return false;
    return KeyOf(selection, a) < KeyOf(selection, b);
}

void SIPathSelector::Order(uint8_t selection, std::vector<const Path*>* paths) {
    CFG_DEBUG("SIApp: path selection policy: %1", SelectionName(selection));
    if (selection != kSelectLocal && selection != kSelectRemote)
        return;
    std::vector<std::pair<Key, const Path*>> keyed;
    keyed.reserve(paths->size());
    for (const Path* p : *paths)
        keyed.emplace_back(KeyOf(selection, *p), p);
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    for (size_t i = 0; i < keyed.size(); ++i)
        (*paths)[i] = keyed[i].second;
}

size_t SIPathSelector::BestRun(const std::vector<const Path*>& ordered) {
    size_t n = 0;
    while (n < ordered.size() && SameCounts(*ordered[0], *ordered[n]))
        ++n;
    CFG_DEBUG("SIApp: max best paths %1 ", n);
    return n;
}

std::vector<std::string> SIPathSelector::Select(const std::vector<const Path*>& ordered,
                                                const std::vector<std::string>& current) {
    const size_t best = BestRun(ordered);
    if (best == 0)
        return {};
    const size_t wanted = std::min(best, kSlots);
    const size_t share = kSlots / wanted;
    std::set<std::string> bestSet;
    for (size_t i = 0; i < best; ++i)
        bestSet.insert(ordered[i]->uuid);

    // Paths in use (still best), in slot order, with their slot counts.
    std::vector<std::string> inUse;
    std::map<std::string, size_t> held;
    for (const std::string& u : current) {
        if (bestSet.count(u) != 0 && held[u]++ == 0)
            inUse.push_back(u);
    }
    bool balanced = inUse.size() == wanted && current.size() == wanted * share;
    for (const auto& [u, n] : held)
        balanced = balanced && n == share;
    if (balanced) {
        CFG_DEBUG("SIApp: Paths already at max allowed or available");
        return current;
    }

    std::vector<std::string> fresh;
    for (size_t i = 0; i < best; ++i) {
        if (held.count(ordered[i]->uuid) == 0)
            fresh.push_back(ordered[i]->uuid);
    }
    std::vector<std::string> selected = inUse;
    if (selected.size() > wanted)
        selected.resize(wanted);
    if (fresh.empty()) {
        CFG_DEBUG("SIApp: No new paths rebalance among existing");
    } else {
        const size_t start = random_() % fresh.size();
        CFG_DEBUG("SIApp: index_selected idx %1 ", start);
        for (size_t k = 0; selected.size() < wanted && k < fresh.size(); ++k)
            selected.push_back(fresh[(start + k) % fresh.size()]);
    }

    // Kept slots first, in their order, up to each path's share; then the missing ones.
    std::map<std::string, size_t> count;
    for (const std::string& u : selected)
        count[u] = 0;
    std::vector<std::string> slots;
    for (const std::string& u : current) {
        auto it = count.find(u);
        if (it != count.end() && it->second < share) {
            ++it->second;
            slots.push_back(u);
        }
    }
    for (const std::string& u : selected) {
        for (size_t& n = count[u]; n < share; ++n) {
            CFG_DEBUG("SIApp: path selected: %1", u);
            slots.push_back(u);
        }
    }
    CFG_DEBUG("SIApp: num path selected %1 ", selected.size());
    CFG_DEBUG(slots.size() == kSlots ? "SIApp: All slots used" : "SIApp: All slots not used");
    return slots;
}

}  // namespace CfgAgent::si
