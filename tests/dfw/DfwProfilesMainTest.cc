// The profiles through the process loop, fed by the real profile service on the fake database
// library and applied to the emulator's device in process. Filter configuration: a port disabled
// by its profile has its filter cleaned, stays clean across rule changes and is found clean when
// its filter is created again; enabling it brings the rules back; a profile that changes nothing
// is ignored with its line; a full sync enables the ports it does not list; a bad body keeps the
// port's state. Features: a bound profile reaches the filter on the pass it wakes; the CLI page
// shows it; a filter found again by the repository gets the values again.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dfw/DfwFilterConfig.h"
#include "dfw/DfwFilterFeature.h"
#include "dfw/DfwFilterRepo.h"
#include "dfw/DfwLog.h"
#include "dfw/DfwMain.h"
#include "dfw/DfwMsgCache.h"
#include "dfw/DfwProfilesPage.h"
#include "platform/tarp/TarpTestSeam.h"
#include "platform/tarp/TarpWire.h"
#include "platform/upm/UPMService.h"
#include "proto/UuidText.h"
#include "proto/cairndb_monitor.pb.h"
#include "tests/dfw/DfwLoopFixture.h"
#include "tests/intake/FakeCairnDbLibrary.h"
#include "tests/support/DfwRecords.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LogLines.h"
#include "tools/ozy-dpemu/TarpState.h"

namespace CfgAgent {
namespace {

using namespace test::dfw;
using test::LogCapture;
using test::Logged;
namespace w = ozy::tarp;

std::string PortText(uint64_t n) {
    return U(n).Text();
}

// A PROFILE object of `type` bound to `ports` (numbered as the records' uuids).
pb::ProfileMsg Profile(uint64_t id, uint32_t type, std::vector<uint64_t> ports) {
    pb::ProfileMsg p;
    *p.mutable_id() = Uuid(0x900 + id);
    p.set_profile_type(type);
    for (uint64_t port : ports)
        *p.add_logical_switch_port_ids() = Uuid(port);
    return p;
}
pb::ProfileMsg Disabling(uint64_t id, std::vector<uint64_t> ports, bool enabled = false) {
    pb::ProfileMsg p = Profile(id, ozy::upm::kProfileFilterConfig, std::move(ports));
    p.mutable_filter_config_profile()->set_enabled(enabled);
    return p;
}

class DfwProfilesMainTest : public test::DfwLoopFixture {
  protected:
    void SetUp() override {
        DfwLoopFixture::SetUp();
        lib_ = std::make_shared<test::FakeCairnDbLibrary>();
        upm_ = std::make_unique<ozy::upm::UPMService>(lib_);
        StartMain([this] { ASSERT_TRUE(upm_->Start()); });
        // Rule 1 drops everything on every filter.
        msgs_->UpdateDesiredState(
            {SectionRec(1, 1), RuleRec(101, 1, 1, [](pb::RuleMsg& r) { r.set_action(1); }),
             BarrierRec(1)},
            true);
        Barrier({}, true);  // the profile service's full sync: nothing bound
        main_->ProcessOnce();
    }
    void Configure(DfwMain::Options& o) override { o.upm = upm_.get(); }
    void TearDown() override {
        main_->Stop();
        upm_->Stop();
        DfwLoopFixture::TearDown();
    }

    // One database transaction of the profile service: the profiles set (or deleted), then the
    // barrier; `fullSync`: the channel came back and this is everything.
    void Barrier(const std::vector<pb::ProfileMsg>& set, bool fullSync = false,
                 const std::vector<pb::ProfileMsg>& deleted = {}) {
        if (fullSync)
            upm_->OnChannelDown();
        for (const pb::ProfileMsg& p : set) {
            pb::MonitorUpdateMsg u;
            u.set_object_type(pb::PROFILE);
            u.set_object_body(p.SerializeAsString());
            ASSERT_TRUE(lib_->Update(ozy::upm::UPMService::kMonitorId, 1, u));
        }
        for (const pb::ProfileMsg& p : deleted) {
            pb::MonitorUpdateMsg u;
            u.set_object_type(pb::PROFILE);
            u.set_old_object_body(p.SerializeAsString());
            ASSERT_TRUE(lib_->Update(ozy::upm::UPMService::kMonitorId, 1, u));
        }
        ASSERT_TRUE(lib_->Barrier(ozy::upm::UPMService::kMonitorId, 1));
    }
    size_t Rules(const std::string& filter) {
        const auto* f = dev_.state->FindFilter(filter);
        return f == nullptr ? 0 : dev_.state->RootRules(*f).size();
    }
    nlohmann::json Page(const std::string& vif = "") {
        return nlohmann::json::parse(DfwProfilesText(*main_, vif))["dfw_vif_profiles"];
    }

    std::shared_ptr<test::FakeCairnDbLibrary> lib_;
    std::unique_ptr<ozy::upm::UPMService> upm_;
};

TEST_F(DfwProfilesMainTest, ADisabledPortsFilterIsCleanedAndStaysCleanUntilEnabled) {
    ASSERT_EQ(Rules("f1"), 1u);
    ASSERT_EQ(Rules("f2"), 1u);
    {
        SCOPED_TRACE("disabled: f1 loses its rules, f2 keeps them");
        LogCapture log;
        g_dfwLogLevel = kLogInfo;
        Barrier({Disabling(1, {1})});
        main_->ProcessOnce();
        EXPECT_EQ(Rules("f1"), 0u);
        EXPECT_EQ(Rules("f2"), 1u);
        EXPECT_TRUE(Logged(log, {"dfw: update vif list with vif: vif-1, disable",
                                 "dfw: Cleanup dfw on filter f1"}));
        EXPECT_EQ(main_->filterConfig()->DisabledPorts(), std::set<std::string>{PortText(1)});
        EXPECT_EQ(Page("vif-1")["filters"][0]["filter_config"]["enabled"], false);
    }
    {
        SCOPED_TRACE("a rule change leaves it clean");
        msgs_->UpdateDesiredState({RuleRec(102, 2, 1), BarrierRec(2)}, false);
        main_->ProcessOnce();
        EXPECT_EQ(Rules("f1"), 0u);
        EXPECT_EQ(Rules("f2"), 2u);
    }
    {
        SCOPED_TRACE("the same state again is ignored");
        LogCapture log;
        g_dfwLogLevel = kLogInfo;
        Barrier({Disabling(1, {1, 2}, false)});  // port 1 stays, port 2 becomes disabled
        EXPECT_TRUE(Logged(log, {"dfw: ignoring a vif to disable (filter configration)",
                                 "dfw: update vif list with vif: vif-2, disable"}));
        main_->ProcessOnce();
        EXPECT_EQ(Rules("f2"), 0u);
    }
    {
        SCOPED_TRACE("a filter created again for a disabled port is found clean");
        std::string why;
        ASSERT_TRUE(dev_.state->DeleteFilter("f1", &why)) << why;
        AddFilter("f1", "vif-1", 1);
        ASSERT_TRUE(main_->repo()->QueryNow());
        main_->RequestVif(w::kAgentFirewall, "vif-1", "f1", true);  // as the repository asks
        main_->ProcessOnce();
        EXPECT_EQ(Rules("f1"), 0u);
    }
    {
        SCOPED_TRACE("enabled (the profile says so for port 1, and is gone for port 2)");
        LogCapture log;
        g_dfwLogLevel = kLogInfo;
        Barrier({Disabling(1, {1}, true)});
        EXPECT_TRUE(Logged(log, {"dfw: update vif list with vif: vif-1, enable",
                                 "dfw: update vif list with vif: vif-2, enable"}));
        main_->ProcessOnce();
        EXPECT_EQ(Rules("f1"), 2u);
        EXPECT_EQ(Rules("f2"), 2u);
        EXPECT_TRUE(main_->filterConfig()->DisabledPorts().empty());
    }
}

TEST_F(DfwProfilesMainTest, AFullSyncEnablesThePortsItDoesNotListAndABadBodyKeepsTheState) {
    Barrier({Disabling(1, {1}), Disabling(2, {2})});
    main_->ProcessOnce();
    ASSERT_EQ(Rules("f1"), 0u);
    ASSERT_EQ(Rules("f2"), 0u);
    {
        SCOPED_TRACE("a body that does not parse: the port stays disabled");
        LogCapture log;
        ozy::upm::ProfileUpdate bad{PortText(1), ozy::upm::kProfileFilterConfig, "p",
                                    std::make_shared<const std::string>("\xff\xff")};
        main_->filterConfig()->SetConfig({bad}, false);
        EXPECT_TRUE(Logged(log, {{"dfw: bad filter config profile p", "LCP01153"}}));
        EXPECT_EQ(main_->filterConfig()->DisabledPorts().size(), 2u);
    }
    Barrier({Disabling(2, {2})}, true);  // profile 1 is not in the database any more
    main_->ProcessOnce();
    EXPECT_EQ(Rules("f1"), 1u);
    EXPECT_EQ(Rules("f2"), 0u);
}

TEST_F(DfwProfilesMainTest, FeatureProfilesReachTheFiltersOnTheirPassAndShowOnThePage) {
    ASSERT_EQ(main_->features().size(), 3u);
    pb::ProfileMsg flood = Profile(3, ozy::upm::kProfileFloodProtection, {1});
    flood.mutable_flood_protection_profile()->set_icmp_flow_limit(250);
    pb::ProfileMsg timeouts = Profile(4, ozy::upm::kProfileSessionTimeout, {1, 2});
    timeouts.mutable_session_timeout_profile()->set_tcp_closed(7);
    Barrier({flood, timeouts});
    main_->ProcessOnce();
    const auto* f1 = dev_.state->FindFilter("f1");
    const auto* f2 = dev_.state->FindFilter("f2");
    ASSERT_TRUE(f1->flood && f2->flood && f1->timeouts && f1->dns);
    EXPECT_EQ(f1->flood->icmp, 250u);
    EXPECT_EQ(f2->flood->icmp, 0u);
    EXPECT_EQ((*f1->timeouts)[5], 7u);
    EXPECT_EQ((*f2->timeouts)[5], 7u);
    nlohmann::json page = Page();
    ASSERT_EQ(page["filters"].size(), 2u) << page.dump();
    const nlohmann::json& row = page["filters"][0];
    EXPECT_EQ(row["vif"], "vif-1");
    EXPECT_EQ(row["flood"]["profile"], ozy::cairndb::UuidText(0x1000 + 0x903, 0x903));
    EXPECT_EQ(row["flood"]["values"]["icmp_flow_limit"], 250);
    EXPECT_EQ(row["flood"]["applied"], true);
    EXPECT_EQ(row["dns"]["profile"], "default");
    EXPECT_EQ(row["timeout"]["values"]["tcp_closed"], 7);
    EXPECT_EQ(row["filter_config"]["enabled"], true);
    EXPECT_EQ(page["pending"]["flood"]["requests"], 0);
    EXPECT_EQ(page["pending"]["timeout"]["filters"], 0);

    // Unbound: the defaults again.
    Barrier({}, false, {flood});
    EXPECT_EQ(Page()["pending"]["flood"]["requests"], 1) << "received, not processed yet";
    main_->ProcessOnce();
    EXPECT_EQ(dev_.state->FindFilter("f1")->flood->icmp, 0u);
    EXPECT_EQ(Page("vif-1")["filters"][0]["flood"]["profile"], "default");

    // The filter deleted and created again under its old name before the next pass: the
    // repository's request makes the features set it again.
    std::string why;
    ASSERT_TRUE(dev_.state->DeleteFilter("f1", &why)) << why;
    AddFilter("f1", "vif-1", 1);
    ASSERT_FALSE(dev_.state->FindFilter("f1")->timeouts.has_value());
    main_->RequestVif(w::kAgentFirewall, "vif-1", "f1", true);
    main_->ProcessOnce();
    ASSERT_TRUE(dev_.state->FindFilter("f1")->timeouts.has_value());
    EXPECT_EQ((*dev_.state->FindFilter("f1")->timeouts)[5], 7u);
}

// A profile bound to both ports reaches the feature as one body: it is read and checked once,
// and one out of range is refused once for both, which keep what they hold.
TEST_F(DfwProfilesMainTest, AProfileOfManyPortsIsCheckedOnceForAll) {
    pb::ProfileMsg flood = Profile(5, ozy::upm::kProfileFloodProtection, {1, 2});
    flood.mutable_flood_protection_profile()->set_udp_flow_limit(300);
    Barrier({flood});
    main_->ProcessOnce();
    ASSERT_EQ(dev_.state->FindFilter("f1")->flood->udp, 300u);
    ASSERT_EQ(dev_.state->FindFilter("f2")->flood->udp, 300u);

    LogCapture log;
    flood.mutable_flood_protection_profile()->set_udp_flow_limit(1000001);
    Barrier({flood});
    main_->ProcessOnce();
    EXPECT_EQ(log.Count("dfw: bad flood profile"), 1u) << log.Dump();
    EXPECT_TRUE(
        Logged(log, {{"dfw: bad flood profile " + ozy::cairndb::UuidText(0x1000 + 0x905, 0x905) +
                          ": udp_flow_limit 1000001 is above 1000000",
                      "LCP01153"}}));
    EXPECT_EQ(dev_.state->FindFilter("f1")->flood->udp, 300u);
    EXPECT_EQ(dev_.state->FindFilter("f2")->flood->udp, 300u);
}

}  // namespace
}  // namespace CfgAgent
