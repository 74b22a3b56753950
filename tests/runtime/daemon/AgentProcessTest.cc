// Runs the real ozy-cfgagent binary in a private host root.
#include <gmock/gmock.h>
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

using ::testing::HasSubstr;
using ::testing::Not;

// The only thread left at exit is the main thread (plus a sanitizer's own, where it has one).
const std::string kShutdownLine =
    "Shutdown complete (" + std::to_string(1 + OZY_RUNTIME_EXTRA_THREADS) + " thread(s) left)";

class AgentProcessTest : public ::testing::Test {
  protected:
    std::map<std::string, std::string> Env() {
        return {{"OZY_HOST_ROOT", root.path()},
                {"OZY_HEALTH_ENDPOINT", "tcp://127.0.0.1:" + std::to_string(healthPort)}};
    }
    std::string ExampleConfig() { return test::SourceDir() + "/examples/ozy-cfgagent.xml"; }
    std::string Agent() { return test::BinPath("ozy-cfgagent"); }
    test::ChildProcess Start(const std::string& config, const std::string& log) {
        return test::ChildProcess(Agent(), {"-c", config}, root.path() + "/" + log, Env());
    }

    test::TempDir root{"ozy-agent"};
    int healthPort = test::FreeTcpPort();
};

TEST_F(AgentProcessTest, StartUpFailuresExitWith255AndSayWhy) {
    root.WriteFile("bad.xml", "<config><log>");
    root.WriteFile("noapps.xml", "<config><log><level>4</level></log></config>");
    root.WriteFile("conduit.xml",
                   "<config><conduit><serverPort>99999</serverPort></conduit><cfgAgent><apps/></"
                   "cfgAgent></config>");
    const std::string r = root.path();
    struct Case {
        std::vector<std::string> args;
        const char* persona;
        std::vector<std::string> said;
    } cases[] = {
        {{"-s"}, nullptr, {"Usage: " + Agent() + " [-c configFile]\n"}},
        {{"-c", r + "/none.xml"},
         nullptr,
         {"errorCode=\"LCP00003\"] Failed loading config file:",
          "* Error *: CfgAgent start failed."}},
        {{"-c", r + "/bad.xml"}, nullptr, {"Configuration file " + r + "/bad.xml is invalid!"}},
        // Without -c the agent reads /etc/orvane/ozy/ozy-cfgagent.xml, placed under the host root.
        {{}, nullptr, {"Configuration file /etc/orvane/ozy/ozy-cfgagent.xml is invalid!"}},
        {{"-c", r + "/noapps.xml"}, nullptr, {"Failed to run ozy-cfgagent"}},
        {{"-c", ExampleConfig()}, "7", {"level=\"error\"] Node type is unknow"}},
        {{"-c", r + "/conduit.xml"}, nullptr, {"Failed to initialize conduit."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "no arguments" : c.args.back());
        auto env = Env();
        if (c.persona != nullptr)
            env["OZY_NODE_PERSONA"] = c.persona;
        auto run = test::RunProgram(Agent(), c.args, env);
        EXPECT_EQ(run.status, 255);
        for (const std::string& text : c.said)
            EXPECT_THAT(run.output, HasSubstr(text));
    }
}

TEST_F(AgentProcessTest, RunsUntilSigtermServesHealthAndCliAndShutsDownCleanly) {
    test::ChildProcess agent = Start(ExampleConfig(), "agent.log");
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
    EXPECT_THAT(result, HasSubstr("\"product_version\":\"2.3.0\""));
    // No database answers here: the health monitor of the example configuration sees it down,
    // and the health RPC and the CLI both say so.
    const std::string down = "{\"name\":\"cfgagent-cairndb-connection\",\"status\":\"DOWN\"}";
    EXPECT_THAT(result, HasSubstr("\"sub_status\":[" + down + "]"));

    // The CLI answers ovs-appctl on its socket under the host root.
    auto cli = test::RunProgram(
        "/usr/bin/ovs-appctl",
        {"-t", root.path() + "/var/run/orvane/ozy-cfgagent/cfgagent-cli", "cfgagent/get/loglevel"});
    EXPECT_EQ(cli.status, 0) << cli.output;
    EXPECT_EQ(cli.output, "Current cfgagent logging level is: info\n");
    auto status = test::RunProgram("/usr/bin/ovs-appctl",
                                   {"-t", root.path() + "/var/run/orvane/ozy-cfgagent/cfgagent-cli",
                                    "cfgagent/health/status"});
    EXPECT_EQ(status.status, 0) << status.output;
    EXPECT_THAT(status.output, HasSubstr("\"sub_status\":[" + down + "]"));

    // A second agent on the same daemon-health port refuses to start.
    auto second = test::RunProgram(Agent(), {"-c", ExampleConfig()}, Env());
    EXPECT_EQ(second.status, 255);
    EXPECT_THAT(second.output, HasSubstr("Failed to run ozy-cfgagent"));

    agent.Signal(SIGTERM);
    EXPECT_EQ(agent.WaitExit().value_or(-1), 0);
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
    EXPECT_THAT(out, Not(HasSubstr("Failed to stop work group")));
}

TEST_F(AgentProcessTest, SigintAlsoStopsAndEmptyListStillRuns) {
    root.WriteFile("empty.xml", "<config><cfgAgent><apps/></cfgAgent></config>");
    test::ChildProcess agent = Start(root.path() + "/empty.xml", "agent.log");
    ASSERT_TRUE(agent.WaitForOutput("Initialize conduit successfully.")) << agent.Output();
    agent.Signal(SIGINT);
    EXPECT_EQ(agent.WaitExit().value_or(-1), 0);
    std::string out = agent.Output();
    EXPECT_THAT(out, Not(HasSubstr("application starts")));
    EXPECT_THAT(out, Not(HasSubstr("traceflowApp is not initialized")));
    EXPECT_THAT(out, HasSubstr(kShutdownLine));
}

}  // namespace
}  // namespace CfgAgent
