// The session with the dataplane: the full-state push, out-of-sync reports and failed sends
// (resync queue), hopover requests, the dataplane's full sync, disconnection; and the timers.
#include <map>
#include <string>

#include "runtime/AgentClock.h"
#include "tests/apps/switching/DVSPropConvertorTestSupport.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

using namespace kcp;

class DvsSyncTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CairnDBUpdateList batch = SwitchRecords(Switch(1, 5001));
        for (const auto& lsp : {Port(11, 1, "port-1", "vif-1"), Port(12, 1, "port-2", "vif-2"),
                                Port(13, 1, "port-3", "vif-3")}) {
            CairnDBUpdateList r = PortRecords(lsp);
            batch.insert(batch.end(), r.begin(), r.end());
        }
        pb::TransportNodeConfigMsg tn;
        *tn.mutable_id() = Uuid(90);
        *tn.add_transport_switches()->mutable_host_switch_id() = Uuid(91);
        auto* l = tn.mutable_transport_switches(0)->add_vtep_labels();
        l->set_device_name("vmk10");
        l->set_label(5);
        CairnDBUpdateList r = TransportNodeRecords(tn);
        batch.insert(batch.end(), r.begin(), r.end());
        h.Apply(batch);
        h.Connect("vif-1", "port-1");
        h.Connect("vif-2", "port-2");
    }
    void TearDown() override { AgentClock::reset(); }

    LogCapture cap{kLogDebug};
    DvsHarness h;
};

TEST_F(DvsSyncTest, FullStatePushSendsListsThenWholeRecords) {
    // A new session: the dataplane holds nothing of ours.
    h.conv->ResetSyncState();
    size_t from = h.app.sent.size();
    h.app.tables = ozy::dpemu::KcpTables();
    h.conv->PushFullState();
    EXPECT_TRUE(cap.Contains("Send DVSList FullSync message"));
    EXPECT_TRUE(cap.Contains("Send portList fullSync message"));
    EXPECT_TRUE(cap.Contains("Skip DVPort port-3 when doing config full sync"));
    std::vector<SentRecord> r = h.app.Records(from);
    ASSERT_GE(r.size(), 5u);
    EXPECT_EQ(r[0].type, kSwxListUpdate);
    EXPECT_EQ(r[0].id, Text(91));
    EXPECT_EQ(r[1].type, kPortListUpdate);
    EXPECT_EQ(r[1].id, "port-1,port-2");
    EXPECT_EQ(r[2].type, kPortPropertyUpdate);
    EXPECT_EQ(r[2].op, kOpFullSync);
    EXPECT_EQ(r[3].id, "port-2");
    EXPECT_EQ(r[3].op, kOpFullSync);
    nlohmann::json d = h.Dump();
    EXPECT_EQ(d["ports"].size(), 2u);
    EXPECT_EQ(d["ports"]["port-2"]["block"]["state"], "UNBLOCK");
    EXPECT_EQ(d["switches"][Text(91)]["forwarding_mode"]["mode"], "IPV4_ONLY");
    EXPECT_EQ(d["krnnics"]["vmk10"]["vtep_label"]["label"], 5);
    EXPECT_TRUE(h.app.errors.empty());

    // A second push repeats the same state: the tables do not change.
    h.conv->PushFullState();
    EXPECT_EQ(h.Dump(), d);
}

// What a push sent is what each port is known to hold: a flush of the pushed ports, and of one
// that was not pushed (port-3, no VIF), finds nothing to send.
TEST_F(DvsSyncTest, PushedPortsHoldWhatWasSent) {
    h.conv->ResetSyncState();
    h.app.tables = ozy::dpemu::KcpTables();
    h.conv->PushFullState();
    nlohmann::json pushed = h.Dump();
    ASSERT_EQ(pushed["ports"].size(), 2u);
    size_t from = h.app.sent.size();
    h.conv->SendPortUnblockUpdate({Id(11), Id(12), Id(13)}, {});
    EXPECT_EQ(h.app.sent.size(), from);
    EXPECT_EQ(h.Dump(), pushed);
}

TEST_F(DvsSyncTest, ManyPortsAreFragmentedWithinTheMessageLimit) {
    CairnDBUpdateList batch;
    for (int i = 0; i < 400; ++i) {
        CairnDBUpdateList r =
            PortRecords(Port(1000 + i, 1, "p-" + std::to_string(i), "v-" + std::to_string(i)));
        batch.insert(batch.end(), r.begin(), r.end());
    }
    h.Apply(batch);
    for (int i = 0; i < 400; ++i)
        h.Connect("v-" + std::to_string(i), "p-" + std::to_string(i));
    h.conv->ResetSyncState();
    h.app.tables = ozy::dpemu::KcpTables();
    size_t from = h.app.sent.size();
    h.conv->PushFullState();
    EXPECT_GT(h.app.sent.size() - from, 3u);  // fragments, each within the limit (checked on send)
    nlohmann::json d = h.Dump();
    EXPECT_EQ(d["ports"].size(), 402u);
    EXPECT_EQ(d["ports"]["p-399"]["vni"]["vni"], 5001);
    EXPECT_EQ(d["ports"]["p-0"]["block"]["state"], "UNBLOCK");
    EXPECT_TRUE(h.app.errors.empty());
    // One switch change reaches every port in one fragmented Update.
    from = h.app.sent.size();
    h.Apply(SwitchRecords(Switch(1, 5009)));
    EXPECT_EQ(h.Dump()["ports"]["p-123"]["vni"]["vni"], 5009);
    EXPECT_EQ(h.app.sent[h.app.sent.size() - 1][4], 0);  // the last one closes the Update
}

// A change that reaches more ports than one Update carries goes out in several complete Updates,
// each port in exactly one of them.
TEST_F(DvsSyncTest, AFlushOfManyPortsIsSentInSeveralWholeUpdates) {
    const int kPorts = 2100;  // with the fixture's two: three Updates of at most 1024 ports
    CairnDBUpdateList batch;
    for (int i = 0; i < kPorts; ++i) {
        CairnDBUpdateList r =
            PortRecords(Port(1000 + i, 1, "p-" + std::to_string(i), "v-" + std::to_string(i)));
        batch.insert(batch.end(), r.begin(), r.end());
    }
    h.Apply(batch);
    for (int i = 0; i < kPorts; ++i)
        h.Connect("v-" + std::to_string(i), "p-" + std::to_string(i));
    const size_t from = h.app.sent.size();
    h.Apply(SwitchRecords(Switch(1, 5009)));
    size_t closed = 0;
    for (size_t i = from; i < h.app.sent.size(); ++i)
        closed += (h.app.sent[i][4] & 0x80) == 0 ? 1 : 0;
    EXPECT_EQ(closed, 3u);
    // Every port's record went out once since `first`.
    auto eachPortOnce = [&](size_t first) {
        std::map<std::string, int> seen;
        for (const SentRecord& r : h.app.Records(first)) {
            if (r.type == kcp::kPortPropertyUpdate)
                ++seen[r.id];
        }
        EXPECT_EQ(seen.size(), kPorts + 2u);
        for (const auto& [id, n] : seen)
            ASSERT_EQ(n, 1) << id;
    };
    eachPortOnce(from);
    nlohmann::json d = h.Dump();
    for (int i : {0, 1023, 1024, kPorts - 1})
        EXPECT_EQ(d["ports"]["p-" + std::to_string(i)]["vni"]["vni"], 5009) << i;
    EXPECT_EQ(d["ports"]["port-1"]["vni"]["vni"], 5009);
    EXPECT_TRUE(h.app.errors.empty());
    // Every port is known to hold what it was sent: the same switch again sends nothing.
    const size_t after = h.app.sent.size();
    h.Apply(SwitchRecords(Switch(1, 5009)));
    EXPECT_EQ(h.app.sent.size(), after);

    // A new session's push of every port whole is split the same way.
    h.conv->ResetSyncState();
    h.app.tables = ozy::dpemu::KcpTables();
    const size_t pushed = h.app.sent.size();
    h.conv->PushFullState();
    size_t portUpdates = 0;
    for (size_t i = pushed; i < h.app.sent.size(); ++i) {
        bool ports = false;
        for (const SentRecord& r : h.app.Records(i, i + 1))
            ports = ports || r.type == kcp::kPortPropertyUpdate;
        portUpdates += ports && (h.app.sent[i][4] & 0x80) == 0 ? 1 : 0;
    }
    EXPECT_EQ(portUpdates, 3u);
    eachPortOnce(pushed);
    d = h.Dump();
    EXPECT_EQ(d["ports"].size(), kPorts + 2u);
    EXPECT_EQ(d["ports"]["p-2047"]["vni"]["vni"], 5009);
    EXPECT_EQ(d["ports"]["p-0"]["block"]["state"], "UNBLOCK");
    EXPECT_TRUE(h.app.errors.empty());
}

TEST_F(DvsSyncTest, PushReconcilesObjectsTheDatabaseDroppedMeanwhile) {
    // A database full sync without port 12: the table drops it without a record for anyone.
    CairnDBUpdateList batch = SwitchRecords(Switch(1, 5001));
    for (const auto& lsp : {Port(11, 1, "port-1", "vif-1"), Port(13, 1, "port-3", "vif-3")}) {
        CairnDBUpdateList r = PortRecords(lsp);
        batch.insert(batch.end(), r.begin(), r.end());
    }
    h.cache->ConfigTable()->UpdateDesiredState(batch, true);
    h.conv->ResetSyncState();
    h.conv->PushFullState();
    EXPECT_EQ(h.Block("port-2"), "BLOCK");
    EXPECT_EQ(h.Port("port-2").size(), 1u);
    EXPECT_EQ(h.Block("port-1"), "UNBLOCK");
}

TEST_F(DvsSyncTest, IpfixValuesFollowTheirPortsThroughConnectsAndPushes) {
    // domain 7, egress; one collector 127.0.0.1:4739.
    const std::vector<uint8_t> value = {0, 0, 0, 7, 2, 0, 0,   0, 0, 0, 0,    0,
                                        0, 0, 0, 0, 0, 1, 127, 0, 0, 1, 0,    0,
                                        0, 0, 0, 0, 0, 0, 0,   0, 0, 0, 0x12, 0x83};
    // Port 13 is not connected yet and the logical port 99 does not exist.
    h.conv->UpdatePortIpfix({{Id(11), value}, {Id(13), value}, {Id(99), value}});
    EXPECT_EQ(h.Port("port-1")["ipfix"]["observation_domain_id"], 7);
    EXPECT_EQ(h.Port("port-1")["ipfix"]["sampling_location"], "EGRESS");
    EXPECT_EQ(h.Port("port-1")["ipfix"]["collectors"][0]["port"], 4739);
    EXPECT_FALSE(h.Port("port-2").contains("ipfix"));
    h.Connect("vif-3", "port-3");
    EXPECT_EQ(h.Port("port-3")["ipfix"], h.Port("port-1")["ipfix"]);
    // The logical port deleted and created again keeps its value.
    h.Apply(Removal(ObjectType::LOG_SWITCH_PORT_CONFIG, Id(13)));
    EXPECT_FALSE(h.Port("port-3").contains("ipfix"));
    h.Apply(PortRecords(Port(13, 1, "port-3", "vif-3")));
    EXPECT_TRUE(h.Port("port-3").contains("ipfix"));
    // The same value again sends nothing; a new session's push carries it.
    size_t from = h.app.sent.size();
    h.conv->UpdatePortIpfix({{Id(11), value}});
    EXPECT_EQ(h.app.sent.size(), from);
    h.conv->ResetSyncState();
    h.app.tables = ozy::dpemu::KcpTables();
    h.conv->PushFullState();
    EXPECT_EQ(h.Port("port-1")["ipfix"]["collectors"][0]["address"], "127.0.0.1");
    // An empty value removes the property.
    h.conv->UpdatePortIpfix({{Id(11), {}}});
    EXPECT_FALSE(h.Port("port-1").contains("ipfix"));
    EXPECT_EQ(h.Port("port-1")["block"]["state"], "UNBLOCK");
    EXPECT_TRUE(h.app.errors.empty());
}

TEST_F(DvsSyncTest, DataplaneFullSyncDropsPortsItNoLongerReports) {
    h.conv->ResetSyncState();
    h.conv->PushFullState();
    ASSERT_EQ(h.Dump()["ports"].size(), 2u);
    h.Connect("vif-1", "port-1");  // the dataplane's full sync reports only vif-1
    h.conv->OnDataplaneFullSyncDone();
    EXPECT_TRUE(
        cap.Contains("Remove port [port-2] VIF [vif-2] not reported by the dataplane full sync"));
    EXPECT_FALSE(h.conv->HasPort("port-2"));
    nlohmann::json d = h.Dump();
    EXPECT_EQ(d["ports"].size(), 1u);
    EXPECT_TRUE(d["ports"].contains("port-1"));
}

TEST_F(DvsSyncTest, OutOfSyncReportsAreResentWholeByTheResyncTimer) {
    h.conv->MarkPortOutOfSync("vif-1");
    EXPECT_TRUE(cap.Contains("Port port-1 is out of sync with DP"));
    h.conv->MarkPortOutOfSync("vif-9");
    EXPECT_TRUE(cap.Contains("Failed to set reSync for port vif-9 as it is already disconnected"));
    h.conv->MarkKrnnicOutOfSync("vmk10");
    h.conv->MarkKrnnicOutOfSync("vmk99");
    EXPECT_TRUE(
        cap.Contains("Failed to find krnnic vmk99 to set reSync as it is already removed."));
    EXPECT_EQ(h.conv->ResyncQueueSize(), 2u);

    // The dataplane lost the port meanwhile; the timer fires after its interval (1 s).
    h.app.tables.ports.erase("port-1");
    h.app.tables.krnnics.clear();
    size_t from = h.app.sent.size();
    AgentClock::advance(std::chrono::milliseconds(900), &h.io);
    h.io.restart();
    h.io.run_for(std::chrono::milliseconds(20));
    EXPECT_EQ(h.app.sent.size(), from);
    AgentClock::advance(std::chrono::milliseconds(200), &h.io);
    for (int i = 0; i < 500 && h.app.sent.size() == from; ++i) {
        h.io.restart();
        h.io.run_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(cap.Contains("OnResyncProperty timer triggered"));
    std::vector<SentRecord> r = h.app.Records(from);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].id, "port-1");
    EXPECT_EQ(r[0].op, kOpFullSync);
    EXPECT_EQ(r[1].id, "vmk10");
    EXPECT_EQ(h.Block("port-1"), "UNBLOCK");
    EXPECT_EQ(h.Dump()["krnnics"]["vmk10"]["vtep_label"]["label"], 5);
    EXPECT_EQ(h.conv->ResyncQueueSize(), 0u);
}

TEST_F(DvsSyncTest, FailedSendsAreQueuedAndResentWhole) {
    h.app.accept = false;
    pb::LogSwitchConfigMsg ls = Switch(1, 6000);
    h.Apply(SwitchRecords(ls));
    EXPECT_TRUE(cap.Contains("DvsPropConvertor failed to send msg to data plane"));
    EXPECT_EQ(h.conv->ResyncQueueSize(), 2u);
    h.app.accept = true;
    size_t from = h.app.sent.size();
    h.conv->OnResyncProperty();
    std::vector<SentRecord> r = h.app.Records(from);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].op, kOpFullSync);
    EXPECT_EQ(h.Port("port-1")["vni"]["vni"], 6000);
    EXPECT_EQ(h.Port("port-2")["vni"]["vni"], 6000);
    EXPECT_EQ(h.conv->ResyncQueueSize(), 0u);
}

TEST_F(DvsSyncTest, WhileDisconnectedNothingIsSentAndTheNextSessionStartsClean) {
    h.conv->OnDataplaneDisconnected();
    size_t from = h.app.sent.size();
    h.Apply(SwitchRecords(Switch(1, 6000)));
    h.conv->MarkPortOutOfSync("vif-1");
    h.conv->OnResyncProperty();
    EXPECT_EQ(h.app.sent.size(), from);
    h.conv->ResetSyncState();
    EXPECT_EQ(h.conv->ResyncQueueSize(), 0u);
    h.conv->PushFullState();
    EXPECT_EQ(h.Port("port-1")["vni"]["vni"], 6000);
}

// The engine keeps a port's property part of hopover requests; the container list part is
// CIFConfig's (CIFConfigTest).
TEST_F(DvsSyncTest, HopoverRequestsAreMergedPerPort) {
    h.conv->ResetSyncState();
    h.conv->QueueHopoverSync("vif-1", kSyncPortContainerList);
    EXPECT_TRUE(cap.Contains("Add port (port-1:vif-1) to hopover port sync queue"));
    h.conv->QueueHopoverSync("vif-1", kSyncPortProperties);
    EXPECT_TRUE(cap.Contains("Existing port(port-1:vif-1), merge sync flag to 3"));
    h.conv->QueueHopoverSync("vif-1", 7);
    h.conv->QueueHopoverSync("vif-9", kSyncBoth);
    EXPECT_EQ(h.conv->HopoverQueueSize(), 1u);

    size_t from = h.app.sent.size();
    h.conv->OnHopoverSync();
    std::vector<SentRecord> r = h.app.Records(from);
    ASSERT_EQ(r.size(), 1u);  // the properties only
    EXPECT_EQ(r[0].id, "port-1");
    EXPECT_EQ(r[0].type, kPortPropertyUpdate);
    EXPECT_EQ(h.conv->HopoverQueueSize(), 0u);

    h.conv->QueueHopoverSync("vif-2", kSyncBoth);
    h.conv->RemoveFromHopoverSyncQueue("port-2");
    EXPECT_EQ(h.conv->HopoverQueueSize(), 0u);
}

TEST_F(DvsSyncTest, StoppedConvertorIgnoresItsTimers) {
    h.conv->MarkPortOutOfSync("vif-1");
    h.conv->Stop();
    EXPECT_TRUE(cap.Contains("DVSPropConvertor stop"));
    size_t from = h.app.sent.size();
    AgentClock::advance(std::chrono::seconds(5), &h.io);
    h.io.restart();
    h.io.run_for(std::chrono::milliseconds(30));
    EXPECT_EQ(h.app.sent.size(), from);
    // Destroyed with a timer armed: a late expiry finds nobody.
    DvsHarness other;
    other.Apply(SwitchRecords(Switch(1, 5001)));
    other.Apply(PortRecords(Port(11, 1, "port-1", "vif-1")));
    other.Connect("vif-1", "port-1");
    other.conv->MarkPortOutOfSync("vif-1");
    other.conv.reset();
    AgentClock::advance(std::chrono::seconds(5), &other.io);
    other.io.restart();
    other.io.run_for(std::chrono::milliseconds(30));
}

}  // namespace
}  // namespace CfgAgent::test
