// A streamed read of a table: the reply's rows decoded as they are parsed and handed on in batches
// (the message parse itself, then the client on a scripted server): however the reply arrives, rows
// that do not decode, failures, an empty table, a stop in the middle.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/cairndb/Base64.h"
#include "platform/cairndb/CairnDbClient.h"
#include "platform/cairndb/StoredRowStream.h"
#include "tests/platform/cairndb/ClientTestSupport.h"
#include "tests/platform/cairndb/FakeOvsdbPeer.h"
#include "tests/support/Await.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

using nlohmann::json;
using ozy::cairndb::Base64Encode;
using ozy::cairndb::CairnDbClient;
using ozy::cairndb::CairnDbClientOptions;
using ozy::cairndb::Status;
using ozy::cairndb::StoredObject;
using ozy::cairndb::StoredRowStream;

json Row(uint64_t n) {
    pb::LogSwitchConfigMsg s = Switch(n, static_cast<uint32_t>(n));
    return {{"oid", OidOf(s)}, {"vdb", 1}, {"body", Base64Encode(s.SerializeAsString())}};
}

json Rows(size_t n) {
    json rows = json::array();
    for (size_t i = 0; i < n; ++i)
        rows.push_back(Row(i));
    return rows;
}

// ---- the message parse ----

TEST(StoredRowStreamTest, OnlyTheRowsOfAStreamedRepliesSelectAreTakenOutAsParsed) {
    // Rows carry columns of their own with containers inside, as the server's rows do.
    json nested = Rows(3);
    for (json& row : nested)
        row["_uuid"] = {"uuid", {{"n", {1, {{"deep", json::array()}}}}}};
    const std::string rows = nested.dump();
    const std::string after = json{{"x", Row(9)}}.dump();  // a member that is no array
    struct Case {
        const char* name;
        std::string message;
        size_t streamed;  // rows handed to the stream
        size_t left;      // rows left in result[0]["rows"] of the message returned (-1: none)
    };
    const Case cases[] = {
        {"the server's order", R"({"id":7,"result":[{"rows":)" + rows + R"(}],"error":null})", 3,
         0},
        {"members after the rows",
         R"({"id":7,"result":[{"rows":)" + rows + R"(,"more":)" + after + R"(}]})", 3, 0},
        {"the result before the id", R"({"result":[{"rows":)" + rows + R"(}],"id":7})", 0, 3},
        {"another request", R"({"id":8,"result":[{"rows":)" + rows + R"(}]})", 0, 3},
        {"an id that is no number", R"({"id":"7","result":[{"rows":)" + rows + R"(}]})", 0, 3},
        {"rows of a second operation", R"({"id":7,"result":[{},{"rows":)" + rows + R"(}]})", 0,
         size_t(-1)},
        {"rows that are not an array", R"({"id":7,"result":[{"rows":{"a":{"oid":"x"}}}]})", 0,
         size_t(-1)},
        {"a notification", R"({"id":null,"method":"update2","params":[7,{"rows":)" + rows + "}]}",
         0, size_t(-1)},
    };
    for (const Case& c : cases) {
        std::vector<StoredObject> got;
        StoredRowStream stream("T", 2, [&](const std::vector<StoredObject>& batch) {
            got.insert(got.end(), batch.begin(), batch.end());
        });
        json msg = StoredRowStream::ParseMessage(c.message, [&](const json& id) {
            return id.is_number_unsigned() && id.get<uint64_t>() == 7 ? &stream : nullptr;
        });
        stream.Flush();
        EXPECT_EQ(got.size(), c.streamed) << c.name;
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(got[i].oid, OidOf(Switch(i, static_cast<uint32_t>(i)))) << c.name;
        // The message as parsed whole, less the rows taken out.
        json expected = json::parse(c.message);
        if (c.left != size_t(-1)) {
            json& left = expected["result"][0]["rows"];
            ASSERT_GE(left.size(), c.left) << c.name;
            left.erase(left.begin(), left.end() - static_cast<std::ptrdiff_t>(c.left));
        }
        EXPECT_EQ(msg, expected) << c.name;
    }
}

TEST(StoredRowStreamTest, RowsThatDoNotDecodeAreCountedAndBatchesAreFull) {
    LogCapture logs(kLogInfo);
    json rows = Rows(5);
    rows.insert(rows.begin() + 1, json(5));                             // not an object
    rows.insert(rows.begin() + 3, json::array({1}));                    // nor this
    rows.insert(rows.begin() + 4, json{{"oid", "x"}, {"body", "??"}});  // no vdb, bad body
    std::vector<size_t> batches;
    StoredRowStream stream("LOG_SWITCH_CONFIG", 2, [&](const std::vector<StoredObject>& batch) {
        batches.push_back(batch.size());
    });
    const std::string text = json{{"id", 1}, {"result", {{{"rows", rows}}}}}.dump();
    json msg = StoredRowStream::ParseMessage(text, [&](const json&) { return &stream; });
    EXPECT_EQ(batches, (std::vector<size_t>{2, 2}));
    stream.Flush();
    EXPECT_EQ(batches, (std::vector<size_t>{2, 2, 1}));
    EXPECT_EQ(stream.Skipped(), 3u);
    EXPECT_EQ(logs.Count("skipping stored LOG_SWITCH_CONFIG row"), 3u);
    EXPECT_TRUE(msg["result"][0]["rows"].empty());
}

TEST(StoredRowStreamTest, OnlyTheOpeningOfASelectsRowsLetsRowsBeTakenEarly) {
    struct Case {
        const char* prefix;
        bool opens;
    };
    const Case cases[] = {
        {R"({"id":7,"result":[{"rows":[)", true},
        {R"({"error":null,"id":7,"result":[{"rows":[)", true},
        {" {\"id\" : 7 ,\n\"result\":[ {\"rows\" :[", true},
        {R"({"result":[{"rows":[)", false},
        {R"({"id":7,"result":[{},{"rows":[)", false},
        {R"({"id":7,"result":{"rows":[)", false},
        {R"({"id":7,"result":[{"other":[)", false},
        {R"({"id":null,"method":"update2","params":[{"rows":[)", false},
        {R"({"id":7,"result":[{"rows":[]}],"more":[)", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(StoredRowStream::OpensRows(c.prefix), c.opens) << c.prefix;
}

// ---- the client ----

class GetRowsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CairnDbClientOptions opt;
        opt.reconnectMin = std::chrono::milliseconds(10);
        opt.reconnectMax = std::chrono::milliseconds(50);
        client_ = std::make_unique<CairnDbClient>("cfg-agent", ozy::net::Endpoint(peer_.Endpoint()),
                                                  io_.io(), opt);
        ASSERT_TRUE(client_->RegisterMonitorCallbacks(101, 1, rec_.UpdateCb(), rec_.BarrierCb()));
        ASSERT_TRUE(client_->ConfigureMonitor({Statement(pb::LOG_SWITCH_CONFIG)}, {}, 101, 1));
        client_->StartAsync();
        ASSERT_TRUE(rec_.WaitBarriers(1));
    }

    struct Read {
        std::vector<size_t> batches;
        std::vector<std::string> oids;
        Status status;
    };
    // Reads LOG_SWITCH_CONFIG of vdb 1; `onBatch` is called after each batch is recorded.
    Read ReadRows(std::function<void()> onBatch = nullptr) {
        auto read = std::make_shared<Read>();
        auto done = std::make_shared<std::promise<void>>();
        client_->GetRows(
            pb::LOG_SWITCH_CONFIG, 1,
            [read, onBatch](const std::vector<StoredObject>& rows) {
                read->batches.push_back(rows.size());
                for (const StoredObject& o : rows)
                    read->oids.push_back(o.oid);
                if (onBatch)
                    onBatch();
            },
            [read, done](const Status& s) {
                read->status = s;
                done->set_value();
            });
        EXPECT_EQ(done->get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
        return *read;
    }

    LogCapture logs_{kLogInfo};
    FakeOvsdbPeer peer_;
    IoThreads io_;
    Recorder rec_;
    std::unique_ptr<CairnDbClient> client_;
};

TEST_F(GetRowsTest, RowsArriveInFullBatchesInOrderHoweverTheReplyIsWritten) {
    const size_t kBatch = CairnDbClient::kGetRowsBatch;
    struct Case {
        const char* name;
        size_t rows;
        bool resultFirst;
        size_t pieces;
    };
    const Case cases[] = {
        {"a few rows", 3, false, 1},
        {"several batches over many reads", 2 * kBatch + 7, false, 9},
        {"exactly one batch", kBatch, false, 2},
        {"the result before the id", kBatch + 1, true, 3},
        {"an empty table", 0, false, 1},
    };
    for (const Case& c : cases) {
        peer_.SetTransactReplyForm(c.resultFirst, c.pieces);
        peer_.QueueTransactResult(json::array({{{"rows", Rows(c.rows)}}}).dump());
        Read read = ReadRows();
        EXPECT_TRUE(read.status.ok) << c.name << ": " << read.status.error;
        EXPECT_EQ(read.status.skipped, 0u) << c.name;
        std::vector<size_t> batches(c.rows / kBatch, kBatch);
        if (c.rows % kBatch != 0)
            batches.push_back(c.rows % kBatch);
        EXPECT_EQ(read.batches, batches) << c.name;
        ASSERT_EQ(read.oids.size(), c.rows) << c.name;
        for (size_t i = 0; i < c.rows; ++i)
            ASSERT_EQ(read.oids[i], OidOf(Switch(i, static_cast<uint32_t>(i)))) << c.name;
    }
    // The select asked for the type's rows of the vdb.
    json last;
    for (const json& m : peer_.Received()) {
        if (m.is_object() && m.value("method", "") == "transact")
            last = m;
    }
    EXPECT_EQ(last["params"][1]["table"], "LOG_SWITCH_CONFIG");
    EXPECT_EQ(last["params"][1]["where"], json::parse(R"([["vdb","==",1]])"));
}

TEST_F(GetRowsTest, RowsAreHandedOnWhileTheReplyStillArrives) {
    const size_t kBatch = CairnDbClient::kGetRowsBatch;
    const std::string result = json::array({{{"rows", Rows(3 * kBatch)}}}).dump();
    // The reply stops after about two batches of rows until the first batch has been handed on;
    // a client that waits for the whole reply never gets there.
    peer_.HoldTransactReplyAfter(result.size() * 2 / 3);
    peer_.QueueTransactResult(result);
    Read read = ReadRows([this] { peer_.ReleaseReply(); });
    EXPECT_TRUE(read.status.ok) << read.status.error;
    EXPECT_EQ(read.batches, (std::vector<size_t>{kBatch, kBatch, kBatch}));
    ASSERT_EQ(read.oids.size(), 3 * kBatch);
    for (size_t i = 0; i < read.oids.size(); ++i)
        ASSERT_EQ(read.oids[i], OidOf(Switch(i, static_cast<uint32_t>(i))));

    // A malformed row among those that arrived first ends the connection with its code, as a
    // malformed whole reply does, and the read fails.
    std::string bad = json::array({{{"rows", Rows(kBatch)}}}).dump();
    bad.replace(bad.find("\"vdb\":1"), 7, "\"vdb\":tru");
    peer_.HoldTransactReplyAfter(bad.size() - 10);
    peer_.QueueTransactResult(bad);
    Read failed = ReadRows();
    peer_.ReleaseReply();
    EXPECT_FALSE(failed.status.ok);
    EXPECT_TRUE(failed.batches.empty());
    EXPECT_TRUE(logs_.ContainsWithCode("CairnDbClient: malformed JSON", "LCP03002"));
}

TEST_F(GetRowsTest, ARowThatDoesNotDecodeIsSkippedAndCounted) {
    json rows = Rows(4);
    rows[2]["body"] = "not base64!";
    peer_.SetTransactReplyForm(false, 2);
    peer_.QueueTransactResult(json::array({{{"rows", rows}}}).dump());
    Read read = ReadRows();
    EXPECT_TRUE(read.status.ok);
    EXPECT_EQ(read.status.skipped, 1u);
    EXPECT_EQ(read.oids,
              (std::vector<std::string>{rows[0]["oid"], rows[1]["oid"], rows[3]["oid"]}));
    EXPECT_TRUE(logs_.ContainsWithCode("skipping stored LOG_SWITCH_CONFIG row", "LCP03009"));
}

TEST_F(GetRowsTest, FailuresEndTheReadWithTheirReasonAndNoRows) {
    struct Case {
        const char* name;
        std::string result;  // "" for a JSON-RPC error
        std::string error;
        std::string expect;
    };
    const Case cases[] = {
        {"a failed select", R"([{"error":"syntax error","details":"no table"}])", "",
         R"(select failed: {"details":"no table","error":"syntax error"})"},
        {"no select result", "[]", "", "select failed: []"},
        {"an error reply", "", R"("overloaded")", R"("overloaded")"},
    };
    for (const Case& c : cases) {
        if (c.result.empty())
            peer_.QueueTransactError(c.error);
        else
            peer_.QueueTransactResult(c.result);
        Read read = ReadRows();
        EXPECT_FALSE(read.status.ok) << c.name;
        EXPECT_EQ(read.status.error, c.expect) << c.name;
        EXPECT_TRUE(read.batches.empty()) << c.name;
    }
    // An unknown type, and a client not connected, fail at once.
    std::promise<Status> unknown;
    client_->GetRows(
        9999, 1, [](const std::vector<StoredObject>&) { FAIL(); },
        [&](const Status& s) { unknown.set_value(s); });
    EXPECT_EQ(unknown.get_future().get().error, "unknown object type 9999");
    client_->Stop();
    CairnDbClient idle("idle", ozy::net::Endpoint(peer_.Endpoint()), io_.io());
    std::promise<Status> down;
    idle.GetRows(
        pb::LOG_SWITCH_CONFIG, 1, [](const std::vector<StoredObject>&) { FAIL(); },
        [&](const Status& s) { down.set_value(s); });
    EXPECT_EQ(down.get_future().get().error, "not connected");
}

TEST_F(GetRowsTest, AStopFromWithinABatchEndsTheReadAtOnce) {
    peer_.QueueTransactResult(
        json::array({{{"rows", Rows(3 * CairnDbClient::kGetRowsBatch)}}}).dump());
    auto batches = std::make_shared<std::atomic<int>>(0);
    bool done = false;
    client_->GetRows(
        pb::LOG_SWITCH_CONFIG, 1,
        [this, batches](const std::vector<StoredObject>&) {
            ++*batches;
            client_->Stop();
        },
        [&done](const Status&) { done = true; });
    ASSERT_TRUE(AwaitTrue([&] { return batches->load() == 1 && !peer_.HasConnection(); }));
    EXPECT_EQ(batches->load(), 1);
    EXPECT_FALSE(done);
}

}  // namespace
}  // namespace CfgAgent::test
