// Alarms: raise and clear through an event source reach the structured log, the alarm table (and
// its CLI text) and the metrics; contexts stay valid JSON whatever their texts hold.
#include <gmock/gmock.h>

#include <nlohmann/json.hpp>

#include "platform/monitoring/AlarmTable.h"
#include "platform/monitoring/EventSourceAPI.h"
#include "runtime/Metrics.h"
#include "tests/support/LogCapture.h"

namespace ozy::monitoring {
namespace {

using CfgAgent::test::LogCapture;
using ::testing::Contains;
using ::testing::HasSubstr;

class EventSourceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        table.AttachMetrics(&registry);
        ASSERT_TRUE(dfw.Start());
        ASSERT_TRUE(l2.Start());
    }
    int64_t Counter(const std::string& name) { return registry.counter(name)->value(); }
    int64_t Gauge(const std::string& name) { return registry.gauge(name)->value(); }
    nlohmann::json Cli() { return nlohmann::json::parse(table.ToJson()); }

    metrics::Registry registry;
    AlarmTable table;
    EventSourceAPI dfw{"cfgAgent_dfw", "DfwAlarmReporter", &table};
    EventSourceAPI l2{"cfgAgent_l2", "l2AlarmReporter", &table};
};

TEST_F(EventSourceTest, TheCliShowsContextFieldsInTheOrderRaised) {
    ASSERT_TRUE(l2.Raise(8, "tep-1", {{"z_first", "1"}, {"a_second", "2"}}));
    EXPECT_THAT(table.ToJson(), HasSubstr(R"("context":{"z_first":"1","a_second":"2"})"));
}

TEST_F(EventSourceTest, RaiseAndClearReachLogTableAndMetrics) {
    LogCapture logs;
    const EventSourceAPI::Context ctx = {{"entity_id", "lsp-1"}, {"transport_node_name", "tn"}};
    ASSERT_TRUE(dfw.Raise(7, "lsp-1", ctx));

    // The structured record: component, entity, event type and state as structured data.
    std::vector<CfgAgent::LogEntry> entries = logs.Entries();
    ASSERT_EQ(entries.size(), 1u);
    const CfgAgent::LogEntry& raised = entries[0];
    EXPECT_EQ(raised.level, CfgAgent::kLogWarn);
    EXPECT_EQ(raised.message,
              "Alarm RAISED: source cfgAgent_dfw event type 7 entity lsp-1 context "
              "{\"entity_id\":\"lsp-1\",\"transport_node_name\":\"tn\"}");
    EXPECT_THAT(raised.structuredData, HasSubstr("s2comp=\"DfwAlarmReporter\" entId=\"lsp-1\""));
    EXPECT_THAT(raised.tags, Contains("eventType:7"));
    EXPECT_THAT(raised.tags, Contains("alarmState:RAISED"));

    // The table as the CLI shows it; the context is JSON, its fields in the given order.
    nlohmann::json cli = Cli();
    ASSERT_EQ(cli["active"], 1);
    EXPECT_EQ(cli["alarms"][0]["source"], "cfgAgent_dfw");
    EXPECT_EQ(cli["alarms"][0]["component"], "DfwAlarmReporter");
    EXPECT_EQ(cli["alarms"][0]["event_type"], 7);
    EXPECT_EQ(cli["alarms"][0]["entity"], "lsp-1");
    EXPECT_EQ(cli["alarms"][0]["context"]["transport_node_name"], "tn");
    EXPECT_EQ(cli["alarms"][0]["raise_count"], 1);
    EXPECT_EQ(table.Active()[0].context,
              "{\"entity_id\":\"lsp-1\",\"transport_node_name\":\"tn\"}");
    EXPECT_EQ(Counter("alarms.raised"), 1);
    EXPECT_EQ(Counter("alarms.cfgAgent_dfw.raised"), 1);
    EXPECT_EQ(Gauge("alarms.active"), 1);

    // Raised again: one alarm, counted twice, with the newer context.
    ASSERT_TRUE(dfw.Raise(7, "lsp-1", {{"entity_id", "lsp-1"}, {"transport_node_name", "tn2"}}));
    cli = Cli();
    ASSERT_EQ(cli["active"], 1);
    EXPECT_EQ(cli["alarms"][0]["raise_count"], 2);
    EXPECT_EQ(cli["alarms"][0]["context"]["transport_node_name"], "tn2");
    EXPECT_EQ(Counter("alarms.raised"), 2);

    // Cleared: gone from the table, counted, logged; a second clear finds nothing.
    logs.Clear();
    EXPECT_TRUE(dfw.Clear(7, "lsp-1", ctx));
    EXPECT_TRUE(logs.Contains("Alarm CLEARED: source cfgAgent_dfw event type 7 entity lsp-1"));
    EXPECT_THAT(logs.Entries().at(0).tags, Contains("alarmState:CLEARED"));
    EXPECT_EQ(Cli()["active"], 0);
    EXPECT_EQ(Counter("alarms.cleared"), 1);
    EXPECT_EQ(Counter("alarms.cfgAgent_dfw.cleared"), 1);
    EXPECT_EQ(Gauge("alarms.active"), 0);
    EXPECT_EQ(Gauge("alarms.cfgAgent_dfw.active"), 0);
    EXPECT_FALSE(dfw.Clear(7, "lsp-1"));
    EXPECT_EQ(Counter("alarms.cleared"), 1);
}

TEST_F(EventSourceTest, ContextsWithAnyTextStayValidJson) {
    struct Case {
        const char* name;
        std::string value;
    };
    const Case cases[] = {
        {"quotes", "say \"hi\""},
        {"newlines", "line1\nline2\r\n"},
        {"backslash and braces", "C:\\path} {\"x\":1}"},
        {"control characters", std::string("a\x01\x1f"
                                           "b",
                                           4)},
        {"invalid UTF-8", std::string("ok\xff\xfe", 4)},
        {"empty", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = EventSourceAPI::ContextJson({{"entity_id", "e"}, {"reason", c.value}});
        EXPECT_EQ(text.find('\n'), std::string::npos) << text;  // one line
        nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
        ASSERT_FALSE(parsed.is_discarded()) << text;
        ASSERT_TRUE(parsed.is_object());
        EXPECT_EQ(text.rfind("{\"entity_id\":\"e\",\"reason\":", 0), 0u) << text;
        if (std::string(c.name) != "invalid UTF-8") {
            EXPECT_EQ(parsed["reason"], c.value);
        }
        // Through the source, the table and the CLI text.
        ASSERT_TRUE(l2.Raise(3, "tep", {{"entity_id", "e"}, {"reason", c.value}}));
        nlohmann::json cli = Cli();
        ASSERT_FALSE(cli["alarms"][0]["context"].is_string()) << cli.dump();
        EXPECT_EQ(cli["alarms"][0]["context"]["entity_id"], "e");
    }
}

TEST_F(EventSourceTest, EntitiesSourcesAndLifecycle) {
    // An entity text that would end the structured data early is escaped there.
    LogCapture logs;
    ASSERT_TRUE(dfw.Raise(21, "vif\"] x=\"1", {}));
    EXPECT_THAT(logs.Entries().at(0).structuredData, HasSubstr("entId=\"vif\\\"\\] x=\\\"1\""));

    ASSERT_TRUE(dfw.Raise(23, "vif\"] x=\"1", {}));
    ASSERT_TRUE(dfw.Raise(7, "other", {}));
    ASSERT_TRUE(l2.Raise(7, "vif\"] x=\"1", {}));
    EXPECT_EQ(table.size(), 4u);
    // Deleting the entity clears the alarms of this source about it, nothing else.
    EXPECT_EQ(dfw.DeleteEntity("vif\"] x=\"1"), 2u);
    EXPECT_EQ(table.size(), 2u);
    EXPECT_EQ(Counter("alarms.cfgAgent_dfw.cleared"), 2);
    EXPECT_EQ(Gauge("alarms.cfgAgent_dfw.active"), 1);
    EXPECT_EQ(Gauge("alarms.cfgAgent_l2.active"), 1);
    EXPECT_EQ(Gauge("alarms.active"), 2);

    // A stopped (or never started, or unnamed) source refuses, with a log line.
    dfw.Stop();
    logs.Clear();
    EXPECT_FALSE(dfw.Raise(7, "x", {}));
    EXPECT_FALSE(dfw.Clear(7, "other"));
    EXPECT_TRUE(logs.Contains("EventSource: raise of cfgAgent_dfw refused"));
    EXPECT_EQ(table.size(), 2u);
    EventSourceAPI unnamed("", "Nobody", &table);
    EXPECT_FALSE(unnamed.Start());
    EXPECT_FALSE(unnamed.Raise(1, "x", {}));
}

}  // namespace
}  // namespace ozy::monitoring
