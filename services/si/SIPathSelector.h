#pragma once
// SIPathSelector: which service paths of a chain fill its 7 dataplane slots.
//
// Order: LOCAL puts more host-local hops first, then fewer host crossings, then the larger
// preference; REMOTE fewer host crossings first, then more host-local hops, then the larger
// preference; ANY keeps the order it is given. The counts are those of the forward direction; a
// path without forward hops is compared on its reverse direction and sorts after every path that
// has forward hops, and a path with neither sorts last. Each path maps to one key that is compared
// as a tuple, so the order is a strict weak ordering whatever the counts (a comparison that mixed
// directions pair by pair would not be, and std::sort may then read outside the range); sorting
// is stable.
//
// Best paths: the leading run whose host-local and host-cross counts in both directions equal the
// first path's. Slots: min(best, 7) paths take 7 / min(best, 7) slots each (7 or more best paths:
// 7 paths, one slot each); paths already in the chain's slots keep theirs, and the new ones are
// taken in order from a random index (the injected source) among the best paths not yet used. No
// best path leaves no slot (the caller deletes the chain's entry; nothing divides by zero).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "services/si/SIObjects.h"

namespace CfgAgent::si {

class SIPathSelector {
  public:
    static constexpr size_t kSlots = 7;
    using Random = std::function<uint32_t()>;

    explicit SIPathSelector(Random random) : random_(std::move(random)) {}

    // True when `a` sorts strictly ahead of `b` under `selection` (false for ANY).
    static bool Ahead(uint8_t selection, const Path& a, const Path& b);
    // Best first, stable.
    static void Order(uint8_t selection, std::vector<const Path*>* paths);
    static size_t BestRun(const std::vector<const Path*>& ordered);

    // The slots (path uuids, at most 7, no gaps) that follow `current` for the ordered paths.
    std::vector<std::string> Select(const std::vector<const Path*>& ordered,
                                    const std::vector<std::string>& current);

  private:
    Random random_;
};

}  // namespace CfgAgent::si
