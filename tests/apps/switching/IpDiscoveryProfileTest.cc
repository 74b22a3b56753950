// IP discovery's profiles from the profile service: the effective profile of a port selected from
// the service, each delivery (full sync, change, revert) reflected, nothing after Stop.
#include <gtest/gtest.h>

#include "apps/switching/IpDiscovery.h"
#include "platform/upm/UPMService.h"
#include "proto/UuidText.h"
#include "proto/cairndb_switching.pb.h"
#include "tests/intake/FakeCairnDbLibrary.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

namespace pb = orvane::ozy::cairndb;

const std::string kPort = ozy::cairndb::UuidText(0, 0x1a1);
const std::string kProfile = ozy::cairndb::UuidText(0, 0x2b1);

pb::MonitorUpdateMsg ProfileSet(uint32_t type, bool bound, bool arpSnooping) {
    pb::ProfileMsg p;
    p.mutable_id()->set_right(0x2b1);
    p.set_profile_type(type);
    if (bound)
        p.add_logical_switch_port_ids()->set_right(0x1a1);
    p.mutable_ip_discovery_profile()->set_arp_snooping(arpSnooping);
    pb::MonitorUpdateMsg u;
    u.set_object_type(pb::PROFILE);
    u.set_object_body(p.SerializeAsString());
    return u;
}

class IpDiscoveryProfileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        lib = std::make_shared<FakeCairnDbLibrary>();
        upm = std::make_unique<ozy::upm::UPMService>(lib);
        ipdisc = ozy::MakeRef<IpDiscovery>(nullptr, nullptr);
        ipdisc->AttachProfileService(upm.get());
        ASSERT_TRUE(upm->Start());
    }
    void Deliver(const pb::MonitorUpdateMsg& u) {
        ASSERT_TRUE(lib->Update(ozy::upm::UPMService::kMonitorId, 1, u));
        ASSERT_TRUE(lib->Barrier(ozy::upm::UPMService::kMonitorId, 1));
    }

    std::shared_ptr<FakeCairnDbLibrary> lib;
    std::unique_ptr<ozy::upm::UPMService> upm;
    ozy::RefPtr<IpDiscovery> ipdisc;
};

TEST_F(IpDiscoveryProfileTest, EffectiveProfilesFollowTheProfileService) {
    LogCapture logs;
    pb::IpDiscoveryProfileMsg profile;
    EXPECT_FALSE(ipdisc->SelectEffectiveProfile(kPort, &profile));
    EXPECT_TRUE(
        logs.Contains("IpDiscovery: SelectEffectiveProfile: Getting profiles for port " + kPort));

    Deliver(ProfileSet(ozy::upm::kProfileIpDiscovery, true, true));
    EXPECT_EQ(ipdisc->ProfiledPortCount(), 1u);
    ASSERT_TRUE(ipdisc->SelectEffectiveProfile(kPort, &profile));
    EXPECT_TRUE(profile.arp_snooping());
    EXPECT_TRUE(logs.Contains("IpDiscovery: IP discovery profile " + kProfile + " of port " +
                              kPort + ": arp_snooping: true"));

    // A change of the profile, then a profile of another type: only the first concerns us.
    Deliver(ProfileSet(ozy::upm::kProfileIpDiscovery, true, false));
    ASSERT_TRUE(ipdisc->SelectEffectiveProfile(kPort, &profile));
    EXPECT_FALSE(profile.arp_snooping());

    // Unbound: the port reverts.
    Deliver(ProfileSet(ozy::upm::kProfileIpDiscovery, false, false));
    EXPECT_EQ(ipdisc->ProfiledPortCount(), 0u);
    EXPECT_FALSE(ipdisc->SelectEffectiveProfile(kPort, &profile));
    EXPECT_TRUE(logs.Contains("IpDiscovery: port " + kPort + " has no IP discovery profile"));

    // Bound again, then a reconnection whose full sync no longer has it.
    Deliver(ProfileSet(ozy::upm::kProfileIpDiscovery, true, true));
    EXPECT_EQ(ipdisc->ProfiledPortCount(), 1u);
    upm->OnChannelDown();
    ASSERT_TRUE(lib->Barrier(ozy::upm::UPMService::kMonitorId, 1));
    EXPECT_EQ(ipdisc->ProfiledPortCount(), 0u);

    // Stopped: deliveries no longer reach it.
    ipdisc->Stop();
    Deliver(ProfileSet(ozy::upm::kProfileIpDiscovery, true, true));
    EXPECT_EQ(ipdisc->ProfiledPortCount(), 0u);
}

// The ports of one profile share its body: each is profiled with its own line.
TEST_F(IpDiscoveryProfileTest, EveryPortOfAProfileIsProfiled) {
    LogCapture logs;
    const std::string port2 = ozy::cairndb::UuidText(0, 0x1a2);
    pb::MonitorUpdateMsg both = ProfileSet(ozy::upm::kProfileIpDiscovery, true, true);
    pb::ProfileMsg p;
    ASSERT_TRUE(p.ParseFromString(both.object_body()));
    p.add_logical_switch_port_ids()->set_right(0x1a2);
    both.set_object_body(p.SerializeAsString());
    Deliver(both);
    EXPECT_EQ(ipdisc->ProfiledPortCount(), 2u);
    for (const std::string& port : {kPort, port2}) {
        EXPECT_TRUE(logs.Contains("IpDiscovery: IP discovery profile " + kProfile + " of port " +
                                  port + ": arp_snooping: true"))
            << port;
    }
}

TEST(IpDiscoveryNoProfileServiceTest, SelectsNothing) {
    auto ipdisc = ozy::MakeRef<IpDiscovery>(nullptr, nullptr);
    ipdisc->AttachProfileService(nullptr);
    pb::IpDiscoveryProfileMsg profile;
    EXPECT_FALSE(ipdisc->SelectEffectiveProfile(kPort, &profile));
}

}  // namespace
}  // namespace CfgAgent::test
