// Turning modify-request lists into a read and a write transaction.
#include <gtest/gtest.h>

#include <algorithm>
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
using ozy::cairndb::RowDirectory;
using ozy::cairndb::WritePlan;

constexpr int kLs = pb::LOG_SWITCH_CONFIG;
constexpr int kFib = pb::LOG_SWITCH_FIB;

json Stored(const std::string& uuid, const google::protobuf::Message& body,
            const std::string& oid) {
    return {{"_uuid", {"uuid", uuid}},
            {"oid", oid},
            {"vdb", 1},
            {"body", Base64Encode(body.SerializeAsString())},
            {"op", ""}};
}

json WhereUuidJson(const std::string& uuid) {
    return json::array({json::array({"_uuid", "==", json::array({"uuid", uuid})})});
}

TEST(WritePlanTest, MalformedRequestsRejectTheWholeList) {
    WritePlan plan;
    std::string error;
    EXPECT_FALSE(plan.Prepare({Put(Switch(1, 1), kLs, 0)}, &error));
    EXPECT_NE(error.find("vdb 0 out of range"), std::string::npos) << error;
    EXPECT_FALSE(plan.Prepare({Put(Switch(1, 1), kLs), Put(Switch(1, 1), 7)}, &error));
    EXPECT_NE(error.find("request 1: unknown object type 7"), std::string::npos) << error;
    pb::LogSwitchConfigMsg noId;
    noId.set_vni(1);
    EXPECT_FALSE(plan.Prepare({Put(noId, kLs)}, &error));
    EXPECT_NE(error.find("has no id"), std::string::npos) << error;
    pb::ModifyRequestMsg empty;
    empty.set_vdb(1);
    EXPECT_FALSE(plan.Prepare({empty}, &error));
    auto badPatch = Patch(kLs, Uuid(1), pb::LogSwitchConfigOpMsg(), Switch(1, 1));
    badPatch.mutable_patch()->set_op("\x0a\xff");
    EXPECT_FALSE(plan.Prepare({badPatch}, &error));
    EXPECT_NE(error.find("does not parse"), std::string::npos) << error;
}

// A write whose reply was lost: reading its rows back tells whether it landed.
TEST(WritePlanTest, TheIntentOfAWriteTellsWhetherItLanded) {
    WritePlan plan;
    std::string error;
    pb::LogSwitchFibOpMsg append;
    append.mutable_mac_entries()->set_op(pb::APPEND);
    // Switch 1 is modified by an append, switch 2 deleted, switch 3 inserted.
    ASSERT_TRUE(plan.Prepare({Patch(kFib, Uuid(1), append, SwitchFib(1, {9})),
                              Delete(kFib, Uuid(2)), Put(SwitchFib(3, {3}), kFib)},
                             &error))
        << error;
    json read = json::array();
    read.push_back({{"rows", json::array({Stored("u1", SwitchFib(1, {1}), UuidTextOf(Uuid(1)))})}});
    read.push_back({{"rows", json::array({Stored("u2", SwitchFib(2, {2}), UuidTextOf(Uuid(2)))})}});
    read.push_back({{"rows", json::array()}});
    ASSERT_EQ(plan.ReadOps().size(), read.size());
    json ops;
    ASSERT_TRUE(plan.BuildWriteOps(read, &ops, &error)) << error;
    const auto& intent = plan.intent();
    json back = intent.ReadOps();
    ASSERT_EQ(back.size(), 3u);
    for (const auto& op : back) {
        EXPECT_EQ(op["op"], "select");
        EXPECT_EQ(op["where"][0][0], "oid");
    }
    // Every row as the write left it (the op columns as it wrote them).
    auto row = [&](const google::protobuf::Message& body) {
        json r = {{"body", Base64Encode(body.SerializeAsString())}, {"op", ""}, {"trace", ""}};
        for (const auto& o : ops) {
            if (o["op"] == "update" || o["op"] == "insert") {
                if (o["row"]["body"] == r["body"]) {
                    r["op"] = o["row"]["op"];
                    r["trace"] = o["row"]["trace"];
                }
            }
        }
        return json{{"rows", json::array({r})}};
    };
    json landed = json::array(
        {row(SwitchFib(1, {1, 9})), json{{"rows", json::array()}}, row(SwitchFib(3, {3}))});
    EXPECT_TRUE(intent.Landed(landed)) << landed.dump();
    // Before the write: the old body, the deleted row still there, the new one absent.
    json before = landed;
    before[0] = row(SwitchFib(1, {1}));
    EXPECT_FALSE(intent.Landed(before));
    before = landed;
    before[1] = row(SwitchFib(2, {2}));
    EXPECT_FALSE(intent.Landed(before));
    before = landed;
    before[2] = json{{"rows", json::array()}};
    EXPECT_FALSE(intent.Landed(before));
    // The new row there, but with another body.
    before = landed;
    before[2] = row(SwitchFib(3, {4}));
    EXPECT_FALSE(intent.Landed(before));
    // Landed, then changed again by someone else: not this write's result.
    before = landed;
    before[0]["rows"][0]["op"] = "other";
    EXPECT_FALSE(intent.Landed(before));
    EXPECT_FALSE(intent.Landed(json::array()));
    EXPECT_FALSE(intent.Landed(json::array({1, 2, 3})));

    // A copy taken before the write committed (as the client keeps one when the reply is lost)
    // still tells; the plan's own is cleared, and the patched row is kept as written.
    const ozy::cairndb::WriteIntent copy = intent;
    json result = json::array();
    for (const auto& o : ops)
        result.push_back(o["op"] == "insert" ? json{{"uuid", {"uuid", "u3"}}} : json::object());
    ozy::cairndb::RowCache cache;
    plan.Committed(result, nullptr, &cache);
    EXPECT_TRUE(plan.intent().empty());
    EXPECT_TRUE(copy.Landed(landed));
    EXPECT_FALSE(copy.Landed(before));
    const ozy::cairndb::RowCache::Row* kept = cache.Find(kFib, 1, UuidTextOf(Uuid(1)));
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->bodyText, landed[0]["rows"][0]["body"]);
    EXPECT_EQ(kept->opText, landed[0]["rows"][0]["op"]);
}

TEST(WritePlanTest, ReadsEachTouchedRowOnceAndFlushedTablesWhole) {
    WritePlan plan;
    std::string error;
    ASSERT_TRUE(plan.Prepare(
        {Put(Switch(1, 1), kLs), Put(Switch(1, 2), kLs), Delete(kLs, Uuid(2)), Flush(kFib, 3)},
        &error))
        << error;
    json reads = plan.ReadOps();
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[0]["table"], "LOG_SWITCH_FIB");
    EXPECT_EQ(reads[0]["where"], json::parse(R"([["vdb","==",3]])"));
    EXPECT_EQ(reads[1]["where"][0][2], UuidTextOf(Uuid(1)));
    EXPECT_EQ(reads[2]["where"][0][2], UuidTextOf(Uuid(2)));
}

TEST(WritePlanTest, FlushThenPutUpdatesInPlaceAndDeletesTheRest) {
    WritePlan plan;
    std::string error;
    auto a = Switch(1, 1);
    auto b = Switch(2, 2);
    auto a2 = Switch(1, 9);
    ASSERT_TRUE(plan.Prepare({Flush(kLs), Put(a2, kLs)}, &error));
    json read = json::array(
        {{{"rows", {Stored("u-a", a, UuidTextOf(a.id())), Stored("u-b", b, UuidTextOf(b.id()))}}}});
    json ops;
    ASSERT_TRUE(plan.BuildWriteOps(read, &ops, &error)) << error;
    EXPECT_EQ(Kinds(ops), (std::vector<std::string>{"wait", "wait", "update", "delete"}));
    EXPECT_EQ(ops[0]["rows"].size(), 2u);  // the flush asserts the rows it saw
    EXPECT_EQ(ops[2]["where"][0][2][1], "u-a");
    EXPECT_EQ(ops[2]["row"]["body"], Base64Encode(a2.SerializeAsString()));
    EXPECT_EQ(ops[2]["row"]["op"], "");
    EXPECT_EQ(ops[3]["where"][0][2][1], "u-b");
}

// A row read with its version is asserted by that version alone (its body, however large, is not
// sent back); one read without (an older server) by its body and op as read.
TEST(WritePlanTest, TheWriteAssertsTheVersionReadOrElseTheColumns) {
    pb::LogSwitchFibOpMsg append;
    append.mutable_mac_entries()->set_op(pb::APPEND);
    const auto stored = SwitchFib(1, {4});
    for (const bool versioned : {true, false}) {
        WritePlan plan;
        std::string error;
        ASSERT_TRUE(plan.Prepare({Patch(kFib, Uuid(1), append, SwitchFib(1, {5}))}, &error));
        EXPECT_EQ(plan.ReadOps()[0]["columns"],
                  json::array({"_uuid", "_version", "oid", "vdb", "body", "op"}));
        json row = Stored("u1", stored, UuidTextOf(Uuid(1)));
        if (versioned)
            row["_version"] = {"uuid", "v7"};
        json ops;
        ASSERT_TRUE(plan.BuildWriteOps(json::array({{{"rows", {row}}}}), &ops, &error)) << error;
        ASSERT_EQ(Kinds(ops), (std::vector<std::string>{"wait", "update"}));
        EXPECT_EQ(ops[0]["where"], WhereUuidJson("u1"));
        if (versioned) {
            EXPECT_EQ(ops[0]["columns"], json::array({"_version"}));
            EXPECT_EQ(ops[0]["rows"], json::array({{{"_version", {"uuid", "v7"}}}}));
        } else {
            EXPECT_EQ(ops[0]["columns"], json::array({"body", "op"}));
            EXPECT_EQ(
                ops[0]["rows"],
                json::array({{{"body", Base64Encode(stored.SerializeAsString())}, {"op", ""}}}));
        }
    }
}

// With `texts`, the long column texts are referred to, not copied: the operations are those built
// without, each stand-in in place of its text, and only texts of at least kSharedTextBytes stand
// in.
json InPlace(const json& v, const ozy::cairndb::SplicedTexts& texts) {
    if (v.is_binary())
        return *texts.at(v.get_binary().subtype());
    if (v.is_array() || v.is_object()) {
        json out = v;
        for (auto it = out.begin(); it != out.end(); ++it)
            *it = InPlace(*it, texts);
        return out;
    }
    return v;
}

TEST(WritePlanTest, LongColumnTextsAreReferredToNotCopied) {
    struct Case {
        const char* name;
        std::vector<pb::ModifyRequestMsg> requests;
        json read;
        size_t texts;  // texts referred to
    };
    const json bigStored = Stored("u1", LearnedMacsRow(0x9000, 400, 7), UuidTextOf(Uuid(7)));
    json bigVersioned = bigStored;
    bigVersioned["_version"] = {"uuid", "v3"};
    const std::vector<Case> cases = {
        {"a long row inserted",
         {Put(LearnedMacsRow(0x1000, 400, 7), pb::LOG_SWITCH_STATE)},
         json::array({{{"rows", json::array()}}}),
         1},
        {"a short row inserted",
         {Put(LearnedMacsRow(0x1000, 3, 7), pb::LOG_SWITCH_STATE)},
         json::array({{{"rows", json::array()}}}),
         0},
        {"a long row grown, asserted by its columns (body, op)",
         {AppendLearnedMacs(0x1000, 2000, 7)},
         json::array({{{"rows", {bigStored}}}}),
         3},
        {"a long row grown, asserted by its version",
         {AppendLearnedMacs(0x1000, 2000, 7)},
         json::array({{{"rows", {bigVersioned}}}}),
         2},
        {"a short row grown a little",
         {AppendLearnedMacs(0x1000, 3, 7)},
         json::array(
             {{{"rows", {Stored("u1", LearnedMacsRow(0x9000, 2, 7), UuidTextOf(Uuid(7)))}}}}),
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WritePlan copied;
        WritePlan referred;
        std::string error;
        ASSERT_TRUE(copied.Prepare(c.requests, &error)) << error;
        ASSERT_TRUE(referred.Prepare(c.requests, &error)) << error;
        json plainOps;
        json ops;
        ozy::cairndb::SplicedTexts texts;
        ASSERT_TRUE(copied.BuildWriteOps(c.read, &plainOps, &error)) << error;
        ASSERT_TRUE(referred.BuildWriteOps(c.read, &ops, &error, nullptr, nullptr, &texts))
            << error;
        EXPECT_EQ(texts.size(), c.texts);
        for (const auto& t : texts)
            EXPECT_GE(t->size(), ozy::cairndb::kSharedTextBytes);
        EXPECT_EQ(InPlace(ops, texts), plainOps);
        EXPECT_EQ(copied.intent().ReadOps(), referred.intent().ReadOps());
    }
}

TEST(WritePlanTest, PatchesCreateAbsentObjectsAndListPatchesStoreTheirOp) {
    WritePlan plan;
    std::string error;
    pb::LogSwitchFibOpMsg append;
    append.mutable_mac_entries()->set_op(pb::APPEND);
    ASSERT_TRUE(plan.Prepare({Patch(kFib, Uuid(1), append, SwitchFib(1, {5})),
                              Patch(kFib, Uuid(2), append, SwitchFib(2, {6}))},
                             &error));
    auto existing = SwitchFib(1, {4});
    json read = json::array(
        {{{"rows", {Stored("u1", existing, UuidTextOf(Uuid(1)))}}}, {{"rows", json::array()}}});
    json ops;
    ASSERT_TRUE(plan.BuildWriteOps(read, &ops, &error)) << error;
    ASSERT_EQ(Kinds(ops), (std::vector<std::string>{"wait", "update", "insert"}));
    std::string bytes;
    ASSERT_TRUE(Base64Decode(ops[1]["row"]["op"].get<std::string>(), &bytes));
    pb::LogSwitchFibOpMsg op;
    ASSERT_TRUE(op.ParseFromString(bytes));
    ASSERT_EQ(op.mac_entries().entries_size(), 1);
    EXPECT_EQ(op.mac_entries().entries(0).index(), 1u);
    ASSERT_TRUE(Base64Decode(ops[2]["row"]["body"].get<std::string>(), &bytes));
    pb::LogSwitchFibMsg created;
    ASSERT_TRUE(created.ParseFromString(bytes));
    EXPECT_EQ(created.id().right(), 2u);
    EXPECT_EQ(created.mac_entries_size(), 1);
    EXPECT_EQ(ops[2]["row"]["oid"], UuidTextOf(Uuid(2)));
}

TEST(WritePlanTest, UnchangedObjectsWriteNothingAndBadReadsFail) {
    WritePlan plan;
    std::string error;
    auto a = Switch(1, 1);
    ASSERT_TRUE(plan.Prepare({Put(a, kLs)}, &error));
    json ops;
    ASSERT_TRUE(plan.BuildWriteOps(json::array({{{"rows", {Stored("u", a, UuidTextOf(a.id()))}}}}),
                                   &ops, &error));
    EXPECT_TRUE(ops.empty());
    EXPECT_FALSE(plan.BuildWriteOps(json::array(), &ops, &error));
    EXPECT_FALSE(plan.BuildWriteOps(json::array({{{"error", "boom"}}}), &ops, &error));
    EXPECT_NE(error.find("boom"), std::string::npos);
    EXPECT_FALSE(plan.BuildWriteOps(json::array({{{"rows", {{{"oid", 1}}}}}}), &ops, &error));
}

// The op message stored with a row changed by list patches names the entries that changed,
// whether the patches only appended (derived from the lengths as read) or did more (derived from
// the bodies): "a<index>" APPEND, "r<old index>" REMOVE.
struct StoredOpCase {
    const char* name;
    std::vector<pb::ModifyRequestMsg> requests;
    std::vector<std::string> entries;
};

TEST(WritePlanTest, TheStoredOpNamesTheChangedEntries) {
    pb::LogSwitchFibOpMsg append;
    append.mutable_mac_entries()->set_op(pb::APPEND);
    pb::LogSwitchFibOpMsg remove;
    remove.mutable_mac_entries()->set_op(pb::REMOVE);
    auto mac = [](uint64_t m) { return SwitchFib(1, {m}); };
    std::vector<StoredOpCase> cases = {
        {"appends",
         {Patch(kFib, Uuid(1), append, mac(2)), Patch(kFib, Uuid(1), append, mac(3))},
         {"a2", "a3"}},
        {"append then remove",
         {Patch(kFib, Uuid(1), append, mac(3)), Patch(kFib, Uuid(1), remove, mac(1))},
         {"r0", "a1"}},
        {"remove then append",
         {Patch(kFib, Uuid(1), remove, mac(2)), Patch(kFib, Uuid(1), append, mac(4))},
         {"r1", "a1"}},
        {"put then append",
         {Put(SwitchFib(1, {1, 2, 7}), kFib), Patch(kFib, Uuid(1), append, mac(8))},
         {"a2", "a3"}},
        // Removals one after another are applied together, before the next other patch: as if
        // one by one.
        {"removals in a row, then an append",
         {Patch(kFib, Uuid(1), append, mac(3)), Patch(kFib, Uuid(1), remove, mac(1)),
          Patch(kFib, Uuid(1), remove, mac(3)), Patch(kFib, Uuid(1), append, mac(4))},
         {"r0", "a1"}},
        {"removals in a row, then an append of a removed entry",
         {Patch(kFib, Uuid(1), remove, mac(2)), Patch(kFib, Uuid(1), remove, mac(1)),
          Patch(kFib, Uuid(1), append, mac(2))},
         {"r0"}},
        {"removals in a row at the end",
         {Patch(kFib, Uuid(1), append, mac(3)), Patch(kFib, Uuid(1), remove, mac(2)),
          Patch(kFib, Uuid(1), remove, mac(1))},
         {"r0", "r1", "a0"}},
        {"removals dropped by a put",
         {Patch(kFib, Uuid(1), remove, mac(1)), Patch(kFib, Uuid(1), remove, mac(2)),
          Put(SwitchFib(1, {1, 2, 5}), kFib), Patch(kFib, Uuid(1), append, mac(8))},
         {"a2", "a3"}},
    };
    // A put whose body ends with a later list, then an append: the appended MAC goes before that
    // list, and the op is derived from the row as read, not the put's lengths.
    pb::LogSwitchFibMsg putWithIp = SwitchFib(1, {1, 2, 7});
    putWithIp.add_ip_entries()->set_mac(9);
    cases.push_back({"put ending with a later list, then an append",
                     {Put(putWithIp, kFib), Patch(kFib, Uuid(1), append, mac(8))},
                     {"a2", "a3"}});
    const auto stored = SwitchFib(1, {1, 2});
    for (const StoredOpCase& c : cases) {
        SCOPED_TRACE(c.name);
        WritePlan plan;
        std::string error;
        ASSERT_TRUE(plan.Prepare(c.requests, &error)) << error;
        json read = json::array({{{"rows", {Stored("u1", stored, UuidTextOf(Uuid(1)))}}}});
        json ops;
        ASSERT_TRUE(plan.BuildWriteOps(read, &ops, &error)) << error;
        ASSERT_EQ(Kinds(ops), (std::vector<std::string>{"wait", "update"}));
        std::string bytes;
        ASSERT_TRUE(Base64Decode(ops[1]["row"]["op"].get<std::string>(), &bytes));
        pb::LogSwitchFibOpMsg op;
        ASSERT_TRUE(op.ParseFromString(bytes));
        EXPECT_EQ(op.op().op(), pb::SET);
        std::vector<std::string> entries;
        for (const auto& e : op.mac_entries().entries()) {
            entries.push_back(e.op() == pb::APPEND ? "a" + std::to_string(e.index())
                                                   : "r" + std::to_string(e.old_index()));
        }
        EXPECT_EQ(entries, c.entries);
        EXPECT_EQ(op.vtep_entries().op(), pb::INVALID);
    }
}

// A learned row: MAC entries on a VTEP, and entries of the lists before and after them.
pb::LogSwitchStateMsg LearnedRow(uint64_t firstMac, int macs) {
    pb::LogSwitchStateMsg row;
    *row.mutable_id() = Uuid(7);
    for (int i = 0; i < macs; ++i) {
        pb::LogSwitchMacEntryMsg* e = row.add_mac_entries();
        e->set_mac(firstMac + uint64_t(i));
        e->mutable_vtep_ip()->set_ipv4(0x0a000001u + uint32_t(e->mac() % 3));
    }
    return row;
}

pb::ModifyRequestMsg LearnedPatch(pb::PBOpType op, uint64_t firstMac, int macs) {
    pb::LogSwitchStateOpMsg patch;
    patch.mutable_mac_entries()->set_op(op);
    return Patch(pb::LOG_SWITCH_STATE, Uuid(7), patch, LearnedRow(firstMac, macs));
}

// The body a plan of `requests` writes over `stored` (absent when empty): the update's or the
// insert's body column, or `stored` when nothing is written.
std::string WrittenBody(const std::vector<pb::ModifyRequestMsg>& requests,
                        const std::string& stored) {
    WritePlan plan;
    std::string error;
    EXPECT_TRUE(plan.Prepare(requests, &error)) << error;
    json rows = json::array();
    if (!stored.empty()) {
        rows.push_back({{"_uuid", {"uuid", "u7"}},
                        {"_version", {"uuid", "v7"}},
                        {"oid", UuidTextOf(Uuid(7))},
                        {"vdb", 1},
                        {"body", Base64Encode(stored)},
                        {"op", ""}});
    }
    json ops;
    EXPECT_TRUE(plan.BuildWriteOps(json::array({{{"rows", rows}}}), &ops, &error)) << error;
    if (ops.empty())
        return stored;
    std::string body;
    EXPECT_TRUE(Base64Decode(ops.back()["row"]["body"].get<std::string>(), &body));
    return body;
}

// Lists written while a write is in flight are planned as one: the row they leave is, byte for
// byte, the row their patches leave written one by one, and the row built directly.
struct MergedListCase {
    const char* name;
    int stored;             // MAC entries of the row as read (-1: no row)
    bool keepsStoredLists;  // the row written keeps the stored row's other lists
    std::vector<pb::ModifyRequestMsg> requests;
    pb::LogSwitchStateMsg expected;
};

TEST(WritePlanTest, MergedListsWriteTheRowTheirPatchesWriteOneByOne) {
    std::vector<MergedListCase> cases;
    {
        // Many appends to a large row (the learned MACs of one VNI).
        MergedListCase c{"appends to a large row", 2000, true, {}, LearnedRow(0x1000, 0)};
        for (int k = 0; k < 60; ++k) {
            c.requests.push_back(LearnedPatch(pb::APPEND, 0x1000 + 2000 + uint64_t(k) * 25, 25));
        }
        c.expected = LearnedRow(0x1000, 2000 + 60 * 25);
        cases.push_back(std::move(c));
    }
    {
        // Appends create the row, a removal in between takes entries out of the middle.
        MergedListCase c{
            "appends to an absent row with a removal", -1, false, {}, LearnedRow(0x1000, 0)};
        c.requests = {LearnedPatch(pb::APPEND, 0x1000, 10), LearnedPatch(pb::APPEND, 0x100a, 10),
                      LearnedPatch(pb::REMOVE, 0x1004, 3), LearnedPatch(pb::APPEND, 0x1014, 2)};
        auto first = LearnedRow(0x1000, 4);
        auto rest = LearnedRow(0x1007, 15);
        c.expected = first;
        c.expected.mutable_mac_entries()->MergeFrom(rest.mac_entries());
        cases.push_back(std::move(c));
    }
    {
        // A put in the middle replaces what the appends before it made.
        MergedListCase c{"a put between appends", 20, false, {}, LearnedRow(0x2000, 0)};
        c.requests = {LearnedPatch(pb::APPEND, 0x1014, 5),
                      Put(LearnedRow(0x2000, 3), pb::LOG_SWITCH_STATE),
                      LearnedPatch(pb::APPEND, 0x2003, 4), LearnedPatch(pb::APPEND, 0x2007, 1)};
        c.expected = LearnedRow(0x2000, 8);
        cases.push_back(std::move(c));
    }
    for (const MergedListCase& c : cases) {
        SCOPED_TRACE(c.name);
        // The row as read keeps lists before and after the appended one.
        pb::LogSwitchStateMsg stored = LearnedRow(0x1000, std::max(c.stored, 0));
        stored.add_vtep_entries()->mutable_ip()->set_ipv4(0x0a0000fe);
        stored.add_ip_entries()->set_mac(0x1000);
        std::string storedBytes = c.stored < 0 ? std::string() : stored.SerializeAsString();
        pb::LogSwitchStateMsg expected = c.expected;
        if (c.keepsStoredLists) {
            *expected.mutable_vtep_entries() = stored.vtep_entries();
            *expected.mutable_ip_entries() = stored.ip_entries();
        }
        std::string oneByOne = storedBytes;
        for (const auto& r : c.requests)
            oneByOne = WrittenBody({r}, oneByOne);
        const std::string merged = WrittenBody(c.requests, storedBytes);
        EXPECT_EQ(merged, oneByOne);
        EXPECT_EQ(merged, expected.SerializeAsString());
    }
}

TEST(WritePlanTest, ManyRowsOfOneTableAreReadWholeAndNewOnesInserted) {
    WritePlan plan;
    std::string error;
    std::vector<pb::ModifyRequestMsg> reqs;
    for (uint64_t i = 0; i < 40; ++i)
        reqs.push_back(Put(Switch(i, 1), kLs));
    reqs.push_back(Put(SwitchFib(1, {1}), kFib));
    ASSERT_TRUE(plan.Prepare(reqs, &error)) << error;
    json reads = plan.ReadOps();
    ASSERT_EQ(reads.size(), 2u);  // the switch table whole, the one FIB row
    EXPECT_EQ(reads[0]["where"], json::parse(R"([["vdb","==",1]])"));
    EXPECT_EQ(reads[1]["table"], "LOG_SWITCH_FIB");
    auto stored = Switch(3, 1);
    json read = json::array(
        {{{"rows", {Stored("u3", stored, UuidTextOf(stored.id()))}}}, {{"rows", json::array()}}});
    json ops;
    ASSERT_TRUE(plan.BuildWriteOps(read, &ops, &error)) << error;
    size_t inserts = 0;
    for (const auto& o : ops)
        inserts += o["op"] == "insert";
    EXPECT_EQ(inserts, 40u);  // 39 new switches and the FIB; switch 3 is unchanged
    EXPECT_EQ(ops.size(), 40u) << ops.dump();
}

// A client that keeps writing one table learns where its rows are and stops making the database
// search the table by object id; what it learns follows its own inserts and deletes.
TEST(WritePlanTest, RepeatedWritersReadRowsByUuidOnceTheyKnowTheTable) {
    RowDirectory dir;
    std::string error;
    json ops;
    auto a = Switch(1, 1);
    auto b = Switch(2, 1);
    auto b2 = Switch(2, 7);
    auto c = Switch(3, 1);

    // First write: by object id, nothing learnt (a one-shot tool stops here).
    WritePlan first;
    ASSERT_TRUE(first.Prepare({Put(a, kLs)}, &error)) << error;
    json reads = first.ReadOps(&dir);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0]["where"][0][0], "oid");
    EXPECT_EQ(dir.Find(kLs, 1), nullptr);

    // Second write: the table is read whole and learnt.
    WritePlan second;
    ASSERT_TRUE(second.Prepare({Put(b, kLs)}, &error)) << error;
    reads = second.ReadOps(&dir);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0]["where"], json::parse(R"([["vdb","==",1]])"));
    ASSERT_TRUE(second.BuildWriteOps(
        json::array({{{"rows", {Stored("u-a", a, UuidTextOf(a.id()))}}}}), &ops, &error, &dir))
        << error;
    EXPECT_EQ(Kinds(ops), std::vector<std::string>{"insert"});
    second.Committed(json::array({{{"uuid", {"uuid", "u-b"}}}}), &dir);
    ASSERT_NE(dir.Find(kLs, 1), nullptr);
    EXPECT_EQ(dir.Find(kLs, 1)->size(), 2u);

    // Third write: known rows by UUID, a new object without any read, a delete forgotten.
    WritePlan third;
    ASSERT_TRUE(third.Prepare({Put(b2, kLs), Put(c, kLs), Delete(kLs, Uuid(1))}, &error)) << error;
    reads = third.ReadOps(&dir);
    ASSERT_EQ(reads.size(), 2u) << reads.dump();
    EXPECT_EQ(reads[0]["where"], WhereUuidJson("u-b"));
    EXPECT_EQ(reads[1]["where"], WhereUuidJson("u-a"));
    ASSERT_TRUE(
        third.BuildWriteOps(json::array({{{"rows", {Stored("u-b", b, UuidTextOf(b.id()))}}},
                                         {{"rows", {Stored("u-a", a, UuidTextOf(a.id()))}}}}),
                            &ops, &error, &dir))
        << error;
    EXPECT_EQ(Kinds(ops), (std::vector<std::string>{"wait", "update", "insert", "delete"}))
        << ops.dump();
    json result =
        json::array({json::object(), {{"count", 1}}, {{"uuid", {"uuid", "u-c"}}}, {{"count", 1}}});
    third.Committed(result, &dir);
    const RowDirectory::Rows* rows = dir.Find(kLs, 1);
    ASSERT_NE(rows, nullptr);
    EXPECT_EQ(rows->count(UuidTextOf(a.id())), 0u);
    EXPECT_EQ(rows->at(UuidTextOf(c.id())), "u-c");

    // A row another writer removed reads as absent and is inserted again.
    WritePlan fourth;
    ASSERT_TRUE(fourth.Prepare({Put(Switch(3, 9), kLs)}, &error)) << error;
    reads = fourth.ReadOps(&dir);
    ASSERT_EQ(reads.size(), 1u);
    ASSERT_TRUE(fourth.BuildWriteOps(json::array({{{"rows", json::array()}}}), &ops, &error, &dir));
    EXPECT_EQ(Kinds(ops), std::vector<std::string>{"insert"});
    // A result without the inserted row's UUID makes the client learn its tables again.
    fourth.Committed(json::array({json::object()}), &dir);
    EXPECT_EQ(dir.Find(kLs, 1), nullptr);
}

}  // namespace
}  // namespace CfgAgent::test
