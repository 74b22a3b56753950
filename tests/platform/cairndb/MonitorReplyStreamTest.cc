// A monitor reply collected as it is parsed: the replica gets from it what it gets from the parsed
// reply (the same updates in the same order, the same rows held, the same logs, the same refusal
// of a malformed reply), whatever the order of the message's members; other messages parse as
// json::parse parses them.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/cairndb/Base64.h"
#include "platform/cairndb/MonitorReplica.h"
#include "platform/cairndb/MonitorReplyStream.h"
#include "tests/platform/cairndb/ClientTestSupport.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

using nlohmann::json;
using ozy::cairndb::Base64Encode;
using ozy::cairndb::MonitorReplica;
using ozy::cairndb::MonitorReplyStream;
using ozy::cairndb::MonitorStatement;

constexpr uint64_t kMonitorId = 7;

std::string Row(const google::protobuf::Message& body) {
    return json{{"oid", OidOf(body)}, {"vdb", 1}, {"body", Base64Encode(body.SerializeAsString())}}
        .dump();
}
std::string Initial(const std::string& row) {
    return R"({"initial":)" + row + "}";
}
// An object's text with its members in the order given.
std::string Object(const std::vector<std::pair<std::string, std::string>>& members) {
    std::string s = "{";
    for (const auto& [k, v] : members) {
        if (s.size() > 1)
            s += ',';
        s += json(k).dump() + ':' + v;
    }
    return s + '}';
}
// The reply to request `id`, its id before or after its result.
std::string Reply(const std::string& result, bool idFirst, uint64_t id = kMonitorId) {
    const std::string idText = std::to_string(id);
    return idFirst ? R"({"id":)" + idText + R"(,"result":)" + result + R"(,"error":null})"
                   : R"({"result":)" + result + R"(,"error":null,"id":)" + idText + "}";
}

std::map<int, MonitorStatement> Statements() {
    std::map<int, MonitorStatement> st;
    st[pb::LOG_SWITCH_CONFIG] = MonitorStatement{pb::LOG_SWITCH_CONFIG, nullptr, true};
    st[pb::LOG_SWITCH_FIB] = MonitorStatement{pb::LOG_SWITCH_FIB, nullptr, true};
    return st;
}

// What one way of applying a reply gave.
struct Outcome {
    bool ok = false;
    std::string error;
    std::vector<std::string> updates;
    std::vector<std::string> logs;
    size_t rows = 0;
    size_t bytes = 0;
    // What a resynchronisation by difference to nothing then removes: what the readers held.
    std::vector<std::string> held;
};

std::vector<std::string> Texts(const std::vector<pb::MonitorUpdateMsg>& updates) {
    std::vector<std::string> out;
    for (const auto& u : updates)
        out.push_back(u.SerializeAsString());
    return out;
}

// A replica with rows held before (u1 and u9 of the switch table), then the reply applied.
Outcome Apply(const std::string& message, bool streamed, bool full) {
    LogCapture logs(kLogDebug);
    MonitorReplica replica(1);
    replica.SetStatements(Statements());
    std::vector<pb::MonitorUpdateMsg> out;
    std::string error;
    EXPECT_TRUE(replica.ApplyInitial(
        json::parse(Object({{"LOG_SWITCH_CONFIG", Object({{"u1", Initial(Row(Switch(1, 99)))},
                                                          {"u9", Initial(Row(Switch(9, 9)))}})}})),
        true, &out, &error))
        << error;
    out.clear();
    logs.Clear();
    Outcome o;
    if (streamed) {
        MonitorReplyStream stream;
        MonitorReplyStream* taker = nullptr;
        json msg = MonitorReplyStream::ParseMessage(
            message, [&](const json& id) { return id == json(kMonitorId) ? &stream : nullptr; },
            &taker);
        EXPECT_EQ(msg["id"], json(kMonitorId));
        EXPECT_EQ(msg["error"], json());
        EXPECT_EQ(taker != nullptr, stream.Taken());
        if (taker != nullptr) {
            EXPECT_EQ(taker, &stream);
            EXPECT_TRUE(msg["result"].is_null());
        } else {
            stream.Collect(msg["result"]);
        }
        o.ok = replica.ApplyInitial(&stream, full, &out, &error);
    } else {
        o.ok = replica.ApplyInitial(json::parse(message)["result"], full, &out, &error);
    }
    o.error = error;
    o.updates = Texts(out);
    for (const LogEntry& e : logs.Entries()) {
        std::string text = std::to_string(e.level) + ' ' + e.message;
        for (const std::string& tag : e.tags)
            text += ' ' + tag;
        o.logs.push_back(text);
    }
    o.rows = replica.RowCount();
    o.bytes = replica.Bytes();
    std::vector<pb::MonitorUpdateMsg> cleared;
    EXPECT_TRUE(replica.ApplyInitial(json::object(), false, &cleared, &error));
    o.held = Texts(cleared);
    return o;
}

size_t Count(const std::vector<std::string>& logs, const std::string& text) {
    size_t n = 0;
    for (const std::string& l : logs)
        n += l.find(text) != std::string::npos ? 1 : 0;
    return n;
}

struct ReplyCase {
    const char* name;
    std::string result;
    // The streamed form takes the result (an object) when the id comes first.
    bool object = true;
    // Refused whole with this error; "" when applied.
    std::string error;
    // Applied in full: the updates, the rows skipped (LCP03005) and the unknown tables (LCP03004).
    size_t sets;
    size_t skipped;
    size_t unknown;
};

std::vector<ReplyCase> ReplyCases() {
    const std::string notBase64 = R"({"oid":"x","vdb":1,"body":"%%%"})";
    const std::string notABody =
        json{{"oid", OidOf(Switch(4, 4))}, {"vdb", 1}, {"body", Base64Encode("\xff\xff\xff")}}
            .dump();
    return {
        {"several tables, rows in no order",
         Object({{"LOG_SWITCH_FIB", Object({{"f2", Initial(Row(SwitchFib(2, {5, 6})))},
                                            {"f1", Initial(Row(SwitchFib(1, {7})))}})},
                 {"LOG_SWITCH_CONFIG", Object({{"u3", Initial(Row(Switch(3, 30)))},
                                               {"u1", Initial(Row(Switch(1, 10)))},
                                               {"u2", Initial(Row(Switch(2, 20)))}})}}),
         true, "", 5, 0, 0},
        {"an unknown table logged, its rows skipped",
         Object({{"NO_SUCH_TABLE", Object({{"x", Initial(R"({"oid":5})")}})},
                 {"LOG_SWITCH_CONFIG", Object({{"u1", Initial(Row(Switch(1, 10)))}})}}),
         true, "", 1, 0, 1},
        {"undecodable rows skipped",
         Object({{"LOG_SWITCH_CONFIG", Object({{"u2", Initial(R"({"oid":5})")},
                                               {"u1", Initial(Row(Switch(1, 10)))},
                                               {"u3", Initial(R"("text")")},
                                               {"u4", Initial(notBase64)},
                                               {"u5", Initial("[1,{}]")}})}}),
         true, "", 1, 4, 0},
        {"a row refused by its body",
         Object({{"LOG_SWITCH_CONFIG",
                  Object({{"u4", Initial(notABody)}, {"u1", Initial(Row(Switch(1, 10)))}})}}),
         true, "", 1, 1, 0},
        {"a repeated row or kind: the last counts",
         Object(
             {{"LOG_SWITCH_CONFIG", Object({{"u2", Initial(Row(Switch(2, 20)))},
                                            {"u1", Initial(Row(Switch(1, 10)))},
                                            {"u2", Initial(Row(Switch(2, 21)))},
                                            {"u3", Object({{"initial", Row(Switch(3, 30))},
                                                           {"initial", Row(Switch(3, 31))}})}})}}),
         true, "", 3, 0, 0},
        {"a repeated table: the last counts",
         Object({{"LOG_SWITCH_CONFIG", "[1]"},
                 {"LOG_SWITCH_CONFIG", Object({{"u1", Initial(Row(Switch(1, 10)))}})}}),
         true, "", 1, 0, 0},
        {"nothing", "{}", true, "", 0, 0, 0},
        {"an empty table", Object({{"LOG_SWITCH_CONFIG", "{}"}}), true, "", 0, 0, 0},
        {"a row update of another kind",
         Object({{"LOG_SWITCH_CONFIG",
                  Object({{"u1", Initial(Row(Switch(1, 10)))}, {"u2", R"({"insert":{}})"}})}}),
         true, "row update u2 has unknown kind insert", 0, 0, 0},
        {"a row update of two members",
         Object({{"LOG_SWITCH_CONFIG",
                  Object({{"u1", Object({{"initial", Row(Switch(1, 10))}, {"modify", "{}"}})}})}}),
         true, "row update u1 is malformed", 0, 0, 0},
        {"a row update of no member", Object({{"LOG_SWITCH_CONFIG", Object({{"u1", "{}"}})}}), true,
         "row update u1 is malformed", 0, 0, 0},
        {"a row update that is no object",
         Object({{"LOG_SWITCH_CONFIG",
                  Object({{"u1", Initial(Row(Switch(1, 10)))}, {"u2", R"(["initial",{}])"}})}}),
         true, "row update u2 is malformed", 0, 0, 0},
        {"a row update that is a number", Object({{"LOG_SWITCH_CONFIG", Object({{"u2", "5"}})}}),
         true, "row update u2 is malformed", 0, 0, 0},
        {"a table that is no object",
         Object({{"LOG_SWITCH_CONFIG", Object({{"u1", Initial(Row(Switch(1, 10)))}})},
                 {"LOG_SWITCH_FIB", R"([{"f1":{}}])"}}),
         true, "updates of table LOG_SWITCH_FIB are not an object", 0, 0, 0},
        {"a table that is a string", Object({{"LOG_SWITCH_FIB", R"("x")"}}), true,
         "updates of table LOG_SWITCH_FIB are not an object", 0, 0, 0},
        {"faults in two tables: the first table by name is named",
         Object({{"LOG_SWITCH_FIB", "3"},
                 {"LOG_SWITCH_CONFIG", Object({{"u1", R"({"delete":null})"}})}}),
         true, "row update u1 has unknown kind delete", 0, 0, 0},
        {"faults in one table: the first row by uuid is named",
         Object({{"LOG_SWITCH_CONFIG", Object({{"u2", "{}"}, {"u1", R"({"modify":{}})"}})}}), true,
         "row update u1 has unknown kind modify", 0, 0, 0},
        {"table updates that are no object", R"([{"LOG_SWITCH_CONFIG":{}}])", false,
         "table updates are not an object", 0, 0, 0},
    };
}

// Every reply, its id before or after its result, applied in full or by difference: the collected
// reply gives what the parsed reply gives, and a refused one changes nothing.
TEST(MonitorReplyStreamTest, AppliesAsTheParsedReplyDoes) {
    for (const ReplyCase& c : ReplyCases()) {
        for (bool idFirst : {true, false}) {
            for (bool full : {true, false}) {
                SCOPED_TRACE(std::string(c.name) + (idFirst ? ", id first" : ", id last") +
                             (full ? ", in full" : ", by difference"));
                const std::string message = Reply(c.result, idFirst);
                const Outcome want = Apply(message, false, full);
                const Outcome got = Apply(message, true, full);
                EXPECT_EQ(want.ok, c.error.empty());
                EXPECT_EQ(want.error, c.error);
                if (full) {
                    EXPECT_EQ(want.updates.size(), c.sets);
                }
                EXPECT_EQ(Count(want.logs, "errorCode:LCP03005"), c.skipped);
                EXPECT_EQ(Count(want.logs, "errorCode:LCP03004"), c.unknown);
                EXPECT_EQ(got.ok, want.ok);
                EXPECT_EQ(got.error, want.error);
                EXPECT_EQ(got.updates, want.updates);
                EXPECT_EQ(got.logs, want.logs);
                EXPECT_EQ(got.rows, want.rows);
                EXPECT_EQ(got.bytes, want.bytes);
                EXPECT_EQ(got.held, want.held);
                if (!c.error.empty()) {
                    // Refused whole: the rows held before stay, nothing is delivered.
                    EXPECT_TRUE(got.updates.empty());
                    EXPECT_EQ(got.rows, 2u);
                    EXPECT_EQ(got.held.size(), 2u);
                }
            }
        }
    }
}

// The rows of the reply, decoded, in uuid order per table; a row that does not decode keeps why.
TEST(MonitorReplyStreamTest, CollectsEachRowDecoded) {
    MonitorReplyStream stream;
    MonitorReplyStream* taker = nullptr;
    const std::string result = Object(
        {{"LOG_SWITCH_CONFIG",
          Object({{"u2", Initial(Row(Switch(2, 20)))}, {"u1", Initial(R"({"vdb":"one"})")}})},
         {"LOG_SWITCH_FIB", "7"}});
    MonitorReplyStream::ParseMessage(
        Reply(result, true), [&](const json&) { return &stream; }, &taker);
    ASSERT_EQ(taker, &stream);
    ASSERT_EQ(stream.tables().size(), 2u);
    const MonitorReplyStream::Table& t = stream.tables().at("LOG_SWITCH_CONFIG");
    ASSERT_TRUE(t.isObject);
    ASSERT_EQ(t.rows.size(), 2u);
    EXPECT_EQ(t.rows[0].uuid, "u1");
    EXPECT_FALSE(t.rows[0].decoded);
    EXPECT_EQ(t.rows[0].why, "column vdb is not an integer");
    EXPECT_EQ(t.rows[1].uuid, "u2");
    EXPECT_EQ(t.rows[1].kind, "initial");
    ASSERT_TRUE(t.rows[1].decoded);
    EXPECT_EQ(t.rows[1].columns.oid(), OidOf(Switch(2, 20)));
    EXPECT_EQ(t.rows[1].columns.body(), Switch(2, 20).SerializeAsString());
    EXPECT_FALSE(stream.tables().at("LOG_SWITCH_FIB").isObject);
    stream.Clear();
    EXPECT_FALSE(stream.Taken());
    EXPECT_TRUE(stream.tables().empty());
}

// Messages whose result the stream does not take come back as json::parse gives them, and leave
// the stream as it was.
TEST(MonitorReplyStreamTest, OtherMessagesParseAsBefore) {
    const std::string rows = Object({{"LOG_SWITCH_CONFIG", Object({{"u1", "{}"}})}});
    struct Case {
        const char* name;
        std::string text;
        bool taken;
    };
    const Case cases[] = {
        {"a reply to another request", Reply(rows, true, 8), false},
        {"a reply with its id last", Reply(rows, false), false},
        {"a reply whose result is no object", Reply("[1,2]", true), false},
        {"a reply with an error", R"({"id":7,"result":null,"error":{"e":"x"}})", false},
        {"a notification", R"({"id":null,"method":"update2","params":["m",{"T":{"u":{}}}]})",
         false},
        {"a result repeated with no object",
         R"({"id":7,"result":)" + rows + R"(,"result":null,"error":null})", false},
        {"a result repeated with an object",
         R"({"id":7,"result":[1],"result":)" + rows + R"(,"error":null})", true},
        {"a reply in an array", "[" + Reply(rows, true) + "]", false},
        {"the id in an array", R"({"id":[7],"result":)" + rows + "}", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MonitorReplyStream stream;
        MonitorReplyStream* taker = nullptr;
        json msg = MonitorReplyStream::ParseMessage(
            c.text, [&](const json& id) { return id == json(kMonitorId) ? &stream : nullptr; },
            &taker);
        json want = json::parse(c.text);
        EXPECT_EQ(taker != nullptr, c.taken);
        EXPECT_EQ(stream.Taken(), c.taken);
        if (c.taken) {
            EXPECT_TRUE(msg["result"].is_null());
            EXPECT_EQ(stream.tables().at("LOG_SWITCH_CONFIG").rows.at(0).uuid, "u1");
            want["result"] = nullptr;
        }
        EXPECT_EQ(msg, want);
    }
}

// A message that does not parse throws as json::parse throws, and its stream keeps nothing.
TEST(MonitorReplyStreamTest, ABrokenMessageThrowsAndLeavesNothing) {
    const std::string texts[] = {
        R"({"id":7,"result":{"LOG_SWITCH_CONFIG":{"u1":{"initial":{"oid":)",
        R"({"id":7,"result":{"LOG_SWITCH_CONFIG":{}}} trailing)",
        R"({"id":7,"result":{"LOG_SWITCH_CONFIG":{"u1":{"initial":{}}})",
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        MonitorReplyStream stream;
        MonitorReplyStream* taker = &stream;
        EXPECT_THROW(json::parse(text), json::parse_error);
        EXPECT_THROW(MonitorReplyStream::ParseMessage(
                         text, [&](const json&) { return &stream; }, &taker),
                     json::parse_error);
        EXPECT_FALSE(stream.Taken());
        EXPECT_TRUE(stream.tables().empty());
    }
}

}  // namespace
}  // namespace CfgAgent::test
