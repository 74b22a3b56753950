// Realization tracking: barriers and their participants, processed-barrier sequences from the
// vdbs and the host, merged runtime status, bad input, the dump, and the coordinator's wiring.
#include <gtest/gtest.h>

#include "intake/Rtf.h"
#include "tests/intake/DemuxTestUtil.h"
#include "tests/support/LogLines.h"

namespace CfgAgent::test {
namespace {

using OT = ObjectType;
constexpr uint32_t kDfw = Rtf::kVerticalDfw;
constexpr uint32_t kL3 = Rtf::kVerticalL3;

class RtfTest : public ::testing::Test {
  protected:
    void SetUp() override {
        rtf->AddVdbId(2);
        rtf->AddVdbId(3);
    }
    void Barrier(uint64_t n, std::set<uint16_t> vdbs) {
        rtf->UpdateCairndbBarrier(BarrierBody(n).SerializeAsString(), vdbs);
    }
    void Report(uint16_t vdb, uint32_t vertical, uint64_t n) {
        rtf->UpdateFromVdb(vdb, SetOf(OT::PROCESSED_BARRIER, Processed(vertical, n)));
    }
    void FullSync(uint16_t vdb, std::vector<pb::MonitorUpdateMsg> updates) {
        std::vector<const pb::MonitorUpdateMsg*> list;
        for (const auto& u : updates)
            list.push_back(&u);
        rtf->VdbBarrier(vdb, true, list);
    }
    // The PROCESSED_BARRIER numbers written for `vertical` into vdb 1, in order.
    std::vector<uint64_t> Written(uint32_t vertical = kDfw) const {
        std::vector<uint64_t> out;
        for (const auto& list : writer.lists) {
            for (const pb::ModifyRequestMsg& r : list) {
                EXPECT_EQ(r.vdb(), 1u);
                if (!r.has_put() || r.put().object().object_type() != pb::PROCESSED_BARRIER)
                    continue;
                pb::ProcessedBarrierMsg m;
                EXPECT_TRUE(m.ParseFromString(r.put().object().body()));
                EXPECT_EQ(m.id().SerializeAsString(),
                          ReportObjectId(m.vertical_id()).SerializeAsString());
                if (m.vertical_id() == vertical)
                    out.push_back(m.barrier_id());
            }
        }
        return out;
    }
    // The merged RUNTIME_STATUS of `component` as vdb 1 holds it.
    pb::RuntimeStatusMsg Merged(uint32_t component = 1) const {
        pb::RuntimeStatusMsg m;
        EXPECT_TRUE(
            m.ParseFromString(writer.model.Body(1, OT::RUNTIME_STATUS, ReportObjectId(component))));
        return m;
    }
    static std::vector<uint32_t> Codes(const pb::RuntimeStatusMsg& m) {
        std::vector<uint32_t> out;
        for (const auto& e : m.errors())
            out.push_back(e.error_code());
        return out;
    }

    CapturingWriter writer;
    ozy::RefPtr<Rtf> rtf = ozy::MakeRef<Rtf>(&writer);
};

// ---- processed-barrier sequences ----------------------------------------------------------------

// One step of a sequence: a database barrier with its vdbs, a report (vdb 1: the host's own), a
// vdb unbound, a vdb's full sync with an optional report.
struct Step {
    enum Kind { kBarrier, kReport, kUnbind, kBind, kFullSync } kind;
    uint64_t n = 0;
    uint16_t vdb = 0;
    std::set<uint16_t> vdbs;
    uint32_t vertical = kDfw;
};
Step B(uint64_t n, std::set<uint16_t> vdbs) {
    return {Step::kBarrier, n, 0, std::move(vdbs)};
}
Step R(uint16_t vdb, uint64_t n, uint32_t vertical = kDfw) {
    return {Step::kReport, n, vdb, {}, vertical};
}
Step U(uint16_t vdb) {
    return {Step::kUnbind, 0, vdb, {}};
}
Step A(uint16_t vdb) {
    return {Step::kBind, 0, vdb, {}};
}
Step F(uint16_t vdb, uint64_t n = 0) {
    return {Step::kFullSync, n, vdb, {}};
}

struct Sequence {
    const char* name;
    std::set<uint32_t> hostVerticals;
    std::vector<Step> steps;
    std::vector<uint64_t> dfw;  // PROCESSED_BARRIER numbers written for the firewall, in order
    std::vector<uint64_t> l3 = {};
    friend void PrintTo(const Sequence& s, std::ostream* os) { *os << s.name; }
};

class RtfSequenceTest : public RtfTest, public ::testing::WithParamInterface<Sequence> {};

TEST_P(RtfSequenceTest, WritesTheCompletedBarriers) {
    const Sequence& s = GetParam();
    rtf->SetHostVerticals(s.hostVerticals);
    for (const Step& step : s.steps) {
        switch (step.kind) {
            case Step::kBarrier:
                Barrier(step.n, step.vdbs);
                break;
            case Step::kReport:
                if (step.vdb == Rtf::kHostVdb)
                    EXPECT_TRUE(
                        rtf->HandleLocalProcessedBarrierMsg(Processed(step.vertical, step.n)));
                else
                    Report(step.vdb, step.vertical, step.n);
                break;
            case Step::kUnbind:
                rtf->DeleteVdbId(step.vdb);
                break;
            case Step::kBind:
                rtf->AddVdbId(step.vdb);
                break;
            case Step::kFullSync:
                FullSync(step.vdb, step.n == 0
                                       ? std::vector<pb::MonitorUpdateMsg>{}
                                       : std::vector<pb::MonitorUpdateMsg>{SetOf(
                                             OT::PROCESSED_BARRIER, Processed(kDfw, step.n))});
                break;
        }
    }
    EXPECT_EQ(Written(kDfw), s.dfw);
    EXPECT_EQ(Written(kL3), s.l3);
    // Whatever the order of completion, the number written never goes backwards.
    for (uint32_t v : {kDfw, kL3}) {
        const auto w = Written(v);
        EXPECT_TRUE(std::is_sorted(w.begin(), w.end()) &&
                    std::adjacent_find(w.begin(), w.end()) == w.end());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, RtfSequenceTest,
    ::testing::Values(
        Sequence{"OneOfTwoVdbsWritesNothing", {}, {B(5, {2, 3}), R(2, 5)}, {}},
        Sequence{"SecondVdbWritesTheHosts", {}, {B(5, {2, 3}), R(2, 5), R(3, 5)}, {5}},
        Sequence{"SixBeforeFiveNeverWritesFiveAfterSix",
                 {},
                 {B(5, {2, 3}), B(6, {2, 3}), R(2, 5), R(2, 6), R(3, 6), R(3, 5)},
                 {6}},
        Sequence{"FiveThenSixInOrder",
                 {},
                 {B(5, {2, 3}), B(6, {2, 3}), R(2, 5), R(3, 5), R(2, 6), R(3, 6)},
                 {5, 6}},
        Sequence{
            "AReportCoversTheLowerBarriers", {}, {B(5, {2}), B(6, {2}), B(7, {2}), R(2, 7)}, {7}},
        Sequence{"ABarrierOfNoVdbCompletesAtOnce",
                 {},
                 {B(5, {2}), R(2, 5), U(2), B(6, {}), B(7, {})},
                 {5, 6, 7}},
        Sequence{
            "UnbindingTheVdbThatHadNotReportedCompletes", {}, {B(5, {2, 3}), R(2, 5), U(3)}, {5}},
        Sequence{"UnbindingWithoutAnyReportCompletesNothing", {}, {B(5, {2, 3}), U(3)}, {}},
        Sequence{"TheHostTakesPartForItsVerticals", {kDfw}, {B(5, {2}), R(2, 5), R(1, 5)}, {5}},
        Sequence{"TheHostAloneWaitsForNoVdb", {kDfw}, {B(5, {}), R(1, 5)}, {5}},
        Sequence{"AVerticalOfTheHostWaitsForTheHost", {kDfw}, {B(5, {2}), R(2, 5)}, {}},
        Sequence{"OtherVerticalsDoNotWaitForTheHost",
                 {kL3},
                 {B(5, {2}), R(2, 5), R(2, 5, kL3)},
                 {5},
                 {}},
        Sequence{"BothVerticalsEachWithItsParticipants",
                 {kL3},
                 {B(5, {2}), R(2, 5), R(2, 5, kL3), R(1, 5, kL3)},
                 {5},
                 {5}},
        Sequence{"AFullSyncDropsTheVdbsMarks", {}, {B(5, {2, 3}), R(2, 5), F(2), R(3, 5)}, {}},
        Sequence{
            "TheFullSyncsReportCounts", {}, {B(5, {2, 3}), R(2, 5), F(2), R(3, 5), F(2, 5)}, {5}},
        Sequence{"AMarkCountsForABarrierThatArrivesLater",
                 {},
                 {B(5, {2, 3}), R(2, 6), B(6, {2, 3}), R(3, 6)},
                 {6}},
        Sequence{"AVdbOutsideTheBarrierDoesNotCount", {}, {B(5, {2}), R(3, 5)}, {}},
        Sequence{"AVdbBoundLaterJoinsThePendingBarriers", {}, {U(3), B(5, {2}), A(3), R(2, 5)}, {}},
        Sequence{
            "TheJoinedVdbsReportCompletes", {}, {U(3), B(5, {2}), A(3), R(2, 5), R(3, 5)}, {5}},
        Sequence{"ABarrierOfTheStartUpWaitsForTheVdbsBoundWithIt",
                 {},
                 {U(2), U(3), B(5, {}), A(2), R(2, 4)},
                 {}},
        Sequence{"ABarrierAgainAfterItsCompletionWritesNothing",
                 {},
                 {B(5, {2}), R(2, 5), B(5, {2}), B(4, {2})},
                 {5}}),
    [](const ::testing::TestParamInfo<Sequence>& info) { return info.param.name; });

TEST_F(RtfTest, OneHundredBarriersAtMostTheLowestGoesFirst) {
    LogCapture logs;
    for (uint64_t n = 1; n <= 101; ++n)
        Barrier(n, {2});
    const Rtf::Info info = rtf->GetInfo();
    ASSERT_EQ(info.received.size(), Rtf::kMaxReceivedBarriers);
    EXPECT_EQ(info.received.begin()->first, 2u);
    EXPECT_EQ(info.received.rbegin()->first, 101u);
    EXPECT_TRUE(Logged(logs, {"RTF: The size of _receivedBarrierMap 100 reaches the max 100, least "
                              "barrier number 1"}));
    Report(2, kDfw, 1);
    EXPECT_TRUE(logs.Contains("RTF: Cannot find barrierNum 1 in _receivedBarrierMap"));
    EXPECT_TRUE(Written().empty());
    Report(2, kDfw, 50);
    EXPECT_EQ(Written(), std::vector<uint64_t>{50});
    // The firewall is the only vertical seen: everything up to 50 is gone.
    EXPECT_EQ(rtf->GetInfo().received.begin()->first, 51u);
}

TEST_F(RtfTest, CompletionIsLoggedAndErasesTheBarrier) {
    LogCapture logs;
    Barrier(5, {2, 3});
    Report(2, kDfw, 5);
    EXPECT_EQ(rtf->GetInfo().processed.at(5).at(kDfw), (std::set<uint16_t>{2}));
    Report(3, kDfw, 5);
    EXPECT_TRUE(
        Logged(logs, {"RTF: Updating cairndb barrier: 5 to 2 vdbs",
                      "RTF: Update PROCESSED_BARRIER (Operation SET): vertical id "
                      "VERTICAL_ID_DFW with vdb 2",
                      "RTF: BarrierNum 5 verticalId VERTICAL_ID_DFW vdbId 3 processed",
                      "RTF: All vdbs for barrierNum 5 verticalId VERTICAL_ID_DFW are processed",
                      "RTF: All verticalIds for barrierNum 5 are processed",
                      "RTF: Erase barrierNum 5 from _receivedBarrierMap"}));
    const Rtf::Info info = rtf->GetInfo();
    EXPECT_TRUE(info.received.empty());
    EXPECT_TRUE(info.processed.empty());
    EXPECT_EQ(info.written.at(kDfw), 5u);
}

TEST_F(RtfTest, ABarrierStaysUntilEveryVerticalSeenHasCompletedIt) {
    LogCapture logs;
    Barrier(5, {2});
    Report(2, kL3, 4);  // the L3 vertical is seen, behind
    Report(2, kDfw, 5);
    EXPECT_EQ(rtf->GetInfo().received.count(5), 1u);
    Report(2, kL3, 5);
    EXPECT_EQ(Written(kL3), std::vector<uint64_t>{5});
    EXPECT_TRUE(rtf->GetInfo().received.empty());
    // Unbinding the last vdb completes what waited for it.
    Barrier(6, {2});
    Report(2, kDfw, 6);
    rtf->DeleteVdbId(2);
    EXPECT_EQ(Written(kL3), (std::vector<uint64_t>{5, 6}));
    EXPECT_TRUE(Logged(logs, {"RTF: Deleting vdbId 2",
                              "RTF: DeleteVdbId: all vdbs for barrierNum 6 verticalId "
                              "VERTICAL_ID_L3 are processed"}));
}

// ---- runtime status -----------------------------------------------------------------------------

TEST_F(RtfTest, RuntimeStatusMergesEveryParticipantsErrors) {
    LogCapture logs;
    rtf->UpdateFromVdb(2, SetOf(OT::RUNTIME_STATUS, RuntimeStatus(1, {21, 22}, 7)));
    rtf->UpdateFromVdb(3, SetOf(OT::RUNTIME_STATUS, RuntimeStatus(1, {31}, 6)));
    EXPECT_TRUE(rtf->HandleLocalRuntimeStatusMsg(RuntimeStatus(1, {11}, 8)));
    pb::RuntimeStatusMsg merged = Merged();
    EXPECT_EQ(Codes(merged), (std::vector<uint32_t>{11, 21, 22, 31}));
    EXPECT_EQ(merged.component_id(), 1u);
    EXPECT_EQ(merged.barrier_id(), 6u);
    EXPECT_TRUE(
        Logged(logs, {"RTF: Update RUNTIME_STATUS (Operation SET): COMPONENT_ID_DFW_CFGAGENT "
                      "with vdb 2, error size 2",
                      "RTF: RealizationErrorMsg form componentId COMPONENT_ID_DFW_CFGAGENT "
                      "vdbId 3",
                      "RTF: HandleLocalRuntimeStatusMsg"}));
    // A later report replaces that participant's list only.
    rtf->UpdateFromVdb(2, SetOf(OT::RUNTIME_STATUS, RuntimeStatus(1, {23})));
    EXPECT_EQ(Codes(Merged()), (std::vector<uint32_t>{11, 23, 31}));
    // Unbinding vdb 3 rewrites the status without its errors.
    rtf->DeleteVdbId(3);
    EXPECT_EQ(Codes(Merged()), (std::vector<uint32_t>{11, 23}));
    EXPECT_TRUE(
        logs.Contains("RTF: DeleteVdbId: Clear runtime error reported by component "
                      "COMPONENT_ID_DFW_CFGAGENT, vdbId 3"));
    // The vdb's object removed: its errors go.
    rtf->UpdateFromVdb(2, ClearOf(OT::RUNTIME_STATUS, RuntimeStatus(1, {23})));
    EXPECT_EQ(Codes(Merged()), std::vector<uint32_t>{11});
    // Another component is another object.
    rtf->UpdateFromVdb(2, SetOf(OT::RUNTIME_STATUS, RuntimeStatus(4, {41})));
    EXPECT_EQ(Codes(Merged(4)), std::vector<uint32_t>{41});
    EXPECT_EQ(Codes(Merged(1)), std::vector<uint32_t>{11});
    EXPECT_TRUE(logs.Contains("COMPONENT_ID_UNKNOWN with vdb 2"));
}

TEST_F(RtfTest, AFullSyncTakesWhatItDeliversAndRewritesTheStatus) {
    rtf->UpdateFromVdb(2, SetOf(OT::RUNTIME_STATUS, RuntimeStatus(1, {21})));
    rtf->UpdateFromVdb(3, SetOf(OT::RUNTIME_STATUS, RuntimeStatus(1, {31})));
    rtf->UpdateFromVdb(2, SetOf(OT::RUNTIME_STATUS, RuntimeStatus(4, {41})));
    const size_t before = writer.lists.size();
    LogCapture logs;
    FullSync(2, {SetOf(OT::RUNTIME_STATUS, RuntimeStatus(1, {25, 26}))});
    // One write holds both rewritten components.
    ASSERT_EQ(writer.lists.size(), before + 1);
    EXPECT_EQ(writer.lists.back().size(), 2u);
    EXPECT_EQ(Codes(Merged(1)), (std::vector<uint32_t>{25, 26, 31}));
    EXPECT_TRUE(Codes(Merged(4)).empty());
    EXPECT_TRUE(
        Logged(logs, {"RTF: Flushing all vdb reported ProcessedBarrierMsg and RuntimeErrorMsg"}));
    EXPECT_EQ(rtf->GetInfo().errors.count({4, 2}), 0u);
}

// ---- bad input ----------------------------------------------------------------------------------

struct BadInput {
    const char* name;
    uint16_t vdb;
    pb::MonitorUpdateMsg update;
    const char* line;
    friend void PrintTo(const BadInput& b, std::ostream* os) { *os << b.name; }
};

class RtfBadInputTest : public RtfTest, public ::testing::WithParamInterface<BadInput> {};

TEST_P(RtfBadInputTest, IsLoggedWithItsCodeAndDropped) {
    Barrier(5, {2});
    rtf->UpdateFromVdb(2, SetOf(OT::RUNTIME_STATUS, RuntimeStatus(1, {21})));
    const Rtf::Info before = rtf->GetInfo();
    const size_t writes = writer.lists.size();
    LogCapture logs;
    rtf->UpdateFromVdb(GetParam().vdb, GetParam().update);
    EXPECT_TRUE(Logged(logs, {{GetParam().line, "LCP00028"}}));
    const Rtf::Info after = rtf->GetInfo();
    EXPECT_EQ(after.received, before.received);
    EXPECT_EQ(after.processed, before.processed);
    EXPECT_EQ(after.errors, before.errors);
    EXPECT_EQ(writer.lists.size(), writes);
}

pb::ProcessedBarrierMsg NoVertical() {
    pb::ProcessedBarrierMsg m = Processed(kDfw, 5);
    m.clear_vertical_id();
    return m;
}
pb::ProcessedBarrierMsg NoNumber() {
    pb::ProcessedBarrierMsg m = Processed(kDfw, 5);
    m.clear_barrier_id();
    return m;
}
pb::RuntimeStatusMsg NoComponent() {
    pb::RuntimeStatusMsg m = RuntimeStatus(1, {1});
    m.clear_component_id();
    return m;
}

INSTANTIATE_TEST_SUITE_P(
    Reports, RtfBadInputTest,
    ::testing::Values(
        BadInput{"NoVertical", 2, SetOf(OT::PROCESSED_BARRIER, NoVertical()),
                 "RTF: Received error ProcessedBarrierMsg from vdbId 2 has_vertical_id: false, "
                 "has_barrier_num: true"},
        BadInput{"NoBarrierNumber", 2, SetOf(OT::PROCESSED_BARRIER, NoNumber()),
                 "RTF: Received error ProcessedBarrierMsg from vdbId 2 has_vertical_id: true, "
                 "has_barrier_num: false"},
        BadInput{"NoComponent", 2, SetOf(OT::RUNTIME_STATUS, NoComponent()),
                 "RTF: Received error ProcessedBarrierMsg from vdbId 2 has_component_id: false"},
        BadInput{"BarrierBodyDoesNotParse", 2,
                 WithBody(SetOf(OT::PROCESSED_BARRIER, Processed(kDfw, 5)), "\x0a\xff"),
                 "RTF: Received bad PROCESSED_BARRIER (Operation 7) from vdbId 2"},
        BadInput{"StatusBodyDoesNotParse", 2,
                 WithBody(SetOf(OT::RUNTIME_STATUS, RuntimeStatus(1, {1})), "\x1a\x05"),
                 "RTF: Received bad RUNTIME_STATUS (Operation 7) from vdbId 2"},
        BadInput{"OpDoesNotParse", 2,
                 WithOp(SetOf(OT::PROCESSED_BARRIER, Processed(kDfw, 5)), "\xff"),
                 "RTF: Received bad PROCESSED_BARRIER (Operation 0) from vdbId 2"},
        BadInput{"NotAReport", 2, SetOf(OT::VIF_STATE, pb::VifStateMsg()),
                 "RTF: Received object type VIF_STATE from vdbId 2, not a report"},
        BadInput{"UnboundVdb", 4, SetOf(OT::PROCESSED_BARRIER, Processed(kDfw, 5)),
                 "RTF: Refused 1 reports of vdbId 4: not a bound SmartNIC vdb"},
        BadInput{"TheHostsOwnVdb", 1, SetOf(OT::PROCESSED_BARRIER, Processed(kDfw, 5)),
                 "RTF: Refused 1 reports of vdbId 1: not a bound SmartNIC vdb"}),
    [](const ::testing::TestParamInfo<BadInput>& info) { return info.param.name; });

TEST_F(RtfTest, RefusedBarriersHostReportsAndTooManyVerticals) {
    LogCapture logs;
    rtf->UpdateCairndbBarrier(pb::BarrierMsg().SerializeAsString(), {2});
    rtf->UpdateCairndbBarrier("\xff\xff", {2});
    EXPECT_EQ(logs.Count("RTF: Bad cairndb barrier"), 2u);
    EXPECT_TRUE(Logged(logs, {{"RTF: Bad cairndb barrier", "LCP00028"}}));
    EXPECT_TRUE(rtf->GetInfo().received.empty());
    EXPECT_FALSE(rtf->HandleLocalProcessedBarrierMsg(NoNumber()));
    EXPECT_FALSE(rtf->HandleLocalRuntimeStatusMsg(NoComponent()));
    EXPECT_TRUE(
        Logged(logs, {{"RTF: Received error ProcessedBarrierMsg from vdbId 1 has_vertical_id: "
                       "true, has_barrier_num: false",
                       "LCP00028"},
                      {"RTF: Received error ProcessedBarrierMsg from vdbId 1 "
                       "has_component_id: false",
                       "LCP00028"}}));
    // A peer cannot grow the maps without bound.
    Barrier(5, {2});
    for (uint32_t v = 100; v < 100 + Rtf::kMaxIds; ++v)
        Report(2, v, 5);
    Report(2, 999, 5);
    EXPECT_TRUE(Logged(
        logs, {{"RTF: Refused report of vertical 999 from vdbId 2: 64 are tracked", "LCP00028"}}));
    EXPECT_TRUE(Written(999).empty());
    EXPECT_EQ(Written(100), std::vector<uint64_t>{5});
}

TEST_F(RtfTest, ARemovedProcessedBarrierTakesNothingBack) {
    Barrier(5, {2, 3});
    Report(2, kDfw, 5);
    rtf->UpdateFromVdb(2, ClearOf(OT::PROCESSED_BARRIER, Processed(kDfw, 5)));
    Report(3, kDfw, 5);
    EXPECT_EQ(Written(), std::vector<uint64_t>{5});
}

// ---- dump ---------------------------------------------------------------------------------------

TEST_F(RtfTest, DumpShowsTheThreeMapsAndNAForEmptySets) {
    EXPECT_EQ(rtf->Dump(),
              "RTF: Get RTF table receivedBarrierMapSize 0, processedBarrierMapSize 0, "
              "runtimeErrorMapSize 0.\n"
              "ReceivedBarrierMap\n  N/A\nProcessedBarrierMap\n  N/A\nRuntimeErrorMap\n  N/A\n"
              "ProcessedBarrierWritten\n  N/A\nHostVerticals: N/A\nVdbs: 2 3\n");
    rtf->SetHostVerticals({kL3});
    Barrier(5, {2, 3});
    Barrier(6, {});
    Report(2, kDfw, 5);
    rtf->UpdateFromVdb(3, SetOf(OT::RUNTIME_STATUS, RuntimeStatus(1, {0x31})));
    EXPECT_EQ(rtf->Dump(),
              "RTF: Get RTF table receivedBarrierMapSize 2, processedBarrierMapSize 1, "
              "runtimeErrorMapSize 1.\n"
              "ReceivedBarrierMap\n  barrierNum 5: vdbs 2 3\n  barrierNum 6: vdbs N/A\n"
              "ProcessedBarrierMap\n  barrierNum 5 VERTICAL_ID_DFW(1): vdbs 2\n"
              "RuntimeErrorMap\n  COMPONENT_ID_DFW_CFGAGENT(1) vdbId 3: 1 errors\n"
              "    LOG_SWITCH_PORT_CONFIG 00000000-0000-1111-0000-000000000031 code 49: object 49\n"
              "ProcessedBarrierWritten\n  N/A\n"
              "HostVerticals: VERTICAL_ID_L3(3)\nVdbs: 2 3\n");
    // An error naming a type outside the schema (a peer's input) prints as UNKNOWN.
    pb::RuntimeStatusMsg odd = RuntimeStatus(1, {});
    odd.add_errors()->set_object_type(static_cast<pb::ObjectType>(4000));
    rtf->UpdateFromVdb(2, SetOf(OT::RUNTIME_STATUS, odd));
    EXPECT_NE(
        rtf->Dump().find("vdbId 2: 1 errors\n    UNKNOWN 00000000-0000-0000-0000-000000000000 "
                         "code 0: \n"),
        std::string::npos)
        << rtf->Dump();
    EXPECT_STREQ(Rtf::VerticalName(10), "VERTICAL_ID_IDS");
    EXPECT_STREQ(Rtf::VerticalName(2), "VERTICAL_ID_UNKNOW");
}

}  // namespace
}  // namespace CfgAgent::test
