// Desired state in ConfigApp: the configuration-table observer with its unblock collection and
// full-sync rules, the dispatcher's object lists sorted into six handlers, the pushes of the full
// state after a (re)connection, and the health monitor's transitions.
#include "tests/apps/switching/ConfigAppFixture.h"

#include "intake/CfgTypes.h"
#include "proto/cairndb_switching.pb.h"
#include "statecache/IdText.h"

namespace CfgAgent::test {
namespace {

namespace pb = orvane::ozy::cairndb;

constexpr const char* kLs = "00000000-0000-0000-0000-0000000000a1";
constexpr const char* kLsp = "00000000-0000-0000-0000-0000000000b1";

std::string Id(const char* text) {
    std::string id;
    EXPECT_TRUE(IdFromText(text, &id));
    return id;
}

CairnDBUpdateMsg Rec(ObjectType type, const char* id, PropertyType property, Operation op,
                     std::string data = "x") {
    CairnDBUpdateMsg m;
    m.objType = type;
    m.id = Id(id);
    m.property = property;
    m.op = op;
    m.data = op == Operation::OPERATION_DELETE && property != PropertyType::INVALID_PROPERTY
                 ? std::string()
                 : std::move(data);
    return m;
}

// A logical switch as the decoder files it: the whole object and its VNI property.
CairnDBUpdateList SwitchWithVni(uint32_t vni) {
    pb::LogSwitchConfigMsg ls;
    ls.mutable_id()->ParseFromString(Id(kLs));
    ls.set_vni(vni);
    pb::LogSwitchConfigMsg vniOnly;
    vniOnly.set_vni(vni);
    return {Rec(ObjectType::LOG_SWITCH_CONFIG, kLs, PropertyType::INVALID_PROPERTY,
                Operation::OPERATION_UPDATE, ls.SerializeAsString()),
            Rec(ObjectType::LOG_SWITCH_CONFIG, kLs, PropertyType::LS_VNI,
                Operation::OPERATION_UPDATE, vniOnly.SerializeAsString())};
}

using ConfigAppDesiredStateTest = ConfigAppFixture;

TEST_F(ConfigAppDesiredStateTest, LinkUpWithAnEmptyTablePushesOnlyAtTheFirstBatch) {
    OpenSession();
    EXPECT_EQ(conv->Count("PushFullState"), 0u);
    EXPECT_FALSE(log.Contains("ConfigApp: Start full sync with DP after DP connection is up"));
    // The table delivers to its observers: the first delta pushes once.
    table->UpdateDesiredState(SwitchWithVni(5001), false);
    EXPECT_TRUE(log.Contains("ConfigApp: Start full sync with DP after host reboot"));
    EXPECT_EQ(conv->Count("PushFullState"), 1u);
    EXPECT_TRUE(app->desiredStateSynced());
    table->UpdateDesiredState(SwitchWithVni(5002), false);
    EXPECT_EQ(conv->Count("PushFullState"), 1u);
    // The records went through as a switch entity and its VNI property.
    ASSERT_EQ(conv->propertyUpdates.size(), 2u);
    EXPECT_EQ(conv->propertyUpdates[0].property, PropertyType::LS_VNI);
    EXPECT_EQ(conv->Count("Entity 1 1"), 2u);
}

TEST_F(ConfigAppDesiredStateTest, LinkUpWithDesiredStatePushesAtOnce) {
    table->UpdateDesiredState(SwitchWithVni(5001), true);
    // Link down: nothing pushed, not synced.
    EXPECT_EQ(conv->Count("PushFullState"), 0u);
    EXPECT_FALSE(app->desiredStateSynced());
    OpenSession();
    EXPECT_TRUE(log.Contains("ConfigApp: Start full sync with DP after DP connection is up"));
    EXPECT_EQ(conv->Count("PushFullState"), 1u);
    // The next delta does not push the full state again.
    table->UpdateDesiredState(SwitchWithVni(5002), false);
    EXPECT_EQ(conv->Count("PushFullState"), 1u);
    // A reconnection pushes again.
    kcpLink->Down();
    kcpLink->Up();
    EXPECT_EQ(conv->Count("PushFullState"), 2u);
}

TEST_F(ConfigAppDesiredStateTest, FullSyncBatchPushesAndAnEmptyOneDoesNot) {
    OpenSession();
    app->ProcessConfigDesiredStateUpdate({}, true);
    EXPECT_TRUE(log.Contains("ConfigApp: No updates from cairndb during host reboot"));
    EXPECT_EQ(conv->Count("PushFullState"), 0u);
    EXPECT_FALSE(app->desiredStateSynced());
    app->ProcessConfigDesiredStateUpdate(SwitchWithVni(5001), true);
    EXPECT_TRUE(log.Contains("ConfigApp: Start full sync with DP after sync with cairndb"));
    EXPECT_EQ(conv->Count("PushFullState"), 1u);
    EXPECT_TRUE(app->desiredStateSynced());
    // Every full sync from the database pushes again.
    app->ProcessConfigDesiredStateUpdate(SwitchWithVni(5001), true);
    EXPECT_EQ(conv->Count("PushFullState"), 2u);
}

TEST_F(ConfigAppDesiredStateTest, UnblockCollectionHasEachIdOnceAndPropertyDeletesStayProperties) {
    OpenSession();
    conv->Clear();
    CairnDBUpdateList batch = {
        Rec(ObjectType::LOG_SWITCH_CONFIG, kLs, PropertyType::LS_VNI, Operation::OPERATION_UPDATE),
        Rec(ObjectType::LOG_SWITCH_CONFIG, kLs, PropertyType::LS_ADMIN_STATE_UP,
            Operation::OPERATION_UPDATE),
        Rec(ObjectType::LOG_SWITCH_CONFIG, kLs, PropertyType::LS_VLAN, Operation::OPERATION_UPDATE),
        Rec(ObjectType::LOG_SWITCH_CONFIG, kLs, PropertyType::LS_VLAN_TRUNK,
            Operation::OPERATION_UPDATE),
        // A deleted switch property does not unblock.
        Rec(ObjectType::LOG_SWITCH_CONFIG, "00000000-0000-0000-0000-0000000000a2",
            PropertyType::LS_VNI, Operation::OPERATION_DELETE),
        Rec(ObjectType::LOG_SWITCH_PORT_CONFIG, kLsp, PropertyType::LSP_ADMIN_STATE_UP,
            Operation::OPERATION_DELETE),
        Rec(ObjectType::LOG_SWITCH_PORT_CONFIG, kLsp, PropertyType::LSP_ADMIN_STATE_UP,
            Operation::OPERATION_DELETE),
        // An updated port admin state does not unblock by itself.
        Rec(ObjectType::LOG_SWITCH_PORT_CONFIG, "00000000-0000-0000-0000-0000000000b2",
            PropertyType::LSP_ADMIN_STATE_UP, Operation::OPERATION_UPDATE),
    };
    app->ProcessConfigDesiredStateUpdate(batch, false);
    ASSERT_EQ(conv->unblockPorts.size(), 1u);
    EXPECT_EQ(conv->unblockPorts[0], (std::set<std::string>{Id(kLsp)}));
    EXPECT_EQ(conv->unblockSwitches[0], (std::set<std::string>{Id(kLs)}));
    // Removed properties (empty values) are property updates with the delete operation.
    EXPECT_EQ(conv->propertyUpdates.size(), batch.size());
    EXPECT_EQ(conv->Count("Entity"), 0u);
    EXPECT_EQ(conv->propertyUpdates[4].op, Operation::OPERATION_DELETE);
    EXPECT_TRUE(conv->propertyUpdates[4].value.empty());
    EXPECT_TRUE(
        log.Contains("ConfigApp: received desired config update (Empty Value), id "
                     "00000000-0000-0000-0000-0000000000a2 object type LOG_SWITCH_CONFIG"));
    EXPECT_TRUE(log.Contains("ConfigApp: received desired config update, id " + std::string(kLs) +
                             " type LOG_SWITCH_CONFIG property type LS_VNI (Update)"));
    // Whole-object deletes are entity deletes.
    conv->Clear();
    app->ProcessConfigDesiredStateUpdate(
        {Rec(ObjectType::LOG_SWITCH_CONFIG, kLs, PropertyType::INVALID_PROPERTY,
             Operation::OPERATION_DELETE, "")},
        false);
    EXPECT_EQ(conv->Count("Entity 1 2"), 1u);
    EXPECT_EQ(conv->unblockSwitches.back().size(), 0u);
}

// A full sync that reaches the table in parts: the engine gets each part's records as they come,
// and at the last call the unblocks and the push once, exactly the calls of the same full sync
// in one batch; parts of a full sync that never ended leave nothing to the next one.
TEST_F(ConfigAppDesiredStateTest, AFullSyncInPartsMakesTheCallsOfOneBatch) {
    OpenSession();
    CairnDBUpdateList sync = SwitchWithVni(5001);
    for (const char* port :
         {"00000000-0000-0000-0000-0000000000b1", "00000000-0000-0000-0000-0000000000b2",
          "00000000-0000-0000-0000-0000000000b3"}) {
        pb::LogSwitchPortConfigMsg lsp;
        lsp.mutable_id()->ParseFromString(Id(port));
        sync.push_back(Rec(ObjectType::LOG_SWITCH_PORT_CONFIG, port, PropertyType::INVALID_PROPERTY,
                           Operation::OPERATION_UPDATE, lsp.SerializeAsString()));
        lsp.Clear();
        lsp.set_admin_state_up(true);
        sync.push_back(Rec(ObjectType::LOG_SWITCH_PORT_CONFIG, port,
                           PropertyType::LSP_ADMIN_STATE_UP, Operation::OPERATION_UPDATE,
                           lsp.SerializeAsString()));
    }
    conv->Clear();
    table->UpdateDesiredState(sync, true);
    const std::vector<std::string> calls = conv->calls;
    const auto unblockSwitches = conv->unblockSwitches;
    ASSERT_EQ(conv->Count("PushFullState"), 1u);
    ASSERT_EQ(unblockSwitches.size(), 1u);
    EXPECT_EQ(unblockSwitches[0], (std::set<std::string>{Id(kLs)}));
    const std::vector<std::vector<size_t>> cuttings = {{1}, {2, 4}, {0, 8}, {8}};
    for (const std::vector<size_t>& cuts : cuttings) {
        SCOPED_TRACE(cuts.size() == 1 ? cuts[0] : cuts[0] * 10 + cuts[1]);
        conv->Clear();
        size_t from = 0;
        for (size_t k = 0; k < cuts.size(); ++k) {
            table->UpdateDesiredStatePart(
                CairnDBUpdateList(sync.begin() + from, sync.begin() + cuts[k]), k == 0);
            from = cuts[k];
        }
        // Nothing but the records' own calls before the last one.
        EXPECT_EQ(conv->Count("PushFullState"), 0u);
        EXPECT_TRUE(conv->unblockSwitches.empty());
        table->UpdateDesiredState(CairnDBUpdateList(sync.begin() + from, sync.end()), true);
        EXPECT_EQ(conv->calls, calls);
        EXPECT_EQ(conv->unblockSwitches, unblockSwitches);
    }
    // Parts of a full sync with the switch that never ends; the next full sync has only a port.
    table->UpdateDesiredStatePart(SwitchWithVni(5002), true);
    conv->Clear();
    const CairnDBUpdateList port(sync.end() - 2, sync.end());
    table->UpdateDesiredStatePart(port, true);
    table->UpdateDesiredState({}, true);
    ASSERT_EQ(conv->unblockSwitches.size(), 1u);
    EXPECT_TRUE(conv->unblockSwitches[0].empty());
    EXPECT_EQ(conv->Count("PushFullState"), 1u);
}

TEST_F(ConfigAppDesiredStateTest, UpdateDesiredStateWithFullSyncCallsAllSixHandlers) {
    conv->Clear();
    app->UpdateDesiredState({}, true);
    EXPECT_TRUE(
        log.Contains("IpDiscovery: UpdateDesiredState called, isFullSync = true, msgs size = 0"));
    EXPECT_EQ(conv->calls,
              (std::vector<std::string>{"TransportNodes 0 full", "OffloadedHostSwitches 0 full",
                                        "ConfigSpans 0 full", "CcpSessions 0 full",
                                        "GlobalConfigs 0 full"}));
    // Without full sync only the non-empty lists are handed on, in the fixed order.
    conv->Clear();
    log.Clear();
    app->UpdateDesiredState({}, false);
    EXPECT_TRUE(conv->calls.empty());
    EXPECT_FALSE(log.Contains("IpDiscovery: UpdateDesiredState called"));
    CairnDBUpdateList objs = {
        Rec(ObjectType::GLOBAL_CONFIG, kLs, PropertyType::INVALID_PROPERTY,
            Operation::OPERATION_UPDATE),
        Rec(ObjectType::CONFIG_SPAN, kLs, PropertyType::INVALID_PROPERTY,
            Operation::OPERATION_UPDATE),
        Rec(ObjectType::TRANSPORT_NODE_CONFIG, kLs, PropertyType::INVALID_PROPERTY,
            Operation::OPERATION_UPDATE),
        Rec(ObjectType::TRANSPORT_NODE_CONFIG, kLsp, PropertyType::INVALID_PROPERTY,
            Operation::OPERATION_UPDATE),
        Rec(ObjectType::CONDUIT_CHANNEL_VIF_CONFIG, kLs, PropertyType::INVALID_PROPERTY,
            Operation::OPERATION_UPDATE),
    };
    app->UpdateDesiredState(objs, false);
    EXPECT_EQ(conv->calls,
              (std::vector<std::string>{"TransportNodes 2 delta", "ConfigSpans 1 delta",
                                        "GlobalConfigs 1 delta"}));
}

TEST_F(ConfigAppDesiredStateTest, HealthTransitionsReachTheConvertor) {
    app->OnDaemonHealthChange(false);
    app->OnDaemonHealthChange(true);
    EXPECT_EQ(conv->Count("Health down"), 1u);
    EXPECT_EQ(conv->Count("Health up"), 1u);
    // No monitor was asked for.
    EXPECT_EQ(app->CairndbConnectionStatus(), "UNKNOWN");
}

// The tenant of a record is on every line logged while the record is handled (identifiers cut to
// 8 characters), and on none after it.
TEST_F(ConfigAppDesiredStateTest, TenantContextOfARecordIsOnItsLogLines) {
    pb::TenantContextMsg tenant;
    tenant.set_org_id("org1");
    tenant.set_project_id("proj1");
    tenant.set_vpc_id("vpc-longer-than-8");
    CairnDBUpdateList records = SwitchWithVni(5001);
    for (auto& r : records)
        r.SetTenantContext(tenant.SerializeAsString());
    CairnDBUpdateList plain = SwitchWithVni(5002);
    records.insert(records.end(), plain.begin(), plain.end());
    log.Clear();
    app->ProcessConfigDesiredStateUpdate(records, false);
    std::vector<std::string> sd;
    for (const LogEntry& e : log.Entries()) {
        if (e.message.find("ConfigApp: received desired config update") != std::string::npos)
            sd.push_back(e.structuredData);
    }
    ASSERT_EQ(sd.size(), 4u) << log.Dump();
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_NE(sd[i].find(" org=\"org1\" proj=\"proj1\" vpc=\"vpc-long\""), std::string::npos)
            << sd[i];
    }
    for (size_t i = 2; i < 4; ++i)
        EXPECT_EQ(sd[i].find("org="), std::string::npos) << sd[i];
    // Nothing is left on the thread once the batch is handled.
    CFG_INFO("after the batch");
    EXPECT_EQ(log.Entries().back().structuredData.find("org="), std::string::npos);
}

}  // namespace
}  // namespace CfgAgent::test
