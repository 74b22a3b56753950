// Rows a client keeps as it wrote them: written again without being read, asserted by their
// columns, and forgotten when a write replaces or deletes them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/cairndb/Base64.h"
#include "platform/cairndb/OpMessages.h"
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

// The first write of the learned-MAC row u7 (five MACs from 0x1000): nothing stored before it,
// inserted as u7, and kept by the cache.
json InsertFiveMacs(RowDirectory* dir, RowCache* cache, json* reads = nullptr) {
    return WriteOnce({AppendLearnedMacs(0x1000, 5)}, dir, cache,
                     json::array({{{"rows", json::array()}}}),
                     json::array({{{"uuid", {"uuid", "u7"}}}}), reads);
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
    json ops = InsertFiveMacs(&dir, &cache, &reads);
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

// A kept row knows its lists' lengths and its last field, whatever its write did (appends, a
// removal, a put before an append), and its next write appends to its bytes; a put before an
// append is never appended to the bytes it replaced.
TEST(RowCacheTest, AKeptRowKnowsItsShape) {
    RowDirectory dir;
    RowCache cache;
    const std::string oid = UuidTextOf(Uuid(7));
    InsertFiveMacs(&dir, &cache);
    const RowCache::Row* kept = cache.Find(kState, 1, oid);
    ASSERT_NE(kept, nullptr);
    // The MAC entries (field 3, index 2) follow the id.
    EXPECT_EQ(kept->sizes, (std::vector<int>{0, 0, 5, 0}));
    EXPECT_EQ(kept->lastField, 3);
    // The shape counts against the bound.
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
    };
    const Step steps[] = {
        {"an append", {AppendLearnedMacs(0x1005, 3)}, LearnedMacsRow(0x1000, 8)},
        {"a removal", {Patch(pb::LOG_SWITCH_STATE, Uuid(7), removeOp, firstTwo)}, rest},
        {"an append after the removal", {AppendLearnedMacs(0x1008, 1)}, restAndMore},
        {"a put, then an append",
         {Put(putRow, kState), AppendLearnedMacs(0x2002, 1)},
         putAndAppended},
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
        EXPECT_EQ(kept->sizes, (std::vector<int>{0, 0, step.written.mac_entries_size(), 0}));
        EXPECT_EQ(kept->lastField, 3);
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
        InsertFiveMacs(&dir, &cache);
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
    InsertFiveMacs(&dir, &cache);
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

// A patch appending entries of one list, its body written by hand: the id, then each entry's bytes
// as given under the list's field number (3 MAC entries, 4 IP entries, 2 VTEP entries).
pb::ModifyRequestMsg RawAppend(int field, const std::vector<std::string>& entries) {
    pb::LogSwitchStateOpMsg op;
    pb::OpMsg* list = field == 2   ? op.mutable_vtep_entries()
                      : field == 3 ? op.mutable_mac_entries()
                                   : op.mutable_ip_entries();
    list->set_op(pb::APPEND);
    pb::ModifyRequestMsg r = Patch(pb::LOG_SWITCH_STATE, Uuid(7), op, LearnedMacsRow(0, 0));
    for (const std::string& e : entries) {
        std::string* body = r.mutable_patch()->mutable_body();
        body->push_back(static_cast<char>(field << 3 | 2));
        body->push_back(static_cast<char>(e.size()));
        body->append(e);
    }
    return r;
}

// A kept row takes the entries appended to its last list, or to one after it, as bytes; the
// write is byte for byte the one made after reading the row back, whatever the patches (entries
// written out of field order, appends to an earlier list, removals, other fields set), and the
// row is kept with the shape of what was written.
struct KeptAppendCase {
    const char* name;
    std::vector<pb::ModifyRequestMsg> requests;
};

TEST(RowCacheTest, AKeptRowTakesAppendsAsBytesAsARowReadBack) {
    pb::LogSwitchStateMsg withIp = LearnedMacsRow(0x1000, 5);
    withIp.add_ip_entries()->set_mac(0x3001);
    pb::LogSwitchMacEntryMsg mac;
    mac.set_mac(0x2000);
    mac.mutable_vtep_ip()->set_ipv4(0x0a000002);
    // The address before the MAC: parsed and written in field order.
    const std::string swapped = mac.vtep_ip().SerializeAsString();
    std::string outOfOrder = std::string("\x12", 1) + char(swapped.size()) + swapped;
    outOfOrder += std::string("\x09", 1) + mac.SerializeAsString().substr(1, 8);
    pb::LogSwitchIpEntryMsg ip;
    ip.set_mac(0x3000);
    ip.mutable_ip()->set_ipv4(0x0a000003);
    pb::LogSwitchVtepEntryMsg vtep;
    vtep.mutable_ip()->set_ipv4(0x0a0000fe);
    pb::LogSwitchStateOpMsg removeOp;
    removeOp.mutable_mac_entries()->set_op(pb::REMOVE);
    pb::LogSwitchStateOpMsg appendAndSet;
    appendAndSet.mutable_mac_entries()->set_op(pb::APPEND);
    appendAndSet.mutable_vtep_entries()->set_op(pb::SET);
    pb::LogSwitchStateMsg withVtep = LearnedMacsRow(0x4000, 2);
    withVtep.add_vtep_entries()->CopyFrom(vtep);
    const std::vector<KeptAppendCase> cases = {
        {"appends to the last list",
         {AppendLearnedMacs(0x1005, 3), AppendLearnedMacs(0x1008, 200)}},
        {"an entry out of field order", {RawAppend(3, {outOfOrder})}},
        {"appends to a list after the last",
         {RawAppend(4, {ip.SerializeAsString()}), RawAppend(4, {ip.SerializeAsString()})}},
        {"then to the list before it",
         {RawAppend(4, {ip.SerializeAsString()}), AppendLearnedMacs(0x1005, 2)}},
        {"appends to a list before the last", {RawAppend(2, {vtep.SerializeAsString()})}},
        {"an append, a removal, an append",
         {AppendLearnedMacs(0x1005, 2),
          Patch(pb::LOG_SWITCH_STATE, Uuid(7), removeOp, LearnedMacsRow(0x1001, 2)),
          AppendLearnedMacs(0x1007, 1)}},
        {"an append that also sets a list",
         {Patch(pb::LOG_SWITCH_STATE, Uuid(7), appendAndSet, withVtep)}},
        {"a put ending with a later list, then an append",
         {Put(withIp, kState), AppendLearnedMacs(0x1005, 2)}},
    };
    const std::string oid = UuidTextOf(Uuid(7));
    for (const KeptAppendCase& c : cases) {
        SCOPED_TRACE(c.name);
        RowDirectory dir;
        RowCache cache;
        InsertFiveMacs(&dir, &cache);
        const RowCache::Row* kept = cache.Find(kState, 1, oid);
        ASSERT_NE(kept, nullptr);
        // The same write after reading the row back.
        WritePlan fromRead;
        std::string error;
        ASSERT_TRUE(fromRead.Prepare(c.requests, &error)) << error;
        json readOps;
        json row = {{"_uuid", {"uuid", "u7"}},
                    {"oid", oid},
                    {"vdb", 1},
                    {"body", kept->bodyText},
                    {"op", kept->opText}};
        ASSERT_TRUE(
            fromRead.BuildWriteOps(json::array({{{"rows", {row}}}}), &readOps, &error, nullptr));
        json reads;
        json ops = WriteOnce(c.requests, &dir, &cache, json::array(),
                             json::array({json::object(), {{"count", 1}}}), &reads);
        EXPECT_TRUE(reads.empty()) << reads.dump();
        ASSERT_EQ(Kinds(ops), (std::vector<std::string>{"wait", "update"}));
        EXPECT_EQ(ops[1], readOps[1]);
        kept = cache.Find(kState, 1, oid);
        ASSERT_NE(kept, nullptr);
        const std::string written = Decoded(ops[1]["row"]["body"]);
        EXPECT_EQ(kept->body, written);
        EXPECT_EQ(kept->bodyText, ops[1]["row"]["body"]);
        pb::LogSwitchStateMsg parsed;
        ASSERT_TRUE(parsed.ParseFromString(written));
        EXPECT_EQ(parsed.SerializeAsString(), written);
        std::vector<int> sizes;
        ozy::cairndb::ListSizes(parsed, &sizes);
        EXPECT_EQ(kept->sizes, sizes);
        EXPECT_EQ(kept->lastField, ozy::cairndb::LastField(parsed));
    }
}

// An appended entry that does not parse fails the list at Prepare, as any malformed patch does.
TEST(RowCacheTest, AnAppendedEntryThatDoesNotParseIsRejected) {
    for (const std::string& entry : {std::string("\x0b", 1), std::string("\x12\x05\x08", 3)}) {
        WritePlan plan;
        std::string error;
        EXPECT_FALSE(plan.Prepare({AppendLearnedMacs(0x1000, 2), RawAppend(3, {entry})}, &error));
        EXPECT_NE(error.find("request 1: patch of LOG_SWITCH_STATE does not parse"),
                  std::string::npos)
            << error;
    }
}

// A row as read takes appends to its bytes only when its serialization writes them as they are:
// one stored by another writer with its fields in another order, or with a field unknown here, is
// written as its parsed form with the entries appended.
TEST(RowCacheTest, ARowReadBackIsAppendedToAsItsSerializationWritesIt) {
    const pb::LogSwitchStateMsg row = LearnedMacsRow(0x1000, 3);
    const std::string id = row.id().SerializeAsString();
    const std::string entries = row.SerializeAsString().substr(2 + id.size());
    const std::string unknown("\xa8\x01\x01", 3);  // field 21, a varint
    const struct {
        const char* name;
        std::string stored;
    } cases[] = {
        {"in field order", row.SerializeAsString()},
        {"the id last", entries + "\x0a" + char(id.size()) + id},
        {"a field unknown here", row.SerializeAsString() + unknown},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pb::LogSwitchStateMsg expected;
        ASSERT_TRUE(expected.ParseFromString(c.stored));
        expected.MergeFrom(LearnedMacsRow(0x1003, 2));
        WritePlan plan;
        std::string error;
        ASSERT_TRUE(plan.Prepare({AppendLearnedMacs(0x1003, 2)}, &error)) << error;
        json row = {{"_uuid", {"uuid", "u7"}},        {"_version", {"uuid", "v7"}},
                    {"oid", UuidTextOf(Uuid(7))},     {"vdb", 1},
                    {"body", Base64Encode(c.stored)}, {"op", ""}};
        json ops;
        ASSERT_TRUE(plan.BuildWriteOps(json::array({{{"rows", {row}}}}), &ops, &error)) << error;
        ASSERT_EQ(Kinds(ops), (std::vector<std::string>{"wait", "update"}));
        EXPECT_EQ(Decoded(ops[1]["row"]["body"]), expected.SerializeAsString());
        pb::LogSwitchStateOpMsg op;
        ASSERT_TRUE(op.ParseFromString(Decoded(ops[1]["row"]["op"])));
        ASSERT_EQ(op.mac_entries().entries_size(), 2);
        EXPECT_EQ(op.mac_entries().entries(0).index(), 3u);
    }
}

}  // namespace
}  // namespace CfgAgent::test
