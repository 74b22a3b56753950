// The SmartNIC coordinator on the fake database library: backing updates applied at the barrier,
// the Demux bound and unbound with them, one runtime monitor per vdb, and the whole path through
// the CairndbClient of a SmartNIC host.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "intake/SmartNic.h"
#include "tests/intake/CairndbClientTestUtil.h"
#include "tests/intake/DemuxTestUtil.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

using OT = ObjectType;
constexpr uint32_t kRuntimeMonitor = SmartNic::kVdbMonitorId;

class SmartNicTest : public ::testing::Test {
  protected:
    void SetUp() override { sn->OnChannelStatus(true); }
    void TearDown() override { sn->Stop(); }

    template <class Body>
    void Feed(OT type, const Body& body, bool clear = false) {
        const pb::MonitorUpdateMsg u = clear ? ClearOf(type, body) : SetOf(type, body);
        const DemuxRoute route = Decoder::DemuxRouteOf(type);
        sn->OnConfigUpdate(u, route);
    }
    void FeedBacking(const pb::HostSwitchSmartnicBackingMsg& b, bool clear = false) {
        Feed(OT::HOST_SWITCH_SMARTNIC_BACKING, b, clear);
    }
    // TN 1 with host switches 1 (zone 1) and 2 (zone 2), switch 1 on zone 1 with a port.
    void Topology() {
        Feed(OT::TRANSPORT_NODE_CONFIG, Tn(1, {{1, {1}}, {2, {2}}}));
        Feed(OT::LOG_SWITCH_CONFIG, Ls(1, 1));
        Feed(OT::LOG_SWITCH_PORT_CONFIG, Lsp(1, 1));
        Feed(OT::RULE, Rule(1));
    }
    // The runtime monitor statements configured for (added to) a vdb.
    size_t MonitorAdds(uint16_t vdb) const {
        size_t n = 0;
        for (const auto& c : lib->ConfigureCalls()) {
            if (c.monitorId == kRuntimeMonitor && c.vdb == vdb && !c.add.empty())
                ++n;
        }
        return n;
    }

    // The barrier number vdb 1's PROCESSED_BARRIER of the firewall holds (0: none).
    uint64_t WrittenDfw() const {
        pb::ProcessedBarrierMsg written;
        written.ParseFromString(
            writer.model.Body(1, OT::PROCESSED_BARRIER, ReportObjectId(Rtf::kVerticalDfw)));
        return written.barrier_id();
    }

    std::shared_ptr<FakeCairnDbLibrary> lib = std::make_shared<FakeCairnDbLibrary>();
    CapturingWriter writer;
    ozy::RefPtr<SmartNic> sn = ozy::MakeRef<SmartNic>(&writer, lib);
};

TEST_F(SmartNicTest, BackingOfTheFullSyncBindsTheVdbAndOpensItsRuntimeMonitor) {
    LogCapture logs;
    Topology();
    FeedBacking(Backing(1, 1, 2));
    // Nothing happens before the barrier.
    EXPECT_TRUE(sn->table().Entries().empty());
    EXPECT_FALSE(lib->HasMonitor(kRuntimeMonitor, 2));
    sn->OnBarrier(true);
    ASSERT_EQ(writer.lists.size(), 1u);
    EXPECT_EQ(writer.model.Of(2).size(), 4u);  // TN, switch, port, rule
    EXPECT_TRUE(lib->HasMonitor(kRuntimeMonitor, 2));
    EXPECT_EQ(sn->MonitoredVdbs(), std::set<uint16_t>{2});
    const auto calls = lib->ConfigureCalls();
    ASSERT_EQ(calls.size(), 1u);
    ASSERT_EQ(calls[0].add.size(), 7u);
    const OT expected[] = {OT::VIF_STATE,           OT::HOPOVER_STATUS,    OT::LOG_SWITCH_STATE,
                           OT::ROUTING_DOMAIN_VTEP, OT::PROCESSED_BARRIER, OT::RUNTIME_STATUS,
                           OT::SI_SERVICE_VM_STATUS};
    for (size_t i = 0; i < 7; ++i)
        EXPECT_EQ(static_cast<OT>(calls[0].add[i].statement().object_type()), expected[i]);
    EXPECT_TRUE(logs.Contains("SmartNic: SmartnicBackingMonitorUpdateCB msg"));
    EXPECT_TRUE(logs.Contains("SmartNic: RegisterSmartNicMonitorCB with vdb id 2."));
    EXPECT_TRUE(logs.Contains("SmartNic: Fullsync vdb id 2 for host switch id"));
    const auto hs = nlohmann::json::parse(sn->DemuxInfo());
    EXPECT_EQ(hs["vdbs"][0]["vdb"], 2);
    EXPECT_EQ(hs["vdbs"][0]["objects"], 4);
    EXPECT_EQ(hs["vdbs"][0]["monitored"], true);
}

TEST_F(SmartNicTest, BackingMovedToAnotherVdbMovesTheSubtreeInOneListAndTheMonitorWithIt) {
    LogCapture logs;
    Topology();
    FeedBacking(Backing(1, 1, 2));
    sn->OnBarrier(true);
    FeedBacking(Backing(1, 1, 3));
    sn->OnBarrier(false);
    ASSERT_EQ(writer.lists.size(), 2u);
    EXPECT_TRUE(writer.model.Of(2).empty());
    EXPECT_EQ(writer.model.Of(3).size(), 4u);
    EXPECT_FALSE(lib->HasMonitor(kRuntimeMonitor, 2));
    EXPECT_TRUE(lib->HasMonitor(kRuntimeMonitor, 3));
    EXPECT_EQ(sn->MonitoredVdbs(), std::set<uint16_t>{3});
    EXPECT_TRUE(logs.Contains("SmartNic: Process backing message with old vdb id 2"));
    EXPECT_TRUE(logs.Contains("SmartNic: Process backing message with new vdb id 3"));
    EXPECT_TRUE(logs.Contains("SmartNic: Unregister SmartNic monitor callback with vdb 2"));
}

TEST_F(SmartNicTest, TwoHostSwitchesShareOneVdbAndItsMonitorUntilTheLastLeaves) {
    Topology();
    Feed(OT::LOG_SWITCH_CONFIG, Ls(2, 2));
    FeedBacking(Backing(1, 1, 2));
    FeedBacking(Backing(2, 2, 2));
    sn->OnBarrier(true);
    EXPECT_EQ(MonitorAdds(2), 1u);
    FeedBacking(Backing(1, 1, 2), true);
    sn->OnBarrier(false);
    EXPECT_TRUE(lib->HasMonitor(kRuntimeMonitor, 2));
    EXPECT_TRUE(writer.model.Has(2, OT::LOG_SWITCH_CONFIG, LsId(2)));
    EXPECT_TRUE(writer.model.Has(2, OT::RULE, Rule(1).id()));
    EXPECT_FALSE(writer.model.Has(2, OT::LOG_SWITCH_CONFIG, LsId(1)));
    FeedBacking(Backing(2, 2, 2), true);
    sn->OnBarrier(false);
    EXPECT_FALSE(lib->HasMonitor(kRuntimeMonitor, 2));
    EXPECT_TRUE(writer.model.Of(2).empty());
    EXPECT_TRUE(sn->table().Entries().empty());
}

TEST_F(SmartNicTest, ReconnectionFullSyncSweepsBackingsItDidNotResend) {
    Topology();
    FeedBacking(Backing(1, 1, 2));
    FeedBacking(Backing(2, 2, 3));
    sn->OnBarrier(true);
    ASSERT_EQ(sn->MonitoredVdbs(), (std::set<uint16_t>{2, 3}));
    sn->OnChannelStatus(false);
    sn->OnChannelStatus(true);
    Topology();
    FeedBacking(Backing(1, 1, 2));
    sn->OnBarrier(true);
    EXPECT_EQ(sn->MonitoredVdbs(), std::set<uint16_t>{2});
    EXPECT_FALSE(sn->table().Find("00000000-0000-1111-0000-000000000402").has_value());
    EXPECT_TRUE(writer.model.Of(3).empty());
    EXPECT_EQ(writer.model.Of(2).size(), 4u);
}

struct BadBacking {
    const char* name;
    pb::MonitorUpdateMsg update;
    const char* log;
};

class SmartNicBadBackingTest : public SmartNicTest,
                               public ::testing::WithParamInterface<BadBacking> {};

TEST_P(SmartNicBadBackingTest, IsLoggedAndChangesNothing) {
    LogCapture logs;
    Topology();
    sn->OnConfigUpdate(GetParam().update, DemuxRoute::KIND_FIRST);
    sn->OnBarrier(true);
    EXPECT_TRUE(logs.ContainsWithCode(GetParam().log, "LCP00028")) << logs.Dump();
    EXPECT_TRUE(sn->table().Entries().empty());
    EXPECT_TRUE(sn->MonitoredVdbs().empty());
    EXPECT_TRUE(writer.lists.empty());
}

pb::MonitorUpdateMsg BackingUpdate(const pb::HostSwitchSmartnicBackingMsg& b,
                                   pb::PBOpType op = pb::SET) {
    return SetOf(OT::HOST_SWITCH_SMARTNIC_BACKING, b, op);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SmartNicBadBackingTest,
    ::testing::Values(
        BadBacking{"EmptyBody", WithBody(BackingUpdate(Backing(1, 1, 2)), ""),
                   "SmartNic: Received empty object message from CairnDB"},
        BadBacking{"NotABacking", WithBody(BackingUpdate(Backing(1, 1, 2)), "\x12\x03zzz"),
                   "SmartNic: Received wrong object message type 219 from CairnDB"},
        BadBacking{"VdbZero", BackingUpdate(Backing(1, 1, 0)), "with invalid vdb id 0"},
        BadBacking{"HostVdb", BackingUpdate(Backing(1, 1, 1)), "with invalid vdb id 1"},
        BadBacking{"VdbPast16Bits", BackingUpdate(Backing(1, 1, 70000)),
                   "with invalid vdb id 70000"},
        BadBacking{"InvalidOperation", BackingUpdate(Backing(1, 1, 2), pb::INSERT),
                   "with invalid operation 9"}),
    [](const ::testing::TestParamInfo<BadBacking>& info) { return info.param.name; });

TEST_F(SmartNicTest, RuntimeUpdatesOfAVdbReachTheSinkUntilItsMonitorCloses) {
    std::vector<std::pair<uint16_t, OT>> seen;
    int barriers = 0;
    sn->SetVdbSink(SmartNic::VdbSink{[&](uint16_t vdb, const pb::MonitorUpdateMsg& u) {
                                         seen.emplace_back(vdb, static_cast<OT>(u.object_type()));
                                         // The sink may call back in.
                                         (void)sn->MonitoredVdbs();
                                     },
                                     [&](uint16_t) { ++barriers; }});
    FeedBacking(Backing(1, 1, 2));
    sn->OnBarrier(true);
    pb::MonitorUpdateMsg vif;
    vif.set_object_type(pb::VIF_STATE);
    ASSERT_TRUE(lib->Update(kRuntimeMonitor, 2, vif));
    ASSERT_TRUE(lib->Barrier(kRuntimeMonitor, 2));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], std::make_pair(uint16_t{2}, OT::VIF_STATE));
    EXPECT_EQ(barriers, 1);
    EXPECT_EQ(sn->Stats().at(2).updates, 1u);
    sn->Stop();
    EXPECT_FALSE(lib->Update(kRuntimeMonitor, 2, vif));
    EXPECT_TRUE(lib->Sessions().count(2) == 0);
}

TEST_F(SmartNicTest, MonitorFailuresAreLogged) {
    LogCapture logs;
    lib->SetConfigureResult(false);
    FeedBacking(Backing(1, 1, 2));
    sn->OnBarrier(true);
    EXPECT_TRUE(logs.Contains("SmartNic: Failed to monitor configuration with vdb id 2."));
    FeedBacking(Backing(1, 1, 2), true);
    sn->OnBarrier(false);
    EXPECT_TRUE(logs.Contains("SmartNic: Failed to unmonitor configuration with vdb id 2."));
    EXPECT_TRUE(sn->MonitoredVdbs().empty());
}

TEST_F(SmartNicTest, CliDumpsCheckTheirArguments) {
    Topology();
    FeedBacking(Backing(1, 1, 2));
    sn->OnBarrier(true);
    std::string out;
    ASSERT_TRUE(sn->DemuxById("2", "00000000-0000-1111-0000-000000000101", &out)) << out;
    auto byId = nlohmann::json::parse(out);
    ASSERT_EQ(byId.size(), 1u);
    EXPECT_EQ(byId[0]["type"], "LOG_SWITCH_CONFIG");
    EXPECT_EQ(byId[0]["vdbs"], nlohmann::json::array({2}));
    ASSERT_TRUE(sn->DemuxById("3", "00000000-0000-1111-0000-000000000101", &out));
    EXPECT_EQ(out, "[]");
    EXPECT_FALSE(sn->DemuxById("x", "00000000-0000-1111-0000-000000000101", &out));
    EXPECT_FALSE(sn->DemuxById("0", "00000000-0000-1111-0000-000000000101", &out));
    EXPECT_FALSE(sn->DemuxById("65536", "00000000-0000-1111-0000-000000000101", &out));
    EXPECT_FALSE(sn->DemuxById("2", "not-a-uuid", &out));
    ASSERT_TRUE(sn->DemuxByType("LOG_SWITCH_PORT_CONFIG", &out));
    EXPECT_EQ(nlohmann::json::parse(out)["objects"].size(), 1u);
    ASSERT_TRUE(sn->DemuxByType("29", &out));  // RULE
    EXPECT_EQ(nlohmann::json::parse(out)["objects"][0]["vdbs"], nlohmann::json::array({2}));
    EXPECT_FALSE(sn->DemuxByType("NO_SUCH_TYPE", &out));
    EXPECT_NE(sn->HostSwitchTable().find("vdb 2, version 1"), std::string::npos);
}

// The whole path on a SmartNIC host: the client's configuration monitor, the coordinator, the
// Demux, the client's writer and the library.
class SmartNicClientTest : public CairndbClientFixture {};

TEST_F(SmartNicClientTest, ConfigurationOfTheHostReachesTheBackedVdbThroughTheClient) {
    Make(kPersonaSmartnicHost);
    auto coordinator = ozy::MakeRef<SmartNic>(client.get(), lib);
    client->SetSmartNicCoordinator(coordinator.get());
    ASSERT_TRUE(client->start());
    lib->Channel(true);
    auto feed = [&](OT type, const google::protobuf::Message& body) {
        ASSERT_TRUE(lib->Update(CairndbClient::kMonitorId, 1, SetOf(type, body)));
    };
    feed(OT::TRANSPORT_NODE_CONFIG, Tn(1, {{1, {1}}}));
    feed(OT::LOG_SWITCH_CONFIG, Ls(1, 1));
    feed(OT::LOG_SWITCH_PORT_CONFIG, Lsp(1, 1, true));
    feed(OT::HOST_SWITCH_SMARTNIC_BACKING, Backing(1, 1, 2));
    ASSERT_TRUE(lib->Barrier(CairndbClient::kMonitorId, 1));
    VdbModel model;
    ASSERT_TRUE(AwaitTrue([&] {
        VdbModel m;
        for (const auto& list : lib->Writes())
            m.Apply(list);
        model = m;
        return model.Of(2).size() == 3;
    }));
    EXPECT_TRUE(model.Has(2, OT::LOG_SWITCH_PORT_CONFIG, LspId(1)));
    EXPECT_TRUE(lib->HasMonitor(SmartNic::kVdbMonitorId, 2));
    // The host's own pipeline got its batch as before.
    UpdateBatch batch = Next();
    EXPECT_TRUE(batch.second.first);
    client->stop();
    coordinator->Stop();
    client->SetSmartNicCoordinator(nullptr);
}

TEST_F(SmartNicTest, BackingMovedToAnotherVdbWithdrawsTheOldVdbsRuntimeFromTheHost) {
    sn->mux().SetLocalProducers(false, false);
    FeedBacking(Backing(1, 1, 2));
    sn->OnBarrier(true);
    pb::VifStateMsg vif;
    *vif.mutable_id() = VifId(1);
    vif.set_status(1);
    ASSERT_TRUE(lib->Update(kRuntimeMonitor, 2, SetOf(OT::VIF_STATE, vif)));
    ASSERT_TRUE(lib->Barrier(kRuntimeMonitor, 2));
    EXPECT_TRUE(writer.model.Has(1, OT::VIF_STATE, VifId(1))) << "merged into the host's vdb";
    EXPECT_NE(sn->mux().DumpConfig().find("VIF-STATE 00000000"), std::string::npos)
        << sn->mux().DumpConfig();

    FeedBacking(Backing(1, 1, 3));
    sn->OnBarrier(false);
    EXPECT_FALSE(writer.model.Has(1, OT::VIF_STATE, VifId(1)));
    EXPECT_EQ(sn->mux().Vdbs(), std::set<uint16_t>{3});
    EXPECT_EQ(sn->MonitoredVdbs(), std::set<uint16_t>{3});
}

TEST_F(SmartNicTest, ABackingOntoTheHostsOwnVdbKeepsTheEntryItWouldReplace) {
    FeedBacking(Backing(1, 1, 2));
    sn->OnBarrier(true);
    LogCapture logs;
    for (uint32_t vdb : {0u, 1u, 70000u}) {
        FeedBacking(Backing(1, 1, vdb));
        sn->OnBarrier(false);
        EXPECT_TRUE(
            logs.ContainsWithCode("with invalid vdb id " + std::to_string(vdb), "LCP00028"));
    }
    ASSERT_EQ(sn->table().Entries().size(), 1u);
    EXPECT_EQ(sn->table().Entries().begin()->second.vdb, 2u);
    EXPECT_EQ(sn->MonitoredVdbs(), std::set<uint16_t>{2});
    EXPECT_EQ(sn->mux().Vdbs(), std::set<uint16_t>{2});
}

// Realization tracking, fed by the Demux's barriers and bindings and the host's reports.
TEST_F(SmartNicTest, TheDemuxsBarriersBindingsAndTheHostsReportsReachRtf) {
    sn->rtf().SetHostVerticals({Rtf::kVerticalDfw});
    Feed(OT::TRANSPORT_NODE_CONFIG, Tn(1, {{1, {1}}, {2, {2}}}));
    FeedBacking(Backing(1, 1, 2));
    FeedBacking(Backing(2, 2, 3));
    sn->OnBarrier(true);
    EXPECT_EQ(sn->rtf().GetInfo().vdbs, (std::set<uint16_t>{2, 3}));
    Feed(OT::BARRIER, BarrierBody(5));
    sn->OnBarrier(false);
    EXPECT_EQ(sn->rtf().GetInfo().received.at(5), (std::set<uint16_t>{2, 3}));
    // The barrier went to both vdbs as a global object.
    EXPECT_TRUE(writer.model.Has(2, OT::BARRIER, Uuid(0xb00)));
    sn->rtf().UpdateFromVdb(2, SetOf(OT::PROCESSED_BARRIER, Processed(Rtf::kVerticalDfw, 5)));
    EXPECT_TRUE(sn->ReportLocalProcessedBarrier(Processed(Rtf::kVerticalDfw, 5)));
    EXPECT_FALSE(writer.model.Has(1, OT::PROCESSED_BARRIER, ReportObjectId(Rtf::kVerticalDfw)));
    EXPECT_TRUE(sn->ReportLocalRuntimeStatus(RuntimeStatus(1, {11})));
    EXPECT_TRUE(writer.model.Has(1, OT::RUNTIME_STATUS, ReportObjectId(1)));
    // Removing vdb 3's backing unbinds it: the barrier completes without it.
    FeedBacking(Backing(2, 2, 3), true);
    sn->OnBarrier(false);
    EXPECT_EQ(sn->rtf().GetInfo().vdbs, std::set<uint16_t>{2});
    EXPECT_EQ(WrittenDfw(), 5u);
}

TEST_F(SmartNicTest, ABarrierOfTheStartUpAndAMovedSwitchWaitForTheVdbHoldingIt) {
    sn->rtf().SetHostVerticals({Rtf::kVerticalDfw});
    // The first full sync brings the barrier before its backing is applied.
    Feed(OT::TRANSPORT_NODE_CONFIG, Tn(1, {{1, {1}}}));
    Feed(OT::BARRIER, BarrierBody(5));
    FeedBacking(Backing(1, 1, 2));
    sn->OnBarrier(true);
    EXPECT_EQ(sn->rtf().GetInfo().received.at(5), std::set<uint16_t>{2});
    EXPECT_TRUE(writer.model.Has(2, OT::BARRIER, Uuid(0xb00)));
    EXPECT_TRUE(sn->ReportLocalProcessedBarrier(Processed(Rtf::kVerticalDfw, 5)));
    EXPECT_EQ(WrittenDfw(), 0u);
    // The switch moves to vdb 3 before vdb 2 reported: barrier 5 now waits for vdb 3.
    FeedBacking(Backing(1, 1, 3));
    sn->OnBarrier(false);
    EXPECT_EQ(sn->rtf().GetInfo().received.at(5), std::set<uint16_t>{3});
    EXPECT_EQ(WrittenDfw(), 0u);
    sn->rtf().UpdateFromVdb(3, SetOf(OT::PROCESSED_BARRIER, Processed(Rtf::kVerticalDfw, 5)));
    EXPECT_EQ(WrittenDfw(), 5u);
}

}  // namespace
}  // namespace CfgAgent::test
