// BFDTableApp's table and derivations on real state-cache tables: one entry with a reference per
// VNI and a dataplane session per VNI, removals only with a session's last reference, refusals
// (LCP00007, mixed families, LCP02204, LCP02205), routing domains (moves, the global one, EVPN),
// VTEP groups, joins, refused sends and full syncs recomputed from the stores.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/apps/routing/BfdFixture.h"

namespace CfgAgent::test {
namespace {

using Ops = std::vector<std::pair<uint16_t, uint32_t>>;  // (0 add / 1 remove, VNI)

class BFDTableAppTest : public BfdFixture {
  protected:
    // Switches A (VNI 5001) and B (VNI 5002), both joined, with local VTEP 10.0.1.1 and remote
    // VTEP 10.0.2.1; A also has 10.0.2.2.
    void TwoSwitchesSharingASession() {
        l2.Join(5001, 7);
        l2.Join(5002, 7);
        Switch(LsId(1), 5001);
        Switch(LsId(2), 5002);
        LocalVteps(LsId(1), {VtepBody(V4(1, 1), 11)});
        LocalVteps(LsId(2), {VtepBody(V4(1, 1), 11)});
        RemoteVteps(LsId(1), {VtepBody(V4(2, 1), 21), VtepBody(V4(2, 2), 22)});
        RemoteVteps(LsId(2), {VtepBody(V4(2, 1), 21)});
    }
    static BfdSessionKey Key(uint32_t local, uint32_t remote, uint32_t ll, uint32_t rl) {
        BfdSessionKey k;
        StoreBe32(k.local.bytes.data(), local);
        StoreBe32(k.remote.bytes.data(), remote);
        k.localLabel = ll;
        k.remoteLabel = rl;
        return k;
    }
    nlohmann::json Table() { return nlohmann::json::parse(app->TableJson()); }
};

TEST_F(BFDTableAppTest, ASessionOfTwoVnisIsOneEntryWithTwoDataplaneSessions) {
    TwoSwitchesSharingASession();
    EXPECT_EQ(app->EntryCount(), 2u);
    EXPECT_EQ(app->ReferenceCount(), 3u);
    EXPECT_EQ(app->DataplaneSessionCount(), 3u);
    EXPECT_EQ(SentOps(), (Ops{{0, 5001}, {0, 5001}, {0, 5002}}));
    const nlohmann::json shared = Table()["entries"][0];
    EXPECT_EQ(shared["remote_ip"], "10.0.2.1");
    ASSERT_EQ(shared["references"].size(), 2u);
    EXPECT_EQ(shared["references"][0]["remote_id_type"], "Logical Switch");

    // The shared remote VTEP leaves switch A: only VNI 5001's session goes, the entry stays.
    const size_t mark = SessionsSent();
    RemoteVteps(LsId(1), {VtepBody(V4(2, 1), 21)}, Operation::OPERATION_DELETE);
    EXPECT_EQ(SentOps(mark), (Ops{{1, 5001}}));
    EXPECT_EQ(app->EntryCount(), 2u);
    EXPECT_EQ(app->ReferenceCount(), 2u);
    EXPECT_EQ(Table()["entries"][0]["references"].size(), 1u);
    // And from switch B too: the entry goes with its last reference.
    RemoteVteps(LsId(2), {VtepBody(V4(2, 1), 21)}, Operation::OPERATION_DELETE);
    EXPECT_EQ(SentOps(mark), (Ops{{1, 5001}, {1, 5002}}));
    EXPECT_EQ(app->EntryCount(), 1u);
}

TEST_F(BFDTableAppTest, TwoReferencesOfOneDataplaneSessionSendOneAddAndOneRemoval) {
    // Two references that map to the same dataplane entry (same VNI, no domain, no group): the
    // add goes with the first and the removal with the last.
    l2.Join(5001, 7);
    const BfdSessionKey k = Key(V4(1, 1), V4(2, 1), 11, 21);
    const BfdReference a{LsId(1), BfdIdType::kLogicalSwitch, LsId(1)};
    const BfdReference b{LsId(2), BfdIdType::kLogicalSwitch, LsId(1)};
    EXPECT_TRUE(app->UpdateBFDTable(k, 0, a, 5001));
    EXPECT_TRUE(app->UpdateBFDTable(k, 0, b, 5001));
    EXPECT_TRUE(log.Contains("AddBFDSessionToBFDTable: Insert remoteID"));
    EXPECT_EQ(SentOps(), (Ops{{0, 5001}}));
    EXPECT_TRUE(app->UpdateBFDTable(k, 1, a, 0));
    EXPECT_EQ(SentOps(), (Ops{{0, 5001}}));
    EXPECT_TRUE(app->UpdateBFDTable(k, 1, b, 0));
    EXPECT_EQ(SentOps(), (Ops{{0, 5001}, {1, 5001}}));
}

TEST_F(BFDTableAppTest, SessionsAddedAndRemovedOutOfOrderGoOutOnceEach) {
    // Remote VTEPs arrive out of address order and one goes between adds: every session is
    // added and removed exactly once, whatever the order.
    l2.Join(5001, 7);
    Switch(LsId(1), 5001);
    LocalVteps(LsId(1), {VtepBody(V4(1, 1), 11)});
    RemoteVteps(LsId(1), {VtepBody(V4(2, 3), 23)});
    RemoteVteps(LsId(1), {VtepBody(V4(2, 1), 21)});
    RemoteVteps(LsId(1), {VtepBody(V4(2, 3), 23)}, Operation::OPERATION_DELETE);
    RemoteVteps(LsId(1), {VtepBody(V4(2, 2), 22), VtepBody(V4(2, 4), 24)});
    EXPECT_EQ(SentOps(), (Ops{{0, 5001}, {0, 5001}, {1, 5001}, {0, 5001}, {0, 5001}}));
    std::vector<uint8_t> remotes;
    for (const vxlan::BfdSession& s : l2.Sessions())
        remotes.push_back(s.remote[3]);
    EXPECT_EQ(remotes, (std::vector<uint8_t>{3, 1, 3, 2, 4}));
    EXPECT_EQ(app->DataplaneSessionCount(), 3u);
    EXPECT_EQ(app->EntryCount(), 3u);
}

TEST_F(BFDTableAppTest, RefusedUpdatesChangeNothingAndSendNothing) {
    l2.Join(5001, 7);
    const BfdReference ref{LsId(1), BfdIdType::kLogicalSwitch, LsId(1)};
    EXPECT_FALSE(app->UpdateBFDTable(Key(V4(1, 1), V4(2, 1), 11, 21), 1, ref, 5001));
    EXPECT_TRUE(log.ContainsWithCode(
        "BFDTable does not contain valid bfd session (10.0.1.1 --> 10.0.2.1)for localID "
        "5a000000-0000-4000-0000-000000000001 --> remote ID "
        "5a000000-0000-4000-0000-000000000001 to be deleted, session type is : Tunnel",
        "LCP00007"));
    BfdSessionKey mixed = Key(V4(1, 1), 0, 11, 21);
    mixed.remote.ipv6 = true;
    mixed.remote.bytes[0] = 0xfd;
    EXPECT_FALSE(app->UpdateBFDTable(mixed, 0, ref, 5001));
    EXPECT_TRUE(
        log.Contains("BFDTableApp: AddBFDSessionToBFDTable type error: Local IP type is "
                     "v4: true, RemoteIP type is v4: false"));
    EXPECT_EQ(app->EntryCount(), 0u);
    EXPECT_TRUE(l2.sent.empty());
    // Derived pairs of two families are never formed: IPv6 remote on an IPv4-only local side.
    Switch(LsId(1), 5001);
    LocalVteps(LsId(1), {VtepBody(V4(1, 1), 11)});
    RemoteVteps(LsId(1), {Vtep6Body(2, 21)});
    EXPECT_EQ(app->EntryCount(), 0u);
    LocalVteps(LsId(1), {Vtep6Body(1, 12)});
    EXPECT_EQ(app->EntryCount(), 1u);
    ASSERT_EQ(l2.Sessions().size(), 1u);
    EXPECT_EQ(l2.Sessions()[0].family, 1);
}

// Local VTEPs learned in one runtime batch: the sessions of every switch the batch's lists touch
// are derived at its end, not before.
TEST_F(BFDTableAppTest, LocalVtepsOfARuntimeBatchAreDerivedAtItsEnd) {
    l2.Join(5001, 7);
    l2.Join(5002, 8);
    Switch(LsId(1), 5001);
    Switch(LsId(2), 5002);
    RemoteVteps(LsId(1), {VtepBody(V4(2, 1), 21)});
    RemoteVteps(LsId(2), {VtepBody(V4(2, 2), 22)});
    pb::LogSwitchMacEntryMsg mac;
    mac.set_mac(1);
    mac.mutable_vtep_ip()->set_ipv4(V4(1, 1));
    cache->L2Table()->BeginRuntimeBatch();
    LocalVteps(LsId(1), {VtepBody(V4(1, 1), 11)});
    L2(true, ObjectType::LOG_SWITCH_STATE, LsId(3), PropertyType::L2_VM_MAC,
       {mac.SerializeAsString()});
    LocalVteps(LsId(2), {VtepBody(V4(1, 2), 12)});
    EXPECT_EQ(app->EntryCount(), 0u);
    cache->L2Table()->EndRuntimeBatch();
    EXPECT_EQ(app->EntryCount(), 2u);
    EXPECT_EQ(SentOps(), (Ops{{0, 5001}, {0, 5002}}));
}

TEST_F(BFDTableAppTest, ASessionOfAVniNotJoinedWaitsForTheJoin) {
    Switch(LsId(1), 5001);
    LocalVteps(LsId(1), {VtepBody(V4(1, 1), 11)});
    RemoteVteps(LsId(1), {VtepBody(V4(2, 1), 21)});
    EXPECT_EQ(app->EntryCount(), 1u);
    EXPECT_TRUE(l2.sent.empty());
    l2.Join(5001, 9);
    EXPECT_TRUE(log.Contains("BFDTableApp: BFD handle the VNI join message"));
    ASSERT_EQ(l2.Sessions().size(), 1u);
    EXPECT_EQ(l2.Sessions()[0].switchId, 9u);
    // A switch without a VNI: kept in the table, LCP02201, sent once the VNI is configured.
    LocalVteps(LsId(2), {VtepBody(V4(1, 1), 11)});
    RemoteVteps(LsId(2), {VtepBody(V4(2, 5), 25)});
    EXPECT_TRUE(log.ContainsWithCode("Cannot get VNI by logical switch.", "LCP02201"));
    EXPECT_EQ(app->EntryCount(), 2u);
    l2.Join(5002, 9);
    Switch(LsId(2), 5002);
    EXPECT_EQ(SentOps(), (Ops{{0, 5001}, {0, 5002}}));
}

TEST_F(BFDTableAppTest, SendsRefusedBeforeTheOpenAckGoAtTheFullSyncEndOnce) {
    l2.accepting = false;
    TwoSwitchesSharingASession();
    EXPECT_TRUE(l2.sent.empty());
    pb::BfdGlobalConfigMsg g;
    g.mutable_config()->set_enabled(true);
    app->UpdateDesiredState({Rec(ObjectType::BFD_GLOBAL_CONFIG, SerializedUuid(0xbf, 1),
                                 PropertyType::INVALID_PROPERTY, g.SerializeAsString())},
                            false);
    l2.accepting = true;
    l2.FullSyncEnd();
    EXPECT_TRUE(log.Contains("BFDTableApp: Sync BFD sessions to dataplane"));
    EXPECT_EQ(SentOps().size(), 3u);
    EXPECT_EQ(l2.Items(9).size(), 1u);
    // A second Full Sync End of the same session sends no session twice, the items again.
    l2.FullSyncEnd();
    EXPECT_EQ(SentOps().size(), 3u);
    EXPECT_EQ(l2.Items(9).size(), 2u);
    // A new session: the leaves forget what the dataplane held; the next end sends it all.
    l2.Join(5001, 7, false);
    l2.Join(5002, 7, false);
    l2.joined = {{5001, 7}, {5002, 7}};
    l2.FullSyncEnd();
    EXPECT_EQ(SentOps().size(), 6u);
    EXPECT_EQ(app->SentSessionCount(), 3u);
}

TEST_F(BFDTableAppTest, SessionsOfOnePassGoPackedAndARefusedUpdateWaitsForTheFullSyncEnd) {
    l2.perUpdate = 3;
    l2.Join(5001, 7);
    Switch(LsId(1), 5001);
    LocalVteps(LsId(1), {VtepBody(V4(1, 1), 11), VtepBody(V4(1, 2), 12)});
    RemoteVteps(LsId(1), {VtepBody(V4(2, 1), 21), VtepBody(V4(2, 2), 22), VtepBody(V4(2, 3), 23),
                          VtepBody(V4(2, 4), 24)});
    EXPECT_EQ(l2.updates, (std::vector<size_t>{3, 3, 2})) << "the 8 sessions of one store update";
    EXPECT_EQ(app->SentSessionCount(), 8u);

    // Refused (link down): nothing is counted as sent; the Full Sync End sends exactly those.
    l2.accepting = false;
    RemoteVteps(LsId(1), {VtepBody(V4(2, 5), 25), VtepBody(V4(2, 6), 26)});
    EXPECT_EQ(app->DataplaneSessionCount(), 12u);
    EXPECT_EQ(app->SentSessionCount(), 8u);
    EXPECT_TRUE(
        log.Contains("BFDTableApp: BFD session of VNI 5001 not sent (op 0); it is sent "
                     "again at the next full sync"));
    l2.accepting = true;
    l2.updates.clear();
    l2.FullSyncEnd();
    EXPECT_EQ(l2.updates, (std::vector<size_t>{3, 1}));
    EXPECT_TRUE(log.Contains("BFDTableApp: 4 BFD sessions sent, 12 in the dataplane"));
    // Removals are packed the same way, in the order they were made.
    l2.updates.clear();
    const size_t mark = SessionsSent();
    RemoteVteps(LsId(1), {VtepBody(V4(2, 1), 21), VtepBody(V4(2, 2), 22)},
                Operation::OPERATION_DELETE);
    EXPECT_EQ(l2.updates, (std::vector<size_t>{3, 1}));
    EXPECT_EQ(SentOps(mark), (Ops{{1, 5001}, {1, 5001}, {1, 5001}, {1, 5001}}));
    EXPECT_EQ(app->SentSessionCount(), 8u);
}

TEST_F(BFDTableAppTest, AFullSyncIsRecomputedFromTheStores) {
    TwoSwitchesSharingASession();
    const size_t mark = SessionsSent();
    // A desired full sync that keeps switch B's FIB only: the stale A entries are removed without
    // records, and the observer's list holds only what changed.
    cache->L2Table()->UpdateDesiredState(
        {Rec(ObjectType::LOG_SWITCH_FIB, LsId(2), PropertyType::INVALID_PROPERTY, ""),
         Rec(ObjectType::LOG_SWITCH_FIB, LsId(2), PropertyType::L2_VTEP, VtepBody(V4(2, 1), 21))},
        true);
    EXPECT_EQ(SentOps(mark), (Ops{{1, 5001}, {1, 5001}}));
    EXPECT_EQ(app->ReferenceCount(), 1u);
}

TEST_F(BFDTableAppTest, RoutingDomainSessionsMoveWithTheSwitch) {
    l2.Join(5001, 7);
    Switch(LsId(1), 5001, RdId(1));
    LocalVteps(LsId(1), {VtepBody(V4(1, 1), 11)});
    RemoteVteps(LsId(1), {VtepBody(V4(2, 1), 21)});
    EXPECT_TRUE(
        log.Contains("BFDTableApp: Add a new routingDomain ID "
                     "7d000000-0000-4000-0000-000000000001"));
    ASSERT_EQ(l2.Sessions().size(), 1u);
    EXPECT_EQ(Table()["entries"][0]["references"][0]["remote_id_type"], "Routing Romain");
    vxlan::UuidBytes rd1{0x7d, 0, 0, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(l2.Sessions()[0].routingDomain, rd1);

    Switch(LsId(1), 5001, RdId(2));
    ASSERT_EQ(l2.Sessions().size(), 3u);
    EXPECT_EQ(l2.Sessions()[1].op, 1);
    EXPECT_EQ(l2.Sessions()[1].routingDomain, rd1);
    EXPECT_EQ(l2.Sessions()[2].op, 0);
    EXPECT_EQ(l2.Sessions()[2].routingDomain[15], 2);
    EXPECT_TRUE(log.Contains("RoutingDomainOfLogicalSwitchUpdate: Update BFD session"));
    EXPECT_TRUE(
        log.Contains("BFDTableApp: Delete the routingDomain ID "
                     "7d000000-0000-4000-0000-000000000001"));
    EXPECT_EQ(app->ReferenceCount(), 1u);
}

TEST_F(BFDTableAppTest, DomainSessionsForEvpnSwitchesOutsideTheGlobalDomain) {
    l2.Join(5001, 7);
    L2(true, ObjectType::ROUTING_DOMAIN_VTEP, RdId(1), PropertyType::L2_VTEP,
       {VtepBody(V4(1, 9), 19)});
    L2(false, ObjectType::ROUTING_DOMAIN_FIB, RdId(1), PropertyType::L2_VTEP,
       {VtepBody(V4(3, 1), 31), VtepBody(V4(3, 2), 32)});
    Switch(LsId(1), 5001, RdId(1));
    EXPECT_EQ(app->EntryCount(), 0u) << "not an EVPN switch";
    EXPECT_TRUE(log.Contains("is not for EVPN"));
    Switch(LsId(1), 5001, RdId(1), /*evpn=*/1);
    EXPECT_EQ(app->EntryCount(), 2u);
    EXPECT_EQ(SentOps(), (Ops{{0, 5001}, {0, 5001}}));
    // A remote VTEP more in the domain reaches the switches of the domain.
    L2(false, ObjectType::ROUTING_DOMAIN_FIB, RdId(1), PropertyType::L2_VTEP,
       {VtepBody(V4(3, 3), 33)});
    EXPECT_EQ(app->EntryCount(), 3u);
    // The global routing domain takes no domain sessions.
    GlobalRoutingDomain(RdId(1));
    Switch(LsId(1), 5001, RdId(1), 1);
    EXPECT_TRUE(log.Contains(
        "BFDTable::RoutingDomainBasedBFDLocalL2CacheUpdate: Skip global routing domain"));
    EXPECT_EQ(app->EntryCount(), 0u);
}

TEST_F(BFDTableAppTest, VtepGroupsNeedATnGroupLabelWithBfdActiveness) {
    l2.Join(5001, 7);
    Switch(LsId(1), 5001);
    LocalVteps(LsId(1), {VtepBody(V4(1, 1), 11)});
    GroupLabel(LsId(1), 900);
    EXPECT_TRUE(log.ContainsWithCode(
        "BFDTableApp: IsTNVtepGroupMsg: this label: 900 is not TN TEP group label, MP should pass "
        "a correct one.",
        "LCP02204"));
    Group(1, 900, /*protocol=*/0, {{41, V4(4, 1)}});
    EXPECT_TRUE(log.ContainsWithCode(
        "BFDTableApp: VGLabelBasedBFDRemoteL2CacheUpdate: The activeness_protocol of VTEP GROUP "
        "(900) is not MBR_VTEP_BFD or doesn't exist.",
        "LCP02205"));
    EXPECT_EQ(app->EntryCount(), 0u);
    Group(1, 900, BFDTableApp::kMbrVtepBfd, {{41, V4(4, 1)}, {42, V4(4, 2)}});
    EXPECT_EQ(app->EntryCount(), 2u);
    ASSERT_EQ(l2.Sessions().size(), 2u);
    EXPECT_EQ(l2.Sessions()[0].groupLabel, 900u);
    const nlohmann::json e = Table()["entries"][0];
    EXPECT_EQ(e["tn_vg_label"], 900);
    EXPECT_EQ(e["remote_label"], 41);
    EXPECT_EQ(e["references"][0]["remote_id"], "900");
    EXPECT_EQ(e["references"][0]["remote_id_type"], "VTEP Group");
    // The group loses its BFD activeness: its sessions go.
    Group(1, 900, 0, {{41, V4(4, 1)}, {42, V4(4, 2)}});
    EXPECT_EQ(app->EntryCount(), 0u);
    EXPECT_EQ(SentOps(), (Ops{{0, 5001}, {0, 5001}, {1, 5001}, {1, 5001}}));
}

}  // namespace
}  // namespace CfgAgent::test
