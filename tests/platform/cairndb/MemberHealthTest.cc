// The `_Server` rows the client reacts to: which members it uses, which it leaves and why.
#include "platform/cairndb/MemberHealth.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace ozy::cairndb {
namespace {

using nlohmann::json;

const char* const kRow = "00000000-0000-0000-0000-0000000000d1";
const char* const kCid = "11111111-0000-0000-0000-000000000001";
const char* const kOtherCid = "22222222-0000-0000-0000-000000000002";

// The monitor reply (or notification) of one row operation on the cairndb row.
json Updates(const std::string& op, json row) {
    return {{"Database", {{kRow, {{op, std::move(row)}}}}}};
}

json Member(bool connected, bool leader, json index, json cid = json::array({"uuid", kCid})) {
    return {{"name", "cairndb"},
            {"model", "clustered"},
            {"connected", connected},
            {"leader", leader},
            {"index", index},
            {"cid", cid},
            {"sid", json::array({"uuid", "33333333-0000-0000-0000-000000000003"})}};
}

struct RowCase {
    const char* name;
    json updates;
    bool usable;
    const char* role;
    const char* why;  // part of the reason when not usable
};

class MemberHealthRowTest : public ::testing::TestWithParam<RowCase> {};

TEST_P(MemberHealthRowTest, TheFirstReportDecidesWhetherTheMemberIsUsed) {
    const RowCase& c = GetParam();
    MemberHealth h("cairndb");
    std::string why;
    ASSERT_TRUE(h.Apply(c.updates, &why)) << why;
    EXPECT_EQ(h.Usable(&why), c.usable);
    EXPECT_EQ(h.Role(), c.role);
    if (!c.usable) {
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MemberHealthRowTest,
    ::testing::Values(
        RowCase{"Leader", Updates("initial", Member(true, true, 12)), true, "leader", ""},
        RowCase{"Follower", Updates("initial", Member(true, false, 12)), true, "follower", ""},
        RowCase{"CutOff", Updates("initial", Member(false, false, 12)), false, "disconnected",
                "cairndb not connected to its cluster"},
        // Joining: no cluster id and no index yet.
        RowCase{"NotYetJoined",
                Updates("initial", Member(false, false, json::array({"set", json::array()}),
                                          json::array({"set", json::array()}))),
                false, "disconnected", "not connected"},
        RowCase{"Standalone",
                Updates("initial", {{"name", "cairndb"},
                                    {"model", "standalone"},
                                    {"connected", true},
                                    {"leader", true},
                                    {"index", json::array({"set", json::array()})}}),
                true, "standalone", ""},
        RowCase{"NoRow", json::object(), true, "unknown", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MemberHealthTest, ModifiesCarryBooleansWholeAndTheIndexAsASetDifference) {
    MemberHealth h("cairndb");
    std::string why;
    ASSERT_TRUE(h.Apply(Updates("initial", Member(true, false, 4)), &why)) << why;
    ASSERT_TRUE(h.Apply(
        Updates("modify", {{"index", json::array({"set", json::array({4, 9})})}, {"leader", true}}),
        &why))
        << why;
    EXPECT_EQ(h.index(), 9);
    // As ovsdb-server sends a changed index: the new value alone.
    ASSERT_TRUE(h.Apply(Updates("modify", {{"index", 11}}), &why)) << why;
    EXPECT_EQ(h.index(), 11);
    EXPECT_EQ(h.Role(), "leader");
    EXPECT_NE(h.Describe().find("index 11"), std::string::npos) << h.Describe();
    ASSERT_TRUE(h.Apply(Updates("modify", {{"connected", false}}), &why)) << why;
    EXPECT_FALSE(h.Usable(&why));
    EXPECT_EQ(h.Role(), "disconnected");
    ASSERT_TRUE(h.Apply(Updates("delete", nullptr), &why)) << why;
    EXPECT_EQ(h.Role(), "unknown");
    EXPECT_FALSE(h.known());
}

TEST(MemberHealthTest, AMemberBehindWhatWasSeenOfTheSameClusterIsLeft) {
    MemberHealth h("cairndb");
    std::string why;
    ASSERT_TRUE(h.Apply(Updates("initial", Member(true, true, 20)), &why));
    ASSERT_TRUE(h.Usable(&why));
    h.Use();
    // Later reports of the member in use raise the bar.
    ASSERT_TRUE(
        h.Apply(Updates("modify", {{"index", json::array({"set", json::array({20, 25})})}}), &why));
    h.Use();

    h.NewSession();
    ASSERT_TRUE(h.Apply(Updates("initial", Member(true, false, 22)), &why));
    EXPECT_FALSE(h.Usable(&why));
    EXPECT_NE(why.find("behind (index 22, already seen 25)"), std::string::npos) << why;

    h.NewSession();
    ASSERT_TRUE(h.Apply(Updates("initial", Member(true, false, 25)), &why));
    EXPECT_TRUE(h.Usable(&why));

    // A cluster created anew starts its index again.
    h.NewSession();
    ASSERT_TRUE(h.Apply(
        Updates("initial", Member(true, false, 3, json::array({"uuid", kOtherCid}))), &why));
    EXPECT_TRUE(h.Usable(&why));
}

TEST(MemberHealthTest, MalformedReportsAreRefusedAndTheLastStateKept) {
    const json bad[] = {
        json::array(),
        Updates("initial", Member(true, true, "twelve")),
        Updates("initial", Member(true, true, -1)),
        Updates("initial",
                [] {
                    json row = Member(true, true, 12);
                    row["connected"] = "yes";
                    return row;
                }()),
        Updates("initial", Member(true, true, 12, json::array({"uuid", 7}))),
        Updates("initial", {{"name", "other"}}),
        Updates("upsert", Member(true, true, 12)),
        Updates("modify", json::array()),
        // A difference that leaves two values in an optional column.
        Updates("modify", {{"index", json::array({"set", json::array({13, 14})})}}),
        {{"Database", {{kRow, {{"initial", Member(true, true, 1)}, {"delete", nullptr}}}}}},
        {{"Database",
          {{"00000000-0000-0000-0000-0000000000ff", {{"modify", {{"leader", true}}}}}}}},
    };
    for (const auto& updates : bad) {
        MemberHealth h("cairndb");
        std::string why;
        ASSERT_TRUE(h.Apply(Updates("initial", Member(true, false, 12)), &why)) << why;
        why.clear();
        EXPECT_FALSE(h.Apply(updates, &why)) << updates.dump();
        EXPECT_FALSE(why.empty()) << updates.dump();
        EXPECT_EQ(h.Role(), "follower") << updates.dump();
        EXPECT_EQ(h.index(), 12) << updates.dump();
    }
}

TEST(MemberHealthTest, TheMonitorAsksForTheDatabaseRowOnly) {
    json req = MemberHealth("cairndb").MonitorRequests();
    EXPECT_EQ(req["Database"][0]["where"], json::parse(R"([["name","==","cairndb"]])"));
    for (const char* column : {"connected", "leader", "index", "cid", "model"}) {
        EXPECT_NE(std::find(req["Database"][0]["columns"].begin(),
                            req["Database"][0]["columns"].end(), column),
                  req["Database"][0]["columns"].end())
            << column;
    }
}

}  // namespace
}  // namespace ozy::cairndb
