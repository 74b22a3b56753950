#pragma once
// Delivers the batches that the database client closes at every barrier to the components
// registered for each ComponentType. It is the only path by which configuration reaches the
// state-cache tables and the applications.
//
// Ordering: batches in queue (barrier) order; within a batch, components in ascending type order,
// so the state-cache tables (1-3) have applied a transaction before any application (4-11) sees
// it; within a list, decode order. A type that nothing registered is skipped silently.
//
// Threads: the delivery loop runs as one work item and calls UpdateDesiredState synchronously on
// that thread. Registration normally happens before start() and after stop(); it is nevertheless
// safe at any time (a registry mutex, and the loop holds its own counted reference to the component
// it is calling). stop() stops the update queue and waits for the loop to return, so that the work
// group can be stopped afterwards; batches still queued are dropped.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "intake/CairnDBUpdateMsg.h"
#include "intake/Component.h"
#include "runtime/RefCounted.h"

namespace ozy::metrics {
class Latency;
class Registry;
}  // namespace ozy::metrics

namespace CfgAgent {

class WorkGroup;

class MsgDispatcher : public ozy::RefCounted<MsgDispatcher, ozy::IRefCountable> {
  public:
    // `metrics` (optional) receives the time taken by the per-component debug log line.
    explicit MsgDispatcher(UpdateQueuePtr queue, ozy::metrics::Registry* metrics = nullptr);
    ~MsgDispatcher() override;

    void RegisterComponent(ComponentType type, Component* component);
    // Removes every registration that holds this component.
    void UnregisterComponent(Component* component);
    bool IsRegistered(ComponentType type) const;

    // Posts the delivery loop on the process work group (or on `group`); false when it could not be
    // posted or is already running.
    bool start();
    bool start(WorkGroup& group);
    // Ends the loop: stops the update queue and waits (bounded) until the loop has returned.
    void stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // The delivery loop (the work item's member function).
    void Run();

    // Delivers one batch on the calling thread, exactly as the loop does.
    void Deliver(const UpdateBatch& batch);

    uint64_t BatchesDelivered() const;

    // After a full sync, and after any batch of at least kReleaseAfterRecords records, the loop
    // frees the batch and hands the allocator's free pages back to the system: the records and the
    // components' transient copies are the process's peak, which would otherwise stay resident.
    static constexpr size_t kReleaseAfterRecords = 4096;
    // How many times the loop has handed memory back.
    uint64_t MemoryReleases() const;

  private:
    bool Post(WorkGroup* group);
    ozy::RefPtr<Component> Lookup(ComponentType type) const;

    UpdateQueuePtr queue_;
    std::shared_ptr<ozy::metrics::Latency> logLatency_;

    mutable std::mutex registryMutex_;
    std::unordered_map<ComponentType, ozy::RefPtr<Component>> registry_;

    std::mutex runMutex_;
    std::condition_variable runChanged_;
    bool running_ = false;
    bool stopping_ = false;
    std::atomic<uint64_t> delivered_{0};
    std::atomic<uint64_t> releases_{0};
};

}  // namespace CfgAgent
