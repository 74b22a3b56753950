#pragma once
// The clock of every AsyncTimer: the steady clock plus an offset that only tests move.
//
// Tests call advance() to make timers due without waiting. Once time has been simulated, timer
// waits are capped at a few milliseconds of real time so that reactors notice the moved clock;
// production never moves the offset, so there the clock and the waits are exactly the steady
// clock's.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace boost::asio {
class io_context;
}

namespace CfgAgent {

struct AgentClock {
    using duration = std::chrono::steady_clock::duration;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<AgentClock, duration>;
    static constexpr bool is_steady = true;

    static time_point now() noexcept {
        return time_point(std::chrono::steady_clock::now().time_since_epoch() +
                          duration(offset_.load(std::memory_order_acquire)));
    }

    static bool simulated() noexcept { return simulated_.load(std::memory_order_acquire); }

    // Moves simulated time forward and wakes the process io contexts (and `extra`, a private
    // context of a test), so that timers that became due fire. Tests only.
    static void advance(duration d, boost::asio::io_context* extra = nullptr);
    static void reset();

  private:
    static std::atomic<rep> offset_;
    static std::atomic<bool> simulated_;
};

struct AgentWaitTraits {
    static AgentClock::duration to_wait_duration(const AgentClock::duration& d) {
        if (AgentClock::simulated()) {
            return std::min<AgentClock::duration>(d, std::chrono::milliseconds(2));
        }
        return d;
    }
    static AgentClock::duration to_wait_duration(const AgentClock::time_point& t) {
        return to_wait_duration(t - AgentClock::now());
    }
};

}  // namespace CfgAgent
