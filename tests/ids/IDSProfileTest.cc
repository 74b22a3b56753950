// IDS profiles: override lists and capture settings read from their attribute text, the engine
// update they make (deletions included), names refused as file names, and the dump.
#include <gtest/gtest.h>

#include "ids/IDSProfile.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace CfgAgent::test {
namespace {

TEST(IDSProfileTest, AttributeTextIsReadStrictly) {
    struct Case {
        const char* ids;
        bool ok;
        std::map<uint64_t, std::string> overrides;
    };
    for (const Case& c : std::vector<Case>{
             {"[0:0:alert]", true, {{0, "alert"}}},
             {"[]", true, {}},
             {" [2001:1:reject, 2002:1:alert] ", true, {{2001, "reject"}, {2002, "alert"}}},
             {"[2001:1:drop]", false, {}},
             {"[2001:reject]", false, {}},
             {"2001:1:reject", false, {}},
             {"[-1:1:alert]", false, {}},
             {"[2001:1:alert,]", false, {}},
             {"[99999999999999999999:1:alert]", false, {}},
         }) {
        SCOPED_TRACE(c.ids);
        std::map<uint64_t, std::string> out;
        EXPECT_EQ(IDSProfile::ParseOverrides(c.ids, &out), c.ok);
        if (c.ok) {
            EXPECT_EQ(out, c.overrides);
        }
    }
    IDSProfile::Record r;
    EXPECT_TRUE(IDSProfile::ParsePcap("true:1500:10", &r));
    EXPECT_TRUE(r.pcapEnabled);
    EXPECT_EQ(r.pcapByteCount, 1500u);
    EXPECT_EQ(r.pcapPacketCount, 10u);
    for (const char* bad : {"yes:1:1", "true:1", "true:1:x", ""}) {
        EXPECT_FALSE(IDSProfile::ParsePcap(bad, &r)) << bad;
    }
}

TEST(IDSProfileTest, UpdatesCarryChangesDeletionsAndEverythingOnFullSync) {
    IDSProfile p;
    p.Initialize("");
    LogCapture log;
    ASSERT_TRUE(p.UpdateProfileAttributes("web", {"[2001:1:reject]"}, nullptr));
    std::vector<std::string> pcap = {"true:100:5"};
    ASSERT_TRUE(p.UpdateProfileAttributes("db", {"[]"}, &pcap));
    auto u = p.GetModifiedProfiles(false);
    EXPECT_EQ(u.sync_type(), orvane::ozy::lcp::idps::PROFILE_SYNC_INCREMENTAL);
    ASSERT_EQ(u.profiles_size(), 2);
    EXPECT_EQ(u.profiles(0).name(), "db");
    EXPECT_TRUE(u.profiles(0).pcap_enabled());
    EXPECT_EQ(u.profiles(1).signs(0).sid(), 2001u);
    EXPECT_EQ(u.profiles(1).signs(0).action(), "reject");
    // Nothing changed: nothing to send.
    u = p.GetModifiedProfiles(false);
    EXPECT_EQ(u.profiles_size() + u.removed_profiles_size(), 0);
    // A deletion travels as a removal; a full sync lists every profile.
    ASSERT_TRUE(p.DeleteProfile("web"));
    u = p.GetModifiedProfiles(false);
    EXPECT_EQ(u.profiles_size(), 0);
    ASSERT_EQ(u.removed_profiles_size(), 1);
    EXPECT_EQ(u.removed_profiles(0), "web");
    u = p.GetModifiedProfiles(true);
    EXPECT_EQ(u.sync_type(), orvane::ozy::lcp::idps::PROFILE_SYNC_FULL);
    ASSERT_EQ(u.profiles_size(), 1);
    // Invalid input changes nothing.
    for (const std::string& name :
         std::vector<std::string>{"a/b", "..", std::string("x\0y", 3), std::string()}) {
        EXPECT_FALSE(p.UpdateProfileAttributes(name, {"[]"}, nullptr));
    }
    EXPECT_FALSE(p.UpdateProfileAttributes("db", {"[1:1:oops]"}, nullptr));
    EXPECT_TRUE(p.profiles().at("db").pcapEnabled);
    EXPECT_TRUE(log.ContainsWithCode(
        "ids: IDSProfile::Inputs for updating profile signature attr are invalid",
        "IDSERR_INTERNAL"));
}

TEST(IDSProfileTest, DumpWritesOneLinePerOverride) {
    TempDir dir("ids-profile");
    IDSProfile p;
    p.Initialize(dir.path());
    ASSERT_TRUE(p.UpdateProfileAttributes("web", {"[2002:1:alert, 2001:1:reject]"}, nullptr));
    ASSERT_TRUE(p.UpdateProfileAttributes("none", {"[]"}, nullptr));
    ASSERT_TRUE(p.DumpProfile("web"));
    ASSERT_TRUE(p.DumpProfile("none"));
    EXPECT_EQ(ReadFile(dir.path() + "/dump_web"), "2001 reject\n2002 alert\n");
    EXPECT_EQ(ReadFile(dir.path() + "/dump_none"),
              "Profile is empty, no SID <-> action info present \n");
}

}  // namespace
}  // namespace CfgAgent::test
