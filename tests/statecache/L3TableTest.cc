#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "statecache/StateCacheL3Table.h"
#include "tests/statecache/Records.h"
#include "tests/support/LogLines.h"

namespace CfgAgent {
namespace {

using test::Id;
using test::Logged;
using test::Rec;
using test::Whole;
namespace pb = orvane::ozy::cairndb;

constexpr Operation kSet = Operation::OPERATION_ELEMENT_SET;
constexpr Operation kClear = Operation::OPERATION_ELEMENT_CLEAR;
constexpr Operation kDelete = Operation::OPERATION_DELETE;

CairnDBUpdateMsg Hop(uint64_t fib, uint32_t ip, Operation op = kSet) {
    pb::FibNextHopMsg m;
    m.mutable_ip()->set_ipv4(ip);
    return Rec(ObjectType::FIB, Id(fib), PropertyType::L3_FIB_NEXT_HOP, m.SerializeAsString(), op);
}

CairnDBUpdateMsg RouterId(uint64_t fib, uint64_t lr, Operation op = kSet) {
    return Rec(ObjectType::FIB, Id(fib), PropertyType::L3_FIB_ROUTER_ID, Id(lr), op);
}

CairnDBUpdateMsg Router(uint64_t id, bool withVdr = true) {
    pb::LogRouterConfigMsg m;
    *m.mutable_id() = test::Uuid(id);
    if (withVdr)
        m.set_vdr_id(static_cast<uint32_t>(id));
    m.set_name("lr");
    return Whole(ObjectType::LOG_ROUTER_CONFIG, Id(id), m.SerializeAsString());
}

// "Object <id><rest>", as the table logs its changes.
std::string Obj(uint64_t id, const std::string& rest) {
    return "Object " + IdText(Id(id)) + rest;
}

class L3TableTest : public ::testing::Test {
  protected:
    ozy::RefPtr<StateCacheL3Table> table = ozy::MakeRef<StateCacheL3Table>();
    test::LogCapture log{kLogDebug};
    test::L3Observer obs;

    void SetUp() override { ASSERT_TRUE(table->RegisterDesiredStateObserver(&obs)); }
    void TearDown() override { table->UnregisterDesiredStateObserver(&obs); }
    void Update(const CairnDBUpdateList& list, bool fullSync = false) {
        table->UpdateDesiredState(list, fullSync);
    }
    size_t Hops(uint64_t fib) {
        std::vector<std::string> v;
        table->GetProperty(ObjectType::FIB, Id(fib), PropertyType::L3_FIB_NEXT_HOP, &v);
        return v.size();
    }
};

TEST_F(L3TableTest, ListRecordsAppendOnceAndRemoveStrictly) {
    Update({Hop(1, 1)});
    Update({Hop(1, 1)});
    EXPECT_EQ(Hops(1), 1u);
    Update({Hop(1, 2)});
    EXPECT_EQ(Hops(1), 2u);
    Update({Hop(1, 3, kClear), Hop(1, 1, kClear)});
    EXPECT_TRUE(Logged(log, {Obj(1, " property L3_FIB_NEXT_HOP, value append"),
                             Obj(1,
                                 " property L3_FIB_NEXT_HOP value {\"ip\":\"0.0.0.1\"}, append "
                                 "existing entry"),
                             {"remove non-existing entry", "LCP00922"},
                             Obj(1, " property L3_FIB_NEXT_HOP, value remove")}));
    EXPECT_EQ(Hops(1), 1u);
    ASSERT_EQ(obs.calls.size(), 4u);
    ASSERT_EQ(obs.calls[3].records.size(), 1u);  // the rejected removal is left out
    EXPECT_EQ(obs.calls[3].records[0], Hop(1, 1, kClear));
}

TEST_F(L3TableTest, ScalarRecordsFollowTheChecks) {
    Update({Router(1)});
    Update({Router(1)});
    Update({Router(1, false)});
    Update({Whole(ObjectType::LOG_ROUTER_CONFIG, Id(2), "", kDelete)});
    Update({Whole(ObjectType::LOG_ROUTER_CONFIG, Id(1), "", kDelete)});
    EXPECT_TRUE(Logged(log, {Obj(1, " property INVALID_PROPERTY, value add"),
                             Obj(1, " property INVALID_PROPERTY, value not change"),
                             Obj(1, " property INVALID_PROPERTY, value update"),
                             Obj(2, " property INVALID_PROPERTY, delete non-existing entry"),
                             Obj(1, " property INVALID_PROPERTY, value delete")}));
    EXPECT_EQ(table->ValueCount(), 0u);

    // A list-built property is not a scalar: a scalar write to it is refused.
    Update({RouterId(5, 100), RouterId(5, 101), RouterId(5, 102, Operation::OPERATION_UPDATE)});
    pb::UuidMsg lr5;
    EXPECT_FALSE(table->QueryFibRouterId(Id(5), &lr5));
    Update({RouterId(6, 100, static_cast<Operation>(9))});
    EXPECT_TRUE(Logged(
        log, {{Obj(5, " property L3_FIB_ROUTER_ID, multi-existing entries found"), "LCP00919"},
              {"Found multiple LR entries for fib " + IdText(Id(5)), "LCP00919"},
              {Obj(6, " property L3_FIB_ROUTER_ID, invalid operation 9"), "LCP00922"}}));
}

TEST_F(L3TableTest, FullSyncRefusesRemovalsAndLeavesExactlyWhatItDelivered) {
    Update({Hop(1, 1), Hop(1, 2), RouterId(1, 100), Router(100), Router(101)}, true);
    EXPECT_EQ(table->ValueCount(), 5u);
    Update(
        {Hop(1, 1), Hop(1, 2, kClear), Whole(ObjectType::LOG_ROUTER_CONFIG, Id(101), "", kDelete),
         RouterId(1, 100), Router(100)},
        true);
    EXPECT_TRUE(Logged(
        log,
        {{Obj(1, " property L3_FIB_NEXT_HOP, invalid op type 4 for full sync"), "LCP00922"},
         {Obj(101, " property INVALID_PROPERTY, invalid op type 2 for full sync"), "LCP00922"}}));
    // What the second full sync delivered, and nothing else.
    EXPECT_EQ(table->ValueCount(), 3u);
    EXPECT_EQ(Hops(1), 1u);
    pb::LogRouterConfigMsg router;
    EXPECT_FALSE(table->QueryRouter(Id(101), &router));
    ASSERT_TRUE(table->QueryRouter(Id(100), &router));
    EXPECT_EQ(router.vdr_id(), 100u);
    EXPECT_EQ(table->FullSyncVersion(), 2u);
    ASSERT_EQ(obs.calls.size(), 2u);
    EXPECT_TRUE(obs.calls[1].fullSync);
    EXPECT_EQ(obs.calls[1].records.size(), 3u);
}

TEST_F(L3TableTest, TypedQueries) {
    pb::IpPrefixMsg prefix;
    prefix.mutable_address()->set_ipv4(0x0a000000);
    prefix.set_prefix_length(24);
    pb::LogRouterPortConfigMsg lrp;
    *lrp.mutable_id() = test::Uuid(20);
    *lrp.mutable_lr_uuid() = test::Uuid(100);
    pb::LogRouterPortConfigMsg lrpNoLr;
    *lrpNoLr.mutable_id() = test::Uuid(21);
    pb::PrefixListMsg pl;
    *pl.mutable_id() = test::Uuid(30);
    pl.set_index(3);
    pb::MulticastStaticRouteMsg msr;
    *msr.mutable_id() = test::Uuid(40);
    *msr.mutable_lr_uuid() = test::Uuid(100);
    pb::MulticastStaticRouteMsg msrOther = msr;
    *msrOther.mutable_id() = test::Uuid(41);
    *msrOther.mutable_lr_uuid() = test::Uuid(101);
    Update({RouterId(1, 100),
            Rec(ObjectType::FIB, Id(1), PropertyType::L3_FIB_IP_PREFIX, prefix.SerializeAsString(),
                kSet),
            Rec(ObjectType::ARP_TABLE_CONFIG, Id(2), PropertyType::L3_ARP_ROUTER_PORT_ID, Id(20),
                kSet),
            Whole(ObjectType::LOG_ROUTER_PORT_CONFIG, Id(20), lrp.SerializeAsString()),
            Whole(ObjectType::LOG_ROUTER_PORT_CONFIG, Id(21),
                  lrpNoLr.SerializeAsString() + std::string("\x38\x01", 2)),
            Router(100, false), Whole(ObjectType::PREFIX_LIST, Id(30), pl.SerializeAsString()),
            Whole(ObjectType::MULTICAST_STATIC_ROUTE, Id(40), msr.SerializeAsString()),
            Whole(ObjectType::MULTICAST_STATIC_ROUTE, Id(41), msrOther.SerializeAsString())});
    pb::UuidMsg u;
    ASSERT_TRUE(table->QueryFibRouterId(Id(1), &u));
    EXPECT_EQ(u.SerializeAsString(), Id(100));
    pb::IpPrefixMsg p;
    ASSERT_TRUE(table->QueryFibIpPrefix(Id(1), &p));
    EXPECT_EQ(p.prefix_length(), 24u);
    ASSERT_TRUE(table->QueryArpRouterPortId(Id(2), &u));
    EXPECT_EQ(u.SerializeAsString(), Id(20));
    pb::LogRouterPortConfigMsg port;
    EXPECT_TRUE(table->QueryRouterPort(Id(20), &port));
    EXPECT_FALSE(table->QueryRouterPort(Id(21), &port));
    pb::LogRouterConfigMsg router;
    EXPECT_FALSE(table->QueryRouter(Id(100), &router));
    pb::PrefixListMsg list;
    ASSERT_TRUE(table->QueryPrefixList(Id(30), &list));
    EXPECT_EQ(list.index(), 3u);
    std::vector<pb::MulticastStaticRouteMsg> routes;
    ASSERT_TRUE(table->QueryMulticastStaticRoutes(Id(100), &routes));
    ASSERT_EQ(routes.size(), 1u);
    EXPECT_EQ(routes[0].id().SerializeAsString(), Id(40));
    EXPECT_FALSE(table->QueryMulticastStaticRoutes(Id(102), &routes));
    EXPECT_TRUE(
        Logged(log, {{"No LR UUID set in protobuf msg for LRP " + IdText(Id(21)), "LCP00920"},
                     {"No vdr ID set in protobuf msg for LR " + IdText(Id(100)), "LCP00920"},
                     "Didn't find the MulticastStaticRoute for LR UUID " + IdText(Id(102))}));

    // Absent objects: a quiet false.
    log.Clear();
    pb::GlobalConfigMsg global;
    EXPECT_FALSE(table->QueryGlobalConfig(&global));
    pb::BarrierMsg barrier;
    EXPECT_FALSE(table->QueryBarrier(&barrier));
    pb::NdraProfileConfigMsg ndra;
    EXPECT_FALSE(table->QueryNdraProfile(Id(50), &ndra));
    pb::DadProfileConfigMsg dad;
    EXPECT_FALSE(table->QueryDadProfile(Id(51), &dad));
    pb::MulticastConfigMsg mc;
    EXPECT_FALSE(table->QueryMulticastConfig(Id(52), &mc));
    pb::LogRouterPortFibDadStateMsg dadState;
    EXPECT_FALSE(table->QueryFibDadState(Id(53), &dadState));
    EXPECT_TRUE(log.Entries().empty()) << log.Dump();

    pb::GlobalConfigMsg g;
    g.set_mtu(1600);
    for (uint64_t id : {60, 61}) {
        *g.mutable_id() = test::Uuid(id);
        Update({Whole(ObjectType::GLOBAL_CONFIG, Id(id), g.SerializeAsString())});
        if (id == 60) {
            ASSERT_TRUE(table->QueryGlobalConfig(&global));
            EXPECT_EQ(global.mtu(), 1600u);
        }
    }
    EXPECT_FALSE(table->QueryGlobalConfig(&global));
    EXPECT_TRUE(Logged(log, {"Query Global config",
                             "Populating Global message",
                             {"Found multiple entries for globalConfig msg", "LCP00919"}}));
}

TEST_F(L3TableTest, GenericQueriesDumpsAndBadRecords) {
    Update(
        {Hop(1, 1), Hop(1, 2), Hop(2, 3),
         Rec(ObjectType::FIB, "", PropertyType::L3_FIB_NEXT_HOP, Hop(1, 4).data, kSet),
         Rec(ObjectType::FIB, Id(3), PropertyType::L3_FIB_NEXT_HOP, "", kSet),
         Rec(ObjectType::FIB, Id(3), PropertyType::L3_FIB_NEXT_HOP, std::string("\x0b", 1), kSet)});
    EXPECT_EQ(log.Count("L3Cache: received invalid object"), 3u);
    CairnDBUpdateList out;
    ASSERT_TRUE(
        table->GetObjectsWithProperty(ObjectType::FIB, PropertyType::L3_FIB_NEXT_HOP, &out));
    EXPECT_EQ(out.size(), 3u);
    out.clear();
    ASSERT_TRUE(table->GetObjectProperties(Id(1), &out));
    EXPECT_EQ(out.size(), 2u);
    EXPECT_FALSE(table->GetObjectProperties(Id(9), &out));
    EXPECT_FALSE(
        table->GetObjectsWithProperty(ObjectType::FIB, PropertyType::L3_FIB_IP_PREFIX, &out));
    std::vector<std::string> values;
    EXPECT_FALSE(
        table->GetProperty(ObjectType::FIB, Id(9), PropertyType::L3_FIB_ROUTER_ID, &values));
    table->LogDump();
    auto dump = nlohmann::json::parse(table->DumpJson());
    EXPECT_EQ(dump["entries"].size(), 3u);
    EXPECT_GT(table->CacheBytes(), 0u);
    EXPECT_TRUE(Logged(
        log, {"object does not exist: " + IdText(Id(9)),
              "object does not exist: objectType FIB propertyType L3_FIB_IP_PREFIX",
              "property does not exist: " + IdText(Id(9)) + ", L3_FIB_ROUTER_ID with type: FIB",
              "Dump L3 remote StateCache",
              "ObjectType is : FIB, ObjectId is : " + IdText(Id(1)) +
                  ", PropertyType is L3_FIB_NEXT_HOP,FullsyncVersion is 0, PropertyValue is "
                  "{\"ip\":\"0.0.0.1\"}",
              "L3 desired cache size(bytes): "}));
}

TEST_F(L3TableTest, ObserverRegistrationErrors) {
    test::L3Observer other;
    EXPECT_FALSE(table->RegisterDesiredStateObserver(nullptr));
    EXPECT_FALSE(table->RegisterDesiredStateObserver(&obs));
    EXPECT_FALSE(table->UnregisterDesiredStateObserver(nullptr));
    EXPECT_FALSE(table->UnregisterDesiredStateObserver(&other));
    EXPECT_TRUE(Logged(log, {"In L3 RegisterDesiredStateObserver, observer is NULL!",
                             "In L3 RegisterDesiredStateObserver, observer exist!",
                             "In L3 UnregisterDesiredStateObserver, observer is NULL!",
                             "In L3 UnregisterDesiredStateObserver, observer not exists!"}));
}

}  // namespace
}  // namespace CfgAgent
