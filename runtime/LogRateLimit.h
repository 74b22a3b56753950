#pragma once
// Rate limiting of a repeated log line: the first occurrence is written, then at most one line per
// interval, which tells how many occurrences it stands for. Servers use it for what a peer can
// repeat at will (refused connections, failing accepts), so that a flood of them cannot flood the
// log. Time is AgentClock (tests move it). Not thread-safe: one limiter per thread of use.
#include <chrono>
#include <cstdint>

#include "runtime/AgentClock.h"

namespace CfgAgent {

class LogRateLimit {
  public:
    explicit LogRateLimit(std::chrono::seconds interval) : interval_(interval) {}

    // Counts one occurrence; true when a line is to be written now, with `*count` the number of
    // occurrences it stands for (this one and those held back since the last line).
    bool Allow(uint64_t* count) {
        ++pending_;
        AgentClock::time_point now = AgentClock::now();
        if (written_ && now - last_ < interval_)
            return false;
        written_ = true;
        last_ = now;
        *count = pending_;
        pending_ = 0;
        return true;
    }

  private:
    const AgentClock::duration interval_;
    AgentClock::time_point last_{};
    bool written_ = false;
    uint64_t pending_ = 0;
};

}  // namespace CfgAgent
