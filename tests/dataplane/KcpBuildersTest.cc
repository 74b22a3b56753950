#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "dataplane/KcpBuilders.h"
#include "dataplane/KcpPropertyTable.h"
#include "tests/dataplane/KcpVectors.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent {
namespace {

using namespace test;
using namespace test::kcpvec;
using kcp::KcpUpdateBuilder;

TEST(KcpBuildersTest, SessionControlAndNotificationsMatchTheWireLayout) {
    EXPECT_EQ(kcp::BuildSessionControl(kcp::kSessionOpen, 0x01020304),
              H("00 05 00 0f 00 01 00 0b 01 01 02 03 04 28 00"));
    EXPECT_EQ(kcp::BuildSessionControl(kcp::kSessionOpenAck, 7),
              H("00 05 00 0f 00 01 00 0b 02 00 00 00 07 00 00"));
    EXPECT_EQ(kcp::BuildSessionControl(kcp::kSessionFullSyncEnd, 7),
              H("00 05 00 0f 00 01 00 0b 03 00 00 00 07 00 00"));
    EXPECT_EQ(kcp::BuildDpStatusNotification(kcp::kDpStatusOutOfSync),
              H("00 03 00 09 00 01 00 05 01"));
    EXPECT_EQ(kcp::BuildInit(10240), H("00 01 00 0a 00 01 00 06 28 00"));
    EXPECT_EQ(kcp::BuildDpStatusQuery(), H("00 04 00 08 00 01 00 04"));
    EXPECT_EQ(kcp::BuildPortOutOfSyncNotification("vif-7"),
              Cat({H("00 03 00 38 00 02 00 34"), Field("vif-7", 48)}));
    EXPECT_EQ(kcp::BuildKrnnicOutOfSyncNotification("vmk1"),
              Cat({H("00 03 00 18 00 03 00 14"), Field("vmk1", 16)}));
    EXPECT_EQ(kcp::BuildHopoverSyncNotification("vif-8", kcp::kSyncPortContainerList),
              Cat({H("00 03 00 3a 00 04 00 36"), Field("vif-8", 48), H("00 02")}));
}

TEST(KcpBuildersTest, SessionIdsGrowOnlyWhenAskedForANewOne) {
    uint32_t before = kcp::CurrentSessionId();
    EXPECT_EQ(kcp::NewSessionId(), before + 1);
    EXPECT_EQ(kcp::CurrentSessionId(), before + 1);
}

TEST(KcpBuildersTest, UpdatesMatchHandWrittenVectors) {
    KcpUpdateBuilder u;
    kcp::VifRecordSpec v;
    v.vifId = "vif-2";
    v.portId = "port-2";
    v.switchId = "dvs-1";
    v.parentVifId = "vif-p";
    v.vifType = kcp::kVifContainer;
    v.smartNic = true;
    v.hopover = true;
    v.status = kcp::kVifDisconnect;
    v.macs = {{0x00, 0x50, 0x56, 0, 0, 1}, {0x00, 0x50, 0x56, 0, 0, 2}};
    kcp::Binding b;
    b.ipv4 = true;
    b.address = {192, 168, 1, 10};
    b.mac = {0x00, 0x50, 0x56, 0xaa, 0xbb, 0xcc};
    b.vlan = 5;
    b.method = 2;
    b.timestamp = 7;
    v.bindings = {b};
    ASSERT_TRUE(u.AddVifUpdate(kcp::kOpUpdate, {v}));
    Bytes props = Cat({H("00 01 00 05 02"), H("00 02 00 10 00 50 56 00 00 01 00 50 56 00 00 02"),
                       H("00 03 00 26"), BindingV4()});
    Bytes expected = Update(
        0, Element(kcp::kVifUpdate,
                   Cat({Bytes{kcp::kOpUpdate},
                        VifHead("vif-2", "port-2", "dvs-1", "vif-p", 3, 1, 1, 213 + props.size()),
                        props})));
    EXPECT_EQ(u.Build(), std::vector<DpMsg>{expected});

    KcpUpdateBuilder lists;
    ASSERT_TRUE(lists.AddPortList({"p1", "p2", "p3"}));
    ASSERT_TRUE(lists.AddKrnnicList({"vmk0"}));
    ASSERT_TRUE(lists.AddSwxList({"dvs-1"}));
    ASSERT_TRUE(lists.AddContainerList({}));
    ASSERT_TRUE(lists.AddPortContainerList("parent", {"c1"}));
    EXPECT_EQ(
        lists.Build(),
        std::vector<DpMsg>{Update(
            0, Cat({Element(3, Cat({Field("p1", 48), Field("p2", 48), Field("p3", 48)})),
                    Element(5, Field("vmk0", 16)), Element(10, Field("dvs-1", 64)), Element(8, {}),
                    Element(9, Cat({Field("parent", 48), Field("c1", 48)}))}))});

    KcpUpdateBuilder recs;
    std::vector<uint8_t> vni = kcp::MakeKcpProperty(kcp::kPropVni, H("00 00 13 88"));
    ASSERT_EQ(vni, H("00 04 00 08 00 00 13 88"));
    ASSERT_TRUE(recs.AddPortProperties(kcp::kOpFullSync, {{"port-1", {vni}}}));
    ASSERT_TRUE(recs.AddKrnnicProperties(kcp::kOpUpdate, {{"vmk0", {}}}));
    ASSERT_TRUE(recs.AddSwxProperties("dvs-1", kcp::kOpDelete, {vni}));
    kcp::UplinkRecord up{"uplink-1", "dvs-1", "client", "vmnic0"};
    ASSERT_TRUE(recs.AddUplinks(kcp::kOpUpdate, {up}));
    kcp::ContainerRecord c;
    c.cifId = "cif-1";
    c.portId = "cport-1";
    c.vmPortId = "vmport";
    c.vmVifId = "vmvif";
    c.vlan = 100;
    c.mac = {2, 0, 0, 0, 0, 1};
    kcp::ContainerAddress a;
    a.ipv4 = true;
    a.address = {10, 0, 0, 7};
    a.mac = {2, 0, 0, 0, 0, 7};
    c.addresses = {a};
    test::LogCapture cap;
    ASSERT_TRUE(recs.AddContainers({c}));
    EXPECT_TRUE(cap.Contains("Send container update itemLen 225, allocLen 229, EntryNum 1"));
    EXPECT_EQ(recs.Build(),
              std::vector<DpMsg>{Update(
                  0, Cat({Element(2, Cat({Bytes{3}, Field("port-1", 48), H("00 3a"), vni})),
                          Element(4, Cat({Bytes{1}, Field("vmk0", 16), H("00 12")})),
                          Element(6, Cat({Field("dvs-1", 64), Bytes{2}, H("00 4b"), vni})),
                          Element(11, Cat({Bytes{1}, Field("uplink-1", 48), Field("dvs-1", 64),
                                           Field("client", 20), Field("vmnic0", 81)})),
                          Element(7, Cat({Field("cif-1", 48), Field("cport-1", 48),
                                          Field("vmport", 48), Field("vmvif", 48), H("00 64"),
                                          H("02 00 00 00 00 01 00 01"), ContainerEntryV4()}))}))});
}

// Port records given as a list the caller keeps, or handed over: the same Update either way; a
// list handed over is left empty (its properties are the builder's now), one kept is untouched.
TEST(KcpBuildersTest, PortRecordsHandedOverBuildAsCopiedOnes) {
    const std::vector<uint8_t> vni = kcp::MakeKcpProperty(kcp::kPropVni, H("00 00 13 88"));
    const std::vector<uint8_t> vni7 = kcp::MakeKcpProperty(kcp::kPropVni, H("00 00 00 07"));
    struct Case {
        const char* name;
        std::vector<kcp::PropertyRecordSpec> ports;
        bool ok;
    };
    const Case cases[] = {
        {"one port", {{"port-1", {vni}}}, true},
        {"ports in order", {{"port-1", {vni, vni7}}, {"port-2", {}}, {"port-3", {vni7}}}, true},
        {"an id without room for its NUL",
         {{"port-1", {vni}}, {std::string(48, 'x'), {vni}}},
         false},
        {"a malformed property", {{"p", {H("00 04 00 09 00")}}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::LogCapture cap;
        KcpUpdateBuilder copied(200);
        std::vector<kcp::PropertyRecordSpec> kept = c.ports;
        EXPECT_EQ(copied.AddPortProperties(kcp::kOpFullSync, kept), c.ok);
        ASSERT_EQ(kept.size(), c.ports.size());
        for (size_t i = 0; i < kept.size(); ++i) {
            EXPECT_EQ(kept[i].id, c.ports[i].id);
            EXPECT_EQ(kept[i].properties, c.ports[i].properties);
        }
        KcpUpdateBuilder taken(200);
        std::vector<kcp::PropertyRecordSpec> given = c.ports;
        EXPECT_EQ(taken.AddPortProperties(kcp::kOpFullSync, std::move(given)), c.ok);
        EXPECT_TRUE(given.empty());
        EXPECT_EQ(taken.Ok(), c.ok);
        EXPECT_EQ(taken.Build(), copied.Build());
        if (c.ok) {
            EXPECT_FALSE(copied.Build().empty());
            EXPECT_EQ(taken.UnfragmentedSize(), copied.UnfragmentedSize());
        }
    }
}

TEST(KcpBuildersTest, InvalidContentFailsTheBuild) {
    test::LogCapture cap;
    KcpUpdateBuilder u;
    EXPECT_FALSE(u.AddPortList({std::string(48, 'x')}));  // no room for the NUL
    EXPECT_TRUE(cap.Contains("KCP: port ID"));
    EXPECT_TRUE(u.Build().empty());
    EXPECT_TRUE(kcp::BuildPortOutOfSyncNotification(std::string(60, 'y')).empty());

    KcpUpdateBuilder empty;
    EXPECT_TRUE(empty.Build().empty());
    EXPECT_TRUE(cap.Contains("KCP: Update not built: it has no elements"));

    KcpUpdateBuilder badProp;
    EXPECT_FALSE(badProp.AddPortProperties(1, {{"p", {H("00 04 00 09 00")}}}));

    EXPECT_TRUE(kcp::MakeKcpProperty(kcp::kPropVni, H("00 01")).empty());
    EXPECT_TRUE(kcp::MakeKcpProperty(9999, {}).empty());
    EXPECT_TRUE(cap.Contains("KCP property key 9999 is not defined"));
}

// Joins fragments the way the receiver does (the element lists in order) and hands out each
// element of the joined list; the list must end cleanly.
void ForEachJoinedElement(const std::vector<DpMsg>& frags, const std::function<void(DpTlv&)>& fn) {
    Bytes joined;
    for (const DpMsg& f : frags)
        joined.insert(joined.end(), f.begin() + 5, f.end());
    DpTlvWalker w(joined.data(), 0, joined.size());
    DpTlv t;
    while (w.Next(&t))
        fn(t);
    EXPECT_FALSE(w.Malformed());
}

TEST(KcpBuildersTest, LargeListsAreFragmentedAtRecordBoundaries) {
    std::vector<std::string> ports;
    for (int i = 0; i < 500; ++i)
        ports.push_back("port-" + std::to_string(i));
    KcpUpdateBuilder u(1024);
    ASSERT_TRUE(u.AddPortList(ports));
    auto frags = u.Build();
    ASSERT_GT(frags.size(), 1u);
    std::vector<std::string> seen;
    for (size_t i = 0; i < frags.size(); ++i) {
        const DpMsg& f = frags[i];
        EXPECT_LE(f.size(), 1024u);
        EXPECT_EQ(DpMsgLength(f.data()), f.size());
        EXPECT_EQ(f[4], i + 1 < frags.size() ? 0x80 : 0x00) << "fragment " << i;
        kcp::KcpMsgView view;
        ASSERT_TRUE(kcp::ViewKcpMessage(f.data(), f.size(), &view));
        kcp::UpdateView uv;
        ASSERT_TRUE(kcp::CheckUpdate(view, &uv));
        DpTlvWalker w(f.data(), 5, f.size());
        DpTlv t;
        while (w.Next(&t)) {
            EXPECT_EQ(t.type, kcp::kPortListUpdate);
            EXPECT_EQ(t.valueSize % 48, 0u);
            kcp::WalkIdList(kcp::ByteSpan{t.value, t.valueSize}, 48,
                            [&](const std::string& id) { seen.push_back(id); });
        }
        EXPECT_FALSE(w.Malformed());
    }
    EXPECT_EQ(seen, ports);
}

TEST(KcpBuildersTest, OneLargeRecordIsSpreadOverCopiesOfItsHead) {
    // 40 properties of 104 bytes each on one port: larger than a 1024-byte message.
    std::vector<std::vector<uint8_t>> props;
    for (int i = 0; i < 40; ++i) {
        std::string tag = "tag-" + std::to_string(i);
        tag.resize(100, 'x');
        props.push_back(kcp::MakeKcpProperty(kcp::kPropVmTagset, Bytes(tag.begin(), tag.end())));
        ASSERT_EQ(props.back().size(), 104u);
    }
    KcpUpdateBuilder u(1024);
    ASSERT_TRUE(u.AddPortProperties(kcp::kOpFullSync, {{"small", {props[0]}}, {"big", props}}));
    auto frags = u.Build();
    ASSERT_GE(frags.size(), 5u);
    std::map<std::string, int> propsPerPort;
    ForEachJoinedElement(frags, [&](DpTlv& t) {
        ASSERT_EQ(t.type, kcp::kPortPropertyUpdate);
        uint8_t op;
        EXPECT_TRUE(kcp::WalkPropertyRecords(
            t.type, kcp::ByteSpan{t.value, t.valueSize}, &op, [&](const kcp::PropertyRecord& r) {
                kcp::WalkProperties(r.properties,
                                    [&](uint16_t, kcp::ByteSpan) { ++propsPerPort[r.id]; });
            }));
        EXPECT_EQ(op, kcp::kOpFullSync);
    });
    EXPECT_EQ(propsPerPort["small"], 1);
    EXPECT_EQ(propsPerPort["big"], 40);
    for (const DpMsg& f : frags)
        EXPECT_LE(f.size(), 1024u);
}

TEST(KcpBuildersTest, APropertyLargerThanAnyMessageFailsTheBuild) {
    test::LogCapture cap;
    Bytes big(2000, 'a');
    KcpUpdateBuilder u(1024);
    ASSERT_TRUE(u.AddPortProperties(kcp::kOpUpdate,
                                    {{"p", {kcp::MakeKcpProperty(kcp::kPropPolicyRoute, big)}}}));
    EXPECT_TRUE(u.Build().empty());
    EXPECT_TRUE(cap.Contains("does not fit in a 1024-byte message"));
}

TEST(KcpBuildersTest, ManyBindingsAreChunkedAndStillFragmentable) {
    kcp::VifRecordSpec v;
    v.vifId = "vif-1";
    v.portId = "port-1";
    v.switchId = "dvs-1";
    v.status = kcp::kVifConnect;
    v.bindings.resize(100);
    for (size_t i = 0; i < v.bindings.size(); ++i) {
        v.bindings[i].ipv4 = true;
        v.bindings[i].address = {10, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    }
    KcpUpdateBuilder u(1024);
    ASSERT_TRUE(u.AddVifUpdate(kcp::kOpUpdate, {v}));
    auto frags = u.Build();
    ASSERT_GT(frags.size(), 1u);
    size_t bindings = 0;
    int statuses = 0;
    ForEachJoinedElement(frags, [&](DpTlv& t) {
        uint8_t op;
        kcp::WalkVifUpdate(kcp::ByteSpan{t.value, t.valueSize}, &op, [&](const kcp::VifRecord& r) {
            EXPECT_EQ(r.vifId, "vif-1");
            kcp::VifProperties p;
            EXPECT_TRUE(kcp::ParseVifProperties(r.properties, &p));
            bindings += p.bindings.size();
            statuses += p.status ? 1 : 0;
        });
    });
    EXPECT_EQ(bindings, 100u);
    EXPECT_EQ(statuses, 1);

    // Every fragment holds a piece of the one record, so ConfigApp's join gives it back whole.
    kcp::JoinedVifUpdate configAppJoin;
    ASSERT_TRUE(kcp::JoinVifUpdateFragments(frags, &configAppJoin));
    EXPECT_EQ(configAppJoin.op, kcp::kOpUpdate);
    EXPECT_EQ(configAppJoin.record.vifId, "vif-1");
    EXPECT_EQ(configAppJoin.record.portId, "port-1");
    kcp::VifProperties p;
    ASSERT_TRUE(kcp::ParseVifProperties(
        kcp::ByteSpan{configAppJoin.properties.data(), configAppJoin.properties.size()}, &p));
    EXPECT_EQ(p.bindings.size(), 100u);
    EXPECT_EQ(p.status, kcp::kVifConnect);
    EXPECT_EQ(kcp::AddressText(true, p.bindings[99].address.data()), "10.0.0.99");

    // Shapes the join refuses: a missing last fragment, two records, fragments out of order.
    std::vector<DpMsg> noLast(frags.begin(), frags.end() - 1);
    EXPECT_FALSE(kcp::JoinVifUpdateFragments(noLast, &configAppJoin));
    std::vector<DpMsg> reordered = frags;
    std::swap(reordered.front(), reordered.back());
    EXPECT_FALSE(kcp::JoinVifUpdateFragments(reordered, &configAppJoin));
    KcpUpdateBuilder two;
    kcp::VifRecordSpec other = v;
    other.bindings.clear();
    other.vifId = "vif-2";
    ASSERT_TRUE(two.AddVifUpdate(kcp::kOpUpdate, {other, other}));
    EXPECT_FALSE(kcp::JoinVifUpdateFragments(two.Build(), &configAppJoin));
    EXPECT_FALSE(kcp::JoinVifUpdateFragments({}, &configAppJoin));
}

}  // namespace
}  // namespace CfgAgent
