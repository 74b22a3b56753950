// Realization reports written by the database client: processed barriers and runtime status on an
// ordinary host (written at once to vdb 1, one object per vertical or component), reports without
// their vertical or component id refused, and reports made on a SmartNIC before its main vdb is
// known kept (the latest of each) and written once the backing names the vdb.
#include "proto/cairndb_system.pb.h"
#include "tests/intake/CairndbClientTestUtil.h"

namespace CfgAgent::test {
namespace {

using OT = ObjectType;

pb::ProcessedBarrierMsg Barrier(std::optional<uint32_t> vertical, std::optional<uint64_t> num) {
    pb::ProcessedBarrierMsg b;
    if (vertical)
        b.set_vertical_id(*vertical);
    if (num)
        b.set_barrier_id(*num);
    return b;
}

pb::RuntimeStatusMsg Status(std::optional<uint32_t> component, int errors) {
    pb::RuntimeStatusMsg s;
    if (component)
        s.set_component_id(*component);
    for (int i = 0; i < errors; ++i) {
        pb::RealizationErrorMsg* e = s.add_errors();
        e->set_object_type(pb::RULE);
        e->set_error_code(100 + i);
    }
    return s;
}

// Every put of the writes so far, flattened.
std::vector<pb::ModifyRequestMsg> Puts(const FakeCairnDbLibrary& lib) {
    std::vector<pb::ModifyRequestMsg> out;
    for (const auto& list : lib.Writes()) {
        for (const auto& r : list) {
            if (r.has_put())
                out.push_back(r);
        }
    }
    return out;
}

class CairndbClientReportsTest : public CairndbClientFixture {
  protected:
    void Start(int persona) {
        Make(persona);
        ASSERT_TRUE(client->start());
    }
    bool AwaitPuts(size_t n) {
        return AwaitTrue([&] { return Puts(*lib).size() >= n; });
    }
};

TEST_F(CairndbClientReportsTest, OrdinaryHostWritesOneObjectPerVerticalAndComponent) {
    LogCapture logs;
    Start(kPersonaOther);
    ASSERT_TRUE(client->reportProcessedBarrier(Barrier(1, 41)));
    ASSERT_TRUE(client->reportProcessedBarrier(Barrier(3, 42)));
    ASSERT_TRUE(client->reportRuntimeStatus(Status(1, 2)));
    ASSERT_TRUE(AwaitPuts(3));
    auto puts = Puts(*lib);
    ASSERT_EQ(puts.size(), 3u);

    struct Want {
        pb::ObjectType type;
        uint64_t idRight;
    };
    const Want want[] = {
        {pb::PROCESSED_BARRIER, 1}, {pb::PROCESSED_BARRIER, 3}, {pb::RUNTIME_STATUS, 1}};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(puts[i].vdb(), 1u);
        EXPECT_EQ(puts[i].put().object().object_type(), want[i].type);
    }
    pb::ProcessedBarrierMsg b;
    ASSERT_TRUE(b.ParseFromString(puts[1].put().object().body()));
    EXPECT_EQ(b.vertical_id(), 3u);
    EXPECT_EQ(b.barrier_id(), 42u);
    EXPECT_EQ(b.id().left(), 0u);
    EXPECT_EQ(b.id().right(), 3u);
    pb::RuntimeStatusMsg s;
    ASSERT_TRUE(s.ParseFromString(puts[2].put().object().body()));
    EXPECT_EQ(s.component_id(), 1u);
    EXPECT_EQ(s.id().right(), 1u);
    ASSERT_EQ(s.errors_size(), 2);
    EXPECT_EQ(s.errors(1).error_code(), 101u);

    EXPECT_TRUE(logs.Contains(
        "CairndbClient: Update processed barrier update with main vdb[1], verticalId[3], "
        "barrierNum[42]."));
    EXPECT_TRUE(logs.Contains(
        "CairndbClient: Update runtime status with main vdb[1], componentId [1], error size [2]."));
    EXPECT_EQ(client->CachedReportCount(), 0u);
}

TEST_F(CairndbClientReportsTest, ReportsWithoutTheirIdsAreRefusedWithALogLine) {
    Start(kPersonaOther);
    struct Case {
        const char* name;
        std::function<bool(CairndbClient&)> report;
        const char* line;
    };
    const Case cases[] = {
        {"no vertical", [](CairndbClient& c) { return c.reportProcessedBarrier(Barrier({}, 7)); },
         "CairndbClient: Refused ProcessedBarrierMsg has_vertical_id: false, has_barrier_num: "
         "true"},
        {"no barrier", [](CairndbClient& c) { return c.reportProcessedBarrier(Barrier(1, {})); },
         "CairndbClient: Refused ProcessedBarrierMsg has_vertical_id: true, has_barrier_num: "
         "false"},
        {"no component", [](CairndbClient& c) { return c.reportRuntimeStatus(Status({}, 1)); },
         "CairndbClient: Refused RuntimeStatusMsg has_component_id: false"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture logs;
        EXPECT_FALSE(c.report(*client));
        EXPECT_TRUE(logs.ContainsWithCode(c.line, "LCP00028")) << logs.Dump();
    }
    // Present zeros are values, not absences.
    ASSERT_TRUE(client->reportProcessedBarrier(Barrier(0, 0)));
    ASSERT_TRUE(AwaitPuts(1));
    EXPECT_EQ(Puts(*lib).size(), 1u);
}

TEST_F(CairndbClientReportsTest, SmartNicKeepsTheLatestReportsUntilItsVdbIsKnown) {
    LogCapture logs;
    Start(kPersonaSmartnic);
    ASSERT_EQ(client->mainVdbId(), 0);
    ASSERT_TRUE(client->reportProcessedBarrier(Barrier(1, 5)));
    ASSERT_TRUE(client->reportProcessedBarrier(Barrier(1, 6)));  // replaces 5
    ASSERT_TRUE(client->reportProcessedBarrier(Barrier(10, 6)));
    ASSERT_TRUE(client->reportRuntimeStatus(Status(1, 3)));
    EXPECT_TRUE(logs.Contains(
        "CairndbClient: Get processed barrier update when main vdb is 0, caching for verticalId "
        "1, barrierNum 6."));
    EXPECT_TRUE(logs.Contains(
        "CairndbClient: Get runtime status update when main vdb is 0, caching for componentId 1, "
        "error size 3."));
    EXPECT_EQ(client->CachedReportCount(), 3u);
    EXPECT_TRUE(Puts(*lib).empty());

    // The backing names vdb 5 for the local SmartNIC (standby: reports are written all the same).
    pb::HostSwitchSmartnicBackingMsg backing;
    *backing.mutable_id() = Uuid(0xb1);
    *backing.mutable_host_switch_id() = Uuid(0x45);
    backing.set_active_sn_id(kOtherSn);
    backing.set_standby_sn_id(kLocalSn);
    backing.set_current_active_sn_id(kOtherSn);
    backing.set_vdb(5);
    ASSERT_TRUE(
        lib->Update(CairndbClient::kBackingMonitorId, 1,
                    MakeUpdate(OT::HOST_SWITCH_SMARTNIC_BACKING,
                               ObjOp<pb::HostSwitchSmartnicBackingOpMsg>(pb::SET), &backing)));
    ASSERT_TRUE(lib->Barrier(CairndbClient::kBackingMonitorId, 1));
    ASSERT_EQ(client->mainVdbId(), 5);
    ASSERT_TRUE(AwaitTrue([&] {
        size_t reports = 0;
        for (const auto& p : Puts(*lib)) {
            auto t = p.put().object().object_type();
            reports += t == pb::PROCESSED_BARRIER || t == pb::RUNTIME_STATUS;
        }
        return reports == 3;
    }));
    std::map<uint32_t, uint64_t> barriers;
    for (const auto& p : Puts(*lib)) {
        if (p.put().object().object_type() != pb::PROCESSED_BARRIER)
            continue;
        EXPECT_EQ(p.vdb(), 5u);
        pb::ProcessedBarrierMsg b;
        ASSERT_TRUE(b.ParseFromString(p.put().object().body()));
        barriers[b.vertical_id()] = b.barrier_id();
    }
    EXPECT_EQ(barriers, (std::map<uint32_t, uint64_t>{{1, 6}, {10, 6}}));
    EXPECT_TRUE(logs.Contains(
        "CairndbClient: Update processed barrier update with main vdb[5], verticalId[1], "
        "barrierNum[6]."));
    EXPECT_TRUE(logs.Contains(
        "CairndbClient: Update runtime status with main vdb[5], componentId [1], error size [3]."));
    EXPECT_EQ(client->CachedReportCount(), 0u);

    // Once known, a report goes straight to the vdb.
    ASSERT_TRUE(client->reportRuntimeStatus(Status(1, 0)));
    EXPECT_TRUE(logs.WaitFor(
        "CairndbClient: Update runtime status with main vdb[5], componentId [1], error size [0]."));
}

}  // namespace
}  // namespace CfgAgent::test
