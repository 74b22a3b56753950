// The converted firewall configuration: an incremental build equals a full one after random
// sequences of rule, section, container, group, span and mode changes; sections placed by bucket
// and priority with layer-2 rules apart; time-based sections held; failed builds report their
// realization error and leave nothing half built.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "dfw/DfwCache.h"
#include "dfw/DfwLog.h"
#include "dfw/DfwMsgCache.h"
#include "platform/tarp/CTarpFWAddrSet.h"
#include "platform/tarp/CTarpFWContainer.h"
#include "platform/tarp/CTarpFWRule.h"
#include "platform/tarp/CTarpFWSegment.h"
#include "tests/support/DfwRecords.h"

namespace CfgAgent {
namespace {

using namespace test::dfw;

// Rule ids of a configuration's layer-3 (or layer-2) rules, in order.
std::vector<uint32_t> Ids(const DfwCache::FilterConfig& c, bool layer2 = false) {
    std::vector<uint32_t> out;
    for (const auto& seg : layer2 ? c.l2 : c.l3) {
        for (const auto& r : seg->rules())
            out.push_back(r->id());
    }
    return out;
}

std::vector<std::string> Names(const DfwCache::FilterConfig& c) {
    std::vector<std::string> out;
    for (const auto& s : c.objects->addrSets)
        out.push_back(s->name());
    for (const auto& s : c.objects->containers)
        out.push_back(s->name());
    return out;
}

class DfwCacheTest : public ::testing::Test {
  protected:
    DfwCacheTest() : saved_(g_dfwLogLevel.load()), msgs_(ozy::MakeRef<DfwMsgCache>()) {
        g_dfwLogLevel = kLogWarn;
    }
    ~DfwCacheTest() override { g_dfwLogLevel = saved_; }

    // Delivers a batch and builds from the new snapshot on top of the last good cache.
    std::shared_ptr<const DfwCache> Step(const std::vector<CairnDBUpdateMsg>& batch,
                                         bool fullSync = false) {
        msgs_->UpdateDesiredState(batch, fullSync);
        snap_ = msgs_->TakeSnapshot();
        changes_.Merge(snap_.changes);
        error_ = DfwCache::Error{};
        auto built = DfwCache::Build(snap_, changes_, good_, &error_, &stats_);
        if (built) {
            good_ = built;
            changes_ = DfwChangeSet{};
        }
        return built;
    }

    DfwCache::FilterConfig Config(uint64_t port, DfwCache::Selection how = {}) {
        return *good_->ConfigOf(U(port), how);
    }

    int saved_;
    ozy::RefPtr<DfwMsgCache> msgs_;
    DfwMsgSnapshot snap_;
    DfwChangeSet changes_;
    std::shared_ptr<const DfwCache> good_;
    DfwCache::Error error_;
    DfwCache::Stats stats_;
};

TEST_F(DfwCacheTest, SectionsFollowTheirBucketsAndPrioritiesWithLayer2Apart) {
    ASSERT_TRUE(Step(
        {SpanRec(80, {{"PRE-FILTER", 1, 99}, {"FILTER", 100, 199}}),
         // Category 150 (FILTER bucket) at priority 1, category 5 (PRE-FILTER) at priority 9,
         // no category (FILTER bucket) at priority 2, an IDS section (bucket 0) at priority 50.
         SectionRec(1, 1, [](pb::RuleSectionMsg& s) { s.mutable_category()->set_id(150); }),
         SectionRec(2, 9, [](pb::RuleSectionMsg& s) { s.mutable_category()->set_id(5); }),
         SectionRec(3, 2), SectionRec(4, 50, [](pb::RuleSectionMsg& s) { s.set_kind(4); }),
         RuleRec(101, 11, 1), RuleRec(102, 12, 1, [](pb::RuleMsg& r) { r.set_priority(1); }),
         RuleRec(103, 21, 2), RuleRec(104, 31, 3), RuleRec(105, 41, 4),
         RuleRec(106, 32, 3, [](pb::RuleMsg& r) { r.set_type(1); })},
        true));
    DfwCache::FilterConfig c = Config(1);
    EXPECT_EQ(Ids(c), (std::vector<uint32_t>{41, 21, 12, 11, 31}));
    EXPECT_EQ(Ids(c, true), (std::vector<uint32_t>{32}));
    EXPECT_EQ(c.l3Rules, 5u);
    EXPECT_EQ(c.l2Rules, 1u);
}

TEST_F(DfwCacheTest, TimeBasedSectionsAreHeldOnRequest) {
    ASSERT_TRUE(Step(
        {SectionRec(1, 1), SectionRec(2, 2, [](pb::RuleSectionMsg& s) { s.set_time_based(true); }),
         RuleRec(101, 1, 1), RuleRec(102, 2, 2)},
        true));
    DfwCache::Selection held;
    held.timeBased = false;
    DfwCache::FilterConfig c = Config(1, held);
    EXPECT_EQ(Ids(c), (std::vector<uint32_t>{1}));
    EXPECT_EQ(c.heldSections, (std::vector<std::string>{U(2).Text()}));
    EXPECT_EQ(Ids(Config(1)), (std::vector<uint32_t>{1, 2}));
}

TEST_F(DfwCacheTest, RulesReachTheirPortsAndPortsSharingGroupsShareOneConfiguration) {
    ASSERT_TRUE(Step(
        {SectionRec(1, 1), ContainerRec(60), GroupRec(70, 60, {1, 2, 3}),
         RuleRec(101, 1, 1,
                 [](pb::RuleMsg& r) { *r.mutable_applied_to()->add_container_ids() = Uuid(60); }),
         RuleRec(102, 2, 1,
                 [](pb::RuleMsg& r) {
                     *r.mutable_applied_to()->add_logical_switch_port_ids() = Uuid(4);
                 }),
         RuleRec(103, 3, 1)},
        true));
    EXPECT_EQ(Ids(Config(1)), (std::vector<uint32_t>{1, 3}));
    EXPECT_EQ(Ids(Config(4)), (std::vector<uint32_t>{2, 3}));
    EXPECT_EQ(Ids(Config(5)), (std::vector<uint32_t>{3}));
    Config(2);
    Config(3);
    EXPECT_EQ(good_->configCount(), 3u) << "ports 1-3 share one configuration";
    EXPECT_EQ(good_->ConfigOf(U(1), {}).get(), good_->ConfigOf(U(3), {}).get());
}

// An incremental build that keeps every section in place makes each port's configuration from
// the previous build's one (the rebuilt sections' parts made again, the objects kept when the
// rebuilt sections name the same ones): always what a full rebuild makes.
TEST_F(DfwCacheTest, ConfigurationsCarryOverFromThePreviousBuild) {
    auto source = [](uint64_t container) {
        return [container](pb::RuleMsg& r) {
            *r.mutable_source()->add_container_ids() = Uuid(container);
        };
    };
    ASSERT_TRUE(Step(
        {SectionRec(1, 1), SectionRec(2, 2), SectionRec(3, 3), ContainerRec(60, {0x0A000001}),
         ContainerRec(61, {0x0A000002}), GroupRec(70, 60, {1, 2}), RuleRec(101, 1, 1, source(60)),
         RuleRec(102, 2, 2,
                 [](pb::RuleMsg& r) { *r.mutable_applied_to()->add_container_ids() = Uuid(60); }),
         RuleRec(103, 3, 3)},
        true));
    struct Case {
        const char* what;
        std::vector<CairnDBUpdateMsg> batch;
        bool objectsKept;  // the configurations hold the previous build's object list
    };
    const std::vector<Case> cases = {
        {"a rule's action flipped",
         {RuleRec(103, 3, 3, [](pb::RuleMsg& r) { r.set_action(1); })},
         true},
        {"a rule names another container", {RuleRec(103, 3, 3, source(61))}, false},
        {"the same rule names none again", {RuleRec(103, 3, 3)}, false},
        {"a rule applied to a group now applies everywhere", {RuleRec(102, 2, 2)}, true},
        {"a rule in a new section", {SectionRec(4, 4), RuleRec(104, 4, 4)}, false},
        {"a section turns time-based",
         {SectionRec(4, 4, [](pb::RuleSectionMsg& m) { m.set_time_based(true); })},
         false},
        {"a container's address changed", {ContainerRec(60, {0x0A000009})}, false},
        {"a rule's action flipped again", {RuleRec(101, 1, 1, source(60))}, true},
    };
    auto configs = [](const DfwCache& cache) {
        std::vector<std::shared_ptr<const DfwCache::FilterConfig>> out;
        for (uint64_t port : {1, 2, 5}) {
            for (bool timeBased : {true, false}) {
                DfwCache::Selection how;
                how.timeBased = timeBased;
                out.push_back(cache.ConfigOf(U(port), how));
            }
        }
        return out;
    };
    auto before = configs(*good_);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(Step(c.batch));
        EXPECT_FALSE(stats_.full);
        DfwChangeSet all;
        all.fullSync = true;
        DfwCache::Error error;
        auto full = DfwCache::Build(snap_, all, nullptr, &error);
        ASSERT_TRUE(full);
        auto now = configs(*good_);
        auto want = configs(*full);
        for (size_t i = 0; i < now.size(); ++i) {
            SCOPED_TRACE(i);
            const DfwCache::FilterConfig& a = *now[i];
            const DfwCache::FilterConfig& b = *want[i];
            EXPECT_EQ(Ids(a), Ids(b));
            EXPECT_EQ(a.heldSections, b.heldSections);
            EXPECT_EQ(a.appliedTo, b.appliedTo);
            EXPECT_EQ(a.l3Rules, b.l3Rules);
            EXPECT_EQ(Names(a), Names(b));
            ASSERT_EQ(a.objects->refs.size(), b.objects->refs.size());
            for (size_t k = 0; k < a.objects->refs.size(); ++k)
                EXPECT_EQ(a.objects->refs[k].hash, b.objects->refs[k].hash);
            EXPECT_EQ(a.hash, b.hash);
            EXPECT_EQ(a.objects == before[i]->objects, c.objectsKept);
        }
        before = now;
    }
}

struct FailureCase {
    const char* what;
    std::vector<CairnDBUpdateMsg> batch;
    uint32_t code;
    const char* meta;
};

TEST_F(DfwCacheTest, AFailedBuildReportsItsErrorAndKeepsNothingHalfBuilt) {
    ASSERT_TRUE(Step({SectionRec(1, 1), RuleRec(101, 1, 1)}, true));
    const FailureCase cases[] = {
        {"a rule naming a container that is not cached",
         {RuleRec(102, 7, 1,
                  [](pb::RuleMsg& r) { *r.mutable_source()->add_container_ids() = Uuid(55); })},
         1000,
         "rule id 7, section "},
        {"a context profile whose key the library does not know",
         {ProfileRec(56, {{"NO_SUCH_KEY", {"x"}}})},
         1102,
         ""},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.what);
        const auto good = good_;
        EXPECT_EQ(Step(c.batch), nullptr);
        EXPECT_EQ(error_.code, c.code);
        EXPECT_EQ(error_.meta.substr(0, std::string(c.meta).size()), c.meta);
        EXPECT_EQ(good_, good) << "the last good cache stays";
        // The change stays pending until a build succeeds.
        EXPECT_FALSE(changes_.Empty());
        std::vector<CairnDBUpdateMsg> undo;
        for (const auto& rec : c.batch)
            undo.push_back(Deleted(rec));
        ASSERT_NE(Step(undo), nullptr);
        EXPECT_EQ(Ids(Config(1)), (std::vector<uint32_t>{1}));
    }
}

// Random changes of every kind: after each, the incremental build and a full build from the same
// snapshot give every port the same configuration (and both fail alike).
class DfwCacheRandomTest : public DfwCacheTest, public ::testing::WithParamInterface<unsigned> {
  protected:
    struct Key {
        ObjectType type;
        uint64_t uuid;
        bool operator<(const Key& o) const {
            return type != o.type ? type < o.type : uuid < o.uuid;
        }
    };

    std::mt19937 rng_{GetParam()};
    std::map<Key, CairnDBUpdateMsg> db_;

    uint64_t Pick(uint64_t lo, uint64_t hi) {
        return std::uniform_int_distribution<uint64_t>(lo, hi)(rng_);
    }
    bool Chance(int percent) { return Pick(1, 100) <= static_cast<uint64_t>(percent); }

    void Side(pb::RuleAddressListMsg* side, bool layer2 = false) {
        for (uint64_t n = Pick(0, 3); n > 0; --n)
            *side->add_container_ids() = Uuid(Pick(50, 57));
        for (uint64_t n = layer2 ? 0 : Pick(0, 2); n > 0; --n)
            AddIpv4(side->add_ip_addresses(), 0x0A000000 + static_cast<uint32_t>(Pick(1, 9)));
        side->set_negate(Chance(10));
    }

    CairnDBUpdateMsg RandomObject() {
        switch (Pick(0, 6)) {
            case 0:
            case 1: {
                uint64_t uuid = Pick(100, 139);
                // Rule ids collide now and then (generated names then differ).
                return RuleRec(
                    uuid, static_cast<uint32_t>(Pick(1, 30)), Pick(1, 6), [this](pb::RuleMsg& r) {
                        r.set_priority(static_cast<uint32_t>(Pick(1, 5)));
                        const bool layer2 = Chance(20);
                        r.set_type(layer2 ? 1 : 0);
                        Side(r.mutable_source(), layer2);
                        Side(r.mutable_destination(), layer2);
                        if (Chance(15))
                            Side(r.mutable_exclude_source(), layer2);
                        if (Chance(25))
                            *r.mutable_applied_to()->add_container_ids() = Uuid(Pick(50, 57));
                        else if (Chance(20))
                            *r.mutable_applied_to()->add_logical_switch_port_ids() =
                                Uuid(Pick(1, 6));
                        if (Chance(10))
                            *r.mutable_extended_source()->add_container_ids() = Uuid(Pick(50, 57));
                    });
            }
            case 2:
                return SectionRec(
                    Pick(1, 6), static_cast<uint32_t>(Pick(1, 4)), [this](pb::RuleSectionMsg& s) {
                        if (Chance(50))
                            s.mutable_category()->set_id(static_cast<uint32_t>(Pick(1, 250)));
                        s.set_time_based(Chance(20));
                        if (Chance(10))
                            s.set_kind(4);
                    });
            case 3: {
                std::vector<uint32_t> ips;
                for (uint64_t n = Pick(0, 3); n > 0; --n)
                    ips.push_back(0x0A000000 + static_cast<uint32_t>(Pick(1, 20)));
                return ContainerRec(Pick(50, 57), ips);
            }
            case 4: {
                std::vector<uint64_t> ports;
                for (uint64_t p = 1; p <= 6; ++p) {
                    if (Chance(40))
                        ports.push_back(p);
                }
                return GroupRec(Pick(70, 73), Pick(50, 57), ports);
            }
            case 5: {
                uint32_t cut = static_cast<uint32_t>(Pick(50, 200));
                return SpanRec(80, {{"PRE-FILTER", 1, cut}, {"FILTER", cut + 1, 250}});
            }
            default:
                return ToggleRec(Chance(50), Chance(50));
        }
    }

    std::vector<CairnDBUpdateMsg> RandomBatch() {
        std::vector<CairnDBUpdateMsg> batch;
        // A deleted container comes back soon (rules naming it fail every build meanwhile).
        for (uint64_t n = 50; n <= 57; ++n) {
            if (db_.count(Key{ObjectType::CONTAINER, n}) == 0 && Chance(30)) {
                db_[Key{ObjectType::CONTAINER, n}] = ContainerRec(n);
                batch.push_back(db_[Key{ObjectType::CONTAINER, n}]);
            }
        }
        for (uint64_t n = Pick(1, 4); n > 0; --n) {
            if (Chance(20) && !db_.empty()) {
                auto it = db_.begin();
                std::advance(it, Pick(0, db_.size() - 1));
                // Containers and sections go seldom: rules naming them fail the build.
                if ((it->first.type == ObjectType::CONTAINER ||
                     it->first.type == ObjectType::RULE_SECTION) &&
                    !Chance(10))
                    continue;
                batch.push_back(Deleted(it->second));
                db_.erase(it);
                continue;
            }
            CairnDBUpdateMsg rec = RandomObject();
            pb::UuidMsg id;
            id.ParseFromString(rec.id);
            db_[Key{rec.objType, id.right()}] = rec;
            batch.push_back(rec);
        }
        return batch;
    }
};

TEST_P(DfwCacheRandomTest, IncrementalBuildEqualsFullRebuild) {
    g_dfwLogLevel = kLogFatal;  // failing builds are expected; their lines would only slow it
    size_t incremental = 0, failed = 0, indexed = 0;
    for (uint64_t n = 1; n <= 6; ++n)
        db_[Key{ObjectType::RULE_SECTION, n}] = SectionRec(n, static_cast<uint32_t>(n));
    for (uint64_t n = 50; n <= 57; ++n)
        db_[Key{ObjectType::CONTAINER, n}] =
            ContainerRec(n, {0x0A000000 + static_cast<uint32_t>(n)});
    for (int step = 0; step < 120; ++step) {
        const bool fullSync = step == 0 || Chance(5);
        std::vector<CairnDBUpdateMsg> batch = RandomBatch();
        if (fullSync) {
            batch.clear();
            for (const auto& [k, rec] : db_)
                batch.push_back(rec);
        }
        auto built = Step(batch, fullSync);
        DfwCache::Error fullError;
        DfwChangeSet all;
        all.fullSync = true;
        auto full = DfwCache::Build(snap_, all, nullptr, &fullError);
        ASSERT_EQ(built == nullptr, full == nullptr) << "step " << step;
        if (!built) {
            EXPECT_EQ(error_.code, fullError.code);
            ++failed;
            continue;
        }
        incremental += !stats_.full && stats_.sectionsReused > 0;
        indexed += stats_.rulesIndexed;
        EXPECT_EQ(built->statusText(), full->statusText());
        for (uint64_t port = 1; port <= 7; ++port) {
            for (int mode = 0; mode < 8; ++mode) {
                DfwCache::Selection how;
                how.serviceInsertion = false;
                how.idfw = mode & 1;
                how.ids = mode & 2;
                how.timeBased = mode & 4;
                auto a = built->ConfigOf(U(port), how);
                auto b = full->ConfigOf(U(port), how);
                SCOPED_TRACE("step " + std::to_string(step) + " port " + std::to_string(port) +
                             " mode " + std::to_string(mode));
                ASSERT_EQ(Ids(*a), Ids(*b));
                ASSERT_EQ(Ids(*a, true), Ids(*b, true));
                ASSERT_EQ(a->heldSections, b->heldSections);
                ASSERT_EQ(Names(*a), Names(*b));
                ASSERT_EQ(a->hash, b->hash);
            }
        }
    }
    // The sequences exercise both paths.
    EXPECT_GT(incremental, 15u);
    EXPECT_GT(indexed, 10u);
    EXPECT_GT(120 - failed, 40u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, DfwCacheRandomTest, ::testing::Range(1u, 7u));

}  // namespace
}  // namespace CfgAgent
