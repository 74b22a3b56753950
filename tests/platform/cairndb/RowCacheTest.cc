// Rows a client keeps as it wrote them: written again without being read, asserted by their
// columns, and forgotten when a write replaces or deletes them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/cairndb/Base64.h"
#include "platform/cairndb/RowCache.h"
#include "platform/cairndb/RowDirectory.h"
#include "platform/cairndb/WritePlan.h"
#include "tests/platform/cairndb/ClientTestSupport.h"

namespace CfgAgent::test {
namespace {

using nlohmann::json;
using ozy::cairndb::Base64Decode;
using ozy::cairndb::Base64Encode;
using ozy::cairndb::RowCache;
using ozy::cairndb::RowDirectory;
using ozy::cairndb::WritePlan;

constexpr int kState = pb::LOG_SWITCH_STATE;

std::string Decoded(const json& text) {
    std::string bytes;
    EXPECT_TRUE(Base64Decode(text.get<std::string>(), &bytes));
    return bytes;
}

// One write of `requests` by a client with `dir` and `cache`: its reads answered with `read`, its
// write answered with `result`. The write transaction's operations.
json WriteOnce(const std::vector<pb::ModifyRequestMsg>& requests, RowDirectory* dir,
               RowCache* cache, const json& read, const json& result, json* reads = nullptr) {
    WritePlan plan;
    std::string error;
    EXPECT_TRUE(plan.Prepare(requests, &error)) << error;
    json r = plan.ReadOps(dir, cache);
    if (reads != nullptr)
        *reads = r;
    json ops;
    EXPECT_TRUE(plan.BuildWriteOps(read, &ops, &error, dir, cache)) << error;
    plan.Committed(result, dir, cache);
    return ops;
}

TEST(RowCacheTest, KeepsRowsWithinItsBoundAndCountsReplacedOnesOnce) {
    RowCache cache(100);
    cache.Put(kState, 1, "a", {"u", std::string(40, 'b'), "t", "o"});  // 1 + 1 + 40 + 1 + 1
    EXPECT_EQ(cache.Bytes(), 44u);
    cache.Put(kState, 1, "a", {"u", std::string(50, 'b'), "t", "o"});
    EXPECT_EQ(cache.Bytes(), 54u);
    ASSERT_NE(cache.Find(kState, 1, "a"), nullptr);
    EXPECT_EQ(cache.Find(kState, 1, "a")->body.size(), 50u);
    EXPECT_EQ(cache.Find(kState, 2, "a"), nullptr);
    EXPECT_EQ(cache.Find(pb::LOG_SWITCH_FIB, 1, "a"), nullptr);
    // One that would pass the bound is not kept; the others stay.
    cache.Put(kState, 1, "b", {"u", std::string(43, 'b'), "t", "o"});
    EXPECT_EQ(cache.Find(kState, 1, "b"), nullptr);
    cache.Put(kState, 1, "b", {"u", std::string(42, 'b'), "t", "o"});
    EXPECT_NE(cache.Find(kState, 1, "b"), nullptr);
    EXPECT_EQ(cache.Bytes(), 100u);
    // A row replaced by one too large is forgotten, not left as it was.
    cache.Put(kState, 1, "a", {"u", std::string(60, 'b'), "t", "o"});
    EXPECT_EQ(cache.Find(kState, 1, "a"), nullptr);
    EXPECT_EQ(cache.Bytes(), 46u);
    cache.Erase(kState, 1, "b");
    cache.Erase(kState, 1, "b");
    EXPECT_EQ(cache.size(), 0u);
    EXPECT_EQ(cache.Bytes(), 0u);
    cache.Put(kState, 1, "a", {"u", "x", "t", "o"});
    cache.Clear();
    EXPECT_EQ(cache.Find(kState, 1, "a"), nullptr);
    EXPECT_EQ(cache.Bytes(), 0u);
}

// A row that grows by patches is read once; later writes start from the row as written and assert
// its columns, and write byte for byte what they write after reading it back.
TEST(RowCacheTest, AGrowingRowIsWrittenFromTheKeptRowAndAssertedByItsColumns) {
    RowDirectory dir;
    RowCache cache;
    const std::string oid = UuidTextOf(Uuid(7));
    json reads;
    json ops = WriteOnce({AppendLearnedMacs(0x1000, 5)}, &dir, &cache,
                         json::array({{{"rows", json::array()}}}),
                         json::array({{{"uuid", {"uuid", "u7"}}}}), &reads);
    ASSERT_EQ(Kinds(ops), std::vector<std::string>{"insert"});
    ASSERT_EQ(reads.size(), 1u);
    const RowCache::Row* kept = cache.Find(kState, 1, oid);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->uuid, "u7");
    EXPECT_EQ(kept->body, LearnedMacsRow(0x1000, 5).SerializeAsString());
    EXPECT_EQ(kept->bodyText, ops[0]["row"]["body"]);
    EXPECT_EQ(kept->opText, ops[0]["row"]["op"]);

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const int stored = 5 + round * 3;
        const std::string keptBody =
            Base64Encode(LearnedMacsRow(0x1000, stored).SerializeAsString());
        const std::string keptOp = cache.Find(kState, 1, oid)->opText;
        // The same write after reading the row back, for comparison.
        WritePlan fromRead;
        std::string error;
        ASSERT_TRUE(fromRead.Prepare({AppendLearnedMacs(0x1000 + stored, 3)}, &error));
        json readOps;
        json row = {{"_uuid", {"uuid", "u7"}},
                    {"oid", oid},
                    {"vdb", 1},
                    {"body", keptBody},
                    {"op", keptOp}};
        ASSERT_TRUE(
            fromRead.BuildWriteOps(json::array({{{"rows", {row}}}}), &readOps, &error, nullptr));

        ops = WriteOnce({AppendLearnedMacs(0x1000 + stored, 3)}, &dir, &cache, json::array(),
                        json::array({json::object(), {{"count", 1}}}), &reads);
        EXPECT_TRUE(reads.empty()) << reads.dump();
        ASSERT_EQ(Kinds(ops), (std::vector<std::string>{"wait", "update"}));
        EXPECT_EQ(ops[0]["where"], readOps[0]["where"]);
        EXPECT_EQ(ops[0]["columns"], json::array({"body", "op"}));
        EXPECT_EQ(ops[0]["rows"], json::array({{{"body", keptBody}, {"op", keptOp}}}));
        EXPECT_EQ(ops[0]["until"], "==");
        EXPECT_EQ(ops[1], readOps[1]);
        EXPECT_EQ(Decoded(ops[1]["row"]["body"]),
                  LearnedMacsRow(0x1000, stored + 3).SerializeAsString());
        ASSERT_NE(cache.Find(kState, 1, oid), nullptr);
        EXPECT_EQ(cache.Find(kState, 1, oid)->body,
                  LearnedMacsRow(0x1000, stored + 3).SerializeAsString());
        EXPECT_EQ(cache.Find(kState, 1, oid)->opText, ops[1]["row"]["op"]);
    }
}

// A row that grew only by appends keeps its body parsed, and its next write appends to that; a
// write that removes an entry keeps the row without the parsed body (its next write parses the
// row again), and a put before an append is never appended to the parsed body it replaced.
TEST(RowCacheTest, ARowThatOnlyGrewKeepsItsBodyParsed) {
    RowDirectory dir;
    RowCache cache;
    const std::string oid = UuidTextOf(Uuid(7));
    WriteOnce({AppendLearnedMacs(0x1000, 5)}, &dir, &cache,
              json::array({{{"rows", json::array()}}}), json::array({{{"uuid", {"uuid", "u7"}}}}));
    const RowCache::Row* kept = cache.Find(kState, 1, oid);
    ASSERT_NE(kept, nullptr);
    ASSERT_NE(kept->parsed, nullptr);
    EXPECT_EQ(kept->parsed->SerializeAsString(), kept->body);
    // The parsed body's arena counts against the bound.
    EXPECT_GT(cache.Bytes(), oid.size() + kept->uuid.size() + kept->body.size() +
                                 kept->bodyText.size() + kept->opText.size());

    pb::LogSwitchStateOpMsg removeOp;
    removeOp.mutable_mac_entries()->set_op(pb::REMOVE);
    pb::LogSwitchStateMsg firstTwo = LearnedMacsRow(0x1000, 2);
    pb::LogSwitchStateMsg rest = LearnedMacsRow(0x1002, 6);
    pb::LogSwitchStateMsg restAndMore = LearnedMacsRow(0x1002, 7);
    pb::LogSwitchStateMsg putRow = LearnedMacsRow(0x2000, 2);
    pb::LogSwitchStateMsg putAndAppended = LearnedMacsRow(0x2000, 3);
    struct Step {
        const char* name;
        std::vector<pb::ModifyRequestMsg> requests;
        pb::LogSwitchStateMsg written;
        bool parsedAfter;
    };
    const Step steps[] = {
        {"an append", {AppendLearnedMacs(0x1005, 3)}, LearnedMacsRow(0x1000, 8), true},
        {"a removal", {Patch(pb::LOG_SWITCH_STATE, Uuid(7), removeOp, firstTwo)}, rest, false},
        {"an append after the removal", {AppendLearnedMacs(0x1008, 1)}, restAndMore, true},
        {"a put, then an append",
         {Put(putRow, kState), AppendLearnedMacs(0x2002, 1)},
         putAndAppended,
         true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        json ops = WriteOnce(step.requests, &dir, &cache, json::array(),
                             json::array({json::object(), {{"count", 1}}}));
        ASSERT_EQ(Kinds(ops), (std::vector<std::string>{"wait", "update"}));
        EXPECT_EQ(Decoded(ops[1]["row"]["body"]), step.written.SerializeAsString());
        kept = cache.Find(kState, 1, oid);
        ASSERT_NE(kept, nullptr);
        EXPECT_EQ(kept->body, step.written.SerializeAsString());
        EXPECT_EQ(kept->parsed != nullptr, step.parsedAfter);
        if (kept->parsed != nullptr) {
            EXPECT_EQ(kept->parsed->SerializeAsString(), kept->body);
        }
    }
}

// What a write does to the kept rows it touches, and when a table is still read.
struct KeptRowCase {
    const char* name;
    std::vector<pb::ModifyRequestMsg> requests;
    size_t reads;                    // operations of the read transaction
    std::vector<std::string> kinds;  // of the write transaction
    bool keptAfter;                  // row 7 is kept after the write
};

TEST(RowCacheTest, WritesForgetTheKeptRowsTheyReplaceOrDeleteAndReadTheRest) {
    pb::LogSwitchStateMsg other = LearnedMacsRow(0x3000, 1, 8);
    std::vector<KeptRowCase> cases = {
        {"an append", {AppendLearnedMacs(0x1005, 1)}, 0, {"wait", "update"}, true},
        {"a put", {Put(LearnedMacsRow(0x2000, 2), kState)}, 0, {"wait", "update"}, false},
        {"a delete", {Delete(kState, Uuid(7))}, 0, {"delete"}, false},
        {"a put then an append",
         {Put(LearnedMacsRow(0x2000, 2), kState), AppendLearnedMacs(0x2002, 1)},
         0,
         {"wait", "update"},
         true},
        {"nothing changed", {Put(LearnedMacsRow(0x1000, 5), kState)}, 0, {}, true},
        // Row 8 is not kept: the table, written before, is read whole (row 7 comes with it).
        {"a row not kept beside it",
         {AppendLearnedMacs(0x1005, 1), Put(other, kState)},
         1,
         {"wait", "update", "insert"},
         true},
        // A flush reads the table whole and deletes what it does not write again.
        {"a flush", {Flush(kState)}, 1, {"wait", "delete"}, false},
    };
    const std::string oid = UuidTextOf(Uuid(7));
    const json storedRow = {{"_uuid", {"uuid", "u7"}},
                            {"_version", {"uuid", "v7"}},
                            {"oid", oid},
                            {"vdb", 1},
                            {"body", Base64Encode(LearnedMacsRow(0x1000, 5).SerializeAsString())},
                            {"op", ""}};
    for (const KeptRowCase& c : cases) {
        SCOPED_TRACE(c.name);
        RowDirectory dir;
        RowCache cache;
        WriteOnce({AppendLearnedMacs(0x1000, 5)}, &dir, &cache,
                  json::array({{{"rows", json::array()}}}),
                  json::array({{{"uuid", {"uuid", "u7"}}}}));
        ASSERT_NE(cache.Find(kState, 1, oid), nullptr);
        json read = c.reads == 0 ? json::array() : json::array({{{"rows", {storedRow}}}});
        json result = json::array();
        for (size_t i = 0; i < c.kinds.size(); ++i)
            result.push_back(c.kinds[i] == "insert" ? json{{"uuid", {"uuid", "u8"}}}
                                                    : json{{"count", 1}});
        json reads;
        json ops = WriteOnce(c.requests, &dir, &cache, read, result, &reads);
        EXPECT_EQ(reads.size(), c.reads) << reads.dump();
        EXPECT_EQ(Kinds(ops), c.kinds) << ops.dump();
        EXPECT_EQ(cache.Find(kState, 1, oid) != nullptr, c.keptAfter);
        // A put is not kept: the next write of the row reads it.
        EXPECT_EQ(cache.Find(kState, 1, UuidTextOf(Uuid(8))), nullptr);
    }
}

// A plan that starts from a kept row says so (its failure may mean another writer changed the row),
// and fails to build, writing nothing, when the row is no longer kept.
TEST(RowCacheTest, APlanThatStartsFromAKeptRowSaysSoAndNeedsTheRowStillKept) {
    RowDirectory dir;
    RowCache cache;
    WriteOnce({AppendLearnedMacs(0x1000, 5)}, &dir, &cache,
              json::array({{{"rows", json::array()}}}), json::array({{{"uuid", {"uuid", "u7"}}}}));
    WritePlan plan;
    std::string error;
    ASSERT_TRUE(plan.Prepare({AppendLearnedMacs(0x1005, 1)}, &error));
    EXPECT_TRUE(plan.ReadOps(&dir, &cache).empty());
    EXPECT_TRUE(plan.UsesCache());
    cache.Clear();
    json ops;
    EXPECT_FALSE(plan.BuildWriteOps(json::array(), &ops, &error, &dir, &cache));
    EXPECT_NE(error.find("no longer kept"), std::string::npos) << error;
    // Planned again, it reads the row.
    EXPECT_EQ(plan.ReadOps(&dir, &cache).size(), 1u);
    EXPECT_FALSE(plan.UsesCache());
}

}  // namespace
}  // namespace CfgAgent::test
