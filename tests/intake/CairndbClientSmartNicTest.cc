// CairndbClient on a SmartNIC (persona 2): backing of host switches, active and standby roles,
// runtime writes kept while standby, re-publication of the runtime state and failover
// acknowledgements.
#include "proto/UuidText.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_system.pb.h"
#include "tests/intake/CairndbClientTestUtil.h"

namespace CfgAgent::test {
namespace {

using OT = ObjectType;
using CT = ComponentType;
using PT = PropertyType;

constexpr uint32_t kBacking = CairndbClient::kBackingMonitorId;

pb::HostSwitchSmartnicBackingMsg Backing(const std::string& active, const std::string& standby,
                                         const std::string& current, uint32_t vdb) {
    pb::HostSwitchSmartnicBackingMsg b;
    *b.mutable_id() = Uuid(0xb1);
    *b.mutable_host_switch_id() = Uuid(0x45);
    b.set_active_sn_id(active);
    if (!standby.empty())
        b.set_standby_sn_id(standby);
    b.set_current_active_sn_id(current);
    b.set_vdb(vdb);
    return b;
}

const char* kHostSwitch = "00000000-0000-1111-0000-000000000045";

class CairndbClientSmartNicTest : public CairndbClientFixture {
  protected:
    // Delivers one backing object (SET, or CLEAR with it as old body) and its barrier.
    void DeliverBacking(const pb::HostSwitchSmartnicBackingMsg& b, bool clear = false) {
        auto u = clear
                     ? MakeUpdate(OT::HOST_SWITCH_SMARTNIC_BACKING,
                                  ObjOp<pb::HostSwitchSmartnicBackingOpMsg>(pb::CLEAR), nullptr, &b)
                     : MakeUpdate(OT::HOST_SWITCH_SMARTNIC_BACKING,
                                  ObjOp<pb::HostSwitchSmartnicBackingOpMsg>(pb::SET), &b);
        ASSERT_TRUE(lib->Update(kBacking, 1, u));
        ASSERT_TRUE(lib->Barrier(kBacking, 1));
    }

    // Drains the queue and returns the batches.
    std::vector<UpdateBatch> Drain() {
        std::vector<UpdateBatch> out;
        while (auto b = queue->tryGet())
            out.push_back(std::move(*b));
        return out;
    }

    static pb::ModifyRequestMsg VifPut() {
        pb::ModifyRequestMsg r;
        r.set_vdb(5);
        r.mutable_put()->mutable_object()->set_object_type(pb::VIF_STATE);
        return r;
    }
};

TEST_F(CairndbClientSmartNicTest, ActiveBackingRegistersTheVdbAndAcknowledges) {
    LogCapture logs;
    Make(kPersonaSmartnic);
    ASSERT_TRUE(client->start());
    // Only the backing monitor at start.
    auto calls = lib->ConfigureCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].monitorId, kBacking);
    EXPECT_EQ(calls[0].vdb, 1u);
    ASSERT_EQ(calls[0].add.size(), 1u);
    EXPECT_EQ(calls[0].add[0].statement().object_type(), pb::HOST_SWITCH_SMARTNIC_BACKING);
    EXPECT_FALSE(lib->HasMonitor(CairndbClient::kMonitorId, 1));
    EXPECT_TRUE(logs.Contains("CairndbClient: Register Hyvio smartnic monitor callbacks"));
    EXPECT_EQ(client->mainVdbId(), 0u);

    lib->Channel(true);
    DeliverBacking(Backing(kLocalSn, kOtherSn, kLocalSn, 5));
    EXPECT_TRUE(logs.Contains("CairndbClient: HyvioSmartnicMonitorUpdateCB msg with type 219"));
    EXPECT_TRUE(logs.Contains("CairndbClient: HyvioSmartnicMonitorBarrierCB msg with size 1"));
    EXPECT_TRUE(logs.Contains(
        std::string("CairndbClient: Processing backing message with hostswitch ") + kHostSwitch +
        ", active sn " + kLocalSn + ", standby sn " + kOtherSn + ", current active sn " + kLocalSn +
        ", failover false, vdb 5, local sn " + kLocalSn));
    EXPECT_TRUE(logs.Contains("CairndbClient: Local main vdb is 0, vdb in backing message is 5"));
    EXPECT_TRUE(logs.Contains("CairndbClient: Register vdb id 5"));
    EXPECT_EQ(client->mainVdbId(), 5u);
    EXPECT_TRUE(client->activeForMainVdb());
    EXPECT_EQ(lib->Sessions().count(5), 1u);
    ASSERT_TRUE(lib->HasMonitor(CairndbClient::kMonitorId, 5));
    calls = lib->ConfigureCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].vdb, 5u);
    bool hasAck = false;
    for (const auto& s : calls[1].add)
        hasAck |= s.statement().object_type() == pb::CFG_AGENT_FAILOVER_ACK;
    EXPECT_TRUE(hasAck);

    EXPECT_TRUE(logs.Contains("CairndbClient: Flushing 0 messages in runtime msg queue to vdb 5"));
    EXPECT_TRUE(logs.Contains("CairndbClient: Need to wait for config to fullsync with DP."));
    EXPECT_TRUE(logs.Contains("CairndbClient: Need to wait for L2 to fullsync with DP."));
    EXPECT_TRUE(
        logs.Contains(std::string("CairndbClient: Put failover ACK message with hostswitch id ") +
                      kHostSwitch + ", sn " + kLocalSn + ", message active"));
    ASSERT_TRUE(AwaitTrue([&] { return lib->WriteCount() == 1; }));
    const pb::ModifyRequestMsg ack = lib->Writes()[0].at(0);
    EXPECT_EQ(ack.vdb(), 5u);
    EXPECT_EQ(ack.put().object().object_type(), pb::CFG_AGENT_FAILOVER_ACK);

    // The backing record reaches the L2 application at once, as a delta.
    auto batches = Drain();
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_FALSE(batches[0].second.first);
    ASSERT_EQ(batches[0].first.size(), 1u);
    ASSERT_EQ(batches[0].first[CT::L2APP].size(), 1u);
    EXPECT_EQ(batches[0].first[CT::L2APP][0].objType, OT::HOST_SWITCH_SMARTNIC_BACKING);
    EXPECT_TRUE(logs.Contains("CairndbClient: sent SN Backing to L2app"));

    // The first barrier of the vdb's configuration monitor is its full sync.
    lib->Barrier(CairndbClient::kMonitorId, 5);
    batches = Drain();
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_TRUE(batches[0].second.first);

    // Removal of the backing unregisters the vdb.
    DeliverBacking(Backing(kLocalSn, kOtherSn, kLocalSn, 5), true);
    EXPECT_TRUE(logs.Contains("CairndbClient: Unregister vdb id 5"));
    EXPECT_FALSE(lib->HasMonitor(CairndbClient::kMonitorId, 5));
    EXPECT_EQ(client->mainVdbId(), 0u);
    batches = Drain();
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0].first[CT::L2APP].at(0).op, Operation::OPERATION_DELETE);
}

TEST_F(CairndbClientSmartNicTest, StandbyKeepsRuntimeWritesAndActivationRepublishes) {
    LogCapture logs;
    RuntimeStateSource runtime;
    runtime.configRuntime = [] {
        CairnDBUpdateMsg vif;
        vif.objType = OT::VIF_STATE;
        vif.id = Uuid(0x51).SerializeAsString();
        vif.data = "vif";
        CairnDBUpdateMsg mac = vif;
        mac.property = PT::VIF_MAC;
        pb::VifStateMsg m;
        m.set_mac(0x1234);
        mac.data = m.SerializeAsString();
        CairnDBUpdateMsg hop;
        hop.objType = OT::HOPOVER_STATUS;
        hop.id = Uuid(0x52).SerializeAsString();
        return CairnDBUpdateList{vif, mac, hop};
    };
    runtime.l2Runtime = [] {
        CairnDBUpdateMsg ls;
        ls.objType = OT::LOG_SWITCH_STATE;
        ls.id = Uuid(0x61).SerializeAsString();
        CairnDBUpdateMsg mac = ls;
        mac.property = PT::L2_VM_MAC;
        pb::LogSwitchMacEntryMsg e;
        e.set_mac(0xaa);
        mac.data = e.SerializeAsString();
        CairnDBUpdateMsg rd;
        rd.objType = OT::ROUTING_DOMAIN_VTEP;
        rd.id = Uuid(0x62).SerializeAsString();
        rd.property = PT::L2_VTEP;
        rd.data = pb::LogSwitchVtepEntryMsg().SerializeAsString();
        CairnDBUpdateMsg bad;
        bad.objType = OT::RULE;
        return CairnDBUpdateList{ls, mac, rd, bad};
    };
    ASSERT_TRUE(StartUp(kPersonaSmartnic, runtime));
    DeliverBacking(Backing(kOtherSn, kLocalSn, kOtherSn, 5));
    EXPECT_TRUE(logs.Contains(
        std::string("CairndbClient: Change smartnic status to standby for switch ") + kHostSwitch));
    EXPECT_EQ(client->mainVdbId(), 5u);
    EXPECT_FALSE(client->activeForMainVdb());

    // Standby: nothing is written; a full-sync list replaces what was kept.
    client->writeRuntime({VifPut(), VifPut()}, 1, false);
    client->writeRuntime({VifPut()}, 1, true);
    client->setFullSyncDone(true, 1);
    client->setFullSyncDone(true, 2);
    EXPECT_EQ(lib->WriteCount(), 0u);

    auto failover = Backing(kOtherSn, kLocalSn, kLocalSn, 5);
    failover.set_failover(true);
    DeliverBacking(failover);
    EXPECT_TRUE(logs.Contains(
        std::string("CairndbClient: Change smartnic status from standby to active for switch ") +
        kHostSwitch));
    EXPECT_TRUE(logs.Contains("CairndbClient: Flushing 1 messages in runtime msg queue to vdb 5"));
    EXPECT_TRUE(client->activeForMainVdb());
    // Kept list, configuration re-publication, L2 re-publication, acknowledgement.
    ASSERT_TRUE(AwaitTrue([&] { return lib->WriteCount() == 4; }));
    auto writes = lib->Writes();
    EXPECT_EQ(writes[0].size(), 1u);
    ASSERT_EQ(writes[1].size(), 5u);
    EXPECT_EQ(writes[1][0].flush().object_type(), pb::VIF_STATE);
    EXPECT_EQ(writes[1][1].flush().object_type(), pb::HOPOVER_STATUS);
    EXPECT_EQ(writes[1][2].put().object().body(), "vif");
    EXPECT_EQ(writes[1][3].patch().object_type(), pb::VIF_STATE);
    pb::VifStateOpMsg vop;
    ASSERT_TRUE(vop.ParseFromString(writes[1][3].patch().op()));
    EXPECT_EQ(vop.mac().op(), pb::SET);
    EXPECT_EQ(writes[1][3].patch().id().right(), 0x51u);
    EXPECT_EQ(writes[1][4].put().object().object_type(), pb::HOPOVER_STATUS);
    ASSERT_EQ(writes[2].size(), 5u);
    EXPECT_EQ(writes[2][0].flush().object_type(), pb::LOG_SWITCH_STATE);
    EXPECT_EQ(writes[2][1].flush().object_type(), pb::ROUTING_DOMAIN_VTEP);
    pb::LogSwitchStateMsg idOnly;
    ASSERT_TRUE(idOnly.ParseFromString(writes[2][2].put().object().body()));
    EXPECT_EQ(idOnly.id().right(), 0x61u);
    pb::LogSwitchStateOpMsg lop;
    ASSERT_TRUE(lop.ParseFromString(writes[2][3].patch().op()));
    EXPECT_EQ(lop.mac_entries().op(), pb::APPEND);
    pb::LogSwitchStateMsg lbody;
    ASSERT_TRUE(lbody.ParseFromString(writes[2][3].patch().body()));
    ASSERT_EQ(lbody.mac_entries_size(), 1);
    EXPECT_EQ(lbody.mac_entries(0).mac(), 0xaau);
    EXPECT_EQ(writes[2][4].patch().object_type(), pb::ROUTING_DOMAIN_VTEP);
    EXPECT_EQ(writes[3][0].put().object().object_type(), pb::CFG_AGENT_FAILOVER_ACK);
    EXPECT_TRUE(logs.Contains("CairndbClient: put front VIF_STATE Flush object"));
    EXPECT_TRUE(logs.Contains(
        "CairndbClient: put front VIF_STATE Put object (id 00000000-0000-1111-0000-000000000051)"));
    EXPECT_TRUE(
        logs.Contains("CairndbClient: prepare VIF_STATE Patch object (id "
                      "00000000-0000-1111-0000-000000000051) property SET"));
    EXPECT_TRUE(
        logs.Contains("CairndbClient: prepare HOPOVER_STATUS Put object (id "
                      "00000000-0000-1111-0000-000000000052)"));
    EXPECT_TRUE(logs.Contains("CairndbClient: put front ROUTING_DOMAIN_VTEP Flush object"));
    EXPECT_TRUE(
        logs.Contains("CairndbClient: put front LOG_SWITCH_STATE Put object (id "
                      "00000000-0000-1111-0000-000000000061)"));
    EXPECT_TRUE(
        logs.Contains("CairndbClient: prepare LOG_SWITCH_STATE Patch object  (id "
                      "00000000-0000-1111-0000-000000000061)"));
    EXPECT_TRUE(
        logs.Contains("CairndbClient: prepare ROUTING_DOMAIN_VTEP Patch object (id "
                      "00000000-0000-1111-0000-000000000062) APPEND L2_VTEP"));
    EXPECT_TRUE(
        logs.Contains("CairndbClient: Flushing l2 runtime cache with error message type 29"));

    // Active: runtime writes go straight out.
    client->writeRuntime({VifPut()}, 1, false);
    ASSERT_TRUE(AwaitTrue([&] { return lib->WriteCount() == 5; }));
    EXPECT_EQ(lib->Writes()[4].size(), 1u) << "the list as given";

    // Back to standby: the acknowledgement is withdrawn.
    DeliverBacking(Backing(kOtherSn, kLocalSn, kOtherSn, 5));
    EXPECT_TRUE(logs.Contains(
        std::string("CairndbClient: Change smartnic status from active to standby for switch ") +
        kHostSwitch));
    EXPECT_TRUE(logs.Contains(
        std::string("CairndbClient: Delete failover ACK message with hostswitch id ") +
        kHostSwitch));
    ASSERT_TRUE(AwaitTrue([&] { return lib->WriteCount() == 6; }));
    EXPECT_EQ(lib->Writes()[5][0].delete_().object_type(), pb::CFG_AGENT_FAILOVER_ACK);
    EXPECT_FALSE(client->activeForMainVdb());
}

TEST_F(CairndbClientSmartNicTest, BackingMessagesThatDoNotConcernUsOrAreMalformed) {
    LogCapture logs;
    ASSERT_TRUE(StartUp(kPersonaSmartnic));
    DeliverBacking(Backing(kOtherSn, "", kOtherSn, 5));
    EXPECT_TRUE(logs.Contains(std::string("CairndbClient: Ignore backing message with active sn ") +
                              kOtherSn + " and standby sn , local sn " + kLocalSn));
    EXPECT_EQ(client->mainVdbId(), 0u);
    DeliverBacking(Backing(kLocalSn, "", "", 5));
    EXPECT_TRUE(
        logs.Contains("CairndbClient: Current active smartnic ID is empty in backing message."));
    DeliverBacking(Backing(kLocalSn, "", kLocalSn, 0));
    EXPECT_TRUE(logs.Contains("CairndbClient: Error vdb id in backing message."));
    EXPECT_EQ(client->mainVdbId(), 0u);

    pb::MonitorUpdateMsg wrong;
    wrong.set_object_type(pb::RULE);
    lib->Update(kBacking, 1, wrong);
    lib->Barrier(kBacking, 1);
    EXPECT_TRUE(
        logs.ContainsWithCode("CairndbClient: received INVALID msg from CairnDB", "LCP00028"));

    // Served, then handed to other SmartNICs: unregistered.
    DeliverBacking(Backing(kLocalSn, "", kLocalSn, 6));
    EXPECT_EQ(client->mainVdbId(), 6u);
    DeliverBacking(Backing(kOtherSn, "", kOtherSn, 6));
    EXPECT_TRUE(logs.Contains(std::string("CairndbClient: The host switch ") + kHostSwitch +
                              " is no longer offload on local sn " + kLocalSn));
    EXPECT_EQ(client->mainVdbId(), 0u);
    EXPECT_EQ(lib->Sessions().count(6), 0u);

    // A channel loss clears the backing state.
    DeliverBacking(Backing(kLocalSn, "", kLocalSn, 7));
    lib->Channel(false);
    EXPECT_TRUE(logs.Contains("CairndbClient: HyvioSmartnicClearBackingMsg: Unregister vdb id 7"));
    EXPECT_EQ(client->mainVdbId(), 0u);
    EXPECT_FALSE(lib->HasMonitor(CairndbClient::kMonitorId, 7));
}

TEST_F(CairndbClientSmartNicTest, FailoverAcknowledgementRequests) {
    LogCapture logs;
    ASSERT_TRUE(StartUp(kPersonaSmartnic));
    DeliverBacking(Backing(kOtherSn, kLocalSn, kOtherSn, 5));
    ASSERT_EQ(client->mainVdbId(), 5u);
    Drain();  // the backing record for the L2 application
    const size_t writes0 = lib->WriteCount();

    auto request = [&](uint32_t vdb, const std::string& failed, const std::string& active,
                       const std::string& standby) {
        pb::CfgAgentFailoverAckMsg m;
        *m.mutable_id() = Uuid(0xac);
        *m.mutable_host_switch_id() = Uuid(0x45);
        m.set_vdb(vdb);
        m.set_failed_sn_id(failed);
        m.set_active_sn_id(active);
        m.set_standby_sn_id(standby);
        auto u = MakeUpdate(OT::CFG_AGENT_FAILOVER_ACK,
                            ObjOp<pb::CfgAgentFailoverAckOpMsg>(pb::SET), &m);
        u.set_vdb(5);
        lib->Update(CairndbClient::kMonitorId, 5, u);
    };
    request(9, kOtherSn, kOtherSn, kLocalSn);
    EXPECT_TRUE(
        logs.Contains("CairndbClient: Failed to process CFG_AGENT_FAILOVER_ACK message with "
                      "invaild vdbId 9, main vdb id 5"));
    request(5, "5a1c0000-0000-4000-8000-0000000000ff", kOtherSn, kLocalSn);
    EXPECT_TRUE(logs.Contains(
        "CairndbClient: Failed to process CFG_AGENT_FAILOVER_ACK message with invaild failed sn id "
        "5a1c0000-0000-4000-8000-0000000000ff active sn id " +
        std::string(kOtherSn) + ", standby sn id " + kLocalSn));
    request(5, kLocalSn, kOtherSn, kLocalSn);
    EXPECT_TRUE(logs.Contains(std::string("CairndbClient: The failed sn id ") + kLocalSn +
                              " is the same as local sn id"));
    request(5, kOtherSn, kOtherSn, "5a1c0000-0000-4000-8000-0000000000ee");
    EXPECT_TRUE(logs.Contains(
        "CairndbClient: Ignore invaild CFG_AGENT_FAILOVER_ACK message with active sn id"));
    EXPECT_EQ(lib->WriteCount(), writes0);

    request(5, kOtherSn, kOtherSn, kLocalSn);
    EXPECT_TRUE(logs.Contains("CairndbClient: Processing CFG_AGENT_FAILOVER_ACK msg "));
    ASSERT_TRUE(AwaitTrue([&] { return lib->WriteCount() == writes0 + 1; }));
    pb::CfgAgentFailoverAckMsg ack;
    ASSERT_TRUE(ack.ParseFromString(lib->Writes().back()[0].put().object().body()));
    EXPECT_EQ(ack.sn_id(), kLocalSn);
    EXPECT_EQ(ack.vdb(), 5u);
    uint64_t l = 0, r = 0;
    ASSERT_TRUE(ozy::cairndb::ParseUuidText(kLocalSn, &l, &r));
    EXPECT_EQ(ack.id().left(), l);
    EXPECT_EQ(ack.id().right(), r);
    // Acknowledgements (ours coming back) are not requests.
    auto u =
        MakeUpdate(OT::CFG_AGENT_FAILOVER_ACK, ObjOp<pb::CfgAgentFailoverAckOpMsg>(pb::SET), &ack);
    lib->Update(CairndbClient::kMonitorId, 5, u);
    EXPECT_EQ(lib->WriteCount(), writes0 + 1);
    // A CFG_AGENT_FAILOVER_ACK is never decoded into records.
    lib->Barrier(CairndbClient::kMonitorId, 5);
    for (auto& b : Drain()) {
        for (auto& [comp, list] : b.first)
            EXPECT_TRUE(list.empty()) << CompTypeToString(comp);
    }
}

TEST_F(CairndbClientSmartNicTest, AcknowledgementNeedsAUuidSmartNicId) {
    LogCapture logs;
    ASSERT_TRUE(StartUp(kPersonaSmartnic, {}, "sn-not-a-uuid"));
    DeliverBacking(Backing("sn-not-a-uuid", "", "sn-not-a-uuid", 5));
    EXPECT_TRUE(
        logs.Contains("CairndbClient: Failed to parse local sn ID from string sn-not-a-uuid"));
    EXPECT_TRUE(logs.Contains("CairndbClient: Smartnic uuid is sn-not-a-uuid"));
}

}  // namespace
}  // namespace CfgAgent::test
