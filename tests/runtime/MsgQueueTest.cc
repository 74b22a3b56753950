#include <gtest/gtest.h>

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

TEST(MsgQueueTest, StopWakesBlockedConsumer) {
    MsgQueue<int> q(MsgQueue<int>::kUnbounded, true, true);
    std::atomic<bool> done{false};
    std::optional<int> got = 42;
    std::thread consumer([&] {
        got = q.get();
        done = true;
    });
    // The consumer is blocked: nothing to take.
    ASSERT_TRUE(test::AwaitTrue([&] { return !done.load(); }));
    q.stop();
    consumer.join();
    EXPECT_FALSE(got.has_value());
    // A later get() on the stopped, empty queue returns at once.
    EXPECT_FALSE(q.get().has_value());
}

TEST(MsgQueueTest, StopWakesBlockedProducer) {
    MsgQueue<int> q(1, true, true);
    ASSERT_TRUE(q.put(1));
    std::atomic<int> result{-1};
    std::thread producer([&] { result = q.put(2) ? 1 : 0; });
    q.stop();
    producer.join();
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

}  // namespace
}  // namespace CfgAgent
