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

TEST_F(AsyncTimerTest, FiresOnceAfterItsInterval) {
    auto timer = std::make_shared<AsyncTimer<Owner>>(io, &Owner::OnTimer, owner.get());
    timer->start(5'000'000);
    Advance(std::chrono::milliseconds(4900), 0);
    EXPECT_EQ(owner->fired, 0);
    Advance(std::chrono::milliseconds(200), 1);
    EXPECT_EQ(owner->fired, 1);
    Advance(std::chrono::seconds(60), 1);
    EXPECT_EQ(owner->fired, 1);
}

TEST_F(AsyncTimerTest, RestartFiresOnceForTheSecondInterval) {
    auto timer = std::make_shared<AsyncTimer<Owner>>(io, &Owner::OnTimer, owner.get());
    timer->start(1'000'000);
    timer->start(3'000'000);
    Advance(std::chrono::milliseconds(1500), 0);
    EXPECT_EQ(owner->fired, 0);
    Advance(std::chrono::milliseconds(2000), 1);
    EXPECT_EQ(owner->fired, 1);
    Advance(std::chrono::seconds(10), 1);
    EXPECT_EQ(owner->fired, 1);
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

TEST_F(AsyncTimerTest, HugeIntervalSaturatesInsteadOfOverflowing) {
    auto timer = std::make_shared<AsyncTimer<Owner>>(io, &Owner::OnTimer, owner.get());
    timer->start(UINT64_MAX);
    Advance(std::chrono::hours(24 * 365), 0);
    EXPECT_EQ(owner->fired, 0);
}

}  // namespace
}  // namespace CfgAgent
