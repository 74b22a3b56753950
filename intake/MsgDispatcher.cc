#include "intake/MsgDispatcher.h"

#include <exception>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "platform/WorkflowUtil.h"
#include "runtime/Logger.h"
#include "runtime/MemoryAccounts.h"
#include "runtime/Metrics.h"
#include "runtime/WorkGroup.h"
#include "runtime/WorkItem.h"

namespace CfgAgent {

namespace {

// Runs one component's delivery: a failing component must not end delivery to the others (an
// allocation failure ends the process).
template <class Call>
void CallComponent(ComponentType type, uint64_t transactionId, Call&& call) {
    try {
        call();
    } catch (const std::bad_alloc&) {
        ExitOnAllocFailure();
    } catch (const std::exception& e) {
        CFG_ERROR("MsgDispatcher: component %1 failed on transaction %2: %3",
                  CompTypeToString(type), transactionId, e.what());
    } catch (...) {
        CFG_ERROR("MsgDispatcher: component %1 failed on transaction %2", CompTypeToString(type),
                  transactionId);
    }
}

}  // namespace

MsgDispatcher::MsgDispatcher(UpdateQueuePtr queue, ozy::metrics::Registry* metrics)
    : queue_(std::move(queue)) {
    if (metrics != nullptr) {
        logLatency_ = metrics->latency("msg_dispatcher/dispatch_log/latency");
    }
}

MsgDispatcher::~MsgDispatcher() = default;

void MsgDispatcher::RegisterComponent(ComponentType type, Component* component) {
    if (component == nullptr) {
        CFG_ERROR("MsgDispatcher: register NULL component %1", CompTypeToString(type));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        auto inserted = registry_.emplace(type, ozy::RefPtr<Component>(component));
        if (inserted.second) {
            CFG_INFO("MsgDispatcher: registered component %1", CompTypeToString(type));
            return;
        }
    }
    CFG_ERROR("MsgDispatcher: register existing component %1", CompTypeToString(type));
}

void MsgDispatcher::UnregisterComponent(Component* component) {
    std::vector<ozy::RefPtr<Component>> released;
    std::vector<ComponentType> types;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        for (auto it = registry_.begin(); it != registry_.end();) {
            if (component != nullptr && it->second.get() == component) {
                types.push_back(it->first);
                released.push_back(std::move(it->second));
                it = registry_.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (types.empty()) {
        CFG_ERROR("MsgDispatcher: unregister nonexistent component");
        return;
    }
    for (ComponentType t : types) {
        CFG_INFO("MsgDispatcher: unregistered component: %1", CompTypeToString(t));
    }
    // `released` drops the references here, outside the registry mutex.
}

bool MsgDispatcher::IsRegistered(ComponentType type) const {
    return Lookup(type) != nullptr;
}

ozy::RefPtr<Component> MsgDispatcher::Lookup(ComponentType type) const {
    std::lock_guard<std::mutex> lock(registryMutex_);
    auto it = registry_.find(type);
    return it == registry_.end() ? nullptr : it->second;
}

bool MsgDispatcher::start() {
    return Post(nullptr);
}

bool MsgDispatcher::start(WorkGroup& group) {
    return Post(&group);
}

bool MsgDispatcher::Post(WorkGroup* group) {
    {
        std::lock_guard<std::mutex> lock(runMutex_);
        if (running_) {
            CFG_ERROR("MsgDispatcher: already started");
            return false;
        }
        running_ = true;
        stopping_ = false;
    }
    WorkItemPtr item = MakeWorkItem(&MsgDispatcher::Run, this, "MsgDispatcher");
    bool posted = group != nullptr ? group->Post(item) : WorkGroups::Post(item);
    if (!posted) {
        CFG_ERROR("MsgDispatcher: failed to post the delivery loop");
        std::lock_guard<std::mutex> lock(runMutex_);
        running_ = false;
        runChanged_.notify_all();
    }
    return posted;
}

void MsgDispatcher::stop(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(runMutex_);
    stopping_ = true;
    if (queue_) {
        queue_->stop();
    }
    if (!runChanged_.wait_for(lock, timeout, [this] { return !running_; })) {
        CFG_ERROR("MsgDispatcher: delivery loop did not end within %1 ms",
                  static_cast<long long>(timeout.count()));
    }
}

void MsgDispatcher::Run() {
    CFG_INFO("MsgDispatcher: start");
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(runMutex_);
            if (stopping_) {
                break;
            }
        }
        std::optional<UpdateBatch> batch = queue_ ? queue_->get() : std::nullopt;
        if (!batch) {
            break;
        }
        {
            // A batch popped after stop() is dropped: the applications may be stopped already.
            std::lock_guard<std::mutex> lock(runMutex_);
            if (stopping_) {
                break;
            }
        }
        if (batch->part) {
            Accept(*batch);
            continue;
        }
        size_t records = 0;
        for (const auto& [type, list] : batch->first) {
            records += list.size();
        }
        const bool release = batch->second.first || records >= kReleaseAfterRecords;
        Accept(*batch);
        if (release) {
            // The records and the components' transient copies are freed together; hand the pages
            // back instead of keeping the peak resident for the process's life.
            batch.reset();
            ozy::ReleaseFreedMemory();
            releases_.fetch_add(1, std::memory_order_relaxed);
        }
    }
    CFG_INFO("MsgDispatcher: stop");
    std::lock_guard<std::mutex> lock(runMutex_);
    running_ = false;
    runChanged_.notify_all();
}

void MsgDispatcher::Accept(UpdateBatch& batch) {
    if (batch.part) {
        AcceptPart(batch);
        return;
    }
    if (batch.second.first && partsOpen_)
        EndParts(batch);
    Deliver(batch);
}

void MsgDispatcher::AcceptPart(UpdateBatch& part) {
    const uint64_t id = part.second.second;
    if (!partsOpen_ || partsOf_ != id) {
        if (partsOpen_) {
            CFG_WARN("MsgDispatcher: full sync ID %1 ended without its barrier; ID %2 starts",
                     partsOf_, id);
        }
        partsOpen_ = true;
        partsOf_ = id;
        partTakers_.clear();
        keptParts_.clear();
        keptRecords_.store(0, std::memory_order_relaxed);
    }
    for (auto& [type, records] : part.first) {
        ozy::RefPtr<Component> component = Lookup(type);
        if (!component)
            continue;
        if (!component->TakesFullSyncParts()) {
            CairnDBUpdateList& kept = keptParts_[type];
            kept.insert(kept.end(), std::make_move_iterator(records.begin()),
                        std::make_move_iterator(records.end()));
            keptRecords_.fetch_add(records.size(), std::memory_order_relaxed);
            continue;
        }
        const bool first = partTakers_.insert(type).second;
        CFG_DEBUG("MsgDispatcher: dispatching a full sync part to component %1 ID %2",
                  CompTypeToString(type), id);
        CallComponent(type, id, [&] { component->UpdateDesiredStatePart(records, first); });
        // A part is freed as soon as its component has it.
        CairnDBUpdateList().swap(records);
    }
}

void MsgDispatcher::EndParts(UpdateBatch& barrier) {
    const bool ends = partsOf_ == barrier.second.second;
    if (ends) {
        for (auto& [type, kept] : keptParts_) {
            CairnDBUpdateList& rest = barrier.first[type];
            kept.insert(kept.end(), std::make_move_iterator(rest.begin()),
                        std::make_move_iterator(rest.end()));
            rest.swap(kept);
        }
    } else {
        CFG_WARN("MsgDispatcher: full sync ID %1 ended without its barrier; ID %2 replaces it",
                 partsOf_, barrier.second.second);
        for (ComponentType type : partTakers_) {
            ozy::RefPtr<Component> component = Lookup(type);
            if (component)
                component->UpdateDesiredStatePart(CairnDBUpdateList(), true);
        }
    }
    partsOpen_ = false;
    partTakers_.clear();
    keptParts_.clear();
    keptRecords_.store(0, std::memory_order_relaxed);
}

size_t MsgDispatcher::KeptPartRecords() const {
    return keptRecords_.load(std::memory_order_relaxed);
}

void MsgDispatcher::Deliver(const UpdateBatch& batch) {
    const bool fullSync = batch.second.first;
    const uint64_t transactionId = batch.second.second;
    for (const auto& [type, records] : batch.first) {
        ozy::RefPtr<Component> component = Lookup(type);
        if (!component) {
            continue;
        }
        if (Logger::enabled(kLogDebug)) {
            auto begin = std::chrono::steady_clock::now();
            CFG_DEBUG("MsgDispatcher: dispatching object to component %1 (%2) ID %3",
                      CompTypeToString(type), fullSync ? "FullSync" : "delta update",
                      transactionId);
            if (logLatency_) {
                logLatency_->record(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now() - begin)
                                        .count());
            }
        }
        std::vector<std::string> contexts;
        for (const CairnDBUpdateMsg& r : records) {
            if (!r.traceContext().empty()) {
                contexts.push_back(r.traceContext());
            }
        }
        ozy::wft::Span span("MsgDispatcher", contexts, /*expectParent=*/false);
        CallComponent(type, transactionId,
                      [&] { component->UpdateDesiredState(records, fullSync); });
    }
    delivered_.fetch_add(1, std::memory_order_relaxed);
}

uint64_t MsgDispatcher::BatchesDelivered() const {
    return delivered_.load(std::memory_order_relaxed);
}

uint64_t MsgDispatcher::MemoryReleases() const {
    return releases_.load(std::memory_order_relaxed);
}

}  // namespace CfgAgent
