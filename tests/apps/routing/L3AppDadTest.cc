// L3App's DAD status: the dataplane's reports written to the database once per change, the
// database's echo not sent back, full syncs carrying the state, and every faulty report dropped.
#include "proto/cairndb_modify.pb.h"
#include "tests/apps/routing/L3AppFixture.h"

namespace CfgAgent::test {
namespace {

constexpr const char* kVersion = "0c000000-0000-4000-8000-000000000001";

vdr::DadReportSpec Report(std::vector<vdr::DadEntry> entries = {
                              {vdr::IpV4(0x0a000101), vdr::kDadDuplicated}}) {
    vdr::DadReportSpec s;
    s.vdrId = 1001;
    s.lifName = "lif-1";
    s.versionUuid = kVersion;
    s.lsUuid = Text(kLsKind, 1);
    s.entries = std::move(entries);
    return s;
}

class L3AppDadTest : public L3AppFixture {
  protected:
    void SetUp() override {
        L3AppFixture::SetUp();
        PutTopology();
        StartSynced();
    }
    // The database's copy of what L3App wrote, delivered back as the database would.
    void Echo() {
        const pb::ModifyRequestMsg& m = db_.writes.back().at(0);
        if (m.has_put()) {
            pb::LogRouterPortFibDadStateMsg state;
            ASSERT_TRUE(state.ParseFromString(m.put().object().body()));
            feed_->Put(ObjectType::LOG_ROUTER_PORT_FIB_DAD_STATE, state);
        } else {
            feed_->Remove(ObjectType::LOG_ROUTER_PORT_FIB_DAD_STATE, m.delete_().id());
        }
        feed_->Commit();
    }
};

TEST_F(L3AppDadTest, AReportIsWrittenOnceItsEchoIsNotSentBackAndFullSyncsCarryIt) {
    Deliver(vdr::BuildDadReport(Report()));
    EXPECT_TRUE(log_.Contains("L3App:Got the report. lifName: lif-1, version: " +
                              std::string(kVersion) + ", status: 10.0.1.1=DUPLICATED"));
    ASSERT_EQ(db_.writes.size(), 1u);
    const pb::ModifyRequestMsg& put = db_.writes[0].at(0);
    ASSERT_TRUE(put.has_put());
    EXPECT_EQ(put.vdb(), 1u);
    EXPECT_EQ(put.put().object().object_type(), pb::LOG_ROUTER_PORT_FIB_DAD_STATE);
    pb::LogRouterPortFibDadStateMsg state;
    ASSERT_TRUE(state.ParseFromString(put.put().object().body()));
    EXPECT_EQ(state.id().SerializeAsString(), Key(kLrpKind, 1));
    EXPECT_EQ(state.lif_name(), "lif-1");
    EXPECT_EQ(IdText(state.version().SerializeAsString()), kVersion);
    EXPECT_EQ(state.ls_id().SerializeAsString(), Key(kLsKind, 1));
    ASSERT_EQ(state.dad_status_size(), 1);
    EXPECT_EQ(state.dad_status(0).status(), 3u);

    Echo();
    EXPECT_TRUE(Dp().dadUpdates.empty()) << "the dataplane is not told its own report";
    Deliver(vdr::BuildDadReport(Report()));
    EXPECT_EQ(db_.writes.size(), 1u) << "an unchanged report is not written again";

    LinkDown();
    LinkUp();
    ASSERT_EQ(Dp().dadUpdates.size(), 1u);
    EXPECT_EQ(Dp().dadUpdates[0].dadLif, "lif-1");
    EXPECT_EQ(Dp().dadUpdates[0].dadVersion, kVersion);
    ExpectNoDataplaneErrors();

    // Every address removed: the object is deleted, once.
    Deliver(vdr::BuildDadReport(Report({})));
    EXPECT_TRUE(log_.Contains("Delete Entire Dad state for Lif lif-1"));
    ASSERT_EQ(db_.writes.size(), 2u);
    ASSERT_TRUE(db_.writes[1].at(0).has_delete_());
    EXPECT_EQ(db_.writes[1][0].delete_().id().SerializeAsString(), Key(kLrpKind, 1));
    Echo();
    Deliver(vdr::BuildDadReport(Report({})));
    EXPECT_EQ(db_.writes.size(), 2u);
    EXPECT_EQ(Dp().dadUpdates.size(), 1u);
}

TEST_F(L3AppDadTest, ADatabaseChangeThatIsNotAnEchoReachesTheDataplane) {
    Deliver(vdr::BuildDadReport(Report()));
    Echo();
    pb::LogRouterPortFibDadStateMsg state;
    ASSERT_TRUE(state.ParseFromString(db_.writes[0][0].put().object().body()));
    state.mutable_dad_status(0)->set_status(2);
    feed_->Change(ObjectType::LOG_ROUTER_PORT_FIB_DAD_STATE, state);
    ASSERT_EQ(Dp().dadUpdates.size(), 1u);
    EXPECT_EQ(Dp().dadUpdates[0].dadEntries.at(0).status, vdr::kDadAssigned);
    EXPECT_TRUE(log_.Contains("Desired state update for Dad Status"));
}

struct BadReport {
    const char* name;
    std::function<void(vdr::DadReportSpec*)> spoil;
    const char* line;
    const char* code;  // "" for none
};

class L3AppBadDadReportTest : public L3AppDadTest,
                              public ::testing::WithParamInterface<BadReport> {};

TEST_P(L3AppBadDadReportTest, IsDroppedWithItsLineAndNothingIsWritten) {
    vdr::DadReportSpec s = Report();
    GetParam().spoil(&s);
    Deliver(vdr::BuildDadReport(s));
    if (GetParam().code[0] != '\0')
        EXPECT_TRUE(log_.ContainsWithCode(GetParam().line, GetParam().code)) << GetParam().line;
    else
        EXPECT_TRUE(log_.Contains(GetParam().line)) << GetParam().line;
    EXPECT_TRUE(db_.writes.empty());
    EXPECT_TRUE(Sent().empty());
}

const BadReport kBadReports[] = {
    {"EmptyVersion", [](vdr::DadReportSpec* s) { s->versionUuid.clear(); }, "Empty version", ""},
    {"VersionNotAUuid", [](vdr::DadReportSpec* s) { s->versionUuid = "0c000000-0000-4000-8000"; },
     "Version UUID invalid", "LCP00703"},
    {"SwitchNotAUuid", [](vdr::DadReportSpec* s) { s->lsUuid = "ls-1"; }, "LS UUID invalid ls-1",
     "LCP00703"},
    {"UnknownLif", [](vdr::DadReportSpec* s) { s->lifName = "lif-9"; },
     "L3App: DAD report for unknown LIF lif-9", "LCP00029"},
    {"OtherRouter", [](vdr::DadReportSpec* s) { s->vdrId = 7; },
     "names vdr 7, the LIF is on vdr 1001", "LCP00029"},
};

INSTANTIATE_TEST_SUITE_P(Routing, L3AppBadDadReportTest, ::testing::ValuesIn(kBadReports),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(L3AppDadTest, WithoutAVdbNothingIsWrittenAndTheNextReportTriesAgain) {
    db_.vdb = 0;
    Deliver(vdr::BuildDadReport(Report()));
    EXPECT_TRUE(log_.Contains("no vdb known yet, DAD state of LIF lif-1 not written"));
    EXPECT_TRUE(db_.writes.empty());
    db_.vdb = 1;
    Deliver(vdr::BuildDadReport(Report()));
    EXPECT_EQ(db_.writes.size(), 1u);
}

}  // namespace
}  // namespace CfgAgent::test
