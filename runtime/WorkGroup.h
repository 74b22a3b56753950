#pragma once
// The process-wide thread pool.
//
// Items are taken in FIFO order by the group's threads. The io contexts' run loops are themselves
// items (IOWorker), so a group with W threads and I io threads has W - I - 1 threads left for
// posted items. Stopping lets the threads finish the items already queued; a long-running item
// must return when its component stops. stop() waits a bounded time: an item that never returns is
// named in the log and its thread is left behind rather than hanging shutdown.
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime/WorkItem.h"

namespace ozy::metrics {
class Registry;
}

namespace CfgAgent {

class WorkGroup {
  public:
    // Starts one thread running `body`; throws (std::system_error) when the system refuses.
    using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

    // maxQueue -1: unbounded. Metrics are registered when a registry is given. `starter` replaces
    // std::thread's constructor (tests make it fail).
    explicit WorkGroup(int maxQueue = -1, ozy::metrics::Registry* registry = nullptr,
                       ThreadStarter starter = nullptr);
    ~WorkGroup();
    WorkGroup(const WorkGroup&) = delete;
    WorkGroup& operator=(const WorkGroup&) = delete;

    // Starts `count` more threads. When the system refuses one, the exception propagates and the
    // group counts only the threads that started, so that Stop() still joins them at once.
    void StartThreads(unsigned count);
    // False when the queue is bounded and full, or the group is stopping.
    bool Post(WorkItemPtr item);
    // Lets queued items run, then joins the threads; true when every thread ended in time.
    bool Stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    size_t QueueLength() const;
    unsigned ThreadCount() const;
    unsigned WaitingThreads() const;
    // Names of the items running right now.
    std::vector<std::string> RunningItems() const;

  private:
    // Worker threads share the state, so a thread left inside an item at shutdown never touches
    // freed memory.
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

// The process's work group and io contexts.
namespace WorkGroups {
// Reads the thread counts (under the global agent lock), creates the group, starts its threads, and
// posts one IOWorker per io thread on the io context plus one on the serial context.
void Start(ozy::metrics::Registry* registry);
// Posts on the process group; false (and an error log) when there is none or it refuses.
bool Post(WorkItemPtr item);
// Drops the io workers' guards, stops both io contexts, stops the group and joins its threads.
void Stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));
WorkGroup* Instance();
}  // namespace WorkGroups

}  // namespace CfgAgent
