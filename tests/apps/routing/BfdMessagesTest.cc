// The BFD values as the dataplane reads them, pinned with literal bytes written from the layout:
// the session TLV (data type 11) built for IPv4 and IPv6, with and without a routing domain, and
// the Configure items 8 and 9 that the app sends for each subset of present fields; the shared
// walker reads the same literals back.
#include <gtest/gtest.h>

#include "apps/routing/BfdTlv.h"
#include "tests/apps/routing/BfdFixture.h"
#include "tests/dataplane/VxlanVectors.h"

namespace CfgAgent::test {
namespace {

constexpr const char* kZero12 = "00 00 00 00 00 00 00 00 00 00 00 00";
constexpr const char* kZero16 = "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";

struct SessionCase {
    const char* name;
    bool ipv6;
    bool remove;
    bool withRd;
    std::string tlv;  // the whole TLV
};

std::array<uint8_t, 16> Addr(std::initializer_list<uint8_t> head, uint8_t last = 0) {
    std::array<uint8_t, 16> a{};
    std::copy(head.begin(), head.end(), a.begin());
    if (last != 0)
        a[15] = last;
    return a;
}

class BfdSessionTlvTest : public ::testing::TestWithParam<SessionCase> {};

TEST_P(BfdSessionTlvTest, BuiltAsTheLayoutSaysAndReadBack) {
    const SessionCase& c = GetParam();
    const auto local = c.ipv6 ? Addr({0xfd}, 1) : Addr({10, 0, 1, 1});
    const auto remote = c.ipv6 ? Addr({0xfd}, 2) : Addr({10, 0, 2, 1});
    vxlan::UuidBytes rd{};
    if (c.withRd)
        rd = {0x7d, 0, 0, 0, 0, 0, 0x40, 0, 0x80, 0, 0, 0, 0, 0, 0, 2};
    const bfd::SessionEntry e = bfd::BuildSessionEntry(local, remote, c.ipv6, 5001, rd, 900);
    const Bytes tlv = vxlanvec::Tlv(11, bfd::BuildSessionValue(7, c.remove, e));
    EXPECT_EQ(tlv, H(c.tlv)) << c.name;

    DpTlv t{11, static_cast<uint16_t>(tlv.size()), tlv.data() + 4, tlv.size() - 4};
    vxlan::BfdSession s;
    ASSERT_TRUE(vxlan::ParseBfdSession(t, &s));
    EXPECT_EQ(s.switchId, 7u);
    EXPECT_EQ(s.op, c.remove ? 1 : 0);
    EXPECT_EQ(s.family, c.ipv6 ? 1 : 0);
    EXPECT_EQ(s.vni, 5001u);
    EXPECT_EQ(s.groupLabel, 900u);
    EXPECT_EQ(s.routingDomain, rd);
}

const std::string kIpv4Add = std::string("00 0b 00 43  00 00 00 07  00 00 ") + "0a 00 01 01 " +
                             kZero12 + " 0a 00 02 01 " + kZero12 + " 00  00 00 13 89 " + kZero16 +
                             " 00 00 03 84";
const std::string kIpv4RemoveRd = std::string("00 0b 00 43  00 00 00 07  00 01 ") + "0a 00 01 01 " +
                                  kZero12 + " 0a 00 02 01 " + kZero12 +
                                  " 00  00 00 13 89  7d 00 00 00 00 00 40 00 80 00 00 00 00 00 "
                                  "00 02  00 00 03 84";
const std::string kIpv6Add = std::string("00 0b 00 43  00 00 00 07  00 00 ") +
                             "fd 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 "
                             "fd 00 00 00 00 00 00 00 00 00 00 00 00 00 00 02 "
                             "01  00 00 13 89 " +
                             kZero16 + " 00 00 03 84";

INSTANTIATE_TEST_SUITE_P(
    Layouts, BfdSessionTlvTest,
    ::testing::Values(SessionCase{"ipv4 add, no routing domain", false, false, false, kIpv4Add},
                      SessionCase{"ipv4 remove, routing domain", false, true, true, kIpv4RemoveRd},
                      SessionCase{"ipv6 add", true, false, false, kIpv6Add}),
    [](const auto& info) {
        return std::string(info.param.ipv6 ? "Ipv6" : "Ipv4") +
               (info.param.remove ? "Remove" : "Add") + (info.param.withRd ? "Rd" : "");
    });

TEST(BfdSessionWalkTest, RefusesWhatTheLayoutForbids) {
    Bytes good = H(kIpv4Add);
    auto parse = [](const Bytes& tlv) {
        DpTlv t{11, static_cast<uint16_t>(tlv.size()), tlv.data() + 4, tlv.size() - 4};
        vxlan::BfdSession s;
        return vxlan::ParseBfdSession(t, &s);
    };
    ASSERT_TRUE(parse(good));
    Bytes family = good;
    family[4 + 6 + 32] = 2;
    EXPECT_FALSE(parse(family)) << "family 2";
    Bytes op = good;
    op[4 + 5] = 2;
    EXPECT_FALSE(parse(op)) << "operation 2";
    Bytes padding = good;
    padding[4 + 6 + 20] = 1;
    EXPECT_FALSE(parse(padding)) << "IPv4 with bytes after the remote address";
    Bytes shorter(good.begin(), good.end() - 1);
    shorter[3] = 0x42;
    EXPECT_FALSE(parse(shorter)) << "62-byte value";
}

// ---- Configure items through the app ----

constexpr const char* kDvsText =  // "d5000000-0000-4000-0000-000000000001" and 12 NULs
    "64 35 30 30 30 30 30 30 2d 30 30 30 30 2d 34 30 30 30 2d 30 30 30 30 2d 30 30 30 30 30 30 30 "
    "30 30 30 30 31 00 00 00 00 00 00 00 00 00 00 00 00";

struct ItemCase {
    const char* name;
    bool enable, interval, latency;  // which fields the database message has
    bool enableValue;
    uint32_t intervalValue;
    const char* tail;  // value bytes 48-64
};

class BfdConfigItemTest : public BfdFixture, public ::testing::WithParamInterface<ItemCase> {
  protected:
    // A transport node whose host switch (kDvsText) spans transport zone 1, with `bfd`.
    void ApplyTransportNode(const pb::BfdConfigMsg* bfd, bool withZone = true) {
        pb::TransportNodeConfigMsg tn;
        pb::TransportSwitchMsg* sw = tn.add_transport_switches();
        *sw->mutable_host_switch_id() = UuidOf(SerializedUuid(0xd500000000004000ull, 1));
        sw->set_name("dvs-1");
        if (withZone)
            *sw->add_transport_zone_ids() = UuidOf(SerializedUuid(0x2200000000004000ull, 1));
        if (bfd != nullptr)
            *sw->mutable_bfd() = *bfd;
        const std::string id = SerializedUuid(0x7e00000000004000ull, 1);
        cache->ConfigTable()->UpdateDesiredState(
            {Rec(ObjectType::TRANSPORT_NODE_CONFIG, id, PropertyType::INVALID_PROPERTY,
                 tn.SerializeAsString()),
             Rec(ObjectType::TRANSPORT_NODE_CONFIG, id, PropertyType::TN_TRANSPORT_SWITCHES,
                 tn.SerializeAsString())},
            false);
    }
};

TEST_P(BfdConfigItemTest, FlagsFollowThePresentFields) {
    const ItemCase& c = GetParam();
    pb::BfdConfigMsg bfd;
    if (c.enable)
        bfd.set_enabled(c.enableValue);
    if (c.interval)
        bfd.set_vtep_health_interval(c.intervalValue);
    if (c.latency)
        bfd.set_latency_enable(true);
    ApplyTransportNode(&bfd);
    const std::vector<std::vector<uint8_t>> items = l2.Items(8);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0], Cat({H(kDvsText), H(c.tail)})) << c.name;
    DpTlv t{8, 69, items[0].data(), items[0].size()};
    vxlan::BfdConfigItem parsed;
    ASSERT_TRUE(vxlan::ParseBfdConfigItem(t, &parsed));
    EXPECT_EQ(parsed.dvsUuid, "d5000000-0000-4000-0000-000000000001");
}

INSTANTIATE_TEST_SUITE_P(EachSubset, BfdConfigItemTest,
                         ::testing::Values(
                             // tail: latency enable, flags, enable, 2 zero, interval, 8 zero
                             ItemCase{"none", false, false, false, true, 1000,
                                      "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
                             ItemCase{"enable", true, false, false, true, 1000,
                                      "00 01 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
                             ItemCase{"interval", false, true, false, true, 1000,
                                      "00 02 00 00 00 00 00 03 e8 00 00 00 00 00 00 00 00"},
                             ItemCase{"latency", false, false, true, true, 1000,
                                      "01 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
                             ItemCase{"enable_interval", true, true, false, true, 1000,
                                      "00 03 01 00 00 00 00 03 e8 00 00 00 00 00 00 00 00"},
                             ItemCase{"enable_latency", true, false, true, true, 1000,
                                      "01 05 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
                             ItemCase{"interval_latency", false, true, true, true, 1000,
                                      "01 06 00 00 00 00 00 03 e8 00 00 00 00 00 00 00 00"},
                             ItemCase{"all", true, true, true, true, 1000,
                                      "01 07 01 00 00 00 00 03 e8 00 00 00 00 00 00 00 00"},
                             // Present with the default value: still present.
                             ItemCase{"disabled_zero_interval", true, true, false, false, 0,
                                      "00 03 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BfdConfigItemTest, TransportZoneMissingOrEmptySkipsTheItem) {
    pb::BfdConfigMsg bfd;
    bfd.set_enabled(true);
    ApplyTransportNode(&bfd, /*withZone=*/false);
    EXPECT_TRUE(log.Contains("BFDPB2TLV, Exit, empty transport zone, skipping"));
    // A zone no transport switch spans.
    pb::TransportNodeConfigMsg tn;
    pb::TransportSwitchMsg* sw = tn.add_transport_switches();
    *sw->add_transport_zone_ids() = UuidOf(SerializedUuid(0x2200000000004000ull, 9));
    *sw->mutable_bfd() = bfd;
    app->ProcessConfigDesiredStateUpdate(
        {Rec(ObjectType::TRANSPORT_NODE_CONFIG, SerializedUuid(0x7e00000000004000ull, 2),
             PropertyType::TN_TRANSPORT_SWITCHES, tn.SerializeAsString())},
        false);
    EXPECT_TRUE(
        log.Contains("BFDPB2TLV, Exit, transport zone "
                     "22000000-0000-4000-0000-000000000009 not found in cache, skipping"));
    EXPECT_TRUE(l2.Items(8).empty());
    ApplyTransportNode(nullptr);
    EXPECT_TRUE(l2.Items(8).empty()) << "a switch without BFD settings sends nothing";
}

struct EvpnCase {
    const char* name;
    int field;  // 0 enable, 1 interval, 2 multiplier
    const char* value;
};

class BfdEvpnItemTest : public BfdFixture, public ::testing::WithParamInterface<EvpnCase> {};

TEST_P(BfdEvpnItemTest, OnlyThePresentFieldIsFlagged) {
    pb::BfdGlobalConfigMsg g;
    if (GetParam().field == 0)
        g.mutable_config()->set_enabled(true);
    else if (GetParam().field == 1)
        g.mutable_config()->set_vtep_health_interval(500);
    else
        g.mutable_config()->set_declare_dead_multiple(3);
    app->UpdateDesiredState({Rec(ObjectType::BFD_GLOBAL_CONFIG, SerializedUuid(0xbf, 1),
                                 PropertyType::INVALID_PROPERTY, g.SerializeAsString())},
                            false);
    ASSERT_EQ(l2.Items(9).size(), 1u);
    EXPECT_EQ(l2.Items(9)[0], H(GetParam().value)) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    OneField, BfdEvpnItemTest,
    ::testing::Values(
        // type, flags, enable, 2 zero, interval, multiplier, 4 zero
        EvpnCase{"enable", 0, "00 00 00 00  01 01 00 00  00 00 00 00  00 00 00 00  00 00 00 00"},
        EvpnCase{"interval", 1, "00 00 00 00  02 00 00 00  00 00 01 f4  00 00 00 00  00 00 00 00"},
        EvpnCase{"multiplier", 2,
                 "00 00 00 00  08 00 00 00  00 00 00 00  00 00 00 03  00 00 00 00"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BfdFixture, OtherObjectTypesOnComponentBfdAreDropped) {
    app->UpdateDesiredState({Rec(ObjectType::GLOBAL_CONFIG, SerializedUuid(0x6e, 1),
                                 PropertyType::INVALID_PROPERTY, "")},
                            false);
    EXPECT_TRUE(
        log.ContainsWithCode("BFDTableApp: unexpected cairndb object type 136", "LCP02203"));
    EXPECT_TRUE(l2.sent.empty());
    // An unreadable global configuration is dropped with its line.
    app->UpdateDesiredState({Rec(ObjectType::BFD_GLOBAL_CONFIG, SerializedUuid(0xbf, 1),
                                 PropertyType::INVALID_PROPERTY, "\xff\xff")},
                            false);
    EXPECT_TRUE(log.ContainsWithCode(
        "BFDTableApp: unreadable BFD global configuration (2 bytes) dropped", "LCP00019"));
    EXPECT_TRUE(l2.sent.empty());
}

}  // namespace
}  // namespace CfgAgent::test
