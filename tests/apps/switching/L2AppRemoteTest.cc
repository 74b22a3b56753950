// L2App's remote side: what it sends for a joined VNI (membership confirmation, Link change,
// Controller IP Update, per-switch items, remote VTEPs, MACs and IPs from the desired L2 table),
// checked as bytes written from the layout; conversion rejects, splitting at the maximum, waiting
// for the join, and the reconcile after a full sync of the desired store.
#include "proto/cairndb_system.pb.h"
#include "tests/apps/switching/L2AppFixture.h"

namespace CfgAgent::test {
namespace {

constexpr uint32_t kSw = 7;
constexpr uint32_t kVni = 5001;

// Entries as the dataplane reads them.
Bytes VmMac(uint8_t x, uint8_t vtep) {
    return Cat({Bytes{0x00, 0x50, 0x56, 0, 0, x}, Zeros(6), Bytes{10, 0, 0, vtep}, Zeros(4),
                HostType(1), Zeros(16)});
}
Bytes RemovedVmMac(uint8_t x) {
    return Cat({Bytes{0x00, 0x50, 0x56, 0, 0, x}, Zeros(34)});
}
constexpr uint64_t kMac = 0x005056000000ull;

class L2AppRemoteTest : public L2AppFixture {
  protected:
    void Controller(const std::vector<std::string>& addresses) {
        pb::CcpSessionMsg s;
        for (size_t i = 0; i < addresses.size(); ++i) {
            pb::IpAddressMsg* ip =
                i == 0 ? s.mutable_controller_ip() : s.mutable_secondary_controller_ip();
            if (addresses[i].size() == 4)
                ip->set_ipv4(LoadBe32(reinterpret_cast<const uint8_t*>(addresses[i].data())));
            else
                ip->set_ipv6(addresses[i]);
        }
        CairnDBUpdateMsg r;
        r.objType = ObjectType::CCP_SESSION;
        r.id = SerializedUuid(0xcc, 1);
        r.data = s.SerializeAsString();
        app->UpdateDesiredState({r}, false);
    }
    // A session through its Full Sync End with VNI 5001 joined on switch 7; what was sent after.
    void Joined() { Synced({Join(kSw, kVni)}); }
    // Messages sent after the session's Configure.
    std::vector<DpMsg> AfterConfigure() {
        std::vector<DpMsg> sent = link->Sent();
        auto it = std::find_if(sent.begin(), sent.end(), [](const DpMsg& m) {
            return DpMsgType(m.data()) == vxlan::kMsgConfigure && m.size() == 40;
        });
        return it == sent.end() ? std::vector<DpMsg>{} : std::vector<DpMsg>(it + 1, sent.end());
    }
};

TEST_F(L2AppRemoteTest, JoinSendsTheVniThenItsRemoteStateInOrder) {
    ApplySwitch(LsId(1), kVni, RdId(1));
    ApplyFib(LsId(1), {{PropertyType::L2_VTEP, VtepBody(0x0a000001, 17, 0x020000000001ull)},
                       {PropertyType::L2_VM_MAC, MacBody(kMac + 1, 0x0a000001)},
                       {PropertyType::L2_VM_IP, IpBody(0xc0a80001, kMac + 1)}});
    Controller({std::string("\x0a\x01\x02\x03", 4)});
    EXPECT_TRUE(link->Sent().empty()) << "nothing before a session";
    Joined();
    const Bytes rd = Cat({H("7d 00 00 00 00 00 00 00"), H("00 00 00 00 00 00 00 01")});
    std::vector<Bytes> expected = {
        H("00 03 00 0d 00 00 00 07 00 00 13 89 01"),
        H("00 04 00 0f 00 00 00 07 01 00 00 13 89 00 00"),
        Cat({H("03 e9 00 24 00 00 00 07 00 00 13 89 0a 01 02 03"), HostType(1), Zeros(16)}),
        Msg(2, Tlv(259, Cat({U32(kSw), U32(kVni), rd}))),
        Update({VtepTlv(kSw, kVni, {}, {VtepV4(1, 17)})}),
        Update({MacTlv(kSw, kVni, {}, {VmMac(1, 1)})}),
        Msg(5, Tlv(2, Cat({U32(kSw), U32(kVni), U16(0), H("c0 a8 00 01 00 50 56 00 00 01")}))),
        // The switch's routing domain list, then at Full Sync End the domain's remote state.
        Update({Tlv(10, Cat({U32(kSw), Bytes{0}, rd}))}),
        Msg(14, Cat({U32(kSw), rd, Bytes{1, 0}, U16(0)})),
    };
    std::vector<DpMsg> sent = AfterConfigure();
    ASSERT_EQ(sent.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(sent[i], expected[i]) << "message " << i;
    L2App::RemoteCounts c;
    ASSERT_TRUE(app->GetRemoteCounts(kVni, &c));
    EXPECT_EQ(c.vteps + c.macs + c.ips, 3u);
}

// Controller IP Update: the families of the controller session decide the address type (host
// order), absent families stay zero.
struct ControllerCase {
    const char* name;
    std::vector<std::string> addresses;
    Bytes fields;  // bytes 12-35
    const char* line;
};

class L2AppControllerTest : public L2AppRemoteTest,
                            public ::testing::WithParamInterface<ControllerCase> {};

TEST_P(L2AppControllerTest, AddressTypeFollowsTheSession) {
    ApplySwitch(LsId(1), kVni);
    if (!GetParam().addresses.empty())
        Controller(GetParam().addresses);
    Joined();
    std::vector<DpMsg> ctlr = SentOfType(vxlan::kMsgControllerIp);
    ASSERT_EQ(ctlr.size(), 1u);
    EXPECT_EQ(ctlr[0], Cat({H("03 e9 00 24 00 00 00 07 00 00 13 89"), GetParam().fields}));
    if (*GetParam().line != '\0') {
        EXPECT_TRUE(log.Contains(GetParam().line));
    }

    // A new controller session reaches every pushed VNI at once.
    link->ClearSent();
    Controller({std::string("\x0a\x00\x00\x09", 4)});
    ctlr = SentOfType(vxlan::kMsgControllerIp);
    ASSERT_EQ(ctlr.size(), 1u);
    EXPECT_EQ(Bytes(ctlr[0].begin() + 12, ctlr[0].end()),
              Cat({H("0a 00 00 09"), HostType(1), Zeros(16)}));
}

const std::string kV6("\xfd\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x05", 16);
const Bytes kV6Bytes = H("fd 00 00 00 00 00 00 00 00 00 00 00 00 00 00 05");

INSTANTIATE_TEST_SUITE_P(
    Families, L2AppControllerTest,
    ::testing::Values(
        ControllerCase{"Ipv4",
                       {std::string("\x0a\x01\x02\x03", 4)},
                       Cat({H("0a 01 02 03"), HostType(1), Zeros(16)}),
                       ""},
        ControllerCase{"Ipv6", {kV6}, Cat({Zeros(4), HostType(2), kV6Bytes}), ""},
        ControllerCase{"Both",
                       {std::string("\x0a\x01\x02\x03", 4), kV6},
                       Cat({H("0a 01 02 03"), HostType(3), kV6Bytes}),
                       "BuildCtlrIPUpdateMsg: Controller address type is IPV4_AND_IPV6"},
        ControllerCase{
            "None", {}, Zeros(24), "BuildCtlrIPUpdateMsg: Invalid Controller address type"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(L2AppRemoteTest, LinkChangeFlagFollowsTheReplicationSetting) {
    ApplySwitch(LsId(1), kVni);
    Joined();
    auto flag = [&] {
        std::vector<DpMsg> l = SentOfType(vxlan::kMsgLinkChange);
        return l.empty() ? -1 : l.back()[8];
    };
    EXPECT_EQ(flag(), 1) << "no replication setting";
    pb::LogSwitchConfigMsg ls;
    ls.set_replication_mode(1);
    ApplyLs(LsId(1), PropertyType::LS_REPLICATION_MODE, ls);
    EXPECT_EQ(flag(), 0);
    ls.set_replication_mode(2);
    ApplyLs(LsId(1), PropertyType::LS_REPLICATION_MODE, ls);
    EXPECT_EQ(flag(), 1);

    // Proxies: in the Link change and as their own items.
    link->ClearSent();
    pb::LogSwitchConfigMsg arp;
    arp.set_arp_proxy(true);
    ApplyLs(LsId(1), PropertyType::LS_ARP_PROXY, arp);
    ASSERT_EQ(SentOfType(vxlan::kMsgLinkChange).size(), 1u);
    EXPECT_EQ(SentOfType(vxlan::kMsgLinkChange)[0],
              H("00 04 00 0f 00 00 00 07 01 00 00 13 89 00 01"));
    ASSERT_EQ(SentOfType(vxlan::kMsgConfigure).size(), 1u);
    EXPECT_EQ(SentOfType(vxlan::kMsgConfigure)[0],
              Msg(2, Tlv(258, H("00 00 00 07 00 00 13 89 01"))));
}

// A desired VTEP the dataplane cannot take is skipped with its line; the others go out.
struct VtepReject {
    const char* name;
    std::function<void(pb::LogSwitchVtepEntryMsg*)> edit;
    const char* line;
};

class L2AppVtepRejectTest : public L2AppRemoteTest,
                            public ::testing::WithParamInterface<VtepReject> {};

TEST_P(L2AppVtepRejectTest, EntryIsSkipped) {
    ApplySwitch(LsId(1), kVni);
    Joined();
    link->ClearSent();
    pb::LogSwitchVtepEntryMsg bad;
    bad.mutable_ip()->set_ipv4(0x0a000002);
    bad.set_label(22);
    GetParam().edit(&bad);
    ApplyFib(LsId(1), {{PropertyType::L2_VTEP, VtepBody(0x0a000001, 17, 0x020000000001ull)},
                       {PropertyType::L2_VTEP, bad.SerializeAsString()}});
    EXPECT_TRUE(log.ContainsWithCode(GetParam().line, "LCP00019"));
    std::vector<DpMsg> updates = SentOfType(vxlan::kMsgUpdate);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0], Update({VtepTlv(kSw, kVni, {}, {VtepV4(1, 17)})}));
}

INSTANTIATE_TEST_SUITE_P(
    Rejects, L2AppVtepRejectTest,
    ::testing::Values(VtepReject{"Encap",
                                 [](pb::LogSwitchVtepEntryMsg* m) {
                                     m->set_encap_type(static_cast<pb::VtepEncapType>(7));
                                 },
                                 "Invalid VTEP encap type 7, IP: 10.0.0.2, label: 22"},
                      VtepReject{"Mtep0",
                                 [](pb::LogSwitchVtepEntryMsg* m) { m->set_mtep_capability(0); },
                                 "Invalid MTEP Capability 0, IP: 10.0.0.2, label: 22"},
                      VtepReject{"Mtep4",
                                 [](pb::LogSwitchVtepEntryMsg* m) { m->set_mtep_capability(4); },
                                 "Invalid MTEP Capability 4, IP: 10.0.0.2, label: 22"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(L2AppRemoteTest, VtepsWithoutAUsableAddressAreSkipped) {
    ApplySwitch(LsId(1), kVni);
    Joined();
    link->ClearSent();
    // The table keys VTEPs by address and refuses these itself: the conversion sees them only if
    // a record gets past it.
    pb::LogSwitchVtepEntryMsg none;
    none.set_label(23);
    pb::LogSwitchVtepEntryMsg short6;
    short6.mutable_ip()->set_ipv6(kV6.substr(1));
    short6.set_label(24);
    CairnDBUpdateList list;
    for (const auto* m : {&none, &short6}) {
        CairnDBUpdateMsg r;
        r.objType = ObjectType::LOG_SWITCH_FIB;
        r.id = LsId(1);
        r.property = PropertyType::L2_VTEP;
        r.data = m->SerializeAsString();
        list.push_back(r);
    }
    app->ProcessL2DesiredStateUpdate(list, false);
    EXPECT_TRUE(log.ContainsWithCode("Invalid VTEP has no vtep ip,  label: 23", "LCP00019"));
    EXPECT_TRUE(
        log.ContainsWithCode("Invalid VTEP address 15-byte IPv6 address, label: 24", "LCP00019"));
    EXPECT_TRUE(SentOfType(vxlan::kMsgUpdate).empty());
}

// Item 259 goes out only with a routing domain; MAC limit 261 only with a limit of 0-4096.
TEST_F(L2AppRemoteTest, RoutingDomainAndMacLimitItems) {
    ApplySwitch(LsId(1), kVni);
    Joined();
    EXPECT_TRUE(SentOfType(vxlan::kMsgConfigure).size() == 1u) << "the session's Configure only";
    EXPECT_TRUE(log.Contains("Routing domain ID property is not set for VNI 5001"));

    pb::LogSwitchConfigMsg zero;
    zero.mutable_routing_domain_id();
    link->ClearSent();
    ApplyLs(LsId(1), PropertyType::LS_ROUTING_DOMAIN_ID, zero);
    EXPECT_TRUE(log.Contains("Routing doman ID is invalid value for VNI 5001"));
    EXPECT_TRUE(SentOfType(vxlan::kMsgConfigure).empty());

    struct Limit {
        uint32_t value;
        bool sent;
    };
    for (Limit l : {Limit{0, true}, Limit{4096, true}, Limit{4097, false}}) {
        SCOPED_TRACE(l.value);
        link->ClearSent();
        pb::LogSwitchConfigMsg mm;
        mm.mutable_mac_management()->set_mac_limit(l.value);
        ApplyLs(LsId(1), PropertyType::LS_MAC_MANAGEMENT, mm);
        std::vector<DpMsg> cfg = SentOfType(vxlan::kMsgConfigure);
        if (l.sent) {
            ASSERT_EQ(cfg.size(), 1u);
            EXPECT_EQ(cfg[0], Msg(2, Tlv(261, Cat({U32(kSw), U32(kVni), U32(l.value)}))));
        } else {
            EXPECT_TRUE(cfg.empty());
            EXPECT_TRUE(log.Contains("L2App: VNI 5001 doesn't receive a valid mac limit: 4097"));
        }
    }
}

TEST_F(L2AppRemoteTest, ChangesOfAnUnjoinedVniWaitForItsJoin) {
    ApplySwitch(LsId(1), kVni);
    ApplySwitch(LsId(2), 5002);
    Synced();
    link->ClearSent();
    ApplyFib(LsId(2), {{PropertyType::L2_VM_MAC, MacBody(kMac + 2, 0x0a000002)}});
    EXPECT_TRUE(link->Sent().empty());
    Deliver(Join(kSw, 5002));
    std::vector<DpMsg> updates = SentOfType(vxlan::kMsgUpdate);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0], Update({MacTlv(kSw, 5002, {}, {VmMac(2, 2)})}));

    // Deltas of the pushed VNI go out as they come; a delete removes the entry.
    link->ClearSent();
    ApplyFib(LsId(2),
             {{PropertyType::L2_VM_MAC, MacBody(kMac + 2, 0x0a000002), Operation::OPERATION_DELETE},
              {PropertyType::L2_VM_MAC, MacBody(kMac + 3, 0x0a000002)}});
    updates = SentOfType(vxlan::kMsgUpdate);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0], Update({MacTlv(kSw, 5002, {RemovedVmMac(2)}, {VmMac(3, 2)})}));

    // Added and removed again in one change: the removal must not overtake the addition.
    link->ClearSent();
    ApplyFib(LsId(2), {{PropertyType::L2_VM_MAC, MacBody(kMac + 4, 0x0a000002)},
                       {PropertyType::L2_VM_MAC, MacBody(kMac + 4, 0x0a000002),
                        Operation::OPERATION_DELETE}});
    updates = SentOfType(vxlan::kMsgUpdate);
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[0], Update({MacTlv(kSw, 5002, {}, {VmMac(4, 2)})}));
    EXPECT_EQ(updates[1], Update({MacTlv(kSw, 5002, {RemovedVmMac(4)}, {})}));
}

TEST_F(L2AppRemoteTest, NothingIsPushedBeforeTheOpenAck) {
    ApplySwitch(LsId(1), kVni);
    Up();
    ApplyFib(LsId(1), {{PropertyType::L2_VM_MAC, MacBody(kMac + 1, 0x0a000001)}});
    Deliver(Join(kSw, kVni));  // refused in state 1
    EXPECT_TRUE(SentOfType(vxlan::kMsgUpdate).empty());
    EXPECT_TRUE(SentOfType(vxlan::kMsgVniMembership).empty());
    Ack();
    Deliver(Join(kSw, kVni));
    EXPECT_EQ(SentOfType(vxlan::kMsgUpdate).size(), 1u);
}

class L2AppSmallMaximumTest : public L2AppRemoteTest {
  protected:
    boost::property_tree::ptree Config() override {
        boost::property_tree::ptree c = L2AppRemoteTest::Config();
        c.put("l2.maxMsgLength", "256");
        return c;
    }
};

TEST_F(L2AppSmallMaximumTest, ListsAreSplitIntoCompleteMessages) {
    ApplySwitch(LsId(1), kVni);
    std::vector<Entry> macs;
    for (uint8_t i = 0; i < 30; ++i)
        macs.push_back({PropertyType::L2_VM_MAC, MacBody(kMac + i, 0x0a000001)});
    ApplyFib(LsId(1), macs);
    Joined();
    std::vector<DpMsg> updates = SentOfType(vxlan::kMsgUpdate);
    // (256 - 4 - 4 - 10) / 40 = 5 entries a message.
    ASSERT_EQ(updates.size(), 6u);
    std::set<uint64_t> seen;
    for (const DpMsg& m : updates) {
        EXPECT_LE(m.size(), 256u);
        vxlan::MsgView view;
        ASSERT_TRUE(vxlan::ViewMessage(m.data(), m.size(), &view));
        ASSERT_TRUE(vxlan::WalkTlvs(view, [&](const DpTlv& t) {
            vxlan::ListUpdate l;
            ASSERT_EQ(vxlan::ParseListUpdate(t, &l), vxlan::ListResult::kOk);
            EXPECT_EQ(l.removed.count, 0u);
            for (size_t i = 0; i < l.added.count; ++i) {
                vxlan::MacAddr mac = vxlan::ReadVmMacEntry(l.added[i]).vmMac;
                seen.insert(mac[5]);
            }
        }));
    }
    EXPECT_EQ(seen.size(), 30u);
}

TEST_F(L2AppRemoteTest, FullSyncOfTheDesiredStoreRemovesWhatItNoLongerHolds) {
    ApplySwitch(LsId(1), kVni);
    ApplyFib(LsId(1), {{PropertyType::L2_VM_MAC, MacBody(kMac + 1, 0x0a000001)},
                       {PropertyType::L2_VM_MAC, MacBody(kMac + 2, 0x0a000001)},
                       {PropertyType::L2_VM_IP, IpBody(0xc0a80002, kMac + 2)}});
    Joined();
    link->ClearSent();
    // The database came back without MAC 2 and its IP; MAC 1 is unchanged.
    ApplyFib(LsId(1), {{PropertyType::L2_VM_MAC, MacBody(kMac + 1, 0x0a000001)}}, true);
    std::vector<DpMsg> updates = SentOfType(vxlan::kMsgUpdate);
    std::vector<Bytes> expected = {
        Update({MacTlv(kSw, kVni, {}, {VmMac(1, 1)})}),
        Update({MacTlv(kSw, kVni, {RemovedVmMac(2)}, {})}),
        Msg(5, Tlv(2, Cat({U32(kSw), U32(kVni), U16(1), H("c0 a8 00 02"), Zeros(6)}))),
    };
    ASSERT_EQ(updates.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(updates[i], expected[i]) << "message " << i;
    L2App::RemoteCounts c;
    ASSERT_TRUE(app->GetRemoteCounts(kVni, &c));
    EXPECT_EQ(c.macs, 1u);
    EXPECT_EQ(c.ips, 0u);
}

TEST_F(L2AppRemoteTest, UnsupportedDesiredOperationIsLogged) {
    CairnDBUpdateMsg r;
    r.objType = ObjectType::CCP_SESSION;
    r.op = Operation::OPERATION_ELEMENT_SET;
    app->UpdateDesiredState({r}, false);
    EXPECT_TRUE(log.ContainsWithCode("Unsupported operation type 3", "LCP00007"));
}

}  // namespace
}  // namespace CfgAgent::test
