// Decoder: forwarding-table entries (pattern E), L2 and L3, with the entry errors.
#include <gtest/gtest.h>

#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_routing.pb.h"
#include "tests/intake/DecodeTestUtil.h"
#include "tests/support/LogCapture.h"
#include "tests/support/RecordText.h"

namespace CfgAgent::test {
namespace {

using OT = ObjectType;
using PT = PropertyType;
using Op = Operation;

pb::LogSwitchMacEntryMsg Mac(uint64_t mac) {
    pb::LogSwitchMacEntryMsg m;
    m.set_mac(mac);
    *m.mutable_vtep_ip() = Ip4(0x0a000001);
    return m;
}

pb::LogSwitchFibMsg FibWithMacs(std::initializer_list<uint64_t> macs) {
    pb::LogSwitchFibMsg fib;
    *fib.mutable_id() = Uuid(7);
    for (uint64_t m : macs)
        *fib.add_mac_entries() = Mac(m);
    return fib;
}

// Records of one property, in order.
CairnDBUpdateList OfProperty(const CairnDBUpdateList& all, PT p) {
    CairnDBUpdateList out;
    for (const auto& r : all) {
        if (r.property == p)
            out.push_back(r);
    }
    return out;
}

TEST(DecoderL2Fib, RemoveOfOneMacEntryGivesOneDeleteOfThatEntry) {
    LogCapture logs;
    pb::LogSwitchFibMsg oldFib = FibWithMacs({1, 2, 3});
    pb::LogSwitchFibMsg newFib = FibWithMacs({1, 3});
    auto op = ObjOp<pb::LogSwitchFibOpMsg>(pb::SET);
    AddEntry(op.mutable_mac_entries(), pb::REMOVE, 1);
    DecodeResult r = DecodeOne(MakeUpdate(OT::LOG_SWITCH_FIB, op, &newFib, &oldFib, true));
    EXPECT_EQ(GroupComponents(r, 0), std::vector<ComponentType>{ComponentType::L2CACHE});
    const CairnDBUpdateList& recs = r.groups[0].records;
    // A modify (old body present) carries no object record.
    EXPECT_EQ(Summary(recs), "DELETE L2_VM_MAC");
    EXPECT_EQ(Data(recs), std::vector<std::string>{Mac(2).SerializeAsString()});
    EXPECT_EQ(recs.at(0).id, Uuid(7).SerializeAsString());
    EXPECT_EQ(recs.at(0).traceContext(), TestSpan().SerializeAsString());
    EXPECT_TRUE(logs.Contains("Decoder: generate L2_VM_MAC DELETE msg: "));
    EXPECT_TRUE(logs.Contains("Decoder: Received LOG_SWITCH_FIB msg (Operation SET): "));
}

TEST(DecoderL2Fib, SetOfTheListRemovesAllOldThenAddsAllNew) {
    LogCapture logs;
    pb::LogSwitchFibMsg oldFib = FibWithMacs({1, 2, 3});
    pb::LogSwitchFibMsg newFib = FibWithMacs({1, 3});
    auto op = OpOf(OT::LOG_SWITCH_FIB, pb::SET, {{"mac_entries", pb::SET}});
    CairnDBUpdateList macs =
        OfProperty(AllRecords(DecodeOne(MakeUpdate(OT::LOG_SWITCH_FIB, *op, &newFib, &oldFib))),
                   PT::L2_VM_MAC);
    EXPECT_EQ(Summary(macs),
              "DELETE L2_VM_MAC, DELETE L2_VM_MAC, DELETE L2_VM_MAC, UPDATE "
              "L2_VM_MAC, UPDATE L2_VM_MAC");
    std::vector<std::string> data;
    for (uint64_t m : {1, 2, 3, 1, 3})
        data.push_back(Mac(m).SerializeAsString());
    EXPECT_EQ(Data(macs), data);
    EXPECT_EQ(logs.Count("Decoder: generate L2_VM_MAC UPDATE msg: "), 2u);
}

TEST(DecoderL2Fib, InitialContentsAddEveryEntryOfEveryList) {
    pb::LogSwitchFibMsg fib = FibWithMacs({1, 2});
    fib.add_vtep_entries()->set_label(5);
    fib.add_ip_entries()->set_mac(9);
    auto op = OpOf(OT::LOG_SWITCH_FIB, pb::SET,
                   {{"vtep_entries", pb::SET}, {"mac_entries", pb::SET}, {"ip_entries", pb::SET}});
    CairnDBUpdateList recs = AllRecords(DecodeOne(MakeUpdate(OT::LOG_SWITCH_FIB, *op, &fib)));
    // A new object is announced first (the L2 table ignores entries of unknown objects).
    EXPECT_EQ(Summary(recs),
              "UPDATE INVALID_PROPERTY, UPDATE L2_VTEP, UPDATE L2_VM_MAC, UPDATE "
              "L2_VM_MAC, UPDATE L2_VM_IP");
    EXPECT_TRUE(recs.at(0).data.empty());
}

TEST(DecoderL2Fib, ObjectClearRemovesEveryOldEntryThenTheObject) {
    LogCapture logs;
    pb::LogSwitchFibMsg oldFib = FibWithMacs({1, 2});
    oldFib.add_vtep_entries()->set_label(5);
    // An explicit op message may name no field at all: the removal still takes every entry.
    auto op = ObjOp<pb::LogSwitchFibOpMsg>(pb::CLEAR);
    CairnDBUpdateList recs =
        AllRecords(DecodeOne(MakeUpdate(OT::LOG_SWITCH_FIB, op, nullptr, &oldFib)));
    EXPECT_EQ(Summary(recs),
              "DELETE L2_VTEP, DELETE L2_VM_MAC, DELETE L2_VM_MAC, DELETE "
              "INVALID_PROPERTY");
    EXPECT_TRUE(
        logs.Contains("Decoder: Received CLEAR operation for logical switch ID "
                      "00000000-0000-1111-0000-000000000007"));

    pb::RoutingDomainFibMsg rd;
    *rd.mutable_id() = Uuid(8);
    rd.add_vtep_entries()->set_label(1);
    recs = AllRecords(DecodeOne(MakeUpdate(OT::ROUTING_DOMAIN_FIB, pb::CLEAR, nullptr, &rd)));
    EXPECT_EQ(Summary(recs), "DELETE L2_VTEP, DELETE INVALID_PROPERTY");
    EXPECT_TRUE(
        logs.Contains("Decoder: Received CLEAR operation for routing domain ID "
                      "00000000-0000-1111-0000-000000000008"));
    EXPECT_TRUE(logs.Contains("Decoder: generate L2_VTEP DELETE msg: "));
}

TEST(DecoderL2Fib, EntryIndexesOutsideTheListsAreSkippedWithAnError) {
    LogCapture logs;
    pb::LogSwitchFibMsg oldFib = FibWithMacs({1});
    pb::LogSwitchFibMsg newFib = FibWithMacs({1, 2});
    auto op = ObjOp<pb::LogSwitchFibOpMsg>(pb::SET);
    AddEntry(op.mutable_mac_entries(), pb::APPEND, 5);
    AddEntry(op.mutable_mac_entries(), pb::REMOVE, 3);
    AddEntry(op.mutable_mac_entries(), pb::APPEND, 1);
    CairnDBUpdateList macs = OfProperty(
        AllRecords(DecodeOne(MakeUpdate(OT::LOG_SWITCH_FIB, op, &newFib, &oldFib))), PT::L2_VM_MAC);
    EXPECT_EQ(Data(macs), std::vector<std::string>{Mac(2).SerializeAsString()});
    EXPECT_TRUE(logs.ContainsWithCode(
        "Decoder: LOG_SWITCH_FIB MAC entry, msg size not match, op msg index 0", "LCP00028"));
    EXPECT_TRUE(logs.ContainsWithCode(
        "Decoder: LOG_SWITCH_FIB MAC entry, old msg size not match, op msg index 1 old msg index 3",
        "LCP00028"));
}

TEST(DecoderL2VtepGroup, KeyChangeAndLabelAppend) {
    LogCapture logs;
    pb::VtepGroupMsg oldG;
    *oldG.mutable_id() = Uuid(4);
    oldG.set_key(1);
    oldG.add_labels()->set_label(10);
    pb::VtepGroupMsg newG = oldG;
    newG.set_key(2);
    newG.add_labels()->set_label(11);
    auto op = ObjOp<pb::VtepGroupOpMsg>(pb::SET);
    op.mutable_key()->set_op(pb::SET);
    AddEntry(op.mutable_labels(), pb::APPEND, 1);
    CairnDBUpdateList recs = AllRecords(DecodeOne(MakeUpdate(OT::VTEP_GROUP, op, &newG, &oldG)));
    EXPECT_EQ(Summary(recs),
              "DELETE L2_VTEP_GROUP, UPDATE L2_VTEP_GROUP, UPDATE L2_VTEP_GROUP_LABEL");
    // The key records carry the key alone.
    pb::VtepGroupMsg key1, key2;
    key1.set_key(1);
    key2.set_key(2);
    EXPECT_EQ(Data(recs),
              (std::vector<std::string>{key1.SerializeAsString(), key2.SerializeAsString(),
                                        newG.labels(1).SerializeAsString()}));
    EXPECT_TRUE(logs.Contains("Decoder: Received L2_VTEP_GROUP msg (Operation SET): "));
    EXPECT_TRUE(logs.Contains("Decoder: generate L2_VTEP_GROUP_LABEL UPDATE msg: "));
}

TEST(DecoderL2VtepGroup, TypeAndProtocolTravelWithTheKey) {
    pb::VtepGroupMsg oldG;
    *oldG.mutable_id() = Uuid(4);
    oldG.set_key(1);
    oldG.set_group_type(1);
    pb::VtepGroupMsg newG = oldG;
    newG.set_activeness_protocol(1);
    // Only the protocol changed: the key's entry is replaced by one that carries it.
    auto op = OpOf(OT::VTEP_GROUP, pb::SET, {{"activeness_protocol", pb::SET}});
    CairnDBUpdateList recs = AllRecords(DecodeOne(MakeUpdate(OT::VTEP_GROUP, *op, &newG, &oldG)));
    ASSERT_EQ(recs.size(), 2u);
    pb::VtepGroupMsg g;
    EXPECT_EQ(recs[0].op, Op::OPERATION_DELETE);
    ASSERT_TRUE(g.ParseFromString(recs[0].data));
    EXPECT_FALSE(g.has_activeness_protocol());
    EXPECT_EQ(recs[1].op, Op::OPERATION_UPDATE);
    ASSERT_TRUE(g.ParseFromString(recs[1].data));
    EXPECT_EQ(g.key(), 1u);
    EXPECT_EQ(g.group_type(), 1u);
    EXPECT_EQ(g.activeness_protocol(), 1u);
    EXPECT_FALSE(g.has_id());

    // A cleared key removes the entry, whatever else changed.
    pb::VtepGroupMsg noKey = newG;
    noKey.clear_key();
    noKey.set_group_type(2);
    op = OpOf(OT::VTEP_GROUP, pb::SET, {{"key", pb::CLEAR}, {"group_type", pb::SET}});
    recs = AllRecords(DecodeOne(MakeUpdate(OT::VTEP_GROUP, *op, &noKey, &newG)));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].op, Op::OPERATION_DELETE);
    EXPECT_EQ(recs[0].property, PT::L2_VTEP_GROUP);
}

TEST(DecoderL2Fib, VtepGroupLabelsOfSwitchAndRoutingDomainFibs) {
    pb::LogSwitchFibMsg oldFib = FibWithMacs({});
    oldFib.add_vtep_group_labels()->set_label(9);
    pb::LogSwitchFibMsg newFib = FibWithMacs({});
    newFib.add_vtep_group_labels()->set_label(10);
    auto op = OpOf(OT::LOG_SWITCH_FIB, pb::SET, {{"vtep_group_labels", pb::SET}});
    CairnDBUpdateList recs =
        OfProperty(AllRecords(DecodeOne(MakeUpdate(OT::LOG_SWITCH_FIB, *op, &newFib, &oldFib))),
                   PT::L2_VTEP_GROUP_LABEL);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].op, Op::OPERATION_DELETE);
    EXPECT_EQ(recs[0].data, oldFib.vtep_group_labels(0).SerializeAsString());
    EXPECT_EQ(recs[1].op, Op::OPERATION_UPDATE);
    EXPECT_EQ(recs[1].data, newFib.vtep_group_labels(0).SerializeAsString());

    pb::RoutingDomainFibMsg rd;
    *rd.mutable_id() = Uuid(8);
    rd.add_vtep_group_labels()->set_label(11);
    op = OpOf(OT::ROUTING_DOMAIN_FIB, pb::SET, {{"vtep_group_labels", pb::SET}});
    recs = OfProperty(AllRecords(DecodeOne(MakeUpdate(OT::ROUTING_DOMAIN_FIB, *op, &rd))),
                      PT::L2_VTEP_GROUP_LABEL);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].id, Uuid(8).SerializeAsString());
}

pb::FibNextHopMsg NextHop(uint32_t ip) {
    pb::FibNextHopMsg nh;
    *nh.mutable_ip() = Ip4(ip);
    return nh;
}

pb::FibMsg SampleFib(std::initializer_list<uint32_t> hops) {
    pb::FibMsg fib;
    *fib.mutable_id() = Uuid(20);
    *fib.mutable_router_id() = Uuid(21);
    *fib.mutable_prefix()->mutable_address() = Ip4(0x0a010000);
    fib.mutable_prefix()->set_prefix_length(16);
    for (uint32_t h : hops)
        *fib.add_next_hops() = NextHop(h);
    return fib;
}

std::unique_ptr<google::protobuf::Message> FibSetAll() {
    return OpOf(OT::FIB, pb::SET,
                {{"router_id", pb::SET}, {"prefix", pb::SET}, {"next_hops", pb::SET}});
}

TEST(DecoderL3Fib, InitialContentsGiveElementSets) {
    pb::FibMsg fib = SampleFib({1, 2});
    DecodeResult r = DecodeOne(MakeUpdate(OT::FIB, *FibSetAll(), &fib));
    EXPECT_EQ(GroupComponents(r, 0), std::vector<ComponentType>{ComponentType::L3CACHE});
    const CairnDBUpdateList& recs = r.groups[0].records;
    EXPECT_EQ(Summary(recs),
              "ELEMENT_SET L3_FIB_ROUTER_ID, ELEMENT_SET L3_FIB_IP_PREFIX, "
              "ELEMENT_SET L3_FIB_NEXT_HOP, ELEMENT_SET L3_FIB_NEXT_HOP");
    EXPECT_EQ(Data(recs), (std::vector<std::string>{
                              Uuid(21).SerializeAsString(), fib.prefix().SerializeAsString(),
                              NextHop(1).SerializeAsString(), NextHop(2).SerializeAsString()}));
    for (const auto& rec : recs)
        EXPECT_EQ(rec.id, Uuid(20).SerializeAsString());
}

TEST(DecoderL3Fib, ChangesRemoveOldValuesAndObjectClearRemovesAll) {
    pb::FibMsg oldFib = SampleFib({1, 2});
    pb::FibMsg newFib = SampleFib({2, 3});
    *newFib.mutable_router_id() = Uuid(22);
    auto op = OpOf(OT::FIB, pb::SET, {{"router_id", pb::SET}, {"next_hops", pb::SET}});
    CairnDBUpdateList recs = AllRecords(DecodeOne(MakeUpdate(OT::FIB, *op, &newFib, &oldFib)));
    // Router: the old value goes, the new one comes (one router per FIB in the L3 table).
    EXPECT_EQ(Summary(recs),
              "ELEMENT_CLEAR L3_FIB_ROUTER_ID, ELEMENT_SET L3_FIB_ROUTER_ID, ELEMENT_CLEAR "
              "L3_FIB_NEXT_HOP, ELEMENT_CLEAR L3_FIB_NEXT_HOP, ELEMENT_SET L3_FIB_NEXT_HOP, "
              "ELEMENT_SET L3_FIB_NEXT_HOP");
    EXPECT_EQ(Data(recs), (std::vector<std::string>{
                              Uuid(21).SerializeAsString(), Uuid(22).SerializeAsString(),
                              NextHop(1).SerializeAsString(), NextHop(2).SerializeAsString(),
                              NextHop(2).SerializeAsString(), NextHop(3).SerializeAsString()}));

    recs = AllRecords(DecodeOne(MakeUpdate(OT::FIB, pb::CLEAR, nullptr, &oldFib)));
    EXPECT_EQ(Summary(recs),
              "ELEMENT_CLEAR L3_FIB_ROUTER_ID, ELEMENT_CLEAR L3_FIB_IP_PREFIX, "
              "ELEMENT_CLEAR L3_FIB_NEXT_HOP, ELEMENT_CLEAR L3_FIB_NEXT_HOP");
}

TEST(DecoderL3Fib, NextHopSizeMismatchStillDecodesRouterAndPrefix) {
    LogCapture logs;
    pb::FibMsg fib = SampleFib({1, 2});
    auto op = ObjOp<pb::FibOpMsg>(pb::SET);
    op.mutable_router_id()->set_op(pb::SET);
    op.mutable_prefix()->set_op(pb::SET);
    for (uint32_t i = 0; i < 3; ++i)
        AddEntry(op.mutable_next_hops(), pb::SET, i);
    CairnDBUpdateList recs = AllRecords(DecodeOne(MakeUpdate(OT::FIB, op, &fib)));
    EXPECT_TRUE(logs.ContainsWithCode(
        "Decoder: FIB next hop, msg size not match, op msg index 2 monitor update msg: ",
        "LCP00028"));
    EXPECT_EQ(Summary(recs),
              "ELEMENT_SET L3_FIB_ROUTER_ID, ELEMENT_SET L3_FIB_IP_PREFIX, "
              "ELEMENT_SET L3_FIB_NEXT_HOP, ELEMENT_SET L3_FIB_NEXT_HOP");
}

TEST(DecoderL3Fib, FieldErrorsAndUnusableNextHops) {
    LogCapture logs;
    pb::FibMsg empty;
    *empty.mutable_id() = Uuid(20);
    empty.add_next_hops();  // neither IP, blackhole nor static route
    CairnDBUpdateList recs = AllRecords(DecodeOne(MakeUpdate(OT::FIB, *FibSetAll(), &empty)));
    EXPECT_TRUE(recs.empty());
    EXPECT_TRUE(logs.ContainsWithCode(
        "Decoder: FIB router ID, set has no value, monitor update msg: ", "LCP00028"));
    EXPECT_TRUE(logs.ContainsWithCode("Decoder: FIB prefix, set has no value, monitor update msg: ",
                                      "LCP00028"));
    EXPECT_TRUE(logs.Contains("Decoder: Fib next hop msg has no IP/blackhole/static route: "));

    auto clear = ObjOp<pb::FibOpMsg>(pb::SET);
    clear.mutable_router_id()->set_op(pb::CLEAR);
    clear.mutable_prefix()->set_op(pb::CLEAR);
    AddEntry(clear.mutable_next_hops(), pb::REMOVE, 4);
    pb::FibMsg blackhole = empty;
    blackhole.mutable_next_hops(0)->set_blackhole(true);
    recs = AllRecords(DecodeOne(MakeUpdate(OT::FIB, clear, &blackhole, &empty)));
    EXPECT_TRUE(recs.empty());
    EXPECT_TRUE(logs.ContainsWithCode(
        "Decoder: FIB router ID, clear has no old value, monitor update msg: ", "LCP00028"));
    EXPECT_TRUE(logs.ContainsWithCode(
        "Decoder: FIB prefix, clear has no old value, monitor update msg: ", "LCP00028"));
    EXPECT_TRUE(
        logs.ContainsWithCode("Decoder: FIB next hop, old msg size not match, op msg index 0 old "
                              "msg index 4, monitor update msg: ",
                              "LCP00028"));
}

TEST(DecoderL3Arp, RouterPortAndEntriesWithTheirErrors) {
    LogCapture logs;
    pb::ArpTableConfigMsg arp;
    *arp.mutable_id() = Uuid(30);
    *arp.mutable_router_port_id() = Uuid(31);
    arp.add_entries()->set_mac(0xaa);
    auto op =
        OpOf(OT::ARP_TABLE_CONFIG, pb::SET, {{"router_port_id", pb::SET}, {"entries", pb::SET}});
    CairnDBUpdateList recs = AllRecords(DecodeOne(MakeUpdate(OT::ARP_TABLE_CONFIG, *op, &arp)));
    EXPECT_EQ(Summary(recs), "ELEMENT_SET L3_ARP_ROUTER_PORT_ID, ELEMENT_SET L3_ARP_ENTRY");
    EXPECT_EQ(recs.at(0).data, Uuid(31).SerializeAsString());

    pb::ArpTableConfigMsg bare;
    *bare.mutable_id() = Uuid(30);
    auto bad = ObjOp<pb::ArpTableConfigOpMsg>(pb::SET);
    bad.mutable_router_port_id()->set_op(pb::SET);
    AddEntry(bad.mutable_entries(), pb::SET, 2);
    recs = AllRecords(DecodeOne(MakeUpdate(OT::ARP_TABLE_CONFIG, bad, &bare)));
    EXPECT_TRUE(recs.empty());
    EXPECT_TRUE(logs.ContainsWithCode("Decoder: ARP_TABLE_CONFIG router port ID, set has no value",
                                      "LCP00028"));
    EXPECT_TRUE(logs.ContainsWithCode(
        "Decoder: ARP_TABLE_CONFIG entry, msg size not match, op msg index 0 monitor update msg: ",
        "LCP00028"));
    DecodeOne(MakeUpdate(OT::ARP_TABLE_CONFIG,
                         *OpOf(OT::ARP_TABLE_CONFIG, pb::SET, {{"router_port_id", pb::CLEAR}}),
                         &bare, &bare));
    EXPECT_TRUE(logs.ContainsWithCode(
        "Decoder: ARP_TABLE_CONFIG router port ID, clear has no old value", "LCP00028"));
}

TEST(DecoderL3Dad, WholeObjectAndEntries) {
    pb::LogRouterPortFibDadStateMsg dad;
    *dad.mutable_id() = Uuid(40);
    dad.add_dad_status()->set_status(1);
    dad.add_dad_status()->set_status(2);
    auto u = MakeUpdate(
        OT::LOG_ROUTER_PORT_FIB_DAD_STATE,
        *OpOf(OT::LOG_ROUTER_PORT_FIB_DAD_STATE, pb::SET, {{"dad_status", pb::SET}}), &dad);
    CairnDBUpdateList recs = AllRecords(DecodeOne(u));
    EXPECT_EQ(Summary(recs),
              "UPDATE INVALID_PROPERTY, ELEMENT_SET L3_DAD_STATUS, ELEMENT_SET L3_DAD_STATUS");
    EXPECT_EQ(recs.at(0).data, u.object_body());

    pb::LogRouterPortDadRequestMsg req;
    *req.mutable_id() = Uuid(41);
    req.add_dad_requests()->set_request(1);
    recs = AllRecords(
        DecodeOne(MakeUpdate(OT::LOG_ROUTER_PORT_DAD_REQUEST, pb::CLEAR, nullptr, &req)));
    EXPECT_EQ(Summary(recs), "DELETE INVALID_PROPERTY, ELEMENT_CLEAR L3_DAD_REQ");
}

}  // namespace
}  // namespace CfgAgent::test
