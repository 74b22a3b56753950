// The metrics registry: labelled series (created, shared, updated, removed), the text dump, and
// the Prometheus exposition judged by the Prometheus client library's own parser.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "runtime/Metrics.h"
#include "tests/support/PromParse.h"

namespace ozy::metrics {
namespace {

using json = nlohmann::json;
using CfgAgent::test::PromFamily;

// The samples of a parsed family as "labels-as-json value" texts, e.g. {"vif":"1"} 3.
std::vector<std::string> Samples(const json& family) {
    std::vector<std::string> out;
    if (family.is_null())
        return out;
    for (const json& s : family["samples"])
        out.push_back(s["name"].get<std::string>() + s["labels"].dump() + " " +
                      std::to_string(s["value"].get<double>()));
    return out;
}

TEST(MetricsTest, LabelledSeriesAreTheirOwnAndSharedByTheirLabels) {
    Registry reg;
    auto plain = reg.gauge("dfw/lsp/rules");
    auto a = reg.gauge("dfw/lsp/rules", {{"lsp", "a"}, {"vif", "1"}});
    auto b = reg.gauge("dfw/lsp/rules", {{"lsp", "b"}, {"vif", "2"}});
    EXPECT_NE(plain.get(), a.get());
    EXPECT_NE(a.get(), b.get());
    // The same labels in another order, and a label name spelled so that it maps to the same
    // valid name, are the same series.
    EXPECT_EQ(reg.gauge("dfw/lsp/rules", {{"vif", "1"}, {"lsp", "a"}}).get(), a.get());
    EXPECT_EQ(reg.gauge("dfw/lsp/rules", {{"lsp", "a"}, {"vif", "1"}}).get(), a.get());
    EXPECT_EQ(reg.counter("c", {{"vif-id", "1"}}).get(), reg.counter("c", {{"vif_id", "1"}}).get());
    // Another kind of the same name and labels is another metric.
    EXPECT_NE(static_cast<void*>(reg.counter("dfw/lsp/rules", {{"lsp", "a"}, {"vif", "1"}}).get()),
              static_cast<void*>(a.get()));
    a->set(5);
    b->set(7);
    plain->set(1);
    EXPECT_EQ(reg.seriesCount("dfw/lsp/rules"), 4u);
    EXPECT_EQ(reg.dumpText(),
              "c{vif_id=\"1\"} counter 0\n"
              "dfw/lsp/rules gauge 1\n"
              "dfw/lsp/rules{lsp=\"a\",vif=\"1\"} counter 0\n"
              "dfw/lsp/rules{lsp=\"a\",vif=\"1\"} gauge 5\n"
              "dfw/lsp/rules{lsp=\"b\",vif=\"2\"} gauge 7\n");
}

TEST(MetricsTest, RemovedSeriesLeaveEveryViewAndComeBackFresh) {
    Registry reg;
    const Labels port{{"lsp", "a"}, {"vif", "1"}};
    auto held = reg.gauge("rules", port);
    reg.counter("rules", port)->inc(3);
    reg.latency("apply", port)->record(10);
    reg.gauge("rules", {{"lsp", "b"}, {"vif", "2"}})->set(2);
    held->set(9);
    EXPECT_EQ(reg.remove("rules", port), 2u) << "the gauge and the counter";
    EXPECT_EQ(reg.remove("rules", port), 0u);
    EXPECT_EQ(reg.remove("apply", {{"vif", "1"}, {"lsp", "a"}}), 1u);
    EXPECT_EQ(reg.remove("absent", {}), 0u);
    // Whoever still holds the series may update it: it is in no view any more.
    held->set(11);
    EXPECT_EQ(reg.dumpText(), "rules{lsp=\"b\",vif=\"2\"} gauge 2\n");
    const std::string text = reg.exportPrometheus();
    EXPECT_EQ(text.find("lsp=\"a\""), std::string::npos) << text;
    EXPECT_EQ(text.find("ozy_apply"), std::string::npos) << text;
    // Asked for again, it is a new series from zero.
    EXPECT_EQ(reg.gauge("rules", port)->value(), 0);
    EXPECT_NE(reg.gauge("rules", port).get(), held.get());
}

TEST(MetricsTest, HeldSeriesUpdateWhileOthersComeAndGo) {
    Registry reg;
    auto total = reg.counter("updates", {{"vif", "kept"}});
    constexpr int kRounds = 20000;
    std::thread churn([&] {
        for (int i = 0; i < kRounds / 10; ++i) {
            const Labels l{{"vif", std::to_string(i % 7)}};
            reg.gauge("updates", l)->set(i);
            reg.remove("updates", l);
            (void)reg.exportPrometheus();
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t)
        writers.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i)
                total->inc();
        });
    for (auto& w : writers)
        w.join();
    churn.join();
    EXPECT_EQ(total->value(), 2 * kRounds);
    EXPECT_EQ(reg.dumpText(),
              "updates{vif=\"kept\"} counter " + std::to_string(2 * kRounds) + "\n");
}

TEST(MetricsTest, LabelNamesAreMadeValid) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"vif", "vif"},
        {"lsp_uuid", "lsp_uuid"},
        {"vif-id", "vif_id"},
        {"a.b/c d", "a_b_c_d"},
        {"9th", "l9th"},
        {"", "l"},
        {"__name__", "l__name__"},
        {"_x", "_x"},
        {"é", "l__"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Registry::labelName(c.in), c.out) << c.in;
}

// Each value as the exposition writes it between the quotes; the parser gives the value back.
const struct EscapeCase {
    const char* name;
    std::string value;
    const char* written;
} kEscapes[] = {
    {"plain", "vif-1", "vif-1"},
    {"empty", "", ""},
    {"quote", "say \"hi\"", "say \\\"hi\\\""},
    {"backslash", "C:\\dir\\", "C:\\\\dir\\\\"},
    {"newline", "two\nlines\n", "two\\nlines\\n"},
    {"backslash then n", "\\n", "\\\\n"},
    {"backslash then quote", "\\\"", "\\\\\\\""},
    {"quote at end", "end\"", "end\\\""},
    {"unicode", "port \xc3\xa9t\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x94\xa5",
     "port \xc3\xa9t\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x94\xa5"},
    {"braces and comma", "a},b={c", "a},b={c"},
    {"tab and carriage return", "a\tb\rc", "a\tb\rc"},
};

TEST(MetricsTest, LabelValuesAreEscapedAsTheTextFormatSays) {
    for (const auto& c : kEscapes)
        EXPECT_EQ(Registry::escapeLabelValue(c.value), c.written) << c.name;
    EXPECT_EQ(Registry::escapeHelp("a\\b\nc \"q\""), "a\\\\b\\nc \"q\"");
}

TEST(MetricsTest, EscapedValuesParseBackToThemselves) {
    Registry reg;
    for (size_t i = 0; i < std::size(kEscapes); ++i)
        reg.gauge("escape", {{"case", kEscapes[i].name}, {"v", kEscapes[i].value}})
            ->set(static_cast<int64_t>(i));
    const std::string text = reg.exportPrometheus();
    json families;
    OZY_PROM_PARSE_OR_SKIP(text, families);
    json family = PromFamily(families, "ozy_escape");
    ASSERT_FALSE(family.is_null()) << families.dump();
    ASSERT_EQ(family["samples"].size(), std::size(kEscapes));
    for (const json& s : family["samples"]) {
        const size_t i = static_cast<size_t>(s["value"].get<double>());
        ASSERT_LT(i, std::size(kEscapes));
        EXPECT_EQ(s["labels"]["case"], kEscapes[i].name);
        EXPECT_EQ(s["labels"]["v"], kEscapes[i].value) << kEscapes[i].name;
    }
}

TEST(MetricsTest, ExportParsesWithOneFamilyPerNameAndValidNames) {
    Registry reg;
    reg.gauge("last update process time (ms)")->set(12);
    reg.counter("dfw update counter")->inc(3);
    reg.counter("work_group/thread/idle_count")->inc(2);
    reg.frequency("work_group/queue/enqueue_freq")->mark(5);
    reg.latency("work_group/item/queued_time")->record(4);
    reg.latency("work_group/item/queued_time")->record(10);
    // A family of several series, created out of order.
    reg.gauge("dfw/lsp/rule_count", {{"lsp_uuid", "b"}, {"vif", "2"}})->set(4);
    reg.gauge("dfw/lsp/rule_count", {{"lsp_uuid", "a"}, {"vif", "1"}})->set(3);
    reg.gauge("dfw/lsp/rule_count")->set(7);
    // Per-series latencies: each its own count and sum, and its own maximum.
    reg.latency("apply", {{"vif", "1"}})->record(8);
    reg.latency("apply", {{"vif", "2"}})->record(2);
    // Names that meet in the exposition: a counter and a gauge of one name, two spellings of one
    // name, a gauge named like a latency's samples.
    reg.counter("shared")->inc(1);
    reg.gauge("shared")->set(2);
    reg.gauge("a/b")->set(1);
    reg.gauge("a.b")->set(2);
    reg.gauge("x/us/count")->set(1);
    reg.latency("x")->record(1);
    const std::string text = reg.exportPrometheus();
    json families;
    OZY_PROM_PARSE_OR_SKIP(text, families);

    auto type = [&](const char* name) { return PromFamily(families, name).value("type", ""); };
    auto help = [&](const char* name) { return PromFamily(families, name).value("help", ""); };
    auto samples = [&](const char* name) { return Samples(PromFamily(families, name)); };
    EXPECT_EQ(type("ozy_last_update_process_time__ms_"), "gauge");
    EXPECT_EQ(help("ozy_last_update_process_time__ms_"), "last update process time (ms)");
    EXPECT_EQ(samples("ozy_last_update_process_time__ms_"),
              std::vector<std::string>{"ozy_last_update_process_time__ms_{} 12.000000"});
    EXPECT_EQ(samples("ozy_dfw_update_counter"),
              std::vector<std::string>{"ozy_dfw_update_counter{} 3.000000"});
    // The parser names a counter family without its "_total".
    EXPECT_EQ(type("ozy_work_group_queue_enqueue_freq"), "counter");
    EXPECT_EQ(samples("ozy_work_group_queue_enqueue_freq"),
              std::vector<std::string>{"ozy_work_group_queue_enqueue_freq_total{} 5.000000"});
    EXPECT_EQ(type("ozy_work_group_item_queued_time_us"), "summary");
    EXPECT_EQ(samples("ozy_work_group_item_queued_time_us"),
              (std::vector<std::string>{"ozy_work_group_item_queued_time_us_count{} 2.000000",
                                        "ozy_work_group_item_queued_time_us_sum{} 14.000000"}));
    EXPECT_EQ(samples("ozy_work_group_item_queued_time_us_max"),
              std::vector<std::string>{"ozy_work_group_item_queued_time_us_max{} 10.000000"});
    EXPECT_EQ(samples("ozy_dfw_lsp_rule_count"),
              (std::vector<std::string>{
                  "ozy_dfw_lsp_rule_count{} 7.000000",
                  "ozy_dfw_lsp_rule_count{\"lsp_uuid\":\"a\",\"vif\":\"1\"} 3.000000",
                  "ozy_dfw_lsp_rule_count{\"lsp_uuid\":\"b\",\"vif\":\"2\"} 4.000000"}));
    EXPECT_EQ(samples("ozy_apply_us_max"),
              (std::vector<std::string>{"ozy_apply_us_max{\"vif\":\"1\"} 8.000000",
                                        "ozy_apply_us_max{\"vif\":\"2\"} 2.000000"}));
    EXPECT_EQ(samples("ozy_apply_us").size(), 4u);
    // Names that meet: the later metric gets the numbered name, nothing is merged or lost.
    EXPECT_EQ(samples("ozy_shared"), std::vector<std::string>{"ozy_shared{} 1.000000"});
    EXPECT_EQ(samples("ozy_shared_2"), std::vector<std::string>{"ozy_shared_2{} 2.000000"});
    EXPECT_EQ(help("ozy_a_b"), "a.b");
    EXPECT_EQ(help("ozy_a_b_2"), "a/b");
    EXPECT_EQ(type("ozy_x_us_count"), "gauge");
    EXPECT_EQ(type("ozy_x_us_2"), "summary");
    EXPECT_EQ(samples("ozy_x_us_2_max"), std::vector<std::string>{"ozy_x_us_2_max{} 1.000000"});
    EXPECT_EQ(samples("ozy_x_us_2"), (std::vector<std::string>{"ozy_x_us_2_count{} 1.000000",
                                                               "ozy_x_us_2_sum{} 1.000000"}));
    size_t total = 0;
    for (const json& f : families)
        total += f["samples"].size();
    EXPECT_EQ(total, 24u) << families.dump();
}

TEST(MetricsTest, AnEmptyRegistryExportsNothing) {
    Registry reg;
    EXPECT_EQ(reg.exportPrometheus(), "");
    EXPECT_EQ(reg.dumpText(), "");
    EXPECT_EQ(reg.seriesCount("x"), 0u);
}

}  // namespace
}  // namespace ozy::metrics
