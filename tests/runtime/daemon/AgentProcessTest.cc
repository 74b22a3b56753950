// Runs the real ozy-cfgagent binary in a private host root.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <map>

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

// A configuration application on 2 io threads with `work` work threads.
std::string ThreadsConfig(const char* io, const char* work) {
    return std::string("<config><cfgAgent><workGroup><ioThreads>") + io +
           "</ioThreads><workThreads>" + work +
           "</workThreads></workGroup><apps><app><name>config</name><enabled>true</enabled>"
           "<config/></app></apps></cfgAgent></config>";
}

TEST_F(AgentProcessTest, StartUpFailuresExitWith255AndSayWhy) {
    root.WriteFile("bad.xml", "<config><log>");
    root.WriteFile("noapps.xml", "<config><log><level>4</level></log></config>");
    root.WriteFile("conduit.xml",
                   "<config><conduit><serverPort>99999</serverPort></conduit><cfgAgent><apps/></"
                   "cfgAgent></config>");
    root.WriteFile("io.xml", ThreadsConfig("-1", "32"));
    // The agent's two loops and the configuration application's five, besides 2 io threads and
    // the serial context: 10 threads are held for good.
    root.WriteFile("work.xml", ThreadsConfig("2", "10"));
    const std::string r = root.path();
    const std::string remote = "tcp://0.0.0.0:" + std::to_string(healthPort);
    struct Case {
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        std::vector<std::string> said;
        std::vector<std::string> notSaid;
    } cases[] = {
        {{"-s"}, {}, {"Usage: " + Agent() + " [-c configFile]\n"}, {}},
        {{"-c", r + "/none.xml"},
         {},
         {"errorCode=\"LCP00003\"] Failed loading config file:",
          "* Error *: CfgAgent start failed."},
         {}},
        {{"-c", r + "/bad.xml"}, {}, {"Configuration file " + r + "/bad.xml is invalid!"}, {}},
        // Without -c the agent reads /etc/orvane/ozy/ozy-cfgagent.xml, placed under the host
        // root; the lines name the logical path.
        {{},
         {},
         {"Configuration file /etc/orvane/ozy/ozy-cfgagent.xml is invalid!",
          "Failed loading config file: /etc/orvane/ozy/ozy-cfgagent.xml: cannot open file"},
         {r}},
        {{"-c", r + "/noapps.xml"},
         {},
         {"level=\"error\"] Failed to run ozy-cfgagent",
          "level=\"error\"] Start-up failure: No such node (config.cfgAgent.apps)"},
         {}},
        {{"-c", ExampleConfig()},
         {{"OZY_NODE_PERSONA", "7"}},
         {"level=\"error\"] Node type is unknow"},
         {}},
        {{"-c", r + "/conduit.xml"}, {}, {"Failed to initialize conduit."}, {}},
        // Thread settings that leave no thread for the work the loops hand out.
        {{"-c", r + "/io.xml"},
         {},
         {"errorCode=\"LCP00001\"] Unusable thread setting: config.cfgAgent.workGroup.ioThreads "
          "is -1, it must be a number from 1 to 4096"},
         {"Start cfgAgent"}},
        {{"-c", r + "/work.xml"},
         {},
         {"errorCode=\"LCP00001\"] Unusable thread setting: "
          "config.cfgAgent.workGroup.workThreads is 10, it must be at least 11"},
         {"Start cfgAgent"}},
        // The daemon-health endpoint is local unless the operator allows more.
        {{"-c", ExampleConfig()},
         {{"OZY_HEALTH_ENDPOINT", remote}},
         {"errorCode=\"LCP00001\"] Daemon-health endpoint " + remote +
          " is not a loopback address; set OZY_HEALTH_ALLOW_REMOTE=1"},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "no arguments" : c.args.back());
        auto env = Env();
        for (const auto& [key, value] : c.env)
            env[key] = value;
        auto run = test::RunProgram(Agent(), c.args, env);
        EXPECT_EQ(run.status, 255);
        for (const std::string& text : c.said)
            EXPECT_THAT(run.output, HasSubstr(text));
        for (const std::string& text : c.notSaid)
            EXPECT_THAT(run.output, Not(HasSubstr(text)));
    }
}

TEST_F(AgentProcessTest, DefaultConfigurationFileIsTheOneUnderTheHostRoot) {
    // Its trace level shows, and its missing application list ends start-up.
    root.WriteFile("etc/orvane/ozy/ozy-cfgagent.xml",
                   "<config><log><workflow_tracing><trace_level>3</trace_level></"
                   "workflow_tracing></log></config>");
    auto run = test::RunProgram(Agent(), {}, Env());
    EXPECT_EQ(run.status, 255);
    EXPECT_THAT(run.output, HasSubstr("Workflow tracing set trace_level 3 log_level 4"));
    EXPECT_THAT(run.output, HasSubstr("Start-up failure: No such node (config.cfgAgent.apps)"));
}

// Memory running out ends the process with status 1 and the out-of-memory line, although the
// memory is still exhausted while the failure is reported. The configuration file is a valid one
// too large for the limit: its parse runs out.
TEST_F(AgentProcessTest, RunningOutOfMemoryExitsWithStatusOneAndTheLine) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer runs under no memory limit";
#endif
    std::string xml = "<config><cfgAgent><apps/></cfgAgent><bulk>";
    for (int i = 0; i < 3000000; ++i)
        xml += "<a/>";
    xml += "</bulk></config>";
    root.WriteFile("huge.xml", xml);
    auto env = Env();
    std::string program = Agent();
    std::vector<std::string> args = {"-c", root.path() + "/huge.xml"};
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer reserves its shadow memory up front, so no address-space limit can hold it;
    // its own limit on resident memory makes malloc fail instead.
    const char* asan = std::getenv("ASAN_OPTIONS");
    env["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") +
                          ":allocator_may_return_null=1:soft_rss_limit_mb=200";
#else
    args.insert(args.begin(), {"--as=" + std::to_string(256 << 20), "--", program});
    program = "/usr/bin/prlimit";
#endif
    auto run = test::RunProgram(program, args, env);
    EXPECT_EQ(run.status, 1) << run.output.substr(0, 4000);
    EXPECT_THAT(run.output, HasSubstr("level=\"error\"] Failed to run ozy-cfgagent"));
    EXPECT_THAT(run.output,
                HasSubstr("level=\"error\"] CFGAGENT_ALLOC_FAIL : CfgAgent error: no memory!"));
    // Not taken for a bad file.
    EXPECT_THAT(run.output, Not(HasSubstr("Failed loading config file")));
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
    // Also: a health endpoint beyond the host runs when the operator allows it.
    auto env = Env();
    env["OZY_HEALTH_ENDPOINT"] = "tcp://0.0.0.0:" + std::to_string(healthPort);
    env["OZY_HEALTH_ALLOW_REMOTE"] = "1";
    test::ChildProcess agent(Agent(), {"-c", root.path() + "/empty.xml"},
                             root.path() + "/agent.log", env);
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
