// The CLI server driven by Debian's ovs-appctl.
#include <gtest/gtest.h>

#include <atomic>

#include "cli/CliServer.h"
#include "platform/unixctl/UnixctlClient.h"
#include "runtime/Logger.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace CfgAgent {
namespace {

class CliServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CliContext ctx;
        ctx.outOfSync["config"] = [this] { ++configOutOfSync; };
        ctx.dumps["cfgagent/bfd"] = [](const std::vector<std::string>&) -> std::string {
            throw std::runtime_error("broken dump");
        };
        server = ozy::RefPtr<CliServer>(new CliServer(ctx, dir.path() + "/cli.sock"));
        ASSERT_TRUE(server->Start());
    }
    void TearDown() override { server->Stop(); }

    // Runs ovs-appctl; returns its exit status, stdout+stderr in `out`.
    int Appctl(const std::vector<std::string>& args, std::string* out) {
        std::vector<std::string> full = {"-t", server->socketPath()};
        full.insert(full.end(), args.begin(), args.end());
        auto r = test::RunProgram("/usr/bin/ovs-appctl", full);
        *out = r.output;
        return r.status;
    }

    test::TempDir dir;
    test::LogCapture log{kLogInfo};
    std::atomic<int> configOutOfSync{0};
    ozy::RefPtr<CliServer> server;
};

TEST_F(CliServerTest, ListsCommandsWithUsage) {
    std::string out;
    ASSERT_EQ(Appctl({"list-commands"}, &out), 0) << out;
    for (const char* cmd :
         {"cfgagent/set/loglevel", "cfgagent/get-wft/tracelevel",
          "cfgagent/set-simulate/out-of-sync", "dfw/setlibloglevel", "ids/dump/signatures",
          "si/get-ordered-service-paths", "cfgagent/bfd", "cfgagent/ipfix-switch/profile/lport"}) {
        EXPECT_NE(out.find(cmd), std::string::npos) << cmd;
    }
    EXPECT_NE(out.find("VERTICAL_NAME"), std::string::npos);
}

TEST_F(CliServerTest, LogLevelSetterRefusesUnknownNamesAndGetterReports) {
    std::string out;
    EXPECT_EQ(Appctl({"cfgagent/set/loglevel", "verbose"}, &out), 2);
    EXPECT_NE(out.find("Setting cfgagent logging level from info to verbose failed"),
              std::string::npos)
        << out;
    EXPECT_EQ(Logger::level(), kLogInfo);
    ASSERT_EQ(Appctl({"cfgagent/get/loglevel"}, &out), 0);
    EXPECT_EQ(out, "Current cfgagent logging level is: info\n");

    ASSERT_EQ(Appctl({"cfgagent/set-rpc/loglevel", "debug"}, &out), 0);
    EXPECT_EQ(out, "Setting cfgagent rpc logging level from info to debug successfully\n");
    ASSERT_EQ(Appctl({"cfgagent/get-rpc/loglevel"}, &out), 0);
    EXPECT_EQ(out, "Current cfgagent rpc logging level is: debug\n");
    ASSERT_EQ(Appctl({"cfgagent/set-rpc/loglevel", "info"}, &out), 0);
    EXPECT_TRUE(log.Contains("CliServer: setting rpc log level from info to debug"));
}

TEST_F(CliServerTest, OffSilencesTheAgent) {
    std::string out;
    ASSERT_EQ(Appctl({"cfgagent/set/loglevel", "off"}, &out), 0) << out;
    EXPECT_EQ(out, "Setting cfgagent logging level from info to off successfully\n");
    log.Clear();
    CFG_FATAL("must not appear");
    EXPECT_FALSE(log.Contains("must not appear"));
    Logger::setLevel(kLogInfo);
}

TEST_F(CliServerTest, ArgumentCountsAreEnforcedBeforeTheHandler) {
    std::string out;
    EXPECT_EQ(Appctl({"cfgagent/get/loglevel", "extra"}, &out), 2);
    EXPECT_NE(out.find("command takes at most 0 arguments"), std::string::npos) << out;
    EXPECT_EQ(Appctl({"cfgagent/set-simulate/out-of-sync"}, &out), 2);
    EXPECT_FALSE(log.Contains("CliServer: getting log level"));
    EXPECT_FALSE(log.Contains("CliServer: setting simulate out of sync"));
}

TEST_F(CliServerTest, SimulatedOutOfSyncReachesTheVerticalOrFails) {
    std::string out;
    ASSERT_EQ(Appctl({"cfgagent/set-simulate/out-of-sync", "config"}, &out), 0) << out;
    EXPECT_EQ(out, "Setting simulate out of sync for vertical config successfully\n");
    EXPECT_EQ(configOutOfSync.load(), 1);
    EXPECT_EQ(Appctl({"cfgagent/set-simulate/out-of-sync", "l3"}, &out), 2);
    EXPECT_NE(out.find("Setting simulate out of sync for vertical l3 failed"), std::string::npos);
    EXPECT_TRUE(log.Contains("CliServer: unknown vertical name l3."));
}

TEST_F(CliServerTest, TracingLevelAndAbsentApplications) {
    std::string out;
    ASSERT_EQ(Appctl({"cfgagent/get-wft/tracelevel"}, &out), 0);
    EXPECT_EQ(out, "Current cfgagent trace level is: info\n");
    EXPECT_EQ(Appctl({"cfgagent/set-wft/tracelevel", "loud"}, &out), 2);
    ASSERT_EQ(Appctl({"dfw/getloglevel"}, &out), 0);
    EXPECT_EQ(out, "{\"result\" : \"not initialized\"}\n");
    ASSERT_EQ(Appctl({"ids/get/status"}, &out), 0);
    EXPECT_NE(out.find("\"ids_status\""), std::string::npos);
    EXPECT_NE(out.find("\"invalid input\""), std::string::npos);
    EXPECT_EQ(Appctl({"si/get-selected-service-paths", "7"}, &out), 2);
    EXPECT_NE(out.find("Query Service Path fail"), std::string::npos);
    EXPECT_EQ(Appctl({"cfgagent/l2/routingdomain"}, &out), 2);
    ASSERT_EQ(Appctl({"cfgagent/get-wft/stats"}, &out), 0);
    EXPECT_NE(out.find("\"StatsName\": \"RootSpan_Total_Req\""), std::string::npos) << out;
}

TEST_F(CliServerTest, HandlerExceptionIsLoggedAndAnswered) {
    std::string out;
    EXPECT_EQ(Appctl({"cfgagent/bfd"}, &out), 2);
    EXPECT_NE(out.find("failed to process command"), std::string::npos) << out;
    EXPECT_TRUE(log.ContainsWithCode("failed to process command", "LCP00703"));
    ASSERT_EQ(Appctl({"cfgagent/get/loglevel"}, &out), 0);  // still serving
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
