#include <gtest/gtest.h>

#include <sstream>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include "runtime/daemon/AppContext.h"
#include "runtime/daemon/AppLauncher.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent {
namespace {

namespace pt = boost::property_tree;

// Records what start-up and shutdown do to each application.
struct Journal {
    std::vector<std::string> events;
};

class FakeApp : public AgentApp {
  public:
    FakeApp(std::string name, Journal& j) : name_(std::move(name)), journal_(j) {}
    void Start(const pt::ptree& config) override {
        journal_.events.push_back("start " + name_ + " " + config.get<std::string>("marker", "-"));
    }
    void PostStart() override { journal_.events.push_back("poststart " + name_); }
    void Stop() override { journal_.events.push_back("stop " + name_); }

  private:
    std::string name_;
    Journal& journal_;
};

class AppLauncherTest : public ::testing::Test {
  protected:
    AppFactory Factory(const std::string& name) {
        return [this, name](AppContext&) { return std::make_unique<FakeApp>(name, journal); };
    }
    std::vector<AppEntry> Table() {
        std::vector<AppEntry> table = BuiltinApps();
        for (auto& e : table) {
            e.factory = Factory(e.name);
            if (!e.companion.empty())
                e.companionFactory = Factory(e.companion);
        }
        return table;
    }
    pt::ptree Apps(const std::string& xml) {
        std::istringstream in("<apps>" + xml + "</apps>");
        pt::ptree t;
        pt::read_xml(in, t, pt::xml_parser::no_comments | pt::xml_parser::trim_whitespace);
        return t.get_child("apps");
    }
    static std::string App(const std::string& name, const std::string& enabled = "true",
                           const std::string& marker = "") {
        std::string s = "<app><name>" + name + "</name>";
        if (!enabled.empty())
            s += "<enabled>" + enabled + "</enabled>";
        s += "<config>" + (marker.empty() ? std::string() : "<marker>" + marker + "</marker>") +
             "</config></app>";
        return s;
    }

    Journal journal;
    AppContext context;
    test::LogCapture log{kLogInfo};
};

TEST_F(AppLauncherTest, TraceflowBeforeConfigFailsButConfigStillStarts) {
    AppLauncher launcher(Table(), context);
    launcher.StartAll(Apps(App("traceflow") + App("config")));
    EXPECT_TRUE(log.Contains("Cannot start traceflowApp as the configApp is NULL"));
    EXPECT_FALSE(launcher.Has("traceflow"));
    EXPECT_TRUE(launcher.Has("config"));
    // No traceflow application, so the live-trace rule fails too.
    EXPECT_TRUE(log.ContainsWithCode("traceflowApp is not initialized", "LCP02104"));
}

TEST_F(AppLauncherTest, BfdBeforeVxlanIsSkippedSilently) {
    AppLauncher launcher(Table(), context);
    launcher.StartAll(Apps(App("bfd") + App("vxlan")));
    EXPECT_FALSE(launcher.Has("bfd"));
    EXPECT_TRUE(launcher.Has("vxlan"));
    EXPECT_FALSE(log.Contains("BFD"));
}

TEST_F(AppLauncherTest, DfwBringsTheLoadBalancerWithTheSameSubtree) {
    AppLauncher launcher(Table(), context);
    launcher.StartAll(Apps(App("dfw", "true", "m1")));
    int dfw = log.IndexOf("DFW application starts");
    int lb = log.IndexOf("LB application starts");
    ASSERT_GE(dfw, 0);
    EXPECT_GT(lb, dfw);
    EXPECT_EQ(journal.events, (std::vector<std::string>{"start dfw m1", "start lb m1"}));
}

TEST_F(AppLauncherTest, EntriesWithoutEnabledOrUnknownNamesAreSkipped) {
    AppLauncher launcher(Table(), context);
    launcher.StartAll(
        Apps(App("config", "") + App("vxlan", "false") + App("nonsense") + App("vdrb", "maybe")));
    EXPECT_TRUE(launcher.Names().empty());
}

TEST_F(AppLauncherTest, EmptyListStartsNothingNotEvenLivetrace) {
    AppLauncher launcher(Table(), context);
    launcher.StartAll(pt::ptree());
    EXPECT_TRUE(journal.events.empty());
    EXPECT_EQ(log.Entries().size(), 0u);
}

TEST_F(AppLauncherTest, LivetraceIsCreatedAfterTheWalkWithAnEmptySubtree) {
    AppLauncher launcher(Table(), context);
    launcher.StartAll(
        Apps(App("config") + App("traceflow") + App("livetrace", "false", "ignored")));
    EXPECT_TRUE(log.Contains("Traceflow application starts"));
    EXPECT_TRUE(log.Contains("Livetrace application starts"));
    EXPECT_EQ(journal.events.back(), "start livetrace -");
}

TEST_F(AppLauncherTest, EntryWithoutConfigEndsStartup) {
    AppLauncher launcher(Table(), context);
    EXPECT_THROW(launcher.StartAll(Apps("<app><name>vxlan</name><enabled>false</enabled></app>")),
                 pt::ptree_bad_path);
}

TEST_F(AppLauncherTest, SecondEntryReplacesAndStopsTheFirst) {
    AppLauncher launcher(Table(), context);
    launcher.StartAll(Apps(App("vxlan", "true", "a") + App("vxlan", "true", "b")));
    EXPECT_EQ(journal.events,
              (std::vector<std::string>{"start vxlan a", "stop vxlan", "start vxlan b"}));
}

TEST_F(AppLauncherTest, StopFollowsTheFixedOrderAndPostStartCoversConfigThenL2) {
    AppLauncher launcher(Table(), context);
    launcher.StartAll(Apps(App("ids") + App("si") + App("config") + App("vxlan") + App("bfd") +
                           App("dfw") + App("traceflow") + App("vdrb")));
    journal.events.clear();
    launcher.PostStartAll();
    launcher.StopAll();
    EXPECT_EQ(journal.events,
              (std::vector<std::string>{"poststart config", "poststart vxlan", "stop config",
                                        "stop vxlan", "stop vdrb", "stop dfw", "stop livetrace",
                                        "stop traceflow", "stop bfd", "stop si", "stop ids"}));
}

TEST_F(AppLauncherTest, ApplicationsNotInThisBuildAreReportedAndPreconditionsStillApply) {
    // A build without the configuration application.
    std::vector<AppEntry> table = BuiltinApps();
    for (auto& e : table) {
        if (e.name == "config")
            e.factory = nullptr;
    }
    AppLauncher launcher(table, context);
    launcher.StartAll(Apps(App("config") + App("traceflow")));
    EXPECT_TRUE(log.Contains("Application config is enabled but not part of this build"));
    EXPECT_TRUE(log.Contains("Cannot start traceflowApp as the configApp is NULL"));
}

}  // namespace
}  // namespace CfgAgent
