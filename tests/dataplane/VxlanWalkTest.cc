// The VXLAN walkers and builders against hand-written bytes: every fixed layout both ways (the
// builder's output equals the literal, the literal parses into the fields, one byte less is
// refused), the entry layouts with their host-order address types, the counted lists and their
// bad counts, and the splitting of long lists.
#include <gtest/gtest.h>

#include <functional>

#include "dataplane/VxlanBuilders.h"
#include "dataplane/VxlanWalk.h"
#include "tests/dataplane/VxlanVectors.h"

namespace CfgAgent {
namespace {

using namespace test;
using namespace test::vxlanvec;
using namespace vxlan;

MsgView View(const Bytes& m) {
    MsgView v;
    EXPECT_TRUE(ViewMessage(m.data(), m.size(), &v));
    return v;
}

DpTlv FirstTlv(const Bytes& m) {
    DpTlvWalker w(m.data(), kFirstTlvOffset, m.size());
    DpTlv t;
    EXPECT_TRUE(w.Next(&t));
    return t;
}

Ipv6Addr Fd00(uint8_t last) {
    Ipv6Addr a{};
    a[0] = 0xfd;
    a[15] = last;
    return a;
}

// An entry written by `write` over a buffer of 0xee bytes: every byte of the layout is written.
template <class Entry>
Bytes Written(void (*write)(const Entry&, uint8_t*), const Entry& e, size_t size) {
    Bytes out(size, 0xee);
    write(e, out.data());
    return out;
}

UuidBytes Uuid(uint8_t first, uint8_t last) {
    UuidBytes u{};
    u[0] = first;
    u[15] = last;
    return u;
}

// One fixed-layout message: what the builder must produce, and a check of the fields parsed back
// from the literal (false when the parse fails).
struct FixedCase {
    const char* name;
    std::function<DpMsg()> build;
    Bytes literal;
    std::function<bool(const MsgView&)> parsesBack;
};

class VxlanFixedLayoutTest : public ::testing::TestWithParam<FixedCase> {};

TEST_P(VxlanFixedLayoutTest, BuiltEqualsLiteralParsesBackAndShortIsRefused) {
    const FixedCase& c = GetParam();
    EXPECT_EQ(c.build(), c.literal);
    EXPECT_TRUE(c.parsesBack(View(c.literal)));
    // The same header claiming one byte less: shorter than the layout.
    Bytes shorter(c.literal.begin(), c.literal.end() - 1);
    shorter[3] = static_cast<uint8_t>(shorter.size());
    EXPECT_FALSE(c.parsesBack(View(shorter)));
}

const FixedCase kFixedCases[] = {
    {"VniJoin", [] { return BuildVniMembership(7, 5001, kOpJoin); },
     H("00 03 00 0d 00 00 00 07 00 00 13 89 01"),
     [](const MsgView& m) {
         VniMembership v;
         return ParseVniMembership(m, &v) && v.switchId == 7 && v.vni == 5001 && v.Join();
     }},
    {"VniLeave", [] { return BuildVniMembership(7, 5001, kOpLeave); },
     H("00 03 00 0d 00 00 00 07 00 00 13 89 02"),
     [](const MsgView& m) {
         VniMembership v;
         return ParseVniMembership(m, &v) && !v.Join();
     }},
    {"InstanceInsert", [] { return BuildInstanceChange(0x01020304, kOpInsert); },
     H("00 0f 00 09 01 02 03 04 01"),
     [](const MsgView& m) {
         InstanceChange v;
         return ParseInstanceChange(m, &v) && v.instanceId == 0x01020304 && v.Insert();
     }},
    {"Notification", [] { return BuildNotification(3, 9); }, H("00 07 00 08 00 03 00 09"),
     [](const MsgView& m) {
         Notification v;
         return ParseNotification(m, &v) && v.errorCode == 3 && v.subCode == 9;
     }},
    {"LinkChange",
     [] {
         return BuildLinkChange(7, 1, {{5001, 1, 1}});
     },
     H("00 04 00 0f 00 00 00 07 01 00 00 13 89 01 01"),
     [](const MsgView& m) {
         LinkChange v;
         return ParseLinkChange(m, &v) && v.switchId == 7 && v.flag == 1 && v.vnis.size() == 1 &&
                v.vnis[0].vni == 5001 && v.vnis[0].arpProxy == 1;
     }},
    {"ControllerIpV4",
     [] {
         ControllerIp c;
         c.switchId = 7;
         c.vni = 5001;
         c.ipv4 = 0x0a000001;
         c.addrType = kAddrIpv4;
         return BuildControllerIp(c);
     },
     Cat({H("03 e9 00 24 00 00 00 07 00 00 13 89 0a 00 00 01"), HostType(1), Zeros(16)}),
     [](const MsgView& m) {
         ControllerIp v;
         return ParseControllerIp(m, &v) && v.ipv4 == 0x0a000001 && v.addrType == kAddrIpv4;
     }},
    {"ControllerIpBoth",
     [] {
         ControllerIp c;
         c.switchId = 7;
         c.vni = 5001;
         c.ipv4 = 0x0a000001;
         c.addrType = kAddrBoth;
         c.ipv6 = Fd00(1);
         return BuildControllerIp(c);
     },
     Cat({H("03 e9 00 24 00 00 00 07 00 00 13 89 0a 00 00 01"), HostType(3), H("fd"), Zeros(14),
          H("01")}),
     [](const MsgView& m) {
         ControllerIp v;
         return ParseControllerIp(m, &v) && v.addrType == kAddrBoth && v.ipv6 == Fd00(1);
     }},
    {"GlobalReplication", [] { return BuildGlobalReplication(7, 2); },
     H("00 10 00 09 00 00 00 07 02"),
     [](const MsgView& m) {
         GlobalReplication v;
         return ParseGlobalReplication(m, &v) && v.switchId == 7 && v.mode == 2;
     }},
    {"VtepGroup",
     [] {
         VtepGroup g;
         g.label = 9;
         g.op = kOpAdd;
         g.groupType = kGroupTypeLogicalSwitch;
         g.protocol = kActivenessBfd;
         g.members.push_back({77, 0x0a000002, kAddrIpv4, {}});
         return BuildVtepGroup(g);
     },
     Cat({H("00 08 00 28 00 00 00 09 01 01 01 00 00 00 00 4d 0a 00 00 02"), HostType(1),
          Zeros(16)}),
     [](const MsgView& m) {
         VtepGroup v;
         return ParseVtepGroup(m, &v) && v.label == 9 && v.members.size() == 1 &&
                v.members[0].label == 77 && v.members[0].addrType == kAddrIpv4;
     }},
    {"LsVtepGroupBinding",
     [] {
         return BuildLsVtepGroupBinding({7, 5001, 9, kOpAdd});
     },
     H("00 09 00 11 00 00 00 07 00 00 13 89 00 00 00 09 01"),
     [](const MsgView& m) {
         LsVtepGroupBinding v;
         return ParseLsVtepGroupBinding(m, &v) && v.vni == 5001 && v.label == 9;
     }},
    {"RdVtepGroupBinding",
     [] {
         return BuildRdVtepGroupBinding({Uuid(0xaa, 0x01), 9, kOpDelete});
     },
     Cat({H("00 0a 00 19 aa"), Zeros(14), H("01 00 00 00 09 02")}),
     [](const MsgView& m) {
         RdVtepGroupBinding v;
         return ParseRdVtepGroupBinding(m, &v) && v.routingDomain == Uuid(0xaa, 0x01) &&
                v.op == kOpDelete;
     }},
    {"RdMembership",
     [] {
         return BuildRdMembership({7, Uuid(0xbb, 0x02), kOpJoin, 1});
     },
     Cat({H("00 0e 00 1a 00 00 00 07 bb"), Zeros(14), H("02 01 01")}),
     [](const MsgView& m) {
         RdMembership v;
         return ParseRdMembership(m, &v) && v.switchId == 7 && v.global == 1;
     }},
    {"TepAlarm",
     [] {
         TepAlarm a;
         a.nicName = "krnnic3";
         a.switchName = "dvs-1";
         a.kind = kAlarmFault;
         a.state = kTepDown;
         a.reasons = kReasonBfdDown | kReasonNoIpv6;
         return BuildTepAlarm(a);
     },
     Cat({H("00 11 00 58"), Field("krnnic3", 16), Field("dvs-1", 64), H("01 02 05 00")}),
     [](const MsgView& m) {
         TepAlarm v;
         return ParseTepAlarm(m, &v) && v.nicName == "krnnic3" && v.switchName == "dvs-1" &&
                v.reasons == 5;
     }},
};

INSTANTIATE_TEST_SUITE_P(Layouts, VxlanFixedLayoutTest, ::testing::ValuesIn(kFixedCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VxlanWalkTest, SessionControlAndStateReport) {
    Bytes open = H("00 0d 00 0d 00 01 00 09 01 00 00 00 2a");
    EXPECT_EQ(BuildSessionControl(kSessionOpen, 42), open);
    SessionControl sc;
    ASSERT_EQ(ParseSessionControl(View(open), &sc), TlvResult::kOk);
    EXPECT_EQ(sc.controlType, kSessionOpen);
    EXPECT_EQ(sc.sessionId, 42u);
    // Another data type is returned as read; a value shorter than 5 bytes and a missing TLV are
    // told apart.
    ASSERT_EQ(ParseSessionControl(View(H("00 0d 00 0d 00 02 00 09 02 00 00 00 2a")), &sc),
              TlvResult::kOk);
    EXPECT_EQ(sc.dataType, 2);
    EXPECT_EQ(ParseSessionControl(View(H("00 0d 00 0b 00 01 00 07 02 00 00")), &sc),
              TlvResult::kShortValue);
    EXPECT_EQ(sc.valueSize, 3u);
    EXPECT_EQ(ParseSessionControl(View(H("00 0d 00 0a 00 01 00 09 02 00")), &sc),
              TlvResult::kNoTlv);

    EXPECT_EQ(BuildStateReport(1), H("00 0c 00 09 00 01 00 05 01"));
    vxlan::StateReport r;
    ASSERT_EQ(ParseStateReport(View(H("00 0c 00 0a 00 02 00 06 00 00")), &r), TlvResult::kOk);
    EXPECT_EQ(r.dataType, 2);
    EXPECT_EQ(r.valueSize, 2u);
    EXPECT_EQ(r.outOfSync, 0);
    EXPECT_EQ(BuildStateQuery(), H("00 0b 00 08 00 01 00 04"));
}

TEST(VxlanWalkTest, SessionConfigureIsFortyBytesOfSixItems) {
    EXPECT_EQ(BuildSessionConfigure(Settings{}), DefaultConfigure());
    Settings s;
    s.maxMsgLength = 512;
    s.arpAgeingTime = 1;
    Bytes c = BuildSessionConfigure(s);
    ASSERT_EQ(c.size(), kSessionConfigureSize);
    EXPECT_EQ(Bytes(c.begin() + 8, c.begin() + 10), H("02 00"));
    EXPECT_EQ(Bytes(c.end() - 2, c.end()), H("00 01"));

    // Per-switch items, parsed back from literal bytes.
    Bytes items = Msg(2, Cat({Tlv(257, H("00 00 00 07 00 00 13 89 01")),
                              Tlv(259, Cat({H("00 00 00 07 00 00 13 89 aa"), Zeros(14), H("01")})),
                              Tlv(261, H("00 00 00 07 00 00 13 89 00 00 10 00"))}));
    EXPECT_EQ(
        BuildConfigure({ProxyItem(kCfgMulticastProxy, 7, 5001, true),
                        RoutingDomainItem(7, 5001, Uuid(0xaa, 0x01)), MacLimitItem(7, 5001, 4096)}),
        items);
    std::vector<SwitchItem> seen;
    ASSERT_TRUE(WalkTlvs(View(items), [&](const DpTlv& t) {
        SwitchItem s;
        EXPECT_TRUE(ParseSwitchItem(t, &s)) << t.type;
        seen.push_back(s);
    }));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].value, 1u);
    EXPECT_EQ(seen[1].routingDomain, Uuid(0xaa, 0x01));
    EXPECT_EQ(seen[2].value, 4096u);
    // A proxy item with a value one byte short is not a switch item.
    SwitchItem s2;
    EXPECT_FALSE(ParseSwitchItem(FirstTlv(Msg(2, Tlv(258, H("00 00 00 07 00 00 13 89")))), &s2));
}

TEST(VxlanWalkTest, EntriesCarryHostOrderAddressTypes) {
    // VTEP entry, IPv4, label 0x11, address type 1 in host order.
    Bytes v4 = VtepV4(1, 0x11);
    VtepEntry e = ReadVtepEntry(v4.data());
    EXPECT_EQ(e.ipv4, 0x0a000001u);
    EXPECT_EQ(e.label, 0x11u);
    EXPECT_EQ(e.addrType, kAddrIpv4);
    EXPECT_EQ(e.encap, kEncapVxlan);
    EXPECT_EQ(e.mac, (MacAddr{2, 0, 0, 0, 0, 1}));
    EXPECT_EQ(Written(WriteVtepEntry, e, kVtepEntrySize), v4);
    // The same entry with the type written big-endian reads as 0x01000000: not IPv4.
    EXPECT_EQ(ReadVtepEntry(VtepV4(1, 0x11, H("00 00 00 01")).data()).addrType, 0x01000000u);

    Bytes v6 = VtepV6(2, 0x12);
    e = ReadVtepEntry(v6.data());
    EXPECT_EQ(e.addrType, kAddrIpv6);
    EXPECT_EQ(e.ipv6, Fd00(2));

    Bytes mac = MacV6(5, 3);
    VmMacEntry m = ReadVmMacEntry(mac.data());
    EXPECT_EQ(m.vmMac, (MacAddr{0x00, 0x50, 0x56, 0, 0, 5}));
    EXPECT_EQ(m.addrType, kAddrIpv6);
    EXPECT_EQ(m.vtepIpv6, Fd00(3));
    EXPECT_EQ(Written(WriteVmMacEntry, m, kVmMacEntrySize), mac);

    // ARP and ND entries: the unrendered tails are zero when written.
    Bytes arp = Cat({H("c0 a8 01 05 0a 00 00 03 00 50 56 00 00 05 02 00 00 00 00 03"), HostType(1),
                     Zeros(16), Zeros(4)});
    ArpEntry a = ReadArpEntry(arp.data());
    EXPECT_EQ(a.vmIpv4, 0xc0a80105u);
    EXPECT_EQ(a.addrType, kAddrIpv4);
    EXPECT_EQ(Written(WriteArpEntry, a, kArpEntrySize), arp);
    Bytes nd = Cat({H("fd"), Zeros(14), H("05 0a 00 00 03 00 50 56 00 00 05 02 00 00 00 00 03"),
                    HostType(1), Zeros(16), Zeros(4)});
    NdEntry n = ReadNdEntry(nd.data());
    EXPECT_EQ(n.vmIpv6, Fd00(5));
    EXPECT_EQ(Written(WriteNdEntry, n, kNdEntrySize), nd);
}

// Counted lists: the counts must agree with the value size before any entry is read.
struct ListCase {
    const char* name;
    Bytes tlv;
    ListResult result;
    size_t removed = 0;
    size_t added = 0;
};

class VxlanListTest : public ::testing::TestWithParam<ListCase> {};

TEST_P(VxlanListTest, CountsAgreeWithTheValue) {
    const ListCase& c = GetParam();
    Bytes msg = Msg(5, c.tlv);
    ListUpdate l;
    EXPECT_EQ(ParseListUpdate(FirstTlv(msg), &l), c.result);
    if (c.result == ListResult::kOk) {
        EXPECT_EQ(l.removed.count, c.removed);
        EXPECT_EQ(l.added.count, c.added);
    }
}

Bytes WithCount(Bytes tlv, size_t countOffset, unsigned count) {
    tlv[4 + countOffset] = static_cast<uint8_t>(count >> 8);
    tlv[4 + countOffset + 1] = static_cast<uint8_t>(count);
    return tlv;
}

const ListCase kListCases[] = {
    {"MacOk", MacTlv(7, 5001, {MacV4(1, 1)}, {MacV4(2, 1), MacV4(3, 1)}), ListResult::kOk, 1, 2},
    {"MacNoEntries", MacTlv(7, 5001, {}, {}), ListResult::kOk, 0, 0},
    {"MacOverCounted", WithCount(MacTlv(7, 5001, {}, {MacV4(1, 1)}), 8, 2), ListResult::kBadLength},
    {"MacHugeCount", WithCount(MacTlv(7, 5001, {}, {MacV4(1, 1)}), 8, 0xffff),
     ListResult::kBadLength},
    {"MacPartialAdded", Tlv(4, Cat({U32(7), U32(5001), U16(0), MacV4(1, 1), Zeros(39)})),
     ListResult::kBadLength},
    {"MacNoCount", Tlv(4, Cat({U32(7), U32(5001)})), ListResult::kTooShort},
    {"VtepOk", VtepTlv(7, 5001, {VtepV4(1, 1)}, {VtepV4(2, 2), VtepV6(3, 3)}), ListResult::kOk, 1,
     2},
    {"VtepAddedOverCounted", WithCount(VtepTlv(7, 5001, {}, {VtepV4(1, 1)}), 10, 2),
     ListResult::kBadLength},
    {"VtepAddedUnderCounted", WithCount(VtepTlv(7, 5001, {}, {VtepV4(1, 1)}), 10, 0),
     ListResult::kBadLength},
    {"VtepNoAddedCount", Tlv(5, Cat({U32(7), U32(5001), U16(1), VtepV4(1, 1)})),
     ListResult::kBadLength},
    {"VtepRemovedOverCounted", WithCount(VtepTlv(7, 5001, {VtepV4(1, 1)}, {}), 8, 3),
     ListResult::kBadLength},
    {"RdVtepOk", RdVtepTlv(7, {VtepV4(9, 0), VtepV6(9, 0)}), ListResult::kOk, 0, 2},
    {"RdVtepNone", RdVtepTlv(7, {}), ListResult::kOk, 0, 0},
    {"RdVtepPartial", Tlv(9, Cat({U32(7), VtepV4(9, 0), Zeros(3)})), ListResult::kBadLength},
    {"ArpUncounted", Tlv(6, Cat({U32(7), U32(5001), Zeros(88)})), ListResult::kOk, 0, 2},
    {"ArpPartial", Tlv(6, Cat({U32(7), U32(5001), Zeros(45)})), ListResult::kBadLength},
    {"VmIpv6Ok", Tlv(3, Cat({U32(7), U32(5001), U16(0), Zeros(22)})), ListResult::kOk, 0, 1},
    {"RdListIsNotAList", Tlv(10, Cat({U32(7), H("00")})), ListResult::kNotAList},
};

INSTANTIATE_TEST_SUITE_P(Lists, VxlanListTest, ::testing::ValuesIn(kListCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VxlanWalkTest, QueriesIgnoreAPartialTrailingAddress) {
    Bytes q = Msg(6, Tlv(4, Cat({U32(7), U32(5001), H("00 50 56 00 00 01 00 50 56")})));
    ListUpdate l;
    ASSERT_EQ(ParseQuery(FirstTlv(q), &l), ListResult::kOk);
    EXPECT_EQ(l.added.count, 1u);
    EXPECT_EQ(BuildQuery(kDtVmMac, 7, 5001, H("00 50 56 00 00 01")),
              Msg(6, Tlv(4, Cat({U32(7), U32(5001), H("00 50 56 00 00 01")}))));
    EXPECT_TRUE(BuildQuery(kDtVmMac, 7, 5001, H("00 50 56")).empty());
}

TEST(VxlanWalkTest, RoutingDomainListAndVifUpdate) {
    Bytes list = BuildRdListUpdate(7, {Uuid(0xaa, 1), Uuid(0xbb, 2)});
    EXPECT_EQ(
        list,
        Msg(5, Tlv(10, Cat({U32(7), H("00 aa"), Zeros(14), H("01 bb"), Zeros(14), H("02")}))));
    EXPECT_EQ(list.size(), 13u + 32u);
    uint32_t sw = 0;
    EntryList uuids;
    ASSERT_TRUE(ParseRdList(FirstTlv(list), &sw, &uuids));
    EXPECT_EQ(uuids.count, 2u);
    EXPECT_EQ(ReadUuid(uuids[1]), Uuid(0xbb, 2));
    EXPECT_EQ(UuidText(Uuid(0xbb, 2)), "bb000000-0000-0000-0000-000000000002");

    uint8_t status = 0;
    EntryList vifs;
    ASSERT_TRUE(ParseVifUpdate(FirstTlv(Msg(5, Tlv(8, Cat({H("01"), Field("vif-1", 160)})))),
                               &status, &vifs));
    EXPECT_EQ(status, 1);
    EXPECT_EQ(vifs.count, 1u);
    EXPECT_FALSE(ParseVifUpdate(FirstTlv(Msg(5, Tlv(8, Cat({H("01"), Field("vif-1", 159)})))),
                                &status, &vifs));
}

// Routing domain membership with the domain's remote VTEPs (type 14), as the dataplane reads it:
// the bare 26 bytes, a count with no entries, removed then added entries; a head cut short, a
// count without its entries and a partial entry are refused.
TEST(VxlanWalkTest, RoutingDomainStateFromLiteralBytes) {
    const Bytes head = Cat({U32(7), H("7d"), Zeros(14), H("01")});  // switch 7, domain 7d..01
    const Bytes vtep1 = VtepV4(1, 11);
    const Bytes partial(vtep1.begin(), vtep1.end() - 1);
    struct Case {
        const char* name;
        Bytes msg;
        bool ok;
        size_t removed;
        size_t added;
    };
    const Case cases[] = {
        {"bare join", Cat({H("00 0e 00 1a"), head, H("01 00")}), true, 0, 0},
        {"global leave", Cat({H("00 0e 00 1a"), head, H("02 01")}), true, 0, 0},
        {"count only", Cat({H("00 0e 00 1c"), head, H("01 00 00 00")}), true, 0, 0},
        {"one removed, one added",
         Cat({H("00 0e 00 8e"), head, H("01 00 00 01"), VtepV4(1, 11), VtepV4(2, 12)}), true, 1, 1},
        {"two added", Cat({H("00 0e 00 8e"), head, H("01 00 00 00"), VtepV4(1, 11), VtepV4(2, 12)}),
         true, 0, 2},
        {"short head", Cat({H("00 0e 00 19"), head, H("01")}), false, 0, 0},
        {"half a count", Cat({H("00 0e 00 1b"), head, H("01 00 00")}), false, 0, 0},
        {"count past the entries", Cat({H("00 0e 00 55"), head, H("01 00 00 02"), VtepV4(1, 11)}),
         false, 0, 0},
        {"partial entry", Cat({H("00 0e 00 54"), head, H("01 00 00 00"), partial}), false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(DpMsgLength(c.msg.data()), c.msg.size());
        RdState st;
        ASSERT_EQ(ParseRdState(View(c.msg), &st), c.ok);
        if (!c.ok)
            continue;
        EXPECT_EQ(st.head.switchId, 7u);
        EXPECT_EQ(st.head.routingDomain, Uuid(0x7d, 1));
        EXPECT_EQ(st.head.op, c.msg[24]);
        EXPECT_EQ(st.head.global, c.msg[25]);
        EXPECT_EQ(st.removed.count, c.removed);
        EXPECT_EQ(st.added.count, c.added);
        if (c.added > 0) {
            const uint8_t* last = st.added[st.added.count - 1];
            EXPECT_EQ(ReadVtepEntry(last).ipv4, 0x0a000002u);
            EXPECT_EQ(ReadVtepEntry(last).label, 12u);
        }
    }
}

EntryBuffer& Append(EntryBuffer& b, const std::vector<Bytes>& entries) {
    for (const Bytes& e : entries)
        std::copy(e.begin(), e.end(), b.Append());
    return b;
}

// Splitting: a maximum that fits exactly N entries gives one message; one entry more gives a
// second message, each a complete TLV with its own counts.
TEST(VxlanWalkTest, ListsAreSplitAtTheMaximumWithTheirOwnCounts) {
    // VTEP membership overhead: header 4, TLV header 4, switch and VNI 8, two counts 4.
    const size_t max = 20 + 3 * kVtepEntrySize;
    const Bytes r1 = VtepV4(1, 1), a1 = VtepV4(2, 2), a2 = VtepV6(3, 3), a3 = VtepV4(4, 4);
    EntryBuffer removed(kVtepEntrySize);
    EntryBuffer added(kVtepEntrySize);
    Append(removed, {r1});
    Append(added, {a1, a2});

    std::vector<DpMsg> one = BuildListUpdates(kDtVtepMembership, 7, 5001, removed, added, max);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0], Update({VtepTlv(7, 5001, {r1}, {a1, a2})}));
    EXPECT_EQ(one[0].size(), max);

    Append(added, {a3});
    std::vector<DpMsg> two = BuildListUpdates(kDtVtepMembership, 7, 5001, removed, added, max);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0], Update({VtepTlv(7, 5001, {r1}, {a1, a2})}));
    EXPECT_EQ(two[1], Update({VtepTlv(7, 5001, {}, {a3})}));

    // One-count lists: the removed tail and the added head share a message.
    EntryBuffer macsDel(kVmMacEntrySize);
    EntryBuffer macsAdd(kVmMacEntrySize);
    Append(macsDel, {MacV4(1, 1), MacV4(2, 1), MacV4(3, 1)});
    Append(macsAdd, {MacV4(11, 1), MacV4(12, 1), MacV4(13, 1)});
    const size_t macMax = 18 + 4 * kVmMacEntrySize;
    std::vector<DpMsg> macs = BuildListUpdates(kDtVmMac, 7, 5001, macsDel, macsAdd, macMax);
    ASSERT_EQ(macs.size(), 2u);
    EXPECT_EQ(macs[0],
              Update({MacTlv(7, 5001, {MacV4(1, 1), MacV4(2, 1), MacV4(3, 1)}, {MacV4(11, 1)})}));
    EXPECT_EQ(macs[1], Update({MacTlv(7, 5001, {}, {MacV4(12, 1), MacV4(13, 1)})}));
    for (const DpMsg& m : macs)
        EXPECT_LE(m.size(), macMax);

    // Nothing fits: no message, never a truncated one.
    EXPECT_TRUE(BuildListUpdates(kDtVmMac, 7, 5001, macsDel, macsAdd, 18 + 39).empty());
    // Removed entries for a list type without counts are refused.
    EntryBuffer arp(kArpEntrySize);
    arp.Append();
    EXPECT_TRUE(BuildListUpdates(kDtArpv4, 7, 5001, arp, EntryBuffer(kArpEntrySize), 4085).empty());
    // An empty list is one message without entries.
    std::vector<DpMsg> none = BuildListUpdates(kDtVmMac, 7, 5001, EntryBuffer(kVmMacEntrySize),
                                               EntryBuffer(kVmMacEntrySize), 4085);
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0], Update({MacTlv(7, 5001, {}, {})}));
}

}  // namespace
}  // namespace CfgAgent
