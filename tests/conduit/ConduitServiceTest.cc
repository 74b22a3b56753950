// The container bus's configuration cache in front of the IP manager: only changes reach the
// manager, as typed updates; the kernel NIC's address makes and remakes the pool.
#include "conduit/ConduitService.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/LogCapture.h"

namespace ozy::Conduit {
namespace {

constexpr uint32_t kKrnIp = 0xa9fe0101;  // 169.254.1.1
constexpr uint32_t kMask24 = 0xffffff00;

class ConduitServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        service.Manager().RegisterListener([this](const std::string& vif, uint32_t lip, int a) {
            notices.push_back(vif + " " + LipText(lip) + (a ? " +" : " -"));
        });
    }
    void Eligible(const std::string& vif) {
        service.SetVif(kUpdateLspVifAttachment, vif, "", true);
        service.SetVif(kUpdateVifState, vif, "hs-1", true);
        service.SetVif(kUpdateConduitParentVif, vif, "", true);
    }

    CfgAgent::test::LogCapture cap{CfgAgent::kLogDebug};
    ConduitService service;
    std::vector<std::string> notices;
};

TEST_F(ConduitServiceTest, OnlyChangesReachTheManager) {
    EXPECT_TRUE(service.KrnnicUp("conduitKrnnic0", "hs-1", kKrnIp, kMask24));
    EXPECT_FALSE(service.KrnnicUp("conduitKrnnic0", "hs-1", kKrnIp, kMask24));
    Eligible("vif-1");
    EXPECT_EQ(notices, std::vector<std::string>{"vif-1 169.254.1.10 +"});
    EXPECT_EQ(service.VifBits("vif-1"), 1u | 32u | 64u);
    EXPECT_TRUE(
        cap.Contains("Conduit: send VIF vif-1 host switch hs-1 IP 0.0.0.0 mask 0.0.0.0 "
                     "type UPDATE_MSG_TYPE_VIF_STATE, update add"));
    // The same facts again: nothing passed on.
    size_t sent = cap.Count("Conduit: send VIF");
    EXPECT_FALSE(service.SetVif(kUpdateVifState, "vif-1", "hs-1", true));
    EXPECT_FALSE(service.SetVif(kUpdateConduitParentVif, "vif-1", "", true));
    EXPECT_FALSE(service.SetVif(kUpdateVifState, "vif-2", "hs-1", false));
    EXPECT_EQ(cap.Count("Conduit: send VIF"), sent);
    EXPECT_EQ(service.VifBits("vif-2"), 0u);
    EXPECT_EQ(service.Manager().QueryLip("vif-1"), 0xa9fe010au);
}

// A detach clears the parent flag in the manager: the cache follows, so the flag set again after
// the next attach reaches the manager and the VIF gets an address again (the next one: the
// search goes on from where it stopped).
TEST_F(ConduitServiceTest, DetachClearsTheParentFlagToo) {
    service.KrnnicUp("conduitKrnnic0", "hs-1", kKrnIp, kMask24);
    Eligible("vif-1");
    EXPECT_TRUE(service.SetVif(kUpdateLspVifAttachment, "vif-1", "", false));
    EXPECT_EQ(service.VifBits("vif-1"), 32u);
    EXPECT_EQ(service.Manager().VifState("vif-1"), 2u);
    Eligible("vif-1");
    EXPECT_EQ(notices, (std::vector<std::string>{"vif-1 169.254.1.10 +", "vif-1 169.254.1.10 -",
                                                 "vif-1 169.254.1.11 +"}));
}

TEST_F(ConduitServiceTest, KernelNicAddressMakesAndRemakesThePool) {
    Eligible("vif-1");
    EXPECT_TRUE(notices.empty());  // no pool yet
    service.KrnnicUp("conduitKrnnic0", "hs-1", kKrnIp, kMask24);
    ASSERT_EQ(service.Manager().Pools().size(), 1u);
    EXPECT_EQ(service.Manager().Pools()[0].first, 0xa9fe010au);
    // A new address: the pool is rebuilt from it and the VIF gets an address of the new subnet.
    EXPECT_TRUE(service.KrnnicUp("conduitKrnnic0", "hs-1", 0xa9fe0201, kMask24));
    EXPECT_EQ(service.Manager().QueryLip("vif-1"), 0xa9fe020au);
    EXPECT_EQ(service.Krnnics().at("conduitKrnnic0").ip, 0xa9fe0201u);
    EXPECT_TRUE(service.KrnnicDown("conduitKrnnic0"));
    EXPECT_FALSE(service.KrnnicDown("conduitKrnnic0"));
    EXPECT_TRUE(service.Manager().Pools().empty());
    EXPECT_EQ(service.Manager().QueryLip("vif-1"), 0u);
    EXPECT_TRUE(service.Krnnics().empty());
}

TEST_F(ConduitServiceTest, GlobalSettingsAreKeptAndLogged) {
    EXPECT_FALSE(service.GlobalConfig());
    GlobalSettings g;
    g.enabled = true;
    g.cip = 0xa9fe0102;
    g.vip = 0xa9fe0103;
    g.vlanTag = 4000;
    g.txLimit = 1000;
    service.SetGlobalConfig(g);
    EXPECT_TRUE(
        cap.Contains("Set conduit global monitor message CIP 169.254.1.2, vip "
                     "169.254.1.3, vlanTag 4000, txLimit 1000, serverPort 6655"));
    ASSERT_TRUE(service.GlobalConfig());
    EXPECT_EQ(service.GlobalConfig()->vlanTag, 4000u);
    service.SetGlobalConfig(std::nullopt);
    EXPECT_FALSE(service.GlobalConfig());
    EXPECT_TRUE(cap.Contains("Clear conduit global monitor message"));
}

}  // namespace
}  // namespace ozy::Conduit
