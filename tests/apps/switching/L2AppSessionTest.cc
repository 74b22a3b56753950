// L2App's session with the dataplane: the bytes it opens with, which messages each session state
// takes, session IDs, out-of-sync reports, instances and the send path.
#include "tests/apps/switching/L2AppFixture.h"

namespace CfgAgent::test {
namespace {

using L2AppSessionTest = L2AppFixture;

TEST_F(L2AppSessionTest, LinkUpOpensASessionThenConfigures) {
    EXPECT_EQ(app->sessionState(), L2App::kSessionIdle);
    uint32_t before = vxlan::CurrentSessionId();
    uint32_t id = Up();
    EXPECT_EQ(id, before + 1);
    std::vector<DpMsg> sent = link->Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], Cat({H("00 0d 00 0d 00 01 00 09 01"), U32(id)}));
    EXPECT_EQ(sent[1], H("00 02 00 28 00 01 00 06 0f f5 00 03 00 06 03 e8 00 04 00 06 00 64"
                         " 00 05 00 06 00 14 00 06 00 06 02 d0 00 07 00 06 02 58"));
    EXPECT_EQ(app->sessionState(), L2App::kSessionOpenSent);
    EXPECT_TRUE(log.Contains("L2App: krnlink up"));
    EXPECT_EQ(links.bufferSizes[kVxlanLink], 4096);

    // The link drops: nothing more is sent until it is back.
    link->Down();
    EXPECT_TRUE(log.Contains("L2App: krnlink down"));
    EXPECT_FALSE(app->SendToDataplane(vxlan::BuildStateQuery()));
    EXPECT_EQ(link->Sent().size(), 2u);
}

class L2AppSettingsTest : public L2AppFixture {
  protected:
    boost::property_tree::ptree Config() override {
        boost::property_tree::ptree c = L2AppFixture::Config();
        c.put("l2.maxMsgLength", "512");
        c.put("l2.freqCtrlPeriod", "0");  // below its range: default
        c.put("l2.freqCtrlQueryLimit", "7");
        c.put("l2.bteAgeingTime", "seventy");  // not a number: default
        c.put("l2.arpAgeingTime", "70000");    // beyond 16 bits: default
        return c;
    }
};

TEST_F(L2AppSettingsTest, SettingsComeFromTheL2SubtreeAndBadOnesKeepTheirDefault) {
    Up();
    std::vector<DpMsg> configure = SentOfType(vxlan::kMsgConfigure);
    ASSERT_EQ(configure.size(), 1u);
    EXPECT_EQ(configure[0], H("00 02 00 28 00 01 00 06 02 00 00 03 00 06 03 e8 00 04 00 06 00 07"
                              " 00 05 00 06 00 14 00 06 00 06 02 d0 00 07 00 06 02 58"));
    EXPECT_TRUE(
        log.ContainsWithCode("l2.freqCtrlPeriod = 0 is outside 1-65535, using 1000", "LCP00401"));
    EXPECT_TRUE(log.ContainsWithCode("Invalid value \"seventy\" of l2.bteAgeingTime, using 720",
                                     "LCP00001"));
    EXPECT_TRUE(
        log.ContainsWithCode("l2.arpAgeingTime = 70000 is outside 0-65535, using 600", "LCP00401"));
}

// Which messages each session state takes: VNI membership (3) and instance change (15) above
// state 1, Update (5) from state 2, Full Sync End (13) only in state 2.
struct GateCase {
    int state;
    uint16_t type;
    bool taken;
};

class L2AppGateTest : public L2AppFixture, public ::testing::WithParamInterface<GateCase> {
  protected:
    void EnterState(int state) {
        if (state >= 1)
            Up();
        if (state >= 2)
            Ack();
        if (state >= 3)
            End();
        ASSERT_EQ(app->sessionState(), state);
    }
};

TEST_P(L2AppGateTest, TakesTheMessageOnlyInTheRightStates) {
    const GateCase& c = GetParam();
    EnterState(c.state);
    size_t mark = LogSize();
    switch (c.type) {
        case vxlan::kMsgVniMembership:
            Deliver(Join(7, 5001));
            EXPECT_EQ(app->vniCount(), c.taken ? 1u : 0u);
            EXPECT_EQ(
                LogSince(mark, "L2App: not ready to receive internal vxlan VNI change message"),
                !c.taken);
            break;
        case vxlan::kMsgUpdate:
            Deliver(Update({MacTlv(7, 5001, {}, {MacV4(1, 1)})}));
            EXPECT_EQ(LogSince(mark, "L2App: receive VM MAC update"), c.taken);
            EXPECT_EQ(LogSince(mark, "L2App: not ready to receive internal vxlan update message"),
                      !c.taken);
            break;
        case vxlan::kMsgSessionControl:
            End();
            EXPECT_EQ(app->sessionState(), c.taken ? 3 : c.state);
            EXPECT_EQ(LogSince(mark, "full sync end message from dataplane"), c.taken);
            break;
        case vxlan::kMsgInstanceChange:
            Deliver(Instance(9, 1));
            EXPECT_EQ(app->queuedInstances().count(9) + app->instances().count(9),
                      c.taken ? 1u : 0u);
            EXPECT_EQ(
                LogSince(mark,
                         "L2App: not ready to receive internal vxlan instance change message"),
                !c.taken);
            break;
    }
}

std::vector<GateCase> GateCases() {
    std::vector<GateCase> out;
    for (int state = 0; state <= 3; ++state) {
        out.push_back({state, vxlan::kMsgVniMembership, state > 1});
        out.push_back({state, vxlan::kMsgUpdate, state >= 2});
        out.push_back({state, vxlan::kMsgSessionControl, state == 2});
        out.push_back({state, vxlan::kMsgInstanceChange, state > 1});
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(States, L2AppGateTest, ::testing::ValuesIn(GateCases()),
                         [](const auto& info) {
                             return "State" + std::to_string(info.param.state) + "Type" +
                                    std::to_string(info.param.type);
                         });

TEST_F(L2AppSessionTest, MessagesOfAnotherSessionAreSkipped) {
    uint32_t id = Up();
    Deliver(Session(2, id + 5));
    EXPECT_EQ(app->sessionState(), L2App::kSessionOpenSent);
    EXPECT_TRUE(log.Contains("L2App: skip messages with sessionID " + std::to_string(id + 5) +
                             ", current sessionID " + std::to_string(id)));
    Ack();
    EXPECT_TRUE(
        log.Contains("L2App: get L2 mapping session control open ack message from "
                     "dataplane"));
    Deliver(Session(3, id - 1));
    EXPECT_EQ(app->sessionState(), L2App::kSessionOpenAcked);
    End();
    EXPECT_EQ(app->sessionState(), L2App::kSessionFullSyncEnded);
    // A second ACK does not take the session back.
    Ack();
    EXPECT_EQ(app->sessionState(), L2App::kSessionFullSyncEnded);
}

TEST_F(L2AppSessionTest, DuplicateJoinAndUnknownLeaveChangeNothing) {
    Synced();
    Deliver(Join(7, 5001));
    Deliver(Join(8, 5001));
    EXPECT_TRUE(log.Contains("L2App: Add logical switch(VNI: 5001, switchID: 7)"));
    EXPECT_TRUE(log.Contains("L2App: Duplicate VNI Join message: 5001"));
    L2App::VniInfo info;
    ASSERT_TRUE(app->GetVni(5001, &info));
    EXPECT_EQ(info.switchId, 7u);
    Deliver(Join(7, 6000, 2));
    EXPECT_TRUE(log.Contains("L2App: No-existing VNI Leave message: 6000"));
    EXPECT_EQ(app->vniCount(), 1u);
    Deliver(Join(7, 5001, 0));  // any op but 1 leaves
    EXPECT_TRUE(log.Contains("L2App: Remove logical switch(VNI: 5001)"));
    EXPECT_EQ(app->vniCount(), 0u);
}

TEST_F(L2AppSessionTest, InstancesGoToTheQueuedSetUntilTheFullSyncEnds) {
    Up();
    Ack();
    Deliver(Instance(3, 1));
    Deliver(Instance(4, 1));
    Deliver(Instance(4, 1));
    Deliver(Instance(5, 2));
    EXPECT_TRUE(log.Contains("L2App: Insert queued ovl2 instance 3"));
    EXPECT_TRUE(log.Contains("L2App: queued ovl2 instance 4 already exit"));
    EXPECT_TRUE(log.Contains("L2App: queued ovl2 instance 5 not exit"));
    EXPECT_EQ(app->queuedInstances(), (std::set<uint32_t>{3, 4}));
    EXPECT_TRUE(app->instances().empty());
    End();
    EXPECT_EQ(app->instances(), (std::set<uint32_t>{3, 4}));
    EXPECT_TRUE(app->queuedInstances().empty());
    Deliver(Instance(3, 2));
    Deliver(Instance(6, 1));
    EXPECT_TRUE(log.Contains("L2App: Remove ovl2 instance 3"));
    EXPECT_TRUE(log.Contains("L2App: Insert ovl2 instance 6"));
    EXPECT_EQ(app->instances(), (std::set<uint32_t>{4, 6}));

    // The next session's full sync replaces the set: the dataplane reports what it has.
    app->SimulateOutOfSync();
    Ack();
    Deliver(Instance(6, 1));
    End();
    EXPECT_EQ(app->instances(), (std::set<uint32_t>{6}));
}

TEST_F(L2AppSessionTest, OnlyANonZeroOutOfSyncReportRestartsTheSession) {
    Synced();
    uint32_t id = vxlan::CurrentSessionId();
    link->ClearSent();
    Deliver(StateReport(2, H("01")));
    Deliver(StateReport(1, H("01 00")));
    Deliver(StateReport(1, H("00")));
    EXPECT_TRUE(log.Contains("L2App: unsupported state report data type 2"));
    EXPECT_TRUE(log.Contains("L2App: unsupported state report data length 2"));
    EXPECT_EQ(vxlan::CurrentSessionId(), id);
    EXPECT_EQ(app->sessionState(), L2App::kSessionFullSyncEnded);
    EXPECT_TRUE(link->Sent().empty());

    Deliver(StateReport(1, H("02")));
    EXPECT_TRUE(log.Contains("L2App: get out-of-sync(2) report from dataplane"));
    EXPECT_EQ(vxlan::CurrentSessionId(), id + 1);
    EXPECT_EQ(app->sessionState(), L2App::kSessionOpenSent);
    ASSERT_EQ(SentOfType(vxlan::kMsgSessionControl).size(), 1u);
    EXPECT_EQ(SentOfType(vxlan::kMsgSessionControl)[0], Session(1, id + 1));

    // The CLI's simulated out-of-sync does the same.
    app->SimulateOutOfSync();
    EXPECT_EQ(vxlan::CurrentSessionId(), id + 2);
    EXPECT_EQ(app->sessionState(), L2App::kSessionOpenSent);
}

TEST_F(L2AppSessionTest, SendsNeitherEmptyMessagesNorAnythingAfterStop) {
    Up();
    link->ClearSent();
    EXPECT_FALSE(app->SendToDataplane(DpMsg()));
    EXPECT_TRUE(log.ContainsWithCode("could not be built; not sent", "LCP00402"));
    EXPECT_TRUE(app->SendToDataplane(vxlan::BuildStateQuery()));
    EXPECT_EQ(link->Sent().size(), 1u);

    int calls = 0;
    app->RegisterFullSyncCallback([&] { ++calls; });
    Ack();
    End();
    EXPECT_EQ(calls, 1);

    app->Stop();
    EXPECT_FALSE(app->SendToDataplane(vxlan::BuildStateQuery()));
    Deliver(Join(7, 5001));
    EXPECT_EQ(app->vniCount(), 0u);
    EXPECT_EQ(link->Sent().size(), 1u);
}

}  // namespace
}  // namespace CfgAgent::test
