#pragma once
// Reassembly of the live-trace family's FRAGMENT chains (dataplane/LivetraceProtocol.h) into the
// result message each chain carries.
//
// Bounded: at most `maxChains` open chains and `maxBytes` of their buffers; a chain's buffer is
// its announced total, allocated once. A piece that does not fit its chain (index beyond the
// count, a count, type or total other than the chain's, a repeated index, bytes overlapping
// another piece or beyond the total) is refused and its chain freed, since nothing that chain
// would still give can be trusted. A chain that does not complete by its deadline is freed by
// Expire. Not thread-safe: LivetraceApp calls it under its lock.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "dataplane/DpFraming.h"
#include "runtime/AgentClock.h"

namespace CfgAgent::livetrace {

class LivetraceFragments {
  public:
    struct Limits {
        size_t maxChains = 64;
        size_t maxBytes = 4 << 20;
        AgentClock::duration timeout = std::chrono::seconds(5);
    };
    enum class Outcome { kPending, kComplete, kRefused };

    LivetraceFragments() = default;
    explicit LivetraceFragments(Limits limits) : limits_(limits) {}

    // One FRAGMENT message (its length field checked by the link). kComplete puts the whole
    // message, header included, in `whole`; kRefused says why in `error`.
    Outcome Add(const uint8_t* msg, size_t size, AgentClock::time_point now, DpMsg* whole,
                std::string* error);
    // Frees the chains whose deadline has passed; returns their ids.
    std::vector<uint32_t> Expire(AgentClock::time_point now);
    void Clear();

    size_t OpenChains() const { return chains_.size(); }
    size_t BufferedBytes() const { return bytes_; }

  private:
    struct Chain {
        uint16_t innerType = 0;
        uint16_t count = 0;
        uint32_t total = 0;
        size_t received = 0;
        std::vector<bool> indexes;
        std::map<uint32_t, uint32_t> pieces;  // offset -> length
        DpMsg buffer;                         // header and element list of the whole
        AgentClock::time_point deadline;
    };
    void Free(std::map<uint32_t, Chain>::iterator it);

    Limits limits_;
    std::map<uint32_t, Chain> chains_;
    size_t bytes_ = 0;
};

}  // namespace CfgAgent::livetrace
