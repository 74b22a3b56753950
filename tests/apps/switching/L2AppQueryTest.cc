// L2App's answers to the dataplane's queries (MAC, ARP, IPv6 neighbour) from the desired L2
// table, and the global replication mode with the only switch instance. Replies and messages are
// compared with bytes written from the layout.
#include "proto/cairndb_system.pb.h"
#include "tests/apps/switching/L2AppFixture.h"

namespace CfgAgent::test {
namespace {

constexpr uint32_t kSw = 7;
constexpr uint32_t kVni = 5001;
constexpr uint64_t kMac = 0x005056000000ull;

Bytes Mac(uint8_t x) {
    return Bytes{0x00, 0x50, 0x56, 0, 0, x};
}
Bytes Query(unsigned dataType, const Bytes& addresses, uint32_t vni = kVni) {
    return Msg(6, Tlv(dataType, Cat({U32(kSw), U32(vni), addresses})));
}
std::string Ip6Body(uint8_t last, uint64_t mac) {
    pb::LogSwitchIpEntryMsg m;
    std::string v6(16, '\0');
    v6[0] = static_cast<char>(0xfd);
    v6[15] = static_cast<char>(last);
    m.mutable_ip()->set_ipv6(v6);
    m.set_mac(mac);
    return m.SerializeAsString();
}

class L2AppQueryTest : public L2AppFixture {
  protected:
    // VNI 5001 joined; VTEP 10.0.0.1 (MAC 02:00:00:00:00:01) with MACs 1 and 2 behind it; MAC 1
    // at 192.168.0.1 and fd00::1.
    void SetUpSwitch() {
        ApplySwitch(LsId(1), kVni);
        ApplyFib(LsId(1), {{PropertyType::L2_VTEP, VtepBody(0x0a000001, 17, 0x020000000001ull)},
                           {PropertyType::L2_VM_MAC, MacBody(kMac + 1, 0x0a000001)},
                           {PropertyType::L2_VM_MAC, MacBody(kMac + 2, 0x0a000001)},
                           {PropertyType::L2_VM_IP, IpBody(0xc0a80001, kMac + 1)},
                           {PropertyType::L2_VM_IP, Ip6Body(1, kMac + 1)}});
        Synced({Join(kSw, kVni)});
        link->ClearSent();
    }
    std::vector<Bytes> Replies() {
        std::vector<Bytes> out;
        for (const DpMsg& m : SentOfType(vxlan::kMsgUpdate))
            out.emplace_back(m.begin(), m.end());
        return out;
    }
    void Instances(std::initializer_list<std::pair<uint32_t, uint8_t>> changes) {
        for (const auto& [id, op] : changes)
            Deliver(Instance(id, op));
    }
    void Replication(uint32_t mode) {
        pb::GlobalConfigMsg g;
        g.set_l2_replication_mode(mode);
        CairnDBUpdateMsg r;
        r.objType = ObjectType::GLOBAL_CONFIG;
        r.id = SerializedUuid(0x9c, 1);
        r.data = g.SerializeAsString();
        app->UpdateDesiredState({r}, false);
    }
};

// The VM MAC entry of MAC x behind VTEP 10.0.0.1 with its MAC.
Bytes FoundMac(uint8_t x) {
    return Cat(
        {Mac(x), H("02 00 00 00 00 01"), H("0a 00 00 01"), Zeros(4), HostType(1), Zeros(16)});
}

TEST_F(L2AppQueryTest, MacQueryIsAnsweredWithTheKnownMacsInOneReply) {
    SetUpSwitch();
    // MACs 1, 9 (unknown) and 2, and a partial trailing address that is ignored.
    Deliver(Query(4, Cat({Mac(1), Mac(9), Mac(2), H("00 50 56")})));
    EXPECT_EQ(Replies(),
              (std::vector<Bytes>{Update({MacTlv(kSw, kVni, {}, {FoundMac(1), FoundMac(2)})})}));
}

TEST_F(L2AppQueryTest, ArpAndNeighbourQueriesAreAnswered) {
    SetUpSwitch();
    Deliver(Query(6, H("c0 a8 00 01 c0 a8 00 09")));
    const Bytes v6 = Cat({H("fd"), Zeros(14), H("01")});
    Deliver(Query(7, v6));
    const Bytes arp = Cat({H("c0 a8 00 01 0a 00 00 01"), Mac(1), H("02 00 00 00 00 01"),
                           HostType(1), Zeros(16), Zeros(4)});
    const Bytes nd = Cat(
        {v6, H("0a 00 00 01"), Mac(1), H("02 00 00 00 00 01"), HostType(1), Zeros(16), Zeros(4)});
    EXPECT_EQ(Replies(), (std::vector<Bytes>{Msg(5, Tlv(6, Cat({U32(kSw), U32(kVni), arp}))),
                                             Msg(5, Tlv(7, Cat({U32(kSw), U32(kVni), nd})))}));
}

struct BadQuery {
    const char* name;
    Bytes msg;
    const char* line;
    const char* code;  // empty: a debug line
};

class L2AppBadQueryTest : public L2AppQueryTest, public ::testing::WithParamInterface<BadQuery> {};

TEST_P(L2AppBadQueryTest, IsLoggedAndDropped) {
    SetUpSwitch();
    Deliver(GetParam().msg);
    if (*GetParam().code != '\0')
        EXPECT_TRUE(log.ContainsWithCode(GetParam().line, GetParam().code));
    else
        EXPECT_TRUE(log.Contains(GetParam().line));
    EXPECT_TRUE(Replies().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Queries, L2AppBadQueryTest,
    ::testing::Values(BadQuery{"UnknownDataType", Msg(6, Tlv(5, Cat({U32(kSw), U32(kVni)}))),
                               "L2App: Unknown internal data type in query message: 5", "LCP00407"},
                      BadQuery{"Short", Msg(6, Tlv(4, U32(kSw))),
                               "L2App: invalid VXLAN_DATATYPE_VMMAC  message length 8", "LCP00407"},
                      BadQuery{"TlvPastEnd", Msg(6, H("00 04 00 40 00 00 00 07")),
                               "L2App: TLV message validation failed", "LCP00407"},
                      BadQuery{"UnknownVni", Query(4, Mac(1), 6001),
                               "L2App: MAC query, LSID can't be found for VNI 6001", ""}),
    [](const auto& info) { return std::string(info.param.name); });

class L2AppSmallQueryTest : public L2AppQueryTest {
  protected:
    boost::property_tree::ptree Config() override {
        boost::property_tree::ptree c = L2AppQueryTest::Config();
        c.put("l2.maxMsgLength", 256);
        return c;
    }
};

// Six found MACs do not fit one 256-byte message: complete pieces, each with its own count.
TEST_F(L2AppSmallQueryTest, RepliesAreSplitAtTheMaximum) {
    ApplySwitch(LsId(1), kVni);
    std::vector<Entry> macs;
    Bytes asked;
    for (uint8_t x = 1; x <= 6; ++x) {
        macs.push_back({PropertyType::L2_VM_MAC, MacBody(kMac + x, 0x0a000001)});
        asked = Cat({asked, Mac(x)});
    }
    ApplyFib(LsId(1), macs);
    Synced({Join(kSw, kVni)});
    link->ClearSent();
    Deliver(Query(4, asked));
    std::vector<Bytes> replies = Replies();
    ASSERT_EQ(replies.size(), 2u);
    for (const Bytes& r : replies)
        EXPECT_LE(r.size(), 256u);
    auto entry = [](uint8_t x) {
        return Cat({Mac(x), Zeros(6), H("0a 00 00 01"), Zeros(4), HostType(1), Zeros(16)});
    };
    EXPECT_EQ(replies[0],
              Update({MacTlv(kSw, kVni, {}, {entry(1), entry(2), entry(3), entry(4), entry(5)})}));
    EXPECT_EQ(replies[1], Update({MacTlv(kSw, kVni, {}, {entry(6)})}));
}

// Sent only with exactly one switch instance, again whenever that becomes true.
TEST_F(L2AppQueryTest, GlobalReplicationNeedsExactlyOneInstance) {
    Replication(2);
    Synced();
    EXPECT_TRUE(SentOfType(vxlan::kMsgGlobalReplication).empty());
    EXPECT_TRUE(log.Contains("L2App: sync global routing domain, no ovl2 instance found"));
    // A new session restates two instances.
    app->SimulateOutOfSync();
    Ack();
    Instances({{7, 1}, {8, 1}});
    End();
    EXPECT_TRUE(SentOfType(vxlan::kMsgGlobalReplication).empty());
    EXPECT_TRUE(log.ContainsWithCode(
        "L2App: only one host switch is supported for global routing domain 2 instance found",
        "LCP00409"));
    Instances({{8, 2}});
    std::vector<DpMsg> sent = SentOfType(vxlan::kMsgGlobalReplication);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], H("00 10 00 09 00 00 00 07 02"));
    EXPECT_TRUE(log.Contains("L2App: set l2 global replication mode to 2"));
    Replication(2);
    EXPECT_EQ(SentOfType(vxlan::kMsgGlobalReplication).size(), 1u) << "unchanged: not sent again";
    Replication(1);
    sent = SentOfType(vxlan::kMsgGlobalReplication);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], H("00 10 00 09 00 00 00 07 01"));
}

}  // namespace
}  // namespace CfgAgent::test
