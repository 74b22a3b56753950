// The firewall's per-port metrics. Alone: nothing while the transport node's uuid is not valid, a
// vif set but not in the vif table left out, a vif that leaves the table and its series gone, the
// series relabelled when the transport node changes, a failed apply changing only the status and
// the features' profile count kept. Through the process loop over the emulator's device: every
// applied filter's port with its counts (rules, IDS, application-id and URL profiles, address
// sets), the exposition judged by the Prometheus client library's parser, and a deleted filter's
// series gone.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dfw/DfwFilterRepo.h"
#include "dfw/DfwLog.h"
#include "dfw/DfwMain.h"
#include "dfw/DfwMetrics.h"
#include "dfw/DfwMsgCache.h"
#include "platform/tarp/TarpTestSeam.h"
#include "platform/tarp/TarpWire.h"
#include "runtime/Metrics.h"
#include "tests/dfw/DfwLoopFixture.h"
#include "tests/support/DfwRecords.h"
#include "tests/support/LogCapture.h"
#include "tests/support/PromParse.h"
#include "tools/ozy-dpemu/TarpState.h"

namespace CfgAgent {
namespace {

using json = nlohmann::json;
using namespace test::dfw;
using M = DfwMetrics;

const std::string kTn = "c0000000-0000-4000-8000-000000000001";
const std::string kTn2 = "c0000000-0000-4000-8000-000000000002";
const std::string kLsp1 = "d5000000-0000-4000-8000-000000000001";
const std::string kLsp2 = "d5000000-0000-4000-8000-000000000002";

M::LspMetrics Figures(const std::string& lsp, uint64_t rules, uint64_t addrSets = 0) {
    M::LspMetrics m;
    m.lsp = lsp;
    m.counts.rules = rules;
    m.counts.addrSets = addrSets;
    return m;
}

// The vifs of GetDfwLspMetrics, in order.
std::vector<std::string> Vifs(const M& m) {
    std::vector<std::string> out;
    for (const auto& l : m.GetDfwLspMetrics())
        out.push_back(l.vif);
    return out;
}

class DfwMetricsTest : public ::testing::Test {
  protected:
    DfwMetricsTest() : metrics_(Options()) {}
    M::Options Options() {
        M::Options o;
        o.registry = &registry_;
        o.wallSeconds = [this] { return clock_; };
        return o;
    }
    // The vif labels of the registry's rule-count series.
    std::vector<std::string> SeriesVifs() {
        std::vector<std::string> out;
        for (const json& s : test::PromSamples(families_, "ozy_dfw_lsp_rule_count"))
            out.push_back(s["labels"].value("vif", "") + "@" + s["labels"].value("tn_uuid", ""));
        return out;
    }

    uint64_t clock_ = 1700000000;
    ozy::metrics::Registry registry_;
    M metrics_;
    json families_;
};

TEST_F(DfwMetricsTest, NothingWhileTheTransportNodeIsNotValid) {
    test::LogCapture logs(kLogDebug);
    const int saved = g_dfwLogLevel;
    g_dfwLogLevel = kLogDebug;
    metrics_.DfwSetLspMetrics("vif-1", Figures(kLsp1, 3));
    metrics_.DfwSyncVifTable({"vif-1"});
    for (const std::string& tn : std::vector<std::string>{
             "", "not-a-uuid", "00000000-0000-0000-0000-000000000000", kTn.substr(1)}) {
        SCOPED_TRACE(tn);
        metrics_.SetTnUuid(tn);
        logs.Clear();
        metrics_.Publish();
        EXPECT_TRUE(metrics_.GetDfwLspMetrics().empty());
        EXPECT_TRUE(logs.Contains("dfw: GetDfwLspMetrics: TN uuid is not valid. Skipped."));
        EXPECT_EQ(metrics_.TnMetricsText(), "[]");
        EXPECT_EQ(json::parse(metrics_.LspMetricsText())["lsp_metrics_list"], json::array());
        EXPECT_EQ(registry_.dumpText(), "");
    }
    logs.Clear();
    metrics_.SetTnUuid(kTn);
    EXPECT_TRUE(logs.Contains("dfw: SetTnUuid: Setting TN uuid " + kTn));
    metrics_.Publish();
    EXPECT_EQ(Vifs(metrics_), std::vector<std::string>{"vif-1"});
    EXPECT_FALSE(logs.Contains("TN uuid is not valid"));
    EXPECT_EQ(registry_.seriesCount("dfw/lsp/rule_count"), 1u);
    EXPECT_EQ(registry_.seriesCount("dfw/tn/rule_count"), 1u);
    // The transport node going away takes every series.
    metrics_.SetTnUuid("");
    metrics_.Publish();
    EXPECT_EQ(registry_.dumpText(), "");
    g_dfwLogLevel = saved;
}

TEST_F(DfwMetricsTest, AVifOutsideTheTableIsLeftOutUntilTheTableHasIt) {
    test::LogCapture logs(kLogDebug);
    const int saved = g_dfwLogLevel;
    g_dfwLogLevel = kLogDebug;
    metrics_.SetTnUuid(kTn);
    metrics_.DfwSetLspMetrics("vif-1", Figures(kLsp1, 3));
    metrics_.DfwSyncVifTable({"vif-1"});
    EXPECT_TRUE(logs.Contains("dfw: DfwSyncVifTable: vif list size: 1."));
    EXPECT_TRUE(logs.Contains("dfw: DfwSetLspMetrics: setting metrics for vif vif-1."));
    metrics_.DfwSetLspMetrics("vif-2", Figures(kLsp2, 4));
    logs.Clear();
    EXPECT_EQ(Vifs(metrics_), std::vector<std::string>{"vif-1"});
    EXPECT_EQ(logs.Count("dfw: GetDfwLspMetrics: This was not an active vif."), 1u);
    metrics_.Publish();
    EXPECT_EQ(registry_.seriesCount("dfw/lsp/rule_count"), 1u);
    json tn = json::parse(metrics_.TnMetricsText());
    EXPECT_EQ(tn, json::parse(R"([{"tn_uuid": ")" + kTn +
                              R"(", "rule_cnt": 3, "lsp_w_rule_cnt": 1, "update_time": )" +
                              std::to_string(clock_) + "}]"));
    // The next table has it.
    metrics_.DfwSyncVifTable({"vif-1", "vif-2"});
    metrics_.Publish();
    EXPECT_EQ(Vifs(metrics_), (std::vector<std::string>{"vif-1", "vif-2"}));
    EXPECT_EQ(registry_.seriesCount("dfw/lsp/rule_count"), 2u);
    EXPECT_EQ(json::parse(metrics_.TnMetricsText())[0]["rule_cnt"], 7);
    g_dfwLogLevel = saved;
}

TEST_F(DfwMetricsTest, ARemovedPortsSeriesLeaveAndATransportNodeChangeRelabels) {
    metrics_.SetTnUuid(kTn);
    M::LspMetrics zero = Figures(kLsp2, 0, 2);
    metrics_.DfwSetLspMetrics("vif-1", Figures(kLsp1, 3, 1));
    metrics_.DfwSetLspMetrics("vif-2", zero);
    metrics_.DfwSyncVifTable({"vif-1", "vif-2"});
    metrics_.Publish();
    OZY_PROM_PARSE_OR_SKIP(registry_.exportPrometheus(), families_);
    EXPECT_EQ(SeriesVifs(), (std::vector<std::string>{"vif-1@" + kTn, "vif-2@" + kTn}));
    json tnRules = test::PromFamily(families_, "ozy_dfw_tn_rule_count");
    ASSERT_EQ(tnRules["samples"].size(), 1u) << families_.dump();
    EXPECT_EQ(tnRules["samples"][0]["value"], 3.0);
    EXPECT_EQ(test::PromSamples(families_, "ozy_dfw_tn_lsp_with_rules")[0]["value"], 1.0);
    EXPECT_EQ(test::PromSamples(families_, "ozy_dfw_lsp_addrset_count").size(), 2u);

    // vif-2's filter went.
    metrics_.DfwSyncVifTable({"vif-1"});
    metrics_.Publish();
    const std::string text = registry_.exportPrometheus();
    EXPECT_EQ(text.find("vif-2"), std::string::npos) << text;
    EXPECT_EQ(registry_.dumpText().find("vif-2"), std::string::npos);
    EXPECT_EQ(Vifs(metrics_), std::vector<std::string>{"vif-1"});
    for (const char* name :
         {"dfw/lsp/rule_count", "dfw/lsp/url_rule_count", "dfw/lsp/ids_rule_count",
          "dfw/lsp/idfw_rule_count", "dfw/lsp/appid_rule_count", "dfw/lsp/addrset_count",
          "dfw/lsp/apply_status", "dfw/lsp/profile_count"})
        EXPECT_EQ(registry_.seriesCount(name), 1u) << name;
    // A table that has it again without an apply: its old figures are gone for good.
    metrics_.DfwSyncVifTable({"vif-1", "vif-2"});
    metrics_.Publish();
    EXPECT_EQ(Vifs(metrics_), std::vector<std::string>{"vif-1"});
    EXPECT_EQ(registry_.exportPrometheus().find("vif-2"), std::string::npos);
    // Set again while the table does not have it, it stays out of every view.
    metrics_.DfwSyncVifTable({"vif-1"});
    metrics_.DfwSetLspMetrics("vif-2", zero);
    metrics_.Publish();
    EXPECT_EQ(registry_.exportPrometheus().find("vif-2"), std::string::npos);

    // Another transport node: the same ports under the new label, none under the old.
    metrics_.SetTnUuid(kTn2);
    metrics_.Publish();
    OZY_PROM_PARSE_OR_SKIP(registry_.exportPrometheus(), families_);
    EXPECT_EQ(SeriesVifs(), std::vector<std::string>{"vif-1@" + kTn2});
    EXPECT_EQ(registry_.exportPrometheus().find(kTn + "\""), std::string::npos);
    EXPECT_EQ(registry_.seriesCount("dfw/tn/rule_count"), 1u);
}

TEST_F(DfwMetricsTest, AFailedApplyChangesOnlyTheStatusAndProfilesStay) {
    metrics_.SetTnUuid(kTn);
    metrics_.DfwSyncVifTable({"vif-1"});
    metrics_.DfwSetLspProfiles("vif-1", 9);  // before any metrics: nothing to set
    metrics_.DfwSetLspMetrics("vif-1", Figures(kLsp1, 3, 2));
    metrics_.DfwSetLspProfiles("vif-1", 2);
    clock_ += 10;
    metrics_.DfwSetLspStatus("vif-1", kLsp1, 1101);
    metrics_.Publish();
    json list = json::parse(metrics_.LspMetricsText())["lsp_metrics_list"];
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0], json::parse(R"({"tn_uuid": ")" + kTn + R"(", "lsp_uuid": ")" + kLsp1 +
                                   R"(", "vif": "vif-1", "rule_cnt": 3, "url_rule_cnt": 0,
        "ids_rule_cnt": 0, "idfw_rule_cnt": 0, "appid_rule_cnt": 0, "is_all_dfw": true,
        "addrset_cnt": 2, "apply_status": 1101, "profile_cnt": 2, "update_time": )" +
                                   std::to_string(clock_) + "}"));
    const ozy::metrics::Labels labels{{"tn_uuid", kTn}, {"lsp_uuid", kLsp1}, {"vif", "vif-1"}};
    EXPECT_EQ(registry_.gauge("dfw/lsp/apply_status", labels)->value(), 1101);
    EXPECT_EQ(registry_.gauge("dfw/lsp/profile_count", labels)->value(), 2);
    EXPECT_EQ(registry_.gauge("dfw/lsp/rule_count", labels)->value(), 3);
    // The next good apply: status 0, the profiles still those the features set.
    metrics_.DfwSetLspMetrics("vif-1", Figures(kLsp1, 4, 2));
    metrics_.Publish();
    EXPECT_EQ(registry_.gauge("dfw/lsp/apply_status", labels)->value(), 0);
    EXPECT_EQ(registry_.gauge("dfw/lsp/profile_count", labels)->value(), 2);
    EXPECT_EQ(registry_.gauge("dfw/lsp/rule_count", labels)->value(), 4);
}

// The loop over the emulator's device in process.
class DfwMetricsLoopTest : public test::DfwLoopFixture {
  protected:
    void SetUp() override {
        DfwLoopFixture::SetUp();
        StartMain();
        main_->lspMetrics()->SetTnUuid(kTn);
    }
    void Configure(DfwMain::Options& o) override {
        o.metrics = &registry_;
        o.wallSeconds = [] { return uint64_t{1700000000}; };
    }
    // The per-port figures of the page, by vif.
    std::map<std::string, json> Page() {
        std::map<std::string, json> out;
        const json page = json::parse(main_->lspMetrics()->LspMetricsText());
        for (const json& l : page["lsp_metrics_list"])
            out[l.value("vif", "")] = l;
        return out;
    }

    ozy::metrics::Registry registry_;
};

TEST_F(DfwMetricsLoopTest, AppliedPortsCarryTheirCountsAndADeletedFiltersSeriesGo) {
    // Section 1: rule 1 everywhere; rule 2 with an application-id profile and rule 3 with a
    // domain profile, both on port 1 only; rule 4 an IDS rule; rule 5 from a group's addresses.
    auto onPort1 = [](pb::RuleMsg& r) {
        *r.mutable_applied_to()->add_logical_switch_port_ids() = Uuid(1);
    };
    msgs_->UpdateDesiredState(
        {SectionRec(1, 1), ContainerRec(50, {0x0a000001}), ProfileRec(60, {{"APP_ID", {"HTTP"}}}),
         ProfileRec(61, {{"DOMAIN_NAME", {"*.example.com"}}}), ToggleRec(true, false),
         RuleRec(101, 1, 1),
         RuleRec(102, 2, 1,
                 [&](pb::RuleMsg& r) {
                     onPort1(r);
                     *r.add_context_profile_ids() = Uuid(60);
                 }),
         RuleRec(103, 3, 1,
                 [&](pb::RuleMsg& r) {
                     onPort1(r);
                     *r.add_context_profile_ids() = Uuid(61);
                 }),
         RuleRec(104, 4, 1, [](pb::RuleMsg& r) { *r.add_ids_profile_ids() = Uuid(70); }),
         RuleRec(105, 5, 1,
                 [](pb::RuleMsg& r) { *r.mutable_source()->add_container_ids() = Uuid(50); }),
         BarrierRec(5)},
        true);
    main_->ProcessOnce();
    std::map<std::string, json> page = Page();
    ASSERT_EQ(page.size(), 2u) << json(page).dump();
    const json& p1 = page["vif-1"];
    EXPECT_EQ(p1["lsp_uuid"], U(1).Text());
    EXPECT_EQ(p1["tn_uuid"], kTn);
    EXPECT_EQ(p1["rule_cnt"], 5);
    EXPECT_EQ(p1["appid_rule_cnt"], 1);
    EXPECT_EQ(p1["url_rule_cnt"], 1);
    EXPECT_EQ(p1["ids_rule_cnt"], 1);
    EXPECT_EQ(p1["idfw_rule_cnt"], 0);
    EXPECT_EQ(p1["is_all_dfw"], false);
    EXPECT_EQ(p1["apply_status"], 0);
    EXPECT_GE(p1["addrset_cnt"].get<int>(), 1);
    EXPECT_EQ(p1["update_time"], 1700000000);
    const json& p2 = page["vif-2"];
    EXPECT_EQ(p2["rule_cnt"], 3);
    EXPECT_EQ(p2["appid_rule_cnt"], 0);
    EXPECT_EQ(p2["url_rule_cnt"], 0);
    EXPECT_EQ(p2["is_all_dfw"], true);
    EXPECT_EQ(json::parse(main_->lspMetrics()->TnMetricsText())[0]["rule_cnt"], 8);

    json families;
    OZY_PROM_PARSE_OR_SKIP(registry_.exportPrometheus(), families);
    auto value = [&](const char* family, const std::string& vif) -> double {
        for (const json& s : test::PromSamples(families, family)) {
            if (s["labels"].value("vif", "") == vif)
                return s["value"].get<double>();
        }
        return -1;
    };
    EXPECT_EQ(value("ozy_dfw_lsp_rule_count", "vif-1"), 5.0);
    EXPECT_EQ(value("ozy_dfw_lsp_rule_count", "vif-2"), 3.0);
    EXPECT_EQ(value("ozy_dfw_lsp_appid_rule_count", "vif-1"), 1.0);
    EXPECT_EQ(value("ozy_dfw_lsp_apply_status", "vif-2"), 0.0);
    // The loop's own metrics beside them.
    EXPECT_FALSE(test::PromFamily(families, "ozy_dfw_update_counter").is_null());

    // A refused apply on f2: its status, its counts as the filter still holds them.
    std::string why;
    ASSERT_TRUE(dev_.state->FailFilter("f2", 65, 1, &why)) << why;
    msgs_->UpdateDesiredState({RuleRec(106, 6, 1), BarrierRec(6)}, false);
    main_->ProcessOnce();
    page = Page();
    EXPECT_EQ(page["vif-2"]["apply_status"], 1100);
    EXPECT_EQ(page["vif-2"]["rule_cnt"], 3);
    EXPECT_EQ(page["vif-1"]["rule_cnt"], 6);

    // f2 deleted: its port and series go at the next pass.
    ASSERT_TRUE(dev_.state->DeleteFilter("f2", &why)) << why;
    ASSERT_TRUE(main_->repo()->QueryNow());
    main_->ProcessOnce();
    page = Page();
    EXPECT_EQ(page.count("vif-2"), 0u);
    EXPECT_EQ(page.count("vif-1"), 1u);
    OZY_PROM_PARSE_OR_SKIP(registry_.exportPrometheus(), families);
    EXPECT_EQ(value("ozy_dfw_lsp_rule_count", "vif-2"), -1);
    EXPECT_EQ(value("ozy_dfw_lsp_apply_status", "vif-2"), -1);
    EXPECT_EQ(value("ozy_dfw_lsp_rule_count", "vif-1"), 6.0);
}

// Ports in different groups share the segments of the sections they have in common, and a
// segment's rules are counted once however many configurations hold it; what a rule's context
// profile matches is still read from each configuration's profiles: a profile whose attributes
// change (its rules, and so their segment, unchanged) moves the rule between the URL and
// application-id counts.
TEST_F(DfwMetricsLoopTest, SharedSegmentsAreCountedPerPortAndProfilesPerConfiguration) {
    auto on = [](uint64_t port) {
        return [port](pb::RuleMsg& r) {
            *r.mutable_applied_to()->add_logical_switch_port_ids() = Uuid(port);
        };
    };
    msgs_->UpdateDesiredState({SectionRec(1, 1), SectionRec(2, 2),
                               ProfileRec(60, {{"APP_ID", {"HTTP"}}}), ToggleRec(true, false),
                               RuleRec(101, 1, 1,
                                       [](pb::RuleMsg& r) {
                                           *r.add_context_profile_ids() = Uuid(60);
                                           *r.add_ids_profile_ids() = Uuid(70);
                                       }),
                               RuleRec(102, 2, 1), RuleRec(201, 3, 2, on(1)),
                               RuleRec(202, 4, 2, on(1)), RuleRec(203, 5, 2, on(2)), BarrierRec(5)},
                              true);
    main_->ProcessOnce();
    const struct {
        const char* what;
        std::vector<CairnDBUpdateMsg> batch;
        int rules1, rules2, appid, url;
    } steps[] = {
        {"section 1 on both ports", {}, 4, 3, 1, 0},
        {"its profile matching domains",
         {ProfileRec(60, {{"DOMAIN_NAME", {"*.example.com"}}})},
         4,
         3,
         0,
         1},
        {"a rule more on port 2", {RuleRec(204, 6, 2, on(2))}, 4, 4, 0, 1},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        if (!step.batch.empty()) {
            msgs_->UpdateDesiredState(step.batch, false);
            main_->ProcessOnce();
        }
        std::map<std::string, json> page = Page();
        ASSERT_EQ(page.size(), 2u) << json(page).dump();
        EXPECT_EQ(page["vif-1"]["rule_cnt"], step.rules1);
        EXPECT_EQ(page["vif-2"]["rule_cnt"], step.rules2);
        for (const char* vif : {"vif-1", "vif-2"}) {
            SCOPED_TRACE(vif);
            EXPECT_EQ(page[vif]["appid_rule_cnt"], step.appid);
            EXPECT_EQ(page[vif]["url_rule_cnt"], step.url);
            EXPECT_EQ(page[vif]["ids_rule_cnt"], 1);
        }
    }
}

}  // namespace
}  // namespace CfgAgent
