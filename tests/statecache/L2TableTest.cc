#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "statecache/L2ObjectStore.h"
#include "statecache/StateCacheL2Table.h"
#include "tests/statecache/Records.h"
#include "tests/support/LogLines.h"

namespace CfgAgent {
namespace {

using test::Id;
using test::Ip4;
using test::Ip6;
using test::Logged;
using test::Rec;
using test::Whole;

namespace pb = orvane::ozy::cairndb;

constexpr ObjectType kFib = ObjectType::LOG_SWITCH_FIB;
constexpr ObjectType kState = ObjectType::LOG_SWITCH_STATE;
constexpr L2Store kDesired = L2Store::kDesired;
constexpr PropertyType kMac = PropertyType::L2_VM_MAC;
constexpr PropertyType kVtep = PropertyType::L2_VTEP;

// An entry of object `id` of `type`.
CairnDBUpdateMsg Entry(ObjectType type, uint64_t id, PropertyType p, const std::string& body,
                       Operation op = Operation::OPERATION_UPDATE) {
    return Rec(type, Id(id), p, body, op);
}

class L2TableTest : public ::testing::Test {
  protected:
    ozy::RefPtr<StateCacheL2Table> table = ozy::MakeRef<StateCacheL2Table>();
    test::LogCapture log{kLogDebug};
    test::L2Observer obs;

    void SetUp() override {
        ASSERT_TRUE(table->RegisterDesiredStateObserver(&obs));
        ASSERT_TRUE(table->RegisterRuntimeStateObserver(&obs));
    }
    void TearDown() override {
        table->UnregisterDesiredStateObserver(&obs);
        table->UnregisterRuntimeStateObserver(&obs);
    }
    void Update(L2Store store, const CairnDBUpdateList& list, bool fullSync) {
        if (store == L2Store::kDesired) {
            table->UpdateDesiredState(list, fullSync);
        } else {
            table->UpdateRuntimeState(list, fullSync);
        }
    }
    size_t Count(L2Store store, ObjectType type, uint64_t id, PropertyType p) {
        CairnDBUpdateList out;
        table->GetProperty(store, type, Id(id), p, &out);
        return out.size();
    }
};

TEST_F(L2TableTest, UnchangedEntriesAreFilteredBeforeObservers) {
    CairnDBUpdateMsg vtep = Entry(kFib, 1, kVtep, test::Vtep(Ip4(0x0a000001), 5));
    table->UpdateDesiredState({Whole(kFib, Id(1), ""), vtep}, false);
    ASSERT_EQ(obs.desired.size(), 1u);
    EXPECT_EQ(obs.desired[0].records.size(), 2u);

    table->UpdateDesiredState({vtep}, false);  // re-sent unchanged
    EXPECT_EQ(obs.desired.size(), 1u);

    // Same key, new body: a real change, reported as the old entry's removal then the new entry.
    CairnDBUpdateMsg relabeled = Entry(kFib, 1, kVtep, test::Vtep(Ip4(0x0a000001), 6));
    CairnDBUpdateMsg mac = Entry(kFib, 1, kMac, test::Mac(0xaabbccddeeffull));
    table->UpdateDesiredState({relabeled, mac, mac}, false);
    ASSERT_EQ(obs.desired.size(), 2u);
    const auto& got = obs.desired[1].records;
    ASSERT_EQ(got.size(), 4u);  // the second mac was not stored yet when filtered
    EXPECT_EQ(got[0].op, Operation::OPERATION_DELETE);
    EXPECT_EQ(got[0].data, vtep.data);
    EXPECT_EQ(got[1], relabeled);
    EXPECT_EQ(Count(kDesired, kFib, 1, kVtep), 1u);
    L2ValueKey vtepKey;
    ASSERT_TRUE(GetL2PropertyValueKey(kVtep, relabeled.data, &vtepKey));
    std::string stored;
    ASSERT_TRUE(table->GetEntry(kDesired, kFib, Id(1), kVtep, vtepKey, &stored));
    EXPECT_EQ(stored, relabeled.data);

    // The runtime filter works the same way on the runtime store.
    CairnDBUpdateMsg local = Entry(kState, 1, kMac, test::Mac(0x1));
    table->UpdateRuntimeState({Whole(kState, Id(1), ""), local}, false);
    table->UpdateRuntimeState({local}, false);
    EXPECT_EQ(obs.runtime.size(), 1u);
    EXPECT_TRUE(
        Logged(log, {"L2Cache: Filter desired VTEP " + IdText(Id(1)) + " with filtered message",
                     "L2Cache: FilterRuntime object " + IdText(Id(1)) +
                         " label L2_VM_MAC with filtered message"}));
}

// An entry equal to the stored one is unchanged only if nothing before it in the same delta changes
// that entry or its object: the last record of a key wins, as it would one delta at a time.
TEST_F(L2TableTest, AnEntryEqualToTheStoredOneAfterAChangeInTheSameDeltaIsKept) {
    const CairnDBUpdateMsg obj = Whole(kFib, Id(1), "");
    const CairnDBUpdateMsg a = Entry(kFib, 1, kVtep, test::Vtep(Ip4(0x0a000001), 5));
    const CairnDBUpdateMsg b = Entry(kFib, 1, kVtep, test::Vtep(Ip4(0x0a000001), 6));
    const CairnDBUpdateMsg other = Entry(kFib, 1, kVtep, test::Vtep(Ip4(0x0a000002), 5));
    const CairnDBUpdateMsg otherObjectBefore =
        Entry(kFib, 2, kVtep, test::Vtep(Ip4(0x0a000001), 5));
    const CairnDBUpdateMsg otherObject = Entry(kFib, 2, kVtep, test::Vtep(Ip4(0x0a000001), 6));
    auto del = [](CairnDBUpdateMsg r) {
        r.op = Operation::OPERATION_DELETE;
        return r;
    };
    struct Case {
        const char* name;
        CairnDBUpdateList delta;
        CairnDBUpdateList seen;  // by the observers
    };
    const Case cases[] = {
        {"changed and back", {b, a}, {del(a), b, del(b), a}},
        {"removed and added again", {del(a), a}, {del(a), a}},
        {"object removed and made again", {del(obj), obj, a}, {del(obj), obj, a}},
        {"another key before it", {other, a}, {other}},
        {"the same key of another object before it",
         {otherObject, a},
         {del(otherObjectBefore), otherObject}},
        {"changed after it", {a, b}, {del(a), b}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        table = ozy::MakeRef<StateCacheL2Table>();
        obs.desired.clear();
        ASSERT_TRUE(table->RegisterDesiredStateObserver(&obs));
        table->UpdateDesiredState({obj, a, Whole(kFib, Id(2), ""), otherObjectBefore}, false);
        obs.desired.clear();
        table->UpdateDesiredState(c.delta, false);
        ASSERT_EQ(obs.desired.size(), 1u);
        EXPECT_EQ(obs.desired[0].records, c.seen);
        L2ValueKey key;
        ASSERT_TRUE(GetL2PropertyValueKey(kVtep, a.data, &key));
        std::string stored;
        ASSERT_TRUE(table->GetEntry(kDesired, kFib, Id(1), kVtep, key, &stored));
        EXPECT_EQ(stored, c.delta.back().data == b.data ? b.data : a.data);
        table->UnregisterDesiredStateObserver(&obs);
    }
}

// A runtime batch: the store changes at once, the observers hear of every change at the batch's
// end, in one list in the updates' order; a full sync first hands on what waits, and a batch that
// collects the bound of changes hands them on early.
TEST_F(L2TableTest, ARuntimeBatchHandsItsChangesOnTogetherAtItsEnd) {
    const CairnDBUpdateMsg obj = Whole(kState, Id(1), "");
    const CairnDBUpdateMsg a = Entry(kState, 1, kMac, test::Mac(0xa));
    const CairnDBUpdateMsg a2 = Entry(kState, 1, kMac, test::Mac(0xa, 0x0a000002));
    const CairnDBUpdateMsg b = Entry(kState, 1, kMac, test::Mac(0xb));
    auto del = [](CairnDBUpdateMsg r) {
        r.op = Operation::OPERATION_DELETE;
        return r;
    };
    auto stored = [&](const CairnDBUpdateMsg& r) {
        L2ValueKey key;
        std::string body;
        EXPECT_TRUE(GetL2PropertyValueKey(kMac, r.data, &key));
        return table->GetEntry(L2Store::kRuntime, kState, Id(1), kMac, key, &body) ? body
                                                                                   : "absent";
    };

    table->EndRuntimeBatch();  // none open: nothing happens
    table->BeginRuntimeBatch();
    table->BeginRuntimeBatch();  // still the one batch
    table->UpdateRuntimeState({obj, a}, false);
    EXPECT_EQ(stored(a), a.data) << "the store changes at once";
    table->UpdateRuntimeState({a}, false);  // unchanged against the store: filtered
    table->UpdateRuntimeState({a2, b}, false);
    table->UpdateRuntimeState({del(b)}, false);
    EXPECT_TRUE(obs.runtime.empty());
    EXPECT_TRUE(obs.desired.empty());
    table->UpdateDesiredState({Whole(kFib, Id(1), "")}, false);
    EXPECT_EQ(obs.desired.size(), 1u) << "the desired side is never batched";
    table->EndRuntimeBatch();
    ASSERT_EQ(obs.runtime.size(), 1u);
    EXPECT_FALSE(obs.runtime[0].fullSync);
    EXPECT_EQ(obs.runtime[0].records, (CairnDBUpdateList{obj, a, del(a), a2, b, del(b)}));
    EXPECT_EQ(stored(a), a2.data);
    EXPECT_EQ(stored(b), "absent");

    // After the end, updates reach the observers one by one again.
    table->UpdateRuntimeState({b}, false);
    ASSERT_EQ(obs.runtime.size(), 2u);
    EXPECT_EQ(obs.runtime[1].records, (CairnDBUpdateList{b}));

    // A full sync inside a batch: what waits first, then the full sync itself; the batch stays
    // open for what follows.
    obs.runtime.clear();
    table->BeginRuntimeBatch();
    table->UpdateRuntimeState({del(b)}, false);
    table->UpdateRuntimeState({obj, a}, true);
    ASSERT_EQ(obs.runtime.size(), 2u);
    EXPECT_EQ(obs.runtime[0].records, (CairnDBUpdateList{del(b)}));
    EXPECT_FALSE(obs.runtime[0].fullSync);
    EXPECT_EQ(obs.runtime[1].records, (CairnDBUpdateList{obj, del(a2), a}));
    EXPECT_TRUE(obs.runtime[1].fullSync);
    table->UpdateRuntimeState({b}, false);
    EXPECT_EQ(obs.runtime.size(), 2u);
    table->EndRuntimeBatch();
    ASSERT_EQ(obs.runtime.size(), 3u);
    EXPECT_EQ(obs.runtime[2].records, (CairnDBUpdateList{b}));

    // The bound: the update that brings the waiting changes to it hands them all on.
    obs.runtime.clear();
    table->BeginRuntimeBatch();
    CairnDBUpdateList many;
    for (uint64_t m = 0; m + 1 < StateCacheL2Table::kMaxBatchedChanges; ++m)
        many.push_back(Entry(kState, 1, kMac, test::Mac(0x100000 + m)));
    table->UpdateRuntimeState(many, false);
    EXPECT_TRUE(obs.runtime.empty()) << "one change short of the bound";
    table->UpdateRuntimeState({Entry(kState, 1, kMac, test::Mac(0x50))}, false);
    ASSERT_EQ(obs.runtime.size(), 1u);
    EXPECT_EQ(obs.runtime[0].records.size(), StateCacheL2Table::kMaxBatchedChanges);
    EXPECT_EQ(obs.runtime[0].records.back(), Entry(kState, 1, kMac, test::Mac(0x50)));
    table->UpdateRuntimeState({Entry(kState, 1, kMac, test::Mac(0x51))}, false);
    EXPECT_EQ(obs.runtime.size(), 1u) << "the batch goes on after the bound";
    table->EndRuntimeBatch();
    ASSERT_EQ(obs.runtime.size(), 2u);
    EXPECT_EQ(obs.runtime[1].records, (CairnDBUpdateList{Entry(kState, 1, kMac, test::Mac(0x51))}));
}

// A batch of many small updates (a received message each): their changes reach the observers as
// one list in the updates' order, a replaced entry's removal ahead of its new value, whatever the
// list held when each update came; records the table refuses are not in it.
TEST_F(L2TableTest, ABatchOfManyUpdatesHandsOnEveryChangeInOrder) {
    CairnDBUpdateList want{Whole(kState, Id(1), "")};
    table->BeginRuntimeBatch();
    table->UpdateRuntimeState({want[0]}, false);
    for (uint64_t round = 0; round < 2; ++round) {
        for (uint64_t m = 0; m < 300; m += 3) {
            CairnDBUpdateList update;
            for (uint64_t k = m; k < m + 3; ++k) {
                update.push_back(Entry(kState, 1, kMac, test::Mac(0x100 + k, 0x0a000001 + round)));
                if (round == 1)
                    want.push_back(Entry(kState, 1, kMac, test::Mac(0x100 + k, 0x0a000001),
                                         Operation::OPERATION_DELETE));
                want.push_back(update.back());
            }
            update.push_back(Entry(kState, 1, kMac, test::Mac(0x1), static_cast<Operation>(9)));
            table->UpdateRuntimeState(update, false);
        }
    }
    EXPECT_TRUE(obs.runtime.empty());
    table->EndRuntimeBatch();
    ASSERT_EQ(obs.runtime.size(), 1u);
    EXPECT_EQ(obs.runtime[0].records, want);
    EXPECT_TRUE(Logged(log, {{"L2Cache: unsupported operation 9", "LCP00007"}}));
}

// An observer that takes a batch's lists as they are gets one list per update that changed
// something, in their order; one that does not gets them joined (the fixture's observer above).
TEST_F(L2TableTest, ABatchHandsOnTheListsOfItsUpdates) {
    struct ListObserver : SCL2TableObserver {
        void ProcessL2RuntimeStateBatch(const std::vector<CairnDBUpdateList>& l) override {
            batches.push_back(l);
        }
        std::vector<std::vector<CairnDBUpdateList>> batches;
    } lists;
    ASSERT_TRUE(table->RegisterRuntimeStateObserver(&lists));
    const CairnDBUpdateMsg obj = Whole(kState, Id(1), "");
    const CairnDBUpdateMsg a = Entry(kState, 1, kMac, test::Mac(0xa));
    const CairnDBUpdateMsg a2 = Entry(kState, 1, kMac, test::Mac(0xa, 0x0a000002));
    const CairnDBUpdateMsg b = Entry(kState, 1, kMac, test::Mac(0xb));
    CairnDBUpdateMsg delA = a;
    delA.op = Operation::OPERATION_DELETE;
    table->BeginRuntimeBatch();
    table->UpdateRuntimeState({obj, a}, false);
    table->UpdateRuntimeState({a}, false);  // nothing changes: no list of its own
    table->UpdateRuntimeState({a2, b}, false);
    EXPECT_TRUE(lists.batches.empty());
    table->EndRuntimeBatch();
    ASSERT_EQ(lists.batches.size(), 1u);
    EXPECT_EQ(lists.batches[0], (std::vector<CairnDBUpdateList>{{obj, a}, {delA, a2, b}}));
    ASSERT_EQ(obs.runtime.size(), 1u);
    EXPECT_EQ(obs.runtime[0].records, (CairnDBUpdateList{obj, a, delA, a2, b}));

    // A batch whose updates change nothing hands nothing on.
    table->BeginRuntimeBatch();
    table->UpdateRuntimeState({b}, false);
    table->EndRuntimeBatch();
    EXPECT_EQ(lists.batches.size(), 1u);
    EXPECT_EQ(obs.runtime.size(), 1u);

    // The bound counts the changes of every list, not the lists.
    table->BeginRuntimeBatch();
    CairnDBUpdateList half;
    for (uint64_t m = 0; m < StateCacheL2Table::kMaxBatchedChanges / 2; ++m)
        half.push_back(Entry(kState, 1, kMac, test::Mac(0x100000 + m)));
    table->UpdateRuntimeState(half, false);
    for (size_t i = 0; i < half.size(); ++i)
        half[i].data = test::Mac(0x200000 + i);
    table->UpdateRuntimeState(half, false);
    ASSERT_EQ(lists.batches.size(), 2u);
    EXPECT_EQ(lists.batches[1].size(), 2u);
    EXPECT_EQ(lists.batches[1][1].back(), half.back());
    table->EndRuntimeBatch();
    EXPECT_EQ(lists.batches.size(), 2u) << "nothing waits after the bound";
    table->UnregisterRuntimeStateObserver(&lists);
}

// An update handed over whose records are all changes, in order, reaches the observers as that
// very list (a learned burst is not moved record by record); any other keeps only its changes.
TEST_F(L2TableTest, AnUpdateOfChangesOnlyIsHandedOnAsItsOwnList) {
    struct ListObserver : SCL2TableObserver {
        void ProcessL2RuntimeStateBatch(const std::vector<CairnDBUpdateList>& l) override {
            for (const CairnDBUpdateList& list : l) {
                starts.push_back(list.data());
                lists.push_back(list);
            }
        }
        std::vector<const CairnDBUpdateMsg*> starts;
        std::vector<CairnDBUpdateList> lists;
    };
    const CairnDBUpdateMsg obj = Whole(kState, Id(1), "");
    const CairnDBUpdateMsg obj2 = Whole(kState, Id(2), "");
    const CairnDBUpdateMsg a = Entry(kState, 1, kMac, test::Mac(0xa));
    const CairnDBUpdateMsg a2 = Entry(kState, 1, kMac, test::Mac(0xa, 0x0a000002));
    const CairnDBUpdateMsg b = Entry(kState, 1, kMac, test::Mac(0xb));
    const CairnDBUpdateMsg c = Entry(kState, 1, kMac, test::Mac(0xc));
    const CairnDBUpdateMsg e2 = Entry(kState, 2, kMac, test::Mac(0xe));
    const CairnDBUpdateMsg unknown = Entry(kState, 9, kMac, test::Mac(0xf));
    CairnDBUpdateMsg delA = a;
    delA.op = Operation::OPERATION_DELETE;
    struct Case {
        const char* name;
        CairnDBUpdateList update;
        CairnDBUpdateList changes;
        bool ownList;
    };
    const std::vector<Case> cases = {
        {"every record new", {b, c}, {b, c}, true},
        {"a new object with its entry", {obj2, e2}, {obj2, e2}, true},
        {"a delete and an add", {delA, b}, {delA, b}, true},
        {"an unchanged entry last", {b, a}, {b}, true},
        {"an unchanged entry first", {a, b}, {b}, false},
        {"an unchanged entry between", {b, a, c}, {b, c}, false},
        {"a known object's record first", {obj, b}, {b}, false},
        {"an entry of an unknown object first", {unknown, b}, {b}, false},
        {"a replaced entry", {b, a2}, {b, delA, a2}, false},
        {"a replaced entry first", {a2, b}, {delA, a2, b}, false},
        {"nothing changes", {a}, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto t = ozy::MakeRef<StateCacheL2Table>();
        ListObserver seen;
        ASSERT_TRUE(t->RegisterRuntimeStateObserver(&seen));
        t->UpdateRuntimeState({obj, a}, false);
        t->BeginRuntimeBatch();
        CairnDBUpdateList update = c.update;
        const CairnDBUpdateMsg* start = update.data();
        t->UpdateRuntimeState(std::move(update), false);
        t->EndRuntimeBatch();
        if (c.changes.empty()) {
            EXPECT_TRUE(seen.lists.empty());
        } else {
            ASSERT_EQ(seen.lists.size(), 1u);
            EXPECT_EQ(seen.lists[0], c.changes);
            EXPECT_EQ(seen.starts[0] == start, c.ownList);
        }
        t->UnregisterRuntimeStateObserver(&seen);
    }
}

// A batch hands on what waits early when the next update's changes start with another object
// than the waiting ones end with, once a burst of them waits (one switch's learned entries are
// done while the next switch's still arrive); fewer waiting, or the same object, keep collecting.
TEST_F(L2TableTest, ABatchHandsOnAFinishedObjectsBurstWhenAnotherObjectFollows) {
    constexpr size_t kBurst = StateCacheL2Table::kHandOffChanges;
    // `n` MAC entries of switch `id` from `first`, one update (a received message) each `per`.
    auto send = [&](uint64_t id, uint64_t first, size_t n, size_t per) {
        for (size_t at = 0; at < n; at += per) {
            CairnDBUpdateList update;
            for (size_t k = at; k < std::min(n, at + per); ++k)
                update.push_back(Entry(kState, id, kMac, test::Mac(first + k)));
            table->UpdateRuntimeState(update, false);
        }
    };
    auto records = [&] {
        std::vector<size_t> sizes;
        for (const auto& u : obs.runtime)
            sizes.push_back(u.records.size());
        return sizes;
    };
    table->UpdateRuntimeState({Whole(kState, Id(1), ""), Whole(kState, Id(2), ""),
                               Whole(kState, Id(3), ""), Whole(kState, Id(4), "")},
                              false);
    obs.runtime.clear();

    table->BeginRuntimeBatch();
    send(1, 0x1000, kBurst - 1, 100);
    send(2, 0x2000, 1, 1);  // another switch, one change short of a burst waiting: kept
    EXPECT_TRUE(obs.runtime.empty());
    send(2, 0x2001, kBurst, 100);  // the same switch: kept whatever waits
    EXPECT_TRUE(obs.runtime.empty());
    send(3, 0x3000, 10, 10);  // another switch after a burst: the waiting changes go on
    ASSERT_EQ(records(), (std::vector<size_t>{2 * kBurst}));
    EXPECT_EQ(obs.runtime[0].records.front(), Entry(kState, 1, kMac, test::Mac(0x1000)));
    EXPECT_EQ(obs.runtime[0].records.back(), Entry(kState, 2, kMac, test::Mac(0x2000 + kBurst)));
    EXPECT_FALSE(obs.runtime[0].fullSync);
    send(2, 0x2fff, 1, 1);  // another switch, but fewer than a burst wait since
    EXPECT_EQ(obs.runtime.size(), 1u);
    send(3, 0x300a, kBurst - 10, 100);
    // An update that starts with an entry of the switch the waiting ones end with is not about
    // another object, whatever follows in it.
    table->UpdateRuntimeState(
        {Entry(kState, 3, kMac, test::Mac(0x3fff)), Entry(kState, 4, kMac, test::Mac(0x4000))},
        false);
    EXPECT_EQ(obs.runtime.size(), 1u);
    send(4, 0x4001, 5, 5);  // switch 4 after an update that ended with it: kept
    EXPECT_EQ(obs.runtime.size(), 1u);
    send(1, 0x1fff, 1, 1);
    ASSERT_EQ(records(), (std::vector<size_t>{2 * kBurst, kBurst + 8}));
    EXPECT_EQ(obs.runtime[1].records.back(), Entry(kState, 4, kMac, test::Mac(0x4005)));
    table->EndRuntimeBatch();
    ASSERT_EQ(records(), (std::vector<size_t>{2 * kBurst, kBurst + 8, 1}));
    EXPECT_EQ(obs.runtime[2].records[0], Entry(kState, 1, kMac, test::Mac(0x1fff)));
    EXPECT_EQ(table->EntryCount(L2Store::kRuntime), 3 * kBurst + 9);

    // Updates alternating between switches, a few changes each: one list at the end.
    obs.runtime.clear();
    table->BeginRuntimeBatch();
    for (uint64_t m = 0; m < 40; ++m)
        send(1 + m % 2, 0x10000 + m * 10, 10, 10);
    EXPECT_TRUE(obs.runtime.empty());
    table->EndRuntimeBatch();
    EXPECT_EQ(records(), (std::vector<size_t>{400}));
}

TEST_F(L2TableTest, EntriesOfAnUnknownObjectAreIgnored) {
    table->UpdateDesiredState({Entry(kFib, 9, kMac, test::Mac(0x1))}, false);
    EXPECT_TRUE(obs.desired.empty());
    CairnDBUpdateList out;
    EXPECT_FALSE(table->GetObject(kDesired, Id(9), &out));
    EXPECT_TRUE(Logged(
        log, {"L2Cache: Ignore property update since object " + IdText(Id(9)) + " can't be found",
              "L2Cache: object " + IdText(Id(9)) + " does not exists in desired cache"}));
}

// One list whose objects come and go between their entries, and whose entries alternate between
// objects: each entry finds its own object as the list leaves it at that point, in both stores
// (the runtime one takes the list over and hands its records on).
TEST_F(L2TableTest, EachEntryOfAListFindsItsObjectAsTheListLeavesIt) {
    for (L2Store store : {L2Store::kDesired, L2Store::kRuntime}) {
        SCOPED_TRACE(store == kDesired ? "desired" : "runtime");
        const ObjectType type = store == kDesired ? kFib : kState;
        auto mac = [&](uint64_t id, uint64_t m) { return Entry(type, id, kMac, test::Mac(m)); };
        const CairnDBUpdateList list = {
            mac(1, 10),  // object 1 not there yet: ignored
            Whole(type, Id(1), ""),
            mac(1, 11),
            mac(2, 20),  // object 2 never comes: ignored
            mac(1, 12),
            Whole(type, Id(1), "", Operation::OPERATION_DELETE),
            mac(1, 13),  // object 1 gone: ignored
            Whole(type, Id(1), ""),
            mac(1, 14),
        };
        Update(store, list, false);
        const auto& calls = store == kDesired ? obs.desired : obs.runtime;
        ASSERT_EQ(calls.size(), 1u);
        const CairnDBUpdateList want = {list[1], list[2], list[4], list[5], list[7], list[8]};
        EXPECT_EQ(calls[0].records, want);
        CairnDBUpdateList out;
        ASSERT_TRUE(table->GetProperty(store, type, Id(1), kMac, &out));
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].data, test::Mac(14));
        EXPECT_FALSE(table->GetObject(store, Id(2), &out));
    }
}

TEST_F(L2TableTest, FullSyncLeavesExactlyWhatItDeliveredInBothStores) {
    for (L2Store store : {kDesired, L2Store::kRuntime}) {
        SCOPED_TRACE(store == kDesired ? "desired" : "runtime");
        ObjectType type = store == kDesired ? kFib : kState;
        CairnDBUpdateMsg mac1 = Entry(type, 1, kMac, test::Mac(0x1));
        CairnDBUpdateMsg ip = Entry(type, 1, PropertyType::L2_VM_IP, test::VmIp(Ip4(0x0a000005)));
        Update(store,
               {Whole(type, Id(1), ""), mac1, Entry(type, 1, kMac, test::Mac(0x2)), ip,
                Whole(type, Id(2), ""), Entry(type, 2, kVtep, test::Vtep(Ip4(7)))},
               true);
        EXPECT_EQ(table->FullSyncVersion(store), 1u);
        EXPECT_EQ(table->EntryCount(store), 4u);
        // Second full sync: mac2 is gone, mac1 and ip come back unchanged (filtered, but
        // confirmed), object 2 is gone.
        Update(store, {Whole(type, Id(1), ""), mac1, ip}, true);
        EXPECT_EQ(table->FullSyncVersion(store), 2u);
        EXPECT_EQ(table->EntryCount(store), 2u);
        EXPECT_EQ(Count(store, type, 1, kMac), 1u);
        EXPECT_EQ(Count(store, type, 1, PropertyType::L2_VM_IP), 1u);
        CairnDBUpdateList out;
        EXPECT_FALSE(table->GetObject(store, Id(2), &out));
        std::string body;
        EXPECT_TRUE(table->GetEntry(store, type, Id(1), kMac, uint64_t{0x1}, &body));
        EXPECT_FALSE(table->GetEntry(store, type, Id(1), kMac, uint64_t{0x2}, &body));
    }
    EXPECT_TRUE(Logged(
        log, {"L2Cache: remote l2 fullSync version is 2", "L2Cache: local l2 fullSync version is 2",
              "L2Cache: remove object: " + IdText(Id(2)) + ", objectType: LOG_SWITCH_FIB",
              "L2Cache: remove property: " + IdText(Id(1)) + " L2_VM_MAC"}));
    // Observers of a full sync run after the sweep, and always.
    ASSERT_FALSE(obs.desired.empty());
    EXPECT_TRUE(obs.desired.back().fullSync);
}

TEST_F(L2TableTest, ARepeatedFullSyncReachesObserversWhole) {
    // Observers rebuild from a full sync (the runtime one flushes the database tables and writes
    // everything again): entries it confirms unchanged are not filtered out of it.
    for (L2Store store : {kDesired, L2Store::kRuntime}) {
        SCOPED_TRACE(store == kDesired ? "desired" : "runtime");
        ObjectType type = store == kDesired ? kFib : kState;
        const auto& seen = store == kDesired ? obs.desired : obs.runtime;
        CairnDBUpdateList sync = {
            Whole(type, Id(1), ""), Entry(type, 1, kVtep, test::Vtep(Ip4(0x0a000001), 5)),
            Entry(type, 1, kMac, test::Mac(0x1)),
            Entry(type, 1, PropertyType::L2_VM_IP, test::VmIp(Ip4(0x0a000005)))};
        Update(store, sync, true);
        Update(store, sync, true);
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_TRUE(seen[1].fullSync);
        EXPECT_EQ(seen[1].records, sync);
        EXPECT_EQ(table->EntryCount(store), 3u);
        // A delta re-sending them is still filtered.
        Update(store, {sync[1], sync[2], sync[3]}, false);
        EXPECT_EQ(seen.size(), 2u);
    }
}

TEST_F(L2TableTest, KeysKeepAddressFamiliesAndIpv6HalvesApart) {
    const std::string v4 = test::Vtep(Ip4(0x0a000001));
    const std::string v6 = test::Vtep(Ip6(0, 0x0a000001));
    const std::string v6b = test::Vtep(Ip6(0x20010db8ull << 32, 0x0a000001));
    L2ValueKey k4;
    L2ValueKey k6;
    L2ValueKey k6b;
    ASSERT_TRUE(GetL2PropertyValueKey(kVtep, v4, &k4));
    ASSERT_TRUE(GetL2PropertyValueKey(kVtep, v6, &k6));
    ASSERT_TRUE(GetL2PropertyValueKey(kVtep, v6b, &k6b));
    EXPECT_EQ(k4.part[0], 0x0a000001u);
    EXPECT_EQ(k4.part[1], 4u);
    EXPECT_EQ(k6.part[0], k4.part[0]);  // equal low bits ...
    EXPECT_EQ(k6.part[1] & 7, 6u);      // ... told apart by the family
    EXPECT_NE(k6, k4);
    EXPECT_NE(k6, k6b);

    table->UpdateDesiredState({Whole(kFib, Id(1), ""), Entry(kFib, 1, kVtep, v4),
                               Entry(kFib, 1, kVtep, v6), Entry(kFib, 1, kVtep, v6b)},
                              false);
    EXPECT_EQ(Count(kDesired, kFib, 1, kVtep), 3u);
    std::string body;
    EXPECT_TRUE(table->GetEntry(kDesired, kFib, Id(1), kVtep, k6b, &body));
    EXPECT_EQ(body, v6b);

    L2ValueKey ipKey;
    ASSERT_TRUE(GetL2PropertyValueKey(PropertyType::L2_VM_IP, test::VmIp(Ip6(1, 2)), &ipKey));
    EXPECT_EQ(ipKey.part[0], 1u);
    EXPECT_EQ(ipKey.part[1], 2u);
    pb::VtepLabelMsg label;
    label.set_label(77);
    ASSERT_TRUE(GetL2PropertyValueKey(PropertyType::L2_VTEP_GROUP_LABEL, label.SerializeAsString(),
                                      &ipKey));
    EXPECT_EQ(ipKey.part[0], 77u);
    bool invalid = false;
    EXPECT_FALSE(
        GetL2PropertyValueKey(PropertyType::LS_VNI, label.SerializeAsString(), &ipKey, &invalid));
    EXPECT_TRUE(invalid);
    EXPECT_FALSE(GetL2PropertyValueKey(kMac, test::VmIp(Ip4(1)), &ipKey, &invalid));
    EXPECT_FALSE(invalid);  // a body without the key field is unusable, not an unknown property
}

// Keys are taken from parses that reuse their memory: many of every kind in a row, a bad one among
// them, each key is its own entry's.
TEST_F(L2TableTest, KeysOfManyEntriesInARowAreEachTheirOwn) {
    for (uint64_t i = 0; i < 500; ++i) {
        SCOPED_TRACE(i);
        L2ValueKey key;
        ASSERT_TRUE(GetL2PropertyValueKey(kMac, test::Mac(0x5000 + i), &key));
        EXPECT_EQ(key.part[0], 0x5000 + i);
        EXPECT_EQ(key.part[1], 0u);
        ASSERT_TRUE(
            GetL2PropertyValueKey(kVtep, test::Vtep(Ip6(0x20010db8ull << 32, 0x100 + i)), &key));
        EXPECT_EQ(key.part[0], 0x100 + i);
        EXPECT_EQ(key.part[1], ((0x20010db8ull << 32) << 3) | 6);
        ASSERT_TRUE(GetL2PropertyValueKey(PropertyType::L2_VM_IP, test::VmIp(Ip4(7 + i)), &key));
        EXPECT_EQ(key.part[0], 7 + i);
        EXPECT_FALSE(GetL2PropertyValueKey(kMac, "\x08", &key));
        EXPECT_EQ(key, L2ValueKey{});
    }
    // One update of many entries, some already stored with the same or another body: the store
    // holds each under its own key, and the observers see the changed ones only.
    table->UpdateRuntimeState({Whole(kState, Id(1), ""), Entry(kState, 1, kMac, test::Mac(3)),
                               Entry(kState, 1, kVtep, test::Vtep(Ip4(9)))},
                              false);
    obs.runtime.clear();
    CairnDBUpdateList batch;
    for (uint64_t i = 0; i < 300; ++i)
        batch.push_back(Entry(kState, 1, kMac, test::Mac(i)));
    batch.push_back(Entry(kState, 1, kVtep, test::Vtep(Ip4(9))));
    table->UpdateRuntimeState(batch, false);
    ASSERT_EQ(obs.runtime.size(), 1u);
    EXPECT_EQ(obs.runtime[0].records.size(), 299u);  // MAC 3 and the VTEP were there already
    EXPECT_EQ(Count(L2Store::kRuntime, kState, 1, kMac), 300u);
    for (uint64_t i = 0; i < 300; i += 37) {
        std::string body;
        ASSERT_TRUE(
            table->GetEntry(L2Store::kRuntime, kState, Id(1), kMac, L2ValueKey{{i, 0}}, &body));
        EXPECT_EQ(body, test::Mac(i));
    }
}

// A VM MAC entry's key is read from the bytes of a learned entry's two forms without a parse;
// bytes that differ from them in one place are parsed: every body gives the key (or the
// failure) a parse gives.
TEST(L2ValueKeyTest, AVmMacKeyIsTheMacAParseGives) {
    auto bytes = [](std::initializer_list<int> b) {
        std::string s;
        for (int c : b)
            s.push_back(static_cast<char>(c));
        return s;
    };
    const std::string v4 = bytes({0x09, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88, 0x12, 0x05,
                                  0x0d, 0x07, 0x00, 0x00, 0x0a});
    std::string v6 =
        bytes({0x09, 0xff, 0x00, 0x00, 0x56, 0x50, 0x00, 0x00, 0x00, 0x12, 0x12, 0x12, 0x10, 0xfd});
    v6.append(14, '\0');
    v6.push_back('\x02');
    auto with = [](std::string s, size_t at, int value) {
        s[at] = static_cast<char>(value);
        return s;
    };
    struct Case {
        const char* what;
        std::string body;
    } cases[] = {
        {"IPv4", v4},
        {"IPv6", v6},
        {"IPv4 at 0", test::Mac(0x0102030405060708ull, 0)},
        {"the MAC with another wire type", with(v4, 0, 0x11)},
        {"a MAC where the address goes", with(v4, 9, 0x09)},
        {"an IPv4 address too long for its length", with(v4, 10, 4)},
        {"an IPv4 address of another wire type", with(v4, 11, 0x0c)},
        {"an IPv6 address of another length", with(v6, 12, 15)},
        {"an IPv6 length given to an IPv4 address", with(v4, 10, 18)},
        {"an IPv4 length given to an IPv6 address", with(v6, 10, 5)},
        {"an IPv6 address of another field", with(v6, 11, 0x0a)},
        {"a byte more", v4 + bytes({0x18, 0x01})},
        {"a byte less", v4.substr(0, 15)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        pb::LogSwitchMacEntryMsg parsed;
        const bool parses = parsed.ParseFromString(c.body) && parsed.has_mac();
        L2ValueKey key;
        ASSERT_EQ(GetL2PropertyValueKey(kMac, c.body, &key), parses);
        EXPECT_EQ(key.part[0], parses ? parsed.mac() : 0u);
        EXPECT_EQ(key.part[1], 0u);
    }
}

TEST_F(L2TableTest, BadRecordsAreLoggedAndSkippedAlone) {
    pb::IpAddressMsg shortV6;
    shortV6.set_ipv6("abc");
    table->UpdateDesiredState(
        {Whole(kFib, Id(1), ""), Entry(kFib, 1, PropertyType::LS_VNI, test::Mac(0x1)),
         Entry(kFib, 1, kMac, std::string("\xff\xff", 2)),
         Entry(kFib, 1, kVtep, test::Vtep(shortV6)), Rec(kFib, "", kMac, test::Mac(0x3)),
         Entry(kFib, 1, kMac, test::Mac(0x4), Operation::OPERATION_ELEMENT_SET),
         Entry(kFib, 1, kMac, test::Mac(0x5))},
        false);
    EXPECT_TRUE(Logged(log, {"L2Cache: GetL2PropertyValueKeyFromString: invalid property type 10",
                             "L2Cache: received invalid object",
                             {"L2Cache: unsupported operation 3", "LCP00007"}}));
    EXPECT_EQ(log.Count("L2Cache: Object " + IdText(Id(1)) + " received invalid"), 2u);
    EXPECT_EQ(table->EntryCount(kDesired), 1u);
    ASSERT_EQ(obs.desired.size(), 1u);
    EXPECT_EQ(obs.desired[0].records.size(), 2u);  // the object and the one good MAC
}

TEST_F(L2TableTest, DeletesRemoveEntriesAndObjects) {
    CairnDBUpdateMsg mac = Entry(kFib, 1, kMac, test::Mac(0x1));
    table->UpdateDesiredState({Whole(kFib, Id(1), ""), mac}, false);
    CairnDBUpdateMsg del = Entry(kFib, 1, kMac, test::Mac(0x1), Operation::OPERATION_DELETE);
    table->UpdateDesiredState({del}, false);
    EXPECT_EQ(table->EntryCount(kDesired), 0u);
    size_t calls = obs.desired.size();
    table->UpdateDesiredState({del}, false);  // nothing to remove: no change, no call
    EXPECT_EQ(obs.desired.size(), calls);
    table->UpdateDesiredState({Whole(kFib, Id(1), "", Operation::OPERATION_DELETE)}, false);
    CairnDBUpdateList out;
    EXPECT_FALSE(table->GetObjectsOfType(kDesired, kFib, &out));
    table->UpdateDesiredState({}, false);
    EXPECT_TRUE(
        Logged(log, {"L2Cache: Object " + IdText(Id(1)) + " remove property: L2_VM_MAC",
                     "L2Cache: delete object " + IdText(Id(1)) + ", objectType: LOG_SWITCH_FIB",
                     "L2Cache: object type LOG_SWITCH_FIB does not exists in desired cache",
                     "L2Cache: UpdateL2CacheTable : empty msg"}));
}

TEST_F(L2TableTest, QueriesReturnObjectsWithEntriesInKeyOrder) {
    table->UpdateDesiredState(
        {Whole(kFib, Id(1), ""), Entry(kFib, 1, kMac, test::Mac(0x3)),
         Entry(kFib, 1, kMac, test::Mac(0x1)),
         Entry(kFib, 1, PropertyType::L2_VM_IP, test::VmIp(Ip4(9))), Whole(kFib, Id(2), "")},
        false);
    CairnDBUpdateList out;
    ASSERT_TRUE(table->GetObject(kDesired, Id(1), &out));
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].property, PropertyType::INVALID_PROPERTY);
    EXPECT_EQ(out[1].property, PropertyType::L2_VM_IP);
    EXPECT_EQ(out[2].data, test::Mac(0x1));
    EXPECT_EQ(out[3].data, test::Mac(0x3));
    out.clear();
    ASSERT_TRUE(table->GetObjectsOfType(kDesired, kFib, &out));
    EXPECT_EQ(out.size(), 5u);
    out.clear();
    EXPECT_FALSE(table->GetProperty(kDesired, kFib, Id(2), kVtep, &out));
    std::string body;
    EXPECT_FALSE(table->GetEntry(kDesired, kFib, Id(1), kMac, uint64_t{0x2}, &body));
    L2ValueKey k;
    k.part[0] = 2;
    EXPECT_FALSE(table->GetEntry(L2Store::kRuntime, kState, Id(1), kMac, k, &body));
    EXPECT_TRUE(Logged(
        log, {"L2Cache: property does not exist: objectID : " + IdText(Id(2)) + " , type: L2_VTEP",
              "L2Cache: property does not exist: objectID : " + IdText(Id(1)) +
                  " , type: L2_VM_MAC, valueKey: 2",
              "L2Cache: runtime property does not exist: objectID : " + IdText(Id(1)) +
                  " , type: L2_VM_MAC, valueKey128.part1 : 2, valueKey128.part2 : 0"}));

    auto dump = nlohmann::json::parse(table->DumpJson(kDesired));
    ASSERT_EQ(dump["objects"].size(), 2u);
    EXPECT_EQ(dump["objects"][0]["ObjectId"], IdText(Id(1)));
    const auto& props = dump["objects"][0]["properties"];
    EXPECT_EQ(props[1]["PropertyType"], "L2_VM_MAC");
    EXPECT_EQ(props[1]["entries"][0]["PropertyValue"]["mac"], "00:00:00:00:00:01");
    EXPECT_EQ(props[0]["entries"][0]["PropertyValue"]["ip"], "0.0.0.9");
    auto prop = nlohmann::json::parse(table->DumpPropertyJson(kDesired, kFib, Id(1), kMac));
    EXPECT_EQ(prop["entries"].size(), 2u);
    auto none = nlohmann::json::parse(table->DumpPropertyJson(kDesired, kFib, Id(5), kMac));
    EXPECT_TRUE(none["entries"].empty());
}

TEST_F(L2TableTest, LocalTablesAreRemovedAndSizesReported) {
    table->UpdateRuntimeState({Whole(kState, Id(1), ""), Entry(kState, 1, kMac, test::Mac(1))},
                              false);
    EXPECT_GT(table->CacheBytes(L2Store::kRuntime), 0u);
    size_t calls = obs.runtime.size();
    table->RemoveLocalForwardingTable(Id(1));
    EXPECT_EQ(table->EntryCount(L2Store::kRuntime), 0u);
    EXPECT_EQ(obs.runtime.size(), calls);
    table->CacheBytes(kDesired);
    EXPECT_TRUE(
        Logged(log, {"L2Cache: L2 runtime cache size(bytes): ",
                     "L2Cache: remove local L2 forwarding table for object " + IdText(Id(1)),
                     "L2Cache: L2 desired cache size(number): 0"}));
}

TEST_F(L2TableTest, ObserverRegistrationErrors) {
    test::L2Observer other;
    EXPECT_FALSE(table->RegisterDesiredStateObserver(&obs));
    EXPECT_FALSE(table->RegisterRuntimeStateObserver(&obs));
    EXPECT_FALSE(table->UnregisterDesiredStateObserver(&other));
    EXPECT_FALSE(table->UnregisterRuntimeStateObserver(&other));
    EXPECT_TRUE(Logged(log, {"L2Cache: register existing remote l2 cache observer",
                             "L2Cache: register existing runtime l2 cache observer",
                             "L2Cache: unregister non-existent desired state l2 observer!",
                             "L2Cache: unregister non-existent runtime state l2 observer!"}));
}

// The entries of one property: whatever the order of adds, changes and erases (keys that share
// their first slots or their marks, runs that wrap around the table's end, growth, the last entry
// moved into an erased one's place), the table holds what a sorted map given the same operations
// holds, and a copy or a move holds it too.
// Growing never moves the entries there are (a learned burst is written once): an entry stays
// where it was added, with its body, through every later add; an erase moves only the last entry.
TEST(L2EntryMapTest, EntriesStayWhereTheyWereAddedAsTheMapGrows) {
    struct Case {
        const char* name;
        uint64_t first;  // the entry watched, among the first `first` added
        uint64_t added;  // entries added in all
    };
    const std::vector<Case> cases = {
        {"the first entry", 1, 70000},
        {"the last of the first segment", 8, 5000},
        {"the first of the second segment", 9, 5000},
        {"a segment's last", 4096, 40000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sc::L2EntryMap table;
        auto keyOf = [](uint64_t n) {
            L2ValueKey key;
            key.part[0] = 0x005056000000ull + n;
            return key;
        };
        const sc::L2EntryMap::value_type* watched = nullptr;
        for (uint64_t n = 1; n <= c.added; ++n) {
            auto [it, added] = table.try_emplace(keyOf(n));
            ASSERT_TRUE(added);
            it->second.body.assign("entry " + std::to_string(n) + " of a learned burst");
            if (n == c.first)
                watched = &*it;
        }
        ASSERT_NE(watched, nullptr);
        EXPECT_EQ(&*table.find(keyOf(c.first)), watched);
        EXPECT_EQ(watched->second.body.view(),
                  "entry " + std::to_string(c.first) + " of a learned burst");
        EXPECT_LE(table.size(), table.entryCapacity());
        EXPECT_LT(table.entryCapacity(), 2 * table.size() + 16);
        // Erasing the watched entry moves the last one into its place.
        ASSERT_EQ(table.erase(keyOf(c.first)), 1u);
        if (c.first != c.added) {
            EXPECT_EQ(&*table.find(keyOf(c.added)), watched);
            EXPECT_EQ(watched->second.body.view(),
                      "entry " + std::to_string(c.added) + " of a learned burst");
        }
        size_t seen = 0;
        for (const auto& [key, e] : table) {
            EXPECT_NE(key, keyOf(c.first));
            ++seen;
        }
        EXPECT_EQ(seen, c.added - 1);
    }
}

TEST(L2EntryMapTest, HoldsWhatAMapHoldsThroughAddsAndErases) {
    const struct {
        const char* name;
        uint64_t keys;  // distinct keys drawn from
        int addShare;   // of 8 operations, adds; the rest erases
        int operations;
    } cases[] = {
        {"few keys, many erases", 12, 4, 4000},
        {"growth then shrinking", 3000, 6, 20000},
        {"erase-heavy", 500, 3, 20000},
        {"a large table, an eighth erased", 20000, 7, 60000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sc::L2EntryMap table;
        std::map<L2ValueKey, std::pair<std::string, uint32_t>> want;
        uint64_t seed = 88172645463325252ull;
        auto next = [&seed] {
            seed ^= seed << 13;
            seed ^= seed >> 7;
            seed ^= seed << 17;
            return seed;
        };
        auto same = [&] {
            ASSERT_EQ(table.size(), want.size());
            size_t seen = 0;
            for (const auto& [key, e] : table) {
                auto it = want.find(key);
                ASSERT_NE(it, want.end());
                EXPECT_EQ(e.body.view(), it->second.first);
                EXPECT_EQ(e.version, it->second.second);
                ++seen;
            }
            EXPECT_EQ(seen, want.size());
        };
        for (int op = 0; op < c.operations; ++op) {
            const uint64_t k = next() % c.keys;
            // MACs and IPv6-like keys: low bits alike, high parts apart.
            L2ValueKey key;
            key.part[0] = k % 2 ? 0x005056000000ull + k : k << 40;
            key.part[1] = k % 3 == 0 ? 4 : 0;
            if (static_cast<int>(next() % 8) < c.addShare) {
                const std::string body = "b" + std::to_string(op);
                auto [it, added] = table.try_emplace(key);
                EXPECT_EQ(added, want.count(key) == 0);
                it->second.body.assign(body);
                it->second.version = static_cast<uint32_t>(op);
                want[key] = {body, static_cast<uint32_t>(op)};
            } else {
                EXPECT_EQ(table.erase(key), want.erase(key));
            }
            auto found = table.find(key);
            EXPECT_EQ(found != table.end(), want.count(key) != 0);
            EXPECT_EQ(table.count(key), want.count(key));
            if (op % 997 == 0)
                same();
        }
        same();
        EXPECT_LE(table.size() * 8, table.capacity() * 7);
        const sc::L2EntryMap copy = table;
        sc::L2EntryMap moved = std::move(table);
        for (const sc::L2EntryMap* t : {&copy, static_cast<const sc::L2EntryMap*>(&moved)}) {
            ASSERT_EQ(t->size(), want.size());
            for (const auto& [key, value] : want) {
                auto it = t->find(key);
                ASSERT_NE(it, t->end());
                EXPECT_EQ(it->second.body.view(), value.first);
            }
        }
        EXPECT_TRUE(table.empty());
        EXPECT_EQ(table.find(L2ValueKey{}), table.end());
        moved.clear();
        EXPECT_EQ(moved.erase(L2ValueKey{}), 0u);
        EXPECT_TRUE(moved.try_emplace(L2ValueKey{}).second);
        EXPECT_EQ(moved.size(), 1u);
    }
}

}  // namespace
}  // namespace CfgAgent
