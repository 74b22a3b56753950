// VIF reports into VIF state: deltas, the dataplane's full sync, the merge with the guest tools'
// bindings (IpDiscovery), hopover status records and their expiry, uplinks, and the VIFs that are
// not this host's to report.
#include "tests/apps/switching/ConfigAppFixture.h"

#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "apps/switching/CIFConfig.h"
#include "cli/CliPages.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/AgentSettings.h"
#include "statecache/IdText.h"

namespace CfgAgent::test {
namespace {

namespace pb = orvane::ozy::cairndb;

// A DA_VIF record of the guest tools' bindings of `vif` (property DA_VIF).
CairnDBUpdateMsg DaVif(const std::string& vif,
                       const std::vector<std::pair<uint32_t, uint64_t>>& ipMac,
                       Operation op = Operation::OPERATION_UPDATE) {
    CairnDBUpdateMsg m;
    m.objType = ObjectType::DA_VIF;
    EXPECT_TRUE(IdFromText(vif, &m.id));
    m.property = PropertyType::DA_VIF;
    m.op = op;
    if (op == Operation::OPERATION_UPDATE) {
        pb::DaVifMsg d;
        for (const auto& [ip, mac] : ipMac) {
            pb::DaVifBindingMsg* b = d.add_bindings();
            if (ip != 0)
                b->mutable_ip()->set_ipv4(ip);
            if (mac != 0)
                b->set_mac(mac);
        }
        m.data = d.SerializeAsString();
    }
    return m;
}

std::vector<std::string> BindingTexts(const pb::VifStateMsg& st) {
    std::vector<std::string> out;
    for (const auto& b : st.ip_discovered_bindings()) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%08x/%012llx", b.ip().ipv4(),
                      static_cast<unsigned long long>(b.mac()));
        out.push_back(buf);
    }
    return out;
}

using ConfigAppVifStateTest = ConfigAppFixture;

TEST_F(ConfigAppVifStateTest, DeltaConnectDisconnectAndDeleteReachTheRuntimeStore) {
    OpenSession();
    const size_t emptyBytes = app->TableBytes();
    kcp::VifRecordSpec v = Vif(kVif1, kPort1);
    v.macs.push_back({0x00, 0x50, 0x56, 0x01, 0x02, 0x03});
    v.bindings.push_back(V4Binding(7));
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpUpdate, {v}));
    // The memory section's account holds the VIF's state once: a node with its record, key and
    // strings (the report goes on to the engine and is not kept).
    const size_t vifBytes = app->TableBytes();
    EXPECT_GT(vifBytes, emptyBytes + sizeof(VifStateRecord)) << emptyBytes;
    EXPECT_LT(vifBytes, emptyBytes + 2 * (sizeof(VifStateRecord) + sizeof(DvsVifInfo)));
    EXPECT_TRUE(log.Contains("ConfigApp: update VIF " + std::string(kVif1) + ", op UPDATE"));
    EXPECT_TRUE(log.Contains("ConfigApp: write to ConfigCache on VIF update (delta update)"));
    EXPECT_TRUE(log.Contains(
        "ConfigApp: IpDiscovery update ready, vifConnectionUpdate : true, upds size : 1"));
    pb::VifStateMsg st;
    ASSERT_TRUE(VifState(kVif1, &st));
    EXPECT_EQ(st.status(), kcp::kVifConnect);
    EXPECT_EQ(st.mac(), 0x005056010203u);
    EXPECT_EQ(st.switch_id(), kSwitch);
    EXPECT_EQ(BindingTexts(st), (std::vector<std::string>{"0a000007/005056000007"}));
    ASSERT_EQ(conv->vifInfos.size(), 1u);
    EXPECT_TRUE(conv->vifInfos[0].connected);
    EXPECT_EQ(conv->vifInfos[0].macs, (std::vector<std::string>{"00:50:56:01:02:03"}));

    // A status-only report keeps the MAC and the bindings.
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpUpdate, {Vif(kVif1, kPort1, kcp::kVifDisconnect)}));
    ASSERT_TRUE(VifState(kVif1, &st));
    EXPECT_EQ(st.status(), kcp::kVifDisconnect);
    EXPECT_EQ(st.mac(), 0x005056010203u);
    EXPECT_EQ(st.ip_discovered_bindings_size(), 1);
    EXPECT_FALSE(conv->vifInfos.back().connected);
    EXPECT_FALSE(app->ipDiscovery()->Connected(kVif1));

    kcpLink->Deliver(VifUpdateMsg(kcp::kOpDelete, {Vif(kVif1, kPort1, std::nullopt)}));
    EXPECT_TRUE(log.Contains("ConfigApp: delete VIF " + std::string(kVif1)));
    EXPECT_FALSE(VifState(kVif1, &st));
    EXPECT_TRUE(conv->vifInfos.back().deleted);
    EXPECT_EQ(app->vifCount(), 0u);
    EXPECT_LT(app->TableBytes(), vifBytes);
}

// The account holds every VIF's state (a packed record at least) beside IP discovery's and
// CIFConfig's tables.
TEST_F(ConfigAppVifStateTest, TheAccountHoldsEveryVifStateBesideTheOtherTables) {
    OpenSession();
    std::vector<kcp::VifRecordSpec> vifs;
    for (int i = 0; i < 40; ++i) {
        char id[64];
        std::snprintf(id, sizeof id, "5eed0000-0000-4000-8000-%012x", i);
        vifs.push_back(Vif(id, "port-" + std::to_string(i)));
    }
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpUpdate, vifs));
    ASSERT_EQ(app->vifCount(), vifs.size());
    EXPECT_GE(app->TableBytes(),
              app->ipDiscovery()->TableBytes() + app->cifConfig()->TableBytes() + vifs.size() * 96);
}

TEST_F(ConfigAppVifStateTest, FullSyncReportsReachTheStoreOnlyAtItsEndAndReplaceIt) {
    OpenSession(true, {Vif(kVif1, kPort1)});
    pb::VifStateMsg st;
    ASSERT_TRUE(VifState(kVif1, &st));
    // A new session: VIF 2 reported during the full sync, VIF 1 no longer.
    kcpLink->Down();
    kcpLink->Up();
    uint32_t sid = kcp::CurrentSessionId();
    kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionOpenAck, sid));
    kcp::VifRecordSpec v2 = Vif(kVif2, "port-2");
    v2.bindings.push_back(V4Binding(9));
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpFullSync, {v2}));
    // Deltas during the full sync are collected as well.
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpUpdate, {Vif(kVif1, kPort1)}));
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpDelete, {Vif(kVif1, kPort1)}));
    EXPECT_FALSE(VifState(kVif2, &st));
    EXPECT_TRUE(VifState(kVif1, &st));  // still the previous session's state
    const size_t collecting = app->TableBytes();
    kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionFullSyncEnd, sid));
    // The three collected records are released at the end, not only emptied.
    EXPECT_LE(app->TableBytes() + 3 * sizeof(std::pair<VifStateRecord, bool>), collecting);
    EXPECT_TRUE(
        log.Contains("ConfigApp: _fullSyncUpdateList size : 3 before updating config state cache"));
    EXPECT_TRUE(
        log.Contains("ConfigApp: finished write to ConfigCache on IP Discovery ready (FullSync)"));
    EXPECT_TRUE(log.Contains("ConfigApp: _ipDisFullSyncDone set to true"));
    EXPECT_FALSE(VifState(kVif1, &st));
    ASSERT_TRUE(VifState(kVif2, &st));
    EXPECT_EQ(BindingTexts(st), (std::vector<std::string>{"0a000009/005056000009"}));
    EXPECT_EQ(app->vifCount(), 1u);
    EXPECT_TRUE(app->ipDiscovery()->Connected(kVif2));
    EXPECT_FALSE(app->ipDiscovery()->Connected(kVif1));
}

// What the full sync collected is taken in report order: the last report of a VIF counts, a
// delete removes what came before it and a report after the delete brings the VIF back.
TEST_F(ConfigAppVifStateTest, TheFullSyncWriteTakesEachVifsLastReport) {
    const std::string vif3 = "11111111-2222-3333-4444-000000000003";
    kcp::VifRecordSpec again = Vif(kVif1, kPort1, kcp::kVifDisconnect);
    again.macs.push_back({0x00, 0x50, 0x56, 0x0a, 0x0b, 0x0c});
    OpenSession(false, {Vif(kVif1, kPort1), Vif(kVif2, "port-2"), Vif(vif3, "port-3")});
    uint32_t sid = kcp::CurrentSessionId();
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpUpdate, {again}));
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpDelete, {Vif(kVif2, "port-2")}));
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpDelete, {Vif(vif3, "port-3")}));
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpUpdate, {Vif(vif3, "port-3b")}));
    kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionFullSyncEnd, sid));
    pb::VifStateMsg st;
    ASSERT_TRUE(VifState(kVif1, &st));
    EXPECT_EQ(st.status(), kcp::kVifDisconnect);
    EXPECT_EQ(st.mac(), 0x0050560a0b0cu);
    EXPECT_FALSE(VifState(kVif2, &st));
    ASSERT_TRUE(VifState(vif3, &st));
    EXPECT_EQ(st.port_id(), "port-3b");
    EXPECT_EQ(app->vifCount(), 2u);
}

TEST_F(ConfigAppVifStateTest, GuestToolBindingsMergeWithDiscoveredOnes) {
    OpenSession();
    kcp::VifRecordSpec v = Vif(kVif1, kPort1);
    v.bindings.push_back(V4Binding(7));
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpUpdate, {v}));
    // The guest tools report the same binding and a second one.
    app->UpdateDesiredState({DaVif(kVif1, {{0x0a000007, 0x005056000007}, {0x0a000008, 0x5}})},
                            false);
    EXPECT_TRUE(
        log.Contains("IpDiscovery: UpdateDesiredState called, isFullSync = false, msgs size = 1"));
    EXPECT_TRUE(log.Contains(
        "ConfigApp: IpDiscovery update ready, vifConnectionUpdate : false, upds size : 1"));
    pb::VifStateMsg st;
    ASSERT_TRUE(VifState(kVif1, &st));
    EXPECT_EQ(BindingTexts(st),
              (std::vector<std::string>{"0a000007/005056000007", "0a000008/000000000005"}));
    // The dataplane forgets its binding: the guest tools' remain.
    kcp::VifRecordSpec none = Vif(kVif1, kPort1);
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpUpdate, {none}));
    ASSERT_TRUE(VifState(kVif1, &st));
    EXPECT_EQ(BindingTexts(st).size(), 2u) << "a report without bindings keeps them";
    // The DA_VIF goes: only the dataplane's binding is left.
    app->UpdateDesiredState({DaVif(kVif1, {}, Operation::OPERATION_DELETE)}, false);
    ASSERT_TRUE(VifState(kVif1, &st));
    EXPECT_EQ(BindingTexts(st), (std::vector<std::string>{"0a000007/005056000007"}));
    // Guest-tool bindings of a VIF that is not connected here are kept, not written.
    app->UpdateDesiredState({DaVif(kVif2, {{0x0a000010, 0x10}})}, false);
    EXPECT_FALSE(VifState(kVif2, &st));
    EXPECT_EQ(app->ipDiscovery()->EffectiveBindings(VifKey(kVif2)).size(), 1u);
    // ... and written with the VIF when it connects.
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpUpdate, {Vif(kVif2, "port-2")}));
    ASSERT_TRUE(VifState(kVif2, &st));
    EXPECT_EQ(BindingTexts(st), (std::vector<std::string>{"0a000010/000000000010"}));
}

TEST_F(ConfigAppVifStateTest, BindingsDuringTheDataplaneFullSyncWaitForItsEnd) {
    OpenSession(false);
    kcp::VifRecordSpec v = Vif(kVif1, kPort1);
    v.bindings.push_back(V4Binding(3));
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpFullSync, {v}));
    app->UpdateDesiredState({DaVif(kVif1, {{0x0a000004, 0x4}})}, false);
    pb::VifStateMsg st;
    EXPECT_FALSE(VifState(kVif1, &st));
    EXPECT_TRUE(app->ipDiscovery()->EffectiveBindings(VifKey(kVif1)).size() == 1u)
        << "the dataplane's bindings are not applied before the full sync ends";
    kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionFullSyncEnd, kcp::CurrentSessionId()));
    ASSERT_TRUE(VifState(kVif1, &st));
    EXPECT_EQ(BindingTexts(st),
              (std::vector<std::string>{"0a000003/005056000003", "0a000004/000000000004"}));
}

TEST_F(ConfigAppVifStateTest, DaVifFullSyncReplacesAndLogsUnknownDeletes) {
    app->UpdateDesiredState({DaVif(kVif1, {{1, 1}}), DaVif(kVif2, {{2, 2}})}, false);
    EXPECT_EQ(app->ipDiscovery()->GuestToolVifCount(), 2u);
    app->UpdateDesiredState({DaVif(kVif1, {{1, 1}}), DaVif("11111111-2222-3333-4444-000000000009",
                                                           {}, Operation::OPERATION_DELETE)},
                            true);
    EXPECT_TRUE(
        log.Contains("IpDiscovery: full sync delete VIF "
                     "11111111-2222-3333-4444-000000000009 not found in local cache"));
    EXPECT_EQ(app->ipDiscovery()->GuestToolVifCount(), 1u);
    EXPECT_TRUE(app->ipDiscovery()->EffectiveBindings(VifKey(kVif2)).empty());
    // Operations other than update and delete are refused.
    CairnDBUpdateMsg bad = DaVif(kVif1, {{5, 5}});
    bad.op = static_cast<Operation>(3);
    app->UpdateDesiredState({bad}, false);
    EXPECT_TRUE(log.ContainsWithCode(
        "IpDiscovery: DaVif invalid op 3, not caching or writing to StateCache", "LCP00001"));
    EXPECT_EQ(app->ipDiscovery()->EffectiveBindings(VifKey(kVif1)).size(), 1u);
    CairnDBUpdateMsg empty = DaVif(kVif1, {});
    empty.data.clear();
    app->UpdateDesiredState({empty}, false);
    EXPECT_TRUE(log.Contains("IpDiscovery: received empty property valuefrom CairnDb"));
}

TEST_F(ConfigAppVifStateTest, UnsupportedDiscoverySourceIsDroppedWithItsCode) {
    OpenSession();
    kcp::VifRecordSpec v = Vif(kVif1, kPort1);
    v.bindings.push_back(V4Binding(1));
    v.bindings.push_back(V4Binding(2, 99));
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpUpdate, {v}));
    EXPECT_TRUE(log.ContainsWithCode(
        "IP Discovery: Received unsupported discovery source binding from datapath", "LCP00001"));
    pb::VifStateMsg st;
    ASSERT_TRUE(VifState(kVif1, &st));
    EXPECT_EQ(BindingTexts(st), (std::vector<std::string>{"0a000001/005056000001"}));
}

TEST_F(ConfigAppVifStateTest, HopoverRecordsAreWrittenAndExpire) {
    OpenSession();
    app->PostStart();
    Advance(std::chrono::seconds(0));
    kcp::VifRecordSpec v = Vif(kVif1, kPort1);
    v.hopover = true;
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpUpdate, {v}));
    pb::HopoverStatusMsg h;
    ASSERT_TRUE(HopoverState(kVif1, &h));
    EXPECT_EQ(h.status(), 1u);
    EXPECT_EQ(h.port_id(), kPort1);
    EXPECT_GT(h.updated_at(), 0u);
    // Leaving by live migration: removed from the convertor's migration queue.
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpDelete, {v}));
    EXPECT_TRUE(log.Contains("ConfigApp: delete VIF " + std::string(kVif1) + " due to hopover"));
    EXPECT_EQ(conv->Count("RemoveHopover " + std::string(kPort1)), 1u);
    ASSERT_TRUE(HopoverState(kVif1, &h));
    EXPECT_EQ(h.status(), 2u);
    // Still there before the lifetime is over, gone after it.
    Advance(std::chrono::seconds(60));
    EXPECT_TRUE(HopoverState(kVif1, &h));
    Advance(std::chrono::seconds(ConfigApp::kHopoverLifetimeSeconds));
    EXPECT_TRUE(
        log.Contains("ConfigApp: delete hopover status message with VIF " + std::string(kVif1)));
    EXPECT_FALSE(HopoverState(kVif1, &h));
    EXPECT_EQ(app->hopoverCount(), 0u);
}

TEST_F(ConfigAppVifStateTest, HopoverRecordsSurviveTheFullSyncWrite) {
    OpenSession();
    kcp::VifRecordSpec v = Vif(kVif1, kPort1);
    v.hopover = true;
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpUpdate, {v}));
    app->SimulateOutOfSync();
    uint32_t sid = kcp::CurrentSessionId();
    kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionOpenAck, sid));
    kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionFullSyncEnd, sid));
    pb::HopoverStatusMsg h;
    EXPECT_TRUE(HopoverState(kVif1, &h));
    pb::VifStateMsg st;
    EXPECT_FALSE(VifState(kVif1, &st)) << "not reported in the new full sync";
}

TEST_F(ConfigAppVifStateTest, UplinksAreAddedOrCollectedDuringTheFullSync) {
    kcp::VifRecordSpec up = Vif("uplink-vif-1", "uplink-port-1");
    up.vifType = kcp::kVifDvpgPort;
    up.parentVifId = "uplink1";
    OpenSession(true, {up});
    EXPECT_EQ(conv->Count("FullSyncUplinks uplink-vif-1"), 1u);
    conv->Clear();
    up.vifId = "uplink-vif-2";
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpUpdate, {up}));
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpDelete, {up}));
    EXPECT_EQ(conv->Count("AddUplink uplink-vif-2 uplink1"), 1u);
    EXPECT_EQ(conv->Count("DeleteUplink uplink-vif-2"), 1u);
}

TEST_F(ConfigAppVifStateTest, CliPagesAnswerFromTheConversionEngine) {
    CliPages pages;
    app->RegisterCliPages(pages);
    conv->uplinksJson = R"([{"uplink": "uplink1"}])";
    conv->conduitJson = R"([{"krnnic": "conduitKrnnic0"}])";
    const CliPages::Page* uplink = pages.Find("cfgagent/config/uplink");
    const CliPages::Page* conduit = pages.Find("cfgagent/config/conduitkrn");
    ASSERT_NE(uplink, nullptr);
    ASSERT_NE(conduit, nullptr);
    EXPECT_EQ(uplink->handler({}).text, conv->uplinksJson);
    // (With what the container bus made of each: nothing here.)
    EXPECT_EQ(nlohmann::json::parse(conduit->handler({}).text),
              nlohmann::json::parse(conv->conduitJson));
    ASSERT_NE(pages.FindOutOfSync("config"), nullptr);
    // The simulated report opens a new session.
    OpenSession();
    uint32_t before = kcp::CurrentSessionId();
    (*pages.FindOutOfSync("config"))();
    EXPECT_EQ(kcp::CurrentSessionId(), before + 1);
}

TEST_F(ConfigAppVifStateTest, ConduitKernelNicIsNotAVifState) {
    OpenSession();
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpUpdate, {Vif("conduitKrnnic0", "p")}));
    EXPECT_TRUE(log.Contains("ConfigApp: ignore VIF type CONDUIT_KRNNIC"));
    EXPECT_EQ(app->vifCount(), 0u);
    EXPECT_EQ(conv->Count("VifInfo conduitKrnnic0"), 1u);
    // A VIF that is not a UUID gets a stable name-based identifier.
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpUpdate, {Vif("vif-text-id", "p")}));
    pb::VifStateMsg st;
    ASSERT_TRUE(VifState("vif-text-id", &st));
    EXPECT_EQ(VifObjectId("vif-text-id"), VifObjectId("vif-text-id"));
    EXPECT_NE(VifObjectId("vif-text-id"), VifObjectId("vif-text-id2"));
    EXPECT_EQ(IdText(VifObjectId("vif-text-id")).size(), 36u);
}

class SmartNicHostVifTest : public ConfigAppFixture {
  protected:
    void SetUp() override { Make(kPersonaSmartnicHost); }
};

TEST_F(SmartNicHostVifTest, VifsServedByASmartNicAreSkipped) {
    OpenSession();
    kcp::VifRecordSpec v = Vif(kVif1, kPort1);
    v.smartNic = true;
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpUpdate, {v, Vif(kVif2, "port-2")}));
    pb::VifStateMsg st;
    EXPECT_FALSE(VifState(kVif1, &st));
    EXPECT_TRUE(VifState(kVif2, &st));
}

}  // namespace
}  // namespace CfgAgent::test
