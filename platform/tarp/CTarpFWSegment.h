#pragma once
// A run of rules that travels as one unit: one section's rules selected for a filter, in order.
// Segments are content-addressed: the device keeps each one once, by hash, however many filters
// use it, and a rule set is the ordered list of its segments' hashes. Immutable once made; share
// one segment (by shared_ptr) between the command lists of every filter that selects the same
// rules, so its hash is computed once.
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/tarp/CTarpFWRule.h"

namespace TarpFirewall {

class CTarpFWSegment {
  public:
    explicit CTarpFWSegment(std::vector<std::shared_ptr<const CTarpFWRule>> rules);

    uint64_t hash() const { return hash_; }
    const std::vector<std::shared_ptr<const CTarpFWRule>>& rules() const { return rules_; }
    // Bytes of the whole segment (TarpWire.h).
    size_t EncodedSize() const;
    void AppendEncoded(std::vector<uint8_t>& out) const;

  private:
    std::vector<std::shared_ptr<const CTarpFWRule>> rules_;
    uint64_t hash_ = 0;
};

}  // namespace TarpFirewall
