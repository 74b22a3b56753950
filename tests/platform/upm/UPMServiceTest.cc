// The profile service on the fake database library: effective profiles per port and type from
// port and container bindings, delivered as a full sync then as changes (reverts included), the
// container mapping revert, a reconnection as a new full sync, bad objects dropped, and one body
// shared by the ports of a profile.
#include <gmock/gmock.h>

#include "platform/upm/UPMService.h"
#include "proto/UuidText.h"
#include "proto/cairndb_switching.pb.h"
#include "tests/intake/FakeCairnDbLibrary.h"
#include "tests/support/LogCapture.h"

namespace ozy::upm {
namespace {

namespace pb = orvane::ozy::cairndb;
using CfgAgent::test::FakeCairnDbLibrary;
using CfgAgent::test::LogCapture;

std::string Id(uint64_t n) {
    return ozy::cairndb::UuidText(0, n);
}
pb::UuidMsg Uuid(uint64_t n) {
    pb::UuidMsg u;
    u.set_right(n);
    return u;
}

const std::string kPort1 = Id(0x101), kPort2 = Id(0x102), kPort3 = Id(0x103);
const std::string kContainer = Id(0xc1);

pb::ProfileMsg Profile(uint64_t id, uint32_t type, std::vector<uint64_t> ports,
                       std::vector<uint64_t> containers = {}) {
    pb::ProfileMsg p;
    *p.mutable_id() = Uuid(id);
    p.set_profile_type(type);
    for (uint64_t port : ports)
        *p.add_logical_switch_port_ids() = Uuid(port);
    for (uint64_t c : containers)
        *p.add_container_ids() = Uuid(c);
    return p;
}

pb::MonitorUpdateMsg Set(pb::ObjectType type, const google::protobuf::Message& body) {
    pb::MonitorUpdateMsg u;
    u.set_object_type(type);
    u.set_object_body(body.SerializeAsString());
    return u;
}
pb::MonitorUpdateMsg Del(pb::ObjectType type, const google::protobuf::Message& old) {
    pb::MonitorUpdateMsg u;
    u.set_object_type(type);
    u.set_old_object_body(old.SerializeAsString());
    return u;
}

pb::EntityGroupRelationMsg Relation(uint64_t id, uint64_t container, std::vector<uint64_t> ports) {
    pb::EntityGroupRelationMsg r;
    *r.mutable_id() = Uuid(id);
    auto* m = r.add_container_logical_switch_port();
    *m->mutable_container_id() = Uuid(container);
    for (uint64_t p : ports)
        *m->add_logical_switch_port_ids() = Uuid(p);
    return r;
}

// What one callback received: per delivery, "port type profileId" lines (profileId "-" for a
// revert) and the full-sync flag.
struct Received {
    std::vector<std::pair<bool, std::set<std::string>>> deliveries;
    ProfileCallback Callback() {
        return [this](const std::vector<ProfileUpdate>& updates, bool fullSync) {
            std::set<std::string> lines;
            for (const ProfileUpdate& u : updates) {
                lines.insert(u.portId + " " + std::to_string(u.profileType) + " " +
                             (u.HasProfile() ? u.profileId : "-"));
                if (u.HasProfile()) {
                    pb::ProfileMsg p;
                    EXPECT_TRUE(p.ParseFromString(*u.profile));
                    EXPECT_EQ(ozy::cairndb::UuidText(p.id().left(), p.id().right()), u.profileId);
                }
            }
            deliveries.emplace_back(fullSync, std::move(lines));
        };
    }
    std::set<std::string> Last() const { return deliveries.back().second; }
};

std::string Line(const std::string& port, uint32_t type, const std::string& profile) {
    return port + " " + std::to_string(type) + " " + profile;
}

class UPMServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        lib = std::make_shared<FakeCairnDbLibrary>();
        upm = std::make_unique<UPMService>(lib);
        upm->RegisterMonitorCallback({kProfileIpDiscovery}, ipdisc.Callback());
        upm->RegisterMonitorCallback({kProfileFloodProtection, kProfileSessionTimeout},
                                     dfw.Callback());
        ASSERT_TRUE(upm->Start());
    }
    void Update(const pb::MonitorUpdateMsg& u) {
        ASSERT_TRUE(lib->Update(UPMService::kMonitorId, 1, u));
    }
    void Barrier() { ASSERT_TRUE(lib->Barrier(UPMService::kMonitorId, 1)); }

    std::shared_ptr<FakeCairnDbLibrary> lib;
    std::unique_ptr<UPMService> upm;
    Received ipdisc, dfw;
};

TEST_F(UPMServiceTest, MonitorsProfilesAndRelationsOfItsVdb) {
    const auto calls = lib->ConfigureCalls();
    ASSERT_EQ(calls.size(), 1u);
    const auto& call = calls[0];
    EXPECT_EQ(call.monitorId, UPMService::kMonitorId);
    EXPECT_EQ(call.vdb, 1);
    ASSERT_EQ(call.add.size(), 2u);
    EXPECT_EQ(call.add[0].statement().object_type(), pb::PROFILE);
    EXPECT_EQ(call.add[1].statement().object_type(), pb::ENTITY_GROUP_RELATION);
    upm->Stop();
    ASSERT_EQ(lib->ConfigureCalls().size(), 2u);
    EXPECT_EQ(lib->ConfigureCalls()[1].remove.size(), 2u);
    // Stopped: nothing is delivered any more.
    Update(Set(pb::PROFILE, Profile(0xa1, kProfileIpDiscovery, {0x101})));
    Barrier();
    EXPECT_TRUE(ipdisc.deliveries.empty());
}

TEST_F(UPMServiceTest, FullSyncThenChangesAndRevertsPerType) {
    Update(Set(pb::PROFILE, Profile(0xa1, kProfileIpDiscovery, {0x101, 0x102})));
    Update(Set(pb::PROFILE, Profile(0xa2, kProfileFloodProtection, {0x101})));
    Update(Set(pb::PROFILE, Profile(0xa3, kProfileIpfixSwitch, {0x101})));  // nobody's type
    Barrier();
    ASSERT_EQ(ipdisc.deliveries.size(), 1u);
    EXPECT_TRUE(ipdisc.deliveries[0].first);
    EXPECT_EQ(ipdisc.Last(),
              (std::set<std::string>{Line(kPort1, 3, Id(0xa1)), Line(kPort2, 3, Id(0xa1))}));
    ASSERT_EQ(dfw.deliveries.size(), 1u);
    EXPECT_EQ(dfw.Last(), (std::set<std::string>{Line(kPort1, 4, Id(0xa2))}));
    EXPECT_FALSE(upm->EffectiveProfile(kPort1, kProfileIpDiscovery).empty());

    struct Step {
        const char* name;
        std::vector<pb::MonitorUpdateMsg> updates;
        std::set<std::string> ipdisc;  // empty: no delivery to the IP discovery callback
    };
    pb::ProfileMsg changed = Profile(0xa1, kProfileIpDiscovery, {0x101});
    changed.mutable_ip_discovery_profile()->set_arp_snooping(true);
    const Step steps[] = {
        {"port 2 unbound, port 1's profile body changes",
         {Set(pb::PROFILE, changed)},
         {Line(kPort2, 3, "-"), Line(kPort1, 3, Id(0xa1))}},
        {"a profile of a type nobody registered",
         {Set(pb::PROFILE, Profile(0xa4, 1, {0x102}))},
         {}},
        {"a lesser id takes the port; port 3 gets one",
         {Set(pb::PROFILE, Profile(0xa0, kProfileIpDiscovery, {0x101, 0x103}))},
         {Line(kPort1, 3, Id(0xa0)), Line(kPort3, 3, Id(0xa0))}},
        {"the lesser one deleted: back to the other, port 3 reverted",
         {Del(pb::PROFILE, Profile(0xa0, kProfileIpDiscovery, {0x101, 0x103}))},
         {Line(kPort1, 3, Id(0xa1)), Line(kPort3, 3, "-")}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        size_t before = ipdisc.deliveries.size();
        for (const auto& u : s.updates)
            Update(u);
        Barrier();
        if (s.ipdisc.empty()) {
            EXPECT_EQ(ipdisc.deliveries.size(), before);
            continue;
        }
        ASSERT_EQ(ipdisc.deliveries.size(), before + 1);
        EXPECT_FALSE(ipdisc.deliveries.back().first);
        EXPECT_EQ(ipdisc.Last(), s.ipdisc);
    }
    pb::ProfileMsg now;
    ASSERT_TRUE(now.ParseFromString(upm->EffectiveProfile(kPort1, kProfileIpDiscovery)));
    EXPECT_TRUE(now.ip_discovery_profile().arp_snooping());
    EXPECT_TRUE(upm->EffectiveProfile(kPort2, kProfileIpDiscovery).empty());
    EXPECT_EQ(dfw.deliveries.size(), 1u);  // nothing of its types changed
}

TEST_F(UPMServiceTest, ContainerBindingsApplyWhileTheContainerIsMapped) {
    Update(Set(pb::PROFILE, Profile(0xa1, kProfileSessionTimeout, {}, {0xc1})));
    Update(Set(pb::PROFILE, Profile(0xa2, kProfileSessionTimeout, {0x102})));
    Update(Set(pb::ENTITY_GROUP_RELATION, Relation(0xe1, 0xc1, {0x101, 0x102})));
    Barrier();
    // The container is not mapped yet: only the direct binding.
    EXPECT_EQ(dfw.Last(), (std::set<std::string>{Line(kPort2, 5, Id(0xa2))}));

    // Mapped: delivered at once, without a barrier of the service's own monitor.
    upm->RevertContainerMapping(kContainer, true);
    ASSERT_EQ(dfw.deliveries.size(), 2u);
    // Port 2 keeps its own profile: a direct binding wins over the container's.
    EXPECT_EQ(dfw.Last(), (std::set<std::string>{Line(kPort1, 5, Id(0xa1))}));

    // The relation moves port 3 in and port 1 out.
    Update(Set(pb::ENTITY_GROUP_RELATION, Relation(0xe1, 0xc1, {0x102, 0x103})));
    Barrier();
    EXPECT_EQ(dfw.Last(), (std::set<std::string>{Line(kPort1, 5, "-"), Line(kPort3, 5, Id(0xa1))}));

    // The container goes: its ports revert.
    upm->RevertContainerMapping(kContainer, false);
    EXPECT_EQ(dfw.Last(), (std::set<std::string>{Line(kPort3, 5, "-")}));
    EXPECT_NE(upm->ToJson().find("\"containers\":[]"), std::string::npos) << upm->ToJson();
}

// A profile written again with the same ports and containers keeps its bindings; each change of
// its body or type still reaches every port it binds, directly or through its container, and a
// change of its ports reverts the ports it left.
TEST_F(UPMServiceTest, AProfileChangedForTheSamePortsReachesThemAll) {
    const uint32_t kFlood = kProfileFloodProtection, kTimeout = kProfileSessionTimeout;
    Update(Set(pb::ENTITY_GROUP_RELATION, Relation(0xe1, 0xc1, {0x103})));
    upm->RevertContainerMapping(kContainer, true);
    auto flood = [](uint32_t type, uint32_t limit, std::vector<uint64_t> ports) {
        pb::ProfileMsg p = Profile(0xa1, type, std::move(ports), {0xc1});
        p.mutable_flood_protection_profile()->set_tcp_half_open_limit(limit);
        return p;
    };
    const std::string a1 = Id(0xa1);
    const struct {
        const char* what;
        pb::ProfileMsg profile;
        std::set<std::string> delivered;
    } steps[] = {
        {"bound",
         flood(kFlood, 10, {0x101, 0x102}),
         {Line(kPort1, kFlood, a1), Line(kPort2, kFlood, a1), Line(kPort3, kFlood, a1)}},
        {"a new limit",
         flood(kFlood, 11, {0x101, 0x102}),
         {Line(kPort1, kFlood, a1), Line(kPort2, kFlood, a1), Line(kPort3, kFlood, a1)}},
        {"another type",
         flood(kTimeout, 11, {0x101, 0x102}),
         {Line(kPort1, kFlood, "-"), Line(kPort2, kFlood, "-"), Line(kPort3, kFlood, "-"),
          Line(kPort1, kTimeout, a1), Line(kPort2, kTimeout, a1), Line(kPort3, kTimeout, a1)}},
        {"the ports in another order (another body text)",
         flood(kTimeout, 11, {0x102, 0x101}),
         {Line(kPort1, kTimeout, a1), Line(kPort2, kTimeout, a1), Line(kPort3, kTimeout, a1)}},
        {"written again as it is", flood(kTimeout, 11, {0x102, 0x101}), {}},
        {"a port left",
         flood(kTimeout, 12, {0x102}),
         {Line(kPort1, kTimeout, "-"), Line(kPort2, kTimeout, a1), Line(kPort3, kTimeout, a1)}},
    };
    for (const auto& step : steps) {
        const size_t before = dfw.deliveries.size();
        Update(Set(pb::PROFILE, step.profile));
        Barrier();
        if (step.delivered.empty()) {
            EXPECT_EQ(dfw.deliveries.size(), before) << step.what;
            continue;
        }
        ASSERT_EQ(dfw.deliveries.size(), before + 1) << step.what;
        EXPECT_EQ(dfw.Last(), step.delivered) << step.what;
    }
    pb::ProfileMsg held;
    ASSERT_TRUE(held.ParseFromString(upm->EffectiveProfile(kPort3, kTimeout)));
    EXPECT_EQ(held.flood_protection_profile().tcp_half_open_limit(), 12u);
    EXPECT_TRUE(upm->EffectiveProfile(kPort1, kTimeout).empty());
}

// A new body for the same ports reaches only the ports where that profile is the effective one of
// its type: a port that has a lesser profile id of the type keeps that one's body.
TEST_F(UPMServiceTest, ANewBodyReachesOnlyThePortsThatHaveTheProfile) {
    const uint32_t kFlood = kProfileFloodProtection;
    auto flood = [](uint64_t id, uint32_t limit, std::vector<uint64_t> ports) {
        pb::ProfileMsg p = Profile(id, kProfileFloodProtection, std::move(ports));
        p.mutable_flood_protection_profile()->set_tcp_half_open_limit(limit);
        return p;
    };
    Update(Set(pb::PROFILE, flood(0xa1, 10, {0x102})));
    Update(Set(pb::PROFILE, flood(0xa2, 20, {0x101, 0x102})));
    Barrier();
    Update(Set(pb::PROFILE, flood(0xa2, 21, {0x101, 0x102})));
    Barrier();
    EXPECT_EQ(dfw.Last(), (std::set<std::string>{Line(kPort1, kFlood, Id(0xa2))}));
    pb::ProfileMsg held;
    ASSERT_TRUE(held.ParseFromString(upm->EffectiveProfile(kPort2, kFlood)));
    EXPECT_EQ(held.flood_protection_profile().tcp_half_open_limit(), 10u);
    ASSERT_TRUE(held.ParseFromString(upm->EffectiveProfile(kPort1, kFlood)));
    EXPECT_EQ(held.flood_protection_profile().tcp_half_open_limit(), 21u);
}

TEST_F(UPMServiceTest, AReconnectionIsANewFullSyncAndBadObjectsAreDropped) {
    Update(Set(pb::PROFILE, Profile(0xa1, kProfileIpDiscovery, {0x101})));
    Update(Set(pb::PROFILE, Profile(0xa2, kProfileIpDiscovery, {0x102})));
    Barrier();
    ASSERT_EQ(ipdisc.Last().size(), 2u);

    // While the session was down 0xa2 was deleted: the complete contents no longer hold it.
    upm->OnChannelDown();
    Update(Set(pb::PROFILE, Profile(0xa1, kProfileIpDiscovery, {0x101})));
    Barrier();
    EXPECT_TRUE(ipdisc.deliveries.back().first);
    EXPECT_EQ(ipdisc.Last(), (std::set<std::string>{Line(kPort1, 3, Id(0xa1))}));
    EXPECT_TRUE(upm->EffectiveProfile(kPort2, kProfileIpDiscovery).empty());

    LogCapture logs;
    pb::ProfileMsg untyped = Profile(0xa5, kProfileIpDiscovery, {0x102});
    untyped.clear_profile_type();
    Update(Set(pb::PROFILE, untyped));
    pb::MonitorUpdateMsg garbage;
    garbage.set_object_type(pb::PROFILE);
    garbage.set_object_body("\xff\xff\xff");
    Update(garbage);
    Barrier();
    EXPECT_TRUE(logs.ContainsWithCode(
        "UPMService: Dropped PROFILE " + Id(0xa5) + " without profile type", "LCP00028"));
    EXPECT_TRUE(
        logs.ContainsWithCode("UPMService: Dropped a PROFILE that does not parse", "LCP00028"));
    EXPECT_TRUE(upm->EffectiveProfile(kPort2, kProfileIpDiscovery).empty());
}

// A profile bound to many ports is one body for all of them: every port's update refers to the
// same object, a changed profile to a new one, and a profile written again unchanged (a new
// object with the same text) is no change for its ports.
TEST_F(UPMServiceTest, ThePortsOfAProfileShareOneBody) {
    std::vector<std::vector<ProfileUpdate>> got;
    upm->RegisterMonitorCallback(
        {kProfileFloodProtection},
        [&got](const std::vector<ProfileUpdate>& updates, bool) { got.push_back(updates); });
    pb::ProfileMsg flood = Profile(0xa1, kProfileFloodProtection, {0x101, 0x102, 0x103});
    flood.mutable_flood_protection_profile()->set_tcp_half_open_limit(10);
    Update(Set(pb::PROFILE, flood));
    Update(Set(pb::PROFILE, Profile(0xa2, kProfileIpDiscovery, {0x101})));
    Barrier();
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].size(), 3u) << "the other type's update is not this callback's";
    const ProfileBody first = got[0][0].profile;
    ASSERT_TRUE(got[0][0].HasProfile());
    for (const ProfileUpdate& u : got[0])
        EXPECT_EQ(u.profile.get(), first.get()) << u.portId;
    EXPECT_EQ(*first, flood.SerializeAsString());
    EXPECT_EQ(upm->EffectiveProfile(kPort3, kProfileFloodProtection), *first);

    flood.mutable_flood_protection_profile()->set_tcp_half_open_limit(11);
    Update(Set(pb::PROFILE, flood));
    Barrier();
    ASSERT_EQ(got.size(), 2u);
    ASSERT_EQ(got[1].size(), 3u);
    EXPECT_NE(got[1][0].profile.get(), first.get());
    for (const ProfileUpdate& u : got[1])
        EXPECT_EQ(u.profile.get(), got[1][0].profile.get()) << u.portId;
    pb::ProfileMsg now;
    ASSERT_TRUE(now.ParseFromString(*got[1][2].profile));
    EXPECT_EQ(now.flood_protection_profile().tcp_half_open_limit(), 11u);

    // Written again as it is: nothing to deliver to anyone.
    Update(Set(pb::PROFILE, flood));
    Update(Set(pb::PROFILE, Profile(0xa2, kProfileIpDiscovery, {0x101})));
    Barrier();
    EXPECT_EQ(got.size(), 2u);
    EXPECT_EQ(dfw.deliveries.size(), 2u);
    EXPECT_EQ(ipdisc.deliveries.size(), 1u);
}

}  // namespace
}  // namespace ozy::upm
