// L2App's routing domains and VTEP groups: the per-switch routing domain lists, the remote state of
// each domain in use (at Full Sync End, on change, when the last logical switch leaves), the
// global routing domain with the only switch instance, VTEP groups and their bindings. Messages
// are compared with bytes written from the layout.
#include <nlohmann/json.hpp>

#include "proto/cairndb_system.pb.h"
#include "tests/apps/switching/L2AppFixture.h"

namespace CfgAgent::test {
namespace {

constexpr uint32_t kSw = 7;

// Routing domain n as it travels (the two big-endian halves of RdId(n)).
Bytes RdBytes(uint8_t n) {
    return Cat({H("7d 00 00 00 00 00 00 00"), Zeros(7), Bytes{n}});
}
// A Routing domain membership change: join with the removed and added VTEP entries, or leave.
Bytes RdJoin(uint8_t rd, const std::vector<Bytes>& removed, const std::vector<Bytes>& added,
             uint8_t global = 0, uint32_t sw = kSw) {
    Bytes body = Cat({U32(sw), RdBytes(rd), Bytes{1, global}, U16(removed.size())});
    for (const Bytes& e : removed)
        body = Cat({body, e});
    for (const Bytes& e : added)
        body = Cat({body, e});
    return Msg(14, body);
}
Bytes RdLeave(uint8_t rd, uint8_t global = 0, uint32_t sw = kSw) {
    return Msg(14, Cat({U32(sw), RdBytes(rd), Bytes{2, global}}));
}
Bytes RdList(uint32_t sw, const std::vector<uint8_t>& rds) {
    Bytes v = Cat({U32(sw), Bytes{0}});
    for (uint8_t rd : rds)
        v = Cat({v, RdBytes(rd)});
    return Update({Tlv(10, v)});
}
// A remote VTEP 10.0.0.x with label and MAC 02:00:00:00:00:x, as desired and as sent.
std::string RemoteVtep(uint8_t x, uint32_t label) {
    return VtepBody(0x0a000000u | x, label, 0x020000000000ull | x);
}

// VTEP groups.
std::string GroupId(uint64_t n) {
    return SerializedUuid(0x6b00000000000000ull, n);
}
std::string GroupBody(uint64_t key, uint32_t type = 1, uint32_t protocol = 1) {
    pb::VtepGroupMsg g;
    g.set_key(key);
    g.set_group_type(type);
    g.set_activeness_protocol(protocol);
    return g.SerializeAsString();
}
std::string LabelBody(uint32_t label, uint32_t ipv4 = 0) {
    pb::VtepLabelMsg l;
    l.set_label(label);
    if (ipv4 != 0)
        l.mutable_vtep_ip()->set_ipv4(ipv4);
    return l.SerializeAsString();
}
Bytes Member(uint32_t label, uint8_t x) {
    return Cat({U32(label), Bytes{10, 0, 1, x}, HostType(1), Zeros(16)});
}
Bytes Group(uint32_t label, uint8_t op, const std::vector<Bytes>& members) {
    Bytes body = Cat({U32(label), Bytes{op, 1, 1, 0}});
    for (const Bytes& m : members)
        body = Cat({body, m});
    return Msg(8, body);
}
Bytes LsBinding(uint32_t vni, uint32_t label, uint8_t op) {
    return Msg(9, Cat({U32(kSw), U32(vni), U32(label), Bytes{op}}));
}

class L2AppDomainsTest : public L2AppFixture {
  protected:
    std::vector<Bytes> SentBytes(uint16_t type) {
        std::vector<Bytes> out;
        for (const DpMsg& m : SentOfType(type))
            out.emplace_back(m.begin(), m.end());
        return out;
    }
    // Update messages of data type 10.
    std::vector<Bytes> SentLists() {
        std::vector<Bytes> out;
        for (const Bytes& m : SentBytes(vxlan::kMsgUpdate)) {
            if (m.size() >= 6 && m[4] == 0 && m[5] == 10)
                out.push_back(m);
        }
        return out;
    }
    void GlobalConfig(const std::string& globalRd) {
        pb::GlobalConfigMsg g;
        g.mutable_global_routing_domain_id()->ParseFromString(globalRd);
        CairnDBUpdateMsg r;
        r.objType = ObjectType::GLOBAL_CONFIG;
        r.id = SerializedUuid(0x9c, 1);
        r.data = g.SerializeAsString();
        app->UpdateDesiredState({r}, false);
    }
};

// Three switches of this host in two routing domains: one list per switch, the remote state of
// each domain at Full Sync End, and a domain's state dropped only with its last switch.
TEST_F(L2AppDomainsTest, DomainsFollowTheJoinedSwitches) {
    ApplySwitch(LsId(1), 5001, RdId(1));
    ApplySwitch(LsId(2), 5002, RdId(1));
    ApplySwitch(LsId(3), 5003, RdId(2));
    ApplyL2(ObjectType::ROUTING_DOMAIN_FIB, RdId(1), {{PropertyType::L2_VTEP, RemoteVtep(9, 33)}});
    Synced({Join(kSw, 5001), Join(kSw, 5002), Join(kSw, 5003),
            Update({RdVtepTlv(kSw, {VtepV4(5, 0)})})});

    std::vector<Bytes> lists = SentLists();
    ASSERT_FALSE(lists.empty());
    EXPECT_EQ(lists.back(),
              Cat({H("00 05 00 2d 00 0a 00 29 00 00 00 07 00"), RdBytes(1), RdBytes(2)}))
        << "13 + 16n bytes, both domains of switch 7";
    EXPECT_EQ(SentBytes(vxlan::kMsgRdMembership),
              (std::vector<Bytes>{RdJoin(1, {}, {VtepV4(9, 33)}), RdJoin(2, {}, {})}));
    EXPECT_TRUE(log.Contains("L2App: L2 remote routing state cache sync to dp msg"));
    EXPECT_TRUE(log.Contains("L2App: L2 remote global routing state cache is empty"));
    EXPECT_TRUE(log.Contains("L2App: Attach LS " + IdText(LsId(2)) + " to routingDomainID " +
                             IdText(RdId(1))));
    EXPECT_EQ(Db().DomainVteps(RdId(1)), (std::set<uint64_t>{0x0a000005}));

    // One of the two switches of domain 1 leaves: nothing of the domain goes.
    link->ClearSent();
    Deliver(Join(kSw, 5001, 2));
    EXPECT_TRUE(SentBytes(vxlan::kMsgRdMembership).empty());
    EXPECT_TRUE(SentLists().empty()) << "switch 7 still has both domains";
    EXPECT_EQ(Db().DomainVteps(RdId(1)), (std::set<uint64_t>{0x0a000005}));

    // The last one leaves: the domain's remote state and its ROUTING_DOMAIN_VTEP row go.
    Deliver(Join(kSw, 5002, 2));
    EXPECT_EQ(SentBytes(vxlan::kMsgRdMembership), (std::vector<Bytes>{RdLeave(1)}));
    EXPECT_EQ(SentLists(), (std::vector<Bytes>{RdList(kSw, {2})}));
    EXPECT_TRUE(Db().DomainVteps(RdId(1)).empty());
    EXPECT_TRUE(log.Contains("L2App: Delete the routingDomain ID " + IdText(RdId(1))));
    // The desired state is never written.
    CairnDBUpdateList desired;
    EXPECT_TRUE(cache->L2Table()->GetObject(L2Store::kDesired, RdId(1), &desired));
}

TEST_F(L2AppDomainsTest, EmptyCachesAreLogged) {
    ApplySwitch(LsId(1), 5001);
    Synced({Join(kSw, 5001)});
    EXPECT_TRUE(log.Contains("L2App: L2 remote routing state cache is empty"));
    EXPECT_TRUE(log.Contains("L2App: L2 remote global routing state cache is empty"));
    EXPECT_TRUE(SentBytes(vxlan::kMsgRdMembership).empty());
    EXPECT_TRUE(SentLists().empty());
}

// Remote VTEPs of a domain in use follow the desired store: additions, removals, and what a full
// sync of the store no longer holds.
TEST_F(L2AppDomainsTest, DomainVtepsFollowTheDesiredStore) {
    ApplySwitch(LsId(1), 5001, RdId(1));
    ApplyL2(
        ObjectType::ROUTING_DOMAIN_FIB, RdId(1),
        {{PropertyType::L2_VTEP, RemoteVtep(1, 11)}, {PropertyType::L2_VTEP, RemoteVtep(2, 12)}});
    Synced({Join(kSw, 5001)});
    link->ClearSent();
    ApplyL2(ObjectType::ROUTING_DOMAIN_FIB, RdId(1),
            {{PropertyType::L2_VTEP, RemoteVtep(1, 11), Operation::OPERATION_DELETE},
             {PropertyType::L2_VTEP, RemoteVtep(3, 13)}});
    // Full sync without VTEP 2 (VTEP 3 unchanged).
    ApplyL2(ObjectType::ROUTING_DOMAIN_FIB, RdId(1), {{PropertyType::L2_VTEP, RemoteVtep(3, 13)}},
            true);
    std::vector<Bytes> sent = SentBytes(vxlan::kMsgRdMembership);
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent.front(), RdJoin(1, {VtepV4(1, 11)}, {VtepV4(3, 13)}));
    EXPECT_EQ(sent.back(), RdJoin(1, {VtepV4(2, 12)}, {})) << "what the full sync no longer holds";
    for (size_t i = 1; i + 1 < sent.size(); ++i)
        EXPECT_EQ(sent[i], RdJoin(1, {}, {VtepV4(3, 13)})) << "at most the unchanged entry again";
}

// The global routing domain goes with the only switch instance; with two it is refused.
TEST_F(L2AppDomainsTest, GlobalDomainNeedsExactlyOneInstance) {
    GlobalConfig(RdId(9));
    ApplyL2(ObjectType::ROUTING_DOMAIN_FIB, RdId(9), {{PropertyType::L2_VTEP, RemoteVtep(4, 44)}});
    Synced({Instance(kSw, 1)});
    EXPECT_EQ(SentBytes(vxlan::kMsgRdMembership),
              (std::vector<Bytes>{RdJoin(9, {}, {VtepV4(4, 44)}, 1)}));
    EXPECT_TRUE(log.Contains("L2App: L2 remote global routing state cache sync to dp msg"));
    link->ClearSent();
    Deliver(Instance(8, 1));
    EXPECT_TRUE(log.ContainsWithCode(
        "L2App: only one host switch is supported for global routing domain 2 instance found",
        "LCP00409"));
    EXPECT_EQ(SentBytes(vxlan::kMsgRdMembership), (std::vector<Bytes>{RdLeave(9, 1)}));
    link->ClearSent();
    Deliver(Instance(8, 2));
    EXPECT_EQ(SentBytes(vxlan::kMsgRdMembership),
              (std::vector<Bytes>{RdJoin(9, {}, {VtepV4(4, 44)}, 1)}));
}

// A group is sent at the Open ACK, bound when its switch is sent, updated in place while in use,
// reported and unbound when deleted in use, and bound again when it comes back.
TEST_F(L2AppDomainsTest, VtepGroupLifecycle) {
    ApplySwitch(LsId(1), 5001);
    ApplyL2(ObjectType::VTEP_GROUP, GroupId(1),
            {{PropertyType::L2_VTEP_GROUP, GroupBody(100)},
             {PropertyType::L2_VTEP_GROUP_LABEL, LabelBody(5, 0x0a000101)},
             {PropertyType::L2_VTEP_GROUP_LABEL, LabelBody(6, 0x0a000102)}});
    ApplyFib(LsId(1), {{PropertyType::L2_VTEP_GROUP_LABEL, LabelBody(100)}});
    Synced({Join(kSw, 5001)});
    EXPECT_EQ(SentBytes(vxlan::kMsgVtepGroup),
              (std::vector<Bytes>{Group(100, 1, {Member(5, 1), Member(6, 2)})}));
    EXPECT_EQ(SentBytes(vxlan::kMsgLsVtepGroupBinding),
              (std::vector<Bytes>{LsBinding(5001, 100, 1)}));
    EXPECT_EQ(app->BoundGroups(5001), (std::set<uint32_t>{100}));

    link->ClearSent();
    ApplyL2(ObjectType::VTEP_GROUP, GroupId(1),
            {{PropertyType::L2_VTEP_GROUP_LABEL, LabelBody(7, 0x0a000103)}});
    EXPECT_TRUE(log.Contains("L2App: Updating TEP Group under usage (1/0) "));
    EXPECT_EQ(SentBytes(vxlan::kMsgVtepGroup),
              (std::vector<Bytes>{Group(100, 1, {Member(5, 1), Member(6, 2), Member(7, 3)})}));
    EXPECT_TRUE(SentBytes(vxlan::kMsgLsVtepGroupBinding).empty()) << "an update keeps bindings";

    link->ClearSent();
    ApplyL2(ObjectType::VTEP_GROUP, GroupId(1),
            {{PropertyType::L2_VTEP_GROUP, GroupBody(100), Operation::OPERATION_DELETE}}, false,
            Operation::OPERATION_DELETE);
    EXPECT_TRUE(log.Contains("L2App: Delete VTEP Group (type 1) in use (1/0) "));
    EXPECT_EQ(SentBytes(vxlan::kMsgVtepGroup), (std::vector<Bytes>{Group(100, 2, {})}));
    EXPECT_TRUE(app->BoundGroups(5001).empty());
    EXPECT_TRUE(app->SentGroups().empty());

    link->ClearSent();
    ApplyL2(ObjectType::VTEP_GROUP, GroupId(1),
            {{PropertyType::L2_VTEP_GROUP, GroupBody(100)},
             {PropertyType::L2_VTEP_GROUP_LABEL, LabelBody(5, 0x0a000101)}});
    EXPECT_EQ(SentBytes(vxlan::kMsgVtepGroup), (std::vector<Bytes>{Group(100, 1, {Member(5, 1)})}));
    EXPECT_EQ(SentBytes(vxlan::kMsgLsVtepGroupBinding),
              (std::vector<Bytes>{LsBinding(5001, 100, 1)}));

    // Disassociation, and a label without a group.
    link->ClearSent();
    ApplyFib(LsId(1),
             {{PropertyType::L2_VTEP_GROUP_LABEL, LabelBody(100), Operation::OPERATION_DELETE},
              {PropertyType::L2_VTEP_GROUP_LABEL, LabelBody(200)}});
    EXPECT_EQ(SentBytes(vxlan::kMsgLsVtepGroupBinding),
              (std::vector<Bytes>{LsBinding(5001, 100, 2)}));
    EXPECT_TRUE(log.Contains("L2App: VTEP GROUP (200) does not exist"));
    EXPECT_TRUE(log.Contains("L2App: LS(" + IdText(LsId(1)) + ")/VG(100) is to be disassociated"));
}

TEST_F(L2AppDomainsTest, DomainsAreBoundToTheirGroupsAndListed) {
    ApplySwitch(LsId(1), 5001, RdId(1));
    ApplyL2(ObjectType::VTEP_GROUP, GroupId(2),
            {{PropertyType::L2_VTEP_GROUP, GroupBody(300, 2, 0)},
             {PropertyType::L2_VTEP_GROUP_LABEL, LabelBody(8, 0x0a000108)}});
    ApplyL2(ObjectType::ROUTING_DOMAIN_FIB, RdId(1),
            {{PropertyType::L2_VTEP_GROUP_LABEL, LabelBody(300)}});
    Synced({Join(kSw, 5001)});
    EXPECT_EQ(SentBytes(vxlan::kMsgRdVtepGroupBinding),
              (std::vector<Bytes>{Msg(10, Cat({RdBytes(1), U32(300), Bytes{1}}))}));
    EXPECT_TRUE(log.Contains("L2App: RD(" + IdText(RdId(1)) + ")/VG(300) is to be associated"));

    nlohmann::json page = nlohmann::json::parse(app->RoutingDomainsJson());
    ASSERT_EQ(page["routing_domains"].size(), 1u);
    const nlohmann::json& rd = page["routing_domains"][0];
    EXPECT_EQ(rd["routing_domain"], IdText(RdId(1)));
    EXPECT_EQ(rd["logical_switches"][0]["vni"], 5001);
    EXPECT_EQ(rd["vtep_groups"], nlohmann::json::array({300}));
    EXPECT_EQ(page["switch_lists"]["7"], nlohmann::json::array({IdText(RdId(1))}));
}

// A session restart re-sends groups, lists and domain state (the dataplane forgot them).
TEST_F(L2AppDomainsTest, RestartResendsEverything) {
    ApplySwitch(LsId(1), 5001, RdId(1));
    ApplyL2(ObjectType::VTEP_GROUP, GroupId(1), {{PropertyType::L2_VTEP_GROUP, GroupBody(100)}});
    Synced({Join(kSw, 5001)});
    link->ClearSent();
    app->SimulateOutOfSync();
    Ack();
    Deliver(Join(kSw, 5001));
    End();
    EXPECT_EQ(SentBytes(vxlan::kMsgVtepGroup), (std::vector<Bytes>{Group(100, 1, {})}));
    EXPECT_EQ(SentLists(), (std::vector<Bytes>{RdList(kSw, {1})}));
    EXPECT_EQ(SentBytes(vxlan::kMsgRdMembership), (std::vector<Bytes>{RdJoin(1, {}, {})}));
}

}  // namespace
}  // namespace CfgAgent::test
