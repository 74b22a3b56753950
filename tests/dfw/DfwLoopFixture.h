#pragma once
// The firewall's process loop over the emulator's device in process, run by hand: filters f1
// (vif-1, port 1) and f2 (vif-2, port 2) in the device, a message cache and the fake database
// client, firewall lines at warnings. A fixture adds its options in Configure and starts the loop
// with StartMain (again after a Stop, as at the agent's start).
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "dfw/DfwFilterRepo.h"
#include "dfw/DfwLog.h"
#include "dfw/DfwMain.h"
#include "dfw/DfwMsgCache.h"
#include "platform/tarp/TarpTestSeam.h"
#include "platform/tarp/TarpWire.h"
#include "tests/platform/tarp/InProcessTarp.h"
#include "tests/support/DfwRecords.h"
#include "tests/support/FakeCairndbClient.h"
#include "tools/ozy-dpemu/TarpState.h"

namespace CfgAgent::test {

class DfwLoopFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = g_dfwLogLevel;
        g_dfwLogLevel = kLogWarn;
        TarpFirewall::detail::SetDeviceOpenerForTest(&dev_);
        AddFilter("f1", "vif-1", 1);
        AddFilter("f2", "vif-2", 2);
    }
    void TearDown() override {
        if (main_) {
            main_->Stop();
            main_.reset();
        }
        TarpFirewall::detail::SetDeviceOpenerForTest(nullptr);
        g_dfwLogLevel = saved_;
    }

    // Options beyond the fixture's (NTP check skipped, the fake client, no posted loop).
    virtual void Configure(DfwMain::Options& /*options*/) {}
    // A new loop and message cache over the device as it stands; `started` runs between the
    // loop's start and the repository's first query.
    void StartMain(const std::function<void()>& started = nullptr) {
        msgs_ = ozy::MakeRef<DfwMsgCache>();
        DfwMain::Options o;
        o.settings.skipNtpCheck = true;
        o.cairndb = &db_;
        o.postLoop = false;
        Configure(o);
        main_ = ozy::MakeRef<DfwMain>(msgs_, std::move(o));
        ASSERT_TRUE(main_->Start());
        if (started)
            started();
        ASSERT_TRUE(main_->repo()->QueryNow());
    }
    void AddFilter(const std::string& name, const std::string& vif, uint64_t port) {
        std::string why;
        ASSERT_TRUE(dev_.state->CreateFilter(
            {name, vif, dfw::U(port).Text(), ozy::tarp::kAgentFirewall, false, true}, &why))
            << why;
    }

    int saved_ = 0;
    ozy::tarp::test::InProcessTarp dev_;
    FakeCairndbClient db_;
    ozy::RefPtr<DfwMsgCache> msgs_;
    ozy::RefPtr<DfwMain> main_;
};

}  // namespace CfgAgent::test
