#pragma once
// Delivers the batches that the database client closes at every barrier to the components
// registered for each ComponentType. It is the only path by which configuration reaches the
// state-cache tables and the applications.
//
// Ordering: batches in queue (barrier) order; within a batch, components in ascending type order,
// so the state-cache tables (1-3) have applied a transaction before any application (4-11) sees
// it; within a list, decode order. A type that nothing registered is skipped silently.
//
// Parts of a full sync (UpdateBatch::part, see Component.h) go at once to the components that take
// parts; for the others the loop keeps them, in order, and puts them before the barrier's own
// records of that full sync. Parts of a full sync that never got its barrier (the database channel
// went down) are dropped when the next full sync starts, and a component that took some of them is
// started over (an empty first part) when that next full sync arrives without parts.
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
#include <set>
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

    // Handles one batch on the calling thread, exactly as the loop does: a part of a full sync is
    // delivered or kept, a full sync's barrier takes the parts kept before it is delivered.
    void Accept(UpdateBatch& batch);
    // Delivers one batch's lists (no parts) on the calling thread.
    void Deliver(const UpdateBatch& batch);
    // Records of parts kept for components that take none.
    size_t KeptPartRecords() const;

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
    void AcceptPart(UpdateBatch& part);
    // Ends the open full sync: its kept parts go before `barrier`'s records when it is that full
    // sync's barrier, else they are dropped and the components that took parts start over.
    void EndParts(UpdateBatch& barrier);

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

    // The full sync whose parts arrived and whose barrier did not yet (delivery loop only).
    bool partsOpen_ = false;
    uint64_t partsOf_ = 0;
    std::set<ComponentType> partTakers_;  // components that took a part of it
    ComponentUpdateMap keptParts_;        // its parts for the other components
    std::atomic<size_t> keptRecords_{0};
};

}  // namespace CfgAgent
