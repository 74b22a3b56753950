// Firewall objects from the database reach the message cache through the decoder with every
// field the firewall reads: the updates are decoded and filed as the cairndb client does, and the
// firewall component's list is merged by the cache.
#include <gtest/gtest.h>

#include <vector>

#include "dfw/DfwMsgCache.h"
#include "intake/Decoder.h"
#include "proto/lcp_firewall.pb.h"
#include "tests/intake/DecodeTestUtil.h"
#include "tests/support/DfwRecords.h"

namespace CfgAgent {
namespace {

namespace pb = orvane::ozy::cairndb;
namespace fw = orvane::ozy::firewall;
using test::MakeUpdate;
using test::ObjOp;
using test::dfw::U;
using test::dfw::Uuid;

template <class OpClass>
pb::MonitorUpdateMsg Set(ObjectType type, const google::protobuf::Message& body) {
    return MakeUpdate(type, ObjOp<OpClass>(pb::SET), &body);
}

// Decodes and files the updates, then hands the firewall's list to the cache.
void Deliver(DfwMsgCache& cache, const std::vector<pb::MonitorUpdateMsg>& updates, bool fullSync) {
    ComponentUpdateMap batch;
    for (const pb::MonitorUpdateMsg& u : updates) {
        DecodeResult r;
        ASSERT_TRUE(Decoder::Decode(u, &r)) << u.object_type();
        Decoder::File(r, batch);
    }
    cache.UpdateDesiredState(batch[ComponentType::DFW], fullSync);
}

TEST(DfwIntakeTest, EveryFirewallTypeArrivesWithTheFieldsTheFirewallReads) {
    pb::RuleSectionMsg section;
    *section.mutable_id() = Uuid(1);
    section.set_priority(7);
    section.mutable_category()->set_id(12);
    section.set_time_based(true);
    pb::RuleMsg rule = test::dfw::RuleBody(2, 42, 1);
    rule.set_enforcement(1);
    *rule.mutable_time_profile_id() = Uuid(5);
    rule.mutable_applied_to()->add_container_ids()->CopyFrom(Uuid(3));
    pb::ContainerMsg container;
    *container.mutable_id() = Uuid(3);
    container.add_ip_addresses()->mutable_ip()->set_ipv4(0x0A000001);
    container.set_ip_reputation(false);
    pb::ContextProfileMsg profile;
    *profile.mutable_id() = Uuid(5);
    pb::ContextProfileAttributeMsg* day = profile.add_attributes();
    day->set_key("DAY_OF_WEEK");
    day->add_values("MONDAY");
    pb::ConfigSpanMsg span;
    *span.mutable_id() = Uuid(6);
    span.set_span_type(1);
    for (auto [name, start, end] : {std::tuple{"PRE-FILTER", 1u, 9u}, {"FILTER", 10u, 20u}}) {
        pb::CategoryBucketMsg* b = span.mutable_category_buckets()->add_buckets();
        b->set_name(name);
        b->set_range_start(start);
        b->set_range_end(end);
    }
    span.add_dfw_excluded_vifs("vif-9");
    pb::IpReputationConfigMsg chunk;
    *chunk.mutable_id() = Uuid(7);
    chunk.set_chunk_id(3);
    chunk.set_entries(std::string(32, '\x02'));
    pb::EntityGroupRelationMsg relation;
    *relation.mutable_id() = Uuid(8);
    pb::ContainerLogicalSwitchPortMsg* rel = relation.add_container_logical_switch_port();
    *rel->mutable_container_id() = Uuid(3);
    *rel->add_logical_switch_port_ids() = Uuid(9);
    pb::GlobalConfigMsg global;
    *global.mutable_id() = Uuid(10);
    global.set_mp_version_major(3);
    global.set_mp_version_minor(1);
    global.set_global_addrset_mode(true);
    global.set_macset_optimization_mode(true);
    pb::FleetClusterHostConfigMsg cluster;
    *cluster.mutable_id() = Uuid(11);
    cluster.set_idfw_mode(true);
    pb::BarrierMsg barrier;
    *barrier.mutable_id() = Uuid(12);
    barrier.set_barrier_id(77);

    auto cache = ozy::MakeRef<DfwMsgCache>();
    Deliver(*cache,
            {Set<pb::RuleSectionOpMsg>(ObjectType::RULE_SECTION, section),
             Set<pb::RuleOpMsg>(ObjectType::RULE, rule),
             Set<pb::ContainerOpMsg>(ObjectType::CONTAINER, container),
             Set<pb::ContextProfileOpMsg>(ObjectType::CONTEXT_PROFILE, profile),
             Set<pb::ConfigSpanOpMsg>(ObjectType::CONFIG_SPAN, span),
             Set<pb::IpReputationConfigOpMsg>(ObjectType::IP_REPUTATION_CONFIG, chunk),
             Set<pb::EntityGroupRelationOpMsg>(ObjectType::ENTITY_GROUP_RELATION, relation),
             Set<pb::GlobalConfigOpMsg>(ObjectType::GLOBAL_CONFIG, global),
             Set<pb::FleetClusterHostConfigOpMsg>(ObjectType::FLEET_CLUSTER_HOST_CONFIG, cluster),
             Set<pb::BarrierOpMsg>(ObjectType::BARRIER, barrier)},
            true);
    DfwMsgSnapshot s = cache->TakeSnapshot();
    ASSERT_EQ(s.sections->count(U(1)), 1u);
    EXPECT_EQ(s.sections->at(U(1))->category().id(), 12u);
    EXPECT_TRUE(s.sections->at(U(1))->time_based());
    ASSERT_EQ(s.rules->count(U(2)), 1u);
    const fw::LcpRuleMsg& r = *s.rules->at(U(2));
    EXPECT_EQ(r.rule_id(), 42u);
    EXPECT_EQ(r.time_profile_id().right(), 5u);
    EXPECT_EQ(r.applied_to().container_ids(0).right(), 3u);
    EXPECT_TRUE(r.has_direction() && r.direction() == 2);
    ASSERT_EQ(s.containers->size(), 2u);
    EXPECT_EQ(s.containers->at(U(5))->attributes(0).value(), "MONDAY");
    ASSERT_EQ(s.buckets->size(), 2u);
    EXPECT_EQ((*s.buckets)[1].end, 20u);
    EXPECT_EQ(*s.dfwExcludedVifs, std::vector<std::string>{"vif-9"});
    ASSERT_EQ(s.chunks->count(U(7)), 1u);
    EXPECT_EQ(s.chunks->at(U(7))->entries().size(), 32u);
    ASSERT_EQ(s.groups->count(U(8)), 1u) << "the relation's whole-object record, not its property";
    EXPECT_EQ(s.modes.mpVersionMajor, 3u);
    EXPECT_EQ(s.modes.mpVersionMinor, 1u);
    EXPECT_TRUE(s.modes.globalAddrSet && s.modes.macSetOptimization && !s.modes.fastPathLookup);
    EXPECT_TRUE(s.modes.idfw && !s.modes.ids);
    EXPECT_EQ(s.barrier, 77u);

    // A CLEAR carries the old body; the cache deletes by the record's id.
    Deliver(*cache,
            {MakeUpdate(ObjectType::RULE, ObjOp<pb::RuleOpMsg>(pb::CLEAR), nullptr, &rule),
             MakeUpdate(ObjectType::CONTEXT_PROFILE, ObjOp<pb::ContextProfileOpMsg>(pb::CLEAR),
                        nullptr, &profile)},
            false);
    s = cache->TakeSnapshot();
    EXPECT_TRUE(s.rules->empty());
    EXPECT_EQ(s.containers->size(), 1u);
    EXPECT_EQ(s.changes.ruleSections, std::set<DfwUuid>{U(1)});
}

}  // namespace
}  // namespace CfgAgent
