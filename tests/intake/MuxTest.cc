// The Mux with hand-built vdb updates and host requests: merge tables for the four runtime types
// from two vdbs and the host, the full-sync gate, a vdb's full sync and unbinding, the forwarded
// and handed-over types, bad input. vdb 1's contents are read from the written lists (VdbModel).
#include <gtest/gtest.h>

#include <optional>
#include <set>

#include "intake/ModifyRequests.h"
#include "intake/Mux.h"
#include "platform/cairndb/OpMessages.h"
#include "proto/cairndb_si.pb.h"
#include "tests/intake/DemuxTestUtil.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

using OT = ObjectType;
constexpr uint16_t kHost = 0;  // the host's own lists in the steps below

pb::VifStateMsg Vif(int n, uint32_t status) {
    pb::VifStateMsg m;
    *m.mutable_id() = VifId(n);
    m.set_vif_id("vif-" + std::to_string(n));
    m.set_status(status);
    return m;
}
pb::HopoverStatusMsg Hopover(int n, uint32_t status) {
    pb::HopoverStatusMsg m;
    *m.mutable_id() = VifId(n);
    m.set_status(status);
    return m;
}
pb::LogSwitchStateMsg LsState(int n, const std::vector<uint64_t>& macs) {
    pb::LogSwitchStateMsg m;
    *m.mutable_id() = LsId(n);
    for (uint64_t mac : macs)
        m.add_mac_entries()->set_mac(mac);
    return m;
}
pb::RoutingDomainVtepMsg RdVtep(int n, const std::vector<uint32_t>& labels) {
    pb::RoutingDomainVtepMsg m;
    *m.mutable_id() = LsId(100 + n);
    for (uint32_t label : labels)
        m.add_vtep_entries()->set_label(label);
    return m;
}

// One step of a merge case: a source (a vdb, or kHost) sets or clears a body.
struct Step {
    uint16_t source;
    bool set;
    std::shared_ptr<google::protobuf::Message> body;
};
template <class M>
Step Set(uint16_t source, const M& m) {
    return Step{source, true, std::make_shared<M>(m)};
}
template <class M>
Step Clear(uint16_t source, const M& m) {
    return Step{source, false, std::make_shared<M>(m)};
}

class MuxFixture {
  public:
    MuxFixture() { mux->SetLocalProducers(true, true); }

    void Bind(uint16_t vdb) { ASSERT_TRUE(mux->InitVdb(vdb)); }
    // One transaction of a vdb: the updates, then its barrier.
    void Vdb(uint16_t vdb, const std::vector<pb::MonitorUpdateMsg>& updates) {
        for (const auto& u : updates)
            mux->OnVdbUpdate(vdb, u);
        mux->OnVdbBarrier(vdb);
    }
    void Host(ObjectType type, const std::vector<pb::ModifyRequestMsg>& requests,
              bool fullSync = false) {
        const int kind = type == OT::VIF_STATE || type == OT::HOPOVER_STATUS
                             ? ICairndbClient::kRuntimeConfig
                             : ICairndbClient::kRuntimeL2;
        mux->WriteLocalRuntime(requests, kind, fullSync);
    }
    // Everything synced: the main vdb, both host kinds and each bound vdb (empty full syncs).
    void OpenGate(const std::vector<uint16_t>& vdbs) {
        for (uint16_t v : vdbs) {
            Bind(v);
            Vdb(v, {});
        }
        Host(OT::VIF_STATE, {}, true);
        Host(OT::LOG_SWITCH_STATE, {}, true);
        mux->OnMainFullSync();
        ASSERT_TRUE(mux->GateOpen());
    }
    void Apply(const Step& s) {
        const auto type = TypeOf(*s.body);
        if (s.source == kHost) {
            Host(type, {s.set ? PutRequest(1, type, s.body->SerializeAsString())
                              : DeleteRequest(1, type, IdOf(*s.body))});
        } else {
            Vdb(s.source, {s.set ? SetOf(type, *s.body) : ClearOf(type, *s.body)});
        }
    }
    static ObjectType TypeOf(const google::protobuf::Message& m) {
        for (OT t :
             {OT::VIF_STATE, OT::HOPOVER_STATUS, OT::LOG_SWITCH_STATE, OT::ROUTING_DOMAIN_VTEP}) {
            if (ozy::cairndb::FindObjectType(static_cast<int>(t))->body->GetDescriptor() ==
                m.GetDescriptor())
                return t;
        }
        return OT::OBJECT_TYPE_INVALID;
    }
    static std::string IdOf(const google::protobuf::Message& m) {
        const auto* f = m.GetDescriptor()->FindFieldByNumber(1);
        return m.GetReflection()->GetMessage(m, f).SerializeAsString();
    }
    // vdb 1's body of the object of `m`'s type and id; nothing when absent.
    std::optional<std::string> InHost(const google::protobuf::Message& m) const {
        const auto& all = writer.model.All();
        auto it = all.find({1u, static_cast<uint32_t>(TypeOf(m)), IdOf(m)});
        if (it == all.end())
            return std::nullopt;
        return it->second;
    }
    size_t Lists() const { return writer.lists.size(); }

    CapturingWriter writer;
    ozy::RefPtr<Mux> mux = ozy::MakeRef<Mux>(&writer);
};

// ---- merge tables -------------------------------------------------------------------------------

struct MergeCase {
    const char* name;
    std::vector<Step> steps;
    // vdb 1's object after the steps (nothing: absent); compared as the same message, lists as
    // sets of entries.
    std::shared_ptr<google::protobuf::Message> expected;
    std::shared_ptr<google::protobuf::Message> probe;  // type and id to look up
};

template <class M>
std::shared_ptr<google::protobuf::Message> P(const M& m) {
    return std::make_shared<M>(m);
}

std::vector<MergeCase> MergeCases() {
    return {
        {"VifNewestSourceWins", {Set(2, Vif(1, 1)), Set(3, Vif(1, 2))}, P(Vif(1, 2)), P(Vif(1, 0))},
        {"VifDeleteOfOneSourceKeepsTheOther",
         {Set(2, Vif(1, 1)), Set(3, Vif(1, 2)), Clear(3, Vif(1, 2))},
         P(Vif(1, 1)),
         P(Vif(1, 0))},
        {"VifGoneWhenNoSourceHoldsIt",
         {Set(2, Vif(1, 1)), Set(kHost, Vif(1, 2)), Clear(2, Vif(1, 1)), Clear(kHost, Vif(1, 2))},
         nullptr,
         P(Vif(1, 0))},
        {"VifHostAndVdbSide",
         {Set(kHost, Vif(2, 1)), Set(2, Vif(2, 2)), Clear(kHost, Vif(2, 1))},
         P(Vif(2, 2)),
         P(Vif(2, 0))},
        {"HopoverNewestWins",
         {Set(3, Hopover(1, 1)), Set(2, Hopover(1, 4)), Set(kHost, Hopover(1, 3))},
         P(Hopover(1, 3)),
         P(Hopover(1, 0))},
        {"SwitchStateMergesEntriesAcrossSources",
         {Set(2, LsState(1, {10, 11})), Set(kHost, LsState(1, {12})), Set(3, LsState(1, {11, 13}))},
         P(LsState(1, {10, 11, 12, 13})),
         P(LsState(1, {}))},
        {"SwitchStateLosesOnlyTheDeletingSourcesEntries",
         {Set(2, LsState(1, {10})), Set(3, LsState(1, {13})), Clear(2, LsState(1, {10}))},
         P(LsState(1, {13})),
         P(LsState(1, {}))},
        {"RoutingDomainVtepsAreTheUnion",
         {Set(kHost, RdVtep(1, {1})), Set(2, RdVtep(1, {2})), Set(3, RdVtep(1, {1, 3}))},
         P(RdVtep(1, {1, 2, 3})),
         P(RdVtep(1, {}))},
        {"RoutingDomainVtepsEmptyAreDeleted",
         {Set(2, RdVtep(1, {2})), Set(3, RdVtep(1, {3})), Set(2, RdVtep(1, {})),
          Clear(3, RdVtep(1, {3}))},
         nullptr,
         P(RdVtep(1, {}))},
    };
}

// Two messages equal with their lists compared as sets.
bool SameEntries(const google::protobuf::Message& a, const google::protobuf::Message& b) {
    const auto* d = a.GetDescriptor();
    for (int i = 0; i < d->field_count(); ++i) {
        const auto* f = d->field(i);
        if (!f->is_repeated()) {
            if (!ozy::cairndb::FieldEquals(a, b, f))
                return false;
            continue;
        }
        std::multiset<std::string> x;
        std::multiset<std::string> y;
        for (int k = 0; k < a.GetReflection()->FieldSize(a, f); ++k)
            x.insert(a.GetReflection()->GetRepeatedMessage(a, f, k).SerializeAsString());
        for (int k = 0; k < b.GetReflection()->FieldSize(b, f); ++k)
            y.insert(b.GetReflection()->GetRepeatedMessage(b, f, k).SerializeAsString());
        if (x != y)
            return false;
    }
    return true;
}

class MuxMergeTest : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MuxMergeTest, VdbOneHoldsTheMergedObject) {
    const MergeCase& c = GetParam();
    MuxFixture f;
    f.OpenGate({2, 3});
    for (const Step& s : c.steps)
        f.Apply(s);
    const std::optional<std::string> got = f.InHost(*c.probe);
    if (c.expected == nullptr) {
        EXPECT_FALSE(got.has_value());
        return;
    }
    ASSERT_TRUE(got.has_value());
    std::unique_ptr<google::protobuf::Message> m(c.expected->New());
    ASSERT_TRUE(m->ParseFromString(*got));
    EXPECT_TRUE(SameEntries(*m, *c.expected)) << m->ShortDebugString();
}

INSTANTIATE_TEST_SUITE_P(Cases, MuxMergeTest, ::testing::ValuesIn(MergeCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the gate -----------------------------------------------------------------------------------

TEST(MuxGateTest, NothingMergedIsWrittenBeforeEveryFullSyncThenOneListWithLeadingFlushes) {
    MuxFixture f;
    f.Bind(2);
    f.Bind(3);
    f.Vdb(2, {SetOf(OT::VIF_STATE, Vif(1, 1)), SetOf(OT::LOG_SWITCH_STATE, LsState(1, {10}))});
    f.Host(OT::VIF_STATE,
           {FlushRequest(1, OT::VIF_STATE),
            PutRequest(1, OT::VIF_STATE, Vif(2, 1).SerializeAsString())},
           true);
    f.mux->OnMainFullSync();
    f.Host(OT::LOG_SWITCH_STATE,
           {PutRequest(1, OT::LOG_SWITCH_STATE, LsState(1, {12}).SerializeAsString())}, true);
    EXPECT_EQ(f.Lists(), 0u) << "vdb 3 has not delivered its full sync";
    EXPECT_FALSE(f.mux->GateOpen());

    f.Vdb(3, {SetOf(OT::ROUTING_DOMAIN_VTEP, RdVtep(1, {3}))});
    ASSERT_EQ(f.Lists(), 1u);
    const auto& list = f.writer.lists[0];
    ASSERT_EQ(list.size(), 8u);
    std::set<uint32_t> flushed;
    for (size_t i = 0; i < 4; ++i) {
        ASSERT_TRUE(list[i].has_flush()) << i;
        EXPECT_EQ(list[i].vdb(), 1u);
        flushed.insert(list[i].flush().object_type());
    }
    EXPECT_EQ(flushed, (std::set<uint32_t>{static_cast<uint32_t>(OT::VIF_STATE),
                                           static_cast<uint32_t>(OT::HOPOVER_STATUS),
                                           static_cast<uint32_t>(OT::LOG_SWITCH_STATE),
                                           static_cast<uint32_t>(OT::ROUTING_DOMAIN_VTEP)}));
    for (size_t i = 4; i < list.size(); ++i)
        EXPECT_TRUE(list[i].has_put() && list[i].vdb() == 1u) << i;
    EXPECT_TRUE(f.InHost(Vif(1, 0)) && f.InHost(Vif(2, 0)) && f.InHost(RdVtep(1, {})));
    pb::LogSwitchStateMsg ls;
    ASSERT_TRUE(ls.ParseFromString(f.InHost(LsState(1, {})).value_or("")));
    EXPECT_TRUE(SameEntries(ls, LsState(1, {10, 12})));

    // After the gate, changes as they arrive, and only real ones.
    f.Vdb(2, {SetOf(OT::VIF_STATE, Vif(1, 1))});
    EXPECT_EQ(f.Lists(), 1u) << "the same body again writes nothing";
    f.Vdb(2, {SetOf(OT::VIF_STATE, Vif(1, 2))});
    ASSERT_EQ(f.Lists(), 2u);
    ASSERT_EQ(f.writer.lists[1].size(), 1u);
    EXPECT_TRUE(f.writer.lists[1][0].has_put());
    f.mux->OnMainFullSync();  // a later main full sync does not reopen anything
    EXPECT_EQ(f.Lists(), 2u);
}

TEST(MuxGateTest, WaitsOnlyForTheProducersThatRun) {
    struct Case {
        bool config;
        bool l2;
        bool sendConfig;
        bool sendL2;
        bool open;
    };
    for (const Case& c : std::vector<Case>{{true, true, true, false, false},
                                           {true, false, true, false, true},
                                           {false, true, false, true, true},
                                           {false, false, false, false, true},
                                           {true, true, true, true, true}}) {
        MuxFixture f;
        f.mux->SetLocalProducers(c.config, c.l2);
        f.mux->OnMainFullSync();
        if (c.sendConfig)
            f.Host(OT::VIF_STATE, {}, true);
        if (c.sendL2)
            f.Host(OT::LOG_SWITCH_STATE, {}, true);
        EXPECT_EQ(f.mux->GateOpen(), c.open) << c.config << c.l2 << c.sendConfig << c.sendL2;
        EXPECT_EQ(f.Lists(), c.open ? 1u : 0u);
    }
}

TEST(MuxGateTest, AVdbBoundBeforeTheGateHoldsItUntilItsFullSyncAndOneBoundAfterDoesNot) {
    MuxFixture f;
    f.OpenGate({});
    f.Bind(2);
    f.Vdb(2, {SetOf(OT::VIF_STATE, Vif(1, 1))});
    EXPECT_TRUE(f.InHost(Vif(1, 0)).has_value()) << "the gate is open already";

    MuxFixture g;
    g.Bind(2);
    g.Host(OT::VIF_STATE, {}, true);
    g.Host(OT::LOG_SWITCH_STATE, {}, true);
    g.mux->OnMainFullSync();
    EXPECT_FALSE(g.mux->GateOpen());
    EXPECT_TRUE(g.mux->DestroyVdb(2)) << "the vdb it waited for leaves";
    EXPECT_TRUE(g.mux->GateOpen());
}

// ---- a vdb's full sync and its unbinding
// ---------------------------------------------------------

TEST(MuxVdbTest, AFullSyncDropsWhatItDidNotRefreshAndUnbindingWithdrawsTheVdb) {
    MuxFixture f;
    f.OpenGate({2, 3});
    f.Vdb(2, {SetOf(OT::VIF_STATE, Vif(1, 1)), SetOf(OT::VIF_STATE, Vif(2, 1)),
              SetOf(OT::LOG_SWITCH_STATE, LsState(1, {10}))});
    f.Vdb(3, {SetOf(OT::LOG_SWITCH_STATE, LsState(1, {13})),
              SetOf(OT::ROUTING_DOMAIN_VTEP, RdVtep(1, {3}))});
    ASSERT_TRUE(f.InHost(Vif(2, 0)));

    LogCapture cap(kLogInfo);
    f.mux->ChannelStatus(false);
    f.mux->ChannelStatus(true);
    f.Vdb(2, {SetOf(OT::VIF_STATE, Vif(1, 1)), SetOf(OT::LOG_SWITCH_STATE, LsState(1, {10}))});
    EXPECT_TRUE(cap.Contains("Mux: Clear cache with vdb 2, cache size 1"));
    EXPECT_FALSE(f.InHost(Vif(2, 0))) << "deleted while the channel was down";
    EXPECT_TRUE(f.InHost(Vif(1, 0)));

    ASSERT_TRUE(f.mux->DestroyVdb(3));
    EXPECT_FALSE(f.InHost(RdVtep(1, {}))) << "vdb 3 was its only source";
    pb::LogSwitchStateMsg ls;
    ASSERT_TRUE(ls.ParseFromString(f.InHost(LsState(1, {})).value_or("")));
    EXPECT_TRUE(SameEntries(ls, LsState(1, {10})));
    EXPECT_EQ(f.mux->Vdbs(), (std::set<uint16_t>{2}));
}

// ---- forwarded and handed-over types, bad input -------------------------------------------------

TEST(MuxInputTest, ReportsGoToTheHookServiceVmStatusIsForwardedBadInputIsDropped) {
    MuxFixture f;
    std::vector<std::tuple<uint16_t, bool, size_t>> hooked;
    f.mux->SetReportHook(
        [&](uint16_t vdb, bool fullSync, const std::vector<const pb::MonitorUpdateMsg*>& r) {
            hooked.emplace_back(vdb, fullSync, r.size());
        });
    f.OpenGate({2});
    ASSERT_EQ(hooked.size(), 1u) << "the vdb's full sync reaches the hook even without reports";
    EXPECT_EQ(hooked[0], std::make_tuple(uint16_t{2}, true, size_t{0}));

    pb::ProcessedBarrierMsg pbm;
    *pbm.mutable_id() = LsId(50);
    pbm.set_vertical_id(1);
    pbm.set_barrier_id(7);
    pb::SiServiceVmStatusMsg si;
    *si.mutable_id() = LsId(60);
    const size_t before = f.Lists();
    f.Vdb(2, {SetOf(OT::PROCESSED_BARRIER, pbm), SetOf(OT::SI_SERVICE_VM_STATUS, si)});
    ASSERT_EQ(hooked.size(), 2u);
    EXPECT_EQ(hooked[1], std::make_tuple(uint16_t{2}, false, size_t{1}));
    ASSERT_EQ(f.Lists(), before + 1);
    EXPECT_TRUE(f.writer.model.Has(1, OT::SI_SERVICE_VM_STATUS, LsId(60)));
    f.Vdb(2, {ClearOf(OT::SI_SERVICE_VM_STATUS, si)});
    EXPECT_FALSE(f.writer.model.Has(1, OT::SI_SERVICE_VM_STATUS, LsId(60)));

    LogCapture cap(kLogError);
    const size_t lists = f.Lists();
    // An index past the delivered list of VTEPs.
    pb::RoutingDomainVtepOpMsg vtepOp;
    vtepOp.mutable_op()->set_op(pb::UPDATE);
    vtepOp.mutable_vtep_entries()->set_op(pb::APPEND);
    AddEntry(vtepOp.mutable_vtep_entries(), pb::APPEND, 5);
    f.Vdb(2, {WithBody(SetOf(OT::VIF_STATE, Vif(1, 1)), "\xff\xff\xff"),
              SetOf(OT::VIF_STATE, pb::VifStateMsg()),
              WithOp(SetOf(OT::LOG_SWITCH_STATE, LsState(1, {1})), "\xff\xff"),
              SetOf(OT::RULE, Rule(1)),
              WithOp(SetOf(OT::ROUTING_DOMAIN_VTEP, RdVtep(1, {1})), vtepOp.SerializeAsString())});
    f.mux->OnVdbUpdate(9, SetOf(OT::VIF_STATE, Vif(1, 1)));
    f.mux->OnVdbBarrier(9);
    EXPECT_FALSE(f.mux->InitVdb(1));
    EXPECT_FALSE(f.mux->InitVdb(0));
    EXPECT_FALSE(f.mux->DestroyVdb(4));
    EXPECT_EQ(f.Lists(), lists) << "nothing written";
    EXPECT_FALSE(f.InHost(Vif(1, 0)));
    EXPECT_FALSE(f.InHost(RdVtep(1, {})));
    for (const char* line :
         {"Mux: VIF_STATE update from vdb 2 does not parse or carries no id (op SET), dropped",
          "Mux: LOG_SWITCH_STATE update from vdb 2 with an unreadable op, dropped",
          "Mux: Update of type", "Mux: Update global routing domain VTEP with error vtep index 5",
          "Mux: Failed to get message list by vdbId 9",
          "Mux: Failed to get fullsync flag by vdbId 9",
          "Mux: Failed to init vdb data with invalid id 1",
          "Mux: Failed to destroy vdb data with invalid id 4"})
        EXPECT_TRUE(cap.ContainsWithCode(line, "LCP00028")) << line;
}

TEST(MuxInputTest, HostPatchesApplyToTheHostsObjectAndOtherTypesPassThrough) {
    MuxFixture f;
    f.OpenGate({2});
    f.Host(OT::VIF_STATE, {PutRequest(1, OT::VIF_STATE, Vif(1, 1).SerializeAsString())});
    pb::VifStateOpMsg op;
    op.mutable_op()->set_op(pb::UPDATE);
    op.mutable_status()->set_op(pb::SET);
    pb::VifStateMsg partial;
    partial.set_status(2);
    f.Host(OT::VIF_STATE,
           {PatchRequest(1, OT::VIF_STATE, VifId(1).SerializeAsString(), op, partial)});
    pb::VifStateMsg got;
    ASSERT_TRUE(got.ParseFromString(f.InHost(Vif(1, 0)).value_or("")));
    EXPECT_EQ(got.status(), 2u);
    EXPECT_EQ(got.vif_id(), "vif-1") << "the fields the patch leaves alone stay";

    // An append patch to a switch the host has not put yet makes the object.
    pb::LogSwitchStateOpMsg lsOp;
    lsOp.mutable_op()->set_op(pb::UPDATE);
    lsOp.mutable_mac_entries()->set_op(pb::APPEND);
    f.Host(OT::LOG_SWITCH_STATE, {PatchRequest(1, OT::LOG_SWITCH_STATE, LsId(1).SerializeAsString(),
                                               lsOp, LsState(1, {7}))});
    pb::LogSwitchStateMsg ls;
    ASSERT_TRUE(ls.ParseFromString(f.InHost(LsState(1, {})).value_or("")));
    EXPECT_TRUE(SameEntries(ls, LsState(1, {7})));

    const size_t lists = f.Lists();
    f.Host(OT::VIF_STATE, {PutRequest(1, OT::RULE, Rule(1).SerializeAsString())});
    ASSERT_EQ(f.Lists(), lists + 1);
    EXPECT_TRUE(f.writer.model.Has(1, OT::RULE, Rule(1).id()));
}

}  // namespace
}  // namespace CfgAgent::test
