// The firewall's message cache: merge of batches (deletes and adds, full syncs, moved and
// IDS-only rules, LB objects), config spans (buckets, categories, exclusion lists, refusals),
// modes, snapshots with their change sets, the category lookup, and bad input.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dfw/DfwMsgCache.h"
#include "dfw/DfwMsgParser.h"
#include "proto/lcp_firewall.pb.h"
#include "tests/support/DfwRecords.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent {
namespace {

using namespace test::dfw;
namespace fw = orvane::ozy::firewall;

DfwUuid UuidOfSection(const fw::LcpRuleMsg& r) {
    return DfwUuid{r.section_id().left(), r.section_id().right()};
}

class DfwMsgCacheTest : public ::testing::Test {
  protected:
    DfwMsgCacheTest() : saved_(g_dfwLogLevel.load()), cache_(ozy::MakeRef<DfwMsgCache>()) {
        g_dfwLogLevel = kLogTrace;
        cache_->SetNotify([this] { ++notified_; });
    }
    ~DfwMsgCacheTest() override { g_dfwLogLevel = saved_; }

    void Apply(const std::vector<CairnDBUpdateMsg>& records, bool fullSync = false) {
        cache_->UpdateDesiredState(records, fullSync);
    }
    DfwMsgSnapshot Take() { return cache_->TakeSnapshot(); }

    // A full sync of two sections, three rules and two containers, then a fresh change set.
    void Seed() {
        Apply({SectionRec(1, 10), SectionRec(2, 20), ContainerRec(50, {0x0A000001}),
               ContainerRec(51, {0x0A000002}), RuleRec(100, 1, 1), RuleRec(101, 2, 1),
               RuleRec(102, 3, 2)},
              true);
        Take();
        log_.Clear();
        notified_ = 0;
    }

    test::LogCapture log_;
    int saved_;
    ozy::RefPtr<DfwMsgCache> cache_;
    int notified_ = 0;
};

// ---- merge ------------------------------------------------------------------------------------

TEST_F(DfwMsgCacheTest, DeleteAndAddOfOneUuidInABatchKeepsTheNewRule) {
    Seed();
    auto newer = RuleRec(100, 7, 1, [](pb::RuleMsg& r) { r.set_action(1); });
    for (bool deleteFirst : {true, false}) {
        std::vector<CairnDBUpdateMsg> batch = {Deleted(RuleRec(100, 1, 1)), newer};
        if (!deleteFirst)
            std::swap(batch[0], batch[1]);
        Apply(batch);
        DfwMsgSnapshot s = Take();
        ASSERT_EQ(s.rules->count(U(100)), 1u);
        EXPECT_EQ(s.rules->at(U(100))->rule_id(), 7u);
        EXPECT_EQ(s.rules->at(U(100))->action(), 1u);
        EXPECT_TRUE(log_.Contains("dfw: ignore deleting rule for update case: id 7"));
        EXPECT_EQ(s.changes.rules, std::set<DfwUuid>{U(100)});
    }
}

TEST_F(DfwMsgCacheTest, DeleteOfAnUncachedUuidChangesNothing) {
    Seed();
    DfwMsgSnapshot before = cache_->Peek();
    Apply({Deleted(RuleRec(999, 9, 1)), Deleted(ContainerRec(998)), Deleted(SectionRec(997, 1)),
           Deleted(ChunkRec(996, 1, 1)), Deleted(GroupRec(995, 50, {7}))});
    DfwMsgSnapshot s = Take();
    EXPECT_EQ(*s.rules, *before.rules);
    EXPECT_EQ(*s.containers, *before.containers);
    EXPECT_EQ(*s.sections, *before.sections);
    EXPECT_TRUE(s.changes.rules.empty() && s.changes.containers.empty() &&
                s.changes.sections.empty() && s.changes.ruleSections.empty());
    for (const char* kind :
         {"rule", "container", "section", "ip reputation chunk", "lsp group relation"}) {
        EXPECT_TRUE(log_.Contains(std::string("dfw: DfwMsgCache: no ") + kind +
                                  " to delete, no uuid match"))
            << kind;
    }
}

TEST_F(DfwMsgCacheTest, DeletedRuleLeavesItsSectionAndIsLogged) {
    Seed();
    Apply({Deleted(RuleRec(102, 3, 2))});
    DfwMsgSnapshot s = Take();
    EXPECT_EQ(s.rules->count(U(102)), 0u);
    EXPECT_EQ(s.rules->size(), 2u);
    EXPECT_EQ(s.changes.ruleSections, std::set<DfwUuid>{U(2)});
    EXPECT_TRUE(
        log_.Contains("dfw: DfwMsgCache: deleted rule. id: 3, from section: " + U(2).Text()));
}

TEST_F(DfwMsgCacheTest, FullSyncReplacesEverything) {
    Seed();
    Apply({SectionRec(3, 30), RuleRec(103, 4, 3)}, true);
    DfwMsgSnapshot s = Take();
    EXPECT_TRUE(s.changes.fullSync);
    ASSERT_EQ(s.sections->size(), 1u);
    EXPECT_EQ(s.sections->count(U(3)), 1u);
    ASSERT_EQ(s.rules->size(), 1u);
    EXPECT_TRUE(s.containers->empty());
    EXPECT_TRUE(
        log_.Contains("dfw: DfwMsgCache: Update done. 1 sections, 1 rules, 0 containers, "
                      "0 lsp group relations"));
}

TEST_F(DfwMsgCacheTest, RuleMovedToAnotherSectionLeavesTheOldOne) {
    Seed();
    Apply({RuleRec(100, 1, 2)});
    DfwMsgSnapshot s = Take();
    ASSERT_EQ(s.rules->size(), 3u);
    EXPECT_EQ(UuidOfSection(*s.rules->at(U(100))), U(2));
    EXPECT_EQ(s.changes.ruleSections, (std::set<DfwUuid>{U(1), U(2)}));
}

TEST_F(DfwMsgCacheTest, RuleTurnedIdsOnlyIsDeletedAndLbObjectsAreKeptApart) {
    Seed();
    Apply({RuleRec(100, 1, 1, [](pb::RuleMsg& r) { r.set_enforcement(2); }),
           RuleRec(101, 2, 1, [](pb::RuleMsg& r) { r.set_enforcement(4); }),
           SectionRec(5, 50, [](pb::RuleSectionMsg& s) { s.set_enforcement(4); })});
    DfwMsgSnapshot s = Take();
    EXPECT_EQ(s.rules->count(U(100)), 0u);
    EXPECT_EQ(s.lbRules->count(U(100)), 0u);
    EXPECT_EQ(s.rules->count(U(101)), 0u);
    EXPECT_EQ(s.lbRules->count(U(101)), 1u);
    EXPECT_EQ(s.lbSections->count(U(5)), 1u);
    EXPECT_EQ(s.sections->count(U(5)), 0u);
    EXPECT_EQ(s.changes.rules, (std::set<DfwUuid>{U(100), U(101)}));
    EXPECT_TRUE(log_.Contains("dfw: ignoring/deleting a rule that shouldn't be enforced on dfw"));
    EXPECT_TRUE(log_.Contains("dfw: adding a lb rule. id: 2, uuid: " + U(101).Text()));
    EXPECT_TRUE(log_.Contains("dfw: adding a lb section. uuid: " + U(5).Text()));
    // An LB rule deleted later is found in its own map.
    Apply({Deleted(RuleRec(101, 2, 1))});
    EXPECT_TRUE(Take().lbRules->empty());
}

TEST_F(DfwMsgCacheTest, RuleWithoutIdOrSectionIsRefused) {
    Seed();
    Apply({RuleRec(110, 10, 1, [](pb::RuleMsg& r) { r.clear_rule_id(); }),
           RuleRec(111, 11, 1, [](pb::RuleMsg& r) { r.clear_section_id(); })});
    EXPECT_EQ(Take().rules->size(), 3u);
    EXPECT_EQ(log_.Count("dfw: bad rule with no id or section id"), 2u);
}

TEST_F(DfwMsgCacheTest, MaliciousContainerAddedOrDeletedReconfiguresEveryPort) {
    Seed();
    auto bad =
        ContainerRec(60, {0x0B000001}, [](pb::ContainerMsg& c) { c.set_ip_reputation(true); });
    Apply({bad});
    EXPECT_TRUE(Take().changes.allLsp);
    EXPECT_TRUE(log_.Contains("dfw: Setting _all_lsp to true due to malicious containeruuid: " +
                              U(60).Text()));
    Apply({ContainerRec(50, {0x0A000009})});
    EXPECT_FALSE(Take().changes.allLsp);
    Apply({Deleted(bad)});
    EXPECT_TRUE(Take().changes.allLsp);
}

TEST_F(DfwMsgCacheTest, GroupRelationsOfPortsOnly) {
    Seed();
    Apply({GroupRec(70, 50, {7, 8}), GroupRec(71, 51, {})});
    DfwMsgSnapshot s = Take();
    EXPECT_EQ(s.groups->size(), 1u);
    EXPECT_EQ(s.groups->count(U(70)), 1u);
    EXPECT_TRUE(log_.Contains("dfw: ignore non lsp entity group relation msg"));
    // A relation that no longer names ports is dropped.
    Apply({GroupRec(70, 50, {})});
    EXPECT_TRUE(Take().groups->empty());
}

// ---- context profiles ---------------------------------------------------------------------------

TEST_F(DfwMsgCacheTest, ContextProfileBecomesAContainerOfKeyValueAttributes) {
    Apply({ProfileRec(80, {{"APP_ID", {"HTTP", "SSL"}},
                           {"", {"x"}},
                           {"DOMAIN_NAME", {}},
                           {"URL_CATEGORY", {"news"}}})});
    DfwMsgSnapshot s = Take();
    ASSERT_EQ(s.containers->count(U(80)), 1u);
    const fw::LcpContainerMsg& c = *s.containers->at(U(80));
    EXPECT_EQ(c.name(), "profile-80");
    ASSERT_EQ(c.attributes_size(), 3);
    EXPECT_EQ(c.attributes(0).key() + "=" + c.attributes(0).value(), "APP_ID=HTTP");
    EXPECT_EQ(c.attributes(1).key() + "=" + c.attributes(1).value(), "APP_ID=SSL");
    EXPECT_EQ(c.attributes(2).key() + "=" + c.attributes(2).value(), "URL_CATEGORY=news");
    EXPECT_TRUE(log_.Contains("dfw: attribute key is empty"));
    EXPECT_TRUE(log_.Contains("dfw: attribute key DOMAIN_NAME value is empty"));
}

class DfwIdsProfileTest : public DfwMsgCacheTest,
                          public ::testing::WithParamInterface<const char*> {};

TEST_P(DfwIdsProfileTest, GivesNoContainerAndRemovesAFormerOne) {
    Apply({ProfileRec(81, {{"APP_ID", {"HTTP"}}})});
    ASSERT_EQ(Take().containers->count(U(81)), 1u);
    Apply({ProfileRec(81, {{"APP_ID", {"HTTP"}}, {GetParam(), {"on"}}}),
           ProfileRec(82, {{GetParam(), {"on"}}})});
    DfwMsgSnapshot s = Take();
    EXPECT_EQ(s.containers->count(U(81)), 0u);
    EXPECT_EQ(s.containers->count(U(82)), 0u);
    EXPECT_EQ(s.changes.containers, std::set<DfwUuid>{U(81)});
    EXPECT_TRUE(log_.Contains("dfw: skipping context profile (" + std::to_string(U(82).left) +
                              ", 82) with IDS/MPS attribute key"));
}

INSTANTIATE_TEST_SUITE_P(Keys, DfwIdsProfileTest, ::testing::Values("IDS", "MPS"));

// ---- config spans -------------------------------------------------------------------------------

const std::vector<BucketArgs> kTwoBuckets = {{"PRE-FILTER", 1, 10}, {"FILTER", 20, 30}};

TEST_F(DfwMsgCacheTest, CategoryLookupTakesTheFirstBucketHoldingTheIdBothEndsIncluded) {
    Apply({SpanRec(90, kTwoBuckets)});
    DfwMsgSnapshot s = Take();
    const struct {
        uint32_t id;
        int bucket;  // -1: none
    } cases[] = {{0, -1},  {1, 0},  {10, 0}, {11, -1}, {15, -1},
                 {19, -1}, {20, 1}, {30, 1}, {31, -1}};
    for (const auto& c : cases) {
        auto found = DfwMsgCache::FindBucket(*s.buckets, c.id);
        EXPECT_EQ(found ? static_cast<int>(*found) : -1, c.bucket) << c.id;
    }
    EXPECT_TRUE(log_.Contains("dfw:   category id 10 is in bucket PRE-FILTER."));
    EXPECT_TRUE(log_.Contains("dfw:   category id 15 is not in bucket FILTER."));
    // Overlapping ranges: the first in order wins.
    std::vector<DfwBucket> overlap = {{"A", 5, 9}, {"B", 1, 100}};
    EXPECT_EQ(DfwMsgCache::FindBucket(overlap, 7), std::optional<size_t>(0));
    EXPECT_EQ(DfwMsgCache::FindBucket(overlap, 2), std::optional<size_t>(1));
}

class DfwBucketCountTest : public DfwMsgCacheTest,
                           public ::testing::WithParamInterface<std::vector<BucketArgs>> {};

TEST_P(DfwBucketCountTest, RefusedWholeKeepingThePreviousBucketsAndTheRestOfTheBatch) {
    Apply({SpanRec(90, kTwoBuckets), RuleRec(100, 1, 1)}, true);
    Take();
    for (bool fullSync : {false, true}) {
        log_.Clear();
        Apply({SpanRec(90, GetParam()), SectionRec(1, 1), RuleRec(101, 2, 1)}, fullSync);
        DfwMsgSnapshot s = Take();
        ASSERT_EQ(s.buckets->size(), 2u) << fullSync;
        EXPECT_EQ((*s.buckets)[1].name, "FILTER");
        EXPECT_EQ(s.rules->count(U(101)), 1u) << "the rest of the batch is applied";
        EXPECT_EQ(s.spans->count(U(90)), 1u) << "the previous span is kept";
        EXPECT_FALSE(s.changes.span);
        EXPECT_TRUE(log_.Contains("dfw: Expected 2 category buckets. Got " +
                                  std::to_string(GetParam().size())));
        EXPECT_TRUE(
            log_.ContainsWithCode("dfw: config span " + U(90).Text() + " refused", "LCP01105"));
        EXPECT_NE(s.spanStatus.find("config span " + U(90).Text() + " refused"), std::string::npos);
    }
    // A good span later clears the status.
    Apply({SpanRec(90, {{"PRE-FILTER", 1, 5}, {"FILTER", 6, 9}})});
    DfwMsgSnapshot s = Take();
    EXPECT_EQ(s.spanStatus, "");
    EXPECT_EQ((*s.buckets)[0].end, 5u);
}

INSTANTIATE_TEST_SUITE_P(Counts, DfwBucketCountTest,
                         ::testing::Values(std::vector<BucketArgs>{{"ONLY", 1, 10}},
                                           std::vector<BucketArgs>{
                                               {"A", 1, 10}, {"B", 11, 20}, {"C", 21, 30}}));

struct SpanRefusal {
    const char* name;
    std::function<void(pb::ConfigSpanMsg&)> fill;
    const char* line;
    const char* code;  // "" when the line carries none
};

class DfwSpanRefusalTest : public DfwMsgCacheTest,
                           public ::testing::WithParamInterface<SpanRefusal> {};

TEST_P(DfwSpanRefusalTest, RefusesTheSpanAlone) {
    Apply({SpanRec(90, kTwoBuckets)});
    Take();
    Apply({SpanRec(91, kTwoBuckets, GetParam().fill)});
    DfwMsgSnapshot s = Take();
    EXPECT_EQ(s.spans->count(U(91)), 0u);
    EXPECT_EQ(s.spans->count(U(90)), 1u);
    EXPECT_EQ(s.buckets->size(), 2u);
    if (std::string(GetParam().code).empty())
        EXPECT_TRUE(log_.Contains(GetParam().line)) << log_.Dump();
    else
        EXPECT_TRUE(log_.ContainsWithCode(GetParam().line, GetParam().code)) << log_.Dump();
    EXPECT_NE(s.spanStatus, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DfwSpanRefusalTest,
    ::testing::Values(
        SpanRefusal{"NoFilterType", [](pb::ConfigSpanMsg& s) { s.clear_span_type(); },
                    "dfw:     bad dfw/si config_span: no filter type", "LCP01123"},
        SpanRefusal{
            "BucketsAndCategories",
            [](pb::ConfigSpanMsg& s) { s.mutable_categories()->add_categories()->set_name("c"); },
            "dfw: config span message should never have both category bucket and list.", ""},
        SpanRefusal{"EmptyCategoryName",
                    [](pb::ConfigSpanMsg& s) {
                        s.clear_category_buckets();
                        s.mutable_categories()->add_categories()->set_id(3);
                    },
                    "dfw: invalid: empty category name", ""},
        SpanRefusal{"EmptyBucketName",
                    [](pb::ConfigSpanMsg& s) {
                        s.mutable_category_buckets()->mutable_buckets(0)->clear_name();
                    },
                    "dfw: invalid: empty bucket name", ""},
        SpanRefusal{"BucketStartAtEnd",
                    [](pb::ConfigSpanMsg& s) {
                        s.mutable_category_buckets()->mutable_buckets(1)->set_range_start(30);
                    },
                    "dfw: invalid: bucket range start = 30, end = 30", ""}),
    [](const ::testing::TestParamInfo<SpanRefusal>& i) { return std::string(i.param.name); });

TEST_F(DfwMsgCacheTest, SpansOnlyBatchWakesTheLoopWithItsExclusionLists) {
    Seed();
    Apply({SpanRec(90, {}, [](pb::ConfigSpanMsg& s) {
        s.add_dfw_excluded_vifs("vif-b");
        s.add_dfw_excluded_vifs("vif-a");
        s.add_si_excluded_vifs("vif-c");
    })});
    EXPECT_TRUE(log_.Contains("dfw: No config apart from config span, do nothing"));
    EXPECT_EQ(notified_, 1);
    DfwMsgSnapshot s = Take();
    EXPECT_TRUE(s.changes.span);
    EXPECT_EQ(*s.dfwExcludedVifs, (std::vector<std::string>{"vif-a", "vif-b"}));
    EXPECT_EQ(*s.siExcludedVifs, std::vector<std::string>{"vif-c"});
    EXPECT_TRUE(log_.Contains("dfw: DfwMsgCache: excluding 2 vifs(dfw). Full sync case: false"));
    // The same span again changes nothing and wakes nobody.
    Apply({SpanRec(90, {}, [](pb::ConfigSpanMsg& s) {
        s.add_dfw_excluded_vifs("vif-a");
        s.add_dfw_excluded_vifs("vif-b");
        s.add_si_excluded_vifs("vif-c");
    })});
    EXPECT_EQ(notified_, 1);
    // Spans of other filter types are skipped; deleting a span drops its exclusions.
    Apply({SpanRec(92, {}, [](pb::ConfigSpanMsg& s) {
        s.set_span_type(2);
        s.add_dfw_excluded_vifs("vif-z");
    })});
    EXPECT_TRUE(log_.Contains("dfw: skip config_span of non dfw/si type"));
    EXPECT_EQ(cache_->Peek().dfwExcludedVifs->size(), 2u);
    Apply({Deleted(SpanRec(90, {}))});
    EXPECT_TRUE(cache_->Peek().dfwExcludedVifs->empty());
    EXPECT_EQ(notified_, 2);
}

TEST_F(DfwMsgCacheTest, CategoriesAndBucketsReloadedOnlyWhenTheyDiffer) {
    auto withCategories = [](pb::ConfigSpanMsg& s) {
        pb::CategoryMsg* c = s.mutable_categories()->add_categories();
        c->set_name("Emergency");
        c->set_id(3);
        c->set_priority(1);
        c->set_flags(1);
    };
    Apply({SpanRec(90, kTwoBuckets), SpanRec(91, {}, withCategories)});
    DfwMsgSnapshot s = Take();
    ASSERT_EQ(s.categories->size(), 1u);
    EXPECT_EQ(s.categories->at(3).name, "Emergency");
    EXPECT_TRUE(log_.Contains("dfw:   adding bucket: {PRE-FILTER, 1, 10}"));
    EXPECT_TRUE(log_.Contains("dfw:   adding category: {Emergency, 3, 1, 1}"));
    log_.Clear();
    Apply({SpanRec(90, kTwoBuckets)});
    EXPECT_TRUE(log_.Contains("dfw: No updates found. Keeping cached buckets without updating."));
    EXPECT_FALSE(Take().changes.span);
    Apply({SpanRec(90, {{"PRE-FILTER", 1, 10}, {"FILTER", 20, 31}})});
    EXPECT_TRUE(
        log_.Contains("dfw: New bucket msg and cached bucket info are different. Updating."));
    EXPECT_TRUE(Take().changes.span);
}

// ---- modes and barrier --------------------------------------------------------------------------

TEST_F(DfwMsgCacheTest, ModesFollowTheGlobalConfigAndTogglesAndResetOnAFullSyncWithout) {
    Apply({GlobalRec([](pb::GlobalConfigMsg& g) {
               g.set_mp_version_major(4);
               g.set_mp_version_minor(2);
               g.set_global_addrset_mode(true);
               g.set_fastpath_lookup_mode(true);
           }),
           ToggleRec(true, true), BarrierRec(17)});
    DfwMsgSnapshot s = Take();
    EXPECT_EQ(s.modes.mpVersionMajor, 4u);
    EXPECT_TRUE(s.modes.globalAddrSet && s.modes.fastPathLookup && !s.modes.macSetOptimization);
    EXPECT_TRUE(s.modes.ids && s.modes.idfw);
    EXPECT_EQ(s.barrier, 17u);
    EXPECT_TRUE(s.changes.modes && s.changes.barrier);
    EXPECT_TRUE(log_.Contains("dfw: DfwMsgCache: mp version updated to 4.2"));
    EXPECT_TRUE(log_.Contains("dfw: DfwMsgCache: global address mode turned on"));
    EXPECT_TRUE(log_.Contains("dfw: DfwMsgCache: updated barrier number 17"));

    // Two global configs in one batch: the second is applied.
    Apply({GlobalRec([](pb::GlobalConfigMsg& g) { g.set_macset_optimization_mode(true); }),
           GlobalRec([](pb::GlobalConfigMsg& g) { g.set_fastpath_lookup_mode(true); })});
    s = Take();
    EXPECT_TRUE(
        log_.Contains("dfw: received two global config updates in one cairndb transaction"));
    EXPECT_TRUE(s.modes.fastPathLookup && !s.modes.macSetOptimization && !s.modes.globalAddrSet);

    // A full sync without global config or toggle: the defaults.
    Apply({SectionRec(1, 1)}, true);
    s = Take();
    EXPECT_EQ(s.modes, DfwModes{});
    EXPECT_TRUE(log_.Contains("dfw: DfwMsgCache: fastpath lookup mode turned off"));
    EXPECT_EQ(s.barrier, 17u) << "the barrier number is not a mode";

    Apply({BarrierRec(18, Operation::OPERATION_DELETE)});
    EXPECT_TRUE(log_.Contains("dfw: unexpected barrier update type: 2"));
    EXPECT_EQ(Take().barrier, 17u);
}

// ---- snapshots ----------------------------------------------------------------------------------

TEST_F(DfwMsgCacheTest, SnapshotsStayAsTakenAndCarryOnlyLaterChanges) {
    Seed();
    DfwMsgSnapshot old = cache_->Peek();
    EXPECT_TRUE(old.changes.Empty());
    const fw::LcpRuleMsg* oldRule = old.rules->at(U(100)).get();
    Apply({RuleRec(100, 1, 1, [](pb::RuleMsg& r) { r.set_action(1); }), ContainerRec(52)});
    Apply({Deleted(RuleRec(101, 2, 1))});
    // The old view is untouched: same objects, same counts.
    EXPECT_EQ(old.rules->size(), 3u);
    EXPECT_EQ(old.rules->at(U(100)).get(), oldRule);
    EXPECT_EQ(oldRule->action(), 0u);
    EXPECT_EQ(old.containers->size(), 2u);
    DfwMsgSnapshot now = Take();
    EXPECT_EQ(now.generation, old.generation + 2);
    EXPECT_EQ(now.changes.rules, (std::set<DfwUuid>{U(100), U(101)}));
    EXPECT_EQ(now.changes.containers, std::set<DfwUuid>{U(52)});
    EXPECT_FALSE(now.changes.fullSync);
    // Unchanged objects are shared, not copied.
    EXPECT_EQ(now.rules->at(U(102)).get(), old.rules->at(U(102)).get());
    EXPECT_TRUE(Take().changes.Empty());
    EXPECT_EQ(notified_, 2);
}

// ---- bad input ----------------------------------------------------------------------------------

struct BadInput {
    const char* name;
    CairnDBUpdateMsg record;
    const char* line;
    const char* code;
};

CairnDBUpdateMsg Garbled(ObjectType type) {
    CairnDBUpdateMsg m = RuleRec(100, 1, 1);
    m.objType = type;
    m.data = std::string("\x0a\xff\xff\xff\xff\x0f", 6);
    return m;
}

CairnDBUpdateMsg RuleWith(const std::function<void(pb::RuleMsg&)>& fill) {
    return RuleRec(100, 99, 1, fill);
}

pb::ProtocolSpecMsg* Tcp(pb::RuleMsg& r) {
    pb::ProtocolSpecMsg* p = r.add_services();
    p->set_ip_protocol(6);
    return p;
}

const char* const kUnconvertible = "dfw: Unable to convert the cairndb rule to dfw Rule";

std::vector<BadInput> BadInputs() {
    std::vector<BadInput> v = {
        {"GarbledRule", Garbled(ObjectType::RULE), "dfw: Unable to parse the cairndb rule",
         "LCP01153"},
        {"GarbledSection", Garbled(ObjectType::RULE_SECTION), "dfw: Unable to parse the section",
         "LCP01153"},
        {"GarbledContainer", Garbled(ObjectType::CONTAINER), "dfw: Unable to parse the container",
         "LCP01153"},
        {"GarbledProfile", Garbled(ObjectType::CONTEXT_PROFILE),
         "dfw: Unable to parse the context profile", "LCP01153"},
        {"GarbledSpan", Garbled(ObjectType::CONFIG_SPAN), "dfw: Unable to parse config span",
         "LCP01153"},
        {"GarbledChunk", Garbled(ObjectType::IP_REPUTATION_CONFIG),
         "dfw: Unable to parse ip reputation config", "LCP01153"},
        {"GarbledRelation", Garbled(ObjectType::ENTITY_GROUP_RELATION),
         "dfw: Unable to parse the entity group relation", "LCP01153"},
        {"GarbledGlobal", Garbled(ObjectType::GLOBAL_CONFIG),
         "dfw: Unable to parse the global config", "LCP01153"},
        {"GarbledToggle", Garbled(ObjectType::SECURITY_FEATURE_TOGGLE), "dfw: Unable to parse the",
         "LCP01153"},
        {"GarbledBarrier", Garbled(ObjectType::BARRIER), "dfw: Unable to parse the barrier",
         "LCP01153"},
        {"UnexpectedType", Garbled(ObjectType::LOG_SWITCH_CONFIG),
         "dfw: unexpected cairndb object type 1", "LCP01154"},
        {"Ipv6Of15Bytes", RuleWith([](pb::RuleMsg& r) {
             r.mutable_source()->add_ip_addresses()->mutable_ip()->set_ipv6(std::string(15, 'x'));
         }),
         kUnconvertible, "LCP01153"},
        {"Ipv4Prefix33", RuleWith([](pb::RuleMsg& r) {
             AddIpv4(r.mutable_destination()->add_ip_addresses(), 1, 33);
         }),
         kUnconvertible, "LCP01153"},
        {"Ipv6Prefix129", RuleWith([](pb::RuleMsg& r) {
             pb::FirewallAddressMsg* a = r.mutable_exclude_source()->add_ip_addresses();
             a->mutable_ip()->set_ipv6(std::string(16, '\0'));
             a->set_prefix_length(129);
         }),
         kUnconvertible, "LCP01153"},
        {"AddressWithoutValue",
         RuleWith([](pb::RuleMsg& r) { r.mutable_source()->add_ip_addresses(); }), kUnconvertible,
         "LCP01153"},
        {"Port65536",
         RuleWith([](pb::RuleMsg& r) { Tcp(r)->add_destination_ports()->set_start(65536); }),
         kUnconvertible, "LCP01153"},
        {"PortStartAboveEnd", RuleWith([](pb::RuleMsg& r) {
             pb::PortRangeMsg* p = Tcp(r)->add_source_ports();
             p->set_start(90);
             p->set_end(80);
         }),
         kUnconvertible, "LCP01153"},
        {"Icmp256", RuleWith([](pb::RuleMsg& r) {
             pb::ProtocolSpecMsg* p = r.add_services();
             p->set_ip_protocol(1);
             p->mutable_icmp()->set_type(256);
         }),
         kUnconvertible, "LCP01153"},
        {"ServicesOverCap", RuleWith([](pb::RuleMsg& r) {
             for (size_t i = 0; i <= DfwMsgParser::kMaxListEntries; ++i)
                 r.add_services();
         }),
         kUnconvertible, "LCP01153"},
        {"ContainerPrefix33",
         ContainerRec(50, {}, [](pb::ContainerMsg& c) { AddIpv4(c.add_ip_addresses(), 1, 33); }),
         "dfw: Unable to parse the container", "LCP01153"},
        {"AttributeValueOver1024", ProfileRec(50, {{"DOMAIN_NAME", {std::string(1025, 'a')}}}),
         "dfw: Unable to parse the context profile", "LCP01153"},
        {"ChunkOverOneMebiEntries", ChunkRec(120, 1, DfwMsgParser::kMaxChunkEntries + 1),
         "dfw: Unable to parse ip reputation config", "LCP01153"},
    };
    CairnDBUpdateMsg ragged = ChunkRec(120, 1, 2);
    pb::IpReputationConfigMsg c;
    c.ParseFromString(ragged.data);
    c.set_entries(std::string(33, '\x01'));
    ragged.data = c.SerializeAsString();
    v.push_back(
        {"ChunkNotWholeEntries", ragged, "dfw: Unable to parse ip reputation config", "LCP01153"});
    return v;
}

class DfwBadInputTest : public DfwMsgCacheTest, public ::testing::WithParamInterface<BadInput> {};

TEST_P(DfwBadInputTest, IsLoggedWithItsCodeAndDroppedLeavingTheCacheIntact) {
    Seed();
    Apply({ChunkRec(120, 1, 3)});
    DfwMsgSnapshot before = Take();
    Apply({GetParam().record, RuleRec(103, 4, 2)});
    DfwMsgSnapshot after = Take();
    EXPECT_TRUE(log_.ContainsWithCode(GetParam().line, GetParam().code)) << log_.Dump();
    // The previous copies stay, the rest of the batch is applied.
    EXPECT_EQ(after.rules->at(U(100)), before.rules->at(U(100)));
    EXPECT_EQ(after.containers->at(U(50)), before.containers->at(U(50)));
    EXPECT_EQ(after.chunks->at(U(120)), before.chunks->at(U(120)));
    EXPECT_EQ(after.rules->count(U(103)), 1u);
    EXPECT_EQ(after.changes.rules, std::set<DfwUuid>{U(103)});
    EXPECT_TRUE(after.changes.containers.empty() && after.changes.chunks.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, DfwBadInputTest, ::testing::ValuesIn(BadInputs()),
                         [](const ::testing::TestParamInfo<BadInput>& i) {
                             return std::string(i.param.name);
                         });

}  // namespace
}  // namespace CfgAgent
