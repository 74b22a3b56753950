// What the BFD sessions use of L2App (IL2App): session TLVs and Configure items sent only within
// an acknowledged session, under the maximum and before Stop(); the switch ID of a joined VNI and
// the VNI of a logical switch; VNI join listeners; Full Sync End callbacks.
#include <gtest/gtest.h>

#include <tuple>

#include "apps/switching/IL2App.h"
#include "tests/apps/switching/L2AppFixture.h"

namespace CfgAgent::test {
namespace {

using JoinEvent = std::tuple<uint32_t, uint32_t, bool>;  // VNI, switch ID, joined

class L2AppBfdHooksTest : public L2AppFixture {
  protected:
    IL2App& Hooks() { return *app; }
    // A BFD-like session TLV (data type 11) and EVPN global BFD item (9) as the BFD app hands them.
    bool SendTlv() { return Hooks().SendSessionTlv(11, {0, 0, 0, 7, 0, 0, 0xab}); }
    bool SendItem() { return Hooks().SendConfigureItem(9, {1, 0, 1, 0x03, 0xe8, 3}); }
};

TEST_F(L2AppBfdHooksTest, SendsNeedAnAcknowledgedSessionAndALiveApp) {
    EXPECT_FALSE(SendTlv()) << "no session";
    Up();
    EXPECT_FALSE(SendTlv()) << "Open sent, not acknowledged";
    EXPECT_FALSE(SendItem());
    Ack();
    link->ClearSent();
    ASSERT_TRUE(SendTlv());
    ASSERT_TRUE(SendItem());
    End();
    EXPECT_TRUE(SendTlv()) << "and after the Full Sync End";
    const std::vector<DpMsg> sent = link->Sent();
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(sent[0], H("00 05 00 0f 00 0b 00 0b 00 00 00 07 00 00 ab"));
    EXPECT_EQ(sent[1], H("00 02 00 0e 00 09 00 0a 01 00 01 03 e8 03"));

    // Past the maximum length (4085 by default), nothing goes out.
    link->ClearSent();
    EXPECT_FALSE(Hooks().SendSessionTlv(11, std::vector<uint8_t>(4085 - 8 + 1)));
    EXPECT_TRUE(
        log.ContainsWithCode("L2App: Update not sent: 4086 bytes exceed the maximum "
                             "message length 4085",
                             "LCP00402"));
    EXPECT_TRUE(Hooks().SendSessionTlv(11, std::vector<uint8_t>(4085 - 8)));
    EXPECT_FALSE(Hooks().SendConfigureItem(8, std::vector<uint8_t>(70000)));
    EXPECT_EQ(link->Sent().size(), 1u);

    // Several TLVs in one Update, as many as the maximum holds: (4085 - 4) / (4 + 63) = 60.
    EXPECT_EQ(Hooks().SessionTlvsPerUpdate(63), 60u);
    link->ClearSent();
    const uint8_t two[] = {0, 0, 0, 7, 0, 0, 0xab, 0, 0, 0, 8, 0, 1, 0xcd};
    ASSERT_TRUE(Hooks().SendSessionTlvs(11, two, 7, 2));
    const std::vector<uint8_t> full(61 * 63);
    EXPECT_TRUE(Hooks().SendSessionTlvs(11, full.data(), 63, 60));
    EXPECT_FALSE(Hooks().SendSessionTlvs(11, full.data(), 63, 61));
    ASSERT_EQ(link->Sent().size(), 2u);
    EXPECT_EQ(link->Sent()[0], H("00 05 00 1a  00 0b 00 0b 00 00 00 07 00 00 ab"
                                 "  00 0b 00 0b 00 00 00 08 00 01 cd"));
    EXPECT_EQ(link->Sent()[1].size(), 4u + 60 * 67);

    // A new session refuses them until its Open ACK; Stop() for good.
    app->SimulateOutOfSync();
    EXPECT_FALSE(SendItem());
    Ack();
    EXPECT_TRUE(SendItem());
    app->Stop();
    EXPECT_FALSE(SendTlv());
    EXPECT_FALSE(SendItem());
}

TEST_F(L2AppBfdHooksTest, SwitchIdOfAJoinedVniAndVniOfALogicalSwitch) {
    ApplySwitch(LsId(1), 5001);
    Synced({Join(7, 5001)});
    uint32_t sw = 0;
    ASSERT_TRUE(Hooks().SwitchIdOfVni(5001, &sw));
    EXPECT_EQ(sw, 7u);
    EXPECT_FALSE(Hooks().SwitchIdOfVni(5002, &sw));
    uint32_t vni = 0;
    ASSERT_TRUE(Hooks().VniOfLogicalSwitch(LsId(1), &vni));
    EXPECT_EQ(vni, 5001u);
    EXPECT_FALSE(Hooks().VniOfLogicalSwitch(LsId(2), &vni));
    // A switch configured but never joined has its VNI all the same.
    ApplySwitch(LsId(2), 5002);
    ASSERT_TRUE(Hooks().VniOfLogicalSwitch(LsId(2), &vni));
    EXPECT_EQ(vni, 5002u);
    Deliver(Join(7, 5001, 2));
    EXPECT_FALSE(Hooks().SwitchIdOfVni(5001, &sw)) << "left";
}

TEST_F(L2AppBfdHooksTest, ListenersHearJoinsLeavesAndTheLeavesOfANewSession) {
    std::vector<JoinEvent> events;
    Hooks().AddVniJoinListener([&](uint32_t vni, uint32_t sw, bool joined) {
        events.emplace_back(vni, sw, joined);
        // A listener may send from within: the agent lock is recursive.
        if (joined)
            SendTlv();
    });
    Synced({Join(7, 5001)});
    Deliver(Join(7, 5001));  // duplicate: nothing
    Deliver(Join(8, 5002));
    Deliver(Join(8, 5003, 2));  // unknown leave: nothing
    Deliver(Join(8, 5002, 2));
    EXPECT_EQ(events, (std::vector<JoinEvent>{{5001, 7, true}, {5002, 8, true}, {5002, 8, false}}));
    EXPECT_EQ(SentOfType(5).size(), 2u) << "each join's listener sent its TLV";

    events.clear();
    Deliver(Join(9, 5004));
    app->SimulateOutOfSync();
    EXPECT_EQ(events,
              (std::vector<JoinEvent>{{5004, 9, true}, {5001, 7, false}, {5004, 9, false}}));
    app->Stop();
    events.clear();
    Hooks().AddVniJoinListener([&](uint32_t, uint32_t, bool) { events.emplace_back(0, 0, true); });
    EXPECT_TRUE(events.empty());
}

TEST_F(L2AppBfdHooksTest, FullSyncCallbacksRunAfterEveryFullSyncEnd) {
    int runs = 0;
    int sessionState = -1;
    Hooks().RegisterFullSyncCallback([&] {
        ++runs;
        sessionState = app->sessionState();
        // The session is usable from the callback.
        EXPECT_TRUE(SendItem());
    });
    Up();
    Ack();
    EXPECT_EQ(runs, 0);
    End();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(sessionState, L2App::kSessionFullSyncEnded);
    End();  // a second Full Sync End in the same session is ignored
    EXPECT_EQ(runs, 1);
    Synced();
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(SentOfType(2).size(), 2u + 2u) << "two session Configures and two from callbacks";
    app->Stop();
    Hooks().RegisterFullSyncCallback([&] { runs += 100; });
    EXPECT_EQ(runs, 2);
}

}  // namespace
}  // namespace CfgAgent::test
