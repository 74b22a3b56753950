// A monitor's replica: initial contents, inserts, modifies, deletes, resynchronisation by
// difference, select templates, and refusal of malformed notifications.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/cairndb/Base64.h"
#include "platform/cairndb/MonitorReplica.h"
#include "runtime/MemoryAccounts.h"
#include "tests/platform/cairndb/ClientTestSupport.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

using nlohmann::json;
using ozy::cairndb::Base64Encode;
using ozy::cairndb::MonitorReplica;
using ozy::cairndb::MonitorStatement;

// A row as the server sends it; its oid names the body's id unless given.
json RowOf(const google::protobuf::Message& body, const std::string& oid = std::string()) {
    return {{"oid", oid.empty() ? OidOf(body) : oid},
            {"vdb", 1},
            {"body", Base64Encode(body.SerializeAsString())}};
}

class MonitorReplicaTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::map<int, MonitorStatement> st;
        st[pb::LOG_SWITCH_CONFIG] = MonitorStatement{pb::LOG_SWITCH_CONFIG, nullptr, true};
        auto tmpl = std::make_shared<pb::LogSwitchFibOpMsg>();
        tmpl->mutable_mac_entries()->set_op(pb::SELECT);
        st[pb::LOG_SWITCH_FIB] = MonitorStatement{pb::LOG_SWITCH_FIB, tmpl, false};
        replica_.SetStatements(st);
    }

    std::vector<pb::MonitorUpdateMsg> Initial(const json& j, bool full) {
        std::vector<pb::MonitorUpdateMsg> out;
        std::string error;
        EXPECT_TRUE(replica_.ApplyInitial(j, full, &out, &error)) << error;
        return out;
    }
    std::vector<pb::MonitorUpdateMsg> Update(const json& j) {
        std::vector<pb::MonitorUpdateMsg> out;
        std::string error;
        EXPECT_TRUE(replica_.ApplyUpdate(j, &out, &error)) << error;
        return out;
    }

    LogCapture logs_{kLogInfo};
    MonitorReplica replica_{1};
};

// A full resync with an early sink hands the SETs over in runs of kEarlyRun as they are made and
// leaves the last run in the output: the runs and the output are the updates without a sink, in
// order. A resync by difference gives the sink nothing.
TEST_F(MonitorReplicaTest, AFullResyncHandsItsSetsOverInRunsAsTheyAreMade) {
    constexpr size_t kRun = MonitorReplica::kEarlyRun;
    struct Case {
        size_t rows;
        bool full;
        size_t runs;
    };
    const Case cases[] = {
        {kRun - 1, true, 0}, {kRun, true, 1}, {2 * kRun + 3, true, 2}, {kRun + 1, false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.rows) + (c.full ? " full" : " by difference"));
        json rows = json::object();
        for (size_t i = 0; i < c.rows; ++i)
            rows["u" + std::to_string(i)] = {{"initial", RowOf(Switch(i + 1, 10))}};
        const json reply = {{"LOG_SWITCH_CONFIG", rows}};
        MonitorReplica plain(1);
        plain.SetStatements(replica_.statements());
        MonitorReplica streamed(1);
        streamed.SetStatements(replica_.statements());
        std::vector<pb::MonitorUpdateMsg> expected;
        std::vector<pb::MonitorUpdateMsg> got;
        std::string error;
        if (!c.full) {
            // Something to differ from: the first row held before.
            json first = {{"LOG_SWITCH_CONFIG", {{"u0", rows["u0"]}}}};
            ASSERT_TRUE(plain.ApplyInitial(first, true, &expected, &error));
            ASSERT_TRUE(streamed.ApplyInitial(first, true, &got, &error));
            expected.clear();
            got.clear();
        }
        ASSERT_TRUE(plain.ApplyInitial(reply, c.full, &expected, &error)) << error;
        size_t runs = 0;
        auto sink = [&](std::vector<pb::MonitorUpdateMsg>* run) {
            EXPECT_EQ(run->size(), kRun);
            ++runs;
            for (auto& u : *run)
                got.push_back(std::move(u));
        };
        std::vector<pb::MonitorUpdateMsg> rest;
        ASSERT_TRUE(streamed.ApplyInitial(reply, c.full, &rest, &error, sink)) << error;
        EXPECT_EQ(runs, c.runs);
        EXPECT_EQ(rest.size(), expected.size() - runs * kRun);
        for (auto& u : rest)
            got.push_back(std::move(u));
        ASSERT_EQ(got.size(), expected.size());
        for (size_t i = 0; i < got.size(); ++i)
            ASSERT_EQ(got[i].SerializeAsString(), expected[i].SerializeAsString()) << i;
        EXPECT_EQ(streamed.RowCount(), c.rows);
    }
}

TEST_F(MonitorReplicaTest, RequestsEveryTableWithTheVdbCondition) {
    json req = replica_.MonitorRequests();
    ASSERT_EQ(req.size(), 2u);
    EXPECT_EQ(req["LOG_SWITCH_CONFIG"][0]["where"], json::parse(R"([["vdb","==",1]])"));
    EXPECT_TRUE(req.contains("LOG_SWITCH_FIB"));
}

TEST_F(MonitorReplicaTest, InsertModifyDeleteCarryDerivedOpsAndOldBodies) {
    auto sw = Switch(1, 10);
    auto u = Initial({{"LOG_SWITCH_CONFIG", {{"u1", {{"initial", RowOf(sw)}}}}}}, true);
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(replica_.RowCount(), 1u);

    auto sw2 = Switch(1, 11);
    u = Update({{"LOG_SWITCH_CONFIG", {{"u1", {{"modify", {{"body", RowOf(sw2)["body"]}}}}}}}});
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].old_object_body(), sw.SerializeAsString());
    EXPECT_EQ(u[0].object_body(), sw2.SerializeAsString());
    pb::LogSwitchConfigOpMsg op;
    ASSERT_TRUE(op.ParseFromString(u[0].op_msg()));
    EXPECT_EQ(op.vni().op(), pb::SET);
    EXPECT_EQ(op.switch_name().op(), pb::INVALID);

    // Only the trace changed: nothing a reader could act on.
    pb::SpanContextMsg span;
    span.set_span_id(5);
    u = Update({{"LOG_SWITCH_CONFIG",
                 {{"u1", {{"modify", {{"trace", Base64Encode(span.SerializeAsString())}}}}}}}});
    EXPECT_TRUE(u.empty());

    // An explicit op column is passed on as it is.
    pb::LogSwitchConfigOpMsg explicitOp;
    explicitOp.mutable_op()->set_op(pb::SET);
    explicitOp.mutable_vni()->set_op(pb::UPDATE);
    auto sw3 = Switch(1, 12);
    u = Update({{"LOG_SWITCH_CONFIG",
                 {{"u1",
                   {{"modify",
                     {{"body", RowOf(sw3)["body"]},
                      {"op", Base64Encode(explicitOp.SerializeAsString())}}}}}}}});
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].op_msg(), explicitOp.SerializeAsString());
    EXPECT_EQ(u[0].span_context().span_id(), 5u);  // the row's trace stays with it

    u = Update({{"LOG_SWITCH_CONFIG", {{"u1", {{"delete", nullptr}}}}}});
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].old_object_body(), sw3.SerializeAsString());
    ASSERT_TRUE(op.ParseFromString(u[0].op_msg()));
    EXPECT_EQ(op.op().op(), pb::CLEAR);
    EXPECT_EQ(replica_.RowCount(), 0u);
}

TEST_F(MonitorReplicaTest, ResynchronisationByDifferenceAndInFull) {
    auto a = Switch(1, 1);
    auto b = Switch(2, 2);
    Initial(
        {{"LOG_SWITCH_CONFIG", {{"ua", {{"initial", RowOf(a)}}}, {"ub", {{"initial", RowOf(b)}}}}}},
        true);
    auto a2 = Switch(1, 100);
    auto c = Switch(3, 3);
    json snapshot = {
        {"LOG_SWITCH_CONFIG", {{"ua", {{"initial", RowOf(a2)}}}, {"uc", {{"initial", RowOf(c)}}}}}};
    auto u = Initial(snapshot, false);
    ASSERT_EQ(u.size(), 3u);
    int sets = 0, clears = 0;
    for (const auto& x : u) {
        pb::LogSwitchConfigOpMsg op;
        ASSERT_TRUE(op.ParseFromString(x.op_msg()));
        if (op.op().op() == pb::CLEAR) {
            ++clears;
            EXPECT_EQ(x.old_object_body(), b.SerializeAsString());
        } else {
            ++sets;
        }
    }
    EXPECT_EQ(sets, 2);
    EXPECT_EQ(clears, 1);
    // In full: everything again, as inserts.
    u = Initial(snapshot, true);
    ASSERT_EQ(u.size(), 2u);
    for (const auto& x : u)
        EXPECT_TRUE(x.old_object_body().empty());
}

TEST_F(MonitorReplicaTest, SelectTemplateFiltersModifiesOnly) {
    auto fib = SwitchFib(1, {1});
    auto u = Update({{"LOG_SWITCH_FIB", {{"f", {{"insert", RowOf(fib)}}}}}});
    EXPECT_EQ(u.size(), 1u);
    auto fib2 = fib;
    fib2.add_vtep_entries()->set_label(3);  // not selected
    EXPECT_TRUE(Update({{"LOG_SWITCH_FIB", {{"f", {{"modify", {{"body", RowOf(fib2)["body"]}}}}}}}})
                    .empty());
    auto fib3 = SwitchFib(1, {1, 2});
    EXPECT_EQ(
        Update({{"LOG_SWITCH_FIB", {{"f", {{"modify", {{"body", RowOf(fib3)["body"]}}}}}}}}).size(),
        1u);
    EXPECT_EQ(Update({{"LOG_SWITCH_FIB", {{"f", {{"delete", nullptr}}}}}}).size(), 1u);
}

TEST_F(MonitorReplicaTest, MalformedNotificationsChangeNothing) {
    Initial({{"LOG_SWITCH_CONFIG", {{"ua", {{"initial", RowOf(Switch(1, 1))}}}}}}, true);
    std::vector<pb::MonitorUpdateMsg> out;
    std::string error;
    for (const json& bad :
         {json(5), json::parse(R"({"LOG_SWITCH_CONFIG":[1]})"),
          json::parse(R"({"LOG_SWITCH_CONFIG":{"ua":{"delete":null,"insert":{}}}})"),
          json::parse(
              R"({"LOG_SWITCH_CONFIG":{"ub":{"insert":{}},"ua":{"delete":null},"uc":7}})")}) {
        EXPECT_FALSE(replica_.ApplyUpdate(bad, &out, &error)) << bad.dump();
        EXPECT_FALSE(error.empty());
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(replica_.RowCount(), 1u);
    }
    EXPECT_FALSE(replica_.ApplyInitial(json::parse(R"({"LOG_SWITCH_CONFIG":{"u":{"insert":{}}}})"),
                                       true, &out, &error));
    EXPECT_EQ(replica_.RowCount(), 1u);
}

TEST_F(MonitorReplicaTest, AnOpColumnLeftByAnEarlierWriteIsNotPassedOn) {
    // A row last written by a list patch: its op column names entries of that write.
    pb::LogSwitchFibOpMsg stale;
    stale.mutable_mac_entries()->set_op(pb::APPEND);
    stale.mutable_mac_entries()->add_entries()->set_index(1);
    auto fib = SwitchFib(1, {1, 2});
    json row = RowOf(fib);
    row["op"] = Base64Encode(stale.SerializeAsString());
    auto u = Initial({{"LOG_SWITCH_FIB", {{"f", {{"initial", row}}}}}}, true);
    ASSERT_EQ(u.size(), 1u);
    pb::LogSwitchFibOpMsg op;
    ASSERT_TRUE(op.ParseFromString(u[0].op_msg()));
    EXPECT_EQ(op.mac_entries().op(), pb::SET);  // a whole object, derived
    EXPECT_EQ(op.mac_entries().entries_size(), 0);

    // A modify that does not write the op column is derived too.
    auto fib2 = SwitchFib(1, {1, 2, 3});
    u = Update({{"LOG_SWITCH_FIB", {{"f", {{"modify", {{"body", RowOf(fib2)["body"]}}}}}}}});
    ASSERT_EQ(u.size(), 1u);
    ASSERT_TRUE(op.ParseFromString(u[0].op_msg()));
    EXPECT_EQ(op.mac_entries().op(), pb::SET);
    EXPECT_EQ(op.mac_entries().entries_size(), 0);
}

TEST_F(MonitorReplicaTest, AModifyOfARowNeverReceivedIsRefused) {
    pb::SpanContextMsg span;
    span.set_span_id(5);
    EXPECT_TRUE(Update({{"LOG_SWITCH_CONFIG",
                         {{"u7", {{"modify", {{"trace", Base64Encode(span.SerializeAsString())}}}}}}}})
                    .empty());
    EXPECT_TRUE(logs_.ContainsWithCode(
        "CairnDbClient: skipping LOG_SWITCH_CONFIG row u7: modify of a row never received",
        "LCP03005"));
}

TEST_F(MonitorReplicaTest, ABadTraceIsDroppedButTheRowKept) {
    auto u = Update({{"LOG_SWITCH_CONFIG",
                      {{"u",
                        {{"insert",
                          {{"oid", OidOf(Switch(1, 1))},
                           {"vdb", 1},
                           {"body", RowOf(Switch(1, 1))["body"]},
                           {"trace", Base64Encode("\xff\xff")}}}}}}}});
    ASSERT_EQ(u.size(), 1u);
    EXPECT_FALSE(u[0].has_span_context());
    EXPECT_TRUE(logs_.ContainsWithCode("not a SpanContextMsg", "LCP03006"));
}

// The object operation of an update: SET or CLEAR.
int ObjectOp(const pb::MonitorUpdateMsg& u) {
    pb::LogSwitchConfigOpMsg op;
    EXPECT_TRUE(op.ParseFromString(u.op_msg()));
    return op.op().op();
}

TEST_F(MonitorReplicaTest, RemovalsComeBeforeInsertionsWithinOneNotification) {
    // Row "u9" holds switch 1; one transaction deletes it and inserts switch 1 again under row
    // "u1", which sorts first. Readers must end with the switch present.
    auto old = Switch(1, 1);
    Initial({{"LOG_SWITCH_CONFIG", {{"u9", {{"initial", RowOf(old)}}}}}}, true);
    auto again = Switch(1, 2);
    auto other = Switch(5, 5);
    auto u = Update({{"LOG_SWITCH_CONFIG",
                      {{"u0", {{"insert", RowOf(other)}}},
                       {"u1", {{"insert", RowOf(again)}}},
                       {"u9", {{"delete", nullptr}}}}}});
    ASSERT_EQ(u.size(), 3u);
    EXPECT_EQ(ObjectOp(u[0]), pb::CLEAR);
    EXPECT_EQ(u[0].old_object_body(), old.SerializeAsString());
    EXPECT_EQ(ObjectOp(u[1]), pb::SET);
    EXPECT_EQ(u[1].object_body(), other.SerializeAsString());
    EXPECT_EQ(ObjectOp(u[2]), pb::SET);
    EXPECT_EQ(u[2].object_body(), again.SerializeAsString());
    EXPECT_TRUE(u[2].old_object_body().empty());

    // A row that changes identity: the old object goes first, then the new one comes.
    auto moved = Switch(7, 7);
    u = Update({{"LOG_SWITCH_CONFIG",
                 {{"u1", {{"modify", {{"oid", OidOf(moved)}, {"body", RowOf(moved)["body"]}}}}}}}});
    ASSERT_EQ(u.size(), 2u);
    EXPECT_EQ(ObjectOp(u[0]), pb::CLEAR);
    EXPECT_EQ(u[0].old_object_body(), again.SerializeAsString());
    EXPECT_EQ(ObjectOp(u[1]), pb::SET);
    EXPECT_TRUE(u[1].old_object_body().empty());

    // The same order when the statements change and the difference is delivered.
    json snapshot = {
        {"LOG_SWITCH_CONFIG",
         {{"u0", {{"initial", RowOf(other)}}}, {"u2", {{"initial", RowOf(Switch(7, 8))}}}}}};
    u = Initial(snapshot, false);
    ASSERT_EQ(u.size(), 2u);
    EXPECT_EQ(ObjectOp(u[0]), pb::CLEAR);
    EXPECT_EQ(ObjectOp(u[1]), pb::SET);
}

// `body` followed by a length-delimited field 1000, which no schema message has, of `bytes` bytes.
std::string WithUnknownField(const std::string& body, size_t bytes) {
    std::string out = body;
    auto varint = [&out](uint64_t v) {
        while (v >= 0x80) {
            out.push_back(static_cast<char>((v & 0x7f) | 0x80));
            v >>= 7;
        }
        out.push_back(static_cast<char>(v));
    };
    varint((1000u << 3) | 2u);
    varint(bytes);
    out.append(bytes, 'x');
    return out;
}

// A valid object padded with fields the schema does not know is kept and passed on without them;
// a row larger than the limit is refused and leaves readers with what they had.
TEST_F(MonitorReplicaTest, UnknownFieldsAreDroppedAndOversizedRowsRefused) {
    auto sw = Switch(2, 7);
    json padded = RowOf(sw);
    padded["body"] = Base64Encode(WithUnknownField(sw.SerializeAsString(), 1 << 20));
    auto u = Update({{"LOG_SWITCH_CONFIG", {{"u2", {{"insert", padded}}}}}});
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].object_body(), sw.SerializeAsString());
    // What the replica keeps is the object alone: the next change's old body shows it.
    auto sw2 = Switch(2, 8);
    u = Update({{"LOG_SWITCH_CONFIG", {{"u2", {{"modify", {{"body", RowOf(sw2)["body"]}}}}}}}});
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].old_object_body(), sw.SerializeAsString());

    json huge = RowOf(Switch(2, 9));
    huge["body"] = Base64Encode(
        WithUnknownField(Switch(2, 9).SerializeAsString(), MonitorReplica::kMaxColumnBytes));
    EXPECT_TRUE(Update({{"LOG_SWITCH_CONFIG", {{"u2", {{"modify", huge}}}}}}).empty());
    EXPECT_TRUE(logs_.ContainsWithCode(
        "CairnDbClient: skipping LOG_SWITCH_CONFIG row u2: column body of ", "LCP03005"));
    EXPECT_TRUE(logs_.Contains("bytes is over the limit of 8388608")) << logs_.Dump();
    EXPECT_TRUE(Update({{"LOG_SWITCH_CONFIG", {{"u3", {{"insert", huge}}}}}}).empty());
    // Readers still hold the last good body.
    u = Update({{"LOG_SWITCH_CONFIG", {{"u2", {{"delete", nullptr}}}}}});
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].old_object_body(), sw2.SerializeAsString());
}

// What a replica row costs beside its body, by the allocator's own count (the notification, its
// updates and the scratch messages excluded): one node and the row's columns in one block, and an
// account that follows it. A name keeps the switches' bodies long enough to dwarf rounding.
TEST_F(MonitorReplicaTest, ARowCostsLittleBesideItsBodyAndTheAccountFollowsIt) {
    constexpr uint64_t kRows = 5000;
    json rows = json::object();
    size_t bodies = 0;
    for (uint64_t n = 1; n <= kRows; ++n) {
        auto sw = Switch(n, static_cast<uint32_t>(n));
        sw.set_switch_name(std::string(200, 'n'));
        bodies += sw.ByteSizeLong();
        char uuid[40];
        std::snprintf(uuid, sizeof uuid, "5a1d0000-0000-4000-8000-%012llx",
                      static_cast<unsigned long long>(n));
        rows[uuid] = {{"initial", RowOf(sw)}};
    }
    json initial = {{"LOG_SWITCH_CONFIG", std::move(rows)}};
    // Scratch messages and hash buckets reach their size on a first pass.
    Initial(initial, true);
    replica_.Clear();
    const size_t before = ozy::ReadAllocatorStats().inUse;
    EXPECT_EQ(Initial(initial, true).size(), kRows);
    const size_t held = ozy::ReadAllocatorStats().inUse - before;
    ASSERT_GT(held, bodies);
    EXPECT_LT(held - bodies, kRows * 240) << "per row " << (held - bodies) / kRows;
    EXPECT_GT(replica_.Bytes(), held * 3 / 4);
    EXPECT_LT(replica_.Bytes(), held * 3 / 2);
}

// A row the replica refuses: how it is written, and what the log names.
struct RefusedRow {
    const char* name;
    std::function<json()> row;
    const char* why;
    int level;
};

void PrintTo(const RefusedRow& r, std::ostream* os) {
    *os << r.name;
}

std::string OpColumn(int code) {
    pb::LogSwitchConfigOpMsg op;
    op.mutable_op()->set_op(static_cast<pb::PBOpType>(code));
    return Base64Encode(op.SerializeAsString());
}

const RefusedRow kRefusedRows[] = {
    // A stray row: its body carries switch 1's id under switch 2's oid.
    {"StrayOid", [] { return RowOf(Switch(1, 99), OidOf(Switch(2, 2))); },
     "oid 11112222-3333-4444-0000-000000000002 but its body has id "
     "11112222-3333-4444-0000-000000000001",
     kLogError},
    {"BodyWithoutId",
     [] {
         pb::LogSwitchConfigMsg m;
         m.set_vni(5);
         return RowOf(m, OidOf(Switch(2, 2)));
     },
     "body has no id", kLogError},
    {"UnknownOpCode",
     [] {
         json r = RowOf(Switch(2, 2));
         r["op"] = OpColumn(42);
         return r;
     },
     "explicit op code 42 (UNKNOWN) is not SET", kLogWarn},
    {"OpCodeThatIsNoWrite",
     [] {
         json r = RowOf(Switch(2, 2));
         r["op"] = OpColumn(pb::REMOVE);
         return r;
     },
     "explicit op code 11 (REMOVE) is not SET", kLogWarn},
};

class RefusedRowTest : public MonitorReplicaTest,
                       public ::testing::WithParamInterface<RefusedRow> {};

TEST_P(RefusedRowTest, IsLoggedOnceDeliversNothingAndItsDeletionNothing) {
    const RefusedRow& p = GetParam();
    auto sw1 = Switch(1, 1);
    Initial({{"LOG_SWITCH_CONFIG", {{"u1", {{"initial", RowOf(sw1)}}}}}}, true);
    EXPECT_TRUE(Update({{"LOG_SWITCH_CONFIG", {{"u2", {{"insert", p.row()}}}}}}).empty());
    ASSERT_EQ(logs_.Count(p.why), 1u) << logs_.Dump();
    EXPECT_TRUE(
        logs_.ContainsWithCode("CairnDbClient: skipping LOG_SWITCH_CONFIG row u2: ", "LCP03005"));
    for (const LogEntry& e : logs_.Entries()) {
        if (e.message.find(p.why) != std::string::npos) {
            EXPECT_EQ(e.level, p.level);
        }
    }
    // Its deletion removes nothing: switch 1 stays with its readers.
    EXPECT_TRUE(Update({{"LOG_SWITCH_CONFIG", {{"u2", {{"delete", nullptr}}}}}}).empty());

    // Delivered again at each full resynchronisation, it is reported the first time only.
    json snapshot = {
        {"LOG_SWITCH_CONFIG", {{"u1", {{"initial", RowOf(sw1)}}}, {"u2", {{"initial", p.row()}}}}}};
    // (Initial contents are whole objects, whatever op column a row keeps: only the body checks
    // apply there, and a row refused for its op alone is delivered.)
    const size_t delivered = p.level == kLogError ? 1 : 2;
    logs_.Clear();
    auto u = Initial(snapshot, true);
    ASSERT_EQ(u.size(), delivered);
    EXPECT_EQ(u[0].object_body(), sw1.SerializeAsString());
    u = Initial(snapshot, true);
    ASSERT_EQ(u.size(), delivered);
    EXPECT_EQ(logs_.Count(p.why), delivered == 1 ? 1u : 0u) << logs_.Dump();
}

TEST_P(RefusedRowTest, ARefusedChangeLeavesReadersWithWhatTheyHad) {
    const RefusedRow& p = GetParam();
    auto v1 = Switch(2, 1);
    Update({{"LOG_SWITCH_CONFIG", {{"u2", {{"insert", RowOf(v1)}}}}}});
    // The bad change: every column the case writes.
    json cols = p.row();
    cols.erase("vdb");
    EXPECT_TRUE(Update({{"LOG_SWITCH_CONFIG", {{"u2", {{"modify", cols}}}}}}).empty());
    EXPECT_EQ(logs_.Count(p.why), 1u) << logs_.Dump();
    // The next good change is the difference to what the readers hold, derived (the op column it
    // leaves in place described the refused change).
    auto v3 = Switch(2, 3);
    auto u = Update({{"LOG_SWITCH_CONFIG",
                      {{"u2", {{"modify", {{"oid", OidOf(v3)}, {"body", RowOf(v3)["body"]}}}}}}}});
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].old_object_body(), v1.SerializeAsString());
    EXPECT_EQ(u[0].object_body(), v3.SerializeAsString());
    EXPECT_EQ(ObjectOp(u[0]), pb::SET);
    u = Update({{"LOG_SWITCH_CONFIG", {{"u2", {{"delete", nullptr}}}}}});
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].old_object_body(), v3.SerializeAsString());
}

INSTANTIATE_TEST_SUITE_P(Rows, RefusedRowTest, ::testing::ValuesIn(kRefusedRows),
                         [](const ::testing::TestParamInfo<RefusedRow>& i) {
                             return std::string(i.param.name);
                         });

}  // namespace
}  // namespace CfgAgent::test
