// The CLI server driven by Debian's ovs-appctl.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <future>

#include "cli/CliServer.h"
#include "platform/unixctl/UnixctlClient.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"
#include "tests/support/CliCases.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace CfgAgent {
namespace {

class CliServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CliContext ctx;
        ctx.pages.AddOutOfSync("config", [this] { ++configOutOfSync; });
        ctx.pages.Add("cfgagent/bfd", "", 0, 0, [](const CliPages::Args&) -> CliReply {
            throw std::runtime_error("broken dump");
        });
        // An application's own command, and its answer to a command of the fixed table.
        ctx.pages.Add("cfgagent/testapp/echo", "WORD [WORD]", 1, 2, [](const CliPages::Args& a) {
            return CliReply::Ok(a.size() == 1 ? a[0] : a[0] + "+" + a[1]);
        });
        ctx.pages.Add("dfw/vif", "ignored", 5, 5, [](const CliPages::Args& a) {
            return a.empty() ? CliReply::Ok("all vifs") : CliReply::Error("no vif " + a[0]);
        });
        // Pages that say whether another thread can take the global agent lock meanwhile: an
        // application's own, a fixed command's, each locked and unlocked.
        auto lockProbe = [](const CliPages::Args&) {
            bool free = std::async(std::launch::async, [] {
                            bool got = GlobalAgentLock().try_lock();
                            if (got)
                                GlobalAgentLock().unlock();
                            return got;
                        }).get();
            return CliReply::Ok(free ? "lock free" : "lock held");
        };
        ctx.pages.Add("cfgagent/testapp/locked", "", 0, 0, lockProbe);
        ctx.pages.Add("cfgagent/testapp/unlocked", "", 0, 0, lockProbe, true);
        ctx.pages.Add("ids/get/engine/status", "", 0, 0, lockProbe, true);
        ctx.pages.Add("ids/get/engine/rules", "", 0, 0, lockProbe);
        server = ozy::RefPtr<CliServer>(new CliServer(ctx, dir.path() + "/cli.sock"));
        ASSERT_TRUE(server->Start());
        appctl = test::AppctlOn(server->socketPath());
    }
    void TearDown() override { server->Stop(); }

    test::TempDir dir;
    test::LogCapture log{kLogInfo};
    std::atomic<int> configOutOfSync{0};
    ozy::RefPtr<CliServer> server;
    test::CliRunner appctl;
};

TEST_F(CliServerTest, CommandsAnswerAsTheirTableSays) {
    // Argument counts are enforced before the handler.
    test::ExpectCli(appctl,
                    {{"cfgagent/get/loglevel extra", 2, "command takes at most 0 arguments"},
                     {"cfgagent/set-simulate/out-of-sync", 2, ""}});
    EXPECT_FALSE(log.Contains("CliServer: getting log level"));
    EXPECT_FALSE(log.Contains("CliServer: setting simulate out of sync"));

    test::ExpectCli(
        appctl,
        {{"list-commands", 0,
          "cfgagent/set/loglevel|cfgagent/get-wft/tracelevel|cfgagent/set-simulate/out-of-sync|"
          "dfw/setlibloglevel|ids/dump/signatures|si/get-ordered-service-paths|cfgagent/bfd|"
          "cfgagent/ipfix-switch/profile/lport|VERTICAL_NAME"},
         {"cfgagent/set/loglevel verbose", 2,
          "Setting cfgagent logging level from info to verbose failed"},
         {"cfgagent/get/loglevel", 0, "=Current cfgagent logging level is: info\n"},
         {"cfgagent/set-rpc/loglevel debug", 0,
          "=Setting cfgagent rpc logging level from info to debug successfully\n"},
         {"cfgagent/get-rpc/loglevel", 0, "=Current cfgagent rpc logging level is: debug\n"},
         {"cfgagent/set-rpc/loglevel info", 0, ""},
         {"cfgagent/set-simulate/out-of-sync config", 0,
          "=Setting simulate out of sync for vertical config successfully\n"},
         {"cfgagent/set-simulate/out-of-sync l3", 2,
          "Setting simulate out of sync for vertical l3 failed"},
         // Tracing level and applications that are absent.
         {"cfgagent/get-wft/tracelevel", 0, "=Current cfgagent trace level is: info\n"},
         {"cfgagent/set-wft/tracelevel loud", 2, ""},
         {"dfw/getloglevel", 0, "={\"result\" : \"not initialized\"}\n"},
         {"ids/get/status", 0, "\"ids_status\"|\"invalid input\""},
         {"si/get-selected-service-paths 7", 2, "Query Service Path fail"},
         {"cfgagent/l2/routingdomain", 2, ""},
         {"cfgagent/get-wft/stats", 0, "\"StatsName\": \"RootSpan_Total_Req\""},
         // A handler's exception is logged and answered, and the server goes on.
         {"cfgagent/bfd", 2, "failed to process command"},
         {"cfgagent/get/loglevel", 0, ""}});
    EXPECT_EQ(Logger::level(), kLogInfo);
    EXPECT_TRUE(log.Contains("CliServer: setting rpc log level from info to debug"));
    EXPECT_EQ(configOutOfSync.load(), 1);
    EXPECT_TRUE(log.Contains("CliServer: unknown vertical name l3."));
    EXPECT_TRUE(log.ContainsWithCode("failed to process command", "LCP00703"));

    // "off" silences the agent.
    test::ExpectCli(appctl, {{"cfgagent/set/loglevel off", 0,
                              "=Setting cfgagent logging level from info to off successfully\n"}});
    log.Clear();
    CFG_FATAL("must not appear");
    EXPECT_FALSE(log.Contains("must not appear"));
    Logger::setLevel(kLogInfo);
}

// Levels by name or by the numbers of the configuration file; anything else is refused with the
// valid ones logged, and the level stays.
TEST_F(CliServerTest, LevelsByNameOrNumberAndOutOfRangeRefused) {
    test::ExpectCli(
        appctl,
        {{"cfgagent/set/loglevel 5", 0,
          "=Setting cfgagent logging level from info to debug successfully\n"},
         {"cfgagent/get/loglevel", 0, "=Current cfgagent logging level is: debug\n"},
         {"cfgagent/set/loglevel 4", 0,
          "=Setting cfgagent logging level from debug to info successfully\n"},
         {"cfgagent/set/loglevel 7", 2, "Setting cfgagent logging level from info to 7 failed"},
         {"cfgagent/set/loglevel 10", 2, "from info to 10 failed"},
         {"cfgagent/set/loglevel 4x", 2, "from info to 4x failed"},
         {"cfgagent/get/loglevel", 0, "=Current cfgagent logging level is: info\n"},
         {"cfgagent/set-wft/tracelevel 99", 2,
          "Setting cfgagent trace level from info to 99 failed"},
         {"cfgagent/set-wft/tracelevel 5", 2, "from info to 5 failed"},
         {"cfgagent/get-wft/tracelevel", 0, "=Current cfgagent trace level is: info\n"},
         {"cfgagent/set-wft/tracelevel 3", 0,
          "=Setting cfgagent trace level from info to debug successfully\n"},
         {"cfgagent/set-wft/tracelevel info", 0,
          "=Setting cfgagent trace level from debug to info successfully\n"}});
    for (const char* level : {"7", "10", "4x"}) {
        EXPECT_TRUE(log.Contains(std::string("CliServer: log level ") + level +
                                 " refused: give off, fatal, error, warn, info, debug, trace or 0 "
                                 "to 6"))
            << level;
    }
    for (const char* level : {"99", "5"}) {
        EXPECT_TRUE(log.Contains(std::string("CliServer: trace level ") + level +
                                 " refused: give off, warn, info, debug, trace or 0 to 4"))
            << level;
    }
    EXPECT_EQ(Logger::level(), kLogInfo);
}

TEST_F(CliServerTest, ApplicationPagesAnswerTheirOwnAndFixedCommands) {
    test::ExpectCli(
        appctl,
        {{"list-commands", 0, "cfgagent/testapp/echo|WORD [WORD]"},
         {"cfgagent/testapp/echo a;b", 0, "=a;b\n"},
         {"cfgagent/testapp/echo", 2, "requires at least 1 arguments"},
         {"cfgagent/testapp/echo 1 2 3", 2, "takes at most 2 arguments"},
         // The fixed table keeps its argument range (0-1); the page answers, errors included.
         {"dfw/vif", 0, "=all vifs\n"},
         {"dfw/vif v1", 2, "no vif v1"},
         // Commands without a page still answer for their absent application.
         {"dfw/exclude", 0, "={\"result\" : \"not initialized\"}\n"}});
    // The page of a fixed command does not register a second command.
    EXPECT_FALSE(log.Contains("is already registered"));
}

TEST_F(CliServerTest, UnlockedPagesRunWithoutTheGlobalLock) {
    test::ExpectCli(appctl, {{"cfgagent/testapp/locked", 0, "=lock held\n"},
                             {"cfgagent/testapp/unlocked", 0, "=lock free\n"},
                             {"ids/get/engine/status", 0, "=lock free\n"},
                             {"ids/get/engine/rules", 0, "=lock held\n"}});
}

TEST(CliPagesTest, LaterRegistrationReplacesAndIsLogged) {
    test::LogCapture log{kLogWarn};
    CliPages pages;
    pages.Add("x/y", "", 0, 0, [](const CliPages::Args&) { return CliReply::Ok("first"); });
    pages.Add("x/y", "", 0, 0, [](const CliPages::Args&) { return CliReply::Ok("second"); });
    pages.AddOutOfSync("l2", [] {});
    pages.AddOutOfSync("l2", [] {});
    ASSERT_NE(pages.Find("x/y"), nullptr);
    EXPECT_EQ(pages.Find("x/y")->handler({}).text, "second");
    EXPECT_EQ(pages.Find("x/z"), nullptr);
    EXPECT_NE(pages.FindOutOfSync("l2"), nullptr);
    EXPECT_EQ(pages.FindOutOfSync("config"), nullptr);
    EXPECT_TRUE(log.Contains("CliPages: command x/y registered twice"));
    EXPECT_TRUE(log.Contains("CliPages: out-of-sync vertical l2 registered twice"));
}

TEST(CliServerStartTest, SocketDirectoriesAreOwnerWritableWhateverTheUmask) {
    test::TempDir dir;
    for (mode_t mask : {0000, 0077}) {
        SCOPED_TRACE(mask);
        std::string base = dir.path() + "/u" + std::to_string(mask);
        mode_t before = ::umask(mask);
        ozy::RefPtr<CliServer> server(new CliServer(CliContext(), base + "/run/cli/cli.sock"));
        bool started = server->Start();
        ::umask(before);
        ASSERT_TRUE(started);
        for (const std::string& d : {base, base + "/run", base + "/run/cli"}) {
            struct stat st;
            ASSERT_EQ(::stat(d.c_str(), &st), 0) << d;
            EXPECT_EQ(st.st_mode & 07777, 0755u) << d;
        }
        server->Stop();
    }
}

TEST_F(CliServerTest, StopsWhileAClientIsConnected) {
    ozy::unixctl::Client idle;
    ASSERT_EQ(idle.Connect(server->socketPath()), 0);
    server->Stop();
    EXPECT_FALSE(server->running());
    EXPECT_TRUE(log.WaitFor("Cli server terminated"));
}

TEST(CliServerStartTest, UnusableSocketPathIsReported) {
    test::TempDir dir;
    dir.WriteFile("plain", "x");
    test::LogCapture log{kLogInfo};
    ozy::RefPtr<CliServer> server(new CliServer(CliContext(), dir.path() + "/plain"));
    EXPECT_FALSE(server->Start());
    EXPECT_TRUE(log.ContainsWithCode("Cannot create ozy-cfgagent unixctl server:", "LCP00701"));
}

}  // namespace
}  // namespace CfgAgent
