// The filter repository: kernel records read from literal bytes of the layout, the filter maps of
// the two agents kept apart with stable made-up vif names, untrusted counts and link messages.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dataplane/DataplaneLink.h"
#include "dfw/DfwFilterRepo.h"
#include "dfw/DfwLog.h"
#include "platform/tarp/TarpFw.h"
#include "platform/tarp/TarpTestSeam.h"
#include "platform/tarp/TarpWire.h"
#include "tests/platform/tarp/InProcessTarp.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent {
namespace {

using Record = DfwFilterRepo::Record;

void Text(std::vector<uint8_t>& b, size_t at, const std::string& s) {
    std::memcpy(b.data() + at, s.data(), s.size());
}

TEST(DfwFilterRepoTest, RecordsAreReadFromTheirOffsetsWithinTheBuffer) {
    // Header of 120 bytes (returned count at 8), then 925-byte records.
    std::vector<uint8_t> buf(120 + 2 * 925, 0);
    buf[11] = 3;  // three returned, room for two
    uint8_t* r = buf.data() + 120;
    Text(buf, 120 + 0, "filter-a");
    Text(buf, 120 + 64, "vif-a");
    Text(buf, 120 + 128, "lsp-a");
    r[171] = 2;  // flags: imported
    r[179] = 0x2a;
    Text(buf, 120 + 204, "orvane-sfw");
    Text(buf, 120 + 802, "ozy");
    // The second record's name fills its whole field: no terminator, still read bounded.
    std::memset(buf.data() + 120 + 925, 'n', 64);
    std::memset(buf.data() + 120 + 925 + 64, 'v', 64);
    test::LogCapture log;
    std::vector<Record> got = DfwFilterRepo::ParseRecords(buf.data(), buf.size());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].name, "filter-a");
    EXPECT_EQ(got[0].vif, "vif-a");
    EXPECT_EQ(got[0].lsp, "lsp-a");
    EXPECT_EQ(got[0].flags, 2u);
    EXPECT_EQ(got[0].importTime, 0x2au);
    EXPECT_EQ(got[0].agent, "orvane-sfw");
    EXPECT_EQ(got[0].product, "ozy");
    EXPECT_EQ(got[1].name, std::string(64, 'n'));
    EXPECT_EQ(got[1].vif, std::string(64, 'v'));
    EXPECT_TRUE(DfwFilterRepo::ParseRecords(buf.data(), 119).empty());
}

Record Rec(const std::string& name, const std::string& vif, const std::string& agent,
           const std::string& product = "ozy") {
    Record r;
    r.name = name;
    r.vif = vif;
    r.lsp = "lsp-" + name;
    r.agent = agent;
    r.product = product;
    return r;
}

TEST(DfwFilterRepoTest, FilterMapsKeepAgentsApartAndMadeUpNamesStable) {
    DfwFilterRepo::FilterMap sfw, si;
    std::map<std::string, std::string> fake;
    uint64_t counter = 0;
    const std::vector<Record> kernel = {
        Rec("f1", "vif-1", "orvane-sfw"), Rec("s1", "vif-1", "orvane-si"),
        Rec("foreign", "vif-9", "orvane-sfw", ""), Rec("lost", "", "orvane-sfw"),
        Rec("gone-soon", "vif-3", "orvane-sfw")};
    struct Step {
        const char* what;
        std::vector<Record> records;
        std::vector<std::string> excluded;
        std::vector<std::string> changed;  // filters reported, in order
        std::vector<std::string> vifs;     // of the firewall map afterwards
    } steps[] = {
        {"first query", kernel, {}, {"f1", "lost", "gone-soon"}, {"vif-1", "vif-2", "vif-3"}},
        {"nothing changed: nothing reported, the made-up name kept",
         kernel,
         {},
         {},
         {"vif-1", "vif-2", "vif-3"}},
        {"a filter renamed, one gone, one excluded",
         {Rec("f1-new", "vif-1", "orvane-sfw"), Rec("lost", "", "orvane-sfw"),
          Rec("x", "vif-4", "orvane-sfw"), Rec("s1", "vif-1", "orvane-si")},
         {"vif-4"},
         {"f1-new"},
         {"vif-1", "vif-2"}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        auto changed =
            DfwFilterRepo::UpdateFilterMap("orvane-sfw", s.records, s.excluded, sfw, fake, counter);
        DfwFilterRepo::UpdateFilterMap("orvane-si", s.records, {}, si, fake, counter);
        std::vector<std::string> names, vifs;
        for (const auto& f : changed)
            names.push_back(f.name);
        for (const auto& [vif, f] : sfw)
            vifs.push_back(vif);
        EXPECT_EQ(names, s.changed);
        EXPECT_EQ(vifs, s.vifs);
        EXPECT_EQ(sfw.at("vif-2").name, "lost");
    }
    ASSERT_EQ(si.size(), 1u) << "the service-insertion filter stays out of the firewall map";
    EXPECT_EQ(si.at("vif-1").name, "s1");
}

class DfwFilterRepoDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = g_dfwLogLevel;
        g_dfwLogLevel = kLogDebug;
        TarpFirewall::detail::SetDeviceOpenerForTest(&dev_);
        DfwFilterRepo::Options o;
        o.onCleanup = [this](const std::string& agent, const std::string& filter) {
            cleanups_.push_back(agent + "/" + filter);
        };
        o.onLinkUp = [this] { ++linkUps_; };
        o.wallSeconds = [this] { return clock_; };
        repo_ = ozy::MakeRef<DfwFilterRepo>(std::move(o));
    }
    void TearDown() override {
        TarpFirewall::detail::SetDeviceOpenerForTest(nullptr);
        g_dfwLogLevel = saved_;
    }

    int saved_ = 0;
    ozy::tarp::test::InProcessTarp dev_;
    ozy::RefPtr<DfwFilterRepo> repo_;
    std::vector<std::string> cleanups_;
    int linkUps_ = 0;
    uint64_t clock_ = 500;
};

TEST_F(DfwFilterRepoDeviceTest, AnUntrustedFilterCountIsRefused) {
    dev_.inject = [](uint32_t command, const uint8_t* p, size_t n) -> std::optional<uint32_t> {
        if (command == ozy::tarp::kCmdFwIoctl && n >= 4 && p[3] == 20)
            return 0u;
        return std::nullopt;
    };
    dev_.injectedPayload = {0x00, 0x98, 0x96, 0x80};  // 10,000,000
    test::LogCapture log;
    EXPECT_FALSE(repo_->QueryNow());
    EXPECT_TRUE(log.ContainsWithCode("dfw: Out of memory for 10000000 filters", "LCP01129"));
    EXPECT_TRUE(repo_->Filters("orvane-sfw").empty());
}

// The shared snapshot of an agent's filters is the same object while they do not change, a new
// one holding the change when they do; snapshots handed out before keep what they held.
TEST_F(DfwFilterRepoDeviceTest, SharedFiltersChangeOnlyWithTheFilters) {
    std::string why;
    auto names = [](const DfwFilterRepo::FilterMap& m) {
        std::vector<std::string> out;
        for (const auto& [vif, f] : m)
            out.push_back(vif + "=" + f.name + "/" + f.lsp);
        return out;
    };
    const auto none = repo_->SharedFilters("orvane-sfw");
    EXPECT_TRUE(none->empty());
    const struct {
        const char* what;
        std::function<void()> change;
        bool same;
        std::vector<std::string> filters;
    } steps[] = {
        {"a filter",
         [&] {
             ASSERT_TRUE(dev_.state->CreateFilter(
                 {"f1", "vif-1", "lsp-1", "orvane-sfw", false, true}, &why));
         },
         false,
         {"vif-1=f1/lsp-1"}},
        {"queried again, nothing changed", [] {}, true, {"vif-1=f1/lsp-1"}},
        {"another port for it",
         [&] {
             ASSERT_TRUE(dev_.state->DeleteFilter("f1", &why));
             ASSERT_TRUE(dev_.state->CreateFilter(
                 {"f1", "vif-1", "lsp-2", "orvane-sfw", false, true}, &why));
         },
         false,
         {"vif-1=f1/lsp-2"}},
        {"a service-insertion filter (another agent's)",
         [&] {
             ASSERT_TRUE(dev_.state->CreateFilter(
                 {"s1", "vif-9", "lsp-9", "orvane-si", false, true}, &why));
         },
         true,
         {"vif-1=f1/lsp-2"}},
        {"gone", [&] { ASSERT_TRUE(dev_.state->DeleteFilter("f1", &why)); }, false, {}},
    };
    auto last = none;
    for (const auto& step : steps) {
        step.change();
        ASSERT_TRUE(repo_->QueryNow()) << step.what;
        const auto now = repo_->SharedFilters("orvane-sfw");
        EXPECT_EQ(now == last, step.same) << step.what;
        EXPECT_EQ(names(*now), step.filters) << step.what;
        EXPECT_EQ(names(repo_->Filters("orvane-sfw")), step.filters) << step.what;
        last = now;
    }
    EXPECT_TRUE(none->empty()) << "an old snapshot keeps what it held";
    EXPECT_EQ(names(*repo_->SharedFilters("orvane-si")),
              std::vector<std::string>{"vif-9=s1/lsp-9"});
}

TEST_F(DfwFilterRepoDeviceTest, LinkMessagesAreCheckedBeforeUse) {
    std::string why;
    ASSERT_TRUE(dev_.state->CreateFilter({"f1", "vif-1", "lsp", "orvane-sfw", false, true}, &why));
    ASSERT_TRUE(repo_->QueryNow());
    ASSERT_EQ(repo_->Filters("orvane-sfw").size(), 1u);
    auto notify = [](const std::string& name, const std::string& vif) {
        std::vector<uint8_t> m(320, 0);
        m[1] = 1;
        m[2] = 0x01;
        m[3] = 0x40;
        Text(m, 4, name);
        Text(m, 104, "orvane-sfw");
        Text(m, 204, vif);
        return m;
    };
    test::LogCapture log;
    const uint8_t shortMsg[3] = {0, 1, 0};
    repo_->OnLinkMessage(shortMsg, sizeof shortMsg);
    EXPECT_TRUE(log.ContainsWithCode("short tarp msg of 3 bytes", "LCP00901"));
    std::vector<uint8_t> truncated = notify("f1", "vif-1");
    repo_->OnLinkMessage(truncated.data(), 100);
    EXPECT_TRUE(log.ContainsWithCode("short filter notification of 100 bytes", "LCP00901"));
    const uint8_t unknown[8] = {0, 9, 0, 8, 0, 0, 0, 0};
    repo_->OnLinkMessage(unknown, sizeof unknown);
    EXPECT_TRUE(log.ContainsWithCode("dfw: DfwFilterRepo: unknown tarp msg 9", "LCP00901"));
    EXPECT_EQ(repo_->Filters("orvane-sfw").size(), 1u);

    std::vector<uint8_t> gone = notify("f9", "");
    repo_->OnLinkMessage(gone.data(), gone.size());
    EXPECT_EQ(cleanups_, (std::vector<std::string>{"orvane-sfw/f9"}));
    std::vector<uint8_t> named = notify("f1", "vif-1");
    repo_->OnLinkMessage(named.data(), named.size());
    EXPECT_TRUE(repo_->Filters("orvane-sfw").empty()) << "dropped until the query finds it";
    ASSERT_TRUE(repo_->QueryNow());
    EXPECT_EQ(repo_->Filters("orvane-sfw").size(), 1u);
}

// A filter notification (type 1) of the device's layout.
std::vector<uint8_t> Notification(const std::string& name, const std::string& agent,
                                  const std::string& vif, bool imported) {
    std::vector<uint8_t> m(320, 0);
    m[1] = 1;
    m[2] = 0x01;
    m[3] = 0x40;
    Text(m, 4, name);
    Text(m, 104, agent);
    Text(m, 204, vif);
    m[311] = imported ? 2 : 0;
    return m;
}

TEST_F(DfwFilterRepoDeviceTest, ImportTimesAreTheAgentsOwnOnceAndForFirewallFiltersOnly) {
    std::string why;
    ASSERT_TRUE(dev_.state->CreateFilter({"f1", "vif-1", "lsp", "orvane-sfw", true, true}, &why));
    ASSERT_TRUE(dev_.state->CreateFilter({"s1", "vif-1", "lsp", "orvane-si", true, true}, &why));
    ASSERT_TRUE(dev_.state->CreateFilter({"f2", "vif-2", "lsp", "orvane-sfw", false, true}, &why));
    const struct {
        const char* what;
        std::vector<uint8_t> message;  // empty: none
        uint64_t clock;
        uint64_t f1, s1, f2;  // import times in the maps after a query
    } steps[] = {
        {"the device's flag alone imports nothing", {}, 500, 0, 0, 0},
        {"a service-insertion filter gets none", Notification("s1", "orvane-si", "vif-1", true),
         550, 0, 0, 0},
        {"a firewall filter notified as imported", Notification("f1", "orvane-sfw", "vif-1", true),
         600, 600, 0, 0},
        {"notified again: the first time stays", Notification("f1", "orvane-sfw", "vif-1", true),
         700, 600, 0, 0},
        {"a notification without the flag imports nothing",
         Notification("f2", "orvane-sfw", "vif-2", false), 900, 600, 0, 0},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        clock_ = s.clock;
        if (!s.message.empty())
            repo_->OnLinkMessage(s.message.data(), s.message.size());
        ASSERT_TRUE(repo_->QueryNow());
        EXPECT_EQ(repo_->Filters("orvane-sfw").at("vif-1").importTime, s.f1);
        EXPECT_EQ(repo_->Filters("orvane-si").at("vif-1").importTime, s.s1);
        EXPECT_EQ(repo_->Filters("orvane-sfw").at("vif-2").importTime, s.f2);
    }
    // Cleared once applied; a filter gone takes its import with it.
    repo_->ClearImport("vif-1");
    EXPECT_EQ(repo_->Filters("orvane-sfw").at("vif-1").importTime, 0u);
    EXPECT_EQ(repo_->ImportOf("vif-1").time, 0u);
    std::vector<uint8_t> again = Notification("f2", "orvane-sfw", "vif-2", true);
    repo_->OnLinkMessage(again.data(), again.size());
    EXPECT_EQ(repo_->ImportOf("vif-2").time, 900u);
    ASSERT_TRUE(dev_.state->DeleteFilter("f2", &why));
    ASSERT_TRUE(repo_->QueryNow());
    EXPECT_EQ(repo_->ImportOf("vif-2").time, 0u);
}

TEST_F(DfwFilterRepoDeviceTest, LinkStatusFollowsTheLinksValues) {
    std::string why;
    ASSERT_TRUE(dev_.state->CreateFilter({"f1", "vif-1", "lsp", "orvane-sfw", false, true}, &why));
    ASSERT_TRUE(repo_->QueryNow());
    const struct {
        int status;
        const char* line;
        bool up;
        int linkUps;
        size_t filters;  // the firewall map afterwards
    } steps[] = {
        // Down keeps what the repository knows until the link is back.
        {DataplaneLink::kLinkDown, "Received ozy_tarp_krnlink down notification", false, 0, 1},
        // Up: the device may be new, every filter is found again by the next query.
        {DataplaneLink::kLinkUp, "Received ozy_tarp_krnlink up notification", true, 1, 0},
        {DataplaneLink::kLinkDown, "Received ozy_tarp_krnlink down notification", false, 1, 0},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.line);
        test::LogCapture log;
        repo_->OnLinkStatus(s.status);
        EXPECT_TRUE(log.Contains(s.line));
        EXPECT_EQ(repo_->LinkUp(), s.up);
        EXPECT_EQ(linkUps_, s.linkUps);
        EXPECT_EQ(repo_->Filters("orvane-sfw").size(), s.filters);
    }
}

}  // namespace
}  // namespace CfgAgent
