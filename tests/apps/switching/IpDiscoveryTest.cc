// IpDiscovery's switch-security link: the guest-tool binding solicitation answered from the
// database, its failure cases, malformed messages, and the message layout shared with the
// dataplane emulator.
#include "tests/apps/switching/ConfigAppFixture.h"

#include <cstdio>
#include <vector>

#include "dataplane/SwsecProtocol.h"
#include "proto/cairndb_switching.pb.h"
#include "tests/dataplane/ByteVec.h"

namespace CfgAgent::test {
namespace {

namespace pb = orvane::ozy::cairndb;

TEST(SwsecProtocolTest, MessagesMatchTheWireLayoutAndRoundTrip) {
    DpMsg sol = swsec::BuildBindingSolicitation("vif-1");
    EXPECT_EQ(sol, Cat({H("00 01 00 34"), Field("vif-1", 48)}));
    std::string vif;
    ASSERT_TRUE(swsec::ParseBindingSolicitation(sol.data(), sol.size(), &vif));
    EXPECT_EQ(vif, "vif-1");

    swsec::BindingEntry v4;
    v4.ipv4 = true;
    v4.address = {10, 1, 2, 3};
    v4.mac = {0, 0x50, 0x56, 1, 2, 3};
    swsec::BindingEntry v6;
    v6.address = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    v6.mac = {2, 0, 0, 0, 0, 9};
    DpMsg rep = swsec::BuildVmToolsBindings("vif-1", {v4, v6});
    EXPECT_EQ(rep, Cat({H("00 02"), U16(54 + 46), Field("vif-1", 48), U16(2), H("01 0a 01 02 03"),
                        Zeros(12), H("00 50 56 01 02 03"), H("00 20 01 0d b8"), Zeros(11),
                        H("01 02 00 00 00 00 09")}));
    std::vector<swsec::BindingEntry> entries;
    ASSERT_TRUE(swsec::ParseVmToolsBindings(rep.data(), rep.size(), &vif, &entries));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_TRUE(entries[0].ipv4);
    EXPECT_EQ(entries[1].address, v6.address);
    EXPECT_EQ(entries[1].mac, v6.mac);

    // Limits and refusals.
    EXPECT_TRUE(swsec::BuildBindingSolicitation(std::string(48, 'x')).empty());
    EXPECT_FALSE(swsec::BuildBindingSolicitation(std::string(47, 'x')).empty());
    EXPECT_TRUE(swsec::BuildVmToolsBindings(
                    "v", std::vector<swsec::BindingEntry>(swsec::kMaxBindingEntries + 1))
                    .empty());
    EXPECT_EQ(swsec::BuildVmToolsBindings(
                  "v", std::vector<swsec::BindingEntry>(swsec::kMaxBindingEntries))
                  .size(),
              swsec::kBindingsHeadSize + swsec::kMaxBindingEntries * swsec::kBindingEntrySize);
    EXPECT_FALSE(swsec::ParseBindingSolicitation(rep.data(), rep.size(), &vif));
    DpMsg shortSol(sol.begin(), sol.end() - 1);
    shortSol[3] = static_cast<uint8_t>(shortSol.size());
    EXPECT_FALSE(swsec::ParseBindingSolicitation(shortSol.data(), shortSol.size(), &vif));
    DpMsg lying = rep;
    lying[53] = 3;  // three entries announced, two present
    EXPECT_FALSE(swsec::ParseVmToolsBindings(lying.data(), lying.size(), &vif, &entries));
}

class IpDiscoveryLinkTest : public ConfigAppFixture {
  protected:
    void SetUp() override {
        ConfigAppFixture::SetUp();
        swsecLink->Up();
    }
    void PutDaVif(const std::string& vif, const std::vector<std::pair<uint32_t, uint64_t>>& ipMac) {
        pb::DaVifMsg d;
        d.set_vif_id(vif);
        for (const auto& [ip, mac] : ipMac) {
            pb::DaVifBindingMsg* b = d.add_bindings();
            if (ip != 0)
                b->mutable_ip()->set_ipv4(ip);
            if (mac != 0)
                b->set_mac(mac);
        }
        db.objects[vif] = d.SerializeAsString();
    }
    std::vector<swsec::BindingEntry> LastReply(std::string* vif) {
        std::vector<DpMsg> sent = swsecLink->Sent();
        std::vector<swsec::BindingEntry> entries;
        EXPECT_FALSE(sent.empty());
        if (!sent.empty()) {
            EXPECT_TRUE(
                swsec::ParseVmToolsBindings(sent.back().data(), sent.back().size(), vif, &entries));
        }
        return entries;
    }
};

// The connected VIFs are in the account, one hash-table node each with its id packed, and leave
// it when they disconnect; a full sync replaces them all.
TEST_F(IpDiscoveryLinkTest, ConnectedVifsAreCountedAndLeaveTheAccount) {
    IpDiscovery* ip = app->ipDiscovery();
    const size_t before = ip->TableBytes();
    std::vector<IpDiscVifUpdate> ups(100);
    for (size_t i = 0; i < ups.size(); ++i) {
        char id[64];
        std::snprintf(id, sizeof id, "5c0ffee0-0000-4000-8000-%012zx", i % 4096);
        ups[i].vifId = id;
        ups[i].connected = true;
    }
    ip->ProcessVifUpdate(ups, false);
    for (const IpDiscVifUpdate& u : ups)
        EXPECT_TRUE(ip->Connected(u.vifId)) << u.vifId;
    const size_t connected = ip->TableBytes();
    EXPECT_GE(connected, before + ups.size() * 48);
    EXPECT_LT(connected, before + ups.size() * 128);
    for (size_t i = 0; i < 50; ++i)
        ups[i].connected = false;
    ip->ProcessVifUpdate(std::vector<IpDiscVifUpdate>(ups.begin(), ups.begin() + 50), false);
    for (size_t i = 0; i < ups.size(); ++i)
        EXPECT_EQ(ip->Connected(ups[i].vifId), i >= 50) << i;
    EXPECT_LT(ip->TableBytes(), connected);
    ip->ProcessVifUpdate({ups[0]}, true);
    EXPECT_FALSE(ip->Connected(ups[99].vifId));
}

TEST_F(IpDiscoveryLinkTest, SolicitationIsAnsweredWithTheCompleteBindings) {
    OpenSession(true, {Vif(kVif1, kPort1)});
    PutDaVif(kVif1, {{0x0a000005, 0x005056000005}, {0x0a000006, 0}, {0, 0x7}});
    swsecLink->Deliver(swsec::BuildBindingSolicitation(kVif1));
    EXPECT_TRUE(log.Contains("IpDiscovery: Received DP vm_tools binding solicitation. vif ID: " +
                             std::string(kVif1)));
    EXPECT_TRUE(log.Contains("IpDiscovery: Query cairndb for davif."));
    EXPECT_TRUE(log.Contains("IpDiscovery: retrieved da_vif from cairnDB with binding sz = 3"));
    EXPECT_EQ(log.Count("IpDiscovery: Skipped davif binding item"), 2u);
    EXPECT_TRUE(log.Contains("IpDiscovery: Msg vmtools bindings to SwSec"));
    EXPECT_FALSE(log.Contains("that is not connected"));
    ASSERT_EQ(db.lookups.size(), 1u);
    EXPECT_EQ(db.lookups[0], "56 1 " + std::string(kVif1));
    std::string vif;
    auto entries = LastReply(&vif);
    EXPECT_EQ(vif, kVif1);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].ipv4);
    EXPECT_EQ(entries[0].address[3], 5);
    EXPECT_EQ(entries[0].mac[5], 5);
}

TEST_F(IpDiscoveryLinkTest, SolicitationForAVifNotConnectedIsAnsweredAndReported) {
    PutDaVif(kVif2, {{0x0a000005, 0x5}});
    swsecLink->Deliver(swsec::BuildBindingSolicitation(kVif2));
    EXPECT_TRUE(log.Contains("IpDiscovery: davif contains vif id " + std::string(kVif2) +
                             " that is not connected"));
    std::string vif;
    EXPECT_EQ(LastReply(&vif).size(), 1u);
}

TEST_F(IpDiscoveryLinkTest, LookupFailuresAndALinkThatIsDownSendNothing) {
    swsecLink->Deliver(swsec::BuildBindingSolicitation(kVif1));
    EXPECT_TRUE(log.Contains("IpDiscovery: No da_vif found."));
    db.failed = true;
    swsecLink->Deliver(swsec::BuildBindingSolicitation(kVif1));
    EXPECT_TRUE(log.Contains("IpDiscovery: Cairndb get failed."));
    db.failed = false;
    db.objects[kVif1] = "\xff\xff";
    swsecLink->Deliver(swsec::BuildBindingSolicitation(kVif1));
    EXPECT_TRUE(log.ContainsWithCode(
        "IpDiscovery: da_vif of VIF " + std::string(kVif1) + " cannot be parsed", "LCP00001"));
    EXPECT_TRUE(swsecLink->Sent().empty());
    PutDaVif(kVif1, {{1, 1}});
    swsecLink->Down();
    EXPECT_TRUE(log.Contains("IpDiscovery: DP link status turns to DOWN"));
    swsecLink->Deliver(swsec::BuildBindingSolicitation(kVif1));
    EXPECT_TRUE(log.Contains("IpDiscovery: DAVIF_MSG received. Swsec krnlink not ready."));
    EXPECT_TRUE(swsecLink->Sent().empty());
}

TEST_F(IpDiscoveryLinkTest, MalformedSwitchSecurityMessagesAreDropped) {
    swsecLink->Deliver(H("00 01 00 04"));
    EXPECT_TRUE(
        log.ContainsWithCode("IpDiscovery: DP MSG length shorter than expected.", "LCP00510"));
    log.Clear();
    swsecLink->Deliver(Cat({H("00 01 00 30"), Field("vif", 44)}));
    EXPECT_TRUE(
        log.ContainsWithCode("IpDiscovery: DP MSG length shorter than expected.", "LCP00510"));
    swsecLink->Deliver(Cat({H("00 02"), U16(54), Field("vif", 48), U16(0)}));
    EXPECT_TRUE(log.ContainsWithCode("IpDiscovery: DP MSG type not supported", "LCP00510"));
    swsecLink->Deliver(Cat({H("00 01 00 34"), Field("\x01\x02", 48)}));
    EXPECT_TRUE(log.ContainsWithCode("IpDiscovery: solicitation without a usable VIF ID, dropped",
                                     "LCP00510"));
    uint8_t two[2] = {0, 1};
    app->ipDiscovery()->HandleSwsecMessage(two, sizeof two);
    EXPECT_EQ(log.Count("IpDiscovery: DP MSG length shorter than expected."), 2u);
    EXPECT_TRUE(db.lookups.empty());
    EXPECT_TRUE(swsecLink->Sent().empty());
}

TEST_F(IpDiscoveryLinkTest, LinkKeyChoosesTheEndpoint) {
    app->Stop();
    FakeLinks other;
    ConfigAppOptions o;
    o.configTable = table.get();
    o.makeConvertor = [](IConfigApp*) { return std::make_unique<RecordingConvertor>(); };
    o.makeLink = other.Factory();
    o.timerContext = &io;
    auto second = ozy::MakeRef<ConfigApp>(std::move(o));
    boost::property_tree::ptree c = Config();
    c.put("features.ipdisc.krnlink.path", "my_swsec");
    second->Init(c);
    EXPECT_NE(other.Get("my_swsec"), nullptr);
    EXPECT_EQ(other.Get(kSwsecLink), nullptr);
    second->Stop();
}

}  // namespace
}  // namespace CfgAgent::test
