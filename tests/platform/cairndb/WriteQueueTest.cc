// The client's write lists: lists written while one is in flight go out together once it is done,
// a row written many times is written once with the last state, and failures stay with their list.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/cairndb/Base64.h"
#include "platform/cairndb/WritePlan.h"
#include "platform/cairndb/WriteQueue.h"
#include "tests/platform/cairndb/ClientTestSupport.h"

namespace CfgAgent::test {
namespace {

using nlohmann::json;
using ozy::cairndb::Base64Decode;
using ozy::cairndb::Base64Encode;
using ozy::cairndb::QueuedWrite;
using ozy::cairndb::Status;
using ozy::cairndb::WritePlan;
using ozy::cairndb::WriteQueue;

constexpr int kFib = pb::LOG_SWITCH_FIB;

// Row 1 is stored with MAC 1 before every case.
const uint64_t kStoredRow = 1;

pb::ModifyRequestMsg Append(uint64_t row, uint64_t mac) {
    pb::LogSwitchFibOpMsg op;
    op.mutable_mac_entries()->set_op(pb::APPEND);
    return Patch(kFib, Uuid(row), op, SwitchFib(row, {mac}));
}

pb::ModifyRequestMsg RemoveMac(uint64_t row, uint64_t mac) {
    pb::LogSwitchFibOpMsg op;
    op.mutable_mac_entries()->set_op(pb::REMOVE);
    return Patch(kFib, Uuid(row), op, SwitchFib(row, {mac}));
}

// Records which lists were answered, in order, and how.
struct Answers {
    std::vector<std::string> order;
    ozy::cairndb::WriteCallback For(const std::string& name) {
        return [this, name](const Status& s) { order.push_back(name + (s.ok ? "" : ":failed")); };
    }
};

QueuedWrite List(std::vector<pb::ModifyRequestMsg> requests, Answers* answers,
                 const std::string& name) {
    QueuedWrite w;
    w.requests = std::move(requests);
    w.done = answers->For(name);
    return w;
}

// A stored row as a select returns it; its row UUID is "row-<oid>".
json StoredRow(const std::string& oid, const pb::LogSwitchFibMsg& body) {
    return {{"_uuid", {"uuid", "row-" + oid}},
            {"oid", oid},
            {"vdb", 1},
            {"body", Base64Encode(body.SerializeAsString())},
            {"op", ""}};
}

// The read transaction's result against a database holding `rows` (oid -> body).
json ReadResult(const json& reads, const std::map<std::string, pb::LogSwitchFibMsg>& rows) {
    json result = json::array();
    for (const json& op : reads) {
        json found = json::array();
        const json& where = op["where"];
        if (where.size() == 1 && where[0][0] == "vdb") {  // a flushed table, read whole
            for (const auto& [oid, body] : rows)
                found.push_back(StoredRow(oid, body));
        } else if (where.size() == 2 && where[0][0] == "oid") {
            auto it = rows.find(where[0][2].get<std::string>());
            if (it != rows.end())
                found.push_back(StoredRow(it->first, it->second));
        }
        result.push_back({{"rows", found}});
    }
    return result;
}

// MACs of row `oid` as the write operations leave it; "absent" when deleted or never written.
std::string RowAfter(const json& ops, const std::string& oid, const std::string& before) {
    std::string state = before;
    for (const json& op : ops) {
        const bool mine = op.contains("where")
                              ? op["where"][0][2] == json::array({"uuid", "row-" + oid})
                              : op["row"].value("oid", "") == oid;
        if (!mine)
            continue;
        if (op["op"] == "delete") {
            state = "absent";
        } else if (op["op"] == "update" || op["op"] == "insert") {
            std::string bytes;
            pb::LogSwitchFibMsg body;
            if (!Base64Decode(op["row"]["body"].get<std::string>(), &bytes) ||
                !body.ParseFromString(bytes))
                return "unreadable";
            state.clear();
            for (const auto& e : body.mac_entries())
                state += (state.empty() ? "" : ",") + std::to_string(e.mac());
        }
    }
    return state;
}

struct CoalesceCase {
    const char* name;
    // Lists written while list "f" (a put of row 9) is in flight.
    std::vector<std::vector<pb::ModifyRequestMsg>> queued;
    bool inFlightFails;
    size_t maxRows;
    // Lists in each transaction sent after "f".
    std::vector<size_t> transactions;
    // Operations of the first of them, and rows 1 and 2 as it leaves them.
    std::vector<std::string> firstOps;
    std::string row1;
    std::string row2;
};

class WriteQueueCoalesceTest : public ::testing::TestWithParam<CoalesceCase> {};

TEST_P(WriteQueueCoalesceTest, ListsWrittenMeanwhileGoOutTogetherWithTheLastState) {
    const CoalesceCase& c = GetParam();
    Answers answers;
    WriteQueue queue(100, c.maxRows);
    EXPECT_FALSE(queue.Push(List({Put(SwitchFib(9, {9}), kFib)}, &answers, "f"), false));
    queue.MergeFront();
    queue.front().plan = std::make_shared<WritePlan>();  // in flight
    std::vector<std::string> names;
    for (size_t i = 0; i < c.queued.size(); ++i) {
        names.push_back("w" + std::to_string(i));
        EXPECT_FALSE(queue.Push(List(c.queued[i], &answers, names.back()), true));
    }
    // Nothing joins a list in flight.
    queue.MergeFront();
    EXPECT_EQ(queue.front().requests.size(), 1u);
    size_t requests = 0;
    bool split = false;
    for (auto& done :
         queue.Finish(c.inFlightFails ? Status::Error("boom") : Status::Ok(), &requests, &split))
        done(c.inFlightFails ? Status::Error("boom") : Status::Ok());
    EXPECT_FALSE(split);
    EXPECT_EQ(requests, 1u);
    EXPECT_EQ(answers.order,
              (std::vector<std::string>{c.inFlightFails ? "f:failed" : "f"}));  // the others wait

    std::map<std::string, pb::LogSwitchFibMsg> stored = {
        {UuidTextOf(Uuid(kStoredRow)), SwitchFib(kStoredRow, {1})}};
    std::vector<size_t> sent;
    while (!queue.empty()) {
        queue.MergeFront();
        QueuedWrite& w = queue.front();
        sent.push_back(w.parts.empty() ? 1 : w.parts.size());
        WritePlan plan;
        std::string error;
        ASSERT_TRUE(plan.Prepare(w.requests, &error)) << error;
        json ops;
        ASSERT_TRUE(plan.BuildWriteOps(ReadResult(plan.ReadOps(), stored), &ops, &error)) << error;
        if (sent.size() == 1) {
            std::vector<std::string> kinds;
            for (const json& op : ops)
                kinds.push_back(op["op"]);
            EXPECT_EQ(kinds, c.firstOps) << ops.dump();
            EXPECT_EQ(RowAfter(ops, UuidTextOf(Uuid(1)), "1"), c.row1);
            EXPECT_EQ(RowAfter(ops, UuidTextOf(Uuid(2)), "absent"), c.row2);
        }
        for (auto& done : queue.Finish(Status::Ok(), &requests, &split))
            done(Status::Ok());
    }
    EXPECT_EQ(sent, c.transactions);
    // Every list answered once, in the order written.
    names.insert(names.begin(), c.inFlightFails ? "f:failed" : "f");
    EXPECT_EQ(answers.order, names);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteQueueCoalesceTest,
    ::testing::Values(
        // A row growing by one entry per list is read and written once with every entry.
        CoalesceCase{"one row in flight",
                     {{Append(1, 2)}, {Append(1, 3)}, {Append(1, 4), Append(1, 5)}},
                     false,
                     WriteQueue::kMaxMergedRows,
                     {3},
                     {"wait", "update"},
                     "1,2,3,4,5",
                     "absent"},
        // The last list's state wins: a put replaces the appends before it, a removal undoes one.
        CoalesceCase{
            "latest body wins",
            {{Append(1, 2)}, {Put(SwitchFib(1, {7}), kFib)}, {Append(1, 8), RemoveMac(1, 7)}},
            false,
            WriteQueue::kMaxMergedRows,
            {3},
            {"wait", "update"},
            "8",
            "absent"},
        // A flush between two lists: the row starts again from what follows it.
        CoalesceCase{"flush between updates",
                     {{Append(1, 2)}, {Flush(kFib)}, {Append(1, 3)}},
                     false,
                     WriteQueue::kMaxMergedRows,
                     {3},
                     {"wait", "wait", "update"},
                     "3",
                     "absent"},
        // Different rows go together up to the limit of rows; the rest waits for the next one.
        CoalesceCase{"different rows",
                     {{Append(1, 2)}, {Append(2, 3)}, {Append(1, 4)}, {Append(3, 5)}},
                     false,
                     2,
                     {3, 1},
                     {"wait", "update", "insert"},
                     "1,2,4",
                     "3"},
        // An update and then a delete of the same row: only the delete is written.
        CoalesceCase{"delete after update",
                     {{Append(1, 2), Append(2, 6)}, {Delete(kFib, Uuid(1)), Delete(kFib, Uuid(2))}},
                     false,
                     WriteQueue::kMaxMergedRows,
                     {2},
                     {"delete"},
                     "absent",
                     "absent"},
        // The list in flight fails alone: the lists behind it go out as if it had landed.
        CoalesceCase{"failure of the write in flight",
                     {{Append(1, 2)}, {Append(1, 3)}},
                     true,
                     WriteQueue::kMaxMergedRows,
                     {2},
                     {"wait", "update"},
                     "1,2,3",
                     "absent"}),
    [](const ::testing::TestParamInfo<CoalesceCase>& info) {
        std::string n;
        for (const char* p = info.param.name; *p; ++p)
            n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return n;
    });

// A transaction of merged lists that fails goes back in halves, each sent alone, so that the bad
// list fails by itself with the error and the others land.
TEST(WriteQueueTest, AFailedMergedTransactionIsSplitUntilTheBadListFailsAlone) {
    Answers answers;
    WriteQueue queue(100);
    for (int i = 0; i < 4; ++i)
        queue.Push(List({Append(1, 10 + i)}, &answers, "w" + std::to_string(i)), false);
    const std::string bad = "w3";
    size_t requests = 0;
    bool split = false;
    int transactions = 0;
    while (!queue.empty()) {
        queue.MergeFront();
        ++transactions;
        const QueuedWrite& w = queue.front();
        bool holdsBad = false;
        for (const auto& r : w.requests)
            holdsBad = holdsBad || r.patch().body() == Append(1, 13).patch().body();
        const bool merged = !w.parts.empty();
        Status result = holdsBad ? Status::Error("bad") : Status::Ok();
        auto callbacks = queue.Finish(result, &requests, &split);
        EXPECT_EQ(split, holdsBad && merged);
        EXPECT_TRUE(split ? callbacks.empty() : !callbacks.empty());
        for (auto& done : callbacks)
            done(result);
    }
    // All four together, then halves {w0 w1} and {w2 w3}, then w2 and w3 alone.
    EXPECT_EQ(transactions, 5);
    EXPECT_EQ(answers.order, (std::vector<std::string>{"w0", "w1", "w2", bad + ":failed"}));
}

TEST(WriteQueueTest, AFullQueueDropsTheOldestListNotInFlight) {
    Answers answers;
    WriteQueue queue(2);
    EXPECT_FALSE(queue.Push(List({Append(1, 1)}, &answers, "a"), false));
    EXPECT_FALSE(queue.Push(List({Append(1, 2)}, &answers, "b"), false));
    // "a" is in flight: "b" gives way.
    auto dropped = queue.Push(List({Append(1, 3)}, &answers, "c"), true);
    ASSERT_TRUE(dropped);
    EXPECT_EQ(dropped->requests[0].patch().body(), Append(1, 2).patch().body());
    // Nothing in flight: the oldest ("a") gives way.
    dropped = queue.Push(List({Append(1, 4)}, &answers, "d"), false);
    ASSERT_TRUE(dropped);
    EXPECT_EQ(dropped->requests[0].patch().body(), Append(1, 1).patch().body());
    EXPECT_EQ(queue.size(), 2u);
}

}  // namespace
}  // namespace CfgAgent::test
