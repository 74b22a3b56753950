#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "intake/MsgDispatcher.h"
#include "platform/WorkflowUtil.h"
#include "runtime/MemoryAccounts.h"
#include "runtime/Metrics.h"
#include "runtime/WorkGroup.h"
#include "tests/support/Await.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent {
namespace {

// Every delivery, in order, from every component: (component type, record ids, full sync).
struct Journal {
    struct Call {
        ComponentType type;
        std::vector<std::string> ids;
        bool fullSync;
        // A full sync's part: 1 its first part, 2 a later one (0: a batch's list).
        int part = 0;
    };
    std::mutex m;
    std::vector<Call> calls;

    void Add(ComponentType t, const CairnDBUpdateList& records, bool fullSync, int part = 0) {
        std::lock_guard<std::mutex> l(m);
        Call c{t, {}, fullSync, part};
        for (const auto& r : records)
            c.ids.push_back(r.id);
        calls.push_back(std::move(c));
    }
    size_t Size() {
        std::lock_guard<std::mutex> l(m);
        return calls.size();
    }
    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> l(m);
        return calls;
    }
};

class RecordingComponent : public ozy::RefCounted<RecordingComponent, Component> {
  public:
    RecordingComponent(ComponentType type, Journal* journal) : type_(type), journal_(journal) {}
    void UpdateDesiredState(const CairnDBUpdateList& updates, bool fullSync) override {
        journal_->Add(type_, updates, fullSync);
        if (hook)
            hook();
    }
    std::function<void()> hook;

  private:
    ComponentType type_;
    Journal* journal_;
};

// A recording component that takes a full sync's parts.
class PartTakingComponent : public ozy::RefCounted<PartTakingComponent, Component> {
  public:
    PartTakingComponent(ComponentType type, Journal* journal) : type_(type), journal_(journal) {}
    void UpdateDesiredState(const CairnDBUpdateList& updates, bool fullSync) override {
        journal_->Add(type_, updates, fullSync);
    }
    bool TakesFullSyncParts() const override { return true; }
    void UpdateDesiredStatePart(const CairnDBUpdateList& part, bool first) override {
        journal_->Add(type_, part, true, first ? 1 : 2);
    }

  private:
    ComponentType type_;
    Journal* journal_;
};

CairnDBUpdateMsg Rec(const std::string& id, const std::string& trace = "") {
    CairnDBUpdateMsg r;
    r.objType = ObjectType::LOG_SWITCH_CONFIG;
    r.id = id;
    r.SetTraceContext(trace);
    return r;
}

UpdateBatch Batch(std::initializer_list<std::pair<ComponentType, CairnDBUpdateList>> entries,
                  bool fullSync, uint64_t tid) {
    UpdateBatch b;
    for (auto& [t, l] : entries)
        b.first[t] = l;
    b.second = {fullSync, tid};
    return b;
}

// A part of the full sync of transaction `tid`.
UpdateBatch Part(std::initializer_list<std::pair<ComponentType, CairnDBUpdateList>> entries,
                 uint64_t tid) {
    UpdateBatch b = Batch(entries, true, tid);
    b.part = true;
    return b;
}

UpdateQueuePtr NewQueue() {
    return std::make_shared<UpdateQueue>(UpdateQueue::kUnbounded, true, true);
}

// A dispatcher on its own queue, the journal of its recording components, and one work thread
// for its loop.
class MsgDispatcherTest : public ::testing::Test {
  protected:
    // A recording component of `type`, registered as that type.
    ozy::RefPtr<RecordingComponent> Add(ComponentType type) {
        auto c = ozy::MakeRef<RecordingComponent>(type, &j);
        d->RegisterComponent(type, c.get());
        return c;
    }
    void Start() {
        group.StartThreads(1);
        ASSERT_TRUE(d->start(group));
    }
    void Await(uint64_t batches) {
        ASSERT_TRUE(test::AwaitTrue([&] { return d->BatchesDelivered() == batches; }));
    }
    // The loop has returned once stop() does, so the work group stops at once.
    void Stop() {
        d->stop(std::chrono::seconds(30));
        EXPECT_TRUE(group.Stop(std::chrono::seconds(30)));
    }

    Journal j;
    ozy::metrics::Registry metrics;
    UpdateQueuePtr q = NewQueue();
    ozy::RefPtr<MsgDispatcher> d = ozy::MakeRef<MsgDispatcher>(q, &metrics);
    WorkGroup group;
};

TEST_F(MsgDispatcherTest, CachesBeforeApplicationsAndDecodeOrderWithinAList) {
    // Registered in an order unrelated to the type order.
    Add(ComponentType::DFW);
    Add(ComponentType::CONFIGAPP);
    Add(ComponentType::L3CACHE);
    Add(ComponentType::CONFIGCACHE);

    d->Deliver(Batch({{ComponentType::DFW, {Rec("r1")}},
                      {ComponentType::CONFIGAPP, {Rec("a1")}},
                      {ComponentType::CONFIGCACHE, {Rec("c1"), Rec("c2"), Rec("c3")}},
                      {ComponentType::L3CACHE, {}}},
                     false, 5));
    auto calls = j.Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].type, ComponentType::CONFIGCACHE);
    EXPECT_EQ(calls[0].ids, (std::vector<std::string>{"c1", "c2", "c3"}));
    EXPECT_EQ(calls[1].type, ComponentType::L3CACHE);
    EXPECT_TRUE(calls[1].ids.empty());
    EXPECT_EQ(calls[2].type, ComponentType::DFW);
    EXPECT_EQ(calls[3].type, ComponentType::CONFIGAPP);
}

TEST_F(MsgDispatcherTest, LoopDeliversBatchesInBarrierOrderWithTheirFlagsThenStops) {
    test::LogCapture log(kLogDebug);
    Add(ComponentType::CONFIGCACHE);
    Add(ComponentType::L2APP);
    ASSERT_TRUE(q->put(
        Batch({{ComponentType::CONFIGCACHE, {Rec("full")}}, {ComponentType::L2APP, {}}}, true, 1)));
    ASSERT_TRUE(q->put(Batch({}, false, 2)));  // a delta with nothing: nobody is called
    ASSERT_TRUE(q->put(Batch({{ComponentType::L2APP, {Rec("delta")}}}, false, 3)));

    Start();
    EXPECT_FALSE(d->start(group));  // already running
    Await(3);
    auto calls = j.Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].type, ComponentType::CONFIGCACHE);
    EXPECT_TRUE(calls[0].fullSync);
    EXPECT_EQ(calls[1].type, ComponentType::L2APP);
    EXPECT_TRUE(calls[1].fullSync);
    EXPECT_TRUE(calls[1].ids.empty());
    EXPECT_EQ(calls[2].ids, std::vector<std::string>{"delta"});
    EXPECT_FALSE(calls[2].fullSync);
    EXPECT_TRUE(log.Contains("MsgDispatcher: start"));
    EXPECT_TRUE(
        log.Contains("MsgDispatcher: dispatching object to component CONFIGCACHE (FullSync) ID 1"));
    EXPECT_TRUE(
        log.Contains("MsgDispatcher: dispatching object to component L2APP (delta update) ID 3"));
    EXPECT_EQ(metrics.latency("msg_dispatcher/dispatch_log/latency")->count(), 3);

    Stop();
    EXPECT_TRUE(log.Contains("MsgDispatcher: stop"));
}

// A full sync in parts: the component that takes parts gets them at once and the rest at the
// barrier; one that takes none gets the parts' records and the rest in the barrier's one call, as
// if there had been no parts. Parts of a full sync whose barrier never came are dropped when the
// next one starts, and the part taker is started over when that one has no parts.
TEST_F(MsgDispatcherTest, FullSyncInPartsReachesEachComponentAsItTakesThem) {
    using CT = ComponentType;
    using Calls = std::vector<Journal::Call>;
    struct Case {
        const char* name;
        std::vector<UpdateBatch> batches;
        Calls expected;
    };
    const std::vector<std::string> none;
    const Case cases[] = {
        {"parts, then their barrier",
         {Part({{CT::CONFIGCACHE, {Rec("c1"), Rec("c2")}}, {CT::L2APP, {Rec("a1")}}}, 7),
          Part({{CT::CONFIGCACHE, {Rec("c3")}}, {CT::L2APP, {Rec("a2")}}}, 7),
          Batch({{CT::CONFIGCACHE, {Rec("c4")}}, {CT::L2APP, {Rec("a3")}}}, true, 7)},
         {{CT::CONFIGCACHE, {"c1", "c2"}, true, 1},
          {CT::CONFIGCACHE, {"c3"}, true, 2},
          {CT::CONFIGCACHE, {"c4"}, true, 0},
          {CT::L2APP, {"a1", "a2", "a3"}, true, 0}}},
        {"a delta between the parts and their barrier goes alone",
         {Part({{CT::L2APP, {Rec("a1")}}}, 7), Batch({{CT::L2APP, {Rec("d1")}}}, false, 7),
          Batch({{CT::L2APP, {Rec("a2")}}}, true, 7)},
         {{CT::L2APP, {"d1"}, false, 0}, {CT::L2APP, {"a1", "a2"}, true, 0}}},
        {"parts of a full sync that never ended, then a full sync without parts",
         {Part({{CT::CONFIGCACHE, {Rec("c1")}}, {CT::L2APP, {Rec("a1")}}}, 7),
          Batch({{CT::CONFIGCACHE, {Rec("n1")}}, {CT::L2APP, {Rec("m1")}}}, true, 8)},
         {{CT::CONFIGCACHE, {"c1"}, true, 1},
          {CT::CONFIGCACHE, none, true, 1},
          {CT::CONFIGCACHE, {"n1"}, true, 0},
          {CT::L2APP, {"m1"}, true, 0}}},
        {"parts of a full sync that never ended, then one in parts",
         {Part({{CT::CONFIGCACHE, {Rec("c1")}}, {CT::L2APP, {Rec("a1")}}}, 7),
          Part({{CT::CONFIGCACHE, {Rec("n1")}}, {CT::L2APP, {Rec("m1")}}}, 8),
          Batch({{CT::CONFIGCACHE, {}}, {CT::L2APP, {Rec("m2")}}}, true, 8)},
         {{CT::CONFIGCACHE, {"c1"}, true, 1},
          {CT::CONFIGCACHE, {"n1"}, true, 1},
          {CT::CONFIGCACHE, none, true, 0},
          {CT::L2APP, {"m1", "m2"}, true, 0}}},
        {"parts for a type nothing registered are dropped",
         {Part({{CT::DFW, {Rec("x1")}}, {CT::L2APP, {Rec("a1")}}}, 7),
          Batch({{CT::L2APP, {}}}, true, 7)},
         {{CT::L2APP, {"a1"}, true, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Journal journal;
        auto dispatcher = ozy::MakeRef<MsgDispatcher>(NewQueue());
        auto cache = ozy::MakeRef<PartTakingComponent>(CT::CONFIGCACHE, &journal);
        auto app = ozy::MakeRef<RecordingComponent>(CT::L2APP, &journal);
        dispatcher->RegisterComponent(CT::CONFIGCACHE, cache.get());
        dispatcher->RegisterComponent(CT::L2APP, app.get());
        for (UpdateBatch b : c.batches)
            dispatcher->Accept(b);
        Calls calls = journal.Calls();
        ASSERT_EQ(calls.size(), c.expected.size());
        for (size_t i = 0; i < calls.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(calls[i].type, c.expected[i].type);
            EXPECT_EQ(calls[i].ids, c.expected[i].ids);
            EXPECT_EQ(calls[i].fullSync, c.expected[i].fullSync);
            EXPECT_EQ(calls[i].part, c.expected[i].part);
        }
        EXPECT_EQ(dispatcher->KeptPartRecords(), 0u);
    }
}

// The loop: parts are not batches (no count, no release of memory); what it keeps for a
// component that takes none is counted until the barrier hands it over.
TEST_F(MsgDispatcherTest, LoopKeepsPartsUntilTheBarrierAndReleasesMemoryOnce) {
    auto cache = ozy::MakeRef<PartTakingComponent>(ComponentType::CONFIGCACHE, &j);
    d->RegisterComponent(ComponentType::CONFIGCACHE, cache.get());
    Add(ComponentType::L2APP);
    ASSERT_TRUE(q->put(Part(
        {{ComponentType::CONFIGCACHE, {Rec("c1")}}, {ComponentType::L2APP, {Rec("a1"), Rec("a2")}}},
        3)));
    Start();
    ASSERT_TRUE(test::AwaitTrue([&] { return j.Size() == 1; }));
    EXPECT_EQ(d->KeptPartRecords(), 2u);
    EXPECT_EQ(d->BatchesDelivered(), 0u);
    ASSERT_TRUE(
        q->put(Batch({{ComponentType::CONFIGCACHE, {}}, {ComponentType::L2APP, {}}}, true, 3)));
    Await(1);
    ASSERT_TRUE(test::AwaitTrue([&] { return d->MemoryReleases() == 1; }));
    EXPECT_EQ(d->KeptPartRecords(), 0u);
    auto calls = j.Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2].ids, (std::vector<std::string>{"a1", "a2"}));
    Stop();
}

// Keeps what it is given, like a cache: a full sync replaces everything, a delta adds.
class KeepingComponent : public ozy::RefCounted<KeepingComponent, Component> {
  public:
    void UpdateDesiredState(const CairnDBUpdateList& updates, bool fullSync) override {
        if (fullSync)
            kept.clear();
        kept.insert(kept.end(), updates.begin(), updates.end());
    }
    CairnDBUpdateList kept;
};

CairnDBUpdateList Bodies(size_t count, size_t bytes) {
    CairnDBUpdateList list(count);
    for (size_t n = 0; n < count; ++n) {
        list[n].id = std::to_string(n);
        list[n].data.assign(bytes, 'b');
    }
    return list;
}

TEST_F(MsgDispatcherTest, FreedMemoryIsHandedBackAfterFullSyncsAndLargeBatchesOnly) {
    auto cache = ozy::MakeRef<KeepingComponent>();
    d->RegisterComponent(ComponentType::CONFIGCACHE, cache.get());
    Start();
    auto run = [&](CairnDBUpdateList list, bool fullSync, uint64_t batches) {
        ASSERT_TRUE(q->put(Batch({{ComponentType::CONFIGCACHE, std::move(list)}}, fullSync, 1)));
        Await(batches);
    };
    constexpr size_t kObjects = 20000, kBytes = 300;
    const size_t before = ozy::ReadAllocatorStats().inUse;
    run(Bodies(kObjects, kBytes), true, 1);
    ASSERT_TRUE(test::AwaitTrue([&] { return d->MemoryReleases() == 1; }));
    const size_t whole = ozy::ReadAllocatorStats().inUse;
    ASSERT_GT(whole, before + kObjects * kBytes) << before << " " << whole;
    // A full sync that drops half of the objects: their memory and the batch's go back.
    run(Bodies(kObjects / 2, kBytes), true, 2);
    ASSERT_TRUE(test::AwaitTrue([&] { return d->MemoryReleases() == 2; }));
    const size_t half = ozy::ReadAllocatorStats().inUse;
    EXPECT_LT(half + kObjects / 2 * kBytes, whole) << whole << " " << half;
    // Deltas: a small one keeps the allocator as it is, one of the threshold's size does not.
    run(Bodies(10, kBytes), false, 3);
    run(Bodies(MsgDispatcher::kReleaseAfterRecords - 1, 16), false, 4);
    run(Bodies(MsgDispatcher::kReleaseAfterRecords, 16), false, 5);
    ASSERT_TRUE(test::AwaitTrue([&] { return d->MemoryReleases() == 3; }));
    EXPECT_EQ(cache->kept.size(), kObjects / 2 + 10 + 2 * MsgDispatcher::kReleaseAfterRecords - 1);
    Stop();
    EXPECT_EQ(d->MemoryReleases(), 3u);
}

TEST_F(MsgDispatcherTest, StopDuringDeliveryDropsTheBatchesStillQueued) {
    auto app = Add(ComponentType::DFW);
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    bool inside = false;
    app->hook = [&] {
        std::unique_lock<std::mutex> l(m);
        inside = true;
        cv.notify_all();
        cv.wait(l, [&] { return release; });
    };
    ASSERT_TRUE(q->put(Batch({{ComponentType::DFW, {Rec("first")}}}, false, 1)));
    ASSERT_TRUE(q->put(Batch({{ComponentType::DFW, {Rec("second")}}}, false, 2)));
    Start();
    {
        std::unique_lock<std::mutex> l(m);
        ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(30), [&] { return inside; }));
    }
    std::thread stopper([&] { d->stop(std::chrono::seconds(30)); });
    ASSERT_TRUE(test::AwaitTrue([&] { return q->stopping(); }));
    {
        std::lock_guard<std::mutex> l(m);
        release = true;
        cv.notify_all();
    }
    stopper.join();
    EXPECT_TRUE(group.Stop(std::chrono::seconds(30)));
    ASSERT_EQ(j.Size(), 1u);
    EXPECT_EQ(j.Calls()[0].ids, std::vector<std::string>{"first"});
}

TEST_F(MsgDispatcherTest, StopBeforeTheLoopRunsAndWithoutStartBothReturn) {
    auto idle = ozy::MakeRef<MsgDispatcher>(NewQueue());
    idle->stop(std::chrono::seconds(30));  // never started: nothing to wait for
    Start();
    Stop();
    EXPECT_FALSE(q->put(Batch({}, false, 1)));  // the shared queue is stopped
}

TEST_F(MsgDispatcherTest, RegistrationErrorsAreLoggedAndKeepTheFirstComponent) {
    test::LogCapture log;
    auto first = Add(ComponentType::L2APP);
    auto second = ozy::MakeRef<RecordingComponent>(ComponentType::CONFIGAPP, &j);
    EXPECT_TRUE(log.Contains("MsgDispatcher: registered component L2APP"));
    EXPECT_EQ(first->refCount(), 2u);
    d->RegisterComponent(ComponentType::L2APP, second.get());
    EXPECT_TRUE(log.Contains("MsgDispatcher: register existing component L2APP"));
    EXPECT_EQ(second->refCount(), 1u);  // not kept

    d->Deliver(Batch({{ComponentType::L2APP, {Rec("x")}}}, false, 1));
    ASSERT_EQ(j.Size(), 1u);
    EXPECT_EQ(j.Calls()[0].type, ComponentType::L2APP);  // the first one's journal entry

    d->UnregisterComponent(second.get());
    EXPECT_TRUE(log.Contains("MsgDispatcher: unregister nonexistent component"));
    d->UnregisterComponent(first.get());
    EXPECT_TRUE(log.Contains("MsgDispatcher: unregistered component: L2APP"));
    EXPECT_EQ(first->refCount(), 1u);  // reference released
    EXPECT_FALSE(d->IsRegistered(ComponentType::L2APP));
    d->Deliver(Batch({{ComponentType::L2APP, {Rec("y")}}}, false, 2));
    EXPECT_EQ(j.Size(), 1u);

    d->RegisterComponent(ComponentType::TF, nullptr);
    EXPECT_FALSE(d->IsRegistered(ComponentType::TF));
}

TEST_F(MsgDispatcherTest,
       UnregisteredTypesAreDroppedSilentlyAndAFailingComponentDoesNotStopOthers) {
    test::LogCapture log;
    Add(ComponentType::CONFIGCACHE)->hook = [] { throw std::runtime_error("boom"); };
    Add(ComponentType::IDS);
    log.Clear();
    d->Deliver(Batch({{ComponentType::CONFIGCACHE, {Rec("c")}},
                      {ComponentType::DFW, {Rec("nobody")}},
                      {ComponentType::IDS, {Rec("i")}}},
                     false, 9));
    auto calls = j.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].type, ComponentType::IDS);
    EXPECT_TRUE(log.Contains("MsgDispatcher: component CONFIGCACHE failed on transaction 9: boom"));
    for (const auto& e : log.Entries()) {
        EXPECT_EQ(e.message.find("DFW"), std::string::npos) << e.message;
    }
}

TEST_F(MsgDispatcherTest, OneSpanPerComponentLinkedToTheRecordsTraceContexts) {
    Add(ComponentType::CONFIGCACHE);
    auto stat = [](const std::string& name) {
        for (const auto& [n, v] : ozy::wft::WorkflowUtil::Stats()) {
            if (n == name)
                return v;
        }
        return int64_t{-1};
    };
    int64_t children = stat("ChildSpan_Total_Req");
    int64_t batches = stat("ChildSpan_Batch_Span");
    int64_t noParent = stat("ChildSpan_No_Parent_Err");
    d->Deliver(Batch({{ComponentType::CONFIGCACHE, {Rec("a", "ctx1"), Rec("b"), Rec("c", "ctx2")}}},
                     false, 1));
    EXPECT_EQ(stat("ChildSpan_Total_Req"), children + 1);
    EXPECT_EQ(stat("ChildSpan_Batch_Span"), batches + 1);  // linked to both contexts
    d->Deliver(Batch({{ComponentType::CONFIGCACHE, {Rec("d")}}}, false, 2));
    EXPECT_EQ(stat("ChildSpan_No_Parent_Err"), noParent);  // records without context are normal
}

}  // namespace
}  // namespace CfgAgent
