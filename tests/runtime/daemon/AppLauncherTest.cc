#include <gtest/gtest.h>

#include <sstream>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include "cli/CliPages.h"
#include "cli/CliServer.h"
#include "runtime/daemon/AppContext.h"
#include "runtime/daemon/AppLauncher.h"
#include "tests/support/CliCases.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace CfgAgent {
namespace {

namespace pt = boost::property_tree;
using Events = std::vector<std::string>;

// Records what start-up and shutdown do to each application.
class FakeApp : public AgentApp {
  public:
    FakeApp(std::string name, Events& j) : name_(std::move(name)), journal_(j) {}
    void Start(const pt::ptree& config) override {
        journal_.push_back("start " + name_ + " " + config.get<std::string>("marker", "-"));
    }
    void PostStart() override { journal_.push_back("poststart " + name_); }
    void Stop() override { journal_.push_back("stop " + name_); }
    // Each application brings one page of its own.
    void RegisterCliPages(CliPages& pages) override {
        journal_.push_back("pages " + name_);
        std::string name = name_;
        pages.Add("cfgagent/" + name_ + "/hello", "[WHO]", 0, 1, [name](const CliPages::Args& a) {
            return CliReply::Ok(name + " greets " + (a.empty() ? "nobody" : a[0]));
        });
    }

  private:
    std::string name_;
    Events& journal_;
};

pt::ptree Apps(const std::string& xml) {
    std::istringstream in("<apps>" + xml + "</apps>");
    pt::ptree t;
    pt::read_xml(in, t, pt::xml_parser::no_comments | pt::xml_parser::trim_whitespace);
    return t.get_child("apps");
}

std::string App(const std::string& name, const std::string& enabled = "true",
                const std::string& marker = "") {
    std::string s = "<app><name>" + name + "</name>";
    if (!enabled.empty())
        s += "<enabled>" + enabled + "</enabled>";
    return s + "<config>" + (marker.empty() ? std::string() : "<marker>" + marker + "</marker>") +
           "</config></app>";
}

class AppLauncherTest : public ::testing::Test {
  protected:
    // The built-in table with fake factories; `missing` is an application not in this build.
    std::vector<AppEntry> Table(const std::string& missing = "") {
        auto factory = [this](const std::string& name) -> AppFactory {
            return [this, name](AppContext&) { return std::make_unique<FakeApp>(name, journal); };
        };
        std::vector<AppEntry> table = BuiltinApps();
        for (auto& e : table) {
            e.factory = e.name == missing ? nullptr : factory(e.name);
            if (!e.companion.empty())
                e.companionFactory = factory(e.companion);
        }
        return table;
    }

    Events journal;
    AppContext context;
    test::LogCapture log{kLogInfo};
};

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, '|');)
        out.push_back(item);
    return out;
}

TEST_F(AppLauncherTest, StartUpFollowsTheListAndTheRulesBetweenApplications) {
    // Lists are separated by '|'; a log line "text#CODE" carries that error code.
    struct Case {
        const char* what;
        std::string apps;
        const char* missing;  // not part of this build
        const char* names;    // running afterwards
        const char* journal;  // what the applications saw (unchecked when empty)
        const char* logs;     // in this order
        const char* absent;   // log texts
    } cases[] = {
        // No traceflow application, so the live-trace rule fails too.
        {"traceflow before config fails but config still starts", App("traceflow") + App("config"),
         "", "config", "",
         "Cannot start traceflowApp as the configApp is NULL|traceflowApp is not "
         "initialized#LCP02104",
         ""},
        {"bfd before vxlan is skipped silently", App("bfd") + App("vxlan"), "", "vxlan", "", "",
         "BFD"},
        {"dfw brings the load balancer with the same subtree", App("dfw", "true", "m1"), "",
         "dfw|lb", "start dfw m1|start lb m1", "DFW application starts|LB application starts", ""},
        {"entries without enabled or with unknown names are skipped",
         App("config", "") + App("vxlan", "false") + App("nonsense") + App("vdrb", "maybe"), "", "",
         "", "", ""},
        {"livetrace is created after the walk with an empty subtree",
         App("config") + App("traceflow") + App("livetrace", "false", "ignored"), "",
         "config|livetrace|traceflow", "start config -|start traceflow -|start livetrace -",
         "Traceflow application starts|Livetrace application starts", ""},
        {"a second entry replaces and stops the first",
         App("vxlan", "true", "a") + App("vxlan", "true", "b"), "", "vxlan",
         "start vxlan a|stop vxlan|start vxlan b", "", ""},
        {"an application not in this build is reported and preconditions still apply",
         App("config") + App("traceflow"), "config", "", "",
         "Application config is enabled but not part of this build|Cannot start traceflowApp as "
         "the configApp is NULL",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        journal.clear();
        log.Clear();
        AppLauncher launcher(Table(c.missing), context);
        launcher.StartAll(Apps(c.apps));
        EXPECT_EQ(launcher.Names(), Split(c.names));
        if (*c.journal != '\0') {
            EXPECT_EQ(journal, Split(c.journal));
        }
        int at = -1;
        for (const std::string& line : Split(c.logs)) {
            std::string text = line.substr(0, line.find('#'));
            if (text != line) {
                EXPECT_TRUE(log.ContainsWithCode(text, line.substr(text.size() + 1))) << line;
            }
            int next = log.IndexOf(text);
            EXPECT_GT(next, at) << "missing or out of order: " << text;
            at = next;
        }
        for (const std::string& text : Split(c.absent))
            EXPECT_FALSE(log.Contains(text)) << text;
    }
}

TEST_F(AppLauncherTest, EmptyListStartsNothingNotEvenLivetraceAndAnEntryWithoutConfigEndsStartup) {
    AppLauncher launcher(Table(), context);
    launcher.StartAll(pt::ptree());
    EXPECT_TRUE(journal.empty());
    EXPECT_EQ(log.Entries().size(), 0u);
    EXPECT_THROW(launcher.StartAll(Apps("<app><name>vxlan</name><enabled>false</enabled></app>")),
                 pt::ptree_bad_path);
}

TEST_F(AppLauncherTest, StopFollowsTheFixedOrderAndPostStartCoversConfigThenL2) {
    AppLauncher launcher(Table(), context);
    launcher.StartAll(Apps(App("ids") + App("si") + App("config") + App("vxlan") + App("bfd") +
                           App("dfw") + App("traceflow") + App("vdrb")));
    journal.clear();
    launcher.PostStartAll();
    launcher.StopAll();
    EXPECT_EQ(journal, (Events{"poststart config", "poststart vxlan", "stop config", "stop vxlan",
                               "stop vdrb", "stop dfw", "stop livetrace", "stop traceflow",
                               "stop bfd", "stop si", "stop ids"}));
}

TEST_F(AppLauncherTest, StartedApplicationsRegisterTheirPagesAndAnswerOnTheCliSocket) {
    AppLauncher launcher(Table(), context);
    launcher.StartAll(Apps(App("dfw") + App("vxlan", "false") + App("config")));
    journal.clear();
    CliContext cli;
    launcher.RegisterCliPages(cli.pages);
    // Started applications only, in table order; the load balancer after its firewall.
    EXPECT_EQ(journal, (Events{"pages config", "pages dfw", "pages lb"}));
    EXPECT_EQ(cli.pages.Find("cfgagent/vxlan/hello"), nullptr);

    test::TempDir dir;
    ozy::RefPtr<CliServer> server(new CliServer(std::move(cli), dir.path() + "/cfgagent-cli"));
    ASSERT_TRUE(server->Start());
    test::ExpectCli(test::AppctlOn(server->socketPath()),
                    {{"cfgagent/lb/hello ops", 0, "=lb greets ops\n"},
                     // Not running: no such command.
                     {"cfgagent/vxlan/hello", 2, "is not a valid command"},
                     // A command of the fixed table still answers for its absent application.
                     {"cfgagent/bfd", 2, "BFD application is not enabled"}});
    server->Stop();
}

TEST_F(AppLauncherTest, LoopsOfTheEnabledApplicationsAreCountedOnce) {
    std::vector<AppEntry> table = Table();
    for (auto& e : table) {
        if (e.name == "config")
            e.loops = 4;
        if (e.name == "dfw") {
            e.loops = 4;
            e.companionLoops = 1;
        }
        if (e.name == "traceflow")
            e.loops = 2;
        if (e.name == "livetrace")
            e.loops = 10;
    }
    AppLauncher launcher(table, context);
    EXPECT_EQ(launcher.LoopsOf(Apps("")), 0u);
    EXPECT_EQ(launcher.LoopsOf(Apps(App("config"))), 4u);
    // Disabled, unknown and repeated entries add nothing; a companion comes with its entry.
    EXPECT_EQ(launcher.LoopsOf(Apps(App("config") + App("config") + App("dfw", "false") +
                                    App("nosuch") + App("vxlan"))),
              4u);
    EXPECT_EQ(launcher.LoopsOf(Apps(App("dfw"))), 5u);
    // The walk adds the live-trace application after the traceflow application.
    EXPECT_EQ(launcher.LoopsOf(Apps(App("config") + App("traceflow"))), 16u);
    EXPECT_EQ(launcher.LoopsOf(Apps(App("config") + App("livetrace", "false"))), 4u);
    // The configuration application of this build declares its links' loops.
    EXPECT_EQ(AppLauncher(BuiltinApps(), context).LoopsOf(Apps(App("config"))), 5u);
}

}  // namespace
}  // namespace CfgAgent
