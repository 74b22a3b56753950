// TEP alarms: L2AlarmReporter on a table of its own (alarm messages written from the layout, the
// three alarm bodies with their fields in order, the fault reasons, pending alarms, refusals), and
// through L2App (type 17 from the link, the transport node from the configuration table, pending
// alarms forgotten by a new session, the SmartNIC backing).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "apps/switching/L2AlarmReporter.h"
#include "platform/monitoring/AlarmTable.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/AgentSettings.h"
#include "tests/apps/switching/L2AppFixture.h"

namespace CfgAgent::test {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

// A TEP alarm (88 bytes): type 17, length 88, kernel NIC (16 bytes), host switch (64 bytes), kind,
// state, reason bits, zero.
Bytes TepAlarm(const std::string& nic, uint8_t kind, uint8_t state, uint8_t reasons = 0,
               const std::string& hostSwitch = "nvds-1") {
    return Cat(
        {H("00 11 00 58"), Field(nic, 16), Field(hostSwitch, 64), Bytes{kind, state, reasons, 0}});
}

// The context of the active alarm of an event type, its fields in order; empty when none.
Fields ActiveFields(const ozy::monitoring::AlarmTable& table, uint32_t eventType) {
    for (const auto& a : table.Active()) {
        if (a.eventType != eventType)
            continue;
        Fields out;
        const nlohmann::ordered_json context = nlohmann::ordered_json::parse(a.context);
        for (const auto& [k, v] : context.items())
            out.emplace_back(k, v.get<std::string>());
        return out;
    }
    return {};
}

const char* const kTn = "7e000000-0000-4000-8000-000000000001";

class L2AlarmReporterTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(reporter.Start()); }
    void Deliver(const Bytes& m) { reporter.HandleVxlanTEPAlarm(m.data(), m.size()); }
    Fields Active(uint32_t eventType) const { return ActiveFields(table, eventType); }

    LogCapture log{kLogDebug};
    ozy::monitoring::AlarmTable table;
    L2AlarmReporter reporter{&table};
};

TEST_F(L2AlarmReporterTest, AlarmBodiesHaveTheirFieldsInOrder) {
    EXPECT_TRUE(log.Contains("L2 AlarmReporter started successfully."));
    reporter.SetTransportNode(kTn);
    Deliver(TepAlarm("vmk10", 1, 2, 0x01));
    Deliver(TepAlarm("vmk11", 2, 1));
    Deliver(TepAlarm("vmk12", 3, 3));
    EXPECT_TRUE(log.Contains("L2AlarmReporter: l2AlarmReporter: received new Alarm message"));
    EXPECT_EQ(Active(L2AlarmReporter::kEventTepKrnnicFault),
              (Fields{{"transport_node_id", kTn},
                      {"vtep_name", "vmk10"},
                      {"vtep_state", "DOWN"},
                      {"dvs_name", "nvds-1"},
                      {"dpu_id", ""},
                      {"vtep_fault_reason", "BFD tunnels from TEP are down"}}));
    EXPECT_EQ(Active(L2AlarmReporter::kEventTepHaActive), (Fields{{"transport_node_id", kTn},
                                                                  {"vtep_name", "vmk11"},
                                                                  {"vtep_state", "UP"},
                                                                  {"dpu_id", ""},
                                                                  {"dvs_name", "nvds-1"}}));
    EXPECT_EQ(Active(L2AlarmReporter::kEventTepAutoRecovery), (Fields{{"transport_node_id", kTn},
                                                                      {"vtep_name", "vmk12"},
                                                                      {"vtep_state", "DEGRADED"},
                                                                      {"dpu_id", ""},
                                                                      {"dvs_name", "nvds-1"}}));
    for (const auto& a : table.Active()) {
        EXPECT_EQ(a.source, "cfgAgent_l2");
        EXPECT_EQ(a.component, "l2AlarmReporter");
        EXPECT_EQ(a.entity.substr(0, 10), "nvds-1/vmk");
    }
    // The TEP is up again: its fault clears, the other alarms stay.
    Deliver(TepAlarm("vmk10", 1, 1));
    EXPECT_TRUE(Active(L2AlarmReporter::kEventTepKrnnicFault).empty());
    EXPECT_EQ(table.size(), 2u);
}

TEST(L2AlarmReporterWords, ReasonsAndNicNames) {
    struct Reason {
        uint8_t bits;
        const char* text;
    };
    for (const Reason& c :
         {Reason{0x01, "BFD tunnels from TEP are down"},
          Reason{0x02, "TEP does not have an v4 address"},
          Reason{0x04, "TEP does not have an v6 address"},
          Reason{0x06, "TEP does not have an all IP address"},
          Reason{0x07, "BFD tunnels from TEP are down; TEP does not have an all IP address"},
          Reason{0x00, ""}}) {
        EXPECT_EQ(L2AlarmReporter::FaultReason(c.bits), c.text) << int(c.bits);
    }
    for (const char* good : {"vmk0", "vmk12", "vmk9999"})
        EXPECT_TRUE(L2AlarmReporter::ValidKrnName(good)) << good;
    for (const char* bad : {"", "vmk", "vmk10000", "vmkx", "eth0", "vmk1 ", "VMK1", "xvmk1"})
        EXPECT_FALSE(L2AlarmReporter::ValidKrnName(bad)) << bad;
}

TEST_F(L2AlarmReporterTest, AlarmsWaitForTheTransportNodeOnePerNicAndKind) {
    Deliver(TepAlarm("vmk10", 1, 2, 0x01));
    Deliver(TepAlarm("vmk10", 1, 3, 0x02));  // the same NIC and kind: the latest wins
    Deliver(TepAlarm("vmk10", 2, 1));
    Deliver(TepAlarm("vmk11", 2, 1));
    EXPECT_EQ(reporter.pendingCount(), 3u);
    EXPECT_EQ(log.Count("L2AlarmReporter: l2AlarmReporter: Save pending alarm"), 4u);
    EXPECT_EQ(table.size(), 0u);
    reporter.SetTransportNode(kTn);
    EXPECT_EQ(reporter.pendingCount(), 0u);
    ASSERT_EQ(table.size(), 3u);
    Fields fault = Active(L2AlarmReporter::kEventTepKrnnicFault);
    ASSERT_EQ(fault.size(), 6u);
    EXPECT_EQ(fault[2].second, "DEGRADED");
    EXPECT_EQ(fault[5].second, "TEP does not have an v4 address");

    // Forgotten pending alarms are never raised.
    reporter.SetTransportNode("");
    Deliver(TepAlarm("vmk12", 3, 1));
    reporter.ClearPending();
    reporter.SetTransportNode(kTn);
    EXPECT_EQ(table.size(), 3u);
}

TEST_F(L2AlarmReporterTest, PendingAlarmsAreBounded) {
    for (size_t i = 0; i < L2AlarmReporter::kMaxPending + 5; ++i)
        Deliver(TepAlarm("vmk" + std::to_string(i), 1 + i % 3, 2));
    EXPECT_EQ(reporter.pendingCount(), L2AlarmReporter::kMaxPending);
    EXPECT_EQ(log.Count("pending alarms; more are dropped"), 1u);
    // A pending key is still replaced when the bound is reached.
    Deliver(TepAlarm("vmk0", 1, 3));
    EXPECT_EQ(reporter.pendingCount(), L2AlarmReporter::kMaxPending);
    reporter.SetTransportNode(kTn);
    EXPECT_EQ(Active(L2AlarmReporter::kEventTepKrnnicFault).size(), 6u);
    EXPECT_EQ(table.size(), L2AlarmReporter::kMaxPending);
}

TEST_F(L2AlarmReporterTest, MalformedAlarmsAreLoggedAndDropped) {
    reporter.SetTransportNode(kTn);
    struct Case {
        Bytes msg;
        const char* line;
    };
    Bytes shortMsg = TepAlarm("vmk1", 1, 2);
    shortMsg.resize(60);
    shortMsg[3] = 60;
    const Case cases[] = {
        {TepAlarm("eth0", 1, 2), "L2AlarmReporter: krnName: eth0 not in expected fromat"},
        // A name filling its 16 bytes without a NUL is read within them.
        {TepAlarm("vmk0123456789abcdef", 1, 2),
         "L2AlarmReporter: krnName: vmk0123456789abc not in expected fromat"},
        {shortMsg, "invalid TEP alarm message length 60"},
        {TepAlarm("vmk1", 9, 2), "unknown TEP alarm kind 9 or state 2 of vmk1"},
        {TepAlarm("vmk1", 1, 0), "unknown TEP alarm kind 1 or state 0 of vmk1"},
        {H("00 11 00 05 00"), "invalid TEP alarm message length 5"},
    };
    for (const Case& c : cases) {
        Deliver(c.msg);
        EXPECT_TRUE(log.ContainsWithCode(c.line, "LCP00407")) << c.line;
    }
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(reporter.pendingCount(), 0u);
}

TEST(L2AlarmReporterStop, AStoppedReporterRaisesNothing) {
    LogCapture log{kLogInfo};
    ozy::monitoring::AlarmTable table;
    L2AlarmReporter reporter(&table);
    ASSERT_TRUE(reporter.Start());
    reporter.Stop();
    reporter.SetTransportNode(kTn);
    const Bytes m = TepAlarm("vmk1", 2, 1);
    reporter.HandleVxlanTEPAlarm(m.data(), m.size());
    EXPECT_EQ(table.size(), 0u) << "a stopped source raises nothing";
}

// Through the application: the link delivers type 17, the configuration table names the
// transport node.
class L2AppAlarmTest : public L2AppFixture {
  protected:
    void ApplyTransportNode(bool present = true) {
        CairnDBUpdateMsg r;
        r.objType = ObjectType::TRANSPORT_NODE_CONFIG;
        r.id = SerializedUuid(0x7e00000000004000ull, 0x8000000000000001ull);
        r.op = present ? Operation::OPERATION_UPDATE : Operation::OPERATION_DELETE;
        pb::TransportNodeConfigMsg tn;
        tn.mutable_id()->ParseFromString(r.id);
        tn.set_label(5);
        if (present)
            r.data = tn.SerializeAsString();
        cache->ConfigTable()->UpdateDesiredState({r}, false);
    }
    Fields Active(uint32_t eventType) const { return ActiveFields(alarms, eventType); }
};

TEST_F(L2AppAlarmTest, AnAlarmBeforeTheTransportNodeIsRaisedOnceItIsApplied) {
    Synced();
    Deliver(TepAlarm("vmk1", 1, 2, 0x06));
    EXPECT_EQ(app->pendingAlarms(), 1u);
    EXPECT_EQ(alarms.size(), 0u);
    ApplyTransportNode();
    EXPECT_EQ(app->transportNode(), kTn);
    EXPECT_EQ(app->pendingAlarms(), 0u);
    EXPECT_EQ(Active(L2AlarmReporter::kEventTepKrnnicFault),
              (Fields{{"transport_node_id", kTn},
                      {"vtep_name", "vmk1"},
                      {"vtep_state", "DOWN"},
                      {"dvs_name", "nvds-1"},
                      {"dpu_id", ""},
                      {"vtep_fault_reason", "TEP does not have an all IP address"}}));
    // Later alarms are raised at once.
    Deliver(TepAlarm("vmk2", 2, 1));
    EXPECT_EQ(alarms.size(), 2u);
    ApplyTransportNode(false);
    EXPECT_EQ(app->transportNode(), "");
}

TEST_F(L2AppAlarmTest, ANewSessionForgetsPendingAlarms) {
    Synced();
    Deliver(TepAlarm("vmk1", 3, 1));
    EXPECT_EQ(app->pendingAlarms(), 1u);
    app->SimulateOutOfSync();
    EXPECT_EQ(app->pendingAlarms(), 0u);
    ApplyTransportNode();
    EXPECT_EQ(alarms.size(), 0u);
    // A malformed alarm through the link is dropped with its code.
    Deliver(TepAlarm("krnnic1", 1, 2));
    EXPECT_TRUE(log.ContainsWithCode("krnName: krnnic1 not in expected fromat", "LCP00407"));
    EXPECT_EQ(alarms.size(), 0u);
}

TEST_F(L2AppAlarmTest, TheBackingNamesTheDpuOnASmartNicOnly) {
    ApplyTransportNode();
    pb::HostSwitchSmartnicBackingMsg b;
    b.set_active_sn_id("sn-a");
    b.set_current_active_sn_id("sn-b");
    CairnDBUpdateMsg r;
    r.objType = ObjectType::HOST_SWITCH_SMARTNIC_BACKING;
    r.id = SerializedUuid(0xb0, 1);
    r.data = b.SerializeAsString();
    const int persona = AgentSettings::Persona();
    app->UpdateDesiredState({r}, false);
    EXPECT_TRUE(log.Contains("L2 app received backing msg"));
    EXPECT_TRUE(log.Contains("skip SN backing info. Not on a DPU"));
    AgentSettings::SetPersona(kPersonaSmartnic);
    app->UpdateDesiredState({r}, false);
    AgentSettings::SetPersona(persona);
    EXPECT_TRUE(log.Contains("L2AlarmReporter: l2AlarmReporter: received SN backing info"));
    Synced();
    Deliver(TepAlarm("vmk1", 2, 1));
    Fields f = Active(L2AlarmReporter::kEventTepHaActive);
    ASSERT_EQ(f.size(), 5u);
    EXPECT_EQ(f[3], (std::pair<std::string, std::string>{"dpu_id", "sn-b"}));
}

}  // namespace
}  // namespace CfgAgent::test
