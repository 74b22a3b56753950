// LbApp with a real configuration table (the ports' VIF attachments) and the emulator's
// load-balancer tables as the device: what reaches the device after each batch, what is skipped
// with its log line, and the full update owed after a refused one.
#include "services/lb/LbApp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include <boost/property_tree/ptree.hpp>
#include <nlohmann/json.hpp>

#include "statecache/StateCacheConfigTable.h"
#include "tests/services/lb/LbObjects.h"
#include "tests/support/LogLines.h"
#include "tools/ozy-dpemu/LbTables.h"

namespace CfgAgent::test {
namespace {

using json = nlohmann::json;
using namespace lbobj;

class LbAppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        LbAppOptions o;
        o.configTable = &table;
        o.send = [this](uint8_t* buf, size_t size) {
            kinds.clear();
            if (fail != 0)
                return std::exchange(fail, 0);
            std::string why;
            auto config = ozy::device::DecodeLbConfig(buf, size, &why);
            EXPECT_TRUE(config) << why;
            for (const auto& e : config ? config->entries : decltype(config->entries){})
                kinds.push_back(e.kind);
            full = config && config->full;
            return int(device.Ioctl(buf, size).status);
        };
        app = ozy::MakeRef<LbApp>(std::move(o));
        ASSERT_TRUE(app->Start({}));
        // Ports 1 and 3 are VIFs, port 2 is not.
        table.UpdateDesiredState({Lsp(1, true), Lsp(2, false), Lsp(3, true)}, false);
    }
    void TearDown() override { app->Stop(); }

    // Service 1 on group 1 (ports 1 and 2), app profile 1 (HTTP), persistence profile 1 (source
    // IP), pool 1 (static 10.1.0.1:8080 weight 4, and group 2's addresses with `revision` on port
    // 9000), virtual server 1 on 10.0.0.1:80.
    std::vector<CairnDBUpdateMsg> Topology(uint32_t revision = 1) {
        return {Service(1, {1}),
                Relation(1, 1, {1, 2}),
                Group(2, {V4(0x0a020001), V6(1)}),
                App(1, 3),
                Persist(1, 1),
                PoolRec(1, {1}, {Member(V4(0x0a010001), 8080, 4)}, 2, revision, 9000),
                Server(1, 1, 1, 1, 1)};
    }
    json Dump() const { return device.Dump(); }
    json Members(uint64_t pool) const { return Dump()["pools"][Text(pool)]["members"]; }

    LogCapture log{kLogDebug};
    StateCacheConfigTable table;
    ozy::dpemu::LbTables device;
    ozy::RefPtr<LbApp> app;
    int fail = 0;
    bool full = false;
    std::vector<ozy::device::LbEntryKind> kinds;
};

TEST_F(LbAppTest, EveryObjectReachesTheDeviceInOneFullUpdate) {
    app->UpdateDesiredState(Topology(), true);
    EXPECT_EQ(app->Sent(), 1u);
    EXPECT_TRUE(full);
    const json d = Dump();
    EXPECT_EQ(d["services"][Text(1)]["lsps"], json({Text(1)})) << "port 2 is not a VIF";
    EXPECT_EQ(d["services"][Text(1)]["name"], "lbs-1");
    EXPECT_EQ(d["virtual_servers"][Text(1)]["app_type"], 3);
    EXPECT_EQ(d["virtual_servers"][Text(1)]["persistence_type"], 1);
    EXPECT_EQ(d["virtual_servers"][Text(1)]["address"], "10.0.0.1");
    EXPECT_EQ(Members(1), json::parse(R"([{"address":"10.1.0.1","port":8080,"weight":4},
                                          {"address":"10.2.0.1","port":9000,"weight":1}])"));
    // Services, then pools, then the servers that name them.
    EXPECT_EQ(kinds, (std::vector<ozy::device::LbEntryKind>{ozy::device::kLbServiceUpdate,
                                                            ozy::device::kLbPoolUpdate,
                                                            ozy::device::kLbVirtualServerUpdate}));
    EXPECT_TRUE(
        Logged(log, {"LB: Start to update LbMsgCache, fullSync: true, msgs size: 7",
                     "LB: Clear LB cache", "LB: Link server: " + Text(1) + " with pool: " + Text(1),
                     "group-pm [1]: ipv6, addr = ::1 filtered by ip revision",
                     "LB: Entry (pool update) size 96, header 32, lbs cnt 1 x 16, pm cnt 2 x 24",
                     "LB: Entry (lbs update) size 120, header 104, lsp 1 x 16",
                     "LB: Sent LB config update to kernel, full sync true"}));
}

TEST_F(LbAppTest, MembersAreFilteredByTheGroupsIpRevision) {
    const struct {
        uint32_t revision;
        std::vector<std::string> groupMembers;
        const char* line;
    } cases[] = {
        {1, {"10.2.0.1"}, "group-pm [1]: ipv6, addr = ::1 filtered by ip revision"},
        {2, {"::1"}, "group-pm [0]: ipv4, addr = 10.2.0.1 filtered by ip revision"},
        {3, {"10.2.0.1", "::1"}, nullptr},
        {0, {}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.revision);
        log.Clear();
        app->UpdateDesiredState(Topology(c.revision), true);
        json members = Members(1);
        ASSERT_EQ(members.size(), 1 + c.groupMembers.size()) << members.dump();
        for (size_t i = 0; i < c.groupMembers.size(); ++i)
            EXPECT_EQ(members[i + 1]["address"], c.groupMembers[i]);
        if (c.revision == 0) {
            EXPECT_TRUE(log.Contains("container_id [" + Text(2) + "] missing ip revision"));
        } else if (c.line != nullptr) {
            EXPECT_TRUE(log.Contains(c.line)) << log.Dump();
        }
        EXPECT_EQ(log.Count("filtered by ip revision"),
                  c.revision == 3 || c.revision == 0 ? 0u : 1u);
    }
}

TEST_F(LbAppTest, ABatchChangingNothingSendsNothingUnlessAFullUpdateIsOwed) {
    app->UpdateDesiredState(Topology(), true);
    ASSERT_EQ(app->Sent(), 1u);
    app->UpdateDesiredState({Service(1, {1}), Server(1, 1, 1, 1, 1), App(1, 3)}, false);
    EXPECT_EQ(app->Sent(), 1u);
    EXPECT_EQ(device.Updates(), 1u);
    EXPECT_TRUE(Logged(log, {"LB: Dropping message. LBS not changed",
                             "LB: Dropping message. Virtual server not changed"}));

    // A refused update keeps its entries and owes the whole cache.
    fail = EIO;
    app->UpdateDesiredState({Server(1, 1, 1, 1, 1, 0x0a000002)}, false);
    EXPECT_TRUE(Logged(log, {{"LB: Failed to update LB config: Input/output error", "LCP01803"}}));
    EXPECT_TRUE(app->FullOwed());
    EXPECT_EQ(Dump()["virtual_servers"][Text(1)]["address"], "10.0.0.1");

    // The next batch changes nothing, and still sends everything with the full flag.
    app->UpdateDesiredState({App(1, 3)}, false);
    EXPECT_TRUE(log.Contains("LB: Send full config update - previous update error"));
    EXPECT_TRUE(full);
    EXPECT_EQ(kinds.size(), 3u);
    EXPECT_EQ(Dump()["virtual_servers"][Text(1)]["address"], "10.0.0.2");
    EXPECT_FALSE(app->FullOwed());
    const uint64_t sent = app->Sent();
    app->UpdateDesiredState({App(1, 3)}, false);
    EXPECT_EQ(app->Sent(), sent);
}

TEST_F(LbAppTest, StillLinkedDeletesAreReportedAndTheServerKept) {
    app->UpdateDesiredState(Topology(), true);
    const uint64_t updates = device.Updates();
    app->UpdateDesiredState({Delete(ObjectType::LB_APPLICATION_PROFILE, 1),
                             Delete(ObjectType::LB_PERSISTENCE_PROFILE, 1)},
                            false);
    EXPECT_TRUE(Logged(
        log, {"LB: App Profile " + Text(1) + " is still linked with 1 virtual servers",
              "LB: Persist Profile " + Text(1) + " is still linked with 1 virtual servers"}));
    EXPECT_EQ(app->Cache().ServerCount(), 1u);
    EXPECT_EQ(device.Updates(), updates);
    EXPECT_EQ(Dump()["virtual_servers"].size(), 1u);

    // A change of the server now cannot be written: skipped, never the whole buffer.
    app->UpdateDesiredState({Server(1, 1, 1, 1, 1, 0x0a000003), Service(2, {})}, false);
    EXPECT_TRUE(log.Contains("LB: Write entry (vs update) error - app profile not found"));
    EXPECT_EQ(kinds, std::vector<ozy::device::LbEntryKind>{ozy::device::kLbServiceUpdate});
    // The profiles back: the server goes with them.
    app->UpdateDesiredState({App(1, 2), Persist(1, 2)}, false);
    EXPECT_EQ(Dump()["virtual_servers"][Text(1)]["address"], "10.0.0.3");
    EXPECT_EQ(Dump()["virtual_servers"][Text(1)]["app_type"], 2);

    app->UpdateDesiredState({Delete(ObjectType::LB_POOL, 1)}, false);
    EXPECT_TRUE(log.Contains("LB: Pool " + Text(1) + " is still linked with 1 virtual servers"));
    EXPECT_TRUE(Dump()["pools"].empty());
    EXPECT_EQ(app->Cache().ServerCount(), 1u);
}

TEST_F(LbAppTest, AnObjectsUsersFollowItsDeletionAndItsReturn) {
    app->UpdateDesiredState(Topology(), true);
    // The service goes: its pool and server, changed, cannot be written; back, both are.
    app->UpdateDesiredState({Delete(ObjectType::LB_SERVICE, 1)}, false);
    const uint64_t updates = device.Updates();
    app->UpdateDesiredState({PoolRec(1, {1}, {Member(V4(0x0a010001), 8080, 7)}, 2, 1, 9000),
                             Server(1, 1, 1, 1, 1, 0x0a000004)},
                            false);
    EXPECT_TRUE(Logged(log, {"LB: get pool update entry size error: lbs cnt is 0",
                             "LB: Write entry (vs update) error - lbs not found"}));
    EXPECT_EQ(device.Updates(), updates);
    app->UpdateDesiredState({Service(1, {1})}, false);
    EXPECT_EQ(Members(1)[0]["weight"], 7);
    EXPECT_EQ(Dump()["virtual_servers"][Text(1)]["address"], "10.0.0.4");
    // The member group goes: the pool keeps its static member only; back, it has both again.
    app->UpdateDesiredState({Delete(ObjectType::CONTAINER, 2)}, false);
    EXPECT_EQ(Members(1).size(), 1u);
    app->UpdateDesiredState({Group(2, {V4(0x0a020001)})}, false);
    EXPECT_EQ(Members(1).size(), 2u);
    // The pool goes: a change of its server cannot be written until it is back.
    app->UpdateDesiredState({Delete(ObjectType::LB_POOL, 1)}, false);
    app->UpdateDesiredState({Server(1, 1, 1, 1, 1, 0x0a000005)}, false);
    EXPECT_TRUE(log.Contains("LB: Write entry (vs update) error - pool not found"));
    app->UpdateDesiredState({PoolRec(1, {1}, {Member(V4(0x0a010001), 8080, 7)})}, false);
    EXPECT_EQ(Dump()["virtual_servers"][Text(1)]["address"], "10.0.0.5");
}

// The cache keeps pointers from servers and pools to the objects they name. When a target goes,
// its users are marked again through another path than their own records (a group's addresses,
// a profile, their service coming back), so that a pointer left to the deleted object would have
// them written as if it were still there; and once the target is back they are written with every
// change made meanwhile.
TEST_F(LbAppTest, UsersOfADeletedObjectStayUnwrittenWhenMarkedAgainAnotherWay) {
    const struct {
        const char* gone;
        std::vector<CairnDBUpdateMsg> remove;
        std::vector<CairnDBUpdateMsg> remark;  // marks the users without their own records
        std::vector<LogLine> lines;
        std::vector<CairnDBUpdateMsg> back;
        int appType;              // the server's application profile type once all is back
        const char* groupMember;  // the pool's group member once all is back
    } cases[] = {
        {"LB service",
         {Delete(ObjectType::LB_SERVICE, 1)},
         {Group(2, {V4(0x0a020002)}), App(1, 2)},
         {"LB: get pool update entry size error: lbs cnt is 0",
          "LB: Write entry (vs update) error - lbs not found, uuid " + Text(1)},
         {Service(1, {1})},
         2,
         "10.2.0.2"},
        {"pool",
         {Delete(ObjectType::LB_POOL, 1)},
         {App(1, 2), Persist(1, 2)},
         {"LB: Write entry (vs update) error - pool not found, uuid " + Text(1)},
         {PoolRec(1, {1}, {Member(V4(0x0a010001), 8080, 4)}, 2, 1, 9000)},
         2,
         "10.2.0.1"},
        {"application profile",
         {Delete(ObjectType::LB_APPLICATION_PROFILE, 1)},
         {Delete(ObjectType::LB_SERVICE, 1), Service(1, {1})},
         {"LB: Write entry (vs update) error - app profile not found, uuid " + Text(1)},
         {App(1, 1)},
         1,
         "10.2.0.1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.gone);
        app->UpdateDesiredState(Topology(), true);
        ASSERT_EQ(Dump()["virtual_servers"][Text(1)]["app_type"], 3);
        app->UpdateDesiredState(c.remove, false);
        const json before = Dump();
        log.Clear();
        kinds.clear();
        app->UpdateDesiredState(c.remark, false);
        EXPECT_TRUE(Logged(log, c.lines));
        EXPECT_EQ(std::count(kinds.begin(), kinds.end(), ozy::device::kLbVirtualServerUpdate), 0);
        EXPECT_EQ(Dump()["virtual_servers"], before["virtual_servers"]);
        EXPECT_EQ(Dump()["pools"], before["pools"]);

        app->UpdateDesiredState(c.back, false);
        EXPECT_EQ(Dump()["virtual_servers"][Text(1)]["app_type"], c.appType);
        ASSERT_EQ(Members(1).size(), 2u);
        EXPECT_EQ(Members(1)[1]["address"], c.groupMember);
    }
}

TEST_F(LbAppTest, APoolWithoutServiceIsSkippedAndTheOthersSent) {
    app->UpdateDesiredState(Topology(), true);
    app->UpdateDesiredState({PoolRec(2, {7}, {Member(V4(0x0a090001), 80, 1)}),
                             PoolRec(3, {1}, {Member(V4(0x0a090002), 80, 2)})},
                            false);
    EXPECT_TRUE(log.Contains("LB: get pool update entry size error: lbs cnt is 0"));
    EXPECT_EQ(kinds, std::vector<ozy::device::LbEntryKind>{ozy::device::kLbPoolUpdate});
    EXPECT_FALSE(Dump()["pools"].contains(Text(2)));
    EXPECT_EQ(Members(3).size(), 1u);
    // Its service arriving later brings it.
    app->UpdateDesiredState({Service(7, {})}, false);
    EXPECT_EQ(Members(2).size(), 1u);
}

TEST_F(LbAppTest, PortChangesReachTheServicesOfTheirGroups) {
    app->UpdateDesiredState(Topology(), true);
    // Port 2 becomes a VIF: seen through the table alone, sent at once.
    table.UpdateDesiredState({Lsp(2, true)}, false);
    EXPECT_EQ(Dump()["services"][Text(1)]["lsps"], json({Text(1), Text(2)}));
    // Port 3 joins the group, port 1 leaves it.
    app->UpdateDesiredState({Relation(1, 1, {2, 3})}, false);
    EXPECT_EQ(Dump()["services"][Text(1)]["lsps"], json({Text(2), Text(3)}));
    EXPECT_TRUE(Logged(log, {"LB: Updating container-lsp map for lsp " + Text(1) + ", op UNLINK",
                             "LB: Updating container-lsp map for lsp " + Text(3) + ", op LINK"}));
    // A relation of router ports is not the load balancer's.
    app->UpdateDesiredState({Relation(2, 1, {1}, 2)}, false);
    EXPECT_TRUE(log.Contains("LB: ignore non lsp entity group relation msg"));
    EXPECT_EQ(Dump()["services"][Text(1)]["lsps"].size(), 2u);
    // The table's full sync waits for the load balancer's own, which follows in the same batch.
    const uint64_t sent = app->Sent();
    table.UpdateDesiredState({Lsp(1, true), Lsp(2, true), Lsp(3, false)}, true);
    EXPECT_EQ(app->Sent(), sent);
}

TEST_F(LbAppTest, DeletesGoInDependencyOrderAndAFullSyncClearsTheDevice) {
    app->UpdateDesiredState(Topology(), true);
    app->UpdateDesiredState({Delete(ObjectType::LB_SERVICE, 1), Delete(ObjectType::LB_POOL, 1),
                             Delete(ObjectType::LB_VIRTUAL_SERVER, 1)},
                            false);
    EXPECT_EQ(kinds, (std::vector<ozy::device::LbEntryKind>{ozy::device::kLbVirtualServerDelete,
                                                            ozy::device::kLbPoolDelete,
                                                            ozy::device::kLbServiceDelete}));
    EXPECT_TRUE(Dump()["services"].empty());
    EXPECT_EQ(Dump()["absent_deletes"], 0);

    app->UpdateDesiredState(Topology(), true);
    ASSERT_EQ(Dump()["pools"].size(), 1u);
    // A full sync listing nothing: the device drops everything.
    app->UpdateDesiredState({}, true);
    EXPECT_TRUE(full);
    EXPECT_TRUE(Dump()["pools"].empty());
    EXPECT_TRUE(Dump()["virtual_servers"].empty());
}

TEST_F(LbAppTest, BadInputIsLoggedAndDropped) {
    app->UpdateDesiredState(Topology(), true);
    CairnDBUpdateMsg garbage = PoolRec(5, {1}, {});
    garbage.data = "\xff\xff\xff";
    CairnDBUpdateMsg other = Lsp(9, true);
    CairnDBUpdateMsg manMade = Server(6, 1, 1, 1, 0);
    pb::LbVirtualServerMsg vs;
    vs.ParseFromString(manMade.data);
    vs.set_man_made(true);
    manMade.data = vs.SerializeAsString();
    app->UpdateDesiredState({garbage, other, manMade, Server(7, 1, 1, 1, 0, 0),
                             Server(8, 1, 1, 1, 0, 0x0a000008, 80, 0), Server(9, 0, 1, 1, 0)},
                            false);
    EXPECT_TRUE(Logged(log, {{"LB: Unable to parse cairndb pool", "LCP01802"},
                             {"LB: unexpected cairndb object type 2", "LCP01801"},
                             "LB: Added man_made entry (vs update), uuid " + Text(6),
                             "LB: Skipping man_made msg (vs update), uuid " + Text(6),
                             "LB: Write entry (vs update) error - invalid protocol",
                             "LB: Write entry (vs update) error - invalid IP address",
                             "LB: Write entry (vs update) error - lbs uuid invalid",
                             "LB: Aborted LB config update to kernel - 0 entries"}));
    EXPECT_EQ(Dump()["virtual_servers"].size(), 1u);
    EXPECT_EQ(app->Cache().PendingCount(), 0u);
}

TEST_F(LbAppTest, AnUpdatePastAFieldWidthFailsCleanlyAndOwesAFullOne) {
    app->UpdateDesiredState(Topology(), true);
    std::vector<pb::LbPoolMemberMsg> many(ozy::device::kLbMaxCount16 + 1,
                                          Member(V4(0x0a0a0001), 80, 1));
    app->UpdateDesiredState({PoolRec(1, {1}, many)}, false);
    EXPECT_TRUE(Logged(log, {{"LB: Failed to update LB config: pool " + Text(1), "LCP01803"}}));
    EXPECT_TRUE(app->FullOwed());
    EXPECT_EQ(Members(1).size(), 2u);
    many.pop_back();
    app->UpdateDesiredState({PoolRec(1, {1}, many)}, false);
    EXPECT_TRUE(full);
    EXPECT_EQ(Members(1).size(), ozy::device::kLbMaxCount16);
}

}  // namespace
}  // namespace CfgAgent::test
