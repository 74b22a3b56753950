#include <gtest/gtest.h>

#include "dataplane/KcpProtocol.h"
#include "dataplane/KcpWalk.h"
#include "tests/dataplane/KcpVectors.h"

namespace CfgAgent {
namespace {

using namespace test;
using namespace test::kcpvec;
using namespace kcp;

KcpMsgView View(const Bytes& m) {
    KcpMsgView v;
    EXPECT_TRUE(ViewKcpMessage(m.data(), m.size(), &v));
    return v;
}

kcp::ByteSpan Span(const Bytes& b) {
    return kcp::ByteSpan{b.data(), b.size()};
}

// The value of the first element of an Update.
kcp::ByteSpan FirstUpdateValue(const test::Bytes& m) {
    DpTlvWalker w(m.data(), kUpdateFirstTlvOffset, m.size());
    DpTlv t;
    EXPECT_TRUE(w.Next(&t));
    return kcp::ByteSpan{t.value, t.valueSize};
}

TEST(KcpWalkTest, SessionControlInitQueryAndNotifications) {
    Bytes open = H("00 05 00 0f 00 01 00 0b 01 00 00 00 2a 28 00");
    SessionControl sc;
    ASSERT_TRUE(ParseSessionControl(View(open), &sc));
    EXPECT_EQ(sc.dataType, 1);
    EXPECT_EQ(sc.controlType, kSessionOpen);
    EXPECT_EQ(sc.sessionId, 42u);
    // A value too short for control type and session ID.
    EXPECT_FALSE(ParseSessionControl(View(H("00 05 00 0b 00 01 00 07 02 00 00")), &sc));
    // No element at all.
    EXPECT_FALSE(ParseSessionControl(View(H("00 05 00 04")), &sc));

    EXPECT_EQ(ParseInitMaxMsgLength(View(H("00 01 00 0a 00 01 00 06 28 00"))), 10240);
    EXPECT_FALSE(ParseInitMaxMsgLength(View(H("00 01 00 09 00 01 00 05 28"))).has_value());

    Bytes notes = Cat({H("00 03"), U16(4 + 5 + 52 + 20 + 54), H("00 01 00 05 01"), H("00 02 00 34"),
                       Field("vif-7", 48), H("00 03 00 14"), Field("vmk1", 16), H("00 04 00 36"),
                       Field("vif-8", 48), H("00 03")});
    std::vector<Notification> seen;
    auto collect = [&](const Notification& n) { seen.push_back(n); };
    EXPECT_TRUE(WalkNotifications(View(notes), collect));
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].status, kDpStatusOutOfSync);
    EXPECT_EQ(seen[1].id, "vif-7");
    EXPECT_EQ(seen[2].id, "vmk1");
    EXPECT_EQ(seen[3].id, "vif-8");
    EXPECT_EQ(seen[3].syncType, kSyncBoth);
    for (const auto& n : seen)
        EXPECT_TRUE(n.valid);

    // A hopover element too short for its sync type is flagged, not read past.
    Bytes shortHop = Cat({H("00 03 00 38 00 04 00 34"), Field("vif-9", 48)});
    seen.clear();
    EXPECT_TRUE(WalkNotifications(View(shortHop), collect));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_FALSE(seen[0].valid);
}

TEST(KcpWalkTest, UpdateChecks) {
    UpdateView u;
    EXPECT_TRUE(CheckUpdate(View(H("00 02 00 09 80 00 03 00 04")), &u));
    EXPECT_TRUE(u.fragment);
    EXPECT_TRUE(CheckUpdate(View(H("00 02 00 09 00 00 03 00 04")), &u));
    EXPECT_FALSE(u.fragment);
    for (const char* bad : {"00 02 00 05 00",               // no elements
                            "00 02 00 08 00 00 03 00",      // < 4 bytes after flag
                            "00 02 00 09 00 00 03 00 05",   // first TLV too long
                            "00 02 00 09 00 00 03 00 02"})  // first TLV below 4
        EXPECT_FALSE(CheckUpdate(View(H(bad)), &u)) << bad;
}

TEST(KcpWalkTest, VifUpdateRecordsAndProperties) {
    // Record 1: exactly 213 bytes, no properties. Record 2: status, two MACs and
    // two bindings plus a trailing partial binding.
    Bytes rec1 = VifHead("vif-1", "port-1", "dvs-1", "", kVifVnic, 0, 0, 213);
    Bytes props2 =
        Cat({H("00 01 00 05 02"), H("00 02 00 10 00 50 56 00 00 01 00 50 56 00 00 02"), H("00 03"),
             U16(4 + 34 * 2 + 5), BindingV4(), BindingV4(), H("01 02 03 04 05")});
    Bytes rec2 =
        Cat({VifHead("vif-2", "port-2", "dvs-1", "vif-p", kVifContainer, 1, 1, 213 + props2.size()),
             props2});
    Bytes msg = Update(0, Element(kVifUpdate, Cat({Bytes{kOpUpdate}, rec1, rec2})));
    uint8_t op = 0;
    std::vector<VifRecord> recs;
    std::vector<VifProperties> props;
    EXPECT_TRUE(WalkVifUpdate(FirstUpdateValue(msg), &op, [&](const VifRecord& r) {
        recs.push_back(r);
        VifProperties p;
        EXPECT_TRUE(ParseVifProperties(r.properties, &p));
        props.push_back(p);
    }));
    EXPECT_EQ(op, kOpUpdate);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].vifId, "vif-1");
    EXPECT_EQ(recs[0].recordLength, 213);
    EXPECT_EQ(recs[0].properties.size, 0u);
    EXPECT_FALSE(props[0].status.has_value());
    EXPECT_EQ(recs[1].portId, "port-2");
    EXPECT_EQ(recs[1].switchId, "dvs-1");
    EXPECT_EQ(recs[1].parentVifId, "vif-p");
    EXPECT_EQ(recs[1].vifType, kVifContainer);
    EXPECT_EQ(recs[1].smartNic, 1);
    EXPECT_EQ(recs[1].hopover, 1);
    EXPECT_EQ(props[1].status, kVifDisconnect);
    ASSERT_EQ(props[1].macs.size(), 2u);
    EXPECT_EQ(MacText(props[1].macs[1].data()), "00:50:56:00:00:02");
    ASSERT_EQ(props[1].bindings.size(), 2u);  // the partial third one is ignored
    EXPECT_TRUE(props[1].bindings[0].ipv4);
    EXPECT_EQ(AddressText(true, props[1].bindings[0].address.data()), "192.168.1.10");
    EXPECT_EQ(props[1].bindings[0].vlan, 5);
    EXPECT_EQ(props[1].bindings[0].method, 2);
    EXPECT_EQ(props[1].bindings[0].timestamp, 7u);
}

TEST(KcpWalkTest, VifRecordsThatDoNotFitEndTheWalk) {
    uint8_t op;
    int n = 0;
    auto count = [&](const VifRecord&) { ++n; };
    // Record length below the fixed part.
    Bytes v = Cat({Bytes{1}, VifHead("a", "b", "c", "", 1, 0, 0, 212)});
    EXPECT_FALSE(WalkVifUpdate(Span(v), &op, count));
    // Record length beyond the value; the first, sane record was handed out.
    v = Cat({Bytes{1}, VifHead("a", "b", "c", "", 1, 0, 0, 213),
             VifHead("d", "e", "f", "", 1, 0, 0, 300)});
    EXPECT_FALSE(WalkVifUpdate(Span(v), &op, count));
    EXPECT_EQ(n, 1);
    // Fewer than 213 bytes left.
    v = Cat({Bytes{1}, Zeros(100)});
    EXPECT_FALSE(WalkVifUpdate(Span(v), &op, count));
    // A property reaching past its record.
    Bytes bad = Cat({Bytes{1}, VifHead("a", "b", "c", "", 1, 0, 0, 218), H("00 01 00 09 01")});
    n = 0;
    EXPECT_TRUE(WalkVifUpdate(Span(bad), &op, [&](const VifRecord& r) {
        VifProperties p;
        EXPECT_FALSE(ParseVifProperties(r.properties, &p));
        ++n;
    }));
    EXPECT_EQ(n, 1);
}

TEST(KcpWalkTest, PortAndKrnnicPropertyRecords) {
    Bytes props = Cat({H("00 05 00 06 00 0a"), H("00 01 00 05 01")});
    Bytes value = Cat({Bytes{kOpFullSync}, Field("port-1", 48), U16(50 + props.size()), props,
                       Field("port-2", 48), H("00 32")});
    uint8_t op;
    std::vector<PropertyRecord> recs;
    auto addRecord = [&](const PropertyRecord& r) { recs.push_back(r); };
    EXPECT_TRUE(WalkPropertyRecords(kPortPropertyUpdate, Span(value), &op, addRecord));
    EXPECT_EQ(op, kOpFullSync);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].id, "port-1");
    std::vector<std::pair<uint16_t, size_t>> keys;
    EXPECT_TRUE(WalkProperties(recs[0].properties,
                               [&](uint16_t k, kcp::ByteSpan v) { keys.emplace_back(k, v.size); }));
    EXPECT_EQ(keys, (std::vector<std::pair<uint16_t, size_t>>{{5, 2}, {1, 1}}));
    EXPECT_EQ(recs[1].properties.size, 0u);

    Bytes kv = Cat({Bytes{kOpUpdate}, Field("vmk0", 16), H("00 1a"), H("01 2c 00 08 00 00 00 07")});
    recs.clear();
    EXPECT_TRUE(WalkPropertyRecords(kKrnnicPropertyUpdate, Span(kv), &op, addRecord));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].id, "vmk0");
    EXPECT_EQ(recs[0].properties.size, 8u);

    // Record length shorter than the head, and longer than the value.
    for (const char* length : {"00 31", "00 40"}) {
        Bytes bad = Cat({Bytes{1}, Field("p", 48), H(length)});
        EXPECT_FALSE(WalkPropertyRecords(kPortPropertyUpdate, Span(bad), &op, addRecord));
    }
}

TEST(KcpWalkTest, ListsSwitchContainerAndUplinkLayouts) {
    // PortList of length 4 + 48 x 3 lists three ports.
    Bytes msg = Update(
        0, Cat({H("00 03"), U16(4 + 48 * 3), Field("p1", 48), Field("p2", 48), Field("p3", 48)}));
    std::vector<std::string> ids;
    auto add = [&](const std::string& s) { ids.push_back(s); };
    EXPECT_TRUE(WalkIdList(FirstUpdateValue(msg), kIdSize, add));
    EXPECT_EQ(ids, (std::vector<std::string>{"p1", "p2", "p3"}));

    Bytes swl = Cat({Field("dvs-a", 64), Field("dvs-b", 64), H("00 00 00")});
    ids.clear();
    EXPECT_TRUE(WalkIdList(Span(swl), kSwitchIdSize, add));
    EXPECT_EQ(ids, (std::vector<std::string>{"dvs-a", "dvs-b"}));

    Bytes pcl = Cat({Field("parent", 48), Field("c1", 48), Field("c2", 48)});
    std::string parent;
    ids.clear();
    EXPECT_TRUE(WalkPortContainerList(Span(pcl), &parent, add));
    EXPECT_EQ(parent, "parent");
    EXPECT_EQ(ids, (std::vector<std::string>{"c1", "c2"}));
    EXPECT_FALSE(WalkPortContainerList(Span(Field("parent", 40)), &parent, add));

    Bytes swx = Cat(
        {Field("dvs-1", 64), Bytes{kOpUpdate}, U16(67 + 9), H("00 c8 00 05 02"), H("00 cb 00 04")});
    SwxRecord sr;
    ASSERT_TRUE(ParseSwxUpdate(Span(swx), &sr));
    EXPECT_EQ(sr.switchId, "dvs-1");
    EXPECT_EQ(sr.op, kOpUpdate);
    EXPECT_EQ(sr.properties.size, 9u);
    Bytes badSwx = Cat({Field("dvs-1", 64), Bytes{1}, U16(200)});
    EXPECT_FALSE(ParseSwxUpdate(Span(badSwx), &sr));

    Bytes cont =
        Cat({Field("cif-1", 48), Field("cport-1", 48), Field("vmport", 48), Field("vmvif", 48),
             H("00 64"), H("02 00 00 00 00 01"), H("00 01"), ContainerEntryV4()});
    std::vector<ContainerRecord> cs;
    auto addContainer = [&](const ContainerRecord& c) { cs.push_back(c); };
    EXPECT_TRUE(WalkContainerUpdate(Span(cont), addContainer));
    ASSERT_EQ(cs.size(), 1u);
    EXPECT_EQ(cs[0].cifId, "cif-1");
    EXPECT_EQ(cs[0].vmVifId, "vmvif");
    EXPECT_EQ(cs[0].vlan, 100);
    ASSERT_EQ(cs[0].addresses.size(), 1u);
    EXPECT_EQ(AddressText(cs[0].addresses[0].ipv4, cs[0].addresses[0].address.data()), "10.0.0.7");

    // Announcing two entries with room for one ends the walk.
    Bytes shortCont =
        Cat({Field("cif-2", 48), Zeros(144), H("00 01"), Zeros(6), H("00 02"), ContainerEntryV4()});
    cs.clear();
    EXPECT_FALSE(WalkContainerUpdate(Span(shortCont), addContainer));
    EXPECT_TRUE(cs.empty());

    Bytes up = Cat({Bytes{kOpDelete}, Field("uplink-1", 48), Field("dvs-1", 64),
                    Field("client", 20), Field("vmnic0", 81)});
    uint8_t op;
    std::vector<UplinkRecord> ups;
    EXPECT_TRUE(WalkUplinkUpdate(Span(up), &op, [&](const UplinkRecord& u) { ups.push_back(u); }));
    EXPECT_EQ(op, kOpDelete);
    ASSERT_EQ(ups.size(), 1u);
    EXPECT_EQ(ups[0].alias, "vmnic0");
    EXPECT_EQ(ups[0].clientName, "client");
    up.resize(up.size() - 1);
    EXPECT_FALSE(WalkUplinkUpdate(Span(up), &op, [](const UplinkRecord&) {}));
}

}  // namespace
}  // namespace CfgAgent
