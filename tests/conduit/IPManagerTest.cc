// Link-local address pools: their bounds per kernel NIC address, and what every sequence of
// attach / connect / enable updates hands out, queues and releases.
#include "conduit/IPManager.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/support/LogCapture.h"

namespace ozy::Conduit {
namespace {

uint32_t Ip(const char* text) {
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
    return ntohl(a.s_addr);
}

struct RangeCase {
    const char* name;
    const char* ip;
    const char* mask;
    const char* first;  // nullptr: refused
    const char* last;
    const char* why;
};

void PrintTo(const RangeCase& c, std::ostream* os) {
    *os << c.name;
}

class PoolRangeTest : public ::testing::TestWithParam<RangeCase> {};

TEST_P(PoolRangeTest, StaysInsideTheSubnet) {
    const RangeCase& c = GetParam();
    uint32_t first = 0, last = 0;
    std::string why;
    const bool ok = IPManager::PoolRange(Ip(c.ip), Ip(c.mask), &first, &last, &why);
    ASSERT_EQ(ok, c.first != nullptr) << why;
    if (ok) {
        EXPECT_EQ(LipText(first), c.first);
        EXPECT_EQ(LipText(last), c.last);
    } else {
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
}

constexpr const char* kNoRoom = "leaves no address 9 above it";

INSTANTIATE_TEST_SUITE_P(
    Masks, PoolRangeTest,
    ::testing::Values(
        RangeCase{"Slash24", "169.254.1.1", "255.255.255.0", "169.254.1.10", "169.254.1.255", ""},
        RangeCase{"Slash16", "169.254.0.1", "255.255.0.0", "169.254.0.10", "169.254.255.255", ""},
        RangeCase{"Slash28", "169.254.1.1", "255.255.255.240", "169.254.1.10", "169.254.1.15", ""},
        RangeCase{"Slash28FromItsFirstAddress", "169.254.1.0", "255.255.255.240", "169.254.1.9",
                  "169.254.1.15", ""},
        RangeCase{"NoMask", "10.0.0.1", "0.0.0.0", "10.0.0.10", "255.255.255.255", ""},
        RangeCase{"Slash29TooSmall", "169.254.1.1", "255.255.255.248", nullptr, nullptr, kNoRoom},
        RangeCase{"NearTheTop", "169.254.1.250", "255.255.255.0", nullptr, nullptr, kNoRoom},
        RangeCase{"Slash32", "169.254.1.1", "255.255.255.255", nullptr, nullptr, kNoRoom},
        RangeCase{"WrapsPastTheTop", "255.255.255.250", "0.0.0.0", nullptr, nullptr, kNoRoom},
        RangeCase{"SmallSubnetAtZero", "0.0.0.1", "255.255.255.248", nullptr, nullptr, kNoRoom},
        RangeCase{"NonContiguousMask", "169.254.1.1", "255.0.255.0", nullptr, nullptr,
                  "is not a netmask"}),
    [](const ::testing::TestParamInfo<RangeCase>& i) { return std::string(i.param.name); });

// A manager with one listener that records every notice as "V1 +169.254.1.10" / "V1 -...".
class IPManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        listener_ = ip_.RegisterListener([this](const std::string& vif, uint32_t lip, int a) {
            notes_.push_back(vif + (a ? " +" : " -") + LipText(lip));
        });
    }
    void Krnnic(bool up, const char* addr = "169.254.1.1", const char* mask = "255.255.255.0",
                const std::string& sw = "hs-1") {
        IPUpdate u;
        u.vifId = "krnnic-vif";
        u.hostSwitchId = sw;
        u.krnnicName = "conduitKrnnic0";
        u.krnnicIp = Ip(addr);
        u.krnnicMask = Ip(mask);
        ip_.HandleMsgUpdate(kUpdateVifState, u, up);
    }
    void Update(uint32_t type, const std::string& vif, bool add, const std::string& sw = "hs-1") {
        IPUpdate u;
        u.vifId = vif;
        u.hostSwitchId = sw;
        ip_.HandleMsgUpdate(type, u, add);
    }
    // Attached, connected and enabled, in that order.
    void Eligible(const std::string& vif) {
        Update(kUpdateLspVifAttachment, vif, true);
        Update(kUpdateVifState, vif, true);
        Update(kUpdateConduitParentVif, vif, true);
    }
    std::vector<std::string> Take() {
        std::vector<std::string> n;
        n.swap(notes_);
        return n;
    }
    using Notes = std::vector<std::string>;

    CfgAgent::test::LogCapture logs_{CfgAgent::kLogTrace};
    IPManager ip_;
    int listener_ = 0;
    std::vector<std::string> notes_;
};

TEST_F(IPManagerTest, EligibleVifsGetAddressesFromTheFirstOn) {
    Krnnic(true);
    EXPECT_TRUE(logs_.Contains(
        "IP manager: conduit krnnic conduitKrnnic0(host switch hs-1) IP a9fe0101 to alloc a new IP "
        "pool (a9fe010a - a9fe01ff)"));
    Eligible("V1");
    Eligible("V2");
    EXPECT_EQ(Take(), (Notes{"V1 +169.254.1.10", "V2 +169.254.1.11"}));
    EXPECT_EQ(ip_.QueryLip("V2"), Ip("169.254.1.11"));
    EXPECT_EQ(ip_.QueryVif(Ip("169.254.1.10")), "V1");
    uint32_t lip = 0;
    std::string sw;
    ASSERT_TRUE(ip_.QueryLip("V1", &lip, &sw));
    EXPECT_EQ(sw, "hs-1");
    EXPECT_EQ(ip_.QueryLip("V9"), 0u);
    EXPECT_TRUE(logs_.Contains("IP Manager: currently no LIP is assigned to this VIF V9"));
    EXPECT_EQ(ip_.QueryVif(Ip("169.254.1.99")), "");
    EXPECT_TRUE(logs_.Contains("IP Manager: Query for VIFID failed: LIP 169.254.1.99 not found"));
    // Every line names the bus.
    for (const auto& e : logs_.Entries())
        EXPECT_NE(e.structuredData.find("s2comp=\"ozy-conduit\""), std::string::npos) << e.line;
}

TEST_F(IPManagerTest, OnlyAllThreeBitsGiveAnAddress) {
    Krnnic(true);
    Update(kUpdateLspVifAttachment, "V1", true);
    Update(kUpdateVifState, "V1", true);
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ(ip_.VifState("V1"), 3u);
    Update(kUpdateConduitParentVif, "V1", true);
    EXPECT_EQ(Take(), (Notes{"V1 +169.254.1.10"}));
    // A detach clears the attach and enable bits: attaching again is not enough.
    Update(kUpdateLspVifAttachment, "V1", false);
    EXPECT_EQ(ip_.VifState("V1"), 2u);
    Update(kUpdateLspVifAttachment, "V1", true);
    EXPECT_EQ(Take(), (Notes{"V1 -169.254.1.10"}));
    // The record goes with its last bit.
    Update(kUpdateVifState, "V1", false);
    Update(kUpdateLspVifAttachment, "V1", false);
    EXPECT_EQ(ip_.VifState("V1"), 0u);
    // Types the manager does not act on change nothing.
    Eligible("V2");
    Take();
    const uint32_t ignored[] = {kUpdateLspAddrBinding, kUpdateLspLinkAttachment, kUpdateLspSwitchId,
                                kUpdateLrpSubnet, 128u};
    for (uint32_t type : ignored) {
        Update(type, "V2", false);
        Update(type, "V3", true);
    }
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ(ip_.VifState("V2"), 7u);
    EXPECT_EQ(ip_.VifState("V3"), 0u);
    EXPECT_EQ(ip_.Pools().at(0).used, 1u);
}

TEST_F(IPManagerTest, NoPoolNoAddressUntilTheKernelNicConnects) {
    Eligible("V2");
    Eligible("V1");
    EXPECT_TRUE(Take().empty());
    EXPECT_TRUE(logs_.Contains("Alloc LIP: IP pool is not created for host switch hs-1"));
    Krnnic(true);
    // In VIF id order.
    EXPECT_EQ(Take(), (Notes{"V1 +169.254.1.10", "V2 +169.254.1.11"}));
}

// A /28 gives six addresses: .10 to .15.
TEST_F(IPManagerTest, TheSearchWrapsAndAFullPoolQueues) {
    Krnnic(true, "169.254.1.1", "255.255.255.240");
    for (int i = 1; i <= 6; ++i)
        Eligible("V" + std::to_string(i));
    EXPECT_EQ(Take().back(), "V6 +169.254.1.15");
    Update(kUpdateVifState, "V3", false);
    EXPECT_EQ(Take(), (Notes{"V3 -169.254.1.12"}));
    // After the last address the search starts from the first: .10 and .11 are in use.
    Eligible("V7");
    EXPECT_EQ(Take(), (Notes{"V7 +169.254.1.12"}));
    // Full: queued, in order, once each.
    Eligible("V8");
    Eligible("V9");
    Update(kUpdateConduitParentVif, "V8", true);  // again: not queued twice
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ(ip_.Pools().at(0).pending, (std::vector<std::string>{"V8", "V9"}));
    EXPECT_TRUE(logs_.Contains(
        "IPPool is used up on host switch hs-1, no free LIP. Put VIF V8 into pending request "
        "list."));
    // A freed address goes to the first queued VIF.
    Update(kUpdateConduitParentVif, "V5", false);
    EXPECT_EQ(Take(), (Notes{"V5 -169.254.1.14", "V8 +169.254.1.14"}));
    // A queued VIF that disconnects leaves the queue; nobody hears of it.
    Update(kUpdateVifState, "V9", false);
    EXPECT_TRUE(Take().empty());
    EXPECT_TRUE(logs_.Contains("Remove VIF V9 from pending request list."));
    Update(kUpdateVifState, "V1", false);
    EXPECT_EQ(Take(), (Notes{"V1 -169.254.1.10"}));
    EXPECT_EQ(ip_.Pools().at(0).used, 5u);
}

TEST_F(IPManagerTest, AQueuedVifNoLongerEligibleIsSkippedAtHandOff) {
    Krnnic(true, "169.254.1.1", "255.255.255.240");
    for (int i = 1; i <= 8; ++i)
        Eligible("V" + std::to_string(i));
    Take();
    // V7 stays queued while it loses its enable bit and keeps the others; V8 is next in line.
    Update(kUpdateConduitParentVif, "V7", false);
    Update(kUpdateVifState, "V2", false);
    EXPECT_EQ(Take(), (Notes{"V2 -169.254.1.11", "V8 +169.254.1.11"}));
}

TEST_F(IPManagerTest, RemovingAPoolReleasesEverythingAndKeepsTheQueueOutOfIt) {
    Krnnic(true, "169.254.1.1", "255.255.255.240");
    for (int i = 1; i <= 7; ++i)
        Eligible("V" + std::to_string(i));
    Take();
    Krnnic(false, "169.254.1.1", "255.255.255.240");
    Notes removed = Take();
    ASSERT_EQ(removed.size(), 6u);
    EXPECT_EQ(removed.front(), "V1 -169.254.1.10");
    for (const auto& n : removed)
        EXPECT_EQ(n.find("V7"), std::string::npos) << n;  // V7 was queued: it gets nothing
    EXPECT_TRUE(ip_.Pools().empty());
    EXPECT_EQ(ip_.VifState("V7"), 7u);
    // The pool back: every eligible VIF in id order, the seventh queued again.
    Krnnic(true, "169.254.1.1", "255.255.255.240");
    Notes back = Take();
    ASSERT_EQ(back.size(), 6u);
    EXPECT_EQ(back.front(), "V1 +169.254.1.10");
    EXPECT_EQ(ip_.Pools().at(0).pending, (std::vector<std::string>{"V7"}));
}

TEST_F(IPManagerTest, TheKernelNicsNewAddressRebuildsThePool) {
    Krnnic(true);
    Eligible("V1");
    Take();
    Krnnic(true);  // the same address: nothing
    EXPECT_TRUE(Take().empty());
    Krnnic(true, "169.254.2.1", "255.255.255.0");
    EXPECT_EQ(Take(), (Notes{"V1 -169.254.1.10", "V1 +169.254.2.10"}));
    // An address that gives no pool leaves none.
    Krnnic(true, "169.254.2.250", "255.255.255.0");
    EXPECT_EQ(Take(), (Notes{"V1 -169.254.2.10"}));
    EXPECT_TRUE(ip_.Pools().empty());
    EXPECT_TRUE(logs_.Contains("gives no IP pool: address 169.254.2.250/255.255.255.0 leaves"));
}

TEST_F(IPManagerTest, PoolsArePerHostSwitch) {
    Krnnic(true, "169.254.1.1", "255.255.255.0", "hs-1");
    Krnnic(true, "169.254.7.1", "255.255.255.0", "hs-2");
    Eligible("V1");
    Update(kUpdateLspVifAttachment, "V2", true);
    Update(kUpdateVifState, "V2", true, "hs-2");
    Update(kUpdateConduitParentVif, "V2", true);
    EXPECT_EQ(Take(), (Notes{"V1 +169.254.1.10", "V2 +169.254.7.10"}));
    // Reported on another switch by the dataplane: the old pool's address goes back first.
    Update(kUpdateVifState, "V1", true, "hs-2");
    EXPECT_EQ(Take(), (Notes{"V1 -169.254.1.10", "V1 +169.254.7.11"}));
    // The other updates do not move a VIF.
    Update(kUpdateConduitParentVif, "V1", true, "hs-1");
    Update(kUpdateLspVifAttachment, "V2", true, "hs-1");
    EXPECT_TRUE(Take().empty());
    uint32_t lip = 0;
    std::string sw;
    ASSERT_TRUE(ip_.QueryLip("V1", &lip, &sw));
    EXPECT_EQ(sw, "hs-2");
}

TEST_F(IPManagerTest, ListenersMayQueryAndUnregisterFromANotification) {
    Krnnic(true);
    std::vector<std::string> seen;
    int self = 0;
    self = ip_.RegisterListener([&](const std::string& vif, uint32_t lip, int assigned) {
        // Querying back does not deadlock, and sees the change.
        seen.push_back(vif + " " + (ip_.QueryVif(lip) == vif ? "held" : "free"));
        if (assigned == 0)
            ip_.UnregisterListener(self);
    });
    Eligible("V1");
    Update(kUpdateVifState, "V1", false);
    Eligible("V2");
    EXPECT_EQ(seen, (std::vector<std::string>{"V1 held", "V1 free"}));
    ip_.UnregisterListener(listener_);
    Eligible("V3");
    EXPECT_EQ(Take(), (Notes{"V1 +169.254.1.10", "V1 -169.254.1.10", "V2 +169.254.1.11"}));
}

TEST(UpdateMsgTypeNameTest, KnownTypesAndInvalid) {
    CfgAgent::test::LogCapture logs(CfgAgent::kLogInfo);
    EXPECT_STREQ(UpdateMsgTypeName(1), "UPDATE_MSG_TYPE_LSP_VIF_ATTACHMENT");
    EXPECT_STREQ(UpdateMsgTypeName(32), "UPDATE_MSG_TYPE_VIF_STATE");
    EXPECT_STREQ(UpdateMsgTypeName(64), "UPDATE_MSG_TYPE_CONDUIT_PARENT_VIF");
    EXPECT_STREQ(UpdateMsgTypeName(3), "INVALID");
    EXPECT_TRUE(logs.Contains("Invalid update message type 3"));
}

}  // namespace
}  // namespace ozy::Conduit
