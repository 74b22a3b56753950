// A monitor's replica: initial contents, inserts, modifies, deletes, resynchronisation by
// difference, select templates, and refusal of malformed notifications.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/cairndb/Base64.h"
#include "platform/cairndb/MonitorReplica.h"
#include "tests/platform/cairndb/ClientTestSupport.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

using nlohmann::json;
using ozy::cairndb::Base64Encode;
using ozy::cairndb::MonitorReplica;
using ozy::cairndb::MonitorStatement;

json RowOf(const google::protobuf::Message& body, const std::string& oid = "o") {
    return {{"oid", oid}, {"vdb", 1}, {"body", Base64Encode(body.SerializeAsString())}};
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
    explicitOp.mutable_op()->set_op(pb::UPDATE);
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

TEST_F(MonitorReplicaTest, ABadTraceIsDroppedButTheRowKept) {
    auto u = Update({{"LOG_SWITCH_CONFIG",
                      {{"u",
                        {{"insert",
                          {{"oid", "o"},
                           {"vdb", 1},
                           {"body", RowOf(Switch(1, 1))["body"]},
                           {"trace", Base64Encode("\xff\xff")}}}}}}}});
    ASSERT_EQ(u.size(), 1u);
    EXPECT_FALSE(u[0].has_span_context());
    EXPECT_TRUE(logs_.ContainsWithCode("not a SpanContextMsg", "LCP03006"));
}

}  // namespace
}  // namespace CfgAgent::test
