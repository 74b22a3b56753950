#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "runtime/MsgQueue.h"
#include "tests/support/Await.h"

namespace CfgAgent {
namespace {

TEST(MsgQueueTest, FifoOrderAndNonBlockingGetOnEmpty) {
    MsgQueue<int> q(MsgQueue<int>::kUnbounded, true, false);
    EXPECT_FALSE(q.get().has_value());
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(q.put(i));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(q.get().value(), i);
    EXPECT_FALSE(q.get().has_value());
}

TEST(MsgQueueTest, FullQueueWithoutBlockingRefuses) {
    MsgQueue<int> q(2, false, false);
    EXPECT_TRUE(q.put(1));
    EXPECT_TRUE(q.put(2));
    EXPECT_FALSE(q.put(3));
    EXPECT_EQ(q.get().value(), 1);
    EXPECT_TRUE(q.put(3));
}

// The waiter is known to be blocked inside the queue before stop(): a stop() that wakes nobody
// leaves it there, and the bounded wait for it to return fails (the queue is then closed so that
// the thread can be joined).
TEST(MsgQueueTest, StopWakesBlockedConsumer) {
    MsgQueue<int> q(MsgQueue<int>::kUnbounded, true, true);
    std::atomic<bool> done{false};
    std::optional<int> got = 42;
    std::thread consumer([&] {
        got = q.get();
        done = true;
    });
    ASSERT_TRUE(test::AwaitTrue([&] { return q.consumersWaiting() == 1; }));
    q.stop();
    bool woken = test::AwaitTrue([&] { return done.load(); }, std::chrono::seconds(5));
    if (!woken)
        q.close();
    consumer.join();
    EXPECT_TRUE(woken) << "stop() left the consumer blocked";
    EXPECT_FALSE(got.has_value());
    EXPECT_EQ(q.consumersWaiting(), 0u);
    // A later get() on the stopped, empty queue returns at once.
    EXPECT_FALSE(q.get().has_value());
}

TEST(MsgQueueTest, StopWakesBlockedProducer) {
    MsgQueue<int> q(1, true, true);
    ASSERT_TRUE(q.put(1));
    std::atomic<int> result{-1};
    std::thread producer([&] { result = q.put(2) ? 1 : 0; });
    ASSERT_TRUE(test::AwaitTrue([&] { return q.producersWaiting() == 1; }));
    q.stop();
    bool woken = test::AwaitTrue([&] { return result.load() != -1; }, std::chrono::seconds(5));
    if (!woken)
        q.close();
    producer.join();
    EXPECT_TRUE(woken) << "stop() left the producer blocked";
    EXPECT_EQ(result.load(), 0);
    EXPECT_FALSE(q.put(3));
    EXPECT_EQ(q.get().value(), 1);  // what was queued is still delivered
}

TEST(MsgQueueTest, BlockedProducerProceedsWhenConsumerTakes) {
    MsgQueue<std::unique_ptr<int>> q(1, true, true);
    ASSERT_TRUE(q.put(std::make_unique<int>(1)));
    std::thread producer([&] { EXPECT_TRUE(q.put(std::make_unique<int>(2))); });
    EXPECT_EQ(*q.get().value(), 1);
    EXPECT_EQ(*q.get().value(), 2);
    producer.join();
}

TEST(MsgQueueTest, ClosedQueueRefusesAndDeliversNothing) {
    MsgQueue<int> q(MsgQueue<int>::kUnbounded, true, true);
    ASSERT_TRUE(q.put(1));
    q.close();
    EXPECT_FALSE(q.put(2));
    EXPECT_FALSE(q.get().has_value());
    EXPECT_FALSE(q.tryGet().has_value());
}

TEST(MsgQueueTest, GetForTimesOutAndReturnsItem) {
    MsgQueue<int> q(MsgQueue<int>::kUnbounded, true, true);
    EXPECT_FALSE(q.getFor(std::chrono::milliseconds(1)).has_value());
    q.put(5);
    EXPECT_EQ(q.getFor(std::chrono::milliseconds(1)).value(), 5);
}

// A producer that must not run ahead of its consumer waits until fewer than n items are queued;
// false when the queue stops meanwhile or the wait ends first.
TEST(MsgQueueTest, WaitForSizeBelowReturnsOnceTheConsumerTakes) {
    MsgQueue<int> q(MsgQueue<int>::kUnbounded, true, true);
    EXPECT_TRUE(q.waitForSizeBelow(1, std::chrono::milliseconds(0)));
    q.put(1);
    q.put(2);
    EXPECT_TRUE(q.waitForSizeBelow(3, std::chrono::milliseconds(0)));
    EXPECT_FALSE(q.waitForSizeBelow(2, std::chrono::milliseconds(0)));
    EXPECT_EQ(q.producersWaiting(), 0u);
    std::atomic<int> result{-1};
    std::thread producer([&] { result = q.waitForSizeBelow(2, std::chrono::minutes(5)) ? 1 : 0; });
    ASSERT_TRUE(test::AwaitTrue([&] { return q.producersWaiting() == 1; }));
    EXPECT_EQ(result.load(), -1);
    EXPECT_EQ(q.get().value(), 1);
    producer.join();
    EXPECT_EQ(result.load(), 1);
    // Stopped while waiting, or before.
    q.put(3);
    std::thread stopped([&] { result = q.waitForSizeBelow(1, std::chrono::minutes(5)) ? 1 : 0; });
    ASSERT_TRUE(test::AwaitTrue([&] { return q.producersWaiting() == 1; }));
    q.stop();
    stopped.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_FALSE(q.waitForSizeBelow(5, std::chrono::milliseconds(0)));
}

}  // namespace
}  // namespace CfgAgent
