#include "runtime/WorkGroup.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "runtime/AgentClock.h"
#include "runtime/AgentLock.h"
#include "runtime/IOWorker.h"
#include "runtime/IoContexts.h"
#include "runtime/Logger.h"
#include "runtime/Metrics.h"

namespace CfgAgent {

namespace {
int64_t MicrosSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 t)
        .count();
}
}  // namespace

struct WorkGroup::Impl {
    std::mutex mutex;
    std::condition_variable available;
    std::condition_variable exited;
    bool running = true;
    bool stopped = false;
    int maxQueue = -1;
    unsigned waiting = 0;
    unsigned live = 0;
    std::deque<WorkItemPtr> queue;
    std::vector<std::thread> threads;
    std::vector<const char*> runningNames;
    ThreadStarter starter;

    std::shared_ptr<ozy::metrics::Gauge> queueLength;
    std::shared_ptr<ozy::metrics::Frequency> enqueueFreq;
    std::shared_ptr<ozy::metrics::Frequency> dequeueFreq;
    std::shared_ptr<ozy::metrics::Latency> queuedTime;
    std::shared_ptr<ozy::metrics::Latency> processingTime;
    std::shared_ptr<ozy::metrics::Counter> idleCount;

    void WorkerLoop(size_t slot);
};

WorkGroup::WorkGroup(int maxQueue, ozy::metrics::Registry* registry, ThreadStarter starter)
    : impl_(std::make_shared<Impl>()) {
    impl_->starter = std::move(starter);
    ozy::metrics::Registry local;
    ozy::metrics::Registry& r = registry != nullptr ? *registry : local;
    impl_->maxQueue = maxQueue;
    impl_->queueLength = r.gauge("work_group/queue/length");
    impl_->enqueueFreq = r.frequency("work_group/queue/enqueue_freq");
    impl_->dequeueFreq = r.frequency("work_group/queue/dequeue_freq");
    impl_->queuedTime = r.latency("work_group/item/queued_time");
    impl_->processingTime = r.latency("work_group/item/processing_time");
    impl_->idleCount = r.counter("work_group/thread/idle_count");
}

WorkGroup::~WorkGroup() {
    bool clean;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        clean = impl_->stopped || impl_->threads.empty();
    }
    if (!clean) {
        Stop();
    }
}

void WorkGroup::StartThreads(unsigned count) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->threads.reserve(impl_->threads.size() + count);
    impl_->runningNames.reserve(impl_->runningNames.size() + count);
    for (unsigned i = 0; i < count; ++i) {
        size_t slot = impl_->threads.size();
        std::shared_ptr<Impl> impl = impl_;
        std::function<void()> body = [impl, slot] { impl->WorkerLoop(slot); };
        // A new thread waits for the mutex held here before it looks at its slot; counted only
        // once it exists.
        std::thread t = impl_->starter ? impl_->starter(std::move(body)) : std::thread(body);
        impl_->runningNames.push_back(nullptr);
        impl_->threads.push_back(std::move(t));
        ++impl_->live;
    }
}

bool WorkGroup::Post(WorkItemPtr item) {
    Impl& g = *impl_;
    std::lock_guard<std::mutex> lock(g.mutex);
    if (!g.running) {
        return false;
    }
    if (g.maxQueue >= 0 && g.queue.size() >= static_cast<size_t>(g.maxQueue)) {
        return false;
    }
    item->enqueueTime = std::chrono::steady_clock::now();
    g.queue.push_back(std::move(item));
    g.queueLength->set(static_cast<int64_t>(g.queue.size()));
    g.enqueueFreq->mark();
    if (g.waiting > 0) {
        g.available.notify_one();
    }
    return true;
}

void WorkGroup::Impl::WorkerLoop(size_t slot) {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        while (!queue.empty()) {
            WorkItemPtr item = std::move(queue.front());
            queue.pop_front();
            queueLength->set(static_cast<int64_t>(queue.size()));
            dequeueFreq->mark();
            queuedTime->record(MicrosSince(item->enqueueTime));
            runningNames[slot] = item->Name();
            lock.unlock();
            auto start = std::chrono::steady_clock::now();
            try {
                item->Run();
            } catch (const std::bad_alloc&) {
                ExitOnAllocFailure();
            } catch (const std::exception& e) {
                CFG_ERROR("Work item %1 ended with exception: %2", item->Name(), e.what());
            }
            processingTime->record(MicrosSince(start));
            item.reset();
            lock.lock();
            runningNames[slot] = nullptr;
        }
        if (!running) {
            break;
        }
        ++waiting;
        idleCount->inc();
        available.wait(lock);
        idleCount->dec();
        --waiting;
    }
    --live;
    exited.notify_all();
}

bool WorkGroup::Stop(std::chrono::milliseconds timeout) {
    Impl& g = *impl_;
    std::vector<std::thread> threads;
    {
        std::unique_lock<std::mutex> lock(g.mutex);
        if (g.stopped) {
            return true;
        }
        g.running = false;
        g.available.notify_all();
        bool allEnded = g.exited.wait_for(lock, timeout, [&g] { return g.live == 0; });
        g.stopped = true;
        threads.swap(g.threads);
        if (!allEnded) {
            std::vector<std::string> stuck;
            for (const char* name : g.runningNames) {
                if (name != nullptr)
                    stuck.emplace_back(name);
            }
            lock.unlock();
            for (const auto& name : stuck) {
                CFG_ERROR("Work item %1 did not end at shutdown", name);
            }
            CFG_ERROR("Failed to stop work group");
            // A thread still inside an item cannot be joined; it keeps the shared state alive and
            // is left to the process exit.
            for (auto& t : threads) {
                t.detach();
            }
            return false;
        }
    }
    for (auto& t : threads) {
        t.join();
    }
    return true;
}

size_t WorkGroup::QueueLength() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->queue.size();
}

unsigned WorkGroup::ThreadCount() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return static_cast<unsigned>(impl_->threads.size());
}

unsigned WorkGroup::WaitingThreads() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->waiting;
}

std::vector<std::string> WorkGroup::RunningItems() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<std::string> names;
    for (const char* n : impl_->runningNames) {
        if (n != nullptr)
            names.emplace_back(n);
    }
    return names;
}

// --- process-wide group and io contexts ---

boost::asio::io_context& IoContext() {
    static boost::asio::io_context* io = new boost::asio::io_context();
    return *io;
}

boost::asio::io_context& SerialContext() {
    static boost::asio::io_context* io = new boost::asio::io_context(1);
    return *io;
}

std::atomic<AgentClock::rep> AgentClock::offset_{0};
std::atomic<bool> AgentClock::simulated_{false};

namespace {
// Schedules an already-due timer: it becomes the earliest of the context's timers, which makes
// the reactor recompute its wait with the moved clock. Its expiry lies before every other timer's
// (the clock's epoch): expiring "now" would, after the offset moved, come later than a timer armed
// before the move, and the reactor would keep sleeping for that timer's real interval.
void KickTimers(boost::asio::io_context& io) {
    auto t = std::make_shared<boost::asio::basic_waitable_timer<AgentClock, AgentWaitTraits>>(io);
    t->expires_at(AgentClock::time_point());
    t->async_wait([t](const boost::system::error_code&) {});
}
}  // namespace

void AgentClock::advance(duration d, boost::asio::io_context* extra) {
    simulated_.store(true, std::memory_order_release);
    offset_.fetch_add(d.count(), std::memory_order_acq_rel);
    KickTimers(IoContext());
    KickTimers(SerialContext());
    if (extra != nullptr)
        KickTimers(*extra);
}

void AgentClock::reset() {
    offset_.store(0, std::memory_order_release);
    simulated_.store(false, std::memory_order_release);
}

namespace WorkGroups {
namespace {
std::mutex g_mutex;
std::unique_ptr<WorkGroup> g_group;
std::vector<ozy::RefPtr<IOWorker>> g_ioWorkers;
}  // namespace

void Start(ozy::metrics::Registry* registry) {
    ThreadCounts counts = GetThreadCounts();
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_group) {
        return;
    }
    g_group = std::make_unique<WorkGroup>(-1, registry);
    g_group->StartThreads(counts.workThreads);
    IoContext().restart();
    SerialContext().restart();
    for (unsigned i = 0; i < counts.ioThreads; ++i) {
        ozy::RefPtr<IOWorker> w(new IOWorker(IoContext()));
        g_ioWorkers.push_back(w);
        g_group->Post(std::make_shared<WorkItemImpl<IOWorker>>(&IOWorker::run, w, "IOWorker(io)"));
    }
    ozy::RefPtr<IOWorker> serial(new IOWorker(SerialContext()));
    g_ioWorkers.push_back(serial);
    g_group->Post(
        std::make_shared<WorkItemImpl<IOWorker>>(&IOWorker::run, serial, "IOWorker(serial)"));
    CFG_DEBUG("Work group started: %1 work threads, %2 io threads", counts.workThreads,
              counts.ioThreads);
}

bool Post(WorkItemPtr item) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_group) {
        CFG_ERROR("Work group is not running; cannot post %1", item->Name());
        return false;
    }
    const char* name = item->Name();
    if (!g_group->Post(std::move(item))) {
        CFG_ERROR("Work group refused work item %1", name);
        return false;
    }
    return true;
}

void Stop(std::chrono::milliseconds timeout) {
    std::unique_ptr<WorkGroup> group;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (auto& w : g_ioWorkers) {
            w->DropGuard();
        }
        g_ioWorkers.clear();
        group = std::move(g_group);
    }
    // Stopping the contexts before the join keeps a socket or timer still pending in some closed
    // component from holding an io thread inside run().
    IoContext().stop();
    SerialContext().stop();
    if (group) {
        group->Stop(timeout);
    }
}

WorkGroup* Instance() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_group.get();
}

}  // namespace WorkGroups

}  // namespace CfgAgent
