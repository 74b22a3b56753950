// The firewall library against the emulator's device side in process: statuses, whole-or-nothing
// applies, the per-filter record and its epoch, segments held once, count-then-list growth,
// settings and raw ioctls, and a query never waiting for an apply in flight.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/tarp/CTarpFWException.h"
#include "platform/tarp/TarpFw.h"
#include "platform/tarp/TarpRecords.h"
#include "platform/tarp/TarpTestSeam.h"
#include "tests/platform/tarp/InProcessTarp.h"
#include "tests/platform/tarp/TarpTestRules.h"
#include "tests/support/LogCapture.h"
#include "tools/ozy-dpemu/TarpRender.h"

namespace ozy::tarp::test {
namespace {

using ozy::dpemu::tarp::TarpState;

class TarpLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TarpFirewall::detail::SetDeviceOpenerForTest(&dev_);
        const char* options[] = {"FWIODeviceName", "/dev/ozy-tarp"};
        uint32_t version = 0;
        ASSERT_EQ(FW_Initialize(FW_LIB_VERSION, &version, 1, 2, options, &h_), 0);
        EXPECT_EQ(version, FW_LIB_VERSION);
        CreateFilter("f1");
    }
    void TearDown() override {
        FW_Terminate(h_);
        TarpFirewall::detail::SetDeviceOpenerForTest(nullptr);
    }

    void CreateFilter(const std::string& name) {
        std::string why;
        ASSERT_TRUE(dev_.state->CreateFilter(
            {name, "vif-" + name.substr(0, 20), "lsp", kAgentFirewall, false, true}, &why))
            << why;
    }

    int Apply(const std::string& filter, const std::function<void(CTarpFWCmdList&)>& fill) {
        CTarpFWCmdList list;
        ScopedConfigFile guard(&list);
        fill(list);
        return FW_EvaluateConfigFile(h_, &list, filter.c_str(), 0);
    }

    // The usual configuration: address set "web" and rule set "mainrs" of the web segment.
    int ApplyWeb(const std::string& filter) {
        return Apply(filter, [&](CTarpFWCmdList& l) {
            FillList(l, {MakeSet("web", {"10.0.0.0/24"})}, {web_});
        });
    }

    std::string Realized(const std::string& filter) {
        const auto* f = dev_.state->FindFilter(filter);
        return f ? ozy::dpemu::tarp::RenderFilter(*dev_.state, filter, *f).dump() : "none";
    }

    std::vector<std::string> RuleSets(const std::string& filter) {
        return RuleSetNames(h_, filter);
    }

    InProcessTarp dev_;
    FW_Handle* h_ = nullptr;
    SegmentPtr web_ = MakeSegment({MakeRule(10, kActionAllow, [](CTarpFWRuleBuilder& b) {
        b.setProtocol(6, false);
        b.setDestPort(443, 443, false);
        b.setContainer(RuleSide::kDest, "web");
    })});
};

TEST_F(TarpLibraryTest, StatusesComeBackUnchanged) {
    EXPECT_EQ(ApplyWeb("f1"), 0);
    EXPECT_EQ(ApplyWeb("f1"), 21) << "the same configuration again changes nothing";
    EXPECT_EQ(ApplyWeb("nosuch"), 19);
    for (uint32_t injected : {8u, 65u, 19u, 42u}) {
        dev_.inject = [&](uint32_t cmd, const uint8_t*, size_t) -> std::optional<uint32_t> {
            if (cmd == kCmdApply)
                return injected;
            return std::nullopt;
        };
        EXPECT_EQ(ApplyWeb("f1"), int(injected));
    }
    dev_.inject = nullptr;
    for (auto [status, text] : {std::pair<int, const char*>{21, "applied with no change"},
                                {65, "invalid configuration"},
                                {19, "no such filter"},
                                {8, "out of memory"}})
        EXPECT_STREQ(FW_StatusToString(status), text);
    // A status that the device never gives is not mistaken for a known one.
    EXPECT_STREQ(FW_StatusToString(42), "unknown status");
}

TEST_F(TarpLibraryTest, RefusedApplyChangesNothing) {
    ASSERT_EQ(ApplyWeb("f1"), 0);
    std::string before = Realized("f1");
    const std::vector<std::string> setsBefore = {"mainrs"};
    ASSERT_EQ(RuleSets("f1"), setsBefore);
    size_t acked = TarpFirewall::detail::HandleAckedSegments(h_);

    // A new rule names "db", defined neither in the apply nor on the filter.
    SegmentPtr db = MakeSegment({MakeRule(
        11, kActionDrop, [](CTarpFWRuleBuilder& b) { b.setContainer(RuleSide::kSource, "db"); })});
    EXPECT_EQ(Apply("f1",
                    [&](CTarpFWCmdList& l) {
                        l.addCreateRuleSet("other", {db});
                        FillList(l, {MakeSet("app", {"10.1.0.0/24"})}, {web_, db});
                    }),
              65);
    EXPECT_EQ(Realized("f1"), before);
    EXPECT_EQ(RuleSets("f1"), setsBefore);
    EXPECT_EQ(TarpFirewall::detail::HandleAckedSegments(h_), acked);
    // Destroying a set a remaining rule uses is refused too.
    EXPECT_EQ(Apply("f1", [](CTarpFWCmdList& l) { l.addDestroyAddrSet("web"); }), 65);
    EXPECT_EQ(Realized("f1"), before);
}

TEST_F(TarpLibraryTest, RecordAnswersUntilTheFilterChangesOrTheEpochDoes) {
    ASSERT_EQ(ApplyWeb("f1"), 0);
    EXPECT_EQ(RuleSets("f1"), std::vector<std::string>{"mainrs"});
    size_t asked = dev_.Count(kCmdListRuleSets);
    // Known now: an apply keeps the record current without asking the device.
    ASSERT_EQ(Apply("f1", [&](CTarpFWCmdList& l) { l.addCreateRuleSet("spare", {web_}); }), 0);
    EXPECT_EQ(RuleSets("f1"), (std::vector<std::string>{"mainrs", "spare"}));
    EXPECT_EQ(dev_.Count(kCmdListRuleSets), asked);
    // A notification makes it stale.
    FW_FilterChanged(h_, "f1");
    EXPECT_EQ(RuleSets("f1"), (std::vector<std::string>{"mainrs", "spare"}));
    EXPECT_GT(dev_.Count(kCmdListRuleSets), asked);

    // The device restarts: a new epoch; the filter is re-created empty there.
    uint64_t epoch = TarpFirewall::detail::HandleEpoch(h_);
    size_t uploads = dev_.Count(kCmdSegmentPut);
    dev_.Restart();
    CreateFilter("f1");
    ASSERT_EQ(ApplyWeb("f1"), 0);
    EXPECT_EQ(TarpFirewall::detail::HandleEpoch(h_), epoch + 1);
    EXPECT_EQ(dev_.Count(kCmdSegmentPut), uploads + 1) << "segments go up again";
    EXPECT_EQ(RuleSets("f1"), std::vector<std::string>{"mainrs"}) << "not the old epoch's record";
    auto realized = nlohmann::json::parse(Realized("f1"));
    ASSERT_EQ(realized["rules"].size(), 1u);
    EXPECT_EQ(realized["rules"][0]["id"], 10);
}

// The chunk list is the shared filter's: learnt from the device once per epoch and kept by
// successful applies (creates, replaces and destroys), in id order.
TEST_F(TarpLibraryTest, ChunkListComesFromTheRecordUntilTheEpochChanges) {
    auto chunk = [](uint32_t id, uint32_t capacity, uint32_t address) {
        auto c = std::make_shared<CTarpFWIpRepChunk>();
        c->id = id;
        c->capacity = capacity;
        c->bucket = 2;
        c->entries.push_back({address, 0xFFFFFF00, 3, 90, 2});
        return c;
    };
    auto list = [&] {
        std::vector<FW_IpRepChunkStat> out(4);
        uint32_t total = 0;
        EXPECT_EQ(FW_GetIpRepChunkList(h_, out.data(), 4, &total), 0);
        out.resize(std::min<uint32_t>(total, 4));
        return out;
    };
    uint32_t n = 99;
    ASSERT_EQ(FW_GetIpRepChunkCount(h_, &n), 0);
    EXPECT_EQ(n, 0u);
    const size_t asked = dev_.Count(kCmdListIpRepChunks);
    EXPECT_EQ(asked, 1u);
    ASSERT_EQ(Apply(kSharedAddrSetFilter,
                    [&](CTarpFWCmdList& l) {
                        l.addCreateIpRepChunk(chunk(7, 6000, 0xCB007100));
                        l.addCreateIpRepChunk(chunk(5, 6000, 0xC6336400));
                    }),
              0);
    ASSERT_EQ(Apply(kSharedAddrSetFilter,
                    [&](CTarpFWCmdList& l) {
                        l.addCreateIpRepChunk(chunk(5, 10000, 0xC6336400));
                        l.addDestroyIpRepChunk(7);
                    }),
              0);
    auto held = list();
    EXPECT_EQ(dev_.Count(kCmdListIpRepChunks), asked) << "answered from the record";
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].id, 5u);
    EXPECT_EQ(held[0].capacity, 10000u);
    EXPECT_EQ(held[0].count, 1u);
    EXPECT_EQ(held[0].bucket, 2u);
    const uint8_t entry[16] = {0xC6, 0x33, 0x64, 0x00, 0xFF, 0xFF, 0xFF, 0x00,
                               0x00, 0x03, 0x00, 0x5A, 0x00, 0x00, 0x00, 0x02};
    EXPECT_EQ(held[0].hash, Hash64(entry, sizeof entry, kIpRepSeed));
    // A refused apply (chunks belong to the shared filter) leaves the record as it was.
    EXPECT_EQ(Apply("f1", [&](CTarpFWCmdList& l) { l.addCreateIpRepChunk(chunk(8, 6000, 1)); }),
              65);
    EXPECT_EQ(list().size(), 1u);
    // The device restarts empty; told that the shared filter may have changed, the library asks
    // the device (and learns the new epoch).
    dev_.Restart();
    FW_FilterChanged(h_, kSharedAddrSetFilter);
    EXPECT_TRUE(list().empty());
    EXPECT_GT(dev_.Count(kCmdListIpRepChunks), asked);
}

TEST_F(TarpLibraryTest, ThousandFiltersHoldOneSegmentAndAChangeCostsOneUpload) {
    std::vector<SegmentPtr> sections;
    for (uint32_t s = 0; s < 3; ++s) {
        std::vector<RulePtr> rules;
        for (uint32_t r = 0; r < 20; ++r)
            rules.push_back(MakeRule(s * 100 + r, kActionAllow, [&](CTarpFWRuleBuilder& b) {
                b.setProtocol(17, false);
                b.setDestPort(1000 + r, 1000 + r, false);
            }));
        sections.push_back(MakeSegment(std::move(rules)));
    }
    for (int i = 0; i < 1000; ++i) {
        std::string name = "vm" + std::to_string(i);
        CreateFilter(name);
        ASSERT_EQ(Apply(name, [&](CTarpFWCmdList& l) { FillList(l, {}, sections); }), 0) << name;
    }
    EXPECT_EQ(dev_.Count(kCmdSegmentPut), 3u);
    EXPECT_EQ(dev_.state->Dump()["segments"]["count"], 3);

    // One rule of the middle section changes: one upload, then small applies.
    std::vector<RulePtr> changed = sections[1]->rules();
    changed[5] = MakeRule(105, kActionDrop);
    sections[1] = MakeSegment(changed);
    size_t applies = dev_.Count(kCmdApply);
    for (int i = 0; i < 1000; ++i) {
        std::string name = "vm" + std::to_string(i);
        CTarpFWCmdList list;
        ScopedConfigFile guard(&list);
        FillList(list, {}, sections);
        ASSERT_EQ(FW_EvaluateConfigFile(h_, &list, name.c_str(), 0), 0);
        EXPECT_LT(list.configFile().size(), 256u) << "three hashes, not the rules";
    }
    EXPECT_EQ(dev_.Count(kCmdSegmentPut), 4u);
    EXPECT_EQ(dev_.Count(kCmdApply), applies + 1000);
    EXPECT_EQ(dev_.state->Dump()["segments"]["count"], 4) << "the old section is kept, unused";
}

// Many filters' applies sent together: each gets its own status as it would alone (a refused
// name, an unknown filter, a device failure), the record of each applied one is kept as an apply
// alone keeps it, and an apply the device refused for a segment it dropped, or that a lost
// connection left unanswered, is evaluated again alone.
TEST_F(TarpLibraryTest, AppliesSentTogetherEachGetTheirOwnStatus) {
    for (const char* f : {"f2", "f3", "f4"})
        CreateFilter(f);
    std::string why;
    ASSERT_TRUE(dev_.state->FailFilter("f3", 8, 1, &why)) << why;
    const std::string tooLong(kMaxFilterName + 1, 'x');
    const std::vector<std::string> names = {"f1", "nosuch", "f3", tooLong, "f2"};
    auto batch = [&](const std::vector<std::string>& filters, const std::vector<SegmentPtr>& l3) {
        std::vector<std::unique_ptr<CTarpFWCmdList>> lists;
        std::vector<CTarpFWCmdList*> raw;
        std::vector<const char*> raw_names;
        for (const std::string& f : filters) {
            lists.push_back(std::make_unique<CTarpFWCmdList>());
            FillList(*lists.back(), {MakeSet("web", {"10.0.0.0/24"})}, l3);
            raw.push_back(lists.back().get());
            raw_names.push_back(f.c_str());
        }
        std::vector<int> statuses(filters.size(), -1);
        EXPECT_EQ(FW_EvaluateConfigFiles(h_, raw.data(), raw_names.data(),
                                         static_cast<uint32_t>(raw.size()), 0, statuses.data()),
                  0);
        for (CTarpFWCmdList* l : raw)
            FW_FreeConfigFile(l);
        return statuses;
    };
    EXPECT_EQ(RuleSets("f1"), std::vector<std::string>{}) << "learnt before";
    EXPECT_EQ(batch(names, {web_}), (std::vector<int>{0, 19, 8, 65, 0}));
    for (const char* f : {"f1", "f2"}) {
        auto realized = nlohmann::json::parse(Realized(f));
        ASSERT_EQ(realized["rules"].size(), 1u) << f;
        EXPECT_EQ(realized["rules"][0]["id"], 10) << f;
    }
    EXPECT_TRUE(nlohmann::json::parse(Realized("f3"))["rules"].empty()) << "the failed apply";
    // The applied one's record was kept: its names come without asking the device.
    const size_t asked = dev_.Count(kCmdListRuleSets);
    EXPECT_EQ(RuleSets("f1"), std::vector<std::string>{"mainrs"});
    EXPECT_EQ(dev_.Count(kCmdListRuleSets), asked);

    // The device drops the web segment once no filter uses it; the library still counts it held.
    for (const char* f : {"f1", "f2"})
        ASSERT_EQ(Apply(f, [](CTarpFWCmdList& l) { FillList(l, {}, {}); }), 0);
    ASSERT_EQ(dev_.state->DropUnusedSegments(), 1u);
    size_t uploads = dev_.Count(kCmdSegmentPut);
    EXPECT_EQ(batch({"f1", "f2", "f4"}, {web_}), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(dev_.Count(kCmdSegmentPut), uploads + 1) << "uploaded again once";

    // The connection fails after the first of three applies: the other two go alone, anew.
    SegmentPtr other = MakeSegment({MakeRule(20, kActionDrop)});
    ASSERT_EQ(Apply("f1", [&](CTarpFWCmdList& l) { FillList(l, {}, {other}); }), 0);
    size_t applies = 0;
    dev_.inject = [&](uint32_t cmd, const uint8_t*, size_t) -> std::optional<uint32_t> {
        if (cmd == kCmdApply && ++applies == 1)
            dev_.transportError = EPIPE;
        return std::nullopt;
    };
    EXPECT_EQ(batch({"f1", "f2", "f4"}, {other}), (std::vector<int>{21, 0, 0}));
    dev_.inject = nullptr;
    for (const char* f : {"f2", "f4"})
        EXPECT_EQ(nlohmann::json::parse(Realized(f))["rules"][0]["id"], 20) << f;
    EXPECT_EQ(FW_EvaluateConfigFiles(nullptr, nullptr, nullptr, 0, 0, nullptr), 22);
}

// The token of a filter's names: none until both lists are learnt in this epoch; kept by
// queries and by applies to other filters; new after an apply to the filter and after the names
// are learnt again; none once the filter is said to have changed or the device restarted.
TEST_F(TarpLibraryTest, NamesTokenStaysWhileTheRecordDoes) {
    CreateFilter("f2");
    auto token = [&](const char* f) {
        uint64_t t = 99;
        EXPECT_EQ(FW_GetNamesToken(h_, f, &t), 0);
        return t;
    };
    auto listAddrSets = [&](const char* f) {
        uint32_t n = 0, total = 0;
        ASSERT_EQ(FW_GetAddrSetCount(h_, f, &n), 0);
        std::vector<FW_AddrSetName> names(n);
        ASSERT_EQ(FW_GetAddrSetList(h_, f, names.data(), n, &total), 0);
    };
    EXPECT_EQ(token("f1"), 0u) << "no record";
    ASSERT_EQ(ApplyWeb("f1"), 0);
    EXPECT_EQ(token("f1"), 0u) << "applied, never listed";
    RuleSets("f1");
    EXPECT_EQ(token("f1"), 0u) << "rule sets alone";
    listAddrSets("f1");
    const uint64_t first = token("f1");
    EXPECT_NE(first, 0u);
    RuleSets("f1");
    listAddrSets("f1");
    EXPECT_EQ(token("f1"), first) << "queries answered from the record";
    ASSERT_EQ(ApplyWeb("f2"), 0);
    EXPECT_EQ(token("f1"), first) << "another filter's apply";
    ASSERT_EQ(Apply("f1", [&](CTarpFWCmdList& l) { l.addDestroyAddrSet("web"); }), 65);
    EXPECT_EQ(token("f1"), first) << "a refused apply";
    ASSERT_EQ(
        Apply("f1",
              [&](CTarpFWCmdList& l) { FillList(l, {MakeSet("app", {"10.1.0.0/24"})}, {web_}); }),
        0);
    const uint64_t second = token("f1");
    EXPECT_NE(second, 0u);
    EXPECT_NE(second, first) << "its own apply";
    FW_FilterChanged(h_, "f1");
    EXPECT_EQ(token("f1"), 0u) << "said to have changed";
    RuleSets("f1");
    listAddrSets("f1");
    const uint64_t third = token("f1");
    EXPECT_NE(third, 0u);
    EXPECT_NE(third, second) << "learnt again";
    dev_.Restart();
    CreateFilter("f1");
    ASSERT_EQ(ApplyWeb("f1"), 0);
    EXPECT_EQ(token("f1"), 0u) << "a new epoch";
    uint64_t t = 5;
    EXPECT_EQ(FW_GetNamesToken(nullptr, "f1", &t), 22);
    EXPECT_EQ(FW_GetNamesToken(h_, "f1", nullptr), 22);
    EXPECT_EQ(FW_GetNamesToken(h_, std::string(kMaxFilterName + 1, 'x').c_str(), &t), 65);
    EXPECT_EQ(t, 0u);
}

TEST_F(TarpLibraryTest, RecordsGoWithTheirFilters) {
    for (int i = 0; i < 10; ++i) {
        std::string name = "vm" + std::to_string(i);
        CreateFilter(name);
        ASSERT_EQ(ApplyWeb(name), 0);
        ASSERT_EQ(RuleSets(name), std::vector<std::string>{"mainrs"});
    }
    EXPECT_EQ(TarpFirewall::detail::HandleRecords(h_), 10u);
    // The VMs go: the device deletes their filters and the agent hears of each.
    for (int i = 0; i < 10; ++i) {
        std::string name = "vm" + std::to_string(i), why;
        ASSERT_TRUE(dev_.state->DeleteFilter(name, &why)) << why;
        FW_FilterChanged(h_, name.c_str());
    }
    EXPECT_EQ(TarpFirewall::detail::HandleRecords(h_), 0u);
    // Filters the device does not know leave nothing behind either.
    uint32_t n = 0;
    EXPECT_EQ(ApplyWeb("vm0"), 19);
    EXPECT_EQ(FW_GetRuleSetCount(h_, "vm1", &n), 19);
    EXPECT_EQ(FW_GetAddrSetCount(h_, "vm2", &n), 19);
    EXPECT_EQ(TarpFirewall::detail::HandleRecords(h_), 0u);
}

struct TransportCase {
    int error;
    size_t attempts;
    int status;
};

class TarpTransportTest : public TarpLibraryTest,
                          public ::testing::WithParamInterface<TransportCase> {};

TEST_P(TarpTransportTest, ARequestIsRepeatedOnlyWhenTheConnectionWasClosed) {
    const TransportCase& c = GetParam();
    dev_.transportError = c.error;
    uint32_t activated = 99;
    EXPECT_EQ(FW_ActivateAddrSets(h_, &activated, nullptr, nullptr, nullptr), c.status);
    EXPECT_EQ(dev_.Count(kCmdActivateAddrSets), c.attempts);
    if (c.status == 0) {
        EXPECT_EQ(activated, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Errors, TarpTransportTest,
    ::testing::Values(
        // The device took the request and did not answer in time: it may have acted on it.
        TransportCase{ETIMEDOUT, 1, 5},
        // The device closed the connection (it restarted since): asked again on a new one.
        TransportCase{EIO, 2, 0}, TransportCase{EPIPE, 2, 0}, TransportCase{ECONNRESET, 2, 0}));

TEST_F(TarpLibraryTest, AcknowledgedSegmentsAreBounded) {
    TarpFirewall::detail::SetAckedLimitForTest(h_, 3);
    std::vector<SegmentPtr> versions;
    for (uint32_t v = 0; v < 5; ++v) {
        versions.push_back(MakeSegment({MakeRule(v + 1, kActionAllow)}));
        ASSERT_EQ(Apply("f1", [&](CTarpFWCmdList& l) { FillList(l, {}, {versions.back()}); }), 0);
        EXPECT_LE(TarpFirewall::detail::HandleAckedSegments(h_), 3u);
    }
    EXPECT_EQ(dev_.Count(kCmdSegmentPut), 5u);
    // The newest is still known; a forgotten one is sent again and the device takes it as held.
    ASSERT_EQ(Apply("f1", [&](CTarpFWCmdList& l) { FillList(l, {}, {versions[4]}); }), 21);
    EXPECT_EQ(dev_.Count(kCmdSegmentPut), 5u);
    ASSERT_EQ(Apply("f1", [&](CTarpFWCmdList& l) { FillList(l, {}, {versions[0]}); }), 0);
    EXPECT_EQ(dev_.Count(kCmdSegmentPut), 6u);
    EXPECT_EQ(nlohmann::json::parse(Realized("f1"))["rules"][0]["id"], 1);
}

TEST_F(TarpLibraryTest, UnknownSegmentIsUploadedAndTheApplyRetriedOnce) {
    CreateFilter("f2");
    ASSERT_EQ(ApplyWeb("f1"), 0);
    ASSERT_EQ(Apply("f1", [](CTarpFWCmdList& l) { FillList(l, {}, {}); }), 0);
    // The device drops the segment nobody uses; the library still counts it as held.
    EXPECT_EQ(dev_.state->DropUnusedSegments(), 1u);
    size_t applies = dev_.Count(kCmdApply), uploads = dev_.Count(kCmdSegmentPut);
    EXPECT_EQ(ApplyWeb("f2"), 0);
    EXPECT_EQ(dev_.Count(kCmdApply), applies + 2);
    EXPECT_EQ(dev_.Count(kCmdSegmentPut), uploads + 1);

    // A device that keeps answering "unknown segment" yields an error, never that status.
    dev_.inject = [](uint32_t cmd, const uint8_t*, size_t) -> std::optional<uint32_t> {
        return cmd == kCmdApply ? std::optional<uint32_t>(kStatusUnknownSegment) : std::nullopt;
    };
    EXPECT_EQ(ApplyWeb("f2"), int(kStatusIoError));
}

TEST_F(TarpLibraryTest, NamesAtTheirLimitPassAndOneOverFails) {
    std::string f63(63, 'f');
    CreateFilter(f63);
    auto list = [&](const std::string& rs, const std::string& set) {
        return [=](CTarpFWCmdList& l) {
            l.addCreateAddrSet(MakeSet(set, {"10.0.0.1"}));
            l.addCreateRuleSet(rs,
                               {MakeSegment({MakeRule(1, kActionAllow, [&](CTarpFWRuleBuilder& b) {
                                   b.setContainer(RuleSide::kSource, set);
                               })})});
            l.addSetRootRuleSets({rs});
        };
    };
    EXPECT_EQ(Apply(f63, list(std::string(64, 'r'), std::string(36, 'c'))), 0);
    auto realized = nlohmann::json::parse(Realized(f63));
    EXPECT_EQ(realized["roots"][0], std::string(64, 'r'));
    EXPECT_TRUE(realized["addr_sets"].contains(std::string(36, 'c')));
    size_t applies = dev_.Count(kCmdApply);
    EXPECT_EQ(Apply(std::string(64, 'f'), list("mainrs", "c")), 65);
    EXPECT_EQ(dev_.Count(kCmdApply), applies) << "refused before it reaches the device";
    EXPECT_THROW(list(std::string(65, 'r'), "c")(*std::make_unique<CTarpFWCmdList>()),
                 CTarpFWException);
    EXPECT_THROW(list("mainrs", std::string(37, 'c'))(*std::make_unique<CTarpFWCmdList>()),
                 CTarpFWException);
}

TEST_F(TarpLibraryTest, FilterAppearingBetweenCountAndListIsReadAfterOneRetry) {
    CreateFilter("f2");
    uint8_t count[4] = {};
    FW_IoctlReq req;
    req.buf = count;
    req.size = 4;
    ASSERT_EQ(FW_Ioctl(kFwIoctlFilterCount, &req), 0);
    uint32_t n = (uint32_t(count[2]) << 8) | count[3];
    ASSERT_EQ(n, 2u);
    CreateFilter("f3");  // appears in between

    std::vector<std::string> names;
    uint32_t capacity = n, rounds = 0;
    for (;;) {
        ++rounds;
        std::vector<uint8_t> buf(kReadHeaderSize + size_t(capacity) * kFilterRecordSize, 0);
        buf[3] = 1;  // version
        for (int i = 0; i < 4; ++i)
            buf[4 + i] = static_cast<uint8_t>(capacity >> (24 - 8 * i));
        req.buf = buf.data();
        req.size = static_cast<uint32_t>(buf.size());
        ASSERT_EQ(FW_Ioctl(kFwIoctlReadFilters, &req), 0);
        uint32_t returned = buf[kReadReturnedOffset + 3], total = buf[kReadTotalOffset + 3];
        ASSERT_LE(returned, capacity);
        if (total > capacity) {
            capacity = total;
            continue;
        }
        for (uint32_t i = 0; i < returned; ++i) {
            TarpFilterRecord rec;
            ASSERT_TRUE(DecodeFilterRecord(buf.data() + kReadHeaderSize + i * kFilterRecordSize,
                                           kFilterRecordSize, &rec));
            names.push_back(rec.name);
        }
        break;
    }
    EXPECT_EQ(rounds, 2u);
    EXPECT_EQ(names, (std::vector<std::string>{"f1", "f2", "f3"}));

    // The named lists do the same: capacity 0 gives the total and nothing else.
    ASSERT_EQ(Apply("f1",
                    [&](CTarpFWCmdList& l) {
                        FillList(l,
                                 {MakeSet("web", {"10.0.0.0/24"}), MakeSet("spare", {"10.9.0.1"})},
                                 {web_});
                    }),
              0);
    FW_AddrSetName one[1];
    uint32_t total = 0;
    ASSERT_EQ(FW_GetAddrSetList(h_, "f1", one, 1, &total), 0);
    EXPECT_EQ(total, 2u);
    EXPECT_STREQ(one[0].name, "spare");
}

TEST_F(TarpLibraryTest, ListedNameLongerThanItsSetIsRefusedNotCut) {
    // A device out of contract lists a 37-character address set in its 40-byte field.
    dev_.injectedPayload = {0, 0, 0, 1, 0, 0, 0, 1};
    dev_.injectedPayload.resize(8 + kAddrSetNameField, 0);
    std::fill_n(dev_.injectedPayload.begin() + 8, 37, 'a');
    dev_.inject = [](uint32_t cmd, const uint8_t*, size_t) -> std::optional<uint32_t> {
        return cmd == kCmdListAddrSets ? std::optional<uint32_t>(0) : std::nullopt;
    };
    FW_AddrSetName names[1];
    uint32_t total = 0;
    EXPECT_EQ(FW_GetAddrSetList(h_, "f1", names, 1, &total), int(kStatusIoError));
    // 36 characters are a name.
    dev_.injectedPayload[8 + 36] = 0;
    EXPECT_EQ(FW_GetAddrSetList(h_, "f1", names, 1, &total), 0);
    EXPECT_EQ(std::string(names[0].name), std::string(36, 'a'));
}

TEST_F(TarpLibraryTest, SettingsAndRawIoctlsReachTheDevice) {
    FW_FloodCfg flood;
    flood.tcpHalfOpenLimit = 100;
    flood.synCache = true;
    EXPECT_EQ(FW_SetFloodCfg(h_, "f1", 0, &flood), 0);
    FW_TimeoutCfg timeouts;
    timeouts.seconds[2] = 43200;
    EXPECT_EQ(FW_SetTimeout(h_, "f1", 0, &timeouts), 0);
    FW_DnsCfg dns;
    dns.ttlFlag = true;
    dns.ttl = 300;
    EXPECT_EQ(FW_SetDnsConfigProfile(h_, "f1", 0, &dns), 0);
    EXPECT_EQ(FW_SetHopoverExportver(h_, "f1", 0, 3), 0);
    EXPECT_EQ(FW_FpFlag(h_, "f1", 0, 1), 0);
    const uint8_t mac[6] = {2, 0, 0, 0, 0, 9};
    EXPECT_EQ(FW_DeleteSpoofGuard(h_, "f1", 0, &mac), 0);
    EXPECT_EQ(FW_ConfigSharedAddrSet(h_, "f1", 0, 1), 0);
    EXPECT_EQ(FW_ConfigSharedAddrSet(h_, "f1", 0, 2), 65);
    EXPECT_EQ(FW_SetIDSMode(h_, kSharedAddrSetFilter, 0, 1), 0);
    EXPECT_EQ(FW_SetTimeout(h_, "nosuch", 0, &timeouts), 19);
    auto s = nlohmann::json::parse(Realized("f1"))["settings"];
    EXPECT_EQ(s["flood"]["tcp_half_open_limit"], 100);
    EXPECT_EQ(s["flood"]["syn_cache"], true);
    EXPECT_EQ(s["timeouts"]["tcp_established"], 43200);
    EXPECT_EQ(s["dns"]["ttl"], 300);
    EXPECT_EQ(s["export_version"], 3);
    EXPECT_EQ(s["fast_path"], 1);
    EXPECT_EQ(s["spoof_guard_deletions"], 1);
    EXPECT_EQ(s["shared_addr_sets"], true);
    EXPECT_EQ(dev_.state->Dump()["ids_mode"], 1);

    // Load-balancer and service-insertion ioctls are carried to the device.
    // An empty update (header only, layout in platform/device/LbConfigBuffer.h).
    uint8_t lb[16] = {0x4c, 0x42, 0x43, 0x46, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16};
    FW_IoctlReq req;
    req.buf = lb;
    req.size = sizeof lb;
    EXPECT_EQ(FW_Ioctl(kFwIoctlLbConfig, &req), 0);
    uint8_t entries[2 * 16] = {};
    SI_IoctlReq si;
    si.count = 2;
    si.entrySize = 16;
    si.entries = entries;
    EXPECT_EQ(SI_Ioctl(3, &si), 0);
    auto d = dev_.state->Dump();
    EXPECT_EQ(d["lb"]["updates"], 1);
    EXPECT_EQ(d["si"]["nsh"]["0/0"], "00:00:00:00:00:00");
    EXPECT_EQ(d["si"]["stats"]["set_nsh"], 2);
    // A command that answers fills the reply buffer, never past its size.
    uint8_t status[4] = {9, 9, 9, 9};
    SI_IoctlReq query;
    query.reply = status;
    query.replySize = sizeof status;
    EXPECT_EQ(SI_Ioctl(11, &query), 0);
    EXPECT_EQ(query.replyUsed, 4u);
    EXPECT_EQ(status[3], 0);
    query.replySize = 2;
    EXPECT_EQ(SI_Ioctl(11, &query), 5);
    EXPECT_EQ(query.replyUsed, 0u);
    EXPECT_EQ(FW_Ioctl(99, &req), 65);
}

// One setting for several filters goes to the device in one exchange: each filter gets its own
// value and status (a refused name is not sent; an unknown filter and a failing one answer for
// themselves); a connection failing after the first answer sends the rest again alone.
TEST_F(TarpLibraryTest, SettingsSentTogetherEachGetTheirOwnValueAndStatus) {
    for (const char* f : {"f2", "f3"})
        CreateFilter(f);
    std::string why;
    ASSERT_TRUE(dev_.state->FailFilter("f3", kStatusNoMemory, 1, &why)) << why;
    const std::string tooLong(kMaxFilterName + 1, 'x');
    const std::vector<const char*> names = {"f1", "nosuch", "f3", tooLong.c_str(), "f2"};
    std::vector<FW_FloodCfg> floods(names.size());
    std::vector<const FW_FloodCfg*> each;
    for (size_t i = 0; i < floods.size(); ++i) {
        floods[i].tcpHalfOpenLimit = static_cast<uint32_t>(100 + i);
        floods[i].synCache = i % 2 == 0;
        each.push_back(&floods[i]);
    }
    auto send = [&](const std::vector<const char*>& filters) {
        std::vector<int> statuses(filters.size(), -1);
        EXPECT_EQ(FW_SetFloodCfgs(h_, filters.data(), static_cast<uint32_t>(filters.size()), 0,
                                  each.data(), statuses.data()),
                  0);
        return statuses;
    };
    auto halfOpen = [&](const char* f) {
        auto s = nlohmann::json::parse(Realized(f))["settings"];
        return s.contains("flood") ? s["flood"]["tcp_half_open_limit"].get<int>() : -1;
    };
    EXPECT_EQ(send(names), (std::vector<int>{0, 19, 8, 65, 0}));
    EXPECT_EQ(dev_.batches, std::vector<size_t>{4}) << "one exchange, the refused name not sent";
    EXPECT_EQ(dev_.Count(kCmdFilterSetting), 4u);
    EXPECT_EQ(halfOpen("f1"), 100);
    EXPECT_EQ(halfOpen("f2"), 104);
    EXPECT_EQ(nlohmann::json::parse(Realized("f2"))["settings"]["flood"]["syn_cache"], true);
    EXPECT_EQ(halfOpen("f3"), -1) << "the failed one";

    // The connection fails after the first answer: the other two go alone, anew.
    size_t settings = 0;
    dev_.inject = [&](uint32_t cmd, const uint8_t*, size_t) -> std::optional<uint32_t> {
        if (cmd == kCmdFilterSetting && ++settings == 1)
            dev_.transportError = EPIPE;
        return std::nullopt;
    };
    const size_t before = dev_.Count(kCmdFilterSetting);
    EXPECT_EQ(send({"f2", "f3", "f1"}), (std::vector<int>{0, 0, 0}));
    dev_.inject = nullptr;
    EXPECT_EQ(dev_.Count(kCmdFilterSetting), before + 4) << "the failed exchange's again";
    EXPECT_EQ(halfOpen("f2"), 100);
    EXPECT_EQ(halfOpen("f3"), 101);
    EXPECT_EQ(halfOpen("f1"), 102);

    // The other kinds: each filter its own value.
    FW_TimeoutCfg t1, t2;
    t1.seconds[2] = 3600;
    t2.seconds[2] = 7200;
    const FW_TimeoutCfg* timeouts[] = {&t1, &t2};
    FW_DnsCfg d1, d2;
    d1.ttl = 30;
    d2.ttlFlag = true;
    d2.ttl = 60;
    const FW_DnsCfg* dns[] = {&d1, &d2};
    const char* two[] = {"f1", "f2"};
    int statuses[2] = {-1, -1};
    EXPECT_EQ(FW_SetTimeouts(h_, two, 2, 0, timeouts, statuses), 0);
    EXPECT_EQ(std::vector<int>(statuses, statuses + 2), (std::vector<int>{0, 0}));
    statuses[0] = statuses[1] = -1;
    EXPECT_EQ(FW_SetDnsConfigProfiles(h_, two, 2, 0, dns, statuses), 0);
    EXPECT_EQ(std::vector<int>(statuses, statuses + 2), (std::vector<int>{0, 0}));
    for (const auto& [f, established, flag, ttl] :
         {std::make_tuple("f1", 3600, false, 30), std::make_tuple("f2", 7200, true, 60)}) {
        auto s = nlohmann::json::parse(Realized(f))["settings"];
        EXPECT_EQ(s["timeouts"]["tcp_established"], established) << f;
        EXPECT_EQ(s["dns"]["ttl_flag"], flag) << f;
        EXPECT_EQ(s["dns"]["ttl"], ttl) << f;
    }

    // Bad arguments send nothing; an empty list is no exchange.
    const size_t sent = dev_.Count(kCmdFilterSetting);
    const FW_FloodCfg* withNull[] = {&floods[0], nullptr};
    EXPECT_EQ(FW_SetFloodCfgs(h_, two, 2, 0, withNull, statuses), 22);
    EXPECT_EQ(FW_SetFloodCfgs(nullptr, two, 2, 0, each.data(), statuses), 22);
    EXPECT_EQ(FW_SetTimeouts(h_, nullptr, 2, 0, timeouts, statuses), 22);
    EXPECT_EQ(FW_SetDnsConfigProfiles(h_, two, 2, 0, dns, nullptr), 22);
    const size_t exchanges = dev_.batches.size();
    EXPECT_EQ(FW_SetFloodCfgs(h_, nullptr, 0, 0, nullptr, nullptr), 0);
    EXPECT_EQ(dev_.Count(kCmdFilterSetting), sent);
    EXPECT_EQ(dev_.batches.size(), exchanges);
}

TEST_F(TarpLibraryTest, QueryIsAnsweredWhileAnApplyIsInFlight) {
    std::mutex m;
    std::condition_variable cv;
    bool applying = false, release = false;
    dev_.inject = [&](uint32_t cmd, const uint8_t*, size_t) -> std::optional<uint32_t> {
        if (cmd != kCmdApply)
            return std::nullopt;
        std::unique_lock<std::mutex> lock(m);
        applying = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
        return 0u;
    };
    std::thread pass([&] { EXPECT_EQ(ApplyWeb("f1"), 0); });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return applying; });
    }
    uint32_t count = 99;
    EXPECT_EQ(FW_GetAddrSetCount(h_, "f1", &count), 0);  // would hang on a shared connection
    EXPECT_EQ(count, 0u);
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    pass.join();
}

TEST_F(TarpLibraryTest, UnreachableDeviceAndLoggerBridge) {
    CfgAgent::test::LogCapture cap;
    int saved = CfgAgent::g_dfwLogLevel.load();
    CfgAgent::g_dfwLogLevel = CfgAgent::kLogTrace;
    FW_RegisterLogger(FW_AgentLogger, 4);
    dev_.Restart();
    dev_.down = true;
    EXPECT_EQ(Apply("f1", [&](CTarpFWCmdList& l) { FillList(l, {}, {web_}); }), 5);
    EXPECT_TRUE(
        cap.Contains("tarpfw: device /dev/ozy-tarp unreachable while applying to filter f1"))
        << cap.Dump();
    FW_Handle* other = nullptr;
    const char* options[] = {"FWIODeviceName", "/dev/ozy-tarp"};
    EXPECT_EQ(FW_Initialize(FW_LIB_VERSION, nullptr, 1, 2, options, &other), 5);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(FW_Initialize(0x20000, nullptr, 1, 2, options, &other), 22);
    const char* bad[] = {"NoSuchOption", "x"};
    EXPECT_EQ(FW_Initialize(FW_LIB_VERSION, nullptr, 1, 2, bad, &other), 22);
    FW_RegisterLogger(nullptr, 0);
    CfgAgent::g_dfwLogLevel = saved;
}

TEST(TarpVerbosityTest, ComponentsAndLevelsByName) {
    EXPECT_EQ(FW_StringToComponent("segment"), 3);
    EXPECT_EQ(FW_StringToComponent("ALL"), 0);
    EXPECT_EQ(FW_StringToComponent("bogus"), -1);
    EXPECT_STREQ(FW_ComponentToString(4), "query");
    EXPECT_EQ(FW_ComponentToString(6), nullptr);
    EXPECT_EQ(FW_StringToVerboseLevel("noise"), 3);
    EXPECT_EQ(FW_SetLibVerboseLevel(3, 2), 0);
    int level = -1;
    EXPECT_EQ(FW_GetLibVerboseLevel(0, &level), 0);
    EXPECT_EQ(level, 2);
    EXPECT_EQ(FW_GetLibVerboseLevel(1, &level), 0);
    EXPECT_EQ(level, 0);
    EXPECT_EQ(FW_SetLibVerboseLevel(0, 5), 22);
    EXPECT_EQ(FW_SetLibVerboseLevel(0, 0), 0);
    EXPECT_EQ(FW_GetLibVerboseLevel(0, &level), 0);
    EXPECT_EQ(level, 0);
}

}  // namespace
}  // namespace ozy::tarp::test
