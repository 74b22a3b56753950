// The firewall's alarm reporter on a private alarm table: rule-limit alarms raised and cleared on
// transitions only over repeated polls, skipped for vifs without filter or port and for disabled
// kinds, a vanished vif's entity deleted once; hopover and flood alarms from the filter link's
// messages (literal bytes at the documented offsets), a critical flood clearing the filter's
// warning, the context as JSON with its members in order whatever the host name holds, and bad
// messages dropped with their code.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "dfw/DfwAlarmReporter.h"
#include "dfw/DfwLog.h"
#include "platform/monitoring/AlarmTable.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent {
namespace {

using R = DfwAlarmReporter;
using Bytes = std::vector<uint8_t>;

const std::string kLsp1 = "d5000000-0000-4000-8000-000000000001";
const std::string kLsp2 = "d5000000-0000-4000-8000-000000000002";

void Put(Bytes& b, size_t at, const std::string& text) {
    std::memcpy(b.data() + at, text.data(), text.size());
}

// A flood-limit message: u16 type 6, u16 length 188, filter name at 4, vif id at 104, protocol
// name [16] at 168, severity at 184 (1 warning, 2 critical), flags at 185 (1 raise).
Bytes FloodMsg(const std::string& filter, const std::string& vif, const std::string& proto,
               uint8_t severity, bool raise) {
    Bytes b(188, 0);
    b[1] = 6;
    b[2] = 0, b[3] = 188;
    Put(b, 4, filter);
    Put(b, 104, vif);
    Put(b, 168, proto);
    b[184] = severity;
    b[185] = raise ? 1 : 0;
    return b;
}

// A migration-failure message: u16 type 5, u16 length 172, filter name at 4, vif id at 104, u32
// reason at 168.
Bytes HopoverMsg(const std::string& filter, uint32_t reason) {
    Bytes b(172, 0);
    b[1] = 5;
    b[3] = 172;
    Put(b, 4, filter);
    Put(b, 104, "vif-1");
    b[171] = static_cast<uint8_t>(reason);
    return b;
}

class DfwAlarmReporterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = g_dfwLogLevel;
        g_dfwLogLevel = kLogDebug;
        filters_ = {{"f1", "vif-1", kLsp1}, {"f2", "vif-2", kLsp2}, {"f3", "vif-3", "not-a-uuid"}};
        Make("esx-01");
    }
    void TearDown() override { g_dfwLogLevel = saved_; }

    void Make(const std::string& host, bool hostKnown = true) {
        R::Options o;
        o.table = &table_;
        o.filters = [this] { return filters_; };
        o.hostName = [host, hostKnown](std::string* out) {
            *out = host;
            return hostKnown;
        };
        o.vnicMax = 10;
        o.hostMax = 100;
        reporter_ = std::make_unique<R>(o);
    }

    // The active alarms as (event type, entity).
    std::vector<std::pair<uint32_t, std::string>> Active() const {
        std::vector<std::pair<uint32_t, std::string>> out;
        for (const auto& a : table_.Active())
            out.emplace_back(a.eventType, a.entity);
        return out;
    }
    std::string ContextOf(uint32_t event) const {
        for (const auto& a : table_.Active()) {
            if (a.eventType == event)
                return a.context;
        }
        return "";
    }
    nlohmann::json VnicRow(const std::string& vif) const {
        auto j = nlohmann::json::parse(reporter_->VnicAlarmStateText(vif));
        return j["dfw_vnic_rule_alarm_data"].empty() ? nlohmann::json()
                                                     : j["dfw_vnic_rule_alarm_data"][0];
    }
    void Send(const Bytes& msg) {
        reporter_->OnKernelMessage(static_cast<uint16_t>(msg[0] << 8 | msg[1]), msg.data(),
                                   msg.size());
    }

    int saved_ = 0;
    test::LogCapture log_;
    ozy::monitoring::AlarmTable table_;
    std::vector<R::FilterInfo> filters_;
    std::unique_ptr<R> reporter_;
};

TEST_F(DfwAlarmReporterTest, RuleLimitsRaiseAndClearOnTransitionsOnly) {
    ASSERT_TRUE(reporter_->Start());
    const struct {
        uint64_t count;
        bool approaching, exceeded;
        uint64_t raises, clears;
    } steps[] = {
        {7, false, false, 0, 0}, {8, true, false, 1, 0},  {9, true, false, 1, 0},
        {10, true, false, 1, 0}, {11, true, true, 2, 0},  {11, true, true, 2, 0},
        {5, false, false, 2, 2}, {5, false, false, 2, 2}, {12, true, true, 4, 2},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.count);
        reporter_->DfwSetRuleAlarmCounts("vif-1", s.count);
        reporter_->PollingCb();
        reporter_->PollingCb();
        const nlohmann::json row = VnicRow("vif-1");
        EXPECT_EQ(row["approaching"], s.approaching);
        EXPECT_EQ(row["exceeded"], s.exceeded);
        EXPECT_EQ(row["raises"], s.raises);
        EXPECT_EQ(row["clears"], s.clears);
        std::vector<std::pair<uint32_t, std::string>> want;
        if (s.approaching)
            want.emplace_back(R::kEventVnicApproaching, kLsp1);
        if (s.exceeded)
            want.emplace_back(R::kEventVnicExceeded, kLsp1);
        EXPECT_EQ(Active(), want);
    }
    EXPECT_EQ(log_.Count("Succeeded to raise dfw rules per vnic approaching alarm for lsp " +
                         kLsp1 + " filter f1."),
              2u);
}

TEST_F(DfwAlarmReporterTest, HostLimitsFollowTheHostCountAndItsMaximum) {
    ASSERT_TRUE(reporter_->Start());
    reporter_->DfwSetHostRuleAlarmCounts(80);
    reporter_->PollingCb();
    EXPECT_EQ(
        Active(),
        (std::vector<std::pair<uint32_t, std::string>>{{R::kEventHostApproaching, "esx-01"}}));
    reporter_->DfwHostMaxRuleCnt(79);
    reporter_->PollingCb();
    EXPECT_EQ(Active().size(), 2u);
    reporter_->DfwHostMaxRuleCnt(0);  // no limit
    reporter_->PollingCb();
    EXPECT_TRUE(Active().empty());
    auto host = nlohmann::json::parse(reporter_->HostAlarmStateText())["dfw_host_rule_alarm_data"];
    EXPECT_EQ(host["raises"], 2);
    EXPECT_EQ(host["clears"], 2);
}

TEST_F(DfwAlarmReporterTest, UnreportableVifsAndDisabledKindsWaitForTheNextPoll) {
    ASSERT_TRUE(reporter_->Start());
    reporter_->DfwSetRuleAlarmCounts("vif-9", 50);  // no filter
    reporter_->DfwSetRuleAlarmCounts("vif-3", 50);  // invalid port
    std::string why;
    ASSERT_TRUE(reporter_->SetConfigText("vnic_exceeded=off", &why)) << why;
    reporter_->DfwSetRuleAlarmCounts("vif-2", 50);
    reporter_->PollingCb();
    EXPECT_EQ(Active(),
              (std::vector<std::pair<uint32_t, std::string>>{{R::kEventVnicApproaching, kLsp2}}));
    EXPECT_TRUE(log_.Contains("vifId vif-9 not found in filter list"));
    EXPECT_TRUE(log_.Contains("Invalid LspId not-a-uuid"));
    EXPECT_TRUE(log_.Contains("DFW Rule limit per vnic exceeded alarm is disbled"));
    // The filter appears and the kind is enabled again: the next poll reports them.
    filters_.push_back({"f9", "vif-9", "d5000000-0000-4000-8000-000000000009"});
    ASSERT_TRUE(reporter_->SetConfigText("vnic_exceeded=on", &why)) << why;
    reporter_->PollingCb();
    EXPECT_EQ(Active().size(), 4u);
    EXPECT_FALSE(reporter_->SetConfigText("approaching_percent=0", &why));
    EXPECT_FALSE(reporter_->SetConfigText("hopover=yes", &why));
    EXPECT_FALSE(reporter_->SetConfigText("volume=11", &why));
    ASSERT_TRUE(reporter_->SetConfigText("approaching_percent=50", &why));
    EXPECT_EQ(reporter_->config().approachingPercent, 50u);
}

TEST_F(DfwAlarmReporterTest, AVanishedVifLeavesTheTablesAndItsEntityIsDeletedOnce) {
    ASSERT_TRUE(reporter_->Start());
    reporter_->DfwSetRuleAlarmCounts("vif-1", 20);
    reporter_->DfwSetRuleAlarmCounts("vif-2", 1);
    reporter_->PollingCb();
    ASSERT_EQ(Active().size(), 2u);
    reporter_->DfwUpdateAlarmVifs({"vif-2"});
    reporter_->DfwUpdateAlarmVifs({"vif-2"});
    reporter_->PollingCb();
    EXPECT_TRUE(Active().empty());
    EXPECT_EQ(log_.Count("deleted entity vifId vif-1"), 1u);
    EXPECT_TRUE(VnicRow("vif-1").is_null());
    auto counts = nlohmann::json::parse(reporter_->VnicRuleCountText(""));
    EXPECT_EQ(counts["dfw_vnic_rule_count"],
              nlohmann::json::parse(R"([{"vif": "vif-2", "rule_count": 1}])"));
}

TEST_F(DfwAlarmReporterTest, ACriticalFloodClearsTheWarningAndTheContextStaysJson) {
    Make("esx \"01\"\\x");
    ASSERT_TRUE(reporter_->Start());
    Send(FloodMsg("f1", "vif-1", "TCP", 1, true));
    EXPECT_EQ(Active(), (std::vector<std::pair<uint32_t, std::string>>{{21, kLsp1}}));
    const std::string context = ContextOf(21);
    EXPECT_EQ(context.find('\n'), std::string::npos);
    nlohmann::ordered_json j = nlohmann::ordered_json::parse(context);
    std::vector<std::string> keys;
    for (const auto& [k, v] : j.items())
        keys.push_back(k);
    EXPECT_EQ(keys,
              (std::vector<std::string>{"entity_id", "transport_node_name", "protocol_name"}));
    EXPECT_EQ(j["entity_id"], kLsp1);
    EXPECT_EQ(j["transport_node_name"], "esx \"01\"\\x");
    EXPECT_EQ(j["protocol_name"], "TCP");
    Send(FloodMsg("f1", "vif-1", "TCP", 2, true));
    EXPECT_EQ(Active(), (std::vector<std::pair<uint32_t, std::string>>{{23, kLsp1}}));
    EXPECT_TRUE(log_.Contains("Succeeded to clear dfw flood limit warning alarm for filter f1."));
    Send(FloodMsg("f1", "vif-1", "TCP", 2, false));
    EXPECT_TRUE(Active().empty());
}

TEST_F(DfwAlarmReporterTest, FloodsWithoutVifFilterOrEnableRaiseNothing) {
    ASSERT_TRUE(reporter_->Start());
    std::string why;
    const struct {
        Bytes msg;
        const char* line;
    } cases[] = {
        {FloodMsg("f1", "", "UDP", 1, true), "VifId string is empty"},
        {FloodMsg("f7", "vif-7", "UDP", 1, true), "No filter info for dfw flood limit alarm."},
        {FloodMsg("f2", "vif-1", "UDP", 1, true), "No filter info for dfw flood limit alarm."},
        {FloodMsg("f3", "vif-3", "UDP", 1, true), "No filter info for dfw flood limit alarm."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        log_.Clear();
        Send(c.msg);
        EXPECT_TRUE(log_.Contains(c.line)) << log_.Dump();
    }
    ASSERT_TRUE(reporter_->SetConfigText("flood_warning=off", &why));
    Send(FloodMsg("f1", "vif-1", "UDP", 1, true));
    EXPECT_TRUE(log_.Contains("Dfw flood warning alarm is diabled, skip reporting."));
    EXPECT_TRUE(Active().empty());
}

TEST_F(DfwAlarmReporterTest, HopoverRaisesForAValidPortOnly) {
    ASSERT_TRUE(reporter_->Start());
    Send(HopoverMsg("f3", 1));
    EXPECT_TRUE(
        log_.Contains("Failed to report dfw hopover alarm due to invalid LspId for filter f3."));
    Send(HopoverMsg("f9", 1));
    EXPECT_TRUE(Active().empty());
    Send(HopoverMsg("f2", 1));
    EXPECT_EQ(Active(), (std::vector<std::pair<uint32_t, std::string>>{{7, kLsp2}}));
    Send(HopoverMsg("f2", 0));
    EXPECT_TRUE(Active().empty());
}

TEST_F(DfwAlarmReporterTest, BadMessagesAreDroppedWithTheirCode) {
    ASSERT_TRUE(reporter_->Start());
    Bytes unterminated = FloodMsg("f1", "vif-1", "", 1, true);
    std::memset(unterminated.data() + 168, 'A', 16);
    Bytes binary = FloodMsg("f1", "vif-1", "TC\x01P", 1, true);
    Bytes quote = FloodMsg("f1", "vif-1", "T\"C\xc3", 1, true);
    Bytes severity = FloodMsg("f1", "vif-1", "TCP", 3, true);
    Bytes shortFlood = FloodMsg("f1", "vif-1", "TCP", 1, true);
    shortFlood.resize(187);
    Bytes shortHop = HopoverMsg("f2", 1);
    shortHop.resize(171);
    for (const Bytes* m : {&unterminated, &binary, &quote, &severity, &shortFlood, &shortHop}) {
        log_.Clear();
        Send(*m);
        EXPECT_TRUE(log_.ContainsWithCode("dfw: DfwAlarmReporter: dropped tarp msg", "LCP00901"))
            << log_.Dump();
    }
    EXPECT_TRUE(Active().empty());
    R::FloodEvent e;
    std::string why;
    Bytes longest = FloodMsg("f1", "vif-1", "ABCDEFGHIJKLMNO", 2, false);
    ASSERT_TRUE(R::ParseFlood(longest.data(), longest.size(), &e, &why)) << why;
    EXPECT_EQ(std::tie(e.filter, e.vif, e.protocol, e.critical, e.raise),
              std::make_tuple(std::string("f1"), std::string("vif-1"),
                              std::string("ABCDEFGHIJKLMNO"), true, false));
}

TEST_F(DfwAlarmReporterTest, WithoutEventSourceOrHostNameEachReportSaysSo) {
    Make("", false);
    EXPECT_TRUE(log_.ContainsWithCode("dfw: DfwAlarmReporter: failed to get hostname", "LCP01101"));
    EXPECT_EQ(
        nlohmann::json::parse(reporter_->HostAlarmStateText())["dfw_host_rule_alarm_data"]["host"],
        "unknown");
    reporter_->DfwSetRuleAlarmCounts("vif-1", 50);
    reporter_->PollingCb();
    EXPECT_TRUE(log_.ContainsWithCode(
        "dfw: DfwAlarmReporter::PollingCb: No event source created for alarm.", "LCP01101"));
    EXPECT_FALSE(VnicRow("vif-1")["approaching"].get<bool>()) << "reported at a later poll";
    ASSERT_TRUE(reporter_->Start());
    reporter_->PollingCb();
    EXPECT_TRUE(VnicRow("vif-1")["approaching"].get<bool>());
}

}  // namespace
}  // namespace CfgAgent
