// Runs the real ozy-cfgagent binary in a private host root.
#include <gtest/gtest.h>

#include <signal.h>

#include "platform/rpc/RpcServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnv.h"

#ifndef OZY_RUNTIME_EXTRA_THREADS
#define OZY_RUNTIME_EXTRA_THREADS 0
#endif

namespace CfgAgent {
namespace {

// The only thread left at exit is the main thread (plus a sanitizer's own, where it has one).
const std::string kShutdownLine =
    "Shutdown complete (" + std::to_string(1 + OZY_RUNTIME_EXTRA_THREADS) + " thread(s) left)";

using test::ChildProcess;

class AgentProcessTest : public ::testing::Test {
  protected:
    std::map<std::string, std::string> Env() {
        return {{"OZY_HOST_ROOT", root.path()},
                {"OZY_HEALTH_ENDPOINT", "tcp://127.0.0.1:" + std::to_string(healthPort)}};
    }
    std::string ExampleConfig() { return test::SourceDir() + "/examples/ozy-cfgagent.xml"; }
    std::string Agent() { return test::BinPath("ozy-cfgagent"); }

    test::TempDir root{"ozy-agent"};
    int healthPort = test::FreeTcpPort();
};

TEST_F(AgentProcessTest, UnknownOptionPrintsUsageAndFails) {
    auto r = test::RunProgram(Agent(), {"-s"}, Env());
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.output.find("Usage: " + Agent() + " [-c configFile]\n"), std::string::npos)
        << r.output;
}

TEST_F(AgentProcessTest, MissingOrMalformedConfigurationFails) {
    auto missing = test::RunProgram(Agent(), {"-c", root.path() + "/none.xml"}, Env());
    EXPECT_EQ(missing.status, 255);
    EXPECT_NE(missing.output.find("errorCode=\"LCP00003\"] Failed loading config file:"),
              std::string::npos);
    EXPECT_NE(missing.output.find("* Error *: CfgAgent start failed."), std::string::npos);

    root.WriteFile("bad.xml", "<config><log>");
    auto bad = test::RunProgram(Agent(), {"-c", root.path() + "/bad.xml"}, Env());
    EXPECT_EQ(bad.status, 255);
    EXPECT_NE(bad.output.find("Configuration file " + root.path() + "/bad.xml is invalid!"),
              std::string::npos);
}

TEST_F(AgentProcessTest, DefaultPathIsReadUnderTheHostRoot) {
    // Without -c the agent reads /etc/orvane/ozy/ozy-cfgagent.xml, placed under the host root.
    auto r = test::RunProgram(Agent(), {}, Env());
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.output.find("Configuration file /etc/orvane/ozy/ozy-cfgagent.xml is invalid!"),
              std::string::npos)
        << r.output;
}

TEST_F(AgentProcessTest, FileWithoutApplicationListFailsToRun) {
    root.WriteFile("noapps.xml", "<config><log><level>4</level></log></config>");
    auto r = test::RunProgram(Agent(), {"-c", root.path() + "/noapps.xml"}, Env());
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.output.find("Failed to run ozy-cfgagent"), std::string::npos) << r.output;
}

TEST_F(AgentProcessTest, UnknownPersonaAndBadConduitSettingsFail) {
    auto env = Env();
    env["OZY_NODE_PERSONA"] = "7";
    auto r = test::RunProgram(Agent(), {"-c", ExampleConfig()}, env);
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.output.find("level=\"error\"] Node type is unknow"), std::string::npos) << r.output;

    root.WriteFile("conduit.xml",
                   "<config><conduit><serverPort>99999</serverPort></conduit><cfgAgent><apps/></"
                   "cfgAgent></config>");
    auto c = test::RunProgram(Agent(), {"-c", root.path() + "/conduit.xml"}, Env());
    EXPECT_EQ(c.status, 255);
    EXPECT_NE(c.output.find("Failed to initialize conduit."), std::string::npos) << c.output;
}

TEST_F(AgentProcessTest, RunsUntilSigtermAndShutsDownCleanly) {
    ChildProcess agent(Agent(), {"-c", ExampleConfig()}, root.path() + "/agent.log", Env());
    ASSERT_TRUE(agent.WaitForOutput("Initialize conduit successfully.")) << agent.Output();
    ASSERT_TRUE(agent.WaitForOutput("Start-up complete")) << agent.Output();

    // The daemon-health service answers while the agent runs.
    std::string result, error;
    std::string url = "tcp://127.0.0.1:" + std::to_string(healthPort);
    bool ok = false;
    for (int i = 0; i < 200 && !ok; ++i)
        ok = ozy::rpc::CallOnce(url, "echo", "[\"ping\"]", result, error);
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(result, "\"ping\"");
    ASSERT_TRUE(ozy::rpc::CallOnce(url, "health", "[]", result, error)) << error;
    EXPECT_NE(result.find("\"product_version\":\"2.3.0\""), std::string::npos) << result;

    // The CLI answers ovs-appctl on its socket under the host root.
    auto cli = test::RunProgram(
        "/usr/bin/ovs-appctl",
        {"-t", root.path() + "/var/run/orvane/ozy-cfgagent/cfgagent-cli", "cfgagent/get/loglevel"});
    EXPECT_EQ(cli.status, 0) << cli.output;
    EXPECT_EQ(cli.output, "Current cfgagent logging level is: info\n");

    agent.Signal(SIGTERM);
    auto status = agent.WaitExit();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    std::string out = agent.Output();
    const char* order[] = {
        "Workflow tracing set trace_level 2 log_level 4",
        "Build Number: ",
        "Instrument configCache false l2Cache false l3Cache false cairndbClient false",
        "Node type is other",
        "Start cfgAgent",
        "Initialize conduit successfully.",
        "Start-up complete",
        "Clean up platform",
        kShutdownLine.c_str()};
    size_t pos = 0;
    for (const char* line : order) {
        size_t at = out.find(line, pos);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line << "\n" << out;
        pos = at;
    }
    EXPECT_EQ(out.find("Failed to stop work group"), std::string::npos);
}

TEST_F(AgentProcessTest, SigintAlsoStopsAndEmptyListStillRuns) {
    root.WriteFile("empty.xml", "<config><cfgAgent><apps/></cfgAgent></config>");
    ChildProcess agent(Agent(), {"-c", root.path() + "/empty.xml"}, root.path() + "/agent.log",
                       Env());
    ASSERT_TRUE(agent.WaitForOutput("Initialize conduit successfully.")) << agent.Output();
    agent.Signal(SIGINT);
    EXPECT_EQ(agent.WaitExit().value_or(-1), 0);
    std::string out = agent.Output();
    EXPECT_EQ(out.find("application starts"), std::string::npos);
    EXPECT_EQ(out.find("traceflowApp is not initialized"), std::string::npos);
    EXPECT_NE(out.find(kShutdownLine), std::string::npos) << out;
}

TEST_F(AgentProcessTest, HealthPortInUseEndsStartup) {
    // A second agent on the same daemon-health port refuses to start.
    ChildProcess first(Agent(), {"-c", ExampleConfig()}, root.path() + "/a1.log", Env());
    ASSERT_TRUE(first.WaitForOutput("Initialize conduit successfully.")) << first.Output();
    auto r = test::RunProgram(Agent(), {"-c", ExampleConfig()}, Env());
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.output.find("Failed to run ozy-cfgagent"), std::string::npos) << r.output;
    first.Signal(SIGTERM);
    EXPECT_EQ(first.WaitExit().value_or(-1), 0);
}

}  // namespace
}  // namespace CfgAgent
