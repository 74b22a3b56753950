// The Demux on hand-built updates, with a writer that captures each list and a model of the vdbs
// those lists leave.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>

#include "intake/Demux.h"
#include "tests/intake/DemuxTestUtil.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

using OT = ObjectType;
using Objects = std::set<std::pair<uint32_t, std::string>>;

Objects Objs(std::initializer_list<std::pair<OT, pb::UuidMsg>> list) {
    Objects out;
    for (const auto& [t, id] : list)
        out.insert({static_cast<uint32_t>(t), id.SerializeAsString()});
    return out;
}

class DemuxTest : public ::testing::Test {
  protected:
    void SetUp() override { demux->ChannelStatus(true); }

    void Feed(const pb::MonitorUpdateMsg& u) {
        demux->Update(u, Decoder::DemuxRouteOf(static_cast<OT>(u.object_type())));
    }
    template <class Body>
    void Set(OT type, const Body& body) {
        Feed(SetOf(type, body));
    }
    template <class Body>
    void Clear(OT type, const Body& body) {
        Feed(ClearOf(type, body));
    }
    void Bind(uint16_t vdb, int hs) { demux->BindVdb(vdb, HsId(hs).SerializeAsString()); }
    void Unbind(uint16_t vdb, int hs) { demux->UnbindVdb(vdb, HsId(hs).SerializeAsString()); }
    void Barrier(bool fullSync = false) { demux->Barrier(fullSync, &writer); }
    const VdbModel& Vdbs() const { return writer.model; }

    // TN 1 with host switch 1 on zone 1, LS 1 on zone 1 with ports 1-3 (VIFs), rule 1.
    void Topology() {
        Set(OT::TRANSPORT_NODE_CONFIG, Tn(1, {{1, {1}}}));
        Set(OT::LOG_SWITCH_CONFIG, Ls(1, 1));
        for (int p = 1; p <= 3; ++p)
            Set(OT::LOG_SWITCH_PORT_CONFIG, Lsp(p, 1, true));
        Set(OT::RULE, Rule(1));
    }
    static Objects TopologyObjects() {
        return Objs({{OT::TRANSPORT_NODE_CONFIG, TnId(1)},
                     {OT::LOG_SWITCH_CONFIG, LsId(1)},
                     {OT::LOG_SWITCH_PORT_CONFIG, LspId(1)},
                     {OT::LOG_SWITCH_PORT_CONFIG, LspId(2)},
                     {OT::LOG_SWITCH_PORT_CONFIG, LspId(3)},
                     {OT::RULE, Rule(1).id()}});
    }

    CapturingWriter writer;
    ozy::RefPtr<Demux> demux = ozy::MakeRef<Demux>();
};

// ---- full sync ----------------------------------------------------------------------------------

// Every order of the full sync's tables (and of the binding among them) ends in the same vdb.
class DemuxFullSyncOrderTest : public DemuxTest,
                               public ::testing::WithParamInterface<std::array<int, 4>> {};

TEST_P(DemuxFullSyncOrderTest, EndsInTheSameVdbContentsAndDropsStaleRows) {
    LogCapture logs;
    // Rows left in vdb 2 by an earlier run.
    writer.model.Put(2, OT::LOG_SWITCH_CONFIG, Ls(99, 1));
    writer.model.Put(2, OT::RULE, Rule(99));
    const std::function<void()> steps[] = {
        [&] {
            for (int p = 1; p <= 3; ++p)
                Set(OT::LOG_SWITCH_PORT_CONFIG, Lsp(p, 1, true));
        },
        [&] { Set(OT::LOG_SWITCH_CONFIG, Ls(1, 1)); },
        [&] {
            Set(OT::TRANSPORT_NODE_CONFIG, Tn(1, {{1, {1}}}));
        },
        [&] { Bind(2, 1); },
    };
    Set(OT::RULE, Rule(1));
    for (int i : GetParam())
        steps[i]();
    Barrier(true);
    ASSERT_EQ(writer.lists.size(), 1u);
    EXPECT_EQ(Vdbs().Of(2), TopologyObjects());
    // The flushes lead the list: none follows a put to the vdb.
    const auto& list = writer.lists[0];
    auto firstPut = std::find_if(list.begin(), list.end(),
                                 [](const pb::ModifyRequestMsg& r) { return r.has_put(); });
    EXPECT_TRUE(std::none_of(firstPut, list.end(),
                             [](const pb::ModifyRequestMsg& r) { return r.has_flush(); }));
    EXPECT_TRUE(list.front().has_flush());
    // Each node is computed once per change.
    EXPECT_FALSE(logs.Contains("reached twice")) << logs.Dump();
}

std::vector<std::array<int, 4>> AllOrders() {
    std::array<int, 4> order{0, 1, 2, 3};
    std::vector<std::array<int, 4>> out;
    do {
        out.push_back(order);
    } while (std::next_permutation(order.begin(), order.end()));
    return out;
}

INSTANTIATE_TEST_SUITE_P(AllTableOrders, DemuxFullSyncOrderTest, ::testing::ValuesIn(AllOrders()));

TEST_F(DemuxTest, SwitchWithoutBoundHostSwitchYieldsNothingUntilBindingPutsTheSubtree) {
    LogCapture logs;
    Topology();
    Barrier(true);
    EXPECT_TRUE(logs.Contains("Demux: Flush demuxed config with empty vdb map."));
    EXPECT_TRUE(writer.lists.empty());
    Bind(2, 1);
    Barrier();
    ASSERT_EQ(writer.lists.size(), 1u);
    EXPECT_EQ(Vdbs().Of(2), TopologyObjects());
    // A second binding of the same vdb changes nothing.
    Bind(2, 1);
    Barrier();
    EXPECT_EQ(writer.lists.size(), 1u);
    EXPECT_TRUE(logs.Contains("is already existed in host switch"));
}

TEST_F(DemuxTest, BindingBeforeTheTransportNodeWaitsForItsHostSwitch) {
    LogCapture logs;
    Bind(2, 1);
    EXPECT_TRUE(logs.Contains("not found in node table"));
    Set(OT::LOG_SWITCH_CONFIG, Ls(1, 1));
    Barrier(true);
    EXPECT_TRUE(Vdbs().Of(2).empty());
    Set(OT::TRANSPORT_NODE_CONFIG, Tn(1, {{1, {1}}}));
    EXPECT_TRUE(logs.Contains("found in node table, do update"));
    Barrier();
    EXPECT_EQ(Vdbs().Of(2),
              Objs({{OT::TRANSPORT_NODE_CONFIG, TnId(1)}, {OT::LOG_SWITCH_CONFIG, LsId(1)}}));
}

TEST_F(DemuxTest, ReconnectionDeletesWhatTheFullSyncDidNotResend) {
    Bind(2, 1);
    Topology();
    Barrier(true);
    ASSERT_EQ(Vdbs().Of(2), TopologyObjects());
    const uint32_t version = demux->GetInfo().version;
    demux->ChannelStatus(true);  // already up: no new version
    EXPECT_EQ(demux->GetInfo().version, version);
    demux->ChannelStatus(false);
    demux->ChannelStatus(true);
    EXPECT_EQ(demux->GetInfo().version, version + 1);
    // Port 3 and the rule were deleted while the channel was down.
    Set(OT::TRANSPORT_NODE_CONFIG, Tn(1, {{1, {1}}}));
    Set(OT::LOG_SWITCH_CONFIG, Ls(1, 1));
    Set(OT::LOG_SWITCH_PORT_CONFIG, Lsp(1, 1, true));
    Set(OT::LOG_SWITCH_PORT_CONFIG, Lsp(2, 1, true));
    Barrier(true);
    EXPECT_EQ(Vdbs().Of(2), Objs({{OT::TRANSPORT_NODE_CONFIG, TnId(1)},
                                  {OT::LOG_SWITCH_CONFIG, LsId(1)},
                                  {OT::LOG_SWITCH_PORT_CONFIG, LspId(1)},
                                  {OT::LOG_SWITCH_PORT_CONFIG, LspId(2)}}));
    // No flush the second time.
    for (const auto& r : writer.lists.back())
        EXPECT_FALSE(r.has_flush());
    EXPECT_EQ(demux->GetInfo().nodesPerType[static_cast<size_t>(Demux::NodeType::LOG_SWITCH_PORT)],
              2u);
}

// ---- moves
// ----------------------------------------------------------------------------------------

// TN 1 with host switch 1 (zone 1, vdb 2) and host switch 2 (zone 2, vdb 3).
class DemuxTwoVdbTest : public DemuxTest {
  protected:
    void SetUp() override {
        DemuxTest::SetUp();
        Bind(2, 1);
        Bind(3, 2);
        Set(OT::TRANSPORT_NODE_CONFIG, Tn(1, {{1, {1}}, {2, {2}}}));
    }
};

TEST_F(DemuxTwoVdbTest, SwitchMovedToAnotherZoneLeavesTheOldVdbAndEntersTheNewInOneList) {
    Set(OT::LOG_SWITCH_CONFIG, Ls(1, 1));
    Set(OT::LOG_SWITCH_PORT_CONFIG, Lsp(1, 1));
    Barrier(true);
    EXPECT_TRUE(Vdbs().Has(2, OT::LOG_SWITCH_PORT_CONFIG, LspId(1)));
    EXPECT_FALSE(Vdbs().Has(3, OT::LOG_SWITCH_CONFIG, LsId(1)));
    const size_t before = writer.lists.size();
    Set(OT::LOG_SWITCH_CONFIG, Ls(1, 2));
    Barrier();
    ASSERT_EQ(writer.lists.size(), before + 1);
    EXPECT_EQ(Vdbs().Of(2), Objs({{OT::TRANSPORT_NODE_CONFIG, TnId(1)}}));
    EXPECT_EQ(Vdbs().Of(3), Objs({{OT::TRANSPORT_NODE_CONFIG, TnId(1)},
                                  {OT::LOG_SWITCH_CONFIG, LsId(1)},
                                  {OT::LOG_SWITCH_PORT_CONFIG, LspId(1)}}));
}

TEST_F(DemuxTwoVdbTest, TransportNodeDroppingOneHostSwitchEmptiesOnlyItsVdb) {
    Set(OT::TRANSPORT_NODE_CONFIG, Tn(1, {{1, {1}}, {2, {1}}}));
    Set(OT::LOG_SWITCH_CONFIG, Ls(1, 1));
    Set(OT::LOG_SWITCH_PORT_CONFIG, Lsp(1, 1));
    Set(OT::RULE, Rule(1));
    Barrier(true);
    EXPECT_TRUE(Vdbs().Has(2, OT::LOG_SWITCH_PORT_CONFIG, LspId(1)));
    EXPECT_TRUE(Vdbs().Has(3, OT::LOG_SWITCH_PORT_CONFIG, LspId(1)));
    Set(OT::TRANSPORT_NODE_CONFIG, Tn(1, {{1, {1}}}));
    Barrier();
    EXPECT_EQ(Vdbs().Of(2), Objs({{OT::TRANSPORT_NODE_CONFIG, TnId(1)},
                                  {OT::LOG_SWITCH_CONFIG, LsId(1)},
                                  {OT::LOG_SWITCH_PORT_CONFIG, LspId(1)},
                                  {OT::RULE, Rule(1).id()}}));
    // Vdb 3 is still bound (its backing stays): the globals stay there.
    EXPECT_EQ(Vdbs().Of(3), Objs({{OT::RULE, Rule(1).id()}}));
}

TEST_F(DemuxTwoVdbTest, BarrierIsForwardedAndHandedOnWithItsVdbs) {
    std::vector<std::set<uint16_t>> seen;
    demux->SetBarrierHook([&](const std::string& body, const std::set<uint16_t>& vdbs) {
        pb::BarrierMsg b;
        ASSERT_TRUE(b.ParseFromString(body));
        EXPECT_EQ(b.barrier_id(), 7u);
        seen.push_back(vdbs);
    });
    pb::BarrierMsg b;
    *b.mutable_id() = Uuid(0xb0);
    b.set_barrier_id(7);
    Set(OT::BARRIER, b);
    Barrier(true);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], (std::set<uint16_t>{2, 3}));
    EXPECT_TRUE(Vdbs().Has(2, OT::BARRIER, b.id()));
    EXPECT_TRUE(Vdbs().Has(3, OT::BARRIER, b.id()));
}

// Two host switches share vdb 2: clearing one backing keeps the other's objects and the globals;
// clearing the last flushes the vdb.
TEST_F(DemuxTest, UnbindingOneOfTwoHostSwitchesOfAVdbDeletesOnlyWhatLeaves) {
    Bind(2, 1);
    Bind(2, 2);
    Set(OT::TRANSPORT_NODE_CONFIG, Tn(1, {{1, {1}}, {2, {2}}}));
    Set(OT::LOG_SWITCH_CONFIG, Ls(1, 1));
    Set(OT::LOG_SWITCH_CONFIG, Ls(2, 2));
    Set(OT::RULE, Rule(1));
    Barrier(true);
    Unbind(2, 1);
    Barrier();
    for (const auto& r : writer.lists.back())
        EXPECT_FALSE(r.has_flush());
    EXPECT_EQ(Vdbs().Of(2), Objs({{OT::TRANSPORT_NODE_CONFIG, TnId(1)},
                                  {OT::LOG_SWITCH_CONFIG, LsId(2)},
                                  {OT::RULE, Rule(1).id()}}));
    Unbind(2, 2);
    Barrier();
    EXPECT_TRUE(Vdbs().Of(2).empty());
    EXPECT_TRUE(std::any_of(writer.lists.back().begin(), writer.lists.back().end(),
                            [](const pb::ModifyRequestMsg& r) { return r.has_flush(); }));
    EXPECT_TRUE(std::none_of(writer.lists.back().begin(), writer.lists.back().end(),
                             [](const pb::ModifyRequestMsg& r) { return r.has_delete_(); }));
    EXPECT_TRUE(demux->GetInfo().bindings.empty());
}

// ---- several parents
// ------------------------------------------------------------------------------

TEST_F(DemuxTwoVdbTest, ChildOfSeveralParentsKeepsTheVdbsAnotherParentStillSupplies) {
    // Routing domain 1 under switch 1 (vdb 2) and switch 2 (vdb 3).
    Set(OT::LOG_SWITCH_CONFIG, Ls(1, 1, 1));
    Set(OT::LOG_SWITCH_CONFIG, Ls(2, 2, 1));
    const pb::UuidMsg rd = Uuid(0x801), ndra = Uuid(0xd01);
    Set(OT::ROUTING_DOMAIN_FIB, *BodyOf(OT::ROUTING_DOMAIN_FIB, rd));
    // NDRA profile 1 named by router 1 (on switch 1) and router 2 (on switch 2).
    Set(OT::NDRA_PROFILE_CONFIG, *BodyOf(OT::NDRA_PROFILE_CONFIG, ndra));
    auto lr1 = BodyOf(OT::LOG_ROUTER_CONFIG, LrId(1),
                      {{"logical_switch_ids", LsId(1)}, {"ndra_profile_id", ndra}});
    auto lr2 = BodyOf(OT::LOG_ROUTER_CONFIG, LrId(2),
                      {{"logical_switch_ids", LsId(2)}, {"ndra_profile_id", ndra}});
    Set(OT::LOG_ROUTER_CONFIG, *lr1);
    Set(OT::LOG_ROUTER_CONFIG, *lr2);
    Barrier(true);
    for (uint16_t v : {2, 3}) {
        EXPECT_TRUE(Vdbs().Has(v, OT::ROUTING_DOMAIN_FIB, rd)) << v;
        EXPECT_TRUE(Vdbs().Has(v, OT::NDRA_PROFILE_CONFIG, ndra)) << v;
    }
    Clear(OT::LOG_SWITCH_CONFIG, Ls(1, 1, 1));
    Clear(OT::LOG_ROUTER_CONFIG, *lr2);
    Barrier();
    EXPECT_FALSE(Vdbs().Has(2, OT::ROUTING_DOMAIN_FIB, rd));
    EXPECT_TRUE(Vdbs().Has(3, OT::ROUTING_DOMAIN_FIB, rd));
    // Router 1 lost switch 1, router 2 is gone: nobody supplies a vdb any more.
    EXPECT_FALSE(Vdbs().Has(2, OT::NDRA_PROFILE_CONFIG, ndra));
    EXPECT_FALSE(Vdbs().Has(3, OT::NDRA_PROFILE_CONFIG, ndra));
    EXPECT_TRUE(demux->VdbsOf(OT::NDRA_PROFILE_CONFIG, ndra.SerializeAsString()).empty());
}

// Every node type reaches the vdb through its parent, and leaves with the binding.
TEST_F(DemuxTest, EveryNodeTypeFollowsItsParentIntoTheVdb) {
    Bind(2, 1);
    Set(OT::TRANSPORT_NODE_CONFIG, Tn(1, {{1, {1}}}));
    Set(OT::LOG_SWITCH_CONFIG, Ls(1, 1, 1));
    Set(OT::LOG_SWITCH_PORT_CONFIG, Lsp(1, 1, true));
    const std::vector<SubtreeNode> children = SubtreeOfSwitch1();
    for (const SubtreeNode& c : children)
        Feed(SetOf(c.type, *c.Body()));
    // Parents named that do not exist: demuxed nowhere.
    Feed(SetOf(OT::FIB, *BodyOf(OT::FIB, Uuid(0xbff), {{"router_id", LrId(9)}})));
    Barrier(true);
    for (const auto& c : children)
        EXPECT_TRUE(Vdbs().Has(2, c.type, c.id)) << ObjectTypeName(static_cast<uint32_t>(c.type));
    EXPECT_FALSE(Vdbs().Has(2, OT::FIB, Uuid(0xbff)));
    EXPECT_EQ(Vdbs().Of(2).size(), children.size() + 3);  // and the TN, the switch and its port
    // Removing the switch takes the whole subtree out; the transport node stays.
    Clear(OT::LOG_SWITCH_CONFIG, Ls(1, 1, 1));
    Barrier();
    EXPECT_EQ(Vdbs().Of(2),
              Objs({{OT::TRANSPORT_NODE_CONFIG, TnId(1)}, {OT::VTEP_GROUP, Uuid(0xe01)}}));
}

// ---- merging ------------------------------------------------------------------------------------

TEST_F(DemuxTest, LastOperationOfATransactionWinsPerObject) {
    LogCapture logs;
    Bind(2, 1);
    Set(OT::TRANSPORT_NODE_CONFIG, Tn(1, {{1, {1}}}));
    Set(OT::LOG_SWITCH_CONFIG, Ls(1, 1));
    pb::LogSwitchPortConfigMsg a = Lsp(1, 1);
    a.set_admin_state_up(true);
    Set(OT::LOG_SWITCH_PORT_CONFIG, a);
    Barrier(true);
    // put + delete: the port is gone.
    pb::LogSwitchPortConfigMsg b = a;
    b.set_admin_state_up(false);
    Set(OT::LOG_SWITCH_PORT_CONFIG, b);
    Clear(OT::LOG_SWITCH_PORT_CONFIG, b);
    Barrier();
    EXPECT_FALSE(Vdbs().Has(2, OT::LOG_SWITCH_PORT_CONFIG, LspId(1)));
    // delete + put (of the object just put back): the new body.
    Set(OT::LOG_SWITCH_PORT_CONFIG, a);
    Barrier();
    Clear(OT::LOG_SWITCH_PORT_CONFIG, a);
    Set(OT::LOG_SWITCH_PORT_CONFIG, b);
    Barrier();
    EXPECT_EQ(Vdbs().Body(2, OT::LOG_SWITCH_PORT_CONFIG, LspId(1)), b.SerializeAsString());
    EXPECT_EQ(writer.lists.back().size(), 1u);
    // The same put twice: one survives, logged.
    Set(OT::RULE, Rule(1));
    Set(OT::RULE, Rule(1));
    EXPECT_EQ(demux->PendingRequests().size(), 1u);
    Barrier();
    EXPECT_TRUE(logs.ContainsWithCode("Demux: find the same cairndb update", "LCP00028"));
    EXPECT_TRUE(Vdbs().Has(2, OT::RULE, Rule(1).id()));
}

// ---- forwarding tables --------------------------------------------------------------------------

pb::LogSwitchVtepEntryMsg Vtep(uint32_t ip) {
    pb::LogSwitchVtepEntryMsg e;
    *e.mutable_ip() = Ip4(ip);
    return e;
}

pb::MonitorUpdateMsg FibEntries(const pb::LogSwitchFibMsg& delivered,
                                const std::vector<std::pair<pb::PBOpType, uint32_t>>& ops) {
    pb::LogSwitchFibOpMsg op;
    op.mutable_op()->set_op(pb::SET);
    op.mutable_vtep_entries()->set_op(pb::UPDATE);
    for (const auto& [o, index] : ops)
        AddEntry(op.mutable_vtep_entries(), o, index);
    pb::MonitorUpdateMsg u = SetOf(ObjectType::LOG_SWITCH_FIB, delivered);
    u.set_op_msg(op.SerializeAsString());
    return u;
}

TEST_F(DemuxTest, ForwardingTableIsPatchedFromEntryOperations) {
    LogCapture logs;
    Bind(2, 1);
    Set(OT::TRANSPORT_NODE_CONFIG, Tn(1, {{1, {1}}}));
    Set(OT::LOG_SWITCH_CONFIG, Ls(1, 1));
    pb::LogSwitchFibMsg fib;
    *fib.mutable_id() = LsId(1);
    *fib.add_vtep_entries() = Vtep(1);
    *fib.add_vtep_entries() = Vtep(2);
    *fib.add_vtep_entries() = Vtep(3);
    Set(OT::LOG_SWITCH_FIB, fib);
    Barrier(true);
    // Entry 0 removed, entry 1 of the delivered (partial) body appended.
    pb::LogSwitchFibMsg delivered;
    *delivered.mutable_id() = LsId(1);
    *delivered.add_vtep_entries() = Vtep(9);
    *delivered.add_vtep_entries() = Vtep(4);
    Feed(FibEntries(delivered, {{pb::REMOVE, 0}, {pb::APPEND, 1}}));
    Barrier();
    pb::LogSwitchFibMsg stored;
    ASSERT_TRUE(stored.ParseFromString(Vdbs().Body(2, OT::LOG_SWITCH_FIB, LsId(1))));
    ASSERT_EQ(stored.vtep_entries_size(), 3);
    EXPECT_EQ(stored.vtep_entries(0).ip().ipv4(), 2u);
    EXPECT_EQ(stored.vtep_entries(1).ip().ipv4(), 3u);
    EXPECT_EQ(stored.vtep_entries(2).ip().ipv4(), 4u);
    EXPECT_TRUE(logs.Contains("Demux: Delete subrange vtep size 3, index 0"));
    // An index past the stored list: logged, the delivered body is taken.
    Feed(FibEntries(delivered, {{pb::REMOVE, 3}}));
    Barrier();
    EXPECT_TRUE(logs.ContainsWithCode("do not fit the stored table", "LCP00028"));
    EXPECT_EQ(Vdbs().Body(2, OT::LOG_SWITCH_FIB, LsId(1)), delivered.SerializeAsString());
    // An index past the delivered body likewise.
    logs.Clear();
    Feed(FibEntries(fib, {{pb::APPEND, 3}}));
    EXPECT_TRUE(logs.ContainsWithCode("do not fit the stored table", "LCP00028"));
    // A whole-list SET takes the delivered list.
    Set(OT::LOG_SWITCH_FIB, fib);
    Barrier();
    EXPECT_EQ(Vdbs().Body(2, OT::LOG_SWITCH_FIB, LsId(1)), fib.SerializeAsString());
}

// ---- bad input ----------------------------------------------------------------------------------

struct BadCase {
    const char* name;
    pb::MonitorUpdateMsg update;
    const char* log;
};

class DemuxBadInputTest : public DemuxTest, public ::testing::WithParamInterface<BadCase> {};

TEST_P(DemuxBadInputTest, IsLoggedWithItsCodeAndDropped) {
    Bind(2, 1);
    Topology();
    Barrier(true);
    const Demux::Info before = demux->GetInfo();
    LogCapture logs;
    Feed(GetParam().update);
    EXPECT_TRUE(logs.ContainsWithCode(GetParam().log, "LCP00028")) << logs.Dump();
    EXPECT_TRUE(demux->PendingRequests().empty());
    const Demux::Info after = demux->GetInfo();
    EXPECT_EQ(after.nodes, before.nodes);
    EXPECT_EQ(after.globals, before.globals);
    EXPECT_EQ(after.objectsPerVdb, before.objectsPerVdb);
}

pb::MonitorUpdateMsg WithType(pb::MonitorUpdateMsg u, uint32_t type) {
    u.set_object_type(static_cast<pb::ObjectType>(type));
    return u;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DemuxBadInputTest,
    ::testing::Values(
        BadCase{"BodyDoesNotParse",
                WithBody(SetOf(OT::LOG_SWITCH_CONFIG, Ls(1, 1)), "\xff\xff\xff"),
                "does not parse or carries no id"},
        BadCase{"BodyWithoutId",
                SetOf(OT::LOG_SWITCH_CONFIG,
                      [] {
                          pb::LogSwitchConfigMsg ls = Ls(1, 1);
                          ls.clear_id();
                          return ls;
                      }()),
                "does not parse or carries no id"},
        BadCase{"OpDoesNotParse", WithOp(SetOf(OT::LOG_SWITCH_PORT_CONFIG, Lsp(1, 1)), "\x0a\xff"),
                "with invalid operation"},
        BadCase{"TableWithInvalidOperation",
                SetOf(OT::LOG_SWITCH_FIB, *BodyOf(OT::LOG_SWITCH_FIB, LsId(1)), pb::INSERT),
                "Demux: Demux logical switch fib with invalide type 9"},
        BadCase{"GlobalWithoutId", SetOf(OT::RULE, pb::RuleMsg()), "without id, dropped"},
        BadCase{"GlobalBodyDoesNotParse", WithBody(SetOf(OT::RULE, Rule(5)), "\x0a\x05"),
                "without id, dropped"},
        BadCase{"UnknownType", WithType(SetOf(OT::RULE, Rule(5)), 250), "is not demuxed"}),
    [](const ::testing::TestParamInfo<BadCase>& info) { return info.param.name; });

TEST_F(DemuxTest, EntityGroupOfAnotherEntityTypeIsKeptButDemuxedNowhere) {
    LogCapture logs;
    Bind(2, 1);
    Topology();
    pb::EntityGroupRelationMsg erg;
    *erg.mutable_id() = Uuid(0xb17);
    erg.set_entity_type(3);
    *erg.add_entity_ids() = LspId(1);
    Set(OT::ENTITY_GROUP_RELATION, erg);
    Barrier(true);
    EXPECT_TRUE(logs.Contains("Demux: Entity group type 3 is not LSP or LRP"));
    EXPECT_FALSE(Vdbs().Has(2, OT::ENTITY_GROUP_RELATION, erg.id()));
}

TEST_F(DemuxTest, NodeTypesPastTheTableAreRefused) {
    LogCapture logs;
    EXPECT_EQ(demux::ObjectTypeOfNode(21), OT::LOG_ROUTER_PORT_DAD_REQUEST);
    EXPECT_EQ(demux::ObjectTypeOfNode(3), OT::TRANSPORT_NODE_CONFIG);
    EXPECT_FALSE(logs.Contains("invalid node type"));
    for (uint32_t t : {22u, 23u, 255u, 0xFFFFFFFFu}) {
        EXPECT_EQ(demux::ObjectTypeOfNode(t), OT::OBJECT_TYPE_INVALID);
        EXPECT_TRUE(logs.ContainsWithCode(
            "Demux: Get object with invalid node type " + std::to_string(t) + ".", "LCP00028"));
    }
}

// Self references and loops a malformed body can express end, demuxed nowhere.
TEST_F(DemuxTest, SelfReferencesEndWithoutPlacingTheObject) {
    Bind(2, 1);
    Set(OT::TRANSPORT_NODE_CONFIG, Tn(1, {{1, {1}}}));
    pb::LogSwitchConfigMsg self = Ls(1, 1);
    *self.mutable_transport_zone_id() = self.id();  // its own id as its zone
    Set(OT::LOG_SWITCH_CONFIG, self);
    pb::LogSwitchPortConfigMsg port = Lsp(1, 1);
    *port.mutable_switch_id() = port.id();
    Set(OT::LOG_SWITCH_PORT_CONFIG, port);
    Set(OT::LOG_ROUTER_CONFIG,
        *BodyOf(OT::LOG_ROUTER_CONFIG, LrId(1),
                {{"logical_switch_ids", LrId(1)}, {"dad_profile_id", LrId(1)}}));
    // A transport node whose host switch is itself, twice.
    pb::TransportNodeConfigMsg tn = Tn(2, {{2, {2}}, {2, {2}}});
    *tn.mutable_transport_switches(0)->mutable_host_switch_id() = tn.id();
    Set(OT::TRANSPORT_NODE_CONFIG, tn);
    Barrier(true);
    EXPECT_EQ(Vdbs().Of(2), Objs({{OT::TRANSPORT_NODE_CONFIG, TnId(1)}}));
    Clear(OT::TRANSPORT_NODE_CONFIG, tn);
    Clear(OT::LOG_SWITCH_CONFIG, self);
    Barrier();
    EXPECT_EQ(demux->GetInfo().nodes, 4u);  // TN 1, its host switch, the port, the router
}

}  // namespace
}  // namespace CfgAgent::test
