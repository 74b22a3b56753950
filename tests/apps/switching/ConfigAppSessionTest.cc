// The KCP session of ConfigApp: the Session Open bytes, acknowledgement and full-sync end, stale
// session IDs, Updates before the acknowledgement, fragments, link status and out-of-sync reports.
#include "tests/apps/switching/ConfigAppFixture.h"

#include "dataplane/DpFraming.h"
#include "tests/dataplane/ByteVec.h"

namespace CfgAgent::test {
namespace {

namespace pb = orvane::ozy::cairndb;

using ConfigAppSessionTest = ConfigAppFixture;

TEST_F(ConfigAppSessionTest, InitCreatesBothLinksRegistersAndStartsThem) {
    EXPECT_EQ(links.bufferSizes[kKcpLink], 10240);
    EXPECT_EQ(links.bufferSizes[kSwsecLink], 4096);
    EXPECT_TRUE(kcpLink->started);
    EXPECT_TRUE(swsecLink->started);
    EXPECT_EQ(conv->calls.front(), "Init");
    EXPECT_TRUE(dispatcher->IsRegistered(ComponentType::CONFIGAPP));
    EXPECT_TRUE(log.Contains("IpDiscovery: Start called"));
    // Observer of the five switching types: a second registration is refused.
    log.Clear();
    EXPECT_FALSE(table->RegisterDesiredStateObserver(ObjectType::PORT_MIRROR_SESSION, app.get()));
    EXPECT_FALSE(table->RegisterDesiredStateObserver(ObjectType::BRIDGE_CLUSTER_CONFIG, app.get()));
    EXPECT_TRUE(table->RegisterDesiredStateObserver(ObjectType::DA_VIF, app.get()));
    table->UnregisterDesiredStateObserver(ObjectType::DA_VIF, app.get());
    // No session before the link is up.
    EXPECT_TRUE(kcpLink->Sent().empty());
    EXPECT_EQ(app->sessionState(), ConfigApp::kSessionIdle);
}

TEST_F(ConfigAppSessionTest, MissingLinkPathInANonEmptySubtreeAbortsStartUp) {
    app->Stop();
    boost::property_tree::ptree c;
    c.put("features.healthMonitor.enabled", false);
    ConfigAppOptions o;
    o.configTable = table.get();
    o.makeConvertor = [](IConfigApp*) { return std::make_unique<RecordingConvertor>(); };
    FakeLinks other;
    o.makeLink = other.Factory();
    o.timerContext = &io;
    auto second = ozy::MakeRef<ConfigApp>(std::move(o));
    EXPECT_THROW(second->Init(c), boost::property_tree::ptree_bad_path);
    second->Stop();
}

TEST_F(ConfigAppSessionTest, SessionOpenAckAndFullSyncEndWalkTheStates) {
    kcpLink->Up();
    ASSERT_EQ(SessionOpens().size(), 1u);
    uint32_t sid = kcp::CurrentSessionId();
    Bytes expected = Cat({H("00 05 00 0f 00 01 00 0b 01"),
                          Bytes{static_cast<uint8_t>(sid >> 24), static_cast<uint8_t>(sid >> 16),
                                static_cast<uint8_t>(sid >> 8), static_cast<uint8_t>(sid)},
                          H("28 00")});
    EXPECT_EQ(SessionOpens().front(), expected);
    EXPECT_EQ(app->sessionState(), ConfigApp::kSessionOpenSent);
    EXPECT_TRUE(app->linkUp());
    EXPECT_TRUE(log.Contains("ConfigApp: DP link status turns to UP"));
    EXPECT_TRUE(log.Contains("ConfigApp: start FullSync with DP"));
    EXPECT_EQ(conv->Count("ResetSyncState"), 1u);

    kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionOpenAck, sid));
    EXPECT_EQ(app->sessionState(), ConfigApp::kSessionOpenAcked);
    EXPECT_TRUE(
        log.Contains("ConfigApp: received session control open ack message from dataplane"));
    EXPECT_FALSE(app->fullSyncDone());

    kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionFullSyncEnd, sid));
    EXPECT_EQ(app->sessionState(), ConfigApp::kSessionFullSyncEnded);
    EXPECT_TRUE(app->fullSyncDone());
    EXPECT_TRUE(app->ipDiscoveryFullSyncDone());
    EXPECT_EQ(conv->Count("FullSyncDone"), 1u);
    EXPECT_EQ(conv->Count("FullSyncUplinks"), 1u);
    // Other control types are ignored.
    kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionClose, sid));
    EXPECT_EQ(app->sessionState(), ConfigApp::kSessionFullSyncEnded);
}

TEST_F(ConfigAppSessionTest, StaleSessionIdIsDroppedAndFullSyncListsStayUntouched) {
    OpenSession(false, {Vif(kVif1, kPort1)});
    uint32_t sid = kcp::CurrentSessionId();
    log.Clear();
    kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionFullSyncEnd, sid - 1));
    EXPECT_TRUE(log.ContainsWithCode("ConfigApp: skipped messages with sessionID " +
                                         std::to_string(sid - 1) + ", current sessionID " +
                                         std::to_string(sid),
                                     "LCP00504"));
    EXPECT_FALSE(app->fullSyncDone());
    EXPECT_EQ(app->sessionState(), ConfigApp::kSessionOpenAcked);
    pb::VifStateMsg st;
    EXPECT_FALSE(VifState(kVif1, &st));
    EXPECT_EQ(conv->Count("FullSyncDone"), 0u);
    // The right ID ends the full sync with the VIF collected before.
    kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionFullSyncEnd, sid));
    EXPECT_TRUE(app->fullSyncDone());
    ASSERT_TRUE(VifState(kVif1, &st));
    EXPECT_EQ(st.vif_id(), kVif1);
    EXPECT_EQ(st.status(), kcp::kVifConnect);
    EXPECT_EQ(st.port_id(), kPort1);
    // A stale acknowledgement does not move the state back.
    kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionOpenAck, sid + 7));
    EXPECT_EQ(app->sessionState(), ConfigApp::kSessionFullSyncEnded);
}

TEST_F(ConfigAppSessionTest, UpdateBeforeTheAcknowledgementIsDropped) {
    kcpLink->Up();
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpUpdate, {Vif(kVif1, kPort1)}));
    EXPECT_EQ(conv->Count("VifInfo"), 0u);
    EXPECT_TRUE(log.Contains("ConfigApp: Update dropped in session state 1"));
    uint32_t sid = kcp::CurrentSessionId();
    kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionOpenAck, sid));
    kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionFullSyncEnd, sid));
    pb::VifStateMsg st;
    EXPECT_FALSE(VifState(kVif1, &st));
    EXPECT_EQ(app->vifCount(), 0u);
}

TEST_F(ConfigAppSessionTest, ThreeFragmentsYieldOneVifWithAllProperties) {
    OpenSession();
    kcp::VifRecordSpec v = Vif(kVif1, kPort1);
    for (uint8_t i = 0; i < 30; ++i)
        v.macs.push_back({0x02, 0, 0, 0, 0, i});
    kcp::KcpUpdateBuilder b(kcp::kUpdateFirstTlvOffset + kDpTlvHeaderSize + 1 + kcp::kVifFixedSize +
                            81);
    ASSERT_TRUE(b.AddVifUpdate(kcp::kOpUpdate, {v}));
    std::vector<DpMsg> frags = b.Build();
    ASSERT_EQ(frags.size(), 3u);
    EXPECT_NE(frags[0][4] & kcp::kUpdateFragmentFlag, 0);
    EXPECT_NE(frags[1][4] & kcp::kUpdateFragmentFlag, 0);
    EXPECT_EQ(frags[2][4] & kcp::kUpdateFragmentFlag, 0);
    kcpLink->Deliver(frags[0]);
    kcpLink->Deliver(frags[1]);
    EXPECT_EQ(app->pendingFragments(), 2u);
    EXPECT_EQ(conv->Count("VifInfo"), 0u);
    kcpLink->Deliver(frags[2]);
    EXPECT_EQ(app->pendingFragments(), 0u);
    ASSERT_EQ(conv->vifInfos.size(), 1u);
    EXPECT_EQ(conv->vifInfos[0].macs.size(), 30u);
    EXPECT_TRUE(conv->vifInfos[0].connected);
    pb::VifStateMsg st;
    ASSERT_TRUE(VifState(kVif1, &st));
    ASSERT_EQ(st.macs_size(), 30);
    EXPECT_EQ(st.macs(29), MacToU64({0x02, 0, 0, 0, 0, 29}));
    EXPECT_EQ(st.mac(), MacToU64({0x02, 0, 0, 0, 0, 0}));
    EXPECT_EQ(st.status(), kcp::kVifConnect);
}

TEST_F(ConfigAppSessionTest, LinkDownTellsTheConvertorAndLinkUpOpensANewSession) {
    OpenSession();
    uint32_t first = kcp::CurrentSessionId();
    kcpLink->Down();
    EXPECT_FALSE(app->linkUp());
    EXPECT_EQ(conv->Count("Disconnected"), 1u);
    EXPECT_TRUE(log.Contains("ConfigApp: DP link status turns to DOWN"));
    // Link down alone keeps the session state.
    EXPECT_EQ(app->sessionState(), ConfigApp::kSessionFullSyncEnded);
    // What is sent while the link is down is refused, not queued.
    EXPECT_FALSE(app->SendKcpMessage(kcp::BuildDpStatusQuery()));
    kcpLink->Up();
    EXPECT_GT(kcp::CurrentSessionId(), first);
    EXPECT_EQ(app->sessionState(), ConfigApp::kSessionOpenSent);
    EXPECT_EQ(SessionOpens().size(), 2u);
    // A link-status event of another link is not this app's.
    FakeLink stranger(
        "x", [](const uint8_t*, size_t) {}, [](DataplaneLink*, int) {});
    app->HandleLinkStatus(&stranger, DataplaneLink::kLinkDown);
    EXPECT_TRUE(app->linkUp());
}

TEST_F(ConfigAppSessionTest, SendKcpMessageQueuesOnTheLinkWhenUp) {
    OpenSession();
    kcpLink->ClearSent();
    DpMsg q = kcp::BuildDpStatusQuery();
    EXPECT_TRUE(app->SendKcpMessage(q));
    ASSERT_EQ(kcpLink->Sent().size(), 1u);
    EXPECT_EQ(kcpLink->Sent()[0], q);
}

TEST_F(ConfigAppSessionTest, DpOutOfSyncAndTheSimulatedOneRestartTheSession) {
    OpenSession();
    conv->Clear();
    uint32_t before = kcp::CurrentSessionId();
    kcpLink->Deliver(kcp::BuildDpStatusNotification(kcp::kDpStatusOutOfSync));
    EXPECT_TRUE(log.Contains("ConfigApp: re-init control plane due to DP out of sync"));
    EXPECT_EQ(kcp::CurrentSessionId(), before + 1);
    EXPECT_EQ(app->sessionState(), ConfigApp::kSessionOpenSent);
    EXPECT_FALSE(app->fullSyncDone());
    EXPECT_EQ(conv->Count("ResetSyncState"), 1u);
    EXPECT_EQ(conv->Count("PushFullState"), 1u);
    // "Sync" changes nothing.
    kcpLink->Deliver(kcp::BuildDpStatusNotification(kcp::kDpStatusSync));
    EXPECT_EQ(kcp::CurrentSessionId(), before + 1);

    // Once that session's full sync ended, the simulated one restarts it the same way.
    kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionOpenAck, before + 1));
    kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionFullSyncEnd, before + 1));
    log.Clear();
    app->SimulateOutOfSync();
    EXPECT_TRUE(log.Contains("ConfigApp: re-init control plane due to DP out of sync"));
    EXPECT_EQ(kcp::CurrentSessionId(), before + 2);
    EXPECT_EQ(conv->Count("PushFullState"), 2u);
}

// A burst of OutOfSync reports is one resync, plus one more for the reports that came while it
// was in flight; reports arriving once a session is done start a new one again.
TEST_F(ConfigAppSessionTest, OutOfSyncBurstIsCoalescedIntoOneResyncInFlightAndOneMore) {
    OpenSession();
    conv->Clear();
    uint32_t before = kcp::CurrentSessionId();
    for (int i = 0; i < 2000; ++i)
        kcpLink->Deliver(kcp::BuildDpStatusNotification(kcp::kDpStatusOutOfSync));
    EXPECT_EQ(kcp::CurrentSessionId(), before + 1);
    EXPECT_EQ(conv->Count("PushFullState"), 1u);
    EXPECT_EQ(SessionOpens().size(), 2u);  // the first session's and the resync's
    EXPECT_EQ(log.Count("ConfigApp: DP out of sync while a session is opening, resync after it"),
              1u);
    // Acknowledged but not yet synced: still in flight.
    kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionOpenAck, before + 1));
    app->SimulateOutOfSync();
    EXPECT_EQ(kcp::CurrentSessionId(), before + 1);
    // Its full sync ends: the folded reports give exactly one more.
    kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionFullSyncEnd, before + 1));
    EXPECT_EQ(kcp::CurrentSessionId(), before + 2);
    EXPECT_EQ(conv->Count("PushFullState"), 2u);
    kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionOpenAck, before + 2));
    kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionFullSyncEnd, before + 2));
    EXPECT_EQ(kcp::CurrentSessionId(), before + 2);
    EXPECT_EQ(conv->Count("PushFullState"), 2u);
    EXPECT_TRUE(app->fullSyncDone());
    // A link that goes down and up opens a session that covers a report still waiting.
    kcpLink->Deliver(kcp::BuildDpStatusNotification(kcp::kDpStatusOutOfSync));
    kcpLink->Deliver(kcp::BuildDpStatusNotification(kcp::kDpStatusOutOfSync));
    EXPECT_EQ(kcp::CurrentSessionId(), before + 3);
    kcpLink->Down();
    OpenSession();
    EXPECT_EQ(kcp::CurrentSessionId(), before + 4);
    EXPECT_EQ(conv->Count("PushFullState"), 3u);
}

TEST_F(ConfigAppSessionTest, PropertyOutOfSyncNotificationsReachTheConvertor) {
    OpenSession();
    conv->Clear();
    kcpLink->Deliver(kcp::BuildPortOutOfSyncNotification(kVif1));
    kcpLink->Deliver(kcp::BuildKrnnicOutOfSyncNotification("vmk1"));
    kcpLink->Deliver(kcp::BuildHopoverSyncNotification(kVif2, kcp::kSyncBoth));
    // The port's properties to the engine, its container list to CIFConfig.
    EXPECT_EQ(conv->calls, (std::vector<std::string>{"PortOutOfSync " + std::string(kVif1),
                                                     "KrnnicOutOfSync vmk1",
                                                     "HopoverSync " + std::string(kVif2) + " 1"}));
    // (No desired state was pushed in this session: the push to come carries every list.)
    EXPECT_TRUE(log.Contains("Delay container list sync " + std::string(kVif2) +
                             " since the configuration hasn't been pushed down"));
    // Several elements in one notification are handled in order.
    conv->Clear();
    DpMsg two = Cat({H("00 03"), U16(4 + 52 + 20), U16(2), U16(52), Field("vif-a", 48), U16(3),
                     U16(20), Field("vmk2", 16)});
    kcpLink->Deliver(two);
    EXPECT_EQ(conv->calls,
              (std::vector<std::string>{"PortOutOfSync vif-a", "KrnnicOutOfSync vmk2"}));
}

TEST_F(ConfigAppSessionTest, QueryMessagesAreIgnored) {
    OpenSession();
    conv->Clear();
    log.Clear();
    kcpLink->Deliver(kcp::BuildDpStatusQuery());
    EXPECT_TRUE(conv->calls.empty());
    EXPECT_FALSE(log.ContainsWithCode("ConfigApp: received unknown KCP msg", "LCP00506"));
}

TEST_F(ConfigAppSessionTest, StopStopsTheLinksAndUnregisters) {
    OpenSession();
    app->Stop();
    EXPECT_TRUE(kcpLink->stopped);
    EXPECT_TRUE(swsecLink->stopped);
    EXPECT_EQ(conv->calls.back(), "Stop");
    EXPECT_FALSE(dispatcher->IsRegistered(ComponentType::CONFIGAPP));
    EXPECT_TRUE(table->RegisterDesiredStateObserver(ObjectType::LOG_SWITCH_CONFIG, app.get()));
    table->UnregisterDesiredStateObserver(ObjectType::LOG_SWITCH_CONFIG, app.get());
    // After Stop nothing reaches the convertor.
    size_t calls = conv->calls.size();
    app->HandleKcpMessage(kcp::BuildDpStatusNotification(1).data(), 9);
    EXPECT_EQ(conv->calls.size(), calls);
    app->Stop();
}

}  // namespace
}  // namespace CfgAgent::test
