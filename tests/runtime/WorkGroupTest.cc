#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "runtime/AgentLock.h"
#include "runtime/IoContexts.h"
#include "runtime/Metrics.h"
#include "runtime/WorkGroup.h"
#include "tests/support/Await.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent {
namespace {

class FnItem : public WorkItem {
  public:
    explicit FnItem(std::function<void()> fn, const char* name = "fn")
        : fn_(std::move(fn)), name_(name) {}
    void Run() override { fn_(); }
    const char* Name() const override { return name_; }

  private:
    std::function<void()> fn_;
    const char* name_;
};

// A gate that holds items until opened.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    void Wait() {
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [this] { return open; });
    }
    void Open() {
        std::lock_guard<std::mutex> l(m);
        open = true;
        cv.notify_all();
    }
};

TEST(WorkGroupTest, ItemsQueuedBeforeStopStillRun) {
    ozy::metrics::Registry reg;
    WorkGroup group(-1, &reg);
    group.StartThreads(1);
    Gate gate;
    std::atomic<int> ran{0};
    ASSERT_TRUE(group.Post(std::make_shared<FnItem>([&] {
        gate.Wait();
        ++ran;
    })));
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(group.Post(std::make_shared<FnItem>([&] { ++ran; })));
    }
    std::thread opener([&] {
        test::AwaitTrue([&] { return group.QueueLength() == 5; });
        gate.Open();
    });
    EXPECT_TRUE(group.Stop());
    opener.join();
    EXPECT_EQ(ran.load(), 6);
    EXPECT_FALSE(group.Post(std::make_shared<FnItem>([] {})));
    EXPECT_EQ(reg.frequency("work_group/queue/enqueue_freq")->total(), 6);
    EXPECT_EQ(reg.frequency("work_group/queue/dequeue_freq")->total(), 6);
    EXPECT_EQ(reg.latency("work_group/item/processing_time")->count(), 6);
    EXPECT_EQ(reg.gauge("work_group/queue/length")->value(), 0);
}

TEST(WorkGroupTest, BoundedQueueRefusesWhenFull) {
    WorkGroup group(2);
    EXPECT_TRUE(group.Post(std::make_shared<FnItem>([] {})));
    EXPECT_TRUE(group.Post(std::make_shared<FnItem>([] {})));
    EXPECT_FALSE(group.Post(std::make_shared<FnItem>([] {})));
    group.StartThreads(1);
    EXPECT_TRUE(group.Stop());
}

TEST(WorkGroupTest, StopDoesNotHangOnAnItemThatNeverReturnsAndNamesIt) {
    test::LogCapture cap(kLogError);
    auto gate = std::make_shared<Gate>();
    {
        WorkGroup group;
        group.StartThreads(2);
        ASSERT_TRUE(group.Post(std::make_shared<FnItem>([gate] { gate->Wait(); }, "StuckLoop")));
        ASSERT_TRUE(test::AwaitTrue([&] { return group.RunningItems().size() == 1; }));
        EXPECT_FALSE(group.Stop(std::chrono::milliseconds(100)));
    }
    EXPECT_TRUE(cap.Contains("Work item StuckLoop did not end at shutdown"));
    EXPECT_TRUE(cap.Contains("Failed to stop work group"));
    gate->Open();  // the left-behind thread ends on its own; the group's state outlives it
}

TEST(WorkGroupTest, ThreadTheSystemRefusesIsNotCountedAndStopJoinsTheOthers) {
    test::LogCapture cap(kLogError);
    unsigned started = 0;
    WorkGroup group(-1, nullptr, [&](std::function<void()> body) {
        if (started == 2)
            throw std::system_error(EAGAIN, std::generic_category(), "thread refused");
        ++started;
        return std::thread(std::move(body));
    });
    EXPECT_THROW(group.StartThreads(4), std::system_error);
    EXPECT_EQ(group.ThreadCount(), 2u);
    ASSERT_TRUE(test::AwaitTrue([&] { return group.WaitingThreads() == 2u; }));
    std::atomic<int> ran{0};
    ASSERT_TRUE(group.Post(std::make_shared<FnItem>([&] { ++ran; })));
    // Only the two threads that exist are waited for.
    EXPECT_TRUE(group.Stop());
    EXPECT_EQ(ran.load(), 1);
    EXPECT_FALSE(cap.Contains("Failed to stop work group"));
}

TEST(WorkGroupTest, ProcessGroupSplitsIoThreadsAndServesPosts) {
    SetThreadCounts(4, 32);
    ozy::metrics::Registry reg;
    WorkGroups::Start(&reg);
    WorkGroup* g = WorkGroups::Instance();
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->ThreadCount(), 32u);
    // 4 io loops and the serial loop occupy 5 threads; the other 27 wait for items.
    ASSERT_TRUE(test::AwaitTrue([&] { return g->WaitingThreads() == 27u; }));
    EXPECT_EQ(g->RunningItems().size(), 5u);

    std::atomic<int> ran{0};
    ASSERT_TRUE(WorkGroups::Post(std::make_shared<FnItem>([&] { ++ran; })));
    boost::asio::post(IoContext(), [&] { ++ran; });
    boost::asio::post(SerialContext(), [&] { ++ran; });
    ASSERT_TRUE(test::AwaitTrue([&] { return ran.load() == 3; }));

    WorkGroups::Stop();
    EXPECT_EQ(WorkGroups::Instance(), nullptr);
    EXPECT_FALSE(WorkGroups::Post(std::make_shared<FnItem>([] {})));
    SetThreadCounts(2, 32);
}

TEST(WorkGroupTest, ProcessGroupStopsWhileATimerIsPending) {
    SetThreadCounts(1, 4);
    WorkGroups::Start(nullptr);
    // A wait that never completes on its own must not keep an io thread inside run().
    boost::asio::steady_timer pending(IoContext(), std::chrono::hours(1));
    pending.async_wait([](const boost::system::error_code&) {});
    test::LogCapture cap(kLogError);
    WorkGroups::Stop(std::chrono::seconds(20));
    EXPECT_FALSE(cap.Contains("Failed to stop work group"));
    SetThreadCounts(2, 32);
}

}  // namespace
}  // namespace CfgAgent
