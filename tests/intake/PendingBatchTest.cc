// The pending batch: the lists it hands over are those Decoder::File builds (order, copies, empty
// entries), in chunks while filed and with room for exactly their records when taken.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "intake/Decoder.h"
#include "intake/PendingBatch.h"

namespace CfgAgent::test {
namespace {

using CT = ComponentType;
constexpr size_t kChunk = PendingBatch::kChunkRecords;

constexpr CT kCache[] = {CT::CONFIGCACHE};
constexpr CT kCacheAndApp[] = {CT::CONFIGCACHE, CT::CONFIGAPP};
constexpr CT kSix[] = {CT::CONFIGCACHE, CT::L2CACHE, CT::CONFIGAPP, CT::L2APP, CT::DFW, CT::LB};
constexpr CT kWithNone[] = {CT::NONE, CT::TF};

struct Group {
    const CT* components;
    size_t count;
    size_t records;
};

// The decoded result of one update: its groups, record k of the update numbered `next`++ (the
// id says which, the data is long enough to live on the heap, so that a moved-from copy shows).
DecodeResult Decoded(const std::vector<Group>& groups, size_t* next) {
    DecodeResult r;
    for (const Group& g : groups) {
        CairnDBUpdateList& list = r.AddGroup(g.components, g.count);
        for (size_t i = 0; i < g.records; ++i) {
            CairnDBUpdateMsg m;
            m.objType = ObjectType::LOG_SWITCH_PORT_CONFIG;
            m.id = "record-" + std::to_string((*next)++);
            m.data = m.id + std::string(40, 'b');
            list.push_back(std::move(m));
        }
    }
    return r;
}

TEST(PendingBatch, TakesTheListsDecoderFileBuilds) {
    struct Case {
        const char* name;
        std::vector<Group> update;  // the groups of each update
        size_t updates;
    };
    const Case cases[] = {
        {"one delta", {{kCache, 1, 18}}, 1},
        {"ports across chunks", {{kCache, 1, 18}}, 1000},
        {"copies to six components", {{kSix, 6, 1}}, 3},
        {"two groups", {{kCache, 1, 3}, {kCacheAndApp, 2, 2}}, 2500},
        {"a component of no value", {{kWithNone, 2, 4}}, 2},
        {"a group without records", {{kCacheAndApp, 2, 0}}, 1},
        {"a group larger than a chunk", {{kCache, 1, kChunk + 7}}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        size_t a = 0;
        size_t b = 0;
        ComponentUpdateMap expected;
        PendingBatch pending;
        for (size_t u = 0; u < c.updates; ++u) {
            DecodeResult forFile = Decoded(c.update, &a);
            Decoder::File(forFile, expected);
            DecodeResult forBatch = Decoded(c.update, &b);
            pending.File(forBatch);
            EXPECT_EQ(forBatch.RecordCount(), 0u);
        }
        size_t records = 0;
        for (const auto& [comp, list] : expected)
            records += list.size();
        EXPECT_EQ(pending.RecordCount(), records);
        ComponentUpdateMap taken = pending.Take();
        EXPECT_EQ(taken, expected);
        EXPECT_EQ(taken.count(CT::NONE), 0u);  // both walk the same routing: not compared alone
        for (const auto& [comp, list] : taken) {
            SCOPED_TRACE(CompTypeToString(comp));
            EXPECT_EQ(list.capacity(), list.size());
        }
        EXPECT_TRUE(pending.Empty());
        EXPECT_EQ(pending.RecordCount(), 0u);
        EXPECT_TRUE(pending.Take().empty());
    }
}

// A full sync's list is held in chunks of at most kChunkRecords while it is decoded: (records of
// each update, updates) -> chunks.
TEST(PendingBatch, HoldsALongListInChunks) {
    struct Case {
        size_t perUpdate, updates, chunks;
    };
    const size_t perChunk = kChunk / 18 * 18;  // whole ports of 18 records
    const Case cases[] = {
        {18, 1, 1},
        {18, kChunk / 18, 1},
        {18, kChunk / 18 + 1, 2},
        {18, 3 * (perChunk / 18) + 2, 4},
        {1, 2 * kChunk, 2},
        {1, 2 * kChunk + 1, 3},
        {kChunk + 1, 2, 2},  // a larger group takes a chunk of its own
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.perUpdate) + " x " + std::to_string(c.updates));
        PendingBatch pending;
        size_t next = 0;
        for (size_t u = 0; u < c.updates; ++u) {
            DecodeResult r = Decoded({{kCache, 1, c.perUpdate}}, &next);
            pending.File(r);
        }
        EXPECT_EQ(pending.ChunkCount(CT::CONFIGCACHE), c.chunks);
        EXPECT_EQ(pending.ChunkCount(CT::CONFIGAPP), 0u);
        ComponentUpdateMap taken = pending.Take();
        ASSERT_EQ(taken.size(), 1u);
        const CairnDBUpdateList& list = taken[CT::CONFIGCACHE];
        ASSERT_EQ(list.size(), c.perUpdate * c.updates);
        EXPECT_EQ(list.capacity(), list.size());
        for (size_t i = 0; i < list.size(); i += 997) {
            EXPECT_EQ(list[i].id, "record-" + std::to_string(i));
        }
        EXPECT_EQ(list.back().id, "record-" + std::to_string(list.size() - 1));
        EXPECT_EQ(pending.ChunkCount(CT::CONFIGCACHE), 0u);
    }
}

// Add and Touch make entries as AddUpdatesToBatch and the full sync's touch of every component do.
TEST(PendingBatch, AddAndTouchMakeEntriesAsTheBatchDoes) {
    CairnDBUpdateMsg one;
    one.objType = ObjectType::HOST_SWITCH_SMARTNIC_BACKING;
    one.id = "backing";
    ComponentUpdateMap expected;
    PendingBatch pending;
    for (CT comp : {CT::L2APP, CT::NONE}) {
        AddUpdatesToBatch(expected, CairnDBUpdateList{one}, comp);
        pending.Add(comp, CairnDBUpdateList{one});
        AddUpdatesToBatch(expected, CairnDBUpdateList{}, CT::DFW);
        pending.Add(CT::DFW, CairnDBUpdateList{});
    }
    expected[CT::BFD];
    pending.Touch(CT::BFD);
    size_t next = 0;
    DecodeResult r = Decoded({{kCache, 1, 2}}, &next);
    DecodeResult copy = r;
    Decoder::File(copy, expected);
    pending.File(r);
    EXPECT_EQ(pending.RecordCount(), 3u);
    ComponentUpdateMap taken = pending.Take();
    EXPECT_EQ(taken, expected);
    EXPECT_EQ(taken.count(CT::NONE), 0u);
    EXPECT_TRUE(taken.at(CT::BFD).empty());
    EXPECT_TRUE(taken.at(CT::DFW).empty());
}

// TakeLane takes one component's records so far (a full sync's part) and leaves the others and
// the lane's entry: the parts and the last Take together are the one Take of the same filing.
TEST(PendingBatch, LaneTakenInPartsJoinsToTheWholeTake) {
    struct Case {
        const char* name;
        size_t perUpdate, updates, takeEvery;
    };
    const Case cases[] = {
        {"ports, parts of whole chunks", 18, 2000, 4 * kChunk},
        {"ports, parts inside a chunk", 18, 300, 1000},
        {"a part of one update", 18, 5, 1},
        {"no part reached", 18, 10, 100000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        size_t a = 0;
        size_t b = 0;
        PendingBatch whole;
        PendingBatch parted;
        CairnDBUpdateList joined;
        size_t parts = 0;
        for (size_t u = 0; u < c.updates; ++u) {
            DecodeResult r = Decoded({{kCache, 1, c.perUpdate}, {kCacheAndApp, 2, 1}}, &a);
            whole.File(r);
            DecodeResult p = Decoded({{kCache, 1, c.perUpdate}, {kCacheAndApp, 2, 1}}, &b);
            parted.File(p);
            if (parted.LaneRecords(CT::CONFIGCACHE) >= c.takeEvery) {
                const size_t before = parted.LaneRecords(CT::CONFIGAPP);
                CairnDBUpdateList part = parted.TakeLane(CT::CONFIGCACHE);
                EXPECT_EQ(part.capacity(), part.size());
                EXPECT_EQ(parted.LaneRecords(CT::CONFIGCACHE), 0u);
                EXPECT_EQ(parted.ChunkCount(CT::CONFIGCACHE), 0u);
                EXPECT_EQ(parted.LaneRecords(CT::CONFIGAPP), before);
                joined.insert(joined.end(), part.begin(), part.end());
                ++parts;
            }
        }
        ComponentUpdateMap expected = whole.Take();
        ComponentUpdateMap rest = parted.Take();
        ASSERT_EQ(rest.count(CT::CONFIGCACHE), 1u);  // the entry stays, even emptied
        joined.insert(joined.end(), rest[CT::CONFIGCACHE].begin(), rest[CT::CONFIGCACHE].end());
        rest[CT::CONFIGCACHE] = joined;
        EXPECT_EQ(rest, expected);
        EXPECT_EQ(parts > 0, c.takeEvery <= c.perUpdate * c.updates + c.updates);
    }
    PendingBatch none;
    EXPECT_TRUE(none.TakeLane(CT::L2CACHE).empty());
    EXPECT_EQ(none.LaneRecords(CT::L2CACHE), 0u);
}

}  // namespace
}  // namespace CfgAgent::test
