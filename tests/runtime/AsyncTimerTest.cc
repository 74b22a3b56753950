#include <gtest/gtest.h>

#include <atomic>

#include <boost/asio/io_context.hpp>

#include "runtime/AgentClock.h"
#include "runtime/AsyncTimer.h"
#include "runtime/RefCounted.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent {
namespace {

class Owner : public ozy::RefCounted<Owner> {
  public:
    void OnTimer() { ++fired; }
    std::atomic<int> fired{0};
};

// Timers run on a private io context; simulated time replaces waiting.
class AsyncTimerTest : public ::testing::Test {
  protected:
    void TearDown() override { AgentClock::reset(); }
    // Moves the clock and runs the context until the owner has fired `expect` times in all; when
    // no new firing is expected, runs it briefly so that a wrong one would show.
    void Advance(std::chrono::milliseconds d, int expect) {
        AgentClock::advance(d, &io);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        auto settle = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            io.restart();
            io.run_for(std::chrono::milliseconds(5));
            if (owner->fired.load() >= expect && std::chrono::steady_clock::now() >= settle)
                break;
        }
    }
    boost::asio::io_context io;
    ozy::RefPtr<Owner> owner{new Owner()};
};

TEST_F(AsyncTimerTest, FiresOnceForTheLastIntervalStartedAndSaturatesHugeOnes) {
    using std::chrono::milliseconds;
    struct Case {
        std::vector<uint64_t> starts;                     // micros, started in this order
        std::vector<std::pair<milliseconds, int>> steps;  // clock moved, firings so far
    } cases[] = {
        // Real time passes too (the clock adds the moved offset to it): a second of margin.
        {{5'000'000},
         {{milliseconds(4000), 0}, {milliseconds(1100), 1}, {std::chrono::seconds(60), 1}}},
        {{1'000'000, 3'000'000},
         {{milliseconds(1500), 0}, {milliseconds(2000), 1}, {std::chrono::seconds(10), 1}}},
        {{UINT64_MAX}, {{std::chrono::hours(24 * 365), 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.starts.back());
        owner = new Owner();
        auto timer = std::make_shared<AsyncTimer<Owner>>(io, &Owner::OnTimer, owner.get());
        for (uint64_t interval : c.starts)
            timer->start(interval);
        for (const auto& [d, fired] : c.steps) {
            Advance(d, fired);
            EXPECT_EQ(owner->fired, fired);
        }
    }
}

TEST_F(AsyncTimerTest, CancelNeverCallsOwner) {
    test::LogCapture cap(kLogDebug);
    auto timer = std::make_shared<AsyncTimer<Owner>>(io, &Owner::OnTimer, owner.get());
    timer->start(1'000'000);
    timer->cancel();
    Advance(std::chrono::seconds(5), 0);
    EXPECT_EQ(owner->fired, 0);
    EXPECT_TRUE(cap.Contains("Timer cancelled"));
    EXPECT_TRUE(cap.Contains("Ignoring timer callback triggered for cancelled timer"));
    // A start after cancel arms it again.
    timer->start(1'000'000);
    Advance(std::chrono::seconds(2), 1);
    EXPECT_EQ(owner->fired, 1);
}

TEST_F(AsyncTimerTest, StoppedTimerIgnoresStartsAndTimerGoneDoesNothing) {
    auto timer = std::make_shared<AsyncTimer<Owner>>(io, &Owner::OnTimer, owner.get());
    timer->stop();
    timer->start(1000);
    Advance(std::chrono::seconds(1), 0);
    EXPECT_EQ(owner->fired, 0);

    auto second = std::make_shared<AsyncTimer<Owner>>(io, &Owner::OnTimer, owner.get());
    second->start(1000);
    second.reset();  // the pending handler finds the timer gone
    Advance(std::chrono::seconds(1), 0);
    EXPECT_EQ(owner->fired, 0);
}

TEST_F(AsyncTimerTest, TimerKeepsOwnerAliveUntilDropped) {
    Owner* raw = owner.get();
    auto timer = std::make_shared<AsyncTimer<Owner>>(io, &Owner::OnTimer, raw);
    EXPECT_EQ(raw->refCount(), 2u);
    timer.reset();
    EXPECT_EQ(raw->refCount(), 1u);
}

}  // namespace
}  // namespace CfgAgent
