// The filter configuration on its own, with the filters and the requests it makes recorded: a
// change of a port's state becomes one request per filter of the port; what changes nothing is
// ignored with its line; a port without filter keeps its state for the filter to come; updates
// that are not its own are dropped; a full sync enables the disabled ports it does not list.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "dfw/DfwFilterConfig.h"
#include "dfw/DfwLog.h"
#include "platform/upm/UPMService.h"
#include "proto/UuidText.h"
#include "proto/cairndb_switching.pb.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LogLines.h"

namespace CfgAgent {
namespace {

namespace pb = orvane::ozy::cairndb;
using test::LogCapture;
using test::Logged;

std::string Port(uint64_t n) {
    return ozy::cairndb::UuidText(0, n);
}

ozy::upm::ProfileUpdate Config(uint64_t port, int enabled) {  // enabled -1: field absent
    pb::ProfileMsg p;
    p.mutable_id()->set_right(0xf7);
    p.set_profile_type(ozy::upm::kProfileFilterConfig);
    auto* cfg = p.mutable_filter_config_profile();
    if (enabled >= 0)
        cfg->set_enabled(enabled == 1);
    return {Port(port), ozy::upm::kProfileFilterConfig, ozy::cairndb::UuidText(0, 0xf7),
            std::make_shared<const std::string>(p.SerializeAsString())};
}
// One profile bound to `ports`: their updates share one body, as the profile service sends them.
std::vector<ozy::upm::ProfileUpdate> Shared(std::vector<uint64_t> ports, int enabled) {
    std::vector<ozy::upm::ProfileUpdate> out;
    for (uint64_t port : ports) {
        out.push_back(Config(port, enabled));
        out.back().profile = out.front().profile;
    }
    return out;
}
ozy::upm::ProfileUpdate Gone(uint64_t port) {
    return {Port(port), ozy::upm::kProfileFilterConfig, "", nullptr};
}

class DfwFilterConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = g_dfwLogLevel;
        g_dfwLogLevel = kLogInfo;
        DfwFilterConfig::Options o;
        o.filters = [this] { return filters_; };
        o.request = [this](const std::string& vif, const std::string& filter, bool enable) {
            requests_.push_back(vif + " " + filter + (enable ? " enable" : " disable"));
        };
        config_ = ozy::MakeRef<DfwFilterConfig>(std::move(o));
        ASSERT_TRUE(config_->start(nullptr));
        // Two filters on port 1 (a vif and its container's), one on port 2, none on port 3; the
        // kernel may print a port in capitals.
        Add("vif-1", "f1", Port(1));
        Add("vif-1c", "f1c", Port(1));
        Add("vif-2", "f2", "00000000-0000-0000-0000-00000000000A");
    }
    void TearDown() override {
        config_->stop();
        g_dfwLogLevel = saved_;
    }
    void Add(const std::string& vif, const std::string& name, const std::string& lsp) {
        DfwFilterRepo::Filter f;
        f.name = name;
        f.vif = vif;
        f.lsp = lsp;
        filters_[vif] = f;
    }
    std::vector<std::string> Take() { return std::exchange(requests_, {}); }

    int saved_ = 0;
    DfwFilterRepo::FilterMap filters_;
    std::vector<std::string> requests_;
    ozy::RefPtr<DfwFilterConfig> config_;
};

TEST_F(DfwFilterConfigTest, StateChangesBecomeRequestsAndTheRestIsIgnored) {
    using V = std::vector<std::string>;
    const struct {
        const char* what;
        std::vector<ozy::upm::ProfileUpdate> updates;
        bool fullSync;
        V requests;
        std::set<std::string> disabled;
        test::LogLine line;
    } cases[] = {
        {"disabled: every filter of the port",
         {Config(1, 0)},
         false,
         V{"vif-1 f1 disable", "vif-1c f1c disable"},
         {Port(1)},
         "dfw: update vif list with vif: vif-1, disable"},
        {"disabled again: nothing changes",
         {Config(1, 0)},
         false,
         V{},
         {Port(1)},
         "dfw: ignoring a vif to disable (filter configration)"},
        {"enabled where it is: nothing changes",
         {Config(2, 1)},
         false,
         V{},
         {Port(1)},
         "dfw: ignoring a vif to enaable (filter configration)"},
        {"a port without filter keeps its state",
         {Config(3, 0)},
         false,
         V{},
         {Port(1), Port(3)},
         "dfw: dfw filter monitor callback called, fullsync : false, update size: 1"},
        {"a port printed in capitals by the kernel",
         {Config(10, 0)},
         false,
         V{"vif-2 f2 disable"},
         {Port(1), Port(3), Port(10)},
         "dfw: update vif list with vif: vif-2, disable"},
        {"no profile type",
         {{Port(1), 0, "p", std::make_shared<const std::string>("x")}},
         false,
         V{},
         {Port(1), Port(3), Port(10)},
         {"dfw: no profile type specified " + Port(1), "LCP01153"}},
        {"another type",
         {{Port(1), ozy::upm::kProfileDnsConfig, "p", std::make_shared<const std::string>("x")}},
         false,
         V{},
         {Port(1), Port(3), Port(10)},
         "dfw: SetConfig: unhandled profile type 6"},
        {"the profile went: enabled",
         {Gone(10)},
         false,
         V{"vif-2 f2 enable"},
         {Port(1), Port(3)},
         "dfw: update vif list with vif: vif-2, enable"},
        {"a profile without the field: enabled",
         {Config(1, -1)},
         false,
         V{"vif-1 f1 enable", "vif-1c f1c enable"},
         {Port(3)},
         "dfw: update vif list with vif: vif-1c, enable"},
        {"a full sync lists port 2 disabled only: port 3 is enabled",
         {Config(10, 0)},
         true,
         V{"vif-2 f2 disable"},
         {Port(10)},
         "dfw: dfw filter monitor callback called, fullsync : true, update size: 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture log;
        config_->SetConfig(c.updates, c.fullSync);
        EXPECT_EQ(Take(), c.requests);
        EXPECT_EQ(config_->DisabledPorts(), c.disabled);
        EXPECT_TRUE(Logged(log, {c.line}));
    }
    EXPECT_EQ(config_->DisablingProfile("00000000-0000-0000-0000-00000000000a"),
              ozy::cairndb::UuidText(0, 0xf7));
    EXPECT_EQ(config_->DisablingProfile(Port(1)), "");
    config_->stop();
    config_->SetConfig({Config(1, 0)}, false);
    EXPECT_TRUE(Take().empty()) << "stopped: nothing taken";
}

// The ports of one profile come with one shared body: read once, it applies to each of them.
TEST_F(DfwFilterConfigTest, PortsSharingOneBodyAllFollowIt) {
    using V = std::vector<std::string>;
    config_->SetConfig(Shared({3, 1}, 0), false);
    EXPECT_EQ(Take(), (V{"vif-1 f1 disable", "vif-1c f1c disable"}));
    EXPECT_EQ(config_->DisabledPorts(), (std::set<std::string>{Port(1), Port(3)}));
    config_->SetConfig(Shared({3, 1}, 1), false);
    EXPECT_EQ(Take(), (V{"vif-1 f1 enable", "vif-1c f1c enable"}));
    EXPECT_TRUE(config_->DisabledPorts().empty());
}

}  // namespace
}  // namespace CfgAgent
