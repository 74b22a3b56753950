#pragma once
// IP-reputation chunks: the malicious-address tables the firewall library loads into the
// dataplane, sized in tiers (6000 entries, 10000 entries, or exactly the entry count) so that a
// chunk that grows or shrinks a little keeps its allocation. The entry count is always that of the
// entries received, never the count the sender declares.
#include <cstdint>

#include "platform/tarp/CTarpFWIpRepChunk.h"

namespace orvane::ozy::firewall {
class LcpIpReputationConfigMsg;
}

namespace CfgAgent {

class DfwIpRepChunk {
  public:
    static constexpr uint32_t kSmallTier = 6000;
    static constexpr uint32_t kLargeTier = 10000;

    // The capacity of a chunk of `count` entries whose capacity is `current` (a new chunk's is
    // kSmallTier). Always at least `count`. Logs the tier move.
    static uint32_t NextCapacity(uint32_t current, uint32_t count);
    // The same without a log line (comparing with what the device holds).
    static uint32_t Tier(uint32_t current, uint32_t count);

    // The chunk of a cached message (entries already checked to be whole 16-byte records) with
    // the capacity that follows `current`.
    static TarpFirewall::CTarpFWIpRepChunk Build(
        const orvane::ozy::firewall::LcpIpReputationConfigMsg& msg, uint32_t current);
};

}  // namespace CfgAgent
